// IServerObj: one connection slot of a network service. It feeds the connection's received bytes
// to its framing object, queues the packets to be sent to the connection and writes them out
// through its send stream. Derived classes give the reaction to received packets (OnGetPack).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "modules/net_service.h"
#include "packet/mmorpg_packet.h"
#include "packet/net_stream.h"
#include "packet/package_dispatcher.h"
#include "packet/thread_queue.h"
#include "thread/sec_counter.h"

class PackRecorder;

class IServerObj {
  public:
    // service: not owned, must outlive the object; index: the service's connection slot.
    IServerObj(INetService* service, std::int32_t index);
    IServerObj(const IServerObj&) = delete;
    IServerObj& operator=(const IServerObj&) = delete;

    // One received packet; head is given when the stream carries server packets (then bytes is
    // the body after it), null otherwise. The bytes are valid only during the call.
    virtual void OnGetPack(const tagPackHead* head, const std::uint8_t* bytes,
                           std::size_t length) = 0;
    // Gives the queued packets back to the pool.
    virtual ~IServerObj();

    // Counts the chunk in the receive counter and feeds it to the framing object.
    virtual void OnRecvData(const std::uint8_t* bytes, std::size_t length);
    // Appends the packet to the send queue, which owns it from now on; 1.
    virtual int PushSendPack(MMORPG::MMORPGPacket* packet);
    // Packets in the send queue.
    virtual int GetSendCount();
    // Frames and writes every queued packet and flushes the stream: 1 done, 0 send failure.
    virtual int SendAll();
    // Called with each framed packet just before it is written; may change the bytes in place.
    virtual void OnSendData(MMORPG::MMORPGPacket* packet, std::uint8_t* framed, std::size_t length);
    virtual std::string GetRecvSpeedText();
    virtual std::string GetSendSpeedText();
    virtual std::uint32_t GetRecvPacketRate();
    virtual std::uint32_t GetSendPacketRate();
    // Clears the send queue (packets back to the pool), drops the framing object's pending bytes
    // (before the next received chunk is cut) and resets both counters. Always this base reset when
    // called as IServerObj::ResetObj().
    virtual void ResetObj();

    // The framing object's default packet callback: records the payload, then reads the 9-byte
    // head and calls OnGetPack(head, body). Shorter payloads are logged and dropped.
    void OnGetDispatchPack(const std::uint8_t* payload, std::size_t length);

    // The connection's remote address, "" when the slot holds no connection.
    std::string GetIP();
    // The connection's socket number, 0 when none.
    int GetSocket();
    // Asks the service to close the connection (safe from any thread).
    void CloseClient();

    // Figures of the connection for the views; 0 when the slot holds no connection.
    std::uint64_t GetRemainSendBuffer();
    std::uint64_t GetCommitSendBuffer();
    std::uint64_t GetBytesReceived();
    std::uint64_t GetBytesSent();
    std::uint64_t GetConnectedSeconds();

    std::int32_t GetIndex() const { return m_Index; }
    INetService* GetService() const { return m_Service; }
    std::int32_t GetRecorderId() const { return m_Recorder; }
    // Sum of the framed lengths written by the last SendAll.
    std::int32_t GetLastSendBytes() const { return m_LastSendBytes; }
    void SetLastSendBytes(std::int32_t bytes) { m_LastSendBytes = bytes; }
    // Total bytes received and sent (framed) by this object since its last reset.
    std::uint64_t GetRecvTotal() const { return m_RecvCounter.totalBytes(); }
    std::uint64_t GetSendTotal() const { return m_SendCounter.totalBytes(); }

  protected:
    // The recorder registered under m_Recorder, or null (looked up again while none exists).
    PackRecorder* Recorder();
    INetClient* Client();

    CICOPNetStream m_SendStream;
    CThreadQueue<MMORPG::MMORPGPacket> m_SendQueue;
    SecCounter m_RecvCounter{1000};
    SecCounter m_SendCounter{1000};
    std::int32_t m_Recorder = -1;
    KsPackageDispatcher m_Dispatcher;
    std::int32_t m_LastSendBytes = 0;
    INetService* m_Service;
    std::int32_t m_Index;

    // Set by ResetObj; the framing object drops its pending bytes before the next chunk, on the
    // receiving thread, so a reset from another thread never races with a cut in progress.
    std::atomic<bool> m_DropPending{false};

  private:
    std::atomic<PackRecorder*> m_RecorderCache{nullptr};
    std::int32_t m_RecorderCacheId = -1;
    // Work areas of SendAll (one sending thread at a time).
    MMORPG::MMORPGPacket_Stack m_WorkPack;
    std::vector<std::uint8_t> m_Framed;
};
