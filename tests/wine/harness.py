"""Harness for the end-to-end tests that run the Windows builds under Wine.

Each test gets a private Wine prefix (a hard-linked clone of one template prefix that is made
once per build tree) and its own X server, so tests may run side by side. The launcher's log,
files and registry values are read back from the prefix.
"""

import fcntl
import os
import re
import shutil
import subprocess
import tempfile
import time
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
OUT = os.path.join(ROOT, "out")
WIN64 = os.path.join(OUT, "x86_64")  # the test programs and the substitute agent come from here
HOST = os.path.join(OUT, "host")
# The launcher build under test: the release build ("i686", what users download; 32-bit Wine
# runs it through user-mode emulation) unless VESK_BUILD says "x86_64". ctest runs the scenarios
# on both (tests/wine/CMakeLists.txt).
BUILD = os.environ.get("VESK_BUILD", "i686")
VESK = os.path.join(OUT, BUILD, "VESK.exe")
RELEASE = BUILD == "i686"
WINE = "/usr/lib/wine/wine64"
WINESERVER = shutil.which("wineserver") or "/usr/lib/wine/wineserver64"
WINE_DIR = os.path.join(OUT, "wine")
TEMPLATE = os.path.join(WINE_DIR, "template")
TEMPLATE_READY = ".ready-3"  # changes whenever the template is made differently

# The launcher's per-session registry key in session 1.
PRODUCT_KEY = "HKCU\\Software\\Quintrova Inc.\\Quintrova Remote Server VESK_1"

BASE_ENV = {
    "WINEDEBUG": "-all",
    # No Mono or Gecko installers: the launcher needs neither.
    "WINEDLLOVERRIDES": "mscoree=;mshtml=",
}


def _wine_env(prefix, display=None):
    env = dict(os.environ)
    env.update(BASE_ENV)
    env["WINEPREFIX"] = prefix
    if display is not None:
        env["DISPLAY"] = display
    return env


