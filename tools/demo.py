"""Packs a small demo package onto the launcher with veskpack, runs it under Wine in a private
prefix and shows what happened: its exit code, its log lines and the files it left in the temp
folder."""

import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "wine"))
import harness  # noqa: E402


def pack_demo(wine):
    """setup.ini and a text file appended to the 64-bit launcher, as C:\\Downloads\\VESK.exe."""
    src = os.path.join(wine.path, "demo-package")
    os.makedirs(src)
    files = {"setup.ini": "[Settings]\r\nvesk_token=demo\r\n", "readme.txt": "Hello from the package.\r\n"}
    for name, content in files.items():
        with open(os.path.join(src, name), "w", newline="") as f:
            f.write(content)
    package = os.path.join(wine.drive_c, "Downloads", "VESK.exe")
    os.makedirs(os.path.dirname(package))
    subprocess.run([os.path.join(harness.HOST, "veskpack"), "build", "--stub", harness.VESK, "-o",
                    package, *[os.path.join(src, n) for n in files]], check=True)
    return package


def main():
    wine = harness.WinePrefix("demo")
    try:
        print(f"prefix: {wine.path}")
        package = pack_demo(wine)
        print(f"running: {package}")
        code, _ = wine.run(package)
        wine.wait_idle()
        print(f"exit code: {code}")
        print("log (%s):" % os.path.join(wine.temp, "unpack1.log"))
        for line in wine.log_lines():
            print("  " + line)
        print("temp folder:")
        for dirpath, _, filenames in os.walk(wine.temp):
            for f in sorted(filenames):
                print("  " + os.path.relpath(os.path.join(dirpath, f), wine.temp))
    finally:
        wine.close()


if __name__ == "__main__":
    main()
