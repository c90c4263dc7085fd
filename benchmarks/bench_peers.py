#!/usr/bin/env python3
"""quorbelin side by side with other Python tree libraries, in one run.

    python benchmarks/bench_peers.py [--quick] [--data DIR] [--out DIR]

Peers (install with `pip install .[bench]`; CompactTree separately, it needs swig to build):
TreeSwift, DendroPy, Bio.Phylo, CompactTree for reading, writing and pickling sets of trees;
phylodm (and, on small trees, TreeSwift, DendroPy and CompactTree) for distance matrices. A peer
that is not installed is skipped with a printed note.

Workloads: the gene-tree sets and the large species tree in the data folder (default: the
shared/data folder beside the repository), random trees of 10^4, 10^5 and 10^6 leaves with branch
lengths, and random trees of 10^3, 5*10^3 and 10^4 leaves with every branch length 1 for the
distance matrices (quorbelin counts edges; the peers sum lengths, so unit lengths make the two
answers the same). Random trees are made at run time by benchmarks/make_trees.py.

Before anything is timed, every library's answer is checked: the same trees with the same leaves
as the input text, the Newick each one writes read back (by itself and by quorbelin) to the same
leaves, the same distances on a sample of leaf pairs, and restored pickles with the same leaves.

Timing is the best of N runs with time.perf_counter, with the cyclic garbage collector off during
a run (as timeit does) and collected between runs. Memory per node is the growth of the resident
set while loading, measured in a fresh interpreter per library and workload.

Results: a table on standard output and, for the full run over the data folder,
benchmarks/results/peers.md, peers.json and peers.png. --quick runs small sizes (under a minute)
and does not judge the aims, which hold for the full run's sizes; it, and a run without the data
folder, write to a new temporary folder unless --out is given.
"""

from __future__ import annotations

import argparse
import ctypes
import datetime
import gc
import json
import os
import platform
import random
import re
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import peers as P  # noqa: E402

REPO = Path(__file__).resolve().parents[1]
DEFAULT_DATA = REPO.parent / "shared" / "data"
DEFAULT_MAKE_TREES = REPO / "benchmarks" / "make_trees.py"
RESULTS = REPO / "benchmarks" / "results"

# Peers whose distance matrix is a Python-level all-pairs walk (or, for CompactTree, a tuple of
# n^2/2 Python tuples) run only up to this many leaves.
SLOW_DM_CAP = {"full": {"TreeSwift": 1000, "DendroPy": 1000, "CompactTree": 1000},
               "quick": {"TreeSwift": 1000, "DendroPy": 300, "CompactTree": 1000}}

# DendroPy needs about a minute per pass over a 10^6-leaf tree (reading, writing, pickling, and
# again in the memory run); it adds nothing to the aims there, so it stops at 10^5 leaves.
SLOW_SET_CAP = {"DendroPy": 100_000}

AIMS = {
    "read_vs_treeswift": 100.0,   # reading the random 10^5- and 10^6-leaf trees, times faster than TreeSwift
    "read_vs_compacttree": 1.0,   # ... and faster than CompactTree (10^6 leaves)
    "write_vs_treeswift": 40.0,   # writing the random 10^5/10^6-leaf trees and every real file
    "write_vs_read": 1.0,         # writing a set at least as fast as reading its text
    "bytes_per_node": 48.0,       # resident memory per node of a loaded set
    "dm_vs_phylodm": 2.0,         # 10^4-leaf distance matrix, times faster than phylodm
    "state_mb_per_s": 1000.0,     # __getstate__ then __setstate__, MB of state per second
}


# ---------------------------------------------------------------------------------------------
# Workloads

@dataclass
class Workload:
    name: str
    path: str
    kind: str                     # "genes" (real set), "single" (real tree), "random", "dm"
    leaves_hint: int = 0
    _text: str | None = field(default=None, repr=False)

    @property
    def text(self) -> str:
        if self._text is None:
            self._text = Path(self.path).read_text(encoding="utf-8")
        return self._text

    def drop_text(self):
        self._text = None

    def describe(self) -> dict:
        trees = P.split_trees(self.text)
        per_tree = [len(P.leaf_names(t)) for t in trees]
        nodes = sum(P.node_count(t) for t in trees)
        return {"trees": len(trees), "leaves": sum(per_tree), "largest_tree": max(per_tree, default=0),
                "nodes": nodes, "bytes": len(self.text.encode())}


def make_text(*args, script: Path = DEFAULT_MAKE_TREES) -> str:
    """The trees benchmarks/make_trees.py writes for these arguments."""
    return subprocess.run([sys.executable, str(script), *map(str, args)], check=True,
                          capture_output=True, text=True).stdout


