#include "SpaceCheck.h"

#include <windows.h>

#include <map>
#include <vector>

#include "EndState.h"

namespace {

void AddSize(const std::wstring& path, std::map<std::wstring, uint64_t>* sizes) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (path.empty() || !GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return;
    }
    (*sizes)[FoldPath(path)] = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::wstring Attribute(const ManifestItem& item, const wchar_t* name) {
    return item.node->GetAttribute(name, L"");
}

}  // namespace

bool EnoughSpace(const std::deque<ManifestItem>& queue, const std::set<std::wstring>& installed) {
    ULARGE_INTEGER available, total, free;
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
    if (!GetDiskFreeSpaceExW(L".", &available, &total, &free)) return true;
    const uint64_t cluster = GetDiskFreeSpaceW(nullptr, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters)
                                 ? uint64_t{sectorsPerCluster} * bytesPerSector
                                 : 1;
    std::vector<tagSpaceStep> steps;
    std::map<std::wstring, uint64_t> sizes;
    for (const ManifestItem& item : queue) {
        tagSpaceStep step;
        step.op = item.op == OpRepair ? OpDownload : item.op;
        step.path = item.op == OpRepair ? item.path : Attribute(item, item.op == OpMove ? L"src" : L"path");
        step.size = static_cast<int64_t>(item.size);
        if (step.op == OpDownload) {
            step.partial = DownloadSavePath(step.path, installed) + L"_";
            step.body = static_cast<int64_t>(LargestBody(item.forms, item.form));
            if (step.body != 0) {
                step.bodyPartial = FormBodySavePath(step.path, item.forms[item.form].kind, installed) + L"_";
            }
        } else if (step.op == OpMove) {
            step.to = Attribute(item, L"des");
        }
        AddSize(step.path, &sizes);
        AddSize(step.partial, &sizes);
        AddSize(step.bodyPartial, &sizes);
        AddSize(step.to, &sizes);
        steps.push_back(step);
    }
    return PeakExtraSpace(steps, sizes, cluster) <= available.QuadPart;
}
