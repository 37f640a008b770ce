// Compressed files and patches: decoding them in-process, and whole update
// runs that take them, fall back from them and resume them. The fixtures
// are made by Debian's zstd (make-forms.sh).
#include <windows.h>

#include <psapi.h>
#include <sodium.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "DownloadCheck.h"
#include "FormDecoder.h"
#include "StatusText.h"
#include "update_scenario.h"

using kit_http::CResponse;
using namespace update_test;

namespace {

std::string Fixture(const wchar_t* name) {
    bool exists = true;
    const std::string bytes = kit_test::ReadFileBytes(std::wstring(KIT_FORM_FIXTURES) + L"\\" + name, &exists);
    EXPECT_TRUE(exists) << "fixture missing: " << ToUtf8(name);
    return bytes;
}

std::string Flipped(std::string bytes, size_t at) {
    bytes[at] ^= 0x20;
    return bytes;
}

class UpdateFormsTest : public UpdateScenarioTest {
protected:
    void SetUp() override {
        UpdateScenarioTest::SetUp();
        base_ = Fixture(L"base.bin");
        target_ = Fixture(L"target.bin");
        zst_ = Fixture(L"target.zst");
        patch_ = Fixture(L"target.patch");
    }

    // The attributes of target.bin's digest, its compressed file and, with
    // `patch`, its patch from base.bin at version 1.
    std::string Forms(bool patch) const {
        std::string forms = " sha256=\"" + Sha256Hex(target_) + "\" zstd=\"t.zst " + std::to_string(zst_.size()) + " " +
                            Sha256Hex(zst_) + "\"";
        if (patch) {
            forms += " patch=\"" + Sha256Hex(base_) + " 1 2 t.patch " + std::to_string(patch_.size()) + " " + Sha256Hex(patch_) +
                     "\"";
        }
        return forms;
    }
    // Answers the check at `installed` with version 2 of data.bin.
    void ServeData(uint64_t installed, bool patch) {
        ServeManifest(1, installed, Manifest("2", Download("2", "t.bin", "data.bin", target_.size(), Forms(patch))));
    }
    // Installed version 1 holds base.bin as data.bin (or `held`); version 2
    // has target.bin in its three forms.
    void Serve(const std::string& held, const std::string& zst, const std::string& patch) {
        WriteFile(GamePath(L"data.bin"), held);
        SetStore("[Versions]\r\nGame1=1\r\n");
        ServeData(1, true);
        ServeFile("/files/t.bin", target_);
        ServeFile("/files/t.zst", zst);
        if (!patch.empty()) ServeFile("/files/t.patch", patch);
    }
    // The files requested, in order.
    std::vector<std::string> Fetched() const {
        std::vector<std::string> targets;
        for (const kit_http::tagRequest& request : server_.Requests()) {
            if (request.target.compare(0, 7, "/files/") == 0) targets.push_back(request.target.substr(7));
        }
        return targets;
    }
    void ExpectInstalled(const tagRunResult& run, const char* name) {
        EXPECT_EQ(1u, run.exitCode) << name;
        EXPECT_EQ(Installing({kStatusDone}), run.statuses) << name << ": " << From936(run.output);
        EXPECT_TRUE(ReadFileBytes(GamePath(L"data.bin")) == target_) << name;
        EXPECT_EQ("[Versions]\r\nGame1=2\r\n", Store()) << name;
        for (const wchar_t* left : {L"data.bin_", L"data.bin_p", L"data.bin_z", L"data.bin_p_", L"data.bin_z_"}) {
            EXPECT_FALSE(FileExists(GamePath(left))) << name << ": " << ToUtf8(left) << " left behind";
        }
    }

