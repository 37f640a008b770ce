// CClientSocket against a real loopback server on a thread of this program;
// the test thread pumps the client's messages.
#include <winsock2.h>
#include <windows.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ClientSocket.h"
#include "LoopbackServer.h"
#include "kit_test.h"

using namespace _ClientCommonLib;
using kit_loopback::CLoopbackServer;
using kit_test::PumpFor;
using kit_test::PumpUntil;

namespace {

constexpr DWORD kWaitMs = 15000;
const wchar_t kLoopback[] = L"127.0.0.1";

class CWinsockEnvironment : public testing::Environment {
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
    }
    void TearDown() override { WSACleanup(); }
};
testing::Environment* const g_winsock = testing::AddGlobalTestEnvironment(new CWinsockEnvironment);

std::string Packet(int16_t type, uint8_t flags, const std::string& payload, uint8_t headerLength = 8) {
    std::string bytes(headerLength, '\0');
    const uint16_t length = static_cast<uint16_t>(headerLength + payload.size());
    std::memcpy(&bytes[0], &length, 2);
    std::memcpy(&bytes[2], &type, 2);
    bytes[5] = static_cast<char>(flags);
    bytes[7] = static_cast<char>(headerLength);
    return bytes + payload;
}

uint16_t LengthOf(const std::string& packet) {
    uint16_t length;
    std::memcpy(&length, packet.data(), 2);
    return length;
}

std::string PayloadOf(const std::string& packet) {
    return packet.substr(static_cast<uint8_t>(packet[7]));
}

std::string Encoded(const std::string& packet) {
    std::vector<char> buffer(PACKET_MAX_DECODED);
    std::memcpy(buffer.data(), packet.data(), packet.size());
    CClientSocket codec;
    codec.EncodePacket(reinterpret_cast<PacketHeader*>(buffer.data()));
    return std::string(buffer.data(), LengthOf(std::string(buffer.data(), 2)));
}

std::string Text(size_t size) {
    std::string text;
    while (text.size() < size) text += "seat 3 joined table 17; ";
    text.resize(size);
    return text;
}

uint32_t U32At(const std::string& bytes, size_t offset) {
    uint32_t value;
    std::memcpy(&value, bytes.data() + offset, 4);
    return value;
}

// The hidden socket windows of this process (other test programs may run
// at the same time on the same desktop).
std::vector<HWND> HiddenWindows() {
    std::vector<HWND> windows;
    HWND window = nullptr;
    while ((window = FindWindowExW(nullptr, window, L"ClientSocketWnd", L"UX:70413952")) != nullptr) {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process == GetCurrentProcessId()) windows.push_back(window);
    }
    return windows;
}

HWND HiddenWindow() {
    const std::vector<HWND> windows = HiddenWindows();
    return windows.empty() ? nullptr : windows[0];
}

// Waits, without dispatching messages, until the kernel holds at least
// `bytes` unread bytes for `s`: the next recv then takes them all at once.
bool WaitUnread(SOCKET s, u_long bytes) {
    const DWORD start = GetTickCount();
    for (;;) {
        u_long unread = 0;
        if (ioctlsocket(s, FIONREAD, &unread) == 0 && unread >= bytes) return true;
        if (GetTickCount() - start > kWaitMs) return false;
        Sleep(5);
    }
}

// Waits, without dispatching, until the hidden window's first queued socket
// event is one for `s`.
bool WaitQueuedEvent(SOCKET s) {
    const DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        if (PeekMessageW(&msg, HiddenWindow(), WM_SOCKET_EVENT, WM_SOCKET_EVENT, PM_NOREMOVE) &&
            static_cast<SOCKET>(msg.wParam) == s) {
            return true;
        }
        if (GetTickCount() - start > kWaitMs) return false;
        Sleep(5);
    }
}

bool IsOpenSocket(SOCKET s) {
    int type = 0;
    int size = sizeof type;
    return getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &size) == 0;
}

class CRecordingSink : public IClientSocketSink {
public:
    void OnSocketPacket(CClientSocket* socket, PacketHeader* packet) override {
        packets_.emplace_back(reinterpret_cast<const char*>(packet), packet->length);
        log_ += "packet;";
        if (onPacket_) onPacket_(socket);
    }
    void OnSocketConnect(CClientSocket*, bool success) override {
        connectError_ = GetLastError();
        ++connects_;
        connectSuccess_ = success;
        log_ += "connect;";
    }
    void OnSocketClose(CClientSocket*, int error) override {
        ++closes_;
        closeError_ = error;
        log_ += "close;";
    }
    void OnSocketWrite(CClientSocket*, int) override { ++writes_; }

