#include <gtest/gtest.h>

#include <filesystem>

#include "app/app.h"
#include "host/package_builder.h"
#include "platform/platform.h"
#include "sim/sim_machine.h"
#include "unpack/unpack.h"
#include "util/acl.h"
#include "util/text.h"

namespace {

// "owner protected: sid mask flags, ..." of a list as read back.
std::wstring Describe(const plat::AccessList& a) {
    std::wstring out = a.owner + (a.isProtected ? L" protected:" : L" inherits:");
    for (const plat::AccessEntry& e : a.entries)
        out += text::Format(L" %ls %x %x", e.sid.c_str(), e.mask, e.flags);
    return out;
}

bool Logged(const sim::SimMachine& m, const std::wstring& line) {
    const auto log = m.LogMessages();
    return std::find(log.begin(), log.end(), line) != log.end();
}

TEST(WorkFolder, PerSessionPathCreatedOnceAndStaleContentCleared) {
    sim::SimMachine m;
    m.selfSession = 0;
    m.WriteFile(L"C:\\users\\user\\Temp\\unpackvesk\\0\\stale.txt", "old");
    CUnPack unpack;
    EXPECT_EQ(unpack.GetWorkFolder(), L"C:\\users\\user\\Temp\\unpackvesk\\0\\");
    EXPECT_FALSE(m.Exists(L"C:\\users\\user\\Temp\\unpackvesk\\0\\stale.txt"));
    EXPECT_TRUE(m.Exists(L"C:\\users\\user\\Temp\\unpackvesk\\0"));
    EXPECT_TRUE(m.Exists(L"C:\\users\\user\\Temp\\Quintrova\\vesk"));
    m.calls.clear();
    EXPECT_EQ(unpack.GetWorkFolder(), L"C:\\users\\user\\Temp\\unpackvesk\\0\\");
    EXPECT_TRUE(m.calls.empty());  // later calls touch nothing
}

TEST(WorkFolder, CreationRetriesTwentyTimesWithAPauseAfterEach) {
    sim::SimMachine m;
    m.WriteFile(L"C:\\users\\user\\Temp\\Quintrova\\vesk\\keep", "");  // exists already
    m.failCreateDirectory = 3;
    CUnPack unpack;
    unpack.GetWorkFolder();
    // First attempt, then three retries (the last one succeeds), each followed by 100 ms.
    EXPECT_EQ(m.sleeps, (std::vector<uint32_t>{100, 100, 100}));
    EXPECT_TRUE(m.Exists(L"C:\\users\\user\\Temp\\unpackvesk\\1"));

    sim::SimMachine m2;
    m2.WriteFile(L"C:\\users\\user\\Temp\\Quintrova\\vesk\\keep", "");
    m2.failCreateDirectory = 1000;
    CUnPack failing;
    failing.GetWorkFolder();
    EXPECT_EQ(m2.sleeps.size(), 20u);
    EXPECT_EQ(
        m2.CallsStartingWith(L"CreateFolderInFolder C:\\users\\user\\Temp\\unpackvesk").size(),
        21u);
}

TEST(WorkFolder, RemovalKeepsOtherSessionsAndEndsInTheTempFolder) {
    sim::SimMachine m;
    m.WriteFile(L"C:\\users\\user\\Temp\\unpackvesk\\2\\other.txt", "session 2");
    CUnPack unpack;
    const std::wstring folder = unpack.GetWorkFolder();
    m.WriteFile(folder + L"a.txt", "a");
    plat::files().SetCurrentDirectory(folder);  // as the launch leaves it
    unpack.RemoveWorkFolder();
    EXPECT_FALSE(m.Exists(folder));
    EXPECT_TRUE(m.Exists(L"C:\\users\\user\\Temp\\unpackvesk\\2\\other.txt"));
    EXPECT_EQ(m.currentDir, L"C:\\users\\user\\Temp");

    EXPECT_EQ(unpack.GetWorkFolder(), folder);  // the path stays known

    // Once the last session's folder is gone, so is "unpackvesk".
    std::filesystem::remove_all(m.HostPath(L"C:\\users\\user\\Temp\\unpackvesk\\2"));
    CUnPack last;
    last.GetWorkFolder();
    last.RemoveWorkFolder();
    EXPECT_FALSE(m.Exists(L"C:\\users\\user\\Temp\\unpackvesk"));
}

TEST(WorkFolder, ALinkPlantedInPlaceOfOurFoldersIsRemovedAsALinkAndNeverFollowed) {
    for (const wchar_t* planted : {L"unpackvesk", L"unpackvesk\\1"}) {
        sim::SimMachine m;
        m.WriteFile(L"C:\\precious\\1\\data.txt", "keep me");
        m.WriteFile(L"C:\\precious\\data.txt", "and me");
        if (std::wstring(planted) == L"unpackvesk\\1")
            m.WriteFile(L"C:\\users\\user\\Temp\\unpackvesk\\2\\other.txt", "session 2");
        m.MakeSymlink(L"C:\\users\\user\\Temp\\" + std::wstring(planted), L"C:\\precious");
        CUnPack unpack;
        const std::wstring folder = unpack.GetWorkFolder();
        EXPECT_FALSE(unpack.WorkFolder().IsRefused());
        // A real folder now stands where the link was; what the link pointed at is untouched.
        EXPECT_EQ(plat::files().GetFileAttributes(L"C:\\users\\user\\Temp\\unpackvesk") &
                      plat::kAttrReparsePoint,
                  0u);
        EXPECT_TRUE(m.Exists(folder));
        EXPECT_EQ(m.ReadFile(L"C:\\precious\\1\\data.txt"), "keep me") << planted;
        EXPECT_EQ(m.ReadFile(L"C:\\precious\\data.txt"), "and me") << planted;
        unpack.RemoveWorkFolder();
        EXPECT_EQ(m.ReadFile(L"C:\\precious\\1\\data.txt"), "keep me") << planted;
    }
}

TEST(WorkFolder, ALinkThatCannotBeRemovedRefusesTheFolder) {
    sim::SimMachine m;
    m.linksOpenAsTargets = true;
    m.WriteFile(L"C:\\precious\\1\\setup.ini", "keep me");
    m.MakeSymlink(L"C:\\users\\user\\Temp\\unpackvesk", L"C:\\precious");
    m.WriteFile(L"C:\\Downloads\\VESK.exe",
                testpkg::Pack(testpkg::Stub(), {{"setup.ini", "[Settings]\r\n"}, {"a.txt", "a"}}));
    CUnPack unpack;
    EXPECT_FALSE(unpack.UnPackFiles());
    EXPECT_TRUE(unpack.WorkFolder().IsRefused());
    EXPECT_EQ(unpack.GetWorkFolder(), L"C:\\users\\user\\Temp\\unpackvesk\\1\\");
    unpack.RemoveWorkFolder();
    // Nothing was written through the link, nothing deleted, and no folder created there.
    EXPECT_EQ(m.ReadFile(L"C:\\precious\\1\\setup.ini"), "keep me");
    EXPECT_FALSE(m.Exists(L"C:\\precious\\1\\a.txt"));
    EXPECT_TRUE(
        m.CallsStartingWith(L"CreateFolderInFolder C:\\users\\user\\Temp\\unpackvesk").empty());
    const auto log = m.LogMessages();
    EXPECT_NE(std::find(log.begin(), log.end(),
                        L"[CUnPack::GetWorkFolder] Work folder refused, link at "
                        L"C:\\users\\user\\Temp\\unpackvesk"),
              log.end());
}

TEST(WorkFolder, ElevatedAndSystemRunsGetAFreshFolderOnlyAdministratorsCanChange) {
    const std::wstring kFolder = L"C:\\users\\user\\Temp\\unpackvesk\\1";
    for (sim::TokenKind kind : {sim::TokenKind::ElevatedAdmin, sim::TokenKind::System}) {
        sim::SimMachine m;
        m.token = kind;
        m.WriteFile(kFolder + L"\\expand.bat", "planted");  // left with the user's own rights
        m.WriteFile(L"C:\\precious\\data.txt", "keep me");
        m.MakeSymlink(kFolder + L"\\sub", L"C:\\precious");
        CUnPack unpack;
        unpack.GetWorkFolder();
        EXPECT_FALSE(unpack.WorkFolder().IsRefused());
        EXPECT_FALSE(m.Exists(kFolder + L"\\expand.bat"));
        EXPECT_EQ(m.ReadFile(L"C:\\precious\\data.txt"), "keep me");
        // Held for the run: nobody renames it away to put another in its place.
        CHeldFolder parent;
        ASSERT_TRUE(parent.Open(L"C:\\users\\user\\Temp\\unpackvesk"));
        EXPECT_FALSE(parent.Rename(L"1", L"1-moved", plat::kAttrDirectory));
        EXPECT_EQ(Describe(m.AccessOf(kFolder)),
                  L"S-1-5-32-544 protected: S-1-5-18 1f01ff 3 S-1-5-32-544 1f01ff 3 "
                  L"S-1-5-21-1-1001 1300a9 3");
        // Nothing the user runs may add a file there now.
        m.impersonating = L"user";
        EXPECT_EQ(plat::files().CreateFile(kFolder + L"\\expand.bat", plat::kGenericWrite, 0,
                                           plat::kCreateAlways),
                  plat::FileHandle());
        m.impersonating.clear();
        // The launch's own copy there is made by the launcher itself, at once.
        m.WriteFile(kFolder + L"\\QVFeatureVESK.exe", "feature");
        CUnPackFileApp app;
        app.PrepareAgentFiles(unpack.WorkFolder(), tags::kRunAsService);
        EXPECT_EQ(m.ReadFile(kFolder + L"\\QVFeatMiniVESK.exe"), "feature");
        EXPECT_EQ(m.impersonations, 0);
        unpack.RemoveWorkFolder();
        EXPECT_FALSE(m.Exists(kFolder));
    }

    // An unelevated run makes the folder as it always did, with the rights it inherits.
    sim::SimMachine m;
    m.token = sim::TokenKind::LimitedAdmin;
    CUnPack unpack;
    unpack.GetWorkFolder();
    EXPECT_EQ(m.CallsStartingWith(L"CreateFolderInFolder " + kFolder).size(), 1u);
    EXPECT_FALSE(m.AccessOf(kFolder).isProtected);

    // On a volume the mount manager gives no letter (a RAM disk) the folder is told where it lies
    // by the NT form of its path. Where such a volume keeps no access lists (a FAT stick) the
    // list protects nothing: an elevated run refuses the folder, and says why.
    for (bool acls : {true, false}) {
        sim::SimMachine ram;
        ram.token = sim::TokenKind::ElevatedAdmin;
        ram.volumesWithoutLetter.insert(L"C:\\users");
        if (!acls) ram.volumesWithoutAccessLists.insert(L"C:\\users\\user\\Temp");
        CUnPack onRam;
        onRam.GetWorkFolder();
        EXPECT_EQ(onRam.WorkFolder().IsRefused(), !acls);
        EXPECT_EQ(Logged(ram,
                         L"[CUnPack::GetWorkFolder] Work folder refused, no access lists kept "
                         L"at " +
                             kFolder),
                  !acls);
    }
}

// What an earlier run left is cleared, read-only files included; what cannot be cleared (a file
// another program holds open) means no launch from the folder, in any run.
TEST(WorkFolder, AFolderThatCannotBeClearedIsNeverUsed) {
    const std::wstring kFolder = L"C:\\users\\user\\Temp\\unpackvesk\\1";
    for (sim::TokenKind kind : {sim::TokenKind::LimitedAdmin, sim::TokenKind::ElevatedAdmin}) {
        sim::SimMachine m;
        m.token = kind;
        m.WriteFile(kFolder + L"\\stuck.txt", "x");
        m.SetReadOnly(kFolder + L"\\stuck.txt", true);
        m.WriteFile(kFolder + L"\\setup.ini", "stale");
        const UniqueFile other(plat::files().CreateFile(
            kFolder + L"\\setup.ini", plat::kGenericRead, plat::kShareRead, plat::kOpenExisting));
        CUnPack unpack;
        unpack.GetWorkFolder();
        EXPECT_TRUE(unpack.WorkFolder().IsRefused());
        EXPECT_EQ(m.sleeps.size(), 20u);  // the retries ran out first
        EXPECT_FALSE(m.Exists(kFolder + L"\\stuck.txt"));
        EXPECT_TRUE(Logged(m, L"[CUnPack::GetWorkFolder] Work folder refused, " + kFolder +
                                  L"\\ holds files it could not clear"));
        unpack.RemoveWorkFolder();
        EXPECT_EQ(m.ReadFile(kFolder + L"\\setup.ini"), "stale");  // never touched again
    }
}

TEST(WorkFolder, OnlyAdministratorsAndTheSystemMayChangeAnAcceptedList) {
    plat::AccessList a = acl::WorkFolderAccess(L"S-1-5-21-1-1001");
    EXPECT_TRUE(acl::IsAdminOnly(a));
    a.owner = L"S-1-5-21-1-1001";  // an owner may rewrite the list
    EXPECT_FALSE(acl::IsAdminOnly(a));
    a = acl::WorkFolderAccess(L"");
    a.isProtected = false;  // entries from above would join it
    EXPECT_FALSE(acl::IsAdminOnly(a));
    a.isProtected = true;
    a.present = false;  // no list at all: everyone may do everything
    EXPECT_FALSE(acl::IsAdminOnly(a));
    for (uint32_t right : {0x2u, 0x4u, 0x40000u, 0x10000000u}) {
        a = acl::WorkFolderAccess(L"");
        a.entries.push_back({plat::kSidUsers, plat::kFileGenericReadExecute | right, 0, true});
        EXPECT_FALSE(acl::IsAdminOnly(a)) << right;
        a.entries.back().allow = false;  // denying it takes nothing away from the check
        EXPECT_TRUE(acl::IsAdminOnly(a)) << right;
    }
    a.entries.back() = {plat::kSidUsers, plat::kDelete | plat::kFileDeleteChild, 0, true};
    EXPECT_TRUE(acl::IsAdminOnly(a));  // deleting adds nothing
}

bool HasLine(const std::vector<std::wstring>& lines, const std::wstring& text) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::wstring& line) {
        return line.find(text) != std::wstring::npos;
    });
}

