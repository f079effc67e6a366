// The text of native values against the running interpreter: repr of floats (random bits by
// the thousand, subnormals, the edges of the positional form), the fixed-precision float
// types and float.hex; repr of every code point (block by block, so the printable tables are
// checked whole for this interpreter's Unicode version), of ill-formed UTF-8 and of bytes;
// containers with their recursion markers; the whole-value fallback through Python and its
// failures; format(x, spec) over generated specs for ints, floats and strs, with the cases the
// native path must answer without Python; f-string joins. Every test leaves the thread's live
// block count where it found it (the fixture checks).
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/native/differential.h"
#include "tests/native/python_values.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/floatfmt.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/helpers/format.h"
#include "wuna/runtime/helpers/strrepr.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/unicode.h"

namespace wuna {

namespace {

using namespace value;
using testing_support::eval;
using testing_support::fromPython;
using testing_support::run;

std::string pyText(PyObject* o, bool repr = true) {
    PyObject* t = repr ? PyObject_Repr(o) : PyObject_Str(o);
    Py_ssize_t n = 0;
    const char* u = t ? PyUnicode_AsUTF8AndSize(t, &n) : nullptr;
    std::string s = u ? std::string(u, size_t(n)) : "<no text>";
    Py_XDECREF(t);
    PyErr_Clear();
    return s;
}

std::string bytesOf(const helpers::ByteList& b) {
    return std::string(reinterpret_cast<const char*>(b.data), b.length);
}

std::string strOf(Value v) {
    if (v.tag != TagStr) return "<not a str>";
    return std::string(v.as<Str>()->text());
}

class ValueText : public testing_support::WithPython {
protected:
    void SetUp() override {
        WithPython::SetUp();
        ctx = helpers::Ctx{};
        ctx.conversion = *convert::defaultContext();
        savedHooks = convert::hooks;
        convert::hooks.makeProxy = testing_support::copyProxy;
    }
    void TearDown() override {
        for (Value v : held) decref(v);
        held.clear();
        helpers::endCtx(&ctx);
        convert::hooks = savedHooks;
        record->report = 0;
        WithPython::TearDown();
    }
    Value keep(Value v) {
        held.push_back(v);
        return v;
    }
    Value str(const std::string& s) { return keep(Value::of(TagStr, newStr(s.data(), s.size()))); }
    std::string repr(Value v) {
        helpers::ByteList out{};
        EXPECT_TRUE(helpers::reprInto(&ctx, v, &out));
        std::string s = bytesOf(out);
        std::free(out.data);
        return s;
    }
    std::string strText(Value v) {
        helpers::ByteList out{};
        EXPECT_TRUE(helpers::strInto(&ctx, v, &out));
        std::string s = bytesOf(out);
        std::free(out.data);
        return s;
    }
    // Whether a call reached Python: report mode notes the first crossing of the thread.
    void watchCrossings() {
        record->report = 1;
        record->recorded = 0;
    }
    bool crossed() const { return record->recorded != 0; }

