"""The Lua standard library of the example: the builtins a program reaches without declaring them.

Each builtin is a host function of the language (Language.host): a plain Python function
taking its Lua arguments as one list (a call passes `[args]`: compiled code compiles a
function it calls for a count of arguments known while compiling, which `*args` of a run-time
length is not). What it returns follows the convention of luavalues: None for no value, a
tuple for several values (so a single nil is `(None,)`), any other object for one value. The library tables (string, math, table, io, os) are Library
objects, registered as hosts too.

A library error ("bad argument #1 to 'insert' (table expected, got nil)") is raised as
wuna.Throw with the message POSITION: the call semantic then adds the "chunk:line: " of the
call, as Lua does for errors raised in library functions.

A few builtins need to run Lua functions or to know where they were called from (error,
pcall, table.sort): the ones here only stand for them; the semantics (lua.py) recognise them
and do the work with the runtime in hand.
"""
import math
import sys
import time

import wuna
from luavalues import (INT_MAX, INT_MIN, File, Library, LuaError, Table, byte_len, canonical,
                       fmt_float, fmt_number, from_bytes, is_int, is_number, length, less, next_key,
                       raw_equal, raw_get, raw_set, str_to_number, table_from, to_bytes,
                       to_integer, to_number, tostr, type_label, type_name, wrap)

POSITION = "lua: add the call's position"


def fail(message):
    raise wuna.Throw(message, POSITION)


def arg_error(n, name, message):
    fail("bad argument #%d to '%s' (%s)" % (n, name, message))


def got(args, i):
    if i < len(args):
        return type_label(args[i])
    return "no value"


def check_table(args, i, name):
    if i >= len(args) or not isinstance(args[i], Table):
        arg_error(i + 1, name, "table expected, got " + got(args, i))
    return args[i]


def check_int(args, i, name, default):
    if i >= len(args) or args[i] is None:
        if default is None:
            arg_error(i + 1, name, "number expected, got " + got(args, i))
        return default
    v = to_number(args[i])
    if v is None:
        arg_error(i + 1, name, "number expected, got " + got(args, i))
    n = to_integer(v)
    if n is None:
        arg_error(i + 1, name, "number has no integer representation")
    return int(n)


def check_number(args, i, name):
    v = None
    if i < len(args):
        v = to_number(args[i])
    if v is None:
        arg_error(i + 1, name, "number expected, got " + got(args, i))
    return v


def check_str(args, i, name):
    if i < len(args):
        v = args[i]
        if type(v) is str:
            return v
        if is_number(v):
            return fmt_number(v)
    arg_error(i + 1, name, "string expected, got " + got(args, i))


def one(v):
    """A single result, nil included (None alone would be no result at all)."""
    if v is None:
        return (None,)
    return v


# Basic functions ------------------------------------------------------------------------------

def lua_print(args):
    out = sys.stdout
    pieces = []
    for v in args:
        pieces.append(tostr(v))
    out.write("\t".join(pieces) + "\n")


def lua_tostring(args):
    if not args:
        arg_error(1, "tostring", "value expected")
    return tostr(args[0])


def lua_tonumber(args):
    if not args:
        arg_error(1, "tonumber", "value expected")
    v = args[0]
    if len(args) < 2 or args[1] is None:
        if is_number(v):
            return v
        if type(v) is str:
            return one(str_to_number(v))
        return (None,)
    base = check_int(args, 1, "tonumber", None)
    if base < 2 or base > 36:
        arg_error(2, "tonumber", "base out of range")
    if type(v) is not str:
        arg_error(1, "tonumber", "string expected, got " + got(args, 0))
    s = v.strip(" \t\n\r\f\v").lower()
    neg = s.startswith("-")
    if neg or s.startswith("+"):
        s = s[1:]
    if not s:
        return (None,)
    n = 0
    for c in s:
        d = "0123456789abcdefghijklmnopqrstuvwxyz".find(c)
        if d < 0 or d >= base:
            return (None,)
        n = n * base + d
    if neg:
        n = -n
    return wrap(n)


def lua_type(args):
    if not args:
        arg_error(1, "type", "value expected")
    return type_name(args[0])


