"""Extraction benchmark, side by side in one run (./run bench; the builds must be current).

1. The launcher's extraction core natively on Linux (out/host/bench_extract: CUnPack::UnPackFiles
   over the simulated machine's real files) against `cp` of the same bytes: a 256 MiB
   single-entry package and a 2,000-file package; and the core's peak memory on a 1 GiB entry
   against a 256 MiB one.
2. Under Wine, the packed launcher (64-bit build, or --build i686) against an NSIS self-extractor
   holding the same payload (one 256 MiB file and 2,000 files of 4 KiB) and against the floor
   (tools/bench/floor.cpp: the same package unpacked and deleted with nothing else), all
   unpacking into the temp folder and removing it again: wall time and CPU time (the program's
   processes and the wineserver), interleaved, best of N.
3. The phase timeline of one traced launcher run and of one floor run (timeline.py, from Wine's
   time-stamped debugger output), and the single steps' costs from tools/bench/probe.cpp, which
   split the extraction's time into log lines, free-space queries and file writing.

Inputs and the NSIS peer are cached under out/bench/ (makensis takes a minute or two).
Options: --rounds N (default 3), --skip-wine, --skip-native, --build x86_64|i686,
--compare STUB (another launcher stub, e.g. an earlier build, run side by side), --only-compare
(with --compare: the two launchers alone).
"""

import argparse
import os
import re
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "wine"))
import harness  # noqa: E402
import timeline  # noqa: E402

BENCH = os.path.join(ROOT, "out", "bench")
PAYLOAD = os.path.join(BENCH, "payload")
VESKPACK = os.path.join(ROOT, "out", "host", "veskpack")
BENCH_EXTRACT = os.path.join(ROOT, "out", "host", "bench_extract")
FLOOR = os.path.join(ROOT, "out", "x86_64", "bench", "floor.exe")
MIB = 1 << 20
BIG_SIZE = 256 * MIB
HUGE_SIZE = 1024 * MIB
SMALL_COUNT = 2000
SMALL_SIZE = 4096

NSIS_SCRIPT = r"""Unicode true
Target amd64-unicode
Name "peer"
OutFile "{out}"
SilentInstall silent
SetCompress off
RequestExecutionLevel user
Section
  InitPluginsDir
  SetOutPath $PLUGINSDIR
  {body}
  SetOutPath $TEMP
SectionEnd
"""


def log(text):
    print(text, flush=True)


def write_random(path, size):
    """Incompressible bytes, written once and cached."""
    if os.path.exists(path) and os.path.getsize(path) == size:
        return
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        left = size
        while left:
            n = min(left, 16 * MIB)
            f.write(os.urandom(n))
            left -= n
    os.replace(tmp, path)


def small_names():
    return [f"f{i:04d}.bin" for i in range(SMALL_COUNT)]


def prepare_payload():
    os.makedirs(os.path.join(PAYLOAD, "all"), exist_ok=True)
    os.makedirs(os.path.join(PAYLOAD, "small"), exist_ok=True)
    big = os.path.join(PAYLOAD, "all", "big.bin")
    write_random(big, BIG_SIZE)
    for name in small_names():
        path = os.path.join(PAYLOAD, "small", name)
        if not os.path.exists(path):
            with open(path, "wb") as f:
                f.write(os.urandom(SMALL_SIZE))
        linked = os.path.join(PAYLOAD, "all", name)
        if not os.path.exists(linked):
            os.link(path, linked)
    write_random(os.path.join(PAYLOAD, "huge.bin"), HUGE_SIZE)


def pack(out, entries, stub=harness.VESK):
    """Builds a package with veskpack unless it is newer than its stub."""
    if os.path.exists(out) and os.path.getmtime(out) >= os.path.getmtime(stub):
        return out
    subprocess.run([VESKPACK, "build", "--stub", stub, "-o", out, *entries], check=True,
                   stdout=subprocess.DEVNULL)
    return out


def timed(fn):
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def scratch():
    """A folder on the file system the simulated machine uses (/tmp), so both sides write to
    the same disk."""
    return tempfile.mkdtemp(prefix="vesk-bench-", dir="/tmp")


