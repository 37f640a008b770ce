// The proxy's view of HTTP/1.1 framing: every stream is fed whole, split in
// two at each position, and byte by byte, and must frame the same way.
#include "HttpFraming.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using cutproxy::CRequestReader;
using cutproxy::CResponseFramer;
using cutproxy::tagRequest;

// Feeds STREAM in pieces of at most PIECE bytes, the first one SPLIT bytes
// long; each head gets the next of METHODS as its request. Returns the
// statuses seen, then "stop@OFFSET" if the framer stopped at OFFSET of the
// stream (the stop armed at STOP body bytes of the first body, if >= 0).
std::vector<std::string> Frame(const std::string& stream, const std::vector<std::string>& methods, size_t split,
                               size_t piece, long stop = -1) {
    CResponseFramer framer;
    std::vector<std::string> seen;
    size_t next = 0;
    size_t offset = 0;
    while (offset < stream.size() && !framer.Stopped()) {
        const size_t limit = offset == 0 && split > 0 ? split : piece;
        const size_t size = std::min(limit, stream.size() - offset);
        size_t used = 0;
        while (used < size && !framer.Stopped()) {
            used += framer.Feed(stream.data() + offset + used, size - used);
            if (framer.HeadDone()) {
                seen.push_back(std::to_string(framer.Status()));
                tagRequest request;
                request.method_ = next < methods.size() ? methods[next] : "GET";
                if (framer.StartBody(request)) {
                    ++next;
                }
                if (stop >= 0 && seen.size() == 1) {
                    framer.StopAtBodyOffset(static_cast<uint64_t>(stop));
                }
            }
        }
        offset += used;
    }
    if (framer.Stopped()) {
        seen.push_back("stop@" + std::to_string(offset));
    }
    return seen;
}

struct tagResponseCase {
    const char* name_;
    std::string stream_;
    std::vector<std::string> methods_;
    long stop_;
    std::vector<std::string> expected_;
};

const std::string kHead = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n";

TEST(FramingTest, ResponsesFramedAtEverySplit) {
    const tagResponseCase cases[] = {
        {"length, chunked with extension and trailer, 204, HEAD, 304, 100 then 206",
         "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;x=1\r\nhello\r\nA\r\n0123456789\r\n0\r\nX-T: 1\r\nX-U: 2\r\n\r\n"
         "HTTP/1.1 204 No Content\r\n\r\n"
         "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n"
         "HTTP/1.1 304 Not Modified\r\nContent-Length: 10\r\n\r\n"
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 206 Partial Content\r\nContent-Length: 2\r\n\r\nab"
         "HTTP/1.1 416 Range Not Satisfiable\r\ncontent-length: 0\r\n\r\n",
         {"GET", "GET", "GET", "HEAD", "GET", "GET", "GET"}, -1,
         {"200", "200", "204", "200", "304", "100", "206", "416"}},
        {"bare line feeds, chunked in upper case", "HTTP/1.1 200 OK\nTransfer-Encoding: CHUNKED\n\n3\nabc\n0\n\n"
         "HTTP/1.1 404 Not Found\nContent-Length: 1\n\nx", {}, -1, {"200", "404"}},
        {"no length: the body runs to the close", "HTTP/1.0 200 OK\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nx",
         {}, -1, {"200"}},
        {"stop inside the body", kHead + "0123456789", {}, 4, {"200", "stop@" + std::to_string(kHead.size() + 4)}},
        {"stop right after the head", kHead + "0123456789", {}, 0, {"200", "stop@" + std::to_string(kHead.size())}},
        {"stop at the body's length is none", kHead + "0123456789" + kHead, {}, 10, {"200", "200"}},
    };
    for (const tagResponseCase& c : cases) {
        for (size_t split = 0; split <= c.stream_.size(); ++split) {
            EXPECT_EQ(Frame(c.stream_, c.methods_, split, 1 << 20, c.stop_), c.expected_)
                << c.name_ << ", split at " << split;
        }
        EXPECT_EQ(Frame(c.stream_, c.methods_, 0, 1, c.stop_), c.expected_) << c.name_ << ", byte by byte";
    }
}

TEST(FramingTest, RequestsLoggedAtEverySplit) {
    const std::string stream =
        "GET /a HTTP/1.1\r\nHost: h\r\nrange:  bytes=5- \r\n\r\n"
        "POST /b HTTP/1.1\r\nContent-Length: 4\r\n\r\nGET "
        "\r\nGET /c?x=1 HTTP/1.1\r\n\r\n";
    const std::vector<std::string> expected = {"GET /a bytes=5-", "POST /b -", "GET /c?x=1 -"};
    for (size_t split = 0; split <= stream.size(); ++split) {
        CRequestReader reader;
        std::vector<std::string> seen;
        for (size_t offset = 0; offset < stream.size();) {
            const size_t end = offset < split ? split : stream.size();
            offset += reader.Feed(stream.data() + offset, end - offset);
            if (reader.HeadDone()) {
                const tagRequest request = reader.Request();
                const std::string range = reader.Head().HasHeader("Range") ? reader.Head().Header("Range") : "-";
                seen.push_back(request.method_ + " " + request.target_ + " " + range);
            }
        }
        EXPECT_EQ(seen, expected) << "split at " << split;
        EXPECT_FALSE(reader.Opaque()) << "split at " << split;
    }
}

}  // namespace
