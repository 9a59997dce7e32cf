#!/usr/bin/env python3
"""Scenarios of the MTD test machine and the host-side checks of their results.

  vmcheck.py prepare WORK   seed the flash disks, write WORK/payload/steps.sh
                            and WORK/disks (one "FILE" line per virtio disk)
  vmcheck.py check WORK     read WORK/result.img back and check every step

A host model follows each flash pair: it holds the expected bytes of both
partitions and, for a commit, builds the new image itself (entries, 0xFF
fill, big-endian CRC-32 by zlib), so the guest's copies are compared byte for
byte: the new copy carries flag 1, the old one differs from before only in its
flag byte (now 0), the erased blocks read 0xFF and everything past them is
left as it was.
"""
import os, re, shlex, struct, sys, tarfile, zlib

ENV = 8192
E1 = "read_uboot_env: Could not open env flash device...\n"
E2 = "read_uboot_env: Could not open env2 flash device...\n"

# Flash pairs: (driver, erase size, partition size) of the devices that
# /dev/mtd1 and /dev/mtd2 stand for. The mtdram device is created first, so
# it is mtd0; block2mtd devices follow in disk order.
PAIRS = {
    "e64":  (("b2m", 65536, 131072), ("b2m", 65536, 131072)),
    "e4":   (("b2m", 4096, 16384), ("ram", 4096, 16384)),
    "e128": (("b2m", 131072, 262144), ("b2m", 131072, 262144)),
    "net":  (("b2m", 65536, 131072), ("b2m", 65536, 131072)),
    "short1": (("b2m", 4096, 4096), ("b2m", 4096, 16384)),    # a partition smaller
    "short2": (("b2m", 4096, 16384), ("b2m", 4096, 4096)),    # than the image
}

BASE = [("bootcmd", "run boot_flash"), ("bootdelay", "3"), ("baudrate", "115200"),
        ("ipaddr", "192.168.0.10"), ("ethaddr", "00:11:22:33:44:55"), ("empty", ""),
        ("dup", "first"), ("dupx", "z"), ("dup", "second")]
NETENV = [("bootdelay", "1"), ("use_net_settings", "1"), ("ipaddr", "10.1.2.3"),
          ("netmask", "255.255.255.0"), ("gatewayip", "10.1.2.1"), ("use_dhcp", "0")]
OLDNET = [("bootdelay", "1"), ("use_net_settings", "0")]

# Initial contents: (entries, flag) of an environment image, or None for a
# partition holding only filler (no valid copy).
SEEDS = {
    "e64":  ((BASE, 1), None),
    "e4":   ((BASE, 1), ([("old", "x")], 0)),
    "e128": (([("old", "y")], 0), (BASE, 1)),
    "net":  ((OLDNET, 0), (NETENV, 1)),
    "short1": ((BASE, 1), (BASE, 0)),
    "short2": ((BASE, 1), (BASE, 0)),
}

CFG = {
    "stacfg/porteth0.config": ("use_dhcp=n\nip_addr=192.168.0.10\nsubnet=255.255.0.0\n",
                               "use_dhcp=n\nip_addr=10.1.2.3\nsubnet=255.255.255.0\n"),
    "sysconfig/network": ("NETWORKING=yes\nGATEWAY0=192.168.0.1\nHOSTNAME=dev\n",
                          "NETWORKING=yes\nGATEWAY0=10.1.2.1\nHOSTNAME=dev\n"),
    "sysconfig/netscripts/ifcfg-eth0": (
        "DEVICE=eth0\nIPADDR=192.168.0.10\nNETMASK=255.255.0.0\nBROADCAST=192.168.255.255\n"
        "NETWORK=192.168.0.0\nONBOOT=yes\n",
        "DEVICE=eth0\nIPADDR=10.1.2.3\nNETMASK=255.255.255.0\nBROADCAST=10.1.2.255\n"
        "NETWORK=10.1.2.0\nONBOOT=yes\n"),
}
NETOUT = ("gateway ip: 10.1.2.1\nnetmask: 255.255.255.0\nipaddr: 10.1.2.3\nuse_dhcp: 0\n"
          "Network settings updated...\n")

