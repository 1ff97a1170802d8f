#include "util/file.h"

#include <memory>

#include "platform/platform.h"
#include "util/text.h"

bool CFileException::GetErrorMessage(std::wstring& out) const {
    out.clear();
    if (m_lOsError == 0) return false;
    std::wstring message = plat::kernel().FormatSystemMessage(m_lOsError);
    if (message.empty()) message = text::Format(L"system error %u.", m_lOsError);
    out = m_strFileName.empty() ? message : m_strFileName + L": " + message;
    return true;
}

bool CFile::Fail(CFileException* error) {
    uint32_t code = plat::kernel().GetLastError();
    if (error) error->Set(code ? code : plat::kErrorInvalidHandle, m_strPath);
    return false;
}

bool CFile::Open(const std::wstring& path, unsigned flags, CFileException* error) {
    Close();
    m_strPath = path;
    uint32_t access = (flags & modeReadWrite) ? (plat::kGenericRead | plat::kGenericWrite)
                      : (flags & modeWrite)   ? plat::kGenericWrite
                                              : plat::kGenericRead;
    uint32_t share = (flags & shareDenyNone)    ? (plat::kShareRead | plat::kShareWrite)
                     : (flags & shareDenyWrite) ? plat::kShareRead
                                                : plat::kShareNone;
    uint32_t disposition = (flags & modeCreate) ? plat::kCreateAlways : plat::kOpenExisting;
    m_hFile.Reset(plat::files().CreateFile(path, access, share, disposition));
    if (!m_hFile) return Fail(error);
    return true;
}

bool CFile::Open(const CHeldFolder& folder, const std::wstring& name, unsigned flags,
                 CFileException* error) {
    Close();
    m_strPath = folder.Join(name);
    // Opened to be written, it may also be deleted (a copy that could not be finished).
    uint32_t access = (flags & modeReadWrite) ? (plat::kGenericRead | plat::kGenericWrite)
                      : (flags & modeWrite)   ? plat::kGenericWrite
                                              : plat::kGenericRead;
    if (access & plat::kGenericWrite) access |= plat::kDelete;
    const uint32_t share = (flags & shareDenyNone)    ? (plat::kShareRead | plat::kShareWrite)
                           : (flags & shareDenyWrite) ? plat::kShareRead
                                                      : plat::kShareNone;
    const uint32_t disposition = (flags & modeCreate) ? plat::kCreateAlways : plat::kOpenExisting;
    m_hFile = folder.OpenFile(name, access, share, disposition);
    if (!m_hFile) return Fail(error);
    return true;
}

bool CFile::Delete() {
    if (!m_hFile || !plat::files().DeleteOpenFile(m_hFile.Get())) return false;
    m_hFile.Reset();
    return true;
}

bool CFile::Read(void* buffer, uint32_t size, uint32_t* read, CFileException* error) {
    *read = 0;
    if (!m_hFile) return Fail(error);
    if (!plat::files().ReadFile(m_hFile.Get(), buffer, size, read)) return Fail(error);
    return true;
}

bool CFile::Write(const void* data, uint32_t size, CFileException* error) {
    if (!m_hFile) return Fail(error);
    uint32_t written = 0;
    if (!plat::files().WriteFile(m_hFile.Get(), data, size, &written)) return Fail(error);
    if (written != size) {
        if (error) error->Set(plat::kErrorDiskFull, m_strPath);
        return false;
    }
    return true;
}

bool CFile::Seek(int64_t offset, uint32_t from, uint64_t* position, CFileException* error) {
    if (!m_hFile || !plat::files().SetFilePointer(m_hFile.Get(), offset, from, position))
        return Fail(error);
    return true;
}

bool CFile::GetLength(uint64_t* length, CFileException* error) {
    if (!m_hFile || !plat::files().GetFileSize(m_hFile.Get(), length)) return Fail(error);
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

int CopyOpenFile(CFile& source, CFile& out, CCopyProgress* progress) {
    CFileException error;
    if (!source.Seek(0, plat::kFileBegin, nullptr, &error) ||
        !out.Seek(0, plat::kFileBegin, nullptr, &error))
        return static_cast<int>(error.m_lOsError);
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kCopyBufferSize]);
    for (;;) {
        uint32_t got = 0;
        if (!source.Read(buffer.get(), kCopyBufferSize, &got, &error)) break;
        if (got == 0) {
            // Whatever a file written over held beyond the copy goes.
            if (plat::files().SetEndOfFile(out.GetHandle())) return 0;
            return static_cast<int>(plat::kernel().GetLastError());
        }
        if (!out.Write(buffer.get(), got, &error)) break;
        if (progress) progress->OnPiece();
    }
    return static_cast<int>(error.m_lOsError ? error.m_lOsError : plat::kErrorInvalidHandle);
}

bool ReadTextFile(const CHeldFolder& folder, const std::wstring& name, std::wstring& out) {
    constexpr size_t kLimit = 1 << 20;  // more than any such file holds
    CFile file;
    if (!file.Open(folder, name, CFile::modeRead | CFile::shareDenyWrite, nullptr)) return false;
    std::string bytes;
    char chunk[4096];
    uint32_t got = 0;
    while (bytes.size() < kLimit && file.Read(chunk, sizeof(chunk), &got, nullptr) && got)
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