def results_path(named: str | None, name: str, record: bool = False) -> Path:
    """Where a run writes its results file `name` ("" for a folder): the path named with --out;
    else, for a run that records the committed results (`record`), benchmarks/results; else a new
    temporary folder, so that a trial run never replaces a committed table."""
    if named:
        return Path(named)
    folder = RESULTS if record else Path(tempfile.mkdtemp(prefix="quorbelin-bench-"))
    return folder / name


def no_data(missing, instead: str) -> str:
    """The note of a run whose data folder or file is missing: what it does instead, and how to
    give the data."""
    return f"{missing} not found: {instead} (give the folder of the real tree files with --data DIR)"


def make_random(make_trees: Path, n: int, seed: int, lengths: bool, dest: Path) -> Path:
    text = make_text("random", n, "--seed", seed, *["--lengths"] * lengths, script=make_trees).strip()
    if not lengths:
        # Every edge gets length 1, so summed lengths equal edge counts.
        text = re.sub(r"([^(),;:\s]+|\))(?=[,)])", r"\1:1", text)
    dest.write_text(text + "\n", encoding="utf-8")
    return dest


def build_workloads(args, tmp: Path):
    data = Path(args.data)
    quick = args.quick
    sets, dms = [], []
    if data.is_dir():
        real = sorted(data.glob("*_genetrees.tre"))
        if quick:
            real = [p for p in real if p.name == "mammals37_genetrees.tre"] or real[:1]
        for p in real:
            sets.append(Workload(p.name.replace("_genetrees.tre", " genes"), str(p), "genes"))
        big = data / "wol10575_species_astral.nwk"
        if big.exists() and not quick:
            sets.append(Workload("wol10575 species tree", str(big), "single"))
    else:
        print("note:", no_data(data, "timing random trees only"))
    sizes = [1000, 10_000] if quick else [10_000, 100_000, 1_000_000]
    for k, n in enumerate(sizes):
        path = make_random(Path(args.make_trees), n, 11 + k, True, tmp / f"random_{n}.nwk")
        sets.append(Workload(f"random {fmt_n(n)} leaves", str(path), "random", n))
    dm_sizes = [300, 1000] if quick else [1000, 5000, 10_000]
    for k, n in enumerate(dm_sizes):
        path = make_random(Path(args.make_trees), n, 31 + k, False, tmp / f"unit_{n}.nwk")
        dms.append(Workload(f"{fmt_n(n)} leaves", str(path), "dm", n))
    if quick:
        mem = [w for w in sets if w.kind == "genes"][:1] + [w for w in sets if w.leaves_hint == 10_000]
    else:
        mem = [w for w in sets if w.name.startswith(("sim100", "palaeognathae15"))] + \
              [w for w in sets if w.leaves_hint >= 100_000]
    return sets, dms, mem


def fmt_n(n: int) -> str:
    digits, k = str(n), len(str(n)) - 1
    if n >= 1000 and digits.rstrip("0") == "1":
        return f"10^{k}"
    if n >= 1000 and len(digits.rstrip("0")) == 1:
        return f"{digits[0]}×10^{k}"
    return str(n)


# ---------------------------------------------------------------------------------------------
# Timing and checking

def best_of(fn, repeat: int, budget: float):
    """Best wall time of up to `repeat` runs, stopping early once `budget` seconds are spent."""
    times = []
    for _ in range(repeat):
        gc.collect()
        gc.disable()
        try:
            t0 = time.perf_counter()
            out = fn()
            dt = time.perf_counter() - t0
        finally:
            gc.enable()
        del out
        times.append(dt)
        if sum(times) > budget:
            break
    return min(times), len(times)


def same_leaves(got: list[list[str]], truth: list[list[str]]) -> str:
    """Empty when every tree holds the same leaf names (as multisets), else what differs."""
    if len(got) != len(truth):
        return f"{len(got)} trees instead of {len(truth)}"
    for i, (g, t) in enumerate(zip(got, truth)):
        if sorted(g) != t:
            return f"tree {i}: {len(g)} leaves instead of {len(t)}" if len(g) != len(t) else \
                f"tree {i}: leaf names differ (e.g. {sorted(set(g) ^ set(t))[:3]})"
    return ""