def run_core(package):
    out = subprocess.run([BENCH_EXTRACT, package], check=True, capture_output=True, text=True)
    m = re.search(r"seconds=([\d.]+) maxrss_kib=(\d+) files=(\d+)", out.stdout)
    return float(m.group(1)), int(m.group(2)), int(m.group(3))


def drop_written():
    # Let dirty pages of the previous round reach the disk so that rounds start alike.
    subprocess.run(["sync"], check=False)


def native(rounds):
    log("== native: extraction core vs cp ==")
    big_pkg = pack(os.path.join(BENCH, "big.pkg"), [os.path.join(PAYLOAD, "all", "big.bin")])
    small_pkg = pack(os.path.join(BENCH, "small.pkg"),
                     [os.path.join(PAYLOAD, "small", n) for n in small_names()])
    huge_pkg = pack(os.path.join(BENCH, "huge.pkg"), [os.path.join(PAYLOAD, "huge.bin")])

    rows = []
    for label, package, copy_args, expect in (
            ("256 MiB, one entry", big_pkg, [os.path.join(PAYLOAD, "all", "big.bin")], 1),
            ("2,000 files of 4 KiB", small_pkg,
             [os.path.join(PAYLOAD, "small", n) for n in small_names()], SMALL_COUNT)):
        core_times, cp_times = [], []
        for _ in range(rounds):
            # Alternate the two so neither gets a warmer cache.
            drop_written()
            seconds, _, files = run_core(package)
            assert files == expect, (files, expect)
            core_times.append(seconds)
            drop_written()
            dest = scratch()
            cp_times.append(timed(lambda: subprocess.run(["cp", *copy_args, dest], check=True)))
            shutil.rmtree(dest)
        core, cp = statistics.median(core_times), statistics.median(cp_times)
        rows.append((label, core, cp, core / cp))
        log(f"{label}: core {core:.3f} s, cp {cp:.3f} s, ratio {core / cp:.2f}")

    _, rss_big, _ = run_core(big_pkg)
    _, rss_huge, _ = run_core(huge_pkg)
    log(f"peak memory: 256 MiB entry {rss_big / 1024:.1f} MiB, 1 GiB entry {rss_huge / 1024:.1f} MiB")
    return rows, (rss_big, rss_huge)


def build_nsis(folder, body, reuse=False):
    """The NSIS peer in `folder`: a stored, silent installer that does `body` in its plug-ins
    folder below the temp folder and removes the folder. With `reuse`, one built from the same
    script before is kept (its inputs must not have changed since)."""
    peer = os.path.join(folder, "peer.exe")
    script = os.path.join(folder, "peer.nsi")
    text = NSIS_SCRIPT.format(out=peer, body=body)
    if reuse and os.path.exists(peer) and os.path.exists(script) and open(script).read() == text:
        return peer
    with open(script, "w") as f:
        f.write(text)
    log("building the NSIS peer (makensis, a minute or two) ...")
    subprocess.run(["makensis", "-V1", script], check=True)
    return peer


def build_peer():
    return build_nsis(BENCH, f'File /r "{os.path.join(PAYLOAD, "all")}\\*.*"', reuse=True)


def temp_is_clean(wine):
    # The log and the shared folder stay by design; the work folder must not.
    left = [n for n in os.listdir(wine.temp)
            if n == "unpackvesk" or not (n.startswith("unpack") or n == "Quintrova")]
    return not left


