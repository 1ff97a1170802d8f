// The extraction run on real files of the simulated machine.
#include <gtest/gtest.h>

#include <filesystem>

#include "host/package_builder.h"
#include "res/strings.h"
#include "sim/sim_impl.h"
#include "unpack/unpack.h"
#include "util/text.h"

namespace {

using testpkg::Entry;

const std::wstring kSelf = L"C:\\Downloads\\VESK.exe";
const std::wstring kWork = L"C:\\users\\user\\Temp\\unpackvesk\\1\\";
const std::wstring kTemp = L"C:\\users\\user\\Temp\\";

std::vector<std::wstring> UnPackLines(const sim::SimMachine& m) {
    std::vector<std::wstring> out;
    for (const auto& line : m.LogMessages())
        if (line.rfind(L"[CUnPack::FindHeader]", 0) != 0) out.push_back(line);
    return out;
}

// Names of the files in the work folder, sorted.
std::vector<std::string> WorkFiles(const sim::SimMachine& m) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(m.HostPath(kWork)))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string Bytes(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 10)) & 0xFF);
    return s;
}

TEST(UnPack, EntriesLandInTheWorkFolderWithTheirLogLines) {
    sim::SimMachine m;
    m.strings = {{IDS_DISK_CAPTION, L"c"}, {IDS_DISK_TEXT, L"t"}};
    m.WriteFile(kWork + L"stale.txt", "from an earlier launch");
    m.WriteFile(kSelf, testpkg::Pack(
                           testpkg::Stub(),
                           {{"setup.ini", "[Settings]\r\n"}, {"a.txt", "abc"}, {"empty.bin", ""}}));
    CUnPack unpack;
    EXPECT_EQ(unpack.UnPackAndWait(), 0);
    EXPECT_EQ(m.impl().Count<sim::ThreadObj>(), 0);  // the thread's handle is closed
    EXPECT_EQ(m.CallsStartingWith(L"CreateThread").size(), 1u);
    EXPECT_TRUE(unpack.m_bUnPacked);

    const std::wstring w = L"C:\\users\\user\\Temp\\unpackvesk\\1\\";
    EXPECT_EQ(UnPackLines(m),
              (std::vector<std::wstring>{
                  L"[CUnPack::UnPackFiles]  FreeSpace:1099511627776 FileSize:12",
                  L"[CUnPack::UnPackFiles] (1/3)UnPack file name:" + w + L"setup.ini (12)",
                  L"[CUnPack::UnPackFiles] UnPack count:1 len:12 File:" + w + L"setup.ini",
                  L"[CUnPack::UnPackFiles]  FreeSpace:1099511627776 FileSize:3",
                  L"[CUnPack::UnPackFiles] (2/3)UnPack file name:" + w + L"a.txt (3)",
                  L"[CUnPack::UnPackFiles] UnPack count:2 len:3 File:" + w + L"a.txt",
                  L"[CUnPack::UnPackFiles]  FreeSpace:1099511627776 FileSize:0",
                  L"[CUnPack::UnPackFiles] (3/3)UnPack file name:" + w + L"empty.bin (0)",
                  L"[CUnPack::UnPackFiles] UnPack count:3 len:0 File:" + w + L"empty.bin",
                  L"[CUnPack::UnPackFiles] UnPack total 3 files.",
              }));
    // The stale file went before the first new one came.
    EXPECT_EQ(WorkFiles(m), (std::vector<std::string>{"a.txt", "empty.bin", "setup.ini"}));
    EXPECT_EQ(m.ReadFile(kWork + L"setup.ini"), "[Settings]\r\n");
    EXPECT_EQ(m.ReadFile(kWork + L"empty.bin"), "");
    // Free space is asked of the temp folder's volume, never of the current directory.
    EXPECT_EQ(m.freeSpaceQueries, (std::vector<std::wstring>(3, kTemp)));
    EXPECT_TRUE(m.messageBoxes.empty());
    // Only the launcher's own file, the temp folder, "unpackvesk" and the work folder, held for
    // the run, stay open.
    EXPECT_EQ(m.OpenFiles(), 4);
}

