// gateclient: a client load tool for the gate. Each connection speaks the client protocol (the
// version record first, every packet enciphered with the key of its pack order, the gate's
// frames deciphered with the outbound key), waits for the route server's greeting after its
// log-in and then keeps a window of packets in flight (or sends at a fixed rate). Every packet
// carries its connection id and sequence number and a filler derived from both, so that the
// echo is checked byte for byte and in order. Prints a summary and one JSON line.
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "packet/byte_cipher.h"
#include "packet/pack_key_dict.h"
#include "packet/package_dispatcher.h"
#include "packet/wire.h"
#include "tools/common/tool_io.h"
#include "tools/common/tool_options.h"

namespace {

constexpr std::uint32_t kProtocolVersion = 153518004;
constexpr int kFirstPackOrder = 250;
constexpr std::size_t kHeader = 10;  // cmd, sub, u32 connection id, u32 sequence

struct Options {
    std::string host = "127.0.0.1";
    int port = 19006;
    int connections = 1;
    int sources = 0;
    int size = 64;
    int window = 8;
    double rate = 0;  // packets per second over all connections; 0 = window mode
    double duration = 5;
    int drainMs = 3000;
    int connectTimeoutMs = 3000;
    int loginTimeoutMs = 5000;
    bool greeting = true;
    int loginWaitMs = 300;
    int threads = 1;
    int cmd = 2;
    int sub = 1;
    std::uint32_t appVersion = kProtocolVersion;
    std::uint32_t version = kProtocolVersion;
    bool sendVersion = true;
    int connectSpreadMs = 0;
    bool jsonOnly = false;
};

void Usage(FILE* out) {
    std::fprintf(
        out,
        "usage: gateclient [options]\n"
        "Client load for the gate: N connections, echo checked for content and order.\n"
        "  --host ADDR              gate address (127.0.0.1)\n"
        "  --port N                 gate client port (19006)\n"
        "  --connections N          connections (1)\n"
        "  --sources K              bind the connections to K source addresses 127.0.0.1,\n"
        "                           127.0.0.2, ... in turn (0: no bind)\n"
        "  --size B                 client packet size in bytes, at least 10 (64)\n"
        "  --window W               packets in flight per connection (8)\n"
        "  --rate R                 instead of a window: R packets/s over all connections\n"
        "  --duration S             seconds of sending (5)\n"
        "  --drain-ms MS            wait at most MS for the last echoes (3000)\n"
        "  --connect-timeout-ms MS  (3000)\n"
        "  --login-timeout-ms MS    wait at most MS for the route server's greeting (5000)\n"
        "  --no-greeting            do not wait for a greeting; start --login-wait-ms after\n"
        "                           connecting (300)\n"
        "  --login-wait-ms MS\n"
        "  --threads T              worker threads (1)\n"
        "  --cmd C --sub S          command and sub-command bytes of the packets (2, 1)\n"
        "  --app-version V          seed of the packet keys (153518004)\n"
        "  --version V              version sent in the version record (153518004)\n"
        "  --no-version             send no version record\n"
        "  --connect-spread-ms MS   spread the connects over MS (0: all at once)\n"
        "  --json-only              print only the JSON line\n"
        "  --help\n"
        "Exit code: 0 clean run, 2 when any connection failed or any error was seen, 1 usage.\n");
}

// Round trips in microseconds: 1 µs steps below 10 ms, 100 µs steps up to 10 s.
class Histogram {
  public:
    Histogram() : fine_(10000, 0), coarse_(100000, 0) {}
    void add(std::uint64_t us) {
        ++count_;
        max_ = std::max(max_, us);
        if (us < 10000) {
            ++fine_[us];
        } else {
            std::uint64_t i = (us - 10000) / 100;
            ++coarse_[std::min<std::uint64_t>(i, coarse_.size() - 1)];
        }
    }
    void merge(const Histogram& o) {
        for (std::size_t i = 0; i < fine_.size(); ++i) fine_[i] += o.fine_[i];
        for (std::size_t i = 0; i < coarse_.size(); ++i) coarse_[i] += o.coarse_[i];
        count_ += o.count_;
        max_ = std::max(max_, o.max_);
    }
    // The value below which the fraction q of the samples lie (µs).
    double percentile(double q) const {
        if (count_ == 0) return 0;
        std::uint64_t rank = static_cast<std::uint64_t>(q * static_cast<double>(count_ - 1)) + 1;
        std::uint64_t seen = 0;
        for (std::size_t i = 0; i < fine_.size(); ++i) {
            seen += fine_[i];
            if (seen >= rank) return static_cast<double>(i);
        }
        for (std::size_t i = 0; i < coarse_.size(); ++i) {
            seen += coarse_[i];
            if (seen >= rank) return 10000.0 + static_cast<double>(i) * 100.0;
        }
        return static_cast<double>(max_);
    }
    std::uint64_t count() const { return count_; }
    std::uint64_t max() const { return max_; }

