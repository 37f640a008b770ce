// A TCP server on 127.0.0.1 for tests of network clients: it runs on its own
// thread, so the test's thread stays free to pump the client's messages.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "base/UniqueHandle.h"

namespace kit_loopback {

// Accepts one connection at a time (a new one replaces the current one),
// records what arrives and sends what it is given.
class CLoopbackServer {
public:
    // Runs on the server thread after each piece of data, with everything the
    // connection numbered `connection` (1 for the first) has received so far.
    // It may call Send and CloseConnection.
    using Responder =
        std::function<void(CLoopbackServer& server, int connection, const std::string& received)>;

    CLoopbackServer() = default;
    ~CLoopbackServer();
    CLoopbackServer(const CLoopbackServer&) = delete;
    CLoopbackServer& operator=(const CLoopbackServer&) = delete;

    // Listens on an ephemeral port of 127.0.0.1; false when that fails.
    bool Start(Responder responder = nullptr);
    uint16_t Port() const { return port_; }

    // Queues bytes for the current connection; sent in order by the server
    // thread. False when there is no connection.
    bool Send(const void* data, size_t size);
    bool Send(const std::string& data) { return Send(data.data(), data.size()); }
    // Closes the current connection once everything queued is sent.
    void CloseConnection();

    int Connections() const;       // accepted so far
    std::string Received() const;  // everything the current connection received
    size_t ReceivedSize() const;
    bool PeerClosed() const;  // the client ended the current connection

private:
    void Run();
    void Accept();
    void ReadFromClient(Responder& responder);
    void DropConnection();

    mutable std::mutex lock_;
    kit::CSocketHandle listener_;
    kit::CSocketHandle client_;
    uint16_t port_ = 0;
    bool stop_ = false;
    bool closeRequested_ = false;
    bool peerClosed_ = false;
    int connections_ = 0;
    std::string received_;
    std::string outgoing_;
    Responder responder_;
    std::thread thread_;
    bool winsockStarted_ = false;
};

}  // namespace kit_loopback
