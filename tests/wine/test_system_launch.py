"""The system launch under Wine: in a plain prefix the launcher is an elevated administrator in
a normal boot, so it starts the agent through a one-shot scheduled task (our stand-in for the
Task Scheduler command line runs the task's action as the calling user)."""

import os
import shutil
import time

import harness
from agent_case import PRODUCT_KEY, AgentTestCase, agent_package


class SystemLaunch(AgentTestCase):
    substitutes = ("expand.exe", "schtasks.exe")

    def test_the_task_starts_the_agent_and_is_gone_with_everything_else(self):
        # A task of the launch's name that a killed run or another user left, pointing elsewhere:
        # the launch asks nothing about it (the stand-in would wait for a "Y"), it replaces it.
        with open(os.path.join(self.wine.drive_c, "stale.xml"), "wb") as f:
            f.write("\ufeff<Task><Actions><Exec><Command>C:\\decoy\\QVManagerVESK.exe</Command>"
                    "</Exec></Actions></Task>".encode("utf-16-le"))
        self.assertEqual(self.wine.run("schtasks", "/create", "/xml", "C:\\stale.xml", "/tn",
                                       "AVESK1")[0], 0)
        # A program of the manager's name from elsewhere runs first and ends while the agent runs.
        folder = os.path.join(self.wine.drive_c, "decoy")
        os.makedirs(folder)
        shutil.copy(os.path.join(agent_package.agent_dir(), "QVManagerVESK.exe"), folder)
        with open(os.path.join(folder, "agent.ini"), "w", encoding="ascii") as f:
            f.write("[Agent]\r\nRunSeconds=120\r\nNoWindow=1\r\nStartServer=0\r\n")
        decoy = self.wine.start(os.path.join(folder, "QVManagerVESK.exe"), capture=False)
        self.assertTrue(self.wait_for_record("QVManagerVESK.exe", "logfiles="), self.records())
        os.remove(os.path.join(self.wine.drive_c, "ProgramData", "VeskTestAgent", "record.txt"))

        # Named as a browser names a second download: the token is "ab12cd", without the mark.
        exe = self.launcher("Support-ab12cd (1).exe", settings={"gateway_mode": "1"},
                            agent={"RunSeconds": 5, "WindowDelayMs": 300})
        launcher = self.wine.start(exe)
        # While the agent runs, "IsSystemUser" says so.
        self.assertTrue(self.wait_for_record("QVManagerVESK.exe", "window shown"), self.records())
        during = self.wine.reg_query(PRODUCT_KEY, "IsSystemUser")
        decoy.kill()
        launcher.wait(timeout=120)  # the process: its pipe may outlive it, held by the agent
        # The launch waited for the work folder's manager all the same.
        self.assertTrue(any(l.startswith("QVManagerVESK.exe ") and l.endswith(" ended")
                            for l in self.records()), self.records())
        self.wine.wait_idle()
        self.assertEqual(launcher.returncode, 0)
        self.assertEqual(during, ("REG_DWORD", "0x1"))
        self.assertIsNone(self.wine.reg_query(PRODUCT_KEY, "IsSystemUser"))

        # The task's program got the manager's name, the session and the token, and started it
        # with the token.
        self.assertEqual(self.record("Launcher.exe", "cmdline"),
                         f'"C:\\users\\{self.wine.user}\\Temp\\unpackvesk\\1\\Launcher.exe" '
                         "QVManagerVESK.exe 1 ab12cd")
        self.assertRegex(self.record("QVManagerVESK.exe", "cmdline"), r"-t ab12cd$")

        # The task existed only for the launch; the work folder is gone.
        code, _ = self.wine.run("schtasks", "/query", "/tn", "AVESK1")
        self.assertEqual(code, 1)
        # (the prefix spells the folder "tasks"; Windows names ignore case)
        with open(os.path.join(self.wine.drive_c, "windows", "tasks", "substitute", "calls.txt"),
                  encoding="utf-8") as f:
            calls = f.read()
        # The stand-in lives only in the 64-bit system32, so these calls also show that the
        # release build ran the commands through the 64-bit interpreter (sysnative): a 32-bit one
        # would have found Wine's own schtasks in syswow64.
        for verb in ("/create /xml AVESK.xml /ru \"system\" /tn AVESK1 /f", "/run /tn AVESK1",
                     "/delete /f /tn AVESK1"):
            self.assertIn(verb, calls)
        self.assertFalse(os.path.exists(self.work_folder()))

        log = self.wine.log_messages()
        begin = log.index("[CUnPackFileApp::RunAsService] RunAsService AVESK1 begin")
        end = log.index("[CUnPackFileApp::RunAsService] RunAsService AVESK1 end")
        self.assertLess(begin, end)
        # The manager was awaited (found within the manager's attempts: "/run" returns before the
        # task has started it, on Windows too, so an attempt or two may come first).
        self.assertNotIn("[CUnPackFileApp::RunAsService] fail to wait QVM try to find VESK window",
                         log)
        self.assertTrue(any(l.startswith("[CUnPackFileApp::WaitProcessExit] skip pid:") and
                            l.endswith("\\decoy\\QVManagerVESK.exe") for l in log), log)

    def test_a_profile_path_with_an_apostrophe_takes_the_system_launch(self):
        # The user's temp folder lies in a profile named like O'Brien: the task's action names the
        # work folder there as it is.
        temp = "C:\\users\\O'Brien\\Temp"
        os.makedirs(self.wine.host_path(temp))
        for name in ("TEMP", "TMP"):
            self.wine.run("reg", "add", "HKCU\\Environment", "/v", name, "/d", temp, "/f")
        exe = self.launcher("Support.exe", settings={"vesk_token": "tok1"},
                            agent={"RunSeconds": 1, "WindowDelayMs": 100})
        code, _ = self.wine.run(exe, timeout=120)
        self.wine.wait_idle()
        self.assertEqual(code, 0)
        self.assertEqual(self.record("Launcher.exe", "cmdline"),
                         f'"{temp}\\unpackvesk\\1\\Launcher.exe" QVManagerVESK.exe 1 tok1')
        self.assertRegex(self.record("QVManagerVESK.exe", "cmdline") or "", r"-t tok1$")
        self.assertEqual(self.wine.run("schtasks", "/query", "/tn", "AVESK1")[0], 1)


if __name__ == "__main__":
    harness.main()
