// The server packet head, the record reading and writing toolkit, and MMORPGPacket.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log_capture.h"
#include "packet/mmorpg_packet.h"
#include "packet/pack_head.h"
#include "packet/wire.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using testing_support::LogCapture;

TEST(PackHead, WireImageIsPackedLittleEndian) {
    tagPackHead head;
    head.SessionID = 0x11223344;
    head.PoolIndex = kNoPoolIndex;
    head.PackType = 37;
    head.DestServerType = stGameServer;
    head.SrcServerType = stVevIdor;
    const auto image = head.Bytes();
    EXPECT_EQ(Bytes(image.begin(), image.end()),
              (Bytes{0x44, 0x33, 0x22, 0x11, 0xFF, 0xFF, 37, 5, 7}));
    tagPackHead back;
    EXPECT_EQ(back.ReadData(image, 9), 9u);
    EXPECT_EQ(back, head);
    EXPECT_EQ(back.ReadData(image, 0), 9u);
    EXPECT_EQ(tagPackHead::Length(), 9u);
}

TEST(PackHead, LengthMismatchIsLoggedWithTheGivenBytes) {
    LogCapture log;
    Bytes given = {1, 0, 0, 0, 2, 0, 3, 4, 5, 0xAA, 0xBB, 0xCC};
    tagPackHead head;
    EXPECT_EQ(head.ReadData(given, 12), 9u);
    EXPECT_EQ(head.SessionID, 1u);
    EXPECT_EQ(head.SrcServerType, 5);
    EXPECT_TRUE(
        log.Has(kLevelWarn, "Error in tagPackHead : 01 00 00 00 02 00 03 04 05 AA BB CC  "));
}

TEST(PackHead, ShortInputIsAMismatchNotARead) {
    LogCapture log;
    Bytes given = {1, 0, 0, 0, 2, 0, 3};
    tagPackHead head;
    head.PackType = 99;
    EXPECT_EQ(head.ReadData(given, 0), 0u);
    EXPECT_EQ(head.SessionID, 1u);
    EXPECT_EQ(head.PackType, 3);
    EXPECT_EQ(head.DestServerType, 0);
    EXPECT_TRUE(log.Has(kLevelWarn, "Error in tagPackHead : 01 00 00 00 02 00 03  "));
    EXPECT_EQ(head.ReadData({}, 0), 0u);
}

// A record with texts, as later records use the toolkit.
struct tagSample {
    std::uint16_t Cmd = 0;
    std::string Name;  // u8 length
    std::int32_t Value = 0;
    std::string Note;  // u16 length

    std::size_t Length() const {
        return 2 + wire::TextSize<std::uint8_t>(Name) + 4 + wire::TextSize<std::uint16_t>(Note);
    }
    Bytes Write() const {
        Bytes out(Length(), 0);
        wire::Writer w(out);
        w.u16(Cmd);
        w.text<std::uint8_t>(Name);
        w.i32(Value);
        w.text<std::uint16_t>(Note);
        return out;
    }
    std::size_t ReadData(std::span<const std::uint8_t> bytes, std::size_t expected) {
        *this = tagSample{};
        wire::Reader r(bytes);
        Cmd = r.u16();
        if (!r.text<std::uint8_t>(Name, expected) && !r.overrun()) return 0;
        Value = r.i32();
        if (!r.text<std::uint16_t>(Note, expected) && !r.overrun()) return 0;
        return wire::FinishRead("tagSample", r, expected, 0);
    }
};

TEST(RecordToolkit, TextRecordRoundTripAndChecks) {
    tagSample sample;
    sample.Cmd = 0x0102;
    sample.Name = "abc";
    sample.Value = -2;
    sample.Note = "xy";
    const Bytes image = sample.Write();
    EXPECT_EQ(image, (Bytes{0x02, 0x01, 3, 'a', 'b', 'c', 0xFE, 0xFF, 0xFF, 0xFF, 2, 0, 'x', 'y'}));

    struct Case {
        std::size_t given;     // bytes handed to the reader
        std::size_t expected;  // expected length argument
        std::size_t result;
        bool logged;
    };
    const Case cases[] = {
        {14, 14, 14, false},  // exact
        {14, 0, 14, false},   // not checked
        {14, 15, 0, true},    // longer than consumed: logged, 0 for text records
        {14, 5, 0, false},    // the first text does not fit the expected length: 0 at once
        {13, 0, 0, true},     // the last text runs past the input: logged
        {1, 0, 0, true},      // not even the command: logged
    };
    for (const Case& c : cases) {
        LogCapture log;
        tagSample back;
        EXPECT_EQ(back.ReadData(std::span(image).first(c.given), c.expected), c.result)
            << c.given << "/" << c.expected;
        EXPECT_EQ(log.Has(kLevelWarn, "Error in tagSample : "), c.logged)
            << c.given << "/" << c.expected;
        if (c.result != 0) {
            EXPECT_EQ(back.Name, "abc");
            EXPECT_EQ(back.Value, -2);
            EXPECT_EQ(back.Note, "xy");
        }
    }
}

TEST(RecordToolkit, WriterNeverPassesItsSpan) {
    Bytes out(5, 0);
    wire::Writer w(out);
    w.u32(0xAABBCCDD);
    w.u16(0x1122);
    EXPECT_TRUE(w.overrun());
    EXPECT_EQ(w.position(), 4u);
    EXPECT_EQ(out, (Bytes{0xDD, 0xCC, 0xBB, 0xAA, 0}));
}

