// veskpack: builds launcher packages and looks into them.
//
//   veskpack build --stub STUB -o OUT [--align N] ENTRY...   ENTRY is PATH or NAME=PATH
//   veskpack list FILE
//   veskpack verify [--stub STUB] FILE
//   veskpack extract FILE DIR
//
// The layout and the name rules are the launcher's own (src/unpack/package_format.h). Every
// refusal is one line on stderr and a non-zero exit; an output file appears only when it is
// complete (it is written under a temporary name and renamed at the end).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

#include "sha256.h"
#include "unpack/package_format.h"

namespace fs = std::filesystem;

namespace {

constexpr int kExitProblem = 1;
constexpr int kExitUsage = 2;
constexpr size_t kCopyBuffer = 1 << 20;

const char* const kUsage =
    "usage:\n"
    "  veskpack build --stub STUB -o OUT [--align N] ENTRY...   (ENTRY: PATH or NAME=PATH)\n"
    "  veskpack list FILE\n"
    "  veskpack verify [--stub STUB] FILE   (STUB: the launcher build to compare with)\n"
    "  veskpack extract FILE DIR\n";

int Usage(const std::string& problem) {
    std::fprintf(stderr, "veskpack: %s (veskpack --help shows the usage)\n", problem.c_str());
    return kExitUsage;
}

int Refuse(const std::string& problem) {
    std::fprintf(stderr, "veskpack: %s\n", problem.c_str());
    return kExitProblem;
}

std::string Num(uint64_t v) {
    return std::to_string(v);
}

std::string Hex(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof(b), "0x%x", v);
    return b;
}

std::string SystemError() {
    return std::strerror(errno);
}

bool Seek(std::FILE* f, uint64_t at) {
#ifdef _WIN32
    return _fseeki64(f, static_cast<long long>(at), SEEK_SET) == 0;
#else
    return fseeko(f, static_cast<off_t>(at), SEEK_SET) == 0;
#endif
}

// Reads `n` bytes at `at`; what lies past the end of the file reads as zero.
size_t ReadAt(std::FILE* f, uint64_t at, void* buffer, size_t n) {
    std::memset(buffer, 0, n);
    if (!Seek(f, at)) return 0;
    return std::fread(buffer, 1, n, f);
}

std::wstring Widen(const std::string& bytes) {
    std::wstring w;
    for (unsigned char c : bytes) w.push_back(static_cast<wchar_t>(c));
    return w;
}

