// The release planner: differences between game folders, what earlier
// versions keep, and refusals. Every plan is also replayed the way the
// updater carries items out, from each earlier version.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "Planner.h"

namespace publish {
namespace {

const char kUrl[] = "http://updates.example.net/files/";

// A file whose content is named by a letter: same letter, same content.
tagFileEntry F(const std::string& path, char content, uint64_t size = 10) {
    return tagFileEntry{path, size, std::string(64, content)};
}

using Tree = std::vector<tagFileEntry>;

// "2 get a.txt", "2 del b", "2 mov a>b": compact enough for tables.
std::string Describe(const tagItem& item) {
    const std::string version = std::to_string(item.Version());
    switch (item.Op()) {
        case kOpDownload: return version + " get " + item.Get("path") + "=" + item.Get("sha256").substr(0, 1);
        case kOpDelete: return version + " del " + item.Get("path");
        case kOpMove: return version + " mov " + item.Get("src") + ">" + item.Get("des");
        default: return version + " op " + item.Get("op");
    }
}

std::vector<std::string> Describe(const tagManifest& manifest) {
    std::vector<std::string> out;
    for (const tagItem& item : manifest.items_) out.push_back(Describe(item));
    return out;
}

// Releases trees[0] as version 1, then each next tree from the one before.
bool Chain(const std::vector<Tree>& trees, tagManifest* manifest, std::string* refusal) {
    *manifest = tagManifest();
    for (size_t i = 0; i < trees.size(); ++i) {
        tagReleaseInput input;
        input.current_ = *manifest;
        input.hasOld_ = i > 0;
        if (i > 0) input.old_ = trees[i - 1];
        input.new_ = trees[i];
        input.game_ = 3;
        input.version_ = i + 1;
        input.url_ = kUrl;
        tagReleasePlan plan;
        if (!PlanRelease(input, &plan, refusal)) return false;
        *manifest = plan.manifest_;
    }
    return true;
}

// The updater's effect on a folder (path -> content letter): downloads
// replace, deletes ignore a missing file, renames never replace.
std::map<std::string, char> Replay(const tagManifest& manifest, const Tree& start, uint64_t from) {
    std::map<std::string, char> files;
    for (const tagFileEntry& file : start) files[file.path_] = file.sha256_[0];
    for (const tagItem& item : manifest.items_) {
        if (item.Version() <= from) continue;
        if (item.Op() == kOpDownload) files[item.Get("path")] = item.Get("sha256")[0];
        if (item.Op() == kOpDelete) files.erase(item.Get("path"));
        if (item.Op() == kOpMove && files.count(item.Get("src")) && !files.count(item.Get("des"))) {
            files[item.Get("des")] = files[item.Get("src")];
            files.erase(item.Get("src"));
        }
    }
    return files;
}

struct tagChainCase {
    const char* name;
    std::vector<Tree> trees;
    std::vector<std::string> items;  // the whole final manifest
};

TEST(PlannerTest, ChainsOfReleases) {
    const tagChainCase cases[] = {
        {"first release downloads everything in path order",
         {{F("b.txt", 'b'), F("a\\x.dat", 'x'), F("a.txt", 'a')}},
         {"1 get a.txt=a", "1 get a\\x.dat=x", "1 get b.txt=b"}},
        {"unchanged files make no items", {{F("a", 'a')}, {F("a", 'a')}}, {"1 get a=a"}},
        {"a changed file drops its earlier download",
         {{F("a", 'a'), F("b", 'b')}, {F("a", 'c'), F("b", 'b')}},
         {"1 get b=b", "2 get a=c"}},
        {"a deleted file drops its earlier download, the delete stays for installed clients",
         {{F("a", 'a'), F("b", 'b')}, {F("a", 'a')}},
         {"1 get a=a", "2 del b"}},
        {"a moved file is a move and keeps the download the move reads",
         {{F("a", 'a')}, {F("dir\\a", 'a')}},
         {"1 get a=a", "2 mov a>dir\\a"}},
        {"content that is also new elsewhere moves once and is downloaded once",
         {{F("a", 'a')}, {F("b", 'a'), F("c", 'a')}},
         {"1 get a=a", "2 mov a>b", "2 get c=a"}},
        {"two gone copies: the first in path order moves, the other is deleted",
         {{F("x", 'a'), F("y", 'a')}, {F("z", 'a')}},
         {"1 get x=a", "2 del y", "2 mov x>z"}},
        {"a path that changes and another that takes its old content is no move",
         {{F("a", 'a')}, {F("a", 'b'), F("c", 'a')}},
         {"2 get a=b", "2 get c=a"}},
        {"deletes, then moves, then downloads, each in path order",
         {{F("m2", 'm'), F("m1", 'n'), F("d2", 'd'), F("d1", 'e')},
          {F("z2", 'm'), F("z1", 'n'), F("g2", 'g'), F("g1", 'h')}},
         {"1 get m1=n", "1 get m2=m", "2 del d1", "2 del d2", "2 mov m1>z1", "2 mov m2>z2", "2 get g1=h",
          "2 get g2=g"}},
        {"a move keeps the earlier download when the path comes back later",
         {{F("a", 'a')}, {F("b", 'a')}, {F("b", 'a'), F("a", 'c')}},
         {"1 get a=a", "2 mov a>b", "3 get a=c"}},
        {"only the latest of several downloads of a path stays",
         {{F("a", 'a')}, {F("a", 'b')}, {F("a", 'c')}},
         {"3 get a=c"}},
        {"a file that became a folder is deleted before its new contents arrive",
         {{F("data", 'a')}, {F("data\\x", 'b')}},
         {"2 del data", "2 get data\\x=b"}},
        {"non-ASCII names are kept as they are",
         {{F("地图\\中文.txt", 'a')}, {F("地图\\新的.txt", 'a')}},
         {"1 get 地图\\中文.txt=a", "2 mov 地图\\中文.txt>地图\\新的.txt"}},
    };
    for (const tagChainCase& c : cases) {
        SCOPED_TRACE(c.name);
        tagManifest manifest;
        std::string refusal;
        ASSERT_TRUE(Chain(c.trees, &manifest, &refusal)) << refusal;
        EXPECT_EQ(Describe(manifest), c.items);
        EXPECT_EQ(manifest.version_, c.trees.size());
        // Every client, fresh or at an earlier version, ends at the last tree.
        const Tree& last = c.trees.back();
        const std::map<std::string, char> wanted = Replay(tagManifest(), last, 0);
        EXPECT_EQ(Replay(manifest, {}, 0), wanted) << "fresh install";
        for (size_t k = 1; k < c.trees.size(); ++k) {
            EXPECT_EQ(Replay(manifest, c.trees[k - 1], k), wanted) << "from version " << k;
        }
    }
}

TEST(PlannerTest, StoresEachNewContentOnceAndNamesItByHash) {
    tagReleaseInput input;
    input.new_ = {F("a", 'a', 5), F("b", 'a', 5), F("c", 'c', 7)};
    input.game_ = 9;
    input.version_ = 4;
    input.url_ = kUrl;
    tagReleasePlan plan;
    std::string refusal;
    ASSERT_TRUE(PlanRelease(input, &plan, &refusal)) << refusal;
    ASSERT_EQ(plan.stored_.size(), 2u);
    EXPECT_EQ(plan.stored_[0].path_, "a");
    EXPECT_EQ(plan.stored_[1].path_, "c");
    const tagItem& item = plan.manifest_.items_[2];
    EXPECT_EQ(item.Get("fname"), "cc/" + std::string(64, 'c'));
    EXPECT_EQ(item.Get("size"), "7");
    EXPECT_EQ(plan.manifest_.game_, 9u);
    EXPECT_EQ(plan.manifest_.url_, kUrl);
    EXPECT_EQ(plan.downloads_, 3u);
}

TEST(PlannerTest, KeepsItemsItDoesNotMake) {
    tagManifest current;
    current.game_ = 3;
    current.version_ = 1;
    current.items_ = {MakeDownload(1, "run.exe", "rr/r", 10, std::string(64, 'r')),
                      tagItem{{{"version", "1"}, {"op", "4"}, {"path", ".\\run.exe"}, {"cmd", "--x"}}}};
    tagReleaseInput input;
    input.current_ = current;
    input.hasOld_ = true;
    input.old_ = {F("run.exe", 'r')};
    input.new_ = {F("run.exe", 's')};
    input.version_ = 2;
    input.game_ = 3;
    tagReleasePlan plan;
    std::string refusal;
    ASSERT_TRUE(PlanRelease(input, &plan, &refusal)) << refusal;
    // The run item reads the program the first download brings, so that
    // download stays; the run item goes out as written.
    EXPECT_EQ(Describe(plan.manifest_), (std::vector<std::string>{"1 get run.exe=r", "1 op 4", "2 get run.exe=s"}));
    EXPECT_EQ(plan.manifest_.items_[1].attributes_, current.items_[1].attributes_);
    EXPECT_EQ(plan.dropped_, 0u);
    EXPECT_EQ(plan.kept_, 2u);
}

struct tagRefusalCase {
    const char* name;
    std::vector<Tree> earlier;  // released first, one version each
    Tree old;                   // the old folder when withOld
    Tree next;
    bool withOld;
    const char* reason;  // part of the refusal
    uint64_t version = 0;  // 0: the one after the earlier releases
};

TEST(PlannerTest, Refusals) {
    const std::string longName(259, 'n');
    const tagRefusalCase cases[] = {
        {"same version again", {{F("a", 'a')}}, {F("a", 'a')}, {F("a", 'b')}, true, "not greater", 1},
        {"older version", {{F("a", 'a')}, {F("a", 'b')}}, {F("a", 'b')}, {F("a", 'c')}, true, "not greater", 1},
        {"version the updater reads as negative", {}, {}, {F("a", 'a')}, false, "too large",
         9223372036854775808ull},
        {"old folder on a site without items", {}, {F("a", 'a')}, {F("a", 'a')}, true, "takes no old folder"},
        {"old folder with a file the site never installed", {{F("a", 'a')}}, {F("a", 'a'), F("b", 'b')},
         {F("a", 'a')}, true, "does not install"},
        {"old folder with different content", {{F("a", 'a')}}, {F("a", 'c')}, {F("a", 'd')}, true, "differs"},
        {"old folder without a released file", {{F("a", 'a'), F("b", 'b')}}, {F("a", 'a')}, {F("a", 'a')}, true,
         "missing from it"},
        {"two names that are one file on Windows", {}, {}, {F("Read.txt", 'a'), F("read.TXT", 'b')}, false,
         "differ only in case"},
        {"a folder that became a file", {{F("data\\x", 'a')}}, {F("data\\x", 'a')}, {F("data", 'b')}, true,
         "was a folder"},
        {"a folder emptied long ago is still there", {{F("data\\x", 'a'), F("k", 'k')}, {F("k", 'k')}},
         {F("k", 'k')}, {F("k", 'k'), F("DATA", 'b')}, true, "was a folder"},
        {"a file still in the way of a new folder", {{F("data", 'a')}}, {}, {F("data\\x", 'b')}, false,
         "still have as a file"},
        {"a file named like another's partial file", {}, {}, {F("data.pak", 'a'), F("data.pak_", 'b')}, false,
         "partial file of data.pak"},
        {"the same in another case", {}, {}, {F("Data.pak", 'a'), F("DATA.PAK_", 'b')}, false, "DATA.PAK_ is named"},
        {"a folder named like a file's partial file", {}, {}, {F("maps\\m1", 'a'), F("maps\\M1_\\x", 'b')}, false,
         "maps\\M1_ is named like the partial file of maps\\m1"},
        {"path too long", {}, {}, {F("d\\" + longName, 'a')}, false, "characters"},
        {"reserved device name", {}, {}, {F("sub\\con.txt", 'a')}, false, "reserves"},
        {"forbidden character", {}, {}, {F("what?.txt", 'a')}, false, "forbids"},
    };
    for (const tagRefusalCase& c : cases) {
        SCOPED_TRACE(c.name);
        tagManifest current;
        std::string refusal;
        ASSERT_TRUE(c.earlier.empty() || Chain(c.earlier, &current, &refusal)) << refusal;
        tagReleaseInput input;
        input.current_ = current;
        input.hasOld_ = c.withOld;
        input.old_ = c.old;
        input.new_ = c.next;
        input.game_ = 3;
        input.version_ = c.version ? c.version : current.version_ + 1;
        tagReleasePlan plan;
        EXPECT_FALSE(PlanRelease(input, &plan, &refusal));
        EXPECT_NE(refusal.find(c.reason), std::string::npos) << refusal;
        EXPECT_TRUE(plan.manifest_.items_.empty());
    }
}

TEST(PlannerTest, FilesOf2GiBAndMoreAndNamesEndingInAnUnderscore) {
    tagReleaseInput input;
    // Only a file beside a file or folder named like it plus "_" collides.
    input.new_ = {F("big", 'a', 5368709120ull), F("m1\\x", 'b'), F("m1_\\y", 'c'), F("solo_", 'd')};
    input.version_ = 1;
    input.game_ = 3;
    tagReleasePlan plan;
    std::string refusal;
    ASSERT_TRUE(PlanRelease(input, &plan, &refusal)) << refusal;
    ASSERT_EQ(plan.manifest_.items_.size(), 4u);
    EXPECT_EQ(plan.manifest_.items_[0].Get("size"), "5368709120");
}

TEST(PlannerTest, InstallablePaths) {
    const struct {
        std::string path;
        bool ok;
    } cases[] = {
        {"a.txt", true},
        {"sub\\deeper\\中文名.dat", true},
        {"console.txt", true},
        {"com10", true},
        {"lpt0.log", true},
        {std::string(kMaxRelativePath, 'x'), true},
        {std::string(kMaxRelativePath + 1, 'x'), false},
        {"a\\" + std::string(kMaxRelativePath - 2, 'x'), true},
        {"a\\" + std::string(kMaxRelativePath - 1, 'x'), false},
        {std::string(259, 'x'), false},
        {std::string(260, 'x'), false},
        {"a\\" + std::string(258, 'x'), false},
        {"NUL", false},
        {"aux.dat", false},
        {"x\\Com1.txt", false},
        {"LPT9", false},
        {"CONIN$", false},
        {"conout$.txt", false},
        {"sub\\Clock$ .log", false},
        {"COM\xC2\xB9", false},
        {"com\xC2\xB2.txt", false},
        {"LPT\xC2\xB3", false},
        {"lpt\xC2\xB9.dat", false},
        {"COM\xC2\xB9x", true},
        {"com\xC2\xB4", true},
        {"conin", true},
        {"conin$x.txt", true},
        {"x$", true},
        {"prn .txt", false},
        {"a:b", false},
        {"a|b", false},
        {"a*b", false},
        {"a\"b", false},
        {"a<b>", false},
        {"a/b", false},
        {std::string("tab\there"), false},
        {"trailing.", false},
        {"trailing ", false},
        {"a\\\\b", false},
        {"..\\escape", false},
        {"bad\xff utf8", false},
        {"overlong \xc0\xaf", false},
        {"surrogate \xed\xa0\x80", false},
    };
    for (const auto& c : cases) {
        std::string refusal;
        EXPECT_EQ(CheckInstallablePath(c.path, &refusal), c.ok) << c.path << ": " << refusal;
    }
    // Characters count as UTF-16 units: as many Chinese characters fit as
    // ASCII ones, an emoji counts twice.
    std::string chinese;
    for (long i = 0; i < kMaxRelativePath; ++i) chinese += "中";
    std::string refusal;
    EXPECT_TRUE(CheckInstallablePath(chinese, &refusal)) << refusal;
    EXPECT_FALSE(CheckInstallablePath(chinese + "中", &refusal));
    EXPECT_TRUE(CheckInstallablePath(std::string(kMaxRelativePath - 2, 'e') + "\xf0\x9f\x98\x80", &refusal))
        << refusal;
    EXPECT_FALSE(CheckInstallablePath(std::string(kMaxRelativePath - 1, 'e') + "\xf0\x9f\x98\x80", &refusal));
    EXPECT_NE(refusal.find("at most 160"), std::string::npos) << refusal;
}

}  // namespace
}  // namespace publish
