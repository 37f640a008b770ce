// Whole update runs against a server that tries to make a download fill
// the disk, go on for ever or hang the updater: each run ends within its
// bound, and no file grows past the size the manifest gives.
#include <windows.h>

#include <zlib.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "StatusText.h"
#include "update_scenario.h"

using kit_http::CResponse;
using namespace update_test;

namespace {

const std::string kTarget = "/files/data.bin";
const size_t kSize = 300000;
const uint64_t kHuge = 1ull << 40;
const wchar_t kDeadlineVariable[] = L"KIT_UPDATE_DEADLINE_MS";
const wchar_t kFloorVariable[] = L"KIT_UPDATE_FLOOR_WINDOW_MS";

std::string Length(uint64_t n) {
    return "Content-Length: " + std::to_string(n) + "\r\n";
}

// `size` bytes of zeros in the gzip format: a few hundred bytes per MiB.
std::string GzipOfZeros(size_t size) {
    z_stream z = {};
    EXPECT_EQ(Z_OK, deflateInit2(&z, 9, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY));
    const std::string zeros(1 << 20, '\0');
    std::string packed;
    char out[1 << 16];
    for (size_t left = size;;) {
        const size_t take = left < zeros.size() ? left : zeros.size();
        left -= take;
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.data()));
        z.avail_in = static_cast<uInt>(take);
        const int flush = left == 0 ? Z_FINISH : Z_NO_FLUSH;
        do {
            z.next_out = reinterpret_cast<Bytef*>(out);
            z.avail_out = sizeof out;
            deflate(&z, flush);
            packed.append(out, sizeof out - z.avail_out);
        } while (z.avail_out == 0);
        if (left == 0) break;
    }
    deflateEnd(&z);
    return packed;
}

class UpdateBoundsTest : public UpdateScenarioTest {
protected:
    void SetUp() override {
        UpdateScenarioTest::SetUp();
        payload_.resize(kSize);
        for (size_t i = 0; i < kSize; ++i) payload_[i] = static_cast<char>(i * 7 + i / 251);
    }
    void TearDown() override {
        SetEnvironmentVariableW(kDeadlineVariable, nullptr);
        SetEnvironmentVariableW(kFloorVariable, nullptr);
    }

    void ServeDownload() {
        ServeManifest(1, 0,
                      Manifest("2", Download("2", "data.bin", "data.bin", payload_.size(),
                                             " sha256=\"" + Sha256Hex(payload_) + "\"")));
    }
    void ResetGame(const std::string& partial) {
        WriteFile(GamePath(L"data.bin"), "old");
        DeleteFileW(GamePath(L"data.bin_").c_str());
        if (!partial.empty()) WriteFile(GamePath(L"data.bin_"), partial);
        DeleteFileW(GamePath(L"Configs\\Version.dat").c_str());
    }
    // Requests of the file since the `from`-th request of the server.
    size_t FileRequests(size_t from) const {
        const std::vector<kit_http::tagRequest> requests = server_.Requests();
        size_t count = 0;
        for (size_t i = from; i < requests.size(); ++i) count += requests[i].target == kTarget;
        return count;
    }
    uint64_t PartialSize() const {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(GamePath(L"data.bin_").c_str(), GetFileExInfoStandard, &data)) return 0;
        return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    // Runs the update; fails the test when it took `boundMs` or longer.
    tagRunResult RunWithin(DWORD boundMs, const char* name) {
        const DWORD start = GetTickCount();
        tagRunResult run = RunUpdate(1);
        elapsedMs_ = GetTickCount() - start;
        EXPECT_LT(elapsedMs_, boundMs) << name;
        return run;
    }
    // A failed run: exit 0, not finished, the old file and no version.
    void ExpectFailed(const tagRunResult& run, const std::wstring& status, const char* name) {
        EXPECT_EQ(0u, run.exitCode) << name;
        EXPECT_EQ(std::vector<uint8_t>{0}, run.finished) << name;
        ASSERT_FALSE(run.statuses.empty()) << name;
        EXPECT_EQ(status, run.statuses.back()) << name << ": " << From936(run.output);
        EXPECT_EQ("old", ReadFileBytes(GamePath(L"data.bin"))) << name;
        EXPECT_EQ("", Store()) << name;
    }

