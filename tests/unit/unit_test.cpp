// Unit tests of the pure rules that no other stage pins: the checksum's published values and its
// chaining, and the rules for network values. The image walk, the rebuild and the value patcher
// are checked against models by the fuzz harnesses (tests/fuzz).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "netset.hpp"
#include "ubootenv.hpp"

namespace {

// A wrong polynomial, reflection or final complement changes the published check values; a
// start value that is not taken as the checksum so far breaks chaining.
TEST(Crc32, CheckValuesAndChaining) {
    EXPECT_EQ(ubootenv::crc32(0, "123456789", 9), 0xCBF43926u);
    EXPECT_EQ(ubootenv::crc32(0, "abc", 3), 0x352441C2u);
    for (std::uint32_t start : {0u, 1u, 0xCBF43926u})
        EXPECT_EQ(ubootenv::crc32(start, "x", 0), start);
    for (unsigned split = 0; split <= 9; ++split)
        EXPECT_EQ(
            ubootenv::crc32(ubootenv::crc32(0, "123456789", split), "123456789" + split, 9 - split),
            0xCBF43926u)
            << "split after " << split;
}

// A rule that compares text, or accepts other numbers, switches a static device to DHCP or back:
// use_dhcp requests DHCP when it reads as the integer 1 the way strtol reads it.
TEST(NetSettings, DhcpRule) {
    for (const char* yes : {"1", "01", "+1", "1x", " 1"})
        EXPECT_TRUE(netset::dhcp_requested(yes)) << yes;
    for (const char* no : {"0", "y", "0x1", "", "11", "-1"})
        EXPECT_FALSE(netset::dhcp_requested(no)) << no;
}

// A prefix length that counts all one bits, or starts from the wrong end, gives confignw a
// wrong prefixlen.
TEST(NetSettings, PrefixLength) {
    EXPECT_EQ(netset::prefix_length(0xFFFFFFFF), 32);
    EXPECT_EQ(netset::prefix_length(0x00000000), 0);
    EXPECT_EQ(netset::prefix_length(0xFFFFFE00), 23);
    EXPECT_EQ(netset::prefix_length(0xFF00FF00), 8);
}

// A guard that lets any byte but an ASCII letter, a digit, ".", ":" or "-" through, anywhere in
// a value, lets a value change what shell scripts and confignw's command line run.
TEST(NetSettings, OnlyLettersDigitsDotsColonsAndDashesAreAllowed) {
    const std::string allowed = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789.:-";
    for (int byte = 1; byte < 256; ++byte) {
        const char value[] = {'1', static_cast<char>(byte), '\0'};
        EXPECT_EQ(netset::value_allowed(value), allowed.find(value[1]) != std::string::npos)
            << "byte " << byte;
    }
}

}  // namespace