std::string Quote(const std::string& name) {
    std::string out = "\"";
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) {
            char b[8];
            std::snprintf(b, sizeof(b), "\\x%02x", c);
            out += b;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string Narrow(const wchar_t* text) {
    std::string out;
    for (; *text; ++text) out.push_back(static_cast<char>(*text));
    return out;
}

std::string FoldCase(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return s;
}

// Why a name cannot go into a package, or empty when it can: the launcher's rule, plus what a
// writer must guarantee (at most 259 bytes, 7-bit ASCII so that every machine reads it alike).
std::string NameProblem(const std::string& name) {
    if (name.size() > pkg::kMaxNameLength)
        return "name is " + Num(name.size()) + " bytes long (at most " + Num(pkg::kMaxNameLength) +
               ")";
    if (!pkg::IsAscii(name)) return "name is not 7-bit ASCII";
    if (const wchar_t* reason = pkg::UnsafeNameReason(Widen(name))) return Narrow(reason);
    return std::string();
}

// ---- PE image ------------------------------------------------------------------------------

struct Section {
    std::string name;
    uint64_t at = 0, size = 0;  // its raw data in the file
};

struct Image {
    pkg::PeHeaders pe;
    uint64_t lfanew = 0;
    uint64_t end = 0;  // where the image's own bytes end: headers, sections, symbol table
    uint32_t timeStamp = 0;
    std::vector<Section> sections;
};

// Reads the PE facts of a file; empty result text on success, else why it is no PE image.
std::string ReadImage(const std::function<size_t(uint64_t, void*, size_t)>& readAt, uint64_t length,
                      Image* image) {
    uint8_t dos[pkg::kDosHeaderSize];
    if (length < sizeof(dos) || readAt(0, dos, sizeof(dos)) != sizeof(dos))
        return "too short to be a PE image";
    if (dos[0] != 'M' || dos[1] != 'Z') return "not a PE image (no MZ signature)";
    const int32_t lfanew = pkg::ReadI32(dos + pkg::kLfanewOffset);
    if (lfanew < 0 || static_cast<uint64_t>(lfanew) + pkg::kMagicOffset + 2 > length)
        return "not a PE image (e_lfanew " + std::to_string(lfanew) + " points outside the file)";
    uint8_t nt[pkg::kNtHeadersMax];
    readAt(static_cast<uint64_t>(lfanew), nt, sizeof(nt));
    if (std::memcmp(nt, "PE\0\0", 4) != 0) return "not a PE image (no PE signature)";
    if (!pkg::ParseNtHeaders(nt, &image->pe))
        return "not a PE32 or PE32+ image (optional header magic " + Hex(image->pe.magic) + ")";
    image->lfanew = static_cast<uint64_t>(lfanew);
    image->timeStamp = pkg::ReadU32(nt + 8);

    // The image ends where the last of headers, section data and COFF symbols ends.
    const uint16_t sections = pkg::ReadU16(nt + 6);
    const uint32_t symbols = pkg::ReadU32(nt + 12);
    const uint32_t symbolCount = pkg::ReadU32(nt + 16);
    const uint16_t optionalSize = pkg::ReadU16(nt + 20);
    uint64_t end = pkg::ReadU32(nt + 24 + 60);  // SizeOfHeaders
    const uint64_t table = image->lfanew + 24 + optionalSize;
    for (uint16_t i = 0; i < sections; ++i) {
        uint8_t s[40];
        if (readAt(table + 40ull * i, s, sizeof(s)) != sizeof(s))
            return "truncated PE image (section table)";
        const uint32_t size = pkg::ReadU32(s + 16), at = pkg::ReadU32(s + 20);
        const std::string name(reinterpret_cast<const char*>(s), 8);
        image->sections.push_back({name.substr(0, name.find('\0')), at, size});
        if (size && at) end = std::max<uint64_t>(end, uint64_t(at) + size);
    }
    if (symbols) {
        const uint64_t strings = uint64_t(symbols) + 18ull * symbolCount;
        uint8_t n[4] = {};
        readAt(strings, n, 4);
        end = std::max<uint64_t>(end, strings + std::max<uint32_t>(4, pkg::ReadU32(n)));
    }
    image->end = end;
    return std::string();
}

// ---- reading a package ---------------------------------------------------------------------

struct EntryInfo {
    uint64_t offset = 0;  // of its record
    uint64_t size = 0;
    std::string name;
};

struct Package {
    uint64_t length = 0;
    Image image;
    bool isSigned = false;
    uint64_t trailerAt = 0;
    uint64_t offset = 0;
    std::vector<EntryInfo> entries;
    std::vector<std::string> layoutProblems;  // the package cannot be walked as the launcher does
    std::vector<std::string> nameProblems;    // entries the launcher would skip or mistake
};

// Walks a package as the launcher does, and checks everything the launcher relies on.
bool Inspect(const std::string& path, Package* p) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        p->layoutProblems.push_back("is a folder, not a package file");
        return false;
    }
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        p->layoutProblems.push_back("cannot read " + path + ": " + SystemError());
        return false;
    }
    const uint64_t length = fs::file_size(path, ec);
    if (ec) {
        p->layoutProblems.push_back("cannot read " + path + ": " + ec.message());
        std::fclose(f);
        return false;
    }
    p->length = length;
    auto readAt = [f](uint64_t at, void* b, size_t n) { return ReadAt(f, at, b, n); };
    auto done = [&]() {
        std::fclose(f);
        return p->layoutProblems.empty();
    };

    const std::string notPe = ReadImage(readAt, length, &p->image);
    if (!notPe.empty()) {
        p->layoutProblems.push_back(notPe);
        return done();
    }
    const pkg::PeHeaders& pe = p->image.pe;
    p->isSigned = pe.certificateTableSize > 0;
    if (pe.certificateTableSize < 0)
        p->layoutProblems.push_back("certificate table size is negative (" +
                                    std::to_string(pe.certificateTableSize) + ")");
    if (p->isSigned &&
        uint64_t(pe.certificateTableOffset) + uint64_t(pe.certificateTableSize) != length)
        p->layoutProblems.push_back("the certificate table (" + Num(pe.certificateTableSize) +
                                    " bytes at " + Num(pe.certificateTableOffset) +
                                    ") does not end the file (" + Num(length) + " bytes)");
    if (!pkg::TrailerOffset(length, pe.certificateTableSize, &p->trailerAt)) {
        p->layoutProblems.push_back("the file is too short to hold a trailer");
        return done();
    }
    uint8_t bytes[pkg::kRecordSize];
    readAt(p->trailerAt, bytes, sizeof(bytes));
    p->offset = pkg::DecodeRecord(bytes).ullLength;
    if (p->offset == 0) {
        p->layoutProblems.push_back("the trailer holds no package offset (no package appended)");
        return done();
    }
    if (p->offset >= p->trailerAt) {
        p->layoutProblems.push_back("package offset " + Num(p->offset) +
                                    " lies outside the file (the trailer starts at " +
                                    Num(p->trailerAt) + ")");
        return done();
    }
    if (p->offset < p->image.end)
        p->layoutProblems.push_back("package offset " + Num(p->offset) +
                                    " lies inside the launcher image (it ends at " +
                                    Num(p->image.end) + ")");

    std::set<std::string> seen;
    uint64_t at = p->offset;
    int32_t count = 0;
    for (int32_t k = 1; k == 1 || k <= count; ++k) {
        if (at + pkg::kRecordSize > p->trailerAt) {
            p->layoutProblems.push_back("entry " + Num(k) + " of " + Num(count) +
                                        " would start at " + Num(at) +
                                        ", in or past the trailer at " + Num(p->trailerAt));
            return done();
        }
        readAt(at, bytes, sizeof(bytes));
        const pkg::UNPACK_HEADER r = pkg::DecodeRecord(bytes);
        if (k == 1) {
            count = r.nFileCount;
            if (count < 1) {
                p->layoutProblems.push_back("the first record counts " + std::to_string(count) +
                                            " entries");
                return done();
            }
        } else if (r.nFileCount != count) {
            p->layoutProblems.push_back("entry " + Num(k) + " counts " +
                                        std::to_string(r.nFileCount) + " entries, entry 1 " +
                                        Num(count));
        }
        EntryInfo e{at, r.ullLength, pkg::RecordName(r)};
        if (r.ullLength > p->trailerAt - at - pkg::kRecordSize) {
            p->layoutProblems.push_back("entry " + Num(k) + " " + Quote(e.name) + " (" +
                                        Num(r.ullLength) + " bytes) runs past the trailer at " +
                                        Num(p->trailerAt));
            return done();
        }
        std::string problem = e.name.size() == pkg::kNameField
                                  ? "name fills all " + Num(pkg::kNameField) + " bytes without NUL"
                                  : NameProblem(e.name);
        if (problem.empty() && !seen.insert(FoldCase(e.name)).second)
            problem = "name appears twice (the later file would overwrite the earlier)";
        if (!problem.empty())
            p->nameProblems.push_back("entry " + Num(k) + " " + Quote(e.name) + ": " + problem);
        p->entries.push_back(e);
        at += pkg::kRecordSize + r.ullLength;
    }
    if (at != p->trailerAt)
        p->layoutProblems.push_back(Num(count) + " entries end at " + Num(at) +
                                    ", but the trailer starts at " + Num(p->trailerAt));
    return done();
}

