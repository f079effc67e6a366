// The compiler's IR: the front end's reading of one Python function.
//
// A function becomes a tree of statement nodes (Stmt) and expression nodes (Expr), with the
// records they hold by value (Target, Handler, Keyword, Generator, FStringPart), hanging from
// the function's FunctionIR. Names are resolved already: a local is an index into the
// function's locals table, a global is its name, a nested function is its FunctionIR.
// Constants are typed, operators are small codes, and a few Python constructs arrive as
// combinations of simpler ones (a with statement as a block of assignments and a try; an
// import as the assignment of an import expression to a local).
//
// The kind numbers are fixed: the code generators, the printer and the analyses dispatch on
// them with tables of 17 statement, 34 expression and 5 target entries.
//
// Ownership: everything of one reading - every node, list, text and nested FunctionIR - lives
// in the arena of the outermost function's FunctionIR and is freed with it, at once. Nodes are
// made once and never changed afterwards. Big-int and object constants hold one reference to
// their Python object; the arena records each such reference and gives it back when it is
// freed, so reading a function again and again leaks nothing.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "host/support/arena.h"

namespace wuna::front {

// A UTF-8 byte string in the arena, not NUL-terminated. A null data with length 0 is "absent"
// where a field says so (the name of an import of a whole module).
struct Text {
    const char* data;
    uint64_t length;
};

// Whether the text is the NUL-terminated string s, byte for byte.
inline bool textIs(Text t, const char* s) {
    size_t n = strlen(s);
    return t.length == n && (n == 0 || memcmp(t.data, s, n) == 0);
}

// {first element, count}. An empty list is known by its count alone: its pointer is never read.
template <typename T>
struct List {
    T* items;
    uint64_t count;
};

struct Stmt;
struct Expr;
struct Target;
struct Handler;
struct Keyword;
struct Generator;
struct FStringPart;
struct FunctionIR;

using StmtList = List<Stmt>;
using ExprList = List<Expr*>;  // expressions are held by pointer, everything else by value
using TargetList = List<Target>;
using HandlerList = List<Handler>;
using KeywordList = List<Keyword>;
using GeneratorList = List<Generator>;
using FStringPartList = List<FStringPart>;

// Line in the low 32 bits, column in the high 32 bits, both 1-based in the source file (the
// column in UTF-8 bytes); 0: no position.
using Position = uint64_t;

inline Position makePosition(uint32_t line, uint32_t column) {
    return uint64_t(line) | (uint64_t(column) << 32);
}
inline uint32_t lineOf(Position position) { return uint32_t(position); }
inline uint32_t columnOf(Position position) { return uint32_t(position >> 32); }

// The operator codes shared by the whole system.
enum class BinaryOp : uint8_t {
    add = 0,
    sub = 1,
    mul = 2,
    div = 3,
    floordiv = 4,
    mod = 5,
    pow = 6,
    lshift = 7,
    rshift = 8,
    bitor_ = 9,
    bitxor = 10,
    bitand_ = 11,
};
inline constexpr uint8_t kBinaryOpCount = 12;

enum class UnaryOp : uint8_t { neg = 0, pos = 1, not_ = 2, invert = 3 };
inline constexpr uint8_t kUnaryOpCount = 4;

enum class CompareOp : uint8_t {
    eq = 0,
    ne = 1,
    lt = 2,
    le = 3,
    gt = 4,
    ge = 5,
    is = 6,
    isNot = 7,
    in = 8,
    notIn = 9,
};
inline constexpr uint8_t kCompareOpCount = 10;

enum class StmtKind : uint8_t {
    assign = 0,      // targets = value; also an annotated assignment and one imported name
    augAssign = 1,   // target op= value
    expr = 2,        // an expression for its effect
    if_ = 3,         // elif: an if alone in the else list
    while_ = 4,      // with an optional else
    for_ = 5,        // for target in iterable, with an optional else
    return_ = 6,     // value optional
    raise = 7,       // exception optional (a bare raise)
    assert_ = 8,     // message optional
    try_ = 9,        // body, handlers, else, finally
    break_ = 10,     //
    continue_ = 11,  //
    pass = 12,       // also what a statement without run-time effect leaves behind
    delLocal = 13,   // del name
    delItem = 14,    // del object[index]
    raiseFrom = 15,  // raise exception from cause
    block = 16,      // what one Python statement became: a with; a del or import of several
};
inline constexpr uint8_t kStmtKindCount = 17;

enum class ExprKind : uint8_t {
    int_ = 0,           // fits 64 bits
    bigInt = 1,         // the int object, one reference
    object = 2,         // any other constant: bytes, ..., complex; one reference
    float_ = 3,         //
    str = 4,            //
    bool_ = 5,          //
    none = 6,           //
    local = 7,          //
    global = 8,         //
    attribute = 9,      // object.name
    subscript = 10,     // object[index]
    slice = 11,         // object[lower:upper:step], each bound optional
    call = 12,          // callee(arguments, keywords); *x arguments are starred nodes
    nestedCall = 13,    // a nested function by name: arguments, None, the captured locals
    closure = 14,       // a nested function as a value, or a lambda
    namedExpr = 15,     // (local := value)
    starred = 16,       // *value, only as a positional argument of a call
    import_ = 17,       // the value an import binds
    binary = 18,        //
    unary = 19,         //
    and_ = 20,          // two or more operands
    or_ = 21,           // two or more operands
    compare = 22,       // left, then operators and comparators of one length
    ifExp = 23,         // body if test else orelse
    list = 24,          //
    tuple = 25,         //
    set = 26,           // folded: three or more literals, in the order CPython inserts them
    setComp = 27,       //
    dict = 28,          // keys and values of one length
    listComp = 29,      //
    generatorExp = 30,  //
    dictComp = 31,      //
    fstring = 32,       //
    outOfLine = 33,     // a call of the function being compiled; only the call planner makes it
};
inline constexpr uint8_t kExprKindCount = 34;

enum class TargetKind : uint8_t {
    local = 0,
    global = 1,
    tuple = 2,  // a, b = ... and [a, b] = ...
    attribute = 3,
    item = 4,
};
inline constexpr uint8_t kTargetKindCount = 5;

struct Target {
    union {
        uint32_t local;
        Text global;
        TargetList tuple;
        struct {
            Expr* object;
            Text name;
        } attribute;
        struct {
            Expr* object;
            Expr* index;
        } item;
    };
    TargetKind kind;
};

struct Stmt {
    union {
        struct {
            TargetList targets;  // in source order
            Expr* value;
        } assign;
        struct {
            Target target;
            Expr* value;
            BinaryOp op;
        } augAssign;
        Expr* expr;
        struct {
            Expr* test;
            StmtList body;
            StmtList orelse;  // empty when absent
        } if_, while_;
        struct {
            Target target;
            Expr* iterable;
            StmtList body;
            StmtList orelse;
        } for_;
        Expr* return_;  // null for a return alone
        Expr* raise;    // null for a bare raise
        struct {
            Expr* test;
            Expr* message;  // optional
        } assert_;
        struct {
            StmtList body;
            HandlerList handlers;
            StmtList orelse;
            StmtList finally;
        } try_;
        uint32_t delLocal;
        struct {
            Expr* object;
            Expr* index;
        } delItem;
        struct {
            Expr* exception;
            Expr* cause;
        } raiseFrom;
        StmtList block;
    };
    StmtKind kind;
    Position position;
};

struct Expr {
    union {
        int64_t int_;
        PyObject* bigInt;  // one reference, given back by the arena
        PyObject* object;  // one reference, given back by the arena
        double float_;
        Text str;
        uint8_t bool_;  // 1 True, 0 False
        uint32_t local;
        Text global;
        struct {
            Expr* object;
            Text name;
        } attribute;
        struct {
            Expr* object;
            Expr* index;
        } subscript;
        struct {
            Expr* object;
            Expr* lower;  // each bound optional
            Expr* upper;
            Expr* step;
        } slice;
        struct {
            Expr* callee;
            ExprList arguments;
            KeywordList keywords;
        } call;
        struct {
            FunctionIR* function;
            ExprList arguments;  // the call's own, then a None node, then the captured locals
        } nestedCall;
        FunctionIR* closure;
        struct {
            Expr* value;
            uint32_t local;
        } namedExpr;
        Expr* starred;
        struct {
            Text module;    // dotted, after the leading dots of a relative import
            Text name;      // absent (null, 0) for an import of a module
            uint8_t exact;  // 0: the top-level package of import a.b without as
        } import_;
        struct {
            Expr* left;
            Expr* right;
            BinaryOp op;
        } binary;
        struct {
            Expr* operand;
            UnaryOp op;
        } unary;
        ExprList and_, or_;  // two or more
        struct {
            Expr* left;
            List<CompareOp> ops;
            ExprList comparators;  // as many as ops
        } compare;
        struct {
            Expr* test;
            Expr* body;
            Expr* orelse;
        } ifExp;
        ExprList list, tuple;
        struct {
            ExprList elements;
            uint8_t folded;
        } set;
        struct {
            ExprList keys;
            ExprList values;
        } dict;
        struct {
            Expr* element;
            GeneratorList generators;
        } setComp, listComp, generatorExp;
        struct {
            Expr* key;
            Expr* value;
            GeneratorList generators;
        } dictComp;
        FStringPartList fstring;
    };
    ExprKind kind;
    Position position;
};

struct Handler {
    Expr* type;  // null for a bare except
    StmtList body;
    Position position;
    uint32_t local;  // the variable of "as name"; means nothing when binds is 0
    uint8_t binds;
};

struct Keyword {
    Text name;
    Expr* value;
};

struct Generator {
    Target target;  // a local or a tuple of such
    Expr* iterable;
    ExprList conditions;
};

enum class FStringTag : uint8_t { text = 0, value = 1 };

struct FStringPart {
    union {
        Text text;
        struct {
            Expr* value;
            FStringPartList spec;  // empty when there is none
            uint8_t conversion;    // 0, or 's', 'r', 'a'
        } value;
    };
    FStringTag tag;
};

// The arena of one reading: a bump allocator and the Python references its constants hold.
// Everything is zeroed when taken; a null result means memory ran out.
struct Arena {
    struct Held {
        Held* next;
        PyObject* object;
    };
    arena::Arena* chunks = nullptr;
    Held* held = nullptr;
};

// size bytes, 8-aligned and zeroed, or null.
void* take(Arena& arena, size_t size);

// count items of T, zeroed, or null.
template <typename T>
T* takeArray(Arena& arena, size_t count) {
    if (count > SIZE_MAX / sizeof(T)) return nullptr;
    return static_cast<T*>(take(arena, count ? count * sizeof(T) : 1));
}

// Copies bytes into the arena. The text, or {null, 0} when memory runs out (then ok is false).
bool copyText(Arena& arena, const char* bytes, size_t length, Text* out);

// Hands the arena one reference to object, given back when the arena is freed. False when
// memory runs out: then the reference is released at once.
bool hold(Arena& arena, PyObject* object);

// Releases the held references, then the memory. Safe on an empty arena. Needs the
// interpreter lock when anything is held.
void freeArena(Arena& arena);

// A local's place in the frame of its function (the closure analysis fills them).
struct FrameSlot {
    uint32_t index;
    uint8_t inFrame;
};

// How a frame closure reaches one captured variable: depth frames out from the frame of the
// function just around it (0: that frame), then the variable's slot there.
struct CaptureRef {
    uint32_t depth;
    uint32_t slot;
};

// The front result of one function. The outermost one is on the C heap and owns the arena;
// nested ones live in the outermost arena (theirs stays empty) and hold no reference to the
// Python function.
struct FunctionIR {
    Arena arena;
    Text name;          // __name__; a nested def's name, or "<lambda>"
    Text fileName;      // co_filename (nested functions: the outermost's)
    List<Text> locals;  // a local's index is its place here; parameters first
    StmtList body;
    // The outermost function: one reference in the outermost record, borrowed in nested ones.
    PyObject* function;
    FunctionIR* parent;  // null for the outermost
    Text qualname;
    List<Text> captured;  // names taken from enclosing functions, in the order of their locals
    // For each captured name, the local of the enclosing function it is taken from (the
    // variable the name means there: a comprehension's variable when one is in scope).
    List<uint32_t> capturedSlots;
    List<CaptureRef> captureRefs;  // a frame closure's, one per captured name
    List<FrameSlot> frameSlots;    // one per local
    List<FunctionIR*> nested;      // directly nested functions, in lowering order
    uint32_t firstLine;
    uint32_t paramCount;     // positional parameters, +1 for *args; nested: n + 1 + k
    uint32_t requiredCount;  // positional parameters without defaults
    uint32_t exprCount;      // expression nodes made for this function
    uint32_t captureBase;    // nested: the index of the unnamed closure slot
    uint32_t frameSlotCount;
    bool hasVarargs;
    bool usedAsValue;
    bool declaresNonlocal;
    bool frameClosure;
    bool needsFrame;
};

inline constexpr size_t kFailureText = 256;

// Why a function cannot be compiled. The caller zeroes it; only the first refusal of a
// reading is written.
struct Failure {
    uint64_t length;    // bytes of text used
    Position position;  // 0: unknown
    char text[kFailureText];
};

}  // namespace wuna::front
