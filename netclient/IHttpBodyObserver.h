// Optional watcher of a CHttpClientSocket's response bodies: it sees every
// decoded body byte of a 200 response (or of the 206 that resumes a
// download) as the client stores it, and may veto a finished body before a
// download replaces its target. Calls come from
// the client's thread, inside its message handling.
#pragma once

#include <cstdint>

struct IHttpBodyObserver {
    // The header block of a 200 or 206 response was accepted; its body
    // follows. offset: where the body starts in the stored file, 0 for a
    // whole body; a resumed body continues the bytes of the earlier one.
    virtual void OnHttpBodyBegin(uint64_t offset) = 0;
    // The next decoded body bytes (after chunked and gzip), in order.
    virtual void OnHttpBody(const char* data, uint32_t size) = 0;
    // The body is complete and a download's "<savePath>_" file is closed.
    // False refuses it: the "_" file is deleted, the target stays as it was,
    // and the request ends with OnHttpError.
    virtual bool OnHttpBodyEnd() = 0;

protected:
    ~IHttpBodyObserver() = default;
};
