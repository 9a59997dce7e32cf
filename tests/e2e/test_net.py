#!/usr/bin/env python3
"""The network apply command end to end (no argument, -t, -m): the real binary
in the sandbox with the device's configuration files, fake confignw and
dhcpcd.exe (fake_program.sh) and the flash simulator. One row per case; each
run is compared whole: status, stdout, stderr, every device file (bytes, mode,
owner, link or not, nothing left over), both flash partitions and the flash
operation log. Status, flash and log follow from the expected stdout: cleared
after "Network settings updated...", untouched otherwise."""
import os, re, shutil, subprocess, sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h

FAKE_TEXT = open(os.path.join(os.path.dirname(os.path.abspath(__file__)), 'fake_program.sh')).read()
PORT, NET, IFCFG = '/etc/stacfg/porteth0.config', '/etc/sysconfig/network', '/etc/sysconfig/netscripts/ifcfg-eth0'
MAIN, CONFIGNW, DHCPCD = '/etc/switch/main.config', '/usr/local/bin/confignw', '/etc/dhcpc/dhcpcd.exe'
DIRS, PWNED = ('/etc/stacfg', '/etc/sysconfig', '/etc/switch', '/etc/dhcpc', '/etc/data'), '/tmp/pwned'


def port(ip='10.0.0.2', mask='255.0.0.0', dhcp='n'): return f'# eth0\nip_addr={ip}\nsubnet={mask}\nuse_dhcp={dhcp}\nspeed=auto\n'
def net(gw='10.0.0.1'): return f'NETWORKING=yes\nGATEWAY0={gw}\nHOSTNAME=unit7\n'
def ifcfg(ip='10.0.0.2', mask='255.0.0.0', bc='10.255.255.255', nw='10.0.0.0'):
    return f'DEVICE=eth0\nIPADDR={ip}\nNETMASK={mask}\nBROADCAST={bc}\nNETWORK={nw}\nONBOOT=yes\n'
def sw(ip='10.0.0.2', pl=8, gw='10.0.0.1', d='0'): return f'# switch\nip_address={ip}\nprefixlen={pl}\ngateway={gw}\nuse_dhcp={d}\nmtu=1500\n'
def pad(text, size): return text + '#' * (size - len(text) - 1) + '\n'  # grown to size bytes by a comment line
def runs(*cmds): return ''.join(f'{c}\nran {c}\n' for c in cmds)  # command lines and the fakes' output
def confignw(ip, pl, bc, d, gw): return f'{CONFIGNW} ip {ip} prefixlen {pl} broadcast {bc} dhcp {d} gateway {gw} ipv4'
def commit_ops(act, new): return [f'erase {new} 0 65536', f'write {new} 0 8192', f'write {act} 4 1']


# Files are text (mode 644, root), (text, mode, uid, gid), "-> target" for a symbolic link, or None.
FILES = {PORT: port(), NET: net(), IFCFG: ifcfg(), MAIN: sw(), CONFIGNW: (FAKE_TEXT, 0o755, 0, 0), DHCPCD: (FAKE_TEXT, 0o755, 0, 0)}
ENV = dict(bootcmd='run boot', use_net_settings='1', gatewayip='192.168.1.1', netmask='255.255.255.0',
           ipaddr='192.168.1.20', use_dhcp='0', bootdelay='3')
