"""End-to-end tests of the environment commands (run inside tools/sandbox)."""
import os, subprocess, sys
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import *

USAGE = ('Usage: (not complete)\n'
         '  pelvanor -g            get entire U-Boot environment\n'
         '  pelvanor -g NAME       get value of U-Boot environment variable\n'
         '  pelvanor -s NAME VALUE set value of U-Boot environment variable\n'
         '  pelvanor -S "name1=value1" ["name2=value2" [...]]\n'
         '      set multiple U-Boot environment variables\n'
         '  pelvanor -d NAME       delete U-Boot environment variable\n'
         '  pelvanor -v            display version\n'
         '  pelvanor -? or --help  display this help and exit\n')
BAD = lambda a: 'error: bad option:%s\n' % a + USAGE
OPEN1, OPEN2 = 'read_uboot_env: Could not open env flash device...\n', 'read_uboot_env: Could not open env2 flash device...\n'
READ = 'read_uboot_env: read(env%d) failed: %s\n'
EIO, ERASE_FAIL = 'Input/output error', 'mgr: Failed to erase env sector...\n'
LOG12, LOG21 = ['erase mtd2 0 65536', 'write mtd2 0 8192', 'write mtd1 4 1'], ['erase mtd1 0 65536', 'write mtd1 0 8192', 'write mtd2 4 1']
M1, M2 = image('x=1 use_net_settings=0'), image('x=2', flag=0)
V = lambda n, c='v': c * n


# --- power cut after N bytes erased or programmed, for a commit to mtd2 and one to mtd1: every cut kills
# the process, and the next load lists exactly the old or the new environment. Each direction runs in a
# background process with a /dev of its own, next to the other tests.
def power_cut(direction):
    erase = [0, 1, 4095, 4096, 32768, 65535]
    reduced = os.environ.get('POWERCUT') == 'reduced'
    written = [k for k in range(ENV_SIZE + 1) if not reduced or k <= 256 or k >= ENV_SIZE - 256 or k % 61 == 0]
    points = erase + [PART + k for k in written] + [PART + ENV_SIZE + 1]
    # large values, so that every byte of the image write leaves flash in a state of its own
    old, new = ['a=1', 'b=' + V(4000, 'x')], ['a=1', 'b=' + V(4000, 'x'), 'c=' + V(4000, 'y')]
    spare = image('q=7', flag=0, fill=b'\x5a')
    m1, m2 = (image(old), spare) if direction == '1->2' else (spare, image(old))
    # the new copy wins once the old flag is cleared; committing to mtd1, already once the image is
    # complete: when its last byte that is not 0xFF (as erased flash is) has been programmed
    complete = PART + len(image(new, size=ENV_SIZE).rstrip(b'\xff'))
    bad = []
    for n in points:
        r = run(['-s', 'c', V(4000, 'y')], m1, m2, {'POWERCUT': n})
        g = run(['-g'], keep=True)
        want = ''.join(e + '\n' for e in (new if n > PART + ENV_SIZE or (direction == '2->1' and n >= complete) else old))
        if r.status != -9 or g.status != 0 or g.out != want:
            bad.append('cut %d: status %s, then -g status %s listing %s' % (n, r.status, g.status, short(g.out)))
    report('power cut %s at %d points' % (direction, len(points)), bad[:10])
    r = run(['-s', 'c', V(4000, 'y')], m1, m2, {'POWERCUT': PART + ENV_SIZE + 2})
    check('power cut %s never reached' % direction, r.status == 0 and r.log == (LOG12 if direction == '1->2' else LOG21), r.err)


if sys.argv[1:2] == ['--cuts']:
    private_devices()
    power_cut(sys.argv[2])
    finish()
workers = [background('--cuts', d) for d in ('1->2', '2->1')]

