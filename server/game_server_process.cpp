// The route server link: receive step, send step, the handling of the route server's packets
// and the gate records.
#include "server/game_server_process.h"

#include <cerrno>
#include <cstring>

#include "client/client_process.h"
#include "diag/date_time.h"
#include "diag/log.h"
#include "diag/recorder/pack_recorder.h"
#include "packet/net_stream.h"
#include "packet/packet_pool.h"
#include "server/net_module_loader.h"
#include "server/route_records.h"
#include "thread/thread_manager.h"

namespace {

constexpr const char* kPosPath = "GameServerProcess";
constexpr int kLineRecvError = 513;
constexpr int kLineOwnRecordError = 183;
constexpr int kLineClientPackError = 452;
constexpr int kLineFlushError = 473;

std::string Pos(int line) {
    return diag::SourcePos(kPosPath, line);
}

const char* LastSystemError() {
    return std::strerror(errno);
}

}  // namespace

GameServerProcess::GameServerProcess()
    : GameServerProcess(GetClientProcess(), server::NetModules::NewBlockSocket(),
                        &server::NetModules::FreeBlockSocket, server::GetGateRunState()) {}

GameServerProcess::GameServerProcess(ClientProcess& clients, IBlockSocket* socket,
                                     SocketDeleter freeSocket, server::GateRunState& runState)
    : m_Clients(clients),
      m_RunState(runState),
      m_Socket(socket),
      m_FreeSocket(freeSocket),
      m_RecvBuffer(kDefaultRecvBufferLen) {
    m_Socket->SetOption(0);
    m_Dispatcher.SetPackCallback(&GameServerProcess::OnDispatch, this);
}

GameServerProcess::~GameServerProcess() {
    if (m_FreeSocket != nullptr) m_FreeSocket(m_Socket);
}

void GameServerProcess::InitThreads() {
    ThreadManager::instance().addThread("RcvFromGameServer", &GameServerProcess::RecvThread, this);
    m_Sender = ThreadManager::instance()
                   .addThread("SendToGameServer", &GameServerProcess::SendThread, this)
                   .wakeSignal();
    // Packets queued for the route server end the send thread's pause at once.
    m_Clients.SetRouteBoundNotify(
        [](void* self) { static_cast<GameServerProcess*>(self)->WakeSender(); }, this);
}

void GameServerProcess::WakeSender() {
    if (m_Sender) m_Sender->wake();
}

int GameServerProcess::RecvThread(void* self, int) {
    return static_cast<GameServerProcess*>(self)->RecvStep();
}

int GameServerProcess::SendThread(void* self, int) {
    return static_cast<GameServerProcess*>(self)->SendStep();
}

void GameServerProcess::OnDispatch(void* self, const std::uint8_t* payload, std::size_t length) {
    static_cast<GameServerProcess*>(self)->GetPackFromGameServer(payload, length);
}

void GameServerProcess::ResetCounters() {
    m_SendCounter.reset();
    m_RecvCounter.reset();
}

void GameServerProcess::PrepareConnect() {
    m_Dropped.store(0);
    // The receive thread may still be cutting the old link's last chunk: it drops the pending
    // bytes itself before its next receive, which is on the new link.
    m_DropPending.store(true);
}

void GameServerProcess::SetRecvBufferLen(std::int32_t n) {
    // Applied by the receive thread itself: it may be blocked in Recv on the current buffer.
    m_RecvBufferWanted.store(n < 1 ? 1 : n);
}

PackRecorder* GameServerProcess::RecorderFor(int id, std::atomic<PackRecorder*>& cache) {
    PackRecorder* recorder = cache.load(std::memory_order_acquire);
    if (recorder == nullptr) {
        // Recorders are created at the first Start and never removed.
        recorder = GetPackRecorderManager().recorderFor(id);
        if (recorder != nullptr) cache.store(recorder, std::memory_order_release);
    }
    return recorder;
}

// --- receiving ---

