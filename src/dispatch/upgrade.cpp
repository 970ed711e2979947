#include "dispatch/upgrade.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/diag.h"
#include "common/paths.h"
#include "dispatch/files.h"
#include "ipc/exchange.h"
#include "server/writers.h"

using dispatch::files::Fd;
using dispatch::files::PendingFile;

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
        dispatch::files::sync_dir(dispatch::files::dir_of(target));
        return 0;
    }
    if (errno != EXDEV) {
        ERROR_LINE("upgrade wirte fail \n");
        return -1;
    }
    // The spool lives on another file system: copy it beside the target.
    Fd in(::open(spooled.c_str(), O_RDONLY | O_CLOEXEC));
    PendingFile out(target);
    if (!in.valid() || !out.ok()) {
        ERROR_LINE("upgrade open fail \n");
        return -1;
    }
    if (dispatch::files::copy_contents(in.get(), out.fd()) != dispatch::files::CopyResult::Done ||
        !out.commit(0600)) {
        ERROR_LINE("upgrade wirte fail \n");
        return -1;
    }
    return 0;
}

}  // namespace

int save_upgrade_image(std::string_view body, const std::string& spooled_file,
                       const std::string& target) {
    if (!spooled_file.empty()) return moveSpooledImage(spooled_file, target);
    PendingFile out(target);
    if (!out.ok()) {
        ERROR_LINE("upgrade open fail \n");
        return -1;
    }
    if (!dispatch::files::writeAll(out.fd(), body.data(), body.size()) || !out.commit(0600)) {
        ERROR_LINE("upgrade wirte fail \n");
        return -1;
    }
    return 0;
}

JsonReply http_upgrade_save_file(web::Request& wp) {
    DEBUG_LINE("input :%d\n", static_cast<int>(wp.bodyLength()));
    if (save_upgrade_image(wp.body(), wp.bodyFile(), paths::kUpgradeImage) != 0) return std::nullopt;
    JsonPtr obj(cJSON_CreateObject());
    if (!obj || !cJSON_AddStringToObject(obj.get(), "UpgradeImageFile", paths::kUpgradeImage)) {
        ERROR_LINE("Out of memory!\n");
        return std::nullopt;
    }
    return json::printFormatted(obj.get());
}

bool StartUpgrade(web::Request& wp, int socket, const char* receiver, int index, char* reason,
                  JsonReply& out_json, int* code) {
    DEBUG_LINE("app_update -----------------------------StartUpgrade\n");
    DEBUG_LINE("input :%d\n", static_cast<int>(wp.bodyLength()));
    JsonReply request = http_upgrade_save_file(wp);
    if (!request) {
        ERROR_LINE("upgrade wirte fail \n");
        json_perror(wp, 550, "upgrade wirte fail");
        http_msg_socket_close(index);
        return true;
    }
    *code = http_send_and_recv_app_codec("StartUpgrade", reason, request->c_str(), out_json, socket,
                                         receiver);
    http_msg_socket_close(index);
    return false;
}
