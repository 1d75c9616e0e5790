#include "support/ErrorCatalogue.h"

namespace telegate {

namespace {

struct TEntry {
    int16_t code;
    const char* text;
};

constexpr TEntry kEntries[] = {
    {1000, "Пустое сообщение"},
    {1001, "Мала константа MAX_KPLIST"},
    {1002, "Пуст список КП"},
    {1003, "Превшена константа MAXTITARM"},
    {1004, "Ошибка открытия файла"},
    {1005, "По КП не найдено сигналов в файле ElemCode.000 или плохие #ПС или #КП"},
    {1006, "Повтор #КП в текстовом файле типа zzz.dat"},
    {1007, "Повтор имени КП в текстовом файле типа KpList.dat"},
    {1008, "Неизвестный код сообщения"},
};

}  // namespace

TErrLstArm::TErrLstArm() {
    Code.reserve(std::size(kEntries));
    mess.reserve(std::size(kEntries));
    for (const auto& e : kEntries) {
        Code.push_back(e.code);
        mess.emplace_back(e.text);
    }
    Count = static_cast<int32_t>(Code.size());
}

std::string TErrLstArm::GetMess(int code) const {
    for (int32_t i = 0; i < Count; ++i) {
        if (Code[static_cast<size_t>(i)] == code)
            return std::to_string(code) + ": " + mess[static_cast<size_t>(i)];
    }
    return Count > 0 ? mess[static_cast<size_t>(Count - 1)] : std::string();
}

std::string TErrLstArm::GetMess(int code, std::string_view text) const {
    std::string out = GetMess(code);
    out += '\r';
    out.append(text);
    return out;
}

}  // namespace telegate
