#!/usr/bin/python3
"""The station under load: one gwtest process runs the whole GWM0202 plan on
1, 8 and 32 gwsim boards at once. Prints the wall time of each round, its
ratio to one board, the station's CPU time (and its share of one core over
the round), and the station's own time per test: the part of each gateway's
run that is not spent waiting for a reply.

Figures only, nothing asserted. Needs root and a release build (script/build
release demo). Run from the source tree:

    bench/station.py [--counts 1,8,32] [--model GWM0202] [--only NAMES]
"""

import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
GWTEST = os.path.join(ROOT, "build", "station", "gwtest")
GWSIM = os.path.join(ROOT, "sim", "gwsim")


def start_boards(model, count, work):
    """Starts `count` gwsim boards (eight at a time: the set-up is the heavy
    part) and returns [(process, address)]."""
    boards = []
    for first in range(0, count, 8):
        batch = []
        for i in range(first, min(count, first + 8)):
            out = open(os.path.join(work, f"gwsim{i}.out"), "w")
            proc = subprocess.Popen(
                [GWSIM, "--model", model, "--log", os.path.join(work, f"service{i}.log"),
                 "--keep", os.path.join(work, f"keep{i}")],
                stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
            batch.append((proc, os.path.join(work, f"gwsim{i}.out")))
        for proc, out in batch:
            deadline = time.time() + 120
            address = None
            while time.time() < deadline and address is None:
                with open(out) as f:
                    m = re.search(r"^gwsim: ready ([0-9.]+):6666", f.read(), re.M)
                if m:
                    address = m.group(1)
                elif proc.poll() is not None:
                    break
                else:
                    time.sleep(0.1)
            if address is None:
                stop_boards(boards + [(proc, None)])
                sys.exit(f"bench/station.py: a gwsim board did not start; see {out}")
            boards.append((proc, address))
    return boards


def stop_boards(boards):
    for proc, _ in boards:
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
    for proc, _ in boards:
        try:
            proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            proc.kill()


def run_station(addresses, only, work):
    """One gwtest run over all boards; (wall s, cpu s, events)."""
    args = [GWTEST, "run", *addresses, "--operator", "yes", "--json",
            "--records", os.path.join(work, "records"), "--station", "bench"]
    if only:
        args += ["--only", only]
    t0 = time.monotonic()
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = proc.communicate()
    wall = time.monotonic() - t0
    # communicate() reaped it: its own rusage is in the children's totals.
    return wall, proc.returncode, out.decode(), err.decode()


def overhead(events):
    """Per gateway: run time minus the time spent waiting for replies and
    answers, divided by the tests run: the station's own time per test."""
    runs = {}
    for e in events:
        run = runs.setdefault(e.get("run"), {"start": None, "end": None, "waits": 0, "tests": 0})
        if e["event"] == "run-started":
            run["start"] = e["unix_ms"]
        elif e["event"] == "run-finished":
            run["end"] = e["unix_ms"]
        elif e["event"] == "test-finished" and e["outcome"] not in ("skipped", "not-run"):
            run["waits"] += e["duration_ms"] + e.get("operator_ms", 0)
            run["tests"] += 1
    per_test = [(r["end"] - r["start"] - r["waits"]) / r["tests"]
                for r in runs.values() if r["start"] is not None and r["end"] is not None and r["tests"]]
    longest_wait = max((r["waits"] for r in runs.values()), default=0)
    return (sum(per_test) / len(per_test) if per_test else 0.0,
            max(per_test, default=0.0), longest_wait / 1000.0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--counts", default="1,8,32")
    parser.add_argument("--model", default="GWM0202")
    parser.add_argument("--only", default="")
    opts = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("bench/station.py: needs root (gwsim boards)")
    if not os.access(GWTEST, os.X_OK):
        sys.exit("bench/station.py: build first: script/build release demo")
    counts = [int(c) for c in opts.counts.split(",")]

    print(f"{'boards':>6} {'wall s':>8} {'x one':>6} {'cpu s':>7} {'cpu %':>6} "
          f"{'waits s':>8} {'own ms/test':>11} {'max':>6}  outcome")
    one = None
    for count in counts:
        work = tempfile.mkdtemp(prefix=f"gwtest-bench-{count}.")
        boards = start_boards(opts.model, count, work)
        try:
            before = os.times()
            wall, status, out, err = run_station([a for _, a in boards], opts.only, work)
            after = os.times()
        finally:
            stop_boards(boards)
        cpu = (after.children_user - before.children_user) + (after.children_system - before.children_system)
        events = [json.loads(line) for line in out.splitlines() if line.startswith("{")]
        mean, worst, waits = overhead(events)
        one = one or wall
        outcomes = {}
        for e in events:
            if e["event"] == "run-finished":
                outcomes[e["outcome"]] = outcomes.get(e["outcome"], 0) + 1
        shown = ", ".join(f"{n} {o}" for o, n in sorted(outcomes.items())) or err.strip()[:60]
        print(f"{count:>6} {wall:>8.1f} {wall / one:>6.3f} {cpu:>7.2f} {100 * cpu / wall:>6.2f} "
              f"{waits:>8.1f} {mean:>11.1f} {worst:>6.1f}  exit {status}: {shown}", flush=True)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
