// Throughput and memory of the network service module, loaded from VEVIDOR_BIN (or beside the
// benchmark's run path): accepts per second, memory per idle connection, echo through a
// minimal pump thread. Every case runs for a fixed, short time on loopback.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "modules/net_service.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

INetService* NewService() {
    static GetREVedArivuziInstanceFn fn = [] {
        const char* bin = std::getenv("VEVIDOR_BIN");
        std::string path =
            bin != nullptr ? std::string(bin) + "/REVedArivuzi.so" : "REVedArivuzi.so";
        void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (h == nullptr) h = dlopen("REVedArivuzi.so", RTLD_NOW | RTLD_LOCAL);
        return h != nullptr ? reinterpret_cast<GetREVedArivuziInstanceFn>(
                                  dlsym(h, "GetREVedArivuziInstance"))
                            : nullptr;
    }();
    return fn != nullptr ? fn(0) : nullptr;
}

long VmRssKb() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return 0;
}

void RaiseFileLimit() {
    rlimit r{};
    getrlimit(RLIMIT_NOFILE, &r);
    r.rlim_cur = r.rlim_max;
    setrlimit(RLIMIT_NOFILE, &r);
}

// Source addresses differ from run to run (127.x.y.z with x from the process id), so that a
// repeated run does not meet the previous run's TIME_WAIT sockets.
std::uint32_t SourceSpread() {
    static const std::uint32_t spread = (static_cast<std::uint32_t>(getpid()) % 200u) << 16;
    return spread;
}

int Connect(std::uint16_t port, std::uint32_t fromHost, bool nonBlocking = false) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // The port is chosen at connect time, where ports in TIME_WAIT are cheap to skip or reuse.
    const int on = 1;
    setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof(on));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(fromHost + SourceSpread());
    ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        ::close(fd);
        return -1;
    }
    if (nonBlocking) {
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    return fd;
}

// A service on a free port with a pump thread; echo = send every received message back.
class Harness {
  public:
    Harness(int capacity, bool echo) : svc_(NewService()) {
        svc_->SetParam(8, 0);
        svc_->SetParam(5, 0);
        ok_ = svc_->Start(0, capacity);
        port_ = static_cast<std::uint16_t>(svc_->GetParam(38));
        pump_ = std::thread([this, echo] {
            auto msg = std::make_unique<NetMsg>();
            while (!stop_.load(std::memory_order_relaxed)) {
                bool any = false;
                while (svc_->GetMsg(msg.get())) {
                    any = true;
                    if (msg->type == NET_MSG_ON_CLIENTCONNECT) accepted_.fetch_add(1);
                    if (msg->type == NET_MSG_ON_RECV && echo) {
                        svc_->Send(msg->index, msg->data, msg->length);
                    }
                }
                if (!any) std::this_thread::sleep_for(50us);
            }
        });
    }
    ~Harness() {
        stop_ = true;
        pump_.join();
        svc_->Release();
    }
    bool ok() const { return ok_; }
    std::uint16_t port() const { return port_; }
    std::uint64_t accepted() const { return accepted_.load(); }
    INetService* svc() { return svc_; }

  private:
    INetService* svc_;
    bool ok_ = false;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> accepted_{0};
    std::thread pump_;
};

// Connect and close as fast as one client thread can, for two seconds.
void BM_AcceptRate(benchmark::State& state) {
    Harness h(1000, false);
    if (!h.ok()) {
        state.SkipWithError("Start failed");
        return;
    }
    std::uint64_t connects = 0;
    double seconds = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        std::uint32_t host = 0x7f000a01;  // 127.0.10.1 and on: fresh source ports
        while (Clock::now() - start < 2s) {
            const int fd = Connect(h.port(), host + static_cast<std::uint32_t>(connects / 10000));
            if (fd < 0) continue;
            ::close(fd);
            ++connects;
        }
        const auto deadline = Clock::now() + 2s;
        while (h.accepted() < connects && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);
    }
    state.counters["accepts_per_s"] = static_cast<double>(h.accepted()) / seconds;
    state.counters["refused"] = static_cast<double>(h.svc()->GetParam(32));
}
BENCHMARK(BM_AcceptRate)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// 10,000 idle connections held by a child process (each process has its own descriptor
// limit); the service's process memory growth per connection.
void BM_IdleConnections(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    for (auto _ : state) {
        const long before = VmRssKb();
        Harness h(count, false);
        if (!h.ok()) {
            state.SkipWithError("Start failed");
            return;
        }
        int ready[2];
        int release[2];
        if (pipe(ready) != 0 || pipe(release) != 0) {
            state.SkipWithError("pipe");
            return;
        }
        const pid_t child = fork();
        if (child == 0) {
            int made = 0;
            std::vector<int> fds;
            for (int i = 0; i < count; ++i) {
                const int fd =
                    Connect(h.port(), 0x7f001401 + static_cast<std::uint32_t>(i / 20000));
                if (fd >= 0) ++made;
            }
            (void)!write(ready[1], &made, sizeof(made));
            char c;
            (void)!read(release[0], &c, 1);
            _exit(0);
        }
        int made = 0;
        (void)!read(ready[0], &made, sizeof(made));
        const auto deadline = Clock::now() + 10s;
        while (h.accepted() < static_cast<std::uint64_t>(made) && Clock::now() < deadline) {
            std::this_thread::sleep_for(5ms);
        }
        std::this_thread::sleep_for(100ms);
        const long after = VmRssKb();
        h.svc()->Stop();  // the service closes first: no TIME_WAIT on the client addresses
        (void)!write(release[1], "x", 1);
        waitpid(child, nullptr, 0);
        for (int fd : {ready[0], ready[1], release[0], release[1]}) ::close(fd);
        state.counters["connections"] = static_cast<double>(h.accepted());
        state.counters["rss_delta_kb"] = static_cast<double>(after - before);
        state.counters["bytes_per_conn"] =
            static_cast<double>(after - before) * 1024.0 / static_cast<double>(h.accepted());
    }
}
BENCHMARK(BM_IdleConnections)->Arg(10000)->Iterations(1)->Unit(benchmark::kMillisecond);

