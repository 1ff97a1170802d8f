"""Time to the agent for a realistic package, side by side in one run under Wine: the packed
launcher against an NSIS installer that does the same job.

The package: a setup.ini and one cabinet (gcab, stored: the test prefix's substitute expand.exe
reads uncompressed cabinets only) of 30 files, about 5 MB: the substitute agent's programs and
files (tools/agent) and 21 files of random bytes. The launcher runs its
standard launch (a pre-Vista prefix would take it too; the code-signing settings make it take
it on the prefix's default version): extraction, the cabinet expansion through the interpreter,
the manager started through the interpreter. The peer (makensis, stored, the same 30 files) unpacks
them into its plug-ins folder below the temp folder and starts the same manager, waiting for it,
then removes the folder.

Measured: from the moment the benchmark starts the program to the first line of the manager's
process in Wine's time-stamped trace (timeline.py), and the whole run; best of N rounds,
interleaved. The manager records itself and exits at once (NoWindow=1, RunSeconds=0,
StartServer=0).

Options: --rounds N (default 3), --build x86_64|i686 (the launcher build; default x86_64),
--before STUB (an earlier build's VESK.exe, packed with the same files and run in the same
rounds, for a before-and-after comparison).
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "wine"))
sys.path.insert(0, os.path.join(ROOT, "tools", "demo"))
import agent_package  # noqa: E402
import bench  # noqa: E402
import harness  # noqa: E402
import timeline  # noqa: E402

BENCH = os.path.join(ROOT, "out", "bench", "agent")
FILLERS = 21
FILLER_SIZE = 230 * 1024
TOKEN = "bench"
log = bench.log


def agent_files(folder):
    """Writes the 30 files into `folder` (once) and returns their paths."""
    os.makedirs(folder, exist_ok=True)
    paths = [os.path.join(agent_package.agent_dir(), n) for n in agent_package.CABINET_FILES]
    extra = dict(agent_package.CATALOGS)
    extra["agent.ini"] = agent_package.ini("Agent", {"NoWindow": 1, "RunSeconds": 0,
                                                     "StartServer": 0})
    for name, data in extra.items():
        path = os.path.join(folder, name)
        with open(path, "wb") as f:
            f.write(data)
        paths.append(path)
    for i in range(FILLERS):
        path = os.path.join(folder, f"data{i:02d}.bin")
        if not os.path.exists(path) or os.path.getsize(path) != FILLER_SIZE:
            with open(path, "wb") as f:
                f.write(os.urandom(FILLER_SIZE))
        paths.append(path)
    return paths


def build_launcher(build, files, stub=None, name=None):
    stub = stub or os.path.join(ROOT, "out", build, "VESK.exe")
    out = os.path.join(BENCH, name or f"Support-{build}.exe")
    with tempfile.TemporaryDirectory() as work:
        cab = os.path.join(work, "agent.cab")
        subprocess.run(["gcab", "-c", "-n", cab, *files], check=True)
        ini = os.path.join(work, "setup.ini")
        with open(ini, "wb") as f:
            f.write(agent_package.ini("Settings", {"vesk_token": TOKEN}))
        subprocess.run([agent_package.VESKPACK, "build", "--stub", stub, "-o", out, ini, cab],
                       check=True, stdout=subprocess.DEVNULL)
        return out, os.path.getsize(cab)


def build_peer(files):
    staged = os.path.join(BENCH, "peer-files")
    os.makedirs(staged, exist_ok=True)
    for path in files:
        target = os.path.join(staged, os.path.basename(path))
        shutil.copyfile(path, target)
    return bench.build_nsis(BENCH, f'File "{staged}\\*.*"\n'
                                   f'  ExecWait \'"$PLUGINSDIR\\QVManagerVESK.exe" /T {TOKEN}\'')


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--build", choices=["x86_64", "i686"], default="x86_64")
    parser.add_argument("--before", metavar="STUB",
                        help="an earlier launcher build (its VESK.exe), run side by side")
    args = parser.parse_args()

    files = agent_files(os.path.join(BENCH, "files"))
    launcher, cab_size = build_launcher(args.build, files)
    peer = build_peer(files)
    before = build_launcher(args.build, files, args.before, "Support-before.exe")[0] \
        if args.before else None
    log(f"== Wine: time to the agent, packed launcher ({args.build}) vs NSIS ==")
    log(f"  package: setup.ini and one cabinet of {len(files)} files, {cab_size:,} bytes")

    prefix = harness.WinePrefix("bench-agent")
    try:
        prefix.install_system_program("expand.exe")
        prefix.keep_standard_launch()
        keeper = bench.keep_wineserver(prefix)
        # One of each first, so both start from warm caches.
        programs = (("launcher", launcher), ("nsis", peer)) + \
            ((("before", before),) if before else ())
        for _, program in programs:
            timeline.run_traced(prefix.env, harness.WINE, program)
        to_agent = {name: [] for name, _ in programs}
        whole = {name: [] for name, _ in programs}
        traced = {}
        log(f"  before: load average {os.getloadavg()[0]:.2f}")
        for _ in range(args.rounds):
            for name, program in programs:
                run = timeline.run_traced(prefix.env, harness.WINE, program)
                start = run.program_start("QVManagerVESK.exe")
                if run.code != 0 or start is None:
                    raise RuntimeError(f"{name}: exit code {run.code}, manager started: "
                                       f"{start is not None}")
                to_agent[name].append(start - run.start)
                whole[name].append(run.end - run.start)
                traced[name] = run
        log(f"  after:  load average {os.getloadavg()[0]:.2f}")
        keeper.kill()
        keeper.wait()
        log(f"  {'program':<36} {'to the manager (best / median)':>32} {'whole run (best)':>18}")
        for name, label in (("launcher", f"our packed launcher ({args.build})"),
                            ("nsis", "NSIS installer (amd64, stored)"),
                            ("before", "the earlier launcher build")):
            if name not in to_agent:
                continue
            log(f"  {label:<36} {min(to_agent[name]):13.0f} ms / {statistics.median(to_agent[name]):6.0f} ms"
                f" {min(whole[name]):15.0f} ms")
        log(f"  ratio launcher / NSIS, time to the manager (best): "
            f"{min(to_agent['launcher']) / min(to_agent['nsis']):.2f}")
        if before:
            log(f"  ratio launcher / earlier build, time to the manager (best): "
                f"{min(to_agent['launcher']) / min(to_agent['before']):.2f}, whole run (best): "
                f"{min(whole['launcher']) / min(whole['before']):.2f}")
        timeline.print_phases(log, "timeline of the launcher's last round (ms):",
                              timeline.launcher_timeline(traced["launcher"]))
    finally:
        prefix.close()


if __name__ == "__main__":
    main()
