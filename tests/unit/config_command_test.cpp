// The command runner: no shell, empty environment, /bin then /sbin, the
// exit status, and the refusals that happen before any child is created.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "config/command.h"

// Runs the command; `output`: what the runner and the program wrote to standard output.
int runCaptured(const char* cmd, std::string& output) {
    testing::internal::CaptureStdout();
    int rc = HTTP_SYSTEM_CMD(cmd);
    output = testing::internal::GetCapturedStdout();
    return rc;
}

TEST(SystemCommand, RunsWithoutShellAndReportsFailures) {
    const std::string longest = "true" + std::string(506, ' ') + "x", tooLong = longest + "y";  // 511, 512
    const std::string name25(25, 'q'), name26(26, 'q'), fail = "> fail!\n";
    const std::tuple<const char*, int, std::string> cases[] = {  // command, result, output
        {"true", 0, ""}, {"false", -1, ""}, {"test a  =   a", 0, ""}, {"   test a = a   ", 0, ""},
        {"test a  =  b", -1, ""}, {"test \"a\" = a", -1, ""},  // quotes and tabs are word characters
        {"test\ta = a", -1, "system cmd:<test\ta = a" + fail}, {"env", 0, ""},  // an empty environment
        {"echo  one   two", 0, "one two\n"}, {"echo * $HOME >x", 0, "* $HOME >x\n"},  // no shell
        {"no_such_program_here x", -1, "system cmd:<no_such_program_here x" + fail},
        {"/usr/bin/true", -1, "system cmd:</usr/bin/true" + fail},  // appended to /bin/ and /sbin/
        {nullptr, -1, "cmd NULL\n"}, {"", -1, ""}, {"     ", -1, ""}, {longest.c_str(), 0, ""},
        {tooLong.c_str(), -1, ""}, {name25.c_str(), -1, "system cmd:<" + name25 + fail}, {name26.c_str(), -1, ""}};
    std::string out;
    for (const auto& [cmd, rc, output] : cases) {
        EXPECT_EQ(rc, runCaptured(cmd, out)) << (cmd ? cmd : "null");
        EXPECT_EQ(output, out) << (cmd ? cmd : "null");
    }
    if (::access("/bin/ldconfig", X_OK) != 0 && ::access("/sbin/ldconfig", X_OK) == 0) {
        EXPECT_EQ(0, runCaptured("ldconfig --version", out));  // found in /sbin only
        EXPECT_EQ(std::string::npos, out.find("system cmd"));
    }
}

TEST(SystemCommand, WaitsForItsOwnChildOnlyAndPassesNoDescriptors) {
    pid_t other = ::fork();
    ASSERT_GE(other, 0);
    if (other == 0) { ::usleep(200 * 1000); ::_exit(7); }
    ASSERT_EQ(100, ::dup2(STDERR_FILENO, 100));  // without close-on-exec
    EXPECT_EQ(-1, HTTP_SYSTEM_CMD("test -e /proc/self/fd/100"));
    EXPECT_EQ(0, HTTP_SYSTEM_CMD("test -e /proc/self/fd/1"));
    ::close(100);
    int status = 0;
    ASSERT_EQ(other, ::waitpid(other, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7) << status;
}
