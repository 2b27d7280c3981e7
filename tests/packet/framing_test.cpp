// The framing object: frame cutting across chunk splits, broken and oversized frames, the
// checksum, frame building; the cipher and the key dictionary.
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "log_capture.h"
#include "packet/byte_cipher.h"
#include "packet/pack_key_dict.h"
#include "packet/package_dispatcher.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Collects what the framing object reports.
struct Sink {
    std::vector<Bytes> payloads;
    std::vector<std::string> errors;
    int fatals = 0;
    std::vector<Bytes> filtered;
    bool filterAnswer = true;

    void Attach(IPackageDispatcher& d, bool withFilter = false) {
        d.SetPackCallback(
            [](void* c, const std::uint8_t* p, std::size_t n) {
                static_cast<Sink*>(c)->payloads.emplace_back(p, p + n);
            },
            this);
        d.SetErrorCallback(
            [](void* c, const char* m) { static_cast<Sink*>(c)->errors.emplace_back(m); }, this);
        d.SetFatalCallback([](void* c) { ++static_cast<Sink*>(c)->fatals; }, this);
        if (withFilter) {
            d.SetFilterCallback(
                [](void* c, const std::uint8_t* p, std::size_t n) {
                    auto* s = static_cast<Sink*>(c);
                    s->filtered.emplace_back(p, p + n);
                    return s->filterAnswer;
                },
                this);
        }
    }
};

Bytes Frame(KsPackageDispatcher& d, const Bytes& payload) {
    Bytes out(payload.size() + 16);
    std::size_t n = d.PackData(payload.data(), payload.size(), out.data(), out.size());
    out.resize(n);
    return out;
}

void Feed(IPackageDispatcher& d, const Bytes& bytes, std::size_t from, std::size_t to) {
    d.DispatchData(bytes.data() + from, to - from);
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST(PackageDispatcher, DefaultsAndExample) {
    IPackageDispatcher* d = NewPackageDispatcher();
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->GetPackHeadLen(), 6);
    EXPECT_EQ(d->GetCrcLen(), 0);
    EXPECT_FALSE(d->GetUseCrc());
    const std::uint8_t payload[] = {0x01, 0x04, 0x6C};
    std::uint8_t out[9];
    ASSERT_EQ(d->PackData(payload, 3, out, sizeof out), 9u);
    EXPECT_EQ(Bytes(out, out + 9), (Bytes{0xFF, 0xCC, 0x03, 0, 0, 0, 0x01, 0x04, 0x6C}));
    d->SetLongLength(0);
    EXPECT_EQ(d->GetPackHeadLen(), 4);
    d->SetUseCrc(true);
    EXPECT_EQ(d->GetCrcLen(), 4);
    FreePackageDispatcher(d);
    FreePackageDispatcher(nullptr);
}

// Every mode, two frames, every way of splitting the stream into two and into three chunks.
TEST(PackageDispatcher, EverySplitOfTwoFramesDeliversBothOnce) {
    struct Mode {
        int longLength;
        bool crc;
    };
    for (Mode mode : {Mode{1, false}, Mode{0, false}, Mode{1, true}, Mode{0, true}}) {
        KsPackageDispatcher builder;
        builder.SetLongLength(mode.longLength);
        builder.SetUseCrc(mode.crc);
        const Bytes first = {0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16};
        const Bytes second = {0xFF, 0xCC, 0x20};  // looks like a frame tag inside a payload
        const Bytes stream = Cat({Frame(builder, first), Frame(builder, second)});
        SCOPED_TRACE(testing::Message() << "long " << mode.longLength << " crc " << mode.crc);
        for (std::size_t i = 0; i <= stream.size(); ++i) {
            for (std::size_t j = i; j <= stream.size(); ++j) {
                KsPackageDispatcher d;
                d.SetLongLength(mode.longLength);
                d.SetUseCrc(mode.crc);
                Sink sink;
                sink.Attach(d);
                Feed(d, stream, 0, i);
                Feed(d, stream, i, j);
                Feed(d, stream, j, stream.size());
                ASSERT_EQ(sink.payloads.size(), 2u) << "split " << i << "," << j;
                EXPECT_EQ(sink.payloads[0], first);
                EXPECT_EQ(sink.payloads[1], second);
                EXPECT_EQ(sink.fatals, 0);
                EXPECT_EQ(d.PendingLength(), 0u);
            }
        }
    }
}

