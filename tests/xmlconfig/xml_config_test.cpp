#include <windows.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "StringHelpers.h"
#include "XMLConfig.h"
#include "kit_test.h"

using namespace _ServerEngine;

namespace {

const std::string kBom = "\xEF\xBB\xBF";

// The bytes of a document in a read-only region that ends right in front of
// an inaccessible page: reading past the end or writing anywhere faults.
class CGuardedBuffer {
public:
    explicit CGuardedBuffer(const std::string& bytes) : size_(static_cast<unsigned>(bytes.size())) {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        const size_t page = info.dwPageSize;
        const size_t dataPages = (bytes.size() + page - 1) / page + 1;
        base_ = static_cast<char*>(
            VirtualAlloc(nullptr, (dataPages + 1) * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        data_ = base_ + dataPages * page - bytes.size();
        if (!bytes.empty()) std::memcpy(data_, bytes.data(), bytes.size());
        DWORD old = 0;
        VirtualProtect(base_, dataPages * page, PAGE_READONLY, &old);
        VirtualProtect(base_ + dataPages * page, page, PAGE_NOACCESS, &old);
    }
    ~CGuardedBuffer() { VirtualFree(base_, 0, MEM_RELEASE); }
    CGuardedBuffer(const CGuardedBuffer&) = delete;
    CGuardedBuffer& operator=(const CGuardedBuffer&) = delete;

    const char* Data() const { return data_; }
    unsigned Size() const { return size_; }

private:
    char* base_ = nullptr;
    char* data_ = nullptr;
    unsigned size_;
};

bool Load(CXMLConfig& root, const std::string& bytes) {
    CGuardedBuffer buffer(bytes);
    return root.LoadFromBuffer(buffer.Data(), buffer.Size());
}

std::string Utf16(const std::wstring& text, bool bigEndian) {
    std::string bytes;
    for (wchar_t c : text) {
        const char low = static_cast<char>(c & 0xFF), high = static_cast<char>(c >> 8);
        bytes += bigEndian ? high : low;
        bytes += bigEndian ? low : high;
    }
    return bytes;
}

// One line per tree: name[attr=value;...]{text}(children), text nodes as
// #text{...}, comments as #comment{...}, CDATA as #cdata{...}.
std::wstring Dump(const CXMLConfig& node) {
    std::wstring out;
    switch (node.kind) {
        case XML_NODE_TEXT:
            out = L"#text";
            break;
        case XML_NODE_COMMENT:
            out = L"#comment";
            break;
        case XML_NODE_CDATA:
            out = L"#cdata";
            break;
        default:
            out = node.name;
    }
    if (!node.attributes->empty()) {
        out += L"[";
        for (size_t i = 0; i < node.attributes->size(); ++i) {
            if (i) out += L";";
            out += (*node.attributes)[i].first + L"=" + (*node.attributes)[i].second;
        }
        out += L"]";
    }
    if (!node.text.empty()) out += L"{" + node.text + L"}";
    if (!node.children->empty()) {
        out += L"(";
        for (size_t i = 0; i < node.children->size(); ++i) {
            if (i) out += L",";
            out += Dump(*(*node.children)[i]);
        }
        out += L")";
    }
    return out;
}

// Counts the nodes below `root` without recursion, checking every parent link.
size_t CountAndCheckLinks(CXMLConfig& root) {
    size_t count = 0;
    std::vector<CXMLConfig*> pending{&root};
    while (!pending.empty()) {
        CXMLConfig* node = pending.back();
        pending.pop_back();
        for (CXMLConfig* child : *node->children) {
            EXPECT_EQ(node, child->parent);
            pending.push_back(child);
            ++count;
        }
    }
    return count;
}

struct tagEncodingCase {
    const char* what;
    std::string bytes;
    bool loads;
    const wchar_t* dump;  // expected tree when it loads
};

const std::wstring kChinese = L"\x66f4\x65b0";  // 更新
const std::string kGbk = "\xB8\xFC\xD0\xC2";    // 更新 in code page 936

TEST(XMLEncodingTest, LoadsOrFailsByItsBytes) {
    const tagEncodingCase cases[] = {
        tagEncodingCase{"two bytes", "<a", false, L""},
        tagEncodingCase{"twelve bytes, no mark", "<a>xyz</a>  ", false, L""},
        tagEncodingCase{"thirteen bytes, no mark", "<a>xyz</a>   ", true, L"a{xyz}"},
        tagEncodingCase{"short, with UTF-8 mark", kBom + "<a>x</a>", true, L"a{x}"},
        tagEncodingCase{"UTF-8 mark only", kBom, false, L""},
        tagEncodingCase{"UTF-8 mark and blanks", kBom + "   ", true, L""},
        tagEncodingCase{"UTF-8 declaration",
                        "<?xml version=\"1.0\" encoding=\"utf-8\"?><a>" + kit_test::ToUtf8(kChinese) + "</a>",
                        true, L"a{\x66f4\x65b0}"},
        tagEncodingCase{"upper-case UTF-8", "<?xml version=\"1.0\" encoding=\"UTF-8\"?><a>x</a>", false, L""},
        tagEncodingCase{"gb2312", "<?xml version=\"1.0\" encoding=\"gb2312\"?><a>" + kGbk + "</a>", true,
                        L"a{\x66f4\x65b0}"},
        tagEncodingCase{"GB2312", "<?xml version=\"1.0\" encoding=\"GB2312\"?><a>" + kGbk + "</a>", true,
                        L"a{\x66f4\x65b0}"},
        tagEncodingCase{"no encoding named: ANSI", "<?xml version=\"1.0\"?><a>" + kGbk + "</a>", true,
                        L"a{\x66f4\x65b0}"},
        tagEncodingCase{"no declaration: ANSI", "<a>" + kGbk + "</a>   ", true, L"a{\x66f4\x65b0}"},
        tagEncodingCase{"utf-16 named in 8-bit text", "<?xml encoding=\"utf-16\"?><a>x</a>", false, L""},
        tagEncodingCase{"unicodeFFFE named", "<?xml encoding=\"unicodeFFFE\"?><a>x</a>", false, L""},
        tagEncodingCase{"other encoding", "<?xml encoding=\"latin1\"?><a>x</a>", false, L""},
        tagEncodingCase{"declaration never closed", "<?xml encoding=\"utf-8\" <a>x</a>", false, L""},
        tagEncodingCase{"encoding value never closed", "<?xml ?><a>x</a> encoding=\"utf-8", false, L""},
        tagEncodingCase{"encoding label after the declaration",
                        "<?xml?><a v='encoding=\"utf-8\"'>" + kit_test::ToUtf8(kChinese) + "</a>", true,
                        L"a[v=encoding=\"utf-8\"]{\x66f4\x65b0}"},
        tagEncodingCase{"UTF-8 stops at a NUL byte", kBom + std::string("<a>x</a>\0<b>y</b>", 17), true,
                        L"a{x}"},
        tagEncodingCase{"UTF-16LE mark", "\xFF\xFE" + Utf16(L"<a>" + kChinese + L"</a>", false), true,
                        L"a{\x66f4\x65b0}"},
        tagEncodingCase{"UTF-16BE mark", "\xFE\xFF" + Utf16(L"<a>" + kChinese + L"</a>", true), true,
                        L"a{\x66f4\x65b0}"},
        tagEncodingCase{"UTF-16LE mark, odd byte ignored", "\xFF\xFE" + Utf16(L"<a>x</a>", false) + "<", true,
                        L"a{x}"},
        tagEncodingCase{"UTF-16LE without mark", Utf16(L"<a>" + kChinese + L"</a>", false), true,
                        L"a{\x66f4\x65b0}"},
        tagEncodingCase{"UTF-16BE without mark", Utf16(L"<a>" + kChinese + L"</a>", true), true,
                        L"a{\x66f4\x65b0}"},
        tagEncodingCase{"UTF-16LE without mark, odd size", Utf16(L"<a>xyz</a>", false) + " ", false, L""},
        tagEncodingCase{"UTF-16BE without mark, odd size", Utf16(L"<a>xyz</a>", true) + " ", false, L""},
        tagEncodingCase{"two NUL bytes first", std::string("\0\0<a>xyz</a>   ", 15), false, L""},
        tagEncodingCase{"UTF-16 stops at a NUL character", Utf16(std::wstring(L"<a>x</a>\0<b/>", 13), false),
                        true, L"a{x}"},
        tagEncodingCase{"UTF-16 with nothing but a mark and NUL", "\xFF\xFE" + std::string(2, '\0'), false,
                        L""}};
    for (const tagEncodingCase& c : cases) {
        CXMLConfig root(L"", nullptr, 0);
        EXPECT_EQ(c.loads, Load(root, c.bytes)) << c.what;
        if (c.loads) {
            EXPECT_EQ(std::wstring(c.dump), Dump(root)) << c.what;
        }
    }
}

TEST(XMLEncodingDetectionTest, ClassifiesBuffersWithoutMark) {
    struct {
        std::string bytes;
        int expected;
    } cases[] = {
        {"<a>1</a>", XML_ENCODING_UNKNOWN},
        {"<root>text</root>", XML_ENCODING_ANSI},
        {"<?xml version=\"1.0\"?><r/>", XML_ENCODING_ANSI},
        {"<?xml encoding=\"utf-8\"?><r/>", XML_ENCODING_UTF8},
        {"<?xml encoding=\"Utf-8\"?><r/>", XML_ENCODING_UNSUPPORTED},
        {"<?xml encoding=\"utf-16\"?><r/>", XML_ENCODING_UNKNOWN},
        {"<?xml encoding='utf-8'?><root/>", XML_ENCODING_ANSI},
        {"<? no end <root></root>", XML_ENCODING_UNKNOWN},
        {std::string("\0<\0r\0o\0o\0t\0/\0>", 14), XML_ENCODING_UTF16BE},
        {std::string("<\0r\0o\0o\0t\0/\0>\0", 14), XML_ENCODING_UTF16LE},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected,
                  CXMLConfig::DetectEncoding(c.bytes.data(), static_cast<unsigned>(c.bytes.size())))
            << c.bytes;
    }
}

TEST(XMLEncodingDetectionTest, MalformedUtf8DecodesAsOneConversionOfTheWholeText) {
    // The reader converts runs of non-ASCII bytes separately; the result must
    // be what one conversion of the whole text gives.
    const std::string bodies[] = {
        "\xE6\x9B",
        "\xE6\x9Bx\xB4",
        "\x80\x80\xBFz",
        "\xF0\x9F\x98\x80",
        "\xF0\x9F\x98",
        "\xC3\xA9\xE2\x82\xAC\xF4\x8F\xBF\xBF",
        "\xE0\x80\xAF\xF4\x90\x80\x80\xC3",
        "\xC0\xAF.\xED\xA0\x80",
        "\xE6\x9B\xB4\xE6",
        "\xFF\xFE!",
    };
    for (const std::string& body : bodies) {
        const std::string element = "<a>" + body + "</a>";
        std::wstring whole(element.size(), L'\0');
        whole.resize(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, element.data(),
                                                             static_cast<int>(element.size()), &whole[0],
                                                             static_cast<int>(whole.size()))));
        ASSERT_GT(whole.size(), 7u);
        CXMLConfig root(L"", nullptr, 0);
        ASSERT_TRUE(Load(root, kBom + element));
        EXPECT_EQ(whole.substr(3, whole.size() - 7), root.text) << body;
    }
}

