// Small helpers the Win32 views share: the message font at a DPI, control
// creation, texts in UTF-8, and the modal loop of the dialogs. Windows only.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace telegate::win32ui {

// The system's message font scaled to a DPI, and the metrics the layouts are
// built from: the line height and the average character width in pixels.
class TUiFont {
  public:
    TUiFont() = default;
    ~TUiFont();
    TUiFont(const TUiFont&) = delete;
    TUiFont& operator=(const TUiFont&) = delete;

    // (Re)creates the font for dpi (96 = 100 %).
    void Create(int dpi);
    HFONT Handle() const { return font_; }
    int Dpi() const { return dpi_; }
    int LineHeight() const { return line_; }
    int CharWidth() const { return char_; }
    // Pixels of a length given in 96-DPI pixels.
    int Px(int px96) const { return MulDiv(px96, dpi_, 96); }
    // Width of a text in this font, in pixels.
    int TextWidth(HWND hwnd, const std::wstring& text) const;

  private:
    HFONT font_ = nullptr;
    int dpi_ = 96;
    int line_ = 16;
    int char_ = 7;
};

// The DPI the views start with: the screen's.
int ScreenDpi();

HWND MakeControl(HWND parent, const wchar_t* cls, const std::wstring& text, DWORD style, int id,
                 HFONT font, DWORD exStyle = 0);
void SetText(HWND hwnd, const std::string& utf8);
std::string GetText(HWND hwnd);
std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);

// Runs a modal window: the owner is disabled, messages (of every window of the
// thread: the application's timers go on) are dispatched until done is set or
// the application quits; then the owner is enabled again and gets the focus.
// keyFilter sees every message first; true means it was handled.
using TKeyFilter = bool (*)(void* self, MSG& msg);
void RunModal(HWND dialog, HWND owner, const bool& done, TKeyFilter filter = nullptr,
              void* self = nullptr);

// Centres a window of the given size in the work area of its owner's monitor (or
// the primary one), made smaller where it would not fit.
void CenterWindow(HWND hwnd, HWND owner, int width, int height);
// WM_DPICHANGED of a dialog: the font made for the new DPI and given to every
// child, the window moved to the rectangle the system suggests (lp). The caller
// lays its controls out again.
void ApplyDpiChange(HWND hwnd, TUiFont& font, WPARAM wp, LPARAM lp);

// Where an exception thrown while a window handles a message goes (its message and
// class name); the message counts as handled and the program goes on.
using TExceptionSink = std::function<void(const char* what, const char* type)>;
// Runs a window's message handler; an exception goes to the sink (if any).
LRESULT GuardedHandle(const TExceptionSink* sink, const std::function<LRESULT()>& handle);

// List-view helpers (report mode).
void AddListColumn(HWND lv, int index, const std::wstring& title, int width);
void SetListColumnTitle(HWND lv, int index, const std::wstring& title);

#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

}  // namespace telegate::win32ui
