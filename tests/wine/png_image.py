"""Decodes non-interlaced PNG files (grey, RGB, palette, grey with alpha, RGBA; 1 to 16 bits) with
the standard library only, for looking at the launcher's pictures and at screenshots."""

import struct
import zlib

SIGNATURE = b"\x89PNG\r\n\x1a\n"
CHANNELS = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}


def header(data):
    """(width, height, bit depth, colour type) from the IHDR chunk."""
    if data[:8] != SIGNATURE or data[12:16] != b"IHDR":
        raise ValueError("not a PNG")
    return struct.unpack(">IIBB", data[16:26])


class Image:
    """Pixels as RGBA tuples: image.pixel(x, y)."""

    def __init__(self, data):
        self.width, self.height, depth, self.colour_type = header(data)
        interlace = data[28]
        if interlace:
            raise ValueError("interlaced PNGs are not supported")
        idat, palette, transparency = b"", None, None
        at = 8
        while at < len(data):
            length, kind = struct.unpack(">I4s", data[at:at + 8])
            body = data[at + 8:at + 8 + length]
            if kind == b"IDAT":
                idat += body
            elif kind == b"PLTE":
                palette = [tuple(body[i:i + 3]) for i in range(0, len(body), 3)]
            elif kind == b"tRNS":
                transparency = body
            at += 12 + length
        channels = CHANNELS[self.colour_type]
        raw = zlib.decompress(idat)
        bits = channels * depth
        unit = max(1, bits // 8)  # filter distance: bytes per pixel, at least one
        stride = (self.width * bits + 7) // 8
        rows, previous, at = [], bytearray(stride), 0
        for _ in range(self.height):
            kind, line = raw[at], bytearray(raw[at + 1:at + 1 + stride])
            at += 1 + stride
            for i in range(stride):
                left = line[i - unit] if i >= unit else 0
                up = previous[i]
                corner = previous[i - unit] if i >= unit else 0
                if kind == 1:
                    line[i] = (line[i] + left) & 0xFF
                elif kind == 2:
                    line[i] = (line[i] + up) & 0xFF
                elif kind == 3:
                    line[i] = (line[i] + (left + up) // 2) & 0xFF
                elif kind == 4:
                    p = left + up - corner
                    pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                    pred = left if pa <= pb and pa <= pc else (up if pb <= pc else corner)
                    line[i] = (line[i] + pred) & 0xFF
            rows.append(self._samples(bytes(line), depth, channels))
            previous = line
        self._rows, self._channels = rows, channels
        self._palette, self._transparency = palette, transparency

    def _samples(self, line, depth, channels):
        """One 8-bit value per sample (16-bit samples keep their high byte; grey levels below 8
        bits are scaled up, palette indexes are kept)."""
        if depth == 8:
            return line
        if depth == 16:
            return line[::2]
        count = self.width * channels
        values = [(line[(i * depth) // 8] >> (8 - depth - (i * depth) % 8)) & ((1 << depth) - 1)
                  for i in range(count)]
        if self.colour_type == 0:
            values = [v * 255 // ((1 << depth) - 1) for v in values]
        return bytes(values)

    def pixel(self, x, y):
        row, c = self._rows[y], self._channels
        v = row[x * c:(x + 1) * c]
        if self.colour_type == 0:
            return (v[0], v[0], v[0], 255)
        if self.colour_type == 2:
            return (v[0], v[1], v[2], 255)
        if self.colour_type == 3:
            alpha = self._transparency[v[0]] if self._transparency and v[0] < len(self._transparency) else 255
            return (*self._palette[v[0]], alpha)
        if self.colour_type == 4:
            return (v[0], v[0], v[0], v[1])
        return tuple(v)


def load(path):
    with open(path, "rb") as f:
        return Image(f.read())
