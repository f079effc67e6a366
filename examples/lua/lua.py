"""A Lua 5.4 subset defined with wuna: its grammar (lua.peg beside this file), its name rules and
its semantics.

Module attributes:
  parser    the compiled grammar (a pargo GrammarParser);
  rules     the nomos rules: scopes, declarations and the builtin library names;
  language  the wuna.Language running Lua programs: the semantics below, registered per node
            kind, the three function kinds and the library (lualib.py) as host functions.

How a program runs: the Chunk semantic first gives every global of the program the value nil
(Lua reads an unassigned global as nil), then runs the top block. Statements are exec
semantics, expressions eval semantics; a child that is a literal token arrives as its value
(an int, a float, None, True, False) or, for strings and hexadecimal numbers, as its source
text, which `ev` decodes. Values are those of luavalues.py; several values (a call's results)
travel as a tuple, and `ev_list` spreads the last expression of a list when it is a call or
`...`, as Lua does.

Functions are wuna functions of the three function kinds, with missing parameters nil and
extra arguments kept for `...`. A `function t:m()` becomes a Method: a call passes its first
argument as the receiver, which `self` reads. `return f(x)` is a tail call. Loops give each
iteration fresh variables (rt.fresh), so closures made in a loop keep their own.

A goto raises rt.Throw(Jump): the LabelBlock (a block holding a label), LabelScope (the rest of
a block after a label) or CloseLocal (a <close> local holding the rest of its block) whose
statements hold the label catches it and runs the label again, which runs the rest of its
block in a new scope; a CloseLocal closes its value however its statements are left.
Lua's checks made before the chunk runs (luacheck.py) refuse the gotos that could go wrong.

Errors: a failing operation stops the program with a runtime error at its node, worded as
Lua words it ("attempt to index a nil value (local 't')"); error(v) raises rt.Throw(v) with
"chunk:line: " before a string message; pcall catches both.

As a command: `python lua.py [--mode python|compiled|auto] FILE.lua` runs FILE (a runtime
error goes to stderr with exit status 1, a syntax error exits with status 2); `--tree` prints
the tree instead; with no FILE it starts the interactive session.
"""
import argparse
import functools
import os
import sys

import pargo

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import luacheck  # noqa: E402
import lualib  # noqa: E402
from luavalues import (File, Library, LuaError, Method, Table, arith, bitwise,  # noqa: E402
                       byte_len, concat_piece, from_bytes, hex_to_number, is_int, is_number,
                       join, length, less, negate, raw_equal, raw_get, raw_set, snapshot, str_to_number,
                       table_from, to_bitint, to_integer, to_number, tostr, truthy, type_label,
                       type_name)

with open(os.path.join(HERE, "lua.peg"), encoding="utf-8") as _f:
    parser = pargo.compile(_f.read())

# The library names a Lua program reaches without declaring them.
BUILTINS = ["print", "pairs", "ipairs", "tostring", "tonumber", "type", "error", "assert",
            "select", "next", "rawget", "rawset", "rawequal", "rawlen", "setmetatable",
            "getmetatable", "pcall", "string", "table", "math", "os", "io", "arg"]

# How deep Lua calls may nest before "call stack too deep".
MAX_DEPTH = 10000

try:
    import nomos
except ImportError:  # the grammar alone is usable without the rules package
    nomos = None

try:
    import wuna
except ImportError:  # likewise without the runtime (the grammar's own tests)
    wuna = None

rules = None
if nomos is not None:
    rules = nomos.Rules(
        parser,
        names=["Name"],
        functions=["FunctionStat", "LocalFunction", "FunctionExpr"],
        # A loop's own variables and a repeat body (whose locals the until condition sees)
        # live in the loop's scope; every other block is a scope of its own.
        # The rest of a block after a label is a scope of its own (LabelScope), renewed each
        # time a goto runs it again.
        blocks=["Block", "LabelBlock", "LabelScope", "NumericFor", "GenericFor", "Repeat"],
        declare={
            "Local.names": "variable after",
            # seen by the rest of the block, which the <close> local holds
            "CloseLocal.names": "variable from stmts",
            "LocalFunction.name": "function enclosing",
            "FunctionStat.params": "parameter",
            "LocalFunction.params": "parameter",
            "FunctionExpr.params": "parameter",
            "NumericFor.var": "variable from body",
            "GenericFor.names": "variable from body",
        },
        assign={"Assign.targets": "variable", "FunctionStat.name": "function"},
        # function t:m() has the hidden first parameter self.
        implicit={"FunctionStat.method": "self parameter"},
        undeclared="global",
        builtins=BUILTINS,
        types={"literals": {"Int": "int", "Float": "float", "String": "str", "True": "bool",
                            "False": "bool", "Nil": "None"},
               "infer": "values"},
    )


# Literals ---------------------------------------------------------------------------------------

ESCAPES = {"a": 7, "b": 8, "f": 12, "n": 10, "r": 13, "t": 9, "v": 11, "\\": 92, '"': 34,
           "'": 39, "\n": 10}

LITERALS = {}  # source text of a string or hex literal -> its value


def comptime(fn):
    """wuna.comptime when wuna is there: compiled code decodes a literal once, while compiling."""
    if wuna is None:
        return fn
    return wuna.comptime(fn)


def _decoded(text):
    v = LITERALS.get(text)
    if v is None:
        if text[0] == "0":
            v = hex_to_number(text[2:], False)
        else:
            v = decode_string(text)
        LITERALS[text] = v
    return v


# A literal whose text is known only at run time (a child read through a run-time index) is
# decoded in Python, once per text: decoded is no plain function, so compiled code calls it
# there rather than compiling the decoder.
decoded = functools.partial(_decoded)


@comptime
def literal(text):
    """The value of a String or Hex token from its source text (it depends on the text alone).
    A quoted string without escapes is its body: compiled code meeting such a text only at run
    time (a literal in a list of values) takes it so, without calling decoded in Python."""
    q = text[0]
    if (q == '"' or q == "'") and "\\" not in text:
        return text[1:len(text) - 1]
    return decoded(text)


def utf8_bytes(code):
    """Lua's UTF-8 of a code point up to 7FFFFFFF: past 10FFFF (and for surrogates) the
    same scheme goes on, up to six bytes."""
    if code < 0x80:
        return bytes([code])
    tail = []
    limit = 0x3F  # what still fits in the first byte beside its length marks
    while code > limit:
        tail.append(0x80 | (code & 0x3F))
        code >>= 6
        limit >>= 1
    first = ((0xFE << (5 - len(tail) + 1)) & 0xFF) | code
    return bytes([first] + tail[::-1])


def decode_string(text):
    if text[0] == "[":
        level = text.index("[", 1) - 1
        body = text[level + 2:len(text) - level - 2]
        if body.startswith("\r\n") or body.startswith("\n\r"):
            return body[2:]
        if body.startswith("\n") or body.startswith("\r"):
            return body[1:]
        return body
    body = text[1:-1]
    if "\\" not in body:
        return body
    raw = body.encode("utf-8", "surrogateescape")
    out = bytearray()
    i = 0
    n = len(raw)
    while i < n:
        c = raw[i]
        if c != 92:
            out.append(c)
            i += 1
            continue
        e = chr(raw[i + 1])
        i += 2
        if e in ESCAPES:
            out.append(ESCAPES[e])
        elif e == "x":
            out.append(int(raw[i:i + 2].decode(), 16))
            i += 2
        elif e == "z":
            while i < n and raw[i] in b" \t\r\n\f\v":
                i += 1
        elif e == "u":
            close = raw.index(b"}", i)
            out.extend(utf8_bytes(int(raw[i + 1:close].decode(), 16)))
            i = close + 1
        elif e.isdigit():
            j = i - 1
            while i < n and i < j + 3 and chr(raw[i]).isdigit():
                i += 1
            out.append(int(raw[j:i].decode()) & 255)
        else:
            out.append(raw[i - 1])
    return from_bytes(bytes(out))


