// INetProcess: owner of one network service object. It pumps the service's messages into the
// session objects of all connection slots, keeps the table of those online and drives their
// sending. Derived processes create the session objects and react to connection events.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "modules/net_service.h"
#include "packet/containers.h"
#include "packet/mmorpg_packet.h"
#include "packet/thread_queue.h"
#include "server/server_obj.h"
#include "thread/sec_counter.h"

class INetProcess {
  public:
    // Obtains a service object from the network service module (GetREVedArivuziInstance(0)).
    INetProcess();
    // Takes ownership of the service (released with Release at destruction). Both constructors
    // set the service's largest packet to 512 MiB until the settings are applied.
    explicit INetProcess(INetService* service);
    INetProcess(const INetProcess&) = delete;
    INetProcess& operator=(const INetProcess&) = delete;

    // Message 109: a connection slot needs its session object.
    virtual void OnCreateClientObj(INetService* service, INetClient* client) = 0;
    // Message 103, after the session was put online.
    virtual void OnAcceptClient(INetService* service, INetClient* client) = 0;
    // Message 101; the bytes are valid only during the call.
    virtual void OnClientRecv(INetService* service, INetClient* client, const std::uint8_t* bytes,
                              std::size_t length) = 0;
    // Messages 104, 106, 107, after the session was taken offline.
    virtual void OnClientDisconnect(INetService* service, INetClient* client) = 0;
    // Message 108.
    virtual void OnClientEvent(INetService* service, INetClient* client) = 0;
    // Stops the service when running, releases it, gives the dispatch queue's packets back and
    // destroys every session object.
    virtual ~INetProcess();

    // Hook for the derived process to register its worker thread.
    virtual void InitProcess() {}
    // Sets the running flag, then starts the service; its result.
    virtual bool StartService(std::uint16_t port, int capacity);
    // Clears the running flag, then stops the service.
    virtual void StopService();
    virtual bool IsServiceRunning();
    virtual std::uint32_t GetRecvByteRate();
    virtual std::uint32_t GetSendByteRate();
    virtual std::string GetRecvSpeedText();
    // "%s(%0.2f kb)(Commit:%0.2f kb)": send counter, service bytes sent, bytes committed.
    virtual std::string GetSendInfoText();
    // Pumps every pending message of the service (a pass may end early; see the source).
    virtual void ProcessNetMsg();
    // Hands the dispatch queue on, then runs send passes until one sends nothing.
    virtual void ProcessSend();
    virtual int MaintainService();
    // Appends the packet (owned from now on) to the dispatch queue, addressed by its target
    // index; 1.
    virtual int PostPacket(MMORPG::MMORPGPacket* packet);
    // The session object at that creation position, or null outside 0..count-1.
    virtual IServerObj* GetClientByIndex(int index);
    virtual int GetOnlineCount();
    // The online session at that position (slot order), or null.
    virtual IServerObj* GetOnlineClient(int position);

    INetService* GetService() const { return m_Service; }
    const std::string& GetName() const { return m_Name; }
    bool IsRunningFlag() const { return m_Running.load(std::memory_order_relaxed) != 0; }
    int GetObjCount() const { return m_AllObjs.Count(); }
    CThreadQueue<MMORPG::MMORPGPacket>& GetDispatchQueue() { return m_DispatchQueue; }
    // Whether the session is in the base's online table.
    bool IsObjOnline(const IServerObj* obj) const;

  protected:
    // Appends a session object (owned from now on) to the list of all session objects.
    void AddServerObj(std::unique_ptr<IServerObj> obj);
    void SetName(std::string name) { m_Name = std::move(name); }

    // One dispatch step: true when a packet was handed on.
    bool DispatchStep();
    // One send pass over the online table: true when something was sent.
    bool SendPass();

    AList<IServerObj> m_AllObjs{true, 10};
    AIndexList<IServerObj> m_OnlineClients{false};
    SecCounter m_RecvCounter{1000};
    SecCounter m_SendCounter{1000};
    INetService* m_Service;
    std::string m_Name = "INetProcessUnNamed";
    CThreadQueue<MMORPG::MMORPGPacket> m_DispatchQueue;
    std::atomic<std::uint8_t> m_Running{0};

  private:
    void Init();
    std::unique_ptr<NetMsg> m_Msg;
};
