#include <windows.h>

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "base/ComPtr.h"
#include "base/DecimalParse.h"
#include "base/UniqueHandle.h"

namespace {

bool IsOpen(HANDLE handle) {
    DWORD flags = 0xdeadbeef;
    return GetHandleInformation(handle, &flags) != FALSE;
}

TEST(UniqueHandleTest, KernelHandleClosesWhenItsOwnerLetsGo) {
    struct tagCase {
        const char* name;
        // Gives up `owner`'s handle in some way; true when it should be closed.
        bool (*letGo)(kit::CKernelHandle& owner);
    };
    static kit::CKernelHandle s_taker;
    const tagCase cases[] = {
        {"Reset",
         [](kit::CKernelHandle& owner) {
             owner.Reset();
             return true;
         }},
        {"Reset to another",
         [](kit::CKernelHandle& owner) {
             owner.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
             return true;
         }},
        {"moved into an owner that goes away",
         [](kit::CKernelHandle& owner) {
             kit::CKernelHandle taker(std::move(owner));
             return true;
         }},
        {"assigned over",
         [](kit::CKernelHandle& owner) {
             owner = kit::CKernelHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr));
             return true;
         }},
        {"moved into a living owner",
         [](kit::CKernelHandle& owner) {
             s_taker = std::move(owner);
             return false;
         }},
    };
    for (const auto& c : cases) {
        const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ASSERT_NE(nullptr, event) << c.name;
        {
            kit::CKernelHandle owner(event);
            EXPECT_TRUE(static_cast<bool>(owner)) << c.name;
            const bool closed = c.letGo(owner);
            EXPECT_EQ(!closed, IsOpen(event)) << c.name;
        }
        EXPECT_EQ(s_taker.Get() == event, IsOpen(event)) << c.name << " after the owner went away";
        s_taker.Reset();
        EXPECT_FALSE(IsOpen(event)) << c.name << " at the end";
    }
}

TEST(UniqueHandleTest, ReleaseKeepsTheHandleOpen) {
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    kit::CKernelHandle owner(event);
    EXPECT_EQ(event, owner.Release());
    EXPECT_FALSE(static_cast<bool>(owner));
    EXPECT_TRUE(IsOpen(event));
    CloseHandle(event);
}

TEST(UniqueHandleTest, EmptyValuesOfEachKind) {
    EXPECT_EQ(nullptr, kit::CKernelHandle().Get());
    EXPECT_EQ(INVALID_HANDLE_VALUE, kit::CFileHandle().Get());
    EXPECT_EQ(INVALID_HANDLE_VALUE, kit::CFindHandle().Get());
    EXPECT_EQ(INVALID_SOCKET, kit::CSocketHandle().Get());
    // A failed CreateFileW leaves the owner empty, so it closes nothing.
    kit::CFileHandle missing(
        CreateFileW(L"Z:\\no\\such\\folder\\file", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(static_cast<bool>(missing)) << missing.Get();
}

// Counts references and never frees itself, so the test can read the count.
class CCountingUnknown : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        *out = nullptr;
        if (iid != IID_IUnknown) return E_NOINTERFACE;
        *out = this;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs_; }
    ULONG refs_ = 1;
};

TEST(ComPtrTest, OwnsExactlyOneReference) {
    CCountingUnknown object;
    {
        kit::CComPtr<IUnknown> pointer;
        pointer.Attach(&object);
        EXPECT_EQ(1u, object.refs_) << "Attach takes the caller's reference";

        IUnknown* copy = reinterpret_cast<IUnknown*>(static_cast<uintptr_t>(0xdeadbeef));
        EXPECT_EQ(S_OK, pointer.CopyTo(&copy));
        EXPECT_EQ(&object, copy);
        EXPECT_EQ(2u, object.refs_);
        EXPECT_EQ(1u, copy->Release());
        EXPECT_EQ(E_POINTER, pointer.CopyTo(nullptr));

        IUnknown* detached = pointer.Detach();
        EXPECT_EQ(&object, detached);
        EXPECT_EQ(nullptr, pointer.Get());
        EXPECT_EQ(1u, object.refs_) << "Detach hands the reference over";
        pointer.Attach(detached);
    }
    EXPECT_EQ(0u, object.refs_) << "the final Release";
}

