#include "HttpClientSocket.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <cwchar>
#include <new>
#include <stdexcept>

#include "HttpText.h"
#include "StringHelpers.h"
#include "base/DecimalParse.h"

using _ServerEngine::CompareNoCase;
using _ServerEngine::FindBytes;
using _ServerEngine::ToUtf8;
using _ServerEngine::TrimString;

namespace {

// Received bytes wait here until they are handled. Reading large blocks,
// with a kernel buffer to match, keeps the socket calls and window messages
// per downloaded megabyte few, which is what limits throughput.
constexpr uint32_t kInboxSize = 1 << 20;
constexpr int kKernelReceiveBuffer = 4 << 20;
// Reads handled per FD_READ before the message loop gets its turn again.
constexpr unsigned kReadsPerEvent = 64;
// Progress is reported at most once per this many milliseconds.
constexpr uint32_t kProgressIntervalMs = 100;
// Redirects followed in a row before the request fails.
constexpr int kMaxRedirects = 10;
// What the sink hears as the length of a chunked response.
constexpr uint64_t kChunkedLength = 0xFFFFFFFFu;
// The largest chunk of a body that goes to a file; its closing CR LF must
// still fit in the 64-bit count.
constexpr uint64_t kMaxChunk = INT64_MAX;

const wchar_t kInvalidData[] = L"无效的数据";
const wchar_t kUnknownError[] = L"未知错误！";
const wchar_t kWriteFailed[] = L"写入文件失败！";
const wchar_t kDownloadFailed[] = L"下载失败！";
const wchar_t kNoResponse[] = L"服务器没有响应！";
const wchar_t kBodyRefused[] = L"文件校验失败！";

struct tagStatusText {
    int32_t status;
    const wchar_t* text;
};

const tagStatusText kStatusTexts[] = {
    {400, L"请求语法错误!"},
    {401, L"没有获得授权！"},
    {402, L"请求内容需要付费"},
    {403, L"禁止访问!"},
    {404, L"资源没有找到！"},
    {405, L"请求方式错误！"},
    {406, L"不支持的资源类型！"},
    {407, L"必须经过代理才可访问!"},
    {408, L"客服端发送超时!"},
    {409, L"资源访问冲突!"},
    {410, L"资源不再可用！"},
    {411, L"发送的数据没有指定长度！"},
    {412, L"缺少部分请求信息！"},
    {413, L"请求的内容太大!"},
    {414, L"Url太长！"},
    {415, L"服务器不支持此媒体类型!"},
    {416, L"断点续传时，指定的位置不正确!"},
    {500, L"服务器内部错误！"},
    {501, L"服务器未实现该功能！"},
    {502, L"网关错误！"},
    {503, L"服务器忙！"},
    {504, L"网关超时!"},
    {505, L"不支持的协议!"},
};

bool IsRedirect(int32_t status) {
    return (status >= 300 && status <= 303) || status == 307;
}

std::wstring Utf8ToWide(const char* data, uint32_t size) {
    if (size == 0) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, data, static_cast<int>(size), nullptr, 0);
    std::wstring text(n > 0 ? n : 0, L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, data, static_cast<int>(size), &text[0], n);
    return text;
}

void TrimLeft(std::wstring& text) {
    const size_t first = text.find_first_not_of(L"\t\n\r ");
    text.erase(0, first == std::wstring::npos ? text.size() : first);
}

// Responses to these never carry a body, whatever their header says.
bool HasNoBody(int32_t status) {
    return (status >= 100 && status < 200) || status == 204 || status == 304;
}

}  // namespace

CHttpClientSocket::CHttpClientSocket(IHttpSink* sink)
    : speed(0),
      received(0),
      sink(sink),
      contentLength(0),
      lastReportTick(0),
      bytesSinceReport(0),
      status(0),
      port(80),
      headersDone(false),
      keepAlive(false),
      active(false),
      isPost(false) {}

CHttpClientSocket::~CHttpClientSocket() {
    Close();
}

bool CHttpClientSocket::Request(const char* postData, uint32_t postLength, const std::wstring& url,
                                const std::wstring& savePath, const std::wstring& extraHeaders, bool isPost) {
    redirects_ = 0;
    rangeStart_ = 0;
    expectedSize_ = kUnknownSize;
    stored_ = 0;
    sizeRefused_ = false;
    return StartRequest(postData, postLength, url, savePath, extraHeaders, isPost);
}

