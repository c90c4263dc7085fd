"""Adapters that give quorbelin and the peer libraries one common shape for the benchmark runner.

Each adapter reads a Newick text into that library's own set of trees, writes it back, lists the
leaf names of every tree (for the answer checks), computes a leaf-to-leaf distance matrix and
pickles its trees. An adapter whose library is not installed reports itself unavailable with a
note; the runner then skips it. Nothing here installs anything.
"""

from __future__ import annotations

import importlib
import importlib.metadata
import io
import pickle
import re

# A leaf label is whatever follows "(" or "," up to the next structural character; labels after
# ")" belong to inner nodes (support values in the real data) and are not leaves.
_LEAF_RE = re.compile(r"[(,]\s*([^(),:;\[\]\s][^(),:;\[\]]*)")


def split_trees(text: str) -> list[str]:
    """The trees of a text, cut at every ';' as quorbelin reads them (no comment may hold ';')."""
    return [p.strip() + ";" for p in text.split(";") if p.strip()]


def leaf_names(tree_text: str) -> list[str]:
    names = _LEAF_RE.findall(tree_text)
    if not names:  # a one-node tree such as "A;"
        bare = tree_text.strip().rstrip(";").split(":")[0].strip()
        names = [bare] if bare else []
    return names


def node_count(tree_text: str) -> int:
    # Every child is either the first of its "(" group or follows a ","; add the root.
    return tree_text.count("(") + tree_text.count(",") + 1


def _version(dist: str) -> str:
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return "?"


class Adapter:
    name = "?"
    dist = "?"
    can_pickle = True
    pickle_note = ""

    def __init__(self):
        self.available = False
        self.note = ""
        self.version = ""
        try:
            self._import()
            self.available = True
            self.version = _version(self.dist)
        except Exception as exc:  # an ImportError, or a broken build of the peer
            self.note = f"{self.name} not available ({type(exc).__name__}: {exc}); skipped"

    def _import(self):
        raise NotImplementedError

    # -- set of trees ---------------------------------------------------------------------
    def read(self, text: str):
        raise NotImplementedError

    def write(self, obj) -> str:
        raise NotImplementedError

    def leaf_lists(self, obj) -> list[list[str]]:
        raise NotImplementedError

    # -- distance matrix of a one-tree text ------------------------------------------------
    # dm_prepare turns the text (also saved at path) into whatever the matrix call starts from;
    # dm computes the matrix; dm_lookup answers a sample of (name, name) pairs from it.
    def dm_prepare(self, text: str, path: str):
        return self.read(text)

    def dm(self, prepared):
        raise NotImplementedError

    def dm_lookup(self, prepared, matrix, pairs):
        raise NotImplementedError

    # -- pickled state ---------------------------------------------------------------------
    def state_roundtrip(self, obj):
        """Returns (restored object, size of the state in bytes)."""
        data = pickle.dumps(obj, protocol=pickle.HIGHEST_PROTOCOL)
        return pickle.loads(data), len(data)


class Ours(Adapter):
    name = "quorbelin"
    dist = "quorbelin"

    def _import(self):
        self.q = importlib.import_module("quorbelin")

    def read(self, text):
        return self.q.TreeSet(text)

    def read_file(self, path):
        return self.q.TreeSet.from_file(path)

    def write(self, obj):
        return obj.to_newick_string()

    def leaf_lists(self, obj):
        return [leaf_names(t) for t in obj.to_newick_vec()]

    def dm(self, prepared):
        return prepared.get_distance_matrix(0)

    def dm_lookup(self, prepared, matrix, pairs):
        return [matrix.get_by_name(a, b) for a, b in pairs]

    def get_state(self, obj):
        return obj.__getstate__()

    def set_state(self, state):
        # Restoring needs an existing object: the classes cannot be built without arguments.
        fresh = self.q.TreeSet("(A,B);")
        fresh.__setstate__(state)
        return fresh

    def state_roundtrip(self, obj):
        state = obj.__getstate__()
        return self.set_state(state), len(state)


