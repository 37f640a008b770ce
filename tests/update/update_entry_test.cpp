// Update.exe from the lobby's side: start, link, reports, exit codes.
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ScriptedHttpServer.h"
#include "StatusText.h"
#include "kit_test.h"
#include "update_run.h"

using namespace update_test;

namespace {

const DWORD kRunLimitMs = 60000;

std::string HostOf(const kit_http::CScriptedHttpServer& server) {
    return "127.0.0.1:" + std::to_string(server.Port());
}

// Lobby side of the process the updater is told to watch.
class CLingeringProcess {
public:
    CLingeringProcess() {
        const std::wstring program = kit_test::ProgramDir() + L"\\UpdateProbe.exe";
        std::wstring command = L"\"" + program + L"\" --wait";
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info = {};
        if (CreateProcessW(program.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                           &startup, &info)) {
            CloseHandle(info.hThread);
            process_ = info.hProcess;
            pid_ = info.dwProcessId;
        }
    }
    ~CLingeringProcess() {
        End();
        if (process_) CloseHandle(process_);
    }
    void End() {
        if (process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_, 0);
            WaitForSingleObject(process_, 10000);
        }
    }
    DWORD Pid() const { return pid_; }

private:
    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
};

class UpdateEntryTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(936u, GetACP()) << "the harness runs with code page 936";
        ASSERT_TRUE(server_.Start());
    }
    // The check request of `game` at `version` answered by `response`.
    void RouteCheck(unsigned game, unsigned version, const kit_http::CResponse& response) {
        server_.Route("/update/?id=" + std::to_string(game) + "&v=" + std::to_string(version), response);
    }
    static kit_http::CResponse NotFound() {
        return kit_http::CResponse().Send(
            kit_http::CResponse::Head(404, "Not Found", "Content-Length: 0\r\n"));
    }
    // An answer that never comes while the test runs.
    static kit_http::CResponse Silence() { return kit_http::CResponse().Delay(120000); }

    kit_http::CScriptedHttpServer server_;
    kit_test::CTempDir game_;
};

TEST_F(UpdateEntryTest, LobbyMessagesArriveInOrderWithTheirLayout) {
    RouteCheck(7, 0, NotFound());
    CLobbyWindow lobby;
    CUpdateProcess update;
    ASSERT_TRUE(update.Start(LobbyArguments(7, lobby.Handle()), game_.Path(), HostOf(server_)));
    ASSERT_TRUE(update.Wait(kRunLimitMs));
    EXPECT_EQ(0u, update.ExitCode()) << "a failed check ends with 0";

    const auto& events = lobby.Events();
    ASSERT_EQ(5u, events.size());
    EXPECT_FALSE(events[0].hasData) << "the link request comes first";
    EXPECT_EQ(0u, events[0].tag);
    const HWND updater = events[0].sender;
    wchar_t className[64] = L"";
    EXPECT_TRUE(GetClassNameW(updater, className, 64) > 0 || !IsWindow(updater));
    for (size_t i = 1; i < events.size(); ++i) {
        SCOPED_TRACE("message " + std::to_string(i));
        EXPECT_TRUE(events[i].hasData);
        EXPECT_EQ(updater, events[i].sender);
        EXPECT_EQ(0u, events[i].tag);
        EXPECT_EQ(events[i].bytes.size(), events[i].Size()) << "size field equals cbData";
        EXPECT_EQ(0x6000, events[i].Mark());
        EXPECT_EQ(0u, events[i].Reserved());
    }
    EXPECT_EQ((std::vector<uint32_t>{0, 1, 0, 2}), lobby.Kinds());
    EXPECT_EQ((std::vector<std::wstring>{kStatusChecking, kStatusListFailed}), lobby.Statuses());
    EXPECT_EQ(12u + 2 * 12, events[1].Size()) << "status text: UTF-16 units, no terminator";
    EXPECT_EQ(12u, events[2].Size()) << "check started carries nothing";
    EXPECT_EQ(std::vector<uint8_t>{0}, events[4].Payload()) << "finished, not completed";
    EXPECT_EQ(Lines936({kStatusChecking, kStatusListFailed}), update.Output()) << From936(update.Output());

    const auto requests = server_.Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("GET", requests[0].method);
    EXPECT_EQ("/update/?id=7&v=0", requests[0].target);
}

