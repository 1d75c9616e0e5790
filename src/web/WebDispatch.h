// The web request handler: maps a document path to a generated page or to a file
// of the "web" folder and forms the response.
//
// What a page shows is copied where the live data cannot change under it: the
// handler hands the copy (TakePageData, quick) to the main thread through the post
// function, waits for it, and formats the text itself, off the main thread. So
// the main thread spends a copy per page, never the formatting, and at most one
// copy per web worker is queued there at a time. The wait
// ends early, with 503, when the dispatcher is cancelled (the server is being
// deactivated) or when the main thread does not get to the build in time, so a
// server stop on the main thread never waits for a page that needs that thread.
// Static files are read on the calling thread.
#pragma once

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/HttpServer.h"
#include "web/WebPages.h"

namespace telegate {

class TWebDispatch {
  public:
    // Gives the view of the live data; called on the main thread for every page.
    using TViewSource = std::function<TWebView()>;
    // Queues fn to run once on the main thread; false when it cannot be queued. The
    // application passes IMainLoop::post. Empty: pages are built on the calling
    // thread (tests and single-threaded use).
    using TPostToMain = std::function<bool(std::function<void()>)>;

    static constexpr int kDefaultPageWaitMs = 10000;

    // webFolder: the "web" folder beside the executable (it need not exist).
    TWebDispatch(std::filesystem::path webFolder, TViewSource source, TPostToMain post = {},
                 int pageWaitMs = kDefaultPageWaitMs);
    ~TWebDispatch();
    TWebDispatch(const TWebDispatch&) = delete;
    TWebDispatch& operator=(const TWebDispatch&) = delete;

    // The request handler (any thread).
    void CommandGet(const THttpRequest& request, THttpResponse& response);

    // Every waiting page request answers 503 now, and so does every later one until
    // Resume(). A page build already queued on the main thread is skipped. Any thread.
    void Cancel();
    void Resume();

    const std::filesystem::path& WebFolder() const { return FWebFolder; }

    // Paths beyond the pages and files (the JSON API, the diagnostic pages) go first
    // to this handler; it answers true when it has filled the response. Set before
    // the server starts.
    using TExtraHandler = std::function<bool(const THttpRequest&, THttpResponse&)>;
    void SetExtraHandler(TExtraHandler handler) { FExtra = std::move(handler); }
    // Runs fn once on the main thread and waits for it, like a page's copy: false
    // (fn then never runs later) when cancelled, not queued or not run in time.
    bool RunOnMain(std::function<void()> fn);

    // The file of the web folder a document path names, or nothing when the path is
    // malformed, leaves the folder (dot segments, encoded or back slashes, NUL,
    // absolute or empty segments, links pointing outside) or names no regular file.
    // path: the document path as received (percent-encoded).
    std::optional<std::filesystem::path> ResolveStaticFile(std::string_view path) const;

  private:
    struct TShared;
    struct TJob;

    // Copies the page's data on the main thread and formats it here: status 200 with
    // the page in Windows-1251, or 503
    // when cancelled or timed out, 500 when the build failed.
    int RunPage(const std::string& path, const std::string& query, std::string& page);
    void ServeStatic(std::string_view rawPath, const std::string& decodedPath,
                     THttpResponse& response) const;

    std::filesystem::path FWebFolder;
    TPostToMain FPost;
    int FPageWaitMs;
    std::shared_ptr<TShared> FShared;
    std::mutex FFormatMu;  // one page formatted at a time
    TExtraHandler FExtra;
};

// The content type of a static file by the extension rules: each of ".css",
// ".html", ".js", ".jpg", ".gif", ".png" that occurs in the document path after its
// first character matches, a later one overriding an earlier one; empty when none.
std::string StaticContentType(std::string_view documentPath);

}  // namespace telegate