    std::vector<std::string> packets_;
    std::string log_;
    int connects_ = 0;
    bool connectSuccess_ = true;
    DWORD connectError_ = 0xdeadbeef;
    int closes_ = 0;
    int closeError_ = static_cast<int>(0xdeadbeef);
    int writes_ = 0;
    std::function<void(CClientSocket*)> onPacket_;
};

// Counts the virtual operations the window dispatches and exposes the
// receive state.
class CProbeSocket : public CClientSocket {
public:
    explicit CProbeSocket(IClientSocketSink* sink = nullptr) { SetHandler(sink); }
    uint32_t Buffered() const { return recvLength; }
    // Keeps the object in state 2 when the connect result comes.
    void HoldConnect() { holdConnect_ = true; }
    bool ConnectHeld() const { return held_; }
    void ReleaseConnect() {
        holdConnect_ = false;
        CClientSocket::OnConnect(heldSuccess_);
    }

    int events_ = 0;  // OnConnect, OnRead, OnWrite and OnClose calls
    int reads_ = 0;
    int timers_ = 0;
    std::vector<int> readOfPacket_;  // the OnRead call that delivered each packet
    std::function<void()> onTimer_;

protected:
    void OnConnect(bool success) override {
        ++events_;
        if (holdConnect_) {
            held_ = true;
            heldSuccess_ = success;
            return;
        }
        CClientSocket::OnConnect(success);
    }
    void OnRead(int error) override {
        ++events_;
        ++reads_;
        CClientSocket::OnRead(error);
    }
    void OnWrite(int error) override {
        ++events_;
        CClientSocket::OnWrite(error);
    }
    void OnClose(int error) override {
        ++events_;
        CClientSocket::OnClose(error);
    }
    void OnPacket(PacketHeader* packet) override {
        readOfPacket_.push_back(reads_);
        CClientSocket::OnPacket(packet);
    }
    void OnTimer() override {
        ++timers_;
        if (onTimer_) onTimer_();
        CClientSocket::OnTimer();
    }

private:
    bool holdConnect_ = false;
    bool held_ = false;
    bool heldSuccess_ = false;
};

class ClientSocketTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server_.Start()); }

    void ConnectToServer(CProbeSocket& client) { ConnectTo(client, server_); }

    static void ConnectTo(CProbeSocket& client, CLoopbackServer& to) {
        ASSERT_TRUE(client.Create());
        const int accepted = to.Connections();
        ASSERT_TRUE(client.Connect(to.Port(), kLoopback));
        ASSERT_TRUE(PumpUntil(
            [&] {
                return client.GetState() == CClientSocket::STATE_CONNECTED && to.Connections() > accepted;
            },
            kWaitMs))
            << "state " << client.GetState() << ", accepted " << to.Connections();
    }

    // Sends `bytes` and waits until the client's kernel holds all of them.
    void SendAtOnce(CProbeSocket& client, const std::string& bytes) {
        ASSERT_TRUE(server_.Send(bytes));
        ASSERT_TRUE(WaitUnread(client.GetSocket(), static_cast<u_long>(bytes.size())));
    }

    CLoopbackServer server_;
    CRecordingSink sink_;
};

}  // namespace

