#include "common/utf8.h"

namespace utf8 {
namespace {

// The bytes of a well-formed sequence starting at text[i] that are present:
// `length` of them, `complete` when that is the whole sequence. An ill-formed
// start gives length 1, not complete.
struct Sequence {
    std::size_t length;
    bool complete;
};

Sequence sequenceAt(std::string_view text, std::size_t i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) return {1, true};
    std::size_t need = 0;
    unsigned char low = 0x80, high = 0xBF;  // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 3;
        if (lead == 0xE0) low = 0xA0;   // overlong
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 4;
        if (lead == 0xF0) low = 0x90;   // overlong
        if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        return {1, false};
    }
    std::size_t n = 1;
    for (; n < need && i + n < text.size(); ++n) {
        const auto c = static_cast<unsigned char>(text[i + n]);
        if (n == 1 ? (c < low || c > high) : (c < 0x80 || c > 0xBF)) break;
    }
    return {n, n == need};
}

}  // namespace

bool valid(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const Sequence s = sequenceAt(text, i);
        if (!s.complete) return false;
        i += s.length;
    }
    return true;
}

std::string repaired(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const Sequence s = sequenceAt(text, i);
        if (s.complete)
            out.append(text.substr(i, s.length));
        else
            out.append("\xEF\xBF\xBD");
        i += s.length;
    }
    return out;
}

}  // namespace utf8
