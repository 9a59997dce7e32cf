"""End-to-end harness: runs the real binary inside tools/sandbox, where
/dev/mtd1 and /dev/mtd2 are this namespace's files, with the flash simulator
preloaded (see tools/flashsim.cpp for its FLASHSIM_* settings).

Environment: PELVANOR (binary), FLASHSIM (preload path, may hold a literal
$LIB), EMULATOR (e.g. "qemu-ppc -L /usr/powerpc-linux-gnu"; empty natively),
PRELOAD_FIRST (libraries preloaded before the simulator, e.g. a sanitizer
runtime), POWERCUT ("reduced" for a subset of the cut points)."""
import os, re, stat, subprocess, sys, zlib

ENV_SIZE, PART = 8192, 65536
PEL = os.environ['PELVANOR']
EMU = os.environ.get('EMULATOR', '').split()
PRELOAD = ':'.join(p for p in (os.environ.get('PRELOAD_FIRST', ''), os.environ['FLASHSIM']) if p)
DEVS = ('/dev/mtd1', '/dev/mtd2')
LOG = '/dev/flashsim.log'
SAME = object()  # expected flash: unchanged by the run


def image(entries='', flag=1, bad_crc=False, end=True, data=None, size=PART, fill=b'\xff'):
    """A partition: an 8192-byte image (entries: list, or a str split at
    blanks; data: raw data area instead) followed by fill up to size."""
    if data is None:
        items = entries.split() if isinstance(entries, str) else entries
        data = b''.join(e.encode() + b'\0' for e in items) + (b'\0' if end else b'')
    assert len(data) <= ENV_SIZE - 5
    data = data.ljust(ENV_SIZE - 5, b'\xff')
    crc = zlib.crc32(data) ^ (1 if bad_crc else 0)
    img = crc.to_bytes(4, 'big') + bytes([flag]) + data
    return img + (fill * size)[:size - ENV_SIZE] if size >= ENV_SIZE else img[:size]


def flagged(part, flag):
    """The same partition with another flag byte."""
    return part[:4] + bytes([flag]) + part[5:]


def committed(part, new_entries, erase=PART):
    """What a commit leaves in the new partition: its first erase bytes
    erased, then the new image marked active."""
    return image(new_entries, size=erase) + part[erase:]


class Result:
    def __init__(self, p, m1, m2, log):
        self.status, self.out, self.err = p.returncode, p.stdout.decode('latin-1'), p.stderr.decode('latin-1')
        self.m1, self.m2, self.log = m1, m2, log


def seed(m1, m2):
    for dev, content in zip(DEVS, (m1, m2)):
        if content is None:
            if os.path.lexists(dev):
                os.unlink(dev)
        else:
            with open(dev, 'wb') as f:
                f.write(content)


def slurp(path):
    try:
        with open(path, 'rb') as f:
            return f.read()
    except OSError:
        return None


def spawn(args, sim=None, **kw):
    """Starts the binary with the simulator and its settings (dict)."""
    env = {k: v for k, v in os.environ.items() if not k.startswith('FLASHSIM')}
    env.update({'FLASHSIM_' + k: str(v) for k, v in (sim or {}).items()}, FLASHSIM_LOG=LOG)
    if EMU:
        env['QEMU_SET_ENV'] = 'LD_PRELOAD=' + PRELOAD
    else:
        env['LD_PRELOAD'] = PRELOAD
    return subprocess.Popen(EMU + [PEL] + list(args), env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw)


def run(args, m1=None, m2=None, sim=None, keep=False):
    """Seeds both devices (None: no such device) unless keep, runs the binary
    with args, and returns status, out, err, both devices and the op log."""
    if not keep:
        seed(m1, m2)
    if os.path.exists(LOG):
        os.unlink(LOG)
    p = spawn(args, sim)
    out, err = p.communicate()
    p.stdout, p.stderr = out, err
    log = slurp(LOG)
    return Result(p, slurp(DEVS[0]), slurp(DEVS[1]), log.decode().splitlines() if log else [])


passed, failed = 0, 0


def short(v):
    if isinstance(v, bytes) and len(v) > 80:
        return 'bytes[%d] %r...' % (len(v), v[:48])
    s = repr(v)
    return s if len(s) < 300 else s[:300] + '...'


def report(name, problems):
    global passed, failed
    if problems:
        failed += 1
        print('FAIL %s' % name)
        for p in problems:
            print('     ' + p)
    else:
        passed += 1
    return not problems


def diff(label, got, want):
    if got == want:
        return None
    if isinstance(got, bytes) and isinstance(want, bytes):
        if len(got) != len(want):
            return '%s: %d bytes, want %d' % (label, len(got), len(want))
        i = next(i for i in range(len(got)) if got[i] != want[i])
        return '%s differs first at offset %d: %r, want %r' % (label, i, got[i:i + 16], want[i:i + 16])
    return '%s: got %s\n       want %s' % (label, short(got), short(want))


def case(name, args, m1=None, m2=None, sim=None, status=None, out=None, err=None,
         f1=SAME, f2=SAME, log=None, keep=False):
    """Runs one scenario and compares whatever is expected (None: not checked;
    f1/f2 default to the devices being unchanged)."""
    before = (slurp(DEVS[0]), slurp(DEVS[1])) if keep else (m1, m2)
    r = run(args, m1, m2, sim, keep)
    want = (('status', r.status, status), ('stdout', r.out, out), ('stderr', r.err, err),
            ('mtd1', r.m1, before[0] if f1 is SAME else f1),
            ('mtd2', r.m2, before[1] if f2 is SAME else f2), ('op log', r.log, log))
    problems = [d for label, got, exp in want if exp is not None for d in [diff(label, got, exp)] if d]
    report('%s: pelvanor %s' % (name, ' '.join(map(repr, args))), problems)
    return r


def check(name, ok, detail=''):
    return report(name, [] if ok else [detail or 'condition false'])


def private_devices():
    """Gives this process a /dev of its own (in its private mount namespace):
    a tmpfs with null, zero and urandom, for the devices and the log."""
    subprocess.run(['mount', '-t', 'tmpfs', '-o', 'mode=755', 'tmpfs', '/dev'], check=True)
    for name, minor in (('null', 3), ('zero', 5), ('urandom', 9)):
        os.mknod('/dev/' + name, stat.S_IFCHR, os.makedev(1, minor))
        os.chmod('/dev/' + name, 0o666)


def background(*args):
    """Runs this script with args in a mount namespace of its own, next to
    the caller (it calls private_devices); join() collects its results."""
    return subprocess.Popen(['unshare', '--mount', '--propagation', 'private', '--', sys.executable,
                             os.path.abspath(sys.argv[0])] + list(args), stdout=subprocess.PIPE, text=True)


def join(p):
    global passed, failed
    lines = p.communicate()[0].splitlines()
    m = re.fullmatch(r'(\d+) passed, (\d+) failed', lines[-1]) if lines else None
    for line in lines[:-1] if m else lines:
        print(line)
    if m:
        passed, failed = passed + int(m[1]), failed + int(m[2])
    else:
        report('background run %s' % ' '.join(p.args[-2:]), ['status %s, no result line' % p.returncode])


def finish():
    print('%d passed, %d failed' % (passed, failed))
    sys.exit(1 if failed else 0)
