// The disk-space check on a really small volume: scripts/test-small-volume.sh
// mounts one (a tmpfs of 8 MiB) and names it in KIT_SMALL_VOLUME; without
// it every test here is skipped.
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "StatusText.h"
#include "update_scenario.h"

using namespace update_test;

namespace {

const size_t kMiB = 1 << 20;

class UpdateSpaceTest : public UpdateScenarioTest {
protected:
    void SetUp() override {
        UpdateScenarioTest::SetUp();
        const char* volume = std::getenv("KIT_SMALL_VOLUME");
        if (!volume || !*volume) GTEST_SKIP() << "no small volume: run by scripts/test-small-volume.sh";
        gameDir_ = kit_test::FromUtf8(volume) + L"\\game";
        ULARGE_INTEGER available, total, free;
        ASSERT_TRUE(GetDiskFreeSpaceExW(kit_test::FromUtf8(volume).c_str(), &available, &total, &free));
        ASSERT_LE(total.QuadPart, 16 * kMiB) << "not a small volume";
        total_ = total.QuadPart;
    }
    std::vector<std::string> FilesFetched() const {
        std::vector<std::string> targets;
        for (const auto& r : server_.Requests())
            if (r.target.compare(0, 7, "/files/") == 0) targets.push_back(r.target);
        return targets;
    }
    std::string Items(const std::vector<size_t>& sizes) {
        std::string items;
        for (size_t i = 0; i < sizes.size(); ++i) {
            const std::string name = "f" + std::to_string(i) + ".bin";
            ServeFile("/files/" + name, std::string(sizes[i], static_cast<char>('a' + i)));
            items += Download("2", name, "data\\" + name, sizes[i]);
        }
        return items;
    }
    uint64_t total_ = 0;
};

TEST_F(UpdateSpaceTest, RunThatDoesNotFitChangesNothing) {
    WriteFile(GamePath(L"data\\f0.bin"), "old");
    SetStore("[Versions]\r\nGame1=1\r\n");
    // Three files of 3 MiB on a volume of 8 MiB: each would fit, not all.
    ServeManifest(1, 1, Manifest("2", Items({3 * kMiB, 3 * kMiB, 3 * kMiB})));
    const tagRunResult run = RunUpdate(1);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ(Installing({kStatusNoSpace}), run.statuses) << From936(run.output) << " on " << total_ << " bytes";
    EXPECT_EQ(std::vector<uint8_t>{0}, run.finished);
    EXPECT_TRUE(FilesFetched().empty()) << FilesFetched().size() << " files fetched";
    EXPECT_EQ("old", ReadFileBytes(GamePath(L"data\\f0.bin")));
    EXPECT_FALSE(FileExists(GamePath(L"data\\f0.bin_")));
    EXPECT_FALSE(FileExists(GamePath(L"data\\f1.bin")));
    EXPECT_EQ("[Versions]\r\nGame1=1\r\n", Store());
}

TEST_F(UpdateSpaceTest, RunThatFitsInstalls) {
    WriteFile(GamePath(L"data\\f0.bin"), std::string(3 * kMiB, 'x'));
    SetStore("[Versions]\r\nGame1=1\r\n");
    // 3 MiB replaced beside its old copy, then 1 MiB more.
    ServeManifest(1, 1, Manifest("2", Items({3 * kMiB, 1 * kMiB})));
    const tagRunResult run = RunUpdate(1);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(Installing({kStatusDone}), run.statuses) << From936(run.output) << " on " << total_ << " bytes";
    EXPECT_EQ(2u, FilesFetched().size());
    EXPECT_EQ("[Versions]\r\nGame1=2\r\n", Store());
}

}  // namespace
