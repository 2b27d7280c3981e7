// INetProcess: the message pump, the online table and the send step of a network service.
#include "server/net_process.h"

#include <cstdio>

#include "diag/log.h"
#include "packet/packet_pool.h"
#include "server/net_error_text.h"
#include "server/net_module_loader.h"

INetProcess::INetProcess() : INetProcess(server::NetModules::NewNetService()) {}

INetProcess::INetProcess(INetService* service)
    : m_Service(service), m_Msg(std::make_unique<NetMsg>()) {
    Init();
}

void INetProcess::Init() {
    // The largest packet until the settings are applied: 512 MiB.
    if (m_Service != nullptr) m_Service->SetParam(1, 536870912);
}

INetProcess::~INetProcess() {
    if (m_Service != nullptr) {
        if (m_Service->IsRunning()) StopService();
        m_Service->Release();
        m_Service = nullptr;
    }
    m_DispatchQueue.Clear();
    m_OnlineClients.Clear();
    m_AllObjs.Clear();
}

bool INetProcess::StartService(std::uint16_t port, int capacity) {
    m_Running.store(1);
    return m_Service->Start(port, capacity);
}

void INetProcess::StopService() {
    m_Running.store(0);
    m_Service->Stop();
}

bool INetProcess::IsServiceRunning() {
    return m_Service->IsRunning();
}

std::uint32_t INetProcess::GetRecvByteRate() {
    return m_RecvCounter.byteRate();
}

std::uint32_t INetProcess::GetSendByteRate() {
    return m_SendCounter.byteRate();
}

std::string INetProcess::GetRecvSpeedText() {
    return m_RecvCounter.describe();
}

std::string INetProcess::GetSendInfoText() {
    char text[512];
    std::snprintf(text, sizeof text, "%s(%0.2f kb)(Commit:%0.2f kb)",
                  m_SendCounter.describe().c_str(),
                  static_cast<double>(m_Service->GetParam(2)) / 1024.0,
                  static_cast<double>(m_Service->GetParam(14)) / 1024.0);
    return text;
}

void INetProcess::AddServerObj(std::unique_ptr<IServerObj> obj) {
    m_AllObjs.Add(obj.release());
}

bool INetProcess::IsObjOnline(const IServerObj* obj) const {
    return obj != nullptr &&
           m_OnlineClients.Find(static_cast<std::uint32_t>(obj->GetIndex())) == obj;
}

