// libflashsim.so: a preload library that plays the kernel's MTD NOR flash
// driver on the two environment partitions, so that the unchanged binary can
// be tested on a machine without flash. Inside the test sandbox /dev/mtd1 and
// /dev/mtd2 are regular files; a descriptor opened on exactly one of those two
// paths (open/open64/openat/openat64 with that absolute path) is a "device":
//
//   ioctl MEMGETREGIONCOUNT  the region count (FLASHSIM_REGIONS, default 0)
//   ioctl MEMGETINFO         NOR flash, size = file size, erasesize
//                            FLASHSIM_ERASESIZE (default 65536), writesize 1
//   ioctl MEMERASE           fills the range with 0xFF; EINVAL for a range
//                            outside the partition or not aligned to erasesize;
//                            EPERM on a descriptor opened read-only
//   write                    NOR programming: new byte = old byte AND data;
//                            ENOSPC at or past the end, clipped to the end
//   other ioctls             ENOTTY
// All MTD requests are answered here and never reach the real ioctl, since
// user-mode emulators do not pass them through. A successful device open
// leaves errno at ENOTTY (as any successful call may), so that code that
// prints errno after a short read without clearing it first shows up.
//
// Settings, read once when the library is loaded. An unknown FLASHSIM_
// variable, an unknown name or a malformed value ends the process at once
// with status 125 and a message on standard error: a test never runs with a
// fault other than the one it asked for.
//   FLASHSIM_ERASESIZE=N     erase block size reported by MEMGETINFO
//   FLASHSIM_REGIONS=N       region count of MEMGETREGIONCOUNT
//   FLASHSIM_POWERCUT=N      after N bytes erased or programmed in all (both
//                            devices, this process) the partial operation is
//                            applied and the process is killed with SIGKILL
//   FLASHSIM_KILL_RENAME=NAME  a rename onto a file named NAME kills the
//                            process with SIGKILL instead (a run cut off
//                            after its temporary file is complete)
//   FLASHSIM_LOG=FILE        appends one line per erase and write call, before
//                            it is carried out: "erase mtd2 0 65536", "write
//                            mtd1 4 1" (device, offset, length as requested),
//                            and "delay mtd1 0 2000" when a read at offset 0
//                            starts to be held back by 2000 ms
//   FLASHSIM_FAULTS=FAULT...  faults, separated by blanks, each written
//                            CALL:DEVICE:NUMBER:EFFECT
//     CALL    open (read-write opens only), read, write, regioncount,
//             getinfo, erase
//     DEVICE  mtd1, mtd2, or * for either
//     NUMBER  which call of that kind on that device in this process,
//             counted from 1, or * for every one
//     EFFECT  an error name (EIO, EACCES, ...): the call fails with it and
//             changes nothing; short-N (read, write): at most N bytes, and a
//             write of 0 bytes returns 0; delay-MS (read): the data is taken
//             at once but returned MS milliseconds later, so that another
//             process can commit between the reads of the two copies
//   for example: FLASHSIM_FAULTS='write:mtd2:1:short-100 write:mtd2:2:EIO'
//   One more fault is another process at work on a file: open:NAME:NUMBER:link-TARGET
//   replaces the file named NAME (in whatever directory it is opened) by a symbolic link
//   to TARGET just before the NUMBER-th open of that name.
//
// The library allocates nothing, opens no file but the devices and the log,
// and passes every other descriptor straight to the kernel, so it is harmless
// in the shell and the programs that the tested binary starts.

// The exported names must be the plain 32-bit-offset entry points on 32-bit
// targets, and no fortified inline wrappers may stand in for them.
#undef _FORTIFY_SOURCE
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS

#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

extern char** environ;

