// Statement lowering, assignment targets and the with statement (being built: for now every
// statement is refused with its class name).
#include "compiler/front/lower.h"

namespace wuna::front {

std::string_view statementWord(std::string_view className) { return className; }

Status lowerStmts(Lowering& lowering, PyObject* statements, StmtList* out) {
    *out = StmtList{nullptr, 0};
    if (!PyList_Check(statements)) {
        PyErr_SetString(PyExc_TypeError, "a statement list must be a list");
        return Status::pythonError;
    }
    if (PyList_GET_SIZE(statements) == 0) return Status::ok;
    PyObject* node = PyList_GET_ITEM(statements, 0);
    Position position;
    if (Status s = nodePosition(lowering, node, &position); s != Status::ok) return s;
    ClassName name;
    if (Status s = className(node, &name); s != Status::ok) return s;
    return constructRefused(lowering, position, statementWord(name.view()));
}

Status lowerTarget(Lowering& lowering, PyObject* node, Target* out) {
    *out = Target{};
    Position position;
    if (Status s = nodePosition(lowering, node, &position); s != Status::ok) return s;
    ClassName name;
    if (Status s = className(node, &name); s != Status::ok) return s;
    return refuse(lowering, position, {"assigning to ", name.view(), " can't be compiled"});
}

Status lowerWith(Lowering& lowering, PyObject* items, Py_ssize_t index, PyObject* body,
                 Position position, StmtList* out) {
    (void)items;
    (void)index;
    (void)body;
    *out = StmtList{nullptr, 0};
    return constructRefused(lowering, position, "`with`");
}

}  // namespace wuna::front