TEST(XMLEncodingDetectionTest, BigEndianInputIsReadWithoutWritingTheCallersBuffer) {
    // The guarded buffer is read-only: a swap in place would fault.
    const std::string bytes = "\xFE\xFF" + Utf16(L"<a>x</a>", true);
    CGuardedBuffer buffer(bytes);
    CXMLConfig root(L"", nullptr, 0);
    ASSERT_TRUE(root.LoadFromBuffer(buffer.Data(), buffer.Size()));
    EXPECT_EQ(L"a{x}", Dump(root));
    EXPECT_EQ(0, std::memcmp(bytes.data(), buffer.Data(), bytes.size()));
}

struct tagTreeCase {
    const char* document;  // UTF-8, loaded behind a byte-order mark
    const wchar_t* dump;
};

// Loads each document behind a UTF-8 byte-order mark and compares its tree.
void ExpectTrees(std::initializer_list<tagTreeCase> cases) {
    for (const tagTreeCase& c : cases) {
        CXMLConfig root(L"", nullptr, 0);
        ASSERT_TRUE(Load(root, kBom + c.document)) << c.document;
        EXPECT_EQ(std::wstring(c.dump), Dump(root)) << c.document;
    }
}

TEST(XMLTreeTest, FoldsLeafElementsIntoAttributes) {
    ExpectTrees({tagTreeCase{"<File size=\"10\"/>", L"File[size=10]"},
                 tagTreeCase{"<File><size>10</size></File>", L"File[size=10]"},
                 tagTreeCase{"<r><File><size>10</size></File></r>", L"r(File[size=10])"},
                 tagTreeCase{"<a><path>x</path><path>y</path></a>", L"a(path{x},path{y})"},
                 tagTreeCase{"<a b=\"1\"><b>2</b></a>", L"a(b{2},b{1})"},
                 tagTreeCase{"<a><b/></a>", L"a[b=]"},
                 tagTreeCase{"<a b=\"1\"><b c=\"2\"/></a>", L"a[b=1](b[c=2])"},
                 tagTreeCase{"<a><b/><b>x</b></a>", L"a(b,b{x})"},
                 tagTreeCase{"<a><b>1</b><c>2</c></a>", L"a[b=1;c=2]"},
                 tagTreeCase{"<Update url=\"u\"><File/></Update>", L"Update[url=u;File=]"},
                 tagTreeCase{"<r><File name=\"a\"><path>p</path></File><File name=\"b\"/></r>",
                             L"r(File[name=a;path=p],File[name=b])"}});
}

