#include "ScriptedHttpServer.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace kit_http {

namespace {

// Every blocking wait polls at this period so that Stop() is seen quickly.
constexpr long kPollMs = 50;

enum class Ready { Yes, Timeout, Failed };

Ready WaitSocket(SOCKET s, bool forWrite) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv{0, kPollMs * 1000};
    const int n = forWrite ? select(0, nullptr, &set, nullptr, &tv) : select(0, &set, nullptr, nullptr, &tv);
    if (n == SOCKET_ERROR) return Ready::Failed;
    return n > 0 ? Ready::Yes : Ready::Timeout;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Content-Length of a request head, 0 when it has none.
size_t RequestBodyLength(const std::string& head) {
    const std::string lower = Lower(head);
    const size_t at = lower.find("\r\ncontent-length:");
    if (at == std::string::npos) return 0;
    return std::strtoul(head.c_str() + at + 17, nullptr, 10);
}

// Built per use: a static copy would outlive a test's heap accounting.
CResponse NotFound() {
    return CResponse()
        .Send(CResponse::Head(404, "Not Found", "Content-Length: 0\r\nConnection: close\r\n"))
        .Close();
}

}  // namespace

CResponse& CResponse::Send(std::string bytes) {
    const uint64_t total = bytes.size();
    steps_.push_back({tagStep::Kind::Send, std::move(bytes), 0, total});
    return *this;
}

CResponse& CResponse::SendSplit(const std::string& bytes, const std::vector<size_t>& cuts, unsigned pauseMs) {
    size_t from = 0;
    for (size_t cut : cuts) {
        if (cut <= from || cut >= bytes.size()) continue;
        Send(bytes.substr(from, cut - from));
        Delay(pauseMs);
        from = cut;
    }
    return Send(bytes.substr(from));
}

CResponse& CResponse::SendEachByte(const std::string& bytes, unsigned pauseMs) {
    for (char c : bytes) {
        Send(std::string(1, c));
        Delay(pauseMs);
    }
    return *this;
}

CResponse& CResponse::SendRepeated(const std::string& pattern, uint64_t total) {
    steps_.push_back({tagStep::Kind::Send, pattern, 0, pattern.empty() ? 0 : total});
    return *this;
}

CResponse& CResponse::Delay(unsigned ms) {
    steps_.push_back({tagStep::Kind::Delay, std::string(), ms, 0});
    return *this;
}

CResponse& CResponse::Close() {
    steps_.push_back({tagStep::Kind::Close, std::string(), 0, 0});
    return *this;
}

std::string CResponse::Head(int status, const std::string& reason, const std::string& headers) {
    return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n" + headers + "\r\n";
}

CResponse CResponse::Ok(const std::string& body, bool keepAlive, const std::string& headers) {
    CResponse answer;
    answer.Send(Head(200, "OK",
                     "Content-Length: " + std::to_string(body.size()) +
                         "\r\nConnection: " + (keepAlive ? "keep-alive" : "close") + "\r\n" + headers) +
                body);
    if (!keepAlive) answer.Close();
    return answer;
}

std::string CResponse::Chunked(const std::string& body, size_t chunkSize) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (size_t at = 0; at < body.size(); at += chunkSize) {
        const size_t n = std::min(chunkSize, body.size() - at);
        std::string size;
        for (size_t v = n; v; v >>= 4) size.insert(size.begin(), kHex[v & 15]);
        out += size + "\r\n" + body.substr(at, n) + "\r\n";
    }
    return out + "0\r\n\r\n";
}

CScriptedHttpServer::CScriptedHttpServer() = default;

CScriptedHttpServer::~CScriptedHttpServer() {
    Stop();
}

bool CScriptedHttpServer::Start(uint16_t port) {
    if (listener_) return false;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    winsock_ = true;
    listener_.Reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    if (!listener_ || bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener_.Get(), SOMAXCONN) != 0 ||
        getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        Stop();
        return false;
    }
    port_ = ntohs(address.sin_port);
    stopping_ = false;
    acceptThread_ = std::thread(&CScriptedHttpServer::AcceptLoop, this);
    return true;
}

void CScriptedHttpServer::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    if (acceptThread_.joinable()) acceptThread_.join();
    // Workers see stopping_ within one poll period; none is added any more.
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
    listener_.Reset();
    if (winsock_) WSACleanup();
    winsock_ = false;
}

std::string CScriptedHttpServer::BaseUrl() const {
    return "http://127.0.0.1:" + std::to_string(port_);
}

void CScriptedHttpServer::Route(const std::string& target, const CResponse& response) {
    std::lock_guard<std::mutex> lock(mutex_);
    routes_[target] = response;
}

void CScriptedHttpServer::Enqueue(const CResponse& response) {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(response);
}

void CScriptedHttpServer::PauseBeforeReading(unsigned ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    readPauseMs_ = ms;
}

int CScriptedHttpServer::Connections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
}

int CScriptedHttpServer::ConnectionsClosedByClient() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closedByClient_;
}

std::vector<tagRequest> CScriptedHttpServer::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

