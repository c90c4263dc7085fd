"""Per-call cost of the sort classes against comparable calls into C types of the standard library.

    python benchmarks/bench_sort_classes.py [--number N]

Prints nanoseconds per call and the ratio to the reference measured in the same run
(aim: within 1.5x). Both sides make one object of a C type from positional or keyword
arguments, or look up a class attribute and compare it.
"""

import argparse
import datetime
import timeit

import quorbelin as q

SETUP_GLOBALS = {
    "SortCriterion": q.SortCriterion,
    "SortOrder": q.SortOrder,
    "kind": q.SortCriterionKind.ChildCount,
    "order": q.SortOrder.Descending,
    "date": datetime.date,
    "day": datetime.date(2020, 1, 2),
}

# (what, our statement, reference statement)
CASES = [
    ("construct, by position", "SortCriterion(kind, order)", "date(2020, 1, 2)"),
    ("construct, by keyword", "SortCriterion(kind=kind, order=order)", "date(year=2020, month=1, day=2)"),
    ("class attribute == value", "SortOrder.Ascending == 1", "date.min == day"),
]


def per_call_ns(ours, reference, number, repeat):
    """Best per-call times of both statements, measured in alternation so that load on the
    machine affects both alike."""
    timers = [timeit.Timer(s, globals=SETUP_GLOBALS) for s in (ours, reference)]
    best = [float("inf"), float("inf")]
    for _ in range(repeat):
        for i, timer in enumerate(timers):
            best[i] = min(best[i], timer.timeit(number))
    return [b / number * 1e9 for b in best]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--number", type=int, default=200_000,
                        help="calls per timing of each statement (default: 200000)")
    parser.add_argument("--repeat", type=int, default=7,
                        help="timings of each statement, alternating, the best kept (default: 7)")
    args = parser.parse_args()
    # Same answers before timing: both sides really build or compare what they say.
    assert eval("SortCriterion(kind, order)", SETUP_GLOBALS) == eval("SortCriterion(kind=kind, order=order)", SETUP_GLOBALS)
    assert eval("SortOrder.Ascending == 1", SETUP_GLOBALS) is False
    print(f"{'case':28} {'quorbelin ns':>13} {'reference ns':>13} {'ratio':>7}  reference")
    worst = 0.0
    for what, ours, reference in CASES:
        a, b = per_call_ns(ours, reference, args.number, args.repeat)
        worst = max(worst, a / b)
        print(f"{what:28} {a:13.1f} {b:13.1f} {a / b:7.2f}  {reference}")
    print(f"worst ratio {worst:.2f} (target 1.50)")


if __name__ == "__main__":
    main()