OLD = 'use_net_settings=0 gatewayip=10.9.9.9 netmask=255.0.0.0 ipaddr=10.9.9.8 use_dhcp=0'.split()
UPDATED, MS, MS_FAILED = 'Network settings updated...\n', 'update_files_ms()\n', 'update_files_ms failed\n'
A, BC, DOWN = ('192.168.1.20', '255.255.255.0'), ('192.168.1.255', '192.168.1.0'), '/etc/dhcpc/dhcpcd.exe na down'
PORT_DONE = {PORT: port(*A)}
NET_DONE = {**PORT_DONE, NET: net('192.168.1.1')}
ALL_DONE = {**NET_DONE, IFCFG: ifcfg(*A, *BC)}
SW_CMD, SW_DONE = confignw(A[0], 24, BC[0], 0, '192.168.1.1'), {MAIN: sw(A[0], 24, '192.168.1.1')}
up, upm, ui, BAD = 'netset update_files: ', 'netset update_main_config: ', 'netset update_item: ', ' holds a character that is not allowed\n'
ENOENT, EROFS, EBUSY, EIO = 'No such file or directory', 'Read-only file system', 'Device or resource busy', 'Input/output error'
INJECT = dict(ipaddr='1.2.3.4;touch /tmp/pwned', gatewayip='$(touch /tmp/pwned)', netmask='255.255.255.0\ntouch /tmp/pwned')
# Shell commands run in the binary's own mount namespace just before it: the directory
# read-only, the file still writable (no temporary file); the file a mount point (rename
# fails); reads that fail (the process's own memory at 0); the lock held for a second.
RO_DIR = 'mount --bind {d} {d}; mount -o remount,bind,ro {d}; mount --bind {f} {f}; mount -o remount,bind,rw {f}'
BUSY, EIO_READ = 'mount --bind {f} {f}', 'mount --bind /proc/$$/mem {f}'
HOLD = ('flock /dev/mtd1 sh -c "sleep 1; echo lock released >>$FLASHSIM_LOG" & '
        'while flock -n /dev/mtd1 true; do sleep 0.01; done')


def C(name, args='', out=UPDATED, err='', env={}, files={}, changed={}, sim={}, pre='', fakes={}, m2=False, ops=None):
    """One case: env/files change ENV/FILES (None removes); out is stdout after the lines that echo the
    values; changed: the new texts of files (of their targets if links), all others stay as seeded."""
    return dict(locals())


def FAIL(name, err, out='', **kw): return C(name, '', out, err, **kw)
def MSFAIL(name, err, **kw): return C('-m: ' + name, '-m', MS + MS_FAILED, err, **kw)


def static(name, ip, mask, bc, nw, gw='192.168.1.1', dhcp='0', **kw):
    return C(name, env=dict(ipaddr=ip, netmask=mask, gatewayip=gw, use_dhcp=dhcp),
             changed={PORT: port(ip, mask), NET: net(gw or ''), IFCFG: ifcfg(ip, mask, bc, nw)}, **kw)


def switch(name, ip, mask, pl, bc, gw='192.168.1.1', dhcp='0', d='0', **kw):
    return C('-m: ' + name, '-m', MS + runs(confignw(ip, pl, bc, d, gw or 'none'), DOWN) + UPDATED,
             env=dict(ipaddr=ip, netmask=mask, gatewayip=gw, use_dhcp=dhcp), changed={MAIN: sw(ip, pl, gw or 'none', d)}, **kw)


