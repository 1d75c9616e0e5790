// A bounded list of identifier-name pairs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/Notifier.h"

namespace telegate {

class ObjList {
  public:
    // size pairs at most; notifier (may be null) receives the capacity message.
    explicit ObjList(int size, INotifier* notifier = nullptr);
    virtual ~ObjList() = default;

    // Name of the class as shown in messages.
    virtual const char* ClassName() const { return "ObjList"; }

    // Appends the pair, or, when full, shows "class=<ClassName>.Add(). Count=<FCount>
    // Мала размерность." and returns false.
    bool Add(int32_t id, std::string_view name);
    // Identifier at ind, or -1 outside 0 .. FCount - 1.
    int32_t GetId(int ind) const;
    // Name at ind, or ClassName() + " Error IND".
    std::string GetName(int ind) const;
    // Index of the first pair with the identifier, or -1.
    int32_t FindIdInd(int32_t idFind) const;
    // Its name, or ClassName() + " Error ID".
    std::string FindIdName(int32_t idFind) const;
    // Index of the first pair whose name equals AName ignoring case (Latin and
    // Cyrillic letters), or -1.
    int32_t FindNameInd(std::string_view AName) const;
    void Clear() { FCount = 0; }

    std::vector<int32_t> id;
    std::vector<std::string> name;
    int32_t FCount = 0;
    int32_t Size = 0;

  private:
    INotifier* notifier_;
};

class TNameList : public ObjList {
  public:
    explicit TNameList(int size, INotifier* notifier = nullptr) : ObjList(size, notifier) {}
    const char* ClassName() const override { return "TNameList"; }
};

}  // namespace telegate
