#include "actions/upgrade.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/diag.h"
#include "common/fileio.h"
#include "common/paths.h"

using fileio::Fd;

namespace {

int moveSpooledImage(const std::string& spooled, const std::string& target) {
    {
        Fd f(::open(spooled.c_str(), O_RDWR | O_CLOEXEC));
        if (!f.valid()) {
            ERROR_LINE("upgrade open fail \n");
            return -1;
        }
        if (::fchmod(f.get(), 0600) != 0 || ::fsync(f.get()) != 0 || !f.close()) {
            ERROR_LINE("upgrade wirte fail \n");
            return -1;
        }
    }
    if (::rename(spooled.c_str(), target.c_str()) == 0) {
        fileio::syncDirectory(fileio::directoryOf(target));
        return 0;
    }
    if (errno != EXDEV) {
        ERROR_LINE("upgrade wirte fail \n");
        return -1;
    }
    // The spool lives on another file system: copy it beside the target.
    Fd in(::open(spooled.c_str(), O_RDONLY | O_CLOEXEC));
    fileio::AtomicFile out(target, 0600);
    if (!in.valid() || !out.ok()) {
        ERROR_LINE("upgrade open fail \n");
        return -1;
    }
    if (fileio::copyAll(in.get(), out.fd()) != 0 || !out.commit()) {
        ERROR_LINE("upgrade wirte fail \n");
        return -1;
    }
    return 0;
}

}  // namespace

int saveUpgradeImage(std::string_view body, const std::string& spooled_file,
                       const std::string& target) {
    if (!spooled_file.empty()) return moveSpooledImage(spooled_file, target);
    fileio::AtomicFile out(target, 0600);
    if (!out.ok()) {
        ERROR_LINE("upgrade open fail \n");
        return -1;
    }
    if (!out.write(body) || !out.commit()) {
        ERROR_LINE("upgrade wirte fail \n");
        return -1;
    }
    return 0;
}

JsonReply http_upgrade_save_file(std::string_view body, const std::string& spooled_file) {
    DEBUG_LINE("input :%d\n", static_cast<int>(body.size()));
    if (saveUpgradeImage(body, spooled_file, paths::kUpgradeImage) != 0) return std::nullopt;
    JsonPtr obj(cJSON_CreateObject());
    if (!obj || !cJSON_AddStringToObject(obj.get(), "UpgradeImageFile", paths::kUpgradeImage)) {
        ERROR_LINE("Out of memory!\n");
        return std::nullopt;
    }
    return json::printFormatted(obj.get());
}
