// The protocol parameter dialog: units, fixed field sizes, defaults, and the
// refusal of fields that are not whole numbers in range.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/ProtocolParamsPresenter.h"

namespace telegate {
namespace {

struct TParamsView : IProtocolParamsView {
    void SetFieldText(TParamField f, const std::string& t) override { texts[f] = t; }
    void SetFieldEnabled(TParamField f, bool e) override { enabled[f] = e; }
    void ShowError(const std::string& t, TParamField f) override {
        errors.push_back(t);
        focus = f;
    }
    void EndDialog(bool ok) override { ended.push_back(ok); }
    std::string texts[pf_Count];
    bool enabled[pf_Count] = {};
    std::vector<std::string> errors;
    TParamField focus = pf_Count;
    std::vector<bool> ended;
};

TPrmn StationRecord() {
    TPrmn r;
    SetDefaultPrmn(r, "127.0.0.1", 2405);
    r.Host = "127.0.0.1";
    r.Name = "КП-1";
    r.t1 = 15000;
    r.t3 = 20500;  // not a whole number of seconds
    r.sz_InfObjAddress = 2;
    r.LinkAddress1 = 7;
    r.PollingCycle = 11;
    r.ClockSinhronizationCheck = true;
    r.prWork1 = 1;
    return r;
}

TEST(ProtocolParams, ShowsSecondsAndFixedFieldSizes) {
    TProtocolParamsPresenter p(StationRecord());
    TParamsView v;
    p.Attach(&v);
    EXPECT_EQ(v.texts[pf_t1], "15");
    EXPECT_EQ(v.texts[pf_t3], "20");  // ms div 1000
    EXPECT_EQ(v.texts[pf_RetryTimeout], "20");
    EXPECT_EQ(v.texts[pf_ConfirmationTimeout], "5000");  // ms stay ms
    EXPECT_EQ(v.texts[pf_Host], "127.0.0.1");
    const std::pair<TParamField, const char*> sizes[] = {{pf_SzAsduAddress, "2"},
                                                         {pf_SzInfObjAddress, "3"},
                                                         {pf_SzCOT, "2"},
                                                         {pf_SzLinkAddress, "0"}};
    for (const auto& [f, text] : sizes) {
        EXPECT_EQ(v.texts[f], text) << ParamFieldCaption(f);
        EXPECT_FALSE(v.enabled[f]) << ParamFieldCaption(f);
    }
    EXPECT_TRUE(v.enabled[pf_t1]);
}

TEST(ProtocolParams, OkStoresDialogUnitsAndKeepsFieldsWithoutControl) {
    const TPrmn before = StationRecord();
    TProtocolParamsPresenter p(before);
    TParamsView v;
    p.Attach(&v);
    p.OnFieldEdited(pf_t1, "20");
    p.OnFieldEdited(pf_RetryTimeout, " 7 ");
    p.OnFieldEdited(pf_Port, "+2406");
    p.OnFieldEdited(pf_DevName, std::string(40, 'x'));
    p.OnFieldEdited(pf_SzInfObjAddress, "9");  // disabled: ignored
    ASSERT_TRUE(p.OnOk());
    EXPECT_EQ(v.ended, std::vector<bool>{true});
    const TPrmn& r = p.Record();
    EXPECT_EQ(r.t1, 20000);
    EXPECT_EQ(r.t3, 20000);
    EXPECT_EQ(r.RetryTimeOut, 7000);
    EXPECT_EQ(r.Port, 2406);
    EXPECT_EQ(r.Name, std::string(32, 'x'));
    EXPECT_EQ(r.sz_ASDUAddress, 2);
    EXPECT_EQ(r.sz_InfObjAddress, 3);
    EXPECT_EQ(r.sz_COT, 2);
    EXPECT_EQ(r.sz_LinkAddress, 0);
    EXPECT_EQ(r.LinkAddress1, 7);
    EXPECT_EQ(r.PollingCycle, 11);
    EXPECT_TRUE(r.ClockSinhronizationCheck);
    EXPECT_EQ(r.prWork1, 1);
}

TEST(ProtocolParams, RefusesFieldsThatAreNotWholeNumbersInRange) {
    struct Case {
        TParamField field;
        const char* text;
        bool accepted;
    };
    const Case cases[] = {
        {pf_t1, "12a", false},
        {pf_t1, "", false},
        {pf_t1, "1.5", false},
        {pf_t1, "0", false},
        {pf_t0, "0", true},
        {pf_t1, "255", true},
        {pf_t1, "256", false},
        {pf_t3, "172800", true},
        {pf_Port, "0", true},
        {pf_Port, "65535", true},
        {pf_Port, "65536", false},
        {pf_Port, "-1", false},
        {pf_k, "32767", true},
        {pf_k, "32768", false},
        {pf_w, "0", false},
        {pf_CommonAsduAddress, "65535", true},
        {pf_CommonAsduAddress, "65536", false},
        {pf_OriginatorAddress, "256", false},
        {pf_RetryTimeout, "2147483", true},  // still fits in ms
        {pf_RetryTimeout, "2147484", false},
        {pf_TerminationTimeout, "99999999999999999999", false},
        {pf_ReceiveBufferLength, "0x10", false},
    };
    for (const Case& c : cases) {
        const TPrmn before = StationRecord();
        TProtocolParamsPresenter p(before);
        TParamsView v;
        p.Attach(&v);
        p.OnFieldEdited(pf_k, "10");  // a valid edit elsewhere must not leak either
        p.OnFieldEdited(c.field, c.text);
        const bool closed = p.OnOk();
        EXPECT_EQ(closed, c.accepted) << ParamFieldCaption(c.field) << " '" << c.text << "'";
        if (c.accepted) continue;
        EXPECT_TRUE(v.ended.empty()) << "the dialog stays open";
        ASSERT_EQ(v.errors.size(), 1u);
        EXPECT_NE(v.errors[0].find(ParamFieldCaption(c.field)), std::string::npos) << v.errors[0];
        EXPECT_EQ(v.focus, c.field);
        EXPECT_EQ(p.Record(), before) << "a refused OK changes nothing";
        EXPECT_FALSE(p.Accepted());
    }
}

TEST(ProtocolParams, DefaultsAreShownButStoredOnlyByOk) {
    const TPrmn before = StationRecord();
    {
        TProtocolParamsPresenter p(before);
        TParamsView v;
        p.Attach(&v);
        p.OnDefaults();
        EXPECT_EQ(v.texts[pf_Host], "127.0.0.1");
        EXPECT_EQ(v.texts[pf_Port], "2404");
        EXPECT_EQ(v.texts[pf_CommonAsduAddress], "3");
        p.OnCancel();
        EXPECT_EQ(v.ended, std::vector<bool>{false});
        EXPECT_FALSE(p.Accepted());
        EXPECT_EQ(p.Record(), before);
    }
    TProtocolParamsPresenter p(before);
    p.OnDefaults();
    ASSERT_TRUE(p.OnOk());
    TPrmn expected = before;
    SetDefaultPrmn(expected, "127.0.0.1", 2404);
    expected.ClockSinhronizationCheck = true;  // no control: kept
    EXPECT_EQ(p.Record(), expected);
}

}  // namespace
}  // namespace telegate