// ---- the launcher part -------------------------------------------------------------------

// The launcher part of a file is its image's own bytes (the first `Image::end`), read with the two
// header fields that signing rewrites as zero: the optional header's CheckSum (4 bytes at NT
// headers + 88) and the certificate-table directory entry (8 bytes at NT headers + 152 in PE32,
// + 168 in PE32+). So a launcher build, its unsigned package and its signed package read alike.
size_t ReadLauncher(std::FILE* f, const Image& image, uint64_t at, uint8_t* buffer, size_t n) {
    n = static_cast<size_t>(std::min<uint64_t>(n, image.end - at));
    const size_t got = ReadAt(f, at, buffer, n);
    const uint64_t certificateEntry = image.pe.magic == pkg::kMagicPe32 ? 152 : 168;
    const uint64_t fields[2][2] = {{image.lfanew + 88, 4}, {image.lfanew + certificateEntry, 8}};
    for (const auto& [from, size] : fields)
        for (uint64_t i = std::max(from, at); i < std::min(from + size, at + n); ++i)
            buffer[i - at] = 0;
    return got;
}

std::string LauncherDigest(std::FILE* f, const Image& image) {
    Sha256 sha;
    std::vector<uint8_t> buffer(kCopyBuffer);
    for (uint64_t at = 0; at < image.end; at += buffer.size())
        sha.Update(buffer.data(), ReadLauncher(f, image, at, buffer.data(), buffer.size()));
    return sha.HexDigest();
}

