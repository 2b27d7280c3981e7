// Wire images of the route link's records.
#include "server/route_records.h"

#include <algorithm>
#include <cstring>

#include "packet/wire.h"

namespace route {

std::vector<std::uint8_t> BuildStartRecord() {
    return {kRecordStart};
}

namespace {

std::string_view CappedAddress(const std::string& address) {
    return std::string_view(address).substr(0, 0xFFFF);
}

}  // namespace

std::size_t tagRefreshZadoVeziviIP::Length() const {
    return kFixedSize + CappedAddress(Address).size();
}

std::vector<std::uint8_t> tagRefreshZadoVeziviIP::Write() const {
    std::vector<std::uint8_t> out(Length(), 0);
    wire::Writer w(out);
    w.u8(Id);
    w.f64(DateTime);
    w.u8(Reserved1);
    w.u32(Reserved2);
    w.u8(Reserved3);
    w.text<std::uint16_t>(CappedAddress(Address));
    w.u16(Port);
    w.u32(Online);
    w.u32(Maximum);
    w.u8(Mobile);
    return out;
}

std::size_t tagRefreshZadoVeziviIP::ReadData(std::span<const std::uint8_t> bytes,
                                             std::size_t expected) {
    Clear();
    wire::Reader r(bytes);
    Id = r.u8();
    DateTime = r.f64();
    Reserved1 = r.u8();
    Reserved2 = r.u32();
    Reserved3 = r.u8();
    if (!r.text<std::uint16_t>(Address, expected)) {
        if (r.overrun()) wire::LogRecordMismatch("tagRefreshZadoVeziviIP", bytes);
        return 0;
    }
    Port = r.u16();
    Online = r.u32();
    Maximum = r.u32();
    Mobile = r.u8();
    return wire::FinishRead("tagRefreshZadoVeziviIP", r, expected, 0);
}

void tagRefreshServerState::SetText(std::string_view text) {
    Text.fill(0);
    std::size_t n = std::min(text.size(), kTextSize);
    std::memcpy(Text.data(), text.data(), n);
}

std::string tagRefreshServerState::TextString() const {
    return std::string(Text.data(), strnlen(Text.data(), kTextSize));
}

std::array<std::uint8_t, tagRefreshServerState::kSize> tagRefreshServerState::Write() const {
    std::array<std::uint8_t, kSize> out{};
    wire::Writer w(out);
    w.u8(Id);
    w.u32(ServerId);
    w.u8(RunState);
    w.f64(DateTime);
    w.u8(Reserved);
    w.raw(Text.data(), Text.size());
    return out;
}

std::size_t tagRefreshServerState::ReadData(std::span<const std::uint8_t> bytes,
                                            std::size_t expected) {
    *this = tagRefreshServerState{};
    wire::Reader r(bytes);
    Id = r.u8();
    ServerId = r.u32();
    RunState = r.u8();
    DateTime = r.f64();
    Reserved = r.u8();
    r.fixed(Text.data(), Text.size());
    return wire::FinishRead("tagRefreshServerState", r, expected, kSize);
}

std::array<std::uint8_t, tagIOCPRec::kSize> tagIOCPRec::Write() const {
    std::array<std::uint8_t, kSize> out{};
    wire::Writer w(out);
    w.u8(Id);
    w.u32(ServerId);
    w.u8(RunState);
    w.f64(DateTime);
    for (std::uint64_t counter : Counters) w.u64(counter);
    return out;
}

std::size_t tagIOCPRec::ReadData(std::span<const std::uint8_t> bytes, std::size_t expected) {
    *this = tagIOCPRec{};
    wire::Reader r(bytes);
    Id = r.u8();
    ServerId = r.u32();
    RunState = r.u8();
    DateTime = r.f64();
    for (std::uint64_t& counter : Counters) counter = r.u64();
    return wire::FinishRead("tagIOCPRec", r, expected, kSize);
}

std::array<std::uint8_t, tagGameServerPlayerLogin::kSize> tagGameServerPlayerLogin::Write() const {
    std::array<std::uint8_t, kSize> out{};
    wire::StoreLE<std::int32_t>(out.data(), indexInGameServer);
    return out;
}

std::size_t tagGameServerPlayerLogin::ReadData(std::span<const std::uint8_t> bytes,
                                               std::size_t expected) {
    indexInGameServer = 0;
    wire::Reader r(bytes);
    indexInGameServer = r.i32();
    if (r.overrun()) {
        // Shorter than the record: use what there is, never read beyond the body.
        std::array<std::uint8_t, kSize> padded{};
        if (!bytes.empty()) std::memcpy(padded.data(), bytes.data(), std::min(bytes.size(), kSize));
        indexInGameServer = wire::LoadLE<std::int32_t>(padded.data());
        wire::LogRecordMismatch("tagGameServerPlayerLogin", bytes);
        return kSize;
    }
    return wire::FinishRead("tagGameServerPlayerLogin", r, expected, kSize);
}

bool ReadRouteGateRecord(std::span<const std::uint8_t> body, RouteGateRecord& out) {
    out = RouteGateRecord{};
    if (body.empty()) return false;
    out.Id = body[0];
    if (body.size() >= 5) {
        out.Value = wire::LoadLE<std::uint32_t>(body.data() + 1);
        out.HasValue = true;
    }
    return true;
}

std::array<std::uint8_t, 5> BuildRouteGateRecord(std::uint8_t id, std::uint32_t value) {
    std::array<std::uint8_t, 5> out{};
    out[0] = id;
    wire::StoreLE<std::uint32_t>(out.data() + 1, value);
    return out;
}

bool ReadConnectNotice(std::span<const std::uint8_t> body, ConnectNotice& out) {
    out = ConnectNotice{};
    if (body.size() < ConnectNotice::kSize) return false;
    out.PoolIndex = wire::LoadLE<std::uint32_t>(body.data() + 1);
    const char* text = reinterpret_cast<const char*>(body.data() + 5);
    out.Address.assign(text, strnlen(text, 16));
    return true;
}

std::array<std::uint8_t, ConnectNotice::kSize> BuildConnectNotice(std::uint32_t poolIndex,
                                                                  std::string_view address) {
    std::array<std::uint8_t, ConnectNotice::kSize> out{};
    wire::StoreLE<std::uint32_t>(out.data() + 1, poolIndex);
    std::memcpy(out.data() + 5, address.data(), std::min<std::size_t>(address.size(), 16));
    return out;
}

}  // namespace route