    std::string base_, target_, zst_, patch_;
};

TEST_F(UpdateFormsTest, DecodesCompressedFilesAndPatches) {
    uint8_t expected[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(expected, reinterpret_cast<const uint8_t*>(target_.data()), target_.size());
    struct {
        const char* what;
        std::string body;
        std::string base;  // "-": no base file at all
        bool decodes;
    } cases[] = {
        {"compressed", zst_, "", true},
        {"patch", patch_, base_, true},
        {"patch from another base", patch_, Flipped(base_, 1000), false},
        {"patch without its base", patch_, "-", false},
        {"compressed, cut short", zst_.substr(0, zst_.size() - 1), "", false},
        {"compressed, bytes after the frame", zst_ + "x", "", false},
        {"compressed, damaged", Flipped(zst_, zst_.size() / 2), "", false},
        {"patch, cut short", patch_.substr(0, patch_.size() - 4), base_, false},
    };
    for (const auto& test : cases) {
        ASSERT_TRUE(kit_test::WriteFileBytes(GamePath(L"body"), test.body));
        DeleteFileW(GamePath(L"base").c_str());
        if (test.base != "-" && !test.base.empty()) {
            ASSERT_TRUE(kit_test::WriteFileBytes(GamePath(L"base"), test.base));
        }
        const std::wstring base = test.base.empty() ? L"" : GamePath(L"base");
        EXPECT_EQ(test.decodes, DecodeForm(GamePath(L"body"), base, GamePath(L"out"), expected)) << test.what;
        bool exists = false;
        const std::string out = kit_test::ReadFileBytes(GamePath(L"out"), &exists);
        EXPECT_EQ(test.decodes, exists) << test.what << ": a failed result must be deleted";
        if (test.decodes) {
            EXPECT_TRUE(out == target_) << test.what << ": " << out.size() << " bytes";
        }
    }
    // The right bytes with another digest expected are no result either.
    ASSERT_TRUE(kit_test::WriteFileBytes(GamePath(L"body"), zst_));
    expected[0] ^= 1;
    EXPECT_FALSE(DecodeForm(GamePath(L"body"), L"", GamePath(L"out"), expected));
    EXPECT_FALSE(FileExists(GamePath(L"out")));
}

// Private bytes now (under Wine the process's anonymous resident memory).
SIZE_T PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.PagefileUsage = 0xdeadbeef;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                         sizeof counters);
    return counters.PagefileUsage;
}

TEST_F(UpdateFormsTest, PatchIsAppliedWithoutMemoryInProportionToTheFile) {
    // The frame asks for a 40 MiB window: a decoder keeping its own window
    // would hold that much until it ends; the mapped result is its window
    // instead. Private bytes are sampled while it decodes.
    const std::wstring fixtures = KIT_FORM_FIXTURES;
    uint8_t expected[crypto_hash_sha256_BYTES];
    const std::string hex = Fixture(L"large-target.sha256").substr(0, 64);
    ASSERT_TRUE(ParseSha256Hex(kit_test::FromUtf8(hex).c_str(), expected)) << hex;
    const SIZE_T before = PrivateBytes();
    std::atomic<bool> done(false);
    std::atomic<SIZE_T> peak(before);
    std::thread sampler([&] {
        while (!done) {
            const SIZE_T now = PrivateBytes();
            if (now > peak) peak = now;
            Sleep(1);
        }
    });
    EXPECT_TRUE(DecodeForm(fixtures + L"\\large.patch", fixtures + L"\\large-base.bin", GamePath(L"large.bin"),
                           expected));
    done = true;
    sampler.join();
    EXPECT_LT(peak - before, SIZE_T(16) << 20) << "private bytes grew from " << before << " to " << peak;
    EXPECT_TRUE(FileExists(GamePath(L"large.bin")));
}

TEST_F(UpdateFormsTest, PatchFromTheInstalledFileIsFetched) {
    Serve(base_, zst_, patch_);
    const tagRunResult run = RunUpdate(1);
    ExpectInstalled(run, "patch");
    EXPECT_EQ(std::vector<std::string>{"t.patch"}, Fetched());
    // The bar's total is what is fetched.
    ASSERT_FALSE(run.progress.empty());
    EXPECT_EQ(patch_.size(), run.progress.back().total);
    EXPECT_EQ(patch_.size(), run.progress.back().done);
}

TEST_F(UpdateFormsTest, DamagedBaseFallsBackToTheCompressedFile) {
    Serve(Flipped(base_, 5000), zst_, patch_);
    const tagRunResult run = RunUpdate(1);
    ExpectInstalled(run, "damaged base");
    EXPECT_EQ((std::vector<std::string>{"t.patch", "t.zst"}), Fetched());
    ASSERT_FALSE(run.progress.empty());
    EXPECT_EQ(patch_.size() + zst_.size(), run.progress.back().total);
}