std::string SectionName(const Image& image, uint64_t at) {
    for (const Section& s : image.sections)
        if (s.at && at >= s.at && at < s.at + s.size) return "in section " + Quote(s.name);
    return "in the headers";
}

// Why the launcher part of `a` is not that of `b`, or empty when their bytes are the same. What
// a linker decides (the image type, time stamp, length, sections) tells another build; with all
// of them alike, the bytes that differ are told by count and place.
std::string LauncherDifference(std::FILE* fa, const Image& a, std::FILE* fb, const Image& b) {
    std::vector<std::string> build;
    auto kind = [](const Image& i) { return i.pe.magic == pkg::kMagicPe32 ? "PE32" : "PE32+"; };
    if (a.pe.magic != b.pe.magic) build.push_back(std::string(kind(a)) + ", not " + kind(b));
    if (a.timeStamp != b.timeStamp)
        build.push_back("time stamp " + Hex(a.timeStamp) + ", not " + Hex(b.timeStamp));
    if (a.end != b.end) build.push_back(Num(a.end) + " bytes, not " + Num(b.end));
    if (a.sections.size() != b.sections.size())
        build.push_back(Num(a.sections.size()) + " sections, not " + Num(b.sections.size()));
    else
        for (size_t i = 0; i < a.sections.size(); ++i) {
            const Section &x = a.sections[i], &y = b.sections[i];
            if (x.name != y.name || x.size != y.size)
                build.push_back("section " + Quote(x.name) + " " + Num(x.size) + " bytes, not " +
                                Quote(y.name) + " " + Num(y.size));
        }
    if (!build.empty()) {
        std::string text = "another build (";
        for (size_t i = 0; i < build.size(); ++i) text += (i ? "; " : "") + build[i];
        return text + ")";
    }
    uint64_t changed = 0, first = 0;
    std::vector<uint8_t> x(kCopyBuffer), y(kCopyBuffer);
    for (uint64_t at = 0; at < a.end; at += x.size()) {
        const size_t n = ReadLauncher(fa, a, at, x.data(), x.size());
        ReadLauncher(fb, b, at, y.data(), y.size());
        for (size_t i = 0; i < n; ++i)
            if (x[i] != y[i] && changed++ == 0) first = at + i;
    }
    if (!changed) return std::string();
    return Num(changed) + (changed == 1 ? " byte" : " bytes") + " changed, the first at offset " +
           Num(first) + " " + SectionName(a, first);
}

// ---- writing -------------------------------------------------------------------------------

