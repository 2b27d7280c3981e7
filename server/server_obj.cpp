// IServerObj: receive into the framing object, queue and write out through the send stream.
#include "server/server_obj.h"

#include <cstring>
#include <exception>

#include "diag/log.h"
#include "diag/recorder/pack_recorder.h"
#include "server/net_error_text.h"

namespace {

void DispatchPackThunk(void* context, const std::uint8_t* payload, std::size_t length) {
    static_cast<IServerObj*>(context)->OnGetDispatchPack(payload, length);
}

}  // namespace

IServerObj::IServerObj(INetService* service, std::int32_t index)
    : m_SendStream(service, static_cast<std::uint32_t>(index)), m_Service(service), m_Index(index) {
    m_Dispatcher.SetPackCallback(&DispatchPackThunk, this);
}

IServerObj::~IServerObj() = default;

PackRecorder* IServerObj::Recorder() {
    PackRecorder* cached = m_RecorderCache.load(std::memory_order_acquire);
    if (cached != nullptr && m_RecorderCacheId == m_Recorder) return cached;
    // Recorders are never removed, so a found one can be kept for good.
    PackRecorder* found = GetPackRecorderManager().recorderFor(m_Recorder);
    if (found != nullptr) {
        m_RecorderCacheId = m_Recorder;
        m_RecorderCache.store(found, std::memory_order_release);
    }
    return found;
}

INetClient* IServerObj::Client() {
    return m_Service == nullptr ? nullptr
                                : m_Service->GetClient(static_cast<std::uint32_t>(m_Index));
}

void IServerObj::OnRecvData(const std::uint8_t* bytes, std::size_t length) {
    m_RecvCounter.addBytes(static_cast<std::uint32_t>(length));
    if (m_DropPending.exchange(false, std::memory_order_acq_rel)) m_Dispatcher.ResetDispatch();
    try {
        m_Dispatcher.DispatchData(bytes, length);
    } catch (const std::exception& e) {
        // A checksum failure: the rest of the chunk is lost, the stream starts afresh.
        diag::GetLog().logWarn("IServerObj::OnRecvData index = %d, %s", m_Index, e.what());
        m_Dispatcher.ResetDispatch();
    }
}

int IServerObj::PushSendPack(MMORPG::MMORPGPacket* packet) {
    m_SendQueue.Push(packet);
    return 1;
}

int IServerObj::GetSendCount() {
    return m_SendQueue.GetCount();
}

int IServerObj::SendAll() {
    m_LastSendBytes = 0;
    PackRecorder* recorder = Recorder();
    while (GetSendCount() > 0) {
        if (m_SendQueue.PacketPop(&m_WorkPack) == 0) continue;
        const std::size_t length = m_WorkPack.GetSendData(m_Framed);
        if (length == 0) continue;
        m_SendCounter.addBytes(static_cast<std::uint32_t>(length));
        if (recorder != nullptr) {
            recorder->send().record(std::span<const std::uint8_t>(m_Framed.data(), length),
                                    m_WorkPack.GetSessionID(), 0);
        }
        OnSendData(&m_WorkPack, m_Framed.data(), length);
        const std::int32_t sent =
            m_SendStream.SendBuf_o(m_Framed.data(), static_cast<std::int32_t>(length));
        if (sent < 1 && GetLastNetError() != kNothingBuffered) {
            diag::GetLog().logWarn("%s, GameServer Send Failed : %s",
                                   diag::SourcePos("..\\ShareDefine\\NetProcess", 162).c_str(),
                                   server::NetErrorText(GetLastNetError()).c_str());
            // What the stream still holds belongs to the failed connection: drop it.
            m_SendStream.SendBuf_o(nullptr, 0);
            return 0;
        }
        m_LastSendBytes += static_cast<std::int32_t>(length);
    }
    const std::int32_t flushed = m_SendStream.SendBuf_o(nullptr, 0);
    if (flushed <= 0 && GetLastNetError() != kNothingBuffered) {
        diag::GetLog().logWarn("%s, m_Recorder = %d, GameServer Send Failed, ret = %d, error : %s",
                               diag::SourcePos("..\\ShareDefine\\NetProcess", 177).c_str(),
                               m_Recorder, flushed,
                               server::NetErrorText(GetLastNetError()).c_str());
        return 0;
    }
    return 1;
}

void IServerObj::OnSendData(MMORPG::MMORPGPacket*, std::uint8_t*, std::size_t) {}

std::string IServerObj::GetRecvSpeedText() {
    return m_RecvCounter.describe();
}

std::string IServerObj::GetSendSpeedText() {
    return m_SendCounter.describe();
}

std::uint32_t IServerObj::GetRecvPacketRate() {
    return m_RecvCounter.packetRate();
}

std::uint32_t IServerObj::GetSendPacketRate() {
    return m_SendCounter.packetRate();
}

void IServerObj::ResetObj() {
    m_SendQueue.Clear();
    m_DropPending.store(true, std::memory_order_release);
    m_RecvCounter.reset();
    m_SendCounter.reset();
}

void IServerObj::OnGetDispatchPack(const std::uint8_t* payload, std::size_t length) {
    if (PackRecorder* recorder = Recorder()) {
        recorder->recv().record(std::span<const std::uint8_t>(payload, length));
    }
    if (length < tagPackHead::kSize) {
        diag::GetLog().logWarn("IServerObj::OnGetDispatchPack, PackError : %s",
                               diag::HexDump({payload, length}).c_str());
        return;
    }
    tagPackHead head;
    head.ReadData({payload, length}, 0);
    OnGetPack(&head, payload + tagPackHead::kSize, length - tagPackHead::kSize);
}

std::string IServerObj::GetIP() {
    INetClient* client = Client();
    if (client == nullptr) return "";
    const char* ip = client->GetIP();
    return ip == nullptr ? "" : ip;
}

int IServerObj::GetSocket() {
    INetClient* client = Client();
    if (client == nullptr) return 0;
    const int socket = client->GetSocket();
    return socket < 0 ? 0 : socket;
}

void IServerObj::CloseClient() {
    if (m_Service != nullptr) m_Service->Close(static_cast<std::uint32_t>(m_Index));
}

std::uint64_t IServerObj::GetRemainSendBuffer() {
    INetClient* client = Client();
    return client == nullptr ? 0 : client->GetRemainSendBuffer();
}

std::uint64_t IServerObj::GetCommitSendBuffer() {
    INetClient* client = Client();
    return client == nullptr ? 0 : client->GetCommitSendBuffer();
}

std::uint64_t IServerObj::GetBytesReceived() {
    INetClient* client = Client();
    return client == nullptr ? 0 : client->GetBytesReceived();
}

std::uint64_t IServerObj::GetBytesSent() {
    INetClient* client = Client();
    return client == nullptr ? 0 : client->GetBytesSent();
}

std::uint64_t IServerObj::GetConnectedSeconds() {
    INetClient* client = Client();
    return client == nullptr ? 0 : client->GetConnectedSeconds();
}
