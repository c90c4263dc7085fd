"""Round trips over generated trees: write then read back, store then load back."""

from hypothesis import given, settings, strategies as st

import quorbelin as qb

NAMES = st.text(alphabet="ABCDEFGHxyz_0123456789", min_size=1, max_size=6)
LENGTHS = st.floats(min_value=0, max_value=1e12, allow_nan=False, allow_infinity=False)


@st.composite
def newick(draw):
    """A tree with distinct leaf names and a length on every branch."""
    names = draw(st.lists(NAMES, min_size=1, max_size=30, unique=True))
    nodes = [f"{n}:{draw(LENGTHS)!r}" for n in names]
    while len(nodes) > 1:
        k = draw(st.integers(min_value=2, max_value=min(4, len(nodes))))
        at = draw(st.integers(min_value=0, max_value=len(nodes) - k))
        nodes[at:at + k] = [f"({','.join(nodes[at:at + k])}):{draw(LENGTHS)!r}"]
    return nodes[0].rsplit(":", 1)[0] + ";"


@settings(max_examples=200, deadline=None)
@given(st.lists(newick(), min_size=1, max_size=4))
def test_written_text_reads_back_to_the_same_trees(texts):
    trees = qb.TreeSet("".join(texts))
    again = qb.TreeSet(trees.to_newick_string())
    assert again.to_newick_vec() == trees.to_newick_vec()
    assert again.taxon_set.names() == trees.taxon_set.names()


@settings(max_examples=200, deadline=None)
@given(st.lists(newick(), min_size=1, max_size=4), st.booleans())
def test_stored_state_loads_back_to_the_same_state(texts, topology):
    trees = (qb.TopologySet if topology else qb.TreeSet)("".join(texts))
    state = trees.__getstate__()
    loaded = type(trees)("(X,Y);")
    loaded.__setstate__(state)
    assert loaded.__getstate__() == state
    assert loaded.to_newick_vec() == trees.to_newick_vec()
    single = qb.Tree(texts[0])
    other = qb.Tree("(X,Y);")
    other.__setstate__(single.__getstate__())
    assert other.__getstate__() == single.__getstate__()
    assert other.newick() == single.newick()
