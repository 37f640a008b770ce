// Whole runs over a game that is partly in place: a run after a failed one
// fetches only what is missing, a repair fetches only the files that are
// missing or differ, and downloads never take a game file for their
// partial file.
#include <windows.h>


#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "StatusText.h"
#include "base/UniqueHandle.h"
#include "update_scenario.h"

using namespace update_test;

namespace {

struct tagGameFile {
    std::string path;  // backslashes, as in the manifest
    std::string bytes;
};

// `size` bytes that differ with `seed`.
std::string Bytes(size_t size, uint32_t seed) {
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        seed = seed * 1664525 + 1013904223;
        c = static_cast<char>(seed >> 24);
    }
    return bytes;
}

// Every file under `root` (relative paths, backslashes) and its bytes.
void ListFiles(const std::wstring& root, const std::wstring& prefix, std::map<std::string, std::string>* files) {
    WIN32_FIND_DATAW found;
    const kit::CFindHandle find(FindFirstFileW((root + L"\\" + prefix + L"*").c_str(), &found));
    if (!find) return;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            ListFiles(root, prefix + name + L"\\", files);
        } else {
            (*files)[ToUtf8(prefix + name)] = ReadFileBytes(root + L"\\" + prefix + name);
        }
    } while (FindNextFileW(find.Get(), &found));
}

class UpdateRepairTest : public UpdateScenarioTest {
protected:
    // A download item of `file`, stored as "/files/<n>".
    std::string Item(const std::string& version, const tagGameFile& file, bool digest = true) {
        const std::string fname = std::to_string(++items_);
        stored_[file.path] = fname;
        ServeFile("/files/" + fname, file.bytes);
        return Download(version, fname, file.path, file.bytes.size(),
                        digest ? " sha256=\"" + Sha256Hex(file.bytes) + "\"" : "");
    }
    std::string Fetched(const std::string& path) const { return "/files/" + stored_.at(path); }
    void Install(const std::vector<tagGameFile>& files) {
        for (const tagGameFile& file : files) WriteFile(GamePath(kit_test::FromUtf8(file.path)), file.bytes);
    }
    // The files requested after the `from`-th request, in order.
    std::vector<std::string> FilesFetched(size_t from) const {
        std::vector<std::string> targets;
        const auto requests = server_.Requests();
        for (size_t i = from; i < requests.size(); ++i)
            if (requests[i].target.compare(0, 7, "/files/") == 0) targets.push_back(requests[i].target);
        return targets;
    }
    std::map<std::string, std::string> Folder() const {
        std::map<std::string, std::string> files;
        ListFiles(gameDir_, L"", &files);
        files.erase("Configs\\Version.dat");
        return files;
    }
    static std::map<std::string, std::string> Expected(const std::vector<tagGameFile>& files) {
        std::map<std::string, std::string> expected;
        for (const tagGameFile& file : files) expected[file.path] = file.bytes;
        return expected;
    }
    // Names and sizes, for a readable failure.
    static std::string Describe(const std::map<std::string, std::string>& files) {
        std::string text;
        for (const auto& file : files) text += file.first + " (" + std::to_string(file.second.size()) + ") ";
        return text;
    }

    std::map<std::string, std::string> stored_;  // path -> fname of its last item
    unsigned items_ = 0;
};

TEST_F(UpdateRepairTest, RunAfterAFailedOneFetchesOnlyWhatIsStillMissing) {
    std::vector<tagGameFile> build;
    std::string items;
    for (int i = 0; i < 5; ++i) {
        build.push_back({"data\\part" + std::to_string(i) + ".bin", Bytes(200000 + i, i)});
        items += Item("2", build.back());
    }
    ServeManifest(1, 0, Manifest("2", items));
    server_.Route(Fetched(build[2].path),
                  kit_http::CResponse().Send(kit_http::CResponse::Head(404, "Not Found", "Content-Length: 0\r\n")));
    const tagRunResult failed = RunUpdate(1);
    EXPECT_EQ(0u, failed.exitCode);
    EXPECT_EQ(Installing({kStatusFileFailed}), failed.statuses) << From936(failed.output);
    EXPECT_EQ(Expected({build[0], build[1]}), Folder()) << Describe(Folder());

    ServeFile(Fetched(build[2].path), build[2].bytes);
    const size_t before = server_.Requests().size();
    const tagRunResult run = RunUpdate(1);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(Installing({kStatusDone}), run.statuses) << From936(run.output);
    EXPECT_EQ((std::vector<std::string>{Fetched(build[2].path), Fetched(build[3].path), Fetched(build[4].path)}),
              FilesFetched(before));
    EXPECT_EQ(Expected(build), Folder()) << Describe(Folder());
    EXPECT_EQ("[Versions]\r\nGame1=2\r\n", Store());
    uint64_t total = 0;
    for (const tagGameFile& file : build) total += file.bytes.size();
    ExpectProgressGrowsTo(run, total);
}

