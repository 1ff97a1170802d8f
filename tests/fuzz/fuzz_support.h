// Shared pieces of the fuzz targets: a failed property ends the process (libFuzzer keeps the
// input as a crash), and the whole simulated disk can be listed before and after a run to find
// everything the run changed.
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "sim/sim_machine.h"
#include "util/text.h"

// A property of the run that does not hold: reported, then the process ends as a crash.
#define FUZZ_CHECK(cond, ...)                                                             \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "fuzz property failed: %s (%s:%d)\n  ", #cond, __FILE__, \
                         __LINE__);                                                       \
            std::fprintf(stderr, __VA_ARGS__);                                            \
            std::fprintf(stderr, "\n");                                                   \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

namespace fuzz {

// One thing on the simulated disk.
struct Node {
    char kind = 'f';      // 'f' file, 'd' folder, 'l' link, '?' anything else
    std::string content;  // files only
    bool operator==(const Node& o) const { return kind == o.kind && content == o.content; }
};
// Host path relative to the machine's root -> what is there.
using Tree = std::map<std::string, Node>;

inline Tree ListTree(const sim::SimMachine& m) {
    namespace fs = std::filesystem;
    Tree tree;
    for (auto it = fs::recursive_directory_iterator(m.root);
         it != fs::recursive_directory_iterator(); ++it) {
        Node node;
        const fs::file_status status = it->symlink_status();
        if (fs::is_symlink(status)) {
            node.kind = 'l';
        } else if (fs::is_directory(status)) {
            node.kind = 'd';
        } else if (fs::is_regular_file(status)) {
            std::ifstream in(it->path(), std::ios::binary);
            node.content.assign(std::istreambuf_iterator<char>(in), {});
        } else {
            node.kind = '?';
        }
        tree[fs::relative(it->path(), m.root).string()] = std::move(node);
    }
    return tree;
}

// The host path of a Windows path, relative to the machine's root (no trailing slash).
inline std::string Relative(const sim::SimMachine& m, const std::wstring& windowsPath) {
    std::string host = m.HostPath(windowsPath);
    while (!host.empty() && host.back() == '/') host.pop_back();
    return std::filesystem::relative(host, m.root).string();
}

inline bool IsAtOrBelow(const std::string& path, const std::string& folder) {
    return path == folder || path.compare(0, folder.size() + 1, folder + "/") == 0;
}

// Every path that appeared, disappeared or changed between two listings.
inline std::vector<std::string> Changes(const Tree& before, const Tree& after) {
    std::vector<std::string> changed;
    for (const auto& [path, node] : after) {
        auto it = before.find(path);
        if (it == before.end() || !(it->second == node)) changed.push_back(path);
    }
    for (const auto& [path, node] : before)
        if (!after.count(path)) changed.push_back(path);
    return changed;
}

// A-Z folded, as the simulated disk matches names.
inline std::string FoldName(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    return s;
}

inline std::string Show(const std::wstring& s) {
    std::string out;
    for (wchar_t c : s) {
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            char b[12];
            std::snprintf(b, sizeof(b), "\\u%04x", static_cast<unsigned>(c));
            out += b;
        }
    }
    return out;
}

}  // namespace fuzz
