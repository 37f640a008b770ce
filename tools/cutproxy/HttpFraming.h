// HTTP/1.1 message framing as seen by a proxy that forwards bytes unchanged:
// it watches the two byte streams of one connection, finds where each
// request and response head and body begins and ends, and reports the few
// facts the proxy logs or acts on. Nothing here does I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cutproxy {

// Collects one message head (start line and header lines) byte by byte up
// to its empty line. Heads are small, so byte-wise collection costs nothing
// and handles any split of the stream.
class CHeadReader {
public:
    // Takes bytes until the head is complete; returns the number taken.
    size_t Feed(const char* data, size_t size);
    bool Complete() const { return complete_; }
    // More than kMaxHead bytes without an end: not HTTP as this proxy knows it.
    bool Overflowed() const { return overflowed_; }
    const std::string& StartLine() const { return startLine_; }
    // The first header of that name (case-insensitive), value trimmed; empty
    // when absent.
    std::string Header(const std::string& name) const;
    bool HasHeader(const std::string& name) const;
    void Reset();

    static constexpr size_t kMaxHead = 64 * 1024;

private:
    void EndLine();

    std::string line_;
    std::string startLine_;
    std::vector<std::string> headers_;
    size_t size_ = 0;
    bool complete_ = false;
    bool overflowed_ = false;
};

// A request as far as its response needs it.
struct tagRequest {
    std::string method_;
    std::string target_;
};

// The client's side: request heads (for the log and for framing the
// responses) and their Content-Length bodies. A chunked request body is
// not followed: the rest of that stream is passed on unread.
class CRequestReader {
public:
    // Takes bytes until a head completes or all are taken; returns the
    // number taken. After a completed head, HeadDone() is true until the
    // next call.
    size_t Feed(const char* data, size_t size);
    bool HeadDone() const { return headDone_; }
    const CHeadReader& Head() const { return head_; }
    tagRequest Request() const;
    bool Opaque() const { return opaque_; }

private:
    CHeadReader head_;
    uint64_t bodyLeft_ = 0;
    bool headDone_ = false;
    bool opaque_ = false;
};

// The server's side: response heads and the end of each body (length,
// chunked, or up to the close). It can stop at a given body offset of the
// current response so that the proxy acts there.
class CResponseFramer {
public:
    // Takes bytes until a head completes, the stop point is reached, or
    // all are taken; returns the number taken. After a completed head,
    // HeadDone() is true and StartBody must be called before more bytes.
    size_t Feed(const char* data, size_t size);
    bool HeadDone() const { return state_ == State::kAwaitBody; }
    const CHeadReader& Head() const { return head_; }
    int Status() const;
    // Decides how the body just announced is framed, given the request it
    // answers. Returns false for an interim (1xx) answer, which leaves the
    // request waiting for its final one.
    bool StartBody(const tagRequest& request);
    // The body's length when the head gave one; -1 otherwise.
    int64_t ContentLength() const { return contentLength_; }
    // Makes Feed stop once OFFSET bytes of this response's body have passed
    // (at once for 0). Only for a body of known length, OFFSET below it.
    void StopAtBodyOffset(uint64_t offset);
    bool Stopped() const { return stopped_; }
    bool Opaque() const { return state_ == State::kOpaque; }

private:
    enum class State { kHead, kAwaitBody, kLength, kChunkSize, kChunkData, kChunkEnd, kTrailers, kUntilClose, kOpaque };

    size_t FeedLine(const char* data, size_t size, bool& lineDone);

    State state_ = State::kHead;
    CHeadReader head_;
    std::string line_;
    uint64_t left_ = 0;
    int64_t contentLength_ = -1;
    bool stopArmed_ = false;
    uint64_t stopLeft_ = 0;
    bool stopped_ = false;
};

}  // namespace cutproxy
