// pelvanor: reads and changes the boot loader's environment on the device's
// two flash partitions, and applies network settings waiting there.
//
// The first argument alone chooses the command; each command ends the
// process with its status: 0 success, 1 failure, 2 bad option.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "netset.hpp"
#include "ubootenv.hpp"

namespace {

using ubootenv::EnvImage;

constexpr const char* version = "101";

constexpr const char* usage_text =
    "Usage: (not complete)\n"
    "  pelvanor -g            get entire U-Boot environment\n"
    "  pelvanor -g NAME       get value of U-Boot environment variable\n"
    "  pelvanor -s NAME VALUE set value of U-Boot environment variable\n"
    "  pelvanor -S \"name1=value1\" [\"name2=value2\" [...]]\n"
    "      set multiple U-Boot environment variables\n"
    "  pelvanor -d NAME       delete U-Boot environment variable\n"
    "  pelvanor -v            display version\n"
    "  pelvanor -? or --help  display this help and exit\n";

// Every command ends here. Standard output is flushed and checked first, so
// that a script saving a value into a file on a full disk learns that it did
// not get it; flash and file work already done stands either way. A closed
// pipe ends the process by SIGPIPE before this, as usual.
[[noreturn]] void finish(int status) {
    errno = 0;
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        // When only an earlier flush failed (its data went with its buffer),
        // that error number is gone: EIO stands for it.
        std::fprintf(stderr, "error: could not write standard output: %s\n",
                     std::strerror(errno != 0 ? errno : EIO));
        status = 1;
    }
    std::exit(status);
}

[[noreturn]] void usage(int status) {
    std::fputs(usage_text, stderr);
    finish(status);
}

[[noreturn]] void print_version() {
    std::printf("pelvanor %s\n", version);
    finish(0);
}

[[noreturn]] void bad_option(const char* arg) {
    std::fprintf(stderr, "error: bad option:%s\n", arg);
    usage(2);
}

// The queries load under the shared lock, so that a commit running at the
// same time is seen whole or not at all.

[[noreturn]] void list_env() {
    ubootenv::get_uboot_env_var(ubootenv::read_uboot_env_shared(), nullptr);
    finish(0);
}

[[noreturn]] void get_var(const char* name) {
    const char* value = ubootenv::get_uboot_env_var(ubootenv::read_uboot_env_shared(), name);
    if (!value) {
        std::fprintf(stderr, "%s not found\n", name);
        finish(1);
    }
    std::printf("%s\n", value);
    finish(0);
}

// The edit commands hold the environment lock exclusively from their load
// until after their commit, so concurrent edits cannot lose each other's
// changes. The lock is released when the process ends.

[[noreturn]] void set_var(const char* name, const char* value) {
    ubootenv::lock_uboot_env(ubootenv::EnvLock::exclusive);
    EnvImage* env = ubootenv::read_uboot_env();
    if (ubootenv::put_uboot_env_var(env, name, value) < 0) {
        std::fprintf(stderr, "could not set %s=%s\n", name, value);
        finish(1);
    }
    if (ubootenv::set_uboot_env_var(env) < 0) {
        std::fprintf(stderr, "could not write env for set %s=%s\n", name, value);
        finish(1);
    }
    finish(0);
}

[[noreturn]] void delete_var(const char* name) {
    ubootenv::lock_uboot_env(ubootenv::EnvLock::exclusive);
    EnvImage* env = ubootenv::read_uboot_env();
    if (ubootenv::put_uboot_env_var(env, name, nullptr) < 0) {
        std::fprintf(stderr, "could not delete %s\n", name);
        finish(1);
    }
    if (ubootenv::set_uboot_env_var(env) < 0) {
        std::fprintf(stderr, "could not write env for delete %s\n", name);
        finish(1);
    }
    finish(0);
}