LIST = object()   # expected standard output: the model's listing
RW = ("rw", "rw")
# Steps: (pair, nodes of /dev/mtd1 and /dev/mtd2, args, status, stdout, stderr,
# commits). Nodes: rw (read-write node), ro (the kernel's read-only node), - (none).
STEPS = [
    ("e64", RW, ["-g"], 0, LIST, "", False),
    ("e64", RW, ["-g", "bootdelay"], 0, "3\n", "", False),
    ("e64", RW, ["-g", "empty"], 0, "\n", "", False),
    ("e64", RW, ["-g", "ip"], 1, "", "ip not found\n", False),
    ("e64", RW, ["-g", "dup"], 0, "first\n", "", False),
    ("e64", RW, ["-s", "bootdelay", "5"], 0, "", "", True),
    ("e64", RW, ["-g", "bootdelay"], 0, "5\n", "", False),
    ("e64", RW, ["-S", "a=1", "dup", "c=", "eq=x=y", "a=2"], 0, "", "", True),
    ("e64", RW, ["-g"], 0, LIST, "", False),
    ("e64", RW, ["-d", "ipaddr"], 0, "", "", True),
    ("e64", RW, ["-d", "nosuch"], 0, "", "", True),
    ("e64", RW, ["-s", "msg", "with spaces"], 0, "", "", True),
    ("e64", RW, ["-g"], 0, LIST, "", False),
    ("e64", ("rw", "-"), ["-g"], 0, "", E2, False),
    ("e64", ("rw", "-"), ["-g", "bootdelay"], 1, "", E2 + "bootdelay not found\n", False),
    ("e64", ("rw", "-"), ["-s", "k", "v"], 1, "", E2 + "could not set k=v\n", False),
    ("e64", ("rw", "-"), ["-S", "a=9", "b"], 1, "", E2 + "could not set a=9\n", False),
    ("e64", ("rw", "-"), [], 0, "", E2, False),
    ("e64", ("rw", "-"), ["-t"], 0, "", E2, False),
    ("e64", ("rw", "-"), ["-m"], 0, "", E2, False),
    ("e64", ("-", "rw"), ["-g"], 0, "", E1, False),
    ("e64", ("rw", "ro"), ["-g"], 0, "", E2, False),
    ("e64", ("rw", "ro"), ["-g", "bootdelay"], 1, "", E2 + "bootdelay not found\n", False),
    ("e64", ("rw", "ro"), ["-s", "k", "v"], 1, "", E2 + "could not set k=v\n", False),
    ("e64", ("rw", "ro"), ["-d", "bootdelay"], 1, "", E2 + "could not delete bootdelay\n", False),
    ("e64", ("rw", "ro"), [], 0, "", E2, False),
    ("e64", ("ro", "rw"), ["-s", "k", "v"], 1, "", E1 + "could not set k=v\n", False),
    ("e64", RW, ["-g", "msg"], 0, "with spaces\n", "", False),
    ("e4", RW, ["-s", "bootdelay", "0"], 0, "", "", True),
    ("e4", RW, ["-S", "x=1", "y=2"], 0, "", "", True),
    ("e4", RW, ["-d", "x"], 0, "", "", True),
    ("e4", RW, ["-s", "big", "v" * 4000], 0, "", "", True),
    ("e4", RW, ["-g"], 0, LIST, "", False),
    ("e128", RW, ["-s", "bootdelay", "9"], 0, "", "", True),
    ("e128", RW, ["-S", "x=1", "y=2"], 0, "", "", True),
    ("e128", RW, ["-d", "x"], 0, "", "", True),
    ("e128", RW, ["-s", "z", "3"], 0, "", "", True),
    ("e128", RW, ["-g"], 0, LIST, "", False),
    ("net", RW, [], 0, NETOUT, "", True),
    ("net", RW, ["-g", "use_net_settings"], 0, "0\n", "", False),
    ("net", RW, [], 0, "", "", False),
    ("short1", RW, ["-g"], 0, "", "read_uboot_env: read(env1) failed: Success\n", False),
    ("short2", RW, ["-g", "bootdelay"], 1, "", "read_uboot_env: read(env2) failed: Success\n"
     "bootdelay not found\n", False),
    ("short2", RW, ["-s", "k", "v"], 1, "", "read_uboot_env: read(env2) failed: Success\n"
     "could not set k=v\n", False),
]

