"""The native back end from Python: taking pargo's LLVM capsule (with fake capsules made with
ctypes), the compiled-code cache on disk across processes, eviction and clear_cache(), and the
perf map. The back end is reached through _wuna_backend_test, a test-only module built with
the native tests; every scenario that loads the capsule runs in a fresh process, since the
capsule and the runtime's symbols are taken once per process."""
import hashlib
import importlib.util
import json
import os
import re
import subprocess
import sys
import textwrap
import time

import pytest

import wuna
from support.build import BUILD_DIR as BUILD

EXTENSIONS = sorted(BUILD.glob("_wuna_backend_test.*.so"))

pytestmark = pytest.mark.skipif(not EXTENSIONS, reason="the native tests are not built (WUNA_TESTS)")

PRELUDE = textwrap.dedent(
    """
    import ctypes, importlib.util, json, os, sys, types
    found = importlib.util.spec_from_file_location("_wuna_backend_test", {path!r})
    bt = importlib.util.module_from_spec(found)
    found.loader.exec_module(bt)

    NAME = b"pargo.llvm.v1"
    LOOKUP = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_char_p)
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    new_capsule = ctypes.pythonapi.PyCapsule_New
    new_capsule.restype = ctypes.py_object
    new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]

    class Record(ctypes.Structure):
        _fields_ = [("abi", ctypes.c_uint32), ("pad", ctypes.c_uint32), ("version", ctypes.c_char_p),
                    ("lookup", LOOKUP)] + [("word%d" % i, ctypes.c_void_p) for i in range(9)]

    import pargo as real_pargo
    REAL = get_pointer(real_pargo.llvm_capsule(), NAME)
    real_lookup = LOOKUP(ctypes.c_void_p.from_address(REAL + 16).value)
    kept = []
    asked = []

    def fake_pargo(abi=2, version=b"19.1.7", missing=(), name=NAME):
        record = Record()
        ctypes.memmove(ctypes.addressof(record), REAL, ctypes.sizeof(Record))
        record.abi = abi
        record.version = version
        def lookup(fn):
            asked.append(fn.decode())
            return None if fn.decode() in missing else real_lookup(fn)
        record.lookup = LOOKUP(lookup)
        capsule = new_capsule(ctypes.addressof(record), name, None)
        kept.extend([record, record.lookup, version, name])
        module = types.ModuleType("pargo")
        module.llvm_capsule = lambda: capsule
        return module

    def error_of(fn):
        try:
            fn()
        except BaseException as e:
            return {{"type": type(e).__name__, "text": str(e), "context": e.__context__ is not None}}
        return None

    def emit(value):
        print(json.dumps(value))
    """
)


def run(body, env=None):
    """Runs the body after the prelude in a fresh interpreter; the JSON it printed last."""
    code = PRELUDE.format(path=str(EXTENSIONS[0])) + textwrap.dedent(body)
    full_env = dict(os.environ)
    full_env.update(env or {})
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120, env=full_env)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


@pytest.fixture(scope="module")
def bt():
    found = importlib.util.spec_from_file_location("_wuna_backend_test", EXTENSIONS[0])
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


# ---- SHA-256 ---------------------------------------------------------------------------------


@pytest.mark.parametrize("length", [0, 1, 3, 55, 56, 57, 63, 64, 65, 119, 120, 128, 1000, 100003])
def test_sha256_is_hashlibs(bt, length):
    data = bytes((i * 131 + 7) % 256 for i in range(length))
    assert bt.sha256(data) == hashlib.sha256(data).digest()


# ---- llvmapi.load ----------------------------------------------------------------------------


def test_a_pargo_without_llvm_capsule_asks_for_a_newer_pargo():
    result = run(
        """
        sys.modules["pargo"] = types.ModuleType("pargo")
        without = error_of(bt.load)
        def broken():
            raise KeyError("inside")
        module = types.ModuleType("pargo")
        module.llvm_capsule = broken
        sys.modules["pargo"] = module
        emit([without, error_of(bt.load), bt.loaded()])
        """
    )
    text = "compiling needs pargo 0.3.6 or later (pargo.llvm_capsule())"
    expected = {"type": "ImportError", "text": text, "context": False}
    assert result == [expected, expected, None]