TEST_F(ClientSocketTest, ConnectReachesConnectedStateAndCarriesData) {
    CProbeSocket client(&sink_);
    EXPECT_FALSE(client.Connect(server_.Port(), kLoopback)) << "connect without a socket";
    EXPECT_EQ(CClientSocket::STATE_NONE, client.GetState());

    ASSERT_TRUE(client.Create());
    EXPECT_EQ(CClientSocket::STATE_CREATED, client.GetState());
    ASSERT_TRUE(client.Connect(server_.Port(), kLoopback));
    EXPECT_EQ(CClientSocket::STATE_CONNECTING, client.GetState());
    ASSERT_TRUE(
        PumpUntil([&] { return sink_.connects_ > 0 && sink_.writes_ > 0 && server_.Connections() > 0; }, kWaitMs))
        << "connects " << sink_.connects_ << ", writes " << sink_.writes_ << ", accepted "
        << server_.Connections();
    EXPECT_EQ(1, sink_.connects_);
    EXPECT_TRUE(sink_.connectSuccess_);
    EXPECT_EQ(CClientSocket::STATE_CONNECTED, client.GetState());
    EXPECT_EQ(0u, client.GetRoundTripTime());

    const SOCKET open = client.GetSocket();
    EXPECT_FALSE(client.Create()) << "a second Create on an open socket";
    EXPECT_EQ(open, client.GetSocket());
    EXPECT_EQ(CClientSocket::STATE_CONNECTED, client.GetState());

    const std::string down = Packet(7, PACKET_FLAG_RAW, "to the client");
    ASSERT_TRUE(server_.Send(down));
    ASSERT_TRUE(PumpUntil([&] { return !sink_.packets_.empty(); }, kWaitMs)) << "sink saw: " << sink_.log_;
    EXPECT_EQ(down, sink_.packets_[0]);
    const std::string up = Encoded(Packet(8, PACKET_FLAG_SCRAMBLED, "to the server"));
    ASSERT_EQ(static_cast<int>(up.size()),
              send(client.GetSocket(), up.data(), static_cast<int>(up.size()), 0));
    ASSERT_TRUE(PumpUntil([&] { return server_.ReceivedSize() >= up.size(); }, kWaitMs))
        << "server received " << server_.ReceivedSize() << " bytes";
    EXPECT_EQ(up, server_.Received().substr(0, up.size()));

    client.Close();
    EXPECT_EQ(CClientSocket::STATE_NONE, client.GetState());
    EXPECT_EQ(INVALID_SOCKET, client.GetSocket());
    EXPECT_TRUE(PumpUntil([&] { return server_.PeerClosed(); }, kWaitMs))
        << "client state " << client.GetState();
    EXPECT_EQ(0, sink_.closes_) << "Close is the owner's own act, not an event";
}

TEST_F(ClientSocketTest, RefusedPortReportsConnectFailureWithItsError) {
    // A port that was free a moment ago and has no listener.
    SOCKET probe = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    ASSERT_EQ(0, bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ASSERT_EQ(0, getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size));
    closesocket(probe);

    CProbeSocket client(&sink_);
    ASSERT_TRUE(client.Create());
    if (client.Connect(ntohs(address.sin_port), kLoopback)) {
        ASSERT_TRUE(PumpUntil([&] { return sink_.connects_ > 0; }, kWaitMs)) << "sink saw: " << sink_.log_;
        EXPECT_FALSE(sink_.connectSuccess_);
        EXPECT_EQ(static_cast<DWORD>(WSAECONNREFUSED), sink_.connectError_);
        EXPECT_EQ(CClientSocket::STATE_CONNECT_FAILED, client.GetState());
    } else {
        EXPECT_EQ(CClientSocket::STATE_CREATED, client.GetState());
    }
}

