// Rules of the main window's commands that do not depend on the toolkit: which
// help document opens, what the operator is told about the OPC server's
// registration, the menus' keyboard mnemonics and where the window opens.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace telegate {

// ------------------------------------------------------------------ help

constexpr const char* kHelpPage = "help.html";

// The help that opens: Telegate.doc beside the executable, else the one in the
// data folder, else the help page of the web folder; empty when none exists.
std::string ChooseHelpDocument(const std::string& exeDir, const std::string& dataDir,
                               const std::string& webDir,
                               const std::function<bool(const std::string&)>& exists);
// What the operator is told when there is no help to open.
std::string HelpMissingText(int lang, const std::string& exeDir, const std::string& webDir);

// ------------------------------------------------------------------ registration

enum class TRegisterOutcome {
    Done,        // registered (or unregistered)
    NeedsAdmin,  // refused: this process has no administrator rights
    Declined,    // the operator declined the elevation prompt
    Failed,      // anything else; Detail says what
};
struct TRegisterResult {
    TRegisterOutcome Outcome = TRegisterOutcome::Failed;
    std::string Detail;
};

// The text after a registration (reg) or unregistration; elevated: it ran in a
// copy started with administrator rights.
std::string RegistrationText(int lang, bool reg, const TRegisterResult& result, bool elevated);
// The question when administrator rights are missing.
std::string ElevationQuestion(int lang, bool reg);

// ------------------------------------------------------------------ menus

// The captions of one menu level with a keyboard mnemonic each: a caption that
// has one ("&Выход") keeps it; the others get the first letter or digit not yet
// taken on that level (letters compared without case, Cyrillic too), or none
// when every one of theirs is taken. Captions are UTF-8.
std::vector<std::string> WithMnemonics(const std::vector<std::string>& captions);
// A caption without its mnemonic marks ("&&" stays one "&").
std::string WithoutMnemonic(const std::string& caption);

// ------------------------------------------------------------------ placement

struct TScreenRect {
    int Left = 0, Top = 0, Right = 0, Bottom = 0;
    int Width() const { return Right - Left; }
    int Height() const { return Bottom - Top; }
    bool operator==(const TScreenRect& o) const {
        return Left == o.Left && Top == o.Top && Right == o.Right && Bottom == o.Bottom;
    }
};

// A window of width x height as it opens on a screen whose work area (without the
// task bar) is work: no larger than the work area, centred in it.
TScreenRect FitToWorkArea(int width, int height, const TScreenRect& work);

}  // namespace telegate
