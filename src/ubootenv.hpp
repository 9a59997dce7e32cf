// The boot loader's environment as the device keeps it: two redundant copies
// of one 8192-byte image, one at offset 0 of /dev/mtd1 and one of /dev/mtd2.
// The boot loader reads the same copies, so the layout is an external format.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ubootenv {

inline constexpr std::size_t env_size = 8192;      // whole image
inline constexpr std::size_t env_data_offset = 5;  // crc + flag
inline constexpr std::size_t env_data_size = env_size - env_data_offset;

// Values of the flag byte.
inline constexpr std::uint8_t flag_obsolete = 0;
inline constexpr std::uint8_t flag_active = 1;
inline constexpr std::uint8_t flag_bad = 0xFF;  // in memory: checksum failed

// One image: crc (big-endian CRC-32 of offsets 5..8191), flag, then the
// NUL-terminated NAME=VALUE entries, an empty entry, and 0xFF fill.
struct EnvImage {
    std::uint8_t crc[4];
    std::uint8_t flag;
    char data[env_data_size];
};
static_assert(sizeof(EnvImage) == env_size);

// The process-wide pair of buffers: image[0] holds /dev/mtd1, image[1] /dev/mtd2.
// The buffer that is not the loaded image is its partner: edits are rebuilt
// there, and the commit writes it to the partner's partition.
struct EnvStore {
    EnvImage image[2];
};
extern EnvStore env_store;

// CRC-32 of IEEE 802.3; chainable: pass the previous result as the start value.
std::uint32_t crc32(std::uint32_t crc, const void* buf, unsigned len);

// Reads both copies, verifies them, and returns the active one (a buffer of
// env_store), or null when a device fails or neither copy is usable.
EnvImage* read_uboot_env();

// With a name: the value of its first entry inside env, or null.
// With a null name: writes every entry as a line to standard output; null.
char* get_uboot_env_var(EnvImage* env, const char* name);

// Rebuilds env without NAME's entries and, when value is not null, with
// NAME=value appended. 0, or -1 when there is no image or no room.
int put_uboot_env_var(EnvImage* env, const char* name, const char* value);

// Commits the edited image to the partner partition and marks the old copy
// obsolete. 0, or -1 after its messages.
int set_uboot_env_var(EnvImage* env);

// Writes all of buf, continuing short counts and interrupted calls; a call
// that writes nothing counts as an I/O error. 0, or -1 with errno set. Both
// stores use it: the flash commit here and the configuration files' in netset.
int write_all(int fd, const void* buf, std::size_t len);

// The locks, each a flock on a device node opened read-only.
//  - shared, exclusive: the environment lock on /dev/mtd1. Edits hold it
//    exclusively from their load until after their commit, so concurrent
//    edits cannot lose each other's changes; reads hold it shared for their
//    load, so they never see one copy from before a commit and the other from
//    after it. flock locks belong to open file descriptions: a process must
//    release a shared lock before it asks for the exclusive one, or it would
//    wait on itself.
//  - apply: an exclusive lock on /dev/mtd2 that the network apply holds for
//    its whole run, so that two applies never work on the files at once.
//    Nothing else takes it, and it never stands in the way of an edit.
enum class EnvLock { shared, exclusive, apply };

// Waits for the lock and returns its descriptor, or -1 when it could not be
// taken (the caller then goes on without it).
int lock_uboot_env(EnvLock kind);
void unlock_uboot_env(int fd);

// read_uboot_env under a shared lock, released again before returning; the
// image stays valid in memory.
EnvImage* read_uboot_env_shared();

}  // namespace ubootenv
