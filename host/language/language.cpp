// The Language type: construction, release and collection, and the methods that define a
// language (see language/language.h). Registering a semantic itself happens in the Registrar
// (language/registrar.cpp); the checks and records it shares with the methods here (kinds, front
// cache, why map, hosts) are defined in this file.
#include "host/language/language.h"

#include <cstdlib>
#include <cstring>

#include "compiler/driver/modules.h"
#include "host/language/native_host.h"
#include "host/language/registrar.h"
#include "host/module/exceptions.h"
#include "host/module/startup.h"
#include "host/module/type_registry.h"
#include "host/run/program.h"
#include "host/run/repl.h"
#include "host/run/session.h"
#include "wuna/runtime/args.h"
#include "host/support/check.h"
#include "host/support/pymethods.h"
#include "wuna/runtime/pending_error.h"
#include "wuna/runtime/text.h"

namespace wuna::host {

namespace {

constexpr int64_t kDefaultDepth = 1000;
constexpr int64_t kDefaultHotCalls = 1000;
constexpr int64_t kMostDepth = 1000000;

// Bytes kept of a function's file and name in a CompileError's message.
constexpr size_t kFileBytes = 512;
constexpr size_t kNameBytes = 128;
constexpr size_t kMessageBytes = 1024;

LanguageObject* asLanguage(PyObject* self) { return reinterpret_cast<LanguageObject*>(self); }

// The length of text cut to at most limit bytes, on a UTF-8 character boundary.
constexpr size_t cutUtf8(const char* text, size_t length, size_t limit) {
    return text::utf8Prefix(text, length, limit);
}

// --- the language data -----------------------------------------------------------------

void setDefaults(LanguageObject* language) {
    language->hotCalls = kDefaultHotCalls;
    language->maxDepth = uint32_t(kDefaultDepth);
    language->kindTablesBuilt = 0;
    language->strict = 0;
    language->constructed = 0;
}

PyObject* languageNew(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self) setDefaults(asLanguage(self));
    return self;
}

// The constructor's parameters, in signature order.
enum LanguageParam { PParser, PRules, PMaxDepth, PHotCalls, PStrict, PCount };
constexpr args::Param kLanguageParams[PCount] = {
    {"parser", true},     {"rules", false},  {"max_depth", false},
    {"hot_calls", false}, {"strict", false},
};

struct LanguageArgs {
    int64_t maxDepth = kDefaultDepth;
    int64_t hotCalls = kDefaultHotCalls;
    int strict = 0;
};

// Converts each limit and the flag as soon as it is read.
int checkLanguageArg(void* context, size_t index, PyObject* value) {
    auto* out = static_cast<LanguageArgs*>(context);
    if (index == PStrict) {
        out->strict = PyObject_IsTrue(value);
        return out->strict < 0 ? -1 : 0;
    }
    if ((index != PMaxDepth && index != PHotCalls) || value == Py_None) return 0;
    const char* name = kLanguageParams[index].name;
    if (!PyLong_Check(value)) {
        PyErr_Format(PyExc_TypeError, "Language() argument '%s' has the wrong type", name);
        return -1;
    }
    long long number = PyLong_AsLongLong(value);
    if (number == -1 && PyErr_Occurred()) return -1;
    (index == PMaxDepth ? out->maxDepth : out->hotCalls) = number;
    return 0;
}

// Every step after the arguments; -1 leaves the data released and an exception set.
int construct(LanguageObject* language, PyObject* parser, PyObject* rules,
              const LanguageArgs& given) {
    auto* grammar = static_cast<ptree::GrammarInfo*>(calloc(1, sizeof(ptree::GrammarInfo)));
    if (!grammar) {
        PyErr_NoMemory();
        return -1;
    }
    if (ptree::readGrammar(parser, grammar) < 0) {
        free(grammar);
        return -1;
    }
    size_t kinds = grammar->kindCount ? grammar->kindCount : 1;
    auto* functionKinds = static_cast<FunctionKind*>(calloc(kinds, sizeof(FunctionKind)));
    auto* evalPerKind = static_cast<PyObject**>(calloc(kinds, sizeof(PyObject*)));
    auto* execPerKind = static_cast<PyObject**>(calloc(kinds, sizeof(PyObject*)));
    // Made before anything is stored in the object: making a dict may run the collector, and
    // the code it runs may reach this language, which must then be empty or whole.
    PyObject* evals = PyDict_New();
    PyObject* execs = evals ? PyDict_New() : nullptr;
    PyObject* hosts = execs ? PyDict_New() : nullptr;
    bool made = functionKinds && evalPerKind && execPerKind && hosts;
    if (!made && !PyErr_Occurred()) PyErr_NoMemory();  // a calloc failed, not a dict
    if (made && given.maxDepth < 1) {
        PyErr_SetString(PyExc_ValueError, "max_depth must be at least 1");
        made = false;
    } else if (made && given.hotCalls < 1) {
        PyErr_SetString(PyExc_ValueError, "hot_calls must be at least 1");
        made = false;
    }
    if (!made) {
        // Empty dicts: releasing them runs no code.
        Py_XDECREF(evals);
        Py_XDECREF(execs);
        Py_XDECREF(hosts);
        free(functionKinds);
        free(evalPerKind);
        free(execPerKind);
        ptree::dropGrammar(grammar);
        return -1;
    }
    // Reading the grammar and making the dicts ran Python code, which may have constructed
    // this language again; what that left goes before this construction fills the object
    // (and releasing it runs code too, which may do the same again). Nothing from here on
    // runs code, so the object is never seen half filled.
    while (language->grammar) releaseLanguage(language);
    language->grammar = grammar;
    language->functionKinds = functionKinds;
    language->evalPerKind = evalPerKind;
    language->execPerKind = execPerKind;
    language->evals = evals;
    language->execs = execs;
    language->hosts = hosts;
    language->parser = Py_NewRef(parser);
    if (rules && rules != Py_None) language->rules = Py_NewRef(rules);
    language->maxDepth = uint32_t(given.maxDepth < kMostDepth ? given.maxDepth : kMostDepth);
    language->hotCalls = given.hotCalls;
    language->strict = uint8_t(given.strict == 1);
    language->constructed = 1;
    return 0;
}

int languageInit(PyObject* self, PyObject* args, PyObject* kwargs) {
    LanguageObject* language = asLanguage(self);
    PyObject* values[PCount];
    LanguageArgs given;
    if (args::parse("Language", kLanguageParams, args, kwargs, values, checkLanguageArg, &given) <
        0)
        return -1;
    // A second __init__ starts again from the defaults.
    releaseLanguage(language);
    setDefaults(language);
    if (construct(language, values[PParser], values[PRules], given) == 0) return 0;
    releaseLanguage(language);
    setDefaults(language);
    return -1;
}

int languageTraverse(PyObject* self, visitproc visit, void* arg) {
    LanguageObject* language = asLanguage(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(language->parser);
    Py_VISIT(language->rules);
    Py_VISIT(language->evals);
    Py_VISIT(language->execs);
    Py_VISIT(language->hosts);
    Py_VISIT(language->types);
    for (size_t i = 0; i < language->frontCache.map.capacity; i++) {
        auto& slot = language->frontCache.map.slots[i];
        if (slot.key) Py_VISIT(slot.value->function);
    }
    for (size_t i = 0; i < language->why.capacity; i++) {
        auto& slot = language->why.slots[i];
        if (slot.key) Py_VISIT(const_cast<PyObject*>(static_cast<const PyObject*>(slot.key)));
    }
    return 0;
}

int languageClear(PyObject* self) {
    releaseLanguage(asLanguage(self));
    return 0;
}

void languageDealloc(PyObject* self) {
    LanguageObject* language = asLanguage(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (language->constructed) {
        // Releasing runs Python code (finalizers), which must not see or eat an exception
        // pending from whatever dropped the last reference.
        PendingError pending;
        pending.take();
        releaseLanguage(language);
        pending.restore();
    }
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* languageRepr(PyObject*) { return PyUnicode_FromString("Language()"); }

// --- methods -------------------------------------------------------------------------

PyObject* types(PyObject* self, PyObject* args, PyObject* kwargs) {
    LanguageObject* language = languageOf(self);
    if (!language || args::exactly(args, kwargs, 1) < 0) return nullptr;
    PyObject* mapping = PyTuple_GET_ITEM(args, 0);
    if (!PyDict_Check(mapping) && !PyCallable_Check(mapping)) {
        PyErr_SetString(PyExc_TypeError,
                        "types() takes a dict of type names, or a function of a type's text");
        return nullptr;
    }
    Py_XSETREF(language->types, Py_NewRef(mapping));
    Py_RETURN_NONE;
}

// Appends (fn, reason) for each semantic of the table that has a reason. Runs no Python
// code, so the tables cannot change under it.
int collectReasons(LanguageObject* language, PyObject** table, PyObject* pairs) {
    for (uint32_t k = 0; k < language->grammar->kindCount; k++) {
        PyObject* fn = table[k];
        Why* why = fn ? language->why.find(fn) : nullptr;
        if (!why) continue;
        PyObject* reason = PyUnicode_DecodeUTF8(why->text, Py_ssize_t(why->length), "replace");
        PyObject* pair = reason ? PyTuple_Pack(2, fn, reason) : nullptr;
        int added = pair ? PyList_Append(pairs, pair) : -1;
        Py_XDECREF(reason);
        Py_XDECREF(pair);
        if (added < 0) return -1;
    }
    return 0;
}

PyObject* pythonSemantics(PyObject* self, PyObject*) {
    LanguageObject* language = languageOf(self);
    if (!language) return nullptr;
    buildKindTables(language);
    // The reasons are taken first: reading a function's __name__ may run any code, even code
    // that registers semantics.
    PyObject* pairs = PyList_New(0);
    if (!pairs) return nullptr;
    if (collectReasons(language, language->evalPerKind, pairs) < 0 ||
        collectReasons(language, language->execPerKind, pairs) < 0) {
        Py_DECREF(pairs);
        return nullptr;
    }
    PyObject* result = PyDict_New();
    for (Py_ssize_t i = 0; result && i < PyList_GET_SIZE(pairs); i++) {
        PyObject* pair = PyList_GET_ITEM(pairs, i);
        PyObject* name = PyObject_GetAttrString(PyTuple_GET_ITEM(pair, 0), "__name__");
        if (!name || PyDict_SetItem(result, name, PyTuple_GET_ITEM(pair, 1)) < 0) Py_CLEAR(result);
        Py_XDECREF(name);
    }
    Py_DECREF(pairs);
    return result;
}

// "def name(a, b):\n" and the body, one statement per line at level 1.
bool printFunction(front::Printer& printer, const front::FunctionIR* ir) {
    if (!front::write(printer, "def ", 4) ||
        !front::write(printer, ir->name.data, size_t(ir->name.length)) ||
        !front::write(printer, "(", 1))
        return false;
    for (uint32_t i = 0; i < ir->paramCount && i < ir->locals.count; i++) {
        if (i && !front::write(printer, ", ", 2)) return false;
        const front::Text& name = ir->locals.items[i];
        if (!front::write(printer, name.data, size_t(name.length))) return false;
    }
    if (!front::write(printer, "):\n", 3)) return false;
    if (ir->body.count == 0) return front::writeIndent(printer, 1) && front::writePass(printer);
    for (uint64_t i = 0; i < ir->body.count; i++)
        if (front::printStatement(printer, *ir, ir->body.items[i], 1) != Status::ok) return false;
    return true;
}

PyObject* ir(PyObject* self, PyObject* args, PyObject* kwargs) {
    LanguageObject* language = languageOf(self);
    if (!language || args::exactly(args, kwargs, 1) < 0) return nullptr;
    PyObject* fn = PyTuple_GET_ITEM(args, 0);
    if (frontCheck(language, fn) < 0) return nullptr;
    front::Printer printer;
    PyObject* text = nullptr;
    if (printFunction(printer, front::cachedFront(language->frontCache, fn)))
        text = PyUnicode_DecodeUTF8(printer.data, Py_ssize_t(printer.length), "replace");
    else
        PyErr_NoMemory();
    front::freePrinter(printer);
    return text;
}

// eval() and exec(): a registrar for the kind argument.
PyObject* registrarFor(PyObject* self, PyObject* args, PyObject* kwargs, const char* name,
                       RegistrarTable table) {
    LanguageObject* language = languageOf(self);
    if (!language) return nullptr;
    static constexpr args::Param params[] = {{"kind", true}, {"native", false}};
    PyObject* values[2];
    if (args::parse(name, params, args, kwargs, values) < 0) return nullptr;
    int native = values[1] ? PyObject_IsTrue(values[1]) : 1;
    if (native < 0) return nullptr;
    // The truth test may run any code, even code that empties this language.
    if (!(language = languageOf(self)) || checkKinds(language, values[0]) < 0) return nullptr;
    return newRegistrar(self, values[0], table, native == 1);
}

PyObject* eval(PyObject* self, PyObject* args, PyObject* kwargs) {
    return registrarFor(self, args, kwargs, "eval", RegistrarTable::eval);
}

PyObject* exec(PyObject* self, PyObject* args, PyObject* kwargs) {
    return registrarFor(self, args, kwargs, "exec", RegistrarTable::exec);
}

}  // namespace

int labelOf(const ptree::GrammarInfo* grammar, PyObject* given, const char* fallback, bool optional,
            uint8_t* out) {
    if (given && given != Py_None) {
        Py_ssize_t length;
        const char* text = args::strArg(given, "a label must be a str", &length);
        if (!text) return -1;
        *out = ptree::fieldLabel(grammar, text, size_t(length));
        if (!*out) {
            PyErr_Format(PyExc_ValueError, "the grammar has no label '%U'", given);
            return -1;
        }
        return 0;
    }
    *out = ptree::fieldLabel(grammar, fallback, strlen(fallback));
    if (!*out && !optional) {
        PyErr_Format(PyExc_ValueError,
                     "the grammar has no label '%s': say which label is the function's %s",
                     fallback, fallback);
        return -1;
    }
    return 0;
}

namespace {

// A choice given as a str among fixed words (missing=, extra=): its index, or -1.
struct Choice {
    const char* notAStr;  // the TypeError's text
    const char* const* words;
    size_t count;
    const char* wrong;  // the ValueError's format, with one %U for the value (the str)
};

// The words in the order of MissingArgs and ExtraArgs: choose gives a word's index.
constexpr const char* kMissingWords[] = {"error", "none"};
constexpr const char* kExtraWords[] = {"error", "drop", "keep"};
static_assert(uint8_t(MissingArgs::none) == 1 && uint8_t(ExtraArgs::keep) == 2);
constexpr Choice kMissing = {"missing must be a str", kMissingWords, 2,
                             "missing= is \"error\" or \"none\", not '%U'"};
constexpr Choice kExtra = {"extra must be a str", kExtraWords, 3,
                           "extra= is \"error\", \"drop\" or \"keep\", not '%U'"};

int choose(const Choice& choice, PyObject* given, uint8_t* out) {
    *out = 0;
    if (!given || given == Py_None) return 0;
    Py_ssize_t length;
    const char* text = args::strArg(given, choice.notAStr, &length);
    if (!text) return -1;
    // Compared with its length: a str with a NUL in it is none of the words.
    for (size_t i = 0; i < choice.count; i++) {
        if (strlen(choice.words[i]) == size_t(length) && strcmp(text, choice.words[i]) == 0) {
            *out = uint8_t(i);
            return 0;
        }
    }
    PyErr_Format(PyExc_ValueError, choice.wrong, given);
    return -1;
}

// The kind's first index whose rule name (only) is name, or -1.
int32_t ruleIndex(const ptree::GrammarInfo* grammar, const char* name, size_t length) {
    for (uint32_t k = 0; k < grammar->kindCount; k++) {
        const ptree::Text& rule = grammar->ruleNames[k];
        if (rule.length == length && memcmp(rule.data, name, length) == 0) return int32_t(k);
    }
    return -1;
}

int bodyOf(const ptree::GrammarInfo* grammar, PyObject* given, FunctionKind* record) {
    if (!given || given == Py_None) {
        record->bodyRule = kNoBodyRule;
        return labelOf(grammar, nullptr, "body", false, &record->bodyLabel);
    }
    Py_ssize_t length;
    const char* text = args::strArg(given, "body must be a str", &length);
    if (!text) return -1;
    if (uint8_t label = ptree::fieldLabel(grammar, text, size_t(length))) {
        record->bodyLabel = label;
        record->bodyRule = kNoBodyRule;
        return 0;
    }
    int32_t rule = ruleIndex(grammar, text, size_t(length));
    if (rule < 0) {
        PyErr_Format(PyExc_ValueError,
                     "the grammar has no label or rule '%U' (the function's body)", given);
        return -1;
    }
    record->bodyRule = uint16_t(rule);
    record->bodyLabel = 0;
    return 0;
}

bool kindMatches(const ptree::GrammarInfo* grammar, uint32_t k, const char* name, size_t length) {
    const ptree::Text& rule = grammar->ruleNames[k];
    const ptree::Text& kind = grammar->kindNames[k];
    return (rule.length == length && memcmp(rule.data, name, length) == 0) ||
           (kind.length == length && memcmp(kind.data, name, length) == 0);
}

PyObject* function(PyObject* self, PyObject* args, PyObject* kwargs) {
    LanguageObject* language = languageOf(self);
    if (!language) return nullptr;
    enum { Kind, Params, Body, Name, Hoist, Missing, Extra, Count };
    static constexpr args::Param params[Count] = {
        {"kind", true},   {"params", false},  {"body", false},  {"name", false},
        {"hoist", false}, {"missing", false}, {"extra", false},
    };
    PyObject* values[Count];
    if (args::parse("function", params, args, kwargs, values) < 0) return nullptr;
    FunctionKind record{};
    record.isFunction = true;
    int hoist = values[Hoist] ? PyObject_IsTrue(values[Hoist]) : 1;
    if (hoist < 0) return nullptr;
    record.hoist = hoist == 1;
    // The truth test may run any code, even code that empties this language.
    if (!(language = languageOf(self))) return nullptr;
    const ptree::GrammarInfo* grammar = language->grammar;
    Py_ssize_t length;
    const char* kind = args::strArg(values[Kind], "kind must be a str", &length);
    if (!kind) return nullptr;
    if (kindIndex(grammar, kind, size_t(length)) < 0) {
        PyErr_Format(PyExc_ValueError, "the grammar has no rule or -> class named '%U'",
                     values[Kind]);
        return nullptr;
    }
    uint8_t missing = 0, extra = 0;
    if (choose(kMissing, values[Missing], &missing) < 0 ||
        choose(kExtra, values[Extra], &extra) < 0 ||
        labelOf(grammar, values[Params], "params", true, &record.paramsLabel) < 0 ||
        bodyOf(grammar, values[Body], &record) < 0 ||
        labelOf(grammar, values[Name], "name", true, &record.nameLabel) < 0)
        return nullptr;
    record.missing = MissingArgs(missing);
    record.extra = ExtraArgs(extra);
    for (uint32_t k = 0; k < grammar->kindCount; k++)
        if (kindMatches(grammar, k, kind, size_t(length))) language->functionKinds[k] = record;
    Py_RETURN_NONE;
}

PyObject* host(PyObject* self, PyObject* args, PyObject* kwargs) {
    LanguageObject* language = languageOf(self);
    if (!language) return nullptr;
    static constexpr args::Param params[] = {{"func", true}, {"implementation", false}};
    PyObject* values[2];
    if (args::parse("host", params, args, kwargs, values) < 0) return nullptr;
    PyObject* func = values[0];
    PyObject* implementation = values[1];
    if (implementation && implementation != Py_None) {
        if (addHost(language, func, implementation) < 0) return nullptr;
        return Py_NewRef(implementation);
    }
    if (PyUnicode_Check(func)) return newRegistrar(self, func, RegistrarTable::host, true);
    PyObject* name = PyObject_GetAttrString(func, "__name__");
    if (!name) return nullptr;
    // Reading __name__ may run any code, even code that empties this language.
    language = languageOf(self);
    int added = language ? addHost(language, name, func) : -1;
    Py_DECREF(name);
    return added < 0 ? nullptr : Py_NewRef(func);
}

bool isArgumentKind(char c) { return c == 'i' || c == 'f' || c == '?' || c == 'b'; }
bool isResultKind(char c) { return c == 'i' || c == 'f' || c == '?' || c == 'n'; }

PyObject* nativeHost(PyObject* self, PyObject* args, PyObject* kwargs) {
    LanguageObject* language = languageOf(self);
    if (!language || args::exactly(args, kwargs, 2) < 0) return nullptr;
    PyObject* name = PyTuple_GET_ITEM(args, 0);
    PyObject* capsule = PyTuple_GET_ITEM(args, 1);
    if (!PyUnicode_Check(name)) {
        PyErr_SetString(PyExc_TypeError, "a host function's name must be a str");
        return nullptr;
    }
    auto* record = static_cast<NativeRecord*>(PyCapsule_GetPointer(capsule, "wuna.native.v1"));
    if (!record) return nullptr;
    if (record->abi != kNativeAbi) {
        PyErr_Format(PyExc_ValueError, "a native host function of ABI %u: wuna knows ABI 1",
                     unsigned(record->abi));
        return nullptr;
    }
    // Refused now rather than called through later: a call would jump to address 0.
    if (!record->call) {
        PyErr_SetString(PyExc_ValueError,
                        "a native host function's record has no call function (it is null)");
        return nullptr;
    }
    const char* signature = record->signature ? record->signature : "";
    size_t length = strlen(signature);
    const char* colon = strchr(signature, ':');
    size_t count = colon ? size_t(colon - signature) : length;
    if (count > kNativeMaxArgs || length != count + 2) {
        PyErr_Format(PyExc_ValueError,
                     "a native host function's signature is its arguments' kinds, ':', its "
                     "result's (\"bi:i\"; at most 8 arguments), not '%s'",
                     signature);
        return nullptr;
    }
    // The letters are checked before the object is made: a failure then has nothing to drop.
    for (size_t i = 0; i < count; i++) {
        if (!isArgumentKind(signature[i])) {
            PyErr_Format(PyExc_ValueError, "'%c' isn't a kind of argument (i, f, ?, b)",
                         static_cast<unsigned char>(signature[i]));
            return nullptr;
        }
    }
    if (!isResultKind(signature[count + 1])) {
        PyErr_Format(PyExc_ValueError, "'%c' isn't a kind of result (i, f, ?, n)",
                     static_cast<unsigned char>(signature[count + 1]));
        return nullptr;
    }
    PyObject* made =
        newNativeHost(capsule, record, name, uint32_t(count), signature, signature[count + 1]);
    if (!made) return nullptr;
    if (addHost(language, name, made) < 0) {
        Py_DECREF(made);
        return nullptr;
    }
    return made;
}

constexpr int kKeywords = METH_VARARGS | METH_KEYWORDS;

// The methods of this file, in the class's table order; load, session, repl, compile and
// load_compiled follow with loading, sessions and compiled modules.
PyMethodDef languageMethods[] = {
    {"types", asPyCFunction(types), kKeywords,
     WUNA_DOC("types($self, mapping, /)",
              "types(mapping): what values of the language's types (nomos' types(): 'int', "
              "'list[int]', a struct's name) are, as Python types (int, float, bool, str, "
              "type(None), list, tuple, dict, wuna.Function, a record class): a dict by type "
              "name (or a generic's name: 'list' for 'list[int]'), or a function of the type's "
              "text. Compiled code then knows a node's kind from its type: checked once where "
              "it's made, unboxed after.")},
    {"python_semantics", WUNA_NO_ARGUMENTS(pythonSemantics),
     WUNA_DOC("python_semantics($self, /)",
              "python_semantics(): the semantics compiled programs run as Python, {name: why}: "
              "those marked native=False and those the compiler couldn't compile (where, and "
              "what): what to rewrite for speed.")},
    {"ir", asPyCFunction(ir), kKeywords,
     WUNA_DOC("ir($self, fn, /)",
              "ir(fn): a semantic (or any function) as the compiler's front reads it, as text "
              "(for tests, and to see what gets compiled).")},
    {"eval", asPyCFunction(eval), kKeywords,
     WUNA_DOC("eval($self, /, kind, native=True)",
              "@lang.eval(kind): the semantics of an expression kind (a -> class or rule name, "
              "or a list of them): fn(node, rt) -> value.")},
    {"exec", asPyCFunction(exec), kKeywords,
     WUNA_DOC("exec($self, /, kind, native=True)",
              "@lang.exec(kind): the semantics of a statement kind: fn(node, rt).")},
    {"function", asPyCFunction(function), kKeywords,
     WUNA_DOC("function($self, /, kind, params=None, body=None, name=None, hoist=True, "
              "missing=None, extra=None)",
              "function(kind, params='params', body='body', name='name', hoist=True): nodes of "
              "kind define functions, with those labels for their parameters, body and name.")},
    {"host", asPyCFunction(host), kKeywords,
     WUNA_DOC("host($self, /, func, implementation=None)",
              "@lang.host, @lang.host('name') or lang.host('name', fn): a Python function the "
              "program calls through the builtin of that name.")},
    {"native_host", asPyCFunction(nativeHost), kKeywords,
     WUNA_DOC("native_host($self, name, capsule, /)",
              "native_host(name, capsule): a native library's function (a 'wuna.native.v1' "
              "capsule) as the host function `name`, called by compiled code directly, without "
              "Python. Returns the wuna.NativeHost made for it.")},
    {"load", asPyCFunction(languageLoad), kKeywords,
     WUNA_DOC("load($self, /, source, path=None)",
              "load(source, path=None): parse and check a program (the parser, then the rules); "
              "a Program, or LoadError listing the errors (path names the source in them).")},
    {"session", WUNA_NO_ARGUMENTS(languageSession),
     WUNA_DOC("session($self, /)",
              "session(): a Session, to run programs one after another, each seeing the "
              "variables and functions the ones before it defined (a REPL's).")},
    {"repl", asPyCFunction(languageRepl), kKeywords,
     WUNA_DOC("repl($self, /, prompt=None, more=None, show=None)",
              "repl(prompt='> ', more='... ', show=None): an interactive session on input(): "
              "more lines while an entry isn't finished (an empty line ends it anyway); the "
              "value of an expression shown with show(value) (default: printed, unless None); "
              "errors printed and the session going on. Ctrl-D ends it, Ctrl-C drops or stops "
              "the entry.")},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot languageSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(languageNew)},
    {Py_tp_init, reinterpret_cast<void*>(languageInit)},
    {Py_tp_dealloc, reinterpret_cast<void*>(languageDealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(languageTraverse)},
    {Py_tp_clear, reinterpret_cast<void*>(languageClear)},
    {Py_tp_repr, reinterpret_cast<void*>(languageRepr)},
    {Py_tp_methods, languageMethods},
    {Py_tp_doc,
     const_cast<char*>(
         "Language(parser, rules=None, *, max_depth=1000, hot_calls=1000, strict=False): a "
         "language to run programs of: its pargo parser, its nomos rules (for names and their "
         "variables), and its semantics (eval, exec, function, host). load(source) parses and "
         "checks a program. strict=True: compiled code calling nothing in Python (what would "
         "is a CompileError, or a StrictError as it runs).")},
    {0, nullptr},
};

// --- the CompileError of a refused function ------------------------------------------------

// fn.__code__.<attribute>, or null (the error cleared).
PyObject* codeAttribute(PyObject* fn, const char* attribute) {
    PyObject* code = PyObject_GetAttrString(fn, "__code__");
    PyObject* value = code ? PyObject_GetAttrString(code, attribute) : nullptr;
    Py_XDECREF(code);
    if (!value) PyErr_Clear();
    return value;
}

}  // namespace

void compileErrorOf(PyObject* fn, const front::Failure& failure) {
    const char* file = "<unknown>";
    size_t fileLength = strlen(file);
    PyObject* filename = codeAttribute(fn, "co_filename");
    if (filename) {
        Py_ssize_t length;
        const char* text =
            PyUnicode_Check(filename) ? PyUnicode_AsUTF8AndSize(filename, &length) : nullptr;
        if (text) {
            file = text;
            fileLength = cutUtf8(text, size_t(length), kFileBytes);
        } else {
            PyErr_Clear();
        }
    }
    long long line = uint32_t(failure.position);
    long long column = uint32_t(failure.position >> 32);
    if (line == 0) {
        PyObject* first = codeAttribute(fn, "co_firstlineno");
        line = first ? PyLong_AsLongLong(first) : 0;
        if (line == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            line = 0;
        }
        Py_XDECREF(first);
    }
    const char* name = "?";
    size_t nameLength = 1;
    PyObject* pyName = PyObject_GetAttrString(fn, "__name__");
    if (pyName) {
        Py_ssize_t length;
        const char* text =
            PyUnicode_Check(pyName) ? PyUnicode_AsUTF8AndSize(pyName, &length) : nullptr;
        if (text) {
            name = text;
            nameLength = cutUtf8(text, size_t(length), kNameBytes);
        }
    }
    PyErr_Clear();
    size_t reasonLength =
        failure.length < front::kFailureText ? failure.length : front::kFailureText;
    char message[kMessageBytes];
    int written =
        snprintf(message, sizeof message, "%.*s:%lld:%lld: in %.*s(): %.*s", int(fileLength), file,
                 line, column, int(nameLength), name, int(reasonLength), failure.text);
    // The pieces are cut so that the whole always fits.
    size_t messageLength = written < 0 ? 0 : size_t(written);

    PyObject* text = PyUnicode_DecodeUTF8(message, Py_ssize_t(messageLength), "replace");
    PyObject* fileText = PyUnicode_DecodeUTF8(file, Py_ssize_t(fileLength), "replace");
    PyObject* reason = PyUnicode_DecodeUTF8(failure.text, Py_ssize_t(reasonLength), "replace");
    PyObject* lineNumber = PyLong_FromLongLong(line);
    PyObject* columnNumber = PyLong_FromLongLong(column);
    Py_XDECREF(filename);
    Py_XDECREF(pyName);
    PyObject* error = nullptr;
    if (text && fileText && reason && lineNumber && columnNumber &&
        (error = PyObject_CallOneArg(compileErrorClass, text)) &&
        PyObject_SetAttrString(error, "file", fileText) == 0 &&
        PyObject_SetAttrString(error, "line", lineNumber) == 0 &&
        PyObject_SetAttrString(error, "column", columnNumber) == 0 &&
        PyObject_SetAttrString(error, "reason", reason) == 0)
        PyErr_SetObject(compileErrorClass, error);
    if (!PyErr_Occurred()) PyErr_NoMemory();
    Py_XDECREF(error);
    Py_XDECREF(text);
    Py_XDECREF(fileText);
    Py_XDECREF(reason);
    Py_XDECREF(lineNumber);
    Py_XDECREF(columnNumber);
}

PyType_Spec languageSpec = {"wuna.Language", int(sizeof(LanguageObject)), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE,
                            languageSlots};

LanguageObject* languageOf(PyObject* object) {
    if (!PyObject_TypeCheck(object, languageType)) {
        PyErr_Format(PyExc_TypeError, "a wuna.Language is needed, not '%s'",
                     Py_TYPE(object)->tp_name);
        return nullptr;
    }
    LanguageObject* language = asLanguage(object);
    if (!language->grammar) {
        PyErr_SetString(PyExc_RuntimeError,
                        "this Language has no grammar: its constructor, Language(parser, ...), "
                        "has not run (or failed)");
        return nullptr;
    }
    // Construction fills the object whole and release empties it whole, each without running
    // code in between: a grammar comes with every table.
    WUNA_CHECK(language->functionKinds && language->evalPerKind && language->execPerKind &&
               language->evals && language->execs && language->hosts && language->parser);
    return language;
}

void releaseLanguage(LanguageObject* language) {
    // Everything is taken out of the object before anything is released: releasing a
    // reference may run any code, and code that reaches this language again finds it empty
    // (its methods refuse, or a new __init__ fills it afresh) rather than half released.
    ptree::GrammarInfo* grammar = language->grammar;
    PyObject* references[] = {language->parser, language->rules, language->evals,
                              language->execs,  language->hosts, language->types};
    void* arrays[] = {language->functionKinds, language->evalPerKind, language->execPerKind};
    front::Cache cache = language->frontCache;
    idmap::IdMap<Why> why = language->why;
    idmap::IdMap<void*> compilerMap = language->compilerMap;
    compile::EscapedSites* runTimeContainers = language->runTimeContainers;
    language->runTimeContainers = nullptr;
    language->grammar = nullptr;
    language->parser = language->rules = language->evals = nullptr;
    language->execs = language->hosts = language->types = nullptr;
    language->functionKinds = nullptr;
    language->evalPerKind = language->execPerKind = nullptr;
    language->frontCache = {};
    language->why = {};
    language->compilerMap = {};
    language->kindTablesBuilt = 0;

    // Trees of programs loaded from this language hold the grammar too: the last one frees it.
    ptree::dropGrammar(grammar);
    for (void* array : arrays) free(array);
    compilerMap.clear();
    driver::freeRunTimeContainers(runTimeContainers);
    for (PyObject* reference : references) Py_XDECREF(reference);
    front::clearFronts(cache);
    why.forEach([](const void* fn, Why reason) {
        free(reason.text);
        Py_DECREF(static_cast<PyObject*>(const_cast<void*>(fn)));
    });
    why.clear();
}

void buildKindTables(LanguageObject* language) {
    if (language->kindTablesBuilt) return;
    // The dicts' keys are plain strs (exactStr): the lookups run no Python code, so neither
    // the grammar nor the dicts can change while the tables are filled.
    const ptree::GrammarInfo* grammar = language->grammar;
    for (uint32_t k = 0; k < grammar->kindCount; k++) {
        PyObject* ruleName = nullptr;
        for (int table = 0; table < 2; table++) {
            PyObject* dict = table ? language->execs : language->evals;
            PyObject* fn = PyDict_GetItemWithError(dict, grammar->pyNames[k]);
            if (!fn && !PyErr_Occurred()) {
                if (!ruleName)
                    ruleName = PyUnicode_DecodeUTF8(grammar->ruleNames[k].data,
                                                    grammar->ruleNames[k].length, "replace");
                if (ruleName) fn = PyDict_GetItemWithError(dict, ruleName);
            }
            PyErr_Clear();
            (table ? language->execPerKind : language->evalPerKind)[k] = fn;
        }
        Py_XDECREF(ruleName);
    }
    language->kindTablesBuilt = 1;
}

int32_t kindIndex(const ptree::GrammarInfo* grammar, const char* name, size_t length) {
    for (uint32_t k = 0; k < grammar->kindCount; k++)
        if (kindMatches(grammar, k, name, length)) return int32_t(k);
    return -1;
}

namespace {

int checkKind(LanguageObject* language, PyObject* kind) {
    Py_ssize_t length;
    const char* text = args::strArg(kind, "a kind is a str or a list of them", &length);
    if (!text) return -1;
    if (kindIndex(language->grammar, text, size_t(length)) < 0) {
        // The str itself, not its UTF-8: a NUL in the name would cut the text.
        PyErr_Format(PyExc_ValueError, "the grammar has no rule or -> class named '%U'", kind);
        return -1;
    }
    return 0;
}

}  // namespace

int checkKinds(LanguageObject* language, PyObject* kind) {
    if (PyUnicode_Check(kind)) return checkKind(language, kind);
    if (!PySequence_Check(kind)) {
        PyErr_SetString(PyExc_TypeError, "a kind is a str or a list of them");
        return -1;
    }
    PyObject* items = PySequence_Fast(kind, "a kind is a str or a list of them");
    if (!items) return -1;
    // Iterating a sequence may run any code, even code that empties this language.
    if (!languageOf(reinterpret_cast<PyObject*>(language))) {
        Py_DECREF(items);
        return -1;
    }
    int result = 0;
    for (Py_ssize_t i = 0; result == 0 && i < PySequence_Fast_GET_SIZE(items); i++)
        result = checkKind(language, PySequence_Fast_GET_ITEM(items, i));
    Py_DECREF(items);
    return result;
}

int frontCheck(LanguageObject* language, PyObject* fn) {
    if (front::cachedFront(language->frontCache, fn)) return 0;
    front::FunctionIR* ir = nullptr;
    front::Failure failure{};
    switch (front::lowerFunction(&ir, fn, &failure)) {
    case Status::ok:
        // Lowering may run Python code (reading the function's source), even code that
        // emptied this language or had fn read already.
        if (!languageOf(reinterpret_cast<PyObject*>(language))) {
            front::freeFunction(ir);
            return -1;
        }
        if (front::cachedFront(language->frontCache, fn)) {
            front::freeFunction(ir);
            return 0;
        }
        if (front::enterFront(language->frontCache, fn, ir) == Status::ok) return 0;
        PyErr_NoMemory();
        return -1;
    case Status::unsupported: compileErrorOf(fn, failure); return -1;
    case Status::pythonError:
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return -1;
    default: PyErr_NoMemory(); return -1;
    }
}

int keepWhy(LanguageObject* language, PyObject* fn, const char* text, size_t length) {
    if (language->why.find(fn)) return 0;
    char* copy = static_cast<char*>(malloc(length ? length : 1));
    if (!copy) {
        PyErr_NoMemory();
        return -1;
    }
    memcpy(copy, text, length);
    if (!language->why.put(fn, Why{copy, length})) {
        free(copy);
        PyErr_NoMemory();
        return -1;
    }
    Py_INCREF(fn);
    return 0;
}

PyObject* exactStr(PyObject* text) {
    return PyUnicode_CheckExact(text) ? Py_NewRef(text) : PyUnicode_FromObject(text);
}

int addHost(LanguageObject* language, PyObject* name, PyObject* fn) {
    if (!PyUnicode_Check(name)) {
        PyErr_SetString(PyExc_TypeError, "a host function's name must be a str");
        return -1;
    }
    if (!PyCallable_Check(fn)) {
        PyErr_SetString(PyExc_TypeError, "a host function must be callable");
        return -1;
    }
    // Keyed by a plain str, so that looking a host up never runs a str subclass's __eq__ or
    // __hash__. The dict is held: dropping the host replaced may run any code.
    PyObject* key = exactStr(name);
    if (!key) return -1;
    PyObject* hosts = Py_NewRef(language->hosts);
    int stored = PyDict_SetItem(hosts, key, fn);
    Py_DECREF(hosts);
    Py_DECREF(key);
    return stored;
}

}  // namespace wuna::host
