// GameServerProcess: the gate's one link to the route server. It owns a blocking socket, a
// receive thread "RcvFromGameServer" that cuts the route server's stream and hands every server
// packet to its client session (or takes it as a gate record), and a send thread
// "SendToGameServer" that writes the gate's own records and every online session's route-bound
// packets through one coalescing stream.
//
//   main window ──Connect/Close/Enable──> GameServerProcess ──socket──> route server
//   ClientUser route queues ──SendStep──┘      └──RecvStep──> ClientUser (SendToClient, Kick,
//                                                                log-in setters)
//
// Wire: frames FF CC | u32 length | 9-byte tagPackHead | body, nothing enciphered.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "modules/net_service.h"
#include "packet/mmorpg_packet.h"
#include "packet/package_dispatcher.h"
#include "packet/thread_queue.h"
#include "server/run_state.h"
#include "thread/sec_counter.h"
#include "thread/zr_thread.h"

class ClientProcess;
class CNetStream;
class PackRecorder;

class GameServerProcess {
  public:
    static constexpr std::int32_t kDefaultRecvBufferLen = 8192;
    static constexpr std::int32_t kRecvFailPauseMs = 1000;
    static constexpr int kRouteRecorderId = 3;
    static constexpr int kUserRecorderId = 0;

    using SocketDeleter = void (*)(IBlockSocket*);

    // The link of the process: GetClientProcess(), a socket of the block-socket module and the
    // process's run state.
    GameServerProcess();
    // clients and runState must outlive the object; socket is owned and destroyed with
    // freeSocket (tests pass their own).
    GameServerProcess(ClientProcess& clients, IBlockSocket* socket, SocketDeleter freeSocket,
                      server::GateRunState& runState);
    ~GameServerProcess();
    GameServerProcess(const GameServerProcess&) = delete;
    GameServerProcess& operator=(const GameServerProcess&) = delete;

    // Registers "RcvFromGameServer" and "SendToGameServer" with the thread manager, suspended;
    // they run from the manager's startAll. Call once.
    void InitThreads();
    // Ends the send thread's pause early: packets wait for the route server. Any thread.
    void WakeSender();

    // --- the connect procedure, the reconnect timer and the stop sequence (window thread) ---
    void ResetCounters();
    // Dropped count 0 and the framing object's pending bytes dropped: before each connect.
    void PrepareConnect();
    // The gate's own records waiting to be sent; Clear() it before a new connection.
    CThreadQueue<MMORPG::MMORPGPacket>& GetOwnQueue() { return m_OwnQueue; }
    // The socket: Connect, Close, IsConnected, SetBindIP.
    IBlockSocket& Socket() { return *m_Socket; }
    // The send thread sends only while enabled.
    void Enable() { m_Enabled.store(1); }
    void Disable() { m_Enabled.store(0); }
    bool IsEnabled() const { return m_Enabled.load() != 0; }
    // The receive buffer becomes n bytes (at least 1) before the receive thread's next call.
    void SetRecvBufferLen(std::int32_t n);
    std::int32_t GetRecvBufferLen() const { return m_RecvBufferWanted.load(); }

    // --- gate records (any thread: they only push onto the own queue) ---
    // Queues one gate record: head 7 -> 5, SessionID 0, PoolIndex -1, the packet type given.
    void SendRecord(std::span<const std::uint8_t> record, std::uint8_t packType = 2);
    // Record 0, at the end of the start sequence.
    void SendStartRecord();
    // Record 37 with the client process's online count; maximum 0 reports the number of
    // session objects instead.
    void SendGateInfo(std::string_view addressText, std::uint16_t port, bool mobile,
                      std::uint32_t maximum);
    // Record 39 with the server id, the run-state code and at most 30 characters of the text.
    void SendAddressRefresh(std::string_view text);
    // Record 63 with the network service's statistics 28 to 37.
    void SendNetStatistics(const std::array<std::uint64_t, 10>& counters);

    // --- the two worker steps (public for the tests; the threads call them) ---
    // Receive step: blocks in Recv; 0 after data (call again at once), 1000 after a failure.
    int RecvStep();
    // Send step: 0 when client packets were sent (call again at once), else 1 (sleep 1 ms).
    int SendStep();
    // One server packet from the route server (the framing object's packet callback).
    void GetPackFromGameServer(const std::uint8_t* payload, std::size_t length);

    // --- views ---
    std::string GetSendSpeedText() { return m_SendCounter.describe(); }
    std::string GetRecvSpeedText() { return m_RecvCounter.describe(); }
    SecCounter& SendCounter() { return m_SendCounter; }
    SecCounter& RecvCounter() { return m_RecvCounter; }
    // "ToGameServerSendByte : %d byte": body bytes written by the last send step.
    std::int32_t GetLastSendBytes() const { return m_LastSendBytes.load(); }
    // "Discard": route-server packets dropped for a stale session id.
    std::int32_t GetDroppedCount() const { return m_Dropped.load(); }

  private:
    static int RecvThread(void* self, int index);
    static int SendThread(void* self, int index);
    static void OnDispatch(void* self, const std::uint8_t* payload, std::size_t length);

    void HandleGateRecord(const tagPackHead& head, std::span<const std::uint8_t> body);
    void HandleLogin(const tagPackHead& head, std::span<const std::uint8_t> body);
    // The link failed while writing: connected flag false.
    void LinkLost();
    // Counts, records and writes the n framed bytes of the work packet into the stream; false
    // when the write failed.
    bool WriteFramed(CNetStream& stream, PackRecorder* recorder, std::size_t n, std::int32_t& sent);
    PackRecorder* RecorderFor(int id, std::atomic<PackRecorder*>& cache);

    SecCounter m_SendCounter{1000};
    SecCounter m_RecvCounter{1000};
    ClientProcess& m_Clients;
    server::GateRunState& m_RunState;
    IBlockSocket* m_Socket;
    SocketDeleter m_FreeSocket;
    std::atomic<std::int32_t> m_LastSendBytes{0};
    std::atomic<std::int32_t> m_Dropped{0};
    std::atomic<std::uint8_t> m_Enabled{0};
    std::vector<std::uint8_t> m_RecvBuffer;
    std::atomic<std::int32_t> m_RecvBufferWanted{kDefaultRecvBufferLen};
    KsPackageDispatcher m_Dispatcher;
    CThreadQueue<MMORPG::MMORPGPacket> m_OwnQueue;
    std::atomic<PackRecorder*> m_RouteRecorder{nullptr};
    // Set once on the main thread before any producer runs; kept after the thread is gone.
    std::shared_ptr<WakeSignal> m_Sender;
    // Set by PrepareConnect: the receive thread drops the old link's pending bytes.
    std::atomic<bool> m_DropPending{false};
    std::atomic<PackRecorder*> m_UserRecorder{nullptr};
    // Work areas of the send thread.
    MMORPG::MMORPGPacket_Stack m_WorkPack;
    std::vector<std::uint8_t> m_Framed;
};
