// The environment store: loading both flash copies and choosing the active
// one, looking variables up, rebuilding the image in memory, and committing
// it to the other partition so that a power cut at any moment leaves at
// least one complete, valid copy on flash.
#include "ubootenv.hpp"

#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace ubootenv {

EnvStore env_store;

namespace {

constexpr const char* module_name = "ubootenv";
constexpr const char* env_device[2] = {"/dev/mtd1", "/dev/mtd2"};

// Offset of the last image byte (8191) inside the data area.
constexpr std::size_t data_last = env_data_size - 1;

std::uint32_t crc_table[256];
std::uint8_t crc_table_ready;

void build_crc_table() {
    for (std::uint32_t n = 0; n < 256; ++n) {
        std::uint32_t c = n;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        crc_table[n] = c;
    }
    crc_table_ready = 1;
}

std::uint32_t load_be32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 |
           std::uint32_t{p[3]};
}

void store_be32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

std::uint32_t image_crc(const EnvImage* img) {
    return crc32(0, img->data, static_cast<unsigned>(env_data_size));
}

EnvImage* partner_of(const EnvImage* img) {
    return img == &env_store.image[0] ? &env_store.image[1] : &env_store.image[0];
}

// Length of the entry starting at data offset off: up to its NUL, or to the
// end of the data area when a damaged copy has none.
std::size_t entry_length(const EnvImage* img, std::size_t off) {
    const void* nul = std::memchr(img->data + off, '\0', env_data_size - off);
    return nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - (img->data + off))
               : env_data_size - off;
}

// True when the entry of length len at p belongs to name: NAME then "=".
bool entry_is(const char* p, std::size_t len, const char* name, std::size_t name_len) {
    return len > name_len && std::memcmp(p, name, name_len) == 0 && p[name_len] == '=';
}

// Offset of the entry after the one at off, or 0 when the list ends there:
// an empty entry, or one that would start at image offset 8191 or later.
std::size_t next_entry(const EnvImage* img, std::size_t off, std::size_t len) {
    const std::size_t next = off + len + 1;
    if (next >= data_last || img->data[next] == '\0') return 0;
    return next;
}

// Reads one copy straight into its buffer with a single read call.
int read_copy(int index, const char* open_message) {
    const int fd = open(env_device[index], O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        std::fputs(open_message, stderr);
        return -1;
    }
    errno = 0;  // a short count then reports "no error", never a stale one
    const ssize_t n = read(fd, &env_store.image[index], env_size);
    if (n != static_cast<ssize_t>(env_size)) {
        std::fprintf(stderr, "read_uboot_env: read(env%d) failed: %s\n", index + 1,
                     std::strerror(errno));
        close(fd);
        return -1;
    }
    close(fd);
    return 0;
}

// Erases the blocks at the start of the partition that hold the image.
// Real partitions have blocks of 8 KiB or more, so this is one block there.
int erase_env_sector(int fd) {
    int regions = 0;
    if (ioctl(fd, MEMGETREGIONCOUNT, &regions) < 0) {
        std::fprintf(stderr, "%s: ioctl() MEMGETREGIONCOUNT failed: %s\n", module_name,
                     std::strerror(errno));
        return -1;
    }
    if (regions != 0) {
        std::fprintf(stderr, "%s: Flash erase failed - region spans sectors.\n", module_name);
        return -1;
    }
    mtd_info_user info{};
    if (ioctl(fd, MEMGETINFO, &info) < 0) {
        std::fprintf(stderr, "%s: ioctl() MEMGETINFO failed: %s\n", module_name,
                     std::strerror(errno));
        return -1;
    }
    // Whole blocks that hold the image; a block of 8 KiB or more is one block.
    // (32-bit arithmetic: no division helper from libgcc on the device.)
    const std::uint32_t block = info.erasesize;
    std::uint32_t length = block;
    if (block != 0 && block < env_size) length = (env_size + block - 1) / block * block;
    if (length == 0 || length > info.size) {
        std::fprintf(stderr, "%s: Flash erase failed - env does not fit the partition.\n",
                     module_name);
        return -1;
    }
    erase_info_user erase{0, length};
    if (ioctl(fd, MEMERASE, &erase) < 0) {
        std::fprintf(stderr, "%s: ioctl() MEMERASE failed: %s\n", module_name,
                     std::strerror(errno));
        return -1;
    }
    return 0;
}

void print_write_error() { std::fprintf(stderr, "write() failed: %s\n", std::strerror(errno)); }

}  // namespace

// CRC-32 of IEEE 802.3 (reflected, polynomial 0xEDB88320). The bulk loop
// takes four bytes per load and folds them in memory order, one table
// look-up per byte, which halves the cost of verifying two copies per load.
std::uint32_t crc32(std::uint32_t crc, const void* buf, unsigned len) {
    if (!crc_table_ready) build_crc_table();
    if (len == 0) return crc;
    const auto* p = static_cast<const std::uint8_t*>(buf);
    std::uint32_t r = ~crc;
    for (; len >= 4; len -= 4, p += 4) {
        std::uint32_t word;
        std::memcpy(&word, p, 4);
        if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap32(word);
        r ^= word;  // byte p[0] now in the low eight bits, as the table expects
        r = crc_table[r & 0xFF] ^ (r >> 8);
        r = crc_table[r & 0xFF] ^ (r >> 8);
        r = crc_table[r & 0xFF] ^ (r >> 8);
        r = crc_table[r & 0xFF] ^ (r >> 8);
    }
    for (; len > 0; --len) r = crc_table[(r ^ *p++) & 0xFF] ^ (r >> 8);
    return ~r;
}