bool CHttpClientSocket::RequestFrom(const std::wstring& url, const std::wstring& savePath, uint64_t offset,
                                    uint64_t size) {
    if (savePath.empty()) return false;
    redirects_ = 0;
    rangeStart_ = offset;
    expectedSize_ = size;
    stored_ = 0;
    sizeRefused_ = false;
    return StartRequest(nullptr, 0, url, savePath, L"", false);
}

bool CHttpClientSocket::StartRequest(const char* data, uint32_t dataLength, const std::wstring& newUrl,
                                     const std::wstring& newSavePath, const std::wstring& newExtraHeaders,
                                     bool post) {
    if (newUrl.empty()) return false;
    std::wstring newHost = host;
    uint16_t newPort = port;
    std::wstring newPath;
    if (newUrl[0] == L'/') {
        if (host.empty()) return false;
        newPath = newUrl;
    } else {
        if (newUrl.size() <= 7) return false;
        std::wstring scheme = newUrl.substr(0, 7);
        for (wchar_t& c : scheme) c = towlower(c);
        if (scheme != L"http://") return false;
        const size_t slash = newUrl.find(L'/', 7);
        newPath = slash == std::wstring::npos ? L"/" : newUrl.substr(slash);
        const std::wstring hostPart =
            newUrl.substr(7, slash == std::wstring::npos ? std::wstring::npos : slash - 7);
        const size_t colon = hostPart.find(L':');
        newHost = hostPart.substr(0, colon);
        newPort =
            colon == std::wstring::npos ? 80 : static_cast<uint16_t>(_wtoi(hostPart.c_str() + colon + 1));
        if (newHost.empty()) return false;
    }
    const bool targetChanged = newHost != host || newPort != port;
    host = newHost;
    port = newPort;
    path = newPath;

    // The arguments may be this object's own members (a redirect).
    url = newUrl;
    savePath = newSavePath;
    extraHeaders = newExtraHeaders;
    statusText.clear();
    if (!extraHeaders.empty() && extraHeaders.back() != L'\n') extraHeaders += L"\r\n";
    file.Reset();
    decoder_.Reset(CContentDecoder::Coding::Identity);
    isPost = post;
    if (dataLength != 0 && data != nullptr) {
        if (postData.empty() || postData.data() != data) postData.assign(data, data + dataLength);
    } else {
        postData.clear();
    }
    headers.clear();
    // A download must not keep the memory of an earlier in-memory body.
    std::vector<char>().swap(body);
    received = 0;
    bodyOffset_ = 0;
    bodyBytes_ = 0;
    bodyStatus_ = false;
    bodyFull_ = false;
    connectionLost_ = false;
    contentLength = 0;
    framing_ = Framing::Length;
    headersDone = false;
    status = 0;

    if (!active && socket && state == STATE_CONNECTED && keepAlive && !targetChanged) {
        if (SendRequest() == 0 || outgoingSent_ != 0) return true;
        // The kept connection is gone and not a byte of the request went
        // out, so it goes out on a new connection instead.
    }
    Close();
    if (inbox_.empty()) {
        try {
            inbox_.resize(kInboxSize);
        } catch (const std::exception&) {
            return false;
        }
    }
    if (!Create()) return false;
    setsockopt(socket.Get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&kKernelReceiveBuffer),
               sizeof(kKernelReceiveBuffer));
    lastActivity_ = GetTickCount();
    windowStart_ = lastActivity_;
    windowBytes_ = 0;
    return Connect(port, host.c_str());
}

void CHttpClientSocket::OnConnect(bool success) {
    CClientSocket::OnConnect(success);
    if (!success) {
        connectionLost_ = true;
        if (sink) sink->OnHttpError(this, L"连接到服务器失败");
        return;
    }
    if (const int error = SendRequest()) OnClose(error);
}

