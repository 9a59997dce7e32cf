#!/usr/bin/env python3
"""The network apply at boot, across reboots of one device, for tools/vm/run-stage, which boots
the test machine several times on the same flash and /etc (tools/vm/boot runs the start scripts).
    bootcheck.py prepare WORK   the factory state (WORK/mtd1.img, mtd2.img, etc.tar), the scenario's
                                part of the image (WORK/image) and each boot's plan (WORK/boot-N)
    bootcheck.py check WORK N   after boot N, what it left in WORK/boot-N: both flash partitions,
                                the files, console, syslog and the boot's trace
"""
import collections
import os
import pathlib
import re
import shutil
import sys
import tarfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '../../tools'))
import envimage  # noqa: E402

ACTIVE, OBSOLETE = envimage.ACTIVE, envimage.OBSOLETE

# The environment as provisioned: settings waiting, the request set. Clearing the request removes
# the variable and appends it with the new value, and so does setting it again.
PROVISIONED = ['bootcmd=run boot_flash', 'bootdelay=3', 'use_net_settings=1', 'ipaddr=10.1.2.3',
               'netmask=255.255.255.0', 'gatewayip=10.1.2.1', 'use_dhcp=0']
CLEARED = ['bootcmd=run boot_flash', 'bootdelay=3', 'ipaddr=10.1.2.3', 'netmask=255.255.255.0',
           'gatewayip=10.1.2.1', 'use_dhcp=0', 'use_net_settings=0']
REQUESTED_AGAIN = CLEARED[:-1] + ['use_net_settings=1']
# An older copy on /dev/mtd2, marked obsolete.
OLDER = ['bootcmd=run boot_flash', 'bootdelay=5']

INTERFACE_FILES = ['etc/stacfg/porteth0.config', 'etc/sysconfig/network',
                   'etc/sysconfig/netscripts/ifcfg-eth0']
FACTORY_FILES = {
    'etc/stacfg/porteth0.config': b'use_dhcp=n\nip_addr=192.168.0.10\nsubnet=255.255.0.0\n',
    'etc/sysconfig/network': b'NETWORKING=yes\nGATEWAY0=192.168.0.1\nHOSTNAME=dev\n',
    'etc/sysconfig/netscripts/ifcfg-eth0':
        b'DEVICE=eth0\nIPADDR=192.168.0.10\nNETMASK=255.255.0.0\nBROADCAST=192.168.255.255\n'
        b'NETWORK=192.168.0.0\nONBOOT=yes\n',
}
FACTORY_TIME = 1577836800  # 2020-01-01: the files' time as they leave the factory
APPLIED_FILES = {
    'etc/stacfg/porteth0.config': b'use_dhcp=n\nip_addr=10.1.2.3\nsubnet=255.255.255.0\n',
    'etc/sysconfig/network': b'NETWORKING=yes\nGATEWAY0=10.1.2.1\nHOSTNAME=dev\n',
    'etc/sysconfig/netscripts/ifcfg-eth0':
        b'DEVICE=eth0\nIPADDR=10.1.2.3\nNETMASK=255.255.255.0\nBROADCAST=10.1.2.255\n'
        b'NETWORK=10.1.2.0\nONBOOT=yes\n',
}

# Stands for the device's network start-up: it runs after pelvanor-net and notes the address it
# finds. The start links are those an integrator's update-rc.d makes.
NETWORKING = '''#!/bin/sh
[ "$1" = start ] && grep '^IPADDR=' /etc/sysconfig/netscripts/ifcfg-eth0 >/out/networking
'''
START_LINKS = {'S05pelvanor-net': '../init.d/pelvanor-net', 'S40networking': '../init.d/networking'}
STARTED = 'S05pelvanor-net start: status 0\nS40networking start: status 0\n'

# What the init script reports, on the console and to syslog (priority, line).
VALUES = [('notice', 'gateway ip: 10.1.2.1'), ('notice', 'netmask: 255.255.255.0'),
          ('notice', 'ipaddr: 10.1.2.3'), ('notice', 'use_dhcp: 0')]
APPLIED = VALUES + [('notice', 'Network settings updated...')]
KILLED = [('err', 'network apply failed (exit status 137)')]
ALL_LINES = {line for _, line in APPLIED + KILLED}

