#include "XMLConfig.h"

#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <exception>
#include <memory>
#include <unordered_map>

#include "StringHelpers.h"
#include "base/DecimalParse.h"

namespace _ServerEngine {

namespace {

// The node pool exists, and the node type has its slot number, before main
// runs, so that no thread races to create them.
[[maybe_unused]] const bool g_nodePoolReady = (CXMLConfig::GetPool(), true);

// Blanks for skipping and trimming.
inline bool IsBlank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r' || c == L'\b';
}
// Characters with a meaning inside a tag outside quoted values: the blanks
// that end a token (tab, line feed, carriage return, space), slash, equals
// sign and the two quotes.
inline bool IsTagSpecial(wchar_t c) {
    switch (c) {
        case L'\t':
        case L'\n':
        case L'\r':
        case L' ':
        case L'/':
        case L'=':
        case L'"':
        case L'\'':
            return true;
        default:
            return false;
    }
}

const wchar_t* SkipBlanks(const wchar_t* pos, const wchar_t* end) {
    while (pos < end && IsBlank(*pos)) ++pos;
    return pos;
}

const wchar_t* TrimBlanks(const wchar_t* begin, const wchar_t* end) {
    while (end > begin && IsBlank(end[-1])) --end;
    return end;
}

const wchar_t* FindChar(const wchar_t* pos, const wchar_t* end, wchar_t c) {
    for (; pos < end; ++pos) {
        if (*pos == c) return pos;
    }
    return nullptr;
}

// First occurrence of `pattern` (of `length` characters) in [pos, end).
const wchar_t* FindText(const wchar_t* pos, const wchar_t* end, const wchar_t* pattern, size_t length) {
    while (pos < end && static_cast<size_t>(end - pos) >= length) {
        pos = FindChar(pos, end, pattern[0]);
        if (!pos || static_cast<size_t>(end - pos) < length) return nullptr;
        if (std::wmemcmp(pos, pattern, length) == 0) return pos;
        ++pos;
    }
    return nullptr;
}

bool StartsWith(const wchar_t* pos, const wchar_t* end, const wchar_t* prefix, size_t length) {
    return static_cast<size_t>(end - pos) >= length && std::wmemcmp(pos, prefix, length) == 0;
}

// The whole document as UTF-16. Not a std::wstring: the buffer needs no
// zero-filling before it is written.
struct tagWorkingText {
    std::unique_ptr<wchar_t[]> chars;
    size_t length = 0;
};

// Length of the well-formed UTF-8 sequence of two to four bytes at `p`, or 0
// (overlong forms, surrogates and values past U+10FFFF are not well-formed).
unsigned WellFormedLength(const unsigned char* p, const unsigned char* end) {
    auto within = [&](unsigned i, unsigned char low, unsigned char high) {
        return end - p > static_cast<std::ptrdiff_t>(i) && p[i] >= low && p[i] <= high;
    };
    const unsigned char lead = p[0];
    if (lead >= 0xC2 && lead <= 0xDF) return within(1, 0x80, 0xBF) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        const bool ok =
            within(1, lead == 0xE0 ? 0xA0 : 0x80, lead == 0xED ? 0x9F : 0xBF) && within(2, 0x80, 0xBF);
        return ok ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        const bool ok = within(1, lead == 0xF0 ? 0x90 : 0x80, lead == 0xF4 ? 0x8F : 0xBF) &&
                        within(2, 0x80, 0xBF) && within(3, 0x80, 0xBF);
        return ok ? 4 : 0;
    }
    return 0;
}