TEST(PackageDispatcher, IncompleteTailWaitsForTheNextChunk) {
    KsPackageDispatcher d;
    Sink sink;
    sink.Attach(d);
    const Bytes third = Frame(d, {7, 7, 7, 7});
    const Bytes chunk =
        Cat({Frame(d, {1}), Frame(d, {2, 2}), Bytes(third.begin(), third.begin() + 3)});
    d.DispatchData(chunk);
    ASSERT_EQ(sink.payloads.size(), 2u);
    EXPECT_EQ(d.PendingLength(), 3u);
    // The first byte FF as a signed byte widened to 32 bits, and the bytes available.
    ASSERT_EQ(sink.errors.size(), 1u);
    EXPECT_EQ(sink.errors[0], "需要等待的封包:0xffffffff,3");
    d.DispatchData(Bytes(third.begin() + 3, third.end()));
    ASSERT_EQ(sink.payloads.size(), 3u);
    EXPECT_EQ(sink.payloads[2], (Bytes{7, 7, 7, 7}));
    EXPECT_EQ(d.PendingLength(), 0u);
    EXPECT_EQ(sink.fatals, 0);
}

TEST(PackageDispatcher, BadTagAbandonsTheRestOfTheChunkOnly) {
    KsPackageDispatcher d;
    Sink sink;
    sink.Attach(d);
    const Bytes good = Frame(d, {5, 6});
    d.DispatchData(Cat({Bytes{0x00, 0x00, 1, 0, 0, 0, 9}, good}));
    EXPECT_TRUE(sink.payloads.empty());
    ASSERT_EQ(sink.errors.size(), 1u);
    EXPECT_EQ(sink.errors[0], "封包错误:0x0");
    EXPECT_EQ(sink.fatals, 1);
    EXPECT_EQ(d.PendingLength(), 0u);

    // A complete frame before the bad one is delivered; the next chunk is read from its start.
    d.DispatchData(Cat({good, Bytes{0x12, 0x34, 0, 0, 0, 0}}));
    ASSERT_EQ(sink.payloads.size(), 1u);
    EXPECT_EQ(sink.errors.back(), "封包错误:0x3412");
    d.DispatchData(good);
    EXPECT_EQ(sink.payloads.size(), 2u);
    EXPECT_EQ(sink.fatals, 2);
}

TEST(PackageDispatcher, BadTagInPendingBytesDiscardsTheWorkText) {
    KsPackageDispatcher d;
    Sink sink;
    sink.Attach(d);
    d.DispatchData(Bytes{0x00, 0x00});  // too short to judge: kept
    EXPECT_EQ(d.PendingLength(), 2u);
    d.DispatchData(Cat({Bytes{3, 0, 0, 0}, Frame(d, {1})}));
    EXPECT_TRUE(sink.payloads.empty());
    EXPECT_EQ(sink.fatals, 1);
    EXPECT_EQ(d.PendingLength(), 0u);
}

TEST(PackageDispatcher, EmptyPayloadConsumesExactlyTheHead) {
    KsPackageDispatcher d;
    Sink sink;
    sink.Attach(d);
    d.DispatchData(Bytes{0xFF, 0xCC, 0, 0, 0, 0, 0xFF, 0xCC, 1, 0, 0, 0, 0x42});
    ASSERT_EQ(sink.payloads.size(), 2u);
    EXPECT_TRUE(sink.payloads[0].empty());
    EXPECT_EQ(sink.payloads[1], Bytes{0x42});
}

TEST(PackageDispatcher, FrameLengthLimit) {
    struct Case {
        std::uint32_t field;
        bool fatal;
        std::string error;
    };
    const Case cases[] = {
        {104857600 - 6, false, "需要等待的封包:0xffffffff,6"},  // exactly the limit: waits
        {104857600 - 5, true, "封包过长: 104857601"},
        {0xFFFFFFFFu, true, "封包过长: 4294967301"},  // no wrap-around
    };
    for (const Case& c : cases) {
        KsPackageDispatcher d;
        Sink sink;
        sink.Attach(d);
        Bytes head = {0xFF, 0xCC, 0, 0, 0, 0};
        std::memcpy(head.data() + 2, &c.field, 4);
        d.DispatchData(head);
        EXPECT_EQ(sink.fatals, c.fatal ? 1 : 0) << c.field;
        ASSERT_EQ(sink.errors.size(), 1u);
        EXPECT_EQ(sink.errors[0], c.error);
        EXPECT_EQ(d.PendingLength(), c.fatal ? 0u : 6u);
        EXPECT_TRUE(sink.payloads.empty());
    }
}

TEST(PackageDispatcher, ShortLengthModeUsesTwoByteField) {
    KsPackageDispatcher d;
    d.SetLongLength(0);
    Sink sink;
    sink.Attach(d);
    const Bytes frame = Frame(d, {9, 8, 7});
    EXPECT_EQ(frame, (Bytes{0xFF, 0xCC, 3, 0, 9, 8, 7}));
    d.DispatchData(frame);
    ASSERT_EQ(sink.payloads.size(), 1u);
    EXPECT_EQ(sink.payloads[0], (Bytes{9, 8, 7}));
}

