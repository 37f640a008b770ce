#include "ManifestEnd.h"

#include <string>

#include "XMLConfig.h"

namespace {

// The bytes as text for a search of ASCII markup. UTF-16 is read as such;
// any other encoding byte by byte, which is enough: '<', '/', '>' and the
// letters of the element name are the same bytes in all of them, and in a
// double-byte encoding '<' is never the second byte of a character.
std::wstring MarkupText(const char* data, size_t size) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    bool utf16 = false, bigEndian = false;
    if (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        utf16 = true;
    } else if (size >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
        utf16 = bigEndian = true;
    } else {
        const int encoding = _ServerEngine::CXMLConfig::DetectEncoding(data, static_cast<unsigned>(size));
        utf16 = encoding == _ServerEngine::XML_ENCODING_UTF16LE || encoding == _ServerEngine::XML_ENCODING_UTF16BE;
        bigEndian = encoding == _ServerEngine::XML_ENCODING_UTF16BE;
    }
    std::wstring text;
    if (!utf16) return std::wstring(bytes, bytes + size);
    text.reserve(size / 2);
    for (size_t i = 0; i + 1 < size; i += 2) {
        text += static_cast<wchar_t>(bigEndian ? (bytes[i] << 8) | bytes[i + 1] : bytes[i] | (bytes[i + 1] << 8));
    }
    return text;
}

bool IsNameEnd(wchar_t c) {
    return c == L'>' || c == L'/' || c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

// The first `tag` ("<name" or "</name") at or after `from` whose name ends there.
size_t FindTag(const std::wstring& text, const std::wstring& tag, size_t from) {
    for (size_t at = text.find(tag, from); at != std::wstring::npos; at = text.find(tag, at + 1)) {
        const size_t next = at + tag.size();
        if (next < text.size() && IsNameEnd(text[next])) return at;
    }
    return std::wstring::npos;
}

}  // namespace

bool UpdateElementClosed(const char* data, size_t size) {
    const std::wstring text = MarkupText(data, size);
    const size_t open = FindTag(text, L"<Update", 0);
    if (open == std::wstring::npos) return false;
    const size_t close = text.find(L'>', open);
    if (close == std::wstring::npos) return false;
    if (text[close - 1] == L'/') return true;
    const size_t endTag = FindTag(text, L"</Update", close);
    return endTag != std::wstring::npos && text.find(L'>', endTag) != std::wstring::npos;
}