// Echo through the pump: every connection keeps `window` messages in flight (written as one
// burst, so they coalesce in the stream); the load generator is one epoll thread. Two seconds
// per case.
void BM_Echo(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const int conns = static_cast<int>(state.range(1));
    const auto window = static_cast<std::size_t>(state.range(2));
    Harness h(conns, true);
    if (!h.ok()) {
        state.SkipWithError("Start failed");
        return;
    }
    std::vector<int> fds;
    for (int i = 0; i < conns; ++i) {
        const int fd = Connect(h.port(), 0x7f001e01 + static_cast<std::uint32_t>(i / 20000), true);
        if (fd < 0) {
            state.SkipWithError("connect failed");
            return;
        }
        fds.push_back(fd);
    }
    while (h.accepted() < static_cast<std::uint64_t>(conns)) std::this_thread::sleep_for(1ms);

    const int ep = epoll_create1(EPOLL_CLOEXEC);
    std::vector<char> out(size * window, 'e');
    for (int i = 0; i < conns; ++i) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = static_cast<std::uint32_t>(i);
        epoll_ctl(ep, EPOLL_CTL_ADD, fds[static_cast<std::size_t>(i)], &ev);
        (void)!::send(fds[static_cast<std::size_t>(i)], out.data(), out.size(), MSG_NOSIGNAL);
    }
    std::vector<char> in(65536);
    std::vector<epoll_event> events(256);
    std::uint64_t echoed = 0;
    double seconds = 0;
    const std::uint64_t poppedBefore = h.svc()->GetParam(12);
    for (auto _ : state) {
        const auto start = Clock::now();
        while (Clock::now() - start < 2s) {
            const int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()), 100);
            for (int e = 0; e < n; ++e) {
                const int fd = fds[events[static_cast<std::size_t>(e)].data.u32];
                const ssize_t got = ::recv(fd, in.data(), in.size(), MSG_DONTWAIT);
                if (got <= 0) continue;
                echoed += static_cast<std::uint64_t>(got);
                // Put the same number of bytes back in flight.
                std::size_t left = static_cast<std::size_t>(got);
                while (left > 0) {
                    const std::size_t piece = std::min(left, out.size());
                    const ssize_t sent = ::send(fd, out.data(), piece, MSG_NOSIGNAL);
                    if (sent <= 0) break;
                    left -= static_cast<std::size_t>(sent);
                }
            }
        }
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);
    }
    const std::uint64_t popped = h.svc()->GetParam(12) - poppedBefore;
    ::close(ep);
    for (int fd : fds) ::close(fd);
    // GetMsg records handed to the pump (each carries up to 4096 bytes of coalesced stream).
    state.counters["pump_getmsg_per_s"] = static_cast<double>(popped) / seconds;
    const double msgs = static_cast<double>(echoed) / static_cast<double>(size);
    state.counters["msgs_per_s"] = msgs / seconds;
    state.counters["MB_per_s"] = static_cast<double>(echoed) / seconds / 1e6;
}
// window 1: every message is its own segment and its own GetMsg record (no coalescing).
BENCHMARK(BM_Echo)
    ->ArgNames({"bytes", "conns", "window"})
    ->Args({64, 100, 64})
    ->Args({64, 1000, 64})
    ->Args({64, 1000, 1})
    ->Args({1024, 100, 16})
    ->Args({1024, 1000, 16})
    ->Args({1024, 1000, 1})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    RaiseFileLimit();
    signal(SIGPIPE, SIG_IGN);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
