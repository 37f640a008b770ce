#include "SoundDecode.h"

#include <windows.h>
#include <mmsystem.h>

#include <lame/lame.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <vector>

namespace {

DWORD ReadLe32(const unsigned char* p) {
    return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 | static_cast<DWORD>(p[2]) << 16 |
           static_cast<DWORD>(p[3]) << 24;
}

template <size_t N>
bool IsTag(const unsigned char* p, const char (&tag)[N]) {
    return std::memcmp(p, tag, N - 1) == 0;
}

// Offsets are 64-bit so that no chunk size, however large, wraps around.
using Offset = unsigned long long;

// Room kept free in each scratch array before a decoding call: a frame gives
// at most 1,152 samples per channel, and the decoder's own per-frame output
// area holds 4,096 samples in all.
constexpr unsigned kMaxFrameSamples = 4096;
constexpr size_t kSpanBytes = 1152;
// Input fed without a frame coming out, after which decoding gives up. While
// the decoder finds no frame header it keeps every byte and scans them all
// again on each call, so a long stretch without frames (a file of zeros or
// text, a damaged middle) costs time quadratic in its length. The longest
// real frame is under 3 KB; the decoder lags two or three frames behind.
constexpr Offset kMaxBytesWithoutFrame = 64 * 1024;

class CDecoder {
public:
    CDecoder() : hip_(hip_decode_init()) {}
    ~CDecoder() {
        if (hip_) hip_decode_exit(hip_);
    }
    CDecoder(const CDecoder&) = delete;
    CDecoder& operator=(const CDecoder&) = delete;
    hip_t Get() const { return hip_; }

private:
    hip_t hip_;
};

// Collects the decoder's output as interleaved 16-bit samples.
class CPcmCollector {
public:
    CPcmCollector(short* left, short* right, unsigned scratchSamples, std::vector<short>* pcm)
        : left_(left), right_(right), capacity_(scratchSamples), pcm_(*pcm) {}

    // Feeds `len` bytes (0 to flush what the decoder holds) and takes every
    // frame that becomes complete, one frame per call so that the scratch
    // arrays can never overflow. Returns the samples per channel taken, or -1
    // once the decoder reports an error.
    int Feed(hip_t hip, const unsigned char* data, size_t len) {
        int total = 0;
        for (;;) {
            if (capacity_ - used_ < kMaxFrameSamples && !Flush()) return -1;
            mp3data_struct info = {};
            const int n = hip_decode1_headers(hip, const_cast<unsigned char*>(data), len, left_ + used_,
                                              right_ + used_, &info);
            if (n < 0) return -1;
            if (n == 0) return total;
            if (!info.header_parsed || info.stereo < 1 || info.stereo > 2 || info.samplerate <= 0) return -1;
            channels_ = info.stereo;
            rate_ = info.samplerate;
            used_ += static_cast<unsigned>(n);
            total += n;
            len = 0;
        }
    }

    // Moves the scratch contents to the sequence; false when memory is short.
    bool Flush() {
        const size_t at = pcm_.size();
        try {
            // resize grows geometrically: one copy per doubling, not per flush.
            pcm_.resize(at + static_cast<size_t>(channels_) * used_);
        } catch (const std::exception&) {
            return false;
        }
        short* out = pcm_.data() + at;
        if (channels_ == 1) {
            std::copy(left_, left_ + used_, out);
        } else {
            for (unsigned i = 0; i < used_; ++i) {
                out[2 * i] = left_[i];
                out[2 * i + 1] = right_[i];
            }
        }
        used_ = 0;
        return true;
    }

    int Channels() const { return channels_; }
    int Rate() const { return rate_; }

private:
    short* left_;
    short* right_;
    unsigned capacity_;
    unsigned used_ = 0;
    int channels_ = 0;
    int rate_ = 0;
    std::vector<short>& pcm_;
};

}  // namespace

