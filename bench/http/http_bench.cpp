// Downloads one URL into a file with CHttpClientSocket and prints one line:
//   bytes=<n> seconds=<s> mbps=<MiB/s> peak_working_set_kb=<k> peak_private_kb=<k> result=<ok|error text>
// Usage: http_bench.exe <url> <file> [sha256]
// With a SHA-256 (hex) the body is checked while it arrives, as the updater
// checks a download item, and the file goes into place only when it matches.
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <string>

#include "DownloadCheck.h"
#include "HttpClientSocket.h"
#include "StringHelpers.h"

namespace {

class CQuitSink : public IHttpSink {
public:
    std::wstring result = L"no answer";

    void OnHttpHeader(CHttpClientSocket*, uint64_t) override {}
    void OnHttpComplete(CHttpClientSocket*) override { Finish(L"ok"); }
    void OnHttpError(CHttpClientSocket*, const wchar_t* message) override { Finish(message); }
    void OnHttpProgress(CHttpClientSocket*, uint64_t, uint64_t, double) override {}
    void OnHttpClose(CHttpClientSocket*, int error) override {
        Finish(L"connection closed " + std::to_wstring(error));
    }

private:
    void Finish(const std::wstring& text) {
        result = text;
        PostQuitMessage(0);
    }
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    uint8_t digest[crypto_hash_sha256_BYTES];
    if ((argc != 3 && argc != 4) || (argc == 4 && !ParseSha256Hex(argv[3], digest))) {
        std::fprintf(stderr, "usage: http_bench.exe <url> <file> [sha256]\n");
        return 2;
    }
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 2;
    CQuitSink sink;
    CHttpClientSocket* client = new CHttpClientSocket(&sink);
    CDownloadCheck check;
    if (argc == 4) {
        check.Expect(digest);
        client->SetBodyObserver(&check);
    }
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    if (!client->Request(nullptr, 0, argv[1], argv[2], L"", false)) {
        std::fprintf(stderr, "request refused\n");
        return 2;
    }
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    QueryPerformanceCounter(&end);
    const double seconds = double(end.QuadPart - start.QuadPart) / frequency.QuadPart;
    const unsigned received = client->received;
    client->Close();
    delete client;
    WSACleanup();

    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof(memory);
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory));
    std::printf("bytes=%u seconds=%.3f mbps=%.1f peak_working_set_kb=%lu peak_private_kb=%lu result=%s\n",
                received, seconds, received / seconds / 1048576.0,
                static_cast<unsigned long>(memory.PeakWorkingSetSize / 1024),
                static_cast<unsigned long>(memory.PeakPagefileUsage / 1024),
                _ServerEngine::ToUtf8(sink.result).c_str());
    return sink.result == L"ok" ? 0 : 1;
}