int GameServerProcess::RecvStep() {
    if (m_DropPending.exchange(false)) m_Dispatcher.ResetDispatch();
    std::int32_t wanted = m_RecvBufferWanted.load();
    if (static_cast<std::size_t>(wanted) != m_RecvBuffer.size()) m_RecvBuffer.resize(wanted);

    int n = m_Socket->Recv(m_RecvBuffer.data(), static_cast<int>(m_RecvBuffer.size()));
    if (n > 0) {
        m_RecvCounter.addBytes(static_cast<std::uint32_t>(n));
        m_Dispatcher.DispatchData(m_RecvBuffer.data(), static_cast<std::size_t>(n));
        return 0;
    }
    std::string pos = Pos(kLineRecvError);
    // A result of 0 is an orderly close: errno says nothing about it then.
    diag::Log4Kest::instance().warn(0, 0, "%s, Socket Error : %s", pos.c_str(),
                                    n == 0 ? "closed by the route server" : LastSystemError());
    m_RunState.SetRouteConnected(false);
    m_Dispatcher.ResetDispatch();
    return kRecvFailPauseMs;
}

void GameServerProcess::GetPackFromGameServer(const std::uint8_t* payload, std::size_t length) {
    std::span<const std::uint8_t> bytes(payload, length);
    if (length < tagPackHead::kSize) {
        std::string dump = diag::HexDump(bytes);
        diag::Log4Kest::instance().warn(
            0, 0, "GameServerProcess::GetPackFromGameServer从GameServer出接受的封包不对 : %s",
            dump.c_str());
        return;
    }
    tagPackHead head;
    head.ReadData(bytes, 0);
    std::span<const std::uint8_t> body = bytes.subspan(tagPackHead::kSize);
    if (PackRecorder* recorder = RecorderFor(kRouteRecorderId, m_RouteRecorder)) {
        recorder->recv().record(bytes, head.SessionID, 0);
    }

    if (head.PackType == route::kPackIgnored) return;

    if (head.PackType == route::kPackDisconnect || head.PackType == route::kPackKickOut) {
        diag::GetLog().logInfo(
            "GameServerProcess::GetPackFromGameServer atKickOutPlayer PoolIndex:%d",
            static_cast<int>(head.PoolIndex));
        ClientUser* session = m_Clients.GetClientByIndex(head.PoolIndex);
        if (session == nullptr) {
            diag::GetLog().logWarn(
                "GameServerProcess::GetPackFromGameServer KickOutPlayer ClientUser is "
                "NULL,PoolIndex = %d",
                static_cast<int>(head.PoolIndex));
            return;
        }
        session->Kick(body);
        return;
    }

    if (head.SessionID == 0) {
        HandleGateRecord(head, body);
        return;
    }

    ClientUser* session = m_Clients.GetClientByIndex(head.PoolIndex);
    if (session == nullptr) {
        std::string dump = diag::HexDump(bytes);
        diag::Log4Kest::instance().warn(head.SessionID, 0, "Error PoolIndex = %d, pack = %s",
                                        static_cast<int>(head.PoolIndex), dump.c_str());
        return;
    }

    if (head.PackType == route::kPackConnect) {
        HandleLogin(head, body);
        return;
    }

    bool recording = session->GetRecordFlag();
    if (recording) {
        if (PackRecorder* recorder = RecorderFor(kUserRecorderId, m_UserRecorder)) {
            recorder->recv().record(bytes, head.SessionID, 0);
        }
    }
    std::uint32_t current = session->GetSessionID();
    if (current != head.SessionID) {
        m_Dropped.fetch_add(1);
        if (recording) {
            std::string dump = diag::HexDump(bytes);
            diag::Log4Kest::instance().warn(
                head.SessionID, 0,
                "GameServerProcess::GetPackFromGameServer, poolIndex = %d, 丢包: sessionID : 0x%x "
                "!= 0x%x, size = %d, pack = %s",
                static_cast<int>(head.PoolIndex), current, head.SessionID, static_cast<int>(length),
                dump.c_str());
        }
        return;
    }
    session->SendToClient(body);
}

