// Extraction of the package appended to the launcher into the per-session work folder.
#pragma once

#include <cstdint>
#include <string>

#include "platform/types.h"
#include "unpack/own_file.h"

class CUnPack {
public:
    // Reads the launcher's own file through `own`, the file the run holds from its start; without
    // one, through a file of its own, opened at the first read and held while the object lives.
    explicit CUnPack(COwnFile* own = nullptr) : m_pOwnFile(own) {}
    ~CUnPack();
    CUnPack(const CUnPack&) = delete;
    CUnPack& operator=(const CUnPack&) = delete;

    // An elevated run (or one of the local system account) of a launcher whose image carries a
    // certificate table proves that the file it holds is signed and unchanged (WinVerifyTrust on
    // the held handle). False when the signature does not hold: the run stops there, with one log
    // line naming the result. Runs without those rights, and unsigned launchers, pass.
    static bool CheckSignature(COwnFile& own);

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
    // An elevated run holds its work folder open without delete sharing from its creation to the
    // clean-up: nobody can rename it, or a folder above it, away and put another in its place
    // (a check of the path would not see that swap, as the path stays the same).
    plat::Handle m_hWorkFolder = 0;

private:
    COwnFile& OwnFile() { return m_pOwnFile ? *m_pOwnFile : m_ownFile; }
    COwnFile* m_pOwnFile = nullptr;
    COwnFile m_ownFile;
};
