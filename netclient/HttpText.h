// Pieces of HTTP/1.1 text handling that need no socket: the request target
// on the wire, chunk-size lines, the end of a header block, redirect targets
// and byte ranges.
#pragma once

#include <cstdint>
#include <string>

namespace http_text {

// The request target as it goes on the wire: every byte outside printable
// ASCII (UTF-8 of non-ASCII characters included) and every space becomes
// %XX; everything else, existing %XX escapes included, stays as written.
std::string EncodeTarget(const std::string& utf8);

// The chunk size at the start of a size line, after blanks (an extension
// behind the digits is ignored). False when the line has no hex digit or
// the size exceeds `limit`.
bool ParseChunkSize(const char* line, uint32_t size, uint64_t limit, uint64_t* chunkSize);

// Finds the empty line that ends a header block in data[0, size), searching
// from `from` on. Lines end in CR LF, or in a bare LF as some CGI programs
// write them. On success *blockEnd is the length of the header lines
// without the final terminators and *bodyStart the offset behind the empty
// line. False when no empty line is there yet.
bool FindHeaderEnd(const char* data, uint32_t size, uint32_t from, uint32_t* blockEnd, uint32_t* bodyStart);

// The absolute URL or path a Location value points at, seen from the
// request path `currentPath`: absolute URLs and paths stay as they are, a
// scheme-relative "//host/..." gets "http:", and a relative reference is
// taken from the folder of the current path.
std::wstring ResolveLocation(const std::wstring& location, const std::wstring& currentPath);

// A Content-Range value of a 206: "bytes FIRST-LAST/COMPLETE", the unit in
// any case, COMPLETE "*" when the server does not know it.
struct tagContentRange {
    static constexpr uint64_t kUnknownLength = UINT64_MAX;
    uint64_t first = 0;
    uint64_t last = 0;
    uint64_t complete = kUnknownLength;
};
// False for anything else, and for a range that ends before it starts or
// beyond the complete length.
bool ParseContentRange(const std::wstring& value, tagContentRange* range);

}  // namespace http_text
