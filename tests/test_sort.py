"""Tree.sort_by, Tree.sort_by_multiple and Tree.sort: reordering every node's children."""

import dataclasses
import functools
import random

import pytest

import quorbelin as qb
from state import Tree as StoredTree, TaxonSet as StoredTaxa, decode_single_tree, encode_single_tree
from support import raises_panic

LEX, CC, DC = qb.SortBy.LexicographicalOrder, qb.SortBy.ChildCount, qb.SortBy.DescendantCount
UP, DOWN = None, False


def sorted_three_ways(tree, pairs):
    """The same criteria through all three methods, which must agree and give a new tree that differs in
    its sibling links alone; the text of that tree."""
    out = tree.sort_by_multiple(pairs)
    records = [qb.SortCriterion(getattr(qb.SortCriterionKind, repr(k)[7:]),
                                (qb.SortOrder.Ascending, qb.SortOrder.Descending)[a is False]) for k, a in pairs]
    assert tree.sort(records).__getstate__() == out.__getstate__()
    assert len(pairs) != 1 or tree.sort_by(*pairs[0]).__getstate__() == out.__getstate__()
    (names, a), (names_out, b) = decode_single_tree(tree.__getstate__()), decode_single_tree(out.__getstate__())
    assert names_out == names and dataclasses.replace(b, firstchild=a.firstchild, nextsib=a.nextsib) == a
    return out.to_newick()


# Cases the random trees of the reference test below seldom make; that test covers the rest.
@pytest.mark.parametrize("text,pairs,expected", [
    ("((C,B),A);", [], "((C,B),A);"),
    # Ties keep their order, ascending and descending alike.
    ("(D,(A,B),C,(E,F),G);", [(CC, UP)], "(D,C,G,(A,B),(E,F));"),
    ("(D,(A,B),C,(E,F),G);", [(CC, DOWN)], "((A,B),(E,F),D,C,G);"),
    # A descending difference found two levels down is applied once.
    ("((A,(C,D)),(A,(B,E)));", [(LEX, DOWN)], "((A,(D,C)),(A,(E,B)));"),
])
def test_sorting(text, pairs, expected):
    tree = qb.Tree(text)
    assert sorted_three_ways(tree, pairs) == expected
    assert tree.to_newick() == text


def test_result_is_a_new_tree_over_the_same_taxa():
    tree = qb.TreeSet("(C,(B,A));(D,E);")[0]
    out = tree.sort_by(LEX)
    assert out is not tree and out.ntaxa == 5 and out.get_taxa() == tree.get_taxa()
    assert decode_single_tree(out.__getstate__())[0] == decode_single_tree(tree.__getstate__())[0]


def only_links_differ(before, after):
    _, a = decode_single_tree(before.__getstate__())
    _, b = decode_single_tree(after.__getstate__())
    assert dataclasses.replace(b, firstchild=a.firstchild, nextsib=a.nextsib) == a
    return b


@pytest.mark.parametrize("kind", [LEX, CC, DC])
def test_only_sibling_links_change(kind):
    tree = qb.TreeSet("((C:1,B:2):3,(E,(F,D)):4,A:5);")[0]
    sorted_tree = only_links_differ(tree, tree.sort_by(kind, False))
    assert sorted_tree.firstchild != decode_single_tree(tree.__getstate__())[1].firstchild


def lower_numbered_children():
    """((A,C),(B,A)) under D, with the inner nodes numbered below their parent:
    0 root -> [4, 3:D]; 4 -> [2, 1]; 1 -> [5:B, 6:A]; 2 -> [7:A, 8:C]."""
    return StoredTree(
        taxa=[-42, -1, -1, 3, -1, 1, 0, 0, 2],
        parents=[0, 4, 4, 0, 0, 1, 1, 2, 2],
        support=[0.0] * 9,
        lengths=[0.0] * 9,
        firstchild=[4, 5, 7, -1, 2, -1, -1, -1, -1],
        nextsib=[-1, -1, 1, -1, 3, 6, -1, 8, -1],
        childcount=[2, 2, 2, 0, 2, 0, 0, 0, 0],
        ntaxa=4,
    )


def test_children_numbered_below_their_parent_are_read_sorted():
    tree = qb.Tree("(X,Y);")
    tree.__setstate__(encode_single_tree(StoredTaxa.of("ABCD"), lower_numbered_children()))
    assert tree.to_newick() == "(((A,C),(B,A)),D);"
    # Nodes 1 and 2 are sorted before node 4 compares them: (A,B) against (A,C).
    out = tree.sort_by(LEX)
    assert out.to_newick() == "(((A,B),(A,C)),D);"
    # A parsed tree numbers children above parents: (A,C) against (B,A) as written.
    assert qb.Tree("(((A,C),(B,A)),D);").sort_by(LEX).to_newick() == "(((A,C),(A,B)),D);"
    links = only_links_differ(tree, out)
    assert (links.firstchild[4], links.nextsib[1], links.nextsib[2]) == (1, 2, -1)


