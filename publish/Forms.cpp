#include "Forms.h"

#include <algorithm>
#include <limits>
#include <sstream>

#include "Manifest.h"

#include <sodium.h>

#include "Files.h"
#include "Minisign.h"

#ifdef PUBLISH_WITH_ZSTD
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "Progress.h"
#endif

namespace publish {
namespace {

std::string Sha256Of(const std::string& bytes) {
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return HexOf(digest, sizeof digest);
}

bool IsSha256(const std::string& text) {
    return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// "FNAME SIZE SHA256" at the end of a form's text.
bool ParseTail(std::istringstream& in, tagForm* form) {
    std::string size, rest;
    if (!(in >> form->fname_ >> size >> form->sha256_) || (in >> rest)) return false;
    return !form->fname_.empty() && ParseDecimal(size, std::numeric_limits<int64_t>::max(), &form->size_) &&
           IsSha256(form->sha256_);
}

}  // namespace

std::string FormatZstdForm(const tagForm& form) {
    return form.fname_ + " " + std::to_string(form.size_) + " " + form.sha256_;
}

bool ParseZstdForm(const std::string& text, tagForm* form) {
    *form = tagForm();
    std::istringstream in(text);
    return ParseTail(in, form);
}

std::string FormatPatchForms(const std::vector<tagForm>& forms) {
    std::string out;
    for (const tagForm& form : forms) {
        if (!out.empty()) out += ';';
        out += form.base_ + " " + std::to_string(form.since_) + " " + std::to_string(form.until_) + " " +
               FormatZstdForm(form);
    }
    return out;
}

bool ParsePatchForms(const std::string& text, std::vector<tagForm>* forms) {
    forms->clear();
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = std::min(text.find(';', start), text.size());
        std::istringstream in(text.substr(start, end - start));
        tagForm form;
        std::string since, until;
        if (!(in >> form.base_ >> since >> until) || !IsSha256(form.base_) ||
            !ParseDecimal(since, std::numeric_limits<int64_t>::max(), &form.since_) ||
            !ParseDecimal(until, std::numeric_limits<int64_t>::max(), &form.until_) || form.since_ >= form.until_ ||
            !ParseTail(in, &form)) {
            return false;
        }
        forms->push_back(form);
        start = end + 1;
    }
    return true;
}

std::vector<tagForm> PatchBases(const tagManifest& current, const std::vector<tagFileEntry>& old,
                                const std::string& path, uint64_t version, size_t count) {
    std::vector<tagForm> bases;
    const auto held = std::find_if(old.begin(), old.end(), [&](const tagFileEntry& e) { return e.path_ == path; });
    if (held == old.end() || count == 0) return bases;
    // The last item that put something at the path, or took it away.
    const tagItem* last = nullptr;
    for (const tagItem& item : current.items_) {
        const int op = item.Op();
        if (((op == kOpDownload || op == kOpDelete) && item.Get("path") == path) ||
            (op == kOpMove && item.Get("des") == path)) {
            last = &item;
        }
    }
    if (!last || last->Op() == kOpDelete || last->Version() >= version) return bases;
    tagForm newest;
    newest.base_ = held->sha256_;
    newest.since_ = last->Version();
    newest.until_ = version;
    bases.push_back(newest);
    std::vector<tagForm> earlier;
    if (last->Op() == kOpDownload && ParsePatchForms(last->Get("patch"), &earlier)) {
        for (const tagForm& form : earlier) {
            if (bases.size() == count) break;
            if (form.base_ == newest.base_) continue;
            tagForm base;
            base.base_ = form.base_;
            base.since_ = form.since_;
            base.until_ = form.until_;
            bases.push_back(base);
        }
    }
    return bases;
}

#ifdef PUBLISH_WITH_ZSTD
namespace {

// The updater decodes a compressed form with a window of at most this many
// bits (16 MiB), whatever the level asks for.
constexpr unsigned kMaxZstdWindowLog = 24;
// A 32-bit decoder takes windows up to 1 GiB: base and result of a patch
// together stay under it.
constexpr unsigned kMaxPatchWindowLog = 30;

struct tagCCtxFree {
    void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct tagDCtxFree {
    void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};

unsigned BitsFor(uint64_t size) {
    unsigned bits = 0;
    while (bits < 63 && (1ull << bits) < size) ++bits;
    return bits;
}

// One zstd frame of `source`; with `base`, a patch from it (the library's
// reference prefix, with long-distance matching over both).
bool Compress(const std::string& source, const std::string* base, int level, std::string* out) {
    std::unique_ptr<ZSTD_CCtx, tagCCtxFree> cctx(ZSTD_createCCtx());
    if (!cctx) return false;
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, level);
    if (base) {
        const unsigned bits = std::max(BitsFor(std::max<uint64_t>(source.size(), base->size())) + 1,
                                       static_cast<unsigned>(ZSTD_WINDOWLOG_MIN));
        ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_windowLog, static_cast<int>(std::min(bits, kMaxPatchWindowLog)));
        ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_enableLongDistanceMatching, 1);
        if (ZSTD_isError(ZSTD_CCtx_refPrefix(cctx.get(), base->data(), base->size()))) return false;
    } else {
        const ZSTD_compressionParameters params = ZSTD_getCParams(level, source.size(), 0);
        if (params.windowLog > kMaxZstdWindowLog) {
            ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_windowLog, static_cast<int>(kMaxZstdWindowLog));
        }
    }
    out->resize(ZSTD_compressBound(source.size()));
    const size_t size = ZSTD_compress2(cctx.get(), &(*out)[0], out->size(), source.data(), source.size());
    if (ZSTD_isError(size)) return false;
    out->resize(size);
    return true;
}

