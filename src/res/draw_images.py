#!/usr/bin/env python3
"""Draws the launcher's pictures with ImageMagick: the loading window's background (PNG 200),
its twelve spinner frames (PNG 201 to 212) and the application icon (icon 128).

    python3 src/res/draw_images.py

The build uses the committed results; run this only to change the pictures, then commit them.
Needs ImageMagick and the DejaVu fonts (Debian: imagemagick, fonts-dejavu-core).
"""

import math
import os
import shutil
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
IMAGES = os.path.join(HERE, "images")
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"

BACKGROUND_SIZE = (306, 92)
FRAME_SIZE = 48
FRAMES = 12

PANEL_TOP, PANEL_BOTTOM = "#FFFFFF", "#E6EBF1"
BORDER = "#A9B4C2"
TEXT = "#24364B"
SPOKE_RGB = (38, 104, 178)

# No time stamps or other metadata: the same drawing gives the same bytes.
PNG_QUIET = ["-strip", "-define", "png:exclude-chunks=date,time,tEXt,zTXt,iTXt,bKGD,pHYs",
             "-define", "png:compression-level=9"]


def magick():
    """ImageMagick's own program (some machines put a wrapper named convert first on PATH)."""
    for candidate in ("magick", "/usr/bin/convert"):
        path = shutil.which(candidate)
        if path:
            return [path, "convert"] if os.path.basename(path) == "magick" else [path]
    sys.exit("ImageMagick is needed (Debian: imagemagick)")


def run(args):
    subprocess.run(magick() + args, check=True)


def background(path):
    w, h = BACKGROUND_SIZE
    run(["-size", f"{w}x{h}", f"gradient:{PANEL_TOP}-{PANEL_BOTTOM}",
         "-fill", "none", "-stroke", BORDER, "-strokewidth", "1",
         "-draw", f"rectangle 0,0 {w - 1},{h - 1}",
         "-stroke", "none", "-fill", TEXT, "-font", FONT, "-pointsize", "17",
         "-gravity", "north", "-annotate", "+0+13", "Loading Now...",
         *PNG_QUIET, "-define", "png:color-type=2", f"PNG24:{path}"])


def spinner_frame(path, step):
    """Twelve spokes; the leading one is solid and the others fade behind it. Each frame turns
    the spinner one spoke (30 degrees) clockwise."""
    c = (FRAME_SIZE - 1) / 2  # pixel centres lie on whole coordinates
    draw = []
    for spoke in range(FRAMES):
        behind = (step - spoke) % FRAMES
        alpha = 1.0 - behind * 0.075
        angle = math.radians(spoke * 360 / FRAMES)
        dx, dy = math.sin(angle), -math.cos(angle)
        x0, y0 = c + dx * 10, c + dy * 10
        x1, y1 = c + dx * 20, c + dy * 20
        r, g, b = SPOKE_RGB
        draw += ["-stroke", f"rgba({r},{g},{b},{alpha:.3f})",
                 "-draw", f"stroke-linecap round line {x0:.2f},{y0:.2f} {x1:.2f},{y1:.2f}"]
    run(["-size", f"{FRAME_SIZE}x{FRAME_SIZE}", "xc:none", "-fill", "none", "-strokewidth", "5",
         *draw, *PNG_QUIET, "-define", "png:color-type=6",
         f"PNG32:{path}"])


def icon(path):
    """A rounded blue tile with a white spinner, at 48, 32 and 16 pixels."""
    size = 48
    c = (size - 1) / 2
    draw = []
    for spoke in range(8):
        angle = math.radians(spoke * 45)
        dx, dy = math.sin(angle), -math.cos(angle)
        alpha = 1.0 - spoke * 0.1
        draw += ["-stroke", f"rgba(255,255,255,{alpha:.2f})",
                 "-draw", f"stroke-linecap round line {c + dx * 8:.2f},{c + dy * 8:.2f} "
                          f"{c + dx * 17:.2f},{c + dy * 17:.2f}"]
    r, g, b = SPOKE_RGB
    run(["-size", f"{size}x{size}", "xc:none", "-fill", f"rgb({r},{g},{b})", "-stroke", "none",
         "-draw", f"roundrectangle 1,1 {size - 2},{size - 2} 9,9",
         "-fill", "none", "-strokewidth", "5", *draw,
         "-define", "icon:auto-resize=48,32,16", path])


def png_header(path):
    with open(path, "rb") as f:
        head = f.read(33)
    width, height, depth, colour_type = struct.unpack(">IIBB", head[16:26])
    return width, height, depth, colour_type


def main():
    os.makedirs(IMAGES, exist_ok=True)
    expected = {}
    path = os.path.join(IMAGES, "background.png")
    background(path)
    expected[path] = (*BACKGROUND_SIZE, 8, 2)  # 8-bit RGB
    for step in range(FRAMES):
        path = os.path.join(IMAGES, f"spinner{step:02d}.png")
        spinner_frame(path, step)
        expected[path] = (FRAME_SIZE, FRAME_SIZE, 8, 6)  # 8-bit RGBA
    icon(os.path.join(HERE, "vesk.ico"))
    for path, want in expected.items():
        got = png_header(path)
        if got != want:
            sys.exit(f"{path}: {got} instead of {want} (width, height, bit depth, colour type)")
        print(f"{os.path.relpath(path, HERE)}: {os.path.getsize(path)} bytes")
    print(f"vesk.ico: {os.path.getsize(os.path.join(HERE, 'vesk.ico'))} bytes")


if __name__ == "__main__":
    main()
