"""The PowerPC test machine: qemu-system-ppc -M ppce500 booting the stage's
kernel with an initramfs of the guest init (tools/ppcvm/init.c), pelvanor and
its C library, on a 1 MiB NOR flash file. The kernel's CFI driver finds the
chip in the board's device tree and the command line cuts it into 64 KiB
partitions: mtd0 spare, mtd1 and mtd2 the two environment copies, mtd3 the
rest. Built by tools/ppcvm/run-stage, used by tests/ppcvm/check.py.

A boot runs the tool once per argument list and returns each run's status
and output, what the driver reported for /dev/mtd1 and /dev/mtd2, and the
flash file as the machine left it. A boot may instead be cut: the qemu
process is killed once the flash file has been written a given number of
times, or a given time after the tool started."""
import ctypes
import os
import re
import select
import struct
import subprocess
import threading
import time
from dataclasses import dataclass

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
    console: str

    def run(self, index):
        """The index-th run, or None when the machine did not report it."""
        return self.runs[index] if index < len(self.runs) else None


@dataclass
class Cut:
    """Kill qemu `delay` seconds after the flash file's `after_writes`-th
    write; with after_writes 0, `delay` seconds after the tool started."""
    after_writes: int
    delay: float


def flash_with(env1, env2, spare, rest):
    """The 1 MiB flash: the spare sector, the two 64 KiB environment
    partitions, then the rest (bytes repeated up to the end)."""
    assert len(spare) == SECTOR and len(env1) == SECTOR and len(env2) == SECTOR
    head = spare + env1 + env2
    return head + (rest * FLASH_SIZE)[:FLASH_SIZE - len(head)]


def partitions_of(flash):
    """(/dev/mtd1, /dev/mtd2) contents of a flash file."""
    return flash[ENV1_OFFSET:ENV1_OFFSET + SECTOR], flash[ENV2_OFFSET:ENV2_OFFSET + SECTOR]


class Machine:
    def __init__(self, kernel, base_initrd, work):
        self.kernel = kernel
        with open(base_initrd, 'rb') as f:
            self.base_initrd = f.read()
        self.work = work
        self.flash_path = os.path.join(work, 'flash.img')

    def boot(self, flash, runs, cut=None):
        """Boots on a copy of `flash` and runs pelvanor with each argument
        list of `runs`; see the module's description."""
        assert len(flash) == FLASH_SIZE
        with open(self.flash_path, 'wb') as f:
            f.write(flash)
        initrd = os.path.join(self.work, 'initrd')
        with open(initrd, 'wb') as f:
            f.write(self.base_initrd + self._runs_archive(runs))
        drive = f'if=pflash,format=raw,file={self.flash_path}'
        if cut:
            drive += ',' + CUT_THROTTLE
        command = ['qemu-system-ppc', '-M', 'ppce500', '-m', '128', '-nographic',
                   '-no-reboot', '-kernel', self.kernel, '-initrd', initrd,
                   '-drive', drive, '-append', f'quiet panic=-1 {PARTITIONS}']
        with FlashWrites(self.flash_path) as writes:
            qemu = subprocess.Popen(command, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            console = Console(qemu.stdout)
            if cut:
                self._cut(qemu, console, writes, cut)
            try:
                qemu.wait(BOOT_TIMEOUT)
            except subprocess.TimeoutExpired:
                qemu.kill()
                qemu.wait()
            console.join()
        with open(self.flash_path, 'rb') as f:
            left = f.read()
        return parse(console.text(), left)

    def _runs_archive(self, runs):
        """A cpio archive holding /runs: one line per run, arguments
        separated by tabs."""
        lines = []
        for args in runs:
            assert not any('\t' in arg or '\n' in arg for arg in args)
            lines.append('\t'.join(args) + '\n')
        root = os.path.join(self.work, 'runs-root')
        os.makedirs(root, exist_ok=True)
        with open(os.path.join(root, 'runs'), 'w', encoding='latin-1') as f:
            f.write(''.join(lines))
        return subprocess.run(['cpio', '-o', '-H', 'newc', '--quiet'], cwd=root,
                              input=b'runs\n', stdout=subprocess.PIPE, check=True).stdout

    @staticmethod
    def _cut(qemu, console, writes, cut):
        if not console.wait_for('ppcvm: run 0 start', BOOT_TIMEOUT):
            return
        if writes.wait_for(cut.after_writes, qemu, BOOT_TIMEOUT):
            time.sleep(cut.delay)
            qemu.kill()


class Console:
    """Collects qemu's serial console in a thread."""

    def __init__(self, stream):
        self.lines = []
        self.changed = threading.Condition()
        self.thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self.thread.start()

    def _read(self, stream):
        for raw in stream:
            with self.changed:
                self.lines.append(raw.decode('latin-1').rstrip('\r\n'))
                self.changed.notify_all()
        with self.changed:
            self.lines.append(None)  # end of output
            self.changed.notify_all()

    def wait_for(self, line, timeout):
        """True once `line` was printed; False when the output ended first."""
        with self.changed:
            self.changed.wait_for(lambda: line in self.lines or None in self.lines, timeout)
            return line in self.lines

    def join(self):
        self.thread.join()

    def text(self):
        return '\n'.join(line for line in self.lines if line is not None)


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
    return Boot(flash=flash, runs=runs, mtd=mtd, console=console)
