// Where operator message boxes go. The GUI shows them; headless mode prints them.
#pragma once

#include <mutex>
#include <string>
#include <vector>

namespace telegate {

class INotifier {
  public:
    virtual ~INotifier() = default;
    // A modal error box: title line(s) and text.
    virtual void ShowError(const std::string& text) = 0;
    // An information box.
    virtual void ShowMessage(const std::string& text) = 0;
};

// Headless: each box on standard error, its CR-separated lines as lines.
class TStderrNotifier : public INotifier {
  public:
    void ShowError(const std::string& text) override;
    void ShowMessage(const std::string& text) override;
};

// Keeps every box; for tests.
class TRecordingNotifier : public INotifier {
  public:
    void ShowError(const std::string& text) override {
        std::lock_guard<std::mutex> lock(mu_);
        errors.push_back(text);
    }
    void ShowMessage(const std::string& text) override {
        std::lock_guard<std::mutex> lock(mu_);
        messages.push_back(text);
    }
    std::vector<std::string> errors;
    std::vector<std::string> messages;

  private:
    std::mutex mu_;
};

}  // namespace telegate
