// The protocol table reader and the two look-ups over it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "ipc/exchange.h"
#include "ipc/protocol_table.h"

namespace {

class ProtocolTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = ::testing::TempDir() + "ipc_table_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        clear_protocol_table();
    }
    void TearDown() override {
        clear_protocol_table();
        std::remove(path().c_str());
        rmdir(dir_.c_str());
    }
    std::string path() const { return dir_ + "/command_para"; }

    int load(const std::string& content) {
        std::ofstream(path(), std::ios::binary) << content;
        return http_read_config_command_from(path().c_str());
    }
    // Loads and captures the error output, to see which line was refused.
    int loadCapturing(const std::string& content, std::string& errors) {
        ::testing::internal::CaptureStderr();
        int rc = load(content);
        errors = ::testing::internal::GetCapturedStderr();
        return rc;
    }

    std::string dir_;
};

std::string cap(const char* name) {
    char path[128] = "untouched";
    if (!http_capability_protocol_matching(name, path)) return "<none>";
    return path;
}

// A found command leaves 1; only the count of matches is looked at here, so
// groups have no IPC URL and no socket is opened.
int forwardMatches(const char* name) {
    int sock = 0, index = -1;
    char receiver[32] = {};
    return http_protocol_matching(name, &sock, receiver, &index, nullptr);
}

TEST_F(ProtocolTableTest, ReadsGroupsCommandsUrlsAndCapabilityPaths) {
    ASSERT_EQ(load("# device commands\n"
                   "GetA app_video ipc:///tmp/ipc/app_video\n"
                   "SetA   app_video   ipc:///tmp/ipc/app_video   ignored extra\n"
                   "\n"
                   "GetCap device_cap /mnt/app/web_root/config/capabilities/dev.json\n"
                   "StartUpgrade app_update ipc:///tmp/ipc/app_update\n"),
              0);
    EXPECT_STREQ(protocol_table[0].receiver, "app_video");
    EXPECT_STREQ(protocol_table[0].commands[0], "GetA");
    EXPECT_STREQ(protocol_table[0].commands[1], "SetA");
    EXPECT_STREQ(protocol_table[0].commands[2], "");
    EXPECT_STREQ(protocol_table[0].ipc_url, "ipc:///tmp/ipc/app_video");
    EXPECT_STREQ(protocol_table[0].cap_paths[1], "");
    EXPECT_STREQ(protocol_table[1].receiver, "device_cap");
    EXPECT_STREQ(protocol_table[1].cap_paths[0], "/mnt/app/web_root/config/capabilities/dev.json");
    EXPECT_STREQ(protocol_table[1].ipc_url, "");
    EXPECT_STREQ(protocol_table[2].receiver, "app_update");
    EXPECT_STREQ(protocol_table[3].receiver, "");
    for (const ProtocolGroup& g : protocol_table) EXPECT_EQ(g.socket, -1);
}

TEST_F(ProtocolTableTest, MissingFileIsMinusSeven) {
    std::string errors;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(http_read_config_command_from((dir_ + "/none").c_str()), -7);
    errors = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(errors.find(" open file[" + dir_ + "/none] failed!\n"), std::string::npos);
}

TEST_F(ProtocolTableTest, LayoutVariantsReadTheSame) {
    // CR line endings, tabs around fields, blank and short lines, a blank
    // line inside a group, comments only with '#' first.
    ASSERT_EQ(load("#c\r\n"
                   "ab\n"
                   "   \n"
                   "GetA\t app_a \tipc:///tmp/a\r\n"
                   "\r\n"
                   "GetB app_a ipc:///tmp/a\t\r\n"
                   "GetC\t app_b /cap/c.json\r\n"),
              0);
    EXPECT_STREQ(protocol_table[0].commands[1], "GetB");
    EXPECT_STREQ(protocol_table[0].ipc_url, "ipc:///tmp/a");
    EXPECT_STREQ(protocol_table[1].commands[0], "GetC");
    EXPECT_STREQ(protocol_table[1].cap_paths[0], "/cap/c.json");

    clear_protocol_table();
    // A '#' that is not the first character does not make a comment.
    ASSERT_EQ(load(" #x app_a ipc:///tmp/a\n"), 0);
    EXPECT_STREQ(protocol_table[0].commands[0], "#x");

    clear_protocol_table();
    ASSERT_EQ(load("# only a comment\n\nxy\n"), 0);
    EXPECT_STREQ(protocol_table[0].receiver, "");
    EXPECT_EQ(forwardMatches("xy"), 0);
}