TEST_F(UpdateEntryTest, CheckCarriesTheInstalledVersionOfTheGame) {
    WriteFile(game_ / L"Configs\\Version.dat", "[Versions]\r\nGame3=11\r\nGame4=-1\r\n");
    RouteCheck(4, 0, NotFound());
    server_.Route("/update/?id=4&v=18446744073709551615", NotFound());
    CLobbyWindow lobby;
    CUpdateProcess update;
    ASSERT_TRUE(update.Start(LobbyArguments(4, lobby.Handle()), game_.Path(), HostOf(server_)));
    ASSERT_TRUE(update.Wait(kRunLimitMs));
    const auto requests = server_.Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ("/update/?id=4&v=18446744073709551615", requests[0].target) << "v is written unsigned";
}

TEST_F(UpdateEntryTest, UnusableCommandLineChecksGameZeroAtVersionZeroWithoutLink) {
    WriteFile(game_ / L"Configs\\Version.dat", "[Versions]\r\nGame0=5\r\nGame6=5\r\n");
    RouteCheck(0, 0, NotFound());
    CLobbyWindow lobby;
    const std::wstring window = std::to_wstring(reinterpret_cast<uintptr_t>(lobby.Handle()));
    const std::wstring pid = std::to_wstring(GetCurrentProcessId());
    // Only "repair" exactly makes a fourth argument usable.
    const std::wstring argumentLists[] = {L"",
                                          window + L" " + pid,
                                          L"6 " + window + L" " + pid + L" 9",
                                          L"6 " + window + L" " + pid + L" Repair",
                                          L"6 " + window + L" " + pid + L" repair2",
                                          L"6 " + window + L" " + pid + L" repair repair"};
    for (const auto& arguments : argumentLists) {
        SCOPED_TRACE(arguments);
        const size_t before = server_.Requests().size();
        CUpdateProcess update;
        ASSERT_TRUE(update.Start(arguments, game_.Path(), HostOf(server_)));
        ASSERT_TRUE(update.Wait(kRunLimitMs));
        EXPECT_EQ(0u, update.ExitCode());
        EXPECT_EQ(Lines936({kStatusChecking, kStatusListFailed}), update.Output())
            << From936(update.Output());
        const auto requests = server_.Requests();
        ASSERT_EQ(before + 1, requests.size());
        EXPECT_EQ("/update/?id=0&v=0", requests.back().target);
    }
    EXPECT_TRUE(lobby.Events().empty()) << lobby.Events().size() << " messages reached the window";
}

TEST_F(UpdateEntryTest, RefusedOrMissingLobbyWindowEndsSilentlyWithZero) {
    CLobbyWindow refusing(false);
    CLobbyWindow gone;
    const std::wstring stale = std::to_wstring(reinterpret_cast<uintptr_t>(gone.Handle()));
    DestroyWindow(gone.Handle());
    const std::wstring argumentLists[] = {LobbyArguments(1, refusing.Handle()),
                                          L"1 " + stale + L" " + std::to_wstring(GetCurrentProcessId())};
    for (const auto& arguments : argumentLists) {
        SCOPED_TRACE(arguments);
        CUpdateProcess update;
        ASSERT_TRUE(update.Start(arguments, game_.Path(), HostOf(server_)));
        ASSERT_TRUE(update.Wait(kRunLimitMs));
        EXPECT_EQ(0u, update.ExitCode());
        EXPECT_EQ("", update.Output()) << From936(update.Output());
    }
    ASSERT_EQ(1u, refusing.Events().size()) << "only the link request";
    EXPECT_FALSE(refusing.Events()[0].hasData);
    EXPECT_EQ(0, server_.Connections()) << "no check is made";
}

TEST_F(UpdateEntryTest, UnopenableLobbyProcessEndsWithOneAfterTheRightsMessage) {
    CLobbyWindow lobby;
    CUpdateProcess update;
    // Process ids are multiples of 4 and small; this one is not in use.
    ASSERT_TRUE(update.Start(LobbyArguments(1, lobby.Handle(), 0x7FFFFFF0), game_.Path(), HostOf(server_)));
    ASSERT_TRUE(update.Wait(kRunLimitMs));
    EXPECT_EQ(1u, update.ExitCode());
    EXPECT_EQ(Lines936({kStatusNoRights}), update.Output()) << From936(update.Output());
    EXPECT_EQ((std::vector<uint32_t>{0}), lobby.Kinds()) << "the status only, no finished message";
    EXPECT_EQ((std::vector<std::wstring>{kStatusNoRights}), lobby.Statuses());
    EXPECT_EQ(0, server_.Connections());
}

