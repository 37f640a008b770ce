// Fixture of the HTTP client tests: a scripted server on loopback, a client
// with a recording sink, and a message pump with bounded waits.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "HttpClientSocket.h"
#include "ScriptedHttpServer.h"
#include "kit_test.h"

namespace http_test {

struct tagEvent {
    enum class Kind { Header, Complete, Error, Progress, Close };
    Kind kind;
    uint64_t contentLength = 0;
    uint64_t received = 0;
    double speed = 0;
    std::wstring message;
    int error = 0;
    DWORD tick = 0;
};

const char* KindName(tagEvent::Kind kind);
// "Header(5) Complete" and so on: what a failed check prints.
std::string Describe(const std::vector<tagEvent>& events);

class CRecordingSink : public IHttpSink {
public:
    std::vector<tagEvent> events_;
    // Run inside OnHttpComplete / OnHttpError, as the updater does.
    std::function<void(CHttpClientSocket*)> onComplete_;
    std::function<void(CHttpClientSocket*)> onError_;
    // Final events (complete, error, close) so far.
    int finished_ = 0;

    void OnHttpHeader(CHttpClientSocket* client, uint64_t contentLength) override;
    void OnHttpComplete(CHttpClientSocket* client) override;
    void OnHttpError(CHttpClientSocket* client, const wchar_t* message) override;
    void OnHttpProgress(CHttpClientSocket* client, uint64_t contentLength, uint64_t received,
                        double bytesPerSecond) override;
    void OnHttpClose(CHttpClientSocket* client, int error) override;

    const tagEvent* Last() const { return events_.empty() ? nullptr : &events_.back(); }
    std::vector<tagEvent> OfKind(tagEvent::Kind kind) const;
};

class HttpClientTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    static bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs = 15000) {
        return kit_test::PumpUntil(done, timeoutMs);
    }
    // Waits until the sink has seen `count` final events (complete, error or
    // close) in all.
    bool WaitFinished(int count = 1, DWORD timeoutMs = 15000);

    std::wstring Url(const std::string& target) const;
    bool Get(const std::string& target, const std::wstring& savePath = L"", const std::wstring& extra = L"");
    std::string Body() const { return std::string(client_->body.begin(), client_->body.end()); }

    kit_http::CScriptedHttpServer server_;
    CRecordingSink sink_;
    std::unique_ptr<CHttpClientSocket> client_;
    kit_test::CTempDir dir_;
};

bool FileExists(const std::wstring& path);
// gzip-wrapped deflate of `plain`.
std::string Gzip(const std::string& plain);
// deflate of `plain` with zlib's window bits: 15 zlib-wrapped, -15 raw.
std::string Deflate(const std::string& plain, int windowBits);
// Bytes that compress poorly, deterministic.
std::string NoiseBytes(size_t size, unsigned seed);

}  // namespace http_test
