"""End-to-end tests of the environment commands (run inside tools/sandbox)."""
import os, subprocess, sys
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import *

USAGE = ('Usage: (not complete)\n  pelvanor -g            get entire U-Boot environment\n'
         '  pelvanor -g NAME       get value of U-Boot environment variable\n'
         '  pelvanor -s NAME VALUE set value of U-Boot environment variable\n'
         '  pelvanor -S "name1=value1" ["name2=value2" [...]]\n      set multiple U-Boot environment variables\n'
         '  pelvanor -d NAME       delete U-Boot environment variable\n  pelvanor -v            display version\n'
         '  pelvanor -? or --help  display this help and exit\n')
OPEN1, OPEN2 = 'read_uboot_env: Could not open env flash device...\n', 'read_uboot_env: Could not open env2 flash device...\n'
READ, EIO = 'read_uboot_env: read(env%d) failed: %s\n', 'Input/output error'
ERASE_FAIL, NOFIT = 'mgr: Failed to erase env sector...\n', 'ubootenv: Flash erase failed - env does not fit the partition.\n'
WRITE_NEW, WRITE_OLD = ('write() failed: %s\nFailed to write %s...\n' % (EIO, s) for s in ('new env sector', 'old env flag'))
LOG12, LOG21 = ['erase mtd2 0 65536', 'write mtd2 0 8192', 'write mtd1 4 1'], ['erase mtd1 0 65536', 'write mtd1 0 8192', 'write mtd2 4 1']
M1, M2, SPARE = image('x=1 use_net_settings=0'), image('x=2', flag=0), image('q=7', flag=0, fill=b'\x5a')
V = lambda n, c='v': c * n
NOTERM, Y = b'a=1\0z=' + b'y' * 8181, 'y' * 8180  # its last entry runs to offset 8191; the load keeps Y of it


def power_cut(way):
    """Cuts power after n bytes erased or programmed, at steps through the erase and after every byte of the
    two writes (a subset under POWERCUT=reduced): the next load lists exactly the old or the new environment."""
    reduced = os.environ.get('POWERCUT') == 'reduced'
    old = ['a=1', 'b=' + V(4000, 'x')]  # large values: every byte of the image write leaves a state of its own
    new, m = old + ['c=' + V(4000, 'y')], (image(old), SPARE) if way == '1->2' else (SPARE, image(old))
    # the new copy wins once the old flag is cleared; committing to mtd1 (copy 1 wins a tie) already once
    # the last byte of its image that is not 0xFF (as erased flash is) has been programmed
    complete, bad = len(image(new, size=ENV_SIZE).rstrip(b'\xff')), []
    ks = [k for k in range(ENV_SIZE + 3) if not reduced or k <= 256 or k >= ENV_SIZE - 256 or k % 61 == 0]
    for n in [0, 1, 4095, 4096, 32768, 65535] + [PART + k for k in ks]:
        r, g, k = run(['-s', 'c', V(4000, 'y')], *m, {'POWERCUT': n}), run(['-g'], keep=True), n - PART
        listed = new if k > ENV_SIZE or (way == '2->1' and k >= complete) else old
        if (r.status, g.status, g.out) != (-9 if k <= ENV_SIZE + 1 else 0, 0, ''.join(e + '\n' for e in listed)):
            bad.append('cut %d: status %s, then -g status %s listing %r' % (n, r.status, g.status, g.out[:80]))
    report('power cut %s at %d points' % (way, len(ks) + 6), bad[:10])


if sys.argv[1:2] == ['--cuts']:
    power_cut(sys.argv[2])
    finish()
workers = [background('--cuts', way) for way in ('1->2', '2->1')]

# --- command line: a bad option names its whole first argument and shows the usage; no row touches flash
for a in [s.split() for s in ('-g a b', '-s', '-s a', '-s a b c', '-d', '-d a b', '-S', '-vx', '-gg', '-tx', '-mx', '-sx a b',
                              '-Sa=1 b=2', '-dx a', '-?x', '--helpme', '--', '-', '-x', 'help', 'v', 'x-g')] + [['']]:
    case('bad option', a, M1, M2, status=2, err='error: bad option:%s\n' % a[0] + USAGE, log=[])
