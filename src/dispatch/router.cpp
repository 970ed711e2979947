#include "dispatch/router.h"

#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <string_view>

#include "accounts/md5.h"
#include "accounts/sessions.h"
#include "accounts/throttle.h"
#include "actions/login.h"
#include "common/diag.h"
#include "dispatch/commands.h"
#include "dispatch/verify.h"
#include "dispatch/worker.h"
#include "dispatch/writers.h"
#include "ipc/logchannel.h"

using dispatch::Call;
using dispatch::Command;
using dispatch::Gate;
using dispatch::QueryCapture;

namespace {

const char* orNull(const std::optional<std::string>& v) {
    return v ? v->c_str() : nullptr;
}

const char* printable(const std::optional<std::string>& v) {
    return v ? v->c_str() : "(null)";
}

bool hasUrlCredentials(const QueryCapture& q) {
    return q.username && q.password;
}

void refuseUrl(web::Request& wp) {
    ERROR_LINE("Invalid URL\n");
    json_perror(wp, -1, "Invalid URL");
}

// The command name and the query of a request URL.
struct ParsedUrl {
    std::string action;
    QueryCapture q;
    std::optional<std::string> queryJson;
};

// False once the request has been answered (a URL refused).
bool parseUrl(web::Request& wp, bool bodyPresent, ParsedUrl& r) {
    // The URL copy: the URL as received, up to a NUL it might carry.
    const std::string& received = wp.url();
    const std::string url = received.substr(0, received.find('\0'));
    if (url.size() > kMaxUrlLength) {
        refuseUrl(wp);
        return false;
    }
    const std::size_t slash = url.rfind('/');
    if (slash == std::string::npos) {
        wp.respond(404, "text/plain", "Missing action name");
        return false;
    }
    const std::string_view rest = std::string_view(url).substr(slash + 1);
    const std::size_t qmark = rest.find('?');
    r.action = std::string(rest.substr(0, qmark));
    if (r.action.size() > kMaxActionNameLength) {
        refuseUrl(wp);
        return false;
    }
    if (qmark != std::string_view::npos) {
        const char first = r.action.empty() ? ' ' : r.action.front();
        if (first == 'G')
            DEBUG_LINE(" get actionName[0]=%c \n", first);
        else if (first == 'S')
            DEBUG_LINE(" set actionName[0]=%c \n", first);
        else
            DEBUG_LINE(" other actionName[0]=%c \n", first);

        // Commands answered at once never read the query JSON: none is built.
        const bool jsonUnused = bodyPresent || dispatch::findCommand(r.action, true).immediate;
        dispatch::QueryConversion c =
            dispatch::convert_query(r.action, rest.substr(qmark + 1), jsonUnused);
        DEBUG_LINE(" jsonType=%d \n", c.jsonType);
        if (c.status == dispatch::QueryStatus::MissingEquals) {
            refuseUrl(wp);
            return false;
        }
        if (c.status != dispatch::QueryStatus::Ok) {
            json_perror(wp, -1, "Invalid URL");
            return false;
        }
        r.q = std::move(c.captured);
        r.queryJson = std::move(c.json);
    }
    DEBUG_LINE("actionName=%s\n", r.action.c_str());
    return true;
}

// The gates that need no exchange; false after the refusal was written.
bool passGate(web::Request& wp, Gate gate, const ParsedUrl& r) {
    switch (gate) {
        case Gate::None:
        case Gate::UrlCredentials:
            return true;
        case Gate::SessionChecked:
            if (check_session_id_valid(wp, orNull(r.q.sessionid), "get") == 0) return true;
            DEBUG_LINE("sessionId:%s\n", printable(r.q.sessionid));
            return false;
        case Gate::SessionRefreshed:
            return check_session_id_valid(wp, orNull(r.q.sessionid), "set") == 0;
        case Gate::SessionByName: {
            // The session gate's mode is the action name up to its first '_'.
            const std::string prefix = r.action.substr(0, r.action.find('_'));
            return check_session_id_valid(wp, orNull(r.q.sessionid), prefix.c_str()) == 0;
        }
        case Gate::UploadCredentials:
            return credentialGate(wp, r.q);
    }
    return false;
}

// A body too large to be held in memory is only meant for an upgrade
// image; no command's parameters come near it. False after the refusal.
bool bodyAccepted(web::Request& wp, const std::string& action) {
    if (wp.bodyFile().empty() || action == "StartUpgrade") return true;
    ERROR_LINE("request body of %llu bytes refused for %s\n",
               static_cast<unsigned long long>(wp.bodyLength()), action.c_str());
    json_perror(wp, -1, "Invalid params");
    return false;
}

// The same rule before the body is read, from its declared length, so that
// a body the command will refuse is never spooled. False after the refusal.
bool declaredBodyAccepted(web::Request& wp, const Command& c, const std::string& action) {
    const std::uint64_t declared = wp.declaredLength();
    if (!c.logged || action == "StartUpgrade" || declared == UINT64_MAX ||
        declared <= web::Limits{}.memoryBody)
        return true;
    ERROR_LINE("request body of %llu bytes refused for %s\n",
               static_cast<unsigned long long>(declared), action.c_str());
    json_perror(wp, -1, "Invalid params");
    return false;
}

// Runs `job`, turning an exception into the answer; with `mustAnswer`
// a job that wrote nothing gets an error answer.
void guarded(web::Request& wp, const std::function<void(web::Request&)>& job, bool mustAnswer) {
    try {
        job(wp);
    } catch (const std::bad_alloc&) {
        ERROR_LINE("Out of memory!\n");
        if (!wp.responded()) json_perror(wp, -15, "Out of memory");
    } catch (const std::exception& e) {
        ERROR_LINE("request failed: %s\n", e.what());
        if (!wp.responded()) json_perror(wp, -1, "Internal error");
    }
    if (mustAnswer && !wp.responded()) json_perror(wp, -1, "Internal error");
}

// Everything past the gate runs here: on the worker thread, in arrival
// order, with the request suspended meanwhile (the server thread goes on
// serving); without a worker, at once.
void runPastGate(web::Request& wp, std::function<void(web::Request&)> job, bool mustAnswer) {
    if (!dispatch::workerRunning()) {
        guarded(wp, job, mustAnswer);
        return;
    }
    web::Request::Resume resume = wp.suspend();
    web::Request* request = &wp;
    auto queued = [request, job, resume, mustAnswer] {
        guarded(*request, job, mustAnswer);
        resume();
    };
    if (!dispatch::postJob(queued)) {
        // The worker is stopping with the server: the request ends unanswered.
        resume();
    }
}

// The command itself: log record, handler, session refresh, answer.
void runCommand(web::Request& wp, const Command& c, Call& call) {
    if (c.logged) {
        DEBUG_LINE("in_json=\n%s\n", call.in_json.c_str());
        send_log_msg(call.client.c_str(), call.action.c_str());
    }
    CommandResult result = c.run(call);
    if (c.logged && result.refreshSession && call.q.sessionid)
        find_saved_session(call.q.sessionid->c_str(), "set");
    answer(wp, result);
}

void route(web::Request& wp) {
    // The body text up to its first NUL; a large body waits in a file.
    std::string_view body = wp.body();
    const std::string_view text = body.substr(0, body.find('\0'));
    const bool bodyPresent = !text.empty() || !wp.bodyFile().empty();

    ParsedUrl r;
    if (!parseUrl(wp, bodyPresent, r)) return;
    const Command& c = dispatch::findCommand(r.action, hasUrlCredentials(r.q));
    const Gate gate = dispatch::gateOf(c, r.q);
    if (!passGate(wp, gate, r)) return;

    Call call;
    call.action = r.action;
    call.in_json = std::string(text);
    if (!bodyPresent && r.queryJson) call.in_json = std::move(*r.queryJson);
    call.q = std::move(r.q);
    call.body = body;
    call.bodyFile = wp.bodyFile();
    call.client = wp.clientAddress();
    if (const web::UploadedFile* up = wp.upload())
        call.upload = UploadPart{up->tempPath, up->contentType, up->size};

    if (c.immediate) {
        answer(wp, c.run(call));
        return;
    }
    if (gate != Gate::UrlCredentials && c.logged && !bodyAccepted(wp, call.action)) return;
    runPastGate(
        wp,
        [&c, gate, call = std::move(call)](web::Request& wp) mutable {
            if (gate == Gate::UrlCredentials) {
                if (!dispatch::urlCredentialCheck(*call.q.username, *call.q.password,
                                                  call.client)) {
                    json_perror(wp, -1, "Invalid username or password");
                    return;
                }
                call.urlCredentials = true;
                if (c.logged && !bodyAccepted(wp, call.action)) return;
            }
            runCommand(wp, c, call);
        },
        true);
}

// A request announcing a large body: its gate is decided from the URL
// before the body is read. Returning without an answer lets the body in.
void routeHead(web::Request& wp) {
    ParsedUrl r;
    if (!parseUrl(wp, true, r)) return;
    const Command& c = dispatch::findCommand(r.action, hasUrlCredentials(r.q));
    const Gate gate = dispatch::gateOf(c, r.q);
    if (gate == Gate::None) {
        // Commands open to everyone never take a large body.
        ERROR_LINE("request body of %llu bytes refused for %s\n",
                   static_cast<unsigned long long>(wp.declaredLength()), r.action.c_str());
        json_perror(wp, -1, "Invalid params");
        return;
    }
    if (gate != Gate::UrlCredentials) {
        if (passGate(wp, gate, r)) declaredBodyAccepted(wp, c, r.action);
        return;
    }
    runPastGate(
        wp,
        [&c, action = r.action, user = *r.q.username, password = *r.q.password,
         client = wp.clientAddress()](web::Request& wp) {
            if (!dispatch::urlCredentialCheck(user, password, client))
                json_perror(wp, -1, "Invalid username or password");
            else
                declaredBodyAccepted(wp, c, action);
        },
        false);
}

void catching(web::Request& wp, void (*handler)(web::Request&)) {
    guarded(wp, handler, false);
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

bool credentialGate(web::Request& wp, const QueryCapture& q) {
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
    catching(wp, route);
}

namespace dispatch {

web::Action deviceAction() {
    return web::Action{actionGetMethodUrl, [](web::Request& wp) { catching(wp, routeHead); }};
}

void start() {
    startWorker();
}

void stop() {
    stopWorker();
}

}  // namespace dispatch
