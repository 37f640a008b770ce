// The installed versions of the games: "./Configs/Version.dat", section
// "Versions", one key "Game<id>" per game, read and written through the
// private-profile functions relative to the current directory. Section
// "Released" of the same file keeps, per game and with the same keys, the
// release time (seconds since 1970) of the newest signed manifest accepted.
#pragma once

#include <cstdint>

// Reads a version text like _wtoi64: leading white space, an optional sign,
// decimal digits up to the first other character, 0 without digits,
// saturating at the signed 64-bit limits. Null reads as 0. The result is the
// two's complement bit pattern, since versions compare unsigned.
uint64_t ParseVersion(const wchar_t* text);

// The installed version of `gameId`; 0 when the file, section or key is missing.
uint64_t ReadInstalledVersion(uint32_t gameId);

// Writes `version` as signed decimal text for `gameId`, creating the store's
// folder when it is missing. False when the write fails.
bool WriteInstalledVersion(uint32_t gameId, uint64_t version);

// The release time accepted last for `gameId`; 0 when there is none.
uint64_t ReadAcceptedRelease(uint32_t gameId);
bool WriteAcceptedRelease(uint32_t gameId, uint64_t released);
