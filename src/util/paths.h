// Windows paths as text, and what the system says of the file a path names.
#pragma once

#include <cstdint>
#include <string>

namespace paths {

// Whether anything (a file or a folder) is at `path`.
bool Exists(const std::wstring& path);
// Takes `count` components off the end ("C:\a\b\c.exe", 1: "C:\a\b").
void StripComponents(std::wstring& path, int count);
// The path without the separators at its end (a drive's root keeps its own: "C:\").
std::wstring WithoutTrailingSeparators(std::wstring path);
// `path` and `more` with one separator between them.
std::wstring Append(const std::wstring& path, const std::wstring& more);
// The version of the file at `path` from its version resource: the file version (`selector` 0)
// or the product version (1), as two 32-bit halves and as "a.b.c.d". False when it has none.
bool VersionOf(const std::wstring& path, std::wstring* text, uint32_t* high, uint32_t* low,
               int selector);

}  // namespace paths
