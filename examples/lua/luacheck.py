"""What Lua rejects before a chunk runs and the grammar accepts: the lexical errors of
strings, numerals and long comments, ... outside a vararg function, and what Lua's reading of
blocks refuses: break outside a loop, gotos without a visible label or into the scope of a
local, labels defined twice, assignments to <const> and <close> variables, bad attributes.

A Lua compiler reads the whole chunk before running any of it, so these are reported before
anything is printed, with Lua's words: "malformed number near '3..2'", "invalid escape
sequence near '"a\\q'", "break outside loop at line 1". `first_error(source, tree)` gives
the first of them in the order Lua meets them, as (where, message, order, token): where is
the offset in source characters of the place Lua names, order that of the place where Lua
stops reading, token that of the start of the token Lua was reading; or None.

The lexical scan follows Lua's reader: the text "near" an error is what the reader has taken
of the token so far (escapes already decoded, the offending character included).
"""

FUNCTIONS = ("FunctionStat", "LocalFunction", "FunctionExpr")
HEX = "0123456789abcdefABCDEF"
SPACE = " \t\r\n\f\v"
SIMPLE = {"a": "\a", "b": "\b", "f": "\f", "n": "\n", "r": "\r", "t": "\t", "v": "\v",
          "\\": "\\", '"': '"', "'": "'", "\n": "\n", "\r": "\n"}


class LexError(Exception):
    def __init__(self, offset, message, near):
        Exception.__init__(self, message)
        self.token = offset  # the scanner sets the token's start
        self.offset = offset
        self.message = message
        self.near = near


def line_at(source, offset):
    return source.count("\n", 0, offset) + 1


def long_bracket(source, i):
    """The level of a long bracket [=*[ opening at i, or -1."""
    j = i + 1
    while j < len(source) and source[j] == "=":
        j += 1
    if j < len(source) and source[j] == "[":
        return j - i - 1
    return -1


def skip_long(source, i, level, what):
    """Past the long string or comment whose bracket opens at i."""
    close = "]" + "=" * level + "]"
    end = source.find(close, i + level + 2)
    if end < 0:
        message = "unfinished long %s (starting at line %d)" % (what, line_at(source, i))
        raise LexError(len(source), message, "<eof>")
    return end + len(close)


def scan_escape(source, i, buffer):
    """Past the escape whose backslash is at i; its bytes appended to buffer (a list of
    str pieces). Raises LexError as Lua's escape checks do."""
    n = len(source)
    buffer.append("\\")
    if i + 1 >= n:
        return i + 1  # the unfinished string is reported by the caller
    c = source[i + 1]
    j = i + 2
    if c in SIMPLE:
        buffer[len(buffer) - 1] = SIMPLE[c]
        if c in "\n\r" and j < n and source[j] in "\n\r" and source[j] != c:
            j += 1
        return j
    if c == "x":
        buffer.append("x")
        for _ in range(2):
            if j >= n or source[j] not in HEX:
                raise_escape(source, j, buffer, "hexadecimal digit expected")
            buffer.append(source[j])
            j += 1
        value = int(source[j - 2:j], 16)
        del buffer[len(buffer) - 4:]
        buffer.append(chr(value))
        return j
    if c == "z":
        buffer.pop()
        while j < n and source[j] in SPACE:
            j += 1
        return j
    if c == "u":
        buffer.append("u")
        if j >= n or source[j] != "{":
            raise_escape(source, j, buffer, "missing '{'")
        buffer.append("{")
        j += 1
        if j >= n or source[j] not in HEX:
            raise_escape(source, j, buffer, "hexadecimal digit expected")
        value = 0
        while j < n and source[j] in HEX:
            if value > (0x7FFFFFFF >> 4):
                raise_escape(source, j, buffer, "UTF-8 value too large")
            value = value * 16 + int(source[j], 16)
            buffer.append(source[j])
            j += 1
        if j >= n or source[j] != "}":
            raise_escape(source, j, buffer, "missing '}'")
        while buffer[len(buffer) - 1] != "\\":
            buffer.pop()
        buffer[len(buffer) - 1] = chr(value) if value < 0x110000 else "?"
        return j + 1
    if c.isdigit() and c.isascii():
        value = 0
        k = i + 1
        while k < n and k < i + 4 and source[k].isascii() and source[k].isdigit():
            value = value * 10 + int(source[k])
            buffer.append(source[k])
            k += 1
        if value > 255:
            raise_escape(source, k, buffer, "decimal escape too large")
        del buffer[len(buffer) - (k - i):]
        buffer.append(chr(value))
        return k
    raise_escape(source, i + 1, buffer, "invalid escape sequence")