TEST_F(ClientSocketTest, HostNamesThatCannotBeUsedNeverConnect) {
    // "127.0.0.1" padded with spaces: cut to 31 bytes it would still name
    // the server_, so only a refusal keeps it from connecting.
    const std::wstring padded32 = std::wstring(L"127.0.0.1") + std::wstring(23, L' ');
    const std::wstring chinese16(16, L'\x670D');  // 32 bytes in code page 936
    const struct {
        const char* name;
        std::wstring host;
    } cases[] = {
        {"unresolvable", L"no-such-host.invalid"},
        {"32 characters", padded32},
        {"32 bytes in the ANSI code page", chinese16},
        {"empty", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CRecordingSink caseSink;
        CProbeSocket client(&caseSink);
        ASSERT_TRUE(client.Create());
        if (client.Connect(server_.Port(), c.host.c_str())) {
            ASSERT_TRUE(PumpUntil([&] { return caseSink.connects_ > 0; }, kWaitMs))
                << "sink saw: " << caseSink.log_;
            EXPECT_FALSE(caseSink.connectSuccess_);
        } else {
            EXPECT_EQ(CClientSocket::STATE_CREATED, client.GetState());
        }
        PumpFor(100);
        EXPECT_EQ(0, server_.Connections());
    }
    EXPECT_FALSE(CProbeSocket().Connect(server_.Port(), nullptr));
}

TEST_F(ClientSocketTest, HostNameOf31CharactersStillConnects) {
    const std::wstring padded31 = std::wstring(L"127.0.0.1") + std::wstring(22, L' ');
    CProbeSocket client(&sink_);
    ASSERT_TRUE(client.Create());
    ASSERT_TRUE(client.Connect(server_.Port(), padded31.c_str()));
    EXPECT_TRUE(PumpUntil([&] { return sink_.connects_ > 0; }, kWaitMs)) << "sink saw: " << sink_.log_;
    EXPECT_TRUE(sink_.connectSuccess_);
}

TEST_F(ClientSocketTest, TwoPacketsInOneReadAreDeliveredInOrderByThatRead) {
    CProbeSocket client(&sink_);
    ASSERT_NO_FATAL_FAILURE(ConnectToServer(client));
    const std::string first = Packet(1, PACKET_FLAG_RAW, "first");
    const std::string second = Encoded(Packet(2, PACKET_FLAG_SCRAMBLED | PACKET_FLAG_SUBSTITUTED, "second"));
    ASSERT_NO_FATAL_FAILURE(SendAtOnce(client, first + second));
    ASSERT_TRUE(PumpUntil([&] { return sink_.packets_.size() >= 2; }, kWaitMs)) << sink_.packets_.size();
    EXPECT_EQ(first, sink_.packets_[0]);
    EXPECT_EQ(2, reinterpret_cast<const PacketHeader*>(sink_.packets_[1].data())->type);
    EXPECT_EQ("second", PayloadOf(sink_.packets_[1]));
    ASSERT_EQ(2u, client.readOfPacket_.size());
    EXPECT_EQ(client.readOfPacket_[0], client.readOfPacket_[1]) << "the packets came from different reads";
    EXPECT_EQ(0u, client.Buffered());
}

TEST_F(ClientSocketTest, PacketSplitAtAnyOffsetIsDeliveredOnceComplete) {
    CProbeSocket client(&sink_);
    ASSERT_NO_FATAL_FAILURE(ConnectToServer(client));
    const std::string text = Text(600);
    const std::string wire = Encoded(Packet(5, 0x0E, text));
    ASSERT_LT(wire.size(), 100u) << "the text did not compress";
    for (size_t split = 1; split < wire.size(); ++split) {
        SCOPED_TRACE("split at " + std::to_string(split));
        const size_t delivered = sink_.packets_.size();
        ASSERT_TRUE(server_.Send(wire.substr(0, split)));
        ASSERT_TRUE(PumpUntil([&] { return client.Buffered() == split; }, kWaitMs)) << client.Buffered();
        EXPECT_EQ(delivered, sink_.packets_.size()) << "delivered from " << split << " bytes";
        ASSERT_TRUE(server_.Send(wire.substr(split)));
        ASSERT_TRUE(PumpUntil([&] { return sink_.packets_.size() == delivered + 1; }, kWaitMs))
            << "sink saw: " << sink_.log_;
        EXPECT_EQ(8 + text.size(), sink_.packets_.back().size());
        EXPECT_EQ(text, PayloadOf(sink_.packets_.back()));
        EXPECT_EQ(0u, client.Buffered());
    }
}

TEST_F(ClientSocketTest, RawPacketsArriveByteForByteAsSent) {
    CProbeSocket client(&sink_);
    ASSERT_NO_FATAL_FAILURE(ConnectToServer(client));
    std::string payload;
    for (int i = 0; i < 20000; ++i) payload += static_cast<char>(i * 7);
    // Flags that decoding would act on, a key and a reserved byte: all left alone.
    std::string small = Packet(11, PACKET_FLAG_RAW | 0x4E, payload.substr(0, 300));
    small[4] = '\x5A';
    small[6] = '\x77';
    const std::string large = Packet(12, PACKET_FLAG_RAW, payload);
    ASSERT_TRUE(server_.Send(small + large));
    ASSERT_TRUE(PumpUntil([&] { return sink_.packets_.size() >= 2; }, kWaitMs)) << sink_.packets_.size();
    EXPECT_EQ(small, sink_.packets_[0]);
    EXPECT_EQ(large, sink_.packets_[1]) << "a raw packet beyond the decoding limit is still delivered";
}

TEST_F(ClientSocketTest, EncodedPacketIsDecodedBeforeDelivery) {
    CProbeSocket client(&sink_);
    ASSERT_NO_FATAL_FAILURE(ConnectToServer(client));
    const std::string text = Text(8000);
    const std::string wire = Encoded(Packet(21, 0x0E, text));
    ASSERT_LT(wire.size(), 1000u);
    ASSERT_TRUE(server_.Send(wire));
    ASSERT_TRUE(PumpUntil([&] { return !sink_.packets_.empty(); }, kWaitMs)) << "sink saw: " << sink_.log_;
    const std::string& got = sink_.packets_[0];
    EXPECT_EQ(8 + text.size(), LengthOf(got));
    EXPECT_EQ(0x0E, static_cast<uint8_t>(got[5]));
    EXPECT_EQ(text, PayloadOf(got));
}

TEST_F(ClientSocketTest, InvalidPacketsEndTheConnectionWithoutDelivery) {
    std::string lengthZero = Packet(1, 0, "");
    lengthZero[0] = lengthZero[1] = 0;
    std::string lengthFour = Packet(1, 0, "");
    lengthFour[0] = 4;
    std::string shorterThanHeader = Packet(1, 0xC0, std::string(12, 'h'), 20);
    shorterThanHeader[0] = 12;  // the 20-byte header does not fit in 12 bytes
    std::string headerInsideHeader = Encoded(Packet(1, PACKET_FLAG_SCRAMBLED, std::string(20, 'i')));
    headerInsideHeader[7] = 2;
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"length 0", lengthZero},
        {"length 4", lengthFour},
        {"length below the header length", shorterThanHeader},
        {"payload starting inside the header", headerInsideHeader},
        {"encoded, 9000 bytes after decoding", Packet(1, PACKET_FLAG_ENCODED, std::string(8992, 'd'))},
        {"not encoded, 9000 bytes", Packet(1, 0, std::string(8992, 'n'))},
        {"compressed payload that is not zlib", Packet(1, 0x48, "not zlib data at all")},
    };
    const std::string valid = Packet(9, PACKET_FLAG_RAW, "before the bad one");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CRecordingSink caseSink;
        CProbeSocket client(&caseSink);
        ASSERT_NO_FATAL_FAILURE(ConnectToServer(client));
        ASSERT_TRUE(server_.Send(valid + c.bytes + valid));
        ASSERT_TRUE(PumpUntil([&] { return caseSink.closes_ > 0; }, kWaitMs)) << "sink saw: " << caseSink.log_;
        EXPECT_EQ(WSAECONNABORTED, caseSink.closeError_);
        EXPECT_EQ(CClientSocket::STATE_CLOSED, client.GetState());
        ASSERT_EQ(1u, caseSink.packets_.size()) << "only the packet before the bad one";
        EXPECT_EQ(valid, caseSink.packets_[0]);
        // Nothing arriving after the broken packet is delivered either.
        ASSERT_TRUE(server_.Send(valid));
        PumpFor(200);
        EXPECT_EQ(1u, caseSink.packets_.size());
        EXPECT_EQ(1, caseSink.closes_);
    }
}

