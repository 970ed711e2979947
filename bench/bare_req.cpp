// The bare IPC round trip of one forwarded command, without the web server:
// a new NN_REQ socket per request, the formatted request envelope with its
// NUL, one reply received and its "Response" printed again, socket closed.
//   bare_req URL COMMAND COUNT [WARMUP]
// Prints the latency percentiles and the throughput of COUNT sequential
// round trips. One more socket stays open for the whole run, as the web
// server keeps its log socket: otherwise nanomsg tears down and rebuilds its
// global state and worker thread on every round trip.
#include <cjson/cJSON.h>
#include <nanomsg/nn.h>
#include <nanomsg/reqrep.h>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string envelope(const char* command) {
    cJSON* root = cJSON_CreateObject();
    cJSON_AddStringToObject(root, "Command", command);
    cJSON_AddStringToObject(root, "Sender", "web_server");
    cJSON_AddStringToObject(root, "Receiver", "app_video");
    cJSON_AddNumberToObject(root, "Timestamp", static_cast<double>(std::time(nullptr)));
    char* text = cJSON_Print(root);
    std::string out = text ? text : "";
    cJSON_free(text);
    cJSON_Delete(root);
    return out;
}

// One round trip; false when anything failed.
bool roundTrip(const char* url, const char* command) {
    int sock = nn_socket(AF_SP, NN_REQ);
    if (sock < 0) return false;
    bool ok = false;
    int timeout = 3000;
    nn_setsockopt(sock, NN_SOL_SOCKET, NN_RCVTIMEO, &timeout, sizeof timeout);
    timeout = 100;
    nn_setsockopt(sock, NN_SOL_SOCKET, NN_SNDTIMEO, &timeout, sizeof timeout);
    if (nn_connect(sock, url) >= 0) {
        const std::string request = envelope(command);
        if (nn_send(sock, request.c_str(), request.size() + 1, 0) >= 0) {
            void* buf = nullptr;
            int got = nn_recv(sock, &buf, NN_MSG, 0);
            if (got > 0) {
                std::string text(static_cast<char*>(buf), static_cast<std::size_t>(got));
                nn_freemsg(buf);
                cJSON* reply = cJSON_Parse(text.c_str());
                const cJSON* response = cJSON_GetObjectItem(reply, "Response");
                if (cJSON_IsObject(response)) {
                    char* printed = cJSON_Print(response);
                    ok = printed != nullptr;
                    cJSON_free(printed);
                }
                cJSON_Delete(reply);
            }
        }
    }
    nn_close(sock);
    return ok;
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    std::size_t i = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: bare_req URL COMMAND COUNT [WARMUP]\n");
        return 2;
    }
    const char* url = argv[1];
    const char* command = argv[2];
    const int count = std::atoi(argv[3]);
    const int warmup = argc > 4 ? std::atoi(argv[4]) : 50;
    if (count <= 0) return 2;

    const int keeper = nn_socket(AF_SP, NN_REQ);
    if (keeper < 0) return 1;
    for (int i = 0; i < warmup; ++i) roundTrip(url, command);
    std::vector<double> us;
    us.reserve(static_cast<std::size_t>(count));
    int failures = 0;
    rusage before {};
    getrusage(RUSAGE_SELF, &before);
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
        const auto t0 = Clock::now();
        if (!roundTrip(url, command)) ++failures;
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    rusage after {};
    getrusage(RUSAGE_SELF, &after);
    const double switches = static_cast<double>(after.ru_nvcsw + after.ru_nivcsw -
                                                before.ru_nvcsw - before.ru_nivcsw) / count;
    auto micros = [](const timeval& t) { return t.tv_sec * 1e6 + static_cast<double>(t.tv_usec); };
    const double cpu = (micros(after.ru_utime) + micros(after.ru_stime) - micros(before.ru_utime) -
                        micros(before.ru_stime)) / count;
    std::printf("bare_req %s: n=%d failures=%d p50=%.1f us p99=%.1f us throughput=%.0f req/s "
                "switches=%.1f cpu=%.1f us\n",
                command, count, failures, percentile(us, 0.50), percentile(us, 0.99),
                count / seconds, switches, cpu);
    nn_close(keeper);
    return failures ? 1 : 0;
}
