// Shared helpers of the kit's test programs.
#pragma once

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

}  // namespace kit_test
