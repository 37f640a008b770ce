// Whole update runs whose downloads lose their connection or find a partial
// file: what is asked again, what ends up on disk, what the lobby hears.
#include <windows.h>


#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "StatusText.h"
#include "update_scenario.h"

using kit_http::CResponse;
using namespace update_test;

namespace {

const std::string kTarget = "/files/data.bin";
const std::string kKeep = "Connection: keep-alive\r\n";
const std::wstring kDone = kStatusDone;

std::string Length(size_t n) {
    return "Content-Length: " + std::to_string(n) + "\r\n";
}

class UpdateResumeTest : public UpdateScenarioTest {
protected:
    void SetUp() override {
        UpdateScenarioTest::SetUp();
        UsePayload(300000);
    }

    // The file the manifest downloads: `size` deterministic bytes.
    void UsePayload(size_t size) {
        payload_.resize(size);
        uint32_t x = 0x2545f491;
        for (char& c : payload_) {
            x = x * 1664525 + 1013904223;
            c = static_cast<char>(x >> 24);
        }
    }
    std::string Sha256() const { return Sha256Hex(payload_); }
    void ServeDownload(bool withDigest = true, const std::string& after = "") {
        ServeManifest(1, 0,
                      Manifest("2", Download("2", "data.bin", "data.bin", payload_.size(),
                                             withDigest ? " sha256=\"" + Sha256() + "\"" : "") +
                                        after));
    }

    // Answers of the file's requests, in the order they come.
    std::string Whole() const { return CResponse::Head(200, "OK", Length(payload_.size()) + kKeep) + payload_; }
    // The whole answer up to `at` bytes of its body; then the connection
    // closes.
    CResponse CutAt(size_t at) const {
        return CResponse().Send(Whole().substr(0, Whole().size() - payload_.size() + at)).Close();
    }
    // A 206 for the bytes from `from` on; with `cut`, only `cut` of them
    // before the connection is closed.
    std::string PartialHead(size_t from) const {
        return CResponse::Head(206, "Partial Content",
                               "Content-Range: bytes " + std::to_string(from) + "-" +
                                   std::to_string(payload_.size() - 1) + "/" + std::to_string(payload_.size()) +
                                   "\r\n" + Length(payload_.size() - from) + kKeep);
    }
    CResponse Rest(size_t from) const { return CResponse().Send(PartialHead(from) + payload_.substr(from)); }
    CResponse RestCut(size_t from, size_t cut) const {
        return CResponse().Send(PartialHead(from) + payload_.substr(from, cut)).Close();
    }
    void Answer(const std::vector<CResponse>& answers) {
        for (const CResponse& answer : answers) server_.Enqueue(answer);
    }

    // The Range value of each request of the file ("-" for none), from the
    // `from`-th request of the server on.
    std::vector<std::string> Ranges(size_t from = 0) const {
        std::vector<std::string> ranges;
        const std::vector<kit_http::tagRequest> requests = server_.Requests();
        for (size_t i = from; i < requests.size(); ++i) {
            if (requests[i].target != kTarget) continue;
            const size_t at = requests[i].raw.find("\r\nRange: ");
            ranges.push_back(at == std::string::npos
                                 ? "-"
                                 : requests[i].raw.substr(at + 9, requests[i].raw.find("\r\n", at + 2) - at - 9));
        }
        return ranges;
    }
    std::string Installed() const { return ReadFileBytes(GamePath(L"data.bin")); }
    std::string Partial() const { return ReadFileBytes(GamePath(L"data.bin_")); }
    // Readable while the updater writes the file, which it shares for
    // writing only.
    uint64_t PartialSize() const {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(GamePath(L"data.bin_").c_str(), GetFileExInfoStandard, &data)) return 0;
        return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }

    void ExpectInstalled(const tagRunResult& run, const char* name) {
        EXPECT_EQ(1u, run.exitCode) << name;
        EXPECT_EQ(Installing({kDone}), run.statuses) << name << ": " << From936(run.output);
        EXPECT_TRUE(Installed() == payload_) << name << ": installed " << Installed().size() << " bytes";
        EXPECT_FALSE(FileExists(GamePath(L"data.bin_"))) << name;
        EXPECT_EQ("[Versions]\r\nGame1=2\r\n", Store()) << name;
    }
    // A failed run: exit 0, not finished, the old file and version kept.
    void ExpectFailed(const tagRunResult& run, const std::wstring& status, const char* name) {
        EXPECT_EQ(0u, run.exitCode) << name;
        EXPECT_EQ(std::vector<uint8_t>{0}, run.finished) << name;
        EXPECT_EQ(Installing({status}), run.statuses) << name << ": " << From936(run.output);
        EXPECT_EQ("old", Installed()) << name;
        EXPECT_EQ("", Store()) << name;
    }
    void ResetGame(const std::string& partial) {
        WriteFile(GamePath(L"data.bin"), "old");
        DeleteFileW(GamePath(L"data.bin_").c_str());
        if (!partial.empty()) WriteFile(GamePath(L"data.bin_"), partial);
        DeleteFileW(GamePath(L"Configs\\Version.dat").c_str());
    }

