#include "storage/videodir.h"

#include <gtest/gtest.h>

#include "storage_testdir.h"

using namespace storage;

namespace {

// A card with its marker file and a listing helper.
class Card {
public:
    Card() {
        t.dir("sd");
        t.file("sd/recodefilelist.txt");
        root = t / "sd";
        marker = t / "sd/recodefilelist.txt";
    }
    int list(const std::string& body, JsonReply& out) const {
        return listVideoDirectory(body.c_str(), out, root.c_str(), marker.c_str());
    }
    std::string req(const std::string& dir, int grade) const {
        return R"({"dir":")" + dir + R"(","tagfiles":"","grade":)" + std::to_string(grade) + "}";
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

JsonPtr parameters(const JsonReply& out) {
    JsonPtr j = json::parse(out ? out->c_str() : nullptr);
    if (!j) return nullptr;
    return JsonPtr(cJSON_DetachItemFromObjectCaseSensitive(j.get(), "Parameters"));
}

}  // namespace

TEST(StorageVideoDir, RequestReader) {
    std::string dir, tag;
    int grade = -1;
    EXPECT_EQ(getStrageDirFormatFromJSON(R"({"dir":"/x","tagfiles":"t","grade":1})", dir, tag, grade), 0);
    EXPECT_EQ(dir, "/x");
    EXPECT_EQ(tag, "t");
    EXPECT_EQ(grade, 1);
    EXPECT_EQ(getStrageDirFormatFromJSON(R"({"dir":"","tagfiles":"","grade":true})", dir, tag, grade), 0);
    EXPECT_EQ(grade, 1);
    EXPECT_EQ(getStrageDirFormatFromJSON(R"({"dir":"a","tagfiles":"","grade":-3.7})", dir, tag, grade), 0);
    EXPECT_EQ(grade, -3);
    // Long values are taken whole.
    const std::string longdir(600, 'p');
    EXPECT_EQ(getStrageDirFormatFromJSON((R"({"dir":")" + longdir + R"(","tagfiles":"","grade":0})").c_str(), dir,
                                         tag, grade),
              0);
    EXPECT_EQ(dir, longdir);

    for (const char* bad : {R"({"tagfiles":"","grade":1})", R"({"dir":5,"tagfiles":"","grade":1})",
                            R"({"dir":"a","grade":1})", R"({"dir":"a","tagfiles":null,"grade":1})",
                            R"({"dir":"a","tagfiles":""})", R"({"dir":"a","tagfiles":"","grade":"1"})",
                            R"({"dir":"a","tagfiles":"","grade":false})", R"({"Dir":"a","tagfiles":"","grade":1})"}) {
        EXPECT_EQ(getStrageDirFormatFromJSON(bad, dir, tag, grade), -2) << bad;
    }
    EXPECT_EQ(getStrageDirFormatFromJSON("{nope", dir, tag, grade), -15);
    EXPECT_EQ(getStrageDirFormatFromJSON(nullptr, dir, tag, grade), -2);
}

TEST(StorageVideoDir, ReplyShapesByteForByte) {
    NetsdkLink link;
    link.head.files.push_back({12, "01:02:03", "a.mp4"});
    link.head.files.push_back({0, "", ""});  // vanished file: skipped
    link.head.files.push_back({5368709120LL, "23:59:59", "big.mp4"});
    link.nodes.push_back({"d2", {}});
    link.nodes.push_back({"d1", {}});

    JsonReply text;
    ASSERT_EQ(formatVideoDirParamJSON(text, &link, 1), 0);
    ASSERT_TRUE(text);
    EXPECT_EQ(*text,
              "[{\n\t\t\"dir_name\":\t\"\",\n\t\t\"file_info\":\t[{\n"
              "\t\t\t\t\"size\":\t12,\n\t\t\t\t\"time\":\t\"01:02:03\",\n\t\t\t\t\"name\":\t\"a.mp4\"\n\t\t\t}, {\n"
              "\t\t\t\t\"size\":\t5368709120,\n\t\t\t\t\"time\":\t\"23:59:59\",\n\t\t\t\t\"name\":\t\"big.mp4\"\n"
              "\t\t\t}]\n\t}, {\n\t\t\"dir_name\":\t\"\",\n\t\t\"file_info\":\t[]\n\t}, {\n"
              "\t\t\"dir_name\":\t\"\",\n\t\t\"file_info\":\t[]\n\t}]");

    ASSERT_EQ(formatVideoDirParamJSON(text, &link, 0), 0);
    EXPECT_EQ(*text,
              "[{\n\t\t\"dir_name\":\t\"d2\",\n\t\t\"file_info\":\t[]\n\t}, {\n"
              "\t\t\"dir_name\":\t\"d1\",\n\t\t\"file_info\":\t[]\n\t}]");

    NetsdkLink empty;
    ASSERT_EQ(formatVideoDirParamJSON(text, &empty, 0), 0);
    EXPECT_EQ(*text, "[]");
    ASSERT_EQ(formatVideoDirParamJSON(text, &empty, 7), 0);
    EXPECT_EQ(*text, "[{\n\t\t\"dir_name\":\t\"\",\n\t\t\"file_info\":\t[]\n\t}]");
    EXPECT_EQ(formatVideoDirParamJSON(text, nullptr, 1), -2);
}

TEST(StorageVideoDir, ListingAnswers) {
    Card card;
    card.t.file("sd/a.mp4", "aaaa");
    card.t.dir("sd/d1");
    card.t.dir("sd/d2");
    const ScanOrder order = scanOrder(card.root);

    JsonReply out;
    ASSERT_EQ(card.list(card.req(card.root + "/", 1), out), 0);
    EXPECT_EQ(reason(out), "Successfully to get params");
    JsonPtr params = parameters(out);
    ASSERT_EQ(cJSON_GetArraySize(params.get()), 3);
    const cJSON* files = cJSON_GetObjectItemCaseSensitive(cJSON_GetArrayItem(params.get(), 0), "file_info");
    ASSERT_EQ(cJSON_GetArraySize(files), 1);  // the marker file is never listed
    EXPECT_STREQ(cJSON_GetObjectItemCaseSensitive(cJSON_GetArrayItem(files, 0), "name")->valuestring, "a.mp4");

    ASSERT_EQ(card.list(card.req(card.root, 0), out), 0);
    params = parameters(out);
    ASSERT_EQ(cJSON_GetArraySize(params.get()), 2);
    EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(cJSON_GetArrayItem(params.get(), 0), "dir_name")->valuestring,
              order.dirs[1]);
    EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(cJSON_GetArrayItem(params.get(), 1), "dir_name")->valuestring,
              order.dirs[0]);

