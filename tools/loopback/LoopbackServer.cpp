#include "LoopbackServer.h"

#include <ws2tcpip.h>

namespace kit_loopback {

CLoopbackServer::~CLoopbackServer() {
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            stop_ = true;
        }
        thread_.join();
    }
    client_.Reset();
    listener_.Reset();
    if (winsockStarted_) WSACleanup();
}

bool CLoopbackServer::Start(Responder responder) {
    if (listener_) return false;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    winsockStarted_ = true;

    listener_.Reset(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!listener_) return false;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    if (bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_.Get(), SOMAXCONN) != 0 ||
        getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        return false;
    }
    port_ = ntohs(address.sin_port);
    responder_ = std::move(responder);
    thread_ = std::thread([this] { Run(); });
    return true;
}

bool CLoopbackServer::Send(const void* data, size_t size) {
    std::lock_guard<std::mutex> guard(lock_);
    if (!client_) return false;
    outgoing_.append(static_cast<const char*>(data), size);
    return true;
}

void CLoopbackServer::CloseConnection() {
    std::lock_guard<std::mutex> guard(lock_);
    closeRequested_ = true;
}

int CLoopbackServer::Connections() const {
    std::lock_guard<std::mutex> guard(lock_);
    return connections_;
}

std::string CLoopbackServer::Received() const {
    std::lock_guard<std::mutex> guard(lock_);
    return received_;
}

size_t CLoopbackServer::ReceivedSize() const {
    std::lock_guard<std::mutex> guard(lock_);
    return received_.size();
}

bool CLoopbackServer::PeerClosed() const {
    std::lock_guard<std::mutex> guard(lock_);
    return peerClosed_;
}

// Only this thread opens, closes, reads and writes the sockets; the other
// operations just queue work under the lock.
void CLoopbackServer::Run() {
    Responder responder = responder_;
    for (;;) {
        fd_set readable, writable;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        FD_SET(listener_.Get(), &readable);
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (stop_) return;
            if (client_) {
                if (closeRequested_ && outgoing_.empty()) {
                    DropConnection();
                } else {
                    FD_SET(client_.Get(), &readable);
                    if (!outgoing_.empty()) FD_SET(client_.Get(), &writable);
                }
            }
        }
        timeval wait = {0, 20000};
        if (select(0, &readable, &writable, nullptr, &wait) <= 0) continue;
        if (FD_ISSET(listener_.Get(), &readable)) Accept();
        std::unique_lock<std::mutex> guard(lock_);
        if (client_ && FD_ISSET(client_.Get(), &writable)) {
            const int sent = send(client_.Get(), outgoing_.data(), static_cast<int>(outgoing_.size()), 0);
            if (sent > 0) outgoing_.erase(0, static_cast<size_t>(sent));
        }
        if (client_ && FD_ISSET(client_.Get(), &readable)) {
            guard.unlock();
            ReadFromClient(responder);
        }
    }
}

void CLoopbackServer::Accept() {
    kit::CSocketHandle accepted(accept(listener_.Get(), nullptr, nullptr));
    if (!accepted) return;
    u_long nonBlocking = 1;
    ioctlsocket(accepted.Get(), FIONBIO, &nonBlocking);
    std::lock_guard<std::mutex> guard(lock_);
    if (client_) DropConnection();
    client_ = std::move(accepted);
    ++connections_;
    received_.clear();
    peerClosed_ = false;
}

void CLoopbackServer::ReadFromClient(Responder& responder) {
    char buffer[16384];
    std::unique_lock<std::mutex> guard(lock_);
    const int got = recv(client_.Get(), buffer, sizeof buffer, 0);
    if (got == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) return;
    if (got <= 0) {
        peerClosed_ = true;
        DropConnection();
        return;
    }
    received_.append(buffer, static_cast<size_t>(got));
    if (!responder) return;
    const std::string snapshot = received_;
    const int connection = connections_;
    guard.unlock();
    responder(*this, connection, snapshot);
}

// Caller holds the lock. Received() and PeerClosed() keep describing the
// connection just ended until the next one is accepted.
void CLoopbackServer::DropConnection() {
    client_.Reset();
    closeRequested_ = false;
    outgoing_.clear();
}

}  // namespace kit_loopback