def lua_next(args):
    t = check_table(args, 0, "next")
    k = None
    if len(args) > 1:
        k = args[1]
    kv = None  # set on every path: fail raises, but compiled code can't tell kv is set
    try:
        kv = next_key(t, k)
    except LuaError as e:
        fail(str(e))
    if kv is None:
        return (None,)
    return kv


def lua_pairs(args):
    # any value will do: the loop's first call of next finds a value that is no table
    if not args:
        arg_error(1, "pairs", "value expected")
    return (lua_next, args[0], None)


# The functions below that read or write a table's items take the item accessors after their
# arguments, with the runtime and the node of the call the accessors need: raw ones by
# default; the semantics pass ones that run __index and __newindex for a table with a
# metatable, as Lua's library indexes tables. They are plain functions, not closures over the
# runtime, so that compiled code compiles them and their callers.

def raw_item(rt, node, t, k):
    return raw_get(t, k)


def raw_put(rt, node, t, k, v):
    raw_set(t, k, v)


def ipairs_step(args, rt=None, node=None, get=raw_item):
    # the index first, as Lua checks it: an iterator called by hand may be given anything
    i = check_int(args, 1, "?", None) + 1
    t = args[0]
    if type(t) is str:
        return (None,)  # a string's fields are the string library's, none of them numbers
    if not isinstance(t, Table):
        # an error of the library's own indexing: Lua gives it no position
        raise wuna.Throw("attempt to index a %s value" % type_name(t))
    v = get(rt, node, t, i)
    if v is None:
        return (None,)
    return (i, v)


def lua_ipairs(args):
    if not args:
        arg_error(1, "ipairs", "value expected")
    return (ipairs_step, args[0], 0)


def lua_assert(args):
    if not args:
        arg_error(1, "assert", "value expected")
    if args[0] is None or args[0] is False:
        if len(args) < 2 or type(args[1]) is str:
            # a message gets the position of the call, as error() gives it
            fail(args[1] if len(args) > 1 else "assertion failed!")
        raise wuna.Throw(args[1], tostr(args[1]))
    return tuple(args)


def lua_select(args):
    if not args:
        arg_error(1, "select", "number expected, got no value")
    rest = tuple(args[1:])
    if args[0] == "#":
        return len(rest)
    n = check_int(args, 0, "select", None)
    if n < 0:
        n = len(rest) + n
        if n < 0:
            arg_error(1, "select", "index out of range")
        return rest[n:]
    if n == 0:
        arg_error(1, "select", "index out of range")
    return rest[n - 1:]


def lua_rawget(args):
    t = check_table(args, 0, "rawget")
    return one(raw_get(t, args[1] if len(args) > 1 else None))


def lua_rawset(args):
    t = check_table(args, 0, "rawset")
    try:
        raw_set(t, args[1] if len(args) > 1 else None, args[2] if len(args) > 2 else None)
    except LuaError as e:
        fail(str(e))
    return t


def lua_rawequal(args):
    if len(args) < 2:
        arg_error(len(args) + 1, "rawequal", "value expected")
    return raw_equal(args[0], args[1])


def lua_rawlen(args):
    if args and type(args[0]) is str:
        return byte_len(args[0])
    if not args or not isinstance(args[0], Table):
        arg_error(1, "rawlen", "table or string expected, got " + got(args, 0))
    return length(args[0])


def lua_setmetatable(args):
    t = check_table(args, 0, "setmetatable")
    if t.meta is not None and raw_get(t.meta, "__metatable") is not None:
        fail("cannot change a protected metatable")
    mt = args[1] if len(args) > 1 else None
    if len(args) < 2 or (mt is not None and not isinstance(mt, Table)):
        arg_error(2, "setmetatable", "nil or table expected, got " + got(args, 1))
    t.meta = mt
    return t


# The metatable strings share (its __index is the string library), set by make_libraries.
STRING_META = Table()


def lua_getmetatable(args):
    if not args:
        arg_error(1, "getmetatable", "value expected")
    if args and (isinstance(args[0], Table) or type(args[0]) is File):
        meta = args[0].meta
        if meta is not None and raw_get(meta, "__metatable") is not None:
            return raw_get(meta, "__metatable")  # a protected metatable shows this instead
        return one(meta)
    if args and type(args[0]) is str:
        return STRING_META
    return (None,)


