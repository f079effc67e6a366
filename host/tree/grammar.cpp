// Grammar metadata and the process-wide grammar tables (see tree/grammar.h).
//
// readGrammar calls the parser's four methods, checks the shapes and limits, then copies
// every name into the grammar's arena in one pass over the kinds. Any failure drops what was
// made so far (the interned names, the arena) and leaves the caller's record empty; every
// step answers 0, or -1 with the Python exception (MemoryError when memory ran out). What the
// methods give is read from tuples of its own (a tuple given is kept as it is: it cannot
// change), since a label flag's truth test runs Python code that may change the lists.
#include "host/tree/grammar.h"

#include <cstdlib>
#include <cstring>

#include "host/support/idmap.h"
#include "host/support/check.h"
#include "wuna/runtime/spin.h"

namespace wuna::ptree {

namespace {

using arena::freeArena;
using arena::newArena;
using arena::take;
using arena::takeArray;

bool copyText(Arena* arena, const char* data, size_t length, Text* out) {
    char* copy = static_cast<char*>(take(arena, length + 1));
    if (!copy) return false;
    memcpy(copy, data, length);
    copy[length] = 0;
    *out = {copy, uint32_t(length)};
    return true;
}

// The actions with codes 1 to 12, by code.
constexpr const char* kActionNames[] = {nullptr, "str",   "int",  "float", "unquote",
                                        "True",  "False", "None", "list",  "tuple",
                                        "dict",  "first", "drop"};

bool sameText(const Text& text, const char* name, size_t length) {
    return text.length == length && memcmp(text.data, name, length) == 0;
}

// Compared with the length, so an action text holding a NUL is a class name, not a prefix.
uint8_t actionCode(const Text& text) {
    for (uint8_t code = 1; code < sizeof kActionNames / sizeof *kActionNames; code++)
        if (sameText(text, kActionNames[code], strlen(kActionNames[code]))) return code;
    return ActionClass;
}

uint32_t hashName(const char* name, size_t length) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < length; i++) h = (h ^ uint8_t(name[i])) * 16777619u;
    return h;
}

// Puts field index i into the field map; a name already there takes the later index.
void mapField(GrammarInfo* g, uint32_t i) {
    const Text& name = g->fields[i];
    for (uint32_t s = hashName(name.data, name.length) & g->fieldMask;;
         s = (s + 1) & g->fieldMask) {
        uint8_t label = g->fieldSlots[s];
        if (!label || sameText(g->fields[label - 1], name.data, name.length)) {
            g->fieldSlots[s] = uint8_t(i + 1);
            return;
        }
    }
}

// The parser's four lists as tuples, in the order they are called. References owned by the
// one reader (readWithRoom), which drops them at its single exit.
struct Lists {
    PyObject* rules;
    PyObject* actions;
    PyObject* fields;
    PyObject* labels;
};

void dropLists(Lists& lists) {
    Py_CLEAR(lists.rules);
    Py_CLEAR(lists.actions);
    Py_CLEAR(lists.fields);
    Py_CLEAR(lists.labels);
}

// A tuple of the sequence's items (the tuple itself when it is one, as its items cannot
// change): what code run later does to the sequence no longer matters. Null with a TypeError
// of the given text when it is no sequence (or the iteration's own exception).
PyObject* tupleOf(PyObject* sequence, const char* notAList) {
    PyObject* fast = PySequence_Fast(sequence, notAList);
    if (!fast || PyTuple_Check(fast)) return fast;
    PyObject* tuple = PyList_AsTuple(fast);
    Py_DECREF(fast);
    return tuple;
}

// Calls parser.<name>() and copies its result into a tuple. Null with an exception.
PyObject* callList(PyObject* parser, const char* name, const char* notAList) {
    PyObject* result = PyObject_CallMethod(parser, name, nullptr);
    if (!result) return nullptr;
    PyObject* tuple = tupleOf(result, notAList);
    Py_DECREF(result);
    return tuple;
}

