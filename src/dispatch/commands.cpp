#include "dispatch/commands.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "actions/device.h"
#include "actions/language.h"
#include "actions/localtime.h"
#include "actions/login.h"
#include "actions/upgrade.h"
#include "actions/userparam.h"
#include "actions/webport.h"
#include "common/diag.h"
#include "dispatch/verify.h"
#include "ipc/exchange.h"
#include "ipc/protocol_table.h"
#include "storage/deletefile.h"
#include "storage/videodir.h"

namespace dispatch {
namespace {

std::mutex portMutex;
PortControl portControl;

// A command answered from the server's own state and files.
template <int (*Action)(const char*, JsonReply&)>
CommandResult local(Call& c) {
    CommandResult r;
    r.code = Action(c.in_json.c_str(), r.reply);
    return r;
}

CommandResult succeed(Call&) {
    return {};
}

CommandResult login(Call& c) {
    const bool url = c.urlCredentials;
    return runLogin(url ? &*c.q.username : nullptr, url ? &*c.q.password : nullptr, c.in_json,
                     throttledVerifier(c.client));
}

CommandResult getPort(Call& c) {
    CommandResult r;
    int port = 80;
    r.code = actionGetPortParam(c.in_json.c_str(), r.reply, &port);
    return r;
}

CommandResult setPort(Call& c) {
    PortControl control;
    {
        std::lock_guard<std::mutex> lock(portMutex);
        control = portControl;
    }
    CommandResult r;
    int port = control.current ? control.current() : 80;
    r.code = actionSetPortParam(c.in_json.c_str(), r.reply, &port);
    // The server moves to the new port once this answer is out.
    if (control.change) control.change(port);
    return r;
}

CommandResult uploadImage(Call& c) {
    return upload_Image(c.q.fileName, c.upload ? &*c.upload : nullptr, defaultUploadFolders());
}

CommandResult uploadEdid(Call& c) {
    return upload_edid(c.q.fileName, c.upload ? &*c.upload : nullptr, defaultUploadFolders());
}

CommandResult selectEdid(Call& c) {
    return SetHdmiEdidParameters(c.q.edidfile, defaultUploadFolders());
}

CommandResult readEdid(Call&) {
    return GetHdmiEdidParameters(defaultUploadFolders());
}

// A command listed in a capability file is answered with the file.
CommandResult capability(Call& c, const char* path) {
    CommandResult r;
    r.code = actionGetDeviceCap(path, c.in_json.c_str(), r.reply);
    return r;
}

// A command of a capability file is answered with the file; any other is
// handed to the device application(s) owning it. StartUpgrade
// to the upgrade application first stores the image and sends its path.
CommandResult forward(Call& c) {
    CommandResult r;
    char reason[128] = {};
    char path[128] = {};
    if (http_capability_protocol_matching(c.action.c_str(), path)) return capability(c, path);
    int socket = -1;
    int index = -1;
    char receiver[32] = {};
    if (!http_protocol_matching(c.action.c_str(), &socket, receiver, &index, c.in_json.c_str())) {
        // snprintf cuts a long action name so the reason fits its 127 characters.
        std::snprintf(reason, sizeof reason, "%s :%s",
                      "The server does not support this protocol", c.action.c_str());
        ERROR_LINE("web server not support this protocol! :%s\n", reason);
        r.code = 501;
        r.reason = reason;
        return r;
    }
    const std::string* parameters = &c.in_json;
    JsonReply image;
    if (std::strcmp(receiver, "app_update") == 0 && c.action == "StartUpgrade") {
        DEBUG_LINE("app_update -----------------------------StartUpgrade\n");
        image = http_upgrade_save_file(c.body, c.bodyFile);
        if (!image) {
            ERROR_LINE("upgrade wirte fail \n");
            http_msg_socket_close(index);
            r.code = 550;
            r.reason = "upgrade wirte fail";
            r.refreshSession = false;
            return r;
        }
        parameters = &*image;
    }
    r.code = http_send_and_recv_app_codec(c.action.c_str(), reason, parameters->c_str(), r.reply,
                                          socket, receiver);
    http_msg_socket_close(index);
    r.reason = reason;
    return r;
}

using G = Gate;
// clang-format off
const Command kCommands[] = {
    // name                     gate                 immediate logged url   handler
    {"login",                   G::None,             false, true,  true,  login},
    {"logout",                  G::None,             false, true,  true,  local<actionLogOut>},
    {"get_Language_Format",     G::None,             false, true,  true,  local<actionGetLanguageFormat>},
    {"set_Language_Format",     G::None,             false, true,  true,  local<actionSetLanguageFormat>},
    {"detection_sessionid",     G::SessionChecked,   true,  false, true,  succeed},
    {"set_login_time",          G::SessionRefreshed, true,  false, false, succeed},
    {"upload_Image",            G::UploadCredentials, false, false, true, uploadImage},
    {"upload_edid",             G::UploadCredentials, false, false, true, uploadEdid},
    {"SetHdmiEdidParameters",   G::UploadCredentials, false, false, true, selectEdid},
    {"GetHdmiEdidParameters",   G::UploadCredentials, false, false, true, readEdid},
    {"set_device_reboot",       G::SessionByName,    false, true,  true,  local<actionSetDeviceReboot>},
    {"set_user_param",          G::SessionByName,    false, true,  true,  local<actionSetUserParam>},
    {"get_user_param",          G::SessionByName,    false, true,  true,  local<actionGetUserParam>},
    {"get_device_localtime",    G::SessionByName,    false, true,  true,  local<actiongetDeviceLocalTime>},
    {"set_device_localtime",    G::SessionByName,    false, true,  true,  local<actionsetDeviceLocalTime>},
    {"get_video_directory",     G::SessionByName,    false, true,  true,  local<actiongetVideoDirectory>},
    {"set_storage_deletefile",  G::SessionByName,    false, true,  true,  local<actionSetStorageDelectFile>},
    {"GetWebServerParameter",   G::SessionByName,    false, true,  true,  getPort},
    {"SetWebServerParameter",   G::SessionByName,    false, true,  true,  setPort},
    {"GetWebServerPortStatus",  G::SessionByName,    false, true,  true,  local<actionGetPortStatus>},
};
// Every other name: chosen by its receiver (a capability file, else the
// device application it is forwarded to).
const Command kByReceiver{nullptr, G::SessionByName, false, true, true, forward};
// clang-format on

}  // namespace

const Command& findCommand(const std::string& action, bool urlCredentials) {
    for (const Command& c : kCommands)
        if (action == c.name && (c.takesUrlCredentials || !urlCredentials)) return c;
    return kByReceiver;
}

Gate gateOf(const Command& c, const QueryCapture& q) {
    const bool url = q.username && q.password;
    if (url && (c.gate == Gate::None || c.gate == Gate::SessionByName ||
                c.gate == Gate::SessionRefreshed))
        return Gate::UrlCredentials;
    return c.gate;
}

void setPortControl(PortControl control) {
    std::lock_guard<std::mutex> lock(portMutex);
    portControl = std::move(control);
}

}  // namespace dispatch