def lua_error(args):
    """Stands for error(); the call semantic does the work (it knows the call's line)."""
    raise wuna.Throw(args[0] if args else None)


def lua_pcall(args):
    """Stands for pcall(); the call semantic does the work (it runs Lua functions)."""
    fail("pcall needs the runtime")


# string ---------------------------------------------------------------------------------------

def str_len(args):
    return byte_len(check_str(args, 0, "len"))


def str_sub(args):
    s = check_str(args, 0, "sub")
    i = check_int(args, 1, "sub", 1)
    j = check_int(args, 2, "sub", -1)
    ascii = s.isascii()
    b = s
    if not ascii:
        b = to_bytes(s)
    n = len(b)
    if i < 0:
        i = max(n + i + 1, 1)
    elif i == 0:
        i = 1
    if j < 0:
        j = n + j + 1
    elif j > n:
        j = n
    if i > j:
        return ""
    if ascii:
        return s[i - 1:j]
    return from_bytes(b[i - 1:j])


def str_rep(args):
    s = check_str(args, 0, "rep")
    n = check_int(args, 1, "rep", None)
    sep = ""
    if len(args) > 2 and args[2] is not None:
        sep = check_str(args, 2, "rep")
    if n <= 0:
        return ""
    if byte_len(s) + byte_len(sep) > 2147483647 // n:
        fail("resulting string too large")  # Lua's strings stop below 2 GiB
    if sep:
        return canonical(sep.join([s] * n))
    return canonical(s * n)


def str_upper(args):
    s = check_str(args, 0, "upper")
    if s.isascii():
        return s.upper()
    # only ASCII letters change case, as in the C locale
    return "".join([c.upper() if c.isascii() else c for c in s])


def str_lower(args):
    s = check_str(args, 0, "lower")
    if s.isascii():
        return s.lower()
    return "".join([c.lower() if c.isascii() else c for c in s])


def str_reverse(args):
    s = check_str(args, 0, "reverse")
    if s.isascii():
        return s[::-1]
    return from_bytes(to_bytes(s)[::-1])


def str_byte(args):
    s = check_str(args, 0, "byte")
    i = check_int(args, 1, "byte", 1)
    j = check_int(args, 2, "byte", i)
    b = to_bytes(s)
    n = len(b)
    if i < 0:
        i = n + i + 1
    if j < 0:
        j = n + j + 1
    if i < 1:
        i = 1
    if j > n:
        j = n
    out = []
    for k in range(i, j + 1):
        out.append(b[k - 1])
    return tuple(out)


def str_char(args):
    out = []
    for k in range(len(args)):
        c = check_int(args, k, "char", None)
        if c < 0 or c > 255:
            arg_error(k + 1, "char", "value out of range")
        out.append(c)
    return from_bytes(bytes(out))


def str_find(args):
    """string.find for plain text (patterns are not part of the subset)."""
    s = check_str(args, 0, "find")
    p = check_str(args, 1, "find")
    init = check_int(args, 2, "find", 1)
    n = byte_len(s)
    if init < 0:
        init = max(n + init + 1, 1)
    elif init == 0:
        init = 1
    if init > n + 1:
        return (None,)
    if not (s.isascii() and p.isascii()):
        s = to_bytes(s)  # positions count bytes
        p = to_bytes(p)
    k = s.find(p, init - 1)
    if k < 0:
        return (None,)
    return (k + 1, k + len(p))


# The flags each conversion of string.format accepts (a width and a precision of at most two
# digits each may follow, the precision only where the conversion takes one).
FORMAT_FLAGS = {"d": "-+0 ", "i": "-+0 ", "c": "-", "s": "-", "x": "-#0", "X": "-#0",
                "o": "-#0", "a": "-+ #0", "A": "-+ #0", "e": "-+ #0", "E": "-+ #0",
                "f": "-+ #0", "g": "-+ #0", "G": "-+ #0"}


