// Nested functions and lambdas: each is read, while its enclosing function is lowered, into a
// FunctionIR of its own that hangs below the enclosing one and lives in the outermost arena.
//
// A nested function receives what it captures as extra parameters: its locals table holds its
// own parameters, one unnamed slot, then one local per captured name, then the rest of its
// body's locals. A call by name passes the caller's current values there (a nested call); the
// closure analysis (closure.cpp) later turns the functions that must share variables with
// their enclosing function into frame closures, for which the unnamed slot carries the
// enclosing frame instead.
#include <cstring>

#include "compiler/front/lower.h"

namespace wuna::front {

namespace {

// "<what>'s parameters must be plain ones ..." or "<what>'s *args and **kwargs ...": the
// parameters a nested function can be compiled with. ok, unsupported or pythonError.
Status checkNestedParameters(Lowering& lowering, PyObject* args, std::string_view what,
                             Position position) {
    for (const char* name : {"posonlyargs", "kwonlyargs", "kw_defaults", "defaults"}) {
        Owned list;
        if (Status s = listAttr(args, name, &list); s != Status::ok) return s;
        if (PyList_GET_SIZE(list.object) == 0) continue;
        return refuse(lowering, position,
                      {what,
                       "'s parameters must be plain ones (no defaults, keyword-only or "
                       "positional-only ones)"});
    }
    for (const char* name : {"vararg", "kwarg"}) {
        Owned value(PyObject_GetAttrString(args, name));
        if (!value.object) return Status::pythonError;
        if (value.object != Py_None)
            return refuse(lowering, position, {what, "'s *args and **kwargs can't be compiled"});
    }
    return Status::ok;
}

// The parameters enter the child's locals table; *count is their number.
Status enterParameters(Lowering& child, PyObject* args, uint32_t* count) {
    Owned list;
    if (Status s = listAttr(args, "args", &list); s != Status::ok) return s;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.object); i++) {
        Text name;
        uint32_t local;
        if (Status s = nameAttr(child, PyList_GET_ITEM(list.object, i), "arg", &name);
            s != Status::ok)
            return s;
        if (Status s = localIndex(child, name, &local); s != Status::ok) return s;
    }
    *count = uint32_t(PyList_GET_SIZE(list.object));
    return Status::ok;
}

// Declarations and locals of a def's body, or the assignment-expression targets of a lambda.
Status firstScopePass(Lowering& child, PyObject* node, bool isLambda) {
    if (isLambda) return collectWalrusTargets(child, node);
    Owned body;
    if (Status s = listAttr(node, "body", &body); s != Status::ok) return s;
    if (Status s = collectDeclarations(child, body.object); s != Status::ok) return s;
    return collectLocals(child, body.object);
}

bool addOnce(Lowering& lowering, Growing<Text>& names, Text name) {
    return hasName(names, name) || names.push(arenaOf(lowering), name);
}

// The names the child takes from the functions around it, in the order they are first read,
// each with the local of the parent it is taken from.
Status captureNames(Lowering& child, List<Text> read, Text ownName, bool isLambda,
                    Growing<Text>* captured, Growing<uint32_t>* slots) {
    const Lowering& parent = *child.parent;
    Arena& arena = arenaOf(child);
    auto add = [&](Text name, uint32_t slot) {
        if (hasName(*captured, name)) return true;
        return captured->push(arena, name) && slots->push(arena, slot);
    };
    for (uint64_t i = 0; i < read.count; i++) {
        Text name = read.items[i];
        uint32_t local;
        // A recursive call reaches the def through the visible nested defs, not a capture.
        if (!isLambda && sameText(name, ownName)) continue;
        // The child's own variables, globals and defs are its own, whatever is around it.
        if (findLocal(child, name, &local) || hasName(child.globals, name) ||
            hasName(child.defNames, name))
            continue;
        if (findLocal(parent, name, &local)) {
            if (!add(name, local)) return Status::outOfMemory;
            continue;
        }
        const NestedDef* def;
        if (!findNestedDef(parent, name, &def)) continue;  // read as a global
        // What that def captures, so that this function can pass it on when it calls it -
        // when the name means the same variable here as where the def was read. Otherwise
        // it is not taken over, and a call of the def from here is refused.
        for (uint64_t j = 0; j < def->captured.count; j++) {
            Text passed = def->captured.items[j];
            if (findLocal(child, passed, &local) || hasName(child.globals, passed)) continue;
            const Lowering* owner = variableOwner(*def->definer, passed);
            if (!owner || variableOwner(parent, passed) != owner) continue;
            if (!findFunctionLocal(parent, passed, &local)) continue;
            if (!add(passed, local)) return Status::outOfMemory;
        }
    }
    return Status::ok;
}

