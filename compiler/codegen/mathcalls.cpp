// Math module calls through wn_math: thirty functions of Python's math module, each called
// with its own argument count, become one helper call that computes natively with the C math
// library and calls the Python function for what it does not handle (so the value or the
// exception is always Python's). A constant call was evaluated while compiling already; one
// reaching here raised then, and raises again when it runs. math.floor and math.ceil go
// through wn_builtin; a call with another argument count (math.log(x, base)) is not taken.
#include "compiler/codegen/builtins_shared.h"
#include "compiler/front/stable.h"
#include "wuna/runtime/helpers/libm.h"
#include "wuna/runtime/helpers/mathfns.h"

namespace wuna::compile::builtins {

namespace {

using helpers::MathCode;
using llvmapi::ValueRef;

struct MathFunction {
    const char* name;
    MathCode code;
    KnownKind kind;
};

// The table wn_math switches on; the argument count is the runtime's (mathArity).
constexpr MathFunction kMath[30] = {
    {"sqrt", MathCode::sqrt, KnownKind::unknown},
    {"fabs", MathCode::fabs, KnownKind::unknown},
    {"degrees", MathCode::degrees, KnownKind::unknown},
    {"radians", MathCode::radians, KnownKind::unknown},
    {"isnan", MathCode::isnan, KnownKind::bool_},
    {"isinf", MathCode::isinf, KnownKind::bool_},
    {"isfinite", MathCode::isfinite, KnownKind::bool_},
    {"copysign", MathCode::copysign, KnownKind::unknown},
    {"modf", MathCode::modf, KnownKind::tuple},
    {"fmod", MathCode::fmod, KnownKind::unknown},
    {"exp", MathCode::exp, KnownKind::unknown},
    {"log", MathCode::log, KnownKind::unknown},
    {"log2", MathCode::log2, KnownKind::unknown},
    {"log10", MathCode::log10, KnownKind::unknown},
    {"sin", MathCode::sin, KnownKind::unknown},
    {"cos", MathCode::cos, KnownKind::unknown},
    {"tan", MathCode::tan, KnownKind::unknown},
    {"asin", MathCode::asin, KnownKind::unknown},
    {"acos", MathCode::acos, KnownKind::unknown},
    {"atan", MathCode::atan, KnownKind::unknown},
    {"sinh", MathCode::sinh, KnownKind::unknown},
    {"cosh", MathCode::cosh, KnownKind::unknown},
    {"tanh", MathCode::tanh, KnownKind::unknown},
    {"asinh", MathCode::asinh, KnownKind::unknown},
    {"acosh", MathCode::acosh, KnownKind::unknown},
    {"atanh", MathCode::atanh, KnownKind::unknown},
    {"expm1", MathCode::expm1, KnownKind::unknown},
    {"log1p", MathCode::log1p, KnownKind::unknown},
    {"atan2", MathCode::atan2, KnownKind::unknown},
    {"pow", MathCode::pow, KnownKind::unknown},
};
static_assert(sizeof kMath / sizeof kMath[0] == size_t(MathCode::count));

}  // namespace

Status lowerMathCall(Emitter* e, Semantic* s, PyObject* callee, Shape* args, uint64_t count,
                     bool* handled, Shape* out) {
    *handled = false;
    const MathFunction* f = nullptr;
    for (const MathFunction& m : kMath)
        if (front::isModuleAttr(callee, "math", m.name)) {
            f = &m;
            break;
        }
    if (!f || count != uint64_t(helpers::mathArity(f->code))) return Status::ok;
    *handled = true;
    // The transcendental functions need the C library's table; without it wn_math asks Python.
    helpers::findLibm();
    ValueRef fn, values;
    if (Status err = pinnedConstant(e, callee, &fn); err != Status::ok) return err;
    if (Status err = valueArray(e, args, count, s->site, &values); err != Status::ok) return err;
    ValueRef call[7] = {e->runContext, siteValue(e, s->site), constI32(e, int32_t(f->code)), fn,
                        constI64(e, count), values, e->scratch};
    ValueRef ok;
    if (Status err = callHelper(e, "wn_math", call, 7, &ok); err != Status::ok) return err;
    if (Status err = releaseSlots(e, values, count); err != Status::ok) return err;
    if (Status err = checkOk(e, ok); err != Status::ok) return err;
    *out = dynShape(loadOperand(e, e->scratch, f->kind));
    return Status::ok;
}

}  // namespace wuna::compile::builtins
