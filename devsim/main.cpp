// devsim: plays the device's applications for the demo and the tests. It
// binds every IPC address of the protocol table, answers each request from a
// scenario file, checks passwords as "VerifyPassword", acts as the upgrade
// application and runs the log service's sink.
#include <fcntl.h>
#include <nanomsg/nn.h>
#include <nanomsg/pair.h>
#include <nanomsg/pipeline.h>
#include <nanomsg/reqrep.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/diag.h"
#include "common/fileio.h"
#include "common/json.h"
#include "common/paths.h"
#include "ipc/nn_handles.h"
#include "ipc/protocol_table.h"
#include "scenario.h"

namespace {

constexpr const char* kUsage =
    "usage: devsim [options]\n"
    "  --table PATH            protocol table to serve (default %s)\n"
    "  --scenario PATH         canned answers per command (JSON)\n"
    "  --user-file PATH        user file for VerifyPassword (default %s)\n"
    "  --upgrade-pause-ms N    pause between upgrade progress replies (default 300)\n"
    "  --upgrade-fail          the upgrade fails (at progress 50 unless --upgrade-fail-at)\n"
    "  --upgrade-fail-at N     progress value at which the upgrade fails\n"
    "  --no-log                do not bind the log sink %s\n"
    "  --log-out PATH          append each log record, one compact JSON per line\n"
    "  --log-raw-out PATH      append each log record's bytes exactly as received\n"
    "                          (each keeps its own trailing NUL, which separates them)\n"
    "  --requests-out PATH     append each request envelope, one compact JSON per line\n"
    "  --quiet                 no line per request or log record on standard output\n"
    "\n"
    "Scenario file: {\"default_response\": {...}, \"commands\": {\"Name\": {\n"
    "  \"Response\": {...}, \"delay_ms\": N, \"silent\": true, \"garbage\": true|\"text\",\n"
    "  \"wrong_command\": true|\"Name\", \"lowercase_keys\": true|\"command\"|\"response\",\n"
    "  \"response_not_object\": true|\"text\", \"no_nul\": true,\n"
    "  StartUpgrade only: \"progress\": [..], \"fail\": true, \"fail_at\": N, \"pause_ms\": N}}}\n"
    "An entry named \"Name@receiver\" answers that receiver's requests only.\n"
    "A SetX command stores its Parameters (merged over what GetX shows); GetX then\n"
    "answers them.\n";

struct Options {
    std::string table = paths::kCommandTable;
    std::string scenario;
    std::string userFile = paths::kUserFile;
    devsim::UpgradeSettings upgrade;
    bool log = true;
    std::string logOut;
    std::string logRawOut;
    std::string requestsOut;
    bool quiet = false;
};

// Set once a stop signal arrives; a pause before a reply ends at once then,
// so that the process ends promptly even while it holds a delayed answer.
class StopFlag {
public:
    void raise() {
        {
            std::lock_guard<std::mutex> guard(lock_);
            raised_ = true;
        }
        changed_.notify_all();
    }
    // Pauses `ms`; false when the stop came first.
    bool pause(int ms) {
        std::unique_lock<std::mutex> guard(lock_);
        return !changed_.wait_for(guard, std::chrono::milliseconds(ms), [this] { return raised_; });
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool raised_ = false;
};

StopFlag stopFlag;

// The socket was closed under us: the process is ending.
bool ended(int error) { return error == ETERM || error == EBADF; }

// Appends to record files; the sockets' threads share them.
class Recorder {
public:
    void append(const std::string& path, const std::string& bytes) {
        if (path.empty()) return;
        std::lock_guard<std::mutex> guard(lock_);
        fileio::Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
        if (!fd.valid()) {
            diag::err("devsim: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
            return;
        }
        fileio::writeAll(fd.get(), bytes.data(), bytes.size());
    }

private:
    std::mutex lock_;
};

// One line of JSON for a record file: the message re-printed compactly, or
// its text as a JSON string when it is not JSON.
std::string jsonLine(const std::string& text) {
    JsonPtr parsed = json::parse(text.c_str());
    std::optional<std::string> line;
    if (parsed) {
        line = json::printCompact(parsed.get());
    } else {
        JsonPtr s(cJSON_CreateString(text.c_str()));
        line = json::printCompact(s.get());
    }
    return line.value_or("null") + "\n";
}

void makeParentDirs(const std::string& url) {
    if (url.rfind("ipc://", 0) != 0) return;
    std::string path = url.substr(6);
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1))
        ::mkdir(path.substr(0, slash).c_str(), 0755);
}

bool retryable(int error) { return error == EINTR || error == EAGAIN || error == ETIMEDOUT; }

struct Endpoint {
    std::string url;
    bool pair = false;
    std::string receivers;  // for the start-up listing
};

void serveEndpoint(int sock, Endpoint endpoint, devsim::Scenario& scenario, Recorder& recorder,
                   const Options& options) {
    for (;;) {
        void* buf = nullptr;
        int got = nn_recv(sock, &buf, NN_MSG, 0);
        if (got < 0) {
            if (ended(nn_errno())) return;
            if (retryable(nn_errno())) continue;
            diag::err("devsim: receive on %s failed: %s\n", endpoint.url.c_str(),
                      nn_strerror(nn_errno()));
            return;
        }
        nn::Message message(buf);
        const std::string request = nn::textOf(buf, got);
        message.reset();

        // Recorded before any answer, so whoever reads the reply finds it there.
        recorder.append(options.requestsOut, jsonLine(request));
        devsim::Answer answer = scenario.answer(request, endpoint.pair);
        if (!options.quiet) {
            JsonPtr env = json::parse(request.c_str());
            const cJSON* cmd = cJSON_GetObjectItemCaseSensitive(env.get(), "Command");
            diag::out("devsim: %s <- %s (%zu %s)\n", endpoint.url.c_str(),
                      cJSON_IsString(cmd) ? cmd->valuestring : "?", answer.steps.size(),
                      answer.steps.size() == 1 ? "reply" : "replies");
        }
        for (const devsim::Step& step : answer.steps) {
            if (step.delay_ms > 0 && !stopFlag.pause(step.delay_ms)) return;
            if (nn_send(sock, step.bytes.data(), step.bytes.size(), 0) < 0) {
                if (ended(nn_errno())) return;
                diag::err("devsim: reply on %s not sent: %s\n", endpoint.url.c_str(),
                          nn_strerror(nn_errno()));
                break;
            }
        }
    }
}

void serveLog(int sock, Recorder& recorder, const Options& options) {
    for (;;) {
        void* buf = nullptr;
        int got = nn_recv(sock, &buf, NN_MSG, 0);
        if (got < 0) {
            if (retryable(nn_errno())) continue;
            return;  // ended (nn_term) or broken
        }
        nn::Message message(buf);
        recorder.append(options.logRawOut,
                        std::string(static_cast<const char*>(buf), static_cast<std::size_t>(got)));
        const std::string text = nn::textOf(buf, got);
        message.reset();
        const std::string line = jsonLine(text);
        recorder.append(options.logOut, line);
        if (!options.quiet) diag::out("devsim: log %s", line.c_str());
    }
}

bool parseInt(const char* text, int& out) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (!*text || *end || v < 0 || v > 86400000) return false;
    out = static_cast<int>(v);
    return true;
}

