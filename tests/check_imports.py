#!/usr/bin/env python3
"""The launcher's import table holds only known system DLLs.

Windows looks for a DLL of the import table in the program's own folder first, unless the DLL is
a known DLL (or already loaded). The launcher is run from download folders that other programs
write to, so everything it imports must be a known DLL on every Windows it supports: kernel32,
user32, gdi32, advapi32, shell32, ole32, msvcrt. Anything else (GDI+, version, wtsapi32,
wintrust) is loaded at run time from the system folder (src/platform/win32/win32.h).

    check_imports.py EXE... [--functions EXE LIST]

Reads each file's import and delay-import tables itself (no other tool needed), prints what each
imports, and fails, listing them, when any file imports another DLL or cannot be read.

With --functions, EXE (the release build) may import by name only the functions in LIST
("dll:function" lines; # starts a comment): the release must start on Windows XP SP3, so every
function it imports must be one that XP SP3's system DLLs export, and a new import is a
conscious decision, made by adding its line. Functions of later Windows are looked up at run
time (plat::win32::SystemFunction).
"""

import os
import struct
import sys

# Known DLLs on every supported Windows (XP SP3 to 11), 32-bit and 64-bit.
ALLOWED = ("kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll",
           "ole32.dll", "msvcrt.dll")

IMPORT_DIRECTORY = 1
DELAY_IMPORT_DIRECTORY = 13


class PeError(Exception):
    pass


class _Image:
    """The parts of a PE file that the import tables need."""

    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ" or len(data) < 64:
            raise PeError("no MZ header")
        (lfanew,) = struct.unpack_from("<I", data, 60)
        if data[lfanew:lfanew + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        coff = lfanew + 4
        _machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, coff)
        optional = coff + 20
        (magic,) = struct.unpack_from("<H", data, optional)
        if magic == 0x10B:
            self.pe32_plus = False
            (self.image_base,) = struct.unpack_from("<I", data, optional + 28)
            directories = optional + 96
        elif magic == 0x20B:
            self.pe32_plus = True
            (self.image_base,) = struct.unpack_from("<Q", data, optional + 24)
            directories = optional + 112
        else:
            raise PeError(f"unknown optional header magic 0x{magic:x}")
        (count,) = struct.unpack_from("<I", data, directories - 4)
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i)
                            for i in range(min(count, 16))]
        table = optional + optional_size
        self.sections = []
        for i in range(sections):
            at = table + 40 * i
            vsize, vaddr, rsize, raw = struct.unpack_from("<IIII", data, at + 8)
            self.sections.append((vaddr, max(vsize, rsize), raw, rsize))

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def offset(self, rva):
        for vaddr, size, raw, rsize in self.sections:
            if vaddr <= rva < vaddr + size:
                if rva - vaddr >= rsize:
                    raise PeError(f"RVA 0x{rva:x} lies in no file data")
                return raw + rva - vaddr
        raise PeError(f"RVA 0x{rva:x} lies in no section")

    def string(self, rva):
        at = self.offset(rva)
        end = self.data.index(b"\0", at)
        return self.data[at:end].decode("ascii", "replace")

    def thunks(self, rva):
        """Function names (or "#ordinal") of an import name table."""
        size, fmt, flag = (8, "<Q", 1 << 63) if self.pe32_plus else (4, "<I", 1 << 31)
        names = []
        at = self.offset(rva)
        while True:
            (value,) = struct.unpack_from(fmt, self.data, at)
            if value == 0:
                return names
            if value & flag:
                names.append(f"#{value & 0xFFFF}")
            else:
                names.append(self.string((value & 0x7FFFFFFF) + 2))  # past the hint
            at += size


def imports(path):
    """{dll name in lower case: [imported function names]} of a PE file, from its import table
    and its delay-import table."""
    with open(path, "rb") as f:
        image = _Image(f.read())
    found = {}

    rva, size = image.directory(IMPORT_DIRECTORY)
    if rva and size:
        at = image.offset(rva)
        while True:
            names, _, _, name, first = struct.unpack_from("<IIIII", image.data, at)
            if not (names or name or first):
                break
            found.setdefault(image.string(name).lower(), []).extend(image.thunks(names or first))
            at += 20

    rva, size = image.directory(DELAY_IMPORT_DIRECTORY)
    if rva and size:
        at = image.offset(rva)
        while True:
            attributes, name, _, _, names, _, _, _ = struct.unpack_from("<8I", image.data, at)
            if not (name or names):
                break
            # Old-style descriptors hold addresses, not RVAs.
            base = 0 if attributes & 1 else image.image_base
            found.setdefault(image.string(name - base).lower(), []).extend(
                image.thunks(names - base))
            at += 32
    return found


def check(paths):
    """Problems found in the given files, one line each (empty when all is well)."""
    problems = []
    for path in paths:
        try:
            table = imports(path)
        except (OSError, PeError, struct.error, ValueError) as e:
            problems.append(f"{path}: cannot read its import table: {e}")
            continue
        print(f"{path}: " + ", ".join(f"{dll} ({len(fns)})" for dll, fns in sorted(table.items())))
        for dll in sorted(table):
            if dll not in ALLOWED:
                problems.append(f"{path}: imports {dll} ({', '.join(table[dll])}), which is not a "
                                f"known DLL on every supported Windows")
    return problems


def check_functions(path, list_path):
    """Problems of `path` importing a function that the committed list does not hold."""
    with open(list_path, encoding="utf-8") as f:
        allowed = {line.split("#", 1)[0].strip().lower() for line in f} - {""}
    try:
        table = imports(path)
    except (OSError, PeError, struct.error, ValueError) as e:
        return [f"{path}: cannot read its import table: {e}"]
    return [f"{path}: imports {dll}:{fn}, which is not in {list_path} (does Windows XP SP3 "
            f"export it? if not, look it up at run time)"
            for dll, fns in sorted(table.items()) for fn in fns
            if f"{dll}:{fn}".lower() not in allowed]


def main(argv):
    args = argv[1:]
    functions = None
    if "--functions" in args:
        i = args.index("--functions")
        functions = args[i + 1:i + 3]
        del args[i:i + 3]
    if not args or (functions is not None and len(functions) != 2):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    problems = check(args)
    if functions:
        problems += check_functions(*functions)
    for line in problems:
        print(line, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
