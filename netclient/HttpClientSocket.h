// HTTP/1.1 client over the message-driven client socket: one request at a
// time, the connection kept while the server grants keep-alive, chunked
// transfer coding and gzip or deflate content codings undone, redirects
// followed, the body kept in memory or written to "<savePath>_" (or appended
// to it by a range request) and moved to savePath once complete. A download
// whose size the caller knows never stores more than that size.
//
// Single-threaded like its base: every call and every sink event happens on
// the thread that pumps the socket window's messages. A request ends by
// completion, an error, the server closing the connection, Close(), no byte
// moving for the idle time-out (60 s), or fewer bytes than the floor rate
// (1 KiB/s) arriving over its window (60 s) while connecting, sending or
// receiving.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ClientSocket.h"
#include "ContentDecoder.h"
#include "IHttpBodyObserver.h"
#include "IHttpSink.h"
#include "base/UniqueHandle.h"

class CHttpClientSocket : public _ClientCommonLib::CClientSocket {
public:
    // The largest body kept in memory; a bigger one ends its request.
    static constexpr uint64_t kMaxMemoryBody = 64u << 20;
    static constexpr DWORD kIdleTimeoutMs = 60000;
    static constexpr uint32_t kFloorBytesPerSecond = 1024;
    static constexpr DWORD kFloorWindowMs = 60000;
    // RequestFrom's size when the caller does not know it.
    static constexpr uint64_t kUnknownSize = UINT64_MAX;

    // The sink is not owned and must outlive the client.
    explicit CHttpClientSocket(IHttpSink* sink);
    ~CHttpClientSocket() override;

    // Starts a GET or POST of `url` ("http://host[:port]/path", any case of
    // the scheme, or "/path" on the current host). The body goes to memory
    // (`body`) when `savePath` is empty, otherwise to that file. Each line of
    // `extraHeaders` should end in CR LF (a missing final one is added).
    // True when the request was sent on the kept connection or a connection
    // is on its way; false (and no event) when the URL is refused or the
    // connection cannot be started. An active request is abandoned silently.
    bool Request(const char* postData, uint32_t postLength, const std::wstring& url,
                 const std::wstring& savePath, const std::wstring& extraHeaders, bool isPost);
    // Starts a GET of `url` into `savePath` that resumes "<savePath>_" after
    // its first `offset` bytes (a Range request; none when `offset` is 0).
    // A 206 for exactly that range appends to the file, a 200 starts it
    // over; a 416 or a 206 for another range deletes the file and asks once
    // more for the whole body.
    // With a known `size` (the file's, which the caller trusts): an uncoded
    // 200 of another Content-Length and a 206 whose Content-Range does not
    // end the file at that size are refused before their body is read (the
    // partial file stays); and the file never grows past that size: once
    // it has it, the rest of the answer is left unread (a coded one is no
    // longer decoded) and the download ends there, for its observer to
    // judge.
    bool RequestFrom(const std::wstring& url, const std::wstring& savePath, uint64_t offset,
                     uint64_t size = kUnknownSize);
    // Ends the connection and any request without telling the sink. A
    // partly written "<savePath>_" file stays on disk.
    void Close();

    int32_t Status() const { return status; }
    const std::wstring& StatusText() const { return statusText; }
    // Response header fields under the names as the server spelled them.
    const std::map<std::wstring, std::wstring>& Headers() const { return headers; }
    bool IsActive() const { return active; }
    // Where the current body starts in the download's file: the offset of
    // an accepted 206, otherwise 0.
    uint64_t BodyOffset() const { return bodyOffset_; }
    // True when the last request ended without a complete answer because
    // the connection could not be made, ended or stayed silent too long;
    // false for answers (error statuses, bad data) and local failures.
    bool ConnectionLost() const { return connectionLost_; }
    // True when the last request's answer broke the size it was given.
    bool SizeRefused() const { return sizeRefused_; }
    // Decoded body bytes stored since the caller's last Request or
    // RequestFrom, over every answer it took.
    uint64_t Stored() const { return stored_; }
    // How long a request may go without a byte moving (tests shorten it).
    void SetIdleTimeout(DWORD ms) { idleTimeoutMs_ = ms; }
    // A request that receives fewer than `bytesPerSecond` times the window's
    // seconds in any `windowMs` lost its connection, like an idle one.
    void SetFloorRate(uint32_t bytesPerSecond, DWORD windowMs) {
        floorBytesPerSecond_ = bytesPerSecond;
        floorWindowMs_ = windowMs;
    }
    // Watches the bodies of the following responses (null: none); not owned.
    void SetBodyObserver(IHttpBodyObserver* observer) { bodyObserver_ = observer; }

