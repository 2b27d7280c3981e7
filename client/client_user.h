// ClientUser: one client connection slot of the gate. It turns a game client's byte stream into
// checked, deciphered client packets queued for the route link, and sends the packets addressed
// to its client, framed and enciphered, after a short grouping delay.
//
//   state   0 free ── connect ──> 1 registering ──> 2 connected ── log-in reply ──> 3 logged in
//           any state ── reset ──> 0
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "packet/mmorpg_packet.h"
#include "packet/thread_queue.h"
#include "server/server_obj.h"
#include "thread/zq_auto_lock.h"

class ClientProcess;

// The first client packet of every connection, 6 bytes: command 1, sub-command 35, version.
struct tagCClientPackVersion {
    static constexpr std::size_t kSize = 6;
    static constexpr std::uint8_t kCommand = 1;
    static constexpr std::uint8_t kSubCommand = 35;
    static constexpr std::uint32_t kVersion = 153518004;

    std::uint8_t Command = 0;
    std::uint8_t SubCommand = 0;
    std::uint32_t Version = 0;

    // Reads the record from the first 6 bytes; false (record untouched) when fewer are given.
    bool ReadData(std::span<const std::uint8_t> bytes);
};

// Reason codes of the 3-byte kick packet {1, 4, reason}.
enum KickReason : std::uint8_t {
    kKickWrongVersion = 102,
    kKickPackTooLong = 108,
    kKickPackPile = 109,
};

// PackType values of the route-bound packets of a session.
enum ClientPackType : std::uint8_t {
    kPackClientData = 1,
    kPackDisconnect = 3,
    kPackConnect = 4,
};

class ClientUser final : public IServerObj {
  public:
    static constexpr std::int32_t kFirstPackOrder = 250;
    static constexpr std::int32_t kRecorderId = 7;  // the "VevIdor" recorder
    static constexpr std::size_t kConnectNoticeSize = 21;

    // service: not owned; poolIndex: the connection slot; owner: the client process whose
    // limits, online index and kick list the session uses (outlives the session).
    ClientUser(INetService* service, std::int32_t poolIndex, ClientProcess& owner);
    ~ClientUser() override;

    // Feeds the chunk to the framing object; a client whose incomplete frame already holds
    // more than the largest acceptable packet is kicked (reason 108) and its bytes dropped.
    void OnRecvData(const std::uint8_t* bytes, std::size_t length) override;
    // Second receiving stage: one deciphered, checked client packet (head is null).
    void OnGetPack(const tagPackHead* head, const std::uint8_t* bytes, std::size_t length) override;
    // Marks the session active, stamps the session id, sets body-only and queues the packet for
    // the client; the queue owns it from now on. Safe from any thread.
    int PushSendPack(MMORPG::MMORPGPacket* packet) override;
    // Send grouping in front of the base's SendAll (client process's thread only).
    int SendAll() override;
    // Enciphers the frame after its head with the outbound key.
    void OnSendData(MMORPG::MMORPGPacket* packet, std::uint8_t* framed,
                    std::size_t length) override;
    // The session reset (takes the session lock, then the online-index lock). Closes the
    // connection when the session was in use. Safe from any thread.
    void ResetObj() override;

    // Sends a route-server body to the client (a pooled packet through PushSendPack); false when
    // the body is longer than a packet can carry. Safe from any thread.
    bool SendToClient(std::span<const std::uint8_t> body);
    // Sends the reason bytes to the client and puts the session on the kick list, which closes
    // the connection no sooner than 500 ms later. Safe from any thread.
    void Kick(std::span<const std::uint8_t> reason);
    // Kick with the 3-byte packet {1, 4, reason}.
    void KickWithReason(std::uint8_t reason);
    // For an accepted connection whose slot has no session id: reset, clear the route-bound
    // queue, register in the online index, state 2, queue the connect notice.
    void Connect();
    // For a closed connection: with a session id, queue the disconnect notice (the route link
    // resets the session once it is sent); without, reset at once. A notice already waiting is
    // not queued twice.
    void SendDisconnectNotice();
    // The route server's log-in reply: session id, player index and state 3, under the session
    // lock, only while a connection is announced or logged in (state 2 or 3). False otherwise
    // (the client has left): nothing is changed.
    bool ApplyLogin(std::uint32_t sessionId, std::int32_t playerIndex);

    // The packets waiting for the route link (drained with PacketPop). The route link resets the
    // session (ResetObj) after writing a packet whose IsLastPack() is set.
    CThreadQueue<MMORPG::MMORPGPacket>& GetRouteQueue() { return m_RouteQueue; }
    int GetPile() { return m_RouteQueue.GetCount(); }

    // Interlocked fields: read without a lock from any thread.
    std::uint32_t GetSessionID() const { return m_SessionID.load(); }
    void SetSessionID(std::uint32_t id) { m_SessionID.store(id); }
    std::int32_t GetPlayerIndexInGameServer() const { return m_PlayerIndex.load(); }
    void SetPlayerIndexInGameServer(std::int32_t index) { m_PlayerIndex.store(index); }
    std::int32_t GetState() const { return m_State.load(); }
    void SetState(std::int32_t state) { m_State.store(state); }
    bool GetRecordFlag() const { return m_RecordFlag.load() != 0; }
    void SetRecordFlag(bool on) { m_RecordFlag.store(on ? 1 : 0); }

    std::int32_t GetPoolIndex() const { return m_Index; }
    std::int32_t GetPackOrder() const { return m_PackOrder.load(std::memory_order_relaxed); }
    std::uint32_t GetKickTime() const { return m_KickTime.load(std::memory_order_relaxed); }
    // "IsActive": a packet was queued for this client since the last reset.
    bool IsActive() const { return m_ClientBound.load(std::memory_order_relaxed) != 0; }
    // Raised by every reset; the kick list uses it to skip sessions reset since their kick.
    std::uint32_t GetResetCount() const { return m_ResetCount.load(); }

    // First receiving stage for one framed payload (the framing object's packet callback).
    void OnDispatchPack(const std::uint8_t* payload, std::size_t length);
    // The raw-data hook: whether the framing object may cut the new chunk.
    bool OnRawData(const std::uint8_t* bytes, std::size_t length);

  private:
    // The reset with the session lock held.
    void ResetLocked();
    // Queues a route-bound packet of the type with the body.
    void QueueForRoute(std::uint8_t packType, std::span<const std::uint8_t> body);

    ClientProcess& m_Owner;
    CriticalSection m_SessionLock;
    std::atomic<std::int32_t> m_PackOrder{kFirstPackOrder};
    std::atomic<std::int32_t> m_State{0};
    std::atomic<std::uint32_t> m_SessionID{0};
    std::atomic<std::uint32_t> m_KickTime{0};
    std::atomic<std::int32_t> m_PlayerIndex{-1};
    CThreadQueue<MMORPG::MMORPGPacket> m_RouteQueue;
    std::uint32_t m_LastFlushTime = 0;
    std::atomic<std::int32_t> m_RecordFlag{0};
    std::atomic<std::uint8_t> m_ClientBound{0};
    std::atomic<std::uint8_t> m_NoticePending{0};
    std::atomic<std::uint32_t> m_ResetCount{0};
    // Deciphering work area (receiving thread only).
    std::vector<std::uint8_t> m_Plain;
};
