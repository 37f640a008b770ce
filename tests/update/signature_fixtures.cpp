#include "signature_fixtures.h"

#include <gtest/gtest.h>

#include "kit_test.h"

namespace update_test {

std::string SignatureFixture(const std::wstring& name) {
    bool exists = true;
    const std::string bytes =
        kit_test::ReadFileBytes(std::wstring(KIT_SIGNATURE_FIXTURES) + L"\\" + name, &exists);
    EXPECT_TRUE(exists) << "missing fixture " << kit_test::ToUtf8(name);
    return bytes;
}

std::string MinisignLine(const std::string& text, int index) {
    size_t start = 0;
    for (int i = 0; i < index; ++i) start = text.find('\n', start) + 1;
    return text.substr(start, text.find('\n', start) - start);
}

std::string SignatureBlock(const std::string& minisig, const std::string& lineEnd) {
    return "<!-- signature" + lineEnd + minisig + "-->\n";
}

std::string SignedManifest(const std::wstring& name) {
    return SignatureFixture(name) + SignatureBlock(SignatureFixture(name + L".minisig"));
}

std::string PublicKeyLine() {
    return MinisignLine(SignatureFixture(L"key.pub"), 1);
}

}  // namespace update_test
