"""Lua values as Python objects, and the operations on them that the semantics and the library
share.

A Lua value is one of: None (nil), True/False, an int (a Lua integer, 64 bits: wuna.I64 or a
plain int that fits), a float, a str (a Lua string; its bytes are the UTF-8 encoding, raw bytes
that are not UTF-8 kept as surrogate escapes), a Table, or a function: a wuna.Function (a
function of the program), a Method (a function defined with `function t:m()`, which takes self
as its first argument) or a Python callable (a library function).

Several values (what a call returns) travel as a Python tuple: no Lua value is a tuple, so a
tuple always means "these values". A call's result is normalised by `values_of`: None is no
value at all, a tuple is its items, anything else is that one value.

Tables keep a list part (keys 1..n, `arr[k - 1]`) and a hash part (a dict). A key is
normalised before it reaches the dict: a float with an integral value becomes that int (so
t[1.0] is t[1]), and true/false become BoolKey objects (Python's True would be the key 1).

Errors of the language are raised as LuaError(message); the semantics turn them into runtime
errors at the node being run (or into a Throw for pcall), the library into "bad argument"
errors.
"""
import math

INT_MIN = -(1 << 63)
INT_MAX = (1 << 63) - 1
MASK64 = (1 << 64) - 1


class LuaError(Exception):
    """An error of a Lua operation, worded as Lua words it; the caller puts it at a node."""


class BoolKey:
    """A table key standing for true or false, which Python would take for 1 and 0."""
    __slots__ = ("value",)

    def __init__(self, value):
        self.value = value


TRUE_KEY = BoolKey(True)
FALSE_KEY = BoolKey(False)


class Table:
    """A Lua table: the list part arr holds t[1] .. t[len(arr)], the rest is in hash."""
    __slots__ = ("arr", "hash", "meta")

    def __init__(self):
        self.arr = []
        self.hash = {}
        self.meta = None


class Library(Table):
    """A library table (string, math...) reached as a builtin: builtins are host functions,
    so the object must be callable from Python; Lua code never calls it (calls check the
    type first)."""
    __slots__ = ()

    def __call__(self, *args):
        raise LuaError("attempt to call a table value")


class File:
    """An open file of the io library (io.stdout): a userdata whose metatable gives its
    methods."""
    __slots__ = ("meta", "stream")

    def __init__(self, meta, stream):
        self.meta = meta
        self.stream = stream


class Method:
    """A function defined with `function t:m()`: its first argument is self."""
    __slots__ = ("fn",)

    def __init__(self, fn):
        self.fn = fn


def is_int(v):
    t = type(v)
    return t is not bool and t is not float and isinstance(v, int)


def is_number(v):
    t = type(v)
    return t is float or (t is not bool and isinstance(v, int))


def wrap(n):
    """An integer wrapped to 64 bits, as Lua's integer arithmetic wraps around."""
    n = int(n) & MASK64
    if n > INT_MAX:
        return n - (1 << 64)
    return n


def type_label(v):
    """v's type as Lua's error messages name it: a table's metatable's __name when that is a
    string ("attempt to call a Point value"), else its type."""
    if isinstance(v, Table) and v.meta is not None:
        name = raw_get(v.meta, "__name")
        if type(name) is str:
            return name
    return type_name(v)


def type_name(v):
    if v is None:
        return "nil"
    if v is True or v is False:
        return "boolean"
    if is_number(v):
        return "number"
    if type(v) is str:
        return "string"
    if isinstance(v, Table):
        return "table"
    if type(v) is File:
        return "userdata"
    return "function"


def truthy(v):
    return v is not None and v is not False


# Tables -------------------------------------------------------------------------------------

def norm_key(k):
    """The dict key of a Lua key (see the module's header); None for nil and NaN keys."""
    if type(k) is float:
        if k != k:
            return None
        if k.is_integer() and -9.3e18 < k < 9.3e18:
            i = int(k)
            if INT_MIN <= i <= INT_MAX:
                return i
        return k
    if k is True:
        return TRUE_KEY
    if k is False:
        return FALSE_KEY
    return k


def key_value(k):
    """The Lua value of a dict key (the inverse of norm_key)."""
    if type(k) is BoolKey:
        return k.value
    return k


def raw_get(t, k):
    if is_int(k):
        n = len(t.arr)
        if 1 <= k <= n:
            return t.arr[k - 1]
        return t.hash.get(k)
    k = norm_key(k)
    if k is None:
        return None
    if is_int(k):
        return raw_get(t, k)
    return t.hash.get(k)


