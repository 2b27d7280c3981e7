// End-to-end rig: processes, ports, files and the raw client.
#include "tests/e2e/gate_rig.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "packet/byte_cipher.h"
#include "packet/pack_key_dict.h"
#include "packet/wire.h"

namespace e2e {

namespace fs = std::filesystem;
using testing_support::BinDir;
using testing_support::ReadFile;
using testing_support::WaitUntil;

int FreePort(bool udp) {
    int fd = socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
        port = ntohs(a.sin_port);
    }
    ::close(fd);
    return port;
}

std::string LocalAddressesText() {
    std::vector<std::string> list;
    ifaddrs* all = nullptr;
    if (getifaddrs(&all) != 0) return "";
    for (ifaddrs* e = all; e != nullptr; e = e->ifa_next) {
        if (e->ifa_addr == nullptr || e->ifa_addr->sa_family != AF_INET) continue;
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(e->ifa_addr)->sin_addr, text,
                  sizeof text);
        if (std::find(list.begin(), list.end(), text) == list.end()) list.emplace_back(text);
    }
    freeifaddrs(all);
    std::string joined;
    for (const auto& a : list) joined += (joined.empty() ? "" : ",") + a;
    return joined;
}

std::string Field(const std::string& line, const std::string& key) {
    std::istringstream words(line);
    std::string word;
    while (words >> word) {
        if (word.rfind(key + "=", 0) == 0) return word.substr(key.size() + 1);
    }
    return "";
}

LauncherSocket::LauncherSocket(const std::string& path) : path_(path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path) return;
    std::memcpy(a.sun_path, path.c_str(), path.size() + 1);
    ::unlink(path.c_str());
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

LauncherSocket::~LauncherSocket() {
    if (fd_ >= 0) {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
}

std::optional<std::uint32_t> LauncherSocket::next(int timeoutMs) {
    if (fd_ < 0) return std::nullopt;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1) return std::nullopt;
    std::uint8_t bytes[64];
    ssize_t n = recv(fd_, bytes, sizeof bytes, 0);
    if (n != 4) return std::nullopt;
    return wire::LoadLE<std::uint32_t>(bytes);
}

GateRig::GateRig()
    : gatePort(FreePort()),
      routePort(FreePort()),
      controlPort(FreePort(true)),
      runDir(work / "run") {
    fs::create_directories(work / "Config");
    fs::create_directories(runDir);
    fs::permissions(runDir, fs::perms::owner_all, fs::perm_options::replace);
}

GateRig::~GateRig() {
    if (gate.running()) {
        gate.signal(SIGTERM);
        gate.wait(5000);
    }
    if (route.running()) {
        route.signal(SIGTERM);
        route.wait(5000);
    }
}

void GateRig::writeConfig(const std::map<std::string, std::string>& extra) {
    std::map<std::string, std::string> keys = {
        {"edt_Port", std::to_string(gatePort)},
        {"edt_SrvPort", std::to_string(routePort)},
    };
    for (const auto& [k, v] : extra) keys[k] = v;
    std::ofstream config(work / "Config/Config.ini");
    config << "[KestServer]\n";
    for (const auto& [k, v] : keys) config << k << "=" << v << "\n";
    std::ofstream local(work / "KestZadoVezivi.ini");
    local << "[KestServer]\nedt_SrvIp=127.0.0.1\nedtMutexSign=\n";
}

bool GateRig::startRoute(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"--port", std::to_string(routePort), "--control-port",
                                     std::to_string(controlPort)};
    args.insert(args.end(), extra.begin(), extra.end());
    if (!route.start(BinDir() + "routesim", args, work.path(), {}, "route")) return false;
    return WaitUntil([&] { return countRoute("listening") > 0 || !route.running(); }, 5000) &&
           route.running();
}

bool GateRig::startGate(const std::string& cls, const std::string& name) {
    return gate.start(BinDir() + "vevidor", {"--log-dir", work / "logs", "autostart", cls, name},
                      work.path(), {"VEVIDOR_RUNTIME_DIR=" + runDir}, "gate");
}

bool GateRig::waitReady(int count, int timeoutMs) {
    return WaitUntil([&] { return countRoute("record 0 ") >= count; }, timeoutMs);
}

bool GateRig::start(const std::map<std::string, std::string>& config,
                    const std::vector<std::string>& routeArgs) {
    writeConfig(config);
    return startRoute(routeArgs) && startGate() && waitReady();
}