TEST(XMLTreeTest, ReadsTagsByTheirQuoteRules) {
    ExpectTrees({tagTreeCase{"<a v=\"&amp;\"/>", L"a[v=&]"}, tagTreeCase{"<a v='&amp;'/>", L"a[v=&amp;]"},
                 tagTreeCase{"<a v=&amp;/>", L"a[v=&amp;]"}, tagTreeCase{"<a v=\"  x  \"/>", L"a[v=x]"},
                 tagTreeCase{"<a v='  x  '/>", L"a[v=x]"}, tagTreeCase{"<a b =\"1\"/>", L"b"},
                 tagTreeCase{"<a b= \"1\" c=\"2\"/>", L"a[b=]"},
                 tagTreeCase{"<a v=\"it's\" w='say \"hi\"'/>", L"a[v=it's;w=say \"hi\"]"},
                 tagTreeCase{"<a v=\"x/y>z\"/>", L"a"}, tagTreeCase{"<a x&amp;y=\"1\"/>", L"a[x&y=1]"},
                 tagTreeCase{"<a&lt;b/>", L"a<b"}, tagTreeCase{"<a b c/>", L"c"},
                 tagTreeCase{"<a x=\"1\" x=\"2\"/>", L"a[x=1;x=2]"},
                 tagTreeCase{"<a\tx=1\ny=2\r/>", L"a[x=1;y=2]"},
                 tagTreeCase{"<a x=\"1\"y=\"2\"/>", L"a[x=1;y=2]"}, tagTreeCase{"<a x=\"open/>", L"a"},
                 tagTreeCase{"<a \"x\" y=\"1\"/>", L"a"}, tagTreeCase{"<a =\"1\" y=\"2\"/>", L"a"}});
}

