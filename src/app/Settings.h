// The program's own options: the program ini file beside the executable (read once
// at start, maintained by hand) and "cnf.ini" (web server and trace switches,
// read at start and written by the device properties dialog).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace telegate {

constexpr const char* kCnfIniName = "cnf.ini";

class TSettings {
  public:
    // _Params_
    int32_t sstID = 0;  // the workstation's own substation
    // _Config_ (replaced by the executable's directory when polling starts)
    std::string ArmDir = "..\\VantorDir\\";
    // _Set_: IEC0auto .. IEC5auto, the auto-connect choices of channels 1..6
    std::array<bool, 6> IECauto = {true, true, true, true, true, true};
    bool prOprosSend = true;  // send requested general interrogations
    // _Options_ (0 read from the file becomes 1)
    int32_t IndexReOutTs = 1;
    int32_t IndexReOutTit = 1;
    int32_t IndexReOutDeb = 1;
    uint32_t MBufFlag = 0;  // category mask of the message journal

    // cnf.ini
    bool UseWebServer = false;
    int32_t Port_WebServ = 80;  // 0..65535
    bool Save_Obmen_v_File = false;
    // The address the web server listens on; empty: all addresses. Written only
    // when set (or when the file already holds the key), so a "cnf.ini" of an
    // older installation keeps its three keys.
    std::string Bind_WebServ;
    // Trace files carry the decoded frames instead of the hex dump.
    bool Trace_Decoded = false;

    // Reads the program ini file (AppExeName with its extension replaced by
    // ".ini") in key order and applies the normalisations. A missing file or key
    // leaves the default. A file that exists but cannot be read gives the
    // defaults too, and the returned text for the operator (empty otherwise).
    std::string IniRead(std::string_view AppExeName);
    // The same from a named ini file.
    std::string ReadProgramIni(const std::string& iniPath);

    // Reads the keys of "cnf.ini" (each in the section of its own name); returns
    // what IniRead returns.
    std::string ReadCnf(const std::string& path = kCnfIniName);
    // Writes the keys; false when the file could not be saved.
    bool WriteCnf(const std::string& path = kCnfIniName) const;

    // The stored auto-connect choice of channel (1-based): channels 1..6 have their
    // own key, every further channel follows channel 6. Channel 1 connects
    // automatically whatever its choice says; that rule belongs to the channel.
    bool AutoConnectChoice(int channel) const;

    // The low 16 bits of a port number as stored.
    static int32_t PortBits(int32_t stored) { return static_cast<int32_t>(stored & 0xFFFF); }
    // The address to listen on: Bind_WebServ trimmed, or "0.0.0.0" when empty.
    std::string WebBindAddress() const;
};

}  // namespace telegate