// UTF-8 to UTF-16 in one pass. Well-formed sequences are decoded here; from
// a malformed one to the next ASCII byte the system's decoder (CP_UTF8, no
// flags) takes over. ASCII bytes and well-formed sequences never share state
// with their neighbours, so the result is that of one MultiByteToWideChar
// call over the whole text. No byte yields more than one code unit, and a
// four-byte sequence two.
void WideFromUtf8(const char* data, unsigned size, tagWorkingText& out) {
    out.chars.reset(new wchar_t[size + 1]);
    wchar_t* written = out.chars.get();
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    const unsigned char* end = bytes + size;
    for (const unsigned char* p = bytes; p < end;) {
        if (*p < 0x80) {
            *written++ = *p++;
            continue;
        }
        switch (WellFormedLength(p, end)) {
            case 2:
                *written++ = static_cast<wchar_t>((p[0] & 0x1F) << 6 | (p[1] & 0x3F));
                p += 2;
                continue;
            case 3:
                *written++ = static_cast<wchar_t>((p[0] & 0x0F) << 12 | (p[1] & 0x3F) << 6 | (p[2] & 0x3F));
                p += 3;
                continue;
            case 4: {
                const unsigned value =
                    ((p[0] & 0x07u) << 18 | (p[1] & 0x3Fu) << 12 | (p[2] & 0x3Fu) << 6 | (p[3] & 0x3Fu)) -
                    0x10000;
                *written++ = static_cast<wchar_t>(0xD800 | value >> 10);
                *written++ = static_cast<wchar_t>(0xDC00 | (value & 0x3FF));
                p += 4;
                continue;
            }
            default:
                break;
        }
        const unsigned char* runEnd = p;
        while (runEnd < end && *runEnd >= 0x80) ++runEnd;
        const int converted =
            MultiByteToWideChar(CP_UTF8, 0, reinterpret_cast<const char*>(p), static_cast<int>(runEnd - p),
                                written, static_cast<int>(out.chars.get() + size - written));
        if (converted > 0) written += converted;
        p = runEnd;
    }
    out.length = static_cast<size_t>(written - out.chars.get());
}

// Text in the system's ANSI code page; no more code units than bytes.
void WideFromAnsi(const char* data, unsigned size, tagWorkingText& out) {
    out.chars.reset(new wchar_t[size + 1]);
    const int converted = size ? MultiByteToWideChar(CP_ACP, 0, data, static_cast<int>(size), out.chars.get(),
                                                     static_cast<int>(size))
                               : 0;
    out.length = converted > 0 ? static_cast<size_t>(converted) : 0;
}

// Bytes up to the first NUL byte.
unsigned LengthToNul(const char* data, unsigned size) {
    const void* nul = std::memchr(data, 0, size);
    return nul ? static_cast<unsigned>(static_cast<const char*>(nul) - data) : size;
}

// UTF-16 code units, little- or big-endian, from possibly unaligned bytes.
void WideFromUtf16(const unsigned char* data, unsigned size, bool bigEndian, tagWorkingText& out) {
    out.length = size / 2;
    out.chars.reset(new wchar_t[out.length + 1]);
    const int high = bigEndian ? 0 : 1;
    for (size_t i = 0; i < out.length; ++i) {
        out.chars[i] = static_cast<wchar_t>(data[2 * i + high] << 8 | data[2 * i + 1 - high]);
    }
}

// Converts the document into one wide text, which ends at its first NUL
// character (none of the decoders makes a NUL of anything but a NUL byte);
// false when its encoding cannot be read.
bool ReadWorkingText(const char* data, unsigned size, tagWorkingText& out) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    int encoding;
    if (bytes[0] == 0xFF && bytes[1] == 0xFE) {
        encoding = XML_ENCODING_UTF16LE;
        data += 2, size -= 2;
    } else if (bytes[0] == 0xFE && bytes[1] == 0xFF) {
        encoding = XML_ENCODING_UTF16BE;
        data += 2, size -= 2;
    } else if (bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        encoding = XML_ENCODING_UTF8;
        data += 3, size -= 3;
    } else {
        encoding = CXMLConfig::DetectEncoding(data, size);
    }
    switch (encoding) {
        case XML_ENCODING_ANSI:
            WideFromAnsi(data, LengthToNul(data, size), out);
            break;
        case XML_ENCODING_UTF8:
            WideFromUtf8(data, LengthToNul(data, size), out);
            break;
        case XML_ENCODING_UTF16LE:
        case XML_ENCODING_UTF16BE: {
            WideFromUtf16(reinterpret_cast<const unsigned char*>(data), size,
                          encoding == XML_ENCODING_UTF16BE, out);
            // The 8-bit texts were cut at their first NUL byte already.
            const wchar_t* chars = out.chars.get();
            out.length = static_cast<size_t>(std::find(chars, chars + out.length, L'\0') - chars);
            break;
        }
        default:
            return false;
    }
    return true;
}

