#!/usr/bin/env python3
"""The network apply command end to end (no argument, -t, -m): the real binary
inside the sandbox, with the device's configuration files in the overlaid
/etc, fake /usr/local/bin/confignw and /etc/dhcpc/dhcpcd.exe
(fake_program.sh) that record their arguments, and the flash simulator.

Every case seeds both flash copies and the device files, runs once, and
compares status, stdout, stderr, every device file (bytes, mode, owner, link
or not, no file left over), both flash partitions byte for byte, the flash
operation log and the programs run. One row per case."""
import fcntl, os, re, shutil, subprocess, sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h

FAKE = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'fake_program.sh')
RAN = '/dev/fake_programs.log'   # the fakes append "NAME ARGS" here
PWNED = '/tmp/pwned'             # what the injection attempts would create

PORT, NET, IFCFG = '/etc/stacfg/porteth0.config', '/etc/sysconfig/network', '/etc/sysconfig/netscripts/ifcfg-eth0'
MAIN, CONFIGNW, DHCPCD = '/etc/switch/main.config', '/usr/local/bin/confignw', '/etc/dhcpc/dhcpcd.exe'
ROOTS = ('/etc/stacfg', '/etc/sysconfig', '/etc/switch', '/etc/dhcpc', '/etc/data', CONFIGNW)


def port_cfg(ip='10.0.0.2', mask='255.0.0.0', dhcp='n', head='# port eth0\n'):
    return f'{head}ip_addr={ip}\nsubnet={mask}\nuse_dhcp={dhcp}\nspeed=auto\n'


def net_cfg(gw='10.0.0.1'):
    return f'NETWORKING=yes\nGATEWAY0={gw}\nHOSTNAME=unit7\n'


def if_cfg(ip='10.0.0.2', mask='255.0.0.0', bc='10.255.255.255', nw='10.0.0.0'):
    return f'DEVICE=eth0\nIPADDR={ip}\nNETMASK={mask}\nBROADCAST={bc}\nNETWORK={nw}\nONBOOT=yes\n'


def sw_cfg(ip='10.0.0.2', pl='8', gw='10.0.0.1', dhcp='0'):
    return f'# switch\nip_address={ip}\nprefixlen={pl}\ngateway={gw}\nuse_dhcp={dhcp}\nmtu=1500\n'


class F:
    """A device file to seed: content, mode, owner; link: a symbolic link to
    that path instead; dir: a directory."""
    def __init__(self, text='', mode=0o644, uid=0, gid=0, link=None, dir=False):
        self.text, self.mode, self.uid, self.gid, self.link, self.dir = text, mode, uid, gid, link, dir


FAKE_TEXT = open(FAKE).read()
FILES = {PORT: port_cfg(), NET: net_cfg(), IFCFG: if_cfg(), MAIN: sw_cfg(),
         CONFIGNW: F(FAKE_TEXT, 0o755), DHCPCD: F(FAKE_TEXT, 0o755)}

ENV = [('bootcmd', 'run flash_boot'), ('use_net_settings', '1'), ('gatewayip', '192.168.1.1'),
       ('netmask', '255.255.255.0'), ('ipaddr', '192.168.1.20'), ('use_dhcp', '0'), ('bootdelay', '3')]
OLD = 'use_net_settings=0 gatewayip=10.9.9.9 netmask=255.0.0.0 ipaddr=10.9.9.8 use_dhcp=0'.split()
COMMIT_OPS = {'m1': ['erase mtd2 0 65536', 'write mtd2 0 8192', 'write mtd1 4 1'],
              'm2': ['erase mtd1 0 65536', 'write mtd1 0 8192', 'write mtd2 4 1']}

UPDATED, NOT_UPDATED = 'Network settings updated...\n', 'Network settings not updated...\n'
MS, MS_FAILED = 'update_files_ms()\n', 'update_files_ms failed\n'
DHCPCD_RUN = '/etc/dhcpc/dhcpcd.exe na down\ndhcpcd.exe: running\n'


def confignw(ip, pl, bc, d, gw):
    return f'ip {ip} prefixlen {pl} broadcast {bc} dhcp {d} gateway {gw} ipv4'


def C(name, args=(), env=None, files=None, pre='', sim=None, fakes=None, seed='m1', status=0, out='',
      err='', echo=True, changed=None, flash='kept', ops=None, ran=()):
    """One case. env/files: changes to ENV/FILES (None removes); pre: shell
    commands run in a private mount namespace just before the binary; fakes:
    FAKE_* settings of the fake programs; echo: stdout starts with the four
    values' lines; out: the rest of stdout; changed: files whose new text is
    expected (every other file must stay as seeded); flash: 'kept', 'cleared'
    (use_net_settings=0 committed to the other copy), 'new' (that copy
    written but the old one not marked obsolete) or 'erased' (the other
    copy's block erased, nothing written); ran: the programs' log."""
    return dict(locals())