// A file that becomes visible under its name only once it is complete. Until then it is a
// temporary file beside it, with a short name of its own (two outputs of one run never share it,
// and a long name does not grow past what the file system takes).
class OutputFile {
public:
    explicit OutputFile(std::string path)
        : m_path(std::move(path)),
          m_temp((fs::path(m_path).parent_path() /
                  (".veskpack-" + Num(getpid()) + "-" + Num(++s_created) + ".tmp"))
                     .string()) {}
    ~OutputFile() {
        if (m_file) std::fclose(m_file);
        if (!m_committed) std::remove(m_temp.c_str());
    }
    bool Open() { return (m_file = std::fopen(m_temp.c_str(), "wb")) != nullptr; }
    bool Write(const void* data, size_t n) { return std::fwrite(data, 1, n, m_file) == n; }
    // Writes out what is buffered and closes the temporary file; it keeps its temporary name.
    bool Close(std::string* problem) {
        if (!m_file) return true;
        const bool ok = std::fflush(m_file) == 0 && !std::ferror(m_file);
        const bool closed = std::fclose(m_file) == 0;
        m_file = nullptr;
        if (!ok || !closed) {
            *problem = "cannot write " + m_path + ": " + SystemError();
            return false;
        }
        return true;
    }
    // Closes the file and gives it its name.
    bool Commit(std::string* problem) {
        if (!Close(problem)) return false;
        std::error_code ec;
        fs::rename(m_temp, m_path, ec);
        if (ec) {
            *problem = "cannot create " + m_path + ": " + ec.message();
            return false;
        }
        m_committed = true;
        return true;
    }
    std::string WriteProblem() const { return "cannot write " + m_path + ": " + SystemError(); }

private:
    static inline uint64_t s_created = 0;
    std::string m_path, m_temp;
    std::FILE* m_file = nullptr;
    bool m_committed = false;
};

// Copies `size` bytes from `in` (positioned) to `out`; false when `in` ends early.
bool Copy(std::FILE* in, OutputFile& out, uint64_t size, std::vector<char>& buffer,
          bool* writeFailed) {
    *writeFailed = false;
    while (size > 0) {
        const size_t want = size < buffer.size() ? static_cast<size_t>(size) : buffer.size();
        const size_t got = std::fread(buffer.data(), 1, want, in);
        if (got != want) return false;
        if (!out.Write(buffer.data(), got)) {
            *writeFailed = true;
            return false;
        }
        size -= got;
    }
    return true;
}

struct Input {
    std::string name;
    std::string path;
    uint64_t size = 0;
};

