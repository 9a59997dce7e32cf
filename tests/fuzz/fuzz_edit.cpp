// Editor: an image as a load leaves it, then up to 8 sets and deletes against a model (kept
// entries, NAME=VALUE, terminator: they fit or the image stays). After each success the crc
// verifies (big-endian), the data is the model's with 0xFF fill, and the partner a commit writes
// is the same (what a look-up then finds is the loader harness's).
// Input: byte 0 (bit 0: buffer 2; bit 1: 0x00 fill), data length (2 bytes,
// big-endian), data, then edits: a byte (bit 0: set), name, NUL, value, NUL.

#include "common.hpp"
#include "ubootenv.hpp"

using namespace ubootenv;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* in, std::size_t size) {
    if (size < 3) return 0;
    const std::size_t len = std::min({std::size_t{in[1]} << 8 | in[2], env_data_size, size - 3});
    const std::uint8_t *p = in + 3 + len, *end = in + size;
    EnvImage *img = &env_store.image[in[0] & 1], *partner = &env_store.image[1 - (in[0] & 1)];
    std::memset(img, in[0] & 2 ? 0x00 : 0xFF, env_size);
    std::memcpy(img->data, in + 3, len);
    for (int step = 0; step < 8 && p < end; ++step) {
        img->data[env_data_size - 1] = '\0';  // as a load leaves the chosen copy
        const bool set = *p++ & 1;
        const std::string name = fuzz::text(p, end, 64),
                          value = set ? fuzz::text(p, end, env_size) : "";
        const std::string before(reinterpret_cast<const char*>(img), env_size);
        const auto old = fuzz::entries(before.data() + 5, env_data_size);
        std::string model;
        for (std::string_view e : old) model += fuzz::belongs(e, name) ? "" : std::string(e) + '\0';
        model += (set ? name + "=" + value + '\0' : "") + '\0';

        const int result = put_uboot_env_var(img, name.c_str(), set ? value.c_str() : nullptr);
        FUZZ_CHECK(result == (model.size() <= env_data_size ? 0 : -1));
        FUZZ_CHECK(result == 0 || before == std::string(reinterpret_cast<char*>(img), env_size));
        if (result) continue;
        model.resize(env_data_size, '\xFF');
        const std::uint32_t crc = fuzz::crc(img->data, env_data_size);
        for (int i = 0; i < 4; ++i) FUZZ_CHECK(img->crc[i] == std::uint8_t(crc >> (24 - 8 * i)));
        FUZZ_CHECK(std::memcmp(img->data, model.data(), env_data_size) == 0);
        FUZZ_CHECK(std::memcmp(img, partner, env_size) == 0);
    }
    return 0;
}
