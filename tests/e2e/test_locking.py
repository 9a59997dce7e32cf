"""Runs at the same time: edits, reads held back during a commit, two network applies, and a
request queued while an apply runs."""
import dataclasses

import pytest

import device
import envimage
from device import CLEARED, REQUEST, UPDATED, Apply, Fault, shown


# Edits without the exclusive lock lose each other's changes (the simulator programs one byte per
# write call, so that every commit lasts long enough for unlocked edits to overlap).
def test_eight_edits_at_once():
    device.write_flash(envimage.partition(['base=1']), envimage.partition([], flag=0))
    edits = [device.start(['-s', f'k{number}', str(number)],
                          faults=[Fault('write', 'short-1')]) for number in range(8)]
    results = [device.finish(edit) for edit in edits]
    assert [(result.status, result.stderr) for result in results] == [(0, '')] * 8
    assert sorted(device.run(['-g']).stdout.split()) == ['base=1'] + [
        f'k{number}={number}' for number in range(8)]


# A load without the shared lock, its read of copy 1 held back while an edit commits x=3 to copy
# 1, sees both copies obsolete and takes copy 1's values from two commits ago (copy 2 current).
HOLD_MS = 3000  # long enough for the edit to commit even under emulation
NETWORK = ['netmask=255.0.0.0', 'use_dhcp=0']


@dataclasses.dataclass
class HeldRead:
    reader: str
    args: list
    held_read: int  # which read of /dev/mtd1 the simulator holds back
    current: list  # copy 2, active
    previous: list  # copy 1, obsolete
    stdout: str  # what the reader must print: the current values


@pytest.mark.parametrize('case', [
    HeldRead(reader='listing', args=['-g'], held_read=1, current=['x=2'], previous=['x=1'],
             stdout='x=2\n'),
    HeldRead(reader='query', args=['-g', 'x'], held_read=1, current=['x=2'], previous=['x=1'],
             stdout='2\n'),
    HeldRead(reader='request check', args=['-t'], held_read=1,
             current=['x=2', 'use_net_settings=0', 'ipaddr=10.0.0.2'] + NETWORK,
             previous=['x=1', 'use_net_settings=1', 'ipaddr=10.0.0.1'] + NETWORK, stdout=''),
    HeldRead(reader='settings load', args=['-t'], held_read=2,
             current=['x=2', 'use_net_settings=1', 'ipaddr=10.0.0.2'] + NETWORK,
             previous=['x=1', 'use_net_settings=1', 'ipaddr=10.0.0.1'] + NETWORK,
             stdout='gateway ip: not found\nnetmask: 255.0.0.0\nipaddr: 10.0.0.2\nuse_dhcp: 0\n'),
], ids=lambda case: case.reader)
def test_read_held_back_during_a_commit(case):
    device.write_flash(envimage.partition(case.previous, flag=envimage.OBSOLETE),
                       envimage.partition(case.current))
    delay = Fault('read', f'delay-{HOLD_MS}', device='mtd1', number=case.held_read)
    reader = device.start(case.args, faults=[delay])
    device.wait_for_flash_log(f'delay mtd1 0 {HOLD_MS}')
    edit = device.run(['-s', 'x', '3'])
    read = device.finish(reader)
    assert (read.status, read.stdout, edit.status) == (0, case.stdout, 0)
    assert device.run(['-g', 'x']).stdout == '3\n'


# Two applies without the apply lock, both past their request check (each held back a second at
# its settings load), patch the files at once, remove each other's temporaries and commit twice.
def test_two_applies_at_once():
    case = Apply('two applies')
    device.prepare(case)
    held = [Fault('read', 'delay-1000', device='mtd1', number=2)]
    applies = [device.start([], faults=held) for _ in range(2)]
    results = sorted((device.finish(apply) for apply in applies), key=lambda result: result.stdout)
    assert [(result.status, result.stdout, result.stderr) for result in results] == [
        (0, '', ''), (0, shown() + UPDATED, '')]
    assert device.outcome(case, results[1]).files == device.expected(case).files
    assert device.flash_state(REQUEST) == CLEARED


# An apply that clears a request queued while it wrote the files loses the new settings: here
# its settings load is held back, the edit waits for its lock and then commits while the apply
# writes the files; the request must stay for the next run, which applies the new values.
def test_request_queued_during_an_apply():
    device.prepare(Apply('queued'))
    apply = device.start([], faults=[Fault('read', f'delay-{HOLD_MS}', device='mtd1', number=2)])
    device.wait_for_flash_log(f'delay mtd1 0 {HOLD_MS}')
    assert device.run(['-S', 'netmask=255.255.0.0', 'use_net_settings=1']).status == 0
    first = device.finish(apply)
    assert (first.status, first.stdout) == (
        1, shown() + 'Network settings changed during update, not cleared...\n')
    assert device.run(['-g', 'use_net_settings']).stdout == '1\n'
    assert device.run([]).stdout == shown(netmask='255.255.0.0') + UPDATED
    assert device.run(['-g', 'use_net_settings']).stdout == '0\n'
    assert device.read_file(device.PORT_CONFIG).decode() == device.port_config(
        '192.168.1.20', '255.255.0.0')
