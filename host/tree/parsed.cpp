// Compiled code's rt.parse on the module's side (see tree/parsed.h): the parser prepared while
// compiling, the native parse and its tree, and the tree's release.
#include "host/tree/parsed.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "wuna/runtime/gil.h"
#include "wuna/runtime/value.h"

namespace wuna::ptree {

namespace {

using pargo::layout::FreeFunction;
using pargo::layout::GrammarRecord;
using pargo::layout::ParseFunction;
using parsed::ParseStatus;

// The parser package's flag for a recovering parse.
constexpr uint32_t kRecoverFlag = 2;

ParseFunction parseOf(const Grammar* g) { return reinterpret_cast<ParseFunction>(g->parse[1]); }
FreeFunction releaseOf(const Grammar* g) { return reinterpret_cast<FreeFunction>(g->release); }

// The parser's statuses other than a parse: what wn_parse reports for each.
ParseStatus failedParse(int status) {
    switch (status) {
    case int(ParseStatus::syntaxError): return ParseStatus::syntaxError;
    case int(ParseStatus::unknownStart): return ParseStatus::unknownStart;
    case int(ParseStatus::noNodes): return ParseStatus::noNodes;
    default: return ParseStatus::outOfMemory;
    }
}

// The capsules registered grammars point into, held for the process (under the interpreter
// lock). Running out of memory here only leaves the reference unlisted.
struct HeldCapsule {
    HeldCapsule* next;
    PyObject* capsule;
};
HeldCapsule* heldCapsules = nullptr;

void holdCapsule(PyObject* capsule) {
    auto* held = static_cast<HeldCapsule*>(malloc(sizeof(HeldCapsule)));
    if (!held) return;
    held->next = heldCapsules;
    held->capsule = capsule;
    heldCapsules = held;
}

// A registry record of the capsule's operations and the parser's grammar. 0, or -1 with
// MemoryError (nothing registered).
int registerRecord(PyObject* parser, const GrammarRecord* record, GrammarInfo* info) {
    auto* g = static_cast<Grammar*>(calloc(1, sizeof(Grammar)));
    if (!g) {
        PyErr_NoMemory();
        return -1;
    }
    g->parse[0] = record->grammar;
    g->parse[1] = reinterpret_cast<const void*>(record->parse);
    g->release = reinterpret_cast<const void*>(record->free);
    g->info = info;
    if (registerGrammar(parser, g) != Status::ok) {
        free(g);
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

// The views the runtime reads of a tree just built.
void fillViews(ParsedTree* tree, const GrammarInfo* info) {
    tree->grammarView = {info->kindCount, info->ruleNames,   info->kindNames,  info->actions,
                         info->labels,    info->labelCounts, info->fieldCount, info->fields};
    const Index* index = tree->index;
    tree->shared.view = {index->nodes,      index->count,       index->text,
                         index->textLength, index->parents,     index->lineStarts,
                         index->lineCount,  &tree->grammarView, &tree->cache};
    tree->shared.holders.store(1, std::memory_order_relaxed);
}

// A copy of the start rule's name in an allocation of at least 16 bytes, or null.
char* copyStart(const char* start, uint32_t* length) {
    size_t n = strlen(start);
    char* copy = static_cast<char*>(malloc(n + 1 > 16 ? n + 1 : 16));
    if (!copy) return nullptr;
    memcpy(copy, start, n + 1);
    *length = uint32_t(n);
    return copy;
}

}  // namespace

int prepareParser(PyObject* parser) {
    if (grammarOf(parser)) return 0;
    GrammarInfo* info = parserGrammar(parser);
    if (!info) return -1;
    PyObject* capsule = PyObject_GetAttrString(parser, "capsule");
    if (!capsule) {
        PyErr_Clear();
        PyErr_SetString(
            PyExc_ImportError,
            "rt.parse in compiled code needs pargo 0.6 or later (GrammarParser.capsule)");
        return -1;
    }
    auto* record = static_cast<const GrammarRecord*>(
        PyCapsule_GetPointer(capsule, pargo::layout::grammarCapsuleName));
    if (!record) {
        Py_DECREF(capsule);
        return -1;
    }
    if (record->abi != pargo::layout::grammarAbi) {
        unsigned abi = record->abi;
        Py_DECREF(capsule);
        PyErr_Format(PyExc_ImportError,
                     "wuna parses with pargo's grammars of ABI %u, this pargo has %u",
                     unsigned(pargo::layout::grammarAbi), abi);
        return -1;
    }
    // Reading the grammar and the capsule ran Python code, which may have prepared this very
    // parser (a compile from inside its methods): the record registered first stays.
    if (grammarOf(parser)) {
        Py_DECREF(capsule);
        return 0;
    }
    if (registerRecord(parser, record, info) < 0) {
        Py_DECREF(capsule);
        return -1;
    }
    // The record points into the capsule's memory and lives for the process: so does the
    // capsule's reference, kept where the leak checker sees it.
    holdCapsule(capsule);
    return 0;
}

ParseStatus parseNative(PyObject* parser, value::Value text, const char* data, uint64_t length,
                        const char* start, bool recover, parsed::Outcome* out) {
    *out = parsed::Outcome{};
    const Grammar* g = grammarOf(parser);
    if (!g) return ParseStatus::notPrepared;
    TreeCapsule result{};
    int status = parseOf(g)(static_cast<const pargo::grammar::Grammar*>(g->parse[0]), data, length,
                            start, recover ? kRecoverFlag : 0, &result, &out->error);
    if (status != int(ParseStatus::parsed)) return failedParse(status);
    void* memory = calloc(1, sizeof(ParsedTree));
    auto* tree = memory ? new (memory) ParsedTree{} : nullptr;
    uint32_t startLength = 0;
    char* startCopy = tree && start ? copyStart(start, &startLength) : nullptr;
    Refusal refusal;
    // The index points into the result's node array (and the text), not into the record:
    // built from the tree's own copy, it stays valid as long as the tree.
    if (tree) tree->result = result;
    if (!tree || (start && !startCopy) ||
        build(g->info, nullptr, 0, &tree->result, nullptr, &tree->index, &refusal) != Status::ok) {
        free(startCopy);
        free(memory);
        releaseOf(g)(&result);
        return ParseStatus::outOfMemory;
    }
    tree->grammar = g;
    tree->start = startCopy;
    tree->startLength = startLength;
    tree->recover = recover;
    value::incref(text);
    tree->text = text;
    fillViews(tree, g->info);
    out->tree = &tree->shared;
    out->errors = tree->result.errors;
    out->errorCount = tree->result.errorCount;
    return ParseStatus::parsed;
}

void releaseParsed(void* holder) {
    auto* tree = static_cast<ParsedTree*>(holder);
    if (tree->shared.holders.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    if (tree->root) {
        // The last holder may be a run thread without the interpreter lock.
        gil::Record* r = gil::enter();
        Py_CLEAR(tree->root);
        gil::leave(r);
    }
    nodes::freeCache(&tree->cache, tree->index->count);
    freeIndex(tree->index);
    releaseOf(tree->grammar)(&tree->result);
    value::decref(tree->text);
    free(tree->start);
    free(tree);
}

}  // namespace wuna::ptree
