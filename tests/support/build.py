"""The build tree that made the installed wuna: $WUNA_BUILD_DIR when set (the sanitizer run
builds elsewhere), else build/py of this checkout."""
import os
import pathlib

BUILD_DIR = pathlib.Path(os.environ.get("WUNA_BUILD_DIR")
                         or pathlib.Path(__file__).resolve().parents[2] / "build" / "py")
