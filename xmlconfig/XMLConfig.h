// A small in-memory XML tree: every node, the document root included, is a
// CXMLConfig. The reader is lenient (malformed markup makes it stop early or
// read something else, never fail) and folds leaf child elements into
// attributes of their parent, so that <File size="10"/> and
// <File><size>10</size></File> read the same.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "MemPool.h"

namespace _ServerEngine {

// Node kinds (bit values).
enum {
    XML_NODE_ELEMENT = 1,
    XML_NODE_TEXT = 2,  // text beside child markup
    XML_NODE_CDATA = 4,
    XML_NODE_COMMENT = 8,
};

// What DetectEncoding makes of a buffer without byte-order mark.
enum XMLEncoding {
    XML_ENCODING_UNKNOWN,
    XML_ENCODING_UNSUPPORTED,
    XML_ENCODING_ANSI,
    XML_ENCODING_UTF8,
    XML_ENCODING_UTF16LE,
    XML_ENCODING_UTF16BE,
};

class CXMLConfig final : public CMemPoolObject<CXMLConfig, 4> {
public:
    using Attribute = std::pair<std::wstring, std::wstring>;
    using AttributeList = std::vector<Attribute>;
    using ChildList = std::vector<CXMLConfig*>;

    CXMLConfig(const std::wstring& name, CXMLConfig* parent, int kind);
    // Destroys the whole subtree (without recursion, however deep it is).
    ~CXMLConfig();
    CXMLConfig(const CXMLConfig&) = delete;
    CXMLConfig& operator=(const CXMLConfig&) = delete;

    // Destroys every child and drops every attribute; name, text, parent and
    // kind stay.
    virtual void Clear();

    // Parses the first `size` bytes of `data` (no terminator needed) into
    // this node, which becomes the root. False when the encoding cannot be
    // read, the text is empty, or memory runs out; the buffer is never
    // written to.
    bool LoadFromBuffer(const char* data, unsigned size);

    // This node if it has `name`, else the first match of a depth-first,
    // pre-order search of the children in order; null when none.
    CXMLConfig* FindNode(const std::wstring& name);

    // The value of the first attribute named `name`, else `defaultValue`.
    const wchar_t* GetAttribute(const std::wstring& name, const wchar_t* defaultValue);
    // The value read like _wtoi (saturating), 0 when absent.
    int GetAttributeInt(const std::wstring& name);
    // Replaces the first such attribute's value, removes it when `value` is
    // null, or appends a new attribute when absent and `value` is not null.
    void SetAttribute(const std::wstring& name, const wchar_t* value);
    // Appends a pooled child of this node; null when none can be had.
    CXMLConfig* AddChild(const std::wstring& name, int kind);

    // Classifies a buffer that has no byte-order mark (XMLEncoding).
    static int DetectEncoding(const char* data, unsigned size);
    // Replaces character references in place: &#NNN; and &#xHHH; (a
    // surrogate pair above U+FFFF; left as written when they name no
    // character) and the named ones quot, amp, lt, gt, apos and nbsp (a
    // space).
    static void DecodeEntities(std::wstring& text);

    std::wstring name;
    std::wstring text;
    CXMLConfig* parent;
    AttributeList* attributes;
    ChildList* children;
    int kind;

private:
    // The two lists live inside the node: one heap call fewer each.
    AttributeList attributeStore_;
    ChildList childStore_;

    Attribute* FindAttribute(const std::wstring& name);
    void DestroyChildren();
    bool ParseElement(const wchar_t* pos, const wchar_t* end);
    void ParseTag(const wchar_t* begin, const wchar_t* end);
    bool AddRawChild(int kind, const wchar_t* begin, const wchar_t* end, bool decode);
    bool FoldLeafElements();
    bool FoldChildren(std::vector<CXMLConfig*>& pending);
};

}  // namespace _ServerEngine
