#include "actions/upload.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>

#include "common/diag.h"
#include "common/paths.h"
#include "common/fileio.h"

using fileio::Fd;

namespace {

constexpr std::uint64_t kMinPictureBytes = 1024;
constexpr std::uint64_t kMaxPictureBytes = 1920ull * 1080ull;
constexpr int kMaxPictureWidth = 1920;
constexpr int kMaxPictureHeight = 1080;
constexpr std::uint64_t kEdidBlock = 128;
constexpr std::uint64_t kMaxEdidBytes = 2048;
constexpr std::size_t kPathBuffer = 512;

constexpr const char* kActiveEdidName = "QX_HDMI_EDID.bin";
constexpr const char* kCustomEdidName = "QX_HDMI_EDID_CSTM.bin";

// Searched in this order by the readback: the presets come before the
// custom file, so a preset wins when both are equal to the active file.
constexpr const char* kEdidPresets[] = {
    "DID_AUTO.bin",          "EDID_1920x1080P60.bin", "EDID_1280x720P60.bin",
    "EDID_1920x1200P60.bin", "EDID_1920x1080i60.bin", "EDID_1024x768P60.bin",
    "EDID_800x600P60.bin",   "EDID_640x480P60.bin",   "EDID_1280x1024P60.bin",
    kCustomEdidName,
};

CommandResult failure(const char* reason) {
    CommandResult r;
    r.code = -1;
    r.reason = reason;
    return r;
}

bool isAcceptedPictureType(const std::string& type) {
    return type == "image/jpeg" || type == "image/png" || type == "image/bmp";
}

// The picture's name must say what it is: the document root serves a
// stored ".html" or ".svg" as a page on the device's own origin.
bool hasExtensionOfType(const std::string& name, const std::string& type) {
    auto endsWith = [&](std::string_view ext) {
        return name.size() > ext.size() &&
               std::equal(ext.begin(), ext.end(), name.end() - ext.size(),
                          [](char e, char n) { return e == std::tolower(static_cast<unsigned char>(n)); });
    };
    if (type == "image/png") return endsWith(".png");
    if (type == "image/bmp") return endsWith(".bmp");
    return endsWith(".jpg") || endsWith(".jpeg");
}

bool hasJpegSignature(const char* path) {
    Fd f(::open(path, O_RDONLY | O_CLOEXEC));
    unsigned char h[3];
    return f.valid() && fileio::readFully(f.get(), reinterpret_cast<char*>(h), sizeof h) == 3 &&
           h[0] == 0xFF && h[1] == 0xD8 && h[2] == 0xFF;
}

std::uint32_t bigEndian32(const unsigned char* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
           std::uint32_t(p[3]);
}

std::uint32_t littleEndian32(const unsigned char* p) {
    return (std::uint32_t(p[3]) << 24) | (std::uint32_t(p[2]) << 16) | (std::uint32_t(p[1]) << 8) |
           std::uint32_t(p[0]);
}

void ensureFolder(const std::string& dir) {
    if (::access(dir.c_str(), F_OK) == 0) return;
    // Create missing parents too, each like the folder itself.
    for (std::size_t i = 1; i < dir.size(); ++i) {
        if (dir[i] == '/') ::mkdir(dir.substr(0, i).c_str(), 0700);
    }
    ::mkdir(dir.c_str(), 0700);
}

// A plain file name inside its folder: not empty, not "." or "..", no '/'
// and no NUL byte.
bool isPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

// The steps both uploads start with: the name check with its refusals, the
// destination folder (made when missing) and the uploaded file part. Null
// once the request has been answered; the lines name the upload `operation`.
const UploadPart* acceptUpload(CommandResult& refusal, const UploadPart* up,
                               const std::optional<std::string>& raw, const std::string& folder,
                               std::string& name, const char* operation) {
    switch (checkUploadFileName(raw, name)) {
        case UploadName::Ok:
            break;
        case UploadName::Missing:
            ERROR_LINE_AS(operation, "fileName:%s\n", "(null)");
            refusal = failure("upload file name cannot be empty");
            return nullptr;
        case UploadName::TooLong:
            ERROR_LINE_AS(operation, "fileName too long: %zu\n", raw->size());
            refusal = failure("upload file name max length!  max length 256 byte");
            return nullptr;
        case UploadName::Invalid:
            ERROR_LINE_AS(operation, "upload file name error\n");
            refusal = failure("upload file name error");
            return nullptr;
    }
    ensureFolder(folder);
    if (!up) {
        ERROR_LINE_AS(operation, "upload file is empty\n");
        refusal = failure("upload file is empty");
    }
    return up;
}

}  // namespace

