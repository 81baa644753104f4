#!/usr/bin/python3
"""One person, many gateways: gwtest run on gwsim boards with a simulated
person at the terminal, who answers each question 1.5 s after it appears
(the boards press their buttons 1 s into the button test). For each round
prints the wall time, its ratio to one gateway, the units per hour for the
one operator, the station's CPU share, the largest gap the station left
between a reply and the next request of a gateway, and those gaps' share of
the runs.

Figures only, nothing asserted. Needs root and a release build (script/build
release demo). Run from the source tree:

    bench/gangs.py [--rounds GWM0101x1,GWM0101x4,GWM0101x16,GWM0202x4]
                      [--gang on|off|both] [--answer-after SECONDS]
"""

import argparse
import json
import os
import pty
import shutil
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from station import GWTEST, start_boards, stop_boards  # noqa: E402


class Person(threading.Thread):
    """Reads the station's events and answers each yes/no question after a
    while, by typing into the terminal the station reads its answers from."""

    def __init__(self, events, terminal, delay):
        super().__init__(daemon=True)
        self.events, self.terminal, self.delay = events, terminal, delay
        self.lines = []
        self.questions = 0

    def run(self):
        for raw in self.events:
            line = raw.decode(errors="replace")
            self.lines.append(line)
            if not line.startswith("{"):
                continue
            e = json.loads(line)
            if e["event"] == "prompt-needed" and e["prompt"] != "press-button":
                self.questions += 1
                time.sleep(self.delay)
                os.write(self.terminal, b"y\n")


def own_gaps(events):
    """Per gateway, the time from a reply to the next request when nothing
    but the station stood between them (the next test needs no person):
    the largest gap in ms, and the sum of all gaps over the sum of the runs."""
    runs = {}
    largest, total, runtime = 0, 0, 0
    where = ""
    for e in events:
        run = runs.setdefault(e.get("run"), {"start": None, "last": None})
        kind = e["event"]
        if kind == "run-started":
            run["start"] = e["unix_ms"]
        elif kind == "run-finished" and run["start"] is not None:
            runtime += e["unix_ms"] - run["start"]
        elif kind == "test-finished" and e["outcome"] not in ("skipped", "not-run"):
            run["last"] = e["unix_ms"]
            run["name"] = e["name"]
        elif kind == "test-started":
            if run["last"] is not None and not e.get("gang") and e.get("attempt", 1) == 1:
                gap = e["unix_ms"] - run["last"]
                if gap > largest:
                    where = f'{run["name"]} -> {e["name"]}'
                largest = max(largest, gap)
                total += gap
            run["last"] = None
    if os.environ.get("GANGS_DEBUG"):
        print("largest gap:", where, file=sys.stderr)
    return largest, (100.0 * total / runtime if runtime else 0.0)


def run_station(addresses, gang, delay, work):
    """One gwtest run over the boards, the person at its terminal."""
    master, slave = pty.openpty()
    args = [GWTEST, "run", *addresses, "--operator", "tty", "--json", "--gang", gang,
            "--records", os.path.join(work, "records"), "--station", "bench"]
    t0 = time.monotonic()
    proc = subprocess.Popen(args, stdin=slave, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                            start_new_session=True)
    os.close(slave)
    # The terminal's echo of the questions, read and dropped.
    drain = threading.Thread(target=lambda: _drain(master), daemon=True)
    drain.start()
    person = Person(proc.stdout, master, delay)
    person.start()
    status = proc.wait()
    wall = time.monotonic() - t0
    person.join(timeout=5)
    os.close(master)
    events = [json.loads(line) for line in person.lines if line.startswith("{")]
    return wall, status, events, person.questions


def _drain(fd):
    try:
        while os.read(fd, 4096):
            pass
    except OSError:
        pass


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", default="GWM0101x1,GWM0101x4,GWM0101x16,GWM0202x4")
    parser.add_argument("--gang", default="on", choices=["on", "off", "both"])
    parser.add_argument("--answer-after", type=float, default=1.5)
    opts = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("bench/gangs.py: needs root (gwsim boards)")
    if not os.access(GWTEST, os.X_OK):
        sys.exit("bench/gangs.py: build first: script/build release demo")
    rounds = []
    for item in opts.rounds.split(","):
        model, _, count = item.partition("x")
        rounds.append((model.upper(), int(count or 1)))
    gangs = ["on", "off"] if opts.gang == "both" else [opts.gang]

    print(f"{'gateways':>13} {'gang':>4} {'wall s':>7} {'x one':>6} {'units/h':>7} {'asked':>5} "
          f"{'cpu %':>6} {'gap ms':>6} {'gaps %':>6}  outcomes")
    one = {}
    for gang in gangs:
        for model, count in rounds:
            work = tempfile.mkdtemp(prefix=f"gwtest-operator-{count}.")
            boards = start_boards(model, count, work)
            try:
                before = os.times()
                wall, status, events, asked = run_station([a for _, a in boards], gang,
                                                          opts.answer_after, work)
                after = os.times()
            finally:
                stop_boards(boards)
            cpu = (after.children_user - before.children_user) + (after.children_system - before.children_system)
            if count == 1:
                one[model] = wall
            base = one.get(model)
            largest, share = own_gaps(events)
            outcomes = {}
            for e in events:
                if e["event"] == "run-finished":
                    outcomes[e["outcome"]] = outcomes.get(e["outcome"], 0) + 1
            shown = ", ".join(f"{n} {o}" for o, n in sorted(outcomes.items())) or f"exit {status}"
            ratio = f"{wall / base:>6.2f}" if base else f"{'-':>6}"
            print(f"{count:>4} x {model} {gang:>4} {wall:>7.1f} {ratio} {count * 3600 / wall:>7.0f} {asked:>5} "
                  f"{100 * cpu / wall:>6.2f} {largest:>6} {share:>6.2f}  {shown}", flush=True)
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
