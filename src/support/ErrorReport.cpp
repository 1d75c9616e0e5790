#include "support/ErrorReport.h"

#include <cstdlib>
#include <string>

namespace telegate {

TErrorReporter::TErrorReporter(INotifier& notifier, TExitFunction exitFn) : notifier_(notifier) {
    SetExitFunction(std::move(exitFn));
}

void TErrorReporter::SetExitFunction(TExitFunction exitFn) {
    exit_ = std::move(exitFn);
    if (!exit_) exit_ = [](int code) { std::exit(code); };
}

void TErrorReporter::Report(std::string_view title, std::string_view text, int limit) noexcept {
    try {
        int32_t n = count_.load();
        do {
            if (n >= limit) return;
        } while (!count_.compare_exchange_weak(n, n + 1));
        std::string box(title);
        box += '\r';
        box.append(text);
        notifier_.ShowError(box);
    } catch (...) {
        // An error report must never disturb its caller.
    }
}

void TErrorReporter::FatalStop(std::string_view text) {
    std::string box(text);
    box += "\rВыполняется Halt()!!!";
    try {
        notifier_.ShowError(box);
    } catch (...) {
        // The process ends anyway.
    }
    exit_(1);
}

}  // namespace telegate
