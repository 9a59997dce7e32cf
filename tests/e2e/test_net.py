#!/usr/bin/env python3
"""The network apply command (no argument, -t, -m) in the sandbox with the device's files, fakes of its programs
and the flash simulator, one row per case. Each run is compared whole: status, stdout, stderr, every device file
(bytes, mode, owner, link or not, none left over), the op log and both partitions (cleared exactly after success)."""
import itertools, os, pathlib, re, subprocess

import harness as h  # next to this script

FAKE = (pathlib.Path(__file__).with_name('fake_program.sh').read_text(), 0o755, 0, 0)
PORT, NET, IFCFG = '/etc/stacfg/porteth0.config', '/etc/sysconfig/network', '/etc/sysconfig/netscripts/ifcfg-eth0'
MAIN, CONFIGNW, DHCPCD = '/etc/switch/main.config', '/usr/local/bin/confignw', '/etc/dhcpc/dhcpcd.exe'
DIRS, PWNED = ('/etc/stacfg', '/etc/sysconfig', '/etc/switch', '/etc/dhcpc', '/etc/data'), '/tmp/pwned'


def port(ip='10.0.0.2', mask='255.0.0.0', dhcp='n'): return f'#\nip_addr={ip}\nsubnet={mask}\nuse_dhcp={dhcp}\nspeed=9\n'
def net(gw='10.0.0.1'): return f'NETWORKING=yes\nGATEWAY0={gw}\nHOSTNAME=unit7\n'
def ifcfg(ip='1', mask='2', bc='3', nw='4'): return f'IPADDR={ip}\nNETMASK={mask}\nBROADCAST={bc}\nNETWORK={nw}\nONBOOT=yes\n'
def sw(ip='10.0.0.2', pl=8, gw='1', d='0'): return f'ip_address={ip}\nprefixlen={pl}\ngateway={gw}\nuse_dhcp={d}\nmtu=1\n'
def pad(text, size): return text + '#' * (size - len(text) - 1) + '\n'  # text grown to size bytes
def runs(*cmds): return ''.join(f'{c}\nran {c}\n' for c in cmds)  # command lines and the fakes' output
def confignw(ip, pl, bc, d, gw): return f'{CONFIGNW} ip {ip} prefixlen {pl} broadcast {bc} dhcp {d} gateway {gw} ipv4'


# Files: text (mode 644, root), (text, mode, uid, gid), "-> target" (a symbolic link) or None (absent).
FILES = {PORT: port(), NET: net(), IFCFG: ifcfg(), MAIN: sw(), CONFIGNW: FAKE, DHCPCD: FAKE}
A, BC, DOWN = ('192.168.1.20', '255.255.255.0'), ('192.168.1.255', '192.168.1.0'), '/etc/dhcpc/dhcpcd.exe na down'
ENV = dict(bootcmd='boot', use_net_settings='1', gatewayip='192.168.1.1', netmask=A[1], ipaddr=A[0], use_dhcp='0')
OLD, COMMIT = ['use_net_settings=0', 'ipaddr=10.9.9.8'], ['erase mtd2 0 65536', 'write mtd2 0 8192', 'write mtd1 4 1']
UPDATED, NOT_UPDATED = 'Network settings updated...\n', 'Network settings not updated...\n'
MS, MS_FAILED, DHCP = 'update_files_ms()\n', 'update_files_ms failed\n', dict(use_dhcp='1')
ALL_DONE = {PORT: port(*A), NET: net('192.168.1.1'), IFCFG: ifcfg(*A, *BC)}
def upto(p): return dict(list(ALL_DONE.items())[:list(ALL_DONE).index(p)])  # patched before p is reached
SW_CMD, SW_DONE = confignw(A[0], 24, BC[0], 0, '192.168.1.1'), {MAIN: sw(A[0], 24, '192.168.1.1')}
up, upm, ui = 'netset update_files: ', 'netset update_main_config: ', 'netset update_item: '
BAD, NO_LOAD = ' holds a character that is not allowed\n', 'read_uboot_env: Could not open env flash device...\n'
NO_OPEN = dict(FLASHSIM_FAIL_OPEN='mtd1:3:EIO')  # the load at the clearing step (the third open of mtd1) fails
ENOENT, EROFS, EBUSY, EIO = 'No such file or directory', 'Read-only file system', 'Device or resource busy', 'Input/output error'
INJECT = dict(ipaddr='1.2.3.4;touch /tmp/pwned', gatewayip='$(touch /tmp/pwned)', netmask='255.255.255.0\ntouch /tmp/pwned')
# Masks: (mask, prefix length, broadcast and network of 10.1.2.3).
MASKS = [('255.255.0.0', 16, '10.1.255.255', '10.1.0.0'), ('255.255.254.0', 23, '10.1.3.255', '10.1.2.0'),
         ('255.255.255.255', 32, '10.1.2.3', '10.1.2.3'), ('0.0.0.0', 0, '255.255.255.255', '0.0.0.0'),
         ('255.0.255.0', 8, '10.255.2.255', '10.0.2.0'), ('bogus', 32, '10.1.2.3', '10.1.2.3')]
