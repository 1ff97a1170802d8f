"""Builds a launcher with a package of the substitute agent appended, the way a release is built:
a cabinet (gcab) of the agent's programs and files, a setup.ini, packed onto the launcher stub
with veskpack. Used by the demo and by the Wine tests."""

import os
import subprocess
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
OUT = os.path.join(ROOT, "out")
VESKPACK = os.path.join(OUT, "host", "veskpack")


def agent_dir(arch="x86_64"):
    return os.path.join(OUT, arch, "agent")


def stub(arch="x86_64"):
    return os.path.join(OUT, arch, "VESK.exe")


# The agent's programs and files, as the cabinet carries them.
CABINET_FILES = [
    "QVManagerVESK.exe",
    "QVServerVESK.exe",
    "Launcher.exe",
    "QVFeatureVESK.exe",
    "QVFeatureVESKNOUIA.exe",
    "AVESK.xml",
]
CATALOGS = {
    "qvprinter.cat": b"printer catalog for Windows 8.1 and older\r\n",
    "qvprinterx.cat": b"printer catalog for Windows 10 and later\r\n",
}


def ini(section, values):
    lines = [f"[{section}]"] + [f"{k}={v}" for k, v in values.items()]
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


def build(output, settings=None, agent=None, arch="x86_64", stub_path=None, cabinet=True,
          extra=None):
    """Writes `output`: the launcher with the package appended.

    settings: the [Settings] of setup.ini (None: no setup.ini at all)
    agent:    the [Agent] settings of the substitute agent (agent.ini, inside the cabinet)
    extra:    {entry name: bytes} added to the package as they are
    """
    with tempfile.TemporaryDirectory() as work:
        entries = []
        if settings is not None:
            path = os.path.join(work, "setup.ini")
            with open(path, "wb") as f:
                f.write(ini("Settings", settings))
            entries.append(path)
        if cabinet:
            files = [os.path.join(agent_dir(arch), name) for name in CABINET_FILES]
            for name, data in CATALOGS.items():
                path = os.path.join(work, name)
                with open(path, "wb") as f:
                    f.write(data)
                files.append(path)
            path = os.path.join(work, "agent.ini")
            with open(path, "wb") as f:
                f.write(ini("Agent", agent or {}))
            files.append(path)
            cab = os.path.join(work, "agent.cab")
            subprocess.run(["gcab", "-c", "-n", cab, *files], check=True)
            entries.append(cab)
        for name, data in (extra or {}).items():
            path = os.path.join(work, "extra-" + str(len(entries)))
            with open(path, "wb") as f:
                f.write(data)
            entries.append(f"{name}={path}")
        os.makedirs(os.path.dirname(os.path.abspath(output)), exist_ok=True)
        subprocess.run([VESKPACK, "build", "--stub", stub_path or stub(arch), "-o", output,
                        *entries], check=True, stdout=subprocess.DEVNULL)
    return output
