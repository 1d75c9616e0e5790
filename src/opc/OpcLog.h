// The OPC activity log: one line per server, group, item and enumerator method
// entered, and an exception line for every error caught in the OPC code. Written
// only when the core was initialised with its log flag.
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <string>

#include "support/Clock.h"

namespace telegate::opc {

constexpr const char* kOpcLogFileName = "OPCLog.txt";

// TLogging: appends lines to a text file (Windows-1251, CR LF), optionally with a
// "dd.mm.yyyy hh:nn:ss->" prefix, collecting mWriteInterval lines before it writes.
// Thread-safe: entries from several threads are serialised, never interleaved.
class TLogging {
  public:
    // report receives the operator messages about file errors ("WriteToLogFile 4
    // Error: %d" and the others); it may be empty.
    TLogging(std::string fileName, const IClock& clock,
             std::function<void(const std::string&)> report = {});
    void Init();
    void SetWriteIntervall(int aNumber);
    void WriteWithTimeStamp(bool aTrue);
    void WriteIntoFile(const std::string& aText);

  private:
    std::string FormatLine(const std::string& text) const;

    std::mutex mu_;
    std::string mFileName;
    bool mUseTimeStamp = false;
    std::deque<std::string> mWriteBuffer;
    int mWriteInterval = 1;
    const IClock& clock_;
    std::function<void(const std::string&)> report_;
};

// The text of an exception line: date and time, an 8-digit hexadecimal identification
// of the failure point, the context and the error's message.
std::string ExceptionLine(TDateTime now, const std::string& context, const std::string& message);

}  // namespace telegate::opc
