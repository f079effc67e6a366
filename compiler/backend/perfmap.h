// The perf map: Linux perf's file naming the code made at run time, "/tmp/perf-<pid>.map",
// one line "<start hex> <size hex> <label>" per known address in ascending order, the size
// being the gap to the next address (at most 1 MiB; 4 KiB for the last).
//
// perfNames is process-wide: address -> label, for every symbol of every module state loaded
// while configure(perf_map=True) was on; a new label for an address replaces the old one. After
// each load the whole file is written again from it, so the file always describes all code
// loaded so far. The file sits in a directory everyone can write to, so it is never opened
// in place: each version is written into a new file created exclusively (never following a
// link someone planted) and renamed over the map's name, which perf then sees whole.
//
// Runs with the interpreter lock held, which also guards perfNames. Failures are silent: the
// map is a diagnostic aid.
#pragma once
#include <cstddef>
#include <cstdint>

namespace wuna::driver {

struct Compiled;

// Enters the compiler's new symbols (those starting with the state's prefix) and rewrites
// the file.
void updatePerfMap(Compiled* state);

// The label of a symbol: "<symbol> <qualname> (<base name of file>:<line>)" for a Python
// function compiled out of line with a front-end result, else the symbol. Owned text, or
// null when memory runs out.
char* perfLabel(const char* symbol, const char* qualname, const char* file, uint32_t firstLine);

// The map's path for this process ("/tmp/perf-<pid>.map") into buf.
void perfMapPath(char* buf, size_t cap);

}  // namespace wuna::driver
