#include "model/TypeCatalogue.h"

#include <utility>

namespace telegate {

namespace {

constexpr const char* kNames[kNameTypeIdentCount] = {
    "M_EMPTY", "M_SP_NA", "M_SP_TA", "M_DP_NA", "M_DP_TA", "M_ST_NA", "M_ST_TA", "M_BO_NA",
    "M_BO_TA", "M_ME_NA", "M_ME_TA", "M_ME_NB", "M_ME_TB", "M_ME_NC", "M_ME_TC", "M_IT_NA",
    "M_IT_TA", "M_EP_TA", "M_EP_TB", "M_EP_TC", "M_PS_NA", "M_ME_ND", "M_SP_TB", "M_DP_TB",
    "M_ST_TB", "M_BO_TB", "M_ME_TD", "M_ME_TE", "M_ME_TF", "M_IT_TB", "M_EP_TD", "M_EP_TE",
    "M_EP_TF", "C_SC_NA", "C_DC_NA", "C_RC_NA", "C_SE_NA", "C_SE_NB", "C_SE_NC", "C_BO_NA",
    "M_EI_NA", "C_IC_NA", "C_CI_NA", "C_SC_TA", "C_DC_TA", "C_RC_TA", "C_SE_TA", "C_SE_TB",
    "C_SE_TC", "C_BO_TA", "C_RD_NA", "C_CS_NA", "C_TS_NA", "C_RP_NA", "C_CD_NA", "C_TS_TA",
    "P_ME_NA", "P_ME_NB", "P_ME_NC", "P_AC_NA", "F_FR_NA", "F_SR_NA", "F_SC_NA", "F_LS_NA",
    "F_AF_NA", "F_SG_NA", "F_DR_NA", "M_BO_TC", "M_ME_NE", "M_ME_TI", "M_ME_TJ", "M_CB_TA",
    "M_CB_TB", "M_CB_TC",
};

struct TBuiltinIdent {
    int32_t code;
    int32_t objlen;
    int32_t timelen;
    NameTypeIdent name;
    TDataType dtype;
    TQualityType qtype;
    const char* descr;
};

// The built-in catalogue, in insertion order.
constexpr TBuiltinIdent kBuiltin[] = {
    {0, 1, 0, M_EMPTY, TS1, Q0, "ERROR: идентификатор типа=0 не используется!"},
    {1, 1, 0, M_SP_NA, TS1, QTS1, "Одноэлементная информация ТС"},
    {2, 1, 3, M_SP_TA, TS1, QTS1, "Одноэлементная информация ТС с меткой времени 3 байта"},
    {3, 1, 0, M_DP_NA, TS2, QTS2, "Двухэлементная информация ТС"},
    {4, 1, 3, M_DP_TA, TS2, QTS2, "Двухэлементная информация ТС с меткой времени 3 байта"},
    {5, 2, 0, M_ST_NA, BS8, QBITS, "Многопозиционная дискретная информация с описателем качества"},
    {6, 2, 3, M_ST_TA, BS8, QBITS,
     "Многопозиционная дискретная информация с описателем качества с меткой времени 3 байта"},
    {7, 5, 0, M_BO_NA, TS32, QBITS, "Строка из 32 бит с описателем качества"},
    {8, 5, 3, M_BO_TA, TS32, QBITS,
     "Строка из 32 бит с описателем качества с меткой времени 3 байта"},
    {9, 3, 0, M_ME_NA, I16, Q8I, "Значение измеряемой величины нормализованное"},
    {10, 3, 3, M_ME_TA, I16, Q8I,
     "Значение измеряемой величины нормализованное с меткой времени 3 байта"},
    {11, 3, 0, M_ME_NB, F16, Q8F, "Значение измеряемой величины, масштабированное"},
    {12, 3, 3, M_ME_TB, F16, Q8F,
     "Значение измеряемой величины, масштабированное с меткой времени 3 байта"},
    {13, 5, 0, M_ME_NC, F4, Q8R,
     "Значение измеряемой величины, короткий формат с плавающей запятой"},
    {14, 5, 3, M_ME_TC, F4, Q8R,
     "Значение измеряемой величины, короткий формат с плавающей запятой с меткой времени 3 байта"},
    {15, 5, 0, M_IT_NA, I32, Q8TII, "Интегральная сумма"},
    {16, 5, 3, M_IT_TA, I32, Q8TII, "Интегральная сумма с меткой времени 3 байта"},
    {17, 3, 3, M_EP_TA, RZ3, Q0, "Информация о работе релейной защиты с меткой времени 3 байта"},
    {18, 4, 3, M_EP_TB, RZ3, Q1,
     "Упакованная информация о срабатывании пусковых органов защиты с меткой времени 3 байта"},
    {19, 4, 3, M_EP_TC, RZ3, Q1,
     "Упакованная информация о срабатывании выходных цепей защиты с меткой времени 3 байта"},
    {20, 5, 0, M_PS_NA, TS16IZM, QBITS,
     "Упакованная одноэлементная информация с определением изменения состояния"},
    {21, 2, 0, M_ME_ND, I16, Q0,
     "Значение измеряемой величины, нормализованное, без описателя качества"},
    {30, 1, 7, M_SP_TB, TS1, QTS1, "Одноэлементная информация ТС с меткой времени 7 байт"},
    {31, 1, 7, M_DP_TB, TS2, QTS2, "Двухэлементная информация ТС с меткой времени 7 байт"},
    {32, 2, 7, M_ST_TB, BS8, Q1,
     "Многопозиционная дискретная информация с описателем качества с меткой времени 7 байт"},
    {33, 5, 7, M_BO_TB, TS32, QBITS,
     "Строка из 32 бит с описателем качества с меткой времени 7 байт"},
    {34, 3, 7, M_ME_TD, I16, Q8I,
     "Значение измеряемой величины нормализованное с меткой времени 7 байт"},
    {35, 3, 7, M_ME_TE, F16, Q8F,
     "Значение измеряемой величины, масштабированное с меткой времени 7 байт"},
    {36, 5, 7, M_ME_TF, F4, Q8R,
     "Значение измеряемой величины, короткий формат с плавающей запятой с меткой времени 7 байт"},
    {37, 5, 7, M_IT_TB, I32, Q8TII, "Интегральная сумма с меткой времени 7 байт"},
    {38, 3, 7, M_EP_TD, RZ3, Q0, "Информация о работе релейной защиты с меткой времени 7 байт"},
    {39, 4, 7, M_EP_TE, RZ3, Q1,
     "Упакованная информация о срабатывании пусковых органов защиты с меткой времени 7 байт"},
    {40, 4, 7, M_EP_TF, RZ3, Q1,
     "Упакованная информация о срабатывании выходных цепей защиты с меткой времени 7 байт"},
    {45, 1, 0, C_SC_NA, CSC, Q0, "Однопозиционная команда"},
    {46, 1, 0, C_DC_NA, CDC, Q0, "Двухпозиционная команда"},
    {47, 1, 0, C_RC_NA, CRC, Q0, "Команда пошагового регулирования"},
    {48, 3, 0, C_SE_NA, I16, Q1S, "Команда уставки, нормализованное значение"},
    {49, 3, 0, C_SE_NB, F16, Q1S, "Команда уставки, масштабированное значение"},
    {50, 5, 0, C_SE_NC, F4, Q1S, "Команда уставки, короткий формат с плавающей запятой"},
    {51, 4, 0, C_BO_NA, TS32, Q0, "Строка из 32 бит"},
    {58, 1, 7, C_SC_TA, CSC, Q0, "Однопозиционная команда с меткой времени 7 байт"},
    {59, 1, 7, C_DC_TA, CDC, Q0, "Двухпозиционная команда с меткой времени 7 байт"},
    {60, 1, 7, C_RC_TA, CRC, Q0, "Команда пошагового регулирования с меткой времени 7 байт"},
    {61, 3, 7, C_SE_TA, I16, Q1S,
     "Команда уставки, нормализованное значение с меткой времени 7 байт"},
    {62, 3, 7, C_SE_TB, F16, Q1S,
     "Команда уставки, масштабированное значение с меткой времени 7 байт"},
    {63, 5, 7, C_SE_TC, F4, Q1S,
     "Команда уставки, короткий формат с плавающей запятой с меткой времени 7 байт"},
    {64, 4, 7, C_BO_TA, TS32, Q0, "Строка из 32 бит с меткой времени 7 байт"},
    {70, 1, 0, M_EI_NA, U1, Q0, "Конец инициализации"},
    {100, 1, 0, C_IC_NA, U1, Q0, "Команда опроса"},
    {101, 1, 0, C_CI_NA, U1, Q0, "Команда опроса счетчиков"},
    {102, 0, 0, C_RD_NA, U0, Q0, "Команда чтения"},
    {103, 7, 0, C_CS_NA, U7, Q0, "Команда синхронизации часов"},
    {104, 2, 0, C_TS_NA, U2, Q0, "Команда тестирования"},
    {105, 1, 0, C_RP_NA, U1, Q0, "Команда установки процесса в исходное состояние"},
    {106, 2, 0, C_CD_NA, U2, Q0, "Команда пердачи задержки"},
    {107, 2, 7, C_TS_TA, U2, Q0, "Команда тестирования с меткой времени 7 байт"},
    {110, 3, 0, P_ME_NA, U2, Q1, "Параметр измеряемой величины, нормализованное значение"},
    {111, 3, 0, P_ME_NB, U2, Q1, "Параметр измеряемой величины, масштабированное значение"},
    {112, 5, 0, P_ME_NC, F4, Q1,
     "Параметр измеряемой величины, короткий формат с плавающей запятой"},
    {113, 1, 0, P_AC_NA, U1, Q0, "Активация параметра"},
    {136, 1, 7, M_BO_TC, TS8, Q0, "8-битная информация ТС с меткой времени"},
    {139, 1, 0, M_ME_NE, U1, Q0,
     "Значение измеряемой величины,относительный целочисленный формат(1 байт)"},
    {144, 3, 7, M_ME_TI, F16, Q1,
     "Значение измеряемой величины,масштабированное значение(2 байта) с общей меткой времени 7 "
     "байт"},
    {145, 5, 7, M_ME_TJ, F4, Q1,
     "Значение измеряемой величины,с плавающей точкой(4 байта) с общей меткой времени 7 байт"},
    {150, 2, 7, M_CB_TA, F16, Q0, "Блок ЦБИ масштабированных-двухбайтный формат"},
    {151, 1, 7, M_CB_TB, U1, Q0, "Блок ЦБИ масштабированных-однобайтный формат"},
    {152, 4, 7, M_CB_TC, F4, Q0, "Блок ЦБИ короткий формат с плавающей запятой(4 байта)"},
};

}  // namespace

const char* NameTypeIdentText(int name) {
    return (name >= 0 && name < kNameTypeIdentCount) ? kNames[name] : "";
}

TTypeIdentList::TTypeIdentList(INotifier& notifier) {
    for (const TBuiltinIdent& b : kBuiltin) {
        AddIdent(TTypeIdent(b.code, b.objlen, b.timelen, b.name, b.dtype, b.qtype,
                            std::string("(") + kNames[b.name] + ") " + b.descr),
                 notifier);
    }

    CotTexts[0] = "не используется";
    CotTexts[1] = "периодическая передача";
    CotTexts[2] = "фоновое сканирование";
    CotTexts[3] = "спорадическая передача";
    CotTexts[4] = "сообщение об инициализации";
    CotTexts[5] = "запрос или запрашиваемые данные";
    CotTexts[6] = "активация";
    CotTexts[7] = "подтверждение активации";
    CotTexts[8] = "деактивация";
    CotTexts[9] = "подтверждение деактивации";
    CotTexts[10] = "завершение активации";
    CotTexts[11] = "обратная информация,вызванная удаленной командой";
    CotTexts[12] = "обратная информация,вызванная местной командой";
    CotTexts[13] = "передача файлов";
    for (int i = 14; i <= 19; ++i) CotTexts[static_cast<size_t>(i)] = "резерв";
    CotTexts[20] = "общий опрос";
    for (int i = 21; i <= 36; ++i)
        CotTexts[static_cast<size_t>(i)] = "опрос группы " + std::to_string(i - 20);
    CotTexts[37] = "общий опрос счетчиков";
    for (int i = 38; i <= 41; ++i)
        CotTexts[static_cast<size_t>(i)] = "запрос счетчиков группы " + std::to_string(i - 37);
    CotTexts[42] = "резерв";
    CotTexts[43] = "резерв";
    CotTexts[44] = "неизвестный тип идентификатора";
    CotTexts[45] = "неизвестная причина передачи";
    CotTexts[46] = "неизвестный общий адрес станции";
    CotTexts[47] = "неизвестный адрес объекта информации";
}

std::string TTypeIdentList::AddIdent(const TTypeIdent& entry, INotifier& notifier) {
    std::string err;
    for (int32_t i = 0; i < Count; ++i) {
        const TTypeIdent& e = List[static_cast<size_t>(i)];
        if (e.Code == entry.Code || e.Name == entry.Name) {
            err = "Повтор кода или имени. Код=" + std::to_string(entry.Code);
            break;
        }
    }
    if (err.empty() && Count > kMaxIdentLen - 1) err = "Мала константа MAX_IDENTLEN!";
    if (!err.empty()) {
        notifier.ShowError("ERROR: В файле u_TypeIdent " + err);
        return err;
    }
    TTypeIdent& slot = List[static_cast<size_t>(Count)];
    slot = entry;
    ++Count;
    // Codes and mnemonics are unique here, so the first match is the only match; the
    // indexes keep the first one all the same.
    if (slot.Code >= 0 && slot.Code < 256 && byCode_[static_cast<size_t>(slot.Code)] == nullptr)
        byCode_[static_cast<size_t>(slot.Code)] = &slot;
    if (slot.Name < kNameTypeIdentCount && byName_[slot.Name] == nullptr)
        byName_[slot.Name] = &slot;
    return err;
}

bool GetDate(const uint8_t* bytes, int32_t pos, TDateTime& dt, int32_t timelen, const IClock& clock,
             TMessBuff& journal) {
    if (timelen < 2) return true;
    const uint8_t* p = bytes + pos;
    TDateTimeParts f;
    const int ms = p[0] | (p[1] << 8);
    f.second = ms / 1000;
    f.msec = ms % 1000;
    if (timelen >= 7) {
        f.minute = p[2] & 0x3F;
        f.hour = p[3] & 0x1F;
        f.day = p[4] & 0x1F;
        f.month = p[5] & 0x0F;
        f.year = 2000 + (p[6] & 0x7F);
    }
    if (timelen < 7) {
        const TDateTimeParts now = DecodeDateTime(clock.Now());
        f.year = now.year;
        f.month = now.month;
        f.day = now.day;
        f.hour = now.hour;
        f.minute = timelen > 2 ? (p[2] & 0x3F) : now.minute;
    }
    if (f.year < 2001 || f.month < 1 || f.month > 12 || f.day < 1 || f.day > 32 || f.hour > 23 ||
        f.minute > 59 || f.second > 59)
        return true;
    TDateTime out = 0;
    if (!TryEncodeDateTime(f, out)) {
        if (journal.Enabled(1))
            journal.Put(1, "(err) Error! u_TypeIdent.GetDate(). Плохая метка времени");
        return false;
    }
    dt = out;
    return true;
}

}  // namespace telegate
