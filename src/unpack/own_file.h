// The launcher's own file, opened once at the start of the run and held until its end. Every
// read of the package goes through this one handle: the header (CUnPack::FindHeader), the
// entries (CUnPack::UnPackFiles), the signature check of an elevated run, and the bytes of the
// elevation backup. Others may read the file meanwhile, but nobody may write, rename or delete it
// (no write or delete sharing), so what the run reads is what it opened: a program in the
// download folder cannot swap the file for another one while the launcher runs.
//
// Before the run may read it, the file opened must be the one the running program was started
// from: between the start and the open, the running file may have been renamed away and another
// one put at its path. The system says whether the two are the same file; where it cannot, the
// file's headers must match those the loader mapped.
#pragma once

#include <string>

#include "util/file.h"

class COwnFile {
public:
    // Opens the program's own file (the module path) for reading and proves that it is the file
    // the program runs from. The first call opens; later ones answer as it did, so a part that
    // runs alone in a test holds the file from its first read on, and in a run the file stays
    // the one opened at the start. A file found to be another one is let go at once (one log
    // line; IsAnotherFile() tells) and counts as not opened. False, with the error of that open
    // as the last error (kErrorFileInvalid for another file), at every call.
    [[nodiscard]] bool Open();
    bool IsOpen() const { return m_file.IsOpen(); }
    // The file at the module path is not the one the program was started from: the run reads
    // nothing from it.
    bool IsAnotherFile() const { return m_bAnotherFile; }
    // Whether the running image carries a certificate table, by its own headers as the loader
    // mapped them (by the file's where those could not be read).
    bool IsSigned() const { return m_bSigned; }
    // The module path as the system gave it (the name the log shows).
    const std::wstring& Path() const { return m_strPath; }
    // The held file. Users seek before they read: the file position is shared.
    CFile& File() { return m_file; }

private:
    bool ProveRunningImage();

    CFile m_file;
    std::wstring m_strPath;
    uint32_t m_openError = 0;  // why the first open failed, given again at each later call
    bool m_bTried = false;
    bool m_bAnotherFile = false;
    bool m_bSigned = false;
};
