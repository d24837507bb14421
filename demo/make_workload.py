#!/usr/bin/env python3
"""Writes the demo workload: bursts of router configuration changes, one
`veltctl batch` file per burst. The output is committed; run this only to
regenerate it (deterministic for a given seed)."""
import random
import sys
from pathlib import Path

rng = random.Random(int(sys.argv[1]) if len(sys.argv) > 1 else 2026)
out = Path(__file__).resolve().parent / "workload"
out.mkdir(exist_ok=True)
for old in out.glob("burst-*.batch"):
    old.unlink()

IFACES = [f"eth{i}" for i in range(16)] + [f"vlan{v}" for v in (10, 20, 30, 100, 200)]
DESCRIPTIONS = [
    "uplink to core",
    'uplink to "core-2" <primary>',
    "customer A & B",
    "transit\tbackup",
    "mgmt: Zürich → Genève",
    "it's a loopback",
    "rack 4, row C",
]


def q(text):
    """Quotes a word for veltctl batch (POSIX shell single quotes)."""
    return "'" + text.replace("'", "'\\''") + "'"


def mac(i):
    return "02:00:5e:%02x:%02x:%02x" % (i >> 16 & 255, i >> 8 & 255, i & 255)


lines_per_burst = []

# Burst 0: base system and interfaces.
base = ["add /system /interfaces /routing/static /stats",
        "set /system/hostname string " + q("edge-router-1") +
        " /system/domain string " + q("example.net") +
        " /system/boot-count uint64 17"]
for n, ifc in enumerate(IFACES):
    p = f"/interfaces/{ifc}"
    base.append(
        f"set {p}/mtu uint32 1500 {p}/enabled bool true {p}/mac mac {mac(n + 1)} "
        f"{p}/description string {q(rng.choice(DESCRIPTIONS))} "
        f"{p}/ipv4/address ipv4 10.{n}.0.1 {p}/ipv4/prefix-length int32 24 "
        f"{p}/ipv6/address ipv6 2001:db8:{n + 1:x}::1")
lines_per_burst.append(base)

# Bursts 1..24: a mix of routine changes.
for burst in range(1, 25):
    lines = []
    for _ in range(rng.randint(80, 160)):
        r = rng.random()
        ifc = rng.choice(IFACES)
        p = f"/interfaces/{ifc}"
        if r < 0.30:
            lines.append(f"set /stats/{ifc}/rx-bytes uint64 {rng.randint(0, 2**48)} "
                         f"/stats/{ifc}/tx-bytes uint64 {rng.randint(0, 2**48)} "
                         f"/stats/{ifc}/errors uint32 {rng.randint(0, 50)}")
        elif r < 0.45:
            lines.append(f"set {p}/mtu uint32 {rng.choice([1280, 1500, 9000, 9216])}")
        elif r < 0.55:
            lines.append(f"set {p}/enabled bool {rng.choice(['true', 'false'])}")
        elif r < 0.65:
            lines.append(f"set {p}/description string {q(rng.choice(DESCRIPTIONS))}")
        elif r < 0.80:
            net = f"10.{rng.randint(100, 120)}.{rng.randint(0, 255)}.0_24"
            lines.append(f"set /routing/static/{net}/next-hop ipv4 10.{rng.randint(0, 15)}.0.254 "
                         f"/routing/static/{net}/metric uint32 {rng.randint(1, 250)} "
                         f"/routing/static/{net}/weight double {rng.choice(['0.5', '1', '2.25', '0.125'])}")
        elif r < 0.88:
            net = f"10.{rng.randint(100, 120)}.{rng.randint(0, 255)}.0_24"
            lines.append(f"remove /routing/static/{net}")
        elif r < 0.94:
            lines.append(f"clear /stats/{ifc}/errors")
        elif r < 0.97:
            lines.append(f"set {p}/secret binary {rng.randbytes(8).hex()}")
        else:
            lines.append(f"add /routing/policy/{rng.choice(['bgp', 'ospf', 'isis'])}/area{rng.randint(0, 9)}")
    lines_per_burst.append(lines)

total = 0
for i, lines in enumerate(lines_per_burst):
    (out / f"burst-{i:02d}.batch").write_text(
        f"# demo workload, burst {i}: {len(lines)} requests\n" + "\n".join(lines) + "\n",
        encoding="utf-8")
    total += len(lines)
print(f"{len(lines_per_burst)} bursts, {total} requests")
