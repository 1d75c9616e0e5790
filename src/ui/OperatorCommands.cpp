#include "ui/OperatorCommands.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <set>

#include "app/AppContext.h"

namespace telegate {

namespace {

std::string Join(const std::string& dir, const char* name) {
    return dir.empty() ? std::string(name) : (std::filesystem::path(dir) / name).string();
}

// One UTF-8 sequence at text[i]: its code point and length (a bad byte: itself, 1).
std::pair<char32_t, size_t> DecodeAt(const std::string& text, size_t i) {
    const auto b = static_cast<unsigned char>(text[i]);
    const auto cont = [&](size_t k) {
        return i + k < text.size() && (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    };
    const auto low = [&](size_t k) {
        return static_cast<char32_t>(static_cast<unsigned char>(text[i + k]) & 0x3F);
    };
    if (b < 0x80) return {b, 1};
    if ((b & 0xE0) == 0xC0 && cont(1)) return {((b & 0x1Fu) << 6) | low(1), 2};
    if ((b & 0xF0) == 0xE0 && cont(1) && cont(2))
        return {((b & 0x0Fu) << 12) | (low(1) << 6) | low(2), 3};
    if ((b & 0xF8) == 0xF0 && cont(1) && cont(2) && cont(3))
        return {((b & 0x07u) << 18) | (low(1) << 12) | (low(2) << 6) | low(3), 4};
    return {b, 1};
}

// The letters and digits a mnemonic may use, folded to one case; 0 for others.
char32_t MnemonicKey(char32_t c) {
    if (c >= U'a' && c <= U'z') return c - U'a' + U'A';
    if ((c >= U'A' && c <= U'Z') || (c >= U'0' && c <= U'9')) return c;
    if (c >= 0x0430 && c <= 0x044F) return c - 0x20;  // а..я
    if (c >= 0x0410 && c <= 0x042F) return c;         // А..Я
    if (c == 0x0451 || c == 0x0401) return 0x0401;    // ё, Ё
    return 0;
}

// The key of the mnemonic a caption has ("&x"), or 0.
char32_t MarkedKey(const std::string& caption) {
    for (size_t i = 0; i + 1 < caption.size(); ++i) {
        if (caption[i] != '&') continue;
        if (caption[i + 1] == '&') {
            ++i;
            continue;
        }
        return MnemonicKey(DecodeAt(caption, i + 1).first);
    }
    return 0;
}

}  // namespace

std::string ChooseHelpDocument(const std::string& exeDir, const std::string& dataDir,
                               const std::string& webDir,
                               const std::function<bool(const std::string&)>& exists) {
    for (const std::string& path :
         {Join(exeDir, "Telegate.doc"), Join(dataDir, "Telegate.doc"), Join(webDir, kHelpPage)})
        if (exists(path)) return path;
    return {};
}

std::string HelpMissingText(int lang, const std::string& exeDir, const std::string& webDir) {
    const std::string doc = Join(exeDir, "Telegate.doc"), page = Join(webDir, kHelpPage);
    if (lang == kLangEnglish) return "No help found: neither " + doc + " nor " + page + ".";
    return "Справка не найдена: нет ни " + doc + ", ни " + page + ".";
}

std::string RegistrationText(int lang, bool reg, const TRegisterResult& result, bool elevated) {
    const bool en = lang == kLangEnglish;
    const std::string detail = result.Detail.empty() ? std::string() : ": " + result.Detail;
    switch (result.Outcome) {
        case TRegisterOutcome::Done: {
            std::string text = en ? (reg ? "The OPC server is registered; OPC clients can find it "
                                           "as Telegate.OPCServer."
                                         : "The OPC server is unregistered.")
                                  : (reg ? "OPC-сервер зарегистрирован; клиенты OPC находят его "
                                           "как Telegate.OPCServer."
                                         : "Регистрация OPC-сервера удалена.");
            if (elevated)
                text += en ? " (with administrator rights)" : " (с правами администратора)";
            return text;
        }
        case TRegisterOutcome::NeedsAdmin:
            return en ? std::string(reg ? "Registering" : "Unregistering") +
                            " the OPC server needs administrator rights" + detail + "."
                      : std::string(reg ? "Регистрация" : "Удаление регистрации") +
                            " OPC-сервера требует прав администратора" + detail + ".";
        case TRegisterOutcome::Declined:
            return en ? std::string("The OPC server was not ") +
                            (reg ? "registered" : "unregistered") +
                            ": administrator rights were not granted."
                      : std::string("OPC-сервер не ") +
                            (reg ? "зарегистрирован" : "разрегистрирован") +
                            ": права администратора не предоставлены.";
        case TRegisterOutcome::Failed:
            break;
    }
    return en ? std::string("The OPC server could not be ") +
                    (reg ? "registered" : "unregistered") + detail + "."
              : std::string("Не удалось ") +
                    (reg ? "зарегистрировать OPC-сервер" : "удалить регистрацию OPC-сервера") +
                    detail + ".";
}

std::string ElevationQuestion(int lang, bool reg) {
    if (lang == kLangEnglish)
        return std::string(reg ? "Registering" : "Unregistering") +
               " the OPC server needs administrator rights, which Telegate does not have.\n"
               "Run the " +
               (reg ? "registration" : "unregistration") + " with administrator rights?";
    return std::string(reg ? "Регистрация" : "Удаление регистрации") +
           " OPC-сервера требует прав администратора, а у Telegate их нет.\n"
           "Выполнить " +
           (reg ? "регистрацию" : "удаление регистрации") + " с правами администратора?";
}

std::vector<std::string> WithMnemonics(const std::vector<std::string>& captions) {
    std::set<char32_t> taken;
    for (const std::string& c : captions)
        if (const char32_t k = MarkedKey(c); k != 0) taken.insert(k);
    std::vector<std::string> out;
    out.reserve(captions.size());
    for (const std::string& c : captions) {
        if (MarkedKey(c) != 0 || c.empty()) {
            out.push_back(c);
            continue;
        }
        std::string marked = c;
        for (size_t i = 0; i < c.size();) {
            const auto [cp, len] = DecodeAt(c, i);
            const char32_t k = MnemonicKey(cp);
            if (k != 0 && taken.insert(k).second) {
                marked = c.substr(0, i) + "&" + c.substr(i);
                break;
            }
            i += len;
        }
        out.push_back(std::move(marked));
    }
    return out;
}

std::string WithoutMnemonic(const std::string& caption) {
    std::string out;
    for (size_t i = 0; i < caption.size(); ++i) {
        if (caption[i] == '&' && i + 1 < caption.size())
            ++i;
        else if (caption[i] == '&')
            continue;
        out += caption[i];
    }
    return out;
}

TScreenRect FitToWorkArea(int width, int height, const TScreenRect& work) {
    const int w = std::clamp(width, 0, std::max(0, work.Width()));
    const int h = std::clamp(height, 0, std::max(0, work.Height()));
    TScreenRect r;
    r.Left = work.Left + (work.Width() - w) / 2;
    r.Top = work.Top + (work.Height() - h) / 2;
    r.Right = r.Left + w;
    r.Bottom = r.Top + h;
    return r;
}

}  // namespace telegate
