"""Elevated runs under Wine (a plain prefix runs the launcher as an elevated administrator).

AccessLists: the work folder of such a run carries an access list under which only
administrators and the system account may add or change anything; the backup goes into the
plain shared folders under ProgramData that earlier runs left. Wine does not enforce these rights, and Wine 8 does not keep a
security descriptor either: it turns the list a folder is created with into Unix permission
bits, and GetFileSecurityW then describes those bits (the owner's rights, and an "Everyone"
entry for what other Unix users may do). So what can be read back here (GetFileSecurityW through
tests/wine/programs/acl_dump.cpp, and the bits themselves) is that the launcher's list reached
CreateDirectoryW and grants everyone else nothing, unlike a folder made with inherited rights.
The lists themselves (entries, owner, protection) are checked on the simulated machine.

HostileFolders: places a standard user can change: programs planted in the work folder under the
names of system programs, and a log that is a link. Nothing of the user's may run in the
launcher's place, and nothing may be written or deleted through a link below the temp folder; a
temp folder that itself lies behind a link (a relocated profile) is used where it really is. Where Wine cannot stage a case (a junction, a link swapped in while the run
lasts, Windows XP without final paths), the host tests stage it on the simulated machine."""

import os

import harness
from agent_case import IN_DELETE, TESTPROGS, AgentTestCase, on_event

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

    def test_the_work_folder_only_administrators_can_change_and_the_backup_in_plain_folders(self):
        # Code-signing settings keep the elevated administrator on the standard launch, which
        # makes the elevation backup: one run covers the work folder and the shared folders,
        # which an earlier unelevated run (or an earlier version) left as plain folders.
        self.keep_standard_launch()
        shared = "C:\\ProgramData\\Quintrova"
        os.makedirs(self.wine.host_path(shared + "\\Temp"))
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

        # The backup went into the plain shared folders, which keep their rights.
        self.assertIn(("allow", EVERYONE, READ_EXECUTE, INHERIT_BOTH),
                      self.read_back(shared)[shared]["entries"])
        backups = [l for l in self.wine.log_messages()
                   if l.startswith("[CUnPackFileApp::ExecuteCommand] backup for elevation")]
        self.assertEqual(len(backups), 1, backups)
        self.assertTrue(backups[0].endswith(" 0"), backups)
        self.assertTrue(any(n.startswith("Vesk") for n in
                            os.listdir(self.wine.host_path(shared + "\\Temp"))))



# Programs that would run in place of the system's expand.exe and schtasks.exe when the
# interpreter found them by bare name in its current directory, the work folder.
PLANTED = {f"{name}.{ext}": f"@echo {name}.{ext}>C:\\planted-{name}-{ext}.txt\r\n".encode()
           for name in ("expand", "schtasks") for ext in ("bat", "cmd")}