@pytest.mark.parametrize(
    "abi, version, message",
    [
        (3, b"19.1.7", "this pargo has LLVM 19.1.7 (ABI 3)"),
        (2, b"21.1.8", "this pargo has LLVM 21.1.8 (ABI 2)"),
        (2, b"19.1.70", "this pargo has LLVM 19.1.70 (ABI 2)"),
        (2, b"19", "this pargo has LLVM 19 (ABI 2)"),
        (4294967295, b"19.1.7", "this pargo has LLVM 19.1.7 (ABI 4294967295)"),
    ],
)
def test_another_abi_or_llvm_version_is_refused(abi, version, message):
    result = run(
        f"""
        sys.modules["pargo"] = fake_pargo(abi={abi}, version={version!r})
        emit([error_of(bt.load), asked, bt.loaded()])
        """
    )
    error, asked, loaded = result
    assert error == {
        "type": "ImportError",
        "text": "wuna uses pargo's LLVM 19.1.7 (capsule ABI 2); " + message,
        "context": False,
    }
    assert asked == [] and loaded is None


@pytest.mark.parametrize(
    "missing, named",
    [
        (["LLVMBuildSelect"], "LLVMBuildSelect"),
        (["LLVMContextCreate", "LLVMBuildSelect"], "LLVMContextCreate"),
        (["LLVMBuildExtractValue"], "LLVMBuildExtractValue"),
    ],
)
def test_a_missing_function_is_named_after_the_slots_before_it_are_filled(missing, named):
    result = run(
        f"""
        sys.modules["pargo"] = fake_pargo(missing={missing!r})
        error = error_of(bt.load)
        emit([error, asked, [bt.slot(i) is not None for i in range(89)], bt.loaded()])
        """
    )
    error, asked, filled, loaded = result
    assert error == {
        "type": "ImportError",
        "text": f"pargo's LLVM capsule has no {named}: wuna needs a newer pargo",
        "context": False,
    }
    # Looked up in slot order up to the missing one; the slots before it keep their values.
    assert asked[-1] == named
    assert asked[0] == "LLVMContextCreate"
    assert filled == [True] * (len(asked) - 1) + [False] * (89 - len(asked) + 1)
    assert loaded is None


def test_a_capsule_of_another_name_fails_with_the_capsule_apis_error():
    result = run(
        """
        sys.modules["pargo"] = fake_pargo(name=b"pargo.llvm.v0")
        emit([error_of(bt.load), bt.loaded()])
        """
    )
    assert result[0]["type"] == "ValueError" and result[1] is None


def test_after_a_failed_load_the_next_starts_again_and_a_loaded_capsule_is_kept():
    result = run(
        """
        sys.modules["pargo"] = fake_pargo(missing=("LLVMBuildSelect",))
        failed = error_of(bt.load)
        sys.modules["pargo"] = real_pargo
        first = bt.load()
        # Once loaded, pargo is not asked again.
        sys.modules["pargo"] = types.ModuleType("pargo")
        second = bt.load()
        emit([failed["type"], first == REAL, second == first, bt.slot(87) is not None])
        """
    )
    assert result == ["ImportError", True, True, True]


