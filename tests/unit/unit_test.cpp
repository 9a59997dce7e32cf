// Unit tests of the pure logic: the checksum, the image rules the command line cannot reach
// cheaply (the walk and the rebuild at the image's last byte, the crc's byte order, a refused
// edit), the value patcher, and the rules for network values.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "netset.hpp"
#include "ubootenv.hpp"

using namespace std::string_literals;
using namespace ubootenv;

namespace {

// Bit-at-a-time CRC-32 (reflected 0xEDB88320), independent of the table code.
std::uint32_t reference_crc(const void* data, std::size_t size) {
    std::uint32_t crc = ~0u;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= static_cast<const std::uint8_t*>(data)[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

// A wrong polynomial, reflection or final complement changes the published check values; a
// zero-length call that does not return its start value breaks chaining.
TEST(Crc32, CheckValues) {
    struct Case {
        const char* text;
        std::uint32_t crc;
    };
    for (const Case& known : {Case{"123456789", 0xCBF43926}, Case{"a", 0xE8B7BE43},
                              Case{"abc", 0x352441C2}, Case{"", 0}})
        EXPECT_EQ(crc32(0, known.text, std::strlen(known.text)), known.crc) << known.text;
    for (std::uint32_t start : {0u, 1u, 0xCBF43926u, ~0u}) EXPECT_EQ(crc32(start, "x", 0), start);
}

// The bulk loop reads four bytes at a time: a piece that starts or ends inside such a word, at
// any alignment, must chain to the checksum of the whole.
TEST(Crc32, EveryChainedSplit) {
    alignas(8) std::uint8_t bytes[44];
    for (unsigned i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<std::uint8_t>(i * 37 + 11);
    for (unsigned align = 0; align < 4; ++align) {
        const std::uint8_t* data = bytes + align;
        for (unsigned size = 0; size <= 40; ++size)
            for (unsigned split = 0; split <= size; ++split)
                ASSERT_EQ(crc32(crc32(0, data, split), data + split, size - split),
                          reference_crc(data, size))
                    << "alignment " << align << ", size " << size << ", split " << split;
    }
}

// An image as a load leaves it: the data area given, 0xFF behind it, the last byte 0.
EnvImage& loaded_image(const std::string& data) {
    EnvImage& image = env_store.image[0];
    std::memset(&image, 0xFF, env_size);
    std::memcpy(image.data, data.data(), data.size());
    image.data[env_data_size - 1] = '\0';
    return image;
}

std::string bytes_of(const EnvImage& image) {
    return std::string(reinterpret_cast<const char*>(&image), env_size);
}

// The walk and the rebuild at the image's last byte (data offset 8186, which a load sets to 0):
// an entry that starts just before it is visited; a rebuild whose terminator lands on it fits,
// one whose terminator would fall behind the image must refuse and leave the image as it was,
// and a rebuild stores the checksum most significant byte first.
TEST(EnvImage, WalkAndRebuildAtTheLastByte) {
    struct Case {
        std::string data;
        const char* name;
        std::string value;
        bool rebuilt;  // deleting an absent name rebuilds the image, or is refused
    };
    const std::string filler(8180, 'x');  // "f=" and this fill data offsets 0 to 8181
    const Case cases[] = {
        {"f=" + filler + "yy\0=\0"s, "", "", false},  // "=" at 8185 found; no terminator room
        {"f=" + filler + "yyy\0"s, "f", filler + "yyy", true},    // terminator lands on 8186
        {"f=" + filler + "yyyyy"s, "f", filler + "yyyy", false},  // entry cut by the load
    };
    for (const Case& test : cases) {
        EnvImage& image = loaded_image(test.data);
        const char* found = get_uboot_env_var(&image, test.name);
        ASSERT_NE(found, nullptr) << test.data.size();
        EXPECT_EQ(found, test.value) << test.data.size();
        const std::string before = bytes_of(image);
        ASSERT_EQ(put_uboot_env_var(&image, "zz", nullptr), test.rebuilt ? 0 : -1)
            << test.data.size();
        if (!test.rebuilt) {
            EXPECT_EQ(bytes_of(image), before) << test.data.size();
            continue;
        }
        const std::uint32_t crc = reference_crc(image.data, env_data_size);
        const std::uint8_t big_endian[4] = {std::uint8_t(crc >> 24), std::uint8_t(crc >> 16),
                                            std::uint8_t(crc >> 8), std::uint8_t(crc)};
        EXPECT_EQ(std::memcmp(image.crc, big_endian, 4), 0) << test.data.size();
    }
}

// A set without room must return -1 and leave the loaded image exactly as it was, so that a
// look-up afterwards still finds the old value.
TEST(EnvImage, SetWithoutRoomLeavesTheImage) {
    EnvImage& image = loaded_image("a=1\0n="s + std::string(8176, 'v') + '\0');
    const std::string before = bytes_of(image);
    EXPECT_EQ(put_uboot_env_var(&image, "a", "123456"), -1);
    EXPECT_EQ(bytes_of(image), before);
    EXPECT_STREQ(get_uboot_env_var(&image, "a"), "1");
}

// The value patcher. The text lies in a buffer of newlines, so that only a newline inside the
// text may end a value. A patch that is refused must leave the text and its length as they
// were, and say why.
TEST(UpdateItem, Patches) {
    struct Case {
        std::string text;
        const char* key;
        const char* value;
        int value_start;     // -1: refused
        std::string result;  // the text afterwards, or the message of a refusal
    };
    const std::string dots(4090, '.');
    const std::string full = "A=1\n" + dots + ".\n";  // 4096 bytes
    const std::string too_long = " invalid size...\n";
    const Case cases[] = {
        // 30 bytes; the 8-byte value becomes 15 bytes, the tail moves by 7, the length is 37
        {"IPADDR=10.1.1.1\nNETMASK=1.2.3\n", "IPADDR", "192.168.100.200", 7,
         "IPADDR=192.168.100.200\nNETMASK=1.2.3\n"},
        {"A=12345\nB=x\n", "A", "9", 2, "A=9\nB=x\n"},                          // shrinks
        {"A=1\nB=2\nC=3", "B", "12345", 6, "A=1\nB=12345\nC=3"},                // grows, tail kept
        {"A=\nB\n", "A", "v", 2, "A=v\nB\n"},                                   // old value empty
        {"x A=" + std::string(19, '9') + "\nz", "A", "", 4, "x A=\nz"},         // old value of 19
        {"x A=" + std::string(20, '9') + "\nz", "A", "1", -1, "A" + too_long},  // of 20
        {"A=1\nA=2\n", "A", "9", 2, "A=9\nA=2\n"},                              // first occurrence
        {"IPADDR2=5\nIPADDR=2\n", "IPADDR", "9", 7, "IPADDR29\nIPADDR=2\n"},    // inside a word
        {"A=1\nB=2", "B", "3", -1, "B" + too_long},                             // no final newline
        {"A=1\nB", "B", "3", -1, "B" + too_long},  // value past the end
        {"", "A", "1", -1, "A not found...\n"},
        {"A=1\n" + dots + "\n", "A", "12", 2, "A=12\n" + dots + "\n"},  // grows to 4096 bytes
        {full, "A", "12", -1, "A too long...\n"},                       // would pass 4096
        {full.substr(0, 4095) + 'K', "K", "1", -1, "K" + too_long},     // key in the last byte
    };
    for (const Case& test : cases) {
        static netset::ConfigText text;
        std::memset(text.buf, '\n', sizeof text.buf);
        std::memcpy(text.buf, test.text.data(), test.text.size());
        text.len = static_cast<std::int32_t>(test.text.size());
        const std::string trace = test.text.substr(0, 12);
        testing::internal::CaptureStderr();
        const char* start = netset::update_item(text.buf, &text.len, test.key, test.value);
        const std::string message = testing::internal::GetCapturedStderr();
        EXPECT_EQ(start ? start - text.buf : -1, test.value_start) << trace;
        ASSERT_TRUE(text.len >= 0 && text.len <= netset::config_capacity) << trace;
        const std::string after(text.buf, static_cast<std::size_t>(text.len));
        if (start) {
            EXPECT_EQ(after, test.result) << trace;
            EXPECT_EQ(message, "") << trace;
        } else {
            EXPECT_EQ(after, test.text) << trace;
            EXPECT_EQ(message, "netset update_item: " + test.result) << trace;
            const std::size_t rest = sizeof text.buf - test.text.size();
            EXPECT_EQ(std::string(text.buf + test.text.size(), rest), std::string(rest, '\n'))
                << trace;
        }
    }
}

// use_dhcp requests DHCP when it reads as the integer 1 the way strtol reads it: a rule that
// compares text, or accepts other numbers, switches a static device to DHCP or back.
TEST(NetSettings, DhcpRule) {
    for (const char* yes : {"1", "01", "+1", "1x", " 1"})
        EXPECT_TRUE(netset::dhcp_requested(yes)) << yes;
    for (const char* no : {"0", "y", "yes", "0x1", "", "11", "-1"})
        EXPECT_FALSE(netset::dhcp_requested(no)) << no;
}

// The prefix length counts the mask's leading one bits, most significant first, and stops at
// the first zero bit.
TEST(NetSettings, PrefixLength) {
    struct Case {
        std::uint32_t mask;
        int prefix;
    };
    for (const Case& test : {Case{0xFFFFFFFF, 32}, Case{0x00000000, 0}, Case{0x80000000, 1},
                             Case{0xFFFFFE00, 23}, Case{0xFF00FF00, 8}})
        EXPECT_EQ(netset::prefix_length(test.mask), test.prefix) << std::hex << test.mask;
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
