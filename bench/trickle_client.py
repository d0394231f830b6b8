#!/usr/bin/env python3
"""One local client that tries to deny qelvora-sites to everyone else: it keeps COUNT connections
open to 127.0.0.1:PORT, each with a half-sent request head to which it adds one byte every 4 s,
and reopens every connection the server closes. Loopback only; ends by itself after SECONDS.
Prints how many connections it held and how many the server closed.
Usage: trickle_client.py PORT COUNT SECONDS"""
import resource
import selectors
import socket
import sys
import time

port, count, seconds = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
want = count + 256
if hard != resource.RLIM_INFINITY and hard < want:
    sys.exit('trickle_client: the descriptor limit (%d) is below %d' % (hard, want))
resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, want), hard))

HEAD = b'GET /special/time/ HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Trickle: '
selector = selectors.DefaultSelector()
opened = closed_by_server = 0
held_max = 0


def open_one():
    global opened
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setblocking(False)
    try:
        s.connect(('127.0.0.1', port))
    except BlockingIOError:
        pass
    except OSError:
        s.close()
        return
    selector.register(s, selectors.EVENT_WRITE, 'connecting')
    opened += 1


def drop(s):
    selector.unregister(s)
    s.close()


end = time.monotonic() + seconds
next_byte = time.monotonic() + 4
next_report = time.monotonic() + 5
while time.monotonic() < end:
    # Keep the count up, a few hundred new connections per pass.
    for _ in range(min(500, count - len(selector.get_map()))):
        open_one()
    for key, _ in selector.select(timeout=0.1):
        s = key.fileobj
        if key.data == 'connecting':
            if s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR) != 0:
                drop(s)
                continue
            try:
                s.send(HEAD)
            except OSError:
                drop(s)
                continue
            selector.modify(s, selectors.EVENT_READ, 'open')
        else:
            try:
                data = s.recv(4096)
            except OSError:
                data = b''
            if not data:
                closed_by_server += 1
                drop(s)
    now = time.monotonic()
    held = sum(1 for k in selector.get_map().values() if k.data == 'open')
    held_max = max(held_max, held)
    if now >= next_byte:
        next_byte = now + 4
        for k in list(selector.get_map().values()):
            if k.data != 'open':
                continue
            try:
                k.fileobj.send(b'a')
            except OSError:
                closed_by_server += 1
                drop(k.fileobj)
    if now >= next_report:
        next_report = now + 5
        print('trickle: %d connections open, %d closed by the server so far' %
              (held, closed_by_server), flush=True)
print('trickle: %d connections opened in %.0f s, at most %d open at once, %d closed by the server'
      % (opened, seconds, held_max, closed_by_server), flush=True)
for k in list(selector.get_map().values()):
    k.fileobj.close()