CASES = [
    static('/24', *A, *BC),
    static('/16, active copy on mtd2', '10.1.2.3', '255.255.0.0', '10.1.255.255', '10.1.0.0', m2=True),
    static('non-contiguous mask', '10.1.2.3', '255.0.255.0', '10.255.2.255', '10.0.2.0'),
    static('invalid mask: all ones', '10.1.2.3', 'bogus', '10.1.2.3', '10.1.2.3'),
    static('gatewayip absent: GATEWAY0 emptied', *A, *BC, gw=None),
    *[static(f'use_dhcp {v!r} is static', *A, *BC, dhcp=v) for v in ('', 'yes', '2')],
    static('links, modes and owners kept', *A, *BC, files={PORT: '-> ../data/p', '/etc/data/p': (port(), 0o600, 3, 4),
                                                           NET: (net(), 0o640, 1234, 5678)}),
    C('file of 4096 bytes', files={PORT: pad(port('192.168.1.99', '255.255.255.9'), 4096)}, changed={**ALL_DONE, PORT: pad(port(*A), 4096)}),
    FAIL('patch past 4096 bytes', ui + 'subnet too long...\n', files={PORT: pad(port(), 4089)}),
    FAIL('file of 4097 bytes', up + PORT + ' larger than 4096 bytes\n', files={PORT: pad(port(), 4097)}),
    FAIL('old value of 20 bytes', ui + 'ip_addr invalid size...\n', files={PORT: port('1' * 20)}),
    *[FAIL(f'{p} absent', up + f'open() failed: {ENOENT}\n', files={p: None}, changed=done)
      for p, done in ((PORT, {}), (NET, PORT_DONE), (IFCFG, NET_DONE))],
    *[FAIL(f'{k} absent', ui + f'{k} not found...\n', files={p: FILES[p].replace(k + '=', 'x=')}, changed=done)
      for p, done, keys in ((PORT, {}, ('ip_addr', 'subnet')), (NET, PORT_DONE, ('GATEWAY0',)),
                            (IFCFG, NET_DONE, ('IPADDR', 'NETMASK', 'BROADCAST', 'NETWORK'))) for k in keys],
    FAIL('read fails', up + f'read() failed: {EIO}\n', pre=EIO_READ.format(f=PORT)),
    FAIL('temporary file cannot be created', up + f'open() failed: {EROFS}\n', changed=PORT_DONE,
         pre=RO_DIR.format(d='/etc/sysconfig', f=NET)),
    FAIL('rename fails', up + f'write() failed: {EBUSY}\n', pre=BUSY.format(f=PORT)),
    # DHCP: the first value byte becomes "y" in place, nothing else is opened (the other files are absent).
    *[C(f'DHCP, use_dhcp {v!r}', env=dict(use_dhcp=v), files={NET: None, IFCFG: None}, changed={PORT: port(dhcp='y')}) for v in ('1', ' 1')],
    C('DHCP in a file of 6000 bytes', env=dict(use_dhcp='1'), files={PORT: pad(port(dhcp='no'), 6000)},
      changed={PORT: pad(port(dhcp='yo'), 6000)}),
    C('DHCP, value byte just past 4096 bytes', env=dict(use_dhcp='1'), files={PORT: pad('', 4087) + 'use_dhcp=n\nrest\n'}),
    *[FAIL(f'DHCP, {why}', up + e, env=dict(use_dhcp='1'), **kw) for why, e, kw in (
        ('no use_dhcp', 'use_dhcp not found...\n', dict(files={PORT: 'ip_addr=1\n'})),
        ('port config absent', f'open() failed: {ENOENT}\n', dict(files={PORT: None})),
        ('read fails', f'read() failed: {EIO}\n', dict(pre=EIO_READ.format(f=PORT))))],
    # Injection: refused before anything is written or run, in both modes; -t only shows.
    *[FAIL(f'{k} {v!r}', up + k + BAD, env={k: v}) for k, v in INJECT.items()],
    *[MSFAIL(f'{k} {v!r}', 'netset update_files_ms: ' + k + BAD, env={k: v}) for k, v in INJECT.items()],
    FAIL('ipaddr checked first', up + 'ipaddr' + BAD, env=dict(ipaddr='a/b', netmask='m=1', gatewayip='`id`')),
    FAIL('netmask before gatewayip and DHCP', up + 'netmask' + BAD, env=dict(netmask='m=1', gatewayip='`id`', use_dhcp='1')),
    C('-t shows an injection attempt', '-t', '', env=INJECT),
    # Switch mode.
    switch('/24', *A, 24, BC[0]),
    switch('/32', '10.1.2.3', '255.255.255.255', 32, '10.1.2.3'),
    switch('0.0.0.0', '10.1.2.3', '0.0.0.0', 0, '255.255.255.255'),
    switch('/23', '10.1.2.3', '255.255.254.0', 23, '10.1.3.255'),
    switch('non-contiguous mask', '10.1.2.3', '255.0.255.0', 8, '10.255.2.255'),
    switch('invalid mask', '10.1.2.3', 'bogus', 32, '10.1.2.3'),
    *[switch(f'gatewayip {gw!r}: none', *A, 24, BC[0], gw=gw) for gw in (None, '')],
    switch('DHCP', *A, 24, BC[0], dhcp='1', d='1'),
    switch('use_dhcp yes is static', *A, 24, BC[0], dhcp='yes'),
    switch('link, mode and owner', *A, 24, BC[0], files={MAIN: '-> /etc/data/m', '/etc/data/m': (sw(), 0o604, 11, 12)}),
    switch('programs run without the lock', *A, 24, BC[0], fakes=dict(LOCK='/dev/mtd1')),
    switch('clearing waits for the lock', *A, 24, BC[0], pre=HOLD, ops=['lock released'] + commit_ops('mtd1', 'mtd2')),
    *[C(f'-m: confignw {how}', '-m', MS + runs(SW_CMD) + MS_FAILED, fakes=dict(CONFIGNW=how), changed=SW_DONE)
      for how in ('exit 1', 'kill TERM')],
    *[C(f'-m: dhcpcd.exe {how}', '-m', MS + runs(SW_CMD, DOWN) + MS_FAILED, fakes=dict(DHCPCD_EXE=how), changed=SW_DONE)
      for how in ('exit 3', 'kill TERM')],
    *[C(f'-m: dhcpcd.exe {why}', '-m', MS + runs(SW_CMD) + UPDATED, files={DHCPCD: f}, changed=SW_DONE)
      for why, f in (('absent', None), ('not executable', (FAKE_TEXT, 0o644, 0, 0)))],
    C('-m: confignw absent', '-m', f'{MS}{SW_CMD}\n{MS_FAILED}', re.compile(r'.*/usr/local/bin/confignw: (\S+ )?not found\n'),
      files={CONFIGNW: None}, changed=SW_DONE),
    *[MSFAIL(f'main.config without {k}', ui + f'{k} not found...\n', files={MAIN: sw().replace(k + '=', 'x=')})
      for k in ('ip_address', 'prefixlen', 'gateway', 'use_dhcp')],
    MSFAIL('main.config absent', upm + f'open() failed: {ENOENT}\n', files={MAIN: None}),
    MSFAIL('main.config read fails', upm + f'read() failed: {EIO}\n', pre=EIO_READ.format(f=MAIN)),
    MSFAIL('main.config of 4097 bytes', upm + MAIN + ' larger than 4096 bytes\n', files={MAIN: pad(sw(), 4097)}),
    MSFAIL('temporary file cannot be created', upm + f'open() failed: {EROFS}\n', pre=RO_DIR.format(d='/etc/switch', f=MAIN)),
    # Test mode, missing values, no request, clearing the request fails.
    C('-t', '-t', ''),
    C('gatewayip and netmask absent', out='', err='netset: netmask not found...\n', env=dict(gatewayip=None, netmask=None)),
    C('-m: use_dhcp absent', '-m', '', 'netset: use_dhcp not found...\n', env=dict(use_dhcp=None)),
    *[C(f'{a or "normal"}: use_net_settings {v!r}', a, '', env=dict(use_net_settings=v)) for v in ('0', '11', ' 1', '', None) for a in ('', '-m', '-t')],
    FAIL('load at the clearing step fails', 'read_uboot_env: Could not open env flash device...\n', sim=dict(FAIL_OPEN='mtd1:3:EIO'),
         out='Network settings not updated...\n', changed=ALL_DONE),
    C('-m: load at the clearing step fails', '-m', MS + runs(SW_CMD, DOWN) + 'Network settings not updated...\n',
      'read_uboot_env: Could not open env flash device...\n', sim=dict(FAIL_OPEN='mtd1:3:EIO'), changed=SW_DONE),
    FAIL('commit fails', f'ubootenv: ioctl() MEMERASE failed: {EIO}\nmgr: Failed to erase env sector...\n',
         sim=dict(FAIL_IOCTL='ERASE:EIO'), out='Network settings not updated...\n', changed=ALL_DONE, ops=['erase mtd2 0 65536']),
]


