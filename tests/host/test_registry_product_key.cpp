#include <gtest/gtest.h>

#include "app/app.h"
#include "registry/registry.h"
#include "registry_values.h"
#include "sim/sim_machine.h"
#include "util/run_context.h"

namespace {

using namespace regtest;

std::wstring Resolved() {
    CRegistry r;
    return r.ResolveUniversalPath(L"UNIVERSAL_PATH_CONVERT");
}

TEST(ProductKey, MappingIsPerSessionAndCaseSensitive) {
    sim::SimMachine m;
    const std::wstring base = kBaseKey;
    EXPECT_EQ(CRegistry::MapProductKey(base), kProductKey1);
    EXPECT_EQ(CRegistry::MapProductKey(base + L"\\ClientInfo"),
              std::wstring(kProductKey1) + L"\\ClientInfo");
    EXPECT_EQ(CRegistry::MapProductKey(base + L" for Business"), kBusinessKey1);
    EXPECT_EQ(CRegistry::MapProductKey(L"Software\\Other"), L"Software\\Other");
    EXPECT_EQ(CRegistry::MapProductKey(L"software\\quintrova inc.\\quintrova remote server"),
              L"software\\quintrova inc.\\quintrova remote server");
    EXPECT_EQ(CRegistry::MapProductKey(base + L"|" + base),
              std::wstring(kProductKey1) + L"|" + kProductKey1);

    // Each run maps with its own session.
    m.selfSession = 2;
    ForgetRun();
    EXPECT_EQ(CRegistry::MapProductKey(base), kProductKey2);
    m.selfSession = 12;
    ForgetRun();
    EXPECT_EQ(CRegistry::MapProductKey(base), base + L" VESK_12");
    m.sessionQueryFails = true;
    ForgetRun();
    EXPECT_EQ(CRegistry::MapProductKey(base), base + L" VESK_-1");
}

TEST(ProductKey, OnlyThePseudoNameIsResolvedInAnyLetterCase) {
    sim::SimMachine m;
    for (const wchar_t* name :
         {L"UNIVERSAL_PATH_CONVERT", L"universal_path_convert", L"Universal_Path_Convert"}) {
        CRegistry r;
        ASSERT_TRUE(r.SetRootKey(plat::kHkeyCurrentUser, true));
        EXPECT_TRUE(r.OpenKey(name, true));
        EXPECT_EQ(r.GetKeyPath(), kProductKey1) << name;
    }
    CRegistry r;
    EXPECT_TRUE(r.OpenKey(kBaseKey, true));
    EXPECT_EQ(r.GetKeyPath(), kBaseKey);
    EXPECT_EQ(r.ResolveUniversalPath(L"UNIVERSAL_PATH_CONVERT_X"), L"UNIVERSAL_PATH_CONVERT_X");
    EXPECT_EQ(m.OpenRegistryKeys(), 0);
}

TEST(ProductKey, ANewSessionCreatesItsKey) {
    sim::SimMachine m;
    m.selfSession = 2;
    m.sessionUsers[2] = L"user";
    EXPECT_EQ(Resolved(), kProductKey2);
    EXPECT_FALSE(m.RegKeyExists(L"user", kProductKey2));  // resolving creates nothing
    CRegistry r;
    ASSERT_TRUE(r.SetRootKey(plat::kHkeyCurrentUser, true));
    ASSERT_TRUE(r.OpenKey(L"UNIVERSAL_PATH_CONVERT", true));
    EXPECT_TRUE(m.RegKeyExists(L"user", kProductKey2));
    EXPECT_FALSE(m.RegKeyExists(L"user", kProductKey1));
}

TEST(ProductKey, ServerModeOneAloneSelectsTheBusinessForm) {
    // Both scopes are served from the user's hive, so every branch of the resolution reads the
    // product key; only whether the unmapped base key exists picks the branch.
    struct Case {
        bool baseExists;
        int64_t basedType;   // -1: absent
        int64_t serverMode;  // -1: absent
        const wchar_t* expected;
    } cases[] = {
        {false, -1, -1, kProductKey1}, {false, -1, 1, kBusinessKey1}, {false, -1, 2, kProductKey1},
        {false, -1, 0, kProductKey1},  {false, 1, 1, kBusinessKey1},  {false, 0, -1, kProductKey1},
        {false, 0, 1, kBusinessKey1},  {false, 0, 2, kProductKey1},   {true, 0, -1, kProductKey1},
        {true, 0, 1, kBusinessKey1},   {true, 0, 2, kProductKey1},    {true, 5, 1, kBusinessKey1},
        {true, 1, 2, kProductKey1},
    };
    for (const Case& c : cases) {
        sim::SimMachine m;
        m.CreateRegKey(L"user", kProductKey1);
        if (c.baseExists) m.CreateRegKey(L"user", kBaseKey);
        if (c.basedType >= 0)
            m.SetRegDword(L"user", kProductKey1, L"QVSBasedType", uint32_t(c.basedType));
        if (c.serverMode >= 0)
            m.SetRegDword(L"user", kProductKey1, L"QVServerMode", uint32_t(c.serverMode));
        EXPECT_EQ(Resolved(), c.expected)
            << c.baseExists << " " << c.basedType << " " << c.serverMode;
        EXPECT_EQ(m.OpenRegistryKeys(), 0);
        EXPECT_EQ(m.impersonating, L"");
    }
    {
        // No product key yet: the type is read at the hive root, and nothing is business.
        sim::SimMachine m;
        m.CreateRegKey(L"user", kBaseKey);
        m.SetRegDword(L"user", L"", L"QVSBasedType", 0);
        m.SetRegDword(L"user", L"", L"QVServerMode", 1);
        EXPECT_EQ(Resolved(), kProductKey1);
    }
}

TEST(ProductKey, OnlyTheProductKeyInTheUsersHiveCounts) {
    {
        // The same values under the unmapped base key or in the machine hive change nothing.
        sim::SimMachine m;
        m.SetRegDword(L"user", kBaseKey, L"QVServerMode", 1);
        m.SetRegDword(L"user", kBaseKey, L"QVSBasedType", 0);
        m.SetRegDword(L"MACHINE", kProductKey1, L"QVServerMode", 1);
        m.SetRegDword(L"MACHINE", kBaseKey, L"QVServerMode", 1);
        EXPECT_EQ(Resolved(), kProductKey1);
    }
    {
        // Another session's product key is another session's business.
        sim::SimMachine m;
        m.SetRegDword(L"user", kProductKey2, L"QVServerMode", 1);
        EXPECT_EQ(Resolved(), kProductKey1);
        m.selfSession = 2;
        ForgetRun();  // a run in session 2
        EXPECT_EQ(Resolved(),
                  L"Software\\Quintrova Inc.\\Quintrova Remote Server VESK_2 for Business");
    }
    {
        // Running as SYSTEM, the logged-on user's product key decides.
        sim::SimMachine m;
        m.token = sim::TokenKind::System;
        m.SetRegDword(L"user", kProductKey1, L"QVServerMode", 1);
        m.SetRegDword(L"SYSTEM", kProductKey1, L"QVServerMode", 2);
        EXPECT_EQ(Resolved(), kBusinessKey1);
    }
}

TEST(ProductKey, TwoSessionsKeepSeparateValues) {
    sim::SimMachine m;
    m.sessionUsers[2] = L"user";
    CUnPackFileApp app;
    m.moduleFile = L"C:\\One\\VESK.exe";
    RunState run;
    app.InitInstance(run);
    app.HandleInstruction(L"NOTE=first");

    m.selfSession = 2;
    m.moduleFile = L"C:\\Two\\VESK.exe";
    ForgetRun();  // the second launcher
    CUnPackFileApp second;
    RunState secondRun;
    second.InitInstance(secondRun);
    second.HandleInstruction(L"NOTE=second,IDLE=5");

    EXPECT_EQ(Text(m, L"user", kProductKey1, L"ImagePath"), Sz(L"C:\\One\\VESK.exe"));
    EXPECT_EQ(Text(m, L"user", kProductKey2, L"ImagePath"), Sz(L"C:\\Two\\VESK.exe"));
    EXPECT_EQ(Text(m, L"user", kProductKey1, L"NoteSession"), Sz(L"first"));
    EXPECT_EQ(Text(m, L"user", kProductKey2, L"NoteSession"), Sz(L"second"));
    EXPECT_FALSE(Has(m, L"user", kProductKey1, L"IdleSessionTimeout"));
    EXPECT_EQ(Dword(m, L"user", kProductKey2, L"IdleSessionTimeout"), 5);
}

}  // namespace
