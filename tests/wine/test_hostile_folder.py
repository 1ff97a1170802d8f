"""A hostile download folder: DLLs planted beside the launcher under the names of system DLLs are
never loaded; a program in the folder cannot swap the running launcher's file for another
package; and a signed launcher changed after signing is refused when it runs elevated.

In a plain prefix the launcher is an elevated administrator, so it takes the system launch (our
stand-in for the Task Scheduler command line runs the task's action) unless a test keeps the
standard launch."""

import os
import shutil

import harness
from agent_case import IN_OPEN, TESTPROGS, AgentTestCase, fingerprint, on_event

MUTEX = "{6D2A41C0-93E7-4b5e-8F1A-2C7D90B3E514}"
# DLLs of the launcher's own bitness (tests/wine/programs/planted/), built with each launcher.
PLANTED = os.path.join(os.path.dirname(harness.VESK), "testprogs", "planted")
AGENT = {"RunSeconds": 1, "WindowDelayMs": 100}
# How often Wine opens a program's file before the program can: once (the image) for the 64-bit
# build; four times for the 32-bit one, which a 64-bit Wine process first probes and maps, and
# the 32-bit process then opens once more.
IMAGE_OPEN = 4 if harness.RELEASE else 1


def swap_on_open(path, aside, other, count):
    """A program watching the folder: at the `count`-th opening of `path` it renames the file to
    `aside` and moves `other` to `path`. Returns its thread, which ends then."""
    def swap():
        os.rename(path, aside)
        os.rename(other, path)
    return on_event(path, IN_OPEN, count, swap)


