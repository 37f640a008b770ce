// Optional watcher of a CHttpClientSocket's response bodies: it sees every
// decoded body byte of a 200 response as the client stores it, and may veto
// a finished body before a download replaces its target. Calls come from
// the client's thread, inside its message handling.
#pragma once

#include <cstdint>

struct IHttpBodyObserver {
    // The header block of a 200 response was accepted; its body follows.
    virtual void OnHttpBodyBegin() = 0;
    // The next decoded body bytes (after chunked and gzip), in order.
    virtual void OnHttpBody(const char* data, uint32_t size) = 0;
    // The body is complete and a download's "<savePath>_" file is closed.
    // False refuses it: the "_" file is deleted, the target stays as it was,
    // and the request ends with OnHttpError.
    virtual bool OnHttpBodyEnd() = 0;

protected:
    ~IHttpBodyObserver() = default;
};
