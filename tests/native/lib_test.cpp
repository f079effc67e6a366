// wn_lib against the running interpreter: bytes(), bytes.fromhex, int.from_bytes, struct
// packing (sizes in every mode, the formats left to Python), crc32 and adler32, and the OS
// operations in a temporary directory - the same value, or the same exception type and text,
// and the Python function called only where the native path declines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/native/differential.h"
#include "wuna/runtime/convert.h"
#include "wuna/runtime/helpers/lib.h"
#include "wuna/runtime/helpers/osio.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/value.h"

namespace wuna {

namespace {

using helpers::LibCode;
using testing_support::eval;
using testing_support::run;
using value::Value;

enum class Path { native, python };
constexpr Path N = Path::native;
constexpr Path P = Path::python;

struct LibCase {
    LibCode code;
    std::vector<const char*> args;
    Path path;
    int32_t flag = helpers::kNoSignedKeyword;
};

// The Python function of each code, as the code generator would find it.
constexpr const char* kFunctions[helpers::kLibCodes] = {
    "bytes",
    "bytes.fromhex",
    "int.from_bytes",
    "struct.unpack",
    "struct.unpack_from",
    "struct.pack",
    "zlib.crc32",
    "zlib.adler32",
    "len",
    "os.getenv",
    "os.getcwd",
    "os.path.isfile",
    "os.path.isdir",
    "os.path.exists",
    "os.path.realpath",
    "read_text",
    "read_bytes",
    "sys.stdin.read",
    "write_text",
    "os.makedirs",
    "os.chmod",
    "os.path.getsize",
    "os.replace",
    "time.time",
};

// The object the code generator passes with a call, where it is not the function above: the
// file operations pass open itself, which the runtime calls with the operation's mode and
// keywords for a path it does not take natively.
const char* passedFor(int32_t code) {
    switch (LibCode(code)) {
    case LibCode::readText:
    case LibCode::readBytes:
    case LibCode::writeText: return "counting_keywords(open)";
    default: return nullptr;
    }
}

class Lib : public testing_support::Differential {
protected:
    void SetUp() override {
        Differential::SetUp();
        run("import os, struct, sys, tempfile, time, zlib\n"
            "def read_text(p):\n"
            "    with open(p, encoding='utf-8') as f:\n"
            "        return f.read()\n"
            "def read_bytes(p):\n"
            "    with open(p, 'rb') as f:\n"
            "        return f.read()\n"
            "def write_text(p, t):\n"
            "    with open(p, 'w', encoding='utf-8') as f:\n"
            "        return f.write(t)\n"
            "def counting_keywords(fn):\n"
            "    def call(*args, **keywords):\n"
            "        calls.append(args)\n"
            "        return fn(*args, **keywords)\n"
            "    return call\n"
            "def signed(fn, flag):\n"
            "    return lambda *a: fn(*a, signed=bool(flag))\n"
            "tmp = os.path.realpath(tempfile.mkdtemp())\n");
        for (int32_t i = 0; i < helpers::kLibCodes; i++)
            functions[i] = passedFor(i) ? eval(passedFor(i)) : counting(kFunctions[i]);
        table = functions;
        ctx.moduleObjects = &table;
        pythonCalls();
    }
    void TearDown() override {
        run("import shutil\nshutil.rmtree(tmp, ignore_errors=True)\n");
        for (PyObject* f : functions) Py_XDECREF(f);
        Differential::TearDown();
    }

    Value nativeOf(const std::string& expression) {
        PyObject* o = eval(expression);
        Value v = Value::none();
        EXPECT_EQ(convert::convert(o, Py_REFCNT(o) == 1, &v), 0) << expression;
        Py_XDECREF(o);
        return v;
    }

