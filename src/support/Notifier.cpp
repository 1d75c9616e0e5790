#include "support/Notifier.h"

#include <cstdio>

namespace telegate {

void TStderrNotifier::ShowError(const std::string& text) {
    std::fprintf(stderr, "ERROR: %s\n", text.c_str());
}

void TStderrNotifier::ShowMessage(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
}

}  // namespace telegate
