#include "HttpClientSocket.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <cwchar>
#include <new>
#include <stdexcept>

#include "StringHelpers.h"

using _ServerEngine::CompareNoCase;
using _ServerEngine::FindBytes;
using _ServerEngine::SplitString;
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
// gzip output is produced and written in steps of this size.
constexpr uInt kInflateStep = 4096;

const wchar_t kInvalidData[] = L"无效的数据";
const wchar_t kUnknownError[] = L"未知错误！";
const wchar_t kWriteFailed[] = L"写入文件失败！";
const wchar_t kDownloadFailed[] = L"下载失败！";
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

// The leading decimal number of a Content-Length value; -1 when there is
// none (a sign included) or it does not fit in an int32.
int32_t ParseLength(const std::wstring& value) {
    int64_t n = 0;
    size_t digits = 0;
    for (; digits < value.size() && value[digits] >= L'0' && value[digits] <= L'9'; ++digits) {
        n = n * 10 + (value[digits] - L'0');
        if (n > INT32_MAX) return -1;
    }
    return digits ? static_cast<int32_t>(n) : -1;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool IsBlank(char c) {
    return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

// The chunk size at the start of a size line (an extension after the digits
// is ignored). False when the line has no leading hex digit or the size
// plus its closing CR LF does not fit in 32 bits.
bool ParseChunkSize(const char* line, uint32_t size, uint32_t* chunkSize) {
    while (size && IsBlank(*line)) ++line, --size;
    uint64_t value = 0;
    uint32_t digits = 0;
    for (; digits < size && HexDigit(line[digits]) >= 0; ++digits) {
        value = value * 16 + HexDigit(line[digits]);
        if (value > UINT32_MAX - 2) return false;
    }
    *chunkSize = static_cast<uint32_t>(value);
    return digits > 0;
}

}  // namespace

bool CHttpClientSocket::CFile::Create(const std::wstring& name) {
    Close();
    handle_ = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, CREATE_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    return IsOpen();
}

bool CHttpClientSocket::CFile::Write(const char* data, uint32_t size) {
    DWORD written = 0;
    return WriteFile(handle_, data, size, &written, nullptr) && written == size;
}

void CHttpClientSocket::CFile::Close() {
    if (IsOpen()) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
}

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
      isPost(false),
      gzip(false) {}

CHttpClientSocket::~CHttpClientSocket() {
    Close();
}

bool CHttpClientSocket::Request(const char* postData, uint32_t postLength, const std::wstring& url,
                                const std::wstring& savePath, const std::wstring& extraHeaders, bool isPost) {
    redirects = 0;
    return StartRequest(postData, postLength, url, savePath, extraHeaders, isPost);
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
    file.Close();
    EndInflate();
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
    contentLength = 0;
    headersDone = false;
    status = 0;

    if (!active && socket != INVALID_SOCKET && state == STATE_CONNECTED && keepAlive && !targetChanged) {
        if (SendRequest() == 0 || outgoingSent != 0) return true;
        // The kept connection is gone and not a byte of the request went
        // out, so it goes out on a new connection instead.
    }
    Close();
    if (inbox.empty()) {
        try {
            inbox.resize(kInboxSize);
        } catch (const std::exception&) {
            return false;
        }
    }
    if (!Create()) return false;
    setsockopt(socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&kKernelReceiveBuffer),
               sizeof(kKernelReceiveBuffer));
    return Connect(port, host.c_str());
}

void CHttpClientSocket::OnConnect(bool success) {
    CClientSocket::OnConnect(success);
    if (!success) {
        if (sink) sink->OnHttpError(this, L"连接到服务器失败");
        return;
    }
    if (const int error = SendRequest()) OnClose(error);
}

// Sends the request head (and a POST body); 0, or the socket error that
// ended the sending.
int CHttpClientSocket::SendRequest() {
    lastReportTick = GetTickCount();
    bytesSinceReport = 0;
    active = true;
    ++generation;
    inboxLength = 0;
    chunkLeft = 0;
    inTrailer = false;
    body.clear();

    std::wstring head;
    // A POST sends its query in front of the post data, with no separator.
    std::string content;
    if (isPost) {
        const size_t query = path.find(L'?', 1);
        if (query != std::wstring::npos) {
            head = L"POST " + path.substr(0, query);
            content = ToUtf8(path.substr(query + 1));
        } else {
            head = L"POST " + path;
        }
    } else {
        head = L"GET " + path;
    }
    head += L" HTTP/1.1\r\n" + extraHeaders + L"Host: " + host +
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
    outgoing = ToUtf8(head) + content;
    outgoingSent = 0;
    return FlushSend();
}

