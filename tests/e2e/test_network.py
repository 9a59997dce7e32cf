"""The network apply (no argument, -t, -m): when it runs, what it writes and runs in each mode,
which values it refuses, and how it clears the request. How the files themselves are read and
stored is the subject of test_config_files.py."""
import dataclasses
import device
import network
from device import (DHCPCD, INTERFACE_CONFIG, NETWORK_CONFIG, PORT_CONFIG, SWITCH_CONFIG, File,
                    interface_config, network_config, port_config, switch_config)
from network import NOT_UPDATED, SHOWN, UNTOUCHED, UPDATED, Case
from tally import Tally

tally = Tally()


def shown(gatewayip='192.168.1.1', netmask='255.255.255.0', ipaddr='192.168.1.20', use_dhcp='0'):
    """The values as the apply prints them before it goes on."""
    return (f'gateway ip: {gatewayip}\nnetmask: {netmask}\nipaddr: {ipaddr}\n'
            f'use_dhcp: {use_dhcp}\n')


def printed_and_ran(command):
    """The command line as the apply prints it, then the stand-in's own line."""
    return f'{command}\nran {command}\n'


STATIC = {
    PORT_CONFIG: port_config('192.168.1.20', '255.255.255.0'),
    NETWORK_CONFIG: network_config('192.168.1.1'),
    INTERFACE_CONFIG: interface_config('192.168.1.20', '255.255.255.0', '192.168.1.255',
                                       '192.168.1.0'),
}
SWITCHED = {SWITCH_CONFIG: switch_config('192.168.1.20', 24, '192.168.1.1', '0')}
CONFIGNW_RUN = ('/usr/local/bin/confignw ip 192.168.1.20 prefixlen 24 broadcast 192.168.1.255 '
                'dhcp 0 gateway 192.168.1.1 ipv4')
DHCPCD_RUN = '/etc/dhcpc/dhcpcd.exe na down'
SWITCH_STARTS = SHOWN + 'update_files_ms()\n'
SWITCH_FAILED = 'update_files_ms failed\n'

