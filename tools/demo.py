"""Runs the launcher under Wine in a private prefix and shows what happened: its exit code,
its log lines and the files it left in the temp folder."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "wine"))
import harness  # noqa: E402


def main():
    wine = harness.WinePrefix("demo")
    try:
        print(f"prefix: {wine.path}")
        print(f"running: {harness.VESK}")
        code, _ = wine.run(harness.VESK)
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
