#!/usr/bin/env bash
# Makes the README's pictures (docs/screenshot.png, docs/answer.png, docs/picture.png) in a real X
# server with a window manager, so that the title bars show: Xvfb and a window manager of its own
# (xfwm4, which draws only the buttons a window asks for; openbox where xfwm4 is missing), the
# reference sites on a free loopback port, and window_shots driving the program through a welcome,
# an answer of source 1 and a software answer with its picture window. Everything it starts ends
# with it; the computer's clock is never set.
# Usage: bench/screenshots.sh [build-dir] [out-dir]   (defaults: build/shot, docs)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build/shot}
out=${2:-$top/docs}
if command -v xfwm4 >/dev/null && command -v dbus-run-session >/dev/null; then
  wm=(dbus-run-session xfwm4 --compositor=off --sm-client-disable)
else
  wm=(openbox)
fi
for program in Xvfb xprop "${wm[0]}"; do
  command -v "$program" >/dev/null || {
    echo "screenshots: $program is not installed (scripts/setup installs it)" >&2
    exit 1
  }
done
if [ ! -x "$build/bench/window_shots" ] || [ ! -x "$build/sites/qelvora-sites" ]; then
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DQELVORA_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" --target window_shots qelvora-sites -j 2 >/dev/null
fi
mkdir -p "$out"

scratch=$(mktemp -d)
pids=()
stop_all() {
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do kill "${pids[i]}" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$scratch"
}
trap stop_all EXIT

# Waits until the first line of file is there and prints it.
first_line() {
  local file=$1 pid=$2 what=$3 line=
  for _ in $(seq 200); do
    line=$(head -n 1 "$file")
    [ -n "$line" ] && { echo "$line"; return; }
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  echo "screenshots: $what did not start" >&2
  exit 1
}

"$build/sites/qelvora-sites" --listen 127.0.0.1 --port 0 >"$scratch/port" &
pids+=($!)
port=$(first_line "$scratch/port" $! "qelvora-sites")

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$scratch/display" 2>/dev/null &
pids+=($!)
export DISPLAY=":$(first_line "$scratch/display" $! "Xvfb")"
"${wm[@]}" >/dev/null 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
  sleep 0.05
done

# No sound server: the tune plays nowhere.
QT_QPA_PLATFORM=xcb PULSE_SERVER=unix:"$scratch/no-sound" XDG_RUNTIME_DIR="$scratch" \
  "$build/bench/window_shots" "$out" "127.0.0.1:$port"
