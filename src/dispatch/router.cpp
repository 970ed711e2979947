#include "dispatch/router.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <string_view>

#include "accounts/md5.h"
#include "accounts/sessions.h"
#include "accounts/throttle.h"
#include "actions/device.h"
#include "actions/language.h"
#include "actions/localtime.h"
#include "actions/login.h"
#include "actions/userparam.h"
#include "actions/webport.h"
#include "common/diag.h"
#include "dispatch/upgrade.h"
#include "dispatch/upload.h"
#include "dispatch/verify.h"
#include "ipc/exchange.h"
#include "ipc/logchannel.h"
#include "ipc/protocol_table.h"
#include "server/startup.h"
#include "server/writers.h"
#include "storage/deletefile.h"
#include "storage/videodir.h"

using dispatch::QueryCapture;

namespace {

// Serialises the local actions and the forwarding; taken only here.
std::mutex mutex;

constexpr const char* kUnsupported = "The server does not support this protocol";

// The commands answered from the server's own state and files, in the
// order they are looked for.
struct LocalHandler {
    const char* name;
    int (*run)(const char* in_json, JsonReply& out_json);
};

const LocalHandler kLocalHandlers[] = {
    {"logout", actionLogOut},
    {"get_Language_Format", actionGetLanguageFormat},
    {"set_Language_Format", actionSetLanguageFormat},
    {"set_device_reboot", actionSetDeviceReboot},
    {"set_user_param", actionSetUserParam},
    {"get_user_param", actionGetUserParam},
    {"get_device_localtime", actiongetDeviceLocalTime},
    {"set_device_localtime", actionsetDeviceLocalTime},
    {"get_video_directory", actiongetVideoDirectory},
    {"set_storage_deletefile", actionSetStorageDelectFile},
    {"GetWebServerParameter",
     [](const char* in, JsonReply& out) {
         int port = 80;
         return actionGetPortParam(in, out, &port);
     }},
    {"SetWebServerParameter",
     [](const char* in, JsonReply& out) {
         // The main thread restarts the listener when HTTP_WEB_PORT changes.
         int port = HTTP_WEB_PORT.load();
         int r = actionSetPortParam(in, out, &port);
         HTTP_WEB_PORT.store(port);
         return r;
     }},
    {"GetWebServerPortStatus", actionGetPortStatus},
};

const LocalHandler* findLocalHandler(const std::string& action) {
    for (const auto& h : kLocalHandlers)
        if (action == h.name) return &h;
    return nullptr;
}

bool isUngatedCommand(const std::string& action) {
    return action == "login" || action == "logout" || action == "get_Language_Format" ||
           action == "set_Language_Format";
}

const char* orNull(const std::optional<std::string>& v) {
    return v ? v->c_str() : nullptr;
}

const char* printable(const std::optional<std::string>& v) {
    return v ? v->c_str() : "(null)";
}

void refuseUrl(web::Request& wp) {
    ERROR_LINE("Invalid URL\n");
    json_perror(wp, -1, "Invalid URL");
}

// Everything taken from the request before dispatching.
struct ParsedRequest {
    std::string action;
    QueryCapture q;
    std::string in_json;
    bool spooled_body = false;
};

// Lock held: runs the login, a local action, the capability reader or the
// forwarding, then writes the one answer.
void commonSection(web::Request& wp, const ParsedRequest& r, bool url_credentials) {
    DEBUG_LINE("in_json=\n%s\n", r.in_json.c_str());
    send_log_msg(wp.clientAddress().c_str(), r.action.c_str());

    std::lock_guard<std::mutex> lock(mutex);
    JsonReply out_json;
    int code = 0;
    char reason[128] = {};
    bool refresh = true;

    char capability[128] = {};
    if (r.action == "login") {
        dispatch::LoginOutcome o = dispatch::run_login(r.q, url_credentials, r.in_json, reason,
                                                           wp.clientAddress());
        out_json = std::move(o.out_json);
        code = o.code;
        refresh = o.refresh_session;
    } else if (const LocalHandler* h = findLocalHandler(r.action)) {
        code = h->run(r.in_json.c_str(), out_json);
    } else if (http_capability_protocol_matching(r.action.c_str(), capability)) {
        code = actionGetDeviceCap(capability, r.in_json.c_str(), out_json);
    } else {
        int socket = -1;
        int index = -1;
        char receiver[32] = {};
        if (!http_protocol_matching(r.action.c_str(), &socket, receiver, &index,
                                    r.in_json.c_str())) {
            // snprintf cuts a long action name so the reason fits its 127 characters.
            std::snprintf(reason, sizeof reason, "%s :%s", kUnsupported, r.action.c_str());
            ERROR_LINE("web server not support this protocol! :%s\n", reason);
            code = 501;
        } else if (std::strcmp(receiver, "app_update") == 0 && r.action == "StartUpgrade") {
            if (StartUpgrade(wp, socket, receiver, index, reason, out_json, &code)) return;
        } else {
            code = http_send_and_recv_app_codec(r.action.c_str(), reason, r.in_json.c_str(),
                                                out_json, socket, receiver);
            http_msg_socket_close(index);
        }
    }

    if (refresh && r.q.sessionid) find_saved_session(r.q.sessionid->c_str(), "set");
    if (out_json) {
        DEBUG_LINE("out_json=\n%s\n", out_json->c_str());
        http_response(wp, *out_json);
    } else if (code == 0) {
        json_OK(wp);
    } else {
        json_perror(wp, code, reason);
    }
}

void route(web::Request& wp) {
    // The URL copy: the URL as received, up to a NUL it might carry.
    const std::string& received = wp.url();
    const std::string url = received.substr(0, received.find('\0'));
    if (url.size() > kMaxUrlLength) {
        refuseUrl(wp);
        return;
    }
    const std::size_t slash = url.rfind('/');
    if (slash == std::string::npos) {
        wp.respond(404, "text/plain", "Missing action name");
        return;
    }
    const std::string_view rest = std::string_view(url).substr(slash + 1);
    const std::size_t qmark = rest.find('?');
    ParsedRequest r;
    r.action = std::string(rest.substr(0, qmark));
    if (r.action.size() > kMaxActionNameLength) {
        refuseUrl(wp);
        return;
    }

    // The body text up to its first NUL; a large body waits in a file.
    std::string_view body = wp.body();
    body = body.substr(0, body.find('\0'));
    r.spooled_body = !wp.bodyFile().empty();
    const bool body_present = !body.empty() || r.spooled_body;
    r.in_json = std::string(body);

    if (qmark != std::string_view::npos) {
        const char first = r.action.empty() ? ' ' : r.action.front();
        if (first == 'G')
            DEBUG_LINE(" get actionName[0]=%c \n", first);
        else if (first == 'S')
            DEBUG_LINE(" set actionName[0]=%c \n", first);
        else
            DEBUG_LINE(" other actionName[0]=%c \n", first);

        dispatch::QueryConversion c =
            dispatch::convert_query(r.action, rest.substr(qmark + 1), body_present);
        DEBUG_LINE(" jsonType=%d \n", c.jsonType);
        if (c.status == dispatch::QueryStatus::MissingEquals) {
            refuseUrl(wp);
            return;
        }
        if (c.status != dispatch::QueryStatus::Ok) {
            json_perror(wp, -1, "Invalid URL");
            return;
        }
        r.q = std::move(c.captured);
        if (!body_present && c.json) r.in_json = std::move(*c.json);
    }
    DEBUG_LINE("actionName=%s\n", r.action.c_str());

    using UploadCommand = void (*)(web::Request&, const QueryCapture&, const UploadFolders&);
    UploadCommand upload = nullptr;
    if (r.action == "upload_Image") upload = upload_Image;
    else if (r.action == "upload_edid") upload = upload_edid;
    else if (r.action == "SetHdmiEdidParameters") upload = SetHdmiEdidParameters;
    else if (r.action == "GetHdmiEdidParameters") upload = GetHdmiEdidParameters;
    if (upload) {
        if (credential_gate(wp, r.q)) upload(wp, r.q, default_upload_folders());
        return;
    }

    if (r.action == "detection_sessionid") {
        if (check_session_id_valid(wp, orNull(r.q.sessionid), "get") != 0) {
            DEBUG_LINE("sessionId:%s\n", printable(r.q.sessionid));
            return;
        }
        json_OK(wp);
        return;
    }

    bool url_credentials = false;
    if (r.q.username && r.q.password) {
        if (!dispatch::url_credential_check(*r.q.username, *r.q.password, wp.clientAddress())) {
            json_perror(wp, -1, "Invalid username or password");
            return;
        }
        url_credentials = true;
    } else if (isUngatedCommand(r.action)) {
        // login, logout and the language pass without a session
    } else if (r.action == "set_login_time") {
        if (check_session_id_valid(wp, orNull(r.q.sessionid), "set") == 0) json_OK(wp);
        return;
    } else {
        // The session gate's mode is the action name up to its first '_'.
        const std::string prefix = r.action.substr(0, r.action.find('_'));
        if (check_session_id_valid(wp, orNull(r.q.sessionid), prefix.c_str()) != 0) return;
    }

    // A body too large to be held in memory is only meant for an upgrade
    // image; no command's parameters come near it.
    if (r.spooled_body && r.action != "StartUpgrade") {
        ERROR_LINE("request body of %llu bytes refused for %s\n",
                   static_cast<unsigned long long>(wp.bodyLength()), r.action.c_str());
        json_perror(wp, -1, "Invalid params");
        return;
    }
    commonSection(wp, r, url_credentials);
}

}  // namespace