CASES = [
    # Only use_net_settings exactly "1" is a request: anything else ends the apply at once with
    # status 0, printing nothing; a comparison by prefix or as a number would go on.
    Case('use_net_settings 11', variables={'use_net_settings': '11'},
         stdout='', flash=UNTOUCHED),
    Case('use_net_settings blank and 1', variables={'use_net_settings': ' 1'},
         stdout='', flash=UNTOUCHED),
    Case('use_net_settings absent', variables={'use_net_settings': None},
         stdout='', flash=UNTOUCHED),
    Case('copy 2 cannot be opened', simulator={'FAIL_OPEN': 'mtd2:1:ENOENT'},
         stdout='', stderr='read_uboot_env: Could not open env2 flash device...\n',
         flash=UNTOUCHED),

    # Normal mode with a static address patches three files, the broadcast and network
    # addresses computed from the values in network byte order (a mask that does not parse
    # counts as all ones), then clears the request with one commit.
    Case('static address', changed=STATIC),
    Case('mask across an octet',
         variables={'ipaddr': '10.1.2.3', 'netmask': '255.255.254.0'},
         stdout=shown(ipaddr='10.1.2.3', netmask='255.255.254.0') + UPDATED,
         changed={**STATIC, PORT_CONFIG: port_config('10.1.2.3', '255.255.254.0'),
                  INTERFACE_CONFIG: interface_config('10.1.2.3', '255.255.254.0',
                                                     '10.1.3.255', '10.1.2.0')}),
    Case('mask that does not parse', variables={'netmask': 'bogus'},
         stdout=shown(netmask='bogus') + UPDATED,
         changed={**STATIC, PORT_CONFIG: port_config('192.168.1.20', 'bogus'),
                  INTERFACE_CONFIG: interface_config('192.168.1.20', 'bogus', '192.168.1.20',
                                                     '192.168.1.20')}),
    Case('gatewayip absent empties GATEWAY0', variables={'gatewayip': None},
         stdout=shown(gatewayip='not found') + UPDATED,
         changed={**STATIC, NETWORK_CONFIG: network_config('')}),

    # With DHCP requested only the port configuration's use_dhcp value changes, to "y"; the
    # other files are absent here, so opening either would fail the case.
    Case('DHCP', variables={'use_dhcp': '1'}, files={NETWORK_CONFIG: None, INTERFACE_CONFIG: None},
         stdout=shown(use_dhcp='1') + UPDATED, changed={PORT_CONFIG: port_config(use_dhcp='y')}),
    Case('DHCP without use_dhcp in the port configuration', variables={'use_dhcp': '1'},
         files={PORT_CONFIG: File('ip_addr=1\n')},
         status=1, stdout=shown(use_dhcp='1'),
         stderr='netset update_files: use_dhcp not found...\n', flash=UNTOUCHED),

    # Switch mode patches the switch configuration, prints and runs confignw with the prefix
    # length and broadcast address, then dhcpcd.exe when it is executable; a program counts as
    # successful only when it exits normally with code 0.
    Case('switch mode', args=['-m'],
         stdout=SWITCH_STARTS + printed_and_ran(CONFIGNW_RUN) + printed_and_ran(DHCPCD_RUN)
         + UPDATED, changed=SWITCHED),
    Case('switch mode, gatewayip absent', args=['-m'], variables={'gatewayip': None},
         stdout=shown(gatewayip='not found') + 'update_files_ms()\n'
         + printed_and_ran('/usr/local/bin/confignw ip 192.168.1.20 prefixlen 24 broadcast '
                           '192.168.1.255 dhcp 0 gateway none ipv4')
         + printed_and_ran(DHCPCD_RUN) + UPDATED,
         changed={SWITCH_CONFIG: switch_config('192.168.1.20', 24, 'none', '0')}),
    Case('switch mode, DHCP', args=['-m'], variables={'use_dhcp': '1'},
         stdout=shown(use_dhcp='1') + 'update_files_ms()\n'
         + printed_and_ran('/usr/local/bin/confignw ip 192.168.1.20 prefixlen 24 broadcast '
                           '192.168.1.255 dhcp 1 gateway 192.168.1.1 ipv4')
         + printed_and_ran(DHCPCD_RUN) + UPDATED,
         changed={SWITCH_CONFIG: switch_config('192.168.1.20', 24, '192.168.1.1', '1')}),
    Case('confignw exits with 1', args=['-m'], fakes={'CONFIGNW': 'exit 1'},
         status=1, stdout=SWITCH_STARTS + printed_and_ran(CONFIGNW_RUN) + SWITCH_FAILED,
         changed=SWITCHED, flash=UNTOUCHED),
    Case('confignw killed', args=['-m'], fakes={'CONFIGNW': 'kill TERM'},
         status=1, stdout=SWITCH_STARTS + printed_and_ran(CONFIGNW_RUN) + SWITCH_FAILED,
         changed=SWITCHED, flash=UNTOUCHED),
    Case('dhcpcd.exe exits with 3', args=['-m'], fakes={'DHCPCD': 'exit 3'},
         status=1, stdout=SWITCH_STARTS + printed_and_ran(CONFIGNW_RUN)
         + printed_and_ran(DHCPCD_RUN) + SWITCH_FAILED, changed=SWITCHED, flash=UNTOUCHED),
    Case('dhcpcd.exe absent', args=['-m'], files={DHCPCD: None},
         stdout=SWITCH_STARTS + printed_and_ran(CONFIGNW_RUN) + UPDATED, changed=SWITCHED),
    Case('dhcpcd.exe not executable', args=['-m'],
         files={DHCPCD: File(device.PROGRAM.text, mode=0o644)},
         stdout=SWITCH_STARTS + printed_and_ran(CONFIGNW_RUN) + UPDATED, changed=SWITCHED),

    # The programs run while no environment lock is held (one that edits the environment
    # itself would otherwise wait forever), and the clearing step takes the lock again: here
    # confignw leaves a process behind that holds it for a second.
    Case('programs run without the lock', args=['-m'], fakes={'LOCK': '/dev/mtd1'},
         stdout=SWITCH_STARTS + printed_and_ran(CONFIGNW_RUN) + printed_and_ran(DHCPCD_RUN)
         + UPDATED, changed=SWITCHED),
    Case('clearing waits for the lock', args=['-m'], files={DHCPCD: None},
         fakes={'HOLD_LOCK': '/dev/mtd1'},
         stdout=SWITCH_STARTS + printed_and_ran(CONFIGNW_RUN) + UPDATED, changed=SWITCHED,
         flash_requests=['lock released'] + network.COMMIT),

    # Test mode only shows the values, whatever they hold, and changes nothing.
    Case('test mode', args=['-t'], stdout=SHOWN, flash=UNTOUCHED),
    Case('test mode shows a refused value', args=['-t'], variables={'ipaddr': '1;2'},
         stdout=shown(ipaddr='1;2'), flash=UNTOUCHED),

    # netmask, ipaddr and use_dhcp are required, in this order; the first one absent ends the
    # apply with its own line after the values found so far.
    Case('netmask absent', variables={'gatewayip': None, 'netmask': None},
         status=1, stdout='gateway ip: not found\n', stderr='netset: netmask not found...\n',
         flash=UNTOUCHED),
    Case('ipaddr absent', variables={'ipaddr': None},
         status=1, stdout='gateway ip: 192.168.1.1\nnetmask: 255.255.255.0\n',
         stderr='netset: ipaddr not found...\n', flash=UNTOUCHED),
    Case('use_dhcp absent', args=['-m'], variables={'use_dhcp': None},
         status=1, stdout='gateway ip: 192.168.1.1\nnetmask: 255.255.255.0\n'
                          'ipaddr: 192.168.1.20\n',
         stderr='netset: use_dhcp not found...\n', flash=UNTOUCHED),

    # When clearing the request fails after the files were written, the apply says so and
    # ends with 1; the request stays set, so the next run applies the settings again.
    Case('load fails at the clearing step', simulator={'FAIL_OPEN': 'mtd1:3:EIO'},
         status=1, stdout=SHOWN + NOT_UPDATED,
         stderr='read_uboot_env: Could not open env flash device...\n',
         changed=STATIC, flash=UNTOUCHED),
    Case('commit fails at the clearing step', simulator={'FAIL_IOCTL': 'ERASE:EIO'},
         status=1, stdout=SHOWN + NOT_UPDATED,
         stderr='ubootenv: ioctl() MEMERASE failed: Input/output error\n'
                'mgr: Failed to erase env sector...\n',
         changed=STATIC, flash=UNTOUCHED, flash_requests=['erase mtd2 0 65536']),
]


