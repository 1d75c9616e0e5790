// The list of station clients: one per configured station, at most FSize (64 in
// this system). The index of a client equals the index of its worker thread, its
// channel controller and its connection parameter record; it is the nomer_socket
// of every link-layer call.
//
// Clients are held by shared ownership: DelClient empties the list, and a caller
// that still holds a client (a late disconnect report of a worker that is ending)
// keeps it alive.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "iec104/StationClient.h"
#include "model/Prmn.h"

namespace telegate {

class TClients104 {
  public:
    // Create(MaxClients): an empty list of that capacity. table is the connection
    // parameter table AddClient reads; env is handed to every client. Both must
    // outlive the list and its clients.
    TClients104(int32_t MaxClients, const TLinkEnv& env, const TPrmnTable& table);
    TClients104(const TClients104&) = delete;
    TClients104& operator=(const TClients104&) = delete;

    // Creates a client from psock and parameter record nClients and appends it;
    // nullptr (nothing added) when the list is full.
    std::shared_ptr<T104Client> AddClient(const PClientSocket& psock);
    // The first client whose prm.Host and prm.Port equal the arguments, or nullptr.
    T104Client* Find(const std::string& IPAddress, int32_t Port) const;
    // The client at ind, or nullptr outside 0..nClients-1.
    T104Client* GetPcl(int32_t ind) const;
    std::shared_ptr<T104Client> GetShared(int32_t ind) const;
    // Connection management of every working client, with its own index.
    void Connecting(bool Save_Obmen, int nomer_socket);
    // Empties the list without destroying the clients others still hold.
    void DelClient();
    int32_t GetCount() const { return nClients; }

    // Setting "prOprosSend" given to every client created from now on.
    bool prOprosSend = true;

    int32_t FSize = 0;
    int32_t nClients = 0;
    std::vector<std::shared_ptr<T104Client>> ListClients;  // FSize slots

  private:
    TLinkEnv FEnv;
    const TPrmnTable& FTable;
};

}  // namespace telegate
