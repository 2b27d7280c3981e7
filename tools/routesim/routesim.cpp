// routesim: a route server stand-in. It accepts the gate's link, logs every connecting client in
// (log-in reply with a fresh session id), echoes every client data packet back to its client,
// forgets clients on their disconnect notice and prints the gate's records, one line each.
// Options delay log-ins, kick clients and drop the link; a control input (stdin, UDP) drives
// the same actions by hand. One thread on epoll; replies are gathered and written in batches.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "packet/pack_head.h"
#include "packet/package_dispatcher.h"
#include "packet/wire.h"
#include "server/route_records.h"
#include "tools/common/tool_io.h"
#include "tools/common/tool_options.h"

namespace {

// The greeting sent to a client right after its log-in reply: {1, 36, u32 session id, i32
// player index, u32 pool index}. gateclient waits for it before sending data.
constexpr std::uint8_t kGreetCmd = 1;
constexpr std::uint8_t kGreetSub = 36;

struct Options {
    std::string bind = "127.0.0.1";
    int port = 19000;
    int loginDelayMs = 0;
    int playerBase = 0;
    bool greeting = true;
    bool echo = true;
    std::uint64_t kickAfter = 0;
    int kickReason = 120;
    int kickType = route::kPackDisconnect;
    double dropAfterSec = 0;
    std::uint64_t dropAfterPackets = 0;
    int dropTimes = 1;
    int controlPort = 0;
    bool quiet = false;
    double statsInterval = 0;
    long lineId = -1;
    double exitAfterSec = 0;
};

void Usage(FILE* out) {
    std::fprintf(
        out,
        "usage: routesim [options]\n"
        "A route server stand-in for the gate: log-in replies, echo, kicks, link drops.\n"
        "  --port N               listening port (19000)\n"
        "  --bind ADDR            listening address (127.0.0.1)\n"
        "  --login-delay-ms N     answer connect notices N ms late (0)\n"
        "  --player-base N        first player index handed out (0)\n"
        "  --no-greeting          no {1,36,...} greeting packet after a log-in reply\n"
        "  --no-echo              take client data without echoing it\n"
        "  --kick-after N         kick every client after echoing its N-th data packet (0: never)\n"
        "  --kick-reason R        reason byte of kicks: the client gets {1,4,R} (120)\n"
        "  --kick-type T          PackType of kicks: 3 or 11 (3)\n"
        "  --drop-after-sec S     close the link S seconds after it came up (0: never)\n"
        "  --drop-after-packets N close the link after N client data packets (0: never)\n"
        "  --drop-times K         drop at most K links (1; 0 = every link)\n"
        "  --line-id N            send gate record 1 (line id N) when a link comes up\n"
        "  --control-port P       read control commands from UDP 127.0.0.1:P as well as stdin\n"
        "  --stats-interval S     print a stats line every S seconds (0: at exit only)\n"
        "  --exit-after-sec S     end after S seconds (0: run until SIGINT/SIGTERM or 'quit')\n"
        "  --quiet                no per-client lines (connect, login, disconnect, kick)\n"
        "  --help\n"
        "Control commands (one per line): kick POOL [REASON] | kickall [REASON] | drop |\n"
        "  stale POOL | type7 POOL | lineid N | record0 N | sessions | stats | quit\n"
        "Output lines (stdout, key=value): listening, link up, link down, record 0|37|39|63,\n"
        "  connect, login, disconnect, kick, stats.\n");
}

// Record texts may hold line breaks (the address list); they print as commas.
std::string OneLine(std::string text) {
    std::string out;
    for (char c : text) {
        if (c == '\r') continue;
        out += (c == '\n' || c == ' ') ? ',' : c;
    }
    while (!out.empty() && out.back() == ',') out.pop_back();
    return out.empty() ? "-" : out;
}

struct Session {
    bool used = false;
    bool loggedIn = false;
    std::uint32_t sessionId = 0;
    std::uint32_t poolIndex = 0;
    std::uint64_t packets = 0;
};

struct PendingLogin {
    double due;
    int slot;
    std::uint32_t sessionId;
};

class RouteSim {
  public:
    explicit RouteSim(const Options& o) : opt_(o) {
        dispatcher_.SetPackCallback(&RouteSim::OnPacket, this);
    }

