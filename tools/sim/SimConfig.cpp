#include <exception>
#include <filesystem>
#include <memory>

#include "SimStation.h"
#include "model/ConfigFile.h"
#include "support/FileNames.h"
#include "support/Notifier.h"

namespace telegate::sim {

std::string LoadConfigStations(const std::string& path, int first, int count,
                               std::vector<TSimStation>& out) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(Utf8Path(path), ec))
        return "no configuration file " + path;
    // The table is large; it lives only while the points are copied out of it.
    auto table = std::make_unique<TStationTable>();
    TRecordingNotifier notifier;
    try {
        ReadConfigFile(path, *table, notifier);
    } catch (const std::exception& e) {
        return "cannot read " + path + ": " + e.what();
    }
    if (!notifier.errors.empty()) return "cannot read " + path + ": " + notifier.errors.front();
    if (first < 1 || count < 1 || first + count - 1 > table->Kol_KP)
        return "station " + std::to_string(first + count - 1) + " is not in " + path + " (" +
               std::to_string(table->Kol_KP) + " stations)";
    for (int n = first; n < first + count; ++n) {
        const T_KP& kp = table->KP_arr[n];
        TSimStation st;
        st.name = kp.NameKP;
        for (int k = 1; k <= kp.Kol_TS; ++k) {
            const T_TS& ts = kp.TS_arr[k];
            TSimPoint p;
            p.ca = static_cast<uint16_t>(ts.AdrASDU);
            p.ioa = static_cast<uint32_t>(ts.AdrIOA) & 0xFFFFFF;
            p.twoState = true;
            st.points.push_back(p);
            if (ts.AdrASDU_TU != 0 && ts.AdrIOA_TU != 0)
                st.commands.push_back({static_cast<uint16_t>(ts.AdrASDU_TU),
                                       static_cast<uint32_t>(ts.AdrIOA_TU) & 0xFFFFFF,
                                       static_cast<int>(st.points.size() - 1)});
        }
        for (int k = 1; k <= kp.Kol_TI; ++k) {
            const T_TI& ti = kp.TI_arr[k];
            TSimPoint p;
            p.ca = static_cast<uint16_t>(ti.AdrASDU);
            p.ioa = static_cast<uint32_t>(ti.AdrIOA) & 0xFFFFFF;
            p.twoState = false;
            p.value = ti.Min_TM_Diap;
            st.points.push_back(p);
        }
        st.Reindex();
        out.push_back(std::move(st));
    }
    return {};
}

}  // namespace telegate::sim