bool ParseWave(const unsigned char* image, unsigned size, std::vector<unsigned char>* format,
               const unsigned char** samples, DWORD* byteLength) {
    const Offset length = size;
    if (length < 20 || !IsTag(image, "RIFF") || ReadLe32(image + 4) > size || !IsTag(image + 8, "WAVE") ||
        !IsTag(image + 12, "fmt ")) {
        return false;
    }
    const Offset formatSize = ReadLe32(image + 16);
    if (formatSize < 16) return false;
    Offset chunk = 20 + formatSize;
    if (chunk + 8 <= length && IsTag(image + chunk, "fact")) chunk += 8 + ReadLe32(image + chunk + 4);
    if (chunk + 8 > length || !IsTag(image + chunk, "data")) return false;
    const Offset dataSize = ReadLe32(image + chunk + 4);
    const Offset dataStart = chunk + 8;
    if (dataStart + dataSize > length) return false;

    // The record as stored, at least a whole WAVEFORMATEX; an extra-size
    // field that claims more than the record holds is cut to what it holds.
    try {
        format->assign(std::max<Offset>(formatSize, sizeof(WAVEFORMATEX)), 0);
    } catch (const std::exception&) {
        return false;
    }
    std::memcpy(format->data(), image + 20, formatSize);
    WAVEFORMATEX* record = reinterpret_cast<WAVEFORMATEX*>(format->data());
    if (record->wFormatTag == WAVE_FORMAT_PCM) {
        record->cbSize = 0;
    } else {
        record->cbSize =
            static_cast<WORD>(std::min<Offset>(record->cbSize, format->size() - sizeof(WAVEFORMATEX)));
    }
    *samples = image + dataStart;
    *byteLength = static_cast<DWORD>(dataSize);
    return true;
}

bool DecodeMpeg(const unsigned char* image, unsigned size, short* left, short* right, unsigned scratchSamples,
                WAVEFORMATEX* format, std::vector<short>* pcm) {
    if (size < 10) return false;
    Offset begin = 0;
    Offset end = size;
    if (IsTag(image, "ID3")) {
        // Syncsafe size: seven bits per byte, most significant first.
        const Offset tagSize = (image[6] & 0x7Fu) << 21 | (image[7] & 0x7Fu) << 14 | (image[8] & 0x7Fu) << 7 |
                               (image[9] & 0x7Fu);
        begin = 10 + tagSize;
        if (begin >= end) return false;
    }
    if (end - begin >= 128 && IsTag(image + end - 128, "TAG")) end -= 128;

    CDecoder decoder;
    if (!decoder.Get()) return false;
    CPcmCollector collector(left, right, scratchSamples, pcm);
    bool failed = false;
    // Counted from the ID3v2 tag's end until a first frame is decoded.
    Offset lastFrameFed = begin;
    for (Offset at = begin; at < end && !failed && at - lastFrameFed < kMaxBytesWithoutFrame;
         at += kSpanBytes) {
        const size_t span = static_cast<size_t>(std::min<Offset>(kSpanBytes, end - at));
        const int n = collector.Feed(decoder.Get(), image + at, span);
        failed = n < 0;
        if (n > 0) lastFrameFed = at + span;
    }
    // The decoder still holds the last frames after the last span: calls
    // without new input release them until one gives nothing.
    while (!failed) {
        const int n = collector.Feed(decoder.Get(), nullptr, 0);
        failed = n < 0;
        if (n == 0) break;
    }
    if (!collector.Flush()) return false;
    const int channels = collector.Channels();
    // A damaged stream may change its channel count: keep whole sample frames.
    if (channels == 0 || pcm->size() < static_cast<size_t>(channels)) return false;
    pcm->resize(pcm->size() / channels * channels);

    *format = {};
    format->wFormatTag = WAVE_FORMAT_PCM;
    format->nChannels = static_cast<WORD>(channels);
    format->nSamplesPerSec = static_cast<DWORD>(collector.Rate());
    format->wBitsPerSample = 16;
    format->nBlockAlign = static_cast<WORD>(2 * channels);
    format->nAvgBytesPerSec = format->nBlockAlign * format->nSamplesPerSec;
    format->cbSize = 0;
    return true;
}