// Sends the request head (and a POST body); 0, or the socket error that
// ended the sending.
int CHttpClientSocket::SendRequest() {
    lastReportTick = GetTickCount();
    lastActivity_ = lastReportTick;
    windowStart_ = lastReportTick;
    windowBytes_ = 0;
    bytesSinceReport = 0;
    active = true;
    ++generation_;
    inboxLength_ = 0;
    scanned_ = 0;
    chunkLeft_ = 0;
    inTrailer_ = false;
    body.clear();

    std::wstring target = path;
    // A POST sends its query in front of the post data, with no separator.
    std::string content;
    if (isPost) {
        const size_t query = path.find(L'?', 1);
        if (query != std::wstring::npos) {
            target = path.substr(0, query);
            content = ToUtf8(path.substr(query + 1));
        }
    }
    std::wstring head = L" HTTP/1.1\r\n" + extraHeaders;
    if (rangeStart_ != 0) head += L"Range: bytes=" + std::to_wstring(rangeStart_) + L"-\r\n";
    head += L"Host: " + host;
    // The port belongs in the Host line whenever it is not the default:
    // servers build absolute redirects from it.
    if (port != 80) head += L":" + std::to_wstring(port);
    head +=
        L"\r\nAccept-Language: zh-cn,en-us,en\r\nAccept-Encoding: gzip,deflate\r\nAccept-Charset: *\r\n"
        L"Client: uxClient\r\nConnection: keep-alive\r\n";
    if (isPost) {
        content.append(postData.begin(), postData.end());
        wchar_t length[40];
        swprintf(length, 40, L"Content-Length:%u\r\n\r\n", static_cast<unsigned>(content.size()));
        head += length;
    } else {
        head += L"\r\n";
    }
    outgoing_ = (isPost ? "POST " : "GET ") + http_text::EncodeTarget(ToUtf8(target)) + ToUtf8(head) + content;
    outgoingSent_ = 0;
    return FlushSend();
}

// Sends what the socket takes now; the rest waits for FD_WRITE. 0, or the
// error of a failure other than WSAEWOULDBLOCK.
int CHttpClientSocket::FlushSend() {
    while (outgoingSent_ < outgoing_.size()) {
        const int n = ::send(socket.Get(), outgoing_.data() + outgoingSent_,
                             static_cast<int>(std::min<size_t>(outgoing_.size() - outgoingSent_, INT_MAX)), 0);
        if (n == SOCKET_ERROR) {
            const int error = WSAGetLastError();
            return error == WSAEWOULDBLOCK ? 0 : error;
        }
        outgoingSent_ += n;
        lastActivity_ = GetTickCount();
    }
    outgoing_.clear();
    outgoingSent_ = 0;
    return 0;
}

void CHttpClientSocket::OnWrite(int error) {
    if (error != 0 || outgoing_.empty() || !socket) return;
    if (const int failure = FlushSend()) OnClose(failure);
}

void CHttpClientSocket::OnRead(int error) {
    if (error != 0 || closing_) return;
    int closeError = 0;
    if (!ReadSome(kReadsPerEvent, &closeError)) OnClose(closeError);
}

void CHttpClientSocket::OnTimer() {
    if (!active && state != STATE_CONNECTING) return;
    const DWORD now = GetTickCount();
    bool lost = now - lastActivity_ >= idleTimeoutMs_;
    // A trickle keeps the idle time-out from firing; the floor rate does not.
    if (!lost && now - windowStart_ >= floorWindowMs_) {
        lost = windowBytes_ < static_cast<uint64_t>(floorBytesPerSecond_) * floorWindowMs_ / 1000;
        windowStart_ = now;
        windowBytes_ = 0;
    }
    if (!lost) return;
    Close();
    connectionLost_ = true;
    if (sink) sink->OnHttpError(this, kNoResponse);
}

// Reads and handles what the socket holds, at most `maxReads` times. False
// when the connection has ended, with the error in *closeError.
bool CHttpClientSocket::ReadSome(unsigned maxReads, int* closeError) {
    const SOCKET current = socket.Get();
    for (unsigned i = 0; i < maxReads && current != INVALID_SOCKET && socket.Get() == current; ++i) {
        const int n = ::recv(socket.Get(), inbox_.data() + inboxLength_, kInboxSize - inboxLength_, 0);
        if (n == 0) {
            *closeError = 0;
            return false;
        }
        if (n == SOCKET_ERROR) {
            const int e = WSAGetLastError();
            if (e == WSAEWOULDBLOCK) return true;
            *closeError = e;
            return false;
        }
        lastActivity_ = GetTickCount();
        windowBytes_ += n;
        if (!active) {
            inboxLength_ = 0;
            return true;
        }
        const unsigned before = generation_;
        inboxLength_ += n;
        ProcessReceived();
        if (generation_ != before || !active) return true;
    }
    return true;
}

