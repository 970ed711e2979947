#include "actions/webport.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "common/diag.h"
#include "common/envelope.h"
#include "common/fileio.h"
#include "common/json_params.h"
#include "common/paths.h"
#include "config/cfgfile.h"

namespace {

constexpr int kDefaultPort = 80;

bool validPort(int port) {
    return port >= 1 && port <= 65535;
}

bool allZeroHex(const char* text) {
    for (; *text; ++text)
        if (*text != '0') return false;
    return true;
}

enum class Scan { Read, Missing, Failed };

// Scans one socket table of /proc/net (tcp, tcp6, udp, udp6). Sets `found`
// when a listening TCP socket (state 0A) or an unconnected UDP socket is
// bound to `port` - the sockets "netstat -tuln" lists.
Scan scanSocketTable(const char* path, bool udp, int port, bool& found) {
    fileio::FilePtr f(std::fopen(path, "re"));
    if (!f) return errno == ENOENT ? Scan::Missing : Scan::Failed;
    auto finished = [&] { return std::ferror(f.get()) ? Scan::Failed : Scan::Read; };
    char line[512];
    if (!std::fgets(line, sizeof line, f.get())) return finished();  // header
    while (std::fgets(line, sizeof line, f.get())) {
        char localAddr[65] = {};
        char remoteAddr[65] = {};
        unsigned localPort = 0;
        unsigned remotePort = 0;
        unsigned state = 0;
        if (std::sscanf(line, " %*d: %64[0-9A-Fa-f]:%x %64[0-9A-Fa-f]:%x %x", localAddr, &localPort,
                        remoteAddr, &remotePort, &state) != 5)
            continue;
        if (static_cast<int>(localPort) != port) continue;
        if (udp ? allZeroHex(remoteAddr) : state == 0x0A) {
            found = true;
            return Scan::Read;
        }
    }
    return finished();
}

// 1 in use, 0 free, -1 when a socket table could not be read. The IPv6
// tables may be missing (a kernel without IPv6); the IPv4 ones may not.
int probePort(int port) {
    static const struct {
        const char* path;
        bool udp;
        bool optional;
    } tables[] = {
        {"/proc/net/tcp", false, false},
        {"/proc/net/tcp6", false, true},
        {"/proc/net/udp", true, false},
        {"/proc/net/udp6", true, true},
    };
    bool found = false;
    for (const auto& t : tables) {
        Scan scan = scanSocketTable(t.path, t.udp, port, found);
        if (found) return 1;
        if (scan == Scan::Failed || (scan == Scan::Missing && !t.optional)) return -1;
    }
    return 0;
}

// {"Port": port} as the whole parameter file; 0, or -1 after the error line.
int writePortFile(const char* file, int port) {
    JsonReply text;
    int rc = formatPortParamJSON(text, port);
    if (rc != 0 || !text) {
        ERROR_LINE_AS("actionSetPortParam", "Set http port Fail : %d\n", rc);
        return -1;
    }
    if (http_set_jsoncfgfile(file, text->c_str()) != 0) {
        ERROR_LINE_AS("actionSetPortParam", "Set http port Fail!\n");
        return -1;
    }
    return 0;
}

// `usable`, when given, must accept a new port before it is stored.
int setPortParam(const char* file, const char* body, JsonReply& out, int* port, bool (*usable)(int)) {
    int wanted = 0;
    if (getPortFormatFromJSON(body, &wanted) != 0) {
        formatFailCallJSON(out, "Failed to set params");
        return -1;
    }
    if (!validPort(wanted)) {
        ERROR_LINE_AS("actionSetPortParam", "port %d out of range 1..65535\n", wanted);
        formatFailCallJSON(out, "Failed to set params");
        return -1;
    }
    // A port another program holds would leave the device without a web
    // server, now and after every restart: it is tried first. The port the
    // server already has is ours and needs no try.
    if (usable && !(port && *port == wanted) && !usable(wanted)) {
        formatFailCallJSON(out, "Failed to set params");
        return -1;
    }
    if (writePortFile(file, wanted) != 0) {
        formatFailCallJSON(out, "Failed to set params");
        return -1;
    }
    if (port) *port = wanted;
    formatSuccessCallJSON(out, "Successfully to set params");
    return 0;
}

}  // namespace

