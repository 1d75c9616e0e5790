#include "web/WebDispatch.h"

#include <chrono>
#include <fstream>
#include <iterator>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/Paths.h"
#include "support/CodePage.h"
#include "support/FileNames.h"

namespace telegate {

namespace {

constexpr const char* kHtmlType = "text/html";
constexpr const char* kHtmlTypeSent = "text/html; charset=windows-1251";
constexpr const char* kNoCache = "no-cache";
constexpr std::uintmax_t kMaxStaticFile = 16u << 20;

bool IsImageType(std::string_view type) {
    return type == "image/jpeg" || type == "image/gif" || type == "image/png";
}

// The bytes of a regular file of at most kMaxStaticFile octets; nothing otherwise.
std::optional<std::string> ReadFileBytes(const std::filesystem::path& file) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    if (ec || size > kMaxStaticFile) return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes;
    bytes.resize(static_cast<size_t>(size));
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

// True when inner lies inside base (both canonical).
bool IsInside(const std::filesystem::path& base, const std::filesystem::path& inner) {
    auto b = base.begin();
    auto i = inner.begin();
    for (; b != base.end(); ++b, ++i) {
        if (i == inner.end() || *b != *i) return false;
    }
    return i != inner.end();
}

void SetEmpty(THttpResponse& response, int status) {
    response.status = status;
    response.contentType = "text/plain";
    response.cacheControl.clear();
    response.body.clear();
    response.filePath.clear();
}

}  // namespace

std::string StaticContentType(std::string_view documentPath) {
    static constexpr std::pair<std::string_view, std::string_view> kRules[] = {
        {".css", "text/css"},   {".html", "text/html"}, {".js", "application/x-javascript"},
        {".jpg", "image/jpeg"}, {".gif", "image/gif"},  {".png", "image/png"},
    };
    std::string_view type;
    for (const auto& [ext, contentType] : kRules) {
        const auto pos = documentPath.find(ext);
        if (pos != std::string_view::npos && pos > 0) type = contentType;
    }
    return std::string(type);
}

struct TWebDispatch::TShared {
    TViewSource source;
    std::mutex mu;
    std::condition_variable cv;
    bool cancelled = false;
};

struct TWebDispatch::TJob {
    std::string path;
    std::string query;  // decoded
    TWebPageData data;
    bool done = false;
    bool failed = false;
    bool abandoned = false;  // the waiter has answered already: do not build
};

TWebDispatch::TWebDispatch(std::filesystem::path webFolder, TViewSource source, TPostToMain post,
                           int pageWaitMs)
    : FWebFolder(std::move(webFolder)),
      FPost(std::move(post)),
      FPageWaitMs(pageWaitMs > 0 ? pageWaitMs : kDefaultPageWaitMs),
      FShared(std::make_shared<TShared>()) {
    FShared->source = std::move(source);
}

TWebDispatch::~TWebDispatch() {
    Cancel();
}

void TWebDispatch::Cancel() {
    {
        std::lock_guard<std::mutex> lock(FShared->mu);
        FShared->cancelled = true;
    }
    FShared->cv.notify_all();
}

void TWebDispatch::Resume() {
    std::lock_guard<std::mutex> lock(FShared->mu);
    FShared->cancelled = false;
}

int TWebDispatch::RunPage(const std::string& path, const std::string& query, std::string& page) {
    auto job = std::make_shared<TJob>();
    job->path = path;
    job->query = DecodeQuery(query);
    // Runs on the main thread, possibly after the waiter has given up; it touches only
    // what the shared pointers keep alive. It only copies what the page shows: the
    // text is formatted by the waiter, off the main thread.
    auto build = [shared = FShared, job] {
        {
            std::lock_guard<std::mutex> lock(shared->mu);
            if (shared->cancelled || job->abandoned) return;
        }
        TWebPageData data;
        bool failed = false;
        try {
            if (shared->source) {
                data = TakePageData(shared->source(), job->path, job->query);
            } else {
                failed = true;
            }
        } catch (...) {
            failed = true;
        }
        {
            std::lock_guard<std::mutex> lock(shared->mu);
            job->data = std::move(data);
            job->failed = failed;
            job->done = true;
        }
        shared->cv.notify_all();
    };
    {
        std::lock_guard<std::mutex> lock(FShared->mu);
        if (FShared->cancelled) return 503;
    }
    if (!FPost) {
        build();
    } else {
        bool posted = false;
        try {
            posted = FPost(build);
        } catch (...) {
            posted = false;
        }
        if (!posted) return 503;
    }
    std::unique_lock<std::mutex> lock(FShared->mu);
    FShared->cv.wait_for(lock, std::chrono::milliseconds(FPageWaitMs),
                         [&] { return job->done || FShared->cancelled; });
    if (!job->done) {
        job->abandoned = true;
        return 503;
    }
    if (job->failed) return 500;
    lock.unlock();
    // One page is formatted at a time, whatever the number of web workers: the text
    // of a large page takes a core for milliseconds, and the main thread must always
    // find one free.
    std::lock_guard<std::mutex> formatLock(FFormatMu);
    try {
        // An octet the code page leaves unassigned shows as the replacement character.
        page = Utf8ToCp1251(ReplaceCp1251Unassigned(FormatPage(job->data), "&#xFFFD;"));
    } catch (...) {
        return 500;
    }
    return 200;
}

bool TWebDispatch::RunOnMain(std::function<void()> fn) {
    struct TCall {
        bool done = false;
        bool abandoned = false;
    };
    auto call = std::make_shared<TCall>();
    auto run = [shared = FShared, call, fn = std::move(fn)] {
        {
            std::lock_guard<std::mutex> lock(shared->mu);
            if (shared->cancelled || call->abandoned) return;
        }
        try {
            fn();
        } catch (...) {
        }
        {
            std::lock_guard<std::mutex> lock(shared->mu);
            call->done = true;
        }
        shared->cv.notify_all();
    };
    {
        std::lock_guard<std::mutex> lock(FShared->mu);
        if (FShared->cancelled) return false;
    }
    if (!FPost) {
        run();
    } else {
        bool posted = false;
        try {
            posted = FPost(run);
        } catch (...) {
            posted = false;
        }
        if (!posted) return false;
    }
    std::unique_lock<std::mutex> lock(FShared->mu);
    FShared->cv.wait_for(lock, std::chrono::milliseconds(FPageWaitMs),
                         [&] { return call->done || FShared->cancelled; });
    if (!call->done) call->abandoned = true;
    return call->done;
}

std::optional<std::filesystem::path> TWebDispatch::ResolveStaticFile(std::string_view path) const {
    if (path.empty() || path.front() != '/') return std::nullopt;
    std::vector<std::string> segments;
    std::string_view rest = path.substr(1);
    std::string segment;
    for (;;) {
        const auto slash = rest.find('/');
        const std::string_view raw = rest.substr(0, slash);
        if (raw.empty() || !DecodeUrlText(raw, false, segment)) return std::nullopt;
        if (segment == "." || segment == "..") return std::nullopt;
        for (const char c : segment) {
            const auto u = static_cast<unsigned char>(c);
            if (u < 0x20 || u == 0x7F || c == '/' || c == '\\') return std::nullopt;
        }
        segments.push_back(segment);
        if (slash == std::string_view::npos) break;
        rest.remove_prefix(slash + 1);
    }
    std::error_code ec;
    const auto base = std::filesystem::canonical(FWebFolder, ec);
    if (ec) return std::nullopt;
    // Step by step, each name as it is or as the one entry of that folder that
    // differs only in letter case (pages copied from a Windows installation).
    std::filesystem::path at = base;
    for (const std::string& name : segments)
        at = Utf8Path(FindOwnFile(PathToUtf8(at / std::filesystem::path(name))));
    const auto target = std::filesystem::canonical(at, ec);
    if (ec || !IsInside(base, target)) return std::nullopt;
    if (!std::filesystem::is_regular_file(target, ec) || ec) return std::nullopt;
    return target;
}

void TWebDispatch::ServeStatic(std::string_view rawPath, const std::string& decodedPath,
                               THttpResponse& response) const {
    const std::string type = StaticContentType(decodedPath);
    if (type.empty()) return SetEmpty(response, 404);
    const auto file = ResolveStaticFile(rawPath);
    if (!file) return SetEmpty(response, 404);
    if (IsImageType(type)) {
        response.status = 200;
        response.contentType = type;
        response.cacheControl.clear();
        response.body.clear();
        response.filePath = file->string();
        return;
    }
    auto bytes = ReadFileBytes(*file);
    if (!bytes || bytes->empty()) return SetEmpty(response, 404);
    response.status = 200;
    response.contentType = type == kHtmlType ? kHtmlTypeSent : type;
    response.cacheControl.clear();
    response.body = std::move(*bytes);
    response.filePath.clear();
}

void TWebDispatch::CommandGet(const THttpRequest& request, THttpResponse& response) {
    std::string path;
    if (!DecodeUrlText(request.path, false, path)) return SetEmpty(response, 404);
    if (FExtra && FExtra(request, response)) return;
    if (IsGeneratedPage(path)) {
        std::string page;
        const int status = RunPage(path, request.query, page);
        if (status != 200) return SetEmpty(response, status);
        response.status = 200;
        response.contentType = kHtmlTypeSent;
        response.cacheControl = kNoCache;
        response.body = std::move(page);
        response.filePath.clear();
        return;
    }
    if (path == "/index-7.html") {
        const auto file = ResolveStaticFile(request.path);
        std::optional<std::string> bytes;
        if (file) bytes = ReadFileBytes(*file);
        if (!bytes || bytes->empty()) return SetEmpty(response, 404);
        response.status = 200;
        response.contentType = kHtmlTypeSent;
        response.cacheControl = kNoCache;
        response.body = std::move(*bytes);
        response.filePath.clear();
        return;
    }
    ServeStatic(request.path, path, response);
}

}  // namespace telegate