    int Run();

  private:
    static void OnPacket(void* self, const std::uint8_t* p, std::size_t n) {
        static_cast<RouteSim*>(self)->HandlePacket(std::span<const std::uint8_t>(p, n));
    }

    bool Listen();
    void AcceptLink();
    void ReadLink();
    bool FlushOut();
    void DropLink(const char* reason);
    void UpdateInterest();
    void HandlePacket(std::span<const std::uint8_t> payload);
    void HandleRecord(std::span<const std::uint8_t> body, const tagPackHead& head);
    void HandleConnect(std::span<const std::uint8_t> body);
    void SendLogin(int slot);
    void Kick(int slot, int reason);
    void Append(std::uint32_t sessionId, std::uint16_t poolIndex, std::uint8_t packType,
                std::span<const std::uint8_t> body);
    void Command(const std::string& line);
    void ReadControl(int fd, bool datagram);
    void PrintStats();
    int SlotOfPool(std::uint32_t pool) const;
    int ClientTimeoutMs(double now) const;

    Options opt_;
    int epoll_ = -1;
    int listen_ = -1;
    int link_ = -1;
    int udp_ = -1;
    bool stdinOpen_ = true;
    bool quit_ = false;
    bool readPaused_ = false;
    bool wantOut_ = false;
    double linkUpAt_ = 0;
    int linksDropped_ = 0;
    std::uint64_t linkPackets_ = 0;
    KsPackageDispatcher dispatcher_;
    std::vector<std::uint8_t> in_ = std::vector<std::uint8_t>(256 * 1024);
    tools::FrameBuffer out_;
    std::vector<Session> sessions_;
    std::vector<int> freeSlots_;
    std::deque<PendingLogin> pending_;
    std::uint32_t nextSessionId_ = 0x10000;
    std::string stdinLine_;
    // Figures.
    std::uint64_t links_ = 0, dataIn_ = 0, dataOut_ = 0, bytesIn_ = 0, bytesOut_ = 0;
    std::uint64_t connects_ = 0, logins_ = 0, disconnects_ = 0, kicks_ = 0, unknown_ = 0;
    std::uint64_t records_ = 0;
};

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) {
    g_stop = 1;
}

bool RouteSim::Listen() {
    listen_ = tools::NewTcpSocket();
    tools::SetReuseAddress(listen_);
    sockaddr_in a{};
    if (!tools::Ipv4Address(opt_.bind, opt_.port, a)) {
        std::fprintf(stderr, "routesim: bad --bind address %s\n", opt_.bind.c_str());
        return false;
    }
    if (bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listen_, 16) != 0) {
        std::fprintf(stderr, "routesim: cannot listen on %s:%d: %s\n", opt_.bind.c_str(), opt_.port,
                     std::strerror(errno));
        return false;
    }
    tools::WatchFd(epoll_, EPOLL_CTL_ADD, listen_, EPOLLIN);
    std::printf("listening addr=%s port=%d\n", opt_.bind.c_str(), opt_.port);
    return true;
}

