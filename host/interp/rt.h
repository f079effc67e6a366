// wuna.Runtime, the `rt` that every semantic of the reference mode gets, and the record of one
// reference-mode run behind it.
//
// A run (a program's top level, a session entry, a Program.call, or a call into a function of
// an earlier session entry) makes one Runtime (interp/interp.h: newRt). Its record holds the
// Program, borrowed pointers to the Program's record and Language, the current frame (the
// variables in scope), the call stack of the program functions being run (borrowed frames,
// innermost last; each frame keeps its function's name and call site, which runtime errors
// list), the host's context, the node whose dispatch is running, the call depth, and the
// recursion limit that was in force before the run raised it. A Runtime made by calling the
// class from Python is inert: it has no program, and every method that needs one raises.
//
// The Python face is a table of methods and properties that read their arguments and hand
// them to the operations of interp/interp.h, interp/variables.h and interp/calls.h; the byte
// readers, wrapping operations and rt.parse come from helpers/rtdata_methods.h and are appended to the
// table. Every method that fails raises: none returns None for a failure.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "host/interp/frame_object.h"
#include "host/language/language.h"
#include "host/run/program.h"
#include "host/tree/state.h"

namespace wuna::host {

struct RunRecord {
    PyObject* program;         // owned: the Program being run
    ProgramRecord* record;     // borrowed: the Program's record
    LanguageObject* language;  // borrowed: the Program's Language
    PyObject* frame;           // owned: the current wuna.Frame, or null
    FrameObject** callStack;   // borrowed call frames, innermost last (C heap)
    uint32_t callCount;
    uint32_t callCapacity;
    PyObject* context;    // owned: context=, or null
    int32_t currentNode;  // -1: none
    uint32_t depth;       // program-function calls active
    int32_t savedRecursionLimit;
    bool initialised;  // once filled; only then are the fields above released
};

struct RtObject {
    PyObject_HEAD RunRecord rt;
};

extern PyType_Spec rtSpec;

// The record of an object whose type is Runtime or a subclass of it, else null (no exception).
[[nodiscard]] RunRecord* runRecordOf(PyObject* object);

// The Python object whose record rt is (borrowed).
inline PyObject* rtObject(RunRecord* rt) {
    return reinterpret_cast<PyObject*>(reinterpret_cast<char*>(rt) - offsetof(RtObject, rt));
}

// The record of a Runtime that has a program; else null with RuntimeError "this Runtime has no
// program" (one made by calling the class).
[[nodiscard]] RunRecord* liveRun(PyObject* object);

// The State of the program rt runs (borrowed). rt must have its program (liveRun).
inline StateObject* stateOfRun(const RunRecord* rt) { return stateOf(rt->record); }

// The parse-tree index of the program rt runs (borrowed); the same condition.
inline const ptree::Index* indexOf(const RunRecord* rt) { return stateOfRun(rt)->holder->index; }

// Appends a call frame (borrowed) to the call stack. 0, or -1 with MemoryError when the stack
// could not grow (nothing changed).
[[nodiscard]] int pushCall(RunRecord* rt, FrameObject* frame);

}  // namespace wuna::host
