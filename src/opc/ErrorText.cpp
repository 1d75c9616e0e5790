#include "opc/ErrorText.h"

#include <cstdint>

namespace telegate::opc {

HRESULT HResultOfCommand(TTuOutcome outcome) {
    switch (outcome) {
        case tuo_Confirmed:
            return S_OK;
        case tuo_Rejected:
            return TG_E_CMD_REJECTED;
        case tuo_Pending:
        case tuo_TimedOut:
            return TG_E_CMD_TIMEOUT;
        case tuo_LinkLost:
            return TG_E_CMD_LINKLOST;
        case tuo_NotPolling:
            return TG_E_NOT_POLLING;
        case tuo_NotConnected:
            return TG_E_NOT_CONNECTED;
        case tuo_Busy:
            return TG_E_CMD_BUSY;
        case tuo_NotOperable:
            return OPC_E_BADRIGHTS;
        case tuo_Failed:
            break;
    }
    return TG_E_CMD_FAILED;
}

namespace {

struct TErrorText {
    uint32_t code;
    const char* en;
    const char* ru;
};

constexpr TErrorText kTexts[] = {
    {0x00000000u, "The operation succeeded.", "Операция выполнена успешно."},
    {0x00000001u, "The operation succeeded with a partial result.",
     "Операция выполнена, результат неполный."},
    {0x80004001u, "Not implemented.", "Не реализовано."},
    {0x80004002u, "The interface is not supported.", "Интерфейс не поддерживается."},
    {0x80004003u, "Invalid pointer.", "Недопустимый указатель."},
    {0x80004005u, "Unspecified error.", "Неопознанная ошибка."},
    {0x8000FFFFu, "Unexpected failure in the server.", "Непредвиденная ошибка сервера."},
    {0x8007000Eu, "Not enough memory.", "Недостаточно памяти."},
    {0x80070057u, "One or more arguments are invalid.", "Неверные аргументы."},
    {0x80040110u, "The class does not support aggregation.", "Класс не поддерживает агрегацию."},
    {0x80040200u, "No callback connection is established.", "Обратный вызов не подключён."},
    {0x80040201u, "The connection point already has a client.",
     "Точка подключения уже занята клиентом."},
    {0x80040202u, "The callback cannot be connected.", "Не удалось подключить обратный вызов."},
    {0x80040203u, "The connection point has been overridden.", "Точка подключения заменена."},
    {0xC0040001u, "The handle is not valid.", "Недопустимый дескриптор."},
    {0xC0040004u,
     "The server cannot convert the data between the requested and the canonical type.",
     "Сервер не может преобразовать данные в запрошенный тип."},
    {0xC0040005u, "The requested operation cannot be done on a public group.",
     "Операция недопустима для общей группы."},
    {0xC0040006u, "The item's access rights do not allow the operation.",
     "Права доступа элемента не допускают операцию."},
    {0xC0040007u, "The item ID is not defined in the server address space.",
     "Элемент с таким именем отсутствует в адресном пространстве сервера."},
    {0xC0040008u, "The item ID does not conform to the server's syntax.",
     "Недопустимое имя элемента."},
    {0xC0040009u, "The filter string was not valid.", "Недопустимая строка фильтра."},
    {0xC004000Au, "The item's access path is not known to the server.",
     "Путь доступа элемента неизвестен серверу."},
    {0xC004000Bu, "The value was out of range.", "Значение вне допустимого диапазона."},
    {0xC004000Cu, "Duplicate name not allowed.", "Имя уже используется."},
    {0x0004000Du, "The server does not support the requested rate but will use the closest.",
     "Запрошенная частота не поддерживается, используется ближайшая."},
    {0x0004000Eu, "A value passed to write was accepted but the output was clamped.",
     "Записанное значение ограничено."},
    {0x0004000Fu, "The operation cannot be completed because the object is still referenced.",
     "Объект ещё используется."},
    {0xC0040010u, "The server's configuration file is an invalid format.",
     "Неверный формат файла конфигурации сервера."},
    {0xC0040011u, "The requested object was not found.", "Объект не найден."},
    {0xC0040203u, "The property ID is not valid for the item.",
     "Недопустимый идентификатор свойства для элемента."},
    {0xC0040401u, "The station rejected the command (negative confirmation).",
     "КП отклонил команду ТУ (отрицательное подтверждение)."},
    {0xC0040402u, "The station did not confirm the command in time.",
     "КП не подтвердил команду ТУ за отведённое время."},
    {0xC0040403u, "The link to the station was lost before the command was confirmed.",
     "Связь с КП потеряна до подтверждения команды ТУ."},
    {0xC0040404u, "The command could not be sent to the station.",
     "Команду ТУ не удалось передать на КП."},
    {0xC0040405u, "Polling is stopped: commands cannot be sent.",
     "Опрос остановлен: команды ТУ не передаются."},
    {0xC0040406u, "The station is not connected.", "Нет связи с КП."},
    {0xC0040407u, "Another command is in progress at the station.",
     "На КП уже выполняется другая команда ТУ."},
    {0xC0040408u, "The item no longer exists in the server address space.",
     "Элемент больше не существует в адресном пространстве сервера."},
};

}  // namespace

bool LocaleSupported(LCID locale) {
    const LCID lang = locale & 0x3FF;
    return locale == 0 || locale == 0x400 || locale == 0x800 || lang == (kLocaleEnglish & 0x3FF) ||
           lang == (kLocaleRussian & 0x3FF);
}

bool ErrorText(HRESULT code, LCID locale, std::string& text) {
    const bool russian = (locale & 0x3FF) == (kLocaleRussian & 0x3FF);
    for (const TErrorText& t : kTexts)
        if (t.code == static_cast<uint32_t>(code)) {
            text = russian ? t.ru : t.en;
            return true;
        }
    return false;
}

}  // namespace telegate::opc
