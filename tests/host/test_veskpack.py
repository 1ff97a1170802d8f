"""veskpack's command line on real files: the layout it writes, what it lists and checks, how it
extracts, and every refusal (one line, non-zero exit, no output file)."""

import hashlib
import os
import shutil
import struct
import subprocess
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
VESKPACK = os.environ.get("VESKPACK") or os.path.join(ROOT, "out", "host", "veskpack")
RELEASE_STUB = os.path.join(ROOT, "out", "i686", "VESK.exe")

RECORD = 284
PE32, PE32_PLUS = 0x10B, 0x20B


def stub(magic=PE32_PLUS):
    """A small well-formed PE image: headers, one section, nothing behind it."""
    opt_size = 224 if magic == PE32 else 240
    data = bytearray(0x400)
    data[0:2] = b"MZ"
    struct.pack_into("<i", data, 60, 64)
    data[64:68] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", data, 68, 0x14C if magic == PE32 else 0x8664, 1, 0, 0, 0,
                     opt_size, 0x102)
    opt = 88
    struct.pack_into("<H", data, opt, magic)
    struct.pack_into("<I", data, opt + 60, 0x200)  # SizeOfHeaders
    section = opt + opt_size
    data[section:section + 8] = b".text\0\0\0"
    struct.pack_into("<IIII", data, section + 8, 0x100, 0x1000, 0x200, 0x200)
    return bytes(data)


def record(count, length, name):
    return struct.pack("<iIQQ", count, 0, length, 0) + name.ljust(260, b"\0")[:260]


def cert_dir_offset(data):
    lfanew = struct.unpack_from("<i", data, 60)[0]
    magic = struct.unpack_from("<H", data, lfanew + 24)[0]
    return lfanew + (152 if magic == PE32 else 168)


def sign_layout(data, size):
    """What a signing tool does to the layout: directory entry and checksum set, table appended."""
    data = bytearray(data)
    struct.pack_into("<Ii", data, cert_dir_offset(data), len(data), size)
    struct.pack_into("<I", data, struct.unpack_from("<i", data, 60)[0] + 88, 0x1D2C3)
    return bytes(data) + b"\x30" * size


