#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "model/Prmn.h"
#include "support/CodePage.h"

namespace telegate {
namespace {

namespace fs = std::filesystem;

class TempDir {
  public:
    TempDir() {
        std::string tmpl = (fs::temp_directory_path() / "prmn_test_XXXXXX").string();
        std::vector<char> buf(tmpl.begin(), tmpl.end());
        buf.push_back('\0');
        path_ = ::mkdtemp(buf.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::permissions(path_, fs::perms::owner_all, ec);
        fs::remove_all(path_, ec);
    }
    std::string File(const std::string& name) const { return (fs::path(path_) / name).string(); }

  private:
    std::string path_;
};

std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

void PutLe(std::vector<uint8_t>& v, size_t at, int32_t x) {
    const uint32_t u = static_cast<uint32_t>(x);
    for (int i = 0; i < 4; ++i) v[at + i] = static_cast<uint8_t>(u >> (8 * i));
}

int32_t GetLe(const std::vector<uint8_t>& v, size_t at) {
    uint32_t u = 0;
    for (int i = 0; i < 4; ++i) u |= static_cast<uint32_t>(v[at + i]) << (8 * i);
    return static_cast<int32_t>(u);
}

TPrmn DefaultRecord() {
    TPrmn p;
    SetDefaultPrmn(p, "127.0.0.1", 2404);
    return p;
}

// The record of SetDefaultPrmn("127.0.0.1", 2404) octet by octet.
std::vector<uint8_t> DefaultRecordBytes() {
    std::vector<uint8_t> b(160, 0);
    const std::string name = "Client104", host = "127.0.0.1";
    b[0] = 9;
    for (size_t i = 0; i < name.size(); ++i) b[1 + i] = static_cast<uint8_t>(name[i]);
    b[33] = 9;
    for (size_t i = 0; i < host.size(); ++i) b[34 + i] = static_cast<uint8_t>(host[i]);
    PutLe(b, 68, 2404);
    PutLe(b, 72, 30000);
    PutLe(b, 76, 15000);
    PutLe(b, 80, 10000);
    PutLe(b, 84, 20000);
    PutLe(b, 88, 12);
    PutLe(b, 92, 8);
    PutLe(b, 96, 100);
    PutLe(b, 116, 5000);
    PutLe(b, 120, 30000);
    PutLe(b, 124, 3);
    PutLe(b, 128, 20000);
    PutLe(b, 132, 3);
    PutLe(b, 136, 2);
    PutLe(b, 140, 3);
    PutLe(b, 144, 2);
    PutLe(b, 152, 30);
    return b;
}

TEST(PrmnRecord, DefaultsMatchTheLayoutOctetByOctet) {
    const TPrmnBytes b = PrmnToBytes(DefaultRecord());
    EXPECT_EQ(std::vector<uint8_t>(b.begin(), b.end()), DefaultRecordBytes());
}

TEST(PrmnFile, EmptyTableIsTwelveOctets) {
    TPrmnTable table{};
    const std::string bytes = PrmnFileBytes(table, 0);
    const std::vector<uint8_t> expect = {0x24, 0x03, 0x08, 0x00, 0,    0,
                                         0,    0,    0x24, 0x03, 0x08, 0x00};
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.end()), expect);
}

TEST(PrmnFile, WriteThenReadGivesTheSameRecords) {
    TempDir dir;
    const std::string file = dir.File("iec104sr.bin");
    TPrmnTable table{};
    for (auto& p : table) SetDefaultPrmn(p, "127.0.0.1", 2404);
    table[1].Name = "Подстанция";
    table[2].Port = 2405;
    ASSERT_TRUE(ReadWritePrmnFile(pfm_Write, file, table, 3));
    EXPECT_EQ(fs::file_size(file), 492u);
    TPrmnTable back{};
    ASSERT_TRUE(ReadWritePrmnFile(pfm_Read, file, back, 0));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(back[i], table[i]) << i;
    EXPECT_EQ(back[3], TPrmn{});
}

// A whole file built by hand: version, count, records, checksum.
std::vector<uint8_t> BuildFile(const std::vector<std::vector<uint8_t>>& records, int32_t count) {
    std::vector<uint8_t> f(8, 0);
    PutLe(f, 0, 525092);
    PutLe(f, 4, count);
    int64_t s = 525092;
    for (const auto& r : records) {
        for (uint8_t b : r) {
            s += b;
            if (s > 0x0FFFFFFF) s -= 0x0FFFFFFF;
        }
        f.insert(f.end(), r.begin(), r.end());
    }
    f.resize(f.size() + 4);
    PutLe(f, f.size() - 4, static_cast<int32_t>(s));
    return f;
}

TEST(PrmnFile, OneDefaultRecordMatchesAHandBuiltFileAndReadsBack) {
    TempDir dir;
    const std::string file = dir.File("iec104sr.bin");
    TPrmnTable table{};
    table[0] = DefaultRecord();
    ASSERT_TRUE(ReadWritePrmnFile(pfm_Write, file, table, 1));
    const std::vector<uint8_t> expect = BuildFile({DefaultRecordBytes()}, 1);
    EXPECT_EQ(ReadBytes(file), expect);
    // Octet sum of the record, by hand: name 9+756, host 9+437, integers 1242.
    EXPECT_EQ(GetLe(expect, 168), 525092 + 2453);
    TPrmnTable back{};
    std::string why = "x";
    ASSERT_TRUE(ReadWritePrmnFile(pfm_Read, file, back, 0, &why));
    EXPECT_EQ(why, "");
    EXPECT_EQ(back[0], table[0]);
}

TEST(PrmnFile, GoldenFixtureReadsAndWritesBackIdentically) {
    const std::string golden = std::string(TELEGATE_TEST_DATA) + "/golden/iec104sr.bin";
    TPrmnTable table{};
    ASSERT_TRUE(ReadWritePrmnFile(pfm_Read, golden, table, 0));
    EXPECT_EQ(table[0].Name, "ПС Северная");
    EXPECT_EQ(table[0].Host, "127.0.0.1");
    EXPECT_EQ(table[0].Port, 2404);
    EXPECT_EQ(table[0].prWork1, 1);
    EXPECT_EQ(table[1].Name, "Client104");
    EXPECT_EQ(table[1].Port, 2405);
    EXPECT_EQ(table[1].CommonAsduAddress, 7);
    EXPECT_EQ(table[1].LinkAddress1, 7);
    EXPECT_TRUE(table[1].ClockSinhronizationCheck);
    EXPECT_EQ(table[1].HostPadding[0], 0xAB);
    EXPECT_EQ(table[1].ClockPadding[2], 0xCD);
    TempDir dir;
    const std::string file = dir.File("copy.bin");
    ASSERT_TRUE(ReadWritePrmnFile(pfm_Write, file, table, 2));
    EXPECT_EQ(ReadBytes(file), ReadBytes(golden));
}

TEST(PrmnRecord, LongTextsAreCutTo32Characters) {
    TPrmn p;
    const std::string longHost(40, 'h');
    SetDefaultPrmn(p, longHost, 1);
    EXPECT_EQ(p.Host, std::string(32, 'h'));
    std::string cyr;
    for (int i = 0; i < 40; ++i) cyr += "Ж";
    EXPECT_EQ(CutToPrmnText(cyr).size(), 64u);  // 32 two-octet characters
    p.Name = cyr;
    const TPrmnBytes b = PrmnToBytes(p);
    EXPECT_EQ(b[0], 32);
    EXPECT_EQ(b[1], 0xC6);   // Windows-1251 "Ж"
    EXPECT_EQ(b[32], 0xC6);  // the 32nd character ends the name field
    EXPECT_EQ(b[33], 32);    // the host length octet follows untouched
    EXPECT_EQ(PrmnFromBytes(b.data()).Name, CutToPrmnText(cyr));
}

TEST(PrmnRecord, DamagedLengthOctetIsBounded) {
    std::vector<uint8_t> b = DefaultRecordBytes();
    b[0] = 255;
    b[33] = 200;
    const TPrmn p = PrmnFromBytes(b.data());
    EXPECT_EQ(Utf8Length(p.Name), 32u);
    EXPECT_EQ(Utf8Length(p.Host), 32u);
    EXPECT_EQ(p.Port, 2404);
}

TEST(PrmnRecord, SetDefaultKeepsTheFieldsItDoesNotDefault) {
    TPrmn p;
    p.LinkAddress1 = 11;
    p.PollingCycle = 12;
    p.prWork1 = 1;
    p.t1 = 7;
    SetDefaultPrmn(p, "10.0.0.1", 2405);
    EXPECT_EQ(p.LinkAddress1, 11);
    EXPECT_EQ(p.PollingCycle, 12);
    EXPECT_EQ(p.prWork1, 1);
    EXPECT_EQ(p.t1, 15000);
    EXPECT_EQ(p.Port, 2405);
}

class PrmnDamaged : public ::testing::Test {
  protected:
    // Reads bytes from a file; the table starts with a marker in entry 0 and 5.
    bool Read(const std::vector<uint8_t>& bytes, std::string* why = nullptr) {
        WriteBytes(file_, bytes);
        table_[0].Port = -1;
        table_[5].Port = -5;
        return ReadWritePrmnFile(pfm_Read, file_, table_, 0, why);
    }
    TempDir dir_;
    std::string file_ = dir_.File("iec104sr.bin");
    TPrmnTable table_{};
};

TEST_F(PrmnDamaged, ChangedOctetFailsTheChecksumButRecordsAreStored) {
    auto f = BuildFile({DefaultRecordBytes(), DefaultRecordBytes()}, 2);
    f[8 + 160 + 70] ^= 0x01;  // port of record 1
    std::string why;
    EXPECT_FALSE(Read(f, &why));
    EXPECT_NE(why.find("Нарушен файл параметров МЭК-104: "), std::string::npos);
    EXPECT_EQ(table_[0].Port, 2404);
    EXPECT_EQ(table_[1].Port, 2404 ^ (1 << 16));
}

TEST_F(PrmnDamaged, WrongChecksumWord) {
    auto f = BuildFile({DefaultRecordBytes()}, 1);
    f.back() ^= 0x40;
    EXPECT_FALSE(Read(f));
}

TEST_F(PrmnDamaged, WrongVersionStopsBeforeTheRecords) {
    auto f = BuildFile({DefaultRecordBytes()}, 1);
    PutLe(f, 0, 525093);
    std::string why;
    EXPECT_FALSE(Read(f, &why));
    EXPECT_EQ(why.rfind("Не та версия файла: ", 0), 0u);
    EXPECT_NE(why.find(". Файл необходимо удалить!"), std::string::npos);
    EXPECT_EQ(table_[0].Port, -1);
}

TEST_F(PrmnDamaged, TruncatedAnywhere) {
    const auto full = BuildFile({DefaultRecordBytes(), DefaultRecordBytes()}, 2);
    for (size_t len : {size_t{0}, size_t{3}, size_t{7}, size_t{8}, size_t{100}, size_t{168},
                       size_t{200}, full.size() - 1}) {
        std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<long>(len));
        EXPECT_FALSE(Read(cut)) << len;
    }
}

