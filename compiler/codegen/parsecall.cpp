// rt.parse in compiled code: the parser, the start rule and the recover flag are known while
// compiling; the parser is prepared for native parsing (tree/parsed.h) and entered in the
// module's objects, and the call becomes one wn_parse, which parses at run time without
// Python and gives the root node (or the pair of root and errors).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "compiler/backend/compile.h"
#include "compiler/backend/compile_error.h"
#include "compiler/codegen/lower.h"
#include "compiler/codegen/operators.h"
#include "host/tree/parsed.h"

namespace wuna::compile {

namespace {

// The compile error of the call: the location prefix at the call, then the text.
Status errorAt(Emitter* e, front::Position at, const char* text) {
    front::Position saved = e->position;
    e->position = at;
    Status s = beginConstructError(e);
    e->position = saved;
    if (s == Status::ok) s = appendText(&e->compiler->message, text);
    return s == Status::ok ? Status::unsupported : s;
}

// The parser's object index, listed once among the module's grammars.
Status listGrammar(Compiler* c, PyObject* parser, uint32_t* index) {
    if (Status err = pinObject(c, parser, index); err != Status::ok) return err;
    for (size_t i = 0; i < c->parseGrammars.count; i++)
        if (c->parseGrammars[i] == *index) return Status::ok;
    return c->parseGrammars.push(*index) ? Status::ok : Status::outOfMemory;
}

// The start argument: the interned literal of the rule's name, or a null pointer.
Status startArgument(Emitter* e, const Shape& start, front::Position at, ValueRef* out) {
    ModuleRecord* m = &e->compiler->module;
    if (start.kind == ShapeKind::none) {
        *out = llvmapi::table.LLVMConstNull(m->ptr);
        return Status::ok;
    }
    if (start.kind != ShapeKind::str)
        return errorAt(e, at, "rt.parse's start rule must be known when compiling");
    return literalGlobal(m, start.str.data, size_t(start.str.length), out);
}

}  // namespace

Status emitRtParse(Emitter* e, Semantic* s, const Shape& grammar, Shape* text, const Shape& start,
                   const Shape& recover, front::Position at, Shape* out) {
    if (grammar.kind != ShapeKind::py)
        return errorAt(e, at,
                       "rt.parse's grammar must be known when compiling (a module's pargo parser)");
    if (ptree::prepareParser(grammar.py) < 0) return Status::pythonError;
    uint32_t index;
    if (Status err = listGrammar(e->compiler, grammar.py, &index); err != Status::ok) return err;
    ValueRef startValue;
    if (Status err = startArgument(e, start, at, &startValue); err != Status::ok) return err;
    if (recover.kind != ShapeKind::bool_)
        return errorAt(e, at, "rt.parse's recover must be known when compiling");
    ValueRef grammarValue;
    if (Status err = objectConstant(e, index, &grammarValue); err != Status::ok) return err;
    int32_t site = ops::siteOf(s);
    Operand t;
    if (Status err = materialize(e, *text, site, &t); err != Status::ok) return err;
    ValueRef args[8] = {e->runContext, siteValue(e, site), grammarValue, t.tag,
                        t.payload,     startValue,         constI32(e, recover.bool_ ? 1 : 0),
                        e->scratch};
    ValueRef ok;
    if (Status err = callHelper(e, "wn_parse", args, 8, &ok); err != Status::ok) return err;
    // Released before the test, so the failure branch owes nothing for it.
    if (Status err = release(e, dynShape(t)); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    *out = dynShape(loadOperand(e, e->scratch, KnownKind::unknown));
    return Status::ok;
}

}  // namespace wuna::compile
