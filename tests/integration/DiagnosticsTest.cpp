// The diagnostic interfaces against telegate-sim: the JSON documents, the
// statistics page, the change stream and the protocol monitor.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>

#include "EndToEndFixture.h"
#include "LiveMaster.h"
#include "app/Diagnostics.h"
#include "common/RawHttp.h"
#include "support/CodePage.h"
#include "web/WebServer.h"

namespace telegate {
namespace {

using nlohmann::json;

const std::regex kIsoTime(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d)");

bool IsIso(const json& j) {
    return j.is_string() && std::regex_match(j.get<std::string>(), kIsoTime);
}

class DiagnosticsTest : public EndToEndTest {
  protected:
    int WebPort() {
        int port = 0;
        master_->OnMain([&] { port = master_->polling->WebServer()->Port(); });
        return port;
    }
    json GetJson(const std::string& target, int* status = nullptr) {
        const auto r = test::HttpGet(WebPort(), target);
        if (status) *status = r.status;
        if (r.status != 200) return json();
        EXPECT_NE(r.headers.find("application/json; charset=utf-8"), std::string::npos);
        return json::parse(r.body, nullptr, false);
    }
    // Reads from fd until text holds what or ms pass.
    static bool ReadUntil(test::TRawSocket fd, std::string& text, const std::string& what, int ms) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        char buf[8192];
        while (text.find(what) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  end - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0 || !test::RawReadable(fd, static_cast<int>(left))) return false;
            const long n = test::RecvRaw(fd, buf, sizeof buf);
            if (n <= 0) return false;
            text.append(buf, static_cast<size_t>(n));
        }
        return true;
    }
    test::TRawSocket Open(const std::string& target) {
        const auto fd = test::ConnectLoopback(WebPort());
        if (fd >= 0) test::SendRaw(fd, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        return fd;
    }
};

TEST_F(DiagnosticsTest, DocumentsDescribeStationsValuesAndStatistics) {
    StartMaster(/*web=*/true);
    sim_.Send("@" + std::to_string(ports_[0]) + " set 1001 123.5");
    sim_.Send("@" + std::to_string(ports_[0]) + " set 2 1 80");
    const int id = Kp(1).Nom_OPC_TI;
    ASSERT_GE(master_->WaitMain([&] { return master_->ctx->Items.Value_arr[id] == 123.5; }, 5000),
              0);
    // Give the interrogation's termination and the changes a publication pass.
    std::this_thread::sleep_for(std::chrono::milliseconds(450));

    const json st = GetJson("/api/v1/stations");
    ASSERT_TRUE(st.is_object()) << st;
    EXPECT_TRUE(IsIso(st["time"]));
    EXPECT_EQ(st["polling"], true);
    ASSERT_EQ(st["stations"].size(), 2u);
    const json& a = st["stations"][0];
    EXPECT_EQ(a["kp"], 1);
    EXPECT_EQ(a["name"], "Подстанция Альфа");
    EXPECT_EQ(a["host"], "127.0.0.1");
    EXPECT_EQ(a["port"], ports_[0]);
    EXPECT_EQ(a["connected"], true);
    EXPECT_EQ(a["signals"], 3);
    EXPECT_EQ(a["measurements"], 2);
    const json& s = a["statistics"];
    EXPECT_EQ(s["connects"], 1);
    EXPECT_EQ(s["disconnects"], 0);
    EXPECT_TRUE(IsIso(s["connectedSince"]));
    EXPECT_GE(s["framesIn"]["I"].get<int>(), 3);   // confirmation, objects, termination
    EXPECT_GE(s["framesIn"]["U"].get<int>(), 1);   // STARTDT confirmation
    EXPECT_GE(s["framesOut"]["I"].get<int>(), 1);  // the interrogation
    EXPECT_GT(s["framesIn"]["octets"].get<int>(), 6 * s["framesIn"]["I"].get<int>());
    EXPECT_GE(s["asduByType"]["100"].get<int>(), 2);
    // The interrogation brought every tag of the station (3 signals, 2 measurements).
    EXPECT_EQ(s["lastGI"]["objects"], 5);
    EXPECT_TRUE(s["lastGI"]["durationMs"].is_number()) << s["lastGI"];
    EXPECT_TRUE(IsIso(s["lastGI"]["end"]));
    EXPECT_EQ(s["lastDisconnectReason"], "");
    EXPECT_EQ(s["t1Expiries"], 0);

    const json values = GetJson("/api/v1/values?kp=1");
    ASSERT_TRUE(values.is_object());
    ASSERT_EQ(values["values"].size(), 5u);
    bool sawMeasurement = false, sawInvalid = false;
    for (const json& v : values["values"]) {
        EXPECT_EQ(v["kp"], 1);
        EXPECT_EQ(v["station"], "Подстанция Альфа");
        if (v["name"] == "Измерение 1.1") {
            sawMeasurement = true;
            EXPECT_EQ(v["kind"], "TI");
            EXPECT_EQ(v["asduAddress"], 1);
            EXPECT_EQ(v["objectAddress"], 1001);
            EXPECT_EQ(v["raw"], 123.5);
            EXPECT_EQ(v["value"], 123.5);
            EXPECT_EQ(v["quality"]["flags"], json::array());
            EXPECT_TRUE(IsIso(v["received"])) << v;
        }
        if (v["name"] == "Сигнал 1.2") {
            sawInvalid = true;
            EXPECT_EQ(v["kind"], "TS");
            EXPECT_EQ(v["value"], 1);
            EXPECT_EQ(v["quality"]["iec"], 0x80);
            EXPECT_EQ(v["quality"]["flags"], json::array({"IV"}));
        }
    }
    EXPECT_TRUE(sawMeasurement);
    EXPECT_TRUE(sawInvalid);
    EXPECT_EQ(GetJson("/api/v1/values")["values"].size(), 9u);

    struct Bad {
        const char* target;
        int status;
    };
    for (const Bad& b : {Bad{"/api/v1/values?kp=x", 400}, Bad{"/api/v1/values?kp=0", 400},
                         Bad{"/api/v1/values?kp=3", 404}, Bad{"/monitor.php?kp=7", 404},
                         Bad{"/monitor.php", 404}, Bad{"/api/v1/nothing", 404}}) {
        int status = 0;
        GetJson(b.target, &status);
        EXPECT_EQ(status, b.status) << b.target;
    }

    const auto page = test::HttpGet(WebPort(), "/stations.php");
    ASSERT_EQ(page.status, 200);
    EXPECT_NE(page.headers.find("windows-1251"), std::string::npos);
    const std::string text = Cp1251ToUtf8(page.body);
    EXPECT_NE(text.find("<li><a href=\"stations.php\" class=\"current\">Статистика</a></li>"),
              std::string::npos);
    EXPECT_NE(text.find("<td>Подстанция Альфа</td><td>127.0.0.1</td><td>Есть</td>"),
              std::string::npos);
}

TEST_F(DiagnosticsTest, ChangeStreamAndMonitorFollowTheStation) {
    StartMaster(/*web=*/true);
    const auto events = Open("/api/v1/events");
    const auto monitor = Open("/api/v1/monitor?kp=2");
    ASSERT_GE(events, 0);
    ASSERT_GE(monitor, 0);
    std::string ev, mon;
    ASSERT_TRUE(ReadUntil(events, ev, "retry: 2000", 3000));
    ASSERT_TRUE(ReadUntil(monitor, mon, "text/event-stream", 3000));
    master_->WaitMain([&] { return master_->polling->Diagnostics()->MonitorViewers() == 1; }, 2000);
    sim_.Send("@" + std::to_string(ports_[1]) + " set 1002 -4.5");
    ASSERT_TRUE(ReadUntil(events, ev, "\"value\":-4.5", 5000)) << ev;
    const auto at = ev.rfind("event: value\ndata: {", ev.find("\"value\":-4.5"));
    ASSERT_NE(at, std::string::npos);
    const json change = json::parse(ev.substr(at + 19, ev.find('\n', at + 19) - at - 19));
    EXPECT_EQ(change["kp"], 2);
    EXPECT_EQ(change["name"], "Измерение 2.2");
    EXPECT_TRUE(IsIso(change["received"]));
    // The monitor decodes the frame that carried it.
    ASSERT_TRUE(ReadUntil(monitor, mon, "IOA=1002 v=-4.5", 5000)) << mon;
    EXPECT_NE(mon.find(" RX I N(S)="), std::string::npos);
    EXPECT_EQ(mon.find("IOA=1001 v=123"), std::string::npos);  // station 1 is not shown

    // A link loss is an event of its own.
    sim_.Send("@" + std::to_string(ports_[1]) + " drop");
    ASSERT_TRUE(ReadUntil(events, ev, "event: link\ndata: {\"connected\":false,\"kp\":2", 5000))
        << ev;
    test::CloseRaw(monitor);
    test::CloseRaw(events);
    // Viewers that went are forgotten, and the tap with them.
    EXPECT_GE(master_->WaitMain(
                  [&] {
                      return master_->polling->Diagnostics()->MonitorViewers() == 0 &&
                             !master_->polling->Diagnostics(2)->HasTap();
                  },
                  5000),
              0);
}

TEST_F(DiagnosticsTest, DecodedTraceReplacesTheHexDump) {
    master_ = std::make_unique<live::TLiveMaster>(dir_.string());
    master_->ctx->Settings.Save_Obmen_v_File = true;
    master_->ctx->Settings.Trace_Decoded = true;
    bool started = false;
    master_->OnMain([&] { started = master_->polling->Start_IEC104(); });
    ASSERT_TRUE(started);
    ASSERT_GE(master_->WaitMain([&] { return Kp(1).Connected; }, 5000), 0);
    sim_.Send("@" + std::to_string(ports_[0]) + " set 1001 77.5");
    const auto trace = dir_ / "Socket0.txt";
    std::string text;
    for (int i = 0; i < 100 && text.find("IOA=1001 v=77.5") == std::string::npos; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::ifstream in(trace, std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    EXPECT_NE(text.find("IOA=1001 v=77.5"), std::string::npos) << text;
    EXPECT_NE(text.find(" RX I N(S)="), std::string::npos);
    EXPECT_NE(text.find(" Connect - _127.0.0.1\r\n"), std::string::npos);
    EXPECT_EQ(text.find("From KP "), std::string::npos);  // no hex dump beside it
    EXPECT_EQ(text.find(" Data >  "), std::string::npos);
}

TEST_F(DiagnosticsTest, AtMostFourMonitorViewers) {
    StartMaster(/*web=*/true);
    std::vector<test::TRawSocket> viewers;
    for (int i = 0; i < 4; ++i) {
        viewers.push_back(Open("/api/v1/monitor?kp=1"));
        std::string head;
        ASSERT_TRUE(ReadUntil(viewers.back(), head, "text/event-stream", 3000));
    }
    const auto fifth = test::HttpGet(WebPort(), "/api/v1/monitor?kp=1", 3000);
    EXPECT_EQ(fifth.status, 503);
    for (auto fd : viewers) test::CloseRaw(fd);
}

}  // namespace
}  // namespace telegate