# --- the simulator itself, driven by python's own open/write/ioctl under the preload (natively only; the
# request codes are MEMERASE, MEMGETINFO, MEMGETREGIONCOUNT and TCGETS in the host's generic ioctl encoding)
SIMTEST = r"""
import errno, fcntl, os, struct, sys
def do(f, *a):
    try: return f(*a)
    except OSError as e: return errno.errorcode[e.errno]
erase = lambda fd, start, n: (lambda r: r if isinstance(r, str) else 0)(do(fcntl.ioctl, fd, 0x40084d02, struct.pack('II', start, n)))
rd = os.open('/dev/mtd1', os.O_RDONLY)
res = [do(os.open, '/dev/mtd1', os.O_RDWR)]
fd = os.open('/dev/mtd1', os.O_RDWR)
res += [erase(fd, 4096, 65536), erase(fd, 0, 4096), erase(fd, 0, 196608), erase(fd, 131072, 65536), erase(fd, 65536, 65536)]
res += [struct.unpack('B3xIIIII', fcntl.ioctl(fd, 0x80204d01, bytes(32))[:24]), struct.unpack('i', fcntl.ioctl(fd, 0x80044d07, bytes(4)))]
res += [os.lseek(fd, 0, 0), os.write(fd, bytes([0x0f, 0xff])), os.lseek(fd, 131071, 0), os.write(fd, b'ab'), do(os.write, fd, b'c')]
res += [do(fcntl.ioctl, fd, 0x5401, bytes(64)), erase(rd, 0, 65536), do(os.write, rd, b'x'), do(os.read, fd, 9)]
print(res)
"""
if not EMU:
    for code, sim, out, f1, log in [
            (SIMTEST, {'FAIL_OPEN': 'mtd1:1:EACCES', 'SHORT_READ': 'mtd1:1:0'},
             "['EACCES', 'EINVAL', 'EINVAL', 'EINVAL', 'EINVAL', 0, (3, 3072, 131072, 65536, 1, 0), (0,), 0, 2, 131071, 1, 'ENOSPC', 'ENOTTY', 'EPERM', 'EBADF', b'']\n",
             b'\x00\xf0' + b'\xf0' * 65534 + b'\xff' * 65535 + b'a', ['erase mtd1 4096 65536', 'erase mtd1 0 4096', 'erase mtd1 0 196608',
              'erase mtd1 131072 65536', 'erase mtd1 65536 65536', 'write mtd1 0 2', 'write mtd1 131071 2', 'write mtd1 131072 1', 'erase mtd1 0 65536', 'write mtd1 0 1']),
            ("import fcntl, os, struct\nfcntl.ioctl(os.open('/dev/mtd1', os.O_RDWR), 0x40084d02, struct.pack('II', 65536, 65536))",
             {'POWERCUT': 100}, '', b'\xf0' * 65536 + b'\xff' * 100 + b'\xf0' * 65436, ['erase mtd1 65536 65536']),
            ("import os\nfd = os.open('/dev/mtd1', os.O_RDWR)\nos.write(fd, b'\\x0f' * 90)\nos.write(fd, bytes(20))",
             {'POWERCUT': 95, 'SHORT_WRITE': 'mtd1:1:80'}, '', b'\x00' * 80 + b'\x00' * 15 + b'\xf0' * (2 * PART - 95), ['write mtd1 0 90', 'write mtd1 80 20'])]:
        seed(b'\xf0' * 2 * PART, M2)
        if os.path.exists(LOG):
            os.unlink(LOG)
        p = subprocess.run([sys.executable, '-c', code], capture_output=True, text=True, env=dict(
            os.environ, LD_PRELOAD=PRELOAD, FLASHSIM_LOG=LOG, **{'FLASHSIM_' + k: str(v) for k, v in sim.items()}))
        report('simulator %s' % sim, [d for d in (diff('status', p.returncode, 0 if out else -9), diff('stdout', p.stdout, out),
               diff('mtd1', slurp(DEVS[0]), f1), diff('op log', (slurp(LOG) or b'').decode().splitlines(), log)) if d])