class Run:
    def __init__(self, args):
        self.args = args
        self.mode = "quick" if args.quick else "full"
        self.records: list[dict] = []
        self.checks: list[dict] = []
        self.notes: list[str] = []
        self.workloads: dict[str, dict] = {}

    def note(self, text: str):
        print("note:", text)
        self.notes.append(text)

    def check(self, measure, workload, lib, problem):
        self.checks.append({"measure": measure, "workload": workload, "lib": lib,
                            "ok": not problem, "problem": problem})
        if problem:
            print(f"  CHECK FAILED {measure} / {workload} / {lib}: {problem}")
        return not problem

    def record(self, measure, workload, lib, best, runs, ok, **extra):
        rec = {"measure": measure, "workload": workload, "lib": lib, "best_s": best, "runs": runs,
               "ok": ok}
        rec.update(extra)
        self.records.append(rec)
        print(f"  {measure:<6} {workload:<26} {lib:<12} {fmt_time(best):>10}  ({runs} runs)"
              + ("" if ok else "  [answer differs]"))

    def timed(self, fn):
        return best_of(fn, self.args.repeat, self.args.budget)


def fmt_time(s: float | None) -> str:
    if s is None:
        return "-"
    if s < 1e-3:
        return f"{s * 1e6:.0f} µs"
    if s < 1:
        return f"{s * 1e3:.1f} ms" if s < 0.1 else f"{s * 1e3:.0f} ms"
    return f"{s:.2f} s"


# ---------------------------------------------------------------------------------------------
# Measures

def bench_sets(run: Run, ours, peers, workloads):
    """Reading, writing and state round trips of whole sets of trees."""
    libs = ([ours] if ours.available else []) + [p for p in peers if p.available]
    for w in workloads:
        info = w.describe()
        run.workloads[w.name] = {"kind": w.kind, **info}
        print(f"\n{w.name}: {info['trees']} trees, {info['leaves']} leaves, {info['nodes']} nodes, "
              f"{info['bytes'] / 1e6:.1f} MB")
        truth = [sorted(P.leaf_names(t)) for t in P.split_trees(w.text)]
        for lib in libs:
            cap = SLOW_SET_CAP.get(lib.name)
            if cap is not None and info["largest_tree"] > cap:
                run.note(f"{lib.name} is left out on trees of more than {cap} leaves (it takes minutes there)")
                continue
            text = w.text
            try:
                obj = lib.read(text)
            except Exception as exc:
                run.check("read", w.name, lib.name, f"read failed: {type(exc).__name__}: {exc}")
                continue
            ok = run.check("read", w.name, lib.name, same_leaves(lib.leaf_lists(obj), truth))
            best, n = run.timed(lambda: lib.read(text))
            run.record("read", w.name, lib.name, best, n, ok, mb=info["bytes"] / 1e6)

            out = lib.write(obj)
            problem = same_leaves(lib.leaf_lists(lib.read(out)), truth)
            if not problem and lib is not ours and ours.available:
                problem = same_leaves(ours.leaf_lists(ours.read(out)), truth)
                problem = problem and f"quorbelin reading {lib.name}'s Newick: {problem}"
            if not problem and lib is ours:
                ts = next((p for p in peers if p.name == "TreeSwift" and p.available), None)
                if ts is not None:
                    problem = same_leaves(ts.leaf_lists(ts.read(out)), truth)
                    problem = problem and f"TreeSwift reading quorbelin's Newick: {problem}"
            ok = run.check("write", w.name, lib.name, problem)
            del out
            best, n = run.timed(lambda: lib.write(obj))
            run.record("write", w.name, lib.name, best, n, ok)

            if not lib.can_pickle:
                if w is workloads[0]:
                    run.note(lib.pickle_note)
            else:
                bench_state(run, lib, ours, obj, w, truth)
            del obj
            gc.collect()
        w.drop_text()


def bench_state(run: Run, lib, ours, obj, w, truth):
    try:
        restored, size = lib.state_roundtrip(obj)
    except Exception as exc:  # e.g. RecursionError on a peer's deep object graph
        run.check("state", w.name, lib.name, f"state round trip failed: {type(exc).__name__}: {exc}")
        return
    problem = same_leaves(lib.leaf_lists(restored), truth)
    if not problem and lib is ours and restored.to_newick_string() != obj.to_newick_string():
        problem = "restored set writes different Newick"
    ok = run.check("state", w.name, lib.name, problem)
    del restored
    best, n = run.timed(lambda: lib.state_roundtrip(obj))
    extra = {"state_bytes": size, "mb_per_s": size / 1e6 / best}
    if lib is ours:
        state = ours.get_state(obj)
        extra["get_s"], _ = run.timed(lambda: ours.get_state(obj))
        extra["set_s"], _ = run.timed(lambda: ours.set_state(state))
        del state
    run.record("state", w.name, lib.name, best, n, ok, **extra)


