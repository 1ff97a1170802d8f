"""Where one run's time goes, read from Wine's time-stamped debugger output.

A program run with WINEDEBUG=warn+seh,+timestamp,+pid,+loaddll,trace+win writes, for every
process, one line per DLL it loads, one per debugger-output line (the launcher sends each log
line there too) and lines for what its windows do (the loading window's hiding and destruction
mark the window's close), each stamped with Wine's millisecond tick count and the process id. The tick count is the
system's monotonic clock, so the moment the benchmark starts the program and the moment it has
ended can be put on the same scale (`clock()`).
"""

import os
import re
import shutil
import subprocess
import tempfile
import time

TRACE = "warn+seh,+timestamp,+pid,+loaddll,trace+win"

LINE = re.compile(r"^\s*(\d+)\.(\d{3}):([0-9a-f]+):[0-9a-f]+:(\w+):(\w+):(\S+) (.*)$")
LOADED = re.compile(r'Loaded L"(.*?)"')
# A log line as the launcher sends it: "[pid]date time  message (Last=n)".
MESSAGE = re.compile(r'^"\[\d+\]\S+ \S+  (.*) \(Last=-?\d+\)"$')


def clock():
    """Milliseconds on the clock of Wine's time stamps."""
    return time.clock_gettime(time.CLOCK_MONOTONIC_RAW) * 1000.0


class Event:
    __slots__ = ("ms", "pid", "kind", "text")

    def __init__(self, ms, pid, kind, text):
        self.ms, self.pid, self.kind, self.text = ms, pid, kind, text


def parse(output):
    """Events in the order written: kind "dll" (text: the DLL's path), "log" (text: the log
    line's message) or "debug" (other debugger output)."""
    events = []
    for line in output.splitlines():
        m = LINE.match(line)
        if not m:
            continue
        ms = int(m.group(1)) * 1000 + int(m.group(2))
        pid, function, rest = int(m.group(3), 16), m.group(6), m.group(7)
        if m.group(5) == "loaddll":
            loaded = LOADED.search(rest)
            if loaded:
                events.append(Event(ms, pid, "dll", loaded.group(1).replace("\\\\", "\\")))
        elif m.group(5) == "win" and function in ("show_window", "NtUserDestroyWindow"):
            events.append(Event(ms, pid, "win", function + " " + rest))
        elif m.group(5) == "seh" and function.startswith("OutputDebugString"):
            logged = MESSAGE.search(rest)
            if logged:
                events.append(Event(ms, pid, "log", logged.group(1).replace("\\\\", "\\")))
            else:
                events.append(Event(ms, pid, "debug", rest))
    return events


class Run:
    """One traced run: its events, and the start and end on the same clock."""

    def __init__(self, events, start, end, code):
        self.events, self.start, self.end, self.code = events, start, end, code

    def first(self, kind, contains="", pid=None, after=0.0):
        for e in self.events:
            if e.kind == kind and contains in e.text and e.ms >= after and (
                    pid is None or e.pid == pid):
                return e
        return None

    def logs(self, contains=""):
        return [e for e in self.events if e.kind == "log" and contains in e.text]

    def pid_of(self, kind, contains):
        e = self.first(kind, contains)
        return e.pid if e else None

    def process_start(self, pid):
        """The first line the process wrote: its first DLL load."""
        for e in self.events:
            if e.pid == pid:
                return e.ms
        return None

    def program_start(self, name):
        """When a process whose main program is `name` (case ignored) began: the first line of
        the process that loaded it."""
        name = name.lower()
        for e in self.events:
            if e.kind == "dll" and e.text.lower().endswith("\\" + name):
                return self.process_start(e.pid)
        return None


def without_shared_folder(env):
    """Removes the launcher's shared folder under ProgramData before a run. Wine keeps no access
    lists, so a folder an earlier run made reads back as open to users, and an elevated run
    refuses to copy its backup there; on Windows the list the first run set stays and every run
    copies. Without the folder, each run makes it afresh and copies, as it would there."""
    shutil.rmtree(os.path.join(env["WINEPREFIX"], "drive_c", "ProgramData", "Quintrova"),
                  ignore_errors=True)


def run_traced(env, wine, program, *args, timeout=600):
    """Runs a Windows program to its end with the trace on; its output goes through a file (a
    pipe would stay open as long as processes Wine started on the way live)."""
    without_shared_folder(env)
    env = dict(env)
    env["WINEDEBUG"] = TRACE
    with tempfile.TemporaryFile() as out:
        start = clock()
        proc = subprocess.run([wine, program, *args], env=env, stdout=subprocess.DEVNULL,
                              stderr=out, timeout=timeout)
        end = clock()
        out.seek(0)
        text = out.read().decode("utf-8", "replace")
    return Run(parse(text), start, end, proc.returncode)


def phases(milestones):
    """[(label, ms)] from [(label, ms at its end)], each phase up to its own milestone."""
    out = []
    for (_, before), (label, at) in zip(milestones, milestones[1:]):
        if before is not None and at is not None:
            out.append((label, at - before))
        else:
            out.append((label, None))
    return out


