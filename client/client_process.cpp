// ClientProcess: the client listener's events, the online index, the kick list and the worker
// round "ThreadProcessPack".
#include "client/client_process.h"

#include <algorithm>
#include <cstdint>
#include <string>

#include "client/client_files.h"
#include "diag/log.h"
#include "server/run_state.h"
#include "thread/thread_manager.h"
#include "thread/tick.h"

namespace {

std::uint32_t DefaultTick() {
    return timeGetTime();
}

bool RouteLinkConnected() {
    return server::GetGateRunState().IsRouteConnected();
}

ClientUser* UserOf(INetClient* client) {
    if (client == nullptr) return nullptr;
    return static_cast<ClientUser*>(static_cast<IServerObj*>(client->GetUserData()));
}

unsigned AddressBits(const void* address) {
    return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(address));
}

int ThreadProcessPack(void* userData, int) {
    try {
        static_cast<ClientProcess*>(userData)->ProcessRound();
    } catch (const std::exception& e) {
        diag::GetLog().logError("ThreadProcessPack exception : %s", e.what());
    }
    return 1;
}

}  // namespace

ClientProcess::ClientProcess()
    : m_ConnectStatic(std::make_unique<CConnectStatic>()),
      m_RouteLinkQuery(&RouteLinkConnected),
      m_Tick(&DefaultTick) {
    SetName("ClientProcess");
}

ClientProcess::ClientProcess(INetService* service)
    : INetProcess(service),
      m_ConnectStatic(std::make_unique<CConnectStatic>()),
      m_RouteLinkQuery(&RouteLinkConnected),
      m_Tick(&DefaultTick) {
    SetName("ClientProcess");
}

ClientProcess::~ClientProcess() = default;

std::uint32_t ClientProcess::GetEffectiveAppVersion() const {
    const std::uint32_t version = m_AppVersion.load(std::memory_order_relaxed);
    return version == 0 ? kDefaultAppVersion : version;
}

bool ClientProcess::IsRouteLinkUp() const {
    RouteLinkQuery query = m_RouteLinkQuery.load();
    return query != nullptr && query();
}

void ClientProcess::OnCreateClientObj(INetService* service, INetClient* client) {
    const auto index = static_cast<std::int32_t>(client->GetIndex());
    auto session = std::make_unique<ClientUser>(service, index, *this);
    ClientUser* raw = session.get();
    AddServerObj(std::move(session));
    {
        // Indexed by the slot itself, whatever order the service announces its slots in.
        ZQAutoLock lock(m_PoolLock);
        const auto position = static_cast<std::size_t>(index);
        if (position >= m_PoolList.size()) m_PoolList.resize(position + 1, nullptr);
        if (m_PoolList[position] != nullptr) {
            diag::GetLog().logWarn("ClientProcess::OnCreateClientObj slot %d announced twice",
                                   index);
        }
        m_PoolList[position] = raw;
    }
    client->SetUserData(static_cast<IServerObj*>(raw));
}

void ClientProcess::OnAcceptClient(INetService*, INetClient* client) {
    ClientUser* session = UserOf(client);
    if (session == nullptr) {
        diag::Log4Kest::instance().error(0, 0, "ClientAccept Error. lpUserData = NULL");
        return;
    }
    if (GetRefuseConnect() || !IsRouteLinkUp()) {
        session->CloseClient();
        return;
    }
    const std::string ip = client::TrimText(session->GetIP());
    m_ConnectStatic->countConnection(ip);
    if (m_AcceptFilter.check(ip)) {
        const std::uint32_t sessionId = session->GetSessionID();
        if (sessionId != 0) {
            diag::GetLog().warn("如果这个玩家还没有下线, 断开和此玩家的连接 sid = 0x%x", sessionId);
            session->SendDisconnectNotice();
            // The new connection is not registered: it must not speak as the old player.
            session->CloseClient();
        } else {
            diag::Log4Kest::instance().warn(
                sessionId, 0, "OnAcceptClient, IP = %s, socketID = %d poolIndex = %d", ip.c_str(),
                session->GetSocket(), session->GetPoolIndex());
            session->Connect();
        }
    } else {
        diag::GetLog().warn("Refuse connection.Client IP %s", ip.c_str());
        session->SendDisconnectNotice();
        session->CloseClient();
    }
}