def STATIC(name, ip='192.168.1.20', mask='255.255.255.0', bc='192.168.1.255', nw='192.168.1.0',
           gw='192.168.1.1', dhcp='0', port_dhcp='n', changed=None, **kw):
    """Normal mode, static address, success."""
    return C(name, env=dict(ipaddr=ip, netmask=mask, gatewayip=gw, use_dhcp=dhcp), out=UPDATED,
             flash='cleared', changed=changed or {PORT: port_cfg(ip, mask, port_dhcp), NET: net_cfg(gw or ''),
                                                  IFCFG: if_cfg(ip, mask, bc, nw)}, **kw)


def DHCP(name, dhcp='1', before='use_dhcp=n\n', after='use_dhcp=y\n', **kw):
    """Normal mode, DHCP requested, success; the other two files are absent,
    so touching them would fail."""
    files = {PORT: port_cfg().replace('use_dhcp=n\n', before), NET: None, IFCFG: None}
    changed = {} if before == after else {PORT: port_cfg().replace('use_dhcp=n\n', after)}
    return C(name, env=dict(use_dhcp=dhcp), files=files, out=UPDATED, flash='cleared', changed=changed, **kw)


def SWITCH(name, ip='192.168.1.20', mask='255.255.255.0', pl=24, bc='192.168.1.255', gw='192.168.1.1',
           gwtext=None, dhcp='0', d='0', args=('-m',), changed=None, **kw):
    """Switch mode, success, both programs run."""
    line = confignw(ip, pl, bc, d, gwtext or gw)
    return C('-m: ' + name, args, env=dict(ipaddr=ip, netmask=mask, gatewayip=gw, use_dhcp=dhcp),
             out=f'{MS}{CONFIGNW} {line}\nconfignw: running\n{DHCPCD_RUN}{UPDATED}',
             changed=changed or {MAIN: sw_cfg(ip, str(pl), gwtext or gw, d)}, flash='cleared',
             ran=['confignw ' + line, 'dhcpcd.exe na down'], **kw)


def MSFAIL(name, err, **kw):
    """Switch mode refused before anything is run; main.config unchanged."""
    return C(name, ('-m',), status=1, out=MS + MS_FAILED, err=err, **kw)


def FAIL(name, err, **kw):
    """Normal mode, update_files failed: status 1, request kept."""
    return C(name, status=1, err=err, **kw)


def pad(text, size):
    """text grown to size bytes by a comment line at its end."""
    return text + '#' + 'x' * (size - len(text) - 2) + '\n'


# Seen by the process under test, not the host: a read-only bind mount of a
# directory (root ignores permission bits), a file bound over itself (rename
# onto a mount point fails with EBUSY), a file whose reads fail (the memory
# of the process itself at address 0).
RO_DIR = 'mount --bind {d} {d} && mount -o remount,bind,ro {d}'
RO_DIR_RW_FILE = RO_DIR + ' && mount --bind {f} {f} && mount -o remount,bind,rw {f}'
BUSY = 'mount --bind {f} {f}'
EIO_READ = 'mount --bind /proc/$$/mem {f}'

up = 'netset update_files: '
upm = 'netset update_main_config: '
ui = 'netset update_item: '
ums = 'netset update_files_ms: '
BAD = ' holds a character that is not allowed\n'
ENOENT, EROFS, EBUSY, EIO, EISDIR = ('No such file or directory', 'Read-only file system',
                                     'Device or resource busy', 'Input/output error', 'Is a directory')
PORT_DONE = {PORT: port_cfg('192.168.1.20', '255.255.255.0')}
NET_DONE = {**PORT_DONE, NET: net_cfg('192.168.1.1')}
ALL_DONE = {**NET_DONE, IFCFG: if_cfg('192.168.1.20', '255.255.255.0', '192.168.1.255', '192.168.1.0')}
SW_DONE = {MAIN: sw_cfg('192.168.1.20', '24', '192.168.1.1', '0')}
SW_LINE = CONFIGNW + ' ' + confignw('192.168.1.20', 24, '192.168.1.255', 0, '192.168.1.1')
SW_RAN = 'confignw ' + confignw('192.168.1.20', 24, '192.168.1.255', 0, '192.168.1.1')
BAD_IP, BAD_GW, BAD_MASK = '1.2.3.4;touch /tmp/pwned', '$(touch /tmp/pwned)', '255.255.255.0\ntouch /tmp/pwned'
LONG = '1234567890' * 4

