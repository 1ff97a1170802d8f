"""Packages built with veskpack onto the 64-bit launcher, run under Wine: the package is found,
its files are unpacked into the session's work folder and removed again at the end, also after
a real signature, and a disk without room gets the message box."""

import os
import re
import shutil
import subprocess
import time
import unittest

import harness

VESKPACK = os.path.join(harness.HOST, "veskpack")
VESKPACK_EXE = os.path.join(harness.WIN64, "veskpack.exe")
ANSWER_DIALOG = os.path.join(harness.WIN64, "testprogs", "answer_dialog.exe")
WORK = "C:\\users\\{user}\\Temp\\unpackvesk\\1\\"
SETUP_INI = b"[Settings]\r\nvesk_token=abc123\r\n"


class Package(harness.WineTestCase):
    def setUp(self):
        super().setUp()
        self.src = os.path.join(self.wine.path, "src")
        os.makedirs(self.src)
        self.downloads = os.path.join(self.wine.drive_c, "Downloads")
        os.makedirs(self.downloads)
        self.work = WORK.format(user=self.wine.user)

    def input(self, name, data):
        path = os.path.join(self.src, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def pack(self, entries, name="VESK.exe"):
        """Builds the package with veskpack; returns its host path."""
        out = os.path.join(self.downloads, name)
        args = [VESKPACK, "build", "--stub", harness.VESK, "-o", out]
        args += [f"{n}={self.input(n, d)}" for n, d in entries]
        subprocess.run(args, check=True, capture_output=True)
        return out

    def work_host_path(self, name=""):
        return self.wine.host_path(self.work + name) if name else \
            os.path.join(self.wine.temp, "unpackvesk", "1")

    def unpack_lines(self):
        return [m for m in self.wine.log_messages() if m.startswith("[CUnPack::")]

    def assert_three_files_unpacked(self, entries, package, sign_size):
        lines = self.unpack_lines()
        self.assertEqual(lines[0], "[CUnPack::FindHeader] Name:C:\\Downloads\\VESK.exe")
        self.assertEqual(lines[1], f"[CUnPack::FindHeader] Sign Size:{sign_size}")
        self.assertEqual(lines[2], f"[CUnPack::FindHeader] Header offset:{package}")
        body = lines[3:]
        self.assertEqual(len(body), 3 * 3 + 1, lines)
        for i, (name, data) in enumerate(entries):
            free, start, done = body[3 * i:3 * i + 3]
            self.assertRegex(free, rf"^\[CUnPack::UnPackFiles\]  FreeSpace:\d+ FileSize:{len(data)}$")
            # The temp volume's free bytes as the system counts them (all free blocks, whatever
            # is kept for the superuser), give or take what other programs write meanwhile.
            volume = os.statvfs(self.wine.temp)
            self.assertLess(abs(int(re.search(r"FreeSpace:(\d+)", free).group(1)) -
                                volume.f_bfree * volume.f_frsize), 1 << 30, free)
            self.assertEqual(start, f"[CUnPack::UnPackFiles] ({i + 1}/3)UnPack file name:"
                                    f"{self.work}{name} ({len(data)})")
            self.assertEqual(done, f"[CUnPack::UnPackFiles] UnPack count:{i + 1} len:{len(data)} "
                                   f"File:{self.work}{name}")
        self.assertEqual(body[-1], "[CUnPack::UnPackFiles] UnPack total 3 files.")

    def package_offset(self, path):
        out = subprocess.run([VESKPACK, "list", path], check=True, capture_output=True,
                             text=True).stdout
        return int(re.search(r"entries at offset (\d+)", out).group(1))

    def test_three_files_are_unpacked_and_removed_again(self):
        entries = [("setup.ini", SETUP_INI), ("agent.txt", b"agent " * 100),
                   ("data.bin", os.urandom(300 * 1024))]
        package = self.pack(entries)
        code, _ = self.wine.run(package)
        self.wine.wait_idle()
        self.assertEqual(code, 0)
        self.assert_three_files_unpacked(entries, self.package_offset(package), 0)
        # Nothing of the work folder is left, not even "unpackvesk".
        self.assertFalse(os.path.exists(os.path.join(self.wine.temp, "unpackvesk")))

    def test_a_signed_package_is_still_found(self):
        entries = [("setup.ini", SETUP_INI), ("a.txt", b"a"), ("b.bin", bytes(4096))]
        unsigned = self.pack(entries, "unsigned.exe")
        signed = os.path.join(self.downloads, "VESK.exe")
        cert = harness.sign(unsigned, signed, os.path.join(self.wine.path, "keys"))
        # The signature covers the whole package and is intact (the test certificate is its own
        # authority).
        check = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", signed],
                               capture_output=True, text=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        self.assertIn("Signature verification: ok", check.stdout)
        size = os.path.getsize(signed) - os.path.getsize(unsigned)
        self.assertGreater(size, 0)

        code, _ = self.wine.run(signed)
        self.wine.wait_idle()
        self.assertEqual(code, 0)
        self.assert_three_files_unpacked(entries, self.package_offset(unsigned), size)
        self.assertFalse(os.path.exists(os.path.join(self.wine.temp, "unpackvesk")))

    def test_a_full_disk_shows_the_message_and_keeps_what_was_written_until_answered(self):
        # The temp folder on a volume of 1 MiB: the third entry does not fit.
        self.mount_tmpfs(self.wine.temp, "1m")
        entries = [("setup.ini", SETUP_INI), ("a.txt", b"first"), ("big.bin", bytes(2 << 20))]
        package = self.pack(entries)

        launcher = self.wine.start(package)
        self.addCleanup(launcher.stdout.close)
        self.addCleanup(lambda: launcher.poll() is None and launcher.kill())
        text_line = "[CUnPack::UnPackFiles] There is not enough disk space to install ."
        deadline = time.time() + 120
        while text_line not in self.wine.log_messages():
            self.assertIsNone(launcher.poll(), "the launcher ended without the message")
            self.assertLess(time.time(), deadline, self.wine.log_messages())
            time.sleep(0.2)

        # The box holds the run: what came before the big entry is in the work folder.
        self.assertEqual(sorted(os.listdir(self.work_host_path())), ["a.txt", "setup.ini"])
        with open(self.work_host_path("setup.ini"), "rb") as f:
            self.assertEqual(f.read(), SETUP_INI)
        self.assertIsNone(launcher.poll())
        self.wine.screenshot(self.artifacts("package", "disk_full.png"))

        code, out = self.wine.run(ANSWER_DIALOG, "Quintrova?Streamer", "ok", "60")
        self.assertEqual(code, 0, out)
        self.assertIn("text: There is not enough disk space to install .", out)
        self.assertEqual(launcher.wait(timeout=120), 0)
        self.wine.wait_idle()

        lines = self.unpack_lines()
        self.assertRegex(lines[-2], r"^\[CUnPack::UnPackFiles\]  FreeSpace:\d+ FileSize:2097152$")
        self.assertEqual(lines[-1], text_line)
        self.assertFalse(any("UnPack total" in l for l in lines))
        # The start-up still cleans up after the cut-short run.
        self.assertFalse(os.path.exists(os.path.join(self.wine.temp, "unpackvesk")))


    @unittest.skipUnless(os.path.exists(VESKPACK_EXE), "needs the Windows build of veskpack")
    def test_the_windows_packer_writes_the_same_file(self):
        entries = [("setup.ini", SETUP_INI), ("a.txt", b"abc")]
        expected = self.pack(entries, "host.exe")
        out = os.path.join(self.downloads, "wine.exe")
        args = ["build", "--stub", self.wine.windows_path(harness.VESK), "-o",
                self.wine.windows_path(out)]
        args += [f"{n}={self.wine.windows_path(os.path.join(self.src, n))}" for n, _ in entries]
        code, text = self.wine.run(VESKPACK_EXE, *args)
        self.assertEqual(code, 0, text)
        with open(expected, "rb") as a, open(out, "rb") as b:
            self.assertEqual(a.read(), b.read())
        code, text = self.wine.run(VESKPACK_EXE, "verify", self.wine.windows_path(out))
        self.assertEqual(code, 0, text)


if __name__ == "__main__":
    harness.main()