struct tagNamedEntity {
    const wchar_t* name;  // between '&' and ';'
    size_t length;
    wchar_t replacement;
};

const tagNamedEntity kNamedEntities[] = {
    {L"quot", 4, L'"'}, {L"amp", 3, L'&'},   {L"lt", 2, L'<'},
    {L"gt", 2, L'>'},   {L"apos", 4, L'\''}, {L"nbsp", 4, L' '},
};

// The character a numeric reference names, from the text between "&#" and
// ";": decimal digits read the way _wtoi reads them, or hexadecimal digits
// after an "x", up to the first other character. 0 when it names none (no
// digit, 0, a surrogate, beyond U+10FFFF): such a reference stays as written.
uint32_t NumericReference(const wchar_t* pos, const wchar_t* end) {
    constexpr long long kLastCodePoint = 0x10FFFF;
    long long value = 0;
    if (pos < end && *pos == L'x') {
        for (++pos; pos < end; ++pos) {
            const wchar_t c = *pos;
            int digit = -1;
            if (c >= L'0' && c <= L'9') digit = c - L'0';
            if (c >= L'a' && c <= L'f') digit = c - L'a' + 10;
            if (c >= L'A' && c <= L'F') digit = c - L'A' + 10;
            if (digit < 0) break;
            // Past the last code point the value only has to stay there.
            if (value <= kLastCodePoint) value = value * 16 + digit;
        }
    } else {
        value = kit::ParseInt32Saturated(pos, end);
    }
    if (value <= 0 || value > kLastCodePoint || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    return static_cast<uint32_t>(value);
}

}  // namespace

CXMLConfig::CXMLConfig(const std::wstring& name, CXMLConfig* parent, int kind)
    : name(name), parent(parent), attributes(&attributeStore_), children(&childStore_), kind(kind) {}

CXMLConfig::~CXMLConfig() {
    DestroyChildren();
}

// Walks down to the last leaf and destroys upwards, so that no destructor
// finds a child of its own: the depth of the tree costs no stack. The parent
// links are set on the way down, so the walk back up never depends on them
// having been kept right.
void CXMLConfig::DestroyChildren() {
    CXMLConfig* node = this;
    for (;;) {
        if (!node->children->empty()) {
            CXMLConfig* last = node->children->back();
            last->parent = node;
            node = last;
            continue;
        }
        if (node == this) return;
        CXMLConfig* up = node->parent;
        up->children->pop_back();
        delete node;
        node = up;
    }
}

void CXMLConfig::Clear() {
    DestroyChildren();
    attributes->clear();
}

CXMLConfig* CXMLConfig::AddChild(const std::wstring& name, int kind) {
    try {
        CXMLConfig* child = new CXMLConfig(name, this, kind);
        if (!child) return nullptr;
        try {
            children->push_back(child);
        } catch (...) {
            delete child;
            return nullptr;
        }
        return child;
    } catch (...) {
        return nullptr;
    }
}

CXMLConfig* CXMLConfig::FindNode(const std::wstring& wanted) {
    // Pre-order, children in list order, without recursion: the stack holds
    // the nodes still to visit, the next one last.
    try {
        std::vector<CXMLConfig*> pending{this};
        while (!pending.empty()) {
            CXMLConfig* node = pending.back();
            pending.pop_back();
            if (node->name == wanted) return node;
            pending.insert(pending.end(), node->children->rbegin(), node->children->rend());
        }
    } catch (const std::exception&) {
        // No memory for the search: reported as not found.
    }
    return nullptr;
}