CASES = [
    # Normal mode, static address: each file's entries, broadcast and network.
    STATIC('static /24'),
    STATIC('static /16', '10.1.2.3', '255.255.0.0', '10.1.255.255', '10.1.0.0'),
    STATIC('non-contiguous mask', '10.1.2.3', '255.0.255.0', '10.255.2.255', '10.0.2.0'),
    STATIC('mask 0.0.0.0', '10.1.2.3', '0.0.0.0', '255.255.255.255', '0.0.0.0'),
    STATIC('mask /32', '10.1.2.3', '255.255.255.255', '10.1.2.3', '10.1.2.3'),
    STATIC('invalid mask: all ones', '10.1.2.3', 'bogus', '10.1.2.3', '10.1.2.3'),
    STATIC('mask with octet 256', '10.1.2.3', '255.255.256.0', '10.1.2.3', '10.1.2.3'),
    STATIC('empty mask passes the check', '10.1.2.3', '', '10.1.2.3', '10.1.2.3'),
    STATIC('invalid address: all ones', 'bogus', '255.255.255.0', '255.255.255.255', '255.255.255.0'),
    STATIC('colons pass the check', 'fe80::1', '255.255.255.0', '255.255.255.255', '255.255.255.0'),
    STATIC('gatewayip absent: GATEWAY0 emptied', gw=None),
    STATIC('gatewayip empty', gw=''),
    STATIC('static keeps an earlier DHCP y', port_dhcp='y', files={PORT: port_cfg(dhcp='y')}),
    *[STATIC(f'use_dhcp {v!r} is static', dhcp=v) for v in ('0', 'y', 'yes', '0x1', '', '2', '-1')],
    STATIC('active copy on mtd2, cleared into mtd1', seed='m2'),
    STATIC('mode and owner kept', files={PORT: F(port_cfg(), 0o640, 1234, 5678), NET: F(net_cfg(), 0o600, 7, 8)}),
    STATIC('link stays a link, target rewritten', files={NET: F(link='/etc/data/network'), '/etc/data/network': net_cfg()},
           changed={'/etc/data/network': net_cfg('192.168.1.1'), PORT: ALL_DONE[PORT], IFCFG: ALL_DONE[IFCFG]}),
    STATIC('relative link', files={PORT: F(link='../data/p.cfg'), '/etc/data/p.cfg': F(port_cfg(), 0o600, 3, 4)},
           changed={'/etc/data/p.cfg': ALL_DONE[PORT], NET: ALL_DONE[NET], IFCFG: ALL_DONE[IFCFG]}),
    C('values cut to 31 and 3 characters', env=dict(ipaddr=LONG, use_dhcp='1234'), echo=False,
      out=f'gateway ip: 192.168.1.1\nnetmask: 255.255.255.0\nipaddr: {LONG[:31]}\nuse_dhcp: 123\n{UPDATED}',
      flash='cleared', changed={PORT: port_cfg(LONG[:31], '255.255.255.0'), NET: net_cfg('192.168.1.1'),
                                IFCFG: if_cfg(LONG[:31], '255.255.255.0', '255.255.255.255', '255.255.255.0')}),
    # The value patcher through the files: separators, odd shapes, windows.
    C('key inside a longer word is patched there', files={PORT: port_cfg(head='# my_ip_addr_old=5\n')}, out=UPDATED,
      flash='cleared', changed={**ALL_DONE, PORT: port_cfg('10.0.0.2', '255.255.255.0', head='# my_ip_addr_192.168.1.20\n')}),
    C('blank separator, empty and 19-byte old values', out=UPDATED, flash='cleared',
      files={PORT: port_cfg('1234567890123456789').replace('ip_addr=', 'ip_addr '), NET: net_cfg(''), IFCFG: if_cfg(bc='')},
      changed={**ALL_DONE, PORT: port_cfg('192.168.1.20', '255.255.255.0').replace('ip_addr=', 'ip_addr ')}),
    FAIL('20-byte old value', ui + 'ip_addr invalid size...\n', files={PORT: port_cfg('12345678901234567890')}),
    FAIL('last line without newline', ui + 'NETWORK invalid size...\n', changed=NET_DONE,
         files={IFCFG: if_cfg().replace('\nONBOOT=yes\n', '')}),
    FAIL('key at the very end of the text', ui + 'NETWORK invalid size...\n', changed=NET_DONE,
         files={IFCFG: 'IPADDR=1\nNETMASK=2\nBROADCAST=3\nNETWORK'}),
    FAIL('key, separator, end of text', ui + 'GATEWAY0 invalid size...\n', changed=PORT_DONE, files={NET: 'GATEWAY0='}),
    FAIL('empty file', ui + 'ip_addr not found...\n', files={PORT: ''}),
    # Capacity: 4096 bytes before and after a patch.
    C('file of 4096 bytes, same lengths', out=UPDATED, flash='cleared',
      files={PORT: pad(port_cfg('192.168.1.99', '255.255.255.9'), 4096)},
      changed={**ALL_DONE, PORT: pad(port_cfg('192.168.1.20', '255.255.255.0'), 4096)}),
    C('grows to exactly 4096 bytes', out=UPDATED, flash='cleared',
      files={PORT: pad(port_cfg(), 4088)}, changed={**ALL_DONE, PORT: pad(port_cfg('192.168.1.20', '255.255.255.0'), 4096)}),
    FAIL('patch past 4096 bytes refused', ui + 'subnet too long...\n', files={PORT: pad(port_cfg(), 4089)}),
    FAIL('file of 4097 bytes refused', up + '/etc/stacfg/porteth0.config larger than 4096 bytes\n',
         files={PORT: pad(port_cfg(), 4097)}),
    FAIL('link to a file over 4096 bytes: named by its fixed path', up + '/etc/stacfg/porteth0.config larger than 4096 bytes\n',
         files={PORT: F(link='/etc/data/big'), '/etc/data/big': pad(port_cfg(), 5000)}),
    FAIL('later file over 4096 bytes', up + '/etc/sysconfig/network larger than 4096 bytes\n', changed=PORT_DONE,
         files={NET: pad(net_cfg(), 9000)}),
    # Each failure of the interface files: message, status, files changed.
    FAIL('port config missing', up + f'open() failed: {ENOENT}\n', files={PORT: None}),
    FAIL('port config a dangling link', up + f'open() failed: {ENOENT}\n', files={PORT: F(link='/etc/data/gone')}),
    FAIL('port config a directory', up + f'open() failed: {EISDIR}\n', files={PORT: F(dir=True)}),
    FAIL('port config read fails', up + f'read() failed: {EIO}\n', pre=EIO_READ.format(f=PORT)),
    FAIL('ip_addr absent', ui + 'ip_addr not found...\n', files={PORT: port_cfg().replace('ip_addr', 'ipaddr')}),
    FAIL('subnet absent: ip_addr patch dropped too', ui + 'subnet not found...\n', files={PORT: port_cfg().replace('subnet', 'mask')}),
    FAIL('network missing', up + f'open() failed: {ENOENT}\n', changed=PORT_DONE, files={NET: None}),
    FAIL('GATEWAY0 absent', ui + 'GATEWAY0 not found...\n', changed=PORT_DONE, files={NET: 'GATEWAY=1\n'}),
    FAIL('ifcfg-eth0 missing', up + f'open() failed: {ENOENT}\n', changed=NET_DONE, files={IFCFG: None}),
    *[FAIL(f'{k} absent', ui + f'{k} not found...\n', changed=NET_DONE, files={IFCFG: if_cfg().replace(k + '=', 'X=')})
      for k in ('IPADDR', 'NETMASK', 'BROADCAST', 'NETWORK')],
    FAIL('network read fails', up + f'read() failed: {EIO}\n', changed=PORT_DONE, pre=EIO_READ.format(f=NET)),
    # The store: the original stays whole and no temporary file is left.
    FAIL('directory read-only at the load', up + f'open() failed: {EROFS}\n', pre=RO_DIR.format(d='/etc/stacfg')),
    FAIL('temporary file cannot be created', up + f'open() failed: {EROFS}\n', changed=PORT_DONE,
         pre=RO_DIR_RW_FILE.format(d='/etc/sysconfig', f=NET)),
    FAIL('rename fails', up + f'write() failed: {EBUSY}\n', changed=PORT_DONE, pre=BUSY.format(f=NET)),
    FAIL('rename of the first file fails', up + f'write() failed: {EBUSY}\n', pre=BUSY.format(f=PORT)),
    # Normal mode, DHCP: one byte in place, nothing else opened.
    DHCP('use_dhcp 1: n becomes y'),
    *[DHCP(f'use_dhcp {v!r} requests DHCP', v) for v in ('01', '+1', '1x', ' 1', '1 ')],
    DHCP('only the first value byte', before='use_dhcp=no\n', after='use_dhcp=yo\n'),
    DHCP('already y', before='use_dhcp=y\n', after='use_dhcp=y\n'),
    DHCP('any separator byte', before='use_dhcp:0\n', after='use_dhcp:y\n'),
    C('file ends with the key', env=dict(use_dhcp='1'), files={PORT: 'a=1\nuse_dhcp'}, out=UPDATED, flash='cleared'),
    C('file ends with the key and its separator', env=dict(use_dhcp='1'), files={PORT: 'a=1\nuse_dhcp='}, out=UPDATED, flash='cleared'),
    C('value byte just past 4096 bytes', env=dict(use_dhcp='1'), files={PORT: pad('', 4087) + 'use_dhcp=n\nrest\n'},
      out=UPDATED, flash='cleared'),
    C('value byte at offset 4095', env=dict(use_dhcp='1'), files={PORT: pad('', 4086) + 'use_dhcp=n\nrest\n'},
      out=UPDATED, flash='cleared', changed={PORT: pad('', 4086) + 'use_dhcp=y\nrest\n'}),
    C('file over 4096 bytes patched in place, tail kept', env=dict(use_dhcp='1'), files={PORT: pad(port_cfg(), 6000)},
      out=UPDATED, flash='cleared', changed={PORT: pad(port_cfg(dhcp='y'), 6000)}),
    C('DHCP through a link', env=dict(use_dhcp='1'), files={PORT: F(link='/etc/data/p'), '/etc/data/p': port_cfg()},
      out=UPDATED, flash='cleared', changed={'/etc/data/p': port_cfg(dhcp='y')}),
    FAIL('DHCP: key only past 4096 bytes', up + 'use_dhcp not found...\n', env=dict(use_dhcp='1'),
         files={PORT: pad('', 4096) + 'use_dhcp=n\n'}),
    FAIL('DHCP: no use_dhcp', up + 'use_dhcp not found...\n', env=dict(use_dhcp='1'), files={PORT: 'ip_addr=1\n'}),
    FAIL('DHCP: port config missing', up + f'open() failed: {ENOENT}\n', env=dict(use_dhcp='1'), files={PORT: None}),
    FAIL('DHCP: read fails', up + f'read() failed: {EIO}\n', env=dict(use_dhcp='1'), pre=EIO_READ.format(f=PORT)),
    # Injection: refused before anything is written or run, in both modes.
    FAIL('ipaddr with ";"', up + 'ipaddr' + BAD, env=dict(ipaddr=BAD_IP)),
    FAIL('gatewayip with "$(...)"', up + 'gatewayip' + BAD, env=dict(gatewayip=BAD_GW)),
    FAIL('netmask with a newline', up + 'netmask' + BAD, env=dict(netmask=BAD_MASK)),
    FAIL('ipaddr with a blank', up + 'ipaddr' + BAD, env=dict(ipaddr='1.2.3.4 5')),
    FAIL('checked in the order ipaddr, netmask, gatewayip', up + 'ipaddr' + BAD, env=dict(ipaddr='a/b', netmask='m=1', gatewayip='`id`')),
    FAIL('netmask before gatewayip', up + 'netmask' + BAD, env=dict(netmask='m=1', gatewayip='`id`')),
    FAIL('checked before the DHCP rule', up + 'ipaddr' + BAD, env=dict(ipaddr=BAD_IP, use_dhcp='1')),
    MSFAIL('-m: ipaddr with ";"', ums + 'ipaddr' + BAD, env=dict(ipaddr=BAD_IP)),
    MSFAIL('-m: gatewayip with "$(...)"', ums + 'gatewayip' + BAD, env=dict(gatewayip=BAD_GW)),
    MSFAIL('-m: netmask with a newline', ums + 'netmask' + BAD, env=dict(netmask=BAD_MASK)),
    MSFAIL('-m: gatewayip with a blank', ums + 'gatewayip' + BAD, env=dict(gatewayip='1.1.1.1 ipv6')),
    # Switch mode: configuration, command lines, programs.
    SWITCH('switch /24, command line before the programs\' output'),
    SWITCH('mask /32', '10.1.2.3', '255.255.255.255', 32, '10.1.2.3'),
    SWITCH('mask 0.0.0.0', '10.1.2.3', '0.0.0.0', 0, '255.255.255.255'),
    SWITCH('mask 128.0.0.0', '10.1.2.3', '128.0.0.0', 1, '127.255.255.255'),
    SWITCH('mask 255.255.254.0', '10.1.2.3', '255.255.254.0', 23, '10.1.3.255'),
    SWITCH('non-contiguous 255.0.255.0', '10.1.2.3', '255.0.255.0', 8, '10.255.2.255'),
    SWITCH('invalid mask: /32', '10.1.2.3', 'bogus', 32, '10.1.2.3'),
    SWITCH('gatewayip absent: none', gw=None, gwtext='none'),
    SWITCH('gatewayip empty: none', gw='', gwtext='none'),
    SWITCH('DHCP requested: dhcp 1', dhcp='1', d='1'),
    SWITCH('use_dhcp yes: dhcp 0', dhcp='yes', d='0'),
    SWITCH('extra arguments ignored', args=('-m', '-t', 'x')),
    SWITCH('programs run without the environment lock', fakes=dict(LOCK='/dev/mtd1')),
    SWITCH('clearing waits for the environment lock', fakes=dict(CONFIGNW='hold /dev/mtd1'), ops=['lock released'] + COMMIT_OPS['m1']),
    SWITCH('main.config link, mode and owner', files={MAIN: F(link='/etc/data/m'), '/etc/data/m': F(sw_cfg(), 0o604, 11, 12)},
           changed={'/etc/data/m': SW_DONE[MAIN]}),
    C('-m: dhcpcd.exe absent', ('-m',), files={DHCPCD: None}, changed=SW_DONE, flash='cleared', ran=[SW_RAN],
      out=f'{MS}{SW_LINE}\nconfignw: running\n{UPDATED}'),
    C('-m: dhcpcd.exe not executable', ('-m',), files={DHCPCD: F(FAKE_TEXT, 0o644)}, changed=SW_DONE, flash='cleared',
      ran=[SW_RAN], out=f'{MS}{SW_LINE}\nconfignw: running\n{UPDATED}'),
    *[C(f'-m: confignw {how}', ('-m',), fakes=dict(CONFIGNW=how), status=1, changed=SW_DONE, ran=[SW_RAN],
        out=f'{MS}{SW_LINE}\nconfignw: running\n{MS_FAILED}') for how in ('exit 1', 'exit 255', 'kill TERM', 'kill KILL')],
    C('-m: confignw missing', ('-m',), files={CONFIGNW: None}, status=1, changed=SW_DONE,
      out=f'{MS}{SW_LINE}\n{MS_FAILED}', err=re.compile(r'.*/usr/local/bin/confignw: (\S+ )?not found\n')),
    *[C(f'-m: dhcpcd.exe {how}', ('-m',), fakes=dict(DHCPCD_EXE=how), status=1, changed=SW_DONE, ran=[SW_RAN, 'dhcpcd.exe na down'],
        out=f'{MS}{SW_LINE}\nconfignw: running\n{DHCPCD_RUN}{MS_FAILED}') for how in ('exit 3', 'kill TERM')],
    MSFAIL('-m: main.config missing', upm + f'open() failed: {ENOENT}\n', files={MAIN: None}),
    MSFAIL('-m: main.config read fails', upm + f'read() failed: {EIO}\n', pre=EIO_READ.format(f=MAIN)),
    *[MSFAIL(f'-m: main.config without {k}', ui + f'{k} not found...\n', files={MAIN: sw_cfg().replace(k + '=', 'x=')})
      for k in ('ip_address', 'prefixlen', 'gateway', 'use_dhcp')],
    MSFAIL('-m: old gateway of 20 bytes', ui + 'gateway invalid size...\n', files={MAIN: sw_cfg(gw='1' * 20)}),
    MSFAIL('-m: main.config over 4096 bytes', upm + '/etc/switch/main.config larger than 4096 bytes\n',
           files={MAIN: pad(sw_cfg(), 4097)}),
    MSFAIL('-m: patch past 4096 bytes', ui + 'ip_address too long...\n', files={MAIN: pad(sw_cfg(), 4093)}),
    SWITCH('patch to exactly 4096 bytes', files={MAIN: pad(sw_cfg(), 4088)},
           changed={MAIN: pad(sw_cfg('192.168.1.20', '24', '192.168.1.1'), 4096)}),
    MSFAIL('-m: rename fails', upm + f'write() failed: {EBUSY}\n', pre=BUSY.format(f=MAIN)),
    MSFAIL('-m: temporary file cannot be created', upm + f'open() failed: {EROFS}\n',
           pre=RO_DIR_RW_FILE.format(d='/etc/switch', f=MAIN)),
    # Test mode: shows, changes nothing.
    C('-t shows the values', ('-t',)),
    C('-t with extra arguments', ('-t', '-m', 'x')),
    C('-t shows an injection attempt and runs nothing', ('-t',), env=dict(ipaddr=BAD_IP, gatewayip=BAD_GW)),
    C('-t with netmask absent', ('-t',), env=dict(netmask=None), status=1, err='netset: netmask not found...\n'),
    # The four values: missing ones end the command before anything changes.
    C('netmask absent', env=dict(netmask=None), status=1, err='netset: netmask not found...\n'),
    C('gatewayip and netmask absent', env=dict(gatewayip=None, netmask=None), status=1, err='netset: netmask not found...\n'),
    C('ipaddr absent', env=dict(ipaddr=None), status=1, err='netset: ipaddr not found...\n'),
    C('use_dhcp absent', env=dict(use_dhcp=None), status=1, err='netset: use_dhcp not found...\n'),
    C('-m: use_dhcp absent', ('-m',), env=dict(use_dhcp=None), status=1, err='netset: use_dhcp not found...\n'),
    # The request: only exactly "1" counts; no usable environment is no request.
    *[C(f'{mode or "normal"}: use_net_settings {v!r} does nothing', (mode,) if mode else (), env=dict(use_net_settings=v), echo=False)
      for v in ('0', '11', '01', '1 ', ' 1', '', None, 'y') for mode in ('', '-m')],
    C('-t: use_net_settings 0 shows nothing', ('-t',), env=dict(use_net_settings='0'), echo=False),
    C('both copies damaged', seed='bad', echo=False),
    C('-m: both copies damaged', ('-m',), seed='bad', echo=False),
    C('no /dev/mtd1', seed='nodev', echo=False, err='read_uboot_env: Could not open env flash device...\n'),
    # Clearing the request fails after the files were changed.
    C('load at the clearing step fails (mtd1)', sim=dict(FAIL_OPEN='mtd1:3:EIO'), status=1, changed=ALL_DONE,
      out=NOT_UPDATED, err='read_uboot_env: Could not open env flash device...\n'),
    C('load at the clearing step fails (mtd2)', sim=dict(FAIL_OPEN='mtd2:3:EACCES'), status=1, changed=ALL_DONE,
      out=NOT_UPDATED, err='read_uboot_env: Could not open env2 flash device...\n'),
    C('read at the clearing step fails', sim=dict(FAIL_READ='mtd1:3:EIO'), status=1, changed=ALL_DONE,
      out=NOT_UPDATED, err=f'read_uboot_env: read(env1) failed: {EIO}\n'),
    C('-m: load at the clearing step fails', ('-m',), sim=dict(FAIL_OPEN='mtd1:3:EIO'), status=1, changed=SW_DONE,
      ran=[SW_RAN, 'dhcpcd.exe na down'], out=f'{MS}{SW_LINE}\nconfignw: running\n{DHCPCD_RUN}{NOT_UPDATED}',
      err='read_uboot_env: Could not open env flash device...\n'),
    C('commit: new copy cannot be opened', sim=dict(FAIL_OPEN='mtd2:4:EIO'), status=1, changed=ALL_DONE,
      out=NOT_UPDATED, err='set_uboot_env_var: Could not open env flash device...\n'),
    C('commit: erase fails', sim=dict(FAIL_IOCTL='ERASE:EIO'), status=1, changed=ALL_DONE, out=NOT_UPDATED,
      ops=['erase mtd2 0 65536'], err=f'ubootenv: ioctl() MEMERASE failed: {EIO}\nmgr: Failed to erase env sector...\n'),
    C('commit: new copy not written', sim=dict(FAIL_WRITE='mtd2:1'), status=1, changed=ALL_DONE, flash='erased',
      out=NOT_UPDATED, ops=COMMIT_OPS['m1'][:2], err=f'write() failed: {EIO}\nFailed to write new env sector...\n'),
    C('commit: old flag not written', sim=dict(FAIL_WRITE='mtd1:1'), status=1, changed=ALL_DONE, flash='new',
      out=NOT_UPDATED, ops=COMMIT_OPS['m1'], err=f'write() failed: {EIO}\nFailed to write old env flag...\n'),
    C('commit: old copy cannot be opened', sim=dict(FAIL_OPEN='mtd1:4:EIO'), status=1, changed=ALL_DONE, flash='new',
      out=NOT_UPDATED, err='set_uboot_env_var: Could not open old env flash device...\n'),
]


