// Type names and path canonicalisation of the plain C interface.
#include <velt.h>

#include <cstring>

namespace {

// Indexed by data_type_t; DATATYPE_INVALID has no name.
constexpr const char* k_type_names[] = {
    nullptr,  "bool", "int32", "uint32", "int64",  "uint64", "string",
    "double", "ipv4", "ipv6",  "mac",    "binary", "none",
};
constexpr int k_type_count = sizeof(k_type_names) / sizeof(k_type_names[0]);

}  // namespace

extern "C" {

size_t vlt_canonicalize_path(char* path, size_t len) {
    if (path == nullptr) return 0;
    // Room for the leading '/' is the one spare byte the caller provides.
    if (len == 0 || path[0] != '/') {
        std::memmove(path + 1, path, len);
        path[0] = '/';
        ++len;
    }
    size_t w = 1;
    for (size_t r = 1; r < len; ++r) {
        const char c = path[r];
        if (c == '/' && path[w - 1] == '/') continue;
        path[w++] = c;
    }
    if (w > 1 && path[w - 1] == '/') --w;
    return w;
}

data_type_t vlt_str_to_enum(const char* name) {
    if (name == nullptr) return DATATYPE_INVALID;
    // The first byte rules out most names without a call (a log reads one
    // type name per leaf event).
    for (int i = 1; i < k_type_count; ++i) {
        if (name[0] == k_type_names[i][0] && std::strcmp(name, k_type_names[i]) == 0)
            return static_cast<data_type_t>(i);
    }
    return DATATYPE_INVALID;
}

const char* vlt_enum_to_str(data_type_t type) {
    const int code = static_cast<int>(type);
    if (code <= 0 || code >= k_type_count) return nullptr;
    return k_type_names[code];
}

}  // extern "C"
