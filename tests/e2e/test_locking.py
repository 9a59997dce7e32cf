"""The environment lock: concurrent edits keep each other's changes, and reads never mix a copy
from before a commit with a copy from after it."""
import dataclasses

import device
import envimage
from tally import Tally

tally = Tally()


def list_of(stdout):
    return sorted(stdout.split())


# Edits of distinct names started together would lose each other's changes without the
# exclusive lock. The simulator programs the image one byte per write call, so that every commit
# lasts long enough for unlocked edits to overlap.
device.write_flash(envimage.partition(['base=1']), envimage.partition([], flag=0))
edits = [device.start(['-s', 'k%d' % number, str(number)], {'SHORT_WRITE': '*:*:1'})
         for number in range(8)]
results = [device.finish(edit) for edit in edits]
listing = device.run(['-g'])
tally.check('eight edits at once all land', {
    'statuses': [result.status for result in results],
    'errors': [result.stderr for result in results],
    'listing': list_of(listing.stdout),
}, {
    'statuses': [0] * 8,
    'errors': [''] * 8,
    'listing': list_of('base=1 k0=0 k1=1 k2=2 k3=3 k4=4 k5=5 k6=6 k7=7'),
})


# A load whose read of one copy is held back while an edit commits would, without the shared
# lock, see copy 1 as it was before the commit and copy 2 as the commit left it: both flagged
# obsolete, so it takes copy 1 and its values from two commits ago. Here copy 2 holds the current
# environment and copy 1 the one before it; the edit commits x=3 to copy 1 during the delay.
@dataclasses.dataclass
class HeldRead:
    reader: str
    args: list
    held_read: str  # which read of which device the simulator holds back: DEV:K
    current: list  # copy 2, active
    previous: list  # copy 1, obsolete
    stdout: str  # what the reader must print: the current values


HOLD_MS = 3000  # long enough for the edit to commit even under emulation
NETWORK = ['netmask=255.0.0.0', 'use_dhcp=0']
HELD_READS = [
    HeldRead(reader='listing', args=['-g'], held_read='mtd1:1',
             current=['x=2'], previous=['x=1'], stdout='x=2\n'),
    HeldRead(reader='query', args=['-g', 'x'], held_read='mtd1:1',
             current=['x=2'], previous=['x=1'], stdout='2\n'),
    HeldRead(reader='network apply, request check', args=['-t'], held_read='mtd1:1',
             current=['x=2', 'use_net_settings=0', 'ipaddr=10.0.0.2'] + NETWORK,
             previous=['x=1', 'use_net_settings=1', 'ipaddr=10.0.0.1'] + NETWORK,
             stdout=''),
    HeldRead(reader='network apply, settings load', args=['-t'], held_read='mtd1:2',
             current=['x=2', 'use_net_settings=1', 'ipaddr=10.0.0.2'] + NETWORK,
             previous=['x=1', 'use_net_settings=1', 'ipaddr=10.0.0.1'] + NETWORK,
             stdout='gateway ip: not found\nnetmask: 255.0.0.0\nipaddr: 10.0.0.2\n'
                    'use_dhcp: 0\n'),
]
for case in HELD_READS:
    device.write_flash(envimage.partition(case.previous, flag=envimage.OBSOLETE),
                       envimage.partition(case.current))
    device.clear_flash_log()
    reader = device.start(case.args, {'DELAY_READ': '%s:%d' % (case.held_read, HOLD_MS)})
    device.wait_for_flash_log('delay mtd1 0 %d' % HOLD_MS)
    edit = device.run(['-s', 'x', '3'])
    read = device.finish(reader)
    after = device.run(['-g', 'x'])
    tally.check('%s held back during a commit' % case.reader, {
        'reader status': read.status, 'reader output': read.stdout,
        'edit status': edit.status, 'x afterwards': after.stdout,
    }, {
        'reader status': 0, 'reader output': case.stdout,
        'edit status': 0, 'x afterwards': '3\n',
    })


# A query started while an edit holds the exclusive lock must wait for the commit and print the
# new value; without the shared lock it reads at once and prints the old one.
device.write_flash(envimage.partition(['x=1']), envimage.partition([], flag=0))
device.clear_flash_log()
edit = device.start(['-s', 'x', '2'], {'DELAY_READ': 'mtd2:1:%d' % HOLD_MS})
device.wait_for_flash_log('delay mtd2 0 %d' % HOLD_MS)
query = device.run(['-g', 'x'])
edited = device.finish(edit)
tally.check('a query waits for an edit holding the lock', {
    'query output': query.stdout, 'edit status': edited.status,
}, {
    'query output': '2\n', 'edit status': 0,
})

tally.finish()