    helpers::Ctx ctx{};
    convert::Hooks savedHooks{};
    std::vector<Value> held;
};

// ---- floats --------------------------------------------------------------------------------

std::vector<double> floatCases() {
    std::vector<double> xs = {0.0,     -0.0,     0.1,     1e16,   1e15,    1e22,   1e23,
                              1e-4,    1e-5,     0.00001, 1.5e-7, 5e-324,  -5e-324,
                              1e-310,  2.2250738585072014e-308,  1.7976931348623157e308,
                              123.25,  1e100,    9999999999999998.0, 0.3, 2.0 / 3, 100.0,
                              1234567890123456.7, 12345678901234567.0, 1e-323, 4.35,
                              std::ldexp(1.0, -1074) * 3, 0.5, 1.0, -1.0, 9.5, 1e308 * 10,
                              -1e308 * 10};
    std::mt19937_64 rng(20240517);
    for (int i = 0; i < 4000; i++) {
        uint64_t bits = rng();
        double x;
        std::memcpy(&x, &bits, 8);
        if (!std::isnan(x)) xs.push_back(x);
    }
    // Subnormals, and short decimals whose shortest form is the one written.
    for (int i = 0; i < 300; i++) xs.push_back(std::ldexp(double(rng() >> 12), -1074));
    for (int i = 0; i < 500; i++)
        xs.push_back(double(int64_t(rng() % 2000001) - 1000000) * std::pow(10.0, int(rng() % 40) - 20));
    return xs;
}

TEST_F(ValueText, FloatReprIsPythons) {
    for (double x : floatCases()) {
        char buf[kFloatReprBuffer];
        PyObject* o = PyFloat_FromDouble(x);
        ASSERT_EQ(std::string(floatRepr(buf, x)), pyText(o)) << std::hexfloat << x;
        Py_DECREF(o);
    }
}

TEST_F(ValueText, NanOfEverySignAndPayloadIsNan) {
    char buf[kFloatReprBuffer];
    for (uint64_t bits : {0x7ff8000000000000ull, 0xfff8000000000000ull, 0x7ff0000000000001ull,
                          0xfff4000000000123ull}) {
        double x;
        std::memcpy(&x, &bits, 8);
        EXPECT_EQ(floatRepr(buf, x), "nan");
    }
}

TEST_F(ValueText, FixedPrecisionTypesArePythons) {
    const char* specs[] = {"e",   ".0e", ".3e", ".16e", "E",  "f",  ".0f", ".2f", ".12f", "F",
                           "g",   ".0g", ".1g", ".3g",  ".17g", ".25g", "G", "#g", "#.3g",
                           "#.0e", "#.0f", "#.0g", ".30f", ".100e"};
    std::vector<double> xs = floatCases();
    xs.resize(600);
    xs.push_back(INFINITY);
    xs.push_back(NAN);
    for (const char* spec : specs) {
        char type = spec[std::strlen(spec) - 1];
        bool alternate = spec[0] == '#';
        const char* dot = std::strchr(spec, '.');
        uint64_t precision = dot ? std::strtoull(dot + 1, nullptr, 10) : 6;
        PyObject* specObject = PyUnicode_FromString(spec);
        for (double x : xs) {
            double m = std::fabs(x);
            char buf[floatfmt::kFormatBuffer];
            std::string_view text;
            PyObject* o = PyFloat_FromDouble(m);
            PyObject* expected = PyObject_Format(o, specObject);
            std::string want = pyText(expected, false);
            if (floatfmt::format(buf, sizeof buf, type, precision, alternate, m, &text))
                EXPECT_EQ(std::string(text), want) << spec << " " << std::hexfloat << m;
            else
                EXPECT_GT(want.size(), 300u) << "declined though it fits: " << spec << " " << m;
            Py_XDECREF(expected);
            Py_DECREF(o);
        }
        Py_DECREF(specObject);
    }
}

TEST_F(ValueText, FixedPrecisionDeclinesWhatItsBufferCannotHold) {
    char buf[floatfmt::kFormatBuffer];
    std::string_view text;
    EXPECT_FALSE(floatfmt::format(buf, sizeof buf, 'f', 400, false, 1.5, &text));
    EXPECT_FALSE(floatfmt::format(buf, sizeof buf, 'f', uint64_t(1) << 31, false, 1.5, &text));
    EXPECT_FALSE(floatfmt::format(buf, sizeof buf, 'f', 390, false, 1e300, &text));
    EXPECT_FALSE(floatfmt::format(buf, sizeof buf, 'd', 6, false, 1.5, &text));
    EXPECT_TRUE(floatfmt::format(buf, sizeof buf, 'f', 300, false, 1.5, &text));
}

TEST_F(ValueText, FloatHexIsPythons) {
    std::vector<double> xs = floatCases();
    xs.push_back(INFINITY);
    xs.push_back(-INFINITY);
    xs.push_back(NAN);
    PyObject* hex = PyUnicode_FromString("hex");
    for (double x : xs) {
        char buf[helpers::kFloatHexBuffer];
        PyObject* o = PyFloat_FromDouble(x);
        PyObject* expected = PyObject_CallMethodNoArgs(o, hex);
        ASSERT_EQ(std::string(helpers::floatHex(buf, x)), pyText(expected, false)) << x;
        Py_DECREF(expected);
        Py_DECREF(o);
    }
    Py_DECREF(hex);
}

// A process that set a locale with a decimal comma still gets Python's text. The locale is
// compiled once into the build tree when the machine has none installed.
TEST_F(ValueText, NoTextDependsOnTheCLocale) {
    // The process's locale comes back however the test ends.
    struct Restore {
        std::string saved = std::setlocale(LC_NUMERIC, nullptr);
        ~Restore() { std::setlocale(LC_NUMERIC, saved.c_str()); }
    } restore;
    const char* names[] = {"de_DE.UTF-8", "fr_FR.UTF-8", "de_DE.utf8"};
    bool set = false;
    for (const char* name : names) set = set || std::setlocale(LC_NUMERIC, name);
    if (!set) {
        std::string dir = std::string(WUNA_BUILD_DIR) + "/test-locales";
        std::string made = dir + "/de_DE.UTF-8";
        std::string command = "mkdir -p '" + dir + "' && (test -d '" + made +
                              "' || localedef -i de_DE -f UTF-8 '" + made + "' >/dev/null 2>&1)";
        if (std::system(command.c_str()) == 0) {
            setenv("LOCPATH", dir.c_str(), 1);
            set = std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
            unsetenv("LOCPATH");
        }
    }
    if (!set) GTEST_SKIP() << "no locale with a decimal comma could be set";
    char c[16];
    std::snprintf(c, sizeof c, "%.1f", 1.5);
    EXPECT_STREQ(c, "1,5") << "the locale did not take effect";
    char buf[floatfmt::kFormatBuffer];
    std::string_view text;
    EXPECT_EQ(floatRepr(buf, 1.5), "1.5");
    ASSERT_TRUE(floatfmt::format(buf, sizeof buf, 'f', 1, false, 1.5, &text));
    EXPECT_EQ(text, "1.5");
    ASSERT_TRUE(floatfmt::format(buf, sizeof buf, 'g', 6, true, 1234.5, &text));
    EXPECT_EQ(text, "1234.50");
    Value out{};
    ASSERT_TRUE(wn_format(&ctx, 1, TagFloat, Value::real(1234.5).payload, 0,
                          str(",.2f").as<Str>(), &out));
    EXPECT_EQ(strOf(keep(out)), "1,234.50");
}

// ---- strs and bytes ------------------------------------------------------------------------

// Every code point, block by block: strRepr of the block's UTF-8 against repr() of the str.
TEST_F(ValueText, StrReprOfEveryCodePointIsThisInterpretersRepr) {
    PyObject* python = PySys_GetObject("version_info");
    PyObject* minorObject = PyObject_GetAttrString(python, "minor");
    long minor = PyLong_AsLong(minorObject);
    Py_DECREF(minorObject);
    for (uint32_t start = 0; start < 0x110000; start += 0x1000) {
        std::string utf8;
        for (uint32_t cp = start; cp < start + 0x1000; cp++) {
            if (cp >= 0xD800 && cp <= 0xDFFF) continue;
            uint8_t b[4];
            utf8.append(reinterpret_cast<char*>(b), unicode::encode(cp, b));
        }
        PyObject* o = PyUnicode_DecodeUTF8(utf8.data(), Py_ssize_t(utf8.size()), "strict");
        ASSERT_NE(o, nullptr);
        helpers::ByteList out{};
        Status s = helpers::strRepr(reinterpret_cast<const uint8_t*>(utf8.data()), utf8.size(), &out);
        if (minor >= 10 && minor <= 13) {
            ASSERT_EQ(s, Status::ok) << std::hex << start;
            ASSERT_EQ(bytesOf(out), pyText(o)) << "block at U+" << std::hex << start;
        } else {
            // An interpreter newer than the tables: a text is native or Python's, never wrong.
            if (s == Status::ok) {
                EXPECT_EQ(bytesOf(out), pyText(o)) << std::hex << start;
            }
        }
        std::free(out.data);
        Py_DECREF(o);
    }
}

TEST(UnicodeVersions, CodePointsThatChangedBetweenVersionsFollowTheInterpreter) {
    using unicode::Printable;
    struct Case {
        uint32_t cp;
        Printable in[4];  // 3.10 to 3.13
    };
    const Case cases[] = {
        {0x2EBF0, {Printable::no, Printable::no, Printable::no, Printable::yes}},   // 15.1
        {0x1F6DD, {Printable::no, Printable::yes, Printable::yes, Printable::yes}}, // 14.0
        {0x1F6DC, {Printable::no, Printable::no, Printable::yes, Printable::yes}},  // 15.0
        {0x1F600, {Printable::yes, Printable::yes, Printable::yes, Printable::yes}},
        {0x2028, {Printable::no, Printable::no, Printable::no, Printable::no}},
        {0xE0001, {Printable::no, Printable::no, Printable::no, Printable::no}},
    };
    for (const Case& c : cases)
        for (int i = 0; i < 4; i++)
            EXPECT_EQ(unicode::printableIn(c.cp, 10 + i), c.in[i]) << std::hex << c.cp << " 3." << 10 + i;
    // An interpreter the tables do not know decides what may have changed; what cannot
    // change is still answered.
    EXPECT_EQ(unicode::printableIn(0x2EBF0, 14), Printable::unknown);
    EXPECT_EQ(unicode::printableIn(0x323B0, 14), Printable::unknown);
    EXPECT_EQ(unicode::printableIn(0x1F600, 14), Printable::yes);
    EXPECT_EQ(unicode::printableIn(0x85, 14), Printable::no);
    EXPECT_EQ(unicode::printableIn(0xE000, 14), Printable::no);
    EXPECT_EQ(unicode::printableIn(0xFFFF, 14), Printable::no);
}

TEST_F(ValueText, StrReprEdgeCases) {
    const std::pair<const char*, const char*> cases[] = {
        {"it's", "\"it's\""},
        {"it's \"x\"", "'it\\'s \"x\"'"},
        {"a\\b\t\n\r", "'a\\\\b\\t\\n\\r'"},
        {std::string("\x00\x7f\xc2\xa0\xc2\xad", 6).c_str(), nullptr},
        {"\xe2\x80\xa8", "'\\u2028'"},
        {"\xf3\xa0\x80\x81", "'\\U000e0001'"},
        {"\xf0\x9f\x98\x80", "'\xf0\x9f\x98\x80'"},
        {"\xc3\xa9", "'\xc3\xa9'"},
        {"", "''"},
    };
    for (auto [text, want] : cases) {
        if (!want) continue;
        EXPECT_EQ(repr(str(text)), want) << text;
    }
    EXPECT_EQ(repr(str(std::string("\x00\x7f\xc2\xa0\xc2\xad", 6))), "'\\x00\\x7f\\xa0\\xad'");
}

// Ill-formed UTF-8 reads as Python's "replace" reads it, and no byte past the end is read:
// each case is copied into a block of exactly its size, which the address sanitizer guards.
TEST_F(ValueText, IllFormedUtf8ReadsAsPythonReplacesIt) {
    const std::string cases[] = {
        "\xc3",          "\xe2\x82",        "\xf0\x9f\x98",    "a\xf0\x9f",       "\x80",
        "\xff\xfe",      "\xed\xa0\x80",    "\xe0\x80\x80",    "\xf4\x90\x80\x80", "\xc0\xaf",
        "x\xe2\x28\xa1", "\xf0\x28\x8c\xbc", "\xc3\xa9\xc3",   "\xf5\x80",       "abc\xe2\x82\xac\xe2",
    };
    for (const std::string& c : cases) {
        std::vector<uint8_t> exact(c.begin(), c.end());
        uint8_t* block = static_cast<uint8_t*>(std::malloc(exact.size()));
        std::memcpy(block, exact.data(), exact.size());
        helpers::ByteList out{};
        ASSERT_EQ(helpers::strRepr(block, exact.size(), &out), Status::ok);
        PyObject* o = PyUnicode_DecodeUTF8(c.data(), Py_ssize_t(c.size()), "replace");
        EXPECT_EQ(bytesOf(out), pyText(o));
        helpers::CodepointList cps{};
        ASSERT_EQ(helpers::codepoints(block, exact.size(), &cps), Status::ok);
        EXPECT_EQ(int64_t(cps.count), int64_t(PyUnicode_GET_LENGTH(o)));
        for (uint64_t i = 0; i < cps.count && i < uint64_t(PyUnicode_GET_LENGTH(o)); i++)
            EXPECT_EQ(cps.items[i], uint32_t(PyUnicode_READ_CHAR(o, Py_ssize_t(i))));
        helpers::freeCodepoints(&cps);
        Py_DECREF(o);
        std::free(out.data);
        std::free(block);
    }
}

TEST_F(ValueText, BytesReprIsPythons) {
    const char* cases[] = {"b''", "bytes(range(256))", "b\"it's\"", "b'it\\'s \"x\"'",
                           "b'\\\\\\t\\n\\r\\x7f\\x80\\xff'", "b'\"'"};
    for (const char* c : cases) {
        PyObject* o = eval(c);
        Value v = keep(fromPython(o));
        v.as<Bytes>()->h.flags |= FlagImmutable;
        EXPECT_EQ(repr(v), pyText(o)) << c;
        EXPECT_EQ(strText(v), pyText(o)) << c;
        Py_DECREF(o);
    }
}

TEST_F(ValueText, PyReprQuotesMessagesInAFixedBuffer) {
    char buf[16];
    std::string_view out;
    ASSERT_TRUE(helpers::pyRepr("caf\xc3\xa9", 5, buf, sizeof buf, &out));
    EXPECT_EQ(out, "'caf\xc3\xa9'");
    ASSERT_TRUE(helpers::pyRepr("it's\x01", 5, buf, sizeof buf, &out));
    EXPECT_EQ(out, "\"it's\\x01\"");
    EXPECT_FALSE(helpers::pyRepr("0123456789abcdef", 16, buf, sizeof buf, &out));
    EXPECT_FALSE(helpers::pyRepr("0123456789abc\n", 14, buf, sizeof buf, &out));
}

TEST_F(ValueText, FieldNamesAndDecodeErrors) {
    helpers::ByteList out{};
    ASSERT_EQ(helpers::printFieldName(&out, "x"), Status::ok);
    ASSERT_EQ(helpers::printDecodeError(&out, 0xab, 12), Status::ok);
    EXPECT_EQ(bytesOf(out), "x=' codec can't decode byte 0xab in position 12: ");
    std::free(out.data);
}

// ---- containers and other values -----------------------------------------------------------

TEST_F(ValueText, ScalarsAndTuplesAreWrittenAsPythonWritesThem) {
    const char* cases[] = {"None", "True", "False", "0", "-5", "2**63 - 1", "-(2**63)",
                           "2**100", "-(2**127)", "1.5", "-0.0", "1e16", "'é'", "()", "(1,)",
                           "(1, 'a', (2.5, None), ((),))", "[]", "[1, [2, 'x'], (3,)]"};
    for (const char* c : cases) {
        PyObject* o = eval(c);
        Value v = keep(fromPython(o));
        watchCrossings();
        EXPECT_EQ(repr(v), pyText(o)) << c;
        EXPECT_EQ(strText(v), pyText(o, false)) << c;
        EXPECT_FALSE(crossed()) << c << " went through Python";
        Py_DECREF(o);
    }
}

TEST_F(ValueText, RecursionMarkers) {
    List* l = newList(0);
    Value lv = keep(Value::of(TagList, l));
    incref(lv);
    listAppend(l, lv);
    EXPECT_EQ(repr(lv), "[[...]]");
    Tuple* t = newTuple(1);
    incref(lv);
    t->items()[0] = lv;
    EXPECT_EQ(repr(keep(Value::of(TagTuple, t))), "([[...]],)");
    Dict* d = newDict();
    Value dv = keep(Value::of(TagDict, d));
    ASSERT_TRUE(dictSet(d, str("k"), dv));  // the dict takes its own reference
    EXPECT_EQ(repr(dv), "{'k': {...}}");
    // The cycles are broken by hand so the blocks go back.
    Value inner = l->items[0];
    l->count = 0;
    decref(inner);
    ASSERT_TRUE(dictSet(d, str("k"), Value::none()));
}

TEST_F(ValueText, DictsAndSetsShowLiveEntriesInOrder) {
    Dict* d = newDict();
    Value dv = keep(Value::of(TagDict, d));
    EXPECT_EQ(repr(dv), "{}");
    for (int i = 0; i < 5; i++) ASSERT_TRUE(dictSet(d, Value::integer(i), Value::real(i + 0.5)));
    // A deleted entry keeps its place with the deleted tag.
    decref(d->entries[1].key);
    decref(d->entries[1].value);
    d->entries[1].key = Value{TagDeleted, 0};
    d->entries[1].value = Value::none();
    d->length--;
    EXPECT_EQ(repr(dv), "{0: 0.5, 2: 2.5, 3: 3.5, 4: 4.5}");
}

// A set shows its elements in its table's order, which is the order Python shows for the
// same elements added in the same order.
TEST_F(ValueText, SetsShowTheirTablesOrder) {
    const char* cases[] = {"[]", "[1]", "[3, 1, 2]", "['b', 'a', 'c', 'é']",
                           "list(range(40, 0, -3))", "[1.5, -2, 'x', (1, 2), None]"};
    for (const char* c : cases) {
        PyObject* items = eval(c);
        std::vector<Value> values = testing_support::itemsOf(items);
        Set* s = set::make();
        Value sv = keep(Value::of(TagSet, s));
        for (Value v : values) {
            ASSERT_TRUE(set::addHashed(s, v, set::elementHash(v)));
            decref(v);
        }
        PyObject* built = PySet_New(items);
        EXPECT_EQ(repr(sv), pyText(built)) << c;
        Py_DECREF(built);
        Py_DECREF(items);
    }
}

// A record of a class without a Python class (a standalone program's) is written natively,
// with "..." where it holds itself; one whose class is Python's is Python's to write.
TEST_F(ValueText, RecordsWithoutAPythonClass) {
    static Text fields[] = {{"x", 1}, {"next", 4}};
    static RecordClass cls{{"Node", 4}, {"m.Node", 6}, fields, 2, nullptr, nullptr, 0, 0, 0};
    Record* r = newRecord(&cls);
    Value rv = keep(Value::of(TagRecord, r));
    r->fields()[0] = Value::real(1.5);
    EXPECT_EQ(repr(rv), "Node(x=1.5, next=None)");
    incref(rv);
    r->fields()[1] = rv;
    EXPECT_EQ(repr(rv), "Node(x=1.5, next=...)");
    EXPECT_EQ(strText(rv), "Node(x=1.5, next=...)");
    r->fields()[1] = Value::none();
    decref(rv);
    helpers::OpenList open{};
    helpers::ByteList out{};
    RecordClass python = cls;
    python.pyClass = Py_None;  // any Python class: the text is not native
    r->cls = &python;
    EXPECT_EQ(helpers::nativeStr(rv.tag, rv.payload, &out, helpers::TextRepr, &open),
              Status::notNative);
    r->cls = &cls;
    helpers::freeOpen(&open);
    std::free(out.data);
}

TEST_F(ValueText, ExceptionValues) {
    struct Case {
        errors::Kind kind;
        const char* args;
        const char* repr;
        const char* str;
    };
    const Case cases[] = {
        {errors::Kind::KeyError, "('a',)", "KeyError('a')", "'a'"},
        {errors::Kind::ValueError, "('a',)", "ValueError('a')", "a"},
        {errors::Kind::ValueError, "()", "ValueError()", ""},
        {errors::Kind::ValueError, "(1, 2)", "ValueError(1, 2)", "(1, 2)"},
        {errors::Kind::TypeError, "((1,),)", "TypeError((1,))", "(1,)"},
    };
    for (const Case& c : cases) {
        PyObject* args = eval(c.args);
        Value a = fromPython(args);
        Py_DECREF(args);
        Exc* e = newExc(uint32_t(c.kind), a, Value::none(), Value::none(), 0);
        decref(a);
        Value ev = keep(Value::of(TagExc, e));
        EXPECT_EQ(repr(ev), c.repr);
        EXPECT_EQ(strText(ev), c.str);
    }
}

TEST_F(ValueText, AValueWithoutNativeTextIsWrittenWholeByPython) {
    PyObject* o = eval("[1, 'a', [2, object.__new__(type('P', (), {'__repr__': lambda s: 'P!'}))]]");
    Value v = keep(fromPython(o));
    helpers::ByteList out{};
    ASSERT_TRUE(helpers::appendBytes(&out, "x=", 2));
    EXPECT_TRUE(helpers::reprInto(&ctx, v, &out));
    EXPECT_EQ(bytesOf(out), "x=[1, 'a', [2, P!]]");
    std::free(out.data);
    Py_DECREF(o);
    {
        helpers::OpenList open{};
        helpers::ByteList partial{};
        EXPECT_EQ(helpers::nativeStr(v.tag, v.payload, &partial, helpers::TextRepr, &open),
                  Status::notNative);
        EXPECT_EQ(open.count, 0u) << "containers pop themselves on the way out";
        helpers::freeOpen(&open);
        std::free(partial.data);
    }
}

TEST_F(ValueText, AFailingPythonTextIsAFailureWithNothingPending) {
    const char* objects[] = {
        "object.__new__(type('Bad', (), {'__repr__': lambda s: 1/0, '__str__': lambda s: 1/0}))",
        "object.__new__(type('Lone', (), {'__repr__': lambda s: '\\ud800', "
        "'__str__': lambda s: '\\udc00'}))",
    };
    for (const char* source : objects) {
        PyObject* o = eval(source);
        Value v = keep(fromPython(o));
        Py_DECREF(o);
        for (bool asRepr : {true, false}) {
            helpers::ByteList out{};
            bool done = asRepr ? helpers::reprInto(&ctx, v, &out) : helpers::strInto(&ctx, v, &out);
            EXPECT_FALSE(done) << source;
            EXPECT_EQ(PyErr_Occurred(), nullptr);
            std::free(out.data);
        }
    }
}

TEST_F(ValueText, NestingTooDeepForTheNativeStackGoesToPython) {
    Value v = Value::integer(1);
    for (int i = 0; i < 600; i++) {
        Tuple* t = newTuple(1);
        t->items()[0] = v;
        v = Value::of(TagTuple, t);
    }
    keep(v);
    helpers::OpenList open{};
    helpers::ByteList out{};
    EXPECT_EQ(helpers::nativeStr(v.tag, v.payload, &out, helpers::TextRepr, &open),
              Status::notNative);
    helpers::freeOpen(&open);
    std::free(out.data);
    std::string want = std::string(600, '(') + "1";
    for (int i = 0; i < 600; i++) want += ",)";
    EXPECT_EQ(repr(v), want);
}

// ---- format ---------------------------------------------------------------------------------

struct Formatted {
    bool done;
    std::string text;  // the result, or the exception's type name and text
};

class Format : public ValueText {
protected:
    Formatted native(Value v, int32_t conversion, const std::string& spec) {
        Value out{};
        Value specValue = str(spec);
        bool done = wn_format(&ctx, 1, int64_t(v.tag), int64_t(v.payload), conversion,
                              specValue.as<Str>(), &out);
        Formatted f{done, ""};
        if (done) {
            f.text = strOf(out);
            decref(out);
        } else {
            EXPECT_NE(ctx.fetched, nullptr) << spec;
            if (ctx.fetched)
                f.text = std::string(Py_TYPE(ctx.fetched)->tp_name) + ": " + pyText(ctx.fetched, false);
            helpers::clearError(&ctx);
        }
        return f;
    }
    Formatted python(PyObject* o, const std::string& spec) {
        PyObject* s = PyUnicode_FromStringAndSize(spec.data(), Py_ssize_t(spec.size()));
        PyObject* r = PyObject_Format(o, s);
        Py_DECREF(s);
        Formatted f{r != nullptr, ""};
        if (r) {
            f.text = pyText(r, false);
            Py_DECREF(r);
        } else {
            PyObject *t, *v, *tb;
            PyErr_Fetch(&t, &v, &tb);
            PyErr_NormalizeException(&t, &v, &tb);
            f.text = std::string(reinterpret_cast<PyTypeObject*>(t)->tp_name) + ": " + pyText(v, false);
            Py_XDECREF(t);
            Py_XDECREF(v);
            Py_XDECREF(tb);
        }
        return f;
    }
};

TEST_F(Format, GeneratedSpecsGivePythonsTextOrError) {
    PyObject* specs = eval(
        "(lambda R: [R.choice(['', '', '*<', '*>', '*^', '*=', '<', '>', '^', '=', '\\u20ac^', "
        "'0=', ' >']) + R.choice(['', '', '+', '-', ' ']) + R.choice(['', '#']) + "
        "R.choice(['', '', '0']) + R.choice(['', '', '1', '7', '13', '30']) + "
        "R.choice(['', '', ',', '_']) + R.choice(['', '', '.0', '.1', '.3', '.12', '.']) + "
        "R.choice(['', 'b', 'c', 'd', 'o', 'x', 'X', 'n', 'e', 'E', 'f', 'F', 'g', 'G', '%', "
        "'s', 'z', 'dd']) for _ in range(2500)])(__import__('random').Random(7))");
    PyObject* values = eval(
        "[0, 5, -5, 255, 1234, -1234567, 12345678, 2**63 - 1, -(2**63), 2**100, -(2**90) + 7,"
        " 0.0, -0.0, 1.5, -1.5, 0.5, 1234567.891, 1e16, 1e-7, 123.456, 1e300, 5e-324,"
        " float('inf'), float('-inf'), float('nan'), -float('nan'),"
        " '', 'ab', 'h\\u00e9llo w\\u00f6rld', '\\u20ac\\u20ac', \"it's\"]");
    std::vector<Value> natives = testing_support::itemsOf(values);
    for (Value v : natives) keep(v);
    Py_ssize_t nValues = PyList_GET_SIZE(values);
    std::mt19937 rng(11);
    int nativeCount = 0, total = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(specs); i++) {
        std::string spec = PyUnicode_AsUTF8(PyList_GET_ITEM(specs, i));
        for (int k = 0; k < 4; k++) {
            Py_ssize_t j = Py_ssize_t(rng() % uint32_t(nValues));
            PyObject* o = PyList_GET_ITEM(values, j);
            watchCrossings();
            Formatted got = native(natives[size_t(j)], 0, spec);
            bool wasNative = !crossed();
            Formatted want = python(o, spec);
            // What Python formats, the native path formats too, but for the types and
            // values it leaves to Python by design.
            std::string shown = pyText(o);
            bool leftToPython = spec.find_first_of("ncz") != std::string::npos ||
                                (PyFloat_Check(o) && spec.find('.') != std::string::npos &&
                                 spec.back() >= '0' && spec.back() <= '9') ||
                                shown == "inf" || shown == "-inf" || shown == "nan";
            if (want.done && !leftToPython) {
                nativeCount += wasNative;
                total++;
            }
            ASSERT_EQ(got.done, want.done) << pyText(o) << " spec " << spec << ": " << want.text;
            ASSERT_EQ(got.text, want.text) << pyText(o) << " spec " << spec;
        }
    }
    EXPECT_GT(total, 2000);
    EXPECT_EQ(nativeCount, total) << nativeCount << " of " << total << " were native";
    Py_DECREF(specs);
    Py_DECREF(values);
}

TEST_F(Format, EdgeCasesAndWhichOfThemStayNative) {
    struct Case {
        const char* value;
        int32_t conversion;
        const char* spec;
        const char* text;  // null: the same as Python's
        bool native;
    };
    const Case cases[] = {
        {"1234", 0, "010,", "00,001,234", true},
        {"255", 0, "#_x", "0xff", true},
        {"12345678", 0, "_o", "5706_0516", true},
        {"5", 0, "^4", " 5  ", true},
        {"-5", 0, "=+6", "-    5", true},
        {"'ab'", 0, "05", "ab000", true},
        {"-1.5", 0, "010.2f", "-000001.50", true},
        {"-0.0", 0, "f", "-0.000000", true},
        {"-float('nan')", 0, "f", "nan", true},
        {"1e16", 0, "#", "1.e+16", true},
        {"0.5", 0, "%", "50.000000%", true},
        {"'ab'", 0, "\xe2\x82\xac^6", "\xe2\x82\xac\xe2\x82\xac" "ab\xe2\x82\xac\xe2\x82\xac", true},
        {"'h\\u00e9llo'", 0, ".2", "h\xc3\xa9", true},
        {"255", 0, "#010_x", nullptr, true},
        {"-1234.5", 0, "012,.1f", nullptr, true},
        {"1.5", 0, ".3", nullptr, false},
        {"1.5", 0, "n", nullptr, false},
        {"65", 0, "c", nullptr, false},
        {"255", 0, ",x", nullptr, false},
        {"1.5", 0, "d", nullptr, false},
        {"5", 0, ".2d", nullptr, false},
        {"5", 0, "99999999999999999999d", nullptr, false},
        {"5", 0, "2000000", nullptr, false},
        {"1.5", 0, ".99999999999999999999f", nullptr, false},
        {"1.5", 0, ".500f", nullptr, false},
        {"5", 115, "d", nullptr, false},
        {"5", 0, "d", "5", true},
        {"5", 114, "", "5", false},
        {"None", 0, "", "None", true},
        {"True", 115, "", "True", true},
        {"1.5", 114, "", "1.5", true},
        {"[1]", 0, "", "[1]", false},
        {"'x'", 97, "", "'x'", false},
        {"'\\u00e9'", 97, "", "'\\xe9'", false},
        {"1.5", 0, "z", nullptr, false},
    };
    for (const Case& c : cases) {
        PyObject* o = eval(c.value);
        Value v = keep(fromPython(o));
        watchCrossings();
        Formatted got = native(v, c.conversion, c.spec);
        bool wasNative = !crossed();
        PyObject* converted = c.conversion == 114   ? PyObject_Repr(o)
                              : c.conversion == 97  ? PyObject_ASCII(o)
                              : c.conversion == 115 ? PyObject_Str(o)
                                                    : Py_NewRef(o);
        Formatted want = python(converted, c.spec);
        Py_DECREF(converted);
        EXPECT_EQ(got.done, want.done) << c.value << " " << c.spec << ": " << want.text;
        EXPECT_EQ(got.text, want.text) << c.value << " " << c.spec;
        if (c.text) {
            EXPECT_EQ(got.text, c.text) << c.value << " " << c.spec;
        }
        EXPECT_EQ(wasNative, c.native) << c.value << " " << c.spec;
        Py_DECREF(o);
    }
}

TEST_F(Format, AStrWithNoSpecIsTheSameStr) {
    Value s = str("abc");
    Value out{};
    ASSERT_TRUE(wn_format(&ctx, 1, int64_t(s.tag), int64_t(s.payload), 0, nullptr, &out));
    EXPECT_EQ(out.payload, s.payload);
    decref(out);
}

TEST(Grouping, ZeroFillRunsThroughTheSeparators) {
    struct Case {
        const char* digits;
        char grouping;
        size_t group;
        int64_t minimum;
        const char* want;
    };
    const Case cases[] = {
        {"1234", ',', 3, 10, "00,001,234"}, {"1234", ',', 3, 0, "1,234"},
        {"123", ',', 3, 0, "123"},          {"", ',', 3, 0, "0"},
        {"ff", '_', 4, 8, "000_00ff"},      {"1234567", '_', 3, 4, "1_234_567"},
        {"12", 0, 3, 10, "12"},             {"1", ',', 3, 4, "0,001"},
    };
    for (const Case& c : cases) {
        char buf[helpers::kGroupBuffer];
        std::string_view out;
        ASSERT_TRUE(helpers::grouped(c.digits, std::strlen(c.digits), c.grouping, c.group,
                                     c.minimum, buf, &out));
        EXPECT_EQ(out, c.want) << c.digits << " " << c.minimum;
    }
    char buf[helpers::kGroupBuffer];
    std::string_view out;
    EXPECT_FALSE(helpers::grouped("1", 1, ',', 3, 600, buf, &out));
}

TEST_F(Format, ConcatJoinsParts) {
    Value parts[] = {str("a"), str("\xc3\xa9"), str(""), str("xyz")};
    Value out{};
    ASSERT_TRUE(wn_concat(&ctx, 1, parts, 4, &out));
    EXPECT_EQ(strOf(out), "a\xc3\xa9xyz");
    EXPECT_EQ(out.as<Str>()->chars, 5u);
    decref(out);
    ASSERT_TRUE(wn_concat(&ctx, 1, parts, 0, &out));
    EXPECT_EQ(strOf(out), "");
    decref(out);
}

TEST_F(Format, FloatHexOfAFloatIsNativeAndOfAnythingElseIsPythons) {
    Value out{};
    watchCrossings();
    ASSERT_TRUE(wn_float_hex(&ctx, 1, 0, TagFloat, Value::real(-0.0).payload, &out));
    EXPECT_EQ(strOf(out), "-0x0.0p+0");
    EXPECT_FALSE(crossed());
    decref(out);
    PyObject* hex = eval("float.hex");
    PyObject* table[] = {hex};
    PyObject** objects = table;
    ctx.moduleObjects = &objects;
    EXPECT_FALSE(wn_float_hex(&ctx, 1, 0, TagPint, 5, &out));
    ASSERT_NE(ctx.fetched, nullptr);
    EXPECT_TRUE(PyErr_GivenExceptionMatches(ctx.fetched, PyExc_TypeError));
    helpers::clearError(&ctx);
    ctx.moduleObjects = nullptr;
    Py_DECREF(hex);
}

}  // namespace

}  // namespace wuna
