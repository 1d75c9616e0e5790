// One application service data unit: decoding of what a station sends (every
// information object is located, its address and time tag read, and the object
// handed to its tag) and the two commands the master builds (general interrogation
// and single command).
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "iec104/TuTypes.h"
#include "model/Prmn.h"
#include "model/TypeCatalogue.h"
#include "support/Clock.h"
#include "support/DateTime.h"
#include "support/Journal.h"

namespace telegate {

class TTagSignalList;

// Header field sizes of one station, brought into their ranges: sz_COT 1..2,
// sz_ASDUAddress 0..2, sz_InfObjAddress 0..3. A value outside its range (a damaged
// parameter file) is taken as the nearest bound.
struct TAsduSizes {
    int32_t szCOT = 2;
    int32_t szASDUAddress = 2;
    int32_t szInfObjAddress = 3;
};
TAsduSizes AsduSizes(const TPrmn* pprm);

// Journal categories of the decoder.
constexpr uint32_t kJournalErr = 1;    // "(err) "
constexpr uint32_t kJournalIec2 = 64;  // "(iec2) " remarks on objects

// What decoding needs besides the ASDU itself. tags may be null (nothing is stored;
// every object then reports that it has no tag).
struct TAsduSinks {
    TTagSignalList* tags;
    TMessBuff& journal;
    const IClock& clock;
};

class TIEC_ASDUt {
  public:
    static constexpr int32_t kDataSize = 11256;  // capacity of Data1
    static constexpr int32_t kCommandDataMax = 255;

    TIEC_ASDUt() = default;

    // Parses the ASDU of count octets starting at src[pos] (the link layer passes the
    // APDU image, pos 6, count = APDU length - 6). Octets outside src are never read.
    // An ASDU too short for its header (or lying outside src) gets no catalogue entry
    // and no data and returns false; it is then skipped like an uncatalogued one.
    bool Create(const TTypeIdentList& types, std::span<const uint8_t> src, const TPrmn& pprm,
                int32_t count, int32_t pos);
    // A command to send: the first lenData (0..255) octets of data.
    void Create(const TTypeIdentList& types, int32_t TypeIdent, int32_t SeqNumb, int32_t ACOT,
                int32_t AASDUAddress, int32_t AObjAddress, int32_t AlenData, const uint8_t* data,
                const TPrmn& Apprm);

    bool isSeqence() const { return (SeqNumb1 & 0x80) != 0; }

    // Decodes every object into the tags; reports through the journal only.
    void ReceiveRaspak1(const TAsduSinks& sinks);
    // Decodes object ielem whose octets start at Data1[idata]; returns the remark
    // (empty when there is nothing to say). ReceiveRaspak1 must have run first for a
    // sequence (it reads BlockAddress and BlockDate). An object that does not lie
    // inside Data1 is not decoded.
    std::string RaspakInformObject(int32_t ielem, int32_t idata, const TAsduSinks& sinks);

    // One line for the exchange journal; empty without a catalogue entry.
    std::string ToString(const TTypeIdentList& types) const;

    // The single command (select when step is not stuFormExecute1, else execute) for
    // the object at ObjAddress of common address ASDUAddress. Returns an error text,
    // empty on success.
    static std::string CreateAsduTUCommand(const TTypeIdentList& types, TTUCommand TUCommand,
                                           TStepTU step, int32_t ASDUAddress, int32_t ObjAddress,
                                           const TPrmn& pprm, TIEC_ASDUt& asdu);
    // General interrogation (station interrogation, qualifier 20) to the station's
    // CommonAsduAddress.
    static void CreateAsduInterrogation(const TTypeIdentList& types, const TPrmn& pprm,
                                        TIEC_ASDUt& asdu);

    int32_t SeqNumb1 = 0;
    int32_t COT = 0;
    int32_t lenData = 0;
    const TTypeIdent* ptid = nullptr;
    int32_t ObjAddress = 0;
    int32_t OriginatorAddress = 0;
    int32_t ASDUAddress = 0;
    int32_t nelem = 0;
    int32_t BlockAddress = 0;
    TDateTime BlockDate = 0;
    TDateTime ReceivedAt = 0;  // when the ASDU being decoded arrived (local time)
    const TPrmn* pprm = nullptr;
    std::string IP_address2;
    int32_t IP_port3 = 0;
    int32_t Nomer_sock = 0;
    uint8_t Data1[kDataSize];  // only the first lenData octets are meaningful

  private:
    // Object decoding with a reused remark; wantRemark false skips building texts
    // that only the journal would read.
    void DecodeObject(int32_t ielem, int32_t idata, const TAsduSinks& sinks, bool wantRemark,
                      std::string& remark);
    int32_t ObjectSize() const;  // octets one object takes in Data1

    TAsduSizes FSizes;
};

}  // namespace telegate
