#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "opc/Core.h"
#include "opc/OpcLog.h"
#include "opc/Server.h"

namespace telegate::opc {
namespace {

std::string ReadFile(const std::filesystem::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

class OpcLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              (std::string("opc-log-") +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::filesystem::path dir;
    TManualClock clock{46000.5};  // 2025-12-09 12:00:00
};

TEST_F(OpcLogTest, IntervalBatchesLinesAndTimeStampsPrefix) {
    TLogging log((dir / "x.txt").string(), clock);
    log.SetWriteIntervall(3);
    log.WriteIntoFile("one");
    log.WriteIntoFile("two");
    EXPECT_FALSE(std::filesystem::exists(dir / "x.txt"));
    log.WriteIntoFile("три");
    EXPECT_EQ("one\r\ntwo\r\n\xF2\xF0\xE8\r\n", ReadFile(dir / "x.txt"));  // Windows-1251
    log.SetWriteIntervall(0);
    log.WriteWithTimeStamp(true);
    log.WriteIntoFile("four");
    EXPECT_EQ("one\r\ntwo\r\n\xF2\xF0\xE8\r\n09.12.2025 12:00:00->four\r\n",
              ReadFile(dir / "x.txt"));
}

TEST_F(OpcLogTest, UnwritableFileIsReportedAndTheEntryDropped) {
    std::vector<std::string> reports;
    TLogging log((dir / "missing" / "x.txt").string(), clock,
                 [&](const std::string& m) { reports.push_back(m); });
    log.WriteIntoFile("lost");
    ASSERT_EQ(1u, reports.size());
    EXPECT_EQ(0u, reports[0].rfind("WriteToLogFile 4 Error: ", 0)) << reports[0];
}

TEST_F(OpcLogTest, CoreWritesStartLogMethodLinesAndExceptionLines) {
    {
        sOPC core(clock);
        core.Init("Telegate.OPCServer", "Telegate", false, dir.string());
        core.Start();
        sOPCDataAccess::Create(core)->Release();
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "OPCLog.txt"));  // log flag off: no file

    sOPC core(clock);
    core.Init("Telegate.OPCServer", "Telegate", true, dir.string());
    core.OnInitAddressSpace = [](sOPC&) { throw std::runtime_error("bad table"); };
    core.Start();
    sOPCDataAccess* s = sOPCDataAccess::Create(core);
    LPWSTR text = nullptr;
    static_cast<IOPCServer*>(s)->GetErrorString(5, 0, &text);
    CoTaskMemFree(text);
    s->Release();
    const std::string log = ReadFile(dir / "OPCLog.txt");
    EXPECT_EQ(0u, log.find("09.12.2025 12:00:00->Start Log\r\n")) << log;
    EXPECT_NE(std::string::npos, log.find("->sOPCDataAccess.GetErrorString 1 - 5\r\n"));
    EXPECT_NE(std::string::npos, log.find(" InitAddressSpace - bad table\r\n"));
    EXPECT_NE(std::string::npos, log.find("->sOPCDataAccess.Destroy - "));
    EXPECT_EQ("09.12.2025 12:00:00 1234ABCD ctx - msg",
              ExceptionLine(46000.5, "ctx", "msg").replace(20, 8, "1234ABCD"));
}

}  // namespace
}  // namespace telegate::opc