// -S NAME=VALUE...: every edit on one loaded image, then one commit. An
// argument without "=" deletes that name.
[[noreturn]] void set_many(int count, char** args) {
    ubootenv::lock_uboot_env(ubootenv::EnvLock::exclusive);
    EnvImage* env = ubootenv::read_uboot_env();
    for (int i = 0; i < count; ++i) {
        char* name = args[i];
        char* value = std::strchr(name, '=');
        if (value) *value++ = '\0';
        if (ubootenv::put_uboot_env_var(env, name, value) < 0) {
            std::fprintf(stderr, "could not set %s=%s\n", name, value ? value : "");
            finish(1);
        }
    }
    if (ubootenv::set_uboot_env_var(env) < 0) {
        std::fputs("could not save updated environment\n", stderr);
        finish(1);
    }
    finish(0);
}

enum class NetMode { normal, test, switch_config };

// Applies waiting network settings once: patch the configuration, then clear
// use_net_settings with one commit. A failed update leaves the request set,
// so the next run tries again from the start.
//
// Normal and switch mode hold the apply lock to the end, so that a second
// apply (a boot script and an operator, say) waits and then finds the request
// cleared. The request is cleared only while the environment still holds the
// values applied: settings queued while the files were written stay
// requested, and the next run applies them.
[[noreturn]] void apply_network(NetMode mode) {
    if (mode != NetMode::test) ubootenv::lock_uboot_env(ubootenv::EnvLock::apply);
    if (!netset::net_settings_requested()) finish(0);
    if (netset::load_net_settings() < 0) finish(1);
    if (mode == NetMode::test) finish(0);
    if (mode == NetMode::switch_config) {
        std::puts("update_files_ms()");
        if (netset::update_files_ms() < 0) {
            std::puts("update_files_ms failed");
            finish(1);
        }
    } else if (netset::update_files() < 0) {
        finish(1);
    }

    const int lock = ubootenv::lock_uboot_env(ubootenv::EnvLock::exclusive);
    EnvImage* env = ubootenv::read_uboot_env();
    if (env && !netset::net_settings_unchanged(env)) {
        std::puts("Network settings changed during update, not cleared...");
        finish(1);
    }
    const bool cleared = ubootenv::put_uboot_env_var(env, "use_net_settings", "0") == 0 &&
                         ubootenv::set_uboot_env_var(env) == 0;
    ubootenv::unlock_uboot_env(lock);
    std::puts(cleared ? "Network settings updated..." : "Network settings not updated...");
    finish(cleared ? 0 : 1);
}

}  // namespace

int main(int argc, char** argv) {
    // Descriptors 0, 1 and 2 are open before anything else: started with one
    // closed, the first file opened (a configuration file being patched)
    // would take its number, and messages would be written into it. One poll
    // tells which are closed (POLLNVAL); /dev/null takes their places, lowest
    // first, as open always returns the lowest free number.
    pollfd standard[] = {{STDIN_FILENO, 0, 0}, {STDOUT_FILENO, 0, 0}, {STDERR_FILENO, 0, 0}};
    if (poll(standard, 3, 0) < 0) return 1;
    for (const pollfd& stream : standard)
        if ((stream.revents & POLLNVAL) && open("/dev/null", O_RDWR) != stream.fd) return 1;

    // Standard output gets a static buffer so that no command allocates;
    // the buffering mode stays what the C library would choose.
    static char out_buffer[BUFSIZ];
    std::setvbuf(stdout, out_buffer, isatty(STDOUT_FILENO) ? _IOLBF : _IOFBF, sizeof out_buffer);

    if (argc < 2) apply_network(NetMode::normal);
    const char* arg = argv[1];
    const int more = argc - 2;  // arguments after the command letter

    if (arg[0] == '-' && arg[1] != '\0' && arg[2] == '\0') {
        switch (arg[1]) {
            case 'v': print_version();
            case 't': apply_network(NetMode::test);
            case 'm': apply_network(NetMode::switch_config);
            case 'g':
                if (more == 0) list_env();
                if (more == 1) get_var(argv[2]);
                break;
            case 'd':
                if (more == 1) delete_var(argv[2]);
                break;
            case 's':
                if (more == 2) set_var(argv[2], argv[3]);
                break;
            case 'S':
                if (more >= 1) set_many(more, argv + 2);
                break;
            case '?': usage(0);
            default: break;
        }
    }
    if (std::strcmp(arg, "--help") == 0) usage(0);
    bad_option(arg);
}