# --- command line: (args, status, stdout, stderr); bad options leave flash alone
for args, st, out, err in [
        ([], 0, '', ''), (['-t'], 0, '', ''), (['-t', 'a', 'b'], 0, '', ''), (['-m', 'a'], 0, '', ''),
        (['-v'], 0, 'pelvanor 101\n', ''), (['-v', 'extra'], 0, 'pelvanor 101\n', ''),
        (['-g'], 0, 'x=1\nuse_net_settings=0\n', ''), (['-g', 'x'], 0, '1\n', ''),
        (['-?'], 0, '', USAGE), (['-?', 'x', 'y'], 0, '', USAGE), (['--help'], 0, '', USAGE), (['--help', '-v'], 0, '', USAGE),
        (['-g', 'a', 'b'], 2, '', BAD('-g')), (['-s'], 2, '', BAD('-s')), (['-s', 'a'], 2, '', BAD('-s')),
        (['-s', 'a', 'b', 'c'], 2, '', BAD('-s')), (['-d'], 2, '', BAD('-d')), (['-d', 'a', 'b'], 2, '', BAD('-d')),
        (['-S'], 2, '', BAD('-S')), (['-vx'], 2, '', BAD('-vx')), (['-gg'], 2, '', BAD('-gg')), (['-tx'], 2, '', BAD('-tx')),
        (['-mx'], 2, '', BAD('-mx')), (['-sx', 'a', 'b'], 2, '', BAD('-sx')), (['-Sa=1', 'b=2'], 2, '', BAD('-Sa=1')),
        (['-dx', 'a'], 2, '', BAD('-dx')), (['-?x'], 2, '', BAD('-?x')), (['--helpme'], 2, '', BAD('--helpme')),
        (['--'], 2, '', BAD('--')), (['-'], 2, '', BAD('-')), (['-x'], 2, '', BAD('-x')), (['help'], 2, '', BAD('help')),
        (['v'], 2, '', BAD('v')), ([''], 2, '', BAD('')), (['x-g'], 2, '', BAD('x-g'))]:
    case('dispatch', args, M1, M2, status=st, out=out, err=err, log=[])
for args in (['-s', 'n', 'v'], ['-d', 'x'], ['-S', 'n=v']):  # the edit rows commit
    case('dispatch', args, M1, M2, status=0, out='', err='', f1=None, f2=None, log=LOG12)

# --- loader's choice: (flag1, crc1 ok, flag2, crc2 ok, chosen copy or 0)
for f1, ok1, f2, ok2, chosen in [
        (1, 1, 1, 1, 1), (1, 1, 0, 1, 1), (1, 1, 0xFF, 1, 1), (1, 1, 1, 0, 1), (0, 1, 1, 1, 2), (1, 0, 1, 1, 2),
        (0xFF, 1, 1, 1, 2), (0, 1, 0, 1, 1), (0, 1, 0, 0, 1), (0, 1, 0xFF, 1, 1), (1, 0, 0, 1, 2), (0xFF, 1, 0, 1, 2),
        (1, 0, 1, 0, 0), (0xFF, 1, 0xFF, 1, 0), (0xFF, 1, 1, 0, 0), (7, 1, 0, 1, 1), (0, 1, 7, 1, 1), (7, 1, 1, 1, 2),
        (0, 0, 7, 1, 2), (2, 1, 3, 1, 1)]:
    m1, m2 = image('c=1', f1, not ok1), image('c=2', f2, not ok2)
    name = 'choice %s/%s %s/%s' % (f1, 'ok' if ok1 else 'bad', f2, 'ok' if ok2 else 'bad')
    case(name, ['-g', 'c'], m1, m2, status=1 if not chosen else 0, out='%d\n' % chosen if chosen else '',
         err='' if chosen else 'c not found\n', log=[])
    case(name, ['-g'], m1, m2, status=0, out='c=%d\n' % chosen if chosen else '', err='')

# --- device failures: (mtd1, mtd2, simulator, loader message)
SHORT = lambda n: image('c=1', size=n)
for m1, m2, sim, msg in [
        (None, M2, None, OPEN1), (M1, None, None, OPEN2), (None, None, None, OPEN1),
        (SHORT(8191), M2, None, READ % (1, 'Success')), (M1, SHORT(100), None, READ % (2, 'Success')),
        (M1, b'', None, READ % (2, 'Success')), (M1, M2, {'SHORT_READ': 'mtd1:1:8191'}, READ % (1, 'Success')),
        (M1, M2, {'FAIL_READ': 'mtd1:1:EIO'}, READ % (1, EIO)), (M1, M2, {'FAIL_READ': 'mtd2:1:EIO'}, READ % (2, EIO)),
        (M1, M2, {'FAIL_OPEN': 'mtd1:1:EACCES'}, OPEN1), (M1, M2, {'FAIL_OPEN': 'mtd2:1:EROFS'}, OPEN2)]:
    case('device failure', ['-g'], m1, m2, sim, status=0, out='', err=msg, log=[])
    case('device failure', ['-g', 'x'], m1, m2, sim, status=1, out='', err=msg + 'x not found\n', log=[])
    case('device failure', ['-s', 'x', '5'], m1, m2, sim, status=1, out='', err=msg + 'could not set x=5\n', log=[])


