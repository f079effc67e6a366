// The data operations of rt in both modes: the byte readers (rt.u8 ... rt.i64be), rt.parse and
// the wrapping operations (rt.wrapping_add ...), as many as the runtime's tables
// (helpers::readers, helpers::wrappingOps) list.
//
// None of them needs the run: each is a thin Python face over a body shared with compiled
// code (helpers::pyRead, bridge::rtParse, helpers::pyWrapping and helpers::wrap), so the
// method rows are made once here and both rt types take them in as one block (the reference
// Runtime between `text` and `span`, the CompiledRuntime after `node_at`). A type whose
// objects can go stale gives a gate, run first by every row: the CompiledRuntime's refuses an
// rt whose semantic has returned. The readers and wrapping operations take exactly two
// positional arguments ("WrongArgumentCount" otherwise); parse takes keywords.
//
// Each reader and each wrapping operation is one instance of a small function template over
// its number, so the method itself knows which reading or operation it is. Names and
// docstrings come from the helpers' tables: the readers' docstrings are composed at compile
// time from each reader's width, sign and byte order; the wrapping operations' names from
// their operation names. Everything appendRtDataMethods reads is constant data, so it may
// run while the library loads.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <utility>

#include "wuna/runtime/args.h"
#include "wuna/runtime/helpers/pyread.h"
#include "wuna/runtime/helpers/pywrapping.h"
#include "wuna/runtime/helpers/rtparse.h"
#include "wuna/runtime/pymethods.h"

