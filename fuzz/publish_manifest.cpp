// publish's manifest reader on any text: what it reads, written out and
// read again, gives the same manifest.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string manifestText, minisig, error;
    publish::SplitSignedBody(text, &manifestText, &minisig, &error);
    publish::tagManifest manifest;
    if (!publish::ParseManifest(text, &manifest, &error)) return 0;
    const std::string written = publish::FormatManifest(manifest);
    publish::tagManifest again;
    if (!publish::ParseManifest(written, &again, &error) || publish::FormatManifest(again) != written)
        std::abort();
    return 0;
}