TEST_F(ClientSocketTest, ReadThatFillsTheWholeHalfKeepsTheSocketReading) {
    CProbeSocket client(&sink_);
    ASSERT_NO_FATAL_FAILURE(ConnectToServer(client));
    const std::string a = Packet(1, PACKET_FLAG_RAW, std::string(60000, 'a'));
    const std::string b = Packet(2, PACKET_FLAG_RAW, std::string(10000, 'b'));
    const std::string c = Packet(3, PACKET_FLAG_RAW, std::string(100, 'c'));
    ASSERT_TRUE(server_.Send(a + b + c));
    // With 64 KB waiting, the first recv fills the empty half exactly.
    ASSERT_TRUE(WaitUnread(client.GetSocket(), 65536));
    ASSERT_TRUE(PumpUntil([&] { return sink_.packets_.size() >= 3; }, kWaitMs)) << sink_.packets_.size();
    EXPECT_EQ(a, sink_.packets_[0]);
    EXPECT_EQ(b, sink_.packets_[1]);
    EXPECT_EQ(c, sink_.packets_[2]);
    // And later data still arrives.
    ASSERT_TRUE(server_.Send(c));
    EXPECT_TRUE(PumpUntil([&] { return sink_.packets_.size() >= 4; }, kWaitMs)) << sink_.packets_.size();
}

