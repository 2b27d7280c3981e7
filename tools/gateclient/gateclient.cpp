// gateclient: a client load tool for the gate. Each connection speaks the client protocol (the
// version record first, every packet enciphered with the key of its pack order, the gate's
// frames deciphered with the outbound key), waits for the route server's greeting after its
// log-in and then keeps a window of packets in flight (or sends at a fixed rate). Every packet
// carries its connection id and sequence number and a filler derived from both, so that the
// echo is checked byte for byte and in order. Prints a summary and one JSON line.
#include <arpa/inet.h>
#include <fcntl.h>
#include <getopt.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "packet/byte_cipher.h"
#include "packet/pack_key_dict.h"
#include "packet/package_dispatcher.h"
#include "packet/wire.h"

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

std::uint64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000ull +
           static_cast<std::uint64_t>(ts.tv_nsec);
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
    std::vector<std::uint8_t> out;
    std::size_t outPos = 0;
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
    c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (c.sourceAddr != 0) {
        setsockopt(c.fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(c.sourceAddr);
        if (bind(c.fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            ++stats.failed;
            close(c.fd);
            c.fd = -1;
            c.state = State::kClosed;
            return;
        }
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(opt_.port));
    inet_pton(AF_INET, opt_.host.c_str(), &a.sin_addr);
    int r = connect(c.fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (r != 0 && errno != EINPROGRESS) {
        ++stats.failed;
        close(c.fd);
        c.fd = -1;
        c.state = State::kClosed;
        return;
    }
    c.state = State::kConnecting;
    c.stateSince = now_;
    epoll_event ev{};
    ev.events = EPOLLOUT | EPOLLIN | EPOLLRDHUP;
    ev.data.ptr = &c;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, c.fd, &ev);
    c.wantOut = true;
}

void Worker::Close(Conn& c, bool byGate) {
    if (c.fd < 0) return;
    if (byGate && c.state != State::kConnecting && !c.kicked) ++stats.closedByGate;
    if (byGate && c.state == State::kConnecting) ++stats.failed;
    epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd, nullptr);
    close(c.fd);
    c.fd = -1;
    c.state = State::kClosed;
}

void Worker::QueueFrame(Conn& c, std::uint8_t* plain, std::size_t n) {
    std::uint32_t key = GetPackKeyDictFetcher().FetchKey(c.packOrder, opt_.appVersion);
    std::uint8_t keyBytes[4];
    wire::StoreLE<std::uint32_t>(keyBytes, key);
    ++c.packOrder;
    EncodeBuffer(plain, n, keyBytes, 4);
    std::size_t at = c.out.size();
    c.out.resize(at + 6 + n);
    wire::StoreLE<std::uint16_t>(c.out.data() + at, KsPackageDispatcher::kFrameTag);
    wire::StoreLE<std::uint32_t>(c.out.data() + at + 2, static_cast<std::uint32_t>(n));
    std::memcpy(c.out.data() + at + 6, plain, n);
    stats.wireSent += 6 + n;
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
    while (c.fd >= 0 && c.outPos < c.out.size()) {
        ssize_t n = send(c.fd, c.out.data() + c.outPos, c.out.size() - c.outPos, MSG_NOSIGNAL);
        if (n > 0) {
            c.outPos += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        ++stats.sendErrors;
        Close(c, true);
        return;
    }
    if (c.fd < 0) return;
    if (c.outPos == c.out.size()) {
        c.out.clear();
        c.outPos = 0;
    }
    bool need = c.outPos < c.out.size();
    if (need != c.wantOut) {
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP | (need ? static_cast<unsigned>(EPOLLOUT) : 0u);
        ev.data.ptr = &c;
        epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &ev);
        c.wantOut = need;
    }
}

