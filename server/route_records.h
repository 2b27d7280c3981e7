// The records exchanged with the route server inside server packets: the packet types of the
// route link, the gate's own records (0, 37, 39, 63) and the route server's records (the log-in
// reply, gate records 0 and 1). Builders write the exact wire image; readers follow the record
// convention (packed, little-endian, "Error in <type> : %s " on a length mismatch).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace route {

// PackType values on the route link.
enum RoutePackType : std::uint8_t {
    kPackClientData = 1,  // gate -> route: a deciphered client packet
    kPackGateRecord = 2,  // gate -> route: a gate record; route -> gate: record 1 "line id"
    kPackDisconnect = 3,  // gate -> route: the client has gone; route -> gate: kick
    kPackConnect = 4,     // gate -> route: connect notice; route -> gate: log-in reply
    kPackIgnored = 7,     // route -> gate: ignored
    kPackKickOut = 11,    // route -> gate: kick
};

// Gate record ids (first body byte).
enum GateRecordId : std::uint8_t {
    kRecordStart = 0,
    kRecordLineId = 1,  // from the route server
    kRecordGateInfo = 37,
    kRecordAddressRefresh = 39,
    kRecordNetStatistics = 63,
};

// Record 0: the one byte 0, sent once at the end of the start sequence.
std::vector<std::uint8_t> BuildStartRecord();

// Record 37 (gate information), 28 + L bytes, written field by field:
//
//   0  u8   37          9  u8   0        17     L bytes  address text (no terminator)
//   1  f64  date-time  10  u32  0        17+L   u16      client listening port
//                      14  u8   0        19+L   u32      online clients
//                      15  u16  L        23+L   u32      maximum
//                                        27+L   u8       mobile flag
struct tagRefreshZadoVeziviIP {
    static constexpr std::size_t kFixedSize = 28;

    std::uint8_t Id = kRecordGateInfo;
    double DateTime = 0;
    std::uint8_t Reserved1 = 0;
    std::uint32_t Reserved2 = 0;
    std::uint8_t Reserved3 = 0;
    std::string Address;  // length-prefixed by a u16
    std::uint16_t Port = 0;
    std::uint32_t Online = 0;
    std::uint32_t Maximum = 0;
    std::uint8_t Mobile = 0;

    void Clear() { *this = tagRefreshZadoVeziviIP{}; }
    // The wire length: 28 + the address length. An address longer than 65535 bytes is cut to that.
    std::size_t Length() const;
    std::vector<std::uint8_t> Write() const;
    // Record convention with a text: 0 when the expected length (0 = unchecked) does not match.
    std::size_t ReadData(std::span<const std::uint8_t> bytes, std::size_t expected);
};

// Records 39 and 63 share their first 14 bytes:
//   0 u8 id | 1 u32 server id | 5 u8 run-state code | 6 f64 date-time
//
// Record 39 (address refresh), 45 bytes: then 14 u8 0 | 15 30-byte text, zero-padded, with no
// terminator when it fills all 30.
struct tagRefreshServerState {
    static constexpr std::size_t kSize = 45;
    static constexpr std::size_t kTextSize = 30;

    std::uint8_t Id = kRecordAddressRefresh;
    std::uint32_t ServerId = 0;
    std::uint8_t RunState = 0;
    double DateTime = 0;
    std::uint8_t Reserved = 0;
    std::array<char, kTextSize> Text{};

    // Copies at most 30 characters of the text.
    void SetText(std::string_view text);
    // The text up to its first zero byte (at most 30 characters).
    std::string TextString() const;
    std::array<std::uint8_t, kSize> Write() const;
    std::size_t ReadData(std::span<const std::uint8_t> bytes, std::size_t expected);
};

// Record 63 (network statistics), 94 bytes: the 14-byte start with id 63, then ten u64 counters
// of the network service (its statistics 28 to 37, in this order).
struct tagIOCPRec {
    static constexpr std::size_t kSize = 94;
    static constexpr std::size_t kCounterCount = 10;

    std::uint8_t Id = kRecordNetStatistics;
    std::uint32_t ServerId = 0;
    std::uint8_t RunState = 0;
    double DateTime = 0;
    std::array<std::uint64_t, kCounterCount> Counters{};

    std::array<std::uint8_t, kSize> Write() const;
    std::size_t ReadData(std::span<const std::uint8_t> bytes, std::size_t expected);
};

// The route server's log-in reply (body of a PackType 4 packet), 4 bytes.
struct tagGameServerPlayerLogin {
    static constexpr std::size_t kSize = 4;

    std::int32_t indexInGameServer = 0;

    std::array<std::uint8_t, kSize> Write() const;
    // Read with the body length as expected length: another length logs "Error in
    // tagGameServerPlayerLogin : %s " and the first 4 bytes are still used (missing bytes read
    // as 0, nothing beyond the body is read).
    std::size_t ReadData(std::span<const std::uint8_t> bytes, std::size_t expected);
};

// A gate record from the route server (SessionID 0): record 0 and record 1 carry a u32 value.
struct RouteGateRecord {
    std::uint8_t Id = 0;
    std::uint32_t Value = 0;
    bool HasValue = false;  // false when the body is shorter than 5 bytes
};
// The record id and its value; an empty body gives nothing (returns false).
bool ReadRouteGateRecord(std::span<const std::uint8_t> body, RouteGateRecord& out);
// A route-server gate record body: the id followed by the u32 value.
std::array<std::uint8_t, 5> BuildRouteGateRecord(std::uint8_t id, std::uint32_t value);

// The connect notice the gate sends for a new client, 21 bytes: byte 0 = 0, u32 pool index,
// the address as 16 zero-padded characters.
struct ConnectNotice {
    static constexpr std::size_t kSize = 21;
    std::uint32_t PoolIndex = 0;
    std::string Address;
};
bool ReadConnectNotice(std::span<const std::uint8_t> body, ConnectNotice& out);
std::array<std::uint8_t, ConnectNotice::kSize> BuildConnectNotice(std::uint32_t poolIndex,
                                                                  std::string_view address);

}  // namespace route