int check_session_id_valid(web::Request& wp, const char* id, const char* mode) {
    if (!id) {
        json_perror(wp, -16, "Session ID is empty");
        return -1;
    }
    if (find_saved_session(id, mode) < 0) {
        json_perror(wp, -16, "Invalid session ID");
        return -1;
    }
    return 0;
}

bool credential_gate(web::Request& wp, const QueryCapture& q) {
    if (q.username && q.password) {
        throttle::Guard& guard = throttle::passwordGuard();
        bool valid = false;
        if (guard.allowed(wp.clientAddress())) {
            char digest[64] = {};
            if (q.password->size() == 32)
                std::snprintf(digest, sizeof digest, "%s", q.password->c_str());
            else
                digest_text_of(q.password->c_str(), digest);
            valid = check_user_pass_valid(q.username->c_str(), digest);
            guard.note(wp.clientAddress(), valid);
        }
        if (!valid) {
            ERROR_LINE("Invalid username or password\n");
            json_perror(wp, -1, "Invalid username or password");
            return false;
        }
        return true;
    }
    if (check_session_id_valid(wp, orNull(q.sessionid), "set") != 0) {
        ERROR_LINE("sessionId:%s\n", printable(q.sessionid));
        return false;
    }
    return true;
}

void actionGetMethodUrl(web::Request& wp) {
    try {
        route(wp);
    } catch (const std::bad_alloc&) {
        ERROR_LINE("Out of memory!\n");
        if (!wp.responded()) json_perror(wp, -15, "Out of memory");
    } catch (const std::exception& e) {
        ERROR_LINE("request failed: %s\n", e.what());
        if (!wp.responded()) json_perror(wp, -1, "Internal error");
    }
}