CXMLConfig::Attribute* CXMLConfig::FindAttribute(const std::wstring& wanted) {
    for (Attribute& attribute : *attributes) {
        if (attribute.first == wanted) return &attribute;
    }
    return nullptr;
}

const wchar_t* CXMLConfig::GetAttribute(const std::wstring& wanted, const wchar_t* defaultValue) {
    const Attribute* attribute = FindAttribute(wanted);
    return attribute ? attribute->second.c_str() : defaultValue;
}

int CXMLConfig::GetAttributeInt(const std::wstring& wanted) {
    const Attribute* attribute = FindAttribute(wanted);
    if (!attribute) return 0;
    const std::wstring& value = attribute->second;
    return kit::ParseInt32Saturated(value.data(), value.data() + value.size());
}

void CXMLConfig::SetAttribute(const std::wstring& wanted, const wchar_t* value) {
    Attribute* attribute = FindAttribute(wanted);
    if (attribute && value) {
        attribute->second = value;
    } else if (attribute) {
        attributes->erase(attributes->begin() + (attribute - attributes->data()));
    } else if (value) {
        attributes->emplace_back(wanted, value);
    }
}

int CXMLConfig::DetectEncoding(const char* data, unsigned size) {
    if (size < 13) return XML_ENCODING_UNKNOWN;
    if (data[0] == 0) return (data[1] == 0 || size % 2) ? XML_ENCODING_UNKNOWN : XML_ENCODING_UTF16BE;
    if (data[1] == 0) return size % 2 ? XML_ENCODING_UNKNOWN : XML_ENCODING_UTF16LE;
    const int open = FindBytes(data, size, "<?", 2, 0);
    if (open < 0) return XML_ENCODING_ANSI;
    const unsigned afterOpen = static_cast<unsigned>(open) + 2;
    if (FindBytes(data, size, "?>", 2, afterOpen) < 0) return XML_ENCODING_UNKNOWN;
    const int label = FindBytes(data, size, "encoding=\"", 10, afterOpen);
    if (label < 0) return XML_ENCODING_ANSI;
    const unsigned valueStart = static_cast<unsigned>(label) + 10;
    const int close = FindBytes(data, size, "\"", 1, valueStart);
    if (close < 0) return XML_ENCODING_UNKNOWN;
    const std::string value(data + valueStart, static_cast<unsigned>(close) - valueStart);
    if (value == "gb2312" || value == "GB2312") return XML_ENCODING_ANSI;
    if (value == "utf-8") return XML_ENCODING_UTF8;
    if (value == "utf-16" || value == "unicodeFFFE") return XML_ENCODING_UNKNOWN;
    return XML_ENCODING_UNSUPPORTED;
}

void CXMLConfig::DecodeEntities(std::wstring& text) {
    size_t read = text.find(L'&');
    if (read == std::wstring::npos) return;
    wchar_t* chars = &text[0];
    const size_t size = text.size();
    size_t write = read;
    // The first ';' at or after `read`; shared by every '&' in front of it.
    size_t semicolon = 0;
    bool semicolonKnown = false;
    while (read < size) {
        const wchar_t c = chars[read];
        if (c != L'&') {
            chars[write++] = chars[read++];
            continue;
        }
        if (!semicolonKnown || (semicolon != std::wstring::npos && semicolon < read)) {
            semicolon = text.find(L';', read);
            semicolonKnown = true;
        }
        // One character, or a surrogate pair: never longer than the
        // reference it replaces ("&#65536;" is the shortest above U+FFFF).
        wchar_t replacement[2] = {};
        size_t replacementLength = 0;
        if (semicolon != std::wstring::npos) {
            const wchar_t* name = chars + read + 1;
            const size_t length = semicolon - read - 1;
            if (length > 0 && name[0] == L'#') {
                const uint32_t code = NumericReference(name + 1, chars + semicolon);
                if (code > 0xFFFF) {
                    replacement[0] = static_cast<wchar_t>(0xD800 + ((code - 0x10000) >> 10));
                    replacement[1] = static_cast<wchar_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
                    replacementLength = 2;
                } else if (code) {
                    replacement[0] = static_cast<wchar_t>(code);
                    replacementLength = 1;
                }
            } else {
                for (const tagNamedEntity& entity : kNamedEntities) {
                    if (entity.length == length && std::wmemcmp(entity.name, name, length) == 0) {
                        replacement[0] = entity.replacement;
                        replacementLength = 1;
                        break;
                    }
                }
            }
        }
        if (replacementLength) {
            for (size_t i = 0; i < replacementLength; ++i) chars[write++] = replacement[i];
            read = semicolon + 1;
        } else {
            chars[write++] = chars[read++];
        }
    }
    text.resize(write);
}

