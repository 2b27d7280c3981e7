// PackBufer and the two send streams: gathering, flushing, direct writes of large packets and
// failures, against a socket pair and a fake network service.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "modules/net_service.h"
#include "packet/net_stream.h"
#include "packet/pack_buffer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(PackBufer, KeepsTwoBytesFree) {
    PackBufer buffer(8192);
    Bytes big(8191, 1);
    EXPECT_FALSE(buffer.Append(big.data(), 8191));
    EXPECT_TRUE(buffer.Append(big.data(), 8190));
    EXPECT_EQ(buffer.FillCount(), 8190);
    EXPECT_FALSE(buffer.Append(big.data(), 1));
    EXPECT_TRUE(buffer.Append(big.data(), 0));
    EXPECT_FALSE(buffer.Append(big.data(), -1));
    buffer.Clear();
    EXPECT_EQ(buffer.FillCount(), 0);
    for (int i = 0; i < 8192; ++i) ASSERT_EQ(buffer.Data()[i], 0) << i;
}

TEST(PackBufer, HugeCapacityIsLoggedButAllocated) {
    testing_support::LogCapture log;
    PackBufer buffer(65537);
    EXPECT_TRUE(log.Has(kLevelWarn, "..\\..\\lib\\TestLib\\PackBuffer : 15 Huge Packet Len:65537"));
    Bytes bytes(65535, 2);
    EXPECT_TRUE(buffer.Append(bytes.data(), 65535));
    log.Reset();
    PackBufer normal(65536);
    EXPECT_EQ(log.Size(), 0u);
}

