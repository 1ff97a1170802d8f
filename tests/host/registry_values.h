// Reading the simulated hives back in registry tests.
#pragma once

#include <string>

#include "sim/sim_machine.h"
#include "util/text.h"

namespace regtest {

constexpr const wchar_t* kBaseKey = L"Software\\Quintrova Inc.\\Quintrova Remote Server";
constexpr const wchar_t* kProductKey1 = L"Software\\Quintrova Inc.\\Quintrova Remote Server VESK_1";
constexpr const wchar_t* kProductKey2 = L"Software\\Quintrova Inc.\\Quintrova Remote Server VESK_2";
constexpr const wchar_t* kBusinessKey1 =
    L"Software\\Quintrova Inc.\\Quintrova Remote Server VESK_1 for Business";

// The stored bytes of a value as text ("<missing>" when absent), terminator included as "\0".
inline std::wstring Text(const sim::SimMachine& m, const std::wstring& hive,
                         const std::wstring& key, const std::wstring& name) {
    sim::SimMachine::RegValue v;
    if (!m.GetRegValue(hive, key, name, v)) return L"<missing>";
    return text::FromUtf16Le(v.data.data(), v.data.size());
}

// A stored REG_SZ's text: the characters and the terminator.
inline std::wstring Sz(std::wstring s) {
    s.push_back(L'\0');
    return s;
}

inline bool Has(const sim::SimMachine& m, const std::wstring& hive, const std::wstring& key,
                const std::wstring& name) {
    sim::SimMachine::RegValue v;
    return m.GetRegValue(hive, key, name, v);
}

// A REG_DWORD value, or -1 when missing or of another type or size.
inline int64_t Dword(const sim::SimMachine& m, const std::wstring& hive, const std::wstring& key,
                     const std::wstring& name) {
    sim::SimMachine::RegValue v;
    if (!m.GetRegValue(hive, key, name, v) || v.type != plat::kRegDword || v.data.size() != 4)
        return -1;
    return int64_t(v.data[0]) | int64_t(v.data[1]) << 8 | int64_t(v.data[2]) << 16 |
           int64_t(v.data[3]) << 24;
}

}  // namespace regtest
