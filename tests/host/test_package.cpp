// The package layout and CUnPack::FindHeader on real files of the simulated machine.
#include <gtest/gtest.h>

#include "host/package_builder.h"
#include "sim/sim_machine.h"
#include "unpack/unpack.h"
#include "util/text.h"

namespace {

using testpkg::Entry;

const std::wstring kSelf = L"C:\\Downloads\\VESK.exe";

std::vector<std::wstring> FindLines(const sim::SimMachine& m) {
    std::vector<std::wstring> out;
    for (const auto& line : m.LogMessages())
        if (line.rfind(L"[CUnPack::FindHeader]", 0) == 0) out.push_back(line);
    return out;
}

TEST(PackageFormat, RecordFieldsSitAtTheirOffsets) {
    pkg::UNPACK_HEADER r;
    r.nFileCount = -2;
    r.dwReserved = 0x11223344;
    r.ullLength = 0x0102030405060708ull;
    r.ullReserved = 0xA1A2A3A4A5A6A7A8ull;
    ASSERT_TRUE(pkg::SetRecordName(r, "setup.ini"));
    uint8_t b[pkg::kRecordSize];
    pkg::EncodeRecord(r, b);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(b), 4), std::string("\xFE\xFF\xFF\xFF", 4));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(b) + 4, 4), "\x44\x33\x22\x11");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(b) + 8, 8), "\x08\x07\x06\x05\x04\x03\x02\x01");
    EXPECT_EQ(b[16], 0xA8);
    EXPECT_EQ(b[23], 0xA1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(b) + 24, 10), std::string("setup.ini\0", 10));
    EXPECT_EQ(b[283], 0);

    const pkg::UNPACK_HEADER back = pkg::DecodeRecord(b);
    EXPECT_EQ(back.nFileCount, -2);
    EXPECT_EQ(back.ullLength, r.ullLength);
    EXPECT_EQ(pkg::RecordName(back), "setup.ini");

    // A writer stops at 259 characters; a reader takes a name without NUL as all 260 bytes.
    EXPECT_TRUE(pkg::SetRecordName(r, std::string(259, 'n')));
    EXPECT_FALSE(pkg::SetRecordName(r, std::string(260, 'n')));
    std::memset(b + 24, 'x', 260);
    EXPECT_EQ(pkg::RecordName(pkg::DecodeRecord(b)), std::string(260, 'x'));
}

TEST(PackageFormat, TrailerPositionFollowsTheCertificateTable) {
    uint64_t at = 0;
    ASSERT_TRUE(pkg::TrailerOffset(10000, 0, &at));
    EXPECT_EQ(at, 10000u - 284);
    ASSERT_TRUE(pkg::TrailerOffset(10000, 1000, &at));
    EXPECT_EQ(at, 10000u - 284 - 1000);
    ASSERT_TRUE(pkg::TrailerOffset(10000, -5000, &at));  // negative: no table
    EXPECT_EQ(at, 10000u - 284);
    ASSERT_TRUE(pkg::TrailerOffset(284 + 16, 16, &at));
    EXPECT_EQ(at, 0u);
    EXPECT_FALSE(pkg::TrailerOffset(283, 0, &at));
    EXPECT_FALSE(pkg::TrailerOffset(10000, 0x7FFFFFFF, &at));
}

TEST(PackageFormat, OnlyPlainFileNamesAreSafe) {
    for (const wchar_t* name :
         {L"setup.ini", L"QVManagerVESK.exe", L"a b.txt", L".hidden", L"..a", L"com10",
          L"console.txt", L"nul_file", L"lpt", L"CONFIG.SYS", L"caf\u00e9.txt", L"x~1.dat"})
        EXPECT_EQ(pkg::UnsafeNameReason(name), nullptr) << text::Narrow(name);
    for (const wchar_t* name :
         {L"",         L".",         L"..",        L"..\\x.dll", L"sub\\x",    L"sub/x",
          L"\\x",      L"C:\\x",     L"C:x",       L"a:stream",  L"tab\there", L"bell\x07",
          L"del\x7f",  L"a*b",       L"a?b",       L"a|b",       L"a<b",       L"a>b",
          L"a\"b",     L"trailing.", L"trailing ", L"...",       L"CON",       L"con",
          L"PRN",      L"aux",       L"NUL",       L"nul.txt",   L"NUL .txt",  L"Com1",
          L"COM9.log", L"LPT1",      L"lpt0.x",    L"COM\u00b9", L"CONIN$",    L"conout$.txt"})
        EXPECT_NE(pkg::UnsafeNameReason(name), nullptr) << text::Narrow(name);
    EXPECT_EQ(pkg::Printable(L"a\r\nb\x01"), L"a??b?");
}

TEST(FindHeader, TheExampleLayoutIsFoundThroughTheLastRecord) {
    sim::SimMachine m;
    const std::string stub = testpkg::Stub();
    const size_t l0 = stub.size();
    const std::string file = testpkg::Pack(stub, {{"a.txt", "abc"}, {"b.bin", ""}});
    ASSERT_EQ(file.size(), l0 + 855);
    // Entry 2's record at L0 + 287, the trailer at L0 + 571.
    EXPECT_EQ(file.substr(l0 + 287 + 24, 6), std::string("b.bin\0", 6));
    EXPECT_EQ(pkg::ReadU64(reinterpret_cast<const uint8_t*>(file.data()) + l0 + 571 + 8), l0);
    m.WriteFile(kSelf, file);
    CUnPack unpack;
    EXPECT_EQ(unpack.FindHeader().offset, l0);
    EXPECT_EQ(FindLines(m),
              (std::vector<std::wstring>{L"[CUnPack::FindHeader] Name:C:\\Downloads\\VESK.exe",
                                         L"[CUnPack::FindHeader] Sign Size:0",
                                         L"[CUnPack::FindHeader] Header offset:1536"}));
}

