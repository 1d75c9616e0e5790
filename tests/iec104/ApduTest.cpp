#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "iec104/Apdu.h"

namespace telegate {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Image(const T104APDU& a) {
    return Bytes(a.Data, a.Data + a.lenData);
}

std::unique_ptr<T104APDU> Tagged(uint8_t mark) {
    auto p = std::make_unique<T104APDU>();
    const uint8_t b[] = {0x68, 0x04, 0x01, 0x00, mark, 0x00};
    p->Create(b, 6, 0);
    return p;
}

TEST(ApduUFrames, SixFramesByteExact) {
    struct Case {
        U_Func f;
        UActCon a;
        Bytes want;
    };
    const Case cases[] = {
        {U_STARTDT, UACT, {0x68, 0x04, 0x07, 0x00, 0x00, 0x00}},
        {U_STARTDT, UCON, {0x68, 0x04, 0x0B, 0x00, 0x00, 0x00}},
        {U_STOPDT, UACT, {0x68, 0x04, 0x13, 0x00, 0x00, 0x00}},
        {U_STOPDT, UCON, {0x68, 0x04, 0x23, 0x00, 0x00, 0x00}},
        {U_TESTFR, UACT, {0x68, 0x04, 0x43, 0x00, 0x00, 0x00}},
        {U_TESTFR, UCON, {0x68, 0x04, 0x83, 0x00, 0x00, 0x00}},
    };
    for (const Case& c : cases) {
        T104APDU a;
        a.FormUCommand(c.f, c.a);
        EXPECT_EQ(Image(a), c.want);
        EXPECT_EQ(a.GetFormat(), apf_U);
        U_Func f;
        UActCon ac;
        ASSERT_TRUE(DecodeUFunc(a.Data[2] & 0xFC, f, ac));
        EXPECT_EQ(f, c.f);
        EXPECT_EQ(ac, c.a);
    }
}

TEST(ApduUFrames, UnassignedCodesAreRefused) {
    U_Func f = U_TESTFR;
    UActCon ac = UACT;
    for (int code : {0x00, 0x0C, 0x14, 0x44, 0xC0, 0xFC, 0x24})
        EXPECT_FALSE(DecodeUFunc(static_cast<uint8_t>(code), f, ac)) << code;
}

TEST(ApduSFrame, ByteExactAndAcrossTheRange) {
    T104APDU a;
    a.FormSCommand(5);
    EXPECT_EQ(Image(a), (Bytes{0x68, 0x04, 0x01, 0x00, 0x0A, 0x00}));
    EXPECT_EQ(a.GetFormat(), apf_S);
    a.FormSCommand(32767);
    EXPECT_EQ(Image(a), (Bytes{0x68, 0x04, 0x01, 0x00, 0xFE, 0xFF}));
    a.FormSCommand(200);
    EXPECT_EQ(Image(a), (Bytes{0x68, 0x04, 0x01, 0x00, 0x90, 0x01}));
    int32_t vs = -1, vr = -1;
    a.GetFromAPCI(1, vs, vr);
    EXPECT_EQ(vr, 200);
    EXPECT_EQ(vs, 0);
}

TEST(ApduControlField, GetFromApci) {
    T104APDU s;
    const uint8_t sb[] = {0x68, 0x04, 0x01, 0x00, 0x0A, 0x00};
    ASSERT_TRUE(s.Create(sb, 6, 0));
    int32_t vs = 99, vr = 99;
    s.GetFromAPCI(1, vs, vr);
    EXPECT_EQ(vr, 5);
    EXPECT_EQ(vs, 0);

    T104APDU i;
    const uint8_t ib[] = {0x68, 0x04, 0xFE, 0xFF, 0x02, 0x01};
    ASSERT_TRUE(i.Create(ib, 6, 0));
    EXPECT_EQ(i.GetFormat(), apf_I);
    i.GetFromAPCI(0, vs, vr);
    EXPECT_EQ(vs, 32767);
    EXPECT_EQ(vr, 129);
}

TEST(ApduControlField, FormatRecognition) {
    EXPECT_EQ(ApciFormat(0x00), apf_I);
    EXPECT_EQ(ApciFormat(0x02), apf_I);
    EXPECT_EQ(ApciFormat(0x01), apf_S);
    EXPECT_EQ(ApciFormat(0x03), apf_U);
    EXPECT_EQ(ApciFormat(0xFE), apf_I);
    EXPECT_EQ(ApciFormat(0x81), apf_S);
}

TEST(ApduControlField, SetISequenceRewritesOnlyTheControlField) {
    T104APDU a;
    const uint8_t b[] = {0x68, 0x0E, 0x00, 0x00, 0x00, 0x00, 0x64, 0x01,
                         0x06, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x14};
    ASSERT_TRUE(a.Create(b, 16, 0));
    a.SetISequence(5, 7);
    EXPECT_EQ(Image(a), (Bytes{0x68, 0x0E, 0x0A, 0x00, 0x0E, 0x00, 0x64, 0x01, 0x06, 0x00, 0x03,
                               0x00, 0x00, 0x00, 0x00, 0x14}));
    a.SetISequence(32767, 16384);
    EXPECT_EQ(a.Data[2], 0xFE);
    EXPECT_EQ(a.Data[3], 0xFF);
    EXPECT_EQ(a.Data[4], 0x00);
    EXPECT_EQ(a.Data[5], 0x80);
    int32_t vs = 0, vr = 0;
    a.GetFromAPCI(0, vs, vr);
    EXPECT_EQ(vs, 32767);
    EXPECT_EQ(vr, 16384);
    EXPECT_EQ(a.lenData, 16);
}

TEST(ApduCreate, CopyFromBytes) {
    const uint8_t b[] = {0xAA, 0xBB, 0x68, 0x04, 0x43, 0x00, 0x00, 0x00};
    T104APDU a;
    ASSERT_TRUE(a.Create(b, 6, 2));
    EXPECT_EQ(Image(a), (Bytes{0x68, 0x04, 0x43, 0x00, 0x00, 0x00}));

    std::vector<uint8_t> big(11300, 0x55);
    EXPECT_TRUE(a.Create(big.data(), 11254, 0));
    EXPECT_EQ(a.lenData, 11254);
    EXPECT_FALSE(a.Create(big.data(), 11255, 0));
    EXPECT_EQ(a.lenData, 0);
    EXPECT_FALSE(a.Create(big.data(), -1, 0));
    EXPECT_EQ(a.lenData, 0);
    EXPECT_TRUE(a.Create(big.data(), 0, 0));
    EXPECT_EQ(a.lenData, 0);
}

TEST(ApduToString, HexDump) {
    T104APDU a;
    a.FormUCommand(U_TESTFR, UACT);
    EXPECT_EQ(a.toString(""), "68 04 43 00 00 00 ");
    EXPECT_EQ(a.toString("Send_U:"), "Send_U:68 04 43 00 00 00 ");
    const uint8_t b[] = {0xAB, 0x0F};
    a.Create(b, 2, 0);
    EXPECT_EQ(a.toString("x"), "xAB 0F ");
    a.Create();
    EXPECT_EQ(a.toString("empty"), "empty");
}

TEST(SeqArithmetic, IncrementAndDistance) {
    EXPECT_EQ(SeqIncrement(0), 1);
    EXPECT_EQ(SeqIncrement(32766), 32767);
    EXPECT_EQ(SeqIncrement(32767), 0);

    EXPECT_EQ(SeqDistance(0, 32767), 1);
    EXPECT_EQ(SeqDistance(5, 3), 2);
    EXPECT_EQ(SeqDistance(3, 5), -2);
    EXPECT_EQ(SeqDistance(10, 200), 32578);
    EXPECT_EQ(SeqDistance(0, 100), -100);
    EXPECT_EQ(SeqDistance(0, 101), 32667);
    EXPECT_EQ(SeqDistance(7, 32760), 15);
    EXPECT_EQ(SeqDistance(4, 4), 0);
    // Walking k steps from any start gives distance k, across the wrap as well.
    for (int32_t start : {0, 32700, 32767}) {
        int32_t n = start;
        for (int32_t k = 1; k <= 80; ++k) {
            n = SeqIncrement(n);
            EXPECT_EQ(SeqDistance(n, start), k);
        }
    }
}

class BufferTest : public ::testing::Test {
  protected:
    // Holds three tagged frames 1, 2, 3.
    void Fill3(TBufferAPDU& q) {
        for (uint8_t m = 1; m <= 3; ++m) ASSERT_TRUE(q.Put1(Tagged(m)));
    }
    static void CheckInvariant(const TBufferAPDU& q) {
        EXPECT_LE(0, q.GetIndSend());
        EXPECT_LE(q.GetIndSend(), q.GetIndAdd());
        EXPECT_LE(q.GetIndAdd(), q.GetSize());
    }
};

TEST_F(BufferTest, EmptyQueue) {
    TBufferAPDU q(12);
    EXPECT_EQ(q.GetSize(), 12);
    EXPECT_TRUE(q.GetEmpty());
    EXPECT_FALSE(q.GetFull());
    EXPECT_TRUE(q.GetAllSended());
    EXPECT_EQ(q.GetToSend(), nullptr);
    q.Reset(false);
    q.Reset(true);
    EXPECT_TRUE(q.GetEmpty());
    CheckInvariant(q);
}

TEST_F(BufferTest, GetToSendKeepsEntries) {
    TBufferAPDU q(12);
    Fill3(q);
    EXPECT_EQ(q.GetToSend()->Data[4], 1);
    EXPECT_EQ(q.GetToSend()->Data[4], 2);
    EXPECT_FALSE(q.GetAllSended());
    EXPECT_EQ(q.GetToSend()->Data[4], 3);
    EXPECT_TRUE(q.GetAllSended());
    EXPECT_EQ(q.GetToSend(), nullptr);
    EXPECT_EQ(q.GetIndAdd(), 3);
    EXPECT_EQ(q.GetIndSend(), 3);
    CheckInvariant(q);
}

TEST_F(BufferTest, SendRepeatStartsFromTheOldest) {
    TBufferAPDU q(12);
    Fill3(q);
    for (int i = 0; i < 3; ++i) ASSERT_NE(q.GetToSend(), nullptr);
    q.SendRepeat();
    EXPECT_EQ(q.GetIndSend(), 0);
    EXPECT_EQ(q.GetToSend()->Data[4], 1);
    EXPECT_EQ(q.GetToSend()->Data[4], 2);
}

TEST_F(BufferTest, ResetReleasesTakenEntries) {
    TBufferAPDU q(12);
    Fill3(q);
    T104APDU* third = q.GetItem(2);
    q.GetToSend();
    q.GetToSend();
    q.Reset(false);
    EXPECT_EQ(q.GetIndAdd(), 1);
    EXPECT_EQ(q.GetIndSend(), 0);
    EXPECT_EQ(q.GetItem(0), third);
    EXPECT_EQ(q.GetItem(0)->Data[4], 3);
    EXPECT_EQ(q.GetItem(1), nullptr);
    CheckInvariant(q);
}

TEST_F(BufferTest, ResetAllEmpties) {
    TBufferAPDU q(12);
    Fill3(q);
    q.GetToSend();
    q.GetToSend();
    q.Reset(true);
    EXPECT_TRUE(q.GetEmpty());
    EXPECT_EQ(q.GetIndSend(), 0);
    EXPECT_EQ(q.GetToSend(), nullptr);
}

TEST_F(BufferTest, ResetWithNothingTakenKeepsAllInOrder) {
    TBufferAPDU q(12);
    Fill3(q);
    q.Reset(false);
    ASSERT_EQ(q.GetIndAdd(), 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(q.GetItem(i)->Data[4], i + 1);
}

TEST_F(BufferTest, FullQueueRefusesAndKeepsContents) {
    TBufferAPDU q(3);
    Fill3(q);
    EXPECT_TRUE(q.GetFull());
    EXPECT_FALSE(q.Put1(Tagged(9)));
    const uint8_t b[] = {0x68, 0x04, 0x01, 0x00, 0x09, 0x00};
    EXPECT_FALSE(q.Put1(b, 6, 0));
    EXPECT_EQ(q.GetIndAdd(), 3);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(q.GetItem(i)->Data[4], i + 1);
    q.GetToSend();
    q.Reset(false);
    EXPECT_FALSE(q.GetFull());
    EXPECT_TRUE(q.Put1(Tagged(4)));
    EXPECT_EQ(q.GetItem(2)->Data[4], 4);
    CheckInvariant(q);
}

TEST_F(BufferTest, PutCopyOfBytes) {
    TBufferAPDU q(2);
    const uint8_t b[] = {0x00, 0x68, 0x04, 0x83, 0x00, 0x00, 0x00};
    ASSERT_TRUE(q.Put1(b, 6, 1));
    EXPECT_EQ(Image(*q.GetItem(0)), (Bytes{0x68, 0x04, 0x83, 0x00, 0x00, 0x00}));
    std::vector<uint8_t> big(11300, 0);
    EXPECT_FALSE(q.Put1(big.data(), 11255, 0));
    EXPECT_EQ(q.GetIndAdd(), 1);
    EXPECT_FALSE(q.Put1(nullptr));
}

TEST_F(BufferTest, ReleaseFirstDropsOnlyAcknowledged) {
    TBufferAPDU q(12);
    for (uint8_t m = 1; m <= 5; ++m) ASSERT_TRUE(q.Put1(Tagged(m)));
    for (int i = 0; i < 4; ++i) q.GetToSend();  // 1..4 sent, 5 not yet
    q.ReleaseFirst(2);                          // N(R) acknowledges 1 and 2
    EXPECT_EQ(q.GetIndAdd(), 3);
    EXPECT_EQ(q.GetIndSend(), 2);  // 3 and 4 still sent, unacknowledged
    EXPECT_EQ(q.GetItem(0)->Data[4], 3);
    EXPECT_EQ(q.GetToSend()->Data[4], 5);
    q.ReleaseFirst(0);
    EXPECT_EQ(q.GetIndAdd(), 3);
    q.ReleaseFirst(-4);
    EXPECT_EQ(q.GetIndAdd(), 3);
    q.ReleaseFirst(100);  // clamped to what is held
    EXPECT_TRUE(q.GetEmpty());
    EXPECT_EQ(q.GetIndSend(), 0);
    CheckInvariant(q);
}

TEST_F(BufferTest, ReleasedApdusAreReused) {
    TBufferAPDU q(4);
    const uint8_t b[] = {0x68, 0x04, 0x01, 0x00, 0x02, 0x00};
    ASSERT_TRUE(q.Put1(b, 6, 0));
    const T104APDU* first = q.GetItem(0);
    q.Reset(true);
    std::unique_ptr<T104APDU> again = q.TakeFree();
    EXPECT_EQ(again.get(), first);
    EXPECT_EQ(again->lenData, 0);
    ASSERT_TRUE(q.Put1(std::move(again)));
    EXPECT_EQ(q.GetItem(0), first);
    // A fresh one when the pool is empty.
    std::unique_ptr<T104APDU> fresh = q.TakeFree();
    EXPECT_NE(fresh.get(), first);
}

TEST_F(BufferTest, CapacityIsClamped) {
    TBufferAPDU none(0);
    EXPECT_TRUE(none.GetFull());
    EXPECT_FALSE(none.Put1(Tagged(1)));
    TBufferAPDU negative(-5);
    EXPECT_EQ(negative.GetSize(), 0);
    EXPECT_TRUE(negative.GetFull());
    TBufferAPDU huge(2000000000);
    EXPECT_EQ(huge.GetSize(), 32767);
}

TEST_F(BufferTest, LongRunKeepsInvariant) {
    // A send window of 12 driven by a deterministic pattern of puts, sends,
    // acknowledgements and repeats.
    TBufferAPDU q(12);
    uint8_t next = 0, oldest = 0;
    uint32_t rnd = 12345;
    for (int step = 0; step < 5000; ++step) {
        rnd = rnd * 1103515245u + 12345u;
        switch ((rnd >> 16) % 4) {
            case 0:
                if (!q.GetFull()) {
                    ASSERT_TRUE(q.Put1(Tagged(next++)));
                }
                break;
            case 1:
                q.GetToSend();
                break;
            case 2: {
                const int32_t n = q.GetIndSend() > 0 ? static_cast<int32_t>((rnd >> 8) % 3) : 0;
                const int32_t released = std::min(n, q.GetIndAdd());
                q.ReleaseFirst(n);
                oldest = static_cast<uint8_t>(oldest + released);
                break;
            }
            default:
                q.SendRepeat();
                break;
        }
        CheckInvariant(q);
        for (int32_t i = 0; i < q.GetIndAdd(); ++i)
            ASSERT_EQ(q.GetItem(i)->Data[4], static_cast<uint8_t>(oldest + i));
    }
}

}  // namespace
}  // namespace telegate
