// wn_parse: compiled code's rt.parse (see helpers/parsed.h). The module parses and builds the
// tree (runtime::hostApi.parseNative); here the text and start rule are checked, and the
// outcome becomes the root node, the (root, errors) pair of a recovering parse, or the
// failure the reference mode raises, with its texts.
#include <cstdio>
#include <cstring>

#include "wuna/runtime/errors.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/helpers/exceptions.h"
#include "wuna/runtime/helpers/parsed.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/hostapi.h"
#include "wuna/runtime/value.h"

namespace {

using wuna::errors::Kind;
using wuna::helpers::Ctx;
using wuna::parsed::ErrorRecord;
using wuna::parsed::Outcome;
using wuna::parsed::ParseStatus;
using wuna::value::Value;
namespace value = wuna::value;

// A start rule's name with its NUL, as the parser reads it; a longer name is no rule.
constexpr size_t kStartRoom = 256;

constexpr char kNotPrepared[] = "rt.parse: the grammar wasn't prepared for compiled code";
constexpr char kNotText[] = "parse input must be str or bytes";
constexpr char kUnknownStart[] = "unknown start rule";
constexpr char kNoNodes[] = "the start rule matched but produced no nodes (is it @silent?)";

template <size_t N>
bool failWith(Ctx* ctx, int32_t site, Kind kind, const char (&text)[N]) {
    wuna::helpers::failKind(ctx, site, kind, text, N - 1);
    return false;
}

// The text's bytes: a str's UTF-8 or a bytes' contents, as the parser package takes both.
bool textBytes(Value text, const char** data, uint64_t* length) {
    if (text.tag == value::TagStr) {
        auto* s = text.as<value::Str>();
        *data = reinterpret_cast<const char*>(s->bytes());
        *length = s->length;
        return true;
    }
    if (text.tag == value::TagBytes) {
        auto* b = text.as<value::Bytes>();
        *data = reinterpret_cast<const char*>(b->data);
        *length = b->length;
        return true;
    }
    return false;
}

// The start rule's name into buffer, NUL-terminated. False for a name that names no rule: 256
// bytes or more, or a NUL inside (the parser would read a shorter name).
bool startName(const value::Str* start, char (&buffer)[kStartRoom]) {
    std::string_view name = start->text();
    if (name.size() >= kStartRoom || name.find('\0') != std::string_view::npos) return false;
    memcpy(buffer, name.data(), name.size());
    buffer[name.size()] = 0;
    return true;
}

// The message of an error record, up to its NUL, as a new str; null when memory ran out.
value::Str* messageOf(const ErrorRecord& record) {
    return value::newStr(record.message, strnlen(record.message, sizeof record.message));
}

// A new tuple of the n values, taking their references; null (the values released) when
// memory ran out.
value::Tuple* tupleOf(Value* items, uint64_t n) {
    value::Tuple* t = value::newTuple(n);
    for (uint64_t i = 0; i < n; i++) {
        if (t)
            t->items()[i] = items[i];
        else
            value::decref(items[i]);
    }
    return t;
}

// (first, second, third, message) of a recovered error, each number an int of tag 18.
value::Tuple* errorTuple(const ErrorRecord& record) {
    value::Str* message = messageOf(record);
    if (!message) return nullptr;
    Value items[4] = {Value::pint(record.offset), Value::pint(record.line),
                      Value::pint(record.column), Value::of(value::TagStr, message)};
    return tupleOf(items, 4);
}

// The list of the recovered errors in the parser's order; null when memory ran out.
value::List* errorList(const Outcome& outcome) {
    value::List* list = value::newList(outcome.errorCount);
    for (uint64_t i = 0; list && i < outcome.errorCount; i++) {
        value::Tuple* entry = errorTuple(outcome.errors[i]);
        Value item = entry ? Value::of(value::TagTuple, entry) : Value::none();
        if (entry && value::listAppend(list, item)) continue;
        if (entry) value::decref(item);
        value::decref(Value::of(value::TagList, list));
        list = nullptr;
    }
    return list;
}

// The result of a parse: the root node, or with recover the pair (root, errors). The caller's
// count of the tree is dropped in every case. False with out of memory recorded.
bool parsedResult(Ctx* ctx, int32_t site, const Outcome& outcome, bool recover, Value* out) {
    Value root;
    bool made = wuna::nodes::newTreeNode(outcome.tree, 0, &root);
    value::List* errors = made && recover ? errorList(outcome) : nullptr;
    // The errors are read from the tree's parse result: copied before the count goes.
    value::services.treeRelease(outcome.tree);
    if (!made || (recover && !errors)) {
        if (made) value::decref(root);
        wuna::helpers::failOutOfMemory(ctx, site);
        return false;
    }
    if (!recover) {
        *out = root;
        return true;
    }
    Value pair[2] = {root, Value::of(value::TagList, errors)};
    value::Tuple* t = tupleOf(pair, 2);
    if (!t) {
        wuna::helpers::failOutOfMemory(ctx, site);
        return false;
    }
    *out = Value::of(value::TagTuple, t);
    return true;
}

// Raises the ParseError of a syntax error: args ("line L, col C: message",), value (line,
// column, offset, message). Always false.
bool raiseSyntaxError(Ctx* ctx, int32_t site, const ErrorRecord& record) {
    size_t length = strnlen(record.message, sizeof record.message);
    char text[sizeof record.message + 48];
    int n = snprintf(text, sizeof text, "line %u, col %u: %.*s", unsigned(record.line),
                     unsigned(record.column), int(length), record.message);
    value::Str* rendered = n < 0 ? nullptr : value::newStr(text, size_t(n));
    value::Str* message = rendered ? messageOf(record) : nullptr;
    Value argItems[1] = {rendered ? Value::of(value::TagStr, rendered) : Value::none()};
    value::Tuple* args = rendered ? tupleOf(argItems, 1) : nullptr;
    Value detailItems[4] = {Value::pint(record.line), Value::pint(record.column),
                            Value::pint(record.offset),
                            message ? Value::of(value::TagStr, message) : Value::none()};
    value::Tuple* detail = message ? tupleOf(detailItems, 4) : nullptr;
    value::Exc* e = args && detail ? value::newExc(uint32_t(Kind::ParseError),
                                                   Value::of(value::TagTuple, args),
                                                   Value::of(value::TagTuple, detail),
                                                   Value::none(), site)
                                   : nullptr;
    if (args) value::decref(Value::of(value::TagTuple, args));
    else if (rendered) value::decref(argItems[0]);
    if (detail) value::decref(Value::of(value::TagTuple, detail));
    else if (message) value::decref(detailItems[3]);
    if (!e) {
        wuna::helpers::failOutOfMemory(ctx, site);
        return false;
    }
    Value exc = Value::of(value::TagExc, e);
    wuna::helpers::raiseExc(ctx, site, exc);
    value::decref(exc);
    return false;
}

}  // namespace

