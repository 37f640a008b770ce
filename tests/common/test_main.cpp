// Test main shared by every test program: counts heap blocks and fails any
// test that leaves more of them alive than it found.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

#include <gtest/gtest.h>

#include "kit_test.h"

namespace {

std::atomic<long> g_live{0};

void* CountedAlloc(std::size_t size) {
    void* p = std::malloc(size ? size : 1);
    if (p) ++g_live;
    return p;
}

void CountedFree(void* p) {
    if (!p) return;
    --g_live;
    std::free(p);
}

class CLeakListener : public testing::EmptyTestEventListener {
    long before_ = 0;

    void OnTestStart(const testing::TestInfo&) override { before_ = g_live; }
    void OnTestEnd(const testing::TestInfo& info) override {
        if (!info.result()->Passed() || info.result()->Skipped()) return;
        const long leaked = g_live - before_;
        if (leaked > 0) {
            ADD_FAILURE() << "the test left " << leaked << " heap block(s) behind (live before " << before_
                          << ", after " << g_live.load() << ")";
        }
    }
};

// GoogleTest makes the main thread's trace stack and failure reporter on the
// first SCOPED_TRACE and ASSERT_NO_FATAL_FAILURE and keeps them until exit:
// make them before the first test counts heap blocks.
class CWarmUpEnvironment : public testing::Environment {
    void SetUp() override {
        SCOPED_TRACE("warm-up");
        ASSERT_NO_FATAL_FAILURE(SUCCEED());
    }
};

}  // namespace

void* operator new(std::size_t size) {
    if (void* p = CountedAlloc(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return CountedAlloc(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return CountedAlloc(size);
}
void operator delete(void* p) noexcept {
    CountedFree(p);
}
void operator delete[](void* p) noexcept {
    CountedFree(p);
}
void operator delete(void* p, std::size_t) noexcept {
    CountedFree(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    CountedFree(p);
}

namespace kit_test {

CTempDir::CTempDir() {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    static std::atomic<unsigned> serial{0};
    for (;;) {
        wchar_t name[MAX_PATH + 64];
        swprintf(name, MAX_PATH + 64, L"%lskit-%lu-%u", base, GetCurrentProcessId(), ++serial);
        if (CreateDirectoryW(name, nullptr)) {
            path_ = name;
            return;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) std::abort();
    }
}

namespace {
void RemoveTree(const std::wstring& dir) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = data.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring full = dir + L"\\" + name;
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(full);
            } else {
                SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(full.c_str());
            }
        } while (FindNextFileW(find, &data));
        FindClose(find);
    }
    RemoveDirectoryW(dir.c_str());
}
}  // namespace

CTempDir::~CTempDir() {
    RemoveTree(path_);
}

std::wstring CTempDir::operator/(const std::wstring& relative) const {
    return path_ + L"\\" + relative;
}

std::wstring ProgramDir() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    return dir.substr(0, dir.find_last_of(L"\\/"));
}

}  // namespace kit_test

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // The leak check runs before the printer reports the test's result.
    testing::TestEventListeners& listeners = testing::UnitTest::GetInstance()->listeners();
    testing::TestEventListener* printer = listeners.Release(listeners.default_result_printer());
    listeners.Append(new CLeakListener);
    listeners.Append(printer);
    testing::AddGlobalTestEnvironment(new CWarmUpEnvironment);
    return RUN_ALL_TESTS();
}
