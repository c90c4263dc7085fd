# FamilyOfMSC: members in and out as MSCTopologySet objects, and its zstd-compressed state
# (round trips, cuts, copies and pickles are in test_pickle's tables).

import os
import struct
import subprocess
import sys

import pytest
import zstandard

import quorbelin as qb
from state import MSCView, TaxonSet as StoredTaxa, TreeView, encode_msc_view, star
from test_pickle import MSCTopologySet, family, observe
from test_robustness import broken_trees, exercise

GENES, SPECIES = "(A:1,B:2);\n((B,C):0.5,A);", "((A,B),(C,D));"
FRAME = zstandard.ZstdCompressor().compress


def stored(fam):
    return zstandard.ZstdDecompressor().decompress(fam.__getstate__())


def test_members_are_copies_of_the_sets_added():
    fam = qb.FamilyOfMSC()
    assert (str(fam), repr(fam), fam.get_sizes(), list(fam)) == (
        "FamilyOfMSC with 0 MSC topology sets", "FamilyOfMSC with 0 members", [], [])
    topo, as_topology = MSCTopologySet(GENES, SPECIES), qb.MSCTreeSet(GENES, SPECIES).as_topology()
    fam = family(topo, topo)
    fam.add(view=as_topology)  # keeps the variant it was built as
    assert (str(fam), repr(fam), fam.get_sizes()) == ("FamilyOfMSC with 3 MSC topology sets", "FamilyOfMSC with 3 members",
                                                      [(2, 4)] * 3)  # taxa of the whole set: D only in the species tree
    assert [(type(m), m.__getstate__()) for m in fam] == [(MSCTopologySet, s.__getstate__()) for s in (topo, topo, as_topology)]
    before = observe(fam)
    topo.__setstate__(MSCTopologySet("(P,Q);", "(P,Q);").__getstate__())  # the family keeps its own copy
    for bad in (qb.MSCTreeSet(GENES, SPECIES), qb.TopologySet(GENES)):
        with pytest.raises(TypeError, match=f"^argument 'view': '{type(bad).__name__}' object cannot be converted to 'MSCTopologySet'$"):
            fam.add(bad)
    with pytest.raises(IndexError, match="^Index out of bounds$"):
        fam[3]
    with pytest.raises(OverflowError):
        fam[-1]
    assert observe(fam) == before


def test_from_files_reads_the_pairs_in_order(tmp_path):
    for name, text in [("g1", GENES), ("s1", SPECIES), ("g2", "(X,(Y,Z));\n"), ("s2", "(Z,(X,Y));"), ("e", " \n"), ("u", "(,);")]:
        (tmp_path / name).write_text(text)
    paths = lambda names: [str(tmp_path / n) for n in names.split()]  # noqa: E731 ("m" is missing)
    fam = qb.FamilyOfMSC.from_files(paths("g1 g2"), tuple(paths("s1 s2")))
    assert [m.__getstate__() for m in fam] == [MSCTopologySet(GENES, SPECIES).__getstate__(),
                                             MSCTopologySet("(X,(Y,Z));", "(Z,(X,Y));").__getstate__()]
    assert type(fam) is qb.FamilyOfMSC and len(qb.FamilyOfMSC.from_files([], [])) == 0
    for genes, species, message in [  # only the first failing pair is reported
        ("m m", "m", "Number of gene trees files must match number of species trees files"),  # before any file is opened
        ("g1 m", "s1 s2", "Failed to read gene trees file: No such file or directory (os error 2)"),
        ("g1 g2", "s1 m", "Failed to read species tree file: No such file or directory (os error 2)"),
        ("e m", "s1 m", "No valid trees found in input string"),
        ("g1 g2", "u s2", "No species tree found in input string"),
    ]:
        with pytest.raises(ValueError) as info:
            qb.FamilyOfMSC.from_files(paths(genes), paths(species))
        assert str(info.value) == message


