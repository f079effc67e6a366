# The Python half of nomos's face, run in the module's namespace at import. Rules checks a
# description of a language's names against its parser's metadata (rule, action and label
# names) and hands numeric tables to the native `_config`; Rules.analyze runs `_analyze` on a
# pargo tree and wraps the native result as an Analysis: diagnostics (the tree's own syntax
# errors, then the name problems), the "nomos.analysis.v2" capsule, symbols, resolve and type_of.

import pargo as _pargo

_VISIBLE = {"now": 0, "after": 1, "from": 2}
_NAME_KIND, _FUNCTION_KIND, _BLOCK_KIND = 1, 2, 4
_BUILTIN, _GLOBAL = 1, 2
# The actions that make a value rather than name a class; any other action is a class name,
# and nodes of its rules are of that kind.
_VALUE_ACTIONS = frozenset(("str", "int", "float", "unquote", "True", "False", "None", "list", "tuple", "dict",
                            "first", "drop"))


class Symbol:
    """A name of the program: name, kind ('variable', 'parameter', 'function', 'builtin', ...),
    node (the declaring Name node, or None), scope (the node opening its scope: 0 for globals,
    None for builtins), builtin, index (in the analysis' order) and references (node indexes)."""

    __slots__ = ("index", "name", "kind", "node", "scope", "builtin", "references")

    def __init__(self, index, name, kind, node, scope, builtin, references):
        self.index, self.name, self.kind = index, name, kind
        self.node, self.scope, self.builtin = node, scope, builtin
        self.references = references

    def __eq__(self, other):
        return isinstance(other, Symbol) and other.index == self.index and other.name == self.name

    def __hash__(self):
        return hash((self.index, self.name))

    def __repr__(self):
        return (f"Symbol({self.name!r}, kind={self.kind!r}, node={self.node}, scope={self.scope}, "
                f"builtin={self.builtin})")


class Analysis:
    """The analysis of one tree: diagnostics, capsule ("nomos.analysis.v2"), symbols,
    resolve(node index) and type_of(node index)."""

    def __init__(self, result, tree, diagnostics):
        self._result = result
        self._tree = tree
        self.diagnostics = diagnostics
        self.capsule = result.capsule()
        self._symbols = [None] * result.symbol_count()

    def _symbol(self, i):
        s = self._symbols[i]
        if s is None:
            name, kind, node, scope, flags, refs = self._result.symbol(i)
            none = 0xFFFFFFFF
            s = Symbol(i, name, kind, None if node == none else node, None if scope == none else scope,
                       bool(flags & _BUILTIN), list(refs))
            self._symbols[i] = s
        return s

    @property
    def symbols(self):
        """Every symbol, in declaration order."""
        return [self._symbol(i) for i in range(len(self._symbols))]

    def resolve(self, node):
        """The Symbol a name node declares or refers to, or None."""
        i = self._result.node_symbol(_index(node))
        return None if i < 0 else self._symbol(i)

    def type_of(self, node):
        """The type text of a node ('int', 'list[int]', 'Point?'), or None."""
        return self._result.type_of(_index(node))

    def __repr__(self):
        return f"<nomos.Analysis: {len(self._symbols)} symbols, {len(self.diagnostics)} diagnostics>"


def _index(node):
    if isinstance(node, int):
        return node
    index = getattr(node, "index", None)
    if isinstance(index, int):
        return index
    raise TypeError("a node must be a node index (an int) or a node with an index")


def _names(what, value):
    if isinstance(value, str):
        return [value]
    try:
        items = list(value)
    except TypeError:
        raise TypeError(f"nomos.Rules: {what} must be a list of names") from None
    for item in items:
        if not isinstance(item, str):
            raise TypeError(f"nomos.Rules: {what} must be a list of names, not {item!r}")
    return items