// Sends what the socket takes now; the rest waits for FD_WRITE. 0, or the
// error of a failure other than WSAEWOULDBLOCK.
int CHttpClientSocket::FlushSend() {
    while (outgoingSent < outgoing.size()) {
        const int n = ::send(socket, outgoing.data() + outgoingSent,
                             static_cast<int>(std::min<size_t>(outgoing.size() - outgoingSent, INT_MAX)), 0);
        if (n == SOCKET_ERROR) {
            const int error = WSAGetLastError();
            return error == WSAEWOULDBLOCK ? 0 : error;
        }
        outgoingSent += n;
    }
    outgoing.clear();
    outgoingSent = 0;
    return 0;
}

void CHttpClientSocket::OnWrite(int error) {
    if (error != 0 || outgoing.empty() || socket == INVALID_SOCKET) return;
    if (const int failure = FlushSend()) OnClose(failure);
}

void CHttpClientSocket::OnRead(int error) {
    if (error != 0 || closing) return;
    int closeError = 0;
    if (!ReadSome(kReadsPerEvent, &closeError)) OnClose(closeError);
}

// Reads and handles what the socket holds, at most `maxReads` times. False
// when the connection has ended, with the error in *closeError.
bool CHttpClientSocket::ReadSome(unsigned maxReads, int* closeError) {
    const SOCKET current = socket;
    for (unsigned i = 0; i < maxReads && current != INVALID_SOCKET && socket == current; ++i) {
        const int n = ::recv(socket, inbox.data() + inboxLength, kInboxSize - inboxLength, 0);
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
        if (!active) {
            inboxLength = 0;
            return true;
        }
        const unsigned before = generation;
        inboxLength += n;
        ProcessReceived();
        if (generation != before || !active) return true;
    }
    return true;
}

void CHttpClientSocket::ProcessReceived() {
    const char* data = inbox.data();
    uint32_t consumed = 0;
    if (!headersDone) {
        const int end = FindBytes(data, inboxLength, "\r\n\r\n", 4, 0);
        if (end < 0) {
            // A header block that fills the whole half can never complete.
            if (inboxLength == kInboxSize) Fail(kInvalidData);
            return;
        }
        headersDone = true;
        consumed = end + 4;
        if (!ParseHeaders(data, end)) return;
        if (contentLength == 0) {
            Complete();
            return;
        }
        if (consumed == inboxLength) {
            inboxLength = 0;
            return;
        }
    }
    if (contentLength == -1) {
        ProcessChunked(consumed);
        return;
    }
    uint32_t avail = inboxLength - consumed;
    const uint32_t missing = static_cast<uint32_t>(contentLength) - received;
    if (avail > missing) avail = missing;  // bytes beyond the announced length are dropped
    const unsigned before = generation;
    if (!WriteBody(data + consumed, avail) || generation != before) return;
    inboxLength = 0;
    if (received == static_cast<uint32_t>(contentLength)) Complete();
}

void CHttpClientSocket::ProcessChunked(uint32_t consumed) {
    const char* data = inbox.data();
    const unsigned before = generation;
    while (consumed < inboxLength) {
        if (inTrailer) {
            // The trailer ends with an empty line. Reading through it keeps
            // its bytes out of the next response on a kept connection.
            const bool empty =
                inboxLength - consumed >= 2 && data[consumed] == '\r' && data[consumed + 1] == '\n';
            if (empty || FindBytes(data, inboxLength, "\r\n\r\n", 4, consumed) >= 0) {
                Complete();
                return;
            }
            KeepUnconsumed(consumed);
            return;
        }
        if (chunkLeft == 0) {
            // A size line ends at the first CR that has one more byte (its LF)
            // after it.
            const int cr = FindBytes(data, inboxLength, "\r", 1, consumed);
            if (cr < 0 || static_cast<uint32_t>(cr) + 1 >= inboxLength) {
                KeepUnconsumed(consumed);
                return;
            }
            uint32_t size = 0;
            if (!ParseChunkSize(data + consumed, cr - consumed, &size)) {
                Fail(kInvalidData);
                return;
            }
            consumed = cr + 2;
            if (size == 0) {
                inTrailer = true;
            } else {
                chunkLeft = static_cast<uint64_t>(size) + 2;
            }
            continue;
        }
        const uint32_t take = static_cast<uint32_t>(std::min<uint64_t>(chunkLeft, inboxLength - consumed));
        // The last two bytes of a chunk are its CR LF, not body.
        const uint64_t dataLeft = chunkLeft > 2 ? chunkLeft - 2 : 0;
        const uint32_t bodyBytes = static_cast<uint32_t>(std::min<uint64_t>(take, dataLeft));
        if (bodyBytes && (!WriteBody(data + consumed, bodyBytes) || generation != before)) return;
        consumed += take;
        chunkLeft -= take;
    }
    inboxLength = 0;
}