TEST_F(UpdateFormsTest, DamagedCompressedFileFallsBackToTheRawFile) {
    // A fresh install: no base, so the compressed file comes first.
    Serve("", Flipped(zst_, 100), patch_);
    DeleteFileW(GamePath(L"data.bin").c_str());
    SetStore("");
    ServeData(0, false);
    const tagRunResult run = RunUpdate(1);
    ExpectInstalled(run, "damaged compressed file");
    EXPECT_EQ((std::vector<std::string>{"t.zst", "t.bin"}), Fetched());
}

TEST_F(UpdateFormsTest, TamperedPatchIsRefusedBeforeDecoding) {
    // Its own digest refuses it as it ends: the body is deleted unread and
    // the next form is fetched, without a failure shown.
    Serve(base_, zst_, Flipped(patch_, patch_.size() - 2));
    const tagRunResult run = RunUpdate(1);
    ExpectInstalled(run, "tampered patch");
    EXPECT_EQ((std::vector<std::string>{"t.patch", "t.zst"}), Fetched());
}

TEST_F(UpdateFormsTest, CutPatchDownloadGoesOn) {
    Serve(base_, zst_, "");
    const size_t cut = patch_.size() / 2;
    const std::string head = CResponse::Head(200, "OK", "Content-Length: " + std::to_string(patch_.size()) +
                                                            "\r\nConnection: keep-alive\r\n");
    server_.Enqueue(CResponse().Send(head + patch_.substr(0, cut)).Close());
    server_.Enqueue(CResponse().Send(
        CResponse::Head(206, "Partial Content",
                        "Content-Range: bytes " + std::to_string(cut) + "-" + std::to_string(patch_.size() - 1) +
                            "/" + std::to_string(patch_.size()) + "\r\nContent-Length: " +
                            std::to_string(patch_.size() - cut) + "\r\nConnection: keep-alive\r\n") +
        patch_.substr(cut)));
    const tagRunResult run = RunUpdate(1);
    ExpectInstalled(run, "cut patch");
    const std::vector<kit_http::tagRequest> requests = server_.Requests();
    ASSERT_EQ(3u, requests.size());
    EXPECT_EQ("/files/t.patch", requests[2].target);
    EXPECT_NE(std::string::npos, requests[2].raw.find("\r\nRange: bytes=" + std::to_string(cut) + "-\r\n"))
        << requests[2].raw;
}

TEST_F(UpdateFormsTest, FormDownloadsKeepToTheFormsBoundsAndAttempts) {
    const std::string length = "Content-Length: " + std::to_string(patch_.size()) + "\r\n";
    const struct {
        const char* what;
        CResponse answer;  // to every request of the patch
        std::vector<std::string> fetched;
        bool installs;
    } cases[] = {
        // Cut at the patch's size, which is all of it.
        {"no length, then more", CResponse().Send(CResponse::Head(200, "OK", "Connection: close\r\n") + patch_ +
                                                  std::string(1000, 'x')),
         {"t.patch"}, true},
        {"a length past the patch's size",
         CResponse().Send(CResponse::Head(200, "OK", "Content-Length: " + std::to_string(patch_.size() + 1) +
                                                         "\r\n") + patch_ + "x"),
         {"t.patch", "t.zst"}, true},
        {"not found", CResponse().Send(CResponse::Head(404, "Not Found", "Content-Length: 0\r\n")),
         {"t.patch", "t.zst"}, true},
        // A lost connection is tried again, three times, then the run fails
        // as a raw download's does.
        {"cut every time", CResponse().Send(CResponse::Head(200, "OK", length) + patch_.substr(0, 20)).Close(),
         {"t.patch", "t.patch", "t.patch", "t.patch"}, false},
    };
    for (const auto& test : cases) {
        Serve(base_, zst_, patch_);
        DeleteFileW(GamePath(L"data.bin_p_").c_str());
        server_.Route("/files/t.patch", test.answer);
        const size_t before = Fetched().size();
        const tagRunResult run = RunUpdate(1);
        const std::vector<std::string> all = Fetched();
        EXPECT_EQ(test.fetched, std::vector<std::string>(all.begin() + before, all.end())) << test.what;
        if (test.installs) {
            ExpectInstalled(run, test.what);
            continue;
        }
        EXPECT_EQ(0u, run.exitCode) << test.what;
        ASSERT_FALSE(run.statuses.empty()) << test.what;
        EXPECT_EQ(kStatusFileFailed, run.statuses.back()) << test.what << ": " << From936(run.output);
        EXPECT_TRUE(ReadFileBytes(GamePath(L"data.bin")) == base_) << test.what;
        EXPECT_EQ("[Versions]\r\nGame1=1\r\n", Store()) << test.what;
    }
}

