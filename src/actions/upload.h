// Watermark picture and HDMI EDID uploads, EDID selection and readback,
// and the small file helpers they share.
//
// Every file these commands write (the watermark picture, the custom and
// the active EDID) is written to a temporary file beside the target,
// flushed to disk and renamed over it: a failed write leaves the old file
// whole. Client-given names never leave their folder.
#pragma once

#include <string>

#include <cstdint>
#include <optional>

#include "common/envelope.h"

// ---- file helpers --------------------------------------------------------

// Copies src over dst atomically (temporary file in dst's folder, fsync,
// rename). 0, or -1 when src cannot be opened or dst cannot be written
// (dst is then unchanged).
int copyFile(const char* src, const char* dst);

// 1 when both files can be read and hold the same bytes, else 0.
// Reads both in blocks; never holds a whole file in memory.
int compare_files(const char* a, const char* b);

// Percent-decodes in place: '%' and the two characters after it become one
// byte, 16 * value(first) + value(second) modulo 256; '+' stays '+'. A '%'
// with fewer than two characters after it is kept as it is.
void url_decode_in_place(std::string& text);

// ---- picture headers -----------------------------------------------------

enum class PictureHeader {
    Ok,
    CannotOpen,
    BadSignatureStart,  // PNG bytes 0..3
    BadSignatureEnd,    // PNG bytes 4..7
    Short,              // file ends before the dimensions
};

// PNG: signature, then width and height (big-endian) at offsets 16 and 20.
PictureHeader GetPNGWidthHeight(const char* path, int* width, int* height);
// BMP: width and height (little-endian, signed) at offsets 18 and 22.
PictureHeader GetBMPWidthHeight(const char* path, int* width, int* height);

// ---- upload names --------------------------------------------------------

enum class UploadName {
    Ok,
    Missing,   // "upload file name cannot be empty"
    TooLong,   // "upload file name max length!  max length 256 byte"
    Invalid,   // "upload file name error"
};

inline constexpr std::size_t kMaxUploadNameLength = 254;

// Checks the raw name's length, decodes it into `decoded` and refuses a
// decoded name that is empty, ".", "..", or holds '/' or a NUL byte.
UploadName checkUploadFileName(const std::optional<std::string>& raw, std::string& decoded);

// Removes every regular file of `dir` except `keep` (a name in dir).
// Directories, links and other entries stay. Number removed, -1 if the
// folder cannot be listed.
int removeOtherPlainFiles(const std::string& dir, const std::string& keep);

// The folders the upload commands work in (fixed on the device; tests
// point them at a temporary folder). Both end with '/'.
struct UploadFolders {
    std::string watermark;
    std::string edid;
};
UploadFolders defaultUploadFolders();

// The file part of a multipart upload, as the web layer stored it.
struct UploadPart {
    std::string tempPath;
    std::string contentType;  // as declared by the client
    std::uint64_t size = 0;
};

// ---- the four commands (the credential gate has already passed) ----------

CommandResult upload_Image(const std::optional<std::string>& fileName, const UploadPart* part,
                           const UploadFolders& f);
CommandResult upload_edid(const std::optional<std::string>& fileName, const UploadPart* part,
                          const UploadFolders& f);
CommandResult SetHdmiEdidParameters(const std::optional<std::string>& edidfile,
                                    const UploadFolders& f);
CommandResult GetHdmiEdidParameters(const UploadFolders& f);
