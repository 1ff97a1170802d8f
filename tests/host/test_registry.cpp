#include <gtest/gtest.h>

#include "registry/registry.h"
#include "registry_values.h"
#include "sim/sim_machine.h"

namespace {

using namespace regtest;

// Reads as the launcher's callers make them: the default in the variable, kept when a read fails.
uint32_t ReadDword(CRegistry& r, const std::wstring& name, uint32_t value,
                   const std::wstring& subKey = std::wstring()) {
    r.GetDWORDValue(name, value, subKey);
    return value;
}
std::wstring ReadString(CRegistry& r, const std::wstring& name, std::wstring value,
                        const std::wstring& subKey = std::wstring()) {
    r.GetStringValue(name, value, subKey);
    return value;
}
uint32_t TypeOf(CRegistry& r, const std::wstring& name,
                const std::wstring& subKey = std::wstring()) {
    uint32_t type = plat::kRegNone;
    r.GetValueType(name, type, subKey);
    return type;
}
uint32_t LastError() {
    return plat::kernel().GetLastError();
}

TEST(RegistryRoot, OnlyPredefinedRootsAndTheMachineHiveRedirected) {
    sim::SimMachine m;
    CRegistry r;
    EXPECT_EQ(r.GetRootKey(), plat::kHkeyCurrentUser);
    EXPECT_TRUE(r.SetRootKey(plat::kHkeyLocalMachine, true));
    EXPECT_EQ(r.GetRootKey(), plat::kHkeyCurrentUser);
    EXPECT_TRUE(r.SetRootKey(plat::kHkeyLocalMachine, false));
    EXPECT_EQ(r.GetRootKey(), plat::kHkeyLocalMachine);
    EXPECT_TRUE(r.SetRootKey(plat::kHkeyUsers, true));
    EXPECT_EQ(r.GetRootKey(), plat::kHkeyUsers);
    for (plat::HKey other : {plat::HKey(0), plat::HKey(0x80000004), plat::HKey(0x1004)}) {
        EXPECT_FALSE(r.SetRootKey(other, true)) << other.value;
        EXPECT_EQ(r.GetRootKey(), plat::kHkeyUsers);
    }

    // Machine scope without redirection really is the machine hive.
    EXPECT_TRUE(r.SetRootKey(plat::kHkeyLocalMachine, false));
    EXPECT_TRUE(r.OpenKey(L"Software\\M", true));
    EXPECT_TRUE(r.SetDWORDValue(L"v", 7));
    EXPECT_EQ(Dword(m, L"MACHINE", L"Software\\M", L"v"), 7);
    EXPECT_FALSE(Has(m, L"user", L"Software\\M", L"v"));

    EXPECT_TRUE(r.Reset());
    EXPECT_EQ(r.GetRootKey(), plat::kHkeyCurrentUser);
    EXPECT_EQ(r.GetKeyPath(), L"");
    EXPECT_EQ(m.OpenRegistryKeys(), 0);
}

TEST(RegistryRoot, TheHiveIsTheLoggedOnUsersEvenForSystem) {
    {
        sim::SimMachine m;
        m.token = sim::TokenKind::System;
        CRegistry r;
        ASSERT_TRUE(r.OpenKey(L"Software\\X", true));
        ASSERT_TRUE(r.SetStringValue(L"v", L"a", plat::kRegSz));
        EXPECT_EQ(Text(m, L"user", L"Software\\X", L"v"), Sz(L"a"));
        EXPECT_FALSE(Has(m, L"SYSTEM", L"Software\\X", L"v"));
        EXPECT_EQ(m.CallsStartingWith(L"RegOpenCurrentUser as user").size(), 2u);
        EXPECT_EQ(m.impersonating, L"");  // only for the opening of the hive
        EXPECT_EQ(m.OpenRegistryKeys(), 0);
    }
    {
        // No user token to be had (nobody logged on, no shell): the process's own hive.
        sim::SimMachine m;
        m.token = sim::TokenKind::System;
        m.sessionUsers.clear();
        for (uint32_t pid : m.ProcessesNamed(L"explorer.exe")) m.EndProcess(pid, 0);
        CRegistry r;
        ASSERT_TRUE(r.OpenKey(L"Software\\X", true));
        ASSERT_TRUE(r.SetDWORDValue(L"v", 1));
        EXPECT_EQ(Dword(m, L"SYSTEM", L"Software\\X", L"v"), 1);
        EXPECT_FALSE(Has(m, L"user", L"Software\\X", L"v"));
    }
    {
        // The hive does not open: the predefined root, the hive of the account the process
        // runs as.
        sim::SimMachine m;
        m.token = sim::TokenKind::System;
        m.regOpenCurrentUserFails = true;
        CRegistry r;
        ASSERT_TRUE(r.OpenKey(L"Software\\X", true));
        ASSERT_TRUE(r.SetDWORDValue(L"v", 1));
        EXPECT_EQ(Dword(m, L"SYSTEM", L"Software\\X", L"v"), 1);
        EXPECT_EQ(m.impersonating, L"");
        // The root itself as current key: the predefined handle serves and is left open.
        ASSERT_TRUE(r.OpenKey(L"", false));
        ASSERT_TRUE(r.SetDWORDValue(L"top", 2));
        EXPECT_EQ(ReadDword(r, L"top", 0), 2u);
        EXPECT_TRUE(r.ValueExists(L"top"));
        EXPECT_TRUE(r.DeleteValue(L"top"));
        EXPECT_FALSE(Has(m, L"SYSTEM", L"", L"top"));
        EXPECT_TRUE(m.CallsStartingWith(L"RegCloseKey").empty());
        EXPECT_EQ(m.OpenRegistryKeys(), 0);
    }
}

TEST(RegistryKeys, SelectionRules) {
    sim::SimMachine m;
    m.SetRegDword(L"user", L"", L"atRoot", 5);
    CRegistry r;

    // An empty name is the root itself: nothing opened or created.
    EXPECT_TRUE(r.OpenKey(L"", true));
    EXPECT_EQ(r.GetKeyPath(), L"");
    EXPECT_TRUE(m.CallsStartingWith(L"RegCreateKeyEx").empty());
    EXPECT_TRUE(m.CallsStartingWith(L"RegOpenKeyEx").empty());
    EXPECT_EQ(ReadDword(r, L"atRoot", 0), 5u);

    EXPECT_TRUE(r.OpenKey(L"Software\\A", true));
    EXPECT_TRUE(m.RegKeyExists(L"user", L"Software\\A"));
    EXPECT_EQ(r.GetKeyPath(), L"Software\\A");

    // A failed selection keeps the previous key, and the status of the failed open.
    EXPECT_FALSE(r.OpenKey(L"Software\\Missing", false));
    EXPECT_FALSE(m.RegKeyExists(L"user", L"Software\\Missing"));
    EXPECT_EQ(r.GetKeyPath(), L"Software\\A");
    EXPECT_EQ(LastError(), plat::kErrorFileNotFound);
    m.regKeyRights[L"user\\Software\\Locked"] = 0;
    EXPECT_FALSE(r.OpenKey(L"Software\\Locked", true));
    EXPECT_EQ(r.GetKeyPath(), L"Software\\A");
    EXPECT_TRUE(r.SetDWORDValue(L"stillHere", 1));
    EXPECT_EQ(Dword(m, L"user", L"Software\\A", L"stillHere"), 1);

    plat::kernel().SetLastError(0);
    EXPECT_TRUE(r.OpenKey(L"Software\\A", false));
    EXPECT_EQ(LastError(), 0u);  // a selection that succeeds leaves no error behind
    EXPECT_TRUE(r.OpenKey(L"", false));
    EXPECT_EQ(r.GetKeyPath(), L"");

    // Presence tests.
    EXPECT_TRUE(r.KeyExists(L"Software\\A"));
    EXPECT_FALSE(r.KeyExists(L"Software\\Missing"));
    m.CreateRegKey(L"MACHINE", L"Software\\OnlyThere");
    EXPECT_TRUE(r.KeyExists(L"Software\\OnlyThere", plat::kHkeyLocalMachine));
    EXPECT_FALSE(r.KeyExists(L"Software\\OnlyThere"));
    EXPECT_TRUE(r.ValueExists(L"atRoot"));
    EXPECT_FALSE(r.ValueExists(L"nope"));

    // A link, even to a key of the same hive, is not gone through: nothing selected, read or
    // created where it leads.
    m.MakeRegLink(L"user", L"Software\\L", L"user", L"Software\\A");
    EXPECT_FALSE(r.OpenKey(L"Software\\L", false));
    EXPECT_EQ(LastError(), plat::kErrorAccessDenied);
    EXPECT_FALSE(r.OpenKey(L"Software\\L\\New", true));
    EXPECT_FALSE(m.RegKeyExists(L"user", L"Software\\A\\New"));
    EXPECT_EQ(ReadDword(r, L"stillHere", 7, L"Software\\L"), 7u);
    EXPECT_EQ(m.OpenRegistryKeys(), 0);
}

TEST(RegistryValues, DwordReadsTakeAnyTypeOfAtMostFourBytes) {
    sim::SimMachine m;
    m.SetRegDword(L"user", L"K", L"dword", 0x12345678);
    m.SetRegValue(L"user", L"K", L"bin4", plat::kRegBinary, {0x2A, 0, 0, 0});
    m.SetRegValue(L"user", L"K", L"bin2", plat::kRegBinary, {0x01, 0x02});
    m.SetRegString(L"user", L"K", L"text", L"hello");
    m.SetRegValue(L"user", L"K", L"qword", 11, {1, 0, 0, 0, 0, 0, 0, 0});
    m.SetRegDword(L"user", L"K\\Sub", L"inner", 9);
    CRegistry r;
    ASSERT_TRUE(r.OpenKey(L"K", false));
    EXPECT_EQ(ReadDword(r, L"dword", 1), 0x12345678u);
    EXPECT_EQ(ReadDword(r, L"bin4", 1), 42u);
    EXPECT_EQ(ReadDword(r, L"bin2", 1), 0x0201u);
    EXPECT_EQ(ReadDword(r, L"text", 1), 1u);  // 12 bytes
    EXPECT_EQ(ReadDword(r, L"qword", 1), 1u);
    EXPECT_EQ(ReadDword(r, L"missing", 77), 77u);
    EXPECT_EQ(ReadDword(r, L"inner", 1, L"Sub"), 9u);
    EXPECT_EQ(ReadDword(r, L"inner", 1, L"NoSuchSub"), 1u);

    // A sub-key below the root itself.
    ASSERT_TRUE(r.OpenKey(L"", false));
    EXPECT_EQ(ReadDword(r, L"dword", 1, L"K"), 0x12345678u);
    EXPECT_EQ(TypeOf(r, L"dword", L"K"), plat::kRegDword);
    EXPECT_EQ(m.OpenRegistryKeys(), 0);
}

TEST(RegistryValues, StringReadsTakeOnlyTextTypes) {
    sim::SimMachine m;
    m.SetRegString(L"user", L"K", L"sz", L"hello");
    m.SetRegString(L"user", L"K", L"expand", L"%TEMP%\\x", plat::kRegExpandSz);
    m.SetRegDword(L"user", L"K", L"dword", 0x41);
    m.SetRegValue(L"user", L"K", L"unterminated", plat::kRegSz, {'a', 0, 'b', 0, 'c', 0});
    m.SetRegValue(L"user", L"K", L"odd", plat::kRegSz, {'a', 0, 'b', 0, 'c'});
    m.SetRegValue(L"user", L"K", L"embedded", plat::kRegSz, {'a', 0, 0, 0, 'b', 0, 0, 0});
    m.SetRegValue(L"user", L"K", L"empty", plat::kRegSz, {});
    m.SetRegValue(L"user", L"K", L"multi", 7, {'a', 0, 0, 0, 0, 0});
    m.SetRegString(L"user", L"K\\Sub", L"inner", L"deep");
    CRegistry r;
    ASSERT_TRUE(r.OpenKey(L"K", true));
    EXPECT_EQ(ReadString(r, L"sz", L"d"), L"hello");
    EXPECT_EQ(ReadString(r, L"expand", L"d"), L"%TEMP%\\x");
    EXPECT_EQ(ReadString(r, L"dword", L"d"), L"d");
    EXPECT_EQ(ReadString(r, L"unterminated", L"d"), L"abc");
    EXPECT_EQ(ReadString(r, L"odd", L"d"), L"ab");
    EXPECT_EQ(ReadString(r, L"embedded", L"d"), L"a");
    EXPECT_EQ(ReadString(r, L"empty", L"d"), L"");
    EXPECT_EQ(ReadString(r, L"multi", L"d"), L"d");
    EXPECT_EQ(ReadString(r, L"missing", L"d"), L"d");
    EXPECT_EQ(LastError(), plat::kErrorFileNotFound);
    std::wstring inner = L"d";
    EXPECT_TRUE(r.GetStringValue(L"inner", inner, L"Sub"));
    EXPECT_EQ(inner, L"deep");

    EXPECT_EQ(TypeOf(r, L"expand"), plat::kRegExpandSz);
    EXPECT_EQ(TypeOf(r, L"missing"), 0u);
    EXPECT_EQ(TypeOf(r, L"sz", L"NoSuchSub"), 0u);
    EXPECT_EQ(LastError(), plat::kErrorFileNotFound);
    EXPECT_EQ(m.OpenRegistryKeys(), 0);
}

TEST(RegistryValues, WritesStoreTerminatedTextAndFourByteNumbers) {
    sim::SimMachine m;
    CRegistry r;
    ASSERT_TRUE(r.OpenKey(L"K", true));
    EXPECT_TRUE(r.SetStringValue(L"empty", L"", plat::kRegSz));
    EXPECT_TRUE(r.SetStringValue(L"text", L"h\u00e9llo", plat::kRegSz));
    EXPECT_TRUE(r.SetStringValue(L"exp", L"%A%", plat::kRegExpandSz));
    EXPECT_TRUE(r.SetDWORDValue(L"n", 0xDEADBEEF));

    sim::SimMachine::RegValue v;
    ASSERT_TRUE(m.GetRegValue(L"user", L"K", L"empty", v));
    EXPECT_EQ(v.type, plat::kRegSz);
    EXPECT_EQ(v.data, (std::vector<uint8_t>{0, 0}));
    ASSERT_TRUE(m.GetRegValue(L"user", L"K", L"text", v));
    EXPECT_EQ(v.data.size(), 12u);
    EXPECT_EQ(Text(m, L"user", L"K", L"text"), Sz(L"h\u00e9llo"));
    ASSERT_TRUE(m.GetRegValue(L"user", L"K", L"exp", v));
    EXPECT_EQ(v.type, plat::kRegExpandSz);
    ASSERT_TRUE(m.GetRegValue(L"user", L"K", L"n", v));
    EXPECT_EQ(v.type, plat::kRegDword);
    EXPECT_EQ(v.data, (std::vector<uint8_t>{0xEF, 0xBE, 0xAD, 0xDE}));

    // What is written reads back.
    EXPECT_EQ(ReadString(r, L"text", L"d"), L"h\u00e9llo");
    EXPECT_EQ(ReadString(r, L"empty", L"d"), L"");
    EXPECT_EQ(ReadDword(r, L"n", 0), 0xDEADBEEFu);

    // Deleting: names without regard to case; a missing value changes nothing.
    EXPECT_FALSE(r.DeleteValue(L"missing"));
    EXPECT_TRUE(r.DeleteValue(L"N"));
    EXPECT_FALSE(r.DeleteValue(L"n"));
    EXPECT_FALSE(r.ValueExists(L"n"));
    EXPECT_TRUE(r.ValueExists(L"text"));
    EXPECT_EQ(m.OpenRegistryKeys(), 0);
}

// Each operation asks for exactly the rights it needs: a key that grants only some rights
// serves the operations within them and refuses the others.
TEST(RegistryValues, AccessRightsPerOperation) {
    const std::wstring key = L"user\\K";
    {
        sim::SimMachine m;
        m.SetRegString(L"user", L"K", L"s", L"x");
        m.SetRegDword(L"user", L"K", L"n", 3);
        m.regKeyRights[key] = plat::kKeyRead;
        CRegistry r;
        ASSERT_TRUE(r.OpenKey(L"K", false));
        EXPECT_EQ(ReadString(r, L"s", L"d"), L"x");
        EXPECT_EQ(ReadDword(r, L"n", 0), 3u);
        EXPECT_EQ(TypeOf(r, L"n"), plat::kRegDword);
        EXPECT_FALSE(r.SetDWORDValue(L"n", 4));
        EXPECT_FALSE(r.SetStringValue(L"s", L"y", plat::kRegSz));
        EXPECT_FALSE(r.DeleteValue(L"n"));
        EXPECT_FALSE(r.ValueExists(L"n"));    // asks for all access
        EXPECT_FALSE(r.KeyExists(L"K"));      // so does this
        EXPECT_FALSE(r.OpenKey(L"K", true));  // and creation
        EXPECT_EQ(Dword(m, L"user", L"K", L"n"), 3);
    }
    {
        sim::SimMachine m;
        m.SetRegString(L"user", L"K", L"s", L"x");
        CRegistry r;
        ASSERT_TRUE(r.OpenKey(L"K", false));
        m.regKeyRights[key] = plat::kKeyQueryValue;
        EXPECT_EQ(TypeOf(r, L"s"), plat::kRegSz);
        EXPECT_EQ(ReadString(r, L"s", L"d"), L"d");  // reading needs KEY_READ
        EXPECT_EQ(LastError(), plat::kErrorAccessDenied);
    }
    {
        sim::SimMachine m;
        m.SetRegDword(L"user", L"K", L"n", 3);
        CRegistry r;
        ASSERT_TRUE(r.OpenKey(L"K", false));
        m.regKeyRights[key] = plat::kKeyWrite;
        EXPECT_TRUE(r.SetDWORDValue(L"n", 4));
        EXPECT_TRUE(r.SetStringValue(L"s", L"y", plat::kRegSz));
        EXPECT_EQ(ReadDword(r, L"n", 0), 0u);
        EXPECT_TRUE(r.DeleteValue(L"n"));
        EXPECT_FALSE(Has(m, L"user", L"K", L"n"));
        EXPECT_EQ(m.OpenRegistryKeys(), 0);
    }
    {
        sim::SimMachine m;
        m.SetRegDword(L"user", L"K", L"n", 3);
        CRegistry r;
        ASSERT_TRUE(r.OpenKey(L"K", false));
        m.regKeyRights[key] = plat::kKeySetValue;
        EXPECT_FALSE(r.SetDWORDValue(L"n", 4));  // KEY_WRITE is more than KEY_SET_VALUE
        EXPECT_TRUE(r.DeleteValue(L"n"));
    }
}

TEST(RegistryFlags, LazyWritesNeverFlushAndTheViewFlagReachesEveryOpen) {
    sim::SimMachine m;
    CRegistry r;
    ASSERT_TRUE(r.OpenKey(L"K", true));
    ASSERT_TRUE(r.SetDWORDValue(L"n", 1));
    ASSERT_TRUE(r.SetStringValue(L"s", L"x", plat::kRegSz));
    EXPECT_EQ(m.registryWriteFlushes, 0);

    r.SetLazyWrite(false);
    ASSERT_TRUE(r.OpenKey(L"K", true));
    ASSERT_TRUE(r.OpenKey(L"K", false));
    ASSERT_TRUE(r.SetDWORDValue(L"n", 2));
    ASSERT_TRUE(r.SetStringValue(L"s", L"y", plat::kRegSz));
    EXPECT_TRUE(r.DeleteValue(L"s"));
    EXPECT_EQ(ReadDword(r, L"n", 0), 2u);
    EXPECT_EQ(m.registryWriteFlushes, 4);  // two selections, two writes; no delete, no read

    r.Reset();  // lazy again
    ASSERT_TRUE(r.OpenKey(L"K", true));
    EXPECT_EQ(m.registryWriteFlushes, 4);

    m.calls.clear();
    r.Set64BitView(true);
    r.Reset();  // the view flag stays
    ASSERT_TRUE(r.OpenKey(L"K\\SUB", true));
    ASSERT_TRUE(r.OpenKey(L"K", false));
    TypeOf(r, L"n");
    r.DeleteValue(L"n");
    r.SetDWORDValue(L"n", 1);
    EXPECT_EQ(m.CallsStartingWith(L"RegCreateKeyEx "),
              std::vector<std::wstring>{L"RegCreateKeyEx user\\K\\SUB 0xF013F"});
    // Keys on the way are opened to be looked at (0x1), and so is a key opened without that right.
    EXPECT_EQ(m.CallsStartingWith(L"RegOpenKeyEx "),
              (std::vector<std::wstring>{
                  L"RegOpenKeyEx user\\K 0x101", L"RegOpenKeyEx user\\K\\SUB 0xF013F",
                  L"RegOpenKeyEx user\\K 0x20119", L"RegOpenKeyEx user\\K 0x101",
                  L"RegOpenKeyEx user\\K 0x102", L"RegOpenKeyEx user\\K 0x101",
                  L"RegOpenKeyEx user\\K 0x20106", L"RegOpenKeyEx user\\K 0x101"}));
}

}  // namespace