def bench_dm(run: Run, ours, peers, workloads):
    libs = ([ours] if ours.available else []) + [p for p in peers if p.available]
    caps = SLOW_DM_CAP[run.mode]
    rng = random.Random(5)
    for w in workloads:
        info = w.describe()
        run.workloads[w.name] = {"kind": w.kind, **info}
        print(f"\ndistance matrix, {w.name}")
        names = P.leaf_names(w.text)
        pairs = [tuple(rng.sample(names, 2)) for _ in range(200)]
        reference = None
        for lib in libs:
            cap = caps.get(lib.name)
            if cap is not None and info["leaves"] > cap:
                continue
            prepared = lib.dm_prepare(w.text, w.path)
            matrix = lib.dm(prepared)
            values = lib.dm_lookup(prepared, matrix, pairs)
            del matrix
            if reference is None:
                reference = (lib.name, values)
                problem = ""
            else:
                bad = [i for i, (a, b) in enumerate(zip(values, reference[1])) if abs(a - b) > 1e-9]
                problem = bad and (f"{len(bad)} of {len(pairs)} sampled distances differ from "
                                   f"{reference[0]} (e.g. {pairs[bad[0]]}: {values[bad[0]]} vs "
                                   f"{reference[1][bad[0]]})")
            ok = run.check("dm", w.name, lib.name, problem or "")
            best, n = run.timed(lambda: lib.dm(prepared))
            run.record("dm", w.name, lib.name, best, n, ok, leaves=info["leaves"])
            del prepared
            gc.collect()
        w.drop_text()
    capped = ", ".join(f"{k} up to {v} leaves" for k, v in caps.items())
    run.note(f"distance matrices of the slower peers only on small trees: {capped}")


# ---------------------------------------------------------------------------------------------
# Memory: one fresh interpreter per library and workload

ADAPTERS = {cls.name: cls for cls in [P.Ours] + P.SET_PEERS}


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def settle():
    gc.collect()
    try:  # hand freed heap pages back, so that the growth counts what the set keeps
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def memory_child(lib_name: str, path: str):
    lib = ADAPTERS[lib_name]()
    if not lib.available:
        print(json.dumps({"error": lib.note}))
        return
    text = Path(path).read_text(encoding="utf-8")
    if isinstance(lib, P.Ours):  # warm the import-time and first-call allocations
        lib.read("(A,B);")
    else:
        lib.read("(A:1,B:1);")
    settle()
    before = rss_bytes()
    obj = lib.read(text)
    settle()
    after = rss_bytes()
    print(json.dumps({"before": before, "after": after, "trees": len(lib.leaf_lists(obj))}))


def bench_memory(run: Run, ours, peers, workloads):
    libs = ([ours] if ours.available else []) + [p for p in peers if p.available]
    print("\nmemory (fresh interpreter per library)")
    for w in workloads:
        info = run.workloads.get(w.name) or {"kind": w.kind, **w.describe()}
        w.drop_text()
        for lib in libs:
            cap = SLOW_SET_CAP.get(lib.name)
            if cap is not None and info["largest_tree"] > cap:
                continue
            cmd = [sys.executable, str(Path(__file__).resolve()), "--memory-child", lib.name, w.path]
            try:
                out = subprocess.run(cmd, capture_output=True, text=True, timeout=1200)
                res = json.loads(out.stdout.strip().splitlines()[-1])
            except Exception as exc:
                run.note(f"memory of {lib.name} on {w.name} not measured: {type(exc).__name__}: {exc}")
                continue
            if "error" in res:
                run.note(res["error"])
                continue
            grown = res["after"] - res["before"]
            per_node = grown / info["nodes"]
            run.records.append({"measure": "memory", "workload": w.name, "lib": lib.name,
                                "rss_growth_bytes": grown, "nodes": info["nodes"],
                                "bytes_per_node": per_node, "ok": res["trees"] == info["trees"]})
            print(f"  memory {w.name:<26} {lib.name:<12} {grown / 1e6:8.1f} MB  {per_node:7.1f} B/node")


# ---------------------------------------------------------------------------------------------
# Report

MEASURE_TITLES = {
    "read": "Reading Newick text into a set of trees",
    "write": "Writing the set back as Newick text",
    "dm": "Leaf-to-leaf distance matrix of one tree",
    "state": "Pickled-state round trip (quorbelin: __getstate__ + __setstate__; peers: pickle.dumps + loads)",
}

# What each comparison does not share, printed under its table.
LABELS_CAVEAT = ("The peers keep support values and internal node labels, which quorbelin drops; "
                 "most real sets here carry support values, the random trees none.")
