"""The resources of the built launchers (release 32-bit and 64-bit): the loading window's
pictures, the icon, the string table, the manifest and the version, read from the PE files."""

import math
import os
import re
import unittest
import xml.etree.ElementTree as ET

import harness
import pe_resources as pe
import png_image

SRC = os.path.join(harness.ROOT, "src")
BUILDS = {"i686": os.path.join(harness.OUT, "i686", "VESK.exe"),
          "x86_64": os.path.join(harness.OUT, "x86_64", "VESK.exe")}
RELEASE_LIMIT = 256 * 1024

SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Windows Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # Windows 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # Windows 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # Windows 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # Windows 10
}


def project_version():
    with open(os.path.join(harness.ROOT, "CMakeLists.txt")) as f:
        m = re.search(r"project\(vesk VERSION (\d+)\.(\d+)\.(\d+)\.(\d+)", f.read())
    return tuple(int(x) for x in m.groups())


def expected_strings():
    """The string table as src/res/strings.h has it: {id: text}."""
    with open(os.path.join(SRC, "res", "strings.h")) as f:
        text = f.read()
    ids = {name: int(value) for name, value in re.findall(r"#define (IDS_\w+) (\d+)", text)}
    out = {}
    for name, literal in re.findall(r'\{(IDS_\w+), L"((?:[^"\\]|\\.)*)"\}', text):
        out[ids[name]] = literal.replace('\\"', '"').replace("\\\\", "\\")
    return out


def only(found, what):
    """The single language version of a resource, which must be US English."""
    if list(found) != [1033]:
        raise AssertionError(f"{what}: languages {list(found)} instead of [1033]")
    return found[1033]