# Evaluation helpers -----------------------------------------------------------------------------

def _error_at(rt, node, message):
    rt.error(node, message)


# rt.error(node, message) for a message made at run time. Compiled code takes rt.error's message
# as a constant only; error_at is no plain function, so compiled code calls it in Python (on the
# error's path alone), and rt.error there fails the run at the same node with the same text.
error_at = functools.partial(_error_at)


def ev(rt, x):
    """The value of a child: a node is evaluated, a string or hex token decoded."""
    if type(x) is str:
        return literal(x)
    return rt.eval(x)


def is_call(rt, x):
    if type(x) is not wuna.Node or rt.kind(x) != "Suffixed":
        return False
    k = rt.kind(x.suffix)
    return k == "Call" or k == "MethodCall"


def values_of(r):
    """A call's result as a list of values (see luavalues)."""
    if r is None:
        return []
    if type(r) is tuple:
        return list(r)
    return [r]


def first(r):
    if type(r) is tuple:
        if r:
            return r[0]
        return None
    return r


def pack(values):
    """Values as a call's result: one value itself (unless nil), else a tuple."""
    if len(values) == 1 and values[0] is not None:
        return values[0]
    return tuple(values)


def ev_list(rt, exprs, want):
    """The values of an expression list, the last one spread when it is a call or `...`;
    padded with nil up to want values."""
    out = []
    n = len(exprs)
    for i in range(n):
        x = exprs[i]
        if i == n - 1 and type(x) is wuna.Node:
            k = rt.kind(x)
            if k == "Vararg":
                out.extend(varargs_of(rt, x))
                continue
            if is_call(rt, x):
                out.extend(values_of(call_node(rt, x)))
                continue
        out.append(ev(rt, x))
    while len(out) < want:
        out.append(None)
    return out


# The command line's arguments after the script: the main chunk's `...` (set by main).
SCRIPT_ARGS = []


def varargs_of(rt, node):
    """The values of the `...` at node: the extra arguments of the function it is in, or at
    the top level the command line's arguments, as Lua passes them to the main chunk."""
    v = rt.varargs
    if v or not SCRIPT_ARGS:
        return v
    p = node.parent
    while p is not None:
        if rt.kind(p) in FUNCTION_KINDS:
            return v
        p = p.parent
    return SCRIPT_ARGS


def where(rt, node):
    """The "chunk:line: " Lua puts before an error message."""
    chunk = rt.path
    if chunk is None:
        chunk = "stdin"
    return "%s:%d: " % (chunk, node.line)


FUNCTION_KINDS = ("FunctionStat", "LocalFunction", "FunctionExpr")


def describe(rt, x):
    """What Lua says about the expression a bad value came from: " (local 'x')" ..."""
    if type(x) is str:
        if x[0] != "0":
            return " (constant '%s')" % literal(x)
        return ""
    if type(x) is not wuna.Node:
        return ""
    k = rt.kind(x)
    if k == "Name":
        name = x.text
        s = rt.symbol(x)
        if s is None or s.builtin:
            return " (global '%s')" % name
        constant = compile_time_constant(rt, s)
        if constant is not None:
            return describe(rt, constant[0])  # Lua names the constant, not the variable
        if s.node is None:
            if s.kind == "parameter":
                return " (local '%s')" % name
            return " (global '%s')" % name
        if s.kind != "parameter":
            # a global is declared where it is first assigned; a local by local or for
            declared_by = rt.kind(rt.node_at(s.node).parent)
            if declared_by == "Assign" or declared_by == "FunctionStat":
                return " (global '%s')" % name
        p = x.parent
        while p is not None and p.index != s.scope:
            if rt.kind(p) in FUNCTION_KINDS:
                return " (upvalue '%s')" % name
            p = p.parent
        return " (local '%s')" % name
    if k == "Paren":
        return describe(rt, x.expr)
    if k == "Suffixed":
        suffix = x.suffix
        sk = rt.kind(suffix)
        if sk == "Field":
            return " (field '%s')" % suffix.name
        if sk == "Index":
            key = suffix.key
            if type(key) is str and key[0] != "0":
                return " (field '%s')" % literal(key)
            if type(key) is wuna.I64:
                return " (field 'integer index')"
            return " (field '?')"
    return ""


# Operators whose constant operands Lua folds while compiling (when the result is a number
# other than nan and 0).
FOLDED = ("+", "-", "*", "/", "//", "%", "^")


def compile_time_constant(rt, symbol):
    """The initialiser of a <const> local that Lua makes a compile-time constant (the last
    variable of a local statement with as many values, whose value is a constant), as a
    1-tuple (a nil literal is None), or None.
    Errors name such a variable as the constant: "(constant 'abc')" for a string, nothing
    else for a number, a boolean or nil."""
    if symbol.node is None or symbol.kind == "parameter":
        return None
    name = rt.node_at(symbol.node)
    local = name.parent
    if local is None or rt.kind(local) not in ("Local", "CloseLocal"):
        return None
    names = local.names
    values = local.values
    if names[len(names) - 1].index != name.index or len(values) != len(names):
        return None
    attrib = rt.node_at(name.index + 1)
    if rt.kind(attrib) != "Attrib" or attrib.parent.index != local.index or \
            attrib.name != "const":
        return None
    expr = values[len(values) - 1]
    if constant_of(rt, expr) is None:
        return None
    return (expr,)


def constant_of(rt, x):
    """The value of an expression Lua's compiler folds to a constant, as a 1-tuple, or None."""
    if type(x) is not wuna.Node:
        if type(x) is str:
            return (literal(x),)
        return (x,)
    k = rt.kind(x)
    if k == "Paren":
        return constant_of(rt, x.expr)
    if k == "Name":
        s = rt.symbol(x)
        if s is None or s.builtin:
            return None
        expr = compile_time_constant(rt, s)
        if expr is None:
            return None
        return constant_of(rt, expr[0])
    if k == "Unary" and x.op == "-":
        v = constant_of(rt, x.operand)
        if v is None or not is_number(v[0]):
            return None
        return folded(negate(v[0]))
    if k == "Binary" and x.op in FOLDED:
        a = constant_of(rt, x.left)
        b = constant_of(rt, x.right)
        if a is None or b is None or not is_number(a[0]) or not is_number(b[0]):
            return None
        if x.op in ("/", "//", "%") and b[0] == 0:
            return None
        try:
            return folded(arith(x.op, a[0], b[0]))
        except (LuaError, ArithmeticError):
            return None
    return None


def folded(v):
    """A folded number as constant_of gives it: Lua keeps a float nan or 0 unfolded."""
    if type(v) is float and (v != v or v == 0):
        return None
    return (v,)


def meta_field(v, name):
    if isinstance(v, Table) and v.meta is not None:
        return raw_get(v.meta, name)
    return None


# The metamethod of each binary operator; > and >= are < and <= with the operands swapped.
EVENTS = {"+": "__add", "-": "__sub", "*": "__mul", "/": "__div", "%": "__mod", "^": "__pow",
          "//": "__idiv", "&": "__band", "|": "__bor", "~": "__bxor", "<<": "__shl",
          ">>": "__shr", "<": "__lt", "<=": "__le", ">": "__lt", ">=": "__le"}


def metamethod(a, b, event):
    """The first operand's metamethod for event, else the second's, or None."""
    h = meta_field(a, event)
    if h is None:
        h = meta_field(b, event)
    return h