def env_entries(over):
    """ENV with the case's changes (None removes), new names appended."""
    env = dict(ENV)
    env.update(over or {})
    return [(k, v) for k, v in env.items() if v is not None]


def echo(env):
    """The lines load_net_settings writes for these values (up to the first
    missing one)."""
    d = dict(env)
    lines = ['gateway ip: ' + d['gatewayip'] if 'gatewayip' in d else 'gateway ip: not found']
    for key, label in (('netmask', 'netmask'), ('ipaddr', 'ipaddr'), ('use_dhcp', 'use_dhcp')):
        if key not in d:
            break
        lines.append(f'{label}: {d[key]}')
    return ''.join(line + '\n' for line in lines)


def clear(path):
    if os.path.islink(path) or os.path.isfile(path):
        os.unlink(path)
    elif os.path.isdir(path):
        shutil.rmtree(path)


def seed_files(over):
    for root in ROOTS:
        clear(root)
    files = dict(FILES)
    files.update(over or {})
    for path, f in files.items():
        if f is None:
            continue
        f = f if isinstance(f, F) else F(f)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if f.dir:
            os.mkdir(path)
        elif f.link:
            os.symlink(f.link, path)
        else:
            with open(path, 'w', encoding='latin-1') as out:
                out.write(f.text)
            os.chown(path, f.uid, f.gid)
            os.chmod(path, f.mode)