fs::path FolderFile(const std::string& root, const std::string& path) {
    std::string relative = path;
    std::replace(relative.begin(), relative.end(), '\\', '/');
    return PathFromUtf8(root) / PathFromUtf8(relative);
}

struct tagJob {
    size_t item_ = 0;
    tagForm form_;  // base_ empty: the compressed form
    std::string bytes_;
    bool done_ = false;
};

// Stores `bytes` under their digest unless the store has them.
bool StoreBytes(const std::string& store, const std::string& bytes, const std::string& sha256, size_t* added,
                std::string* error) {
    const fs::path target = PathFromUtf8(store) / PathFromUtf8(StoreName(sha256));
    std::error_code ec;
    if (fs::is_regular_file(target, ec) && fs::file_size(target, ec) == bytes.size() && !ec) return true;
    fs::create_directories(target.parent_path(), ec);
    if (!WriteWholeFile(target, bytes, false, error)) return false;
    ++*added;
    return true;
}

}  // namespace

bool AddForms(const tagManifest& current, const std::vector<tagFileEntry>& old, const std::string& root,
              const std::string& store, const tagFormOptions& options, tagManifest* manifest, size_t* added,
              std::string* error) {
    std::vector<tagJob> jobs;
    uint64_t total = 0;
    for (size_t i = 0; i < manifest->items_.size(); ++i) {
        const tagItem& item = manifest->items_[i];
        if (item.Op() != kOpDownload || item.Version() != manifest->version_) continue;
        uint64_t size = 0;
        ParseDecimal(item.Get("size"), std::numeric_limits<int64_t>::max(), &size);
        if (size == 0) continue;
        tagJob compressed;
        compressed.item_ = i;
        jobs.push_back(compressed);
        total += size;
        if (size > kMaxPatchFile) continue;
        for (const tagForm& base : PatchBases(current, old, item.Get("path"), manifest->version_,
                                              options.patchBases_)) {
            tagJob patch;
            patch.item_ = i;
            patch.form_ = base;
            jobs.push_back(patch);
            total += size;
        }
    }
    if (jobs.empty()) return true;

    std::mutex lock;
    std::string firstError;
    std::atomic<size_t> next(0);
    CProgress progress("compressing", total);
    auto work = [&]() {
        for (size_t index; (index = next++) < jobs.size();) {
            tagJob& job = jobs[index];
            const tagItem& item = manifest->items_[job.item_];
            std::string source, base, problem;
            bool ok = ReadWholeFile(FolderFile(root, item.Get("path")), &source, &problem);
            // A base too large for the updater's memory gives no patch.
            bool wanted = true;
            if (ok && !job.form_.base_.empty()) {
                ok = ReadWholeFile(PathFromUtf8(store) / PathFromUtf8(StoreName(job.form_.base_)), &base, &problem);
                wanted = base.size() <= kMaxPatchFile;
            }
            if (ok && wanted &&
                !Compress(source, job.form_.base_.empty() ? nullptr : &base, options.level_, &job.bytes_)) {
                problem = "zstd cannot compress " + item.Get("path");
                ok = false;
            }
            std::lock_guard<std::mutex> hold(lock);
            if (!ok && firstError.empty()) firstError = problem;
            job.done_ = ok && wanted;
            // Counted also when no patch is made, so that the bar ends full.
            progress.Advance(source.size());
        }
    };
    std::vector<std::thread> threads;
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned t = 1; t < cores && t < jobs.size(); ++t) threads.emplace_back(work);
    work();
    for (std::thread& thread : threads) thread.join();
    if (!firstError.empty()) {
        *error = firstError;
        return false;
    }

    // A form is kept when it saves enough: the compressed file 3 % of the
    // raw one, a patch 10 % of the cheapest other form.
    for (size_t i = 0, j = 0; j < jobs.size(); ++i) {
        if (jobs[j].item_ != i) continue;
        tagItem& item = manifest->items_[i];
        uint64_t raw = 0;
        ParseDecimal(item.Get("size"), std::numeric_limits<int64_t>::max(), &raw);
        uint64_t cheapest = raw;
        std::vector<tagForm> patches;
        for (; j < jobs.size() && jobs[j].item_ == i; ++j) {
            tagJob& job = jobs[j];
            if (!job.done_) continue;
            tagForm form = job.form_;
            form.size_ = job.bytes_.size();
            form.sha256_ = Sha256Of(job.bytes_);
            form.fname_ = StoreName(form.sha256_);
            const bool compressed = form.base_.empty();
            if (compressed ? form.size_ * 100 > raw * 97 : form.size_ * 10 > cheapest * 9) continue;
            if (!StoreBytes(store, job.bytes_, form.sha256_, added, error)) return false;
            if (compressed) {
                cheapest = form.size_;
                item.attributes_.emplace_back("zstd", FormatZstdForm(form));
            } else {
                patches.push_back(form);
            }
        }
        if (!patches.empty()) item.attributes_.emplace_back("patch", FormatPatchForms(patches));
    }
    return true;
}

