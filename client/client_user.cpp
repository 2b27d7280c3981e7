// ClientUser: the two receiving stages with their checks, the route-bound queue, connect and
// disconnect notices, kicks, send grouping, enciphering and the session reset.
#include "client/client_user.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>

#include "client/client_process.h"
#include "diag/log.h"
#include "diag/recorder/pack_recorder.h"
#include "packet/byte_cipher.h"
#include "packet/pack_key_dict.h"
#include "packet/packet_pool.h"

namespace {

constexpr std::string_view kProxyHeaderMark = "tgw_l7_forward";
// The recorder of the one client the operator follows.
constexpr int kChosenClientRecorder = 0;

bool RawDataThunk(void* context, const std::uint8_t* bytes, std::size_t length) {
    return static_cast<ClientUser*>(context)->OnRawData(bytes, length);
}

void PackThunk(void* context, const std::uint8_t* payload, std::size_t length) {
    static_cast<ClientUser*>(context)->OnDispatchPack(payload, length);
}

}  // namespace

bool tagCClientPackVersion::ReadData(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < kSize) return false;
    Command = bytes[0];
    SubCommand = bytes[1];
    Version = static_cast<std::uint32_t>(bytes[2]) | static_cast<std::uint32_t>(bytes[3]) << 8 |
              static_cast<std::uint32_t>(bytes[4]) << 16 |
              static_cast<std::uint32_t>(bytes[5]) << 24;
    return true;
}

ClientUser::ClientUser(INetService* service, std::int32_t poolIndex, ClientProcess& owner)
    : IServerObj(service, poolIndex), m_Owner(owner) {
    m_Recorder = kRecorderId;
    m_Dispatcher.SetFilterCallback(&RawDataThunk, this);
    m_Dispatcher.SetPackCallback(&PackThunk, this);
    m_Dispatcher.SetUseCrc(false);
    m_Plain.reserve(4096);
    ResetObj();
}

ClientUser::~ClientUser() = default;

bool ClientUser::OnRawData(const std::uint8_t* bytes, std::size_t length) {
    if (m_PackOrder.load(std::memory_order_relaxed) == kFirstPackOrder) {
        const std::string_view chunk(reinterpret_cast<const char*>(bytes), length);
        if (chunk.find(kProxyHeaderMark) != std::string_view::npos) {
            diag::GetLog().logInfo("Recv tgw: %s", std::string(chunk).c_str());
            return false;
        }
    }
    return true;
}

void ClientUser::OnRecvData(const std::uint8_t* bytes, std::size_t length) {
    // A kicked client's further bytes are counted and dropped until its connection is closed.
    if (GetKickTime() != 0) {
        m_RecvCounter.addBytes(static_cast<std::uint32_t>(length));
        return;
    }
    // An incomplete frame already longer than any acceptable packet is not kept growing: the
    // packet would be refused once complete, so the client is kicked now and its bytes dropped.
    const std::size_t limit = static_cast<std::size_t>(std::max(m_Owner.GetMaxClientPackLen(), 0)) +
                              static_cast<std::size_t>(m_Dispatcher.GetPackHeadLen());
    const std::size_t pending = m_Dispatcher.PendingLength();
    if (pending > limit && !m_DropPending.load(std::memory_order_acquire)) {
        m_RecvCounter.addBytes(static_cast<std::uint32_t>(length));
        m_Dispatcher.ResetDispatch();
        if (GetKickTime() == 0) {
            KickWithReason(kKickPackTooLong);
            diag::GetLog().debug("disExceedMaxClientPackLen len = %d > %d",
                                 static_cast<int>(pending), m_Owner.GetMaxClientPackLen());
        }
        return;
    }
    IServerObj::OnRecvData(bytes, length);
}

