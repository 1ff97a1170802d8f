"""The demo: the release launcher (the 32-bit build that users download, with the substitute
agent's package appended by veskpack: a setup.ini and one cabinet made by gcab) runs its
standard launch under Wine in a private prefix. It shows what happened: the exit code, the log, the agent's recorded
command line, what was left behind, and screenshots of the loading window and of the agent's
window, kept under out/demo/."""

import os
import shutil
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "wine"))
sys.path.insert(0, os.path.join(HERE, "demo"))
import agent_package  # noqa: E402
import harness  # noqa: E402

DEMO_OUT = os.path.join(harness.OUT, "demo")


def take_screenshots(wine, timeline, shots):
    """Reads the window timeline as it comes and photographs the loading window once it is up,
    and the agent's window once the loading window has gone (without a window manager, Wine
    takes a moment to take a hidden window off the screen)."""
    wanted = {"loading shown": "loading-window.png", "loading gone": "agent-window.png"}
    for raw in timeline.stdout:
        line = raw.decode("utf-8", "replace").strip()
        event = line.split(" ", 1)[1] if " " in line else ""
        if event in wanted:
            time.sleep(0.4)  # let the window paint
            path = os.path.join(DEMO_OUT, wanted.pop(event))
            if wine.screenshot(path):
                shots.append(path)


def main():
    shutil.rmtree(DEMO_OUT, ignore_errors=True)
    os.makedirs(DEMO_OUT)
    wine = harness.WinePrefix("demo")
    try:
        wine.install_system_program("expand.exe")
        # An administrator with code-signing settings takes the standard launch.
        wine.keep_standard_launch()
        launcher = os.path.join(wine.drive_c, "Downloads", "Support-demo42.exe")
        agent_package.build(launcher, settings={"vesk_token": "demo42", "token_category": "web"},
                            agent={"RunSeconds": 4, "WindowDelayMs": 2000},
                            stub_path=agent_package.stub("i686"))
        print(f"prefix:   {wine.path}")
        print(f"launcher: {launcher}")
        subprocess.run([agent_package.VESKPACK, "list", launcher], check=False)

        timeline = wine.start(os.path.join(harness.WIN64, "testprogs", "window_timeline.exe"),
                              "60")
        shots = []
        watcher = threading.Thread(target=take_screenshots, args=(wine, timeline, shots))
        watcher.start()
        started = time.time()
        code, _ = wine.run(launcher)
        elapsed = time.time() - started
        timeline.wait(timeout=90)
        watcher.join(timeout=30)
        wine.wait_idle()

        print(f"\nexit code: {code} after {elapsed:.1f} s")
        print("\nlog (%s):" % os.path.join(wine.temp, "unpack1.log"))
        for line in wine.log_lines():
            print("  " + line)
        records = os.path.join(wine.drive_c, "ProgramData", "VeskTestAgent", "record.txt")
        print("\nwhat the agent recorded:")
        if os.path.exists(records):
            with open(records, encoding="utf-8") as f:
                for line in f:
                    if "cmdline=" in line or "window" in line:
                        print("  " + line.rstrip())
        print("\nleft in the temp folder:")
        left = [os.path.relpath(os.path.join(d, f), wine.temp)
                for d, _, files in os.walk(wine.temp) for f in files]
        for path in sorted(left):
            print("  " + path)
        print("\nscreenshots:")
        for path in shots:
            print("  " + path)
    finally:
        wine.close()


if __name__ == "__main__":
    main()
