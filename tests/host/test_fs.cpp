#include <gtest/gtest.h>

#include <filesystem>

#include "platform/platform.h"
#include "sim/sim_machine.h"
#include "util/utility.h"

namespace {

TEST(FileHelpers, ExistenceAndPathTrimming) {
    sim::SimMachine m;
    m.WriteFile(L"C:\\a\\b\\c.exe", "x");
    EXPECT_TRUE(CUtility::FileExists(L"C:\\a\\b\\c.exe"));
    EXPECT_TRUE(CUtility::FileExists(L"C:\\A\\B"));  // folders count; case does not matter
    EXPECT_FALSE(CUtility::FileExists(L"C:\\a\\nothing"));
    EXPECT_FALSE(CUtility::FileExists(L""));

    std::wstring p = L"C:\\a\\b\\c.exe";
    CUtility::StripPathComponents(p, 2);
    EXPECT_EQ(p, L"C:\\a");
    p = L"C:\\Downloads\\VESK.exe";
    CUtility::StripPathComponents(p, 1);
    EXPECT_EQ(p, L"C:\\Downloads");
    p = L"plain.exe";
    CUtility::StripPathComponents(p, 3);
    EXPECT_EQ(p, L"plain.exe");
}

TEST(FileHelpers, TreeDeletionRemovesEverythingItCan) {
    sim::SimMachine m;
    m.WriteFile(L"C:\\w\\1\\a.txt", "a");
    m.WriteFile(L"C:\\w\\1\\sub\\deep\\b.txt", "b");
    m.WriteFile(L"C:\\w\\1\\sub\\c.txt", "c");
    CUtility::DeleteDirectoryTree(L"C:\\w\\1\\");  // a trailing backslash is not doubled
    EXPECT_FALSE(m.Exists(L"C:\\w\\1"));
    EXPECT_TRUE(m.Exists(L"C:\\w"));
}

TEST(FileHelpers, TreeDeletionLeavesReadOnlyFilesAndTheirFolders) {
    sim::SimMachine m;
    m.WriteFile(L"C:\\w\\keep\\ro.txt", "r");
    m.WriteFile(L"C:\\w\\other.txt", "o");
    m.SetReadOnly(L"C:\\w\\keep\\ro.txt", true);
    CUtility::DeleteDirectoryTree(L"C:\\w");
    EXPECT_TRUE(m.Exists(L"C:\\w\\keep\\ro.txt"));
    EXPECT_FALSE(m.Exists(L"C:\\w\\other.txt"));
}

TEST(FileHelpers, TreeDeletionNeverFollowsLinks) {
    sim::SimMachine m;
    m.WriteFile(L"C:\\precious\\data.txt", "keep me");
    m.WriteFile(L"C:\\precious\\inner\\more.txt", "and me");
    m.WriteFile(L"C:\\w\\1\\a.txt", "a");
    m.MakeSymlink(L"C:\\w\\1\\junction", L"C:\\precious");
    m.MakeSymlink(L"C:\\w\\1\\filelink.txt", L"C:\\precious\\data.txt");

    CUtility::DeleteDirectoryTree(L"C:\\w\\1");
    EXPECT_FALSE(m.Exists(L"C:\\w\\1"));
    EXPECT_EQ(m.ReadFile(L"C:\\precious\\data.txt"), "keep me");
    EXPECT_EQ(m.ReadFile(L"C:\\precious\\inner\\more.txt"), "and me");

    // The folder itself a link: the link goes, the target stays whole.
    m.MakeSymlink(L"C:\\w\\2", L"C:\\precious");
    CUtility::DeleteDirectoryTree(L"C:\\w\\2\\");
    EXPECT_FALSE(m.Exists(L"C:\\w\\2"));
    EXPECT_EQ(m.ReadFile(L"C:\\precious\\inner\\more.txt"), "and me");
}

TEST(FileHelpers, LinksThatCannotBeRemovedAsLinksStayAndSoDoTheirTargets) {
    // Where a link opens as its target, removing "the link" would remove an empty target.
    sim::SimMachine m;
    m.linksOpenAsTargets = true;
    m.WriteFile(L"C:\\precious\\data.txt", "keep me");
    std::filesystem::create_directories(m.HostPath(L"C:\\empty"));
    m.WriteFile(L"C:\\w\\1\\a.txt", "a");
    m.MakeSymlink(L"C:\\w\\1\\full", L"C:\\precious");
    m.MakeSymlink(L"C:\\w\\1\\none", L"C:\\empty");
    m.MakeSymlink(L"C:\\w\\2", L"C:\\empty");

    CUtility::DeleteDirectoryTree(L"C:\\w\\1");
    CUtility::DeleteDirectoryTree(L"C:\\w\\2");
    EXPECT_FALSE(m.Exists(L"C:\\w\\1\\a.txt"));
    EXPECT_TRUE(m.Exists(L"C:\\w\\1\\full"));
    EXPECT_TRUE(m.Exists(L"C:\\w\\1\\none"));
    EXPECT_TRUE(m.Exists(L"C:\\empty"));
    EXPECT_EQ(m.ReadFile(L"C:\\precious\\data.txt"), "keep me");
}

TEST(FileHelpers, TheDotEntriesAreNeverTakenForLinks) {
    // The folder's parent is a link: ".." carries the link's attribute, yet the parent stays.
    sim::SimMachine m;
    m.WriteFile(L"C:\\real\\1\\a.txt", "a");
    m.MakeSymlink(L"C:\\w", L"C:\\real");
    CUtility::DeleteDirectoryTree(L"C:\\w\\1");
    EXPECT_FALSE(m.Exists(L"C:\\real\\1"));
    EXPECT_TRUE(m.Exists(L"C:\\w"));
    EXPECT_TRUE(m.CallsStartingWith(L"RemoveLink").empty());
}

TEST(FileHelpers, TreeDeletionOfAMissingFolderDeletesNothing) {
    sim::SimMachine m;
    m.WriteFile(L"C:\\missing2\\keep.txt", "keep");
    CUtility::DeleteDirectoryTree(L"C:\\missing");
    EXPECT_EQ(m.ReadFile(L"C:\\missing2\\keep.txt"), "keep");
}

TEST(FileHelpers, SharedTempFolder) {
    sim::SimMachine m;
    EXPECT_EQ(CUtility::GetSharedTempFolder(), L"C:\\ProgramData\\Quintrova\\Temp");
    EXPECT_TRUE(m.Exists(L"C:\\ProgramData\\Quintrova\\Temp"));
    EXPECT_EQ(CUtility::GetSharedTempFolder(), L"C:\\ProgramData\\Quintrova\\Temp");
    // A standard user's run makes them with the rights they inherit, as ever.
    EXPECT_FALSE(m.AccessOf(L"C:\\ProgramData\\Quintrova").isProtected);
    EXPECT_TRUE(m.CallsStartingWith(L"CreateDirectoryWithAccess").empty());

    m.failingFolders.insert(plat::kCsidlCommonAppData);
    EXPECT_EQ(CUtility::GetSharedTempFolder(), L"C:\\windows\\Temp");
    EXPECT_FALSE(m.Exists(L"C:\\windows\\Temp"));
}

TEST(FileHelpers, AModulePathCutOffByItsBufferIsNoPath) {
    sim::SimMachine m;
    m.moduleFile = L"C:\\" + std::wstring(251, L'd') + L"\\VESK.exe";  // 264 characters
    EXPECT_EQ(CUtility::GetModulePath(), L"");
    m.moduleFile = L"C:\\" + std::wstring(246, L'd') + L"\\VESK.exe";  // 259: it fits
    EXPECT_EQ(CUtility::GetModulePath(), m.moduleFile);
}

TEST(FileHelpers, ModuleVersion) {
    sim::SimMachine m;
    m.moduleVersion = {0x00030005, 0x00020001, 0x000A0000, 0x00000001};
    std::wstring textOut;
    uint32_t high = 7, low = 7;
    ASSERT_TRUE(CUtility::GetModuleVersion(&textOut, &high, &low, 1));
    EXPECT_EQ(textOut, L"10.0.0.1");
    EXPECT_EQ(high, 0x000A0000u);
    ASSERT_TRUE(CUtility::GetModuleVersion(&textOut, &high, &low, 0));
    EXPECT_EQ(textOut, L"3.5.2.1");

    m.moduleVersionMissing = true;
    high = low = 7;
    EXPECT_FALSE(CUtility::GetModuleVersion(&textOut, &high, &low, 1));
    EXPECT_EQ(high, 7u);
    EXPECT_EQ(low, 7u);
}

TEST(FileHelpers, CopyAsUserFallsBackToTheLaunchersOwnAccount) {
    sim::SimMachine m;
    m.token = sim::TokenKind::System;
    m.WriteFile(L"C:\\Downloads\\VESK.exe", "MZ");
    m.CreateRegKey(L"user", L"");
    CUtility::GetSharedTempFolder();
    m.writeDenied[L"C:\\ProgramData\\Quintrova\\Temp"] = {L"user"};

    EXPECT_EQ(CUtility::CopyFileAsUser(L"C:\\Downloads\\VESK.exe",
                                       L"C:\\ProgramData\\Quintrova\\Temp\\Vesk011234.exe"),
              0);
    EXPECT_EQ(m.ReadFile(L"C:\\ProgramData\\Quintrova\\Temp\\Vesk011234.exe"), "MZ");
    const auto ops = m.CallsStartingWith(L"SHFileOperation");
    ASSERT_EQ(ops.size(), 2u);
    EXPECT_NE(ops[0].find(L"0x20 as user"), std::wstring::npos);  // FOF_SILENT|FOF_NOCONFIRMATION
    EXPECT_NE(ops[1].find(L"as SYSTEM"), std::wstring::npos);
    EXPECT_EQ(m.impersonating, L"");

    // A copy the user may make happens once, as the user; a missing source reports its error.
    m.calls.clear();
    EXPECT_EQ(CUtility::CopyFileAsUser(L"C:\\Downloads\\VESK.exe", L"C:\\Downloads\\copy.exe"), 0);
    EXPECT_EQ(m.CallsStartingWith(L"SHFileOperation").size(), 1u);
    EXPECT_NE(CUtility::CopyFileAsUser(L"C:\\Downloads\\none.exe", L"C:\\Downloads\\x.exe"), 0);
}

}  // namespace
