#include "accounts/md5.h"

#include <md5.h>  // libmd

#include <cstring>

#include "common/fileio.h"

namespace {
constexpr char kHexDigits[] = "0123456789abcdef";

using fileio::hexValue;

// Value of one digest-text digit; upper-case digits read like lower-case
// ones, anything else reads as 0.
unsigned char nibbleOf(char c) {
    const int v = hexValue(c);
    return static_cast<unsigned char>(v < 0 ? 0 : v);
}
}  // namespace

void MD5Buffer(const void* data, std::uint32_t length, unsigned char out[16]) {
    MD5_CTX ctx;
    MD5Init(&ctx);
    if (data && length > 0) MD5Update(&ctx, static_cast<const std::uint8_t*>(data), length);
    MD5Final(out, &ctx);  // also wipes the context
}

void md5_sig_to_string(const unsigned char digest[16], char* text, int size) {
    if (!digest || !text || size <= 0) return;
    int pos = 0;
    for (int i = 0; i < 16; ++i) {
        if (2 * i + 2 > size) break;
        text[pos++] = kHexDigits[digest[i] >> 4];
        text[pos++] = kHexDigits[digest[i] & 0x0F];
    }
    if (pos < size) text[pos] = '\0';
}

void md5_sig_from_string(unsigned char digest[16], const char* text) {
    if (!digest) return;
    if (!text) {
        std::memset(digest, 0, 16);
        return;
    }
    // Reads pairs until the text ends, so a short text never reads past its NUL.
    bool ended = false;
    for (int i = 0; i < 16; ++i) {
        unsigned char hi = 0, lo = 0;
        if (!ended && text[2 * i] != '\0') {
            hi = nibbleOf(text[2 * i]);
            if (text[2 * i + 1] != '\0')
                lo = nibbleOf(text[2 * i + 1]);
            else
                ended = true;
        } else {
            ended = true;
        }
        digest[i] = static_cast<unsigned char>(hi << 4 | lo);
    }
}

int isValidMD5(const char* text) {
    if (!text || std::strlen(text) != 32) return 0;
    for (int i = 0; i < 32; ++i)
        if (hexValue(text[i]) < 0) return 0;
    return 1;
}

void digest_text_of(const char* plain, char out[64]) {
    std::memset(out, 0, 64);
    unsigned char digest[16];
    const char* text = plain ? plain : "";
    MD5Buffer(text, static_cast<std::uint32_t>(std::strlen(text)), digest);
    md5_sig_to_string(digest, out, 64);
}