def binary_metamethod(rt, node, op, a, b):
    """What an operator's metamethod gives for operands the operator can't take, as a
    1-tuple; None when neither operand has one."""
    event = EVENTS.get(op)
    if event is None:
        return None
    if op == ">" or op == ">=":
        a, b = b, a
    h = metamethod(a, b, event)
    if h is None and event == "__le":
        # Lua 5.4 as built (with 5.3's compatibility) takes a <= b as not (b < a) when
        # neither operand has __le
        h = metamethod(b, a, "__lt")
        if h is None:
            return None
        return (not truthy(first(call_value(rt, h, [b, a], node))),)
    if h is None:
        return None
    r = first(call_value(rt, h, [a, b], node))
    if event == "__lt" or event == "__le":
        return (truthy(r),)
    return (r,)


def lua_equal(rt, node, a, b):
    """a == b: raw equality, else two tables' __eq."""
    if raw_equal(a, b):
        return True
    if not (isinstance(a, Table) and isinstance(b, Table)):
        return False
    h = metamethod(a, b, "__eq")
    if h is None:
        return False
    return truthy(first(call_value(rt, h, [a, b], node)))


def to_text(rt, node, v):
    """tostring(v): a table's __tostring, or its __name in place of "table"."""
    if isinstance(v, Table) and v.meta is not None:
        h = raw_get(v.meta, "__tostring")
        if h is not None:
            r = first(call_value(rt, h, [v], node))
            if type(r) is str:
                return r
            if is_number(r):
                return tostr(r)
            fail(rt, node, "'__tostring' must return a string")
        name = raw_get(v.meta, "__name")
        if type(name) is str:
            return name + tostr(v)[5:]
    return tostr(v)


def with_meta(args):
    return any(isinstance(v, Table) and v.meta is not None for v in args)


def do_print(rt, node, args):
    if not with_meta(args):
        return lualib.lua_print(args)
    texts = []
    for v in args:
        texts.append(to_text(rt, node, v))
    lualib.lua_print(texts)


def do_tostring(rt, node, args):
    if not args or not with_meta(args[:1]):
        return through_metamethods(rt, node, lualib.lua_tostring, args)
    return to_text(rt, node, args[0])


def index(rt, node, obj, key, what):
    """obj[key], with __index; node is where an error is reported, what the expression of obj."""
    if isinstance(obj, Table):
        v = raw_get(obj, key)
        if v is None and obj.meta is not None:
            h = raw_get(obj.meta, "__index")
            if h is not None:
                # a function is called; any other value is indexed in its turn (a string's
                # fields are the string library's)
                if type_name(h) != "function":
                    return index(rt, node, h, key, None)
                return first(call_value(rt, h, [obj, key], node))
        return v
    if type(obj) is str:
        return raw_get(STRING, key)
    if type(obj) is File:
        return index(rt, node, raw_get(obj.meta, "__index"), key, None)
    error_at(rt, node, "attempt to index a %s value%s" % (type_label(obj), describe(rt, what)))


def set_index(rt, node, obj, key, value, what):
    """obj[key] = value, with __newindex."""
    if isinstance(obj, Table):
        if obj.meta is not None and raw_get(obj, key) is None:
            h = raw_get(obj.meta, "__newindex")
            if h is not None:
                if type_name(h) != "function":
                    set_index(rt, node, h, key, value, None)
                else:
                    call_value(rt, h, [obj, key, value], node)
                return
        try:
            raw_set(obj, key, value)
        except LuaError as e:
            error_at(rt, node, str(e))
        return
    error_at(rt, node, "attempt to index a %s value%s" % (type_label(obj), describe(rt, what)))


def call_error(rt, node, f):
    what = ""
    if node is not None:
        k = rt.kind(node)
        if k == "GenericFor":
            what = " (for iterator 'for iterator')"
        elif k == "Suffixed":
            if rt.kind(node.suffix) == "MethodCall":
                what = " (method '%s')" % node.suffix.name
            else:
                what = describe(rt, node.target)
    fail(rt, node, "attempt to call a %s value%s" % (type_label(f), what))


def fail(rt, node, message):
    """A Lua error: at the node when there is one, else a bare error value (pcall(f) of a
    library function gets its message without a position, as in Lua)."""
    if node is None:
        raise wuna.Throw(message)
    error_at(rt, node, message)


def call_value(rt, f, args, node):
    """Call a Lua value with a list of arguments; its result as luavalues describes.
    node is where errors are reported (the call's node), or None for a call made by the
    library."""
    t = type(f)
    if t is wuna.Function:
        return rt.call(f, args)
    if t is Method:
        if args:
            return rt.call(f.fn, args[1:], receiver=args[0])
        return rt.call(f.fn, args)
    if isinstance(f, Table) or f is None or f is True or f is False or t is str or \
            is_number(f):
        h = meta_field(f, "__call")
        if h is None:
            call_error(rt, node, f)
        return call_value(rt, h, [f] + list(args), node)
    special = SPECIAL.get(f)
    if special is not None:
        return special(rt, node, args)
    try:
        return rt.call(f, [args])  # a library function takes its arguments as one list
    except wuna.Throw as e:
        if e.message == lualib.POSITION:
            fail(rt, node, library_message(rt, node, f, e.value))
        raise


def library_message(rt, node, f, message):
    """A library function's error as Lua words it for this call: the function is named as
    the call names it (r() after local r = string.rep says 'r'), a generic for's call
    'for iterator', a call made by the library itself (pcall(f)) with the function's full
    name (string.rep); a method call (s:rep(x)) counts its arguments after self."""
    if not message.startswith("bad argument #"):
        return message
    name = None
    method = False
    if node is None:
        name = lualib.QUALIFIED.get(f)
    elif rt.kind(node) == "GenericFor":
        name = "for iterator"
    elif rt.kind(node) == "Suffixed":
        suffix = node.suffix
        target = node.target
        while type(target) is wuna.Node and rt.kind(target) == "Paren":
            target = target.expr
        if rt.kind(suffix) == "MethodCall":
            name = suffix.name
            method = True
        elif type(target) is wuna.Node and rt.kind(target) == "Name":
            name = target.text
        elif type(target) is wuna.Node and rt.kind(target) == "Suffixed":
            k = rt.kind(target.suffix)
            if k == "Field":
                name = target.suffix.name
            elif k == "Index" and type(target.suffix.key) is str and \
                    target.suffix.key[0] != "0":
                name = literal(target.suffix.key)
        if name is None:
            name = lualib.QUALIFIED.get(f)
    quote = message.find("'")
    end = message.find("'", quote + 1)
    if name is not None:
        message = message[:quote + 1] + name + message[end:]
        end = quote + 1 + len(name)
    if not method:
        return message
    space = message.find(" ", 14)
    n = int(message[14:space]) - 1
    if n == 0:
        paren = message.find("(", end)
        return "calling %s on bad self %s" % (message[quote:end + 1], message[paren:])
    return "bad argument #%d%s" % (n, message[space:])


def callee_and_args(rt, call):
    """The function and the argument list of a call node (Suffixed ending in a call)."""
    suffix = call.suffix
    if rt.kind(suffix) == "MethodCall":
        obj = ev(rt, call.target)
        f = index(rt, call, obj, suffix.name, call.target)
        args = [obj]
        args.extend(ev_list(rt, suffix.args, 0))
        return (f, args)
    f = ev(rt, call.target)
    return (f, ev_list(rt, suffix.args, 0))


def call_node(rt, call):
    fa = callee_and_args(rt, call)
    return call_value(rt, fa[0], fa[1], call)


def error_site(rt, node, at):
    """Where an error of node is reported: Lua names the line of the operator or suffix (at),
    so at is taken when it starts on a later line than node; node otherwise (its column is
    the expression's)."""
    start = rt.span(node)[0]
    head = rt.text(node).encode("utf-8", "surrogateescape")[:rt.span(at)[0] - start]
    if b"\n" in head:
        return at
    return node


