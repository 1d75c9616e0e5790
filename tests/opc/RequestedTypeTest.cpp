// Requested data types: the conversion rules, and items that deliver exactly the
// type their client asked for.
#include <gtest/gtest.h>

#include "OpcFixture.h"

namespace telegate::opc::test {
namespace {

TEST(ChangeType, FollowsTheVariantRules) {
    struct TCase {
        VARIANT src;
        VARTYPE vt;
        HRESULT hr;
        double value;  // of the result, as a number (strings: checked below)
    };
    const TCase cases[] = {
        {com::MakeR8(2.5), VT_I4, S_OK, 2},  // ties to even
        {com::MakeR8(3.5), VT_I2, S_OK, 4},
        {com::MakeR8(-1.4), VT_I4, S_OK, -1},
        {com::MakeR8(40000.0), VT_I2, DISP_E_OVERFLOW, 0},
        {com::MakeR8(-1.0), VT_UI1, DISP_E_OVERFLOW, 0},
        {com::MakeR8(1e39), VT_R4, DISP_E_OVERFLOW, 0},
        {com::MakeR8(0.25), VT_R4, S_OK, 0.25},
        {com::MakeR8(0.0), VT_BOOL, S_OK, 0},
        {com::MakeR8(0.1), VT_BOOL, S_OK, -1},
        {com::MakeBool(true), VT_I4, S_OK, -1},
        {com::MakeBool(true), VT_UI1, S_OK, 255},
        {com::MakeBool(true), VT_R8, S_OK, -1},
        {com::MakeBool(false), VT_UI2, S_OK, 0},
        {com::MakeUI2(59), VT_INT, S_OK, 59},
        {com::MakeUI2(59), VT_I1, S_OK, 59},
        {com::MakeUI2(200), VT_I1, DISP_E_OVERFLOW, 0},
        {com::MakeBstr(" 12 "), VT_I4, S_OK, 12},
        {com::MakeBstr("True"), VT_BOOL, S_OK, -1},
        {com::MakeBstr("abc"), VT_R8, DISP_E_TYPEMISMATCH, 0},
        {com::MakeR8(1.0), static_cast<VARTYPE>(VT_ARRAY | VT_I4), DISP_E_TYPEMISMATCH, 0},
        {com::MakeEmpty(), VT_I4, DISP_E_TYPEMISMATCH, 0},
    };
    int n = 0;
    for (TCase c : cases) {
        VARIANT out;
        EXPECT_EQ(c.hr, com::ChangeType(c.src, c.vt, out)) << "case " << n;
        if (SUCCEEDED(c.hr)) {
            EXPECT_EQ(c.vt, out.vt) << "case " << n;
            double d = 0;
            ASSERT_TRUE(com::VariantToDouble(out, d)) << "case " << n;
            EXPECT_EQ(c.value, d) << "case " << n;
        } else {
            EXPECT_EQ(VT_EMPTY, out.vt) << "case " << n;
        }
        VariantClear(&out);
        VariantClear(&c.src);
        ++n;
    }
    const std::pair<VARIANT, const char*> texts[] = {
        {com::MakeBool(true), "True"}, {com::MakeR8(0.5), "0.5"}, {com::MakeR8(-3), "-3"}};
    for (auto [src, text] : texts) {
        VARIANT out;
        ASSERT_EQ(S_OK, com::ChangeType(src, VT_BSTR, out));
        EXPECT_EQ(text, com::WideToUtf8(out.bstrVal));
        VariantClear(&out);
    }
}

TEST_F(OpcFixture, ItemsDeliverTheRequestedTypeOrRefuseIt) {
    Set(2, 1.0);
    Set(3, 70000.0);
    IOPCItemMgt* g = AddGroup("G");
    com::WString ids[] = {W("A.T1"), W("A.M1"), W("A.M1"), W("A.M1"), W("top")};
    const VARTYPE req[] = {VT_I2, VT_BSTR, VT_I2, static_cast<VARTYPE>(VT_ARRAY | VT_R8), VT_EMPTY};
    OPCITEMDEF defs[5] = {};
    for (int i = 0; i < 5; ++i) {
        defs[i].szItemID = ids[i].data();
        defs[i].bActive = TRUE;
        defs[i].vtRequestedDataType = req[i];
    }
    OPCITEMRESULT* res = nullptr;
    HRESULT* err = nullptr;
    ASSERT_EQ(S_FALSE, g->AddItems(5, defs, &res, &err));
    EXPECT_EQ(OPC_E_BADTYPE, err[3]);
    OPCHANDLE h[4] = {res[0].hServer, res[1].hServer, res[2].hServer, res[4].hServer};
    CoTaskMemFree(res);
    CoTaskMemFree(err);
    ASSERT_EQ(S_FALSE, g->ValidateItems(5, defs, FALSE, &res, &err));
    EXPECT_EQ(OPC_E_BADTYPE, err[3]);
    EXPECT_EQ(S_OK, err[0]);
    CoTaskMemFree(res);
    CoTaskMemFree(err);

    auto* io = Query<IOPCSyncIO>(g);
    OPCITEMSTATE* st = nullptr;
    ASSERT_EQ(S_OK, io->Read(OPC_DS_DEVICE, 4, h, &st, &err));
    EXPECT_EQ(VT_I2, st[0].vDataValue.vt);
    EXPECT_EQ(1, st[0].vDataValue.iVal);
    EXPECT_EQ(VT_BSTR, st[1].vDataValue.vt);
    EXPECT_EQ("70000", com::WideToUtf8(st[1].vDataValue.bstrVal));
    // 70000 does not fit a VT_I2: bad for this read, never a wrapped number.
    EXPECT_EQ(VT_EMPTY, st[2].vDataValue.vt);
    EXPECT_EQ(0, st[2].wQuality);
    // Nothing requested: the canonical type AddItems reported.
    EXPECT_EQ(VT_I4, st[3].vDataValue.vt);
    for (int i = 0; i < 4; ++i) VariantClear(&st[i].vDataValue);
    CoTaskMemFree(st);
    CoTaskMemFree(err);

    // SetDatatypes: the same rule per item.
    VARTYPE types[] = {VT_R4, static_cast<VARTYPE>(VT_VARIANT)};
    ASSERT_EQ(S_FALSE, g->SetDatatypes(2, h, types, &err));
    EXPECT_EQ(S_OK, err[0]);
    EXPECT_EQ(OPC_E_BADTYPE, err[1]);
    CoTaskMemFree(err);
    ASSERT_EQ(S_OK, io->Read(OPC_DS_CACHE, 1, h, &st, &err));
    EXPECT_EQ(VT_R4, st[0].vDataValue.vt);
    CoTaskMemFree(st);
    CoTaskMemFree(err);
    io->Release();
    g->Release();
}

}  // namespace
}  // namespace telegate::opc::test
