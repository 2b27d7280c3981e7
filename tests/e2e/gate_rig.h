// End-to-end rig: routesim, the gate started with autostart and gateclient, each a real process
// on loopback in one temporary work folder; and a raw client that speaks the client protocol
// packet by packet for the cases the load tool does not drive.
#pragma once

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "packet/package_dispatcher.h"
#include "tests/support/child_process.h"

namespace e2e {

using Bytes = std::vector<std::uint8_t>;

// A free loopback port (TCP or UDP), found by binding port 0.
int FreePort(bool udp = false);

// The host's IPv4 addresses in the order the system lists them, joined by ",".
std::string LocalAddressesText();

// Reads "key=value" from a routesim output line ("" when absent).
std::string Field(const std::string& line, const std::string& key);

// A datagram socket standing in for the launcher window (class C, name N).
class LauncherSocket {
  public:
    explicit LauncherSocket(const std::string& path);
    ~LauncherSocket();
    LauncherSocket(const LauncherSocket&) = delete;
    LauncherSocket& operator=(const LauncherSocket&) = delete;
    bool ok() const { return fd_ >= 0; }
    // The next 4-byte little-endian message number, waiting at most timeoutMs.
    std::optional<std::uint32_t> next(int timeoutMs);

  private:
    int fd_ = -1;
    std::string path_;
};

class GateRig {
  public:
    GateRig();
    ~GateRig();
    GateRig(const GateRig&) = delete;
    GateRig& operator=(const GateRig&) = delete;

    // Config/Config.ini with the ports of this rig plus `extra`; KestZadoVezivi.ini with an
    // empty single-instance sign.
    void writeConfig(const std::map<std::string, std::string>& extra = {});
    // Starts routesim on the rig's route port (with its UDP control port) and waits for
    // "listening".
    bool startRoute(const std::vector<std::string>& extra = {});
    // Starts the gate with autostart for the launcher window (cls, name).
    bool startGate(const std::string& cls = "Cls", const std::string& name = "Wnd");
    // routesim has printed "record 0" at least `count` times.
    bool waitReady(int count = 1, int timeoutMs = 10000);
    // writeConfig + startRoute + startGate + waitReady.
    bool start(const std::map<std::string, std::string>& config = {},
               const std::vector<std::string>& routeArgs = {});

    std::vector<std::string> routeLines() const;
    int countRoute(const std::string& text) const;
    bool waitRoute(const std::string& text, int count = 1, int timeoutMs = 5000) const;
    // The first routesim line holding `text` ("" when none).
    std::string routeLine(const std::string& text) const;
    void routeCommand(const std::string& command) const;

    // Runs gateclient against the gate with --json-only and the given options; the parsed
    // JSON line (null when none), its exit code in *exitCode.
    nlohmann::json runClient(const std::vector<std::string>& args, int* exitCode = nullptr,
                             int timeoutMs = 30000);

    std::string gateLog() const;
    bool waitLog(const std::string& text, int timeoutMs = 5000) const;
    // A datagram to the gate's control socket: 4-byte LE command then the text.
    bool control(std::uint32_t command, const std::string& text);
    std::string controlSocketPath() const;
    std::string launcherSocketPath(const std::string& cls, const std::string& name) const;

    // SIGTERM to the gate; its exit code.
    std::optional<int> stopGate(int timeoutMs = 10000);

    std::string describe() const;  // the processes' outputs, for failure messages

    testing_support::TempDir work;
    testing_support::ChildProcess gate;
    testing_support::ChildProcess route;
    int gatePort;
    int routePort;
    int controlPort;
    std::string runDir;

  private:
    int clientRuns_ = 0;
};

// One client connection spoken by hand: version record, enciphered packets, deciphered frames.
class RawClient {
  public:
    struct Event {
        enum Kind { kPacket, kClosed, kTimeout } kind;
        Bytes bytes;
    };
    RawClient();
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connect(int port, const std::string& source = "");
    void sendVersion(std::uint32_t version = 153518004);
    void send(Bytes plain);
    void sendRaw(const Bytes& bytes);
    void close();
    // The next deciphered packet, or the end of the connection, or nothing within timeoutMs.
    Event next(int timeoutMs);
    // Reads until routesim's greeting {1, 36, session, player, pool} (other packets are kept
    // for next()); false when none came.
    bool waitLogin(int timeoutMs = 5000);

    std::uint32_t sessionId = 0;
    std::int32_t player = -1;
    std::uint32_t pool = 0;

  private:
    static void OnFrame(void* self, const std::uint8_t* p, std::size_t n);
    int fd_ = -1;
    int packOrder_ = 250;
    bool closed_ = false;
    KsPackageDispatcher dispatcher_;
    std::vector<Bytes> queue_;
};

// A data packet {cmd, sub, tag bytes...}.
Bytes Packet(std::uint8_t cmd, std::uint8_t sub, std::size_t size, std::uint8_t fill);

}  // namespace e2e