TEST_F(UpdateRepairTest, RepairFetchesOnlyTheFilesMissingOrDamaged) {
    // Version 1 installs five files and one that version 2 moves; version 2
    // deletes one of them and adds another.
    const std::vector<tagGameFile> v1 = {{"a.bin", Bytes(150000, 1)}, {"b.bin", Bytes(150001, 2)},
                                         {"c\\c.bin", Bytes(150002, 3)}, {"d.bin", Bytes(150003, 4)},
                                         {"old\\e.bin", Bytes(150004, 5)}, {"gone.txt", "gone"}};
    std::string items;
    for (const tagGameFile& file : v1) items += Item("1", file);
    const tagGameFile f = {"f.bin", Bytes(150005, 6)};
    items += "<File version=\"2\" op=\"1\" path=\"gone.txt\"/>"
             "<File version=\"2\" op=\"2\" src=\"old\\e.bin\" des=\"e.bin\"/>" +
             Item("2", f);
    const std::vector<tagGameFile> build = {v1[0], v1[1], v1[2], v1[3], {"e.bin", v1[4].bytes}, f};
    Install(build);
    SetStore("[Versions]\r\nGame1=2\r\n");
    ServeManifest(1, 2, Manifest("2", items));
    // Damage: one byte changed, a file cut short, one deleted; the player's
    // own file beside them.
    std::string damaged = build[1].bytes;
    damaged[70000] ^= 1;
    WriteFile(GamePath(L"b.bin"), damaged);
    WriteFile(GamePath(L"c\\c.bin"), build[2].bytes.substr(0, 1000));
    DeleteFileW(GamePath(L"d.bin").c_str());
    WriteFile(GamePath(L"saves\\player.sav"), "the player's own");

    const size_t before = server_.Requests().size();
    const tagRunResult run = RunRepair(1);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(Installing({kStatusVerifying, kStatusDone}), run.statuses) << From936(run.output);
    EXPECT_EQ(std::vector<uint8_t>{1}, run.finished);
    EXPECT_EQ((std::vector<std::string>{Fetched("b.bin"), Fetched("c\\c.bin"), Fetched("d.bin")}),
              FilesFetched(before));
    std::map<std::string, std::string> expected = Expected(build);
    expected["saves\\player.sav"] = "the player's own";
    EXPECT_EQ(expected, Folder()) << Describe(Folder());
    EXPECT_EQ("[Versions]\r\nGame1=2\r\n", Store());
    uint64_t total = 0;
    for (const tagGameFile& file : build) total += file.bytes.size();
    ExpectProgressGrowsTo(run, total);
    std::printf("repair fetched %zu bytes of %llu\n", build[1].bytes.size() + build[2].bytes.size() +
                build[3].bytes.size(), static_cast<unsigned long long>(total));
}

TEST_F(UpdateRepairTest, RepairOfAGameBehindItsUpdateInstallsTheUpdateToo) {
    const tagGameFile a = {"a.bin", Bytes(100000, 7)}, b = {"b.bin", Bytes(100001, 8)};
    const tagGameFile a2 = {"a.bin", Bytes(100002, 9)};
    const std::string items = Item("1", a) + Item("1", b) + "<File version=\"2\" op=\"2\" src=\"b.bin\" des=\"B.bin\"/>";
    const std::string update = Item("2", a2);
    Install({a});  // b.bin lost
    SetStore("[Versions]\r\nGame1=1\r\n");
    ServeManifest(1, 1, Manifest("2", items + update));
    const size_t before = server_.Requests().size();
    const tagRunResult run = RunRepair(1);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(Installing({kStatusVerifying, kStatusDone}), run.statuses) << From936(run.output);
    EXPECT_EQ((std::vector<std::string>{Fetched("a.bin"), Fetched("b.bin")}), FilesFetched(before))
        << "the update's download, then the lost file under its new name";
    EXPECT_EQ(Expected({a2, {"B.bin", b.bytes}}), Folder()) << Describe(Folder());
    EXPECT_EQ("[Versions]\r\nGame1=2\r\n", Store());
}

