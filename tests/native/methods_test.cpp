// wn_call_method against the running interpreter: every method code over str (ASCII and not),
// bytes, list, tuple, dict, set, int and float receivers, with the same result, the same
// exception type and text, the receiver changed the same way (a set iterating in the same
// order), and nothing handed to Python where a native answer is due. Every test ends with the
// thread's block count where it began.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/native/differential.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/helpers/methods.h"
#include "wuna/runtime/helpers/pyfunc.h"
#include "wuna/runtime/helpers/run.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/helpers/tally.h"
#include "wuna/runtime/value.h"

namespace wuna {

namespace {

using testing_support::eval;
using value::Value;

// Where a call is answered: natively (nothing may cross), or through Python (anything may).
enum class Path { native, python };

struct Case {
    const char* receiver;
    const char* name;
    std::vector<const char*> args;
    Path path;
};

class Methods : public testing_support::Differential {
protected:
    void SetUp() override {
        // The interned names live for the process: made before the block count is taken.
        for (const char* name : kNamesUsed) value::literal(name, std::strlen(name));
        Differential::SetUp();
        testing_support::copyHashKey();
    }
    static constexpr const char* kNamesUsed[] = {
        "add", "discard", "remove", "pop", "clear", "copy", "update", "union", "intersection",
        "difference", "symmetric_difference", "intersection_update", "difference_update",
        "symmetric_difference_update", "issubset", "issuperset", "isdisjoint", "find", "rfind",
        "count", "index", "rindex", "startswith", "endswith", "partition", "rpartition",
        "replace", "split", "splitlines", "join", "strip", "lstrip", "rstrip", "lower", "upper",
        "isupper", "islower", "isdigit", "isalpha", "isalnum", "isspace", "encode", "decode",
        "hex", "get", "extend", "to_bytes", "is_integer", "zfill", "title", "bit_length",
        "as_integer_ratio", "keys", "__bool__", "mro", "sort", "f", "g"};

    // The native value of an expression: set(<list>) becomes a runtime set built from the
    // list as Python builds it; anything else is converted.
    Value nativeOf(const std::string& expression) {
        if (expression.rfind("set(", 0) == 0 && expression.back() == ')') {
            Value items = nativeOf(expression.substr(4, expression.size() - 5));
            Value s = Value::none();
            EXPECT_TRUE(wn_to_set(&ctx, 1, int64_t(items.tag), int64_t(items.payload), &s))
                << expression;
            value::decref(items);
            return s;
        }
        // Lists and dicts the test holds alone become runtime blocks, as a program's own do.
        PyObject* o = eval(expression);
        Value v = Value::none();
        EXPECT_EQ(convert::convert(o, Py_REFCNT(o) == 1, &v), 0) << expression;
        Py_XDECREF(o);
        return v;
    }

    // A runtime set's elements in the order its table holds them (a Python set made of them
    // would lay them out anew). New reference.
    PyObject* slotOrder(value::Set* s) {
        PyObject* list = PyList_New(0);
        for (uint64_t i = 0; i <= s->mask; i++) {
            Value k = s->table[i].key;
            if (k.tag == value::TagUnset || k.tag == value::TagDeleted) continue;
            PyObject* o = convert::toPython(k, &ctx.conversion);
            PyList_Append(list, o);
            Py_XDECREF(o);
        }
        return list;
    }

    // What Python sees of a value after the call: a set as the list of its iteration order.
    static PyObject* shown(PyObject* o) {
        if (PyAnySet_Check(o)) return PySequence_List(o);
        Py_INCREF(o);
        return o;
    }