void ClientUser::OnDispatchPack(const std::uint8_t* payload, std::size_t length) {
    // The rest of a chunk that got its client kicked is dropped: one kick, not one per packet.
    if (GetKickTime() != 0) return;
    const std::int32_t order = m_PackOrder.load(std::memory_order_relaxed);
    const std::uint32_t key32 =
        GetPackKeyDictFetcher().FetchKey(order, m_Owner.GetEffectiveAppVersion());
    const std::array<std::uint8_t, 4> key = {
        static_cast<std::uint8_t>(key32), static_cast<std::uint8_t>(key32 >> 8),
        static_cast<std::uint8_t>(key32 >> 16), static_cast<std::uint8_t>(key32 >> 24)};
    m_Plain.assign(payload, payload + length);
    DecodeBuffer(m_Plain.data(), length, key.data(), key.size());
    const std::span<const std::uint8_t> plain(m_Plain.data(), length);

    if (m_Owner.GetLogDecodedPack()) {
        diag::Log4Kest::instance().trace(GetSessionID(), 0, "%s", diag::HexDump(plain).c_str());
    }

    if (order == kFirstPackOrder) {
        // The version record; a packet too short to hold one is a wrong version record.
        tagCClientPackVersion version;
        if (!version.ReadData(plain)) {
            diag::GetLog().warn("Invalid version no. cmd = 0x%x, subcmd = 0x%x",
                                length > 0 ? plain[0] : 0u, length > 1 ? plain[1] : 0u);
            KickWithReason(kKickWrongVersion);
        } else if (version.Command != tagCClientPackVersion::kCommand ||
                   version.SubCommand != tagCClientPackVersion::kSubCommand) {
            diag::GetLog().warn("Invalid version no. cmd = 0x%x, subcmd = 0x%x",
                                static_cast<unsigned>(version.Command),
                                static_cast<unsigned>(version.SubCommand));
            KickWithReason(kKickWrongVersion);
        } else if (version.Version != tagCClientPackVersion::kVersion) {
            diag::GetLog().warn("Pack Version conflict!xClientPackVersion.Version = %u",
                                version.Version);
            KickWithReason(kKickWrongVersion);
        } else {
            m_PackOrder.store(order + 1, std::memory_order_relaxed);
        }
        return;
    }

    m_PackOrder.store(order + 1, std::memory_order_relaxed);
    if (!m_Owner.GetPacketFilter().allows(plain)) return;
    if (PackRecorder* recorder = Recorder()) recorder->recv().record(plain, GetSessionID(), order);
    m_RecvCounter.addBytes(static_cast<std::uint32_t>(length));
    OnGetPack(nullptr, m_Plain.data(), length);
}

void ClientUser::OnGetPack(const tagPackHead*, const std::uint8_t* bytes, std::size_t length) {
    const std::uint32_t sessionId = GetSessionID();
    const std::span<const std::uint8_t> packet(bytes, length);
    if (sessionId == 0) {
        diag::Log4Kest::instance().warn(
            0, 0, "ClientUser::OnGetPack PoolIndex:%d refuse indirect PackData:%s", m_Index,
            diag::HexDump(packet).c_str());
        return;
    }
    if (GetRecordFlag()) {
        if (PackRecorder* chosen = GetPackRecorderManager().recorderFor(kChosenClientRecorder)) {
            chosen->recv().record(packet, sessionId, GetPackOrder());
        }
    }
    const std::int32_t maxLength = m_Owner.GetMaxClientPackLen();
    if (length > static_cast<std::size_t>(std::max(maxLength, 0))) {
        KickWithReason(kKickPackTooLong);
        diag::GetLog().debug("disExceedMaxClientPackLen len = %d > %d", static_cast<int>(length),
                             maxLength);
        return;
    }
    const int pile = m_RouteQueue.GetCount();
    const std::int32_t maxPile = m_Owner.GetMaxClientPackPile();
    if (pile >= maxPile) {
        KickWithReason(kKickPackPile);
        diag::GetLog().debug("disExceedMaxClientPackPile Count = %d >= %d", pile, maxPile);
        return;
    }
    QueueForRoute(kPackClientData, packet);
}

void ClientUser::QueueForRoute(std::uint8_t packType, std::span<const std::uint8_t> body) {
    MMORPG::MMORPGPacket* packet = AllocPacket();
    if (packet == nullptr) return;
    packet->SetSrcServerType(stVevIdor);
    packet->SetDestServerType(stGameServer);
    packet->SetPackType(packType);
    packet->SetPoolIndex(static_cast<std::uint16_t>(GetPlayerIndexInGameServer()));
    packet->SetSessionID(GetSessionID());
    packet->ReadData(body);
    if (packType == kPackDisconnect) packet->SetLastPack(true);
    m_RouteQueue.Push(packet);
    m_Owner.NotifyRouteBound();
}

int ClientUser::PushSendPack(MMORPG::MMORPGPacket* packet) {
    m_ClientBound.store(1, std::memory_order_relaxed);
    packet->SetSessionID(GetSessionID());
    packet->SetBodyOnly(true);
    return IServerObj::PushSendPack(packet);
}

