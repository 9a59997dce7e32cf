"""How the network apply reads, patches and stores the device's configuration files: what it
keeps of a file, which files it refuses, what each failure says and leaves behind, and that a
run cut off mid-way leaves nothing the device's scripts would take for a file of their own."""
import glob
import os

import device
import network
from device import (INTERFACE_CONFIG, NETWORK_CONFIG, PORT_CONFIG, SWITCH_CONFIG, File, Link,
                    interface_config, network_config, port_config, switch_config)
from network import SHOWN, UNTOUCHED, UPDATED, Case, padded
from tally import Tally

tally = Tally()

STATIC = {
    PORT_CONFIG: port_config('192.168.1.20', '255.255.255.0'),
    NETWORK_CONFIG: network_config('192.168.1.1'),
    INTERFACE_CONFIG: interface_config('192.168.1.20', '255.255.255.0', '192.168.1.255',
                                       '192.168.1.0'),
}
DHCP = {'use_dhcp': '1'}
SHOWN_DHCP = SHOWN.replace('use_dhcp: 0', 'use_dhcp: 1')
SWITCH_FAILED = SHOWN + 'update_files_ms()\nupdate_files_ms failed\n'
ROUTINE = 'netset update_files: '
SWITCH_ROUTINE = 'netset update_main_config: '

# Commands run in the binary's own mount namespace before it starts, to break one file:
# reading the binary's own memory at offset 0 fails with EIO; a file that is a mount point
# cannot be renamed over; a read-only directory takes no temporary file; with a file size limit
# of 0 (and SIGXFSZ ignored) every write to a file fails with EFBIG.
READ_FAILS = 'mount --bind /proc/$$/mem {}'
RENAME_FAILS = 'mount --bind {0} {0}'
NO_TEMPORARY = ('mount --bind {0} {0}; mount -o remount,bind,ro {0}; '
                'mount --bind {1} {1}; mount -o remount,bind,rw {1}')
WRITES_FAIL = "trap '' XFSZ; ulimit -f 0"

CASES = [
    # A stored file keeps its mode and owner, and a symbolic link stays a link whose target
    # receives the new text.
    Case('link, mode and owner kept',
         files={PORT_CONFIG: Link('../data/port'),
                '/etc/data/port': File(port_config(), mode=0o600, uid=3, gid=4),
                NETWORK_CONFIG: File(network_config(), mode=0o640, uid=5, gid=6)},
         changed=STATIC),

    # Files of at most 4096 bytes are patched; a longer one is refused whole rather than cut
    # at 4096 bytes, and so is a patch that would make the text longer than that.
    Case('file of 4096 bytes',
         files={PORT_CONFIG: File(padded(port_config('255.255.255.0', '192.168.1.20'), 4096))},
         changed={**STATIC,
                  PORT_CONFIG: padded(port_config('192.168.1.20', '255.255.255.0'), 4096)}),
    Case('file of 4097 bytes', files={PORT_CONFIG: File(padded(port_config(), 4097))},
         status=1, stdout=SHOWN,
         stderr=ROUTINE + PORT_CONFIG + ' larger than 4096 bytes\n', flash=UNTOUCHED),
    Case('patch past 4096 bytes', files={PORT_CONFIG: File(padded(port_config(), 4089))},
         status=1, stdout=SHOWN, stderr='netset update_item: subnet too long...\n',
         flash=UNTOUCHED),

    # The DHCP switch changes one byte in place, in a file of any size; a value byte that lies
    # past the 4096 bytes read is left alone.
    Case('DHCP, file of 6000 bytes', variables=DHCP,
         files={PORT_CONFIG: File(padded(port_config(use_dhcp='no'), 6000))},
         stdout=SHOWN_DHCP + UPDATED,
         changed={PORT_CONFIG: padded(port_config(use_dhcp='yo'), 6000)}),
    Case('DHCP, value byte past 4096 bytes', variables=DHCP,
         files={PORT_CONFIG: File(padded('', 4087) + 'use_dhcp=n\nrest\n')},
         stdout=SHOWN_DHCP + UPDATED),

    # A failed patch leaves its whole file unwritten, also the patches already made to it; a
    # failure stops the apply there: files before it keep their new texts, later ones are not
    # opened, and the request stays set.
    Case('subnet absent', files={PORT_CONFIG: File(port_config().replace('subnet=', 'x='))},
         status=1, stdout=SHOWN, stderr='netset update_item: subnet not found...\n',
         flash=UNTOUCHED),
    Case('network configuration absent', files={NETWORK_CONFIG: None},
         status=1, stdout=SHOWN,
         stderr=ROUTINE + 'open() failed: No such file or directory\n',
         changed={PORT_CONFIG: STATIC[PORT_CONFIG]}, flash=UNTOUCHED),
    Case('switch configuration without prefixlen', args=['-m'],
         files={SWITCH_CONFIG: File(switch_config().replace('prefixlen=', 'x='))},
         status=1, stdout=SWITCH_FAILED, stderr='netset update_item: prefixlen not found...\n',
         flash=UNTOUCHED),

    # Each way loading or storing a file can fail has its own line, with the system's text.
    Case('port configuration read fails', setup=READ_FAILS.format(PORT_CONFIG),
         status=1, stdout=SHOWN, stderr=ROUTINE + 'read() failed: Input/output error\n',
         flash=UNTOUCHED),
    Case('no room for a temporary file',
         setup=NO_TEMPORARY.format('/etc/sysconfig', NETWORK_CONFIG),
         status=1, stdout=SHOWN, stderr=ROUTINE + 'open() failed: Read-only file system\n',
         changed={PORT_CONFIG: STATIC[PORT_CONFIG]}, flash=UNTOUCHED),
    Case('port configuration write fails', setup=WRITES_FAIL,
         status=1, stdout=SHOWN, stderr=ROUTINE + 'write() failed: File too large\n',
         flash=UNTOUCHED),
    Case('rename fails', setup=RENAME_FAILS.format(PORT_CONFIG),
         status=1, stdout=SHOWN, stderr=ROUTINE + 'write() failed: Device or resource busy\n',
         flash=UNTOUCHED),
    Case('DHCP, port configuration absent', variables=DHCP, files={PORT_CONFIG: None},
         status=1, stdout=SHOWN_DHCP,
         stderr=ROUTINE + 'open() failed: No such file or directory\n', flash=UNTOUCHED),
    Case('DHCP, read fails', variables=DHCP, setup=READ_FAILS.format(PORT_CONFIG),
         status=1, stdout=SHOWN_DHCP, stderr=ROUTINE + 'read() failed: Input/output error\n',
         flash=UNTOUCHED),
    Case('DHCP, write fails', variables=DHCP, setup=WRITES_FAIL,
         status=1, stdout=SHOWN_DHCP, stderr=ROUTINE + 'write() failed: File too large\n',
         flash=UNTOUCHED),
    Case('switch configuration absent', args=['-m'], files={SWITCH_CONFIG: None},
         status=1, stdout=SWITCH_FAILED,
         stderr=SWITCH_ROUTINE + 'open() failed: No such file or directory\n', flash=UNTOUCHED),
    Case('switch configuration read fails', args=['-m'], setup=READ_FAILS.format(SWITCH_CONFIG),
         status=1, stdout=SWITCH_FAILED,
         stderr=SWITCH_ROUTINE + 'read() failed: Input/output error\n', flash=UNTOUCHED),
    Case('switch configuration write fails', args=['-m'], setup=WRITES_FAIL,
         status=1, stdout=SWITCH_FAILED,
         stderr=SWITCH_ROUTINE + 'write() failed: File too large\n', flash=UNTOUCHED),
]
for case in CASES:
    network.check(tally, case)


