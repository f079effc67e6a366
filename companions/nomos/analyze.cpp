// The name analysis over a pargo node array. The tree is checked first (pre-order shape, kinds
// and labels of the rules' grammar, spans inside the text), then walked once in pre-order with
// an explicit stack of open nodes, so deep trees cannot overflow the native stack. Scopes are a
// stack of name maps: the root opens the global scope (scope node 0), function kinds open
// theirs, and block kinds open one unless their parent already opened one (a function's body
// block shares the function's scope). A scope that opens first declares its hoisted names. A
// declared name becomes visible at once, after its declaring node, or from a labelled child of
// it; implicit names (Lua's self) are declared when their node opens; a name that no scope holds is
// a builtin when the rules or the caller name it, else a global of scope 0, or an error. Symbols
// are numbered in the order they are made, and their references are laid out contiguously for the
// capsule.
#include "analyze.h"

#include <algorithm>
#include <unordered_set>

namespace nomos::analyze {
namespace {

uint32_t childWithLabel(const Result& r, uint32_t node, uint32_t label, uint32_t nth);

uint64_t keyOf(uint32_t kind, uint32_t label, uint32_t sub) {
    return (uint64_t(kind) << 16) | (uint64_t(label) << 8) | sub;
}

struct Scope {
    uint32_t node;
    std::unordered_map<std::string, uint32_t> names;
};

struct Pending {
    uint32_t
        trigger;  // 0: when the declaring node ends; else the label of the child that starts it
    uint32_t symbol;
    size_t depth;  // index of the scope it goes into
};

// A name position the rules know: declaration or assignment.
struct Role {
    const Decl* decl = nullptr;
    const Assign* assign = nullptr;
    uint32_t owner = none;
};

class Walker {
public:
    Walker(const Config& config, Result& result, const std::vector<std::string>& extra)
        : cfg(config), r(result) {
        for (const Decl& d : cfg.decls) {
            declAt[keyOf(d.kind, d.label, d.sub)] = &d;
            anyHoist = anyHoist || d.hoist;
        }
        for (const Assign& a : cfg.assigns) assignAt[keyOf(a.kind, a.label, a.sub)] = &a;
        for (const std::string& b : cfg.builtins) builtinNames.insert(b);
        for (const std::string& b : extra) builtinNames.insert(b);
    }

    void walk();

private:
    const Config& cfg;
    Result& r;
    std::unordered_map<uint64_t, const Decl*> declAt;
    std::unordered_map<uint64_t, const Assign*> assignAt;
    bool anyHoist = false;
    std::unordered_set<std::string> builtinNames;
    std::unordered_map<std::string, uint32_t> builtinSymbols, globalSymbols;
    std::vector<uint8_t> opens;
    std::vector<Scope> scopes;
    std::unordered_map<uint32_t, std::vector<Pending>> pending;

