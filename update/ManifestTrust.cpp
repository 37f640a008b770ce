#include "ManifestTrust.h"

#include <cwchar>

#include "DownloadCheck.h"
#include "base/DecimalParse.h"

using _ServerEngine::CXMLConfig;

bool ManifestIsForGame(CXMLConfig* update, uint32_t gameId) {
    const wchar_t* game = update->GetAttribute(L"game", nullptr);
    if (!game) return false;
    const wchar_t* pos = game;
    const wchar_t* const end = game + std::wcslen(game);
    uint64_t value = 0;
    return kit::ReadDecimalDigits(pos, end, UINT32_MAX, &value) && pos == end && value == gameId;
}

bool DownloadDigestsValid(CXMLConfig* update, bool required) {
    for (CXMLConfig* child : *update->children) {
        if (child->name != L"File" || child->GetAttributeInt(L"op") != 0) continue;
        const wchar_t* text = child->GetAttribute(L"sha256", nullptr);
        uint8_t digest[crypto_hash_sha256_BYTES];
        if (text ? !ParseSha256Hex(text, digest) : required) return false;
    }
    return true;
}