def read_only(dev, args, msg):  # a device that may be read but not written: EROFS from a read-only bind mount
    seed(M1, M2)
    subprocess.run(['mount', '--bind', dev, dev], check=True)
    subprocess.run(['mount', '-o', 'remount,bind,ro', dev], check=True)
    try:
        case('read-only ' + dev, args, status=1, out='', err=msg, keep=True)
    finally:
        subprocess.run(['umount', dev], check=True)


read_only('/dev/mtd1', ['-g', 'x'], OPEN1 + 'x not found\n')
read_only('/dev/mtd2', ['-g', 'x'], OPEN2 + 'x not found\n')
read_only('/dev/mtd2', ['-d', 'x'], OPEN2 + 'could not delete x\n')

# --- look-up and listing: (data area or entries, args, status, stdout, stderr)
L = 'ipaddr=1.2.3.4 e= =eq noeq dup=1 dup=2 a=b=c'.split()
NOTERM = b'a=1\0z=' + b'y' * (8187 - 6)  # last entry runs to offset 8191, no terminator
for data, args, st, out, err in [
        (L, ['-g'], 0, '\n'.join(L) + '\n', ''), (L, ['-g', 'ip'], 1, '', 'ip not found\n'),
        (L, ['-g', 'ipaddr'], 0, '1.2.3.4\n', ''), (L, ['-g', 'ipaddr='], 1, '', 'ipaddr= not found\n'),
        (L, ['-g', 'e'], 0, '\n', ''), (L, ['-g', ''], 0, 'eq\n', ''), (L, ['-g', 'noeq'], 1, '', 'noeq not found\n'),
        (L, ['-g', 'dup'], 0, '1\n', ''), (L, ['-g', 'a'], 0, 'b=c\n', ''), (L, ['-g', 'a=b'], 0, 'c\n', ''),
        (L, ['-g', 'IPADDR'], 1, '', 'IPADDR not found\n'),
        ([], ['-g'], 0, '', ''), ([], ['-g', 'a'], 1, '', 'a not found\n'), (b'\0\0a=1\0\0', ['-g'], 0, '', ''),
        (b'a=1\0\0b=2\0\0', ['-g'], 0, 'a=1\n', ''), (b'a=1\0\0b=2\0\0', ['-g', 'b'], 1, '', 'b not found\n'),
        (NOTERM, ['-g'], 0, 'a=1\nz=' + 'y' * (8187 - 7) + '\n', ''), (NOTERM, ['-g', 'z'], 0, 'y' * (8187 - 7) + '\n', ''),
        (b'z=' + b'y' * 8184 + b'\0', ['-g', 'z'], 0, 'y' * 8184 + '\n', '')]:
    m1 = image(data=data) if isinstance(data, bytes) else image(data)
    case('lookup', args, m1, M2, status=st, out=out, err=err, log=[])

