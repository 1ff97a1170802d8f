#include <gtest/gtest.h>

#include "app/app.h"
#include "sim/sim_machine.h"
#include "util/held_folder.h"

namespace {

std::wstring TokenFromName(const std::wstring& modulePath) {
    sim::SimMachine m;
    m.moduleFile = modulePath;
    CUnPackFileApp app;
    RunState run;
    run.token = L"unchanged";
    app.GetTokenFromFileName(run);
    return run.token;
}

TEST(LaunchToken, FromTheLaunchersFileName) {
    EXPECT_EQ(TokenFromName(L"C:\\Downloads\\Support-ab12cd.exe"), L"ab12cd");
    EXPECT_EQ(TokenFromName(L"C:\\Downloads\\Support-ab12cd_2.exe"), L"ab12cd");
    EXPECT_EQ(TokenFromName(L"C:\\Downloads\\Support-ab_12_x.EXE"), L"ab_12");
    EXPECT_EQ(TokenFromName(L"C:\\my-files\\Support.exe"), L"unchanged");
    EXPECT_EQ(TokenFromName(L"C:\\Downloads\\Support-ab12cd.Exe"), L"ab12cd.Exe");
    EXPECT_EQ(TokenFromName(L"C:\\Downloads\\Support.exe"), L"unchanged");
    EXPECT_EQ(TokenFromName(L"C:\\Downloads\\Support-.exe"), L"");
    EXPECT_EQ(TokenFromName(L""), L"unchanged");
    // A browser's mark of a repeated download is no part of the token; other brackets are.
    EXPECT_EQ(TokenFromName(L"C:\\Downloads\\Support-ab12cd (1).exe"), L"ab12cd");
    EXPECT_EQ(TokenFromName(L"C:\\Downloads\\Support-ab12cd(2).exe"), L"ab12cd");
    EXPECT_EQ(TokenFromName(L"C:\\Downloads\\Support-\u00f1and\u00fa_2[13].EXE"),
              L"\u00f1and\u00fa");
    EXPECT_EQ(TokenFromName(L"C:\\Downloads\\Support-ab(1) [x].exe"), L"ab(1) [x]");
}

std::wstring ComposedToken(const std::string& ini,
                           const std::wstring& module = L"C:\\Downloads\\VESK-gw42_1.exe") {
    sim::SimMachine m;
    m.moduleFile = module;
    m.WriteFile(L"C:\\work\\setup.ini", ini);
    CUnPackFileApp app;
    CHeldFolder work;
    EXPECT_TRUE(work.Open(L"C:\\work"));
    RunState run;
    app.ReadPackageSettings(work, run);
    return run.token;
}

TEST(LaunchToken, FromSetupIniWithItsSuffixesInOrder) {
    EXPECT_EQ(ComposedToken("[Settings]\r\nvesk_token=abc\r\ntoken_kind=z\r\ntoken_category=x\r\n"),
              L"abc_Cx_Kz");
    EXPECT_EQ(ComposedToken("[Settings]\nvesk_token=abc\ntoken_mode=m\ntoken_kind=k\n"
                            "token_category=c\n"),
              L"abc_Cc_Mm_Kk");
    EXPECT_EQ(ComposedToken("[Settings]\nvesk_token=abc\ntoken_mode=\n"), L"abc");
    EXPECT_EQ(ComposedToken("[Other]\nvesk_token=abc\n"), L"");
}

TEST(LaunchToken, GatewayModeTakesTheFileNameWithoutSuffixes) {
    EXPECT_EQ(ComposedToken("[Settings]\ngateway_mode=1\ntoken_category=x\n"), L"gw42");
    EXPECT_EQ(ComposedToken("[Settings]\nvesk_token=\ngateway_mode=1\n"), L"gw42");
    EXPECT_EQ(ComposedToken("[Settings]\ngateway_mode=0\n"), L"");
    EXPECT_EQ(ComposedToken("[Settings]\ngateway_mode=yes\n"), L"");
    EXPECT_EQ(ComposedToken("[Settings]\n"), L"");
    // A token in the file wins over gateway mode.
    EXPECT_EQ(ComposedToken("[Settings]\nvesk_token=t\ngateway_mode=1\n"), L"t");
}

TEST(LaunchToken, ValuesKeepAtMost255Characters) {
    const std::string longValue(300, 'q');
    EXPECT_EQ(ComposedToken("[Settings]\nvesk_token=" + longValue + "\n"), std::wstring(255, L'q'));
    EXPECT_EQ(ComposedToken("[Settings]\nvesk_token=a\ntoken_kind=" + longValue + "\n"),
              L"a_K" + std::wstring(255, L'q'));
}

}  // namespace
