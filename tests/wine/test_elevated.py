"""Elevated runs under Wine: the places such a run works in carry access lists that only
administrators and the system account may change.

Wine does not enforce these rights, and Wine 8 does not keep a security descriptor either: it
turns the list a folder is created with into Unix permission bits, and GetFileSecurityW then
describes those bits (the owner's rights, and an "Everyone" entry for what other Unix users may
do). So what can be read back here (GetFileSecurityW through tests/wine/programs/acl_dump.cpp,
and the bits themselves) is that the launcher's list reached CreateDirectoryW and grants
everyone else nothing, unlike a folder made with inherited rights. The lists themselves
(entries, owner, protection) are checked on the simulated machine (tests/host)."""

import os

import harness
from agent_case import TESTPROGS, AgentTestCase

EVERYONE = "S-1-1-0"
READ_EXECUTE = 0x1200A9
INHERIT_BOTH = 0x3  # object and container inherit


def parse_dump(text):
    """{path: {"owner": sid, "protected": bool, "entries": [(kind, sid, mask, flags)]}}"""
    out, current = {}, None
    for line in text.splitlines():
        words = line.strip().split(" ")
        if words[0] == "path":
            current = out.setdefault(" ".join(words[1:]), {"entries": []})
        elif words[0] == "owner":
            current["owner"] = words[1]
        elif words[0] == "protected":
            current["protected"] = words[1] == "1"
        elif words[0] in ("allow", "deny", "other"):
            current["entries"].append((words[0], words[1], int(words[2], 16), int(words[3], 16)))
        elif words[0] in ("error", "nodacl"):
            current[words[0]] = True
    return out


class AccessLists(AgentTestCase):
    def acl_dump(self, *paths):
        code, out = self.wine.run(os.path.join(TESTPROGS, "acl_dump.exe"), *paths)
        self.assertEqual(code, 0, out)
        return parse_dump(out)

    def read_back(self, *paths):
        """The lists as GetFileSecurityW gives them, with the Unix permission bits."""
        lists = self.acl_dump(*paths)
        for path in paths:
            lists[path]["mode"] = os.stat(self.wine.host_path(path)).st_mode
        return lists

    def assert_only_owner_rights(self, path, read_back):
        """What Wine keeps of an administrators-only list: no rights for anyone else."""
        self.assertNotIn("error", read_back, path)
        self.assertFalse([e for e in read_back["entries"] if e[1] == EVERYONE], read_back)
        self.assertEqual(read_back["mode"] & 0o007, 0, path)

    def test_work_folder_and_shared_folders_only_administrators_can_change(self):
        # Code-signing settings keep the elevated administrator on the standard launch, which
        # makes the elevation backup: one run covers the work folder and the shared folders.
        self.keep_standard_launch()
        exe = self.launcher("Support.exe", agent={"RunSeconds": 3, "WindowDelayMs": 200})
        launcher = self.wine.start(exe)
        self.assertTrue(self.wait_for_record("QVManagerVESK.exe", "window shown"), self.records())
        temp = f"C:\\users\\{self.wine.user}\\Temp"
        work = temp + "\\unpackvesk\\1"
        during = self.read_back(work, temp + "\\unpackvesk")
        launcher.communicate(timeout=120)
        self.wine.wait_idle()
        self.assertEqual(launcher.returncode, 0)

        # The work folder was made with the list; "unpackvesk" above it, made with inherited
        # rights, shows what the list took away.
        self.assert_only_owner_rights(work, during[work])
        self.assertIn(("allow", EVERYONE, READ_EXECUTE, INHERIT_BOTH),
                      during[temp + "\\unpackvesk"]["entries"])
        self.assertFalse(os.path.exists(self.work_folder()))

        # The shared folders likewise, and the backup was written into them.
        shared = "C:\\ProgramData\\Quintrova"
        lists = self.read_back(shared, shared + "\\Temp")
        for path in (shared, shared + "\\Temp"):
            self.assert_only_owner_rights(path, lists[path])
        backups = [l for l in self.wine.log_messages()
                   if l.startswith("[CUnPackFileApp::ExecuteCommand] backup for elevation")]
        self.assertEqual(len(backups), 1, backups)
        self.assertTrue(backups[0].endswith(" 0"), backups)
        self.assertTrue(any(n.startswith("Vesk") for n in
                            os.listdir(self.wine.host_path(shared + "\\Temp"))))


if __name__ == "__main__":
    harness.main()