class HostileFolders(AgentTestCase):
    substitutes = ("expand.exe", "schtasks.exe")

    def planted_markers(self):
        return [n for n in os.listdir(self.wine.drive_c) if n.startswith("planted-")]

    def test_no_folder_is_made_through_a_link_in_the_temp_folder_or_programdata(self):
        # Links where the run makes its shared folders, to a folder of someone else's: nothing is
        # made or written there (Wine opens such a link only as what it points at, so it stays
        # and the backup is refused; on Windows it goes as a link and the folders are made).
        self.keep_standard_launch()
        target = os.path.join(self.wine.drive_c, "Target")
        os.makedirs(target)
        for link in (os.path.join(self.wine.temp, "Quintrova"),
                     self.wine.host_path("C:\\ProgramData\\Quintrova")):
            os.symlink(target, link)
        exe = self.launcher("Support.exe", agent={"RunSeconds": 1, "WindowDelayMs": 100})
        code, _ = self.wine.run(exe)
        self.wine.wait_idle()
        self.assertEqual(code, 0)
        self.assertEqual(os.listdir(target), [])
        self.assertTrue(any(l.startswith("[CUnPackFileApp::ExecuteCommand] backup for elevation "
                                         "refused, link above") for l in self.wine.log_messages()))
        self.assertIsNotNone(self.record("QVManagerVESK.exe", "cmdline"))

    def test_programs_planted_in_the_work_folder_never_run(self):
        # The system launch: expand, then the four task commands, each by the system's program.
        exe = self.launcher("Support.exe", settings={"vesk_token": "tok1"},
                            agent={"RunSeconds": 1, "WindowDelayMs": 100}, extra=PLANTED)
        code, _ = self.wine.run(exe)
        self.wine.wait_idle()
        self.assertEqual(code, 0)
        self.assertEqual(self.planted_markers(), [])
        # The cabinet was expanded and the task started the agent.
        self.assertRegex(self.record("QVManagerVESK.exe", "cmdline") or "", r"-t tok1$")
        self.assertIn("QVServerVESK.exe", self.recorded_files())
        self.assertFalse(os.path.exists(self.work_folder()))

    def test_a_temp_folder_reached_through_a_link_is_taken_where_it_really_is(self):
        # The user's environment points the temp folder into a folder that holds a link (a
        # profile moved to another disk): the run unpacks, launches and cleans up where the link
        # leads, clearing the stale work folder there, and appends to the log there.
        target = os.path.join(self.wine.drive_c, "Target")
        stale = os.path.join(target, "Temp", "unpackvesk", "1")
        os.makedirs(stale)
        for path, data in ((os.path.join(stale, "keep.txt"), b"stale"),
                           (os.path.join(target, "Temp", "unpack1.log"), b"earlier")):
            with open(path, "wb") as f:
                f.write(data)
        os.makedirs(os.path.join(self.wine.drive_c, "Hostile"))
        os.symlink(target, os.path.join(self.wine.drive_c, "Hostile", "link"))
        for name in ("TEMP", "TMP"):
            self.wine.run("reg", "add", "HKCU\\Environment", "/v", name, "/d",
                          "C:\\Hostile\\link\\Temp", "/f")
        self.keep_standard_launch()
        exe = self.launcher("Support.exe", settings={"vesk_token": "tok1"},
                            agent={"RunSeconds": 1, "WindowDelayMs": 100})
        code, _ = self.wine.run(exe)
        self.wine.wait_idle()
        self.assertEqual(code, 0)
        self.assertRegex(self.record("QVManagerVESK.exe", "cmdline") or "", r"-t tok1$")
        self.assertFalse(os.path.exists(stale))
        with open(os.path.join(target, "Temp", "unpack1.log"), "rb") as f:
            log = f.read()
        self.assertTrue(log.startswith(b"earlier"))
        self.assertIn("UnPack total 2 files.".encode("utf-16-le"), log)

    def test_a_log_that_is_a_link_receives_no_line(self):
        # A symbolic link and a hard link in place of the log, each to a file of someone else's.
        self.keep_standard_launch()
        exe = self.launcher("Support.exe", settings={"vesk_token": "tok1"}, cabinet=False)
        log = os.path.join(self.wine.temp, "unpack1.log")
        for make in (os.symlink, os.link):
            with self.subTest(link=make.__name__):
                victim = os.path.join(self.wine.drive_c, "victim.log")
                with open(victim, "wb") as f:
                    f.write(b"victim")
                make(victim, log)
                code, _ = self.wine.run(exe)
                self.wine.wait_idle()
                with open(victim, "rb") as f:
                    got = f.read()
                os.unlink(log)
                os.unlink(victim)
                self.assertEqual(code, 0)
                self.assertEqual(got, b"victim")
        # A plain log file is written as ever.
        code, _ = self.wine.run(exe)
        self.wine.wait_idle()
        self.assertIn("[CUnPack::UnPackFiles] UnPack total 1 files.", self.wine.log_messages())


