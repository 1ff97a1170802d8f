#include <gtest/gtest.h>

#include <filesystem>

#include "platform/platform.h"
#include "sim/sim_machine.h"
#include "util/held_folder.h"
#include "util/paths.h"
#include "util/run_context.h"

namespace {

TEST(FileHelpers, ExistenceAndPathTrimming) {
    sim::SimMachine m;
    m.WriteFile(L"C:\\a\\b\\c.exe", "x");
    EXPECT_TRUE(paths::Exists(L"C:\\a\\b\\c.exe"));
    EXPECT_TRUE(paths::Exists(L"C:\\A\\B"));  // folders count; case does not matter
    EXPECT_FALSE(paths::Exists(L"C:\\a\\nothing"));
    EXPECT_FALSE(paths::Exists(L""));

    std::wstring p = L"C:\\a\\b\\c.exe";
    paths::StripComponents(p, 2);
    EXPECT_EQ(p, L"C:\\a");
    p = L"C:\\Downloads\\VESK.exe";
    paths::StripComponents(p, 1);
    EXPECT_EQ(p, L"C:\\Downloads");
    p = L"plain.exe";
    paths::StripComponents(p, 3);
    EXPECT_EQ(p, L"plain.exe");
}

// The clean-up through a held folder: everything it holds goes, read-only files only when asked
// and never one with another name (its attributes stay as they are), links as links, and nothing
// they point at.
TEST(HeldFolder, TheCleanUpDeletesWhatItCanAndNeverFollowsALink) {
    sim::SimMachine m;
    m.WriteFile(L"C:\\w\\1\\sub\\deep\\b.txt", "b");
    m.WriteFile(L"C:\\w\\keep\\ro.txt", "r");
    m.SetReadOnly(L"C:\\w\\keep\\ro.txt", true);
    m.WriteFile(L"C:\\precious\\data.txt", "keep me");
    m.WriteFile(L"C:\\precious\\inner\\more.txt", "and me");
    m.MakeSymlink(L"C:\\w\\1\\junction", L"C:\\precious");
    m.MakeSymlink(L"C:\\w\\filelink.txt", L"C:\\precious\\data.txt");
    m.MakeSymlink(L"C:\\w\\2", L"C:\\precious");
    CHeldFolder w;
    ASSERT_TRUE(w.Open(L"C:\\w\\"));
    EXPECT_FALSE(w.Clear(false));
    EXPECT_TRUE(m.Exists(L"C:\\w\\keep\\ro.txt"));  // and so does its folder
    EXPECT_FALSE(m.Exists(L"C:\\w\\1"));
    EXPECT_FALSE(m.Exists(L"C:\\w\\2"));
    EXPECT_EQ(m.ReadFile(L"C:\\precious\\data.txt"), "keep me");
    EXPECT_EQ(m.ReadFile(L"C:\\precious\\inner\\more.txt"), "and me");
    // A read-only file with a second name elsewhere loses only this name, and only when it is not
    // read-only: its attributes are the other name's too.
    std::filesystem::create_hard_link(m.HostPath(L"C:\\w\\keep\\ro.txt"),
                                      m.HostPath(L"C:\\elsewhere.txt"));
    EXPECT_FALSE(w.Clear(true));
    EXPECT_EQ(plat::files().GetFileAttributes(L"C:\\elsewhere.txt") & plat::kAttrReadOnly,
              plat::kAttrReadOnly);
    std::filesystem::remove(m.HostPath(L"C:\\elsewhere.txt"));
    EXPECT_TRUE(w.RemoveFolder(L"keep", 0, 1, true));  // a lone read-only file goes when asked
    EXPECT_FALSE(m.Exists(L"C:\\w\\keep"));
    EXPECT_FALSE(w.RemoveFolder(L"missing", 0));
    EXPECT_TRUE(m.Exists(L"C:\\w"));
}

TEST(HeldFolder, LinksThatCannotBeRemovedAsLinksStayAndSoDoTheirTargets) {
    // Where a link opens as its target, removing "the link" would remove an empty target.
    sim::SimMachine m;
    m.linksOpenAsTargets = true;
    m.WriteFile(L"C:\\precious\\data.txt", "keep me");
    std::filesystem::create_directories(m.HostPath(L"C:\\empty"));
    m.WriteFile(L"C:\\w\\1\\a.txt", "a");
    m.MakeSymlink(L"C:\\w\\1\\full", L"C:\\precious");
    m.MakeSymlink(L"C:\\w\\1\\none", L"C:\\empty");
    m.MakeSymlink(L"C:\\w\\2", L"C:\\empty");
    CHeldFolder w;
    ASSERT_TRUE(w.Open(L"C:\\w"));
    EXPECT_FALSE(w.Clear(true));
    EXPECT_FALSE(m.Exists(L"C:\\w\\1\\a.txt"));
    EXPECT_TRUE(m.Exists(L"C:\\w\\1\\full"));
    EXPECT_TRUE(m.Exists(L"C:\\w\\1\\none"));
    EXPECT_TRUE(m.Exists(L"C:\\w\\2"));
    EXPECT_TRUE(m.Exists(L"C:\\empty"));
    EXPECT_EQ(m.ReadFile(L"C:\\precious\\data.txt"), "keep me");
}

TEST(HeldFolder, TheDotEntriesAreNeverTakenForLinks) {
    // The folder's parent is a link: ".." carries the link's attribute, yet the parent stays.
    sim::SimMachine m;
    m.WriteFile(L"C:\\real\\1\\a.txt", "a");
    m.MakeSymlink(L"C:\\w", L"C:\\real");
    CHeldFolder w;
    ASSERT_TRUE(w.Open(L"C:\\w"));
    EXPECT_TRUE(w.RemoveFolder(L"1", 0, 1, true));
    EXPECT_FALSE(m.Exists(L"C:\\real\\1"));
    EXPECT_TRUE(m.Exists(L"C:\\w"));
}

TEST(FileHelpers, ModuleVersion) {
    sim::SimMachine m;
    m.moduleVersion = {0x00030005, 0x00020001, 0x000A0000, 0x00000001};
    std::wstring textOut;
    uint32_t high = 7, low = 7;
    ASSERT_TRUE(paths::VersionOf(::Run().modulePath, &textOut, &high, &low, 1));
    EXPECT_EQ(textOut, L"10.0.0.1");
    EXPECT_EQ(high, 0x000A0000u);
    ASSERT_TRUE(paths::VersionOf(::Run().modulePath, &textOut, &high, &low, 0));
    EXPECT_EQ(textOut, L"3.5.2.1");

    m.moduleVersionMissing = true;
    high = low = 7;
    EXPECT_FALSE(paths::VersionOf(::Run().modulePath, &textOut, &high, &low, 1));
    EXPECT_EQ(high, 7u);
    EXPECT_EQ(low, 7u);
}

}  // namespace
