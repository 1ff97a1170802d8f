#include "util/file.h"

#include <memory>

#include "platform/platform.h"
#include "util/text.h"

bool CFile::Fail() {
    if (plat::kernel().GetLastError() == 0) plat::kernel().SetLastError(plat::kErrorInvalidHandle);
    return false;
}

namespace {

// What CFile's flags ask of the system.
struct Modes {
    explicit Modes(unsigned flags)
        : access((flags & CFile::modeReadWrite) ? (plat::kGenericRead | plat::kGenericWrite)
                 : (flags & CFile::modeWrite)   ? plat::kGenericWrite
                                                : plat::kGenericRead),
          share((flags & CFile::shareDenyNone)    ? (plat::kShareRead | plat::kShareWrite)
                : (flags & CFile::shareDenyWrite) ? plat::kShareRead
                                                  : plat::kShareNone),
          disposition((flags & CFile::modeCreate) ? plat::kCreateAlways : plat::kOpenExisting) {}
    uint32_t access, share, disposition;
};

}  // namespace

bool CFile::Open(const std::wstring& path, unsigned flags) {
    Close();
    m_strPath = path;
    const Modes m(flags);
    m_hFile.Reset(plat::files().CreateFile(path, m.access, m.share, m.disposition));
    if (!m_hFile) return Fail();
    return true;
}

bool CFile::Open(const CHeldFolder& folder, const std::wstring& name, unsigned flags) {
    Close();
    m_strPath = folder.Join(name);
    const Modes m(flags);
    // Opened to be written, it may also be deleted (a copy that could not be finished).
    const uint32_t access = m.access | (m.access & plat::kGenericWrite ? plat::kDelete : 0);
    m_hFile = folder.OpenFile(name, access, m.share, m.disposition);
    if (!m_hFile) return Fail();
    return true;
}

bool CFile::Delete() {
    if (!m_hFile || !plat::files().DeleteOpenFile(m_hFile.Get())) return false;
    m_hFile.Reset();
    return true;
}

bool CFile::Read(void* buffer, uint32_t size, uint32_t* read) {
    *read = 0;
    if (!m_hFile) return Fail();
    if (!plat::files().ReadFile(m_hFile.Get(), buffer, size, read)) return Fail();
    return true;
}

bool CFile::Write(const void* data, uint32_t size) {
    if (!m_hFile) return Fail();
    uint32_t written = 0;
    if (!plat::files().WriteFile(m_hFile.Get(), data, size, &written)) return Fail();
    if (written != size) {
        plat::kernel().SetLastError(plat::kErrorDiskFull);
        return false;
    }
    return true;
}

bool CFile::Seek(int64_t offset, uint32_t from, uint64_t* position) {
    if (!m_hFile || !plat::files().SetFilePointer(m_hFile.Get(), offset, from, position))
        return Fail();
    return true;
}

bool CFile::GetLength(uint64_t* length) {
    if (!m_hFile || !plat::files().GetFileSize(m_hFile.Get(), length)) return Fail();
    return true;
}

void CFile::Close() {
    m_hFile.Reset();
}

namespace {

// The copy's piece: the whole launcher goes through it (a whole package, often many MB), and
// fewer, larger calls copy it faster (a 264 MiB launcher under Wine, side by side: 88-164 ms in
// 1 MiB pieces against 107-199 ms in 64 KiB pieces). The buffer lives only while the copy runs.
constexpr uint32_t kCopyBufferSize = 1024 * 1024;

}  // namespace

bool CopyOpenFile(CFile& source, CFile& out, CCopyProgress* progress) {
    if (!source.Seek(0, plat::kFileBegin) || !out.Seek(0, plat::kFileBegin)) return false;
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kCopyBufferSize]);
    for (;;) {
        uint32_t got = 0;
        if (!source.Read(buffer.get(), kCopyBufferSize, &got)) return false;
        // Whatever a file written over held beyond the copy goes.
        if (got == 0) return plat::files().SetEndOfFile(out.GetHandle());
        if (!out.Write(buffer.get(), got)) return false;
        if (progress) progress->OnPiece();
    }
}

bool ReadTextFile(const CHeldFolder& folder, const std::wstring& name, std::wstring& out) {
    constexpr size_t kLimit = 1 << 20;  // more than any such file holds
    CFile file;
    if (!file.Open(folder, name, CFile::modeRead | CFile::shareDenyWrite)) return false;
    std::string bytes;
    char chunk[4096];
    uint32_t got = 0;
    while (bytes.size() < kLimit && file.Read(chunk, sizeof(chunk), &got) && got)
        bytes.append(chunk, got);
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    if (bytes.size() >= 2 && data[0] == 0xFF && data[1] == 0xFE)
        out = text::FromUtf16Le(data + 2, bytes.size() - 2);
    else if (bytes.size() >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF)
        out = text::Widen(bytes.substr(3));
    else
        out = plat::kernel().MultiByteToWideChar(bytes);
    return true;
}