// The four lists into lists (whose fields the caller set to null and drops in every case),
// checked for their lengths and the node word's limits. 0, or -1 with the exception.
int callLists(PyObject* parser, Lists& lists) {
    lists.rules = callList(parser, "rules", "parser.rules() must give a list of rule names");
    if (!lists.rules) return -1;
    lists.actions = callList(parser, "actions", "parser.actions() must give a list");
    if (!lists.actions) return -1;
    lists.fields = callList(parser, "fields", "parser.fields() must give a list of names");
    if (!lists.fields) return -1;
    PyObject* labels = PyObject_CallMethod(parser, "labels", nullptr);
    if (!labels) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ImportError, "wuna needs pargo 0.3.6 or later (parser.labels())");
        return -1;
    }
    lists.labels = tupleOf(labels, "parser.labels() must give a list");
    Py_DECREF(labels);
    if (!lists.labels) return -1;

    Py_ssize_t rules = PyTuple_GET_SIZE(lists.rules);
    Py_ssize_t fields = PyTuple_GET_SIZE(lists.fields);
    if (fields > Py_ssize_t(kMaxFields)) {
        PyErr_Format(PyExc_ValueError, "the grammar has %zd fields (labels): wuna takes at most %d",
                     fields, int(kMaxFields));
        return -1;
    }
    if (rules > Py_ssize_t(kMaxRules)) {
        PyErr_Format(PyExc_ValueError, "the grammar has %zd rules: wuna takes at most %d", rules,
                     int(kMaxRules));
        return -1;
    }
    if (PyTuple_GET_SIZE(lists.actions) != rules) {
        PyErr_SetString(PyExc_TypeError, "parser.actions() must give one item per rule");
        return -1;
    }
    if (PyTuple_GET_SIZE(lists.labels) != rules) {
        PyErr_SetString(PyExc_TypeError, "parser.labels() must give one item per rule");
        return -1;
    }
    return 0;
}

// Memory ran out while reading: -1 with MemoryError, like every other failure here.
int noMemory() {
    PyErr_NoMemory();
    return -1;
}

// Copies a str's UTF-8 into the arena; error is the TypeError text for a non-str. 0, or -1
// with the exception.
int copyStr(Arena* arena, PyObject* item, const char* error, Text* out) {
    if (!PyUnicode_Check(item)) {
        PyErr_SetString(PyExc_TypeError, error);
        return -1;
    }
    Py_ssize_t length;
    const char* data = PyUnicode_AsUTF8AndSize(item, &length);
    if (!data) return -1;
    return copyText(arena, data, size_t(length), out) ? 0 : noMemory();
}

// The field names and their map. 0, or -1 with the exception.
int readFields(GrammarInfo* g, PyObject* fields) {
    Py_ssize_t n = PyTuple_GET_SIZE(fields);
    g->fields = takeArray<Text>(g->arena, size_t(n));
    uint32_t slots = 8;
    while (slots < uint32_t(n) * 2) slots *= 2;
    g->fieldSlots = takeArray<uint8_t>(g->arena, slots);
    if (!g->fields || !g->fieldSlots) return noMemory();
    g->fieldMask = slots - 1;
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject* item = PyTuple_GET_ITEM(fields, i);
        if (copyStr(g->arena, item, "a label must be a str", &g->fields[i]) < 0) return -1;
        g->fieldCount = uint32_t(i + 1);
        mapField(g, uint32_t(i));
    }
    return 0;
}