void INetProcess::ProcessNetMsg() {
    NetMsg& msg = *m_Msg;
    while (m_Service->GetMsg(&msg)) {
        switch (msg.type) {
            case NET_MSG_ON_RECV: {
                // Never trust a length beyond the record's own data area.
                std::uint32_t length = msg.length;
                if (length > kNetMsgDataSize) {
                    diag::GetLog().logWarn(
                        "INetProcess::ProcessNetMsg index = %u, length = %u > %u", msg.index,
                        length, kNetMsgDataSize);
                    length = kNetMsgDataSize;
                }
                m_RecvCounter.addBytes(length);
                INetClient* client = m_Service->GetClient(msg.index);
                if (client == nullptr) return;
                OnClientRecv(m_Service, client, msg.data, length);
                break;
            }
            case NET_MSG_ON_CLIENTCONNECT: {
                INetClient* client = m_Service->GetClient(msg.index);
                if (client == nullptr) {
                    diag::GetLog().logWarn("NET_MSG_ON_CLIENTCONNECT curZRNetClient == NULL");
                    return;
                }
                auto* obj = static_cast<IServerObj*>(client->GetUserData());
                if (obj == nullptr) {
                    diag::GetLog().logWarn("NET_MSG_ON_CLIENTCONNECT curServerObj == NULL");
                    return;
                }
                if (IsObjOnline(obj)) {
                    obj->CloseClient();
                    diag::GetLog().logDebug(
                        "如果客户端连接上来, 这个时候此信道的内容还未清空, 那么断开这个连接, "
                        "当前socketID = %d, poolIndex = %d",
                        obj->GetSocket(), static_cast<int>(msg.index));
                    return;
                }
                obj->IServerObj::ResetObj();
                if (!m_OnlineClients.AddEx(static_cast<std::uint32_t>(obj->GetIndex()), obj)) {
                    diag::GetLog().logWarn("NET_MSG_ON_CLIENTCONNECT m_OnlineClients.AddEx Fail");
                    return;
                }
                OnAcceptClient(m_Service, client);
                break;
            }
            case NET_MSG_ON_CLOSE:
            case NET_MSG_ON_CONNECT_ERROR:
            case NET_MSG_ON_KICKED: {
                INetClient* client = m_Service->GetClient(msg.index);
                if (client == nullptr) {
                    diag::GetLog().logWarn("NET_MSG_ON_CONNECT_ERROR curZRNetClient == NULL");
                    return;
                }
                auto* obj = static_cast<IServerObj*>(client->GetUserData());
                if (IsObjOnline(obj)) {
                    obj->IServerObj::ResetObj();
                    m_OnlineClients.Delete(static_cast<std::uint32_t>(obj->GetIndex()));
                    OnClientDisconnect(m_Service, client);
                }
                break;
            }
            case NET_MSG_ON_EVENT: {
                INetClient* client = m_Service->GetClient(msg.index);
                if (client == nullptr) return;
                OnClientEvent(m_Service, client);
                break;
            }
            case NET_MSG_ON_NEW_SLOT: {
                INetClient* client = m_Service->GetClient(msg.index);
                if (client == nullptr) return;
                OnCreateClientObj(m_Service, client);
                break;
            }
            default:
                break;
        }
    }
}

bool INetProcess::DispatchStep() {
    if (m_DispatchQueue.GetCount() == 0) return false;
    MMORPG::MMORPGPacket* packet = m_DispatchQueue.Pop();
    if (packet == nullptr) return false;
    INetClient* client = m_Service->GetClient(static_cast<std::uint32_t>(packet->GetTargetIndex()));
    auto* obj = client == nullptr ? nullptr : static_cast<IServerObj*>(client->GetUserData());
    if (obj != nullptr) {
        obj->PushSendPack(packet);
        return true;
    }
    diag::GetLog().logWarn("ThreadDispToAllClient error packet:%s",
                           diag::HexDump(packet->GetSendData()).c_str());
    FreePacket(packet);
    return false;
}

bool INetProcess::SendPass() {
    if (m_Running.load(std::memory_order_relaxed) == 0) return false;
    bool sentSomething = false;
    for (int i = 0; i < m_OnlineClients.Count(); ++i) {
        IServerObj* obj = m_OnlineClients.At(i);
        if (obj == nullptr || obj->GetSendCount() <= 0) continue;
        if (obj->SendAll() != 0) {
            const std::int32_t bytes = obj->GetLastSendBytes();
            if (bytes != 0) {
                sentSomething = true;
                m_SendCounter.addBytes(static_cast<std::uint32_t>(bytes));
                obj->SetLastSendBytes(0);
            }
        } else {
            diag::GetLog().logWarn("%s, send error : %s",
                                   diag::SourcePos("..\\ShareDefine\\NetProcess", 461).c_str(),
                                   server::NetErrorText(GetLastNetError()).c_str());
            obj->ResetObj();
        }
    }
    return sentSomething;
}

void INetProcess::ProcessSend() {
    while (DispatchStep()) {
    }
    while (SendPass()) {
    }
}

int INetProcess::MaintainService() {
    return m_Service->Maintain();
}

int INetProcess::PostPacket(MMORPG::MMORPGPacket* packet) {
    m_DispatchQueue.Push(packet);
    return 1;
}

IServerObj* INetProcess::GetClientByIndex(int index) {
    return m_AllObjs.At(index);
}

int INetProcess::GetOnlineCount() {
    return m_OnlineClients.Count();
}

IServerObj* INetProcess::GetOnlineClient(int position) {
    return m_OnlineClients.At(position);
}
