#!/usr/bin/env python3
"""How fast the answer sites search the knowledge index, and what serving it costs.

Builds the index of what is installed into a private cache (as qelvora-sites --build-index does),
then measures on a qelvora-sites over loopback:
  - the start with the built index: from starting the program to the first answer that only the
    index holds;
  - the search pages: 1,000 questions (those of bench/knowledge_questions.tsv, over and over, each
    to its own site), the time of each request on a kept-alive connection, p50/p99/max;
  - the server's resident memory after them;
  - qelvora-ask --instant end to end on the hand-written corpus's own questions, with the corpus
    alone and with the index beside it.
A measurement on an idle machine: it always exits 0.
Usage: bench/knowledge_search.py [BUILD_DIR]   (default build/release)
"""
import http.client
import os
import pathlib
import subprocess
import sys
import tempfile
import time
import urllib.parse

top = pathlib.Path(__file__).resolve().parent.parent
build = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else top / "build/release"
sites = build / "sites/qelvora-sites"
ask = build / "cli/qelvora-ask"


def start(args):
    proc = subprocess.Popen([str(sites), "--listen", "127.0.0.1", "--port", "0", *args],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    port = int(proc.stdout.readline())
    return proc, port


def search_path(source, question):
    if source == "1":
        return "/search/?q=" + urllib.parse.quote(question.encode("utf-8"))
    if source == "2":
        return "/s/?w=" + urllib.parse.quote(question.encode("utf-8"))
    return "/search.aspx?keyword=" + urllib.parse.quote(question.encode("gbk", "replace"))


def get(conn, path):
    conn.request("GET", path)
    response = conn.getresponse()
    return response.read()


def main():
    for program in (sites, ask):
        if not program.exists():
            print(f"knowledge_search: {program} is missing (build it first)")
            return
    scratch = tempfile.mkdtemp()
    cache = os.path.join(scratch, "cache")
    began = time.monotonic()
    subprocess.run([str(sites), "--build-index", "--cache", cache], stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=False)
    print(f"index built in {time.monotonic() - began:.1f} s")

    # Start with the built index: "ls" is a manual page, never in the corpus.
    probe = search_path("1", "ls 命令")
    began = time.monotonic()
    proc, port = start(["--cache", cache])
    conn = http.client.HTTPConnection("127.0.0.1", port)
    while b"/q/man-ls" not in get(conn, probe) and time.monotonic() - began < 60:
        time.sleep(0.001)
    print(f"start to the first answer from the index: {(time.monotonic() - began) * 1000:.0f} ms")

    questions = []
    for line in (top / "bench/knowledge_questions.tsv").read_text(encoding="utf-8").splitlines():
        if line and not line.startswith("#"):
            source, question, _ = line.split("\t")
            questions.append((source, question))
    times = []
    for i in range(1000):
        source, question = questions[i % len(questions)]
        path = search_path(source, question)
        t = time.perf_counter()
        get(conn, path)
        times.append((time.perf_counter() - t) * 1000)
    times.sort()
    print(f"search pages, 1000 questions: p50 {times[499]:.2f} ms, p99 {times[989]:.2f} ms, "
          f"max {times[-1]:.2f} ms")
    rss = next(line for line in open(f"/proc/{proc.pid}/status") if line.startswith("VmRSS"))
    print(f"qelvora-sites resident while serving: {int(rss.split()[1]) // 1024} MB")
    proc.terminate()
    proc.wait()

    # The corpus's own questions through the terminal tool, corpus alone and with the index.
    corpus = []
    for name, source in (("fuzzy.txt", "1"), ("exact.txt", "2"), ("software.txt", "3")):
        for line in (top / "sites/data" / name).read_text(encoding="utf-8").splitlines():
            if line.startswith("question: ") or line.startswith("name: "):
                corpus.append((source, line.split(": ", 1)[1]))
    empty = os.path.join(scratch, "empty")
    os.makedirs(empty)
    for label, args in (("corpus alone", ["--data-root", empty, "--cache",
                                          os.path.join(scratch, "none")]),
                        ("corpus and index", ["--cache", cache])):
        proc, port = start(args)
        host = f"127.0.0.1:{port}"
        get(http.client.HTTPConnection("127.0.0.1", port), probe)
        time.sleep(0.5)
        began = time.monotonic()
        for source, question in corpus:
            subprocess.run([str(ask), "--instant", "--source", source, "--time-host", host,
                            "--source1-host", host, "--source2-host", host, "--source3-host",
                            host, "--cookie-file", os.path.join(scratch, "cookies.txt"), "--",
                            question], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           check=False)
        elapsed = (time.monotonic() - began) * 1000 / max(1, len(corpus))
        print(f"qelvora-ask --instant, {len(corpus)} corpus questions, {label}: "
              f"{elapsed:.1f} ms each")
        proc.terminate()
        proc.wait()
    subprocess.run(["rm", "-rf", scratch], check=False)


main()