    std::string payload_;
    DWORD elapsedMs_ = 0;
};

TEST_F(UpdateBoundsTest, DownloadNeverStoresMoreThanItsSize) {
    const std::string close = "Connection: close\r\n";
    const std::string keep = "Connection: keep-alive\r\n";
    const std::string bomb = GzipOfZeros(256 << 20);
    const std::string partial = payload_.substr(0, 100000);
    const struct {
        const char* name;
        std::string partial;  // left by an earlier run
        CResponse answer;
        std::wstring status;  // the last one
        uint64_t partialLeft;
    } cases[] = {
        {"no length, endless",
         "",
         CResponse().Send(CResponse::Head(200, "OK", close)).SendRepeated("endless", kHuge),
         kStatusFileRefused,
         0},
        {"chunked, one endless chunk",
         "",
         CResponse().Send(CResponse::Head(200, "OK", "Transfer-Encoding: chunked\r\n" + keep) + "10000000000\r\n")
             .SendRepeated("endless", kHuge),
         kStatusFileRefused,
         0},
        {"gzip of 256 MiB of zeros",
         "",
         CResponse().Send(CResponse::Head(200, "OK", "Content-Encoding: gzip\r\n" + Length(bomb.size()) + keep) +
                          bomb),
         kStatusFileRefused,
         0},
        {"length 100 bytes too large", "", CResponse().Send(CResponse::Head(200, "OK", Length(kSize + 100) + keep) +
                                                            payload_ + std::string(100, 'x')),
         kStatusFileRefused, 0},
        {"length of 2^40", "", CResponse().Send(CResponse::Head(200, "OK", Length(kHuge) + keep))
                                   .SendRepeated("endless", kHuge),
         kStatusFileRefused, 0},
        {"206 with a total of 2^40",
         partial,
         CResponse().Send(CResponse::Head(206, "Partial Content",
                                          "Content-Range: bytes 100000-" + std::to_string(kHuge - 1) + "/" +
                                              std::to_string(kHuge) + "\r\n" + Length(kHuge - 100000) + keep))
             .SendRepeated("endless", kHuge),
         kStatusFileRefused,
         100000},
        {"the file without a length, then more", "",
         CResponse().Send(CResponse::Head(200, "OK", close) + payload_).SendRepeated("endless", kHuge),
         kStatusDone, 0},
    };
    for (const auto& c : cases) {
        ResetGame(c.partial);
        ServeDownload();
        server_.Route(kTarget, c.answer);
        const size_t before = server_.Requests().size();
        const tagRunResult run = RunWithin(30000, c.name);
        EXPECT_EQ(1u, FileRequests(before)) << c.name << ": asked once, never again";
        EXPECT_EQ(c.partialLeft, PartialSize()) << c.name;
        if (c.status == kStatusDone) {
            EXPECT_EQ(1u, run.exitCode) << c.name;
            EXPECT_TRUE(ReadFileBytes(GamePath(L"data.bin")) == payload_) << c.name;
            EXPECT_EQ("[Versions]\r\nGame1=2\r\n", Store()) << c.name;
        } else {
            ExpectFailed(run, c.status, c.name);
        }
        std::printf("%s: %lu ms, partial file %llu bytes\n", c.name, elapsedMs_,
                    static_cast<unsigned long long>(PartialSize()));
    }
}