for a, out, err in [('', '', ''), ('-t', '', ''), ('-t a b', '', ''), ('-m a', '', ''), ('-v', 'pelvanor 101\n', ''),
                    ('-v extra', 'pelvanor 101\n', ''), ('-g', 'x=1\nuse_net_settings=0\n', ''), ('-g x', '1\n', ''),
                    ('-?', '', USAGE), ('-? x y', '', USAGE), ('--help', '', USAGE), ('--help -v', '', USAGE)]:
    case('command', a.split(), M1, M2, out=out, err=err, log=[])

# --- the loader's choice: "flag of copy 1, flag of copy 2 (hex, ! for a wrong checksum), copy listed (0: none)"
for row in ('1 1 1, 1 0 1, 1 ff 1, 1 1! 1, 0 1 2, 1! 1 2, ff 1 2, 0 0 1, 0 0! 1, 0 ff 1, 1! 0 2, ff 0 2, 1! 1! 0, '
            'ff ff 0, ff 1! 0, 7 0 1, 0 7 1, 7 1 2, 0! 7 2, 2 3 1').split(', '):
    f1, f2, chosen = [(int(t.strip('!'), 16), t.endswith('!')) for t in row.split()[:2]] + [int(row[-1])]
    case('choice ' + row, ['-g'], image('c=1', *f1), image('c=2', *f2), out='c=%d\n' % chosen if chosen else '', log=[])

# --- commands that fail before any flash work (a failed load, or a kept entry ending at offset 8191 that
# leaves no room for the terminator): the loader's message, the command's own line; -g ends with status 0
BAD1, BAD2 = image('a=1', bad_crc=True), image('a=2', flag=0, bad_crc=True)
for m1, m2, sim, args, err in [
        (None, M2, None, '-g', OPEN1), (M1, None, None, '-s a 1', OPEN2 + 'could not set a=1\n'),
        (image('c=1', size=8191), M2, None, '-g x', READ % (1, 'Success') + 'x not found\n'),
        (M1, image('c=1', size=100), None, '-d x', READ % (2, 'Success') + 'could not delete x\n'),
        (M1, M2, {'FAIL_READ': 'mtd2:1:EIO'}, '-S a b=1', READ % (2, EIO) + 'could not set a=\n'),
        (BAD1, BAD2, None, '-g', ''), (BAD1, BAD2, None, '-s a 1', 'could not set a=1\n'), (BAD1, BAD2, None, '-d a', 'could not delete a\n'),
        (BAD1, BAD2, None, '-S a=1 b', 'could not set a=1\n'), (BAD1, BAD2, None, '-S b a=1', 'could not set b=\n'),
        (image(NOTERM), M2, None, '-d q', 'could not delete q\n'), (image(NOTERM), M2, None, '-S q', 'could not set q=\n')]:
    case('no flash work', args.split(), m1, m2, sim, status=int(args != '-g'), err=err, log=[])
for dev, args, err in (('/dev/mtd1', '-g x', OPEN1 + 'x not found\n'), ('/dev/mtd2', '-d x', OPEN2 + 'could not delete x\n')):
    seed(M1, M2)  # a device that may be read but not written: a read-only bind mount (EROFS, also for root)
    subprocess.run('mount --bind %s %s && mount -o remount,bind,ro %s' % (dev, dev, dev), shell=True, check=True)
    case('read-only ' + dev, args.split(), status=1, err=err, keep=True)
    subprocess.run(['umount', dev], check=True)

# --- look-up and listing: (entries or data area, NAME or None to list, stdout or None for "not found")
L = 'ipaddr=1.2.3.4 e= =eq noeq dup=1 dup=2 a=b=c'.split()
for data, name, out in [(L, None, '\n'.join(L) + '\n'), (L, 'ip', None), (L, 'ipaddr', '1.2.3.4\n'), (L, 'e', '\n'),
                        (L, '', 'eq\n'), (L, 'noeq', None), (L, 'dup', '1\n'), (L, 'a', 'b=c\n'), ([], None, ''), ([], 'a', None),
                        (b'\0\0a=1\0\0', None, ''), (b'a=1\0\0b=2\0\0', None, 'a=1\n'), (NOTERM, None, 'a=1\nz=%s\n' % Y), (NOTERM, 'z', Y + '\n')]:
    case('look-up', ['-g'] + ([] if name is None else [name]), image(data), M2, status=int(out is None), out=out or '',
         err='' if out is not None else '%s not found\n' % name, log=[])