def ensure_template():
    """Creates the template prefix once (about 10 s); later calls return at once."""
    os.makedirs(WINE_DIR, exist_ok=True)
    with open(os.path.join(WINE_DIR, "template.lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.exists(os.path.join(TEMPLATE, TEMPLATE_READY)):
            return
        shutil.rmtree(TEMPLATE, ignore_errors=True)
        env = _wine_env(TEMPLATE)
        subprocess.run([WINE, "wineboot", "-i"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=300, check=False)
        # Windows are not handed to a window manager (there is none under Xvfb): otherwise Wine
        # waits two seconds for one whenever a window is hidden or destroyed.
        subprocess.run([WINE, "reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Managed",
                        "/d", "N", "/f"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=120, check=False)
        subprocess.run([WINESERVER, "-w"], env=env, timeout=120, check=False)
        open(os.path.join(TEMPLATE, TEMPLATE_READY), "w").close()


def _clone(src, dst):
    """Hard-links the template's files (Wine never rewrites them in place) and copies the
    registry hives, which Wine does rewrite."""
    for dirpath, dirnames, filenames in os.walk(src):
        rel = os.path.relpath(dirpath, src)
        target = os.path.join(dst, rel) if rel != "." else dst
        os.makedirs(target, exist_ok=True)
        for d in list(dirnames):
            s = os.path.join(dirpath, d)
            if os.path.islink(s):
                os.symlink(os.readlink(s), os.path.join(target, d))
                dirnames.remove(d)
        for f in filenames:
            s = os.path.join(dirpath, f)
            t = os.path.join(target, f)
            if os.path.islink(s):
                os.symlink(os.readlink(s), t)
            elif f.endswith(".reg") or f.startswith("."):
                shutil.copy2(s, t)
            else:
                os.link(s, t)


class XServer:
    """A private Xvfb; the display number is chosen by the server itself."""

    def __init__(self, width=1024, height=768):
        read_fd, write_fd = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", f"{width}x{height}x24",
             "-nolisten", "tcp"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        with os.fdopen(read_fd) as r:
            number = r.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()


class WinePrefix:
    """A private prefix with its own X server."""

    def __init__(self, name, version=None):
        ensure_template()
        os.makedirs(os.path.join(WINE_DIR, "prefixes"), exist_ok=True)
        self.path = tempfile.mkdtemp(prefix=name + "-", dir=os.path.join(WINE_DIR, "prefixes"))
        os.rmdir(self.path)
        _clone(TEMPLATE, self.path)
        self.x = XServer()
        self.env = _wine_env(self.path, self.x.display)
        self.user = os.environ.get("USER") or _unix_user()
        if version:
            self.set_windows_version(version)

    # ---- paths ------------------------------------------------------------------------------
    @property
    def drive_c(self):
        return os.path.join(self.path, "drive_c")

    @property
    def temp(self):
        return os.path.join(self.drive_c, "users", self.user, "Temp")

    @property
    def system32(self):
        return os.path.join(self.drive_c, "windows", "system32")

    def host_path(self, windows_path):
        """C:\\a\\b -> <prefix>/drive_c/a/b"""
        assert windows_path[1:3] == ":\\", windows_path
        parts = windows_path[3:].split("\\")
        return os.path.join(self.drive_c, *[p for p in parts if p])

    @staticmethod
    def windows_path(host_path):
        return "Z:" + os.path.abspath(host_path).replace("/", "\\")

    # ---- running ------------------------------------------------------------------------------
    def run(self, program, *args, timeout=180, cwd=None):
        """Runs a Windows program to its end; returns (exit code, output text).

        The output goes through a file, not a pipe: processes that Wine starts on the way (the
        wineserver, services) inherit the handle, and a pipe would stay open until they exit,
        seconds after the program itself."""
        with tempfile.TemporaryFile() as out:
            proc = subprocess.run([WINE, program, *args], env=self.env, cwd=cwd, stdout=out,
                                  stderr=subprocess.STDOUT, timeout=timeout)
            out.seek(0)
            return proc.returncode, out.read().decode("utf-8", "replace")

    def start(self, program, *args, cwd=None, capture=True):
        """Starts a Windows program and returns at once. Without `capture` its output is
        dropped, so processes it starts that inherit its handles keep no pipe of ours open."""
        out = subprocess.PIPE if capture else subprocess.DEVNULL
        return subprocess.Popen([WINE, program, *args], env=self.env, cwd=cwd, stdout=out,
                                stderr=subprocess.STDOUT)

    def wait_idle(self, timeout=120):
        subprocess.run([WINESERVER, "-w"], env=self.env, timeout=timeout, check=False)

    def keep_standard_launch(self):
        """Code-signing settings in the product key of session 1: an administrator then takes
        the standard launch instead of the system launch."""
        for name in ("CodeSignTheme", "CodeSignOutput"):
            self.run("reg", "add", PRODUCT_KEY, "/v", name, "/d", "test", "/f")

    def set_windows_version(self, version):
        self.run("reg", "add", "HKCU\\Software\\Wine", "/v", "Version", "/d", version, "/f")

    def reg_query(self, key, value, view=None):
        """Returns (type, data) of a registry value, or None when it is missing. `view` 32 or 64
        reads that registry view (reg's /reg:32 and /reg:64)."""
        for _ in range(3):
            code, out = self.run("reg", "query", key, "/v", value,
                                 *([f"/reg:{view}"] if view else []))
            # A missing key or value is an answer; any other failure of the tool (a process
            # that could not start on a loaded machine) is asked again.
            if code == 0 or "Unable to find" in out:
                break
        if code != 0:
            return None
        for line in out.splitlines():
            m = re.match(r"\s+(\S.*?)\s+(REG_\w+)\s*(.*)$", line)
            if m and m.group(1).lower() == value.lower():
                return m.group(2), m.group(3).rstrip("\r")
        return None

    def screenshot(self, path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        subprocess.run(["import", "-display", self.x.display, "-window", "root", path],
                       check=False, timeout=30, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        return os.path.exists(path)

    def install_system_program(self, name, source=None):
        """Puts a program of ours (by default the test program of that name, out/x86_64/testprogs)
        into system32 in place of Wine's own. The template's files are hard links, so the old one
        is unlinked first rather than written over; and Wine prefers its built-in programs, so the
        native one is asked for by name."""
        source = source or os.path.join(WIN64, "testprogs", name)
        target = os.path.join(self.system32, name)
        if os.path.lexists(target):
            os.unlink(target)
        shutil.copy(source, target)
        overrides = self.env.get("WINEDLLOVERRIDES", "")
        self.env["WINEDLLOVERRIDES"] = (overrides + ";" if overrides else "") + name + "=n"

    # ---- reading results ------------------------------------------------------------------
    def log_bytes(self, session=1):
        path = os.path.join(self.temp, f"unpack{session}.log")
        if not os.path.exists(path):
            return b""
        with open(path, "rb") as f:
            return f.read()

    def log_lines(self, session=1):
        data = self.log_bytes(session)
        return [l for l in data.decode("utf-16-le").split("\r\n") if l]

    def log_messages(self, session=1):
        out = []
        for line in self.log_lines(session):
            m = re.match(r"^\[\d+\]\S+ \S+  (.*) \(Last=-?\d+\)$", line)
            out.append(m.group(1) if m else line)
        return out

    def close(self):
        subprocess.run([WINESERVER, "-k"], env=self.env, check=False, timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.x.close()
        if not os.environ.get("VESK_KEEP_PREFIX"):
            shutil.rmtree(self.path, ignore_errors=True)


def sign(unsigned, signed, keys):
    """Signs `unsigned` into `signed` with a throw-away self-signed certificate made in the
    folder `keys`; returns the certificate's path (its own authority, for verification)."""
    os.makedirs(keys, exist_ok=True)
    cert, key = os.path.join(keys, "cert.pem"), os.path.join(keys, "key.pem")
    if not os.path.exists(cert):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                        key, "-out", cert, "-days", "2", "-subj", "/CN=VESK test signing"],
                       check=True, capture_output=True)
    subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-in", unsigned, "-out",
                    signed], check=True, capture_output=True)
    return cert


def _unix_user():
    import pwd
    return pwd.getpwuid(os.getuid()).pw_name


class WineTestCase(unittest.TestCase):
    """A test case with a fresh prefix per test."""

    windows_version = None

    def setUp(self):
        self.wine = WinePrefix(self.id().split(".")[-1], self.windows_version)
        self.addCleanup(self.wine.close)

    def mount_tmpfs(self, path, size):
        """A small volume at `path` (we run as root), unmounted when the test ends."""
        os.makedirs(path, exist_ok=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", path], check=True)
        self.addCleanup(self._unmount, path)

    def _unmount(self, path):
        # Wine's processes may still hold files there: end them first.
        subprocess.run([WINESERVER, "-k"], env=self.wine.env, check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(50):
            if subprocess.run(["umount", path], stderr=subprocess.DEVNULL).returncode == 0:
                return
            time.sleep(0.2)
        subprocess.run(["umount", "-l", path], check=False)

    def artifacts(self, *parts):
        """A folder under out/ where a test keeps what people may want to look at."""
        path = os.path.join(OUT, "artifacts", BUILD, *parts)
        os.makedirs(os.path.dirname(path) if "." in os.path.basename(path) else path,
                    exist_ok=True)
        return path


def main():
    unittest.main(verbosity=2)