def test_state_is_one_frame_of_the_members_states():
    topo = MSCTopologySet(GENES, SPECIES)
    params = zstandard.get_frame_parameters(family(topo).__getstate__())
    assert (params.has_checksum, params.dict_id, stored(qb.FamilyOfMSC())) == (False, 0, bytes(8))
    # Members that share storage are each written in full.
    assert stored(family(topo, topo, topo)) == struct.pack("<Q", 3) + topo.__getstate__() * 3


def rle_frame(n, byte=b"\xff"):
    # A frame of n copies of `byte` in RLE blocks of 128 KiB: 4 bytes stand for each block.
    out = [b"\x28\xb5\x2f\xfd\x00\x38"]  # magic, no content size, 128 KiB window
    while n:
        size = min(n, 1 << 17)
        n -= size
        out.append(((n == 0) | 1 << 1 | size << 3).to_bytes(3, "little") + byte)
    return b"".join(out)


# Any zstd writer's frames are read, several in a row too; bad ones leave the family as it was.
@pytest.mark.parametrize("write, message", [
    (lambda b: zstandard.ZstdCompressor(level=19, write_checksum=True).compress(b), None),
    (lambda b: zstandard.ZstdCompressor(level=-5, write_content_size=False).compress(b), None),
    (lambda b: (lambda c: c.compress(b[:7]) + c.compress(b[7:]) + c.flush())(zstandard.ZstdCompressor().compressobj()), None),
    (lambda b: FRAME(b[:11]) + FRAME(b[11:]), None),
    (lambda b: b"".join(FRAME(b[i:i + 1]) for i in range(len(b))), None),
    (lambda b: b"", "Decompression error: incomplete frame"),
    (lambda b: b, "Decompression error: Unknown frame descriptor"),
    (lambda b: FRAME(b) + b"garbage!", "Decompression error: Unknown frame descriptor"),
    (lambda b: rle_frame(10)[:6] + b"\x0f\x00\x00x", "Decompression error: Data corruption detected"),  # reserved block
    (lambda b: FRAME(b[:-1]), "Deserialization error: io error: unexpected end of file"),
    (lambda b: FRAME(b[:8] + b"\x07" + b[9:]), "Deserialization error: invalid value: integer `7`, expected variant index 0 <= i < 2"),
])
def test_frames_of_any_writer(write, message):
    source, target = family(MSCTopologySet(GENES, SPECIES), MSCTopologySet("(X,(Y,Z));", "(Z,(X,Y));")), qb.FamilyOfMSC()
    expected = observe(source) if message is None else observe(target)
    try:
        target.__setstate__(write(stored(source)))
    except ValueError as e:
        assert str(e) == message
    assert observe(target) == expected


@pytest.mark.parametrize("case", list(broken_trees()), ids=lambda c: c[0])
def test_frames_of_broken_trees_never_crash(case):
    names, tree = StoredTaxa.of("ABC"), case[1]
    views = [MSCView(1, TreeView(names, [tree, tree], True), star([0, 1])), MSCView(0, TreeView(names, [star([0, 1])], False), tree)]
    fam = qb.FamilyOfMSC()
    fam.__setstate__(FRAME(struct.pack("<Q", 2) + b"".join(map(encode_msc_view, views))))
    assert stored(fam) == struct.pack("<Q", 2) + b"".join(map(encode_msc_view, views))
    for member in fam:
        exercise(member)


def test_state_expanding_beyond_memory_raises_memory_error():
    # 16 GiB in 512 KiB of state, read under a 1 GiB address-space limit (in a child process:
    # the limit cannot be lifted again).
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("AddressSanitizer reserves more address space than the limit")
    script = ("import resource, quorbelin; from test_family import rle_frame; state = rle_frame(1 << 34); "
              "resource.setrlimit(resource.RLIMIT_AS, (1 << 30, resource.RLIM_INFINITY)); f = quorbelin.FamilyOfMSC()\n"
              "try: f.__setstate__(state)\nexcept MemoryError: print('MemoryError', len(f))")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120,
                          cwd=os.path.dirname(__file__))
    assert (done.returncode, done.stdout) == (0, "MemoryError 0\n"), done.stderr