int Build(const std::vector<std::string>& args) {
    std::string stubPath, outPath;
    uint64_t align = pkg::kCertificateAlignment;
    std::vector<std::string> specs;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--stub" || a == "-o" || a == "--align") {
            if (i + 1 == args.size()) return Usage(a + " needs a value");
            const std::string& v = args[++i];
            if (a == "--stub")
                stubPath = v;
            else if (a == "-o")
                outPath = v;
            else {
                char* end = nullptr;
                const unsigned long long n = std::strtoull(v.c_str(), &end, 10);
                if (v.empty() || *end || n == 0 || n > 4096 || (n & (n - 1)))
                    return Usage("--align takes a power of two from 1 to 4096, not " + v);
                align = n;
            }
        } else if (a.size() > 1 && a[0] == '-' && specs.empty()) {
            return Usage("unknown option " + a);
        } else {
            specs.push_back(a);
        }
    }
    if (stubPath.empty()) return Usage("build needs --stub STUB");
    if (outPath.empty()) return Usage("build needs -o OUT");
    if (specs.empty()) return Usage("build needs at least one ENTRY");
    if (align < pkg::kCertificateAlignment)
        std::fprintf(stderr,
                     "veskpack: warning: with --align %llu a signature may not follow "
                     "the trailer directly\n",
                     static_cast<unsigned long long>(align));

    // The stub: an unsigned PE32 or PE32+ image with nothing behind it.
    std::error_code ec;
    if (!fs::is_regular_file(stubPath, ec))
        return Refuse("stub " + stubPath + " is missing or not a file");
    const uint64_t stubSize = fs::file_size(stubPath, ec);
    std::FILE* stub = std::fopen(stubPath.c_str(), "rb");
    if (!stub || ec) return Refuse("cannot read stub " + stubPath + ": " + SystemError());
    struct Closer {
        std::FILE* f;
        ~Closer() { std::fclose(f); }
    } closeStub{stub};
    Image image;
    const std::string notPe =
        ReadImage([stub](uint64_t at, void* b, size_t n) { return ReadAt(stub, at, b, n); },
                  stubSize, &image);
    if (!notPe.empty()) return Refuse("stub " + stubPath + ": " + notPe);
    if (image.pe.certificateTableSize != 0 || image.pe.certificateTableOffset != 0)
        return Refuse("stub " + stubPath +
                      " is signed: build from the unsigned launcher and sign the result");
    if (image.end < stubSize)
        return Refuse("stub " + stubPath + " has " + Num(stubSize - image.end) +
                      " bytes behind its image (already packed?)");
    if (image.end > stubSize) return Refuse("stub " + stubPath + " is truncated");

    // The entries, in the given order.
    std::vector<Input> inputs;
    std::set<std::string> names;
    for (const std::string& spec : specs) {
        Input in;
        const size_t eq = spec.find('=');
        if (eq != std::string::npos) {
            in.name = spec.substr(0, eq);
            in.path = spec.substr(eq + 1);
        } else {
            in.path = spec;
            in.name = fs::path(spec).filename().string();
        }
        if (in.path.empty()) return Refuse("entry " + Quote(spec) + " names no input file");
        if (!fs::is_regular_file(in.path, ec))
            return Refuse("input " + in.path + " is missing or not a file");
        in.size = fs::file_size(in.path, ec);
        if (ec) return Refuse("cannot read input " + in.path + ": " + ec.message());
        const std::string problem = NameProblem(in.name);
        if (!problem.empty()) return Refuse("entry name " + Quote(in.name) + ": " + problem);
        if (!names.insert(FoldCase(in.name)).second)
            return Refuse("entry name " + Quote(in.name) + " appears twice");
        inputs.push_back(in);
    }
    if (inputs.size() > static_cast<size_t>(INT32_MAX)) return Refuse("too many entries");
    // The output takes its path only at the end; were that path the stub or an input, it would
    // be lost.
    if (fs::exists(outPath, ec)) {
        if (fs::equivalent(outPath, stubPath, ec))
            return Refuse("output " + outPath + " is the stub itself");
        for (const Input& in : inputs)
            if (fs::equivalent(outPath, in.path, ec))
                return Refuse("output " + outPath + " is the input of entry " + Quote(in.name));
    }

    // Padding in front of the first entry makes the unsigned length a multiple of `align`.
    uint64_t total = stubSize + pkg::kRecordSize;
    for (const Input& in : inputs) total += pkg::kRecordSize + in.size;
    const uint64_t pad = (align - total % align) % align;
    const uint64_t offset = stubSize + pad;

    OutputFile out(outPath);
    if (!out.Open()) return Refuse("cannot create " + outPath + ": " + SystemError());
    std::vector<char> buffer(kCopyBuffer);
    bool writeFailed = false;
    if (!Seek(stub, 0) || !Copy(stub, out, stubSize, buffer, &writeFailed))
        return Refuse(writeFailed ? out.WriteProblem()
                                  : "stub " + stubPath + " changed while packing");
    const std::vector<char> zeros(pad, '\0');
    if (pad && !out.Write(zeros.data(), zeros.size())) return Refuse(out.WriteProblem());
    uint8_t bytes[pkg::kRecordSize];
    for (const Input& in : inputs) {
        pkg::UNPACK_HEADER r;
        r.nFileCount = static_cast<int32_t>(inputs.size());
        r.ullLength = in.size;
        pkg::SetRecordName(r, in.name);
        pkg::EncodeRecord(r, bytes);
        if (!out.Write(bytes, sizeof(bytes))) return Refuse(out.WriteProblem());
        std::FILE* f = std::fopen(in.path.c_str(), "rb");
        if (!f) return Refuse("cannot read input " + in.path + ": " + SystemError());
        const bool copied = Copy(f, out, in.size, buffer, &writeFailed);
        std::fclose(f);
        if (!copied)
            return Refuse(writeFailed ? out.WriteProblem()
                                      : "input " + in.path + " changed while packing");
    }
    pkg::UNPACK_HEADER trailer;
    trailer.ullLength = offset;
    pkg::EncodeRecord(trailer, bytes);
    if (!out.Write(bytes, sizeof(bytes))) return Refuse(out.WriteProblem());
    std::string problem;
    if (!out.Commit(&problem)) return Refuse(problem);
    std::printf("%s: %zu entries, package at offset %llu, %llu bytes\n", outPath.c_str(),
                inputs.size(), static_cast<unsigned long long>(offset),
                static_cast<unsigned long long>(total + pad));
    return 0;
}

