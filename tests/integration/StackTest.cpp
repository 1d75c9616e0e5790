// The master's IEC 60870-5-104 stack (worker threads with real TCP, station
// clients, channel controllers, tags) against telegate-sim over loopback TCP,
// without the application layer. What the station received is checked at the
// simulator's own lines ("rx", "command", "interrogation", "connected", ...).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "integration/SimProcess.h"
#include "integration/StackHarness.h"
#include "model/ConfigFile.h"
#include "platform/LoopbackPeer.h"
#include "support/DateTime.h"
#include "support/Notifier.h"

namespace telegate {
namespace {

namespace fs = std::filesystem;
using test::TSimProcess;
using test::TStackHarness;
using test::TStackOptions;
using Ms = std::chrono::milliseconds;

const std::string kSim = std::string(TELEGATE_BIN_DIR) + "/" + test::ExecutableName("telegate-sim");

// The station every test serves: common address 1, two-state points at object
// addresses 1..4 (commands for them at 5000..5003), measured points at 4001..4004.
constexpr int kCa = 1;
constexpr int kTsCount = 4;
constexpr int kTiCount = 4;
constexpr int kTsFirst = 1;
constexpr int kTuFirst = 5000;
constexpr int kTiFirst = 4001;

class StackTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "tg-stack-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        cfg_ = (dir_ / kConfigFileName).string();
        table_ = std::make_unique<TStationTable>();
        {
            // Written through the configuration writer, then read back the way
            // polling reads it.
            auto src = std::make_unique<TStationTable>();
            src->Kol_KP = 1;
            T_KP& kp = src->KP_arr[1];
            kp.NameKP = "ПС Тестовая";
            kp.IP = "127.0.0.1";
            kp.Port = 2404;
            kp.ASDU_Adr = kCa;
            kp.Kol_TS = kTsCount;
            kp.Kol_TI = kTiCount;
            for (int i = 1; i <= kTsCount; ++i) {
                T_TS& ts = kp.TS_arr[i];
                ts.NameTS = "Выключатель " + std::to_string(i);
                ts.AdrASDU = kCa;
                ts.AdrIOA = kTsFirst + i - 1;
                ts.AdrASDU_TU = kCa;
                ts.AdrIOA_TU = kTuFirst + i - 1;
            }
            for (int i = 1; i <= kTiCount; ++i) {
                T_TI& ti = kp.TI_arr[i];
                ti.NameTI = "Ток " + std::to_string(i);
                ti.AdrASDU = kCa;
                ti.AdrIOA = kTiFirst + i - 1;
                ti.Max_TM_Diap = ti.Max_Eng_Diap = 1000;
            }
            WriteConfigFile(cfg_, *src);
        }
        TRecordingNotifier notifier;
        ReadConfigFile(cfg_, *table_, notifier);
        ASSERT_TRUE(notifier.errors.empty());
        ASSERT_EQ(table_->Kol_KP, 1);
        ASSERT_EQ(table_->KP_arr[1].Kol_TS, kTsCount);
        ASSERT_EQ(table_->KP_arr[1].Kol_TI, kTiCount);
    }

