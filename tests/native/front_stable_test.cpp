// Stable types and identity tests: an object is recognised as a builtin or library function by
// being that very object, never by its name; builtins and their types are stable, Python
// functions are of the function type.
#include <gtest/gtest.h>
#include "compiler/front/stable.h"

#include "tests/native/python_test_support.h"

namespace wuna::front {

namespace {

constexpr char kObjects[] = R"PY(
import math
bound_len = len
def len(x):
    return 0
from_bytes_1 = int.from_bytes
from_bytes_2 = int.from_bytes
class Sub(int):
    pass
sub_from_bytes = Sub.from_bytes
sqrt = math.sqrt
)PY";

class Stable : public testing_support::WithHelpers<::testing::Test> {
protected:
    Stable() : WithHelpers(kObjects) {}
    PyObject* get(const char* name) { return PyDict_GetItemString(helpers_, name); }
};

TEST_F(Stable, ABuiltinIsKnownByIdentityNotByName) {
    EXPECT_TRUE(isBuiltin(get("bound_len"), "len"));
    EXPECT_FALSE(isBuiltin(get("len"), "len"));  // the module's own len
    EXPECT_FALSE(isBuiltin(get("bound_len"), "no_such_builtin"));
    EXPECT_FALSE(PyErr_Occurred());
}

TEST_F(Stable, ModuleAttributesAreKnownByIdentity) {
    EXPECT_TRUE(isModuleAttr(get("sqrt"), "math", "sqrt"));
    EXPECT_FALSE(isModuleAttr(get("sqrt"), "math", "floor"));
    EXPECT_FALSE(isModuleAttr(get("sqrt"), "no_such_module_anywhere", "sqrt"));
    EXPECT_FALSE(PyErr_Occurred());
}

TEST_F(Stable, IntFromBytesIsKnownThoughEachReadMakesANewObject) {
    EXPECT_NE(get("from_bytes_1"), get("from_bytes_2"));
    EXPECT_TRUE(isIntFromBytes(get("from_bytes_1")));
    EXPECT_TRUE(isIntFromBytes(get("from_bytes_2")));
    EXPECT_FALSE(isIntFromBytes(get("sub_from_bytes")));  // bound to the subclass
    EXPECT_FALSE(isIntFromBytes(get("sqrt")));
    EXPECT_FALSE(PyErr_Occurred());
}

TEST_F(Stable, FunctionsAndStableObjects) {
    StableTypes types;
    ASSERT_EQ(stableTypes(&types), Status::ok);
    EXPECT_EQ(functionType(), types.function);
    EXPECT_EQ(isPlainFunction(get("len")), 1);
    EXPECT_EQ(isPlainFunction(get("bound_len")), 0);
    EXPECT_EQ(isStable(get("bound_len")), 1);
    EXPECT_EQ(isStable(reinterpret_cast<PyObject*>(Py_TYPE(get("bound_len")))), 1);
    EXPECT_EQ(isStable(Py_None), 1);
    EXPECT_EQ(isStable(get("from_bytes_1")), 1);
    PyObject* list = PyList_New(0);
    EXPECT_EQ(isStable(list), 0);
    Py_DECREF(list);
}

}  // namespace

}  // namespace wuna::front
