#!/usr/bin/env bash
# qelvora-sites under load, on loopback only and bounded in time:
#   1. a normal request while IDLE connections (default 1000) sit with half-sent headers;
#   2. requests per second at 50 concurrent clients (wrk), on the time page and a search page;
#   3. the server's memory (RSS) before, with the idle connections, and after each wrk run;
#   4. a normal request every 0.25 s while one client (bench/trickle_client.py) holds TRICKLE
#      connections (default 5000, more than the server's limit) that each send a header byte
#      every 4 s, with the server's memory meanwhile;
#   5. how long SIGTERM takes to end the server: idle, under wrk, and under the trickling client.
# Usage: bench/sites_load.sh [build-dir]   (default build/bench)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build/bench}
idle=${IDLE:-1000}
trickle=${TRICKLE:-5000}
trickle_seconds=${TRICKLE_SECONDS:-40}
seconds=${SECONDS_PER_RUN:-10}
command -v wrk >/dev/null || { echo "sites_load: wrk is missing (scripts/setup installs it)" >&2; exit 1; }
if [ ! -x "$build/sites/qelvora-sites" ]; then
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" --target qelvora-sites -j 2 >/dev/null
fi

scratch=$(mktemp -d)
servers=()
trap 'for p in "${servers[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
      rm -rf "$scratch"' EXIT
# The servers answer from an index of what is installed, built beforehand as the service's index
# unit builds it, so that no build runs beside the measurements.
"$build/sites/qelvora-sites" --build-index --cache "$scratch/cache" >/dev/null 2>&1 ||
  echo "sites_load: no index could be built; the servers answer from the corpus alone"
# Starts a server on a free port; sets server and port.
start_server() {
  "$build/sites/qelvora-sites" --listen 127.0.0.1 --port 0 --cache "$scratch/cache" --no-build \
    >"$scratch/port" 2>"$scratch/log" &
  server=$!
  servers+=("$server")
  for _ in $(seq 100); do
    [ -s "$scratch/port" ] && break
    sleep 0.1
  done
  port=$(head -n 1 "$scratch/port")
  [ -n "$port" ] || { echo "sites_load: qelvora-sites did not start" >&2; cat "$scratch/log" >&2; exit 1; }
}
# Milliseconds from SIGTERM to the end of the server; the exit status must be 0.
stop_ms() {
  local start status
  start=$(date +%s%N)
  kill -TERM "$server"
  status=0
  wait "$server" || status=$?
  echo "$(( ($(date +%s%N) - start) / 1000000 )) ms (exit $status)"
}
start_server
rss() { awk '/^VmRSS/ {print $2 " kB"}' "/proc/$server/status"; }

echo "RSS at start: $(rss)"

# 1. Idle connections, then a normal request on a fresh connection every 0.2 s for 5 s (well
# within the server's 10 s idle time-out, so the idle ones are still there).
python3 - "$port" "$idle" "$server" <<'PY'
import socket, statistics, sys, time
port, count, pid = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
def rss():
    for line in open('/proc/%s/status' % pid):
        if line.startswith('VmRSS'):
            return line.split()[1] + ' kB'
idle = []
for _ in range(count):
    s = socket.create_connection(('127.0.0.1', port))
    s.sendall(b'GET /special/time/ HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: idle')
    idle.append(s)
time.sleep(0.5)
times = []
for _ in range(25):
    start = time.monotonic()
    c = socket.create_connection(('127.0.0.1', port))
    c.settimeout(30)
    c.sendall(b'GET /special/time/ HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n')
    data = b''
    while True:
        d = c.recv(65536)
        if not d:
            break
        data += d
    c.close()
    times.append((time.monotonic() - start) * 1000)
    if not data.startswith(b'HTTP/1.1 200'):
        sys.exit('sites_load: no answer while connections were idle')
    time.sleep(0.2)
# The idle connections must still be open: none answered, none closed.
alive = 0
for s in idle:
    s.setblocking(False)
    try:
        alive += 0 if s.recv(1) == b'' else 0
    except BlockingIOError:
        alive += 1
print('idle connections: %d opened, %d still open after %.1f s' % (count, alive, 5.5))
print('normal request with them idle: median %.2f ms, max %.2f ms over %d requests'
      % (statistics.median(times), max(times), len(times)))
print('RSS with them idle: %s' % rss())
for s in idle:
    s.close()
PY
sleep 0.5
echo "RSS after the idle connections closed: $(rss)"

# 2. Throughput at 50 concurrent clients; the same run twice to see whether memory grows.
search="/search/?q=%E5%A4%A9%E7%A9%BA%E4%B8%BA%E4%BB%80%E4%B9%88%E6%98%AF%E8%93%9D%E8%89%B2%E7%9A%84"
for round in $(seq "${ROUNDS:-2}"); do
  for target in /special/time/ "$search"; do
    result=$(wrk -t 2 -c 50 -d "${seconds}s" "http://127.0.0.1:$port$target")
    rate=$(awk '/^Requests\/sec/ {print $2}' <<<"$result")
    errors=$(grep -E 'Non-2xx|Socket errors' <<<"$result" || true)
    latency=$(awk '/^ +Latency/ {print $2 " avg, " $4 " max"}' <<<"$result")
    echo "wrk round $round, 50 clients, ${target:0:20}: $rate requests/s (latency $latency)${errors:+; $errors}"
  done
  echo "RSS after wrk round $round: $(rss)"
done

# 4. One client holding more connections than the server's limit, each trickling a header byte
# every 4 s; a normal request on a fresh connection every 0.25 s meanwhile.
python3 "$top/bench/trickle_client.py" "$port" "$trickle" "$trickle_seconds" &
trickler=$!
sleep 8  # time to open them all
python3 - "$port" "$server" "$((trickle_seconds - 12))" <<'PY'
import socket, statistics, sys, time
port, pid, seconds = int(sys.argv[1]), sys.argv[2], float(sys.argv[3])
def rss():
    for line in open('/proc/%s/status' % pid):
        if line.startswith('VmRSS'):
            return int(line.split()[1])
times, failures, memory = [], 0, []
end = time.monotonic() + seconds
while time.monotonic() < end:
    start = time.monotonic()
    try:
        c = socket.create_connection(('127.0.0.1', port), timeout=5)
        c.settimeout(5)
        c.sendall(b'GET /special/time/ HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n')
        data = b''
        while True:
            d = c.recv(65536)
            if not d:
                break
            data += d
        c.close()
        ok = data.startswith(b'HTTP/1.1 200')
    except OSError:
        ok = False
    if ok:
        times.append((time.monotonic() - start) * 1000)
    else:
        failures += 1
    memory.append(rss())
    time.sleep(0.25)
times.sort()
print('normal requests beside the trickling client: %d answered, %d failed; median %.2f ms, '
      '99th percentile %.2f ms, max %.2f ms' % (len(times), failures, statistics.median(times),
      times[int(len(times) * 0.99) - 1], times[-1]))
print('RSS meanwhile: first %d kB, max %d kB, last %d kB' % (memory[0], max(memory), memory[-1]))
PY
printf "SIGTERM under the trickling client: "; stop_ms
wait "$trickler" || true

# 5. SIGTERM while idle and under wrk.
start_server
printf "SIGTERM while idle: "; stop_ms
start_server
wrk -t 2 -c 50 -d 10s "http://127.0.0.1:$port/special/time/" >/dev/null 2>&1 &
load=$!
sleep 3
printf "SIGTERM under wrk (50 clients): "; stop_ms
kill "$load" 2>/dev/null || true
wait "$load" 2>/dev/null || true
