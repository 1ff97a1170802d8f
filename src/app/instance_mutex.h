// The single-instance lock: a session-local named mutex created during static initialisation,
// before anything else of the run.
#pragma once

#include <cstdint>
#include <string>

#include "platform/types.h"

constexpr const wchar_t* kInstanceMutexName = L"{6D2A41C0-93E7-4b5e-8F1A-2C7D90B3E514}";

class CInstanceMutex {
public:
    CInstanceMutex();                         // unnamed
    explicit CInstanceMutex(const wchar_t* name);
    ~CInstanceMutex();
    CInstanceMutex(const CInstanceMutex&) = delete;
    CInstanceMutex& operator=(const CInstanceMutex&) = delete;

    void Create();
    void Close();
    // The mutex existed already (183) or exists and may not be opened by this process (5).
    bool IsAlreadyExists() const;
    uint32_t LastError() const { return m_dwLastError; }
    bool HoldsHandle() const { return m_hMutex != 0; }

private:
    uint32_t m_dwLastError = 0;
    plat::Handle m_hMutex = 0;
    bool m_bUnnamed = true;
    std::wstring m_strName;
};

extern CInstanceMutex g_instanceMutex;