TEST(XMLTreeTest, KeepsTextsCommentsAndCdata) {
    ExpectTrees(
        {tagTreeCase{"<a>x &amp;lt; y</a>", L"a{x &lt; y}"}, tagTreeCase{"<a> \t x \r\n </a>", L"a{x}"},
         tagTreeCase{"<a>one<b/></a>", L"a[b=](#text{one})"},
         tagTreeCase{"<a> one <b>2</b> two <c>3</c></a>", L"a[b=2;c=3](#text{one},#text{two})"},
         tagTreeCase{"<a><b/>tail &amp; end </a>", L"a[b=](#text{tail & end})"},
         tagTreeCase{"<a><!-- x &amp; y --><b>1</b></a>", L"a[b=1](#comment{ x &amp; y })"},
         tagTreeCase{"<a><![CDATA[ <x> &amp; ]]></a>", L"a(#cdata{ <x> &amp; })"},
         tagTreeCase{"<a><b/><!-- never closed", L"a[b=](#comment{ never closed})"},
         tagTreeCase{"<a><![CDATA[ open", L"a(#cdata{ open})"}, tagTreeCase{"<a><!-", L"a(#comment)"},
         tagTreeCase{"<r><a>1</b><c>2</c></r>", L"r[a=1;c=2]"},
         tagTreeCase{"<?xml version=\"1.0\"?>\r\n<a>x</a>", L"a{x}"}, tagTreeCase{"  \r\n<a>x</a>", L"a{x}"},
         tagTreeCase{"just text, no markup", L""}, tagTreeCase{"<a>text without end", L"a"},
         tagTreeCase{"<a><b", L"a[=]"}, tagTreeCase{"<a><>x</a>", L"a(,#text{x})"},
         tagTreeCase{"<a><b>1</b", L"a[b=1]"}, tagTreeCase{"<a><b><c>1</c></b></a><z/>", L"a(b[c=1])"}});
}

TEST(XMLFoldTest, WideNodesFoldLikeNarrowOnes) {
    // 34 children: n5 meets a same-named attribute, d is repeated, e has an
    // attribute, every other n is a unique leaf.
    std::string document = "<r n5=\"attr\">";
    std::wstring attributes, kept;
    for (int i = 0; i < 30; ++i) {
        document += "<n" + std::to_string(i) + "/>";
        if (i == 5) continue;
        attributes += (attributes.empty() ? L"" : L";") + std::wstring(L"n") + std::to_wstring(i) + L"=";
    }
    document += "<d>1</d><d>2</d><e x=\"1\"/><n5></n5></r>";
    CXMLConfig root(L"", nullptr, 0);
    ASSERT_TRUE(Load(root, kBom + document));
    EXPECT_EQ(L"r[" + attributes + L"](n5,d{1},d{2},e[x=1],n5,n5{attr})", Dump(root));
}

TEST(XMLFoldTest, FiftyThousandUniqueLeavesFoldIntoAttributes) {
    std::string document = kBom + "<r>";
    for (int i = 0; i < 50000; ++i)
        document += "<k" + std::to_string(i) + ">" + std::to_string(i) + "</k" + std::to_string(i) + ">";
    document += "</r>";
    CXMLConfig root(L"", nullptr, 0);
    ASSERT_TRUE(Load(root, document));
    EXPECT_EQ(50000u, root.attributes->size());
    EXPECT_TRUE(root.children->empty());
    EXPECT_EQ(49999, root.GetAttributeInt(L"k49999"));
}

