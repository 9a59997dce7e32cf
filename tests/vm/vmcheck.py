#!/usr/bin/env python3
"""pelvanor on the kernel's MTD driver (block2mtd, mtdram): vmcheck.py prepare|check WORK, run by tools/vm/run-stage.
A host model follows each flash pair and builds every committed image itself (entries, 0xFF fill, big-endian CRC-32
by zlib): after each step both partitions must match it byte for byte (new copy flag 1, erased blocks 0xFF, old copy
changed only in its flag byte, now 0) and the kernel must have seen exactly the expected erase and write requests."""
import os, re, struct, sys, zlib
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../tools/vm"))
import vmrun  # noqa: E402

ENV = 8192
E1, E2 = (f"read_uboot_env: Could not open env{n} flash device...\n" for n in ("", "2"))
BASE = [("bootcmd", "run boot_flash"), ("bootdelay", "3"), ("ipaddr", "192.168.0.10"), ("empty", "")]
NET = [("use_net_settings", "1"), ("ipaddr", "10.1.2.3"), ("netmask", "255.255.255.0"), ("gatewayip", "10.1.2.1"),
       ("use_dhcp", "0")]
K = 1024
# Flash pairs behind /dev/mtd1 and /dev/mtd2: (driver, erase size, size, seeded (entries, flag) or None: filler only).
PAIRS = {"e64": (("b2m", 64 * K, 128 * K, (BASE, 1)), ("b2m", 64 * K, 128 * K, None)),
         "e4": (("b2m", 4 * K, 16 * K, (BASE, 1)), ("ram", 4 * K, 16 * K, ([("old", "x")], 0))),
         "e128": (("b2m", 128 * K, 256 * K, ([("old", "y")], 0)), ("b2m", 128 * K, 256 * K, (BASE, 1))),
         "net": (("b2m", 64 * K, 128 * K, ([("use_net_settings", "0")], 0)), ("b2m", 64 * K, 128 * K, (NET, 1)))}
ETC = {"stacfg/porteth0.config": "use_dhcp=n\nip_addr={ip}\nsubnet={mask}\n",
       "sysconfig/network": "NETWORKING=yes\nGATEWAY0={gw}\nHOSTNAME=dev\n",
       "sysconfig/netscripts/ifcfg-eth0":
           "DEVICE=eth0\nIPADDR={ip}\nNETMASK={mask}\nBROADCAST={bc}\nNETWORK={net}\nONBOOT=yes\n"}
OLDNET = dict(ip="192.168.0.10", mask="255.255.0.0", gw="192.168.0.1", bc="192.168.255.255", net="192.168.0.0")
NEWNET = dict(ip="10.1.2.3", mask="255.255.255.0", gw="10.1.2.1", bc="10.1.2.255", net="10.1.2.0")
NETOUT = "gateway ip: 10.1.2.1\nnetmask: 255.255.255.0\nipaddr: 10.1.2.3\nuse_dhcp: 0\nNetwork settings updated...\n"
LIST, RW, NO2, NO1, RO2, RO1 = None, ("rw", "rw"), ("rw", "-"), ("-", "rw"), ("rw", "ro"), ("ro", "rw")
# (pair, nodes of /dev/mtd1 and /dev/mtd2: rw, ro (kernel's read-only node), - (none); arguments, status, stdout
# (LIST: the model's listing), stderr, commits). The four e64 commits must alternate between the copies.
STEPS = [("e64", RW, "-g", 0, LIST, "", 0), ("e64", RW, "-g bootdelay", 0, "3\n", "", 0),
         ("e64", RW, "-s bootdelay 5", 0, "", "", 1), ("e64", RW, "-S a=1 ipaddr c= eq=x=y a=2", 0, "", "", 1),
         ("e64", RW, "-d bootcmd", 0, "", "", 1), ("e64", RW, "-s bootdelay 7", 0, "", "", 1),
         ("e64", RW, "-g", 0, LIST, "", 0),
         ("e64", NO2, "-g bootdelay", 1, "", E2 + "bootdelay not found\n", 0),
         ("e64", NO2, "-s k v", 1, "", E2 + "could not set k=v\n", 0), ("e64", NO1, "-g", 0, "", E1, 0),
         ("e64", RO2, "-g", 0, "", E2, 0), ("e64", RO2, "-d bootdelay", 1, "", E2 + "could not delete bootdelay\n", 0),
         ("e64", RO1, "-s k v", 1, "", E1 + "could not set k=v\n", 0),
         ("e4", RW, "-s bootdelay 0", 0, "", "", 1), ("e4", RW, "-S x=1 y=2 big=" + "v" * 4000, 0, "", "", 1),
         ("e4", RW, "-d x", 0, "", "", 1), ("e4", RW, "-g", 0, LIST, "", 0),
         ("e128", RW, "-s bootdelay 9", 0, "", "", 1), ("e128", RW, "-S x=1 y=2", 0, "", "", 1),
         ("e128", RW, "-g", 0, LIST, "", 0), ("net", RW, "", 0, NETOUT, "", 1)]