void Worker::OnWritable(Conn& c) {
    if (c.state == State::kConnecting) {
        int err = 0;
        socklen_t len = sizeof err;
        getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
            ++stats.failed;
            epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd, nullptr);
            close(c.fd);
            c.fd = -1;
            c.state = State::kClosed;
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
    stats.wireReceived += 6 + n;
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
    for (int i = 0; i < 8 && c.fd >= 0; ++i) {
        ssize_t n = recv(c.fd, in_.data(), in_.size(), 0);
        if (n > 0) {
            c.dispatcher.DispatchData(in_.data(), static_cast<std::size_t>(n));
            if (static_cast<std::size_t>(n) < in_.size()) break;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
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
        now_ = NowNs();
        // Connects, spread over the time asked for.
        while (started < conns_.size() &&
               (spread == 0 || now_ - startNs >= spread * started / conns_.size())) {
            StartConnect(*conns_[started]);
            ++started;
        }
        int n = epoll_wait(epoll_, events, 256, 1);
        now_ = NowNs();
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
                if (now_ - c.stateSince > static_cast<std::uint64_t>(opt_.connectTimeoutMs) * ms) {
                    ++stats.failed;
                    epoll_ctl(epoll_, EPOLL_CTL_DEL, c.fd, nullptr);
                    close(c.fd);
                    c.fd = -1;
                    c.state = State::kClosed;
                }
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
        if (cp->fd >= 0) {
            epoll_ctl(epoll_, EPOLL_CTL_DEL, cp->fd, nullptr);
            close(cp->fd);
            cp->fd = -1;
        }
    }
    close(epoll_);
    (void)index_;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    enum {
        kHost = 1000,
        kPort,
        kConns,
        kSources,
        kSize,
        kWindow,
        kRate,
        kDuration,
        kDrain,
        kConnTimeout,
        kLoginTimeout,
        kNoGreeting,
        kLoginWait,
        kThreads,
        kCmd,
        kSub,
        kAppVersion,
        kVersion,
        kNoVersion,
        kSpread,
        kJsonOnly,
        kHelp
    };
    static const option longs[] = {
        {"host", required_argument, nullptr, kHost},
        {"port", required_argument, nullptr, kPort},
        {"connections", required_argument, nullptr, kConns},
        {"sources", required_argument, nullptr, kSources},
        {"size", required_argument, nullptr, kSize},
        {"window", required_argument, nullptr, kWindow},
        {"rate", required_argument, nullptr, kRate},
        {"duration", required_argument, nullptr, kDuration},
        {"drain-ms", required_argument, nullptr, kDrain},
        {"connect-timeout-ms", required_argument, nullptr, kConnTimeout},
        {"login-timeout-ms", required_argument, nullptr, kLoginTimeout},
        {"no-greeting", no_argument, nullptr, kNoGreeting},
        {"login-wait-ms", required_argument, nullptr, kLoginWait},
        {"threads", required_argument, nullptr, kThreads},
        {"cmd", required_argument, nullptr, kCmd},
        {"sub", required_argument, nullptr, kSub},
        {"app-version", required_argument, nullptr, kAppVersion},
        {"version", required_argument, nullptr, kVersion},
        {"no-version", no_argument, nullptr, kNoVersion},
        {"connect-spread-ms", required_argument, nullptr, kSpread},
        {"json-only", no_argument, nullptr, kJsonOnly},
        {"help", no_argument, nullptr, kHelp},
        {nullptr, 0, nullptr, 0},
    };
    int ch;
    while ((ch = getopt_long(argc, argv, "", longs, nullptr)) != -1) {
        switch (ch) {
            case kHost:
                o.host = optarg;
                break;
            case kPort:
                o.port = std::atoi(optarg);
                break;
            case kConns:
                o.connections = std::atoi(optarg);
                break;
            case kSources:
                o.sources = std::atoi(optarg);
                break;
            case kSize:
                o.size = std::atoi(optarg);
                break;
            case kWindow:
                o.window = std::atoi(optarg);
                break;
            case kRate:
                o.rate = std::atof(optarg);
                break;
            case kDuration:
                o.duration = std::atof(optarg);
                break;
            case kDrain:
                o.drainMs = std::atoi(optarg);
                break;
            case kConnTimeout:
                o.connectTimeoutMs = std::atoi(optarg);
                break;
            case kLoginTimeout:
                o.loginTimeoutMs = std::atoi(optarg);
                break;
            case kNoGreeting:
                o.greeting = false;
                break;
            case kLoginWait:
                o.loginWaitMs = std::atoi(optarg);
                break;
            case kThreads:
                o.threads = std::atoi(optarg);
                break;
            case kCmd:
                o.cmd = std::atoi(optarg);
                break;
            case kSub:
                o.sub = std::atoi(optarg);
                break;
            case kAppVersion:
                o.appVersion = static_cast<std::uint32_t>(std::strtoul(optarg, nullptr, 0));
                break;
            case kVersion:
                o.version = static_cast<std::uint32_t>(std::strtoul(optarg, nullptr, 0));
                break;
            case kNoVersion:
                o.sendVersion = false;
                break;
            case kSpread:
                o.connectSpreadMs = std::atoi(optarg);
                break;
            case kJsonOnly:
                o.jsonOnly = true;
                break;
            case kHelp:
                Usage(stdout);
                return 0;
            default:
                Usage(stderr);
                return 1;
        }
    }
    in_addr probe{};
    if (optind < argc || o.connections < 1 || o.size < static_cast<int>(kHeader) ||
        o.size > 65000 || o.window < 0 || o.threads < 1 || o.duration < 0 || o.sources < 0 ||
        o.sources > 254 * 256 || o.port <= 0 || o.port > 65535 ||
        inet_pton(AF_INET, o.host.c_str(), &probe) != 1 ||
        (o.cmd == 1 && (o.sub == 4 || o.sub == 36))) {
        Usage(stderr);
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    o.threads = std::min(o.threads, o.connections);

    std::vector<std::unique_ptr<Worker>> workers;
    std::vector<std::thread> threads;
    std::uint64_t start = NowNs();
    for (int t = 0; t < o.threads; ++t) {
        std::vector<int> ids;
        for (int i = t; i < o.connections; i += o.threads) ids.push_back(i);
        workers.push_back(std::make_unique<Worker>(o, t));
        threads.emplace_back([w = workers.back().get(), ids, start] { w->Run(ids, start); });
    }
    for (auto& t : threads) t.join();
    double elapsed = static_cast<double>(NowNs() - start) / 1e9;
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
