// The value patcher of the configuration files, the prefix length of a mask
// and the DHCP rule.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "netset.hpp"

using namespace std::string_literals;
using netset::ConfigText;
using netset::update_item;

namespace {

const std::string nl_fill(4096, '\n');

struct Patch {
    std::string text;
    const char* key;
    std::string value;
    int result;  // offset of the value start, or -1 for null
    std::string expected;  // text afterwards (on failure: the text itself)
    std::string message;   // standard error
};

// Patches a text whose buffer is filled with newlines past its end (only a
// newline inside the text may end a value), and checks the result, the new
// text and length, the bytes past the text, and standard error.
void run_patch(const Patch& p) {
    SCOPED_TRACE("key " + std::string(p.key) + " on " + p.text.substr(0, 40));
    static ConfigText t;
    ASSERT_LE(p.text.size(), sizeof t.buf);
    std::memcpy(t.buf, nl_fill.data(), sizeof t.buf);
    std::memcpy(t.buf, p.text.data(), p.text.size());
    t.len = static_cast<std::int32_t>(p.text.size());
    testing::internal::CaptureStderr();
    const char* r = update_item(t.buf, &t.len, p.key, p.value.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), p.message);
    EXPECT_EQ(r ? r - t.buf : -1, p.result);
    ASSERT_GE(t.len, 0);
    ASSERT_LE(t.len, static_cast<std::int32_t>(sizeof t.buf));
    EXPECT_EQ(std::string(t.buf, static_cast<std::size_t>(t.len)), p.expected);
    if (!r) {  // a refused patch writes nothing anywhere in the buffer
        EXPECT_EQ(std::string(t.buf + t.len, sizeof t.buf - static_cast<std::size_t>(t.len)),
                  nl_fill.substr(static_cast<std::size_t>(t.len)));
    }
}

std::string not_found(const char* key) { return "netset update_item: "s + key + " not found...\n"; }
std::string bad_size(const char* key) { return "netset update_item: "s + key + " invalid size...\n"; }
std::string too_long(const char* key) { return "netset update_item: "s + key + " too long...\n"; }

TEST(UpdateItem, Patches) {
    const std::string v19(19, '9'), v20(20, '9');
    // 4095 and 4096 bytes whose first line holds A=1.
    const std::string short_by_one = "A=1\n" + std::string(4090, '.') + '\n';
    const std::string full = "A=1\n" + std::string(4091, '.') + '\n';
    const Patch cases[] = {
        // The worked example: 30 bytes, value 8 -> 15 bytes, length 37.
        {"IPADDR=10.1.1.1\nNETMASK=1.2.3\n", "IPADDR", "192.168.100.200", 7,
         "IPADDR=192.168.100.200\nNETMASK=1.2.3\n", ""},
        {"A=12345\nB=x\n", "A", "9", 2, "A=9\nB=x\n", ""},                   // shrink
        {"A=1\nB=2\nC=3", "B", "12345", 6, "A=1\nB=12345\nC=3", ""},          // grow, tail kept
        {"A=abc\nB\n", "A", "xyz", 2, "A=xyz\nB\n", ""},                     // equal
        {"A=abc\nB\n", "A", "", 2, "A=\nB\n", ""},                           // empty new value
        {"A=\nB\n", "A", "v", 2, "A=v\nB\n", ""},                             // 0-byte old value
        {"x A=" + v19 + "\nz", "A", "1", 4, "x A=1\nz", ""},                  // 19-byte old value
        {"x A=" + v20 + "\nz", "A", "1", -1, "x A=" + v20 + "\nz", bad_size("A")},
        {"IPADDR 1.2.3.4\n", "IPADDR", "5.6.7.8", 7, "IPADDR 5.6.7.8\n", ""},  // any separator
        {"A=1\nA=2\n", "A", "9", 2, "A=9\nA=2\n", ""},                       // first only
        // Inside a longer word earlier on: the byte after the match is skipped.
        {"IPADDR2=5\nIPADDR=2\n", "IPADDR", "9", 7, "IPADDR29\nIPADDR=2\n", ""},
        {"#MYIP=1\nIP=2\n", "IP", "3", 6, "#MYIP=3\nIP=2\n", ""},
        {"A=1\nB=2", "B", "3", -1, "A=1\nB=2", bad_size("B")},                // last line, no newline
        {"A=1\nB=", "B", "3", -1, "A=1\nB=", bad_size("B")},                  // value start at the end
        {"A=1\nB", "B", "3", -1, "A=1\nB", bad_size("B")},                    // value start past it
        {"", "A", "1", -1, "", not_found("A")},
        {"A=1\n", "B", "1", -1, "A=1\n", not_found("B")},
        {"a=1\n", "A", "1", -1, "a=1\n", not_found("A")},
        // Capacity: the text may grow to 4096 bytes, not further.
        {short_by_one, "A", "12", 2, "A=12\n" + std::string(4090, '.') + '\n', ""},
        {full, "A", "12", -1, full, too_long("A")},
        {full, "A", "", 2, "A=\n" + std::string(4091, '.') + '\n', ""},
        {full.substr(0, 4095) + 'K', "K", "1", -1, full.substr(0, 4095) + 'K', bad_size("K")},
    };
    for (const Patch& p : cases) run_patch(p);
}

TEST(UpdateItem, RepeatedPatch) {
    const std::string v20(20, '7');
    // The same value twice leaves the same text; a 20-byte value is written
    // once, and then is too long to be replaced.
    const Patch cases[] = {
        {"A=1\n", "A", "1.2.3.4", 2, "A=1.2.3.4\n", ""},
        {"A=1.2.3.4\n", "A", "1.2.3.4", 2, "A=1.2.3.4\n", ""},
        {"A=1\n", "A", v20, 2, "A=" + v20 + "\n", ""},
        {"A=" + v20 + "\n", "A", v20, -1, "A=" + v20 + "\n", bad_size("A")},
    };
    for (const Patch& p : cases) run_patch(p);
}

TEST(PrefixLength, LeadingOnes) {
    const struct {
        std::uint32_t mask;
        int bits;
    } cases[] = {
        {0xFFFFFFFF, 32}, {0x00000000, 0}, {0x80000000, 1},  {0xFFFFFE00, 23}, {0xFF00FF00, 8},
        {0xFFFFFFFE, 31}, {0x7FFFFFFF, 0}, {0xFFFFFF00, 24}, {0xFFFF0001, 16},
    };
    for (const auto& c : cases) EXPECT_EQ(netset::prefix_length(c.mask), c.bits) << std::hex << c.mask;
}

TEST(DhcpRequested, ReadAsInteger) {
    const struct {
        const char* text;
        bool requested;
    } cases[] = {
        {"1", true},  {"01", true}, {"+1", true},  {"1x", true},   {" 1", true}, {"001", true},
        {"0", false}, {"y", false}, {"yes", false}, {"0x1", false}, {"", false},  {"-1", false},
        {"11", false}, {"2", false}, {"x1", false},
    };
    for (const auto& c : cases) EXPECT_EQ(netset::dhcp_requested(c.text), c.requested) << c.text;
}

}  // namespace