def raise_escape(source, j, buffer, message):
    """Lua's escape error: the character it stopped at joins the text near the error."""
    if j < len(source):
        buffer.append(source[j])
    raise LexError(j, message, "".join(buffer))


def scan_string(source, i):
    """Past the short string whose quote is at i."""
    quote = source[i]
    buffer = [quote]
    j = i + 1
    n = len(source)
    while True:
        if j >= n:
            raise LexError(n, "unfinished string", "<eof>")
        c = source[j]
        if c == quote:
            return j + 1
        if c in "\n\r":
            raise LexError(j, "unfinished string", "".join(buffer))
        if c == "\\":
            j = scan_escape(source, j, buffer)
            continue
        buffer.append(c)
        j += 1


def scan_numeral(source, i):
    """Past the numeral starting at i (a digit, or a . and a digit), read greedily as Lua
    reads it; a text that is no number is "malformed number"."""
    from luavalues import str_to_number
    n = len(source)
    exponent = "Ee"
    if source.startswith(("0x", "0X"), i):
        exponent = "Pp"
    j = i
    if source.startswith(("0x", "0X"), i):
        j = i + 2
    while j < n:
        c = source[j]
        if c in exponent:
            j += 1
            if j < n and source[j] in "+-":
                j += 1
        elif (c.isascii() and c in HEX) or c == ".":
            j += 1
        else:
            break
    if j < n and source[j].isascii() and (source[j].isalpha() or source[j] == "_"):
        j += 1
    text = source[i:j]
    if str_to_number(text) is None:
        raise LexError(j, "malformed number", text)
    return j


def lexical_error(source):
    """The first lexical error of the chunk, or None."""
    i = 0
    n = len(source)
    if source.startswith("#"):
        i = source.find("\n")
        if i < 0:
            return None
    token = 0
    try:
        while i < n:
            c = source[i]
            token = i
            if c == "-" and source.startswith("--", i):
                level = long_bracket(source, i + 2) if source.startswith("[", i + 2) else -1
                if level >= 0:
                    i = skip_long(source, i + 2, level, "comment")
                else:
                    end = source.find("\n", i)
                    i = n if end < 0 else end
            elif c == "[":
                level = long_bracket(source, i)
                i = skip_long(source, i, level, "string") if level >= 0 else i + 1
            elif c in "\"'":
                i = scan_string(source, i)
            elif source.startswith("..", i):
                i += 3 if source.startswith("...", i) else 2
            elif c.isascii() and c.isdigit() or (c == "." and i + 1 < n and
                                                 source[i + 1].isascii() and
                                                 source[i + 1].isdigit()):
                i = scan_numeral(source, i)
            elif c.isascii() and (c.isalpha() or c == "_"):
                while i < n and source[i].isascii() and (source[i].isalnum() or source[i] == "_"):
                    i += 1
            else:
                i += 1
    except LexError as e:
        near = e.near if e.near == "<eof>" else "'" + e.near + "'"
        return e.offset, "%s near %s" % (e.message, near), e.offset, token
    return None


def next_token(source, offset):
    """The offset of the first token at or after offset (comments and spaces passed over):
    where Lua's reader stands once it has read the token before."""
    n = len(source)
    i = offset
    while i < n:
        if source[i] in SPACE:
            i += 1
        elif source.startswith("--", i):
            level = long_bracket(source, i + 2) if source.startswith("[", i + 2) else -1
            if level >= 0:
                end = source.find("]" + "=" * level + "]", i + 2)
                i = n if end < 0 else end + level + 2
            else:
                end = source.find("\n", i)
                i = n if end < 0 else end
        else:
            break
    return i


def tree_errors(source, tree, offsets):
    """... outside a vararg function, as first_error gives them."""
    found = []
    # (node, its function takes ...); a stack, not recursion: a long chain of operators
    # folds into a deep tree
    stack = [(tree.node(0), True)]
    while stack:
        node, vararg = stack.pop()
        kind = node.rule
        if kind == "Vararg" and node.label != "vararg" and not vararg:
            at = offsets(node.start)
            found.append((at, "cannot use '...' outside a vararg function near '...'", at, at))
        children = node.children
        if kind in FUNCTIONS:
            has_vararg = any(c.label == "vararg" for c in children)
            stack.extend((c, has_vararg) for c in children)
        else:
            stack.extend((c, vararg) for c in children)
    return found


