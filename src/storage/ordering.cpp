#include "storage/ordering.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "common/diag.h"

namespace storage {
namespace {

// Names are looked at through their first 63 characters only.
constexpr std::size_t kNameChars = 63;

struct Field {
    std::size_t pos;  // 0-based
    std::size_t len;
};

constexpr std::array<Field, 6> kFileFields{{{0, 4}, {4, 2}, {6, 2}, {8, 2}, {10, 2}, {12, 2}}};
constexpr std::array<Field, 3> kDirFields{{{0, 4}, {5, 2}, {8, 2}}};

long readField(std::string_view name, Field f) {
    if (name.size() > kNameChars) name = name.substr(0, kNameChars);
    if (f.pos >= name.size()) return 0;
    std::string_view part = name.substr(f.pos, f.len);
    char buf[8] = {};
    std::memcpy(buf, part.data(), part.size());
    return std::strtol(buf, nullptr, 10);
}

template <std::size_t N>
std::array<long, N> readKey(std::string_view name, const std::array<Field, N>& fields) {
    std::array<long, N> key{};
    for (std::size_t i = 0; i < N; ++i) key[i] = readField(name, fields[i]);
    return key;
}

}  // namespace

int NETSDK_LINK_FILE_THAN(const char* a, const char* b) {
    if (!a || !b) {
        ERROR_LINE("Invalid parameter filenamea:%s  filenameb:%s\n", a ? a : "(null)", b ? b : "(null)");
        return -1;
    }
    return readKey(a, kFileFields) > readKey(b, kFileFields) ? 1 : -1;
}

int NETSDK_LINK_DIR_THAN(const char* a, const char* b) {
    if (!a || !b) {
        ERROR_LINE("Invalid dirA: %s  dirB:%s\n", a ? a : "(null)", b ? b : "(null)");
        return -1;
    }
    return readKey(a, kDirFields) > readKey(b, kDirFields) ? 1 : -1;
}

int NETSDK_LINK_FILE_NUM(const char* name) {
    if (!name) {
        ERROR_LINE("Invalid parameter filename:%s\n", "(null)");
        return -1;
    }
    long sum = 0;
    for (long v : readKey(name, kFileFields)) sum += v;
    return static_cast<int>(sum);
}

int NETSDK_LINK_FILE_SORT(NetsdkDirNode* node, int mode) {
    if (static_cast<unsigned>(mode) > 1U) {
        ERROR_LINE("Invalid parameter mode:%d\n", mode);
        return -1;
    }
    if (mode == 0 || !node) return 0;

    // Equal keys come out latest-first: a stable sort of the reversed
    // sequence keeps that order. Keys are read once per entry.
    using Keyed = std::pair<std::array<long, 6>, NetsdkFileEntry>;
    std::vector<Keyed> keyed;
    keyed.reserve(node->files.size());
    for (auto it = node->files.rbegin(); it != node->files.rend(); ++it) {
        keyed.emplace_back(readKey(it->name, kFileFields), std::move(*it));
    }
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const Keyed& x, const Keyed& y) { return x.first < y.first; });
    for (std::size_t i = 0; i < keyed.size(); ++i) node->files[i] = std::move(keyed[i].second);
    return 0;
}

}  // namespace storage
