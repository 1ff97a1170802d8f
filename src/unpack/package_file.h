// Buffered file access for the extraction. The run takes records and data in small pieces; the
// system sees reads and writes of a fixed large size, so a package of many megabytes costs a few
// hundred system calls instead of two per kilobyte, and memory stays the same for any entry size.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "util/file.h"

// False, with "reached the end of the file" as the last error: the package holds fewer bytes than
// it announces.
bool PackageEnds();

class CPackageReader {
public:
    static constexpr uint32_t kBufferSize = 256 * 1024;

    // Reads from `file`, which the caller holds open for reading (the launcher's own file) and
    // keeps open while the reader is used.
    // Each is false, with the last error, when the file cannot be read.
    [[nodiscard]] bool Open(CFile& file);
    [[nodiscard]] bool Seek(uint64_t offset);
    // Reads `size` bytes; fewer only where the file ends (`*read` tells how many).
    [[nodiscard]] bool Read(void* buffer, uint32_t size, uint32_t* read);
    // Passes over `count` bytes; fails with "end of file" when the file holds fewer.
    [[nodiscard]] bool Skip(uint64_t count);

    uint64_t Position() const { return m_bufferAt + m_next; }
    uint64_t Remaining() const { return m_length > Position() ? m_length - Position() : 0; }
    const std::wstring& GetFilePath() const { return m_file->GetFilePath(); }

private:
    CFile* m_file = nullptr;
    std::unique_ptr<uint8_t[]> m_buffer;
    uint64_t m_length = 0;
    uint64_t m_bufferAt = 0;  // file offset of m_buffer[0]
    uint32_t m_next = 0;      // next byte to hand out
    uint32_t m_filled = 0;    // bytes in the buffer
};

// Collects what is written to one file at a time and hands it on in large pieces.
class CBufferedWriter {
public:
    static constexpr uint32_t kBufferSize = 256 * 1024;

    CBufferedWriter() : m_buffer(new uint8_t[kBufferSize]) {}
    // Starts a new file; what was pending for the previous one must have been flushed.
    void Attach(CFile* file) {
        m_file = file;
        m_filled = 0;
    }
    // False, with the last error, when the file cannot be written.
    [[nodiscard]] bool Write(const void* data, uint32_t size);
    [[nodiscard]] bool Flush();

private:
    CFile* m_file = nullptr;
    std::unique_ptr<uint8_t[]> m_buffer;
    uint32_t m_filled = 0;
};
