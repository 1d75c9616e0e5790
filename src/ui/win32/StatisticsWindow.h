// The "Statistics" window of the operator interface: the link statistics of the
// station selected in the device list, as a two-column list refreshed once a
// second. One window at a time; choosing another station shows that one. What it
// shows is decided by TStatisticsPresenter. Main thread only.
#pragma once

#include <windows.h>

#include "ui/StatisticsPresenter.h"

namespace telegate::win32ui {

constexpr const wchar_t* kStatisticsWindowClass = L"TelegateStatistics";
constexpr UINT_PTR kStatisticsTimer = 1;
constexpr UINT kStatisticsRefreshMs = 1000;

class TStatisticsWindow {
  public:
    explicit TStatisticsWindow(const TAppContext& ctx) : presenter_(ctx) {}
    ~TStatisticsWindow();
    TStatisticsWindow(const TStatisticsWindow&) = delete;
    TStatisticsWindow& operator=(const TStatisticsWindow&) = delete;

    // Opens the window for station kp (or brings it to the front showing kp);
    // nothing happens for a number that is no station. width and height in pixels.
    void Show(HWND owner, HFONT font, int width, int height, int kp);
    // While the window is open it follows the device list's selection.
    void Follow(int kp) {
        if (hwnd_ != nullptr && presenter_.Select(kp)) Refresh();
    }
    // The window (null while closed).
    HWND Handle() const { return hwnd_; }
    // Caption and rows again from the presenter.
    void Refresh();

  private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

    TStatisticsPresenter presenter_;
    HWND hwnd_ = nullptr;
    HWND list_ = nullptr;
    int rows_ = 0;
};

}  // namespace telegate::win32ui