namespace {

constexpr int max_fd = 4096;
unsigned char dev_of_fd[max_fd];  // 0: not a device, 1: mtd1, 2: mtd2
const char* const dev_name[3] = {"*", "mtd1", "mtd2"};

// ---- settings -------------------------------------------------------------

enum Call { call_open, call_read, call_write, call_regioncount, call_getinfo, call_erase, calls };
const char* const call_name[calls] = {"open", "read", "write", "regioncount", "getinfo", "erase"};
enum Effect { effect_error, effect_short, effect_delay, effect_link };

struct Fault {
    Call call;
    int device;       // 0: either
    unsigned number;  // 0: every call
    Effect effect;
    long value;       // the error number, byte count or milliseconds
    char file[32];    // effect_link: the name opened, and the opens of it so far in opens
    char target[96];  // effect_link: where the link points
    unsigned opens;
};

// Filled in by read_settings(), which runs before anything else in the
// process; zero until then (no initializer of this file may run after it).
struct Settings {
    unsigned long long erase_size, regions, power_cut;
    const char *kill_rename, *log;
    Fault faults[16];
    int fault_count;
} settings;

unsigned call_count[calls][3];  // per call and device
unsigned long long flash_work;  // bytes erased or programmed so far

struct ErrName {
    const char* name;
    int value;
};
constexpr ErrName err_names[] = {
    {"EPERM", EPERM},   {"ENOENT", ENOENT}, {"EINTR", EINTR},           {"EIO", EIO},
    {"EBADF", EBADF},   {"EAGAIN", EAGAIN}, {"ENOMEM", ENOMEM},         {"EACCES", EACCES},
    {"EBUSY", EBUSY},   {"ENODEV", ENODEV}, {"EINVAL", EINVAL},         {"ENOTTY", ENOTTY},
    {"ENOSPC", ENOSPC}, {"EROFS", EROFS},   {"EOPNOTSUPP", EOPNOTSUPP},
};

[[noreturn]] void refuse(const char* what, const char* text) {
    char line[256];
    const int n = std::snprintf(line, sizeof line, "flashsim: %s: '%s'\n", what, text);
    syscall(SYS_write, 2, line, n < 0 ? 0 : n);
    _exit(125);
}

// A whole decimal number, or the program ends.
unsigned long long number_of(const char* text, const char* what) {
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0') refuse(what, text);
    return value;
}

// One CALL:DEVICE:NUMBER:EFFECT of FLASHSIM_FAULTS (fields without blanks).
Fault fault_of(const char* text) {
    char call[16], device[32], number[16], effect[100];
    if (std::sscanf(text, "%15[^:]:%31[^:]:%15[^:]:%99s", call, device, number, effect) != 4)
        refuse("fault not written CALL:DEVICE:NUMBER:EFFECT", text);
    Fault fault{};
    fault.call = calls;
    for (int c = 0; c < calls; ++c)
        if (std::strcmp(call, call_name[c]) == 0) fault.call = static_cast<Call>(c);
    fault.device = -1;
    for (int d = 0; d < 3; ++d)
        if (std::strcmp(device, dev_name[d]) == 0) fault.device = d;
    if (fault.call == call_open && fault.device < 0 && std::strncmp(effect, "link-", 5) == 0) {
        fault.effect = effect_link;
        std::snprintf(fault.file, sizeof fault.file, "%s", device);
        std::snprintf(fault.target, sizeof fault.target, "%s", effect + 5);
        fault.number = static_cast<unsigned>(number_of(number, "bad call number"));
        return fault;
    }
    if (fault.call == calls || fault.device < 0) refuse("unknown call or device", text);
    const bool every = std::strcmp(number, "*") == 0;
    fault.number = every ? 0 : static_cast<unsigned>(number_of(number, "bad call number"));
    const bool reads = fault.call == call_read, counts = reads || fault.call == call_write;
    if (counts && std::strncmp(effect, "short-", 6) == 0) {
        fault.effect = effect_short;
        fault.value = static_cast<long>(number_of(effect + 6, "bad byte count"));
    } else if (reads && std::strncmp(effect, "delay-", 6) == 0) {
        fault.effect = effect_delay;
        fault.value = static_cast<long>(number_of(effect + 6, "bad delay"));
    } else {
        for (const ErrName& e : err_names)
            if (std::strcmp(effect, e.name) == 0) fault.value = e.value;
        if (fault.value == 0) refuse("unknown effect for this call", text);
    }
    return fault;
}

// The value of an environment entry when it is name=VALUE, else null.
const char* value_of(const char* entry, const char* name) {
    const std::size_t length = std::strlen(name);
    return std::strncmp(entry, name, length) == 0 && entry[length] == '=' ? entry + length + 1
                                                                          : nullptr;
}

__attribute__((constructor)) void read_settings() {
    settings.erase_size = 65536;
    settings.power_cut = ~0ULL;
    for (char** entry = environ; entry && *entry; ++entry) {
        const char* value = nullptr;
        if (std::strncmp(*entry, "FLASHSIM_", 9) != 0) continue;
        if ((value = value_of(*entry, "FLASHSIM_ERASESIZE"))) {
            settings.erase_size = number_of(value, *entry);
        } else if ((value = value_of(*entry, "FLASHSIM_REGIONS"))) {
            settings.regions = number_of(value, *entry);
        } else if ((value = value_of(*entry, "FLASHSIM_POWERCUT"))) {
            settings.power_cut = number_of(value, *entry);
        } else if ((value = value_of(*entry, "FLASHSIM_KILL_RENAME"))) {
            settings.kill_rename = value;
        } else if ((value = value_of(*entry, "FLASHSIM_LOG"))) {
            settings.log = *value ? value : nullptr;
        } else if ((value = value_of(*entry, "FLASHSIM_FAULTS"))) {
            for (const char* fault = value + std::strspn(value, " "); *fault;
                 fault += std::strspn(fault, " ")) {
                if (settings.fault_count == 16) refuse("more than 16 faults", value);
                settings.faults[settings.fault_count++] = fault_of(fault);
                fault += std::strcspn(fault, " ");
            }
        } else {
            refuse("unknown setting", *entry);
        }
    }
}

// The fault that applies to this call, counting it; null when none does.
const Fault* fault_for(Call call, int dev) {
    const unsigned number = ++call_count[call][dev];
    for (int i = 0; i < settings.fault_count; ++i) {
        const Fault& f = settings.faults[i];
        if (f.call == call && (f.device == 0 || f.device == dev) &&
            (f.number == 0 || f.number == number))
            return &f;
    }
    return nullptr;
}

// ---- the devices ----------------------------------------------------------

int device_of_path(const char* path) {
    if (path == nullptr) return 0;
    if (std::strcmp(path, "/dev/mtd1") == 0) return 1;
    if (std::strcmp(path, "/dev/mtd2") == 0) return 2;
    return 0;
}

int device_of_fd(int fd) { return fd >= 0 && fd < max_fd ? dev_of_fd[fd] : 0; }

// Kernel entry points for descriptors that are passed through, and for the
// simulator's own file work.
long sys_open(int dirfd, const char* path, int flags, unsigned mode) {
    return syscall(SYS_openat, dirfd, path, flags, mode);
}

long long sys_lseek(int fd, long long off, int whence) {
#ifdef SYS__llseek
    long long result = 0;
    unsigned long long u = static_cast<unsigned long long>(off);
    if (syscall(SYS__llseek, fd, static_cast<unsigned long>(u >> 32),
                static_cast<unsigned long>(u & 0xFFFFFFFFu), &result, whence) < 0)
        return -1;
    return result;
#else
    return syscall(SYS_lseek, fd, off, whence);
#endif
}

long long file_size(int fd) {
    struct stat64 st;
    if (fstat64(fd, &st) < 0) return -1;
    return st.st_size;
}

void append_num(char*& p, unsigned long long v) {
    char tmp[24];
    int n = 0;
    do tmp[n++] = static_cast<char>('0' + v % 10);
    while (v /= 10);
    while (n) *p++ = tmp[--n];
}

void log_op(const char* op, int dev, unsigned long long off, unsigned long long len) {
    if (settings.log == nullptr) return;
    char line[96];
    char* p = line;
    for (const char* s = op; *s;) *p++ = *s++;
    *p++ = ' ';
    for (const char* s = dev_name[dev]; *s;) *p++ = *s++;
    *p++ = ' ';
    append_num(p, off);
    *p++ = ' ';
    append_num(p, len);
    *p++ = '\n';
    int saved = errno;
    long fd = sys_open(AT_FDCWD, settings.log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        syscall(SYS_write, fd, line, p - line);
        syscall(SYS_close, fd);
    }
    errno = saved;
}

[[noreturn]] void power_cut() {
    kill(getpid(), SIGKILL);
    _exit(137);
}

// Erases (data == nullptr: fills with 0xFF) or programs (old AND data) len
// bytes at off, counting them towards the power cut.
bool flash(int fd, long long off, const unsigned char* data, unsigned long long len) {
    unsigned char buf[4096];
    while (len > 0) {
        unsigned long long chunk = len < sizeof buf ? len : sizeof buf;
        bool cut = flash_work + chunk >= settings.power_cut;
        if (cut) chunk = settings.power_cut - flash_work;
        if (chunk > 0) {
            if (pread64(fd, buf, chunk, off) != static_cast<ssize_t>(chunk)) return false;
            for (unsigned long long i = 0; i < chunk; ++i)
                buf[i] = data ? static_cast<unsigned char>(buf[i] & data[i]) : 0xFF;
            if (pwrite64(fd, buf, chunk, off) != static_cast<ssize_t>(chunk)) return false;
        }
        if (cut) power_cut();
        flash_work += chunk;
        off += static_cast<long long>(chunk);
        if (data) data += chunk;
        len -= chunk;
    }
    return true;
}

bool opened_read_only(int fd) {
    long fl = syscall(SYS_fcntl, fd, F_GETFL);
    return fl >= 0 && (fl & O_ACCMODE) == O_RDONLY;
}

int fail(int err) {
    errno = err;
    return -1;
}

// open:NAME:NUMBER:link-TARGET: the swap, just before that open of the name.
void swap_for_link(int dirfd, const char* path) {
    const char* slash = path ? std::strrchr(path, '/') : nullptr;
    const char* name = slash ? slash + 1 : path;
    for (int i = 0; name && i < settings.fault_count; ++i) {
        Fault& f = settings.faults[i];
        if (f.effect != effect_link || std::strcmp(f.file, name) != 0 || ++f.opens != f.number)
            continue;
        syscall(SYS_unlinkat, dirfd, path, 0);
        syscall(SYS_symlinkat, f.target, dirfd, path);
    }
}

int do_open(int dirfd, const char* path, int flags, unsigned mode) {
    int dev = device_of_path(path);
    if (!dev) swap_for_link(dirfd, path);
    if (dev && (flags & O_ACCMODE) != O_RDONLY) {
        if (const Fault* f = fault_for(call_open, dev)) return fail(static_cast<int>(f->value));
    }
    long fd = sys_open(dirfd, path, flags, mode);
    if (fd >= 0 && fd < max_fd) dev_of_fd[fd] = static_cast<unsigned char>(dev);
    if (fd >= 0 && dev) errno = ENOTTY;
    return static_cast<int>(fd);
}

unsigned mode_arg(int flags, va_list ap) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(ap, unsigned) : 0;
}

