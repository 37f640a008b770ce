#include "update_scenario.h"

#include <sodium.h>

#include "StatusText.h"

namespace update_test {

std::string Sha256Hex(const std::string& bytes) {
    uint8_t digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    char hex[2 * crypto_hash_sha256_BYTES + 1];
    sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
    return hex;
}

namespace {
const DWORD kRunLimitMs = 90000;
}

void UpdateScenarioTest::SetUp() {
    ASSERT_EQ(936u, GetACP()) << "the harness runs with code page 936";
    ASSERT_TRUE(server_.Start());
    gameDir_ = game_.Path();
}

void UpdateScenarioTest::ServeManifest(unsigned game, uint64_t installed, const std::string& manifest) {
    server_.Route("/update/?id=" + std::to_string(game) + "&v=" + std::to_string(installed),
                   kit_http::CResponse::Ok(manifest));
}

void UpdateScenarioTest::ServeFile(const std::string& target, const std::string& body) {
    server_.Route(target, kit_http::CResponse::Ok(body));
}

void UpdateScenarioTest::SetStore(const std::string& text) {
    WriteFile(GamePath(L"Configs\\Version.dat"), text);
}

std::string UpdateScenarioTest::Store() const {
    return ReadFileBytes(GamePath(L"Configs\\Version.dat"));
}

tagRunResult UpdateScenarioTest::RunUpdate(unsigned game, const std::wstring& program) {
    CLobbyWindow lobby;
    return RunUpdateWith(LobbyArguments(game, lobby.Handle()), lobby, program);
}

tagRunResult UpdateScenarioTest::RunUpdateWith(const std::wstring& arguments, CLobbyWindow& lobby,
                                               const std::wstring& program) {
    tagRunResult result;
    CUpdateProcess update;
    if (!update.Start(arguments, gameDir_, Host(), program)) {
        ADD_FAILURE() << "Update.exe did not start";
        return result;
    }
    result.ended = update.Wait(kRunLimitMs);
    EXPECT_TRUE(result.ended) << "Update.exe still ran after " << kRunLimitMs << " ms";
    result.exitCode = update.ExitCode();
    result.output = update.Output();
    result.kinds = lobby.Kinds();
    result.statuses = lobby.Statuses();
    result.progress = lobby.Progress();
    for (const auto& e : lobby.Events())
        if (e.hasData && e.Kind() == 2) result.finished = e.Payload();
    return result;
}

void UpdateScenarioTest::RunSampleLobby(const std::wstring& switches, DWORD* exitCode, std::string* output) {
    CUpdateProcess lobby;
    const std::wstring arguments = switches + L" --game 1 --update \"" + kit_test::ProgramDir() +
                                   L"\\UpdateTestHost.exe\" --dir \"" + gameDir_ + L"\"";
    ASSERT_TRUE(lobby.Start(arguments, gameDir_, Host(), L"SampleLobby.exe"));
    ASSERT_TRUE(lobby.Wait(kRunLimitMs));
    *exitCode = lobby.ExitCode();
    *output = lobby.Output();
}

tagRunResult UpdateScenarioTest::RunRepair(unsigned game) {
    CLobbyWindow lobby;
    return RunUpdateWith(LobbyArguments(game, lobby.Handle()) + L" repair", lobby);
}

void UpdateScenarioTest::ExpectProgressGrowsTo(const tagRunResult& run, uint64_t total) {
    ASSERT_FALSE(run.progress.empty());
    uint64_t last = 0;
    for (const tagProgress& p : run.progress) {
        EXPECT_EQ(total, p.total);
        EXPECT_GE(p.done, last);
        last = p.done;
    }
    EXPECT_EQ(total, last);
}

std::vector<std::wstring> UpdateScenarioTest::Installing(const std::vector<std::wstring>& rest) {
    std::vector<std::wstring> texts = {kStatusChecking, kStatusCounting};
    texts.insert(texts.end(), rest.begin(), rest.end());
    return texts;
}

}  // namespace update_test
