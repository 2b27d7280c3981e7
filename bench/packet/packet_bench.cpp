// Hot paths of the packet subsystem: framing and cutting, the cipher, the pool and the thread
// queue, with memcpy of the same sizes as the reference.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "packet/byte_cipher.h"
#include "packet/package_dispatcher.h"
#include "packet/packet_pool.h"
#include "packet/thread_queue.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void CountPayload(void* context, const std::uint8_t*, std::size_t length) {
    *static_cast<std::size_t*>(context) += length;
}

// Builds one frame of the payload size and cuts it again, one frame per DispatchData.
void BM_FrameAndCut(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    KsPackageDispatcher framer;
    KsPackageDispatcher cutter;
    std::size_t delivered = 0;
    cutter.SetPackCallback(&CountPayload, &delivered);
    Bytes payload(size, 0x5A);
    Bytes frame(size + 6);
    for (auto _ : state) {
        std::size_t n = framer.PackData(payload.data(), size, frame.data(), frame.size());
        cutter.DispatchData(frame.data(), n);
        benchmark::DoNotOptimize(delivered);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_FrameAndCut)->Arg(16)->Arg(64)->Arg(256)->Arg(1024);

// The client receive path: a chunk of 64 frames of 64-byte payloads is cut and every payload is
// copied out and deciphered with a 4-byte key.
struct DecipherSink {
    std::uint8_t work[2048];
    std::uint8_t key[4] = {0x11, 0x22, 0x33, 0x44};
    std::size_t packets = 0;
};

void DecipherPayload(void* context, const std::uint8_t* payload, std::size_t length) {
    auto* sink = static_cast<DecipherSink*>(context);
    std::memcpy(sink->work, payload, length);
    DecodeBuffer(sink->work, length, sink->key, 4);
    ++sink->packets;
}

void BM_CutAndDecipher(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    constexpr int kFrames = 64;
    KsPackageDispatcher framer;
    Bytes payload(size, 0x33);
    Bytes chunk;
    for (int i = 0; i < kFrames; ++i) {
        Bytes frame(size + 6);
        framer.PackData(payload.data(), size, frame.data(), frame.size());
        chunk.insert(chunk.end(), frame.begin(), frame.end());
    }
    KsPackageDispatcher cutter;
    DecipherSink sink;
    cutter.SetPackCallback(&DecipherPayload, &sink);
    for (auto _ : state) {
        cutter.DispatchData(chunk.data(), chunk.size());
        benchmark::DoNotOptimize(sink.work[0]);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kFrames));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kFrames * size));
}
BENCHMARK(BM_CutAndDecipher)->Arg(64)->Arg(1024);

void BM_Encipher(benchmark::State& state) {
    Bytes bytes(static_cast<std::size_t>(state.range(0)), 0x42);
    for (auto _ : state) {
        EncodeBuffer(bytes.data(), bytes.size(), kOutboundKey.data(), kOutboundKey.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_Encipher)->Arg(64)->Arg(1024)->Arg(65536);

void BM_Decipher(benchmark::State& state) {
    Bytes bytes(static_cast<std::size_t>(state.range(0)), 0x42);
    const std::uint8_t key[4] = {1, 2, 3, 4};
    for (auto _ : state) {
        DecodeBuffer(bytes.data(), bytes.size(), key, 4);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_Decipher)->Arg(64)->Arg(1024)->Arg(65536);

void BM_Memcpy(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    Bytes from(size, 1), to(size);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), size);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}
BENCHMARK(BM_Memcpy)->Arg(16)->Arg(64)->Arg(256)->Arg(1024)->Arg(65536);

// One take and one return per iteration, from one or two threads.
void BM_PoolTakeReturn(benchmark::State& state) {
    GetPacketPool();
    for (auto _ : state) {
        MMORPG::MMORPGPacket* packet = AllocPacket();
        benchmark::DoNotOptimize(packet);
        FreePacket(packet);
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_PoolTakeReturn)->Threads(1)->Threads(2)->UseRealTime();

// Thread 0 takes a packet and pushes it; thread 1 pops it into its work area (giving the
// queued packet back to the pool). Both run the same number of iterations.
CThreadQueue<MMORPG::MMORPGPacket>* g_queue = nullptr;

void BM_QueuePushPop(benchmark::State& state) {
    if (state.thread_index() == 0) {
        GetPacketPool();
        static CThreadQueue<MMORPG::MMORPGPacket> queue;
        g_queue = &queue;
    }
    MMORPG::MMORPGPacket_Stack work;
    const std::uint8_t body[32] = {};
    for (auto _ : state) {
        if (state.thread_index() == 0) {
            MMORPG::MMORPGPacket* packet = AllocPacket();
            packet->ReadData(body, sizeof body);
            g_queue->Push(packet);
        } else {
            while (g_queue->GetCount() == 0 || g_queue->PacketPop(&work) == 0) {
            }
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(BM_QueuePushPop)->Threads(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
