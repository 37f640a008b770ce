#include "Manifest.h"

#include "base/DecimalParse.h"
#include "base/Minisign.h"

#include <cstring>
#include <limits>
#include <unordered_set>

namespace publish {
namespace {

const char kBlockStart[] = "<!-- signature";

using Attributes = std::vector<std::pair<std::string, std::string>>;

std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

void AppendUtf8(uint32_t code, std::string* out) {
    if (code < 0x80) {
        *out += static_cast<char>(code);
    } else if (code < 0x800) {
        *out += static_cast<char>(0xC0 | code >> 6);
        *out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        *out += static_cast<char>(0xE0 | code >> 12);
        *out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        *out += static_cast<char>(0xF0 | code >> 18);
        *out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
        *out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
        *out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

bool Unescape(const std::string& raw, std::string* out) {
    out->clear();
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '&') {
            *out += raw[i];
            continue;
        }
        const size_t end = raw.find(';', i);
        if (end == std::string::npos) return false;
        const std::string name = raw.substr(i + 1, end - i - 1);
        if (name == "amp") *out += '&';
        else if (name == "lt") *out += '<';
        else if (name == "gt") *out += '>';
        else if (name == "quot") *out += '"';
        else if (name == "apos") *out += '\'';
        else if (name.size() > 1 && name[0] == '#') {
            const bool hex = name[1] == 'x';
            const std::string digits = name.substr(hex ? 2 : 1);
            if (digits.empty() || digits.size() > 6) return false;
            uint32_t code = 0;
            for (char d : digits) {
                int v;
                if (d >= '0' && d <= '9') v = d - '0';
                else if (hex && d >= 'a' && d <= 'f') v = d - 'a' + 10;
                else if (hex && d >= 'A' && d <= 'F') v = d - 'A' + 10;
                else return false;
                code = code * (hex ? 16 : 10) + v;
            }
            if (code == 0 || code > 0x10FFFF) return false;
            AppendUtf8(code, out);
        } else {
            return false;
        }
        i = end;
    }
    return true;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsNameChar(char c) { return !IsSpace(c) && c != '/' && c != '>' && c != '=' && c != '<' && c != '\0'; }

// A small pull reader for the subset manifests use: declaration, comments,
// elements with attributes, ignored text.
class CXmlReader {
public:
    explicit CXmlReader(const std::string& xml) : xml_(xml) {
        if (xml_.compare(0, 3, "\xEF\xBB\xBF") == 0) pos_ = 3;
    }

    bool Read(tagManifest* manifest, std::string* error) {
        // The updater reads the first "Update" element only (the first in
        // document order, at any depth) and its "File" children.
        bool found = false, inUpdate = false;
        size_t updateDepth = 0;
        std::vector<std::string> open;
        while (true) {
            while (pos_ < xml_.size() && xml_[pos_] != '<') ++pos_;  // text is not used
            if (pos_ >= xml_.size()) break;
            if (Skip("<?", "?>") || Skip("<!--", "-->")) {
                if (failed_) return Fail(error, "unterminated declaration or comment");
                continue;
            }
            if (xml_.compare(pos_, 2, "<!") == 0) return Fail(error, "unsupported markup (DOCTYPE or CDATA)");
            if (xml_.compare(pos_, 2, "</") == 0) {
                pos_ += 2;
                const std::string name = Name();
                SkipSpace();
                if (open.empty() || name != open.back() || !Expect('>')) return Fail(error, "mismatched end tag");
                open.pop_back();
                if (open.size() == updateDepth) inUpdate = false;
                continue;
            }
            ++pos_;
            std::string name = Name();
            if (name.empty()) return Fail(error, "element without a name");
            Attributes attributes;
            bool empty = false;
            if (!ReadAttributes(&attributes, &empty)) return Fail(error, "malformed attributes of <" + name + ">");
            if (!found && name == "Update") {
                found = true;
                updateDepth = open.size();
                inUpdate = !empty;
                if (!ReadUpdate(attributes, manifest, error)) return false;
            } else if (inUpdate && open.size() == updateDepth + 1 && name == "File") {
                manifest->items_.push_back(tagItem{attributes});
            }
            if (!empty) open.push_back(name);
        }
        if (!open.empty()) return Fail(error, "element <" + open.back() + "> is not closed");
        if (!found) return Fail(error, "no <Update> element");
        return true;
    }

private:
    const std::string& xml_;
    size_t pos_ = 0;
    bool failed_ = false;

    static bool Fail(std::string* error, const std::string& text) {
        *error = "manifest: " + text;
        return false;
    }

    bool Skip(const char* open, const char* close) {
        if (xml_.compare(pos_, std::strlen(open), open) != 0) return false;
        const size_t end = xml_.find(close, pos_ + std::strlen(open));
        if (end == std::string::npos) {
            failed_ = true;
            pos_ = xml_.size();
        } else {
            pos_ = end + std::strlen(close);
        }
        return true;
    }

    void SkipSpace() {
        while (pos_ < xml_.size() && IsSpace(xml_[pos_])) ++pos_;
    }

    bool Expect(char c) {
        if (pos_ >= xml_.size() || xml_[pos_] != c) return false;
        ++pos_;
        return true;
    }

    std::string Name() {
        const size_t start = pos_;
        while (pos_ < xml_.size() && IsNameChar(xml_[pos_])) ++pos_;
        return xml_.substr(start, pos_ - start);
    }

    bool ReadAttributes(Attributes* attributes, bool* empty) {
        std::unordered_set<std::string> names;
        while (true) {
            SkipSpace();
            if (Expect('>')) return true;
            if (Expect('/')) {
                *empty = true;
                return Expect('>');
            }
            const std::string name = Name();
            SkipSpace();
            if (name.empty() || !Expect('=')) return false;
            SkipSpace();
            if (pos_ >= xml_.size() || (xml_[pos_] != '"' && xml_[pos_] != '\'')) return false;
            const char quote = xml_[pos_++];
            const size_t end = xml_.find(quote, pos_);
            if (end == std::string::npos) return false;
            std::string value;
            if (!Unescape(xml_.substr(pos_, end - pos_), &value)) return false;
            pos_ = end + 1;
            if (!names.insert(name).second) return false;
            attributes->emplace_back(name, value);
        }
    }

    static bool ReadUpdate(const Attributes& attributes, tagManifest* manifest, std::string* error) {
        uint64_t game = 0;
        bool hasGame = false;
        for (const auto& attribute : attributes) {
            if (attribute.first == "game") {
                hasGame = ParseDecimal(attribute.second, std::numeric_limits<uint32_t>::max(), &game);
                if (!hasGame) return Fail(error, "bad game attribute");
            } else if (attribute.first == "version") {
                if (!ParseDecimal(attribute.second, std::numeric_limits<int64_t>::max(), &manifest->version_)) {
                    return Fail(error, "bad version attribute");
                }
            } else if (attribute.first == "url") {
                manifest->url_ = attribute.second;
            }
        }
        if (!hasGame) return Fail(error, "<Update> has no game attribute");
        manifest->game_ = static_cast<uint32_t>(game);
        return true;
    }
};

void AppendElement(const char* name, const Attributes& attributes, std::string* out) {
    *out += '<';
    *out += name;
    for (const auto& attribute : attributes) {
        *out += ' ' + attribute.first + "=\"" + Escape(attribute.second) + '"';
    }
}

}  // namespace

const std::string& tagItem::Get(const char* name) const {
    static const std::string kEmpty;
    for (const auto& attribute : attributes_) {
        if (attribute.first == name) return attribute.second;
    }
    return kEmpty;
}

// The updater reads an unparsable version as 0 and never carries the item
// out; 0 says the same here.
uint64_t tagItem::Version() const {
    uint64_t version = 0;
    return ParseDecimal(Get("version"), std::numeric_limits<int64_t>::max(), &version) ? version : 0;
}

int tagItem::Op() const {
    uint64_t op = 0;
    if (Get("op").empty()) return kOpDownload;
    return ParseDecimal(Get("op"), 1000, &op) ? static_cast<int>(op) : -1;
}

tagItem MakeDownload(uint64_t version, const std::string& path, const std::string& fname, uint64_t size,
                     const std::string& sha256) {
    return tagItem{{{"version", std::to_string(version)},
                    {"op", "0"},
                    {"path", path},
                    {"fname", fname},
                    {"size", std::to_string(size)},
                    {"sha256", sha256}}};
}

tagItem MakeDelete(uint64_t version, const std::string& path) {
    return tagItem{{{"version", std::to_string(version)}, {"op", "1"}, {"path", path}}};
}

tagItem MakeMove(uint64_t version, const std::string& src, const std::string& des) {
    return tagItem{{{"version", std::to_string(version)}, {"op", "2"}, {"src", src}, {"des", des}}};
}

std::string FormatManifest(const tagManifest& manifest) {
    std::string out = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
    AppendElement("Update",
                  {{"game", std::to_string(manifest.game_)},
                   {"version", std::to_string(manifest.version_)},
                   {"url", manifest.url_}},
                  &out);
    out += ">\n";
    for (const tagItem& item : manifest.items_) {
        out += "  ";
        AppendElement("File", item.attributes_, &out);
        out += "/>\n";
    }
    out += "</Update>\n";
    return out;
}

bool ParseManifest(const std::string& xml, tagManifest* manifest, std::string* error) {
    *manifest = tagManifest();
    return CXmlReader(xml).Read(manifest, error);
}

bool SplitSignedBody(const std::string& body, std::string* manifest, std::string* minisig, std::string* error) {
    size_t size = 0;
    std::string_view block;
    if (!kit::SplitSignedBody(body, &size, &block)) {
        *error = "no signature block, closed and followed by blanks only, at the end";
        return false;
    }
    manifest->assign(body, 0, size);
    minisig->assign(block);
    return true;
}

std::string JoinSignedBody(const std::string& manifest, const std::string& minisig) {
    return manifest + kBlockStart + "\n" + minisig + "-->\n";
}

bool ParseDecimal(const std::string& text, uint64_t limit, uint64_t* value) {
    const char* pos = text.data();
    const char* const end = pos + text.size();
    return kit::ReadDecimalDigits(pos, end, limit, value) && pos == end;
}

}  // namespace publish
