// ClientProcess: the gate's client-side network process. It owns every client session, pumps
// the client listener's events, keeps the online index in pool-index order, runs the kick list
// and the worker thread "ThreadProcessPack", and carries the limits the sessions apply.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "client/accept_filter.h"
#include "client/client_user.h"
#include "client/connect_static.h"
#include "client/packet_filter.h"
#include "server/net_process.h"
#include "thread/zq_auto_lock.h"
#include "thread/zr_thread.h"

class ClientProcess final : public INetProcess {
  public:
    // The version number used for deciphering when the application version number is 0.
    static constexpr std::uint32_t kDefaultAppVersion = tagCClientPackVersion::kVersion;
    static constexpr std::uint32_t kKickDelayMs = 500;
    static constexpr std::uint32_t kMaintainIntervalMs = 9999;

    // Source of the 32-bit ms ticks used by the sessions and the worker round.
    using TickSource = std::uint32_t (*)();
    // Whether the route link is connected; connections are refused while it answers false.
    using RouteLinkQuery = bool (*)();

    // With a service object of the network service module.
    ClientProcess();
    // With the given service (owned; released at destruction): used by tests.
    explicit ClientProcess(INetService* service);
    ~ClientProcess() override;

    void OnCreateClientObj(INetService* service, INetClient* client) override;
    void OnAcceptClient(INetService* service, INetClient* client) override;
    void OnClientRecv(INetService* service, INetClient* client, const std::uint8_t* bytes,
                      std::size_t length) override;
    void OnClientDisconnect(INetService* service, INetClient* client) override;
    void OnClientEvent(INetService* service, INetClient* client) override;

    // Registers the worker "ThreadProcessPack" with the thread manager (started by startAll)
    // and asks the service to wake it when messages wait.
    void InitProcess() override;
    // Ends the worker's pause between rounds early: messages or client-bound packets wait.
    // Safe from any thread.
    void WakeWorker();
    // Who is told that a session queued a packet for the route link (the route link's send
    // thread, so that it need not poll). Safe from any thread.
    using RouteBoundNotify = void (*)(void* context);
    void SetRouteBoundNotify(RouteBoundNotify notify, void* context);
    void NotifyRouteBound();
    // One round of the worker: messages, send step, kick-list check, 10-second maintenance.
    void ProcessRound();

    // Online index maintenance; called with the session lock held (session lock first).
    void RegisterClient(ClientUser* session);
    void ClientDisconnect(ClientUser* session);

    // The session of pool index i, or null. Safe from any thread.
    ClientUser* GetClientByIndex(int index) override;
    // Entries of the online index. Safe from any thread.
    int GetOnlineCount() override;
    // The online session at that position in pool-index order, or null. Safe from any thread.
    ClientUser* GetOnlineClient(int position) override;
    // The online sessions in pool-index order, copied under the online-index lock.
    std::vector<ClientUser*> GetOnlineClients();

    // Number of sessions created.
    int GetPoolSize();
    int GetKickListCount();
    // Appends the session to the kick list; the session has stored its kick time.
    void AddToKickList(ClientUser* session);
    // Resets every session in pool-index order (when the route link connects).
    void ResetAllClients();

    // Limits and switches: plain values written by the window thread, read by the worker.
    void SetRefuseConnect(bool on) { m_RefuseConnect.store(on); }
    bool GetRefuseConnect() const { return m_RefuseConnect.load(); }
    // "记录所有封包": every received chunk is traced.
    void SetRecordRawPack(bool on) { m_RecordRawPack.store(on); }
    bool GetRecordRawPack() const { return m_RecordRawPack.load(); }
    // "记录所有封包(解密后)": every deciphered client packet is traced.
    void SetLogDecodedPack(bool on) { m_LogDecodedPack.store(on); }
    bool GetLogDecodedPack() const { return m_LogDecodedPack.load(); }
    // 0 means kDefaultAppVersion.
    void SetAppVersion(std::uint32_t version) { m_AppVersion.store(version); }
    std::uint32_t GetAppVersion() const { return m_AppVersion.load(); }
    // The number used for the deciphering key: the application version or its default.
    std::uint32_t GetEffectiveAppVersion() const;
    void SetMinSendInterval(std::uint32_t ms) { m_MinSendInterval.store(ms); }
    std::uint32_t GetMinSendInterval() const { return m_MinSendInterval.load(); }
    // The pile of client-bound packets that forces a send before the interval ("labMaxPack").
    void SetMaxPackToSend(std::int32_t pile) { m_MaxPackToSend.store(pile); }
    std::int32_t GetMaxPackToSend() const { return m_MaxPackToSend.load(); }
    void SetMaxClientPackLen(std::int32_t bytes) { m_MaxClientPackLen.store(bytes); }
    std::int32_t GetMaxClientPackLen() const { return m_MaxClientPackLen.load(); }
    void SetMaxClientPackPile(std::int32_t pile) { m_MaxClientPackPile.store(pile); }
    std::int32_t GetMaxClientPackPile() const { return m_MaxClientPackPile.load(); }

    CConnectStatic& GetConnectStatic() { return *m_ConnectStatic; }
    CAcceptFilter& GetAcceptFilter() { return m_AcceptFilter; }
    CPacketFilter& GetPacketFilter() { return m_PacketFilter; }

    // Where the route-link-connected flag is read: the gate's shared run state unless replaced
    // (e.g. by tests). A null query counts as a link that is down.
    void SetRouteLinkQuery(RouteLinkQuery query) { m_RouteLinkQuery.store(query); }
    bool IsRouteLinkUp() const;
    // The tick source (timeGetTime unless replaced, e.g. by tests).
    void SetTickSource(TickSource source) { m_Tick.store(source); }
    std::uint32_t Now() const { return m_Tick.load()(); }

  private:
    struct KickEntry {
        ClientUser* session;
        std::uint32_t kickTime;
        std::uint32_t resetCount;
    };

    void CheckKickList(std::uint32_t now);

    std::unique_ptr<CConnectStatic> m_ConnectStatic;
    CAcceptFilter m_AcceptFilter;
    std::atomic<bool> m_RefuseConnect{false};
    CriticalSection m_PoolLock;
    std::vector<ClientUser*> m_PoolList;
    CriticalSection m_OnlineLock;
    std::vector<std::pair<std::int32_t, ClientUser*>> m_ClientsByIndex;
    CriticalSection m_KickLock;
    std::vector<KickEntry> m_KickList;
    CPacketFilter m_PacketFilter;
    std::atomic<bool> m_RecordRawPack{false};
    std::atomic<bool> m_LogDecodedPack{false};
    std::atomic<std::uint32_t> m_AppVersion{0};
    std::atomic<std::uint32_t> m_MinSendInterval{20};
    std::atomic<std::int32_t> m_MaxPackToSend{270};
    std::atomic<std::int32_t> m_MaxClientPackLen{1024};
    std::atomic<std::int32_t> m_MaxClientPackPile{100};
    std::uint32_t m_LastMaintainTime = 0;
    std::uint32_t m_LastKickCheckTime = 0;
    std::atomic<RouteLinkQuery> m_RouteLinkQuery;
    // Set once on the main thread before any producer runs; kept after the thread is gone.
    std::shared_ptr<WakeSignal> m_Worker;
    std::atomic<RouteBoundNotify> m_RouteBoundNotify{nullptr};
    std::atomic<void*> m_RouteBoundContext{nullptr};
    std::atomic<TickSource> m_Tick;
};

// The process-wide client process, made on first use (with the network service module's
// service object) and kept until the process ends.
ClientProcess& GetClientProcess();
