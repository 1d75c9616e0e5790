// The master in-process against telegate-sim over loopback: values and qualities
// reach the item image, a dropped station turns bad, the web pages show the live
// values, and a telecontrol reaches the station as select then execute.
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "LiveMaster.h"
#include "app/Publish.h"
#include "common/RawHttp.h"
#include "support/CodePage.h"
#include "web/WebServer.h"

namespace telegate {
namespace {

namespace fs = std::filesystem;
using live::TLiveMaster;
using live::TSimProcess;

class EndToEndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "tg-e2e-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        // Two stations: "Подстанция Альфа" (ASDU 1: TS 1..3 with commands at 101..103,
        // TI 1001..1002) and "ПС Бета" (ASDU 2: TS 1..2, TI 1001..1002).
        auto t = std::make_unique<TStationTable>();
        AddStation(*t, "Подстанция Альфа", 1, 3, 2);
        AddStation(*t, "ПС Бета", 2, 2, 2);
        WriteConfigFile((dir_ / "iec104.cfg").string(), *t);
        ASSERT_TRUE(sim_.Start(fs::path(TELEGATE_BIN_DIR) / "telegate-sim",
                               {"--port", "0", "--port-count", "2", "--config",
                                (dir_ / "iec104.cfg").string(), "--station", "1"}));
        ports_ = sim_.Ports();
        ASSERT_EQ(ports_.size(), 2u);
        ASSERT_TRUE(live::WritePrmnFile((dir_ / "iec104sr.bin").string(), ports_));
    }
    void TearDown() override {
        master_.reset();
        sim_.Stop();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    static void AddStation(TStationTable& t, const std::string& name, int asdu, int nTS, int nTI) {
        const int n = ++t.Kol_KP;
        T_KP& kp = t.KP_arr[n];
        kp.NameKP = name;
        kp.IP = "127.0.0.1";
        kp.ASDU_Adr = asdu;
        kp.Kol_TS = nTS;
        kp.Kol_TI = nTI;
        for (int k = 1; k <= nTS; ++k) {
            kp.TS_arr[k].NameTS = "Сигнал " + std::to_string(asdu) + "." + std::to_string(k);
            kp.TS_arr[k].AdrASDU = asdu;
            kp.TS_arr[k].AdrIOA = k;
            kp.TS_arr[k].AdrASDU_TU = asdu;
            kp.TS_arr[k].AdrIOA_TU = 100 + k;
        }
        for (int k = 1; k <= nTI; ++k) {
            kp.TI_arr[k].NameTI = "Измерение " + std::to_string(asdu) + "." + std::to_string(k);
            kp.TI_arr[k].AdrASDU = asdu;
            kp.TI_arr[k].AdrIOA = 1000 + k;
        }
    }
    // Starts polling (which builds the OPC address space and so the identifiers),
    // and waits until both stations are connected and every item is published good.
    void StartMaster(bool web = false) {
        master_ = std::make_unique<TLiveMaster>(dir_.string(), web);
        bool started = false;
        master_->OnMain([&] { started = master_->polling->Start_IEC104(); });
        ASSERT_TRUE(started) << master_->polling->LastError();
        ASSERT_GE(
            master_->WaitMain([&] { return AllQualities(1, 192) && AllQualities(2, 192); }, 10000),
            0);
    }
    // Every TS and TI item of station n has quality q (main thread).
    bool AllQualities(int n, int q) {
        const T_KP& kp = master_->ctx->Stations.KP_arr[n];
        const TItemImage& it = master_->ctx->Items;
        for (int k = 0; k < kp.Kol_TS; ++k)
            if (it.Indent_arr[kp.Nom_OPC_TS + k].Quality != q) return false;
        for (int k = 0; k < kp.Kol_TI; ++k)
            if (it.Indent_arr[kp.Nom_OPC_TI + k].Quality != q) return false;
        return true;
    }
    TItemSnapshot Item(int id) { return master_->ctx->Items.Snapshot(id); }
    const T_KP& Kp(int n) { return master_->ctx->Stations.KP_arr[n]; }

    fs::path dir_;
    TSimProcess sim_;
    std::vector<int> ports_;
    std::unique_ptr<TLiveMaster> master_;
};

TEST_F(EndToEndTest, ValuesAndQualitiesReachTheItemImage) {
    StartMaster();
    EXPECT_EQ(Item(Kp(1).Nom_OPC_Alarm).Value, 1.0);
    EXPECT_EQ(Item(Kp(2).Nom_OPC_Alarm).Value, 1.0);
    EXPECT_EQ(Item(Kp(1).Nom_OPC_Alarm).Quality, 192);
    const std::string p1 = "@" + std::to_string(ports_[0]) + " ";
    const std::string p2 = "@" + std::to_string(ports_[1]) + " ";
    sim_.Send(p1 + "set 1002 42.5");
    sim_.Send(p2 + "set 2 1 80");         // invalid
    sim_.Send(p2 + "set 1001 -7.25 20");  // substituted
    const int ti = Kp(1).Nom_OPC_TI + 1;
    const int ts = Kp(2).Nom_OPC_TS + 1;
    const int ti2 = Kp(2).Nom_OPC_TI;
    EXPECT_GE(master_->WaitMain(
                  [&] {
                      const auto& it = master_->ctx->Items;
                      return it.Value_arr[ti] == 42.5 && it.Indent_arr[ts].Quality == 0 &&
                             it.Value_arr[ti2] == -7.25 && it.Indent_arr[ti2].Quality == 216;
                  },
                  5000),
              0);
    EXPECT_EQ(Item(ti).Quality, 192);
    EXPECT_EQ(Item(ts).Value, 1.0);
    // Every published item carries the identifier the address space gives it.
    master_->OnMain([&] {
        const TTagSignalList& tags = *master_->polling->Publisher().Tags();
        ASSERT_EQ(tags.GetCount(), 9);
        EXPECT_EQ(master_->ctx->Items.Indent_arr[ti].Nomer_Tag, 4);
        EXPECT_EQ(tags.GetTag(4)->FName, "Измерение 1.2");
    });
}

TEST_F(EndToEndTest, DroppedStationTurnsBadWithinAPublicationPeriod) {
    StartMaster();
    sim_.Send("@" + std::to_string(ports_[1]) + " drop");
    const int64_t ms = master_->WaitMain(
        [&] {
            return AllQualities(2, 0) && master_->ctx->Items.Value_arr[Kp(2).Nom_OPC_Alarm] == 0.0;
        },
        5000);
    ASSERT_GE(ms, 0);
    // Loss seen by the worker, the next 50 ms connection step, the next 200 ms pass.
    EXPECT_LE(ms, 600);
    EXPECT_TRUE(master_->WaitMain([&] { return AllQualities(1, 192); }, 100) >= 0);
    // The station comes back by itself and is good again after its interrogation.
    EXPECT_GE(master_->WaitMain([&] { return AllQualities(2, 192); }, 8000), 0);
}

TEST_F(EndToEndTest, WebPagesListLiveValuesAndSelectAStationByName) {
    StartMaster(/*web=*/true);
    sim_.Send("@" + std::to_string(ports_[0]) + " set 1001 123.5");
    const int id = Kp(1).Nom_OPC_TI;
    ASSERT_GE(master_->WaitMain([&] { return master_->ctx->Items.Value_arr[id] == 123.5; }, 5000),
              0);
    int port = 0;
    master_->OnMain([&] { port = master_->polling->WebServer()->Port(); });
    ASSERT_GT(port, 0);
    auto all = test::HttpGet(port, "/");
    ASSERT_EQ(all.status, 200);
    const std::string allText = Cp1251ToUtf8(all.body);
    EXPECT_NE(allText.find("Измерение 1.1"), std::string::npos);
    EXPECT_NE(allText.find("Измерение 2.2"), std::string::npos);
    EXPECT_NE(allText.find("123.5"), std::string::npos);
    // "Подстанция Альфа", percent-encoded UTF-8.
    auto one =
        test::HttpGet(port,
                      "/titek.php?p_ti=%D0%9F%D0%BE%D0%B4%D1%81%D1%82%D0%B0%D0%BD%D1%86%D0%B8%"
                      "D1%8F%20%D0%90%D0%BB%D1%8C%D1%84%D0%B0");
    ASSERT_EQ(one.status, 200);
    const std::string oneText = Cp1251ToUtf8(one.body);
    EXPECT_NE(oneText.find("123.5"), std::string::npos);
    EXPECT_NE(oneText.find("Измерение 1.2"), std::string::npos);
    EXPECT_EQ(oneText.find("Измерение 2.1"), std::string::npos);
    auto signals = test::HttpGet(port, "/tstek.php?p_ts=%CF%D1%20%C1%E5%F2%E0");  // Windows-1251
    ASSERT_EQ(signals.status, 200);
    const std::string sigText = Cp1251ToUtf8(signals.body);
    EXPECT_NE(sigText.find("Сигнал 2.2"), std::string::npos);
    EXPECT_EQ(sigText.find("Сигнал 1.1"), std::string::npos);
    auto config = test::HttpGet(port, "/config.php");
    ASSERT_EQ(config.status, 200);
    EXPECT_EQ(Cp1251ToUtf8(config.body).find("Запустите сервер"), std::string::npos);
    // Polling stops: so does the web server.
    master_->OnMain([&] { master_->polling->Stop_IEC104(); });
    EXPECT_FALSE(test::HttpGet(port, "/", 1000).ok);
}

TEST_F(EndToEndTest, TelecontrolReachesTheStationAsSelectThenExecute) {
    StartMaster();
    const size_t from = sim_.LineCount();
    // Tag 1 is station 1's second two-state tag: command address 1/102.
    EXPECT_TRUE(master_->polling->ExecuteTU(1, tuCommand_On));
    const std::string port = std::to_string(ports_[0]);
    const int sel =
        sim_.WaitContains("command " + port + " select ca=1 ioa=102 state=on", 5000, from);
    ASSERT_GE(sel, 0);
    const int exe = sim_.WaitContains("command " + port + " execute ca=1 ioa=102 state=on", 5000,
                                      static_cast<size_t>(sel));
    EXPECT_GT(exe, sel);
    // A measurement cannot be operated: nothing reaches the station.
    EXPECT_FALSE(master_->polling->ExecuteTU(3, tuCommand_Off));
}

// A hostile web client: 300 connections from one address that never finish their
// request head, in a process whose descriptor limit leaves room for them but not
// for a server that would hold them all. Another address still gets "/" at once,
// the surplus connections are closed at once, and a dropped station reconnects
// after its normal pause.
TEST_F(EndToEndTest, SlowWebClientsNeitherBlockPagesNorStationReconnects) {
    StartMaster(/*web=*/true);
    int port = 0;
    master_->OnMain([&] { port = master_->polling->WebServer()->Port(); });
    ASSERT_GT(port, 0);
    constexpr int kSlow = 300;
    constexpr int kServerMax = 48;  // the server's connection limit (THttpServerLimits)
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    int openNow = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator("/proc/self/fd")) ++openNow;
    // Our slow clients, the server's share and a margin for the station reconnect;
    // a server that kept every slow connection would need kSlow more.
    const rlim_t needed = static_cast<rlim_t>(openNow + kSlow + kServerMax + 24);
    if (saved.rlim_cur < needed) GTEST_SKIP() << "descriptor limit " << saved.rlim_cur;
    rlimit tight = saved;
    tight.rlim_cur = needed;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);

    std::vector<int> slow;
    for (int i = 0; i < kSlow; ++i) {
        const int fd = test::ConnectLoopback(port, "127.0.0.2");
        if (fd < 0) break;
        ::send(fd, "GET / HTTP/1.1\r\nHost: x\r\n", 25, MSG_NOSIGNAL);
        slow.push_back(fd);
    }
    EXPECT_EQ(slow.size(), static_cast<size_t>(kSlow));
    // All but the peer's share are closed by the server at once.
    const auto t0 = std::chrono::steady_clock::now();
    int closed = 0;
    while (std::chrono::steady_clock::now() - t0 < std::chrono::seconds(3)) {
        std::vector<pollfd> fds;
        for (const int fd : slow) fds.push_back({fd, POLLIN, 0});
        ::poll(fds.data(), fds.size(), 0);
        closed = 0;
        for (const auto& p : fds) closed += (p.revents & (POLLIN | POLLHUP | POLLERR)) ? 1 : 0;
        if (closed >= kSlow - 12) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const auto closeMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    EXPECT_EQ(closed, kSlow - 12);

    const auto t1 = std::chrono::steady_clock::now();
    const auto page = test::HttpGet(port, "/", 5000);
    const auto pageMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t1)
            .count();
    EXPECT_EQ(page.status, 200);
    EXPECT_LT(pageMs, 1000);

    sim_.Send("@" + std::to_string(ports_[1]) + " drop");
    ASSERT_GE(master_->WaitMain([&] { return !Kp(2).Connected; }, 5000), 0);
    const int64_t reconnectMs = master_->WaitMain([&] { return Kp(2).Connected; }, 10000);
    // The pause between attempts is 2 s; the connection itself takes a moment more.
    EXPECT_GE(reconnectMs, 0);
    EXPECT_LT(reconnectMs, 4000);
    EXPECT_EQ(test::HttpGet(port, "/config.php", 5000).status, 200);
    std::printf(
        "[ figures ] %d slow connections: %d closed at once (%lld ms), \"/\" from "
        "another address in %lld ms, station reconnected after %lld ms\n",
        kSlow, closed, static_cast<long long>(closeMs), static_cast<long long>(pageMs),
        static_cast<long long>(reconnectMs));
    for (const int fd : slow) ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);
}

}  // namespace
}  // namespace telegate