TEST_F(UpdateEntryTest, FailedStartAfterTheLinkStillReportsFinishedZero) {
    CLobbyWindow lobby;
    CUpdateProcess update;
    // A host name too long for the socket layer: the check cannot start.
    ASSERT_TRUE(update.Start(LobbyArguments(1, lobby.Handle()), game_.Path(),
                             "an-update-host-name-longer-than-31-characters.example"));
    ASSERT_TRUE(update.Wait(kRunLimitMs));
    EXPECT_EQ(0u, update.ExitCode());
    EXPECT_EQ(Lines936({kStatusCheckNotStarted}), update.Output()) << From936(update.Output());
    EXPECT_EQ((std::vector<uint32_t>{0, 2}), lobby.Kinds());
    ASSERT_EQ(3u, lobby.Events().size());
    EXPECT_EQ(std::vector<uint8_t>{0}, lobby.Events()[2].Payload());
}

TEST_F(UpdateEntryTest, SecondInstanceExitsZeroAndSendsNothing) {
    RouteCheck(1, 0, Silence());
    CLobbyWindow first, second;
    CUpdateProcess running;
    ASSERT_TRUE(running.Start(LobbyArguments(1, first.Handle()), game_.Path(), HostOf(server_)));
    ASSERT_TRUE(PumpUntil([&] { return first.Has(1); }, kRunLimitMs)) << "the first check never started";

    CUpdateProcess again;
    ASSERT_TRUE(again.Start(LobbyArguments(1, second.Handle()), game_.Path(), HostOf(server_)));
    ASSERT_TRUE(again.Wait(kRunLimitMs));
    EXPECT_EQ(0u, again.ExitCode());
    EXPECT_EQ("", again.Output()) << From936(again.Output());
    EXPECT_TRUE(second.Events().empty());
    EXPECT_TRUE(running.Running()) << "the first instance goes on";
    EXPECT_EQ(1u, server_.Requests().size());
}

TEST_F(UpdateEntryTest, LobbyProcessEndingEndsTheRunWithZero) {
    RouteCheck(1, 0, Silence());
    CLingeringProcess lobbyProcess;
    ASSERT_NE(0u, lobbyProcess.Pid());
    CLobbyWindow lobby;
    CUpdateProcess update;
    ASSERT_TRUE(
        update.Start(LobbyArguments(1, lobby.Handle(), lobbyProcess.Pid()), game_.Path(), HostOf(server_)));
    ASSERT_TRUE(PumpUntil([&] { return lobby.Has(1); }, kRunLimitMs));
    PumpFor(1500);
    EXPECT_TRUE(update.Running()) << "waits for the answer while the lobby lives";
    lobbyProcess.End();
    ASSERT_TRUE(update.Wait(kRunLimitMs));
    EXPECT_EQ(0u, update.ExitCode());
    EXPECT_EQ((std::vector<uint32_t>{0, 1, 2}), lobby.Kinds()) << "no status after the check started";
    EXPECT_EQ(Lines936({kStatusChecking}), update.Output()) << From936(update.Output());
}

}  // namespace

namespace {

TEST(UpdateImageTest, ShippedUpdateIsAConsoleProgramThatRunsAsInvoker) {
    const std::wstring path = kit_test::ProgramDir() + L"\\Update.exe";
    const std::string image = ReadFileBytes(path);
    ASSERT_GT(image.size(), 0x40u);
    uint32_t peOffset = 0;
    std::memcpy(&peOffset, image.data() + 0x3C, 4);
    ASSERT_LT(peOffset + 24 + 70, image.size());
    uint16_t subsystem = 0;
    // The optional header follows the 4-byte signature and the 20-byte file
    // header; the subsystem field sits at offset 68 in it.
    std::memcpy(&subsystem, image.data() + peOffset + 24 + 68, 2);
    EXPECT_EQ(IMAGE_SUBSYSTEM_WINDOWS_CUI, subsystem);

    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, module);
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
    ASSERT_NE(nullptr, resource) << "no application manifest";
    const char* data = static_cast<const char*>(LockResource(LoadResource(module, resource)));
    const std::string manifest(data, SizeofResource(module, resource));
    FreeLibrary(module);
    EXPECT_NE(std::string::npos, manifest.find("level=\"asInvoker\"")) << manifest;
}

TEST_F(UpdateEntryTest, ShippedBuildIgnoresTheTestHostVariable) {
    RouteCheck(0, 0, NotFound());
    CUpdateProcess update;
    ASSERT_TRUE(update.Start(L"", game_.Path(), HostOf(server_), L"Update.exe"));
    // Whatever answers (or not) at the built-in host, it is not this server.
    update.Wait(15000);
    EXPECT_EQ(0, server_.Connections());
    EXPECT_EQ(To936(kStatusChecking) + "\r\n", update.Output().substr(0, 20)) << From936(update.Output());
}

}  // namespace
