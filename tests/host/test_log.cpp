#include <gtest/gtest.h>

#include <filesystem>

#include "platform/platform.h"
#include "sim/sim_machine.h"
#include "util/file.h"
#include "util/log.h"
#include "util/text.h"

namespace {

std::string Utf16(const std::wstring& s) {
    return text::ToUtf16Le(s);
}

TEST(Log, LineFormatAndFileBytes) {
    sim::SimMachine m;
    m.After(0, [] {});
    plat::kernel().SetLastError(5);
    logging::Log(L"[%ls] OS %d.%d(%d) %ls x64:%d", L"CUtility::OSInfo", 10, 0, 19045, L"", 0);

    const std::wstring expected =
        L"[4242]2026-12-07 10:00:00  [CUtility::OSInfo] OS 10.0(19045)  x64:0 (Last=5)";
    ASSERT_EQ(m.debugOutput.size(), 1u);
    EXPECT_EQ(m.debugOutput[0], expected);
    // UTF-16LE code units, no byte-order mark, CR LF as 0D 00 0A 00.
    EXPECT_EQ(m.ReadFile(L"C:\\users\\user\\Temp\\unpack1.log"), Utf16(expected + L"\r\n"));
    // The log leaves the caller's error value as it found it.
    EXPECT_EQ(plat::kernel().GetLastError(), 5u);
}

TEST(Log, AppendsToAnExistingFileAndStampsTheVirtualTime) {
    sim::SimMachine m;
    m.WriteFile(m.LogPath(), "old ANSI content\n");
    m.Advance(61000);
    logging::Log(L"");  // an empty message: three blanks between time and the Last= field
    const std::string bytes = m.ReadFile(m.LogPath());
    EXPECT_EQ(bytes.substr(0, 17), "old ANSI content\n");
    EXPECT_EQ(bytes.substr(17), Utf16(L"[4242]2026-12-07 10:01:01   (Last=0)\r\n"));
}

TEST(Log, LongMessagesAreCutAt1022Characters) {
    sim::SimMachine m;
    const std::wstring longText(3000, L'y');
    logging::Log(L"%ls", longText.c_str());
    ASSERT_EQ(m.LogMessages().size(), 1u);
    EXPECT_EQ(m.LogMessages()[0], std::wstring(1022, L'y'));
}

TEST(Log, FileNameAndFolderFallbacks) {
    {
        sim::SimMachine m;  // session query fails: the name carries -1
        m.sessionQueryFails = true;
        logging::Log(L"x");
        EXPECT_TRUE(m.Exists(L"C:\\users\\user\\Temp\\unpack-1.log"));
    }
    {
        sim::SimMachine m;  // no temp path: the Windows folder's Temp, not created when missing
        m.tempPathFails = true;
        EXPECT_EQ(logging::FilePath(), L"C:\\windows\\Temp\\unpack1.log");
        logging::Log(L"lost");
        EXPECT_FALSE(m.Exists(L"C:\\windows\\Temp"));
        EXPECT_EQ(m.debugOutput.size(), 1u);  // the debugger still has it
    }
    {
        sim::SimMachine m;  // a temp path too long for the buffer: never the current directory
        m.tempPathResult = 300;
        std::filesystem::create_directories(m.HostPath(L"C:\\windows\\Temp"));
        EXPECT_EQ(logging::FilePath(), L"C:\\windows\\Temp\\unpack1.log");
        logging::Log(L"here");
        EXPECT_TRUE(m.Exists(L"C:\\windows\\Temp\\unpack1.log"));
        EXPECT_FALSE(m.Exists(L"C:\\Downloads\\unpack1.log"));
    }
}

TEST(Log, ACollidingWriterRetriesBrieflyInsteadOfDroppingTheLine) {
    sim::SimMachine m;
    logging::ResetState();
    // Another writer holds the file exclusively for 12 ms.
    plat::FileHandle other = plat::files().CreateFile(
        m.LogPath(), plat::kGenericRead | plat::kGenericWrite, plat::kShareNone, plat::kOpenAlways);
    ASSERT_NE(other, plat::FileHandle());
    m.After(12, [other] { plat::files().CloseFile(other); });
    logging::Log(L"[%ls] kept", L"T");
    ASSERT_EQ(m.LogMessages(), std::vector<std::wstring>{L"[T] kept"});
    EXPECT_EQ(m.sleeps, (std::vector<uint32_t>{5, 5, 5}));
}

TEST(Log, AWriterThatNeverGetsTheFileGivesUpWellUnderASecond) {
    sim::SimMachine m;
    plat::FileHandle other = plat::files().CreateFile(
        m.LogPath(), plat::kGenericRead | plat::kGenericWrite, plat::kShareNone, plat::kOpenAlways);
    ASSERT_NE(other, plat::FileHandle());
    logging::Log(L"dropped");
    EXPECT_LT(m.Now(), 200u);
    EXPECT_EQ(m.debugOutput.size(), 1u);
    plat::files().CloseFile(other);
    EXPECT_TRUE(m.LogLines().empty());
}

TEST(Log, AHeldLogCostsTheRunOneLinesRetriesAndNoMore) {
    sim::SimMachine m;
    logging::ResetState();
    plat::FileHandle other = plat::files().CreateFile(
        m.LogPath(), plat::kGenericRead | plat::kGenericWrite, plat::kShareNone, plat::kOpenAlways);
    ASSERT_NE(other, plat::FileHandle());
    for (int i = 0; i < 2000; ++i) logging::Log(L"[%ls] file %d", L"T", i);
    EXPECT_EQ(m.sleeps.size(), 10u);  // the first line's retries; later lines try once
    plat::files().CloseFile(other);
    logging::Log(L"[%ls] after", L"T");
    EXPECT_EQ(m.LogMessages(), std::vector<std::wstring>{L"[T] after"});

    // A log taken by turns: the run's retries end after 30 in all, whatever each line needed.
    logging::ResetState();
    m.sleeps.clear();
    for (int i = 0; i < 40; ++i) {
        other = plat::files().CreateFile(m.LogPath(), plat::kGenericRead | plat::kGenericWrite,
                                         plat::kShareNone, plat::kOpenAlways);
        m.After(12, [other] { plat::files().CloseFile(other); });
        logging::Log(L"[%ls] turn %d", L"T", i);
        m.Advance(20);
    }
    EXPECT_EQ(m.sleeps.size(), 30u);
    logging::ResetState();
}

// No run writes a line through a link: not into a log that is a link, nor one with a second name
// (a hard link); nor does an elevated or system run into a folder reached through a link where
// the system cannot tell final paths. The line still goes to the debugger.
TEST(Log, AnElevatedRunWritesNoLineThroughALink) {
    enum Plant { kSymlink, kHardLink, kFolderLink, kNothing };
    const struct {
        Plant plant;
        sim::TokenKind token;
        bool finalPathMissing;
        bool written;
    } cases[] = {
        {kSymlink, sim::TokenKind::ElevatedAdmin, false, false},
        {kHardLink, sim::TokenKind::System, false, false},
        {kFolderLink, sim::TokenKind::ElevatedAdmin, false, true},  // a profile moved away
        {kFolderLink, sim::TokenKind::System, true, false},  // no final paths: no link at all
        {kNothing, sim::TokenKind::ElevatedAdmin, false, true},
        {kNothing, sim::TokenKind::System, true, true},
        {kSymlink, sim::TokenKind::StandardUser, false, false},
    };
    for (const auto& c : cases) {
        sim::SimMachine m;
        m.token = c.token;
        m.finalPathMissing = c.finalPathMissing;
        const std::wstring target = L"C:\\windows\\target.log";
        m.WriteFile(target, "");
        if (c.plant == kSymlink) m.MakeSymlink(m.LogPath(), target);
        if (c.plant == kHardLink)
            std::filesystem::create_hard_link(m.HostPath(target), m.HostPath(m.LogPath()));
        if (c.plant == kFolderLink) {
            m.MakeSymlink(L"C:\\users\\link", L"C:\\windows");
            m.tempPath = L"C:\\users\\link\\";
        }
        // Where a line would land: the link's target, or the log's path (through the folder link).
        const std::wstring written =
            (c.plant == kSymlink || c.plant == kHardLink) ? target : m.LogPath();
        logging::Log(L"[%ls] line", L"T");
        EXPECT_EQ(m.ReadFile(written).empty(), !c.written) << c.plant << " " << c.written;
        EXPECT_EQ(m.debugOutput.size(), 1u);
    }

    // The folder opened at the first line is the one written to: a temp folder swapped for a
    // link afterwards leads to another file, which gets no line.
    sim::SimMachine m;
    m.token = sim::TokenKind::ElevatedAdmin;
    logging::Log(L"[%ls] proved", L"T");
    EXPECT_EQ(m.LogMessages().size(), 1u);
    m.WriteFile(L"C:\\windows\\unpack1.log", "");
    std::filesystem::remove_all(m.HostPath(L"C:\\users\\user\\Temp"));
    m.MakeSymlink(L"C:\\users\\user\\Temp", L"C:\\windows");
    logging::Log(L"[%ls] line", L"T");
    EXPECT_TRUE(m.ReadFile(L"C:\\windows\\unpack1.log").empty());
}

TEST(Log, FileErrorLogsTheErrorTextOnlyWhenThereIsOne) {
    sim::SimMachine m;
    plat::kernel().SetLastError(0);
    logging::FileError(L"C:\\nowhere\\x.bin");
    EXPECT_TRUE(m.LogLines().empty());

    CFile file;
    EXPECT_FALSE(file.Open(L"C:\\nowhere\\x.bin", CFile::modeRead | CFile::typeBinary));
    logging::FileError(file.GetFilePath());
    EXPECT_EQ(m.LogMessages(),
              std::vector<std::wstring>{
                  L"[CUtility::FileException] C:\\nowhere\\x.bin: The system cannot find the path "
                  L"specified."});
}

}  // namespace