// The folding rules applied the plain way, one list scan per step, to one
// node's attributes and children: what the loader must give however wide
// the node is.
struct tagFoldChild {
    std::wstring name, text;
    bool leaf;
};

std::wstring FoldByTheRules(std::vector<CXMLConfig::Attribute> attributes,
                            std::vector<tagFoldChild> children) {
    for (size_t i = 0; i < children.size();) {
        const tagFoldChild child = children[i];
        if (!child.leaf) {
            ++i;
            continue;
        }
        auto attribute = std::find_if(attributes.begin(), attributes.end(),
                                      [&](const CXMLConfig::Attribute& a) { return a.first == child.name; });
        if (attribute != attributes.end()) {
            children.push_back({attribute->first, attribute->second, true});
            attributes.erase(attribute);
            ++i;
            continue;
        }
        bool repeated = false;
        for (size_t k = 0; k < children.size(); ++k) repeated |= k != i && children[k].name == child.name;
        if (repeated) {
            ++i;
            continue;
        }
        attributes.emplace_back(child.name, child.text);
        children.erase(children.begin() + static_cast<std::ptrdiff_t>(i));
    }
    std::wstring dump = L"r";
    for (size_t i = 0; i < attributes.size(); ++i) {
        dump += (i ? L";" : L"[") + attributes[i].first + L"=" + attributes[i].second;
    }
    if (!attributes.empty()) dump += L"]";
    for (size_t i = 0; i < children.size(); ++i) {
        const tagFoldChild& child = children[i];
        dump += (i ? L"," : L"(") + child.name + (child.leaf ? L"" : L"[x=1]") +
                (child.text.empty() ? L"" : L"{" + child.text + L"}");
    }
    if (!children.empty()) dump += L")";
    return dump;
}

TEST(XMLFoldTest, FoldsAsTheRulesSayAtEveryWidth) {
    // Few names, so that attributes and children meet each other and repeat.
    std::mt19937 random(7);
    for (int round = 0; round < 300; ++round) {
        const int names = 2 + static_cast<int>(random() % 40);
        const size_t attributeCount = random() % (round % 3 ? 8 : 80);
        const size_t childCount = random() % (round % 2 ? 10 : 90);
        std::string document = "<r";
        std::vector<CXMLConfig::Attribute> attributes;
        for (size_t i = 0; i < attributeCount; ++i) {
            const std::string name = "n" + std::to_string(random() % names);
            document += " " + name + "=\"a" + std::to_string(i) + "\"";
            attributes.emplace_back(std::wstring(name.begin(), name.end()), L"a" + std::to_wstring(i));
        }
        document += ">";
        std::vector<tagFoldChild> children;
        for (size_t i = 0; i < childCount; ++i) {
            const std::string name = "n" + std::to_string(random() % names);
            const std::wstring wideName(name.begin(), name.end());
            switch (random() % 4) {
                case 0:
                    document += "<" + name + "/>";
                    children.push_back({wideName, L"", true});
                    break;
                case 1:
                    document += "<" + name + " x='1'/>";
                    children.push_back({wideName, L"", false});
                    break;
                default:
                    document += "<" + name + ">c" + std::to_string(i) + "</" + name + ">";
                    children.push_back({wideName, L"c" + std::to_wstring(i), true});
            }
        }
        document += "</r>";
        CXMLConfig root(L"", nullptr, 0);
        ASSERT_TRUE(Load(root, kBom + document)) << document;
        ASSERT_EQ(FoldByTheRules(attributes, children), Dump(root)) << document;
        CountAndCheckLinks(root);
    }
}

// Every leaf meets its same-named attribute: each attribute becomes a
// second child of its name, in the order of the leaves.
TEST(XMLFoldTest, LeavesMeetingTheirAttributesBecomePairsOfChildren) {
    constexpr int kLeaves = 20000;
    std::string document = "<Update";
    for (int i = 0; i < kLeaves; ++i) document += " a" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
    document += ">";
    for (int i = kLeaves - 1; i >= 0; --i) document += "<a" + std::to_string(i) + "/>";
    document += "</Update>";
    CXMLConfig root(L"", nullptr, 0);
    ASSERT_TRUE(Load(root, kBom + document));
    EXPECT_TRUE(root.attributes->empty());
    ASSERT_EQ(2u * kLeaves, root.children->size());
    EXPECT_EQ(L"a0", (*root.children)[kLeaves - 1]->name);
    EXPECT_EQ(L"a19999", (*root.children)[0]->name);
    EXPECT_EQ(L"a19999", (*root.children)[kLeaves]->name);
    EXPECT_EQ(L"19999", (*root.children)[kLeaves]->text);
    EXPECT_EQ(L"a0", (*root.children)[2 * kLeaves - 1]->name);
    EXPECT_EQ(L"0", (*root.children)[2 * kLeaves - 1]->text);
}

