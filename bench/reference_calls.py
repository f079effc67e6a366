"""Cost of the reference mode's dispatch and calls, on the Toy language of the tests: a loop
of plain statements, nested (non-tail) calls, and a chain of tail calls. The tail-call chain
is meant to run in constant depth and constant memory, so its time per step should not grow
with its length. No assertions on time.

    PYTHONPATH=<build dir> python bench/reference_calls.py [steps]
"""
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

from test_interp import toy  # noqa: E402

LOOP = "var i = 0; while i < %d { i = i + 1; }"
NESTED = "def f(n) { if n == 0 { return 0; } return 1 + f(n - 1); } var i = 0; " \
         "while i < %d { f(50); i = i + 50; }"
TAIL = "def down(n) { if n == 0 { return 0; } return down(n - 1); } down(%d);"


def measure(name, lang, source, steps):
    program = lang.load(source % steps)
    start = time.perf_counter()
    program.run()
    elapsed = time.perf_counter() - start
    print(f"{name:>8}: {steps} steps in {elapsed:.3f} s, {elapsed / steps * 1e6:.2f} us/step")


def main():
    steps = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
    measure("loop", toy(), LOOP, steps)
    measure("nested", toy(tail=False), NESTED, steps)
    for n in (steps // 10, steps, steps * 5):
        measure("tail", toy(max_depth=10), TAIL, n)


if __name__ == "__main__":
    main()
