#include "model/StationTable.h"

namespace telegate {

bool TStationTable::DeleteStation(int n) {
    if (!IsStation(n)) return false;
    if (n != Kol_KP) KP_arr[n] = KP_arr[Kol_KP];
    --Kol_KP;
    return true;
}

namespace {

TItemSnapshot CopyItem(const TIndent& indent, double value) {
    TItemSnapshot s;
    s.Value = value;
    s.Quality = indent.Quality;
    s.Stamp_DateTime = indent.Stamp_DateTime;
    s.FirstOpros = indent.FirstOpros;
    s.vtDataType = indent.vtDataType;
    s.Nomer_Tag = indent.Nomer_Tag;
    return s;
}

}  // namespace

TItemSnapshot TItemImage::SnapshotAndClearFirstOpros(long long id) {
    if (!Indent_arr.Contains(id)) return {};
    const int i = static_cast<int>(id);
    std::lock_guard<std::mutex> lock(mu_);
    TItemSnapshot s = CopyItem(Indent_arr[i], Value_arr[i]);
    Indent_arr[i].FirstOpros = false;
    return s;
}

TItemSnapshot TItemImage::Snapshot(long long id) const {
    if (!Indent_arr.Contains(id)) return {};
    const int i = static_cast<int>(id);
    std::lock_guard<std::mutex> lock(mu_);
    return CopyItem(Indent_arr[i], Value_arr[i]);
}

bool TItemImage::Publish(long long id, double value, int32_t quality, TDateTime stamp) {
    if (!Indent_arr.Contains(id)) return false;
    const int i = static_cast<int>(id);
    std::lock_guard<std::mutex> lock(mu_);
    Value_arr[i] = value;
    Indent_arr[i].Quality = quality;
    Indent_arr[i].Stamp_DateTime = stamp;
    return true;
}

void TItemImage::SetInitialQualities() {
    std::lock_guard<std::mutex> lock(mu_);
    for (int i = 1; i <= kMaxItemId; ++i) Indent_arr[i].Quality = 1;
}

void TItemImage::SetFirstOprosAll() {
    std::lock_guard<std::mutex> lock(mu_);
    for (int i = 1; i <= kMaxItemId; ++i) Indent_arr[i].FirstOpros = true;
}

}  // namespace telegate
