#!/usr/bin/env python3
"""qelvora-ask --instant with answers of growing size, against a small answer site on loopback.

Serves a search page and an answer page in the shape answer site 1 uses, the answer being N bytes
of mixed Chinese and ASCII text, and times `qelvora-ask --instant --source 1` from start to exit
with its peak resident memory. Goals: a 1 MiB answer in under 2 s, 16 MiB at most 20 times that.

usage: bench/big_answer.py [QELVORA_ASK] [SIZE_KIB ...]   (default build/release/cli/qelvora-ask,
                                                           64 1024 4096 16384)
"""
import http.server
import os
import sys
import tempfile
import threading
import time

ask = sys.argv[1] if len(sys.argv) > 1 else "build/release/cli/qelvora-ask"
sizes = [int(s) for s in sys.argv[2:]] or [64, 1024, 4096, 16384]

SENTENCE = "这是一个很长的回答，中英文 mixed text。".encode("utf-8")


def answer_page(size):
    body = (SENTENCE * (size // len(SENTENCE) + 1))[:size]
    body = body[: len(body.decode("utf-8", "ignore").encode("utf-8"))]  # whole characters only
    return (b'<html><head><meta charset="utf-8"><title>big answer360\xe9\x97\xae\xe7\xad\x94'
            b'</title></head><body><div class="resolved-cnt">' + body +
            b'</div><div class="end"></div></body></html>')


class Site(http.server.BaseHTTPRequestHandler):
    page = b""

    def do_GET(self):
        if self.path.startswith("/search/"):
            body = b'<a index="2" aId="big" target="_blank">big</a>'
        elif self.path == "/q/big":
            body = Site.page
        else:
            self.send_error(404)
            return
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Site)
threading.Thread(target=server.serve_forever, daemon=True).start()
host = "127.0.0.1:%d" % server.server_address[1]

scratch = tempfile.mkdtemp()
first = None
print("%10s %10s %12s %10s" % ("answer", "seconds", "peak RSS", "RSS/answer"))
for kib in sizes:
    Site.page = answer_page(kib * 1024)
    out = open(os.path.join(scratch, "answer.txt"), "wb")
    start = time.monotonic()
    pid = os.fork()
    if pid == 0:
        os.dup2(out.fileno(), 1)
        os.execv(ask, [ask, "--instant", "--source", "1", "--source1-host", host, "--time-host",
                       host, "--cookie-file", os.path.join(scratch, "cookies.txt"), "big"])
    _, status, usage = os.wait4(pid, 0)
    seconds = time.monotonic() - start
    out.close()
    typed = os.path.getsize(os.path.join(scratch, "answer.txt"))
    rss = usage.ru_maxrss * 1024
    print("%8d K %10.2f %10.1f M %10.1f   exit %d, %d bytes typed" %
          (kib, seconds, rss / 2**20, rss / (kib * 1024), os.waitstatus_to_exitcode(status), typed))
    if kib == 1024:
        first = seconds
    elif first and kib == 16384:
        print("16 MiB / 1 MiB time: %.1f" % (seconds / first))
server.shutdown()
