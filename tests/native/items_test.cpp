// Items, ranges, slices, printing and the platform names against the running interpreter:
// wn_items against list() (strs with one-character entries, dicts after deletions, sets in
// table order, what only Python iterates); wn_range against range() with every sign and the
// 64-bit limits; wn_slice against x[a:b:c] over strs (ASCII and not), bytes, lists and tuples
// with every sign of step and bounds, and the bounds Python answers; wn_print and wn_write
// against print() and a text stream's write: the same text in one write per line, no flush,
// the errors in Python's words. Every test leaves the thread's live block count where it
// found it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/native/differential.h"
#include "tests/native/python_values.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/errors.h"
#include "wuna/runtime/helpers/helpers.h"
#include "wuna/runtime/helpers/items.h"
#include "wuna/runtime/helpers/print.h"
#include "wuna/runtime/helpers/table.h"

namespace wuna {

namespace {

using testing_support::eval;
using testing_support::run;
using value::Value;

class Items : public testing_support::Differential {
protected:
    void SetUp() override {
        // What start-up makes once per process is made before the block count is taken.
        value::literal("posix", 5);
        value::literal("linux", 5);
        Differential::SetUp();
    }

    static Value native(PyObject* o) {
        Value v = Value::none();
        EXPECT_EQ(convert::convert(o, true, &v), 0) << show(o);
        PyErr_Clear();
        return v;
    }

    // A Python function of one argument (new reference), from a lambda's text.
    static PyObject* lambda(const std::string& text) { return eval("lambda " + text); }
};

// ---- wn_items ------------------------------------------------------------------------------------

TEST_F(Items, ItemsAreListsItems) {
    PyObject* listFn = eval("list");
    eachCase("['', 'abc', 'a\\u00e9\\U0001f600z', 'h\\u00e9llo' * 30, [], [1, [2]], (), (1, 'x', 2.5),"
             " {}, {'a': 1, 2: None}, set(), {1, 2, 3}, {'x', 'y', 'z', 'w'}, frozenset({4}),"
             " b'ab', bytearray(b'c'), range(4), 5, None, 2**100, 1.5]",
             [&](PyObject* o) {
                 Value v = native(o);
                 Value out{};
                 bool ok = wn_items(&ctx, 3, int64_t(v.tag), int64_t(v.payload), &out);
                 if (ok) {
                     EXPECT_EQ(out.tag, value::TagList) << show(o);
                 }
                 PyObject* args = PyTuple_Pack(1, o);
                 expectSame("list(" + show(o) + ")", ok, out, listFn, args, false);
                 Py_DECREF(args);
                 value::decref(v);
             });
    Py_DECREF(listFn);
}

TEST_F(Items, ASingleCharacterIsTheSharedStrAndOthersAreNew) {
    Value s = Value::of(value::TagStr, value::newStr("a\xc3\xa9", 3));
    Value out{};
    ASSERT_TRUE(wn_items(&ctx, 1, int64_t(s.tag), int64_t(s.payload), &out));
    value::List* l = out.as<value::List>();
    ASSERT_EQ(l->count, 2u);
    EXPECT_EQ(l->items[0].as<value::Str>(), helpers::ascii_chars['a']);
    EXPECT_EQ(l->items[1].as<value::Str>()->length, 2u);
    EXPECT_EQ(l->items[1].as<value::Str>()->h.count, 1u);
    value::decref(out);
    // An entry start-up never made is made on the spot, immortal, and kept.
    value::Str* saved = helpers::ascii_chars['q'];
    helpers::ascii_chars['q'] = nullptr;
    Value q = Value::of(value::TagStr, value::newStr("qq", 2));
    ASSERT_TRUE(wn_items(&ctx, 1, int64_t(q.tag), int64_t(q.payload), &out));
    value::Str* made = helpers::ascii_chars['q'];
    ASSERT_NE(made, nullptr);
    EXPECT_TRUE(value::immortal(&made->h));
    EXPECT_EQ(out.as<value::List>()->items[0].as<value::Str>(), made);
    EXPECT_EQ(out.as<value::List>()->items[1].as<value::Str>(), made);
    value::decref(out);
    value::decref(q);
    helpers::ascii_chars['q'] = saved;
    start += 1;  // the immortal entry made here stays
    value::decref(s);
}

TEST_F(Items, ItemsOfAListIsTheListAndADictSkipsDeletedKeys) {
    PyObject* o = eval("[1, 2]");
    Value l = native(o);
    Py_DECREF(o);
    Value out{};
    ASSERT_TRUE(wn_items(&ctx, 1, int64_t(l.tag), int64_t(l.payload), &out));
    EXPECT_EQ(out.payload, l.payload);
    EXPECT_EQ(l.as<value::List>()->h.count, 2u);
    value::decref(out);
    value::decref(l);

    value::Dict* d = value::newDict();
    for (int i = 0; i < 5; i++) ASSERT_TRUE(value::dictSet(d, Value::pint(i * 10), Value::none()));
    value::decref(d->entries[1].key);
    d->entries[1].key = Value{value::TagDeleted, 0};
    d->length--;
    Value dv = Value::of(value::TagDict, d);
    ASSERT_TRUE(wn_items(&ctx, 1, int64_t(dv.tag), int64_t(dv.payload), &out));
    value::List* keys = out.as<value::List>();
    ASSERT_EQ(keys->count, 4u);
    const int64_t expected[] = {0, 20, 30, 40};
    for (int i = 0; i < 4; i++) EXPECT_EQ(int64_t(keys->items[i].payload), expected[i]);
    value::decref(out);
    value::decref(dv);
}

// ---- wn_range ------------------------------------------------------------------------------------

TEST_F(Items, RangeArgumentsAreRangesOrItsErrors) {
    run("class Index:\n"
        "    def __init__(self, n): self.n = n\n"
        "    def __index__(self): return self.n\n"
        "class BadIndex:\n"
        "    def __index__(self): raise KeyError('no index')\n");
    PyObject* rangeFn = eval("lambda *a: (lambda r: (r.start, r.stop, r.step))(range(*a))");
    eachCase("[a for a in [(5,), (0,), (-3,), (2, 5), (5, 2), (5, 2, -1), (1, 10, 3), (10, 1, -3),"
             " (True,), (False, True), (1, 2, 0), (0, 5, 0), (1.5,), (1, 2.0), (None,), ('3',),"
             " ([1],), (1, 2, None), (2**63 - 1,), (-2**63,), (-2**63, 2**63 - 1, 2**63 - 1),"
             " (1, 2, -2**63), (Index(4),), (Index(-2), Index(3)), (BadIndex(),),"
             " (1.5, 2**70), (1, 2, 3, 4), ()]]",
             [&](PyObject* args) {
                 std::vector<Value> values;
                 for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); i++)
                     values.push_back(native(PyTuple_GET_ITEM(args, i)));
                 helpers::RangeRecord r{};
                 bool ok = wn_range(&ctx, 4, values.data(), int64_t(values.size()), &r);
                 Value out = Value::none();
                 if (ok) {
                     value::Tuple* t = value::newTuple(3);
                     t->items()[0] = Value::pint(r.start);
                     t->items()[1] = Value::pint(r.stop);
                     t->items()[2] = Value::pint(r.step);
                     out = Value::of(value::TagTuple, t);
                 }
                 expectSame("range" + show(args), ok, out, rangeFn, args, false);
                 for (Value v : values) value::decref(v);
             });
    Py_DECREF(rangeFn);
}