class HostileFolder(AgentTestCase):
    substitutes = ("expand.exe", "schtasks.exe")

    def manager_token(self):
        """The token the agent's manager was started with, or None."""
        cmdline = self.record("QVManagerVESK.exe", "cmdline")
        return cmdline.rsplit("-t ", 1)[1].strip() if cmdline and "-t " in cmdline else None

    def backups(self):
        folder = os.path.join(self.wine.drive_c, "ProgramData", "Quintrova", "Temp")
        return sorted(os.path.join(folder, n) for n in os.listdir(folder)
                      if n.startswith("Vesk")) if os.path.isdir(folder) else []

    def test_dlls_planted_beside_the_launcher_are_not_loaded(self):
        exe = self.launcher("Support.exe", settings={"vesk_token": "planted1"}, agent=AGENT)
        for name in ("wtsapi32.dll", "gdiplus.dll"):
            shutil.copy(os.path.join(PLANTED, name), self.downloads)
        # Windows looks for a DLL that is no known DLL in the program's folder first; Wine
        # prefers its own builtin DLLs unless told to prefer a native file found on the way.
        # The current directory is the download folder too, as when a user opens the file there.
        # (A planted version.dll is not tried: Wine's own user32 imports version.dll, so Wine
        # loads it from the program's folder whatever the launcher does. That the launcher itself
        # does not import it is checked on the import table, tests/check_imports.py.)
        self.wine.env["WINEDLLOVERRIDES"] += ";wtsapi32,gdiplus=n,b"
        code, _ = self.wine.run(exe, cwd=self.downloads)
        self.wine.wait_idle()
        self.assertEqual(code, 0)

        markers = [n for n in os.listdir(self.downloads) if n.endswith(".loaded")]
        self.assertEqual(markers, [], [open(os.path.join(self.downloads, n), "rb").read()
                                       for n in markers])
        # The run went as usual: the package was unpacked, the agent started with the token (the
        # system launch asks wtsapi32 for the user's token, and the loading window GDI+ for its
        # pictures), and the work folder is gone again.
        log = self.wine.log_messages()
        self.assertIn("[CUnPack::UnPackFiles] UnPack total 2 files.", log)
        self.assertIn("[CUnPackFileApp::RunAsService] RunAsService AVESK1 end", log)
        self.assertEqual(self.manager_token(), "planted1", self.records())
        self.assertFalse(os.path.exists(self.work_folder()))

    def test_the_running_launchers_file_cannot_be_swapped_for_another_package(self):
        # The standard launch, which also makes the elevation backup from the launcher's file.
        self.keep_standard_launch()
        exe = self.launcher("Support.exe", settings={"vesk_token": "original"}, agent=AGENT)
        other = os.path.join(self.wine.path, "Other.exe")
        shutil.move(self.launcher("Other.exe", settings={"vesk_token": "swapped"}, agent=AGENT),
                    other)
        original = fingerprint(exe)

        # Another program holds the launcher's lock, so the launcher waits at its single-instance
        # check with its file open; meanwhile that program renames the launcher's file away and
        # puts the other package at its path (or over it), then lets go of the lock.
        swapper = self.wine.start(os.path.join(TESTPROGS, "swap_running.exe"),
                                  self.wine.windows_path(exe), self.wine.windows_path(other),
                                  MUTEX, "90")
        self.assertEqual(swapper.stdout.readline().decode().strip(), "locked")
        code, _ = self.wine.run(exe)
        out = swapper.communicate(timeout=120)[0].decode("utf-8", "replace")
        self.wine.wait_idle()
        self.assertEqual(code, 0)
        self.assertEqual(swapper.returncode, 0, out)

        # Neither the rename nor the write went through (ERROR_SHARING_VIOLATION): the file is
        # the original package.
        self.assertIn("rename failed 32", out)
        self.assertIn("replace failed 32", out)
        self.assertFalse(os.path.exists(exe + ".old"))
        self.assertEqual(fingerprint(exe), original)

        # The log names the launcher's path as ever and unpacked the original package; the agent
        # got the original's token, and the elevation backup holds the original's bytes.
        log = self.wine.log_messages()
        self.assertIn("[CUnPack::FindHeader] Name:C:\\Downloads\\Support.exe", log)
        self.assertIn("[CUnPack::UnPackFiles] UnPack total 2 files.", log)
        self.assertEqual(self.manager_token(), "original", self.records())
        backups = self.backups()
        self.assertEqual(len(backups), 1, backups)
        self.assertEqual(fingerprint(backups[0]), original)
        self.assertIn("[CUnPackFileApp::ExecuteCommand] backup for elevation "
                      "C:\\Downloads\\Support.exe to C:\\ProgramData\\Quintrova\\Temp\\"
                      + os.path.basename(backups[0]) + " 0", log)
        self.assertFalse(os.path.exists(self.work_folder()))

    def test_a_signed_launcher_changed_after_signing_is_refused_when_elevated(self):
        unsigned = self.launcher("unsigned.exe", settings={"vesk_token": "signed1"}, agent=AGENT)
        intact = os.path.join(self.wine.path, "intact.exe")
        harness.sign(unsigned, intact, os.path.join(self.wine.path, "keys"))
        sign_size = os.path.getsize(intact) - os.path.getsize(unsigned)
        os.unlink(unsigned)
        with open(intact, "rb") as f:
            data = f.read()
        # One byte of setup.ini changed after signing: still a well-formed package, which an
        # unsigned launcher would unpack and run.
        at = data.index(b"vesk_token=signed1")
        changed = data[:at + 17] + b"2" + data[at + 18:]
        exe = os.path.join(self.downloads, "Support.exe")
        with open(exe, "wb") as f:
            f.write(changed)

        code, _ = self.wine.run(exe)
        self.wine.wait_idle()
        self.assertEqual(code, 0)
        # One line names the result (TRUST_E_BAD_DIGEST), and nothing else happened: no package
        # read, no work folder, no task, no agent, no backup.
        self.assertEqual(self.wine.log_messages(),
                         ["[CUnPack::CheckSignature] Signature check failed 0x80096010, "
                          "run stopped"])
        self.assertFalse(os.path.exists(os.path.join(self.wine.temp, "unpackvesk")))
        self.assertEqual(self.records(), [])
        self.assertEqual(self.backups(), [])

        # The same package signed intact runs as ever.
        shutil.copy(intact, exe)
        code, _ = self.wine.run(exe)
        self.wine.wait_idle()
        self.assertEqual(code, 0)
        log = self.wine.log_messages()
        self.assertFalse(any(l.startswith("[CUnPack::CheckSignature]") for l in log[1:]), log)
        self.assertIn(f"[CUnPack::FindHeader] Sign Size:{sign_size}", log)
        self.assertIn("[CUnPack::UnPackFiles] UnPack total 2 files.", log)
        self.assertEqual(self.manager_token(), "signed1", self.records())
        self.assertFalse(os.path.exists(self.work_folder()))

        # The intact launcher renamed away as soon as Wine has mapped it, and an unsigned package
        # put at its path: the run reads nothing of that file, unpacks and starts nothing.
        other = os.path.join(self.wine.path, "Other.exe")
        shutil.move(self.launcher("Other.exe", settings={"vesk_token": "swapped"}, agent=AGENT),
                    other)
        records, swapper = self.records(), swap_on_open(exe, exe + ".old", other, IMAGE_OPEN)
        code, _ = self.wine.run(exe)
        self.wine.wait_idle()
        self.assertEqual((code, swapper.is_alive()), (0, False))
        self.assertEqual(self.wine.log_messages()[len(log):],
                         ["[COwnFile::Open] C:\\Downloads\\Support.exe is not the file this "
                          "program was started from, run stopped"])
        self.assertEqual(self.records(), records)
        self.assertFalse(os.path.exists(self.work_folder()))


if __name__ == "__main__":
    harness.main()
