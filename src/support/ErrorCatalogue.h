// The catalogue of operator texts for the station and signal registries.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace telegate {

class TErrLstArm {
  public:
    TErrLstArm();

    // "<code>: <text>" for the first entry with that code; for an unknown code the
    // text of the last entry alone ("Неизвестный код сообщения").
    std::string GetMess(int code) const;
    // GetMess(code) + CR + text.
    std::string GetMess(int code, std::string_view text) const;

    std::vector<int16_t> Code;
    std::vector<std::string> mess;
    int32_t Count = 0;
};

}  // namespace telegate
