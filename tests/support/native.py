"""Native values for the tests of what Python sees of them, made through the test-only entry
of the introspection record until compiled code makes them.

`held(obj)` converts obj into a native value (a list or dict copied natively, an instance of a
record class made a record) that stays held while the `with` block runs; `show()` gives what
Python sees of it (a wuna.List, wuna.Dict or wuna.Record proxy), each call converting it again.
`frozen=True` makes the value immortal, as constants of compiled code and values shared with
threads are. `proxy(obj)` gives a proxy that alone keeps its native value.
"""
import contextlib

import wuna  # noqa: F401 - its start-up makes the proxy types
from support import abi

_record = None


def _entry():
    global _record
    if _record is None:
        _record = abi.introspection()
    return _record


class Held:
    def __init__(self, slot):
        self.slot = slot

    def show(self):
        out = []
        _entry().testShow(self.slot, out)
        return out[0]


@contextlib.contextmanager
def held(obj, frozen=False):
    slot = _entry().testHold(obj, 1 if frozen else 0)
    try:
        yield Held(slot)
    finally:
        _entry().testDrop(slot)


def proxy(obj):
    """The proxy of a native copy of obj whose native reference is gone: the proxy owns it."""
    with held(obj) as value:
        return value.show()


