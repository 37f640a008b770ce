// How fresh a signed manifest is. A release carries, signed, the time it
// was made ("released") and the time it stops counting ("expires"), both in
// seconds since 1970 (UTC), as attributes of its "Update" element. With a
// key, the updater refuses a manifest that has expired, and one older than
// the newest release it accepted for the game before (a replay). No I/O.
//
// The player's clock may be wrong. The time a manifest is judged at is the
// newest of the player's clock, the server's Date and the last release time
// accepted: a clock that lags is corrected by either of the others, and a
// server's Date in the past changes nothing. A clock far ahead makes every
// manifest look expired: the updater says so, and the player must set the
// clock right (nothing that reaches the updater could tell that clock from
// a replay, whose server sends whatever Date it likes).
#pragma once

#include <cstdint>
#include <string>

enum class Freshness {
    kFresh,
    kStale,      // expired, or older than a release accepted before
    kMalformed,  // a stamp that cannot be read, or expires before it was made
};

struct tagReleaseStamp {
    bool stamped = false;  // "released" was present
    uint64_t released = 0;
    uint64_t expires = 0;
};

// Reads the "released" and "expires" texts (null: absent). A manifest
// without "released" is unstamped; one with it needs a readable "expires"
// no earlier than it.
Freshness ReadReleaseStamp(const wchar_t* released, const wchar_t* expires, tagReleaseStamp* stamp);

// Judges a readable stamp at the times given (0: unknown). An unstamped
// manifest, made before releases carried times, is taken only while no
// stamped one was accepted for the game.
Freshness JudgeFreshness(const tagReleaseStamp& stamp, uint64_t lastAccepted, uint64_t clock, uint64_t serverDate);

// An HTTP date in the format servers must send ("Sun, 06 Nov 1994 08:49:37
// GMT") as seconds since 1970; false for anything else.
bool ParseHttpDate(const std::wstring& text, uint64_t* seconds);
