"""The device's configuration files: what the apply keeps of them, refuses, says when it
fails, rewrites in place, and leaves in a directory when a run is cut off."""
import errno
import glob
import os

import pytest

import device
from device import (INTERFACE_CONFIG, NETWORK_CONFIG, PORT_CONFIG, STATIC, UPDATED, Apply, Fault,
                    File, Link, failed_apply, port_config, shown)

SHOWN_DHCP = shown(use_dhcp='1')
DHCP = {'use_dhcp': '1'}
SWITCH_FAILED = shown() + 'update_files_ms()\nupdate_files_ms failed\n'
ROUTINE = 'netset update_files: '
SCRIPTS = os.path.dirname(INTERFACE_CONFIG)


def failure(name, **fields):
    """An apply that fails after showing the values: no file, no flash changed."""
    return failed_apply(name, **{'stdout': shown(), **fields})


def padded(text, size):
    """text grown to size bytes by a comment line of '#' at its end."""
    return text + '#' * (size - len(text) - 1) + '\n'


def in_place(path, why):
    return f'{ROUTINE}{path} cannot be replaced ({why}), rewritten in place\n'


# Commands run in the binary's own mount namespace first, to break one file: reading memory at
# offset 0 fails with EIO; with a file size limit of 0 (SIGXFSZ ignored) a write fails with
# EFBIG; a mount point cannot be renamed over; a read-only directory takes no temporary file.
READ_FAILS = 'mount --bind /proc/$$/mem {}'
WRITES_FAIL = "trap '' XFSZ; ulimit -f 0"
MOUNTED_ON_ITSELF = 'mount --bind {0} {0}'
READ_ONLY_DIRECTORY = ('mount --bind {0} {0}; mount -o remount,bind,ro {0}; '
                       'mount --bind {1} {1}; mount -o remount,bind,rw {1}')
# A port configuration whose old values are longer than the new ones: a file cut to the new
# length without the new text in it shows.
LONGER_PORT_CONFIG = File(port_config('192.168.100.200', '255.255.255.255'))

