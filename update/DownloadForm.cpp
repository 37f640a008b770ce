#include "DownloadForm.h"

#include <algorithm>
#include <cwctype>
#include <map>
#include <sstream>

#include "DownloadCheck.h"
#include "UpdatePlan.h"
#include "VersionStore.h"

namespace {

// "FNAME SIZE SHA256" at the end of a form's text.
bool ReadTail(std::wistringstream& in, tagDownloadForm* form) {
    std::wstring size, sha256, rest;
    if (!(in >> form->fname >> size >> sha256) || (in >> rest)) return false;
    const uint64_t value = ParseVersion(size.c_str());
    if (value == 0 || size.find_first_not_of(L"0123456789") != std::wstring::npos) return false;
    form->size = value;
    return ParseSha256Hex(sha256.c_str(), form->sha256);
}

bool ReadNumber(const std::wstring& text, uint64_t* value) {
    if (text.empty() || text.find_first_not_of(L"0123456789") != std::wstring::npos) return false;
    *value = ParseVersion(text.c_str());
    return true;
}

std::wstring Attribute(const tagManifestItem& item, const wchar_t* name) {
    const wchar_t* value = item.node->GetAttribute(name, L"");
    return value ? value : L"";
}

// Windows paths compare without case.
std::wstring Fold(std::wstring path) {
    for (wchar_t& c : path) c = static_cast<wchar_t>(std::towlower(c));
    return path;
}

}  // namespace

std::vector<tagDownloadForm> ReadForms(const tagManifestItem& item) {
    std::vector<tagDownloadForm> forms(1);
    forms[0].fname = Attribute(item, L"fname");
    forms[0].size = item.size;
    if (!ParseSha256Hex(Attribute(item, L"sha256").c_str(), forms[0].sha256)) return forms;
    tagDownloadForm compressed;
    std::wistringstream zstd(Attribute(item, L"zstd"));
    if (ReadTail(zstd, &compressed)) {
        compressed.kind = FormKind::kZstd;
        forms.push_back(compressed);
    }
    const std::wstring patches = Attribute(item, L"patch");
    for (size_t start = 0; start < patches.size();) {
        const size_t end = std::min(patches.find(L';', start), patches.size());
        std::wistringstream in(patches.substr(start, end - start));
        tagDownloadForm patch;
        patch.kind = FormKind::kPatch;
        std::wstring base, since, until;
        if (in >> base >> since >> until && ParseSha256Hex(base.c_str(), patch.base) &&
            ReadNumber(since, &patch.since) && ReadNumber(until, &patch.until) && ReadTail(in, &patch)) {
            forms.push_back(patch);
        }
        start = end + 1;
    }
    return forms;
}

size_t ChooseForm(const std::vector<tagDownloadForm>& forms, uint64_t installedVersion, const tagBaseState& base,
                  unsigned failed, bool rawPartial) {
    size_t best = 0;
    if (rawPartial) return best;
    for (size_t i = 1; i < forms.size(); ++i) {
        const tagDownloadForm& form = forms[i];
        if (failed & FormBit(form.kind)) continue;
        if (form.kind == FormKind::kPatch) {
            const bool fits = base.how == tagBaseState::How::kInstalled
                                  ? form.since <= installedVersion && installedVersion < form.until
                                  : base.how == tagBaseState::How::kKnown &&
                                        std::equal(form.base, form.base + 32, base.digest);
            if (!fits) continue;
        }
        if (form.size < forms[best].size) best = i;
    }
    return best;
}

uint64_t LargestBody(const std::vector<tagDownloadForm>& forms, size_t chosen) {
    if (chosen >= forms.size() || forms[chosen].kind == FormKind::kRaw) return 0;
    uint64_t largest = forms[chosen].size;
    if (forms[chosen].kind != FormKind::kPatch) return largest;
    for (const tagDownloadForm& form : forms) {
        if (form.kind == FormKind::kZstd) largest = std::max(largest, form.size);
    }
    return largest;
}

uint64_t AssignForms(std::deque<tagManifestItem>& items, uint64_t installedVersion,
                     const std::function<bool(const std::wstring&)>& hasRawPartial) {
    std::map<std::wstring, tagBaseState> touched;
    const tagBaseState unknown = {tagBaseState::How::kUnknown, {}};
    auto stateOf = [&](const std::wstring& path) {
        const auto it = touched.find(Fold(path));
        return it == touched.end() ? tagBaseState() : it->second;
    };
    uint64_t total = 0;
    for (tagManifestItem& item : items) {
        switch (item.op) {
            case OpDownload: {
                const std::wstring path = Attribute(item, L"path");
                item.forms = ReadForms(item);
                item.base = stateOf(path);
                // Only an item with other forms looks at the disk.
                item.form = item.forms.size() == 1
                                ? 0
                                : ChooseForm(item.forms, installedVersion, item.base, 0, hasRawPartial(path));
                total += item.forms[item.form].size;
                tagBaseState after = unknown;
                if (ParseSha256Hex(Attribute(item, L"sha256").c_str(), after.digest)) {
                    after.how = tagBaseState::How::kKnown;
                }
                touched[Fold(path)] = after;
                break;
            }
            case OpDelete:
                touched[Fold(Attribute(item, L"path"))] = unknown;
                break;
            case OpMove: {
                // A rename that takes place carries the content along; one
                // that does not leaves both paths as they were, which the
                // result's digest check catches.
                const tagBaseState moved = stateOf(Attribute(item, L"src"));
                touched[Fold(Attribute(item, L"des"))] =
                    moved.how == tagBaseState::How::kKnown ? moved : unknown;
                touched[Fold(Attribute(item, L"src"))] = unknown;
                break;
            }
            default:
                break;
        }
    }
    return total;
}
