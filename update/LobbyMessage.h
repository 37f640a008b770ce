// Messages the updater sends to the lobby inside WM_COPYDATA. The layout is
// shared with the lobby, so it is fixed byte for byte (little-endian, no
// padding).
#pragma once

#include <cstdint>

enum LobbyMessageKind : uint32_t {
    KindStatus = 0,        // payload: status text, UTF-16LE, no terminator
    KindCheckStarted = 1,  // no payload
    KindFinished = 2,      // payload: 1 byte, 1 when the whole queue was processed
    KindProgress = 3,      // payload: ProgressReport
    KindCloseLobby = 4,    // no payload: the lobby is asked to exit
};

constexpr uint16_t kLobbyMessageMark = 0x6000;
constexpr uint32_t kLobbyHeaderSize = 12;
constexpr uint32_t kLobbyMessageCapacity = 8192;
constexpr uint32_t kLobbyMaxPayload = kLobbyMessageCapacity - kLobbyHeaderSize;

#pragma pack(push, 1)
struct LobbyMessage {
    uint16_t size;  // header plus payload
    uint16_t mark;  // kLobbyMessageMark
    uint32_t reserved;
    uint32_t kind;  // LobbyMessageKind
    uint8_t payload[kLobbyMaxPayload];
};

struct ProgressReport {
    uint64_t total;        // A: bytes of all download items of the run
    uint64_t done;         // C: bytes done
    double speed;          // s
    uint32_t secondsLeft;  // t
};
#pragma pack(pop)

static_assert(sizeof(LobbyMessage) == kLobbyMessageCapacity, "LobbyMessage layout");
static_assert(sizeof(ProgressReport) == 28, "ProgressReport layout");