void PrintProblems(const std::string& path, const std::vector<std::string>& problems) {
    for (const std::string& p : problems) std::fprintf(stderr, "%s: %s\n", path.c_str(), p.c_str());
}

std::string Signature(const Package& p) {
    return p.isSigned
               ? "signed (certificate table " + Num(p.image.pe.certificateTableSize) + " bytes)"
               : "unsigned";
}

int List(const std::string& path) {
    Package p;
    Inspect(path, &p);
    if (p.length && p.image.pe.ntHeadersSize)
        std::printf("%s: %s, %zu entries at offset %llu\n", path.c_str(), Signature(p).c_str(),
                    p.entries.size(), static_cast<unsigned long long>(p.offset));
    for (const EntryInfo& e : p.entries)
        std::printf("%12llu %12llu  %s\n", static_cast<unsigned long long>(e.offset),
                    static_cast<unsigned long long>(e.size), Quote(e.name).c_str());
    PrintProblems(path, p.layoutProblems);
    PrintProblems(path, p.nameProblems);
    return p.layoutProblems.empty() && p.nameProblems.empty() ? 0 : kExitProblem;
}

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

File OpenRead(const std::string& path) {
    return File(std::fopen(path.c_str(), "rb"), std::fclose);
}

int Verify(const std::vector<std::string>& args) {
    std::string path, stubPath;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--stub") {
            if (i + 1 == args.size()) return Usage("--stub needs a value");
            stubPath = args[++i];
        } else if (path.empty()) {
            path = args[i];
        } else {
            return Usage("verify takes one FILE");
        }
    }
    if (path.empty()) return Usage("verify needs FILE");

    // The launcher build to compare with: any PE image whose own bytes are all there.
    Image stubImage;
    File stub(nullptr, std::fclose);
    std::error_code ec;
    if (!stubPath.empty()) {
        if (!fs::is_regular_file(stubPath, ec))
            return Refuse("stub " + stubPath + " is missing or not a file");
        stub = OpenRead(stubPath);
        if (!stub) return Refuse("cannot read stub " + stubPath + ": " + SystemError());
        const uint64_t stubSize = fs::file_size(stubPath, ec);
        const std::string notPe =
            ReadImage([&](uint64_t at, void* b, size_t n) { return ReadAt(stub.get(), at, b, n); },
                      stubSize, &stubImage);
        if (!notPe.empty()) return Refuse("stub " + stubPath + ": " + notPe);
        if (stubImage.end > stubSize) return Refuse("stub " + stubPath + " is truncated");
    }

    Package p;
    Inspect(path, &p);
    PrintProblems(path, p.layoutProblems);
    PrintProblems(path, p.nameProblems);
    if (!p.layoutProblems.empty() || !p.nameProblems.empty()) return kExitProblem;
    std::printf("%s: OK, %s, %zu entries at offset %llu\n", path.c_str(), Signature(p).c_str(),
                p.entries.size(), static_cast<unsigned long long>(p.offset));
    File package = OpenRead(path);
    if (!package) return Refuse("cannot read " + path + ": " + SystemError());
    std::printf("%s: launcher SHA-256 %s (%llu bytes)\n", path.c_str(),
                LauncherDigest(package.get(), p.image).c_str(),
                static_cast<unsigned long long>(p.image.end));
    if (!stub) return 0;
    const std::string difference =
        LauncherDifference(package.get(), p.image, stub.get(), stubImage);
    if (!difference.empty()) {
        std::fprintf(stderr, "%s: launcher differs from %s: %s\n", path.c_str(), stubPath.c_str(),
                     difference.c_str());
        return kExitProblem;
    }
    std::printf("%s: launcher identical to %s\n", path.c_str(), stubPath.c_str());
    return 0;
}

