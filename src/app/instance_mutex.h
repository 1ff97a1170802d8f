// The single-instance lock: a session-local named mutex created during static initialisation,
// before anything else of the run.
#pragma once

#include <cstdint>
#include <string>

#include "util/scoped_handle.h"

constexpr const wchar_t* kInstanceMutexName = L"{6D2A41C0-93E7-4b5e-8F1A-2C7D90B3E514}";

class CInstanceMutex {
public:
    CInstanceMutex();  // unnamed
    explicit CInstanceMutex(const wchar_t* name);
    ~CInstanceMutex();
    CInstanceMutex(const CInstanceMutex&) = delete;
    CInstanceMutex& operator=(const CInstanceMutex&) = delete;

    void Create();
    void Close();
    // What the system answered the last creation with: 0 (made now), kErrorAlreadyExists (it
    // existed already) or kErrorAccessDenied (it exists and may not be opened by this process),
    // as the last error after CreateMutex tells it.
    uint32_t Answer() const { return m_dwAnswer; }
    // The mutex existed already (183) or exists and may not be opened by this process (5).
    bool IsAlreadyExists() const;
    bool HoldsHandle() const { return static_cast<bool>(m_hMutex); }

private:
    uint32_t m_dwAnswer = 0;
    UniqueHandle m_hMutex;
    bool m_bUnnamed = true;
    std::wstring m_strName;
};

extern CInstanceMutex g_instanceMutex;