// A temp folder reached through a link further up (a profile moved to another disk through a
// junction): every run works where it really is, and clears its own stale folder there. Only
// where the system cannot tell final paths (Windows XP) does an elevated or system run refuse it,
// as no component of the path may then be a link.
TEST(WorkFolder, ATempFolderReachedThroughALinkIsTakenWhereItReallyIs) {
    const struct {
        sim::TokenKind token;
        bool finalPathMissing;
        bool refused;
    } cases[] = {{sim::TokenKind::ElevatedAdmin, false, false},
                 {sim::TokenKind::System, true, true},
                 {sim::TokenKind::StandardUser, false, false}};
    for (const auto& c : cases) {
        sim::SimMachine m;
        m.token = c.token;
        m.finalPathMissing = c.finalPathMissing;
        m.WriteFile(L"C:\\Target\\Temp\\unpackvesk\\1\\keep.txt", "keep me");
        m.MakeSymlink(L"C:\\Hostile\\link", L"C:\\Target");
        m.tempPath = L"C:\\Hostile\\link\\Temp\\";
        CUnPack unpack;
        const std::wstring folder = unpack.GetWorkFolder();
        EXPECT_EQ(unpack.WorkFolder().IsRefused(), c.refused);
        EXPECT_EQ(m.Exists(L"C:\\Target\\Temp\\unpackvesk\\1\\keep.txt"), c.refused);
        EXPECT_EQ(m.Exists(L"C:\\Target\\Temp\\Quintrova"), !c.refused);
        EXPECT_EQ(HasLine(m.debugOutput, L"[CUnPack::GetWorkFolder] Work folder refused, " +
                                             folder + L" is reached through a link"),
                  c.refused);
        unpack.RemoveWorkFolder();
        EXPECT_EQ(m.Exists(L"C:\\Target\\Temp\\unpackvesk\\1"), c.refused);
    }
}