void GameServerProcess::HandleLogin(const tagPackHead& head, std::span<const std::uint8_t> body) {
    ClientUser* session = m_Clients.GetClientByIndex(head.PoolIndex);
    route::tagGameServerPlayerLogin login;
    login.ReadData(body, body.size());
    // Checked and applied under the session's lock, so that a reset on the client thread
    // cannot come between the check and the setters.
    if (!session->ApplyLogin(head.SessionID, login.indexInGameServer)) {
        // The client left before its log-in was confirmed: taking the reply would leave a
        // session id in a free slot (and refuse the slot's next client). Tell the route server
        // that this player is gone instead.
        diag::Log4Kest::instance().warn(
            head.SessionID, static_cast<int>(head.PoolIndex),
            "GameServerProcess::GetPackFromGameServer login for a free slot, indexInGameServer = "
            "%d, disconnect sent",
            login.indexInGameServer);
        MMORPG::MMORPGPacket* packet = AllocPacket();
        if (packet == nullptr) return;
        packet->SetSrcServerType(stVevIdor);
        packet->SetDestServerType(stGameServer);
        packet->SetPackType(route::kPackDisconnect);
        packet->SetSessionID(head.SessionID);
        packet->SetPoolIndex(static_cast<std::uint16_t>(login.indexInGameServer));
        packet->ReadData(nullptr, 0);
        m_OwnQueue.Push(packet);
        WakeSender();
        return;
    }
    diag::Log4Kest::instance().warn(session->GetSessionID(), session->GetPoolIndex(),
                                    "人物注册成功, indexInGameServer = %d",
                                    session->GetPlayerIndexInGameServer());
}

void GameServerProcess::HandleGateRecord(const tagPackHead& head,
                                         std::span<const std::uint8_t> body) {
    route::RouteGateRecord record;
    if (!route::ReadRouteGateRecord(body, record)) return;
    if (record.Id == route::kRecordLineId && head.PackType == route::kPackGateRecord &&
        record.HasValue) {
        server::SetLineID(record.Value);
    }
    // Record 0 carries a value the gate makes no use of; other ids are ignored.
}

// --- sending ---

void GameServerProcess::LinkLost() {
    m_RunState.SetRouteConnected(false);
}

bool GameServerProcess::WriteFramed(CNetStream& stream, PackRecorder* recorder, std::size_t n,
                                    std::int32_t& sent) {
    const auto body = static_cast<std::uint32_t>(m_WorkPack.BodyLength());
    sent += static_cast<std::int32_t>(body);
    m_SendCounter.addBytes(body);
    if (recorder != nullptr) {
        recorder->send().record(std::span<const std::uint8_t>(m_Framed.data(), n),
                                m_WorkPack.GetSessionID(), 0);
    }
    const std::int32_t result = stream.SendBuf_o(m_Framed.data(), static_cast<std::int32_t>(n));
    return result >= 1 || GetLastNetError() == kNothingBuffered;
}

