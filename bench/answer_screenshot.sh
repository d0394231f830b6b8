#!/usr/bin/env bash
# Regenerates docs/answer.png: the main window while an answer of source 1 is being typed. Serves
# the reference sites on a free loopback port, runs shell_startup --answer-screenshot against them
# (offscreen) and stops the server again. The computer's clock is never set.
# Usage: bench/answer_screenshot.sh [build-dir] [image]   (defaults: build/shot, docs/answer.png)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build/shot}
image=${2:-$top/docs/answer.png}
if [ ! -x "$build/bench/shell_startup" ] || [ ! -x "$build/sites/qelvora-sites" ]; then
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQELVORA_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" --target shell_startup qelvora-sites -j 2 >/dev/null
fi

scratch=$(mktemp -d)
"$build/sites/qelvora-sites" --listen 127.0.0.1 --port 0 >"$scratch/port" &
server=$!
stop_server() {
  kill "$server" 2>/dev/null || true
  wait "$server" 2>/dev/null || true
  rm -rf "$scratch"
}
trap stop_server EXIT

port=
for _ in $(seq 100); do
  port=$(head -n 1 "$scratch/port")
  [ -n "$port" ] && break
  if ! kill -0 "$server" 2>/dev/null; then
    echo "answer_screenshot: qelvora-sites did not start" >&2
    exit 1
  fi
  sleep 0.1
done
if [ -z "$port" ]; then
  echo "answer_screenshot: qelvora-sites printed no port" >&2
  exit 1
fi

QT_QPA_PLATFORM=offscreen "$build/bench/shell_startup" --answer-screenshot "$image" \
  "127.0.0.1:$port"
echo "saved $image"