// Duplicate attributes of one name each pair with the same leaf in turn.
TEST(XMLFoldTest, RepeatedAttributesEachBecomeAChild) {
    constexpr int kCopies = 5000;
    std::string document = "<r k=\"x\"";
    for (int i = 0; i < kCopies; ++i) document += " d=\"" + std::to_string(i) + "\"";
    document += "><d/></r>";
    CXMLConfig root(L"", nullptr, 0);
    ASSERT_TRUE(Load(root, kBom + document));
    ASSERT_EQ(1u, root.attributes->size());
    EXPECT_EQ(L"k", (*root.attributes)[0].first);
    ASSERT_EQ(kCopies + 1u, root.children->size());
    EXPECT_EQ(L"", (*root.children)[0]->text);
    EXPECT_EQ(L"0", (*root.children)[1]->text);
    EXPECT_EQ(L"4999", (*root.children)[kCopies]->text);
}

TEST(XMLEntityTest, DecodesReferencesOnce) {
    struct {
        std::wstring in, out;
    } cases[] = {
        {L"a &quot;b&quot; &apos;c&apos; &lt;d&gt;", L"a \"b\" 'c' <d>"},
        {L"&#65;&nbsp;B", L"A B"},
        {L"&#26356;&#26032;", L"\x66f4\x65b0"},
        {L"&# 66;", L"B"},
        // Numeric references name one code point; one that names no
        // character is left as written rather than becoming U+0000.
        {L"a&#x5C;b", L"a\\b"},
        {L"&#x41;&#x6a;&#x6A;", L"Ajj"},
        {L"&#x66f4;&#X41;", L"\x66f4&#X41;"},
        {L"&#x41zz;&#65zz;", L"AA"},
        {L"&#x0000000041;", L"A"},
        {L"&#xFFFF;&#65535;", L"\xFFFF\xFFFF"},
        {L"&#x10000;&#65536;", L"\xD800\xDC00\xD800\xDC00"},
        {L"&#65601;", L"\xD800\xDC41"},
        {L"&#x1F600;!", L"\xD83D\xDE00!"},
        {L"&#x10FFFF;&#1114111;", L"\xDBFF\xDFFF\xDBFF\xDFFF"},
        {L"&#x110000;&#1114112;&#xFFFFFFFFFFFF;&#99999999999;",
         L"&#x110000;&#1114112;&#xFFFFFFFFFFFF;&#99999999999;"},
        {L"&#xD800;&#xDFFF;&#55296;", L"&#xD800;&#xDFFF;&#55296;"},
        {L"&#0;&#x0;&#x;&#;&#-1;&#xG;", L"&#0;&#x0;&#x;&#;&#-1;&#xG;"},
        {L"&#x26;amp;", L"&amp;"},
        {L"&amp;amp;", L"&amp;"},
        {L"&&amp;", L"&&"},
        {L"&a&amp;", L"&a&"},
        {L"&AMP; &unknown; &;", L"&AMP; &unknown; &;"},
        {L"a & b", L"a & b"},
        {L"no references", L"no references"},
        {L"trailing &", L"trailing &"},
    };
    for (const auto& c : cases) {
        std::wstring text = c.in;
        CXMLConfig::DecodeEntities(text);
        EXPECT_EQ(c.out, text) << ToUtf8(c.in);
    }
}

// A hexadecimal reference reaches the double-quoted value it stands in.
TEST(XMLEntityTest, HexadecimalReferenceInAnAttributeValue) {
    CXMLConfig root(L"", nullptr, 0);
    ASSERT_TRUE(Load(root, kBom + "<File path=\"a&#x5C;b&#x1F600;\"/>"));
    CXMLConfig* file = root.FindNode(L"File");
    ASSERT_NE(nullptr, file);
    const std::wstring path = file->GetAttribute(L"path", L"");
    EXPECT_EQ(L"a\\b\xD83D\xDE00", path) << ToUtf8(path);
}

TEST(XMLLookupTest, FindNodeSearchesDepthFirstFromTheNodeItself) {
    CXMLConfig root(L"", nullptr, 0);
    ASSERT_TRUE(Load(root, kBom + "<m><x><Update id=\"1\" a=\"\"/></x><Update id=\"2\" a=\"\"/></m>"));
    EXPECT_EQ(&root, root.FindNode(L"m"));
    CXMLConfig* update = root.FindNode(L"Update");
    ASSERT_NE(nullptr, update);
    EXPECT_STREQ(L"1", update->GetAttribute(L"id", nullptr));
    EXPECT_EQ(nullptr, root.FindNode(L"update"));
    EXPECT_EQ(nullptr, root.FindNode(L"none"));
    CXMLConfig* second = (*root.children)[1];
    EXPECT_EQ(second, second->FindNode(L"Update"));
}

