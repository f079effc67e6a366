// Method calls receiver.name(args): methods of constant strs computed through Python, lists
// and dicts made while compiling changed or read in the compiler's own records, append and
// extend as direct helper calls, everything else through wn_call_method with the method's
// code found while compiling (see lower.h).
#include <cstring>

#include "compiler/codegen/attributes_common.h"
#include "compiler/codegen/control_support.h"
#include "compiler/codegen/statements_flow.h"
#include "compiler/front/stable.h"

namespace wuna::compile {

namespace {

struct MethodName {
    const char* name;
    MethodCode code;
};

// The names wn_call_method knows by number, sorted by length.
constexpr MethodName kMethodNames[kMethodCodeCount] = {
    {"add", MethodCode::add},
    {"pop", MethodCode::pop},
    {"get", MethodCode::get},
    {"hex", MethodCode::hex},
    {"copy", MethodCode::copy},
    {"find", MethodCode::find},
    {"join", MethodCode::join},
    {"other", MethodCode::other},
    {"clear", MethodCode::clear},
    {"union", MethodCode::union_},
    {"count", MethodCode::count},
    {"index", MethodCode::index},
    {"rfind", MethodCode::rfind},
    {"split", MethodCode::split},
    {"strip", MethodCode::strip},
    {"lower", MethodCode::lower},
    {"upper", MethodCode::upper},
    {"remove", MethodCode::remove},
    {"update", MethodCode::update},
    {"rindex", MethodCode::rindex},
    {"lstrip", MethodCode::lstrip},
    {"rstrip", MethodCode::rstrip},
    {"encode", MethodCode::encode},
    {"decode", MethodCode::decode},
    {"extend", MethodCode::extend},
    {"discard", MethodCode::discard},
    {"replace", MethodCode::replace},
    {"isupper", MethodCode::isupper},
    {"islower", MethodCode::islower},
    {"isdigit", MethodCode::isdigit},
    {"isalpha", MethodCode::isalpha},
    {"isalnum", MethodCode::isalnum},
    {"isspace", MethodCode::isspace},
    {"issubset", MethodCode::issubset},
    {"endswith", MethodCode::endswith},
    {"to_bytes", MethodCode::toBytes},
    {"partition", MethodCode::partition},
    {"difference", MethodCode::difference},
    {"issuperset", MethodCode::issuperset},
    {"isdisjoint", MethodCode::isdisjoint},
    {"startswith", MethodCode::startswith},
    {"rpartition", MethodCode::rpartition},
    {"splitlines", MethodCode::splitlines},
    {"is_integer", MethodCode::isInteger},
    {"intersection", MethodCode::intersection},
    {"difference_update", MethodCode::differenceUpdate},
    {"intersection_update", MethodCode::intersectionUpdate},
    {"symmetric_difference", MethodCode::symmetricDifference},
    {"symmetric_difference_update", MethodCode::symmetricDifferenceUpdate},
};
constexpr size_t kShortestMethod = 3;
constexpr size_t kLongestMethod = 27;

constexpr size_t lengthOf(const char* s) {
    size_t n = 0;
    while (s[n]) n++;
    return n;
}

constexpr bool sortedByLength() {
    for (int32_t i = 1; i < kMethodCodeCount; i++)
        if (lengthOf(kMethodNames[i - 1].name) > lengthOf(kMethodNames[i].name)) return false;
    return true;
}
static_assert(sortedByLength());

// The first entry of each name length (kMethodCodeCount when there is none).
struct FirstOfLength {
    int32_t first[kLongestMethod + 2];
    constexpr FirstOfLength() : first{} {
        for (size_t n = 0; n <= kLongestMethod + 1; n++) {
            first[n] = kMethodCodeCount;
            for (int32_t i = 0; i < kMethodCodeCount; i++)
                if (lengthOf(kMethodNames[i].name) == n) {
                    first[n] = i;
                    break;
                }
        }
    }
};
constexpr FirstOfLength kFirstOfLength;

// Methods that change a list or dict.
constexpr const char* kChangingMethods[] = {"append", "extend",     "insert", "pop",
                                            "remove", "clear",      "sort",   "reverse",
                                            "update", "setdefault", "popitem"};

bool named(front::Text name, const char* word) {
    size_t length = strlen(word);
    return name.length == length && memcmp(name.data, word, length) == 0;
}

// The methods of a run-time rt that run the program's own code: a jump out of it (raise
// rt.Return in the statements rt.exec runs, rt.Break out of rt.eval) comes back from the call
// as its exception object, and goes on from here as the jump, as it leaves a semantic run as
// Python.
bool runsProgramCode(front::Text name) {
    return named(name, "eval") || named(name, "exec") || named(name, "loop");
}

// The methods of a run-time rt that read or write the program's variables through the frame
// it carries (those that run the program's code among them).
bool touchesFrame(front::Text name) {
    static constexpr const char* kNames[] = {"load", "store", "function", "fresh", "call",
                                             "tail_call"};
    if (runsProgramCode(name)) return true;
    for (const char* word : kNames)
        if (named(name, word)) return true;
    return false;
}

// ok goes on; a failure of a method that runs the program's code may be a jump.
Status checkMethodOk(Emitter* e, Semantic* s, front::Text name, llvmapi::ValueRef ok) {
    if (!s || !runsProgramCode(name)) return checkOk(e, ok);
    llvmapi::BasicBlockRef next, failed;
    if (Status err = newBlock(&e->builder, "ok", &next); err != Status::ok) return err;
    if (Status err = newBlock(&e->builder, "method_failed", &failed); err != Status::ok)
        return err;
    condBr(&e->builder, ok, next, failed);
    enter(&e->builder, failed);
    uint8_t jumps = kPlainJumps | uint8_t(1u << uint32_t(JumpClass::tailCall));
    if (Status err = pendingJumpOrExit(e, s, jumps); err != Status::ok) return err;
    enter(&e->builder, next);
    return Status::ok;
}

bool changingMethod(front::Text name) {
    for (const char* word : kChangingMethods)
        if (named(name, word)) return true;
    return false;
}

constexpr const char* kComptimeMethod =
    "a method changing a wuna.comptime function's result: a constant, the same for every call";

// Releases every shape of a call (on a path that compiles none of it).
Status releaseAll(Emitter* e, const Shape* receiver, const Shape* args, uint32_t count,
                  const Shape* keywordValues, uint32_t keywordCount) {
    if (receiver)
        if (Status err = release(e, *receiver); err != Status::ok) return err;
    for (uint32_t i = 0; i < count; i++)
        if (Status err = release(e, args[i]); err != Status::ok) return err;
    for (uint32_t i = 0; keywordValues && i < keywordCount; i++)
        if (Status err = release(e, keywordValues[i]); err != Status::ok) return err;
    return Status::ok;
}

// The straight-code test of a body: no run-time control flow, return slot or try around.
bool straight(const Semantic* s) {
    return s->controlDepth == 0 && !s->resultSlotMade && s->tryDepth == 0;
}

// The record of a list or dict made while compiling, else null.
const void* containerRecord(const Shape& shape) {
    if (shape.kind == ShapeKind::list) return shape.list;
    if (shape.kind == ShapeKind::dict) return shape.dict;
    return nullptr;
}

// A list a method made while compiling (split, splitlines) as a list made while compiling, of
// its own: each run gets a list of its own, as each call in Python does, where the Python list
// kept as a constant would be shared by every run and changed by any of them.
Status freshList(Emitter* e, Semantic* s, PyObject* list, Shape* out) {
    front::ListRecord* record = front::newListRecord(e->compiler);
    if (!record) return Status::outOfMemory;
    // Converting an item runs no Python code: the list keeps its length meanwhile.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++) {
        Shape item;
        if (Status err = fromPython(e->compiler, PyList_GET_ITEM(list, i), &item);
            err != Status::ok)
            return err;
        if (Status err = front::appendItem(e->compiler, record, item); err != Status::ok)
            return err;
    }
    *out = Shape{};
    out->kind = ShapeKind::list;
    out->list = record;
    return s ? trackContainer(s, *out) : Status::ok;
}

// A constant str method computed through Python; *done false when it is left for run time.
Status strMethod(Emitter* e, Semantic* s, const Shape& receiver, front::Text name, Shape* args,
                 uint32_t count, front::Position at, Shape* out, bool* done) {
    *done = false;
    Compiler* c = e->compiler;
    PyObject* self = nullptr;
    if (Status err = toPython(c, receiver, &self); err != Status::ok) return err;
    PyObject* key = PyUnicode_DecodeUTF8(name.data, Py_ssize_t(name.length), "replace");
    PyObject* method = key ? PyObject_GetAttr(self, key) : nullptr;
    Py_XDECREF(key);
    Py_DECREF(self);
    if (!method) {
        PyErr_Clear();
        return attrs::compileError(e, s, at, "str has no method '", name, "'");
    }
    PyObject* tuple = PyTuple_New(Py_ssize_t(count));
    Status err = tuple ? Status::ok : Status::pythonError;
    for (uint32_t i = 0; err == Status::ok && i < count; i++) {
        PyObject* item = nullptr;
        err = toPython(c, args[i], &item);
        if (err == Status::ok) PyTuple_SET_ITEM(tuple, Py_ssize_t(i), item);
    }
    PyObject* result = err == Status::ok ? PyObject_Call(method, tuple, nullptr) : nullptr;
    Py_DECREF(method);
    Py_XDECREF(tuple);
    if (err != Status::ok) return err;
    if (!result) {
        // The call raises: it is compiled for run time, where it raises the same error.
        PyErr_Clear();
        return Status::ok;
    }
    err = PyList_CheckExact(result) ? freshList(e, s, result, out) : fromPython(c, result, out);
    Py_DECREF(result);
    if (err == Status::ok) *done = true;
    return err;
}

// The arguments of to_bytes bound from positions and keywords into args (length, byteorder,
// signed; *bound of them). *refused when the call is left to Python.
struct Bound {
    Shape args[3];
    uint32_t count;
};

Status bindToBytes(Emitter* e, Semantic* s, Shape* receiver, Shape* args, uint32_t count,
                   const front::Keyword* keywords, uint32_t keywordCount, Shape* keywordValues,
                   front::Position at, Bound* bound, bool* refused) {
    constexpr const char* kParameters[3] = {"length", "byteorder", "signed"};
    *refused = true;
    if (count > 2) return Status::ok;
    bool given[3] = {false, false, false};
    for (uint32_t i = 0; i < count; i++) {
        bound->args[i] = args[i];
        given[i] = true;
    }
    int32_t duplicate = -1;
    for (uint32_t k = 0; k < keywordCount; k++) {
        int32_t p = -1;
        for (int32_t j = 0; j < 3; j++)
            if (named(keywords[k].name, kParameters[j])) p = j;
        if (p < 0) return Status::ok;
        if (given[p]) {
            if (duplicate < 0) duplicate = p;
            continue;
        }
        bound->args[p] = keywordValues[k];
        given[p] = true;
    }
    if (duplicate >= 0) {
#if PY_VERSION_HEX < 0x030B0000
        // Before 3.11 both leading arguments are required and a missing one is reported first.
        if (!given[0] || !given[1]) return Status::ok;
#endif
        if (Status err = releaseAll(e, receiver, args, count, keywordValues, keywordCount);
            err != Status::ok)
            return err;
        char position[2] = {char('1' + duplicate), 0};
        Status err = attrs::beginAt(e, s, at);
        backend::List<char>* message = &e->compiler->message;
        if (err == Status::ok)
            err = appendText(message, "argument for to_bytes() given by name ('");
        if (err == Status::ok) err = appendText(message, kParameters[duplicate]);
        if (err == Status::ok) err = appendText(message, "') and position (");
        if (err == Status::ok) err = appendText(message, position);
        if (err == Status::ok) err = appendText(message, ")");
        *refused = false;
        return err == Status::ok ? Status::unsupported : err;
    }
    // A gap before a later argument takes the default where Python has one (3.11 on).
    uint32_t last = given[2] ? 3 : given[1] ? 2 : given[0] ? 1 : 0;
    for (uint32_t j = 0; j < last; j++) {
        if (given[j]) continue;
#if PY_VERSION_HEX < 0x030B0000
        return Status::ok;
#else
        if (j == 0) {
            bound->args[0] = Shape{};
            bound->args[0].kind = ShapeKind::pint;
            bound->args[0].int_ = 1;
        } else {
            bound->args[1] = Shape{};
            bound->args[1].kind = ShapeKind::str;
            bound->args[1].str = front::Text{"big", 3};
        }
#endif
    }
    bound->count = last;
    *refused = false;
    return Status::ok;
}

// append and extend of a run-time list, or any other method through wn_call_method.
Status runTimeCall(Emitter* e, Semantic* s, Shape* receiver, front::Text name, Shape* args,
                   uint32_t count, Shape* out) {
    int32_t site = s ? s->site : 0;
    const void* record = containerRecord(*receiver);
    Operand self;
    if (Status err = changeComptime(e, receiver, site, &self); err != Status::ok) return err;
    llvmapi::ValueRef ok;
    if (named(name, "extend") && count == 1 && args[0].kind == ShapeKind::list &&
        !args[0].list->source && !args[0].list->released &&
        !walkHeld(e->semantics.items, e->semantics.count, args[0].list)) {
        front::ListRecord* list = args[0].list;
        llvmapi::ValueRef items;
        if (Status err = valueArray(e, list->items, list->length, site, &items); err != Status::ok)
            return err;
        // Its values now belong to the run-time list.
        list->released = 1;
        llvmapi::ValueRef call[6] = {e->runContext, attrs::site(e, s),
                                     self.tag,      self.payload,
                                     items,         constI64(e, list->length)};
        if (Status err = callHelper(e, "wn_extend_items", call, 6, &ok); err != Status::ok)
            return err;
        if (Status err = releaseSlots(e, items, list->length); err != Status::ok) return err;
        if (Status err = release(e, dynShape(self)); err != Status::ok) return err;
        if (Status err = checkOk(e, ok); err != Status::ok) return err;
        *out = noneShape();
        return Status::ok;
    }
    if (named(name, "append") && count == 1) {
        if (record)
            if (Status err = substitute(e, &args[0], record, self, kContainerDepth);
                err != Status::ok)
                return err;
        Operand item;
        if (Status err = materialize(e, args[0], site, &item); err != Status::ok) return err;
        llvmapi::ValueRef call[6] = {e->runContext, attrs::site(e, s), self.tag,
                                     self.payload,  item.tag,          item.payload};
        if (Status err = callHelper(e, "wn_append", call, 6, &ok); err != Status::ok) return err;
        if (Status err = release(e, dynShape(item)); err != Status::ok) return err;
        if (Status err = release(e, dynShape(self)); err != Status::ok) return err;
        if (Status err = checkOk(e, ok); err != Status::ok) return err;
        *out = noneShape();
        return Status::ok;
    }
    Operand result;
    if (Status err = emitCallMethod(e, s, &self, name, args, count, &result); err != Status::ok)
        return err;
    *out = dynShape(result);
    return Status::ok;
}

// What is done while compiling on lists and dicts made while compiling; *done false when
// nothing was.
Status comptimeContainerCall(Emitter* e, Semantic* s, Shape* receiver, front::Text name,
                             Shape* args, uint32_t count, Shape* out, bool* done) {
    *done = false;
    if (receiver->kind != ShapeKind::list || count != 1) return Status::ok;
    if (!mayChangeWhileCompiling(e, s, *receiver)) return Status::ok;
    front::ListRecord* list = receiver->list;
    if (named(name, "append") && !refersTo(args[0], list, 0)) {
        if (Status err = front::appendItem(e->compiler, list, args[0]); err != Status::ok)
            return err;
        *done = true;
    } else if (named(name, "extend") && args[0].kind == ShapeKind::list && !args[0].list->source &&
               !args[0].list->released &&
               !walkHeld(e->semantics.items, e->semantics.count, args[0].list)) {
        front::ListRecord* more = args[0].list;
        for (uint64_t i = 0; i < more->length; i++)
            if (Status err = front::appendItem(e->compiler, list, more->items[i]);
                err != Status::ok)
                return err;
        more->released = 1;
        *done = true;
    }
    if (*done) *out = noneShape();
    return Status::ok;
}

}  // namespace

