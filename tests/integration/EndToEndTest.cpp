// The master in-process against telegate-sim over loopback: values and qualities
// reach the item image, a dropped station turns bad, the web pages show the live
// values, and a telecontrol reaches the station as select then execute.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "EndToEndFixture.h"
#include "LiveMaster.h"
#include "app/Publish.h"
#include "common/RawHttp.h"
#include "support/CodePage.h"
#include "web/WebServer.h"

namespace telegate {
namespace {

namespace fs = std::filesystem;

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

}  // namespace
}  // namespace telegate