TEST(PackageDispatcher, FilterSeesNewBytesOnlyAndCanDiscardPending) {
    KsPackageDispatcher d;
    Sink sink;
    sink.Attach(d, true);
    const Bytes frame = Frame(d, {1, 2, 3});
    d.DispatchData(Bytes(frame.begin(), frame.begin() + 4));
    d.DispatchData(Bytes(frame.begin() + 4, frame.end()));
    ASSERT_EQ(sink.filtered.size(), 2u);
    EXPECT_EQ(sink.filtered[1], Bytes(frame.begin() + 4, frame.end()));
    EXPECT_EQ(sink.payloads.size(), 1u);

    d.DispatchData(Bytes(frame.begin(), frame.begin() + 4));
    sink.filterAnswer = false;
    d.DispatchData(Bytes(frame.begin() + 4, frame.end()));
    EXPECT_EQ(sink.payloads.size(), 1u);
    EXPECT_EQ(d.PendingLength(), 0u);
    sink.filterAnswer = true;
    d.DispatchData(frame);
    EXPECT_EQ(sink.payloads.size(), 2u);
}

TEST(PackageDispatcher, ResetDropsPendingBytes) {
    KsPackageDispatcher d;
    Sink sink;
    sink.Attach(d);
    const Bytes frame = Frame(d, {1, 2, 3});
    d.DispatchData(Bytes(frame.begin(), frame.begin() + 5));
    d.ResetDispatch();
    EXPECT_EQ(d.PendingLength(), 0u);
    d.DispatchData(frame);
    ASSERT_EQ(sink.payloads.size(), 1u);
}

TEST(PackageDispatcher, ChecksumMismatchThrowsAfterLoggingAndKeepsEarlierFrames) {
    testing_support::LogCapture log;
    KsPackageDispatcher d;
    d.SetUseCrc(true);
    Sink sink;
    sink.Attach(d);
    const Bytes good = Frame(d, {1, 4, 0x6C});
    EXPECT_EQ(good, (Bytes{0xFF, 0xCC, 7, 0, 0, 0, 1, 4, 0x6C, 0x53, 0xF6, 0x42, 0x66}));
    Bytes bad = good;
    ASSERT_EQ(bad.size(), 13u);
    bad[12] = 0x67;
    try {
        d.DispatchData(Cat({good, bad, good}));
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Pack CRC Error");
    }
    EXPECT_EQ(sink.payloads.size(), 1u);
    EXPECT_TRUE(log.Has(kLevelError, "Pack CRC Error! curCRC = 1715664467, packCRC = "));
    EXPECT_TRUE(log.Has(kLevelError, "pack = FF CC 07 00 00 00 01 04 6C 53 F6 42 67 "));
    // The stream goes on with the next chunk.
    d.DispatchData(good);
    EXPECT_EQ(sink.payloads.size(), 2u);
}

TEST(PackageDispatcher, ChecksumModeRefusesFramesTooShortForTheChecksum) {
    testing_support::LogCapture log;
    for (std::uint8_t field = 0; field < 4; ++field) {
        KsPackageDispatcher d;
        d.SetUseCrc(true);
        Sink sink;
        sink.Attach(d);
        Bytes frame = {0xFF, 0xCC, field, 0, 0, 0, 0, 0, 0, 0};
        frame.resize(6 + field);
        EXPECT_THROW(d.DispatchData(frame), std::runtime_error) << int(field);
        EXPECT_TRUE(sink.payloads.empty());
    }
}

TEST(PackageDispatcher, PackDataRefusesATooSmallBufferAndWritesNothing) {
    testing_support::LogCapture log;
    KsPackageDispatcher d;
    d.SetUseCrc(true);
    const Bytes payload(10, 0xAB);
    Bytes out(6 + 10 + 4 - 1, 0x11);
    EXPECT_EQ(d.PackData(payload.data(), payload.size(), out.data(), out.size()), 0u);
    EXPECT_EQ(out, Bytes(out.size(), 0x11));
    EXPECT_TRUE(log.Has(kLevelFatal,
                        "KsPackageDispatcher::PackData packHeadLen(6) + totalPackLen(14) > "
                        "maxBuff(19)"));
    out.push_back(0);
    EXPECT_EQ(d.PackData(payload.data(), payload.size(), out.data(), out.size()), 20u);
}

TEST(PackageDispatcher, ShortLengthModeRefusesPayloadsBeyond65535) {
    testing_support::LogCapture log;
    KsPackageDispatcher d;
    d.SetLongLength(0);
    Bytes payload(65536);
    Bytes out(payload.size() + 4);
    EXPECT_EQ(d.PackData(payload.data(), payload.size(), out.data(), out.size()), 0u);
    EXPECT_TRUE(log.Has(kLevelFatal, "65535"));
    EXPECT_EQ(d.PackData(payload.data(), 65535, out.data(), out.size()), 65539u);
}