MethodCode methodCode(const char* name, size_t length) {
    if (length < kShortestMethod || length > kLongestMethod) return MethodCode::other;
    for (int32_t i = kFirstOfLength.first[length];
         i < kMethodCodeCount && lengthOf(kMethodNames[i].name) == length; i++)
        if (memcmp(kMethodNames[i].name, name, length) == 0) return kMethodNames[i].code;
    return MethodCode::other;
}

PyObject* methodOfClass(PyObject* cls, const char* name, size_t length) {
    PyObject* functionType = front::functionType();
    if (!functionType) return nullptr;
    PyObject* mro = PyObject_GetAttrString(cls, "__mro__");
    if (!mro || !PyTuple_Check(mro)) {
        Py_XDECREF(mro);
        PyErr_Clear();
        return nullptr;
    }
    PyObject* key = PyUnicode_DecodeUTF8(name, Py_ssize_t(length), "replace");
    PyObject* found = nullptr;
    for (Py_ssize_t i = 0; key && i < PyTuple_GET_SIZE(mro); i++) {
        PyObject* dict = PyObject_GetAttrString(PyTuple_GET_ITEM(mro, i), "__dict__");
        if (!dict) break;
        PyObject* value = PyObject_GetItem(dict, key);
        // The class's dict keeps the function alive: the answer is borrowed from it.
        Py_DECREF(dict);
        if (!value) {
            PyErr_Clear();
            continue;
        }
        if (reinterpret_cast<PyObject*>(Py_TYPE(value)) == functionType) found = value;
        Py_DECREF(value);
        break;
    }
    Py_XDECREF(key);
    Py_DECREF(mro);
    PyErr_Clear();
    return found;
}