TEST(XMLLookupTest, AttributeReadsTakeTheFirstMatchOrTheDefault) {
    CXMLConfig root(L"", nullptr, 0);
    ASSERT_TRUE(Load(root, kBom + "<a x=\"1\" x=\"2\" n=\" -42z\" big=\"99999999999\" neg=\"-99999999999\" "
                                  "t=\"abc\" e=\"\"/>"));
    EXPECT_STREQ(L"1", root.GetAttribute(L"x", L"d"));
    EXPECT_STREQ(L"d", root.GetAttribute(L"X", L"d"));
    EXPECT_EQ(nullptr, root.GetAttribute(L"missing", nullptr));
    EXPECT_STREQ(L"", root.GetAttribute(L"e", L"d"));
    EXPECT_EQ(1, root.GetAttributeInt(L"x"));
    EXPECT_EQ(-42, root.GetAttributeInt(L"n"));
    EXPECT_EQ(2147483647, root.GetAttributeInt(L"big"));
    EXPECT_EQ(-2147483647 - 1, root.GetAttributeInt(L"neg"));
    EXPECT_EQ(0, root.GetAttributeInt(L"t"));
    EXPECT_EQ(0, root.GetAttributeInt(L"missing"));
}

TEST(XMLLookupTest, SetAttributeReplacesRemovesOrAppends) {
    CXMLConfig node(L"n", nullptr, XML_NODE_ELEMENT);
    node.SetAttribute(L"a", nullptr);
    EXPECT_TRUE(node.attributes->empty());
    node.SetAttribute(L"a", L"1");
    node.SetAttribute(L"b", L"2");
    node.SetAttribute(L"a", L"3");
    EXPECT_EQ(L"n[a=3;b=2]", Dump(node));
    node.SetAttribute(L"a", nullptr);
    EXPECT_EQ(L"n[b=2]", Dump(node));
}

TEST(XMLDocumentTest, ReloadingDropsTheOldTreeAndKeepsTheOldTextWhenThereIsNoNewText) {
    CXMLConfig root(L"", nullptr, 0);
    ASSERT_TRUE(Load(root, kBom + "<first k=\"v\">old text</first>"));
    ASSERT_TRUE(Load(root, kBom + "<second><c d=\"1\"/></second>"));
    EXPECT_EQ(L"second{old text}(c[d=1])", Dump(root));
    ASSERT_TRUE(Load(root, kBom + "<third>new</third>"));
    EXPECT_EQ(L"third{new}", Dump(root));
    EXPECT_EQ(0, root.kind) << "loading keeps the root's kind";
}

TEST(XMLDocumentTest, FailedEncodingKeepsTheLoadedTree) {
    CXMLConfig root(L"", nullptr, 0);
    ASSERT_TRUE(Load(root, kBom + "<a><b x=\"1\"/></a>"));
    EXPECT_FALSE(Load(root, "<?xml encoding=\"UTF-8\"?><c/>"));
    EXPECT_EQ(L"a(b[x=1])", Dump(root));
}

TEST(XMLDocumentTest, LoadingMakesTheNodeARoot) {
    CXMLConfig root(L"", nullptr, 0);
    CXMLConfig* child = root.AddChild(L"child", XML_NODE_ELEMENT);
    ASSERT_NE(nullptr, child);
    EXPECT_EQ(&root, child->parent);
    ASSERT_TRUE(Load(*child, kBom + "<doc/>"));
    EXPECT_EQ(nullptr, child->parent);
    EXPECT_EQ(L"doc", child->name);
}

TEST(XMLDocumentTest, ClearDropsChildrenAndAttributesOnly) {
    CXMLConfig root(L"", nullptr, 7);
    ASSERT_TRUE(Load(root, kBom + "<a x=\"1\">t<b><c/><c/></b></a>"));
    ASSERT_EQ(L"a[x=1](#text{t},b(c,c))", Dump(root));
    root.text = L"kept";
    root.Clear();
    EXPECT_EQ(L"a{kept}", Dump(root));
    EXPECT_EQ(7, root.kind);
}

TEST(XMLPoolTest, NodesComeFromThePoolCreatedBeforeMain) {
    // Static initialisation numbered the node type before any test ran.
    EXPECT_EQ(1u, CXMLConfig::GetPool().TypeSlot());
    CXMLConfig root(L"", nullptr, 0);
    CXMLConfig* child = root.AddChild(L"c", XML_NODE_ELEMENT);
    ASSERT_NE(nullptr, child);
    auto& pool = CXMLConfig::GetPool();
    const unsigned freeWithChild = pool.CachedHere() + pool.FreeCount();
    root.Clear();
    EXPECT_EQ(freeWithChild + 1, pool.CachedHere() + pool.FreeCount()) << "the node went back to the pool";
}