class LauncherResources(unittest.TestCase):
    def setUp(self):
        self.files = {arch: pe.PeFile(path) for arch, path in BUILDS.items()}

    def test_both_builds_are_gui_programs_and_the_release_one_is_32_bit_and_small(self):
        for arch, f in self.files.items():
            with self.subTest(arch):
                self.assertEqual(f.subsystem, 2)  # Windows GUI
        self.assertEqual(self.files["i686"].magic, 0x10B)
        self.assertEqual(self.files["i686"].machine, 0x14C)
        self.assertEqual(self.files["x86_64"].magic, 0x20B)
        size = os.path.getsize(BUILDS["i686"])
        self.assertLessEqual(size, RELEASE_LIMIT, f"release launcher is {size} bytes")

    def test_pictures_are_the_committed_files_with_their_sizes_and_colour_types(self):
        committed = {200: "background.png"}
        committed.update({201 + i: f"spinner{i:02d}.png" for i in range(12)})
        for arch, f in self.files.items():
            for rid, name in committed.items():
                with self.subTest(arch=arch, id=rid):
                    data = only(f.find("PNG", rid), f"PNG {rid}")
                    with open(os.path.join(SRC, "res", "images", name), "rb") as g:
                        self.assertEqual(data, g.read())
                    want = (306, 92, 8, 2) if rid == 200 else (48, 48, 8, 6)  # RGB / RGBA
                    self.assertEqual(png_image.header(data), want)
            # Nothing else of that type.
            self.assertEqual(sorted({k[1] for k in f.resources if k[0] == "PNG"}),
                             list(range(200, 213)))

    def test_background_is_a_light_panel_with_dark_text_above_a_free_spinner_place(self):
        image = png_image.Image(only(self.files["i686"].find("PNG", 200), "background"))
        lum = lambda p: (p[0] * 299 + p[1] * 587 + p[2] * 114) // 1000
        pixels = [lum(image.pixel(x, y)) for y in range(92) for x in range(306)]
        self.assertGreater(sum(pixels) / len(pixels), 200)  # light panel
        text = [(x, y) for y in range(92) for x in range(306) if lum(image.pixel(x, y)) < 110]
        self.assertGreater(len(text), 300)  # "Loading Now..." in dark pixels
        self.assertLess(max(y for _, y in text), 54)  # all of it above the spinner (y 54..77)

    def test_spinner_frames_turn_one_step_clockwise_each(self):
        f = self.files["i686"]
        for i in range(12):
            frame = png_image.Image(only(f.find("PNG", 201 + i), f"PNG {201 + i}"))
            # The leading spoke is the only opaque one; its direction, clockwise from 12 o'clock,
            # from its outer part (the spokes overlap near the middle).
            xs, ys = [], []
            for y in range(48):
                for x in range(48):
                    dx, dy = x + 0.5 - 24, y + 0.5 - 24
                    if dx * dx + dy * dy > 15 * 15 and frame.pixel(x, y)[3] >= 250:
                        xs.append(dx)
                        ys.append(dy)
            self.assertTrue(xs, f"frame {i} has no opaque spoke")
            angle = math.degrees(math.atan2(sum(xs), -sum(ys))) % 360
            expected = 30 * i
            # within less than half a step (the trailing spoke's overlap pulls a little)
            self.assertLess(abs((angle - expected + 180) % 360 - 180), 12,
                            f"frame {i}: leading spoke at {angle:.0f} degrees")

    def test_icon_128_has_the_usual_sizes(self):
        for arch, f in self.files.items():
            with self.subTest(arch):
                entries = pe.parse_icon_group(only(f.find(pe.RT_GROUP_ICON, 128), "icon 128"))
                self.assertEqual(sorted((w, h) for w, h, _, _ in entries),
                                 [(16, 16), (32, 32), (48, 48)])
                for _, _, bits, icon_id in entries:
                    self.assertEqual(bits, 32)
                    self.assertTrue(f.find(pe.RT_ICON, icon_id), f"icon image {icon_id}")
                # The lowest icon group is what the shell shows for the file.
                groups = [k[1] for k in f.resources if k[0] == pe.RT_GROUP_ICON]
                self.assertEqual(groups, [128])

    def test_string_table_matches_the_program_texts(self):
        expected = expected_strings()
        self.assertEqual(sorted(expected), [130, 131, 137, 138, 139, 140])
        self.assertEqual(expected[138], '  -  Click "OK" and in next dialog, click "Yes" to allow.')
        for arch, f in self.files.items():
            with self.subTest(arch):
                self.assertEqual(f.strings(1033), expected)
                langs = {k[2] for k in f.resources if k[0] == pe.RT_STRING}
                self.assertEqual(langs, {1033})

    def test_manifest_asks_for_the_invokers_rights_and_declares_vista_to_10(self):
        ns = {"v1": "urn:schemas-microsoft-com:asm.v1", "v3": "urn:schemas-microsoft-com:asm.v3",
              "c": "urn:schemas-microsoft-com:compatibility.v1"}
        for arch, f in self.files.items():
            with self.subTest(arch):
                root = ET.fromstring(only(f.find(pe.RT_MANIFEST, 1), "manifest"))
                level = root.find("v3:trustInfo/v3:security/v3:requestedPrivileges/"
                                  "v3:requestedExecutionLevel", ns)
                self.assertEqual(level.get("level"), "asInvoker")
                self.assertEqual(level.get("uiAccess"), "false")
                ids = [e.get("Id") for e in root.findall("c:compatibility/c:application/"
                                                         "c:supportedOS", ns)]
                self.assertEqual(sorted(ids), sorted(SUPPORTED_OS))

    def test_version_is_the_projects(self):
        version = project_version()
        text = ".".join(str(v) for v in version)
        for arch, f in self.files.items():
            with self.subTest(arch):
                fixed, strings = pe.parse_version(only(f.find(pe.RT_VERSION, 1), "version"))
                self.assertEqual(fixed["signature"], 0xFEEF04BD)
                self.assertEqual(fixed["product"], version)
                self.assertEqual(fixed["file"], version)
                self.assertEqual(strings["ProductVersion"], text)
                self.assertEqual(strings["FileVersion"], text)
                self.assertEqual(strings["OriginalFilename"], "VESK.exe")


if __name__ == "__main__":
    harness.main()
