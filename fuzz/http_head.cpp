// The HTTP text pieces on any bytes, with the guarantees their callers rely
// on: offsets inside the data, sizes within their limits, ranges in order,
// request targets of printable ASCII only.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "HttpText.h"

namespace {

std::wstring Widen(const std::string& bytes) {
    std::wstring wide;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        wide +=
            static_cast<wchar_t>(static_cast<uint8_t>(bytes[i]) | static_cast<uint8_t>(bytes[i + 1]) << 8);
    }
    return wide;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const uint64_t limit = input.ConsumeIntegral<uint64_t>();
    const std::string first = input.ConsumeRandomLengthString();
    const std::string rest = input.ConsumeRemainingBytesAsString();

    const auto* text = rest.data();
    const auto length = static_cast<uint32_t>(rest.size());
    const uint32_t from = first.empty() || length == 0 ? 0 : static_cast<uint8_t>(first[0]) % length;
    uint32_t blockEnd = 0, bodyStart = 0;
    if (http_text::FindHeaderEnd(text, length, from, &blockEnd, &bodyStart) &&
        (blockEnd > bodyStart || bodyStart > length)) {
        std::abort();
    }
    uint64_t chunkSize = 0;
    if (http_text::ParseChunkSize(text, length, limit, &chunkSize) && chunkSize > limit) std::abort();

    http_text::tagContentRange range;
    if (http_text::ParseContentRange(Widen(rest), &range) &&
        (range.first > range.last ||
         (range.complete != http_text::tagContentRange::kUnknownLength && range.last >= range.complete))) {
        std::abort();
    }
    http_text::ResolveLocation(Widen(rest), Widen(first));
    for (char c : http_text::EncodeTarget(rest)) {
        if (c <= ' ' || c > '~') std::abort();
    }
    return 0;
}