// A link put above the work folder while the run lasts: an elevated run runs no command there
// and its clean-up deletes nothing behind it.
TEST(WorkFolder, AnElevatedRunFollowsNoLinkSwappedInAfterTheStart) {
    sim::SimMachine m;
    m.token = sim::TokenKind::ElevatedAdmin;
    CUnPack unpack;
    const std::wstring folder = unpack.GetWorkFolder();
    ASSERT_FALSE(unpack.WorkFolder().IsRefused());
    m.WriteFile(folder + L"setup.ini", "ours");
    std::filesystem::rename(m.HostPath(L"C:\\users\\user\\Temp\\unpackvesk"),
                            m.HostPath(L"C:\\users\\user\\Temp\\moved"));
    m.WriteFile(L"C:\\Target\\1\\keep.txt", "keep me");
    m.MakeSymlink(L"C:\\users\\user\\Temp\\unpackvesk", L"C:\\Target");

    CUnPackFileApp app;
    EXPECT_EQ(app.ExecuteCommand(unpack.WorkFolder(), L"/c x").startError,
              plat::kErrorAccessDenied);
    EXPECT_TRUE(m.CallsStartingWith(L"CreateProcess").empty());
    unpack.RemoveWorkFolder();
    EXPECT_EQ(m.ReadFile(L"C:\\Target\\1\\keep.txt"), "keep me");
    const auto log = m.LogMessages();
    EXPECT_TRUE(HasLine(log, L"[CUnPackFileApp::ExecuteCommand] Command refused, " + folder +
                                 L" is reached through a link"));
    EXPECT_TRUE(HasLine(log, L"[CUnPack::RemoveWorkFolder] Clean-up refused, " + folder +
                                 L" is reached through a link"));

    // Once the link is gone again, the clean-up takes the folder as usual.
    std::filesystem::remove(m.HostPath(L"C:\\users\\user\\Temp\\unpackvesk"));
    std::filesystem::rename(m.HostPath(L"C:\\users\\user\\Temp\\moved"),
                            m.HostPath(L"C:\\users\\user\\Temp\\unpackvesk"));
    unpack.RemoveWorkFolder();
    EXPECT_FALSE(m.Exists(L"C:\\users\\user\\Temp\\unpackvesk"));
}

