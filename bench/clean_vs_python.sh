#!/usr/bin/env bash
# Times the markup clean-up chain (15 + 5 replace-all steps) in C++ (text_bench) and the same 20
# replacements done with CPython's bytes.replace over the same 4 MiB page, and prints both and
# their ratio. Builds nothing: pass the text_bench binary (default: the release build's).
#   bench/clean_vs_python.sh [path/to/text_bench]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bin=${1:-$top/build/release/bench/text_bench}
[ -x "$bin" ] || { echo "no text_bench at $bin (build the text_bench target first)" >&2; exit 1; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
"$bin" --write-page="$scratch/page.bin"

"$bin" --benchmark_filter='BM_CleanMarkupChain$' --benchmark_repetitions=5 \
  --benchmark_format=json >"$scratch/cpp.json" 2>/dev/null

python3 - "$scratch/page.bin" "$scratch/cpp.json" <<'PY'
import json, sys, time

page = open(sys.argv[1], "rb").read()
steps = [
    (b"href=", b""), (b'target="_blank">', b""), (b"</A>", b""), (b"<br>", b"\r\n"),
    (b"<img src=", b"\r\n"), (b">", b"\r\n"), (b"<b", b""), (b"</b", b""), (b"r/", b""),
    (b"r /", b""), (b"&nbsp", b""), (b"</a", b""), (b"</p", b""), (b"<p", b""), (b";</p", b""),
    (b"&quot;", b""), (b".img", b""), (b"<span style=", b""), (b"font-size:12px;", b""),
    (b"</span", b""),
]

def chain(text):
    for pattern, replacement in steps:
        text = text.replace(pattern, replacement)
    return text

best = float("inf")
for _ in range(10):
    t0 = time.perf_counter()
    chain(page)
    best = min(best, time.perf_counter() - t0)
py_ms = best * 1000

runs = [b for b in json.load(open(sys.argv[2]))["benchmarks"] if b.get("run_type") == "iteration"]
scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}
cpp_ms = min(b["real_time"] * scale[b["time_unit"]] for b in runs)

mb = len(page) / 1e6
print(f"page: {len(page)} bytes, 20 replace-all steps (best of several runs)")
print(f"C++ chain:     {cpp_ms:8.2f} ms  ({mb / cpp_ms * 1000:7.1f} MB/s)")
print(f"CPython chain: {py_ms:8.2f} ms  ({mb / py_ms * 1000:7.1f} MB/s)")
print(f"C++ / CPython time ratio: {cpp_ms / py_ms:.2f} (goal: at most 1.5)")
PY
