#!/usr/bin/env python3
"""The simulated device: the unchanged pelvanor binary run with the flash simulator
(tools/flashsim.cpp, preloaded) in place of the kernel's MTD driver, on flash partitions that are
plain files, and the device's network configuration files and programs.

The end-to-end suites (tests/e2e) run inside tools/sandbox, where /dev, /etc and /usr/local are
private overlays, and use this module there: they write /dev/mtd1, /dev/mtd2 and the files
under /etc, and run the binary. The simulator's FLASHSIM_* settings (faults, delays, power cuts)
are passed as a dict without the prefix, e.g. {'FAIL_WRITE': 'mtd2:1'}. The build under test is
named by the environment:
    PELVANOR   the binary
    FLASHSIM   the simulator's preload path (may hold a literal $LIB for the loader)
    EMULATOR   a command prefix for cross builds ("qemu-ppc -L /usr/powerpc-linux-gnu")
    POWERCUT   "reduced" where every power-cut point would take too long

The demo (tools/demo) lays the device's files out for its sandbox with:
    device.py lay-out DIR    DIR/etc/... and DIR/usr/local/bin/confignw
"""
import dataclasses
import os
import pathlib
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import envimage  # noqa: E402  (the project's one image builder)

MTD1, MTD2 = '/dev/mtd1', '/dev/mtd2'
FLASH_LOG = '/dev/flashsim.log'  # the simulator's list of erase and write requests
RUN_TIMEOUT = 120  # seconds; a run that hangs (on a lock, say) fails instead of the suite

PORT_CONFIG = '/etc/stacfg/porteth0.config'
NETWORK_CONFIG = '/etc/sysconfig/network'
INTERFACE_CONFIG = '/etc/sysconfig/netscripts/ifcfg-eth0'
SWITCH_CONFIG = '/etc/switch/main.config'
CONFIGNW = '/usr/local/bin/confignw'
DHCPCD = '/etc/dhcpc/dhcpcd.exe'
DIRECTORIES = ['/etc/stacfg', '/etc/sysconfig', '/etc/switch', '/etc/dhcpc', '/etc/data']


# ---- flash --------------------------------------------------------------

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


def wait_for_flash_log(line, timeout=RUN_TIMEOUT):
    """Waits until the simulator has logged line (a held-back read, say)."""
    deadline = time.monotonic() + timeout
    while line not in flash_log():
        if time.monotonic() > deadline:
            raise TimeoutError('the flash log never showed %r' % line)
        time.sleep(0.01)


# ---- running pelvanor ---------------------------------------------------

def reduced_power_cuts():
    return os.environ.get('POWERCUT') == 'reduced'


def environment(simulator=None, extra=None):
    """The binary's environment: this one without simulator settings, then the simulator's
    preload and log, the settings given and any extra variables."""
    env = {name: value for name, value in os.environ.items()
           if not name.startswith(('FLASHSIM_', 'FAKE_'))}
    env['FLASHSIM_LOG'] = FLASH_LOG
    for name, value in (simulator or {}).items():
        env['FLASHSIM_' + name] = str(value)
    if os.environ.get('EMULATOR'):
        # the emulator itself is a native program: only the emulated binary loads the simulator
        env['QEMU_SET_ENV'] = 'LD_PRELOAD=' + os.environ['FLASHSIM']
    else:
        env['LD_PRELOAD'] = os.environ['FLASHSIM']
    env.update(extra or {})
    return env


def command(args, setup=None):
    """The command line that runs pelvanor with args. With setup, a shell first runs those
    commands in a mount namespace of the run's own (mounts that break a file), then becomes
    the binary."""
    argv = os.environ.get('EMULATOR', '').split() + [os.environ['PELVANOR']] + list(args)
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
    try:
        out, err = process.communicate(timeout=RUN_TIMEOUT)
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()
        return Result('hung', '', '', read_file(MTD1), read_file(MTD2), flash_log())
    return Result(status=process.returncode,
                  stdout=(out or b'').decode('latin-1'), stderr=err.decode('latin-1'),
                  mtd1=read_file(MTD1), mtd2=read_file(MTD2), flash_log=flash_log())