def snapshot():
    """Every file and link below DIRS, and confignw."""
    snap = {}
    for p in [os.path.join(top, n) for d in DIRS for top, _, names in os.walk(d) for n in names] + [CONFIGNW]:
        st = os.lstat(p) if os.path.lexists(p) else None
        if st:
            snap[p] = ('link', os.readlink(p)) if os.path.islink(p) else ('file', h.slurp(p), oct(st.st_mode), st.st_uid, st.st_gid)
    return snap


def scenario(c):
    env = {**ENV, **c['env']}
    entries = [f'{k}={v}' for k, v in env.items() if v is not None]
    act, other = h.image(entries), h.image(OLD, flag=0)
    h.seed(*((other, act) if c['m2'] else (act, other)))
    for d in DIRS:
        shutil.rmtree(d, ignore_errors=True)
    for path, f in {**FILES, **c['files']}.items():
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if path == CONFIGNW and os.path.lexists(path):
            os.unlink(path)
        if isinstance(f, str) and f.startswith('-> '):
            os.symlink(f[3:], path)
        elif f is not None:
            text, mode, uid, gid = (f, 0o644, 0, 0) if isinstance(f, str) else f
            with open(path, 'w', encoding='latin-1') as out:
                out.write(text)
            os.chown(path, uid, gid)
            os.chmod(path, mode)
    before = snapshot()
    for p in (h.LOG, PWNED):
        if os.path.lexists(p):
            os.unlink(p)
    run_env = {k: v for k, v in os.environ.items() if not k.startswith(('FLASHSIM', 'FAKE_'))}
    run_env.update({'FLASHSIM_' + k: v for k, v in c['sim'].items()}, FLASHSIM_LOG=h.LOG, **{'FAKE_' + k: v for k, v in c['fakes'].items()})
    run_env['QEMU_SET_ENV' if h.EMU else 'LD_PRELOAD'] = ('LD_PRELOAD=' if h.EMU else '') + h.PRELOAD
    p = subprocess.run(['unshare', '--mount', '--propagation', 'private', '--', '/bin/sh', '-ec', c['pre'] + '\nexec "$@"', 'sh',
                        *h.EMU, h.PEL, *c['args'].split()], env=run_env, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)

    echo = ''
    for k, label in (('gatewayip', 'gateway ip'), ('netmask', 'netmask'), ('ipaddr', 'ipaddr'), ('use_dhcp', 'use_dhcp')):
        if env['use_net_settings'] != '1' or (env[k] is None and k != 'gatewayip'):
            break
        echo += f'{label}: {"not found" if env[k] is None else env[k]}\n'
    out, err = p.stdout.decode('latin-1'), p.stderr.decode('latin-1')
    done = c['out'].endswith(UPDATED)
    cleared = [e for e in entries if not e.startswith('use_net_settings=')] + ['use_net_settings=0']
    want_m = (h.flagged(act, 0), h.committed(other, cleared)) if done else (act, other)
    ops = c['ops'] if c['ops'] is not None else commit_ops(*(('mtd2', 'mtd1') if c['m2'] else ('mtd1', 'mtd2'))) if done else []
    want_files = dict(before)
    for path, text in c['changed'].items():
        path = os.path.realpath(path)
        want_files[path] = ('file', text.encode('latin-1'), *before[path][2:])
    log = (h.slurp(h.LOG) or b'').decode().splitlines()
    status = 1 if c['err'] or c['out'].endswith(('failed\n', 'not updated...\n')) else 0
    after = snapshot()
    problems = [h.diff(label, got, want) for label, got, want in (
        ('status', p.returncode, status), ('stdout', out, echo + c['out']), ('op log', log, ops),
        ('mtd1', h.slurp(h.DEVS[0]), want_m[c['m2']]), ('mtd2', h.slurp(h.DEVS[1]), want_m[not c['m2']]),
        *((f, after.get(f), want_files.get(f)) for f in sorted(set(after) | set(want_files))))]
    if isinstance(c['err'], re.Pattern):
        problems.append(None if c['err'].fullmatch(err) else f'stderr: got {err!r}, want /{c["err"].pattern}/')
    else:
        problems.append(h.diff('stderr', err, c['err']))
    problems.append(PWNED + ' was created' if os.path.lexists(PWNED) else None)
    h.report(c['name'] + ': pelvanor ' + c['args'], [x for x in problems if x])


if __name__ == '__main__':
    names = [c['name'] for c in CASES]
    assert len(set(names)) == len(names), 'duplicate case names'
    for c in CASES:
        if not sys.argv[1:] or any(o in c['name'] for o in sys.argv[1:]):
            scenario(c)
    h.finish()