# Run in the binary's own mount namespace just before it: the directory read-only but the file writable (no
# temporary file); the file a mount point (rename fails); reads that fail (own memory at 0); the lock held 1 s.
RO_DIR = 'mount --bind {0} {0}; mount -o remount,bind,ro {0}; mount --bind {1} {1}; mount -o remount,bind,rw {1}'
BUSY, EIO_READ = 'mount --bind {0} {0}', 'mount --bind /proc/$$/mem {0}'
HOLD = 'flock /dev/mtd1 sh -c "sleep 1; echo lock released >>$FLASHSIM_LOG" & while flock -n /dev/mtd1 true; do :; done'


def C(name, args='', out=UPDATED, err='', env={}, files={}, changed={}, settings={}, pre='', ops=None):
    """env/files: changes to ENV/FILES (None removes); out: stdout after the echoed values; changed: new texts
    of files (of their targets if links), all others unchanged; settings: FLASHSIM_* and FAKE_* variables."""
    return dict(locals())


def FAIL(name, err, out='', **kw): return C(name, '', out, err, **kw)
def MSFAIL(name, err, **kw): return C('-m: ' + name, '-m', MS + MS_FAILED, err, **kw)
def MSRUN(name, out, **kw): return C('-m: ' + name, '-m', MS + out, changed=SW_DONE, **kw)


def static(name, ip=A[0], mask=A[1], bc=BC[0], nw=BC[1], gw='192.168.1.1', dhcp='0', **kw):
    changed = {PORT: port(ip, mask), NET: net(gw or ''), IFCFG: ifcfg(ip, mask, bc, nw)}
    return C(name, env=dict(ipaddr=ip, netmask=mask, gatewayip=gw, use_dhcp=dhcp), changed=changed, **kw)


def switch(name, ip=A[0], mask=A[1], pl=24, bc=BC[0], gw='192.168.1.1', dhcp='0', d='0', **kw):
    return C('-m: ' + name, '-m', MS + runs(confignw(ip, pl, bc, d, gw or 'none'), DOWN) + UPDATED,
             env=dict(ipaddr=ip, netmask=mask, gatewayip=gw, use_dhcp=dhcp), changed={MAIN: sw(ip, pl, gw or 'none', d)}, **kw)


