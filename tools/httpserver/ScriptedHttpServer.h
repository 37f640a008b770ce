// A scripted HTTP/1.1 server for tests: it listens on 127.0.0.1, answers
// each request with a prepared script of byte-exact writes, delays and
// closes, and records what the clients sent.
//
// Typical use inside a test program (the server runs on its own threads, so
// the test's thread stays free to pump messages or wait for a child):
//
//     kit_http::CScriptedHttpServer server;
//     ASSERT_TRUE(server.Start());                  // ephemeral port
//     server.Route("/manifest.xml", kit_http::CResponse::Ok(xml));
//     server.Enqueue(kit_http::CResponse().Send("HTTP/1.1 200 OK\r\n")
//                        .Delay(50).Send("Content-Length: 0\r\n\r\n"));
//     ... point the client at server.BaseUrl() + "/path" ...
//     ASSERT_TRUE(server.WaitForRequests(2, 10000));
//     server.Requests()[0].raw;                      // the bytes received
//
// Choosing the answer to a request: a route whose target equals the request
// target (path and query as sent) wins and is served every time; otherwise
// the oldest queued answer is served once; with neither, the server answers
// 404 with "Connection: close" and closes. After its answer the connection
// stays open for the next request unless the script closed it.
#pragma once

#include <winsock2.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/UniqueHandle.h"

namespace kit_http {

// One scripted answer: a list of steps run in order on the connection that
// carried the request.
class CResponse {
public:
    struct tagStep {
        enum class Kind { Send, Delay, Close };
        Kind kind;
        std::string bytes;  // Send: given to one send() call (or repeated)
        unsigned ms;        // Delay: milliseconds to sleep
        uint64_t total;     // Send: bytes to send, `bytes` over and over
    };

    // One send() of exactly these bytes (TCP_NODELAY is set, so each
    // send leaves as its own segment).
    CResponse& Send(std::string bytes);
    // The bytes in pieces cut at the given offsets (ascending), with a pause
    // of `pauseMs` after each piece but the last, so that the client is
    // likely to see each piece in its own read.
    CResponse& SendSplit(const std::string& bytes, const std::vector<size_t>& cuts, unsigned pauseMs);
    // The bytes one at a time, pausing `pauseMs` after each.
    CResponse& SendEachByte(const std::string& bytes, unsigned pauseMs);
    // `total` bytes made of `pattern` repeated (the last copy cut short),
    // sent as fast as the client takes them: bodies bigger than memory.
    CResponse& SendRepeated(const std::string& pattern, uint64_t total);
    CResponse& Delay(unsigned ms);
    // Closes the connection here (graceful: shutdown, then closesocket).
    CResponse& Close();

    const std::vector<tagStep>& Steps() const { return steps_; }

    // "HTTP/1.1 <status> <reason>\r\n" + headers (each ending in CR LF) +
    // "\r\n": a complete header block.
    static std::string Head(int status, const std::string& reason, const std::string& headers);
    // A 200 answer with a Content-Length and the body, sent in one write;
    // with `keepAlive` it carries "Connection: keep-alive", otherwise
    // "Connection: close" and the server closes after it.
    static CResponse Ok(const std::string& body, bool keepAlive = true, const std::string& headers = "");
    // The body in the chunked transfer coding with chunks of at most
    // `chunkSize` bytes, ended by the last chunk "0\r\n\r\n".
    static std::string Chunked(const std::string& body, size_t chunkSize);

private:
    std::vector<tagStep> steps_;
};

// One request as received.
struct tagRequest {
    int connection = 0;  // 1 for the first accepted connection, and so on
    std::string raw;     // head and body exactly as received
    std::string method;  // "GET", "POST", ...
    std::string target;  // path and query from the request line
    std::string body;    // the Content-Length bytes after the head
};

class CScriptedHttpServer {
public:
    CScriptedHttpServer();
    ~CScriptedHttpServer();  // stops the server
    CScriptedHttpServer(const CScriptedHttpServer&) = delete;
    CScriptedHttpServer& operator=(const CScriptedHttpServer&) = delete;

    // Listens on 127.0.0.1:port (0 picks a free port) and starts accepting.
    // Calls WSAStartup itself (and WSACleanup in Stop). False when the port
    // cannot be bound or the server runs already.
    bool Start(uint16_t port = 0);
    // Closes the listener and every connection and joins all threads.
    void Stop();

    uint16_t Port() const { return port_; }
    // "http://127.0.0.1:<port>"
    std::string BaseUrl() const;

    // Answers every request for `target` with `response`.
    void Route(const std::string& target, const CResponse& response);
    // Answers the next request that no route matches with `response`.
    void Enqueue(const CResponse& response);

    // Each connection accepted from now on waits this long before it reads
    // its first request (lets a client's send buffer fill up).
    void PauseBeforeReading(unsigned ms);

    // Connections accepted so far.
    int Connections() const;
    // Connections that the client closed (or reset) so far.
    int ConnectionsClosedByClient() const;
    std::vector<tagRequest> Requests() const;
    // Waits until at least `count` requests have been received.
    bool WaitForRequests(size_t count, unsigned timeoutMs) const;
    // Waits until every queued answer has been fully sent.
    bool WaitForQueueServed(unsigned timeoutMs) const;

private:
    void AcceptLoop();
    void Serve(kit::CSocketHandle connection, int index);
    bool ReadRequest(SOCKET connection, std::string& pending, tagRequest& request);
    bool Play(kit::CSocketHandle& connection, const CResponse& response);
    void Pause(unsigned ms);

    kit::CSocketHandle listener_;
    uint16_t port_ = 0;
    bool winsock_ = false;
    std::thread acceptThread_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool stopping_ = false;
    std::map<std::string, CResponse> routes_;
    std::deque<CResponse> queue_;
    int answersInFlight_ = 0;
    unsigned readPauseMs_ = 0;
    int connections_ = 0;
    int closedByClient_ = 0;
    std::vector<tagRequest> requests_;
    std::vector<std::thread> workers_;
};

}  // namespace kit_http