# A run killed after writing its temporary copy of ifcfg-eth0 and before renaming it leaves
# the old file whole and the temporary hidden from globs such as ifcfg-* that interface
# scripts loop over; the next run removes that temporary and leaves no other behind, and
# touches nothing else in the directory (other files' temporaries, a longer name).
SCRIPTS = os.path.dirname(INTERFACE_CONFIG)
UNRELATED = {SCRIPTS + '/.other.abcdef': File('other\n'),
             SCRIPTS + '/.ifcfg-eth1.abcdef': File('eth1\n'),
             SCRIPTS + '/.ifcfg-eth0.abcdefg': File('longer\n')}
files = {**device.DEVICE_FILES, **UNRELATED}


def directory_listing():
    return sorted(os.listdir(SCRIPTS))


def matching_ifcfg():
    return sorted(os.path.basename(path) for path in glob.glob(SCRIPTS + '/ifcfg-*'))


cut_off = network.run_apply([], network.REQUEST, files,
                            simulator={'KILL_RENAME': INTERFACE_CONFIG})
leftovers = [name for name in directory_listing() if name.startswith('.ifcfg-eth0.')
             and len(name) == len('.ifcfg-eth0.') + 6]
leftover_texts = [device.read_file(os.path.join(SCRIPTS, name)).decode() for name in leftovers]
tally.check('killed before renaming ifcfg-eth0', {
    'status': cut_off['status'], 'files': {path: cut_off['files'].get(path) for path in files},
    'flash': cut_off['flash'], 'matching ifcfg-*': matching_ifcfg(),
    'hidden temporaries': leftover_texts,
}, {
    'status': -9,
    'files': network.expected_files(files, {PORT_CONFIG: STATIC[PORT_CONFIG],
                                            NETWORK_CONFIG: STATIC[NETWORK_CONFIG]}),
    'flash': UNTOUCHED, 'matching ifcfg-*': ['ifcfg-eth0'],
    'hidden temporaries': [STATIC[INTERFACE_CONFIG]],
})

next_run = device.run([])
tally.check('the next run after it', {
    'status': next_run.status, 'stdout': next_run.stdout,
    'ifcfg-eth0': device.read_file(INTERFACE_CONFIG).decode(),
    'directory': directory_listing(),
}, {
    'status': 0, 'stdout': SHOWN + UPDATED,
    'ifcfg-eth0': STATIC[INTERFACE_CONFIG],
    'directory': ['.ifcfg-eth0.abcdefg', '.ifcfg-eth1.abcdef', '.other.abcdef', 'ifcfg-eth0'],
})

tally.finish()