    // The native outcome of the call against Python's (the real function, called after).
    void check(const LibCase& c) {
        std::string label = testing_support::callText(kFunctions[int32_t(c.code)], c.args);
        std::vector<Value> argv;
        for (const char* a : c.args) argv.push_back(nativeOf(a));
        Value out = Value::none();
        bool ok = wn_lib(&ctx, 5, int32_t(c.code), int32_t(c.code), argv.data(),
                         int64_t(argv.size()), c.flag, &out);
        size_t calls = pythonCalls();
        if (c.path == N) {
            EXPECT_EQ(calls, 0u) << label << " went to Python";
        } else {
            EXPECT_EQ(calls, 1u) << label << " was done natively";
        }
        std::string fn = std::string("(") + kFunctions[int32_t(c.code)] + ")";
        if (c.flag != helpers::kNoSignedKeyword)
            fn = "signed(" + std::string(kFunctions[int32_t(c.code)]) + ", " +
                 std::to_string(c.flag) + ")";
        std::string call = fn + "(";
        for (size_t i = 0; i < c.args.size(); i++) call += std::string(c.args[i]) + ", ";
        call += ")";
        PyObject* expected = PyRun_String(call.c_str(), Py_eval_input,
                                          testing_support::namespaceDict(),
                                          testing_support::namespaceDict());
        expectOutcome(label, ok, out, expected, true);
        for (Value v : argv) value::decref(v);
    }

    void checkAll(const std::vector<LibCase>& cases) {
        for (const LibCase& c : cases) check(c);
    }

    // The native outcome only (for operations that change the file system).
    bool call(LibCode code, const std::vector<const char*>& args, Value* out) {
        std::vector<Value> argv;
        for (const char* a : args) argv.push_back(nativeOf(a));
        bool ok = wn_lib(&ctx, 5, int32_t(code), int32_t(code), argv.data(), int64_t(argv.size()),
                         helpers::kNoSignedKeyword, out);
        for (Value v : argv) value::decref(v);
        return ok;
    }

    // The failure recorded against Python's exception of a statement.
    void expectFailureOf(const std::string& statement, const std::string& label) {
        PyObject* r = PyRun_String(statement.c_str(), Py_eval_input,
                                   testing_support::namespaceDict(),
                                   testing_support::namespaceDict());
        ASSERT_EQ(r, nullptr) << label << ": Python did not fail";
        testing_support::expectPythonError(&ctx, label, false, Value::none());
        helpers::clearError(&ctx);
    }