TEST_F(Items, RangeBeyond64BitsIsRefusedInOneMessage) {
    run("class Index:\n"
        "    def __init__(self, n): self.n = n\n"
        "    def __index__(self): return self.n\n");
    for (const char* big : {"2**70", "-2**63 - 1", "2**63", "2**200", "Index(2**64)"}) {
        PyObject* o = eval(big);
        Value args[2] = {Value::pint(0), native(o)};
        helpers::RangeRecord r{};
        EXPECT_FALSE(wn_range(&ctx, 4, args, 2, &r)) << big;
        EXPECT_EQ(ctx.kind, uint8_t(errors::Kind::OverflowError)) << big;
        EXPECT_EQ(failureText(), "range() beyond 64-bit ints isn't supported in compiled code");
        helpers::clearError(&ctx);
        value::decref(args[1]);
        Py_DECREF(o);
    }
}

// ---- wn_slice ------------------------------------------------------------------------------------

TEST_F(Items, SlicesAreSubscriptsWithEverySignOfStepAndBounds) {
    PyObject* sliceFn = eval("lambda x, a, b, c: x[a:b:c]");
    eachCase("[(x, a, b, c) for x in ['hello', 'h\\u00e9ll\\U0001f600 w\\u00f6rld', '', b'hello', b'',"
             " [1, 2.5, 'x', None, (1,)], [], (1, 2, 3, 4, 5)]"
             " for a in [None, -10, -5, -2, -1, 0, 1, 3, 5, 10, True]"
             " for b in [None, -10, -4, -1, 0, 2, 4, 10]"
             " for c in [None, 1, 2, 3, -1, -2, -3, 0]]"
             " + [(x, a, b, c) for x in ['abcdef', b'abcdef', [0, 1, 2], (0, 1, 2)]"
             " for a, b, c in [(2**63 - 1, None, None), (-2**63, 2**63 - 1, None),"
             " (None, None, 2**63 - 1), (None, None, -2**63), (2**63 - 1, -2**63, -2**63),"
             " (None, 2**70, None), (-2**70, None, None), (None, None, 2**70), (1.5, None, None),"
             " (None, '2', None), (None, None, 0.0)]]"
             " + [(x, 0, 2, None) for x in [{1: 2}, {1, 2}, 5, None, range(5), bytearray(b'xyz')]]",
             [&](PyObject* args) {
                 Value v[4];
                 for (int i = 0; i < 4; i++) v[i] = native(PyTuple_GET_ITEM(args, i));
                 Value out{};
                 bool ok = wn_slice(&ctx, 6, int64_t(v[0].tag), int64_t(v[0].payload),
                                    int64_t(v[1].tag), int64_t(v[1].payload), int64_t(v[2].tag),
                                    int64_t(v[2].payload), int64_t(v[3].tag),
                                    int64_t(v[3].payload), &out);
                 bool nativeCase = v[0].tag >= value::TagStr && v[0].tag <= value::TagTuple;
                 if (ok && nativeCase) {
                     EXPECT_EQ(out.tag, v[0].tag) << show(args);
                 }
                 expectSame("x[a:b:c] of " + show(args), ok, out, sliceFn, args, false);
                 for (Value x : v) value::decref(x);
             });
    Py_DECREF(sliceFn);
}

