// Non-blocking IPv4 TCP client socket driven by window messages, with a
// framed packet layer (8-byte header, optional zlib compression, byte
// substitution, XOR scrambling and a one-second ping).
//
// One hidden "ClientSocketWnd" window per process receives the
// WSAAsyncSelect notifications of every socket and hands each one to the
// virtual operations of the object that owns the socket. Everything runs on
// the thread that pumps that window's messages; the process-wide state has
// no lock, so all objects of a process belong to that one thread.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <list>
#include <memory>

#include "base/UniqueHandle.h"

namespace _ClientCommonLib {

// Message given to WSAAsyncSelect: wParam the socket, LOWORD(lParam) the
// event, HIWORD(lParam) the error code.
constexpr UINT WM_SOCKET_EVENT = 0x1105;
// Deferred closesocket of the handle in wParam.
constexpr UINT WM_SOCKET_CLOSE = 0x1106;

// Packet flags.
constexpr uint8_t PACKET_FLAG_RAW = 0x01;          // delivered as received, never decoded
constexpr uint8_t PACKET_FLAG_SCRAMBLED = 0x02;    // payload XOR-scrambled
constexpr uint8_t PACKET_FLAG_SUBSTITUTED = 0x04;  // payload byte-substituted
constexpr uint8_t PACKET_FLAG_COMPRESSED = 0x08;   // payload zlib-compressed
constexpr uint8_t PACKET_FLAG_ENCODED = 0x40;      // set by EncodePacket, cleared by DecodePacket
constexpr uint8_t PACKET_FLAG_OWN_HEADER = 0x80;   // headerLength kept as given, not forced to 8

constexpr int16_t PACKET_TYPE_PING = -1;
constexpr unsigned PACKET_HEADER_SIZE = 8;
// Largest packet, header included, that compression, decompression and the
// delivery of decoded packets handle.
constexpr unsigned PACKET_MAX_DECODED = 8192;
// DecodePacket's result when the payload cannot be decoded.
constexpr int32_t PACKET_DECODE_FAILED = static_cast<int32_t>(0x80000001u);

#pragma pack(push, 1)
// Header of a framed packet, little-endian on the wire; the payload follows
// at headerLength.
struct PacketHeader {
    uint16_t length;  // whole packet, header included
    int16_t type;     // message type; PACKET_TYPE_PING for the ping
    uint8_t key;      // XOR key left by scrambling
    uint8_t flags;    // PACKET_FLAG_*
    uint8_t reserved;
    uint8_t headerLength;  // offset of the payload
};
#pragma pack(pop)
static_assert(sizeof(PacketHeader) == PACKET_HEADER_SIZE, "the packet header is 8 bytes on the wire");

class CClientSocket;
// The process-wide hidden window's message handling (ClientSocket.cpp).
class CSocketWindow;

// Owner of a plain CClientSocket, told of its events.
class IClientSocketSink {
public:
    // A packet other than a ping echo arrived (decoded unless PACKET_FLAG_RAW).
    // The packet is valid until the call returns.
    virtual void OnSocketPacket(CClientSocket* socket, PacketHeader* packet) = 0;
    virtual void OnSocketConnect(CClientSocket* socket, bool success) = 0;
    virtual void OnSocketClose(CClientSocket* socket, int error) = 0;
    virtual void OnSocketWrite(CClientSocket* socket, int error) = 0;

protected:
    ~IClientSocketSink() = default;
};

class CClientSocket {
public:
    // Connection states.
    enum : int32_t {
        STATE_NONE = 0,        // no socket
        STATE_CREATED = 1,     // socket created and registered
        STATE_CONNECTING = 2,  // non-blocking connect issued
        STATE_CONNECTED = 3,
        STATE_CONNECT_FAILED = 4,
        STATE_CLOSED = 5,  // closed by the peer or by a socket error
    };

    CClientSocket();
    virtual ~CClientSocket();
    CClientSocket(const CClientSocket&) = delete;
    CClientSocket& operator=(const CClientSocket&) = delete;

    // Creates the socket and registers it with the hidden window (made on
    // first use). False, changing nothing, when a socket already exists or
    // anything on the way fails.
    bool Create();
    // Starts a non-blocking connect; the result arrives through OnConnect.
    // False when there is no socket, the host name does not fit in 31 bytes
    // of the ANSI code page, the name cannot be resolved or connect fails at
    // once; the state then stays STATE_CREATED.
    bool Connect(uint16_t port, const wchar_t* host);
    // Ends the connection at once and returns to STATE_NONE; any state. The
    // closesocket itself runs later from the message loop.
    void Close();

    // Compresses, substitutes and scrambles the packet in place, as its flags
    // ask. Does nothing to an already encoded packet, nor to one whose own
    // header length (PACKET_FLAG_OWN_HEADER) is below 8 or beyond its length.
    virtual void EncodePacket(PacketHeader* packet);
    // Undoes EncodePacket in place; 0, or PACKET_DECODE_FAILED when the
    // packet is malformed or its payload does not decompress into a packet
    // of at most PACKET_MAX_DECODED bytes. A compressed packet must lie in a
    // buffer of PACKET_MAX_DECODED bytes.
    virtual int32_t DecodePacket(PacketHeader* packet);

    void SetHandler(IClientSocketSink* sink) { handler = sink; }
    IClientSocketSink* GetHandler() const { return handler; }
    SOCKET GetSocket() const { return socket.Get(); }
    int32_t GetState() const { return state; }
    uint32_t GetRoundTripTime() const { return roundTripTime; }

protected:
    virtual void OnConnect(bool success);
    // The packet receive path.
    virtual void OnRead(int error);
    virtual void OnWrite(int error);
    virtual void OnClose(int error);
    virtual void OnPacket(PacketHeader* packet);
    // One-second tick: sends the ping while connected.
    virtual void OnTimer();

    IClientSocketSink* handler;
    kit::CSocketHandle socket;
    int32_t state;
    // recvBuffer holds recvLength unprocessed bytes at its start; spareBuffer
    // is the other half of the same block, the target of compaction. Both
    // point into recvBlock_, which owns the block.
    uint8_t* recvBuffer;
    uint8_t* spareBuffer;
    uint32_t recvLength;
    uint32_t roundTripTime;
    bool selecting;

private:
    friend class CSocketWindow;

    struct tagFreeBlock {
        void operator()(uint8_t* block) const { std::free(block); }
    };

    // Ends a connection whose packet stream is broken: OnClose(WSAECONNABORTED).
    void AbortStream();

    std::unique_ptr<uint8_t, tagFreeBlock> recvBlock_;
    // Position in the process-wide registry walked by the timer.
    std::list<CClientSocket*>::iterator registryEntry_;
};

}  // namespace _ClientCommonLib
