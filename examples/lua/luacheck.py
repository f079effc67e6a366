"""What Lua rejects before a chunk runs and the grammar accepts: the lexical errors of
strings, numerals and long comments, break outside a loop and ... outside a vararg function.

A Lua compiler reads the whole chunk before running any of it, so these are reported before
anything is printed, with Lua's words: "malformed number near '3..2'", "invalid escape
sequence near '"a\\q'", "break outside loop at line 1". `first_error(source, tree)` gives
the first of them in the order Lua meets them, as (where, message, order, token): where is
the offset in source characters of the place Lua names, order that of the place where Lua
stops reading, token that of the start of the token Lua was reading; or None.

The lexical scan follows Lua's reader: the text "near" an error is what the reader has taken
of the token so far (escapes already decoded, the offending character included).
"""

LOOPS = ("While", "Repeat", "NumericFor", "GenericFor")
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
    """break outside a loop and ... outside a vararg function, as first_error gives them (Lua
    notices a stray break at the end of its function)."""
    found = []
    # (node, inside a loop of its function, its function takes ..., where that function
    # ends); a stack, not recursion: a long chain of operators folds into a deep tree
    stack = [(tree.node(0), False, True, len(source.encode("utf-8", "surrogateescape")))]
    while stack:
        node, in_loop, vararg, function_end = stack.pop()
        kind = node.rule
        if kind == "Break" and not in_loop:
            end = offsets(function_end)
            found.append((next_token(source, end), "break outside loop at line %d" %
                          line_at(source, offsets(node.start)), end, end))
        if kind == "Vararg" and node.label != "vararg" and not vararg:
            at = offsets(node.start)
            found.append((at, "cannot use '...' outside a vararg function near '...'", at, at))
        children = node.children
        if kind in FUNCTIONS:
            has_vararg = any(c.label == "vararg" for c in children)
            stack.extend((c, False, has_vararg, node.end) for c in children)
        else:
            loop = in_loop or kind in LOOPS
            stack.extend((c, loop, vararg, function_end) for c in children)
    return found


def first_error(source, tree):
    """The first error Lua would report before running the chunk, or None."""
    encoded = source.encode("utf-8", "surrogateescape")

    def offsets(byte_offset):
        return len(encoded[:byte_offset].decode("utf-8", "surrogateescape"))

    errors = tree_errors(source, tree, offsets) if tree is not None else []
    lexical = lexical_error(source)
    if lexical is not None:
        errors.append(lexical)
    if not errors:
        return None
    return min(errors, key=lambda e: e[2])
