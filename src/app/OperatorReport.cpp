#include "app/OperatorReport.h"

#include <exception>

#include "app/AppContext.h"
#include "model/ConfigFile.h"
#include "support/TraceFiles.h"

namespace telegate {

void AppendExceptionLog(TDateTime now, std::string_view message, std::string_view className,
                        const std::string& logFile) noexcept {
    try {
        std::string line = FormatDateTime(now);
        line += ": ";
        line += message;
        line += " . Class Name = ";
        line += className;
        for (char& c : line)
            if (c == '\r' || c == '\n') c = ' ';
        AppendTraceLine(line, logFile);
    } catch (...) {
    }
}

void ReportToOperator(TAppContext& ctx, const std::string& logFile,
                      const std::vector<std::string>& texts, std::string_view className) noexcept {
    try {
        const TDateTime now = ctx.Clock.Now();
        std::string box;
        for (const std::string& text : texts) {
            AppendExceptionLog(now, text, className, logFile);
            ctx.MessBuff.Put(0, text, now);
            if (!box.empty()) box += '\r';
            box += text;
        }
        if (!box.empty()) ctx.Notifier.ShowError(box);
    } catch (...) {
        // A report must never disturb its caller.
    }
}

void LoadStationConfig(TAppContext& ctx, const std::string& cfgFile, const std::string& logFile) {
    try {
        ReadConfigFile(cfgFile, ctx.Stations, ctx.Notifier);
    } catch (const std::exception&) {
        // The reader has named the rejected line in LoadProblems; the stations read
        // before it stay.
    } catch (...) {
    }
    const std::vector<std::string>& problems = ctx.Stations.LoadProblems;
    if (problems == ctx.ReportedConfigProblems) return;
    ctx.ReportedConfigProblems = problems;
    if (problems.empty()) return;
    std::vector<std::string> texts = problems;
    texts.push_back("Конфигурация " + cfgFile +
                    " загружена не полностью: файл не будет перезаписан программой, "
                    "исправьте его и перезапустите программу");
    ReportToOperator(ctx, logFile, texts, "telegate::EConfigIncomplete");
}

}  // namespace telegate