void ClientProcess::OnClientRecv(INetService*, INetClient* client, const std::uint8_t* bytes,
                                 std::size_t length) {
    ClientUser* session = UserOf(client);
    if (session == nullptr) {
        diag::Log4Kest::instance().error(0, 0, "ClientAccept Error. lpUserData = NULL");
        return;
    }
    if (GetRecordRawPack()) {
        diag::Log4Kest::instance().trace(session->GetSessionID(), 0, "%s",
                                         diag::HexDump({bytes, length}).c_str());
    }
    session->OnRecvData(bytes, length);
}

void ClientProcess::OnClientDisconnect(INetService*, INetClient* client) {
    ClientUser* session = UserOf(client);
    if (session == nullptr) {
        diag::Log4Kest::instance().error(0, 0, "ClientAccept Error. lpUserData = NULL");
        return;
    }
    diag::GetLog().warn("ClientProcess::OnClientDisconnect Index = %d SessionID = 0x%x",
                        session->GetPoolIndex(), session->GetSessionID());
    session->SendDisconnectNotice();
}

void ClientProcess::OnClientEvent(INetService*, INetClient*) {}

void ClientProcess::InitProcess() {
    SingleThread& worker =
        ThreadManager::instance().addThread("ThreadProcessPack", &ThreadProcessPack, this);
    m_Worker = worker.wakeSignal();
    GetService()->SetMsgNotify([](void* self) { static_cast<ClientProcess*>(self)->WakeWorker(); },
                               this);
}

void ClientProcess::WakeWorker() {
    if (m_Worker) m_Worker->wake();
}

void ClientProcess::SetRouteBoundNotify(RouteBoundNotify notify, void* context) {
    m_RouteBoundContext.store(context);
    m_RouteBoundNotify.store(notify);
}

void ClientProcess::NotifyRouteBound() {
    if (RouteBoundNotify notify = m_RouteBoundNotify.load()) notify(m_RouteBoundContext.load());
}

void ClientProcess::ProcessRound() {
    const std::uint32_t now = Now();
    ProcessNetMsg();
    ProcessSend();
    CheckKickList(now);
    if (now - m_LastMaintainTime > kMaintainIntervalMs) {
        m_LastMaintainTime = now;
        MaintainService();
    }
}

