"""FamilyOfMSC: members in and out as MSCTopologySet objects, and its zstd-compressed state; reading files
for it and the MSC classes."""

import contextlib
import copy
import os
import pathlib
import pickle
import struct
import subprocess
import sys
import textwrap

import pytest
import zstandard

import quorbelin as qb
from state import MSCView, TreeView, decode_family, decode_msc_view, encode_family, star
from state import TaxonSet as StoredTaxa
from support import GENES, SPECIES, MSCTopologySet, broken_trees, exercise, family
from support import observe as observed


def observe(family):
    """Everything a caller can see of a family and its members."""
    return (len(family), str(family), repr(family), family.get_sizes(),
            [(m.to_newick_vec(), m.species_tree_to_newick(), m.taxon_set.names()) for m in family],
            [m.__getstate__() for m in family])


def family_of(*sets):
    family = qb.FamilyOfMSC()
    for s in sets:
        family.add(s)
    return family


def sample():
    return family_of(MSCTopologySet(GENES, SPECIES), MSCTopologySet("(X,(Y,Z));", "(Z,(X,Y));"))


def stored(family):
    return zstandard.ZstdDecompressor().decompress(family.__getstate__())


def rle_frame(n, byte=b"\xff"):
    """A frame of n copies of `byte` in RLE blocks of 128 KiB: 4 bytes stand for each block."""
    out = [b"\x28\xb5\x2f\xfd\x00\x38"]  # magic, no content size, 128 KiB window
    while True:
        size = min(n, 1 << 17)
        n -= size
        out.append(((n == 0) | 1 << 1 | size << 3).to_bytes(3, "little") + byte)
        if n == 0:
            return b"".join(out)


def test_new_family_is_empty():
    family = qb.FamilyOfMSC()
    assert (len(family), str(family), repr(family), family.get_sizes(), list(family)) == (
        0, "FamilyOfMSC with 0 MSC topology sets", "FamilyOfMSC with 0 members", [], [])
    with pytest.raises(IndexError, match="^Index out of bounds$"):
        family[0]
    with pytest.raises(OverflowError):
        family[-1]


def test_add_copies_the_set_and_keeps_its_variant():
    topo = MSCTopologySet(GENES, SPECIES)
    as_topology = qb.MSCTreeSet(GENES, SPECIES).as_topology()
    family = family_of(topo, topo)
    family.add(view=as_topology)
    assert str(family) == "FamilyOfMSC with 3 MSC topology sets" and repr(family) == "FamilyOfMSC with 3 members"
    assert family.get_sizes() == [(2, 4)] * 3  # taxa of the whole set: D is only in the species tree
    assert [type(m) for m in family] == [MSCTopologySet] * 3
    assert [m.__getstate__() for m in family] == [topo.__getstate__()] * 2 + [as_topology.__getstate__()]
    assert [(v.variant, v.genes.topology_only) for v in map(decode_msc_view, (m.__getstate__() for m in family))] == [
        (1, True), (1, True), (0, False)]
    # A later change of the source does not reach the family.
    topo.__setstate__(MSCTopologySet("(P,Q);", "(P,Q);").__getstate__())
    assert family[0].to_newick_vec() == ["(A:1,B:2);", "((B:0,C:0):0.5,A:0);"]


@pytest.mark.parametrize("view", [qb.MSCTreeSet(GENES, SPECIES), qb.TopologySet(GENES)], ids=lambda v: type(v).__name__)
def test_add_takes_only_msc_topology_sets(view):
    family = sample()
    before = observe(family)
    with pytest.raises(TypeError) as info:
        family.add(view)
    assert str(info.value) == f"argument 'view': '{type(view).__name__}' object cannot be converted to 'MSCTopologySet'"
    assert observe(family) == before


@pytest.fixture
def files(tmp_path):
    def write(name, text):
        path = tmp_path / name
        path.write_text(text)
        return str(path)

    return {
        "g1": write("g1.tre", GENES), "s1": write("s1.tre", SPECIES),
        "g2": write("g2.tre", "(X,(Y,Z));\n"), "s2": write("s2.tre", "(Z,(X,Y));"),
        "empty": write("empty.tre", "  \n"), "unlabelled": write("unlabelled.tre", "(,);"),
        "missing": str(tmp_path / "missing.tre"),
    }