  private:
    std::vector<std::uint32_t> fine_;
    std::vector<std::uint32_t> coarse_;
    std::uint64_t count_ = 0;
    std::uint64_t max_ = 0;
};

struct Stats {
    std::uint64_t connected = 0, failed = 0, loggedIn = 0, loginTimeouts = 0, closedByGate = 0;
    std::uint64_t sent = 0, received = 0, bytesSent = 0, bytesReceived = 0;
    std::uint64_t wireSent = 0, wireReceived = 0;
    std::uint64_t mismatch = 0, reorder = 0, unexpected = 0, lost = 0, sendErrors = 0;
    std::map<int, std::uint64_t> kicks;
    Histogram rtt;
    std::vector<std::string> samples;  // first few error descriptions

    void merge(const Stats& o) {
        connected += o.connected;
        failed += o.failed;
        loggedIn += o.loggedIn;
        loginTimeouts += o.loginTimeouts;
        closedByGate += o.closedByGate;
        sent += o.sent;
        received += o.received;
        bytesSent += o.bytesSent;
        bytesReceived += o.bytesReceived;
        wireSent += o.wireSent;
        wireReceived += o.wireReceived;
        mismatch += o.mismatch;
        reorder += o.reorder;
        unexpected += o.unexpected;
        lost += o.lost;
        sendErrors += o.sendErrors;
        for (auto& [k, v] : o.kicks) kicks[k] += v;
        rtt.merge(o.rtt);
        for (const auto& s : o.samples) {
            if (samples.size() < 10) samples.push_back(s);
        }
    }
    std::uint64_t errors() const {
        return mismatch + reorder + unexpected + lost + sendErrors + loginTimeouts + closedByGate;
    }
};

enum class State { kConnecting, kWaitLogin, kRunning, kClosed };

struct Conn;

class Worker {
  public:
    Worker(const Options& o, int index) : opt_(o), index_(index) {}
    void Run(std::vector<int> ids, std::uint64_t startNs);
    Stats stats;

  private:
    friend struct Conn;
    void StartConnect(Conn& c);
    void OnWritable(Conn& c);
    void OnReadable(Conn& c);
    void Close(Conn& c, bool byGate);
    void Fail(Conn& c);
    void SendPacket(Conn& c, std::uint64_t now);
    void SendVersion(Conn& c);
    void QueueFrame(Conn& c, std::uint8_t* plain, std::size_t n);
    void Flush(Conn& c);
    void OnFrame(Conn& c, const std::uint8_t* payload, std::size_t n);
    void Error(std::uint64_t& counter, const char* what, const Conn& c, std::uint32_t seq);
    void Fill(std::uint8_t* p, std::uint32_t id, std::uint32_t seq) const;
    bool CanSend(const Conn& c) const;