def concat_site(rt, node):
    """Where a concatenation's error is reported: on the line of its .. (which is no node of
    the tree): the right operand when the .. stands on its line, else the node."""
    right = node.right
    if type(right) is not wuna.Node:
        right = last_child(rt, node)
    start = rt.span(node)[0]
    text = rt.text(node).encode("utf-8", "surrogateescape")
    upto = rt.span(right)[0] - start
    dots = text.rfind(b"..", 0, upto)
    if dots < 0 or b"\n" not in text[:upto] or b"\n" in text[dots:upto]:
        return node
    return right


def last_child(rt, node):
    """The child of node that ends where node ends (a literal operand is a leaf the field
    reads as its text), or node when none does."""
    end = rt.span(node)[1]
    i = node.index + 1
    while True:
        child = rt.node_at(i)
        start, stop = rt.span(child)
        if start >= end:
            return node
        if stop == end and child.parent.index == node.index:
            return child
        i += 1


def operator_of(rt, node):
    """The operator token of a Binary or Concat node: the child just before its right
    operand (which may be a literal, read as its text)."""
    right = node.right
    if type(right) is wuna.Node:
        return rt.node_at(right.index - 1)
    i = node.index + 1
    while True:
        child = rt.node_at(i)
        if child.parent.index == node.index and rt.kind(child).endswith("Op"):
            return child
        i += 1


def operand_error(rt, node, message, a, b, left, right):
    """An arithmetic or bitwise error naming the operand to blame (the first that isn't a
    number, as Lua does)."""
    if message == "arith" or message == "bitwise":
        bad = a
        what = left
        if is_number(a):
            bad = b
            what = right
        verb = "perform arithmetic on"
        if message == "bitwise":
            verb = "perform bitwise operation on"
        message = "attempt to %s a %s value%s" % (verb, type_label(bad), describe(rt, what))
    elif message == "noint":
        what = right
        if to_integer(a) is None:
            what = left
        message = "number%s has no integer representation" % describe(rt, what)
    elif (type(a) is str or type(b) is str) and (message == "attempt to divide by zero" or
                                                  message == "attempt to perform 'n%0'"):
        # the strings' metatable divides in a library function: Lua adds no position
        raise wuna.Throw(message)
    if rt.kind(node) == "Binary":
        op = operator_of(rt, node)
        if message.startswith("attempt to compare"):
            # a comparison is reported on the line of its right operand (the token after op)
            op = rt.node_at(op.index + 1)
        node = error_site(rt, node, op)
    error_at(rt, node, message)


# Library functions that need the runtime --------------------------------------------------------

def _error_text(rt, e):
    d = e.diagnostic
    chunk = rt.path
    if chunk is None:
        chunk = "stdin"
    return "%s:%d: %s" % (chunk, d.line, d.message)


# A runtime error caught by pcall or passed to __close, as the message Lua would give:
# "chunk:line: text". Its line is its diagnostic's, which an error raised by compiled code
# and caught there doesn't show (its diagnostic is the error itself): error_text is no plain
# function, so compiled code calls it in Python, where the error has its diagnostic.
error_text = functools.partial(_error_text)


def do_pcall(rt, node, args):
    if not args:
        fail(rt, node, "bad argument #1 to 'pcall' (value expected)")
    r = None  # set on every path that goes on: compiled code can't tell the handlers return
    try:
        r = call_value(rt, args[0], args[1:], None)
    except wuna.Throw as e:
        return (False, e.value)
    except wuna.Error as e:
        return (False, error_text(rt, e))
    out = [True]
    out.extend(values_of(r))
    return tuple(out)


def caller_where(rt, node, level):
    """The "chunk:line: " of error's level 2 or more (2: the call of the function being run,
    3: the call of its caller...), read from the call stack of a runtime error made for the
    purpose; "" past the outermost call."""
    try:
        error_at(rt, node, "level")  # the node is known only at run time
    except wuna.Error as e:
        if len(e.stack) >= level - 1:
            note = e.stack[level - 2][1]
            chunk = rt.path
            if chunk is None:
                chunk = "stdin"
            return "%s:%d: " % (chunk, note.line)
    return ""


def do_error(rt, node, args):
    v = None
    if args:
        v = args[0]
    level = 1
    if len(args) > 1 and args[1] is not None:
        level = to_integer(args[1])
        if level is None:
            problem = "number has no integer representation"
            if to_number(args[1]) is None:
                problem = "number expected, got " + type_label(args[1])
            fail(rt, node, library_message(rt, node, lualib.lua_error,
                                           "bad argument #2 to 'error' (%s)" % problem))
    if type(v) is str:
        if level == 1 and node is not None:
            v = where(rt, node) + v
        elif level >= 2 and node is not None:
            v = caller_where(rt, node, level) + v
        raise wuna.Throw(v)
    if v is None:
        raise wuna.Throw(v, "(error object is a nil value)")
    if is_number(v):
        raise wuna.Throw(v, tostr(v))
    raise wuna.Throw(v, "(error object is a %s value)" % type_name(v))


def sort_less(rt, node, cmp, a, b):
    """a < b as table.sort orders: Lua's < or the sort's comparison function."""
    if cmp is None:
        if type(a) is wuna.I64 and type(b) is wuna.I64:
            return a < b  # both integers: the common case, without less's tests
        try:
            return less(a, b, False)
        except LuaError as e:
            fail(rt, node, str(e))
    return truthy(first(call_value(rt, cmp, [a, b], node)))


def sort_partition(rt, node, cmp, t, lo, up):
    """Lua's partition around the pivot kept at up - 1: an order function that contradicts
    itself runs an index past its bound, which Lua reports."""
    pivot = raw_get(t, up - 1)
    i = lo
    j = up - 1
    while True:
        i += 1
        while sort_less(rt, node, cmp, raw_get(t, i), pivot):
            if i == up - 1:
                fail(rt, node, "invalid order function for sorting")
            i += 1
        j -= 1
        while sort_less(rt, node, cmp, pivot, raw_get(t, j)):
            if j < i:
                fail(rt, node, "invalid order function for sorting")
            j -= 1
        if j < i:
            sort_swap(t, up - 1, i)
            return i
        sort_swap(t, i, j)


def sort_swap(t, i, j):
    a = raw_get(t, i)
    raw_set(t, i, raw_get(t, j))
    raw_set(t, j, a)


def sort_range(rt, node, cmp, t, lo, up):
    """Lua's quicksort of t[lo..up], step for step, so that an order function sees the same
    comparisons and an inconsistent one fails where Lua's does: the median of three ends and
    middle as pivot, the shorter side sorted first, the longer one looped on. (Lua picks a
    pivot off the middle at random once a partition comes out badly unbalanced; this keeps
    the middle, which sorts the same.)"""
    while lo < up:
        if sort_less(rt, node, cmp, raw_get(t, up), raw_get(t, lo)):
            sort_swap(t, lo, up)
        if up - lo == 1:
            return
        p = (lo + up) // 2
        if sort_less(rt, node, cmp, raw_get(t, p), raw_get(t, lo)):
            sort_swap(t, p, lo)
        elif sort_less(rt, node, cmp, raw_get(t, up), raw_get(t, p)):
            sort_swap(t, p, up)
        if up - lo == 2:
            return
        sort_swap(t, p, up - 1)
        p = sort_partition(rt, node, cmp, t, lo, up)
        if p - lo < up - p:
            sort_range(rt, node, cmp, t, lo, p - 1)
            lo = p + 1
        else:
            sort_range(rt, node, cmp, t, p + 1, up)
            up = p - 1


