// Downloads one URL into a file with CHttpClientSocket and prints one line:
//   bytes=<n> seconds=<s> mbps=<MiB/s> peak_working_set_kb=<k> peak_private_kb=<k> result=<ok|error text>
// Usage: http_bench.exe <url> <file>
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <string>

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
    if (argc != 3) {
        std::fprintf(stderr, "usage: http_bench.exe <url> <file>\n");
        return 2;
    }
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 2;
    CQuitSink sink;
    CHttpClientSocket* client = new CHttpClientSocket(&sink);
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
