// Extraction of the package appended to the launcher into the per-session work folder.
#pragma once

#include <cstdint>
#include <string>

#include "platform/types.h"

class CUnPack {
public:
    CUnPack() = default;
    ~CUnPack() = default;
    CUnPack(const CUnPack&) = delete;
    CUnPack& operator=(const CUnPack&) = delete;

    uint64_t FindHeader();
    int UnPackAndWait();
    void StartThread();
    static uint32_t UnPackThreadProc(void* param);
    bool UnPackFiles();
    std::wstring GetWorkFolder();
    void RemoveWorkFolder();

    plat::Handle m_hThread = 0;
    std::wstring m_strWorkFolder;
    bool m_bUnPacked = false;
    // The work folder, or the "unpackvesk" folder above it, is a link that could not be removed:
    // nothing is written into it or deleted from it, and the start-up treats it as missing.
    bool m_bWorkFolderRefused = false;
};