# The injection guard: ipaddr, netmask and gatewayip end up in files that shell scripts read
# and on confignw's shell command line, so any byte but ASCII letters, digits, ".", ":" and
# "-" is refused before anything is written or run. One forbidden byte on its own per value
# and mode shows the guard in every place; a value of every allowed kind passes in each mode.
@dataclasses.dataclass
class Forbidden:
    args: list  # [] normal mode, ['-m'] switch mode
    use_dhcp: str
    variable: str
    value: str
    routine: str  # that of the refusal's line


FORBIDDEN = [
    Forbidden([], '0', 'ipaddr', ';', 'update_files'),
    Forbidden([], '0', 'netmask', '$', 'update_files'),
    Forbidden([], '0', 'gatewayip', '`', 'update_files'),
    Forbidden([], '1', 'ipaddr', ' ', 'update_files'),
    Forbidden([], '1', 'netmask', '\n', 'update_files'),
    Forbidden([], '1', 'gatewayip', '|', 'update_files'),
    Forbidden(['-m'], '0', 'ipaddr', '&', 'update_files_ms'),
    Forbidden(['-m'], '0', 'netmask', "'", 'update_files_ms'),
    Forbidden(['-m'], '0', 'gatewayip', '\xe9', 'update_files_ms'),
]
for row in FORBIDDEN:
    values = {'use_dhcp': row.use_dhcp, row.variable: row.value}
    CASES.append(Case(
        'use_dhcp %s, %s %r refused' % (row.use_dhcp, row.variable, row.value), args=row.args,
        variables=values, status=1,
        stdout=shown(**values) + ('update_files_ms()\n' + SWITCH_FAILED if row.args else ''),
        stderr='netset %s: %s holds a character that is not allowed\n'
               % (row.routine, row.variable), flash=UNTOUCHED))
ALLOWED = 'a-Z.0:9'
CASES += [
    Case('every allowed kind of byte', variables={'gatewayip': ALLOWED},
         stdout=shown(gatewayip=ALLOWED) + UPDATED,
         changed={**STATIC, NETWORK_CONFIG: network_config(ALLOWED)}),
    Case('DHCP, every allowed kind of byte', variables={'use_dhcp': '1', 'gatewayip': ALLOWED},
         stdout=shown(use_dhcp='1', gatewayip=ALLOWED) + UPDATED,
         changed={PORT_CONFIG: port_config(use_dhcp='y')}),
    Case('switch mode, every allowed kind of byte', args=['-m'], variables={'gatewayip': ALLOWED},
         stdout=shown(gatewayip=ALLOWED) + 'update_files_ms()\n'
         + printed_and_ran('/usr/local/bin/confignw ip 192.168.1.20 prefixlen 24 broadcast '
                           '192.168.1.255 dhcp 0 gateway a-Z.0:9 ipv4')
         + printed_and_ran(DHCPCD_RUN) + UPDATED,
         changed={SWITCH_CONFIG: switch_config('192.168.1.20', 24, ALLOWED, '0')}),
]


for case in CASES:
    network.check(tally, case)

# A full disk on standard output makes the status 1 but undoes nothing: the files are patched
# and the request is cleared, so the settings are not applied twice.
with open('/dev/full', 'wb') as full:
    got = network.run_apply([], network.REQUEST, device.DEVICE_FILES, stdout=full)
tally.check('standard output on a full disk: pelvanor', got, {
    'status': 1, 'stdout': '',
    'stderr': 'error: could not write standard output: No space left on device\n',
    'files': network.expected_files(device.DEVICE_FILES, STATIC),
    'flash': network.CLEARED, 'flash requests': network.COMMIT,
})

tally.finish()
