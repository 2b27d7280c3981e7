// Fuzzes the record readers: the head and a record with texts of each length width, with any
// expected length. Reads must stay within the given bytes and report consistently.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "diag/log.h"
#include "fuzz/fuzz_log.h"
#include "packet/pack_head.h"
#include "packet/wire.h"

namespace {

// A record shaped like the gate's text records: a fixed part and texts of each prefix width.
struct tagFuzzRecord {
    std::uint16_t Cmd = 0;
    std::string A;  // u8 length
    std::uint32_t Value = 0;
    std::string B;  // u16 length
    std::string C;  // u32 length

    std::size_t Length() const {
        return 2 + wire::TextSize<std::uint8_t>(A) + 4 + wire::TextSize<std::uint16_t>(B) +
               wire::TextSize<std::uint32_t>(C);
    }
    std::vector<std::uint8_t> Write() const {
        std::vector<std::uint8_t> out(Length(), 0);
        wire::Writer w(out);
        w.u16(Cmd);
        w.text<std::uint8_t>(A);
        w.u32(Value);
        w.text<std::uint16_t>(B);
        w.text<std::uint32_t>(C);
        if (w.overrun() || w.position() != out.size()) std::abort();
        return out;
    }
    std::size_t ReadData(std::span<const std::uint8_t> bytes, std::size_t expected) {
        *this = tagFuzzRecord{};
        wire::Reader r(bytes);
        Cmd = r.u16();
        if (!r.text<std::uint8_t>(A, expected) && !r.overrun()) return 0;
        Value = r.u32();
        if (!r.text<std::uint16_t>(B, expected) && !r.overrun()) return 0;
        if (!r.text<std::uint32_t>(C, expected) && !r.overrun()) return 0;
        return wire::FinishRead("tagFuzzRecord", r, expected, 0);
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    PointFuzzLogAtScratchFolder();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t expected = data[0] % 64;
    // The bytes in a buffer of exactly their size, so that any over-read is caught.
    const std::vector<std::uint8_t> bytes(data + 1, data + size);

    tagPackHead head;
    const std::size_t n = head.ReadData(bytes, expected);
    if (bytes.size() < 9 && n != 0) std::abort();
    if (bytes.size() >= 9 && n != 9) std::abort();

    tagFuzzRecord record;
    const std::size_t m = record.ReadData(bytes, expected);
    if (m > bytes.size()) std::abort();
    if (m != 0) {
        // A record read whole writes back to the same bytes.
        if (m != record.Length()) std::abort();
        const std::vector<std::uint8_t> image = record.Write();
        if (!std::equal(image.begin(), image.end(), bytes.begin())) std::abort();
    }
    return 0;
}