// A link put in place of "unpackvesk" at the clean-up's first deletion (the real folder renamed
// away, which Wine and network redirectors allow): every deletion goes through the folder held,
// so nothing behind the link goes.
TEST(WorkFolder, TheCleanUpDeletesThroughTheFolderItHolds) {
    sim::SimMachine m;
    m.token = sim::TokenKind::ElevatedAdmin;
    CUnPack unpack;
    const std::wstring folder = unpack.GetWorkFolder();
    m.WriteFile(folder + L"setup.ini", "ours");
    m.WriteFile(folder + L"agent.cab", "ours");
    m.WriteFile(L"C:\\Victim\\1\\setup.ini", "keep me");
    m.WriteFile(L"C:\\Victim\\1\\agent.cab", "and me");
    const std::wstring parent = L"C:\\users\\user\\Temp\\unpackvesk";
    m.onDeleteFile = [&](const std::wstring&) {
        if (m.Exists(L"C:\\users\\user\\Temp\\moved")) return;
        std::filesystem::rename(m.HostPath(parent), m.HostPath(L"C:\\users\\user\\Temp\\moved"));
        m.MakeSymlink(parent, L"C:\\Victim");
    };
    unpack.RemoveWorkFolder();
    EXPECT_EQ(m.ReadFile(L"C:\\Victim\\1\\setup.ini"), "keep me");
    EXPECT_EQ(m.ReadFile(L"C:\\Victim\\1\\agent.cab"), "and me");
    EXPECT_FALSE(m.Exists(L"C:\\users\\user\\Temp\\moved\\1\\setup.ini"));
}

}  // namespace