TEST(ComPtrTest, AddressOfReleasesFirst) {
    CCountingUnknown held;
    CCountingUnknown next;
    kit::CComPtr<IUnknown> pointer;
    pointer.Attach(&held);
    IUnknown** slot = &pointer;
    EXPECT_EQ(0u, held.refs_) << "released before the new one is written";
    ASSERT_NE(nullptr, slot);
    EXPECT_EQ(nullptr, *slot);
    *slot = &next;
    EXPECT_EQ(&next, pointer.Get());
    EXPECT_EQ(0u, pointer.Reset()) << "the final Release";
    EXPECT_EQ(0u, pointer.Reset()) << "nothing left to release";

    kit::CComPtr<IUnknown> empty;
    IUnknown* copy = reinterpret_cast<IUnknown*>(static_cast<uintptr_t>(0xdeadbeef));
    EXPECT_EQ(S_OK, empty.CopyTo(&copy));
    EXPECT_EQ(nullptr, copy);
}

TEST(DecimalParseTest, SaturatingParsers) {
    struct tagCase {
        const wchar_t* text;
        int32_t as32;
        int64_t as64;
    };
    const tagCase cases[] = {
        {L"42", 42, 42},
        {L"  \t\r\n-17", -17, -17},
        {L"+8", 8, 8},
        {L"12abc34", 12, 12},
        {L"", 0, 0},
        {L"   ", 0, 0},
        {L"abc", 0, 0},
        {L"-", 0, 0},
        {L"- 5", 0, 0},
        {L"--5", 0, 0},
        {L"2147483647", INT32_MAX, 2147483647},
        {L"2147483648", INT32_MAX, 2147483648},
        {L"-2147483648", INT32_MIN, -2147483648LL},
        {L"-2147483649", INT32_MIN, -2147483649LL},
        {L"9223372036854775807", INT32_MAX, INT64_MAX},
        {L"99999999999999999999", INT32_MAX, INT64_MAX},
        {L"-9223372036854775808", INT32_MIN, INT64_MIN},
        {L"-99999999999999999999", INT32_MIN, INT64_MIN},
        {L"000000000000000000000000000042", 42, 42},
        {L" \t\r\n\v\f+17abc", 17, 17},
        {L"+-5", 0, 0},
        {L"-0012", -12, -12},
        {L"9223372036854775808", INT32_MAX, INT64_MAX},
        {L"99999999999999999999 7", INT32_MAX, INT64_MAX},
        {L"\x3000" L"5", 0, 0},  // only ASCII blanks are skipped
    };
    for (const auto& c : cases) {
        const std::wstring text = c.text;
        const std::string narrow(text.begin(), text.end());
        const wchar_t* const end = text.data() + text.size();
        EXPECT_EQ(c.as32, kit::ParseInt32Saturated(text.data(), end)) << narrow;
        EXPECT_EQ(c.as64, kit::ParseInt64Saturated(text.data(), end)) << narrow;
        EXPECT_EQ(c.as64, kit::ParseInt64Saturated(narrow.data(), narrow.data() + narrow.size()))
            << narrow << " as 8-bit text";
    }
    // The end bounds the text: digits past it are not read.
    const wchar_t digits[] = L"12345";
    EXPECT_EQ(12, kit::ParseInt32Saturated(digits, digits + 2));
}

TEST(DecimalParseTest, ReadDecimalDigits) {
    struct tagCase {
        const char* text;
        uint64_t limit;
        bool ok;
        uint64_t value;
        size_t consumed;
    };
    const tagCase cases[] = {
        {"123x", 1000, true, 123, 3},
        {"1000", 1000, true, 1000, 4},
        {"1001", 1000, false, 1000, 4},
        {"99999999999999999999 ", UINT64_MAX, false, UINT64_MAX, 20},
        {"18446744073709551615", UINT64_MAX, true, UINT64_MAX, 20},
        {"", 1000, false, 0, 0},
        {"x1", 1000, false, 0, 0},
        {"-1", 1000, false, 0, 0},
        {" 1", 1000, false, 0, 0},
        // Limits below 9: a single digit above them is out of range too.
        {"8", 3, false, 3, 1},
        {"3", 3, true, 3, 1},
        {"4", 3, false, 3, 1},
        {"0", 0, true, 0, 1},
        {"1", 0, false, 0, 1},
        {"9", 8, false, 8, 1},
        {"19", 10, false, 10, 2},
        {"10", 10, true, 10, 2},
        {"007", 7, true, 7, 3},
        {"08", 7, false, 7, 2},
    };
    for (const auto& c : cases) {
        const std::string text = c.text;
        const char* pos = text.data();
        uint64_t value = 0xdeadbeef;
        EXPECT_EQ(c.ok, kit::ReadDecimalDigits(pos, text.data() + text.size(), c.limit, &value)) << c.text;
        EXPECT_EQ(c.value, value) << c.text;
        EXPECT_EQ(c.consumed, static_cast<size_t>(pos - text.data())) << c.text;
    }
}

}  // namespace
