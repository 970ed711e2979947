#include "config/command.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/diag.h"

namespace {

constexpr size_t kMaxCommand = 511;     // characters of the whole command line
constexpr size_t kMaxProgramName = 25;  // so "/sbin/" + name fits 32 bytes

// Words separated by runs of blanks; tabs, quotes and backslashes are
// ordinary characters and nothing is expanded.
std::vector<std::string> splitWords(const char* cmd) {
    std::vector<std::string> words;
    const char* p = cmd;
    while (*p) {
        while (*p == ' ') ++p;
        const char* start = p;
        while (*p && *p != ' ') ++p;
        if (p > start) words.emplace_back(start, p);
    }
    return words;
}

}  // namespace

int HTTP_SYSTEM_CMD(const char* cmd) {
    if (cmd == nullptr) {
        diag::out("cmd NULL\n");
        return -1;
    }
    if (std::strlen(cmd) > kMaxCommand) {
        ERROR_LINE("command longer than %zu characters refused\n", kMaxCommand);
        return -1;
    }
    std::vector<std::string> words = splitWords(cmd);
    if (words.empty()) {
        ERROR_LINE("empty command refused\n");
        return -1;
    }
    if (words[0].size() > kMaxProgramName) {
        ERROR_LINE("program name %s longer than %zu characters refused\n", words[0].c_str(),
                   kMaxProgramName);
        return -1;
    }

    // Everything the child needs is prepared here, so that between fork and
    // exec it only calls async-signal-safe functions.
    const std::string binPath = "/bin/" + words[0];
    const std::string sbinPath = "/sbin/" + words[0];
    std::vector<char*> argv;
    argv.reserve(words.size() + 1);
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    char* const envp[] = {nullptr};
    char failLine[kMaxCommand + 32];
    int failLen = std::snprintf(failLine, sizeof failLine, "system cmd:<%s> fail!\n", cmd);
    if (failLen < 0) failLen = 0;
    if (static_cast<size_t>(failLen) >= sizeof failLine) failLen = sizeof failLine - 1;

    diag::flush();  // the child must not inherit lines waiting to be written
    pid_t pid = ::fork();
    if (pid < 0) {
        diag::out("vfork fail:\n");
        return -1;
    }
    if (pid == 0) {
        // The program gets none of the server's sockets and files, and the
        // default signal state.
        ::close_range(3, ~0U, 0);
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        ::sigaction(SIGPIPE, &dfl, nullptr);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);

        ::execve(binPath.c_str(), argv.data(), envp);
        ::execve(sbinPath.c_str(), argv.data(), envp);
        ssize_t ignored = ::write(STDOUT_FILENO, failLine, static_cast<size_t>(failLen));
        (void)ignored;
        ::_exit(127);
    }

    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    if (r != pid) return -1;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return 0;
    return -1;
}