CASES = [
    static('/24'), *[static(f'mask {m}', '10.1.2.3', m, bc, nw) for m, pl, bc, nw in MASKS],
    static('gatewayip absent: GATEWAY0 emptied', gw=None), *[static(f'use_dhcp {v!r}', dhcp=v) for v in ('', 'yes', '2')],
    static('link, mode, owner', files={PORT: '-> ../data/p', '/etc/data/p': (port(), 0o600, 3, 4), NET: (net(), 0o640, 5, 6)}),
    C('file of 4096 bytes', files={PORT: pad(port(*A[::-1]), 4096)}, changed={**ALL_DONE, PORT: pad(port(*A), 4096)}),
    FAIL('patch past 4096 bytes', ui + 'subnet too long...\n', files={PORT: pad(port(), 4089)}),
    FAIL('file of 4097 bytes', up + PORT + ' larger than 4096 bytes\n', files={PORT: pad(port(), 4097)}),
    FAIL('old value of 20 bytes', ui + 'ip_addr invalid size...\n', files={PORT: port('1' * 20)}),
    *[FAIL(f'{p} absent', up + f'open() failed: {ENOENT}\n', files={p: None}, changed=upto(p)) for p in ALL_DONE],
    *[FAIL(f'{k} absent', ui + f'{k} not found...\n', files={p: FILES[p].replace(k + '=', 'x=')}, changed=upto(p))
      for p, keys in ((PORT, 'ip_addr subnet'), (NET, 'GATEWAY0'), (IFCFG, 'IPADDR NETMASK BROADCAST NETWORK'))
      for k in keys.split()],
    FAIL('read fails', up + f'read() failed: {EIO}\n', pre=EIO_READ.format(PORT)),
    FAIL('no temporary file', up + f'open() failed: {EROFS}\n', pre=RO_DIR.format('/etc/sysconfig', NET), changed=upto(NET)),
    FAIL('rename fails', up + f'write() failed: {EBUSY}\n', pre=BUSY.format(PORT)),
    # DHCP: the first value byte becomes "y" in place; the other files are absent, so touching them would fail.
    *[C(f'DHCP, use_dhcp {v!r}', env=dict(use_dhcp=v), files={NET: None, IFCFG: None}, changed={PORT: port(dhcp='y')})
      for v in ('1', ' 1')],
    C('DHCP, 6000 bytes', env=DHCP, files={PORT: pad(port(dhcp='no'), 6000)}, changed={PORT: pad(port(dhcp='yo'), 6000)}),
    C('DHCP, value byte past 4096 bytes', env=DHCP, files={PORT: pad('', 4087) + 'use_dhcp=n\nrest\n'}),
    FAIL('DHCP, no use_dhcp', up + 'use_dhcp not found...\n', env=DHCP, files={PORT: 'ip_addr=1\n'}),
    FAIL('DHCP, port config absent', up + f'open() failed: {ENOENT}\n', env=DHCP, files={PORT: None}),
    # Injection: refused before anything is written or run, in both modes; -t only shows.
    *[FAIL(f'{k} {v!r}', up + k + BAD, env={k: v}) for k, v in INJECT.items()],
    *[MSFAIL(f'{k} {v!r}', 'netset update_files_ms: ' + k + BAD, env={k: v}) for k, v in INJECT.items()],
    FAIL('ipaddr checked first', up + 'ipaddr' + BAD, env=dict(ipaddr='a/b', netmask='m=1', gatewayip='`id`')),
    FAIL('netmask before gatewayip, DHCP', up + 'netmask' + BAD, env=dict(netmask='m=1', gatewayip='`id`', use_dhcp='1')),
    C('-t shows an injection attempt', '-t', '', env=INJECT),
    switch('/24'), *[switch(f'mask {m}', '10.1.2.3', m, pl, bc) for m, pl, bc, nw in MASKS],
    *[switch(f'gatewayip {gw!r}: none', gw=gw) for gw in (None, '')],
    *[switch(f'use_dhcp {v!r}', dhcp=v, d=d) for v, d in (('1', '1'), ('yes', '0'))],
    switch('link, mode and owner', files={MAIN: '-> /etc/data/m', '/etc/data/m': (sw(), 0o604, 11, 12)}),
    switch('programs run without the lock', settings=dict(FAKE_LOCK='/dev/mtd1')),
    switch('clearing waits for the lock', pre=HOLD, ops=['lock released'] + COMMIT),
    *[MSRUN(f'confignw {how}', runs(SW_CMD) + MS_FAILED, settings=dict(FAKE_CONFIGNW=how)) for how in ('exit 1', 'kill TERM')],
    MSRUN('dhcpcd.exe exit 3', runs(SW_CMD, DOWN) + MS_FAILED, settings=dict(FAKE_DHCPCD_EXE='exit 3')),
    MSRUN('dhcpcd.exe absent', runs(SW_CMD) + UPDATED, files={DHCPCD: None}),
    MSRUN('dhcpcd.exe not executable', runs(SW_CMD) + UPDATED, files={DHCPCD: (FAKE[0], 0o644, 0, 0)}),
    MSRUN('confignw absent', f'{SW_CMD}\n{MS_FAILED}', err=re.compile(r'.*/usr/local/bin/confignw: (\S+ )?not found\n'),
          files={CONFIGNW: None}),
    *[MSFAIL(f'main.config without {k}', ui + f'{k} not found...\n', files={MAIN: sw().replace(k + '=', 'x=')})
      for k in ('ip_address', 'prefixlen', 'gateway', 'use_dhcp')],
    MSFAIL('main.config absent', upm + f'open() failed: {ENOENT}\n', files={MAIN: None}),
    MSFAIL('main.config of 4097 bytes', upm + MAIN + ' larger than 4096 bytes\n', files={MAIN: pad(sw(), 4097)}),
    MSFAIL('no temporary file', upm + f'open() failed: {EROFS}\n', pre=RO_DIR.format('/etc/switch', MAIN)),
    # Test mode, missing values, no request, clearing the request fails.
    C('-t', '-t', ''),
    FAIL('gatewayip and netmask absent', 'netset: netmask not found...\n', env=dict(gatewayip=None, netmask=None)),
    C('-m: use_dhcp absent', '-m', '', 'netset: use_dhcp not found...\n', env=dict(use_dhcp=None)),
    *[C(f'{a or "normal"}: use_net_settings {v!r}', a, '', env=dict(use_net_settings=v))
      for v in ('0', '11', ' 1', '', None) for a in ('', '-m', '-t')],
    FAIL('load fails at the clearing step', NO_LOAD, NOT_UPDATED, settings=NO_OPEN, changed=ALL_DONE),
    MSRUN('load fails at the clearing step', runs(SW_CMD, DOWN) + NOT_UPDATED, err=NO_LOAD, settings=NO_OPEN),
    FAIL('commit fails', f'ubootenv: ioctl() MEMERASE failed: {EIO}\nmgr: Failed to erase env sector...\n', NOT_UPDATED,
         settings=dict(FLASHSIM_FAIL_IOCTL='ERASE:EIO'), changed=ALL_DONE, ops=COMMIT[:1]),
]


