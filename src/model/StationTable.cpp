#include "model/StationTable.h"

#include <cstdlib>
#include <new>
#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace telegate {

namespace {

constexpr size_t kHugePage = size_t{2} << 20;

// A block for count elements of T on 2 MB boundaries, advised for huge pages where
// the platform has them; elements constructed.
template <typename T>
T* NewBlock(size_t count) {
    const size_t bytes = (sizeof(T) * count + kHugePage - 1) / kHugePage * kHugePage;
    void* p = ::operator new (bytes, std::align_val_t{kHugePage});
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    ::madvise(p, bytes, MADV_HUGEPAGE);  // only a hint
#endif
    T* block = static_cast<T*>(p);
    std::uninitialized_value_construct_n(block, count);
    return block;
}

template <typename T>
void DeleteBlock(T* block, size_t count) {
    if (block == nullptr) return;
    std::destroy_n(block, count);
    ::operator delete (static_cast<void*>(block), std::align_val_t{kHugePage});
}

constexpr size_t kTagsInStorage = static_cast<size_t>(kKPRecords) * kMaxTagsOfKind;

}  // namespace

TTagStorage::TTagStorage() {
    ti_ = NewBlock<T_TI>(kTagsInStorage);
    try {
        ts_ = NewBlock<T_TS>(kTagsInStorage);
    } catch (...) {
        DeleteBlock(ti_, kTagsInStorage);
        throw;
    }
}

TTagStorage::~TTagStorage() {
    DeleteBlock(ts_, kTagsInStorage);
    DeleteBlock(ti_, kTagsInStorage);
}

TStationTable::TStationTable()
    : storage_(std::make_unique<TTagStorage>()),
      KP_arr(TConstructEach{}, [this](int n) { return T_KP(storage_->TI(n), storage_->TS(n)); }) {}

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