TEST_F(PrmnDamaged, HugeOrNegativeCountEndsAtTheEndOfTheFile) {
    auto f = BuildFile({DefaultRecordBytes()}, 1);
    PutLe(f, 4, 0x7FFFFFFF);
    EXPECT_FALSE(Read(f));
    PutLe(f, 4, -1);
    EXPECT_FALSE(Read(f));
    EXPECT_EQ(table_[0].Port, -1);
}

TEST_F(PrmnDamaged, MoreThan64RecordsAreCheckedAndDropped) {
    std::vector<std::vector<uint8_t>> recs;
    for (int i = 0; i < 70; ++i) {
        auto r = DefaultRecordBytes();
        PutLe(r, 68, 3000 + i);
        recs.push_back(r);
    }
    EXPECT_TRUE(Read(BuildFile(recs, 70)));
    EXPECT_EQ(table_[63].Port, 3063);
    auto f = BuildFile(recs, 70);
    f[8 + 160 * 69 + 1] ^= 1;  // the 70th record still enters the checksum
    EXPECT_FALSE(Read(f));
}

TEST_F(PrmnDamaged, BytesAfterTheChecksumAreNotRead) {
    auto f = BuildFile({DefaultRecordBytes()}, 1);
    f.insert(f.end(), {1, 2, 3, 4, 5});
    EXPECT_TRUE(Read(f));
    EXPECT_EQ(table_[0], DefaultRecord());
}