TEST(PackageDispatcher, PackDataFramesInPlace) {
    KsPackageDispatcher d;
    d.SetUseCrc(true);
    Bytes out(6 + 3 + 4);
    out[6] = 1;
    out[7] = 4;
    out[8] = 0x6C;
    ASSERT_EQ(d.PackData(out.data() + 6, 3, out.data(), out.size()), 13u);
    EXPECT_EQ(out, (Bytes{0xFF, 0xCC, 7, 0, 0, 0, 1, 4, 0x6C, 0x53, 0xF6, 0x42, 0x66}));
}

TEST(FrameCrc32, MatchesKnownVectors) {
    const std::string check = "123456789";
    EXPECT_EQ(FrameCrc32({reinterpret_cast<const std::uint8_t*>(check.data()), check.size()}),
              0xCBF43926u);
    EXPECT_EQ(FrameCrc32({}), 0u);
    const std::string fox = "The quick brown fox jumps over the lazy dog";
    EXPECT_EQ(FrameCrc32({reinterpret_cast<const std::uint8_t*>(fox.data()), fox.size()}),
              0x414FA339u);
}

// The cipher written out as stated, with a division per byte.
Bytes ReferenceEncode(Bytes bytes, const Bytes& key) {
    std::uint8_t sum = 0;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::uint8_t p = bytes[i];
        bytes[i] = static_cast<std::uint8_t>(p ^ key[i % key.size()] ^ sum ^ (i % 256) ^ 0x5A);
        sum = static_cast<std::uint8_t>(sum + p);
    }
    return bytes;
}

TEST(ByteCipher, RoundTripsForEveryLengthAndKeyLength) {
    std::uint32_t seed = 12345;
    auto next = [&] {
        seed = seed * 1103515245u + 12345u;
        return static_cast<std::uint8_t>(seed >> 16);
    };
    for (std::size_t keyLength = 1; keyLength <= 64; ++keyLength) {
        Bytes key(keyLength);
        for (auto& k : key) k = next();
        for (std::size_t count = 0; count <= 300; ++count) {
            Bytes plain(count);
            for (auto& b : plain) b = next();
            Bytes text = plain;
            EncodeBuffer(text, key);
            ASSERT_EQ(text, ReferenceEncode(plain, key)) << count << " " << keyLength;
            DecodeBuffer(text, key);
            ASSERT_EQ(text, plain) << count << " " << keyLength;
        }
    }
}

TEST(ByteCipher, KnownValues) {
    // One key byte at every position; the running sum and the position enter each byte.
    Bytes text = {0x00, 0x00, 0x01, 0x00};
    const Bytes key = {0x0F};
    EncodeBuffer(text, key);
    EXPECT_EQ(text, (Bytes{0x55, 0x54, 0x56, 0x57}));
    Bytes untouched = {1, 2, 3};
    EncodeBuffer(untouched.data(), untouched.size(), key.data(), 0);
    EXPECT_EQ(untouched, (Bytes{1, 2, 3}));
}

TEST(OutboundKey, IsTheFixedTextOfTwelveWords) {
    ASSERT_EQ(kOutboundKey.size(), 59u);
    EXPECT_EQ(FrameCrc32(kOutboundKey), 0x6E451536u);
    int blanks = 0;
    for (std::size_t i = 0; i < kOutboundKey.size(); ++i) {
        if (kOutboundKey[i] == ' ') {
            ++blanks;
            EXPECT_EQ(i % 5, 4u);
        }
    }
    EXPECT_EQ(blanks, 11);
}

TEST(PackKeyDict, FetchKeyIndexesTheDictionaryAndXorsTheSeed) {
    IPackKeyDictFetcher& dict = GetPackKeyDictFetcher();
    EXPECT_EQ(&dict, &GetPackKeyDictFetcher());
    EXPECT_EQ(dict.FetchKey(0, 0), 0xF5173D6Au);
    EXPECT_EQ(dict.FetchKey(1023, 0), 0xE98E6CFFu);
    EXPECT_EQ(dict.FetchKey(1024, 0), 0xF5173D6Au);
    EXPECT_EQ(dict.FetchKey(-1, 0), 0xE98E6CFFu);
    EXPECT_EQ(dict.FetchKey(1, 0xFFFFFFFFu), ~0x5063647Bu);
    Bytes image(4096);
    for (unsigned i = 0; i < 1024; ++i) {
        std::uint32_t w = KestPackKeyDictFetcher::Word(i);
        std::memcpy(image.data() + 4 * i, &w, 4);
    }
    EXPECT_EQ(FrameCrc32(image), 0xFBFE7750u);
}

}  // namespace
