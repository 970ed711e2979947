#include "server/server_thread.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#include "accounts/sessions.h"
#include "actions/language.h"
#include "common/diag.h"
#include "common/fileio.h"
#include "common/paths.h"
#include "common/stop.h"
#include "config/cfgfile.h"
#include "dispatch/router.h"
#include "server/startup.h"
#include "web/web.h"

namespace {

bool acceptedInterface(const char* name) {
    return std::strcmp(name, "eth0") == 0 || std::strcmp(name, "eth1") == 0 ||
           std::strcmp(name, "lo") == 0;
}

// The interface's IPv4 address as dotted text; false after printing why.
bool interfaceAddress(const char* name, std::string& address) {
    fileio::Fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock.valid()) {
        ERROR_LINE("Cannot create socket errno %d\n", errno);
        return false;
    }
    struct ifreq ifr {};
    std::strncpy(ifr.ifr_name, name, sizeof ifr.ifr_name);
    ifr.ifr_name[sizeof ifr.ifr_name - 1] = '\0';
    if (::ioctl(sock.get(), SIOCGIFADDR, &ifr) < 0) {
        ERROR_LINE("Cannot ioctl SIOCGIFADDR errno %d\n", errno);
        return false;
    }
    char text[INET_ADDRSTRLEN] = {};
    const auto* sin = reinterpret_cast<const sockaddr_in*>(&ifr.ifr_addr);
    ::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text);
    address = text;
    return true;
}

// Waits about a second, ending at once when the server is told to stop.
// True when it has been told to stop.
bool pauseUnlessStopped() {
    return !stop::pause(std::chrono::seconds(1)) || web_service_finished.load() != 0;
}

// Makes sure the language record exists, writing the default one when it
// cannot be read. False when the server was told to stop before that
// succeeded.
bool ensureLanguageRecord() {
    LanguageRecord record{};
    for (;;) {
        if (http_get_cfgfile(paths::kLanguageFile, &record, sizeof record) == 0) return true;
        diag::out("ERROR :GET WEB_LANGUAGE_FILE failed!\n");
        record = LanguageRecord{};
        std::strcpy(record.page, paths::kIndexPage);
        std::strcpy(record.language, "chinese");
        if (http_set_cfgfile(paths::kLanguageFile, &record, sizeof record) == 0) return true;
        diag::out("WEB_LANGUAGE_FILE failed!\n");
        if (pauseUnlessStopped()) return false;
    }
}

void printBanner(const web::Server& server) {
    char cwd[256] = {};
    if (!::getcwd(cwd, sizeof cwd)) cwd[0] = '\0';
    // The facts of this build, handed in by the build system.
    diag::out("Configuration for %s\n", "webserver");
    diag::out("---------------------------------------------\n");
    diag::out("Version:            %s\n", WS_VERSION);
    diag::out("BuildType:          %s\n", WS_BUILD_TYPE);
    diag::out("Compiler:           %s\n", WS_COMPILER);
    diag::out("CPU:                %s\n", WS_CPU);
    diag::out("OS:                 %s\n", "linux");
    diag::out("Host:               %s\n", server.getServer().c_str());
    diag::out("Directory:          %s\n", cwd);
    diag::out("Documents:          %s\n", server.getDocuments().c_str());
    diag::out("HTTP library:       libmicrohttpd %s\n", WS_HTTP_LIBRARY_VERSION);
    diag::out("---------------------------------------------\n");
}

void serve(WebParams& params) {
    if (!acceptedInterface(params.interfaces_name)) {
        diag::out("invalid interface name:%s   edit default eth0 \n", params.interfaces_name);
        std::strcpy(params.interfaces_name, "eth0");
    }
    char endpoint[256];
    if (std::strcmp(params.interfaces_name, "lo") == 0)
        std::snprintf(endpoint, sizeof endpoint, "http://127.0.0.1:%d", params.http_port);
    else
        std::snprintf(endpoint, sizeof endpoint, "http://*:%d", params.http_port);

    web::Server server;  // closes whatever it opened when serve returns
    if (server.open(paths::kDocumentRoot, paths::kRouteFile) < 0) {
        ERROR_LINE("Cannot initialize server. Exiting.\n");
        return;
    }

    std::string address;
    if (!interfaceAddress(params.interfaces_name, address)) return;
    server.setIpAddr(address);
    server.setHost(address);

    if (!ensureLanguageRecord()) return;
    server.setIndex(paths::kIndexPage);
    printBanner(server);

    if (server.load(paths::kAuthFile) < 0) {
        ERROR_LINE("Cannot load %s\n", paths::kAuthFile);
        return;
    }
    int id = server.listen(endpoint);
    web_listen_id = id;
    web_listen_state = id < 0 ? -1 : 1;
    if (id < 0) {
        ERROR_LINE("Cannot listen %s\n", endpoint);
        return;
    }
    server.defineAction("device", dispatch::deviceAction());
    // Documents under a `session` rule need a live session (checked, not refreshed).
    server.setSessionCheck([](std::string_view id) {
        return find_saved_session(std::string(id).c_str(), "get") >= 0;
    });
    waitForLogChannel();
    // Commands run on their own thread while this one serves; it ends (its
    // running command's wait cut short) before the server closes.
    dispatch::start();
    // One plain line that says start-up worked and where to connect.
    diag::out("listening on %s/\n", endpoint);
    server.serviceEvents(web_service_finished);
    dispatch::stop();
    diag::out("Instructed to exit\n");
}

}  // namespace

void* web_service_thread(void* params) {
    if (params == nullptr) {
        ERROR_LINE("invalid web_params  web_params=null. Exiting.\n");
        return nullptr;
    }
    serve(*static_cast<WebParams*>(params));
    // Ended before listening for another reason (no interface address, ...).
    int unknown = 0;
    web_listen_state.compare_exchange_strong(unknown, -2);
    return nullptr;
}
