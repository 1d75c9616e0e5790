#include "app/AppContext.h"

#include <utility>

#include "opc/Core.h"
#include "opc/StationBridge.h"

namespace telegate {

TAppContext::TAppContext(const IClock& clock, INotifier& notifier, std::string filesDir)
    : Clock(clock),
      Notifier(notifier),
      MessBuff(kJournalSize, 0),
      ErrorReporter(notifier),
      TypeIdentList(notifier),
      Prmn{},
      Opc(std::make_unique<opc::sOPC>(clock)),
      OpcBridge(std::make_unique<opc::TStationBridge>(
          Stations, Items, clock, std::move(filesDir),
          [this](int32_t tag, TTUCommand command) { return Telecontrol(tag, command); },
          &Statistics)) {}

TAppContext::~TAppContext() {
    // The update loop and the bridge's callbacks go before the tables they read.
    Opc->StopUpdateLoop();
    Opc.reset();
    OpcBridge.reset();
}

void TAppContext::BuildOpcAddressSpace() {
    if (!Opc->OnInitAddressSpace) OpcBridge->Install(*Opc);
    // A table edited since the last build gets a new address space, and the items
    // of every group follow their item IDs into it.
    if (Opc->AddressSpaceBuilt() && OpcBridge->LayoutChanged())
        Opc->RebuildAddressSpace();
    else
        Opc->InitAddressSpace();
    LifebitId = OpcBridge->Nom_OPC_Lifebit();
}

void TAppContext::SetTelecontrol(TTelecontrolEntry entry) {
    auto fn = entry ? std::make_shared<const TTelecontrolEntry>(std::move(entry)) : nullptr;
    std::lock_guard lock(telecontrolMu_);
    telecontrol_ = std::move(fn);
}

std::shared_ptr<TCommandResult> TAppContext::Telecontrol(int32_t tag, TTUCommand command) {
    std::shared_ptr<const TTelecontrolEntry> fn;
    {
        std::lock_guard lock(telecontrolMu_);
        fn = telecontrol_;
    }
    std::shared_ptr<TCommandResult> r = fn != nullptr ? (*fn)(tag, command) : nullptr;
    return r != nullptr ? r : TCommandResult::Refused(tuo_NotPolling);
}

}  // namespace telegate
