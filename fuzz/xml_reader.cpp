// The XML reader on any bytes: loading, the lookups the updater makes, and
// tearing the tree down.
#include <cstddef>
#include <cstdint>

#include "XMLConfig.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    _ServerEngine::CXMLConfig root(L"", nullptr, 0);
    if (!root.LoadFromBuffer(reinterpret_cast<const char*>(data), static_cast<unsigned>(size))) return 0;
    if (_ServerEngine::CXMLConfig* update = root.FindNode(L"Update")) {
        update->GetAttribute(L"url", L"");
        update->GetAttributeInt(L"version");
    }
    return 0;
}
