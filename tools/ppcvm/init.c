/* First process of the PowerPC test machine (tools/ppcvm): mounts devtmpfs,
 * reports what the kernel's MTD driver says about /dev/mtd1 and /dev/mtd2,
 * runs /usr/sbin/pelvanor once per line of /runs, reports each run on the
 * console and powers the machine off.
 *
 * /runs holds one run per line, its arguments separated by tabs (an empty
 * line runs the tool without arguments). The console lines, read by
 * tools/ppcvm/machine.py:
 *   ppcvm: mtd /dev/mtdN type T size S erasesize E writesize W
 *   ppcvm: run N start
 *   ppcvm: run N status S      (the exit status, or 128 + the signal)
 *   ppcvm: run N stdout HEX    (what the run wrote, in hexadecimal)
 *   ppcvm: run N stderr HEX
 *   ppcvm: done
 * Cross-compiled statically: the machine has no shell and no tools. */
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/reboot.h>
#include <sys/wait.h>
#include <unistd.h>

enum { max_args = 64 };

static char runs[65536];
static unsigned char captured[65536];

static void report_mtd(const char* path) {
    struct mtd_info_user info;
    int fd = open(path, O_RDONLY);
    if (fd < 0 || ioctl(fd, MEMGETINFO, &info) < 0) {
        printf("ppcvm: mtd %s missing: %m\n", path);
    } else {
        printf("ppcvm: mtd %s type %u size %u erasesize %u writesize %u\n", path,
               (unsigned)info.type, info.size, info.erasesize, info.writesize);
    }
    if (fd >= 0) close(fd);
}

/* One console line: "ppcvm: run N NAME " and the file's bytes in hex. */
static void report_file(int run, const char* name, const char* path) {
    int fd = open(path, O_RDONLY);
    ssize_t length = fd < 0 ? 0 : read(fd, captured, sizeof captured);
    printf("ppcvm: run %d %s ", run, name);
    for (ssize_t i = 0; i < length; i++) printf("%02x", captured[i]);
    printf("\n");
    if (fd >= 0) close(fd);
}

static void run_tool(int run, char* line) {
    char* argv[max_args + 2] = {"pelvanor"};
    int argc = 1;
    if (*line != '\0') {
        for (char* arg = line; arg && argc <= max_args; argc++) {
            argv[argc] = arg;
            arg = strchr(arg, '\t');
            if (arg) *arg++ = '\0';
        }
    }
    argv[argc] = NULL;

    printf("ppcvm: run %d start\n", run);
    fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        int out = open("/run.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open("/run.err", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err, 2);
        execv("/usr/sbin/pelvanor", argv);
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    printf("ppcvm: run %d status %d\n", run,
           WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    report_file(run, "stdout", "/run.out");
    report_file(run, "stderr", "/run.err");
    fflush(stdout);
}

int main(void) {
    setvbuf(stdout, NULL, _IOFBF, 1 << 18);
    if (mount("devtmpfs", "/dev", "devtmpfs", 0, NULL) < 0) printf("ppcvm: mount devtmpfs: %m\n");
    report_mtd("/dev/mtd1");
    report_mtd("/dev/mtd2");

    int fd = open("/runs", O_RDONLY);
    ssize_t length = fd < 0 ? 0 : read(fd, runs, sizeof runs - 1);
    runs[length > 0 ? length : 0] = '\0';
    int run = 0;
    for (char* line = runs; *line != '\0'; run++) {
        char* end = strchr(line, '\n');
        if (end) *end = '\0';
        run_tool(run, line);
        line = end ? end + 1 : line + strlen(line);
    }
    printf("ppcvm: done\n");
    fflush(stdout);
    sync();
    reboot(RB_POWER_OFF);
    for (;;) pause();
}