void CHttpClientSocket::ProcessReceived() {
    const char* data = inbox_.data();
    uint32_t consumed = 0;
    if (!headersDone) {
        // A line end may straddle the point where the last search stopped.
        uint32_t blockEnd = 0;
        if (!http_text::FindHeaderEnd(data, inboxLength_, scanned_ > 2 ? scanned_ - 2 : 0, &blockEnd, &consumed)) {
            // A header block that fills the whole inbox can never complete.
            if (inboxLength_ == kInboxSize) Fail(kInvalidData);
            scanned_ = inboxLength_;
            return;
        }
        scanned_ = 0;
        headersDone = true;
        if (!ParseHeaders(data, blockEnd)) return;
        if (framing_ == Framing::Length && contentLength == 0) {
            Complete();
            return;
        }
        if (consumed == inboxLength_) {
            inboxLength_ = 0;
            return;
        }
    }
    if (framing_ == Framing::Chunked) {
        ProcessChunked(consumed);
        return;
    }
    uint32_t avail = inboxLength_ - consumed;
    if (framing_ == Framing::Length) {
        // Bytes beyond the announced length are dropped.
        const uint64_t missing = static_cast<uint64_t>(contentLength) - received;
        if (avail > missing) avail = static_cast<uint32_t>(missing);
    }
    const unsigned before = generation_;
    if (!WriteBody(data + consumed, avail) || generation_ != before) return;
    inboxLength_ = 0;
    if (framing_ == Framing::Length && received == static_cast<uint64_t>(contentLength)) Complete();
}

void CHttpClientSocket::ProcessChunked(uint32_t consumed) {
    const char* data = inbox_.data();
    const unsigned before = generation_;
    // A body kept in memory can never take a chunk beyond its limit, so
    // such a size is refused at once rather than waited for.
    const uint64_t sizeLimit = savePath.empty() ? kMaxMemoryBody : kMaxChunk - 2;
    while (consumed < inboxLength_) {
        if (inTrailer_) {
            // The trailer ends with an empty line. Reading through it keeps
            // its bytes out of the next response on a kept connection.
            const bool empty =
                inboxLength_ - consumed >= 2 && data[consumed] == '\r' && data[consumed + 1] == '\n';
            const uint32_t from = std::max(consumed, scanned_ > 3 ? scanned_ - 3 : 0);
            if (empty || FindBytes(data, inboxLength_, "\r\n\r\n", 4, from) >= 0) {
                Complete();
                return;
            }
            KeepUnconsumed(consumed);
            return;
        }
        if (chunkLeft_ == 0) {
            // A size line ends at the first CR that has one more byte (its
            // LF) after it.
            const uint32_t from = std::max(consumed, scanned_ > 1 ? scanned_ - 1 : 0);
            const int cr = FindBytes(data, inboxLength_, "\r", 1, from);
            if (cr < 0 || static_cast<uint32_t>(cr) + 1 >= inboxLength_) {
                KeepUnconsumed(consumed);
                return;
            }
            scanned_ = 0;
            uint64_t size = 0;
            if (!http_text::ParseChunkSize(data + consumed, cr - consumed, sizeLimit, &size)) {
                Fail(kInvalidData);
                return;
            }
            consumed = cr + 2;
            if (size == 0) {
                inTrailer_ = true;
            } else {
                chunkLeft_ = size + 2;
            }
            continue;
        }
        const uint32_t take = static_cast<uint32_t>(std::min<uint64_t>(chunkLeft_, inboxLength_ - consumed));
        // The last two bytes of a chunk are its CR LF, not body.
        const uint64_t dataLeft = chunkLeft_ > 2 ? chunkLeft_ - 2 : 0;
        const uint32_t bodyBytes = static_cast<uint32_t>(std::min<uint64_t>(take, dataLeft));
        if (bodyBytes && (!WriteBody(data + consumed, bodyBytes) || generation_ != before)) return;
        consumed += take;
        chunkLeft_ -= take;
    }
    inboxLength_ = 0;
    scanned_ = 0;
}

// Moves the bytes of an unfinished line to the front of the buffer to wait
// for the rest. A line that fills the whole buffer can never end.
void CHttpClientSocket::KeepUnconsumed(uint32_t consumed) {
    const uint32_t rest = inboxLength_ - consumed;
    if (rest == kInboxSize) {
        Fail(kInvalidData);
        return;
    }
    std::memmove(inbox_.data(), inbox_.data() + consumed, rest);
    inboxLength_ = rest;
    scanned_ = rest;
}

