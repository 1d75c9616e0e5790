#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "support/CodePage.h"
#include "web/WebDispatch.h"
#include "web/WebFixture.h"

namespace telegate {
namespace {

namespace fs = std::filesystem;
using test::TWebFixture;

// A temporary program folder "<tmp>/<unique>/site.html" with its "web" folder, a
// secret file beside the web folder and links pointing in and out.
class WebFolder {
  public:
    WebFolder() {
        std::string tmpl = (fs::temp_directory_path() / "telegate-web-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp");
        root = tmpl;
        exeDir = root / "site.html";
        web = exeDir / "web";
        fs::create_directories(web / "css" / "ie");
        fs::create_directories(web / "img");
        fs::create_directories(web / "js");
        Write(web / "css" / "style.css", "body{color:red}\r\n");
        Write(web / "help.html", "<p>\xCF\xEE\xEC\xEE\xF9\xFC</p>\r\n");  // "Помощь" in 1251
        Write(web / "index-7.html", "<p>about</p>");
        Write(web / "js" / "html5.js", "var x = 1;");
        Write(web / "notes.txt", "plain");
        Write(web / "img" / "logo.png", std::string("\x89PNG\r\n\x1a\n\0\1", 10));
        Write(web / "photo.jpg", "JPEGDATA");
        Write(web / "anim.gif", "GIF89a");
        Write(web / "empty.css", "");
        Write(web / "a b.css", "spaced");
        Write(web / "\xD0\xBF.css", "cyrillic");  // "п.css"
        Write(exeDir / "secret.css", "TOP-SECRET-CSS");
        Write(exeDir / "secret.html", "TOP-SECRET-HTML");
        Write(root / "outside.png", "TOP-SECRET-PNG");
        // Wine cannot make symbolic links: there the link cases fall away (a
        // missing link is refused like one that leads out).
        std::error_code ec;
        fs::create_symlink(exeDir / "secret.css", web / "link.css", ec);
        links = !ec;
        if (links) {
            fs::create_directory_symlink(exeDir, web / "up");
            fs::create_symlink(web / "css" / "style.css", web / "inner.css");
            fs::create_symlink(root / "outside.png", web / "img" / "out.png");
        }
    }
    bool links = false;
    ~WebFolder() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    static void Write(const fs::path& p, const std::string& bytes) {
        std::ofstream(p, std::ios::binary) << bytes;
    }

    fs::path root, exeDir, web;
};

THttpRequest Req(const std::string& target, const std::string& method = "GET") {
    THttpRequest r;
    r.method = method;
    r.target = target;
    const auto q = target.find('?');
    r.path = target.substr(0, q);
    if (q != std::string::npos) r.query = target.substr(q + 1);
    return r;
}

class WebDispatchTest : public ::testing::Test {
  protected:
    WebDispatchTest() {
        const int a = data.AddStation("KP1", "127.0.0.1");
        data.AddTI(a, "U1", 1, 1, 2.5f, 0, 0);
        data.AddTS(a, "Q1", 1, 2, true, 0, 0);
    }

    THttpResponse Get(TWebDispatch& d, const std::string& target) {
        THttpResponse r;
        r.status = 999;
        d.CommandGet(Req(target), r);
        return r;
    }

    TWebDispatch::TViewSource Source() {
        return [this] { return data.View(); };
    }