    uint8_t flagsOf(uint32_t node) const {
        uint32_t k = kindOf(r.nodes[node]);
        return k < cfg.kindFlags.size() ? cfg.kindFlags[k] : 0;
    }
    std::string nameOf(uint32_t node) const {
        const Node& n = r.nodes[node];
        return r.text.substr(n.start, n.end - n.start);
    }
    Role roleOf(uint32_t node) const;
    uint32_t firstNameBelow(uint32_t node) const;
    uint32_t newSymbol(std::string name, const std::string& kind, uint32_t decl, uint32_t scope,
                       uint32_t flags);
    void makeVisible(uint32_t symbol, size_t depth);
    void openScope(uint32_t node);
    void hoistInto(uint32_t scopeNode);
    void declare(uint32_t node, const Role& role, bool hoisting);
    void refer(uint32_t node, const Assign* assign);
    void enter(uint32_t node);
    void leave(uint32_t node);
};

uint32_t Walker::firstNameBelow(uint32_t node) const {
    uint32_t last = node + r.nodes[node].descendants;
    for (uint32_t j = node + 1; j <= last; ++j)
        if (flagsOf(j) & nameKind) return j;
    return none;
}

Role Walker::roleOf(uint32_t node) const {
    Role role;
    uint32_t p = r.parents[node];
    if (p == none) return role;
    uint32_t label = labelOf(r.nodes[node]);
    uint64_t k = keyOf(kindOf(r.nodes[p]), label, 0);
    if (auto d = declAt.find(k); d != declAt.end()) return {d->second, nullptr, p};
    if (auto a = assignAt.find(k); a != assignAt.end()) return {nullptr, a->second, p};
    uint32_t g = r.parents[p];
    if (g == none || label == 0) return role;
    k = keyOf(kindOf(r.nodes[g]), labelOf(r.nodes[p]), label);
    auto d = declAt.find(k);
    auto a = assignAt.find(k);
    if (d == declAt.end() && a == assignAt.end()) return role;
    if (firstNameBelow(p) != node) return role;  // only the wrapper's first name counts
    if (d != declAt.end()) return {d->second, nullptr, g};
    return {nullptr, a->second, g};
}

uint32_t Walker::newSymbol(std::string name, const std::string& kind, uint32_t decl, uint32_t scope,
                           uint32_t flags) {
    Symbol s;
    s.name = std::move(name);
    s.kind = kind;
    s.declaringNode = decl;
    s.scopeNode = scope;
    s.flags = flags;
    r.symbols.push_back(std::move(s));
    uint32_t index = uint32_t(r.symbols.size() - 1);
    if (decl != none) r.nodeSymbols[decl] = index;
    return index;
}

void Walker::makeVisible(uint32_t symbol, size_t depth) {
    if (depth >= scopes.size()) return;
    Scope& scope = scopes[depth];
    const std::string& name = r.symbols[symbol].name;
    auto [it, fresh] = scope.names.try_emplace(name, symbol);
    if (fresh) return;
    if (it->second == symbol) return;
    if (cfg.redeclareIsError)
        r.problems.push_back({r.symbols[symbol].declaringNode, "redeclared",
                              "'" + name + "' is already declared in this scope"});
    it->second = symbol;
}

void Walker::declare(uint32_t node, const Role& role, bool hoisting) {
    const Decl& d = *role.decl;
    size_t depth = scopes.size() - 1;
    // "enclosing": into the scope around the one the declaring node opens (a named function's
    // name goes beside the function, not inside it).
    if (d.enclosing && !hoisting && opens[role.owner] && depth > 0) --depth;
    uint32_t symbol = newSymbol(nameOf(node), d.symbolKind, node, scopes[depth].node, 0);
    if (hoisting || d.visible == Visible::now) {
        makeVisible(symbol, depth);
        return;
    }
    pending[role.owner].push_back({d.visible == Visible::after ? 0u : d.fromLabel, symbol, depth});
}

void Walker::hoistInto(uint32_t scopeNode) {
    uint32_t last = scopeNode + r.nodes[scopeNode].descendants;
    for (uint32_t j = scopeNode + 1; j <= last; ++j) {
        if (opens[j]) {
            // A nested scope: only its hoisted names that go into the enclosing scope count.
            uint32_t end = j + r.nodes[j].descendants;
            for (uint32_t c = j + 1; c <= end; c += r.nodes[c].descendants + 1) {
                if (!(flagsOf(c) & nameKind)) continue;
                Role role = roleOf(c);
                if (role.decl && role.decl->hoist && role.decl->enclosing && role.owner == j)
                    declare(c, role, true);
            }
            j = end;
            continue;
        }
        if (!(flagsOf(j) & nameKind)) continue;
        Role role = roleOf(j);
        if (!role.decl || !role.decl->hoist) continue;
        // The scope's own name, declared into the enclosing scope when that one opened.
        if (role.decl->enclosing && role.owner == scopeNode && scopeNode != 0) continue;
        declare(j, role, true);
    }
}

void Walker::openScope(uint32_t node) {
    scopes.push_back({node, {}});
    if (anyHoist) hoistInto(node);
}

void Walker::refer(uint32_t node, const Assign* assign) {
    std::string name = nameOf(node);
    uint32_t symbol = none;
    for (size_t i = scopes.size(); i-- > 0;) {
        auto it = scopes[i].names.find(name);
        if (it != scopes[i].names.end()) {
            symbol = it->second;
            break;
        }
    }
    if (symbol == none && builtinNames.count(name)) {
        auto [it, fresh] = builtinSymbols.try_emplace(name, none);
        if (fresh) it->second = newSymbol(name, "builtin", none, none, builtinFlag);
        symbol = it->second;
    }
    if (symbol == none) {
        if (cfg.undeclaredIsError) {
            r.problems.push_back({node, "undeclared", "'" + name + "' is not declared"});
            return;
        }
        auto [it, fresh] = globalSymbols.try_emplace(name, none);
        if (fresh)
            it->second =
                newSymbol(name, assign ? assign->symbolKind : "variable", none, 0, globalFlag);
        symbol = it->second;
    }
    Symbol& s = r.symbols[symbol];
    if (assign && (s.flags & globalFlag) && s.declaringNode == none) {
        // The first assignment of an undeclared name is where its global is declared.
        s.declaringNode = node;
        s.kind = assign->symbolKind;
        r.nodeSymbols[node] = symbol;
        return;
    }
    if (assign) s.flags |= assignedFlag;
    s.references.push_back(node);
    r.nodeSymbols[node] = symbol;
}

void Walker::enter(uint32_t node) {
    uint32_t p = r.parents[node];
    if (p != none) {
        auto it = pending.find(p);
        uint32_t label = labelOf(r.nodes[node]);
        if (it != pending.end() && label != 0) {
            auto& list = it->second;
            for (size_t i = 0; i < list.size();) {
                if (list[i].trigger == label) {
                    makeVisible(list[i].symbol, list[i].depth);
                    list.erase(list.begin() + long(i));
                } else {
                    ++i;
                }
            }
        }
    }
    if (opens[node]) openScope(node);
    for (const Implicit& im : cfg.implicits) {
        if (im.kind != kindOf(r.nodes[node])) continue;
        if (im.label != 0 && childWithLabel(r, node, im.label, 0) == none) continue;
        makeVisible(newSymbol(im.name, im.symbolKind, none, scopes.back().node, 0),
                    scopes.size() - 1);
    }
    if (!(flagsOf(node) & nameKind)) return;
    if (r.nodeSymbols[node] != none) return;  // declared while hoisting
    Role role = roleOf(node);
    if (role.decl)
        declare(node, role, false);
    else
        refer(node, role.assign);
}

void Walker::leave(uint32_t node) {
    auto it = pending.find(node);
    if (it != pending.end()) {
        for (const Pending& p : it->second) makeVisible(p.symbol, p.depth);
        pending.erase(it);
    }
    if (opens[node]) scopes.pop_back();
}

void Walker::walk() {
    uint32_t n = uint32_t(r.nodes.size());
    opens.assign(n, 0);
    for (uint32_t i = 0; i < n; ++i) {
        uint8_t f = flagsOf(i);
        uint32_t p = r.parents[i];
        if (i == 0 || (f & functionKind))
            opens[i] = 1;
        else if ((f & blockKind) && !(p != none && opens[p]))
            opens[i] = 1;
    }
    std::vector<uint32_t> open;
    for (uint32_t i = 0; i < n; ++i) {
        while (!open.empty() && open.back() + r.nodes[open.back()].descendants < i) {
            leave(open.back());
            open.pop_back();
        }
        enter(i);
        open.push_back(i);
    }
    while (!open.empty()) {
        leave(open.back());
        open.pop_back();
    }
}

// Checks the node array is a pre-order tree of the rules' grammar and fills the parents.
int checkTree(const Config& cfg, Result& r, std::string& detail) {
    uint32_t n = uint32_t(r.nodes.size());
    if (n == 0) {
        detail = "the tree has no nodes";
        return badShape;
    }
    r.parents.assign(n, none);
    std::vector<uint32_t> open;
    for (uint32_t i = 0; i < n; ++i) {
        const Node& node = r.nodes[i];
        uint64_t last = uint64_t(i) + node.descendants;
        if (last >= n || (i == 0 && last != n - 1)) {
            detail = "node " + std::to_string(i) + " claims more descendants than the tree has";
            return badShape;
        }
        while (!open.empty() && open.back() + r.nodes[open.back()].descendants < i) open.pop_back();
        if (!open.empty()) {
            uint32_t p = open.back();
            if (last > uint64_t(p) + r.nodes[p].descendants) {
                detail = "node " + std::to_string(i) + " overlaps the end of its parent";
                return badShape;
            }
            r.parents[i] = p;
        } else if (i != 0) {
            detail = "node " + std::to_string(i) + " lies outside the root";
            return badShape;
        }
        open.push_back(i);
        uint32_t kind = kindOf(node), label = labelOf(node);
        if (kind > cfg.kindCount) {
            detail = "node " + std::to_string(i) + " has kind " + std::to_string(kind) +
                     ", the grammar has " + std::to_string(cfg.kindCount);
            return badKind;
        }
        if (label > cfg.fieldCount) {
            detail = "node " + std::to_string(i) + " has label " + std::to_string(label) +
                     ", the grammar has " + std::to_string(cfg.fieldCount);
            return badLabel;
        }
        if (label != 0 && r.parents[i] != none) {
            uint32_t pk = kindOf(r.nodes[r.parents[i]]);
            if (pk < cfg.labelsOf.size()) {
                const auto& allowed = cfg.labelsOf[pk];
                if (std::find(allowed.begin(), allowed.end(), uint8_t(label)) == allowed.end()) {
                    detail =
                        "node " + std::to_string(i) + " has a label its parent's rule doesn't have";
                    return badLabel;
                }
            }
        }
        if (node.start > node.end || node.end > r.text.size()) {
            detail = "node " + std::to_string(i) + " spans bytes outside the text";
            return badSpan;
        }
    }
    return ok;
}

void layout(Result& r) {
    size_t total = 0;
    for (const Symbol& s : r.symbols) total += s.references.size();
    r.references.clear();
    r.references.reserve(total);
    r.records.assign(r.symbols.size(), SymbolRecord{});
    for (size_t i = 0; i < r.symbols.size(); ++i) {
        const Symbol& s = r.symbols[i];
        SymbolRecord& rec = r.records[i];
        rec.name = s.name.data();
        rec.nameLength = s.name.size();
        rec.kind = s.kind.data();
        rec.kindLength = s.kind.size();
        rec.index = uint32_t(i);
        rec.declaringNode = s.declaringNode;
        rec.scopeNode = s.scopeNode;
        rec.firstReference = uint32_t(r.references.size());
        rec.referenceCount = uint32_t(s.references.size());
        rec.flags = s.flags;
        r.references.insert(r.references.end(), s.references.begin(), s.references.end());
    }
    r.capsule.abi = layout::analysisAbi;
    r.capsule.symbolCount = uint32_t(r.symbols.size());
    r.capsule.symbols = r.records.empty() ? nullptr : r.records.data();
    r.capsule.referenceTotal = r.references.size();
    r.capsule.references = r.references.empty() ? nullptr : r.references.data();
    r.capsule.nodeCount = uint32_t(r.nodes.size());
    r.capsule.nodeSymbols = r.nodeSymbols.data();
}

uint32_t childWithLabel(const Result& r, uint32_t node, uint32_t label, uint32_t nth) {
    uint32_t last = node + r.nodes[node].descendants;
    for (uint32_t c = node + 1; c <= last; c += r.nodes[c].descendants + 1)
        if (labelOf(r.nodes[c]) == label && nth-- == 0) return c;
    return none;
}

std::string trimmed(std::string s) {
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (!s.empty() && space(s.back())) s.pop_back();
    size_t i = 0;
    while (i < s.size() && space(s[i])) ++i;
    return s.substr(i);
}

bool typeAt(Result& r, uint32_t node, std::string& type, uint32_t depth);

// How many variables deep a type is followed (local b = a, local c = b, ...); deeper chains
// have no type rather than a deep native recursion.
constexpr uint32_t maxTypeDepth = 200;

// The type of a symbol: its declaration's annotation, else (for a variable never assigned
// again) the type of the value it was declared with.
bool symbolType(Result& r, uint32_t symbol, std::string& type, uint32_t depth) {
    if (r.typeState[symbol] == 2) {
        type = r.symbolTypes[symbol];
        return r.symbolHasType[symbol];
    }
    if (r.typeState[symbol] == 1) return false;  // a cycle: x declared from itself
    r.typeState[symbol] = 1;
    const Symbol& s = r.symbols[symbol];
    bool found = false;
    uint32_t decl = s.declaringNode;
    if (!(s.flags & builtinFlag) && decl != none && decl < r.nodes.size() &&
        r.parents[decl] != none) {
        uint32_t owner = r.parents[decl];
        if (r.annotationLabel) {
            uint32_t a = childWithLabel(r, owner, r.annotationLabel, 0);
            if (a != none) {
                const Node& n = r.nodes[a];
                type = trimmed(r.text.substr(n.start, n.end - n.start));
                found = !type.empty();
            }
        }
        if (!found && r.inferLabel && !(s.flags & (assignedFlag | globalFlag))) {
            uint32_t label = labelOf(r.nodes[decl]), position = 0;
            for (uint32_t c = owner + 1; c < decl; c += r.nodes[c].descendants + 1)
                if (labelOf(r.nodes[c]) == label) ++position;
            uint32_t value = childWithLabel(r, owner, r.inferLabel, position);
            if (value != none && depth < maxTypeDepth) found = typeAt(r, value, type, depth + 1);
        }
    }
    r.typeState[symbol] = 2;
    r.symbolHasType[symbol] = found;
    r.symbolTypes[symbol] = found ? type : std::string();
    return found;
}

}  // namespace

int run(const Config& config, const Node* nodes, uint32_t count, const char* text, uint64_t length,
        const std::vector<std::string>& extraBuiltins, Result& out, std::string& detail) {
    out.text.assign(text ? text : "", text ? size_t(length) : 0);
    out.nodes.assign(nodes, nodes + count);
    if (int status = checkTree(config, out, detail)) return status;
    out.nodeSymbols.assign(count, none);
    Walker walker(config, out, extraBuiltins);
    walker.walk();
    layout(out);
    out.literalTypes = config.literalTypes;
    out.annotationLabel = config.annotationLabel;
    out.inferLabel = config.inferLabel;
    out.typeState.assign(out.symbols.size(), 0);
    out.symbolTypes.assign(out.symbols.size(), std::string());
    out.symbolHasType.assign(out.symbols.size(), 0);
    return ok;
}

bool typeOf(Result& r, uint32_t node, std::string& type) { return typeAt(r, node, type, 0); }

namespace {

bool typeAt(Result& r, uint32_t node, std::string& type, uint32_t depth) {
    if (node >= r.nodes.size()) return false;
    uint32_t kind = kindOf(r.nodes[node]);
    if (kind < r.literalTypes.size() && !r.literalTypes[kind].empty()) {
        type = r.literalTypes[kind];
        return true;
    }
    uint32_t symbol = r.nodeSymbols[node];
    if (symbol == none) return false;
    return symbolType(r, symbol, type, depth);
}

}  // namespace

void lineColumn(const Result& r, uint32_t offset, uint32_t& line, uint32_t& column) {
    size_t end = std::min<size_t>(offset, r.text.size());
    line = 1;
    size_t lineStart = 0;
    for (size_t i = 0; i < end; ++i)
        if (r.text[i] == '\n') {
            ++line;
            lineStart = i + 1;
        }
    column = uint32_t(end - lineStart + 1);
}

}  // namespace nomos::analyze
