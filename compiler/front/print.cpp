// The IR as text for Language.ir: a Python-like function with every name resolved. Locals
// carry their slot (x#2), globals say so, operators are prefix forms with their words, and
// constructs with no Python spelling are placeholders. Nothing is escaped. The printer only
// reads the IR and never descends into a nested function.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "compiler/front/front.h"

namespace wuna::front {

namespace {

constexpr const char* kBinaryWords[] = {"add", "sub",    "mul",    "div",   "floordiv", "mod",
                                        "pow", "lshift", "rshift", "bitor", "bitxor",   "bitand"};
constexpr const char* kUnaryWords[] = {"neg", "pos", "not_", "invert"};
constexpr const char* kCompareWords[] = {"eq", "ne", "lt",     "le", "gt",
                                         "ge", "is", "is_not", "in", "not_in"};

struct Out {
    Printer& printer;
    const FunctionIR& ir;
    bool ok = true;

    Out& operator<<(std::string_view text) {
        if (ok) ok = write(printer, text.data(), text.size());
        return *this;
    }
    Out& operator<<(Text text) {
        if (ok && text.length) ok = write(printer, text.data, size_t(text.length));
        return *this;
    }
    Out& number(long long value) {
        char digits[32];
        int length = snprintf(digits, sizeof digits, "%lld", value);
        return *this << std::string_view(digits, size_t(length));
    }
    Out& local(uint32_t index) {
        if (index < ir.locals.count) *this << ir.locals.items[index];
        *this << "#";
        return number(index);
    }
    Out& indent(uint32_t level) {
        if (ok) ok = writeIndent(printer, level);
        return *this;
    }
};

void expression(Out& out, const Expr& e);

void expressions(Out& out, ExprList list) {
    for (uint64_t i = 0; i < list.count; i++) {
        if (i) out << ", ";
        expression(out, *list.items[i]);
    }
}

// The text of a Python str() or repr() of an object; fallback when it fails.
void objectText(Out& out, PyObject* object, bool repr, std::string_view fallback) {
    PyObject* text = repr ? PyObject_Repr(object) : PyObject_Str(object);
    Py_ssize_t length = 0;
    const char* bytes = text ? PyUnicode_AsUTF8AndSize(text, &length) : nullptr;
    if (bytes) {
        out << std::string_view(bytes, size_t(length));
    } else {
        PyErr_Clear();
        out << fallback;
    }
    Py_XDECREF(text);
}

// The shortest digits that read back as the same double, written positionally.
void floatText(Out& out, double value) {
    if (std::isnan(value)) {
        out << (std::signbit(value) ? "-nan" : "nan");
        return;
    }
    if (std::isinf(value)) {
        out << (value < 0 ? "-inf" : "inf");
        return;
    }
    char digits[40];
    int precision = 1;
    for (; precision <= 17; precision++) {
        snprintf(digits, sizeof digits, "%.*e", precision - 1, value);
        if (strtod(digits, nullptr) == value) break;
    }
    // digits: [-]d[.ddd]e[+-]xx -> the mantissa's digits and the exponent.
    const char* p = digits;
    bool negative = *p == '-';
    if (negative) p++;
    char mantissa[24];
    size_t count = 0;
    for (; *p && *p != 'e'; p++)
        if (*p != '.') mantissa[count++] = *p;
    int exponent = atoi(p + 1);
    while (count > 1 && mantissa[count - 1] == '0') count--;
    if (negative || std::signbit(value)) out << "-";
    if (count == 1 && mantissa[0] == '0') {
        out << "0";
        return;
    }
    // The value is 0.mantissa * 10^(exponent + 1).
    int point = exponent + 1;
    if (point <= 0) {
        out << "0.";
        for (int i = 0; i < -point; i++) out << "0";
        out << std::string_view(mantissa, count);
        return;
    }
    if (size_t(point) >= count) {
        out << std::string_view(mantissa, count);
        for (size_t i = count; i < size_t(point); i++) out << "0";
        return;
    }
    out << std::string_view(mantissa, size_t(point)) << "."
        << std::string_view(mantissa + point, count - size_t(point));
}

void target(Out& out, const Target& t) {
    switch (t.kind) {
    case TargetKind::local: out.local(t.local); return;
    case TargetKind::global: out << "global " << t.global; return;
    case TargetKind::tuple:
        out << "(";
        for (uint64_t i = 0; i < t.tuple.count; i++) {
            if (i) out << ", ";
            target(out, t.tuple.items[i]);
        }
        out << ")";
        return;
    case TargetKind::attribute:
        expression(out, *t.attribute.object);
        out << "." << t.attribute.name;
        return;
    case TargetKind::item:
        expression(out, *t.item.object);
        out << "[";
        expression(out, *t.item.index);
        out << "]";
        return;
    }
}

void generators(Out& out, GeneratorList list) {
    for (uint64_t i = 0; i < list.count; i++) {
        const Generator& g = list.items[i];
        out << " for ";
        target(out, g.target);
        out << " in ";
        expression(out, *g.iterable);
        for (uint64_t c = 0; c < g.conditions.count; c++) {
            out << " if ";
            expression(out, *g.conditions.items[c]);
        }
    }
}

void fstringParts(Out& out, FStringPartList parts) {
    for (uint64_t i = 0; i < parts.count; i++) {
        const FStringPart& part = parts.items[i];
        if (part.tag == FStringTag::text) {
            out << part.text;
            continue;
        }
        out << "{";
        expression(out, *part.value.value);
        if (part.value.conversion) {
            char conversion = char(part.value.conversion);
            out << "!" << std::string_view(&conversion, 1);
        }
        if (part.value.spec.count) {
            out << ":";
            fstringParts(out, part.value.spec);
        }
        out << "}";
    }
}

void expression(Out& out, const Expr& e) {
    switch (e.kind) {
    case ExprKind::int_: out.number(e.int_); return;
    case ExprKind::bigInt: objectText(out, e.bigInt, false, "<int>"); return;
    case ExprKind::object: objectText(out, e.object, true, "<constant>"); return;
    case ExprKind::float_: floatText(out, e.float_); return;
    case ExprKind::str: out << "\"" << e.str << "\""; return;
    case ExprKind::bool_: out << (e.bool_ ? "True" : "False"); return;
    case ExprKind::none: out << "None"; return;
    case ExprKind::local: out.local(e.local); return;
    case ExprKind::global: out << "global " << e.global; return;
    case ExprKind::attribute:
        expression(out, *e.attribute.object);
        out << "." << e.attribute.name;
        return;
    case ExprKind::subscript:
        expression(out, *e.subscript.object);
        out << "[";
        expression(out, *e.subscript.index);
        out << "]";
        return;
    case ExprKind::slice:
        expression(out, *e.slice.object);
        out << "[";
        if (e.slice.lower) expression(out, *e.slice.lower);
        out << ":";
        if (e.slice.upper) expression(out, *e.slice.upper);
        if (e.slice.step) {
            out << ":";
            expression(out, *e.slice.step);
        }
        out << "]";
        return;
    case ExprKind::call:
        expression(out, *e.call.callee);
        out << "(";
        expressions(out, e.call.arguments);
        for (uint64_t i = 0; i < e.call.keywords.count; i++) {
            if (i || e.call.arguments.count) out << ", ";
            out << e.call.keywords.items[i].name << "=";
            expression(out, *e.call.keywords.items[i].value);
        }
        out << ")";
        return;
    case ExprKind::nestedCall:
        out << e.nestedCall.function->name << "<nested>(";
        expressions(out, e.nestedCall.arguments);
        out << ")";
        return;
    case ExprKind::closure: out << e.closure->name << "<closure>"; return;
    case ExprKind::namedExpr:
        out << "(";
        out.local(e.namedExpr.local);
        out << " := ";
        expression(out, *e.namedExpr.value);
        out << ")";
        return;
    case ExprKind::starred:
        out << "*";
        expression(out, *e.starred);
        return;
    case ExprKind::import_:
        out << "import " << e.import_.module;
        if (e.import_.name.data)
            out << "." << e.import_.name;
        else if (!e.import_.exact)
            out << " (top)";
        return;
    case ExprKind::binary:
        out << "(" << kBinaryWords[uint8_t(e.binary.op) % kBinaryOpCount] << " ";
        expression(out, *e.binary.left);
        out << " ";
        expression(out, *e.binary.right);
        out << ")";
        return;
    case ExprKind::unary:
        out << "(" << kUnaryWords[uint8_t(e.unary.op) % kUnaryOpCount] << " ";
        expression(out, *e.unary.operand);
        out << ")";
        return;
    case ExprKind::and_:
    case ExprKind::or_:
        out << (e.kind == ExprKind::and_ ? "(and_ " : "(or_ ");
        expressions(out, e.and_);
        out << ")";
        return;
    case ExprKind::compare:
        out << "(compare ";
        expression(out, *e.compare.left);
        for (uint64_t i = 0; i < e.compare.ops.count; i++) {
            out << " " << kCompareWords[uint8_t(e.compare.ops.items[i]) % kCompareOpCount] << " ";
            expression(out, *e.compare.comparators.items[i]);
        }
        out << ")";
        return;
    case ExprKind::ifExp:
        out << "(";
        expression(out, *e.ifExp.body);
        out << " if ";
        expression(out, *e.ifExp.test);
        out << " else ";
        expression(out, *e.ifExp.orelse);
        out << ")";
        return;
    case ExprKind::list:
        out << "[";
        expressions(out, e.list);
        out << "]";
        return;
    case ExprKind::tuple:
        out << "(tuple ";
        expressions(out, e.tuple);
        out << ")";
        return;
    case ExprKind::set:
        out << "{";
        expressions(out, e.set.elements);
        out << "}";
        return;
    case ExprKind::dict:
        out << "{";
        for (uint64_t i = 0; i < e.dict.keys.count; i++) {
            if (i) out << ", ";
            expression(out, *e.dict.keys.items[i]);
            out << ": ";
            expression(out, *e.dict.values.items[i]);
        }
        out << "}";
        return;
    case ExprKind::setComp:
    case ExprKind::listComp:
    case ExprKind::generatorExp: {
        const char* open = e.kind == ExprKind::setComp    ? "{"
                           : e.kind == ExprKind::listComp ? "["
                                                          : "(";
        const char* close = e.kind == ExprKind::setComp    ? "}"
                            : e.kind == ExprKind::listComp ? "]"
                                                           : ")";
        out << open;
        expression(out, *e.listComp.element);
        generators(out, e.listComp.generators);
        out << close;
        return;
    }
    case ExprKind::dictComp:
        out << "{";
        expression(out, *e.dictComp.key);
        out << ": ";
        expression(out, *e.dictComp.value);
        generators(out, e.dictComp.generators);
        out << "}";
        return;
    case ExprKind::fstring:
        out << "f\"";
        fstringParts(out, e.fstring);
        out << "\"";
        return;
    case ExprKind::outOfLine: out << "<out of line>"; return;
    }
}

void statement(Out& out, const Stmt& s, uint32_t level, bool indented);

void body(Out& out, StmtList list, uint32_t level) {
    if (list.count == 0) {
        out.indent(level) << "pass\n";
        return;
    }
    for (uint64_t i = 0; i < list.count; i++) statement(out, list.items[i], level, false);
}

void orelse(Out& out, const char* header, StmtList list, uint32_t level) {
    if (list.count == 0) return;
    out.indent(level) << header;
    body(out, list, level + 1);
}

void statement(Out& out, const Stmt& s, uint32_t level, bool indented) {
    if (!indented && s.kind != StmtKind::block) out.indent(level);
    switch (s.kind) {
    case StmtKind::assign:
        for (uint64_t i = 0; i < s.assign.targets.count; i++) {
            target(out, s.assign.targets.items[i]);
            out << " = ";
        }
        expression(out, *s.assign.value);
        out << "\n";
        return;
    case StmtKind::augAssign:
        target(out, s.augAssign.target);
        out << " " << kBinaryWords[uint8_t(s.augAssign.op) % kBinaryOpCount] << "= ";
        expression(out, *s.augAssign.value);
        out << "\n";
        return;
    case StmtKind::expr:
        expression(out, *s.expr);
        out << "\n";
        return;
    case StmtKind::if_:
    case StmtKind::while_:
        out << (s.kind == StmtKind::if_ ? "if " : "while ");
        expression(out, *s.if_.test);
        out << ":\n";
        body(out, s.if_.body, level + 1);
        orelse(out, "else:\n", s.if_.orelse, level);
        return;
    case StmtKind::for_:
        out << "for ";
        target(out, s.for_.target);
        out << " in ";
        expression(out, *s.for_.iterable);
        out << ":\n";
        body(out, s.for_.body, level + 1);
        orelse(out, "else:\n", s.for_.orelse, level);
        return;
    case StmtKind::return_:
    case StmtKind::raise:
        out << (s.kind == StmtKind::return_ ? "return" : "raise");
        if (s.return_) {
            out << " ";
            expression(out, *s.return_);
        }
        out << "\n";
        return;
    case StmtKind::assert_:
        out << "assert ";
        expression(out, *s.assert_.test);
        if (s.assert_.message) {
            out << ", ";
            expression(out, *s.assert_.message);
        }
        out << "\n";
        return;
    case StmtKind::try_:
        out << "try:\n";
        body(out, s.try_.body, level + 1);
        for (uint64_t i = 0; i < s.try_.handlers.count; i++) {
            const Handler& h = s.try_.handlers.items[i];
            out.indent(level) << "except";
            if (h.type) {
                out << " ";
                expression(out, *h.type);
            }
            if (h.binds) {
                out << " as ";
                out.local(h.local);
            }
            out << ":\n";
            body(out, h.body, level + 1);
        }
        orelse(out, "else:\n", s.try_.orelse, level);
        orelse(out, "finally:\n", s.try_.finally, level);
        return;
    case StmtKind::break_: out << "break\n"; return;
    case StmtKind::continue_: out << "continue\n"; return;
    case StmtKind::pass: out << "pass\n"; return;
    case StmtKind::delLocal:
        out << "del ";
        out.local(s.delLocal) << "\n";
        return;
    case StmtKind::delItem:
        out << "del ";
        expression(out, *s.delItem.object);
        out << "[";
        expression(out, *s.delItem.index);
        out << "]\n";
        return;
    case StmtKind::raiseFrom:
        out << "raise ";
        expression(out, *s.raiseFrom.exception);
        out << " from ";
        expression(out, *s.raiseFrom.cause);
        out << "\n";
        return;
    case StmtKind::block:
        // The first statement goes on the line whose indentation the block already has.
        if (!indented) out.indent(level);
        for (uint64_t i = 0; i < s.block.count; i++)
            statement(out, s.block.items[i], level, i == 0);
        return;
    }
}

}  // namespace

Status printStatement(Printer& printer, const FunctionIR& ir, const Stmt& s, uint32_t level) {
    Out out{printer, ir};
    statement(out, s, level, false);
    return out.ok ? Status::ok : Status::outOfMemory;
}

Status printExpression(Printer& printer, const FunctionIR& ir, const Expr& e) {
    Out out{printer, ir};
    expression(out, e);
    return out.ok ? Status::ok : Status::outOfMemory;
}

}  // namespace wuna::front
