"""The top level keeps up to 32 globals that no function references in stack slots: compiled
runs read and write them with the reference mode's results, and a semantic run as Python (or
a function) that reads variables through frames sees their current values."""
import pytest

import wuna
from support.small_language import make_language

MANY = "".join(f"v{i} = {i};\n" for i in range(40))


@pytest.mark.parametrize(
    "source",
    [
        "x = 1;\nprint x;\nx = x + 1;\nprint x;\ny = x + x;\nprint y;\n",
        # g is read by a function: it stays in the frame, x does not.
        "def f(a) { return a + g; }\ng = 5;\nx = 2;\nprint f(x);\nx = f(x);\nprint x;\n",
        # Beyond the first 32 globals, the rest stay in the frame.
        MANY + "print v0 + v39;\nv39 = v39 + v31;\nv0 = v32 + 1;\nprint v39;\nprint v0;\n",
        "x = 1;\ntry { x = x + 1; throw 5; } catch { print x; }\nprint x;\n",
        # Unset until assigned: the reference mode's failure.
        "print z;\nz = 1;\n",
    ],
    ids=["reassigned", "read-by-a-function", "forty-globals", "try", "unset"],
)
@pytest.mark.parametrize("python_print", [False, True], ids=["compiled-print", "python-print"])
def test_top_level_globals_give_the_reference_modes_results(source, python_print):
    results = []
    for mode in ("python", "compiled"):
        out = []
        program = make_language(printed=out, python_print=python_print).load(source)
        try:
            program.run(mode)
            error = None
        except wuna.Error as e:
            error = str(e)
        results.append((out, error))
    assert results[0] == results[1]
