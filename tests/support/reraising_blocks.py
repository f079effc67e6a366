"""Block semantics whose broad handler sees what leaves the block's statements (a failure, an
rt jump, a pending tail call) and notes it, then raises it again or swallows it: the shapes of
that try the compiled-code tests hold against the reference mode. Each variant is a literal
function, since the compiler reads its source; note is the language's host function the
handler reports to, called as note(what) or note(what, type name).

Variants:
- "reraise": notes ("passing", its type) and raises it again with a bare raise;
- "raise_name": the same, raising the caught object by name;
- "raise_alias": the same, raising it through another name it was given;
- "raise_other": notes ("passing", its type) and raises a new RuntimeError by name instead;
- "finally": an inner handler notes "passing" and raises again, an outer finally notes
  "finally";
- "raise_in_finally_try": the handler raises again inside a try whose finally notes "cleanup";
- "outer_catches": an inner handler notes "passing" and raises again, an outer handler of the
  same semantic swallows a Continue and notes "continue swallowed";
- "swallow": the handler notes "swallowed" and drops what it caught.
"""

VARIANTS = ("reraise", "raise_name", "raise_alias", "raise_other", "finally",
            "raise_in_finally_try", "outer_catches", "swallow")


def register_block(lang, variant, note):
    """Registers the variant's semantic as lang's exec semantic of Block (named block)."""
    if variant == "reraise":
        @lang.exec("Block")
        def block(node, rt):
            try:
                for s in node.stmts:
                    rt.exec(s)
            except BaseException as e:
                note("passing", type(e).__name__)
                raise
    elif variant == "raise_name":
        @lang.exec("Block")
        def block(node, rt):
            try:
                for s in node.stmts:
                    rt.exec(s)
            except BaseException as e:
                note("passing", type(e).__name__)
                raise e
    elif variant == "raise_alias":
        @lang.exec("Block")
        def block(node, rt):
            try:
                for s in node.stmts:
                    rt.exec(s)
            except BaseException as e:
                note("passing", type(e).__name__)
                caught = e
                raise caught
    elif variant == "raise_other":
        @lang.exec("Block")
        def block(node, rt):
            try:
                for s in node.stmts:
                    rt.exec(s)
            except BaseException as e:
                note("passing", type(e).__name__)
                other = RuntimeError("replaced " + type(e).__name__)
                raise other
    elif variant == "finally":
        @lang.exec("Block")
        def block(node, rt):
            try:
                try:
                    for s in node.stmts:
                        rt.exec(s)
                except BaseException:
                    note("passing")
                    raise
            finally:
                note("finally")
    elif variant == "raise_in_finally_try":
        @lang.exec("Block")
        def block(node, rt):
            try:
                for s in node.stmts:
                    rt.exec(s)
            except BaseException:
                try:
                    raise
                finally:
                    note("cleanup")
    elif variant == "outer_catches":
        @lang.exec("Block")
        def block(node, rt):
            try:
                try:
                    for s in node.stmts:
                        rt.exec(s)
                except BaseException:
                    note("passing")
                    raise
            except rt.Continue:
                note("continue swallowed")
    elif variant == "swallow":
        @lang.exec("Block")
        def block(node, rt):
            try:
                for s in node.stmts:
                    rt.exec(s)
            except BaseException:
                note("swallowed")
    else:
        raise ValueError(f"no Block variant {variant!r}")
