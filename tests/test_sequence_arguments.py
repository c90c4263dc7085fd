# Sequence arguments are read item by item: a length that a sequence only claims (a range is cheap to make at
# any length) takes no memory before its first item is refused.
import pytest

import quorbelin as qb
from support import MSCTopologySet

ENTRIES = {
    "Tree.restriction": lambda seq: qb.Tree("(A,B);").restriction(seq),
    "Tree.sort": lambda seq: qb.Tree("(A,B);").sort(seq),
    "Tree.sort_by_multiple": lambda seq: qb.Tree("(A,B);").sort_by_multiple(seq),
    "TopologySet.restriction": lambda seq: qb.TopologySet("(A,B);").restriction(seq),
    "MSCTreeSet.restriction": lambda seq: qb.MSCTreeSet("(A,B);", "(A,B);").restriction(seq),
    "MSCTopologySet.restriction": lambda seq: MSCTopologySet("(A,B);", "(A,B);").restriction(seq),
    "FamilyOfMSC.from_files gene_trees_paths": lambda seq: qb.FamilyOfMSC.from_files(seq, []),
    "FamilyOfMSC.from_files species_trees_paths": lambda seq: qb.FamilyOfMSC.from_files([], seq),
}


@pytest.mark.parametrize("length", [10**12, 2**62])
@pytest.mark.parametrize("entry", ENTRIES.values(), ids=ENTRIES.keys())
def test_a_claimed_length_is_not_reserved_before_the_items_are_checked(entry, length):
    with pytest.raises(TypeError) as short:
        entry(range(3))
    with pytest.raises(TypeError) as long:
        entry(range(length))
    assert str(long.value) == str(short.value)
