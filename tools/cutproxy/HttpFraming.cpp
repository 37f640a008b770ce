#include "HttpFraming.h"

#include <algorithm>
#include <cctype>

namespace cutproxy {

namespace {

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// Digits only, no sign, no overflow; false otherwise.
bool ParseDecimal(const std::string& text, uint64_t& value) {
    if (text.empty() || text.size() > 18) {
        return false;
    }
    value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

// A chunk-size line: hexadecimal digits, then optional extensions after ';'.
bool ParseChunkSize(const std::string& line, uint64_t& value) {
    const std::string digits = Trim(line.substr(0, line.find(';')));
    if (digits.empty() || digits.size() > 15) {
        return false;
    }
    value = 0;
    for (const char c : digits) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return false;
        }
        value = value * 16 + static_cast<uint64_t>(std::isdigit(static_cast<unsigned char>(c))
                                                        ? c - '0'
                                                        : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    }
    return true;
}

constexpr size_t kMaxLine = 4096;

}  // namespace

size_t CHeadReader::Feed(const char* data, size_t size) {
    size_t i = 0;
    while (i < size && !complete_ && !overflowed_) {
        const char c = data[i++];
        if (++size_ > kMaxHead) {
            overflowed_ = true;
            break;
        }
        if (c != '\n') {
            line_ += c;
            continue;
        }
        EndLine();
    }
    return i;
}

void CHeadReader::EndLine() {
    if (!line_.empty() && line_.back() == '\r') {
        line_.pop_back();
    }
    if (line_.empty()) {
        // Empty lines before the start line are allowed and skipped.
        complete_ = !startLine_.empty();
    } else if (startLine_.empty()) {
        startLine_ = line_;
    } else {
        headers_.push_back(line_);
    }
    line_.clear();
}

std::string CHeadReader::Header(const std::string& name) const {
    for (const std::string& header : headers_) {
        const size_t colon = header.find(':');
        if (colon != std::string::npos && EqualsNoCase(Trim(header.substr(0, colon)), name)) {
            return Trim(header.substr(colon + 1));
        }
    }
    return {};
}

bool CHeadReader::HasHeader(const std::string& name) const {
    return std::any_of(headers_.begin(), headers_.end(), [&](const std::string& header) {
        const size_t colon = header.find(':');
        return colon != std::string::npos && EqualsNoCase(Trim(header.substr(0, colon)), name);
    });
}

void CHeadReader::Reset() {
    *this = CHeadReader();
}

size_t CRequestReader::Feed(const char* data, size_t size) {
    headDone_ = false;
    if (opaque_) {
        return size;
    }
    if (bodyLeft_ > 0) {
        const size_t take = static_cast<size_t>(std::min<uint64_t>(bodyLeft_, size));
        bodyLeft_ -= take;
        return take;
    }
    if (head_.Complete()) {
        head_.Reset();
    }
    const size_t used = head_.Feed(data, size);
    if (head_.Overflowed()) {
        opaque_ = true;
        return size;
    }
    if (head_.Complete()) {
        headDone_ = true;
        if (head_.HasHeader("Transfer-Encoding")) {
            opaque_ = true;
        } else if (head_.HasHeader("Content-Length") && !ParseDecimal(head_.Header("Content-Length"), bodyLeft_)) {
            opaque_ = true;
        }
    }
    return used;
}

tagRequest CRequestReader::Request() const {
    const std::string& line = head_.StartLine();
    const size_t space = line.find(' ');
    tagRequest request;
    request.method_ = line.substr(0, space);
    if (space != std::string::npos) {
        const size_t end = line.find(' ', space + 1);
        request.target_ = line.substr(space + 1, end == std::string::npos ? std::string::npos : end - space - 1);
    }
    return request;
}

int CResponseFramer::Status() const {
    const std::string& line = head_.StartLine();
    if (line.compare(0, 5, "HTTP/") != 0) {
        return -1;
    }
    const size_t space = line.find(' ');
    uint64_t status = 0;
    if (space == std::string::npos || !ParseDecimal(line.substr(space + 1, 3), status) || status < 100) {
        return -1;
    }
    return static_cast<int>(status);
}

bool CResponseFramer::StartBody(const tagRequest& request) {
    contentLength_ = -1;
    const int status = Status();
    const auto endMessage = [this] {
        state_ = State::kHead;
        head_.Reset();
    };
    if (status < 0 || status == 101 || (request.method_ == "CONNECT" && status / 100 == 2)) {
        state_ = State::kOpaque;
        return true;
    }
    if (status < 200) {
        endMessage();
        return false;
    }
    if (request.method_ == "HEAD" || status == 204 || status == 304) {
        endMessage();
        return true;
    }
    if (head_.HasHeader("Transfer-Encoding")) {
        std::string coding = head_.Header("Transfer-Encoding");
        coding = coding.size() >= 7 ? coding.substr(coding.size() - 7) : coding;
        state_ = EqualsNoCase(coding, "chunked") ? State::kChunkSize : State::kUntilClose;
        return true;
    }
    if (!head_.HasHeader("Content-Length")) {
        state_ = State::kUntilClose;
        return true;
    }
    uint64_t length = 0;
    if (!ParseDecimal(head_.Header("Content-Length"), length)) {
        state_ = State::kOpaque;
        return true;
    }
    contentLength_ = static_cast<int64_t>(length);
    left_ = length;
    state_ = State::kLength;
    if (length == 0) {
        endMessage();
    }
    return true;
}

void CResponseFramer::StopAtBodyOffset(uint64_t offset) {
    if (state_ != State::kLength || offset >= left_) {
        return;
    }
    stopped_ = offset == 0;
    stopArmed_ = offset > 0;
    stopLeft_ = offset;
}

size_t CResponseFramer::FeedLine(const char* data, size_t size, bool& lineDone) {
    lineDone = false;
    size_t i = 0;
    while (i < size && !lineDone) {
        const char c = data[i++];
        if (c == '\n') {
            if (!line_.empty() && line_.back() == '\r') {
                line_.pop_back();
            }
            lineDone = true;
        } else if (line_.size() < kMaxLine) {
            line_ += c;
        } else {
            state_ = State::kOpaque;
            return size;
        }
    }
    return i;
}

size_t CResponseFramer::Feed(const char* data, size_t size) {
    if (stopped_) {
        return 0;
    }
    bool lineDone = false;
    size_t used = 0;
    switch (state_) {
    case State::kHead:
        used = head_.Feed(data, size);
        if (head_.Overflowed()) {
            state_ = State::kOpaque;
        } else if (head_.Complete()) {
            state_ = State::kAwaitBody;
        }
        return used;
    case State::kAwaitBody:
        return 0;
    case State::kLength:
        used = static_cast<size_t>(std::min<uint64_t>(left_, size));
        if (stopArmed_) {
            used = static_cast<size_t>(std::min<uint64_t>(used, stopLeft_));
            stopLeft_ -= used;
            stopped_ = stopLeft_ == 0;
            stopArmed_ = !stopped_;
        }
        left_ -= used;
        if (left_ == 0) {
            state_ = State::kHead;
            head_.Reset();
        }
        return used;
    case State::kChunkSize:
        used = FeedLine(data, size, lineDone);
        if (lineDone) {
            if (!ParseChunkSize(line_, left_)) {
                state_ = State::kOpaque;
            } else {
                state_ = left_ == 0 ? State::kTrailers : State::kChunkData;
            }
            line_.clear();
        }
        return used;
    case State::kChunkData:
        used = static_cast<size_t>(std::min<uint64_t>(left_, size));
        left_ -= used;
        if (left_ == 0) {
            state_ = State::kChunkEnd;
        }
        return used;
    case State::kChunkEnd:
    case State::kTrailers:
        used = FeedLine(data, size, lineDone);
        if (lineDone) {
            if (state_ == State::kChunkEnd) {
                state_ = State::kChunkSize;
            } else if (line_.empty()) {
                state_ = State::kHead;
                head_.Reset();
            }
            line_.clear();
        }
        return used;
    case State::kUntilClose:
    case State::kOpaque:
        break;
    }
    return size;
}

}  // namespace cutproxy