Copy = collections.namedtuple('Copy', ['entries', 'flag'])
Boot = collections.namedtuple('Boot', [
    'title',        # what the boot shows
    'plan',         # the words of tools/vm/boot that make the boot
    'mtd1',         # the copies on flash afterwards
    'mtd2',
    'reported',     # the init script's lines, console and syslog alike
    'rewritten',    # the three files written anew (else every file under /etc left as it was)
    'killed',       # the apply was killed at its first flash request
    'status',       # output of the init script's status action, when the plan runs it
])
BOOTS = [
    Boot(title='settings waiting: applied, request cleared',
         plan=['start_scripts'],
         mtd1=Copy(PROVISIONED, OBSOLETE), mtd2=Copy(CLEARED, ACTIVE),
         reported=APPLIED, rewritten=True, killed=False, status=None),
    Boot(title='nothing waiting: no file, no flash written',
         plan=['start_scripts'],
         mtd1=Copy(PROVISIONED, OBSOLETE), mtd2=Copy(CLEARED, ACTIVE),
         reported=[], rewritten=False, killed=False, status=None),
    Boot(title='requested again, apply killed between the files and the clearing commit',
         plan=['provision use_net_settings 1', 'init_script_status',
               'start_scripts_killing_first_flash_request'],
         mtd1=Copy(REQUESTED_AGAIN, ACTIVE), mtd2=Copy(CLEARED, OBSOLETE),
         reported=KILLED, rewritten=True, killed=True,
         status=''.join(line + '\n' for _, line in VALUES)),
    Boot(title='the next boot: applied again, same files, request cleared',
         plan=['start_scripts'],
         mtd1=Copy(REQUESTED_AGAIN, OBSOLETE), mtd2=Copy(CLEARED, ACTIVE),
         reported=APPLIED, rewritten=True, killed=False, status=None),
]


def prepare(work):
    with open(f'{work}/mtd1.img', 'wb') as out:
        out.write(envimage.partition(PROVISIONED, ACTIVE))
    with open(f'{work}/mtd2.img', 'wb') as out:
        out.write(envimage.partition(OLDER, OBSOLETE))
    os.makedirs(f'{work}/factory', exist_ok=True)
    for name, text in FACTORY_FILES.items():
        os.makedirs(os.path.dirname(f'{work}/factory/{name}'), exist_ok=True)
        with open(f'{work}/factory/{name}', 'wb') as out:
            out.write(text)
        os.utime(f'{work}/factory/{name}', (FACTORY_TIME, FACTORY_TIME))
    with tarfile.open(f'{work}/etc.tar', 'w', format=tarfile.USTAR_FORMAT) as tar:
        tar.add(f'{work}/factory/etc', arcname='etc')
    os.truncate(f'{work}/etc.tar', 1 << 20)  # room for the archive each boot writes back
    os.makedirs(f'{work}/boot-0')
    shutil.copy(f'{work}/etc.tar', f'{work}/boot-0/etc.tar')  # as boot 1 finds it
    os.makedirs(f'{work}/image/etc/init.d')
    os.makedirs(f'{work}/image/etc/rcS.d')
    with open(f'{work}/image/etc/init.d/networking', 'w') as out:
        out.write(NETWORKING)
    os.chmod(f'{work}/image/etc/init.d/networking', 0o755)
    for link, target in START_LINKS.items():
        os.symlink(target, f'{work}/image/etc/rcS.d/{link}')
    for number, boot in enumerate(BOOTS, 1):
        os.makedirs(f'{work}/boot-{number}')
        with open(f'{work}/boot-{number}/plan.sh', 'w') as out:
            out.write(''.join(word + '\n' for word in boot.plan))
    with open(f'{work}/boots', 'w') as out:
        out.write(''.join(f'{number}\n' for number in range(1, len(BOOTS) + 1)))


def read_file(path):
    return pathlib.Path(path).read_bytes() if os.path.exists(path) else b''


Member = collections.namedtuple('Member', ['contents', 'mode', 'mtime'])


def tar_files(path):
    """{name: Member} of the files and links in an archive (a link's contents: its target, its
    time None, as restoring cannot keep it; directories left out, as restoring files into them
    changes their times); empty when unreadable."""
    try:
        with tarfile.open(path) as tar:
            return {os.path.normpath(member.name): Member(
                contents=tar.extractfile(member).read() if member.isfile() else member.linkname,
                mode=member.mode, mtime=member.mtime if member.isfile() else None)
                for member in tar.getmembers() if not member.isdir()}
    except (OSError, tarfile.TarError):
        return {}


def first_difference(got, want):
    at = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
    return f'from byte {at}: {got[at:at + 24]!r}, expected {want[at:at + 24]!r}'


