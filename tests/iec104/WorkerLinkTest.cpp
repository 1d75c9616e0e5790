// The link layer as it runs on the worker thread, fed blocks by hand: what it
// sends, what it hands to the main thread and when it asks to close.
#include <gtest/gtest.h>

#include <string>

#include "LinkFixture.h"
#include "iec104/WorkerLink.h"

namespace telegate::testlink {
namespace {

// N(S) = ns, N(R) = 0, one single point at IOA 1.
std::string IFrame(int ns) {
    return Chars(Hex("68 0E " + ToHex(std::string(1, static_cast<char>((ns << 1) & 0xFF))) + " " +
                     ToHex(std::string(1, static_cast<char>((ns >> 7) & 0xFF))) +
                     " 00 00 01 01 03 00 01 00 01 00 00 01"));
}

class WorkerLinkTest : public LinkFixture {
  protected:
    WorkerLinkTest() : wl(prm, Env(), 0xFFFFFFFFu) { wl.Connected(); }
    // STARTDT activation out, confirmation in.
    void Start() {
        TMainBatch b;
        wl.WantStartDt();
        wl.Service(b, false, 0);
        ASSERT_EQ(ToHex(wl.TakeOutput()), "68 04 07 00 00 00");
        wl.TakeBlock(Chars(Hex("68 04 0B 00 00 00")), b, false, 0);
        ASSERT_TRUE(b.DataStarted);
        wl.TakeOutput();
    }
    TWorkerLink wl;
};

TEST_F(WorkerLinkTest, FramesOfABlockAreAcknowledgedAtWAndHandedOverInOrder) {
    Start();
    std::string block;
    for (int ns = 0; ns < 10; ++ns) block += IFrame(ns);
    TMainBatch b;
    // Cut anywhere: the tail of the first piece waits for the second.
    wl.TakeBlock(block.substr(0, 100), b, false, 0);
    wl.TakeBlock(block.substr(100), b, false, 0);
    EXPECT_EQ(b.IFrames, block);
    // One S frame at w = 8; the last two wait for t2.
    EXPECT_EQ(ToHex(wl.TakeOutput()), "68 04 01 00 10 00");
    clock.Advance(prm.t2 + 1);
    TMainBatch later;
    wl.Service(later, false, 0);
    EXPECT_EQ(ToHex(wl.TakeOutput()), "68 04 01 00 14 00");
    EXPECT_TRUE(later.IFrames.empty());
}

TEST_F(WorkerLinkTest, OrderedAsduGoesOutWithTheLinksNumbersAndKeepsTheWindow) {
    Start();
    TMainBatch b;
    wl.TakeBlock(IFrame(0), b, false, 0);
    wl.TakeOutput();
    // An interrogation as the main thread builds it: APCI left for the link.
    const std::string gi = Chars(Hex("68 0E 00 00 00 00 64 01 06 00 01 00 00 00 00 14"));
    for (int i = 0; i < prm.kMax; ++i) ASSERT_TRUE(wl.QueueAsdu(gi));
    EXPECT_FALSE(wl.QueueAsdu(gi));  // the queue holds k frames
    wl.Service(b, false, 0);
    const std::string out = wl.TakeOutput();
    ASSERT_EQ(out.size(), 16u * static_cast<size_t>(prm.kMax));
    EXPECT_EQ(ToHex(out.substr(0, 16)), "68 0E 00 00 02 00 64 01 06 00 01 00 00 00 00 14");
    EXPECT_EQ(ToHex(out.substr(16, 6)), "68 0E 02 00 02 00");
    EXPECT_EQ(b.UnackedOut, prm.kMax);
    // Nothing more until the station acknowledges; then the window takes more.
    ASSERT_TRUE(wl.QueueAsdu(gi) == false);
    wl.TakeBlock(Chars(Hex("68 04 01 00 04 00")), b, false, 0);  // N(R) = 2
    EXPECT_TRUE(wl.QueueAsdu(gi));
    wl.Service(b, false, 0);
    EXPECT_EQ(ToHex(wl.TakeOutput().substr(0, 6)), "68 0E 18 00 02 00");
}

TEST_F(WorkerLinkTest, ProtocolErrorsAndT1AskTheWorkerToClose) {
    struct TCase {
        const char* what;
        std::string block;
        int advance;
        size_t handedOver;  // octets of I frames still handed to the main thread
    };
    const std::string gi = Chars(Hex("68 0E 00 00 00 00 64 01 06 00 01 00 00 00 00 14"));
    const TCase cases[] = {
        // The frame after a gap is still decoded, as on the main thread before.
        {"sequence gap", IFrame(3), 0, 16},
        {"ack of a frame never sent", Chars(Hex("68 04 01 00 08 00")), 0, 0},
        {"bad start octet", Chars(Hex("67 04 01 00 00 00")), 0, 0},
        {"t1 without acknowledgement", std::string(), prm.t1 + 1, 0},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        wl.Connected();
        Start();
        TMainBatch b;
        if (c.advance > 0) {
            ASSERT_TRUE(wl.QueueAsdu(gi));
            wl.Service(b, false, 0);
            wl.TakeOutput();
            clock.Advance(c.advance);
            wl.Service(b, false, 0);
        } else {
            wl.TakeBlock(c.block, b, false, 0);
            wl.Service(b, false, 0);
        }
        EXPECT_TRUE(wl.TakeStopRequest());
        EXPECT_FALSE(wl.TakeStopRequest());
        EXPECT_EQ(b.IFrames.size(), c.handedOver);
        wl.Disconnected();
    }
}

TEST_F(WorkerLinkTest, JournalLinesMoveToTheBatch) {
    Start();
    TMainBatch b;
    wl.TakeBlock(IFrame(0), b, false, 0);
    wl.MoveJournal(b);
    bool sawI = false;
    for (const TJournalLine& l : b.Journal) sawI = sawI || l.Text.rfind(">(iec0)", 0) == 0;
    EXPECT_TRUE(sawI);
    TMainBatch again;
    wl.MoveJournal(again);
    EXPECT_TRUE(again.Journal.empty());
}

}  // namespace
}  // namespace telegate::testlink
