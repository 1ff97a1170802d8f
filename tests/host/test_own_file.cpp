// The launcher's own file in a hostile download folder: held from the start of the run so that
// nobody can rename or write it, read through that one handle (the package and the elevation
// backup), and, in an elevated run of a signed launcher, its signature proven before anything
// else is done.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "app/app.h"
#include "app/instance_mutex.h"
#include "host/package_builder.h"
#include "platform/platform.h"
#include "registry_values.h"
#include "sim/sim_machine.h"
#include "unpack/unpack.h"
#include "unpack/work_folder.h"
#include "util/held_folder.h"

namespace {

const std::wstring kSelf = L"C:\\Downloads\\VESK.exe";
const std::wstring kWork = L"C:\\users\\user\\Temp\\unpackvesk\\1\\";
const std::wstring kVerifyCall = L"WinVerifyTrust " + kSelf;

std::string Package(const std::string& token) {
    return testpkg::Pack(testpkg::Stub(),
                         {{"setup.ini", "[Settings]\r\nvesk_token=" + token + "\r\n"},
                          {"QVManagerVESK.exe", "agent files of " + token},
                          {"AVESK.xml", testpkg::kTaskTemplate}});
}

int RunLauncher(CUnPackFileApp& app) {
    std::wstring self = kSelf;
    wchar_t* argv[] = {self.data()};
    RunState run;
    return RunApplication(app, 1, argv, run);
}

bool Has(const std::vector<std::wstring>& lines, const std::wstring& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Another program in the folder tries to swap the launcher's file while the launcher waits at
// its single-instance check: renaming it away and writing over it both fail (sharing
// violation), and the run unpacks and starts what it found at its start.
TEST(OwnFile, HeldFromTheStartOfTheRunNobodyMayRenameOrWriteIt) {
    sim::SimMachine m;
    m.WriteFile(kSelf, Package("original"));
    m.HoldMutex(kInstanceMutexName, 1);
    g_instanceMutex.Create();
    uint32_t renameError = 0, writeError = 0;
    bool renamed = true;
    plat::FileHandle writer(1);
    m.After(1000, [&] {
        plat::IFiles& fs = plat::files();
        CHeldFolder downloads;
        renamed =
            downloads.Open(L"C:\\Downloads") && downloads.Rename(L"VESK.exe", L"VESK.exe.old");
        renameError = plat::kernel().GetLastError();
        writer = fs.CreateFile(kSelf, plat::kGenericWrite, plat::kShareRead | plat::kShareWrite,
                               plat::kOpenExisting);
        writeError = plat::kernel().GetLastError();
        // Readers are welcome.
        const plat::FileHandle reader =
            fs.CreateFile(kSelf, plat::kGenericRead, plat::kShareRead, plat::kOpenExisting);
        EXPECT_NE(reader, plat::FileHandle());
        fs.CloseFile(reader);
        m.ReleaseMutex(kInstanceMutexName, 1);
    });
    CUnPackFileApp app;
    EXPECT_EQ(RunLauncher(app), 0);
    g_instanceMutex.Close();

    EXPECT_FALSE(renamed);
    EXPECT_EQ(renameError, plat::kErrorSharingViolation);
    EXPECT_EQ(writer, plat::FileHandle());
    EXPECT_EQ(writeError, plat::kErrorSharingViolation);
    EXPECT_FALSE(m.Exists(kSelf + L".old"));
    const auto log = m.LogMessages();
    EXPECT_TRUE(Has(log, L"[CUnPack::FindHeader] Name:" + kSelf));
    EXPECT_TRUE(Has(
        log, L"[CUnPack::UnPackFiles] UnPack count:2 len:23 File:" + kWork + L"QVManagerVESK.exe"));
    const auto starts = m.CallsStartingWith(L"CreateProcess ");
    ASSERT_FALSE(starts.empty());
    EXPECT_NE(starts.back().find(L"-t original"), std::wstring::npos) << starts.back();
}

// The running launcher (signed) renamed away and another package put at its path before the
// run opens it: nothing is read from that file, in any run, whether the system tells the two
// files apart or only their headers do (the image mapped at another base than its preferred
// one). The launcher put back at the path runs as ever.
TEST(OwnFile, AFilePutAtThePathSinceTheStartIsNeverRead) {
    for (bool systemAnswers : {true, false}) {
        sim::SimMachine m;
        m.token = systemAnswers ? sim::TokenKind::StandardUser : sim::TokenKind::ElevatedAdmin;
        m.sameFileQueryFails = !systemAnswers;
        m.WriteFile(kSelf, testpkg::Sign(Package("original"), 1200));
        m.StartImage();
        const std::string aside = m.HostPath(L"C:\\Downloads\\aside.exe");
        std::filesystem::rename(m.HostPath(kSelf), aside);
        m.WriteFile(kSelf, Package("swapped"));
        CUnPackFileApp app;
        EXPECT_EQ(RunLauncher(app), 0);
        EXPECT_EQ(m.LogMessages(), std::vector<std::wstring>{L"[COwnFile::Open] " + kSelf +
                                                             L" is not the file this program "
                                                             L"was started from, run stopped"});
        EXPECT_FALSE(m.Exists(L"C:\\users\\user\\Temp\\unpackvesk"));
        EXPECT_TRUE(m.CallsStartingWith(L"ShellExecuteEx").empty());

        std::filesystem::rename(aside, m.HostPath(kSelf));
        CUnPackFileApp again;
        EXPECT_EQ(RunLauncher(again), 0);
        EXPECT_TRUE(Has(m.LogMessages(), L"[CUnPack::UnPackFiles] UnPack count:2 len:23 File:" +
                                             kWork + L"QVManagerVESK.exe"));  // "... of original"
    }
}

// The elevation backup is made from the held file, never from whatever the path names when it
// is made (here another file was put at the path behind the simulation's back).
TEST(OwnFile, TheElevationBackupCopiesTheHeldFile) {
    sim::SimMachine m;
    m.selfSession = 2;
    m.moduleVersion = {0, 0, 0x00010002, 0x00030004};
    m.WriteFile(kSelf, "MZ the launcher that started");
    CWorkFolder work;
    work.Prepare();
    CUnPackFileApp app;
    ASSERT_TRUE(app.m_ownFile.Open());
    std::filesystem::rename(m.HostPath(kSelf), m.HostPath(L"C:\\Downloads\\aside.exe"));
    m.WriteFile(kSelf, "MZ another file");

    RunState run;
    app.ExecuteCommand(work, L"/c QVManagerVESK.exe ", &run);
    const std::wstring backup = L"C:\\ProgramData\\Quintrova\\Temp\\Vesk021234.exe";
    EXPECT_EQ(m.ReadFile(backup), "MZ the launcher that started");
    EXPECT_TRUE(Has(m.LogMessages(), L"[CUnPackFileApp::ExecuteCommand] backup for elevation " +
                                         kSelf + L" to " + backup + L" 0"));
}

// ---- the signature of an elevated run ---------------------------------------------------------

class Signature : public ::testing::Test {
protected:
    // A signed launcher (a certificate table of 1200 bytes) with its package.
    void Signed() { m.WriteFile(kSelf, testpkg::Sign(Package("signed"), 1200)); }
    bool Check() {
        COwnFile own;
        return CUnPack::CheckSignature(own);
    }
    size_t Verifications() const { return m.CallsStartingWith(kVerifyCall).size(); }

    sim::SimMachine m;
};

TEST_F(Signature, AFileChangedAfterSigningStopsAnElevatedRunBeforeAnythingElse) {
    m.token = sim::TokenKind::ElevatedAdmin;
    m.trustResult = plat::kTrustEBadDigest;
    Signed();
    CUnPackFileApp app;
    EXPECT_EQ(RunLauncher(app), 0);
    // One line names the result; nothing else happened: no registry value, no window, no
    // package read, no work folder, no program started.
    EXPECT_EQ(m.LogMessages(),
              std::vector<std::wstring>{
                  L"[CUnPack::CheckSignature] Signature check failed 0x80096010, run stopped"});
    EXPECT_EQ(Verifications(), 1u);
    EXPECT_FALSE(regtest::Has(m, L"user", regtest::kProductKey1, L"ImagePath"));
    EXPECT_EQ(m.loading.windowsCreated, 0);
    EXPECT_TRUE(m.CallsStartingWith(L"CreateFolderInFolder").empty());
    EXPECT_TRUE(m.CallsStartingWith(L"CreateProcess").empty());
    EXPECT_FALSE(m.Exists(L"C:\\users\\user\\Temp\\unpackvesk"));
}

// Only a file that is not what was signed stops the run; results about the certificate (its
// chain, time, revocation) are logged, and the run goes on.
TEST_F(Signature, OnlyAFileThatIsNotWhatWasSignedStopsTheRun) {
    m.token = sim::TokenKind::ElevatedAdmin;
    Signed();
    const std::pair<uint32_t, std::wstring> cases[] = {
        {0x80096010, L"failed 0x80096010, run stopped"},  // TRUST_E_BAD_DIGEST
        {0x800B0100, L"failed 0x800B0100, run stopped"},  // TRUST_E_NOSIGNATURE, table present
        {0x800B0101, L"result 0x800B0101, run goes on"},  // CERT_E_EXPIRED, no time stamp
        {0x800B0109, L"result 0x800B0109, run goes on"},  // CERT_E_UNTRUSTEDROOT, offline
        {0x80092013, L"result 0x80092013, run goes on"},  // CRYPT_E_REVOCATION_OFFLINE
    };
    for (const auto& [result, line] : cases) {
        m.trustResult = static_cast<int32_t>(result);
        EXPECT_EQ(Check(), line.find(L"goes on") != std::wstring::npos) << line;
        EXPECT_EQ(m.LogMessages().back(), L"[CUnPack::CheckSignature] Signature check " + line);
    }
}

TEST_F(Signature, ASignatureThatHoldsLetsTheElevatedRunGoOnAsEver) {
    m.token = sim::TokenKind::ElevatedAdmin;
    Signed();
    CUnPackFileApp app;
    EXPECT_EQ(RunLauncher(app), 0);
    EXPECT_EQ(Verifications(), 1u);
    const auto log = m.LogMessages();
    EXPECT_TRUE(Has(log, L"[CUnPack::FindHeader] Sign Size:1200"));
    EXPECT_TRUE(Has(log, L"[CUnPack::UnPackFiles] UnPack total 3 files."));
    EXPECT_TRUE(Has(log, L"[CUnPackFileApp::RunAsService] RunAsService AVESK1 end"));
    EXPECT_TRUE(std::none_of(log.begin(), log.end(), [](const std::wstring& l) {
        return l.rfind(L"[CUnPack::CheckSignature]", 0) == 0;
    }));
}

TEST_F(Signature, TheSystemAccountIsCheckedAlsoWhereNoTokenTellsElevation) {
    m.token = sim::TokenKind::System;
    m.elevationQueryFails = true;  // Windows XP
    m.trustResult = plat::kTrustEBadDigest;
    Signed();
    EXPECT_FALSE(Check());
    EXPECT_EQ(m.LogMessages(),
              std::vector<std::wstring>{
                  L"[CUnPack::CheckSignature] Signature check failed 0x80096010, run stopped"});
}

TEST_F(Signature, RunsWithoutAdministratorRightsAndUnsignedLaunchersAreNotChecked) {
    m.trustResult = plat::kCertEUntrustedRoot;
    Signed();
    for (sim::TokenKind kind : {sim::TokenKind::StandardUser, sim::TokenKind::LimitedAdmin}) {
        m.token = kind;
        EXPECT_TRUE(Check());
    }
    EXPECT_EQ(Verifications(), 0u);

    // Elevated, but no certificate table; or no file to read (FindHeader reports that).
    m.token = sim::TokenKind::ElevatedAdmin;
    m.WriteFile(kSelf, Package("unsigned"));
    EXPECT_TRUE(Check());
    m.moduleFile = L"C:\\Downloads\\missing.exe";
    EXPECT_TRUE(Check());
    EXPECT_EQ(Verifications(), 0u);
    EXPECT_TRUE(m.LogMessages().empty());

    // A standard user's whole run with the untrusted signature goes on as ever.
    m.moduleFile = kSelf;
    m.token = sim::TokenKind::StandardUser;
    Signed();
    CUnPackFileApp app;
    EXPECT_EQ(RunLauncher(app), 0);
    EXPECT_EQ(Verifications(), 0u);
    EXPECT_TRUE(Has(m.LogMessages(), L"[CUnPack::UnPackFiles] UnPack total 3 files."));
}

}  // namespace
