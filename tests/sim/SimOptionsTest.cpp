#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "SimOptions.h"

namespace telegate::sim {
namespace {

std::string Parse(std::vector<std::string> args, TSimOptions& o) {
    return ParseSimOptions(args, o);
}

TEST(SimOptionsTest, DefaultsServeOneLoopbackPort) {
    TSimOptions o;
    ASSERT_EQ(Parse({}, o), "");
    EXPECT_EQ(o.bind, "127.0.0.1");
    EXPECT_EQ(o.ports, std::vector<int>{2404});
    EXPECT_EQ(o.link.k, 12);
    EXPECT_EQ(o.link.w, 8);
    EXPECT_EQ(o.link.t1Ms, 15000);
    EXPECT_EQ(o.link.t2Ms, 10000);
    EXPECT_EQ(o.link.t3Ms, 20000);
}

TEST(SimOptionsTest, PortRangesAndCounts) {
    TSimOptions o;
    ASSERT_EQ(Parse({"--ports", "3000-3002"}, o), "");
    EXPECT_EQ(o.ports, (std::vector<int>{3000, 3001, 3002}));
    ASSERT_EQ(Parse({"--port", "5000", "--port-count", "2"}, o), "");
    EXPECT_EQ(o.ports, (std::vector<int>{5000, 5001}));
    ASSERT_EQ(Parse({"--port", "0", "--port-count", "3"}, o), "");
    EXPECT_EQ(o.ports, (std::vector<int>{0, 0, 0}));
    EXPECT_NE(Parse({"--ports", "3002-3000"}, o), "");
    EXPECT_NE(Parse({"--ports", "x-3"}, o), "");
    EXPECT_NE(Parse({"--port", "65535", "--port-count", "2"}, o), "");
    EXPECT_NE(Parse({"--port", "70000"}, o), "");
}

TEST(SimOptionsTest, BehaviourOptions) {
    TSimOptions o;
    ASSERT_EQ(Parse({"--rate",
                     "250.5",
                     "--type",
                     "dp",
                     "--time",
                     "cp56",
                     "--per-asdu",
                     "10",
                     "--sq",
                     "--count",
                     "1000",
                     "--exit-on-count",
                     "--k",
                     "5",
                     "--w",
                     "2",
                     "--t1",
                     "1.5",
                     "--negative-confirm",
                     "--no-ack",
                     "--gap-after",
                     "7",
                     "--quiet"},
                    o),
              "");
    EXPECT_DOUBLE_EQ(o.link.rate, 250.5);
    EXPECT_EQ(o.type, EPointType::Dp);
    EXPECT_EQ(o.time, ETimeTag::Cp56);
    EXPECT_EQ(o.perAsdu, 10);
    EXPECT_TRUE(o.sequence);
    EXPECT_EQ(o.link.count, 1000);
    EXPECT_EQ(o.link.k, 5);
    EXPECT_EQ(o.link.t1Ms, 1500);
    EXPECT_TRUE(o.link.negativeConfirm);
    EXPECT_FALSE(o.link.acknowledge);
    EXPECT_EQ(o.link.gapAfter, 7);
    EXPECT_TRUE(o.quiet);
}

TEST(SimOptionsTest, BadValuesAreRefused) {
    TSimOptions o;
    EXPECT_NE(Parse({"--per-asdu", "0"}, o), "");
    EXPECT_NE(Parse({"--per-asdu", "128"}, o), "");
    EXPECT_NE(Parse({"--type", "double"}, o), "");
    EXPECT_NE(Parse({"--rate"}, o), "");
    EXPECT_NE(Parse({"--rate", "-1"}, o), "");
    EXPECT_NE(Parse({"--k", "0"}, o), "");
    EXPECT_NE(Parse({"--frobnicate"}, o), "");
    EXPECT_NE(Parse({"--exit-on-count"}, o), "");
    EXPECT_NE(SimUsage().find("--negative-confirm"), std::string::npos);
}

TEST(SimOptionsTest, GeneratedStationsTakeTheTypeOptions) {
    TSimOptions o;
    ASSERT_EQ(
        Parse({"--points", "3", "--asdu", "7", "--type", "sva", "--port-count", "2", "--port", "0"},
              o),
        "");
    std::vector<TSimStation> st;
    ASSERT_EQ(BuildSimStations(o, st), "");
    ASSERT_EQ(st.size(), 2u);
    EXPECT_EQ(st[0].twoStateType, EPointType::Sp);
    EXPECT_EQ(st[0].measuredType, EPointType::Sva);
    ASSERT_EQ(st[1].points.size(), 6u);
    EXPECT_EQ(st[1].points[3].ioa, 4u);
    EXPECT_FALSE(st[1].points[3].twoState);
    EXPECT_EQ(st[1].points[0].ca, 7);
    EXPECT_NE(st[1].FindCommand(7, 3), nullptr);
    EXPECT_EQ(st[1].FindCommand(7, 4), nullptr);
}

class SimConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("telegate-sim-test-" +
               std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
        path = (dir / "iec104.cfg").string();
        std::ofstream f(path, std::ios::binary);
        f << ";kol,2\r\n"
             "KP,1,1,First,127.0.0.1\r\n"
             "TS,1001,1,,\"a\",8272,1,10,0,0,0,0\r\n"
             "KP,5,1,Second,127.0.0.1\r\n"
             "PER,1\r\n"
             "TS,1002,5,,\"b\",8272,5,100,5,5000,0,0\r\n"
             "TS,1002,5,,\"c\",8272,6,101,0,0,0,0\r\n"
             "TIT,1002,5,,\"d\",8280,5,200,0,100,0,100,0,100,4,20\r\n";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::filesystem::path dir;
    std::string path;
};

TEST_F(SimConfigTest, StationTagsBecomePoints) {
    std::vector<TSimStation> st;
    ASSERT_EQ(LoadConfigStations(path, 2, 1, st), "");
    ASSERT_EQ(st.size(), 1u);
    const TSimStation& s = st[0];
    ASSERT_EQ(s.points.size(), 3u);
    EXPECT_EQ(s.points[0].ca, 5);
    EXPECT_EQ(s.points[0].ioa, 100u);
    EXPECT_TRUE(s.points[0].twoState);
    EXPECT_EQ(s.points[1].ca, 6);
    EXPECT_FALSE(s.points[2].twoState);
    EXPECT_EQ(s.points[2].ioa, 200u);
    EXPECT_DOUBLE_EQ(s.points[2].value, 4.0);
    ASSERT_EQ(s.commands.size(), 1u);
    const TSimCommandPoint* c = s.FindCommand(5, 5000);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->point, 0);
    EXPECT_TRUE(s.HasCommonAddress(6));
    EXPECT_FALSE(s.HasCommonAddress(1));
    EXPECT_EQ(s.TwoStateIndex().size(), 2u);
    EXPECT_EQ(s.MeasuredIndex().size(), 1u);
}

TEST_F(SimConfigTest, ConsecutiveStationsForSeveralPorts) {
    std::vector<TSimStation> st;
    ASSERT_EQ(LoadConfigStations(path, 1, 2, st), "");
    ASSERT_EQ(st.size(), 2u);
    EXPECT_EQ(st[0].points.size(), 1u);
    EXPECT_EQ(st[1].points.size(), 3u);
}

TEST_F(SimConfigTest, MissingStationOrFileIsAnError) {
    std::vector<TSimStation> st;
    EXPECT_NE(LoadConfigStations(path, 3, 1, st).find("not in"), std::string::npos);
    EXPECT_NE(LoadConfigStations(path, 2, 2, st), "");
    EXPECT_NE(LoadConfigStations((dir / "none.cfg").string(), 1, 1, st), "");
}

}  // namespace
}  // namespace telegate::sim