def test_from_files_reads_the_pairs_in_order(files):
    family = qb.FamilyOfMSC.from_files([files["g1"], files["g2"]], (files["s1"], files["s2"]))
    assert type(family) is qb.FamilyOfMSC
    assert family.get_sizes() == [(2, 4), (1, 3)]
    assert [m.to_newick_vec() for m in family] == [MSCTopologySet(GENES, SPECIES).to_newick_vec(),
                                                   ["(X:0,(Y:0,Z:0):0);"]]
    assert {(v.variant, v.genes.topology_only)
            for v in map(decode_msc_view, (m.__getstate__() for m in family))} == {(1, True)}
    assert len(qb.FamilyOfMSC.from_files([], [])) == 0


@pytest.mark.parametrize("genes,species,message", [
    # The length check comes before any file is opened.
    (["missing", "missing"], ["missing"], "Number of gene trees files must match number of species trees files"),
    (["g1", "missing"], ["s1", "s2"], "Failed to read gene trees file: No such file or directory (os error 2)"),
    (["g1", "g2"], ["s1", "missing"], "Failed to read species tree file: No such file or directory (os error 2)"),
    # Only the first failing pair is reported.
    (["empty", "missing"], ["s1", "missing"], "No valid trees found in input string"),
    (["g1", "g2"], ["unlabelled", "s2"], "No species tree found in input string"),
])
def test_from_files_reports_the_first_failing_pair(files, genes, species, message):
    with pytest.raises(ValueError) as info:
        qb.FamilyOfMSC.from_files([files[g] for g in genes], [files[s] for s in species])
    assert str(info.value) == message


# --- State ------------------------------------------------------------------------


@pytest.mark.parametrize("how", ["setstate", "copy", "deepcopy"]
                         + [f"pickle {p}" for p in range(2, pickle.HIGHEST_PROTOCOL + 1)])
def test_state_round_trips(how):
    family = sample()
    if how == "setstate":
        back = qb.FamilyOfMSC()
        back.__setstate__(family.__getstate__())
    elif how == "copy":
        back = copy.copy(family)
    elif how == "deepcopy":
        back = copy.deepcopy(family)
    else:
        back = pickle.loads(pickle.dumps(family, protocol=int(how.split()[1])))
    assert type(back) is qb.FamilyOfMSC and back is not family
    assert observe(back) == observe(family)
    assert back.__getstate__() == family.__getstate__()


@pytest.mark.parametrize("protocol", [0, 1])
def test_old_pickle_protocols_rebuild_no_family(protocol):
    with pytest.raises(TypeError):
        pickle.loads(pickle.dumps(sample(), protocol=protocol))


def test_state_is_one_frame_of_the_stored_members():
    topo = MSCTopologySet(GENES, SPECIES)
    state = family_of(topo, topo, topo).__getstate__()
    params = zstandard.get_frame_parameters(state)
    assert params.has_checksum is False and params.dict_id == 0
    # Members that share storage are each written in full.
    assert stored(family_of(topo, topo, topo)) == struct.pack("<Q", 3) + topo.__getstate__() * 3
    assert stored(qb.FamilyOfMSC()) == bytes(8)
    reader = zstandard.ZstdDecompressor().decompressobj()
    reader.decompress(state)
    assert reader.eof and reader.unused_data == b""
    # Read back, each member holds a copy of its own with the same contents.
    back = qb.FamilyOfMSC()
    back.__setstate__(state)
    assert [m.__getstate__() for m in back] == [topo.__getstate__()] * 3


WRITERS = {
    "level 19 with checksum": lambda b: zstandard.ZstdCompressor(level=19, write_checksum=True).compress(b),
    "negative level, no size": lambda b: zstandard.ZstdCompressor(level=-5, write_content_size=False).compress(b),
    "streamed in pieces": lambda b: (lambda c: c.compress(b[:7]) + c.compress(b[7:]) + c.flush())(
        zstandard.ZstdCompressor().compressobj()),
    "two frames": lambda b: zstandard.ZstdCompressor().compress(b[:11]) + zstandard.ZstdCompressor().compress(b[11:]),
    "frame per byte": lambda b: b"".join(zstandard.ZstdCompressor().compress(b[i:i + 1]) for i in range(len(b))),
}


@pytest.mark.parametrize("writer", list(WRITERS))
def test_states_of_other_writers_read_back(writer):
    family = sample()
    back = qb.FamilyOfMSC()
    back.__setstate__(WRITERS[writer](stored(family)))
    assert observe(back) == observe(family)