// The locals table again: parameters, the unnamed slot, the captured names, then the body's.
Status redoLocals(Lowering& child, PyObject* node, bool isLambda, uint32_t params,
                  List<Text> captured) {
    child.locals.count = params;
    child.defNames.count = 0;
    // The declarations are read again with the locals; a second copy of each would be noise.
    child.globals.count = 0;
    child.nonlocals.count = 0;
    uint32_t local;
    if (Status s = localIndex(child, Text{"", 0}, &local); s != Status::ok) return s;
    for (uint64_t i = 0; i < captured.count; i++)
        if (Status s = localIndex(child, captured.items[i], &local); s != Status::ok) return s;
    return firstScopePass(child, node, isLambda);
}

// A def's body, or for a lambda one return statement of its body expression.
Status lowerNestedBody(Lowering& child, PyObject* node, bool isLambda, Position position,
                       StmtList* out) {
    if (!isLambda) {
        // The def's own body: its top level, not a block of it.
        Owned body;
        if (Status s = listAttr(node, "body", &body); s != Status::ok) return s;
        return lowerStmts(child, body.object, out);
    }
    Stmt* statement = takeArray<Stmt>(arenaOf(child), 1);
    if (!statement) return Status::outOfMemory;
    statement->kind = StmtKind::return_;
    statement->position = position;
    if (Status s = lowerExprAttr(child, node, "body", &statement->return_); s != Status::ok)
        return s;
    *out = StmtList{statement, 1};
    return Status::ok;
}

// Steps that need the child context; the record is filled and linked by the caller.
Status readNested(Lowering& child, PyObject* node, Text name, Position position, bool isLambda,
                  uint32_t* params, Growing<Text>* captured, Growing<uint32_t>* slots) {
    Owned args(PyObject_GetAttrString(node, "args"));
    if (!args.object) return Status::pythonError;
    if (Status s = enterParameters(child, args.object, params); s != Status::ok) return s;
    if (Status s = firstScopePass(child, node, isLambda); s != Status::ok) return s;
    List<Text> read;
    if (Status s = namesRead(child, node, &read); s != Status::ok) return s;
    if (Status s = captureNames(child, read, name, isLambda, captured, slots); s != Status::ok)
        return s;
    for (uint64_t i = 0; i < child.nonlocals.count; i++) {
        Text wanted = child.nonlocals.items[i];
        if (hasName(*captured, wanted)) continue;
        return refuse(child, position,
                      {"no variable ", std::string_view(wanted.data, wanted.length), " around ",
                       std::string_view(name.data, name.length), " for its `nonlocal`"});
    }
    return redoLocals(child, node, isLambda, *params, captured->list());
}

}  // namespace

const Lowering* variableOwner(const Lowering& context, Text name) {
    for (const Lowering* c = &context; c; c = c->parent) {
        if (hasName(c->captured, name)) continue;  // passed on from further out
        uint32_t local;
        if (hasName(c->globals, name) || !findFunctionLocal(*c, name, &local)) return nullptr;
        return c;
    }
    return nullptr;
}

bool findNestedDef(const Lowering& lowering, Text name, const NestedDef** out) {
    *out = nullptr;
    for (uint32_t i = lowering.visibleDefs.count; i > 0; i--) {
        const NestedDef& def = lowering.visibleDefs.items[i - 1];
        if (!sameText(def.name, name)) continue;
        *out = &def;
        return true;
    }
    return false;
}

Status lowerNestedDef(Lowering& lowering, PyObject* node, Position position) {
    Owned decorators;
    if (Status s = listAttr(node, "decorator_list", &decorators); s != Status::ok) return s;
    if (PyList_GET_SIZE(decorators.object) > 0) {
        Position at;
        if (Status s = nodePosition(lowering, PyList_GET_ITEM(decorators.object, 0), &at);
            s != Status::ok)
            return s;
        return refuse(lowering, at, "a nested def with decorators can't be compiled");
    }
    // A def in a block may or may not run, and calls by name would reach it either way.
    if (lowering.blockDepth > 0)
        return refuse(lowering, position,
                      "a nested def inside an if, a loop or a try can't be compiled");
    Text name;
    if (Status s = nameAttr(lowering, node, "name", &name); s != Status::ok) return s;
    // The def statement leaves nothing in a variable: a name that is also a variable of the
    // function (a parameter, an assignment, a global) would keep its other value.
    uint32_t local;
    if (findFunctionLocal(lowering, name, &local) || hasName(lowering.globals, name) ||
        hasName(lowering.nonlocals, name))
        return refuse(lowering, position,
                      {"a nested def that rebinds the name ",
                       std::string_view(name.data, name.length), " can't be compiled"});
    FunctionIR* function;
    return lowerNestedFunction(lowering, node, name, position, false, &function);
}