def do_sort(rt, node, args):
    if not args or not isinstance(args[0], Table):
        got = "no value"
        if args:
            got = type_label(args[0])
        fail(rt, node, library_message(
            rt, node, lualib.tab_sort, "bad argument #1 to 'sort' (table expected, got %s)" % got))
    t = args[0]
    cmp = None
    if len(args) > 1:
        cmp = args[1]
    if cmp is not None and type_name(cmp) != "function":
        fail(rt, node, library_message(
            rt, node, lualib.tab_sort,
            "bad argument #2 to 'sort' (function expected, got %s)" % type_label(cmp)))
    sort_range(rt, node, cmp, t, 1, length(t))
    return None


# The item accessors and the text of a value as the library functions take them (see lualib):
# through the metamethods, for a table with a metatable.

def meta_item(rt, node, t, k):
    return index(rt, node, t, k, None)


def meta_put(rt, node, t, k, v):
    set_index(rt, node, t, k, v, None)


def meta_text(rt, node, v):
    return to_text(rt, node, v)


def library_call(rt, node, f, args):
    """A library function that indexes its first argument (a table), called so that a table
    with a metatable is indexed as Lua's library indexes it: through __index and __newindex;
    string.format, whose %s writes a table as tostring does (__tostring and __name)."""
    if f is lualib.str_format:
        if with_meta(args):
            return lualib.str_format(args, rt, node, meta_text)
        return lualib.str_format(args)
    if not args or not isinstance(args[0], Table) or args[0].meta is None:
        return f(args)
    # each by name: compiled code compiles each call for the function it calls
    if f is lualib.tab_insert:
        return lualib.tab_insert(args, rt, node, meta_item, meta_put)
    if f is lualib.tab_concat:
        return lualib.tab_concat(args, rt, node, meta_item)
    if f is lualib.tab_unpack:
        return lualib.tab_unpack(args, rt, node, meta_item)
    if f is lualib.ipairs_step:
        return lualib.ipairs_step(args, rt, node, meta_item)
    return f(args)


def through_metamethods(rt, node, f, args):
    """library_call, with a library error given the call's position and name."""
    try:
        return library_call(rt, node, f, args)
    except wuna.Throw as e:
        if e.message == lualib.POSITION:
            fail(rt, node, library_message(rt, node, f, e.value))
        raise


def do_format(rt, node, args):
    return through_metamethods(rt, node, lualib.str_format, args)


def do_ipairs_step(rt, node, args):
    return through_metamethods(rt, node, lualib.ipairs_step, args)


def do_insert(rt, node, args):
    return through_metamethods(rt, node, lualib.tab_insert, args)


def do_concat(rt, node, args):
    return through_metamethods(rt, node, lualib.tab_concat, args)


def do_unpack(rt, node, args):
    return through_metamethods(rt, node, lualib.tab_unpack, args)


SPECIAL = {lualib.lua_pcall: do_pcall, lualib.lua_error: do_error, lualib.tab_sort: do_sort,
           lualib.ipairs_step: do_ipairs_step, lualib.tab_insert: do_insert,
           lualib.tab_concat: do_concat, lualib.tab_unpack: do_unpack,
           lualib.lua_print: do_print, lualib.lua_tostring: do_tostring,
           lualib.str_format: do_format}

LIBRARIES = lualib.make_libraries()
STRING = LIBRARIES["string"]


def show(value):
    """How the interactive session shows an entry's value (what `return ...` gave)."""
    print("\t".join([tostr(v) for v in values_of(value)]))


# The language -----------------------------------------------------------------------------------

