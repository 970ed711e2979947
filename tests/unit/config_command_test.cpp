#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "config/command.h"

namespace {

// Runs the command with standard output going to a temporary file and
// returns what was written there (by the runner and by the program).
int runCaptured(const char* cmd, std::string& output) {
    std::fflush(stdout);
    std::string name = ::testing::TempDir() + "cmdoutXXXXXX";
    int fd = ::mkstemp(name.data());
    EXPECT_GE(fd, 0);
    ::unlink(name.c_str());
    int saved = ::dup(STDOUT_FILENO);
    ::dup2(fd, STDOUT_FILENO);
    int rc = HTTP_SYSTEM_CMD(cmd);
    std::fflush(stdout);
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    output.clear();
    ::lseek(fd, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) output.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return rc;
}

TEST(SystemCommand, ExitStatusDecidesTheResult) {
    EXPECT_EQ(HTTP_SYSTEM_CMD("true"), 0);
    EXPECT_EQ(HTTP_SYSTEM_CMD("false"), -1);
    EXPECT_EQ(HTTP_SYSTEM_CMD("test a = a"), 0);
    EXPECT_EQ(HTTP_SYSTEM_CMD("test a = b"), -1);
}

TEST(SystemCommand, WordsAreSplitAtBlanksOnly) {
    std::string out;
    EXPECT_EQ(HTTP_SYSTEM_CMD("test a  =   a"), 0);
    EXPECT_EQ(HTTP_SYSTEM_CMD("   test a = a   "), 0);
    EXPECT_EQ(HTTP_SYSTEM_CMD("test a  =  b"), -1);
    // Quotes are ordinary characters: "a" differs from a.
    EXPECT_EQ(HTTP_SYSTEM_CMD("test \"a\" = a"), -1);
    // A tab is part of the word, so the program name is "test\ta".
    EXPECT_EQ(runCaptured("test\ta = a", out), -1);
    EXPECT_EQ(out, "system cmd:<test\ta = a> fail!\n");

    ASSERT_EQ(runCaptured("echo  one   two", out), 0);
    EXPECT_EQ(out, "one two\n");
    // No shell: no wildcard expansion, no variables, no redirection.
    ASSERT_EQ(runCaptured("echo * $HOME >x", out), 0);
    EXPECT_EQ(out, "* $HOME >x\n");
}

TEST(SystemCommand, ProgramRunsWithEmptyEnvironment) {
    ASSERT_EQ(::setenv("WS_COMMAND_TEST", "1", 1), 0);
    std::string out;
    ASSERT_EQ(runCaptured("env", out), 0);
    EXPECT_EQ(out, "");
}

TEST(SystemCommand, SearchesBinThenSbinOnly) {
    std::string out;
    if (::access("/bin/ldconfig", X_OK) == 0 || ::access("/sbin/ldconfig", X_OK) != 0)
        GTEST_SKIP() << "needs a program that is in /sbin only";
    EXPECT_EQ(runCaptured("ldconfig --version", out), 0);
    EXPECT_EQ(out.find("system cmd"), std::string::npos);

    EXPECT_EQ(runCaptured("no_such_program_here x", out), -1);
    EXPECT_EQ(out, "system cmd:<no_such_program_here x> fail!\n");
    // A path is appended to both folders, so absolute names do not run.
    EXPECT_EQ(runCaptured("/usr/bin/true", out), -1);
    EXPECT_EQ(out, "system cmd:</usr/bin/true> fail!\n");
}

TEST(SystemCommand, RefusesBadCommandsBeforeCreatingAChild) {
    std::string out;
    EXPECT_EQ(runCaptured(nullptr, out), -1);
    EXPECT_EQ(out, "cmd NULL\n");
    EXPECT_EQ(runCaptured("", out), -1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(runCaptured("     ", out), -1);
    EXPECT_EQ(out, "");

    // 511 characters are accepted, 512 are not.
    std::string longest = "true" + std::string(506, ' ') + "x";
    ASSERT_EQ(longest.size(), 511u);
    EXPECT_EQ(HTTP_SYSTEM_CMD(longest.c_str()), 0);
    std::string tooLong = longest + "y";
    EXPECT_EQ(runCaptured(tooLong.c_str(), out), -1);
    EXPECT_EQ(out, "");

    // A program name of 25 characters is tried (and not found); one of 26
    // is refused without a child, so nothing is printed.
    std::string name25(25, 'q');
    EXPECT_EQ(runCaptured(name25.c_str(), out), -1);
    EXPECT_EQ(out, "system cmd:<" + name25 + "> fail!\n");
    std::string name26(26, 'q');
    EXPECT_EQ(runCaptured(name26.c_str(), out), -1);
    EXPECT_EQ(out, "");
}

TEST(SystemCommand, WaitsForItsOwnChildOnly) {
    pid_t other = ::fork();
    ASSERT_GE(other, 0);
    if (other == 0) {
        ::usleep(200 * 1000);
        ::_exit(7);
    }
    EXPECT_EQ(HTTP_SYSTEM_CMD("true"), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(other, &status, 0), other);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
}

TEST(SystemCommand, ProgramGetsNoInheritedDescriptors) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::dup2(fds[1], 100), 100);  // without close-on-exec
    EXPECT_EQ(HTTP_SYSTEM_CMD("test -e /proc/self/fd/100"), -1);
    EXPECT_EQ(HTTP_SYSTEM_CMD("test -e /proc/self/fd/1"), 0);
    ::close(100);
    ::close(fds[0]);
    ::close(fds[1]);
}

}  // namespace
