// The client session's two byte paths on one core: receiving (cut, decipher, version and filter
// checks, wrap into a server packet, queue for the route link) and sending (queue, frame,
// encipher, stream into the network service), for 16-, 64- and 512-byte client packets.
#include <benchmark/benchmark.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "client/client_process.h"
#include "diag/recorder/pack_recorder.h"
#include "packet/packet_pool.h"
#include "tests/client/client_wire.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// A service with one connected slot that takes every send without keeping it.
class NullNetClient final : public INetClient {
  public:
    std::uint32_t GetIndex() override { return 0; }
    void* GetUserData() override { return data_; }
    void SetUserData(void* data) override { data_ = data; }
    int GetSocket() override { return 7; }
    const char* GetIP() override { return "127.0.0.1"; }
    std::uint64_t GetRemainSendBuffer() override { return 1u << 30; }
    std::uint64_t GetCommitSendBuffer() override { return 0; }
    std::uint64_t GetBytesReceived() override { return 0; }
    std::uint64_t GetBytesSent() override { return 0; }
    std::uint64_t GetConnectedSeconds() override { return 1; }

  private:
    void* data_ = nullptr;
};

class NullNetService final : public INetService {
  public:
    bool Start(std::uint16_t, int) override { return true; }
    void Stop() override {}
    INetClient* GetClient(std::uint32_t index) override { return index == 0 ? &client_ : nullptr; }
    bool GetMsg(NetMsg* msg) override {
        if (step_ == 0) {
            *msg = NetMsg{};
            msg->type = NET_MSG_ON_NEW_SLOT;
        } else if (step_ == 1) {
            *msg = NetMsg{};
            msg->type = NET_MSG_ON_CLIENTCONNECT;
        } else {
            return false;
        }
        ++step_;
        return true;
    }
    bool Send(std::uint32_t, const void*, std::uint32_t length) override {
        bytes_ += length;
        return true;
    }
    void Close(std::uint32_t) override {}
    bool IsRunning() override { return true; }
    std::uint64_t GetParam(int) override { return 0; }
    void SetParam(int, std::uint64_t) override {}
    int Maintain() override { return 0; }
    void Release() override { delete this; }

    std::uint64_t bytes_ = 0;

  private:
    NullNetClient client_;
    int step_ = 0;
};

bool LinkUp() {
    return true;
}

// One logged-in session past its version record, with the packet filter on.
struct Session {
    Session() : service(new NullNetService), process(service) {
        static const bool recorders = [] {
            GetPackRecorderManager().createRecorder("RouteServer", 3);
            GetPackRecorderManager().createRecorder("VevIdor", 7);
            GetPackRecorderManager().createRecorder("UserDefine", 0);
            return true;
        }();
        (void)recorders;
        const auto file = std::filesystem::temp_directory_path() / "vev_client_bench_filter.txt";
        std::ofstream(file) << "header\n1\t2\t0\n";
        process.GetPacketFilter().load(file.string());
        std::filesystem::remove(file);
        process.SetRouteLinkQuery(&LinkUp);
        process.SetMaxClientPackPile(INT_MAX);
        process.StartService(19006, 1);
        process.ProcessNetMsg();
        user = process.GetClientByIndex(0);
        const Bytes version = testing_support::ClientFrame(testing_support::VersionRecord(), 250);
        user->OnRecvData(version.data(), version.size());
        MMORPG::MMORPGPacket_Stack work;
        while (user->GetRouteQueue().PacketPop(&work) != 0) {
        }
        user->SetSessionID(0x1234);
        user->SetPlayerIndexInGameServer(5);
        user->SetState(3);
    }

    NullNetService* service;  // owned by process
    ClientProcess process;
    ClientUser* user = nullptr;
};

// Chunks of 16 frames each, enciphered for consecutive pack orders; 1024 packets cover every
// key of the dictionary once, so the sequence can be fed round and round.
std::vector<Bytes> MakeChunks(std::size_t packetSize) {
    constexpr int kPackets = 1024;
    constexpr int kPerChunk = 16;
    std::vector<Bytes> chunks;
    Bytes plain(packetSize, 0x33);
    plain[0] = 1;
    plain[1] = 2;
    for (int i = 0; i < kPackets; i += kPerChunk) {
        Bytes chunk;
        for (int j = 0; j < kPerChunk; ++j) {
            const Bytes frame = testing_support::ClientFrame(plain, 251 + i + j);
            chunk.insert(chunk.end(), frame.begin(), frame.end());
        }
        chunks.push_back(std::move(chunk));
    }
    return chunks;
}

void BM_ReceivePath(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    Session s;
    const std::vector<Bytes> chunks = MakeChunks(size);
    auto& queue = s.user->GetRouteQueue();
    std::size_t next = 0;
    std::int64_t packets = 0;
    for (auto _ : state) {
        const Bytes& chunk = chunks[next];
        next = (next + 1) % chunks.size();
        s.user->OnRecvData(chunk.data(), chunk.size());
        // The route link's side: take the 16 packets off and give them back to the pool.
        while (MMORPG::MMORPGPacket* p = queue.Pop()) FreePacket(p);
        packets += 16;
    }
    if (s.user->GetPackOrder() != 251 + packets) state.SkipWithError("packets were refused");
    state.SetItemsProcessed(packets);
    state.SetBytesProcessed(packets * static_cast<std::int64_t>(size + 6));
}

void BM_SendPath(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    Session s;
    s.process.SetMinSendInterval(0);
    const Bytes body(size, 0x44);
    constexpr int kPerPass = 64;
    std::int64_t packets = 0;
    for (auto _ : state) {
        for (int i = 0; i < kPerPass; ++i) s.user->SendToClient(body);
        if (s.user->SendAll() != 1) state.SkipWithError("send failed");
        packets += kPerPass;
    }
    if (s.service->bytes_ != static_cast<std::uint64_t>(packets) * (size + 6)) {
        state.SkipWithError("bytes lost");
    }
    state.SetItemsProcessed(packets);
    state.SetBytesProcessed(packets * static_cast<std::int64_t>(size + 6));
}

BENCHMARK(BM_ReceivePath)->Arg(16)->Arg(64)->Arg(512);
BENCHMARK(BM_SendPath)->Arg(16)->Arg(64)->Arg(512);

}  // namespace

BENCHMARK_MAIN();
