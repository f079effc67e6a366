// What the compiler knows of a value while it compiles: a Shape.
//
// Every expression the code generators compile has a shape: a constant known exactly (None, a
// bool, an int of the interpreted language, a plain Python int, a float, a str, a tuple of
// such), a node of the program's tree, a list or dict built while compiling (whose items are
// shapes again), the run context rt or one of its methods, any other Python object, a jump of
// the interpreted language made before it is raised, a method taken from a value, or a value
// that exists only at run time (dyn). Operations on constant shapes fold while compiling; a
// shape becomes a run-time value only when one is needed. Helper specialisations are keyed by
// the shapes of their arguments (compiler/backend/spec.h).
//
// The variant numbers are fixed (the specialisation hash feeds them), and so are the words of
// kindName, which messages use after the article a.
//
// Ownership: a shape is a plain value, copied freely. Whatever it points to (texts, item
// arrays, list and dict records, argument copies) lives in the compiler's arena (compile.h)
// and is freed with the compiler, never alone. A Python object of a py shape is kept alive by
// the compiler's object list; the shape holds no reference. A list or dict record made from a
// Python container holds that container through the compiler's held list.
//
// Conversions from Python objects look at each distinct object once (a tuple that holds one
// tuple in many places is converted once and shared), and both directions guard their depth
// with the interpreter's recursion limit, so a deep or widely shared constant ends in a
// RecursionError or a result, never in a crash or a conversion without end.
//
// Failures are Status codes: outOfMemory; unsupported with the text in the compiler's message
// buffer; pythonError with the exception pending. Needs the interpreter lock throughout.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "compiler/backend/operand.h"
#include "compiler/front/ir.h"
#include "wuna/runtime/status.h"

namespace wuna::front {
struct ListRecord;
struct DictRecord;
}  // namespace wuna::front

namespace wuna::compile {

struct Compiler;
struct Shape;

enum class ShapeKind : uint8_t {
    none = 0,
    bool_ = 1,
    int_ = 2,   // an int of the interpreted language: a checked 64-bit int, I64 in Python
    pint = 3,   // a plain Python int that fits 64 bits
    float_ = 4,
    str = 5,
    node = 6,   // a node of the program's tree
    list = 7,   // a list built while compiling
    tuple = 8,  // a tuple whose items are known one by one
    dict = 9,   // a dict built while compiling
    rt = 10,
    rtMethod = 11,
    py = 12,       // any other Python object
    control = 13,  // a jump made by an rt call, not raised yet
    method = 14,   // a method taken from a value, not called yet
    dyn = 15,      // known only at run time
};
inline constexpr uint8_t kShapeKindCount = 16;

// The word of a kind in messages ("a <word> where ..."); "?" for a number out of range.
const char* kindName(ShapeKind kind);

struct Shape {
    union {
        uint8_t bool_;  // 1 True, 0 False
        int64_t int_;   // int and pint
        double float_;
        front::Text str;  // UTF-8, in the arena
        uint32_t node;
        front::ListRecord* list;
        struct {
            Shape* items;  // in the arena
            uint64_t count;
        } tuple;
        front::DictRecord* dict;
        uint8_t rtMethod;  // the rt method number in the low 6 bits
        PyObject* py;      // kept alive by the compiler's object list
        struct {
            Shape* argument;  // a copy of the rt call's only argument; null unless exactly one
            uint8_t method;   // the rt method number
        } control;
        struct {
            const Shape* receiver;  // the code generator's
            front::Text name;
        } method;
        Operand dyn;
    };
    ShapeKind kind;
};

inline Shape noneShape() {
    Shape s{};
    s.kind = ShapeKind::none;
    return s;
}

// The shape of a Python object. int and I64 (exact types) that fit 64 bits become pint and
// int; True and False bool; floats and strs (subclasses too) their values; tuples (subclasses
// too) tuples of their items; everything else, big ints included, py. ok, outOfMemory, or
// pythonError (a str without UTF-8 form, a too deep tuple).
Status fromPython(Compiler* c, PyObject* object, Shape* out);

// The Python object of a shape: a new reference in *out, or an error. Nodes, lists, dicts,
// rt, its methods, controls, methods and dyn values have none: unsupported with "a <kind>
// where a value known when compiling is needed (a slice's bounds...)" in the message buffer.
Status toPython(Compiler* c, const Shape& shape, PyObject** out);

// None, bools, ints, plain ints, floats, strs, tuples of constants, and big ints (a py shape
// of an exact int): what operations fold while compiling. Cannot fail.
bool isConstant(const Shape& shape);

// isConstant without big ints: what a call evaluated while compiling accepts and gives.
bool isPlainConstant(const Shape& shape);

}  // namespace wuna::compile

namespace wuna::front {

// Sentinel of the records' u32 word, which the code generator may give a use.
inline constexpr uint32_t kRecordWordUnset = 0xFFFFFFFFu;

// A list built while compiling. Made by the code generator for a display (literal set, no
// source), by comptimeResult for a wuna.comptime result (source held, mark 1), and by the
// module-table walk (source borrowed, mark 0).
struct ListRecord {
    compile::Shape* items;  // in the arena
    uint64_t length;
    uint64_t capacity;
    const Expr* literal;  // the display that made it, or null
    PyObject* source;     // the Python list it came from, or null
    uint32_t word;        // kRecordWordUnset when made
    uint8_t comptime;     // a wuna.comptime result: a constant compiled code may not change
    uint8_t released;     // the code generator released the run-time values it holds
    uint8_t madeAtRunTime;  // the code generator made the list at run time
};

struct DictRecord {
    compile::Shape* keys;  // in the arena; key i belongs to value i
    uint64_t keyLength;
    uint64_t keyCapacity;
    compile::Shape* values;
    uint64_t valueLength;
    uint64_t valueCapacity;
    const Expr* literal;
    PyObject* source;
    uint32_t word;
    uint8_t comptime;
    uint8_t madeAtRunTime;  // the code generator made the dict at run time
};

// A new empty record in the compiler's arena, or null when memory runs out.
ListRecord* newListRecord(compile::Compiler* c);
DictRecord* newDictRecord(compile::Compiler* c);

// Appends an item (to a dict: a key and its value), growing the arrays in the arena. ok or
// outOfMemory (nothing appended).
Status appendItem(compile::Compiler* c, ListRecord* list, const compile::Shape& item);
Status appendEntry(compile::Compiler* c, DictRecord* dict, const compile::Shape& key,
                   const compile::Shape& value);

// None, and objects of exactly str, float, bool or int, and exact tuples of such: the values
// nothing can change. Cannot fail.
bool isImmutableConstant(PyObject* object);

}  // namespace wuna::front