// The label entries of one kind. 0, or -1 with the exception.
int readLabels(GrammarInfo* g, uint32_t kind, PyObject* item) {
    PyObject* pairs = tupleOf(item, "an item of parser.labels() must be a list of pairs");
    if (!pairs) return -1;
    int result = 0;
    Py_ssize_t n = PyTuple_GET_SIZE(pairs);
    LabelEntry* entries = takeArray<LabelEntry>(g->arena, size_t(n));
    if (!entries) result = noMemory();
    for (Py_ssize_t i = 0; result == 0 && i < n; i++) {
        // The pair is a tuple held by pairs: the flag's truth test below cannot free it.
        PyObject* pair = PyTuple_GET_ITEM(pairs, i);
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
            PyErr_SetString(PyExc_TypeError,
                            "a label of parser.labels() must be a pair (name, is_list)");
            result = -1;
            break;
        }
        PyObject* name = PyTuple_GET_ITEM(pair, 0);
        if (!PyUnicode_Check(name)) {
            PyErr_SetString(PyExc_TypeError, "a label must be a str");
            result = -1;
            break;
        }
        Py_ssize_t length;
        const char* data = PyUnicode_AsUTF8AndSize(name, &length);
        int list = data ? PyObject_IsTrue(PyTuple_GET_ITEM(pair, 1)) : -1;
        if (list < 0) {
            result = -1;
            break;
        }
        entries[i] = {fieldLabel(g, data, size_t(length)), uint8_t(list == 1)};
    }
    Py_DECREF(pairs);
    if (result < 0) return -1;
    g->labels[kind] = entries;
    g->labelCounts[kind] = uint32_t(n);
    return 0;
}

// Kind i: its rule name, action, kind name (also as an interned str) and labels. 0, or -1
// with the exception.
int readKind(GrammarInfo* g, uint32_t i, const Lists& lists) {
    if (copyStr(g->arena, PyTuple_GET_ITEM(lists.rules, i), "a rule name must be a str",
                &g->ruleNames[i]) < 0)
        return -1;
    PyObject* action = PyTuple_GET_ITEM(lists.actions, i);
    g->actions[i] = ActionNone;
    g->kindNames[i] = g->ruleNames[i];
    if (action != Py_None) {
        Text text;
        if (copyStr(g->arena, action, "an action must be a str", &text) < 0) return -1;
        g->actions[i] = actionCode(text);
        if (g->actions[i] == ActionClass) g->kindNames[i] = text;
    }
    PyObject* name = PyUnicode_DecodeUTF8(g->kindNames[i].data, g->kindNames[i].length, "replace");
    if (!name) return -1;
    PyUnicode_InternInPlace(&name);
    g->pyNames[i] = name;
    return readLabels(g, i, PyTuple_GET_ITEM(lists.labels, i));
}

// Drops the Python kind names and frees the arena, leaving the record empty.
void clearGrammar(GrammarInfo* grammar) {
    if (grammar->pyNames)
        for (uint32_t i = 0; i < grammar->kindCount; i++) Py_XDECREF(grammar->pyNames[i]);
    freeArena(grammar->arena);
    *grammar = GrammarInfo{};
}

// The per-kind arrays, room entries each. 0, or -1 with MemoryError.
int takeKindArrays(GrammarInfo* g, size_t room) {
    g->ruleNames = takeArray<Text>(g->arena, room);
    g->actions = takeArray<uint8_t>(g->arena, room);
    g->pyNames = takeArray<PyObject*>(g->arena, room);
    g->kindNames = takeArray<Text>(g->arena, room);
    g->labels = takeArray<LabelEntry*>(g->arena, room);
    g->labelCounts = takeArray<uint32_t>(g->arena, room);
    if (!g->ruleNames || !g->actions || !g->pyNames || !g->kindNames || !g->labels ||
        !g->labelCounts)
        return noMemory();
    return 0;
}

