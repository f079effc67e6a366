"""The Lua example in its two modes beside lua5.4: the same programs run by
`examples/lua/lua.py --mode python`, `--mode compiled` and `lua5.4`, in one run, with a table
of wall times (process start, loading and compiling included) and the ratios
compiled/python and compiled/lua5.4. Each program prints one checksum; the three outputs
must agree, else the row says so. No assertions on time.

    python bench/modes.py [--scale F] [--only NAME ...]

--scale multiplies every program's size (0.1 for a quick look: the python mode is slow).
"""
import argparse
import math
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
LUA = os.path.join(HERE, "..", "examples", "lua", "lua.py")

PROGRAMS = {
    "fib(27)": ("""
local function fib(n) if n < 2 then return n end return fib(n - 1) + fib(n - 2) end
print(fib(%(n)d))
""", {"n": 27}, lambda scale, v: {"n": max(10, v["n"] + round(math.log(scale, 1.618)))}),
    "while 3e6": ("""
local i, acc = 0, 0
while i < %(n)d do acc = (acc + i * 7) %% 1000003; i = i + 1 end
print(acc)
""", {"n": 3_000_000}, None),
    "closures 3e5": ("""
local total = 0
for i = 1, %(n)d do
  local function add(x) return x + i end
  total = total + add(1)
end
print(total)
""", {"n": 300_000}, None),
    "strings": ("""
local parts = {}
for i = 1, %(n)d do parts[#parts + 1] = tostring(i) .. "," end
local s = table.concat(parts)
print(#s)
""", {"n": 200_000}, None),
    "tables": ("""
local t = {}
for i = 1, %(n)d do table.insert(t, (i * 7919) %% 100003) end
table.sort(t)
local acc = 0
for i = 1, #t, 97 do acc = acc + t[i] end
print(acc)
""", {"n": 200_000}, None),
}


def sized(values, scale, rescale):
    if rescale:
        return rescale(scale, values)
    return {k: max(1, int(v * scale)) for k, v in values.items()}


def timed(command):
    start = time.perf_counter()
    done = subprocess.run(command, capture_output=True, text=True)
    elapsed = time.perf_counter() - start
    if done.returncode != 0:
        lines = done.stderr.splitlines()
        said = [line for line in lines if "rror" in line] or [line for line in lines if line.strip()]
        return elapsed, None, (said or ["exit %d" % done.returncode])[-1].strip()
    return elapsed, done.stdout, None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--only", nargs="*")
    args = parser.parse_args()
    lua54 = shutil.which("lua5.4")
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for name, (text, values, rescale) in PROGRAMS.items():
            if args.only and name not in args.only:
                continue
            path = os.path.join(tmp, "bench.lua")
            with open(path, "w") as f:
                f.write(text % sized(values, args.scale, rescale))
            results = {}
            for mode in ("python", "compiled"):
                results[mode] = timed([sys.executable, LUA, "--mode", mode, path])
            results["lua5.4"] = timed([lua54, path]) if lua54 else (None, None, "not installed")
            rows.append((name, results))
    print(f"{'program':<14}{'python s':>10}{'compiled s':>12}{'lua5.4 s':>10}"
          f"{'comp/py':>9}{'comp/lua':>9}  note")
    for name, results in rows:
        py, comp, lua = (results[k] for k in ("python", "compiled", "lua5.4"))
        notes = [f"{k}: {r[2]}" for k, r in results.items() if r[2]]
        outputs = {r[1] for r in results.values() if r[1] is not None}
        if len(outputs) > 1:
            notes.append("outputs differ")

        def cell(r, width):
            return f"{r[0]:>{width}.2f}" if r[0] is not None and r[2] is None else f"{'-':>{width}}"

        def ratio(a, b):
            if a[2] or b[2] or a[0] is None or b[0] is None:
                return f"{'-':>9}"
            return f"{a[0] / b[0]:>9.3f}"
        print(f"{name:<14}{cell(py, 10)}{cell(comp, 12)}{cell(lua, 10)}"
              f"{ratio(comp, py)}{ratio(comp, lua)}  {'; '.join(notes)}")


if __name__ == "__main__":
    main()
