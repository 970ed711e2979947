// The protocol table reader and the two look-ups over it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "ipc/exchange.h"
#include "ipc/protocol_table.h"
#include "storage_testdir.h"

class ProtocolTableTest : public ::testing::Test {
protected:
    void TearDown() override { clear_protocol_table(); }
    int load(const std::string& content) {  // loads `content` afresh
        clear_protocol_table();
        t.file("command_para", content);
        return http_read_config_command_from(path.c_str());
    }
    TestDir t;
    const std::string path = t / "command_para";
};

std::string cap(const char* name) {
    char path[128] = "untouched";
    return http_capability_protocol_matching(name, path) ? path : "<none>";
}

// Only the found count matters here: groups have no IPC URL, so no socket opens.
int forwardMatches(const char* name) {
    int sock = 0, index = -1;
    char receiver[32] = {};
    return http_protocol_matching(name, &sock, receiver, &index, nullptr);
}

TEST_F(ProtocolTableTest, ReadsGroupsAcrossLayoutVariants) {
    // Comments only with '#' first, CR endings, tabs, blank and short lines, extra fields, a blank line inside a group.
    ASSERT_EQ(load("# device commands\r\n"
                   "ab\n"
                   "   \n"
                   "GetA\t app_video \tipc:///tmp/ipc/app_video\r\n"
                   "\r\n"
                   "SetA   app_video   ipc:///tmp/ipc/app_video   ignored extra\t\r\n"
                   "GetCap device_cap /mnt/app/web_root/config/capabilities/dev.json\n"
                   " #x app_update ipc:///tmp/ipc/app_update\n"),
              0);
    const ProtocolGroup* g = protocol_table;
    const std::vector<std::string> got = {g[0].receiver,  g[0].commands[0],  g[0].commands[1], g[0].commands[2],
                                          g[0].ipc_url,   g[0].cap_paths[1], g[1].receiver,    g[1].cap_paths[0],
                                          g[1].ipc_url,   g[2].commands[0],  g[3].receiver};
    EXPECT_EQ(got, (std::vector<std::string>{"app_video", "GetA", "SetA", "", "ipc:///tmp/ipc/app_video", "",
                                             "device_cap", "/mnt/app/web_root/config/capabilities/dev.json", "",
                                             "#x", ""}));
    for (const ProtocolGroup& group : protocol_table) EXPECT_EQ(group.socket(), -1);
    EXPECT_EQ(http_read_config_command_from((path + ".none").c_str()), -7);
}

TEST_F(ProtocolTableTest, SixtyFourCommandsAndSixteenGroupsFitOneMoreFails) {
    std::string group, groups;
    for (int i = 0; i < kGroupCommands; ++i) group += "Cmd" + std::to_string(i) + " app_x ipc:///x\n";
    for (int g = 0; g < kProtocolGroups; ++g) groups += "Cmd app_" + std::to_string(g) + " ipc:///x\n";
    ASSERT_EQ(load(group), 0);
    EXPECT_STREQ(protocol_table[0].commands[63], "Cmd63");
    EXPECT_EQ(load(group + "Cmd64 app_x ipc:///x\n"), -1);
    ASSERT_EQ(load(groups), 0);
    EXPECT_STREQ(protocol_table[15].receiver, "app_15");
    EXPECT_EQ(load(groups + "Cmd app_16 ipc:///x\n"), -1);
}

TEST_F(ProtocolTableTest, MalformedLinesAreRefused) {
    const std::string cases[] = {
        std::string(64, 'C') + " app_a ipc:///a", "GetA " + std::string(32, 'r') + " ipc:///a",
        "GetA device_cap /" + std::string(127, 'p'), "GetA app_a /" + std::string(244, 'p'),  // 256 characters
        "GetAlone", "GetAlone  \t ", "\t app_a ipc:///a",
    };
    for (const auto& line : cases) {
        SCOPED_TRACE(line);
        EXPECT_EQ(load("# header\nGetOk app_a ipc:///a\n" + line + "\nGetLater app_b ipc:///b\n"), -1);
        // Nothing of a refused table stays behind to route commands.
        EXPECT_STREQ(protocol_table[0].commands[0], "");
        EXPECT_EQ(forwardMatches("GetOk"), 0);
    }
    // The limits themselves fit: a 255-character line whose fields just fit.
    std::string fitLine = std::string(63, 'C') + " " + std::string(31, 'r') + " /" + std::string(126, 'p') + " extra";
    fitLine += std::string(255 - fitLine.size(), ' ');
    ASSERT_EQ(load(fitLine + "\n"), 0);
    EXPECT_EQ(std::tuple(std::strlen(protocol_table[0].commands[0]), std::strlen(protocol_table[0].receiver),
                         std::strlen(protocol_table[0].cap_paths[0])), std::tuple(63u, 31u, 127u));
    const std::string longUrl = "ipc://" + std::string(240, 'u');
    ASSERT_EQ(load("GetA a " + longUrl + "\n"), 0);
    EXPECT_EQ(protocol_table[0].ipc_url, longUrl);
}

TEST_F(ProtocolTableTest, MatchersAreExactAndNeverMatchEmptyNames) {
    ASSERT_EQ(load("GetX device_cap /path/x.json\nGetY app_a\nGetZ device_cap /path/z.json\n"), 0);
    EXPECT_EQ(cap("GetX") + " " + cap("GetZ"), "/path/x.json /path/z.json");
    for (const char* miss : {"getX", "Get", "GetXX", "GetY", ""}) EXPECT_EQ(cap(miss), "<none>") << miss;
    EXPECT_EQ(forwardMatches("GetX"), 0);  // capability commands are never forwarded

    int sock = 7, index = -1;
    char receiver[32] = {};
    EXPECT_EQ(http_protocol_matching("GetY", &sock, receiver, &index, nullptr), 1);
    // Found, but no IPC URL: no socket.
    EXPECT_EQ(std::tuple(sock, index, std::string(receiver)), std::tuple(-1, 1, "app_a"));
    for (const char* miss : {"getY", "Get", "", static_cast<const char*>(nullptr)}) EXPECT_EQ(forwardMatches(miss), 0);
}