language = None
if wuna is not None and rules is not None:
    I64 = wuna.I64
    language = wuna.Language(parser, rules, max_depth=MAX_DEPTH)
    for _kind in FUNCTION_KINDS:
        language.function(_kind, hoist=False, missing="none", extra="keep")
    for _name in lualib.FUNCTIONS:
        language.host(_name, lualib.FUNCTIONS[_name])
    for _name in LIBRARIES:
        language.host(_name, LIBRARIES[_name])
    language.host("arg", Library())  # the command line sets the script's arguments

    @language.exec("Chunk")
    def run_chunk(node, rt):
        # Every global starts as nil: Lua reads a variable never assigned as nil.
        seen = set()
        for name in node.find("Name"):
            s = rt.symbol(name)
            if s is not None and not s.builtin and s.scope == 0 and s.index not in seen:
                seen.add(s.index)
                rt.store(name, None)
        try:
            rt.exec(node.body)
        except rt.Return as r:
            if r.args:
                return r.args[0]
        return None

    @language.exec("Local")
    def run_local(node, rt):
        names = node.names
        exprs = node.values
        if len(names) == 1 and len(exprs) == 1:
            rt.store(names[0], ev(rt, exprs[0]))
            return
        values = ev_list(rt, exprs, len(names))
        for i in range(len(names)):
            rt.store(names[i], values[i])

    @language.exec("FunctionStat")
    def run_function_stat(node, rt):
        f = rt.function(node)
        method = node.method
        if method is not None:
            f = Method(f)
        keys = list(node.fields)  # a copy: the method name is added to it
        if method is not None:
            keys.append(method)
        if not keys:
            rt.store(node.name, f)
            return
        obj = ev(rt, node.name)
        what = node.name
        for i in range(len(keys) - 1):
            obj = index(rt, node, obj, keys[i], what)
            what = None
        set_index(rt, node, obj, keys[len(keys) - 1], f, what)

    @language.eval("FunctionExpr")
    def function_value(node, rt):
        return rt.function(node)

    @language.eval("Name")
    def variable_value(node, rt):
        if node.text == "self":
            s = rt.symbol(node)
            if s is not None and s.node is None and not s.builtin and s.kind == "parameter":
                return rt.receiver
        return rt.load(node)

    @language.eval("Vararg")
    def vararg_value(node, rt):
        v = varargs_of(rt, node)
        if v:
            return v[0]
        return None

    @language.exec("Return")
    def run_return(node, rt):
        values = node.values
        if len(values) == 1 and is_call(rt, values[0]):
            call = values[0]
            fa = callee_and_args(rt, call)
            f = fa[0]
            args = fa[1]
            if in_close_scope(rt, node):
                # a <close> variable is closed after the call returns: no tail call
                raise rt.Return(call_value(rt, f, args, call))
            if type(f) is wuna.Function:
                rt.tail_call(f, args)
            if type(f) is Method and args:
                rt.tail_call(f.fn, args[1:], receiver=args[0])
            raise rt.Return(call_value(rt, f, args, call))
        if len(values) == 1 and type(values[0]) is not wuna.Node:
            raise rt.Return(pack([ev(rt, values[0])]))
        raise rt.Return(pack(ev_list(rt, values, 0)))

    @language.exec("Break")
    def run_break(node, rt):
        raise rt.Break()

    @language.exec("If")
    def run_if(node, rt):
        if truthy(ev(rt, node.cond)):
            rt.exec(node.body)
            return
        for e in node.elifs:
            if truthy(ev(rt, e.cond)):
                rt.exec(e.body)
                return
        orelse = node.orelse
        if orelse is not None:
            rt.exec(orelse)

    @language.exec("While")
    def run_while(node, rt):
        while truthy(ev(rt, node.cond)):
            if not rt.loop(node.body):
                break

    @language.exec("Repeat")
    def run_repeat(node, rt):
        while True:
            rt.fresh(node)
            if not rt.loop(node.body):
                break
            cond = node.cond
            # a body holding a label holds its condition too, at the end of the label's rest
            if cond is not None and truthy(ev(rt, cond)):
                break

    @language.exec("NumericFor")
    def run_numeric_for(node, rt):
        start = for_value(rt, node, ev(rt, node.start), "initial value")
        stop = for_value(rt, node, ev(rt, node.stop), "limit")
        step = 1
        if node.step is not None:
            step = for_value(rt, node, ev(rt, node.step), "step")
        if step == 0:
            rt.error(node, "'for' step is zero")
        var = node.var
        body = node.body
        if is_int(start) and is_int(step):
            limit = for_limit(stop, step)
            if limit is None:
                return
            if (step > 0 and start > limit) or (step < 0 and start < limit):
                return
            count = (int(limit) - int(start)) // int(step)
            i = start
            while True:
                rt.fresh(node)
                rt.store(var, i)
                if not rt.loop(body):
                    return
                if count == 0:
                    return
                count -= 1
                i += step
        x = float(start)
        stop = float(stop)
        step = float(step)
        while (step > 0 and x <= stop) or (step < 0 and x >= stop):
            rt.fresh(node)
            rt.store(var, x)
            if not rt.loop(body):
                return
            x += step

    @language.exec("GenericFor")
    def run_generic_for(node, rt):
        v = ev_list(rt, node.exprs, 3)
        f = v[0]
        s = v[1]
        ctl = v[2]
        names = node.names
        body = node.body
        if f is lualib.lua_next and type(s) is Table and ctl is None:
            # pairs(t): the keys as they are when the loop starts; those set to nil since
            # are passed over
            for k in snapshot(s):
                value = raw_get(s, k)
                if value is not None:
                    rt.fresh(node)
                    store_all(rt, names, [k, value])
                    if not rt.loop(body):
                        return
            return
        if f is lualib.ipairs_step and type(s) is Table and s.meta is None and ctl == 0:
            i = 1
            while True:
                value = raw_get(s, i)
                if value is None:
                    return
                rt.fresh(node)
                store_all(rt, names, [i, value])
                if not rt.loop(body):
                    return
                i += 1
        while True:
            r = values_of(call_value(rt, f, [s, ctl], node))
            if not r or r[0] is None:
                return
            ctl = r[0]
            rt.fresh(node)
            store_all(rt, names, r)
            if not rt.loop(body):
                return

    @language.exec("Assign")
    def run_assign(node, rt):
        targets = node.targets
        exprs = node.values
        if len(targets) == 1 and len(exprs) == 1 and rt.kind(targets[0]) == "Name":
            rt.store(targets[0], ev(rt, exprs[0]))
            return
        refs = []
        for t in targets:
            if rt.kind(t) == "Name":
                refs.append(None)
            else:
                obj = ev(rt, t.target)
                suffix = t.suffix
                if rt.kind(suffix) == "Field":
                    refs.append((obj, suffix.name))
                else:
                    refs.append((obj, ev(rt, suffix.key)))
        values = ev_list(rt, node.values, len(targets))
        i = len(targets) - 1
        while i >= 0:
            ref = refs[i]
            if ref is None:
                rt.store(targets[i], values[i])
            else:
                set_index(rt, targets[i], ref[0], ref[1], values[i], targets[i].target)
            i -= 1

    @language.exec("CallStat")
    def run_call(node, rt):
        call_node(rt, node.call)

    @language.eval("Suffixed")
    def suffixed_value(node, rt):
        suffix = node.suffix
        k = rt.kind(suffix)
        if k == "Field":
            obj = ev(rt, node.target)
            if obj is None:  # the error names the suffix's line, as Lua's does
                return index(rt, error_site(rt, node, suffix), obj, suffix.name, node.target)
            return index(rt, node, obj, suffix.name, node.target)
        if k == "Index":
            obj = ev(rt, node.target)
            if obj is None:
                return index(rt, error_site(rt, node, suffix), obj, ev(rt, suffix.key),
                             node.target)
            return index(rt, node, obj, ev(rt, suffix.key), node.target)
        return first(call_node(rt, node))

    @language.eval("Paren")
    def paren_value(node, rt):
        return ev(rt, node.expr)

    @language.eval("And")
    def and_value(node, rt):
        a = ev(rt, node.left)
        if not truthy(a):
            return a
        return ev(rt, node.right)

    @language.eval("Or")
    def or_value(node, rt):
        a = ev(rt, node.left)
        if truthy(a):
            return a
        return ev(rt, node.right)

    @language.eval("Concat")
    def concat_value(node, rt):
        a = ev(rt, node.left)
        b = ev(rt, node.right)
        pa = concat_piece(a)
        pb = concat_piece(b)
        if pa is None or pb is None:
            h = metamethod(a, b, "__concat")
            if h is not None:
                return first(call_value(rt, h, [a, b], node))
            bad = a
            what = node.left
            if pa is not None:
                bad = b
                what = node.right
            error_at(rt, concat_site(rt, node),
                     "attempt to concatenate a %s value%s" % (type_label(bad), describe(rt, what)))
        return join(pa, pb)

    @language.eval("Binary")
    def binary_value(node, rt):
        op = node.op
        left = node.left
        right = node.right
        # ev, written out: this is the hottest semantic
        if type(left) is str:
            a = literal(left)
        else:
            a = rt.eval(left)
        if type(right) is str:
            b = literal(right)
        else:
            b = rt.eval(right)
        if type(a) is I64 and type(b) is I64:
            # both integers: the common case, without the conversions of arith
            try:
                if op == "+":
                    return a + b
                if op == "-":
                    return a - b
                if op == "*":
                    return a * b
                if op == "==":
                    return a == b
                if op == "<":
                    return a < b
                if op == "<=":
                    return a <= b
                if op == ">":
                    return a > b
                if op == ">=":
                    return a >= b
                if op == "~=":
                    return a != b
                if op == "%" and b != 0:
                    return a % b
                if op == "//" and b != 0:
                    return a // b
            except wuna.IntegerOverflow:
                pass  # Lua's integers wrap around: arith below does that
        try:
            if op == "==":
                return lua_equal(rt, node, a, b)
            if op == "~=":
                return not lua_equal(rt, node, a, b)
            if op == "<":
                return less(a, b, False)
            if op == "<=":
                return less(a, b, True)
            if op == ">":
                return less(b, a, False)
            if op == ">=":
                return less(b, a, True)
            if op in ("&", "|", "~", "<<", ">>"):
                return bitwise(op, a, b)
            return arith(op, a, b)
        except LuaError as e:
            r = binary_metamethod(rt, node, op, a, b)
            if r is not None:
                return r[0]
            operand_error(rt, node, str(e), a, b, left, right)

    @language.eval("Unary")
    def unary_value(node, rt):
        op = node.op
        v = ev(rt, node.operand)
        if op == "not":
            return not truthy(v)
        if op == "#":
            if type(v) is str:
                return byte_len(v)
            if isinstance(v, Table):
                h = meta_field(v, "__len")
                if h is not None:
                    return first(call_value(rt, h, [v], node))
                return length(v)
            error_at(rt, node, "attempt to get length of a %s value%s"
                     % (type_label(v), describe(rt, node.operand)))
        try:
            if op == "-":
                return negate(v)
            return bitwise("~", to_bitint(v), -1)
        except LuaError as e:
            h = meta_field(v, "__unm" if op == "-" else "__bnot")
            if h is not None:
                return first(call_value(rt, h, [v, v], node))
            operand_error(rt, node, str(e), v, v, node.operand, node.operand)

    @language.eval("Table")
    def table_value(node, rt):
        positional = []
        keyed = []
        fields = node.fields
        n = len(fields)
        for i in range(n):
            f = fields[i]
            k = rt.kind(f)
            if k == "PosField":
                if i == n - 1:
                    positional.extend(ev_list(rt, [f.value], 0))
                else:
                    positional.append(ev(rt, f.value))
            elif k == "NamedField":
                keyed.append((f.name, ev(rt, f.value)))
            else:
                keyed.append((ev(rt, f.key), ev(rt, f.value)))
        try:
            return table_from(positional, keyed)
        except LuaError as e:
            error_at(rt, node, str(e))

    @language.exec("LabelBlock")
    def run_label_block(node, rt):
        run_statements(rt, node, 0)

    @language.exec("LabelScope")
    def run_label_scope(node, rt):
        run_statements(rt, node, 0)

    @language.exec("Label")
    def run_label(node, rt):
        rest = node.rest
        if rest is not None:  # a label in a repeat body holds nothing
            rt.exec(rest)

    @language.exec("Goto")
    def run_goto(node, rt):
        jump = goto_target(rt, node)
        if jump is None:  # the checks before running refuse it; a session entry is checked too
            rt.error(node, "no visible label '%s' for goto" % node.name)
        raise wuna.Throw(jump)

    @language.exec("CloseLocal")
    def run_close_local(node, rt):
        names = node.names
        values = ev_list(rt, node.values, len(names))
        for i in range(len(names)):
            rt.store(names[i], values[i])
        name = close_name(rt, node)
        v = rt.load(name)
        if v is None or v is False:
            run_statements(rt, node, 0)  # nil and false are not closed
            return
        if meta_field(v, "__close") is None:
            error_at(rt, node, "variable '%s' got a non-closable value" % name.text)
        try:
            run_statements(rt, node, 0)
        except wuna.Throw as e:
            # isinstance, not type(): a Jump made by compiled code reaches a semantic run as
            # Python as its record proxy, whose type is not Jump
            if isinstance(e.value, Jump):
                close_value(rt, node, v, None)  # a goto out of the scope leaves it normally
            else:
                close_value(rt, node, v, e.value)
            raise
        except wuna.Error as e:
            close_value(rt, node, v, error_text(rt, e))
            raise
        except BaseException:
            # return, break and whatever else leave the scope without an error
            close_value(rt, node, v, None)
            raise
        close_value(rt, node, v, None)

