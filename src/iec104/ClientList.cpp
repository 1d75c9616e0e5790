#include "iec104/ClientList.h"

#include <algorithm>

namespace telegate {

TClients104::TClients104(int32_t MaxClients, const TLinkEnv& env, const TPrmnTable& table)
    : FSize(std::max<int32_t>(MaxClients, 0)),
      ListClients(static_cast<size_t>(FSize)),
      FEnv(env),
      FTable(table) {}

std::shared_ptr<T104Client> TClients104::AddClient(const PClientSocket& psock) {
    if (nClients >= FSize) return nullptr;
    // Parameter records beyond the table (a list larger than 64) start from defaults.
    TPrmn prm;
    if (nClients < static_cast<int32_t>(FTable.size()))
        prm = FTable[static_cast<size_t>(nClients)];
    else
        SetDefaultPrmn(prm, "127.0.0.1", 2404);
    auto cl = std::make_shared<T104Client>(psock, prm, FEnv);
    cl->prOprosSend = prOprosSend;
    ListClients[static_cast<size_t>(nClients)] = cl;
    ++nClients;
    return cl;
}

T104Client* TClients104::Find(const std::string& IPAddress, int32_t Port) const {
    for (int32_t i = 0; i < nClients; ++i) {
        T104Client* cl = ListClients[static_cast<size_t>(i)].get();
        if (cl != nullptr && cl->prm.Host == IPAddress && cl->prm.Port == Port) return cl;
    }
    return nullptr;
}

T104Client* TClients104::GetPcl(int32_t ind) const {
    if (ind < 0 || ind >= nClients) return nullptr;
    return ListClients[static_cast<size_t>(ind)].get();
}

std::shared_ptr<T104Client> TClients104::GetShared(int32_t ind) const {
    if (ind < 0 || ind >= nClients) return nullptr;
    return ListClients[static_cast<size_t>(ind)];
}

void TClients104::Connecting(bool Save_Obmen, int /*nomer_socket*/) {
    for (int32_t i = 0; i < nClients; ++i) {
        T104Client* cl = ListClients[static_cast<size_t>(i)].get();
        if (cl != nullptr && cl->GetWork()) cl->Connecting(Save_Obmen, i);
    }
}

void TClients104::DelClient() {
    for (auto& cl : ListClients) cl.reset();
    nClients = 0;
}

}  // namespace telegate
