#include "FormDecoder.h"

#include <windows.h>

#include <sodium.h>
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_d_stableOutBuffer
#include <zstd.h>

#include <memory>

#include "Sha256.h"
#include "base/UniqueHandle.h"

namespace {

const DWORD kChunk = 128 * 1024;
// A compressed form's window (publish keeps it at 16 MiB or less); a patch
// reaches back over its base and result, at most 1 GiB in a 32-bit process.
const int kMaxZstdWindowLog = 24;
const int kMaxPatchWindowLog = 30;

struct tagDCtxFree {
    void operator()(ZSTD_DCtx* dctx) const { ZSTD_freeDCtx(dctx); }
};
using DecoderPtr = std::unique_ptr<ZSTD_DCtx, tagDCtxFree>;

struct tagBuffer {
    std::unique_ptr<uint8_t[]> data{new (std::nothrow) uint8_t[kChunk]};
};

// Maps a whole file, read-only or for writing; false when it cannot.
bool MapFile(HANDLE file, uint64_t size, bool writable, kit::CKernelHandle* mapping, kit::CMappedView* view) {
    if (size == 0 || size > kMaxPatchedFile) return false;
    mapping->Reset(CreateFileMappingW(file, nullptr, writable ? PAGE_READWRITE : PAGE_READONLY,
                                      static_cast<DWORD>(size >> 32), static_cast<DWORD>(size), nullptr));
    if (!*mapping) return false;
    view->Reset(MapViewOfFile(mapping->Get(), writable ? FILE_MAP_WRITE : FILE_MAP_READ, 0, 0,
                              static_cast<SIZE_T>(size)));
    return static_cast<bool>(*view);
}

uint64_t FileSize(HANDLE file) {
    LARGE_INTEGER size;
    return GetFileSizeEx(file, &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
}

// Feeds the whole body to the decoder; `drain(out)` takes what each call
// produced. True when the frame ended exactly at the body's end.
template <typename Drain>
bool Feed(HANDLE body, ZSTD_DCtx* dctx, ZSTD_outBuffer* out, Drain drain) {
    tagBuffer input;
    if (!input.data) return false;
    size_t left = 1;
    DWORD got = 0;
    while (ReadFile(body, input.data.get(), kChunk, &got, nullptr) && got > 0) {
        if (left == 0) return false;  // bytes after the frame
        ZSTD_inBuffer in = {input.data.get(), got, 0};
        while (in.pos < in.size) {
            const size_t before = out->pos;
            const size_t consumed = in.pos;
            left = ZSTD_decompressStream(dctx, out, &in);
            // No progress: the result would outgrow its fixed buffer.
            if (ZSTD_isError(left) || (in.pos == consumed && out->pos == before)) return false;
            if (!drain(out, before) || (left == 0 && in.pos < in.size)) return false;
        }
    }
    // A full output buffer may still hold the end of the frame.
    while (left != 0) {
        ZSTD_inBuffer in = {nullptr, 0, 0};
        const size_t before = out->pos;
        left = ZSTD_decompressStream(dctx, out, &in);
        if (ZSTD_isError(left) || out->pos == before || !drain(out, before)) return false;
    }
    return true;
}

}  // namespace

bool DecodeForm(const std::wstring& body, const std::wstring& base, const std::wstring& output,
                const uint8_t expected[32]) {
    const kit::CFileHandle in(CreateFileW(body.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    DecoderPtr dctx(ZSTD_createDCtx());
    if (!in || !dctx) return false;
    // The result is hashed as the downloads are, with the faster engine.
    CSha256 sha;
    if (!sha.Begin()) return false;
    bool ok = false;
    {
        kit::CFileHandle out(CreateFileW(output.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!out) return false;
        if (base.empty()) {
            ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax, kMaxZstdWindowLog);
            tagBuffer chunk;
            ZSTD_outBuffer buffer = {chunk.data.get(), kChunk, 0};
            ok = chunk.data && Feed(in.Get(), dctx.get(), &buffer, [&](ZSTD_outBuffer* o, size_t) {
                     DWORD written = 0;
                     sha.Update(static_cast<uint8_t*>(o->dst), o->pos);
                     const bool stored = WriteFile(out.Get(), o->dst, static_cast<DWORD>(o->pos), &written,
                                                   nullptr) &&
                                         written == o->pos;
                     o->pos = 0;
                     return stored;
                 });
        } else {
            // The frame header names the result's size: the mapped result is
            // the decoder's whole output buffer, so it keeps no window of its own.
            uint8_t header[ZSTD_FRAMEHEADERSIZE_MAX];
            DWORD got = 0;
            const kit::CFileHandle old(CreateFileW(base.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
            kit::CKernelHandle baseMapping, resultMapping;
            kit::CMappedView baseView, resultView;
            const unsigned long long size =
                ReadFile(in.Get(), header, sizeof header, &got, nullptr) ? ZSTD_getFrameContentSize(header, got)
                                                                          : ZSTD_CONTENTSIZE_ERROR;
            LARGE_INTEGER end;
            end.QuadPart = static_cast<LONGLONG>(size);
            LARGE_INTEGER start = {};
            if (old && size <= kMaxPatchedFile && SetFilePointerEx(out.Get(), end, nullptr, FILE_BEGIN) &&
                SetEndOfFile(out.Get()) && SetFilePointerEx(in.Get(), start, nullptr, FILE_BEGIN) &&
                MapFile(old.Get(), FileSize(old.Get()), false, &baseMapping, &baseView) &&
                MapFile(out.Get(), size, true, &resultMapping, &resultView)) {
                ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax, kMaxPatchWindowLog);
                ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_stableOutBuffer, 1);
                ZSTD_outBuffer buffer = {resultView.Get(), static_cast<size_t>(size), 0};
                ok = !ZSTD_isError(ZSTD_DCtx_refPrefix(dctx.get(), baseView.Get(), FileSize(old.Get()))) &&
                     Feed(in.Get(), dctx.get(), &buffer, [&](ZSTD_outBuffer* o, size_t before) {
                         sha.Update(static_cast<uint8_t*>(o->dst) + before, o->pos - before);
                         return true;
                     }) &&
                     buffer.pos == size;
            }
        }
    }
    uint8_t digest[CSha256::kSize];
    ok = sha.Finish(digest) && ok && sodium_memcmp(digest, expected, sizeof digest) == 0;
    if (!ok) DeleteFileW(output.c_str());
    return ok;
}