bool CXMLConfig::LoadFromBuffer(const char* data, unsigned size) {
    if (!data || size < 3) return false;
    try {
        tagWorkingText working;
        if (!ReadWorkingText(data, size, working) || working.length == 0) return false;
        const wchar_t* begin = working.chars.get();
        const wchar_t* end = begin + working.length;
        Clear();
        parent = nullptr;
        // Skip the first declaration, wherever it is (its content was read
        // for the encoding already), and a CR LF right behind it.
        const wchar_t* pos = SkipBlanks(begin, end);
        if (const wchar_t* open = FindText(begin, end, L"<?", 2)) {
            pos = open + 2;
            if (const wchar_t* close = FindText(pos, end, L"?>", 2)) {
                pos = close + 2;
                if (StartsWith(pos, end, L"\r\n", 2)) pos += 2;
            }
        }
        return ParseElement(pos, end) && FoldLeafElements();
    } catch (const std::exception&) {
        return false;
    }
}

bool CXMLConfig::AddRawChild(int childKind, const wchar_t* begin, const wchar_t* end, bool decode) {
    CXMLConfig* child = AddChild(std::wstring(), childKind);
    if (!child) return false;
    child->text.assign(begin, end);
    if (decode) DecodeEntities(child->text);
    return true;
}

// Parses the element whose start tag is the next markup at `pos` into this
// node, with everything inside it. An explicit walk instead of recursion: the
// element being filled is `node`, and its parent chain is the stack, so
// nesting depth costs no stack. Returns false only when a node cannot be had.
bool CXMLConfig::ParseElement(const wchar_t* pos, const wchar_t* end) {
    // kOpen: the start tag of `node` comes next. kMarkup: `node` holds child
    // markup starting at `lt`. kNext: find `node`'s next markup. kDone:
    // `node` is complete; go on in its parent.
    enum { kOpen, kMarkup, kNext, kDone } step = kOpen;
    CXMLConfig* node = this;
    const wchar_t* lt = nullptr;
    for (;;) {
        switch (step) {
            case kOpen: {
                pos = SkipBlanks(pos, end);
                lt = FindChar(pos, end, L'<');
                if (!lt) return true;
                const wchar_t* gt = FindChar(lt + 1, end, L'>');
                // A tag that never ends ends the parse: nothing behind it can be read.
                if (!gt) return true;
                pos = gt + 1;
                step = kDone;
                const bool selfClosing = gt[-1] == L'/';
                const wchar_t* tagBegin = SkipBlanks(lt + 1, gt);
                const wchar_t* tagEnd = TrimBlanks(tagBegin, gt);
                if (tagBegin == tagEnd) break;
                node->ParseTag(tagBegin, tagEnd);
                if (selfClosing) break;
                pos = SkipBlanks(pos, end);
                lt = FindChar(pos, end, L'<');
                if (!lt) return true;
                if (lt + 1 < end && lt[1] == L'/') {
                    // The end tag follows at once: the element's own text.
                    const wchar_t* textEnd = TrimBlanks(pos, lt);
                    if (textEnd != pos) {
                        node->text.assign(pos, textEnd);
                        DecodeEntities(node->text);
                    }
                    const wchar_t* close = FindChar(lt + 2, end, L'>');
                    if (!close) return true;
                    pos = close + 1;
                    break;
                }
                step = kMarkup;
                break;
            }
            case kMarkup: {
                const wchar_t* textBegin = SkipBlanks(pos, lt);
                const wchar_t* textEnd = TrimBlanks(textBegin, lt);
                if (textBegin != textEnd && !node->AddRawChild(XML_NODE_TEXT, textBegin, textEnd, true)) {
                    return false;
                }
                if (StartsWith(lt, end, L"<!-", 3)) {
                    const wchar_t* content = end - lt < 4 ? end : lt + 4;
                    const wchar_t* close = FindText(content, end, L"-->", 3);
                    // An unterminated comment takes the rest of the text.
                    if (!node->AddRawChild(XML_NODE_COMMENT, content, close ? close : end, false))
                        return false;
                    if (!close) return true;
                    pos = close + 3;
                    step = kNext;
                } else if (StartsWith(lt, end, L"<![CDATA[", 9)) {
                    const wchar_t* content = lt + 9;
                    const wchar_t* close = FindText(content, end, L"]]>", 3);
                    if (!node->AddRawChild(XML_NODE_CDATA, content, close ? close : end, false)) return false;
                    if (!close) return true;
                    pos = close + 3;
                    step = kNext;
                } else {
                    CXMLConfig* child = node->AddChild(std::wstring(), XML_NODE_ELEMENT);
                    if (!child) return false;
                    node = child;
                    pos = lt;
                    step = kOpen;
                }
                break;
            }
            case kNext: {
                lt = FindChar(pos, end, L'<');
                if (!lt) return true;
                if (lt + 1 < end && lt[1] == L'/') {
                    // Text between the last child markup and the end tag is kept
                    // as a last text node.
                    const wchar_t* textBegin = SkipBlanks(pos, lt);
                    const wchar_t* textEnd = TrimBlanks(textBegin, lt);
                    if (textBegin != textEnd && !node->AddRawChild(XML_NODE_TEXT, textBegin, textEnd, true)) {
                        return false;
                    }
                    const wchar_t* close = FindChar(lt + 2, end, L'>');
                    if (!close) return true;
                    pos = close + 1;
                    step = kDone;
                } else {
                    step = kMarkup;
                }
                break;
            }
            case kDone:
                if (node == this) return true;
                node = node->parent;
                pos = SkipBlanks(pos, end);
                step = kNext;
                break;
        }
    }
}

