# The Python part of pargo's face, run once in the module's namespace when it is imported:
# the small classes that are simpler in Python than in C++. The native code looks them up by
# name after this has run (ParseError, GrammarError, Diagnostic, Ast).


class ParseError(ValueError):
    """A text that the grammar does not accept. str() is "line L, col C: message"."""

    def __init__(self, *args, offset=None, line=None, column=None, message=None):
        super().__init__(*args)
        self.offset = offset
        self.line = line
        self.column = column
        self.message = message


class GrammarError(ValueError):
    """Grammar text that pargo.compile() cannot read: "line L, column C: what"."""


class Diagnostic:
    """One problem found in a text, with its byte span and 1-based line and byte column."""

    __slots__ = ("severity", "code", "message", "span", "line", "column")

    def __init__(self, severity, code, message, span, line, column):
        self.severity = severity
        self.code = code
        self.message = message
        self.span = tuple(span)
        self.line = line
        self.column = column

    @property
    def start(self):
        return self.span[0]

    @property
    def end(self):
        return self.span[1]

    def render(self, source, path=None):
        """The report: a heading, the source line and a caret line under the span."""
        head = f"{self.severity}[{self.code}]: {self.message}"
        where = f"{self.line}:{self.column}: "
        out = [(f"{path}:" if path is not None else "") + where + head]
        data = source.encode("utf-8", "surrogatepass") if isinstance(source, str) else bytes(source)
        lines = data.split(b"\n")
        if isinstance(self.line, int) and 1 <= self.line <= len(lines):
            line = lines[self.line - 1]
            if line.endswith(b"\r"):
                line = line[:-1]
            col = max(1, min(self.column, len(line) + 1)) - 1
            before = line[:col].decode("utf-8", "replace")
            line_start = sum(len(x) + 1 for x in lines[: self.line - 1])
            width = max(0, min(self.end, line_start + len(line)) - (line_start + col))
            under = line[col : col + width].decode("utf-8", "replace")
            pad = "".join("\t" if c == "\t" else " " for c in before)
            out.append(line.decode("utf-8", "replace"))
            out.append(pad + "^" + "~" * max(0, len(under) - 1))
        return "\n".join(out)

    def __eq__(self, other):
        if not isinstance(other, Diagnostic):
            return NotImplemented
        return all(getattr(self, k) == getattr(other, k) for k in self.__slots__)

    __hash__ = None

    def __repr__(self):
        return (f"Diagnostic({self.severity!r}, {self.code!r}, {self.message!r}, {self.span!r}, "
                f"{self.line!r}, {self.column!r})")


class Ast:
    """The value of a node whose rule has no value-making action: its kind name, span, and one
    attribute per label of the rule (listed in _fields)."""

    def __init__(self, kind, start, end, fields=None):
        self.kind = kind
        self.start = start
        self.end = end
        self._fields = tuple(fields) if fields else ()
        if fields:
            self.__dict__.update(fields)

    def __eq__(self, other):
        if not isinstance(other, Ast):
            return NotImplemented
        return (self.kind, self.start, self.end, self._fields) == (other.kind, other.start, other.end, other._fields) \
            and all(getattr(self, f) == getattr(other, f) for f in self._fields)

    __hash__ = None

    def __repr__(self):
        parts = ", ".join(f"{f}={getattr(self, f)!r}" for f in self._fields)
        return f"{self.kind}({parts})" if parts else f"{self.kind}()"
