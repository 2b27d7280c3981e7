// Statistics and settings of the network service "REVedArivuzi.so": the GetParam ids 0..37
// (the operator's statistics view shows one line per id) and the SetParam ids it honours.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

namespace netsvc {

// GetParam ids. "Gauge" values are current levels; every other value only grows for the
// life of the service object (Stop and Start do not reset them). Byte values are in bytes.
enum StatId : int {
    kStatMaxClient = 0,          // gauge: connection slots in use by the last Start (its capacity)
    kStatRecvBytes = 1,          // bytes read from client sockets
    kStatSendBytes = 2,          // bytes written to client sockets
    kStatOpCount = 3,            // gauge: socket waits (read, write, accept) now outstanding
    kStatRecvQueue = 4,          // gauge: messages queued for GetMsg and not yet taken
    kStatSendQueue = 5,          // gauge: accepted Send calls whose bytes are not all written yet
    kStatSendStreamSize = 6,     // gauge: bytes taken by Send and not yet written (all connections)
    kStatFreeClientPool = 7,     // gauge: free connection slots (ready for the next accept)
    kStatWaitProcessSend = 8,    // gauge: connections waiting for the I/O thread to serve a
                                 //        Send, Close or read resumption
    kStatAllocedOpCount = 9,     // socket waits started
    kStatPushRecvMsg = 10,       // messages put into the GetMsg queue (every type)
    kStatPushSendMsg = 11,       // Send calls accepted
    kStatPopRecvMsg = 12,        // messages handed out by GetMsg
    kStatPopSendMsg = 13,        // accepted Send calls whose bytes were completely written
    kStatCommitSendBytes = 14,   // bytes taken over by accepted Send calls
    kStatMsgPoolCount = 15,      // gauge: memory reserved by the message queue, in units of one
                                 //        message record (sizeof(NetMsg) = 4112 bytes)
    kStatMsgPoolFree = 16,       // gauge: the part of id 15 not holding queued messages
    kStatSendRetry = 17,         // writes that took only part of the bytes offered
    kStatSendWouldBlock = 18,    // writes refused by a full socket buffer (wait for writability)
    kStatSendPending = 19,       // gauge: connections now waiting for their socket to drain
    kStatWriteCount = 20,        // write system calls made
    kStatSendReturnZero = 21,    // writes that returned 0 bytes
    kStatMaxQueueKick = 22,      // connections kicked by the send limits (SetParam 5 and 9)
    kStatRefuseBySend = 23,      // connections refused while id 5 exceeded SetParam 7
    kStatRefuseByRecv = 24,      // connections refused while id 4 exceeded SetParam 6
    kStatHackerFound = 25,       // addresses found opening connections too fast (SetParam 8)
    kStatDropPack = 26,          // Send calls refused as longer than SetParam 1
    kStatTimeKick = 27,          // connections closed by the inactivity time-out (SetParam 4)
    kStatNoConnection = 28,      // Send or Close calls for a slot without a live connection,
                                 // or an index outside the slots
    kStatStaleCompletion = 29,   // socket waits that completed after their connection had ended
    kStatErrorClose = 30,        // connections ended by a socket error (message 106)
    kStatNormalClose = 31,       // connections closed by the peer (message 104)
    kStatMaxConnectRefuse = 32,  // connections refused because every slot was taken
    kStatHackRefuse = 33,        // connections refused from an address found by id 25
    kStatServiceClose = 34,      // connections closed by the service (message 107: Close,
                                 // time-out, send limits, Stop)
    kStatRecvError = 35,         // read errors other than an orderly close
    kStatSendError = 36,         // write errors
    kStatAcceptError = 37,       // failed accepts (descriptor shortage: accepting pauses 100 ms)
    kStatCount = 38,

    // Beyond the statistics view: the port the listener is bound to (useful after Start(0, n)).
    kStatListenPort = 38,
};

// SetParam ids. Values take effect at once, also while running.
enum ParamId : int {
    kParamMaxSendLength = 1,      // longest single Send accepted, bytes (default 536870912)
    kParamTimeoutMs = 4,          // close a connection that sent nothing for this long; 0 = never
                                  // (default 0)
    kParamMaxQueuedSends = 5,     // most Send calls queued per connection; one more kicks the
                                  // connection (107); 0 = no limit (default 100)
    kParamRefuseByRecvQueue = 6,  // refuse new connections while id 4 is above it; 0 = never
    kParamRefuseBySendQueue = 7,  // refuse new connections while id 5 is above it; 0 = never
    kParamAttackValue = 8,        // most new connections per second from one address; the
                                  // address is then refused for 5 s; 0 = off (default 0)
    kParamMaxQueuedBytes = 9,     // most bytes queued per connection (a single Send on an empty
                                  // queue is always taken); beyond it the connection is kicked
                                  // (107, id 22); default 4194304
    kParamRecvPauseBytes = 10,    // reading a connection pauses while more than this many of
                                  // its received bytes wait in the GetMsg queue, and resumes
                                  // when GetMsg has taken them down to half; default 65536
};

// Monotonic counters, written with relaxed atomics from any thread.
class Stats {
  public:
    void add(StatId id, std::uint64_t n = 1) {
        values_[id].fetch_add(n, std::memory_order_relaxed);
    }
    void sub(StatId id, std::uint64_t n = 1) {
        values_[id].fetch_sub(n, std::memory_order_relaxed);
    }
    std::uint64_t get(StatId id) const { return values_[id].load(std::memory_order_relaxed); }

  private:
    std::array<std::atomic<std::uint64_t>, kStatCount> values_{};
};

}  // namespace netsvc
