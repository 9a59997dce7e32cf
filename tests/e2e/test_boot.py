"""The network apply at boot: the installed init script, four boots on the same device."""
import os

import pytest

import device
from device import CLEARED, REQUEST, STATIC, UPDATED, Apply, shown

KILLED = 'network apply failed (exit status 137)'


@pytest.fixture
def syslog():
    if device.emulated():
        pytest.skip('the init script runs the binary itself, and this machine runs no PowerPC '
                    'binary without the emulator in front')
    device.install()
    receiver = device.listen_to_syslog()
    yield receiver
    receiver.close()
    os.unlink('/dev/log')


def written():
    """Inode and time of each interface file: they change when a file is written anew."""
    return [(os.stat(path).st_ino, os.stat(path).st_mtime_ns) for path in STATIC]


# A start script that fails the boot, reports nothing, writes when nothing waits, or clears a
# request whose apply was cut off (by a power cut at the clearing commit) shows in these boots.
def test_four_boots(syslog):
    applied = shown() + UPDATED
    device.prepare(Apply('provisioned'))
    assert device.boot(syslog) == (0, applied, [('notice', line) for line in applied.split('\n')
                                                if line])
    assert device.flash_state(REQUEST) == CLEARED
    first = written()
    assert device.boot(syslog) == (0, '', [])
    assert (device.flash_log(), written()) == ([], first)

    assert device.run(['-s', 'use_net_settings', '1']).status == 0
    assert device.boot(syslog, 'status')[:2] == (0, shown())
    assert device.boot(syslog, flash={'POWERCUT': 0}) == (0, KILLED + '\n', [('err', KILLED)])
    assert (device.run(['-g', 'use_net_settings']).stdout, written() != first) == ('1\n', True)

    assert device.boot(syslog)[:2] == (0, applied)
    assert device.run(['-g', 'use_net_settings']).stdout == '0\n'
    assert {path: device.read_file(path).decode() for path in STATIC} == STATIC