// Reads the element name and the attributes of one trimmed tag text.
void CXMLConfig::ParseTag(const wchar_t* begin, const wchar_t* end) {
    const wchar_t* tokenBegin = begin;
    const wchar_t* pendingBegin = nullptr;  // the attribute name waiting for its value
    const wchar_t* pendingEnd = nullptr;
    // One '=' per attribute at most, but a run of them makes far fewer: room
    // for a typical item's attributes at once, the vector grows past that.
    constexpr size_t kAttributesAtOnce = 16;
    if (const auto equals = std::count(begin, end, L'=')) {
        attributes->reserve(attributes->size() + std::min(static_cast<size_t>(equals), kAttributesAtOnce));
    }
    auto appendAttribute = [&](const wchar_t* valueBegin, const wchar_t* valueEnd, bool decodeValue) {
        attributes->emplace_back(std::wstring(pendingBegin, pendingEnd), std::wstring(valueBegin, valueEnd));
        DecodeEntities(attributes->back().first);
        if (decodeValue) DecodeEntities(attributes->back().second);
        pendingBegin = nullptr;
    };
    for (const wchar_t* pos = begin;; ++pos) {
        while (pos < end && !IsTagSpecial(*pos)) ++pos;
        // One imaginary blank behind the last character ends the last token.
        const bool atEnd = pos == end;
        const wchar_t c = atEnd ? L' ' : *pos;
        if (c == L'"' || c == L'\'') {
            // A quoted value: everything up to the same quote belongs to it.
            const wchar_t* close = FindChar(pos + 1, end, c);
            if (!close || !pendingBegin) return;  // left open, or no name for it
            const wchar_t* valueBegin = SkipBlanks(pos + 1, close);
            appendAttribute(valueBegin, TrimBlanks(valueBegin, close), c == L'"');
            pos = close;
            tokenBegin = close + 1;
        } else if (c == L'=') {
            const wchar_t* tokenStart = SkipBlanks(tokenBegin, pos);
            const wchar_t* tokenEnd = TrimBlanks(tokenStart, pos);
            if (tokenStart == tokenEnd) return;
            pendingBegin = tokenStart;
            pendingEnd = tokenEnd;
            tokenBegin = pos + 1;
        } else {
            // A blank, a slash or the end.
            const wchar_t* tokenStart = SkipBlanks(tokenBegin, pos);
            const wchar_t* tokenEnd = TrimBlanks(tokenStart, pos);
            if (pendingBegin) {
                appendAttribute(tokenStart, tokenEnd, false);
            } else if (tokenStart != tokenEnd) {
                name.assign(tokenStart, tokenEnd);
                DecodeEntities(name);
            }
            if (atEnd || c == L'/') return;
            tokenBegin = pos + 1;
        }
    }
}