class VeskPack(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="veskpack-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def write(self, name, data):
        p = self.path(name)
        os.makedirs(os.path.dirname(p), exist_ok=True)
        with open(p, "wb") as f:
            f.write(data)
        return p

    def read(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def run_tool(self, *args):
        p = subprocess.run([VESKPACK, *args], cwd=self.dir, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, timeout=120)
        return p.returncode, p.stdout.decode("latin-1"), p.stderr.decode("latin-1")

    def inputs(self):
        self.write("stub.exe", stub())
        self.write("setup.ini", b"[Settings]\r\nvesk_token=abc\r\n")
        self.write("a.txt", b"abc")
        self.write("empty.bin", b"")
        self.write("data/payload.bin", bytes(range(256)) * 9)

    # ---- build -------------------------------------------------------------------------------
    def test_build_writes_the_layout_byte_for_byte(self):
        self.inputs()
        code, out, err = self.run_tool("build", "--stub", "stub.exe", "-o", "out.exe", "setup.ini",
                                       "a.txt", "empty.bin", "agent.bin=data/payload.bin")
        self.assertEqual((code, err), (0, ""))
        data = self.read("out.exe")
        s = stub()
        entries = [(b"setup.ini", self.read("setup.ini")), (b"a.txt", b"abc"),
                   (b"empty.bin", b""), (b"agent.bin", self.read("data/payload.bin"))]
        body = b"".join(record(4, len(d), n) + d for n, d in entries)
        pad = (-(len(s) + len(body) + RECORD)) % 8
        self.assertNotEqual(pad, 0)  # the case that needs padding
        expected = s + b"\0" * pad + body + record(0, len(s) + pad, b"")
        self.assertEqual(data, expected)
        self.assertEqual(len(data) % 8, 0)
        self.assertIn(f"4 entries, package at offset {len(s) + pad}", out)

        # --align 1 leaves the length as it comes.
        code, _, err = self.run_tool("build", "--stub", "stub.exe", "-o", "one.exe", "--align",
                                     "1", "a.txt")
        self.assertEqual(code, 0)
        self.assertIn("warning", err)
        self.assertEqual(self.read("one.exe"),
                         s + record(1, 3, b"a.txt") + b"abc" + record(0, len(s), b""))

    def test_list_verify_and_extract_read_back_what_build_wrote(self):
        self.inputs()
        for magic in (PE32, PE32_PLUS):
            self.write("stub.exe", stub(magic))
            self.assertEqual(self.run_tool("build", "--stub", "stub.exe", "-o", "out.exe",
                                           "setup.ini", "a.txt", "empty.bin")[0], 0)
            code, out, err = self.run_tool("list", "out.exe")
            self.assertEqual((code, err), (0, ""))
            lines = out.splitlines()
            self.assertRegex(lines[0], r"out\.exe: unsigned, 3 entries at offset \d+$")
            self.assertRegex(lines[1], r"^\s+\d+\s+28  \"setup\.ini\"$")
            self.assertRegex(lines[3], r"^\s+\d+\s+0  \"empty\.bin\"$")
            self.assertEqual(self.run_tool("verify", "out.exe")[0], 0)

            # The same after the layout of a signature; the table's size moves the trailer.
            self.write("signed.exe", sign_layout(self.read("out.exe"), 1000))
            code, out, _ = self.run_tool("list", "signed.exe")
            self.assertEqual(code, 0)
            self.assertIn("signed (certificate table 1000 bytes), 3 entries", out)
            code, out, _ = self.run_tool("verify", "signed.exe")
            self.assertEqual(code, 0, out)

            # The launcher part of both packages: the stub, whatever signing did to the headers.
            digest = f"launcher SHA-256 {hashlib.sha256(stub(magic)).hexdigest()} (1024 bytes)"
            for package in ("out.exe", "signed.exe"):
                code, out, err = self.run_tool("verify", "--stub", "stub.exe", package)
                self.assertEqual((code, err), (0, ""))
                self.assertIn(digest, out)
                self.assertIn(f"{package}: launcher identical to stub.exe", out)
            other = bytearray(stub(magic))
            struct.pack_into("<I", other, 72, 0x5EED)  # another link's time stamp
            changed = bytearray(self.read("signed.exe"))
            changed[0x2F0] ^= 1
            self.write("other.exe", other)
            self.write("changed.exe", changed)
            for args, message in [
                    (["other.exe", "signed.exe"], "another build (time stamp 0x0, not 0x5eed)"),
                    (["stub.exe", "changed.exe"], "launcher differs from stub.exe: 1 byte "
                     'changed, the first at offset 752 in section ".text"')]:
                code, _, err = self.run_tool("verify", "--stub", *args)
                self.assertEqual(code, 1)
                self.assertIn(message, err)

            shutil.rmtree(self.path("x"), ignore_errors=True)
            code, _, err = self.run_tool("extract", "signed.exe", "x")
            self.assertEqual((code, err), (0, ""))
            self.assertEqual(sorted(os.listdir(self.path("x"))), ["a.txt", "empty.bin", "setup.ini"])
            self.assertEqual(self.read("x/setup.ini"), self.read("setup.ini"))

    def test_extract_skips_unsafe_names_and_overwrites_existing_files(self):
        s = stub()
        names = [b"..\\up.txt", b"../up2.txt", b"CON", b"ok.txt", b"a:b"]
        body = b"".join(record(len(names), 2, n) + b"xx" for n in names)
        self.write("bad.exe", s + body + record(0, len(s), b""))
        self.write("x/ok.txt", b"old content")
        code, out, err = self.run_tool("extract", "bad.exe", "x")
        self.assertEqual(code, 1)
        self.assertEqual(sorted(os.listdir(self.path("x"))), ["ok.txt"])
        self.assertEqual(self.read("x/ok.txt"), b"xx")
        self.assertEqual(sorted(os.listdir(self.dir)), ["bad.exe", "x"])
        self.assertIn('skipped "..\\up.txt": contains a path separator', err)
        self.assertIn('skipped "CON": is a device name', err)

    # ---- refusals ----------------------------------------------------------------------------
    def assert_refused(self, args, message, out="out.exe"):
        before = sorted(os.listdir(self.dir))
        code, _, err = self.run_tool(*args)
        self.assertNotEqual(code, 0, args)
        lines = err.splitlines()
        self.assertEqual(len(lines), 1, err)
        self.assertTrue(lines[0].startswith("veskpack: "), err)
        self.assertIn(message, lines[0])
        self.assertEqual(sorted(os.listdir(self.dir)), before)  # no output, no temporary file

    def test_build_refuses_bad_input_without_writing_anything(self):
        self.inputs()
        self.write("notes.txt", b"just text, no image " * 10)
        self.write("odd.exe", stub(0x107))
        self.write("packed.exe", stub() + record(1, 3, b"a.txt") + b"abc" + record(0, 0x400, b""))
        self.write("signed.exe", sign_layout(stub(), 16))
        build = ["build", "--stub", "stub.exe", "-o", "out.exe"]
        cases = [
            (["build", "--stub", "nothere.exe", "-o", "out.exe", "a.txt"], "is missing"),
            (["build", "--stub", "notes.txt", "-o", "out.exe", "a.txt"], "not a PE image"),
            (["build", "--stub", "odd.exe", "-o", "out.exe", "a.txt"], "magic 0x107"),
            (["build", "--stub", "packed.exe", "-o", "out.exe", "a.txt"], "already packed"),
            (["build", "--stub", "signed.exe", "-o", "out.exe", "a.txt"], "is signed"),
            (build + ["a.txt", "missing.txt"], "input missing.txt is missing"),
            (build + ["data"], "input data is missing or not a file"),
            (build + ["a.txt", "A.TXT=setup.ini"], "appears twice"),
            (build + [("n" * 260) + "=a.txt"], "260 bytes long"),
            (build + ["caf\xe9.txt=a.txt"], "not 7-bit ASCII"),
            (build + ["..\\x.dll=a.txt"], "path separator"),
            (build + ["x:y=a.txt"], "stream separator"),
            (build + ["nul.txt=a.txt"], "device name"),
            (build + ["=a.txt"], "empty name"),
            (build + ["x.=a.txt"], "dot or blank"),
            (build + ["a\x01=a.txt"], "control character"),
            (build + ["--align", "3", "a.txt"], "power of two"),
            (build, "at least one ENTRY"),
            (["build", "-o", "out.exe", "a.txt"], "needs --stub"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                self.assert_refused(args, message)

        # An existing output stays as it was when the build is refused.
        self.write("out.exe", b"previous build")
        self.assert_refused(build + ["a.txt", "missing.txt"], "missing")
        self.assertEqual(self.read("out.exe"), b"previous build")

    def test_verify_reports_each_problem_on_its_own_line(self):
        s = stub()
        good = s + record(2, 3, b"a.txt") + b"abc" + record(2, 1, b"b.bin") + b"b"
        trailer = record(0, len(s), b"")
        cases = {
            "counts.exe": (s + record(2, 3, b"a.txt") + b"abc" + record(3, 1, b"b.bin") + b"b" +
                           trailer, ["entry 2 counts 3 entries, entry 1 2"]),
            "gap.exe": (good + b"\0" * 8 + trailer, ["2 entries end at"]),
            "long.exe": (s + record(1, 10 ** 12, b"a.txt") + b"abc" + trailer,
                         ["runs past the trailer"]),
            "zero.exe": (s + record(1, 3, b"a.txt") + b"abc" + record(0, 0, b""),
                         ["no package offset"]),
            "outside.exe": (good + record(0, 10 ** 9, b""), ["lies outside the file"]),
            "inside.exe": (good + record(0, 0x200, b""),
                           ["inside the launcher image", "the first record counts 0 entries"]),
            "names.exe": (s + record(3, 1, b"..\\x") + b"1" + record(3, 1, b"A.txt") + b"2" +
                          record(3, 1, b"a.TXT") + b"3" + trailer,
                          ["entry 1 \"..\\x\": contains a path separator",
                           "entry 3 \"a.TXT\": name appears twice"]),
            "short.exe": (b"MZ", ["too short to be a PE image"]),
        }
        for name, (data, messages) in cases.items():
            with self.subTest(name=name):
                self.write(name, data)
                code, out, err = self.run_tool("verify", name)
                self.assertEqual(code, 1)
                self.assertEqual(out, "")
                lines = err.splitlines()
                self.assertEqual(len(lines), len(messages), err)
                for line, message in zip(lines, messages):
                    self.assertTrue(line.startswith(name + ": "), line)
                    self.assertIn(message, line)

        # A certificate table that does not end the file leaves the trailer out of place.
        data = bytearray(sign_layout(good + trailer, 64))
        struct.pack_into("<I", data, cert_dir_offset(data), 100)
        self.write("moved.exe", bytes(data))
        code, _, err = self.run_tool("verify", "moved.exe")
        self.assertEqual(code, 1)
        self.assertIn("does not end the file", err)

    # ---- the bad-input matrix ------------------------------------------------------------------
    def test_build_refuses_outputs_it_cannot_or_must_not_write(self):
        self.inputs()
        build = ["build", "--stub", "stub.exe"]
        os.symlink("a.txt", self.path("link.txt"))
        cases = [
            (build + ["-o", "nodir/out.exe", "a.txt"], "cannot create nodir/out.exe"),
            (build + ["-o", "data", "a.txt"], "cannot create data: Is a directory"),
            (build + ["-o", "a.txt/out.exe", "empty.bin"], "Not a directory"),
            # An input or the stub as output would be lost, under any spelling.
            (build + ["-o", "a.txt", "a.txt"], 'output a.txt is the input of entry "a.txt"'),
            (build + ["-o", "./setup.ini", "a.txt", "x.ini=setup.ini"], 'of entry "x.ini"'),
            (build + ["-o", "link.txt", "a.txt"], "is the input of entry"),
            (build + ["-o", "stub.exe", "a.txt"], "is the stub itself"),
            (build + ["-o", "out.exe", "x="], 'entry "x=" names no input file'),
            (build + ["-o", "out.exe", "-x", "a.txt"], "unknown option -x"),
            (build + ["-o"], "-o needs a value"),
            (build + ["-o", "out.exe", "--align", "99999999999999999999", "a.txt"],
             "power of two"),
            (build + ["-o", "out.exe", "--align", "0", "a.txt"], "power of two"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                self.assert_refused(args, message)
        self.assertEqual(self.read("a.txt"), b"abc")
        self.assertEqual(self.read("stub.exe"), stub())

    def test_build_refuses_broken_stubs(self):
        self.inputs()
        s = bytearray(stub())
        many_sections = bytearray(s)
        struct.pack_into("<H", many_sections, 70, 0xFFFF)
        negative = bytearray(s)
        struct.pack_into("<i", negative, 60, -8)
        far = bytearray(s)
        struct.pack_into("<i", far, 60, 0x7FFFFFF0)
        table_only = bytearray(s)
        struct.pack_into("<I", table_only, cert_dir_offset(s), 0x400)  # offset set, size 0
        stubs = {
            "cut-in-section.exe": (bytes(s[:0x300]), "is truncated"),
            "cut-in-table.exe": (bytes(s[:340]), "truncated PE image (section table)"),
            "cut-in-headers.exe": (bytes(s[:80]), "points outside the file"),
            "sections.exe": (bytes(many_sections), "truncated PE image (section table)"),
            "negative.exe": (bytes(negative), "e_lfanew -8 points outside the file"),
            "far.exe": (bytes(far), "points outside the file"),
            "table.exe": (bytes(table_only), "is signed"),
            "empty.exe": (b"", "too short to be a PE image"),
            "zeros.exe": (b"\0" * 4096, "no MZ signature"),
        }
        for name, (data, _) in stubs.items():
            self.write(name, data)
        for name, (_, message) in stubs.items():
            with self.subTest(stub=name):
                self.assert_refused(["build", "--stub", name, "-o", "out.exe", "a.txt"], message)
        self.assert_refused(["build", "--stub", "data", "-o", "out.exe", "a.txt"],
                            "stub data is missing or not a file")

    def hostile_packages(self):
        """Files that no build writes: each with a problem verify must name."""
        s = stub()
        good = s + record(2, 3, b"a.txt") + b"abc" + record(2, 1, b"b.bin") + b"b"
        packed = good + record(0, len(s), b"")
        negative_cert = bytearray(packed)
        struct.pack_into("<i", negative_cert, cert_dir_offset(packed) + 4, -100)
        huge_cert = bytearray(packed)
        struct.pack_into("<Ii", huge_cert, cert_dir_offset(packed), 0, 0x7FFFFFFF)
        return {
            "empty.exe": (b"", "too short to be a PE image"),
            "stub-only.exe": (s, "no package offset"),
            "cut-in-data.exe": (packed[:len(s) + RECORD + 2], "no package offset"),
            "cut-in-trailer.exe": (packed[:-100], "no package offset"),
            "count-max.exe": (s + record(0x7FFFFFFF, 3, b"a.txt") + b"abc" + record(0, len(s), b""),
                              "entry 2 of 2147483647 would start at"),
            "count-negative.exe": (s + record(-1, 3, b"a.txt") + b"abc" + record(0, len(s), b""),
                                   "the first record counts -1 entries"),
            "length-max.exe": (s + record(1, 2 ** 64 - 1, b"a.txt") + b"abc" + record(0, len(s), b""),
                               "runs past the trailer"),
            "offset-max.exe": (good + record(0, 2 ** 64 - 1, b""), "lies outside the file"),
            "negative-cert.exe": (bytes(negative_cert), "certificate table size is negative"),
            "huge-cert.exe": (bytes(huge_cert), "does not end the file"),
        }

    def test_list_verify_and_extract_refuse_hostile_packages(self):
        cases = self.hostile_packages()
        for name, (data, _) in cases.items():
            self.write(name, data)
        os.makedirs(self.path("folder.exe"))
        cases["folder.exe"] = (None, "is a folder, not a package file")
        cases["missing.exe"] = (None, "No such file or directory")
        for name, (_, message) in cases.items():
            with self.subTest(package=name):
                before = sorted(os.listdir(self.dir))
                code, out, err = self.run_tool("verify", name)
                self.assertEqual((code, out), (1, ""))
                self.assertIn(message, err)
                for line in err.splitlines():
                    self.assertTrue(line.startswith(name + ": "), line)
                code, _, err = self.run_tool("list", name)
                self.assertEqual(code, 1)
                self.assertIn(message, err)
                # Extraction refuses in one line and creates nothing, not even its folder.
                code, out, err = self.run_tool("extract", name, "x/y")
                self.assertEqual((code, out), (1, ""))
                self.assertEqual(len(err.splitlines()), 1, err)
                self.assertTrue(err.startswith(f"veskpack: cannot extract {name}: "), err)
                self.assertIn(message, err)
                self.assertEqual(sorted(os.listdir(self.dir)), before)

    def test_extract_writes_all_entries_or_none(self):
        self.inputs()
        self.assertEqual(self.run_tool("build", "--stub", "stub.exe", "-o", "out.exe",
                                       "setup.ini", "a.txt", "empty.bin")[0], 0)
        # The last entry's place is taken by a folder: the first two must not appear either.
        os.makedirs(self.path("x", "empty.bin"))
        self.write("x/keep.txt", b"keep")
        code, out, err = self.run_tool("extract", "out.exe", "x")
        self.assertEqual((code, out), (1, ""))
        self.assertEqual(err, "veskpack: cannot extract \"empty.bin\": x/empty.bin is a folder\n")
        self.assertEqual(sorted(os.listdir(self.path("x"))), ["empty.bin", "keep.txt"])
        self.assertEqual(os.listdir(self.path("x", "empty.bin")), [])

    def test_thousands_of_entries_round_trip(self):
        self.write("stub.exe", stub())
        names = [f"f{i:04}.bin" for i in range(3000)]
        for i, name in enumerate(names):
            self.write(f"in/{name}", i.to_bytes(2, "little"))
        code, out, err = self.run_tool("build", "--stub", "stub.exe", "-o", "out.exe",
                                       *[f"in/{n}" for n in names])
        self.assertEqual((code, err), (0, ""))
        self.assertIn("3000 entries", out)
        self.assertEqual(self.run_tool("verify", "out.exe")[0], 0)
        code, _, err = self.run_tool("extract", "out.exe", "x")
        self.assertEqual((code, err), (0, ""))
        self.assertEqual(sorted(os.listdir(self.path("x"))), names)
        self.assertEqual(self.read("x/f2999.bin"), (2999).to_bytes(2, "little"))

    def mount_tiny_volume(self):
        """A 64 KiB tmpfs below the test folder, or skip when this user cannot mount."""
        if os.geteuid() != 0 or not shutil.which("mount"):
            self.skipTest("mounting a tmpfs needs root")
        volume = self.path("tiny")
        os.makedirs(volume)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", volume],
                          capture_output=True).returncode != 0:
            self.skipTest("cannot mount a tmpfs here")
        self.addCleanup(subprocess.run, ["umount", volume], capture_output=True)
        return volume

    def test_a_full_disk_leaves_no_partial_output(self):
        self.inputs()
        volume = self.mount_tiny_volume()
        self.write("big.bin", os.urandom(200 * 1024))
        code, out, err = self.run_tool("build", "--stub", "stub.exe", "-o", "tiny/out.exe",
                                       "a.txt", "big.bin")
        self.assertEqual((code, out), (1, ""))
        self.assertEqual(err, "veskpack: cannot write tiny/out.exe: No space left on device\n")
        self.assertEqual(os.listdir(volume), [])

        # Extraction onto the full volume: no file, and the folders it created go again.
        self.assertEqual(self.run_tool("build", "--stub", "stub.exe", "-o", "out.exe", "a.txt",
                                       "big.bin")[0], 0)
        code, out, err = self.run_tool("extract", "out.exe", "tiny/new/deep")
        self.assertEqual((code, out), (1, ""))
        self.assertEqual(len(err.splitlines()), 1, err)
        self.assertIn("No space left on device", err)
        self.assertEqual(os.listdir(volume), [])

    @unittest.skipUnless(os.path.exists(RELEASE_STUB) and shutil.which("osslsigncode")
                         and shutil.which("openssl"), "needs the release build and signing tools")
    def test_the_release_launcher_packed_and_signed_for_real(self):
        self.inputs()
        code, _, err = self.run_tool("build", "--stub", RELEASE_STUB, "-o", "pack.exe",
                                     "setup.ini", "a.txt", "empty.bin")
        self.assertEqual(code, 0, err)
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                        self.path("key.pem"), "-out", self.path("cert.pem"), "-days", "2",
                        "-subj", "/CN=VESK test signing"], check=True, capture_output=True)
        subprocess.run(["osslsigncode", "sign", "-certs", self.path("cert.pem"), "-key",
                        self.path("key.pem"), "-in", self.path("pack.exe"), "-out",
                        self.path("signed.exe")], check=True, capture_output=True)
        check = subprocess.run(["osslsigncode", "verify", "-CAfile", self.path("cert.pem"),
                                "-in", self.path("signed.exe")], capture_output=True, text=True)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        self.assertIn("Signature verification: ok", check.stdout)
        code, out, _ = self.run_tool("verify", "--stub", RELEASE_STUB, "signed.exe")
        self.assertEqual(code, 0, out)
        self.assertRegex(out, r"OK, signed \(certificate table \d+ bytes\), 3 entries")
        self.assertIn(f"launcher identical to {RELEASE_STUB}", out)
        code, _, _ = self.run_tool("extract", "signed.exe", "x")
        self.assertEqual(code, 0)
        self.assertEqual(self.read("x/setup.ini"), self.read("setup.ini"))
        # Signing an already signed package is the signing tool's business; packing it is not.
        self.assert_refused(["build", "--stub", "signed.exe", "-o", "again.exe", "a.txt"],
                            "is signed")


if __name__ == "__main__":
    unittest.main(verbosity=2)
