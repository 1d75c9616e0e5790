// The operator's station list commands: add, change and delete a controlled
// station with its tags. Each command moves data between the station table, the
// connection parameter records and the device properties form, and an accepted
// change is written at once to "iec104.cfg" and "iec104sr.bin".
//
// A change is all or nothing: both files are replaced atomically one after the
// other; when the second write fails the first file gets its old bytes back, and
// the station table, the records and the settings return to what they held, so
// that memory always equals the files. The commands are refused while polling
// runs (the station clients, the web pages and the tag list read the table then);
// everything runs on the main thread, between the timer passes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model/Prmn.h"

namespace telegate {

class TAppContext;

constexpr int kTsGridCols = 7;    // column 0 numbers the rows, 1..6 hold the tag
constexpr int kTitGridCols = 9;   // column 0 numbers the rows, 1..8 hold the tag
constexpr int kNewGridRows = 20;  // rows of a grid for a new station, title row included
constexpr int kDefaultIecPort = 2404;
constexpr const char* kDefaultHost = "127.0.0.1";

extern const char* const kTooManyStationsText;
extern const char* const kDeleteQuestionText;
extern const char* const kPollingRunsText;

// A grid of texts as the form's string grids hold it: row 0 is the title row.
class TStringGrid {
  public:
    explicit TStringGrid(int cols = 0, int rows = 0) : cols_(cols) { SetRowCount(rows); }
    int ColCount() const { return cols_; }
    int RowCount() const { return static_cast<int>(cells_.size()); }
    // New rows are empty; rows beyond the count are dropped.
    void SetRowCount(int rows);
    // An empty text outside the grid.
    const std::string& Cell(int col, int row) const;
    // Ignored outside the grid.
    void SetCell(int col, int row, std::string text);
    void ClearRow(int row);

  private:
    int cols_;
    std::vector<std::vector<std::string>> cells_;
    std::string empty_;
};

// The device properties form's contents. One form object lives as long as the
// window: fields the fill leaves alone keep what the previous use put there.
struct TDeviceForm {
    std::string Name_dev_e;
    std::string IP_e;
    int32_t Port_e = kDefaultIecPort;
    int32_t ASDU_Adr = 1;
    bool CB_Pereschet = false;
    bool CB_Time_to_OPC = false;
    int32_t SE_Time_Popravka = 0;
    int32_t Period_opros = 0;
    bool CB_UseWebServer = false;
    int32_t SE_Port_WebServ = 80;
    bool CB_Save_Obmen_v_File = false;
    TStringGrid StringGrid_TS{kTsGridCols, kNewGridRows};
    TStringGrid StringGrid_TIT{kTitGridCols, kNewGridRows};
    // Index (0-based) of the connection record the form edits, and its working
    // copy: the protocol parameters change it, only OK of the whole form stores it.
    int32_t Nomer_cl = 0;
    TPrmn Record;
};

// Grid cell texts as the table stores them: a decimal integer or a real number
// with "." as separator; 0 when the text does not parse.
int32_t GridCellToInt(const std::string& text);
double GridCellToReal(const std::string& text);

class TDeviceList {
  public:
    // dir: folder of the two files; empty is the working directory.
    explicit TDeviceList(TAppContext& ctx, std::string dir = {});

    // The commands are available only while polling is stopped.
    bool CanEdit() const;
    // Station names in table order (the device list).
    std::vector<std::string> Names() const;

    // Fills the form for station n (1-based); n beyond the count means a new one.
    // lang: the language code (1 gives the English column titles).
    void BeforeShowOptionsUstr(int n, TDeviceForm& form, int lang) const;

    // Add, up to the modal form: false with refusal set when no station can be
    // added (32 stations, or polling runs); the form is then untouched.
    bool BeginAdd(TDeviceForm& form, int lang, std::string& refusal);
    // Add after OK: stores the form as station Kol_KP + 1 and writes both files.
    // False with error set when the files could not be written; nothing changed.
    bool CommitAdd(const TDeviceForm& form, std::string& error);

    // Change, up to the modal form, for station n (1-based): false when n is not a
    // station or editing is refused (refusal says why; empty for no station).
    bool BeginChange(int n, TDeviceForm& form, int lang, std::string& refusal);
    // Change after OK for the station BeginChange filled the form for.
    bool CommitChange(int n, const TDeviceForm& form, std::string& error);

    // Delete station n after the operator said yes: the last station takes its
    // place. False with error set when refused or the files could not be written.
    bool Delete(int n, std::string& error);

    // Writes "iec104.cfg" and "iec104sr.bin" from memory, both or neither.
    bool WriteFiles(std::string& error);

    std::string FilePath(const char* name) const;

  private:
    void StoreForm(int n, const TDeviceForm& form, bool change);
    // The stored connection records, when the file reads completely.
    void LoadRecords();

    TAppContext& ctx_;
    std::string dir_;
};

}  // namespace telegate