# --- edits and commit, copy 1 active: (old entries, args, new entries or None when the set fails)
G2 = image('q=7', flag=0, fill=b'\x5a')  # partner partition: garbage the erase must clear
for old, args, new in [
        ('a=1 b=2', ['-s', 'c', '3'], 'a=1 b=2 c=3'), ('a=1 b=2', ['-s', 'a', '9'], 'b=2 a=9'), ('a=1 b=2', ['-s', 'a', ''], 'b=2 a='),
        ('a=1 b=2', ['-d', 'a'], 'b=2'), ('a=1 b=2', ['-d', 'zz'], 'a=1 b=2'), ('a=1 b=2 a=3', ['-d', 'a'], 'b=2'),
        ('a=1 b=2 a=3', ['-s', 'a', '4'], 'b=2 a=4'), ('ipaddr=1', ['-s', 'ip', 'x'], 'ipaddr=1 ip=x'), ('ipaddr=1', ['-d', 'ip'], 'ipaddr=1'),
        ('=v a=1', ['-d', ''], 'a=1'), ('a=1', ['-s', 'b', 'x y=z'], ['a=1', 'b=x y=z']), ('a=1', ['-s', 'a=b', 'c'], 'a=1 a=b=c'),
        ('b=2 x=0', ['-S', 'a=1', 'b', 'c='], 'x=0 a=1 c='), ('a=0', ['-S', 'a=1', 'a=2'], 'a=2'), ('b=1', ['-S', 'x=1', 'x'], 'b=1'),
        ('x=1 b=1', ['-S', 'x', 'x=2'], 'b=1 x=2'), ('', ['-S', 'k=v=w', '=e'], 'k=v=w =e'), ('a=1', ['-S', 'a=1'], 'a=1'),
        ('', ['-s', 'n', V(8183)], ['n=' + V(8183)]), ('', ['-s', 'n', V(8184)], None), ('', ['-s', V(8184), ''], [V(8184) + '=']),
        ('', ['-s', V(8185), ''], None), ('', ['-S', 'n=' + V(8183)], ['n=' + V(8183)]), ('', ['-S', 'n=' + V(8184)], None),
        (['n=' + V(8180)], ['-s', 'n', V(8183, 'w')], ['n=' + V(8183, 'w')]), (['n=' + V(8180)], ['-s', 'm', 'x'], None),
        (['n=' + V(8180)], ['-s', 'm', ''], ['n=' + V(8180), 'm=']),
        (['n=' + V(8180)], ['-s', 'n', V(8184, 'w')], None), (['a=1', 'n=' + V(8176)], ['-S', 'n', 'b=2'], ['a=1', 'b=2']),
        ('a=1', ['-S', 'b=2', 'n=' + V(8184), 'c=3'], None), ('a=1', ['-S', 'a=5', 'n=' + V(8184)], None),
        (b'a=1\0\0b=2\0\0', ['-s', 'c', '3'], 'a=1 c=3'), (b'a=1\0\0junk\0' + bytes(100), ['-d', 'x'], 'a=1')]:
    m1 = image(data=old) if isinstance(old, bytes) else image(old)
    if new is None:
        bad = args[1] + '=' + args[2] if args[0] == '-s' else next(a for a in args if len(a) > 8000)
        case('edit', args, m1, G2, status=1, out='', err='could not set %s\n' % bad, log=[])
    else:
        case('edit', args, m1, G2, status=0, out='', err='', f1=flagged(m1, 0), f2=committed(G2, new), log=LOG12)
        case('edit, then', ['-g'], status=0, out=''.join(e + '\n' for e in (new.split() if isinstance(new, str) else new)), keep=True)

# --- commit bytes in the other direction, on 128 KiB partitions, and the alternation
B1, B2 = image('q=7', flag=0, size=2 * PART, fill=b'\xa5'), image('a=1', flag=1, size=2 * PART, fill=b'\x3c')
case('commit 2->1', ['-S', 'b=1', 'c=2', 'd=3', 'a', 'e=5'], B1, B2, status=0, err='',
     f1=committed(B1, 'b=1 c=2 d=3 e=5'), f2=flagged(B2, 0), log=LOG21)
case('commit 1->2', ['-s', 'f', '6'], f1=flagged(committed(B1, 'b=1 c=2 d=3 e=5'), 0),
     f2=committed(flagged(B2, 0), 'b=1 c=2 d=3 e=5 f=6'), status=0, log=LOG12, keep=True)
case('commit 2->1', ['-d', 'b'], status=0, log=LOG21, f1=committed(B1, 'c=2 d=3 e=5 f=6'), f2=None, keep=True)
case('commit, then', ['-g'], status=0, out='c=2\nd=3\ne=5\nf=6\n', keep=True)
case('copy 2 chosen as obsolete', ['-s', 'n', '1'], image('a=1', bad_crc=True), image('a=2', flag=0), status=0,
     f1=committed(image('a=1', bad_crc=True), 'a=2 n=1'), f2=image('a=2', flag=0), log=LOG21)