def check_format(spec, conv):
    """Fail unless spec (after its %) is flags, width and precision conv allows."""
    flags = FORMAT_FLAGS[conv]
    k = 0
    n = len(spec)
    while k < n and spec[k] in flags:
        k += 1
    if k < n and spec[k] != "0":
        for r in range(2):
            if k < n and spec[k].isdigit():
                k += 1
        if k < n and spec[k] == "." and conv != "c":
            k += 1
            for r in range(2):
                if k < n and spec[k].isdigit():
                    k += 1
    if k != n:
        fail("invalid conversion specification: '%" + spec + conv + "'")


def split_spec(spec):
    """The flags, width and precision (None when absent) of a conversion's % spec."""
    k = 1
    while k < len(spec) and spec[k] in "-+ #0":
        k += 1
    flags = spec[1:k]
    rest = spec[k:]
    precision = None
    if "." in rest:
        rest, digits = rest.split(".", 1)
        precision = int(digits or "0")
    return flags, int(rest or "0"), precision


def c_padded(flags, width, sign, prefix, digits, zero_pad):
    """sign, prefix and digits padded to width as C's printf pads them."""
    body = sign + prefix + digits
    if len(body) >= width:
        return body
    if "-" in flags:
        return body.ljust(width)
    if zero_pad and "0" in flags:
        return sign + prefix + digits.rjust(width - len(sign) - len(prefix), "0")
    return body.rjust(width)


def c_integer(spec, conv, value):
    """%d %i %o %x %X of an integer as C writes them: "%#o" of 8 is 010, "%#x" of 0 is 0, a
    precision of 0 writes nothing for 0, and a precision turns the 0 flag off."""
    flags, width, precision = split_spec(spec)
    digits = format(abs(value), {"d": "d", "i": "d", "o": "o", "x": "x", "X": "X"}[conv])
    if precision is not None:
        digits = "" if precision == 0 and value == 0 else digits.rjust(precision, "0")
    prefix = ""
    if "#" in flags and conv == "o" and not digits.startswith("0"):
        digits = "0" + digits
    if "#" in flags and conv in "xX" and value != 0:
        prefix = "0" + conv
    sign = "-" if value < 0 else "+" if "+" in flags else " " if " " in flags else ""
    return c_padded(flags, width, sign, prefix, digits, precision is None)


def hex_float(x, precision=None, point=False):
    """A finite float's magnitude as C's %a writes it: 0x1.8p+0, with the fraction rounded
    to precision hex digits (half to even) when one is given; point keeps the "." of an empty
    fraction (the # flag)."""
    h = abs(float(x)).hex()  # 0x1.<13 digits>p<exp>, or 0x0.0p+0
    p = h.index("p")
    lead = int(h[2], 16)
    frac_digits = h[4:p] if "." in h else ""
    exp = h[p:]
    if precision is None:
        frac = frac_digits.rstrip("0")
    else:
        f = int(frac_digits or "0", 16)
        have = len(frac_digits)
        if precision >= have:
            frac = (frac_digits + "0" * precision)[:precision]
        else:
            shift = 4 * (have - precision)
            q, r = divmod(f, 1 << shift)
            half = 1 << (shift - 1)
            last = q if precision else lead  # the last digit kept decides a tie
            if r > half or (r == half and last & 1):
                q += 1
            if q >> (4 * precision):
                lead += 1
                q = 0
            frac = format(q, "0%dx" % precision) if precision else ""
    if frac or point:
        return "0x%x.%s%s" % (lead, frac, exp)
    return "0x%x%s" % (lead, exp)


def plain_text(rt, node, v):
    return tostr(v)


def str_format(args, rt=None, node=None, show=plain_text):
    """string.format; show(rt, node, v) gives what %s writes of a value (the language passes
    one that calls __tostring)."""
    fmt = check_str(args, 0, "format")
    out = []
    i = 0
    argn = 1
    n = len(fmt)
    while i < n:
        c = fmt[i]
        if c != "%":
            out.append(c)
            i += 1
            continue
        i += 1
        if i < n and fmt[i] == "%":
            out.append("%")
            i += 1
            continue
        if argn >= len(args):
            arg_error(argn + 1, "format", "no value")
        start = i
        while i < n and fmt[i] in "-+ #0123456789.":
            i += 1
        if i - start + 1 >= 22:
            fail("invalid format (too long)")
        conv = ""
        if i < n:
            conv = fmt[i]
        spec = fmt[start:i]
        i += 1
        if conv == "" or (conv not in FORMAT_FLAGS and conv != "q"):
            fail("invalid conversion '%" + spec + conv + "' to 'format'")
        v = args[argn]
        if conv == "q":
            if spec:
                fail("specifier '%q' cannot have modifiers")
            out.append(quote(v))
        else:
            check_format(spec, conv)
            out.append(format_one(args, argn, "%" + spec, conv, rt, node, show))
        argn += 1
    return canonical("".join(out))


