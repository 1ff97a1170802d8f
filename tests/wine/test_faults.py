"""Faults under Wine, each its own test: a disk that fills up in the middle of an entry, another
program opening the launcher's own file without sharing, a stale work folder with a read-only
file and links to folders outside, the agent crashing in both launches, the launcher killed while
it extracts, and two launchers started at the same moment. Each checks that the run ends with exit
code 0, that nothing is left behind that should not be, and that nothing outside was lost."""

import os
import re
import signal
import subprocess
import time

import harness
from agent_case import TESTPROGS, AgentTestCase, fingerprint, fingerprint_bytes

MUTEX = "{6D2A41C0-93E7-4b5e-8F1A-2C7D90B3E514}"
UNPACK = "[CUnPack::UnPackFiles] "
START = "[CUnPackFileApp::InitInstance] "


def tree(root):
    """{relative path: bytes or "<dir>"} of everything below a folder (links not followed)."""
    out = {}
    for dirpath, dirnames, filenames in os.walk(root):
        for d in dirnames:
            out[os.path.relpath(os.path.join(dirpath, d), root)] = "<dir>"
        for f in filenames:
            with open(os.path.join(dirpath, f), "rb") as fh:
                out[os.path.relpath(os.path.join(dirpath, f), root)] = fh.read()
    return out


class FaultCase(AgentTestCase):
    def setUp(self):
        super().setUp()
        self.keep_standard_launch()

    def started(self, program="QVManagerVESK.exe"):
        """The record lines of every start of an agent program."""
        return [l for l in self.records() if l.startswith(program + " ") and "cmdline=" in l]

    def assert_clean(self):
        unpack = os.path.join(self.wine.temp, "unpackvesk")
        self.assertFalse(os.path.exists(unpack), os.path.exists(unpack) and sorted(tree(unpack)))



class DiskFull(FaultCase):
    def test_a_disk_that_fills_up_in_the_middle_of_an_entry(self):
        # The entry fits the free space when it is checked; then another program takes the rest
        # of the volume while the entry is being written (the launcher is held still meanwhile,
        # so that the moment is the same on every run).
        self.mount_tmpfs(self.wine.temp, "320m")
        big = bytes(256 << 20)
        exe = self.launcher("Support.exe", settings={"vesk_token": "t1"},
                            agent={"RunSeconds": 1, "WindowDelayMs": 100},
                            extra={"big.bin": big, "after.txt": b"never reached"})
        launcher = self.wine.start(exe, capture=False)
        self.addCleanup(lambda: launcher.poll() is None and launcher.kill())
        target = os.path.join(self.work_folder(), "big.bin")
        deadline = time.time() + 120
        while not (os.path.exists(target) and os.path.getsize(target) >= 4 << 20):
            self.assertIsNone(launcher.poll(), "the launcher ended before the disk filled up")
            self.assertLess(time.time(), deadline)
            time.sleep(0.01)
        os.kill(launcher.pid, signal.SIGSTOP)
        try:
            written = os.path.getsize(target)
            self.assertLess(written, len(big), "the entry was complete before the disk filled")
            fill(os.path.join(self.wine.temp, "filler.bin"))
        finally:
            os.kill(launcher.pid, signal.SIGCONT)
        self.assertEqual(launcher.wait(timeout=120), 0)
        self.wine.wait_idle()

        log = self.wine.log_messages()
        free = next(l for l in log if l.startswith(UNPACK + " FreeSpace:") and
                    l.endswith(f"FileSize:{len(big)}"))
        self.assertGreaterEqual(int(re.search(r"FreeSpace:(\d+)", free).group(1)), len(big))
        stop = log.index(UNPACK + "UnPack stopped at file 3")
        # The write error's text, through the file exception's log line.
        self.assertRegex(log[stop + 1], r"^\[CUtility::FileException\] .*big\.bin: ", log)
        self.assertFalse(any("UnPack total" in l or "after.txt" in l for l in log), log)

        # The half-written file went, which gave back the room the rest of the run needed: the
        # agent started from a folder without it, and everything was removed at the end.
        self.assertEqual(len(self.started()), 1, self.records())
        files = self.recorded_files()
        self.assertIn("agent.cab", files)
        self.assertNotIn("big.bin", files)
        self.assertNotIn("after.txt", files)
        self.assert_clean()