bool CHttpClientSocket::ParseHeaders(const char* data, uint32_t size) {
    const std::wstring text = Utf8ToWide(data, size);
    // A block of the status line alone (no header field) is valid too.
    size_t lineEnd = text.find(L'\n');
    if (lineEnd == std::wstring::npos) lineEnd = text.size();
    const size_t space = text.find(L' ');
    if (space == std::wstring::npos || space > lineEnd) {
        Fail(kInvalidData);
        return false;
    }
    std::wstring code = text.substr(space + 1, lineEnd - space - 1);
    TrimString(code);
    status = _wtoi(code.c_str());
    const size_t reason = code.find(L' ');
    if (reason != std::wstring::npos) {
        statusText = code.substr(reason + 1);
        TrimLeft(statusText);
    }

    // Every line end ends a field: quotes mean nothing in a header block,
    // so a value such as filename="it's.bin" cannot swallow the next line.
    for (size_t start = lineEnd + 1; start < text.size();) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring line = text.substr(start, end - start);
        start = end + 1;
        TrimString(line);
        const size_t colon = line.find(L':');
        if (colon == std::wstring::npos) continue;
        std::wstring value = line.substr(colon + 1);
        TrimString(value);
        headers[line.substr(0, colon)] = std::move(value);
    }

    // Transfer-Encoding wins over Content-Length: a message with both was
    // framed by the former.
    const std::wstring* length = FindHeader(L"Content-Length");
    contentLength = 0;
    framing_ = Framing::Length;
    if (FindHeader(L"Transfer-Encoding")) {
        contentLength = -1;
        framing_ = Framing::Chunked;
    } else if (length) {
        const wchar_t* pos = length->c_str();
        uint64_t n = 0;
        if (!kit::ReadDecimalDigits(pos, pos + length->size(), INT64_MAX, &n)) {
            Fail(kInvalidData);
            return false;
        }
        contentLength = static_cast<int64_t>(n);
    } else if (!HasNoBody(status)) {
        framing_ = Framing::UntilClose;
    }
    const std::wstring* connection = FindHeader(L"Connection");
    keepAlive = framing_ != Framing::UntilClose && connection && *connection == L"keep-alive";
    const std::wstring* codingValue = FindHeader(L"Content-Encoding");
    const CContentDecoder::Coding coding =
        codingValue ? CContentDecoder::FromHeader(*codingValue) : CContentDecoder::Coding::Identity;
    decoder_.Reset(coding == CContentDecoder::Coding::Unsupported ? CContentDecoder::Coding::Identity : coding);

    const unsigned before = generation_;
    if (sink) sink->OnHttpHeader(this, ReportedLength());
    if (generation_ != before) return false;

    if (rangeStart_ != 0 && (status == 206 || status == 416) &&
        !AcceptRange(coding == CContentDecoder::Coding::Identity)) {
        return false;
    }
    // A file of a known size has that length uncoded; the partial file
    // stays, since nothing of this answer reached it.
    if (status == 200 && expectedSize_ != kUnknownSize && !savePath.empty() &&
        coding == CContentDecoder::Coding::Identity && framing_ == Framing::Length &&
        static_cast<uint64_t>(contentLength) != expectedSize_) {
        RefuseSize();
        return false;
    }
    if (status == 200 || bodyOffset_ != 0) {
        // Bytes in a coding that cannot be undone would be stored as if
        // they were the file; a body kept in memory has its limit.
        if (coding == CContentDecoder::Coding::Unsupported ||
            (savePath.empty() && framing_ == Framing::Length &&
             static_cast<uint64_t>(contentLength) > kMaxMemoryBody)) {
            Fail(kInvalidData);
            return false;
        }
        bodyStatus_ = true;
        if (bodyObserver_) bodyObserver_->OnHttpBodyBegin(bodyOffset_);
        return true;
    }
    if (IsRedirect(status) && FindHeader(L"Location")) return true;
    const wchar_t* message = kUnknownError;
    for (const tagStatusText& entry : kStatusTexts) {
        if (entry.status == status) message = entry.text;
    }
    Fail(message);
    return false;
}

