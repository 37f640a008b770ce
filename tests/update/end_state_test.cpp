// What a manifest leaves in the folder, the names its items install, where
// downloads are saved and the disk space a run needs: tables of steps in,
// one line of result out.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "EndState.h"
#include "XMLConfig.h"

using _ServerEngine::CXMLConfig;

namespace {

tagFileStep Get(const wchar_t* path, int64_t size = 0) { return {OpDownload, path, L"", size}; }
tagFileStep Del(const wchar_t* path) { return {OpDelete, path, L"", 0}; }
tagFileStep Mov(const wchar_t* from, const wchar_t* to) { return {OpMove, from, to, 0}; }
tagFileStep Exec(const wchar_t* path) { return {OpRun, path, L"", 0}; }

// "<path><-<step>" per file, in the order EndState gives them.
std::wstring Describe(const std::vector<tagEndFile>& files) {
    std::wstring text;
    for (const tagEndFile& file : files) {
        text += (text.empty() ? L"" : L" | ") + file.path + L"<-" + std::to_wstring(file.step);
    }
    return text;
}

struct tagEndCase {
    const char* what;
    std::vector<tagFileStep> steps;
    const wchar_t* files;
};

TEST(EndStateTest, FilesTheStepsLeave) {
    const tagEndCase cases[] = {
        {"nothing", {}, L""},
        {"downloads in their order; a second one of a path replaces the first",
         {Get(L"b"), Get(L"a"), Get(L"b")}, L"a<-1 | b<-2"},
        {"a delete then a download of the same path", {Get(L"a"), Del(L"a"), Get(L"a")}, L"a<-2"},
        {"a download then a delete", {Get(L"a"), Get(L"b"), Del(L"a")}, L"b<-1"},
        {"a moved file moved again keeps its download", {Get(L"a"), Mov(L"a", L"d\\b"), Mov(L"d\\b", L"c")},
         L"c<-0"},
        {"a move onto an existing file leaves both", {Get(L"a"), Get(L"b"), Mov(L"a", L"b")}, L"a<-0 | b<-1"},
        {"a delete of the destination, then the move replaces it",
         {Get(L"a"), Get(L"b"), Del(L"b"), Mov(L"a", L"b")}, L"b<-0"},
        {"a move of a missing file does nothing", {Mov(L"x", L"y"), Get(L"a")}, L"a<-1"},
        {"paths that differ only in case or slash are one file",
         {Get(L"Data\\Map.bin"), Get(L"data/map.BIN"), Del(L"DATA\\MAP.bin"), Get(L"x\\Y")}, L"x\\Y<-3"},
        {"a case-only move renames", {Get(L"a.txt"), Mov(L"a.txt", L"A.txt")}, L"A.txt<-0"},
        {"run items and ignored ops leave the files alone", {Get(L"a"), Exec(L"a"), {OpIgnored, L"a", L"", 0}},
         L"a<-0"},
    };
    for (const tagEndCase& c : cases) EXPECT_EQ(std::wstring(c.files), Describe(EndState(c.steps))) << c.what;
}

std::wstring Describe(const tagManifestFiles& files) {
    std::wstring text = std::wstring(files.digests ? L"digests" : L"no digests") +
                        L" total=" + std::to_wstring(files.totalBytes) + L" steps=" +
                        std::to_wstring(files.steps.size());
    for (const ManifestItem& item : files.files) {
        text += L" | " + item.path + L" from " + item.node->GetAttribute(L"fname", L"?") + L" op" +
                std::to_wstring(item.op) + L" size" + std::to_wstring(item.size);
    }
    return text;
}

TEST(EndStateTest, ManifestFilesOfAFreshInstall) {
    const struct {
        const char* what;
        const char* manifest;
        const wchar_t* files;
    } cases[] = {
        {"items of every version; version 0 never runs, so it leaves nothing",
         R"(<Update url="u" version="3"><File version="1" fname="A" path="a" size="5" sha256="x"/>)"
         R"(<File fname="Z" path="z" size="7" sha256="x"/><File version="2" op="2" src="a" des="b\a"/>)"
         R"(<File version="3" fname="C" path="c" size="5000000000" sha256="x"/></Update>)",
         L"digests total=5000000005 steps=3 | b\\a from A op256 size5 | c from C op256 size5000000000"},
        {"one file without a digest", R"(<Update url="u" version="2"><File version="1" fname="A" path="a" sha256="x"/>)"
                                      R"(<File version="2" fname="B" path="b"/></Update>)",
         L"no digests total=0 steps=2 | a from A op256 size0 | b from B op256 size0"},
        {"a deleted file without a digest does not count",
         R"(<Update url="u" version="2"><File version="1" fname="A" path="a"/>)"
         R"(<File version="2" op="1" path="a"/></Update>)",
         L"digests total=0 steps=2"},
        {"no Update element", R"(<Other><File version="1" fname="A" path="a"/></Other>)", L"digests total=0 steps=0"},
    };
    for (const auto& c : cases) {
        CXMLConfig document(L"", nullptr, 0);
        const std::string manifest = c.manifest;
        ASSERT_TRUE(document.LoadFromBuffer(manifest.data(), static_cast<unsigned>(manifest.size()))) << c.what;
        EXPECT_EQ(std::wstring(c.files), Describe(ReadManifestFiles(document))) << c.what;
    }
}

TEST(EndStateTest, PartialFilesNeverUseANameTheManifestInstalls) {
    const std::vector<tagFileStep> steps = {Get(L"data.pak"), Get(L"data.pak_"), Get(L"m1"),  Get(L"M1_\\x"),
                                            Get(L"two"),      Get(L"two_"),      Get(L"two.download1"),
                                            Mov(L"old", L"moved_"), Get(L"moved")};
    const std::set<std::wstring> names = InstalledNames(steps);
    const struct {
        const wchar_t* path;
        const wchar_t* save;
    } cases[] = {
        {L"plain", L"plain"},
        {L"data.pak", L"data.pak.download1"},
        {L"DATA.PAK", L"DATA.PAK.download1"},  // names compare without case
        {L"m1", L"m1.download1"},              // a folder "m1_" is in the way
        {L"two", L"two.download2"},
        {L"moved", L"moved.download1"},        // a move installs "moved_"
        {L"data.pak_", L"data.pak_"},
    };
    for (const auto& c : cases) EXPECT_EQ(std::wstring(c.save), DownloadSavePath(c.path, names)) << c.path;
    EXPECT_EQ(0u, names.count(L"OLD")) << "a move's source is not installed";
}

tagSpaceStep SGet(const wchar_t* path, int64_t size, const wchar_t* partial = nullptr) {
    return {OpDownload, path, L"", partial ? partial : std::wstring(path) + L"_", size};
}
// A download of a compressed body or patch of `body` bytes saved as `saved`.
tagSpaceStep SForm(const wchar_t* path, int64_t size, int64_t body, const wchar_t* saved) {
    tagSpaceStep step = SGet(path, size);
    step.body = body;
    step.bodyPartial = std::wstring(saved) + L"_";
    return step;
}
tagSpaceStep SDel(const wchar_t* path) { return {OpDelete, path, L"", L"", 0}; }
tagSpaceStep SMov(const wchar_t* from, const wchar_t* to) { return {OpMove, from, to, L"", 0}; }

TEST(EndStateTest, PeakExtraSpace) {
    const struct {
        const char* what;
        std::vector<tagSpaceStep> steps;
        std::map<std::wstring, uint64_t> sizes;  // folded paths
        uint64_t cluster;
        uint64_t peak;
    } cases[] = {
        {"new files add up", {SGet(L"a", 10), SGet(L"b", 20), SGet(L"c", 30)}, {}, 1, 60},
        {"a replaced file needs its new copy beside the old one", {SGet(L"a", 100)}, {{L"A", 100}}, 1, 100},
        {"replacements one after the other need the largest",
         {SGet(L"a", 100), SGet(L"b", 50)}, {{L"A", 100}, {L"B", 50}}, 1, 100},
        {"a smaller file frees space for the next", {SGet(L"a", 10), SGet(L"b", 100)}, {{L"A", 60}}, 1, 100 - 50},
        {"a partial file's bytes are there already", {SGet(L"a", 100)}, {{L"A_", 40}}, 1, 60},
        {"the partial file of a renamed save path", {SGet(L"a", 100, L"a.download1_")},
         {{L"A_", 40}, {L"A.DOWNLOAD1_", 30}}, 1, 70},
        {"a delete first frees its file", {SDel(L"old"), SGet(L"a", 100)}, {{L"OLD", 80}}, 1, 20},
        {"a delete after the download frees nothing in time", {SGet(L"a", 100), SDel(L"old")}, {{L"OLD", 80}}, 1,
         100},
        {"sizes round up to clusters", {SGet(L"a", 1), SGet(L"b", 4097)}, {}, 4096, 3 * 4096},
        {"a negative size needs nothing", {SGet(L"a", -5), SGet(L"b", 10)}, {{L"A", 100}}, 1, 0},
        {"a moved file is not new; a download to its old path is",
         {SMov(L"a", L"b"), SGet(L"b", 100), SGet(L"a", 100)}, {{L"A", 100}}, 1, 100},
        {"a move onto an existing file moves nothing",
         {SMov(L"a", L"b"), SDel(L"a"), SGet(L"c", 150)}, {{L"A", 100}, {L"B", 10}}, 1, 50},
        {"a body stays beside the decoded file and the old one", {SForm(L"a", 100, 30, L"a_z")}, {{L"A", 100}}, 1,
         130},
        {"a body's partial file is there already", {SForm(L"a", 100, 30, L"a_p")}, {{L"A", 100}, {L"A_P_", 10}}, 1,
         120},
        {"a decoded body is gone before the next download", {SForm(L"a", 100, 30, L"a_z"), SGet(L"b", 120)},
         {{L"A", 100}}, 1, 130},
        {"a body rounds up to clusters", {SForm(L"a", 1, 1, L"a_z")}, {}, 4096, 2 * 4096},
        {"2 GiB and more", {SGet(L"a", 5368709120LL), SGet(L"b", 3000000000LL)}, {}, 4096, 8368709632ULL},
    };
    for (const auto& c : cases) EXPECT_EQ(c.peak, PeakExtraSpace(c.steps, c.sizes, c.cluster)) << c.what;
}

}  // namespace
