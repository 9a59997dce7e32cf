// For the harnesses: checks that abort (the fuzzer keeps the input and prints
// where), an input reader, a bitwise CRC-32, a compact model of the entries.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#define FUZZ_CHECK(c) ((c) ? void() : std::abort())

namespace fuzz {

inline int discard_output() { return !(stdout = stderr = std::fopen("/dev/null", "w")); }

// The input's next text up to a NUL, which is consumed.
inline std::string text(const std::uint8_t*& p, const std::uint8_t* end, std::size_t max) {
    std::string s;
    while (p < end && *p && s.size() < max) s += static_cast<char>(*p++);
    p += p < end && !*p;
    return s;
}

// CRC-32 of IEEE 802.3 (reflected, polynomial 0xEDB88320), written independently of the
// product's code: its table is built one bit at a time, and each byte takes one look-up.
inline std::uint32_t crc(const void* data, std::size_t size) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> entries{};
        for (std::uint32_t byte = 0; byte < 256; ++byte) {
            std::uint32_t remainder = byte;
            for (int bit = 0; bit < 8; ++bit)
                remainder = (remainder >> 1) ^ (0xEDB88320u & (0u - (remainder & 1)));
            entries[byte] = remainder;
        }
        return entries;
    }();
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::uint32_t crc = ~0u;
    for (std::size_t i = 0; i < size; ++i) crc = table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

// Entries of a data area whose last byte is 0: each runs to its NUL, and the
// list ends at an empty entry or where an entry would start at the last byte.
inline std::vector<std::string_view> entries(const char* data, std::size_t size) {
    std::vector<std::string_view> list;
    for (std::size_t off = 0; off + 1 < size && data[off]; off += list.back().size() + 1)
        list.emplace_back(data + off);
    return list;
}

// An entry NAME=..., and the value of the first one.
inline bool belongs(std::string_view e, std::string_view name) {
    return e.size() > name.size() && e.starts_with(name) && e[name.size()] == '=';
}
inline std::optional<std::string_view> value_of(const auto& list, std::string_view name) {
    for (std::string_view e : list)
        if (belongs(e, name)) return e.substr(name.size() + 1);
    return std::nullopt;
}

// Names to look up: "", and the text before the first "=" of the first 32 entries.
inline std::vector<std::string> names(const auto& list) {
    std::vector<std::string> out{""};
    for (std::size_t i = 0; i < list.size() && i < 32; ++i)
        out.emplace_back(list[i].substr(0, list[i].find('=')));
    return out;
}

}  // namespace fuzz
