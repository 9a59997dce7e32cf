// Loader and look-up: arbitrary bytes as the two flash copies, read through open,
// read and close wrapped at link time; the copy chosen is the model's, and each
// look-up gives the model's value, inside the chosen image and ending there.
// Input: flags (bits 0, 1: valid crc in copy 1, 2; bit 6: copy 2 active), length 1, copies.
#include "common.hpp"
#include "ubootenv.hpp"

using namespace ubootenv;

static std::uint8_t device[2][env_size];  // /dev/mtd1 and /dev/mtd2, descriptors 1001 and 1002

extern "C" {
int __real_close(int fd);
int __wrap_open(const char* path, int, ...) { return 1000 + path[8] - '0'; }  // "/dev/mtdN"
ssize_t __wrap_read(int fd, void* buf, size_t n) {
    FUZZ_CHECK((fd == 1001 || fd == 1002) && n == env_size);
    return std::memcpy(buf, device[fd - 1001], n), static_cast<ssize_t>(n);
}
int __wrap_close(int fd) { return fd > 1000 ? 0 : __real_close(fd); }  // the fuzzer's own too

int LLVMFuzzerInitialize(int*, char***) { return fuzz::discard_output(); }

int LLVMFuzzerTestOneInput(const std::uint8_t* in, std::size_t size) {
    if (size < 3) return 0;
    const std::size_t copy1_size = std::min({std::size_t{in[1]} << 8 | in[2], env_size, size - 3});
    const std::size_t copy_sizes[2] = {copy1_size, std::min(size - 3 - copy1_size, env_size)};
    const std::uint8_t* copy_bytes[2] = {in + 3, in + 3 + copy1_size};
    for (int copy = 0; copy < 2; ++copy) {
        std::uint8_t* flash = device[copy];
        std::memset(flash, 0xFF, env_size);
        std::memcpy(flash, copy_bytes[copy], copy_sizes[copy]);
        if (in[0] >> copy & 1) {  // a valid checksum, stored big-endian
            const std::uint32_t crc = fuzz::crc(flash + 5, env_size - 5);
            for (int i = 0; i < 4; ++i) flash[i] = std::uint8_t(crc >> (24 - 8 * i));
        }
    }
    if (in[0] & 0x40) device[1][4] = flag_active;
    // Usable: the checksum matches and the flag is not 0xFF. A usable copy flagged 1 wins,
    // copy 1 first; otherwise a usable copy, copy 1 first.
    bool usable[2], active[2];
    for (int copy = 0; copy < 2; ++copy) {
        const std::uint8_t* flash = device[copy];
        const std::uint32_t stored =
            std::uint32_t{flash[0]} << 24 | flash[1] << 16 | flash[2] << 8 | flash[3];
        usable[copy] = flash[4] != 0xFF && stored == fuzz::crc(flash + 5, env_size - 5);
        active[copy] = usable[copy] && flash[4] == flag_active;
    }
    const int chosen = active[0] ? 0 : active[1] ? 1 : usable[0] ? 0 : usable[1] ? 1 : -1;
    EnvImage* img = read_uboot_env();
    get_uboot_env_var(img, nullptr);  // the listing
    FUZZ_CHECK(chosen < 0 ? !img : img == &env_store.image[chosen]);
    if (!img) return 0;
    const char* image_end = img->data + env_data_size;
    const auto list = fuzz::entries(img->data, env_data_size);
    for (const std::string& name : fuzz::names(list)) {
        const char* v = get_uboot_env_var(img, name.c_str());
        const auto expected = fuzz::value_of(list, name);
        FUZZ_CHECK(v ? expected && v == expected->data() : !expected);
        FUZZ_CHECK(!v || (v > img->data && v < image_end && std::memchr(v, 0, image_end - v)));
    }
    return 0;
}
}
