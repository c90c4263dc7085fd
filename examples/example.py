"""Read a file of gene trees, look at it, and store it.

Run from anywhere: python examples/example.py
"""

import pathlib

import quorbelin

GENES = pathlib.Path(__file__).parent / "data" / "genes.tre"

genes = quorbelin.TreeSet.from_file(str(GENES))
print(genes)  # how many trees over how many taxa
print()

print(genes.to_newick_string())  # every tree with its branch lengths
print()

first = genes[0]
print("First tree, topology only:", first)
print("Leaf-to-leaf distances in edges:")
print(genes.get_distance_matrix(0))

state = genes.__getstate__()  # the bytes pickling would store
print(f"Pickled state: {len(state)} bytes")

restored = quorbelin.TreeSet("(A,B);")  # any set: its value is replaced whole
restored.__setstate__(state)
assert restored.to_newick_string() == genes.to_newick_string()
print("Restored from the state:", restored)