// ---- file helpers ----------------------------------------------------------

int copyFile(const char* src, const char* dst) {
    Fd in(::open(src, O_RDONLY | O_CLOEXEC));
    if (!in.valid()) {
        ERROR_LINE("The file '%s' can not be opened! \n", src);
        return -1;
    }
    fileio::AtomicFile out(dst, 0644);
    if (!out.ok()) {
        ERROR_LINE("The file '%s' can not be opened! \n", dst);
        return -1;
    }
    const int copied = fileio::copyAll(in.get(), out.fd());
    if (copied == -1) {
        ERROR_LINE("The file '%s' can not be opened! \n", src);
        return -1;
    }
    if (copied != 0 || !out.commit()) {
        ERROR_LINE("Write to file '%s' failed!\n", dst);
        return -1;
    }
    return 0;
}

int compare_files(const char* a, const char* b) {
    Fd fa(::open(a, O_RDONLY | O_CLOEXEC));
    Fd fb(::open(b, O_RDONLY | O_CLOEXEC));
    if (!fa.valid() || !fb.valid()) return 0;
    off_t la = ::lseek(fa.get(), 0, SEEK_END);
    off_t lb = ::lseek(fb.get(), 0, SEEK_END);
    if (la < 0 || la != lb) return 0;
    if (::lseek(fa.get(), 0, SEEK_SET) != 0 || ::lseek(fb.get(), 0, SEEK_SET) != 0) return 0;
    char ba[8192], bb[8192];
    off_t left = la;
    while (left > 0) {
        std::size_t want = left < off_t(sizeof ba) ? std::size_t(left) : sizeof ba;
        long na = fileio::readFully(fa.get(), ba, want);
        long nb = fileio::readFully(fb.get(), bb, want);
        if (na != long(want) || nb != long(want)) return 0;  // changed under us or unreadable
        if (std::memcmp(ba, bb, want) != 0) return 0;
        left -= off_t(want);
    }
    return 1;
}

void url_decode_in_place(std::string& text) {
    std::size_t w = 0;
    for (std::size_t r = 0; r < text.size(); ++w) {
        if (text[r] == '%' && text.size() - r >= 3) {
            int v = 16 * fileio::hexValue(text[r + 1]) + fileio::hexValue(text[r + 2]);
            text[w] = static_cast<char>(static_cast<unsigned char>(v & 0xFF));
            r += 3;
        } else {
            text[w] = text[r];
            ++r;
        }
    }
    text.resize(w);
}

// ---- picture headers -------------------------------------------------------

PictureHeader GetPNGWidthHeight(const char* path, int* width, int* height) {
    static const unsigned char kStart[4] = {0x89, 0x50, 0x4E, 0x47};
    static const unsigned char kEnd[4] = {0x0D, 0x0A, 0x1A, 0x0A};
    Fd f(::open(path, O_RDONLY | O_CLOEXEC));
    if (!f.valid()) return PictureHeader::CannotOpen;
    unsigned char h[24];
    long n = fileio::readFully(f.get(), reinterpret_cast<char*>(h), sizeof h);
    if (n < 4) return PictureHeader::Short;
    if (std::memcmp(h, kStart, 4) != 0) return PictureHeader::BadSignatureStart;
    if (n < 8) return PictureHeader::Short;
    if (std::memcmp(h + 4, kEnd, 4) != 0) return PictureHeader::BadSignatureEnd;
    if (n < 24) return PictureHeader::Short;
    if (width) *width = static_cast<int>(bigEndian32(h + 16));
    if (height) *height = static_cast<int>(bigEndian32(h + 20));
    return PictureHeader::Ok;
}

