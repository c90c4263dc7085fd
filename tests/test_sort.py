# Tree.sort_by, Tree.sort_by_multiple and Tree.sort: reordering every node's children.
import dataclasses
import functools
import random

import quorbelin as qb
from state import TaxonSet as StoredTaxa, decode_single_tree, encode_single_tree
from support import raises_panic

LEX, CC, DC = qb.SortBy.LexicographicalOrder, qb.SortBy.ChildCount, qb.SortBy.DescendantCount


def sorted_three_ways(tree, pairs):
    # The three methods agree, and give a new tree that differs in its sibling links alone.
    out = tree.sort_by_multiple(pairs)
    records = [qb.SortCriterion(getattr(qb.SortCriterionKind, repr(k)[7:]),
                                (qb.SortOrder.Ascending, qb.SortOrder.Descending)[a is False]) for k, a in pairs]
    assert tree.sort(records).__getstate__() == out.__getstate__()
    assert len(pairs) != 1 or tree.sort_by(*pairs[0]).__getstate__() == out.__getstate__()
    (names, a), (names_out, b) = decode_single_tree(tree.__getstate__()), decode_single_tree(out.__getstate__())
    assert names_out == names and dataclasses.replace(b, firstchild=a.firstchild, nextsib=a.nextsib) == a
    return out.to_newick()


def test_unlabelled_leaf_under_lexicographic_order_panics():
    with raises_panic(f"index out of bounds: the len is 3 but the index is {2**64 - 1}"):
        qb.Tree("((A,B),(,C));").sort_by(LEX)
    with raises_panic("index out of bounds: ", prefix=True):
        qb.Tree("(,,);").sort_by_multiple([(CC, None), (LEX, False)])


def stored(names, arena):
    tree = qb.Tree("(X,Y);")
    tree.__setstate__(encode_single_tree(names, arena))
    return tree


def not_plain(tree):
    # The same tree with a parent link that sorting does not read, made wrong: it then takes its checked path.
    names, t = decode_single_tree(tree.__getstate__())
    t.parents[-1] = len(t.parents) - 1
    return stored(names, t)


def test_leaf_named_empty_ties_with_an_inner_node():
    # An inner node reads as the empty name, on either side of the comparison.
    for text, names, up, down in [("(Z,(A,B));", ["", "A", "B"], "(,(A,B));", "(,(B,A));"),
                                  ("((A,B),Z);", ["A", "B", ""], "((A,B),);", "((B,A),);")]:
        tree = stored(StoredTaxa.of(names), decode_single_tree(qb.Tree(text).__getstate__())[1])
        assert (tree.sort_by(LEX).to_newick(), tree.sort_by(LEX, False).to_newick()) == (up, down)


def reference_sort(node, pairs):
    # Leaves are names, inner nodes lists. Every comparison reads the subtrees as
    # given: a parsed tree numbers children after their parents.
    def leaves(v): return 1 if isinstance(v, str) else sum(map(leaves, v))  # noqa: E704

    def compare(a, b):
        for kind, ascending in pairs:
            if kind is not LEX:
                size = (lambda v: 0 if isinstance(v, str) else len(v)) if kind is CC else leaves
                raw = (size(a) > size(b)) - (size(a) < size(b))
            elif isinstance(a, str) or isinstance(b, str):  # an inner node reads as ""
                x, y = (v.encode() if isinstance(v, str) else b"" for v in (a, b))
                raw = (x > y) - (x < y)
            elif r := next((r for r in map(compare, a, b) if r), 0):
                return r  # decided below, its order applied there
            else:
                raw = (len(a) > len(b)) - (len(a) < len(b))
            if raw:
                return -raw if ascending is False else raw
        return 0

    return (node if isinstance(node, str)
            else [reference_sort(c, pairs) for c in sorted(node, key=functools.cmp_to_key(compare))])


def test_matches_the_reference_on_random_trees():
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
