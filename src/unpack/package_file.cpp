#include "unpack/package_file.h"

#include <cstring>

#include "platform/platform.h"

bool PackageEnds() {
    return plat::Fail(plat::kErrorHandleEof);
}

bool CPackageReader::Open(CFile& file) {
    m_file = &file;
    if (!m_buffer) m_buffer.reset(new uint8_t[kBufferSize]);
    m_bufferAt = 0;
    m_next = m_filled = 0;
    // The held file's position is wherever its last user left it: the reader starts at 0.
    return m_file->GetLength(&m_length) && m_file->Seek(0, plat::kFileBegin);
}

bool CPackageReader::Seek(uint64_t offset) {
    // An offset beyond what a signed 64-bit seek takes cannot be in the file.
    if (offset > static_cast<uint64_t>(INT64_MAX)) return PackageEnds();
    if (!m_file->Seek(static_cast<int64_t>(offset), plat::kFileBegin)) return false;
    m_bufferAt = offset;
    m_next = m_filled = 0;
    return true;
}

bool CPackageReader::Read(void* buffer, uint32_t size, uint32_t* read) {
    uint8_t* out = static_cast<uint8_t*>(buffer);
    *read = 0;
    while (*read < size) {
        if (m_next == m_filled) {
            m_bufferAt += m_filled;
            m_next = m_filled = 0;
            uint32_t got = 0;
            if (!m_file->Read(m_buffer.get(), kBufferSize, &got)) return false;
            if (got == 0) break;  // end of the file
            m_filled = got;
        }
        uint32_t take = m_filled - m_next;
        if (take > size - *read) take = size - *read;
        std::memcpy(out + *read, m_buffer.get() + m_next, take);
        m_next += take;
        *read += take;
    }
    return true;
}

bool CPackageReader::Skip(uint64_t count) {
    if (count > Remaining()) return PackageEnds();
    if (count <= m_filled - m_next) {
        m_next += static_cast<uint32_t>(count);
        return true;
    }
    return Seek(Position() + count);
}

bool CBufferedWriter::Write(const void* data, uint32_t size) {
    const uint8_t* in = static_cast<const uint8_t*>(data);
    while (size > 0) {
        if (m_filled == kBufferSize && !Flush()) return false;
        uint32_t take = kBufferSize - m_filled;
        if (take > size) take = size;
        std::memcpy(m_buffer.get() + m_filled, in, take);
        m_filled += take;
        in += take;
        size -= take;
    }
    return true;
}

bool CBufferedWriter::Flush() {
    if (m_filled == 0) return true;
    const uint32_t n = m_filled;
    m_filled = 0;
    return m_file->Write(m_buffer.get(), n);
}