def test_a_refused_runtime_is_reported_and_registered_again_by_the_next_state():
    result = run(
        """
        # Another address under a helper's name first: the engine then refuses the batch.
        DEFINE = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.POINTER(ctypes.c_char_p), ctypes.POINTER(ctypes.c_uint64),
                                  ctypes.c_uint64, ctypes.c_char_p, ctypes.c_uint64)
        define = DEFINE(ctypes.c_void_p.from_address(REAL + 40).value)
        names = (ctypes.c_char_p * 1)(b"wn_unset")
        addresses = (ctypes.c_uint64 * 1)(4096)
        err = ctypes.create_string_buffer(512)
        assert define(names, addresses, 1, err, 512) == 0
        first = error_of(lambda: bt.compile_constant(bytes(32), 1, 0))
        second = error_of(lambda: bt.compile_constant(bytes(32), 1, 0))
        emit([first, second])
        """
    )
    for error in result:
        assert error["type"] == "RuntimeError"
        assert error["text"].startswith("wuna: the JIT refused the runtime: ")
        assert "wn_unset" in error["text"]


def test_cache_keys_and_identity_are_the_digests_of_their_parts():
    result = run(
        """
        bt.load()
        cpu_name = ctypes.CFUNCTYPE(ctypes.c_void_p)(bt.slot(9))()
        features = ctypes.CFUNCTYPE(ctypes.c_void_p)(bt.slot(10))()
        texts = [ctypes.string_at(cpu_name).decode(), ctypes.string_at(features).decode()]
        dispose = ctypes.CFUNCTYPE(None, ctypes.c_void_p)(bt.slot(11))
        dispose(cpu_name)
        dispose(features)
        emit([bt.cache_identity().hex(), texts, bt.cache_key(b"ir text", 0).hex(),
              bt.cache_key(b"ir text", 2).hex(), bt.cache_key(b"ir text", 0, b"x86_64-linux").hex()])
        """
    )
    identity, (cpu, features), key0, key2, target = result
    identity = bytes.fromhex(identity)
    assert identity == hashlib.sha256(b"wuna-cache-119.1.7" + cpu.encode() + features.encode()).digest()
    assert bytes.fromhex(key0) == hashlib.sha256(identity + (0).to_bytes(4, "little") + b"ir text").digest()
    assert bytes.fromhex(key2) == hashlib.sha256(identity + (2).to_bytes(4, "little") + b"ir text").digest()
    assert bytes.fromhex(target) == hashlib.sha256(
        identity + (0).to_bytes(4, "little") + b"target x86_64-linux\nir text"
    ).digest()


# ---- the disk cache across processes -----------------------------------------------------------

KEY = bytes(range(32))

COMPILE = """
    bt.configure(cache={cache!r})
    result = bt.compile_constant({key!r}, {value}, {level})
    result["keys"] = [k.hex() for k in result["keys"]]
    result["directory"] = bt.cache_directory()
    emit(result)
"""


def compile_in_process(cache, level=0, value=42, key=KEY, env=None):
    return run(COMPILE.format(cache=cache, key=key, value=value, level=level), env=env)


@pytest.mark.parametrize("level", [0, 2])
def test_a_second_process_loads_the_cached_code_and_compiles_nothing(tmp_path, level):
    first = compile_in_process(str(tmp_path), level)
    assert (first["value"], first["compiles"], first["loads"], first["kept"]) == (42, 1, 0, 0)
    assert first["prefix"] == "wn000102030405" + ("f" if level == 0 else "")
    [key] = first["keys"]
    assert sorted(os.listdir(tmp_path)) == [key + ".o"]
    assert (tmp_path / (key + ".o")).read_bytes()[:4] == b"\x7fELF"
    old = time.time() - 1000
    os.utime(tmp_path / (key + ".o"), (old, old))

    second = compile_in_process(str(tmp_path), level)
    assert (second["value"], second["compiles"], second["loads"], second["kept"]) == (42, 0, 1, 0)
    assert second["keys"] == [key]
    assert os.stat(tmp_path / (key + ".o")).st_mtime > old + 500, "a hit marks the file used"


def test_levels_have_their_own_keys(tmp_path):
    fast = compile_in_process(str(tmp_path), 0, key=bytes(32))
    optimized = compile_in_process(str(tmp_path), 2, key=bytes(32))
    assert optimized["compiles"] == 1 and optimized["keys"] != fast["keys"]
    assert len(os.listdir(tmp_path)) == 2