def fill(path):
    """Takes every free byte of the volume that holds `path`."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    try:
        st = os.statvfs(os.path.dirname(path))
        try:
            os.posix_fallocate(fd, 0, st.f_bavail * st.f_frsize)
        except OSError:
            pass
        os.lseek(fd, 0, os.SEEK_END)
        chunk = bytes(4096)
        try:
            while os.write(fd, chunk):
                pass
        except OSError:
            pass
    finally:
        os.close(fd)


class UnreadableOwnFile(FaultCase):
    def test_a_program_that_opens_the_launchers_file_without_sharing_cannot_take_it_away(self):
        # A scanner that opens files without sharing, once the launcher waits at its
        # single-instance check. The launcher holds its own file from the start of the run
        # (readers welcome, no writers): the scanner's open fails, and the run reads its package.
        exe = self.launcher("Support.exe", settings={"vesk_token": "t1"},
                            agent={"RunSeconds": 1, "WindowDelayMs": 100})
        before = fingerprint(exe)
        holder = self.wine.start(os.path.join(TESTPROGS, "hold_file.exe"),
                                 self.wine.windows_path(exe), MUTEX, "60")
        self.assertEqual(holder.stdout.readline().decode().strip(), "locked")
        code, _ = self.wine.run(exe)
        out = holder.communicate(timeout=90)[0].decode("utf-8", "replace")
        self.wine.wait_idle()
        self.assertEqual(code, 0)
        self.assertIn("open failed 32", out)  # ERROR_SHARING_VIOLATION

        log = self.wine.log_messages()
        self.assertNotIn("[CUnPack::FindHeader] Fail", log)
        self.assertIn(UNPACK + "UnPack total 2 files.", log)
        self.assertEqual(len(self.started()), 1, self.records())
        self.assert_clean()
        self.assertEqual(fingerprint(exe), before)


class StaleWorkFolder(FaultCase):
    def outside(self):
        """A folder with content and an empty one, outside the temp folder."""
        full = os.path.join(self.wine.drive_c, "Precious")
        os.makedirs(os.path.join(full, "inner"))
        for name, data in (("a.txt", b"keep me"), ("inner/b.bin", os.urandom(3000)),
                           ("setup.ini", b"[Settings]\r\nvesk_token=not-this-one\r\n")):
            with open(os.path.join(full, name), "wb") as f:
                f.write(data)
        empty = os.path.join(self.wine.drive_c, "Empty")
        os.makedirs(empty)
        return full, empty

    def test_a_read_only_file_and_links_to_folders_outside(self):
        full, empty = self.outside()
        before = tree(full)
        stale = self.work_folder()
        os.makedirs(os.path.join(stale, "sub"))
        for name in ("old.txt", "sub/old.txt", "setup.ini"):
            with open(os.path.join(stale, name), "wb") as f:
                f.write(b"[Settings]\r\nvesk_token=stale\r\n")
        # Read-only to Windows (no write bit), the stale setup.ini among them.
        for name in ("old.txt", "sub/old.txt", "setup.ini"):
            os.chmod(os.path.join(stale, name), 0o444)
        # A read-only file outside with a second name in the folder: that name may go, but the
        # file's attributes are the other name's too and stay as they are.
        outside = os.path.join(self.wine.drive_c, "Outside.txt")
        with open(outside, "wb") as f:
            f.write(b"keep me")
        os.chmod(outside, 0o444)
        os.link(outside, os.path.join(stale, "hard.txt"))
        # Wine represents junctions and directory links as symbolic links in the prefix.
        os.symlink(full, os.path.join(stale, "junction"))
        os.symlink(empty, os.path.join(stale, "emptylink"))
        os.symlink(full, os.path.join(stale, "sub", "deeper"))

        exe = self.launcher("Support.exe", settings={"vesk_token": "fresh"},
                            agent={"RunSeconds": 1, "WindowDelayMs": 100})
        code, _ = self.wine.run(exe)
        self.wine.wait_idle()
        self.assertEqual(code, 0)

        # What the links pointed at is whole, the empty folder included.
        self.assertEqual(tree(full), before)
        self.assertTrue(os.path.isdir(empty))
        # Nothing is started from a stale folder that cannot be cleared, in any run: read-only
        # files went; under Wine a link cannot be opened as itself, so the links stay (on Windows
        # they are removed as links), and the folder is moved aside whole. The run's own package
        # starts from a fresh folder, which goes at the end.
        self.assertRegex(self.record("QVManagerVESK.exe", "cmdline") or "", r"fresh\s*$")
        self.assertEqual(os.stat(outside).st_mode & 0o777, 0o444)
        aside = stale + ".1"
        self.assertFalse(os.path.exists(stale))
        self.assertEqual(sorted(os.listdir(aside)), ["emptylink", "hard.txt", "junction", "sub"])
        self.assertEqual(sorted(os.listdir(os.path.join(aside, "sub"))), ["deeper"])
        self.assertTrue(all(os.path.islink(os.path.join(aside, n))
                            for n in ("emptylink", "junction", "sub/deeper")))

    def test_a_work_folder_that_is_itself_a_link_is_never_used(self):
        full, _ = self.outside()
        os.makedirs(os.path.join(full, "1"))
        with open(os.path.join(full, "1", "agent.cab"), "wb") as f:
            f.write(b"not a cabinet of ours")
        before = tree(full)
        os.symlink(full, os.path.join(self.wine.temp, "unpackvesk"))
        exe = self.launcher("Support.exe", settings={"vesk_token": "t1"},
                            agent={"RunSeconds": 1, "WindowDelayMs": 100})
        code, _ = self.wine.run(exe)
        self.wine.wait_idle()
        self.assertEqual(code, 0)
        self.assertEqual(tree(full), before)
        log = self.wine.log_messages()
        self.assertIn("[CUnPack::GetWorkFolder] Work folder refused, link at "
                      f"C:\\users\\{self.wine.user}\\Temp\\unpackvesk", log)
        self.assertIn(START + "VESK skip without unpacking files", log)
        self.assertEqual(self.started(), [])


class AgentCrash(FaultCase):
    substitutes = ("expand.exe", "schtasks.exe")

    def crash_runs(self, launch):
        for crash in (1, 2):
            with self.subTest(launch=launch, crash=crash):
                exe = self.launcher(f"Support{crash}.exe", settings={"vesk_token": "t1"},
                                    agent={"RunSeconds": 30, "WindowDelayMs": 100,
                                           "Crash": crash, "CrashDelayMs": 300})
                started = time.time()
                code, _ = self.wine.run(exe, timeout=120)
                took = time.time() - started
                self.wine.wait_idle()
                self.assertEqual(code, 0)
                self.assertTrue(self.wait_for_record("QVManagerVESK.exe", f"crashing={crash}", 5),
                                self.records())
                # The launcher noticed the end long before the agent's own 30 s were up.
                self.assertLess(took, 25)
                self.assert_clean()
                self.assertEqual(len(self.started()), crash, self.records())

    def test_the_standard_launch_survives_the_agent_crashing(self):
        self.crash_runs("standard")
        # The interpreter that ran the manager handed on the access violation's code.
        self.assertTrue(any(re.match(r"\[CUnPackFileApp::ExecuteCommand\] pid:\d+ finish "
                                     r"ecode:-1073741819$", l) for l in self.wine.log_messages()))

    def test_the_system_launch_survives_the_agent_crashing(self):
        # Without code-signing settings the elevated administrator takes the system launch.
        self.wine.run("reg", "delete", "HKCU\\Software\\Quintrova Inc.", "/f")
        self.crash_runs("system")
        log = self.wine.log_messages()
        self.assertEqual(log.count("[CUnPackFileApp::RunAsService] RunAsService AVESK1 end"), 2)
        self.assertNotIn("[CUnPackFileApp::RunAsService] fail to wait QVM try to find VESK window",
                         log)


class KilledDuringExtraction(FaultCase):
    def test_the_next_run_cleans_up_after_a_launcher_killed_while_extracting(self):
        # Many small entries make the extraction take a few seconds.
        extra = {f"data{i:04}.bin": bytes([i % 251]) * 512 for i in range(1500)}
        exe = self.launcher("Support.exe", settings={"vesk_token": "t1"},
                            agent={"RunSeconds": 1, "WindowDelayMs": 100}, extra=extra)
        launcher = self.wine.start(exe, capture=False)
        deadline = time.time() + 120
        while not any(re.search(r"\(\d+/1502\)UnPack file name:.*data0020\.bin", l)
                      for l in self.wine.log_messages()):
            self.assertIsNone(launcher.poll(), "the launcher ended before it was killed")
            self.assertLess(time.time(), deadline)
            time.sleep(0.05)
        launcher.send_signal(signal.SIGKILL)
        launcher.wait(timeout=30)
        self.wine.wait_idle()
        log = self.wine.log_messages()
        self.assertFalse(any("UnPack total" in l for l in log), "killed too late")
        left = os.listdir(self.work_folder())
        self.assertGreater(len(left), 20)
        self.assertLess(len(left), 1502)

        # The next run in the session starts from a clean folder and works.
        first = len(log)
        code, _ = self.wine.run(exe)
        self.wine.wait_idle()
        self.assertEqual(code, 0)
        log = self.wine.log_messages()[first:]
        self.assertIn(UNPACK + "UnPack total 1502 files.", log)
        self.assertEqual(len(self.started()), 1, self.records())
        files = self.recorded_files()
        self.assertEqual(len([n for n in files if n.startswith("data")]), 1500)
        self.assertEqual(files["data0042.bin"], fingerprint_bytes(bytes([42]) * 512))
        self.assert_clean()


class SimultaneousLaunchers(FaultCase):
    def test_two_launchers_started_at_the_same_moment_run_one_agent(self):
        # The agent runs its server beside the manager, as the real one does, for longer than a
        # waiting launcher waits for the lock (15 s).
        exe = self.launcher("Support.exe", settings={"vesk_token": "t1"},
                            agent={"RunSeconds": 20, "WindowDelayMs": 100, "StartServer": 1})
        first = self.wine.start(exe, capture=False)
        second = self.wine.start(exe, capture=False)
        self.assertEqual(first.wait(timeout=120), 0)
        self.assertEqual(second.wait(timeout=120), 0)
        self.wine.wait_idle()

        self.assertEqual(len(self.started()), 1, self.records())
        self.assertEqual(len(self.started("QVServerVESK.exe")), 1, self.records())
        log = self.wine.log_messages()
        self.assertEqual(log.count(START + "VESK skip by another instance (183)"), 1, log)
        self.assertEqual(sum("UnPack total" in l for l in log), 1, log)
        self.assert_clean()


if __name__ == "__main__":
    harness.main()
