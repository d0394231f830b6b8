#!/usr/bin/env bash
# fetchPage against the curl command-line tool, both fetching the same 32 MiB body from the same
# loopback server in one run. Usage: bench/fetch_vs_curl.sh [build-dir]   (default build/bench)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build/bench}
if [ ! -x "$build/bench/fetch_bench" ]; then
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" --target fetch_bench -j 2 >/dev/null
fi
bench=$build/bench/fetch_bench
rounds=${ROUNDS:-9}

scratch=$(mktemp -d)
"$bench" --serve --size 32 >"$scratch/port" &
server=$!
trap 'kill "$server" 2>/dev/null || true; rm -rf "$scratch"' EXIT
for _ in $(seq 100); do
  grep -q '^PORT' "$scratch/port" && break
  sleep 0.1
done
port=$(awk '/^PORT/ {print $2}' "$scratch/port")
url="http://127.0.0.1:$port/body"

# Interleaved, one fetch of each at a time, so that both see the same load on the machine.
ours=()
theirs=()
for _ in $(seq "$rounds"); do
  ours+=("$("$bench" --url "$url" --rounds 1 | awk '/^THROUGHPUT_MBPS/ {print $2}')")
  theirs+=("$(curl -s --noproxy '*' -o /dev/null -w '%{speed_download}' "$url" | awk '{printf "%.1f", $1/1e6}')")
done
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
ours=$(median "${ours[@]}")
theirs=$(median "${theirs[@]}")
# Peak memory of one fetch, for the record.
"$bench" --url "$url" --rounds 3 | grep 'peak memory'
echo "fetchPage: median $ours MB/s over $rounds fetches"
echo "curl tool: median $theirs MB/s over $rounds fetches"
awk -v a="$ours" -v b="$theirs" 'BEGIN {printf "fetchPage / curl tool throughput: %.2fx\n", a/b}'