def test_without_a_cache_the_code_is_kept_in_memory(tmp_path):
    compile_in_process(str(tmp_path))
    off = compile_in_process(False)
    assert off["directory"] is None
    assert (off["value"], off["compiles"], off["loads"], off["kept"]) == (42, 0, 0, 1)


def test_cache_true_computes_the_default_place_again(tmp_path):
    result = run(
        """
        bt.configure(cache=False)
        off = bt.cache_directory()
        bt.configure(cache=True)
        emit([off, bt.cache_directory()])
        """,
        env={"XDG_CACHE_HOME": str(tmp_path / "xdg"), "HOME": str(tmp_path / "home")},
    )
    assert result == [None, str(tmp_path / "xdg" / "wuna")]
    assert (tmp_path / "xdg" / "wuna").is_dir()


@pytest.mark.parametrize("xdg", ["relative/cache", ""])
def test_an_xdg_cache_home_not_absolute_gives_way_to_home(tmp_path, xdg):
    result = run(
        "emit(bt.cache_directory())",
        env={"XDG_CACHE_HOME": xdg, "HOME": str(tmp_path)},
    )
    assert result == str(tmp_path / ".cache" / "wuna")


def test_the_default_place_follows_xdg_cache_home(tmp_path):
    first = compile_in_process(True, env={"XDG_CACHE_HOME": str(tmp_path)})
    assert first["directory"] == str(tmp_path / "wuna")
    assert os.listdir(tmp_path / "wuna") == [first["keys"][0] + ".o"]


# ---- eviction and clear_cache ------------------------------------------------------------------


def make_file(directory, name, size, age):
    path = directory / name
    path.write_bytes(b"x" * size)
    then = time.time() - age
    os.utime(path, (then, then))
    return path


def test_eviction_deletes_the_oldest_down_to_80_percent(tmp_path, bt):
    for name, age in [("a.o", 300), ("b.o", 200), ("c.o", 100)]:
        make_file(tmp_path, name, 500, age)
    make_file(tmp_path, "notes.txt", 5000, 1000)
    bt.configure(cache=str(tmp_path))
    bt.evict(2000)
    assert sorted(os.listdir(tmp_path)) == ["a.o", "b.o", "c.o", "notes.txt"], "within the limit"
    bt.evict(1000)
    assert sorted(os.listdir(tmp_path)) == ["c.o", "notes.txt"]


def test_cache_writes_evict_after_the_first_and_after_a_tenth_of_the_limit(tmp_path):
    def files():
        return sorted(os.listdir(tmp_path))

    result = run(
        f"""
        import time
        from pathlib import Path
        d = Path({str(tmp_path)!r})
        def make(name, age):
            (d / name).write_bytes(b"x" * 500)
            t = time.time() - age
            os.utime(d / name, (t, t))
        for name, age in [("a.o", 300), ("b.o", 200), ("c.o", 100)]:
            make(name, age)
        bt.configure(cache=str(d), cache_size=1000)
        seen = []
        bt.note_cache_write(10)          # the first write of the process checks at once
        seen.append(sorted(os.listdir(d)))
        for name, age in [("d.o", 50), ("e.o", 40)]:
            make(name, age)
        bt.note_cache_write(99)          # 99 bytes since the check: under a tenth
        seen.append(sorted(os.listdir(d)))
        bt.note_cache_write(1)           # 100: a tenth of the limit
        seen.append(sorted(os.listdir(d)))
        emit(seen)
        """
    )
    assert result == [["c.o"], ["c.o", "d.o", "e.o"], ["e.o"]]


def test_without_a_size_limit_writes_evict_nothing(tmp_path):
    result = run(
        f"""
        from pathlib import Path
        d = Path({str(tmp_path)!r})
        for name in ["a.o", "b.o"]:
            (d / name).write_bytes(b"x" * 500)
        bt.configure(cache=str(d), cache_size=0)
        bt.note_cache_write(10)
        emit(sorted(os.listdir(d)))
        """
    )
    assert result == ["a.o", "b.o"]


