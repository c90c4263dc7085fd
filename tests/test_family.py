# FamilyOfMSC: members in and out as MSCTopologySet objects, and its zstd-compressed state (round
# trips, cuts, copies and pickles are in test_pickle's tables); reading files for it and the MSC classes.

import contextlib
import os
import subprocess
import sys

import pytest
import zstandard

import quorbelin as qb
from support import GENES, SPECIES, MSCTopologySet, family, observe

OTHER, FRAME = ("(X,(Y,Z));", "(Z,(X,Y));"), zstandard.ZstdCompressor().compress


def test_members_are_copies_of_the_sets_added():
    topo, as_topology = MSCTopologySet(GENES, SPECIES), qb.MSCTreeSet(GENES, SPECIES).as_topology()
    fam = family(topo, topo)  # as_topology keeps the variant it was built as; sizes count the species-only D
    assert fam.add(view=as_topology) is None and (str(fam), repr(fam), fam.get_sizes()) == (
        "FamilyOfMSC with 3 MSC topology sets", "FamilyOfMSC with 3 members", [(2, 4)] * 3)
    assert [(type(m), m.__getstate__()) for m in fam] == [(MSCTopologySet, s.__getstate__())
                                                          for s in (topo, topo, as_topology)]
    before = observe(fam)
    topo.__setstate__(MSCTopologySet(*OTHER).__getstate__())  # the family holds its own copy
    with pytest.raises(TypeError,
                       match="^argument 'view': 'MSCTreeSet' object cannot be converted to 'MSCTopologySet'$"):
        fam.add(qb.MSCTreeSet(GENES, SPECIES))
    with pytest.raises(IndexError, match="^Index out of bounds$"):
        fam[3]
    assert observe(fam) == before


def test_files(tmp_path):
    [(tmp_path / name).write_text(text)
     for name, text in [("g1", GENES), ("s1", SPECIES + "\n"), ("g2", OTHER[0] + "\n"), ("s2", OTHER[1]), ("e", " \n")]]
    p = lambda names: [str(tmp_path / n) for n in names.split()]  # noqa: E731 ("m" is missing)
    fam, empty = qb.FamilyOfMSC.from_files(p("g1 g2"), tuple(p("s1 s2"))), qb.FamilyOfMSC.from_files([], [])
    assert ([m.__getstate__() for m in fam], len(empty)) == (
        [MSCTopologySet(*t).__getstate__() for t in ((GENES, SPECIES), OTHER)], 0)
    ones = [(c, c.from_files(gene_trees_path=p("g1")[0], species_tree_path=p("s1")[0]))
            for c in (qb.MSCTreeSet, MSCTopologySet)]
    assert [(type(one), one.__getstate__()) for c, one in ones] == [(c, c(GENES, SPECIES).__getstate__())
                                                                    for c, one in ones]
    for call, message in [  # a family reports its first failing pair; both paths are converted before a file is opened
        (lambda: qb.FamilyOfMSC.from_files(p("m m"), p("m")),
         "Number of gene trees files must match number of species trees files"),
        (lambda: qb.FamilyOfMSC.from_files(p("g1 m"), p("s1 s2")),
         r"Failed to read gene trees file: No such file or directory \(os error 2\)"),
        (lambda: MSCTopologySet.from_files(*p("g1 m")),
         r"Failed to read species tree file: No such file or directory \(os error 2\)"),
        (lambda: qb.FamilyOfMSC.from_files(p("e m"), p("s1 m")), "No valid trees found in input string"),
        (lambda: qb.MSCTreeSet.from_files(p("m")[0], 3),
         "argument 'species_tree_path': 'int' object cannot be converted to 'PyString'"),
    ]:
        with pytest.raises(TypeError if message.startswith("arg") else ValueError, match=f"^{message}$"):
            call()


def rle_frame(n, b=1 << 17):  # n bytes 0xff in RLE blocks of b = 128 KiB, 4 bytes each; no content size
    return bytes.fromhex("28b52ffd0038") + b"".join(
        ((k + b >= n) | 2 | min(b, n - k) << 3).to_bytes(3, "little") + b"\xff" for k in range(0, n, b))


# A family's state is a zstd frame of the member count and each member's state in full (also of
# members that share storage; the bytes and frame written are the C++ tests'). Any zstd writer's frames are read
# (streamed without a content size, one per byte); bad ones leave the family as it was.
@pytest.mark.parametrize("write, message", [
    (lambda b: zstandard.ZstdCompressor(level=19, write_checksum=True).compress(b), None),
    (lambda b: (lambda c: c.compress(b[:7]) + c.compress(b[7:]) + c.flush())(zstandard.ZstdCompressor().compressobj()),
     None),
    (lambda b: b"".join(FRAME(b[i:i + 1]) for i in range(len(b))), None),
    (lambda b: FRAME(b) + b"garbage!", "Decompression error: Unknown frame descriptor"),  # after a frame, no frame
    (lambda b: rle_frame(10)[:6] + b"\x0f\x00\x00x", "Decompression error: Data corruption detected"),  # reserved block
    (lambda b: FRAME(b[:-1]), "Deserialization error: io error: unexpected end of file"),
])
def test_state_frames(write, message):
    topo, other, target = MSCTopologySet(GENES, SPECIES), MSCTopologySet(*OTHER), qb.FamilyOfMSC()
    source = family(topo, topo, other)
    payload = (3).to_bytes(8, "little") + topo.__getstate__() * 2 + other.__getstate__()
    with pytest.raises(ValueError, match=f"^{message}$") if message else contextlib.nullcontext():
        target.__setstate__(write(payload))
    assert observe(target) == observe(source if message is None else qb.FamilyOfMSC())


# 16 GiB in 512 KiB of state, read under a 1 GiB address-space limit (in a child process: the limit
# cannot be lifted again).
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer reserves more address space than the limit")
def test_state_expanding_beyond_memory_raises_memory_error():
    script = ("import resource, quorbelin; from test_family import rle_frame; "
              "state, f = rle_frame(1 << 34), quorbelin.FamilyOfMSC()\n"
              "resource.setrlimit(resource.RLIMIT_AS, (1 << 30, resource.RLIM_INFINITY))\n"
              "try: f.__setstate__(state)\nexcept MemoryError: print(len(f))")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120,
                          cwd=os.path.dirname(__file__))
    assert (done.returncode, done.stdout) == (0, "0\n"), done.stderr
