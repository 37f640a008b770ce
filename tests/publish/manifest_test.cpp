// The manifest text: what is written, what is read back, and where the
// signature block of a signed body is.
#include <gtest/gtest.h>

#include <string>

#include "Manifest.h"

namespace publish {
namespace {

TEST(ManifestTest, WritesWhatTheUpdaterReadsAndReadsItBack) {
    tagManifest manifest;
    manifest.game_ = 12;
    manifest.version_ = 3;
    manifest.url_ = "http://h/files/";
    manifest.items_ = {MakeDownload(1, "地图\\a&b<\"c\">.txt", "ab/ab", 42, "ab"), MakeDelete(2, "old.txt"),
                       MakeMove(3, "a", "b\\a"),
                       tagItem{{{"version", "3"}, {"op", "4"}, {"path", ".\\run.exe"}, {"cmd", "--go 'now'"}}}};
    const std::string text = FormatManifest(manifest);
    EXPECT_EQ(text,
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
              "<Update game=\"12\" version=\"3\" url=\"http://h/files/\">\n"
              "  <File version=\"1\" op=\"0\" path=\"地图\\a&amp;b&lt;&quot;c&quot;&gt;.txt\" fname=\"ab/ab\" "
              "size=\"42\" sha256=\"ab\"/>\n"
              "  <File version=\"2\" op=\"1\" path=\"old.txt\"/>\n"
              "  <File version=\"3\" op=\"2\" src=\"a\" des=\"b\\a\"/>\n"
              "  <File version=\"3\" op=\"4\" path=\".\\run.exe\" cmd=\"--go 'now'\"/>\n"
              "</Update>\n");
    tagManifest back;
    std::string error;
    ASSERT_TRUE(ParseManifest(text, &back, &error)) << error;
    EXPECT_EQ(FormatManifest(back), text);
}

TEST(ManifestTest, ReadsHandWrittenShapes) {
    const std::string text =
        "\xEF\xBB\xBF<?xml version='1.0'?>\r\n<!-- a <File> in a comment is none -->\r\n"
        "<Root><Other><File version='9'/></Other>\r\n"
        "<Update url='http://x/' game='5' version='7' extra='dropped'>text\r\n"
        "  <File version='7' op='0' path='&#x4E2D;&#25991;&apos;.txt' />\r\n"
        "  <Note><File version='8'/></Note>\r\n"
        "</Update></Root>";
    tagManifest manifest;
    std::string error;
    ASSERT_TRUE(ParseManifest(text, &manifest, &error)) << error;
    EXPECT_EQ(manifest.game_, 5u);
    EXPECT_EQ(manifest.version_, 7u);
    EXPECT_EQ(manifest.url_, "http://x/");
    ASSERT_EQ(manifest.items_.size(), 1u);
    EXPECT_EQ(manifest.items_[0].Get("path"), "中文'.txt");
    EXPECT_EQ(manifest.items_[0].Version(), 7u);
}

// The updater takes the first Update element in document order and only its
// own File children; a later or nested Update brings no items.
TEST(ManifestTest, OnlyTheFirstUpdateElementsItemsCount) {
    const struct {
        const char* name;
        const char* text;
        std::vector<std::string> paths;
    } cases[] = {
        {"a second Update beside the first",
         "<R><Update game='1'><File version='1' path='a'/></Update>"
         "<Update game='2'><File version='1' path='b'/></Update></R>",
         {"a"}},
        {"an empty first Update",
         "<R><Update game='1'/><Update game='2'><File version='1' path='b'/></Update></R>",
         {}},
        {"an Update inside the first",
         "<Update game='1'><File version='1' path='a'/><Update game='2'><File version='1' path='b'/></Update>"
         "<File version='1' path='c'/></Update>",
         {"a", "c"}},
        {"a deeper Update after a shallower one",
         "<R><Update game='1'><File version='1' path='a'/></Update><S><Update game='2'>"
         "<File version='1' path='b'/></Update></S></R>",
         {"a"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        tagManifest manifest;
        std::string error;
        ASSERT_TRUE(ParseManifest(c.text, &manifest, &error)) << error;
        EXPECT_EQ(manifest.game_, 1u);
        std::vector<std::string> paths;
        for (const tagItem& item : manifest.items_) paths.push_back(item.Get("path"));
        EXPECT_EQ(paths, c.paths);
    }
}

TEST(ManifestTest, RefusesWhatItCannotRead) {
    const struct {
        const char* name;
        const char* text;
    } cases[] = {
        {"no Update element", "<Other game='1'/>"},
        {"Update without game", "<Update version='1' url='u'/>"},
        {"game out of range", "<Update game='4294967296'/>"},
        {"negative version", "<Update game='1' version='-1'/>"},
        {"unclosed element", "<Update game='1'><File version='1'/>"},
        {"mismatched end tag", "<Update game='1'></File>"},
        {"unknown entity", "<Update game='1' url='&nbsp;'/>"},
        {"duplicate attribute", "<Update game='1' game='2'/>"},
        {"duplicate attribute of an item", "<Update game='1'><File a='1' b='2' c='3' b='4'/></Update>"},
        {"unquoted attribute", "<Update game=1/>"},
        {"DOCTYPE", "<!DOCTYPE x><Update game='1'/>"},
        {"unterminated comment", "<!-- <Update game='1'/>"},
    };
    for (const auto& c : cases) {
        tagManifest manifest;
        std::string error;
        EXPECT_FALSE(ParseManifest(c.text, &manifest, &error)) << c.name;
        EXPECT_FALSE(error.empty()) << c.name;
    }
}

TEST(ManifestTest, FindsTheSignatureBlock) {
    const std::string sig = "untrusted comment: u\nLINE\ntrusted comment: t\nGLOBAL\n";
    const struct {
        const char* name;
        std::string body;
        bool ok;
        std::string manifest;
        std::string minisig;
    } cases[] = {
        {"as written", JoinSignedBody("<M/>\n", sig), true, "<M/>\n", sig},
        {"CR LF line end and trailing blanks", "<M/><!-- signature\r\nS\r\n-->\r\n \t\r\n", true, "<M/>", "S\r\n"},
        {"the last block counts", "<M/><!-- signature\nA\n-->\n<!-- signature\nB\n-->", true,
         "<M/><!-- signature\nA\n-->\n", "B\n"},
        {"a comment that only starts alike is no block", "<M/><!-- signature\nS\n--><!-- signatures -->\n", false,
         "", ""},
        {"text after the block", "<M/><!-- signature\nS\n-->x", false, "", ""},
        {"no block", "<M/>\n", false, "", ""},
        {"unclosed block", "<M/><!-- signature\nS\n", false, "", ""},
        {"block start without a line end", "<M/><!-- signature S -->", false, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string manifest, minisig, error;
        ASSERT_EQ(SplitSignedBody(c.body, &manifest, &minisig, &error), c.ok) << error;
        if (!c.ok) continue;
        EXPECT_EQ(manifest, c.manifest);
        EXPECT_EQ(minisig, c.minisig);
    }
}

TEST(ManifestTest, DecimalsAreStrict) {
    const struct {
        const char* text;
        uint64_t limit;
        bool ok;
        uint64_t value;
    } cases[] = {
        {"0", 10, true, 0},
        {"4294967295", 4294967295u, true, 4294967295u},
        {"4294967296", 4294967295u, false, 0},
        {"18446744073709551615", UINT64_MAX, true, UINT64_MAX},
        {"18446744073709551616", UINT64_MAX, false, 0},
        {"", 10, false, 0},
        {"+1", 10, false, 0},
        {"1 ", 10, false, 0},
        {"0x1", 10, false, 0},
    };
    for (const auto& c : cases) {
        uint64_t value = 0;
        EXPECT_EQ(ParseDecimal(c.text, c.limit, &value), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
}

}  // namespace
}  // namespace publish