TEST_F(UpdateFormsTest, TargetInPlaceIsNotFetchedInAnyForm) {
    // The patch would be chosen, and an earlier run left part of it; the
    // file is already the new one.
    Serve(target_, zst_, patch_);
    WriteFile(GamePath(L"data.bin_p_"), patch_.substr(0, 100));
    const tagRunResult run = RunUpdate(1);
    ExpectInstalled(run, "in place");
    EXPECT_TRUE(Fetched().empty()) << Fetched().size() << " files fetched";
    ExpectProgressGrowsTo(run, patch_.size());
}

TEST_F(UpdateFormsTest, TargetOfTheSameSizeThatDiffersFetchesTheChosenForm) {
    // Hashed against the file's digest first, then the compressed body is
    // checked against its own.
    Serve(Flipped(target_, 100), zst_, "");
    ServeData(1, false);
    const tagRunResult run = RunUpdate(1);
    ExpectInstalled(run, "differs");
    EXPECT_EQ(std::vector<std::string>{"t.zst"}, Fetched());
    ExpectProgressGrowsTo(run, zst_.size());
}

TEST_F(UpdateFormsTest, RepairOverFormsFetchesRawFilesAndCountsThem) {
    const struct {
        const char* what;
        std::string held;  // "-": no file
        unsigned installed;
        std::vector<std::string> fetched;
        uint64_t total;
    } cases[] = {
        {"repair only, file lost", "-", 2, {"t.bin"}, target_.size()},
        {"repair only, file in place", target_, 2, {}, target_.size()},
        {"update by patch, then its file checked", base_, 1, {"t.patch"}, patch_.size() + target_.size()},
    };
    for (const auto& test : cases) {
        Serve(test.held == "-" ? "" : test.held, zst_, patch_);
        if (test.held == "-") DeleteFileW(GamePath(L"data.bin").c_str());
        SetStore("[Versions]\r\nGame1=" + std::to_string(test.installed) + "\r\n");
        ServeData(test.installed, true);
        const size_t before = Fetched().size();
        const tagRunResult run = RunRepair(1);
        EXPECT_EQ(1u, run.exitCode) << test.what;
        EXPECT_EQ(Installing({kStatusVerifying, kStatusDone}), run.statuses)
            << test.what << ": " << From936(run.output);
        EXPECT_TRUE(ReadFileBytes(GamePath(L"data.bin")) == target_) << test.what;
        EXPECT_EQ("[Versions]\r\nGame1=2\r\n", Store()) << test.what;
        const std::vector<std::string> all = Fetched();
        EXPECT_EQ(test.fetched, std::vector<std::string>(all.begin() + before, all.end())) << test.what;
        SCOPED_TRACE(test.what);
        ExpectProgressGrowsTo(run, test.total);
    }
}

TEST_F(UpdateFormsTest, UpdaterWithoutFormsFetchesTheRawFile) {
    Serve(base_, zst_, patch_);
    const tagRunResult run = RunUpdate(1, L"UpdateTestHostRawOnly.exe");
    ExpectInstalled(run, "raw only");
    EXPECT_EQ(std::vector<std::string>{"t.bin"}, Fetched());
    ASSERT_FALSE(run.progress.empty());
    EXPECT_EQ(target_.size(), run.progress.back().total);
}

}  // namespace