TEST_F(UpdateBoundsTest, CutTrickledAndSlowDownloadsEndWithinTheirBounds) {
    const std::string payload = payload_;
    std::string big(6 << 20, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i % 253);
    const size_t cut = (5 << 20) / 4;
    const std::string keep = "Connection: keep-alive\r\n";
    CResponse slow;
    slow.Send(CResponse::Head(200, "OK", Length(kSize) + keep));
    for (size_t at = 0; at < kSize; at += 2048) slow.Send(payload.substr(at, 2048)).Delay(1000);
    const struct {
        const char* name;
        const std::string& file;
        const wchar_t* variable;  // shortened for the case, or null
        const wchar_t* ms;
        CResponse answer;
        DWORD boundMs;
        size_t requests;
        uint64_t partialMin, partialMax;
    } cases[] = {
        // Every answer starts the file over and is cut after 1.25 MiB: the
        // first attempt's progress gives the retries back once, the three
        // attempts after it keep nothing new.
        {"cut every 1.25 MiB, starting over", big, nullptr, nullptr,
         CResponse().Send(CResponse::Head(200, "OK", Length(big.size())) + big.substr(0, cut)).Close(), 40000, 4,
         cut, cut},
        // Never lets the idle time-out fire; with the floor rate's window at
        // 3 s, each attempt is lost within about 4 s.
        {"one byte every 2 s", payload, kFloorVariable, L"3000",
         CResponse().Send(CResponse::Head(200, "OK", Length(kSize) + keep)).SendEachByte(payload.substr(0, 20), 2000),
         45000, 4, 0, 20},
        // Passes the floor rate; the run's deadline at 8 s still ends it.
        {"2 KiB a second", payload, kDeadlineVariable, L"8000", slow, 20000, 1, 1, kSize},
    };
    for (const auto& c : cases) {
        payload_ = c.file;
        if (c.variable) SetEnvironmentVariableW(c.variable, c.ms);
        ResetGame("");
        ServeDownload();
        server_.Route(kTarget, c.answer);
        const size_t before = server_.Requests().size();
        const tagRunResult run = RunWithin(c.boundMs, c.name);
        if (c.variable) SetEnvironmentVariableW(c.variable, nullptr);
        ExpectFailed(run, kStatusFileFailed, c.name);
        EXPECT_EQ(c.requests, FileRequests(before)) << c.name;
        EXPECT_LE(c.partialMin, PartialSize()) << c.name;
        EXPECT_GE(c.partialMax, PartialSize()) << c.name;
        std::printf("%s: %lu ms, %u requests, partial file %llu bytes\n", c.name, elapsedMs_,
                    static_cast<unsigned>(FileRequests(before)), static_cast<unsigned long long>(PartialSize()));
    }
}

TEST_F(UpdateBoundsTest, HungCheckEndsAtItsDeadlineAndTheNextRunWorks) {
    SetEnvironmentVariableW(kDeadlineVariable, L"6000");
    ResetGame("");
    ServeManifest(1, 0, "");
    const std::string manifest = Manifest("2", "<File version=\"2\" op=\"1\" path=\"data.bin\"/>");
    // One byte a second: above no floor the test shortens, below the idle
    // time-out.
    server_.Route("/update/?id=1&v=0", CResponse()
                                           .Send(CResponse::Head(200, "OK", Length(manifest.size())))
                                           .SendEachByte(manifest, 1000));
    CLobbyWindow firstLobby;
    CUpdateProcess first;
    const DWORD start = GetTickCount();
    ASSERT_TRUE(first.Start(LobbyArguments(1, firstLobby.Handle()), game_.Path(), Host()));
    // The updater waits for the lobby's answers: pumping lets it ask.
    ASSERT_TRUE(PumpUntil([&] { return !server_.Requests().empty(); }, 30000));
    {
        // A second updater meanwhile meets the first one's mutex: it ends at
        // once, silently, and asks nothing.
        CLobbyWindow lobby;
        CUpdateProcess second;
        ASSERT_TRUE(second.Start(LobbyArguments(1, lobby.Handle()), game_.Path(), Host()));
        EXPECT_TRUE(second.Wait(20000));
        EXPECT_EQ(0u, second.ExitCode());
        EXPECT_EQ("", second.Output());
        EXPECT_TRUE(lobby.Kinds().empty());
    }
    EXPECT_TRUE(first.Wait(30000));
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_EQ(0u, first.ExitCode());
    EXPECT_EQ(Lines936({kStatusChecking, kStatusListFailed}), first.Output());
    EXPECT_LT(elapsed, 20000u);
    EXPECT_EQ(1u, server_.Requests().size());
    EXPECT_EQ("old", ReadFileBytes(GamePath(L"data.bin")));
    EXPECT_EQ("", Store());
    std::printf("hung check: ended after %lu ms\n", elapsed);

    ServeManifest(1, 0, manifest);
    const tagRunResult run = RunWithin(30000, "the next run");
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(Installing({kStatusDone}), run.statuses) << From936(run.output);
    EXPECT_FALSE(FileExists(GamePath(L"data.bin")));
    EXPECT_EQ("[Versions]\r\nGame1=2\r\n", Store());
}

}  // namespace
