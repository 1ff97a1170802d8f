"""One agent per session, the elevation prompt and the debug markers, under Wine."""

import os
import subprocess

import harness
from agent_case import TESTPROGS, AgentTestCase, agent_package

PREFIX = "[CUnPackFileApp::InitInstance] "


class SingleInstance(AgentTestCase):
    def setUp(self):
        super().setUp()
        self.keep_standard_launch()

    def test_a_second_launcher_hands_over_to_the_running_agent(self):
        exe = self.launcher("Support.exe", settings={},
                            agent={"RunSeconds": 8, "WindowDelayMs": 300})
        first = self.wine.start(exe)
        self.assertTrue(self.wait_for_record("QVManagerVESK.exe", "window shown"), self.records())
        code, _ = self.wine.run(exe, timeout=60)
        self.assertEqual(code, 0)
        self.assertIn(PREFIX + "VESK skip by foreground instance", self.wine.log_messages())
        first.communicate(timeout=120)
        self.assertEqual(first.returncode, 0)
        managers = [l for l in self.records() if l.startswith("QVManagerVESK.exe ")
                    and "cmdline=" in l]
        self.assertEqual(len(managers), 1, self.records())

    def test_an_agent_window_without_a_launcher_gets_the_foreground(self):
        agent = self.wine.start(os.path.join(agent_package.agent_dir(), "QVManagerVESK.exe"))
        self.assertTrue(self.wait_for_record("QVManagerVESK.exe", "window shown"), self.records())
        exe = self.launcher("Support.exe", settings={})
        code, _ = self.wine.run(exe, timeout=60)
        self.assertEqual(code, 0)
        self.assertIn(PREFIX + "VESK skip by foreground window without instance",
                      self.wine.log_messages())
        agent.communicate(timeout=60)


class ElevationPrompt(AgentTestCase):
    def setUp(self):
        super().setUp()
        # With code-signing settings an administrator is not elevated by the launcher, so a
        # token switch needs the prompt.
        self.keep_standard_launch()
        self.exe = self.launcher("Support.exe", settings={}, agent={"RunSeconds": 1})

    def answer(self, how):
        return subprocess.Popen(
            [harness.WINE, os.path.join(TESTPROGS, "answer_dialog.exe"), "Warning", how, "60"],
            env=self.wine.env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)

    def test_cancel_ends_the_run(self):
        helper = self.answer("cancel")
        code, _ = self.wine.run(self.exe, "/T", "x", timeout=90)
        out = helper.communicate(timeout=90)[0].decode("utf-8", "replace")
        self.assertEqual(code, 0)
        self.assertEqual(helper.returncode, 0, out)
        self.assertIn("Your admin requires your permission to connect to this computer.", out)
        self.assertIn('  -  Click "OK" and in next dialog, click "Yes" to allow.', out)
        self.assertIn('  -  Click "Cancel" if you do want to reject the connection.', out)
        self.assertEqual(self.wine.log_messages(), [PREFIX + "VESK ElevationLimited cancel"])
        self.assertIsNone(self.record("QVManagerVESK.exe", "cmdline"))

    def test_ok_reopens_the_launcher_which_asks_again(self):
        # The reopened launcher inherits the first one's handles: no pipe of ours goes with it.
        launcher = self.wine.start(self.exe, "/T", "x", capture=False)
        first = self.answer("ok")
        self.assertEqual(first.wait(timeout=90), 0)
        self.assertEqual(launcher.wait(timeout=90), 0)
        second = self.answer("cancel")
        self.assertEqual(second.wait(timeout=90), 0)
        self.wine.wait_idle()
        self.assertEqual(self.wine.log_messages(), [PREFIX + "VESK ElevationLimited reopen ",
                                                    PREFIX + "VESK ElevationLimited cancel"])


class DebugMarkers(AgentTestCase):
    def test_markers_wait_in_the_log_folder_for_the_agent(self):
        self.keep_standard_launch()
        exe = self.launcher("Support.exe", settings={}, agent={"RunSeconds": 1,
                                                              "WindowDelayMs": 100})
        code, _ = self.wine.run(exe, "/D", "-D1")
        self.assertEqual(code, 0)
        self.assertEqual(sorted(self.recorded_files("logfiles")), ["debug.dvm", "debugAV.dvm"])


if __name__ == "__main__":
    harness.main()
