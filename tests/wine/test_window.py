"""The loading window under Wine: a real window on a real (virtual) screen, looked at from
another process and in screenshots. window_show.exe runs the launcher's window code with the
launcher's resources for as long as a test needs; the launcher itself shows the same window
while it runs."""

import os
import shutil
import time

import harness
import png_image

# window_show.exe carries the window code of the build under test.
PROGRAMS = os.path.join(harness.OUT, harness.BUILD, "testprogs")
SHOW = os.path.join(PROGRAMS, "window_show.exe")
INSPECT = os.path.join(PROGRAMS, "window_inspect.exe")
CLASS = "VeskLoadingWnd"
BACKGROUND = os.path.join(harness.ROOT, "src", "res", "images", "background.png")
SPINNER = (141, 54, 165, 78)  # the 24 x 24 spinner inside the window


def facts(output):
    """key=value lines of window_inspect (and window_show) as a dict."""
    out = {}
    for line in output.splitlines():
        key, sep, value = line.strip().partition("=")
        if sep:
            out[key] = value
    return out


def rect(text):
    return [int(v) for v in text.split(",")]


class LoadingWindow(harness.WineTestCase):
    def inspect(self, seconds=60):
        return self.wine.start(INSPECT, CLASS, str(seconds))

    def assert_window_facts(self, f):
        left, top, right, bottom = rect(f["rect"])
        self.assertEqual((right - left, bottom - top), (307, 93))
        self.assertEqual(rect(f["client"]), [0, 0, 307, 93])
        wa = rect(f["workarea"])
        self.assertEqual(left, wa[0] + (wa[2] - wa[0]) // 2 - 153)
        self.assertEqual(top, wa[1] + (wa[3] - wa[1]) // 2 - 46)
        exstyle = int(f["exstyle"]) & 0xFFFFFFFF
        self.assertEqual(exstyle, 0x88)  # WS_EX_TOPMOST | WS_EX_TOOLWINDOW, not layered
        style = int(f["style"]) & 0xFFFFFFFF
        self.assertEqual(style & 0xFFFF0000 & ~0x14000000, 0x80000000)  # popup (+ visible,
        self.assertEqual(int(f["classstyle"]), 0x8)                     #    clip siblings)
        self.assertEqual((f["classcursor"], f["classbrush"], f["classicon"]), ("0", "0", "0"))
        self.assertEqual((f["parent"], f["owner"], f["id"]), ("0", "0", "0"))
        self.assertEqual(f["title"], "Loading")
        # A plain rectangular region (a round rectangle without rounding).
        self.assertEqual(f["regionkind"], "2")
        self.assertEqual(rect(f["regionbox"]), [0, 0, 306, 92])

    def start_show(self, *args, program=SHOW):
        """window_show.exe with the given arguments, once its window is up; returns the process
        and what it printed about the window."""
        show = self.wine.start(program, *args)
        lines = []
        while not lines or not lines[-1].startswith("shown"):
            line = show.stdout.readline().decode()
            self.assertTrue(line, f"window_show ended early: {lines}")
            lines.append(line.strip())
        self.assertEqual(lines[-1], "shown 1")
        return show, facts("\n".join(lines))

    def assert_picture(self, shot, left, top):
        """The screen shows the background at the window's place, and a spinner in its place;
        returns the spinner's pixels."""
        background = png_image.load(BACKGROUND)
        x0, y0, x1, y1 = SPINNER
        same = total = 0
        for y in range(92):
            for x in range(306):
                if x0 <= x < x1 and y0 <= y < y1:
                    continue
                want = background.pixel(x, y)
                got = shot.pixel(left + x, top + y)
                total += 1
                same += all(abs(a - b) <= 4 for a, b in zip(want[:3], got[:3]))
        self.assertGreater(same / total, 0.99, "the background is not what the screen shows")
        box = [shot.pixel(left + x, top + y)[:3] for y in range(y0, y1) for x in range(x0, x1)]
        plain = [background.pixel(x, y)[:3] for y in range(y0, y1) for x in range(x0, x1)]
        drawn = sum(any(abs(a - b) > 60 for a, b in zip(p, q)) for p, q in zip(box, plain))
        self.assertGreater(drawn, 60, "no spinner on the screen")
        return tuple(box)

    def test_window_stands_topmost_in_the_middle_and_shows_background_and_turning_spinner(self):
        inspector = self.inspect()
        show, said = self.start_show("6000")
        self.assertEqual(said, {"bigicon": "1", "smallicon": "1"})
        time.sleep(1.0)
        shots = []
        for i in range(3):
            path = self.artifacts("loading-window.png" if i == 0 else f"loading-window-{i}.png")
            self.assertTrue(self.wine.screenshot(path))
            shots.append(png_image.load(path))
            time.sleep(0.3)

        out, _ = inspector.communicate(timeout=120)
        out = out.decode()
        self.assertIn("found", out, f"the inspector ended with {inspector.returncode}")
        self.assertIn("gone", out)
        f = facts(out)
        self.assert_window_facts(f)
        # No message loop runs, so no timer fades it out: it stays until it is closed.
        self.assertGreater(int(f["shown_ms"]), 4500)
        rest, _ = show.communicate(timeout=60)
        self.assertIn("closed 1", rest.decode())

        left, top, _, _ = rect(f["rect"])
        spinners = {self.assert_picture(shot, left, top) for shot in shots}
        self.assertGreater(len(spinners), 1, "the spinner does not turn")

    def test_the_picture_is_there_while_the_thread_is_blocked(self):
        # As while the launcher waits for its extraction: no painting, no messages. And as on
        # Windows XP, Vista and 7: GDI+ only among the side-by-side assemblies, and a gdiplus.dll
        # beside the program that Wine would take (n,b) for the name.
        for folder in ("system32", "syswow64"):
            os.unlink(os.path.join(self.wine.drive_c, "windows", folder, "gdiplus.dll"))
        downloads = os.path.join(self.wine.drive_c, "Downloads")
        os.makedirs(downloads)
        planted = shutil.copy(os.path.join(PROGRAMS, "planted", "gdiplus.dll"), downloads)
        self.wine.env["WINEDLLOVERRIDES"] += ";gdiplus=n,b"
        show, _ = self.start_show("5000", "block", program=shutil.copy(SHOW, downloads))
        time.sleep(1.0)
        path = self.artifacts("loading-window-blocked.png")
        self.assertTrue(self.wine.screenshot(path))
        code, out = self.wine.run(INSPECT, CLASS, "30")
        self.assertEqual(code, 0, out)  # found, and gone once the program closed it
        left, top, _, _ = rect(facts(out)["rect"])
        self.assert_picture(png_image.load(path), left, top)
        rest, _ = show.communicate(timeout=60)
        self.assertIn("closed 1", rest.decode())
        self.assertFalse(os.path.exists(planted + ".loaded"))

    def test_the_launchers_own_window_appears_and_is_gone_when_it_ends(self):
        # A file where the work folder's parent should be: the folder cannot be created and the
        # launcher spends its retries (about two seconds) with its window shown.
        os.makedirs(self.wine.temp, exist_ok=True)
        with open(os.path.join(self.wine.temp, "unpackvesk"), "w") as f:
            f.write("in the way")
        inspector = self.inspect()
        code, _ = self.wine.run(harness.VESK)
        self.assertEqual(code, 0)
        out, _ = inspector.communicate(timeout=120)
        out = out.decode()
        self.assertIn("found", out, "the launcher's window never appeared")
        self.assertIn("gone", out)
        self.assert_window_facts(facts(out))
        code, out = self.wine.run(INSPECT, CLASS, "1")
        self.assertEqual(code, 1, out)
        self.assertIn("not found", out)

    def test_where_messages_are_dispatched_the_timers_run_and_a_click_fades_the_window_out(self):
        # The pointer of a fresh X server rests in the middle of the screen, over the window, so
        # the hold phase counts no ticks and the window stays until it is clicked.
        inspector = self.wine.start(INSPECT, CLASS, "60", "6000")
        show = self.wine.start(SHOW, "15000", "pump")
        out, _ = inspector.communicate(timeout=120)
        out = out.decode()
        self.assertIn("gone", out, "the click did not fade the window out")
        f = facts(out)
        self.assertEqual(f["rect"], "359,338,666,431")  # centred on the 1024 x 768 screen
        shown = int(f["shown_ms"])
        self.assertGreaterEqual(shown, 6000)
        self.assertLess(shown, 6000 + 3000)  # a fade-out of 15 steps of 35 ms
        rest, _ = show.communicate(timeout=60)
        self.assertIn("closed 1", rest.decode())

if __name__ == "__main__":
    harness.main()