# Erase requests and writes on the flash devices in a strace -y log: (call, device, [start, length,] size, answer).
REQ = re.compile(r'^(ioctl|write)\(\d+<(/dev/mtd\d)>, (?:.*MEMERASE, \{start=(\w+), length=(\w+)\}|""\.*, (\d+))\)'
                 r' += (-?\d+)', re.M)


def image(entries, flag):
    data = b"".join(f"{n}={v}\0".encode() for n, v in entries) + b"\0"
    data += b"\xff" * (ENV - 5 - len(data))
    return struct.pack(">IB", zlib.crc32(data), flag) + data


def initial(pair):  # distinct filler (never 0xFF) behind each seeded image
    return [((image(*seed) if seed else b"") + bytes((i * 7 + k * 17 + (i >> 12)) % 255 for i in range(size)))[:size]
            for k, (_, _, size, seed) in enumerate(PAIRS[pair])]


def edit(entries, args):  # each edit drops every entry of the name and appends the new value, if any, at the end
    ops = [a.split("=", 1) for a in args[1:]] if args[:1] == ["-S"] else [args[1:]]
    for name, *value in ops if args else [("use_net_settings", "0")]:  # network apply: the request is done
        entries = [e for e in entries if e[0] != name] + [(name, v) for v in value]
    return entries


def diff(got, want):
    i = next((i for i, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
    return f"from byte {i}: {got[i:i + 32]!r}, expected {want[i:i + 32]!r}"


def check(res):
    """One verdict per step; each step starts from what the guest read after the previous one."""
    model = {p: initial(p) for p in PAIRS}
    active = {p: next(k for k, d in enumerate(PAIRS[p]) if d[3] and d[3][1]) for p in PAIRS}
    entries = {p: PAIRS[p][active[p]][3][0] for p in PAIRS}
    failed = 0
    for i, (pair, nodes, args, rc, out, err, commits) in enumerate(STEPS):
        m, old, new, sid, want_req = model[pair], active[pair], 1 - active[pair], f"s{i:02d}", []
        if commits:
            span = -(-ENV // PAIRS[pair][new][1]) * PAIRS[pair][new][1]  # whole erase blocks holding the image
            entries[pair] = edit(entries[pair], args.split())
            m[new] = image(entries[pair], 1) + b"\xff" * (span - ENV) + m[new][span:]
            m[old] = m[old][:4] + b"\0" + m[old][5:]
            active[pair] = new
            want_req = [("ioctl", f"/dev/mtd{new + 1}", 0, span, 0), ("write", f"/dev/mtd{new + 1}", ENV, ENV),
                        ("write", f"/dev/mtd{old + 1}", 1, 1)]
        listing = "".join(f"{n}={v}\n" for n, v in entries[pair])
        want = {".rc": b"%d\n" % rc, ".out": (listing if out is LIST else out).encode(), ".err": err.encode(),
                ".p1": m[0], ".p2": m[1]}
        want.update({f".etc/{r}": t.format(**(NEWNET if pair == "net" else OLDNET)).encode() for r, t in ETC.items()})
        req = [(c, d, *(int(x, 0) for x in n if x)) for c, d, *n in REQ.findall(res.get(sid + ".trace", b"").decode())]
        bad = [f"{k}: " + diff(res[sid + k], w) if sid + k in res else f"{k}: missing"
               for k, w in want.items() if res.get(sid + k) != w]
        bad += [f"requests {req}, expected {want_req}"] if req != want_req else []
        print(f"{'FAIL' if bad else 'ok  '} {sid} {pair} mtd1={nodes[0]} mtd2={nodes[1]}: pelvanor {args[:40]}")
        print("".join(f"     {b}\n" for b in bad), end="")
        failed += bool(bad)
        m[0], m[1] = res.get(sid + ".p1", m[0]), res.get(sid + ".p2", m[1])
    print(f"{len(STEPS) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    work = sys.argv[2]
    if sys.argv[1] == "prepare":
        pairs = {p: [(drv, es, data) for (drv, es, _, _), data in zip(d, initial(p))] for p, d in PAIRS.items()}
        steps = [(f"s{i:02d}", s[0], s[1], s[2].split()) for i, s in enumerate(STEPS)]
        vmrun.prepare(work, pairs, steps, {r: t.format(**OLDNET) for r, t in ETC.items()})
    else:
        res = vmrun.results(work)
        sys.exit(check(res) if res else print("FAIL the guest left no results\n0 passed, 1 failed") or 1)
