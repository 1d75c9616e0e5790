// Reading and writing a full station configuration: 32 stations with 20000 tags in
// all (313 two-state and 312 measured-value tags per station), written to a
// temporary folder as "iec104.cfg" and read back. Prints the file size and the mean
// time of a write and of a read, and of formatting and parsing the text in memory.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "model/ConfigFile.h"
#include "model/StationTable.h"
#include "platform/SystemClock.h"
#include "support/Notifier.h"

using namespace telegate;

namespace {

constexpr int kStations = 32;
constexpr int kTsPerStation = 313;
constexpr int kTiPerStation = 312;
constexpr int kRounds = 10;

void FillFullTable(TStationTable& t) {
    t.Kol_KP = kStations;
    for (int n = 1; n <= kStations; ++n) {
        T_KP& kp = t.KP_arr[n];
        kp.NameKP = "Подстанция " + std::to_string(n);
        kp.IP = "127.0.0.1";
        kp.Port = 2404;
        kp.ASDU_Adr = n;
        kp.PereschetTI = n % 2 == 0;
        kp.Popravka_Time = -3;
        kp.OPROS_KP = 10;
        kp.Kol_TS = kTsPerStation;
        kp.Kol_TI = kTiPerStation;
        for (int k = 1; k <= kTsPerStation; ++k) {
            T_TS& ts = kp.TS_arr[k];
            ts.NameTS = "Выключатель Q" + std::to_string(k);
            ts.AdrASDU = n;
            ts.AdrIOA = 1000 + k;
            ts.AdrASDU_TU = k % 4 == 0 ? n : 0;
            ts.AdrIOA_TU = k % 4 == 0 ? 2000 + k : 0;
        }
        for (int k = 1; k <= kTiPerStation; ++k) {
            T_TI& ti = kp.TI_arr[k];
            ti.NameTI = "Напряжение, фаза " + std::to_string(k);
            ti.AdrASDU = n;
            ti.AdrIOA = 4000 + k;
            ti.Min_TM_Diap = -32768;
            ti.Max_TM_Diap = 32767;
            ti.Min_Eng_Diap = -0.5 * k;
            ti.Max_Eng_Diap = 110.25 + k;
        }
    }
}

}  // namespace

int main() {
    namespace fs = std::filesystem;
    std::string tmpl = (fs::temp_directory_path() / "bench_config_XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (::mkdtemp(buf.data()) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    const fs::path dir(buf.data());
    const std::string file = (dir / "iec104.cfg").string();

    TSystemClock clock;
    TStderrNotifier notifier;
    auto table = std::make_unique<TStationTable>();
    FillFullTable(*table);
    auto back = std::make_unique<TStationTable>();

    int64_t writeMs = 0, readMs = 0, formatMs = 0, parseMs = 0;
    int tags = 0;
    for (int r = 0; r < kRounds; ++r) {
        const int64_t t0 = clock.MonotonicMs();
        WriteConfigFile(file, *table);
        const int64_t t1 = clock.MonotonicMs();
        ReadConfigFile(file, *back, notifier);
        const int64_t t2 = clock.MonotonicMs();
        const std::string text = FormatConfigText(*table);
        const int64_t t3 = clock.MonotonicMs();
        ReadConfigText(text, *back);
        const int64_t t4 = clock.MonotonicMs();
        writeMs += t1 - t0;
        readMs += t2 - t1;
        formatMs += t3 - t2;
        parseMs += t4 - t3;
    }
    for (int n = 1; n <= back->Kol_KP; ++n) tags += back->KP_arr[n].Kol_TS + back->KP_arr[n].Kol_TI;

    std::printf("stations %d, tags %d (read back %d stations, %d tags)\n", kStations,
                kStations * (kTsPerStation + kTiPerStation), back->Kol_KP, tags);
    std::printf("file size %llu octets\n", static_cast<unsigned long long>(fs::file_size(file)));
    std::printf("write %.1f ms (mean of %d, with fsync)\n", double(writeMs) / kRounds, kRounds);
    std::printf("read  %.1f ms (mean of %d)\n", double(readMs) / kRounds, kRounds);
    std::printf("in memory: format %.1f ms, parse %.1f ms\n", double(formatMs) / kRounds,
                double(parseMs) / kRounds);
    std::error_code ec;
    fs::remove_all(dir, ec);
    return back->Kol_KP == kStations && tags == 20000 ? 0 : 1;
}