def raw_set(t, k, v):
    if not is_int(k):
        if k is None:
            raise LuaError("table index is nil")
        k2 = norm_key(k)
        if k2 is None:
            raise LuaError("table index is NaN")
        if not is_int(k2):
            if v is None:
                t.hash.pop(k2, None)
            else:
                t.hash[k2] = v
            return
        k = k2
    arr = t.arr
    n = len(arr)
    if 1 <= k <= n:
        arr[k - 1] = v
        if v is None and k == n:
            while arr and arr[-1] is None:
                arr.pop()
        return
    if k == n + 1:
        if v is None:
            t.hash.pop(k, None)
            return
        arr.append(v)
        t.hash.pop(k, None)
        # keys that now continue the list part move there, so # stays a border
        h = t.hash
        while h and len(arr) + 1 in h:
            arr.append(h.pop(len(arr) + 1))
        return
    if v is None:
        t.hash.pop(k, None)
    else:
        t.hash[k] = v


def length(t):
    """#t: a border of the table (the list part always ends at one)."""
    return len(t.arr)


def table_from(positional, keyed):
    """A table of a constructor: keyed (key, value) pairs in order, then the positional values
    at 1, 2, ... (they win over keyed entries of the same index, as in Lua)."""
    t = Table()
    for kv in keyed:
        raw_set(t, kv[0], kv[1])
    if positional:
        arr = t.arr
        for i in range(len(positional)):
            if i < len(arr):
                arr[i] = positional[i]
            else:
                arr.append(positional[i])
            t.hash.pop(i + 1, None)
        while arr and arr[-1] is None:
            arr.pop()
        h = t.hash
        while h and len(arr) + 1 in h:
            arr.append(h.pop(len(arr) + 1))
    return t


def next_key(t, k):
    """Lua's next(t, k): the key and value after k, or None when the traversal is over."""
    arr = t.arr
    i = 0
    if k is not None:
        nk = norm_key(k)
        if is_int(nk) and 1 <= nk <= len(arr):
            i = nk
        else:
            keys = list(t.hash)
            if nk not in t.hash:
                raise LuaError("invalid key to 'next'")
            j = keys.index(nk) + 1
            if j < len(keys):
                return (key_value(keys[j]), t.hash[keys[j]])
            return None
    while i < len(arr):
        if arr[i] is not None:
            return (i + 1, arr[i])
        i += 1
    for key in t.hash:
        return (key_value(key), t.hash[key])
    return None


def snapshot(t):
    """The keys of a table in traversal order, for a for loop over pairs(t)."""
    keys = []
    for i in range(len(t.arr)):
        keys.append(i + 1)
    for key in t.hash:
        keys.append(key_value(key))
    return keys


# Numbers and strings --------------------------------------------------------------------------

def fmt_float(x):
    """A float as Lua prints it: %.14g, with .0 added when that looks like an integer."""
    if x != x:
        return "-nan" if math.copysign(1.0, x) < 0 else "nan"
    if x == math.inf:
        return "inf"
    if x == -math.inf:
        return "-inf"
    s = "%.14g" % x
    for c in s:
        if c not in "-0123456789":
            return s
    return s + ".0"


def fmt_number(v):
    if type(v) is float:
        return fmt_float(v)
    return str(int(v))


def str_to_number(s):
    """A Lua numeral read from a string (surrounding spaces allowed), or None."""
    s = s.strip(" \t\n\r\f\v")
    if not s:
        return None
    neg = False
    body = s
    if body[0] in "+-":
        neg = body[0] == "-"
        body = body[1:]
    if body[:2] in ("0x", "0X"):
        return hex_to_number(body[2:], neg)
    if not body or body[0] not in "0123456789.":
        return None
    for c in body:
        if c not in "0123456789.eE+-":
            return None
    is_float = False
    for c in body:
        if c in ".eE":
            is_float = True
    if not is_float:
        n = int(body)
        if neg:
            n = -n
        if INT_MIN <= n <= INT_MAX:
            return n
        return scaled_float(n, 0)
    x = 0.0  # set on every path: the handler returns, but compiled code can't tell x is set
    try:
        x = float(body)
    except ValueError:
        return None
    if neg:
        return -x
    return x