def bad_states():
    good = sample().__getstate__()
    frame = zstandard.ZstdCompressor().compress
    plain = stored(sample())
    yield "empty", b"", "Decompression error: incomplete frame"
    yield "uncompressed stored list", plain, "Decompression error: Unknown frame descriptor"
    yield "garbage", b"certainly not zstd", "Decompression error: Unknown frame descriptor"
    yield "frame then garbage", good + b"garbage!", "Decompression error: Unknown frame descriptor"
    yield "frame cut short", good[:-1], "Decompression error: incomplete frame"
    yield "reserved block type", rle_frame(10)[:6] + b"\x0f\x00\x00x", "Decompression error: Data corruption detected"
    yield "stored list cut short", frame(plain[:-1]), "Deserialization error: io error: unexpected end of file"
    yield "bad variant", frame(plain[:8] + b"\x07" + plain[9:]), (
        "Deserialization error: invalid value: integer `7`, expected variant index 0 <= i < 2")


@pytest.mark.parametrize("state,message", [c[1:] for c in bad_states()], ids=[c[0] for c in bad_states()])
def test_bad_states_leave_the_family_unchanged(state, message):
    family = sample()
    before = observe(family)
    with pytest.raises(ValueError) as info:
        family.__setstate__(state)
    assert str(info.value) == message
    assert observe(family) == before


def test_state_truncated_at_every_offset():
    family = sample()
    state = family.__getstate__()
    before = observe(family)
    for cut in range(len(state)):
        with pytest.raises(ValueError, match="^Decompression error: incomplete frame$"):
            family.__setstate__(state[:cut])
    assert observe(family) == before


@pytest.mark.parametrize("case", list(broken_trees()), ids=lambda c: c[0])
def test_frames_of_broken_trees_never_crash(case):
    _, tree = case
    names = StoredTaxa.of(["A", "B", "C"])
    views = [MSCView(1, TreeView(names, [tree, tree], True), star([0, 1])),
             MSCView(0, TreeView(names, [star([0, 1])], False), tree)]
    family = qb.FamilyOfMSC()
    family.__setstate__(zstandard.ZstdCompressor().compress(encode_family(views)))
    assert decode_family(stored(family)) == views
    for member in family:
        exercise(member)


def test_state_expanding_beyond_memory_raises_memory_error():
    # 16 GiB in 512 KiB of state, read under a 1 GiB address-space limit (a
    # child process, since the limit cannot be lifted again).
    script = textwrap.dedent(f"""
        import resource, sys
        sys.path.insert(0, {str(pathlib.Path(__file__).parent)!r})
        import quorbelin as qb
        from test_family import rle_frame
        state = rle_frame(1 << 34)
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, resource.RLIM_INFINITY))
        family = qb.FamilyOfMSC()
        try:
            family.__setstate__(state)
        except MemoryError:
            print("MemoryError", len(family))
    """)
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("AddressSanitizer reserves more address space than the limit")
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stdout) == (0, "MemoryError 0\n"), done.stderr


OTHER, FRAME = ("(X,(Y,Z));", "(Z,(X,Y));"), zstandard.ZstdCompressor().compress


def test_members_are_copies_of_the_sets_added():
    topo, as_topology = MSCTopologySet(GENES, SPECIES), qb.MSCTreeSet(GENES, SPECIES).as_topology()
    fam = family(topo, topo)  # as_topology keeps the variant it was built as; sizes count the species-only D
    assert fam.add(view=as_topology) is None and (str(fam), repr(fam), fam.get_sizes()) == (
        "FamilyOfMSC with 3 MSC topology sets", "FamilyOfMSC with 3 members", [(2, 4)] * 3)
    assert [(type(m), m.__getstate__()) for m in fam] == [(MSCTopologySet, s.__getstate__())
                                                          for s in (topo, topo, as_topology)]
    before = observed(fam)
    topo.__setstate__(MSCTopologySet(*OTHER).__getstate__())  # the family holds its own copy
    with pytest.raises(TypeError,
                       match="^argument 'view': 'MSCTreeSet' object cannot be converted to 'MSCTopologySet'$"):
        fam.add(qb.MSCTreeSet(GENES, SPECIES))
    with pytest.raises(IndexError, match="^Index out of bounds$"):
        fam[3]
    assert observed(fam) == before


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
    assert observed(target) == observed(source if message is None else qb.FamilyOfMSC())