# The rules of a label: one holding the rest of its block, one whose rest ends a repeat body
# with its until condition.
LABELS = ("Label", "RepeatLabel")


class Block:
    """A block being read: where its locals, pending gotos and labels begin."""
    __slots__ = ("nactvar", "firstgoto", "firstlabel", "isloop", "repeat_body")

    def __init__(self, nactvar, firstgoto, firstlabel, isloop, repeat_body):
        self.nactvar = nactvar
        self.firstgoto = firstgoto
        self.firstlabel = firstlabel
        self.isloop = isloop
        self.repeat_body = repeat_body


class Function:
    """A function being read: its active locals [name, attribute], the gotos not yet
    resolved [name, line, active locals at the goto], the visible labels [name, line, active
    locals at the label] and the open blocks."""
    __slots__ = ("locals", "gotos", "labels", "blocks", "end")

    def __init__(self, end):
        self.locals = []
        self.gotos = []
        self.labels = []
        self.blocks = []
        self.end = end


class ScopeError(Exception):
    """The first error of the scope walk: Lua stops reading at it."""

    def __init__(self, where, message):
        Exception.__init__(self, message)
        self.where = where
        self.message = message


class Scopes:
    """Lua's reading of a chunk's blocks, locals, gotos and labels, in the order its parser
    meets them, for the errors it reports before running: break outside a loop, a goto
    without a visible label, a label defined twice, a goto into the scope of a local, an
    assignment to a <const> or <close> variable, an unknown attribute, two <close> variables
    in one local statement. An error is reported where Lua's reader stands when it finds it
    (its line), as Lua's semantic errors are."""

    def __init__(self, source, offsets):
        self.source = source
        self.offsets = offsets
        self.functions = []

    def text(self, node):
        return self.source[self.offsets(node.start):self.offsets(node.end)]

    def line(self, node):
        return line_at(self.source, self.offsets(node.start))

    def after(self, byte_end):
        """The offset of the token after byte offset byte_end."""
        return next_token(self.source, self.offsets(byte_end))

    def fail(self, where, message):
        raise ScopeError(where, message)

    # blocks ----------------------------------------------------------------------------

    def enter_block(self, isloop, repeat_body=False):
        fs = self.functions[-1]
        fs.blocks.append(Block(len(fs.locals), len(fs.gotos), len(fs.labels), isloop,
                               repeat_body))

    def leave_block(self, where):
        """Close the innermost block; where is the offset of the token Lua's reader stands
        at (for the errors of the gotos it leaves unresolved)."""
        fs = self.functions[-1]
        bl = fs.blocks.pop()
        del fs.locals[bl.nactvar:]
        if bl.isloop:
            self.create_label(fs, bl, "break", 0, False, where)
        del fs.labels[bl.firstlabel:]
        if fs.blocks:
            for g in fs.gotos[bl.firstgoto:]:
                g[2] = bl.nactvar
            return
        if bl.firstgoto < len(fs.gotos):
            g = fs.gotos[bl.firstgoto]
            if g[0] == "break":
                self.fail(where, "break outside loop at line %d" % g[1])
            self.fail(where, "no visible label '%s' for <goto> at line %d" % (g[0], g[1]))

    def create_label(self, fs, bl, name, line, last, where):
        nactvar = len(fs.locals)
        if last:
            nactvar = bl.nactvar  # the block's locals are taken as already out of scope
        fs.labels.append([name, line, nactvar])
        i = bl.firstgoto
        while i < len(fs.gotos):
            g = fs.gotos[i]
            if g[0] != name:
                i += 1
                continue
            if g[2] < nactvar:
                self.fail(where, "<goto %s> at line %d jumps into the scope of local '%s'"
                          % (name, g[1], fs.locals[g[2]][0]))
            del fs.gotos[i]

    # functions ----------------------------------------------------------------------------

    def open_function(self, node):
        self.functions.append(Function(node.end))
        self.enter_block(False)

    def close_function(self):
        fs = self.functions[-1]
        self.leave_block(self.after(fs.end))
        self.functions.pop()

    def declare(self, name, attrib=None):
        self.functions[-1].locals.append([name, attrib])

    def find_local(self, name):
        for fs in reversed(self.functions):
            for entry in reversed(fs.locals):
                if entry[0] == name:
                    return entry
        return None

    def check_writable(self, target, where):
        if target.rule != "Name":
            return
        name = self.text(target)
        entry = self.find_local(name)
        if entry is not None and entry[1] in ("const", "close"):
            self.fail(where, "attempt to assign to const variable '%s'" % name)

    # the walk ----------------------------------------------------------------------------

    def run(self, root):
        """Walk the chunk: a stack of work items, not recursion (operators nest deeply)."""
        self.work = [(self.visit_function, root)]
        while self.work:
            fn, arg = self.work.pop()
            fn(arg)

    def later(self, items):
        """Queue items (fn, arg) to run in the given order."""
        self.work.extend(reversed(items))

    def visit(self, node):
        kind = node.rule
        handler = VISITORS.get(kind)
        if handler is not None:
            handler(self, node)
            return
        self.later([(self.visit, c) for c in node.children])

    def visit_function(self, node):
        items = []
        if node.rule == "LocalFunction":
            name = [c for c in node.children if c.label == "name"][0]
            items.append((lambda n: self.declare(self.text(n)), name))
        items.append((self.open_function, node))
        if node.rule == "FunctionStat" and any(c.label == "method" for c in node.children):
            items.append((self.declare, "self"))
        for c in node.children:
            if c.label == "params":
                items.append((lambda n: self.declare(self.text(n)), c))
            elif c.label == "body":
                # the function's own block holds its body's statements
                items.append((self.visit_statements, c))
        items.append((lambda _: self.close_function(), None))
        if node.rule == "FunctionStat" and not any(c.label in ("fields", "method")
                                                   for c in node.children):
            name = [c for c in node.children if c.label == "name"][0]
            where = self.after(node.end)
            items.append((lambda n: self.check_writable(n, where), name))
        self.later(items)

    def visit_block(self, node, isloop=False):
        self.later([(lambda _: self.enter_block(isloop), None), (self.visit_statements, node),
                    (lambda n: self.leave_block(self.after(n.end)), node)])

    def visit_statements(self, node):
        """The statements of a block (or of the rest of one, a <close> local's), a run of
        labels taken as Lua takes it: the labels after the first are read before it."""
        stmts, cond = block_statements(node)
        items = []
        i = 0
        while i < len(stmts):
            if stmts[i].rule not in LABELS:
                items.append((self.visit, stmts[i]))
                i += 1
                continue
            j = i
            while j < len(stmts) and stmts[j].rule in LABELS:
                j += 1
            items.append((self.visit_labels, (node, stmts[i:j], j == len(stmts))))
            i = j
        if cond is not None:
            items.append((self.visit, cond))  # a repeat's until, inside the body's block
        self.later(items)

    def visit_labels(self, arg):
        holder, labels, at_end = arg
        fs = self.functions[-1]
        bl = fs.blocks[-1]
        # a label holds the rest of its block: the token after it follows its closing ::
        where = next_token(self.source, self.after(labels[-1].children[0].end) + 2)
        while where < len(self.source) and self.source[where] == ";":
            where = next_token(self.source, where + 1)
        # a label ending its block, before end, else or elseif but not until
        last = at_end and not bl.repeat_body
        for label in reversed(labels):
            name = self.text(label.children[0])
            for other in fs.labels:
                if other[0] == name:
                    self.fail(where, "label '%s' already defined on line %d" % (name, other[1]))
            self.create_label(fs, bl, name, self.line(label), last, where)

    def visit_goto(self, node):
        fs = self.functions[-1]
        name_node = node.children[0]
        name = self.text(name_node)
        if any(label[0] == name for label in fs.labels):
            return  # a jump back to a visible label
        fs.gotos.append([name, self.line(name_node), len(fs.locals)])

    def visit_break(self, node):
        fs = self.functions[-1]
        fs.gotos.append(["break", self.line(node), len(fs.locals)])

    def visit_local(self, node):
        names = []
        closes = 0
        for c in node.children:
            if c.label == "names":
                names.append([self.text(c), None])
            elif c.label == "attribs":
                attrib = self.text(c.children[0])
                where = self.after(c.end)
                if attrib not in ("const", "close"):
                    self.fail(where, "unknown attribute '%s'" % attrib)
                if attrib == "close":
                    closes += 1
                    if closes > 1:
                        self.fail(where, "multiple to-be-closed variables in local list")
                names[-1][1] = attrib
        items = [(self.visit, c) for c in node.children if c.label == "values"]
        items.append((lambda _: self.functions[-1].locals.extend(names), None))
        if node.rule in ("CloseLocal", "RepeatCloseLocal"):
            items.append((self.visit_statements, node))
        self.later(items)

    def visit_assign(self, node):
        items = []
        targets = [c for c in node.children if c.label == "targets"]
        for t in targets:
            where = self.after(t.end)
            items.append((lambda n, w=where: self.check_writable(n, w), t))
            if t.rule != "Name":
                items.append((self.visit, t))
        items.extend((self.visit, c) for c in node.children if c.label == "values")
        self.later(items)

    def visit_while(self, node):
        items = [(self.visit, c) for c in node.children if c.label == "cond"]
        body = [c for c in node.children if c.label == "body"][0]
        items.append((lambda _: self.enter_block(True), None))
        items.append((self.visit_block, body))
        items.append((lambda n: self.leave_block(self.after(n.end)), node))
        self.later(items)

    def visit_for(self, node):
        items = [(lambda _: self.enter_block(True), None)]
        items.extend((self.visit, c) for c in node.children
                     if c.label in ("start", "stop", "step", "exprs"))
        for c in node.children:
            if c.label in ("var", "names"):
                items.append((lambda n: self.declare(self.text(n)), c))
        body = [c for c in node.children if c.label == "body"][0]
        items.append((self.visit_block, body))
        items.append((lambda n: self.leave_block(self.after(n.end)), node))
        self.later(items)

    def visit_repeat(self, node):
        body = [c for c in node.children if c.label == "body"][0]
        cond = [c for c in node.children if c.label == "cond"]
        # the until condition is read inside the body's block
        items = [(lambda _: self.enter_block(True), None),
                 (lambda _: self.enter_block(False, True), None),
                 (self.visit_statements, body)]
        items.extend((self.visit, c) for c in cond)
        items.append((lambda n: self.leave_block(self.after(n.end)), node))
        items.append((lambda n: self.leave_block(self.after(n.end)), node))
        self.later(items)

    def visit_chunk(self, node):
        self.visit_function(node)


