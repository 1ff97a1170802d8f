"""The launcher's values in the product key of the logged-on user, read back with `reg query`."""

import os

import harness

PRODUCT_KEY = "HKCU\\Software\\Quintrova Inc.\\Quintrova Remote Server VESK_1"
REG_LINK = os.path.join(harness.WIN64, "testprogs", "reg_link.exe")


class ProductKey(harness.WineTestCase):
    def run_launcher(self, *args):
        code, _ = self.wine.run(harness.VESK, *args)
        self.wine.wait_idle()
        self.assertEqual(code, 0)

    def test_start_up_records_the_launcher_and_the_desktop(self):
        self.run_launcher()
        image = self.wine.reg_query(PRODUCT_KEY, "ImagePath")
        self.assertIsNotNone(image, ["ImagePath missing; the log:"] + self.wine.log_messages())
        self.assertEqual(image[0], "REG_SZ")
        self.assertEqual(image[1].lower(), self.wine.windows_path(harness.VESK).lower())
        # The user's software key is one for 32-bit and 64-bit programs: the agent finds the
        # values in either view, whichever build wrote them.
        for view in (32, 64):
            self.assertEqual(self.wine.reg_query(PRODUCT_KEY, "ImagePath", view), image, view)

        desktop = self.wine.reg_query(PRODUCT_KEY, "DesktopPath")
        self.assertIsNotNone(desktop, "DesktopPath missing")
        self.assertEqual(desktop[0], "REG_SZ")
        expected = f"C:\\users\\{self.wine.user}\\Desktop\\VESK.exe"
        self.assertEqual(desktop[1].lower(), expected.lower())
        self.assertTrue(os.path.isdir(self.wine.host_path(desktop[1].rsplit("\\", 1)[0])))

    def test_instructions_are_set_and_cleared_by_a_later_plain_run(self):
        self.run_launcher("/I", "NOTE=hello,IDLE=30")
        self.assertEqual(self.wine.reg_query(PRODUCT_KEY, "NoteSession"), ("REG_SZ", "hello"))
        self.assertEqual(self.wine.reg_query(PRODUCT_KEY, "IdleSessionTimeout"),
                         ("REG_DWORD", "0x1e"))
        self.assertIn("[CUnPackFileApp::HandleInstruction] VESK Instruction NOTE=hello,IDLE=30",
                      self.wine.log_messages())

        # A token and no instruction: the values stay.
        self.run_launcher("/T", "tok")
        self.assertEqual(self.wine.reg_query(PRODUCT_KEY, "NoteSession"), ("REG_SZ", "hello"))

        # Neither token nor instruction: both go.
        self.run_launcher()
        self.assertIsNone(self.wine.reg_query(PRODUCT_KEY, "NoteSession"))
        self.assertIsNone(self.wine.reg_query(PRODUCT_KEY, "IdleSessionTimeout"))
        self.assertIsNotNone(self.wine.reg_query(PRODUCT_KEY, "ImagePath"))

        # The user makes the product key a link to a service's key: a run with a note writes
        # neither value there (the link itself still leads there for others).
        service = "HKLM\\System\\CurrentControlSet\\Services\\VeskLinkTarget"
        self.wine.run("reg", "add", service, "/v", "Start", "/t", "REG_DWORD", "/d", "3", "/f")
        self.wine.run("reg", "delete", PRODUCT_KEY, "/f")
        code, out = self.wine.run(REG_LINK, PRODUCT_KEY[5:], "\\Registry\\Machine" + service[4:])
        self.assertEqual(code, 0, out)
        self.run_launcher("/I", "NOTE=hello")
        self.assertEqual(self.wine.reg_query(PRODUCT_KEY, "Start"), ("REG_DWORD", "0x3"))
        for name in ("ImagePath", "NoteSession"):
            self.assertIsNone(self.wine.reg_query(service, name), name)

    def saved_value_line(self, name):
        """The value's line in the saved user hive (written when the prefix's server ends)."""
        section = "[" + PRODUCT_KEY.split("\\", 1)[1].replace("\\", "\\\\") + "]"
        with open(os.path.join(self.wine.path, "user.reg"), encoding="utf-8") as f:
            lines = f.read().splitlines()
        inside = False
        for line in lines:
            if line.startswith("["):
                inside = line.startswith(section)
            elif inside and line.startswith(f'"{name}"='):
                return line
        return None

    def test_an_empty_note_is_a_terminator_alone(self):
        self.run_launcher("/I", "NOTE=,IDLE=10000")
        # Wine saves string data in quotes only when it is terminated (an unterminated or
        # zero-length value is saved as hex bytes).
        self.assertEqual(self.saved_value_line("NoteSession"), '"NoteSession"=""')
        self.assertEqual(self.wine.reg_query(PRODUCT_KEY, "NoteSession"), ("REG_SZ", ""))
        # The time-out is out of range.
        self.assertIsNone(self.wine.reg_query(PRODUCT_KEY, "IdleSessionTimeout"))


if __name__ == "__main__":
    harness.main()
