import pargo
import nomos
import wuna
from support.version import PROJECT_VERSION


def test_versions():
    assert wuna.version() == PROJECT_VERSION
    assert pargo.version() == "0.6.0"
    assert nomos.version() >= "0.1.5"


def test_companions_are_single_extension_files():
    for mod in (pargo, nomos, wuna):
        assert mod.__file__.endswith(".so")