# What the kernel's drivers do with requests the product never makes; the
# stage's design rests on these (run last on the e4 pair, whose steps are
# done). (id, pair, device, action, offset, length, answer, bytes [a, b)
# that read 0xFF afterwards, or the byte expected at offset).
FACTS = [
    ("f0", "e4", 0, "erase", 0, 0x200, "0", None),               # block2mtd: below a page, nothing
    ("f1", "e4", 0, "erase", 0x800, 0x1000, "0", (0, 0x1000)),   # block2mtd: unaligned, whole page
    ("f2", "e4", 1, "erase", 0x2800, 0x1000, "-22", None),        # mtdram: unaligned, EINVAL
    ("f3", "e4", 1, "erase", 0x2000, 0x1000, "0", (0x2000, 0x3000)),
    ("f4", "e4", 0, "overwrite", 0x3005, 0, "0", 0xF0),          # both overwrite, no AND
    ("f5", "e4", 1, "overwrite", 0x3005, 0, "0", 0xF0),
]


def image(entries, flag):
    data = b"".join(f"{n}={v}".encode() + b"\0" for n, v in entries) + b"\0"
    data += b"\xff" * (ENV - 5 - len(data))
    return struct.pack(">I", zlib.crc32(data) & 0xFFFFFFFF) + bytes([flag]) + data


def filler(size, salt):
    return bytes((i * 7 + salt + (i >> 12)) & 0xFF or 1 for i in range(size))


def edit(entries, args):
    """Entries after the edit command ARGS (each edit drops every old entry of
    the name and appends the new one at the end)."""
    ops = {"-s": lambda: [(args[1], args[2])], "-d": lambda: [(args[1], None)],
           "-S": lambda: [tuple(a.split("=", 1)) if "=" in a else (a, None) for a in args[1:]],
           }.get(args[0] if args else None, lambda: [("use_net_settings", "0")])()
    for name, value in ops:
        entries = [e for e in entries if e[0] != name]
        if value is not None:
            entries.append((name, value))
    return entries


def layout():
    """Kernel MTD index and disk name of every device of every pair, and the
    disks in qemu's order."""
    devs, disks = {}, []
    for pair, devices in PAIRS.items():
        for k, (drv, es, size) in enumerate(devices):
            if drv == "ram":
                devs[pair, k] = (0, None)
            else:
                disks.append((pair, k))
                devs[pair, k] = (len(disks), "vd" + chr(ord("a") + len(disks) - 1))
    return devs, disks


def initial(pair):
    out = []
    for k, (drv, es, size) in enumerate(PAIRS[pair]):
        body = filler(size, 17 * k + len(pair))
        seed = SEEDS[pair][k]
        out.append((image(*seed) + body[ENV:])[:size] if seed else body)
    return out


def prepare(work):
    devs, disks = layout()
    os.makedirs(f"{work}/payload/seed", exist_ok=True)
    lines, disklist = [], []
    for pair, devices in PAIRS.items():
        for k, (drv, es, size) in enumerate(devices):
            if drv == "ram":
                lines.append(f"mtdram {size // 1024} {es // 1024}")
                with open(f"{work}/payload/seed/mtd0", "wb") as f:
                    f.write(initial(pair)[k])
    for n, (pair, k) in enumerate(disks):
        disklist.append(f"{work}/disk{n}.img")
        with open(disklist[-1], "wb") as f:
            f.write(initial(pair)[k])
        lines.append(f"attach {devs[pair, k][1]} {PAIRS[pair][k][1]}")
    if any(d[0] == 0 for d in devs.values()):
        lines.append("seed 0 mtd0")
    lines.append("info")
    for rel, (before, _) in CFG.items():
        os.makedirs(os.path.dirname(f"{work}/payload/etc/{rel}"), exist_ok=True)
        with open(f"{work}/payload/etc/{rel}", "w") as f:
            f.write(before)
    lines.append("files")
    for i, (pair, nodes, args, *_r) in enumerate(STEPS):
        a, b = devs[pair, 0][0], devs[pair, 1][0]
        made = [{"rw": str(d), "ro": f"{d}ro", "-": "-"}[m] for d, m in zip((a, b), nodes)]
        lines.append(f"use {a} {b} {made[0]} {made[1]}")
        run = "run_traced" if STEPS[i][6] else "run"   # commits: erase requests are checked
        lines.append(" ".join([run, f"s{i:02d}"] + [shlex.quote(x) for x in args]))
    for fid, pair, k, action, off, length, *_r in FACTS:
        lines.append(f"{action} {fid} {devs[pair, k][0]} {off}" + (f" {length}" if action == "erase" else ""))
    disklist.append(f"{work}/result.img")
    with open(disklist[-1], "wb") as f:
        f.truncate(32 << 20)
    lines.append("finish vd" + chr(ord("a") + len(disklist) - 1))
    with open(f"{work}/payload/steps.sh", "w") as f:
        f.write("\n".join(lines) + "\n")
    with open(f"{work}/disks", "w") as f:
        f.write("\n".join(disklist) + "\n")


