#include "app/Settings.h"

#include "platform/IniFile.h"
#include "platform/Paths.h"

namespace telegate {
namespace {

std::string Unreadable(const TIniFile& ini) {
    if (ini.ReadError().empty()) return {};
    return "Не читается файл настроек " + ini.FileName() + " (" + ini.ReadError() +
           "): действуют значения по умолчанию, файл не будет перезаписан программой";
}

}  // namespace

std::string TSettings::IniRead(std::string_view AppExeName) {
    return ReadProgramIni(IniPathForExe(AppExeName));
}

std::string TSettings::ReadProgramIni(const std::string& iniPath) {
    TIniFile ini(iniPath);
    sstID = ini.ReadInteger("_Params_", "sstID", 0);
    ArmDir = ini.ReadString("_Config_", "ArmDir", "..\\VantorDir\\");
    for (size_t i = 0; i < IECauto.size(); ++i)
        IECauto[i] = ini.ReadBool("_Set_", "IEC" + std::to_string(i) + "auto", true);
    prOprosSend = ini.ReadBool("_Set_", "prOprosSend", true);
    IndexReOutTs = ini.ReadInteger("_Options_", "IndexReOutTs", 0);
    IndexReOutTit = ini.ReadInteger("_Options_", "IndexReOutTit", 0);
    IndexReOutDeb = ini.ReadInteger("_Options_", "IndexReOutDeb", 0);
    MBufFlag = static_cast<uint32_t>(ini.ReadInteger("_Options_", "MBufFlag", 0));
    if (IndexReOutTs == 0) IndexReOutTs = 1;
    if (IndexReOutTit == 0) IndexReOutTit = 1;
    if (IndexReOutDeb == 0) IndexReOutDeb = 1;
    return Unreadable(ini);
}

std::string TSettings::ReadCnf(const std::string& path) {
    TIniFile ini(path);
    UseWebServer = ini.ReadBool("UseWebServer", "UseWebServer", false);
    Port_WebServ = PortBits(ini.ReadInteger("Port_WebServ", "Port_WebServ", 80));
    Save_Obmen_v_File = ini.ReadBool("Save_Obmen_v_File", "Save_Obmen_v_File", false);
    Bind_WebServ = ini.ReadString("Bind_WebServ", "Bind_WebServ", "");
    Trace_Decoded = ini.ReadBool("Trace_Decoded", "Trace_Decoded", false);
    return Unreadable(ini);
}

bool TSettings::WriteCnf(const std::string& path) const {
    TIniFile ini(path);
    bool ok = ini.WriteBool("UseWebServer", "UseWebServer", UseWebServer);
    ok = ini.WriteInteger("Port_WebServ", "Port_WebServ", Port_WebServ) && ok;
    ok = ini.WriteBool("Save_Obmen_v_File", "Save_Obmen_v_File", Save_Obmen_v_File) && ok;
    if (!Bind_WebServ.empty() || ini.ValueExists("Bind_WebServ", "Bind_WebServ"))
        ok = ini.WriteString("Bind_WebServ", "Bind_WebServ", Bind_WebServ) && ok;
    if (Trace_Decoded || ini.ValueExists("Trace_Decoded", "Trace_Decoded"))
        ok = ini.WriteBool("Trace_Decoded", "Trace_Decoded", Trace_Decoded) && ok;
    return ok;
}

std::string TSettings::WebBindAddress() const {
    const auto first = Bind_WebServ.find_first_not_of(" \t");
    if (first == std::string::npos) return "0.0.0.0";
    const auto last = Bind_WebServ.find_last_not_of(" \t");
    return Bind_WebServ.substr(first, last - first + 1);
}

bool TSettings::AutoConnectChoice(int channel) const {
    if (channel < 1) return IECauto[0];
    size_t i = static_cast<size_t>(channel - 1);
    return IECauto[i < IECauto.size() ? i : IECauto.size() - 1];
}

}  // namespace telegate
