// The station channel panels: one LED per channel controller of the running
// polling, lit steady green while the station is connected, dark red while idle
// and bright red while a connection attempt is pending. The controllers keep the
// LED state (they are rebuilt at every start of polling); this presenter follows
// them and tells the view which LED to paint in which colour.
#pragma once

#include <memory>
#include <vector>

#include "iec104/ChannelController.h"

namespace telegate {

class TPolling;

struct TLedView {
    int Channel = 0;  // 1-based, the station number
    int Left = 0, Top = 0, Size = 0;
    TColor Fill = 0;
    bool OnOff = false;
    bool Bright = false;
};

class IChannelPanelView {
  public:
    virtual ~IChannelPanelView() = default;
    // Paints one LED.
    virtual void PaintLed(const TLedView& led) = 0;
    // The set of channels changed (polling started or stopped).
    virtual void SetChannelCount(int count) = 0;
};

class TChannelPanelPresenter {
  public:
    explicit TChannelPanelPresenter(IChannelPanelView* view = nullptr) : view_(view) {}
    ~TChannelPanelPresenter();
    TChannelPanelPresenter(const TChannelPanelPresenter&) = delete;
    TChannelPanelPresenter& operator=(const TChannelPanelPresenter&) = delete;

    // Follows the controllers of the current run of polling (none when polling is
    // null or stopped): every LED change is painted at once. Call it after every
    // start and stop of polling; controllers of earlier runs are never touched
    // again (they may be gone).
    void Bind(TPolling* polling);
    // The LEDs of the current run as they are now.
    std::vector<TLedView> Leds() const;

  private:
    static TLedView ViewOf(int channel, const TdsLed1& led);

    IChannelPanelView* view_;
    TPolling* polling_ = nullptr;
    // Shared with the LED callbacks of the bound run; replaced at every Bind, so
    // that callbacks of an earlier run do nothing.
    std::shared_ptr<IChannelPanelView*> token_;
};

}  // namespace telegate
