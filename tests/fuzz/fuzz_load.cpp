// Loader and look-up: arbitrary bytes as the two flash copies, served to the
// unchanged read_uboot_env by open/read/close wrapped at link time
// (-Wl,--wrap=open,--wrap=read,--wrap=close); the harness then lists the
// environment and looks names up, and checks the choice of the copy, the
// buffers, the messages, the listing, and that every value returned lies in
// the chosen image and ends there.
//
// Input: byte 0 control, bytes 1-2 the length of copy 1 (big-endian, at
// most 8192), then copy 1, then copy 2 (at most 8192 bytes); shorter copies
// are padded. Control bits: 0 and 1 store a correct crc in copy 1 and 2;
// 2-4 select a device fault (5 open fails, 6 short read, 7 read error, else
// none) on copy 1 or, with bit 7, copy 2; bit 5 pads with 0x00, not 0xFF;
// bit 6 marks copy 2 active (flag 1), so both may claim to be.
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include "common.hpp"
#include "ubootenv.hpp"

using ubootenv::env_size;
using ubootenv::EnvImage;

namespace {

constexpr int fake_fd[2] = {1001, 1002};

enum class Fault { none, open, short_read, read_error };

struct Device {
    std::uint8_t bytes[env_size];
    std::size_t size;  // bytes a short read returns
    Fault fault;
    int opens, closes, reads;
} device[2];

int device_of_path(const char* path) {
    if (std::strcmp(path, "/dev/mtd1") == 0) return 0;
    if (std::strcmp(path, "/dev/mtd2") == 0) return 1;
    return -1;
}

int device_of_fd(int fd) { return fd == fake_fd[0] ? 0 : fd == fake_fd[1] ? 1 : -1; }

}  // namespace

extern "C" {
int __real_open(const char* path, int flags, ...);
ssize_t __real_read(int fd, void* buf, size_t n);
int __real_close(int fd);

int __wrap_open(const char* path, int flags, ...) {
    const int d = device_of_path(path);
    if (d < 0) {
        va_list ap;
        va_start(ap, flags);
        const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, mode_t) : 0;
        va_end(ap);
        return __real_open(path, flags, mode);
    }
    FUZZ_CHECK((flags & O_ACCMODE) == O_RDWR);  // the devices are opened read-write
    ++device[d].opens;
    if (device[d].fault == Fault::open) {
        errno = ENOENT;
        return -1;
    }
    return fake_fd[d];
}

ssize_t __wrap_read(int fd, void* buf, size_t n) {
    const int d = device_of_fd(fd);
    if (d < 0) return __real_read(fd, buf, n);
    FUZZ_CHECK(n == env_size);
    ++device[d].reads;
    switch (device[d].fault) {
    case Fault::read_error:
        errno = EIO;
        return -1;
    case Fault::short_read:
        std::memcpy(buf, device[d].bytes, device[d].size);
        return static_cast<ssize_t>(device[d].size);
    default:
        std::memcpy(buf, device[d].bytes, env_size);
        return static_cast<ssize_t>(env_size);
    }
}

int __wrap_close(int fd) {
    const int d = device_of_fd(fd);
    if (d < 0) return __real_close(fd);
    ++device[d].closes;
    return 0;
}

int LLVMFuzzerInitialize(int*, char***) {
    fuzz::capture_streams();
    return 0;
}

