// The message journal: a bounded ring of text lines with a category word. Never
// blocks, never grows; when full, new lines are dropped and the last slot carries
// an overflow marker. Main thread only.
//
// An echo, when set, receives every line that passes the category mask at once,
// whether or not the ring has room; the headless program prints the journal so.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/DateTime.h"

namespace telegate {

class TMessBuff {
  public:
    using TEcho = std::function<void(uint32_t flag, const std::string& line, TDateTime dt)>;

    // ASize lines; mask is the category mask MBufFlag of the program settings.
    TMessBuff(int ASize, uint32_t mask);

    // True when a line of this category would be stored. Writers test this before
    // they build an expensive text.
    bool Enabled(uint32_t flag) const { return flag == 0 || (MBufFlag & flag) != 0; }
    void Put(uint32_t flag, const std::string& AMess, TDateTime dt = 0);
    // Oldest line, removed. On an empty journal returns false and leaves the outputs alone.
    bool Get(std::string& mess);
    bool Get(std::string& mess, TDateTime& dt);

    // A new empty ring of ASize lines with the given mask; the echo stays.
    void Reset(int ASize, uint32_t mask);
    void SetEcho(TEcho echo) { echo_ = std::move(echo); }

    std::vector<std::string> Mess;
    std::vector<TDateTime> FDt;
    int32_t ipos = 0;
    int32_t nmess = 0;
    int32_t FSize = 0;
    uint32_t MBufFlag = 0;

  private:
    TEcho echo_;
};

}  // namespace telegate
