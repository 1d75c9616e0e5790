#include "iec104/ChannelController.h"

#include <algorithm>
#include <vector>

#include "model/Registries.h"
#include "model/Tags.h"

namespace telegate {

// ---------------------------------------------------------------------------------
// TdsLed1

void TdsLed1::Init(int ALeft, int ATop, int ASize, TColor OffColor, TColor OnColor,
                   TColor OffBrColor, TColor OnBrColor) {
    FOffColor = OffColor;
    FOnColor = OnColor;
    FOffBrColor = OffBrColor;
    FOnBrColor = OnBrColor;
    FOnOff = false;
    Left = ALeft;
    Top = ATop;
    Width = ASize;
    Height = ASize;
}

void TdsLed1::Changed() {
    ++RepaintCount;
    if (FOnChange) FOnChange();
}

void TdsLed1::SetLight(bool onoff, bool Bright) {
    if (FOnOff != onoff) {
        FOnOff = onoff;
        Changed();
    }
    SetBright(Bright);
}

void TdsLed1::SetBright(bool Bright) {
    if (FBright != Bright) {
        FBright = Bright;
        Changed();
    }
}

TColor TdsLed1::FillColor() const {
    if (FOnOff) return FBright ? FOnBrColor : FOnColor;
    return FBright ? FOffBrColor : FOffColor;
}

// ---------------------------------------------------------------------------------
// TClient104Frm

TClient104Frm::TClient104Frm(std::shared_ptr<T104Client> Apcl, int Left, int Top, bool prAuto,
                             TChannelScope Ascope)
    : pcl(std::move(Apcl)), scope(Ascope) {
    ChBoxAuto(prAuto);
    led.Init(Left, Top, kLedSize, kLedOff, kLedOn, kLedOffBright, kLedOnBright);
}

void TClient104Frm::ChBoxAuto(bool check) {
    if (pcl == nullptr) return;
    pcl->ClSFlag.Op(check ? FSet : FClear, bclb_AutoConnect);
}

void TClient104Frm::ButtonConnect() {
    if (pcl != nullptr) pcl->ClSFlag.Op(FSet, bclb_Connect);
}

void TClient104Frm::ButtonDisConnect() {
    if (pcl != nullptr) pcl->ClSFlag.Op(FSet, bclb_DisConnect);
}

void TClient104Frm::OnReceive(const PSocket_temp& Socket, bool Save_Obmen, int nomer_socket) {
    if (pcl == nullptr) return;
    pcl->Receive(Socket, Save_Obmen, nomer_socket);
    pcl->RaspakReceiveBufferAPDU(Save_Obmen, nomer_socket);
    DoService(Save_Obmen, nomer_socket);
}

void TClient104Frm::OnBatch(const TMainBatch& batch, bool Save_Obmen, int nomer_socket) {
    if (pcl == nullptr) return;
    pcl->TakeBatch(batch, nomer_socket);
    DoService(Save_Obmen, nomer_socket);
}

void TClient104Frm::DoService(bool Save_Obmen, int nomer_socket) {
    if (pcl == nullptr || !pcl->GetWork()) return;
    pcl->TuService1();
    pcl->ConnectService(Save_Obmen, nomer_socket);
}

void TClient104Frm::ShowLed() {
    if (pcl == nullptr) return;
    if (pcl->GetConnected())
        led.SetLight(true, false);
    else
        led.SetLight(false, pcl->FWaitConnect);
}

void TClient104Frm::CheckValid1(bool prAll) {
    if (pcl == nullptr || pcl->flag.Op(FNo, bsb_ClearValid)) return;
    if (scope.KpList != nullptr && scope.Arm != nullptr && scope.Tags != nullptr) {
        // The stations of this channel, in registry order.
        std::vector<int32_t> ids;
        for (int32_t i = 0; i < scope.KpList->GetCount(); ++i) {
            const TKpEthernet* kp = scope.KpList->GetIndKP(i);
            if (kp == nullptr) continue;
            if (!prAll && (kp->IPAddress != pcl->prm.Host || kp->Port != pcl->prm.Port)) continue;
            ids.push_back(kp->ID);
        }
        if (!ids.empty()) {
            for (int32_t t = 0; t < scope.Tags->GetCount(); ++t) {
                TTagSignal* tag = scope.Tags->GetTag(t);
                if (tag == nullptr) continue;
                const TArmRec* rec = scope.Arm->GetRec(tag->FIndArm);
                if (rec == nullptr) continue;
                if (std::find(ids.begin(), ids.end(), rec->FKpID) != ids.end()) tag->SetInvalid();
            }
        }
    }
    pcl->flag.Op(FClear, bsb_ClearValid);
}

}  // namespace telegate
