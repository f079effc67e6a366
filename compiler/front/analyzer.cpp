// The stored analyzer script and the compiled side's hold on it.
#include "compiler/front/analyzer.h"

#include "wuna/runtime/convert.h"

namespace wuna::front {

namespace {

// pure's bookkeeping beside the spec'd cache: _checking maps each function being checked to
// its depth (they form a stack), and _low holds the lowest such depth that the check running
// now met (None: none). A check that met only itself or functions entered after it has an
// answer of its own; one that met a function further out keeps a True answer provisional. A
// False answer never rests on the assumption (which only ever says True), so it is kept.
//
// A global the module rebinds is never taken as it is now, not even a constant: a call
// evaluated while compiling would keep the old value. (frozen_cache keeps the rebound names
// beside the only-read tables: both come from one scan, kept while the module has the size
// and the very functions it had then: a function put in place of another may rebind a global.)
//
// _held(fn) is what fn may change without changing its caller's objects: names that may hold a
// parameter or something reached from one (assigned from it, looped over it, taken with a
// method from it) are not the function's own.
constexpr char kScript[] = R"PY(
import ast
import builtins
import dis
import inspect
import sys
import textwrap
import types

SAFE_METHODS = {"get", "items", "keys", "values", "count", "index", "copy"}
SAFE_CALLS = {"len", "sorted", "list", "tuple", "set", "frozenset", "min", "max", "sum", "any",
              "all", "enumerate", "zip", "iter", "reversed", "dict", "str", "repr", "bool"}
SAFE_BUILTINS = {"int", "float", "str", "len", "chr", "ord", "abs", "min", "max", "bool",
                 "tuple", "list", "dict", "set", "frozenset", "isinstance", "range",
                 "enumerate", "zip", "sorted", "reversed", "sum", "any", "all", "repr", "hex",
                 "oct", "bin", "divmod", "round", "pow", "type", "hash", "format", "iter",
                 "next", "map", "filter", "None", "True", "False"}
SAFE_MODULES = {"math", "string"}
IMMUTABLE = (int, float, complex, str, bytes, bool, type(None), frozenset)

pure_cache = {}
frozen_cache = {}
readonly_cache = {}
_checking = {}
_low = [None]

_TABLES = (dict, list, tuple, set, frozenset)


def _parents(tree):
    parents = {}
    for node in ast.walk(tree):
        for child in ast.iter_child_nodes(node):
            parents[child] = node
    return parents


def _reads_only(name, parent, grand, methods, calls):
    if isinstance(parent, ast.Subscript):
        return parent.value is name and isinstance(parent.ctx, ast.Load)
    if isinstance(parent, ast.Compare):
        return (any(c is name for c in parent.comparators)
                and all(isinstance(op, (ast.In, ast.NotIn)) for op in parent.ops))
    if isinstance(parent, (ast.For, ast.comprehension)):
        return parent.iter is name
    if isinstance(parent, ast.Attribute):
        return parent.attr in methods and isinstance(grand, ast.Call) and grand.func is parent
    if isinstance(parent, ast.Call):
        return (any(a is name for a in parent.args) and isinstance(parent.func, ast.Name)
                and parent.func.id in calls)
    return False


def frozen(g):
    module = sys.modules.get(g.get("__name__"))
    if module is None or getattr(module, "__dict__", None) is not g:
        return frozenset()
    try:
        tree = ast.parse(inspect.getsource(module))
    except Exception:
        return frozenset()
    candidates = {k for k, v in g.items() if type(v) in _TABLES}
    parents = _parents(tree)
    bad = set()
    for node in ast.walk(tree):
        if not isinstance(node, ast.Name) or node.id not in candidates:
            continue
        parent = parents.get(node)
        if isinstance(node.ctx, ast.Store):
            ok = isinstance(parent, (ast.Assign, ast.AnnAssign)) and parents.get(parent) is tree
        elif isinstance(node.ctx, ast.Del):
            ok = False
        else:
            ok = _reads_only(node, parent, parents.get(parent), SAFE_METHODS, SAFE_CALLS)
        if not ok:
            bad.add(node.id)
    return frozenset(candidates - bad)


def scan(g):
    name = g.get("__name__")
    rebound = set()
    seen = set()

    def read(code):
        if id(code) in seen:
            return
        seen.add(id(code))
        for ins in dis.get_instructions(code):
            if ins.opname in ("STORE_GLOBAL", "DELETE_GLOBAL"):
                rebound.add(ins.argval)
        for c in code.co_consts:
            if isinstance(c, types.CodeType):
                read(c)

