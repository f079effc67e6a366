// The parts of the expression lowering that its files share: the emitters the dispatcher
// (expressions.cpp) hands displays, boolean operators and chains and slices to, and the small
// pieces they have in common (conditional expressions, f-strings, display placing and
// constant slices are declared in lower.h, for the other groups too).
//
// Every emitter takes the emitter, the body being compiled and the node, writes the result
// shape into *out and returns the failure contract of lower.h: ok; outOfMemory; unsupported
// with the text in the compiler's message buffer; pythonError with a Python exception
// pending. Operands compiled before a failure stay on the emitter's live temporaries until
// the emitter that put them there restores the list's length, so an error exit emitted
// meanwhile releases them. Folding while compiling goes through Python on the constants; a
// Python error raised by a folded operation is cleared and the construct is compiled for run
// time, where it fails with the reference mode's words.
#pragma once
#include "compiler/codegen/lower.h"

namespace wuna::compile {

// --- pieces (expressions.cpp) ---------------------------------------------------------------

// Puts the live temporaries back to their length at entry, whatever the way out.
struct LiveMark {
    Emitter* e;
    uint64_t count;
    explicit LiveMark(Emitter* emitter) : e(emitter), count(emitter->temporaries.count) {}
    ~LiveMark() { reset(); }
    void reset() { e->temporaries.count = count; }
};

// A shape of the kind with nothing else set.
inline Shape scalarShape(ShapeKind kind) {
    Shape s{};
    s.kind = kind;
    return s;
}

// The run-time bool of an i1 (known kind bool, uncounted). Cannot fail.
Shape runtimeBool(Emitter* e, llvmapi::ValueRef bit);
// Appends the shape to the live temporaries. ok or outOfMemory.
Status keepLive(Emitter* e, const Shape& shape);
// A new 16-byte value slot in the entry block.
llvmapi::ValueRef freshSlot(Emitter* e);

// --- displays and constants (displays.cpp) -------------------------------------------------

// Kinds 1 and 2: a Python constant kept in the module's object list, as a py shape.
[[nodiscard]] Status emitObjectConstant(Emitter* e, PyObject* object, Shape* out);
[[nodiscard]] Status emitTupleDisplay(Emitter* e, Semantic* s, const front::Expr* expr, Shape* out);
[[nodiscard]] Status emitListDisplay(Emitter* e, Semantic* s, const front::Expr* expr, Shape* out);
[[nodiscard]] Status emitDictDisplay(Emitter* e, Semantic* s, const front::Expr* expr, Shape* out);
[[nodiscard]] Status emitSetDisplay(Emitter* e, Semantic* s, const front::Expr* expr, Shape* out);
// Kinds 27, 29, 30 and 31: the comprehension loop, a list result placed as a display.
[[nodiscard]] Status emitComprehensionExpr(Emitter* e, Semantic* s, const front::Expr* expr,
                                           Shape* out);

// --- boolean operators, not, chains (boolops.cpp) ------------------------------------------

[[nodiscard]] Status emitBoolOp(Emitter* e, Semantic* s, const front::Expr* expr, Shape* out);
[[nodiscard]] Status emitNot(Emitter* e, Semantic* s, const front::Expr* expr, Shape* out);
// A comparison of two or more links; it stops at the first false link, as Python does.
[[nodiscard]] Status emitCompareChain(Emitter* e, Semantic* s, const front::Expr* expr, Shape* out);

// --- slices (slices.cpp) ---------------------------------------------------------------------

[[nodiscard]] Status emitSlice(Emitter* e, Semantic* s, const front::Expr* expr, Shape* out);

}  // namespace wuna::compile
