// Requests reaching the action handler: raw URL, keep-alive, bodies in
// memory and spooled, the size limit, multipart uploads, and the defensive
// answers of the layer.
#include <gtest/gtest.h>

#include "web_test_support.h"

using namespace webtest;
using namespace std::chrono_literals;

namespace {

class WebRequest : public ::testing::Test {
protected:
    void SetUp() override { makeSite(dir); }
    TempDir dir;
};

TEST_F(WebRequest, RawUrlMethodAndClientReachTheHandlerUndecoded) {
    RunningServer srv(dir);
    ASSERT_TRUE(srv.ok());
    std::string url, method, client;
    srv.onAction([&](web::Request& r) {
        url = r.url();
        method = r.method();
        client = r.clientAddress();
        r.respond(200, "application/json", "{\"Result\":\"OK\"}");
    });
    auto r = fetch(srv.port(), get("/action/device/x?a=%23FF&b=1"));
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status);
    EXPECT_EQ("application/json", r->header("content-type"));
    EXPECT_EQ("{\"Result\":\"OK\"}", r->body);
    EXPECT_EQ("/action/device/x?a=%23FF&b=1", url);
    EXPECT_EQ("GET", method);
    EXPECT_EQ("127.0.0.1", client);
}

TEST_F(WebRequest, KeepAliveServesSeveralRequestsOnOneConnection) {
    RunningServer srv(dir);
    ASSERT_TRUE(srv.ok());
    int calls = 0;
    srv.onAction([&](web::Request& r) { r.respond(200, "application/json", std::to_string(++calls)); });
    Client c(srv.port());
    ASSERT_TRUE(c.connected());
    for (int i = 1; i <= 3; ++i) {
        ASSERT_TRUE(c.send(get("/action/device/n")));
        auto r = c.read();
        ASSERT_TRUE(r) << "request " << i;
        EXPECT_EQ(std::to_string(i), r->body);
        EXPECT_NE("close", r->header("connection"));
    }
    // A static document on the same connection, then a POST with a body.
    ASSERT_TRUE(c.send(get("/login.html")));
    auto s = c.read();
    ASSERT_TRUE(s);
    EXPECT_EQ(200, s->status);
    ASSERT_TRUE(c.send("POST /action/device/n HTTP/1.1\r\nHost: t\r\nContent-Length: 2\r\n\r\n{}"));
    auto p = c.read();
    ASSERT_TRUE(p);
    EXPECT_EQ("4", p->body);
}

TEST_F(WebRequest, SmallBodyIsHeldInMemoryWithItsLength) {
    RunningServer srv(dir);
    ASSERT_TRUE(srv.ok());
    std::string body, file;
    std::uint64_t length = 0;
    srv.onAction([&](web::Request& r) {
        body = std::string(r.body());
        length = r.bodyLength();
        file = r.bodyFile();
        r.respond(200, "application/json", "{}");
    });
    std::string payload("{\"a\":1}\0tail", 12);
    auto r = fetch(srv.port(), "POST /action/device/x HTTP/1.1\r\nHost: t\r\nContent-Length: 12\r\n\r\n" +
                                   payload);
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status);
    EXPECT_EQ(payload, body);  // NUL bytes included
    EXPECT_EQ(12u, length);
    EXPECT_TRUE(file.empty());
}

TEST_F(WebRequest, LargeBodyIsSpooledToATemporaryFileRemovedAfterwards) {
    web::Limits limits;
    limits.memoryBody = 64 * 1024;
    RunningServer srv(dir, limits);
    ASSERT_TRUE(srv.ok());
    std::string file, content;
    std::uint64_t length = 0;
    std::size_t inMemory = 1;
    srv.onAction([&](web::Request& r) {
        file = r.bodyFile();
        length = r.bodyLength();
        inMemory = r.body().size();
        content = readFile(file);
        r.respond(200, "application/json", "{}");
    });
    std::string payload;
    for (int i = 0; payload.size() < 200 * 1024; ++i) payload += std::to_string(i) + ",";
    // Once with Content-Length, once chunked (the layer only learns the size
    // while reading).
    auto r = fetch(srv.port(), "POST /action/device/up HTTP/1.1\r\nHost: t\r\nContent-Length: " +
                                   std::to_string(payload.size()) + "\r\n\r\n" + payload);
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status);
    EXPECT_EQ(payload.size(), length);
    EXPECT_EQ(0u, inMemory);
    EXPECT_EQ(payload, content);
    EXPECT_EQ(0, file.rfind(dir / "spool/", 0));
    EXPECT_FALSE(std::filesystem::exists(file));

    std::string chunked;
    for (std::size_t off = 0; off < payload.size(); off += 10000) {
        std::string piece = payload.substr(off, 10000);
        char size[16];
        std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
        chunked += size + piece + "\r\n";
    }
    chunked += "0\r\n\r\n";
    file.clear();
    r = fetch(srv.port(), "POST /action/device/up HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked\r\n\r\n" +
                              chunked);
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status);
    EXPECT_EQ(payload, content);
    EXPECT_FALSE(file.empty());
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(0u, countEntries(dir / "spool"));
}

