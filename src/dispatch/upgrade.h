// Firmware upgrade hand-off: the request body becomes "/tmp/upgrade" and
// the upgrade application is told where to find it.
#pragma once

#include <string>
#include <string_view>

#include "common/json.h"
#include "web/web.h"

// Installs the image as `target`, whole or not at all: an in-memory body is
// written to a temporary file beside the target, a spooled body file is
// moved (or, across file systems, copied); then fsync and rename. The
// image never passes through memory as a whole. 0, or -1 (target untouched).
int save_upgrade_image(std::string_view body, const std::string& spooled_file,
                       const std::string& target);

// Stores the request body as "/tmp/upgrade" and returns the formatted
// {"UpgradeImageFile": "/tmp/upgrade"}; nothing when the image cannot be
// stored.
JsonReply http_upgrade_save_file(web::Request& wp);

// The "StartUpgrade" forwarding to the "app_update" receiver, with the
// protocol's socket prepared by the look-up. Closes that socket. Returns
// true when it has answered the request itself (550 "upgrade wirte fail");
// otherwise *code, `reason` and `out_json` hold the exchange's outcome.
bool StartUpgrade(web::Request& wp, int socket, const char* receiver, int index, char* reason,
                  JsonReply& out_json, int* code);
