// The command table: every command the dispatcher knows, the gate it
// passes before it runs, and its handler. Commands named by no row are
// chosen by their receiver: a capability file, else forwarding to a device
// application.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "actions/upload.h"
#include "common/envelope.h"
#include "dispatch/query.h"

namespace dispatch {

enum class Gate {
    None,              // login, logout, language: open to everyone
    SessionChecked,    // a live "sessionid", not refreshed
    SessionRefreshed,  // a live "sessionid", refreshed
    SessionByName,     // a live "sessionid"; the check's mode is the name up to its first '_'
    UploadCredentials, // user name and password of the URL against the user store, else SessionRefreshed
    UrlCredentials,    // user name and password of the URL, confirmed by "VerifyPassword"
};

// Everything a handler gets from its request.
struct Call {
    std::string action;
    QueryCapture q;
    std::string in_json;
    bool urlCredentials = false;  // the URL credentials were confirmed
    std::string_view body;        // in-memory body (empty when spooled)
    std::string bodyFile;         // spooled body
    std::optional<UploadPart> upload;
    std::string client;
};

struct Command {
    const char* name;   // null: the row that chooses by receiver
    Gate gate;
    // Answered on the server thread right after the gate (no waiting).
    bool immediate = false;
    // The operation log gets a record, and the session is refreshed after it.
    bool logged = true;
    // False: with URL credentials the name is looked up like an unknown one.
    bool takesUrlCredentials = true;
    CommandResult (*run)(Call&) = nullptr;
};

// The row for `action`; names of no row get the row that chooses by
// receiver (capability file, else forwarding).
const Command& findCommand(const std::string& action, bool urlCredentials);

// The gate a request must pass: URL credentials take the place of the
// session gates and of no gate.
Gate gateOf(const Command& c, const QueryCapture& q);

// The port commands reach the running server through this.
struct PortControl {
    std::function<int()> current;
    std::function<void(int)> change;
};
void setPortControl(PortControl control);

}  // namespace dispatch