def snapshot():
    """Every entry below the device's directories: (kind, content or link
    target, mode, owner)."""
    snap = {}
    for root in ROOTS:
        tree = os.walk(root) if os.path.isdir(root) else [(os.path.dirname(root), [], [os.path.basename(root)])]
        for top, dirs, names in tree:
            for name in names + [d for d in dirs if os.path.islink(os.path.join(top, d))]:
                p = os.path.join(top, name)
                if not os.path.lexists(p):
                    continue
                st = os.lstat(p)
                if os.path.islink(p):
                    snap[p] = ('link', os.readlink(p))
                else:
                    snap[p] = ('file', h.slurp(p), oct(st.st_mode), st.st_uid, st.st_gid)
    return snap


def spawn(args, sim, pre, fakes):
    """The binary with the simulator, as the harness starts it; with pre,
    inside a private mount namespace after those shell commands."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(('FLASHSIM', 'FAKE_'))}
    env.update({'FLASHSIM_' + k: str(v) for k, v in (sim or {}).items()}, FLASHSIM_LOG=h.LOG, FAKE_LOG=RAN)
    env.update({'FAKE_' + k: v for k, v in (fakes or {}).items()})
    if h.EMU:
        env['QEMU_SET_ENV'] = 'LD_PRELOAD=' + h.PRELOAD
    else:
        env['LD_PRELOAD'] = h.PRELOAD
    cmd = h.EMU + [h.PEL] + list(args)
    if pre:
        cmd = ['unshare', '--mount', '--propagation', 'private', '--', '/bin/sh', '-ec',
               pre + '\nexec "$@"', 'sh'] + cmd
    try:
        return subprocess.run(cmd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=60)
    except subprocess.TimeoutExpired as e:  # e.g. waiting for a lock it holds itself
        return subprocess.CompletedProcess(cmd, 'timeout after 60 s', e.stdout or b'', e.stderr or b'')


def scenario(c):
    env = env_entries(c['env'])
    entries = [f'{k}={v}' for k, v in env]
    m1, m2 = {'m1': (h.image(entries), h.image(OLD, flag=0)), 'm2': (h.image(OLD, flag=0), h.image(entries)),
              'bad': (h.image(entries, bad_crc=True), h.image(entries, bad_crc=True)),
              'nodev': (None, h.image(entries))}[c['seed']]
    h.seed(m1, m2)
    seed_files(c['files'])
    before = snapshot()
    for p in (h.LOG, RAN, PWNED):
        if os.path.lexists(p):
            os.unlink(p)
    p = spawn(c['args'], c['sim'], c['pre'], c['fakes'])
    out, err = p.stdout.decode('latin-1'), p.stderr.decode('latin-1')
    if os.path.exists(h.DEVS[0]):  # a lock holder left behind by a fake has finished
        with open(h.DEVS[0], 'rb') as dev:
            fcntl.flock(dev, fcntl.LOCK_EX)

    want_out = (echo(env) if c['echo'] else '') + c['out']
    cleared = [e for e in entries if not e.startswith('use_net_settings=')] + ['use_net_settings=0']
    old, new = (m1, m2) if c['seed'] != 'm2' else (m2, m1)
    want_old, want_new = {'kept': lambda: (old, new), 'erased': lambda: (old, b'\xff' * len(new)),
                          'new': lambda: (old, h.committed(new, cleared)),
                          'cleared': lambda: (h.flagged(old, 0), h.committed(new, cleared))}[c['flash']]()
    want_m = (want_old, want_new) if c['seed'] != 'm2' else (want_new, want_old)
    ops = c['ops'] if c['ops'] is not None else {'kept': [], 'new': COMMIT_OPS['m1'][:2],
                                                 'cleared': COMMIT_OPS.get(c['seed'])}[c['flash']]
    want_files = dict(before)
    for path, text in (c['changed'] or {}).items():
        want_files[path] = ('file', text.encode('latin-1')) + before[path][2:]
    log = h.slurp(h.LOG)
    ran = h.slurp(RAN)

    problems = [h.diff(label, got, exp) for label, got, exp in (
        ('status', p.returncode, c['status']), ('stdout', out, want_out),
        ('mtd1', h.slurp(h.DEVS[0]), want_m[0]), ('mtd2', h.slurp(h.DEVS[1]), want_m[1]),
        ('op log', log.decode().splitlines() if log else [], ops),
        ('programs run', ran.decode('latin-1').splitlines() if ran else [], list(c['ran'])))]
    if isinstance(c['err'], re.Pattern):
        problems.append(None if c['err'].fullmatch(err) else f'stderr: got {err!r}, want /{c["err"].pattern}/')
    else:
        problems.append(h.diff('stderr', err, c['err']))
    after = snapshot()
    for path in sorted(set(after) | set(want_files)):
        problems.append(h.diff(path, after.get(path), want_files.get(path)))
    if os.path.lexists(PWNED):
        problems.append(PWNED + ' was created')
        os.unlink(PWNED)
    h.report(c['name'] + ': pelvanor ' + ' '.join(map(repr, c['args'])), [x for x in problems if x])


def main():
    names = [c['name'] for c in CASES]
    dup = {n for n in names if names.count(n) > 1}
    assert not dup, dup
    only = sys.argv[1:]
    for c in CASES:
        if not only or any(o in c['name'] for o in only):
            scenario(c)
    h.finish()


if __name__ == '__main__':
    main()
