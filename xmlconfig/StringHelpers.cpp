#include "StringHelpers.h"

#include <windows.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <io.h>

namespace _ServerEngine {

namespace {

std::string WideToBytes(UINT codePage, const std::wstring& text) {
    const int size = WideCharToMultiByte(codePage, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (size < 2) return std::string();
    std::string result(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(codePage, 0, text.c_str(), -1, &result[0], size, nullptr, nullptr);
    result.resize(static_cast<size_t>(size) - 1);
    return result;
}

bool IsTrimmed(wchar_t c) {
    return c == L'\t' || c == L'\n' || c == L'\r' || c == L' ';
}

}  // namespace

std::string ToNarrow(const std::wstring& text) {
    return WideToBytes(CP_ACP, text);
}

std::string ToUtf8(const std::wstring& text) {
    return WideToBytes(CP_UTF8, text);
}

std::wstring ToWide(const std::string& text) {
    const int size = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    if (size < 2) return std::wstring();
    std::wstring result(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &result[0], size);
    result.resize(static_cast<size_t>(size) - 1);
    return result;
}

int SplitString(std::vector<std::wstring>* segments, const std::wstring& text,
                const std::wstring& separator) {
    if (text.empty()) return 0;
    int count = 0;
    auto take = [&](size_t begin, size_t end) {
        ++count;
        if (segments) {
            std::wstring segment = text.substr(begin, end - begin);
            TrimString(segment);
            segments->push_back(std::move(segment));
        }
    };
    size_t start = 0;
    if (!separator.empty()) {
        for (size_t found = text.find(separator); found != std::wstring::npos;
             found = text.find(separator, found + separator.size())) {
            unsigned apostrophes = 0, quotes = 0;
            for (size_t i = start; i < found; ++i) {
                if (text[i] == L'\'')
                    ++apostrophes;
                else if (text[i] == L'"')
                    ++quotes;
            }
            if (apostrophes % 2 == 0 && quotes % 2 == 0) {
                take(start, found);
                start = found + separator.size();
            }
        }
    }
    take(start, text.size());
    return count;
}

int CompareNoCase(const std::wstring& first, const std::wstring& second) {
    std::wstring a = first, b = second;
    for (wchar_t& c : a) c = static_cast<wchar_t>(towupper(c));
    for (wchar_t& c : b) c = static_cast<wchar_t>(towupper(c));
    return a.compare(b);
}

int FindBytes(const char* data, unsigned size, const char* pattern, unsigned patternLength, unsigned from) {
    if (patternLength == 0) patternLength = static_cast<unsigned>(std::strlen(pattern));
    if (patternLength > size) return -1;
    for (unsigned offset = from; offset <= size - patternLength; ++offset) {
        if (std::memcmp(data + offset, pattern, patternLength) == 0) return static_cast<int>(offset);
    }
    return -1;
}

void TrimString(std::wstring& text) {
    size_t begin = 0;
    while (begin < text.size() && IsTrimmed(text[begin])) ++begin;
    text.erase(0, begin);
    size_t end = text.size();
    while (end > 0 && IsTrimmed(text[end - 1])) --end;
    text.erase(end);
}

bool CreateParentDirectories(const wchar_t* path) {
    wchar_t full[MAX_PATH];
    if (!path || !_wfullpath(full, path, MAX_PATH)) return false;
    const size_t length = wcslen(full);
    if (length <= 3) return true;
    for (size_t i = 3; i < length; ++i) {
        if (full[i] != L'\\') continue;
        const std::wstring prefix(full, i);
        if (_waccess(prefix.c_str(), 6) == 0) continue;
        if (errno != ENOENT) return false;
        if (!CreateDirectoryW(prefix.c_str(), nullptr)) return false;
    }
    return true;
}

}  // namespace _ServerEngine