bool wn_parse(void* c, int32_t site, int64_t grammar, int64_t tag, int64_t payload, void* start,
              int32_t recover, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    PyObject* parser = wuna::helpers::moduleObject(ctx, grammar);
    auto parse = wuna::runtime::hostApi.parseNative;
    if (!parser || !parse) {
        wuna::helpers::fail(ctx, site, kNotPrepared, sizeof kNotPrepared - 1);
        return false;
    }
    Value text = Value::words(tag, payload);
    const char* data;
    uint64_t length;
    if (!textBytes(text, &data, &length)) return failWith(ctx, site, Kind::TypeError, kNotText);
    char name[kStartRoom];
    if (start && !startName(static_cast<const value::Str*>(start), name))
        return failWith(ctx, site, Kind::ValueError, kUnknownStart);
    Outcome outcome;
    switch (parse(parser, text, data, length, start ? name : nullptr, recover != 0, &outcome)) {
    case ParseStatus::parsed:
        return parsedResult(ctx, site, outcome, recover != 0, static_cast<Value*>(out));
    case ParseStatus::syntaxError: return raiseSyntaxError(ctx, site, outcome.error);
    case ParseStatus::unknownStart: return failWith(ctx, site, Kind::ValueError, kUnknownStart);
    case ParseStatus::noNodes: return failWith(ctx, site, Kind::ValueError, kNoNodes);
    case ParseStatus::notPrepared:
        wuna::helpers::fail(ctx, site, kNotPrepared, sizeof kNotPrepared - 1);
        return false;
    case ParseStatus::outOfMemory: break;
    }
    wuna::helpers::failOutOfMemory(ctx, site);
    return false;
}
