#include "ContentDecoder.h"

#include "StringHelpers.h"

namespace {

// Decoded bytes are produced and handed on in steps of this size.
constexpr uInt kOutputStep = 4096;
constexpr int kGzipWindow = 15 + 16;
constexpr int kZlibWindow = 15;
constexpr int kRawWindow = -15;
constexpr Bytef kGzipMagic = 0x1f;

// A zlib header: compression method 8, a window of at most 32 KB, and a
// check value that makes the first two bytes a multiple of 31.
bool IsZlibHeader(Bytef cmf, Bytef flg) {
    return (cmf & 0x0f) == 8 && (cmf >> 4) <= 7 && ((cmf << 8) | flg) % 31 == 0;
}

}  // namespace

CContentDecoder::Coding CContentDecoder::FromHeader(const std::wstring& value) {
    std::wstring coding = value;
    _ServerEngine::TrimString(coding);
    if (coding.empty() || _ServerEngine::CompareNoCase(coding, L"identity") == 0) return Coding::Identity;
    if (_ServerEngine::CompareNoCase(coding, L"gzip") == 0 || _ServerEngine::CompareNoCase(coding, L"x-gzip") == 0)
        return Coding::Gzip;
    if (_ServerEngine::CompareNoCase(coding, L"deflate") == 0) return Coding::Deflate;
    return Coding::Unsupported;
}

void CContentDecoder::Reset(Coding coding) {
    if (streamOpen_) inflateEnd(&stream_);
    streamOpen_ = false;
    coding_ = coding;
    state_ = State::Idle;
    sniffedLength_ = 0;
}

bool CContentDecoder::Finished() const {
    return state_ == State::Idle || state_ == State::BetweenMembers || state_ == State::Done;
}

bool CContentDecoder::Start(int windowBits) {
    stream_ = z_stream{};
    if (inflateInit2(&stream_, windowBits) != Z_OK) {
        state_ = State::Corrupt;
        return false;
    }
    streamOpen_ = true;
    state_ = State::Inflating;
    return true;
}

bool CContentDecoder::Write(const char* data, uint32_t size, const Output& out) {
    if (!Decodes()) return out(data, size);
    if (size == 0) return true;
    auto* bytes = reinterpret_cast<const Bytef*>(data);
    if (state_ == State::Idle) {
        if (coding_ == Coding::Gzip) {
            if (!Start(kGzipWindow)) return false;
        } else {
            state_ = State::Sniffing;
        }
    }
    if (state_ == State::Sniffing) {
        while (sniffedLength_ < 2 && size > 0) {
            sniffed_[sniffedLength_++] = *bytes++;
            --size;
        }
        if (sniffedLength_ < 2) return true;
        if (!Start(IsZlibHeader(sniffed_[0], sniffed_[1]) ? kZlibWindow : kRawWindow)) return false;
        if (!Inflate(sniffed_, sniffedLength_, out)) return false;
    }
    return Inflate(bytes, size, out);
}

bool CContentDecoder::Inflate(const Bytef* data, uInt size, const Output& out) {
    stream_.next_in = const_cast<Bytef*>(data);
    stream_.avail_in = size;
    Bytef buffer[kOutputStep];
    for (;;) {
        if (state_ == State::BetweenMembers) {
            if (stream_.avail_in == 0) return true;
            // Another gzip member follows; anything else after a member is
            // not body (some servers pad) and is ignored.
            if (*stream_.next_in != kGzipMagic) {
                state_ = State::Done;
            } else if (inflateReset(&stream_) != Z_OK) {
                state_ = State::Corrupt;
                return false;
            } else {
                state_ = State::Inflating;
            }
        }
        if (state_ != State::Inflating) return state_ == State::Done;
        stream_.next_out = buffer;
        stream_.avail_out = kOutputStep;
        const int result = inflate(&stream_, Z_NO_FLUSH);
        if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
            state_ = State::Corrupt;
            return false;
        }
        const uInt produced = kOutputStep - stream_.avail_out;
        if (produced && !out(reinterpret_cast<const char*>(buffer), produced)) return false;
        if (result == Z_STREAM_END) {
            state_ = coding_ == Coding::Gzip ? State::BetweenMembers : State::Done;
            continue;
        }
        // Z_BUF_ERROR: nothing more can be done until more input arrives.
        if (result == Z_BUF_ERROR || (stream_.avail_in == 0 && stream_.avail_out != 0)) return true;
    }
}