TEST_F(ClientSocketTest, PeerCloseIsReportedOnceAfterTheDataBeforeIt) {
    CProbeSocket client(&sink_);
    ASSERT_NO_FATAL_FAILURE(ConnectToServer(client));
    const std::string last = Packet(4, PACKET_FLAG_RAW, "last words");
    ASSERT_TRUE(server_.Send(last));
    server_.CloseConnection();
    ASSERT_TRUE(PumpUntil([&] { return sink_.closes_ > 0; }, kWaitMs)) << "sink saw: " << sink_.log_;
    PumpFor(300);
    EXPECT_EQ("connect;packet;close;", sink_.log_);
    EXPECT_EQ(0, sink_.closeError_);
    EXPECT_EQ(CClientSocket::STATE_CLOSED, client.GetState());
    EXPECT_NE(INVALID_SOCKET, client.GetSocket()) << "the socket stays until the owner closes it";
    client.Close();
    EXPECT_EQ(CClientSocket::STATE_NONE, client.GetState());
}

TEST_F(ClientSocketTest, ReadNotificationWithNothingToReadIsNotAClose) {
    CProbeSocket client(&sink_);
    ASSERT_NO_FATAL_FAILURE(ConnectToServer(client));
    const int reads = client.reads_;
    ASSERT_TRUE(PostMessageW(HiddenWindow(), WM_SOCKET_EVENT, static_cast<WPARAM>(client.GetSocket()),
                             WSAMAKESELECTREPLY(FD_READ, 0)));
    ASSERT_TRUE(PumpUntil([&] { return client.reads_ > reads; }, kWaitMs)) << "reads " << client.reads_;
    PumpFor(100);
    EXPECT_EQ(0, sink_.closes_);
    EXPECT_EQ(CClientSocket::STATE_CONNECTED, client.GetState());
    const std::string after = Packet(6, PACKET_FLAG_RAW, "still reading");
    ASSERT_TRUE(server_.Send(after));
    ASSERT_TRUE(PumpUntil([&] { return !sink_.packets_.empty(); }, kWaitMs)) << "sink saw: " << sink_.log_;
    EXPECT_EQ(after, sink_.packets_[0]);
}

TEST_F(ClientSocketTest, CloseFromInsideTheSinkStopsFurtherDelivery) {
    CProbeSocket client(&sink_);
    ASSERT_NO_FATAL_FAILURE(ConnectToServer(client));
    sink_.onPacket_ = [](CClientSocket* socket) { socket->Close(); };
    ASSERT_NO_FATAL_FAILURE(
        SendAtOnce(client, Packet(1, PACKET_FLAG_RAW, "one") + Packet(2, PACKET_FLAG_RAW, "two")));
    ASSERT_TRUE(PumpUntil([&] { return !sink_.packets_.empty(); }, kWaitMs)) << "sink saw: " << sink_.log_;
    PumpFor(200);
    EXPECT_EQ(1u, sink_.packets_.size());
    EXPECT_EQ(CClientSocket::STATE_NONE, client.GetState());
    EXPECT_TRUE(PumpUntil([&] { return server_.PeerClosed(); }, kWaitMs))
        << "client state " << client.GetState();
}

TEST_F(ClientSocketTest, NewConnectionDoesNotSeeBytesLeftFromTheOldOne) {
    CProbeSocket client(&sink_);
    ASSERT_NO_FATAL_FAILURE(ConnectToServer(client));
    const std::string stale = Packet(1, PACKET_FLAG_RAW, "never completed");
    ASSERT_TRUE(server_.Send(stale.substr(0, 5)));
    ASSERT_TRUE(PumpUntil([&] { return client.Buffered() == 5; }, kWaitMs))
        << "buffered " << client.Buffered();
    client.Close();
    ASSERT_NO_FATAL_FAILURE(ConnectToServer(client));
    const std::string fresh = Packet(2, PACKET_FLAG_RAW, "new connection");
    ASSERT_TRUE(server_.Send(fresh));
    ASSERT_TRUE(PumpUntil([&] { return !sink_.packets_.empty(); }, kWaitMs)) << "sink saw: " << sink_.log_;
    EXPECT_EQ(fresh, sink_.packets_[0]);
}