    // Read by the sink: bytes per second over the last progress interval,
    // body bytes accepted (before decoding), the download target, and the
    // response body when it is kept in memory.
    double speed;
    uint64_t received;
    std::wstring savePath;
    std::vector<char> body;

protected:
    void OnConnect(bool success) override;
    void OnRead(int error) override;
    void OnWrite(int error) override;
    void OnClose(int error) override;
    // No ping on an HTTP connection; the tick watches for an idle request.
    void OnTimer() override;

private:
    // How the end of the current response body is found.
    enum class Framing { Length, Chunked, UntilClose };

    bool StartRequest(const char* postData, uint32_t postLength, const std::wstring& url,
                      const std::wstring& newSavePath, const std::wstring& newExtraHeaders, bool post);
    int SendRequest();
    int FlushSend();
    bool ReadSome(unsigned maxReads, int* closeError);
    void ProcessReceived();
    void ProcessChunked(uint32_t consumed);
    void KeepUnconsumed(uint32_t consumed);
    bool ParseHeaders(const char* data, uint32_t size);
    const std::wstring* FindHeader(const wchar_t* name) const;
    uint64_t ReportedLength() const;
    bool WriteBody(const char* data, uint32_t size);
    bool WriteOut(const char* data, uint32_t size);
    void OpenDownloadFile();
    void ReportProgress(uint32_t size);
    // Judges a 206 or 416 answer to a Range request; false when the request
    // was started over without the range.
    bool AcceptRange(bool identity);
    void Fail(const wchar_t* message);
    // Fails the request for an answer of another size than the file's.
    void RefuseSize();
    // Ends a download whose file reached its size before its answer ended.
    void EndAtSize();
    void Complete();
    void FinishDownload();
    void Redirect();

    IHttpSink* sink;
    IHttpBodyObserver* bodyObserver_ = nullptr;
    // Body length of the current response; -1 when chunked.
    int64_t contentLength;
    kit::CFileHandle file;
    std::wstring url;
    std::wstring host;
    std::wstring path;
    std::wstring extraHeaders;
    std::wstring statusText;
    std::map<std::wstring, std::wstring> headers;
    std::vector<char> postData;
    uint32_t lastReportTick;
    uint64_t bytesSinceReport;
    int32_t status;
    uint16_t port;
    bool headersDone;
    bool keepAlive;
    bool active;
    bool isPost;

    Framing framing_ = Framing::Length;
    CContentDecoder decoder_;
    // Received bytes not yet handled: the first inboxLength_ of inbox_ (which
    // replaces the base class's receive block for HTTP).
    std::vector<char> inbox_;
    uint32_t inboxLength_ = 0;
    // Bytes at the start of inbox_ already searched in vain for the end of
    // the header block, a chunk-size line or the trailer, so that a search
    // resumes instead of starting over with every read.
    uint32_t scanned_ = 0;
    // Chunked coding: bytes of the current chunk still to come, its closing
    // CR LF included; 0 between chunks.
    uint64_t chunkLeft_ = 0;
    // The last chunk arrived; its trailer (up to an empty line) is read.
    bool inTrailer_ = false;
    // Request bytes not yet accepted by send (sent when the socket is
    // writable again).
    std::string outgoing_;
    size_t outgoingSent_ = 0;
    // Redirects followed since the caller's last Request.
    int redirects_ = 0;
    // Changes whenever a request is sent or the connection is closed, so a
    // read loop notices that an event handler moved the client on.
    unsigned generation_ = 0;
    // Set while the base class dispatches this socket's queued events
    // during a close; reads are already done by then.
    bool closing_ = false;
    // The Range request's first byte (0: none), and the first byte of the
    // body being received; bodyStatus_ is set when that body is stored.
    uint64_t rangeStart_ = 0;
    uint64_t bodyOffset_ = 0;
    // Decoded bytes of the current body stored.
    uint64_t bodyBytes_ = 0;
    bool bodyStatus_ = false;
    bool connectionLost_ = false;
    // GetTickCount of the last byte moved, or of the start of the connect.
    DWORD lastActivity_ = 0;
    DWORD idleTimeoutMs_ = kIdleTimeoutMs;
    // The floor rate: bytes received since the window began at its tick.
    uint32_t floorBytesPerSecond_ = kFloorBytesPerSecond;
    DWORD floorWindowMs_ = kFloorWindowMs;
    DWORD windowStart_ = 0;
    uint64_t windowBytes_ = 0;
    // The download's size (kUnknownSize: none), the bytes stored for the
    // caller's request, and whether the file reached that size.
    uint64_t expectedSize_ = kUnknownSize;
    uint64_t stored_ = 0;
    bool bodyFull_ = false;
    bool sizeRefused_ = false;
};