    PyObject* functions[helpers::kLibCodes] = {};
    PyObject** table = nullptr;
};

TEST_F(Lib, BytesFromhexAndFromBytes) {
    checkAll({
        {LibCode::bytes, {}, N},
        {LibCode::bytes, {"3"}, N},
        {LibCode::bytes, {"-1"}, P},
        {LibCode::bytes, {"[1, 255]"}, N},
        {LibCode::bytes, {"[1, 256]"}, P},
        {LibCode::bytes, {"b'xy'"}, N},
        {LibCode::bytes, {"'ab'"}, P},
        {LibCode::bytesFromhex, {"'0a ff 10'"}, N},
        {LibCode::bytesFromhex, {"''"}, N},
        {LibCode::bytesFromhex, {"'0 a'"}, P},
        {LibCode::bytesFromhex, {"'abc'"}, P},
        {LibCode::intFromBytes, {"b'\\xff\\xfe'", "'big'"}, N},
        {LibCode::intFromBytes, {"b'\\xff\\xfe'", "'big'"}, N, 1},
        {LibCode::intFromBytes, {"b'\\xff\\xfe'", "'little'"}, N, 0},
        {LibCode::intFromBytes, {"b''", "'little'"}, N, 1},
        {LibCode::intFromBytes, {"b'\\x80' + bytes(15)", "'big'"}, N, 1},
        {LibCode::intFromBytes, {"b'\\xff' * 16", "'big'"}, P},
        {LibCode::intFromBytes, {"bytes(17)", "'big'"}, P},
        {LibCode::intFromBytes, {"b'\\x01'", "'middle'"}, P},
    });
    // Without a byte order: big from 3.11 on, Python's error on 3.10.
    checkAll({{LibCode::intFromBytes, {"b'\\x01\\x02'"}, PY_MINOR_VERSION >= 11 ? N : P}});
}

TEST_F(Lib, StructSizesInEveryMode) {
    struct Sized {
        const char* format;
        uint64_t size;
    } sizes[] = {{"@bi", 8}, {"=bi", 5}, {"<bi", 5}, {">bi", 5}, {"!bi", 5},
                 {"l", 8},   {"<l", 4},  {"@lhl", 24}, {"lh0l", 16}, {"", 0},
                 {"<", 0},   {"3s i", 8}, {"@?d", 16}, {"=?d", 9}};
    for (const Sized& s : sizes) {
        size_t items = 0;
        uint64_t size = 0;
        bool big = false;
        ASSERT_TRUE(helpers::structItems(reinterpret_cast<const uint8_t*>(s.format),
                                         std::strlen(s.format), nullptr, 0, &items, &size, &big))
            << s.format;
        EXPECT_EQ(size, s.size) << s.format;
        PyObject* py = eval(std::string("struct.calcsize('") + s.format + "')");
        EXPECT_EQ(PyLong_AsLong(py), long(s.size)) << s.format;
        Py_XDECREF(py);
    }
    const char* invalid[] = {"e", "3 i", "i3", "p", "P", "n", "99999999999999999999999i"};
    for (const char* f : invalid) {
        size_t items = 0;
        uint64_t size = 0;
        bool big = false;
        EXPECT_FALSE(helpers::structItems(reinterpret_cast<const uint8_t*>(f), std::strlen(f),
                                          nullptr, 0, &items, &size, &big))
            << f;
    }
}

TEST_F(Lib, StructPackAndUnpack) {
    checkAll({
        {LibCode::structPack, {"'<i'", "-2"}, N},
        {LibCode::structPack, {"'>i'", "-2"}, N},
        {LibCode::structPack, {"'!H'", "65535"}, N},
        {LibCode::structPack, {"'@bi'", "1", "2"}, N},
        {LibCode::structPack, {"'3s'", "b'ab'"}, N},
        {LibCode::structPack, {"'2x'"}, N},
        {LibCode::structPack, {"'<?cfd'", "5", "b'z'", "1.5", "-2"}, N},
        {LibCode::structPack, {"'f'", "float('inf')"}, N},
        {LibCode::structPack, {"'f'", "1e39"}, P},
        {LibCode::structPack, {"'B'", "256"}, P},
        {LibCode::structPack, {"'B'", "-1"}, P},
        {LibCode::structPack, {"'<q'", "-2**63"}, N},
        {LibCode::structPack, {"'<Q'", "2**64 - 1"}, P},
        {LibCode::structPack, {"'ii'", "1"}, P},
        {LibCode::structPack, {"'e'", "1.0"}, P},
        {LibCode::structUnpack, {"'<i'", "b'\\xfe\\xff\\xff\\xff'"}, N},
        {LibCode::structUnpack, {"'L'", "b'\\xff' * 8"}, N},
        {LibCode::structUnpack, {"'0s'", "b''"}, N},
        {LibCode::structUnpack, {"'>hHbB?c'", "b'\\x80\\x00\\xff\\xff\\x80\\x80\\x02z'"}, N},
        {LibCode::structUnpack, {"'<fd'", "struct.pack('<fd', 0.1, 0.1)"}, N},
        {LibCode::structUnpack, {"'<i'", "b'\\x00'"}, P},
        {LibCode::structUnpack, {"'<i'", "b'\\x00' * 5"}, P},
        {LibCode::structUnpackFrom, {"'<h'", "b'\\x00\\x01\\x02'", "1"}, N},
        {LibCode::structUnpackFrom, {"'<h'", "b'\\x00\\x01\\x02'", "2"}, P},
        {LibCode::structUnpackFrom, {"'<h'", "b'\\x00\\x01\\x02'"}, N},
    });
}

TEST_F(Lib, Checksums) {
    checkAll({
        {LibCode::crc32, {"b''"}, N},
        {LibCode::crc32, {"b'hello world'"}, N},
        {LibCode::crc32, {"b'world'", "zlib.crc32(b'hello ')"}, N},
        {LibCode::crc32, {"bytes(range(256)) * 40"}, N},
        {LibCode::crc32, {"b'x'", "2**40 + 7"}, N},
        {LibCode::crc32, {"'text'"}, P},
        {LibCode::adler32, {"b''", "5"}, N},
        {LibCode::adler32, {"b'hello world'"}, N},
        {LibCode::adler32, {"b'\\xff' * 20000"}, N},
        {LibCode::adler32, {"b'abc'", "zlib.adler32(b'xyz')"}, N},
    });
}

TEST_F(Lib, EnvironmentAndPathKinds) {
    run("os.environ['WUNA_LIB_TEST'] = 'v\\u00e9'\n"
        "os.environb[b'WUNA_LIB_BAD'] = b'a\\xffb'\n"
        "open(os.path.join(tmp, 'f.txt'), 'w').close()\n");
    std::string tmpFile = "os.path.join(tmp, 'f.txt')";
    checkAll({
        {LibCode::getenv, {"'WUNA_LIB_TEST'"}, N},
        {LibCode::getenv, {"'WUNA_LIB_UNSET'"}, N},
        {LibCode::getenv, {"'WUNA_LIB_UNSET'", "'dflt'"}, N},
        // Not UTF-8: Python's own function, with its surrogate escapes.
        {LibCode::getenv, {"'WUNA_LIB_BAD'"}, P},
        {LibCode::getcwd, {}, N},
        {LibCode::isfile, {tmpFile.c_str()}, N},
        {LibCode::isfile, {"tmp"}, N},
        {LibCode::isdir, {"tmp"}, N},
        {LibCode::exists, {"tmp + '/missing'"}, N},
        {LibCode::exists, {"'a\\x00b'"}, N},
        {LibCode::isfile, {"os.fsencode(tmp)"}, P},
        {LibCode::realpath, {"tmp + '/x/../y'"}, N},
        {LibCode::realpath, {"tmp + '/f.txt/./'"}, N},
        {LibCode::realpath, {"'relative/x/..'"}, N},
        {LibCode::realpath, {"'a\\x00b'"}, P},
        {LibCode::getenv, {"'A\\x00B'"}, P},
        {LibCode::getsize, {tmpFile.c_str()}, N},
        {LibCode::getsize, {"tmp + '/missing'"}, N},
        {LibCode::getsize, {"'a\\x00b'"}, P},
    });
}

TEST_F(Lib, FilesInATemporaryDirectory) {
    run("with open(os.path.join(tmp, 'crlf.txt'), 'wb') as f: f.write(b'a\\r\\nb\\rc\\n')\n"
        "with open(os.path.join(tmp, 'bad.txt'), 'wb') as f: f.write(b'a\\xffb')\n"
        "with open(os.path.join(tmp, 'cut.txt'), 'wb') as f: f.write(b'\\xe2\\x82')\n"
        "with open(os.path.join(tmp, 'cont.txt'), 'wb') as f: f.write(b'x\\xe2\\x28')\n"
        "open(os.path.join(tmp, 'empty'), 'w').close()\n"
        "import pathlib\n");
    checkAll({
        {LibCode::readText, {"os.path.join(tmp, 'crlf.txt')"}, N},
        {LibCode::readBytes, {"os.path.join(tmp, 'crlf.txt')"}, N},
        {LibCode::readText, {"os.path.join(tmp, 'empty')"}, N},
        {LibCode::readBytes, {"os.path.join(tmp, 'empty')"}, N},
        {LibCode::readText, {"os.path.join(tmp, 'missing')"}, N},
        {LibCode::readText, {"tmp"}, N},
        {LibCode::readText, {"os.path.join(tmp, 'bad.txt')"}, N},
        {LibCode::readText, {"os.path.join(tmp, 'cut.txt')"}, N},
        {LibCode::readText, {"os.path.join(tmp, 'cont.txt')"}, N},
        {LibCode::readBytes, {"'a\\x00b'"}, P},
        // Paths of other kinds are the Python function's, as open() takes them.
        {LibCode::readText, {"pathlib.Path(tmp, 'crlf.txt')"}, P},
        {LibCode::readBytes, {"os.fsencode(os.path.join(tmp, 'crlf.txt'))"}, P},
        {LibCode::readText, {"None"}, P},
        {LibCode::writeText, {"pathlib.Path(tmp, 'p.txt')", "'a\\nb'"}, P},
        {LibCode::writeText, {"os.fsencode(os.path.join(tmp, 'q.txt'))", "'\\u00e9'"}, P},
        {LibCode::readText, {"pathlib.Path(tmp, 'p.txt')"}, P},
        {LibCode::readBytes, {"os.fsencode(os.path.join(tmp, 'q.txt'))"}, P},
    });
}

TEST_F(Lib, ReadingKeepsLineEndingsWhenAskedTo) {
    run("with open(os.path.join(tmp, 'crlf.txt'), 'wb') as f: f.write(b'a\\r\\nb\\rc')\n");
    Value path = nativeOf("os.path.join(tmp, 'crlf.txt')");
    Value out = Value::none();
    ASSERT_TRUE(wn_lib(&ctx, 1, int32_t(LibCode::readText), 15, &path, 1, 1, &out));
    EXPECT_EQ(out.as<value::Str>()->text(), "a\r\nb\rc");
    value::decref(out);
    value::decref(path);
}

TEST_F(Lib, DecodeErrorsCarryPythonsPositions) {
    struct Bad {
        const char* bytes;
        int64_t start;
        int64_t end;
        const char* reason;
    } cases[] = {{"b'a\\xffb'", 1, 2, "invalid start byte"},
                 {"b'\\xe2\\x82'", 0, 2, "unexpected end of data"},
                 {"b'x\\xe2\\x28'", 1, 2, "invalid continuation byte"},
                 {"b'\\xf0\\x9f\\x98'", 0, 3, "unexpected end of data"},
                 {"b'\\xed\\xa0\\x80'", 0, 1, "invalid continuation byte"}};
    for (const Bad& b : cases) {
        PyObject* data = eval(b.bytes);
        const char* raw = PyBytes_AS_STRING(data);
        PyObject* r = PyUnicode_DecodeUTF8(raw, PyBytes_GET_SIZE(data), nullptr);
        ASSERT_EQ(r, nullptr);
        PyObject *type, *error, *tb;
        PyErr_Fetch(&type, &error, &tb);
        PyErr_NormalizeException(&type, &error, &tb);
        Py_ssize_t start = 0, end = 0;
        PyUnicodeDecodeError_GetStart(error, &start);
        PyUnicodeDecodeError_GetEnd(error, &end);
        EXPECT_EQ(start, b.start) << b.bytes;
        EXPECT_EQ(end, b.end) << b.bytes;
        helpers::Utf8Error mine{};
        const auto* bytes = reinterpret_cast<const uint8_t*>(raw);
        size_t length = size_t(PyBytes_GET_SIZE(data));
        EXPECT_FALSE(helpers::checkUtf8(bytes, length, &mine));
        EXPECT_EQ(int64_t(mine.start), start) << b.bytes;
        EXPECT_EQ(int64_t(mine.end), end) << b.bytes;
        EXPECT_STREQ(mine.reason, b.reason);
        Value out = Value::none();
        EXPECT_FALSE(helpers::textResult(&ctx, 1, bytes, length, true, &out));
        PyErr_Restore(type, error, tb);
        testing_support::expectPythonError(&ctx, b.bytes, false, out);
        helpers::clearError(&ctx);
        Py_DECREF(data);
    }
}

TEST_F(Lib, MakedirsWritesReplacesAndModes) {
    Value out = Value::none();
    // a/b/c with a trailing slash makes all three; again fails; with exist_ok succeeds.
    ASSERT_TRUE(call(LibCode::makedirs, {"os.path.join(tmp, 'a/b/c/')"}, &out)) << failureText();
    PyObject* made = eval("os.path.isdir(os.path.join(tmp, 'a/b/c'))");
    EXPECT_EQ(made, Py_True);
    Py_XDECREF(made);
    EXPECT_FALSE(call(LibCode::makedirs, {"os.path.join(tmp, 'a/b/c/')"}, &out));
    expectFailureOf("os.makedirs(os.path.join(tmp, 'a/b/c/'))", "makedirs twice");
    ASSERT_TRUE(call(LibCode::makedirs, {"os.path.join(tmp, 'a/b/c')", "0o777", "True"}, &out));
    run("open(os.path.join(tmp, 'plain'), 'w').close()\n");
    EXPECT_FALSE(call(LibCode::makedirs, {"os.path.join(tmp, 'plain')", "0o777", "True"}, &out));
    expectFailureOf("os.makedirs(os.path.join(tmp, 'plain'), exist_ok=True)",
                    "makedirs over a file");
    EXPECT_FALSE(call(LibCode::makedirs, {"os.path.join(tmp, 'plain/x')"}, &out));
    expectFailureOf("os.makedirs(os.path.join(tmp, 'plain/x'))", "makedirs under a file");
    EXPECT_TRUE(call(LibCode::makedirs, {"'/'", "0o777", "1"}, &out));
    EXPECT_EQ(pythonCalls(), 0u);
    // Writing returns the code-point count; appending adds.
    Value count = Value::none();
    ASSERT_TRUE(call(LibCode::writeText, {"os.path.join(tmp, 'w.txt')", "'h\\u00e9llo'"}, &count));
    EXPECT_EQ(count.payload, 5u);
    ctx.site = 0;
    std::vector<Value> argv = {nativeOf("os.path.join(tmp, 'w.txt')"), nativeOf("'!'")};
    ASSERT_TRUE(wn_lib(&ctx, 1, int32_t(LibCode::writeText), 18, argv.data(), 2, 1, &out));
    for (Value v : argv) value::decref(v);
    PyObject* text = eval("read_text(os.path.join(tmp, 'w.txt'))");
    EXPECT_EQ(testing_support::pyStr(text), "h\u00e9llo!");
    Py_XDECREF(text);
    EXPECT_FALSE(call(LibCode::writeText, {"os.path.join(tmp, 'w.txt')", "5"}, &out));
    EXPECT_EQ(failureText(), "write() argument must be str, not int");
    helpers::clearError(&ctx);
    EXPECT_FALSE(call(LibCode::writeText, {"tmp", "'x'"}, &out));
    expectFailureOf("write_text(tmp, 'x')", "writing a directory");
    // Replace names both paths when it fails.
    ASSERT_TRUE(call(LibCode::replace, {"os.path.join(tmp, 'w.txt')", "os.path.join(tmp, 'v.txt')"},
                     &out));
    EXPECT_FALSE(
        call(LibCode::replace, {"os.path.join(tmp, 'w.txt')", "os.path.join(tmp, 'u.txt')"}, &out));
    expectFailureOf("os.replace(os.path.join(tmp, 'w.txt'), os.path.join(tmp, 'u.txt'))",
                    "replacing a missing file");
    ASSERT_TRUE(call(LibCode::chmod, {"os.path.join(tmp, 'v.txt')", "0o600"}, &out));
    PyObject* mode = eval("os.stat(os.path.join(tmp, 'v.txt')).st_mode & 0o777");
    EXPECT_EQ(PyLong_AsLong(mode), 0600);
    Py_XDECREF(mode);
    EXPECT_FALSE(call(LibCode::chmod, {"os.path.join(tmp, 'gone')", "0o600"}, &out));
    expectFailureOf("os.chmod(os.path.join(tmp, 'gone'), 0o600)", "chmod of a missing file");
    EXPECT_EQ(pythonCalls(), 0u);
}

TEST_F(Lib, TimeAndStdin) {
    Value out = Value::none();
    ASSERT_TRUE(wn_lib(&ctx, 1, int32_t(LibCode::time), 23, nullptr, 0, 2, &out));
    PyObject* now = eval("time.time()");
    EXPECT_NEAR(value::asDouble(out.payload), PyFloat_AsDouble(now), 5.0);
    Py_XDECREF(now);
    Value one = Value::pint(1);
    EXPECT_FALSE(wn_lib(&ctx, 1, int32_t(LibCode::stdinRead), 17, &one, 1, 2, &out));
    EXPECT_EQ(failureText(), "read() takes no arguments here");
    helpers::clearError(&ctx);
}

}  // namespace

}  // namespace wuna