namespace {

// Whether two keys are equal as a dict finds them: ints, bools and integral floats across
// kinds, strs by bytes, nodes by index, Python objects by identity or ==, tuples item by item.
// ok with *equal, or pythonError (a failing ==).
Status keysEqual(const Shape& k, const Shape& key, bool* equal) {
    auto integral = [](const Shape& s, int64_t* v) { return attrs::integerIndex(s, v); };
    int64_t a, b;
    *equal = false;
    if (integral(k, &a) && integral(key, &b)) {
        *equal = a == b;
    } else if (k.kind == ShapeKind::float_ || key.kind == ShapeKind::float_) {
        const Shape& f = k.kind == ShapeKind::float_ ? k : key;
        const Shape& other = k.kind == ShapeKind::float_ ? key : k;
        if (other.kind == ShapeKind::float_) {
            *equal = f.float_ == other.float_;
        } else if (integral(other, &a)) {
            double d = f.float_;
            *equal = d >= -9223372036854775808.0 && d < 9223372036854775808.0 &&
                     double(int64_t(d)) == d && int64_t(d) == a;
        }
    } else if (k.kind != key.kind) {
        *equal = false;
    } else if (k.kind == ShapeKind::none) {
        *equal = true;
    } else if (k.kind == ShapeKind::str) {
        *equal = k.str.length == key.str.length &&
                 memcmp(k.str.data, key.str.data, size_t(k.str.length)) == 0;
    } else if (k.kind == ShapeKind::node) {
        *equal = k.node == key.node;
    } else if (k.kind == ShapeKind::py) {
        int same = k.py == key.py ? 1 : PyObject_RichCompareBool(k.py, key.py, Py_EQ);
        if (same < 0) return Status::pythonError;
        *equal = same == 1;
    } else if (k.kind == ShapeKind::tuple && k.tuple.count == key.tuple.count) {
        *equal = true;
        for (uint64_t i = 0; i < k.tuple.count && *equal; i++)
            if (Status err = keysEqual(k.tuple.items[i], key.tuple.items[i], equal);
                err != Status::ok)
                return err;
    }
    return Status::ok;
}

// Whether keysEqual decides for the key while compiling: a key with a run-time value or a
// container made while compiling in it may equal a key at run time that it can't tell now.
bool decidableKey(const Shape& key) {
    if (key.kind == ShapeKind::tuple) {
        for (uint64_t i = 0; i < key.tuple.count; i++)
            if (!decidableKey(key.tuple.items[i])) return false;
        return true;
    }
    // The scalars (none up to node, in kind order) and Python objects.
    static_assert(uint8_t(ShapeKind::none) == 0 && uint8_t(ShapeKind::node) == 6);
    return key.kind <= ShapeKind::node || key.kind == ShapeKind::py;
}

}  // namespace