class TreeSwift(Adapter):
    name = "TreeSwift"
    dist = "treeswift"

    def _import(self):
        self.m = importlib.import_module("treeswift")

    def read(self, text):
        out = self.m.read_tree_newick(text)
        return out if isinstance(out, list) else [out]

    def write(self, obj):
        return "\n".join(t.newick() for t in obj)

    def leaf_lists(self, obj):
        return [[n.label for n in t.traverse_leaves()] for t in obj]

    def dm(self, prepared):
        return prepared[0].distance_matrix(leaf_labels=True)

    def dm_lookup(self, prepared, matrix, pairs):
        return [matrix[a][b] for a, b in pairs]


class DendroPy(Adapter):
    name = "DendroPy"
    dist = "DendroPy"

    def _import(self):
        self.m = importlib.import_module("dendropy")

    def read(self, text):
        return self.m.TreeList.get(data=text, schema="newick", preserve_underscores=True)

    def write(self, obj):
        return obj.as_string(schema="newick", suppress_rooting=True, unquoted_underscores=True)

    def leaf_lists(self, obj):
        return [[(nd.taxon.label if nd.taxon is not None else nd.label) for nd in t.leaf_node_iter()]
                for t in obj]

    def dm(self, prepared):
        return prepared[0].phylogenetic_distance_matrix()

    def dm_lookup(self, prepared, matrix, pairs):
        ns = prepared.taxon_namespace
        by_label = {t.label: t for t in ns}
        return [matrix.patristic_distance(by_label[a], by_label[b]) for a, b in pairs]


class BioPhylo(Adapter):
    name = "Bio.Phylo"
    dist = "biopython"

    def _import(self):
        self.m = importlib.import_module("Bio.Phylo")

    def read(self, text):
        return list(self.m.parse(io.StringIO(text), "newick"))

    def write(self, obj):
        out = io.StringIO()
        self.m.write(obj, out, "newick")
        return out.getvalue()

    def leaf_lists(self, obj):
        return [[c.name for c in t.get_terminals()] for t in obj]


class CompactTreeAdapter(Adapter):
    name = "CompactTree"
    dist = "CompactTree"
    can_pickle = False
    pickle_note = "CompactTree's trees are SWIG proxies that pickle cannot serialise; skipped"

    def _import(self):
        self.m = importlib.import_module("CompactTree")

    def read(self, text):
        # One compact_tree holds one tree; a set is one object per tree.
        return [self.m.compact_tree(t, False) for t in split_trees(text)]

    def write(self, obj):
        return "\n".join(t.get_newick() for t in obj)

    def leaf_lists(self, obj):
        return [[t.get_label(n) for n in self.m.traverse_leaves(t)] for t in obj]

    def dm_prepare(self, text, path):
        return self.m.compact_tree(path)

    def dm(self, prepared):
        return prepared.calc_distance_matrix()

    def dm_lookup(self, prepared, matrix, pairs):
        node = {prepared.get_label(n): n for n in self.m.traverse_leaves(prepared)}
        want = {}
        for i, (a, b) in enumerate(pairs):
            u, v = node[a], node[b]
            want.setdefault((min(u, v), max(u, v)), []).append(i)
        out = [0.0] * len(pairs)
        for (u, v), d in matrix:
            key = (min(u, v), max(u, v))
            for i in want.get(key, ()):
                out[i] = d
        return out


class PhyloDM(Adapter):
    name = "phylodm"
    dist = "phylodm"

    def _import(self):
        self.m = importlib.import_module("phylodm")

    def dm_prepare(self, text, path):
        return self.m.PhyloDM.load_from_newick_path(path)

    def dm(self, prepared):
        return prepared.dm(norm=False)

    def dm_lookup(self, prepared, matrix, pairs):
        idx = {name: i for i, name in enumerate(prepared.taxa())}
        return [float(matrix[idx[a], idx[b]]) for a, b in pairs]


SET_PEERS = [TreeSwift, DendroPy, BioPhylo, CompactTreeAdapter]
DM_PEERS = [PhyloDM, TreeSwift, DendroPy, CompactTreeAdapter]
