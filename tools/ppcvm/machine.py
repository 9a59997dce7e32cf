"""The PowerPC test machine: qemu-system-ppc -M ppce500 booting the kernel of
tools/ppcvm/build-kernel with an initramfs of the guest init (tools/ppcvm/init.c),
pelvanor and its C library, on a 1 MiB NOR flash file. The kernel's CFI driver
finds the chip in the board's device tree and the command line cuts it into
64 KiB partitions: mtd0 spare, mtd1 and mtd2 the two environment copies, mtd3
the rest. Used by tests/ppcvm.

A boot runs the tool once per argument list and returns each run's status and
output, what the driver reported for /dev/mtd1 and /dev/mtd2, and the flash
file as the machine left it. A boot may instead be cut: the qemu process is
killed a given time after the flash file was written a given number of times."""
import ctypes
import os
import re
import select
import shutil
import struct
import subprocess
import time
from dataclasses import dataclass

HERE = os.path.dirname(os.path.abspath(__file__))
SYSROOT = '/usr/powerpc-linux-gnu'  # the cross C library the binary was linked against
SECTOR = 0x10000
FLASH_SIZE = 16 * SECTOR
ENV1_OFFSET, ENV2_OFFSET = SECTOR, 2 * SECTOR
PARTITIONS = 'mtdparts=f00000000.nor:64k(spare),64k(env1),64k(env2),-(rest)'
BOOT_TIMEOUT = 60

# In a cut boot qemu writes the flash file at most five times a second (the
# first write passes at once, the second waits 0.1 s, the others 0.2 s).
# Unthrottled, the erase, four buffer writes and the flag write of a commit
# follow each other within 2 ms, less than the host needs to notice a write
# and kill the process. The pacing holds the emulator between two flash
# operations; it changes neither their order nor their contents.
CUT_THROTTLE = 'throttling.iops-write=5'


@dataclass
class Run:
    status: int
    stdout: bytes
    stderr: bytes


@dataclass
class Boot:
    flash: bytes        # the flash file after the machine stopped
    runs: list          # Run per argument list, in order (fewer when cut)
    mtd: dict           # '/dev/mtd1': 'type 3 size 65536 erasesize 65536 writesize 1'


@dataclass(frozen=True)
class Cut:
    """Kill qemu `delay` seconds after the flash file's `after_writes`-th write."""
    after_writes: int
    delay: float


def with_partitions(flash, env1, env2):
    """The flash file `flash` with /dev/mtd1 and /dev/mtd2 holding env1 and env2."""
    assert len(flash) == FLASH_SIZE and len(env1) == SECTOR and len(env2) == SECTOR
    return flash[:ENV1_OFFSET] + env1 + env2 + flash[ENV2_OFFSET + SECTOR:]


def partitions_of(flash):
    """(/dev/mtd1, /dev/mtd2) contents of a flash file."""
    return flash[ENV1_OFFSET:ENV1_OFFSET + SECTOR], flash[ENV2_OFFSET:ENV2_OFFSET + SECTOR]