def launcher_timeline(run):
    """The phases of one run of the packed launcher (standard launch), in ms, and the
    extraction's per-entry gaps summed: [(label, ms)]."""
    pid = run.pid_of("log", "[CUnPack::FindHeader] Name:")
    if pid is None:
        raise RuntimeError("no extraction in the trace")
    commands = [e for e in run.logs("[CUnPackFileApp::ExecuteCommand] succ wait") if e.pid == pid]
    finished = [e for e in run.logs("[CUnPackFileApp::ExecuteCommand] pid:") if e.pid == pid]
    backup = run.first("log", "backup for elevation", pid)
    own = [e for e in run.events if e.pid == pid]
    first_log = next(e for e in own if e.kind == "log")
    manager = run.program_start("QVManagerVESK.exe")

    def at(e):
        return e.ms if e else None

    marks = [
        ("start (the benchmark starts wine)", run.start),
        ("Wine start-up to the launcher's first line", run.process_start(pid)),
        ("process start to the first log line", first_log.ms),
        ("first log line to the extraction (window, single instance, OS line)",
         at(run.first("log", "[CUnPack::FindHeader] Name:", pid))),
        ("extraction (package located, entries written)",
         at(run.first("log", "UnPack total", pid))),
        ("settings, switches, cabinet command started",
         at(commands[0]) if commands else None),
        ("cabinet expansion (interpreter, expand, 120 ms polls)",
         at(finished[0]) if finished else None),
        ("file preparation, the manager's command started",
         at(commands[1]) if len(commands) > 1 else None),
        ("elevation backup copy", at(backup)),
        ("wait for the manager's command to end (120 ms polls)",
         at(finished[1]) if len(finished) > 1 else None),
    ]
    # After the last command: the work folder's removal (nothing logged), then the loading
    # window's close (hidden, then destroyed), then the exit.
    last = finished[-1].ms if finished else None
    closing = [e for e in own if e.kind == "win" and last is not None and e.ms >= last]
    if closing:
        marks += [("work-folder removal", closing[0].ms),
                  ("window close", closing[-1].ms),
                  ("exit", run.end)]
    else:
        marks.append(("work-folder removal, window close, exit", run.end))
    result = phases(marks)
    if manager is not None and len(commands) > 1:
        at_command = [label for label, _ in marks].index(
            "file preparation, the manager's command started")
        result.insert(at_command, ("  the manager's process up, after its command's start",
                                   manager - commands[1].ms))
    return result


def extraction_gaps(run):
    """The extraction's per-entry gaps between the three lines of each entry, summed:
    FreeSpace -> name (work folder, one log line), name -> count (create, copy, one log line),
    count -> next FreeSpace or total (close, free-space query, one log line); and the longest
    name -> count gap, the largest entry's. Returns (entries, {gap: ms})."""
    pid = run.pid_of("log", "[CUnPack::FindHeader] Name:")
    lines = [e for e in run.events if e.pid == pid and e.kind == "log" and "[CUnPack::" in e.text]
    sums = {"query_to_name": 0, "name_to_count": 0, "count_to_next": 0, "largest_copy": 0}
    entries = 0
    previous_count = None
    free = name = None
    for e in lines:
        if "FreeSpace:" in e.text:
            free = e
            if previous_count is not None:
                sums["count_to_next"] += e.ms - previous_count.ms
        elif "UnPack file name:" in e.text:
            name = e
            if free is not None:
                sums["query_to_name"] += e.ms - free.ms
        elif "UnPack count:" in e.text:
            entries += 1
            if name is not None:
                sums["name_to_count"] += e.ms - name.ms
                sums["largest_copy"] = max(sums["largest_copy"], e.ms - name.ms)
            previous_count = e
        elif "UnPack total" in e.text and previous_count is not None:
            sums["count_to_next"] += e.ms - previous_count.ms
    return entries, sums


def floor_timeline(run):
    """Start to the floor's process, and its process to exit."""
    pids = [e.pid for e in run.events if e.kind == "dll" and e.text.lower().endswith("floor.exe")]
    start = run.process_start(pids[0]) if pids else None
    return phases([("start", run.start), ("Wine start-up to the process's first line", start),
                   ("extraction and removal, exit", run.end)])


def probe(env, wine, program, *args):
    """Runs the probe and returns its figures {name: ms}."""
    env = dict(env)
    env["WINEDEBUG"] = "-all"
    out = subprocess.run([wine, program, *args], env=env, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, timeout=900, text=True, check=True).stdout
    figures = {}
    for line in out.splitlines():
        if "=" in line:
            k, v = line.strip().split("=", 1)
            figures[k] = float(v)
    return figures


def fmt(ms):
    return "       -" if ms is None else f"{ms:8.0f}"


def print_phases(log, title, rows):
    log(title)
    total = 0.0
    for label, ms in rows:
        log(f"  {fmt(ms)} ms  {label}")
        if ms is not None and not label.startswith("  "):
            total += ms
    log(f"  {total:8.0f} ms  total")


if __name__ == "__main__":
    # A saved trace (stderr of a run with WINEDEBUG=<TRACE>): the launcher's phases, from its
    # first to its last line.
    import sys
    with open(sys.argv[1], encoding="utf-8", errors="replace") as f:
        events = parse(f.read())
    print_phases(print, sys.argv[1],
                 launcher_timeline(Run(events, events[0].ms, events[-1].ms, 0)))
