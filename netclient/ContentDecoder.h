// Undoes the content coding of a response body while it arrives: gzip (one
// member or several in a row) and deflate, both with and without the zlib
// wrapper, because servers disagree on what "deflate" means.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <functional>
#include <string>

class CContentDecoder {
public:
    enum class Coding { Identity, Gzip, Deflate, Unsupported };
    // Receives decoded bytes; false stops the decoding.
    using Output = std::function<bool(const char* data, uint32_t size)>;

    // The coding a Content-Encoding value names, case ignored. Empty and
    // "identity" are no coding; "x-gzip" is gzip; a list of several codings
    // is Unsupported.
    static Coding FromHeader(const std::wstring& value);

    CContentDecoder() = default;
    ~CContentDecoder() { Reset(Coding::Identity); }
    CContentDecoder(const CContentDecoder&) = delete;
    CContentDecoder& operator=(const CContentDecoder&) = delete;

    // Ends any decoding and prepares for a body in `coding`.
    void Reset(Coding coding);
    // True when the body needs decoding.
    bool Decodes() const { return coding_ == Coding::Gzip || coding_ == Coding::Deflate; }
    // Decodes the next `size` body bytes and hands the output to `out` in
    // steps of at most 4096 bytes. False when the data is corrupt (Corrupt()
    // tells) or `out` refused.
    bool Write(const char* data, uint32_t size, const Output& out);
    bool Corrupt() const { return state_ == State::Corrupt; }
    // True when the coded stream ended properly, or no byte came at all.
    bool Finished() const;

private:
    enum class State { Idle, Sniffing, Inflating, BetweenMembers, Done, Corrupt };

    bool Start(int windowBits);
    bool Inflate(const Bytef* data, uInt size, const Output& out);

    Coding coding_ = Coding::Identity;
    State state_ = State::Idle;
    z_stream stream_{};
    bool streamOpen_ = false;
    // The first two bytes of a deflate body tell whether a zlib header comes.
    Bytef sniffed_[2] = {};
    uInt sniffedLength_ = 0;
};
