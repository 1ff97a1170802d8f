"""An elevated run under Wine (a plain prefix runs the launcher as an elevated administrator)
against places a standard user can change: programs planted in the work folder under the names
of system programs, a temp folder reached through a link, and a log that is a link. Nothing of
the user's may run in the launcher's place, and nothing may be written or deleted through a link.
Where Wine cannot stage a case (a junction, a link swapped in while the run lasts, Windows XP
without final paths), the host tests stage it on the simulated machine."""

import os

import harness
from agent_case import AgentTestCase

# Programs that would run in place of the system's expand.exe and schtasks.exe when the
# interpreter found them by bare name in its current directory, the work folder.
PLANTED = {f"{name}.{ext}": f"@echo {name}.{ext}>C:\\planted-{name}-{ext}.txt\r\n".encode()
           for name in ("expand", "schtasks") for ext in ("bat", "cmd")}


class HostileFolders(AgentTestCase):
    substitutes = ("expand.exe", "schtasks.exe")

    def planted_markers(self):
        return [n for n in os.listdir(self.wine.drive_c) if n.startswith("planted-")]

    def test_programs_planted_in_the_work_folder_never_run(self):
        # The system launch: expand, then the four task commands, each by the system's program.
        exe = self.launcher("Support.exe", settings={"vesk_token": "tok1"},
                            agent={"RunSeconds": 1, "WindowDelayMs": 100}, extra=PLANTED)
        code, _ = self.wine.run(exe)
        self.wine.wait_idle()
        self.assertEqual(code, 0)
        self.assertEqual(self.planted_markers(), [])
        # The cabinet was expanded and the task started the agent.
        self.assertRegex(self.record("QVManagerVESK.exe", "cmdline") or "", r"-t tok1$")
        self.assertIn("QVServerVESK.exe", self.recorded_files())
        self.assertFalse(os.path.exists(self.work_folder()))

    def test_a_temp_folder_reached_through_a_link_is_refused(self):
        # The user's environment points the temp folder into a folder that holds a link; what
        # the link leads to holds a stale work folder and an earlier log.
        target = os.path.join(self.wine.drive_c, "Target")
        stale = os.path.join(target, "Temp", "unpackvesk", "1")
        os.makedirs(stale)
        for path, data in ((os.path.join(stale, "keep.txt"), b"keep me"),
                           (os.path.join(target, "Temp", "unpack1.log"), b"earlier")):
            with open(path, "wb") as f:
                f.write(data)
        os.makedirs(os.path.join(self.wine.drive_c, "Hostile"))
        os.symlink(target, os.path.join(self.wine.drive_c, "Hostile", "link"))
        for name in ("TEMP", "TMP"):
            self.wine.run("reg", "add", "HKCU\\Environment", "/v", name, "/d",
                          "C:\\Hostile\\link\\Temp", "/f")
        self.keep_standard_launch()
        # The log is dropped, so the refusal is read from the debugger output.
        self.wine.env["WINEDEBUG"] = "-all,warn+seh"
        exe = self.launcher("Support.exe", settings={"vesk_token": "tok1"},
                            agent={"RunSeconds": 1, "WindowDelayMs": 100})
        code, out = self.wine.run(exe)
        self.wine.wait_idle()
        self.assertEqual(code, 0)
        out = out.replace("\\\\", "\\")  # the debugger channel doubles backslashes

        self.assertIn("[CUnPack::GetWorkFolder] Work folder refused, "
                      "C:\\Hostile\\link\\Temp\\unpackvesk\\1\\ is reached through a link", out)
        self.assertEqual(sorted(os.listdir(stale)), ["keep.txt"])
        self.assertEqual(sorted(os.listdir(os.path.join(target, "Temp"))),
                         ["unpack1.log", "unpackvesk"])
        with open(os.path.join(target, "Temp", "unpack1.log"), "rb") as f:
            self.assertEqual(f.read(), b"earlier")
        self.assertEqual(self.records(), [])

    def test_a_log_that_is_a_link_receives_no_line(self):
        # A symbolic link and a hard link in place of the log, each to a file of someone else's.
        self.keep_standard_launch()
        exe = self.launcher("Support.exe", settings={"vesk_token": "tok1"}, cabinet=False)
        log = os.path.join(self.wine.temp, "unpack1.log")
        for make in (os.symlink, os.link):
            with self.subTest(link=make.__name__):
                victim = os.path.join(self.wine.drive_c, "victim.log")
                with open(victim, "wb") as f:
                    f.write(b"victim")
                make(victim, log)
                code, _ = self.wine.run(exe)
                self.wine.wait_idle()
                with open(victim, "rb") as f:
                    got = f.read()
                os.unlink(log)
                os.unlink(victim)
                self.assertEqual(code, 0)
                self.assertEqual(got, b"victim")
        # A plain log file is written as ever.
        code, _ = self.wine.run(exe)
        self.wine.wait_idle()
        self.assertIn("[CUnPack::UnPackFiles] UnPack total 1 files.", self.wine.log_messages())


if __name__ == "__main__":
    harness.main()
