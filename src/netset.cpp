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
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
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

int check_values(const char* routine) {
    const Patch values[] = {{"ipaddr", net_settings.ipaddr},
                            {"netmask", net_settings.netmask},
                            {"gatewayip", net_settings.gateway}};
    for (const Patch& v : values) {
        if (!value_allowed(v.value)) {
            std::fprintf(stderr, "%s %s: %s holds a character that is not allowed\n", module_name,
                         routine, v.key);
            return -1;
        }
    }
    return 0;
}

// Writes all of buf, continuing short counts.
int write_all(int fd, const char* buf, std::size_t len) {
    while (len > 0) {
        const ssize_t n = write(fd, buf, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return -1;
        }
        buf += n;
        len -= static_cast<std::size_t>(n);
    }
    return 0;
}

// Load: the whole file into text. A file larger than the buffer is refused
// whole, since writing back only its start would drop the rest.
int load_config(const char* path, const char* routine, ConfigText& text) {
    const int fd = open(path, O_RDWR | O_CLOEXEC);
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
        std::fprintf(stderr, "%s %s: %s larger than %d bytes\n", module_name, routine, path,
                     config_capacity);
        return -1;
    }
    text.len = static_cast<std::int32_t>(n);
    return 0;
}

// Removes the temporaries .NAME.?????? that a run interrupted between
// creating its temporary and renaming it left beside NAME. Nothing else in
// the directory is touched, and a failure only leaves a file behind.
void remove_stale_temporaries(int dir, std::string_view name) {
    alignas(dirent64) char entries[4096];
    ssize_t n;
    while ((n = getdents64(dir, entries, sizeof entries)) > 0) {
        for (ssize_t off = 0; off < n;) {
            const auto* entry = reinterpret_cast<const dirent64*>(entries + off);
            off += entry->d_reclen;
            const std::string_view found = entry->d_name;
            if (found.size() == name.size() + 8 && found[0] == '.' &&
                found.substr(1, name.size()) == name && found[name.size() + 1] == '.')
                unlinkat(dir, entry->d_name, 0);
        }
    }
}

// Store: the new text goes to a temporary file .NAME.XXXXXX beside the real
// one (links followed, so a link stays a link; the leading dot keeps it out
// of globs such as ifcfg-* that the device's scripts loop over), with the
// original's owner and mode, is synced, and is renamed over the file. A
// power cut or a full disk leaves either the old file or the new one, never
// a truncated one.
int store_config(const char* path, const char* routine, const ConfigText& text) {
    char target[PATH_MAX];
    struct stat st {};
    if (!realpath(path, target) || stat(target, &st) < 0) {
        report(routine, "open", errno);
        return -1;
    }
    char* slash = std::strrchr(target, '/');  // realpath gives an absolute path
    const std::string_view name = slash + 1;
    char temp[PATH_MAX];
    const int length = std::snprintf(temp, sizeof temp, "%.*s/.%s.XXXXXX",
                                     static_cast<int>(slash - target), target, slash + 1);
    if (length < 0 || length >= static_cast<int>(sizeof temp)) {
        report(routine, "open", ENAMETOOLONG);
        return -1;
    }
    *slash = '\0';
    const int dir = open(slash == target ? "/" : target, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    *slash = '/';
    if (dir >= 0) remove_stale_temporaries(dir, name);

    const int fd = mkostemp(temp, O_CLOEXEC);
    if (fd < 0) {
        report(routine, "open", errno);
        if (dir >= 0) close(dir);
        return -1;
    }
    bool ok = write_all(fd, text.buf, static_cast<std::size_t>(text.len)) == 0 &&
              fchown(fd, st.st_uid, st.st_gid) == 0 && fchmod(fd, st.st_mode & 07777) == 0 &&
              fsync(fd) == 0;
    int error = errno;
    if (close(fd) < 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && rename(temp, target) < 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        unlink(temp);
        report(routine, "write", error);
    } else if (dir >= 0) {
        fsync(dir);  // makes the rename itself durable; the file is already complete
    }
    if (dir >= 0) close(dir);
    return ok ? 0 : -1;
}

// One file through load, patch and store. A failed patch leaves the file
// untouched (update_item has reported it).
int rewrite_config(const char* path, const char* routine, std::span<const Patch> patches) {
    ConfigText text;
    if (load_config(path, routine, text) < 0) return -1;
    for (const Patch& p : patches)
        if (!update_item(text.buf, &text.len, p.key, p.value)) return -1;
    return store_config(path, routine, text);
}

// DHCP: the port configuration's use_dhcp value gets "y" as its first byte,
// in place; the file keeps its size and every other byte.
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
    const char* key =
        static_cast<const char*>(memmem(buf, static_cast<std::size_t>(n), "use_dhcp", 8));
    if (!key) {
        std::fprintf(stderr, "%s %s: use_dhcp not found...\n", module_name, routine);
        close(fd);
        return -1;
    }
    const ssize_t value = key - buf + 9;  // after the key and its separator
    if (value < n) buf[value] = 'y';
    lseek(fd, 0, SEEK_SET);
    if (write(fd, buf, static_cast<std::size_t>(n)) < 0) {
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
    NetSettings& s = net_settings;

    if (const char* v = ubootenv::get_uboot_env_var(env, "gatewayip")) {
        copy_bounded(s.gateway, sizeof s.gateway, v);
        std::printf("gateway ip: %s\n", s.gateway);
    } else {
        std::puts("gateway ip: not found");
        s.gateway[0] = '\0';
    }
    // The other three are required, in this order; the first one missing
    // ends the load.
    const struct {
        const char* name;
        char* field;
        std::size_t size;
    } required[] = {{"netmask", s.netmask, sizeof s.netmask},
                    {"ipaddr", s.ipaddr, sizeof s.ipaddr},
                    {"use_dhcp", s.use_dhcp, sizeof s.use_dhcp}};
    for (const auto& r : required) {
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