// A connected pair of local stream sockets; reads what arrives on the far end.
class SocketPair {
  public:
    SocketPair() {
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds_) != 0) throw std::runtime_error("socketpair");
        int size = 1 << 20;
        setsockopt(fds_[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        setsockopt(fds_[1], SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    ~SocketPair() {
        if (fds_[0] >= 0) close(fds_[0]);
        if (fds_[1] >= 0) close(fds_[1]);
    }
    int near() const { return fds_[0]; }
    void CloseFar() {
        close(fds_[1]);
        fds_[1] = -1;
    }
    Bytes ReadAvailable() {
        Bytes all;
        std::uint8_t chunk[65536];
        for (;;) {
            ssize_t n = recv(fds_[1], chunk, sizeof chunk, MSG_DONTWAIT);
            if (n <= 0) break;
            all.insert(all.end(), chunk, chunk + n);
        }
        return all;
    }

  private:
    int fds_[2] = {-1, -1};
};

TEST(CNetStream, GathersAndFlushes) {
    SocketPair pair;
    CNetStream stream(pair.near());
    SetLastNetError(0);
    EXPECT_EQ(stream.SendBuf_o(nullptr, 0), 0);
    EXPECT_EQ(GetLastNetError(), kNothingBuffered);

    Bytes a(100, 0xA1), b(200, 0xB2);
    EXPECT_EQ(stream.SendBuf_o(a.data(), 100), 100);
    EXPECT_EQ(stream.SendBuf_o(b.data(), 200), 200);
    EXPECT_TRUE(pair.ReadAvailable().empty());
    EXPECT_EQ(stream.SendBuf_o(nullptr, 0), 300);
    Bytes expected(300, 0xB2);
    std::fill(expected.begin(), expected.begin() + 100, 0xA1);
    EXPECT_EQ(pair.ReadAvailable(), expected);
    EXPECT_EQ(stream.Buffer().FillCount(), 0);
}

TEST(CNetStream, LargePacketGoesOutDirectly) {
    SocketPair pair;
    CNetStream stream(pair.near());
    Bytes big(10000, 0x3C);
    EXPECT_EQ(stream.SendBuf_o(big.data(), 10000), 10000);  // the send result
    EXPECT_EQ(pair.ReadAvailable(), big);
    EXPECT_EQ(stream.Buffer().FillCount(), 0);
}

TEST(CNetStream, PacketThatDoesNotFitFlushesFirst) {
    SocketPair pair;
    CNetStream stream(pair.near());
    Bytes first(5000, 1), second(4000, 2);
    EXPECT_EQ(stream.SendBuf_o(first.data(), 5000), 5000);
    EXPECT_EQ(stream.SendBuf_o(second.data(), 4000), 4000);
    EXPECT_EQ(pair.ReadAvailable(), first);
    EXPECT_EQ(stream.Buffer().FillCount(), 4000);
}

TEST(CNetStream, FailingSocketKeepsTheBuffer) {
    SocketPair pair;
    CNetStream stream(pair.near());
    Bytes a(100, 7);
    EXPECT_EQ(stream.SendBuf_o(a.data(), 100), 100);
    pair.CloseFar();
    SetLastNetError(kNothingBuffered);
    EXPECT_LT(stream.SendBuf_o(nullptr, 0), 0);  // EPIPE, and no signal
    EXPECT_NE(GetLastNetError(), kNothingBuffered);
    EXPECT_EQ(stream.Buffer().FillCount(), 100);

    // A packet that does not fit behind them is not taken either.
    Bytes big(8100, 8);
    EXPECT_LT(stream.SendBuf_o(big.data(), 8100), 0);
    EXPECT_EQ(stream.Buffer().FillCount(), 100);
}

TEST(LastNetError, IsPerThread) {
    SetLastNetError(kNothingBuffered);
    std::uint32_t other = 1;
    std::thread([&] { other = GetLastNetError(); }).join();
    EXPECT_EQ(other, 0u);
    EXPECT_EQ(GetLastNetError(), kNothingBuffered);
}

// Records every Send; fails while `fail` is set or throws while `raise` is set.
class FakeNetService final : public INetService {
  public:
    bool fail = false;
    bool raise = false;
    std::vector<std::pair<std::uint32_t, Bytes>> sends;

    bool Send(std::uint32_t index, const void* bytes, std::uint32_t length) override {
        if (raise) throw std::runtime_error("send");
        const auto* p = static_cast<const std::uint8_t*>(bytes);
        sends.emplace_back(index, Bytes(p, p + length));
        return !fail;
    }
    bool Start(std::uint16_t, int) override { return true; }
    void Stop() override {}
    INetClient* GetClient(std::uint32_t) override { return nullptr; }
    bool GetMsg(NetMsg*) override { return false; }
    void Close(std::uint32_t) override {}
    bool IsRunning() override { return true; }
    std::uint64_t GetParam(int) override { return 0; }
    void SetParam(int, std::uint64_t) override {}
    int Maintain() override { return 0; }
    void Release() override {}
};

TEST(CICOPNetStream, GathersFlushesAndSendsLargePacketsDirectly) {
    FakeNetService service;
    CICOPNetStream stream(&service, 17);
    SetLastNetError(0);
    EXPECT_EQ(stream.SendBuf_o(nullptr, 0), 0);
    EXPECT_EQ(GetLastNetError(), kNothingBuffered);
    EXPECT_TRUE(service.sends.empty());

    Bytes a(5000, 1), b(4000, 2), big(10000, 3);
    EXPECT_EQ(stream.SendBuf_o(a.data(), 5000), 5000);
    EXPECT_EQ(stream.SendBuf_o(b.data(), 4000), 4000);  // flushes a first
    ASSERT_EQ(service.sends.size(), 1u);
    EXPECT_EQ(service.sends[0], std::make_pair(17u, a));
    EXPECT_EQ(stream.SendBuf_o(big.data(), 10000), 1);  // b flushed, big sent as is: Send's 1
    ASSERT_EQ(service.sends.size(), 3u);
    EXPECT_EQ(service.sends[1].second, b);
    EXPECT_EQ(service.sends[2].second, big);
    EXPECT_EQ(stream.Buffer().FillCount(), 0);
}

TEST(CICOPNetStream, FailedFlushEmptiesTheBuffer) {
    FakeNetService service;
    CICOPNetStream stream(&service, 2);
    Bytes a(10, 1);
    EXPECT_EQ(stream.SendBuf_o(a.data(), 10), 10);
    service.fail = true;
    SetLastNetError(kNothingBuffered);
    EXPECT_EQ(stream.SendBuf_o(nullptr, 0), 0);
    EXPECT_EQ(GetLastNetError(), kServiceSendFailed);
    EXPECT_EQ(stream.Buffer().FillCount(), 0);

    // Failing while making room keeps the buffer and refuses the new bytes.
    service.fail = false;
    EXPECT_EQ(stream.SendBuf_o(a.data(), 10), 10);
    service.fail = true;
    Bytes big(8185, 2);
    EXPECT_EQ(stream.SendBuf_o(big.data(), 8185), 0);
    EXPECT_EQ(stream.Buffer().FillCount(), 10);
}

TEST(CICOPNetStream, ExceptionsAreLoggedAndReportedAsZero) {
    testing_support::LogCapture log;
    FakeNetService service;
    CICOPNetStream stream(&service, 2);
    Bytes a(10, 1);
    stream.SendBuf_o(a.data(), 10);
    service.raise = true;
    EXPECT_EQ(stream.SendBuf_o(nullptr, 0), 0);
    EXPECT_TRUE(log.Has(kLevelFatal, "CICOPNetStream::SendBuf_o, lpData = 0, len = 0"));
}

}  // namespace