CAVEATS = {
    "read": "Caveat: " + LABELS_CAVEAT,
    "write": "Caveat: " + LABELS_CAVEAT,
    "dm": "Caveat: phylodm hands back a full numpy array; quorbelin's DistanceMatrix is read cell "
          "by cell (`m[i, j]`), so a use that reads every cell from Python pays for that too. "
          "quorbelin counts edges; the trees here have unit lengths so the answers agree.",
    "state": "Caveat: quorbelin's row is its own state round trip (`__getstate__` + `__setstate__` on "
             "an existing object); the peers' is a full `pickle.dumps` + `pickle.loads`, which also "
             "builds new objects. " + LABELS_CAVEAT,
    "memory": "Caveat: " + LABELS_CAVEAT,
}


def lib_order(run: Run) -> list[str]:
    seen = []
    for r in run.records:
        if r["lib"] not in seen:
            seen.append(r["lib"])
    return seen


def table_rows(run: Run, measure: str):
    recs = [r for r in run.records if r["measure"] == measure]
    libs = [lib for lib in lib_order(run) if any(r["lib"] == lib for r in recs)]
    workloads = []
    for r in recs:
        if r["workload"] not in workloads:
            workloads.append(r["workload"])
    return recs, libs, workloads


def speedups(run: Run):
    """(measure, workload, peer, peer time / our time) for every pair that both ran."""
    out = []
    for measure in ("read", "write", "dm", "state"):
        recs, libs, workloads = table_rows(run, measure)
        for w in workloads:
            ours = next((r for r in recs if r["workload"] == w and r["lib"] == "quorbelin"), None)
            if ours is None:
                continue
            for r in recs:
                if r["workload"] == w and r["lib"] != "quorbelin":
                    out.append((measure, w, r["lib"], r["best_s"] / ours["best_s"]))
    return out


def markdown(run: Run) -> str:
    lines = []
    for measure, title in MEASURE_TITLES.items():
        recs, libs, workloads = table_rows(run, measure)
        if not recs:
            continue
        lines += [f"### {title}", ""]
        head = ["workload"] + libs
        lines.append("| " + " | ".join(head) + " |")
        lines.append("|" + "---|" * len(head))
        for w in workloads:
            row = [w]
            ours = next((r for r in recs if r["workload"] == w and r["lib"] == "quorbelin"), None)
            for lib in libs:
                r = next((r for r in recs if r["workload"] == w and r["lib"] == lib), None)
                if r is None:
                    row.append("-")
                    continue
                cell = fmt_time(r["best_s"])
                if lib == "quorbelin" and measure == "state":
                    cell += f" ({r['mb_per_s']:.0f} MB/s)"
                if ours is not None and lib != "quorbelin":
                    cell += f" (×{r['best_s'] / ours['best_s']:.1f})"
                if not r["ok"]:
                    cell += " ⚠"
                row.append(cell)
            lines.append("| " + " | ".join(row) + " |")
        lines += ["", CAVEATS[measure], ""]
    speed = [(r, next((x for x in run.records if x["measure"] == "write" and x["lib"] == "quorbelin"
                       and x["workload"] == r["workload"]), None))
             for r in run.records if r["measure"] == "read" and r["lib"] == "quorbelin"]
    if speed:
        lines += ["### quorbelin's Newick speed (MB of text per second)", "",
                  "| workload | text | read | write | write speed / read speed |", "|---|---|---|---|---|"]
        for r, w in speed:
            lines.append(f"| {r['workload']} | {r['mb']:.1f} MB | {r['mb'] / r['best_s']:.0f} MB/s | "
                         + ("- | - |" if w is None else
                            f"{r['mb'] / w['best_s']:.0f} MB/s | {r['best_s'] / w['best_s']:.2f} |"))
        lines.append("")
    split = [r for r in run.records if r["measure"] == "state" and r["lib"] == "quorbelin"]
    if split:
        lines += ["### quorbelin's state round trip, split", "",
                  "| workload | state size | __getstate__ | __setstate__ | round trip |", "|---|---|---|---|---|"]
        for r in split:
            lines.append(f"| {r['workload']} | {r['state_bytes'] / 1e6:.1f} MB | {fmt_time(r['get_s'])} | "
                         f"{fmt_time(r['set_s'])} | {r['mb_per_s']:.0f} MB/s |")
        lines.append("")
    mem = [r for r in run.records if r["measure"] == "memory"]
    if mem:
        libs = [lib for lib in lib_order(run) if any(r["lib"] == lib for r in mem)]
        lines += ["### Resident memory per node of a loaded set (fresh interpreter per library)", ""]
        lines.append("| workload | nodes | " + " | ".join(libs) + " |")
        lines.append("|" + "---|" * (len(libs) + 2))
        for w in dict.fromkeys(r["workload"] for r in mem):
            row = [w, str(next(r["nodes"] for r in mem if r["workload"] == w))]
            for lib in libs:
                r = next((r for r in mem if r["workload"] == w and r["lib"] == lib), None)
                row.append("-" if r is None else f"{r['bytes_per_node']:.0f} B")
            lines.append("| " + " | ".join(row) + " |")
        lines += ["", CAVEATS["memory"], ""]
    return "\n".join(lines)