class Rules:
    """Rules(parser, *, names=['Name'], functions=(), blocks=(), declare={}, assign={}, implicit={},
    undeclared='global', redeclare='allow', builtins=(), types=None): how a language's names
    work, for trees of `parser`. Kinds are rule names or class-action names; a position is
    'Kind.label' (or 'Kind.label.sublabel' for a name one node further down). See the README."""

    def __init__(self, parser, *, names=("Name",), functions=(), blocks=(), declare=None, assign=None,
                 implicit=None, undeclared="global", redeclare="allow", builtins=(), types=None):
        for method in ("rules", "actions", "fields", "labels"):
            if not callable(getattr(parser, method, None)):
                raise TypeError("nomos.Rules: parser must be a pargo parser (pargo.compile()'s)")
        self.parser = parser
        self._rules = list(parser.rules())
        actions = list(parser.actions())
        self._fields = list(parser.fields())
        self._labels = [list(pairs) for pairs in parser.labels()]
        self._kinds = {}
        for k, rule in enumerate(self._rules):
            self._kinds.setdefault(rule, []).append(k)
            action = actions[k] if k < len(actions) else None
            if isinstance(action, str) and action not in _VALUE_ACTIONS and action != rule:
                self._kinds.setdefault(action, []).append(k)
        if undeclared not in ("global", "error"):
            raise ValueError(f"nomos.Rules: undeclared must be 'global' or 'error', not {undeclared!r}")
        if redeclare not in ("allow", "error"):
            raise ValueError(f"nomos.Rules: redeclare must be 'allow' or 'error', not {redeclare!r}")
        flags = bytearray(len(self._rules))
        for what, names_, flag in (("names", names, _NAME_KIND), ("functions", functions, _FUNCTION_KIND),
                                   ("blocks", blocks, _BLOCK_KIND)):
            for name in _names(what, names_):
                for k in self._kinds_of(name):
                    flags[k] |= flag
        self.builtins = tuple(_names("builtins", builtins))
        decls = []
        for position, text in _items("declare", declare):
            if not isinstance(text, str):
                raise TypeError(f"nomos.Rules: declare[{position!r}] must be a str such as 'variable after'")
            words = text.split()
            if not words:
                raise ValueError(f"nomos.Rules: declare[{position!r}] names no symbol kind")
            kind, enclosing, hoist, visible, from_name = words[0], False, False, 0, None
            rest = iter(words[1:])
            for word in rest:
                if word == "enclosing":
                    enclosing = True
                elif word == "hoist":
                    hoist = True
                elif word in ("now", "after"):
                    visible = _VISIBLE[word]
                elif word == "from":
                    label = next(rest, None)
                    if label is None:
                        raise ValueError(f"nomos.Rules: declare[{position!r}]: 'from' needs a label")
                    visible, from_name = 2, label
                else:
                    raise ValueError(f"nomos.Rules: declare[{position!r}]: unknown word {word!r} "
                                     "(expected enclosing, hoist, now, after or from LABEL)")
            for k, label, sub in self._positions("declare", position):
                fl = self._label_of(k, from_name, f"declare[{position!r}]") if visible == 2 else 0
                decls.append((k, label, sub, kind, enclosing, hoist, visible, fl))
        assigns = []
        for position, kind in _items("assign", assign):
            if not isinstance(kind, str):
                raise TypeError(f"nomos.Rules: assign[{position!r}] must be a symbol kind (a str)")
            for k, label, sub in self._positions("assign", position):
                assigns.append((k, label, sub, kind))
        implicits = []
        for position, text in _items("implicit", implicit):
            words = text.split() if isinstance(text, str) else None
            if not words or len(words) != 2:
                raise ValueError(f"nomos.Rules: implicit[{position!r}] must be 'name symbolkind', such as "
                                 "'self parameter'")
            if not isinstance(position, str) or "." in position:
                for k, label, _sub in self._positions("implicit", position):
                    implicits.append((k, label, words[0], words[1]))
            else:
                for k in self._kinds_of(position):
                    implicits.append((k, 0, words[0], words[1]))
        literals = [""] * len(self._rules)
        annotation = infer = 0
        if types is not None:
            if not isinstance(types, dict):
                raise TypeError("nomos.Rules: types must be a dict (literals, annotation, infer)")
            unknown = set(types) - {"literals", "annotation", "infer"}
            if unknown:
                raise ValueError(f"nomos.Rules: types has no entry {sorted(unknown)[0]!r} "
                                 "(expected literals, annotation, infer)")
            for name, text in dict(types.get("literals") or {}).items():
                if not isinstance(text, str):
                    raise TypeError(f"nomos.Rules: the type of literal {name!r} must be a str")
                for k in self._kinds_of(name):
                    literals[k] = text
            annotation = self._any_label(types.get("annotation"), "types['annotation']")
            infer = self._any_label(types.get("infer"), "types['infer']")
        self._config = _config(len(self._rules), len(self._fields), bytes(flags),
                               [bytes(self._label_bytes(k)) for k in range(len(self._rules))], decls,
                               assigns, implicits, list(self.builtins), undeclared == "error", redeclare == "error",
                               literals, annotation, infer)

    def _kinds_of(self, name):
        kinds = self._kinds.get(name)
        if not kinds:
            raise ValueError(f"nomos.Rules: the grammar has no rule {name!r}")
        return kinds

    def _label_bytes(self, k):
        out = []
        for field, _is_list in (self._labels[k] if k < len(self._labels) else ()):
            if field in self._fields:
                out.append(self._fields.index(field) + 1)
        return out

    def _label_of(self, k, label, where):
        fields = [f for f, _ in (self._labels[k] if k < len(self._labels) else ())]
        if label not in fields:
            raise ValueError(f"nomos.Rules: {where}: {self._rules[k]!r} has no label {label!r}")
        return self._fields.index(label) + 1

    def _any_label(self, label, where):
        if label is None:
            return 0
        if not isinstance(label, str):
            raise TypeError(f"nomos.Rules: {where} must be a label name")
        if label not in self._fields:
            raise ValueError(f"nomos.Rules: {where}: the grammar has no label {label!r}")
        return self._fields.index(label) + 1

    def _positions(self, what, position):
        if not isinstance(position, str):
            raise TypeError(f"nomos.Rules: {what} positions must be 'Kind.label' texts")
        parts = position.split(".")
        if len(parts) not in (2, 3) or not all(parts):
            raise ValueError(f"nomos.Rules: {what}[{position!r}] must be 'Kind.label' or 'Kind.label.sublabel'")
        out = []
        for k in self._kinds_of(parts[0]):
            label = self._label_of(k, parts[1], f"{what}[{position!r}]")
            sub = 0
            if len(parts) == 3:
                sub = self._any_label(parts[2], f"{what}[{position!r}]")
            out.append((k, label, sub))
        return out

    def analyze(self, tree, builtins=None):
        """Analyse a pargo tree of this rules' parser; `builtins` adds names that count as
        declared outside the program (an earlier session entry's globals)."""
        capsule = getattr(tree, "capsule", None)
        if capsule is None:
            raise TypeError("analyze() takes a pargo tree (parser.parse_tree()'s)")
        owner = getattr(tree, "parser", None)
        if owner is not None and owner is not self.parser and not self._same_grammar(owner):
            raise ValueError("analyze(): the tree comes from another parser than these rules'")
        extra = [] if builtins is None else _names("builtins", builtins)
        result = _analyze(self._config, capsule, extra)
        diagnostics = list(getattr(tree, "errors", None) or [])
        for code, message, start, end, line, column in result.problems():
            diagnostics.append(_pargo.Diagnostic("error", code, message, (start, end), line, column))
        return Analysis(result, tree, diagnostics)

    def _same_grammar(self, parser):
        # Another compile of the same grammar is as good as the rules' own parser.
        try:
            return (list(parser.rules()) == self._rules and list(parser.fields()) == self._fields
                    and [list(p) for p in parser.labels()] == self._labels)
        except Exception:
            return False

    def __repr__(self):
        return f"<nomos.Rules for {len(self._rules)} kinds>"


def _items(what, mapping):
    if mapping is None:
        return []
    if isinstance(mapping, dict):
        return list(mapping.items())
    raise TypeError(f"nomos.Rules: {what} must be a dict of positions")
