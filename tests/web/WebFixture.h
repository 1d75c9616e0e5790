// Live data for the web page tests: a station table, signal records and tags with
// values, and optionally station clients with their parameters.
#pragma once

#include <cstring>
#include <deque>
#include <memory>
#include <string>

#include "iec104/ClientList.h"
#include "model/StationTable.h"
#include "model/Registries.h"
#include "model/Tags.h"
#include "model/TypeCatalogue.h"
#include "support/Clock.h"
#include "support/Notifier.h"
#include "support/Journal.h"
#include "web/WebPages.h"

namespace telegate::test {

struct TWebFixture {
    TStationTable st;
    TMessBuff journal{100, 0xFFFFFFFFu};
    TArmSignals arm;
    TTagSignalList tags{journal, &arm};
    std::deque<TTitBound> bounds;
    TTagCategoryList categories{1};

    TManualClock clock;
    TRecordingNotifier notifier;
    TTypeIdentList types{notifier};
    TPrmnTable prmn{};
    std::unique_ptr<TClients104> clients;

    int AddStation(const std::string& name, const std::string& ip, bool connected = true) {
        const int n = ++st.Kol_KP;
        T_KP& kp = st.KP_arr[n];
        kp.NameKP = name;
        kp.IP = ip;
        kp.Connected = connected;
        kp.ASDU_Adr = n;
        return n;
    }

    // A signal record and its tag; the tag has received no value yet.
    TTagSignal& AddTag(int station, SignalType kind, const std::string& name, int asdu, int ioa) {
        TArmRec* rec = arm.AddRec(TStationTable::StationId(station), kind, name,
                                  kind == stTS ? kArmFlagsTS : kArmFlagsTIT);
        const int ind = arm.GetCount() - 1;
        rec->FSigASDUAddr = asdu;
        rec->FSigObjAddr = ioa;
        TTagSignal tag;
        tag.Init(name, asdu, ioa, st.KP_arr[station].IP, 2404,
                 categories.GetPtc(kind == stTS ? tcn_TS : tcn_TIT), ind);
        tags.AddTag(tag);
        return tags.List.back();
    }

    TTagSignal& AddTI(int station, const std::string& name, int asdu, int ioa, float value,
                      uint8_t quality, TDateTime stamp) {
        TTagSignal& t = AddTag(station, stTIT, name, asdu, ioa);
        SetFloat(t, value, quality, stamp);
        return t;
    }

    TTagSignal& AddTS(int station, const std::string& name, int asdu, int ioa, bool on,
                      uint8_t quality, TDateTime stamp) {
        TTagSignal& t = AddTag(station, stTS, name, asdu, ioa);
        t.Value.pdc = dcn_SingleTS1;
        t.Value.bv[0] = on ? 1 : 0;
        t.Value.Qualit = quality;
        t.Value.prQualit = true;
        t.Value.dt = stamp;
        return t;
    }

    static void SetFloat(TTagSignal& t, float value, uint8_t quality, TDateTime stamp) {
        t.Value.pdc = dcn_TITfloat;
        std::memcpy(t.Value.bv, &value, 4);
        t.Value.Qualit = quality;
        t.Value.prQualit = true;
        t.Value.dt = stamp;
    }

    void SetBound(int armIndex, double rawMin, double rawMax, double engMin, double engMax) {
        bounds.emplace_back(true, rawMin, rawMax, engMin, engMax, 0, 0, 0, 0);
        arm.GetRec(armIndex)->pTitBound1 = &bounds.back();
    }

    // One client per station, made from the parameter records.
    void MakeClients() {
        TLinkEnv env{clock, journal, types, {}};
        clients = std::make_unique<TClients104>(64, env, prmn);
        for (int n = 1; n <= st.Kol_KP; ++n) clients->AddClient(PClientSocket{});
    }

    TWebView View() const { return TWebView{st, &tags, &arm, clients.get()}; }
};

}  // namespace telegate::test
