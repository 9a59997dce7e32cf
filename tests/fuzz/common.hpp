// Shared by the fuzz harnesses: a failed check aborts with its reason (the
// fuzzer keeps the input), the code's standard streams are captured in
// memory so messages and listings can be compared byte for byte, and a
// bit-at-a-time CRC-32 serves as the independent reference.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

// Where the harness reports; the process's original standard error.
inline FILE* report_stream = nullptr;

[[noreturn]] inline void fail(const char* what, const char* file, int line) {
    std::fprintf(report_stream ? report_stream : stderr, "%s:%d: check failed: %s\n", file, line,
                 what);
    std::fflush(report_stream);
    std::abort();
}

#define FUZZ_CHECK(cond) \
    do { \
        if (!(cond)) ::fuzz::fail(#cond, __FILE__, __LINE__); \
    } while (0)

// Text written by the code under test to standard output and standard error.
inline std::string out_text, err_text;

inline ssize_t append_to(void* cookie, const char* buf, size_t n) {
    static_cast<std::string*>(cookie)->append(buf, n);
    return static_cast<ssize_t>(n);
}

// Redirects the C streams stdout and stderr into out_text and err_text. The
// fuzzer itself keeps the original streams (it took them at start-up), and
// sanitizer reports go straight to file descriptor 2.
inline void capture_streams() {
    report_stream = stderr;
    const cookie_io_functions_t io{nullptr, append_to, nullptr, nullptr};
    stdout = fopencookie(&out_text, "w", io);
    stderr = fopencookie(&err_text, "w", io);
    if (!stdout || !stderr) std::abort();
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

inline void clear_streams() {
    out_text.clear();
    err_text.clear();
}

// Byte at a time over a table built bit by bit (reflected 0xEDB88320).
inline std::uint32_t reference_crc(const void* data, std::size_t n) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
            t[i] = c;
        }
        return t;
    }();
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::uint32_t crc = 0xFFFFFFFFu;
    while (n--) crc = table[(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

inline std::uint32_t load_be32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

inline void store_be32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}

// The entries of a data area whose last byte is 0 (as after a load): each
// runs to its NUL; the list ends at an empty entry or where the next entry
// would start at image offset 8191 (data offset 8186) or later.
inline std::vector<std::string_view> entries_of(const char* data, std::size_t size) {
    std::vector<std::string_view> list;
    std::size_t off = 0;
    while (off + 1 < size && data[off] != '\0') {
        const std::string_view e(data + off);
        list.push_back(e);
        off += e.size() + 1;
    }
    return list;
}

// The value of the first entry that is NAME followed by "=".
inline std::optional<std::string_view> value_of(const std::vector<std::string_view>& list,
                                                std::string_view name) {
    for (std::string_view e : list)
        if (e.size() > name.size() && e.starts_with(name) && e[name.size()] == '=')
            return e.substr(name.size() + 1);
    return std::nullopt;
}

// Names worth looking up in a list: each entry's text before its first "="
// and before its last "=", and that first name less its last byte (a prefix
// that must not match), for the first and last few entries.
inline std::vector<std::string> names_in(const std::vector<std::string_view>& list) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i == 24 && list.size() > 32) i = list.size() - 8;
        const std::string_view e = list[i];
        const std::size_t first = e.find('='), last = e.rfind('=');
        if (first == std::string_view::npos) {
            names.emplace_back(e);
            continue;
        }
        names.emplace_back(e.substr(0, first));
        if (last != first) names.emplace_back(e.substr(0, last));
        if (first > 0) names.emplace_back(e.substr(0, first - 1));
    }
    return names;
}

}  // namespace fuzz
