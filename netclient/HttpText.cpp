#include "HttpText.h"

#include <cstring>
#include <cwctype>

#include "base/DecimalParse.h"

namespace http_text {
namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsBlank(char c) {
    return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

}  // namespace

std::string EncodeTarget(const std::string& utf8) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(utf8.size());
    for (const char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F) {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        } else {
            out += c;
        }
    }
    return out;
}

bool ParseChunkSize(const char* line, uint32_t size, uint64_t limit, uint64_t* chunkSize) {
    while (size && IsBlank(*line)) ++line, --size;
    uint64_t value = 0;
    uint32_t digits = 0;
    for (; digits < size && HexDigit(line[digits]) >= 0; ++digits) {
        if (value > limit >> 4) return false;
        value = value * 16 + HexDigit(line[digits]);
        if (value > limit) return false;
    }
    *chunkSize = value;
    return digits > 0;
}

bool FindHeaderEnd(const char* data, uint32_t size, uint32_t from, uint32_t* blockEnd, uint32_t* bodyStart) {
    for (uint32_t at = from; at < size;) {
        const void* found = std::memchr(data + at, '\n', size - at);
        if (!found) return false;
        const uint32_t lf = static_cast<uint32_t>(static_cast<const char*>(found) - data);
        uint32_t next = lf + 1;
        if (next < size && data[next] == '\r') ++next;
        if (next < size && data[next] == '\n') {
            *blockEnd = lf > 0 && data[lf - 1] == '\r' ? lf - 1 : lf;
            *bodyStart = next + 1;
            return true;
        }
        at = lf + 1;
    }
    return false;
}

std::wstring ResolveLocation(const std::wstring& location, const std::wstring& currentPath) {
    if (location.empty() || location[0] == L'/') {
        return location.size() > 1 && location[1] == L'/' ? L"http:" + location : location;
    }
    const size_t scheme = location.find(L"://");
    if (scheme != std::wstring::npos && location.find_first_of(L"/?#") > scheme) return location;
    const std::wstring folder = currentPath.substr(0, currentPath.find(L'?'));
    return folder.substr(0, folder.rfind(L'/') + 1) + location;
}

bool ParseContentRange(const std::wstring& value, tagContentRange* range) {
    const wchar_t* pos = value.c_str();
    const wchar_t* const end = pos + value.size();
    static const wchar_t kUnit[] = L"bytes ";
    for (const wchar_t* unit = kUnit; *unit; ++unit, ++pos) {
        if (pos == end || towlower(*pos) != *unit) return false;
    }
    while (pos < end && *pos == L' ') ++pos;
    tagContentRange parsed;
    if (!kit::ReadDecimalDigits(pos, end, UINT64_MAX - 1, &parsed.first) || pos == end || *pos++ != L'-' ||
        !kit::ReadDecimalDigits(pos, end, UINT64_MAX - 1, &parsed.last) || pos == end || *pos++ != L'/') {
        return false;
    }
    if (pos < end && *pos == L'*') {
        ++pos;
    } else if (!kit::ReadDecimalDigits(pos, end, UINT64_MAX - 1, &parsed.complete)) {
        return false;
    }
    if (pos != end || parsed.last < parsed.first ||
        (parsed.complete != tagContentRange::kUnknownLength && parsed.last >= parsed.complete)) {
        return false;
    }
    *range = parsed;
    return true;
}

}  // namespace http_text
