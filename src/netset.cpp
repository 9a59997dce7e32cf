// Network settings: copied out of the boot loader's environment, patched
// into the device's configuration files, and (in switch mode) handed to the
// device's reconfiguration programs.
#include "netset.hpp"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "ubootenv.hpp"

namespace netset {

NetSettings net_settings;

namespace {

constexpr const char* module_name = "netset";

constexpr const char* port_config = "/etc/stacfg/porteth0.config";
constexpr const char* network_config = "/etc/sysconfig/network";
constexpr const char* interface_config = "/etc/sysconfig/netscripts/ifcfg-eth0";
constexpr const char* switch_config = "/etc/switch/main.config";
constexpr const char* confignw = "/usr/local/bin/confignw";
constexpr const char* dhcpcd_down = "/etc/dhcpc/dhcpcd.exe na down";
constexpr const char* dhcpcd = "/etc/dhcpc/dhcpcd.exe";

// An old value is at most 19 bytes: its newline lies within 20 bytes.
constexpr int value_window = 20;

struct Patch {
    const char* key;
    const char* value;
};

// The four variables and their fields, in the order they are loaded; only
// the gateway may be absent (it is then empty).
struct Variable {
    const char* name;
    char* field;
    std::size_t size;
};
const Variable variables[] = {
    {"gatewayip", net_settings.gateway, sizeof net_settings.gateway},
    {"netmask", net_settings.netmask, sizeof net_settings.netmask},
    {"ipaddr", net_settings.ipaddr, sizeof net_settings.ipaddr},
    {"use_dhcp", net_settings.use_dhcp, sizeof net_settings.use_dhcp},
};

// Copies at most size - 1 characters and always terminates the field.
void copy_bounded(char* field, std::size_t size, const char* value) {
    std::size_t i = 0;
    for (; i + 1 < size && value[i] != '\0'; ++i) field[i] = value[i];
    field[i] = '\0';
}

void report(const char* routine, const char* call, int error) {
    std::fprintf(stderr, "%s %s: %s() failed: %s\n", module_name, routine, call,
                 std::strerror(error));
}

// The guard, before anything is written or run, in this order: ipaddr,
// netmask, gatewayip; the first value refused is the one named. An empty
// address or mask would leave a file without one and shift every later
// argument of confignw's command line; an empty gateway means none.
int check_values(const char* routine) {
    const struct {
        const char* name;
        const char* value;
        bool required;
    } values[] = {{"ipaddr", net_settings.ipaddr, true},
                  {"netmask", net_settings.netmask, true},
                  {"gatewayip", net_settings.gateway, false}};
    for (const auto& v : values) {
        if (v.required && v.value[0] == '\0') {
            std::fprintf(stderr, "%s %s: %s is empty\n", module_name, routine, v.name);
            return -1;
        }
        if (!value_allowed(v.value)) {
            std::fprintf(stderr, "%s %s: %s holds a character that is not allowed\n", module_name,
                         routine, v.name);
            return -1;
        }
    }
    return 0;
}

// A configuration file whose path was resolved once (links followed): its
// directory is open, and the load and the store reach the file through that
// descriptor by its final name, never following a link there. Swapping the
// file for a link between the load and the store therefore cannot make the
// store replace another file.
struct ConfigFile {
    const char* path;         // as the device knows it, for messages
    char resolved[PATH_MAX];  // directory, "/", name
    const char* name;         // the final name, inside resolved
    int dir;
};

int open_config(const char* path, const char* routine, ConfigFile& file) {
    file.path = path;
    if (!realpath(path, file.resolved)) {
        report(routine, "open", errno);
        return -1;
    }
    char* slash = std::strrchr(file.resolved, '/');  // realpath gives an absolute path
    file.name = slash + 1;
    *slash = '\0';
    file.dir =
        open(slash == file.resolved ? "/" : file.resolved, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    *slash = '/';
    if (file.dir < 0) {
        report(routine, "open", errno);
        return -1;
    }
    return 0;
}

// Load: the whole file into text. A file larger than the buffer is refused
// whole, since writing back only its start would drop the rest.
int load_config(const ConfigFile& file, const char* routine, ConfigText& text) {
    const int fd = openat(file.dir, file.name, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        report(routine, "open", errno);
        return -1;
    }
    std::memset(text.buf, 0, sizeof text.buf);
    const ssize_t n = read(fd, text.buf, sizeof text.buf);
    if (n < 0) {
        report(routine, "read", errno);
        close(fd);
        return -1;
    }
    char more;
    const bool larger = n == config_capacity && read(fd, &more, 1) > 0;
    close(fd);
    if (larger) {
        std::fprintf(stderr, "%s %s: %s larger than %d bytes\n", module_name, routine, file.path,
                     config_capacity);
        return -1;
    }
    text.len = static_cast<std::int32_t>(n);
    return 0;
}

// The temporary beside NAME is .NAME.pelvanor-XXXXXX: the leading dot keeps
// it out of globs such as ifcfg-* that the device's scripts loop over, and
// mkostemp fills in the six characters from letters and digits.
constexpr std::string_view temporary_infix = ".pelvanor-";
constexpr std::size_t temporary_random = 6;

bool is_temporary_of(std::string_view entry, std::string_view name) {
    const std::size_t random_at = 1 + name.size() + temporary_infix.size();
    if (entry.size() != random_at + temporary_random || entry[0] != '.' ||
        std::string_view(entry.data() + 1, name.size()) != name ||
        std::string_view(entry.data() + 1 + name.size(), temporary_infix.size()) != temporary_infix)
        return false;
    for (std::size_t i = random_at; i < entry.size(); ++i) {
        const char c = entry[i];
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            return false;
    }
    return true;
}

// The kernel's getdents64 record (struct linux_dirent64): 8-byte inode,
// 8-byte offset, 2-byte record length, 1-byte type, then the name. It is read
// with the raw system call because readdir allocates its buffer on the heap,
// and not every C library declares getdents64 or its record (uClibc-ng does
// not, musl only with _LARGEFILE64_SOURCE).
constexpr std::size_t dirent_reclen_offset = 16;
constexpr std::size_t dirent_name_offset = 19;

// Removes the temporaries of NAME that a run cut off between creating its
// temporary and renaming it left behind: only names of exactly that form,
// and only regular files (not links) that this user owns. Nothing else in
// the directory is touched, and a failure only leaves a file behind.
void remove_stale_temporaries(int dir, std::string_view name) {
    alignas(8) char records[4096];
    long n;
    while ((n = syscall(SYS_getdents64, dir, records, sizeof records)) > 0) {
        for (long offset = 0; offset < n;) {
            const char* record = records + offset;
            std::uint16_t length;
            std::memcpy(&length, record + dirent_reclen_offset, sizeof length);
            offset += length;
            const char* entry = record + dirent_name_offset;
            struct stat st {};
            if (is_temporary_of(entry, name) &&
                fstatat(dir, entry, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
                st.st_uid == geteuid())
                unlinkat(dir, entry, 0);
        }
    }
}

// Copies the extended attributes (security labels, ACLs, ...) of one file to
// another. A file system without extended attributes has none to copy.
int copy_attributes(int from, int to) {
    static char names[65536];  // the kernel's limits: XATTR_LIST_MAX, XATTR_SIZE_MAX
    static char value[65536];
    const ssize_t listed = flistxattr(from, names, sizeof names);
    if (listed < 0) return errno == ENOTSUP ? 0 : -1;
    for (const char* name = names; name < names + listed; name += std::strlen(name) + 1) {
        const ssize_t size = fgetxattr(from, name, value, sizeof value);
        if (size < 0 || fsetxattr(to, name, value, static_cast<std::size_t>(size), 0) < 0)
            return -1;
    }
    return 0;
}

// How replacing a file by a new one can end.
enum class Replaced { done, failed, impossible };

// The errors that say a file cannot be replaced by rename on this layout: no
// new entry can be made in its directory (read-only, full, not writable), or
// the rename is refused (the file is a mount point of its own, or lies on a
// read-only mount).
bool rename_impossible(int error) {
    return error == EROFS || error == ENOSPC || error == EDQUOT || error == EACCES ||
           error == EPERM || error == EBUSY || error == EXDEV;
}

// The atomic store: the new text goes to a temporary beside the file, with
// the file's owner, mode and extended attributes, is synced, and is renamed
// over it. A power cut or a full disk leaves either the old file or the new
// one, never a truncated one. Hard links to the file are split from it.
Replaced replace_by_rename(const ConfigFile& file, int original, const ConfigText& text,
                           int& error) {
    struct stat st {};
    if (fstat(original, &st) < 0) {
        error = errno;
        return Replaced::failed;
    }
    remove_stale_temporaries(file.dir, file.name);

    char temp[PATH_MAX];
    const int length = std::snprintf(
        temp, sizeof temp, "%.*s/.%s%.*sXXXXXX", static_cast<int>(file.name - 1 - file.resolved),
        file.resolved, file.name, static_cast<int>(temporary_infix.size()), temporary_infix.data());
    if (length < 0 || length >= static_cast<int>(sizeof temp)) {
        error = ENAMETOOLONG;
        return Replaced::failed;
    }
    const int fd = mkostemp(temp, O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return rename_impossible(error) ? Replaced::impossible : Replaced::failed;
    }
    const char* temp_name = temp + (file.name - file.resolved);

    // mkostemp took the directory's path: the temporary must be the one now
    // in the directory held open, or it is not used.
    struct stat made {};
    struct stat there {};
    bool ok = fstat(fd, &made) == 0 &&
              fstatat(file.dir, temp_name, &there, AT_SYMLINK_NOFOLLOW) == 0 &&
              made.st_dev == there.st_dev && made.st_ino == there.st_ino;
    if (!ok) {
        close(fd);
        error = EXDEV;
        return Replaced::failed;
    }
    Replaced result = Replaced::failed;
    error = 0;
    if (ubootenv::write_all(fd, text.buf, static_cast<std::size_t>(text.len)) < 0 ||
        fchown(fd, st.st_uid, st.st_gid) < 0 || fchmod(fd, st.st_mode & 07777) < 0)
        error = errno;
    else if (copy_attributes(original, fd) < 0) {
        error = errno;
        result = Replaced::impossible;  // rewritten in place, the file keeps them
    } else if (fsync(fd) < 0) error = errno;
    if (close(fd) < 0 && error == 0) error = errno;
    if (error == 0 && renameat(file.dir, temp_name, file.dir, file.name) < 0) {
        error = errno;
        if (rename_impossible(error)) result = Replaced::impossible;
    }
    if (error != 0) {
        unlinkat(file.dir, temp_name, 0);
        return result;
    }
    fsync(file.dir);  // makes the rename itself durable; the file is already complete
    return Replaced::done;
}

// The fallback where a file cannot be replaced: the new text is written into
// the file itself, which is then cut to the new length and synced. It keeps
// the file's identity (mount, links, attributes) but is not atomic: a power
// cut in the middle can leave a mix of old and new text.
int rewrite_in_place(int fd, const ConfigText& text) {
    const auto length = static_cast<std::size_t>(text.len);
    const ssize_t written = pwrite(fd, text.buf, length, 0);
    if (written != static_cast<ssize_t>(length)) {
        if (written >= 0) errno = EIO;  // the file took only part of the text
        return -1;
    }
    return ftruncate(fd, static_cast<off_t>(length)) == 0 && fsync(fd) == 0 ? 0 : -1;
}

// Store: replaced atomically where the layout allows, in place (with a notice
// that names the file) where it does not.
int store_config(const ConfigFile& file, const char* routine, const ConfigText& text) {
    const int original = openat(file.dir, file.name, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    if (original < 0) {
        report(routine, "open", errno);
        return -1;
    }
    int error = 0;
    Replaced result = replace_by_rename(file, original, text, error);
    if (result == Replaced::impossible) {
        std::fprintf(stderr, "%s %s: %s cannot be replaced (%s), rewritten in place\n", module_name,
                     routine, file.path, std::strerror(error));
        result = rewrite_in_place(original, text) == 0 ? Replaced::done : Replaced::failed;
        error = errno;
    }
    close(original);
    if (result != Replaced::done) {
        report(routine, "write", error);
        return -1;
    }
    return 0;
}

// One file through load, patch and store. A failed patch leaves the file
// untouched (update_item has reported it).
int rewrite_config(const char* path, const char* routine, std::span<const Patch> patches) {
    ConfigFile file;
    if (open_config(path, routine, file) < 0) return -1;
    ConfigText text;
    bool patched = load_config(file, routine, text) == 0;
    for (const Patch& patch : patches)
        patched = patched && update_item(text.buf, &text.len, patch.key, patch.value) != nullptr;
    const int result = patched ? store_config(file, routine, text) : -1;
    close(file.dir);
    return result;
}

// DHCP: the port configuration's use_dhcp value gets "y" as its first byte,
// in place; the file keeps its size and every other byte.
constexpr std::string_view dhcp_key = "use_dhcp";

int switch_port_to_dhcp() {
    const char* routine = "update_files";
    const int fd = open(port_config, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        report(routine, "open", errno);
        return -1;
    }
    char buf[config_capacity];
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) {
        report(routine, "read", errno);
        close(fd);
        return -1;
    }
    const auto* key = static_cast<const char*>(
        memmem(buf, static_cast<std::size_t>(n), dhcp_key.data(), dhcp_key.size()));
    if (!key) {
        std::fprintf(stderr, "%s %s: use_dhcp not found...\n", module_name, routine);
        close(fd);
        return -1;
    }
    const ssize_t value = key - buf + static_cast<ssize_t>(dhcp_key.size()) + 1;  // separator
    if (value < n) buf[value] = 'y';
    if (pwrite(fd, buf, static_cast<std::size_t>(n), 0) < 0) {
        report(routine, "write", errno);
        close(fd);
        return -1;
    }
    close(fd);
    return 0;
}

// dotted-quad text of an address in network byte order
void format_address(char (&out)[16], in_addr_t address) {
    in_addr a{};
    a.s_addr = address;
    copy_bounded(out, sizeof out, inet_ntoa(a));
}

// A device program succeeded when it exited normally with code 0.
bool run_program(const char* command) {
    std::puts(command);
    std::fflush(stdout);  // the command line comes before the program's output
    const int status = std::system(command);
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

bool dhcp_requested(const char* use_dhcp) { return std::strtol(use_dhcp, nullptr, 10) == 1; }

bool value_allowed(const char* value) {
    for (const char* p = value; *p; ++p) {
        const char c = *p;
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '.' || c == ':' || c == '-';
        if (!ok) return false;
    }
    return true;
}

int prefix_length(std::uint32_t mask) {
    int bits = 0;
    while (bits < 32 && (mask & (0x80000000u >> bits))) ++bits;
    return bits;
}

int net_settings_requested() {
    const char* request =
        ubootenv::get_uboot_env_var(ubootenv::read_uboot_env_shared(), "use_net_settings");
    return request && std::strcmp(request, "1") == 0 ? 1 : 0;
}

int load_net_settings() {
    ubootenv::EnvImage* env = ubootenv::read_uboot_env_shared();
    if (const char* v = ubootenv::get_uboot_env_var(env, "gatewayip")) {
        copy_bounded(net_settings.gateway, sizeof net_settings.gateway, v);
        std::printf("gateway ip: %s\n", net_settings.gateway);
    } else {
        std::puts("gateway ip: not found");
        net_settings.gateway[0] = '\0';
    }
    // The other three are required, in this order; the first one missing
    // ends the load.
    for (const Variable& r : std::span(variables).subspan(1)) {
        const char* v = ubootenv::get_uboot_env_var(env, r.name);
        if (!v) {
            std::fprintf(stderr, "%s: %s not found...\n", module_name, r.name);
            return -1;
        }
        copy_bounded(r.field, r.size, v);
        std::printf("%s: %s\n", r.name, r.field);
    }
    return 0;
}

bool net_settings_unchanged(ubootenv::EnvImage* env) {
    for (const Variable& r : variables) {
        const char* v = ubootenv::get_uboot_env_var(env, r.name);
        if (!v && r.field != net_settings.gateway) return false;
        // The value as the load copied it: cut to its field, an absent one empty.
        const std::string_view now = v ? std::string_view(v).substr(0, r.size - 1) : "";
        if (now != r.field) return false;
    }
    return true;
}

// Replaces the value after the first occurrence of key: the byte after the
// key is a separator, the value runs to a newline within 20 bytes, and the
// rest of the text shifts to fit the new value. The text never grows past
// its buffer and nothing outside text[0..*len) is examined.
char* update_item(char* text, std::int32_t* len, const char* key, const char* value) {
    const std::size_t length = *len > 0 ? static_cast<std::size_t>(*len) : 0;
    const std::size_t key_len = std::strlen(key);
    const auto* found = static_cast<const char*>(memmem(text, length, key, key_len));
    if (!found) {
        std::fprintf(stderr, "%s %s: %s not found...\n", module_name, "update_item", key);
        return nullptr;
    }
    const std::size_t start = static_cast<std::size_t>(found - text) + key_len + 1;
    std::size_t newline = start;
    while (newline < length && newline < start + value_window && text[newline] != '\n') ++newline;
    if (newline >= length || newline >= start + value_window) {
        std::fprintf(stderr, "%s %s: %s invalid size...\n", module_name, "update_item", key);
        return nullptr;
    }
    const std::size_t old_len = newline - start;
    const std::size_t new_len = std::strlen(value);
    const std::size_t total = length - old_len + new_len;
    if (total > static_cast<std::size_t>(config_capacity)) {
        std::fprintf(stderr, "%s %s: %s too long...\n", module_name, "update_item", key);
        return nullptr;
    }
    std::memmove(text + start + new_len, text + newline, length - newline);
    std::memcpy(text + start, value, new_len);
    *len = static_cast<std::int32_t>(total);
    return text + start;
}

int update_files() {
    if (check_values("update_files") < 0) return -1;
    if (dhcp_requested(net_settings.use_dhcp)) return switch_port_to_dhcp();

    const NetSettings& s = net_settings;
    const in_addr_t mask = inet_addr(s.netmask);
    const in_addr_t address = inet_addr(s.ipaddr);
    char broadcast[16];
    char network[16];
    format_address(broadcast, address | ~mask);
    format_address(network, address & mask);

    const Patch port[] = {{"ip_addr", s.ipaddr}, {"subnet", s.netmask}};
    const Patch gateway[] = {{"GATEWAY0", s.gateway}};
    const Patch interface[] = {{"IPADDR", s.ipaddr},
                               {"NETMASK", s.netmask},
                               {"BROADCAST", broadcast},
                               {"NETWORK", network}};
    if (rewrite_config(port_config, "update_files", port) < 0 ||
        rewrite_config(network_config, "update_files", gateway) < 0 ||
        rewrite_config(interface_config, "update_files", interface) < 0)
        return -1;
    return 0;
}

int update_main_config(const char* ipaddr, int prefixlen, const char* dhcp, const char* gateway) {
    char prefix[12];
    std::snprintf(prefix, sizeof prefix, "%d", prefixlen);
    const Patch patches[] = {
        {"ip_address", ipaddr}, {"prefixlen", prefix}, {"gateway", gateway}, {"use_dhcp", dhcp}};
    return rewrite_config(switch_config, "update_main_config", patches);
}

int update_files_ms() {
    if (check_values("update_files_ms") < 0) return -1;
    const NetSettings& s = net_settings;
    const char* gateway = s.gateway[0] ? s.gateway : "none";
    const char* dhcp = dhcp_requested(s.use_dhcp) ? "1" : "0";
    const in_addr_t mask = inet_addr(s.netmask);
    char broadcast[16];
    format_address(broadcast, inet_addr(s.ipaddr) | ~mask);
    const int prefixlen = prefix_length(ntohl(mask));

    if (update_main_config(s.ipaddr, prefixlen, dhcp, gateway) < 0) return -1;

    char command[256];  // at most 149 characters with the field limits
    std::snprintf(command, sizeof command,
                  "%s ip %s prefixlen %d broadcast %s dhcp %s gateway %s ipv4", confignw, s.ipaddr,
                  prefixlen, broadcast, dhcp, gateway);
    if (!run_program(command)) return -1;
    if (access(dhcpcd, X_OK) != 0) return 0;
    return run_program(dhcpcd_down) ? 0 : -1;
}

}  // namespace netset
