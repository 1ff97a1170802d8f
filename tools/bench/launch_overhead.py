"""The launcher's own cost of a standard launch under Wine, side by side in one run with the bare
cost of starting the command interpreter (`wine64 cmd /c exit`).

The launcher runs the full standard launch of a package whose manager exits at once (the
substitute agent with NoWindow=1, RunSeconds=0): extraction, cabinet expansion, file
preparation, the elevation backup, the manager started through the interpreter, clean-up. From
its wall time the waits the design prescribes are taken off: each of its two commands is polled
in 120 ms steps, so at least 2 x 120 ms pass in waits whatever the machine does.

Options: --rounds N (default 5; medians are reported).
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "wine"))
sys.path.insert(0, os.path.join(ROOT, "tools", "demo"))
import agent_package  # noqa: E402
import harness  # noqa: E402

PRESCRIBED_WAITS_S = 2 * 0.120


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()

    wine = harness.WinePrefix("bench-launch")
    try:
        wine.install_system_program("expand.exe")
        wine.keep_standard_launch()
        launcher = os.path.join(wine.drive_c, "Downloads", "Support.exe")
        agent_package.build(launcher, settings={"vesk_token": "bench"},
                            agent={"NoWindow": 1, "RunSeconds": 0, "StartServer": 0})

        def run_launcher():
            code, _ = wine.run(launcher)
            assert code == 0, code

        def run_cmd():
            wine.run("cmd", "/c", "exit")

        # One of each first, so both start from warm caches and a running wineserver.
        run_launcher()
        run_cmd()
        launches, cmds = [], []
        for _ in range(args.rounds):  # interleaved, so both see the same machine
            launches.append(timed(run_launcher))
            cmds.append(timed(run_cmd))
        launch = statistics.median(launches)
        cmd = statistics.median(cmds)
        overhead = launch - PRESCRIBED_WAITS_S
        print(f"standard launch, wall time (median of {args.rounds}):   {launch:.3f} s")
        print(f"  minus the prescribed waits ({PRESCRIBED_WAITS_S:.2f} s):       {overhead:.3f} s")
        print(f"wine64 cmd /c exit (median of {args.rounds}):            {cmd:.3f} s")
        print(f"launcher overhead / bare interpreter start:        {overhead / cmd:.2f}")
    finally:
        wine.close()


if __name__ == "__main__":
    main()