EnvImage* read_uboot_env() {
    if (read_copy(0, "read_uboot_env: Could not open env flash device...\n") < 0) return nullptr;
    if (read_copy(1, "read_uboot_env: Could not open env2 flash device...\n") < 0) return nullptr;

    EnvImage* copy1 = &env_store.image[0];
    EnvImage* copy2 = &env_store.image[1];
    for (EnvImage& img : env_store.image)
        if (image_crc(&img) != load_be32(img.crc)) img.flag = flag_bad;

    // Prefer the copy marked active; when both are (a commit cut between its
    // two writes), copy 1 wins. Otherwise any valid copy, copy 1 first.
    EnvImage* chosen = nullptr;
    if (copy1->flag == flag_active) chosen = copy1;
    else if (copy2->flag == flag_active) chosen = copy2;
    else if (copy1->flag != flag_bad) chosen = copy1;
    else if (copy2->flag != flag_bad) chosen = copy2;
    else return nullptr;

    chosen->data[data_last] = '\0';  // every string now ends inside the image
    return chosen;
}

char* get_uboot_env_var(EnvImage* env, const char* name) {
    if (!env || env->data[0] == '\0') return nullptr;
    const std::size_t name_len = name ? std::strlen(name) : 0;
    std::size_t off = 0;
    do {
        char* entry = env->data + off;
        const std::size_t len = entry_length(env, off);
        if (!name) {
            std::fwrite(entry, 1, len, stdout);
            std::fputc('\n', stdout);
        } else if (entry_is(entry, len, name, name_len)) {
            return entry + name_len + 1;
        }
        off = next_entry(env, off, len);
    } while (off != 0);
    return nullptr;
}

int put_uboot_env_var(EnvImage* env, const char* name, const char* value) {
    if (!env || !name) return -1;
    EnvImage* out = partner_of(env);
    std::memset(out->data, 0xFF, env_data_size);
    env->data[data_last] = '\0';

    // Keep every entry that does not belong to name, in order.
    const std::size_t name_len = std::strlen(name);
    std::size_t pos = 0;
    if (env->data[0] != '\0') {
        std::size_t off = 0;
        do {
            const std::size_t len = entry_length(env, off);
            if (!entry_is(env->data + off, len, name, name_len)) {
                std::memcpy(out->data + pos, env->data + off, len + 1);
                pos += len + 1;
            }
            off = next_entry(env, off, len);
        } while (off != 0);
    }

    // A damaged copy whose kept entries reach the last byte leaves no room
    // for the list terminator: refuse rather than write past the image.
    if (pos >= env_data_size) return -1;

    // Append NAME=VALUE when there is room for it and the list terminator.
    if (value) {
        const std::size_t value_len = std::strlen(value);
        const std::size_t room = env_data_size - pos;
        if (name_len + value_len + 3 > room) return -1;
        char* p = out->data + pos;
        std::memcpy(p, name, name_len);
        p[name_len] = '=';
        std::memcpy(p + name_len + 1, value, value_len + 1);
        pos += name_len + value_len + 2;
    }
    out->data[pos] = '\0';

    store_be32(out->crc, image_crc(out));
    std::memcpy(env, out, env_size);
    return 0;
}

int write_all(int fd, const void* buf, std::size_t len) {
    const auto* p = static_cast<const std::uint8_t*>(buf);
    while (len > 0) {
        const ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return -1;
        }
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return 0;
}

// The new copy is erased and written completely, marked active, before the
// old copy loses its active flag: a power cut at any point leaves the old
// copy, the new one, or both valid, and the loader picks one of them.
int set_uboot_env_var(EnvImage* env) {
    if (!env) return -1;
    EnvImage* out = partner_of(env);
    const bool from_first = env == &env_store.image[0];
    const char* new_device = env_device[from_first ? 1 : 0];
    const char* old_device = env_device[from_first ? 0 : 1];

    out->flag = flag_active;
    env->flag = flag_obsolete;

    int fd = open(new_device, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        std::fputs("set_uboot_env_var: Could not open env flash device...\n", stderr);
        return -1;
    }
    if (erase_env_sector(fd) < 0) {
        std::fputs("mgr: Failed to erase env sector...\n", stderr);
        close(fd);
        return -1;
    }
    // A commit that wrote nothing, or only part of the image, is a failure.
    if (lseek(fd, 0, SEEK_SET) != 0 || write_all(fd, out, env_size) < 0) {
        print_write_error();
        std::fputs("Failed to write new env sector...\n", stderr);
        close(fd);
        return -1;
    }
    close(fd);

    fd = open(old_device, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        std::fputs("set_uboot_env_var: Could not open old env flash device...\n", stderr);
        return -1;
    }
    constexpr off_t flag_offset = offsetof(EnvImage, flag);
    if (lseek(fd, flag_offset, SEEK_SET) != flag_offset || write_all(fd, &env->flag, 1) < 0) {
        print_write_error();
        std::fputs("Failed to write old env flag...\n", stderr);
        close(fd);
        return -1;
    }
    close(fd);
    return 0;
}

int lock_uboot_env(EnvLock kind) {
    // Only held for the lock: read-only, and closed again by unlock (and
    // never inherited by the programs the apply runs).
    const int fd = open(env_device[kind == EnvLock::apply ? 1 : 0], O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    const int operation = kind == EnvLock::shared ? LOCK_SH : LOCK_EX;
    while (flock(fd, operation) < 0) {
        if (errno != EINTR) {
            close(fd);
            return -1;
        }
    }
    return fd;
}

void unlock_uboot_env(int fd) {
    if (fd >= 0) close(fd);
}

EnvImage* read_uboot_env_shared() {
    const int lock = lock_uboot_env(EnvLock::shared);
    EnvImage* env = read_uboot_env();
    unlock_uboot_env(lock);
    return env;
}

}  // namespace ubootenv
