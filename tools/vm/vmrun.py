"""Runner side of the MTD test machine, used by the scenario in tests/vm: lays
the flash devices out (block2mtd over virtio disks, at most one mtdram
device), writes the guest's step list and reads the guest's results back."""
import os
import shlex
import tarfile


def prepare(work, pairs, steps, etc):
    """pairs: {name: two (driver "b2m" or "ram", erase size, initial bytes)},
    the devices behind /dev/mtd1 and /dev/mtd2.
    steps: (id, pair, (node of /dev/mtd1, node of /dev/mtd2), arguments), a
    node being "rw" (read-write), "ro" (the kernel's read-only node) or "-"
    (no node). etc: {path under /etc: contents} laid out before the steps.
    Writes WORK/payload (steps.sh, seed/, etc/) and WORK/disks, the virtio
    disk images in qemu's order; the last one takes the results."""
    os.makedirs(f"{work}/payload/seed", exist_ok=True)
    for rel, text in etc.items():
        os.makedirs(os.path.dirname(f"{work}/payload/etc/{rel}"), exist_ok=True)
        with open(f"{work}/payload/etc/{rel}", "w") as f:
            f.write(text)
    # The mtdram device is created first, so it is mtd0; block2mtd devices
    # follow in disk order.
    ram = int(any(d[0] == "ram" for devices in pairs.values() for d in devices))
    head, lines, disks, index = [], ["files"], [], {}
    for pair, devices in pairs.items():
        for k, (driver, erase, data) in enumerate(devices):
            if driver == "ram":
                index[pair, k] = 0
                head.insert(0, f"mtdram {len(data) >> 10} {erase >> 10}")
                lines.append("seed 0")
                name = f"{work}/payload/seed/mtd0"
            else:
                disks.append(f"{work}/disk{len(disks)}.img")
                index[pair, k] = len(disks) - 1 + ram
                head.append(f"attach vd{chr(ord('a') + len(disks) - 1)} {erase}")
                name = disks[-1]
            with open(name, "wb") as f:
                f.write(data)
    for sid, pair, nodes, args in steps:
        a, b = index[pair, 0], index[pair, 1]
        made = [{"rw": str(d), "ro": f"{d}ro", "-": "-"}[m] for d, m in zip((a, b), nodes)]
        lines.append(f"use {a} {b} {made[0]} {made[1]}")
        lines.append(" ".join(["run", sid] + [shlex.quote(x) for x in args]))
    disks.append(f"{work}/result.img")
    with open(disks[-1], "wb") as f:
        f.truncate(32 << 20)
    lines.append(f"finish vd{chr(ord('a') + len(disks) - 1)}")
    with open(f"{work}/payload/steps.sh", "w") as f:
        f.write("\n".join(head + lines) + "\n")
    with open(f"{work}/disks", "w") as f:
        f.write("\n".join(disks) + "\n")


def results(work):
    """The files the guest saved, {path: bytes}; None when it left none."""
    try:
        with tarfile.open(f"{work}/result.img") as t:
            return {os.path.normpath(member.name): t.extractfile(member).read()
                    for member in t.getmembers() if member.isfile()}
    except (OSError, tarfile.TarError):
        return None
