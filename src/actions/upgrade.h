// Firmware upgrade hand-off: the request body becomes "/tmp/upgrade" and
// the upgrade application is told where to find it.
#pragma once

#include <string>
#include <string_view>

#include "common/json.h"

// Installs the image as `target`, whole or not at all: an in-memory body is
// written to a temporary file beside the target, a spooled body file is
// moved (or, across file systems, copied); then fsync and rename. The
// image never passes through memory as a whole. 0, or -1 (target untouched).
int saveUpgradeImage(std::string_view body, const std::string& spooled_file,
                       const std::string& target);

// Stores the body as "/tmp/upgrade" and returns the formatted
// {"UpgradeImageFile": "/tmp/upgrade"}: the parameters of the StartUpgrade
// request. Nothing when the image cannot be stored.
JsonReply http_upgrade_save_file(std::string_view body, const std::string& spooled_file);