TEST_F(ProtocolTableTest, ReceiverAgainLaterStartsItsOwnGroup) {
    ASSERT_EQ(load("GetA app_a ipc:///tmp/a\n"
                   "GetB app_b ipc:///tmp/b\n"
                   "GetA2 app_a /not/a/url\n"),
              0);
    EXPECT_STREQ(protocol_table[2].receiver, "app_a");
    EXPECT_STREQ(protocol_table[2].commands[0], "GetA2");
    EXPECT_STREQ(protocol_table[2].ipc_url, "");
    EXPECT_STREQ(protocol_table[2].cap_paths[0], "/not/a/url");
    // Within a group the last "ipc" target wins.
    clear_protocol_table();
    ASSERT_EQ(load("GetA app_a ipc:///tmp/one\nGetB app_a ipc:///tmp/two\nGetC app_a\n"), 0);
    EXPECT_STREQ(protocol_table[0].ipc_url, "ipc:///tmp/two");
}

TEST_F(ProtocolTableTest, SixtyFourCommandsAndSixteenGroupsFitOneMoreFails) {
    std::string group;
    for (int i = 0; i < kGroupCommands; ++i) group += "Cmd" + std::to_string(i) + " app_x ipc:///x\n";
    ASSERT_EQ(load(group), 0);
    EXPECT_STREQ(protocol_table[0].commands[63], "Cmd63");

    std::string errors;
    clear_protocol_table();
    EXPECT_EQ(loadCapturing(group + "Cmd64 app_x ipc:///x\n", errors), -1);
    EXPECT_NE(errors.find("max protocol num 64 \n"), std::string::npos);

    std::string groups;
    for (int g = 0; g < kProtocolGroups; ++g) groups += "Cmd app_" + std::to_string(g) + " ipc:///x\n";
    clear_protocol_table();
    ASSERT_EQ(load(groups), 0);
    EXPECT_STREQ(protocol_table[15].receiver, "app_15");

    clear_protocol_table();
    EXPECT_EQ(loadCapturing(groups + "Cmd app_16 ipc:///x\n", errors), -1);
    EXPECT_NE(errors.find("max protocol num 16 \n"), std::string::npos);
}