@pytest.fixture
def wuna_cache(tmp_path):
    wuna.configure(cache=str(tmp_path))
    yield tmp_path
    wuna.configure(cache=True)


def test_clear_cache_deletes_every_object_file_and_old_temporaries(wuna_cache):
    d = wuna_cache
    for name in ["a.o", "b.o", "empty.o"]:
        make_file(d, name, 0 if name == "empty.o" else 100, 10)
    make_file(d, "old.o.1.2.3.tmp", 100, 3610)
    make_file(d, "fresh.o.1.2.3.tmp", 100, 3590)
    make_file(d, "keep.txt", 100, 10000)
    (d / "dir.o").mkdir()
    wuna.clear_cache()
    assert sorted(os.listdir(d)) == ["dir.o", "fresh.o.1.2.3.tmp", "keep.txt"]


def test_clear_cache_removes_old_temporaries_also_when_no_object_file_is_there(wuna_cache):
    make_file(wuna_cache, "stale.o.1.2.3.tmp", 10, 4000)
    make_file(wuna_cache, "young.o.1.2.3.tmp", 10, 100)
    wuna.clear_cache()
    assert sorted(os.listdir(wuna_cache)) == ["young.o.1.2.3.tmp"]


def test_clear_cache_without_a_cache_does_nothing(tmp_path):
    make_file(tmp_path, "a.o", 10, 10)
    wuna.configure(cache=False)
    try:
        assert wuna.clear_cache() is None
    finally:
        wuna.configure(cache=True)
    assert os.listdir(tmp_path) == ["a.o"]


# ---- the perf map ----------------------------------------------------------------------------

PERF = """
    path = bt.perf_map_path()
    if os.path.lexists(path):
        os.remove(path)
    bt.configure(cache=False, perf_map={on})
    first = bt.compile_constant(bytes([1] * 32), 1, 0)
    second = bt.compile_constant(bytes([2] * 32), 2, 2)
    text = open(path).read() if os.path.exists(path) else None
    if os.path.lexists(path):
        os.remove(path)
    emit([path, os.getpid(), first["prefix"], second["prefix"], text])
"""


def test_the_perf_map_names_every_loaded_symbol_in_address_order():
    path, pid, first, second, text = run(PERF.format(on=True))
    assert path == f"/tmp/perf-{pid}.map"
    lines = text.splitlines()
    parsed = []
    for line in lines:
        m = re.fullmatch(r"([0-9a-f]+) ([0-9a-f]+) (\S+)", line)
        assert m, line
        parsed.append((int(m[1], 16), int(m[2], 16), m[3]))
    assert sorted(label for _, _, label in parsed) == sorted(
        [first + "_main", first + "_value", second + "_main", second + "_value"]
    )
    addresses = [a for a, _, _ in parsed]
    assert addresses == sorted(addresses)
    for (a, size, _), (b, _, _) in zip(parsed, parsed[1:]):
        assert size == min(b - a, 0x100000)
    assert parsed[-1][1] == 0x1000


def test_without_perf_map_no_file_is_written():
    assert run(PERF.format(on=False))[-1] is None


def test_the_perf_map_replaces_a_planted_link_instead_of_writing_through_it(tmp_path):
    victim = tmp_path / "victim"
    victim.write_text("precious\n")
    result = run(
        f"""
        path = bt.perf_map_path()
        os.symlink({str(victim)!r}, path)
        bt.configure(cache=False, perf_map=True)
        info = bt.compile_constant(bytes([3] * 32), 3, 0)
        link = os.path.islink(path)
        text = open(path).read()
        os.remove(path)
        emit([link, info["prefix"] + "_main" in text])
        """
    )
    assert result == [False, True]
    assert victim.read_text() == "precious\n"