#endif

bool CheckForm(const std::string& store, const tagForm& form, const std::string& sha256, std::string* problem) {
    std::string bytes, base;
    if (form.fname_ != StoreName(form.sha256_)) {
        *problem = "fname is not the store's name of its SHA-256";
        return false;
    }
    if (!ReadWholeFile(PathFromUtf8(store) / PathFromUtf8(form.fname_), &bytes, problem)) return false;
    if (bytes.size() != form.size_ || Sha256Of(bytes) != form.sha256_) {
        *problem = "size or SHA-256 differs from the manifest's";
        return false;
    }
#ifndef PUBLISH_WITH_ZSTD
    (void)sha256;
    return true;
#else
    std::unique_ptr<ZSTD_DCtx, tagDCtxFree> dctx(ZSTD_createDCtx());
    if (!dctx) {
        *problem = "out of memory";
        return false;
    }
    ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax,
                           static_cast<int>(form.base_.empty() ? kMaxZstdWindowLog : kMaxPatchWindowLog));
    if (!form.base_.empty()) {
        if (!ReadWholeFile(PathFromUtf8(store) / PathFromUtf8(StoreName(form.base_)), &base, problem)) return false;
        ZSTD_DCtx_refPrefix(dctx.get(), base.data(), base.size());
    }
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    std::string chunk(1 << 20, '\0');
    ZSTD_inBuffer in = {bytes.data(), bytes.size(), 0};
    size_t left = 1;
    while (left != 0) {
        ZSTD_outBuffer out = {&chunk[0], chunk.size(), 0};
        left = ZSTD_decompressStream(dctx.get(), &out, &in);
        if (ZSTD_isError(left) || (left != 0 && in.pos == in.size && out.pos == 0)) {
            *problem = "does not decode";
            return false;
        }
        crypto_hash_sha256_update(&state, reinterpret_cast<const unsigned char*>(chunk.data()), out.pos);
    }
    unsigned char digest[crypto_hash_sha256_BYTES];
    crypto_hash_sha256_final(&state, digest);
    if (in.pos != in.size || HexOf(digest, sizeof digest) != sha256) {
        *problem = "decodes to another content than the item's";
        return false;
    }
    return true;
#endif
}

}  // namespace publish
