// Shared pieces of the polling and publication tests: a temporary directory, an
// application context on a manual clock, and a station table builder.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "app/AppContext.h"
#include "model/StationTable.h"
#include "support/Clock.h"
#include "support/Notifier.h"

namespace telegate::testing_polling {

namespace fs = std::filesystem;

class TTempDir {
  public:
    TTempDir() {
        std::string tmpl = (fs::temp_directory_path() / "tg-polling-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
    }
    ~TTempDir() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    const fs::path& Path() const { return path_; }
    std::string Str() const { return path_.string(); }

  private:
    fs::path path_;
};

inline std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
inline void WriteAll(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
}

// Station n with nTS two-state tags (IOA 1..nTS, commands at 101.. when tu) and nTI
// measurements (IOA 1001..), common address asdu.
inline void AddStation(TStationTable& t, const std::string& name, int port, int nTS, int nTI,
                       int asdu, bool tu = false) {
    const int n = ++t.Kol_KP;
    T_KP& kp = t.KP_arr[n];
    kp.NameKP = name;
    kp.IP = "127.0.0.1";
    kp.Port = port;
    kp.ASDU_Adr = asdu;
    kp.Kol_TS = nTS;
    kp.Kol_TI = nTI;
    for (int k = 1; k <= nTS; ++k) {
        T_TS& ts = kp.TS_arr[k];
        ts.NameTS = "TS" + std::to_string(k);
        ts.AdrASDU = asdu;
        ts.AdrIOA = k;
        ts.AdrASDU_TU = tu ? asdu : 0;
        ts.AdrIOA_TU = tu ? 100 + k : 0;
    }
    for (int k = 1; k <= nTI; ++k) {
        T_TI& ti = kp.TI_arr[k];
        ti.NameTI = "TI" + std::to_string(k);
        ti.AdrASDU = asdu;
        ti.AdrIOA = 1000 + k;
        ti.Min_TM_Diap = 0;
        ti.Max_TM_Diap = 1000;
        ti.Min_Eng_Diap = 0;
        ti.Max_Eng_Diap = 100;
    }
}

struct TContextHolder {
    TManualClock clock;
    TRecordingNotifier notifier;
    TTempDir opcDir;  // where the OPC bridge appends "opcl.txt"
    std::unique_ptr<TAppContext> ctx = std::make_unique<TAppContext>(clock, notifier, opcDir.Str());
};

}  // namespace telegate::testing_polling
