#include "storage/deletefile.h"

#include <gtest/gtest.h>

#include "storage_testdir.h"

using namespace storage;

namespace {

class Card {
public:
    Card() {
        t.dir("sd");
        t.file("sd/recodefilelist.txt");
        root = t / "sd";
        marker = t / "sd/recodefilelist.txt";
    }
    int remove(const std::string& body, JsonReply& out) const {
        return deleteStorageFiles(body.c_str(), out, root.c_str(), marker.c_str());
    }
    TestDir t;
    std::string root;
    std::string marker;
};

std::string reason(const JsonReply& out) {
    if (!out) return "<none>";
    JsonPtr j = json::parse(out->c_str());
    const cJSON* r = cJSON_GetObjectItemCaseSensitive(j.get(), "Reason");
    return cJSON_IsString(r) ? r->valuestring : "<no reason>";
}

}  // namespace

TEST(StorageDeleteFile, RequestReader) {
    StorageDeleteRequest r;
    ASSERT_EQ(getStorageFileParamFromJSON(R"({"mode":1,"file":["a.mp4",5,"b.mp4",null,""]})", r), 0);
    EXPECT_EQ(r.mode, 1);
    EXPECT_EQ(r.names, (std::vector<std::string>{"a.mp4", "", "b.mp4", "", ""}));
    ASSERT_EQ(getStorageFileParamFromJSON(R"({"mode":true,"file":[]})", r), 0);
    EXPECT_EQ(r.mode, 1);
    EXPECT_TRUE(r.names.empty());

    // Names are never cut; at most 4096 items are read.
    std::string body = R"({"mode":0,"file":[")" + std::string(100, 'n') + "\"";
    for (int i = 0; i < 5000; ++i) body += ",\"x\"";
    body += "]}";
    ASSERT_EQ(getStorageFileParamFromJSON(body.c_str(), r), 0);
    ASSERT_EQ(r.names.size(), 4096U);
    EXPECT_EQ(r.names[0].size(), 100U);

    EXPECT_EQ(getStorageFileParamFromJSON(R"({"file":[]})", r), -2);
    EXPECT_EQ(getStorageFileParamFromJSON(R"({"mode":"1","file":[]})", r), -2);
    EXPECT_EQ(getStorageFileParamFromJSON(R"({"mode":1})", r), -2);
    EXPECT_EQ(getStorageFileParamFromJSON(R"({"mode":1,"file":"a.mp4"})", r), -2);
    EXPECT_EQ(getStorageFileParamFromJSON(R"({"mode":1,"file":{}})", r), -2);
    EXPECT_EQ(getStorageFileParamFromJSON("[1,", r), -15);
    EXPECT_EQ(getStorageFileParamFromJSON(nullptr, r), -2);
}

TEST(StorageDeleteFile, RemovesFilesUpToTheFirstEmptyName) {
    Card card;
    for (const char* f : {"a.mp4", "b.mp4", "c.mp4", "d/e.mp4"}) {
        if (std::string(f) == "d/e.mp4") card.t.dir("sd/d");
        card.t.file(std::string("sd/") + f);
    }
    JsonReply out;
    ASSERT_EQ(card.remove(R"({"mode":1,"file":["a.mp4","missing.mp4","d/e.mp4","d",5,"c.mp4"]})", out), 0);
    EXPECT_EQ(reason(out), "Successfully to set params");
    EXPECT_FALSE(card.t.exists("sd/a.mp4"));
    EXPECT_FALSE(card.t.exists("sd/d/e.mp4"));
    EXPECT_TRUE(card.t.exists("sd/d"));      // mode 1 does not remove folders
    EXPECT_TRUE(card.t.exists("sd/b.mp4"));  // not named
    EXPECT_TRUE(card.t.exists("sd/c.mp4"));  // after the number: never reached

    ASSERT_EQ(card.remove(R"({"mode":1,"file":[]})", out), 0);
    EXPECT_EQ(reason(out), "Successfully to set params");
}

TEST(StorageDeleteFile, RemovesFoldersOfFiles) {
    Card card;
    card.t.dir("sd/2024-01-01");
    card.t.file("sd/2024-01-01/a.mp4");
    card.t.file("sd/2024-01-01/b.mp4");
    ASSERT_EQ(symlink("/", (card.root + "/2024-01-01/rootlink").c_str()), 0);
    card.t.dir("sd/2024-01-02/sub");
    card.t.file("sd/2024-01-02/c.mp4");
    card.t.dir("sd/2024-01-03");

    JsonReply out;
    ASSERT_EQ(card.remove(R"({"mode":0,"file":["2024-01-01"]})", out), 0);
    EXPECT_FALSE(card.t.exists("sd/2024-01-01"));

    // A folder holding a folder keeps it and stops the request there.
    EXPECT_EQ(card.remove(R"({"mode":0,"file":["2024-01-02","2024-01-03"]})", out), -1);
    EXPECT_EQ(reason(out), "set delect storage fil fail");
    EXPECT_FALSE(card.t.exists("sd/2024-01-02/c.mp4"));
    EXPECT_TRUE(card.t.exists("sd/2024-01-02/sub"));
    EXPECT_TRUE(card.t.exists("sd/2024-01-03"));
}

