// tagPackHead's wire image.
#include "packet/pack_head.h"

#include "packet/wire.h"

void tagPackHead::Write(std::span<std::uint8_t, kSize> out) const {
    wire::StoreLE<std::uint32_t>(out.data(), SessionID);
    wire::StoreLE<std::uint16_t>(out.data() + 4, PoolIndex);
    out[6] = PackType;
    out[7] = DestServerType;
    out[8] = SrcServerType;
}

std::size_t tagPackHead::ReadData(std::span<const std::uint8_t> bytes, std::size_t expected) {
    Clear();
    wire::Reader reader(bytes);
    SessionID = reader.u32();
    PoolIndex = reader.u16();
    PackType = reader.u8();
    DestServerType = reader.u8();
    SrcServerType = reader.u8();
    return wire::FinishRead("tagPackHead", reader, expected, kSize);
}
