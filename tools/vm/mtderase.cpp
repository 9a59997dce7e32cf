// Issues one MEMERASE request on an MTD character device and prints the
// kernel's answer ("0" or "-ERRNO"), so that the test machine can record how
// its MTD drivers treat requests that the product itself never makes
// (unaligned or shorter than an erase block).
//   mtderase DEVICE START LENGTH
#include <fcntl.h>
#include <mtd/mtd-user.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fputs("usage: mtderase DEVICE START LENGTH\n", stderr);
        return 2;
    }
    const int fd = open(argv[1], O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    erase_info_user erase{static_cast<__u32>(std::strtoul(argv[2], nullptr, 0)),
                          static_cast<__u32>(std::strtoul(argv[3], nullptr, 0))};
    const int r = ioctl(fd, MEMERASE, &erase);
    std::printf("%d\n", r < 0 ? -errno : 0);
    close(fd);
    return 0;
}
