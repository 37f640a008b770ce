// The manifest text of compressed files and patches, and which earlier
// contents of a path a new download is patched from.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Forms.h"

namespace publish {
namespace {

std::string Sha(char c) { return std::string(64, c); }

tagForm Patch(char base, uint64_t since, uint64_t until, uint64_t size, char sha) {
    tagForm form;
    form.base_ = Sha(base);
    form.since_ = since;
    form.until_ = until;
    form.size_ = size;
    form.sha256_ = Sha(sha);
    form.fname_ = sha == 'f' ? "ff/" + Sha(sha) : "x";
    return form;
}

TEST(FormsTest, PatchListRoundTrips) {
    const std::vector<tagForm> forms = {Patch('a', 2, 3, 100, 'f'), Patch('b', 1, 2, 7, 'e')};
    const std::string text = FormatPatchForms(forms);
    EXPECT_EQ(text, Sha('a') + " 2 3 ff/" + Sha('f') + " 100 " + Sha('f') + ";" + Sha('b') + " 1 2 x 7 " + Sha('e'));
    std::vector<tagForm> back;
    ASSERT_TRUE(ParsePatchForms(text, &back));
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[1].base_, Sha('b'));
    EXPECT_EQ(back[1].since_, 1u);
    EXPECT_EQ(back[1].until_, 2u);
    EXPECT_EQ(back[1].size_, 7u);
    EXPECT_TRUE(ParsePatchForms("", &back));
    EXPECT_TRUE(back.empty());
}

TEST(FormsTest, RefusesMalformedForms) {
    const std::string good = Sha('a') + " 1 2 x 7 " + Sha('e');
    const std::string bad[] = {
        Sha('a') + " 2 2 x 7 " + Sha('e'),        // empty range
        Sha('a') + " 1 2 x -7 " + Sha('e'),       // signed size
        Sha('A') + " 1 2 x 7 " + Sha('e'),        // upper-case base
        Sha('a') + " 1 2 x 7 " + Sha('e') + " 9", // trailing field
        Sha('a') + " 1 2 x 7",                    // no digest
        good + ";" + Sha('a').substr(1) + " 1 2 x 7 " + Sha('e'),
    };
    std::vector<tagForm> forms;
    for (const std::string& text : bad) EXPECT_FALSE(ParsePatchForms(text, &forms)) << text;
    tagForm zstd;
    EXPECT_TRUE(ParseZstdForm("x 7 " + Sha('e'), &zstd));
    EXPECT_EQ(zstd.size_, 7u);
    EXPECT_FALSE(ParseZstdForm("x 7", &zstd));
    EXPECT_FALSE(ParseZstdForm("x 7 " + Sha('e') + " y", &zstd));
}

struct tagBasesCase {
    const char* name;
    std::vector<tagItem> items;  // the site's manifest before version 5
    size_t count;
    std::vector<std::string> expected;  // "base since until"
};

TEST(FormsTest, PatchBasesFollowThePathsHistory) {
    tagItem withPatches = MakeDownload(3, "a.dll", "n", 10, Sha('c'));
    withPatches.attributes_.emplace_back(
        "patch", FormatPatchForms({Patch('b', 2, 3, 5, 'e'), Patch('a', 1, 2, 5, 'e'), Patch('9', 1, 1 + 1, 5, 'e')}));
    tagItem repeatsCurrent = MakeDownload(3, "a.dll", "n", 10, Sha('c'));
    repeatsCurrent.attributes_.emplace_back("patch", FormatPatchForms({Patch('c', 2, 3, 5, 'e')}));
    const std::string c = Sha('c');
    const tagBasesCase cases[] = {
        {"first change of a file", {MakeDownload(1, "a.dll", "n", 10, c)}, 3, {c + " 1 5"}},
        {"earlier bases carried, newest first", {withPatches}, 3,
         {c + " 3 5", Sha('b') + " 2 3", Sha('a') + " 1 2"}},
        {"at most K", {withPatches}, 2, {c + " 3 5", Sha('b') + " 2 3"}},
        {"K of 0", {withPatches}, 0, {}},
        {"a base equal to the current content is not repeated", {repeatsCurrent}, 3, {c + " 3 5"}},
        {"moved in: since the move", {MakeDownload(1, "b.dll", "n", 10, c), MakeMove(4, "b.dll", "a.dll")}, 3,
         {c + " 4 5"}},
        {"deleted last", {MakeDownload(1, "a.dll", "n", 10, c), MakeDelete(4, "a.dll")}, 3, {}},
        {"another path", {MakeDownload(1, "b.dll", "n", 10, c)}, 3, {}},
    };
    const std::vector<tagFileEntry> old = {{"a.dll", 10, c}};
    for (const tagBasesCase& test : cases) {
        tagManifest current;
        current.items_ = test.items;
        std::vector<std::string> actual;
        for (const tagForm& base : PatchBases(current, old, "a.dll", 5, test.count)) {
            actual.push_back(base.base_ + " " + std::to_string(base.since_) + " " + std::to_string(base.until_));
        }
        EXPECT_EQ(actual, test.expected) << test.name;
    }
    tagManifest current;
    current.items_ = {MakeDownload(1, "a.dll", "n", 10, c)};
    EXPECT_TRUE(PatchBases(current, {}, "a.dll", 5, 3).empty()) << "not in the old folder";
}

}  // namespace
}  // namespace publish