bool CScriptedHttpServer::WaitForRequests(size_t count, unsigned timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return requests_.size() >= count; });
}

bool CScriptedHttpServer::WaitForQueueServed(unsigned timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return queue_.empty() && answersInFlight_ == 0; });
}

void CScriptedHttpServer::AcceptLoop() {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
        }
        const Ready ready = WaitSocket(listener_.Get(), false);
        if (ready == Ready::Failed) return;
        if (ready == Ready::Timeout) continue;
        kit::CSocketHandle connection(accept(listener_.Get(), nullptr, nullptr));
        if (!connection) continue;
        u_long nonBlocking = 1;
        ioctlsocket(connection.Get(), FIONBIO, &nonBlocking);
        BOOL noDelay = TRUE;
        setsockopt(connection.Get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                   sizeof(noDelay));
        std::lock_guard<std::mutex> lock(mutex_);
        const int index = ++connections_;
        workers_.emplace_back(&CScriptedHttpServer::Serve, this, std::move(connection), index);
        changed_.notify_all();
    }
}

void CScriptedHttpServer::Serve(kit::CSocketHandle connection, int index) {
    unsigned pause = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        pause = readPauseMs_;
    }
    Pause(pause);
    std::string pending;
    for (;;) {
        tagRequest request;
        request.connection = index;
        if (!ReadRequest(connection.Get(), pending, request)) return;
        CResponse answer;
        bool queued = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const auto route = routes_.find(request.target);
            if (route != routes_.end()) {
                answer = route->second;
            } else if (!queue_.empty()) {
                answer = std::move(queue_.front());
                queue_.pop_front();
                queued = true;
                ++answersInFlight_;
            } else {
                answer = NotFound();
            }
            requests_.push_back(std::move(request));
            changed_.notify_all();
        }
        const bool open = Play(connection, answer);
        if (queued) {
            std::lock_guard<std::mutex> lock(mutex_);
            --answersInFlight_;
            changed_.notify_all();
        }
        if (!open) return;
    }
}

bool CScriptedHttpServer::ReadRequest(SOCKET connection, std::string& pending, tagRequest& request) {
    size_t headEnd = std::string::npos;
    size_t needed = 0;
    char buffer[16384];
    for (;;) {
        if (headEnd == std::string::npos) {
            headEnd = pending.find("\r\n\r\n");
            if (headEnd != std::string::npos)
                needed = headEnd + 4 + RequestBodyLength(pending.substr(0, headEnd));
        }
        if (headEnd != std::string::npos && pending.size() >= needed) break;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return false;
        }
        const Ready ready = WaitSocket(connection, false);
        if (ready == Ready::Failed) return false;
        if (ready == Ready::Timeout) continue;
        const int n = recv(connection, buffer, sizeof(buffer), 0);
        if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) continue;
        if (n <= 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            ++closedByClient_;
            changed_.notify_all();
            return false;
        }
        pending.append(buffer, n);
    }
    request.raw = pending.substr(0, needed);
    request.body = pending.substr(headEnd + 4, needed - headEnd - 4);
    pending.erase(0, needed);
    const size_t lineEnd = request.raw.find("\r\n");
    const std::string line = request.raw.substr(0, lineEnd);
    const size_t first = line.find(' ');
    const size_t second = line.find(' ', first + 1);
    request.method = line.substr(0, first);
    if (first != std::string::npos) request.target = line.substr(first + 1, second - first - 1);
    return true;
}

// Runs the steps; false when the connection was closed (by the script, by
// the client or by Stop) and the socket is gone.
bool CScriptedHttpServer::Play(kit::CSocketHandle& connection, const CResponse& response) {
    for (const CResponse::tagStep& step : response.Steps()) {
        switch (step.kind) {
            case CResponse::tagStep::Kind::Send: {
                uint64_t sent = 0;
                while (sent < step.total) {
                    {
                        std::lock_guard<std::mutex> lock(mutex_);
                        if (stopping_) break;
                    }
                    const size_t at = static_cast<size_t>(sent % step.bytes.size());
                    const size_t piece = static_cast<size_t>(
                        std::min<uint64_t>({step.bytes.size() - at, step.total - sent, 1 << 20}));
                    const int n = send(connection.Get(), step.bytes.data() + at, static_cast<int>(piece), 0);
                    if (n > 0) {
                        sent += n;
                    } else if (WSAGetLastError() != WSAEWOULDBLOCK ||
                               WaitSocket(connection.Get(), true) == Ready::Failed) {
                        connection.Reset();
                        return false;
                    }
                }
                break;
            }
            case CResponse::tagStep::Kind::Delay:
                Pause(step.ms);
                break;
            case CResponse::tagStep::Kind::Close:
                shutdown(connection.Get(), SD_SEND);
                connection.Reset();
                return false;
        }
    }
    return true;
}

// Sleeps in short steps so that Stop() is not held up.
void CScriptedHttpServer::Pause(unsigned ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= until) return;
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(until - now, std::chrono::milliseconds(kPollMs)));
    }
}

}  // namespace kit_http