Status comptimeKeyIndex(const Shape* keys, uint64_t count, const Shape& key, uint64_t* index,
                        bool* found) {
    *found = false;
    for (uint64_t i = 0; i < count; i++) {
        bool equal;
        if (Status err = keysEqual(keys[i], key, &equal); err != Status::ok) return err;
        if (equal) {
            *index = i;
            *found = true;
            return Status::ok;
        }
    }
    return Status::ok;
}

bool refersTo(const Shape& value, const front::ListRecord* list, uint32_t depth) {
    if (depth > 64) return true;
    switch (value.kind) {
    case ShapeKind::list:
        if (value.list == list) return true;
        for (uint64_t i = 0; i < value.list->length; i++)
            if (refersTo(value.list->items[i], list, depth + 1)) return true;
        return false;
    case ShapeKind::dict:
        for (uint64_t i = 0; i < value.dict->valueLength; i++)
            if (refersTo(value.dict->values[i], list, depth + 1)) return true;
        return false;
    case ShapeKind::tuple:
        for (uint64_t i = 0; i < value.tuple.count; i++)
            if (refersTo(value.tuple.items[i], list, depth + 1)) return true;
        return false;
    default: return false;
    }
}

bool mayChangeWhileCompiling(Emitter* e, Semantic* s, const Shape& container) {
    if (s && !straight(s)) return false;
    const void* record = containerRecord(container);
    if (!record) return true;
    bool holder = false;
    for (size_t i = 0; i < e->semantics.count; i++) {
        Semantic* open = e->semantics[i];
        if (!holder) {
            for (uint32_t k = 0; k < open->localCount && !holder; k++) {
                const LocalRecord& local = open->locals[k];
                holder = local.state == LocalState::comptime &&
                         contains(local.shape, record, kContainerDepth);
            }
            if (!holder) continue;
        }
        if (open->openedAtControlDepth != e->controlDepth || !straight(open)) return false;
    }
    return true;
}

