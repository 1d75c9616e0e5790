// The controller of one station channel (TClient104Frm) and the state of its LED
// (TdsLed1). The controller is where data read by the station's worker enter the
// client, where the client's periodic service runs, where the connection state
// is turned into the LED state and where all tags of a station are marked invalid
// after its link was lost. Drawing belongs to the operator interface, which
// watches the LED through FOnChange. Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "iec104/StationClient.h"

namespace telegate {

class TKpList;
class TArmSignals;
class TTagSignalList;

// A colour as the platform's COLORREF: red in the low octet.
using TColor = uint32_t;
constexpr TColor RGBColor(uint8_t r, uint8_t g, uint8_t b) {
    return static_cast<TColor>(r) | (static_cast<TColor>(g) << 8) | (static_cast<TColor>(b) << 16);
}

constexpr int kLedSize = 11;
constexpr TColor kLedOn = RGBColor(0, 128, 0);
constexpr TColor kLedOff = RGBColor(128, 0, 0);
constexpr TColor kLedOnBright = RGBColor(124, 252, 0);
constexpr TColor kLedOffBright = RGBColor(252, 0, 124);

class TdsLed1 {
  public:
    // Stores the colours, FOnOff false, size ASize x ASize at (ALeft, ATop).
    void Init(int ALeft, int ATop, int ASize, TColor OffColor, TColor OnColor, TColor OffBrColor,
              TColor OnBrColor);
    // Sets FOnOff, then FBright, each only when it differs; every change repaints
    // and calls FOnChange.
    void SetLight(bool onoff, bool Bright);
    void SetBright(bool Bright);
    // The fill the LED shows now.
    TColor FillColor() const;

    TColor FOnColor = 0;
    TColor FOffColor = 0;
    TColor FOnBrColor = 0;
    TColor FOffBrColor = 0;
    bool FOnOff = false;
    bool FBright = false;
    std::function<void()> FOnChange;
    int Left = 0, Top = 0, Width = 0, Height = 0;
    int32_t RepaintCount = 0;  // repaints requested so far

  private:
    void Changed();
};

// The registries CheckValid1 reads; any of them may be null (then nothing is
// invalidated). They are rebuilt at every start of polling: set them after.
struct TChannelScope {
    const TKpList* KpList = nullptr;
    const TArmSignals* Arm = nullptr;
    TTagSignalList* Tags = nullptr;
};

class TClient104Frm {
  public:
    // Create(Apcl, Apctrl, Left, Top, prAuto): serves the client (shared, never
    // replaced), applies ChBoxAuto(prAuto) and initialises the LED at (Left, Top).
    TClient104Frm(std::shared_ptr<T104Client> Apcl, int Left, int Top, bool prAuto,
                  TChannelScope Ascope = {});

    // Sets or clears the client's auto-connect bit.
    void ChBoxAuto(bool check);
    // The operator's connect and disconnect buttons.
    void ButtonConnect();
    void ButtonDisConnect();
    // One block read by the worker: cut, decode into tags, then the service pass.
    void OnReceive(const PSocket_temp& Socket, bool Save_Obmen, int nomer_socket);
    // A batch from the worker's link layer: decoded, then the service pass (a
    // command's confirmation moves it on at once).
    void OnBatch(const TMainBatch& batch, bool Save_Obmen, int nomer_socket);
    // Telecontrol and link service of a working client.
    void DoService(bool Save_Obmen, int nomer_socket);
    // Steady green when connected, else dark red, or bright red while an attempt is pending.
    void ShowLed();
    // When the link asked for it: marks invalid every tag of the stations with the
    // client's host and port (of every station when prAll), then clears the request.
    void CheckValid1(bool prAll);

    T104Client* Client() const { return pcl.get(); }

    std::shared_ptr<T104Client> pcl;
    TdsLed1 led;
    TChannelScope scope;
};

}  // namespace telegate