// Moves the bytes of an unfinished line to the front of the buffer to wait
// for the rest. A line that fills the whole buffer can never end.
void CHttpClientSocket::KeepUnconsumed(uint32_t consumed) {
    const uint32_t rest = inboxLength - consumed;
    if (rest == kInboxSize) {
        Fail(kInvalidData);
        return;
    }
    std::memmove(inbox.data(), inbox.data() + consumed, rest);
    inboxLength = rest;
}

bool CHttpClientSocket::ParseHeaders(const char* data, uint32_t size) {
    const std::wstring text = Utf8ToWide(data, size);
    const size_t lineEnd = text.find(L"\r\n");
    const size_t space = text.find(L' ');
    if (lineEnd == std::wstring::npos || space == std::wstring::npos || space > lineEnd) {
        Fail(kInvalidData);
        return false;
    }
    std::wstring code = text.substr(space + 1, lineEnd - space - 1);
    TrimLeft(code);
    status = _wtoi(code.c_str());
    const size_t reason = code.find(L' ');
    if (reason != std::wstring::npos) {
        statusText = code.substr(reason + 1);
        TrimLeft(statusText);
    }

    std::vector<std::wstring> lines;
    SplitString(&lines, text.substr(lineEnd + 2), L"\r\n");
    for (const std::wstring& line : lines) {
        const size_t colon = line.find(L':');
        if (colon == std::wstring::npos) continue;
        std::wstring value = line.substr(colon + 1);
        TrimString(value);
        headers[line.substr(0, colon)] = value;
    }

    const auto length = headers.find(L"Content-Length");
    if (length != headers.end()) {
        contentLength = ParseLength(length->second);
        if (contentLength < 0) {
            Fail(kInvalidData);
            return false;
        }
    } else {
        contentLength = headers.count(L"Transfer-Encoding") ? -1 : 0;
    }
    const auto connection = headers.find(L"Connection");
    keepAlive = connection != headers.end() && connection->second == L"keep-alive";
    const auto coding = headers.find(L"Content-Encoding");
    gzip = coding != headers.end() && CompareNoCase(coding->second, L"gzip") == 0;

    const unsigned before = generation;
    if (sink) sink->OnHttpHeader(this, static_cast<uint32_t>(contentLength));
    if (generation != before) return false;

    if (status == 200) {
        if (bodyObserver_) bodyObserver_->OnHttpBodyBegin();
        return PrepareBody();
    }
    if (IsRedirect(status) && (headers.count(L"Location") || headers.count(L"location"))) return true;
    const wchar_t* message = kUnknownError;
    for (const tagStatusText& entry : kStatusTexts) {
        if (entry.status == status) message = entry.text;
    }
    Fail(message);
    return false;
}

// Sizes the in-memory body once for a known length. A file download never
// holds its body in memory.
bool CHttpClientSocket::PrepareBody() {
    if (!savePath.empty() || gzip || contentLength <= 0) return true;
    try {
        body.resize(static_cast<size_t>(contentLength));
    } catch (const std::exception&) {
        Fail(kInvalidData);
        return false;
    }
    return true;
}

bool CHttpClientSocket::WriteBody(const char* data, uint32_t size) {
    // Only a 200 response delivers its body; a redirect's body is dropped.
    if (status == 200) {
        if (gzip ? !Inflate(data, size) : !WriteOut(data, size)) return false;
    }
    received += size;
    ReportProgress(size);
    return true;
}

