// TelegateUiTest.exe: the operator window of Telegate.exe (the same start-up,
// window and dialogs, linked from the same library) driven through window
// messages from inside the process, as an operator would: the tray action opens
// the window, buttons and menu commands are posted, dialog fields are typed into,
// message boxes are answered, and the grids are read back through the list
// views. The configuration files are checked after every step.
//
// Usage: TelegateUiTest.exe --scenario flow --sim-port P
//        TelegateUiTest.exe --scenario figures [--cpu-station N] [--cpu-seconds S]
// Results go to uitest.log beside the executable (and to standard output);
// window shots to shot-*.bmp. Exit status 0 when every check passed.
#include <windows.h>
// After windows.h:
#include <commctrl.h>
#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/AppContext.h"
#include "app/Main.h"
#include "app/Polling.h"
#include "model/ConfigFile.h"
#include "model/Prmn.h"
#include "model/StationTable.h"
#include "platform/MainLoop.h"
#include "platform/Paths.h"
#include "support/CodePage.h"
#include "support/DateTime.h"
#include "support/JournalFile.h"
#include "support/Notifier.h"
#include "ui/MainWindowPresenter.h"
#include "ui/win32/Controls.h"
#include "ui/win32/DeviceDialog.h"
#include "ui/win32/Gui.h"
#include "ui/win32/MainWindow.h"
#include "ui/win32/ProtocolDialog.h"

namespace telegate::uitest {

using namespace telegate::win32ui;

namespace {

FILE* g_log = nullptr;  // the test program's own log; set once in main

void Log(const char* fmt, ...) {
    char buf[2048];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    std::printf("%s\n", buf);
    std::fflush(stdout);
    if (g_log != nullptr) {
        std::fprintf(g_log, "%s\n", buf);
        std::fflush(g_log);
    }
}

double NowMs() {
    LARGE_INTEGER f, c;
    ::QueryPerformanceFrequency(&f);
    ::QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) * 1000.0 / static_cast<double>(f.QuadPart);
}

double CpuMs() {
    FILETIME c, e, k, u;
    ::GetProcessTimes(::GetCurrentProcess(), &c, &e, &k, &u);
    auto ms = [](FILETIME t) {
        return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) |
                                   t.dwLowDateTime) /
               10000.0;
    };
    return ms(k) + ms(u);
}