TEST(UnPack, SizesAroundTheCopyStepAndTheBufferComeOutWhole) {
    sim::SimMachine m;
    std::vector<Entry> entries;
    const size_t sizes[] = {1,          1023,           1024,       1025,
                            1024 * 7,   256 * 1024 - 1, 256 * 1024, 256 * 1024 + 1,
                            1024 * 600, 1024 * 600 + 77};
    for (size_t i = 0; i < std::size(sizes); ++i)
        entries.push_back({"f" + std::to_string(i) + ".bin", Bytes(sizes[i], i)});
    for (uint16_t magic : {pkg::kMagicPe32, pkg::kMagicPe32Plus}) {
        for (int32_t signature : {0, 3000}) {
            std::string file = testpkg::Pack(testpkg::Stub(magic), entries);
            if (signature) file = testpkg::Sign(file, signature);
            m.WriteFile(kSelf, file);
            CUnPack unpack;
            ASSERT_TRUE(unpack.UnPackFiles());
            for (const Entry& e : entries) {
                const std::string got = m.ReadFile(kWork + text::Widen(e.name));
                ASSERT_EQ(got.size(), e.data.size()) << e.name;
                EXPECT_TRUE(got == e.data) << e.name;
            }
            unpack.RemoveWorkFolder();
        }
    }
    EXPECT_EQ(m.LogMessages().back(), L"[CUnPack::UnPackFiles] UnPack total 10 files.");
}

TEST(UnPack, ACountOfZeroTakesNothingAndCreatesNoFolder) {
    sim::SimMachine m;
    m.WriteFile(kSelf, testpkg::Pack(testpkg::Stub(), {{"a.txt", "abc", 0}}));
    CUnPack unpack;
    EXPECT_TRUE(unpack.UnPackFiles());
    EXPECT_EQ(UnPackLines(m),
              (std::vector<std::wstring>{L"[CUnPack::UnPackFiles] UnPack total 0 files."}));
    EXPECT_TRUE(m.freeSpaceQueries.empty());
    EXPECT_FALSE(m.Exists(L"C:\\users\\user\\Temp\\unpackvesk"));
}

TEST(UnPack, AnExistingFileOfTheSameNameIsOverwritten) {
    sim::SimMachine m;
    m.WriteFile(kSelf, testpkg::Pack(testpkg::Stub(),
                                     {{"a.txt", "a much longer first text"}, {"A.TXT", "short"}}));
    CUnPack unpack;
    EXPECT_TRUE(unpack.UnPackFiles());
    EXPECT_EQ(m.ReadFile(kWork + L"a.txt"), "short");

    // Also one that an earlier run left behind read-only (the tree deletion leaves such files):
    // it must not stand in for the package's own file.
    sim::SimMachine m2;
    m2.WriteFile(kSelf, testpkg::Pack(testpkg::Stub(), {{"setup.ini", "fresh"}}));
    m2.WriteFile(kWork + L"setup.ini", "stale");
    m2.SetReadOnly(kWork + L"setup.ini", true);
    CUnPack again;  // the stale folder, which cannot be cleared, is used as it is
    EXPECT_TRUE(again.UnPackFiles());
    EXPECT_EQ(m2.ReadFile(kWork + L"setup.ini"), "fresh");
    // Writable again, so that the work folder's removal takes it.
    EXPECT_FALSE(plat::files().GetFileAttributes(kWork + L"setup.ini") & plat::kAttrReadOnly);
}

