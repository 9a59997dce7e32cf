"""The network apply (no argument, -t, -m): when it runs, what it writes and runs in each mode,
which values it refuses, and how it clears the request."""
import pytest

import device
from device import (DHCPCD, INTERFACE_CONFIG, NETWORK_CONFIG, PORT_CONFIG,
                    SWITCH_CONFIG, STATIC, UNTOUCHED, UPDATED, Apply, Fault, File, failed_apply,
                    interface_config, network_config, port_config, shown, switch_config)


def printed_and_ran(command):
    """The command line as the apply prints it, then the stand-in's own line."""
    return f'{command}\nran {command}\n'


def confignw(dhcp='0', gateway='192.168.1.1'):
    return printed_and_ran('/usr/local/bin/confignw ip 192.168.1.20 prefixlen 24 broadcast '
                           f'192.168.1.255 dhcp {dhcp} gateway {gateway} ipv4')


def refused(name, variables, stderr, args=()):
    """The guard refusing a value: nothing written or run, the request kept."""
    return failed_apply(name, args=list(args), variables=variables, stderr=stderr,
                        stdout=shown(**{'use_dhcp': '0', **variables})
                        + ('update_files_ms()\nupdate_files_ms failed\n' if args else ''))


SWITCHED = {SWITCH_CONFIG: switch_config('192.168.1.20', 24, '192.168.1.1', '0')}
DHCPCD_RAN = printed_and_ran('/etc/dhcpc/dhcpcd.exe na down')
SWITCH_STARTS = shown() + 'update_files_ms()\n'
NOTHING = {'stdout': '', 'changed': {}, 'flash': UNTOUCHED}