TEST_F(UpdateRepairTest, SampleLobbyStartsARepair) {
    const tagGameFile a = {"a.bin", Bytes(1000, 14)};
    ServeManifest(1, 2, Manifest("2", Item("2", a)));
    SetStore("[Versions]\r\nGame1=2\r\n");
    Install({{"a.bin", "damaged"}});
    DWORD exitCode = 0xdeadbeef;
    std::string output;
    RunSampleLobby(L"--repair", &exitCode, &output);
    EXPECT_EQ(1u, exitCode) << output;
    EXPECT_NE(std::string::npos, output.find(" repair\n")) << output;
    EXPECT_NE(std::string::npos, output.find(ToUtf8(kStatusVerifying))) << output;
    EXPECT_EQ(Expected({a}), Folder()) << Describe(Folder());
}

TEST_F(UpdateRepairTest, RepairWithoutDigestsChangesNothing) {
    const tagGameFile a = {"a.bin", "new a"}, b = {"b.bin", "new b"};
    ServeManifest(1, 2, Manifest("2", Item("1", a, false) + Item("2", b)));
    SetStore("[Versions]\r\nGame1=2\r\n");
    Install({{"a.bin", "damaged"}});
    const size_t before = server_.Requests().size();
    const tagRunResult run = RunRepair(1);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ((std::vector<std::wstring>{kStatusChecking, kStatusRepairNoDigests}), run.statuses)
        << From936(run.output);
    EXPECT_EQ(std::vector<uint8_t>{0}, run.finished);
    EXPECT_TRUE(FilesFetched(before).empty());
    EXPECT_EQ(Expected({{"a.bin", "damaged"}}), Folder()) << Describe(Folder());
    EXPECT_EQ("[Versions]\r\nGame1=2\r\n", Store());
}

TEST_F(UpdateRepairTest, GameFilesNamedLikePartialFilesAreNeverTakenForThem) {
    // "data.pak_" and the folder "m1_" are game files; an old "data.pak"
    // and "m1" are replaced beside them.
    const std::vector<tagGameFile> build = {{"data.pak", Bytes(50000, 10)}, {"data.pak_", Bytes(60000, 11)},
                                            {"m1", Bytes(1000, 12)}, {"m1_\\map.bin", Bytes(2000, 13)}};
    std::string items;
    for (const tagGameFile& file : build) items += Item("2", file);
    const std::vector<tagGameFile> old = {{"data.pak", "old"}, build[1], {"m1", "old m1"}, build[3]};
    for (const bool repair : {false, true}) {
        SCOPED_TRACE(repair ? "repair" : "update");
        Install(old);
        DeleteFileW(GamePath(L"Configs\\Version.dat").c_str());
        ServeManifest(1, 0, Manifest("2", items));
        const size_t before = server_.Requests().size();
        const tagRunResult run = repair ? RunRepair(1) : RunUpdate(1);
        EXPECT_EQ(1u, run.exitCode);
        EXPECT_EQ(Installing(repair ? std::vector<std::wstring>{kStatusVerifying, kStatusDone}
                                    : std::vector<std::wstring>{kStatusDone}),
                  run.statuses)
            << From936(run.output);
        EXPECT_EQ((std::vector<std::string>{Fetched("data.pak"), Fetched("m1")}), FilesFetched(before));
        EXPECT_EQ(Expected(build), Folder()) << Describe(Folder());
    }
}

TEST_F(UpdateRepairTest, CaseOnlyMoveEndsWithTheNewName) {
    Install({{"a.txt", "text"}});
    SetStore("[Versions]\r\nGame1=1\r\n");
    ServeManifest(1, 1, Manifest("2", "<File version=\"2\" op=\"2\" src=\"a.txt\" des=\"A.txt\"/>"));
    const tagRunResult run = RunUpdate(1);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(Expected({{"A.txt", "text"}}), Folder()) << Describe(Folder());
}

}  // namespace