TEST(UnPack, UnsafeNamesAreSkippedAndTheirDataPassedOver) {
    sim::SimMachine m;
    m.WriteFile(L"C:\\users\\user\\Temp\\unpackvesk\\keep.txt", "outside");
    const std::vector<Entry> entries = {
        {"..\\x.dll", "escape"}, {"C:\\x", "drive"},  {"sub\\x", "folder"},
        {"a:stream", "ads"},     {".", "dot"},        {"..", "dotdot"},
        {"", "empty"},           {"bell\x07", "ctl"}, {"CON", "con"},
        {"nul.txt", "nul"},      {"COM1", "com"},     {"LPT9.log", "lpt"},
        {"x.", "trail"},         {"x ", "blank"},     {"caf\xE9.txt", "latin"},
        {"ok.txt", "fine"},
    };
    m.WriteFile(kSelf, testpkg::Pack(testpkg::Stub(), entries));
    CUnPack unpack;
    EXPECT_TRUE(unpack.UnPackFiles());
    // Only the plain names arrive (the ANSI code page here is Latin-1); nothing lands elsewhere.
    EXPECT_EQ(WorkFiles(m), (std::vector<std::string>{"caf\xC3\xA9.txt", "ok.txt"}));
    EXPECT_EQ(m.ReadFile(kWork + L"ok.txt"), "fine");
    EXPECT_EQ(m.ReadFile(L"C:\\users\\user\\Temp\\unpackvesk\\keep.txt"), "outside");
    EXPECT_FALSE(m.Exists(L"C:\\users\\user\\Temp\\unpackvesk\\x.dll"));
    EXPECT_FALSE(m.Exists(L"C:\\x"));

    const auto lines = UnPackLines(m);
    EXPECT_EQ(lines[0],
              L"[CUnPack::UnPackFiles] (1/16)Skip unsafe file name:..\\x.dll (contains a path "
              L"separator)");
    EXPECT_EQ(lines[7],
              L"[CUnPack::UnPackFiles] (8/16)Skip unsafe file name:bell? (contains a control "
              L"character)");
    EXPECT_EQ(lines[8],
              L"[CUnPack::UnPackFiles] (9/16)Skip unsafe file name:CON (is a device name)");
    EXPECT_EQ(lines.back(), L"[CUnPack::UnPackFiles] UnPack total 16 files.");
    // Skipped entries need no room on the disk.
    EXPECT_EQ(m.freeSpaceQueries.size(), 2u);
}

TEST(UnPack, ADestinationThatCannotBeCreatedIsSkipped) {
    sim::SimMachine m;
    m.writeDenied[kWork + L"locked.bin"] = {L"user"};
    m.WriteFile(kSelf, testpkg::Pack(testpkg::Stub(), {{"locked.bin", Bytes(5000, 1)},
                                                       {"after.bin", Bytes(3000, 2)}}));
    CUnPack unpack;
    EXPECT_TRUE(unpack.UnPackFiles());
    EXPECT_FALSE(m.Exists(kWork + L"locked.bin"));
    EXPECT_EQ(m.ReadFile(kWork + L"after.bin"), Bytes(3000, 2));
    const auto lines = UnPackLines(m);
    EXPECT_EQ(lines[2], L"[CUtility::FileException] " + kWork + L"locked.bin: Access is denied.");
    EXPECT_EQ(lines.back(), L"[CUnPack::UnPackFiles] UnPack total 2 files.");
}

TEST(UnPack, NotEnoughRoomOnTheTempVolumeStopsWithTheMessage) {
    sim::SimMachine m;
    m.freeSpace[kTemp] = 1000;  // the temp volume; the current directory has plenty
    m.WriteFile(kSelf, testpkg::Pack(testpkg::Stub(), {{"a.txt", Bytes(1000, 1)},
                                                       {"big.bin", Bytes(1001, 2)},
                                                       {"c.txt", "c"}}));
    CUnPack unpack;
    EXPECT_FALSE(unpack.UnPackFiles());
    EXPECT_FALSE(unpack.m_bUnPacked);
    ASSERT_EQ(m.messageBoxes.size(), 1u);
    EXPECT_EQ(m.messageBoxes[0].caption, L"Quintrova?Streamer");
    EXPECT_EQ(m.messageBoxes[0].text, L"There is not enough disk space to install .");
    EXPECT_EQ(m.messageBoxes[0].style, plat::kMbOk);
    const auto lines = UnPackLines(m);
    EXPECT_EQ(lines[3], L"[CUnPack::UnPackFiles]  FreeSpace:1000 FileSize:1001");
    EXPECT_EQ(lines[4], L"[CUnPack::UnPackFiles] There is not enough disk space to install .");
    EXPECT_EQ(lines.size(), 5u);
    // Equal room was enough for the first; what was written stays for now.
    EXPECT_EQ(WorkFiles(m), (std::vector<std::string>{"a.txt"}));
}

