// The three keys that name compiled code by content: the language's definition hash, the
// program key and the module key.
//
// The definition hash covers everything about a Language that changes the code made from it:
// the grammar as the parser reports it, the code of its semantics and host functions, its
// function kinds and settings, and the Python values the compiler folds into code while it
// compiles (defaults, closure cells, the module globals a semantic names, the code of the
// functions it reaches through them, comptime functions among them). A stored Python script
// computes it (run once per process, its `definition` kept), so the hash is the same in every
// process for the same definition: moving the semantics' files to another directory keeps it,
// and nothing that prints an object's address goes in.
//
// The program key adds the source; the module key adds the Language object's identity and
// the path, so only programs of the one Language object share an in-process module state.
// A session entry has no module key: it never shares one.
//
// Everything here runs with the interpreter lock held.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

namespace wuna::host {
struct FunctionKind;
}

namespace wuna::driver {

inline constexpr size_t kKeyBytes = 32;

// The settings text the hash covers: the function kinds in kind order (count records, may
// be null), then max_depth, hot_calls and strict. A new str, or null with MemoryError.
[[nodiscard]] PyObject* settingsText(const host::FunctionKind* kinds, uint32_t count,
                                     uint32_t maxDepth, uint64_t hotCalls, bool strict);

// The definition hash of a language given as its parser, its eval and exec dicts, its hosts
// dict, its settings text and its type mapping (None without). 0 with out filled, or -1 with
// the exception (the script's or definition's, TypeError for a result that is not bytes,
// RuntimeError "the language's definition hash isn't 32 bytes").
[[nodiscard]] int definitionHash(PyObject* parser, PyObject* evals, PyObject* execs,
                                 PyObject* hosts, PyObject* settings, PyObject* types,
                                 uint8_t out[kKeyBytes]);

// SHA-256 of the definition hash and the source's UTF-8. 0, or -1 with TypeError "source
// must be a str" (or the encoding's error).
[[nodiscard]] int programKey(const uint8_t hash[kKeyBytes], PyObject* source,
                             uint8_t out[kKeyBytes]);

// SHA-256 of the program key, the Language object's address (8 bytes, little-endian) and the
// path's UTF-8 when path is neither null nor None. false when the path is no str (its error
// cleared): such a program has no module key.
bool moduleKey(const uint8_t programKey[kKeyBytes], const void* language, PyObject* path,
               uint8_t out[kKeyBytes]);

// Raises cls "the language's definition hash isn't 32 bytes".
void badDefinitionHash(PyObject* cls);

}  // namespace wuna::driver