void ClientProcess::CheckKickList(std::uint32_t now) {
    if (m_LastKickCheckTime == 0) m_LastKickCheckTime = now;
    if (now - m_LastKickCheckTime < kKickDelayMs) return;
    m_LastKickCheckTime = now;

    std::vector<KickEntry> due;
    {
        ZQAutoLock lock(m_KickLock);
        for (std::size_t i = m_KickList.size(); i-- > 0;) {
            const KickEntry& entry = m_KickList[i];
            if (now - entry.kickTime > kKickDelayMs ||
                entry.session->GetResetCount() != entry.resetCount) {
                due.push_back(entry);
                m_KickList.erase(m_KickList.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
    }
    for (const KickEntry& entry : due) {
        // A session reset since its kick may already carry a new connection: leave it alone.
        if (entry.session->GetResetCount() != entry.resetCount) continue;
        ClientUser* session = entry.session;
        if (session->GetSessionID() != 0) {
            // A logged-in player: the route server is told that the player left (the route
            // link resets the session once the notice is written), and the client goes now.
            session->SendDisconnectNotice();
            session->CloseClient();
        } else {
            session->ResetObj();
        }
    }
}

void ClientProcess::RegisterClient(ClientUser* session) {
    ZQAutoLock lock(m_OnlineLock);
    session->SetState(1);
    const std::uint32_t sessionId = session->GetSessionID();
    const std::int32_t index = session->GetPoolIndex();
    diag::Log4Kest::instance().warn(
        sessionId, 0, "PoolIndex = %d, Add : 0x%x, this = 0x%x, m_ClientsByIndex = 0x%x", index,
        sessionId, AddressBits(this), AddressBits(&m_ClientsByIndex));
    auto it =
        std::lower_bound(m_ClientsByIndex.begin(), m_ClientsByIndex.end(), index,
                         [](const auto& entry, std::int32_t key) { return entry.first < key; });
    if (it == m_ClientsByIndex.end() || it->first != index) {
        m_ClientsByIndex.insert(it, {index, session});
    }
    diag::GetLog().logInfo("ClientProcess::RegisterClient SessionID:%d PoolIndex:%d",
                           static_cast<int>(sessionId), index);
}

void ClientProcess::ClientDisconnect(ClientUser* session) {
    ZQAutoLock lock(m_OnlineLock);
    const std::uint32_t former = session->GetSessionID();
    if (former != 0) session->SetSessionID(0);
    const std::int32_t index = session->GetPoolIndex();
    diag::Log4Kest::instance().warn(
        former, 0, "PoolIndex = %d, Delete : 0x%x, this = 0x%x, m_ClientsByIndex = 0x%x", index,
        former, AddressBits(this), AddressBits(&m_ClientsByIndex));
    auto it =
        std::lower_bound(m_ClientsByIndex.begin(), m_ClientsByIndex.end(), index,
                         [](const auto& entry, std::int32_t key) { return entry.first < key; });
    if (it == m_ClientsByIndex.end() || it->first != index) {
        diag::Log4Kest::instance().warn(former, 0,
                                        "ClientProcess::ClientDisconnect delete failed!");
        return;
    }
    m_ClientsByIndex.erase(it);
}

ClientUser* ClientProcess::GetClientByIndex(int index) {
    ZQAutoLock lock(m_PoolLock);
    if (index < 0 || static_cast<std::size_t>(index) >= m_PoolList.size()) return nullptr;
    return m_PoolList[static_cast<std::size_t>(index)];
}

int ClientProcess::GetOnlineCount() {
    ZQAutoLock lock(m_OnlineLock);
    return static_cast<int>(m_ClientsByIndex.size());
}

ClientUser* ClientProcess::GetOnlineClient(int position) {
    ZQAutoLock lock(m_OnlineLock);
    if (position < 0 || static_cast<std::size_t>(position) >= m_ClientsByIndex.size()) {
        return nullptr;
    }
    return m_ClientsByIndex[static_cast<std::size_t>(position)].second;
}

std::vector<ClientUser*> ClientProcess::GetOnlineClients() {
    std::vector<ClientUser*> sessions;
    ZQAutoLock lock(m_OnlineLock);
    sessions.reserve(m_ClientsByIndex.size());
    for (const auto& entry : m_ClientsByIndex) sessions.push_back(entry.second);
    return sessions;
}

int ClientProcess::GetPoolSize() {
    ZQAutoLock lock(m_PoolLock);
    return static_cast<int>(std::count_if(m_PoolList.begin(), m_PoolList.end(),
                                          [](const ClientUser* s) { return s != nullptr; }));
}

int ClientProcess::GetKickListCount() {
    ZQAutoLock lock(m_KickLock);
    return static_cast<int>(m_KickList.size());
}

void ClientProcess::AddToKickList(ClientUser* session) {
    ZQAutoLock lock(m_KickLock);
    m_KickList.push_back({session, session->GetKickTime(), session->GetResetCount()});
}

void ClientProcess::ResetAllClients() {
    const int count = [this] {
        ZQAutoLock lock(m_PoolLock);
        return static_cast<int>(m_PoolList.size());
    }();
    for (int i = 0; i < count; ++i) {
        if (ClientUser* session = GetClientByIndex(i)) session->ResetObj();
    }
}

ClientProcess& GetClientProcess() {
    // Made once and never destroyed: worker threads may still use it while the process ends.
    static ClientProcess* const instance = new ClientProcess();
    return *instance;
}