TEST_F(ClientSocketTest, PingEchoSetsRoundTripTimeAndIsNotDelivered) {
    // Echoes the first ping as if it had been sent five seconds earlier.
    CLoopbackServer echoServer;
    ASSERT_TRUE(
        echoServer.Start([echoed = false](CLoopbackServer& self, int, const std::string& received) mutable {
            if (echoed || received.size() < 16) return;
            std::string echo = received.substr(0, 16);
            const uint32_t earlier = U32At(echo, 8) - 5000;
            std::memcpy(&echo[8], &earlier, 4);
            echoed = self.Send(echo);
        }));
    CProbeSocket client(&sink_);
    const DWORD before = GetTickCount();
    ASSERT_NO_FATAL_FAILURE(ConnectTo(client, echoServer));
    ASSERT_TRUE(PumpUntil([&] { return client.GetRoundTripTime() != 0; }, kWaitMs))
        << "server received " << echoServer.ReceivedSize() << " bytes";
    const uint32_t roundTrip = client.GetRoundTripTime();
    EXPECT_GE(roundTrip, 5000u);
    EXPECT_LT(roundTrip, 5000u + 2 * kWaitMs);
    EXPECT_TRUE(sink_.packets_.empty()) << "the echo reached the sink";

    const std::string ping = echoServer.Received().substr(0, 16);
    EXPECT_EQ(16, LengthOf(ping));
    EXPECT_EQ(-1, reinterpret_cast<const PacketHeader*>(ping.data())->type);
    EXPECT_EQ(PACKET_FLAG_ENCODED, static_cast<uint8_t>(ping[5]));
    EXPECT_EQ(8, ping[7]);
    const uint32_t sentAt = U32At(ping, 8);
    EXPECT_LE(sentAt - before, GetTickCount() - before) << "ping time stamp " << sentAt;
    EXPECT_EQ(0u, U32At(ping, 12)) << "the first ping carries no measurement";

    // Later pings carry the measured time.
    const size_t seen = echoServer.ReceivedSize();
    ASSERT_TRUE(PumpUntil([&] { return echoServer.ReceivedSize() >= seen + 16; }, kWaitMs))
        << "server received " << echoServer.ReceivedSize() << " bytes";
    const std::string received = echoServer.Received();
    EXPECT_EQ(roundTrip, U32At(received, received.size() / 16 * 16 - 4));
}

TEST_F(ClientSocketTest, NoPingIsSentBeforeTheConnectionIsEstablished) {
    CProbeSocket client(&sink_);
    client.HoldConnect();
    ASSERT_TRUE(client.Create());
    ASSERT_TRUE(client.Connect(server_.Port(), kLoopback));
    ASSERT_TRUE(PumpUntil([&] { return client.ConnectHeld(); }, kWaitMs)) << "state " << client.GetState();
    const int timers = client.timers_;
    ASSERT_TRUE(PumpUntil([&] { return client.timers_ >= timers + 2; }, kWaitMs))
        << "timer calls " << client.timers_;
    EXPECT_EQ(CClientSocket::STATE_CONNECTING, client.GetState());
    EXPECT_EQ(0u, server_.ReceivedSize());

    client.ReleaseConnect();
    EXPECT_EQ(CClientSocket::STATE_CONNECTED, client.GetState());
    EXPECT_TRUE(PumpUntil([&] { return server_.ReceivedSize() >= 16; }, kWaitMs))
        << "server received " << server_.ReceivedSize() << " bytes";
}

TEST(ClientSocketWindow, SocketsShareOneWindowThatGoesWithTheLastOfThem) {
    EXPECT_EQ(nullptr, HiddenWindow());
    auto first = std::make_unique<CProbeSocket>();
    auto second = std::make_unique<CProbeSocket>();
    EXPECT_EQ(nullptr, HiddenWindow()) << "made before any Create";
    ASSERT_TRUE(first->Create());
    const HWND window = HiddenWindow();
    ASSERT_NE(nullptr, window);
    wchar_t className[64] = L"poison";
    GetClassNameW(window, className, 64);
    EXPECT_STREQ(L"ClientSocketWnd", className);
    ASSERT_TRUE(second->Create());
    EXPECT_EQ(window, HiddenWindow());
    EXPECT_EQ(1u, HiddenWindows().size());

    // Both sockets are walked by the one timer.
    ASSERT_TRUE(PumpUntil([&] { return first->timers_ > 0 && second->timers_ > 0; }, kWaitMs))
        << "timer calls " << first->timers_ << ", " << second->timers_;

    first.reset();
    EXPECT_TRUE(IsWindow(window));
    second.reset();
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(nullptr, HiddenWindow());

    CProbeSocket third;
    ASSERT_TRUE(third.Create());
    EXPECT_NE(nullptr, HiddenWindow()) << "a later Create makes a new window";
}