// Sleeps ms milliseconds, resuming after signals.
void hold_back(long ms) {
    timespec left{ms / 1000, ms % 1000 * 1000000};
    while (nanosleep(&left, &left) < 0 && errno == EINTR) continue;
}

ssize_t do_read(int fd, void* buf, size_t len) {
    int dev = device_of_fd(fd);
    if (!dev) return syscall(SYS_read, fd, buf, len);
    const Fault* f = fault_for(call_read, dev);
    if (f && f->effect == effect_error) return fail(static_cast<int>(f->value));
    if (f && f->effect == effect_short && static_cast<size_t>(f->value) < len)
        len = static_cast<size_t>(f->value);
    const bool delayed = f && f->effect == effect_delay;
    long long off = delayed ? sys_lseek(fd, 0, SEEK_CUR) : 0;
    ssize_t n = syscall(SYS_read, fd, buf, len);
    if (delayed) {
        int saved = errno;
        log_op("delay", dev, static_cast<unsigned long long>(off < 0 ? 0 : off),
               static_cast<unsigned long long>(f->value));
        hold_back(f->value);
        errno = saved;
    }
    return n;
}

ssize_t do_write(int fd, const void* buf, size_t len) {
    int dev = device_of_fd(fd);
    if (!dev) return syscall(SYS_write, fd, buf, len);
    long long off = sys_lseek(fd, 0, SEEK_CUR);
    log_op("write", dev, static_cast<unsigned long long>(off < 0 ? 0 : off), len);
    const Fault* f = fault_for(call_write, dev);
    if (f && f->effect == effect_error) return fail(static_cast<int>(f->value));
    if (f && f->effect == effect_short && static_cast<size_t>(f->value) < len)
        len = static_cast<size_t>(f->value);
    if (opened_read_only(fd)) return fail(EBADF);
    long long size = file_size(fd);
    if (off < 0 || size < 0) return -1;
    if (len == 0) return 0;
    if (off >= size) return fail(ENOSPC);
    if (static_cast<unsigned long long>(size - off) < len) len = static_cast<size_t>(size - off);
    if (!flash(fd, off, static_cast<const unsigned char*>(buf), len)) return fail(EIO);
    sys_lseek(fd, off + static_cast<long long>(len), SEEK_SET);
    return static_cast<ssize_t>(len);
}