bool CHttpClientSocket::Inflate(const char* data, uint32_t size) {
    if (!inflating) {
        zstream = z_stream{};
        if (inflateInit2(&zstream, 15 + 16) != Z_OK) {
            Fail(L"初始化解压失败！");
            return false;
        }
        inflating = true;
        inflateDone = false;
    }
    if (inflateDone) return true;  // bytes after the gzip stream are ignored
    zstream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
    zstream.avail_in = size;
    char out[kInflateStep];
    for (;;) {
        zstream.next_out = reinterpret_cast<Bytef*>(out);
        zstream.avail_out = kInflateStep;
        const int result = inflate(&zstream, Z_NO_FLUSH);
        if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
            Fail(kInvalidData);
            return false;
        }
        const uint32_t produced = kInflateStep - zstream.avail_out;
        if (produced && !WriteOut(out, produced)) return false;
        if (result == Z_STREAM_END) {
            inflateDone = true;
            return true;
        }
        // Z_BUF_ERROR: no progress possible until more input arrives.
        if (result == Z_BUF_ERROR || (zstream.avail_in == 0 && zstream.avail_out != 0)) return true;
    }
}

void CHttpClientSocket::EndInflate() {
    if (inflating) inflateEnd(&zstream);
    inflating = false;
    inflateDone = false;
}

bool CHttpClientSocket::WriteOut(const char* data, uint32_t size) {
    if (bodyObserver_ && size) bodyObserver_->OnHttpBody(data, size);
    if (!savePath.empty()) {
        if (!file.IsOpen() && !file.Create(savePath + L"_")) {
            Fail(L"创建文件失败！");
            return false;
        }
        if (size && !file.Write(data, size)) {
            Fail(kWriteFailed);
            return false;
        }
        return true;
    }
    if (!gzip && contentLength > 0) {
        std::memcpy(body.data() + received, data, size);
        return true;
    }
    try {
        body.insert(body.end(), data, data + size);
    } catch (const std::exception&) {
        Fail(kInvalidData);
        return false;
    }
    return true;
}

void CHttpClientSocket::ReportProgress(uint32_t size) {
    bytesSinceReport += size;
    const uint32_t now = GetTickCount();
    const uint32_t elapsed = now - lastReportTick;
    if (elapsed <= kProgressIntervalMs) return;
    lastReportTick = now;
    speed = bytesSinceReport / (elapsed / 1000.0);
    bytesSinceReport = 0;
    if (sink) sink->OnHttpProgress(this, static_cast<uint32_t>(contentLength), received, speed);
}

void CHttpClientSocket::Fail(const wchar_t* message) {
    Close();
    if (sink) sink->OnHttpError(this, message);
}

void CHttpClientSocket::Complete() {
    active = false;
    if (inflating && !inflateDone) {
        // The gzip stream ended early.
        Fail(kInvalidData);
        return;
    }
    EndInflate();
    if (status == 200) {
        FinishDownload();
        return;
    }
    Redirect();
}

void CHttpClientSocket::FinishDownload() {
    if (!savePath.empty()) {
        // An empty body still leaves an (empty) file in place.
        if (!WriteOut(nullptr, 0)) return;
        file.Close();
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
    if (++redirects > kMaxRedirects) {
        Fail(kDownloadFailed);
        return;
    }
    auto location = headers.find(L"Location");
    if (location == headers.end()) location = headers.find(L"location");
    const std::wstring target = location->second;
    const bool post = (status == 303 || status == 307) ? false : isPost;
    if (!StartRequest(postData.empty() ? nullptr : postData.data(), static_cast<uint32_t>(postData.size()),
                      target, savePath, extraHeaders, post)) {
        Fail(kDownloadFailed);
    }
}

void CHttpClientSocket::OnClose(int error) {
    keepAlive = false;
    const SOCKET current = socket;
    // A close dispatched from the base class's drain below is this one.
    if (current == INVALID_SOCKET || closing) return;
    // Bytes that arrived before the close are handled first.
    if (active) {
        int ignored = 0;
        ReadSome(UINT_MAX, &ignored);
        if (socket != current) return;
    }
    closing = true;
    CClientSocket::OnClose(error);
    closing = false;
    if (socket != current) return;
    if (active && inTrailer) {
        // Only the trailer of the last chunk is missing: the body is whole.
        Complete();
        if (socket == current) Close();
        return;
    }
    const bool wasActive = active;
    Close();
    if (wasActive && sink) sink->OnHttpClose(this, error);
}

void CHttpClientSocket::Close() {
    active = false;
    headersDone = false;
    keepAlive = false;
    file.Close();
    EndInflate();
    outgoing.clear();
    outgoingSent = 0;
    chunkLeft = 0;
    inTrailer = false;
    inboxLength = 0;
    ++generation;
    CClientSocket::Close();
}