def snapshot():  # every file and link below DIRS, and confignw: text or target, mode, owner
    paths = [os.path.join(top, n) for d in DIRS for top, _, names in os.walk(d) for n in names] + [CONFIGNW]
    return {p: ('link', os.readlink(p)) if os.path.islink(p) else
            ('file', h.slurp(p), oct((s := os.lstat(p)).st_mode), s.st_uid, s.st_gid) for p in paths if os.path.lexists(p)}


def scenario(name, args, out, err, env, files, changed, settings, pre, ops):
    env = {**ENV, **env}
    entries = [f'{k}={v}' for k, v in env.items() if v is not None]
    h.seed(h.image(entries), h.image(OLD, flag=0))
    subprocess.run(['rm', '-rf', *DIRS, CONFIGNW, h.LOG, PWNED], check=True)
    for path, f in {**FILES, **files}.items():
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if isinstance(f, str) and f.startswith('-> '):
            os.symlink(f[3:], path)
        elif f is not None:
            text, mode, uid, gid = (f, 0o644, 0, 0) if isinstance(f, str) else f
            pathlib.Path(path).write_text(text, 'latin-1')
            os.chown(path, uid, gid)
            os.chmod(path, mode)
    before = snapshot()
    run_env = {k: v for k, v in os.environ.items() if not k.startswith(('FLASHSIM', 'FAKE_'))} | settings
    run_env |= {'FLASHSIM_LOG': h.LOG, **({'QEMU_SET_ENV': 'LD_PRELOAD=' + h.PRELOAD} if h.EMU else {'LD_PRELOAD': h.PRELOAD})}
    r = subprocess.run(['unshare', '--mount', '--propagation', 'private', '--', '/bin/sh', '-ec', pre + '\nexec "$@"', 'sh',
                        *h.EMU, h.PEL, *args.split()], env=run_env, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)

    shown = ['gatewayip', *itertools.takewhile(lambda k: env[k] is not None, ('netmask', 'ipaddr', 'use_dhcp'))]
    echo = ''.join(f'{k.replace("gatewayip", "gateway ip")}: {"not found" if env[k] is None else env[k]}\n' for k in shown)
    done, old, got_err = out.endswith(UPDATED), h.image(OLD, flag=0), r.stderr.decode('latin-1')
    cleared = [e for e in entries if not e.startswith('use_net_settings=')] + ['use_net_settings=0']
    new = {os.path.realpath(p): t.encode('latin-1') for p, t in changed.items()}  # links: their targets change
    want = before | {p: ('file', t, *before[p][2:]) for p, t in new.items()}
    want |= {'status': 1 if err or out.endswith(('failed\n', 'not updated...\n')) else 0, 'stderr': err, 'pwned': False,
             'stdout': (echo if env['use_net_settings'] == '1' else '') + out, '/dev/mtd1': h.image(entries, flag=int(not done)),
             'op log': (COMMIT if done else []) if ops is None else ops, '/dev/mtd2': h.committed(old, cleared) if done else old}
    got = snapshot() | {'status': r.returncode, 'stdout': r.stdout.decode('latin-1'), 'pwned': os.path.lexists(PWNED),
                        'stderr': err if isinstance(err, re.Pattern) and err.fullmatch(got_err) else got_err,
                        'op log': (h.slurp(h.LOG) or b'').decode().splitlines(), **dict(zip(h.DEVS, map(h.slurp, h.DEVS)))}
    h.report(f'{name}: pelvanor {args}', [d for k in sorted(set(got) | set(want)) if (d := h.diff(k, got.get(k), want.get(k)))])


if __name__ == '__main__':
    for c in CASES:
        scenario(**c)
    h.finish()
