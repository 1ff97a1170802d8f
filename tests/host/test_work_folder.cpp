#include <gtest/gtest.h>

#include "host/package_builder.h"
#include "platform/platform.h"
#include "sim/sim_machine.h"
#include "unpack/unpack.h"
#include "util/utility.h"

namespace {

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
    EXPECT_EQ(m2.CallsStartingWith(L"SHCreateDirectoryEx C:\\users\\user\\Temp\\unpackvesk").size(),
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

    // Once the last session's folder is gone, so is "unpackvesk".
    CUtility::DeleteDirectoryTree(L"C:\\users\\user\\Temp\\unpackvesk\\2");
    unpack.RemoveWorkFolder();
    EXPECT_FALSE(m.Exists(L"C:\\users\\user\\Temp\\unpackvesk"));
    EXPECT_EQ(unpack.GetWorkFolder(), folder);  // the path stays known
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
        EXPECT_FALSE(unpack.m_bWorkFolderRefused);
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
    EXPECT_TRUE(unpack.m_bWorkFolderRefused);
    EXPECT_EQ(unpack.GetWorkFolder(), L"C:\\users\\user\\Temp\\unpackvesk\\1\\");
    unpack.RemoveWorkFolder();
    // Nothing was written through the link, nothing deleted, and no folder created there.
    EXPECT_EQ(m.ReadFile(L"C:\\precious\\1\\setup.ini"), "keep me");
    EXPECT_FALSE(m.Exists(L"C:\\precious\\1\\a.txt"));
    EXPECT_TRUE(
        m.CallsStartingWith(L"SHCreateDirectoryEx C:\\users\\user\\Temp\\unpackvesk").empty());
    EXPECT_TRUE(m.CallsStartingWith(L"DeleteFile").empty());
    EXPECT_TRUE(m.CallsStartingWith(L"RemoveDirectory").empty());
    const auto log = m.LogMessages();
    EXPECT_NE(std::find(log.begin(), log.end(),
                        L"[CUnPack::GetWorkFolder] Work folder refused, link at "
                        L"C:\\users\\user\\Temp\\unpackvesk"),
              log.end());
}

}  // namespace
