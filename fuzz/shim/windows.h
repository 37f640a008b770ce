// The few Windows types and calls the parsers' sources use, for building
// them natively for fuzzing. Text conversion is real (UTF-8, and Latin-1 for
// the ANSI code page); file and profile calls are not: the fuzz targets never
// reach them, and they stop the process if they ever do.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <type_traits>

using BOOL = int;
using UINT = unsigned;
using LONG = int32_t;
using DWORD = uint32_t;
using LPCSTR = const char*;
using LPSTR = char*;
using LPCWSTR = const wchar_t*;
using LPWSTR = wchar_t*;
using LPBOOL = BOOL*;

#define FALSE 0
#define TRUE 1
#define CP_ACP 0u
#define CP_UTF8 65001u
#define MAX_PATH 260
#define TLS_OUT_OF_INDEXES 0xFFFFFFFFu

namespace kit_shim {
[[noreturn]] inline void Unavailable(const char* call) {
    std::fprintf(stderr, "%s is not available in the fuzz build\n", call);
    std::abort();
}
}  // namespace kit_shim

// Critical sections: a recursive mutex, as they are.
struct CRITICAL_SECTION {
    pthread_mutex_t mutex;
};
inline BOOL InitializeCriticalSectionAndSpinCount(CRITICAL_SECTION* section, DWORD) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&section->mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    return TRUE;
}
inline void DeleteCriticalSection(CRITICAL_SECTION* section) {
    pthread_mutex_destroy(&section->mutex);
}
inline void EnterCriticalSection(CRITICAL_SECTION* section) {
    pthread_mutex_lock(&section->mutex);
}
inline void LeaveCriticalSection(CRITICAL_SECTION* section) {
    pthread_mutex_unlock(&section->mutex);
}

inline LONG InterlockedIncrement(volatile LONG* value) {
    return __atomic_add_fetch(value, 1, __ATOMIC_SEQ_CST);
}

// Thread-local slots: pthread keys.
inline DWORD TlsAlloc() {
    pthread_key_t key;
    return pthread_key_create(&key, nullptr) == 0 ? static_cast<DWORD>(key) : TLS_OUT_OF_INDEXES;
}
inline BOOL TlsFree(DWORD index) {
    return pthread_key_delete(static_cast<pthread_key_t>(index)) == 0;
}
inline void* TlsGetValue(DWORD index) {
    return pthread_getspecific(static_cast<pthread_key_t>(index));
}
inline BOOL TlsSetValue(DWORD index, void* value) {
    return pthread_setspecific(static_cast<pthread_key_t>(index), value) == 0;
}

namespace kit_shim {

// One code point from UTF-8 at `p`, or U+FFFD for one byte of a malformed
// sequence; moves `p` on.
inline uint32_t NextCodePoint(const unsigned char*& p, const unsigned char* end) {
    const unsigned char lead = *p++;
    if (lead < 0x80) return lead;
    const int extra = lead >= 0xF0 && lead <= 0xF4 ? 3
                      : lead >= 0xE0               ? (lead <= 0xEF ? 2 : -1)
                      : lead >= 0xC2               ? 1
                                                   : -1;
    if (extra < 0 || end - p < extra) return 0xFFFD;
    uint32_t code = lead & (0x3F >> extra);
    for (int i = 0; i < extra; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0xFFFD;
        code = code << 6 | (p[i] & 0x3F);
    }
    static const uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (code < kLeast[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0xFFFD;
    p += extra;
    return code;
}

// Where a conversion writes: counts only when `out` is null, as the calls
// asking for the length do; false once the buffer is full.
template <typename Unit>
class CConversionOutput {
public:
    CConversionOutput(Unit* out, int capacity) : out_(out), capacity_(capacity) {}
    bool operator()(uint32_t unit) {
        if (out_ && written_ >= capacity_) return false;
        if (out_) out_[written_] = static_cast<Unit>(unit);
        ++written_;
        return true;
    }
    int Written() const { return written_; }

private:
    Unit* out_;
    int capacity_;
    int written_ = 0;
};

}  // namespace kit_shim

// UTF-8 (code points above U+FFFF as surrogate pairs) or, for any other code
// page, Latin-1. A length of -1 includes the terminating NUL. Without room
// for the whole result nothing counts, as on Windows.
inline int MultiByteToWideChar(UINT codePage, DWORD, LPCSTR text, int length, LPWSTR out, int capacity) {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* end = p + (length < 0 ? std::char_traits<char>::length(text) + 1 : size_t(length));
    kit_shim::CConversionOutput<std::remove_pointer_t<decltype(out)>> put(out, capacity);
    while (p < end) {
        const uint32_t code = codePage == CP_UTF8 ? kit_shim::NextCodePoint(p, end) : *p++;
        const bool fits = code > 0xFFFF
                              ? put(0xD800 | ((code - 0x10000) >> 10)) && put(0xDC00 | (code & 0x3FF))
                              : put(code);
        if (!fits) return 0;
    }
    return put.Written();
}

// UTF-8, or Latin-1 with "?" for what it cannot hold.
inline int WideCharToMultiByte(UINT codePage, DWORD, LPCWSTR text, int length, LPSTR out, int capacity,
                               LPCSTR, LPBOOL) {
    const wchar_t* end = text + (length < 0 ? std::char_traits<wchar_t>::length(text) + 1 : size_t(length));
    kit_shim::CConversionOutput<std::remove_pointer_t<decltype(out)>> put(out, capacity);
    for (const wchar_t* p = text; p < end; ++p) {
        uint32_t code = static_cast<uint32_t>(*p) & 0xFFFF;
        if (code >= 0xD800 && code <= 0xDBFF && p + 1 < end && (p[1] & 0xFC00) == 0xDC00) {
            code = 0x10000 + ((code - 0xD800) << 10) + (static_cast<uint32_t>(*++p) - 0xDC00);
        }
        bool fits = true;
        if (codePage != CP_UTF8) {
            fits = put(code < 0x100 ? code : '?');
        } else if (code < 0x80) {
            fits = put(code);
        } else if (code < 0x800) {
            fits = put(0xC0 | code >> 6) && put(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            fits = put(0xE0 | code >> 12) && put(0x80 | (code >> 6 & 0x3F)) && put(0x80 | (code & 0x3F));
        } else {
            fits = put(0xF0 | code >> 18) && put(0x80 | (code >> 12 & 0x3F)) &&
                   put(0x80 | (code >> 6 & 0x3F)) && put(0x80 | (code & 0x3F));
        }
        if (!fits) return 0;
    }
    return put.Written();
}

inline BOOL CreateDirectoryW(LPCWSTR, void*) {
    kit_shim::Unavailable("CreateDirectoryW");
}
inline wchar_t* _wfullpath(wchar_t*, const wchar_t*, size_t) {
    kit_shim::Unavailable("_wfullpath");
}
inline DWORD GetPrivateProfileStringW(LPCWSTR, LPCWSTR, LPCWSTR, LPWSTR, DWORD, LPCWSTR) {
    kit_shim::Unavailable("GetPrivateProfileStringW");
}
inline BOOL WritePrivateProfileStringW(LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR) {
    kit_shim::Unavailable("WritePrivateProfileStringW");
}