    const Options& opt_;
    int index_;
    int epoll_ = -1;
    std::vector<std::unique_ptr<Conn>> conns_;
    std::vector<std::uint8_t> in_ = std::vector<std::uint8_t>(64 * 1024);
    std::vector<std::uint8_t> plain_;
    std::vector<std::uint8_t> work_;
    bool sending_ = true;
    std::uint64_t now_ = 0;
};

struct Conn {
    Worker* worker = nullptr;
    std::uint32_t id = 0;
    int fd = -1;
    State state = State::kConnecting;
    std::uint64_t stateSince = 0;
    std::int32_t packOrder = kFirstPackOrder;
    std::uint32_t nextSeq = 0;
    std::uint32_t expectSeq = 0;
    std::uint64_t scheduled = 0;  // rate mode: packets due so far
    std::deque<std::uint64_t> sendTimes;
    tools::FrameBuffer out;
    bool wantOut = false;
    bool kicked = false;
    KsPackageDispatcher dispatcher;
    std::uint32_t sourceAddr = 0;

    static void OnPack(void* self, const std::uint8_t* p, std::size_t n) {
        Conn* c = static_cast<Conn*>(self);
        c->worker->OnFrame(*c, p, n);
    }
};

void Worker::Fill(std::uint8_t* p, std::uint32_t id, std::uint32_t seq) const {
    p[0] = static_cast<std::uint8_t>(opt_.cmd);
    p[1] = static_cast<std::uint8_t>(opt_.sub);
    wire::StoreLE<std::uint32_t>(p + 2, id);
    wire::StoreLE<std::uint32_t>(p + 6, seq);
    std::uint8_t x = static_cast<std::uint8_t>(seq * 31u + id * 7u);
    for (int i = static_cast<int>(kHeader); i < opt_.size; ++i)
        p[i] = static_cast<std::uint8_t>(x + i);
}

void Worker::Error(std::uint64_t& counter, const char* what, const Conn& c, std::uint32_t seq) {
    ++counter;
    if (stats.samples.size() < 10) {
        char text[160];
        std::snprintf(text, sizeof text, "%s conn=%u seq=%u expected=%u", what, c.id, seq,
                      c.expectSeq);
        stats.samples.push_back(text);
    }
}

void Worker::StartConnect(Conn& c) {
    c.fd = tools::NewTcpSocket();
    tools::SetNoDelay(c.fd);
    bool ok = true;
    if (c.sourceAddr != 0) {
        int one = 1;
        setsockopt(c.fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
        sockaddr_in local = tools::Ipv4Address(c.sourceAddr, 0);
        ok = bind(c.fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
    }
    if (ok) {
        sockaddr_in a{};
        tools::Ipv4Address(opt_.host, opt_.port, a);
        ok = connect(c.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 || errno == EINPROGRESS;
    }
    if (!ok) {
        // Not in the epoll set yet: a plain close.
        ++stats.failed;
        close(c.fd);
        c.fd = -1;
        c.state = State::kClosed;
        return;
    }
    c.state = State::kConnecting;
    c.stateSince = now_;
    tools::WatchPtr(epoll_, EPOLL_CTL_ADD, c.fd, EPOLLOUT | EPOLLIN | EPOLLRDHUP, &c);
    c.wantOut = true;
}

void Worker::Close(Conn& c, bool byGate) {
    if (c.fd < 0) return;
    if (byGate && c.state != State::kConnecting && !c.kicked) ++stats.closedByGate;
    if (byGate && c.state == State::kConnecting) ++stats.failed;
    tools::CloseWatched(epoll_, c.fd);
    c.state = State::kClosed;
}

void Worker::Fail(Conn& c) {
    ++stats.failed;
    Close(c, false);
}

void Worker::QueueFrame(Conn& c, std::uint8_t* plain, std::size_t n) {
    std::uint32_t key = GetPackKeyDictFetcher().FetchKey(c.packOrder, opt_.appVersion);
    std::uint8_t keyBytes[4];
    wire::StoreLE<std::uint32_t>(keyBytes, key);
    ++c.packOrder;
    EncodeBuffer(plain, n, keyBytes, 4);
    std::memcpy(c.out.AppendFrame(static_cast<std::uint32_t>(n)), plain, n);
    stats.wireSent += tools::FrameBuffer::kHeaderSize + n;
}

void Worker::SendVersion(Conn& c) {
    std::uint8_t v[6] = {1, 35};
    wire::StoreLE<std::uint32_t>(v + 2, opt_.version);
    QueueFrame(c, v, sizeof v);
}

void Worker::SendPacket(Conn& c, std::uint64_t now) {
    plain_.resize(static_cast<std::size_t>(opt_.size));
    Fill(plain_.data(), c.id, c.nextSeq);
    ++c.nextSeq;
    c.sendTimes.push_back(now);
    QueueFrame(c, plain_.data(), plain_.size());
    ++stats.sent;
    stats.bytesSent += plain_.size();
}

bool Worker::CanSend(const Conn& c) const {
    return sending_ && c.state == State::kRunning && !c.kicked;
}

void Worker::Flush(Conn& c) {
    if (c.fd < 0) return;
    if (!c.out.SendTo(c.fd)) {
        ++stats.sendErrors;
        Close(c, true);
        return;
    }
    bool need = c.out.Pending();
    if (need != c.wantOut) {
        tools::WatchPtr(epoll_, EPOLL_CTL_MOD, c.fd,
                        EPOLLIN | EPOLLRDHUP | (need ? static_cast<unsigned>(EPOLLOUT) : 0u), &c);
        c.wantOut = need;
    }
}

void Worker::OnWritable(Conn& c) {
    if (c.state == State::kConnecting) {
        if (tools::SocketError(c.fd) != 0) {
            Fail(c);
            return;
        }
        ++stats.connected;
        c.state = State::kWaitLogin;
        c.stateSince = now_;
        if (opt_.sendVersion) SendVersion(c);
    }
    Flush(c);
}

void Worker::OnFrame(Conn& c, const std::uint8_t* payload, std::size_t n) {
    stats.wireReceived += tools::FrameBuffer::kHeaderSize + n;
    work_.assign(payload, payload + n);
    DecodeBuffer(work_.data(), n, kOutboundKey.data(), kOutboundKey.size());
    const std::uint8_t* p = work_.data();
    if (n == 3 && p[0] == 1 && p[1] == 4) {
        ++stats.kicks[p[2]];
        c.kicked = true;
        return;
    }
    if (n >= 2 && p[0] == 1 && p[1] == 36) {
        if (c.state == State::kWaitLogin) {
            ++stats.loggedIn;
            c.state = State::kRunning;
            c.stateSince = now_;
            if (opt_.rate <= 0) {
                for (int i = 0; i < opt_.window && CanSend(c); ++i) SendPacket(c, now_);
            }
        }
        return;
    }
    if (n < kHeader || p[0] != opt_.cmd || p[1] != opt_.sub ||
        wire::LoadLE<std::uint32_t>(p + 2) != c.id) {
        Error(stats.unexpected, "unexpected", c, 0);
        return;
    }
    std::uint32_t seq = wire::LoadLE<std::uint32_t>(p + 6);
    ++stats.received;
    stats.bytesReceived += n;
    if (seq != c.expectSeq || c.sendTimes.empty()) {
        Error(stats.reorder, "order", c, seq);
        // Resynchronise: drop the send times of the skipped packets.
        while (!c.sendTimes.empty() && c.expectSeq < seq) {
            c.sendTimes.pop_front();
            ++c.expectSeq;
        }
    }
    if (static_cast<int>(n) != opt_.size) {
        Error(stats.mismatch, "length", c, seq);
    } else {
        plain_.resize(n);
        Fill(plain_.data(), c.id, seq);
        if (std::memcmp(plain_.data(), p, n) != 0) Error(stats.mismatch, "content", c, seq);
    }
    if (!c.sendTimes.empty() && seq == c.expectSeq) {
        stats.rtt.add((now_ - c.sendTimes.front()) / 1000);
        c.sendTimes.pop_front();
        ++c.expectSeq;
    }
    if (opt_.rate <= 0 && CanSend(c)) SendPacket(c, now_);
}

void Worker::OnReadable(Conn& c) {
    tools::ReadEnd end = tools::ReadChunks(c.fd, in_, 8, [&](const std::uint8_t* p, std::size_t n) {
        c.dispatcher.DispatchData(p, n);
        return c.fd >= 0;
    });
    if (end == tools::ReadEnd::kClosed || end == tools::ReadEnd::kFailed) {
        Close(c, true);
        return;
    }
    Flush(c);
}

void Worker::Run(std::vector<int> ids, std::uint64_t startNs) {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    for (int id : ids) {
        auto c = std::make_unique<Conn>();
        c->worker = this;
        c->id = static_cast<std::uint32_t>(id);
        c->state = State::kClosed;
        if (opt_.sources > 0) {
            std::uint32_t k = static_cast<std::uint32_t>(id % opt_.sources);
            c->sourceAddr = (127u << 24) | ((k / 254u) << 8) | (k % 254u + 1u);
        }
        c->dispatcher.SetPackCallback(&Conn::OnPack, c.get());
        conns_.push_back(std::move(c));
    }
    const std::uint64_t ms = 1000000ull;
    std::uint64_t spread = static_cast<std::uint64_t>(opt_.connectSpreadMs) * ms;
    std::size_t started = 0;
    std::uint64_t sendEnd = 0;  // set once the connects are done
    std::uint64_t runStart = 0;
    double perConnRate = opt_.rate > 0 ? opt_.rate / std::max(1, opt_.connections) : 0;
    std::uint64_t hardEnd =
        startNs +
        static_cast<std::uint64_t>((opt_.duration * 1000 + opt_.drainMs + opt_.connectTimeoutMs +
                                    opt_.loginTimeoutMs + opt_.connectSpreadMs) *
                                   ms);
    epoll_event events[256];
    while (true) {
        now_ = tools::MonotonicNs();
        // Connects, spread over the time asked for.
        while (started < conns_.size() &&
               (spread == 0 || now_ - startNs >= spread * started / conns_.size())) {
            StartConnect(*conns_[started]);
            ++started;
        }
        int n = epoll_wait(epoll_, events, 256, 1);
        now_ = tools::MonotonicNs();
        for (int i = 0; i < n; ++i) {
            Conn& c = *static_cast<Conn*>(events[i].data.ptr);
            if (c.fd < 0) continue;
            if (events[i].events & EPOLLOUT) OnWritable(c);
            if (c.fd >= 0 && (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR | EPOLLRDHUP))) {
                if (c.state == State::kConnecting) {
                    OnWritable(c);
                    if (c.fd < 0) continue;
                }
                OnReadable(c);
            }
        }
        // Time-outs and the rate schedule.
        bool settling = started < conns_.size();
        for (auto& cp : conns_) {
            Conn& c = *cp;
            if (c.fd < 0) continue;
            if (c.state == State::kConnecting) {
                settling = true;
                if (now_ - c.stateSince > static_cast<std::uint64_t>(opt_.connectTimeoutMs) * ms)
                    Fail(c);
            } else if (c.state == State::kWaitLogin) {
                std::uint64_t limit = static_cast<std::uint64_t>(opt_.greeting ? opt_.loginTimeoutMs
                                                                               : opt_.loginWaitMs) *
                                      ms;
                if (now_ - c.stateSince > limit) {
                    if (opt_.greeting) {
                        ++stats.loginTimeouts;
                        Close(c, false);
                        continue;
                    }
                    c.state = State::kRunning;
                    c.stateSince = now_;
                    if (opt_.rate <= 0) {
                        for (int k = 0; k < opt_.window && CanSend(c); ++k) SendPacket(c, now_);
                        Flush(c);
                    }
                } else {
                    settling = true;
                }
            } else if (c.state == State::kRunning && perConnRate > 0 && CanSend(c) &&
                       runStart != 0) {
                std::uint64_t due = static_cast<std::uint64_t>(
                    static_cast<double>(now_ - runStart) / 1e9 * perConnRate);
                bool any = false;
                while (c.scheduled < due) {
                    ++c.scheduled;
                    SendPacket(c, now_);
                    any = true;
                }
                if (any) Flush(c);
            }
        }
        // The sending period starts when every connection has logged in or given up.
        if (runStart == 0 && !settling) {
            runStart = now_;
            sendEnd = now_ + static_cast<std::uint64_t>(opt_.duration * 1000) * ms;
            for (auto& cp : conns_) cp->scheduled = 0;
        }
        if (sendEnd != 0 && sending_ && now_ >= sendEnd) {
            sending_ = false;
            hardEnd = std::min(hardEnd, now_ + static_cast<std::uint64_t>(opt_.drainMs) * ms);
        }
        if (!sending_) {
            bool inFlight = false;
            for (auto& cp : conns_) {
                if (cp->fd >= 0 && !cp->sendTimes.empty() && !cp->kicked) inFlight = true;
            }
            if (!inFlight) break;
        }
        if (now_ >= hardEnd) break;
    }
    for (auto& cp : conns_) {
        if (!cp->kicked) stats.lost += cp->sendTimes.size();
        Close(*cp, false);
    }
    close(epoll_);
    (void)index_;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    std::optional<int> exit = tools::OptionTable(Usage)
                                  .Text("host", &o.host)
                                  .Int("port", &o.port)
                                  .Int("connections", &o.connections)
                                  .Int("sources", &o.sources)
                                  .Int("size", &o.size)
                                  .Int("window", &o.window)
                                  .Double("rate", &o.rate)
                                  .Double("duration", &o.duration)
                                  .Int("drain-ms", &o.drainMs)
                                  .Int("connect-timeout-ms", &o.connectTimeoutMs)
                                  .Int("login-timeout-ms", &o.loginTimeoutMs)
                                  .Flag("no-greeting", &o.greeting, false)
                                  .Int("login-wait-ms", &o.loginWaitMs)
                                  .Int("threads", &o.threads)
                                  .Int("cmd", &o.cmd)
                                  .Int("sub", &o.sub)
                                  .Unsigned("app-version", &o.appVersion)
                                  .Unsigned("version", &o.version)
                                  .Flag("no-version", &o.sendVersion, false)
                                  .Int("connect-spread-ms", &o.connectSpreadMs)
                                  .Flag("json-only", &o.jsonOnly, true)
                                  .Parse(argc, argv);
    if (exit) return *exit;
    sockaddr_in probe{};
    if (o.connections < 1 || o.size < static_cast<int>(kHeader) || o.size > 65000 || o.window < 0 ||
        o.threads < 1 || o.duration < 0 || o.sources < 0 || o.sources > 254 * 256 || o.port <= 0 ||
        o.port > 65535 || !tools::Ipv4Address(o.host, o.port, probe) ||
        (o.cmd == 1 && (o.sub == 4 || o.sub == 36))) {
        Usage(stderr);
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    o.threads = std::min(o.threads, o.connections);

    std::vector<std::unique_ptr<Worker>> workers;
    std::vector<std::thread> threads;
    std::uint64_t start = tools::MonotonicNs();
    for (int t = 0; t < o.threads; ++t) {
        std::vector<int> ids;
        for (int i = t; i < o.connections; i += o.threads) ids.push_back(i);
        workers.push_back(std::make_unique<Worker>(o, t));
        threads.emplace_back([w = workers.back().get(), ids, start] { w->Run(ids, start); });
    }
    for (auto& t : threads) t.join();
    double elapsed = static_cast<double>(tools::MonotonicNs() - start) / 1e9;
    Stats s;
    for (auto& w : workers) s.merge(w->stats);

    // The rates are taken over the sending period (the duration), which is what the load was.
    double period = o.duration > 0 ? o.duration : elapsed;
    double pps_out = static_cast<double>(s.sent) / period;
    double pps_in = static_cast<double>(s.received) / period;
    double mbs_out = static_cast<double>(s.wireSent) / period / 1e6;
    double mbs_in = static_cast<double>(s.wireReceived) / period / 1e6;
    double p50 = s.rtt.percentile(0.50) / 1000.0, p90 = s.rtt.percentile(0.90) / 1000.0;
    double p99 = s.rtt.percentile(0.99) / 1000.0, pmax = static_cast<double>(s.rtt.max()) / 1000.0;

    if (!o.jsonOnly) {
        std::printf(
            "connections: %llu made, %llu failed, %llu logged in, %llu login time-outs, "
            "%llu closed by the gate\n",
            (unsigned long long)s.connected, (unsigned long long)s.failed,
            (unsigned long long)s.loggedIn, (unsigned long long)s.loginTimeouts,
            (unsigned long long)s.closedByGate);
        std::printf(
            "sent:     %llu packets, %llu payload bytes, %llu wire bytes (%.0f packets/s, "
            "%.2f MB/s)\n",
            (unsigned long long)s.sent, (unsigned long long)s.bytesSent,
            (unsigned long long)s.wireSent, pps_out, mbs_out);
        std::printf(
            "received: %llu packets, %llu payload bytes, %llu wire bytes (%.0f packets/s, "
            "%.2f MB/s)\n",
            (unsigned long long)s.received, (unsigned long long)s.bytesReceived,
            (unsigned long long)s.wireReceived, pps_in, mbs_in);
        std::printf("round trip ms: p50 %.3f  p90 %.3f  p99 %.3f  max %.3f  (%llu samples)\n", p50,
                    p90, p99, pmax, (unsigned long long)s.rtt.count());
        std::printf(
            "errors: %llu (mismatch %llu, order %llu, unexpected %llu, lost %llu, send "
            "%llu)\n",
            (unsigned long long)s.errors(), (unsigned long long)s.mismatch,
            (unsigned long long)s.reorder, (unsigned long long)s.unexpected,
            (unsigned long long)s.lost, (unsigned long long)s.sendErrors);
        for (auto& [reason, count] : s.kicks) {
            std::printf("kicked: reason %d x %llu\n", reason, (unsigned long long)count);
        }
        for (const auto& e : s.samples) std::printf("  %s\n", e.c_str());
    }
    nlohmann::json j;
    j["connections"] = o.connections;
    j["connected"] = s.connected;
    j["failed"] = s.failed;
    j["logged_in"] = s.loggedIn;
    j["login_timeouts"] = s.loginTimeouts;
    j["closed_by_gate"] = s.closedByGate;
    j["size"] = o.size;
    j["window"] = o.rate > 0 ? 0 : o.window;
    j["rate"] = o.rate;
    j["duration_s"] = o.duration;
    j["elapsed_s"] = elapsed;
    j["sent_packets"] = s.sent;
    j["recv_packets"] = s.received;
    j["sent_bytes"] = s.bytesSent;
    j["recv_bytes"] = s.bytesReceived;
    j["sent_wire_bytes"] = s.wireSent;
    j["recv_wire_bytes"] = s.wireReceived;
    j["sent_pps"] = pps_out;
    j["recv_pps"] = pps_in;
    j["sent_mbps"] = mbs_out;
    j["recv_mbps"] = mbs_in;
    j["rtt_ms"] = {{"p50", p50}, {"p90", p90}, {"p99", p99}, {"max", pmax}};
    j["errors"] = s.errors();
    j["mismatch"] = s.mismatch;
    j["reorder"] = s.reorder;
    j["unexpected"] = s.unexpected;
    j["lost"] = s.lost;
    j["send_errors"] = s.sendErrors;
    nlohmann::json kicks = nlohmann::json::object();
    for (auto& [reason, count] : s.kicks) kicks[std::to_string(reason)] = count;
    j["kicks"] = kicks;
    std::printf("%s\n", j.dump().c_str());
    bool clean = s.failed == 0 && s.errors() == 0;
    return clean ? 0 : 2;
}