class Machine:
    def __init__(self, binary, work):
        """Gets the kernel (built on first use) and fills the machine's root
        file system in `work` from the PowerPC `binary`."""
        self.kernel = subprocess.run([os.path.join(HERE, 'build-kernel')], check=True,
                                     stdout=subprocess.PIPE, text=True).stdout.strip()
        self.flash_path = os.path.join(work, 'flash.img')
        self.initrd = os.path.join(work, 'initrd')
        self.root = os.path.join(work, 'root')
        # The guest init is static: the machine has no other programs. The
        # binary's dynamic loader goes where the binary names it, the libraries
        # it needs and those they need in turn to /lib.
        os.makedirs(os.path.join(self.root, 'usr/sbin'), exist_ok=True)
        subprocess.run(['powerpc-linux-gnu-gcc', '-static', '-Os', '-Wall', '-Wextra', '-Werror',
                        '-o', os.path.join(self.root, 'init'), os.path.join(HERE, 'init.c')],
                       check=True)
        shutil.copy(binary, os.path.join(self.root, 'usr/sbin/pelvanor'))
        programs, copied = [binary], set()
        for program in programs:
            headers = subprocess.run(['powerpc-linux-gnu-readelf', '-l', '-d', program],
                                     check=True, stdout=subprocess.PIPE, text=True).stdout
            for path in re.findall(r'interpreter: (.*)\]', headers) + [
                    '/lib/' + name for name in re.findall(r'Shared library: \[(.*)\]', headers)]:
                if path not in copied:
                    copied.add(path)
                    programs.append(SYSROOT + path)
                    os.makedirs(os.path.dirname(self.root + path), exist_ok=True)
                    shutil.copy(SYSROOT + path, self.root + path)

    def boot(self, flash, runs, cut=None):
        """Boots on a copy of `flash` and runs pelvanor with each argument
        list of `runs`; see the module's description."""
        assert len(flash) == FLASH_SIZE
        with open(self.flash_path, 'wb') as flash_file:
            flash_file.write(flash)
        # /runs: one line per run, its arguments separated by tabs.
        assert not any('\t' in arg or '\n' in arg for args in runs for arg in args)
        with open(os.path.join(self.root, 'runs'), 'w', encoding='latin-1') as listing:
            listing.write(''.join('\t'.join(args) + '\n' for args in runs))
        names = subprocess.run(['find', '.'], cwd=self.root, stdout=subprocess.PIPE,
                               check=True).stdout
        with open(self.initrd, 'wb') as archive:
            subprocess.run(['cpio', '-o', '-H', 'newc', '--quiet'], cwd=self.root, input=names,
                           stdout=archive, check=True)
        drive = f'if=pflash,format=raw,file={self.flash_path}'
        if cut:
            drive += ',' + CUT_THROTTLE
        command = ['qemu-system-ppc', '-M', 'ppce500', '-m', '128', '-nographic',
                   '-no-reboot', '-kernel', self.kernel, '-initrd', self.initrd,
                   '-drive', drive, '-append', f'quiet panic=-1 {PARTITIONS}']
        with FlashWrites(self.flash_path) as writes:
            # A cut boot's console is read once the machine stopped: the few
            # lines it prints before the runs end fit the pipe.
            qemu = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            if cut and writes.wait_for(cut.after_writes, qemu, BOOT_TIMEOUT):
                time.sleep(cut.delay)
                qemu.kill()
            try:
                console = qemu.communicate(timeout=BOOT_TIMEOUT)[0]
            except subprocess.TimeoutExpired:
                qemu.kill()
                console = qemu.communicate()[0]
        with open(self.flash_path, 'rb') as flash_file:
            boot = parse(console.decode('latin-1'), flash_file.read())
        if not cut and len(boot.runs) != len(runs):
            raise RuntimeError(f'{len(boot.runs)} of {len(runs)} runs reported; the console '
                               f'ends {console[-300:]!r}')
        return boot


class FlashWrites:
    """Counts the writes to the flash file with inotify: qemu writes the file
    once per flash operation it carries out (an erase, a buffer of data, a
    single word)."""
    IN_MODIFY = 0x2
    EVENT = struct.Struct('iIII')  # watch, mask, cookie, length of the name that follows

    def __init__(self, path):
        libc = ctypes.CDLL(None, use_errno=True)
        self.fd = libc.inotify_init1(os.O_CLOEXEC | os.O_NONBLOCK)
        if self.fd < 0 or libc.inotify_add_watch(self.fd, path.encode(), self.IN_MODIFY) < 0:
            raise OSError(ctypes.get_errno(), 'inotify on ' + path)
        self.count = 0

    def __enter__(self):
        return self

    def __exit__(self, *_):
        os.close(self.fd)

    def wait_for(self, count, process, timeout):
        """True once the file was written `count` times; False when the
        process ended or the time ran out first."""
        deadline = time.monotonic() + timeout
        while self.count < count:
            if process.poll() is not None or time.monotonic() > deadline:
                return False
            if select.select([self.fd], [], [], 0.05)[0]:
                events = os.read(self.fd, 4096)
                offset = 0
                while offset < len(events):
                    *_, name_length = self.EVENT.unpack_from(events, offset)
                    offset += self.EVENT.size + name_length
                    self.count += 1
        return True


RUN_LINE = re.compile(r'ppcvm: run (\d+) (status|stdout|stderr) ?(.*)')
MTD_LINE = re.compile(r'ppcvm: mtd (/dev/mtd\d) (.*)')


def parse(console, flash):
    """The boot's result from its console text and flash file."""
    fields = {}
    mtd = {}
    for line in console.splitlines():
        if match := RUN_LINE.fullmatch(line):
            fields.setdefault(int(match[1]), {})[match[2]] = match[3]
        elif match := MTD_LINE.fullmatch(line):
            mtd[match[1]] = match[2]
    runs = [Run(status=int(run['status']), stdout=bytes.fromhex(run['stdout']),
                stderr=bytes.fromhex(run['stderr']))
            for _, run in sorted(fields.items())
            if {'status', 'stdout', 'stderr'} <= run.keys()]
    return Boot(flash=flash, runs=runs, mtd=mtd)
