#include "Planner.h"

#include <algorithm>
#include <limits>
#include <map>
#include <set>

namespace publish {
namespace {

// Windows compares file names without regard to case; ASCII folding covers
// the names game folders use.
std::string Fold(const std::string& path) {
    std::string folded = path;
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return folded;
}

// Every folder on the way to path: "a", "a\b" for "a\b\c".
std::vector<std::string> Ancestors(const std::string& path) {
    std::vector<std::string> ancestors;
    for (size_t at = path.find('\\'); at != std::string::npos; at = path.find('\\', at + 1)) {
        ancestors.push_back(path.substr(0, at));
    }
    return ancestors;
}

// Length in UTF-16 code units, or -1 when text is not valid UTF-8.
long Utf16Length(const std::string& text) {
    long units = 0;
    for (size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        size_t extra;
        uint32_t code;
        if (lead < 0x80) {
            extra = 0;
            code = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            code = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            code = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            code = lead & 0x07;
        } else {
            return -1;
        }
        if (i + extra >= text.size()) return -1;
        for (size_t k = 1; k <= extra; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return -1;
            code = code << 6 | (next & 0x3F);
        }
        static const uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (code < kMinimum[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return -1;
        units += code >= 0x10000 ? 2 : 1;
        i += extra + 1;
    }
    return units;
}

// Device names, with any extension: the console's own ones and the serial
// and parallel ports with a superscript digit count too.
bool IsReservedDeviceName(const std::string& component) {
    std::string stem = Fold(component.substr(0, component.find('.')));
    while (!stem.empty() && stem.back() == ' ') stem.pop_back();
    static const char* const kNames[] = {"con", "prn", "aux", "nul", "conin$", "conout$", "clock$"};
    for (const char* name : kNames) {
        if (stem == name) return true;
    }
    if (stem.size() < 4 || (stem.compare(0, 3, "com") != 0 && stem.compare(0, 3, "lpt") != 0)) return false;
    const std::string number = stem.substr(3);
    // U+00B9, U+00B2 and U+00B3 in UTF-8.
    return (number.size() == 1 && number[0] >= '1' && number[0] <= '9') || number == "\xC2\xB9" ||
           number == "\xC2\xB2" || number == "\xC2\xB3";
}

bool Refuse(std::string* refusal, const std::string& text) {
    *refusal = text;
    return false;
}

// A run item names its program relative to the game folder, often as ".\x".
std::string FoldRelative(std::string path) {
    while (path.compare(0, 2, ".\\") == 0) path.erase(0, 2);
    return Fold(path);
}

// Reads a path: a move from it or a program run from it needs the file there.
bool Reads(const tagItem& item, const std::string& folded) {
    const int op = item.Op();
    if (op == kOpMove) return Fold(item.Get("src")) == folded || Fold(item.Get("des")) == folded;
    if (op == kOpRun) return FoldRelative(item.Get("path")) == folded;
    return false;
}

// What a fresh install holds after the items, by folded path: the content's
// SHA-256 where the item names it.
using Installed = std::map<std::string, std::string>;

void Apply(const tagItem& item, Installed* installed) {
    switch (item.Op()) {
        case kOpDownload: (*installed)[Fold(item.Get("path"))] = Fold(item.Get("sha256")); break;
        case kOpDelete: installed->erase(Fold(item.Get("path"))); break;
        case kOpMove: {
            // A rename neither replaces an existing file nor moves a missing one.
            const auto from = installed->find(Fold(item.Get("src")));
            const std::string to = Fold(item.Get("des"));
            if (from != installed->end() && !installed->count(to)) {
                const std::string sha = from->second;
                installed->erase(from);
                (*installed)[to] = sha;
            }
            break;
        }
        default: break;
    }
}

// The old folder must be what the manifest installs, or the difference
// would be computed against the wrong version.
bool CheckOldFolder(const tagManifest& current, const std::vector<tagFileEntry>& old, std::string* refusal) {
    Installed installed;
    for (const tagItem& item : current.items_) Apply(item, &installed);
    std::set<std::string> seen;
    for (const tagFileEntry& entry : old) {
        const auto it = installed.find(Fold(entry.path_));
        if (it == installed.end()) {
            return Refuse(refusal, "the old folder is not version " + std::to_string(current.version_) +
                                       " of the site: it has " + entry.path_ + ", which the manifest does not install");
        }
        if (!it->second.empty() && it->second != entry.sha256_) {
            return Refuse(refusal, "the old folder is not version " + std::to_string(current.version_) +
                                       " of the site: " + entry.path_ + " differs from the released file");
        }
        seen.insert(it->first);
    }
    for (const auto& file : installed) {
        if (!seen.count(file.first)) {
            return Refuse(refusal, "the old folder is not version " + std::to_string(current.version_) +
                                       " of the site: " + file.first + " is missing from it");
        }
    }
    return true;
}

// The updater creates folders but never removes one, and cannot put a file
// where a file is still in the way of a folder.
bool CheckPlacements(const std::vector<tagItem>& earlier, const std::vector<tagItem>& added, std::string* refusal) {
    Installed installed;
    std::set<std::string> folders;
    auto place = [&](const std::string& path) {
        for (const std::string& folder : Ancestors(Fold(path))) folders.insert(folder);
    };
    // Any path an earlier item names may have left its folders on clients,
    // deleted files' too.
    for (const tagItem& item : earlier) {
        Apply(item, &installed);
        for (const char* name : {"path", "src", "des"}) place(item.Get(name));
    }
    for (const tagItem& item : added) {
        const std::string path = item.Get(item.Op() == kOpMove ? "des" : "path");
        if (item.Op() != kOpDelete) {
            if (folders.count(Fold(path))) {
                return Refuse(refusal, path + " was a folder in an earlier version: the updater cannot replace a "
                                              "folder with a file");
            }
            for (const std::string& folder : Ancestors(Fold(path))) {
                if (installed.count(folder)) {
                    return Refuse(refusal, path + " needs the folder " + folder +
                                                  ", which clients still have as a file");
                }
            }
            place(path);
        }
        Apply(item, &installed);
    }
    return true;
}

}  // namespace

std::string StoreName(const std::string& sha256) { return sha256.substr(0, 2) + "/" + sha256; }

bool CheckVersion(const tagManifest& current, uint64_t version, std::string* refusal) {
    if (version > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        return Refuse(refusal, "version " + std::to_string(version) + " is too large for the updater");
    }
    if (version <= current.version_) {
        return Refuse(refusal, "version " + std::to_string(version) + " is not greater than the site's version " +
                                   std::to_string(current.version_));
    }
    return true;
}

bool CheckInstallablePath(const std::string& path, std::string* refusal) {
    const long length = Utf16Length(path);
    if (length < 0) return Refuse(refusal, "file name is not valid UTF-8: " + path);
    if (length > kMaxRelativePath) {
        return Refuse(refusal,
                      "path of " + std::to_string(length) + " characters (at most " +
                          std::to_string(kMaxRelativePath) +
                          ", so that it fits under Windows' 260 in a typical install folder): " + path);
    }
    size_t start = 0;
    while (true) {
        const size_t end = std::min(path.find('\\', start), path.size());
        const std::string component = path.substr(start, end - start);
        if (component.empty() || component == "." || component == "..") {
            return Refuse(refusal, "path with an empty, . or .. component: " + path);
        }
        for (char c : component) {
            if (static_cast<unsigned char>(c) < 0x20 || std::string("<>:\"/|?*").find(c) != std::string::npos) {
                return Refuse(refusal, "name with a character Windows forbids: " + path);
            }
        }
        if (component.back() == '.' || component.back() == ' ') {
            return Refuse(refusal, "name ending in a dot or blank, which Windows drops: " + path);
        }
        if (IsReservedDeviceName(component)) return Refuse(refusal, "name Windows reserves for a device: " + path);
        if (end == path.size()) return true;
        start = end + 1;
    }
}

// The updater downloads "x" into "x_" before it renames it: a file or
// folder of that name beside "x" would be taken for the partial file.
bool CheckPartialNames(const std::map<std::string, const tagFileEntry*>& folded, std::string* refusal) {
    std::map<std::string, std::string> names;  // folded files and folders -> as written
    for (const auto& file : folded) {
        names.emplace(file.first, file.second->path_);
        for (const std::string& folder : Ancestors(file.first)) {
            names.emplace(folder, file.second->path_.substr(0, folder.size()));
        }
    }
    for (const auto& file : folded) {
        const auto clash = names.find(file.first + "_");
        if (clash != names.end()) {
            return Refuse(refusal, clash->second + " is named like the partial file of " + file.second->path_ +
                                       " (its name and _): the updater downloads into that name");
        }
    }
    return true;
}

bool PlanRelease(const tagReleaseInput& input, tagReleasePlan* plan, std::string* refusal) {
    *plan = tagReleasePlan();
    if (!CheckVersion(input.current_, input.version_, refusal)) return false;
    if (input.hasOld_) {
        if (input.current_.items_.empty()) {
            return Refuse(refusal, "the site has no items for game " + std::to_string(input.game_) +
                                       " yet: a first release installs everything and takes no old folder");
        }
        if (!CheckOldFolder(input.current_, input.old_, refusal)) return false;
    }

    std::map<std::string, const tagFileEntry*> folded;
    for (const tagFileEntry& entry : input.new_) {
        if (!CheckInstallablePath(entry.path_, refusal)) return false;
        if (entry.size_ > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
            return Refuse(refusal, entry.path_ + " is larger than the manifest's size can hold");
        }
        const auto inserted = folded.emplace(Fold(entry.path_), &entry);
        if (!inserted.second) {
            return Refuse(refusal, inserted.first->second->path_ + " and " + entry.path_ +
                                       " differ only in case: one file on Windows");
        }
    }

    if (!CheckPartialNames(folded, refusal)) return false;

    std::map<std::string, const tagFileEntry*> oldByPath;
    std::map<std::string, const tagFileEntry*> newByPath;
    for (const tagFileEntry& entry : input.old_) oldByPath[entry.path_] = &entry;
    for (const tagFileEntry& entry : input.new_) newByPath[entry.path_] = &entry;

    // Gone files by content, in path order, for pairing with added ones.
    std::map<std::string, std::vector<const tagFileEntry*>> goneBySha;
    std::set<std::string> moved;
    for (const auto& old : oldByPath) {
        if (!newByPath.count(old.first)) goneBySha[old.second->sha256_].push_back(old.second);
    }
    std::vector<tagItem> deletes, moves, downloads;
    for (const auto& entry : newByPath) {
        const auto old = oldByPath.find(entry.first);
        if (old != oldByPath.end() && old->second->sha256_ == entry.second->sha256_) continue;
        if (old == oldByPath.end()) {
            auto& candidates = goneBySha[entry.second->sha256_];
            if (!candidates.empty()) {
                moves.push_back(MakeMove(input.version_, candidates.front()->path_, entry.first));
                moved.insert(candidates.front()->path_);
                candidates.erase(candidates.begin());
                continue;
            }
        }
        downloads.push_back(MakeDownload(input.version_, entry.first, StoreName(entry.second->sha256_),
                                         entry.second->size_, entry.second->sha256_));
        const bool stored = std::any_of(plan->stored_.begin(), plan->stored_.end(), [&](const tagFileEntry& s) {
            return s.sha256_ == entry.second->sha256_;
        });
        if (!stored) plan->stored_.push_back(*entry.second);
    }
    for (const auto& old : oldByPath) {
        if (!newByPath.count(old.first) && !moved.count(old.first)) {
            if (!CheckInstallablePath(old.first, refusal)) return false;
            deletes.push_back(MakeDelete(input.version_, old.first));
        }
    }
    for (const tagItem& move : moves) {
        if (!CheckInstallablePath(move.Get("src"), refusal)) return false;
    }
    // Deletes first (a file may stand where a new folder goes), then moves
    // (they read old paths), then downloads; each sorted by path.
    std::sort(moves.begin(), moves.end(),
              [](const tagItem& a, const tagItem& b) { return a.Get("des") < b.Get("des"); });
    std::vector<tagItem> added = deletes;
    added.insert(added.end(), moves.begin(), moves.end());
    added.insert(added.end(), downloads.begin(), downloads.end());
    if (!CheckPlacements(input.current_.items_, added, refusal)) return false;

    // An earlier download of a path this version downloads again or deletes
    // is useless to every client, unless something in between reads the file.
    const std::vector<tagItem>& earlier = input.current_.items_;
    std::vector<tagItem> items;
    for (size_t i = 0; i < earlier.size(); ++i) {
        const tagItem& item = earlier[i];
        bool superseded = false;
        if (item.Op() == kOpDownload) {
            const std::string path = Fold(item.Get("path"));
            bool read = false;
            for (size_t k = i + 1; k < earlier.size() && !read; ++k) read = Reads(earlier[k], path);
            for (const tagItem& later : added) {
                if (read) break;
                if (later.Op() != kOpMove && Fold(later.Get("path")) == path) {
                    superseded = true;
                    break;
                }
                read = Reads(later, path);
            }
        }
        if (superseded) {
            ++plan->dropped_;
        } else {
            items.push_back(item);
        }
    }
    plan->kept_ = items.size();
    items.insert(items.end(), added.begin(), added.end());

    plan->downloads_ = downloads.size();
    plan->deletes_ = deletes.size();
    plan->moves_ = moves.size();
    plan->manifest_.game_ = input.game_;
    plan->manifest_.version_ = input.version_;
    plan->manifest_.url_ = input.url_;
    plan->manifest_.items_ = std::move(items);
    return true;
}

}  // namespace publish
