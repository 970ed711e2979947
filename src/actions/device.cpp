#include "actions/device.h"

#include <chrono>

#include "common/diag.h"
#include "common/envelope.h"
#include "common/stop.h"
#include "config/cfgfile.h"
#include "config/command.h"

int actionSetDeviceReboot(const char* /*body*/, JsonReply& /*out*/) {
    // The results are not looked at: each step is tried whatever the last
    // one did, and the process normally ends with the device. A server told
    // to stop during a pause skips the rest.
    HTTP_SYSTEM_CMD("sync");
    if (!stop::pause(std::chrono::seconds(8))) return 0;
    diag::out("\n"
              "_________________________________________________________________\n"
              "|                Device Start Restart <system>                  |\n"
              "|_______________________________________________________________|\n");
    HTTP_SYSTEM_CMD("reboot");
    if (!stop::pause(std::chrono::seconds(3))) return 0;
    HTTP_SYSTEM_CMD("reboot");
    return 0;
}

int actionGetDeviceCap(const char* path, const char* /*body*/, JsonReply& out) {
    if (!path) {
        ERROR_LINE("Invalid input params\n");
        formatFailCallJSON(out, "Invalid input params");
        return -1;
    }
    std::optional<std::string> text = http_get_datafile(path);
    if (!text || text->empty()) {
        DEBUG_LINE("open %s failed use default para\n", path);
        formatFailCallJSON(out, "Failed to get params");
        return -1;
    }
    formatParamsJSON(out, "Successfully to get params", std::move(*text));
    return 0;
}