std::string ReadFileBytes(const char* name) {
    std::ifstream f(name, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

struct TFindTop {
    const wchar_t* Cls;
    DWORD Pid;
    HWND Found;
};
BOOL CALLBACK FindTopProc(HWND hwnd, LPARAM lp) {
    auto* f = reinterpret_cast<TFindTop*>(lp);
    wchar_t cls[64];
    DWORD pid = 0;
    ::GetWindowThreadProcessId(hwnd, &pid);
    if (pid == f->Pid && ::IsWindowVisible(hwnd) && ::GetClassNameW(hwnd, cls, 64) > 0 &&
        lstrcmpW(cls, f->Cls) == 0) {
        f->Found = hwnd;
        return FALSE;
    }
    return TRUE;
}

// A visible top-level window of a process (default: this one; the operator's
// boxes come from a thread of their own) with the class.
HWND FindTop(const wchar_t* cls, DWORD pid = ::GetCurrentProcessId()) {
    TFindTop f{cls, pid, nullptr};
    ::EnumWindows(&FindTopProc, reinterpret_cast<LPARAM>(&f));
    return f.Found;
}

// The text of a message box: its static control with the message.
std::string MessageBoxText(HWND box) {
    HWND s = ::GetDlgItem(box, 0xFFFF);
    if (s == nullptr) return {};
    return GetText(s);
}

std::string ListText(HWND lv, int item, int sub) {
    wchar_t buf[512] = {};
    LVITEMW it{};
    it.iSubItem = sub;
    it.pszText = buf;
    it.cchTextMax = 512;
    ::SendMessageW(lv, LVM_GETITEMTEXTW, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(&it));
    return Utf8(buf);
}

int ListCount(HWND lv) {
    return static_cast<int>(::SendMessageW(lv, LVM_GETITEMCOUNT, 0, 0));
}

// Saves the screen area of a window as a 24-bit BMP.
bool SaveShot(HWND hwnd, const std::string& file) {
    ::RedrawWindow(hwnd, nullptr, nullptr,
                   RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
    RECT r;
    ::GetWindowRect(hwnd, &r);
    const int w = r.right - r.left, h = r.bottom - r.top;
    if (w <= 0 || h <= 0) return false;
    HDC screen = ::GetDC(nullptr);
    HDC mem = ::CreateCompatibleDC(screen);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 24;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bmp = ::CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = ::SelectObject(mem, bmp);
    ::BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    ::GdiFlush();
    const int stride = ((w * 3 + 3) / 4) * 4;
    BITMAPFILEHEADER fh{};
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof fh + sizeof bi.bmiHeader;
    fh.bfSize = fh.bfOffBits + static_cast<DWORD>(stride * h);
    bool ok = false;
    if (FILE* f = std::fopen(file.c_str(), "wb")) {
        ok = std::fwrite(&fh, sizeof fh, 1, f) == 1 &&
             std::fwrite(&bi.bmiHeader, sizeof bi.bmiHeader, 1, f) == 1 &&
             std::fwrite(bits, static_cast<size_t>(stride * h), 1, f) == 1;
        std::fclose(f);
    }
    ::SelectObject(mem, old);
    ::DeleteObject(bmp);
    ::DeleteDC(mem);
    ::ReleaseDC(nullptr, screen);
    return ok;
}

enum class TResult { Done, Wait, Fail };

struct TStep {
    std::string Name;
    std::function<TResult()> Run;
    double TimeoutMs = 10000;
};

BOOL CALLBACK CountChild(HWND, LPARAM lp) {
    ++*reinterpret_cast<int*>(lp);
    return TRUE;
}
BOOL CALLBACK CountTop(HWND hwnd, LPARAM lp) {
    ++*reinterpret_cast<int*>(lp);
    ::EnumChildWindows(hwnd, &CountChild, lp);
    return TRUE;
}

// What the process holds of the window system: GDI and USER objects as the
// system counts them, the windows of this thread, and the private bytes.
struct TGuiCount {
    DWORD Gdi = 0, User = 0;
    int Windows = 0;
    size_t PrivateKb = 0;
    static TGuiCount Take() {
        TGuiCount c;
        c.Gdi = ::GetGuiResources(::GetCurrentProcess(), GR_GDIOBJECTS);
        c.User = ::GetGuiResources(::GetCurrentProcess(), GR_USEROBJECTS);
        ::EnumThreadWindows(::GetCurrentThreadId(), &CountTop,
                            reinterpret_cast<LPARAM>(&c.Windows));
        PROCESS_MEMORY_COUNTERS_EX pmc{};
        pmc.cb = sizeof pmc;
        if (::GetProcessMemoryInfo(::GetCurrentProcess(),
                                   reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pmc), sizeof pmc))
            c.PrivateKb = (pmc.PrivateUsage != 0 ? pmc.PrivateUsage : pmc.PagefileUsage) / 1024;
        return c;
    }
    std::string Text(const TGuiCount& before) const {
        char buf[256];
        std::snprintf(buf, sizeof buf,
                      "gdi %lu -> %lu, user %lu -> %lu, windows %d -> %d, private KiB %zu -> %zu",
                      static_cast<unsigned long>(before.Gdi), static_cast<unsigned long>(Gdi),
                      static_cast<unsigned long>(before.User), static_cast<unsigned long>(User),
                      before.Windows, Windows, before.PrivateKb, PrivateKb);
        return buf;
    }
};

class TDriver {
  public:
    TDriver(TGuiSession& s, std::string scenario, int simPort, int cpuStation, int cpuSeconds)
        : s_(s),
          scenario_(std::move(scenario)),
          simPort_(simPort),
          cpuStation_(cpuStation),
          cpuSeconds_(cpuSeconds) {}

    void Start() {
        main_ = s_.Window.Handle();
        if (scenario_ == "flow")
            BuildFlow();
        else if (scenario_ == "session")
            BuildSessionEnd();
        else
            BuildFigures();
        timer_ = s_.Loop.addTimer(50, [this] { Tick(); });
        s_.Loop.startTimer(timer_);
        stepStart_ = NowMs();
        Log("step 1/%zu: %s", steps_.size(), steps_.empty() ? "" : steps_[0].Name.c_str());
    }
    int ExitCode() const { return failures_ == 0 && finished_ ? 0 : 1; }

  private:
    // ---------------------------------------------------------------- machinery
    void Tick() {
        if (busy_ || index_ >= steps_.size()) return;
        busy_ = true;
        const TStep& step = steps_[index_];
        TResult r = step.Run();
        if (r == TResult::Wait && NowMs() - stepStart_ > step.TimeoutMs) {
            Log("FAIL %s: timed out after %.0f ms", step.Name.c_str(), step.TimeoutMs);
            r = TResult::Fail;
        }
        if (r == TResult::Fail) {
            ++failures_;
            Abort();
        } else if (r == TResult::Done) {
            ++index_;
            stepStart_ = NowMs();
            if (index_ < steps_.size())
                Log("step %zu/%zu: %s", index_ + 1, steps_.size(), steps_[index_].Name.c_str());
            else
                finished_ = true;
        }
        busy_ = false;
    }
    // After a failure: close every box and dialog, then the program.
    void Abort() {
        index_ = steps_.size();
        Log("aborting: closing the program");
        for (const wchar_t* cls : {L"#32770", kProtocolDialogClass, kDeviceDialogClass})
            if (HWND w = FindTop(cls)) ::PostMessageW(w, WM_CLOSE, 0, 0);
        s_.Loop.post([this] { s_.Loop.quit(3); });
    }
    void Add(std::string name, std::function<TResult()> fn, double timeoutMs = 10000) {
        steps_.push_back(TStep{std::move(name), std::move(fn), timeoutMs});
    }
    bool Check(bool ok, const char* what) {
        Log("%s %s", ok ? "ok  " : "FAIL", what);
        if (!ok) ++failures_;
        return ok;
    }
    TResult Expect(bool ok, const char* what) {
        return Check(ok, what) ? TResult::Done : TResult::Fail;
    }

    void Command(int id) { ::PostMessageW(main_, WM_COMMAND, MAKEWPARAM(id, 0), 0); }
    static void Press(HWND dialog, int id) {
        ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                       reinterpret_cast<LPARAM>(::GetDlgItem(dialog, id)));
    }
    // Waits for a message box and answers it; its text is kept in lastBox_.
    void AnswerBox(const std::string& name, int answer, const std::string& expectText = {}) {
        Add(name, [this, answer, expectText] {
            HWND box = FindTop(L"#32770");
            if (box == nullptr) return TResult::Wait;
            lastBox_ = MessageBoxText(box);
            Log("     box: %s", lastBox_.c_str());
            ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED), 0);
            if (!expectText.empty())
                return Expect(lastBox_.find(expectText) != std::string::npos,
                              "the box says what it should");
            return TResult::Done;
        });
    }
    void WaitGone(const std::string& name, const wchar_t* cls) {
        Add(name, [cls] { return FindTop(cls) == nullptr ? TResult::Done : TResult::Wait; });
    }
    void Shot(const std::string& name, const wchar_t* cls, const std::string& file) {
        Add(name, [cls, file] {
            HWND w = FindTop(cls);
            if (w == nullptr) return TResult::Wait;
            const bool ok = SaveShot(w, file);
            Log("     shot %s: %s", file.c_str(), ok ? "saved" : "failed");
            return TResult::Done;
        });
    }
    HWND Dev() const { return FindTop(kDeviceDialogClass); }
    HWND Prm() const { return FindTop(kProtocolDialogClass); }

    // Types into a grid cell of the device dialog: a double click opens the
    // cell's editor, then the characters arrive one by one as WM_CHAR.
    // paste: the whole text arrives at once, as from the clipboard.
    static bool TypeCell(HWND dlg, int lvId, int item, int col, const std::wstring& text,
                         bool paste = false) {
        HWND lv = ::GetDlgItem(dlg, lvId);
        ::SendMessageW(lv, LVM_ENSUREVISIBLE, static_cast<WPARAM>(item), FALSE);
        RECT r{};
        r.top = col;
        r.left = LVIR_BOUNDS;
        if (!::SendMessageW(lv, LVM_GETSUBITEMRECT, static_cast<WPARAM>(item),
                            reinterpret_cast<LPARAM>(&r)))
            return false;
        const LPARAM at = MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2);
        ::SendMessageW(lv, WM_LBUTTONDOWN, MK_LBUTTON, at);
        ::SendMessageW(lv, WM_LBUTTONUP, 0, at);
        ::SendMessageW(lv, WM_LBUTTONDBLCLK, MK_LBUTTON, at);
        ::SendMessageW(lv, WM_LBUTTONUP, 0, at);
        HWND editor = ::GetDlgItem(dlg, dev_CellEditor);
        if (editor == nullptr) return false;
        ::SendMessageW(editor, EM_SETSEL, 0, -1);
        ::SendMessageW(editor, WM_CLEAR, 0, 0);
        if (paste)
            ::SendMessageW(editor, EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(text.c_str()));
        else
            for (wchar_t ch : text) ::SendMessageW(editor, WM_CHAR, ch, 0);
        return true;
    }
    static void ShowDevicePage(HWND dlg, int page) {
        HWND tabs = ::GetDlgItem(dlg, dev_Tabs);
        ::SendMessageW(tabs, TCM_SETCURSEL, static_cast<WPARAM>(page), 0);
        NMHDR hdr{tabs, static_cast<UINT_PTR>(dev_Tabs), static_cast<UINT>(TCN_SELCHANGE)};
        ::SendMessageW(dlg, WM_NOTIFY, dev_Tabs, reinterpret_cast<LPARAM>(&hdr));
    }

    // The station table as "iec104.cfg" holds it.
    static std::unique_ptr<TStationTable> ReadConfig() {
        auto table = std::make_unique<TStationTable>();
        TRecordingNotifier quiet;
        ReadConfigFile(kConfigFileName, *table, quiet);
        return table;
    }

    // ---------------------------------------------------------------- the flow
    void BuildFlow() {
        Add("start: hidden, in the tray, polling stopped", [this] {
            bool ok = Check(!::IsWindowVisible(main_), "the window starts hidden");
            ok &= Check(s_.Presenter.TrayIconPresent(), "the tray icon is there");
            ok &= Check(GetText(::GetDlgItem(main_, cmd_StartStop)) == "Start Poll",
                        "start button reads Start Poll");
            ok &= Check(::IsWindowEnabled(::GetDlgItem(main_, cmd_Add)) != FALSE, "Add is enabled");
            return ok ? TResult::Done : TResult::Fail;
        });
        Add(
            "tray click opens the tray menu",
            [this] {
                if (!menuAsked_) {
                    menuAsked_ = true;
                    ::PostMessageW(main_, kTrayMessage, kTrayIconId, WM_LBUTTONDOWN);
                    return TResult::Wait;
                }
                if (FindTop(L"#32768") == nullptr) return TResult::Wait;
                ::PostMessageW(main_, WM_CANCELMODE, 0, 0);
                ::EndMenu();
                return TResult::Done;
            },
            5000);
        Add("tray menu closed; Restore", [this] {
            if (FindTop(L"#32768") != nullptr) {
                ::EndMenu();
                return TResult::Wait;
            }
            Command(cmd_Restore);
            return TResult::Done;
        });
        Add("the window shows", [this] {
            if (!::IsWindowVisible(main_)) return TResult::Wait;
            bool ok = Check(!s_.Presenter.TrayIconPresent(),
                            "the tray icon is removed while the window shows");
            ok &= Check(s_.Presenter.HideEnabled() && !s_.Presenter.RestoreEnabled(),
                        "tray menu: Hide enabled, Restore disabled");
            wchar_t status[512] = {};
            ::SendMessageW(::GetDlgItem(main_, ctl_Status), SB_GETTEXTW, 0,
                           reinterpret_cast<LPARAM>(status));
            RECT sr{};
            ::GetWindowRect(::GetDlgItem(main_, ctl_Status), &sr);
            Log("     status bar: '%s' (%ld x %ld, visible %d)", Utf8(status).c_str(),
                sr.right - sr.left, sr.bottom - sr.top,
                ::IsWindowVisible(::GetDlgItem(main_, ctl_Status)));
            ok &= Check(!s_.Ctx.CurrentDir.empty() && Utf8(status) == s_.Ctx.CurrentDir,
                        "the status bar shows the working directory");
            return ok ? TResult::Done : TResult::Fail;
        });
        BuildKeyboard();
        Add("Add opens the device dialog", [this] {
            Command(cmd_Add);
            return TResult::Done;
        });
        Add("fill the dialog", [this] {
            HWND d = Dev();
            if (d == nullptr) return TResult::Wait;
            bool ok = Check(GetText(::GetDlgItem(d, dev_Name)) == "IEC104_1",
                            "a new station is named IEC104_1");
            SetText(::GetDlgItem(d, dev_Name), "Подстанция Восток");
            SetText(::GetDlgItem(d, dev_IP), "127.0.0.1");
            SetText(::GetDlgItem(d, dev_Port), std::to_string(simPort_));
            SetText(::GetDlgItem(d, dev_Asdu), "1");
            for (int k = 0; k < 3; ++k) {
                ok &= TypeCell(d, dev_GridTS, k, 1, L"ТС " + std::to_wstring(k + 1));
                ok &= TypeCell(d, dev_GridTS, k, 2, L"1");
                ok &= TypeCell(d, dev_GridTS, k, 3, std::to_wstring(k + 1));
            }
            // A bad character is refused while typing: "1a" keeps "1".
            ok &= TypeCell(d, dev_GridTS, 3, 1, L"ТС 4");
            ok &= TypeCell(d, dev_GridTS, 3, 2, L"1a");
            HWND editor = ::GetDlgItem(d, dev_CellEditor);
            ok &= Check(editor != nullptr && GetText(editor) == "1",
                        "the cell editor refused the 'a' of 1a");
            ok &= TypeCell(d, dev_GridTS, 3, 3, L"7");  // no point of the simulator there
            ok &=
                Check(ListText(::GetDlgItem(d, dev_GridTS), 3, 2) == "1", "the grid cell holds 1");
            ShowDevicePage(d, 1);
            for (int k = 0; k < 3; ++k) {
                ok &= TypeCell(d, dev_GridTIT, k, 1, L"ТИ " + std::to_wstring(k + 1));
                ok &= TypeCell(d, dev_GridTIT, k, 2, L"1");
                ok &= TypeCell(d, dev_GridTIT, k, 3, std::to_wstring(4 + k));
            }
            // A real number needs "." : a pasted "1,5" loses its last character.
            ok &= TypeCell(d, dev_GridTIT, 0, 6, L"1,5", true);
            ok &= Check(ListText(::GetDlgItem(d, dev_GridTIT), 0, 6) == "1,",
                        "1,5 became 1, in a range cell");
            ok &= TypeCell(d, dev_GridTIT, 0, 6, L"100.5");
            ok &=
                Check(ListText(::GetDlgItem(d, dev_GridTIT), 0, 6) == "100.5", "100.5 is accepted");
            ShowDevicePage(d, 0);
            return Check(ok, "typed the station and its tags") ? TResult::Done : TResult::Fail;
        });
        Shot("shot of the device dialog", kDeviceDialogClass, "shot-device-dialog.bmp");
        Add("Advanced opens the protocol parameters", [this] {
            Press(Dev(), dev_Advanced);
            return TResult::Done;
        });
        Add("a bad t1 is refused", [this] {
            HWND p = Prm();
            if (p == nullptr) return TResult::Wait;
            bool ok = Check(
                GetText(::GetDlgItem(p, prm_FirstField + pf_Port)) == std::to_string(simPort_),
                "the protocol dialog shows the station's port");
            ok &= Check(GetText(::GetDlgItem(p, prm_FirstField + pf_t1)) == "15", "t1 shows 15 s");
            SetText(::GetDlgItem(p, prm_FirstField + pf_t1), "1x");
            Press(p, IDOK);
            return ok ? TResult::Done : TResult::Fail;
        });
        AnswerBox("the refusal box", IDOK);
        Add("the protocol dialog stays open; enter good values", [this] {
            HWND p = Prm();
            if (FindTop(L"#32770") != nullptr) return TResult::Wait;
            if (!Check(p != nullptr, "the protocol dialog is still open")) return TResult::Fail;
            SetText(::GetDlgItem(p, prm_FirstField + pf_t1), "20");
            SetText(::GetDlgItem(p, prm_FirstField + pf_k), "10");
            return TResult::Done;
        });
        Shot("shot of the protocol dialog", kProtocolDialogClass, "shot-protocol-dialog.bmp");
        Add("OK closes the protocol dialog", [this] {
            Press(Prm(), IDOK);
            return TResult::Done;
        });
        WaitGone("protocol dialog closed", kProtocolDialogClass);
        // OK refuses what would break the gateway, names the field, keeps the dialog.
        Add("OK with an address that is not IPv4", [this] {
            if (FindTop(L"#32770") != nullptr) return TResult::Wait;
            SetText(::GetDlgItem(Dev(), dev_IP), "10.0.0.256");
            Press(Dev(), IDOK);
            return TResult::Done;
        });
        AnswerBox("the address is refused", IDOK, "IP-address");
        Add("OK with a port that is not a number", [this] {
            if (FindTop(L"#32770") != nullptr) return TResult::Wait;
            if (!Check(Dev() != nullptr, "the dialog stays open after the refused address"))
                return TResult::Fail;
            SetText(::GetDlgItem(Dev(), dev_IP), "127.0.0.1");
            SetText(::GetDlgItem(Dev(), dev_Port), "abc");
            Press(Dev(), IDOK);
            return TResult::Done;
        });
        AnswerBox("the port is refused", IDOK, "TCP port");
        Add("the dialog stays open; the port typed again", [this] {
            if (FindTop(L"#32770") != nullptr) return TResult::Wait;
            HWND d = Dev();
            if (!Check(d != nullptr, "the dialog stays open after the refused port"))
                return TResult::Fail;
            bool ok = Check(GetText(::GetDlgItem(d, dev_Port)) == "abc", "with the port typed");
            ok &= Check(s_.Ctx.Stations.Kol_KP == 0, "nothing was stored");
            ok &= Check(GetText(::GetDlgItem(d, dev_BindWeb)).empty(),
                        "the web server's address is empty: every address");
            SetText(::GetDlgItem(d, dev_Port), std::to_string(simPort_));
            return ok ? TResult::Done : TResult::Fail;
        });
        Add("OK stores the station", [this] {
            if (FindTop(L"#32770") != nullptr) return TResult::Wait;
            Press(Dev(), IDOK);
            return TResult::Done;
        });
        WaitGone("device dialog closed", kDeviceDialogClass);
        Add("files after Add", [this] {
            auto table = ReadConfig();
            bool ok = Check(table->Kol_KP == 1, "iec104.cfg holds 1 station");
            if (ok) {
                const T_KP& kp = table->KP_arr[1];
                ok &= Check(kp.NameKP == "Подстанция Восток", "with its Cyrillic name");
                ok &= Check(kp.Kol_TS == 4 && kp.Kol_TI == 3, "4 signals and 3 measurements");
                ok &= Check(kp.Kol_TS == 4 && kp.TS_arr[4].AdrASDU == 1,
                            "the refused character was not stored");
                ok &=
                    Check(kp.TI_arr[1].Max_TM_Diap == 100.5, "the range cell was stored as 100.5");
            }
            TPrmnTable recs{};
            ok &= Check(ReadWritePrmnFile(pfm_Read, kPrmnFileName, recs, 1), "iec104sr.bin reads");
            ok &= Check(recs[0].t1 == 20000 && recs[0].kMax == 10 && recs[0].Port == simPort_,
                        "iec104sr.bin: t1 20000 ms, k 10, the simulator's port");
            HWND list = ::GetDlgItem(main_, ctl_DeviceList);
            ok &= Check(::SendMessageW(list, LB_GETCOUNT, 0, 0) == 1,
                        "the device list shows the station");
            cfgAfterAdd_ = ReadFileBytes(kConfigFileName);
            binAfterAdd_ = ReadFileBytes(kPrmnFileName);
            return ok ? TResult::Done : TResult::Fail;
        });
        Add("Start Poll", [this] {
            Command(cmd_StartStop);
            return TResult::Done;
        });
        AnswerBox("the restart advice", IDOK, "перезапустить");
        Add(
            "live values in the grids",
            [this] {
                HWND sg = ::GetDlgItem(main_, ctl_SignalGrid);
                HWND mg = ::GetDlgItem(main_, ctl_MeasurementGrid);
                if (NowMs() - lastNote_ > 5000) {
                    lastNote_ = NowMs();
                    Log("     waiting: connection '%s', measurements '%s' '%s' '%s' quality '%s' "
                        "time '%s'",
                        ListText(sg, 0, 3).c_str(), ListText(mg, 0, 3).c_str(),
                        ListText(mg, 1, 3).c_str(), ListText(mg, 2, 3).c_str(),
                        ListText(mg, 0, 4).c_str(), ListText(mg, 0, 6).c_str());
                }
                if (ListText(sg, 0, 3) != "Есть") return TResult::Wait;
                if (ListText(mg, 0, 4) != "0" || ListText(mg, 0, 3).empty()) return TResult::Wait;
                bool ok =
                    Check(ListCount(sg) == 6, "signal grid: 4 signals + connection + spare row");
                ok &= Check(ListText(sg, 1, 1) == "ТС 1" && ListText(sg, 1, 2) == "1,1",
                            "signal row 1: name, addresses");
                ok &= Check(ListCount(mg) == 4, "measurement grid: 3 measurements + spare row");
                Log("     signal row: %s | %s | %s | %s", ListText(sg, 1, 1).c_str(),
                    ListText(sg, 1, 3).c_str(), ListText(sg, 1, 4).c_str(),
                    ListText(sg, 1, 5).c_str());
                Log("     measurement row: %s | %s | %s | %s", ListText(mg, 0, 1).c_str(),
                    ListText(mg, 0, 3).c_str(), ListText(mg, 0, 5).c_str(),
                    ListText(mg, 0, 6).c_str());
                ok &= Check(GetText(::GetDlgItem(main_, cmd_StartStop)) == "Stop Poll",
                            "the button reads Stop Poll");
                ok &= Check(!::IsWindowEnabled(::GetDlgItem(main_, cmd_Add)),
                            "Add is disabled while polling");
                const auto& leds = s_.Window.Leds();
                ok &= Check(!leds.empty() && leds[0].OnOff, "station 1's LED is lit");
                // The LED's tooltip names the station.
                HWND tips = s_.Window.LedTooltip();
                ok &= Check(tips != nullptr && ::SendMessageW(tips, TTM_GETTOOLCOUNT, 0, 0) == 1,
                            "one LED tooltip tool per station");
                wchar_t tip[256] = {};
                TOOLINFOW ti{};
                ti.cbSize = sizeof ti;
                ti.hwnd = ::GetDlgItem(main_, ctl_Channels);
                ti.uId = 1;
                ti.lpszText = tip;
                if (tips != nullptr)
                    ::SendMessageW(tips, TTM_GETTEXTW, std::size(tip),
                                   reinterpret_cast<LPARAM>(&ti));
                Log("     LED tooltip: '%s'", Utf8(tip).c_str());
                ok &= Check(Utf8(tip).find("Подстанция Восток") != std::string::npos,
                            "the LED's tooltip names the station");
                return ok ? TResult::Done : TResult::Fail;
            },
            30000);
        Add("values keep coming", [this] {
            if (NowMs() - stepStart_ < 2500) return TResult::Wait;
            return TResult::Done;
        });
        Shot("shot of the main window with live values", kMainWindowClass, "shot-main-window.bmp");
        BuildStatistics();
        Add("Stop Poll", [this] {
            Command(cmd_StartStop);
            return TResult::Done;
        });
        Add("polling stopped", [this] {
            if (GetText(::GetDlgItem(main_, cmd_StartStop)) != "Start Poll") return TResult::Wait;
            bool ok = Check(::IsWindowEnabled(::GetDlgItem(main_, cmd_Add)) != FALSE,
                            "Add is enabled again");
            HWND sg = ::GetDlgItem(main_, ctl_SignalGrid);
            ok &= Check(ListText(sg, 0, 3) == "Нет опроса", "the link row says polling is stopped");
            ok &= Check(s_.Presenter.RowLook(true, 1) == TRowLook::Stopped,
                        "the measurement rows are greyed");
            return ok ? TResult::Done : TResult::Fail;
        });
        Add("Change, then Cancel", [this] {
            ::SendMessageW(::GetDlgItem(main_, ctl_DeviceList), LB_SETCURSEL, 0, 0);
            s_.Presenter.OnDeviceSelected(0);
            Command(cmd_Change);
            return TResult::Done;
        });
        Add("the dialog shows the station", [this] {
            HWND d = Dev();
            if (d == nullptr) return TResult::Wait;
            bool ok =
                Check(GetText(::GetDlgItem(d, dev_Name)) == "Подстанция Восток", "name shown");
            ok &= Check(ListText(::GetDlgItem(d, dev_GridTS), 0, 1) == "ТС 1", "signal 1 shown");
            SetText(::GetDlgItem(d, dev_Name), "не сохранять");
            Press(d, IDCANCEL);
            return ok ? TResult::Done : TResult::Fail;
        });
        WaitGone("device dialog closed", kDeviceDialogClass);
        Add("Cancel changed no file", [this] {
            bool ok = Check(ReadFileBytes(kConfigFileName) == cfgAfterAdd_, "iec104.cfg unchanged");
            ok &= Check(ReadFileBytes(kPrmnFileName) == binAfterAdd_, "iec104sr.bin unchanged");
            return ok ? TResult::Done : TResult::Fail;
        });
        // A write that fails keeps the old files, says so, and the dialog stays open
        // with what the operator typed; the window keeps showing what the files hold.
        Add("Change while iec104.cfg cannot be replaced", [this] {
            lock_ =
                ::CreateFileW(L"iec104.cfg", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (!Check(lock_ != INVALID_HANDLE_VALUE, "iec104.cfg held open without sharing"))
                return TResult::Fail;
            Command(cmd_Change);
            return TResult::Done;
        });
        Add("OK with the file held", [this] {
            HWND d = Dev();
            if (d == nullptr) return TResult::Wait;
            SetText(::GetDlgItem(d, dev_Name), "Запись не удалась");
            Press(d, IDOK);
            return TResult::Done;
        });
        AnswerBox("the write failure is reported", IDOK);
        Add("nothing changed", [this] {
            if (FindTop(L"#32770") != nullptr) return TResult::Wait;
            ::CloseHandle(lock_);
            lock_ = INVALID_HANDLE_VALUE;
            HWND d = Dev();
            bool ok = Check(d != nullptr, "the dialog stays open after the failed write");
            if (d != nullptr)
                ok &= Check(GetText(::GetDlgItem(d, dev_Name)) == "Запись не удалась",
                            "with what the operator typed");
            ok &= Check(ReadFileBytes(kConfigFileName) == cfgAfterAdd_,
                        "iec104.cfg kept its old bytes");
            ok &= Check(ReadFileBytes(kPrmnFileName) == binAfterAdd_,
                        "iec104sr.bin kept its old bytes");
            wchar_t name[128] = {};
            ::SendMessageW(::GetDlgItem(main_, ctl_DeviceList), LB_GETTEXT, 0,
                           reinterpret_cast<LPARAM>(name));
            ok &= Check(Utf8(name) == "Подстанция Восток",
                        "the device list still shows the stored name");
            ok &= Check(s_.Ctx.Stations.KP_arr[1].NameKP == "Подстанция Восток",
                        "memory equals the files");
            if (d != nullptr) Press(d, IDCANCEL);
            return ok ? TResult::Done : TResult::Fail;
        });
        WaitGone("device dialog closed", kDeviceDialogClass);
        BuildHelp();
        Add("About", [this] {
            Command(cmd_About);
            return TResult::Done;
        });
        AnswerBox("the about box", IDOK, "Telegate");
        Add("trace switch", [this] {
            Command(cmd_Trace);
            return TResult::Done;
        });
        AnswerBox("the trace advice", IDOK, "Выключите");
        Add("trace caption", [this] {
            return Expect(s_.Presenter.TraceCaption() == "Выключить запись лог файлов" &&
                              s_.Ctx.Settings.Save_Obmen_v_File,
                          "trace on, menu offers to switch it off");
        });
        Add("register the OPC server", [this] {
            Command(cmd_Register);
            return TResult::Done;
        });
        AnswerBox("registration answer", IDOK, "OPC");
        Add("Delete", [this] {
            Command(cmd_Delete);
            return TResult::Done;
        });
        AnswerBox("the delete question, answered Yes", IDYES, "удалить");
        Add("files after Delete", [this] {
            if (FindTop(L"#32770") != nullptr) return TResult::Wait;
            auto table = ReadConfig();
            bool ok = Check(table->Kol_KP == 0, "iec104.cfg holds no station");
            HWND list = ::GetDlgItem(main_, ctl_DeviceList);
            ok &= Check(::SendMessageW(list, LB_GETCOUNT, 0, 0) == 0, "the device list is empty");
            ok &= Check(ListCount(::GetDlgItem(main_, ctl_MeasurementGrid)) == 0,
                        "the grids are empty");
            return ok ? TResult::Done : TResult::Fail;
        });
        Add("minimise hides into the tray", [this] {
            ::ShowWindow(main_, SW_MINIMIZE);
            return TResult::Done;
        });
        Add("hidden again", [this] {
            if (::IsWindowVisible(main_)) return TResult::Wait;
            return Expect(s_.Presenter.TrayIconPresent(), "the tray icon is back");
        });
        Add("a restarted shell gets the icon again", [this] {
            ::SendMessageW(main_, ::RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
            return Expect(s_.Presenter.TrayIconPresent() && !::IsWindowVisible(main_),
                          "after TaskbarCreated the icon is there, the window still hidden");
        });
        BuildJournalAndFailures();
        BuildSecondStart();
        Add("Exit from the tray menu", [this] {
            Command(cmd_Exit);
            return TResult::Done;
        });
    }

    // The keyboard: a control has the focus when the window opens, Tab moves it to
    // the next control, every menu item has a mnemonic.
    void BuildKeyboard() {
        Add("a control has the focus; Tab moves it on", [this] {
            HWND list = ::GetDlgItem(main_, ctl_DeviceList);
            HWND focus = ::GetFocus();
            bool ok = Check(focus != nullptr && ::IsChild(main_, focus),
                            "a control of the window has the focus when it opens");
            ok &= Check(focus == list, "the device list has it");
            // Through the message queue, as a key press arrives.
            ::PostMessageW(focus != nullptr ? focus : main_, WM_KEYDOWN, VK_TAB, 1);
            return ok ? TResult::Done : TResult::Fail;
        });
        Add("the focus moved with Tab", [this] {
            HWND focus = ::GetFocus();
            if (focus == ::GetDlgItem(main_, ctl_DeviceList)) return TResult::Wait;
            return Expect(focus == ::GetDlgItem(main_, ctl_SignalGrid),
                          "Tab went from the device list to the signal grid");
        });
        Add("menus have mnemonics", [this] {
            HMENU bar = ::GetMenu(main_);
            const int n = ::GetMenuItemCount(bar);
            int marked = 0, items = 0;
            for (int i = 0; i < n; ++i) {
                wchar_t text[128] = {};
                ::GetMenuStringW(bar, static_cast<UINT>(i), text, 128, MF_BYPOSITION);
                ++items;
                if (std::wstring(text).find(L'&') != std::wstring::npos) ++marked;
                Log("     menu: %s", Utf8(text).c_str());
                if (HMENU sub = ::GetSubMenu(bar, i))
                    for (int k = 0; k < ::GetMenuItemCount(sub); ++k) {
                        wchar_t t[128] = {};
                        ::GetMenuStringW(sub, static_cast<UINT>(k), t, 128, MF_BYPOSITION);
                        ++items;
                        if (std::wstring(t).find(L'&') != std::wstring::npos) ++marked;
                    }
            }
            Log("     %d of %d menu items with a mnemonic", marked, items);
            return Expect(items >= 11 && marked == items, "every menu item has a mnemonic");
        });
        Add("the window lies in the work area", [this] {
            RECT wa{}, r{};
            ::SystemParametersInfoW(SPI_GETWORKAREA, 0, &wa, 0);
            ::GetWindowRect(main_, &r);
            Log("     window %ld,%ld-%ld,%ld; work area %ld,%ld-%ld,%ld", r.left, r.top, r.right,
                r.bottom, wa.left, wa.top, wa.right, wa.bottom);
            return Expect(r.left >= wa.left && r.top >= wa.top && r.right <= wa.right &&
                              r.bottom <= wa.bottom,
                          "the window opened inside the work area");
        });
    }
    // F1 opens the help: no Telegate.doc here, so the web folder's help page.
    void BuildHelp() {
        Add("F1 without Telegate.doc", [this] {
            ::PostMessageW(::GetFocus() != nullptr ? ::GetFocus() : main_, WM_KEYDOWN, VK_F1, 1);
            helpAsked_ = NowMs();
            return TResult::Done;
        });
        Add("the web folder's help page is opened", [this] {
            const std::string doc = s_.Presenter.LastHelpDocument();
            if (doc.empty() && NowMs() - helpAsked_ < 3000) return TResult::Wait;
            Log("     help: %s", doc.c_str());
            return Expect(doc.size() > 13 && doc.substr(doc.size() - 13) == "web\\help.html",
                          "Help (F1) opens web\\help.html");
        });
        Add("the help page went to the system's browser", [this] {
            // The browser is the system's. A prefix without one (Wine without its
            // browser) answers with a box that names the page the window asked for.
            if (NowMs() - helpAsked_ < 2000) return TResult::Wait;
            HWND box = FindTop(L"#32770");
            if (box == nullptr) return Expect(true, "the help page opened, no box");
            const std::string text = MessageBoxText(box);
            Log("     box: %s", text.c_str());
            ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            return Expect(text.find("web\\help.html") != std::string::npos &&
                              text.find("Telegate.doc") == std::string::npos,
                          "the page asked for is web\\help.html (no browser in this prefix)");
        });
        WaitGone("the box is gone", L"#32770");
    }
    // Windows ends the session: the window closes as the operator's Exit does (the
    // script checks the exit status and that iec104.cfg was written).
    void BuildSessionEnd() {
        Add("WM_QUERYENDSESSION is answered yes", [this] {
            const LRESULT r = ::SendMessageW(main_, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF);
            return Expect(r == TRUE, "the session may end");
        });
        Add("WM_ENDSESSION closes the program", [this] {
            ::SendMessageW(main_, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
            finished_ = true;
            return TResult::Done;
        });
    }

    // The menu item "Statistics" ("Статистика") opens the selected station's statistics, refreshed
    // while the station's traffic goes on.
    void BuildStatistics() {
        Add("the Statistics menu item opens the station's statistics", [this] {
            wchar_t text[64] = {};
            ::GetMenuStringW(::GetMenu(main_), cmd_Statistics, text, 64, MF_BYCOMMAND);
            if (!Check(WithoutMnemonic(Utf8(text)) == "Statistics",
                       "the Device menu has \"Statistics\""))
                return TResult::Fail;
            ::SendMessageW(::GetDlgItem(main_, ctl_DeviceList), LB_SETCURSEL, 0, 0);
            s_.Presenter.OnDeviceSelected(0);
            Command(cmd_Statistics);
            return TResult::Done;
        });
        Add("the statistics window shows the station's figures", [this] {
            HWND w = FindTop(kStatisticsWindowClass);
            if (w == nullptr || !::IsWindowVisible(w)) return TResult::Wait;
            HWND lv = ::GetWindow(w, GW_CHILD);
            const auto row = [lv](const std::string& name) {
                for (int i = 0; i < ListCount(lv); ++i)
                    if (ListText(lv, i, 0) == name) return ListText(lv, i, 1);
                return std::string("<none>");
            };
            if (row("Connects") != "1" || row("I/S/U received").rfind("0/", 0) == 0)
                return TResult::Wait;
            Log("     %s: connects %s, I/S/U received %s, objects %s", GetText(w).c_str(),
                row("Connects").c_str(), row("I/S/U received").c_str(), row("Objects").c_str());
            return Expect(
                GetText(w) == "Statistics - Подстанция Восток" && row("Connection") == "Yes",
                "caption with the station's name, the link shown up");
        });
        Shot("shot of the statistics window", kStatisticsWindowClass, "shot-statistics.bmp");
        Add(
            "the statistics refresh by themselves",
            [this] {
                HWND w = FindTop(kStatisticsWindowClass);
                HWND lv = w != nullptr ? ::GetWindow(w, GW_CHILD) : nullptr;
                if (lv == nullptr) return Expect(false, "the statistics window stays open");
                std::string octets;
                for (int i = 0; i < ListCount(lv); ++i)
                    if (ListText(lv, i, 0) == "Octets received") octets = ListText(lv, i, 1);
                if (statOctets_.empty()) statOctets_ = octets;
                if (octets == statOctets_) return TResult::Wait;
                ::PostMessageW(w, WM_CLOSE, 0, 0);
                return TResult::Done;
            },
            15000);
        WaitGone("statistics window closed", kStatisticsWindowClass);
    }

    // The journal window and the daily journal file; a failure in the status bar
    // until it is resolved.
    void BuildJournalAndFailures() {
        Add("the Journal menu opens the journal window", [this] {
            s_.Ctx.MessBuff.Put(0, "uitest: первая строка журнала", s_.Ctx.Clock.Now());
            Command(cmd_Journal);
            return TResult::Done;
        });
        Add("the journal window shows the lines, live", [this] {
            HWND jw = s_.Window.JournalWindow();
            if (jw == nullptr || !::IsWindowVisible(jw)) return TResult::Wait;
            HWND edit = ::GetWindow(jw, GW_CHILD);
            bool ok =
                Check(GetText(edit).find("uitest: первая строка журнала") != std::string::npos,
                      "an earlier line is in the window");
            s_.Ctx.MessBuff.Put(0, "uitest: вторая строка", s_.Ctx.Clock.Now());
            ok &= Check(GetText(edit).find("uitest: вторая строка") != std::string::npos,
                        "a new line appears at once");
            ::PostMessageW(jw, WM_CLOSE, 0, 0);
            return ok ? TResult::Done : TResult::Fail;
        });
        Add("the daily journal file holds the lines", [this] {
            if (s_.Window.JournalWindow() != nullptr) return TResult::Wait;
            const TDateTimeParts d = DecodeDateTime(s_.Ctx.Clock.Now());
            std::ifstream in(TJournalFile::FileName(d.year, d.month, d.day), std::ios::binary);
            const std::string text((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
            if (text.find(Utf8ToCp1251("uitest: вторая строка")) == std::string::npos)
                return TResult::Wait;  // the file is written by a thread of its own
            return Expect(
                text.find(Utf8ToCp1251("uitest: первая строка журнала")) != std::string::npos,
                "journal-YYYY-MM-DD.log holds both lines in Windows-1251");
        });
        Add("a failure stays in the status bar until it is resolved", [this] {
            s_.Form.ReportFailure("uitest", "проверочный отказ");
            const std::string shown = GetText(::GetDlgItem(main_, ctl_Status));
            bool ok = Check(shown.find("Ошибка: проверочный отказ") != std::string::npos,
                            "the status bar shows the failure");
            std::ifstream in("error_iec104.log", std::ios::binary);
            const std::string log((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
            ok &= Check(log.find(Utf8ToCp1251("проверочный отказ")) != std::string::npos ||
                            log.find("проверочный отказ") != std::string::npos,
                        "error_iec104.log has it");
            s_.Form.ResolveFailure("uitest");
            ok &=
                Check(GetText(::GetDlgItem(main_, ctl_Status)).find("Ошибка") == std::string::npos,
                      "resolved, it is gone from the status bar");
            return ok ? TResult::Done : TResult::Fail;
        });
    }

    // A second start (Telegate.exe beside this program, the same single-instance
    // lock): its box, then this copy's window in front.
    void BuildSecondStart() {
        Add("a second copy is started", [this] {
            if (::GetFileAttributesW(L"Telegate.exe") == INVALID_FILE_ATTRIBUTES) {
                Log("     no Telegate.exe here: the second start is not checked");
                secondSkipped_ = true;
                return TResult::Done;
            }
            STARTUPINFOW si{};
            si.cb = sizeof si;
            std::wstring cmd = L"Telegate.exe";
            second0_ = NowMs();
            if (!::CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                  &si, &second_))
                return Expect(false, "Telegate.exe starts");
            return TResult::Done;
        });
        Add("it says the program runs already", [this] {
            if (secondSkipped_) return TResult::Done;
            HWND box = FindTop(L"#32770", second_.dwProcessId);
            if (box == nullptr) return TResult::Wait;
            secondBox_ = NowMs();
            const std::string text = MessageBoxText(box);
            ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            return Expect(text.find("Приложение уже запущено!") != std::string::npos,
                          "the second copy's box says so");
        });
        Add(
            "this copy's window comes to the front",
            [this] {
                if (secondSkipped_) return TResult::Done;
                if (!::IsWindowVisible(main_)) return TResult::Wait;
                // Visible; in front too, unless the system refuses it for long.
                if (::GetForegroundWindow() != main_ && NowMs() - secondBox_ < 3000)
                    return TResult::Wait;
                const double front = NowMs();
                Log("     the window is %s", ::GetForegroundWindow() == main_
                                                 ? "in front"
                                                 : "open but not in front (the system refused)");
                Log("FIGURE second start: its box after %.0f ms; the first copy's window in "
                    "front %.0f ms after the box was answered (%.0f ms in all)",
                    secondBox_ - second0_, front - secondBox_, front - second0_);
                DWORD rc = 259;
                ::WaitForSingleObject(second_.hProcess, 5000);
                ::GetExitCodeProcess(second_.hProcess, &rc);
                ::CloseHandle(second_.hProcess);
                ::CloseHandle(second_.hThread);
                bool ok = Check(rc == 1, "the second copy ended with status 1");
                ok &= Check(s_.Presenter.WindowVisible(), "the presenter knows it is open");
                return ok ? TResult::Done : TResult::Fail;
            },
            15000);
        Add("hide it again", [this] {
            Command(cmd_Hide);
            return TResult::Done;
        });
        // The shell sends a double-click as down, up, double-click, up: the first
        // press must not open the menu that would swallow the rest.
        Add("a double-click on the tray icon", [this] {
            if (::IsWindowVisible(main_)) return TResult::Wait;
            for (LPARAM m : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP})
                ::PostMessageW(main_, kTrayMessage, kTrayIconId, m);
            return TResult::Done;
        });
        Add("opens the window, and no menu", [this] {
            if (!::IsWindowVisible(main_)) return TResult::Wait;
            return Expect(FindTop(L"#32768") == nullptr, "no tray menu after a double-click");
        });
        Add("hidden once more", [this] {
            Command(cmd_Hide);
            return TResult::Done;
        });
    }

    // ---------------------------------------------------------------- figures
    void BuildFigures() {
        Add("open from the tray, 32 stations", [this] {
            const int tags = [this] {
                int n = 0;
                for (int k = 1; k <= s_.Ctx.Stations.Kol_KP; ++k)
                    n += s_.Ctx.Stations.KP_arr[k].Kol_TS + s_.Ctx.Stations.KP_arr[k].Kol_TI;
                return n;
            }();
            std::vector<double> times;
            for (int i = 0; i < 5; ++i) {
                const double t0 = NowMs();
                ::SendMessageW(main_, kTrayMessage, kTrayIconId, WM_LBUTTONDBLCLK);
                ::RedrawWindow(main_, nullptr, nullptr,
                               RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN | RDW_FRAME);
                ::GdiFlush();
                times.push_back(NowMs() - t0);
                if (!::IsWindowVisible(main_)) return Expect(false, "the window opened");
                if (i + 1 < 5) ::SendMessageW(main_, WM_COMMAND, cmd_Hide, 0);
            }
            Log(
                "FIGURE open_from_tray_ms first=%.1f median_of_5=%.1f stations=%d tags=%d",
                times[0],
                [&] {
                    auto t = times;
                    std::sort(t.begin(), t.end());
                    return t[2];
                }(),
                s_.Ctx.Stations.Kol_KP, tags);
            return TResult::Done;
        });
        Add("select the measurement station", [this] {
            HWND list = ::GetDlgItem(main_, ctl_DeviceList);
            ::SendMessageW(list, LB_SETCURSEL, static_cast<WPARAM>(cpuStation_ - 1), 0);
            s_.Presenter.OnDeviceSelected(cpuStation_ - 1);
            return TResult::Done;
        });
        Add(
            "values arrive",
            [this] {
                HWND mg = ::GetDlgItem(main_, ctl_MeasurementGrid);
                if (ListText(mg, 0, 4) != "0") return TResult::Wait;
                Log("     %d measurement rows; row 1: %s %s", ListCount(mg),
                    ListText(mg, 0, 1).c_str(), ListText(mg, 0, 3).c_str());
                // First the same work with the window in the tray, for comparison.
                ::SendMessageW(main_, WM_COMMAND, cmd_Hide, 0);
                cpu0_ = CpuMs();
                wall0_ = NowMs();
                return TResult::Done;
            },
            60000);
        Add(
            "CPU with the window in the tray",
            [this] {
                if (NowMs() - wall0_ < cpuSeconds_ * 1000.0) return TResult::Wait;
                hiddenCpu_ = 100.0 * (CpuMs() - cpu0_) / (NowMs() - wall0_);
                ::SendMessageW(main_, kTrayMessage, kTrayIconId, WM_LBUTTONDBLCLK);
                cpu0_ = CpuMs();
                wall0_ = NowMs();
                return TResult::Done;
            },
            120000);
        Add(
            "CPU while the window refreshes the station",
            [this] {
                if (NowMs() - wall0_ < cpuSeconds_ * 1000.0) return TResult::Wait;
                const double cpu = CpuMs() - cpu0_, wall = NowMs() - wall0_;
                // One refresh as the 1 s timer does it: the presenter fills the rows and
                // the list view repaints what it shows.
                const double t0 = NowMs();
                for (int i = 0; i < 10; ++i) {
                    s_.Presenter.OutStingGrigTsTit();
                    ::UpdateWindow(::GetDlgItem(main_, ctl_MeasurementGrid));
                }
                const double perRefresh = (NowMs() - t0) / 10;
                HWND mg = ::GetDlgItem(main_, ctl_MeasurementGrid);
                Log("FIGURE refresh_cpu_percent=%.1f over %.0f s (process, %d measurement rows, "
                    "grid period 1000 ms, "
                    "polling and the simulated station's traffic included); one refresh %.2f ms",
                    100.0 * cpu / wall, wall / 1000, ListCount(mg) - 1, perRefresh);
                Log("FIGURE hidden_cpu_percent=%.1f (the same with the window in the tray)",
                    hiddenCpu_);
                SaveShot(main_, "shot-main-window-7000.bmp");
                return TResult::Done;
            },
            120000);
        Add("stop polling for the dialog cycles", [this] {
            Command(cmd_StartStop);
            return TResult::Done;
        });
        Add("polling stopped", [this] {
            if (GetText(::GetDlgItem(main_, cmd_StartStop)) != "Start Poll") return TResult::Wait;
            ::SendMessageW(::GetDlgItem(main_, ctl_DeviceList), LB_SETCURSEL, 0, 0);
            s_.Presenter.OnDeviceSelected(0);
            count0_ = TGuiCount::Take();
            return TResult::Done;
        });
        // 100 open/close cycles of the device properties dialog.
        Add(
            "100 device dialog cycles",
            [this] {
                HWND d = Dev();
                if (!dialogOpen_) {
                    if (d != nullptr) return TResult::Wait;
                    if (cycles_ == 100) {
                        const TGuiCount c = TGuiCount::Take();
                        Log("FIGURE device_dialog_100_cycles %s; fonts of the closed dialogs still "
                            "alive: %d of %zu",
                            c.Text(count0_).c_str(), AliveFonts(), fonts_.size());
                        Check(AliveFonts() == 0, "every closed dialog deleted its font");
                        fonts_.clear();
                        Check(c.Gdi <= count0_.Gdi + 2 && c.User <= count0_.User + 2 &&
                                  c.Windows == count0_.Windows,
                              "no GDI or USER objects or windows left behind");
                        cycles_ = 0;
                        return TResult::Done;
                    }
                    Command(cmd_Change);
                    dialogOpen_ = true;
                    return TResult::Wait;
                }
                if (d == nullptr) return TResult::Wait;
                fonts_.push_back(reinterpret_cast<HGDIOBJ>(
                    ::SendMessageW(::GetDlgItem(d, IDOK), WM_GETFONT, 0, 0)));
                Press(d, IDCANCEL);
                dialogOpen_ = false;
                ++cycles_;
                return TResult::Wait;
            },
            120000);
        Add("open the device dialog once more", [this] {
            Command(cmd_Change);
            return TResult::Done;
        });
        Add(
            "100 protocol dialog cycles",
            [this] {
                HWND d = Dev();
                if (d == nullptr) return TResult::Wait;
                HWND p = Prm();
                if (!dialogOpen_) {
                    if (p != nullptr) return TResult::Wait;
                    if (cycles_ == 0 && !protocolBase_) {
                        protocolBase_ = true;
                        count0_ = TGuiCount::Take();
                    }
                    if (cycles_ == 100) {
                        const TGuiCount c = TGuiCount::Take();
                        Log("FIGURE protocol_dialog_100_cycles (device dialog open) %s; fonts of "
                            "the closed "
                            "dialogs still alive: %d of %zu",
                            c.Text(count0_).c_str(), AliveFonts(), fonts_.size());
                        Check(AliveFonts() == 0, "every closed dialog deleted its font");
                        Check(c.Gdi <= count0_.Gdi + 2 && c.User <= count0_.User + 2 &&
                                  c.Windows == count0_.Windows,
                              "no GDI or USER objects or windows left behind");
                        Press(d, IDCANCEL);
                        return TResult::Done;
                    }
                    Press(d, dev_Advanced);
                    dialogOpen_ = true;
                    return TResult::Wait;
                }
                if (p == nullptr) return TResult::Wait;
                fonts_.push_back(reinterpret_cast<HGDIOBJ>(
                    ::SendMessageW(::GetDlgItem(p, IDOK), WM_GETFONT, 0, 0)));
                Press(p, IDCANCEL);
                dialogOpen_ = false;
                ++cycles_;
                return TResult::Wait;
            },
            120000);
        WaitGone("device dialog closed", kDeviceDialogClass);
        Add("close", [this] {
            ::PostMessageW(main_, WM_CLOSE, 0, 0);
            return TResult::Done;
        });
    }

    int AliveFonts() const {
        int n = 0;
        for (HGDIOBJ f : fonts_)
            if (f != nullptr && ::GetObjectType(f) != 0) ++n;
        return n;
    }

    TGuiSession& s_;
    std::vector<HGDIOBJ> fonts_;
    std::string scenario_;
    int simPort_;
    int cpuStation_;
    int cpuSeconds_;
    HWND main_ = nullptr;
    IMainLoop::TimerId timer_ = 0;
    std::vector<TStep> steps_;
    size_t index_ = 0;
    double stepStart_ = 0;
    bool busy_ = false;
    bool finished_ = false;
    int failures_ = 0;
    bool menuAsked_ = false;
    double helpAsked_ = 0;
    PROCESS_INFORMATION second_{};
    double second0_ = 0, secondBox_ = 0;
    bool secondSkipped_ = false;
    double lastNote_ = 0;
    std::string lastBox_;
    std::string statOctets_;  // the first "Octets received" the statistics window showed
    std::string cfgAfterAdd_, binAfterAdd_;
    HANDLE lock_ = INVALID_HANDLE_VALUE;
    double cpu0_ = 0, wall0_ = 0, hiddenCpu_ = 0;
    TGuiCount count0_;
    bool protocolBase_ = false;
    bool dialogOpen_ = false;
    int cycles_ = 0;
};

}  // namespace
}  // namespace telegate::uitest

int main(int argc, char** argv) {
    using namespace telegate::uitest;
    std::string scenario = "flow";
    int simPort = 2404, cpuStation = 1, cpuSeconds = 10;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--scenario") scenario = argv[i + 1];
        if (a == "--sim-port") simPort = std::atoi(argv[i + 1]);
        if (a == "--cpu-station") cpuStation = std::atoi(argv[i + 1]);
        if (a == "--cpu-seconds") cpuSeconds = std::atoi(argv[i + 1]);
    }
    if (scenario == "figures") {
        // The connection records of the figures' 32 stations: the simulated station
        // 1 at the first port, nothing listening at the others.
        int base = 0;
        for (int i = 1; i + 1 < argc; i += 2)
            if (std::string(argv[i]) == "--base-port") base = std::atoi(argv[i + 1]);
        telegate::TPrmnTable recs{};
        for (int n = 0; n < 32; ++n) {
            telegate::SetDefaultPrmn(recs[static_cast<size_t>(n)], "127.0.0.1", base + n);
            recs[static_cast<size_t>(n)].CommonAsduAddress = n + 1;
            recs[static_cast<size_t>(n)].prWork1 = 1;
        }
        std::string exe = telegate::ExecutablePath();
        const std::string dir = exe.substr(0, exe.find_last_of("\\/") + 1);
        if (!telegate::ReadWritePrmnFile(telegate::pfm_Write, dir + telegate::kPrmnFileName, recs,
                                         32)) {
            std::printf("cannot write %s\n", telegate::kPrmnFileName);
            return 1;
        }
    }
    std::unique_ptr<TDriver> driver;
    telegate::win32ui::TGuiOptions options;
    options.OnStarted = [&](telegate::win32ui::TGuiSession& s) {
        g_log = std::fopen("uitest.log", "w");
        Log("scenario %s", scenario.c_str());
        driver = std::make_unique<TDriver>(s, scenario, simPort, cpuStation, cpuSeconds);
        driver->Start();
    };
    const int rc = telegate::win32ui::RunGui(options);
    const int result = driver != nullptr && rc == 0 ? driver->ExitCode() : 1;
    Log("program exit %d; result %s", rc, result == 0 ? "PASS" : "FAIL");
    if (g_log != nullptr) std::fclose(g_log);
    return result;
}