# --- each failing step of the commit: (simulator, messages, mtd1 after, mtd2 after, listing after);
# copy 1 active, so the commit goes to mtd2 and a cut after the image leaves both active (copy 1 wins)
A1, A2 = image('a=1 b=2'), image('q=7', flag=0, fill=b'\x5a')
NEW, ERASED = committed(A2, 'b=2 a=9'), b'\xff' * PART
WRITE_NEW, WRITE_OLD = 'write() failed: %s\nFailed to write new env sector...\n' % EIO, 'write() failed: %s\nFailed to write old env flag...\n' % EIO
OLD_LIST, NEW_LIST = 'a=1\nb=2\n', 'b=2\na=9\n'
for sim, msg, f1, f2, listing in [
        ({'FAIL_OPEN': 'mtd2:2:EACCES'}, 'set_uboot_env_var: Could not open env flash device...\n', SAME, SAME, OLD_LIST),
        ({'FAIL_IOCTL': 'REGIONCOUNT:EIO'}, 'ubootenv: ioctl() MEMGETREGIONCOUNT failed: %s\n' % EIO + ERASE_FAIL, SAME, SAME, OLD_LIST),
        ({'REGIONS': 2}, 'ubootenv: Flash erase failed - region spans sectors.\n' + ERASE_FAIL, SAME, SAME, OLD_LIST),
        ({'FAIL_IOCTL': 'GETINFO:ENOTTY'}, 'ubootenv: ioctl() MEMGETINFO failed: Inappropriate ioctl for device\n' + ERASE_FAIL, SAME, SAME, OLD_LIST),
        ({'FAIL_IOCTL': 'ERASE:EIO'}, 'ubootenv: ioctl() MEMERASE failed: %s\n' % EIO + ERASE_FAIL, SAME, SAME, OLD_LIST),
        ({'ERASESIZE': 0}, 'ubootenv: Flash erase failed - env does not fit the partition.\n' + ERASE_FAIL, SAME, SAME, OLD_LIST),
        ({'ERASESIZE': 131072}, 'ubootenv: Flash erase failed - env does not fit the partition.\n' + ERASE_FAIL, SAME, SAME, OLD_LIST),
        ({'FAIL_WRITE': 'mtd2:1'}, WRITE_NEW, SAME, ERASED + A2[PART:], OLD_LIST),
        ({'SHORT_WRITE': 'mtd2:1:0'}, WRITE_NEW, SAME, ERASED + A2[PART:], OLD_LIST),
        ({'SHORT_WRITE': 'mtd2:1:100,mtd2:2:0'}, WRITE_NEW, SAME, NEW[:100] + ERASED[100:], OLD_LIST),
        ({'FAIL_OPEN': 'mtd1:2:EACCES'}, 'set_uboot_env_var: Could not open old env flash device...\n', SAME, NEW, OLD_LIST),
        ({'FAIL_WRITE': 'mtd1:1'}, WRITE_OLD, SAME, NEW, OLD_LIST), ({'SHORT_WRITE': 'mtd1:1:0'}, WRITE_OLD, SAME, NEW, OLD_LIST)]:
    case('commit failure', ['-s', 'a', '9'], A1, A2, sim, status=1, out='', err=msg + 'could not write env for set a=9\n', f1=f1, f2=f2)
    case('commit failure, then', ['-g'], status=0, out=listing, keep=True)
# the callers' own lines after a commit failure before and after the new copy is written
for args, line, new in ((['-d', 'a'], 'could not write env for delete a\n', 'b=2'), (['-S', 'a=9'], 'could not save updated environment\n', 'b=2 a=9')):
    case('commit failure', args, A1, A2, {'FAIL_OPEN': 'mtd2:2:EACCES'}, status=1, err='set_uboot_env_var: Could not open env flash device...\n' + line)
    case('commit failure', args, A1, A2, {'FAIL_WRITE': 'mtd1:1'}, status=1, err=WRITE_OLD + line, f2=committed(A2, new))
# the same late failures committing to mtd1: both copies active, copy 1 (the new one) wins
C1, C2 = image('q=7', flag=0, fill=b'\x5a'), image('a=1 b=2')
for sim, msg, log in [({'FAIL_OPEN': 'mtd2:2:EACCES'}, 'set_uboot_env_var: Could not open old env flash device...\n', LOG21[:2]),
                      ({'FAIL_WRITE': 'mtd2:1'}, WRITE_OLD, LOG21)]:
    case('commit failure 2->1', ['-s', 'a', '9'], C1, C2, sim, status=1, err=msg + 'could not write env for set a=9\n',
         f1=committed(C1, 'b=2 a=9'), f2=SAME, log=log)
    case('commit failure 2->1, then', ['-g'], status=0, out=NEW_LIST, keep=True)

