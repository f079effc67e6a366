"""Loading cost of the parse-tree index: generates a Lua program of nested functions, loops
and closures (about 1 MB by default), then times the parser and the rules alone, and
Language.load (the same two plus the index), so that the difference is what the index costs;
then reads every node's attributes once. The index is meant to be linear in nodes, symbols and
references: the index's share should stay a small fraction of the load. No assertions on time.

    PYTHONPATH=<build dir> python bench/load_index.py [size in MB]
"""
import os
import random
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "examples", "lua"))

import lua  # noqa: E402
import wuna  # noqa: E402


def program(size):
    rng = random.Random(1)
    parts, total, n = [], 0, 0
    while total < size:
        n += 1
        part = (f"local function f{n}(a, b)\n"
                f"  local acc = {{}}\n"
                f"  for i = 1, a do\n"
                f"    local v = i * b + {rng.randrange(100)}\n"
                f"    acc[#acc + 1] = function() return v + i + a end\n"
                f"  end\n"
                f"  local function inner(x) return x + b end\n"
                f"  while b > 0 do b = b - 1 local w = inner(b) end\n"
                f"  return acc\n"
                f"end\n")
        parts.append(part)
        total += len(part)
    return "".join(parts)


def best(fn, rounds=3):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    size = int(float(sys.argv[1]) * 1e6) if len(sys.argv) > 1 else 1_000_000
    source = program(size)
    language = wuna.Language(lua.parser, lua.rules)
    baseline = best(lambda: lua.rules.analyze(lua.parser.parse_tree(source, recover=True)))
    loaded = best(lambda: language.load(source))
    root = language.load(source).root
    names = root.find("Name")
    nodes = len(names)
    walk = best(lambda: [(n.line, n.column, n.parent) for n in names])
    mb = len(source) / 1e6
    print(f"{mb:.2f} MB of Lua")
    print(f"parse + analyze:      {baseline * 1e3:8.1f} ms")
    print(f"Language.load:        {loaded * 1e3:8.1f} ms  (index: {(loaded - baseline) * 1e3:.1f} ms)")
    print(f"line, column, parent: {walk * 1e9 / max(nodes, 1):8.0f} ns per name node ({nodes} nodes)")


if __name__ == "__main__":
    main()