CASES = [
    # A request rule that compares a prefix or a number, or follows a missing variable, goes on.
    Apply('use_net_settings 11', variables={'use_net_settings': '11'}, **NOTHING),
    Apply('use_net_settings blank and 1', variables={'use_net_settings': ' 1'}, **NOTHING),
    Apply('use_net_settings absent', variables={'use_net_settings': None}, **NOTHING),
    Apply('copy 2 cannot be opened', faults=[Fault('open', 'ENOENT', device='mtd2', number=1)],
          stderr='read_uboot_env: Could not open env2 flash device...\n', **NOTHING),

    # Static addresses patched into the wrong keys or files, or broadcast and network addresses
    # computed in the wrong byte order (a mask that does not parse counts as all ones), show.
    Apply('mask across an octet, gatewayip absent',
          variables={'ipaddr': '10.1.2.3', 'netmask': '255.255.254.0', 'gatewayip': None},
          stdout=shown('not found', '255.255.254.0', '10.1.2.3') + UPDATED,
          changed={PORT_CONFIG: port_config('10.1.2.3', '255.255.254.0'),
                   NETWORK_CONFIG: network_config(''),
                   INTERFACE_CONFIG: interface_config('10.1.2.3', '255.255.254.0', '10.1.3.255',
                                                      '10.1.2.0')}),
    Apply('use_dhcp cut to three characters', variables={'use_dhcp': '0001'},
          stdout=shown(use_dhcp='000') + UPDATED),
    Apply('mask that does not parse', variables={'netmask': 'bogus'},
          stdout=shown(netmask='bogus') + UPDATED,
          changed={**STATIC, PORT_CONFIG: port_config('192.168.1.20', 'bogus'),
                   INTERFACE_CONFIG: interface_config('192.168.1.20', 'bogus', '192.168.1.20',
                                                      '192.168.1.20')}),

    # A DHCP switch that opens the other files (absent here) or misses its key shows here.
    Apply('DHCP', variables={'use_dhcp': '1'}, files={NETWORK_CONFIG: None, INTERFACE_CONFIG: None},
          stdout=shown(use_dhcp='1') + UPDATED, changed={PORT_CONFIG: port_config(use_dhcp='y')}),
    failed_apply('DHCP without use_dhcp in the port configuration', variables={'use_dhcp': '1'},
                 files={PORT_CONFIG: File('ip_addr=1\n')}, stdout=shown(use_dhcp='1'),
                 stderr='netset update_files: use_dhcp not found...\n'),

    # Switch mode with a wrong command line, a program's failure taken for success (or the
    # other way round), or dhcpcd.exe run when it is not executable, shows here.
    Apply('switch mode', args=['-m'], stdout=SWITCH_STARTS + confignw() + DHCPCD_RAN + UPDATED,
          changed=SWITCHED),
    Apply('switch mode, DHCP, gatewayip absent', args=['-m'],
          variables={'use_dhcp': '1', 'gatewayip': None},
          stdout=shown(gatewayip='not found', use_dhcp='1') + 'update_files_ms()\n'
          + confignw(dhcp='1', gateway='none') + DHCPCD_RAN + UPDATED,
          changed={SWITCH_CONFIG: switch_config('192.168.1.20', 24, 'none', '1')}),
    failed_apply('confignw exits with 1', args=['-m'], programs={'CONFIGNW': 'exit 1'},
                 stdout=SWITCH_STARTS + confignw() + 'update_files_ms failed\n',
                 changed=SWITCHED),
    failed_apply('confignw killed', args=['-m'], programs={'CONFIGNW': 'kill TERM'},
                 stdout=SWITCH_STARTS + confignw() + 'update_files_ms failed\n',
                 changed=SWITCHED),
    failed_apply('dhcpcd.exe exits with 3', args=['-m'], programs={'DHCPCD': 'exit 3'},
                 stdout=SWITCH_STARTS + confignw() + DHCPCD_RAN + 'update_files_ms failed\n',
                 changed=SWITCHED),
    Apply('dhcpcd.exe not executable', args=['-m'],
          files={DHCPCD: File(device.PROGRAM.text, mode=0o644)},
          stdout=SWITCH_STARTS + confignw() + UPDATED, changed=SWITCHED),

    # Programs run with the environment lock held (one that edits the environment would wait
    # forever), or a clearing step that does not wait for the lock, show here.
    Apply('programs run without the lock', args=['-m'], programs={'LOCK': '/dev/mtd1'},
          stdout=SWITCH_STARTS + confignw() + DHCPCD_RAN + UPDATED, changed=SWITCHED),
    Apply('clearing waits for the lock', args=['-m'], files={DHCPCD: None},
          programs={'HOLD_LOCK': '/dev/mtd1'}, stdout=SWITCH_STARTS + confignw() + UPDATED,
          changed=SWITCHED, flash_requests=['lock released'] + device.COMMIT),

    # Test mode that changes something, or a required variable (netmask, ipaddr, use_dhcp, in
    # this order) taken as optional, shows here.
    Apply('test mode', args=['-t'], stdout=shown(), changed={}, flash=UNTOUCHED),
    failed_apply('netmask absent', variables={'gatewayip': None, 'netmask': None},
                 stdout='gateway ip: not found\n', stderr='netset: netmask not found...\n'),
    failed_apply('ipaddr absent', variables={'ipaddr': None},
                 stdout='gateway ip: 192.168.1.1\nnetmask: 255.255.255.0\n',
                 stderr='netset: ipaddr not found...\n'),
    failed_apply('use_dhcp absent', args=['-m'], variables={'use_dhcp': None},
                 stdout='gateway ip: 192.168.1.1\nnetmask: 255.255.255.0\nipaddr: 192.168.1.20\n',
                 stderr='netset: use_dhcp not found...\n'),

    # A clearing step whose failure is not reported, or that loses the request, shows here.
    failed_apply('load fails at the clearing step', changed=STATIC,
                 faults=[Fault('open', 'EIO', device='mtd1', number=3)],
                 stdout=shown() + 'Network settings not updated...\n',
                 stderr='read_uboot_env: Could not open env flash device...\n'),
    failed_apply('commit fails at the clearing step', changed=STATIC,
                 faults=[Fault('erase', 'EIO')], flash_requests=['erase mtd2 0 65536'],
                 stdout=shown() + 'Network settings not updated...\n',
                 stderr='ubootenv: ioctl() MEMERASE failed: Input/output error\n'
                        'mgr: Failed to erase env sector...\n'),

    # A guard missing in a mode or path, or checking in another order than ipaddr, netmask,
    # gatewayip, writes a value that shell scripts or confignw's command line would run (every
    # byte is tried in the unit tests), or an empty address or mask.
    refused('forbidden byte in gatewayip, DHCP', {'use_dhcp': '1', 'gatewayip': '|'},
            'netset update_files: gatewayip holds a character that is not allowed\n'),
    refused('ipaddr before netmask', {'ipaddr': ' ', 'netmask': ';'},
            'netset update_files: ipaddr holds a character that is not allowed\n'),
    refused('netmask before gatewayip, switch mode', {'netmask': '$', 'gatewayip': '`'},
            'netset update_files_ms: netmask holds a character that is not allowed\n', ['-m']),
    refused('empty ipaddr', {'ipaddr': ''}, 'netset update_files: ipaddr is empty\n'),
    refused('empty netmask, DHCP', {'use_dhcp': '1', 'netmask': ''},
            'netset update_files: netmask is empty\n'),
    refused('empty ipaddr, switch mode', {'ipaddr': ''},
            'netset update_files_ms: ipaddr is empty\n', ['-m']),
    refused('empty netmask, switch mode', {'netmask': ''},
            'netset update_files_ms: netmask is empty\n', ['-m']),
    refused('empty ipaddr before a forbidden netmask', {'ipaddr': '', 'netmask': ';'},
            'netset update_files: ipaddr is empty\n'),
    Apply('every allowed kind of byte, switch mode', args=['-m'],
          variables={'gatewayip': 'a-Z.0:9'}, stdout=shown(gatewayip='a-Z.0:9')
          + 'update_files_ms()\n' + confignw(gateway='a-Z.0:9') + DHCPCD_RAN + UPDATED,
          changed={SWITCH_CONFIG: switch_config('192.168.1.20', 24, 'a-Z.0:9', '0')}),
]


@pytest.mark.parametrize('case', CASES, ids=lambda case: case.name)
def test_network_apply(case):
    device.check_apply(case)


# An apply that undoes its work, or applies again, when its output is lost (a full disk) would
# show other files or flash here; it only ends with status 1.
def test_output_on_a_full_disk():
    case = Apply('full disk', status=1, stdout='',
                 stderr='error: could not write standard output: No space left on device\n')
    device.prepare(case)
    with open('/dev/full', 'wb') as full:
        result = device.run([], stdout=full)
    assert device.outcome(case, result) == device.expected(case)
