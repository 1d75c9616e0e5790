// Connection and protocol parameters of one controlled station (TPrmn), the table
// of 64 of them, and the file "iec104sr.bin" that keeps the table.
//
// On disk a record is 160 octets, integers signed 32-bit little-endian. In memory
// it is a plain struct; PrmnToBytes/PrmnFromBytes convert explicitly, octet by octet.
// Name and Host are UTF-8 in memory and Windows-1251 short strings (one length
// octet, at most 32 characters) on disk; longer texts are cut to 32 characters
// when written.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace telegate {

constexpr size_t kPrmnSize = 160;
constexpr int kPrmnCount = 64;                // records in the table
constexpr int32_t kPrmnFileVersion = 525092;  // 0x00080324
constexpr int kPrmnTextMax = 32;              // characters of Name and Host
constexpr const char* kPrmnFileName = "iec104sr.bin";

struct TPrmn {
    std::string Name;                       // offset 0: length octet + up to 32 characters
    std::string Host;                       // offset 33: length octet + up to 32 characters
    uint8_t HostPadding[2] = {0, 0};        // octets 66..67, kept as read
    int32_t Port = 0;                       // 68
    int32_t t0 = 0;                         // 72  silence limit of the worker, ms
    int32_t t1 = 0;                         // 76  acknowledgement time-out, ms
    int32_t t2 = 0;                         // 80  acknowledge received I frames after, ms
    int32_t t3 = 0;                         // 84  idle time before TESTFR, ms
    int32_t kMax = 0;                       // 88
    int32_t wMax = 0;                       // 92
    int32_t ReceiveBufferLength = 0;        // 96
    int32_t OriginatorAddress = 0;          // 100
    int32_t LinkAddress1 = 0;               // 104
    int32_t sz_LinkAddress = 0;             // 108
    int32_t PollingCycle = 0;               // 112
    int32_t ConfirmationTimeout = 0;        // 116
    int32_t TerminationTimeout = 0;         // 120
    int32_t RetryCount = 0;                 // 124
    int32_t RetryTimeOut = 0;               // 128
    int32_t CommonAsduAddress = 0;          // 132
    int32_t sz_ASDUAddress = 0;             // 136
    int32_t sz_InfObjAddress = 0;           // 140
    int32_t sz_COT = 0;                     // 144
    bool ClockSinhronizationCheck = false;  // 148
    uint8_t ClockPadding[3] = {0, 0, 0};    // octets 149..151, kept as read
    int32_t ClockSinhronizationTime = 0;    // 152, minutes
    int32_t prWork1 = 0;                    // 156: 1 = the station takes part in polling

    bool operator==(const TPrmn&) const = default;
};

using TPrmnTable = std::array<TPrmn, kPrmnCount>;
using TPrmnBytes = std::array<uint8_t, kPrmnSize>;

// The exact 160-octet form. Texts are converted to Windows-1251 and cut to 32
// octets; the octets after a short string's text are written as 0.
TPrmnBytes PrmnToBytes(const TPrmn& prmn);
// Reads a record back. A length octet above 32 is taken as 32. Any octet other
// than 0 at offset 148 reads as true.
TPrmn PrmnFromBytes(const uint8_t* bytes);

// The first 32 characters of UTF-8 text.
std::string CutToPrmnText(std::string_view text);

// Defaults: Name "Client104", Host (cut to 32 characters), Port, t0 30000, t1 15000,
// t2 10000, t3 20000, kMax 12, wMax 8, ReceiveBufferLength 100, OriginatorAddress 0,
// sz_LinkAddress 0, ConfirmationTimeout 5000, TerminationTimeout 30000, RetryCount 3,
// RetryTimeOut 20000, CommonAsduAddress 3, sz_ASDUAddress 2, sz_InfObjAddress 3,
// sz_COT 2, ClockSinhronizationCheck false, ClockSinhronizationTime 30.
// LinkAddress1, PollingCycle, prWork1 and the padding keep what they held.
void SetDefaultPrmn(TPrmn& prmn, std::string_view Host, int32_t Port);

enum TPrmnFileMode : int {
    pfm_Read = 0,   // file -> table
    pfm_Write = 1,  // table entries 0..stationCount-1 -> file
};

// Reads the file into the table or writes the table to it; true on success.
// Reading: false when the file cannot be opened, has another version, ends early
// or fails the checksum. Records read before the failure stay in the table; records
// beyond 64 are read for the checksum only. Writing: stationCount is clamped to
// 0..64; the file is replaced atomically, so a failed write keeps the old file.
// message, when given, receives the reason of a failure (empty on success).
bool ReadWritePrmnFile(int mode, const std::string& FileName, TPrmnTable& table, int stationCount,
                       std::string* message = nullptr);

// The whole file image for the first count entries (count clamped to 0..64).
std::string PrmnFileBytes(const TPrmnTable& table, int count);

}  // namespace telegate
