#!/usr/bin/env python3
"""The network apply at boot, across reboots of one device, for tools/vm/run-stage, which boots
the test machine several times on the same flash and /etc (tools/vm/boot runs the start scripts).
    bootcheck.py prepare WORK   the factory state (WORK/mtd1.img, mtd2.img, etc.tar), the init
                                script's start link (WORK/image) and each boot's plan (WORK/boot-N)
    bootcheck.py check WORK N   after boot N, what it left in WORK/boot-N: both flash partitions,
                                /etc, the console and what tools/vm/boot saved (out.tar)
"""
import collections
import os
import pathlib
import re
import shutil
import sys
import tarfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, '../../tools')]
import envimage  # noqa: E402
from scenario import PROVISIONED, CLEARED, FACTORY_FILES, APPLIED_FILES  # noqa: E402
from scenario import SETTINGS_SHOWN, APPLIED_LINES  # noqa: E402
from tally import Tally  # noqa: E402

ACTIVE, OBSOLETE = envimage.ACTIVE, envimage.OBSOLETE
REQUESTED_AGAIN = CLEARED[:-1] + ['use_net_settings=1']
OLDER = ['bootcmd=run boot_flash', 'bootdelay=5']  # an obsolete copy on /dev/mtd2
FACTORY_TIME = 1577836800  # 2020-01-01: the files' time as they leave the factory
KILLED_LINE = 'network apply failed (exit status 137)'

Copy = collections.namedtuple('Copy', ['entries', 'flag'])
Boot = collections.namedtuple('Boot', defaults=[None, {}], field_names=[
    'title',
    'plan',       # the words of tools/vm/boot that make the boot
    'mtd1',       # the copies on flash afterwards
    'mtd2',
    'rewritten',  # the three files written anew (else left as they were, times too)
    'reported',   # the init script's lines, (priority, line), on console and in syslog, if checked
    'saved',      # more files tools/vm/boot saves, as they must read
])
BOOTS = [
    Boot(title='settings waiting: applied, request cleared', plan=['start_scripts'],
         mtd1=Copy(PROVISIONED, OBSOLETE), mtd2=Copy(CLEARED, ACTIVE), rewritten=True,
         reported=[('notice', line) for line in APPLIED_LINES]),
    Boot(title='nothing waiting: no file, no flash written', plan=['start_scripts'],
         mtd1=Copy(PROVISIONED, OBSOLETE), mtd2=Copy(CLEARED, ACTIVE), rewritten=False),
    Boot(title='requested again, apply killed between the files and the clearing commit',
         plan=['provision use_net_settings 1', 'init_script_status',
               'start_scripts_killing_first_flash_request'],
         mtd1=Copy(REQUESTED_AGAIN, ACTIVE), mtd2=Copy(CLEARED, OBSOLETE), rewritten=True,
         reported=[('err', KILLED_LINE)],
         saved={'rc.log': b'S05pelvanor-net start: status 0\n', 'status.rc': b'0\n',
                'status.out': ''.join(line + '\n' for line in SETTINGS_SHOWN).encode()}),
    Boot(title='the next boot: applied again, same files, request cleared', plan=['start_scripts'],
         mtd1=Copy(REQUESTED_AGAIN, OBSOLETE), mtd2=Copy(CLEARED, ACTIVE), rewritten=True),
]


