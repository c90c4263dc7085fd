# FamilyOfMSC state and memory: __getstate__ holds at most the stored list and the frame at once.
# Each case runs in a child process, so that the peak measured is the child's own (Linux: the peak
# resident size is reset through /proc/self/clear_refs).
import os
import subprocess
import sys

import pytest

pytestmark = [
    pytest.mark.skipif(not os.access("/proc/self/clear_refs", os.W_OK), reason="needs Linux's /proc/self/clear_refs"),
    pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                       reason="AddressSanitizer's shadow memory is measured with the rest"),
]

CHILD = r"""
import quorbelin as qb
def status(key):
    return next(int(line.split()[1]) * 1024 for line in open("/proc/self/status") if line.startswith(key + ":"))
def growth(call):  # what `call` returns, and how far the resident size rose above its start
    open("/proc/self/clear_refs", "w").write("5")
    before = status("VmRSS")
    out = call()
    return out, status("VmHWM") - before
"""


def run(script):
    done = subprocess.run([sys.executable, "-c", CHILD + script], capture_output=True, text=True, timeout=300,
                          cwd=os.path.dirname(__file__))
    assert done.returncode == 0, done.stderr
    return done.stdout.split()


def test_getstate_holds_at_most_the_stored_list_and_the_frame():
    # One 20,000-leaf gene tree and species tree, added 40 times: 130 MB stored.
    out = run("n = 20000\nt = '(' * (n - 1) + 't0,' + ','.join(f't{i})' for i in range(1, n)) + ';'\n"
              "m, f = type(qb.MSCTreeSet('(A,B);', '(A,B);').as_topology())(t, t), qb.FamilyOfMSC()\n"
              "for _ in range(40): f.add(m)\n"
              "stored = 8 + 40 * len(m.__getstate__())\n"
              "frame, grew = growth(f.__getstate__)\n"
              "print(stored, len(frame), grew)")
    stored, frame, grew = map(int, out)
    assert stored > 100 << 20 and grew <= stored + frame + (8 << 20), (stored >> 20, frame >> 20, grew >> 20)