    TWebFixture data;
    WebFolder folder;
};

TEST_F(WebDispatchTest, PagesAreHtmlInWindows1251WithoutCaching) {
    TWebDispatch d(folder.web, Source());
    const auto root = Get(d, "/");
    EXPECT_EQ(root.status, 200);
    EXPECT_EQ(root.contentType, "text/html; charset=windows-1251");
    EXPECT_EQ(root.cacheControl, "no-cache");
    EXPECT_TRUE(root.filePath.empty());
    EXPECT_EQ(root.body, Utf8ToCp1251(BuildPage(data.View(), "/", "")));
    EXPECT_NE(root.body.find("\xD2\xE5\xEA\xF3\xF9\xE8\xE5"), std::string::npos);  // "Текущие"
    EXPECT_FALSE(IsValidUtf8(root.body));

    const auto titek = Get(d, "/titek.php");
    EXPECT_EQ(titek.body, root.body);
    EXPECT_EQ(Get(d, "/titek.php?p_ti=KP1").body,
              Utf8ToCp1251(BuildPage(data.View(), "/", "p_ti=KP1")));

    const auto ts = Get(d, "/tstek.php");
    EXPECT_EQ(ts.status, 200);
    EXPECT_EQ(ts.body, Utf8ToCp1251(BuildPage(data.View(), "/tstek.php", "")));
    for (const char* path : {"/reg.php", "/arch.php", "/config.php"}) {
        const auto r = Get(d, path);
        EXPECT_EQ(r.status, 200) << path;
        EXPECT_EQ(r.cacheControl, "no-cache") << path;
        EXPECT_EQ(r.body, Utf8ToCp1251(BuildPage(data.View(), path, ""))) << path;
    }
    // An encoded page path is the same page.
    EXPECT_EQ(Get(d, "/titek%2Ephp").body, root.body);
}

// A name octet Windows-1251 leaves unassigned shows on the page as the
// replacement character, not as the octet (which browsers take for a control).
TEST_F(WebDispatchTest, UnassignedNameOctetShowsAsReplacementCharacter) {
    const std::string odd = "U" + std::string(kCp1251UnassignedUtf8) + "2";
    data.AddTI(1, odd, 1, 3, 1.0f, 0, 0);
    TWebDispatch d(folder.web, Source());
    const auto r = Get(d, "/titek.php?p_ti=KP1");
    EXPECT_EQ(r.status, 200);
    EXPECT_NE(r.body.find("U&#xFFFD;2"), std::string::npos) << r.body;
    EXPECT_EQ(r.body.find('\x98'), std::string::npos);
}

TEST_F(WebDispatchTest, PathsAreCaseSensitive) {
    TWebDispatch d(folder.web, Source());
    for (const char* path : {"/TITEK.PHP", "/Titek.php", "/titek.php/", "/config", "/index.html"}) {
        const auto r = Get(d, path);
        EXPECT_EQ(r.status, 404) << path;
        EXPECT_TRUE(r.body.empty()) << path;
        EXPECT_TRUE(r.cacheControl.empty()) << path;
    }
}

TEST_F(WebDispatchTest, AboutPageIsNotCachedButOtherFilesAre) {
    TWebDispatch d(folder.web, Source());
    auto r = Get(d, "/index-7.html");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "<p>about</p>");
    EXPECT_EQ(r.contentType, "text/html; charset=windows-1251");
    EXPECT_EQ(r.cacheControl, "no-cache");

    r = Get(d, "/help.html");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "<p>\xCF\xEE\xEC\xEE\xF9\xFC</p>\r\n");  // the file's bytes
    EXPECT_EQ(r.contentType, "text/html; charset=windows-1251");
    EXPECT_TRUE(r.cacheControl.empty());

    fs::remove(folder.web / "index-7.html");
    r = Get(d, "/index-7.html");
    EXPECT_EQ(r.status, 404);
    EXPECT_TRUE(r.cacheControl.empty());
}

TEST_F(WebDispatchTest, ContentTypesByExtension) {
    TWebDispatch d(folder.web, Source());
    auto r = Get(d, "/css/style.css");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.contentType, "text/css");
    EXPECT_EQ(r.body, "body{color:red}\r\n");

    r = Get(d, "/js/html5.js");
    EXPECT_EQ(r.contentType, "application/x-javascript");
    EXPECT_EQ(r.body, "var x = 1;");

    r = Get(d, "/img/logo.png");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.contentType, "image/png");
    EXPECT_TRUE(r.body.empty());
    EXPECT_EQ(fs::path(r.filePath), fs::canonical(folder.web / "img" / "logo.png"));

    r = Get(d, "/photo.jpg");
    EXPECT_EQ(r.contentType, "image/jpeg");
    EXPECT_EQ(fs::path(r.filePath), fs::canonical(folder.web / "photo.jpg"));
    EXPECT_EQ(Get(d, "/anim.gif").contentType, "image/gif");

    // Blanks and Cyrillic letters in file names, percent-encoded.
    EXPECT_EQ(Get(d, "/a%20b.css").body, "spaced");
    EXPECT_EQ(Get(d, "/%D0%BF.css").body, "cyrillic");
    // A link that stays inside the folder is followed.
    if (folder.links) {
        EXPECT_EQ(Get(d, "/inner.css").body, "body{color:red}\r\n");
    }

    // Missing files, empty files and unknown extensions.
    for (const char* path :
         {"/notes.txt", "/missing.css", "/img/none.png", "/empty.css", "/css", "/img/", "/css/"}) {
        r = Get(d, path);
        EXPECT_EQ(r.status, 404) << path;
        EXPECT_TRUE(r.body.empty()) << path;
        EXPECT_TRUE(r.filePath.empty()) << path;
    }
}