namespace wuna::bridge {

// Readers, parse, wrapping operations, in that order.
inline constexpr size_t kRtDataMethods = helpers::kReaderCount + 1 + helpers::kWrappingCount;

// A row's gate: 0 when the method may run on self, or -1 with the exception.
using RtGate = int (*)(PyObject* self);

namespace rtdata {

using helpers::kReaderCount;
using helpers::kWrappingCount;
using pymethods::asPyCFunction;

// --- docstrings and names, composed at compile time ----------------------------------------

struct Text {
    char text[200];
};

constexpr void append(Text& t, size_t& at, const char* s) {
    while (*s) t.text[at++] = *s++;
}

constexpr Text readerDoc(uint32_t code) {
    const helpers::Reader& r = helpers::readers[code];
    Text t{};
    size_t at = 0;
    append(t, at, r.name);
    append(t, at, "($self, data, i, /)\n--\n\n");
    if (r.width == 1) {
        append(t, at,
               r.isSigned ? "The signed byte at offset i of data"
                          : "The unsigned byte at offset i of data (a wuna.Bytes, bytes, "
                            "or any buffer)");
    } else {
        append(t, at, r.isSigned ? "The signed " : "The unsigned ");
        append(t, at, r.width == 2 ? "16" : r.width == 4 ? "32" : "64");
        append(t, at, r.bigEndian ? "-bit big-endian int" : "-bit little-endian int");
        append(t, at, " at offset i of data");
    }
    append(t, at, "; IndexError past the end.");
    return t;
}

// What each wrapping operation does, in operation-number order.
inline constexpr const char* wrappingTexts[] = {
    "a + b in 64 bits, wrapping around (signed).",
    "a - b in 64 bits, wrapping around (signed).",
    "a * b in 64 bits, wrapping around (signed).",
    "a << n in 64 bits, the bits shifted out lost; n modulo 64.",
    "a >> n in 64 bits, the sign kept (arithmetic shift); n modulo 64.",
    "a >> n in 64 bits with zeros shifted in (a as unsigned: logical shift); n modulo 64.",
};
static_assert(std::size(wrappingTexts) == kWrappingCount);

constexpr Text wrappingName(uint32_t op) {
    Text t{};
    size_t at = 0;
    append(t, at, "wrapping_");
    append(t, at, helpers::wrappingOps[op].op);
    return t;
}

constexpr Text wrappingDoc(uint32_t op) {
    Text t = wrappingName(op);
    size_t at = 0;
    while (t.text[at]) at++;
    append(
        t, at,
        helpers::wrappingOps[op].shift ? "($self, a, n, /)\n--\n\n" : "($self, a, b, /)\n--\n\n");
    append(t, at, wrappingTexts[op]);
    return t;
}

template <size_t N, typename F>
constexpr std::array<Text, N> texts(F make) {
    std::array<Text, N> all{};
    for (uint32_t i = 0; i < N; i++) all[i] = make(i);
    return all;
}

inline constexpr auto readerDocs = texts<kReaderCount>(readerDoc);
inline constexpr auto wrappingNames = texts<kWrappingCount>(wrappingName);
inline constexpr auto wrappingDocs = texts<kWrappingCount>(wrappingDoc);

// --- the methods -----------------------------------------------------------------------------

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// Readers and wrapping operations take exactly two positional arguments: 0, or -1 with
// TypeError "WrongArgumentCount".
inline int twoArguments(Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs == 2 && (!kwnames || PyTuple_GET_SIZE(kwnames) == 0)) return 0;
    PyErr_SetString(PyExc_TypeError, "WrongArgumentCount");
    return -1;
}

// The gate's answer for self: 0 when there is no gate.
template <RtGate Gate>
int passes(PyObject* self) {
    if constexpr (Gate == nullptr)
        return 0;
    else
        return Gate(self);
}

template <RtGate Gate, uint32_t Code>
PyObject* readMethod(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    if (passes<Gate>(self) < 0 || twoArguments(nargs, kwnames) < 0) return nullptr;
    return helpers::pyRead(Code, args[0], args[1]);
}

template <RtGate Gate, uint32_t Op>
PyObject* wrappingMethod(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    if (passes<Gate>(self) < 0 || twoArguments(nargs, kwnames) < 0) return nullptr;
    helpers::Operand a = helpers::pyWrapping(Op, args[0]);
    if (!a.ok) return nullptr;
    helpers::Operand b = helpers::pyWrapping(Op, args[1]);
    if (!b.ok) return nullptr;
    return PyLong_FromLongLong(helpers::wrap(Op, a.value, b.value));
}

template <RtGate Gate, size_t... C>
constexpr std::array<FastMethod, sizeof...(C)> readMethods(std::index_sequence<C...>) {
    return {readMethod<Gate, C>...};
}

template <RtGate Gate, size_t... Op>
constexpr std::array<FastMethod, sizeof...(Op)> wrappingMethods(std::index_sequence<Op...>) {
    return {wrappingMethod<Gate, Op>...};
}

inline constexpr args::Param parseParams[] = {
    {"grammar", true}, {"text", true}, {"start", false}, {"recover", false}};

template <RtGate Gate>
PyObject* parse(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (passes<Gate>(self) < 0) return nullptr;
    PyObject* given[std::size(parseParams)];
    if (args::parse("parse", parseParams, args, kwargs, given) < 0) return nullptr;
    int recover = given[3] ? PyObject_IsTrue(given[3]) : 0;
    if (recover < 0) return nullptr;
    PyObject* start = given[2] == Py_None ? nullptr : given[2];
    return bridge::rtParse(given[0], given[1], start, recover == 1);
}

inline constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

}  // namespace rtdata

// Writes the kRtDataMethods rows at `at` (no terminating row), each running Gate first when
// there is one, and returns the end of what it wrote. Never fails.
template <RtGate Gate = nullptr>
[[nodiscard]] PyMethodDef* appendRtDataMethods(PyMethodDef* at) {
    using namespace rtdata;
    static constexpr auto readers = readMethods<Gate>(std::make_index_sequence<kReaderCount>());
    static constexpr auto wrappings =
        wrappingMethods<Gate>(std::make_index_sequence<kWrappingCount>());
    for (uint32_t code = 0; code < kReaderCount; code++)
        *at++ = {helpers::readers[code].name, asPyCFunction(readers[code]), kFast,
                 readerDocs[code].text};
    *at++ = {"parse", asPyCFunction(parse<Gate>), METH_VARARGS | METH_KEYWORDS,
             WUNA_DOC("parse($self, /, grammar, text, start=None, recover=False)", "")};
    for (uint32_t op = 0; op < kWrappingCount; op++)
        *at++ = {wrappingNames[op].text, asPyCFunction(wrappings[op]), kFast,
                 wrappingDocs[op].text};
    return at;
}

}  // namespace wuna::bridge
