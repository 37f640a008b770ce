#include "http_test_support.h"

#include <zlib.h>

#include <fstream>
#include <sstream>

#include "StringHelpers.h"

namespace http_test {

const char* KindName(tagEvent::Kind kind) {
    switch (kind) {
        case tagEvent::Kind::Header:
            return "Header";
        case tagEvent::Kind::Complete:
            return "Complete";
        case tagEvent::Kind::Error:
            return "Error";
        case tagEvent::Kind::Progress:
            return "Progress";
        case tagEvent::Kind::Close:
            return "Close";
    }
    return "?";
}

std::string Describe(const std::vector<tagEvent>& events) {
    std::ostringstream out;
    for (const tagEvent& e : events) {
        out << KindName(e.kind);
        if (e.kind == tagEvent::Kind::Header) out << "(" << e.contentLength << ")";
        if (e.kind == tagEvent::Kind::Error) out << "(" << _ServerEngine::ToUtf8(e.message) << ")";
        if (e.kind == tagEvent::Kind::Close) out << "(" << e.error << ", received " << e.received << ")";
        if (e.kind == tagEvent::Kind::Progress) out << "(" << e.received << ")";
        out << " ";
    }
    return out.str();
}

void CRecordingSink::OnHttpHeader(CHttpClientSocket* client, uint64_t contentLength) {
    tagEvent e{tagEvent::Kind::Header};
    e.contentLength = contentLength;
    e.tick = GetTickCount();
    events_.push_back(e);
}

void CRecordingSink::OnHttpComplete(CHttpClientSocket* client) {
    tagEvent e{tagEvent::Kind::Complete};
    e.received = client->received;
    e.tick = GetTickCount();
    events_.push_back(e);
    ++finished_;
    if (onComplete_) onComplete_(client);
}

void CRecordingSink::OnHttpError(CHttpClientSocket* client, const wchar_t* message) {
    tagEvent e{tagEvent::Kind::Error};
    e.message = message;
    e.received = client->received;
    e.tick = GetTickCount();
    events_.push_back(e);
    ++finished_;
    if (onError_) onError_(client);
}

void CRecordingSink::OnHttpProgress(CHttpClientSocket* client, uint64_t contentLength, uint64_t received,
                                    double bytesPerSecond) {
    tagEvent e{tagEvent::Kind::Progress};
    e.contentLength = contentLength;
    e.received = received;
    e.speed = bytesPerSecond;
    e.tick = GetTickCount();
    events_.push_back(e);
}

void CRecordingSink::OnHttpClose(CHttpClientSocket* client, int error) {
    tagEvent e{tagEvent::Kind::Close};
    e.error = error;
    e.received = client->received;
    e.tick = GetTickCount();
    events_.push_back(e);
    ++finished_;
}

std::vector<tagEvent> CRecordingSink::OfKind(tagEvent::Kind kind) const {
    std::vector<tagEvent> out;
    for (const tagEvent& e : events_) {
        if (e.kind == kind) out.push_back(e);
    }
    return out;
}

void HttpClientTest::SetUp() {
    WSADATA data;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
    ASSERT_TRUE(server_.Start());
    client_.reset(new CHttpClientSocket(&sink_));
}

void HttpClientTest::TearDown() {
    if (client_) client_->Close();
    client_.reset();
    // Deferred closesocket messages of the client run here.
    kit_test::PumpFor(20);
    server_.Stop();
    WSACleanup();
}

bool HttpClientTest::WaitFinished(int count, DWORD timeoutMs) {
    return PumpUntil([&] { return sink_.finished_ >= count; }, timeoutMs);
}

std::wstring HttpClientTest::Url(const std::string& target) const {
    return _ServerEngine::ToWide(server_.BaseUrl() + target);
}

bool HttpClientTest::Get(const std::string& target, const std::wstring& savePath, const std::wstring& extra) {
    return client_->Request(nullptr, 0, Url(target), savePath, extra, false);
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string Gzip(const std::string& plain) {
    return Deflate(plain, 15 + 16);
}

std::string Deflate(const std::string& plain, int windowBits) {
    z_stream z{};
    deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, plain.size()) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(plain.data()));
    z.avail_in = static_cast<uInt>(plain.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::string NoiseBytes(size_t size, unsigned seed) {
    std::string out(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char& c : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x);
    }
    return out;
}

}  // namespace http_test
