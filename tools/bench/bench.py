"""Extraction benchmark, side by side in one run (./run bench; the builds must be current).

1. The launcher's extraction core natively on Linux (out/host/bench_extract: CUnPack::UnPackFiles
   over the simulated machine's real files) against `cp` of the same bytes: a 256 MiB
   single-entry package and a 2,000-file package; and the core's peak memory on a 1 GiB entry
   against a 256 MiB one.
2. The packed 64-bit launcher under Wine against an NSIS self-extractor holding the same payload
   (one 256 MiB file and 2,000 files of 4 KiB), both unpacking into the temp folder and removing
   it again.

Inputs and the NSIS peer are cached under out/bench/ (makensis takes a minute or two).
Options: --rounds N (default 3), --skip-wine, --skip-native.
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "wine"))
import harness  # noqa: E402

BENCH = os.path.join(ROOT, "out", "bench")
PAYLOAD = os.path.join(BENCH, "payload")
VESKPACK = os.path.join(ROOT, "out", "host", "veskpack")
BENCH_EXTRACT = os.path.join(ROOT, "out", "host", "bench_extract")
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
  File /r "{payload}\*.*"
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


def build_peer():
    peer = os.path.join(BENCH, "peer.exe")
    script = os.path.join(BENCH, "peer.nsi")
    text = NSIS_SCRIPT.format(out=peer, payload=os.path.join(PAYLOAD, "all"))
    if os.path.exists(peer) and os.path.exists(script) and open(script).read() == text:
        return peer
    with open(script, "w") as f:
        f.write(text)
    log("building the NSIS peer (makensis, a minute or two) ...")
    subprocess.run(["makensis", "-V1", script], check=True)
    return peer


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


def wine(rounds):
    log("== Wine: packed launcher vs NSIS self-extractor ==")
    launcher = pack(os.path.join(BENCH, "VESK.exe"),
                    [os.path.join(PAYLOAD, "all", n) for n in ["big.bin", *small_names()]])
    peer = build_peer()
    prefix = harness.WinePrefix("bench")
    try:
        # One wineserver for the whole run, up before the clock starts: a helper that waits
        # for a dialog that never comes keeps it alive.
        keeper = subprocess.Popen([harness.WINE, os.path.join(harness.WIN64, "testprogs",
                                                              "answer_dialog.exe"),
                                   "no such dialog", "ok", "3600"], env=prefix.env,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        # The package holds no agent: with code-signing settings an administrator takes the
        # standard launch, whose commands (cabinet expansion, the manager) end at once, instead
        # of waiting some 20 s for an agent that a scheduled task never brings.
        prefix.keep_standard_launch()
        times = {"launcher": [], "nsis": []}
        for _ in range(rounds):
            for name, program in (("launcher", launcher), ("nsis", peer)):
                drop_written()
                code = []
                times[name].append(timed(lambda: code.append(run_quietly(prefix, program))))
                if code[0] != 0:
                    raise RuntimeError(f"{name} exited with {code[0]}")
                if not temp_is_clean(prefix):
                    raise RuntimeError(f"{name} left {os.listdir(prefix.temp)} in the temp folder")
        if not any("UnPack total 2001 files." in m for m in prefix.log_messages()):
            raise RuntimeError("the launcher did not unpack its 2,001 files")
        keeper.kill()
        keeper.wait()
        ours, theirs = statistics.median(times["launcher"]), statistics.median(times["nsis"])
        log(f"launcher {ours:.2f} s, NSIS {theirs:.2f} s, ratio {ours / theirs:.2f}")
        return ours, theirs
    finally:
        prefix.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--skip-wine", action="store_true")
    parser.add_argument("--skip-native", action="store_true")
    args = parser.parse_args()
    os.makedirs(BENCH, exist_ok=True)
    prepare_payload()
    if not args.skip_native:
        native(args.rounds)
    if not args.skip_wine:
        wine(args.rounds)


if __name__ == "__main__":
    main()