def requests(trace):
    """From a strace log: the MEMERASE requests as (device path, start,
    length, result) and the writes to MTD devices as (path, result)."""
    fds, erases, writes = {}, [], []
    for line in trace.splitlines():
        m = re.match(r'open(?:at)?\((?:AT_FDCWD, )?"([^"]+)".*\)\s+= (\d+)', line)
        if m:
            fds[m.group(2)] = m.group(1)
        m = re.match(r"ioctl\((\d+), [^,]*MEMERASE, \{start=(\w+), length=(\w+)\}\)\s+= (-?\d+)", line)
        if m:
            erases.append((fds.get(m.group(1), "?"), int(m.group(2), 0), int(m.group(3), 0), int(m.group(4))))
        m = re.match(r"write\((\d+), .*\)\s+= (-?\d+)", line)
        if m and fds.get(m.group(1), "").startswith("/dev/mtd"):
            writes.append((fds[m.group(1)], int(m.group(2))))
    return erases, writes


def first_diff(got, want):
    if len(got) != len(want):
        return f"size {len(got)}, expected {len(want)}"
    i = next(i for i in range(len(got)) if got[i] != want[i])
    return f"offset {i}: {got[i]:#04x}, expected {want[i]:#04x}"


def active_seed(pair):
    return [s is not None and s[1] == 1 for s in SEEDS[pair]].index(True)


