// Receiver of a CHttpClientSocket's events. All calls come from inside the
// message loop of the thread that owns the client.
#pragma once

#include <cstdint>

class CHttpClientSocket;

struct IHttpSink {
    // The response header block was parsed, before its status is judged.
    // contentLength: the Content-Length; 4294967295 for a chunked response,
    // 0 for a response whose body ends when the server closes the connection.
    virtual void OnHttpHeader(CHttpClientSocket* client, uint64_t contentLength) = 0;
    // A 200 response is complete; a download is already in place.
    virtual void OnHttpComplete(CHttpClientSocket* client) = 0;
    // The request failed; message is one of the client's fixed texts.
    virtual void OnHttpError(CHttpClientSocket* client, const wchar_t* message) = 0;
    // Body bytes arrived and more than 100 ms passed since the last report;
    // bytesPerSecond is measured over exactly that interval.
    virtual void OnHttpProgress(CHttpClientSocket* client, uint64_t contentLength, uint64_t received,
                                double bytesPerSecond) = 0;
    // The connection ended while a request was active (error: the socket
    // error code, 0 for an orderly close). The client is closed already.
    virtual void OnHttpClose(CHttpClientSocket* client, int error) = 0;

protected:
    ~IHttpSink() = default;
};