    void check(const Case& c) {
        std::string head = std::string(c.receiver) + "." + c.name;
        std::string label = testing_support::callText(head, c.args);
        // Python's outcome on its own objects.
        PyObject* receiver = eval(c.receiver);
        ASSERT_NE(receiver, nullptr) << label;
        PyObject* args = PyTuple_New(Py_ssize_t(c.args.size()));
        for (size_t i = 0; i < c.args.size(); i++)
            PyTuple_SET_ITEM(args, Py_ssize_t(i), eval(c.args[i]));
        PyObject* method = PyObject_GetAttrString(receiver, c.name);
        ASSERT_NE(method, nullptr) << label;
        PyObject* expected = PyObject_Call(method, args, nullptr);
        PyObject *type = nullptr, *error = nullptr, *tb = nullptr;
        PyErr_Fetch(&type, &error, &tb);
        Py_DECREF(method);
        Py_DECREF(args);
        // The native outcome on runtime values.
        Value self = nativeOf(c.receiver);
        std::vector<Value> argv;
        for (const char* a : c.args) argv.push_back(nativeOf(a));
        testing_support::ReportingRun reporting(&ctx);
        Value out = Value::none();
        value::Str* name = value::literal(c.name, std::strlen(c.name));
        bool ok = wn_call_method(&ctx, 7, int64_t(self.tag), int64_t(self.payload), name,
                                 int32_t(helpers::methodCode(c.name, std::strlen(c.name))),
                                 argv.data(), int64_t(argv.size()), &out);
        PyErr_Restore(type, error, tb);
        expectOutcome(label, ok, out, expected, false);
        uint64_t crossed = reporting.tally.used;
        if (c.path == Path::native) {
            EXPECT_EQ(crossed, 0u)
                << label << " went through Python: " << crossings(reporting.tally);
        }
        // The receiver changed as Python's did.
        PyObject* after = self.tag == value::TagSet ? slotOrder(self.as<value::Set>())
                                                    : convert::toPython(self, &ctx.conversion);
        PyObject* mine = after ? shown(after) : nullptr;
        PyObject* theirs = shown(receiver);
        ASSERT_NE(mine, nullptr) << label;
        EXPECT_TRUE(testing_support::sameResult(mine, theirs, false))
            << label << ": the receiver became " << show(mine) << ", Python's " << show(theirs);
        Py_XDECREF(after);
        Py_XDECREF(mine);
        Py_DECREF(theirs);
        Py_DECREF(receiver);
        value::decref(self);
        for (Value v : argv) value::decref(v);
    }

    static std::string crossings(const bridge::Tally& t) {
        std::string texts;
        for (uint64_t i = 0; i < t.capacity; i++)
            if (t.slots[i].text) texts += std::string(t.slots[i].text, t.slots[i].length) + "; ";
        return texts;
    }

