// Fuzz target: arbitrary bytes as the launcher's own file, through the package reader and the
// extraction run (CUnPack::UnPackAndWait on the simulated machine, whose files are real files
// below a scratch folder), then the removal of the work folder.
//
// Checked on every input, beside the sanitizers:
//  - An independent reading of the bytes (Expect below, which shares nothing with the package
//    code but the entry-name rule) says whether the run ends normally and which files it
//    writes; the run's result agrees, and every file in the work folder holds exactly the data
//    bytes of the last entry of its name: never longer, never shorter, never another's.
//  - Nothing outside the work folder changes but the log and the shared temp folder; no link
//    is created anywhere; after RemoveWorkFolder nothing of the work folder is left.
//  - The run ends: bounded virtual time and a bounded number of log lines for the input's size.
//  - The same bytes on a disk that fills up part way, or that reports less free space than an
//    entry needs (both figures taken from the input): a file left in the work folder is still
//    one entry's data, whole, and the disk-space message comes at most once.
// Memory is bounded by the runner (-malloc_limit_mb, -rss_limit_mb): no allocation may follow a
// length field.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "unpack/package_format.h"
#include "unpack/unpack.h"

namespace {

constexpr const wchar_t* kWorkFolder = L"C:\\users\\user\\Temp\\unpackvesk\\1\\";
constexpr uint64_t kRecord = 284;
constexpr size_t kHostNameMax = 255;  // longer names cannot be created on the scratch disk

// A little-endian field of `bytes` bytes at `at`; what lies past the end reads as zero.
uint64_t Field(const uint8_t* data, size_t size, uint64_t at, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        v <<= 8;
        if (at < size && static_cast<uint64_t>(i) < size - at) v |= data[at + i];
    }
    return v;
}

struct Written {
    std::string hostName;  // the name as it appears on the scratch disk
    uint64_t at = 0;       // its data in the input
    uint64_t length = 0;
};

struct Expected {
    bool completes = false;      // the run reaches its normal end
    bool createsFolder = false;  // some entry has a name the launcher writes
    std::vector<Written> files;  // in the run's order
    uint64_t records = 0;
};

// What the run must do with these bytes, read straight from the layout.
Expected Expect(const uint8_t* d, size_t n) {
    Expected e;
    const uint64_t length = n;
    const int64_t lfanew = static_cast<int32_t>(Field(d, n, 60, 4));
    if (static_cast<uint64_t>(lfanew) > length) return e;  // a negative one, too
    const uint64_t nt = static_cast<uint64_t>(lfanew);
    const uint64_t magic = Field(d, n, nt + 24, 2);
    int64_t certificates = 0;
    if (magic == 0x10b)
        certificates = static_cast<int32_t>(Field(d, n, nt + 156, 4));
    else if (magic == 0x20b)
        certificates = static_cast<int32_t>(Field(d, n, nt + 172, 4));
    else
        return e;
    const uint64_t back = kRecord + (certificates > 0 ? static_cast<uint64_t>(certificates) : 0);
    if (length < back) return e;
    const uint64_t first = Field(d, n, length - back + 8, 8);
    if (first == 0 || first > static_cast<uint64_t>(INT64_MAX)) return e;

    int64_t taken = 0;
    for (uint64_t at = first; at < length;) {
        if (length - at < kRecord) return e;  // a record cut short
        ++e.records;
        const int64_t count = static_cast<int32_t>(Field(d, n, at, 4));
        if (taken >= count) break;
        const uint64_t size = Field(d, n, at + 8, 8);
        const uint64_t data = at + kRecord;
        if (size > length - data) return e;  // more data than the file holds
        std::wstring name;
        for (uint64_t i = 0; i < 260 && d[at + 24 + i]; ++i) name.push_back(d[at + 24 + i]);
        ++taken;
        if (!pkg::UnsafeNameReason(name)) {
            e.createsFolder = true;
            const std::string host = text::Narrow(name);
            if (host.size() <= kHostNameMax) e.files.push_back({host, data, size});
        }
        at = data + size;
        if (taken == count) break;
    }
    e.completes = true;
    return e;
}

// A number from the input's bytes, for the second run's write budget and free space.
uint64_t Mix(const uint8_t* d, size_t n) {
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < n; ++i) h = (h ^ d[i]) * 1099511628211ull;
    return h;
}

struct Outcome {
    bool result = false;
    fuzz::Tree before, afterRun, afterRemoval;
    std::string workFolder, temp, log;
    uint64_t virtualMs = 0;
    size_t logLines = 0;
    size_t messageBoxes = 0;
};

Outcome Run(const uint8_t* d, size_t n, int64_t writeBudget = -1,
            uint64_t freeSpace = uint64_t(1) << 40) {
    sim::SimMachine m;
    m.WriteFile(m.moduleFile, std::string(reinterpret_cast<const char*>(d), n));
    Outcome o;
    o.temp = fuzz::Relative(m, m.tempPath);
    o.log = fuzz::Relative(m, m.tempPath + L"unpack1.log");
    o.before = fuzz::ListTree(m);
    m.writeBudget = writeBudget;
    m.defaultFreeSpace = freeSpace;
    {
        CUnPack unpack;
        unpack.UnPackAndWait();
        o.result = unpack.m_bUnPacked;
        o.workFolder = fuzz::Relative(m, kWorkFolder);
        o.afterRun = fuzz::ListTree(m);
        o.virtualMs = m.Now();
        o.logLines = m.debugOutput.size();
        o.messageBoxes = m.messageBoxes.size();
        unpack.RemoveWorkFolder();
    }
    o.afterRemoval = fuzz::ListTree(m);
    return o;
}

