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
    if (client_ != INVALID_SOCKET) closesocket(client_);
    if (listener_ != INVALID_SOCKET) closesocket(listener_);
    if (winsockStarted_) WSACleanup();
}

bool CLoopbackServer::Start(Responder responder) {
    if (listener_ != INVALID_SOCKET) return false;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    winsockStarted_ = true;

    listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener_ == INVALID_SOCKET) return false;
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, SOMAXCONN) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        return false;
    }
    port_ = ntohs(address.sin_port);
    responder_ = std::move(responder);
    thread_ = std::thread([this] { Run(); });
    return true;
}

bool CLoopbackServer::Send(const void* data, size_t size) {
    std::lock_guard<std::mutex> guard(lock_);
    if (client_ == INVALID_SOCKET) return false;
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
        FD_SET(listener_, &readable);
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (stop_) return;
            if (client_ != INVALID_SOCKET) {
                if (closeRequested_ && outgoing_.empty()) {
                    DropConnection();
                } else {
                    FD_SET(client_, &readable);
                    if (!outgoing_.empty()) FD_SET(client_, &writable);
                }
            }
        }
        timeval wait = {0, 20000};
        if (select(0, &readable, &writable, nullptr, &wait) <= 0) continue;
        if (FD_ISSET(listener_, &readable)) Accept();
        std::unique_lock<std::mutex> guard(lock_);
        if (client_ != INVALID_SOCKET && FD_ISSET(client_, &writable)) {
            const int sent = send(client_, outgoing_.data(), static_cast<int>(outgoing_.size()), 0);
            if (sent > 0) outgoing_.erase(0, static_cast<size_t>(sent));
        }
        if (client_ != INVALID_SOCKET && FD_ISSET(client_, &readable)) {
            guard.unlock();
            ReadFromClient(responder);
        }
    }
}

void CLoopbackServer::Accept() {
    const SOCKET accepted = accept(listener_, nullptr, nullptr);
    if (accepted == INVALID_SOCKET) return;
    u_long nonBlocking = 1;
    ioctlsocket(accepted, FIONBIO, &nonBlocking);
    std::lock_guard<std::mutex> guard(lock_);
    if (client_ != INVALID_SOCKET) DropConnection();
    client_ = accepted;
    ++connections_;
    received_.clear();
    peerClosed_ = false;
}

void CLoopbackServer::ReadFromClient(Responder& responder) {
    char buffer[16384];
    std::unique_lock<std::mutex> guard(lock_);
    const int got = recv(client_, buffer, sizeof buffer, 0);
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
    closesocket(client_);
    client_ = INVALID_SOCKET;
    closeRequested_ = false;
    outgoing_.clear();
}

}  // namespace kit_loopback