void RouteSim::AcceptLink() {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int fd =
        accept4(listen_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    // One gate at a time: a new link replaces the old one.
    if (link_ >= 0) DropLink("replaced");
    tools::SetNoDelay(fd);
    link_ = fd;
    dispatcher_.ResetDispatch();
    tools::WatchFd(epoll_, EPOLL_CTL_ADD, fd, EPOLLIN | EPOLLRDHUP);
    readPaused_ = false;
    wantOut_ = false;
    linkUpAt_ = tools::MonotonicSec();
    linkPackets_ = 0;
    ++links_;
    char addr[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &peer.sin_addr, addr, sizeof addr);
    std::printf("link up peer=%s:%d link=%llu\n", addr, ntohs(peer.sin_port),
                static_cast<unsigned long long>(links_));
    if (opt_.lineId >= 0) {
        auto rec = route::BuildRouteGateRecord(route::kRecordLineId,
                                               static_cast<std::uint32_t>(opt_.lineId));
        Append(0, kNoPoolIndex, route::kPackGateRecord, rec);
        FlushOut();
    }
}

void RouteSim::DropLink(const char* reason) {
    if (link_ < 0) return;
    tools::CloseWatched(epoll_, link_);
    out_.Clear();
    dispatcher_.ResetDispatch();
    // The gate resets every session when it links again.
    sessions_.clear();
    freeSlots_.clear();
    pending_.clear();
    std::printf("link down reason=%s packets=%llu\n", reason,
                static_cast<unsigned long long>(linkPackets_));
}

void RouteSim::UpdateInterest() {
    if (link_ < 0) return;
    bool backlog = out_.PendingBytes() > 16u * 1024 * 1024;
    bool small = out_.PendingBytes() < 4u * 1024 * 1024;
    if (backlog) readPaused_ = true;
    if (small) readPaused_ = false;
    bool needOut = out_.Pending();
    tools::WatchFd(epoll_, EPOLL_CTL_MOD, link_,
                   EPOLLRDHUP | (readPaused_ ? 0u : static_cast<unsigned>(EPOLLIN)) |
                       (needOut ? static_cast<unsigned>(EPOLLOUT) : 0u));
    wantOut_ = needOut;
}

bool RouteSim::FlushOut() {
    if (link_ < 0) return true;
    if (!out_.SendTo(link_)) {
        DropLink("error");
        return false;
    }
    UpdateInterest();
    return true;
}

void RouteSim::ReadLink() {
    if (link_ < 0) return;
    tools::ReadEnd end =
        tools::ReadChunks(link_, in_, 32, [&](const std::uint8_t* p, std::size_t n) {
            bytesIn_ += n;
            dispatcher_.DispatchData(p, n);
            // A packet may have dropped the link.
            return link_ >= 0;
        });
    if (end == tools::ReadEnd::kClosed || end == tools::ReadEnd::kFailed) {
        DropLink(end == tools::ReadEnd::kClosed ? "closed" : "error");
        return;
    }
    FlushOut();
}

void RouteSim::Append(std::uint32_t sessionId, std::uint16_t poolIndex, std::uint8_t packType,
                      std::span<const std::uint8_t> body) {
    if (link_ < 0) return;
    std::uint32_t length = static_cast<std::uint32_t>(tagPackHead::kSize + body.size());
    std::uint8_t* p = out_.AppendFrame(length);
    tagPackHead head;
    head.SessionID = sessionId;
    head.PoolIndex = poolIndex;
    head.PackType = packType;
    head.DestServerType = stVevIdor;
    head.SrcServerType = stGameServer;
    head.Write(std::span<std::uint8_t, tagPackHead::kSize>(p, tagPackHead::kSize));
    if (!body.empty()) std::memcpy(p + tagPackHead::kSize, body.data(), body.size());
    bytesOut_ += tools::FrameBuffer::kHeaderSize + length;
}

int RouteSim::SlotOfPool(std::uint32_t pool) const {
    for (std::size_t i = 0; i < sessions_.size(); ++i) {
        if (sessions_[i].used && sessions_[i].poolIndex == pool) return static_cast<int>(i);
    }
    return -1;
}

void RouteSim::HandlePacket(std::span<const std::uint8_t> payload) {
    if (payload.size() < tagPackHead::kSize) {
        std::printf("bad packet length=%zu\n", payload.size());
        return;
    }
    // A link dropped by an earlier packet of the same chunk takes nothing more.
    if (link_ < 0) return;
    tagPackHead head;
    head.ReadData(payload, 0);
    auto body = payload.subspan(tagPackHead::kSize);
    switch (head.PackType) {
        case route::kPackClientData: {
            ++dataIn_;
            ++linkPackets_;
            int slot = static_cast<int>(head.PoolIndex) - opt_.playerBase;
            if (slot < 0 || slot >= static_cast<int>(sessions_.size()) || !sessions_[slot].used ||
                sessions_[slot].sessionId != head.SessionID) {
                ++unknown_;
                if (!opt_.quiet) {
                    std::printf("unknown session=0x%x player=%d\n", head.SessionID,
                                static_cast<int>(head.PoolIndex));
                }
                break;
            }
            Session& s = sessions_[slot];
            ++s.packets;
            if (opt_.echo) {
                Append(s.sessionId, static_cast<std::uint16_t>(s.poolIndex), route::kPackClientData,
                       body);
                ++dataOut_;
            }
            if (opt_.kickAfter != 0 && s.packets == opt_.kickAfter) Kick(slot, opt_.kickReason);
            if (opt_.dropAfterPackets != 0 && linkPackets_ >= opt_.dropAfterPackets &&
                (opt_.dropTimes == 0 || linksDropped_ < opt_.dropTimes)) {
                FlushOut();
                ++linksDropped_;
                DropLink("dropped");
            }
            break;
        }
        case route::kPackGateRecord:
            HandleRecord(body, head);
            break;
        case route::kPackDisconnect: {
            ++disconnects_;
            int slot = static_cast<int>(head.PoolIndex) - opt_.playerBase;
            bool known = slot >= 0 && slot < static_cast<int>(sessions_.size()) &&
                         sessions_[slot].used && sessions_[slot].sessionId == head.SessionID;
            if (!opt_.quiet) {
                std::printf("disconnect session=0x%x player=%d pool=%d known=%d\n", head.SessionID,
                            static_cast<int>(head.PoolIndex),
                            known ? static_cast<int>(sessions_[slot].poolIndex) : -1,
                            known ? 1 : 0);
            }
            if (known) {
                sessions_[slot] = Session{};
                freeSlots_.push_back(slot);
            }
            break;
        }
        case route::kPackConnect:
            HandleConnect(body);
            break;
        default:
            std::printf("packet type=%d session=0x%x length=%zu ignored\n", head.PackType,
                        head.SessionID, body.size());
            break;
    }
}

void RouteSim::HandleRecord(std::span<const std::uint8_t> body, const tagPackHead& head) {
    ++records_;
    if (body.empty()) {
        std::printf("record empty\n");
        return;
    }
    switch (body[0]) {
        case route::kRecordStart:
            std::printf("record 0 length=%zu session=0x%x\n", body.size(), head.SessionID);
            break;
        case route::kRecordGateInfo: {
            route::tagRefreshZadoVeziviIP r;
            std::size_t n = r.ReadData(body, body.size());
            std::printf(
                "record 37 ok=%d length=%zu time=%.6f addr=%s port=%u online=%u max=%u "
                "mobile=%u\n",
                n != 0 ? 1 : 0, body.size(), r.DateTime, OneLine(r.Address).c_str(), r.Port,
                r.Online, r.Maximum, r.Mobile);
            break;
        }
        case route::kRecordAddressRefresh: {
            route::tagRefreshServerState r;
            std::size_t n = r.ReadData(body, body.size());
            std::printf("record 39 ok=%d length=%zu server=%u state=%u time=%.6f text=%s\n",
                        n == route::tagRefreshServerState::kSize && body.size() == n ? 1 : 0,
                        body.size(), r.ServerId, r.RunState, r.DateTime,
                        OneLine(r.TextString()).c_str());
            break;
        }
        case route::kRecordNetStatistics: {
            route::tagIOCPRec r;
            std::size_t n = r.ReadData(body, body.size());
            std::string counters;
            for (std::size_t i = 0; i < r.Counters.size(); ++i) {
                if (i) counters += ',';
                counters += std::to_string(r.Counters[i]);
            }
            std::printf("record 63 ok=%d length=%zu server=%u state=%u time=%.6f counters=%s\n",
                        n == route::tagIOCPRec::kSize && body.size() == n ? 1 : 0, body.size(),
                        r.ServerId, r.RunState, r.DateTime, counters.c_str());
            break;
        }
        default:
            std::printf("record %u length=%zu unknown\n", body[0], body.size());
            break;
    }
}

void RouteSim::HandleConnect(std::span<const std::uint8_t> body) {
    ++connects_;
    route::ConnectNotice notice;
    if (!route::ReadConnectNotice(body, notice)) {
        std::printf("connect bad length=%zu\n", body.size());
        return;
    }
    int slot;
    if (!freeSlots_.empty()) {
        slot = freeSlots_.back();
        freeSlots_.pop_back();
    } else {
        slot = static_cast<int>(sessions_.size());
        if (opt_.playerBase + slot >= 0xFFFF) {
            std::printf("connect pool=%u refused=no-player-index\n", notice.PoolIndex);
            return;
        }
        sessions_.emplace_back();
    }
    Session& s = sessions_[slot];
    s = Session{};
    s.used = true;
    s.poolIndex = notice.PoolIndex;
    s.sessionId = nextSessionId_++;
    if (nextSessionId_ == 0) nextSessionId_ = 0x10000;
    if (!opt_.quiet)
        std::printf("connect pool=%u addr=%s\n", notice.PoolIndex, notice.Address.c_str());
    if (opt_.loginDelayMs > 0) {
        pending_.push_back({tools::MonotonicSec() + opt_.loginDelayMs / 1000.0, slot, s.sessionId});
    } else {
        SendLogin(slot);
    }
}

void RouteSim::SendLogin(int slot) {
    Session& s = sessions_[slot];
    route::tagGameServerPlayerLogin login;
    login.indexInGameServer = opt_.playerBase + slot;
    Append(s.sessionId, static_cast<std::uint16_t>(s.poolIndex), route::kPackConnect,
           login.Write());
    s.loggedIn = true;
    ++logins_;
    if (opt_.greeting) {
        std::uint8_t greet[14] = {kGreetCmd, kGreetSub};
        wire::StoreLE<std::uint32_t>(greet + 2, s.sessionId);
        wire::StoreLE<std::int32_t>(greet + 6, login.indexInGameServer);
        wire::StoreLE<std::uint32_t>(greet + 10, s.poolIndex);
        Append(s.sessionId, static_cast<std::uint16_t>(s.poolIndex), route::kPackClientData, greet);
    }
    if (!opt_.quiet) {
        std::printf("login pool=%u session=0x%x player=%d\n", s.poolIndex, s.sessionId,
                    login.indexInGameServer);
    }
}

void RouteSim::Kick(int slot, int reason) {
    Session& s = sessions_[slot];
    std::uint8_t body[3] = {1, 4, static_cast<std::uint8_t>(reason)};
    Append(s.sessionId, static_cast<std::uint16_t>(s.poolIndex),
           static_cast<std::uint8_t>(opt_.kickType), body);
    ++kicks_;
    if (!opt_.quiet) {
        std::printf("kick pool=%u session=0x%x reason=%d\n", s.poolIndex, s.sessionId, reason);
    }
    // A kicked client's session ends at the gate without a disconnect notice.
    s = Session{};
    freeSlots_.push_back(slot);
}

void RouteSim::PrintStats() {
    std::size_t live = 0;
    for (const Session& s : sessions_) live += s.used ? 1 : 0;
    std::printf(
        "stats links=%llu link=%d sessions=%zu connects=%llu logins=%llu disconnects=%llu "
        "kicks=%llu data_in=%llu data_out=%llu unknown=%llu records=%llu bytes_in=%llu "
        "bytes_out=%llu\n",
        static_cast<unsigned long long>(links_), link_ >= 0 ? 1 : 0, live,
        static_cast<unsigned long long>(connects_), static_cast<unsigned long long>(logins_),
        static_cast<unsigned long long>(disconnects_), static_cast<unsigned long long>(kicks_),
        static_cast<unsigned long long>(dataIn_), static_cast<unsigned long long>(dataOut_),
        static_cast<unsigned long long>(unknown_), static_cast<unsigned long long>(records_),
        static_cast<unsigned long long>(bytesIn_), static_cast<unsigned long long>(bytesOut_));
}

void RouteSim::Command(const std::string& line) {
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    if (cmd.empty()) return;
    long a = -1, b = -1;
    in >> a >> b;
    auto sessionOf = [&](long pool) {
        return pool < 0 ? -1 : SlotOfPool(static_cast<std::uint32_t>(pool));
    };
    if (cmd == "kick") {
        int slot = sessionOf(a);
        if (slot < 0) {
            std::printf("error kick pool=%ld unknown\n", a);
        } else {
            Kick(slot, b >= 0 ? static_cast<int>(b) : opt_.kickReason);
        }
    } else if (cmd == "kickall") {
        for (std::size_t i = 0; i < sessions_.size(); ++i) {
            if (sessions_[i].used)
                Kick(static_cast<int>(i), a >= 0 ? static_cast<int>(a) : opt_.kickReason);
        }
    } else if (cmd == "drop") {
        DropLink("dropped");
    } else if (cmd == "stale" || cmd == "type7") {
        int slot = sessionOf(a);
        if (slot < 0) {
            std::printf("error %s pool=%ld unknown\n", cmd.c_str(), a);
        } else {
            const Session& s = sessions_[slot];
            std::uint8_t body[6] = {2, 1, 0xEE, 0xEE, 0xEE, 0xEE};
            if (cmd == "stale") {
                Append(s.sessionId ^ 0x5A5A0000u, static_cast<std::uint16_t>(s.poolIndex),
                       route::kPackClientData, body);
            } else {
                Append(s.sessionId, static_cast<std::uint16_t>(s.poolIndex), route::kPackIgnored,
                       body);
            }
            std::printf("sent %s pool=%ld\n", cmd.c_str(), a);
        }
    } else if (cmd == "lineid" || cmd == "record0") {
        auto rec = route::BuildRouteGateRecord(
            cmd == "lineid" ? route::kRecordLineId : route::kRecordStart,
            static_cast<std::uint32_t>(a < 0 ? 0 : a));
        Append(0, kNoPoolIndex, route::kPackGateRecord, rec);
        std::printf("sent %s value=%ld\n", cmd.c_str(), a);
    } else if (cmd == "sessions") {
        for (std::size_t i = 0; i < sessions_.size(); ++i) {
            const Session& s = sessions_[i];
            if (!s.used) continue;
            std::printf("session pool=%u session=0x%x player=%d packets=%llu login=%d\n",
                        s.poolIndex, s.sessionId, opt_.playerBase + static_cast<int>(i),
                        static_cast<unsigned long long>(s.packets), s.loggedIn ? 1 : 0);
        }
    } else if (cmd == "stats") {
        PrintStats();
    } else if (cmd == "quit") {
        quit_ = true;
    } else {
        std::printf("error unknown command %s\n", cmd.c_str());
    }
    FlushOut();
}

void RouteSim::ReadControl(int fd, bool datagram) {
    char buffer[4096];
    ssize_t n = datagram ? recv(fd, buffer, sizeof buffer, 0) : read(fd, buffer, sizeof buffer);
    if (n <= 0) {
        if (!datagram && n == 0) {
            epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
            stdinOpen_ = false;
        }
        return;
    }
    std::string text(buffer, static_cast<std::size_t>(n));
    if (datagram) {
        std::istringstream lines(text);
        std::string line;
        while (std::getline(lines, line)) Command(line);
        return;
    }
    stdinLine_ += text;
    std::size_t nl;
    while ((nl = stdinLine_.find('\n')) != std::string::npos) {
        std::string line = stdinLine_.substr(0, nl);
        stdinLine_.erase(0, nl + 1);
        Command(line);
    }
}

int RouteSim::ClientTimeoutMs(double now) const {
    double next = 1.0;
    if (!pending_.empty()) next = std::min(next, pending_.front().due - now);
    if (link_ >= 0 && opt_.dropAfterSec > 0)
        next = std::min(next, linkUpAt_ + opt_.dropAfterSec - now);
    if (next < 0) next = 0;
    return static_cast<int>(next * 1000) + 1;
}

int RouteSim::Run() {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    if (!Listen()) return 1;
    if (opt_.controlPort > 0) {
        udp_ = tools::NewUdpSocket();
        sockaddr_in a = tools::Ipv4Address(INADDR_LOOPBACK, opt_.controlPort);
        if (bind(udp_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            std::fprintf(stderr, "routesim: cannot bind control port %d: %s\n", opt_.controlPort,
                         std::strerror(errno));
            return 1;
        }
        tools::WatchFd(epoll_, EPOLL_CTL_ADD, udp_, EPOLLIN);
    }
    // /dev/null or a regular file cannot be polled: then there is no stdin control.
    if (tools::WatchFd(epoll_, EPOLL_CTL_ADD, 0, EPOLLIN) != 0) stdinOpen_ = false;
    double start = tools::MonotonicSec();
    double lastStats = start;
    epoll_event events[16];
    while (!quit_ && !g_stop) {
        double now = tools::MonotonicSec();
        int n = epoll_wait(epoll_, events, 16, ClientTimeoutMs(now));
        for (int i = 0; i < n; ++i) {
            int fd = events[i].data.fd;
            if (fd == listen_) {
                AcceptLink();
            } else if (fd == link_) {
                if (events[i].events & EPOLLOUT) FlushOut();
                if (link_ >= 0 && (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLRDHUP | EPOLLERR)))
                    ReadLink();
            } else if (fd == udp_) {
                ReadControl(udp_, true);
            } else if (fd == 0) {
                ReadControl(0, false);
            }
        }
        now = tools::MonotonicSec();
        bool wrote = false;
        while (!pending_.empty() && pending_.front().due <= now) {
            PendingLogin p = pending_.front();
            pending_.pop_front();
            if (p.slot < static_cast<int>(sessions_.size()) && sessions_[p.slot].used &&
                sessions_[p.slot].sessionId == p.sessionId) {
                SendLogin(p.slot);
                wrote = true;
            }
        }
        if (wrote) FlushOut();
        if (link_ >= 0 && opt_.dropAfterSec > 0 && now - linkUpAt_ >= opt_.dropAfterSec &&
            (opt_.dropTimes == 0 || linksDropped_ < opt_.dropTimes)) {
            ++linksDropped_;
            DropLink("dropped");
        }
        if (opt_.statsInterval > 0 && now - lastStats >= opt_.statsInterval) {
            lastStats = now;
            PrintStats();
        }
        if (opt_.exitAfterSec > 0 && now - start >= opt_.exitAfterSec) break;
    }
    DropLink("exit");
    PrintStats();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    Options o;
    std::optional<int> exit = tools::OptionTable(Usage)
                                  .Int("port", &o.port)
                                  .Text("bind", &o.bind)
                                  .Int("login-delay-ms", &o.loginDelayMs)
                                  .Int("player-base", &o.playerBase)
                                  .Flag("no-greeting", &o.greeting, false)
                                  .Flag("no-echo", &o.echo, false)
                                  .Count("kick-after", &o.kickAfter)
                                  .Int("kick-reason", &o.kickReason)
                                  .Int("kick-type", &o.kickType)
                                  .Double("drop-after-sec", &o.dropAfterSec)
                                  .Count("drop-after-packets", &o.dropAfterPackets)
                                  .Int("drop-times", &o.dropTimes)
                                  .Long("line-id", &o.lineId)
                                  .Int("control-port", &o.controlPort)
                                  .Double("stats-interval", &o.statsInterval)
                                  .Double("exit-after-sec", &o.exitAfterSec)
                                  .Flag("quiet", &o.quiet, true)
                                  .Parse(argc, argv);
    if (exit) return *exit;
    if (o.port <= 0 || o.port > 65535 ||
        (o.kickType != route::kPackDisconnect && o.kickType != route::kPackKickOut) ||
        o.playerBase < 0 || o.playerBase >= 0xFFFF) {
        Usage(stderr);
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    RouteSim sim(o);
    return sim.Run();
}
