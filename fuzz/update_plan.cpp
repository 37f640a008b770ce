// The update planner on any manifest: the plan's items are the Update
// element's own newer File children, and the total is their downloads' sum.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "UpdatePlan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The installed version comes from the first byte, small so that items
    // are often newer.
    if (size < 1) return 0;
    const uint64_t installed = data[0] % 8;
    _ServerEngine::CXMLConfig document(L"", nullptr, 0);
    if (!document.LoadFromBuffer(reinterpret_cast<const char*>(data + 1), static_cast<unsigned>(size - 1)))
        return 0;
    const tagUpdatePlan plan = PlanUpdate(document, installed);
    if (plan.outcome != PlanOutcome::kWork && !plan.items.empty()) std::abort();
    _ServerEngine::CXMLConfig* update = document.FindNode(L"Update");
    uint64_t total = 0;
    for (const ManifestItem& item : plan.items) {
        if (item.node->parent != update || item.node->name != L"File") std::abort();
        if (item.op == OpDownload) total += item.size;
    }
    if (total != plan.totalBytes) std::abort();
    return 0;
}