@pytest.mark.parametrize("text,kind,ascending,expected_root_children", [
    ("((A,B),(,C));", CC, None, [1, 4]),
    ("(,(A,B),C);", CC, False, [2, 1, 5]),
    ("((,,B),(A,));", DC, None, [5, 1]),
])
def test_unlabelled_leaves_sort_by_counts(text, kind, ascending, expected_root_children):
    tree = qb.Tree(text)
    links = only_links_differ(tree, tree.sort_by(kind, ascending))
    children, c = [], links.firstchild[0]
    while c != -1:
        children.append(c)
        c = links.nextsib[c]
    assert children == expected_root_children


@pytest.mark.parametrize("text", ["((A,B),(,C));", "(,A);", "(A,(,));", "(,,);"])
def test_unlabelled_leaf_under_lexicographic_order_panics(text):
    tree = qb.Tree(text)
    names = len(tree.get_taxa())
    with raises_panic(f"index out of bounds: the len is {names} but the index is {2**64 - 1}"):
        tree.sort_by(LEX)
    with raises_panic("index out of bounds: ", prefix=True):
        tree.sort_by_multiple([(CC, None), (LEX, False)])


# ---- against a plain-Python reference -----------------------------------------


def reference_sort(node, pairs):
    """Leaves are names, internal nodes lists. Every comparison reads the
    subtrees as given (a parsed tree numbers children after their parents)."""

    def leaves(v):
        return 1 if isinstance(v, str) else sum(map(leaves, v))

    def sign(x):
        return (x > 0) - (x < 0)

    def compare(a, b):
        for kind, ascending in pairs:
            if kind is CC:
                raw = sign((0 if isinstance(a, str) else len(a)) - (0 if isinstance(b, str) else len(b)))
            elif kind is DC:
                raw = sign(leaves(a) - leaves(b))
            elif isinstance(a, str) and isinstance(b, str):
                raw = sign((a.encode() > b.encode()) - (a.encode() < b.encode()))
            elif isinstance(a, str) or isinstance(b, str):
                raw = (1 if a else 0) if isinstance(a, str) else (-1 if b else 0)
            else:
                for x, y in zip(a, b):
                    r = compare(x, y)
                    if r:
                        return r
                raw = sign(len(a) - len(b))
            if raw:
                return -raw if ascending is False else raw
        return 0

    def rebuild(v):
        return v if isinstance(v, str) else [rebuild(c) for c in sorted(v, key=functools.cmp_to_key(compare))]

    return rebuild(node)


def newick(v):
    return v if isinstance(v, str) else "(" + ",".join(map(newick, v)) + ")"


def random_tree(rng, leaves):
    # Names of eight bytes or more that share their first eight, too.
    nodes = [rng.choice(["A", "B", "AB", "BA", "a", "Z", "é", "AA", "Prefix8_", "Prefix8_B", "Prefix8_A", "Prefix8"])
             for _ in range(leaves)]
    while len(nodes) > 1:
        k = min(len(nodes), rng.choice([1, 2, 2, 2, 3, 4]))
        at = rng.randrange(len(nodes) - k + 1)
        nodes[at : at + k] = [nodes[at : at + k]]
    return nodes[0] if isinstance(nodes[0], list) else [nodes[0]]


def test_matches_the_reference_on_random_trees():
    rng = random.Random(2024)
    for _ in range(300):
        root = random_tree(rng, rng.randint(1, 40))
        pairs = [(rng.choice([LEX, CC, DC]), rng.choice([None, True, False])) for _ in range(rng.randint(1, 3))]
        tree = qb.Tree(newick(root) + ";")
        assert sorted_three_ways(tree, pairs) == newick(reference_sort(root, pairs)) + ";", pairs


def test_leaf_named_empty_ties_with_an_inner_node():
    # An inner node reads as the empty name: a leaf whose name is "" ties with it,
    # on either side of the comparison.
    for text, names, up, down in [("(Z,(A,B));", ["", "A", "B"], "(,(A,B));", "(,(B,A));"),
                                  ("((A,B),Z);", ["A", "B", ""], "((A,B),);", "((B,A),);")]:
        _, stored = decode_single_tree(qb.Tree(text).__getstate__())
        tree = qb.Tree("(X,Y);")
        tree.__setstate__(encode_single_tree(StoredTaxa.of(names), stored))
        assert (tree.sort_by(LEX).to_newick(), tree.sort_by(LEX, False).to_newick()) == (up, down)


def stored(names, arena):
    tree = qb.Tree("(X,Y);")
    tree.__setstate__(encode_single_tree(names, arena))
    return tree


def not_plain(tree):
    # The same tree with a parent link that sorting does not read, made wrong: it then takes its checked path.
    names, t = decode_single_tree(tree.__getstate__())
    t.parents[-1] = len(t.parents) - 1
    return stored(names, t)