int do_ioctl(int fd, unsigned long req, void* arg) {
    int dev = device_of_fd(fd);
    if (!dev) return static_cast<int>(syscall(SYS_ioctl, fd, req, arg));
    long long size = file_size(fd);
    if (size < 0) return -1;
    if (req == MEMGETREGIONCOUNT) {
        if (const Fault* f = fault_for(call_regioncount, dev))
            return fail(static_cast<int>(f->value));
        if (arg == nullptr) return fail(EFAULT);
        int n = static_cast<int>(settings.regions);
        std::memcpy(arg, &n, sizeof n);
        return 0;
    }
    if (req == MEMGETINFO) {
        if (const Fault* f = fault_for(call_getinfo, dev)) return fail(static_cast<int>(f->value));
        if (arg == nullptr) return fail(EFAULT);
        mtd_info_user info;
        std::memset(&info, 0, sizeof info);
        info.type = MTD_NORFLASH;
        info.flags = MTD_CAP_NORFLASH;
        info.size = static_cast<std::uint32_t>(size);
        info.erasesize = static_cast<std::uint32_t>(settings.erase_size);
        info.writesize = 1;
        std::memcpy(arg, &info, sizeof info);
        return 0;
    }
    if (req == MEMERASE) {
        if (arg == nullptr) return fail(EFAULT);
        erase_info_user e;
        std::memcpy(&e, arg, sizeof e);
        log_op("erase", dev, e.start, e.length);
        if (const Fault* f = fault_for(call_erase, dev)) return fail(static_cast<int>(f->value));
        if (opened_read_only(fd)) return fail(EPERM);
        unsigned long long es = settings.erase_size;
        unsigned long long sz = static_cast<unsigned long long>(size);
        if (e.start >= sz || e.length > sz - e.start) return fail(EINVAL);
        if (e.length == 0) return 0;
        if (es == 0 || e.start % es || e.length % es) return fail(EINVAL);
        return flash(fd, e.start, nullptr, e.length) ? 0 : fail(EIO);
    }
    return fail(ENOTTY);
}