# --- edits and their commit from copy 1: (old entries or data area, args, new entries or None: no room)
N = ['n=' + V(8180)]
for old, args, new in [
        ('a=1 b=2', '-s c 3', 'a=1 b=2 c=3'), ('a=1 b=2', '-s a 9', 'b=2 a=9'), ('a=1 b=2', ['-s', 'a', ''], 'b=2 a='),
        ('a=1 b=2', '-d a', 'b=2'), ('a=1 b=2', '-d zz', 'a=1 b=2'), ('a=1 b=2 a=3', '-d a', 'b=2'), ('a=1 b=2 a=3', '-s a 4', 'b=2 a=4'),
        ('ipaddr=1', '-s ip x', 'ipaddr=1 ip=x'), ('ipaddr=1', '-d ip', 'ipaddr=1'), ('a=1', ['-s', 'b', 'x y=z'], ['a=1', 'b=x y=z']),
        ('b=2 x=0', '-S a=1 b c=', 'x=0 a=1 c='), ('a=0', '-S a=1 a=2', 'a=2'), ('b=1', '-S x=1 x', 'b=1'), ('', '-S k=v=w =e', 'k=v=w =e'),
        ('', ['-s', 'n', V(8183)], ['n=' + V(8183)]), ('', ['-s', 'n', V(8184)], None), ('', ['-s', V(8184), ''], [V(8184) + '=']),
        ('', ['-s', V(8185), ''], None), ('', ['-S', 'n=' + V(8184)], None), ('a=1', ['-S', 'b=2', 'n=' + V(8184), 'c=3'], None),
        (N, ['-s', 'n', V(8183, 'w')], ['n=' + V(8183, 'w')]), (N, '-s m x', None), (N, ['-s', 'm', ''], N + ['m=']),
        (['a=1', 'n=' + V(8176)], '-S n b=2', 'a=1 b=2'), (b'a=1\0\0b=2\0' + bytes(100), '-s c 3', 'a=1 c=3'),
        (NOTERM, '-d z', 'a=1'), (NOTERM, '-d a', ['z=' + Y])]:
    args, m1 = args.split() if isinstance(args, str) else args, image(old)
    if new is None:
        bad = args[1] + '=' + args[2] if args[0] == '-s' else max(args[1:], key=len)
        case('edit without room', args, m1, SPARE, status=1, err='could not set %s\n' % bad, log=[])
    else:
        case('edit', args, m1, SPARE, f1=flagged(m1, 0), f2=committed(SPARE, new), log=LOG12)

# --- a commit from copy 2 to copy 1 and one back, on 128 KiB partitions: only the first erase block is erased
B1, B2 = image('q=7', flag=0, size=2 * PART, fill=b'\xa5'), image('a=1', size=2 * PART, fill=b'\x3c')
case('commit 2->1', '-S b=1 c=2 d=3 a e=5'.split(), B1, B2, f1=committed(B1, 'b=1 c=2 d=3 e=5'), f2=flagged(B2, 0), log=LOG21)
case('commit 1->2', ['-s', 'f', '6'], f1=flagged(committed(B1, 'b=1 c=2 d=3 e=5'), 0),
     f2=committed(flagged(B2, 0), 'b=1 c=2 d=3 e=5 f=6'), log=LOG12, keep=True)