int getPortFormatFromJSON(const char* text, int* port) {
    RequestReader in(__func__);
    if (const int rc = in.open(text, port != nullptr, "Invalid params!\n")) return rc;
    // Keys are matched exactly: "port" is not "Port".
    const cJSON* item = cJSON_GetObjectItemCaseSensitive(in.root(), "Port");
    if (!json::isNumberOrTrue(item)) {
        ERROR_LINE("%s is empty or error value type : %d\n", "Port", json::typeCode(item));
        return -2;
    }
    *port = json::intValue(item);
    return 0;
}

int formatPortParamJSON(JsonReply& out, int port) {
    JsonPtr obj(cJSON_CreateObject());
    if (!obj || !cJSON_AddNumberToObject(obj.get(), "Port", port == -1 ? kDefaultPort : port))
        return reply::outOfMemory(__func__);
    return reply::print(__func__, obj.get(), out);
}

int actionGetPortParam(const char* body, JsonReply& out, int* port) {
    return actionGetPortParamAt(paths::kWebServerParamFile, body, out, port);
}

bool portCanBeBound(int port) {
    if (!validPort(port)) return false;
    fileio::Fd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock.valid()) return false;
    // The listener sets SO_REUSEADDR too, so connections of an earlier
    // listener still in TIME_WAIT do not count as the port being taken.
    int one = 1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(sock.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        ERROR_LINE("port %d cannot be bound errno=%d(%s)\n", port, errno, std::strerror(errno));
        return false;
    }
    return true;
}

int storeWebPort(int port) {
    return writePortFile(paths::kWebServerParamFile, port);
}

int actionGetPortParamAt(const char* file, const char* /*body*/, JsonReply& out, int* port) {
    std::optional<std::string> text = http_get_datafile(file);
    if (!text) {
        JsonReply def;
        int rc = formatPortParamJSON(def, -1);
        if (rc != 0 || !def) {
            ERROR_LINE("Get http port Fail : %d\n", rc);
            formatFailCallJSON(out, "Failed to get params");
            return -1;
        }
        http_set_jsoncfgfile(file, def->c_str());
        text = std::move(def);
    }

    std::optional<std::string> again = http_get_datafile(file);
    int stored = -1;
    if (getPortFormatFromJSON(again ? again->c_str() : nullptr, &stored) != 0) {
        formatFailCallJSON(out, "Failed to get params");
        return -1;
    }
    // A port no listener can use is not offered; the caller keeps its own.
    if (validPort(stored)) {
        if (port) *port = stored;
    } else {
        ERROR_LINE("stored port %d is not a usable port, ignored\n", stored);
    }
    formatParamsJSON(out, "Successfully to get params", std::move(*text));
    return 0;
}

int actionSetPortParamAt(const char* file, const char* body, JsonReply& out, int* port) {
    return setPortParam(file, body, out, port, nullptr);
}

int actionSetPortParam(const char* body, JsonReply& out, int* port) {
    return setPortParam(paths::kWebServerParamFile, body, out, port, portCanBeBound);
}

int actionGetPortStatus(const char* body, JsonReply& out) {
    int wanted = 0;
    if (getPortFormatFromJSON(body, &wanted) != 0) {
        formatFailCallJSON(out, "Failed to get params");
        return -1;
    }
    if (!validPort(wanted)) {
        ERROR_LINE("port %d out of range 1..65535\n", wanted);
        formatFailCallJSON(out, "Failed to get params");
        return -1;
    }
    int state = probePort(wanted);
    if (state < 0) {
        ERROR_LINE("http port probe Fail!\n");
        formatFailCallJSON(out, "Failed to get params");
        return -1;
    }
    if (state > 0) {
        ERROR_LINE("http port in use\n");
        formatFailCallJSON(out, "http port in use");
        return -1;
    }
    formatSuccessCallJSON(out, "Port available");
    return 0;
}