// Reads the grammar with room for extra kinds after the parser's (left zeroed, not counted).
// 0 with *out filled and one holder, or -1 with the exception and *out empty. One exit: the
// lists are dropped there, and on failure what was read so far.
int readWithRoom(PyObject* parser, GrammarInfo* out, uint32_t extra) {
    *out = GrammarInfo{};
    Lists lists{};
    GrammarInfo g{};
    int result = callLists(parser, lists);
    if (result == 0 && !(g.arena = newArena())) result = noMemory();
    if (result == 0) result = readFields(&g, lists.fields);
    uint32_t kinds = lists.rules ? uint32_t(PyTuple_GET_SIZE(lists.rules)) : 0;
    if (result == 0) result = takeKindArrays(&g, size_t(kinds) + extra);
    for (uint32_t i = 0; result == 0 && i < kinds; i++) {
        result = readKind(&g, i, lists);
        // Counted as soon as its Python name exists, so that a failure drops it.
        if (g.pyNames[i]) g.kindCount = i + 1;
    }
    if (result == 0) {
        g.holders = 1;
        *out = g;
    } else {
        clearGrammar(&g);
    }
    dropLists(lists);
    return result;
}

// The grammars rt.parse was given, by parser. Each entry holds its parser (one reference), so
// the key stays that parser's address; trees rt.parse made hold their parser too, and their
// indexes borrow its grammar. An entry whose parser nobody else holds any more (its count
// is our one reference) can never be asked for again, nor is any tree reading its grammar:
// sweepGrammars drops such entries. A sweep runs when an insertion finds the map at
// grammarSweepAt entries, which then becomes twice what is left (at least kFirstSweep), so
// a program making parser after parser keeps a bounded number of dead ones, at a cost
// proportional to the insertions.
idmap::IdMap<GrammarInfo*> grammarCache;
constexpr size_t kFirstSweep = 64;
size_t grammarSweepAt = kFirstSweep;

// The native parsers of compiled code's rt.parse, by parser.
idmap::IdMap<Grammar*> grammars;
spin::Lock grammars_lock;

}  // namespace

int readGrammar(PyObject* parser, GrammarInfo* out) { return readWithRoom(parser, out, 0); }

void holdGrammar(const GrammarInfo* grammar) {
    // holders is a plain count: the interpreter lock is what serialises its changes.
    WUNA_CHECK(PyGILState_Check());
    if (grammar) grammar->holders++;
}

void dropGrammar(const GrammarInfo* grammar) {
    WUNA_CHECK(PyGILState_Check());
    if (!grammar) return;
    // A grammar freed already, or dropped more often than held, would be freed twice.
    WUNA_CHECK(grammar->holders > 0);
    if (--grammar->holders) return;
    auto* owned = const_cast<GrammarInfo*>(grammar);
    clearGrammar(owned);
    free(owned);
}

namespace {

// Drops the cache entries whose parser only the cache holds. The map is rebuilt from the live
// entries first; only then are the dead ones freed, since dropping a parser may run Python
// (a parser of a Python class, its __del__) that comes back to rt.parse and the cache. When
// the new map cannot be made, nothing is dropped.
void sweepGrammars() {
    idmap::IdMap<GrammarInfo*> kept;
    size_t dead = 0;
    bool failed = false;
    grammarCache.forEach([&](const void* key, GrammarInfo* grammar) {
        if (Py_REFCNT(static_cast<PyObject*>(const_cast<void*>(key))) <= 1)
            dead++;
        else if (!failed && !kept.put(key, grammar))
            failed = true;
    });
    if (failed || dead == 0) {
        kept.clear();
        return;
    }
    auto* gone = static_cast<const void**>(malloc(dead * sizeof(void*)));
    auto* grammarsGone = static_cast<GrammarInfo**>(malloc(dead * sizeof(GrammarInfo*)));
    if (!gone || !grammarsGone) {
        free(gone);
        free(grammarsGone);
        kept.clear();
        return;
    }
    size_t n = 0;
    grammarCache.forEach([&](const void* key, GrammarInfo* grammar) {
        if (Py_REFCNT(static_cast<PyObject*>(const_cast<void*>(key))) > 1) return;
        gone[n] = key;
        grammarsGone[n] = grammar;
        n++;
    });
    grammarCache.clear();
    grammarCache = kept;
    for (size_t i = 0; i < n; i++) {
        dropGrammar(grammarsGone[i]);
    }
    for (size_t i = 0; i < n; i++) Py_DECREF(static_cast<PyObject*>(const_cast<void*>(gone[i])));
    free(gone);
    free(grammarsGone);
}

}  // namespace

