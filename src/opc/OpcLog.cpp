#include "opc/OpcLog.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>

#include "support/CodePage.h"
#include "support/DateTime.h"

namespace telegate::opc {

TLogging::TLogging(std::string fileName, const IClock& clock,
                   std::function<void(const std::string&)> report)
    : mFileName(std::move(fileName)), clock_(clock), report_(std::move(report)) {
    Init();
}

void TLogging::Init() {
    std::lock_guard lock(mu_);
    mWriteInterval = 1;
    mUseTimeStamp = false;
}

void TLogging::SetWriteIntervall(int aNumber) {
    std::lock_guard lock(mu_);
    mWriteInterval = aNumber <= 0 ? 1 : aNumber;
}

void TLogging::WriteWithTimeStamp(bool aTrue) {
    std::lock_guard lock(mu_);
    mUseTimeStamp = aTrue;
}

std::string TLogging::FormatLine(const std::string& text) const {
    if (!mUseTimeStamp) return text;
    return FormatDateTime(clock_.Now()) + "->" + text;
}

void TLogging::WriteIntoFile(const std::string& aText) {
    std::string message;
    {
        std::lock_guard lock(mu_);
        if (static_cast<int>(mWriteBuffer.size()) < mWriteInterval - 1) {
            mWriteBuffer.push_back(FormatLine(aText));
            return;
        }
        std::FILE* f = std::fopen(mFileName.c_str(), "ab");
        if (!f) {
            message = "WriteToLogFile 4 Error: " + std::to_string(errno);
        } else {
            int err = 0;
            while (!mWriteBuffer.empty()) {
                const std::string line = Utf8ToCp1251(mWriteBuffer.front()) + "\r\n";
                if (std::fwrite(line.data(), 1, line.size(), f) != line.size() && !err)
                    err = errno ? errno : 1;
                mWriteBuffer.pop_front();
            }
            if (err) message = "WriteToLogFile 1 Error: " + std::to_string(err);
            const std::string line = Utf8ToCp1251(FormatLine(aText)) + "\r\n";
            if (std::fwrite(line.data(), 1, line.size(), f) != line.size() && message.empty())
                message = "WriteToLogFile 2 Error: " + std::to_string(errno ? errno : 1);
            if (std::fclose(f) != 0 && message.empty())
                message = "WriteToLogFile 3 Error: " + std::to_string(errno ? errno : 1);
        }
    }
    // Reported outside the lock: the operator's message box may take its time.
    if (!message.empty() && report_) report_(message);
}

std::string ExceptionLine(TDateTime now, const std::string& context, const std::string& message) {
    // FNV-1a of the context stands in for the code address: stable per failure point.
    uint32_t h = 2166136261u;
    for (unsigned char c : context) h = (h ^ c) * 16777619u;
    char addr[16];
    std::snprintf(addr, sizeof addr, "%08X", h);
    return FormatDateTime(now) + " " + addr + " " + context + " - " + message;
}

}  // namespace telegate::opc
