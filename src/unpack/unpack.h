// Extraction of the package appended to the launcher into the per-session work folder.
#pragma once

#include <cstdint>
#include <string>

#include "platform/types.h"
#include "unpack/own_file.h"
#include "unpack/work_folder.h"
#include "util/scoped_handle.h"

// Where the package lies in the launcher's own file.
struct PackageLocation {
    bool readable = false;  // false: the file could not be read (logged; the last error says why)
    uint64_t offset = 0;    // where the package begins; 0 when the file carries none
};

class CUnPack {
public:
    // Reads the launcher's own file through `own`, the file the run holds from its start; without
    // one, through a file of its own, opened at the first read and held while the object lives.
    explicit CUnPack(COwnFile* own = nullptr) : m_pOwnFile(own) {}
    CUnPack(const CUnPack&) = delete;
    CUnPack& operator=(const CUnPack&) = delete;

    // An elevated run (or one of the local system account) of a launcher whose image carries a
    // certificate table proves that the file it holds is signed and unchanged (WinVerifyTrust on
    // the held handle). False when the signature does not hold: the run stops there, with one log
    // line naming the result. Runs without those rights, and unsigned launchers, pass.
    [[nodiscard]] static bool CheckSignature(COwnFile& own);

    [[nodiscard]] PackageLocation FindHeader();
    int UnPackAndWait();
    void StartThread();
    static uint32_t UnPackThreadProc(void* param);
    bool UnPackFiles();

    // The work folder: prepared on the first call (the extraction's first entry, or the start-up
    // after the extraction when no entry was written), its path afterwards.
    std::wstring GetWorkFolder();
    void RemoveWorkFolder() { m_workFolder.Remove(); }
    CWorkFolder& WorkFolder() { return m_workFolder; }

    bool m_bUnPacked = false;

private:
    COwnFile& OwnFile() { return m_pOwnFile ? *m_pOwnFile : m_ownFile; }
    COwnFile* m_pOwnFile = nullptr;
    COwnFile m_ownFile;
    UniqueHandle m_hThread;
    CWorkFolder m_workFolder;
};