GrammarInfo* parserGrammar(PyObject* parser) {
    if (GrammarInfo** cached = grammarCache.find(parser)) return *cached;
    if (grammarCache.used >= grammarSweepAt) {
        sweepGrammars();
        grammarSweepAt = grammarCache.used * 2 > kFirstSweep ? grammarCache.used * 2 : kFirstSweep;
    }
    int hasParse = PyObject_HasAttrString(parser, "parse_tree");
    int hasLabels = PyObject_HasAttrString(parser, "labels");
    if (!hasParse || !hasLabels) {
        PyErr_SetString(PyExc_TypeError,
                        "rt.parse: the grammar must be a pargo parser (pargo.compile()'s)");
        return nullptr;
    }
    GrammarInfo* grammar = static_cast<GrammarInfo*>(calloc(1, sizeof(GrammarInfo)));
    if (!grammar) {
        PyErr_NoMemory();
        return nullptr;
    }
    if (readWithRoom(parser, grammar, 1) < 0) {
        free(grammar);
        return nullptr;
    }
    // The parser's methods ran Python code, which may have had this parser's grammar read
    // (rt.parse from inside them): the one cached first stays, the trees made read it.
    if (GrammarInfo** cached = grammarCache.find(parser)) {
        dropGrammar(grammar);
        return *cached;
    }
    // The error nodes of a recovering parse.
    static constexpr char kError[] = "<error>";
    uint32_t k = grammar->kindCount;
    Text name;
    PyObject* pyName = nullptr;
    if (copyText(grammar->arena, kError, sizeof kError - 1, &name) &&
        (pyName = PyUnicode_InternFromString(kError))) {
        grammar->ruleNames[k] = name;
        grammar->kindNames[k] = name;
        grammar->actions[k] = ActionNone;
        grammar->pyNames[k] = pyName;
        grammar->labels[k] = nullptr;
        grammar->labelCounts[k] = 0;
        grammar->kindCount = k + 1;
    }
    if (!pyName || !grammarCache.put(parser, grammar)) {
        dropGrammar(grammar);
        PyErr_Clear();
        PyErr_NoMemory();
        return nullptr;
    }
    Py_INCREF(parser);
    return grammar;
}

uint8_t fieldLabel(const GrammarInfo* g, const char* name, size_t length) {
    if (!g->fieldSlots) return 0;
    for (uint32_t s = hashName(name, length) & g->fieldMask;; s = (s + 1) & g->fieldMask) {
        uint8_t label = g->fieldSlots[s];
        if (!label) return 0;
        if (sameText(g->fields[label - 1], name, length)) return label;
    }
}

Status registerGrammar(PyObject* parser, Grammar* grammar) {
    // The record holds the parser, so that the key address stays this parser's for as long as
    // the entry lives (entries are never removed): a parser freed and another object made at
    // its address would otherwise find the dead parser's native operations.
    if (grammar->parser != parser) {
        Py_INCREF(parser);
        Py_XSETREF(grammar->parser, parser);
    }
    grammars_lock.lock();
    bool stored = grammars.put(parser, grammar);
    grammars_lock.unlock();
    return stored ? Status::ok : Status::outOfMemory;
}

Grammar* grammarOf(PyObject* parser) {
    grammars_lock.lock();
    Grammar** found = grammars.find(parser);
    // Only the record of this very parser answers.
    Grammar* grammar = found && (*found)->parser == parser ? *found : nullptr;
    grammars_lock.unlock();
    return grammar;
}

}  // namespace wuna::ptree