std::vector<std::string> GateRig::routeLines() const {
    std::vector<std::string> lines;
    std::istringstream in(route.stdoutText());
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

int GateRig::countRoute(const std::string& text) const {
    int n = 0;
    for (const auto& line : routeLines()) n += line.find(text) != std::string::npos ? 1 : 0;
    return n;
}

bool GateRig::waitRoute(const std::string& text, int count, int timeoutMs) const {
    return WaitUntil([&] { return countRoute(text) >= count; }, timeoutMs);
}

std::string GateRig::routeLine(const std::string& text) const {
    for (const auto& line : routeLines()) {
        if (line.find(text) != std::string::npos) return line;
    }
    return "";
}

void GateRig::routeCommand(const std::string& command) const {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(controlPort));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string line = command + "\n";
    sendto(fd, line.data(), line.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::close(fd);
}

nlohmann::json GateRig::runClient(const std::vector<std::string>& args, int* exitCode,
                                  int timeoutMs) {
    std::vector<std::string> all = {"--port", std::to_string(gatePort), "--json-only"};
    all.insert(all.end(), args.begin(), args.end());
    testing_support::ChildProcess client;
    std::string tag = "client" + std::to_string(++clientRuns_);
    if (!client.start(BinDir() + "gateclient", all, work.path(), {}, tag)) return nullptr;
    std::optional<int> code = client.wait(timeoutMs);
    if (exitCode != nullptr) *exitCode = code.value_or(-1);
    std::istringstream in(client.stdoutText());
    std::string line, last;
    while (std::getline(in, line)) {
        if (!line.empty() && line.front() == '{') last = line;
    }
    if (last.empty()) return nullptr;
    return nlohmann::json::parse(last, nullptr, false);
}

std::string GateRig::gateLog() const {
    std::string all;
    std::error_code ec;
    for (auto& entry : fs::directory_iterator(work / "logs", ec)) all += ReadFile(entry.path());
    return all;
}

bool GateRig::waitLog(const std::string& text, int timeoutMs) const {
    return WaitUntil([&] { return gateLog().find(text) != std::string::npos; }, timeoutMs);
}

std::string GateRig::controlSocketPath() const {
    return runDir + "/pid-" + std::to_string(gate.pid()) + ".ctl";
}

std::string GateRig::launcherSocketPath(const std::string& cls, const std::string& name) const {
    return runDir + "/launcher-" + cls + "-" + name + ".sock";
}

bool GateRig::control(std::uint32_t command, const std::string& text) {
    std::string path = controlSocketPath();
    if (!WaitUntil([&] { return fs::exists(path); }, 5000)) return false;
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, path.c_str(), std::min(path.size() + 1, sizeof a.sun_path - 1));
    std::string bytes(4, '\0');
    wire::StoreLE<std::uint32_t>(reinterpret_cast<std::uint8_t*>(bytes.data()), command);
    bytes += text;
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ssize_t n =
        sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::close(fd);
    return n == static_cast<ssize_t>(bytes.size());
}

std::optional<int> GateRig::stopGate(int timeoutMs) {
    gate.signal(SIGTERM);
    return gate.wait(timeoutMs);
}

std::string GateRig::describe() const {
    auto tail = [](const std::string& text) {
        return text.size() > 3000 ? "..." + text.substr(text.size() - 3000) : text;
    };
    return "--- routesim:\n" + tail(route.stdoutText()) + tail(route.stderrText()) +
           "\n--- gate stderr:\n" + tail(gate.stderrText()) + "\n--- gate log:\n" + tail(gateLog());
}

RawClient::RawClient() {
    dispatcher_.SetPackCallback(&RawClient::OnFrame, this);
}

RawClient::~RawClient() {
    close();
}

void RawClient::OnFrame(void* self, const std::uint8_t* p, std::size_t n) {
    Bytes plain(p, p + n);
    DecodeBuffer(plain.data(), plain.size(), kOutboundKey.data(), kOutboundKey.size());
    static_cast<RawClient*>(self)->queue_.push_back(std::move(plain));
}

bool RawClient::connect(int port, const std::string& source) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (!source.empty()) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, source.c_str(), &local.sin_addr);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return false;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval limit{3, 0};
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    return ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

void RawClient::sendVersion(std::uint32_t version) {
    Bytes v(6);
    v[0] = 1;
    v[1] = 35;
    wire::StoreLE<std::uint32_t>(v.data() + 2, version);
    send(std::move(v));
}

void RawClient::send(Bytes plain) {
    std::uint8_t key[4];
    wire::StoreLE<std::uint32_t>(key, GetPackKeyDictFetcher().FetchKey(packOrder_++, 153518004));
    EncodeBuffer(plain.data(), plain.size(), key, 4);
    Bytes frame(6);
    wire::StoreLE<std::uint16_t>(frame.data(), KsPackageDispatcher::kFrameTag);
    wire::StoreLE<std::uint32_t>(frame.data() + 2, static_cast<std::uint32_t>(plain.size()));
    frame.insert(frame.end(), plain.begin(), plain.end());
    sendRaw(frame);
}

void RawClient::sendRaw(const Bytes& bytes) {
    std::size_t at = 0;
    while (fd_ >= 0 && at < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n <= 0) return;
        at += static_cast<std::size_t>(n);
    }
}

void RawClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

RawClient::Event RawClient::next(int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (!queue_.empty()) {
            Event e{Event::kPacket, std::move(queue_.front())};
            queue_.erase(queue_.begin());
            return e;
        }
        if (closed_ || fd_ < 0) return {Event::kClosed, {}};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        end - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) return {Event::kTimeout, {}};
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) != 1) continue;
        std::uint8_t buffer[65536];
        ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) {
            closed_ = true;
            continue;
        }
        dispatcher_.DispatchData(buffer, static_cast<std::size_t>(n));
    }
}

bool RawClient::waitLogin(int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<Bytes> others;
    bool found = false;
    while (!found) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        end - std::chrono::steady_clock::now())
                        .count();
        Event e = next(static_cast<int>(std::max<long long>(left, 0)));
        if (e.kind != Event::kPacket) break;
        if (e.bytes.size() == 14 && e.bytes[0] == 1 && e.bytes[1] == 36) {
            sessionId = wire::LoadLE<std::uint32_t>(e.bytes.data() + 2);
            player = wire::LoadLE<std::int32_t>(e.bytes.data() + 6);
            pool = wire::LoadLE<std::uint32_t>(e.bytes.data() + 10);
            found = true;
        } else {
            others.push_back(std::move(e.bytes));
        }
    }
    queue_.insert(queue_.begin(), others.begin(), others.end());
    return found;
}

Bytes Packet(std::uint8_t cmd, std::uint8_t sub, std::size_t size, std::uint8_t fill) {
    Bytes p(size, fill);
    if (size > 0) p[0] = cmd;
    if (size > 1) p[1] = sub;
    for (std::size_t i = 2; i < size; ++i) p[i] = static_cast<std::uint8_t>(fill + i);
    return p;
}

}  // namespace e2e