// The folders of `dir` that do not exist yet, deepest first.
std::vector<fs::path> MissingFolders(const fs::path& dir) {
    std::vector<fs::path> missing;
    std::error_code ec;
    for (fs::path p = dir; !p.empty() && !fs::exists(fs::symlink_status(p, ec));
         p = p.parent_path()) {
        missing.push_back(p);
        if (p == p.parent_path()) break;
    }
    return missing;
}

int Extract(const std::string& path, const std::string& dir) {
    Package p;
    if (!Inspect(path, &p)) return Refuse("cannot extract " + path + ": " + p.layoutProblems[0]);
    std::FILE* in = std::fopen(path.c_str(), "rb");
    if (!in) return Refuse("cannot read " + path + ": " + SystemError());
    struct Closer {
        std::FILE* f;
        ~Closer() { std::fclose(f); }
    } closeIn{in};

    // All or nothing: every entry is written under a temporary name first, and they take their
    // names together at the end. When anything fails, the temporary files go, and so do the
    // folders this run created.
    struct Folders {
        std::vector<fs::path> created;
        bool keep = false;
        ~Folders() {
            std::error_code ec;
            if (!keep)
                for (const fs::path& f : created) fs::remove(f, ec);  // only while empty
        }
    } folders{MissingFolders(dir)};
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (!fs::is_directory(dir, ec)) return Refuse("cannot create folder " + dir);

    std::vector<char> buffer(kCopyBuffer);
    std::vector<std::unique_ptr<OutputFile>> outputs;
    std::vector<const EntryInfo*> written;
    int skipped = 0;
    for (const EntryInfo& e : p.entries) {
        // The launcher's rule decides what is written; the rest is passed over.
        if (const wchar_t* reason = pkg::UnsafeNameReason(Widen(e.name))) {
            std::fprintf(stderr, "veskpack: skipped %s: %s\n", Quote(e.name).c_str(),
                         Narrow(reason).c_str());
            ++skipped;
            continue;
        }
        const fs::path target = fs::path(dir) / e.name;
        if (fs::is_directory(fs::symlink_status(target, ec)))
            return Refuse("cannot extract " + Quote(e.name) + ": " + target.string() +
                          " is a folder");
        outputs.push_back(std::make_unique<OutputFile>(target.string()));
        OutputFile& out = *outputs.back();
        bool writeFailed = false;
        if (!out.Open())
            return Refuse("cannot create " + e.name + " in " + dir + ": " + SystemError());
        if (!Seek(in, e.offset + pkg::kRecordSize) || !Copy(in, out, e.size, buffer, &writeFailed))
            return Refuse(writeFailed ? out.WriteProblem() : path + " changed while extracting");
        std::string problem;
        if (!out.Close(&problem)) return Refuse(problem);  // a package may hold many entries
        written.push_back(&e);
    }
    for (auto& out : outputs) {
        std::string problem;
        if (!out->Commit(&problem)) return Refuse(problem);
    }
    folders.keep = true;
    for (const EntryInfo* e : written)
        std::printf("%12llu  %s\n", static_cast<unsigned long long>(e->size), e->name.c_str());
    if (skipped) return Refuse(Num(skipped) + " unsafe entries skipped");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return Usage("no command");
    const std::string command = args[0];
    args.erase(args.begin());
    if (command == "build") return Build(args);
    if (command == "list" && args.size() == 1) return List(args[0]);
    if (command == "verify") return Verify(args);
    if (command == "extract" && args.size() == 2) return Extract(args[0], args[1]);
    if (command == "-h" || command == "--help" || command == "help") {
        std::printf("%s", kUsage);
        return 0;
    }
    return Usage("bad command line");
}