    // A subfolder below the card root, also through a link that stays on the card.
    ASSERT_EQ(symlink((card.root + "/d1").c_str(), (card.root + "/d1link").c_str()), 0);
    card.t.file("sd/d1/in.mp4");
    for (const std::string& d : {card.root + "/d1", card.root + "/d2/../d1", card.root + "/d1link"}) {
        ASSERT_EQ(card.list(card.req(d, 1), out), 0) << d;
        params = parameters(out);
        files = cJSON_GetObjectItemCaseSensitive(cJSON_GetArrayItem(params.get(), 0), "file_info");
        ASSERT_EQ(cJSON_GetArraySize(files), 1) << d;
    }
}

TEST(StorageVideoDir, FailureAnswers) {
    Card card;
    card.t.dir("outside");
    card.t.file("outside/secret.txt");
    ASSERT_EQ(symlink((card.t / "outside").c_str(), (card.root + "/escape").c_str()), 0);

    JsonReply out;
    EXPECT_EQ(card.list("{nope", out), -1);
    EXPECT_EQ(reason(out), "Invalid input params");
    EXPECT_EQ(card.list(R"({"dir":")" + card.root + R"(","grade":1})", out), -1);
    EXPECT_EQ(reason(out), "Invalid input params");

    // Off the card, missing, or not a folder: "Failed to get params".
    for (const std::string& d : {card.t / "outside", card.root + "/escape", card.root + "/../outside",
                                 card.root + "/missing", card.root + "/recodefilelist.txt", std::string("/"),
                                 std::string("")}) {
        out.reset();
        EXPECT_EQ(card.list(card.req(d, 1), out), -1) << d;
        EXPECT_EQ(reason(out), "Failed to get params") << d;
    }

    // Relative names resolve against the working directory.
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    ASSERT_EQ(chdir(card.root.c_str()), 0);
    EXPECT_EQ(card.list(card.req(".", 1), out), 0);
    EXPECT_EQ(card.list(card.req("../outside", 1), out), -1);
    ASSERT_EQ(chdir(cwd), 0);

    // Without the marker nothing is listed, whatever the folder.
    ASSERT_EQ(unlink(card.marker.c_str()), 0);
    EXPECT_EQ(card.list(card.req(card.root, 1), out), -1);
    EXPECT_EQ(reason(out), "storage device not mount");
    EXPECT_EQ(card.list(card.req(card.root + "/missing", 1), out), -1);
    EXPECT_EQ(reason(out), "storage device not mount");
}

TEST(StorageVideoDir, ExactSizeOfAFiveGigabyteFile) {
    Card card;
    const std::string big = card.root + "/big.mp4";
    const int fd = open(big.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 5368709120LL), 0);  // sparse: takes no space
    close(fd);
    JsonReply out;
    ASSERT_EQ(card.list(card.req(card.root, 1), out), 0);
    EXPECT_NE(out->find("\"size\":\t5368709120,"), std::string::npos) << *out;
}