namespace {

// How often each name occurs, for nodes too wide for linear scans.
class CNameCounts {
public:
    void Reserve(size_t names) { counts_.reserve(names); }
    void Add(const std::wstring& name) { ++counts_[name]; }
    void Remove(const std::wstring& name) {
        auto it = counts_.find(name);
        if (it != counts_.end() && --it->second == 0) counts_.erase(it);
    }
    unsigned Count(const std::wstring& name) const {
        auto it = counts_.find(name);
        return it == counts_.end() ? 0 : it->second;
    }

private:
    std::unordered_map<std::wstring, unsigned> counts_;
};

// The attributes of a wide node by name while its children are folded.
// Folding only ever removes the first attribute of a name and appends new
// ones at the end, so each name keeps its positions in order with a cursor
// to the first one left. A removed attribute stays in the list, marked, until
// Compact closes the gaps in one pass: erasing each at once would move the
// rest of the list every time.
class CAttributeIndex {
public:
    using Attribute = CXMLConfig::Attribute;

    explicit CAttributeIndex(std::vector<Attribute>& list) : list_(list) {
        positions_.reserve(list_.size());
        removed_.reserve(list_.capacity());
        for (size_t k = 0; k < list_.size(); ++k) Indexed(k);
    }

    // The first attribute left with the name, or null.
    Attribute* Find(const std::wstring& name) {
        auto it = positions_.find(name);
        if (it == positions_.end()) return nullptr;
        const tagPositions& found = it->second;
        return found.next < found.at.size() ? &list_[found.at[found.next]] : nullptr;
    }
    // Takes out the attribute Find gave for the same name.
    Attribute TakeFirst(const std::wstring& name) {
        tagPositions& found = positions_[name];
        const size_t k = found.at[found.next++];
        removed_[k] = true;
        ++gaps_;
        return std::move(list_[k]);
    }
    void Append(std::wstring name, std::wstring value) {
        list_.emplace_back(std::move(name), std::move(value));
        Indexed(list_.size() - 1);
    }
    void Compact() {
        if (!gaps_) return;
        size_t write = 0;
        for (size_t k = 0; k < list_.size(); ++k) {
            if (removed_[k]) continue;
            if (write != k) list_[write] = std::move(list_[k]);
            ++write;
        }
        list_.erase(list_.begin() + static_cast<std::ptrdiff_t>(write), list_.end());
        gaps_ = 0;
    }

private:
    struct tagPositions {
        std::vector<size_t> at;
        size_t next = 0;
    };
    void Indexed(size_t k) {
        positions_[list_[k].first].at.push_back(k);
        removed_.push_back(false);
    }