int GameServerProcess::SendStep() {
    m_LastSendBytes.store(0);
    if (m_Enabled.load() == 0) return 1;
    // While the link is down every write would fail and log: the packets wait in their queues
    // until the link is back (the connect procedure resets the sessions) or the session goes.
    if (!m_RunState.IsRouteConnected()) return 1;

    CNetStream stream(m_Socket->GetSocket());
    std::int32_t sent = 0;
    PackRecorder* recorder = RecorderFor(kRouteRecorderId, m_RouteRecorder);

    while (m_OwnQueue.GetCount() > 0) {
        if (m_OwnQueue.PacketPop(&m_WorkPack) == 0) continue;
        std::size_t n = m_WorkPack.GetSendData(m_Framed);
        if (n == 0) continue;
        if (!WriteFramed(stream, recorder, n, sent)) {
            std::string pos = Pos(kLineOwnRecordError);
            diag::Log4Kest::instance().warn(0, 0, "%s net Error : %s", pos.c_str(),
                                            LastSystemError());
            LinkLost();
            break;
        }
    }
    m_LastSendBytes.store(sent);

    bool sentClientPackets = false;
    std::vector<ClientUser*> online = m_Clients.GetOnlineClients();
    for (auto it = online.rbegin(); it != online.rend(); ++it) {
        ClientUser* session = *it;
        CThreadQueue<MMORPG::MMORPGPacket>& queue = session->GetRouteQueue();
        while (queue.PacketPop(&m_WorkPack) != 0) {
            std::size_t n = m_WorkPack.GetSendData(m_Framed);
            if (n == 0) {
                diag::GetLog().fatal(
                    "GameServerProcess::ThreadSendToGameServer PoolIndex = %d, sendData == ",
                    session->GetPoolIndex());
                continue;
            }
            sentClientPackets = true;
            if (!WriteFramed(stream, recorder, n, sent)) {
                std::string pos = Pos(kLineClientPackError);
                diag::Log4Kest::instance().warn(session->GetSessionID(), 0, "%s net Error : %s",
                                                pos.c_str(), LastSystemError());
                LinkLost();
                m_LastSendBytes.store(sent);
                return 1;
            }
            if (m_WorkPack.IsLastPack()) {
                // The session is freed; what may follow in its queue is not the player's.
                session->ResetObj();
                break;
            }
        }
    }
    m_LastSendBytes.store(sent);

    std::int32_t flushed = stream.SendBuf_o(nullptr, 0);
    if (flushed > 0 || GetLastNetError() == kNothingBuffered) return sentClientPackets ? 0 : 1;

    std::string pos = Pos(kLineFlushError);
    diag::Log4Kest::instance().warn(0, 0, "%s Socket Error : %s", pos.c_str(), LastSystemError());
    LinkLost();
    online = m_Clients.GetOnlineClients();
    for (auto it = online.rbegin(); it != online.rend(); ++it) {
        (*it)->SendDisconnectNotice();
        (*it)->ResetObj();
    }
    return 1;
}

// --- gate records ---

void GameServerProcess::SendRecord(std::span<const std::uint8_t> record, std::uint8_t packType) {
    MMORPG::MMORPGPacket* packet = AllocPacket();
    if (packet == nullptr) return;
    packet->SetSrcServerType(stVevIdor);
    packet->SetDestServerType(stGameServer);
    packet->SetSessionID(0);
    packet->SetPoolIndex(kNoPoolIndex);
    packet->SetPackType(packType);
    packet->ReadData(record);
    m_OwnQueue.Push(packet);
    WakeSender();
}

void GameServerProcess::SendStartRecord() {
    SendRecord(route::BuildStartRecord(), route::kPackGateRecord);
}

void GameServerProcess::SendGateInfo(std::string_view addressText, std::uint16_t port, bool mobile,
                                     std::uint32_t maximum) {
    route::tagRefreshZadoVeziviIP record;
    record.DateTime = diag::NowDateTime();
    record.Address = std::string(addressText);
    record.Port = port;
    record.Online = static_cast<std::uint32_t>(m_Clients.GetOnlineCount());
    record.Maximum = maximum != 0 ? maximum : static_cast<std::uint32_t>(m_Clients.GetPoolSize());
    record.Mobile = mobile ? 1 : 0;
    SendRecord(record.Write(), route::kPackGateRecord);
}

void GameServerProcess::SendAddressRefresh(std::string_view text) {
    route::tagRefreshServerState record;
    record.ServerId = static_cast<std::uint32_t>(m_RunState.GetServerId());
    record.RunState = static_cast<std::uint8_t>(m_RunState.GetRunState());
    record.DateTime = diag::NowDateTime();
    record.SetText(text);
    SendRecord(record.Write(), route::kPackGateRecord);
}

void GameServerProcess::SendNetStatistics(const std::array<std::uint64_t, 10>& counters) {
    route::tagIOCPRec record;
    record.ServerId = static_cast<std::uint32_t>(m_RunState.GetServerId());
    record.RunState = static_cast<std::uint8_t>(m_RunState.GetRunState());
    record.DateTime = diag::NowDateTime();
    record.Counters = counters;
    SendRecord(record.Write(), route::kPackGateRecord);
}
