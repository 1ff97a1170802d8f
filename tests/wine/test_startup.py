"""The launcher starts, logs and ends under Wine."""

import os

import harness


class StartUp(harness.WineTestCase):
    def test_plain_run_exits_zero_and_logs_the_os_line(self):
        code, _ = self.wine.run(harness.VESK)
        self.wine.wait_idle()
        self.assertEqual(code, 0)
        data = self.wine.log_bytes(session=1)
        # UTF-16LE without a byte-order mark, lines ending in CR LF.
        self.assertFalse(data.startswith(b"\xff\xfe"))
        self.assertTrue(data.endswith("\r\n".encode("utf-16-le")))
        messages = self.wine.log_messages()
        os_lines = [m for m in messages if m.startswith("[CUtility::OSInfo] OS ")]
        self.assertEqual(len(os_lines), 1, messages)
        # The release build is a 32-bit program on a 64-bit system: it sees WOW64.
        self.assertRegex(os_lines[0], r"^\[CUtility::OSInfo\] OS \d+\.\d+\(\d+\) .* x64:"
                         + ("1" if harness.RELEASE else "0") + "$")


if __name__ == "__main__":
    harness.main()
