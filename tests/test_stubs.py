"""The installed type stubs agree with the installed modules (mypy's stubtest)."""
import os
import subprocess
import sys

import pytest

pytest.importorskip("mypy.stubtest")

import zeltlite  # noqa: E402

MODULES = [
    "zeltlite.utils.yaml_io",
    "zeltlite.api.npu_config.npu_chipmap",
    "zeltlite.api.zelt_utils",
    "zeltlite.api.zelt_perf",
    "zeltlite.api.zelt_model",
    "zeltlite.api.zelt_platform_utils",
    "zeltlite.api.zelt_runtime",
    "zeltlite.api.zelt_lite",
]


def test_stubs_and_marker_are_installed():
    root = os.path.dirname(zeltlite.__file__)
    assert os.path.isfile(os.path.join(root, "py.typed"))
    for name in MODULES:
        stub = os.path.join(root, *name.split(".")[1:]) + ".pyi"
        assert os.path.isfile(stub), stub


def test_stubtest_passes(tmp_path):
    # Run outside the source tree so that the installed package (and its stubs) is what gets checked.
    env = dict(os.environ, MYPY_CACHE_DIR=str(tmp_path / "cache"), PYTHONPATH="")
    out = subprocess.run([sys.executable, "-m", "mypy.stubtest", *MODULES], capture_output=True, text=True,
                         cwd=str(tmp_path), env=env, timeout=600)
    assert out.returncode == 0, out.stdout + out.stderr