CASES = [
    # A store that loses the mode or owner, or replaces a symbolic link by a file, shows here.
    Apply('link, mode and owner kept',
          files={PORT_CONFIG: Link('../data/port'),
                 '/etc/data/port': File(port_config(), mode=0o600, uid=3, gid=4),
                 NETWORK_CONFIG: File(device.network_config(), mode=0o640, uid=5, gid=6)}),

    # A file cut at 4096 bytes, a text grown past them, or an old value longer than 19 bytes
    # taken, shows here.
    Apply('file of 4096 bytes',
          files={PORT_CONFIG: File(padded(port_config('255.255.255.0', '192.168.1.20'), 4096))},
          changed={**STATIC,
                   PORT_CONFIG: padded(port_config('192.168.1.20', '255.255.255.0'), 4096)}),
    failure('file of 4097 bytes', files={PORT_CONFIG: File(padded(port_config(), 4097))},
            stderr=f'{ROUTINE}{PORT_CONFIG} larger than 4096 bytes\n'),
    failure('patch past 4096 bytes', files={PORT_CONFIG: File(padded(port_config(), 4089))},
            stderr='netset update_item: subnet too long...\n'),
    failure('old value of 20 bytes', files={PORT_CONFIG: File(port_config(subnet='9' * 20))},
            stderr='netset update_item: subnet invalid size...\n'),

    # A DHCP switch that cuts a long file, or writes past the 4096 bytes it read, shows here.
    Apply('DHCP, file of 6000 bytes', variables=DHCP,
          files={PORT_CONFIG: File(padded(port_config(use_dhcp='no'), 6000))},
          stdout=SHOWN_DHCP + UPDATED,
          changed={PORT_CONFIG: padded(port_config(use_dhcp='yo'), 6000)}),
    Apply('DHCP, value byte past 4096 bytes', variables=DHCP,
          files={PORT_CONFIG: File(padded('', 4087) + 'use_dhcp=n\nrest\n')},
          stdout=SHOWN_DHCP + UPDATED, changed={}),

    # A failure that writes part of a file, goes on to the next file, clears the request, or
    # says the wrong line, shows here.
    failure('subnet absent', files={PORT_CONFIG: File(port_config().replace('subnet=', 'x='))},
            stderr='netset update_item: subnet not found...\n'),
    failure('network configuration absent', files={NETWORK_CONFIG: None},
            stderr=ROUTINE + 'open() failed: No such file or directory\n',
            changed={PORT_CONFIG: STATIC[PORT_CONFIG]}),
    failure('port configuration read fails', setup=READ_FAILS.format(PORT_CONFIG),
            stderr=ROUTINE + 'read() failed: Input/output error\n'),
    failure('port configuration write fails', setup=WRITES_FAIL,
            stderr=ROUTINE + 'write() failed: File too large\n'),
    failure('DHCP, port configuration absent', variables=DHCP, files={PORT_CONFIG: None},
            stdout=SHOWN_DHCP, stderr=ROUTINE + 'open() failed: No such file or directory\n'),
    failure('DHCP, read fails', variables=DHCP, setup=READ_FAILS.format(PORT_CONFIG),
            stdout=SHOWN_DHCP, stderr=ROUTINE + 'read() failed: Input/output error\n'),
    failure('DHCP, write fails', variables=DHCP, setup=WRITES_FAIL, stdout=SHOWN_DHCP,
            stderr=ROUTINE + 'write() failed: File too large\n'),
    failure('switch configuration write fails', args=['-m'], setup=WRITES_FAIL,
            stdout=SWITCH_FAILED,
            stderr='netset update_main_config: write() failed: File too large\n'),

    # A file that cannot be replaced by rename (a mount point, a read-only directory) and is
    # not rewritten in place with a notice keeps the request set at every boot; an in-place
    # write whose failure goes unreported cuts the file to the new text's length.
    Apply('configuration file mounted on itself', setup=MOUNTED_ON_ITSELF.format(NETWORK_CONFIG),
          files={NETWORK_CONFIG: File(device.network_config('192.168.100.254'))},
          stderr=in_place(NETWORK_CONFIG, 'Device or resource busy')),
    Apply('read-only directory, writable file',
          setup=READ_ONLY_DIRECTORY.format(SCRIPTS, INTERFACE_CONFIG),
          stderr=in_place(INTERFACE_CONFIG, 'Read-only file system')),
    failure('in-place write fails', setup=READ_ONLY_DIRECTORY.format('/etc/stacfg', PORT_CONFIG)
            + '; ' + WRITES_FAIL, files={PORT_CONFIG: LONGER_PORT_CONFIG},
            stderr=in_place(PORT_CONFIG, 'Read-only file system')
            + ROUTINE + 'write() failed: File too large\n'),

    # With standard error or output closed at the start, a file opened as descriptor 2 would
    # receive the apply's failure line, and the apply lock opened as descriptor 1 its output.
    failure('standard error closed', variables=DHCP, files={PORT_CONFIG: File('ip_addr=1\n')},
            setup='exec 2>&-', stdout=SHOWN_DHCP, stderr=''),
    Apply('standard output closed, switch mode', args=['-m'], setup='exec 1>&-', stdout='',
          changed={device.SWITCH_CONFIG: device.switch_config('192.168.1.20', 24, '192.168.1.1',
                                                              '0')}),
]


@pytest.mark.parametrize('case', CASES, ids=lambda case: case.name)
def test_config_files(case):
    device.check_apply(case)


# A rename that drops a file's extended attributes (security labels, ACLs) shows here.
def test_extended_attributes_kept():
    case = Apply('attributes')
    device.prepare(case)
    try:
        os.setxattr(PORT_CONFIG, 'user.label', b'port')
    except OSError as error:
        if error.errno != errno.EOPNOTSUPP:
            raise
        pytest.skip('the file system under the sandbox has no user attributes')
    device.check_apply(case, prepared=True)
    assert os.getxattr(PORT_CONFIG, 'user.label') == b'port'


