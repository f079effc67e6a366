// wn_lib and wn_utf8_len: library operations of compiled code. See lib.h.
#include "wuna/runtime/helpers/lib.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdlib>
#include <cstring>

#include "wuna/runtime/convert.h"
#include "wuna/runtime/equal.h"
#include "wuna/runtime/helpers/calls.h"
#include "wuna/runtime/helpers/crossings.h"
#include "wuna/runtime/helpers/helpers.h"
#include "wuna/runtime/helpers/osio.h"
#include "wuna/runtime/helpers/run.h"
#include "wuna/runtime/value.h"

namespace wuna::helpers {

namespace {

using value::Value;

constexpr gil::Location kLibAt{"runtime", "helpers", "wn_lib", 0, 0};
constexpr gil::Location kUtf8LenAt{"runtime", "helpers", "wn_utf8_len", 0, 0};
constexpr gil::Location kStdinAt{"runtime", "helpers", "wn_lib stdin", 0, 0};

constexpr char kReadNoArguments[] = "read() takes no arguments here";
constexpr char kLostStdin[] = "lost sys.stdin";
constexpr uint64_t kMaxKeywordArguments = 8;
constexpr uint32_t kModeBits = 07777;
constexpr uint32_t kDefaultDirMode = 0777;

inline bool isStr(Value v) { return v.tag == value::TagStr; }
inline bool isBytes(Value v) { return v.tag == value::TagBytes; }

// A str path the file operations take natively: one without a NUL byte, which Python refuses
// with its ValueError "embedded null byte" before any system call.
inline bool filePath(Value v) {
    return isStr(v) && !std::memchr(v.as<value::Str>()->bytes(), 0, v.as<value::Str>()->length);
}

struct Call {
    Ctx* ctx;
    int32_t site;
    int64_t function;
    const Value* args;
    uint64_t count;
    int32_t flag;
    Value* out;
};

// The Python function of the call, with its arguments (and signed= when flagged).
bool python(const Call& c) {
    if (c.flag == kNoSignedKeyword) {
        PyObject* callee = moduleObject(c.ctx, c.function);
        return callPython(c.ctx, c.site, &kLibAt, callee, c.args, c.count, c.out);
    }
    if (c.count > kMaxKeywordArguments) {
        static constexpr char text[] = "too many arguments";
        fail(c.ctx, c.site, text, sizeof text - 1);
        return false;
    }
    value::claimLock(&kLibAt);
    PyObject* callee = moduleObject(c.ctx, c.function);
    PyObject* objs[kMaxKeywordArguments] = {};
    if (!objects(c.ctx, c.site, c.args, c.count, objs)) {
        bridge::failFromPython(c.ctx, c.site);
        return false;
    }
    PyObject* tuple = PyTuple_New(Py_ssize_t(c.count));
    for (uint64_t i = 0; i < c.count; i++) {
        if (tuple) PyTuple_SET_ITEM(tuple, Py_ssize_t(i), objs[i]);
        else Py_DECREF(objs[i]);
    }
    PyObject* keywords = tuple ? Py_BuildValue("{s:O}", "signed", c.flag == 1 ? Py_True : Py_False)
                               : nullptr;
    PyObject* result = keywords && callee ? PyObject_Call(callee, tuple, keywords) : nullptr;
    if (keywords && !callee)
        PyErr_SetString(PyExc_RuntimeError, "wuna: no Python callable (a wuna bug)");
    Py_XDECREF(keywords);
    Py_XDECREF(tuple);
    return pythonResult(c.ctx, c.site, result, c.out);
}

bool newBytesOf(const Call& c, const uint8_t* data, uint64_t n) {
    value::Bytes* b = value::newOwnedBytes(n);
    if (!b) {
        failOutOfMemory(c.ctx, c.site);
        return false;
    }
    b->h.flags |= value::FlagImmutable;
    if (n) std::memcpy(b->data, data, n);
    *c.out = Value::of(value::TagBytes, b);
    return true;
}

bool bytesCall(const Call& c) {
    if (c.count == 0) return newBytesOf(c, nullptr, 0);
    if (c.count != 1) return python(c);
    Value v = c.args[0];
    if (isBytes(v)) {
        value::Bytes* b = v.as<value::Bytes>();
        if (b->h.flags & value::FlagImmutable) {
            value::incref(v);
            *c.out = v;
            return true;
        }
        return newBytesOf(c, b->data, b->length);
    }
    if (value::smallIntTag(v.tag)) {
        if (int64_t(v.payload) < 0) return python(c);
        value::Bytes* b = value::newOwnedBytes(v.payload);
        if (!b) {
            failOutOfMemory(c.ctx, c.site);
            return false;
        }
        b->h.flags |= value::FlagImmutable;
        if (v.payload) std::memset(b->data, 0, v.payload);
        *c.out = Value::of(value::TagBytes, b);
        return true;
    }
    const Value* items = nullptr;
    uint64_t n = 0;
    if (v.tag == value::TagList) {
        items = v.as<value::List>()->items;
        n = v.as<value::List>()->count;
    } else if (v.tag == value::TagTuple) {
        items = v.as<value::Tuple>()->items();
        n = v.as<value::Tuple>()->count;
    } else {
        return python(c);
    }
    for (uint64_t i = 0; i < n; i++)
        if (!value::smallIntTag(items[i].tag) || items[i].payload > 255) return python(c);
    value::Bytes* b = value::newOwnedBytes(n);
    if (!b) {
        failOutOfMemory(c.ctx, c.site);
        return false;
    }
    b->h.flags |= value::FlagImmutable;
    for (uint64_t i = 0; i < n; i++) b->data[i] = uint8_t(items[i].payload);
    *c.out = Value::of(value::TagBytes, b);
    return true;
}

int hexDigit(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool fromhex(const Call& c) {
    if (c.count != 1 || !isStr(c.args[0])) return python(c);
    value::Str* s = c.args[0].as<value::Str>();
    const uint8_t* p = s->bytes();
    uint64_t n = s->length;
    uint8_t* data = static_cast<uint8_t*>(std::malloc(n / 2 + 1));
    if (!data) {
        failOutOfMemory(c.ctx, c.site);
        return false;
    }
    uint64_t k = 0, i = 0;
    while (i < n) {
        if (p[i] == ' ' || (p[i] >= 9 && p[i] <= 13)) {
            i++;
            continue;
        }
        int hi = hexDigit(p[i]);
        int lo = i + 1 < n ? hexDigit(p[i + 1]) : -1;
        if (hi < 0 || lo < 0) {
            std::free(data);
            return python(c);
        }
        data[k++] = uint8_t(hi << 4 | lo);
        i += 2;
    }
    bool ok = newBytesOf(c, data, k);
    std::free(data);
    return ok;
}

bool fromBytes(const Call& c) {
    if (c.count < 1 || c.count > 2 || !isBytes(c.args[0])) return python(c);
    value::Bytes* b = c.args[0].as<value::Bytes>();
    if (!b->data && b->length) return python(c);
    ByteOrder order = ByteOrder::big;
    if (c.count == 2) order = byteOrder(c.args[1]);
    else if (python_minor < 11) order = ByteOrder::none;
    if (order == ByteOrder::none || b->length > 16) return python(c);
    unsigned __int128 u = 0;
    for (uint64_t i = 0; i < b->length; i++) {
        uint8_t byte = b->data[order == ByteOrder::big ? i : b->length - 1 - i];
        u = (u << 8) | byte;
    }
    value::i128 v;
    bool top = b->length && (u >> (8 * b->length - 1)) & 1;
    if (c.flag == 1 && b->length == 16) {
        v = value::i128(u);
    } else if (c.flag == 1 && top) {
        // Less 2 to the power of the bit count, in two halves that each fit.
        value::i128 half = value::i128(1) << (8 * b->length - 1);
        v = value::i128(u) - half - half;
    } else {
        if (u >> 127) return python(c);
        v = value::i128(u);
    }
    if (!value::intValue(v, c.out)) {
        failOutOfMemory(c.ctx, c.site);
        return false;
    }
    return true;
}

bool unpack(const Call& c, bool from) {
    if (c.count < 2 || !isStr(c.args[0]) || !isBytes(c.args[1])) return python(c);
    if (!from && c.count != 2) return python(c);
    if (from && c.count > 3) return python(c);
    uint64_t offset = 0;
    if (c.count == 3) {
        if (!value::smallIntTag(c.args[2].tag) || int64_t(c.args[2].payload) < 0) return python(c);
        offset = c.args[2].payload;
    }
    value::Str* format = c.args[0].as<value::Str>();
    value::Bytes* b = c.args[1].as<value::Bytes>();
    if (!b->data && b->length) return python(c);
    size_t items = 0;
    uint64_t size = 0;
    bool big = false;
    if (!structItems(format->bytes(), format->length, nullptr, 0, &items, &size, &big))
        return python(c);
    if (offset > b->length || b->length - offset < size) return python(c);
    if (!from && b->length != size) return python(c);
    MethodAnswer a = structUnpack(c.ctx, c.site, format->bytes(), format->length,
                                  b->data + offset, c.out);
    if (!a.answered) return python(c);
    return a.ok;
}

bool pack(const Call& c) {
    if (c.count < 1 || !isStr(c.args[0])) return python(c);
    value::Str* format = c.args[0].as<value::Str>();
    MethodAnswer a = structPack(c.ctx, c.site, format->bytes(), format->length, c.args + 1,
                                c.count - 1, c.out);
    if (!a.answered) return python(c);
    return a.ok;
}

bool checksum(const Call& c, bool crc) {
    if (c.count < 1 || c.count > 2 || !isBytes(c.args[0])) return python(c);
    value::Bytes* b = c.args[0].as<value::Bytes>();
    if (!b->data && b->length) return python(c);
    uint32_t start = crc ? 0 : 1;
    if (c.count == 2) {
        value::i128 w = 0;
        uint64_t tag = c.args[1].tag;
        if ((tag != value::TagInt && tag != value::TagPint && tag != value::TagBig) ||
            !value::wide(c.args[1], &w))
            return python(c);
        start = uint32_t(uint64_t(w));
    }
    uint32_t sum = crc ? crc32(start, b->data, b->length) : adler32(start, b->data, b->length);
    *c.out = Value::pint(int64_t(sum));
    return true;
}

// A str of text from the system: natively when it is UTF-8; otherwise Python's own function
// answers, decoding the bytes with its surrogate escapes.
bool systemText(const Call& c, const osio::Owned& text) {
    Utf8Error bad{};
    if (!checkUtf8(text.data, text.length, &bad)) return python(c);
    return strResult(c.ctx, c.site, text.data, text.length, c.out);
}

PathArg pathOf(const Call& c, uint64_t i) { return PathArg{c.args[i], true}; }

bool getenv(const Call& c) {
    if (c.count < 1 || c.count > 2 || !filePath(c.args[0])) return python(c);
    value::Str* name = c.args[0].as<value::Str>();
    osio::Owned text;
    bool found = false;
    if (osio::getenv(reinterpret_cast<const char*>(name->bytes()), name->length, &text, &found) !=
        Status::ok) {
        failOutOfMemory(c.ctx, c.site);
        return false;
    }
    if (!found) {
        *c.out = c.count == 2 ? c.args[1] : Value::none();
        value::incref(*c.out);
        return true;
    }
    bool ok = systemText(c, text);
    std::free(text.data);
    return ok;
}

bool getcwd(const Call& c) {
    if (c.count != 0) return python(c);
    osio::Owned text;
    if (Status s = osio::getcwd(&text); s != Status::ok)
        return osFail(c.ctx, c.site, s, PathArg{Value::none(), false});
    bool ok = systemText(c, text);
    std::free(text.data);
    return ok;
}

bool kindTest(const Call& c, LibCode code) {
    if (c.count != 1 || !isStr(c.args[0])) return python(c);
    value::Str* path = c.args[0].as<value::Str>();
    osio::Kind k = osio::Kind::missing;
    const char* text = reinterpret_cast<const char*>(path->bytes());
    if (osio::kindOf(text, path->length, &k) != Status::ok) {
        failOutOfMemory(c.ctx, c.site);
        return false;
    }
    bool answer = code == LibCode::isfile ? k == osio::Kind::file
                  : code == LibCode::isdir ? k == osio::Kind::directory
                                           : k != osio::Kind::missing;
    *c.out = Value::boolean(answer);
    return true;
}

bool realpath(const Call& c) {
    if (c.count != 1 || !filePath(c.args[0])) return python(c);
    value::Str* path = c.args[0].as<value::Str>();
    osio::Owned text;
    const char* given = reinterpret_cast<const char*>(path->bytes());
    if (Status s = osio::realpath(given, path->length, &text); s != Status::ok)
        return osFail(c.ctx, c.site, s, PathArg{Value::none(), false});
    bool ok = systemText(c, text);
    std::free(text.data);
    return ok;
}

// The file operation done by Python's open, for a path the native code does not take (bytes,
// an os.PathLike object, a str with a NUL, a file descriptor): open(path, mode, encoding=
// "utf-8", newline=...) and its read() or write(text), the file closed after, so that such
// paths are accepted and refused as Python accepts and refuses them. The call's flag is the
// operation's own (newline="" and append), never a signed= keyword.
bool fileByPython(const Call& c, LibCode code) {
    bool text = code != LibCode::readBytes;
    bool write = code == LibCode::writeText;
    value::claimLock(&kLibAt);
    PyObject* open = moduleObject(c.ctx, c.function);
    PyObject* objs[2] = {};
    if (!open || c.count != (write ? 2u : 1u)) {
        PyErr_SetString(PyExc_RuntimeError, "wuna: a file operation without its call (a wuna bug)");
        bridge::failFromPython(c.ctx, c.site);
        return false;
    }
    if (!objects(c.ctx, c.site, c.args, c.count, objs)) {
        bridge::failFromPython(c.ctx, c.site);
        return false;
    }
    bool newline = write ? (c.flag & 2) != 0 : c.flag == 1;
    const char* mode = !write ? (text ? "r" : "rb") : (c.flag & 1) ? "a" : "w";
    PyObject* args = Py_BuildValue("(Os)", objs[0], mode);
    PyObject* keywords = text ? Py_BuildValue("{s:s,s:z}", "encoding", "utf-8", "newline",
                                              newline ? "" : nullptr)
                              : nullptr;
    PyObject* file = args && (keywords || !text) ? PyObject_Call(open, args, keywords) : nullptr;
    Py_XDECREF(args);
    Py_XDECREF(keywords);
    PyObject* result = nullptr;
    if (file) {
        result = write ? PyObject_CallMethod(file, "write", "O", objs[1])
                       : PyObject_CallMethod(file, "read", nullptr);
        // Closed whatever the operation gave: a failed close after a write is the write's.
        PyObject* closed = PyObject_CallMethod(file, "close", nullptr);
        if (!closed) Py_CLEAR(result);
        Py_XDECREF(closed);
        Py_DECREF(file);
    }
    Py_XDECREF(objs[0]);
    Py_XDECREF(objs[1]);
    return pythonResult(c.ctx, c.site, result, c.out);
}

bool readFile(const Call& c, bool text) {
    // Other paths (bytes, os.PathLike objects) and other argument counts are Python's
    // function's, which accepts and refuses them as Python does.
    if (c.count != 1 || !filePath(c.args[0]))
        return fileByPython(c, text ? LibCode::readText : LibCode::readBytes);
    value::Str* path = c.args[0].as<value::Str>();
    osio::Owned data;
    const char* name = reinterpret_cast<const char*>(path->bytes());
    if (Status s = osio::readFile(name, path->length, &data); s != Status::ok)
        return osFail(c.ctx, c.site, s, pathOf(c, 0));
    bool ok = text ? textResult(c.ctx, c.site, data.data, data.length, c.flag != 1, c.out)
                   : newBytesOf(c, data.data, data.length);
    std::free(data.data);
    return ok;
}

bool writeFile(const Call& c) {
    if (c.count != 2 || !filePath(c.args[0])) return fileByPython(c, LibCode::writeText);
    if (!isStr(c.args[1])) {
        char type[64];
        size_t n = typeNameOf(c.args[1], type, sizeof type);
        failKindFormat(c.ctx, c.site, errors::Kind::TypeError,
                       "write() argument must be str, not %.*s", int(n), type);
        return false;
    }
    value::Str* path = c.args[0].as<value::Str>();
    value::Str* text = c.args[1].as<value::Str>();
    if (Status s = osio::writeFile(reinterpret_cast<const char*>(path->bytes()), path->length,
                                   text->bytes(), text->length, c.flag & 1);
        s != Status::ok)
        return osFail(c.ctx, c.site, s, pathOf(c, 0));
    *c.out = Value::pint(int64_t(text->chars));
    return true;
}

bool makedirs(const Call& c) {
    if (c.count < 1 || c.count > 3 || !filePath(c.args[0])) return python(c);
    uint32_t mode = kDefaultDirMode;
    if (c.count >= 2) {
        if (!value::smallIntTag(c.args[1].tag)) return python(c);
        mode = uint32_t(uint64_t(int64_t(c.args[1].payload) % 010000 + 010000) % 010000);
    }
    bool existOk = c.count == 3 && value::truthy(c.args[2]);
    if (value::faulted()) return python(c);
    value::Str* path = c.args[0].as<value::Str>();
    if (Status s = osio::makedirs(reinterpret_cast<const char*>(path->bytes()), path->length, mode,
                                  existOk);
        s != Status::ok)
        return osFail(c.ctx, c.site, s, pathOf(c, 0));
    *c.out = Value::none();
    return true;
}

bool chmod(const Call& c) {
    if (c.count != 2 || !filePath(c.args[0]) || !value::smallIntTag(c.args[1].tag))
        return python(c);
    value::Str* path = c.args[0].as<value::Str>();
    uint32_t mode = uint32_t(c.args[1].payload) & kModeBits;
    if (int64_t(c.args[1].payload) < 0) return python(c);
    if (Status s = osio::chmod(reinterpret_cast<const char*>(path->bytes()), path->length, mode);
        s != Status::ok)
        return osFail(c.ctx, c.site, s, pathOf(c, 0));
    *c.out = Value::none();
    return true;
}

bool getsize(const Call& c) {
    if (c.count != 1 || !filePath(c.args[0])) return python(c);
    value::Str* path = c.args[0].as<value::Str>();
    uint64_t size = 0;
    if (Status s = osio::getsize(reinterpret_cast<const char*>(path->bytes()), path->length, &size);
        s != Status::ok)
        return osFail(c.ctx, c.site, s, pathOf(c, 0));
    *c.out = Value::pint(int64_t(size));
    return true;
}

bool replaceFile(const Call& c) {
    if (c.count != 2 || !filePath(c.args[0]) || !filePath(c.args[1])) return python(c);
    value::Str* a = c.args[0].as<value::Str>();
    value::Str* b = c.args[1].as<value::Str>();
    if (Status s = osio::replace(reinterpret_cast<const char*>(a->bytes()), a->length,
                                 reinterpret_cast<const char*>(b->bytes()), b->length);
        s != Status::ok)
        return osFail2(c.ctx, c.site, s, pathOf(c, 0), pathOf(c, 1));
    *c.out = Value::none();
    return true;
}

bool stdinRead(const Call& c) {
    if (c.count != 0) {
        failAs<errors::Kind::TypeError, kReadNoArguments>(c.ctx, c.site);
        return false;
    }
    value::claimLock(&kStdinAt);
    PyObject* in = PySys_GetObject("stdin");
    if (!in || in == Py_None) {
        failAs<errors::Kind::RuntimeError, kLostStdin>(c.ctx, c.site);
        return false;
    }
    return pythonResult(c.ctx, c.site, PyObject_CallMethod(in, "read", nullptr), c.out);
}

bool dispatch(const Call& c, LibCode code) {
    switch (code) {
    case LibCode::bytes: return bytesCall(c);
    case LibCode::bytesFromhex: return fromhex(c);
    case LibCode::intFromBytes: return fromBytes(c);
    case LibCode::structUnpack: return unpack(c, false);
    case LibCode::structUnpackFrom: return unpack(c, true);
    case LibCode::structPack: return pack(c);
    case LibCode::crc32: return checksum(c, true);
    case LibCode::adler32: return checksum(c, false);
    case LibCode::getenv: return getenv(c);
    case LibCode::getcwd: return getcwd(c);
    case LibCode::isfile:
    case LibCode::isdir:
    case LibCode::exists: return kindTest(c, code);
    case LibCode::realpath: return realpath(c);
    case LibCode::readText: return readFile(c, true);
    case LibCode::readBytes: return readFile(c, false);
    case LibCode::stdinRead: return stdinRead(c);
    case LibCode::writeText: return writeFile(c);
    case LibCode::makedirs: return makedirs(c);
    case LibCode::chmod: return chmod(c);
    case LibCode::getsize: return getsize(c);
    case LibCode::replace: return replaceFile(c);
    case LibCode::time:
        if (c.count != 0) return python(c);
        *c.out = Value::real(osio::now());
        return true;
    case LibCode::pythonOnly:
    default: return python(c);
    }
}

}  // namespace

}  // namespace wuna::helpers

using wuna::helpers::Ctx;
using wuna::value::Value;

extern "C" {

bool wn_lib(void* c, int32_t site, int32_t code, int64_t function, void* args, int64_t count,
            int32_t flag, void* out) {
    wuna::helpers::Call call{static_cast<Ctx*>(c), site,          function,
                             static_cast<const Value*>(args),     uint64_t(count),
                             flag,                                static_cast<Value*>(out)};
    auto lib = code >= 0 && code < wuna::helpers::kLibCodes ? wuna::helpers::LibCode(code)
                                                            : wuna::helpers::LibCode::pythonOnly;
    return wuna::helpers::dispatch(call, lib);
}

bool wn_utf8_len(void* c, int32_t site, int64_t tag, int64_t payload, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    Value v = Value::words(tag, payload);
    if (v.tag == wuna::value::TagStr) {
        *static_cast<Value*>(out) = Value::pint(int64_t(v.as<wuna::value::Str>()->length));
        return true;
    }
    wuna::helpers::claimAt(&wuna::helpers::kUtf8LenAt, site, nullptr);
    PyObject* o = nullptr;
    if (!wuna::helpers::objects(ctx, site, &v, 1, &o)) {
        wuna::bridge::failFromPython(ctx, site);
        return false;
    }
    PyObject* encoded = PyObject_CallMethod(o, "encode", "s", "utf-8");
    Py_DECREF(o);
    Py_ssize_t n = encoded ? PyObject_Size(encoded) : -1;
    Py_XDECREF(encoded);
    if (n < 0) {
        wuna::bridge::failFromPython(ctx, site);
        return false;
    }
    *static_cast<Value*>(out) = Value::pint(int64_t(n));
    return true;
}

}  // extern "C"