    std::vector<Attribute>& list_;
    std::unordered_map<std::wstring, tagPositions> positions_;
    std::vector<bool> removed_;
    size_t gaps_ = 0;
};

// Above this many children or attributes a node's names are looked up in
// hash tables, so that folding a wide node is not quadratic. Below it the
// lists stay short however the walk goes: each child the walk appends takes
// one attribute away.
constexpr size_t kWideNode = 32;

// An element with neither children nor attributes: what folding folds.
bool IsLeaf(const CXMLConfig* node) {
    return node->children->empty() && node->attributes->empty() && (node->kind & XML_NODE_ELEMENT);
}

}  // namespace

// Folds every leaf element (no children, no attributes) that is unique among
// its siblings into an attribute of its parent. Works level by level from a
// list of nodes still to fold, so that depth costs no stack; the subtrees
// are independent, so the order in which they are folded does not matter.
bool CXMLConfig::FoldLeafElements() {
    std::vector<CXMLConfig*> pending{this};
    while (!pending.empty()) {
        CXMLConfig* node = pending.back();
        pending.pop_back();
        if (!node->FoldChildren(pending)) return false;
    }
    return true;
}

// One node's walk. Kept children are moved down over the folded ones as the
// walk goes (children appended meanwhile are walked too); the list is
// closed up however the walk ends.
bool CXMLConfig::FoldChildren(std::vector<CXMLConfig*>& pending) {
    ChildList& list = *children;
    size_t read = 0, write = 0;
    struct tagCloseUp {
        ChildList& list;
        const size_t& read;
        const size_t& write;
        ~tagCloseUp() { list.erase(list.begin() + write, list.begin() + read); }
    } closeUp{list, read, write};

    const bool wide = list.size() > kWideNode || attributes->size() > kWideNode;
    CNameCounts childNames;
    std::unique_ptr<CAttributeIndex> index;
    struct tagCompact {
        std::unique_ptr<CAttributeIndex>& index;
        ~tagCompact() {
            if (index) index->Compact();
        }
    } compact{index};
    // Done at the first leaf only: many nodes (a list of items) have none.
    bool prepared = false;
    auto prepare = [&] {
        prepared = true;
        size_t leaves = 0;
        for (size_t k = read; k < list.size(); ++k) leaves += IsLeaf(list[k]);
        attributes->reserve(attributes->size() + leaves);
        if (!wide) return;
        childNames.Reserve(list.size());
        for (size_t k = 0; k < list.size(); ++k) {
            if (k < write || k >= read) childNames.Add(list[k]->name);
        }
        index = std::make_unique<CAttributeIndex>(*attributes);
    };

    // Whether another child than list[read] has the name.
    auto repeated = [&](const std::wstring& wanted) {
        if (wide) return childNames.Count(wanted) > 1;
        for (size_t k = 0; k < list.size(); ++k) {
            if ((k < write || k > read) && list[k]->name == wanted) return true;
        }
        return false;
    };

    for (; read < list.size(); ++read) {
        CXMLConfig* child = list[read];
        const bool leaf = IsLeaf(child);
        if (leaf && !prepared) prepare();
        Attribute* attribute = !leaf ? nullptr : wide ? index->Find(child->name) : FindAttribute(child->name);
        if (attribute) {
            // The attribute becomes an element beside the same-named child.
            Attribute moved;
            if (wide) {
                moved = index->TakeFirst(child->name);
            } else {
                moved = std::move(*attribute);
                attributes->erase(attributes->begin() + (attribute - attributes->data()));
            }
            list[write++] = child;
            CXMLConfig* added = AddChild(moved.first, XML_NODE_ELEMENT);
            if (!added) {
                ++read;
                return false;
            }
            added->text = std::move(moved.second);
            if (wide) childNames.Add(added->name);
        } else if (!leaf || repeated(child->name)) {
            if (!child->children->empty()) pending.push_back(child);
            list[write++] = child;
        } else {
            if (wide) {
                childNames.Remove(child->name);
                index->Append(std::move(child->name), std::move(child->text));
            } else {
                attributes->emplace_back(std::move(child->name), std::move(child->text));
            }
            delete child;
        }
    }
    return true;
}

}  // namespace _ServerEngine