# goto, labels and <close> locals ----------------------------------------------------------------
#
# A goto raises a Throw carrying a Jump: the statement list holding its label (a LabelBlock, the
# rest of a block after an earlier label, or the rest a <close> local holds) catches it and runs
# the label, which runs the rest of the block after it. A label holds that rest as a scope of
# its own, so a goto back to it makes the locals declared after it anew, as Lua does, and a
# label is always the last statement of its list. The label is found in the tree: Lua's checks
# before the chunk runs (luacheck) made sure there is exactly one visible, in the goto's own
# function, so the nearest enclosing list whose chain (its statements, then those of the label
# or <close> local ending it, and so on) holds a label of that name is the one.

class Jump:
    """Where a goto resumes: statement `position` of the list of node `holder` (the label
    itself; the length of the list for the end of the block)."""
    __slots__ = ("holder", "position")

    def __init__(self, holder, position):
        self.holder = holder
        self.position = position


# The kinds whose stmts a goto may resume in; CloseLocal's are the rest of its block.
LABEL_HOLDERS = ("LabelBlock", "LabelScope", "CloseLocal")


def goto_target(rt, node):
    """The Jump of the goto at node, or None when no enclosing list holds its label."""
    name = node.name
    p = node.parent
    while p is not None and rt.kind(p) not in FUNCTION_KINDS:
        if rt.kind(p) in LABEL_HOLDERS:
            jump = label_jump(rt, p, name)
            if jump is not None:
                return jump
        p = p.parent
    return None


def label_jump(rt, holder, name):
    """The Jump to the label `name` in holder's chain (its statements, then those of the
    label or <close> local ending it, and so on), or None. A label past a <close> local of the
    list can only end the block (jumping to it from outside that local's scope is refused
    otherwise): it stands for the end of the list."""
    while holder is not None:
        stmts = holder.stmts
        n = len(stmts)
        for i in range(n):
            s = stmts[i]
            if rt.kind(s) == "Label" and s.name == name:
                return Jump(holder.index, i)
        if n == 0:
            return None
        last = stmts[n - 1]
        k = rt.kind(last)
        if k == "CloseLocal":
            if label_jump(rt, last, name) is not None:
                return Jump(holder.index, n)
            return None
        holder = None
        if k == "Label":
            holder = last.rest
    return None


def until(rt, node):
    """The until condition ending the rest of a repeat body that node holds: true leaves the
    loop (the locals it sees are this list's)."""
    if rt.kind(node) == "LabelBlock":
        return
    cond = node.cond
    if cond is not None and truthy(ev(rt, cond)):
        raise rt.Break()


def in_chain(rt, node, holder):
    """Whether the list at node index `holder` is the rest of a label of node's chain: a
    goto forward over that label ran the label after it without running that rest."""
    while True:
        stmts = node.stmts
        if not stmts:
            return False
        last = stmts[len(stmts) - 1]
        if rt.kind(last) != "Label" or last.rest is None:
            return False
        node = last.rest
        if node.index == holder:
            return True


def run_statements(rt, node, start):
    """Run node's stmts from `start`, going on at a label of this list's chain that a goto
    jumps to (a goto to a label elsewhere passes on)."""
    stmts = node.stmts
    deeper = None  # a label further down the chain to run instead, or None
    while True:
        try:
            if deeper is not None:
                # its list isn't running (the goto came from before it): the statements
                # skipped on the way declare no locals (Lua refuses a jump into a local's
                # scope), so the label runs right inside this list's scope
                rt.exec(deeper)
                return
            for i in range(start, len(stmts)):
                rt.exec(stmts[i])
            until(rt, node)
            return
        except wuna.Throw as e:
            jump = e.value
            # isinstance, not type(): a Jump made by compiled code reaches a semantic run as
            # Python as its record proxy
            if not isinstance(jump, Jump):
                raise
            if jump.holder == node.index:
                start = jump.position
                deeper = None
                continue
            if not in_chain(rt, node, jump.holder):
                raise
            inner = rt.node_at(jump.holder).stmts
            if jump.position == len(inner):
                return
            deeper = inner[jump.position]


def close_name(rt, node):
    """The Name node of a CloseLocal's variable marked <close>."""
    for a in node.attribs:
        if a.name == "close":
            return rt.node_at(a.index - 1)
    return None


def close_value(rt, node, v, err):
    """Call v's __close with the error that ends its scope (nil when left normally). A
    __close taken away since is an error of the scope's end (as Lua words it: without a
    position while an error passes)."""
    h = meta_field(v, "__close")
    if type_name(h) == "function" or meta_field(h, "__call") is not None:
        call_value(rt, h, [v, err], node)
        return
    message = "attempt to call a %s value" % type_label(h)
    if err is None:
        message = "%s:%d: %s (metamethod 'close')" % (rt.path or "stdin",
                                                      scope_end_line(rt, node), message)
    raise wuna.Throw(message)


# The kinds that hold a block's statements, or the rest of them.
STATEMENT_LISTS = ("Block", "LabelBlock", "LabelScope", "Label", "CloseLocal")


def scope_end_line(rt, node):
    """The line of the end of the block a CloseLocal's scope ends with: the end of the
    statement or function that holds the block."""
    owner = node.parent
    while owner.parent is not None and rt.kind(owner) in STATEMENT_LISTS:
        owner = owner.parent
    return owner.line + rt.text(owner).count("\n")


def in_close_scope(rt, node):
    """Whether node runs inside the scope of a <close> variable of its own function: its
    return is then no tail call (the variable is closed after the call returns)."""
    p = node.parent
    while p is not None and rt.kind(p) not in FUNCTION_KINDS:
        if rt.kind(p) == "CloseLocal":
            return True
        p = p.parent
    return False


def for_value(rt, node, v, what):
    """A for loop's bound as a number; a numeric string counts as a float (Lua converts it,
    and only integers of integer type make an integer loop)."""
    if is_number(v):
        return v
    n = None
    if type(v) is str:
        n = str_to_number(v)
    if n is None:
        error_at(rt, node, "bad 'for' %s (number expected, got %s)" % (what, type_label(v)))
    return float(n)