Status emitCallMethod(Emitter* e, Semantic* s, Operand* receiver, front::Text name, Shape* args,
                      uint32_t count, Operand* out) {
    int32_t site = s ? s->site : 0;
    llvmapi::ValueRef array;
    if (Status err = valueArray(e, args, count, site, &array); err != Status::ok) return err;
    llvmapi::ValueRef literal;
    if (Status err = literalGlobal(&e->compiler->module, name.data, size_t(name.length), &literal);
        err != Status::ok)
        return err;
    MethodCode code = methodCode(name.data, size_t(name.length));
    if (e->typedLocals.count && receiver->kind == KnownKind::unknown && touchesFrame(name)) {
        // The receiver may be a run-time rt, which reaches the variables through the frame:
        // the typed locals go there first and are read back after the call (callHelper).
        spillLocals(e);
        e->modes.localsSpilled = 1;
    }
    llvmapi::ValueRef call[9] = {
        e->runContext, attrs::site(e, s),          receiver->tag, receiver->payload,
        literal,       constI32(e, int32_t(code)), array,         constI64(e, count),
        e->scratch};
    llvmapi::ValueRef ok;
    if (Status err = callHelper(e, "wn_call_method", call, 9, &ok); err != Status::ok) return err;
    if (Status err = releaseSlots(e, array, count); err != Status::ok) return err;
    if (Status err = release(e, dynShape(*receiver)); err != Status::ok) return err;
    if (Status err = checkMethodOk(e, s, name, ok); err != Status::ok) return err;
    *out = loadOperand(e, e->scratch, KnownKind::unknown);
    return Status::ok;
}

