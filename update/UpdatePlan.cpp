#include "UpdatePlan.h"

#include <cwchar>

#include "VersionStore.h"
#include "base/DecimalParse.h"

using _ServerEngine::CXMLConfig;

namespace {

uint64_t VersionAttribute(CXMLConfig& node) {
    return ParseVersion(node.GetAttribute(L"version", nullptr));
}

// Read once, saturating like _wtoi: an op beyond 32 bits is no download.
ManifestOp OpAttribute(CXMLConfig& item) {
    const int op = item.GetAttributeInt(L"op");
    return op >= OpDownload && op <= OpRun ? static_cast<ManifestOp>(op) : OpIgnored;
}

// Signed 64-bit, saturating, so that files of 2 GiB and more can be
// described; a negative size lowers the total.
uint64_t SizeAttribute(CXMLConfig& item) {
    const wchar_t* text = item.GetAttribute(L"size", L"");
    return static_cast<uint64_t>(kit::ParseInt64Saturated(text, text + std::wcslen(text)));
}

}  // namespace

ManifestItem ReadManifestItem(CXMLConfig& element) {
    return {&element, OpAttribute(element), SizeAttribute(element), {}};
}

tagUpdatePlan PlanUpdate(CXMLConfig& document, uint64_t installedVersion) {
    tagUpdatePlan plan;
    // Element and attribute names are matched exactly, case included, as the
    // update server writes them.
    CXMLConfig* const update = document.FindNode(L"Update");
    if (!update) return plan;
    plan.baseUrl = update->GetAttribute(L"url", L"");
    if (plan.baseUrl.empty()) return plan;
    plan.manifestVersion = VersionAttribute(*update);
    if (plan.manifestVersion <= installedVersion) {
        plan.outcome = PlanOutcome::kNotNewer;
        return plan;
    }
    // Items are chosen against the version installed before the run, so a
    // client several versions behind gets every newer item in one run.
    for (CXMLConfig* child : *update->children) {
        if (child->name != L"File" || VersionAttribute(*child) <= installedVersion) continue;
        const ManifestItem item = ReadManifestItem(*child);
        if (item.op == OpDownload) plan.totalBytes += item.size;
        plan.items.push_back(item);
    }
    plan.outcome = plan.items.empty() ? PlanOutcome::kNoItems : PlanOutcome::kWork;
    return plan;
}
