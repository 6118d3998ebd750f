#!/usr/bin/env python3
"""Update budget benchmark: the time from starting Galvorand.exe to the entry of the
application DLL's SL_Launch2 when the update server accepts connections and never answers,
with the default budget ("updateTimeLimit" 60 s), against its target of the budget plus one
second. The peer measured in the same run is the minimal launcher (bench/launch), whose time
is what Wine itself takes to start a program; it is printed and taken off. Run by
bench/launch/run (private network namespace, peers, DISPLAY, Wine prefix).
  GV_BUDGET_BENCH_RUNS   runs (default 1: each takes a minute)"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.path.join(os.environ.get("GV_BUILD_ROOT", os.path.join(ROOT, "build")), "win64")
BUDGET_S = 60  # the default of "updateTimeLimit"


def winpath(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def run_once(folder, program="Galvorand.exe"):
    stamp = os.path.join(folder, "launched")
    if os.path.exists(stamp):
        os.remove(stamp)
    env = dict(os.environ, GV_FIXTURE_TIMESTAMP=winpath(stamp))
    start = time.monotonic()
    process = subprocess.Popen([os.path.join(ROOT, "tests", "support", "wine-run"), "win64",
                                os.path.join(folder, program)], env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    launched = None
    while process.poll() is None or launched is None:
        if launched is None and os.path.exists(stamp):
            launched = time.monotonic() - start
        if process.poll() is not None and launched is None:
            break
        time.sleep(0.01)
    process.wait()
    return launched


def main():
    port = os.environ["GV_FAULT_PORT"]
    runs = int(os.environ.get("GV_BUDGET_BENCH_RUNS", "1"))
    with tempfile.TemporaryDirectory() as folder:
        shutil.copy(os.path.join(BUILD, "launcher", "Galvorand.exe"), folder)
        shutil.copy(os.path.join(BUILD, "fixtures", "app", "Galvorand.dll"), folder)
        with open(os.path.join(folder, "Galvorand.ini"), "w") as f:
            f.write("[Settings]\nselfPatch=true\nupdateURL=http://127.0.0.1:%s/silent\n"
                    "digestURL=http://127.0.0.1:%s/silent\n" % (port, port))
        shutil.copy(os.path.join(BUILD, "bench", "launch", "minimal_launcher.exe"), folder)
        peer = [run_once(folder, "minimal_launcher.exe") for _ in range(3)]
        times = [run_once(folder) for _ in range(runs)]
    if None in times or None in peer:
        print("update budget: the application DLL was not launched")
        return 1
    wine = min(peer)
    worst = max(times) - wine
    target = BUDGET_S + 1
    print("update budget: server never answers, start to SL_Launch2 %.2f s (worst of %d) "
          "less %.2f s for Wine to start a program (minimal launcher) = %.2f s; target "
          "budget + 1 s = %d s; ratio %.3f" % (max(times), runs, wine, worst, target,
                                               worst / target))
    return 0 if worst <= target else 1


if __name__ == "__main__":
    sys.exit(main())