def before_after(run: Run, before: dict) -> str:
    """quorbelin's times and its lead over TreeSwift, in a previous results file and in this run."""
    def index(records):
        return {(r["measure"], r["workload"], r["lib"]): r["best_s"] for r in records if "best_s" in r}
    old, new = index(before.get("results", [])), index(run.records)
    rows = []
    for measure in ("read", "write", "state"):
        for w in dict.fromkeys(r["workload"] for r in run.records if r["measure"] == measure):
            key, ts = (measure, w, "quorbelin"), (measure, w, "TreeSwift")
            if key not in old or key not in new:
                continue
            lead = [f"×{t[ts] / t[key]:.1f}" if ts in t else "-" for t in (old, new)]
            rows.append(f"| {measure} | {w} | {fmt_time(old[key])} | {lead[0]} | {fmt_time(new[key])} | "
                        f"{lead[1]} | {old[key] / new[key]:.2f} |")
    if not rows:
        return ""
    meta = before.get("meta", {})
    return "\n".join([
        f"### Before and after: the previous results (commit {meta.get('commit', '?')}, "
        f"{meta.get('date', '?')}) and this run", "",
        "Each run's lead over TreeSwift is measured within that run; the last column is the previous "
        "quorbelin time over this one (a different run on a shared machine: the leads compare better).", "",
        "| measure | workload | before | lead over TreeSwift | after | lead over TreeSwift | before / after |",
        "|---|---|---|---|---|---|---|", *rows, ""])


def assess_aims(run: Run) -> list[dict]:
    aims = []

    def rec(measure, workload, lib):
        return next((r for r in run.records if r["measure"] == measure and r["workload"] == workload
                     and r["lib"] == lib), None)

    randoms = sorted((w for w, i in run.workloads.items() if i["kind"] == "random"),
                     key=lambda w: run.workloads[w]["leaves"])
    big = randoms[-1] if randoms else None
    for w in randoms[-2:]:
        ours, peer = rec("read", w, "quorbelin"), rec("read", w, "TreeSwift")
        if ours and peer:
            ratio = peer["best_s"] / ours["best_s"]
            aims.append({"aim": f"read {w}: ≥ {AIMS['read_vs_treeswift']:g}× faster than TreeSwift",
                         "value": f"{ratio:.1f}×", "met": ratio >= AIMS["read_vs_treeswift"]})
    if big and rec("read", big, "quorbelin") and rec("read", big, "CompactTree"):
        ratio = rec("read", big, "CompactTree")["best_s"] / rec("read", big, "quorbelin")["best_s"]
        aims.append({"aim": f"read {big}: faster than CompactTree", "value": f"{ratio:.1f}×",
                     "met": ratio > AIMS["read_vs_compacttree"]})
    real = [w for w, i in run.workloads.items() if i["kind"] in ("genes", "single")]
    for w in real + randoms[-2:]:
        ours, peer = rec("write", w, "quorbelin"), rec("write", w, "TreeSwift")
        if ours and peer:
            ratio = peer["best_s"] / ours["best_s"]
            aims.append({"aim": f"write {w}: ≥ {AIMS['write_vs_treeswift']:g}× faster than TreeSwift",
                         "value": f"{ratio:.1f}×", "met": ratio >= AIMS["write_vs_treeswift"]})
    for w in real + randoms:
        read, write = rec("read", w, "quorbelin"), rec("write", w, "quorbelin")
        if read and write:
            ratio = read["best_s"] / write["best_s"]
            aims.append({"aim": f"write {w}: at least as fast as reading it", "value": f"{ratio:.2f}×",
                         "met": ratio >= AIMS["write_vs_read"]})
    for r in run.records:
        if r["measure"] == "memory" and r["lib"] == "quorbelin":
            aims.append({"aim": f"memory {r['workload']}: ≤ {AIMS['bytes_per_node']:g} B/node",
                         "value": f"{r['bytes_per_node']:.1f} B/node",
                         "met": r["bytes_per_node"] <= AIMS["bytes_per_node"]})
    dm_big = max((w for w, i in run.workloads.items() if i["kind"] == "dm"),
                 key=lambda w: run.workloads[w]["leaves"], default=None)
    if dm_big and rec("dm", dm_big, "quorbelin") and rec("dm", dm_big, "phylodm"):
        ratio = rec("dm", dm_big, "phylodm")["best_s"] / rec("dm", dm_big, "quorbelin")["best_s"]
        aims.append({"aim": f"distance matrix {dm_big}: ≥ {AIMS['dm_vs_phylodm']:g}× faster than phylodm",
                     "value": f"{ratio:.2f}×", "met": ratio >= AIMS["dm_vs_phylodm"]})
    for r in run.records:
        if r["measure"] == "state" and r["lib"] == "quorbelin":
            aims.append({"aim": f"state round trip {r['workload']}: > 1 GB/s",
                         "value": f"{r['mb_per_s']:.0f} MB/s ({r['state_bytes'] / 1e6:.1f} MB)",
                         "met": r["mb_per_s"] > AIMS["state_mb_per_s"]})
    return aims