TEST(FindHeader, Pe32AndPe32PlusKeepTheCertificateSizeInDifferentPlaces) {
    for (uint16_t magic : {pkg::kMagicPe32, pkg::kMagicPe32Plus}) {
        sim::SimMachine m;
        const std::string stub = testpkg::Stub(magic, 2048, 200);
        m.WriteFile(kSelf, testpkg::Sign(testpkg::Pack(stub, {{"a.txt", "abc"}}), 1200));
        CUnPack unpack;
        EXPECT_EQ(unpack.FindHeader().offset, 2048u) << magic;
        EXPECT_EQ(FindLines(m)[1], L"[CUnPack::FindHeader] Sign Size:1200");
    }
    // Anything but the two magics carries no package, whatever the headers hold.
    sim::SimMachine m;
    std::string file = testpkg::Pack(testpkg::Stub(0x107), {{"a.txt", "abc"}});
    m.WriteFile(kSelf, file);
    CUnPack unpack;
    EXPECT_EQ(unpack.FindHeader().offset, 0u);
    EXPECT_EQ(FindLines(m).back(), L"[CUnPack::FindHeader] Unknown image type:0x107");
}

TEST(FindHeader, NegativeAndOversizedCertificateSizes) {
    {
        // Negative counts as no table: the trailer is the last record of the file.
        sim::SimMachine m;
        std::string file = testpkg::Pack(testpkg::Stub(), {{"a.txt", "abc"}});
        testpkg::SetCertificateSize(file, -40);
        m.WriteFile(kSelf, file);
        CUnPack unpack;
        EXPECT_EQ(unpack.FindHeader().offset, 1536u);
        EXPECT_EQ(FindLines(m)[1], L"[CUnPack::FindHeader] Sign Size:-40");
    }
    {
        // Larger than the file: no package, nothing read past the size line.
        sim::SimMachine m;
        std::string file = testpkg::Pack(testpkg::Stub(), {{"a.txt", "abc"}});
        testpkg::SetCertificateSize(file, static_cast<int32_t>(file.size()));
        m.WriteFile(kSelf, file);
        CUnPack unpack;
        EXPECT_EQ(unpack.FindHeader().offset, 0u);
        EXPECT_EQ(FindLines(m).size(), 2u);
        EXPECT_FALSE(unpack.UnPackFiles());
        EXPECT_TRUE(m.CallsStartingWith(L"CreateFolderInFolder").empty());
    }
}

TEST(FindHeader, HeadersOffsetPastTheEndOrNegativeMeansNoPackage) {
    for (int32_t lfanew : {1 << 20, -64}) {
        sim::SimMachine m;
        m.WriteFile(
            kSelf, testpkg::Pack(testpkg::Stub(pkg::kMagicPe32, 1536, lfanew), {{"a.txt", "abc"}}));
        CUnPack unpack;
        EXPECT_EQ(unpack.FindHeader().offset, 0u);
        EXPECT_EQ(FindLines(m).size(), 1u);  // only the name
    }
}

TEST(FindHeader, TrailerOffsetZeroOrPastTheEnd) {
    {
        sim::SimMachine m;
        m.WriteFile(kSelf, testpkg::Pack(testpkg::Stub(), {{"a.txt", "abc"}}, 0));
        CUnPack unpack;
        EXPECT_EQ(unpack.FindHeader().offset, 0u);
        EXPECT_EQ(FindLines(m).back(), L"[CUnPack::FindHeader] Header offset:0");
        EXPECT_FALSE(unpack.UnPackFiles());
    }
    {
        // Past the end, beyond 4 GiB: used at full width (the log shows the low 32 bits); the
        // run finds nothing to read and completes without creating the work folder.
        sim::SimMachine m;
        const uint64_t far = (uint64_t(1) << 32) + 16;
        m.WriteFile(kSelf, testpkg::Pack(testpkg::Stub(), {{"a.txt", "abc"}}, far));
        CUnPack unpack;
        EXPECT_EQ(unpack.FindHeader().offset, far);
        EXPECT_EQ(FindLines(m).back(), L"[CUnPack::FindHeader] Header offset:16");
        EXPECT_TRUE(unpack.UnPackFiles());
        EXPECT_TRUE(unpack.m_bUnPacked);
        EXPECT_EQ(m.LogMessages().back(), L"[CUnPack::UnPackFiles] UnPack total 0 files.");
        EXPECT_TRUE(m.CallsStartingWith(L"CreateFolderInFolder").empty());
    }
}

TEST(FindHeader, OwnFileThatCannotBeOpenedIsLoggedWithItsError) {
    sim::SimMachine m;  // no file at the module path
    CUnPack unpack;
    EXPECT_EQ(unpack.FindHeader().offset, 0u);
    const auto lines = m.LogMessages();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], L"[CUnPack::FindHeader] Fail");
    EXPECT_EQ(lines[2],
              L"[CUtility::FileException] C:\\Downloads\\VESK.exe: The system cannot find the file "
              L"specified.");
}

TEST(FindHeader, TheBareStubHasNoPackage) {
    // A stub without a package: its last bytes are zero, so the offset read is 0.
    sim::SimMachine m;
    m.WriteFile(kSelf, testpkg::Stub());
    CUnPack unpack;
    EXPECT_EQ(unpack.FindHeader().offset, 0u);
}

}  // namespace
