// What an update run has to do, decided from the manifest document and the
// installed version alone: the download base, the new version, the "File"
// items to carry out in document order and the bytes their downloads bring.
// No I/O; CUpdate shows the outcome and carries the items out.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "DownloadForm.h"
#include "XMLConfig.h"

// A "File" item's "op", read once when the item is planned. The values are
// those of the manifest; every other value makes the item a no-op.
enum ManifestOp : int32_t {
    OpIgnored = -1,
    OpDownload = 0,
    OpDelete = 1,
    OpMove = 2,
    OpCloseLobby = 3,
    OpRun = 4,
    // Not a manifest value: a file repair checks and fetches again when it
    // is missing or differs; `node` is the download that brings it.
    OpRepair = 0x100,
};

// A planned "File" item: its element, for the attributes its operation
// reads when it runs, and what planning read of it.
struct tagManifestItem {
    _ServerEngine::CXMLConfig* node;  // owned by the manifest document
    ManifestOp op;
    uint64_t size;  // "size", a signed 64-bit count
    // OpRepair: where the file ends up (a later move may have renamed the
    // download's "path").
    std::wstring path;
    // Downloads: the forms the file comes in (AssignForms), the one taken,
    // the kinds that failed in this run and what the path holds before it.
    std::vector<tagDownloadForm> forms = {};
    size_t form = 0;
    unsigned failed = 0;
    tagBaseState base = {};
};
using ManifestItem = tagManifestItem;

enum class PlanOutcome {
    kUnusable,  // no "Update" element, or its "url" is empty
    kNotNewer,  // the manifest's version is not above the installed one
    kNoItems,   // newer, but no "File" item is newer than the installed version
    kWork,      // items to carry out
};

struct tagUpdatePlan {
    PlanOutcome outcome = PlanOutcome::kUnusable;
    std::wstring baseUrl;          // "url" of "Update"; set from kNotNewer on
    uint64_t manifestVersion = 0;  // "version" of "Update"; set from kNotNewer on
    uint64_t totalBytes = 0;       // sum of the download items' sizes
    std::deque<ManifestItem> items;
};

// Reads what planning reads of a "File" element: its op and size.
ManifestItem ReadManifestItem(_ServerEngine::CXMLConfig& element);

// Plans the run for the loaded manifest `document` against the version
// installed before the run. Versions compare unsigned. The items keep
// pointing into `document`, which must outlive them.
tagUpdatePlan PlanUpdate(_ServerEngine::CXMLConfig& document, uint64_t installedVersion);
