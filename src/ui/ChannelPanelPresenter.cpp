#include "ui/ChannelPanelPresenter.h"

#include "app/Polling.h"

namespace telegate {

TChannelPanelPresenter::~TChannelPanelPresenter() {
    if (token_ != nullptr) *token_ = nullptr;
}

TLedView TChannelPanelPresenter::ViewOf(int channel, const TdsLed1& led) {
    TLedView v;
    v.Channel = channel;
    v.Left = led.Left;
    v.Top = led.Top;
    v.Size = led.Width;
    v.Fill = led.FillColor();
    v.OnOff = led.FOnOff;
    v.Bright = led.FBright;
    return v;
}

void TChannelPanelPresenter::Bind(TPolling* polling) {
    if (token_ != nullptr) *token_ = nullptr;
    token_ = std::make_shared<IChannelPanelView*>(view_);
    polling_ = polling != nullptr && polling->Polling() ? polling : nullptr;
    int count = 0;
    if (polling_ != nullptr) {
        for (int n = 1; n <= kMaxChannels; ++n) {
            TClient104Frm* c = polling_->Controller(n);
            if (c == nullptr) break;
            ++count;
            std::weak_ptr<IChannelPanelView*> token = token_;
            const TdsLed1* led = &c->led;
            c->led.FOnChange = [token, n, led] {
                const auto view = token.lock();
                if (view != nullptr && *view != nullptr) (*view)->PaintLed(ViewOf(n, *led));
            };
        }
    }
    if (view_ == nullptr) return;
    view_->SetChannelCount(count);
    for (const TLedView& led : Leds()) view_->PaintLed(led);
}

std::vector<TLedView> TChannelPanelPresenter::Leds() const {
    std::vector<TLedView> leds;
    if (polling_ == nullptr || !polling_->Polling()) return leds;
    for (int n = 1; n <= kMaxChannels; ++n) {
        const TClient104Frm* c = polling_->Controller(n);
        if (c == nullptr) break;
        leds.push_back(ViewOf(n, c->led));
    }
    return leds;
}

}  // namespace telegate