def chart(run: Run, path: Path) -> bool:
    """Draws the speed-ups into `path`; False when there is no chart (no matplotlib, no pairs)."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        run.note("matplotlib not installed; no chart")
        return False
    data = speedups(run)
    if not data:
        return False
    groups = list(dict.fromkeys((m, w) for m, w, _, _ in data))
    peers_seen = list(dict.fromkeys(p for _, _, p, _ in data))
    colors = dict(zip(peers_seen, plt.cm.tab10.colors))
    height = 0.8 / len(peers_seen)
    fig, ax = plt.subplots(figsize=(10, 0.42 * len(groups) + 1.5))
    for k, peer in enumerate(peers_seen):
        ys, xs = [], []
        for g, (m, w) in enumerate(groups):
            val = next((s for mm, ww, pp, s in data if (mm, ww, pp) == (m, w, peer)), None)
            if val is not None:
                ys.append(g + (k - (len(peers_seen) - 1) / 2) * height)
                xs.append(val)
        ax.barh(ys, xs, height=height, color=colors[peer], label=peer)
    ax.set_yticks(range(len(groups)))
    ax.set_yticklabels([f"{m}: {w}" for m, w in groups], fontsize=8)
    ax.invert_yaxis()
    ax.set_xscale("log")
    ax.axvline(1.0, color="black", linewidth=0.8)
    ax.set_xlabel("speed-up of quorbelin (peer time / quorbelin time, log scale; > 1 means quorbelin is faster)")
    ax.set_title("quorbelin against peer libraries")
    ax.legend(loc="lower right", fontsize=8)
    ax.grid(axis="x", which="both", alpha=0.3)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def machine_info(libs) -> dict:
    cpu = ""
    try:
        cpu = next(l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name"))
    except (OSError, StopIteration):
        pass
    commit = subprocess.run(["git", "-C", str(REPO), "rev-parse", "--short", "HEAD"],
                            capture_output=True, text=True).stdout.strip()
    return {"date": datetime.datetime.now().isoformat(timespec="seconds"), "python": sys.version.split()[0],
            "platform": platform.platform(), "cpu": cpu, "cores": os.cpu_count(), "commit": commit,
            "versions": {lib.name: lib.version for lib in libs if lib.available}}


def report(run: Run, ours, peers, out_dir: Path, before: dict | None = None):
    meta = machine_info([ours] + peers)
    meta["mode"] = run.mode
    # The aims are set for the full run's sizes: a quick run's small trees cannot meet or miss them.
    aims = assess_aims(run) if run.mode == "full" else []
    md = markdown(run)
    if before:
        md += before_after(run, before)
    failed = [c for c in run.checks if not c["ok"]]
    print("\n" + md)
    if aims:
        print("Aims:")
        for a in aims:
            print(f"  [{'met' if a['met'] else 'MISSED'}] {a['aim']}: {a['value']}")
    elif run.mode == "quick":
        print("Aims: not judged in a quick run (they hold for the full run's sizes)")
    if failed:
        print(f"{len(failed)} answer check(s) failed; those results are marked ⚠")
    out_dir.mkdir(parents=True, exist_ok=True)
    written = ["peers.png"] if chart(run, out_dir / "peers.png") else []  # first: its note goes into peers.md
    versions = ", ".join(f"{k} {v}" for k, v in meta["versions"].items())
    header = [
        "# quorbelin against peer libraries", "",
        f"Generated by `python benchmarks/bench_peers.py{' --quick' if run.mode == 'quick' else ''}` "
        f"on {meta['date']} (commit {meta['commit']}): Python {meta['python']}, {meta['cpu']}, "
        f"{meta['cores']} cores. Versions: {versions}.", "",
        "Times are the best of several runs (cyclic garbage collector off during a run). "
        "The figure in brackets is the peer's time divided by quorbelin's: how many times faster "
        "quorbelin is. ⚠ marks an answer that differed from the others. Every other answer was "
        "checked first: same trees and leaves, Newick read back, sampled distances, restored "
        "pickles.", "", "",
    ]
    aim_lines = ["### Aims", ""] + ([f"- {'met' if a['met'] else '**missed**'}: {a['aim']}: {a['value']}"
                                     for a in aims] or ["Not judged in a quick run."] * (run.mode == "quick")) + [""]
    note_lines = ["### Notes", ""] + [f"- {n}" for n in dict.fromkeys(run.notes)] + [""]
    (out_dir / "peers.md").write_text("\n".join(header) + md + "\n" + "\n".join(aim_lines + note_lines),
                                      encoding="utf-8")
    (out_dir / "peers.json").write_text(json.dumps(
        {"meta": meta, "workloads": run.workloads, "results": run.records, "checks": run.checks,
         "aims": aims, "notes": list(dict.fromkeys(run.notes))}, indent=1, ensure_ascii=False) + "\n",
        encoding="utf-8")
    print(f"\nwrote {out_dir}/" + ", ".join(["peers.md", "peers.json", *written]))
    return 1 if failed else 0


# ---------------------------------------------------------------------------------------------

def main(args) -> int:
    ours = P.Ours()
    if not ours.available:
        print(f"note: {ours.note}; timing the peers alone")
    set_peers = [cls() for cls in P.SET_PEERS]
    dm_only = [cls() for cls in P.DM_PEERS if cls not in P.SET_PEERS]
    skip = set(args.skip or [])
    for p in set_peers + dm_only:
        if p.name in skip:
            p.available, p.note = False, f"{p.name} skipped by --skip"
        if not p.available:
            print("note:", p.note)
    by_name = {p.name: p for p in set_peers + dm_only}
    dm_peers = [by_name[cls.name] for cls in P.DM_PEERS]
    run = Run(args)
    # The results this run replaces, for the before/after table.
    before_path = Path(args.before) if args.before else (RESULTS / "peers.json")
    before = json.loads(before_path.read_text(encoding="utf-8")) if before_path.is_file() else None
    run.notes += [p.note for p in [ours] + set_peers + dm_only if not p.available]
    with tempfile.TemporaryDirectory(prefix="quorbelin-bench-") as tmp:
        sets, dms, mem = build_workloads(args, Path(tmp))
        bench_sets(run, ours, set_peers, sets)
        bench_dm(run, ours, dm_peers, dms)
        if not args.no_memory:
            bench_memory(run, ours, set_peers, mem)
    out = results_path(args.out, "", record=not args.quick and Path(args.data).is_dir())
    return report(run, ours, set_peers + dm_only, out, before)


def parse_args(argv):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true",
                    help="small sizes, a smoke run of under a minute that does not judge the aims (default: the full "
                         "run, about 25 minutes)")
    ap.add_argument("--data", default=str(DEFAULT_DATA),
                    help="folder of real tree files (default: ../shared/data beside the repository; without it, "
                         "random trees only)")
    ap.add_argument("--make-trees", default=str(DEFAULT_MAKE_TREES),
                    help="the script that makes the random trees (default: benchmarks/make_trees.py)")
    ap.add_argument("--out", help="folder for peers.md/json/png (default: benchmarks/results for a full run over "
                                  "the data folder, else a new temporary folder)")
    ap.add_argument("--repeat", type=int, help="runs per timing, the best kept (default: 5; 3 with --quick)")
    ap.add_argument("--budget", type=float,
                    help="seconds after which a timing stops repeating (default: 15; 1 with --quick)")
    ap.add_argument("--skip", nargs="*", help="peer names to leave out, e.g. DendroPy (default: none)")
    ap.add_argument("--before", help="an earlier peers.json for the before/after table (default: "
                                     "benchmarks/results/peers.json)")
    ap.add_argument("--no-memory", action="store_true",
                    help="skip the memory measures, each a fresh interpreter (default: measured)")
    ap.add_argument("--memory-child", nargs=2, metavar=("LIB", "PATH"), help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.repeat is None:
        args.repeat = 3 if args.quick else 5
    if args.budget is None:
        args.budget = 1.0 if args.quick else 15.0
    return args


def run_with_big_stack(fn, *a) -> int:
    # The peers' pickling and some of their walks recurse on tree depth.
    sys.setrecursionlimit(1_000_000)
    threading.stack_size(1 << 29)
    result = []
    t = threading.Thread(target=lambda: result.append(fn(*a)))
    t.start()
    t.join()
    return result[0] if result else 2


if __name__ == "__main__":
    ARGS = parse_args(sys.argv[1:])
    if ARGS.memory_child:
        memory_child(*ARGS.memory_child)
        sys.exit(0)
    sys.exit(run_with_big_stack(main, ARGS))