def test_matches_the_reference_on_the_plain_and_the_checked_path():
    # Ties keep their order, ascending and descending alike.
    assert sorted_three_ways(qb.Tree("(D,(A,B),C,(E,F),G);"), [(CC, None)]) == "(D,C,G,(A,B),(E,F));"
    assert sorted_three_ways(qb.Tree("(D,(A,B),C,(E,F),G);"), [(CC, False)]) == "((A,B),(E,F),D,C,G);"
    rng = random.Random(2024)
    newick = lambda v: v if isinstance(v, str) else "(" + ",".join(map(newick, v)) + ")"  # noqa: E731
    for _ in range(300):
        # Names of eight bytes or more that share their first eight, too.
        nodes = [rng.choice(["A", "B", "AB", "BA", "a", "Z", "é", "AA",
                             "Prefix8_", "Prefix8_B", "Prefix8_A", "Prefix8"])
                 for _ in range(rng.randint(1, 40))]
        while len(nodes) > 1:
            k, at = min(len(nodes), rng.choice([1, 2, 2, 2, 3, 4])), rng.randrange(len(nodes))
            nodes[at : at + k] = [nodes[at : at + k]]
        root = nodes[0] if isinstance(nodes[0], list) else [nodes[0]]
        pairs = [(rng.choice([LEX, CC, DC]), rng.choice([None, True, False])) for _ in range(rng.randint(0, 3))]
        for tree in (qb.Tree(newick(root) + ";"), not_plain(qb.Tree(newick(root) + ";"))):
            assert sorted_three_ways(tree, pairs) == newick(reference_sort(root, pairs)) + ";"


def chains(t):  # the children of every node of a stored tree, in sibling order
    out = []
    for v in range(len(t.taxa)):
        out.append([])
        c = t.firstchild[v]
        while c != -1:
            out[v].append(c)
            c = t.nextsib[c]
    return out


def stable_reference(tree, pairs):
    """Every node's children as a stable sort orders them, by node index: equal children keep the order
    they had. Comparisons read the subtrees as given (a parsed tree numbers children after their parents)."""
    names, t = decode_single_tree(tree.__getstate__())
    kids = chains(t)
    leaves = [1 if not kids[v] else 0 for v in range(len(kids))]
    for v in reversed(range(len(kids))):
        leaves[v] += sum(leaves[c] for c in kids[v])

    def name(v):
        return names.names[t.taxa[v]].encode() if not kids[v] else b""  # an inner node reads as ""

    def compare(a, b):
        for kind, ascending in pairs:
            if kind is CC:
                x, y = len(kids[a]), len(kids[b])
            elif kind is DC:
                x, y = leaves[a], leaves[b]
            elif kids[a] and kids[b]:
                r = next((r for r in map(compare, kids[a], kids[b]) if r), 0)
                if r:
                    return r  # decided below, its order applied there
                x, y = len(kids[a]), len(kids[b])
            else:
                x, y = name(a), name(b)
            raw = (x > y) - (x < y)
            if raw:
                return -raw if ascending is False else raw
        return 0

    return [sorted(k, key=functools.cmp_to_key(compare)) if len(k) > 1 else k for k in kids]


def siblings(items):
    return "(" + ",".join(items) + ")"


# Nodes with more children than a short sort takes (16), with ties under every criterion: leaves of one
# name, inner nodes of one shape, different subtrees of one size.
MANY = ["B", "A", "(A,B)", "C", "A", "(B,A)", "(A,(B,C))", "B", "(A,B)", "((A,B),C)", "A", "(C,A)", "B",
        "(A,B,C)", "(A,B)", "C", "((B,C),A)", "A", "(B,A)", "B", "(A,(B,C))", "A"]
RNG = random.Random(42)
WIDE = {
    "17 at an inner node": "(" + siblings(MANY[:17]) + ",(A,B));",
    "22 at the root": siblings(MANY) + ";",
    "16, a short sort": siblings(MANY[:16]) + ";",
    "200 of few kinds": siblings(RNG.choice(["A", "B", "(A,B)", "(B,A)", "(A,(A,B))", "((A,B),A)", "(A,B,A)"])
                                 for _ in range(200)) + ";",
    "40 at two levels": siblings([siblings(MANY), *MANY[:18]]) + ";",
}


@pytest.mark.parametrize("text", WIDE.values(), ids=list(WIDE))
@pytest.mark.parametrize("ascending", [True, False])
@pytest.mark.parametrize("kind", [LEX, CC, DC], ids=repr)
def test_many_children_keep_the_order_of_equal_ones(kind, ascending, text):
    tree = qb.Tree(text)
    sorted_three_ways(tree, [(kind, ascending)])
    _, out = decode_single_tree(tree.sort_by(kind, ascending).__getstate__())
    assert chains(out) == stable_reference(tree, [(kind, ascending)])
