# FamilyOfMSC state and memory: __getstate__ holds at most the stored list and the frame at once, a
# state whose members cannot fit is refused with MemoryError before it takes the memory, and a large
# real state still loads under a limit that holds it. Each case runs in a child process: an
# address-space limit cannot be lifted again, and the peak measured is the child's own (Linux:
# the peak resident size is reset through /proc/self/clear_refs).
import os
import subprocess
import sys
from pathlib import Path

import pytest

DATA = Path(__file__).resolve().parents[2] / "shared" / "data"
pytestmark = [
    pytest.mark.skipif(not os.access("/proc/self/clear_refs", os.W_OK), reason="needs Linux's /proc/self/clear_refs"),
    pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                       reason="AddressSanitizer reserves more address space than the limits"),
]

CHILD = r"""
import resource, sys, quorbelin as qb
MiB = 1 << 20
def status(key):
    return next(int(line.split()[1]) * 1024 for line in open("/proc/self/status") if line.startswith(key + ":"))
def limit(extra):  # the address space in use now and `extra` bytes more
    resource.setrlimit(resource.RLIMIT_AS, (status("VmSize") + extra, resource.RLIM_INFINITY))
def growth(call):  # what `call` returns or raises, and how far the resident size rose above its start
    open("/proc/self/clear_refs", "w").write("5")
    before = status("VmRSS")
    try:
        out = call()
    except (MemoryError, ValueError) as e:
        out = type(e).__name__
    return out, status("VmHWM") - before
"""


def run(script):
    done = subprocess.run([sys.executable, "-c", CHILD + script], capture_output=True, text=True, timeout=300,
                          cwd=os.path.dirname(__file__))
    assert done.returncode == 0, done.stderr
    return done.stdout.split()


# A member with nothing in it is 102 bytes stored and several hundred once built; a count says how
# many follow. The state is made in pieces so that the child never holds its stored list.
STATE = r"""
import zstandard
EMPTY = b"\1\0\0\0" + bytes(24 + 8) + b"\1" + bytes(56 + 1 + 8)
def state(count, members):
    c = zstandard.ZstdCompressor(level=1).compressobj(size=8 + members * len(EMPTY))
    pieces = [c.compress(count.to_bytes(8, "little"))]
    for k in range(0, members, 10000):
        pieces.append(c.compress(EMPTY * min(10000, members - k)))
    return b"".join(pieces + [c.flush()])
"""


@pytest.mark.parametrize("count, members, limit_mib", [
    (2_000_000, 2_000_000, 1024),  # 20 kB of state, 1.5 GB of members
    (2 ** 40, 1_000_000, 3072),  # a count far past the members that follow
])
def test_a_state_whose_members_cannot_fit_is_refused_before_taking_memory(count, members, limit_mib):
    out, grew, held = run(STATE + f"s, f = state({count}, {members}), qb.FamilyOfMSC()\nlimit({limit_mib} * MiB)\n"
                                  "print(*growth(lambda: f.__setstate__(s)), len(f))")
    assert (out, held) == ("MemoryError", "0") and int(grew) < 64 << 20, (out, held, int(grew) >> 20)


def test_getstate_holds_at_most_the_stored_list_and_the_frame():
    # One 20,000-leaf gene tree and species tree, added 40 times: 130 MB stored.
    out = run("n = 20000\nt = '(' * (n - 1) + 't0,' + ','.join(f't{i})' for i in range(1, n)) + ';'\n"
              "m, f = type(qb.MSCTreeSet('(A,B);', '(A,B);').as_topology())(t, t), qb.FamilyOfMSC()\n"
              "for _ in range(40): f.add(m)\n"
              "stored = 8 + 40 * len(m.__getstate__())\n"
              "frame, grew = growth(f.__getstate__)\n"
              "print(stored, len(frame), grew)")
    stored, frame, grew = map(int, out)
    assert stored > 100 << 20 and grew <= stored + frame + (8 << 20), (stored >> 20, frame >> 20, grew >> 20)


@pytest.mark.skipif(not DATA.is_dir(), reason="needs the shared data folder beside the repository")
def test_a_large_real_state_loads_under_a_limit_that_holds_it():
    # Every gene-tree file with its species tree, ten times over: tens of thousands of gene trees.
    out = run(f"from pathlib import Path\ndata = Path({str(DATA)!r})\n"
              "genes = sorted(data.glob('*_genetrees.tre'))\n"
              "pairs = [(str(g), str(s[0])) for g in genes\n"
              "         if (s := sorted(data.glob(g.name.replace('_genetrees.tre', '_species_*'))))] * 10\n"
              "f = qb.FamilyOfMSC.from_files([g for g, _ in pairs], [s for _, s in pairs])\n"
              "want, state = [m.to_newick_vec() for m in f], f.__getstate__()\n"
              "stored = 8 + sum(len(m.__getstate__()) for m in f)\n"
              "del f\n"
              "back = qb.FamilyOfMSC()\n"
              "limit(3 * stored)\n"
              "back.__setstate__(state)\n"
              "print(sum(n for n, _ in back.get_sizes()), stored, [m.to_newick_vec() for m in back] == want)")
    trees, stored, same = out
    assert int(trees) > 50_000 and int(stored) > 50 << 20 and same == "True", out
