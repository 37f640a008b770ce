// Shared helpers of the kit's test programs.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace kit_test {

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

// Dispatches this thread's messages until `done()` holds (checked after each
// message) or `timeoutMs` passed; returns `done()`. A WM_QUIT met on the way
// goes to `onQuit` (dropped without one) and the pump goes on.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs,
               const std::function<void(WPARAM)>& onQuit = nullptr);
// Dispatches for `ms` regardless (to see that nothing more happens).
void PumpFor(DWORD ms, const std::function<void(WPARAM)>& onQuit = nullptr);

// The whole file, opened with full sharing; `exists` is cleared when it
// cannot be opened (and the result is empty).
std::string ReadFileBytes(const std::wstring& path, bool* exists = nullptr);
// Creates or replaces the file with `bytes`; false when that failed.
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);

// Text in the code page (CP_UTF8, 936, ...) and back.
std::string Encode(UINT codePage, const std::wstring& text);
std::wstring Decode(UINT codePage, const std::string& bytes);
inline std::string ToUtf8(const std::wstring& text) {
    return Encode(CP_UTF8, text);
}
inline std::wstring FromUtf8(const std::string& bytes) {
    return Decode(CP_UTF8, bytes);
}

}  // namespace kit_test
