// Nodes as compiled code reads them: attributes, children and searches answered from a parse
// tree's index and its grammar, natively, without Python.
//
// A tree reaches the runtime as a TreeView: the parser's node array and text, the parents and
// line starts the index adds, the grammar's names and actions (GrammarView) and the tree's
// NodeCache. The runtime cannot see the module's index (host/tree/index.h), so the module
// fills a view of each tree it hands over: the running program's tree through the run record
// (helpers::RunRecord::program) for node index values (tag 11), and a SharedTree, the head of
// every tree that compiled code's rt.parse makes, for counted node blocks (tag 19). Name and
// LabelEntry are the grammar record's own element types (the module's GrammarInfo uses them),
// so a view points into that record's arrays instead of copying them.
//
// The NodeCache holds what a read makes once per tree: the code each attribute name gets
// (names are immortal str literals, so a block's identity stands for its text), the interned
// kind and rule names, and one str per node for its text. The texts are cached for the running
// program's tree only: they are immortal while cached and freed with the cache, and a parsed
// tree's cache goes with the tree's last node, while a text read from it may live on. Several threads may read one tree
// at once (the threads of a compiled module, or the holders of one parsed tree's nodes), and
// none of them takes a lock to read: every entry is published by storing its pointer last,
// with release ordering, and read with acquire ordering, so a reader that sees an entry sees
// it whole. Writers of the name map take the cache's byte spin lock (the map grows by making
// a new table, published the same way; the old one is kept until the cache is freed, as a
// reader may still be walking it). Text and name slots are filled by compare-and-swap: the
// loser of a race gives back what it made and takes the winner's.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "pargo/tree_layout.h"
#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/spin.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::nodes {

using NodeRecord = pargo::layout::Node;

inline constexpr uint32_t kNoParent = 0xFFFFFFFFu;

// A name of a grammar: UTF-8, NUL-terminated, kept by the grammar record.
struct Name {
    const char* data;
    uint32_t length;
};

// One label a kind's nodes carry.
struct LabelEntry {
    uint8_t label;  // the field's 1-based index; 0 when the name is no field
    uint8_t list;   // 1 when the label's value is a list of children
};

// What a rule's action makes of a node.
enum Action : uint8_t {
    ActionNone = 0,  // no action: the node itself
    ActionStr = 1,
    ActionInt = 2,
    ActionFloat = 3,
    ActionUnquote = 4,
    ActionTrue = 5,
    ActionFalse = 6,
    ActionNoneValue = 7,
    ActionList = 8,
    ActionTuple = 9,
    ActionDict = 10,
    ActionFirst = 11,
    ActionDrop = 12,
    ActionClass = 13,  // any other name: a class, which names the kind
};

// The grammar's per-kind arrays (kindCount entries each) and its fields, borrowed.
struct GrammarView {
    uint32_t kindCount;
    const Name* ruleNames;
    const Name* kindNames;  // the class name for ActionClass, else the rule name
    const uint8_t* actions;
    LabelEntry* const* labels;
    const uint32_t* labelCounts;
    uint32_t fieldCount;
    const Name* fields;  // field i has label byte i + 1
};

// The code an attribute name gets for a tree.
enum AttrCode : uint8_t {
    AttrField = 0,
    AttrKind = 1,
    AttrRule = 2,
    AttrText = 3,
    AttrStart = 4,
    AttrEnd = 5,
    AttrLine = 6,
    AttrColumn = 7,
    AttrIndex = 8,
    AttrParent = 9,
    AttrChildren = 10,
    AttrOther = 11,  // not answered natively
};

struct NameSlot {
    std::atomic<value::Str*> name;  // stored last (release); null: free
    uint8_t code;                   // AttrCode
    uint8_t label;                  // for AttrField
};

struct NameTable {
    NameSlot* slots;  // mask + 1 slots
    uint64_t mask;
    uint64_t used;
    NameTable* retired;  // the table this one replaced, freed with the cache
};