TEST(ClientSocketWindow, ObjectDestroyedDuringTheTimerWalkIsNotCalled) {
    auto first = std::make_unique<CProbeSocket>();
    auto second = std::make_unique<CProbeSocket>();
    auto third = std::make_unique<CProbeSocket>();
    ASSERT_TRUE(first->Create());
    int secondTimers = 0;
    second->onTimer_ = [&] { ++secondTimers; };
    first->onTimer_ = [&] { second.reset(); };
    ASSERT_TRUE(PumpUntil([&] { return third->timers_ >= 2; }, kWaitMs)) << "timer calls " << third->timers_;
    EXPECT_EQ(nullptr, second);
    EXPECT_EQ(0, secondTimers);
}

TEST_F(ClientSocketTest, CloseSocketRunsLaterFromTheMessageLoopOrTheLastDestructor) {
    auto keeper = std::make_unique<CProbeSocket>();
    ASSERT_TRUE(keeper->Create());
    CProbeSocket client(&sink_);
    ASSERT_NO_FATAL_FAILURE(ConnectToServer(client));
    const SOCKET closed = client.GetSocket();
    client.Close();
    EXPECT_TRUE(IsOpenSocket(closed)) << "closed inside Close";
    EXPECT_TRUE(PumpUntil([&] { return !IsOpenSocket(closed); }, kWaitMs))
        << "the deferred closesocket never ran";

    const SOCKET last = keeper->GetSocket();
    keeper->Close();
    ASSERT_TRUE(IsOpenSocket(last));
    keeper.reset();
    EXPECT_FALSE(IsOpenSocket(last)) << "the last destructor left a deferred close undone";
}

TEST_F(ClientSocketTest, EventsForAClosedSocketAreIgnored) {
    CProbeSocket keeper;
    ASSERT_TRUE(keeper.Create());
    CProbeSocket client(&sink_);
    ASSERT_NO_FATAL_FAILURE(ConnectToServer(client));
    const SOCKET handle = client.GetSocket();
    ASSERT_TRUE(server_.Send(Packet(1, PACKET_FLAG_RAW, "queued, then closed")));
    ASSERT_TRUE(WaitQueuedEvent(handle));
    client.Close();
    const int events = client.events_;
    ASSERT_TRUE(PostMessageW(HiddenWindow(), WM_SOCKET_EVENT, static_cast<WPARAM>(handle),
                             WSAMAKESELECTREPLY(FD_READ, 0)));
    ASSERT_TRUE(PostMessageW(HiddenWindow(), WM_SOCKET_EVENT, static_cast<WPARAM>(handle),
                             WSAMAKESELECTREPLY(FD_CLOSE, 0)));
    PumpFor(300);
    EXPECT_EQ(events, client.events_);
    EXPECT_TRUE(sink_.packets_.empty());
    EXPECT_EQ(0, sink_.closes_);
}

TEST_F(ClientSocketTest, QuitFoundWhileClosingIsPostedAgain) {
    CProbeSocket keeper;
    ASSERT_TRUE(keeper.Create());
    CProbeSocket client(&sink_);
    ASSERT_NO_FATAL_FAILURE(ConnectToServer(client));
    ASSERT_TRUE(server_.Send(Packet(1, PACKET_FLAG_RAW, "pending")));
    ASSERT_TRUE(WaitQueuedEvent(client.GetSocket()));
    PostQuitMessage(42);
    client.Close();

    MSG msg = {};
    bool quit = false;
    while (!quit && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) quit = msg.message == WM_QUIT;
    EXPECT_TRUE(quit) << "the application's loop would never end";
    EXPECT_EQ(42u, msg.wParam);
}
