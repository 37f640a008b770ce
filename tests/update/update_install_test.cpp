// Carrying out the manifest's items: downloads, deletes, moves,
// registration, closing the lobby, running programs, the final version.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "StatusText.h"
#include "update_scenario.h"

using namespace update_test;

namespace {

const DWORD kChildLimitMs = 90000;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0, end;
    while ((end = text.find('\n', start)) != std::string::npos) {
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

class UpdateInstallTest : public UpdateScenarioTest {
protected:
    std::vector<std::string> Targets() const {
        std::vector<std::string> targets;
        for (const auto& r : server_.Requests()) targets.push_back(r.target);
        return targets;
    }
    std::string Check(unsigned game, uint64_t version) const {
        return "/update/?id=" + std::to_string(game) + "&v=" + std::to_string(version);
    }
    static std::string DllBytes() { return ReadFileBytes(kit_test::ProgramDir() + L"\\UpdateTestDll.dll"); }
};

TEST_F(UpdateInstallTest, DeletesAndMovesCompleteWithoutAnyDownload) {
    WriteFile(GamePath(L"old.txt"), "old");
    WriteFile(GamePath(L"a.cfg"), "settings");
    ServeManifest(1, 0,
                  Manifest("2",
                           "<File version=\"1\" op=\"1\" path=\"old.txt\"/>"
                           "<File version=\"1\" op=\"2\" src=\"a.cfg\" des=\"config\\new\\a.cfg\"/>"
                           "<File version=\"1\" op=\"1\" path=\"missing.txt\"/>"
                           "<File version=\"1\" op=\"2\" src=\"missing.cfg\" des=\"b.cfg\"/>"));
    const tagRunResult run = RunUpdate(1);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(Installing({kStatusDone}), run.statuses);
    EXPECT_EQ(Lines936(run.statuses), run.output) << From936(run.output);
    EXPECT_EQ((std::vector<uint32_t>{0, 1, 0, 0, 2}), run.kinds);
    EXPECT_EQ(std::vector<uint8_t>{1}, run.finished);
    EXPECT_FALSE(FileExists(GamePath(L"old.txt")));
    EXPECT_FALSE(FileExists(GamePath(L"a.cfg")));
    EXPECT_EQ("settings", ReadFileBytes(GamePath(L"config\\new\\a.cfg")));
    EXPECT_FALSE(FileExists(GamePath(L"b.cfg")));
    EXPECT_EQ(std::vector<std::string>{Check(1, 0)}, Targets());
    EXPECT_EQ("[Versions]\r\nGame1=2\r\n", Store()) << "the Configs folder is created for the store";
}

TEST_F(UpdateInstallTest, DownloadsLandInNewDirectoriesOrBesideOnOneKeptConnection) {
    ServeManifest(1, 0,
                  Manifest("3", Download("1", "deep/x.bin", "data\\maps\\new\\x.bin", 5) +
                                    Download("2", "plain.bin", "plain.bin", 7)));
    ServeFile("/files/deep/x.bin", "xxxxx");
    ServeFile("/files/plain.bin", "plainer");
    const tagRunResult run = RunUpdate(1);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(Installing({kStatusDone}), run.statuses);
    EXPECT_EQ("xxxxx", ReadFileBytes(GamePath(L"data\\maps\\new\\x.bin")));
    EXPECT_EQ("plainer", ReadFileBytes(GamePath(L"plain.bin")));
    EXPECT_FALSE(FileExists(GamePath(L"plain.bin_"))) << "the temporary file is gone";
    EXPECT_EQ((std::vector<std::string>{Check(1, 0), "/files/deep/x.bin", "/files/plain.bin"}), Targets());
    EXPECT_EQ(1, server_.Connections()) << "the check and both downloads share one connection";
    ASSERT_EQ(2u, run.progress.size());
    EXPECT_EQ(12u, run.progress[0].total);
    EXPECT_EQ(5u, run.progress[0].done);
    EXPECT_EQ(12u, run.progress[1].done);
    EXPECT_EQ("[Versions]\r\nGame1=3\r\n", Store());
}

TEST_F(UpdateInstallTest, DownloadUrlIsTheBaseFollowedDirectlyByTheName) {
    ServeManifest(1, 0,
                  "<Update url=\"" + Url("/files") + "\" version=\"2\">" +
                      Download("1", "x.bin", "x.bin", 1) + Download("1", "/y.bin", "y.bin", 1) + "</Update>");
    ServeFile("/filesx.bin", "x");
    ServeFile("/files/y.bin", "y");
    const tagRunResult run = RunUpdate(1);
    EXPECT_EQ(Installing({kStatusDone}), run.statuses);
    EXPECT_EQ((std::vector<std::string>{Check(1, 0), "/filesx.bin", "/files/y.bin"}), Targets());
}

TEST_F(UpdateInstallTest, MoveKeepsAnExistingDestinationUnlessDeletedFirst) {
    WriteFile(GamePath(L"a.txt"), "a");
    WriteFile(GamePath(L"b.txt"), "b");
    WriteFile(GamePath(L"c.txt"), "c");
    WriteFile(GamePath(L"d.txt"), "d");
    ServeManifest(1, 0,
                  Manifest("2",
                           "<File version=\"1\" op=\"2\" src=\"a.txt\" des=\"b.txt\"/>"
                           "<File version=\"1\" op=\"1\" path=\"d.txt\"/>"
                           "<File version=\"1\" op=\"2\" src=\"c.txt\" des=\"d.txt\"/>"));
    const tagRunResult run = RunUpdate(1);
    EXPECT_EQ(Installing({kStatusDone}), run.statuses);
    EXPECT_EQ("a", ReadFileBytes(GamePath(L"a.txt")));
    EXPECT_EQ("b", ReadFileBytes(GamePath(L"b.txt")));
    EXPECT_FALSE(FileExists(GamePath(L"c.txt")));
    EXPECT_EQ("c", ReadFileBytes(GamePath(L"d.txt")));
}

TEST_F(UpdateInstallTest, ServersAreRegisteredAfterDownloadAndMoveOnlyWhenAsked) {
    const std::string dll = DllBytes();
    ASSERT_FALSE(dll.empty());
    WriteFile(GamePath(L"staged.dll"), dll);
    ServeManifest(
        1, 0,
        Manifest("2", Download("1", "reg.dll", "servers\\reg.dll", dll.size(), " RegCom=\"1\"") +
                          Download("1", "plain.dll", "servers\\plain.dll", dll.size()) +
                          "<File version=\"1\" op=\"2\" src=\"staged.dll\" des=\"moved\\moved.dll\" "
                          "RegCom=\"1\"/>"));
    ServeFile("/files/reg.dll", dll);
    ServeFile("/files/plain.dll", dll);
    const tagRunResult run = RunUpdate(1);
    EXPECT_EQ(Installing({kStatusDone}), run.statuses);
    EXPECT_TRUE(FileExists(GamePath(L"servers\\reg.dll.registered")));
    EXPECT_FALSE(FileExists(GamePath(L"servers\\plain.dll.registered")));
    EXPECT_TRUE(FileExists(GamePath(L"moved\\moved.dll")));
    EXPECT_TRUE(FileExists(GamePath(L"moved\\moved.dll.registered")));
}

TEST_F(UpdateInstallTest, FailedDownloadStopsTheRunAndKeepsOldFilesAndVersion) {
    const struct {
        const char* what;
        kit_http::CResponse answer;
        const wchar_t* status;
        bool partial;
    } cases[] = {
        {"not found",
         kit_http::CResponse().Send(kit_http::CResponse::Head(404, "Not Found", "Content-Length: 0\r\n")),
         kStatusFileFailed, false},
        {"closed mid-body",
         kit_http::CResponse()
             .Send(kit_http::CResponse::Head(200, "OK", "Content-Length: 100\r\n") + "0123456789")
             .Delay(300)
             .Close(),
         kStatusDisconnected, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetStore("[Versions]\r\nGame1=1\r\n");
        WriteFile(GamePath(L"a.bin"), "old a");
        WriteFile(GamePath(L"b.bin"), "old b");
        DeleteFileW(GamePath(L"b.bin_").c_str());
        ServeManifest(
            1, 1,
            Manifest("2", Download("2", "a.bin", "a.bin", 5) + Download("2", "b.bin", "b.bin", 100) +
                              Download("2", "c.bin", "c.bin", 5)));
        ServeFile("/files/a.bin", "new a");
        server_.Route("/files/b.bin", c.answer);
        ServeFile("/files/c.bin", "new c");
        const tagRunResult run = RunUpdate(1);
        EXPECT_EQ(0u, run.exitCode);
        EXPECT_EQ(Installing({c.status}), run.statuses);
        EXPECT_EQ(std::vector<uint8_t>{0}, run.finished);
        EXPECT_EQ("new a", ReadFileBytes(GamePath(L"a.bin")));
        EXPECT_EQ("old b", ReadFileBytes(GamePath(L"b.bin")));
        EXPECT_EQ(c.partial, FileExists(GamePath(L"b.bin_")));
        if (c.partial) {
            EXPECT_EQ("0123456789", ReadFileBytes(GamePath(L"b.bin_")));
        }
        EXPECT_FALSE(FileExists(GamePath(L"c.bin")));
        const std::vector<std::string> targets = Targets();
        EXPECT_EQ(
            (std::vector<std::string>{Check(1, 1), "/files/a.bin", "/files/b.bin"}),
            std::vector<std::string>(targets.end() - std::min<size_t>(3, targets.size()), targets.end()))
            << "no request for the third file";
        EXPECT_EQ("[Versions]\r\nGame1=1\r\n", Store());
    }
}

TEST_F(UpdateInstallTest, DirectoryThatCannotBeCreatedStopsTheRun) {
    WriteFile(GamePath(L"blocker"), "a file where a folder should be");
    WriteFile(GamePath(L"src.txt"), "src");
    const std::string items[] = {
        Download("1", "x.bin", "blocker\\sub\\x.bin", 1),
        "<File version=\"1\" op=\"2\" src=\"src.txt\" des=\"blocker\\sub\\src.txt\"/>"};
    for (const auto& item : items) {
        SCOPED_TRACE(item);
        ServeManifest(1, 0, Manifest("2", item + "<File version=\"1\" op=\"1\" path=\"src.txt\"/>"));
        const size_t before = server_.Requests().size();
        const tagRunResult run = RunUpdate(1);
        EXPECT_EQ(0u, run.exitCode);
        EXPECT_EQ(Installing({kStatusDirectoryFailed}), run.statuses);
        EXPECT_EQ(std::vector<uint8_t>{0}, run.finished);
        EXPECT_EQ(before + 1, server_.Requests().size()) << "no download was asked for";
        EXPECT_TRUE(FileExists(GamePath(L"src.txt"))) << "the queue stopped at the failing item";
        EXPECT_EQ("", Store());
    }
}

TEST_F(UpdateInstallTest, DownloadItemWithoutPathFailsRatherThanPassingForTheCheck) {
    // Kept in memory, its body would be taken for a second manifest.
    ServeManifest(1, 0, Manifest("2", "<File version=\"1\" op=\"0\" fname=\"m.xml\" size=\"1\"/>"));
    ServeFile("/files/m.xml", Manifest("3", "<File version=\"1\" op=\"7\"/>"));
    const tagRunResult run = RunUpdate(1);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ(Installing({kStatusUpdateFailed}), run.statuses);
    EXPECT_EQ(std::vector<std::string>{Check(1, 0)}, Targets());
    EXPECT_EQ("", Store());
}

TEST_F(UpdateInstallTest, ClientSeveralVersionsBehindGetsEveryNewerItemInOrder) {
    SetStore("[Versions]\r\nGame5=1\r\nGame6=9\r\n");
    ServeManifest(
        5, 1,
        Manifest("4", Download("3", "c3.bin", "c3.bin", 1) + Download("1", "old.bin", "old.bin", 1) +
                          Download("2", "b2.bin", "b2.bin", 1) + Download("4", "d4.bin", "d4.bin", 1)));
    for (const char* name : {"c3.bin", "old.bin", "b2.bin", "d4.bin"})
        ServeFile(std::string("/files/") + name, "1");
    const tagRunResult run = RunUpdate(5);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ((std::vector<std::string>{Check(5, 1), "/files/c3.bin", "/files/b2.bin", "/files/d4.bin"}),
              Targets());
    EXPECT_EQ("[Versions]\r\nGame5=4\r\nGame6=9\r\n", Store());
}

TEST_F(UpdateInstallTest, RunItemsStartOnlyAfterTheDownloadBeforeThem) {
    const std::wstring log = GamePath(L"probe.log");
    SetEnvironmentVariableW(L"KIT_PROBE_LOG", log.c_str());
    WriteFile(GamePath(L"tools\\probe.exe"), ReadFileBytes(kit_test::ProgramDir() + L"\\UpdateProbe.exe"));
    ServeManifest(
        1, 0,
        Manifest("2", Download("1", "late.bin", "late.bin", 4) +
                          "<File version=\"1\" op=\"4\" path=\".\\tools\\probe.exe\" cmd=\"--flag value\"/>"
                          "<File version=\"1\" op=\"4\" path=\".\\tools\\probe.exe\"/>"));
    server_.Route("/files/late.bin", kit_http::CResponse()
                                          .Send(kit_http::CResponse::Head(200, "OK", "Content-Length: 4\r\n"))
                                          .Delay(2000)
                                          .Send("late"));
    CLobbyWindow lobby;
    CUpdateProcess update;
    ASSERT_TRUE(update.Start(LobbyArguments(1, lobby.Handle()), game_.Path(), Host()));
    ASSERT_TRUE(PumpUntil([&] { return server_.Requests().size() >= 2; }, kChildLimitMs));
    PumpFor(1000);
    EXPECT_FALSE(FileExists(log)) << "a program started while its download was still under way";
    ASSERT_TRUE(update.Wait(kChildLimitMs));
    EXPECT_EQ(1u, update.ExitCode());
    // The programs run on their own; give them time to write.
    PumpUntil([&] { return Lines(ReadFileBytes(log)).size() >= 2; }, 30000);
    std::vector<std::string> lines = Lines(ReadFileBytes(log));
    std::sort(lines.begin(), lines.end());
    const std::string dir = ToUtf8(game_.Path());
    EXPECT_EQ((std::vector<std::string>{dir, dir + "|--flag|value"}), lines);
    PumpFor(300);  // lets the probes close the log before the folder goes
}

TEST_F(UpdateInstallTest, CloseLobbyItemWithoutALobbyProcessIsSkipped) {
    WriteFile(GamePath(L"x.txt"), "x");
    ServeManifest(0, 0,
                  Manifest("2",
                           "<File version=\"1\" op=\"3\"/>"
                           "<File version=\"1\" op=\"1\" path=\"x.txt\"/>"));
    CLobbyWindow lobby;
    const tagRunResult run = RunUpdateWith(L"", lobby);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(Lines936(Installing({kStatusDone})), run.output) << From936(run.output);
    EXPECT_FALSE(FileExists(GamePath(L"x.txt")));
    EXPECT_EQ("[Versions]\r\nGame0=2\r\n", Store());
}

TEST_F(UpdateInstallTest, PeriodicProgressIsThrottledAndMatchesTheConsoleLines) {
    const size_t size = 12 * 4096;
    const std::string body(size, 'p');
    std::vector<size_t> cuts;
    for (size_t at = 4096; at < size; at += 4096) cuts.push_back(at);
    ServeManifest(1, 0, Manifest("2", Download("1", "big.bin", "big.bin", size)));
    server_.Route("/files/big.bin", kit_http::CResponse()
                                         .Send(kit_http::CResponse::Head(
                                             200, "OK", "Content-Length: " + std::to_string(size) + "\r\n"))
                                         .SendSplit(body, cuts, 250));
    const tagRunResult run = RunUpdate(1);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(body, ReadFileBytes(GamePath(L"big.bin")));
    ASSERT_GE(run.progress.size(), 3u) << "about 3 s of body at 4 KB per 250 ms";
    const std::vector<tagProgress> periodic(run.progress.begin(), run.progress.end() - 1);
    const tagProgress& last = run.progress.back();
    EXPECT_EQ(size, last.total);
    EXPECT_EQ(size, last.done);

    std::vector<std::string> lines;
    for (const auto& line : Lines(run.output))
        if (line.compare(0, 2, "A=") == 0) lines.push_back(line);
    ASSERT_EQ(periodic.size(), lines.size()) << run.output;
    for (size_t i = 0; i < periodic.size(); ++i) {
        SCOPED_TRACE("report " + std::to_string(i));
        const tagProgress& r = periodic[i];
        EXPECT_EQ(size, r.total);
        // The last piece may arrive more than 500 ms after the previous
        // report: its periodic report then already counts every byte.
        EXPECT_LE(r.done, size);
        if (i > 0) {
            EXPECT_GT(r.done, periodic[i - 1].done);
            EXPECT_GT(r.tick - periodic[i - 1].tick, 400u) << "reports more than 500 ms apart";
        }
        unsigned long long a = 0, c = 0;
        double s = -1;
        unsigned t = 0xdeadbeef;
        ASSERT_EQ(4, std::sscanf(lines[i].c_str(), "A=%llu,C=%llu,s=%lf,t=%u", &a, &c, &s, &t)) << lines[i];
        EXPECT_EQ(r.total, a);
        EXPECT_EQ(r.done, c);
        EXPECT_NEAR(r.speed * 1024, s, 0.01) << "the lobby gets KB/s, the console bytes/s";
        EXPECT_EQ(r.secondsLeft, t);
        if (s > 0) {
            EXPECT_EQ(static_cast<unsigned>((size - c) / s), t);
        }
    }
}

class CloseLobbyTest : public UpdateInstallTest {
protected:
    void SetUp() override {
        UpdateInstallTest::SetUp();
        SetStore("[Versions]\r\nGame1=1\r\n");
        WriteFile(GamePath(L"after.txt"), "after");
        ServeManifest(1, 1,
                      Manifest("2",
                               "<File version=\"2\" op=\"3\"/>"
                               "<File version=\"2\" op=\"1\" path=\"after.txt\"/>"));
    }
};

TEST_F(CloseLobbyTest, LobbyThatExitsLetsTheRunGoOnWithoutIt) {
    DWORD code = 0xdeadbeef;
    std::string output;
    RunSampleLobby(L"", &code, &output);
    EXPECT_EQ(0u, code);
    EXPECT_NE(std::string::npos, output.find("[lobby] asked to close; exiting")) << output;
    // The updater goes on alone; its end shows in the files.
    PumpUntil(
        [&] { return !FileExists(GamePath(L"after.txt")) && Store().find("Game1=2") != std::string::npos; },
        30000);
    EXPECT_FALSE(FileExists(GamePath(L"after.txt")));
    EXPECT_EQ("[Versions]\r\nGame1=2\r\n", Store());
    PumpFor(500);  // lets the updater leave the folder
}

TEST_F(CloseLobbyTest, LobbyThatStaysEndsTheUpdaterWithOneAfterTenSeconds) {
    DWORD code = 0xdeadbeef;
    std::string output;
    const DWORD start = GetTickCount();
    RunSampleLobby(L"--stay", &code, &output);
    const DWORD elapsed = GetTickCount() - start;
    EXPECT_EQ(1u, code) << "the sample lobby exits with the updater's code";
    EXPECT_GE(elapsed, 9500u);
    EXPECT_NE(std::string::npos, output.find("[lobby] asked to close; staying (--stay)")) << output;
    EXPECT_NE(std::string::npos, output.find("[lobby] the updater ended the link")) << output;
    EXPECT_NE(std::string::npos, output.find(ToUtf8(std::wstring(L"[Update.exe] ") + kStatusLobbyStillRunning)))
        << output;
    EXPECT_EQ(std::string::npos, output.find("[lobby] finished")) << "nothing after the disconnect notice";
    EXPECT_TRUE(FileExists(GamePath(L"after.txt")));
    EXPECT_EQ("[Versions]\r\nGame1=1\r\n", Store());
}

}  // namespace
