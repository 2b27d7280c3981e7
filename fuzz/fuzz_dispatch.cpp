// Fuzzes the framing object: the input picks the framing mode and how the stream is split into
// chunks; the frames and pending bytes must match a plain model of the cutting rules, and no
// read or write may leave the given bytes (the sanitizers watch that).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "diag/log.h"
#include "fuzz/fuzz_log.h"
#include "packet/package_dispatcher.h"
#include "packet/wire.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Outcome {
    std::vector<Bytes> payloads;
    int fatals = 0;
    int crcErrors = 0;
};

// The cutting rules written out plainly: the work text is pending + new bytes, cut from 0.
class Model {
  public:
    Model(bool longLength, bool crc) : longLength_(longLength), crc_(crc) {}

    void Dispatch(const Bytes& chunk, Outcome& out) {
        Bytes work = pending_;
        pending_.clear();
        work.insert(work.end(), chunk.begin(), chunk.end());
        const std::size_t head = longLength_ ? 6 : 4;
        std::size_t pos = 0;
        while (pos < work.size()) {
            const std::size_t n = work.size() - pos;
            if (n < head) {
                pending_.assign(work.begin() + pos, work.end());
                return;
            }
            if (work[pos] != 0xFF || work[pos + 1] != 0xCC) {
                ++out.fatals;
                return;
            }
            std::uint64_t field = work[pos + 2] | (work[pos + 3] << 8);
            if (longLength_) {
                field |= static_cast<std::uint64_t>(work[pos + 4]) << 16;
                field |= static_cast<std::uint64_t>(work[pos + 5]) << 24;
            }
            const std::uint64_t frame = field + head;
            if (frame > 104857600) {
                ++out.fatals;
                return;
            }
            if (frame > n) {
                pending_.assign(work.begin() + pos, work.end());
                return;
            }
            std::size_t payload = frame - head;
            if (crc_) {
                const std::uint8_t* f = work.data() + pos;
                const std::uint32_t stored = wire::LoadLE<std::uint32_t>(f + frame - 4);
                if (payload < 4 || FrameCrc32({f, frame - 4}) != stored) {
                    ++out.crcErrors;
                    return;
                }
                payload -= 4;
            }
            out.payloads.emplace_back(work.begin() + pos + head,
                                      work.begin() + pos + head + payload);
            pos += frame;
        }
    }
    std::size_t Pending() const { return pending_.size(); }

  private:
    bool longLength_;
    bool crc_;
    Bytes pending_;
};

void OnPayload(void* context, const std::uint8_t* p, std::size_t n) {
    static_cast<Outcome*>(context)->payloads.emplace_back(p, p + n);
}
void OnFatal(void* context) {
    ++static_cast<Outcome*>(context)->fatals;
}
void OnError(void*, const char* message) {
    if (std::strlen(message) > 80) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    PointFuzzLogAtScratchFolder();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const bool longLength = (data[0] & 1) != 0;
    const bool crc = (data[0] & 2) != 0;
    const std::size_t splits = data[1] % 8;
    if (size < 2 + splits) return 0;
    const std::uint8_t* cuts = data + 2;
    const Bytes stream(data + 2 + splits, data + size);

    KsPackageDispatcher d;
    d.SetLongLength(longLength ? 1 : 0);
    d.SetUseCrc(crc);
    Outcome real;
    d.SetPackCallback(&OnPayload, &real);
    d.SetFatalCallback(&OnFatal, &real);
    d.SetErrorCallback(&OnError, nullptr);
    Model model(longLength, crc);
    Outcome expected;

    std::size_t at = 0;
    for (std::size_t c = 0; c <= splits; ++c) {
        std::size_t length =
            c < splits ? std::min<std::size_t>(cuts[c], stream.size() - at) : stream.size() - at;
        // Each chunk in a buffer of its own size, so that any over-read is caught.
        Bytes chunk(stream.begin() + at, stream.begin() + at + length);
        at += length;
        try {
            d.DispatchData(chunk.data(), chunk.size());
        } catch (const std::runtime_error&) {
            ++real.crcErrors;
        }
        model.Dispatch(chunk, expected);
        if (d.PendingLength() != model.Pending()) std::abort();
        if (d.PendingLength() > KsPackageDispatcher::kMaxFrameLength) std::abort();
    }
    if (real.payloads != expected.payloads || real.fatals != expected.fatals ||
        real.crcErrors != expected.crcErrors) {
        std::abort();
    }

    // Every payload delivered frames back to itself.
    for (const Bytes& payload : real.payloads) {
        Bytes frame(payload.size() + 10);
        const std::size_t n =
            d.PackData(payload.data(), payload.size(), frame.data(), frame.size());
        if (n != payload.size() + static_cast<std::size_t>(d.GetPackHeadLen() + d.GetCrcLen())) {
            std::abort();
        }
    }
    return 0;
}