    void checkAll(const std::vector<Case>& cases) {
        for (const Case& c : cases) check(c);
    }
};

constexpr Path N = Path::native;
constexpr Path P = Path::python;

TEST_F(Methods, NamesHaveTheirCodes) {
    struct Named {
        const char* name;
        int32_t code;
    } names[] = {{"add", 1},          {"update", 7},       {"union", 8},
                 {"isdisjoint", 17},  {"find", 18},        {"rpartition", 26},
                 {"splitlines", 29},  {"isspace", 41},     {"encode", 42},
                 {"get", 45},         {"to_bytes", 47},    {"is_integer", 48},
                 {"symmetric_difference_update", 14},      {"other", 0},
                 {"rsplit", 0},       {"ad", 0},           {"symmetric_difference_updates", 0}};
    for (const Named& n : names)
        EXPECT_EQ(int32_t(helpers::methodCode(n.name, std::strlen(n.name))), n.code) << n.name;
}

TEST_F(Methods, AsciiStrMethods) {
    checkAll({
        {"'hello world'", "find", {"'o'"}, N},
        {"'hello world'", "find", {"'o'", "5"}, N},
        {"'hello world'", "find", {"'o'", "-4", "None"}, N},
        {"'abc'", "find", {"''", "3"}, N},
        {"'abc'", "find", {"''", "4"}, N},
        {"'abc'", "count", {"''", "4"}, N},
        {"'abc'", "count", {"''", "1"}, N},
        {"'aaaa'", "count", {"'aa'"}, N},
        {"'hello'", "rfind", {"'l'"}, N},
        {"'hello'", "rfind", {"''"}, N},
        {"'hello'", "index", {"'z'"}, N},
        {"'hello'", "rindex", {"'l'", "0", "3"}, N},
        {"'hello'", "find", {"1"}, P},
        {"'hello'", "startswith", {"'he'"}, N},
        {"'hello'", "startswith", {"('x', 'll')", "2"}, N},
        {"'hello'", "endswith", {"()"}, N},
        {"'hello'", "endswith", {"'lo'", "0", "-1"}, N},
        {"'hello'", "startswith", {"'h'", "9"}, N},
        {"'a,b,,c'", "split", {"','"}, N},
        {"'a,b,,c'", "split", {"','", "1"}, N},
        {"'a,b'", "split", {"''"}, N},
        {"'  a  b  '", "split", {}, N},
        {"'one two  three  '", "split", {"None", "1"}, N},
        {"''", "split", {}, N},
        {"''", "split", {"'x'"}, N},
        {"'abc'", "split", {"'b'", "0"}, N},
        {"'a\\nb\\r\\nc\\rd\\n'", "splitlines", {}, N},
        {"'a\\nb\\r\\n'", "splitlines", {"True"}, N},
        {"''", "splitlines", {}, N},
        {"'a=b=c'", "partition", {"'='"}, N},
        {"'a=b=c'", "rpartition", {"'='"}, N},
        {"'abc'", "partition", {"'='"}, N},
        {"'abc'", "rpartition", {"'='"}, N},
        {"'abc'", "partition", {"1"}, N},
        {"'abc'", "partition", {"''"}, N},
        {"'ab'", "replace", {"''", "'-'"}, N},
        {"''", "replace", {"''", "'-'"}, N},
        {"'aaa'", "replace", {"'a'", "'bb'"}, N},
        {"'aaa'", "replace", {"'a'", "'b'", "2"}, P},
        {"'xyhixy'", "strip", {"'xy'"}, N},
        {"' \\t hi \\n'", "strip", {}, N},
        {"'  hi  '", "lstrip", {"None"}, N},
        {"'  hi  '", "rstrip", {}, N},
        {"'-'", "join", {"['a', 'b', 'c']"}, N},
        {"'-'", "join", {"()"}, N},
        {"'-'", "join", {"['a', 1]"}, P},
        {"'Hello World'", "lower", {}, N},
        {"'Hello World'", "upper", {}, N},
        {"'ABC1'", "isupper", {}, N},
        {"'123'", "isupper", {}, N},
        {"'abc'", "islower", {}, N},
        {"''", "isdigit", {}, N},
        {"'0123'", "isdigit", {}, N},
        {"'ab1'", "isalpha", {}, N},
        {"'ab1'", "isalnum", {}, N},
        {"' \\t\\x1c'", "isspace", {}, N},
        {"'abc'", "encode", {}, N},
        {"'abc'", "encode", {"'ASCII'"}, N},
        {"'abc'", "encode", {"'utf_8'"}, P},
        {"'abc'", "zfill", {"5"}, P},
        {"'abc'", "title", {}, P},
    });
}

TEST_F(Methods, NonAsciiStrMethods) {
    checkAll({
        {"'h\\u00e9llo w\\u00f6rld'", "find", {"'o'"}, N},
        {"'h\\u00e9llo w\\u00f6rld'", "rfind", {"'l'", "1", "-2"}, N},
        {"'\\u00e9\\u00e9\\u00e9'", "count", {"''", "1"}, N},
        {"'\\u00e9a\\u00e9'", "index", {"'\\u00e9'", "1"}, N},
        {"'stra\\u00dfe'", "upper", {}, N},
        {"'\\u0130'", "lower", {}, N},
        {"'\\u0391\\u03a3'", "lower", {}, N},
        {"'\\u03a3\\u0391'", "lower", {}, N},
        {"'\\u03a3'", "lower", {}, N},
        {"'A\\u03a3\\u0301 b'", "lower", {}, N},
        {"'\\u00c9t\\u00e9'", "isalpha", {}, N},
        {"'\\u00e9\\u0661'", "isalnum", {}, N},
        {"'\\u00e9 '", "isalpha", {}, N},
        {"'\\u00c9'", "isupper", {}, P},
        {"'\\u0661'", "isdigit", {}, P},
        {"'\\u3000'", "isspace", {}, P},
        {"'\\u3000hi\\u3000'", "strip", {}, N},
        {"'\\u00e9x\\u00e9'", "strip", {"'\\u00e9'"}, N},
        {"'a\\u2028b\\x85c'", "splitlines", {}, N},
        {"'a \\u3000b'", "split", {}, N},
        {"'\\u00e9'", "encode", {"'latin1'"}, N},
        {"'\\u00e9'", "encode", {"'LATIN-1'"}, N},
        {"'\\u00e9'", "encode", {"'ascii'"}, P},
        {"'\\u20ac'", "encode", {"'latin-1'"}, P},
        {"'\\u00e9'", "encode", {}, N},
        {"'\\u00e9=\\u00e8'", "partition", {"'='"}, N},
        {"'\\u00e9\\u00e8'", "replace", {"''", "'\\u00b7'"}, N},
        {"'\\u00e9'", "join", {"['\\u00e8', '\\u00ea']"}, N},
        {"'\\u00e9'", "startswith", {"'\\u00e9'", "0", "1"}, N},
    });
}

// Code points whose case or letter properties changed between the Unicode versions of the
// supported interpreters: the answer is the running interpreter's, whatever the tables say.
TEST_F(Methods, CodePointsOfNewerUnicodeFollowTheRunningInterpreter) {
    checkAll({
        {"'\\U0001e030'", "isalpha", {}, P},     // new in Unicode 15.0
        {"'\\U0001e030x'", "upper", {}, P},
        {"'\\u0cf3'", "isalnum", {}, P},         // new in Unicode 15.0
        {"'\\U00031350'", "isalpha", {}, P},     // new in Unicode 15.0 (CJK extension H)
        {"'\\U0002ebf0'", "isalpha", {}, P},     // new in Unicode 15.1
        {"'\\u0870'", "isalpha", {}, P},         // new in Unicode 14.0
        {"'\\u2c2f\\u2c5f'", "lower", {}, P},    // case pair new in Unicode 14.0
    });
    // Only the text holding such a code point goes to Python.
    checkAll({{"'\\u00e9'", "isalpha", {}, N}});
}

TEST_F(Methods, BytesMethods) {
    checkAll({
        {"b'abcabc'", "find", {"b'c'"}, N},
        {"b'abcabc'", "find", {"98"}, N},
        {"b'abc'", "find", {"256"}, P},
        {"b'abcabc'", "rfind", {"b''"}, N},
        {"b'abc'", "count", {"b''"}, N},
        {"b'aaaa'", "count", {"b'aa'"}, N},
        {"b'abc'", "index", {"b'z'"}, P},
        {"b'abc'", "rindex", {"b'b'"}, N},
        {"b'abc'", "find", {"b'b'", "1"}, P},
        {"b'abc'", "startswith", {"b'ab'"}, N},
        {"b'abc'", "endswith", {"(b'x', b'bc')"}, N},
        {"b'abc'", "endswith", {"()"}, N},
        {"b'abc'", "startswith", {"('a',)"}, P},
        {"b'\\xff'", "decode", {}, P},
        {"b'\\xe9'", "decode", {"'LATIN-1'"}, N},
        {"b'\\xe9'", "decode", {"'latin_1'"}, P},
        {"b'h\\xc3\\xa9'", "decode", {"'UTF8'"}, N},
        {"b'\\xed\\xa0\\x80'", "decode", {}, P},
        {"b'abc'", "decode", {"'ascii'"}, N},
        {"b'\\x00\\xff'", "hex", {}, N},
        {"b'aBc1'", "upper", {}, N},
        {"b'aBc1'", "lower", {}, N},
        {"b' \\t ab \\x0b'", "strip", {}, N},
        {"b'xxabyy'", "strip", {"b'xy'"}, N},
        {"b'  ab  '", "rstrip", {"None"}, N},
        {"b'a,,b'", "split", {"b','"}, N},
        {"b'a b'", "split", {}, P},
        {"b'ab'", "split", {"b''"}, P},
        {"b'abab'", "replace", {"b'a'", "b'xyz'"}, N},
        {"b'ab'", "replace", {"b''", "b'-'"}, P},
        {"b'-'", "join", {"[b'a', b'b']"}, N},
        {"b'-'", "join", {"[]"}, N},
        {"b'-'", "join", {"[b'a', 'b']"}, P},
    });
}

TEST_F(Methods, IntAndFloatMethods) {
    checkAll({
        {"255", "to_bytes", {"1", "'big'"}, N},
        {"258", "to_bytes", {"2", "'little'"}, N},
        {"0", "to_bytes", {"0", "'big'"}, N},
        {"256", "to_bytes", {"1", "'big'"}, P},
        {"-1", "to_bytes", {"1", "'big'"}, P},
        {"2**100", "to_bytes", {"16", "'big'"}, N},
        {"1", "to_bytes", {"17", "'big'"}, P},
        {"1", "to_bytes", {"1", "'middle'"}, P},
        {"7", "bit_length", {}, P},
        {"2.0", "is_integer", {}, N},
        {"float('inf')", "is_integer", {}, N},
        {"2.5", "hex", {}, N},
        {"2.5", "as_integer_ratio", {}, P},
    });
}

TEST_F(Methods, SignedToBytesCallsPythonWithTheKeyword) {
    struct Signed {
        int64_t value;
        int64_t length;
        bool sign;
        const char* python;
    } cases[] = {{-1, 1, true, "(-1).to_bytes(1, 'big', signed=True)"},
                 {-2, 2, true, "(-2).to_bytes(2, 'little', signed=True)"},
                 {-129, 1, true, "(-129).to_bytes(1, 'big', signed=True)"},
                 {255, 1, true, "(255).to_bytes(1, 'big', signed=True)"}};
    value::Str* name = value::literal("to_bytes", 8);
    value::Str* big = value::newStr("big", 3);
    value::Str* little = value::newStr("little", 6);
    for (const Signed& c : cases) {
        bool useLittle = std::string(c.python).find("little") != std::string::npos;
        Value args[3] = {Value::pint(c.length),
                         Value::of(value::TagStr, useLittle ? little : big),
                         Value::boolean(c.sign)};
        Value out = Value::none();
        bool ok =
            wn_call_method(&ctx, 3, value::TagPint, int64_t(c.value), name, 47, args, 3, &out);
        PyObject* expected = PyRun_String(c.python, Py_eval_input,
                                          testing_support::namespaceDict(),
                                          testing_support::namespaceDict());
        expectOutcome(c.python, ok, out, expected, false);
    }
    value::decref(Value::of(value::TagStr, big));
    value::decref(Value::of(value::TagStr, little));
}

TEST_F(Methods, ListTupleAndDictMethods) {
    checkAll({
        {"[1, 2, 1]", "count", {"1"}, N},
        {"[1, 2.0, 'a']", "index", {"2"}, N},
        {"[1, 2]", "index", {"3"}, P},
        {"(1, 2, 1)", "count", {"1.0"}, N},
        {"('a', 'b')", "index", {"'b'"}, N},
        {"[1, 2]", "extend", {"(3, 4)"}, N},
        {"[1, 2]", "extend", {"[]"}, N},
        {"[]", "pop", {}, N},
        {"[1]", "pop", {"1"}, N},
        {"[1]", "pop", {"-2"}, N},
        {"[1, 2]", "pop", {"-1"}, N},
        {"[1, 2, 3]", "pop", {"0"}, N},
        {"[1, 2]", "pop", {"2**70"}, P},
        {"[1, 2]", "pop", {"'a'"}, P},
        {"[3, 1]", "copy", {}, P},
        {"{'a': 1}", "get", {"'a'"}, N},
        {"{'a': 1}", "get", {"'b'"}, N},
        {"{'a': 1}", "get", {"'b'", "5"}, N},
        // An unhashable key fails natively, named as Python names it (not as a proxy).
        {"{'a': 1}", "get", {"[1]"}, N},
        {"{'a': 1}", "get", {"(1, ({2: 3},), [4])"}, N},
        {"{'a': 1}", "pop", {"set([1])", "0"}, N},
        {"{'a': 1}", "get", {"(1, type('U', (), {'__hash__': None})())"}, P},
        {"{'a': 1}", "pop", {"'a'"}, N},
        {"{'a': 1}", "pop", {"'b'", "None"}, N},
        {"{'a': 1}", "pop", {"'b'"}, P},
        {"{1: 'x', 2: 'y'}", "pop", {"1.0"}, N},
        {"{'a': 1}", "keys", {}, P},
    });
}

TEST_F(Methods, ListExtendedByItselfDoubles) {
    Value l = nativeOf("[1, 2]");
    value::Str* name = value::literal("extend", 6);
    Value out = Value::none();
    ASSERT_TRUE(wn_call_method(&ctx, 1, int64_t(l.tag), int64_t(l.payload), name, 46, &l, 1, &out));
    PyObject* got = convert::toPython(l, &ctx.conversion);
    EXPECT_EQ(show(got), "[1, 2, 1, 2]");
    Py_XDECREF(got);
    value::decref(l);
}

TEST_F(Methods, SetMethodsFollowTheInterpretersSteps) {
    const char* words = "['w%d' % i for i in range(40)]";
    std::string many = std::string("set(") + words + ")";
    checkAll({
        {"set([1, 2])", "add", {"3"}, N},
        {"set([1, 2])", "add", {"[3]"}, N},
        {"set([1, 2])", "add", {"(1, (2, {3: 4}), [5])"}, N},
        {"set([1, 2])", "discard", {"5"}, N},
        {"set([1, 2])", "remove", {"2"}, N},
        {"set([1, 2])", "remove", {"5"}, P},
        {"set(['a', 'b', 'c'])", "pop", {}, N},
        {"set([])", "pop", {}, P},
        {"set([1, 2])", "clear", {}, N},
        {"set(['x', 'y'])", "copy", {}, N},
        {"set(['x', 'y'])", "union", {}, N},
        {"set(['x', 'y'])", "union", {"['z', 'x']", "('q',)"}, N},
        {"set(['x'])", "update", {"['a', 'b', 'c', 'd', 'e', 'f', 'g', 'h']"}, N},
        {"set(['x'])", "update", {"{'k%d' % i: 0 for i in range(9)}"}, N},
        // A dict's keys: one resize ahead, to a table of 16 where adding one by one gives 32.
        {"set([])", "update", {"{'k%d' % i: 0 for i in range(5)}"}, N},
        {"set([])", "union", {"{'k%d' % i: 0 for i in range(5)}"}, N},
        {"set(['x'])", "update", {"[1, 2, [3]]"}, N},
        {"set(['x'])", "update", {}, N},
        {"set(['a', 'b', 'c'])", "intersection", {"set(['b', 'c', 'd'])"}, N},
        {"set([1, 2])", "intersection", {"[1.0, 2.0, 3]"}, N},
        {"set([1, 2])", "intersection", {"[[1]]"}, N},
        {"set([1, 2, 3])", "intersection", {"[1, 2]", "set([2, 5])"}, N},
        {"set([1, 2, 3])", "intersection_update", {"[1, 2]", "[2, 3]"}, N},
        {"set([1, 2, 3])", "intersection_update", {"set([3, 1])"}, N},
        {"set([1, 2, 3])", "intersection_update", {}, N},
        {"set([1, 2, 3, 4])", "difference", {"[2]", "set([3])"}, N},
        {"set([1, 2, 3, 4])", "difference", {"{2: 0}"}, N},
        {"set([1, 2, 3, 4])", "difference_update", {"[2]", "(3, 9)"}, N},
        {many.c_str(), "difference_update", {words}, N},
        {many.c_str(), "difference", {"['w1', 'w2']"}, N},
        {"set([1, 2])", "symmetric_difference", {"[2, 3]"}, N},
        {"set([1, 2])", "symmetric_difference_update", {"set([2, 3])"}, N},
        {"set([1, 2])", "symmetric_difference", {"[2]", "[3]"}, P},
        {"set([1, 2])", "issubset", {"[1, 2, 3]"}, N},
        {"set([1, 2])", "issuperset", {"set([1])"}, N},
        {"set([1, 2])", "isdisjoint", {"[3, 4]"}, N},
        {"set([1, 2])", "isdisjoint", {"set([2])"}, N},
        {"set([1, 2])", "issubset", {"[[1]]"}, N},
    });
}

TEST_F(Methods, SetOperationsKeepPythonsOrderAcrossResizes) {
    std::string strings = "['s%d' % (i * 7) for i in range(60)]";
    std::string set = "set(" + strings + ")";
    std::string half = "['s%d' % (i * 14) for i in range(30)]";
    checkAll({
        {set.c_str(), "difference_update", {half.c_str()}, N},
        {set.c_str(), "intersection", {half.c_str()}, N},
        {set.c_str(), "intersection_update", {("set(" + half + ")").c_str()}, N},
        {set.c_str(), "symmetric_difference_update", {half.c_str()}, N},
        {"set(['a'])", "union", {strings.c_str()}, N},
    });
}

// The mend: with several arguments these changed a copy that Python threw away.
TEST_F(Methods, InPlaceUpdatesWithSeveralArgumentsChangeTheSet) {
    Value s = nativeOf("set([1, 2, 3, 4])");
    Value args[2] = {nativeOf("[1, 2, 3]"), nativeOf("[2, 3, 5]")};
    value::Str* name = value::literal("intersection_update", 19);
    Value out = Value::none();
    ASSERT_TRUE(
        wn_call_method(&ctx, 1, int64_t(s.tag), int64_t(s.payload), name, 12, args, 2, &out));
    EXPECT_EQ(s.as<value::Set>()->used, 2u);
    name = value::literal("difference_update", 17);
    ASSERT_TRUE(
        wn_call_method(&ctx, 1, int64_t(s.tag), int64_t(s.payload), name, 13, args, 2, &out));
    EXPECT_EQ(s.as<value::Set>()->used, 0u);
    value::decref(s);
    for (Value v : args) value::decref(v);
}

TEST_F(Methods, OtherReceiversGoThroughPython) {
    checkAll({
        {"None", "__bool__", {}, P},
        {"True", "to_bytes", {"1", "'big'"}, N},
        {"(1).__class__", "mro", {}, P},
    });
}

TEST_F(Methods, HandOversAreCountedAsMethodsOfTheirType) {
    testing_support::ReportingRun reporting(&ctx);
    Value l = nativeOf("[3, 1, 2]");
    value::Str* name = value::literal("sort", 4);
    Value out = Value::none();
    for (int i = 0; i < 2; i++) {
        ASSERT_TRUE(wn_call_method(&ctx, 1, int64_t(l.tag), int64_t(l.payload), name, 0, nullptr,
                                   0, &out));
        value::decref(out);
    }
    EXPECT_EQ(reporting.count("method list.sort"), 2u);
    value::decref(l);
}

TEST_F(Methods, Utf8LengthOfStrsAndOtherValues) {
    Value s = nativeOf("'\\u00e9'");
    Value out = Value::none();
    ASSERT_TRUE(wn_utf8_len(&ctx, 1, int64_t(s.tag), int64_t(s.payload), &out));
    EXPECT_EQ(out.tag, value::TagPint);
    EXPECT_EQ(out.payload, 2u);
    value::decref(s);
    Value n = Value::pint(5);
    bool ok = wn_utf8_len(&ctx, 1, int64_t(n.tag), int64_t(n.payload), &out);
    PyObject* expected = PyRun_String("(5).encode('utf-8')", Py_eval_input,
                                      testing_support::namespaceDict(),
                                      testing_support::namespaceDict());
    expectOutcome("utf8_len(5)", ok, out, expected, false);
}

TEST_F(Methods, ARecordFieldHoldingAFunctionIsCalledWithTheArgumentsOnly) {
    value::Text field{"f", 1};
    value::RecordClass cls{{"R", 1}, {"R", 1}, &field, 1, nullptr, nullptr, 0, 0, 0};
    value::Record* r = value::newRecord(&cls);
    ASSERT_NE(r, nullptr);
    r->fields()[0] = nativeOf("lambda *a: a");
    Value self = Value::of(value::TagRecord, r);
    Value args[2] = {Value::pint(1), Value::pint(2)};
    Value out = Value::none();
    value::Str* name = value::literal("f", 1);
    ASSERT_TRUE(wn_call_method(&ctx, 1, int64_t(self.tag), int64_t(self.payload), name, 0, args, 2,
                               &out))
        << failureText();
    PyObject* got = convert::toPython(out, &ctx.conversion);
    EXPECT_EQ(show(got), "(1, 2)");
    Py_XDECREF(got);
    value::decref(out);
    value::decref(self);
}

TEST_F(Methods, SharedPiecesOfTheStrAndBytesMethods) {
    const uint8_t ab[] = {'a', 'b'};
    struct Strip {
        uint32_t cp;
        const uint8_t* set;
        size_t length;
        bool in;
    } strips[] = {{0xA0, nullptr, 0, true}, {0x3000, nullptr, 0, true},
                  {0x200B, nullptr, 0, false}, {0x1C, nullptr, 0, true},
                  {'b', ab, 2, true}, {'c', ab, 2, false}};
    for (const Strip& c : strips) {
        EXPECT_EQ(helpers::isStripChar(c.cp, c.set, c.length), c.in) << c.cp;
        if (!c.set) {
            EXPECT_EQ(bool(Py_UNICODE_ISSPACE(c.cp)), c.in) << "Python's isspace of " << c.cp;
        }
    }
    const char word[] = "h\xc3\xa9llo";
    EXPECT_EQ(helpers::codepointCount(reinterpret_cast<const uint8_t*>(word), 6), 5u);
    const uint8_t bad[] = {0xC3, 0x28};
    EXPECT_EQ(helpers::codepointCount(bad, 2), 2u);
    struct Order {
        const char* text;
        helpers::ByteOrder order;
    } orders[] = {{"'big'", helpers::ByteOrder::big}, {"'little'", helpers::ByteOrder::little},
                  {"'Big'", helpers::ByteOrder::none}, {"'little '", helpers::ByteOrder::none},
                  {"1", helpers::ByteOrder::none}};
    for (const Order& o : orders) {
        Value v = nativeOf(o.text);
        EXPECT_EQ(helpers::byteOrder(v), o.order) << o.text;
        value::decref(v);
    }
    uint8_t one = 0;
    helpers::ByteSlice slice{};
    EXPECT_TRUE(helpers::byteNeedle(Value::pint(255), &one, &slice));
    EXPECT_EQ(slice.length, 1u);
    EXPECT_EQ(slice.data[0], 255);
    EXPECT_FALSE(helpers::byteNeedle(Value::pint(256), &one, &slice));
    EXPECT_FALSE(helpers::byteNeedle(Value::pint(-1), &one, &slice));
    EXPECT_TRUE(helpers::byteNeedle(Value::boolean(true), &one, &slice));
    EXPECT_EQ(slice.data[0], 1);
    const uint8_t three[] = {1, 2, 3};
    EXPECT_TRUE(helpers::bytesHasAffix(three, 3, three, 0, true));
    EXPECT_TRUE(helpers::bytesHasAffix(three, 3, three, 0, false));
    EXPECT_FALSE(helpers::bytesHasAffix(three, 2, three, 3, true));
    EXPECT_TRUE(helpers::bytesHasAffix(three, 3, three + 1, 2, false));
}

// recordMethods: a (class description, interned name) pair met once is answered from the
// module's cache after, its function held by the module; pairs of other classes or names, and
// the code cache's own entries, stay apart.
TEST_F(Methods, RecordMethodsAreCachedPerClassAndName) {
    testing_support::run("def method_f(self):\n    return 1\n"
        "def method_g(self):\n    return 2\n");
    value::RecordClass a{{"A", 1}, {"A", 1}, nullptr, 0, nullptr, nullptr, 0, 0, 0};
    value::RecordClass b = a;
    bridge::ModuleTables tables{};
    value::Str* f = value::literal("f", 1);
    value::Str* g = value::literal("g", 1);
    PyObject* fn = eval("method_f");
    PyObject* gn = eval("method_g");
    PyObject* found = nullptr;
    EXPECT_FALSE(bridge::cachedRecordMethod(&tables, &a, f, &found));
    bridge::cacheRecordMethod(&tables, &a, f, fn);
    bridge::cacheRecordMethod(&tables, &a, g, nullptr);
    bridge::cacheRecordMethod(&tables, &b, f, gn);
    ASSERT_TRUE(bridge::cachedRecordMethod(&tables, &a, f, &found));
    EXPECT_EQ(found, fn);
    ASSERT_TRUE(bridge::cachedRecordMethod(&tables, &a, g, &found));
    EXPECT_EQ(found, nullptr);
    ASSERT_TRUE(bridge::cachedRecordMethod(&tables, &b, f, &found));
    EXPECT_EQ(found, gn);
    EXPECT_FALSE(bridge::cachedRecordMethod(&tables, &b, g, &found));
    // Many pairs grow the table; the early ones are still found.
    std::vector<value::RecordClass> classes(40, a);
    for (value::RecordClass& c : classes) bridge::cacheRecordMethod(&tables, &c, g, gn);
    ASSERT_TRUE(bridge::cachedRecordMethod(&tables, &a, f, &found));
    EXPECT_EQ(found, fn);
    ASSERT_TRUE(bridge::cachedRecordMethod(&tables, &classes[39], g, &found));
    EXPECT_EQ(found, gn);
    // The module holds the functions it caches: one reference per entry until it is freed.
    Py_ssize_t held = Py_REFCNT(gn);
    bridge::freeTables(&tables);
    EXPECT_EQ(Py_REFCNT(gn), held - 41);
    Py_DECREF(fn);
    Py_DECREF(gn);
}

}  // namespace

}  // namespace wuna