def run_quietly(prefix, program, *args):
    """Runs a Windows program to its end; its output is not collected (services that Wine starts
    on the way would hold a pipe open for as long as the wineserver lives)."""
    return subprocess.run([harness.WINE, program, *args], env=prefix.env, timeout=600,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode


def keep_wineserver(prefix):
    """One wineserver for the whole run, up before the clock starts: a helper that waits for a
    dialog that never comes keeps it alive."""
    return subprocess.Popen([harness.WINE, os.path.join(harness.WIN64, "testprogs",
                                                        "answer_dialog.exe"),
                             "no such dialog", "ok", "3600"], env=prefix.env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def wineserver_pid(prefix):
    """The process id of the prefix's wineserver (found by its environment)."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/comm") as f:
                if not f.read().startswith("wineserver"):
                    continue
            with open(f"/proc/{entry}/environ", "rb") as f:
                if f"WINEPREFIX={prefix.path}".encode() in f.read().split(b"\0"):
                    return int(entry)
        except OSError:
            continue
    return None


def cpu_seconds(pid):
    """User and system time a process has used so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def side_by_side(prefix, programs, rounds):
    """Times each program from start to exit, interleaved round by round so that all see the
    same machine. Returns ({name: [wall seconds]}, {name: [CPU seconds]}): the CPU time of the
    program's processes and of the wineserver working for it, which the other users of this
    machine disturb far less than the wall time."""
    times = {name: [] for name, _ in programs}
    cpu = {name: [] for name, _ in programs}
    server = wineserver_pid(prefix)
    for _ in range(rounds):
        for name, program in programs:
            drop_written()
            timeline.without_shared_folder(prefix.env)
            code = []
            children = resource.getrusage(resource.RUSAGE_CHILDREN)
            served = cpu_seconds(server) if server else 0.0
            times[name].append(timed(lambda: code.append(run_quietly(prefix, program))))
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            cpu[name].append(after.ru_utime - children.ru_utime + after.ru_stime -
                             children.ru_stime + (cpu_seconds(server) - served if server else 0))
            if code[0] != 0:
                raise RuntimeError(f"{name} exited with {code[0]}")
            if not temp_is_clean(prefix):
                raise RuntimeError(f"{name} left {os.listdir(prefix.temp)} in the temp folder")
    return times, cpu


def print_table(rows, times, cpu, ours="launcher"):
    best = {name: min(t) for name, t in times.items()}
    least = {name: min(t) for name, t in cpu.items()}
    log(f"  {'program':<42} {'wall best':>9} {'median':>7} {'ours/it':>7} "
        f"{'CPU best':>9} {'ours/it':>7}")
    for name, label in rows:
        log(f"  {label:<42} {best[name]:8.2f}s {statistics.median(times[name]):6.2f}s "
            f"{best[ours] / best[name]:7.2f} {least[name]:8.2f}s {least[ours] / least[name]:7.2f}")
    return best


def load():
    return "load average " + " ".join(f"{x:.2f}" for x in os.getloadavg())


def wine(rounds, build, compare=None, only_compare=False):
    log(f"== Wine: packed launcher ({build} build) vs NSIS self-extractor vs floor ==")
    stub = os.path.join(ROOT, "out", build, "VESK.exe")
    entries = [os.path.join(PAYLOAD, "all", n) for n in ["big.bin", *small_names()]]
    launcher = pack(os.path.join(BENCH, f"VESK-{build}.exe"), entries, stub=stub)
    floor = pack(os.path.join(BENCH, "floor.exe"), entries, stub=FLOOR)
    peer = build_peer()
    programs = [("launcher", launcher), ("nsis", peer), ("floor", floor)]
    rows = [("launcher", f"our packed launcher ({build})"),
            ("nsis", "NSIS stored self-extractor (amd64)"),
            ("floor", "floor: bare extract-and-delete (x86_64)")]
    if compare:
        # Another launcher stub (an earlier build, say) packed with the same payload.
        programs.append(("compare", pack(os.path.join(BENCH, "VESK-compare.exe"), entries,
                                         stub=compare)))
        rows.append(("compare", "the launcher built from --compare"))
        if only_compare:
            programs = [programs[0], programs[-1]]
            rows = [rows[0], rows[-1]]
    prefix = harness.WinePrefix("bench")
    try:
        keeper = keep_wineserver(prefix)
        # The package holds no agent: with code-signing settings an administrator takes the
        # standard launch, whose commands (cabinet expansion, the manager) end at once, instead
        # of waiting some 20 s for an agent that a scheduled task never brings.
        prefix.keep_standard_launch()
        log(f"  before: {load()}")
        times, cpu = side_by_side(prefix, programs, rounds)
        if not any("UnPack total 2001 files." in m for m in prefix.log_messages()):
            raise RuntimeError("the launcher did not unpack its 2,001 files")
        log(f"  after:  {load()}")
        log(f"whole run, start to exit, best of {rounds} (WINEDEBUG=-all); CPU: the program's "
            "processes and the wineserver:")
        print_table(rows, times, cpu)
        if only_compare:
            keeper.kill()
            keeper.wait()
            return times, cpu, {}

        # One traced run of each, for the timeline.
        traced = timeline.run_traced(prefix.env, harness.WINE, launcher)
        entries_done, gaps = timeline.extraction_gaps(traced)
        traced_floor = timeline.run_traced(prefix.env, harness.WINE, floor)
        probe = os.path.join(ROOT, "out", "x86_64", "bench", "probe.exe")
        figures = {}
        figures.update(timeline.probe(prefix.env, harness.WINE, probe, "queries",
                                      str(3 * SMALL_COUNT)))
        figures.update(timeline.probe(prefix.env, harness.WINE, probe, "files",
                                      str(SMALL_COUNT), str(SMALL_SIZE)))
        figures.update(timeline.probe(prefix.env, harness.WINE, probe, "big", str(BIG_SIZE)))
        figures.update(timeline.probe(prefix.env, harness.WINE, probe, "copy",
                                      harness.WinePrefix.windows_path(launcher)))
        keeper.kill()
        keeper.wait()
        timeline.print_phases(
            log, f"timeline of one traced launcher run ({build}, WINEDEBUG={timeline.TRACE}), "
            f"exit code {traced.code}:", timeline.launcher_timeline(traced))
        print_extraction(entries_done, gaps, figures)
        timeline.print_phases(log, "timeline of one traced floor run:",
                              timeline.floor_timeline(traced_floor))
        log("single steps under Wine (tools/bench/probe.cpp), ms:")
        for name, ms in figures.items():
            log(f"  {ms:9.1f}  {name}")
        return times, cpu, figures
    finally:
        prefix.close()


def print_extraction(entries, gaps, figures):
    """The extraction's per-entry gaps, and what the probe says the prescribed steps in them
    cost, so that the rest is the write path."""
    # The benchmark's launcher runs elevated (Wine's user is an administrator): its lines carry
    # the elevated run's check of the log file.
    per_line = ((figures["log_checked_in_folder"] + figures["debugger_output"]) /
                (3 * SMALL_COUNT))
    per_query = figures["freespace_held"] / (3 * SMALL_COUNT)
    log(f"extraction, {entries} entries, the gaps between each entry's log lines summed (ms):")
    log(f"  {gaps['query_to_name']:8.0f}  free-space line -> name line (work folder, 1 log line)")
    log(f"  {gaps['name_to_count']:8.0f}  name line -> count line (create, copy, 1 log line)")
    log(f"  {gaps['count_to_next']:8.0f}  count line -> next entry's free-space line (close, "
        f"free-space query, 1 log line)")
    log(f"  {gaps['largest_copy']:8.0f}  of the name -> count gaps, the longest (the largest entry)")
    lines = 3 * entries * per_line
    queries = entries * per_query
    rest = gaps["query_to_name"] + gaps["name_to_count"] + gaps["count_to_next"] - lines - queries
    log(f"  of which, by the probe's unit costs: 3 log lines per entry {lines:.0f} "
        f"({per_line:.3f} ms an elevated run's line, debugger output included), "
        f"free-space queries "
        f"{queries:.0f} ({per_query:.3f} ms each), the rest (create, copy, close) {rest:.0f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--skip-wine", action="store_true")
    parser.add_argument("--skip-native", action="store_true")
    parser.add_argument("--build", choices=["x86_64", "i686"], default="x86_64",
                        help="the launcher build under Wine (the peer and the floor are 64-bit)")
    parser.add_argument("--compare", metavar="STUB",
                        help="another launcher stub to run side by side (e.g. an earlier build)")
    parser.add_argument("--only-compare", action="store_true",
                        help="with --compare: only the two launchers, no peer, floor or timeline")
    args = parser.parse_args()
    os.makedirs(BENCH, exist_ok=True)
    prepare_payload()
    if not args.skip_native:
        native(args.rounds)
    if not args.skip_wine:
        wine(args.rounds, args.build, args.compare, args.only_compare)


if __name__ == "__main__":
    main()
