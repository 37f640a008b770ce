// Fixture for whole update runs: a scripted update server, a temp game
// folder as the updater's working folder, and the test as the lobby.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ScriptedHttpServer.h"
#include "kit_test.h"
#include "update_run.h"

namespace update_test {

// The SHA-256 of `bytes` in lower-case hexadecimal, as manifests carry it.
std::string Sha256Hex(const std::string& bytes);

// What the lobby and the console saw of one run.
struct tagRunResult {
    bool ended = false;
    DWORD exitCode = 0xdeadbeef;
    std::string output;  // standard output, code page 936
    std::vector<uint32_t> kinds;
    std::vector<std::wstring> statuses;
    std::vector<tagProgress> progress;
    std::vector<uint8_t> finished;  // payload of the finished message
};

class UpdateScenarioTest : public testing::Test {
protected:
    void SetUp() override;

    std::string Host() const { return "127.0.0.1:" + std::to_string(server_.Port()); }
    // "http://127.0.0.1:<port>" + path
    std::string Url(const std::string& path) const { return server_.BaseUrl() + path; }
    // Answers the check of `game` at `installed` with `manifest`.
    void ServeManifest(unsigned game, uint64_t installed, const std::string& manifest);
    // A 200 answer with the body, kept alive.
    void ServeFile(const std::string& target, const std::string& body);

    // The version store of the game folder.
    void SetStore(const std::string& text);
    std::string Store() const;

    std::wstring GamePath(const std::wstring& relative) const { return gameDir_ + L"\\" + relative; }

    // Runs Update.exe (`program` of build/bin) for `game`, linked to a fresh
    // lobby window.
    tagRunResult RunUpdate(unsigned game, const std::wstring& program = L"UpdateTestHost.exe");
    // Runs Update.exe for `game` with "repair" after the lobby's arguments.
    tagRunResult RunRepair(unsigned game);
    // Runs Update.exe with the given command line arguments.
    tagRunResult RunUpdateWith(const std::wstring& arguments, CLobbyWindow& lobby,
                               const std::wstring& program = L"UpdateTestHost.exe");

    // Runs the sample lobby for game 1, which starts the test build of
    // Update.exe, with the lobby's `switches`.
    void RunSampleLobby(const std::wstring& switches, DWORD* exitCode, std::string* output);

    // A manifest for version `version` at the base URL `/files/`.
    std::string Manifest(const std::string& version, const std::string& items) const {
        return "<Update url=\"" + Url("/files/") + "\" version=\"" + version + "\">" + items + "</Update>";
    }
    static std::string Download(const std::string& version, const std::string& fname, const std::string& path,
                                size_t size, const std::string& extra = "") {
        return "<File version=\"" + version + "\" op=\"0\" fname=\"" + fname + "\" path=\"" + path +
               "\" size=\"" + std::to_string(size) + "\"" + extra + "/>";
    }

    // Every progress report of the run has the total `total`, none goes
    // back, and the last one is done.
    static void ExpectProgressGrowsTo(const tagRunResult& run, uint64_t total);

    // Statuses of a run that got as far as installing.
    static std::vector<std::wstring> Installing(const std::vector<std::wstring>& rest);

    kit_http::CScriptedHttpServer server_;
    kit_test::CTempDir game_;
    // The game folder: game_ unless a test puts it elsewhere in its SetUp.
    std::wstring gameDir_;
};

}  // namespace update_test