int LLVMFuzzerTestOneInput(const std::uint8_t* in, std::size_t size) {
    if (size < 3) return 0;
    const std::uint8_t ctl = in[0];
    const std::size_t len1 = std::min<std::size_t>({std::size_t{in[1]} << 8 | in[2], env_size, size - 3});
    const std::uint8_t* p1 = in + 3;
    const std::uint8_t* p2 = p1 + len1;
    const std::size_t len2 = std::min<std::size_t>(size - 3 - len1, env_size);
    const std::uint8_t pad = (ctl & 0x20) ? 0x00 : 0xFF;

    const std::uint8_t* src[2] = {p1, p2};
    const std::size_t len[2] = {len1, len2};
    for (int d = 0; d < 2; ++d) {
        Device& dev = device[d];
        std::memset(dev.bytes, pad, env_size);
        std::memcpy(dev.bytes, src[d], len[d]);
        dev.size = len[d] < env_size ? len[d] : env_size - 1;
        if (ctl & (1u << d))
            fuzz::store_be32(dev.bytes, fuzz::reference_crc(dev.bytes + 5, env_size - 5));
        dev.fault = Fault::none;
        dev.opens = dev.closes = dev.reads = 0;
    }
    if (ctl & 0x40) device[1].bytes[4] = 1;
    const int fault_kind = (ctl >> 2) & 7;
    const int faulty = (ctl & 0x80) ? 1 : 0;
    if (fault_kind >= 5) device[faulty].fault = static_cast<Fault>(fault_kind - 4);

    // Stale contents must not matter: both buffers start as junk.
    std::memset(&ubootenv::env_store, 0x5A, sizeof ubootenv::env_store);
    fuzz::clear_streams();
    EnvImage* img = ubootenv::read_uboot_env();

    // Every device opened is closed again; a failing device ends the load.
    for (const Device& dev : device) FUZZ_CHECK(dev.opens == dev.closes + (dev.fault == Fault::open));
    if (fault_kind >= 5) {
        FUZZ_CHECK(img == nullptr);
        FUZZ_CHECK(device[1].opens == (faulty == 1 ? 1 : 0));
        const Fault f = device[faulty].fault;
        std::string expected;
        if (f == Fault::open)
            expected = faulty == 0 ? "read_uboot_env: Could not open env flash device...\n"
                                   : "read_uboot_env: Could not open env2 flash device...\n";
        else
            expected = "read_uboot_env: read(env" + std::to_string(faulty + 1) +
                       ") failed: " + std::strerror(f == Fault::read_error ? EIO : 0) + "\n";
        FUZZ_CHECK(fuzz::err_text == expected);
        FUZZ_CHECK(fuzz::out_text.empty());
        return 0;
    }
    FUZZ_CHECK(fuzz::err_text.empty() && fuzz::out_text.empty());
    FUZZ_CHECK(device[0].reads == 1 && device[1].reads == 1);

    // The choice, from the copies as stored.
    std::uint8_t flag[2];
    for (int d = 0; d < 2; ++d) {
        const bool valid = fuzz::reference_crc(device[d].bytes + 5, env_size - 5) ==
                           fuzz::load_be32(device[d].bytes);
        flag[d] = valid ? device[d].bytes[4] : 0xFF;
    }
    int chosen = -1;
    if (flag[0] == 1) chosen = 0;
    else if (flag[1] == 1) chosen = 1;
    else if (flag[0] != 0xFF) chosen = 0;
    else if (flag[1] != 0xFF) chosen = 1;
    FUZZ_CHECK(img == (chosen < 0 ? nullptr : &ubootenv::env_store.image[chosen]));

    // Both buffers hold the copies as read, with flag 0xFF where the crc
    // failed and, in the chosen one, a 0 at offset 8191.
    for (int d = 0; d < 2; ++d) {
        const auto* b = reinterpret_cast<const std::uint8_t*>(&ubootenv::env_store.image[d]);
        FUZZ_CHECK(std::memcmp(b, device[d].bytes, 4) == 0 && b[4] == flag[d]);
        FUZZ_CHECK(std::memcmp(b + 5, device[d].bytes + 5, env_size - 6) == 0);
        FUZZ_CHECK(b[env_size - 1] == (d == chosen ? 0 : device[d].bytes[env_size - 1]));
    }

    // Listing: every entry of the chosen image as a line.
    FUZZ_CHECK(ubootenv::get_uboot_env_var(img, nullptr) == nullptr);
    std::string listing;
    std::vector<std::string_view> list;
    if (img) list = fuzz::entries_of(img->data, ubootenv::env_data_size);
    for (std::string_view e : list) listing.append(e).push_back('\n');
    FUZZ_CHECK(fuzz::out_text == listing);

    // Look-ups: the first entry of the name, a string inside the image.
    const char* image_start = reinterpret_cast<const char*>(img);
    std::vector<std::string> names = fuzz::names_in(list);
    names.emplace_back("");
    for (const std::string& name : names) {
        const char* v = ubootenv::get_uboot_env_var(img, name.c_str());
        const auto expected = fuzz::value_of(list, name);
        FUZZ_CHECK(expected.has_value() == (v != nullptr));
        if (!v) continue;
        FUZZ_CHECK(v > image_start + 5 && v < image_start + env_size);
        const std::size_t room = static_cast<std::size_t>(image_start + env_size - v);
        FUZZ_CHECK(std::memchr(v, '\0', room) != nullptr);
        FUZZ_CHECK(v == expected->data());
    }
    FUZZ_CHECK(fuzz::err_text.empty());
    return 0;
}
}
