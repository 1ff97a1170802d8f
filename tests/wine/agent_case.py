"""Test cases that run a packed launcher with the substitute agent under Wine."""

import ctypes
import os
import struct
import sys
import threading
import time

import harness

sys.path.insert(0, os.path.join(harness.ROOT, "tools", "demo"))
import agent_package  # noqa: E402

PRODUCT_KEY = harness.PRODUCT_KEY
TESTPROGS = os.path.join(harness.WIN64, "testprogs")


IN_OPEN, IN_DELETE = 0x20, 0x200


def on_event(path, mask, count, action):
    """A program watching the folder of `path` (inotify): at the `count`-th event of `mask` on
    the name `path` ends in (any name when it ends in a separator), it does `action`. Returns its
    thread, which ends then."""
    libc = ctypes.CDLL(None)
    fd = libc.inotify_init1(0)
    name = os.path.basename(path).encode()

    def add_watch():
        # IN_CLOSE_NOWRITE too, so that no two openings in a row read as one event.
        libc.inotify_add_watch(fd, os.path.dirname(path).encode(), mask | 0x10)

    def watch(count):
        # A folder the run has yet to make is watched once it is there.
        while not ready:
            time.sleep(0.01)
            if os.path.isdir(os.path.dirname(path)):
                add_watch()
                break
        while count:
            data = os.read(fd, 4096)
            while data and count:
                got, length = struct.unpack_from("4xI4xI", data)
                named = data[16:16 + length].rstrip(b"\0")
                count -= got == mask and (not name or named == name)
                data = data[16 + length:]
        action()
        os.close(fd)

    ready = os.path.isdir(os.path.dirname(path))
    if ready:
        add_watch()
    thread = threading.Thread(target=watch, args=(count,), daemon=True)
    thread.start()
    return thread


def fingerprint_bytes(data):
    """FNV-1a, as the substitute manager records the files beside it."""
    h = 2166136261
    for byte in data:
        h = ((h ^ byte) * 16777619) & 0xFFFFFFFF
    return f"{h:08x}"


def fingerprint(path):
    with open(path, "rb") as f:
        return fingerprint_bytes(f.read())


class AgentTestCase(harness.WineTestCase):
    """A prefix with the system programs the launch needs, and a Downloads folder."""

    substitutes = ("expand.exe",)

    def setUp(self):
        super().setUp()
        for name in self.substitutes:
            self.wine.install_system_program(name)
        self.downloads = os.path.join(self.wine.drive_c, "Downloads")
        os.makedirs(self.downloads, exist_ok=True)

    def keep_standard_launch(self):
        self.wine.keep_standard_launch()

    def launcher(self, name, **kwargs):
        path = os.path.join(self.downloads, name)
        kwargs.setdefault("stub_path", harness.VESK)
        agent_package.build(path, **kwargs)
        return path

    def records(self):
        path = os.path.join(self.wine.drive_c, "ProgramData", "VeskTestAgent", "record.txt")
        if not os.path.exists(path):
            return []
        with open(path, encoding="utf-8") as f:
            return [line.rstrip("\r\n") for line in f if line.strip()]

    def record(self, program, what):
        """The value of the first "what=" a program recorded, or None."""
        for line in self.records():
            if line.startswith(program + " ") and (" " + what + "=") in line:
                return line.split(" " + what + "=", 1)[1]
        return None

    def recorded_files(self, what="files"):
        listing = self.record("QVManagerVESK.exe", what) or ""
        return dict(item.split(":") for item in listing.split(";") if item)

    def wait_for_record(self, program, text, timeout=60):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if any(l.startswith(program + " ") and text in l for l in self.records()):
                return True
            time.sleep(0.2)
        return False

    def work_folder(self, session=1):
        return os.path.join(self.wine.temp, "unpackvesk", str(session))