struct NodeCache {
    std::atomic<NameTable*> names;  // null until the first name
    spin::Lock namesLock;           // held by writers of the name map only
    // One str per node (one reference each), made on first use; nodeCount slots.
    std::atomic<std::atomic<value::Str*>*> texts;
    // The kind name (2k + 1) and rule name (2k) of kind k, interned; 2 x kindCount slots.
    std::atomic<std::atomic<value::Str*>*> kindNames;
};

struct TreeView {
    const NodeRecord* nodes;
    uint32_t count;
    const char* text;
    uint64_t textLength;
    const uint32_t* parents;     // kNoParent for the root
    const uint32_t* lineStarts;  // the byte offset each line starts at
    uint32_t lineCount;
    const GrammarView* grammar;
    NodeCache* cache;
};

// The head of a tree that compiled code's rt.parse makes; a counted node block's holder
// points at one. holders counts the node blocks and other owners; the last release
// (value::services.treeRelease) frees the tree.
struct SharedTree {
    TreeView view;
    std::atomic<uint32_t> holders;
};

// Frees what the cache made and releases its strs (nodeCount: the tree's node count);
// leaves it empty. No other thread may be reading the tree. Cannot fail.
void freeCache(NodeCache* cache, uint32_t nodeCount);

// Adds one holder to the tree. Cannot fail.
void holdTree(SharedTree* tree);

// A new counted node block of the tree (which gets one holder) into *out: true, or false when
// memory ran out (nothing changed, nothing recorded).
[[nodiscard]] bool newTreeNode(SharedTree* tree, uint32_t index, value::Value* out);

// The tree a node value reads, for the node index values of the running program (tag 11, the
// run record's program tree) and counted nodes (tag 19): the view, the tree of a counted
// node or null, and the node. False for any other value, or a tag-11 value outside a run
// with a program tree.
struct NodeRef {
    const TreeView* view;
    SharedTree* shared;  // null for the running program's nodes
    uint32_t node;
    int32_t site;  // where an out-of-memory failure of the read is recorded
};
[[nodiscard]] bool nodeRefOf(helpers::Ctx* ctx, int32_t site, value::Value v, NodeRef* out);

// The interned name of n's kind in the view's tree ("<error>" for a kind its grammar lacks),
// immortal like every interned str; null when memory ran out (nothing recorded).
[[nodiscard]] value::Str* kindName(const TreeView* view, uint32_t n);

struct Answer {
    bool ok;
    bool handled;
};

// A node attribute: handled with ok and *out (one reference); handled and not ok with out of
// memory recorded at ref.site; or not handled (the name is not answered here, or its list
// could not be built natively), with nothing changed.
[[nodiscard]] Answer attrIn(helpers::Ctx* ctx, const NodeRef& ref, value::Str* name,
                            value::Value* out);

// A new list of the values of n's children, only those with the label when filter is set;
// null when a value could not be made (memory, a text the action's rule refuses, an
// unhashable dict key), with nothing left behind.
[[nodiscard]] value::List* childList(const NodeRef& ref, uint32_t n, uint8_t label, bool filter);

// node.find(rule) of compiled code: for a node receiver and a str argument, a new list of the
// nodes of the kind of that rule name in the receiver's subtree (the receiver included), in tree order, as
// values of the receiver's own node tag; an unknown kind gives an empty list. Not handled for
// another receiver or argument. Handled and not ok with out of memory recorded (*out then
// unchanged).
[[nodiscard]] Answer nodeFind(helpers::Ctx* ctx, int32_t site, value::Value receiver,
                              value::Value argument, value::Value* out);

// The rules by which token actions read a child's text; false: the text is refused.
[[nodiscard]] bool intRule(const char* text, size_t length, int64_t* out);
[[nodiscard]] bool floatRule(const char* text, size_t length, double* out);
// The unquoted text as a new str, or null: refused (*refused set) or out of memory.
[[nodiscard]] value::Str* unquoteRule(const char* text, size_t length, bool* refused);

}  // namespace wuna::nodes
