"""Reads the resources of a PE file (32- or 64-bit) with the standard library only: the resource
directory, string tables and version information."""

import struct

RT_ICON = 3
RT_STRING = 6
RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24


class PeFile:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        if d[:2] != b"MZ":
            raise ValueError(f"{path}: no MZ header")
        nt = struct.unpack_from("<I", d, 0x3C)[0]
        if d[nt:nt + 4] != b"PE\0\0":
            raise ValueError(f"{path}: no PE signature")
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", d, nt + 4)
        opt = nt + 24
        self.magic = struct.unpack_from("<H", d, opt)[0]
        self.subsystem = struct.unpack_from("<H", d, opt + 68)[0]
        directories = opt + (96 if self.magic == 0x10B else 112)
        self.resource_rva, self.resource_size = struct.unpack_from("<II", d, directories + 2 * 8)
        self.sections = []
        table = opt + optional_size
        for i in range(sections):
            name, vsize, vaddr, rawsize, rawptr = struct.unpack_from("<8sIIII", d, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode(), vaddr, max(vsize, rawsize), rawptr))
        self.resources = {}  # (type, name, language) -> bytes
        if self.resource_rva:
            self._walk(0, [])

    def offset(self, rva):
        for _, vaddr, size, rawptr in self.sections:
            if vaddr <= rva < vaddr + size:
                return rawptr + rva - vaddr
        raise ValueError(f"RVA {rva:#x} outside every section")

    def _name(self, value):
        if value & 0x80000000:
            at = self.offset(self.resource_rva) + (value & 0x7FFFFFFF)
            length = struct.unpack_from("<H", self.data, at)[0]
            return self.data[at + 2:at + 2 + 2 * length].decode("utf-16-le")
        return value

    def _walk(self, directory, path):
        base = self.offset(self.resource_rva)
        at = base + directory
        named, ids = struct.unpack_from("<HH", self.data, at + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
            key = path + [self._name(name)]
            if target & 0x80000000:
                self._walk(target & 0x7FFFFFFF, key)
            else:
                rva, size = struct.unpack_from("<II", self.data, base + target)
                start = self.offset(rva)
                self.resources[tuple(key)] = self.data[start:start + size]

    def find(self, rtype, name):
        """{language: bytes} of one resource."""
        return {k[2]: v for k, v in self.resources.items() if k[0] == rtype and k[1] == name}

    def strings(self, language=1033):
        """The string table of one language: {id: text}."""
        out = {}
        for (rtype, block, lang), data in self.resources.items():
            if rtype != RT_STRING or lang != language:
                continue
            at = 0
            for index in range(16):
                length = struct.unpack_from("<H", data, at)[0]
                at += 2
                if length:
                    out[(block - 1) * 16 + index] = data[at:at + 2 * length].decode("utf-16-le")
                at += 2 * length
        return out


def parse_version(data):
    """VS_VERSIONINFO: (fixed file info as a dict, {string name: value})."""

    def node(at):
        length, value_length, kind = struct.unpack_from("<HHH", data, at)
        end = at + length
        key_end = at + 6
        while data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = data[at + 6:key_end].decode("utf-16-le")
        value_at = (key_end + 2 + 3) & ~3
        value_size = value_length * 2 if kind == 1 else value_length
        value = data[value_at:value_at + value_size]
        children = []
        child = (value_at + value_size + 3) & ~3
        while child < end:
            c = node(child)
            children.append(c)
            child = (child + c[3] + 3) & ~3
        return key, value, children, length, kind

    key, value, children, _, _ = node(0)
    if key != "VS_VERSION_INFO":
        raise ValueError(f"version resource key {key!r}")
    sig, _, fv_ms, fv_ls, pv_ms, pv_ls = struct.unpack_from("<IIIIII", value, 0)
    fixed = {"signature": sig, "file": (fv_ms >> 16, fv_ms & 0xFFFF, fv_ls >> 16, fv_ls & 0xFFFF),
             "product": (pv_ms >> 16, pv_ms & 0xFFFF, pv_ls >> 16, pv_ls & 0xFFFF)}
    strings = {}
    for name, _, tables, _, _ in children:
        if name != "StringFileInfo":
            continue
        for _, _, entries, _, _ in tables:
            for entry_key, entry_value, _, _, _ in entries:
                strings[entry_key] = entry_value.decode("utf-16-le").rstrip("\0")
    return fixed, strings


def parse_icon_group(data):
    """GRPICONDIR: [(width, height, bit count, icon id)]; 0 as a size means 256."""
    _, kind, count = struct.unpack_from("<HHH", data, 0)
    if kind != 1:
        raise ValueError("not an icon group")
    out = []
    for i in range(count):
        w, h, _, _, _, bits, _, icon_id = struct.unpack_from("<BBBBHHIH", data, 6 + 14 * i)
        out.append((w or 256, h or 256, bits, icon_id))
    return out
