// I64's type and operations (see module/i64.h).
#include "host/module/i64.h"

#include "host/module/exceptions.h"
#include "host/module/startup.h"
#include "wuna/runtime/helpers/bridge.h"
#include "wuna/runtime/pending_error.h"

namespace wuna::host {

PyTypeObject* i64Type = nullptr;

PyObject* newI64(PyObject* value) {
    PyObject* args = PyTuple_Pack(1, value);
    if (!args) return nullptr;
    PyObject* checked = intNew(i64Type, args, nullptr);
    Py_DECREF(args);
    return checked;
}

namespace {

// A new reference to the operand as the interpreter's operations should see it: an exact
// I64 as a plain int of the same value (so the operation cannot come back here), anything
// else as it is.
PyObject* plain(PyObject* operand) {
    if (Py_TYPE(operand) == i64Type) return PyNumber_Long(operand);
    Py_INCREF(operand);
    return operand;
}

// Both operands as plain ints; false with an exception set.
bool plainPair(PyObject* a, PyObject* b, PyObject** x, PyObject** y) {
    if (!(*x = plain(a))) return false;
    if (!(*y = plain(b))) {
        Py_CLEAR(*x);
        return false;
    }
    return true;
}

template <PyObject* (*op)(PyObject*, PyObject*)>
PyObject* binary(PyObject* a, PyObject* b) {
    PyObject *x, *y;
    if (!plainPair(a, b, &x, &y)) return nullptr;
    PyObject* result = op(x, y);
    Py_DECREF(x);
    Py_DECREF(y);
    return bridge::checkedIntResult(result);
}

template <PyObject* (*op)(PyObject*)>
PyObject* unary(PyObject* a) {
    PyObject* x = plain(a);
    if (!x) return nullptr;
    PyObject* result = op(x);
    Py_DECREF(x);
    return bridge::checkedIntResult(result);
}

// Comparison is int's, but done on plain ints: float's comparison with a large int shifts and
// multiplies the int operand, which for an I64 would raise IntegerOverflow instead of
// answering (I64(-2**63) < -1e19).
// Having its own comparison, the type must name its hash, which stays int's.
Py_hash_t hashOf(PyObject* a) { return PyLong_Type.tp_hash(a); }

PyObject* compare(PyObject* a, PyObject* b, int op) {
    PyObject *x, *y;
    if (!plainPair(a, b, &x, &y)) return nullptr;
    PyObject* result = PyObject_RichCompare(x, y, op);
    Py_DECREF(x);
    Py_DECREF(y);
    return result;
}

// --- results known to overflow before they are made ------------------------------------------
//
// A power or a left shift can be far larger than its operands: 3 ** 10**9 takes minutes to
// compute and 1 << (2**63 - 1) more memory than there is, only for the range check to refuse
// it. Where both operands do int's own arithmetic, these outcomes are decided from the
// operands first; what is not decided is computed and checked as any result is.

enum class Outcome : uint8_t { compute, overflows };

// Whether the operand is an int whose slot (nb_power, nb_lshift) is int's own, so that the
// interpreter would compute what int computes (an int subclass may define its own).
template <typename Slot>
bool intSlot(PyObject* x, Slot PyNumberMethods::* slot) {
    if (!PyLong_Check(x)) return false;
    const PyNumberMethods* own = Py_TYPE(x)->tp_as_number;
    return own && own->*slot == PyLong_Type.tp_as_number->*slot;
}

// An int as a 64-bit value; *huge is -1 or 1 when it is out of that range (its sign), else 0.
// Reading an int cannot fail.
long long value64(PyObject* x, int* huge) {
    long long v = PyLong_AsLongLongAndOverflow(x, huge);
    if (v == -1 && PyErr_Occurred()) PyErr_Clear();
    return v;
}

// The count of bits of |v| (0 for 0).
unsigned bitLength(long long v) {
    unsigned long long magnitude = v < 0 ? 0ull - (unsigned long long)v : (unsigned long long)v;
    unsigned bits = 0;
    for (; magnitude; magnitude >>= 1) bits++;
    return bits;
}

// base ** exponent without a modulus, both ints. A negative exponent gives a float, 0 and 1
// give 1 and the base, a base of -1, 0 or 1 stays small; otherwise |base| >= 2, so the result
// has at least (bits(|base|) - 1) * exponent + 1 bits and overflows past 63 of them.
Outcome powerOutcome(PyObject* base, PyObject* exponent) {
    int hugeExponent, hugeBase;
    long long e = value64(exponent, &hugeExponent);
    if (hugeExponent < 0 || (hugeExponent == 0 && e <= 1)) return Outcome::compute;
    long long b = value64(base, &hugeBase);
    if (hugeBase) return Outcome::overflows;
    unsigned bits = bitLength(b);
    if (bits <= 1) return Outcome::compute;
    if (hugeExponent) return Outcome::overflows;
    return e > 63 / (long long)(bits - 1) ? Outcome::overflows : Outcome::compute;
}

// value << count, both ints: a negative count is int's ValueError and 0 stays 0; any other
// value shifted by 64 or more has more than 64 bits.
Outcome shiftOutcome(PyObject* value, PyObject* count) {
    int hugeCount, hugeValue;
    long long n = value64(count, &hugeCount);
    if (hugeCount < 0 || (hugeCount == 0 && n < 64)) return Outcome::compute;
    long long v = value64(value, &hugeValue);
    return hugeValue == 0 && v == 0 ? Outcome::compute : Outcome::overflows;
}

PyObject* raiseOverflow() {
    PyErr_SetString(integerOverflowClass, "integer overflow");
    return nullptr;
}

// The modulus is passed on unchanged: the interpreter's pow takes any int there, and with one
// the result is smaller than it.
PyObject* power(PyObject* a, PyObject* b, PyObject* modulus) {
    PyObject *x, *y;
    if (!plainPair(a, b, &x, &y)) return nullptr;
    PyObject* result = nullptr;
    if (modulus == Py_None && intSlot(x, &PyNumberMethods::nb_power) &&
        intSlot(y, &PyNumberMethods::nb_power) && powerOutcome(x, y) == Outcome::overflows)
        raiseOverflow();
    else
        result = PyNumber_Power(x, y, modulus);
    Py_DECREF(x);
    Py_DECREF(y);
    return bridge::checkedIntResult(result);
}

PyObject* leftShift(PyObject* a, PyObject* b) {
    PyObject *x, *y;
    if (!plainPair(a, b, &x, &y)) return nullptr;
    PyObject* result = nullptr;
    if (intSlot(x, &PyNumberMethods::nb_lshift) && intSlot(y, &PyNumberMethods::nb_lshift) &&
        shiftOutcome(x, y) == Outcome::overflows)
        raiseOverflow();
    else
        result = PyNumber_Lshift(x, y);
    Py_DECREF(x);
    Py_DECREF(y);
    return bridge::checkedIntResult(result);
}

// divmod checks the quotient and the remainder each; a result that is no pair (a float
// operand's NotImplemented, say) is returned as it is.
PyObject* divmod(PyObject* a, PyObject* b) {
    PyObject *x, *y;
    if (!plainPair(a, b, &x, &y)) return nullptr;
    PyObject* result = PyNumber_Divmod(x, y);
    Py_DECREF(x);
    Py_DECREF(y);
    if (!result || !PyTuple_Check(result) || PyTuple_GET_SIZE(result) != 2) return result;
    PyObject* quotient = PyTuple_GET_ITEM(result, 0);
    PyObject* remainder = PyTuple_GET_ITEM(result, 1);
    Py_INCREF(quotient);
    Py_INCREF(remainder);
    Py_DECREF(result);
    quotient = bridge::checkedIntResult(quotient);
    if (!quotient) {
        Py_DECREF(remainder);
        return nullptr;
    }
    remainder = bridge::checkedIntResult(remainder);
    if (!remainder) {
        Py_DECREF(quotient);
        return nullptr;
    }
    PyObject* pair = PyTuple_Pack(2, quotient, remainder);
    Py_DECREF(quotient);
    Py_DECREF(remainder);
    return pair;
}

// I64(...) accepts what int(...) accepts, then checks the result.
PyObject* construct(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return bridge::checkedIntResult(
        PyObject_Call(reinterpret_cast<PyObject*>(&PyLong_Type), args, kwargs));
}

template <typename F>
void* slot(F f) {
    return reinterpret_cast<void*>(f);
}

PyType_Slot i64Slots[] = {
    {Py_tp_doc, const_cast<char*>("A checked 64-bit integer: an int whose arithmetic raises "
                                  "wuna.IntegerOverflow outside the 64-bit range.")},
    {Py_tp_new, slot(construct)},
    {Py_tp_richcompare, slot(compare)},
    {Py_tp_hash, slot(hashOf)},
    {Py_nb_add, slot(binary<PyNumber_Add>)},
    {Py_nb_subtract, slot(binary<PyNumber_Subtract>)},
    {Py_nb_multiply, slot(binary<PyNumber_Multiply>)},
    {Py_nb_floor_divide, slot(binary<PyNumber_FloorDivide>)},
    {Py_nb_true_divide, slot(binary<PyNumber_TrueDivide>)},
    {Py_nb_remainder, slot(binary<PyNumber_Remainder>)},
    {Py_nb_divmod, slot(divmod)},
    {Py_nb_power, slot(power)},
    {Py_nb_lshift, slot(leftShift)},
    {Py_nb_rshift, slot(binary<PyNumber_Rshift>)},
    {Py_nb_and, slot(binary<PyNumber_And>)},
    {Py_nb_or, slot(binary<PyNumber_Or>)},
    {Py_nb_xor, slot(binary<PyNumber_Xor>)},
    {Py_nb_negative, slot(unary<PyNumber_Negative>)},
    {Py_nb_positive, slot(unary<PyNumber_Positive>)},
    {Py_nb_absolute, slot(unary<PyNumber_Absolute>)},
    {Py_nb_invert, slot(unary<PyNumber_Invert>)},
    {0, nullptr},
};

// Same layout as int: the sizes are int's. No Py_TPFLAGS_BASETYPE: I64 is final.
PyType_Spec i64Spec = {"int", 0, 0, Py_TPFLAGS_DEFAULT, i64Slots};

// Makes the type with DeprecationWarnings ignored inside warnings.catch_warnings(), which
// restores the caller's filters on the way out whatever happened in between.
PyObject* makeQuietly(PyObject* bases) {
    PyObject* warnings = PyImport_ImportModule("warnings");
    if (!warnings) return nullptr;
    PyObject* type = nullptr;
    PyObject* guard = PyObject_CallMethod(warnings, "catch_warnings", nullptr);
    PyObject* entered = guard ? PyObject_CallMethod(guard, "__enter__", nullptr) : nullptr;
    if (entered) {
        Py_DECREF(entered);
        PyObject* filtered =
            PyObject_CallMethod(warnings, "simplefilter", "sO", "ignore", PyExc_DeprecationWarning);
        if (filtered) {
            Py_DECREF(filtered);
            type = PyType_FromSpecWithBases(&i64Spec, bases);
        }
        // Leave the guard in every case; the first failure is the one reported.
        PendingError first;
        first.take();
        PyObject* exited = PyObject_CallMethod(guard, "__exit__", "OOO", Py_None, Py_None, Py_None);
        if (exited) {
            Py_DECREF(exited);
        } else {
            Py_CLEAR(type);
        }
        // Replaces the error of __exit__, if any; with none saved, that error stays.
        if (first.exception) first.restore();
    }
    Py_XDECREF(guard);
    Py_DECREF(warnings);
    return type;
}

}  // namespace

int addI64(PyObject* module) {
    PyObject* bases = PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyLong_Type));
    if (!bases) return -1;
    PyObject* type = makeQuietly(bases);
    Py_DECREF(bases);
    if (!type) return -1;
    i64Type = reinterpret_cast<PyTypeObject*>(type);
    PyObject* name = PyUnicode_FromString("wuna");
    if (!name) return -1;
    int rc = PyObject_SetAttrString(type, "__module__", name);
    Py_DECREF(name);
    if (rc < 0) return -1;
    return PyModule_AddObjectRef(module, "I64", type);
}

}  // namespace wuna::host