// Field names are case-insensitive on the wire; many servers send them in
// lower case.
const std::wstring* CHttpClientSocket::FindHeader(const wchar_t* name) const {
    for (const auto& field : headers) {
        if (CompareNoCase(field.first, name) == 0) return &field.second;
    }
    return nullptr;
}

uint64_t CHttpClientSocket::ReportedLength() const {
    switch (framing_) {
        case Framing::Chunked:
            return kChunkedLength;
        case Framing::UntilClose:
            return 0;
        default:
            return static_cast<uint64_t>(contentLength);
    }
}

bool CHttpClientSocket::AcceptRange(bool identity) {
    http_text::tagContentRange range;
    const std::wstring* value = FindHeader(L"Content-Range");
    const bool parsed = status == 206 && value && http_text::ParseContentRange(*value, &range);
    // A range of a file of another size (or past the known size) is no
    // part of this download.
    if (parsed && expectedSize_ != kUnknownSize &&
        (range.last >= expectedSize_ ||
         (range.complete != http_text::tagContentRange::kUnknownLength && range.complete != expectedSize_))) {
        RefuseSize();
        return false;
    }
    // The stored bytes are the decoded body, so only an uncoded range of
    // the rest of the file continues them.
    if (parsed && identity && range.first == rangeStart_ &&
        (range.complete == http_text::tagContentRange::kUnknownLength || range.last + 1 == range.complete) &&
        (framing_ != Framing::Length || static_cast<uint64_t>(contentLength) == range.last - range.first + 1)) {
        bodyOffset_ = rangeStart_;
        return true;
    }
    DeleteFileW((savePath + L"_").c_str());
    rangeStart_ = 0;
    if (!StartRequest(nullptr, 0, url, savePath, extraHeaders, false)) Fail(kDownloadFailed);
    return false;
}

bool CHttpClientSocket::WriteBody(const char* data, uint32_t size) {
    // Only a 200 (or a resuming 206) delivers its body; a redirect's body
    // is dropped.
    if (bodyStatus_ &&
        !decoder_.Write(data, size, [this](const char* out, uint32_t length) { return WriteOut(out, length); })) {
        if (bodyFull_) {
            EndAtSize();
            return false;
        }
        // A refused write has failed the request already.
        if (decoder_.Corrupt()) Fail(kInvalidData);
        return false;
    }
    received += size;
    ReportProgress(size);
    // A body framed to end right here ends the usual way, keeping the
    // connection.
    if (bodyFull_ && !(framing_ == Framing::Length && received == static_cast<uint64_t>(contentLength))) {
        EndAtSize();
        return false;
    }
    return true;
}

bool CHttpClientSocket::WriteOut(const char* data, uint32_t size) {
    // Counted after decoding: a small coded body can decode to any size.
    // What would pass the size is cut off, and the decoder stopped.
    bool more = true;
    if (!savePath.empty() && expectedSize_ != kUnknownSize) {
        const uint64_t room = expectedSize_ - (bodyOffset_ + bodyBytes_);
        if (size > room) {
            size = static_cast<uint32_t>(room);
            more = false;
        }
        bodyFull_ = size == room;
    }
    bodyBytes_ += size;
    stored_ += size;
    if (bodyObserver_ && size) bodyObserver_->OnHttpBody(data, size);
    if (!savePath.empty()) {
        if (!file) OpenDownloadFile();
        if (!file) {
            Fail(L"创建文件失败！");
            return false;
        }
        DWORD written = 0;
        if (size && !(WriteFile(file.Get(), data, size, &written, nullptr) && written == size)) {
            bodyFull_ = false;
            Fail(kWriteFailed);
            return false;
        }
        return more;
    }
    // The body grows with the bytes that arrive, never ahead of them, up
    // to its limit (decoded bytes included).
    if (size > kMaxMemoryBody - body.size()) {
        Fail(kInvalidData);
        return false;
    }
    try {
        body.insert(body.end(), data, data + size);
    } catch (const std::exception&) {
        Fail(kInvalidData);
        return false;
    }
    return true;
}

