#!/usr/bin/env python3
"""Writes the committed seed corpus of the fuzz targets (tests/fuzz/corpus/).

package/: launcher files as users make them. Each stub is the PE headers of a real build
(out/i686/VESK.exe, the release build, PE32; out/x86_64/VESK.exe, PE32+) with the section data
left out, so a seed stays a few kilobytes; veskpack packs a few files behind it, and osslsigncode
signs a copy with a throw-away certificate. Two hand-made files add what veskpack refuses to
write: names the launcher must skip, and records whose counts disagree.

command_line/: a flags byte (bit 0: the run has the system launch, bit 1: Windows before Vista)
followed by arguments separated by NUL bytes.

Needs ./run build first (veskpack and both Windows builds), openssl and osslsigncode.
"""

import os
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
VESKPACK = os.path.join(ROOT, "out", "host", "veskpack")
BUILDS = {"pe32": os.path.join(ROOT, "out", "i686", "VESK.exe"),
          "pe32plus": os.path.join(ROOT, "out", "x86_64", "VESK.exe")}
RECORD = 284


def headers_only(exe):
    """The image's headers (SizeOfHeaders bytes), its sections kept in the table but empty."""
    with open(exe, "rb") as f:
        data = f.read()
    lfanew = struct.unpack_from("<i", data, 60)[0]
    sections = struct.unpack_from("<H", data, lfanew + 6)[0]
    optional = struct.unpack_from("<H", data, lfanew + 20)[0]
    size = struct.unpack_from("<I", data, lfanew + 24 + 60)[0]
    stub = bytearray(data[:size])
    for i in range(sections):
        struct.pack_into("<II", stub, lfanew + 24 + optional + 40 * i + 16, 0, 0)
    return bytes(stub)


def record(count, length, name):
    return struct.pack("<iIQQ", count, 0, length, 0) + name.ljust(260, b"\0")[:260]


def run(*args):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def package_seeds(out, work):
    files = {
        "setup.ini": b"[Settings]\r\nvesk_token=abc\r\ntoken_mode=2\r\n",
        "a.txt": b"abc",
        "empty.bin": b"",
        # More than one copy step of 1024 bytes.
        "QVManagerVESK.exe": bytes((i * 7) & 0xFF for i in range(1100)),
    }
    for name, data in files.items():
        with open(os.path.join(work, name), "wb") as f:
            f.write(data)
    key, cert = os.path.join(work, "key.pem"), os.path.join(work, "cert.pem")
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
        "-days", "2", "-subj", "/CN=VESK fuzz corpus")
    stubs = {}
    for kind, exe in BUILDS.items():
        stubs[kind] = headers_only(exe)
        stub = os.path.join(work, kind + ".stub")
        with open(stub, "wb") as f:
            f.write(stubs[kind])
        unsigned = os.path.join(out, kind + "-unsigned.exe")
        run(VESKPACK, "build", "--stub", stub, "-o", unsigned,
            *[os.path.join(work, n) for n in files])
        run("osslsigncode", "sign", "-certs", cert, "-key", key, "-in", unsigned,
            "-out", os.path.join(out, kind + "-signed.exe"))
        run(VESKPACK, "verify", os.path.join(out, kind + "-signed.exe"))

    stub = stubs["pe32"]
    names = [b"..\\up.txt", b"CON", b"a:b", b"ok.txt", b"OK.TXT", b"x.", b"\xe9t\xe9.txt"]
    body = b"".join(record(len(names), 2, n) + b"xx" for n in names)
    with open(os.path.join(out, "hostile-names.exe"), "wb") as f:
        f.write(stub + body + record(0, len(stub), b""))
    body = record(3, 3, b"a.txt") + b"abc" + record(1, 1, b"b.txt") + b"b" + record(3, 1, b"c")
    with open(os.path.join(out, "counts.exe"), "wb") as f:
        f.write(stub + body + b"c" + record(0, len(stub), b""))


COMMAND_LINES = {
    "token": b"\x01/T\0abc-123",
    "token-prompt": b"\x00-t\0abc",
    "token-last": b"\x01x\0/T",
    "token-takes-switch": b"\x01/T\0/D",
    "token-metacharacters": b"\x01/T\0a&b|c>d \"e\"",
    "instruction": b"\x01/I\0NOTE=hello,IDLE=30\0/D\0/D1",
    "instruction-joined": b"\x02/I\0a\0b\0/T\0x",
    "instruction-twice": b"\x01/I\0a\0/I\0b",
    "instruction-edges": b"\x01-i\0 IDLE= 45s,,NOTE= a=b ,\0-D1",
    "instruction-range": b"\x01/I\0IDLE=10000\0/i\0IDLE=-1,note=x\0/I",
    "instruction-clamp": b"\x03/I\0IDLE=99999999999,IDLE=9999,NOTE=\0/T\0t_1",
}


def main():
    for path in [VESKPACK, *BUILDS.values()]:
        if not os.path.exists(path):
            sys.exit(f"make_corpus: {path} is missing (run ./run build first)")
    corpus = os.path.join(HERE, "corpus")
    for target in ("package", "command_line"):
        shutil.rmtree(os.path.join(corpus, target), ignore_errors=True)
        os.makedirs(os.path.join(corpus, target))
    with tempfile.TemporaryDirectory(prefix="vesk-corpus-") as work:
        package_seeds(os.path.join(corpus, "package"), work)
    for name, data in COMMAND_LINES.items():
        with open(os.path.join(corpus, "command_line", name), "wb") as f:
            f.write(data)
    for target in ("package", "command_line"):
        folder = os.path.join(corpus, target)
        sizes = [os.path.getsize(os.path.join(folder, n)) for n in os.listdir(folder)]
        print(f"{folder}: {len(sizes)} seeds, {sum(sizes)} bytes")


if __name__ == "__main__":
    main()