// Properties every run keeps, whatever the disk does.
void CheckBounds(const Outcome& o, const Expected& e, size_t n) {
    for (const std::string& path : fuzz::Changes(o.before, o.afterRun)) {
        FUZZ_CHECK(fuzz::IsAtOrBelow(path, o.temp + "/unpackvesk") ||
                       fuzz::IsAtOrBelow(path, o.temp + "/Quintrova") || path == o.log,
                   "changed outside the work folder: %s", path.c_str());
    }
    for (const auto& [path, node] : o.afterRun)
        FUZZ_CHECK(node.kind == 'f' || node.kind == 'd', "%s is neither file nor folder",
                   path.c_str());
    uint64_t written = 0;
    for (const auto& [path, node] : o.afterRun)
        if (fuzz::IsAtOrBelow(path, o.workFolder) && node.kind == 'f')
            written += node.content.size();
    FUZZ_CHECK(written <= n, "%llu bytes written from a file of %zu",
               static_cast<unsigned long long>(written), n);

    // Removal leaves the disk as it was, but for the log and the shared temp folder.
    for (const std::string& path : fuzz::Changes(o.before, o.afterRemoval))
        FUZZ_CHECK(fuzz::IsAtOrBelow(path, o.temp + "/Quintrova") || path == o.log,
                   "left after the work folder's removal: %s", path.c_str());

    FUZZ_CHECK(o.virtualMs <= 10000, "the run took %llu ms of virtual time",
               static_cast<unsigned long long>(o.virtualMs));
    const size_t lineBound = 8 + 4 * (e.records + 1);
    FUZZ_CHECK(o.logLines <= lineBound, "%zu log lines for %llu records", o.logLines,
               static_cast<unsigned long long>(e.records));
}

// The files of the work folder, by folded name.
std::map<std::string, const fuzz::Node*> FilesIn(const Outcome& o) {
    std::map<std::string, const fuzz::Node*> files;
    for (const auto& [path, node] : o.afterRun) {
        if (path.size() <= o.workFolder.size() || !fuzz::IsAtOrBelow(path, o.workFolder)) continue;
        const std::string name = path.substr(o.workFolder.size() + 1);
        FUZZ_CHECK(node.kind == 'f' && name.find('/') == std::string::npos,
                   "the work folder holds more than files: %s", path.c_str());
        files[fuzz::FoldName(name)] = &node;
    }
    return files;
}

std::string DataOf(const uint8_t* d, const Written& w) {
    return std::string(reinterpret_cast<const char*>(d) + w.at, w.length);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Expected e = Expect(data, size);

    // A disk with room to spare: the run does exactly what the layout says.
    const Outcome o = Run(data, size);
    CheckBounds(o, e, size);
    FUZZ_CHECK(o.messageBoxes == 0, "a disk with room to spare was reported full");
    FUZZ_CHECK(o.result == e.completes, "the run %s, the layout says it %s",
               o.result ? "completed" : "stopped", e.completes ? "completes" : "stops");
    FUZZ_CHECK(o.afterRun.count(o.workFolder) == (e.createsFolder ? 1u : 0u), "work folder %s",
               e.createsFolder ? "missing" : "created without a file to write");
    std::map<std::string, const Written*> last;
    for (const Written& w : e.files) last[fuzz::FoldName(w.hostName)] = &w;
    const auto files = FilesIn(o);
    FUZZ_CHECK(files.size() == last.size(), "%zu files in the work folder, %zu expected",
               files.size(), last.size());
    for (const auto& [name, node] : files) {
        auto it = last.find(name);
        FUZZ_CHECK(it != last.end(), "unexpected file %s", name.c_str());
        FUZZ_CHECK(node->content == DataOf(data, *it->second),
                   "%s holds %zu bytes, not the %llu data bytes of its entry", name.c_str(),
                   node->content.size(), static_cast<unsigned long long>(it->second->length));
    }

    // A disk that fills up part way, or that has less room than some entry needs: what is left
    // is whole entries only.
    if (!e.files.empty()) {
        uint64_t total = 0, largest = 0;
        for (const Written& w : e.files) {
            total += w.length;
            largest = std::max(largest, w.length);
        }
        const uint64_t mix = Mix(data, size);
        const Outcome full =
            Run(data, size, static_cast<int64_t>(mix % (total + 1)), (mix >> 32) % (largest + 2));
        CheckBounds(full, e, size);
        FUZZ_CHECK(full.messageBoxes <= 1, "%zu disk-space messages", full.messageBoxes);
        FUZZ_CHECK(e.completes || !full.result, "a run on a full disk completed a bad package");
        for (const auto& [name, node] : FilesIn(full)) {
            bool whole = false;
            for (const Written& w : e.files)
                whole = whole ||
                        (fuzz::FoldName(w.hostName) == name && node->content == DataOf(data, w));
            FUZZ_CHECK(whole, "%s (%zu bytes) is not the whole data of an entry of its name",
                       name.c_str(), node->content.size());
        }
    }
    return 0;
}