// A rename onto the file named FLASHSIM_KILL_RENAME ends the process first.
void kill_at_rename(const char* to) {
    if (settings.kill_rename == nullptr || to == nullptr) return;
    const char* slash = std::strrchr(to, '/');
    if (std::strcmp(slash ? slash + 1 : to, settings.kill_rename) == 0) power_cut();
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    unsigned mode = mode_arg(flags, ap);
    va_end(ap);
    return do_open(AT_FDCWD, path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    unsigned mode = mode_arg(flags, ap);
    va_end(ap);
    return do_open(AT_FDCWD, path, flags | O_LARGEFILE, mode);
}

int openat(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    unsigned mode = mode_arg(flags, ap);
    va_end(ap);
    return do_open(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    unsigned mode = mode_arg(flags, ap);
    va_end(ap);
    return do_open(dirfd, path, flags | O_LARGEFILE, mode);
}

// Entry points of fortified builds.
int __open_2(const char* path, int flags) { return do_open(AT_FDCWD, path, flags, 0); }
int __open64_2(const char* path, int flags) {
    return do_open(AT_FDCWD, path, flags | O_LARGEFILE, 0);
}
int __openat_2(int dirfd, const char* path, int flags) { return do_open(dirfd, path, flags, 0); }
int __openat64_2(int dirfd, const char* path, int flags) {
    return do_open(dirfd, path, flags | O_LARGEFILE, 0);
}
ssize_t __read_chk(int fd, void* buf, size_t len, size_t buflen) {
    if (len > buflen) std::abort();
    return do_read(fd, buf, len);
}

int rename(const char* from, const char* to) __THROW {
    kill_at_rename(to);
    return renameat(AT_FDCWD, from, AT_FDCWD, to);
}

int renameat(int from_dir, const char* from, int to_dir, const char* to) __THROW {
    kill_at_rename(to);
    return static_cast<int>(syscall(SYS_renameat2, from_dir, from, to_dir, to, 0));
}

int close(int fd) {
    if (fd >= 0 && fd < max_fd) dev_of_fd[fd] = 0;
    return static_cast<int>(syscall(SYS_close, fd));
}

ssize_t read(int fd, void* buf, size_t len) { return do_read(fd, buf, len); }

ssize_t write(int fd, const void* buf, size_t len) { return do_write(fd, buf, len); }

off_t lseek(int fd, off_t off, int whence) __THROW {
    long long r = sys_lseek(fd, off, whence);
    if (r > static_cast<long long>(static_cast<off_t>(r))) return fail(EOVERFLOW);
    return static_cast<off_t>(r);
}

off64_t lseek64(int fd, off64_t off, int whence) __THROW {
    return static_cast<off64_t>(sys_lseek(fd, off, whence));
}

int ioctl(int fd, unsigned long req, ...) __THROW {
    va_list ap;
    va_start(ap, req);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return do_ioctl(fd, req, arg);
}

// 32-bit targets built with 64-bit time reach ioctl under this name.
int __ioctl_time64(int fd, unsigned long req, ...);
int __ioctl_time64(int fd, unsigned long req, ...) {
    va_list ap;
    va_start(ap, req);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return do_ioctl(fd, req, arg);
}

}  // extern "C"
