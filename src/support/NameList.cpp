#include "support/NameList.h"

namespace telegate {

namespace {

// Next character of UTF-8 text at s[i], folded to lower case for Latin and
// Cyrillic letters; an octet that does not start a valid sequence is returned
// alone, offset so that it never equals a code point.
uint32_t NextFolded(std::string_view s, size_t& i) {
    const auto c = static_cast<unsigned char>(s[i]);
    uint32_t cp = 0;
    size_t len = 0;
    if (c < 0x80) {
        cp = c;
        len = 1;
    } else if ((c & 0xE0) == 0xC0 && i + 1 < s.size() &&
               (static_cast<unsigned char>(s[i + 1]) & 0xC0) == 0x80) {
        cp = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(s[i + 1]) & 0x3Fu);
        len = 2;
    } else {
        ++i;
        return 0x80000000u | c;  // other multi-octet characters compare octet by octet
    }
    i += len;
    if (cp >= 'A' && cp <= 'Z') return cp + 0x20;
    if (cp >= 0x0410 && cp <= 0x042F) return cp + 0x20;  // А..Я
    if (cp >= 0x0400 && cp <= 0x040F) return cp + 0x50;  // Ѐ..Џ, Ё
    if (cp == 0x0490) return 0x0491;                     // Ґ
    return cp;
}

bool SameTextFolded(std::string_view a, std::string_view b) {
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (NextFolded(a, i) != NextFolded(b, j)) return false;
    }
    return i == a.size() && j == b.size();
}

}  // namespace

ObjList::ObjList(int size, INotifier* notifier)
    : id(static_cast<size_t>(size > 0 ? size : 0), 0),
      name(static_cast<size_t>(size > 0 ? size : 0)),
      Size(size > 0 ? size : 0),
      notifier_(notifier) {}

bool ObjList::Add(int32_t aId, std::string_view aName) {
    if (FCount >= Size) {
        if (notifier_ != nullptr) {
            notifier_->ShowMessage(std::string("class=") + ClassName() + ".Add(). Count=" +
                                   std::to_string(FCount) + " Мала размерность.");
        }
        return false;
    }
    id[static_cast<size_t>(FCount)] = aId;
    name[static_cast<size_t>(FCount)].assign(aName);
    ++FCount;
    return true;
}

int32_t ObjList::GetId(int ind) const {
    if (ind < 0 || ind >= FCount) return -1;
    return id[static_cast<size_t>(ind)];
}

std::string ObjList::GetName(int ind) const {
    if (ind < 0 || ind >= FCount) return std::string(ClassName()) + " Error IND";
    return name[static_cast<size_t>(ind)];
}

int32_t ObjList::FindIdInd(int32_t idFind) const {
    for (int32_t i = 0; i < FCount; ++i)
        if (id[static_cast<size_t>(i)] == idFind) return i;
    return -1;
}

std::string ObjList::FindIdName(int32_t idFind) const {
    const int32_t i = FindIdInd(idFind);
    if (i < 0) return std::string(ClassName()) + " Error ID";
    return name[static_cast<size_t>(i)];
}

int32_t ObjList::FindNameInd(std::string_view AName) const {
    for (int32_t i = 0; i < FCount; ++i)
        if (SameTextFolded(name[static_cast<size_t>(i)], AName)) return i;
    return -1;
}

}  // namespace telegate
