// A small file class over the OS seam. Opening reports failure by result; reads, writes and
// seeks report errors by result too, filling a CFileException record with the system error
// and the file name, so the caller can log the text with logging::FileException.
#pragma once

#include <cstdint>
#include <string>

#include "platform/types.h"
#include "util/held_folder.h"
#include "util/scoped_handle.h"

class CFileException {
public:
    uint32_t m_lOsError = 0;  // system error code; 0 when nothing failed
    std::wstring m_strFileName;

    void Set(uint32_t osError, const std::wstring& fileName) {
        m_lOsError = osError;
        m_strFileName = fileName;
    }
    // The error text ("<file>: <system message>"); false when there is none.
    bool GetErrorMessage(std::wstring& out) const;
};

class CFile {
public:
    enum OpenFlags : unsigned {
        modeRead = 0x0000,
        modeWrite = 0x0001,
        modeReadWrite = 0x0002,
        shareExclusive = 0x0010,
        shareDenyWrite = 0x0020,  // others may read, but not write, rename or delete
        shareDenyNone = 0x0040,   // others may read and write, but not rename or delete
        modeCreate = 0x1000,      // create anew, truncating an existing file
        typeBinary = 0x8000,
    };

    CFile() = default;
    ~CFile() = default;
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    bool Open(const std::wstring& path, unsigned flags, CFileException* error);
    // The file `name` in the held folder `folder`, never through a link (see CHeldFolder).
    bool Open(const CHeldFolder& folder, const std::wstring& name, unsigned flags,
              CFileException* error);
    // Deletes the open file (one opened for writing in a held folder) and lets it go.
    bool Delete();
    // Reads up to `size` bytes; `*read` is 0 at the end of the file.
    bool Read(void* buffer, uint32_t size, uint32_t* read, CFileException* error);
    // Writes all `size` bytes; a short write is an error (kErrorDiskFull when the system
    // reported none).
    bool Write(const void* data, uint32_t size, CFileException* error);
    bool Seek(int64_t offset, uint32_t from, uint64_t* position, CFileException* error);
    bool GetLength(uint64_t* length, CFileException* error);
    void Close();
    // Takes over an open file (the caller gives up the handle).
    void Attach(plat::Handle handle, const std::wstring& path) {
        m_hFile.Reset(handle);
        m_strPath = path;
    }
    bool IsOpen() const { return static_cast<bool>(m_hFile); }
    plat::Handle GetHandle() const { return m_hFile.Get(); }
    const std::wstring& GetFilePath() const { return m_strPath; }

private:
    bool Fail(CFileException* error);

    UniqueFile m_hFile;
    std::wstring m_strPath;
};

// What a long copy does between its pieces (the launcher looks out for the agent's window).
class CCopyProgress {
public:
    virtual void OnPiece() = 0;

protected:
    ~CCopyProgress() = default;
};

// Copies the whole of an open file (from its first byte) into a file open for writing, from
// its start, cut at the copy's end. 0, or the system error.
int CopyOpenFile(CFile& source, CFile& out, CCopyProgress* progress);

// The text of the file `name` in a held folder, decoded as the system reads a text file (a
// profile, a task definition): UTF-16LE or UTF-8 after its byte-order mark, else the ANSI code
// page; at most 1 MiB of it. False, with the last error, when the file cannot be read.
bool ReadTextFile(const CHeldFolder& folder, const std::wstring& name, std::wstring& text);