def run(args, simulator=None, extra_env=None, setup=None, stdout=subprocess.PIPE):
    """Runs pelvanor once on the flash as it stands, with a fresh flash log."""
    clear_flash_log()
    return finish(start(args, simulator, extra_env, setup, stdout))


def run_on(args, mtd1, mtd2, simulator=None):
    """Writes both partitions, runs pelvanor once and returns what it did, for comparison with
    a dict of the same keys."""
    write_flash(mtd1, mtd2)
    result = run(args, simulator)
    return {'status': result.status, 'stdout': result.stdout, 'stderr': result.stderr,
            'mtd1': result.mtd1, 'mtd2': result.mtd2, 'flash requests': result.flash_log}


# ---- the network configuration ------------------------------------------

def port_config(ip_addr='10.0.0.2', subnet='255.0.0.0', use_dhcp='n'):
    return f'#\nip_addr={ip_addr}\nsubnet={subnet}\nuse_dhcp={use_dhcp}\nspeed=9\n'


def network_config(gateway='10.0.0.1'):
    return f'NETWORKING=yes\nGATEWAY0={gateway}\nHOSTNAME=unit7\n'


def interface_config(ipaddr='10.0.0.2', netmask='255.0.0.0', broadcast='10.255.255.255',
                     network='10.0.0.0'):
    return (f'IPADDR={ipaddr}\nNETMASK={netmask}\nBROADCAST={broadcast}\nNETWORK={network}\n'
            'ONBOOT=yes\n')


def switch_config(ip_address='10.0.0.2', prefixlen=8, gateway='10.0.0.1', use_dhcp='0'):
    return (f'ip_address={ip_address}\nprefixlen={prefixlen}\ngateway={gateway}\n'
            f'use_dhcp={use_dhcp}\nmtu=1500\n')


@dataclasses.dataclass(frozen=True)
class File:
    text: str
    mode: int = 0o644
    uid: int = 0
    gid: int = 0


@dataclasses.dataclass(frozen=True)
class Link:
    target: str


# The programs confignw and dhcpcd.exe, stood in for by a script that says how it was called.
PROGRAM = File(pathlib.Path(HERE, 'device-program').read_text(), mode=0o755)

# The device's files as it leaves the factory.
DEVICE_FILES = {
    PORT_CONFIG: File(port_config()),
    NETWORK_CONFIG: File(network_config()),
    INTERFACE_CONFIG: File(interface_config()),
    SWITCH_CONFIG: File(switch_config()),
    CONFIGNW: PROGRAM,
    DHCPCD: PROGRAM,
}


def lay_out(files, root=''):
    """Replaces the device's files under root by these: File, Link, or None for none there."""
    for directory in DIRECTORIES:
        shutil.rmtree(root + directory, ignore_errors=True)
    for path, content in files.items():
        path = root + path
        if content is None:
            if os.path.lexists(path):
                os.unlink(path)
            continue
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if isinstance(content, Link):
            os.symlink(content.target, path)
            continue
        with open(path, 'w', encoding='latin-1') as out:
            out.write(content.text)
        os.chown(path, content.uid, content.gid)
        os.chmod(path, content.mode)


def snapshot():
    """Every file and link of the device's directories and confignw, as File or Link."""
    paths = [os.path.join(top, name) for directory in DIRECTORIES
             for top, _, names in os.walk(directory) for name in names]
    paths += [CONFIGNW] if os.path.lexists(CONFIGNW) else []
    found = {}
    for path in paths:
        if os.path.islink(path):
            found[path] = Link(os.readlink(path))
        else:
            status = os.lstat(path)
            with open(path, encoding='latin-1') as source:
                found[path] = File(source.read(), status.st_mode & 0o7777, status.st_uid,
                                   status.st_gid)
    return found


if __name__ == '__main__':
    if sys.argv[1:2] != ['lay-out'] or len(sys.argv) != 3:
        sys.exit('usage: device.py lay-out DIR')
    lay_out(DEVICE_FILES, root=sys.argv[2])
