"""The simulated device the end-to-end suites run the unchanged pelvanor binary on.

Each suite runs inside tools/sandbox, where /dev, /etc and /usr/local are private overlays:
the suite writes the flash partitions /dev/mtd1 and /dev/mtd2 as plain files and the device's
configuration files under /etc, and the flash simulator (tools/flashsim.cpp, preloaded into the
binary) answers the binary's flash requests on those files the way the kernel's NOR driver
would. Its FLASHSIM_* settings inject faults, delays and power cuts; they are passed here as a
dict without the prefix, e.g. {'FAIL_WRITE': 'mtd2:1'}.

The ctest entry describes the build under test in the environment:
    PELVANOR   the binary
    FLASHSIM   the simulator's preload path (may hold a literal $LIB for the loader)
    EMULATOR   a command prefix for cross builds ("qemu-ppc -L /usr/powerpc-linux-gnu")
    POWERCUT   "reduced" where every power-cut point would take too long
"""
import dataclasses
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, '../../tools'), os.path.join(HERE, '..')]
import envimage  # noqa: E402  (the project's one image builder)
from tally import Tally  # noqa: E402,F401  (the suites' count of cases)

BINARY = os.environ['PELVANOR']
EMULATOR = os.environ.get('EMULATOR', '').split()
PRELOAD = os.environ['FLASHSIM']
REDUCED_POWER_CUTS = os.environ.get('POWERCUT') == 'reduced'

MTD1, MTD2 = '/dev/mtd1', '/dev/mtd2'
FLASH_LOG = '/dev/flashsim.log'  # the simulator's list of erase and write requests
RUN_TIMEOUT = 120  # seconds; a run that hangs (on a lock, say) fails instead of the suite


def write_flash(mtd1, mtd2):
    """Writes both partitions; None removes that device node."""
    for path, content in ((MTD1, mtd1), (MTD2, mtd2)):
        if content is not None:
            with open(path, 'wb') as out:
                out.write(content)
        elif os.path.lexists(path):
            os.unlink(path)


def read_file(path):
    """The bytes of a file, or None when there is none."""
    try:
        with open(path, 'rb') as source:
            return source.read()
    except FileNotFoundError:
        return None


def flash_log():
    content = read_file(FLASH_LOG)
    return content.decode().splitlines() if content else []


def clear_flash_log():
    if os.path.exists(FLASH_LOG):
        os.unlink(FLASH_LOG)


def environment(simulator=None, extra=None):
    """The binary's environment: this one without simulator settings, then the simulator's
    preload and log, the settings given and any extra variables."""
    env = {name: value for name, value in os.environ.items()
           if not name.startswith(('FLASHSIM_', 'FAKE_'))}
    env['FLASHSIM_LOG'] = FLASH_LOG
    for name, value in (simulator or {}).items():
        env['FLASHSIM_' + name] = str(value)
    if EMULATOR:
        # the emulator itself is a native program: only the emulated binary loads the simulator
        env['QEMU_SET_ENV'] = 'LD_PRELOAD=' + PRELOAD
    else:
        env['LD_PRELOAD'] = PRELOAD
    env.update(extra or {})
    return env


def command(args, setup=None):
    """The command line that runs pelvanor with args. With setup, a shell first runs those
    commands in a mount namespace of the run's own (mounts that fake a broken file), then
    becomes the binary."""
    argv = EMULATOR + [BINARY] + list(args)
    if setup is None:
        return argv
    return ['unshare', '--mount', '--propagation', 'private', '--',
            '/bin/sh', '-ec', setup + '\nexec "$@"', 'sh'] + argv


def start(args, simulator=None, extra_env=None, setup=None, stdout=subprocess.PIPE):
    """Starts pelvanor in the background; standard error is always captured."""
    return subprocess.Popen(command(args, setup), env=environment(simulator, extra_env),
                            stdin=subprocess.DEVNULL, stdout=stdout, stderr=subprocess.PIPE)


@dataclasses.dataclass
class Result:
    """What one run left behind."""
    status: int  # negative: ended by that signal
    stdout: str
    stderr: str
    mtd1: bytes
    mtd2: bytes
    flash_log: list


def finish(process):
    """Waits for a process from start() and collects its Result."""
    out, err = process.communicate(timeout=RUN_TIMEOUT)
    return Result(status=process.returncode,
                  stdout=(out or b'').decode('latin-1'), stderr=err.decode('latin-1'),
                  mtd1=read_file(MTD1), mtd2=read_file(MTD2), flash_log=flash_log())


def run(args, simulator=None, extra_env=None, setup=None, stdout=subprocess.PIPE):
    """Runs pelvanor once on the flash as it stands, with a fresh flash log."""
    clear_flash_log()
    try:
        return finish(start(args, simulator, extra_env, setup, stdout))
    except subprocess.TimeoutExpired:
        return Result(status='hung', stdout='', stderr='', mtd1=read_file(MTD1),
                      mtd2=read_file(MTD2), flash_log=flash_log())


def run_on(args, mtd1, mtd2, simulator=None):
    """Writes both partitions, runs pelvanor once and returns what it did, for comparison with
    a dict of the same keys."""
    write_flash(mtd1, mtd2)
    result = run(args, simulator)
    return {'status': result.status, 'stdout': result.stdout, 'stderr': result.stderr,
            'mtd1': result.mtd1, 'mtd2': result.mtd2, 'flash requests': result.flash_log}


def wait_for_flash_log(line, timeout=RUN_TIMEOUT):
    """Waits until the simulator has logged line (a held-back read, say)."""
    deadline = time.monotonic() + timeout
    while line not in flash_log():
        if time.monotonic() > deadline:
            raise TimeoutError('the flash log never showed %r' % line)
        time.sleep(0.01)
