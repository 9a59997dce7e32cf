// Checksum, look-up and in-memory editing of the environment image, on
// images built byte by byte in the store's two buffers.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "ubootenv.hpp"

using namespace std::string_literals;
using ubootenv::crc32;
using ubootenv::env_data_size;
using ubootenv::EnvImage;

namespace {

// Bit-at-a-time CRC-32 (reflected 0xEDB88320), the reference for the table code.
std::uint32_t reference_crc(std::uint32_t crc, const std::uint8_t* p, std::size_t n) {
    crc = ~crc;
    while (n--) {
        crc ^= *p++;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

std::uint32_t crc_of(const std::string& s, std::uint32_t start = 0) {
    return crc32(start, s.data(), static_cast<unsigned>(s.size()));
}

TEST(Crc32, PublishedCheckValues) {
    const struct {
        std::string data;
        std::uint32_t crc;
    } cases[] = {
        {"123456789", 0xCBF43926}, {"", 0},        {"a", 0xE8B7BE43},
        {"abc", 0x352441C2},       {"The quick brown fox jumps over the lazy dog", 0x414FA339},
        {std::string(32, '\0'), 0x190A55AD},       {std::string(32, '\xFF'), 0xFF6CAB0B},
    };
    for (const auto& c : cases) EXPECT_EQ(crc_of(c.data), c.crc) << c.data;
}

TEST(Crc32, ZeroLengthReturnsStartValue) {
    for (std::uint32_t start : {0u, 1u, 0xCBF43926u, 0xFFFFFFFFu, 0x80000000u})
        EXPECT_EQ(crc32(start, "x", 0), start);
}

TEST(Crc32, ChainingEqualsOneCall) {
    EXPECT_EQ(crc_of("4567", crc_of("123")), crc_of("1234567"));
    // Every length up to 40, every split, at every alignment of the buffer:
    // pieces start and end inside the four-byte words of the bulk loop.
    alignas(8) std::uint8_t buf[48];
    for (std::size_t i = 0; i < sizeof buf; ++i) buf[i] = static_cast<std::uint8_t>(i * 37 + 11);
    for (unsigned align = 0; align < 4; ++align)
        for (unsigned n = 0; n <= 40; ++n) {
            const std::uint8_t* p = buf + align;
            const std::uint32_t whole = crc32(0, p, n);
            ASSERT_EQ(whole, reference_crc(0, p, n)) << "align " << align << " n " << n;
            for (unsigned split = 0; split <= n; ++split)
                ASSERT_EQ(crc32(crc32(0, p, split), p + split, n - split), whole)
                    << "align " << align << " n " << n << " split " << split;
        }
}

// ---- images -------------------------------------------------------------

EnvImage& buffer(int i) { return ubootenv::env_store.image[i]; }

std::uint32_t stored_crc(const EnvImage& img) {
    return std::uint32_t{img.crc[0]} << 24 | std::uint32_t{img.crc[1]} << 16 |
           std::uint32_t{img.crc[2]} << 8 | img.crc[3];
}

// Fills buffer i with the given data area (the rest 0xFF), a valid crc and flag.
EnvImage* make_image(int i, const std::string& data, std::uint8_t flag = 1) {
    EnvImage& img = buffer(i);
    EXPECT_LE(data.size(), env_data_size);
    std::memset(img.data, 0xFF, env_data_size);
    std::memcpy(img.data, data.data(), data.size());
    const std::uint32_t c = crc32(0, img.data, env_data_size);
    img.crc[0] = static_cast<std::uint8_t>(c >> 24);
    img.crc[1] = static_cast<std::uint8_t>(c >> 16);
    img.crc[2] = static_cast<std::uint8_t>(c >> 8);
    img.crc[3] = static_cast<std::uint8_t>(c);
    img.flag = flag;
    return &img;
}

// A data area whose first entry fills it up to and including data offset
// last_nul: "f=" then x's then its NUL there; anything after follows.
std::string filled_to(std::size_t last_nul, const std::string& after = "") {
    return "f=" + std::string(last_nul - 2, 'x') + '\0' + after;
}

std::optional<std::string> lookup(EnvImage* img, const char* name) {
    const char* v = ubootenv::get_uboot_env_var(img, name);
    if (!v) return std::nullopt;
    EXPECT_GE(v, img->data);
    EXPECT_TRUE(std::memchr(v, '\0', static_cast<std::size_t>(img->data + env_data_size - v)));
    return std::string(v);
}

constexpr std::nullopt_t none = std::nullopt;

TEST(GetUbootEnvVar, LookUp) {
    const struct {
        std::string data;
        const char* name;
        std::optional<std::string> value;
    } cases[] = {
        {"ipaddr=1.2.3.4\0\0"s, "ipaddr", "1.2.3.4"},
        {"ipaddr=1.2.3.4\0\0"s, "ip", none},              // prefix of a stored name
        {"ip\0ipaddr=1.2.3.4\0\0"s, "ip", none},          // entry without "="
        {"ipaddr=1.2.3.4\0\0"s, "ipaddr=1", none},        // next byte is ".", not "="
        {"a=b=c\0\0"s, "a", "b=c"},
        {"a=b=c\0\0"s, "a=b", "c"},
        {"a=\0b=2\0\0"s, "a", ""},                        // empty value, not null
        {"a=\0b=2\0\0"s, "b", "2"},
        {"A=1\0\0"s, "a", none},                          // case counts
        {"a=1\0a=2\0\0"s, "a", "1"},                      // first match wins
        {"x=0\0a=1\0a=2\0\0"s, "a", "1"},
        {"a=1\0\0b=2\0\0"s, "b", none},                   // nothing after the terminator
        {"\0a=1\0\0"s, "a", none},                        // empty environment
        {"\0"s, "", none},
        {"a=1\0\0"s, "", none},                           // empty name: only an entry "=..."
        {"a=1\0=x\0\0"s, "", "x"},
        {"\xFF\xFF=1\0\0"s, "\xFF\xFF", "1"},              // any bytes are a name
        {filled_to(8184, "=\0"s), "", ""},                // starts at 8190: visited
        {filled_to(8185, "="s), "", none},                 // would start at 8191: not visited
        {filled_to(8186), "f", std::string(8184, 'x')},   // entry ends at 8191, no terminator
    };
    for (const auto& c : cases) {
        for (int i : {0, 1}) {
            EXPECT_EQ(lookup(make_image(i, c.data), c.name), c.value)
                << "case " << (&c - cases) << " buffer " << i;
        }
    }
    EXPECT_EQ(ubootenv::get_uboot_env_var(nullptr, "a"), nullptr);
}

TEST(GetUbootEnvVar, Listing) {
    const struct {
        std::string data;
        std::string out;
    } cases[] = {
        {"a=1\0b=\0abc\0=x\0\0c=3\0\0"s, "a=1\nb=\nabc\n=x\n"},
        {"\0a=1\0\0"s, ""},
        {filled_to(8184, "=\0"s), "f=" + std::string(8182, 'x') + "\n=\n"},
        {filled_to(8185, "="s), "f=" + std::string(8183, 'x') + "\n"},
    };
    for (const auto& c : cases) {
        EnvImage* img = make_image(1, c.data);
        testing::internal::CaptureStdout();
        EXPECT_EQ(ubootenv::get_uboot_env_var(img, nullptr), nullptr);
        std::fflush(stdout);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out) << "case " << (&c - cases);
    }
    testing::internal::CaptureStdout();
    ubootenv::get_uboot_env_var(nullptr, nullptr);
    std::fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

// ---- editing ------------------------------------------------------------

struct Edit {
    const char* name;
    std::optional<std::string> value;  // none: delete
    int result;
};

// Loads `data` into buffer `which` as the loader leaves it (the partner gets
// junk and flag 0x5A), runs the edits and checks each result and the image
// after it: on success the crc (big-endian) verifies, both buffers hold the
// same bytes with the partner's flag, and a look-up gives the new value or
// nothing; on failure the image is as before but for its last byte, now 0.
// Finally the data area is `expected` followed by 0xFF fill.
void run_edits(const std::string& data, const std::vector<Edit>& edits,
               const std::optional<std::string>& expected, int which) {
    EnvImage* img = make_image(which, data);
    img->data[env_data_size - 1] = '\0';
    EnvImage& partner = buffer(1 - which);
    std::memset(&partner, 0xA5, sizeof partner);
    partner.flag = 0x5A;
    for (const Edit& e : edits) {
        EnvImage before;
        std::memcpy(&before, img, sizeof before);
        const std::string value = e.value.value_or("");
        ASSERT_EQ(ubootenv::put_uboot_env_var(img, e.name, e.value ? value.c_str() : nullptr),
                  e.result)
            << "edit of " << e.name;
        if (e.result != 0) {
            before.data[env_data_size - 1] = '\0';
            ASSERT_EQ(std::memcmp(img, &before, sizeof before), 0) << "failed edit changed image";
            continue;
        }
        ASSERT_EQ(std::memcmp(img, &partner, sizeof partner), 0) << "buffers differ";
        ASSERT_EQ(img->flag, 0x5A);
        ASSERT_EQ(stored_crc(*img), reference_crc(0, reinterpret_cast<std::uint8_t*>(img->data),
                                                  env_data_size));
        EXPECT_EQ(lookup(img, e.name), e.value);
    }
    if (!expected) return;
    ASSERT_LE(expected->size(), env_data_size);
    EXPECT_EQ(std::string(img->data, expected->size()), *expected);
    for (std::size_t i = expected->size(); i < env_data_size; ++i)
        ASSERT_EQ(static_cast<std::uint8_t>(img->data[i]), 0xFF) << "fill at data offset " << i;
}

std::string v(std::size_t n) { return std::string(n, 'v'); }

TEST(PutUbootEnvVar, Edits) {
    const struct {
        std::string data;
        std::vector<Edit> edits;
        std::optional<std::string> expected;  // data area up to its terminator
    } cases[] = {
        {"\0"s, {{"a", "1", 0}}, "a=1\0\0"s},
        {"\0"s, {{"a", "", 0}}, "a=\0\0"s},
        {"\0"s, {{"n", v(8183), 0}}, "n=" + v(8183) + "\0\0"s},        // 8184: ends at 8191
        {"\0"s, {{"nn", v(8183), -1}, {"n", v(8184), -1}}, none},      // 8185: no room
        {"\0"s, {{"a", "1", 0}, {"b", "2", 0}}, "a=1\0b=2\0\0"s},
        {"a=1\0b=2\0\0"s, {{"a", "3", 0}}, "b=2\0a=3\0\0"s},          // replace moves to end
        {"a=1\0b=2\0a=3\0c\0\0"s, {{"a", none, 0}}, "b=2\0c\0\0"s}, // duplicates all go
        {"a=1\0b=2\0a=3\0\0"s, {{"a", "4", 0}}, "b=2\0a=4\0\0"s},
        {"b=2\0\0"s, {{"a", "1", 0}, {"a", none, 0}}, "b=2\0\0"s},     // set then delete
        {"ipaddr=1\0\0"s, {{"ip", none, 0}}, "ipaddr=1\0\0"s},         // prefix deletes nothing
        {"a=1\0\0junk\0"s, {{"zz", none, 0}}, "a=1\0\0"s},            // fresh fill
        {"\0junk"s, {{"zz", none, 0}}, "\0"s},
        {"a=1\0=x\0\0"s, {{"", none, 0}}, "a=1\0\0"s},               // empty name: "=..."
        {"a=b=1\0\0"s, {{"a=b", "2", 0}}, "a=b=2\0\0"s},
        {"a=b=1\0\0"s, {{"a", none, 0}}, "\0"s},
        // The old entry's bytes count as free; other entries do not.
        {"n=" + v(8182) + "\0\0"s, {{"n", v(8183), 0}}, "n=" + v(8183) + "\0\0"s},
        {"b=\0n="s + v(8179) + "\0\0"s, {{"n", v(8181), -1}, {"n", v(8180), 0}},
         "b=\0n="s + v(8180) + "\0\0"s},
        // A failed set leaves the image: the old value is still there after it.
        {"a=old\0\0"s, {{"a", v(8184), -1}, {"b", "1", 0}}, "a=old\0b=1\0\0"s},
        // Kept entries ending at 8191 leave no place for the terminator.
        {filled_to(8186), {{"zz", none, -1}, {"zz", "", -1}}, none},
        {filled_to(8186), {{"f", none, 0}}, "\0"s},
        {filled_to(8185), {{"zz", none, 0}}, filled_to(8185, "\0"s)},
    };
    for (const auto& c : cases)
        for (int which : {0, 1}) {
            SCOPED_TRACE("case " + std::to_string(&c - cases) + " buffer " +
                         std::to_string(which));
            run_edits(c.data, c.edits, c.expected, which);
        }
}

TEST(PutUbootEnvVar, ChecksumStoredBigEndian) {
    // "a=1" in an empty environment; the value is the CRC-32 of
    // "a=1\0\0" followed by 8182 bytes 0xFF, computed independently.
    EnvImage* img = make_image(0, "\0"s);
    ASSERT_EQ(ubootenv::put_uboot_env_var(img, "a", "1"), 0);
    const std::uint8_t expected[4] = {0x5F, 0x0F, 0x16, 0x45};
    EXPECT_EQ(std::memcmp(img->crc, expected, 4), 0);
}

TEST(PutUbootEnvVar, NoImage) {
    EXPECT_EQ(ubootenv::put_uboot_env_var(nullptr, "a", "1"), -1);
    EXPECT_EQ(ubootenv::put_uboot_env_var(nullptr, "a", nullptr), -1);
}

}  // namespace