TEST(StorageDeleteFile, ModeAndMountFailures) {
    Card card;
    card.t.file("sd/a.mp4");
    JsonReply out;
    EXPECT_EQ(card.remove(R"({"mode":2,"file":["a.mp4"]})", out), -2);
    EXPECT_EQ(reason(out), "set delect storage fil fail");
    EXPECT_EQ(card.remove(R"({"mode":-1,"file":["a.mp4"]})", out), -2);
    EXPECT_EQ(card.remove(R"({"mode":1})", out), -1);
    EXPECT_EQ(reason(out), "Invalid input params");
    EXPECT_EQ(card.remove("nope", out), -1);
    EXPECT_EQ(reason(out), "Invalid input params");
    EXPECT_TRUE(card.t.exists("sd/a.mp4"));

    // Marker present but the root itself gone.
    StorageDeleteRequest r;
    r.mode = 1;
    r.names = {"a.mp4"};
    EXPECT_EQ(DEVSDK_Delect_StorageFile(r, card.t / "nocard"), -2);

    ASSERT_EQ(unlink(card.marker.c_str()), 0);
    EXPECT_EQ(card.remove(R"({"mode":1,"file":["a.mp4"]})", out), -1);
    EXPECT_EQ(reason(out), "storage device not mount");
    EXPECT_TRUE(card.t.exists("sd/a.mp4"));
}

TEST(StorageDeleteFile, NamesOffTheCardRefuseTheWholeRequest) {
    Card card;
    card.t.file("sd/keep.mp4");
    card.t.dir("sd/folder");
    card.t.file("sd/folder/in.mp4");
    card.t.dir("outside");
    card.t.file("outside/victim.mp4");
    ASSERT_EQ(symlink((card.t / "outside").c_str(), (card.root + "/escape").c_str()), 0);
    ASSERT_EQ(symlink((card.t / "outside/victim.mp4").c_str(), (card.root + "/link.mp4").c_str()), 0);
    ASSERT_EQ(symlink((card.t / "outside/none").c_str(), (card.root + "/escape/dangling").c_str()), 0);

    const std::vector<std::string> refused = {
        card.t / "outside/victim.mp4",  // absolute
        "../outside/victim.mp4",
        "folder/../../outside/victim.mp4",
        "folder/..",
        "escape/victim.mp4",   // through a folder link
        "link.mp4",            // a link to a file off the card
        "escape",              // a link to a folder off the card
        "escape/dangling",     // dangling, in a folder off the card
        "escape/not-there",    // missing, in a folder off the card
        ".",                   // the card root itself
        std::string(64, 'x'),  // longer than 63 characters
    };
    for (const std::string& bad : refused) {
        EXPECT_FALSE(deletionNameAllowed(card.root, bad)) << bad;
        for (int mode : {0, 1}) {
            JsonReply out;
            const std::string body = "{\"mode\":" + std::to_string(mode) + R"(,"file":["keep.mp4","folder",")" +
                                     bad + "\"]}";
            EXPECT_EQ(card.remove(body, out), -1) << bad;
            EXPECT_EQ(reason(out), "set delect storage fil fail") << bad;
            EXPECT_TRUE(card.t.exists("sd/keep.mp4")) << bad;
            EXPECT_TRUE(card.t.exists("sd/folder/in.mp4")) << bad;
            EXPECT_TRUE(card.t.exists("outside/victim.mp4")) << bad;
        }
    }

    // Names that stay on the card are allowed, missing ones included.
    for (const std::string& ok : {std::string("keep.mp4"), std::string("folder/in.mp4"), std::string("folder/"),
                                  std::string("./keep.mp4"), std::string("missing/deeper.mp4"),
                                  std::string(63, 'y')}) {
        EXPECT_TRUE(deletionNameAllowed(card.root, ok)) << ok;
    }
    ASSERT_EQ(symlink("gone.mp4", (card.root + "/dangling.mp4").c_str()), 0);
    EXPECT_TRUE(deletionNameAllowed(card.root, "dangling.mp4"));
    JsonReply out;
    ASSERT_EQ(card.remove(R"({"mode":1,"file":["dangling.mp4"]})", out), 0);
    EXPECT_FALSE(card.t.exists("sd/dangling.mp4"));
}