TEST(StaticContentTypeTest, LaterExtensionsOverrideEarlierOnes) {
    EXPECT_EQ(StaticContentType("/a.css"), "text/css");
    EXPECT_EQ(StaticContentType("/a.html.css"), "text/html");  // ".html" comes later in the table
    EXPECT_EQ(StaticContentType("/a.css.png"), "image/png");
    EXPECT_EQ(StaticContentType("/x.js.html"), "application/x-javascript");
    EXPECT_EQ(StaticContentType("/site.html/x.txt"), "text/html");
    EXPECT_EQ(StaticContentType("/readme.txt"), "");
    EXPECT_EQ(StaticContentType(".css"), "");  // not after the first character
    EXPECT_EQ(StaticContentType("/a.jsx"), "application/x-javascript");
}

TEST_F(WebDispatchTest, ExtensionRulesLookOnlyInsideTheWebFolder) {
    // The program folder is called "site.html": that must not make text files HTML.
    TWebDispatch d(folder.web, Source());
    EXPECT_EQ(Get(d, "/notes.txt").status, 404);
    EXPECT_EQ(Get(d, "/css/style.css").contentType, "text/css");
    EXPECT_EQ(Get(d, "/js/html5.js").contentType, "application/x-javascript");
}

TEST_F(WebDispatchTest, PathsLeavingTheWebFolderAreRefused) {
    TWebDispatch d(folder.web, Source());
    const std::string outside = folder.exeDir.string();
    const char* attempts[] = {
        "/../secret.css",
        "/../secret.html",
        "/%2e%2e/secret.css",
        "/%2E%2E/secret.html",
        "/.%2e/secret.css",
        "/css/../../secret.css",
        "/css/%2e%2e/%2e%2e/secret.css",
        "/..%2fsecret.css",
        "/..%2Fsecret.css",
        "/css%2f..%2f..%2fsecret.css",
        "/%2e%2e%2fsecret.css",
        "/..\\secret.css",
        "/..%5csecret.css",
        "/css%5C..%5C..%5Csecret.css",
        "/secret.css%00.png",
        "/css/style.css%00",
        "/link.css",
        "/up/secret.css",
        "/img/out.png",
        "/./help.html",
        "/css//style.css",
        "//css/style.css",
        "/%2e%2e",
        "/..",
        "/%",
        "/%zz.css",
        "/%2",
        "css/style.css",
        "",
    };
    for (const char* a : attempts) {
        const auto r = Get(d, a);
        EXPECT_EQ(r.status, 404) << a;
        EXPECT_TRUE(r.body.empty()) << a;
        EXPECT_TRUE(r.filePath.empty()) << a;
        EXPECT_FALSE(d.ResolveStaticFile(a).has_value()) << a;
    }
    // A link out and back in ends inside the folder: that file may be served.
    if (folder.links) {
        EXPECT_EQ(Get(d, "/up/web/css/style.css").body, "body{color:red}\r\n");
    }
    // Absolute paths, encoded or not, name nothing outside either.
    for (const std::string& abs :
         {"/" + outside + "/secret.css", "/" + (folder.exeDir / "secret.css").string(),
          "/%2F" + outside.substr(1) + "/secret.css"}) {
        const auto r = Get(d, abs);
        EXPECT_EQ(r.status, 404) << abs;
        EXPECT_EQ(r.body.find("TOP-SECRET"), std::string::npos);
    }
}

// Files copied from a Windows installation may differ from the links in letter case
// only: each name of the path is taken as it is, or as the entry of its own folder
// that differs only in case; nothing outside the web folder is ever found that way.
TEST_F(WebDispatchTest, NamesDifferingOnlyInLetterCaseAreFoundInsideTheFolder) {
    fs::create_directories(folder.web / "Scripts");
    WebFolder::Write(folder.web / "Menu.HTML", "menu");
    WebFolder::Write(folder.web / "Scripts" / "App.js", "app");
    TWebDispatch d(folder.web, Source());
    struct TCase {
        const char* path;
        const char* body;  // nullptr: 404
    };
    const TCase cases[] = {
        {"/menu.html", "menu"},                                 // file name
        {"/scripts/app.js", "app"},                             // folder and file name
        {"/CSS/style.css", "body{color:red}\r\n"},              // folder only
        {"/help.html", "<p>\xCF\xEE\xEC\xEE\xF9\xFC</p>\r\n"},  // exact name
        {"/SECRET.css", nullptr},      // beside the web folder: never looked at
        {"/Up/secret.css", nullptr},   // a link that leads out
        {"/scripts/APP.JS", nullptr},  // the type comes from the link as written
        {"/scripts/missing.js", nullptr},
        {"/Scripts/../Menu.HTML", nullptr},  // dot segments stay refused
    };
    for (const TCase& c : cases) {
        const auto r = Get(d, c.path);
        EXPECT_EQ(r.status, c.body != nullptr ? 200 : 404) << c.path;
        EXPECT_EQ(r.body, c.body != nullptr ? c.body : "") << c.path;
    }
}