TEST_F(Items, ABytesViewSlicesIntoAViewOfTheSameOwner) {
    PyObject* owner = eval("b'0123456789'");
    value::Bytes* view = value::newBytesView(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(owner)),
                                             10, owner);
    view->h.flags &= ~value::FlagImmutable;  // a wuna.Bytes view
    Value v = Value::of(value::TagBytes, view);
    Value out{};
    ASSERT_TRUE(wn_slice(&ctx, 1, int64_t(v.tag), int64_t(v.payload), int64_t(value::TagPint), 2,
                         int64_t(value::TagPint), 5, int64_t(value::TagNone), 0, &out));
    value::Bytes* b = out.as<value::Bytes>();
    EXPECT_EQ(b->owner, owner);
    EXPECT_EQ(b->data, view->data + 2);
    EXPECT_EQ(b->length, 3u);
    EXPECT_EQ(b->h.flags & value::FlagImmutable, 0u);
    value::decref(out);
    // Another step copies the bytes out.
    ASSERT_TRUE(wn_slice(&ctx, 1, int64_t(v.tag), int64_t(v.payload), int64_t(value::TagNone), 0,
                         int64_t(value::TagNone), 0, int64_t(value::TagPint), -3, &out));
    b = out.as<value::Bytes>();
    EXPECT_EQ(b->owner, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(b->data), b->length), "9630");
    value::decref(out);
    value::decref(v);
    Py_DECREF(owner);
}

TEST_F(Items, AZeroStepFailsAtItsSite) {
    Value s = Value::of(value::TagStr, value::newStr("abc", 3));
    Value out{};
    EXPECT_FALSE(wn_slice(&ctx, 77, int64_t(s.tag), int64_t(s.payload), 0, 0, 0, 0,
                          int64_t(value::TagPint), 0, &out));
    EXPECT_EQ(ctx.site, 77);
    EXPECT_EQ(ctx.kind, uint8_t(errors::Kind::ValueError));
    EXPECT_EQ(failureText(), "slice step cannot be zero");
    helpers::clearError(&ctx);
    value::decref(s);
}

// ---- Printing ------------------------------------------------------------------------------------

class Printing : public Items {
protected:
    void SetUp() override {
        Items::SetUp();
        run("import sys, io\n"
            "class Recorder:\n"
            "    def __init__(self): self.calls = []\n"
            "    def write(self, s):\n"
            "        self.calls.append(('write', s))\n"
            "        return len(s)\n"
            "    def flush(self): self.calls.append(('flush',))\n"
            "saved_out, saved_err = sys.stdout, sys.stderr\n"
            "native_out, native_err = Recorder(), Recorder()\n"
            "python_out = Recorder()\n"
            "sys.stdout, sys.stderr = native_out, native_err\n");
    }
    void TearDown() override {
        run("sys.stdout, sys.stderr = saved_out, saved_err\n");
        Items::TearDown();
    }