TEST(XMLDepthTest, HundredThousandLevelsLoadFindAndDestroyWithoutRecursion) {
    const int depth = 100000;
    std::string document = kBom;
    for (int i = 0; i < depth; ++i) document += "<a>";
    document += "<leaf>x</leaf>";
    for (int i = 0; i < depth; ++i) document += "</a>";
    {
        CXMLConfig root(L"", nullptr, 0);
        ASSERT_TRUE(Load(root, document));
        EXPECT_EQ(static_cast<size_t>(depth - 1), CountAndCheckLinks(root));
        CXMLConfig* deepest = &root;
        while (!deepest->children->empty()) deepest = deepest->children->front();
        EXPECT_STREQ(L"x", deepest->GetAttribute(L"leaf", nullptr)) << "the leaf is folded at the bottom";
        EXPECT_EQ(nullptr, root.FindNode(L"missing"));
        root.Clear();
        EXPECT_TRUE(root.children->empty());
        ASSERT_TRUE(Load(root, document));
    }
    // Left unclosed: every element stays open to the end of the text.
    std::string unclosed = kBom;
    for (int i = 0; i < depth; ++i) unclosed += "<a>";
    CXMLConfig root(L"", nullptr, 0);
    ASSERT_TRUE(Load(root, unclosed));
    EXPECT_EQ(static_cast<size_t>(depth - 2), CountAndCheckLinks(root)) << "the innermost one is folded";
}

// A manifest with every construct the reader knows, to be mutated.
const char kManifest[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n"
    "<Update url=\"http://127.0.0.1/files/\" version=\"20261207\">\n"
    "  <!-- generated &amp; signed -->\n"
    "  <File fname=\"bin/Game.exe\" version=\"20261207\" op=\"0\" size='1234'/>\n"
    "  <File><fname>data/&#26356;&#26032;.dat</fname><version>20261206</version><op>1</op></File>\n"
    "  <File fname=\"a &lt;b&gt;\" op=\"4\"><path>x</path><path>y</path></File>\n"
    "  <Note><![CDATA[ <raw> & ]]> text &quot;here&quot; <b/></Note>\n"
    "</Update>\n";

TEST(XMLRobustnessTest, MutatedAndTruncatedManifestsLoadAndTearDownCleanly) {
    std::mt19937 random(20261207);
    const std::string base = kManifest;
    const char kInteresting[] = "<>/\"'=&;!-[]?# \r\n\0x";
    const std::string interesting(kInteresting, sizeof kInteresting - 1);
    {
        CXMLConfig root(L"", nullptr, 0);
        ASSERT_TRUE(Load(root, base));
        EXPECT_EQ(
            L"Update[url=http://127.0.0.1/files/;version=20261207](#comment{ generated &amp; signed },"
            L"File[fname=bin/Game.exe;version=20261207;op=0;size=1234],"
            L"File[fname=data/\x66f4\x65b0.dat;version=20261206;op=1],File[fname=a "
            L"<b>;op=4](path{x},path{y}),"
            L"Note[b=](#cdata{ <raw> & },#text{text \"here\"}))",
            Dump(root));
    }
    CXMLConfig reused(L"", nullptr, 0);
    for (int round = 0; round < 3000; ++round) {
        std::string bytes = base;
        const int edits = 1 + static_cast<int>(random() % 8);
        for (int e = 0; e < edits && !bytes.empty(); ++e) {
            const size_t at = random() % bytes.size();
            switch (random() % 4) {
                case 0:
                    bytes[at] = interesting[random() % interesting.size()];
                    break;
                case 1:
                    bytes.insert(at, 1, interesting[random() % interesting.size()]);
                    break;
                case 2:
                    bytes.erase(at, 1 + random() % 16);
                    break;
                default:
                    bytes[at] = static_cast<char>(random());
                    break;
            }
        }
        if (random() % 2) bytes.resize(random() % (bytes.size() + 1));
        if (round % 5 == 0) bytes = kBom + bytes;
        if (round % 7 == 0) {
            std::wstring wide;
            for (unsigned char c : bytes) wide += static_cast<wchar_t>(c);
            bytes = (round % 2 ? "\xFE\xFF" : "\xFF\xFE") + Utf16(wide, round % 2 != 0);
        }
        CXMLConfig fresh(L"", nullptr, 0);
        Load(fresh, bytes);
        CountAndCheckLinks(fresh);
        Dump(fresh);
        fresh.FindNode(L"File");
        Load(reused, bytes);
        CountAndCheckLinks(reused);
        if (HasFatalFailure() || HasNonfatalFailure()) FAIL() << "round " << round;
    }
}

}  // namespace
