// Shared helpers of the kit's test programs.
#pragma once

#include <cstddef>
#include <string>

namespace kit_test {

// Heap blocks handed out by operator new and not yet deleted.
long LiveAllocations();

// Runs `warmUp`, then accepts the heap blocks it left behind as belonging to
// the process rather than to the current test (for example a per-thread
// cache that lives until exit). Everything else a test leaves fails it.
template <typename F>
void AcceptProcessLifetimeAllocations(F&& warmUp);
void AddAcceptedAllocations(long count);

// A fresh, empty folder under the system temp folder, removed with its
// contents when the object goes away.
class CTempDir {
public:
    CTempDir();
    ~CTempDir();
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;
    const std::wstring& Path() const { return path_; }
    // Path() + L"\\" + relative
    std::wstring operator/(const std::wstring& relative) const;

private:
    std::wstring path_;
};

// The folder holding the running test program (build/bin).
std::wstring ProgramDir();

template <typename F>
void AcceptProcessLifetimeAllocations(F&& warmUp) {
    const long before = LiveAllocations();
    warmUp();
    AddAcceptedAllocations(LiveAllocations() - before);
}

}  // namespace kit_test