Status lowerNestedFunction(Lowering& lowering, PyObject* node, Text name, Position position,
                           bool isLambda, FunctionIR** out) {
    *out = nullptr;
    std::string_view what = isLambda ? "a lambda" : "a nested def";
    {
        Owned args(PyObject_GetAttrString(node, "args"));
        if (!args.object) return Status::pythonError;
        if (Status s = checkNestedParameters(lowering, args.object, what, position);
            s != Status::ok)
            return s;
    }
    Arena& arena = arenaOf(lowering);
    Lowering child{};
    child.failure = lowering.failure;
    child.parent = &lowering;
    child.function = lowering.function;
    child.fileName = lowering.fileName;
    child.lineBase = lowering.lineBase;
    child.columnBase = lowering.columnBase;
    if (Status s = nestedQualname(arena, lowering.qualname, name, &child.qualname); s != Status::ok)
        return s;
    uint32_t params = 0;
    Growing<Text> captured;
    Growing<uint32_t> slots;
    if (Status s = readNested(child, node, name, position, isLambda, &params, &captured, &slots);
        s != Status::ok)
        return s;

    FunctionIR* record = takeArray<FunctionIR>(arena, 1);
    if (!record) return Status::outOfMemory;
    if (!isLambda && !lowering.visibleDefs.push(
                         arena, NestedDef{name, record, params, captured.list(), &lowering}))
        return Status::outOfMemory;
    child.captured = captured.list();
    // The def sees itself and the defs read before it in the functions around it, none after.
    for (uint32_t i = 0; i < lowering.visibleDefs.count; i++)
        if (!child.visibleDefs.push(arena, lowering.visibleDefs.items[i]))
            return Status::outOfMemory;
    StmtList body;
    if (Status s = lowerNestedBody(child, node, isLambda, position, &body); s != Status::ok)
        return s;

    uint32_t k = uint32_t(captured.count);
    record->name = name;
    record->fileName = lowering.fileName;
    record->qualname = child.qualname;
    record->locals = child.locals.list();
    record->body = body;
    record->captured = captured.list();
    record->capturedSlots = slots.list();
    record->function = lowering.function;  // borrowed: the outermost record holds it
    record->nested = child.nested.list();
    record->firstLine = lineOf(position);
    record->paramCount = record->requiredCount = params + 1 + k;
    record->captureBase = params;
    record->exprCount = child.exprCount;
    record->declaresNonlocal = child.nonlocals.count > 0;
    for (uint64_t i = 0; i < record->nested.count; i++) record->nested.items[i]->parent = record;
    if (!lowering.nested.push(arena, record)) return Status::outOfMemory;
    *out = record;
    return Status::ok;
}

Status namesRead(Lowering& lowering, PyObject* node, List<Text>* out) {
    *out = List<Text>{nullptr, 0};
    Owned ast(PyImport_ImportModule("ast"));
    if (!ast.object) return Status::pythonError;
    Owned walk(PyObject_CallMethod(ast.object, "walk", "(O)", node));
    Owned nodes(walk.object ? PySequence_List(walk.object) : nullptr);
    if (!nodes.object) return Status::pythonError;
    Growing<Text> names;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(nodes.object); i++) {
        PyObject* item = PyList_GET_ITEM(nodes.object, i);
        ClassName kind;
        if (Status s = className(item, &kind); s != Status::ok) return s;
        if (kind.is("Nonlocal")) {
            Owned declared;
            if (Status s = listAttr(item, "names", &declared); s != Status::ok) return s;
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(declared.object); j++) {
                Text name;
                if (Status s =
                        strText(lowering, PyList_GET_ITEM(declared.object, j), "a name", &name);
                    s != Status::ok)
                    return s;
                if (!addOnce(lowering, names, name)) return Status::outOfMemory;
            }
            continue;
        }
        if (!kind.is("Name")) continue;
        Owned context(PyObject_GetAttrString(item, "ctx"));
        if (!context.object) return Status::pythonError;
        ClassName contextKind;
        if (Status s = className(context.object, &contextKind); s != Status::ok) return s;
        if (!contextKind.is("Load")) continue;
        Text name;
        if (Status s = nameAttr(lowering, item, "id", &name); s != Status::ok) return s;
        if (!addOnce(lowering, names, name)) return Status::outOfMemory;
    }
    *out = names.list();
    return Status::ok;
}

Status nestedQualname(Arena& arena, Text parent, Text name, Text* out) {
    static constexpr char kLocals[] = ".<locals>.";
    size_t length = parent.length + sizeof kLocals - 1 + name.length;
    char* text = takeArray<char>(arena, length);
    if (!text) return Status::outOfMemory;
    memcpy(text, parent.data, parent.length);
    memcpy(text + parent.length, kLocals, sizeof kLocals - 1);
    memcpy(text + parent.length + sizeof kLocals - 1, name.data, name.length);
    *out = Text{text, length};
    return Status::ok;
}

}  // namespace wuna::front
