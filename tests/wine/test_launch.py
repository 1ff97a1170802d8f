"""The standard launch from start to end: a packed launcher unpacks, expands its cabinet, starts
the substitute agent as the user with the launch token, closes the loading window when the
agent's window appears, waits for the agent, cleans up and exits 0."""

import glob
import os
import re
import shutil

import harness
from agent_case import TESTPROGS, AgentTestCase, agent_package, fingerprint, fingerprint_bytes


class StandardLaunch(AgentTestCase):
    def setUp(self):
        super().setUp()
        self.keep_standard_launch()

    def test_the_agent_runs_as_the_user_with_the_token_and_everything_is_cleaned_up(self):
        exe = self.launcher("Support-zz99.exe",
                            settings={"vesk_token": "ab12", "token_category": "x"},
                            agent={"RunSeconds": 4, "WindowDelayMs": 1500})
        timeline = self.wine.start(os.path.join(TESTPROGS, "window_timeline.exe"), "60")
        code, _ = self.wine.run(exe)
        events = timeline.communicate(timeout=90)[0].decode("utf-8", "replace")
        self.wine.wait_idle()
        self.assertEqual(code, 0)

        # The manager was started by the interpreter, in the work folder, with the token.
        cmdline = self.record("QVManagerVESK.exe", "cmdline")
        self.assertIsNotNone(cmdline, self.records())
        self.assertRegex(cmdline, r"QVManagerVESK\.exe\s+-t ab12_Cx\s*$")
        self.assertIn("session=1", next(l for l in self.records() if "cmdline=" in l))

        # The cabinet was expanded into the work folder and the feature builds exchanged.
        files = self.recorded_files()
        agent = agent_package.agent_dir()
        nouia = fingerprint(os.path.join(agent, "QVFeatureVESKNOUIA.exe"))
        uia = fingerprint(os.path.join(agent, "QVFeatureVESK.exe"))
        self.assertEqual(files.get("QVFeatureVESK.exe"), nouia)
        self.assertEqual(files.get("QVFeatMiniVESK.exe"), nouia)
        self.assertEqual(files.get("QVFeatureVESKUIA.exe"), uia)
        self.assertNotIn("QVFeatureVESKNOUIA.exe", files)
        for name in ("QVManagerVESK.exe", "Launcher.exe", "AVESK.xml", "agent.cab", "setup.ini"):
            self.assertIn(name, files)
        # Windows 7 prefix: the catalogs stay as they came.
        self.assertIn("qvprinterx.cat", files)
        self.assertNotIn("qvprinter8.cat", files)

        # The elevation backup is a copy of the launcher in the shared temporary folder.
        backups = glob.glob(os.path.join(self.wine.drive_c, "ProgramData", "Quintrova", "Temp",
                                         "Vesk01*.exe"))
        self.assertEqual(len(backups), 1, backups)
        with open(backups[0], "rb") as a, open(exe, "rb") as b:
            self.assertEqual(a.read(), b.read())

        # The loading window went as the agent's window came (hidden at once; Wine without a
        # window manager takes a while more to finish destroying it).
        times = {}
        for line in events.splitlines():
            m = re.match(r"(\d+) (loading|agent) (shown|hidden|gone)", line)
            if m:
                times.setdefault(m.group(2) + " " + m.group(3), int(m.group(1)))
        for event in ("loading shown", "agent shown", "loading hidden", "loading gone"):
            self.assertIn(event, times, events)
        self.assertLess(times["loading shown"], times["agent shown"], events)
        self.assertLessEqual(times["loading hidden"] - times["agent shown"], 500, events)

        # The log tells the story; nothing is left behind.
        log = self.wine.log_messages()
        self.assertTrue(any(re.match(r"\[CUnPackFileApp::ExecuteCommand\] pid:\d+ finish ecode:0$",
                                     l) for l in log), log)
        self.assertFalse(os.path.exists(self.work_folder()))

    def test_windows_10_switches_the_printer_catalogs(self):
        # A token in another script, named as a browser names a second download: the mark is
        # no part of the token, which reaches the manager's command line whole.
        self.wine.set_windows_version("win10")
        exe = self.launcher("Support-ñandú[1].exe", settings={"gateway_mode": "1"},
                            agent={"RunSeconds": 1, "WindowDelayMs": 100})
        code, _ = self.wine.run(exe)
        self.wine.wait_idle()
        self.assertEqual(code, 0)
        self.assertRegex(self.record("QVManagerVESK.exe", "cmdline") or "",
                         r"QVManagerVESK\.exe\s+-t ñandú\s*$")
        files = self.recorded_files()
        win10 = fingerprint_bytes(agent_package.CATALOGS["qvprinterx.cat"])
        older = fingerprint_bytes(agent_package.CATALOGS["qvprinter.cat"])
        self.assertEqual(files.get("qvprinter.cat"), win10)
        self.assertEqual(files.get("qvprinter8.cat"), older)
        self.assertNotIn("qvprinterx.cat", files)
        self.assertIn("[CUnPackFileApp::RunAsStandard] rename printer INF",
                      self.wine.log_messages())

    def test_a_token_with_an_ampersand_runs_no_second_command(self):
        # Gateway mode takes the token from the file name: "abc&QVServerVESK". Passed on
        # unescaped, the interpreter would start the server as a second command; with blanks
        # ("abc QVServerVESK 9") the manager would get arguments of the file name's choosing.
        for runs, name in enumerate(("Support-abc&QVServerVESK.exe",
                                     "Support-abc QVServerVESK.exe 9.exe"), 1):
            shutil.rmtree(os.path.join(self.wine.drive_c, "ProgramData", "VeskTestAgent"), True)
            exe = self.launcher(name, settings={"gateway_mode": "1"},
                                agent={"RunSeconds": 1, "WindowDelayMs": 100, "StartServer": 0})
            code, _ = self.wine.run(exe)
            self.wine.wait_idle()
            self.assertEqual(code, 0)
            cmdline = self.record("QVManagerVESK.exe", "cmdline")
            self.assertIsNotNone(cmdline, self.records())
            self.assertNotIn("-t", cmdline)
            self.assertIsNone(self.record("QVServerVESK.exe", "cmdline"), self.records())
            self.assertEqual(sum("VESK token refused" in l for l in self.wine.log_messages()), runs)

    def test_a_package_without_its_manager_starts_none_found_along_the_users_path(self):
        userbin = os.path.join(self.wine.drive_c, "userbin")
        os.makedirs(userbin)
        shutil.copy(os.path.join(agent_package.agent_dir(), "QVManagerVESK.exe"), userbin)
        self.wine.run("reg", "add", "HKCU\\Environment", "/v", "PATH", "/d", "C:\\userbin", "/f")
        code, _ = self.wine.run(self.launcher("Support.exe", settings={}, cabinet=False))
        self.wine.wait_idle()
        self.assertEqual((code, self.records()), (0, []))
        self.assertTrue(any(l.startswith("[CUnPackFileApp::RunAsStandard] Standard launch refused")
                            for l in self.wine.log_messages()), self.wine.log_messages())
        if os.path.exists(self.work_folder()):
            self.fail((os.listdir(self.work_folder()), self.wine.log_messages()))


if __name__ == "__main__":
    harness.main()