TEST(MMORPGPacket, ReadDataLengths) {
    LogCapture log;
    MMORPG::MMORPGPacket p;
    const Bytes body = {1, 2, 3};
    EXPECT_EQ(p.ReadData(body.data(), 3), 3);
    EXPECT_EQ(Bytes(p.Body().begin(), p.Body().end()), body);
    EXPECT_EQ(p.ReadData(body.data(), -4), -4);
    EXPECT_EQ(p.BodyLength(), 3u);
    EXPECT_TRUE(log.Has(kLevelError, "MMORPGPacket::ReadData(char *lpData, int Len), Len = -4"));
    EXPECT_EQ(p.ReadData(body.data(), 0), 0);
    EXPECT_EQ(p.BodyLength(), 0u);
}

TEST(MMORPGPacket, SendDataFramesHeadAndBody) {
    MMORPG::MMORPGPacket p;
    p.SetSessionID(0x01020304);
    p.SetPoolIndex(0x0506);
    p.SetPackType(7);
    p.SetDestServerType(stGameServer);
    p.SetSrcServerType(stVevIdor);
    p.ReadData(Bytes{0xAA, 0xBB});
    EXPECT_EQ(p.GetSendData(),
              (Bytes{0xFF, 0xCC, 11, 0, 0, 0, 4, 3, 2, 1, 6, 5, 7, 5, 7, 0xAA, 0xBB}));
    p.SetBodyOnly(true);
    EXPECT_EQ(p.GetSendData(), (Bytes{0xFF, 0xCC, 2, 0, 0, 0, 0xAA, 0xBB}));
    p.ReadData(nullptr, 0);
    EXPECT_EQ(p.GetSendData(), (Bytes{0xFF, 0xCC, 0, 0, 0, 0}));
}

TEST(MMORPGPacket, SendDataWithChecksumAndPendingBytes) {
    MMORPG::MMORPGPacket p;
    p.Dispatcher().SetUseCrc(true);
    p.Dispatcher().DispatchData(Bytes{0xFF, 0xCC, 9});  // pending bytes are dropped first
    p.SetBodyOnly(true);
    p.ReadData(Bytes{1, 4, 0x6C});
    EXPECT_EQ(p.GetSendData(), (Bytes{0xFF, 0xCC, 7, 0, 0, 0, 1, 4, 0x6C, 0x53, 0xF6, 0x42, 0x66}));
}

TEST(MMORPGPacket, OutOfRangeServerTypesAreLoggedButFramed) {
    struct Case {
        std::uint8_t dest, src;
        bool destLogged, srcLogged;
    };
    const Case cases[] = {
        {0, 7, true, false}, {13, 7, false, false}, {14, 7, true, false},
        {5, 0, false, true}, {5, 200, false, true},
    };
    for (const Case& c : cases) {
        LogCapture log;
        MMORPG::MMORPGPacket p;
        p.SetPackType(63);
        p.SetDestServerType(c.dest);
        p.SetSrcServerType(c.src);
        EXPECT_EQ(p.GetSendData().size(), 15u);
        EXPECT_EQ(log.Has(kLevelWarn,
                          "MMORPGPacket::GetSendData  m_PackHead.DestServerType <= stMin || "
                          "m_PackHead.DestServerType >= stMax  , packType=63"),
                  c.destLogged)
            << int(c.dest);
        EXPECT_EQ(log.Has(kLevelWarn, "m_PackHead.SrcServerType <= stMin"), c.srcLogged)
            << int(c.src);
    }
}

TEST(MMORPGPacket, CopyFromAndReset) {
    MMORPG::MMORPGPacket a;
    a.SetSessionID(9);
    a.SetPackType(4);
    a.ReadData(Bytes{5, 6});
    a.SetLastPack(true);
    a.SetBodyOnly(true);
    a.SetTargetIndex(33);
    a.SetInUse(true);

    MMORPG::MMORPGPacket b;
    b.CopyFrom(&a);
    EXPECT_EQ(b.m_PackHead, a.m_PackHead);
    EXPECT_EQ(Bytes(b.Body().begin(), b.Body().end()), (Bytes{5, 6}));
    EXPECT_TRUE(b.IsLastPack());
    EXPECT_TRUE(b.IsBodyOnly());
    EXPECT_EQ(b.GetTargetIndex(), 33);
    EXPECT_FALSE(b.IsInUse());  // the in-use flag is not copied

    // No source: body and flags cleared, head and in-use flag kept.
    a.CopyFrom(nullptr);
    EXPECT_EQ(a.GetSessionID(), 9u);
    EXPECT_EQ(a.BodyLength(), 0u);
    EXPECT_FALSE(a.IsLastPack());
    EXPECT_FALSE(a.IsBodyOnly());
    EXPECT_EQ(a.GetTargetIndex(), 0);
    EXPECT_TRUE(a.IsInUse());

    b.ResetPacket();
    EXPECT_EQ(b.GetPackType(), 4);
    EXPECT_EQ(b.BodyLength(), 0u);
    EXPECT_FALSE(b.IsLastPack());
    EXPECT_TRUE(a.CanFree());
    MMORPG::MMORPGPacket_Stack s;
    EXPECT_FALSE(s.CanFree());
}

}  // namespace