class CleanUp(AgentTestCase):
    substitutes = ("expand.exe", "schtasks.exe")

    def test_a_link_put_in_place_of_the_folder_above_at_the_first_deletion_steers_none(self):
        # Another program renames "unpackvesk" away at the clean-up's first deletion and puts a
        # link to a folder of someone else's in its place, with files of the package's names.
        victim = os.path.join(self.wine.drive_c, "Victim")
        os.makedirs(os.path.join(victim, "1"))
        for name in ("setup.ini", "agent.cab", "keep.txt"):
            with open(os.path.join(victim, "1", name), "wb") as f:
                f.write(b"keep me")
        parent = os.path.dirname(self.work_folder())

        def swap():
            os.rename(parent, parent + "-moved")
            os.symlink(victim, parent)
        watcher = on_event(self.work_folder() + os.sep, IN_DELETE, 1, swap)
        exe = self.launcher("Support.exe", settings={"vesk_token": "tok1"},
                            agent={"RunSeconds": 1, "WindowDelayMs": 100})
        code, _ = self.wine.run(exe)
        self.wine.wait_idle()
        watcher.join(timeout=30)
        self.assertEqual(code, 0)
        self.assertFalse(watcher.is_alive())
        self.assertEqual(sorted(os.listdir(os.path.join(victim, "1"))),
                         ["agent.cab", "keep.txt", "setup.ini"])
        # (What the run's folder still held stays where it was moved: Wine finds no name
        # inside a folder held open once that folder has been renamed.)


    def test_a_work_folder_swapped_the_moment_it_is_made_is_never_launched_from(self):
        # Another program of the user's tries to rename the work folder away the moment it is
        # made, to put a folder of its own at the name with a Launcher.exe for the system account
        # to run. The folder is made and held in one call, without delete sharing: it never moves
        # while the agent runs (the swapper stops trying once the manager has ended and the
        # clean-up may begin), and the run launches its own package.
        folder = f"C:\\users\\{self.wine.user}\\Temp\\unpackvesk\\1"
        swapper = self.wine.start(os.path.join(TESTPROGS, "swap_folder.exe"), folder,
                                  "C:\\windows\\system32\\cmd.exe", "20",
                                  "C:\\ProgramData\\VeskTestAgent\\record.txt",
                                  "QVManagerVESK.exe")
        exe = self.launcher("Support.exe", settings={"vesk_token": "tok1"},
                            agent={"RunSeconds": 1, "WindowDelayMs": 100})
        code, _ = self.wine.run(exe)
        out, _ = swapper.communicate(timeout=60)
        self.wine.wait_idle()
        self.assertEqual(code, 0)
        self.assertRegex(out.decode(), r"^seen\s+never moved \d+\s*$")
        self.assertRegex(self.record("Launcher.exe", "cmdline") or "",
                         r"unpackvesk\\1\\Launcher\.exe\" QVManagerVESK\.exe 1 tok1$")
        self.assertFalse(os.path.exists(self.work_folder() + "-moved"))


class Unelevated(AgentTestCase):
    """An administrator's unelevated run (the linked token) after an elevated one, on one machine."""

    def test_a_stale_folder_that_cannot_be_cleared_is_never_launched_from(self):
        # An earlier run left a setup.ini with another token, which another program holds open
        # sharing only reading: it can be neither removed nor replaced.
        stale = self.work_folder()
        os.makedirs(stale)
        with open(os.path.join(stale, "setup.ini"), "wb") as f:
            f.write(b"[Settings]\r\nvesk_token=stale\r\n")
        folder = f"C:\\users\\{self.wine.user}\\Temp\\unpackvesk\\1"
        holder = self.wine.start(os.path.join(TESTPROGS, "hold_file.exe"),
                                 folder + "\\setup.ini", "-", "40")
        self.assertEqual(holder.stdout.readline().decode().strip(), "held")
        self.keep_standard_launch()  # no elevated relaunch: the run stays unelevated
        exe = self.launcher("Support.exe", settings={"vesk_token": "fresh"},
                            agent={"RunSeconds": 1, "WindowDelayMs": 100})
        code, _ = self.wine.run(os.path.join(TESTPROGS, "run_limited.exe"), exe)
        holder.kill()
        holder.communicate()
        self.wine.wait_idle()
        self.assertEqual(code, 0)
        # Nothing is started from what was left: it is moved aside whole (Wine renames a folder
        # in which a file is open; Windows does not, and the run then refuses the folder with
        # "... holds files it could not clear"), and the run's own package starts from a fresh
        # folder, which goes at the end.
        self.assertRegex(self.record("QVManagerVESK.exe", "cmdline") or "", r"-t fresh\s*$")
        with open(os.path.join(stale + ".1", "setup.ini"), "rb") as f:
            self.assertEqual(f.read(), b"[Settings]\r\nvesk_token=stale\r\n")
        self.assertFalse(os.path.exists(stale))


if __name__ == "__main__":
    harness.main()
