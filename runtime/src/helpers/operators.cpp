// Binary and unary operators on native values (see operators.h).
#include "wuna/runtime/helpers/operators.h"

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "wuna/runtime/convert.h"
#include "wuna/runtime/equal.h"
#include "wuna/runtime/errors.h"
#include "wuna/runtime/helpers/crossings.h"
#include "wuna/runtime/helpers/helpers.h"
#include "wuna/runtime/helpers/libm.h"
#include "wuna/runtime/helpers/printf.h"
#include "wuna/runtime/helpers/pycall.h"
#include "wuna/runtime/helpers/run.h"
#include "wuna/runtime/helpers/table.h"
#include "wuna/runtime/pool.h"
#include "wuna/runtime/set.h"
#include "wuna/runtime/value.h"

namespace wuna::helpers {

using value::i128;
using value::Value;
using u128 = unsigned __int128;

namespace {

constexpr gil::Location kPythonBinary{"helpers", "runtime/src/helpers/operators.cpp",
                                      "pythonBinary", 0, 0};
constexpr gil::Location kPythonInplace{"helpers", "runtime/src/helpers/operators.cpp",
                                       "wn_inplace", 0, 0};
constexpr gil::Location kPythonUnary{"helpers", "runtime/src/helpers/operators.cpp", "wn_unary",
                                     0, 0};

// ---- The operator table ---------------------------------------------------------------------

using PyBinary = PyObject* (*)(PyObject*, PyObject*);

PyObject* power(PyObject* a, PyObject* b) { return PyNumber_Power(a, b, Py_None); }
PyObject* inplacePower(PyObject* a, PyObject* b) { return PyNumber_InPlacePower(a, b, Py_None); }

struct BinaryInfo {
    const char* name;      // in crossing texts
    const char* inplace;   // the augmented assignment's symbol, in messages
    PyBinary python;       // Python's operator
    PyBinary pythonInPlace;
};

constexpr BinaryInfo kBinary[] = {
    {"add", "+=", PyNumber_Add, PyNumber_InPlaceAdd},
    {"sub", "-=", PyNumber_Subtract, PyNumber_InPlaceSubtract},
    {"mul", "*=", PyNumber_Multiply, PyNumber_InPlaceMultiply},
    {"div", "/=", PyNumber_TrueDivide, PyNumber_InPlaceTrueDivide},
    {"floordiv", "//=", PyNumber_FloorDivide, PyNumber_InPlaceFloorDivide},
    {"mod", "%=", PyNumber_Remainder, PyNumber_InPlaceRemainder},
    {"pow", "**=", power, inplacePower},
    {"lshift", "<<=", PyNumber_Lshift, PyNumber_InPlaceLshift},
    {"rshift", ">>=", PyNumber_Rshift, PyNumber_InPlaceRshift},
    {"bitor", "|=", PyNumber_Or, PyNumber_InPlaceOr},
    {"bitxor", "^=", PyNumber_Xor, PyNumber_InPlaceXor},
    {"bitand", "&=", PyNumber_And, PyNumber_InPlaceAnd},
};
static_assert(std::size(kBinary) == size_t(BinaryOp::count));

using PyUnary = PyObject* (*)(PyObject*);
// Python's unary operators by code; not is never handed over.
constexpr PyUnary kUnary[] = {PyNumber_Negative, PyNumber_Positive, nullptr, PyNumber_Invert};
static_assert(std::size(kUnary) == size_t(UnaryOp::count));

// ---- Fixed failures -------------------------------------------------------------------------

constexpr char kDivisionByZero[] = "division by zero";
constexpr char kIntDivisionByZero[] = "integer division or modulo by zero";
constexpr char kIntModuloByZero[] = "integer modulo by zero";
constexpr char kFloatDivisionByZero[] = "float division by zero";
constexpr char kFloatFloorByZero[] = "float floor division by zero";
constexpr char kFloatModulo[] = "float modulo";
constexpr char kFloatModuloByZero[] = "float modulo by zero";
constexpr char kZeroNegativePower[] = "0.0 cannot be raised to a negative power";
constexpr char kZeroToNegative[] = "zero to a negative power";
constexpr char kNegativeShift[] = "negative shift count";
constexpr char kRangeText[] = "(34, 'Numerical result out of range')";
constexpr char kRangeMessage[] = "OverflowError: (34, 'Numerical result out of range')";
constexpr char kBadOperator[] = "wuna: an operator code out of range (a wuna bug)";

// Since 3.14 every division by zero reads "division by zero".
const char* sinceUnified(const char* older) {
    return python_minor >= 14 ? kDivisionByZero : older;
}

// A failure whose exception text (what a handler reads) differs from the run's message. Cannot
// fail.
void failWorded(Ctx* ctx, int32_t site, errors::Kind kind, const char* text, const char* message) {
    if (ctx->failing) return;
    ctx->kind = uint8_t(kind);
    ctx->kindSet = 1;
    setKindMessage(ctx, text, std::strlen(text));
    fail(ctx, site, message, std::strlen(message));
}

// The exception keeps Python's text, while the run's failure reads "division by zero", as the
// reference mode words every division error.
void failZeroDivision(Ctx* ctx, int32_t site, const char* text) {
    failWorded(ctx, site, errors::Kind::ZeroDivisionError, text, kDivisionByZero);
}

// Python 3.11 gave int modulo its own text; floor division keeps the older one.
void failIntZeroDivision(Ctx* ctx, int32_t site, BinaryOp op) {
    bool modulo = op == BinaryOp::mod && python_minor >= 11;
    failZeroDivision(ctx, site, sinceUnified(modulo ? kIntModuloByZero : kIntDivisionByZero));
}

const char* floatModuloText() {
    if (python_minor >= 14) return kDivisionByZero;
    return python_minor == 13 ? kFloatModuloByZero : kFloatModulo;
}

// The float power's range error: the exception's text differs from the failure's message,
// which names the class as a runtime error does for this family.
void failRange(Ctx* ctx, int32_t site) {
    failWorded(ctx, site, errors::Kind::OverflowError, kRangeText, kRangeMessage);
}

// ---- Operand classes ------------------------------------------------------------------------

inline bool intLike(const Value& v) { return value::smallIntTag(v.tag); }
inline bool intOrWide(const Value& v) { return intLike(v) || v.tag == value::TagBig; }
inline bool number(const Value& v) { return intLike(v) || v.tag == value::TagFloat; }
inline bool checkedInt(const Value& a, const Value& b) {
    return a.tag == value::TagInt || b.tag == value::TagInt;
}
inline bool immutableBytes(const Value& v) {
    return v.tag == value::TagBytes && (v.as<value::Bytes>()->h.flags & value::FlagImmutable);
}
inline bool sequence(const Value& v) {
    return v.tag == value::TagStr || v.tag == value::TagList || v.tag == value::TagTuple;
}

inline double toDouble(const Value& v) {
    if (v.tag == value::TagFloat) return value::asDouble(v.payload);
    if (v.tag == value::TagBig) return double(v.as<value::Big>()->get());
    return double(int64_t(v.payload));
}

inline i128 toWide(const Value& v) {
    i128 w = 0;
    (void)value::wide(v, &w);
    return w;
}

// An int result: checked (tag 2) when a checked int took part, where it must fit 64 bits;
// else tag 18 or a big int.
bool storeInt(Ctx* ctx, int32_t site, bool checked, i128 r, Value* out) {
    if (checked) {
        if (r < INT64_MIN || r > INT64_MAX) {
            failOverflow(ctx, site);
            return false;
        }
        *out = Value::integer(int64_t(r));
        return true;
    }
    if (value::intValue(r, out)) return true;
    failOutOfMemory(ctx, site);
    return false;
}

// Quotient and remainder rounded toward minus infinity (r is not 0, and not -1 with the
// least value of the type).
template <class T>
void floorDivMod(T l, T r, T* q, T* m) {
    T quotient = l / r;
    T rem = l % r;
    if (rem != 0 && ((rem < 0) != (r < 0))) {
        quotient -= 1;
        rem += r;
    }
    *q = quotient;
    *m = rem;
}

// ---- Floats ---------------------------------------------------------------------------------

inline bool oddInteger(double y) { return std::fmod(std::fabs(y), 2.0) == 1.0; }

// CPython's float floor division and modulo: the quotient is derived from fmod's exact
// remainder (floor(x / y) would round 1 // 0.1 up to 10.0), and a zero keeps a sign.
double floatFloorDiv(double x, double y) {
    double mod = std::fmod(x, y);
    double div = (x - mod) / y;
    if (mod != 0.0 && ((y < 0) != (mod < 0))) div -= 1.0;
    if (div == 0.0) return std::copysign(0.0, x / y);
    double floored = std::floor(div);
    if (div - floored > 0.5) floored += 1.0;
    return floored;
}

// A zero remainder takes the divisor's sign, as Python gives it: -4.0 % 2.0 is 0.0.
double floatMod(double x, double y) {
    double mod = std::fmod(x, y);
    if (mod == 0.0) return std::copysign(0.0, y);
    if ((y < 0) != (mod < 0)) mod += y;
    return mod;
}

// Ops 0 to 5 on two doubles. True with *out, false with the failure recorded.
bool floatArith(Ctx* ctx, int32_t site, BinaryOp op, double x, double y, Value* out) {
    double r = 0;
    switch (op) {
    case BinaryOp::add: r = x + y; break;
    case BinaryOp::sub: r = x - y; break;
    case BinaryOp::mul: r = x * y; break;
    case BinaryOp::div:
        if (y == 0.0) {
            failZeroDivision(ctx, site, sinceUnified(kFloatDivisionByZero));
            return false;
        }
        r = x / y;
        break;
    case BinaryOp::floordiv:
        if (y == 0.0) {
            failZeroDivision(ctx, site, sinceUnified(kFloatFloorByZero));
            return false;
        }
        r = floatFloorDiv(x, y);
        break;
    default:
        if (y == 0.0) {
            failZeroDivision(ctx, site, floatModuloText());
            return false;
        }
        r = floatMod(x, y);
        break;
    }
    *out = Value::real(r);
    return true;
}

// ---- Int-like with int-like -----------------------------------------------------------------

// Python divides ints with one rounding; two doubles divide exactly so only while both are
// exact doubles (2^53 at most), beyond which Python decides.
constexpr int64_t kExactDouble = int64_t(1) << 53;

enum class Path : uint8_t { done, failed, next };

inline Path pathOf(bool ok) { return ok ? Path::done : Path::failed; }

Path smallIntBinary(Ctx* ctx, int32_t site, BinaryOp op, const Value& left, const Value& right,
                    Value* out) {
    int64_t l = int64_t(left.payload), r = int64_t(right.payload);
    bool checked = checkedInt(left, right);
    int64_t result = 0;
    switch (op) {
    case BinaryOp::add:
    case BinaryOp::sub:
    case BinaryOp::mul: {
        bool overflow = op == BinaryOp::add   ? __builtin_add_overflow(l, r, &result)
                        : op == BinaryOp::sub ? __builtin_sub_overflow(l, r, &result)
                                              : __builtin_mul_overflow(l, r, &result);
        if (!overflow) return pathOf(storeInt(ctx, site, checked, result, out));
        if (checked) return pathOf(wn_overflow(ctx, site));
        return pathOf(wideBinary(ctx, site, op, &left, &right, out));
    }
    case BinaryOp::div:
        if (r == 0) {
            failZeroDivision(ctx, site, kDivisionByZero);
            return Path::failed;
        }
        if (l < -kExactDouble || l > kExactDouble || r < -kExactDouble || r > kExactDouble)
            return Path::next;
        *out = Value::real(double(l) / double(r));
        return Path::done;
    case BinaryOp::floordiv:
    case BinaryOp::mod: {
        if (r == 0) {
            failIntZeroDivision(ctx, site, op);
            return Path::failed;
        }
        if (l == INT64_MIN && r == -1) {
            if (op == BinaryOp::mod) return pathOf(storeInt(ctx, site, checked, 0, out));
            if (checked) return pathOf(wn_overflow(ctx, site));
            return pathOf(wideBinary(ctx, site, op, &left, &right, out));
        }
        int64_t q = 0, m = 0;
        floorDivMod(l, r, &q, &m);
        return pathOf(storeInt(ctx, site, checked, op == BinaryOp::mod ? m : q, out));
    }
    case BinaryOp::lshift:
    case BinaryOp::rshift:
        if (r < 0) {
            failAs<errors::Kind::ValueError, kNegativeShift>(ctx, site);
            return Path::failed;
        }
        return pathOf(wideBinary(ctx, site, op, &left, &right, out));
    case BinaryOp::bitor_:
    case BinaryOp::bitxor:
    case BinaryOp::bitand_:
        result = op == BinaryOp::bitor_ ? (l | r) : op == BinaryOp::bitxor ? (l ^ r) : (l & r);
        if (left.tag == value::TagBool && right.tag == value::TagBool) {
            *out = Value::boolean(result != 0);
            return Path::done;
        }
        return pathOf(storeInt(ctx, site, checked, result, out));
    default: return Path::next;  // pow: declined by the power path
    }
}

// ---- Power ----------------------------------------------------------------------------------

// Square and multiply on 128 bits; false when a step overflowed.
bool widePower(i128 base, i128 exponent, i128* out) {
    i128 result = 1;
    while (exponent > 0) {
        if ((exponent & 1) && __builtin_mul_overflow(result, base, &result)) return false;
        if (exponent < 2) break;
        if (__builtin_mul_overflow(base, base, &base)) return false;
        exponent >>= 1;
    }
    *out = result;
    return true;
}

Path intPower(Ctx* ctx, int32_t site, const Value& left, const Value& right, Value* out) {
    i128 base = toWide(left), exponent = toWide(right);
    bool checked = checkedInt(left, right);
    if (exponent == 0) return pathOf(storeInt(ctx, site, checked, 1, out));
    if (exponent < 0) {
        PowOutcome p = floatPow(ctx, site, out, double(base), double(exponent));
        return p.handled ? pathOf(p.ok) : Path::next;
    }
    i128 result = 0;
    bool finished = widePower(base, exponent, &result);
    if (checked) {
        if (!finished) return pathOf(wn_overflow(ctx, site));
        return pathOf(storeInt(ctx, site, true, result, out));
    }
    if (!finished) return Path::next;
    return pathOf(storeInt(ctx, site, false, result, out));
}

// ---- Sets -----------------------------------------------------------------------------------

Path setBinary(Ctx* ctx, int32_t site, BinaryOp op, value::Set* a, value::Set* b, Value* out) {
    value::Set* result = nullptr;
    switch (op) {
    case BinaryOp::sub: result = set::difference(a, b); break;
    case BinaryOp::bitor_:
        result = set::make();
        if (result && (!set::merge(result, a) || !set::merge(result, b))) {
            value::decref(value::TagSet, uint64_t(uintptr_t(result)));
            result = nullptr;
        }
        break;
    case BinaryOp::bitxor: result = set::symmetricDifference(a, b); break;
    case BinaryOp::bitand_: result = set::intersection(a, b); break;
    default: return Path::next;
    }
    // A comparison that raised while the elements were matched fails the operation.
    if (bridge::failFromFault(ctx, site)) {
        if (result) value::decref(value::TagSet, uint64_t(uintptr_t(result)));
        return Path::failed;
    }
    if (!result) {
        failOutOfMemory(ctx, site);
        return Path::failed;
    }
    *out = Value::of(value::TagSet, result);
    return Path::done;
}

// The longest result a repetition makes natively, in bytes or items; beyond it Python decides
// (it may have the memory, or fail in its own words).
constexpr uint64_t kRepeatLimit = uint64_t(1) << 31;

// ---- Bytes ----------------------------------------------------------------------------------

bool newBytes(Ctx* ctx, int32_t site, uint64_t length, value::Bytes** out) {
    value::Bytes* b = value::newOwnedBytes(length);
    if (!b) {
        failOutOfMemory(ctx, site);
        return false;
    }
    *out = b;
    return true;
}

// Copies count repetitions of n bytes at data to dest.
void repeatBytes(uint8_t* dest, const uint8_t* data, uint64_t n, uint64_t count) {
    if (!n) return;
    for (uint64_t i = 0; i < count; i++) std::memcpy(dest + i * n, data, size_t(n));
}

// max(n, 0) for a repetition count.
inline uint64_t repeatCount(const Value& v) {
    int64_t n = int64_t(v.payload);
    return n < 0 ? 0 : uint64_t(n);
}

Path bytesBinary(Ctx* ctx, int32_t site, BinaryOp op, const Value& left, const Value& right,
                 Value* out) {
    value::Bytes* result = nullptr;
    if (op == BinaryOp::add && immutableBytes(left) && immutableBytes(right)) {
        auto *a = left.as<value::Bytes>(), *b = right.as<value::Bytes>();
        if (!newBytes(ctx, site, a->length + b->length, &result)) return Path::failed;
        if (a->length) std::memcpy(result->data, a->data, size_t(a->length));
        if (b->length) std::memcpy(result->data + a->length, b->data, size_t(b->length));
        *out = Value::of(value::TagBytes, result);
        return Path::done;
    }
    if (op != BinaryOp::mul) return Path::next;
    const Value* data = immutableBytes(left) && intLike(right)   ? &left
                        : immutableBytes(right) && intLike(left) ? &right
                                                                 : nullptr;
    if (!data) return Path::next;
    auto* b = data->as<value::Bytes>();
    uint64_t count = repeatCount(data == &left ? right : left);
    // Past the repetition limit Python decides, in its own words ("repeated bytes are too
    // long", a MemoryError) rather than a bare "out of memory".
    if (b->length && count > (b->length > kRepeatLimit ? 0 : kRepeatLimit / b->length))
        return Path::next;
    uint64_t total = b->length * count;
    if (!newBytes(ctx, site, total, &result)) return Path::failed;
    repeatBytes(result->data, b->data, b->length, count);
    *out = Value::of(value::TagBytes, result);
    return Path::done;
}

// ---- Text and sequences ---------------------------------------------------------------------

ItemRun runOf(const Value& v) {
    if (v.tag == value::TagList) {
        auto* l = v.as<value::List>();
        return {l->items, l->count};
    }
    auto* t = v.as<value::Tuple>();
    return {t->items(), t->count};
}

// A new str of the text in a C-heap buffer, which is freed.
bool strOfBuffer(Ctx* ctx, int32_t site, uint8_t* buffer, uint64_t length, Value* out) {
    value::Str* s = value::newStr(buffer, size_t(length));
    std::free(buffer);
    if (!s) {
        failOutOfMemory(ctx, site);
        return false;
    }
    *out = Value::of(value::TagStr, s);
    return true;
}

bool joinStrs(Ctx* ctx, int32_t site, value::Str* a, value::Str* b, Value* out) {
    uint64_t total = a->length + b->length;
    auto* buffer = static_cast<uint8_t*>(std::malloc(total ? size_t(total) : 1));
    if (!buffer) {
        failOutOfMemory(ctx, site);
        return false;
    }
    if (a->length) std::memcpy(buffer, a->bytes(), size_t(a->length));
    if (b->length) std::memcpy(buffer + a->length, b->bytes(), size_t(b->length));
    return strOfBuffer(ctx, site, buffer, total, out);
}

bool repeatStr(Ctx* ctx, int32_t site, value::Str* s, uint64_t count, Value* out) {
    uint64_t total = s->length * count;
    auto* buffer = static_cast<uint8_t*>(std::malloc(total ? size_t(total) : 1));
    if (!buffer) {
        failOutOfMemory(ctx, site);
        return false;
    }
    repeatBytes(buffer, s->bytes(), s->length, count);
    return strOfBuffer(ctx, site, buffer, total, out);
}

Path sequenceBinary(Ctx* ctx, int32_t site, BinaryOp op, const Value& left, const Value& right,
                    Value* out) {
    if (op == BinaryOp::add) {
        if (left.tag != right.tag) return Path::next;
        if (left.tag == value::TagStr)
            return pathOf(joinStrs(ctx, site, left.as<value::Str>(), right.as<value::Str>(), out));
        if (left.tag != value::TagList && left.tag != value::TagTuple) return Path::next;
        ItemRun runs[2] = {runOf(left), runOf(right)};
        return pathOf(sequenceOf(ctx, site, left.tag, runs, 2, 1, out));
    }
    if (op == BinaryOp::mod) {
        if (left.tag != value::TagStr) return Path::next;
        switch (percentFormat(ctx, site, left.as<value::Str>(), right, out)) {
        case Printf::done: return Path::done;
        case Printf::failed: return Path::failed;
        case Printf::declined: return Path::next;
        }
    }
    if (op != BinaryOp::mul) return Path::next;
    const Value* seq = sequence(left) && intLike(right)   ? &left
                       : sequence(right) && intLike(left) ? &right
                                                          : nullptr;
    if (!seq) return Path::next;
    uint64_t count = repeatCount(seq == &left ? right : left);
    uint64_t length =
        seq->tag == value::TagStr ? seq->as<value::Str>()->length : runOf(*seq).count;
    if (length && count > (length > kRepeatLimit ? 0 : kRepeatLimit / length)) return Path::next;
    if (seq->tag == value::TagStr)
        return pathOf(repeatStr(ctx, site, seq->as<value::Str>(), count, out));
    ItemRun run = runOf(*seq);
    return pathOf(sequenceOf(ctx, site, seq->tag, &run, 1, count, out));
}

// ---- wn_binary's native paths ---------------------------------------------------------------

Path nativeBinary(Ctx* ctx, int32_t site, BinaryOp op, const Value& left, const Value& right,
                  Value* out) {
    if (left.tag == value::TagSet && right.tag == value::TagSet)
        return setBinary(ctx, site, op, left.as<value::Set>(), right.as<value::Set>(), out);
    if (left.tag == value::TagBytes || right.tag == value::TagBytes) {
        Path p = bytesBinary(ctx, site, op, left, right, out);
        if (p != Path::next) return p;
    }
    if (op == BinaryOp::pow) {
        if (intOrWide(left) && intOrWide(right)) return intPower(ctx, site, left, right, out);
        bool floats = (left.tag == value::TagFloat && (intOrWide(right) || right.tag == value::TagFloat)) ||
                      (right.tag == value::TagFloat && intOrWide(left));
        if (!floats) return Path::next;
        PowOutcome p = floatPow(ctx, site, out, toDouble(left), toDouble(right));
        return p.handled ? pathOf(p.ok) : Path::next;
    }
    if (intOrWide(left) && intOrWide(right)) {
        if (left.tag == value::TagBig || right.tag == value::TagBig)
            return pathOf(wideBinary(ctx, site, op, &left, &right, out));
        return smallIntBinary(ctx, site, op, left, right, out);
    }
    if (number(left) && number(right)) {
        if (op > BinaryOp::mod) return Path::next;
        return pathOf(floatArith(ctx, site, op, toDouble(left), toDouble(right), out));
    }
    if (sequence(left) || sequence(right)) return sequenceBinary(ctx, site, op, left, right, out);
    return Path::next;
}

bool binary(Ctx* ctx, int32_t site, BinaryOp op, const Value& left, const Value& right,
            Value* out) {
    switch (nativeBinary(ctx, site, op, left, right, out)) {
    case Path::done: return true;
    case Path::failed: return false;
    case Path::next: break;
    }
    return pythonBinary(ctx, site, op, &left, &right, out);
}


// Python's operator fn on the two converted operands; the result converted back.
bool pythonOperator(Ctx* ctx, int32_t site, PyBinary fn,
                    const Value& left, const Value& right, Value* out) {
    Value operands[2] = {left, right};
    PyObject* objs[2] = {nullptr, nullptr};
    if (!objects(ctx, site, operands, 2, objs)) {
        bridge::failFromPython(ctx, site);
        return false;
    }
    PyObject* result = fn(objs[0], objs[1]);
    Py_DECREF(objs[0]);
    Py_DECREF(objs[1]);
    return pythonResult(ctx, site, result, out);
}

bool badOperator(Ctx* ctx, int32_t site) {
    fail(ctx, site, kBadOperator, sizeof kBadOperator - 1);
    return false;
}

// ---- In place -------------------------------------------------------------------------------

// The items list += takes from its right operand, each with a reference, in a C-heap array
// (so that x += x reads x before it grows). Natively for lists, tuples, dicts (keys), sets
// and bytes; anything else through Python's list(). True with *items and *count (the caller
// frees the array after releasing the items), or false with the failure recorded.
bool itemsToAppend(Ctx* ctx, int32_t site, const Value& right, Value** items, uint64_t* count) {
    Value owned = Value::none();
    const Value* source = &right;
    if (right.tag != value::TagList && right.tag != value::TagTuple && right.tag != value::TagDict &&
        right.tag != value::TagSet && !immutableBytes(right)) {
        if (!pythonItems(ctx, site, right, &owned)) return false;
        // A list only Python held comes back native; anything else is a wuna bug's mark.
        if (owned.tag != value::TagList) {
            value::decref(owned);
            return badOperator(ctx, site);
        }
        source = &owned;
    }
    uint64_t n = 0;
    switch (source->tag) {
    case value::TagList: n = source->as<value::List>()->count; break;
    case value::TagTuple: n = source->as<value::Tuple>()->count; break;
    case value::TagDict: n = source->as<value::Dict>()->length; break;
    case value::TagSet: n = source->as<value::Set>()->used; break;
    default: n = source->as<value::Bytes>()->length; break;
    }
    auto* array = static_cast<Value*>(n > SIZE_MAX / sizeof(Value) ? nullptr
                                                                   : std::malloc(size_t(n ? n : 1) * sizeof(Value)));
    if (!array) {
        value::decref(owned);
        failOutOfMemory(ctx, site);
        return false;
    }
    uint64_t k = 0;
    switch (source->tag) {
    case value::TagList:
    case value::TagTuple: {
        ItemRun run = runOf(*source);
        for (uint64_t i = 0; i < run.count; i++) array[k++] = run.items[i];
        break;
    }
    case value::TagDict: {
        auto* d = source->as<value::Dict>();
        for (uint64_t i = 0; i < d->used; i++)
            if (d->entries[i].key.tag != value::TagDeleted) array[k++] = d->entries[i].key;
        break;
    }
    case value::TagSet: {
        auto* s = source->as<value::Set>();
        for (uint64_t i = 0; i <= s->mask; i++) {
            uint64_t tag = s->table[i].key.tag;
            if (tag != value::TagUnset && tag != value::TagDeleted) array[k++] = s->table[i].key;
        }
        break;
    }
    default: {
        auto* b = source->as<value::Bytes>();
        for (uint64_t i = 0; i < b->length; i++) array[k++] = Value::pint(b->data[i]);
        break;
    }
    }
    for (uint64_t i = 0; i < k; i++) value::incref(array[i]);
    value::decref(owned);
    *items = array;
    *count = k;
    return true;
}

bool listExtend(Ctx* ctx, int32_t site, const Value& target, const Value& right, Value* out) {
    Value* items = nullptr;
    uint64_t n = 0;
    if (!itemsToAppend(ctx, site, right, &items, &n)) return false;
    auto* list = target.as<value::List>();
    uint64_t i = 0;
    // The list takes each item's reference as it is appended.
    while (i < n && value::listAppend(list, items[i])) i++;
    bool ok = i == n;
    for (; i < n; i++) value::decref(items[i]);
    std::free(items);
    if (!ok) {
        failOutOfMemory(ctx, site);
        return false;
    }
    value::incref(target);
    *out = target;
    return true;
}

bool dictUpdate(Ctx* ctx, int32_t site, const Value& target, const Value& right, Value* out) {
    auto* d = target.as<value::Dict>();
    if (right.tag == value::TagDict) {
        auto* other = right.as<value::Dict>();
        // d |= d stores each key over itself: the entries never move while they are read.
        for (uint64_t i = 0; i < other->used; i++) {
            value::DictEntry e = other->entries[i];
            if (e.key.tag == value::TagDeleted) continue;
            if (!value::dictSet(d, e.key, e.value)) {
                failOutOfMemory(ctx, site);
                return false;
            }
        }
        if (bridge::failFromFault(ctx, site)) return false;
    } else {
        // Any other mapping or iterable of pairs: the dict's own update, on its shared form.
        countHandOver(ctx, "method", target, "update", nullptr);
        PyObject* objs[2] = {nullptr, nullptr};
        Value operands[2] = {target, right};
        if (!objects(ctx, site, operands, 2, objs)) {
            bridge::failFromPython(ctx, site);
            return false;
        }
        PyObject* result = PyObject_CallMethod(objs[0], "update", "O", objs[1]);
        Py_DECREF(objs[0]);
        Py_DECREF(objs[1]);
        if (!result) {
            bridge::failFromPython(ctx, site);
            return false;
        }
        Py_DECREF(result);
    }
    value::incref(target);
    *out = target;
    return true;
}

// A native set laid out as a Python set or frozenset is: the same slots, hashes and dummies,
// each element converted. So the set algebra below meets the elements in the order Python's
// own would. New set (count 1), or null with the Python exception or "out of memory"
// recorded. The lock is held.
value::Set* mirrorSet(Ctx* ctx, int32_t site, PyObject* o) {
    auto* py = reinterpret_cast<PySetObject*>(o);
    value::Set* s = set::withTable(uint64_t(py->mask) + 1);
    if (!s) {
        failOutOfMemory(ctx, site);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i <= py->mask; i++) {
        setentry* e = &py->table[i];
        if (!e->key) continue;
        if (e->hash == -1) {
            s->table[i] = value::SetSlot{Value{value::TagDeleted, 0}, -1};
            continue;
        }
        Value key{};
        if (convert::convert(e->key, false, &key) < 0) {
            value::decref(value::TagSet, uint64_t(uintptr_t(s)));
            bridge::failFromPython(ctx, site);
            return nullptr;
        }
        s->table[i] = value::SetSlot{key, int64_t(e->hash)};
        s->used++;
    }
    s->fill = uint64_t(py->fill);
    return s;
}

bool setUpdate(value::Set* s, value::Set* other, BinaryOp op) {
    switch (op) {
    case BinaryOp::sub: return set::differenceUpdate(s, other);
    case BinaryOp::bitor_: return set::merge(s, other);
    case BinaryOp::bitxor: return set::symmetricUpdate(s, other);
    default: return set::intersectionUpdate(s, other);
    }
}

bool failSetOperand(Ctx* ctx, int32_t site, BinaryOp op, const Value& right) {
    static constexpr char head[] = "unsupported operand type(s) for ";
    static constexpr char middle[] = ": 'set' and '";
    char text[sizeof head + sizeof middle + kCrossingNameMax + 8];
    size_t n = 0;
    auto put = [&](const char* s, size_t k) {
        std::memcpy(text + n, s, k);
        n += k;
    };
    put(head, sizeof head - 1);
    put(kBinary[uint32_t(op)].inplace, std::strlen(kBinary[uint32_t(op)].inplace));
    put(middle, sizeof middle - 1);
    n += crossingTypeName(right, text + n);
    put("'", 1);
    failKind(ctx, site, errors::Kind::TypeError, text, n);
    return false;
}

// Python's in-place operator on converted operands: the result is a new value (a converted
// target is a copy or a shared form, so Python changed the target itself where it could).
bool pythonInPlace(Ctx* ctx, int32_t site, BinaryOp op, const Value& target, const Value& right,
                   Value* out) {
    countHandOver(ctx, "binary", target, kBinary[uint32_t(op)].name, &right);
    return pythonOperator(ctx, site, kBinary[uint32_t(op)].pythonInPlace, target,
                          right, out);
}

bool setInPlace(Ctx* ctx, int32_t site, BinaryOp op, const Value& target, const Value& right,
                Value* out) {
    auto* s = target.as<value::Set>();
    value::Set* other = nullptr;
    bool mirrored = false;
    if (right.tag == value::TagSet) {
        other = right.as<value::Set>();
    } else if (right.tag == value::TagPy) {
        value::claimLock(&kPythonInplace);
        if (!PyAnySet_Check(right.as<PyObject>()))
            return pythonInPlace(ctx, site, op, target, right, out);
        other = mirrorSet(ctx, site, right.as<PyObject>());
        if (!other) return false;
        mirrored = true;
    } else if (right.tag == value::TagRecord) {
        // A record is a Python object of the program's class, which may define the operator.
        return pythonInPlace(ctx, site, op, target, right, out);
    } else {
        return failSetOperand(ctx, site, op, right);
    }
    bool ok = setUpdate(s, other, op);
    if (mirrored) value::decref(value::TagSet, uint64_t(uintptr_t(other)));
    if (bridge::failFromFault(ctx, site)) return false;
    if (!ok) {
        failOutOfMemory(ctx, site);
        return false;
    }
    value::incref(target);
    *out = target;
    return true;
}

// ---- Unary ----------------------------------------------------------------------------------

bool pythonUnary(Ctx* ctx, int32_t site, UnaryOp op, const Value& v, Value* out) {
    static constexpr const char* names[] = {"neg", "pos", "not", "invert"};
    countHandOver(ctx, "unary", v, names[uint32_t(op)], nullptr);
    PyObject* obj = nullptr;
    if (!objects(ctx, site, &v, 1, &obj)) {
        bridge::failFromPython(ctx, site);
        return false;
    }
    PyObject* result = kUnary[uint32_t(op)](obj);
    Py_DECREF(obj);
    return pythonResult(ctx, site, result, out);
}

}  // namespace

// ---- Shared paths ---------------------------------------------------------------------------

PowOutcome floatPow(Ctx* ctx, int32_t site, Value* out, double x, double y) {
    constexpr PowOutcome kOk{1, 1}, kFailed{0, 1}, kDeclined{0, 0};
    auto give = [&](double r) {
        *out = Value::real(r);
        return kOk;
    };
    if (y == 0.0) return give(1.0);
    if (std::isnan(x)) return give(x);
    if (std::isnan(y)) return give(x == 1.0 ? 1.0 : y);
    if (std::isinf(y)) {
        double ax = std::fabs(x);
        if (ax == 1.0) return give(1.0);
        return give((ax > 1.0) == (y > 0.0) ? HUGE_VAL : 0.0);
    }
    if (std::isinf(x)) {
        bool odd = oddInteger(y);
        if (y > 0.0) return give(odd ? x : std::fabs(x));
        return give(odd ? std::copysign(0.0, x) : 0.0);
    }
    if (x == 0.0) {
        if (y < 0.0) {
            failZeroDivision(ctx, site, python_minor >= 14 ? kZeroToNegative : kZeroNegativePower);
            return kFailed;
        }
        return give(oddInteger(y) ? x : 0.0);
    }
    bool negate = false;
    if (x < 0.0) {
        if (std::floor(y) != y) return kDeclined;
        x = -x;
        negate = oddInteger(y);
    }
    if (x == 1.0) return give(negate ? -1.0 : 1.0);
    if (!libm_ready) return kDeclined;
    double r = binaryMath(Libm::pow)(x, y);
    if (std::isinf(r)) {
        failRange(ctx, site);
        return kFailed;
    }
    return give(negate ? -r : r);
}

bool wideBinary(Ctx* ctx, int32_t site, BinaryOp op, const Value* left, const Value* right,
                Value* out) {
    i128 l = toWide(*left), r = toWide(*right);
    bool checked = checkedInt(*left, *right);
    i128 result = 0;
    bool representable = true;
    const i128 kMin = i128(u128(1) << 127);
    switch (op) {
    case BinaryOp::add: representable = !__builtin_add_overflow(l, r, &result); break;
    case BinaryOp::sub: representable = !__builtin_sub_overflow(l, r, &result); break;
    case BinaryOp::mul: representable = !__builtin_mul_overflow(l, r, &result); break;
    case BinaryOp::floordiv:
    case BinaryOp::mod: {
        if (r == 0) {
            failIntZeroDivision(ctx, site, op);
            return false;
        }
        if (l == kMin && r == -1) {
            representable = false;
            break;
        }
        i128 q = 0, m = 0;
        floorDivMod(l, r, &q, &m);
        result = op == BinaryOp::mod ? m : q;
        break;
    }
    case BinaryOp::lshift:
        if (r < 0) {
            failAs<errors::Kind::ValueError, kNegativeShift>(ctx, site);
            return false;
        }
        if (r > 126) {
            representable = false;
            break;
        }
        result = i128(u128(l) << int(r));
        representable = (result >> int(r)) == l;
        break;
    case BinaryOp::rshift:
        if (r < 0) {
            representable = false;
            break;
        }
        result = r >= 127 ? (l < 0 ? -1 : 0) : l >> int(r);
        break;
    case BinaryOp::bitor_: result = l | r; break;
    case BinaryOp::bitxor: result = l ^ r; break;
    case BinaryOp::bitand_: result = l & r; break;
    default: representable = false; break;  // div and pow
    }
    if (!representable) return pythonBinary(ctx, site, op, left, right, out);
    return storeInt(ctx, site, checked, result, out);
}

bool pythonBinary(Ctx* ctx, int32_t site, BinaryOp op, const Value* left, const Value* right,
                  Value* out) {
    countHandOver(ctx, "binary", *left, kBinary[uint32_t(op)].name, right);
    Value result{};
    if (!pythonOperator(ctx, site, kBinary[uint32_t(op)].python, *left, *right,
                        &result))
        return false;
    // I64's own operators keep the checked rule; where the module is absent the operands
    // crossed as plain ints, and the rule is applied to what came back.
    // An int past 128 bits stays a Python int (the lock is held since the hand-over).
    bool hugeInt = result.tag == value::TagPy && PyLong_CheckExact(result.as<PyObject>());
    bool plainInt = result.tag == value::TagPint || result.tag == value::TagBig || hugeInt;
    if (!checkedInt(*left, *right) || !plainInt) {
        *out = result;
        return true;
    }
    if (hugeInt) {
        value::decref(result);
        return wn_overflow(ctx, site);
    }
    i128 wide = toWide(result);
    value::decref(result);
    return storeInt(ctx, site, true, wide, out);
}

bool sequenceOf(Ctx* ctx, int32_t site, uint64_t kind, const ItemRun* runs, uint32_t runCount,
                uint64_t n, Value* out) {
    uint64_t once = 0, total = 0;
    for (uint32_t i = 0; i < runCount; i++) once += runs[i].count;
    if (__builtin_mul_overflow(once, n, &total) || total > (UINT64_MAX >> 5)) {
        failOutOfMemory(ctx, site);
        return false;
    }
    if (kind == value::TagTuple) {
        value::Tuple* t = value::newTuple(total);
        if (!t) {
            failOutOfMemory(ctx, site);
            return false;
        }
        Value* slot = t->items();
        for (uint64_t k = 0; k < n; k++)
            for (uint32_t i = 0; i < runCount; i++)
                for (uint64_t j = 0; j < runs[i].count; j++) {
                    value::incref(runs[i].items[j]);
                    *slot++ = runs[i].items[j];
                }
        *out = Value::of(value::TagTuple, t);
        return true;
    }
    value::List* l = value::newList(total);
    bool ok = l != nullptr;
    for (uint64_t k = 0; ok && k < n; k++)
        for (uint32_t i = 0; ok && i < runCount; i++)
            for (uint64_t j = 0; ok && j < runs[i].count; j++) {
                value::incref(runs[i].items[j]);
                ok = value::listAppend(l, runs[i].items[j]);
                if (!ok) value::decref(runs[i].items[j]);
            }
    if (!ok) {
        if (l) value::decref(value::TagList, uint64_t(uintptr_t(l)));
        failOutOfMemory(ctx, site);
        return false;
    }
    *out = Value::of(value::TagList, l);
    return true;
}

extern "C" {

bool wn_overflow(void* c, int32_t site) {
    failOverflow(static_cast<Ctx*>(c), site);
    return false;
}

bool wn_binary(void* c, int32_t site, int32_t op, int64_t leftTag, int64_t leftPayload,
               int64_t rightTag, int64_t rightPayload, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    if (uint32_t(op) >= uint32_t(BinaryOp::count)) return badOperator(ctx, site);
    Value left{uint64_t(leftTag), uint64_t(leftPayload)};
    Value right{uint64_t(rightTag), uint64_t(rightPayload)};
    return binary(ctx, site, BinaryOp(op), left, right, static_cast<Value*>(out));
}

bool wn_inplace(void* c, int32_t site, int32_t op, int64_t leftTag, int64_t leftPayload,
                int64_t rightTag, int64_t rightPayload, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    if (uint32_t(op) >= uint32_t(BinaryOp::count)) return badOperator(ctx, site);
    auto code = BinaryOp(op);
    Value target{uint64_t(leftTag), uint64_t(leftPayload)};
    Value right{uint64_t(rightTag), uint64_t(rightPayload)};
    auto* result = static_cast<Value*>(out);
    switch (target.tag) {
    case value::TagList:
        if (code == BinaryOp::add) return listExtend(ctx, site, target, right, result);
        break;
    case value::TagDict:
        if (code == BinaryOp::bitor_) return dictUpdate(ctx, site, target, right, result);
        break;
    case value::TagPy: return pythonInPlace(ctx, site, code, target, right, result);
    case value::TagSet:
        if (code == BinaryOp::sub || code == BinaryOp::bitor_ || code == BinaryOp::bitxor ||
            code == BinaryOp::bitand_)
            return setInPlace(ctx, site, code, target, right, result);
        break;
    default: break;
    }
    return binary(ctx, site, code, target, right, result);
}

bool wn_unary(void* c, int32_t site, int32_t op, int64_t tag, int64_t payload, void* out) {
    auto* ctx = static_cast<Ctx*>(c);
    auto* result = static_cast<Value*>(out);
    if (uint32_t(op) >= uint32_t(UnaryOp::count)) return badOperator(ctx, site);
    auto code = UnaryOp(op);
    Value v{uint64_t(tag), uint64_t(payload)};
    if (code == UnaryOp::not_) {
        bool truth = value::truthy(v);
        if (bridge::failFromFault(ctx, site)) return false;
        *result = Value::boolean(!truth);
        return true;
    }
    if (v.tag == value::TagBig) {
        i128 w = v.as<value::Big>()->get();
        if (code == UnaryOp::negative && w == i128(u128(1) << 127))
            return pythonUnary(ctx, site, code, v, result);
        i128 r = code == UnaryOp::invert ? ~w : code == UnaryOp::negative ? -w : w;
        return storeInt(ctx, site, false, r, result);
    }
    if (intLike(v)) {
        int64_t w = int64_t(v.payload);
        bool checked = v.tag == value::TagInt;
        if (code == UnaryOp::negative && w == INT64_MIN) {
            if (checked) return wn_overflow(ctx, site);
            return storeInt(ctx, site, false, -i128(w), result);
        }
        int64_t r = code == UnaryOp::invert ? ~w : code == UnaryOp::negative ? -w : w;
        return storeInt(ctx, site, checked, r, result);
    }
    if (v.tag == value::TagFloat && code != UnaryOp::invert) {
        *result = code == UnaryOp::negative ? Value{v.tag, v.payload ^ (uint64_t(1) << 63)} : v;
        return true;
    }
    return pythonUnary(ctx, site, code, v, result);
}

}  // extern "C"

}  // namespace wuna::helpers