    def visit(v, depth):
        if isinstance(v, types.FunctionType):
            if v.__globals__ is g:
                read(v.__code__)
        elif isinstance(v, (staticmethod, classmethod)):
            visit(v.__func__, depth)
        elif isinstance(v, property):
            for f in (v.fget, v.fset, v.fdel):
                if f is not None:
                    visit(f, depth)
        elif isinstance(v, type) and depth < 4 and getattr(v, "__module__", None) == name:
            for item in list(vars(v).values()):
                visit(item, depth + 1)

    for v in list(g.values()):
        visit(v, 0)
    return frozenset(rebound), frozen(g) - rebound


def constant(v):
    if type(v) is tuple:
        return all(constant(x) for x in v)
    return type(v) in IMMUTABLE


def _functions(g):
    return tuple(v for v in g.values() if isinstance(v, types.FunctionType))


def _scanned(g):
    hit = frozen_cache.get(id(g))
    key = (len(g), _functions(g))
    if hit is None or hit[0] is not g or hit[3] != key:
        rebound, tables = scan(g)
        hit = (g, tables, rebound, key)
        frozen_cache[id(g)] = hit
    return hit


def frozen_of(g):
    return _scanned(g)[1]


def pure(fn):
    try:
        return pure_cache[fn]
    except KeyError:
        pass
    except TypeError:
        return False
    if fn in _checking:
        depth = _checking[fn]
        if _low[0] is None or depth < _low[0]:
            _low[0] = depth
        return True
    depth = len(_checking)
    _checking[fn] = depth
    saved = _low[0]
    _low[0] = None
    try:
        answer = check(fn) is True
    except Exception:
        answer = False
    finally:
        del _checking[fn]
        low = _low[0]
    if not answer or low is None or low >= depth:
        pure_cache[fn] = answer
    if low is not None and low < depth:
        _low[0] = low if saved is None or low < saved else saved
    else:
        _low[0] = saved
    return answer


def _definition(fn):
    tree = ast.parse(textwrap.dedent(inspect.getsource(fn)))
    if not tree.body or not isinstance(tree.body[0], ast.FunctionDef):
        return None
    return tree.body[0]


def _parameters(a):
    names = [p.arg for p in a.posonlyargs + a.args + a.kwonlyargs]
    names += [p.arg for p in (a.vararg, a.kwarg) if p is not None]
    return names


def _root(node):
    while isinstance(node, (ast.Attribute, ast.Subscript, ast.Call, ast.Starred)):
        node = node.func if isinstance(node, ast.Call) else node.value
    return node.id if isinstance(node, ast.Name) else None


def _aliases(value, held):
    if isinstance(value, ast.Name):
        return value.id in held
    if isinstance(value, (ast.Attribute, ast.Subscript, ast.Starred, ast.NamedExpr)):
        return _aliases(value.value, held)
    if isinstance(value, ast.Call):
        return (_aliases(value.func, held) or any(_aliases(a, held) for a in value.args)
                or any(_aliases(k.value, held) for k in value.keywords))
    if isinstance(value, ast.IfExp):
        return _aliases(value.body, held) or _aliases(value.orelse, held)
    if isinstance(value, ast.BoolOp):
        return any(_aliases(v, held) for v in value.values)
    if isinstance(value, (ast.Tuple, ast.List, ast.Set)):
        return any(_aliases(e, held) for e in value.elts)
    if isinstance(value, (ast.ListComp, ast.SetComp, ast.GeneratorExp)):
        return _aliases(value.elt, held)
    if isinstance(value, ast.DictComp):
        return _aliases(value.key, held) or _aliases(value.value, held)
    return False


def _held(body, params):
    pairs = []
    for node in body:
        for n in ast.walk(node):
            if isinstance(n, ast.Assign):
                pairs += [(t, n.value) for t in n.targets]
            elif isinstance(n, (ast.AnnAssign, ast.AugAssign)) and n.value is not None:
                pairs.append((n.target, n.value))
            elif isinstance(n, ast.NamedExpr):
                pairs.append((n.target, n.value))
            elif isinstance(n, (ast.For, ast.comprehension)):
                pairs.append((n.target, n.iter))
            elif isinstance(n, ast.withitem) and n.optional_vars is not None:
                pairs.append((n.optional_vars, n.context_expr))
    held = set(params)
    grew = True
    while grew:
        grew = False
        for target, value in pairs:
            if not _aliases(value, held):
                continue
            for n in ast.walk(target):
                if isinstance(n, ast.Name) and isinstance(n.ctx, ast.Store) and n.id not in held:
                    held.add(n.id)
                    grew = True
    return held


_NESTED = (ast.FunctionDef, ast.AsyncFunctionDef, ast.Lambda, ast.ClassDef, ast.Global,
           ast.Nonlocal, ast.Yield, ast.YieldFrom, ast.Await)


def _global_ok(g, name, tables):
    if name in _scanned(g)[2]:
        return False
    v = g[name]
    if constant(v):
        return True
    if isinstance(v, types.ModuleType) and getattr(v, "__name__", None) in SAFE_MODULES:
        return True
    if isinstance(v, type) and issubclass(v, BaseException):
        return True
    if isinstance(v, types.FunctionType) and pure(v):
        return True
    return name in tables()


def _builtin_ok(name):
    if name in SAFE_BUILTINS:
        return True
    v = getattr(builtins, name, None)
    return isinstance(v, type) and issubclass(v, BaseException)


def check(fn):
    if not isinstance(fn, types.FunctionType) or fn.__closure__ or fn.__kwdefaults__:
        return False
    if fn.__defaults__ is not None and not constant(fn.__defaults__):
        return False
    fdef = _definition(fn)
    if fdef is None:
        return False
    params = _parameters(fdef.args)
    nodes = [n for stmt in fdef.body for n in ast.walk(stmt)]
    if any(isinstance(n, _NESTED) for n in nodes):
        return False
    local = set(params)
    for n in nodes:
        if isinstance(n, ast.Name) and isinstance(n.ctx, (ast.Store, ast.Del)):
            local.add(n.id)
        elif isinstance(n, ast.ExceptHandler) and n.name:
            local.add(n.name)
    g = fn.__globals__
    found = []