bool ClientUser::SendToClient(std::span<const std::uint8_t> body) {
    if (body.size() > static_cast<std::size_t>(INT32_MAX)) return false;
    MMORPG::MMORPGPacket* packet = AllocPacket();
    if (packet == nullptr) return false;
    packet->ReadData(body);
    PushSendPack(packet);
    // Called from the route link's thread: the client process's worker sends it.
    m_Owner.WakeWorker();
    return true;
}

void ClientUser::Kick(std::span<const std::uint8_t> reason) {
    // One kick per connection: the first reason is the one the client gets, and the session
    // is closed 500 ms after it whatever the client sends meanwhile. The route link's thread
    // and the client process's thread may kick at the same moment: the exchange decides.
    std::uint32_t now = m_Owner.Now();
    if (now == 0) now = 1;  // 0 means "not kicked"
    std::uint32_t notKicked = 0;
    if (!m_KickTime.compare_exchange_strong(notKicked, now)) return;
    diag::Log4Kest::instance().warn(
        GetSessionID(), 0,
        "ClientUser::Kick, sessionID = 0x%x, poolIndex = %d, indexInGameServer = %d",
        GetSessionID(), m_Index, GetPlayerIndexInGameServer());
    SendToClient(reason);
    m_Owner.AddToKickList(this);
}

void ClientUser::KickWithReason(std::uint8_t reason) {
    const std::array<std::uint8_t, 3> bytes = {1, 4, reason};
    Kick(bytes);
}

void ClientUser::Connect() {
    ZQAutoLock lock(m_SessionLock);
    ResetLocked();
    m_RouteQueue.Clear();
    m_Owner.RegisterClient(this);
    SetState(2);

    std::array<std::uint8_t, kConnectNoticeSize> notice{};
    const auto index = static_cast<std::uint32_t>(m_Index);
    notice[1] = static_cast<std::uint8_t>(index);
    notice[2] = static_cast<std::uint8_t>(index >> 8);
    notice[3] = static_cast<std::uint8_t>(index >> 16);
    notice[4] = static_cast<std::uint8_t>(index >> 24);
    const std::string ip = GetIP();
    std::memcpy(notice.data() + 5, ip.data(), std::min<std::size_t>(ip.size(), 16));
    QueueForRoute(kPackConnect, notice);
}

bool ClientUser::ApplyLogin(std::uint32_t sessionId, std::int32_t playerIndex) {
    ZQAutoLock lock(m_SessionLock);
    const std::int32_t state = GetState();
    if (state != 2 && state != 3) return false;
    SetSessionID(sessionId);
    SetPlayerIndexInGameServer(playerIndex);
    SetState(3);
    return true;
}

void ClientUser::SendDisconnectNotice() {
    const std::uint32_t sessionId = GetSessionID();
    if (sessionId == 0) {
        ResetObj();
        return;
    }
    // One notice per session: the route link resets the session once it is written.
    if (m_NoticePending.exchange(1) != 0) return;
    diag::Log4Kest::instance().warn(
        sessionId, 0, "m_SessionID = 0x%x GameServerIndex = %d index = %d SocketID = %d Disconnect",
        sessionId, GetPlayerIndexInGameServer(), m_Index, GetSocket());
    QueueForRoute(kPackDisconnect, {});
}

int ClientUser::SendAll() {
    m_LastSendBytes = 0;
    const std::uint32_t now = m_Owner.Now();
    if (now - m_LastFlushTime < m_Owner.GetMinSendInterval() &&
        GetSendCount() < m_Owner.GetMaxPackToSend()) {
        return 1;
    }
    m_LastFlushTime = now;
    return IServerObj::SendAll();
}

void ClientUser::OnSendData(MMORPG::MMORPGPacket* packet, std::uint8_t* framed,
                            std::size_t length) {
    const auto head = static_cast<std::size_t>(packet->Dispatcher().GetPackHeadLen());
    if (length < head) return;
    EncodeBuffer(framed + head, length - head, kOutboundKey.data(), kOutboundKey.size());
}

void ClientUser::ResetObj() {
    ZQAutoLock lock(m_SessionLock);
    ResetLocked();
}

void ClientUser::ResetLocked() {
    if (GetState() != 0) {
        m_Owner.ClientDisconnect(this);
        CloseClient();
        SetState(0);
    }
    IServerObj::ResetObj();
    m_KickTime.store(0, std::memory_order_relaxed);
    SetSessionID(0);
    m_PackOrder.store(kFirstPackOrder, std::memory_order_relaxed);
    m_ClientBound.store(0, std::memory_order_relaxed);
    SetPlayerIndexInGameServer(-1);
    SetRecordFlag(false);
    m_NoticePending.store(0);
    m_ResetCount.fetch_add(1);
}