    // wn_print of the native forms of a Python tuple's items.
    bool print(PyObject* args, Value further, Value sep, Value end, int32_t stream = 1) {
        std::vector<Value> values;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); i++)
            values.push_back(native(PyTuple_GET_ITEM(args, i)));
        Value out{};
        bool ok = wn_print(&ctx, 8, stream, values.data(), int64_t(values.size()),
                           int64_t(further.tag), int64_t(further.payload), int64_t(sep.tag),
                           int64_t(sep.payload), int64_t(end.tag), int64_t(end.payload), &out);
        if (ok) {
            EXPECT_EQ(out.tag, value::TagNone);
        }
        for (Value v : values) value::decref(v);
        return ok;
    }

    static std::string text(const char* expression) {
        PyObject* o = eval(expression);
        std::string s = o && PyUnicode_Check(o) ? PyUnicode_AsUTF8(o) : "<not a str>";
        Py_XDECREF(o);
        return s;
    }
};

TEST_F(Printing, OneWriteOfWhatPrintWritesAndNoFlush) {
    // (positional, starred, sep, end) as Python expressions; the starred part is a list or
    // None.
    eachCase("[((), None, None, None), ((1, 2), None, '', None), (('a',), None, None, ''),"
             " ((), [1, 2], None, None), (('x', 1.0, None, [1, 'b']), None, None, None),"
             " ((1,), [2, 3], ', ', '!\\n'), (('h\\u00e9llo', b'\\xff', (1,), {2: 3}), None, '\\u00e9', None),"
             " ((1.5e300, -0.0, 2**100, True), ['z'], None, ''), ((object,), None, None, None),"
             " ((), [], '-', '.')]",
             [&](PyObject* c) {
                 PyObject* args = PyTuple_GET_ITEM(c, 0);
                 Value further = native(PyTuple_GET_ITEM(c, 1));
                 Value sep = native(PyTuple_GET_ITEM(c, 2));
                 Value end = native(PyTuple_GET_ITEM(c, 3));
                 run("native_out.calls.clear(); python_out.calls.clear()");
                 EXPECT_TRUE(print(args, further, sep, end)) << failureText();
                 PyObject* globals = testing_support::namespaceDict();
                 PyDict_SetItemString(globals, "case", c);
                 run("a, more, s, e = case\n"
                     "print(*a, *(more or ()), sep=s, end=e, file=python_out)\n");
                 EXPECT_EQ(text("repr(native_out.calls)"),
                           text("repr([('write', ''.join(c[1] for c in python_out.calls))])"))
                     << show(c);
                 value::decref(further);
                 value::decref(sep);
                 value::decref(end);
             });
}

TEST_F(Printing, TheStreamCodeChoosesStdoutOrStderr) {
    PyObject* args = eval("('e',)");
    ASSERT_TRUE(print(args, Value::none(), Value::none(), Value::none(), 0));
    ASSERT_TRUE(print(args, Value::none(), Value::none(), Value::none(), 7));
    EXPECT_EQ(text("repr(native_err.calls)"), "[('write', 'e\\n'), ('write', 'e\\n')]");
    EXPECT_EQ(text("repr(native_out.calls)"), "[]");
    Py_DECREF(args);
}

TEST_F(Printing, ErrorsAreWordedAsPythonsAndWriteNothing) {
    PyObject* none = eval("()");
    struct Case {
        const char* sep;
        const char* end;
        const char* setup;
        const char* python;  // the statement whose exception is expected
    };
    const Case cases[] = {
        {"5", "None", "", "print(sep=5)"},
        {"None", "1j", "", "print(end=1j)"},
        {"None", "type('Text', (), {})()", "", "print(end=type('Text', (), {})())"},
        {"None", "b''", "", "print(end=b'')"},
        {"None", "None", "del sys.stdout", "print()"},
        {"None", "None",
         "class Broken:\n    def write(self, s): raise OSError(28, 'disk full')\n"
         "sys.stdout = Broken()",
         "print()"},
    };
    for (const Case& c : cases) {
        run(c.setup);
        PyObject* sepObject = eval(c.sep);
        PyObject* endObject = eval(c.end);
        Value sep = native(sepObject), end = native(endObject);
        bool ok = print(none, Value::none(), sep, end);
        PyObject* globals = testing_support::namespaceDict();
        PyObject* raised = PyRun_String(c.python, Py_file_input, globals, globals);
        expectOutcome(c.python, ok, Value::none(), raised, false);
        EXPECT_EQ(text("repr(native_out.calls)"), "[]") << c.python;
        run("sys.stdout = native_out");
        value::decref(sep);
        value::decref(end);
        Py_DECREF(sepObject);
        Py_DECREF(endObject);
    }
    Py_DECREF(none);
}

