// The loopback fixture of the end-to-end tests: two stations served by telegate-sim
// and the master in this process.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "LiveMaster.h"
#include "common/ChildProcess.h"

namespace telegate {

class EndToEndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string tmpl = (std::filesystem::temp_directory_path() / "tg-e2e-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        // Two stations: "Подстанция Альфа" (ASDU 1: TS 1..3 with commands at 101..103,
        // TI 1001..1002) and "ПС Бета" (ASDU 2: TS 1..2, TI 1001..1002).
        auto t = std::make_unique<TStationTable>();
        AddStation(*t, "Подстанция Альфа", 1, 3, 2);
        AddStation(*t, "ПС Бета", 2, 2, 2);
        WriteConfigFile((dir_ / "iec104.cfg").string(), *t);
        ASSERT_TRUE(
            sim_.Start(std::string(TELEGATE_BIN_DIR) + "/" + test::ExecutableName("telegate-sim"),
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
        std::filesystem::remove_all(dir_, ec);
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
        master_ = std::make_unique<live::TLiveMaster>(dir_.string(), web);
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

    std::filesystem::path dir_;
    live::TSimProcess sim_;
    std::vector<int> ports_;
    std::unique_ptr<live::TLiveMaster> master_;
};

}  // namespace telegate