    def tables():
        if not found:
            found.append(frozen_of(g))
        return found[0]

    for n in nodes:
        if isinstance(n, ast.Name) and isinstance(n.ctx, ast.Load) and n.id not in local:
            if not (_global_ok(g, n.id, tables) if n.id in g else _builtin_ok(n.id)):
                return False
    held = _held(fdef.body, params)
    for n in nodes:
        if isinstance(n, (ast.Attribute, ast.Subscript)) and isinstance(n.ctx, (ast.Store, ast.Del)):
            root = _root(n)
            if root is None or root not in local or root in held:
                return False
        elif isinstance(n, ast.Call):
            # A call on something the caller gave: only the safe methods leave it as it was.
            root = _root(n.func)
            if root in held and not (isinstance(n.func, ast.Attribute)
                                     and n.func.attr in SAFE_METHODS):
                return False
    return True


def readonly(fn):
    try:
        return readonly_cache[fn]
    except KeyError:
        pass
    try:
        fdef = _definition(fn)
        a = fdef.args
        names = [p.arg for p in a.posonlyargs + a.args]
        parents = _parents(fdef)
        ok = dict.fromkeys(names, True)
        methods = SAFE_METHODS - {"copy"}
        for node in ast.walk(fdef):
            if not isinstance(node, ast.Name) or node.id not in ok:
                continue
            if isinstance(node.ctx, ast.Load):
                parent = parents.get(node)
                passes = _reads_only(node, parent, parents.get(parent), methods,
                                     {"len", "isinstance", "bool"})
            else:
                passes = False
            if not passes:
                ok[node.id] = False
        answer = tuple(ok[n] for n in names)
    except Exception:
        answer = ()
    readonly_cache[fn] = answer
    return answer
)PY";

Analyzer kept{};  // for the process, once loaded

}  // namespace

const Analyzer& analyzer() { return kept; }

Status loadAnalyzer() {
    if (kept.pure) return Status::ok;
    PyObject* names = convert::runScript(kScript);
    if (!names) return Status::pythonError;
    PyObject* scan = PyDict_GetItemString(names, "scan");
    PyObject* pure = PyDict_GetItemString(names, "pure");
    PyObject* readonly = PyDict_GetItemString(names, "readonly");
    if (!scan || !pure || !readonly) {
        PyErr_SetString(PyExc_RuntimeError, "wuna: the analyzer lacks a function (a wuna bug)");
        Py_DECREF(names);
        return Status::pythonError;
    }
    // Each function keeps the script's namespace alive through its __globals__.
    kept = Analyzer{Py_NewRef(scan), Py_NewRef(pure), Py_NewRef(readonly)};
    Py_DECREF(names);
    return Status::ok;
}

Status isPure(PyObject* fn, bool* out) {
    *out = false;
    if (Status s = loadAnalyzer(); s != Status::ok) return s;
    PyObject* answer = PyObject_CallOneArg(kept.pure, fn);
    if (!answer) return Status::pythonError;
    *out = answer == Py_True;
    Py_DECREF(answer);
    return Status::ok;
}

}  // namespace wuna::front