TEST_F(WebRequest, BodyOverOneMebibyteIsSpooledByDefault) {
    RunningServer srv(dir);
    ASSERT_TRUE(srv.ok());
    std::string file;
    std::uintmax_t onDisk = 0;
    srv.onAction([&](web::Request& r) {
        file = r.bodyFile();
        if (!file.empty()) onDisk = std::filesystem::file_size(file);
        r.respond(200, "application/json", "{}");
    });
    std::string payload(1024 * 1024 + 1, 'x');
    auto r = fetch(srv.port(), "POST /action/device/up HTTP/1.1\r\nHost: t\r\nContent-Length: " +
                                   std::to_string(payload.size()) + "\r\n\r\n" + payload);
    ASSERT_TRUE(r);
    EXPECT_EQ(payload.size(), onDisk);
    payload.pop_back();
    file = "unset";
    r = fetch(srv.port(), "POST /action/device/up HTTP/1.1\r\nHost: t\r\nContent-Length: " +
                              std::to_string(payload.size()) + "\r\n\r\n" + payload);
    ASSERT_TRUE(r);
    EXPECT_EQ("", file);  // exactly 1 MiB stays in memory
}

TEST_F(WebRequest, HandlerMayMoveTheSpooledBodyAway) {
    web::Limits limits;
    limits.memoryBody = 1024;
    RunningServer srv(dir, limits);
    ASSERT_TRUE(srv.ok());
    std::string target = dir / "moved";
    srv.onAction([&](web::Request& r) {
        std::filesystem::rename(r.bodyFile(), target);
        r.respond(200, "application/json", "{}");
    });
    std::string payload(5000, 'y');
    auto r = fetch(srv.port(), "POST /action/device/StartUpgrade HTTP/1.1\r\nHost: t\r\nContent-Length: 5000\r\n\r\n" +
                                   payload);
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status);
    EXPECT_EQ(payload, readFile(target));
    EXPECT_EQ(0u, countEntries(dir / "spool"));
}

TEST_F(WebRequest, BodyOverTheLimitGets413AndNothingIsKept) {
    web::Limits limits;
    limits.memoryBody = 1000;
    limits.maxBody = 10000;
    RunningServer srv(dir, limits);
    ASSERT_TRUE(srv.ok());
    int calls = 0;
    srv.onAction([&](web::Request& r) {
        ++calls;
        r.respond(200, "application/json", "{}");
    });
    // Declared too large: refused before the body is read.
    auto r = fetch(srv.port(), "POST /action/device/up HTTP/1.1\r\nHost: t\r\nContent-Length: 10001\r\n\r\n");
    ASSERT_TRUE(r);
    EXPECT_EQ(413, r->status);

    // Chunked, growing past the limit while it streams.
    std::string chunk(4000, 'z');
    std::string req = "POST /action/device/up HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 4; ++i) req += "fa0\r\n" + chunk + "\r\n";
    req += "0\r\n\r\n";
    r = fetch(srv.port(), req);
    ASSERT_TRUE(r);
    EXPECT_EQ(413, r->status);
    EXPECT_EQ(0, calls);
    EXPECT_EQ(0u, countEntries(dir / "spool"));

    // Exactly at the limit passes.
    r = fetch(srv.port(), "POST /action/device/up HTTP/1.1\r\nHost: t\r\nContent-Length: 10000\r\n\r\n" +
                              std::string(10000, 'a'));
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status);
}

TEST_F(WebRequest, TemporaryFilesGoWhenTheClientOrTheServerStopsHalfway) {
    web::Limits limits;
    limits.memoryBody = 1000;
    RunningServer srv(dir, limits);
    ASSERT_TRUE(srv.ok());
    int calls = 0;
    srv.onAction([&](web::Request& r) {
        ++calls;
        r.respond(200, "application/json", "{}");
    });
    auto waitForSpool = [&](std::size_t n) {
        for (int i = 0; i < 200 && countEntries(dir / "spool") != n; ++i)
            std::this_thread::sleep_for(5ms);
        return countEntries(dir / "spool");
    };
    {
        Client c(srv.port());
        c.send("POST /action/device/x HTTP/1.1\r\nHost: t\r\nContent-Length: 100000\r\n\r\n" +
               std::string(5000, 'a'));
        EXPECT_EQ(1u, waitForSpool(1));  // spooling has begun
    }  // the client goes away
    EXPECT_EQ(0u, waitForSpool(0));

    Client c(srv.port());
    c.send("POST /action/device/x HTTP/1.1\r\nHost: t\r\nContent-Length: 100000\r\n\r\n" +
           std::string(5000, 'a'));
    EXPECT_EQ(1u, waitForSpool(1));
    srv.stop();
    EXPECT_EQ(0u, countEntries(dir / "spool"));
    EXPECT_EQ(0, calls);
}

