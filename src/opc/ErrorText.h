// Texts of the HRESULTs the server answers, in English (0x409) and Russian
// (0x419), and the server's own per-item errors of commands (FACILITY_ITF codes
// above the range the OPC interfaces use), which tell an operator what the
// station did with a write.
#pragma once

#include <string>

#include "iec104/CommandResult.h"
#include "opc/com/Opc.h"

namespace telegate::opc {

constexpr LCID kLocaleEnglish = 0x409;
constexpr LCID kLocaleRussian = 0x419;

constexpr HRESULT TG_E_CMD_REJECTED = static_cast<HRESULT>(0xC0040401u);
constexpr HRESULT TG_E_CMD_TIMEOUT = static_cast<HRESULT>(0xC0040402u);
constexpr HRESULT TG_E_CMD_LINKLOST = static_cast<HRESULT>(0xC0040403u);
constexpr HRESULT TG_E_CMD_FAILED = static_cast<HRESULT>(0xC0040404u);
constexpr HRESULT TG_E_NOT_POLLING = static_cast<HRESULT>(0xC0040405u);
constexpr HRESULT TG_E_NOT_CONNECTED = static_cast<HRESULT>(0xC0040406u);
constexpr HRESULT TG_E_CMD_BUSY = static_cast<HRESULT>(0xC0040407u);
constexpr HRESULT TG_E_ITEM_REMOVED = static_cast<HRESULT>(0xC0040408u);

// The per-item answer of a write whose command ended with outcome (S_OK when the
// station confirmed the execute).
HRESULT HResultOfCommand(TTuOutcome outcome);

// The known text of code in locale (English for a neutral or unknown locale);
// false when the server has no text of its own for it.
bool ErrorText(HRESULT code, LCID locale, std::string& text);

// A locale the server offers texts in (0 and the neutral locales count as English).
bool LocaleSupported(LCID locale);

}  // namespace telegate::opc
