// Small text helpers: printf-style formatting into wide strings, UTF-16LE encoding for bytes
// that leave the program, and the A-Z case rules the launcher uses for names and switches.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

namespace text {

// printf-style formatting (write %ls for wide-string arguments). The result is cut to
// `maxChars` characters.
std::wstring Format(const wchar_t* format, ...);
std::wstring FormatV(const wchar_t* format, va_list args, size_t maxChars = 1u << 20);

// UTF-16LE code units of `s`, as bytes (no byte-order mark, no terminator).
std::string ToUtf16Le(const std::wstring& s);
// Decodes UTF-16LE bytes (an odd trailing byte is ignored; unpaired surrogates are kept).
std::wstring FromUtf16Le(const uint8_t* data, size_t size);

// Narrow ASCII/UTF-8 to wide and back, for tool output and tests.
std::wstring Widen(const std::string& s);
std::string Narrow(const std::wstring& s);

// Case rules: only the letters A to Z are folded.
wchar_t FoldAscii(wchar_t c);
bool EqualsNoCase(const std::wstring& a, const std::wstring& b);

// Replaces every occurrence of `from` in `s` by `to`; returns the number of replacements.
size_t ReplaceAll(std::wstring& s, const std::wstring& from, const std::wstring& to);

}  // namespace text
