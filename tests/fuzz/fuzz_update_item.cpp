// Value patcher: up to 4096 bytes of text in a heap block of exactly 4096 (ASan sees
// any access past it), zeros or newlines behind it. The text becomes the old text
// with exactly that value replaced, or a refusal leaves all 4096 bytes and length.
// Input: byte 0 (bit 0: newlines behind the text), key, NUL, value, NUL, text.
#include <memory>

#include "common.hpp"
#include "netset.hpp"

extern "C" int LLVMFuzzerInitialize(int*, char***) { return fuzz::discard_output(); }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* in, std::size_t size) {
    constexpr std::size_t room = netset::config_capacity, npos = std::string::npos;
    if (size < 1) return 0;
    const std::uint8_t *p = in + 1, *end = in + size;
    const std::string key = fuzz::text(p, end, 64), value = fuzz::text(p, end, room);
    const std::string text(p, p + std::min<std::size_t>(end - p, room));
    const std::unique_ptr<char[]> buf(new char[room]);
    std::memset(buf.get(), in[0] & 1 ? '\n' : 0, room);
    std::memcpy(buf.get(), text.data(), text.size());
    const std::string before(buf.get(), room);
    std::int32_t len = static_cast<std::int32_t>(text.size());
    // The value starts a byte after the key, and a newline of the text within 20 bytes ends it.
    const std::size_t found = text.find(key), start = found + key.size() + 1;
    const std::size_t nl = found == npos || start >= text.size() ? npos : text.find('\n', start);
    const bool ok = nl < start + 20 && start + value.size() + text.size() - nl <= room;
    const std::string expected = ok ? text.substr(0, start) + value + text.substr(nl) : text;
    const char* result = netset::update_item(buf.get(), &len, key.c_str(), value.c_str());
    FUZZ_CHECK(result == (ok ? buf.get() + start : nullptr));
    FUZZ_CHECK(len == static_cast<std::int32_t>(expected.size()));
    FUZZ_CHECK(std::memcmp(buf.get(), expected.data(), expected.size()) == 0);
    FUZZ_CHECK(ok || before == std::string(buf.get(), room));
    return 0;
}
