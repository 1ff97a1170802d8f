// A small file class over the OS seam. Opening, reads, writes and seeks report failure as false
// with the reason in the thread's last error; the file keeps the path it was opened by, so a
// caller can log the error with the file's name (logging::FileError).
#pragma once

#include <cstdint>
#include <string>

#include "platform/types.h"
#include "util/held_folder.h"
#include "util/scoped_handle.h"

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

    [[nodiscard]] bool Open(const std::wstring& path, unsigned flags);
    // The file `name` in the held folder `folder`, never through a link (see CHeldFolder).
    [[nodiscard]] bool Open(const CHeldFolder& folder, const std::wstring& name, unsigned flags);
    // Deletes the open file (one opened for writing in a held folder) and lets it go.
    bool Delete();
    // Reads up to `size` bytes; `*read` is 0 at the end of the file.
    [[nodiscard]] bool Read(void* buffer, uint32_t size, uint32_t* read);
    // Writes all `size` bytes; a short write is an error (kErrorDiskFull when the system
    // reported none).
    [[nodiscard]] bool Write(const void* data, uint32_t size);
    [[nodiscard]] bool Seek(int64_t offset, uint32_t from, uint64_t* position = nullptr);
    [[nodiscard]] bool GetLength(uint64_t* length);
    void Close();
    // Takes over an open file (the caller gives up the handle).
    void Attach(plat::FileHandle handle, const std::wstring& path) {
        m_hFile.Reset(handle);
        m_strPath = path;
    }
    bool IsOpen() const { return static_cast<bool>(m_hFile); }
    plat::FileHandle GetHandle() const { return m_hFile.Get(); }
    const std::wstring& GetFilePath() const { return m_strPath; }

private:
    // False, with the thread's last error (kErrorInvalidHandle when there is none).
    static bool Fail();

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
// its start, cut at the copy's end. False, with the last error, when it could not be finished.
[[nodiscard]] bool CopyOpenFile(CFile& source, CFile& out, CCopyProgress* progress);

// The text of the file `name` in a held folder, decoded as the system reads a text file (a
// profile, a task definition): UTF-16LE or UTF-8 after its byte-order mark, else the ANSI code
// page; at most 1 MiB of it. False, with the last error, when the file cannot be read.
[[nodiscard]] bool ReadTextFile(const CHeldFolder& folder, const std::wstring& name,
                                std::wstring& text);