    std::string payload_;
};

TEST_F(UpdateResumeTest, BodyCutWithinTheRunGoesOnFromTheBytesReceived) {
    ResetGame("");
    ServeDownload();
    Answer({CutAt(120000), Rest(120000)});
    const tagRunResult run = RunUpdate(1);
    ExpectInstalled(run, "cut at 40 %");
    EXPECT_EQ((std::vector<std::string>{"-", "bytes=120000-"}), Ranges());
    // One item's bytes never count twice: the reports only grow, up to the
    // total, and the wait for the next attempt is reported at the bytes kept.
    ASSERT_FALSE(run.progress.empty());
    uint64_t last = 0;
    bool waitReported = false;
    for (const tagProgress& p : run.progress) {
        EXPECT_EQ(payload_.size(), p.total);
        EXPECT_GE(p.done, last) << "after " << last;
        EXPECT_LE(p.done, p.total);
        last = p.done;
        waitReported |= p.done == 120000 && p.speed == 0;
    }
    EXPECT_EQ(payload_.size(), last);
    EXPECT_TRUE(waitReported) << "no report at the 120000 bytes kept while waiting";
}

TEST_F(UpdateResumeTest, PartialFileOfAnEarlierRunIsContinuedWhenTheServerAllows) {
    const std::string kept = std::string(payload_, 0, 100000);
    const std::string whole = Whole();
    const struct {
        const char* name;
        bool withDigest;
        std::vector<CResponse> answers;
        std::vector<std::string> ranges;
    } cases[] = {
        {"206 for the rest", true, {Rest(100000)}, {"bytes=100000-"}},
        {"200 to the range", true, {CResponse().Send(whole)}, {"bytes=100000-"}},
        {"416", true,
         {CResponse().Send(CResponse::Head(416, "Range Not Satisfiable", Length(0) + kKeep)), CResponse().Send(whole)},
         {"bytes=100000-", "-"}},
        {"206 for another range", true, {Rest(99000), CResponse().Send(whole)}, {"bytes=100000-", "-"}},
        {"no sha256: not resumed", false, {CResponse().Send(whole)}, {"-"}},
    };
    for (const auto& c : cases) {
        ResetGame(kept);
        ServeDownload(c.withDigest);
        Answer(c.answers);
        const size_t before = server_.Requests().size();
        const tagRunResult run = RunUpdate(1);
        ExpectInstalled(run, c.name);
        EXPECT_EQ(c.ranges, Ranges(before)) << c.name;
    }
}

TEST_F(UpdateResumeTest, KilledRunIsContinuedByTheNextOne) {
    ResetGame("");
    ServeDownload();
    // The body stalls after 100000 bytes until the updater is ended.
    CResponse stalled = CutAt(100000);
    Answer({CResponse().Send(stalled.Steps()[0].bytes).Delay(120000), Rest(100000)});
    {
        CLobbyWindow lobby;
        CUpdateProcess update;
        ASSERT_TRUE(update.Start(LobbyArguments(1, lobby.Handle()), game_.Path(), Host()));
        ASSERT_TRUE(PumpUntil([&] { return PartialSize() == 100000; }, 60000)) << PartialSize();
        EXPECT_FALSE(update.Wait(0)) << "ended by TerminateProcess";
    }
    const tagRunResult run = RunUpdate(1);
    ExpectInstalled(run, "second run");
    EXPECT_EQ((std::vector<std::string>{"-", "bytes=100000-"}), Ranges());
}

TEST_F(UpdateResumeTest, CorruptPartialFileFailsItsRunAndTheNextStartsOver) {
    std::string corrupt = payload_.substr(0, 100000);
    corrupt[5000] ^= 1;
    ResetGame(corrupt);
    ServeDownload();
    Answer({Rest(100000), CResponse().Send(Whole())});
    const tagRunResult first = RunUpdate(1);
    ExpectFailed(first, kStatusFileRefused, "corrupt partial file");
    EXPECT_FALSE(FileExists(GamePath(L"data.bin_")));
    const tagRunResult second = RunUpdate(1);
    ExpectInstalled(second, "next run");
    EXPECT_EQ((std::vector<std::string>{"bytes=100000-", "-"}), Ranges());
}