# A store that removes an administrator's files (only its own temporaries, regular files of
# this user, may go), or whose temporary of a run killed before its rename is not hidden from
# ifcfg-* or not removed by the next run, shows here.
def test_temporaries_left_by_a_killed_run():
    admin_files = {SCRIPTS + '/.ifcfg-eth0.backup': File('backup\n'),
                   SCRIPTS + '/.ifcfg-eth0.orig-1': File('orig\n'),
                   SCRIPTS + '/.ifcfg-eth0.pelvanor-Other1': File('another user\n', uid=7),
                   SCRIPTS + '/.ifcfg-eth0.pelvanor-Link01': Link('ifcfg-eth0'),
                   SCRIPTS + '/.ifcfg-eth0.pelvanor-Longer7': File('longer name\n'),
                   SCRIPTS + '/.ifcfg-eth0.pelvanor-save~1': File('not a letter or digit\n'),
                   SCRIPTS + '/.ifcfg-eth1.pelvanor-abc123': File('eth1\n')}
    kept = {os.path.basename(path) for path in admin_files} | {'ifcfg-eth0'}
    device.prepare(Apply('killed', files=admin_files))
    killed = device.run([], flash={'KILL_RENAME': 'ifcfg-eth0'})
    left = sorted(set(os.listdir(SCRIPTS)) - kept)
    assert killed.status == -9
    assert [len(name) for name in left] == [len('.ifcfg-eth0.pelvanor-') + 6]
    assert device.read_file(f'{SCRIPTS}/{left[0]}').decode() == STATIC[INTERFACE_CONFIG]
    assert device.read_file(INTERFACE_CONFIG).decode() == device.interface_config()
    assert glob.glob(SCRIPTS + '/ifcfg-*') == [INTERFACE_CONFIG]

    assert device.run([]).stdout == shown() + UPDATED
    assert set(os.listdir(SCRIPTS)) == kept
    assert {path: device.snapshot()[path] for path in admin_files} == admin_files


# A load or store that follows a link where the port configuration was (another process swapped
# it for one after its path was resolved, just before the load's open or the store's) reads or
# replaces the file the link points to; both must refuse and leave that file alone.
@pytest.mark.parametrize('swapped_at_open', [1, 2], ids=['before the load', 'before the store'])
def test_file_swapped_for_a_link(swapped_at_open):
    victim = '/etc/data/victim'
    device.prepare(Apply('swapped', files={victim: File('not a configuration\n')}))
    swap = Fault('open', 'link-' + victim, device='porteth0.config', number=swapped_at_open)
    result = device.run([], faults=[swap])
    assert (result.status, result.stderr) == (
        1, ROUTINE + 'open() failed: Too many levels of symbolic links\n')
    assert device.snapshot()[victim] == File('not a configuration\n')


# An in-place rewrite that is not synced before the request is cleared can be lost with the power
# while the request is gone: the file's write must be followed by its sync before it is closed.
def test_in_place_rewrite_is_synced():
    # (LeakSanitizer, in the sanitizer build, cannot work under strace.)
    strace = ('\nexport ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0"'
              '\nexec strace -o /dev/trace -e trace=pwrite64,fsync,close "$@"')
    device.check_apply(Apply('traced', setup=MOUNTED_ON_ITSELF.format(NETWORK_CONFIG) + strace,
                             files={NETWORK_CONFIG: File(device.network_config('192.168.100.254'))},
                             stderr=in_place(NETWORK_CONFIG, 'Device or resource busy')))
    trace = device.read_file('/dev/trace').decode().splitlines()
    calls = [line.split(' = ')[0].strip() for line in trace]
    written = [call for call in calls if call.startswith('pwrite64(') and 'GATEWAY0=192' in call]
    descriptor = written[0][len('pwrite64('):written[0].index(',')]
    after = calls[calls.index(written[0]):]
    assert f'fsync({descriptor})' in after[:after.index(f'close({descriptor})')]