TEST_F(WebDispatchTest, MissingWebFolderServesPagesOnly) {
    TWebDispatch d(folder.root / "nothing", Source());
    EXPECT_EQ(Get(d, "/").status, 200);
    EXPECT_EQ(Get(d, "/css/style.css").status, 404);
    EXPECT_EQ(Get(d, "/index-7.html").status, 404);
}

TEST_F(WebDispatchTest, PagesAreBuiltThroughThePostFunction) {
    std::vector<std::function<void()>> queued;
    std::mutex mu;
    std::atomic<bool> stop{false};
    std::atomic<std::thread::id> builder{};
    std::thread main([&] {
        while (!stop) {
            std::vector<std::function<void()>> now;
            {
                std::lock_guard<std::mutex> lock(mu);
                now.swap(queued);
            }
            for (auto& fn : now) fn();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    TWebDispatch d(
        folder.web,
        [&] {
            builder = std::this_thread::get_id();
            return data.View();
        },
        [&](std::function<void()> fn) {
            std::lock_guard<std::mutex> lock(mu);
            queued.push_back(std::move(fn));
            return true;
        });
    const auto r = Get(d, "/config.php");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(builder.load(), main.get_id());
    EXPECT_EQ(r.body, Utf8ToCp1251(BuildPage(data.View(), "/config.php", "")));
    // Static files do not go through the main thread.
    builder = std::thread::id{};
    EXPECT_EQ(Get(d, "/css/style.css").status, 200);
    EXPECT_EQ(builder.load(), std::thread::id{});
    stop = true;
    main.join();
}

TEST_F(WebDispatchTest, UnavailableMainThreadGives503) {
    // The post function refuses (the loop has quit).
    TWebDispatch refused(folder.web, Source(), [](std::function<void()>) { return false; });
    EXPECT_EQ(Get(refused, "/").status, 503);
    EXPECT_EQ(Get(refused, "/css/style.css").status, 200);

    // The post function throws.
    TWebDispatch throwing(folder.web, Source(),
                          [](std::function<void()>) -> bool { throw std::runtime_error("x"); });
    EXPECT_EQ(Get(throwing, "/").status, 503);

    // Queued but never run: the wait ends after its limit, and the late build is skipped.
    std::vector<std::function<void()>> queued;
    int built = 0;
    TWebDispatch slow(
        folder.web,
        [&] {
            ++built;
            return data.View();
        },
        [&](std::function<void()> fn) {
            queued.push_back(std::move(fn));
            return true;
        },
        50);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Get(slow, "/").status, 503);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(45));
    ASSERT_EQ(queued.size(), 1u);
    queued[0]();
    EXPECT_EQ(built, 0);
}

TEST_F(WebDispatchTest, CancelAnswersWaitingRequestsAtOnce) {
    std::vector<std::function<void()>> queued;
    std::mutex mu;
    int built = 0;
    TWebDispatch d(
        folder.web,
        [&] {
            ++built;
            return data.View();
        },
        [&](std::function<void()> fn) {
            std::lock_guard<std::mutex> lock(mu);
            queued.push_back(std::move(fn));
            return true;
        },
        60000);
    std::atomic<int> status{0};
    std::thread client([&] { status = Get(d, "/").status; });
    for (int i = 0; i < 2000; ++i) {
        {
            std::lock_guard<std::mutex> lock(mu);
            if (!queued.empty()) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const auto t0 = std::chrono::steady_clock::now();
    d.Cancel();
    client.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_EQ(status.load(), 503);
    // Still cancelled: refused without queueing; the old build is skipped.
    EXPECT_EQ(Get(d, "/").status, 503);
    for (auto& fn : queued) fn();
    EXPECT_EQ(built, 0);
    EXPECT_EQ(queued.size(), 1u);
    d.Resume();
    queued.clear();
    std::thread again([&] { status = Get(d, "/").status; });
    for (int i = 0; i < 2000; ++i) {
        std::function<void()> fn;
        {
            std::lock_guard<std::mutex> lock(mu);
            if (!queued.empty()) fn = queued.front();
        }
        if (fn) {
            fn();
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    again.join();
    EXPECT_EQ(status.load(), 200);
    EXPECT_EQ(built, 1);
}

TEST_F(WebDispatchTest, FailingPageBuildGives500) {
    TWebDispatch d(folder.web, []() -> TWebView { throw std::runtime_error("broken"); });
    EXPECT_EQ(Get(d, "/").status, 500);
    TWebDispatch none(folder.web, {});
    EXPECT_EQ(Get(none, "/").status, 500);
    EXPECT_EQ(Get(none, "/css/style.css").status, 200);
}

}  // namespace
}  // namespace telegate