TEST_F(UpdateResumeTest, LostConnectionsEndTheRunOnlyWhenTheRetriesAreSpent) {
    // Three short attempts after the first cut spend the retries; the
    // bytes received stay for the next run. Attempts that bring at least
    // 1 MiB each give the retries back, however many cuts there are.
    UsePayload(6 << 20);
    const size_t mib = 1 << 20, step = mib + mib / 4;
    const struct {
        const char* name;
        std::vector<CResponse> answers;
        std::vector<std::string> ranges;
        bool completes;
        DWORD minMs;  // the waits between the attempts
    } cases[] = {
        {"three short retries",
         {CutAt(120000), RestCut(120000, 1000), RestCut(121000, 1000), RestCut(122000, 1000)},
         {"-", "bytes=120000-", "bytes=121000-", "bytes=122000-"},
         false,
         7000},
        {"four cuts a retry of over 1 MiB apart",
         {CutAt(step), RestCut(step, step), RestCut(2 * step, step), RestCut(3 * step, step), Rest(4 * step)},
         {"-", "bytes=" + std::to_string(step) + "-", "bytes=" + std::to_string(2 * step) + "-",
          "bytes=" + std::to_string(3 * step) + "-", "bytes=" + std::to_string(4 * step) + "-"},
         true,
         4000},
    };
    for (const auto& c : cases) {
        ResetGame("");
        ServeDownload();
        Answer(c.answers);
        const size_t before = server_.Requests().size();
        const DWORD start = GetTickCount();
        const tagRunResult run = RunUpdate(1);
        EXPECT_GE(GetTickCount() - start, c.minMs) << c.name;
        EXPECT_EQ(c.ranges, Ranges(before)) << c.name;
        if (c.completes) {
            ExpectInstalled(run, c.name);
        } else {
            ExpectFailed(run, kStatusFileFailed, c.name);
            EXPECT_EQ(123000u, Partial().size()) << c.name;
        }
    }
}

TEST_F(UpdateResumeTest, AnswersAndDownloadsWithoutADigestAreNotRetried) {
    const CResponse notFound = CResponse().Send(CResponse::Head(404, "Not Found", Length(0) + kKeep));
    const struct {
        const char* name;
        bool withDigest;
        std::vector<CResponse> answers;
        std::vector<std::string> ranges;
        std::wstring status;
    } cases[] = {
        {"404", true, {notFound}, {"-"}, kStatusFileFailed},
        {"cut, then 404", true, {CutAt(120000), notFound}, {"-", "bytes=120000-"}, kStatusFileFailed},
        {"no sha256, cut", false, {CutAt(120000)}, {"-"}, kStatusDisconnected},
    };
    for (const auto& c : cases) {
        ResetGame("");
        ServeDownload(c.withDigest);
        Answer(c.answers);
        const size_t before = server_.Requests().size();
        const tagRunResult run = RunUpdate(1);
        ExpectFailed(run, c.status, c.name);
        EXPECT_EQ(c.ranges, Ranges(before)) << c.name;
    }
}

TEST_F(UpdateResumeTest, LobbyIsClosedAndKeptInformedAcrossAWait) {
    ResetGame("");
    WriteFile(GamePath(L"after.txt"), "after");
    ServeDownload(true, "<File version=\"2\" op=\"3\"/><File version=\"2\" op=\"1\" path=\"after.txt\"/>");
    Answer({CutAt(120000), Rest(120000)});
    DWORD code = 0xdeadbeef;
    std::string output;
    RunSampleLobby(L"", &code, &output);
    EXPECT_EQ(0u, code);
    EXPECT_NE(std::string::npos, output.find("[lobby] progress: 120000 of 300000 bytes, speed 0.0")) << output;
    EXPECT_NE(std::string::npos, output.find("[lobby] asked to close; exiting")) << output;
    // The updater goes on alone; its end shows in the files.
    PumpUntil([&] { return Store().find("Game1=2") != std::string::npos; }, 30000);
    EXPECT_FALSE(FileExists(GamePath(L"after.txt")));
    EXPECT_TRUE(Installed() == payload_) << "installed " << Installed().size() << " bytes";
    EXPECT_EQ(Ranges(), (std::vector<std::string>{"-", "bytes=120000-"}));
    PumpFor(500);  // lets the updater leave the folder
}

}  // namespace