def reported_in_syslog(messages):
    """(priority, line) of each syslog message of the init script."""
    return re.findall(r' daemon\.(\w+) pelvanor-net: (.*)$', messages, re.M)


def reported_on_console(console):
    """The console's lines that the init script can report, in order."""
    return [line for line in console.replace('\r', '').split('\n') if line in ALL_LINES]


def trace_events(trace):
    """The traced events of the boot: ('flash request', device) and ('killed',)."""
    events = []
    for line in trace.splitlines():
        flash = re.search(r' ioctl\(\d+</dev/(mtd\d)>', line)
        if flash:
            events.append(('flash request', flash.group(1)))
        elif '+++ killed by SIGKILL +++' in line:
            events.append(('killed',))
    return events


def check(work, number):
    boot, here = BOOTS[number - 1], f'{work}/boot-{number}'
    evidence = {name: member.contents for name, member in tar_files(f'{here}/out.tar').items()}
    etc, before = tar_files(f'{here}/etc.tar'), tar_files(f'{work}/boot-{number - 1}/etc.tar')
    results = []

    def verdict(what, problems):
        results.append(not problems)
        print(f"{'FAIL' if problems else 'ok  '} boot {number} ({boot.title}): {what}")
        print(''.join(f'     {problem}\n' for problem in problems), end='')

    # Catches a commit that should not have happened, or one that wrote the wrong copy or image.
    problems = []
    for device, copy in (('mtd1', boot.mtd1), ('mtd2', boot.mtd2)):
        got, want = read_file(f'{here}/{device}.img'), envimage.partition(*copy)
        if got != want:
            problems.append(f'/dev/{device}: ' + first_difference(got, want))
    verdict('both flash partitions byte for byte', problems)

    # Catches an apply that patched the interface files wrongly, lost them, or patched them twice.
    problems = []
    for name in INTERFACE_FILES:
        got = etc[name].contents if name in etc else None
        if got != APPLIED_FILES[name]:
            problems.append(f'{name}: {got!r}')
    verdict('the three interface files hold the settings', problems)

    # Catches an apply that did not write the files (even with the same bytes), or a boot with
    # nothing waiting that still rewrites one.
    if boot.rewritten:
        verdict('the three files written anew (newer than before the boot)', [
            f'{name}: not newer' for name in INTERFACE_FILES
            if name not in etc or name not in before or etc[name].mtime <= before[name].mtime])
    else:
        verdict('every file under /etc as the previous boot left it, times included', [
            f'{name} changed' for name in sorted(set(before) | set(etc))
            if before.get(name) != etc.get(name)])

    # Catches output lost on the way to the console or to syslog, or a wrong priority.
    console = read_file(f'{here}/console.log').decode('latin-1')
    messages = evidence.get('messages', b'').decode('latin-1')
    want_lines = [line for _, line in boot.reported]
    verdict('console: the init script\'s lines', [] if reported_on_console(console) == want_lines
            else [f'got {reported_on_console(console)}, expected {want_lines}'])
    verdict('syslog: the same lines, with their priorities',
            [] if reported_in_syslog(messages) == boot.reported
            else [f'got {reported_in_syslog(messages)}, expected {boot.reported}'])

    # Catches an init script that fails the boot, or runs after the network start-up.
    started = evidence.get('rc.log', b'').decode()
    networking = evidence.get('networking', b'').decode()
    verdict('boot went on: both start scripts succeeded, networking read the new address',
            [] if (started, networking) == (STARTED, 'IPADDR=10.1.2.3\n')
            else [f'start scripts {started!r}, networking read {networking!r}'])

    # Catches a kill that missed the apply or came later than its first flash request (the
    # clearing commit's first step on /dev/mtd2, the copy not active).
    if boot.killed:
        events = trace_events(evidence.get('killed.trace', b'').decode())
        verdict('trace: the apply killed by SIGKILL at its first flash request',
                [] if events == [('flash request', 'mtd2'), ('killed',)] else [f'events {events}'])

    # Catches a status action that fails or does not show the waiting settings.
    if boot.status is not None:
        shown = (evidence.get('status.out', b'').decode(), evidence.get('status.rc', b'').decode())
        verdict('status action shows the waiting settings, exit status 0',
                [] if shown == (boot.status, '0\n') else [f'got {shown}'])

    print(f'{results.count(True)} passed, {results.count(False)} failed')
    return 0 if all(results) else 1


if __name__ == '__main__':
    if sys.argv[1] == 'prepare':
        prepare(sys.argv[2])
    else:
        sys.exit(check(sys.argv[2], int(sys.argv[3])))