# --- decisions: no image, delete without room for the terminator, erase block sizes, short writes, lock
BAD1, BAD2 = image('a=1', bad_crc=True), image('a=2', flag=0, bad_crc=True)
NOROOM = image(data=b'a=1\0z=' + b'y' * (8187 - 6))
for m1, m2, sim, args, err in [
        (BAD1, BAD2, None, ['-s', 'a', '1'], 'could not set a=1\n'), (BAD1, BAD2, None, ['-d', 'a'], 'could not delete a\n'),
        (BAD1, BAD2, None, ['-S', 'a=1', 'b'], 'could not set a=1\n'), (BAD1, BAD2, None, ['-S', 'b', 'a=1'], 'could not set b=\n'),
        (M1, None, None, ['-s', 'a', '1'], OPEN2 + 'could not set a=1\n'), (None, M2, None, ['-d', 'a'], OPEN1 + 'could not delete a\n'),
        (M1, M2, {'FAIL_OPEN': 'mtd1:1:EACCES'}, ['-S', 'a=1'], OPEN1 + 'could not set a=1\n'),
        (M1, M2, {'FAIL_READ': 'mtd2:1:EIO'}, ['-S', 'a', 'b=1'], READ % (2, EIO) + 'could not set a=\n'),
        (NOROOM, M2, None, ['-d', 'q'], 'could not delete q\n'),
        (NOROOM, M2, None, ['-S', 'q'], 'could not set q=\n'), (NOROOM, M2, None, ['-s', 'q', ''], 'could not set q=\n')]:
    case('no image / no room', args, m1, m2, sim, status=1, out='', err=err, log=[])
for name, kept in (('z', ['a=1']), ('a', ['z=' + 'y' * (8187 - 7)])):
    case('delete making room', ['-d', name], NOROOM, M2, status=0, err='', f1=flagged(NOROOM, 0), f2=committed(M2, kept), log=LOG12)
for es, size, erase in [(4096, PART, 8192), (3072, 3072 * 8, 9216), (8192, 16384, 8192), (16384, 16384, 16384), (65536, 4 * PART, PART)]:
    m2 = image('x=2', flag=0, size=size, fill=b'\x11')
    case('erase block %d' % es, ['-s', 'n', '1'], image('x=1', size=size), m2, {'ERASESIZE': es}, status=0, err='',
         f1=flagged(image('x=1', size=size), 0), f2=committed(m2, 'x=1 n=1', erase),
         log=['erase mtd2 0 %d' % erase, 'write mtd2 0 8192', 'write mtd1 4 1'])
for es, size in [(5000, 8192), (3000, 8192), (65536, 8192), (16384, 12288)]:
    m = image('x=1', size=size), image('x=2', flag=0, size=size)
    case('erase block %d too big' % es, ['-s', 'n', '1'], *m, {'ERASESIZE': es}, status=1,
         err='ubootenv: Flash erase failed - env does not fit the partition.\n' + ERASE_FAIL + 'could not write env for set n=1\n', log=[])
for sim, writes in [('mtd2:1:100', [(0, 8192), (100, 8092)]), ('mtd2:1:1,mtd2:2:8190', [(0, 8192), (1, 8191), (8191, 1)]),
                    ('mtd2:1:8191', [(0, 8192), (8191, 1)])]:
    case('short write continued', ['-s', 'a', '9'], A1, A2, {'SHORT_WRITE': sim}, status=0, err='', f1=flagged(A1, 0), f2=NEW,
         log=['erase mtd2 0 65536'] + ['write mtd2 %d %d' % w for w in writes] + ['write mtd1 4 1'])

# lock: concurrent edits of distinct names all land; its read-only open is not counted as an open
seed(image('base=1'), image('', flag=0))
procs = [spawn(['-s', 'k%d' % i, str(i)]) for i in range(8)]
results = [p.communicate() + (p.wait(),) for p in procs]
check('lock: all concurrent edits succeed', all(r == (b'', b'', 0) for r in results), repr(results))
r = run(['-g'], keep=True)
check('lock: no update lost', sorted(r.out.split()) == sorted(['base=1'] + ['k%d=%d' % (i, i) for i in range(8)]), r.out)


for w in workers:
    join(w)
finish()