    void TearDown() override {
        if (stack_ != nullptr) {
            stack_->Stop();
            EXPECT_EQ(stack_->exceptions.load(), 0);
        }
        stack_.reset();
        sim_.Kill();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // The simulator serving the test station on a free port.
    void StartSim(std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"--config", cfg_, "--port", "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(sim_.Start(kSim, args)) << sim_.Error();
        port_ = std::to_string(sim_.Port());
    }

    void StartStack(TStackOptions opt = {}) {
        stack_ = std::make_unique<TStackHarness>(*table_, std::vector<int>{sim_.Port()}, opt);
        stack_->Start();
    }

    // Connected, data transfer started, the general interrogation answered and
    // every tag of the station received.
    void WaitOnline(size_t fromLine = 0) {
        ASSERT_TRUE(stack_->WaitUntil([&] { return stack_->Started(1); }, 5000)) << sim_.AllText();
        ASSERT_TRUE(
            sim_.WaitFor("interrogation " + port_ + " ca=1 qoi=20 objects=8", 5000, fromLine))
            << sim_.AllText();
        ASSERT_TRUE(stack_->WaitUntil([&] { return AllReceived(); }, 5000));
    }

    bool AllReceived() {
        for (const TTagSignal& t : stack_->Tags().List)
            if (!t.FprReceive) return false;
        return true;
    }

    // Loop thread: the tag at the test station's (ca, ioa).
    TTagSignal* Tag(int ioa) { return stack_->Tag(1, kCa, ioa); }

    // The armature value of a tag, read on the loop thread.
    struct TSeen {
        bool found = false;
        TagCategName pdc = tcn_None;
        int32_t i = 0;
        double f = 0;
        uint8_t q = 0;
        TDateTime dt = 0;
        uint8_t bv[8] = {};
    };
    TSeen Read(int ioa) {
        return stack_->Call([&] {
            TSeen s;
            TTagSignal* t = Tag(ioa);
            if (t == nullptr) return s;
            s.found = true;
            s.pdc = t->Value.pdc;
            t->GetArmValue(s.i, s.q, s.f, s.dt);
            for (int k = 0; k < 8; ++k) s.bv[k] = t->Value.bv[k];
            return s;
        });
    }

    // Waits (at most 2 s) for a journal line that contains text.
    bool JournalHas(const std::string& text) {
        const auto deadline = std::chrono::steady_clock::now() + Ms(2000);
        do {
            for (const std::string& l : stack_->JournalLines())
                if (l.find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(Ms(20));
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }

    // Sim lines since `from` that contain text.
    size_t CountLines(const std::string& text, size_t from = 0) const {
        return sim_.Matching(text, from).size();
    }

    fs::path dir_;
    std::string cfg_;
    std::unique_ptr<TStationTable> table_;
    TSimProcess sim_;
    std::string port_;
    std::unique_ptr<TStackHarness> stack_;
};

// ---------------------------------------------------------------------------------
// Connection set-up

TEST_F(StackTest, ConnectsStartsDataTransferAndInterrogates) {
    StartSim();
    StartStack();
    WaitOnline();
    // The first frames the station saw: STARTDT, then the interrogation of its
    // common address with N(S) = 0.
    const auto lines = sim_.Matching("rx " + port_ + " ");
    ASSERT_GE(lines.size(), 2u) << sim_.AllText();
    EXPECT_EQ(lines[0].text, "rx " + port_ + " U STARTDT act");
    EXPECT_EQ(lines[1].text.rfind("rx " + port_ +
                                      " I ns=0 nr=0 type=C_IC_NA(100) sq=0 n=1 cot=6 pn=0 "
                                      "test=0 oa=0 ca=1 ioa=0 qoi=20",
                                  0),
              0u)
        << lines[1].text;
    // Every tag holds the interrogated state: off / 0, good, no time tag.
    for (int i = 0; i < kTsCount; ++i) {
        const TSeen s = Read(kTsFirst + i);
        ASSERT_TRUE(s.found);
        EXPECT_EQ(s.pdc, dcn_SingleTS1);
        EXPECT_EQ(s.i, 0);
        EXPECT_EQ(s.q, 0);
        EXPECT_EQ(s.dt, 0);
    }
    for (int i = 0; i < kTiCount; ++i) {
        const TSeen s = Read(kTiFirst + i);
        ASSERT_TRUE(s.found);
        EXPECT_EQ(s.pdc, dcn_TITfloat);
        EXPECT_EQ(s.f, 0.0);
        EXPECT_EQ(s.q, 0);
    }
    EXPECT_EQ(stack_->connects.load(), 1);
    EXPECT_EQ(stack_->disconnects.load(), 0);
}

// ---------------------------------------------------------------------------------
// Values of every handled type, with and without time tags and packing

struct TTypeCase {
    const char* type;  // --type of the simulator
    const char* time;  // --time
    bool sq = false;
    int perAsdu = 1;
};

void PrintTo(const TTypeCase& c, std::ostream* os) {
    *os << c.type << " " << c.time << (c.sq ? " sq" : "") << " per-asdu " << c.perAsdu;
}

std::string CaseName(const ::testing::TestParamInfo<TTypeCase>& info) {
    std::string s = std::string(info.param.type) + "_" + info.param.time;
    if (info.param.sq) s += "_sq";
    if (info.param.perAsdu > 1) s += "_per" + std::to_string(info.param.perAsdu);
    return s;
}

bool IsTwoState(const std::string& type) {
    return type == "sp" || type == "dp";
}

TagCategName KindOf(const std::string& type) {
    if (type == "sp") return dcn_SingleTS1;
    if (type == "dp") return dcn_DoubleTS;
    if (type == "st") return dcn_Diskr7;
    if (type == "bo") return dcn_TS32;
    if (type == "nva") return dcn_TITnorm;
    if (type == "sva") return dcn_TITscale1;
    if (type == "it") return dcn_TII;
    return dcn_TITfloat;
}

class StackTypeTest : public StackTest, public ::testing::WithParamInterface<TTypeCase> {
  protected:
    // A time tag read from the station: within a few seconds of now. A three-octet
    // tag takes the hour from the master's clock, so an hour boundary between the
    // two ends may shift it by one hour.
    void ExpectTime(const std::string& time, TDateTime dt) {
        const TDateTime now = stack_->Clock().Now();
        const double tol = 5.0 / 86400.0;
        if (time == "none") {
            EXPECT_EQ(dt, 0);
        } else if (time == "cp56") {
            EXPECT_NEAR(dt, now, tol) << FormatDateTime(dt) << " vs " << FormatDateTime(now);
        } else {
            const double hour = 1.0 / 24.0;
            const bool nearNow = std::fabs(dt - now) < tol || std::fabs(dt - now - hour) < tol ||
                                 std::fabs(dt - now + hour) < tol;
            EXPECT_TRUE(nearNow) << FormatDateTime(dt) << " vs " << FormatDateTime(now);
        }
    }
};

TEST_P(StackTypeTest, ValuesLandInTagsWithQualityAndTime) {
    const TTypeCase c = GetParam();
    const std::string type = c.type;
    const bool twoState = IsTwoState(type);
    std::vector<std::string> args{"--type", type, "--time", c.time};
    if (c.sq) args.push_back("--sq");
    if (c.perAsdu > 1) args.insert(args.end(), {"--per-asdu", std::to_string(c.perAsdu)});
    if (c.perAsdu > 1 || c.sq) args.push_back("--verbose");
    StartSim(args);
    StartStack();
    WaitOnline();

    // The interrogation: initial states, of the kind of the type, without time.
    const TagCategName tsKind = twoState ? KindOf(type) : dcn_SingleTS1;
    const TagCategName tiKind = twoState ? dcn_TITfloat : KindOf(type);
    for (int i = 0; i < kTsCount; ++i) {
        const TSeen s = Read(kTsFirst + i);
        EXPECT_EQ(s.pdc, tsKind) << "two-state " << i;
        EXPECT_EQ(s.i, 0);
        EXPECT_EQ(s.dt, 0);
    }
    for (int i = 0; i < kTiCount; ++i) {
        const TSeen s = Read(kTiFirst + i);
        EXPECT_EQ(s.pdc, tiKind) << "measured " << i;
        EXPECT_EQ(s.f, 0.0);
        EXPECT_EQ(s.i, 0);
        EXPECT_EQ(s.dt, 0);
    }

    if (c.perAsdu > 1 || c.sq) {
        // Spontaneous packing: one burst steps every point once, two-state points
        // in one ASDU, measured points in the next.
        ASSERT_TRUE(sim_.Command("burst 8"));
        ASSERT_TRUE(stack_->WaitUntil(
            [&] {
                for (int i = 0; i < kTsCount; ++i) {
                    int32_t iv;
                    uint8_t q;
                    double f;
                    TDateTime dt = 0;
                    Tag(kTsFirst + i)->GetArmValue(iv, q, f, dt);
                    if (iv != 1) return false;
                }
                for (int i = 0; i < kTiCount; ++i)
                    if (Tag(kTiFirst + i)->Value.bv[0] == 0 &&
                        Tag(kTiFirst + i)->Value.bv[1] == 0 &&
                        Tag(kTiFirst + i)->Value.bv[2] == 0 && Tag(kTiFirst + i)->Value.bv[3] == 0)
                        return false;
                return true;
            },
            5000))
            << sim_.AllText();
        for (int i = 0; i < kTiCount; ++i) {
            const TSeen s = Read(kTiFirst + i);
            switch (s.pdc) {
                case dcn_TITfloat:
                    EXPECT_EQ(s.f, 1.25);
                    break;
                case dcn_TITnorm:
                    EXPECT_EQ(s.f, 4096.0);  // 0.125 of full scale, raw
                    break;
                case dcn_TITscale1:
                    EXPECT_EQ(s.f, 1.0);
                    break;
                default:
                    EXPECT_EQ(s.i, 1);
                    break;
            }
            ExpectTime(c.time, s.dt);
        }
        for (int i = 0; i < kTsCount; ++i) ExpectTime(c.time, Read(kTsFirst + i).dt);
        // They came packed as asked: both ASDUs spontaneous, with that many objects.
        const std::string packed =
            std::string("sq=") + (c.sq ? "1" : "0") + " n=" + std::to_string(c.perAsdu) + " cot=3 ";
        size_t spontaneous = 0;
        for (const auto& l : sim_.Matching("tx " + port_ + " I ")) {
            if (l.text.find(" cot=3 ") == std::string::npos) continue;
            ++spontaneous;
            EXPECT_NE(l.text.find(packed), std::string::npos) << l.text;
        }
        EXPECT_EQ(spontaneous, static_cast<size_t>((kTsCount + kTiCount) / c.perAsdu));
        EXPECT_EQ(stack_->connects.load(), 1);
        return;
    }

    // One spontaneous object with a chosen value and quality (NT, or CY for a counter).
    const int ioa = twoState ? kTsFirst + 1 : kTiFirst + 1;
    std::string value = "1";
    if (type == "st") value = "-5";
    if (type == "bo") value = "42405";  // A5A5
    if (type == "nva") value = "0.5";
    if (type == "sva") value = "-1234";
    if (type == "float") value = "12.5";
    if (type == "it") value = "123456";
    const std::string q = type == "it" ? "20" : "40";
    ASSERT_TRUE(sim_.Command("set " + std::to_string(ioa) + " " + value + " " + q));
    ASSERT_TRUE(stack_->WaitUntil([&] { return Tag(ioa)->Value.Qualit != 0; }, 5000))
        << sim_.AllText();
    const TSeen s = Read(ioa);
    EXPECT_EQ(s.pdc, KindOf(type));
    EXPECT_EQ(s.q, type == "it" ? 0x20 : 0x40);
    if (type == "sp" || type == "dp") {
        EXPECT_EQ(s.i, 1);
    }
    if (type == "st") {
        EXPECT_EQ(s.i, -5);
        EXPECT_EQ(s.f, -5.0);
    }
    if (type == "bo") {
        EXPECT_EQ(s.bv[0], 0xA5);
        EXPECT_EQ(s.bv[1], 0xA5);
        EXPECT_EQ(s.bv[2], 0x00);
        EXPECT_EQ(s.bv[3], 0x00);
    }
    if (type == "nva") {
        EXPECT_EQ(s.f, 16384.0);
    }
    if (type == "sva") {
        EXPECT_EQ(s.f, -1234.0);
    }
    if (type == "float") {
        EXPECT_EQ(s.f, 12.5);
    }
    if (type == "it") {
        EXPECT_EQ(s.i, 123456);
        EXPECT_EQ(s.f, 123456.0);
    }
    ExpectTime(c.time, s.dt);
    // The neighbours kept their interrogated state.
    const TSeen other = Read(ioa + 1);
    EXPECT_EQ(other.q, 0);
    EXPECT_EQ(other.dt, 0);
    EXPECT_EQ(stack_->connects.load(), 1);
}

std::vector<TTypeCase> AllTypeCases() {
    std::vector<TTypeCase> r;
    for (const char* type : {"sp", "dp", "st", "bo", "nva", "sva", "float", "it"})
        for (const char* time : {"none", "cp24", "cp56"}) r.push_back({type, time});
    r.push_back({"float", "cp56", true, 4});
    r.push_back({"sp", "none", true, 4});
    r.push_back({"dp", "cp24", false, 4});
    r.push_back({"sva", "cp56", true, 1});
    r.push_back({"it", "none", false, 2});
    return r;
}

INSTANTIATE_TEST_SUITE_P(Types, StackTypeTest, ::testing::ValuesIn(AllTypeCases()), CaseName);

// ---------------------------------------------------------------------------------
// Link supervision and recovery

TEST_F(StackTest, ReconnectsAfterTheStationDrops) {
    StartSim();
    StartStack();
    WaitOnline();
    const size_t mark = sim_.LineCount();
    ASSERT_TRUE(sim_.Command("drop"));
    ASSERT_TRUE(sim_.WaitFor("disconnected " + port_, 3000, mark));
    ASSERT_TRUE(stack_->WaitUntil([&] { return stack_->disconnects.load() >= 1; }, 3000));
    // A new connection, STARTDT and interrogation again.
    const auto again = sim_.WaitFor("connected " + port_, 6000, mark);
    ASSERT_TRUE(again) << sim_.AllText(mark);
    ASSERT_TRUE(sim_.WaitFor("rx " + port_ + " U STARTDT act", 3000, *again));
    ASSERT_TRUE(sim_.WaitFor("interrogation " + port_, 3000, *again));
    ASSERT_TRUE(stack_->WaitUntil([&] { return stack_->Started(1); }, 3000));
    // The new connection numbers its frames from zero.
    EXPECT_EQ(CountLines("rx " + port_ + " I ns=0 nr=0 type=C_IC_NA", *again), 1u);
    // And carries data.
    ASSERT_TRUE(sim_.Command("set 4003 42.5"));
    ASSERT_TRUE(stack_->WaitUntil([&] { return Tag(4003)->Value.bv[3] != 0; }, 3000));
    EXPECT_EQ(Read(4003).f, 42.5);
    EXPECT_EQ(stack_->connects.load(), 2);
}

// A station that accepts every connection and closes it at once: the master goes
// on reconnecting with its back-off, but nothing is sent or journaled as sent on
// a link that is already gone, so the journal does not fill with failed sends.
TEST_F(StackTest, StationThatClosesAtOnceGetsNoSendsOnTheDeadLink) {
    testing::TLoopbackListener listener(64);
    ASSERT_TRUE(listener.Valid());
    std::atomic<bool> stop{false};
    std::atomic<int> accepted{0};
    std::thread station([&] {
        while (!stop.load()) {
            testing::TLoopbackPeer peer = listener.Accept(20);
            if (!peer.Valid()) continue;
            ++accepted;
            peer.Close();
        }
    });
    TStackOptions opt;
    opt.journalMask = ~0u;  // every category, as an operator hunting a fault would
    stack_ = std::make_unique<TStackHarness>(*table_, std::vector<int>{listener.Port()}, opt);
    const auto started = std::chrono::steady_clock::now();
    stack_->Start();
    // Three connections: the back-off between them (2 s) lets many 50 ms
    // passes run while the link is down.
    const bool three = stack_->WaitUntil([&] { return accepted.load() >= 3; }, 15000);
    // And the time after the last close, in which a stale step would repeat.
    std::this_thread::sleep_for(Ms(700));
    stack_->Stop();
    const double minutes =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count() / 60.0;
    stop.store(true);
    station.join();
    ASSERT_TRUE(three) << "accepted " << accepted.load();

    const auto lines = stack_->JournalLines();
    size_t failedSends = 0;
    size_t startdt = 0;
    for (const auto& l : lines) {
        if (l.find("Error Send") != std::string::npos) ++failedSends;
        if (l.find("Send_U:") != std::string::npos) ++startdt;
    }
    std::printf(
        "[ figures  ] station closing at once: %d connections, %zu journal lines, "
        "%.0f lines per minute\n",
        accepted.load(), lines.size(), static_cast<double>(lines.size()) / minutes);
    EXPECT_EQ(failedSends, 0u);
    // At most one STARTDT per connection (when it left before the close was seen).
    EXPECT_LE(startdt, static_cast<size_t>(accepted.load()));
    // A handful of connection lines per attempt, not one per pass.
    EXPECT_LE(lines.size(), static_cast<size_t>(accepted.load()) * 12) << [&] {
        std::string all;
        for (const auto& l : lines) all += l + "\n";
        return all;
    }();
}

// A station whose own k is far above ours writes up to 128 I frames at once: the
// master takes them all without a restart and acknowledges at w, in the middle of
// such a block, so no acknowledgement covers more than w frames.
TEST_F(StackTest, BurstFromAStationWithALargeKIsTakenAndAcknowledgedAtW) {
    StartSim({"--k", "128"});
    StartStack();
    WaitOnline();
    const size_t mark = sim_.LineCount();
    ASSERT_TRUE(sim_.Command("burst 2000"));
    std::string status;
    for (int i = 0; i < 100; ++i) {
        const size_t from = sim_.LineCount();
        ASSERT_TRUE(sim_.Command("status"));
        const auto idx = sim_.WaitFor("largest-ack=", 2000, from);
        ASSERT_TRUE(idx.has_value());
        status = sim_.Line(*idx).text;
        // Done once the station has sent everything and the master has read it all:
        // frames still in the socket are not yet acknowledged, whatever w is.
        const size_t unacked = status.find("unacked=");
        if (status.find("queued=0 ") != std::string::npos &&
            status.find("spontaneous=2000 ") != std::string::npos && unacked != std::string::npos &&
            std::atoi(status.c_str() + unacked + 8) < 8)
            break;
        std::this_thread::sleep_for(Ms(50));
    }
    EXPECT_NE(status.find("spontaneous=2000 "), std::string::npos) << status;
    // Only the last frames (fewer than w) may still wait for t2.
    const size_t un = status.find("unacked=");
    ASSERT_NE(un, std::string::npos);
    EXPECT_LT(std::atoi(status.c_str() + un + 8), 8) << status;
    const size_t la = status.find("largest-ack=");
    EXPECT_LE(std::atoi(status.c_str() + la + 12), 8) << status;
    EXPECT_EQ(CountLines("disconnected", mark), 0u) << sim_.AllText(mark);
    EXPECT_EQ(stack_->connects.load(), 1);
}

// A command while the station floods the master with frames faster than they
// are decoded: select and execute go out, each within a service pass, the flood
// is taken whole, acknowledged at w, and the connection stays up.
TEST_F(StackTest, CommandInterleavedWithAFloodGoesOutAndTheFloodIsTakenWhole) {
    StartSim({"--k", "128"});
    StartStack();
    WaitOnline();
    const size_t mark = sim_.LineCount();
    ASSERT_TRUE(sim_.Command("burst 20000"));
    // The command starts while the burst is under way.
    std::this_thread::sleep_for(Ms(20));
    stack_->Call([&] {
        T104Client& cl = stack_->Client(1);
        cl.ElemTU.fl.Operation(FClearAll, 0);
        cl.ElemTU.Init(tuCommand_On, kCa, kTuFirst, cl.prm, true);
    });
    const std::string tail = std::string(" ca=1 ioa=5000 state=on");
    const auto sel = sim_.WaitFor("command " + port_ + " select" + tail, 10000, mark);
    ASSERT_TRUE(sel) << sim_.AllText(mark);
    ASSERT_TRUE(sim_.WaitFor("command " + port_ + " execute" + tail, 10000, *sel))
        << sim_.AllText(mark);
    std::string status;
    for (int i = 0; i < 200; ++i) {
        const size_t from = sim_.LineCount();
        ASSERT_TRUE(sim_.Command("status"));
        const auto idx = sim_.WaitFor("largest-ack=", 2000, from);
        ASSERT_TRUE(idx.has_value());
        status = sim_.Line(*idx).text;
        const size_t unacked = status.find("unacked=");
        if (status.find("queued=0 ") != std::string::npos &&
            status.find("spontaneous=20000 ") != std::string::npos &&
            unacked != std::string::npos && std::atoi(status.c_str() + unacked + 8) < 8)
            break;
        std::this_thread::sleep_for(Ms(50));
    }
    EXPECT_NE(status.find("spontaneous=20000 "), std::string::npos) << status;
    const size_t la = status.find("largest-ack=");
    ASSERT_NE(la, std::string::npos);
    EXPECT_LE(std::atoi(status.c_str() + la + 12), 8) << status;
    ASSERT_TRUE(stack_->WaitUntil(
        [&] {
            TElemTU& tu = stack_->Client(1).ElemTU;
            return tu.step1 == stuNone && tu.fl.Op(FYes, btue_TU_SendExecute);
        },
        5000));
    EXPECT_FALSE(
        stack_->Call([&] { return stack_->Client(1).ElemTU.fl.Op(FYes, btue_TU_TimeOut1); }));
    EXPECT_EQ(CountLines("disconnected", mark), 0u) << sim_.AllText(mark);
    EXPECT_EQ(stack_->connects.load(), 1);
}

TEST_F(StackTest, SendsTestFrameAfterT3OfSilence) {
    StartSim({"--verbose"});
    TStackOptions opt;
    opt.t2 = 300;
    opt.t3 = 1000;
    StartStack(opt);
    WaitOnline();
    const size_t mark = sim_.LineCount();
    const auto first = sim_.WaitFor("rx " + port_ + " U TESTFR act", 4000, mark);
    ASSERT_TRUE(first) << sim_.AllText(mark);
    const auto second = sim_.WaitFor("rx " + port_ + " U TESTFR act", 4000, *first + 1);
    ASSERT_TRUE(second) << sim_.AllText(mark);
    // The last thing the station sent before each test frame: t3 lies between.
    auto lastTxBefore = [&](size_t at) {
        const auto lines = sim_.Lines(0);
        for (size_t i = at; i-- > 0;)
            if (lines[i].text.rfind("tx " + port_ + " ", 0) == 0) return lines[i].at;
        return TSimProcess::TClock::time_point{};
    };
    for (size_t at : {*first, *second}) {
        const auto quiet =
            std::chrono::duration_cast<Ms>(sim_.Line(at).at - lastTxBefore(at)).count();
        EXPECT_GE(quiet, 950) << sim_.AllText(mark);
        EXPECT_LE(quiet, 1800) << sim_.AllText(mark);
    }
    // The station's confirmation answers it; the link stays up.
    EXPECT_GE(CountLines("tx " + port_ + " U TESTFR con", mark), 1u);
    EXPECT_EQ(CountLines("disconnected", mark), 0u);
    EXPECT_EQ(stack_->connects.load(), 1);
}

// Fewer than w frames from a quiet station: the poller takes them, and the
// station's own thread, asleep until its link's next timer, acknowledges them
// when t2 has run out - not earlier, and not a pass pause later.
TEST_F(StackTest, FewFramesAreAcknowledgedWhenT2RunsOut) {
    StartSim({"--verbose"});
    TStackOptions opt;
    opt.t2 = 400;
    StartStack(opt);
    WaitOnline();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        const size_t mark = sim_.LineCount();
        for (int i = 0; i < 3; ++i)
            ASSERT_TRUE(sim_.Command("set " + std::to_string(kTiFirst + i) + " " +
                                     std::to_string(round * 10 + i + 1)));
        const auto ack = sim_.WaitFor("rx " + port_ + " S", 3000, mark);
        ASSERT_TRUE(ack) << sim_.AllText(mark);
        std::optional<size_t> firstI;
        const auto lines = sim_.Lines(mark);
        for (size_t i = 0; i < lines.size() && !firstI; ++i)
            if (lines[i].text.rfind("tx " + port_ + " I ", 0) == 0) firstI = mark + i;
        ASSERT_TRUE(firstI) << sim_.AllText(mark);
        const auto waited =
            std::chrono::duration_cast<Ms>(sim_.Line(*ack).at - sim_.Line(*firstI).at).count();
        EXPECT_GE(waited, 390) << sim_.AllText(mark);
        EXPECT_LE(waited, 900) << sim_.AllText(mark);
    }
    EXPECT_EQ(stack_->connects.load(), 1);
}

TEST_F(StackTest, SequenceGapDropsAndReestablishesTheConnection) {
    StartSim();
    StartStack();
    WaitOnline();
    const size_t mark = sim_.LineCount();
    ASSERT_TRUE(sim_.Command("gap"));
    ASSERT_TRUE(sim_.Command("set 4002 7.5"));
    ASSERT_TRUE(sim_.WaitFor("gap " + port_, 3000, mark));
    const auto closed = sim_.WaitFor("disconnected " + port_, 3000, mark);
    ASSERT_TRUE(closed) << sim_.AllText(mark);
    EXPECT_NE(sim_.Line(*closed).text.find("closed by peer"), std::string::npos);
    const auto again = sim_.WaitFor("connected " + port_, 6000, *closed);
    ASSERT_TRUE(again) << sim_.AllText(mark);
    ASSERT_TRUE(sim_.WaitFor("interrogation " + port_, 3000, *again));
    // The value comes back through the new interrogation.
    ASSERT_TRUE(stack_->WaitUntil([&] { return Tag(4002)->Value.bv[3] != 0; }, 3000));
    EXPECT_EQ(Read(4002).f, 7.5);
    EXPECT_TRUE(JournalHas("Нарушена последовательность APDU_I"));
    EXPECT_EQ(stack_->connects.load(), 2);
}

TEST_F(StackTest, UnacknowledgedFrameClosesTheConnectionAfterT1WithoutRepeating) {
    StartSim();
    TStackOptions opt;
    opt.t1 = 1000;
    StartStack(opt);
    WaitOnline();
    const size_t mark = sim_.LineCount();
    ASSERT_TRUE(sim_.Command("ack off"));
    // Only an OFF select goes out and the station confirms it; nothing acknowledges
    // it, so 1 s later the connection is closed, not the frame repeated.
    const auto t0 = TSimProcess::TClock::now();
    stack_->Call([&] {
        T104Client& cl = stack_->Client(1);
        cl.ElemTU.fl.Operation(FClearAll, 0);
        cl.ElemTU.Init(tuCommand_Off, kCa, kTuFirst + 2, cl.prm, false);
    });
    const auto select = sim_.WaitFor("command " + port_ + " select", 3000, mark);
    ASSERT_TRUE(select) << sim_.AllText(mark);
    const auto closed = sim_.WaitFor("disconnected " + port_, 4000, *select);
    ASSERT_TRUE(closed) << sim_.AllText(mark);
    const auto after = std::chrono::duration_cast<Ms>(sim_.Line(*closed).at - t0).count();
    EXPECT_GE(after, 950);
    EXPECT_LE(after, 2500);
    EXPECT_EQ(CountLines("type=C_SC_NA", mark), 1u) << sim_.AllText(mark);
    // And it comes back by itself.
    ASSERT_TRUE(sim_.WaitFor("connected " + port_, 6000, *closed));
    ASSERT_TRUE(stack_->WaitUntil([&] { return stack_->Started(1); }, 3000));
}

// ---------------------------------------------------------------------------------
// Telecontrol

TEST_F(StackTest, SelectBeforeOperateOnAndOff) {
    StartSim();
    StartStack();
    WaitOnline();
    struct TStep {
        TTUCommand cmd;
        const char* state;
        const char* selectSco;
        const char* executeSco;
        int value;
    };
    for (const TStep& step :
         {TStep{tuCommand_On, "on", "85", "05", 1}, TStep{tuCommand_Off, "off", "84", "04", 0}}) {
        SCOPED_TRACE(step.state);
        const size_t mark = sim_.LineCount();
        stack_->Call([&] {
            T104Client& cl = stack_->Client(1);
            cl.ElemTU.fl.Operation(FClearAll, 0);
            cl.ElemTU.Init(step.cmd, kCa, kTuFirst, cl.prm, true);
        });
        const std::string head = "command " + port_ + " ";
        const std::string tail = std::string(" ca=1 ioa=5000 state=") + step.state;
        const auto sel = sim_.WaitFor(
            head + "select" + tail + " sco=" + step.selectSco + " cot=6 result=positive", 3000,
            mark);
        ASSERT_TRUE(sel) << sim_.AllText(mark);
        const auto exe = sim_.WaitFor(
            head + "execute" + tail + " sco=" + step.executeSco + " cot=6 result=positive", 3000,
            *sel);
        ASSERT_TRUE(exe) << sim_.AllText(mark);
        // Exactly two command frames: select (S/E = 1) then execute (S/E = 0).
        const auto frames = sim_.Matching("type=C_SC_NA(45)", mark);
        ASSERT_EQ(frames.size(), 2u) << sim_.AllText(mark);
        const std::string body = " sq=0 n=1 cot=6 pn=0 test=0 oa=0 ca=1 ioa=5000 sco=";
        EXPECT_NE(frames[0].text.find(body + step.selectSco +
                                      " se=1 qu=1 state=" + std::to_string(step.value)),
                  std::string::npos)
            << frames[0].text;
        EXPECT_NE(frames[1].text.find(body + step.executeSco +
                                      " se=0 qu=1 state=" + std::to_string(step.value)),
                  std::string::npos)
            << frames[1].text;
        // The command is done and the point followed it.
        ASSERT_TRUE(stack_->WaitUntil(
            [&] {
                TElemTU& tu = stack_->Client(1).ElemTU;
                return tu.step1 == stuNone && tu.fl.Op(FYes, btue_TU_SendExecute);
            },
            3000));
        const bool timedOut =
            stack_->Call([&] { return stack_->Client(1).ElemTU.fl.Op(FYes, btue_TU_TimeOut1); });
        EXPECT_FALSE(timedOut);
        ASSERT_TRUE(stack_->WaitUntil(
            [&] {
                int32_t iv;
                uint8_t q;
                double f;
                TDateTime dt = 0;
                Tag(kTsFirst)->GetArmValue(iv, q, f, dt);
                return iv == step.value && Tag(kTsFirst)->Value.pdc == dcn_SingleTS1;
            },
            3000));
    }
    EXPECT_EQ(stack_->connects.load(), 1);
}

TEST_F(StackTest, CommandWithNegativeConfirmationEndsAtOnce) {
    StartSim();
    StartStack();
    WaitOnline();
    ASSERT_TRUE(sim_.Command("negative on"));
    const size_t mark = sim_.LineCount();
    const auto started = stack_->Call([&] {
        T104Client& cl = stack_->Client(1);
        cl.ElemTU.fl.Operation(FClearAll, 0);
        cl.ElemTU.Init(tuCommand_On, kCa, kTuFirst + 1, cl.prm, true);
        return std::chrono::steady_clock::now();
    });
    ASSERT_TRUE(sim_.WaitFor("command " + port_ +
                                 " select ca=1 ioa=5001 state=on sco=85 cot=6 "
                                 "result=negative",
                             3000, mark))
        << sim_.AllText(mark);
    // The refusal ends the command as failed, long before the 6000 ms time-out.
    std::chrono::steady_clock::time_point ended{};
    ASSERT_TRUE(stack_->WaitUntil(
        [&] {
            if (stack_->Client(1).ElemTU.step1 != stuNone) return false;
            ended = std::chrono::steady_clock::now();
            return true;
        },
        3000));
    EXPECT_LT(std::chrono::duration_cast<Ms>(ended - started).count(), 3000);
    const bool timedOut =
        stack_->Call([&] { return stack_->Client(1).ElemTU.fl.Op(FYes, btue_TU_TimeOut1); });
    EXPECT_TRUE(timedOut);
    const bool confirmed =
        stack_->Call([&] { return stack_->Client(1).ElemTU.fl.Op(FYes, btue_TU_ActSelect); });
    EXPECT_FALSE(confirmed);
    // One select, no execute.
    EXPECT_EQ(CountLines("type=C_SC_NA", mark), 1u) << sim_.AllText(mark);
    EXPECT_EQ(CountLines("command " + port_ + " execute", mark), 0u);
    EXPECT_EQ(stack_->connects.load(), 1);
}

// ---------------------------------------------------------------------------------
// Damaged input from the station

TEST_F(StackTest, GarbageFromTheStationIsSurvivedAndTheLinkRecovers) {
    StartSim();
    TStackOptions opt;
    opt.journalMask = kJournalErr;
    StartStack(opt);
    WaitOnline();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(sim_.Command("garbage"));
        const std::string value = std::to_string(10 + round) + ".5";
        ASSERT_TRUE(sim_.Command("set 4004 " + value));
        ASSERT_TRUE(stack_->WaitUntil(
            [&] {
                int32_t iv;
                uint8_t q;
                double f = 0;
                TDateTime dt = 0;
                Tag(4004)->GetArmValue(iv, q, f, dt);
                return f == 10.5 + round && stack_->Started(1);
            },
            15000))
            << sim_.AllText();
    }
    EXPECT_TRUE(JournalHas("1-й байт APDU не равен 68H. Байт=FF"));
    // Each framing error starts the connection afresh (one reconnect per round).
    EXPECT_GE(stack_->connects.load(), 4);
}

TEST_F(StackTest, BadStartOctetFromTheStationIsSurvivedAndTheLinkRecovers) {
    StartSim();
    TStackOptions opt;
    opt.journalMask = kJournalErr;
    StartStack(opt);
    WaitOnline();
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        // Each round a state and a quality (BL, SB, NT) of its own.
        const int state = 1 - round % 2;
        const uint8_t quality = static_cast<uint8_t>(0x10 << round);
        char q[8];
        std::snprintf(q, sizeof q, "%02X", quality);
        ASSERT_TRUE(sim_.Command("badstart"));
        ASSERT_TRUE(sim_.Command("set 3 " + std::to_string(state) + " " + q));
        ASSERT_TRUE(stack_->WaitUntil(
            [&] {
                int32_t iv = -1;
                uint8_t qq = 0;
                double f;
                TDateTime dt = 0;
                Tag(3)->GetArmValue(iv, qq, f, dt);
                return iv == state && qq == quality && stack_->Started(1);
            },
            15000))
            << sim_.AllText();
    }
    EXPECT_TRUE(JournalHas("1-й байт APDU не равен 68H. Байт=67"));
    EXPECT_GE(stack_->connects.load(), 4);
    // The station never saw a frame it could not parse from the master.
    EXPECT_EQ(CountLines("malformed"), 0u);
}

}  // namespace
}  // namespace telegate