def for_limit(stop, step):
    """The integer limit of an integer for loop whose limit may be a float; None when the loop
    runs no iteration."""
    if type(stop) is not float:
        return stop
    if stop != stop:
        return None
    if step > 0:
        if stop >= 9.2233720368547758e18:
            return (1 << 63) - 1
        if stop < -9.2233720368547758e18:
            return None
        return int(stop // 1)
    if stop < -9.2233720368547758e18:
        return -(1 << 63)
    if stop >= 9.2233720368547758e18:
        return None
    return -int((-stop) // 1)


def store_all(rt, names, values):
    for j in range(len(names)):
        v = None
        if j < len(values):
            v = values[j]
        rt.store(names[j], v)


# Command line -----------------------------------------------------------------------------------

def kind_name(node):
    """The kind name of a node: its action when that is a class name, else its rule name."""
    return node.kind if isinstance(node.kind, str) else node.rule


def print_tree(tree, out):
    """Print the tree below its root, one node a line, indented by depth."""
    def walk(node, depth):
        label = f" {node.label}:" if node.label else ""
        children = node.children
        leaf = "" if children else f" {node.text!r}"
        out.write(f"{'  ' * depth}{kind_name(node)}{label}{leaf}\n")
        for child in children:
            walk(child, depth + 1)
    walk(tree.node(0), 0)


def short_stack(text, keep=10):
    """An error's text with a deep call stack cut in the middle, as Lua's traceback does:
    the innermost and the outermost calls are kept."""
    lines = text.split("\n")
    calls = [i for i in range(len(lines)) if lines[i].startswith("  in ")]
    if len(calls) <= 2 * keep + 1:
        return text
    first = calls[keep]
    last = calls[len(calls) - keep]
    skipped = last - first
    return "\n".join(lines[:first] + ["  ... (%d calls more)" % skipped] + lines[last:])


def line_of(source, offset):
    return source.count("\n", 0, offset) + 1


def error_offset(source, e):
    """Where a load error ("FILE:LINE:COLUMN: error[syntax]: ...") is, as an offset in the
    source, or a large number."""
    parts = str(e).split(":", 3)
    if len(parts) < 3 or not parts[1].isdigit() or not parts[2].isdigit():
        return sys.maxsize
    start = 0
    for _ in range(int(parts[1]) - 1):
        start = source.find("\n", start) + 1
    return start + int(parts[2]) - 1


def check_message(source, name, found):
    """A check error as the loader writes its errors: FILE:LINE:COLUMN: error[syntax]: ..."""
    where = found[0]
    line = line_of(source, where)
    column = where - (source.rfind("\n", 0, where) + 1) + 1
    return f"{name}:{line}:{column}: error[syntax]: {found[1]}"


def load_error_text(source, name, e):
    """What a chunk that doesn't load reports: a string or numeral Lua can't read, before the
    syntax error, is what Lua reports; else the load error itself."""
    found = luacheck.first_error(source, None)
    if found is not None and found[3] <= error_offset(source, e):
        return check_message(source, name, found)
    return str(e)


def repl_entry(session, text):
    """Run one entry of the interactive session as Lua runs a chunk typed at its prompt:
    refused (with Lua's words, chunk 'stdin') when Lua's checks before running refuse it.
    The entry's value, or None."""
    tree = parser.parse_tree(text, recover=True)
    if tree.errors:
        try:
            return session.run(text)
        except wuna.LoadError as e:
            print(load_error_text(text, "stdin", e), file=sys.stderr)
            return None
    # Lua's prompt reads the entry without the line break that ends it: the line its checks
    # name for the end of the chunk is the last line typed
    chunk = text.rstrip("\n")
    found = luacheck.first_error(chunk, tree)
    if found is not None:
        print(check_message(chunk, "stdin", found), file=sys.stderr)
        return None
    return session.run(text)


def entry_finished(text):
    """Whether an entry's text is complete: it parses, or fails before its end (the error is
    then reported); a text that ends too early asks for more lines."""
    try:
        parser.parse_tree(text)  # the tree only: a value as deep as a long line can't be made
    except pargo.ParseError as e:
        end = len(text.rstrip(" \t\n\r").encode("utf-8", "surrogateescape"))
        return e.offset < end
    return True


def repl(prompt="> ", more=">> "):
    """The interactive session: Language.repl's loop (more lines while an entry is
    unfinished, an empty line ends it anyway, errors printed and the session going on), each
    entry checked before it runs as a file is."""
    session = language.session()
    while True:
        text = ""
        try:
            line = input(prompt)
            while not line.strip(" \t\n\r"):  # blank lines before an entry are dropped
                line = input(prompt)
            while True:
                text += line + "\n"
                text = text.encode("utf-8", "surrogateescape").decode("utf-8", "replace")
                if not line.strip(" \t\n\r") or entry_finished(text):
                    break
                line = input(more)
            value = repl_entry(session, text)
            if value is not None:
                show(value)
        except EOFError:
            print()
            return
        except SystemExit:
            raise
        except (wuna.Error, wuna.LoadError) as e:
            print(str(e), file=sys.stderr)
        except BaseException as e:  # Ctrl-C drops the entry; the session goes on
            print("%s: %s" % (type(e).__name__, e), file=sys.stderr)


def main(argv=None):
    ap = argparse.ArgumentParser(prog="lua.py", description="Run a Lua program.")
    ap.add_argument("--mode", choices=["python", "compiled", "auto"], default="python",
                    help="how to run the program (default: python, the reference mode)")
    ap.add_argument("--tree", action="store_true", help="print the parse tree instead")
    ap.add_argument("file", nargs="?", help="the program (none: an interactive session)")
    ap.add_argument("args", nargs="*", help="the program's arguments (its table arg)")
    args = ap.parse_args(argv)
    # Lua strings are bytes: those that aren't UTF-8 are written back as they came.
    sys.stdout.reconfigure(errors="surrogateescape")
    if args.file is None:
        if language is None:
            print("lua.py: the interactive session needs wuna and nomos", file=sys.stderr)
            return 1
        # Lines are read as the bytes typed, as a file's would be: a byte that is not UTF-8
        # reaches the REPL as its surrogate escape, not as an error of input().
        if hasattr(sys.stdin, "reconfigure"):
            sys.stdin.reconfigure(errors="surrogateescape")
        repl()
        return 0
    try:
        # the parser reads text: bytes that are not UTF-8 read as U+FFFD (escapes such as
        # "\xe9" still make any byte)
        with open(args.file, encoding="utf-8", errors="replace") as f:
            source = f.read()
    except OSError as e:
        print(f"lua.py: {e}", file=sys.stderr)
        return 1
    if args.tree or language is None:
        tree = parser.parse_tree(source, recover=True)
        if tree.errors:
            for d in tree.errors:
                print(d.render(source, args.file), file=sys.stderr)
            return 2
        try:
            print_tree(tree, sys.stdout)
        except BrokenPipeError:  # the reader stopped early (| head)
            sys.stderr.close()
        return 0
    arg = Library()
    raw_set(arg, 0, args.file)
    for i in range(len(args.args)):
        raw_set(arg, i + 1, args.args[i])
        SCRIPT_ARGS.append(args.args[i])
    language.host("arg", arg)
    try:
        program = language.load(source, args.file)
    except wuna.LoadError as e:
        print(load_error_text(source, args.file, e), file=sys.stderr)
        return 2
    found = luacheck.first_error(source, program.tree)
    if found is not None:
        print(check_message(source, args.file, found), file=sys.stderr)
        return 2
    try:
        program.run(args.mode)
    except wuna.Error as e:
        sys.stdout.flush()
        print(short_stack(str(e)), file=sys.stderr)
        return 1
    except Exception as e:  # a mode this build can't run, a failure of the system itself
        sys.stdout.flush()
        print(f"lua.py: {e}", file=sys.stderr)
        return 1
    finally:
        sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
