"""wuna.configure (checked as a whole before anything is applied), clear_cache (what it deletes
in the cache directory, and that it is harmless without one) and the comptime mark."""
import os
import time

import pytest

import wuna


@pytest.fixture(autouse=True)
def default_settings():
    yield
    wuna.configure(cache=True, cache_size=1 << 30, perf_map=False, tiers=True)


def fill(directory, names, age=0):
    """Creates the files, aged by age seconds; returns their paths."""
    paths = []
    for name in names:
        path = directory / name
        path.write_bytes(b"x" * 10)
        if age:
            then = time.time() - age
            os.utime(path, (then, then))
        paths.append(path)
    return paths


def left(directory):
    return sorted(p.name for p in directory.iterdir())


# ---- configure --------------------------------------------------------------------------

@pytest.mark.parametrize("args, kwargs, error, message", [
    ((None, None, None, None, None), {}, TypeError,
     "takes at most 4 positional arguments (5 given)"),
    ((None,), {"cache": True}, TypeError, "got multiple values for argument 'cache'"),
    ((None, None, None, None), {"tiers": True}, TypeError,
     "got multiple values for argument 'tiers'"),
    ((), {"size": 1}, TypeError, "got an unexpected keyword argument 'size'"),
    ((), {"cache_size": -5}, ValueError, "cache_size must be 0 (no limit) or more bytes, not -5"),
    ((), {"cache_size": -2**63}, ValueError,
     "cache_size must be 0 (no limit) or more bytes, not -9223372036854775808"),
    ((), {"cache_size": 1.5}, TypeError, "cache_size must be an int (bytes; 0: no limit)"),
    ((), {"cache_size": "10"}, TypeError, "cache_size must be an int (bytes; 0: no limit)"),
    ((), {"cache_size": 2**63}, TypeError, "cache_size must be an int (bytes; 0: no limit)"),
    ((), {"cache": 1}, TypeError, "cache must be True, False or a directory (str)"),
    ((), {"cache": b"/tmp"}, TypeError, "cache must be True, False or a directory (str)"),
    ((), {"cache": "/tmp/a\x00b"}, ValueError,
     "cache: embedded null character in the directory"),
    ((), {"cache_size": 10, "cache": 3}, TypeError,
     "cache must be True, False or a directory (str)"),
])
def test_configure_argument_errors(args, kwargs, error, message):
    with pytest.raises(error) as caught:
        wuna.configure(*args, **kwargs)
    assert str(caught.value) == message


class Untruthful:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    ((None, None, None, None), {}),
    ((), {"cache_size": 0}),              # no limit
    ((), {"cache_size": True}),           # an int
    ((), {"tiers": 0, "perf_map": "yes"}),
    ((False, 10, [], [1]), {}),
])
def test_configure_accepts(args, kwargs):
    assert wuna.configure(*args, **kwargs) is None


@pytest.mark.parametrize("kwargs, error", [
    ({"perf_map": Untruthful()}, ZeroDivisionError),
    ({"tiers": Untruthful()}, ZeroDivisionError),
    ({"cache_size": -1}, ValueError),
    ({"cache_size": 1.0}, TypeError),
])
def test_a_bad_setting_leaves_every_setting_as_it_was(tmp_path, kwargs, error):
    before, after = tmp_path / "before", tmp_path / "after"
    before.mkdir()
    wuna.configure(cache=str(before))
    with pytest.raises(error):
        wuna.configure(cache=str(after), **kwargs)
    (stale,) = fill(before, ["a.o"])
    wuna.clear_cache()
    assert not stale.exists()             # the cache is still where it was
    assert not after.exists()             # and the new place was never used


# ---- clear_cache ------------------------------------------------------------------------

def test_clear_cache_deletes_compiled_files_and_stale_temporary_ones(tmp_path):
    wuna.configure(cache=str(tmp_path))
    fill(tmp_path, ["a.o", "b.o", "c.o"])
    (tmp_path / "empty.o").touch()
    fill(tmp_path, ["old.o"], age=10 * 86400)
    fill(tmp_path, ["key.o.123.tmp"])                 # a write going on now
    fill(tmp_path, ["key.o.99.tmp"], age=2 * 3600)    # one left by a write that died
    fill(tmp_path, ["key.o.7.tmp"], age=-2 * 3600)    # dated after now: a clock set back
    fill(tmp_path, ["notes.txt", "o", "x.obj"])
    (tmp_path / "dir.o").mkdir()                      # only regular files are cache files
    assert wuna.clear_cache() is None
    assert left(tmp_path) == ["dir.o", "key.o.123.tmp", "key.o.7.tmp", "notes.txt", "o",
                              "x.obj"]


def test_clear_cache_is_harmless_without_files_or_a_cache(tmp_path):
    wuna.configure(cache=str(tmp_path / "new" / "cache"))
    assert wuna.clear_cache() is None                 # the directory is made, empty
    assert left(tmp_path / "new" / "cache") == []
    fill(tmp_path, ["kept.o"])
    wuna.configure(cache=False)
    assert wuna.clear_cache() is None
    assert left(tmp_path) == ["kept.o", "new"]


def test_the_default_place_is_computed_again_after_configure(tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "xdg"))
    wuna.configure(cache=True)
    wuna.clear_cache()
    place = tmp_path / "xdg" / "wuna"
    fill(place, ["a.o"])
    wuna.clear_cache()
    assert left(place) == []
    # a relative XDG_CACHE_HOME is not used: the home directory's .cache is
    monkeypatch.setenv("XDG_CACHE_HOME", "relative")
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    wuna.configure(cache=True)
    wuna.clear_cache()
    assert left(tmp_path / "home" / ".cache") == ["wuna"]


def test_the_cache_directory_is_kept_until_configure_sets_it(tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "first"))
    wuna.configure(cache=True)
    wuna.clear_cache()
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "second"))
    wuna.configure(tiers=False)                       # not the cache: the place stays
    wuna.clear_cache()
    assert not (tmp_path / "second").exists()


# ---- comptime ---------------------------------------------------------------------------

def test_comptime_marks_and_returns_its_function():
    def square(x):
        return x * x

    assert wuna.comptime(square) is square
    assert square.__wuna_comptime__ is True
    marked = wuna.comptime(lambda: 1)
    assert marked.__wuna_comptime__ is True


@pytest.mark.parametrize("value, message", [
    (3, "wuna.comptime takes a function"),
    (len, "wuna.comptime takes a function it can mark (a def or a lambda, not a builtin)"),
    (int, "wuna.comptime takes a function it can mark (a def or a lambda, not a builtin)"),
])
def test_comptime_errors(value, message):
    with pytest.raises(TypeError) as caught:
        wuna.comptime(value)
    assert str(caught.value) == message