TEST(UnPack, TruncatedOrBogusPackagesStopTheRunWithTheError) {
    const std::wstring eof =
        L"[CUtility::FileException] C:\\Downloads\\VESK.exe: Reached the end of the file.";
    {
        // A length beyond what the file holds: no short file, no disk-space message.
        sim::SimMachine m;
        std::string file = testpkg::Pack(testpkg::Stub(), {{"a.txt", "abc"}, {"b.bin", "x"}});
        const size_t second = testpkg::Stub().size() + pkg::kRecordSize + 3;
        pkg::WriteU64(reinterpret_cast<uint8_t*>(&file[second + 8]), uint64_t(1) << 62);
        m.WriteFile(kSelf, file);
        CUnPack unpack;
        EXPECT_FALSE(unpack.UnPackFiles());
        const auto lines = UnPackLines(m);
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2], L"[CUnPack::UnPackFiles] UnPack stopped at file 2");
        EXPECT_EQ(lines.back(), eof);
        EXPECT_TRUE(m.messageBoxes.empty());
        EXPECT_EQ(WorkFiles(m), (std::vector<std::string>{"a.txt"}));
    }
    {
        // The data of the last entry runs into the end of the file.
        sim::SimMachine m;
        std::string file = testpkg::Pack(testpkg::Stub(), {{"a.txt", "abc"}, {"b.bin", "x"}});
        const size_t second = testpkg::Stub().size() + pkg::kRecordSize + 3;
        pkg::WriteU64(reinterpret_cast<uint8_t*>(&file[second + 8]), 1 + pkg::kRecordSize + 1);
        m.WriteFile(kSelf, file);
        CUnPack unpack;
        EXPECT_FALSE(unpack.UnPackFiles());
        EXPECT_EQ(UnPackLines(m).back(), eof);
    }
    {
        // The offset leaves less than one record before the end.
        sim::SimMachine m;
        std::string file = testpkg::Pack(testpkg::Stub(), {{"a.txt", "abc"}});
        file = testpkg::Pack(testpkg::Stub(), {{"a.txt", "abc"}}, file.size() - 100);
        m.WriteFile(kSelf, file);
        CUnPack unpack;
        EXPECT_FALSE(unpack.UnPackFiles());
        EXPECT_EQ(UnPackLines(m), (std::vector<std::wstring>{
                                      L"[CUnPack::UnPackFiles] UnPack stopped at file 1", eof}));
    }
}

TEST(UnPack, AWriteErrorStopsTheRunAndRemovesTheHalfFile) {
    sim::SimMachine m;
    m.WriteFile(kSelf, testpkg::Pack(
                           testpkg::Stub(),
                           {{"a.txt", "abc"}, {"big.bin", Bytes(600 * 1024, 3)}, {"c.txt", "c"}}));
    CUnPack unpack;
    // The disk takes the first file and part of the second (it reports plenty of room). Once
    // it is full the log file takes no more lines either: read them from the debugger output.
    m.writeBudget = 300 * 1024;
    EXPECT_FALSE(unpack.UnPackFiles());
    std::vector<std::wstring> lines;
    for (const auto& line : m.debugOutput) lines.push_back(sim::LogMessageOf(line));
    EXPECT_EQ(lines[lines.size() - 2], L"[CUnPack::UnPackFiles] UnPack stopped at file 2");
    EXPECT_EQ(lines.back(), L"[CUtility::FileException] " + kWork +
                                L"big.bin: There is not enough space on "
                                L"the disk.");
    EXPECT_EQ(WorkFiles(m), (std::vector<std::string>{"a.txt"}));
}

}  // namespace