TEST_F(ProtocolTableTest, MalformedLinesAreRefusedNamingFileAndLine) {
    const std::string longName(64, 'C');
    const std::string longReceiver(32, 'r');
    const std::string longPath = "/" + std::string(127, 'p');
    const std::string longLine = "GetA app_a /" + std::string(244, 'p');  // 256 characters
    struct Case {
        const char* what;
        std::string line;
        const char* reason;
    } cases[] = {
        {"command over 63", longName + " app_a ipc:///a", "command name longer than 63"},
        {"receiver over 31", "GetA " + longReceiver + " ipc:///a", "receiver name longer than 31"},
        {"capability path over 127", "GetA device_cap " + longPath,
         "capability path longer than 127"},
        {"line over 255", longLine, "line longer than 255"},
        {"one field", "GetAlone", "line has no receiver name"},
        {"one field and blanks", "GetAlone  \t ", "line has no receiver name"},
        {"empty command", "\t app_a ipc:///a", "line has an empty command name"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        clear_protocol_table();
        std::string errors;
        EXPECT_EQ(loadCapturing("# header\nGetOk app_a ipc:///a\n" + c.line + "\nGetLater app_b ipc:///b\n",
                                errors),
                  -1);
        EXPECT_NE(errors.find(path() + ":3: " + c.reason), std::string::npos) << errors;
        // Nothing of a refused table stays behind to route commands.
        EXPECT_STREQ(protocol_table[0].commands[0], "");
        EXPECT_EQ(forwardMatches("GetOk"), 0);
    }

    // The limits themselves are accepted: a 255-character line whose fields
    // each just fit.
    clear_protocol_table();
    std::string fitLine = std::string(63, 'C') + " " + std::string(31, 'r') + " /" +
                          std::string(126, 'p') + " extra";
    fitLine += std::string(255 - fitLine.size(), ' ');
    ASSERT_EQ(load(fitLine + "\n"), 0);
    EXPECT_EQ(std::strlen(protocol_table[0].commands[0]), 63u);
    EXPECT_EQ(std::strlen(protocol_table[0].receiver), 31u);
    EXPECT_EQ(std::strlen(protocol_table[0].cap_paths[0]), 127u);
    clear_protocol_table();
    const std::string longUrl = "ipc://" + std::string(240, 'u');
    ASSERT_EQ(load("GetA a " + longUrl + "\n"), 0);
    EXPECT_EQ(protocol_table[0].ipc_url, longUrl);
}

TEST_F(ProtocolTableTest, TraceLinesOfTheReader) {
    ::testing::internal::CaptureStdout();
    std::string errors;
    ASSERT_EQ(loadCapturing("GetA app_a ipc:///tmp/a\n", errors), 0);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(errors.find("###start  GetA app_a ipc:///tmp/a \n"), std::string::npos);
    EXPECT_NE(errors.find("###end  GetA \n"), std::string::npos);
    for (const char* line : {"command GetA \n", "receiver_name app_a \n", "sum=0 command_sum=0\n",
                             "ipc_url ipc:///tmp/a\n", "cap_path \n"})
        EXPECT_NE(out.find(line), std::string::npos) << line;
}

TEST_F(ProtocolTableTest, StrTrimRemovesAllWhiteSpaceKinds) {
    char text[] = " \t\r\n\v\fmid dle \t\r\n\v\f";
    str_trim(text);
    EXPECT_STREQ(text, "mid dle");
    char empty[] = " \t ";
    str_trim(empty);
    EXPECT_STREQ(empty, "");
}

TEST_F(ProtocolTableTest, CapabilityMatchingIsExactAndOnlyForDeviceCap) {
    ASSERT_EQ(load("GetX device_cap /path/x.json\n"
                   "GetY app_a /path/y.json\n"
                   "GetZ device_cap /path/z.json\n"),
              0);
    EXPECT_EQ(cap("GetX"), "/path/x.json");
    EXPECT_EQ(cap("GetZ"), "/path/z.json");
    EXPECT_EQ(cap("getX"), "<none>");
    EXPECT_EQ(cap("Get"), "<none>");
    EXPECT_EQ(cap("GetXX"), "<none>");
    EXPECT_EQ(cap("GetY"), "<none>");  // not a capability group
    EXPECT_EQ(cap(""), "<none>");      // empty slots never match
    // The forwarding look-up never finds a capability command.
    EXPECT_EQ(forwardMatches("GetX"), 0);
}

TEST_F(ProtocolTableTest, ForwardMatchingIsExactAndSkipsEmptyNames) {
    ASSERT_EQ(load("GetX app_a\n"), 0);  // found, but no IPC URL: no socket
    int sock = 7, index = -1;
    char receiver[32] = {};
    EXPECT_EQ(http_protocol_matching("GetX", &sock, receiver, &index, nullptr), 1);
    EXPECT_EQ(sock, -1);
    EXPECT_EQ(index, 0);
    EXPECT_STREQ(receiver, "app_a");
    EXPECT_EQ(forwardMatches("getX"), 0);
    EXPECT_EQ(forwardMatches("Get"), 0);
    EXPECT_EQ(forwardMatches(""), 0);
    EXPECT_EQ(forwardMatches(nullptr), 0);
}

}  // namespace