VISITORS = {
    "Chunk": Scopes.visit_chunk,
    "FunctionStat": Scopes.visit_function,
    "LocalFunction": Scopes.visit_function,
    "FunctionExpr": Scopes.visit_function,
    "Block": Scopes.visit_block,
    "LabelBlock": Scopes.visit_block,
    "Goto": Scopes.visit_goto,
    "Break": Scopes.visit_break,
    "Local": Scopes.visit_local,
    "CloseLocal": Scopes.visit_local,
    "RepeatCloseLocal": Scopes.visit_local,
    "Assign": Scopes.visit_assign,
    "While": Scopes.visit_while,
    "NumericFor": Scopes.visit_for,
    "GenericFor": Scopes.visit_for,
    "Repeat": Scopes.visit_repeat,
}


def block_statements(node):
    """The statements of a block (or of the rest of one), those of the rest a label holds
    following the label, as Lua reads them; and the until condition ending the last rest of
    a repeat body, or None."""
    out = []
    cond = None
    while node is not None:
        stmts = [c for c in node.children if c.label == "stmts"]
        out.extend(stmts)
        conds = [c for c in node.children if c.label == "cond"]
        if conds:
            cond = conds[0]
        node = None
        if stmts and stmts[-1].rule in LABELS:
            rest = [c for c in stmts[-1].children if c.label == "rest"]
            if rest:
                node = rest[0]
    return out, cond


def scope_errors(source, tree, offsets):
    """The first error of Lua's scope rules (see Scopes), as first_error gives them."""
    scopes = Scopes(source, offsets)
    try:
        scopes.run(tree.node(0))
    except ScopeError as e:
        return [(e.where, e.message, e.where, e.where)]
    return []


def first_error(source, tree):
    """The first error Lua would report before running the chunk, or None."""
    encoded = source.encode("utf-8", "surrogateescape")

    def offsets(byte_offset):
        return len(encoded[:byte_offset].decode("utf-8", "surrogateescape"))

    errors = []
    if tree is not None:
        errors = tree_errors(source, tree, offsets) + scope_errors(source, tree, offsets)
    lexical = lexical_error(source)
    if lexical is not None:
        errors.append(lexical)
    if not errors:
        return None
    return min(errors, key=lambda e: e[2])
