#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "platform/Paths.h"
#include "support/FileNames.h"

namespace telegate {
namespace {

namespace fs = std::filesystem;

class OwnFilesTest : public ::testing::Test {
  protected:
    OwnFilesTest() {
        dir_ = fs::temp_directory_path() /
               ("own-files-" + std::to_string(reinterpret_cast<uintptr_t>(this)));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "sub");
    }
    ~OwnFilesTest() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    void Touch(const std::string& name) { std::ofstream(dir_ / Utf8Path(name)) << name; }
    std::string In(const std::string& name) const { return PathToUtf8(dir_ / Utf8Path(name)); }
    fs::path dir_;
};

TEST_F(OwnFilesTest, ExactNameFirstThenTheOneDifferingInLetterCaseOnly) {
    // Whether the file system itself ignores case decides some expectations.
    Touch("CASE-PROBE");
    const bool caseInsensitiveFs = fs::exists(dir_ / "case-probe");

    Touch("IEC104.CFG");
    Touch("Cnf.Ini");
    Touch("iec104sr.bin");
    Touch("sub/inner.txt");
    fs::create_directory(dir_ / "Web");
    struct TCase {
        const char* asked;
        const char* found;  // relative to the folder; nullptr: the name as asked
    };
    const TCase cases[] = {
        {"iec104sr.bin", "iec104sr.bin"},  // exact name exists
        {"iec104.cfg", caseInsensitiveFs ? "iec104.cfg" : "IEC104.CFG"},
        {"cnf.ini", caseInsensitiveFs ? "cnf.ini" : "Cnf.Ini"},
        {"web", caseInsensitiveFs ? "web" : "Web"},  // folders too
        {"missing.ini", "missing.ini"},              // nothing matches: as asked
        {"iec104.cf", "iec104.cf"},                  // a prefix is no match
        {"INNER.TXT", "INNER.TXT"},                  // never looks into other folders
    };
    for (const TCase& c : cases) EXPECT_EQ(FindOwnFile(In(c.asked)), In(c.found)) << c.asked;

    // A relative name is looked up in the working directory and stays relative;
    // names that are no file name come back unchanged.
    const fs::path before = fs::current_path();
    fs::current_path(dir_);
    EXPECT_EQ(FindOwnFile("iec104.cfg"), caseInsensitiveFs ? "iec104.cfg" : "IEC104.CFG");
    EXPECT_EQ(FindOwnFile(".."), "..");
    EXPECT_EQ(FindOwnFile(""), "");
    EXPECT_EQ(
        FindOwnFile("sub/../iec104.cfg"),
        caseInsensitiveFs ? "sub/../iec104.cfg" : PathToUtf8(fs::path("sub/..") / "IEC104.CFG"));
    fs::current_path(before);
}

}  // namespace
}  // namespace telegate
