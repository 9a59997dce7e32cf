"""End-to-end harness: runs the real binary inside tools/sandbox, where /dev/mtd1 and /dev/mtd2 are this
namespace's files, with the flash simulator preloaded (tools/flashsim.cpp lists its FLASHSIM_* settings).
Environment: PELVANOR (binary), FLASHSIM (preload path, may hold a literal $LIB), EMULATOR (e.g. "qemu-ppc
-L /usr/powerpc-linux-gnu"; empty natively), POWERCUT ("reduced" for a subset of the cut points)."""
import os, re, subprocess, sys, zlib
from pathlib import Path
from types import SimpleNamespace

ENV_SIZE, PART = 8192, 65536
PEL, EMU = os.environ['PELVANOR'], os.environ.get('EMULATOR', '').split()
PRELOAD = os.environ['FLASHSIM']
DEVS, LOG = ('/dev/mtd1', '/dev/mtd2'), '/dev/flashsim.log'
SAME = object()  # expected flash: unchanged by the run
passed = failed = 0


def image(entries='', flag=1, bad_crc=False, size=PART, fill=b'\xff'):
    """A partition: the 8192-byte image of entries (a list, a str split at blanks, or bytes: the data area
    itself), then fill up to size (cut at size when that is shorter than an image)."""
    data = entries if isinstance(entries, bytes) else b''.join(
        e.encode() + b'\0' for e in (entries.split() if isinstance(entries, str) else entries)) + b'\0'
    data = data.ljust(ENV_SIZE - 5, b'\xff')
    return ((zlib.crc32(data) ^ bad_crc).to_bytes(4, 'big') + bytes([flag]) + data + fill * size)[:size]


def flagged(part, flag):  # the same partition with another flag byte
    return part[:4] + bytes([flag]) + part[5:]


def committed(part, entries, erase=PART):  # the new partition after a commit: erase bytes erased, image active
    return image(entries, size=erase) + part[erase:]


def seed(m1, m2):  # writes both devices (None: no such device)
    for dev, content in zip(DEVS, (m1, m2)):
        if content is not None:
            Path(dev).write_bytes(content)
        elif os.path.lexists(dev):
            os.unlink(dev)


def slurp(path):
    return Path(path).read_bytes() if os.path.exists(path) else None


def spawn(args, sim=None):
    """Starts the binary with the simulator and its settings (dict of FLASHSIM_* without the prefix)."""
    env = {k: v for k, v in os.environ.items() if not k.startswith('FLASHSIM')}
    env.update({'FLASHSIM_' + k: str(v) for k, v in (sim or {}).items()}, FLASHSIM_LOG=LOG)
    env.update({'QEMU_SET_ENV': 'LD_PRELOAD=' + PRELOAD} if EMU else {'LD_PRELOAD': PRELOAD})
    return subprocess.Popen(EMU + [PEL] + list(args), env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def run(args, m1=None, m2=None, sim=None, keep=False):
    """Seeds the devices unless keep, runs the binary: status, out, err, both devices and the op log."""
    if not keep:
        seed(m1, m2)
    Path(LOG).unlink(missing_ok=True)
    p = spawn(args, sim)
    out, err = (s.decode('latin-1') for s in p.communicate())
    return SimpleNamespace(status=p.returncode, out=out, err=err, m1=slurp(DEVS[0]), m2=slurp(DEVS[1]),
                           log=(slurp(LOG) or b'').decode().splitlines())


def diff(label, got, want):
    if got == want:
        return None
    if isinstance(got, bytes) and isinstance(want, bytes) and len(got) == len(want):
        i = next(i for i in range(len(got)) if got[i] != want[i])
        return '%s differs first at offset %d: %r, want %r' % (label, i, got[i:i + 16], want[i:i + 16])
    short = lambda v: repr(v)[:200] + (' (length %d)' % len(v) if isinstance(v, (bytes, str)) else '')
    return '%s: got %s\n       want %s' % (label, short(got), short(want))


def report(name, problems):
    global passed, failed
    if problems:
        print('FAIL %s\n     %s' % (name, '\n     '.join(problems)))
    passed, failed = passed + (not problems), failed + bool(problems)
    return not problems


def case(name, args, m1=None, m2=None, sim=None, status=0, out='', err='', f1=SAME, f2=SAME, log=None, keep=False):
    """Runs one scenario (keep: on the devices as they are) and compares status, output, both devices
    (by default unchanged by the run) and the op log (None: not compared)."""
    before = (slurp(DEVS[0]), slurp(DEVS[1])) if keep else (m1, m2)
    r = run(args, m1, m2, sim, keep)
    want = (('status', r.status, status), ('stdout', r.out, out), ('stderr', r.err, err), ('op log', r.log, log),
            ('mtd1', r.m1, before[0] if f1 is SAME else f1), ('mtd2', r.m2, before[1] if f2 is SAME else f2))
    return report('%s: pelvanor %s' % (name, ' '.join(map(repr, args))[:200]),
                  [d for label, got, exp in want if exp is not None for d in [diff(label, got, exp)] if d])


def background(*args):
    """Runs this script with args in a mount namespace with a /dev of its own (null, zero, urandom on a
    tmpfs), so that it works on devices of its own next to the caller; join() adds up its results."""
    sh = 'mount -t tmpfs tmpfs /dev && for d in null:3 zero:5 urandom:9; do mknod -m 666 /dev/${d%:*} c 1 ${d#*:}; done'
    return subprocess.Popen(['unshare', '--mount', '--propagation', 'private', '--', 'sh', '-ec', sh + '; exec "$@"', 'sh',
                             sys.executable, os.path.abspath(sys.argv[0])] + list(args), stdout=subprocess.PIPE, text=True)


def join(p):
    global passed, failed
    out = p.communicate()[0]
    m = re.search(r'^(\d+) passed, (\d+) failed\n\Z', out, re.M)
    print(out[:m.start()] if m else out, end='')
    if m:
        passed, failed = passed + int(m[1]), failed + int(m[2])
    else:
        report('background run %s' % p.args[-1], ['status %s, no result line' % p.returncode])


def finish():
    print('%d passed, %d failed' % (passed, failed))
    sys.exit(1 if failed else 0)