def text_spec(spec):
    """The % and width of spec, with its - flag: how a text stands in for a number."""
    out = "%"
    k = 1
    while k < len(spec) and spec[k] in "-+ #0":
        if spec[k] == "-":
            out = "%-"
        k += 1
    while k < len(spec) and spec[k].isdigit():
        out += spec[k]
        k += 1
    return out


def format_one(args, argn, spec, conv, rt, node, show):
    """One conversion of string.format: spec is % with its flags, width and precision."""
    if conv in "di":
        return c_integer(spec, conv, check_int(args, argn, "format", None))
    if conv in "xXo":
        return c_integer(spec, conv, check_int(args, argn, "format", None) & ((1 << 64) - 1))
    if conv == "c":
        c = check_int(args, argn, "format", None)
        return (spec + "s") % from_bytes(bytes([c & 255]))
    if conv == "s":
        text = show(rt, node, args[argn])
        if spec != "%" and "\0" in text:
            arg_error(argn + 1, "format", "string contains zeros")
        if text.isascii():
            return (spec + "s") % text
        # widths and precisions count bytes
        flags, width, precision = split_spec(spec)
        data = to_bytes(text)
        if precision is not None:
            data = data[:precision]
        if len(data) < width:
            data = data.ljust(width) if "-" in flags else data.rjust(width)
        return from_bytes(data)
    x = float(check_number(args, argn, "format"))
    if conv in "aA" and math.isfinite(x):
        flags, width, precision = split_spec(spec)
        digits = hex_float(x, precision, "#" in flags)[2:]
        negative = math.copysign(1.0, x) < 0
        sign = "-" if negative else "+" if "+" in flags else " " if " " in flags else ""
        text = c_padded(flags, width, sign, "0x", digits, True)
        return text.upper() if conv == "A" else text
    if x != x or x == math.inf or x == -math.inf:
        # C writes the sign of a NaN (Lua's 0/0 is -nan) and pads these with spaces
        text = fmt_float(x)
        flags = spec[1:len(spec) - len(spec[1:].lstrip("-+ #0"))]
        if text[0] != "-" and "+" in flags:
            text = "+" + text
        elif text[0] != "-" and " " in flags:
            text = " " + text
        if conv in "EFG":
            text = text.upper()
        return (text_spec(spec) + "s") % text
    return (spec + conv) % x


def quote(v):
    """%q: a string as a Lua literal that reads back as the same string."""
    if type(v) is float:
        if v == math.inf:
            return "1e9999"
        if v == -math.inf:
            return "-1e9999"
        if v != v:
            return "(0/0)"
        return ("-" if math.copysign(1.0, v) < 0 else "") + hex_float(v)
    if v == INT_MIN and is_int(v):
        return "0x8000000000000000"
    if type(v) is not str:
        if v is None or v is True or v is False or is_number(v):
            return tostr(v)
        arg_error(2, "format", "value has no literal form")
    out = ['"']
    n = len(v)
    for i in range(n):
        c = v[i]
        if c == '"' or c == "\\" or c == "\n":
            out.append("\\" + c)
        elif ord(c) < 32 or ord(c) == 127:
            if i + 1 < n and v[i + 1].isdigit():
                out.append("\\%03d" % ord(c))
            else:
                out.append("\\%d" % ord(c))
        else:
            out.append(c)
    out.append('"')
    return "".join(out)


# table ----------------------------------------------------------------------------------------