def prepare(work):
    pathlib.Path(f'{work}/mtd1.img').write_bytes(envimage.partition(PROVISIONED, ACTIVE))
    pathlib.Path(f'{work}/mtd2.img').write_bytes(envimage.partition(OLDER, OBSOLETE))
    for path, text in FACTORY_FILES.items():
        factory = pathlib.Path(work, 'factory', path)
        factory.parent.mkdir(parents=True, exist_ok=True)
        factory.write_bytes(text)
        os.utime(factory, (FACTORY_TIME, FACTORY_TIME))
    with tarfile.open(f'{work}/etc.tar', 'w', format=tarfile.USTAR_FORMAT) as tar:
        tar.add(f'{work}/factory/etc', arcname='etc')
    os.truncate(f'{work}/etc.tar', 1 << 20)  # room for the archive each boot writes back
    os.makedirs(f'{work}/boot-0')
    shutil.copy(f'{work}/etc.tar', f'{work}/boot-0/etc.tar')  # as boot 1 finds it
    # The start link that an integrator's update-rc.d makes.
    os.makedirs(f'{work}/image/etc/rcS.d')
    os.symlink('../init.d/pelvanor-net', f'{work}/image/etc/rcS.d/S05pelvanor-net')
    for number, boot in enumerate(BOOTS, 1):
        os.makedirs(f'{work}/boot-{number}')
        pathlib.Path(f'{work}/boot-{number}/plan.sh').write_text(
            ''.join(word + '\n' for word in boot.plan))
    pathlib.Path(f'{work}/boots').write_text(
        ''.join(f'{number}\n' for number in range(1, len(BOOTS) + 1)))


Member = collections.namedtuple('Member', ['contents', 'mtime'])


def archive(path):
    """{name: Member} of the regular files in a tar archive; empty when it is unreadable."""
    try:
        with tarfile.open(path) as tar:
            return {os.path.normpath(member.name): Member(tar.extractfile(member).read(),
                                                          member.mtime)
                    for member in tar.getmembers() if member.isfile()}
    except (OSError, tarfile.TarError):
        return {}


def check(work, number):
    boot, here = BOOTS[number - 1], f'{work}/boot-{number}'
    name = f'boot {number} ({boot.title})'
    etc, before = archive(f'{here}/etc.tar'), archive(f'{work}/boot-{number - 1}/etc.tar')
    saved = {path: member.contents for path, member in archive(f'{here}/out.tar').items()}
    tally = Tally(show_passes=True)

    # Catches a commit that should not have happened or wrote the wrong copy or image, an apply
    # that patched the interface files wrongly, lost them or did not write them (the same bytes
    # again), and a boot with nothing waiting that still rewrites one.
    got = {device: pathlib.Path(f'{here}/{device}.img').read_bytes() for device in ('mtd1', 'mtd2')}
    want = {'mtd1': envimage.partition(*boot.mtd1), 'mtd2': envimage.partition(*boot.mtd2)}
    missing = Member(contents=None, mtime=0)
    for path, text in APPLIED_FILES.items():
        now, earlier = etc.get(path, missing), before.get(path, missing)
        got.update({path: now.contents, path + ' written anew': now.mtime > earlier.mtime})
        want.update({path: text, path + ' written anew': boot.rewritten})
    written = 'written anew' if boot.rewritten else 'not written'
    tally.check(f'{name}: both flash partitions byte for byte; the interface files, {written}',
                got, want)

    # Catches output lost on the way to the console or to syslog, or a wrong priority.
    if boot.reported is not None:
        console = pathlib.Path(f'{here}/console.log').read_text('latin-1').replace('\r', '')
        messages = saved.get('messages', b'').decode('latin-1')
        tally.check(f'{name}: the init script\'s lines on the console and in syslog', {
            'console': [line for line in console.split('\n')
                        if line in APPLIED_LINES + [KILLED_LINE]],
            'syslog': re.findall(r' daemon\.(\w+) pelvanor-net: (.*)$', messages, re.M),
        }, {'console': [line for _, line in boot.reported], 'syslog': boot.reported})

    # Catches a failed apply that fails its start script (and so the boot), or a status action
    # that fails or does not show the waiting settings.
    if boot.saved:
        tally.check(f'{name}: start script and status action', saved, boot.saved)
    tally.finish()


if __name__ == '__main__':
    if sys.argv[1] == 'prepare':
        prepare(sys.argv[2])
    else:
        check(sys.argv[2], int(sys.argv[3]))