Status emitMethodCall(Emitter* e, Semantic* s, Shape* receiver, front::Text name, Shape* args,
                      uint32_t count, const front::Keyword* keywords, uint32_t keywordCount,
                      Shape* keywordValues, front::Position at, Shape* out) {
    if (keywordCount) {
        if (!named(name, "to_bytes")) {
            if (Status err = releaseAll(e, receiver, args, count, keywordValues, keywordCount);
                err != Status::ok)
                return err;
            return refuseConstruct(e, "a method call with keywords");
        }
        Bound bound{};
        bool refused;
        if (Status err = bindToBytes(e, s, receiver, args, count, keywords, keywordCount,
                                     keywordValues, at, &bound, &refused);
            err != Status::ok)
            return err;
        if (refused) {
            if (Status err = releaseAll(e, receiver, args, count, keywordValues, keywordCount);
                err != Status::ok)
                return err;
            return refuseConstruct(e, "this call of to_bytes with keywords");
        }
        return emitMethodCall(e, s, receiver, name, bound.args, bound.count, nullptr, 0, nullptr,
                              at, out);
    }
    const void* record = containerRecord(*receiver);
    bool comptime = (receiver->kind == ShapeKind::list && receiver->list->comptime) ||
                    (receiver->kind == ShapeKind::dict && receiver->dict->comptime);
    if (record && comptime && changingMethod(name)) {
        if (Status err = releaseAll(e, nullptr, args, count, nullptr, 0); err != Status::ok)
            return err;
        return attrs::compileError(e, e->semantics.count ? e->semantics.last() : s, e->position,
                                   kComptimeMethod);
    }
    bool done;
    if (Status err = comptimeContainerCall(e, s, receiver, name, args, count, out, &done);
        err != Status::ok)
        return err;
    if (done) return Status::ok;
    bool settled = !s || s->controlDepth == 0;
    if (receiver->kind == ShapeKind::str) {
        bool constants = true;
        for (uint32_t i = 0; i < count; i++) constants = constants && isConstant(args[i]);
        if (constants) {
            if (Status err = strMethod(e, s, *receiver, name, args, count, at, out, &done);
                err != Status::ok)
                return err;
            if (done) return Status::ok;
        }
    }
    if (settled && receiver->kind == ShapeKind::dict && named(name, "get") &&
        (count == 1 || count == 2) && decidableKey(args[0])) {
        uint64_t j;
        bool found;
        front::DictRecord* dict = receiver->dict;
        if (Status err = comptimeKeyIndex(dict->keys, dict->keyLength, args[0], &j, &found);
            err != Status::ok)
            return err;
        if (found) {
            if (count == 2)
                if (Status err = release(e, args[1]); err != Status::ok) return err;
            return ownCopy(e, dict->values[j], out);
        }
        *out = count == 2 ? args[1] : noneShape();
        return Status::ok;
    }
    return runTimeCall(e, s, receiver, name, args, count, out);
}

}  // namespace wuna::compile
