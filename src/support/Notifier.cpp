#include "support/Notifier.h"

#include <cstdio>

namespace telegate {

namespace {

// A box's lines are separated by CR; on a terminal or in a log each becomes a line.
std::string Lines(std::string text) {
    for (char& c : text)
        if (c == '\r') c = '\n';
    return text;
}

}  // namespace

void TStderrNotifier::ShowError(const std::string& text) {
    std::fprintf(stderr, "ERROR: %s\n", Lines(text).c_str());
}

void TStderrNotifier::ShowMessage(const std::string& text) {
    std::fprintf(stderr, "%s\n", Lines(text).c_str());
}

}  // namespace telegate