int usage(FILE* to, int status) {
    std::fprintf(to, kUsage, paths::kCommandTable, paths::kUserFile, paths::kLogAddress);
    return status;
}

// 0 parsed; otherwise the exit status.
int parseOptions(int argc, char** argv, Options& o, bool& done) {
    done = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= argc) return false;
            into = argv[++i];
            return true;
        };
        auto intValue = [&](int& into) { return i + 1 < argc && parseInt(argv[++i], into); };
        bool ok = true;
        if (a == "--help" || a == "-h") {
            done = true;
            return usage(stdout, 0);
        } else if (a == "--table") ok = value(o.table);
        else if (a == "--scenario") ok = value(o.scenario);
        else if (a == "--user-file") ok = value(o.userFile);
        else if (a == "--upgrade-pause-ms") ok = intValue(o.upgrade.pause_ms);
        else if (a == "--upgrade-fail") o.upgrade.fail = true;
        else if (a == "--upgrade-fail-at") ok = intValue(o.upgrade.fail_at) && (o.upgrade.fail = true);
        else if (a == "--no-log") o.log = false;
        else if (a == "--log-out") ok = value(o.logOut);
        else if (a == "--log-raw-out") ok = value(o.logRawOut);
        else if (a == "--requests-out") ok = value(o.requestsOut);
        else if (a == "--quiet") o.quiet = true;
        else ok = false;
        if (!ok) {
            std::fprintf(stderr, "devsim: bad option %s\n", a.c_str());
            done = true;
            return usage(stderr, 2);
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    bool done = false;
    int status = parseOptions(argc, argv, options, done);
    if (done) return status;

    devsim::Scenario scenario;
    std::string error;
    if (!scenario.load(options.scenario, error)) {
        diag::err("devsim: %s\n", error.c_str());
        return 1;
    }
    scenario.setUpgrade(options.upgrade);
    scenario.setUserFile(options.userFile);

    if (http_read_config_command_from(options.table.c_str()) != 0) {
        diag::err("devsim: cannot load the protocol table %s\n", options.table.c_str());
        return 1;
    }

    // One socket per distinct address; the upgrade application's is a PAIR.
    std::map<std::string, Endpoint> endpoints;
    for (const ProtocolGroup& g : protocol_table) {
        if (!isIpcAddress(g.ipc_url)) continue;
        Endpoint& e = endpoints[g.ipc_url];
        e.url = g.ipc_url;
        if (std::strcmp(g.receiver, "app_update") == 0) e.pair = true;
        if (e.receivers.find(g.receiver) == std::string::npos)
            e.receivers += std::string(e.receivers.empty() ? "" : ",") + g.receiver;
    }

    // Signals are taken by the main thread alone, with sigwait.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    ::mkdir("/tmp/ipc", 0755);
    Recorder recorder;
    std::vector<nn::Socket> sockets;
    std::vector<std::thread> threads;
    auto bindOrFail = [&](int protocol, const std::string& url) -> int {
        makeParentDirs(url);
        nn::Socket sock(nn_socket(AF_SP, protocol));
        if (!sock || nn_bind(sock.get(), url.c_str()) < 0) {
            diag::err("devsim: cannot bind %s: %s\n", url.c_str(), nn_strerror(nn_errno()));
            return -1;
        }
        // A reply nobody waits for any more (the server gave up) is dropped
        // rather than kept for the next client.
        int sendTimeout = 1000;
        nn_setsockopt(sock.get(), NN_SOL_SOCKET, NN_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
        int handle = sock.get();
        sockets.push_back(std::move(sock));
        return handle;
    };

    bool failed = false;
    for (const auto& [url, endpoint] : endpoints) {
        int sock = bindOrFail(endpoint.pair ? NN_PAIR : NN_REP, url);
        if (sock < 0) {
            failed = true;
            break;
        }
        diag::out("devsim: %s %s (%s)\n", endpoint.pair ? "PAIR" : "REP ", url.c_str(),
                  endpoint.receivers.c_str());
        threads.emplace_back(serveEndpoint, sock, endpoint, std::ref(scenario), std::ref(recorder),
                             std::cref(options));
    }
    if (!failed && options.log) {
        int sock = bindOrFail(NN_PULL, paths::kLogAddress);
        if (sock < 0) {
            failed = true;
        } else {
            diag::out("devsim: PULL %s (log sink)\n", paths::kLogAddress);
            threads.emplace_back(serveLog, sock, std::ref(recorder), std::cref(options));
        }
    }

    if (!failed) {
        diag::out("devsim ready\n");
        int sig = 0;
        sigwait(&stopSignals, &sig);
    }
    stopFlag.raise();
    nn_term();  // every blocked receive returns ETERM
    for (std::thread& t : threads) t.join();
    return failed ? 1 : 0;
}