PictureHeader GetBMPWidthHeight(const char* path, int* width, int* height) {
    Fd f(::open(path, O_RDONLY | O_CLOEXEC));
    if (!f.valid()) return PictureHeader::CannotOpen;
    unsigned char h[26];
    long n = fileio::readFully(f.get(), reinterpret_cast<char*>(h), sizeof h);
    if (n < long(sizeof h)) return PictureHeader::Short;
    if (width) *width = static_cast<int>(static_cast<std::int32_t>(littleEndian32(h + 18)));
    if (height) *height = static_cast<int>(static_cast<std::int32_t>(littleEndian32(h + 22)));
    return PictureHeader::Ok;
}

// ---- names and folders -----------------------------------------------------

UploadName checkUploadFileName(const std::optional<std::string>& raw, std::string& decoded) {
    if (!raw) return UploadName::Missing;
    if (raw->size() > kMaxUploadNameLength) return UploadName::TooLong;
    decoded = *raw;
    url_decode_in_place(decoded);
    return isPlainName(decoded) ? UploadName::Ok : UploadName::Invalid;
}

int removeOtherPlainFiles(const std::string& dir, const std::string& keep) {
    std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir.c_str()), ::closedir);
    if (!d) return -1;
    int removed = 0;
    while (dirent* e = ::readdir(d.get())) {
        std::string name = e->d_name;
        if (name == "." || name == ".." || name == keep) continue;
        struct stat st;
        if (::fstatat(::dirfd(d.get()), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (!S_ISREG(st.st_mode)) continue;
        if (::unlinkat(::dirfd(d.get()), e->d_name, 0) == 0)
            ++removed;
        else
            ERROR_LINE("cannot remove old picture %s%s\n", dir.c_str(), e->d_name);
    }
    return removed;
}

UploadFolders defaultUploadFolders() {
    return {paths::kWatermarkDir, paths::kEdidDir};
}

// ---- the commands ----------------------------------------------------------

CommandResult upload_Image(const std::optional<std::string>& fileName, const UploadPart* part,
                           const UploadFolders& f) {
    std::string name;
    CommandResult refusal;
    const UploadPart* up = acceptUpload(refusal, part, fileName, f.watermark, name, __func__);
    if (!up) return refusal;
    if (up->size < kMinPictureBytes || up->size > kMaxPictureBytes) {
        DEBUG_LINE("Uploading files too large : %ld\n", static_cast<long>(up->size));
        return failure("Upload files up to size  MAX:1M  MIN:1K");
    }
    if (!isAcceptedPictureType(up->contentType)) {
        DEBUG_LINE("upload osd file type :%s\n", up->contentType.c_str());
        return failure("Invalid upload file type, Only support: .jpg .png .bmp");
    }
    if (!hasExtensionOfType(name, up->contentType)) {
        ERROR_LINE("upload file name error: %s is not a name for %s\n", name.c_str(),
                   up->contentType.c_str());
        return failure("upload file name error");
    }

    int width = 0, height = 0;
    const char* tmp = up->tempPath.c_str();
    if (up->contentType == "image/png") {
        PictureHeader h = GetPNGWidthHeight(tmp, &width, &height);
        const char* reason = nullptr;
        switch (h) {
            case PictureHeader::Ok:
                break;
            case PictureHeader::CannotOpen:
                ERROR_LINE("[GetPNGWidthHeight]:can't open file:%s\n", tmp);
                reason = "Upload png file failed";
                break;
            case PictureHeader::BadSignatureStart:
                ERROR_LINE("[GetPNGWidthHeight:%s]:png format error\n", tmp);
                reason = "Upload file failed! png format error!\n";
                break;
            case PictureHeader::BadSignatureEnd:
                ERROR_LINE("[GetPNGWidthHeight:%s]:png format error\n", tmp);
                reason = "Upload png file failed";
                break;
            case PictureHeader::Short:
                ERROR_LINE("[GetPNGWidthHeight:%s]:png header too short\n", tmp);
                reason = "Upload png file failed";
                break;
        }
        if (reason) {
            ERROR_LINE("get picture width and height fail path:%s! \n", tmp);
            return failure(reason);
        }
    } else if (up->contentType == "image/jpeg") {
        if (!hasJpegSignature(tmp)) {
            ERROR_LINE("[%s]:jpeg format error\n", tmp);
            return failure("Upload jpeg file failed");
        }
    } else if (up->contentType == "image/bmp") {
        if (GetBMPWidthHeight(tmp, &width, &height) != PictureHeader::Ok) {
            ERROR_LINE("[GetBMPWidthHeight:%s]:bmp header unreadable\n", tmp);
            return failure("Upload bmp file failed");
        }
    }
    if (up->contentType != "image/jpeg" &&
        (width < 1 || width > kMaxPictureWidth || height < 1 || height > kMaxPictureHeight)) {
        ERROR_LINE("upload PIC picture file max[1920,1080]  current[%d,%d]\n", width, height);
        char reason[128];
        std::snprintf(reason, sizeof reason,
                      "Upload file failed! MAX picture[1920x1080],Current picture[%dx%d] \n", width,
                      height);
        return failure(reason);
    }
    DEBUG_LINE("picture[%s][%dx%d]\n", tmp, width, height);

    const std::string dest = f.watermark + name;
    if (copyFile(tmp, dest.c_str()) != 0) {
        ERROR_LINE("cp file failed\n");
        return failure("Upload file failed");
    }
    // Only now that the new picture is in place do the old ones go.
    removeOtherPlainFiles(f.watermark, name);
    return {};
}

CommandResult upload_edid(const std::optional<std::string>& fileName, const UploadPart* part,
                          const UploadFolders& f) {
    // The upload always becomes the custom EDID file; the name is only
    // checked, under the same rules as a picture's name, so that a client
    // never gets a path-like name accepted.
    std::string name;
    CommandResult refusal;
    const UploadPart* up = acceptUpload(refusal, part, fileName, f.edid, name, __func__);
    if (!up) return refusal;
    if (up->size < kEdidBlock || up->size > kMaxEdidBytes || up->size % kEdidBlock != 0) {
        DEBUG_LINE("Uploading files too large : %ld\n", static_cast<long>(up->size));
        return failure("Invalid EDID file format");
    }
    DEBUG_LINE("Uploading edid [%s]\n", up->tempPath.c_str());
    const std::string dest = f.edid + kCustomEdidName;
    if (copyFile(up->tempPath.c_str(), dest.c_str()) != 0) {
        ERROR_LINE("cp file failed\n");
        return failure("Upload file failed");
    }
    return {};
}

CommandResult SetHdmiEdidParameters(const std::optional<std::string>& edidfile,
                                    const UploadFolders& f) {
    if (!edidfile) {
        ERROR_LINE("edidfile:%s\n", "(null)");
        return failure("edid file name cannot be empty");
    }
    const std::string& name = *edidfile;  // used as given in the URL
    const std::string src = f.edid + name;
    const std::string dst = f.edid + kActiveEdidName;
    struct stat st;
    if (!isPlainName(name) || src.size() >= kPathBuffer || ::stat(src.c_str(), &st) != 0 ||
        !S_ISREG(st.st_mode)) {
        ERROR_LINE("edidfile [%s] names no EDID file\n", name.c_str());
        ERROR_LINE("cp file failed\n");
        return failure("Upload file failed");
    }
    DEBUG_LINE("src [%s]  dst[%s]\n", src.c_str(), dst.c_str());
    if (copyFile(src.c_str(), dst.c_str()) != 0) {
        ERROR_LINE("cp file failed\n");
        return failure("Upload file failed");
    }
    return {};
}

CommandResult GetHdmiEdidParameters(const UploadFolders& f) {
    const std::string active = f.edid + kActiveEdidName;
    {
        Fd probe(::open(active.c_str(), O_RDONLY | O_CLOEXEC));
        if (!probe.valid()) {
            ERROR_LINE("Read file does not exist\n");
            return failure("Read file does not exist");
        }
    }
    for (const char* preset : kEdidPresets) {
        const std::string path = f.edid + preset;
        if (compare_files(active.c_str(), path.c_str())) {
            CommandResult r;
            r.reason = preset;  // {"Result": "OK", "Reason": <preset>}
            return r;
        }
    }
    ERROR_LINE("Read file does not exist\n");
    return failure("Read file does not exist");
}
