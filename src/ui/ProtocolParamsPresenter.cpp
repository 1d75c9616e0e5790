#include "ui/ProtocolParamsPresenter.h"

#include <charconv>
#include <limits>

namespace telegate {

namespace {

constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();
// Seconds that still fit a time-out kept in milliseconds.
constexpr int64_t kMaxSeconds = kInt32Max / 1000;

// Field sizes are fixed in this master: shown and stored as 2, 3, 2 and 0.
constexpr int32_t kSzAsdu = 2, kSzIoa = 3, kSzCot = 2, kSzLink = 0;

bool IsNumeric(TParamField f) {
    return f != pf_DevName && f != pf_Host;
}
bool IsFixedSize(TParamField f) {
    return f == pf_SzAsduAddress || f == pf_SzInfObjAddress || f == pf_SzCOT ||
           f == pf_SzLinkAddress;
}

}  // namespace

const char* ParamFieldCaption(TParamField field) {
    switch (field) {
        case pf_DevName:
            return "Device Name";
        case pf_Host:
            return "Slave Host";
        case pf_Port:
            return "Slave TCP Port";
        case pf_k:
            return "k";
        case pf_w:
            return "w";
        case pf_t0:
            return "t0";
        case pf_t1:
            return "t1";
        case pf_t2:
            return "t2";
        case pf_t3:
            return "t3";
        case pf_RetryCount:
            return "Retry Count";
        case pf_RetryTimeout:
            return "Retry Delay (sec)";
        case pf_ConfirmationTimeout:
            return "Confirmation (ms)";
        case pf_TerminationTimeout:
            return "Termination (ms)";
        case pf_SzAsduAddress:
            return "Common ASDU Address";
        case pf_SzInfObjAddress:
            return "Information Object Address";
        case pf_SzCOT:
            return "Cause of Trannsmition";
        case pf_SzLinkAddress:
            return "Link Address";
        case pf_CommonAsduAddress:
            return "Common ASDU Address";
        case pf_OriginatorAddress:
            return "Originator Address";
        case pf_ReceiveBufferLength:
            return "Receive Buffer Length";
        case pf_ClockSinhronizationTime:
            return "Perform every";
        case pf_Count:
            break;
    }
    return "";
}

TParamRange ParamFieldRange(TParamField field) {
    switch (field) {
        // 0 keeps its meaning of "not given": the station table's port is used.
        case pf_Port:
            return {0, 65535};
        // Window sizes: sequence numbers are 15 bits.
        case pf_k:
            return {1, 32767};
        case pf_w:
            return {1, 32767};
        // Link timers in seconds: 1 to 255 s, t3 up to 48 hours; a t0 of 0 leaves
        // the worker's silence limit at its default.
        case pf_t0:
            return {0, 255};
        case pf_t1:
            return {1, 255};
        case pf_t2:
            return {1, 255};
        case pf_t3:
            return {1, 172800};
        case pf_RetryCount:
            return {0, 1000000};
        case pf_RetryTimeout:
            return {0, kMaxSeconds};
        case pf_ConfirmationTimeout:
            return {0, kInt32Max};
        case pf_TerminationTimeout:
            return {0, kInt32Max};
        case pf_CommonAsduAddress:
            return {0, 65535};
        case pf_OriginatorAddress:
            return {0, 255};
        case pf_ReceiveBufferLength:
            return {1, 1000000};
        case pf_ClockSinhronizationTime:
            return {0, 525600};  // a year, in minutes
        case pf_SzAsduAddress:
            return {kSzAsdu, kSzAsdu};
        case pf_SzInfObjAddress:
            return {kSzIoa, kSzIoa};
        case pf_SzCOT:
            return {kSzCot, kSzCot};
        case pf_SzLinkAddress:
            return {kSzLink, kSzLink};
        default:
            break;
    }
    return {0, 0};
}

bool ParseWholeNumber(const std::string& text, TParamRange range, int64_t& value) {
    size_t b = 0, e = text.size();
    while (b < e && (text[b] == ' ' || text[b] == '\t')) ++b;
    while (e > b && (text[e - 1] == ' ' || text[e - 1] == '\t')) --e;
    if (b == e) return false;
    const char* first = text.data() + b;
    const char* last = text.data() + e;
    if (*first == '+') ++first;
    int64_t v = 0;
    const auto [ptr, ec] = std::from_chars(first, last, v);
    if (ec != std::errc() || ptr != last) return false;
    if (v < range.Min || v > range.Max) return false;
    value = v;
    return true;
}

TProtocolParamsPresenter::TProtocolParamsPresenter(const TPrmn& record) : pprm1_(record) {
    OutParamForm(pprm1_);
}

void TProtocolParamsPresenter::Attach(IProtocolParamsView* view) {
    view_ = view;
    if (view_ == nullptr) return;
    for (int f = 0; f < pf_Count; ++f) {
        const auto field = static_cast<TParamField>(f);
        view_->SetFieldText(field, texts_[static_cast<size_t>(f)]);
        view_->SetFieldEnabled(field, !IsFixedSize(field));
    }
}

void TProtocolParamsPresenter::SetText(TParamField field, std::string text) {
    texts_[static_cast<size_t>(field)] = std::move(text);
    if (view_ != nullptr) view_->SetFieldText(field, texts_[static_cast<size_t>(field)]);
}

void TProtocolParamsPresenter::OutParamForm(const TPrmn& p) {
    auto num = [](int64_t v) { return std::to_string(v); };
    SetText(pf_DevName, p.Name);
    SetText(pf_Host, p.Host);
    SetText(pf_Port, num(p.Port));
    SetText(pf_k, num(p.kMax));
    SetText(pf_w, num(p.wMax));
    // Milliseconds in the record, whole seconds in the dialog.
    SetText(pf_t0, num(p.t0 / 1000));
    SetText(pf_t1, num(p.t1 / 1000));
    SetText(pf_t2, num(p.t2 / 1000));
    SetText(pf_t3, num(p.t3 / 1000));
    SetText(pf_RetryCount, num(p.RetryCount));
    SetText(pf_RetryTimeout, num(p.RetryTimeOut / 1000));
    SetText(pf_ConfirmationTimeout, num(p.ConfirmationTimeout));
    SetText(pf_TerminationTimeout, num(p.TerminationTimeout));
    SetText(pf_SzAsduAddress, num(kSzAsdu));
    SetText(pf_SzInfObjAddress, num(kSzIoa));
    SetText(pf_SzCOT, num(kSzCot));
    SetText(pf_SzLinkAddress, num(kSzLink));
    SetText(pf_CommonAsduAddress, num(p.CommonAsduAddress));
    SetText(pf_OriginatorAddress, num(p.OriginatorAddress));
    SetText(pf_ReceiveBufferLength, num(p.ReceiveBufferLength));
    SetText(pf_ClockSinhronizationTime, num(p.ClockSinhronizationTime));
}

void TProtocolParamsPresenter::OnFieldEdited(TParamField field, std::string text) {
    if (field < 0 || field >= pf_Count || IsFixedSize(field)) return;
    texts_[static_cast<size_t>(field)] = std::move(text);
}

void TProtocolParamsPresenter::OnDefaults() {
    TPrmn defaults = pprm1_;
    SetDefaultPrmn(defaults, "127.0.0.1", 2404);
    OutParamForm(defaults);
}

bool TProtocolParamsPresenter::OnOk() {
    // Check everything first: a refused field leaves the record as it was.
    std::array<int64_t, pf_Count> v{};
    for (int f = 0; f < pf_Count; ++f) {
        const auto field = static_cast<TParamField>(f);
        if (!IsNumeric(field)) continue;
        const TParamRange range = ParamFieldRange(field);
        if (!ParseWholeNumber(texts_[static_cast<size_t>(f)], range, v[static_cast<size_t>(f)])) {
            if (view_ != nullptr)
                view_->ShowError("\"" + std::string(ParamFieldCaption(field)) +
                                     "\": введите целое число от " + std::to_string(range.Min) +
                                     " до " + std::to_string(range.Max) + ".",
                                 field);
            return false;
        }
    }
    auto i32 = [&v](TParamField f) { return static_cast<int32_t>(v[static_cast<size_t>(f)]); };
    TPrmn& p = pprm1_;
    p.Name = CutToPrmnText(texts_[pf_DevName]);
    p.Host = CutToPrmnText(texts_[pf_Host]);
    p.Port = i32(pf_Port);
    p.kMax = i32(pf_k);
    p.wMax = i32(pf_w);
    p.t0 = i32(pf_t0) * 1000;
    p.t1 = i32(pf_t1) * 1000;
    p.t2 = i32(pf_t2) * 1000;
    p.t3 = i32(pf_t3) * 1000;
    p.RetryCount = i32(pf_RetryCount);
    p.RetryTimeOut = i32(pf_RetryTimeout) * 1000;
    p.ConfirmationTimeout = i32(pf_ConfirmationTimeout);
    p.TerminationTimeout = i32(pf_TerminationTimeout);
    p.sz_ASDUAddress = kSzAsdu;
    p.sz_InfObjAddress = kSzIoa;
    p.sz_COT = kSzCot;
    p.sz_LinkAddress = kSzLink;
    p.CommonAsduAddress = i32(pf_CommonAsduAddress);
    p.OriginatorAddress = i32(pf_OriginatorAddress);
    p.ReceiveBufferLength = i32(pf_ReceiveBufferLength);
    p.ClockSinhronizationTime = i32(pf_ClockSinhronizationTime);
    accepted_ = true;
    if (view_ != nullptr) view_->EndDialog(true);
    return true;
}

void TProtocolParamsPresenter::OnCancel() {
    accepted_ = false;
    if (view_ != nullptr) view_->EndDialog(false);
}

}  // namespace telegate