// A resumed body goes behind the bytes it continues; anything past them
// was never part of the digest, so it is cut off.
void CHttpClientSocket::OpenDownloadFile() {
    const std::wstring temporary = savePath + L"_";
    if (bodyOffset_ == 0) {
        file.Reset(CreateFileW(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
        return;
    }
    file.Reset(CreateFileW(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER offset;
    offset.QuadPart = static_cast<LONGLONG>(bodyOffset_);
    if (file && !(SetFilePointerEx(file.Get(), offset, nullptr, FILE_BEGIN) && SetEndOfFile(file.Get()))) {
        file.Reset();
    }
}

void CHttpClientSocket::ReportProgress(uint32_t size) {
    bytesSinceReport += size;
    const uint32_t now = GetTickCount();
    const uint32_t elapsed = now - lastReportTick;
    if (elapsed <= kProgressIntervalMs) return;
    lastReportTick = now;
    speed = bytesSinceReport / (elapsed / 1000.0);
    bytesSinceReport = 0;
    if (sink) sink->OnHttpProgress(this, ReportedLength(), received, speed);
}

void CHttpClientSocket::Fail(const wchar_t* message) {
    Close();
    if (sink) sink->OnHttpError(this, message);
}

void CHttpClientSocket::RefuseSize() {
    sizeRefused_ = true;
    Close();
    if (sink) sink->OnHttpError(this, kBodyRefused);
}

void CHttpClientSocket::EndAtSize() {
    // The rest of the answer stays unread, so the connection can serve no
    // other request; a request the sink starts from here opens a new one.
    keepAlive = false;
    active = false;
    decoder_.Reset(CContentDecoder::Coding::Identity);
    const unsigned before = generation_;
    FinishDownload();
    if (generation_ == before) Close();
}

void CHttpClientSocket::Complete() {
    active = false;
    if (bodyStatus_ && !decoder_.Finished()) {
        // The coded stream ended early.
        Fail(kInvalidData);
        return;
    }
    decoder_.Reset(CContentDecoder::Coding::Identity);
    if (bodyStatus_) {
        FinishDownload();
        return;
    }
    Redirect();
}

void CHttpClientSocket::FinishDownload() {
    if (!savePath.empty()) {
        // An empty body still leaves an (empty) file in place.
        if (!WriteOut(nullptr, 0)) return;
        file.Reset();
    }
    if (bodyObserver_ && !bodyObserver_->OnHttpBodyEnd()) {
        if (!savePath.empty()) DeleteFileW((savePath + L"_").c_str());
        Fail(kBodyRefused);
        return;
    }
    if (!savePath.empty()) {
        const std::wstring temporary = savePath + L"_";
        if (!MoveFileExW(temporary.c_str(), savePath.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            Fail(kWriteFailed);
            return;
        }
    }
    if (sink) sink->OnHttpComplete(this);
}

void CHttpClientSocket::Redirect() {
    if (++redirects_ > kMaxRedirects) {
        Fail(kDownloadFailed);
        return;
    }
    const std::wstring target = http_text::ResolveLocation(*FindHeader(L"Location"), path);
    const bool post = (status == 303 || status == 307) ? false : isPost;
    if (!StartRequest(postData.empty() ? nullptr : postData.data(), static_cast<uint32_t>(postData.size()),
                      target, savePath, extraHeaders, post)) {
        Fail(kDownloadFailed);
    }
}

void CHttpClientSocket::OnClose(int error) {
    keepAlive = false;
    const SOCKET current = socket.Get();
    // A close dispatched from the base class's drain below is this one.
    if (current == INVALID_SOCKET || closing_) return;
    // Bytes that arrived before the close are handled first.
    if (active) {
        int ignored = 0;
        ReadSome(UINT_MAX, &ignored);
        if (socket.Get() != current) return;
    }
    closing_ = true;
    CClientSocket::OnClose(error);
    closing_ = false;
    if (socket.Get() != current) return;
    // Only the trailer of the last chunk is missing, or the server ended a
    // body that has no length the only way it can: the body is whole.
    if (active && headersDone && (inTrailer_ || (framing_ == Framing::UntilClose && error == 0))) {
        Complete();
        if (socket.Get() == current) Close();
        return;
    }
    const bool wasActive = active;
    Close();
    connectionLost_ = wasActive;
    if (wasActive && sink) sink->OnHttpClose(this, error);
}

void CHttpClientSocket::Close() {
    active = false;
    headersDone = false;
    keepAlive = false;
    file.Reset();
    decoder_.Reset(CContentDecoder::Coding::Identity);
    outgoing_.clear();
    outgoingSent_ = 0;
    chunkLeft_ = 0;
    inTrailer_ = false;
    inboxLength_ = 0;
    scanned_ = 0;
    ++generation_;
    CClientSocket::Close();
}
