// F-strings (see expression_parts.h): each replacement field formatted by itself, while
// compiling when its value and spec are constants, else by wn_format; the pieces joined while
// compiling when all are constants, else by wn_concat. A spec with fields of its own is an
// f-string compiled here too. A field whose folding raises (an invalid spec for a constant)
// is formatted at run time, so the error comes when and where the reference mode raises it.
#include <cstring>
#include <initializer_list>
#include <utility>

#include "compiler/codegen/expression_parts.h"

namespace wuna::compile {

namespace {

const llvmapi::Table& T = llvmapi::table;

Shape strShape(const char* data, uint64_t length) {
    Shape s = scalarShape(ShapeKind::str);
    s.str = front::Text{data, length};
    return s;
}

bool isStrConstant(const Shape& s) { return s.kind == ShapeKind::str; }

constexpr char kSpecNotNative[] =
    "a format spec with lone surrogates (no UTF-8) in a strict language";

// format(conversion(value), spec) of a constant; *folded false (no Python error left) when
// Python raised.
Status foldField(Emitter* e, const Shape& value, const Shape& spec, uint8_t conversion, Shape* out,
                 bool* folded) {
    *folded = false;
    PyObject* object;
    if (Status err = toPython(e->compiler, value, &object); err != Status::ok) return err;
    PyObject* converted = object;
    if (conversion == 'r')
        converted = PyObject_Repr(object);
    else if (conversion == 'a')
        converted = PyObject_ASCII(object);
    else if (conversion)
        converted = PyObject_Str(object);
    else
        Py_INCREF(converted);
    Py_DECREF(object);
    PyObject* text = nullptr;
    if (converted) {
        PyObject* format =
            PyUnicode_DecodeUTF8(spec.str.data, Py_ssize_t(spec.str.length), "replace");
        if (format) text = PyObject_Format(converted, format);
        Py_XDECREF(format);
        Py_DECREF(converted);
    }
    if (!text) {
        PyErr_Clear();
        return Status::ok;
    }
    Status err = fromPython(e->compiler, text, out);
    Py_DECREF(text);
    *folded = err == Status::ok && out->kind == ShapeKind::str;
    return err;
}

// wn_format of the value (consumed) with the spec at specPointer (a native str block); the
// result is left in the scratch slot.
Status nativeFormat(Emitter* e, Semantic* s, const Operand& o, uint8_t conversion,
                    ValueRef specPointer) {
    ValueRef args[7] = {e->runContext,           siteValue(e, s->site), o.tag,     o.payload,
                        constI32(e, conversion), specPointer,           e->scratch};
    ValueRef ok;
    if (Status err = callHelper(e, "wn_format", args, 7, &ok); err != Status::ok) return err;
    if (Status err = release(e, dynShape(o)); err != Status::ok) return err;
    return checkOk(e, ok);
}

// format(conversion(value), spec) called in Python, for a spec that is a Python str (one
// with lone surrogates has no native str block for wn_format to read); both consumed, the
// result left in the scratch slot.
Status pythonFormat(Emitter* e, Semantic* s, const Operand& o, uint8_t conversion,
                    const Operand& spec) {
    Shape args[2] = {dynShape(o), dynShape(spec)};
    if (conversion) {
        ValueRef empty;
        if (Status err = literalGlobal(&e->compiler->module, "", 0, &empty); err != Status::ok)
            return err;
        if (Status err = nativeFormat(e, s, o, conversion, empty); err != Status::ok) return err;
        args[0] = dynShape(loadOperand(e, e->scratch, KnownKind::str));
    }
    PyObject* builtins = PyImport_ImportModule("builtins");
    PyObject* format = builtins ? PyObject_GetAttrString(builtins, "format") : nullptr;
    Py_XDECREF(builtins);
    if (!format) return Status::pythonError;
    // The module keeps its own reference to the callee (pinned by the call).
    Shape result;
    Status err = callPythonObject(e, s, format, args, 2, &result);
    Py_DECREF(format);
    return err;
}

// A strict language calls no Python: a spec that is a Python str (one a caller handed in) is
// a failure there rather than read as what it isn't; both operands consumed.
Status refuseSpec(Emitter* e, Semantic* s, const Operand& o, const Operand& spec) {
    if (Status err = release(e, dynShape(o)); err != Status::ok) return err;
    if (Status err = release(e, dynShape(spec)); err != Status::ok) return err;
    return failWith(e, s->site, kSpecNotNative, sizeof kSpecNotNative - 1);
}

// wn_format of the value with the spec (a str constant, or a run-time str); both consumed. A
// run-time spec that is no native str block (a Python str) is formatted by Python instead.
Status formatAtRunTime(Emitter* e, Semantic* s, const Shape& value, const Shape& spec,
                       uint8_t conversion, Shape* out) {
    ModuleRecord* m = &e->compiler->module;
    Builder* b = &e->builder;
    Operand o;
    if (Status err = materialize(e, value, s->site, &o); err != Status::ok) return err;
    if (isStrConstant(spec)) {
        ValueRef specPointer;
        if (Status err = literalGlobal(m, spec.str.data, size_t(spec.str.length), &specPointer);
            err != Status::ok)
            return err;
        if (Status err = nativeFormat(e, s, o, conversion, specPointer); err != Status::ok)
            return err;
        *out = dynShape(loadOperand(e, e->scratch, KnownKind::str));
        return Status::ok;
    }
    Operand specOperand;
    if (Status err = materialize(e, spec, s->site, &specOperand); err != Status::ok) return err;
    BasicBlockRef native, python, done;
    for (auto [name, block] : {std::pair{"format_native_spec", &native},
                               {"format_python_spec", &python}, {"format_done", &done}})
        if (Status err = newBlock(b, name, block); err != Status::ok) return err;
    ValueRef isStr = icmp(b, llvmapi::IntEQ, specOperand.tag, constI64(e, value::TagStr));
    condBr(b, isStr, native, python);
    enter(b, python);
    if (Status err = e->compiler->strict ? refuseSpec(e, s, o, specOperand)
                                         : pythonFormat(e, s, o, conversion, specOperand);
        err != Status::ok)
        return err;
    br(b, done);
    enter(b, native);
    openBlock(b);
    ValueRef specPointer = T.LLVMBuildIntToPtr(b->builder, specOperand.payload, m->ptr, "");
    if (Status err = nativeFormat(e, s, o, conversion, specPointer); err != Status::ok)
        return err;
    if (Status err = release(e, dynShape(specOperand)); err != Status::ok) return err;
    enter(b, done);
    *out = dynShape(loadOperand(e, e->scratch, KnownKind::str));
    return Status::ok;
}

Status field(Emitter* e, Semantic* s, const front::FStringPart& part, Shape* out) {
    LiveMark mark(e);
    Shape value, spec;
    if (Status err = emitSubExpr(e, s, part.value.value, &value); err != Status::ok) return err;
    if (part.value.spec.count == 0) {
        spec = strShape("", 0);
    } else if (Status err = emitFString(e, s, part.value.spec, &spec); err != Status::ok) {
        return err;
    }
    mark.reset();
    if (value.kind != ShapeKind::dyn && isConstant(value) && isStrConstant(spec)) {
        bool folded;
        if (Status err = foldField(e, value, spec, part.value.conversion, out, &folded);
            err != Status::ok || folded)
            return err;
    }
    return formatAtRunTime(e, s, value, spec, part.value.conversion, out);
}

Status joinWhenCompiling(Emitter* e, const Shape* pieces, uint64_t n, Shape* out) {
    uint64_t total = 0;
    for (uint64_t i = 0; i < n; i++) total += pieces[i].str.length;
    char* text = takeArray<char>(e->compiler, total);
    if (!text) return Status::outOfMemory;
    uint64_t at = 0;
    for (uint64_t i = 0; i < n; i++) {
        if (pieces[i].str.length) memcpy(text + at, pieces[i].str.data, pieces[i].str.length);
        at += pieces[i].str.length;
    }
    *out = strShape(text, total);
    return Status::ok;
}

Status joinAtRunTime(Emitter* e, Semantic* s, const Shape* pieces, uint64_t n, Shape* out) {
    ValueRef array;
    if (Status err = valueArray(e, pieces, n, s->site, &array); err != Status::ok) return err;
    ValueRef args[5] = {e->runContext, siteValue(e, s->site), array, constI64(e, n), e->scratch};
    ValueRef ok;
    if (Status err = callHelper(e, "wn_concat", args, 5, &ok); err != Status::ok) return err;
    if (Status err = releaseSlots(e, array, n); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    *out = dynShape(loadOperand(e, e->scratch, KnownKind::str));
    return Status::ok;
}

}  // namespace

Status emitFString(Emitter* e, Semantic* s, front::FStringPartList parts, Shape* out) {
    if (parts.count == 0) {
        *out = strShape("", 0);
        return Status::ok;
    }
    Shape* pieces = takeArray<Shape>(e->compiler, parts.count);
    if (!pieces) return Status::outOfMemory;
    bool allConstant = true;
    {
        // Pieces formatted at run time are released by an error exit of a later piece.
        LiveMark mark(e);
        for (uint64_t i = 0; i < parts.count; i++) {
            const front::FStringPart& part = parts.items[i];
            if (part.tag == front::FStringTag::text) {
                pieces[i] = strShape(part.text.data, part.text.length);
                continue;
            }
            if (Status err = field(e, s, part, &pieces[i]); err != Status::ok) return err;
            if (Status err = keepLive(e, pieces[i]); err != Status::ok) return err;
            allConstant = allConstant && isStrConstant(pieces[i]);
        }
    }
    if (allConstant) return joinWhenCompiling(e, pieces, parts.count, out);
    return joinAtRunTime(e, s, pieces, parts.count, out);
}

}  // namespace wuna::compile