def hex_to_number(body, neg):
    """A hexadecimal numeral after its 0x: an integer (wrapping) or, with a . or p, a float."""
    mant = body
    exp = 0
    p = -1
    for i in range(len(body)):
        if body[i] in "pP":
            p = i
    if p >= 0:
        mant = body[:p]
        digits = body[p + 1:]
        if digits[:1] in ("+", "-"):
            digits = digits[1:]
        # only digits: Python's int() would also take "1_0" and spaces
        if not digits or not digits.isascii() or not digits.isdigit():
            return None
        exp = int(body[p + 1:])
    dot = mant.find(".")
    digits = mant
    frac = 0
    if dot >= 0:
        digits = mant[:dot] + mant[dot + 1:]
        frac = len(mant) - dot - 1
    if not digits:
        return None
    for c in digits:
        if c not in "0123456789abcdefABCDEF":
            return None
    n = int(digits, 16)
    if p < 0 and dot < 0:
        n = wrap(n)
        if neg:
            return wrap(-n)
        return n
    x = scaled_float(n, exp - 4 * frac)
    if neg:
        return -x
    return x


def scaled_float(n, exp):
    """n * 2**exp as the nearest float, inf past the largest (Lua's numerals never overflow)."""
    extra = n.bit_length() - 64
    if extra > 0:
        # keep a sticky bit so the 64-bit mantissa still rounds as the exact value would
        sticky = 1 if n & ((1 << extra) - 1) else 0
        n = (n >> extra) | sticky
        exp += extra
    try:
        return math.ldexp(float(n), exp)
    except OverflowError:
        return math.inf


def to_number(v):
    """A value as a number for arithmetic: numbers as they are, numeric strings converted."""
    if is_number(v):
        return v
    if type(v) is str:
        return str_to_number(v)
    return None


def to_integer(v):
    """A number as an integer when it has an exact integer value, else None."""
    if is_int(v):
        return v
    if type(v) is float:
        if v.is_integer() and -9.3e18 < v < 9.3e18:
            i = int(v)
            if INT_MIN <= i <= INT_MAX:
                return i
        return None
    if type(v) is str:
        return to_integer(str_to_number(v))
    return None


def tostr(v):
    """tostring(v) without metamethods."""
    if v is None:
        return "nil"
    if v is True:
        return "true"
    if v is False:
        return "false"
    if type(v) is str:
        return v
    if is_number(v):
        return fmt_number(v)
    if isinstance(v, Table):
        return "table: 0x%x" % id(v)
    if type(v) is Method:
        return "function: 0x%x" % id(v.fn)
    if type(v) is File:
        return "file (0x%x)" % id(v)
    return "function: 0x%x" % id(v)


def byte_len(s):
    if s.isascii():
        return len(s)
    return len(s.encode("utf-8", "surrogateescape"))


def to_bytes(s):
    return s.encode("utf-8", "surrogateescape")


def from_bytes(b):
    return b.decode("utf-8", "surrogateescape")


# A Lua string is a byte string. Here it is the str its bytes decode to as UTF-8, a byte that
# is no part of a UTF-8 character standing as its surrogate escape (U+DC80..U+DCFF). That
# form is kept canonical, so that equal bytes are equal strs (equal keys of tables): a string
# put together from pieces may rejoin the halves of a character and is decoded again.

def canonical(s):
    """s in the canonical form of its bytes."""
    if s.isascii():
        return s
    for c in s:
        if 0xDC80 <= ord(c) <= 0xDCFF:
            return from_bytes(to_bytes(s))
    return s


def join(a, b):
    """a .. b of two canonical strings."""
    if a and b and (0xDC80 <= ord(a[-1]) <= 0xDCFF or 0xDC80 <= ord(b[0]) <= 0xDCFF):
        return from_bytes(to_bytes(a) + to_bytes(b))
    return a + b


# Arithmetic -------------------------------------------------------------------------------------

NEG_NAN = -math.nan  # the NaN the processor makes for 0/0, printed as -nan


def float_div(a, b):
    if b == 0:
        if a == 0 or a != a:
            return NEG_NAN
        if (a > 0) == (math.copysign(1.0, b) > 0):
            return math.inf
        return -math.inf
    return a / b


def float_mod(a, b):
    if b == 0 or a in (math.inf, -math.inf) or a != a or b != b:
        return NEG_NAN
    if b in (math.inf, -math.inf):
        if a == 0 or (a > 0) == (b > 0):
            return a
        return b
    m = math.fmod(a, b)
    if m != 0 and (m < 0) != (b < 0):
        m += b
    return m


def float_pow(a, b):
    try:
        return math.pow(a, b)
    except OverflowError:
        if a < 0 and b == int(b) and int(b) % 2 == 1:
            return -math.inf
        return math.inf
    except ValueError:
        if a == 0:
            return math.inf
        return NEG_NAN


