// cutproxy: a test-only TCP proxy for HTTP/1.1 that cuts its clients'
// connections at chosen points of the response stream, so that a client's
// recovery from broken downloads can be tried against a real web server.
//
//   cutproxy --listen PORT --upstream HOST:PORT [--log FILE]
//            [--cut-every BYTES] [--cut-after-percent P | --stall-after-percent P]
//            [--match PREFIX] [--reset]
//
// One thread, poll(), non-blocking sockets, one 256 KiB buffer per
// direction and connection. See README.md ("cutproxy") for the options and
// the log's lines.
#include "HttpFraming.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <string>
#include <vector>

namespace {

using cutproxy::CRequestReader;
using cutproxy::CResponseFramer;
using cutproxy::tagRequest;

constexpr size_t kBufferSize = 256 * 1024;

// Owns a file descriptor.
class CFd {
public:
    CFd() = default;
    explicit CFd(int fd) : fd_(fd) {}
    CFd(const CFd&) = delete;
    CFd& operator=(const CFd&) = delete;
    CFd(CFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    CFd& operator=(CFd&& other) noexcept {
        if (this != &other) {
            Reset();
            fd_ = other.fd_;
            other.fd_ = -1;
        }
        return *this;
    }
    ~CFd() { Reset(); }
    int Get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void Reset() {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

struct tagOptions {
    unsigned listenPort_ = 0;
    std::string upstreamHost_;
    std::string upstreamPort_;
    std::string logPath_;
    uint64_t cutEvery_ = 0;
    double atPercent_ = -1;  // below 0: no percent point
    bool stallAtPercent_ = false;
    std::string match_;
    bool reset_ = false;
};

// Line log, flushed per line; each line starts with the seconds since start.
class CLog {
public:
    bool Open(const std::string& path) {
        file_ = path.empty() ? stdout : std::fopen(path.c_str(), "a");
        return file_ != nullptr;
    }
    void Line(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        std::fprintf(file_, "%.3f ", elapsed);
        va_list args;
        va_start(args, format);
        std::vfprintf(file_, format, args);
        va_end(args);
        std::fputc('\n', file_);
        std::fflush(file_);
    }

private:
    std::FILE* file_ = stdout;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

struct tagTotals {
    uint64_t toClient_ = 0;
    uint64_t fromUpstream_ = 0;
    uint64_t toUpstream_ = 0;
    uint64_t connections_ = 0;
    uint64_t cuts_ = 0;
};

// Bytes read from one side and not yet written to the other.
struct tagBuffer {
    std::vector<char> data_ = std::vector<char>(kBufferSize);
    size_t begin_ = 0;
    size_t end_ = 0;
    bool Empty() const { return begin_ == end_; }
};

enum class Action { kNone, kCut, kStall };

struct tagConnection {
    uint64_t id_ = 0;
    CFd client_;
    CFd upstream_;
    bool connecting_ = true;
    tagBuffer toUpstream_;
    tagBuffer toClient_;
    bool clientEof_ = false;     // the client sent its FIN
    bool upstreamShut_ = false;  // ... and it went on to the server
    bool upstreamEof_ = false;
    CRequestReader requests_;
    CResponseFramer responses_;
    std::list<tagRequest> unanswered_;
    Action afterDrain_ = Action::kNone;  // once toClient is written
    bool stalled_ = false;
    uint64_t toClientBytes_ = 0;
    bool done_ = false;
};

class CProxy {
public:
    CProxy(const tagOptions& options, CLog& log) : options_(options), log_(log) {
        nextCut_ = options.cutEvery_;
    }
    bool Start();
    int Run();

private:
    void Accept();
    void LogTotals(const char* when);
    void Close(tagConnection& connection, const char* reason);
    void Cut(tagConnection& connection, const char* why);
    void ReadClient(tagConnection& connection);
    void ReadUpstream(tagConnection& connection);
    void WriteUpstream(tagConnection& connection);
    void WriteClient(tagConnection& connection);
    void FinishConnect(tagConnection& connection);
    void OnResponseHead(tagConnection& connection);

    const tagOptions& options_;
    CLog& log_;
    CFd listener_;
    CFd signals_;
    sockaddr_storage upstreamAddress_{};
    socklen_t upstreamAddressSize_ = 0;
    std::list<std::unique_ptr<tagConnection>> connections_;
    tagTotals totals_;
    uint64_t nextCut_ = 0;
    bool percentUsed_ = false;
};

bool SetNonBlocking(int fd) {
    const int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool WouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK;
}

bool CProxy::Start() {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int error = getaddrinfo(options_.upstreamHost_.c_str(), options_.upstreamPort_.c_str(), &hints, &found);
    if (error != 0) {
        std::fprintf(stderr, "cutproxy: upstream %s:%s: %s\n", options_.upstreamHost_.c_str(),
                     options_.upstreamPort_.c_str(), gai_strerror(error));
        return false;
    }
    std::memcpy(&upstreamAddress_, found->ai_addr, found->ai_addrlen);
    upstreamAddressSize_ = found->ai_addrlen;
    freeaddrinfo(found);

    listener_ = CFd(socket(AF_INET, SOCK_STREAM, 0));
    const int one = 1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(options_.listenPort_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!listener_ || setsockopt(listener_.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(listener_.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_.Get(), 64) != 0 || !SetNonBlocking(listener_.Get())) {
        std::fprintf(stderr, "cutproxy: listen on 127.0.0.1:%u: %s\n", options_.listenPort_, std::strerror(errno));
        return false;
    }

    // The signals arrive as readable data of a descriptor, so that poll()
    // sees them and none is lost between two polls.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGUSR1);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    signals_ = CFd(signalfd(-1, &mask, SFD_NONBLOCK));
    signal(SIGPIPE, SIG_IGN);
    if (!signals_) {
        std::fprintf(stderr, "cutproxy: signalfd: %s\n", std::strerror(errno));
        return false;
    }
    log_.Line("listening 127.0.0.1:%u upstream %s:%s cut-every %" PRIu64 " %s %g match %s cut-by %s",
              options_.listenPort_, options_.upstreamHost_.c_str(), options_.upstreamPort_.c_str(), options_.cutEvery_,
              options_.stallAtPercent_ ? "stall-after-percent" : "cut-after-percent", options_.atPercent_,
              options_.match_.empty() ? "-" : options_.match_.c_str(), options_.reset_ ? "reset" : "close");
    return true;
}

void CProxy::LogTotals(const char* when) {
    log_.Line("totals %s to-client %" PRIu64 " from-upstream %" PRIu64 " to-upstream %" PRIu64 " connections %" PRIu64
              " cuts %" PRIu64,
              when, totals_.toClient_, totals_.fromUpstream_, totals_.toUpstream_, totals_.connections_, totals_.cuts_);
}

void CProxy::Accept() {
    for (;;) {
        CFd client(accept(listener_.Get(), nullptr, nullptr));
        if (!client) {
            if (!WouldBlock() && errno != EINTR && errno != ECONNABORTED) {
                log_.Line("accept failed: %s", std::strerror(errno));
            }
            return;
        }
        auto connection = std::make_unique<tagConnection>();
        connection->id_ = ++totals_.connections_;
        connection->client_ = std::move(client);
        connection->upstream_ = CFd(socket(upstreamAddress_.ss_family, SOCK_STREAM, 0));
        log_.Line("connect %" PRIu64, connection->id_);
        const int one = 1;
        if (!connection->upstream_ || !SetNonBlocking(connection->client_.Get()) ||
            !SetNonBlocking(connection->upstream_.Get())) {
            Close(*connection, std::strerror(errno));
            continue;
        }
        setsockopt(connection->client_.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        setsockopt(connection->upstream_.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (connect(connection->upstream_.Get(), reinterpret_cast<sockaddr*>(&upstreamAddress_),
                    upstreamAddressSize_) == 0) {
            connection->connecting_ = false;
        } else if (errno != EINPROGRESS) {
            Close(*connection, "upstream connect failed");
            continue;
        }
        connections_.push_back(std::move(connection));
    }
}

void CProxy::Close(tagConnection& connection, const char* reason) {
    if (connection.done_) {
        return;
    }
    log_.Line("close %" PRIu64 " to-client %" PRIu64 " (%s)", connection.id_, connection.toClientBytes_, reason);
    connection.client_.Reset();
    connection.upstream_.Reset();
    connection.done_ = true;
}

void CProxy::Cut(tagConnection& connection, const char* why) {
    ++totals_.cuts_;
    log_.Line("cut %" PRIu64 " after %" PRIu64 " bytes to this client, %" PRIu64 " to all (%s)", connection.id_,
              connection.toClientBytes_, totals_.toClient_, why);
    if (options_.reset_) {
        // A zero linger time makes close() send a reset; what the client
        // has not received yet is lost, as with a real reset.
        const linger abort{1, 0};
        setsockopt(connection.client_.Get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    }
    Close(connection, options_.reset_ ? "cut by reset" : "cut by close");
}

void CProxy::FinishConnect(tagConnection& connection) {
    int error = 0;
    socklen_t size = sizeof error;
    getsockopt(connection.upstream_.Get(), SOL_SOCKET, SO_ERROR, &error, &size);
    if (error != 0) {
        log_.Line("upstream connect %" PRIu64 " failed: %s", connection.id_, std::strerror(error));
        Close(connection, "upstream connect failed");
        return;
    }
    connection.connecting_ = false;
}

void CProxy::ReadClient(tagConnection& connection) {
    tagBuffer& buffer = connection.toUpstream_;
    const ssize_t got = recv(connection.client_.Get(), buffer.data_.data(), buffer.data_.size(), 0);
    if (got < 0 && (WouldBlock() || errno == EINTR)) {
        return;
    }
    if (got <= 0) {
        // A stalled answer never ends, so nothing more can come for this
        // client: end it whole rather than wait for the server.
        if (got < 0 || connection.stalled_) {
            Close(connection, got < 0 ? "client error" : "client closed");
        } else {
            connection.clientEof_ = true;
        }
        return;
    }
    buffer.begin_ = 0;
    buffer.end_ = static_cast<size_t>(got);
    for (size_t offset = 0; offset < buffer.end_;) {
        offset += connection.requests_.Feed(buffer.data_.data() + offset, buffer.end_ - offset);
        if (connection.requests_.HeadDone()) {
            const cutproxy::CHeadReader& head = connection.requests_.Head();
            const std::string range = head.HasHeader("Range") ? head.Header("Range") : "-";
            log_.Line("request %" PRIu64 " %s range=%s", connection.id_, head.StartLine().c_str(), range.c_str());
            connection.unanswered_.push_back(connection.requests_.Request());
        }
    }
}

void CProxy::OnResponseHead(tagConnection& connection) {
    const cutproxy::CHeadReader& head = connection.responses_.Head();
    tagRequest request;
    if (!connection.unanswered_.empty()) {
        request = connection.unanswered_.front();
    }
    const std::string length = head.HasHeader("Content-Length") ? head.Header("Content-Length") : "-";
    const std::string range = head.HasHeader("Content-Range") ? head.Header("Content-Range") : "-";
    log_.Line("response %" PRIu64 " %s length=%s content-range=%s", connection.id_, head.StartLine().c_str(),
              length.c_str(), range.c_str());
    if (!connection.responses_.StartBody(request)) {
        return;  // interim answer; the final one follows
    }
    if (!connection.unanswered_.empty()) {
        connection.unanswered_.pop_front();
    }
    const int64_t bodySize = connection.responses_.ContentLength();
    if (options_.atPercent_ < 0 || percentUsed_ || bodySize <= 0 ||
        request.target_.compare(0, options_.match_.size(), options_.match_) != 0) {
        return;
    }
    percentUsed_ = true;
    const auto offset = static_cast<uint64_t>(std::floor(static_cast<double>(bodySize) * options_.atPercent_ / 100));
    log_.Line("%s %" PRIu64 " at body byte %" PRIu64 " of %" PRId64 " of %s", options_.stallAtPercent_ ? "will-stall" : "will-cut",
              connection.id_, offset, bodySize, request.target_.c_str());
    connection.responses_.StopAtBodyOffset(offset);
}

void CProxy::ReadUpstream(tagConnection& connection) {
    tagBuffer& buffer = connection.toClient_;
    const ssize_t got = recv(connection.upstream_.Get(), buffer.data_.data(), buffer.data_.size(), 0);
    if (got < 0 && (WouldBlock() || errno == EINTR)) {
        return;
    }
    if (got <= 0) {
        if (got < 0) {
            Close(connection, "upstream error");
        } else {
            connection.upstreamEof_ = true;
        }
        return;
    }
    totals_.fromUpstream_ += static_cast<uint64_t>(got);
    buffer.begin_ = 0;
    buffer.end_ = static_cast<size_t>(got);
    for (size_t offset = 0; offset < buffer.end_;) {
        offset += connection.responses_.Feed(buffer.data_.data() + offset, buffer.end_ - offset);
        if (connection.responses_.HeadDone()) {
            OnResponseHead(connection);
        }
        if (connection.responses_.Stopped()) {
            // What follows the stop point is never sent.
            buffer.end_ = offset;
            connection.afterDrain_ = options_.stallAtPercent_ ? Action::kStall : Action::kCut;
            break;
        }
    }
}

void CProxy::WriteUpstream(tagConnection& connection) {
    tagBuffer& buffer = connection.toUpstream_;
    const ssize_t sent =
        send(connection.upstream_.Get(), buffer.data_.data() + buffer.begin_, buffer.end_ - buffer.begin_, MSG_NOSIGNAL);
    if (sent < 0) {
        if (!WouldBlock() && errno != EINTR) {
            Close(connection, "upstream error");
        }
        return;
    }
    buffer.begin_ += static_cast<size_t>(sent);
    totals_.toUpstream_ += static_cast<uint64_t>(sent);
}

void CProxy::WriteClient(tagConnection& connection) {
    tagBuffer& buffer = connection.toClient_;
    size_t size = buffer.end_ - buffer.begin_;
    if (options_.cutEvery_ > 0) {
        size = static_cast<size_t>(std::min<uint64_t>(size, nextCut_ - totals_.toClient_));
    }
    const ssize_t sent = send(connection.client_.Get(), buffer.data_.data() + buffer.begin_, size, MSG_NOSIGNAL);
    if (sent < 0) {
        if (!WouldBlock() && errno != EINTR) {
            Close(connection, "client error");
        }
        return;
    }
    buffer.begin_ += static_cast<size_t>(sent);
    totals_.toClient_ += static_cast<uint64_t>(sent);
    connection.toClientBytes_ += static_cast<uint64_t>(sent);
    if (options_.cutEvery_ > 0 && totals_.toClient_ == nextCut_) {
        nextCut_ += options_.cutEvery_;
        Cut(connection, "cut-every");
        return;
    }
    if (!buffer.Empty()) {
        return;
    }
    if (connection.afterDrain_ == Action::kCut) {
        Cut(connection, "cut-after-percent");
    } else if (connection.afterDrain_ == Action::kStall) {
        connection.afterDrain_ = Action::kNone;
        connection.stalled_ = true;
        log_.Line("stall %" PRIu64 " after %" PRIu64 " bytes to this client", connection.id_, connection.toClientBytes_);
    }
}

int CProxy::Run() {
    std::vector<pollfd> polls;
    std::vector<tagConnection*> owners;  // per entry of polls; null for ours
    for (;;) {
        polls.clear();
        owners.clear();
        polls.push_back({signals_.Get(), POLLIN, 0});
        polls.push_back({listener_.Get(), POLLIN, 0});
        owners.resize(2, nullptr);
        for (const auto& connection : connections_) {
            tagConnection& c = *connection;
            // Each buffer is filled only when empty: one side is read only
            // once the other has taken everything read before.
            short clientEvents = 0;
            if (!c.clientEof_ && c.toUpstream_.Empty()) {
                clientEvents |= POLLIN;
            }
            if (!c.toClient_.Empty() && !c.stalled_) {
                clientEvents |= POLLOUT;
            }
            short upstreamEvents = 0;
            if (c.connecting_) {
                upstreamEvents = POLLOUT;
            } else {
                if (!c.upstreamEof_ && !c.stalled_ && c.afterDrain_ == Action::kNone && c.toClient_.Empty()) {
                    upstreamEvents |= POLLIN;
                }
                if (!c.toUpstream_.Empty()) {
                    upstreamEvents |= POLLOUT;
                }
            }
            // A socket asked for nothing is left out: poll() would report
            // its hang-up or error again and again.
            polls.push_back({clientEvents != 0 ? c.client_.Get() : -1, clientEvents, 0});
            polls.push_back({upstreamEvents != 0 ? c.upstream_.Get() : -1, upstreamEvents, 0});
            owners.push_back(&c);
            owners.push_back(&c);
        }

        if (poll(polls.data(), polls.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            log_.Line("poll failed: %s", std::strerror(errno));
            return 1;
        }
        if (polls[0].revents & POLLIN) {
            signalfd_siginfo info{};
            while (read(signals_.Get(), &info, sizeof info) == sizeof info) {
                if (info.ssi_signo == SIGUSR1) {
                    LogTotals("now");
                } else {
                    LogTotals("at exit");
                    return 0;
                }
            }
        }
        if (polls[1].revents & POLLIN) {
            Accept();
        }
        for (size_t i = 2; i < polls.size(); i += 2) {
            tagConnection& c = *owners[i];
            // A hang-up or error counts as readiness for whatever was asked:
            // the read or write then sees it.
            const auto ready = [](const pollfd& entry, short wanted) {
                return (entry.events & wanted) != 0 && (entry.revents & (wanted | POLLHUP | POLLERR)) != 0;
            };
            const pollfd& client = polls[i];
            const pollfd& upstream = polls[i + 1];
            if (c.connecting_ && upstream.revents != 0) {
                FinishConnect(c);
            } else if (!c.connecting_ && ready(upstream, POLLIN)) {
                ReadUpstream(c);
            }
            if (!c.done_ && !c.connecting_ && ready(upstream, POLLOUT)) {
                WriteUpstream(c);
            }
            if (!c.done_ && ready(client, POLLIN)) {
                ReadClient(c);
            }
            if (!c.done_ && ready(client, POLLOUT)) {
                WriteClient(c);
            }
            if (c.done_) {
                continue;
            }
            // The client's FIN goes on once its last bytes did.
            if (c.clientEof_ && !c.upstreamShut_ && !c.connecting_ && c.toUpstream_.Empty()) {
                shutdown(c.upstream_.Get(), SHUT_WR);
                c.upstreamShut_ = true;
            }
            if (c.upstreamEof_ && c.toClient_.Empty()) {
                Close(c, "upstream closed");
            }
        }
        connections_.remove_if([](const std::unique_ptr<tagConnection>& c) { return c->done_; });
    }
}

// BYTES with an optional binary suffix K, M or G.
bool ParseBytes(const char* text, uint64_t& value) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long number = std::strtoull(text, &end, 10);
    if (errno != 0 || end == text || *text == '-') {
        return false;
    }
    unsigned shift = 0;
    if (*end == 'K' || *end == 'M' || *end == 'G') {
        shift = *end == 'K' ? 10 : *end == 'M' ? 20 : 30;
        ++end;
    }
    if (*end != '\0' || number > (UINT64_MAX >> shift)) {
        return false;
    }
    value = static_cast<uint64_t>(number) << shift;
    return true;
}

bool ParsePercent(const char* text, double& value) {
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && value >= 0 && value < 100;
}

bool ParseOptions(int argc, char** argv, tagOptions& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--reset") {
            options.reset_ = true;
            continue;
        }
        if (value == nullptr) {
            return false;
        }
        ++i;
        if (arg == "--listen") {
            char* end = nullptr;
            const unsigned long port = std::strtoul(value, &end, 10);
            if (*end != '\0' || port == 0 || port > 65535) {
                return false;
            }
            options.listenPort_ = static_cast<unsigned>(port);
        } else if (arg == "--upstream") {
            const std::string text = value;
            const size_t colon = text.rfind(':');
            if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) {
                return false;
            }
            options.upstreamHost_ = text.substr(0, colon);
            options.upstreamPort_ = text.substr(colon + 1);
        } else if (arg == "--log") {
            options.logPath_ = value;
        } else if (arg == "--cut-every") {
            if (!ParseBytes(value, options.cutEvery_) || options.cutEvery_ == 0) {
                return false;
            }
        } else if (arg == "--cut-after-percent" || arg == "--stall-after-percent") {
            if (options.atPercent_ >= 0 || !ParsePercent(value, options.atPercent_)) {
                return false;
            }
            options.stallAtPercent_ = arg == "--stall-after-percent";
        } else if (arg == "--match") {
            options.match_ = value;
        } else {
            return false;
        }
    }
    return options.listenPort_ != 0 && !options.upstreamHost_.empty();
}

}  // namespace

int main(int argc, char** argv) {
    tagOptions options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr,
                     "usage: cutproxy --listen PORT --upstream HOST:PORT [--log FILE] [--cut-every BYTES[K|M|G]]\n"
                     "                [--cut-after-percent P | --stall-after-percent P] [--match PREFIX] [--reset]\n");
        return 2;
    }
    CLog log;
    if (!log.Open(options.logPath_)) {
        std::fprintf(stderr, "cutproxy: cannot open %s: %s\n", options.logPath_.c_str(), std::strerror(errno));
        return 2;
    }
    CProxy proxy(options, log);
    return proxy.Start() ? proxy.Run() : 1;
}
