// HTTP/1.1 client over the message-driven client socket: one request at a
// time, the connection kept while the server grants keep-alive, chunked and
// gzip codings undone, redirects followed, the body kept in memory or
// written to "<savePath>_" and moved to savePath once complete.
//
// Single-threaded like its base: every call and every sink event happens on
// the thread that pumps the socket window's messages. There are no
// timeouts; a request ends by completion, an error, the server closing the
// connection, or Close().
#pragma once

#include <windows.h>
#include <zlib.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ClientSocket.h"
#include "IHttpBodyObserver.h"
#include "IHttpSink.h"

class CHttpClientSocket : public _ClientCommonLib::CClientSocket {
public:
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
    // Ends the connection and any request without telling the sink. A
    // partly written "<savePath>_" file stays on disk.
    void Close();

    int32_t Status() const { return status; }
    const std::wstring& StatusText() const { return statusText; }
    const std::map<std::wstring, std::wstring>& Headers() const { return headers; }
    bool IsActive() const { return active; }
    // Watches the bodies of the following responses (null: none); not owned.
    void SetBodyObserver(IHttpBodyObserver* observer) { bodyObserver_ = observer; }

    // Read by the sink: bytes per second over the last progress interval,
    // body bytes accepted (before gzip decoding), the download target, and
    // the response body when it is kept in memory.
    double speed;
    uint32_t received;
    std::wstring savePath;
    std::vector<char> body;

protected:
    void OnConnect(bool success) override;
    void OnRead(int error) override;
    void OnWrite(int error) override;
    void OnClose(int error) override;
    // No ping on an HTTP connection.
    void OnTimer() override {}

private:
    // Owner of the open temporary file.
    class CFile {
    public:
        CFile() = default;
        ~CFile() { Close(); }
        CFile(const CFile&) = delete;
        CFile& operator=(const CFile&) = delete;
        bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
        bool Create(const std::wstring& path);
        bool Write(const char* data, uint32_t size);
        void Close();

    private:
        HANDLE handle_ = INVALID_HANDLE_VALUE;
    };

    bool StartRequest(const char* postData, uint32_t postLength, const std::wstring& url,
                      const std::wstring& newSavePath, const std::wstring& newExtraHeaders, bool post);
    int SendRequest();
    int FlushSend();
    bool ReadSome(unsigned maxReads, int* closeError);
    void ProcessReceived();
    void ProcessChunked(uint32_t consumed);
    void KeepUnconsumed(uint32_t consumed);
    bool ParseHeaders(const char* data, uint32_t size);
    bool PrepareBody();
    bool WriteBody(const char* data, uint32_t size);
    bool Inflate(const char* data, uint32_t size);
    bool WriteOut(const char* data, uint32_t size);
    void ReportProgress(uint32_t size);
    void Fail(const wchar_t* message);
    void Complete();
    void FinishDownload();
    void Redirect();
    void EndInflate();

    IHttpSink* sink;
    IHttpBodyObserver* bodyObserver_ = nullptr;
    int32_t contentLength;
    CFile file;
    std::wstring url;
    std::wstring host;
    std::wstring path;
    std::wstring extraHeaders;
    std::wstring statusText;
    std::map<std::wstring, std::wstring> headers;
    std::vector<char> postData;
    uint32_t lastReportTick;
    uint32_t bytesSinceReport;
    int32_t status;
    uint16_t port;
    bool headersDone;
    bool keepAlive;
    bool active;
    bool isPost;
    bool gzip;

    // Received bytes not yet handled: the first inboxLength of inbox (which
    // replaces the base class's receive block for HTTP).
    std::vector<char> inbox;
    uint32_t inboxLength = 0;
    // Chunked coding: bytes of the current chunk still to come, its closing
    // CR LF included; 0 between chunks.
    uint64_t chunkLeft = 0;
    // The last chunk arrived; its trailer (up to an empty line) is read.
    bool inTrailer = false;
    // Request bytes not yet accepted by send (sent when the socket is
    // writable again).
    std::string outgoing;
    size_t outgoingSent = 0;
    // gzip decoding runs while the body arrives.
    z_stream zstream{};
    bool inflating = false;
    bool inflateDone = false;
    // Redirects followed since the caller's last Request.
    int redirects = 0;
    // Changes whenever a request is sent or the connection is closed, so a
    // read loop notices that an event handler moved the client on.
    unsigned generation = 0;
    // Set while the base class dispatches this socket's queued events
    // during a close; reads are already done by then.
    bool closing = false;
};
