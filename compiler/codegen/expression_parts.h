// The parts of the expression lowering that its files share: the emitters the dispatcher
// (expressions.cpp) hands displays, boolean operators and chains, slices, conditional
// expressions and f-strings to, and the small pieces they have in common.
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
[[nodiscard]] Status emitTupleDisplay(Emitter* e, Semantic* s, const front::Expr* expr,
                                      Shape* out);
[[nodiscard]] Status emitListDisplay(Emitter* e, Semantic* s, const front::Expr* expr,
                                     Shape* out);
[[nodiscard]] Status emitDictDisplay(Emitter* e, Semantic* s, const front::Expr* expr,
                                     Shape* out);
[[nodiscard]] Status emitSetDisplay(Emitter* e, Semantic* s, const front::Expr* expr, Shape* out);
// Kinds 27, 29, 30 and 31: the comprehension loop, a list result placed as a display.
[[nodiscard]] Status emitComprehensionExpr(Emitter* e, Semantic* s, const front::Expr* expr,
                                           Shape* out);
// A list or dict made while compiling takes its origin (the display and the site); when that
// origin escaped run-time control flow in an earlier attempt it is built at run time here.
[[nodiscard]] Status placeDisplay(Emitter* e, const front::Expr* display, int32_t site,
                                  Shape* shape);

// --- boolean operators, not, chains (boolops.cpp) ------------------------------------------

[[nodiscard]] Status emitBoolOp(Emitter* e, Semantic* s, const front::Expr* expr, Shape* out);
[[nodiscard]] Status emitNot(Emitter* e, Semantic* s, const front::Expr* expr, Shape* out);
// A comparison of two or more links; it stops at the first false link, as Python does.
[[nodiscard]] Status emitCompareChain(Emitter* e, Semantic* s, const front::Expr* expr,
                                      Shape* out);

// --- slices (slices.cpp) ---------------------------------------------------------------------

[[nodiscard]] Status emitSlice(Emitter* e, Semantic* s, const front::Expr* expr, Shape* out);
// A new reference to slice(lower, upper, step) of three constant shapes (consumed: none
// need releasing), or an error.
[[nodiscard]] Status constantSlice(Emitter* e, const Shape& lower, const Shape& upper,
                                   const Shape& step, PyObject** out);

// --- conditional expressions (truth.cpp) ----------------------------------------------------

// `then if condition else otherwise` with a run-time condition: both branches compiled into
// one value slot, the result a run-time value.
[[nodiscard]] Status emitIfExp(Emitter* e, Semantic* s, llvmapi::ValueRef condition,
                               const front::Expr* then, const front::Expr* otherwise, Shape* out);

// --- f-strings (fstrings.cpp) ----------------------------------------------------------------

[[nodiscard]] Status emitFString(Emitter* e, Semantic* s, front::FStringPartList parts,
                                 Shape* out);

}  // namespace wuna::compile
