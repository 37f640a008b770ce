// The content decoder on any coded body, cut into pieces: output comes in
// steps of 1 to 4096 bytes, and a refusal by the output stops the decoding.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "ContentDecoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const std::string header = input.ConsumeRandomLengthString(16);
    std::wstring wideHeader(header.begin(), header.end());
    CContentDecoder::FromHeader(wideHeader);
    static const CContentDecoder::Coding kCodings[] = {
        CContentDecoder::Coding::Gzip, CContentDecoder::Coding::Deflate, CContentDecoder::Coding::Identity};
    const CContentDecoder::Coding coding = input.PickValueInArray(kCodings);
    // Stops after this many decoded bytes, as a bounded download would.
    const uint32_t budget = input.ConsumeIntegralInRange<uint32_t>(0, 1 << 20);

    CContentDecoder decoder;
    decoder.Reset(coding);
    uint64_t decoded = 0;
    bool refused = false;
    const CContentDecoder::Output out = [&](const char*, uint32_t length) {
        if (length == 0 || length > 4096 || refused) std::abort();
        decoded += length;
        refused = decoded > budget;
        return !refused;
    };
    while (input.remaining_bytes() > 0) {
        const size_t piece = input.ConsumeIntegralInRange<size_t>(1, 512);
        const std::string bytes = input.ConsumeBytesAsString(piece);
        if (bytes.empty()) break;  // the socket never hands on an empty piece
        if (!decoder.Write(bytes.data(), static_cast<uint32_t>(bytes.size()), out)) break;
    }
    decoder.Finished();
    return 0;
}