ARITH_NAMES = {"+": "add", "-": "sub", "*": "mul", "/": "div", "%": "mod", "^": "pow",
               "//": "idiv"}


def arith(op, a, b):
    """a op b for + - * / // % ^; LuaError when an operand is not a number."""
    x = to_number(a)
    y = to_number(b)
    if x is None or y is None:
        if type(a) is str or type(b) is str:
            # strings do arithmetic through their metatable, whose failure says this
            raise LuaError("attempt to %s a '%s' with a '%s'"
                           % (ARITH_NAMES[op], type_name(a), type_name(b)))
        raise LuaError("arith")
    if op == "+":
        if is_int(x) and is_int(y):
            return wrap(int(x) + int(y))
        return float(x) + float(y)
    if op == "-":
        if is_int(x) and is_int(y):
            return wrap(int(x) - int(y))
        return float(x) - float(y)
    if op == "*":
        if is_int(x) and is_int(y):
            return wrap(int(x) * int(y))
        return float(x) * float(y)
    if op == "/":
        return float_div(float(x), float(y))
    if op == "//":
        if is_int(x) and is_int(y):
            if y == 0:
                raise LuaError("attempt to divide by zero")
            return wrap(int(x) // int(y))
        q = float_div(float(x), float(y))
        if q != q or q in (math.inf, -math.inf):
            return q
        # math.floor gives an int, which would lose the sign of -0.0
        return math.copysign(float(math.floor(q)), q)
    if op == "%":
        if is_int(x) and is_int(y):
            if y == 0:
                raise LuaError("attempt to perform 'n%0'")
            return wrap(int(x) % int(y))
        return float_mod(float(x), float(y))
    return float_pow(float(x), float(y))


def bitwise(op, a, b):
    if not is_number(a) or not is_number(b):
        raise LuaError("bitwise")
    x = to_bitint(a)
    y = to_bitint(b)
    if op == "&":
        return wrap(x & y)
    if op == "|":
        return wrap(x | y)
    if op == "~":
        return wrap(x ^ y)
    if op == ">>":
        y = -y
    if y <= -64 or y >= 64:
        return 0
    if y >= 0:
        return wrap(x << y)
    return wrap((x & MASK64) >> -y)


def to_bitint(v):
    """An operand of a bitwise operation as an int: LuaError "bitwise" for a value that is
    no number (strings included: their metatable has no bitwise operations), "noint" for a
    float without an integer value."""
    if is_int(v):
        return int(v)
    if type(v) is not float:
        raise LuaError("bitwise")
    i = to_integer(v)
    if i is None:
        raise LuaError("noint")
    return int(i)


def negate(v):
    x = to_number(v)
    if x is None:
        if type(v) is str:
            raise LuaError("attempt to unm a 'string' with a 'string'")
        raise LuaError("arith")
    if is_int(x):
        return wrap(-int(x))
    return -x


# Comparison ----------------------------------------------------------------------------------

def raw_equal(a, b):
    if a is b and type(a) is not float:  # one NaN object is still unequal to itself
        return True
    if is_number(a):
        if not is_number(b):
            return False
        if type(a) is float or type(b) is float:
            # an int against a float: Python compares the two exactly
            return exact(a) == exact(b)
        return a == b
    if type(a) is str:
        return type(b) is str and a == b
    return False


def exact(v):
    """A number as a Python int or float (an I64 compared with a float becomes an int, for
    which Python's comparison is exact over the whole 64-bit range)."""
    if type(v) is float:
        return v
    return int(v)


def less(a, b, or_equal):
    if is_number(a) and is_number(b):
        if type(a) is float or type(b) is float:
            a = exact(a)
            b = exact(b)
        if or_equal:
            return a <= b
        return a < b
    if type(a) is str and type(b) is str:
        if not (a.isascii() and b.isascii()):
            a = to_bytes(a)  # Lua orders strings by their bytes
            b = to_bytes(b)
        if or_equal:
            return a <= b
        return a < b
    ta = type_label(a)
    tb = type_label(b)
    if ta == tb:
        raise LuaError("attempt to compare two %s values" % ta)
    raise LuaError("attempt to compare %s with %s" % (ta, tb))


def concat_piece(v):
    """A value as a piece of a concatenation, or None when it cannot be one."""
    if type(v) is str:
        return v
    if is_number(v):
        return fmt_number(v)
    return None