# --- each failing step of a commit to mtd2: (simulator, messages, mtd2 after); the old copy stays active
A1, NEW = image('a=1 b=2'), committed(SPARE, 'b=2 a=9')
for sim, msg, f2 in [
        ({'FAIL_OPEN': 'mtd2:2:EACCES'}, 'set_uboot_env_var: Could not open env flash device...\n', SAME),
        ({'FAIL_IOCTL': 'REGIONCOUNT:EIO'}, 'ubootenv: ioctl() MEMGETREGIONCOUNT failed: %s\n' % EIO + ERASE_FAIL, SAME),
        ({'REGIONS': 2}, 'ubootenv: Flash erase failed - region spans sectors.\n' + ERASE_FAIL, SAME),
        ({'FAIL_IOCTL': 'GETINFO:ENOTTY'}, 'ubootenv: ioctl() MEMGETINFO failed: Inappropriate ioctl for device\n' + ERASE_FAIL, SAME),
        ({'FAIL_IOCTL': 'ERASE:EIO'}, 'ubootenv: ioctl() MEMERASE failed: %s\n' % EIO + ERASE_FAIL, SAME),
        ({'FAIL_WRITE': 'mtd2:1'}, WRITE_NEW, b'\xff' * PART), ({'SHORT_WRITE': 'mtd2:1:0'}, WRITE_NEW, b'\xff' * PART),
        ({'SHORT_WRITE': 'mtd2:1:100,mtd2:2:0'}, WRITE_NEW, NEW[:100] + b'\xff' * (PART - 100)),
        ({'FAIL_OPEN': 'mtd1:2:EACCES'}, 'set_uboot_env_var: Could not open old env flash device...\n', NEW),
        ({'FAIL_WRITE': 'mtd1:1'}, WRITE_OLD, NEW), ({'SHORT_WRITE': 'mtd1:1:0'}, WRITE_OLD, NEW)]:
    case('commit failure', ['-s', 'a', '9'], A1, SPARE, sim, status=1, err=msg + 'could not write env for set a=9\n', f2=f2)
case('commit failure', ['-d', 'a'], A1, SPARE, {'FAIL_OPEN': 'mtd2:2:EACCES'}, status=1,
     err='set_uboot_env_var: Could not open env flash device...\ncould not write env for delete a\n')
case('commit failure', ['-S', 'a=9'], A1, SPARE, {'FAIL_WRITE': 'mtd1:1'}, status=1, err=WRITE_OLD + 'could not save updated environment\n', f2=NEW)
case('commit failure 2->1', ['-s', 'a', '9'], SPARE, A1, {'FAIL_WRITE': 'mtd2:1'}, status=1,
     err=WRITE_OLD + 'could not write env for set a=9\n', f1=NEW, log=LOG21)

# --- erase blocks: the smallest whole number of blocks that holds the image (None: it does not fit)
for es, size, erase in [(4096, PART, 8192), (3072, 3072 * 8, 9216), (16384, 16384, 16384), (0, PART, None), (131072, PART, None), (5000, 8192, None)]:
    m1, m2 = image('x=1', size=size), image('x=2', flag=0, size=size, fill=b'\x11')
    if erase:
        case('erase block %d' % es, ['-s', 'n', '1'], m1, m2, {'ERASESIZE': es}, f1=flagged(m1, 0), f2=committed(m2, 'x=1 n=1', erase),
             log=['erase mtd2 0 %d' % erase, 'write mtd2 0 8192', 'write mtd1 4 1'])
    else:
        case('erase block %d' % es, ['-s', 'n', '1'], m1, m2, {'ERASESIZE': es}, status=1,
             err=NOFIT + ERASE_FAIL + 'could not write env for set n=1\n', log=[])
# short counts of the image write are continued until all of it is written
for sim, writes in [('mtd2:1:100', [(0, 8192), (100, 8092)]), ('mtd2:1:1,mtd2:2:8190', [(0, 8192), (1, 8191), (8191, 1)])]:
    case('short write', ['-s', 'a', '9'], A1, SPARE, {'SHORT_WRITE': sim}, f1=flagged(A1, 0), f2=NEW,
         log=['erase mtd2 0 65536'] + ['write mtd2 %d %d' % w for w in writes] + ['write mtd1 4 1'])

# --- the lock: edits of distinct names started at once all succeed and all land (the image written one byte per
# call, so that each commit takes long enough for unlocked edits to overlap)
seed(image('base=1'), image('', flag=0))
results = [p.communicate() + (p.returncode,) for p in [spawn(['-s', 'k%d' % i, str(i)], {'SHORT_WRITE': '*:*:1'}) for i in range(8)]]
r = run(['-g'], keep=True)
report('lock: 8 edits at once', [d for d in (diff('results', results, [(b'', b'', 0)] * 8), diff(
    'listing', sorted(r.out.split()), sorted(['base=1'] + ['k%d=%d' % (i, i) for i in range(8)]))) if d])
for w in workers:
    join(w)
finish()
