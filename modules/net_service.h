// The network service module ("REVedArivuzi.so"): a TCP server whose events the gate pumps
// as messages, and the blocking client socket module ("daRizorOrozez.so").
#pragma once

#include <cstdint>

// Message types delivered by INetService::GetMsg.
enum NetMsgType : std::int32_t {
    NET_MSG_IGNORED_100 = 100,
    NET_MSG_ON_RECV = 101,  // data received: data and length valid
    NET_MSG_IGNORED_102 = 102,
    NET_MSG_ON_CLIENTCONNECT = 103,  // connection accepted on the slot
    NET_MSG_ON_CLOSE = 104,          // the peer closed the connection
    NET_MSG_IGNORED_105 = 105,
    NET_MSG_ON_CONNECT_ERROR = 106,  // the connection failed (reset, error)
    NET_MSG_ON_KICKED = 107,         // the service closed the connection (Close, time-out, limit)
    NET_MSG_ON_EVENT = 108,          // a connection event the gate ignores
    NET_MSG_ON_NEW_SLOT = 109,       // a connection slot needs its session object
};

constexpr std::uint32_t kNetMsgDataSize = 4096;

struct NetMsg {
    std::uint32_t index;  // connection index (slot)
    std::int32_t type;    // NetMsgType
    std::int32_t reserved;
    std::uint8_t data[kNetMsgDataSize];
    std::uint32_t length;
};

// One connection slot of the service. Pointers stay valid while the service object lives.
class INetClient {
  public:
    virtual std::uint32_t GetIndex() = 0;
    virtual void* GetUserData() = 0;
    virtual void SetUserData(void* data) = 0;
    virtual int GetSocket() = 0;  // -1 while the slot holds no connection
    // Remote address as dotted text; "" while the slot holds no connection.
    virtual const char* GetIP() = 0;
    // Bytes the send queue may still take before the per-connection limit.
    virtual std::uint64_t GetRemainSendBuffer() = 0;
    // Bytes taken by Send and not yet written to the socket.
    virtual std::uint64_t GetCommitSendBuffer() = 0;
    virtual std::uint64_t GetBytesReceived() = 0;
    virtual std::uint64_t GetBytesSent() = 0;
    // Seconds since the current connection was accepted; 0 when none.
    virtual std::uint64_t GetConnectedSeconds() = 0;

  protected:
    ~INetClient() = default;
};

// Called by the service's own thread when messages wait after none did; it must be quick and
// must not call back into the service.
using NetMsgNotify = void (*)(void* context);

class INetService {
  public:
    virtual bool Start(std::uint16_t port, int capacity) = 0;
    virtual void Stop() = 0;
    virtual INetClient* GetClient(std::uint32_t index) = 0;
    virtual bool GetMsg(NetMsg* msg) = 0;
    virtual bool Send(std::uint32_t index, const void* bytes, std::uint32_t length) = 0;
    virtual void Close(std::uint32_t index) = 0;
    virtual bool IsRunning() = 0;
    virtual std::uint64_t GetParam(int id) = 0;
    virtual void SetParam(int id, std::uint64_t value) = 0;
    virtual int Maintain() = 0;
    virtual void Release() = 0;

    // --- positions the gate adds for itself ---
    // Registers the callback that tells the pump that messages wait (null removes it), so that
    // the pump need not poll. A service without it leaves the pump to poll.
    virtual void SetMsgNotify(NetMsgNotify notify, void* context) {
        (void)notify;
        (void)context;
    }

  protected:
    ~INetService() = default;
};

// Blocking client socket: one link, Connect / Recv on one thread, Close from any thread.
class IBlockSocket {
  public:
    virtual bool Connect(const char* address, std::uint16_t port) = 0;
    // Blocks until bytes arrive; 0 or less when the link failed or was closed.
    virtual int Recv(void* buffer, int capacity) = 0;
    virtual bool IsConnected() = 0;
    virtual void Close() = 0;
    virtual int GetSocket() = 0;
    virtual void SetOption(int option) = 0;
    // Local address to bind before connecting; "" means any.
    virtual void SetBindIP(const char* address) = 0;

  protected:
    ~IBlockSocket() = default;
};

extern "C" {
using GetREVedArivuziInstanceFn = INetService* (*)(int);
using GetNetMsgPoolFn = void* (*)();
using FreeNetMsgPoolFn = void (*)(void*);
using GetZqBlockSocketFn = IBlockSocket* (*)();
using FreeZqBlockSocketFn = void (*)(IBlockSocket*);
}
