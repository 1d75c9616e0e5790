// A main window view that records what the presenter asks of it.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "ui/DevicePropsPresenter.h"
#include "ui/MainWindowPresenter.h"

namespace telegate {

struct TWindowView : IMainWindowView {
    void SetCaptions(const TMainCaptions& c) override { captions = c; }
    void SetTraceCaption(const std::string& c) override { trace = c; }
    void SetStatusText(const std::string& t) override { status = t; }
    void SetOptionLists(const std::vector<TOptionEntry>&, int ts, int tit,
                        const std::vector<TOptionEntry>&, int deb) override {
        options = {ts, tit, deb};
    }
    void SetDeviceList(const std::vector<std::string>& n, int sel) override {
        names = n;
        selected = sel;
    }
    void SetEditCommandsEnabled(bool e) override { editEnabled = e; }
    void GridChanged(bool) override { ++gridChanges; }
    void SetCounters(int c, int g) override { counters.push_back({c, g}); }
    void ShowWindow(bool first) override { shown.push_back(first); }
    void HideWindow() override { ++hidden; }
    void BringToForeground() override { ++foreground; }
    void SetTrayIcon(bool present, const std::string& tip) override {
        trayIcon = present;
        trayTip = tip;
        ++trayCalls;
    }
    void SetTrayMenu(bool r, bool h) override {
        restoreEnabled = r;
        hideEnabled = h;
    }
    void PopupTrayMenu() override { ++popups; }
    void ShowMessage(const std::string& t) override { messages.push_back(t); }
    void ShowError(const std::string& t) override { errors.push_back(t); }
    TAnswer Ask(const std::string& t) override {
        questions.push_back(t);
        return answer;
    }
    void RunDeviceDialog(TDevicePropsPresenter& d) override {
        ++dialogs;
        if (dialog) dialog(d);
    }
    void OpenDocument(const std::string& p) override { opened = p; }
    void ShowAbout(const std::string&, const std::string&) override {}
    void ShowJournal(const std::vector<std::string>& lines) override { journal = lines; }
    void AppendJournal(const std::string& line) override { journal.push_back(line); }
    void SetTrayAlert(bool a) override { alert = a; }
    void ShowBalloon(const std::string&, const std::string& text) override {
        balloons.push_back(text);
    }

    TMainCaptions captions;
    std::string trace, status, trayTip, opened;
    std::vector<int> options;
    std::vector<std::string> names, messages, errors, questions, journal, balloons;
    bool alert = false;
    int selected = -2, gridChanges = 0, hidden = 0, foreground = 0, popups = 0, dialogs = 0,
        trayCalls = 0;
    bool editEnabled = false, trayIcon = false, restoreEnabled = false, hideEnabled = false;
    std::vector<std::pair<int, int>> counters;
    std::vector<bool> shown;
    TAnswer answer = TAnswer::Yes;
    std::function<void(TDevicePropsPresenter&)> dialog;
};

}  // namespace telegate