std::string multipart(const std::string& boundary, const std::string& fileContent,
                      const std::string& type) {
    return "--" + boundary +
           "\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nhello\r\n"
           "--" + boundary +
           "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"logo.png\"\r\n"
           "Content-Type: " + type + "\r\n\r\n" + fileContent + "\r\n--" + boundary + "--\r\n";
}

TEST_F(WebRequest, MultipartUploadIsStreamedToATemporaryFile) {
    web::Limits limits;
    limits.memoryBody = 4096;  // the upload is far larger than what memory may hold
    RunningServer srv(dir, limits);
    ASSERT_TRUE(srv.ok());
    std::string content;
    std::optional<web::UploadedFile> seen;
    bool existed = false;
    srv.onAction([&](web::Request& r) {
        if (const web::UploadedFile* u = r.upload()) {
            seen = *u;
            existed = std::filesystem::exists(u->tempPath);
            content = readFile(u->tempPath);
        }
        r.respond(200, "application/json", "{}");
    });
    std::string file;
    for (int i = 0; i < 300000; ++i) file += static_cast<char>((i * 7) % 256);
    std::string body = multipart("XyZb0undary", file, "image/png");
    auto r = fetch(srv.port(),
                   "POST /action/device/upload_Image?fileName=logo.png HTTP/1.1\r\nHost: t\r\n"
                   "Content-Type: multipart/form-data; boundary=XyZb0undary\r\nContent-Length: " +
                       std::to_string(body.size()) + "\r\n\r\n" + body);
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status);
    ASSERT_TRUE(seen);
    EXPECT_TRUE(existed);
    EXPECT_EQ("image/png", seen->contentType);
    EXPECT_EQ(file.size(), seen->size);
    EXPECT_EQ(file, content);
    EXPECT_FALSE(std::filesystem::exists(seen->tempPath));
    EXPECT_EQ(0u, countEntries(dir / "spool"));
}

TEST_F(WebRequest, RequestWithoutFilePartHasNoUpload) {
    RunningServer srv(dir);
    ASSERT_TRUE(srv.ok());
    bool hadUpload = true;
    srv.onAction([&](web::Request& r) {
        hadUpload = r.upload() != nullptr;
        r.respond(200, "application/json", "{}");
    });
    std::string body = "--bnd42\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nhi\r\n--bnd42--\r\n";
    auto r = fetch(srv.port(),
                   "POST /action/device/upload_Image HTTP/1.1\r\nHost: t\r\nContent-Type: multipart/form-data; "
                   "boundary=bnd42\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status);
    EXPECT_FALSE(hadUpload);
}

TEST_F(WebRequest, LayerAnswersWhatHandlersLeaveOpen) {
    RunningServer srv(dir);
    ASSERT_TRUE(srv.ok());
    int mode = 0;
    srv.onAction([&](web::Request& r) {
        if (mode == 1) throw std::runtime_error("boom");
        if (mode == 2) {
            r.respond(404, "text/plain", "Missing action name");
            r.respond(200, "application/json", "{}");  // ignored: one answer only
            EXPECT_TRUE(r.responded());
        }
    });
    auto r = fetch(srv.port(), get("/action/device/none"));
    ASSERT_TRUE(r);
    EXPECT_EQ(500, r->status);  // returned without answering
    mode = 1;
    r = fetch(srv.port(), get("/action/device/throws"));
    ASSERT_TRUE(r);
    EXPECT_EQ(500, r->status);
    mode = 2;
    r = fetch(srv.port(), get("/action/device/twice"));
    ASSERT_TRUE(r);
    EXPECT_EQ(404, r->status);
    EXPECT_EQ("Missing action name", r->body);
}

TEST_F(WebRequest, RouteWithoutDefinedActionIs404) {
    writeFile(dir / "web_root/config/route.txt",
              "action /action/other/ other\naction /action/device/ device\nstatic /\n");
    RunningServer srv(dir);
    ASSERT_TRUE(srv.ok());
    int calls = 0;
    srv.onAction([&](web::Request& r) {
        ++calls;
        r.respond(200, "application/json", "{}");
    });
    auto r = fetch(srv.port(), get("/action/other/x"));
    ASSERT_TRUE(r);
    EXPECT_EQ(404, r->status);
    r = fetch(srv.port(), get("/action/device/x"));
    ASSERT_TRUE(r);
    EXPECT_EQ(200, r->status);
    EXPECT_EQ(1, calls);
}

}  // namespace