def check(work):
    try:
        with tarfile.open(f"{work}/result.img") as t:
            res = {os.path.normpath(m.name): t.extractfile(m).read() for m in t.getmembers() if m.isfile()}
    except (OSError, tarfile.TarError) as e:
        print(f"FAIL the guest left no results: {e}\n0 passed, 1 failed")
        return 1
    devs, disks = layout()
    passed, failed = 0, 0

    def verdict(name, problems):
        nonlocal passed, failed
        passed, failed = passed + (not problems), failed + bool(problems)
        print(f"{'FAIL' if problems else 'ok  '} {name}")
        for p in problems:
            print(f"     {p}")

    # The kernel's view of each device: driver type, erase size, size.
    info = {int(l.split()[0][3:]): l.split() for l in res.get("mtdinfo", b"").decode().splitlines()}
    for (pair, k), (idx, disk) in sorted(devs.items(), key=lambda x: x[1][0]):
        drv, es, size = PAIRS[pair][k]
        got = info.get(idx, [])[1:4]
        verdict(f"mtd{idx} ({pair}, {drv}): type ram, erase size {es}, size {size}",
                [] if got == ["ram", str(es), str(size)] else [f"sysfs says {got}"])

    # Each step starts from what the guest read after the previous one, so a
    # fault shows at the step that made it.
    model = {p: initial(p) for p in PAIRS}
    entries = {p: SEEDS[p][active_seed(p)][0] for p in PAIRS}
    active = {p: active_seed(p) for p in PAIRS}
    history = {p: [] for p in PAIRS}
    for i, (pair, nodes, args, rc, out, err, commits) in enumerate(STEPS):
        sid, probs = f"s{i:02d}", []
        name = f"{sid} {pair} mtd1={nodes[0]} mtd2={nodes[1]}: pelvanor {' '.join(args)[:50]}"
        if f"{sid}.rc" not in res:
            verdict(name, ["step did not run"])
            continue
        es = PAIRS[pair][1 - active[pair]][1]
        span = -(-ENV // es) * es          # whole erase blocks holding the image
        if commits:
            new = 1 - active[pair]
            entries[pair] = edit(entries[pair], args)
            part = model[pair][new]
            model[pair][new] = image(entries[pair], 1) + b"\xff" * (span - ENV) + part[span:]
            old = model[pair][active[pair]]
            model[pair][active[pair]] = old[:4] + b"\0" + old[5:]
            active[pair] = new
            history[pair].append(new)
        want_out = "".join(f"{n}={v}\n" for n, v in entries[pair]) if out is LIST else out
        got_rc = int(res[f"{sid}.rc"])
        if got_rc != rc:
            probs.append(f"status {got_rc}, expected {rc}")
        for stream, want in (("out", want_out), ("err", err)):
            got = res.get(f"{sid}.{stream}", b"").decode(errors="replace")
            if got != want:
                probs.append(f"std{stream} {got[:200]!r}, expected {want[:200]!r}")
        for k in (0, 1):
            got = res.get(f"{sid}.p{k + 1}")
            role = ("new" if k == active[pair] else "old") if commits else "unchanged"
            if got is None:
                probs.append(f"partition {k + 1} was not saved")
            elif got != model[pair][k]:
                probs.append(f"partition {k + 1} ({role}): {first_diff(got, model[pair][k])}")
            model[pair][k] = model[pair][k] if got is None else got
        erases, writes = requests(res.get(f"{sid}.trace", b"").decode(errors="replace"))
        if commits:
            target, end = f"/dev/mtd{active[pair] + 1}", 0
            for s, e in sorted((s, s + n) for p, s, n, r in erases):
                end = e if s == end else -1
            if end != span or any(p != target or r != 0 for p, s, n, r in erases):
                probs.append(f"erase requests {erases}, expected [0, {span}) of {target} only")
            other = f"/dev/mtd{2 - active[pair]}"
            if writes != [(target, ENV), (other, 1)]:
                probs.append(f"writes {writes}, expected {ENV} bytes to {target}, then 1 to {other}")
        verdict(name, probs)

    for pair, seq in history.items():
        if not any(s[0] == pair and s[6] for s in STEPS):
            continue
        alternates = all(a != b for a, b in zip([active_seed(pair)] + seq, seq))
        verdict(f"{pair}: the active copy alternates over {len(seq)} commits",
                [] if alternates and len(seq) >= (1 if pair == "net" else 4) else [f"copies {seq}"])

    net = next(i for i, s in enumerate(STEPS) if s[0] == "net" and s[6])
    probs = []
    for rel, (_, after) in CFG.items():
        got = res.get(f"s{net:02d}.etc/{os.path.basename(rel)}", b"").decode(errors="replace")
        if got != after:
            probs.append(f"/etc/{rel}: {got!r}, expected {after!r}")
    verdict("network apply: configuration files patched", probs)

    for fid, pair, k, action, off, length, answer, effect in FACTS:
        before, after = res.get(f"{fid}.before", b""), res.get(f"{fid}.after", b"")
        got = res.get(f"{fid}.rc", b"").decode().strip()
        if action == "erase":
            a, b = effect or (0, 0)
            want = before[:a] + b"\xff" * (b - a) + before[b:]
            blank = set(before[off:off + length]) <= {0xFF}   # an erase would not show
            what = f"0xFF at [{a:#x}, {b:#x})" if effect else "nothing erased"
        else:
            want = before[:off] + bytes([effect]) + before[off + 1:]
            blank = before[off:off + 1] == bytes([effect])
            what = f"byte {effect:#x}"
        probs = [] if got == answer else [f"answer {got!r}, expected {answer!r}"]
        if not before or blank:
            probs.append("the area held nothing that a change would show")
        elif after != want:
            probs.append("contents: " + first_diff(after, want))
        verdict(f"{fid} {PAIRS[pair][k][0]} {action} at {off:#x} length {length:#x}: answer {answer}, {what}", probs)
        model[pair][k] = after or model[pair][k]

    # block2mtd wrote through to the disks: each holds what the guest last read.
    for n, (pair, k) in enumerate(disks):
        with open(f"{work}/disk{n}.img", "rb") as f:
            got = f.read()
        verdict(f"disk{n} ({pair} partition {k + 1}) holds the final flash contents",
                [] if got == model[pair][k] else [first_diff(got, model[pair][k])])

    up = res.get("uptime", b"?").decode().strip()
    start = res.get("uptime.start", b"?").decode().strip()
    mem = res.get("mem", b"? ?").decode().split()
    print(f"guest: scenario from {start}s to {up}s after boot, memory {mem[0]} KiB, {mem[-1]} KiB used")
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("prepare", "check"):
        sys.exit(__doc__)
    sys.exit(prepare(sys.argv[2]) if sys.argv[1] == "prepare" else check(sys.argv[2]))