TEST(PrmnFileAccess, MissingDirectoryAndUnreadable) {
    TempDir dir;
    TPrmnTable table{};
    std::string why;
    EXPECT_FALSE(ReadWritePrmnFile(pfm_Read, dir.File("none.bin"), table, 0, &why));
    EXPECT_EQ(why, "Не открывается на чтение файл:" + dir.File("none.bin"));
    fs::create_directory(dir.File("adir"));
    EXPECT_FALSE(ReadWritePrmnFile(pfm_Read, dir.File("adir"), table, 0));
    EXPECT_FALSE(ReadWritePrmnFile(pfm_Write, dir.File("adir"), table, 1, &why));
    EXPECT_EQ(why.rfind("Не открывается на запись файл:", 0), 0u);
    EXPECT_FALSE(ReadWritePrmnFile(pfm_Write, dir.File("no/such/dir.bin"), table, 1));
    if (::geteuid() != 0) {
        const std::string locked = dir.File("locked.bin");
        ASSERT_TRUE(ReadWritePrmnFile(pfm_Write, locked, table, 1));
        ::chmod(locked.c_str(), 0);
        EXPECT_FALSE(ReadWritePrmnFile(pfm_Read, locked, table, 0));
    }
    EXPECT_FALSE(ReadWritePrmnFile(7, dir.File("x.bin"), table, 1));
}

TEST(PrmnFileAccess, FailedWriteKeepsTheOldFile) {
    TempDir dir;
    const std::string file = dir.File("iec104sr.bin");
    TPrmnTable table{};
    table[0] = DefaultRecord();
    ASSERT_TRUE(ReadWritePrmnFile(pfm_Write, file, table, 1));
    const auto before = ReadBytes(file);
    if (::geteuid() != 0) {
        fs::permissions(fs::path(file).parent_path(),
                        fs::perms::owner_read | fs::perms::owner_exec);
        table[0].Port = 1;
        EXPECT_FALSE(ReadWritePrmnFile(pfm_Write, file, table, 1));
        fs::permissions(fs::path(file).parent_path(), fs::perms::owner_all);
        EXPECT_EQ(ReadBytes(file), before);
    }
}

TEST(PrmnFile, StationCountIsClamped) {
    TPrmnTable table{};
    EXPECT_EQ(PrmnFileBytes(table, -3).size(), 12u);
    EXPECT_EQ(PrmnFileBytes(table, 1000).size(), 12u + 160u * 64u);
}

}  // namespace
}  // namespace telegate
