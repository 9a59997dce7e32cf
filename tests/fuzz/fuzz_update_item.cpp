// Value patcher: arbitrary text of up to 4096 bytes in a heap block of
// exactly 4096 bytes (so AddressSanitizer sees any access past it), an
// arbitrary key and value. The result, the new text and length, and the
// message are compared with an independent computation of the rule; a
// refused patch must leave all 4096 bytes and the length as they were.
// The bytes behind the text are newlines or zeros, so a value window that
// looked past the text would be noticed.
//
// Input: byte 0 control (bit 0: newlines behind the text, else zeros; bit 1:
// the value is a long run of one byte), the key up to a NUL, the value up to
// a NUL (or, for a run, two bytes of count, big-endian, and the byte), then
// the text (its first 4096 bytes).
#include <algorithm>
#include <cstring>
#include <memory>

#include "common.hpp"
#include "netset.hpp"

namespace {

constexpr std::size_t capacity = netset::config_capacity;

std::string text_until_nul(const std::uint8_t*& p, const std::uint8_t* end, std::size_t max) {
    std::string s;
    while (p < end && *p != 0 && s.size() < max) s.push_back(static_cast<char>(*p++));
    if (p < end && *p == 0) ++p;
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::capture_streams();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* in, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t* p = in + 1;
    const std::uint8_t* end = in + size;
    const std::uint8_t ctl = in[0];
    const std::string key = text_until_nul(p, end, 64);
    std::string value;
    if (ctl & 2) {
        std::size_t count = p < end ? std::size_t{*p++} << 8 : 0;
        count |= p < end ? *p++ : 0;
        value.assign(count, p < end && *p ? static_cast<char>(*p) : 'v');
        if (p < end) ++p;
    } else {
        value = text_until_nul(p, end, 256);
    }
    const std::string text(reinterpret_cast<const char*>(p),
                           std::min<std::size_t>(static_cast<std::size_t>(end - p), capacity));

    const std::unique_ptr<char[]> buf(new char[capacity]);
    std::memset(buf.get(), (ctl & 1) ? '\n' : '\0', capacity);
    std::memcpy(buf.get(), text.data(), text.size());
    std::int32_t len = static_cast<std::int32_t>(text.size());
    const std::string before(buf.get(), capacity);

    // The rule, computed here: first occurrence of the key, the value one
    // byte behind it, ended by a newline inside the text within 20 bytes.
    std::string expected_message, expected_text;
    std::size_t start = 0;
    const auto found = std::search(text.begin(), text.end(), key.begin(), key.end());
    if (found == text.end() && !key.empty()) {
        expected_message = "netset update_item: " + key + " not found...\n";
    } else {
        start = static_cast<std::size_t>(found - text.begin()) + key.size() + 1;
        std::size_t newline = std::string::npos;
        for (std::size_t i = start; i < text.size() && i < start + 20; ++i)
            if (text[i] == '\n') {
                newline = i;
                break;
            }
        if (newline == std::string::npos) {
            expected_message = "netset update_item: " + key + " invalid size...\n";
        } else {
            expected_text = text.substr(0, start) + value + text.substr(newline);
            if (expected_text.size() > capacity)
                expected_message = "netset update_item: " + key + " too long...\n";
        }
    }

    fuzz::clear_streams();
    const char* result = netset::update_item(buf.get(), &len, key.c_str(), value.c_str());
    FUZZ_CHECK(fuzz::err_text == expected_message);
    FUZZ_CHECK(fuzz::out_text.empty());
    if (!expected_message.empty()) {
        FUZZ_CHECK(result == nullptr);
        FUZZ_CHECK(len == static_cast<std::int32_t>(text.size()));
        FUZZ_CHECK(std::memcmp(buf.get(), before.data(), capacity) == 0);
        return 0;
    }
    FUZZ_CHECK(result == buf.get() + start);
    FUZZ_CHECK(len == static_cast<std::int32_t>(expected_text.size()));
    FUZZ_CHECK(std::memcmp(buf.get(), expected_text.data(), expected_text.size()) == 0);
    return 0;
}