def tab_insert(args, rt=None, node=None, get=raw_item, put=raw_put):
    t = check_table(args, 0, "insert")
    n = length(t)
    if len(args) == 2:
        put(rt, node, t, n + 1, args[1])
        return None
    if len(args) != 3:
        fail("wrong number of arguments to 'insert'")
    pos = check_int(args, 1, "insert", None)
    if pos < 1 or pos > n + 1:
        arg_error(2, "insert", "position out of bounds")
    k = n
    while k >= pos:
        put(rt, node, t, k + 1, get(rt, node, t, k))
        k -= 1
    put(rt, node, t, pos, args[2])
    return None


def tab_remove(args):
    t = check_table(args, 0, "remove")
    size = length(t)
    pos = check_int(args, 1, "remove", size)
    if pos != size and (pos < 1 or pos > size + 1):
        arg_error(1, "remove", "position out of bounds")  # Lua 5.4 blames the table
    v = raw_get(t, pos)
    while pos < size:
        raw_set(t, pos, raw_get(t, pos + 1))
        pos += 1
    raw_set(t, pos, None)
    return one(v)


def tab_concat(args, rt=None, node=None, get=raw_item):
    t = check_table(args, 0, "concat")
    sep = ""
    if len(args) > 1 and args[1] is not None:
        sep = check_str(args, 1, "concat")
    i = check_int(args, 2, "concat", 1)
    j = check_int(args, 3, "concat", length(t))
    pieces = []
    for k in range(i, j + 1):
        v = get(rt, node, t, k)
        if type(v) is str:
            pieces.append(v)
        elif is_number(v):
            pieces.append(fmt_number(v))
        else:
            fail("invalid value (%s) at index %d in table for 'concat'" % (type_name(v), k))
    return canonical(sep.join(pieces))


def tab_unpack(args, rt=None, node=None, get=raw_item):
    t = check_table(args, 0, "unpack")
    i = check_int(args, 1, "unpack", 1)
    j = check_int(args, 2, "unpack", length(t))
    if i <= j and j - i >= 999900:
        # Lua's stack holds about a million values (a little less, what is in use aside)
        fail("too many results to unpack")
    out = []
    for k in range(i, j + 1):
        out.append(get(rt, node, t, k))
    return tuple(out)


def tab_pack(args):
    t = table_from(list(args), [])
    raw_set(t, "n", len(args))
    return t


def tab_sort(args):
    """Stands for table.sort; the call semantic sorts (a comparator may be a Lua function)."""
    fail("table.sort needs the runtime")


# math -----------------------------------------------------------------------------------------

def float_or_int(x):
    """A float result as an integer when it fits (math.floor and ceil give integers)."""
    if x != x or x in (math.inf, -math.inf):
        return x
    i = int(x)
    if INT_MIN <= i <= INT_MAX:
        return i
    return float(x)


def m_floor(args):
    x = check_number(args, 0, "floor")
    if is_int(x):
        return x
    return float_or_int(math.floor(x) if math.isfinite(x) else x)


def m_ceil(args):
    x = check_number(args, 0, "ceil")
    if is_int(x):
        return x
    return float_or_int(math.ceil(x) if math.isfinite(x) else x)


def m_extreme(args, name, larger):
    """math.max and math.min: every argument must read as a number, but the arguments are
    compared and returned as they are (a numeric string stays a string, as in Lua)."""
    if not args:
        arg_error(1, name, "value expected")
    for k in range(len(args)):
        check_number(args, k, name)
    best = args[0]
    for k in range(1, len(args)):
        try:
            if less(best, args[k], False) if larger else less(args[k], best, False):
                best = args[k]
        except LuaError as e:
            raise wuna.Throw(str(e))  # Lua names no position for a comparison in a builtin
    return best


def m_max(args):
    return m_extreme(args, "max", True)


def m_min(args):
    return m_extreme(args, "min", False)


def m_abs(args):
    x = check_number(args, 0, "abs")
    # only a value of integer type stays an integer: a numeric string is a float here
    if is_int(args[0]):
        return wrap(abs(int(x)))
    return abs(float(x))


def m_sqrt(args):
    x = float(check_number(args, 0, "sqrt"))
    if x < 0:
        return -math.nan
    return math.sqrt(x)