TEST_F(Printing, AStdoutOfNoneTakesNothingAsInPython) {
    run("sys.stdout = None\nprint('lost')\n");
    PyObject* args = eval("('x',)");
    EXPECT_TRUE(print(args, Value::none(), Value::none(), Value::none()));
    Py_DECREF(args);
}

// An argument whose text compiled code cannot make is Python's print's: it writes what comes
// before and fails with the argument's own exception, as the reference mode's print does; a
// text with a lone surrogate goes to the stream as Python writes it.
TEST_F(Printing, AStrThatFailsIsPythonsPrint) {
    run("class Bad:\n    def __str__(self): raise ValueError('no text')\n"
        "class Surrogate:\n    def __str__(self): return 'a\\udcffb'\n");
    PyObject* args = eval("(1, Bad())");
    EXPECT_FALSE(print(args, Value::none(), Value::none(), Value::none()));
    EXPECT_EQ(failureText(), "no text");
    EXPECT_EQ(text("''.join(c[1] for c in native_out.calls if c[0] == 'write')"), "1 ");
    helpers::clearError(&ctx);
    Py_DECREF(args);
    run("native_out.calls.clear()\n");
    args = eval("(Surrogate(), 2)");
    EXPECT_TRUE(print(args, Value::none(), Value::none(), Value::none())) << failureText();
    EXPECT_EQ(text("repr(''.join(c[1] for c in native_out.calls if c[0] == 'write'))"), "'a\\udcffb 2\\n'");
    Py_DECREF(args);
}

TEST_F(Printing, WriteCountsCodePointsAndRefusesWhatIsNotStr) {
    Value s = Value::of(value::TagStr, value::newStr("h\xc3\xa9llo", 6));
    Value out{};
    ASSERT_TRUE(wn_write(&ctx, 1, 1, int64_t(s.tag), int64_t(s.payload), &out));
    EXPECT_EQ(out.tag, value::TagPint);
    EXPECT_EQ(out.payload, 5u);
    EXPECT_EQ(text("native_out.calls[0][1]"), "h\xc3\xa9llo");
    EXPECT_EQ(text("repr(len(native_out.calls))"), "1");
    value::decref(s);
    // A text stream's own refusal is the message.
    PyObject* stream = eval("io.TextIOWrapper(io.BytesIO(), encoding='utf-8')");
    PyObject* write = PyObject_GetAttrString(stream, "write");
    for (const char* bad : {"3", "None", "b'x'", "[1]", "2.5"}) {
        PyObject* o = eval(bad);
        Value v = native(o);
        bool ok = wn_write(&ctx, 1, 0, int64_t(v.tag), int64_t(v.payload), &out);
        PyObject* args = PyTuple_Pack(1, o);
        expectSame(std::string("write(") + bad + ")", ok, out, write, args, false);
        Py_DECREF(args);
        value::decref(v);
        Py_DECREF(o);
    }
    // A Python str object (lone surrogates: no native form) is the stream's to take.
    PyObject* lone = eval("'\\ud800'");
    Value v = native(lone);
    ASSERT_EQ(v.tag, value::TagPy);
    ASSERT_TRUE(wn_write(&ctx, 1, 0, int64_t(v.tag), int64_t(v.payload), &out));
    EXPECT_EQ(int64_t(out.payload), 1);
    EXPECT_EQ(text("repr(native_err.calls)"), "[('write', '\\ud800')]");
    value::decref(v);
    Py_DECREF(lone);
    Py_DECREF(write);
    Py_DECREF(stream);
}

TEST_F(Printing, PlatformNamesAreTheSameInternedStrs) {
    Value a{}, b{};
    ASSERT_TRUE(wn_platform(&ctx, 1, 1, &a));
    ASSERT_TRUE(wn_platform(&ctx, 1, 1, &b));
    EXPECT_EQ(a.payload, b.payload);
    EXPECT_EQ(std::string(a.as<value::Str>()->text()), "posix");
    EXPECT_TRUE(value::immortal(&a.as<value::Str>()->h));
    ASSERT_TRUE(wn_platform(&ctx, 1, 0, &a));
    ASSERT_TRUE(wn_platform(&ctx, 1, 2, &b));
    EXPECT_EQ(a.payload, b.payload);
    EXPECT_EQ(std::string(a.as<value::Str>()->text()), "linux");
}

}  // namespace

}  // namespace wuna
