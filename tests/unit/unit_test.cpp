// The checksum, the image rules the command line cannot reach cheaply (walk and
// rebuild at the image's last byte, the crc's byte order), the value patcher.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <tuple>

#include "netset.hpp"
#include "ubootenv.hpp"

using namespace std::string_literals;
using namespace ubootenv;

namespace {

// Bit-at-a-time CRC-32 (reflected 0xEDB88320), independent of the table code.
std::uint32_t reference_crc(const void* data, std::size_t n) {
    std::uint32_t c = ~0u;
    for (std::size_t i = 0; i < n; ++i) {
        c ^= static_cast<const std::uint8_t*>(data)[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

TEST(Crc32, CheckValuesZeroLengthAndChaining) {
    const char* text[] = {"123456789", "", "a", "abc"};
    const std::uint32_t crc[] = {0xCBF43926, 0, 0xE8B7BE43, 0x352441C2};
    for (int i = 0; i < 4; ++i) EXPECT_EQ(crc32(0, text[i], std::strlen(text[i])), crc[i]) << i;
    for (std::uint32_t start : {0u, 1u, 0xCBF43926u, ~0u}) EXPECT_EQ(crc32(start, "x", 0), start);
    // Every split of every length up to 40 at each alignment: the pieces start
    // and end inside the four-byte words of the bulk loop.
    alignas(8) std::uint8_t b[44];
    for (unsigned i = 0; i < sizeof b; ++i) b[i] = static_cast<std::uint8_t>(i * 37 + 11);
    for (unsigned a = 0; a < 4; ++a)
        for (unsigned n = 0; n <= 40; ++n)
            for (unsigned s = 0; s <= n; ++s)
                ASSERT_EQ(crc32(crc32(0, b + a, s), b + a + s, n - s), reference_crc(b + a, n))
                    << "align " << a << " length " << n << " split " << s;
}

// Data areas "f=x...", its NUL at data offset `nul` (image offset nul + 5), `after`, 0xFF fill:
// looking up `name` gives `value`, deleting an absent name `deleted`, and the crc is then
// stored most significant byte first.
TEST(EnvImage, WalkAndRebuildAtTheLastByte) {
    using Case = std::tuple<std::size_t, std::string, std::string, std::optional<std::string>, int>;
    for (const auto& [nul, after, name, value, deleted] : std::initializer_list<Case>{
             {8184, "=\0"s, "", "", -1},                   // entry at 8190 visited, kept: no room
             {8185, "=", "", std::nullopt, 0},             // one would start at 8191: not visited
             {8185, "", "f", std::string(8183, 'x'), 0},   // terminator at 8191
             {8186, "", "f", std::string(8184, 'x'), -1},  // entry ends at 8191, no terminator
         }) {
        EnvImage& img = env_store.image[0];
        const std::string data = "f=" + std::string(nul - 2, 'x') + '\0' + after;
        std::memset(img.data, 0xFF, env_data_size);
        std::memcpy(img.data, data.data(), data.size());
        const char* v = get_uboot_env_var(&img, name.c_str());
        EXPECT_EQ(v ? std::optional<std::string>(v) : std::nullopt, value) << nul;
        ASSERT_EQ(put_uboot_env_var(&img, "zz", nullptr), deleted) << nul;
        const std::uint32_t crc = reference_crc(img.data, env_data_size);
        for (int i = 0; i < 4; ++i)
            EXPECT_TRUE(deleted || img.crc[i] == std::uint8_t(crc >> (24 - 8 * i))) << nul;
    }
}

// The text sits in a buffer of newlines, so only a newline inside the text
// may end a value. `result` is the text afterwards or, when the patch is
// refused (start -1) and the text must stay as it was, the message.
TEST(UpdateItem, Patches) {
    const std::string dots(4090, '.'), bad = " invalid size...\n", full = "A=1\n" + dots + ".\n";
    using Case = std::tuple<std::string, std::string, std::string, int, std::string>;
    for (const auto& [text, key, value, start, result] : std::initializer_list<Case>{
             // The worked example: 30 bytes, an 8-byte value becomes 15, length 37.
             {"IPADDR=10.1.1.1\nNETMASK=1.2.3\n", "IPADDR", "192.168.100.200", 7,
              "IPADDR=192.168.100.200\nNETMASK=1.2.3\n"},
             {"A=12345\nB=x\n", "A", "9", 2, "A=9\nB=x\n"},                     // shrink
             {"A=1\nB=2\nC=3", "B", "12345", 6, "A=1\nB=12345\nC=3"},           // grow, tail kept
             {"A=abc\nB\n", "A", "xyz", 2, "A=xyz\nB\n"},                       // equal length
             {"A=\nB\n", "A", "v", 2, "A=v\nB\n"},                              // 0-byte old value
             {"x A=" + std::string(19, '9') + "\nz", "A", "", 4, "x A=\nz"},    // 19-byte old value
             {"x A=" + std::string(20, '9') + "\nz", "A", "1", -1, "A" + bad},  // 20: too long
             {"A=1\nA=2\n", "A", "9", 2, "A=9\nA=2\n"},                         // first occurrence
             {"IPADDR2=5\nIPADDR=2\n", "IPADDR", "9", 7, "IPADDR29\nIPADDR=2\n"},  // longer word
             {"A=1\nB=2", "B", "3", -1, "B" + bad},   // last line: no newline
             {"A=1\nB=", "B", "3", -1, "B" + bad},    // value starts at end
             {"A=1\nB", "B", "3", -1, "B" + bad},     // value starts past it
             {"", "A", "1", -1, "A not found...\n"},  // empty text
             {"A=1\n" + dots + "\n", "A", "12", 2, "A=12\n" + dots + "\n"},  // grows to 4096 bytes
             {full, "A", "12", -1, "A too long...\n"},                       // would pass 4096
             {full.substr(0, 4095) + 'K', "K", "1", -1, "K" + bad},          // key in the last byte
         }) {
        static netset::ConfigText t;
        std::memset(t.buf, '\n', sizeof t.buf);
        std::memcpy(t.buf, text.data(), text.size());
        t.len = static_cast<std::int32_t>(text.size());
        testing::internal::CaptureStderr();
        const char* r = netset::update_item(t.buf, &t.len, key.c_str(), value.c_str());
        const std::string err = testing::internal::GetCapturedStderr(), trace = text.substr(0, 9);
        EXPECT_EQ(r ? r - t.buf : -1, start) << trace;
        EXPECT_EQ(err, r ? "" : "netset update_item: " + result) << trace;
        ASSERT_TRUE(t.len >= 0 && t.len <= netset::config_capacity) << trace;
        EXPECT_EQ(std::string(t.buf, std::size_t(t.len)), r ? result : text) << trace;
        const std::size_t rest = sizeof t.buf - std::size_t(t.len);  // untouched if refused
        EXPECT_TRUE(r || std::string(t.buf + t.len, rest) == std::string(rest, '\n')) << trace;
    }
}

// use_dhcp requests DHCP when it reads as the integer 1, the way strtol reads it.
TEST(NetSettings, DhcpRule) {
    for (const char* yes : {"1", "01", "+1", "1x", " 1"})
        EXPECT_TRUE(netset::dhcp_requested(yes)) << yes;
    for (const char* no : {"0", "y", "yes", "0x1", "", "11", "-1"})
        EXPECT_FALSE(netset::dhcp_requested(no)) << no;
}

// The injection guard: ipaddr, netmask and gatewayip reach shell scripts and a shell command
// line, so a byte other than an ASCII letter, a digit, ".", ":" or "-" accepted anywhere in a
// value would let it change what runs. Every byte value is tried on its own.
TEST(NetSettings, OnlyLettersDigitsDotsColonsAndDashesAreAllowed) {
    const std::string allowed = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789.:-";
    for (int byte = 1; byte < 256; ++byte) {
        const char value[] = {static_cast<char>(byte), '\0'};
        const bool is_allowed = allowed.find(value[0]) != std::string::npos;
        EXPECT_EQ(netset::value_allowed(value), is_allowed) << "byte " << byte;
    }
    EXPECT_FALSE(netset::value_allowed("10.0.0.1;"));  // the last byte counts too
    EXPECT_TRUE(netset::value_allowed(""));            // an absent gateway is empty
}

}  // namespace
