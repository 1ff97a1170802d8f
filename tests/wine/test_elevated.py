"""Elevated runs under Wine: the places such a run works in carry access lists that only
administrators and the system account may change. Wine does not enforce these rights, so the
lists are read back (GetFileSecurityW, through tests/wine/programs/acl_dump.cpp) and checked
against the rule."""

import os

import harness
from agent_case import TESTPROGS, AgentTestCase

SYSTEM = "S-1-5-18"
ADMINISTRATORS = "S-1-5-32-544"
USERS = "S-1-5-32-545"
FULL = 0x1F01FF
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

    def test_work_folder_and_shared_folders_only_administrators_can_change(self):
        # Code-signing settings keep the elevated administrator on the standard launch, which
        # makes the elevation backup: one run covers the work folder and the shared folders.
        self.keep_standard_launch()
        exe = self.launcher("Support.exe", agent={"RunSeconds": 3, "WindowDelayMs": 200})
        launcher = self.wine.start(exe)
        self.assertTrue(self.wait_for_record("QVManagerVESK.exe", "window shown"), self.records())
        work = f"C:\\users\\{self.wine.user}\\Temp\\unpackvesk\\1"
        during = self.acl_dump(work)[work]
        launcher.communicate(timeout=120)
        self.wine.wait_idle()
        self.assertEqual(launcher.returncode, 0)

        # The work folder: system and administrators in full control, the logged-on user may
        # read and run; nothing inherited from the user's temp folder.
        self.assertTrue(during["protected"], during)
        self.assertEqual(during["owner"], ADMINISTRATORS)
        entries = during["entries"]
        self.assertEqual(entries[:2], [("allow", SYSTEM, FULL, INHERIT_BOTH),
                                       ("allow", ADMINISTRATORS, FULL, INHERIT_BOTH)], during)
        self.assertEqual(len(entries), 3, during)
        kind, user_sid, mask, flags = entries[2]
        self.assertEqual((kind, mask, flags), ("allow", READ_EXECUTE, INHERIT_BOTH))
        self.assertTrue(user_sid.startswith("S-1-5-21-"), user_sid)
        self.assertFalse(os.path.exists(self.work_folder()))

        # The shared folders: every user may read and run the backup, only administrators and
        # the system account write there; the backup was made.
        shared = "C:\\ProgramData\\Quintrova"
        lists = self.acl_dump(shared, shared + "\\Temp")
        for path in (shared, shared + "\\Temp"):
            self.assertTrue(lists[path]["protected"], lists[path])
            self.assertEqual(lists[path]["owner"], ADMINISTRATORS)
            self.assertEqual(lists[path]["entries"],
                             [("allow", SYSTEM, FULL, INHERIT_BOTH),
                              ("allow", ADMINISTRATORS, FULL, INHERIT_BOTH),
                              ("allow", USERS, READ_EXECUTE, INHERIT_BOTH)], path)
        backups = [l for l in self.wine.log_messages()
                   if l.startswith("[CUnPackFileApp::ExecuteCommand] backup for elevation")]
        self.assertEqual(len(backups), 1, backups)
        self.assertTrue(backups[0].endswith(" 0"), backups)


if __name__ == "__main__":
    harness.main()
