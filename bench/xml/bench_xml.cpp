// Parses one manifest several times and prints the best parse time, the
// best parse-and-free time, the number of "File" items found and the
// process's peak memory. Built twice: against CXMLConfig, and with
// BENCH_PUGIXML against pugixml for comparison (with PUGIXML_WCHAR_MODE too,
// which makes pugixml convert to UTF-16 as CXMLConfig does). With
// --malformed a document that does not parse (pugixml refuses what
// CXMLConfig reads leniently) is timed like any other, with files=-1.
//   bench_xml.exe MANIFEST [ROUNDS [--malformed]]
#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

#ifdef BENCH_PUGIXML
#include "pugixml.hpp"
#ifdef PUGIXML_WCHAR_MODE
#define BENCH_PARSER "pugixml-wide"
#else
#define BENCH_PARSER "pugixml"
#endif
#else
#include "XMLConfig.h"
#define BENCH_PARSER "CXMLConfig"
#endif

namespace {

double Now() {
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

bool ReadWholeFile(const wchar_t* path, std::vector<char>& bytes) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size;
    bool ok = GetFileSizeEx(file, &size) && size.QuadPart < 0x40000000;
    if (ok) {
        bytes.resize(static_cast<size_t>(size.QuadPart));
        DWORD read = 0;
        ok = ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
             read == bytes.size();
    }
    CloseHandle(file);
    return ok;
}

// Parses `bytes`; returns the number of "File" children of "Update", or -1.
// `parsed` receives the time when the parse was over (before the free).
long ParseOnce(const std::vector<char>& bytes, double& parsed) {
    long files = 0;
#ifdef BENCH_PUGIXML
    pugi::xml_document document;
    const bool loaded = document.load_buffer(bytes.data(), bytes.size());
    parsed = Now();
    if (!loaded) return -1;
    for (pugi::xml_node file : document.child(PUGIXML_TEXT("Update")).children(PUGIXML_TEXT("File"))) {
        files += file.type() == pugi::node_element ? 1 : 0;
    }
#else
    _ServerEngine::CXMLConfig document(L"", nullptr, 0);
    const bool loaded = document.LoadFromBuffer(bytes.data(), static_cast<unsigned>(bytes.size()));
    parsed = Now();
    if (!loaded) return -1;
    _ServerEngine::CXMLConfig* update = document.FindNode(L"Update");
    if (!update) return -1;
    for (_ServerEngine::CXMLConfig* file : *update->children) {
        files += file->name == L"File" ? 1 : 0;
    }
#endif
    return files;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_xml MANIFEST [ROUNDS [--malformed]]\n");
        return 2;
    }
    const int rounds = argc > 2 ? std::max(1, _wtoi(argv[2])) : 5;
    const bool malformedOk = argc > 3 && std::wcscmp(argv[3], L"--malformed") == 0;
    std::vector<char> bytes;
    if (!ReadWholeFile(argv[1], bytes)) {
        std::fprintf(stderr, "bench_xml: cannot read the manifest\n");
        return 1;
    }
    PROCESS_MEMORY_COUNTERS before = {};
    before.cb = sizeof before;
    GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof before);

    double bestParse = 1e300, bestTotal = 1e300;
    long files = -1;
    for (int round = 0; round < rounds; ++round) {
        const double start = Now();
        double parsed = start;
        files = ParseOnce(bytes, parsed);
        const double done = Now();
        if (files < 0 && !malformedOk) {
            std::fprintf(stderr, "bench_xml: the manifest did not parse\n");
            return 1;
        }
        bestParse = std::min(bestParse, parsed - start);
        bestTotal = std::min(bestTotal, done - start);
    }
    PROCESS_MEMORY_COUNTERS after = {};
    after.cb = sizeof after;
    GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof after);
    std::printf(
        "%s bytes=%u files=%ld rounds=%d parse_ms=%.1f parse_free_ms=%.1f "
        "peak_ws_kb=%lu peak_pagefile_kb=%lu before_ws_kb=%lu before_pagefile_kb=%lu\n",
        BENCH_PARSER, static_cast<unsigned>(bytes.size()), files, rounds, bestParse, bestTotal,
        static_cast<unsigned long>(after.PeakWorkingSetSize / 1024),
        static_cast<unsigned long>(after.PeakPagefileUsage / 1024),
        static_cast<unsigned long>(before.WorkingSetSize / 1024),
        static_cast<unsigned long>(before.PagefileUsage / 1024));
    return 0;
}
