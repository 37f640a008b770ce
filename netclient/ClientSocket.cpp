#include "ClientSocket.h"

#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_map>
#include <utility>

#include "base/MessageWindow.h"

namespace _ClientCommonLib {
namespace {

const wchar_t kWindowClass[] = L"ClientSocketWnd";
const wchar_t kWindowTitle[] = L"UX:70413952";
constexpr UINT_PTR kTimerId = 1;
constexpr UINT kTimerPeriodMs = 1000;
constexpr long kSocketEvents = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;
constexpr uint32_t kHalfSize = 65536;
constexpr int kKernelReceiveBuffer = 65536;
constexpr size_t kHostBytes = 32;  // ANSI host name, terminator included
constexpr uint32_t kPingSize = 16;

// Substitution table S of the packet layer. The server holds the same
// table: changing a single entry breaks every substituted packet in both
// directions.
constexpr uint8_t kSubstitution[256] = {
    0x90, 0xDC, 0xAA, 0xB9, 0x45, 0xB5, 0xA9, 0xB2, 0x99, 0x0B, 0x80, 0x95, 0x09, 0xFF, 0x25, 0x17,
    0x36, 0xC2, 0xC1, 0x46, 0x2E, 0x98, 0x52, 0xA2, 0xD9, 0xA0, 0x6A, 0xC9, 0x7F, 0x50, 0xF3, 0x53,
    0x4A, 0xEE, 0xD8, 0x3E, 0x58, 0x11, 0x4C, 0xB8, 0x30, 0x06, 0x1F, 0xB7, 0x03, 0x9E, 0x92, 0xB1,
    0x72, 0xCA, 0x2F, 0xD6, 0xE5, 0x9A, 0x9F, 0x66, 0x81, 0xE7, 0xCF, 0x71, 0x79, 0x32, 0x1A, 0x07,
    0x93, 0xAB, 0xF2, 0xA8, 0x2A, 0xF1, 0x85, 0x74, 0xEC, 0xF8, 0x24, 0x42, 0x41, 0x35, 0x29, 0xEA,
    0x0F, 0xD5, 0x4E, 0x91, 0xBF, 0x60, 0x18, 0xC5, 0x70, 0x57, 0xF0, 0xFC, 0x44, 0x2D, 0xC4, 0xE9,
    0x61, 0x97, 0x0E, 0x0C, 0xC7, 0xF4, 0x8F, 0xCB, 0xFA, 0x48, 0x33, 0x67, 0x84, 0x22, 0x5D, 0xDA,
    0xE2, 0xED, 0x87, 0x8D, 0x8A, 0xBB, 0x16, 0x0A, 0x3D, 0xB3, 0x38, 0xF5, 0x37, 0x4D, 0x76, 0xD2,
    0x5C, 0xAE, 0x75, 0xA7, 0x13, 0x5B, 0x6B, 0x7D, 0x08, 0x4F, 0xA5, 0x04, 0x54, 0x40, 0x9B, 0x8E,
    0xBD, 0x10, 0x26, 0xF9, 0x7B, 0x3C, 0x00, 0x5A, 0xDD, 0xBC, 0x21, 0x96, 0xE6, 0x65, 0xC8, 0xB0,
    0x23, 0x82, 0x6F, 0xD3, 0x63, 0xFD, 0x05, 0x6C, 0x8B, 0x47, 0xDE, 0x5E, 0x77, 0x12, 0x51, 0x28,
    0x59, 0xFE, 0x56, 0xCE, 0xAD, 0xAC, 0x1E, 0xA6, 0x31, 0xA4, 0x7E, 0x3A, 0xA1, 0x19, 0xC0, 0xDF,
    0x8C, 0x73, 0x15, 0x68, 0xE3, 0x27, 0x34, 0xC6, 0x20, 0xCD, 0xCC, 0xEF, 0xD0, 0x4B, 0x1C, 0x83,
    0x7C, 0x69, 0x62, 0x39, 0x0D, 0x9D, 0x55, 0x02, 0xEB, 0xE8, 0x3F, 0x6D, 0x6E, 0x14, 0xA3, 0xE0,
    0xE1, 0xF7, 0x64, 0xDB, 0xBE, 0x7A, 0xC3, 0xE4, 0x94, 0x1B, 0x01, 0x49, 0x2C, 0x9C, 0xAF, 0xFB,
    0x1D, 0x5F, 0x89, 0x86, 0xBA, 0x78, 0xD7, 0xB4, 0x43, 0x88, 0xD4, 0xF6, 0x2B, 0xB6, 0x3B, 0xD1,
};

// R[S[b]] = 255 - b: the complement of the inverse of S, as the server
// defines it.
struct CInverseTable {
    uint8_t value[256];
    constexpr CInverseTable() : value() {
        for (int b = 0; b < 256; ++b) value[kSubstitution[b]] = static_cast<uint8_t>(255 - b);
    }
};
constexpr CInverseTable kInverse;

using SocketMap = std::unordered_map<SOCKET, CClientSocket*>;

}  // namespace

// The user data of the hidden window: the socket map, which lives exactly as
// long as the window.
class CSocketWindow {
public:
    static LRESULT OnWindowMessage(CSocketWindow* self, HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    SocketMap sockets;

private:
    static void OnTimerTick();
    void DispatchSocketEvent(WPARAM wParam, LPARAM lParam);
};

namespace {

// Process-wide state shared by every CClientSocket; used from one thread.
// The window is declared last so that it goes first at process exit.
std::unique_ptr<CSocketWindow> g_windowData;
kit::CMessageWindow g_window;
int g_openSockets = 0;
// How many timer walks of the registry are running (a handler may pump
// messages from inside OnTimer). While one runs, destructors only blank
// their entry so that no walk steps onto a freed list node.
int g_registryWalks = 0;

std::list<CClientSocket*>& Registry() {
    static std::list<CClientSocket*> registry;
    return registry;
}

// Removes the hidden window's queued `message`s and dispatches them, except
// those for `skip`, which are dropped. A WM_QUIT that comes out of the queue
// is posted again and ends the drain, so that the application's own message
// loop still sees it.
void DrainWindowMessages(UINT message, SOCKET skip) {
    MSG msg;
    while (g_window && PeekMessageW(&msg, g_window.Get(), message, message, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        if (skip != INVALID_SOCKET && static_cast<SOCKET>(msg.wParam) == skip) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

bool MakeHiddenWindow() {
    // Fails harmlessly when a former window registered the class.
    kit::RegisterMessageWindowClass(kWindowClass, &kit::UserDataWindowProc<CSocketWindow>);
    std::unique_ptr<CSocketWindow> data(new (std::nothrow) CSocketWindow);
    if (!data || !g_window.Create(kWindowClass, kWindowTitle, data.get())) return false;
    g_windowData = std::move(data);
    SetTimer(g_window.Get(), kTimerId, kTimerPeriodMs, nullptr);
    return true;
}

// Runs once no socket is open any more. Handles still waiting for their
// deferred closesocket are closed before the window goes.
void DestroyHiddenWindow() {
    SetWindowLongPtrW(g_window.Get(), GWLP_USERDATA, 0);
    g_windowData.reset();
    KillTimer(g_window.Get(), kTimerId);
    DrainWindowMessages(WM_SOCKET_CLOSE, INVALID_SOCKET);
    g_window.Destroy();
}

}  // namespace

CClientSocket::CClientSocket()
    : handler(nullptr),
      state(STATE_NONE),
      recvBuffer(nullptr),
      spareBuffer(nullptr),
      recvLength(0),
      roundTripTime(0),
      selecting(false) {
    std::list<CClientSocket*>& registry = Registry();
    registryEntry_ = registry.insert(registry.end(), this);
}

CClientSocket::~CClientSocket() {
    Close();
    if (g_openSockets == 0 && g_window) DestroyHiddenWindow();
    if (g_registryWalks > 0) {
        *registryEntry_ = nullptr;
    } else {
        Registry().erase(registryEntry_);
    }
}

bool CClientSocket::Create() {
    if (socket) return false;
    if (!recvBlock_) {
        recvBlock_.reset(static_cast<uint8_t*>(std::malloc(2 * kHalfSize)));
        if (!recvBlock_) return false;
        recvBuffer = recvBlock_.get();
        spareBuffer = recvBuffer + kHalfSize;
    }
    if (!g_window && !MakeHiddenWindow()) return false;
    SocketMap& map = g_windowData->sockets;

    kit::CSocketHandle s(WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, 0));
    if (!s) return false;
    const int receiveBuffer = kKernelReceiveBuffer;
    setsockopt(s.Get(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer), sizeof receiveBuffer);
    try {
        map[s.Get()] = this;
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (WSAAsyncSelect(s.Get(), g_window.Get(), WM_SOCKET_EVENT, kSocketEvents) == SOCKET_ERROR) {
        const int error = WSAGetLastError();
        map.erase(s.Get());
        s.Reset();
        WSASetLastError(error);
        return false;
    }
    ++g_openSockets;
    selecting = true;
    socket = std::move(s);
    recvLength = 0;
    state = STATE_CREATED;
    return true;
}

bool CClientSocket::Connect(uint16_t port, const wchar_t* host) {
    if (!socket || !host) return false;
    // A name that does not fit, terminator included, is refused rather than
    // cut short: a shortened name could reach a different host.
    char name[kHostBytes] = {};
    if (WideCharToMultiByte(CP_ACP, 0, host, -1, name, sizeof name, nullptr, nullptr) == 0 || !name[0]) {
        return false;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = inet_addr(name);
    if (address.sin_addr.s_addr == INADDR_NONE) {
        const hostent* entry = gethostbyname(name);
        if (!entry || entry->h_addrtype != AF_INET || !entry->h_addr_list[0]) return false;
        std::memcpy(&address.sin_addr, entry->h_addr_list[0], sizeof address.sin_addr);
    }
    if (connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == SOCKET_ERROR &&
        WSAGetLastError() != WSAEWOULDBLOCK) {
        return false;
    }
    state = STATE_CONNECTING;
    return true;
}

void CClientSocket::Close() {
    if (!socket) return;
    // The object is back in state 0 before any queued message is dispatched,
    // so a handler entered from the drain below sees it closed.
    kit::CSocketHandle s = std::move(socket);
    state = STATE_NONE;
    recvLength = 0;
    if (g_window) WSAAsyncSelect(s.Get(), g_window.Get(), 0, 0);
    selecting = false;
    if (g_windowData) g_windowData->sockets.erase(s.Get());
    --g_openSockets;

    DrainWindowMessages(WM_SOCKET_EVENT, s.Get());
    shutdown(s.Get(), SD_BOTH);
    // The queued WM_SOCKET_CLOSE owns the handle from here on. The drain may
    // have destroyed the window (the last other socket went away inside a
    // handler); then nothing is left to defer to and `s` closes it now.
    if (g_window && PostMessageW(g_window.Get(), WM_SOCKET_CLOSE, static_cast<WPARAM>(s.Get()), 0)) s.Release();
}

void CClientSocket::EncodePacket(PacketHeader* packet) {
    if (packet->flags & PACKET_FLAG_ENCODED) return;
    if (!(packet->flags & PACKET_FLAG_OWN_HEADER)) packet->headerLength = PACKET_HEADER_SIZE;
    if (packet->headerLength < PACKET_HEADER_SIZE || packet->length < packet->headerLength) return;

    uint8_t* payload = reinterpret_cast<uint8_t*>(packet) + packet->headerLength;
    uint32_t size = packet->length - packet->headerLength;
    if (size != 0) {
        if (packet->flags & PACKET_FLAG_COMPRESSED) {
            uint8_t compressed[PACKET_MAX_DECODED];
            uLongf compressedSize = sizeof compressed;
            if (compress(compressed, &compressedSize, payload, size) == Z_OK && compressedSize < size) {
                std::memcpy(payload, compressed, compressedSize);
                size = compressedSize;
                packet->length = static_cast<uint16_t>(packet->headerLength + size);
            } else {
                packet->flags &= ~PACKET_FLAG_COMPRESSED;
            }
        }
        if (packet->flags & PACKET_FLAG_SUBSTITUTED) {
            for (uint32_t i = 0; i < size; ++i) payload[i] = kSubstitution[payload[i]];
        }
        if (packet->flags & PACKET_FLAG_SCRAMBLED) {
            uint8_t key = static_cast<uint8_t>(std::rand());
            for (uint32_t i = 0; i < size; ++i) {
                payload[i] ^= key;
                key ^= static_cast<uint8_t>(i);
            }
            packet->key = key;
        }
    }
    packet->flags |= PACKET_FLAG_ENCODED;
}

int32_t CClientSocket::DecodePacket(PacketHeader* packet) {
    if (!(packet->flags & PACKET_FLAG_ENCODED)) return 0;
    // A payload that would start inside the header or end before it starts.
    if (packet->headerLength < PACKET_HEADER_SIZE || packet->length < packet->headerLength) {
        return PACKET_DECODE_FAILED;
    }
    uint8_t* payload = reinterpret_cast<uint8_t*>(packet) + packet->headerLength;
    const uint32_t size = packet->length - packet->headerLength;
    if (size != 0) {
        if (packet->flags & PACKET_FLAG_SCRAMBLED) {
            uint8_t key = packet->key;
            for (uint32_t i = size; i-- > 0;) {
                key ^= static_cast<uint8_t>(i);
                payload[i] ^= key;
            }
        }
        if (packet->flags & PACKET_FLAG_SUBSTITUTED) {
            for (uint32_t i = 0; i < size; ++i)
                payload[i] = static_cast<uint8_t>(255 - kInverse.value[payload[i]]);
        }
        if (packet->flags & PACKET_FLAG_COMPRESSED) {
            // The decoded packet, header included, must fit in PACKET_MAX_DECODED.
            uint8_t plain[PACKET_MAX_DECODED];
            uLongf plainSize = PACKET_MAX_DECODED - packet->headerLength;
            if (uncompress(plain, &plainSize, payload, size) != Z_OK) return PACKET_DECODE_FAILED;
            std::memcpy(payload, plain, plainSize);
            packet->length = static_cast<uint16_t>(packet->headerLength + plainSize);
        }
    }
    packet->flags &= ~PACKET_FLAG_ENCODED;
    return 0;
}

void CClientSocket::OnConnect(bool success) {
    state = success ? STATE_CONNECTED : STATE_CONNECT_FAILED;
    roundTripTime = 0;
    if (handler) handler->OnSocketConnect(this, success);
}

void CClientSocket::OnRead(int error) {
    // Without notifications (a broken stream) queued reads are stale.
    if (error != 0 || !socket || !selecting) return;
    // The loop below always takes at least one packet out of a full half (a
    // packet is at most 65535 bytes), so there is room again on every call
    // and the socket keeps its read notifications.
    const uint32_t room = kHalfSize - recvLength;
    if (room != 0) {
        const int received = recv(socket.Get(), reinterpret_cast<char*>(recvBuffer + recvLength), room, 0);
        if (received == 0) {
            OnClose(0);
            return;
        }
        if (received == SOCKET_ERROR) {
            const int code = WSAGetLastError();
            // Nothing to read after all (a notification that was already
            // consumed by an earlier recv): not a close.
            if (code == WSAEWOULDBLOCK || code == ERROR_IO_PENDING) return;
            OnClose(code);
            return;
        }
        recvLength += static_cast<uint32_t>(received);
    }

    while (recvLength >= PACKET_HEADER_SIZE) {
        const auto* head = reinterpret_cast<const PacketHeader*>(recvBuffer);
        const uint32_t length = head->length;
        // A length that cannot hold the header would stall or underflow.
        if (length < PACKET_HEADER_SIZE || length < head->headerLength) {
            AbortStream();
            return;
        }
        if (length > recvLength) return;

        std::memcpy(spareBuffer, recvBuffer + length, recvLength - length);
        recvLength -= length;
        std::swap(recvBuffer, spareBuffer);
        auto* packet = reinterpret_cast<PacketHeader*>(spareBuffer);

        if (packet->flags & PACKET_FLAG_RAW) {
            OnPacket(packet);
        } else {
            if (DecodePacket(packet) == PACKET_DECODE_FAILED || packet->length > PACKET_MAX_DECODED) {
                AbortStream();
                return;
            }
            // Delivered from a copy: the half it lies in is the next
            // compaction's target.
            uint8_t copy[PACKET_MAX_DECODED];
            std::memcpy(copy, packet, packet->length);
            OnPacket(reinterpret_cast<PacketHeader*>(copy));
        }
    }
}

void CClientSocket::AbortStream() {
    // Nothing after a broken packet can be trusted: no further reads, not
    // even those the close below dispatches from the queue.
    WSAAsyncSelect(socket.Get(), g_window.Get(), 0, 0);
    selecting = false;
    recvLength = 0;
    OnClose(WSAECONNABORTED);
}

void CClientSocket::OnWrite(int error) {
    if (handler) handler->OnSocketWrite(this, error);
}

void CClientSocket::OnClose(int error) {
    // Data that arrived before the close is delivered first.
    DrainWindowMessages(WM_SOCKET_EVENT, INVALID_SOCKET);
    // Already reported by a close dispatched from the drain, or the owner
    // closed the socket meanwhile.
    if (state == STATE_CLOSED || !socket) return;
    state = STATE_CLOSED;
    if (handler) handler->OnSocketClose(this, error);
}

void CClientSocket::OnPacket(PacketHeader* packet) {
    if (packet->type == PACKET_TYPE_PING) {
        // The echo carries our own tick count at offset 8.
        if (packet->length >= 12) {
            uint32_t sentAt;
            std::memcpy(&sentAt, reinterpret_cast<const uint8_t*>(packet) + 8, sizeof sentAt);
            roundTripTime = GetTickCount() - sentAt;
        }
        return;
    }
    if (handler) handler->OnSocketPacket(this, packet);
}

void CClientSocket::OnTimer() {
    if (state != STATE_CONNECTED) return;
    uint8_t ping[kPingSize] = {};
    auto* packet = reinterpret_cast<PacketHeader*>(ping);
    packet->length = kPingSize;
    packet->type = PACKET_TYPE_PING;
    const uint32_t now = GetTickCount();
    std::memcpy(ping + 8, &now, sizeof now);
    std::memcpy(ping + 12, &roundTripTime, sizeof roundTripTime);
    EncodePacket(packet);
    send(socket.Get(), reinterpret_cast<const char*>(ping), packet->length, 0);
}

LRESULT CSocketWindow::OnWindowMessage(CSocketWindow* self, HWND window, UINT message, WPARAM wParam,
                                       LPARAM lParam) {
    switch (message) {
        case WM_TIMER:
            if (wParam == kTimerId) OnTimerTick();
            break;
        case WM_SOCKET_EVENT:
            // No map: the window is on its way out and every socket is closed.
            if (self) self->DispatchSocketEvent(wParam, lParam);
            return 0;
        case WM_SOCKET_CLOSE: {
            // CClientSocket::Close handed the handle over to this message.
            kit::CSocketHandle closing(static_cast<SOCKET>(wParam));
            return 0;
        }
        default:
            break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void CSocketWindow::OnTimerTick() {
    std::list<CClientSocket*>& registry = Registry();
    ++g_registryWalks;
    for (CClientSocket* object : registry) {
        if (object) object->OnTimer();
    }
    if (--g_registryWalks == 0) registry.remove(nullptr);
}

void CSocketWindow::DispatchSocketEvent(WPARAM wParam, LPARAM lParam) {
    const auto found = sockets.find(static_cast<SOCKET>(wParam));
    if (found == sockets.end()) return;  // closed while the event was queued
    CClientSocket* object = found->second;
    const int error = WSAGETSELECTERROR(lParam);
    switch (WSAGETSELECTEVENT(lParam)) {
        case FD_READ:
            object->OnRead(error);
            break;
        case FD_WRITE:
            object->OnWrite(error);
            break;
        case FD_CONNECT:
            SetLastError(error);
            object->OnConnect(error == 0);
            break;
        case FD_CLOSE:
            object->OnClose(error);
            break;
        default:
            break;
    }
}

}  // namespace _ClientCommonLib
