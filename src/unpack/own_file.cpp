#include "unpack/own_file.h"

#include <algorithm>
#include <vector>

#include "platform/platform.h"
#include "unpack/package_format.h"
#include "util/log.h"
#include "util/run_context.h"

namespace {

// The loader maps the headers within the image's first page; they are compared as far as that.
constexpr uint32_t kHeaderPage = 4096;
constexpr uint32_t kFileHeaderEnd = 24;  // the NT headers' signature and file header

// What of a PE image's headers tells one image file from another: everything from the start up
// to the end of the section table, or to SizeOfHeaders where that is further (the DOS header,
// the time stamp, the checksum, sizes and entry point, the data directories with the certificate
// table's entry, the sections), but ImageBase: a loader that places the image elsewhere than its
// preferred base writes the base it chose there.
struct HeaderLayout {
    pkg::PeHeaders pe;
    uint32_t size = 0;
    uint32_t imageBase = 0;      // offset of the ImageBase field
    uint32_t imageBaseSize = 0;  // 4 (PE32) or 8 (PE32+)

    // Blanks the ImageBase field of a copy of the headers.
    void BlankImageBase(std::vector<uint8_t>& headers) const {
        if (headers.size() >= imageBase + imageBaseSize)
            std::fill_n(headers.begin() + imageBase, imageBaseSize, 0);
    }
};

// The layout of a PE image's headers read through `read(offset, buffer, size)` (true when all
// bytes were read). False when they cannot be read or are no PE32 or PE32+ headers.
template <class Read>
bool LayoutOf(Read read, HeaderLayout& out) {
    uint8_t dos[pkg::kDosHeaderSize];
    uint8_t nt[pkg::kNtHeadersMax];
    if (!read(0, dos, sizeof(dos))) return false;
    const int32_t lfanew = pkg::ReadI32(dos + pkg::kLfanewOffset);
    if (lfanew < 0 || lfanew > static_cast<int32_t>(kHeaderPage - sizeof(nt))) return false;
    const uint32_t at = static_cast<uint32_t>(lfanew);
    if (!read(at, nt, sizeof(nt)) || !pkg::ParseNtHeaders(nt, &out.pe)) return false;
    const uint32_t sectionsEnd =
        at + kFileHeaderEnd + pkg::ReadU16(nt + 20) + 40u * pkg::ReadU16(nt + 6);
    const uint32_t sizeOfHeaders = pkg::ReadU32(nt + kFileHeaderEnd + 60);
    out.size = std::min(
        std::max({sizeOfHeaders, sectionsEnd, at + static_cast<uint32_t>(out.pe.ntHeadersSize)}),
        kHeaderPage);
    const bool pe32 = out.pe.magic == pkg::kMagicPe32;
    out.imageBase = at + kFileHeaderEnd + (pe32 ? 28 : 24);
    out.imageBaseSize = pe32 ? 4 : 8;
    return true;
}

}  // namespace

bool COwnFile::Open() {
    if (m_bTried) return IsOpen() || plat::Fail(m_openError);
    m_bTried = true;
    m_strPath = Run().modulePath;
    if (!m_file.Open(m_strPath, CFile::modeRead | CFile::shareDenyWrite | CFile::typeBinary)) {
        m_openError = plat::kernel().GetLastError();
        return false;
    }
    if (ProveRunningImage()) return true;
    m_bAnotherFile = true;
    logging::Log(tags::kOwnFileOpen,
                 L"%ls is not the file this program was started from, run stopped",
                 m_strPath.c_str());
    m_file.Close();
    return plat::Fail(m_openError = plat::kErrorFileInvalid);
}

// False only when the held file is certainly another one than the program's image; a system
// that cannot tell lets the file pass. Decides on the way whether the image is signed.
bool COwnFile::ProveRunningImage() {
    plat::IFiles& fs = plat::files();
    auto fromImage = [&fs](uint32_t at, void* buffer, uint32_t size) {
        return fs.ReadOwnImage(at, buffer, size);
    };
    auto fromFile = [this](uint32_t at, void* buffer, uint32_t size) {
        uint32_t got = 0;
        return m_file.Seek(at, plat::kFileBegin) && m_file.Read(buffer, size, &got) && got == size;
    };
    HeaderLayout image, file;
    const bool imageKnown = LayoutOf(fromImage, image);
    m_bSigned = imageKnown ? image.pe.certificateTableSize != 0
                           : LayoutOf(fromFile, file) && file.pe.certificateTableSize != 0;

    // The system's answer: the view of the held file and the image lie on the same file.
    bool same = true;
    if (fs.AreMappedFilesTheSame(m_file.GetHandle(), &same)) return same;

    // Where the system cannot answer, the held file's first bytes must be the mapped headers.
    if (!imageKnown) return true;
    std::vector<uint8_t> mapped(image.size), held(image.size);
    uint32_t got = 0;
    if (!fromImage(0, mapped.data(), image.size) || !m_file.Seek(0, plat::kFileBegin) ||
        !m_file.Read(held.data(), image.size, &got))
        return true;
    held.resize(got);  // a shorter file is another one
    image.BlankImageBase(mapped);
    image.BlankImageBase(held);
    return held == mapped;
}
