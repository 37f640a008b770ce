#include "EndState.h"

#include <windows.h>

#include <algorithm>

#include "VersionStore.h"

std::wstring FoldPath(const std::wstring& path) {
    std::wstring folded = path;
    std::replace(folded.begin(), folded.end(), L'/', L'\\');
    if (!folded.empty()) CharUpperBuffW(&folded[0], static_cast<DWORD>(folded.size()));
    return folded;
}

std::vector<tagEndFile> EndState(const std::vector<tagFileStep>& steps) {
    std::map<std::wstring, tagEndFile> files;  // by folded path
    for (size_t i = 0; i < steps.size(); ++i) {
        const tagFileStep& step = steps[i];
        const std::wstring key = FoldPath(step.path);
        switch (step.op) {
            case OpDownload: files[key] = {step.path, i}; break;
            case OpDelete: files.erase(key); break;
            case OpMove: {
                const auto from = files.find(key);
                const std::wstring to = FoldPath(step.to);
                if (from == files.end()) break;
                if (to == key) {
                    from->second.path = step.to;
                } else if (!files.count(to)) {
                    files[to] = {step.to, from->second.step};
                    files.erase(key);
                }
                break;
            }
            default: break;
        }
    }
    std::vector<tagEndFile> end;
    for (const auto& file : files) end.push_back(file.second);
    std::stable_sort(end.begin(), end.end(),
                     [](const tagEndFile& a, const tagEndFile& b) { return a.step < b.step; });
    return end;
}

tagManifestFiles ReadManifestFiles(_ServerEngine::CXMLConfig& document) {
    tagManifestFiles manifest;
    _ServerEngine::CXMLConfig* const update = document.FindNode(L"Update");
    if (!update) return manifest;
    std::vector<ManifestItem> items;
    for (_ServerEngine::CXMLConfig* child : *update->children) {
        if (child->name != L"File" || ParseVersion(child->GetAttribute(L"version", nullptr)) == 0) continue;
        const ManifestItem item = ReadManifestItem(*child);
        tagFileStep step;
        step.op = item.op;
        step.path = child->GetAttribute(item.op == OpMove ? L"src" : L"path", L"");
        step.to = child->GetAttribute(L"des", L"");
        step.size = static_cast<int64_t>(item.size);
        manifest.steps.push_back(step);
        items.push_back(item);
    }
    for (const tagEndFile& file : EndState(manifest.steps)) {
        ManifestItem item = items[file.step];
        item.op = OpRepair;
        item.path = file.path;
        manifest.totalBytes += item.size;
        if (!item.node->GetAttribute(L"sha256", nullptr)) manifest.digests = false;
        manifest.files.push_back(item);
    }
    return manifest;
}

std::set<std::wstring> InstalledNames(const std::vector<tagFileStep>& steps) {
    std::set<std::wstring> names;
    for (const tagFileStep& step : steps) {
        if (step.op != OpDownload && step.op != OpMove) continue;
        std::wstring path = FoldPath(step.op == OpMove ? step.to : step.path);
        while (!path.empty()) {
            names.insert(path);
            const size_t slash = path.rfind(L'\\');
            path.resize(slash == std::wstring::npos ? 0 : slash);
        }
    }
    return names;
}

namespace {

// The first of "<path>.download1", "<path>.download2", ... that no item
// installs, nor its partial name.
std::wstring FreeDownloadName(const std::wstring& path, const std::set<std::wstring>& installed) {
    for (unsigned n = 1;; ++n) {
        const std::wstring name = path + L".download" + std::to_wstring(n);
        if (!installed.count(FoldPath(name)) && !installed.count(FoldPath(name + L"_"))) return name;
    }
}

}  // namespace

std::wstring DownloadSavePath(const std::wstring& path, const std::set<std::wstring>& installed) {
    if (!installed.count(FoldPath(path + L"_"))) return path;
    return FreeDownloadName(path, installed);
}

std::wstring FormSavePath(const std::wstring& body, const std::set<std::wstring>& installed) {
    if (!installed.count(FoldPath(body)) && !installed.count(FoldPath(body + L"_"))) return body;
    return FreeDownloadName(body, installed);
}

std::wstring FormBodySavePath(const std::wstring& target, FormKind kind, const std::set<std::wstring>& installed) {
    return FormSavePath(target + (kind == FormKind::kPatch ? L"_p" : L"_z"), installed);
}

namespace {

uint64_t Clusters(uint64_t size, uint64_t cluster) {
    return cluster > 1 ? (size + cluster - 1) / cluster * cluster : size;
}

}  // namespace

uint64_t PeakExtraSpace(const std::vector<tagSpaceStep>& steps, const std::map<std::wstring, uint64_t>& sizes,
                        uint64_t cluster) {
    std::map<std::wstring, uint64_t> now;  // folded path -> rounded size
    for (const auto& file : sizes) now[file.first] = Clusters(file.second, cluster);
    auto take = [&now](const std::wstring& path) {
        const auto found = now.find(FoldPath(path));
        if (found == now.end()) return uint64_t{0};
        const uint64_t size = found->second;
        now.erase(found);
        return size;
    };
    // Bytes used beyond today's; may go below zero before it rises again.
    int64_t extra = 0;
    int64_t peak = 0;
    for (const tagSpaceStep& step : steps) {
        switch (step.op) {
            case OpDownload: {
                const uint64_t size = Clusters(step.size > 0 ? static_cast<uint64_t>(step.size) : 0, cluster);
                const uint64_t body = Clusters(step.body > 0 ? static_cast<uint64_t>(step.body) : 0, cluster);
                // A body grows to its size, then the file decoded from it
                // (or the raw partial file) to the whole size beside the
                // old file; the body goes before the old file does.
                extra += static_cast<int64_t>(body) - static_cast<int64_t>(take(step.bodyPartial));
                extra += static_cast<int64_t>(size) - static_cast<int64_t>(take(step.partial));
                peak = std::max(peak, extra);
                extra -= static_cast<int64_t>(body);
                extra -= static_cast<int64_t>(take(step.path));
                now[FoldPath(step.path)] = size;
                break;
            }
            case OpDelete: extra -= static_cast<int64_t>(take(step.path)); break;
            case OpMove: {
                const std::wstring to = FoldPath(step.to);
                if (!now.count(FoldPath(step.path)) || (now.count(to) && to != FoldPath(step.path))) break;
                const uint64_t size = take(step.path);
                now[to] = size;
                break;
            }
            default: break;
        }
    }
    return static_cast<uint64_t>(peak);
}
