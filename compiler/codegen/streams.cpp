// Standard streams and whole-file reads and writes, recognised from the shape of the call
// before anything else of it is compiled: open(p, ..., encoding="utf-8").read(),
// open(p, "rb").read(), open(p, "w", encoding="utf-8").write(t) and sys.stdin.read() become
// wn_lib operations; sys.stdout.write(t) and sys.stderr.write(t) become wn_write. Only forms
// whose meaning is fixed while compiling are taken: the builtin open itself, a mode and an
// encoding given as constants (UTF-8 in any letter case), no keyword the runtime does not
// know. Anything else goes on to the general roads, which compile the object as any other.
#include <cstring>
#include <initializer_list>

#include "compiler/codegen/builtins_shared.h"
#include "compiler/front/stable.h"

namespace wuna::compile {

namespace {

using llvmapi::ValueRef;

// Which standard stream an expression names, without a Python value of it.
struct Stream {
    uint32_t stream;  // 0 stdin, 1 stdout, 2 stderr
    bool found;
};

// What a file call goes through, recognised.
struct FileCall {
    PyObject* object;            // the sys module or the builtin open, pinned
    const front::Expr* path;     // null for standard input
    LibCall code;
    int32_t flags;
    bool found;
};

constexpr const char* kStreams[3] = {"stdin", "stdout", "stderr"};

int streamOf(front::Text name) {
    for (int i = 0; i < 3; i++)
        if (front::textIs(name, kStreams[i])) return i;
    return -1;
}

bool isStrConstant(const front::Expr* x, const char* text) {
    return x->kind == front::ExprKind::str && front::textIs(x->str, text);
}

// "utf8" or "utf-8", ASCII letters in any case.
bool isUtf8Name(const front::Expr* x) {
    if (x->kind != front::ExprKind::str) return false;
    front::Text t = x->str;
    const char* forms[2] = {"utf8", "utf-8"};
    for (const char* form : forms) {
        size_t n = strlen(form);
        if (t.length != n) continue;
        bool same = true;
        for (size_t i = 0; i < n && same; i++) {
            char c = t.data[i];
            if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
            same = c == form[i];
        }
        if (same) return true;
    }
    return false;
}

// Whether the compiled object is the module import gives; the shape is released. ok with
// *same, or pythonError when the import fails.
Status isModule(Emitter* e, const Shape& shape, const char* module, bool* same) {
    PyObject* m = PyImport_ImportModule(module);
    Status err = release(e, shape);
    if (!m) return err == Status::ok ? Status::pythonError : err;
    *same = shape.kind == ShapeKind::py && shape.py == m;
    Py_DECREF(m);
    return err;
}

Status stdStream(Emitter* e, Semantic* s, const front::Expr* x, Stream* out) {
    *out = Stream{0, false};
    if (x->kind == front::ExprKind::attribute) {
        int stream = streamOf(x->attribute.name);
        const front::Expr* object = x->attribute.object;
        if (stream < 0 || (object->kind != front::ExprKind::global &&
                           object->kind != front::ExprKind::import_))
            return Status::ok;
        Shape shape;
        if (Status err = emitExpr(e, s, object, &shape); err != Status::ok) return err;
        bool same = false;
        if (Status err = isModule(e, shape, "sys", &same); err != Status::ok) return err;
        *out = Stream{uint32_t(stream), same};
        return Status::ok;
    }
    if (x->kind == front::ExprKind::import_ && front::textIs(x->import_.module, "sys") &&
        x->import_.name.data) {
        int stream = streamOf(x->import_.name);
        if (stream >= 0) *out = Stream{uint32_t(stream), true};
    }
    return Status::ok;
}

// The keywords of a text call: the newline flag, and whether UTF-8 was named. false: a
// keyword that makes the call unrecognised.
bool textKeywords(const front::KeywordList& keywords, int32_t* newline) {
    bool utf8 = false;
    *newline = 0;
    for (uint64_t k = 0; k < keywords.count; k++) {
        const front::Keyword& kw = keywords.items[k];
        if (front::textIs(kw.name, "newline")) {
            if (isStrConstant(kw.value, ""))
                *newline = 1;
            else if (kw.value->kind == front::ExprKind::none)
                *newline = 0;
            else
                return false;
        } else if (front::textIs(kw.name, "encoding") && isUtf8Name(kw.value)) {
            utf8 = true;
        } else {
            return false;
        }
    }
    return utf8;
}

// The open(...) call's mode and keywords; *out.found false when they are not recognised.
void fileMode(const front::Expr* x, bool write, FileCall* out) {
    const auto& c = x->call;
    const front::Expr* mode = c.arguments.count == 2 ? c.arguments.items[1] : nullptr;
    int32_t newline = 0;
    if (write) {
        if (!mode) return;
        bool append = isStrConstant(mode, "a") || isStrConstant(mode, "at");
        if (!append && !isStrConstant(mode, "w") && !isStrConstant(mode, "wt")) return;
        if (!textKeywords(c.keywords, &newline)) return;
        *out = FileCall{nullptr, c.arguments.items[0], LibCall::writeText,
                        int32_t(append) + 2 * newline, true};
        return;
    }
    if (mode && isStrConstant(mode, "rb")) {
        if (c.keywords.count) return;
        *out = FileCall{nullptr, c.arguments.items[0], LibCall::readBytes, 0, true};
        return;
    }
    if (mode && !isStrConstant(mode, "r") && !isStrConstant(mode, "rt")) return;
    if (!textKeywords(c.keywords, &newline)) return;
    *out = FileCall{nullptr, c.arguments.items[0], LibCall::readText, newline, true};
}

Status fileCall(Emitter* e, Semantic* s, const front::Expr* x, bool write, FileCall* out) {
    Compiler* c = e->compiler;
    *out = FileCall{nullptr, nullptr, LibCall::pythonOnly, 0, false};
    if (!write) {
        Stream stream;
        if (Status err = stdStream(e, s, x, &stream); err != Status::ok) return err;
        if (stream.found) {
            if (stream.stream != 0) return Status::ok;
            PyObject* sys = PyImport_ImportModule("sys");
            if (!sys) return Status::pythonError;
            Status err = pinObject(c, sys, nullptr);
            Py_DECREF(sys);
            if (err == Status::ok) *out = FileCall{sys, nullptr, LibCall::stdinRead, kLibNoFlag, true};
            return err;
        }
    }
    if (x->kind != front::ExprKind::call || x->call.callee->kind != front::ExprKind::global ||
        x->call.arguments.count < 1 || x->call.arguments.count > 2)
        return Status::ok;
    Shape callee;
    if (Status err = emitExpr(e, s, x->call.callee, &callee); err != Status::ok) return err;
    bool open = callee.kind == ShapeKind::py && front::isBuiltin(callee.py, "open");
    PyObject* object = open ? callee.py : nullptr;
    if (Status err = release(e, callee); err != Status::ok) return err;
    if (!open) return Status::ok;
    fileMode(x, write, out);
    if (!out->found) return Status::ok;
    out->object = object;
    return pinObject(c, object, nullptr);
}

// The path (when there is one) and the text written, compiled and kept live until the call.
Status fileOperation(Emitter* e, Semantic* s, const FileCall& f, const front::Expr* text,
                     Shape* out) {
    uint64_t live = e->temporaries.count;
    Shape args[2];
    uint64_t count = 0;
    for (const front::Expr* x : {f.path, text}) {
        if (!x) continue;
        if (Status err = emitSubExpr(e, s, x, &args[count]); err != Status::ok) {
            e->temporaries.count = live;
            return err;
        }
        count++;
    }
    e->temporaries.count = live;
    return emitLibCall(e, s, f.code, f.object, args, count, f.flags, out);
}

}  // namespace

Status lowerStreamCall(Emitter* e, Semantic* s, const front::Expr* call, bool* handled,
                       Shape* out) {
    *handled = false;
    const front::Expr* callee = call->call.callee;
    if (callee->kind != front::ExprKind::attribute || call->call.keywords.count) return Status::ok;
    const front::Expr* object = callee->attribute.object;
    uint64_t given = call->call.arguments.count;
    bool read = front::textIs(callee->attribute.name, "read") && given == 0;
    bool write = front::textIs(callee->attribute.name, "write") && given == 1;
    if (!read && !write) return Status::ok;
    FileCall f;
    if (Status err = fileCall(e, s, object, write, &f); err != Status::ok) return err;
    if (f.found) {
        *handled = true;
        return fileOperation(e, s, f, write ? call->call.arguments.items[0] : nullptr, out);
    }
    if (!write) return Status::ok;
    Stream stream;
    if (Status err = stdStream(e, s, object, &stream); err != Status::ok) return err;
    if (!stream.found || stream.stream == 0) return Status::ok;
    *handled = true;
    Shape value;
    if (Status err = emitExpr(e, s, call->call.arguments.items[0], &value); err != Status::ok)
        return err;
    Operand x;
    if (Status err = materialize(e, value, s->site, &x); err != Status::ok) return err;
    ValueRef args[6] = {e->runContext, siteValue(e, s->site), constI32(e, int32_t(stream.stream)),
                        x.tag,         x.payload,             e->scratch};
    ValueRef ok;
    if (Status err = callHelper(e, "wn_write", args, 6, &ok); err != Status::ok) return err;
    if (Status err = release(e, dynShape(x)); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    *out = dynShape(loadOperand(e, e->scratch, KnownKind::int_));
    return Status::ok;
}

}  // namespace wuna::compile