def m_fmod(args):
    a = check_number(args, 0, "fmod")
    b = check_number(args, 1, "fmod")
    if is_int(args[0]) and is_int(args[1]):
        if b == 0:
            arg_error(2, "fmod", "zero")
        r = abs(int(a)) % abs(int(b))
        return -r if a < 0 else r
    if b == 0 or not math.isfinite(a):
        return -math.nan
    return math.fmod(a, b)


def m_tointeger(args):
    if not args:
        arg_error(1, "tointeger", "value expected")
    # Lua 5.4.4 converts a numeric string as well
    if args and (is_number(args[0]) or type(args[0]) is str):
        return one(to_integer(args[0]))
    return (None,)


def m_ult(args):
    a = check_int(args, 0, "ult", None)
    b = check_int(args, 1, "ult", None)
    mask = (1 << 64) - 1
    return (a & mask) < (b & mask)


def m_type(args):
    if not args:
        arg_error(1, "type", "value expected")
    if is_int(args[0]):
        return "integer"
    if type(args[0]) is float:
        return "float"
    return (None,)


# io and os ------------------------------------------------------------------------------------

def io_write(args):
    write_values(args, 0, "write")
    return STDOUT


def file_write(args):
    if not args or type(args[0]) is not File:
        arg_error(1, "write", "FILE* expected, got " + got(args, 0))
    write_values(args, 1, "write")
    return args[0]


def write_values(args, first, name):
    out = sys.stdout
    for k in range(first, len(args)):
        v = args[k]
        if type(v) is float:
            # io.write prints floats with %.14g alone: 1.0 is written 1
            s = fmt_float(v)
            if s.endswith(".0") and "e" not in s:
                s = s[:len(s) - 2]
            out.write(s)
        else:
            out.write(check_str(args, k, name))


def os_time(args):
    return int(time.time())


def os_clock(args):
    return time.process_time()


# Library functions by their full names ("string.rep"), which Lua gives in an error of a
# function the library called itself (pcall(string.rep)); filled by make_libraries.
QUALIFIED = {}


def library(entries, prefix):
    t = Library()
    for name in entries:
        raw_set(t, name, entries[name])
        if callable(entries[name]):
            QUALIFIED[entries[name]] = prefix + name
    return t


# io.stdout: its methods come through its metatable, as a userdata's do.
FILE_META = Table()
STDOUT = File(FILE_META, "stdout")


def make_libraries():
    """The library tables, by name."""
    strings = library({"len": str_len, "sub": str_sub, "rep": str_rep, "upper": str_upper,
                       "lower": str_lower, "reverse": str_reverse, "byte": str_byte,
                       "char": str_char, "find": str_find, "format": str_format}, "string.")
    raw_set(STRING_META, "__index", strings)
    raw_set(FILE_META, "__index", library({"write": file_write}, "file:"))
    raw_set(FILE_META, "__name", "FILE*")
    return {
        "string": strings,
        "table": library({"insert": tab_insert, "remove": tab_remove, "concat": tab_concat,
                          "unpack": tab_unpack, "sort": tab_sort, "pack": tab_pack},
                         "table."),
        "math": library({"floor": m_floor, "ceil": m_ceil, "max": m_max, "min": m_min,
                         "abs": m_abs, "sqrt": m_sqrt, "fmod": m_fmod,
                         "tointeger": m_tointeger, "type": m_type, "ult": m_ult,
                         "huge": math.inf,
                         "pi": math.pi, "maxinteger": INT_MAX, "mininteger": INT_MIN}, "math."),
        "io": library({"write": io_write, "stdout": STDOUT}, "io."),
        "os": library({"time": os_time, "clock": os_clock}, "os."),
    }


# The builtins by name, in the order lua.py declares them to the rules.
FUNCTIONS = {"print": lua_print, "pairs": lua_pairs, "ipairs": lua_ipairs,
             "tostring": lua_tostring, "tonumber": lua_tonumber, "type": lua_type,
             "error": lua_error, "assert": lua_assert, "select": lua_select, "next": lua_next,
             "rawget": lua_rawget, "rawset": lua_rawset, "rawequal": lua_rawequal,
             "rawlen": lua_rawlen, "setmetatable": lua_setmetatable,
             "getmetatable": lua_getmetatable, "pcall": lua_pcall}
