# Calls that read what they are given in place: the process grows by what a call returns, not by copies of its
# receiver or of its arguments.
import subprocess
import sys

import pytest

SETUP = {
    # A species tree of 2^21 nodes, whose copy would take 72 MiB.
    "state": """
names = [f"T{i}" for i in range(2**20)]
while len(names) > 1:
    names = [f"({names[i]},{names[i + 1]})" for i in range(0, len(names), 2)]
obj, call = qb.MSCTreeSet("(T0,T1);", names.pop() + ";"), lambda obj: obj.__getstate__()
""",
    # 20,000 names of 2,000 bytes in the mapping's keys and as many in its values.
    "remap": """
names = [f"{i:02000d}" for i in range(20000)]
obj = qb.TreeSet("(" + ",".join(names) + ");")
call = lambda obj, mapping={name: "x" + name for name in names}: obj.remap(mapping)
""",
}


# The MiB the process grew by in the call, and the bytes of what the call made that must be new: the state, or
# the new names of the renamed set.
def growth(setup):
    code = ("import gc, resource, quorbelin as qb\n" + setup +
            "gc.collect()\npeak = lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\nbefore = peak()\n"
            "out = call(obj)\ngrown = peak() - before\n"
            "made = len(out) if isinstance(out, bytes) else sum(map(len, out.taxon_set.names()))\n"
            "print(grown / 1024, made / 2**20)")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0, run.stderr
    return tuple(map(float, run.stdout.split()))


# Before, __getstate__ of a gene-tree/species-tree set copied the species tree (252 MiB for a 110 MiB state) and
# remap copied every key and value of the mapping (118 MiB for 38 MiB of new names).
@pytest.mark.parametrize("call", SETUP)
def test_a_call_grows_by_what_it_makes(call):
    grown, made = growth(SETUP[call])
    assert grown < 1.25 * made, (grown, made)
