#include "util/text.h"

#include <cwchar>
#include <vector>

namespace text {

std::wstring FormatV(const wchar_t* format, va_list args, size_t maxChars) {
    std::vector<wchar_t> buffer(1024);
    for (;;) {
        va_list copy;
        va_copy(copy, args);
#ifdef _WIN32
        // The system C runtime's formatter: the C99 one of the toolchain would add tens of
        // kilobytes to a program that formats nothing but integers and strings.
        int n = _vsnwprintf(buffer.data(), buffer.size(), format, copy);
#else
        int n = std::vswprintf(buffer.data(), buffer.size(), format, copy);
#endif
        va_end(copy);
        if (n >= 0 && static_cast<size_t>(n) < buffer.size()) {
            std::wstring out(buffer.data(), static_cast<size_t>(n));
            if (out.size() > maxChars) out.resize(maxChars);
            return out;
        }
        // Too small (or an encoding error, which a larger buffer does not cure: give up with
        // what fits once the buffer is far larger than any caller needs).
        if (buffer.size() >= (1u << 16) || buffer.size() > maxChars + 1) {
            buffer.back() = L'\0';
            std::wstring out(buffer.data());
            if (out.size() > maxChars) out.resize(maxChars);
            return out;
        }
        buffer.assign(buffer.size() * 4, L'\0');
    }
}

std::wstring Format(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring out = FormatV(format, args);
    va_end(args);
    return out;
}

std::string ToUtf16Le(const std::wstring& s) {
    std::string out;
    out.reserve(s.size() * 2);
    auto unit = [&out](uint32_t u) {
        out.push_back(static_cast<char>(u & 0xFF));
        out.push_back(static_cast<char>((u >> 8) & 0xFF));
    };
    for (wchar_t wc : s) {
        uint32_t c = static_cast<uint32_t>(wc);
        if (sizeof(wchar_t) == 4 && c >= 0x10000 && c <= 0x10FFFF) {
            c -= 0x10000;
            unit(0xD800 + (c >> 10));
            unit(0xDC00 + (c & 0x3FF));
        } else {
            unit(c & 0xFFFF);
        }
    }
    return out;
}

std::wstring FromUtf16Le(const uint8_t* data, size_t size) {
    std::wstring out;
    out.reserve(size / 2);
    for (size_t i = 0; i + 1 < size; i += 2) {
        uint32_t u = data[i] | (static_cast<uint32_t>(data[i + 1]) << 8);
        if (sizeof(wchar_t) == 4 && u >= 0xD800 && u < 0xDC00 && i + 3 < size) {
            uint32_t low = data[i + 2] | (static_cast<uint32_t>(data[i + 3]) << 8);
            if (low >= 0xDC00 && low < 0xE000) {
                out.push_back(
                    static_cast<wchar_t>(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00)));
                i += 2;
                continue;
            }
        }
        out.push_back(static_cast<wchar_t>(u));
    }
    return out;
}

std::wstring Widen(const std::string& s) {
    std::wstring out;
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        uint32_t cp = len == 4 ? (c & 0x07u) : len == 3 ? (c & 0x0Fu) : len == 2 ? (c & 0x1Fu) : c;
        if (i + len > s.size()) {  // truncated sequence: keep the byte as it is
            cp = c;
            len = 1;
        }
        for (size_t k = 1; k < len; ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3Fu);
        if (sizeof(wchar_t) == 2 && cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<wchar_t>(cp));
        }
        i += len;
    }
    return out;
}

std::string Narrow(const std::wstring& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t cp = static_cast<uint32_t>(s[i]);
        if (sizeof(wchar_t) == 2 && cp >= 0xD800 && cp < 0xDC00 && i + 1 < s.size()) {
            uint32_t low = static_cast<uint32_t>(s[i + 1]);
            if (low >= 0xDC00 && low < 0xE000) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

wchar_t FoldAscii(wchar_t c) {
    return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - 32) : c;
}

bool EqualsNoCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    return true;
}

size_t ReplaceAll(std::wstring& s, const std::wstring& from, const std::wstring& to) {
    if (from.empty()) return 0;
    size_t count = 0;
    for (size_t pos = s.find(from); pos != std::wstring::npos;
         pos = s.find(from, pos + to.size())) {
        s.replace(pos, from.size(), to);
        ++count;
    }
    return count;
}

}  // namespace text
