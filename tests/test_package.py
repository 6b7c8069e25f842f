"""The installed package: compiled modules, shared behaviour, logger and command line."""
import importlib
import importlib.machinery
import logging
import os
import subprocess
import sys

import pytest

from zeltlite.api.zelt_log import ZELTLog

MODULES = [
    "zeltlite.utils.yaml_io",
    "zeltlite.api.npu_config.npu_chipmap",
    "zeltlite.api.zelt_utils",
    "zeltlite.api.zelt_perf",
    "zeltlite.api.zelt_model",
    "zeltlite.api.zelt_platform_utils",
]


@pytest.mark.parametrize("name", MODULES)
def test_modules_are_compiled_extensions(name):
    module = importlib.import_module(name)
    assert module.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    assert "site-packages" in module.__file__ or "dist-packages" in module.__file__


@pytest.mark.parametrize(
    "call, message",
    [
        ("zelt_perf.get_readable_value(1, 2)", "get_readable_value() takes exactly 1 positional argument (2 given)"),
        ("zelt_perf.get_readable_value()", "get_readable_value() takes exactly 1 positional argument (0 given)"),
        ("zelt_perf.get_readable_value(x=1)", "get_readable_value() got an unexpected keyword argument 'x'"),
        ("zelt_perf.get_readable_value(1, value=1)", "get_readable_value() got multiple values for keyword argument 'value'"),
        ("zelt_utils.exec_command('true', False, 3)", "exec_command() takes at most 2 positional arguments (3 given)"),
        ("zelt_utils.exec_command()", "exec_command() takes at least 1 positional argument (0 given)"),
        ("ZELTModel().load()", "load() takes at least 2 positional arguments (1 given)"),
        ("ZELTModel.parse_data()", "parse_data() takes exactly 1 positional argument (0 given)"),
        ("npu_chipmap.get_npu_chipmap(1)", "get_npu_chipmap() takes exactly 0 positional arguments (1 given)"),
    ],
)
def test_argument_errors_use_the_interpreter_wording(call, message):
    from zeltlite.api import zelt_perf, zelt_utils  # noqa: F401
    from zeltlite.api.npu_config import npu_chipmap  # noqa: F401
    from zeltlite.api.zelt_model import ZELTModel  # noqa: F401

    with pytest.raises(TypeError) as info:
        eval(call)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "function, signature",
    [
        ("zelt_utils.exec_command", "(cmd, use_shell=False)"),
        ("zelt_utils.exec_adb_command", "(adb_path, device_id, cmd)"),
        ("yaml_io.dump", "(data, f, indent=2, comments=None)"),
        ("yaml_io._setup_yaml", "(indent=2)"),
        ("ZELTModel.load", "(self, path, load_model_in_npu=False)"),
        ("ZELTModel().load", "(path, load_model_in_npu=False)"),
        ("ZELTModel.parse_data", "(zelt_data)"),
        ("npu_chipmap.get_npu_chipmap", "()"),
    ],
)
def test_signatures_are_introspectable(function, signature):
    import inspect

    from zeltlite.api import zelt_utils  # noqa: F401
    from zeltlite.api.npu_config import npu_chipmap  # noqa: F401
    from zeltlite.api.zelt_model import ZELTModel  # noqa: F401
    from zeltlite.utils import yaml_io  # noqa: F401

    assert str(inspect.signature(eval(function))) == signature


def test_keyword_arguments():
    from zeltlite.api import zelt_perf

    assert zelt_perf.get_readable_value(value=2048) == ("KiB", "2.00")


class TestLogger:
    def test_e_raises_unless_told_not_to(self, caplog):
        with caplog.at_level(logging.ERROR, logger="zeltlite"):
            with pytest.raises(Exception) as info:
                ZELTLog.e("boom")
            assert type(info.value) is Exception and str(info.value) == "boom"
            assert ZELTLog.e("quiet", False) is None
        assert [r.getMessage() for r in caplog.records] == ["boom", "quiet"]

    @pytest.mark.parametrize(
        "op, level", [("zelt_e", logging.ERROR), ("w", logging.WARNING), ("i", logging.INFO), ("d", logging.DEBUG)]
    )
    def test_levels(self, caplog, op, level):
        with caplog.at_level(logging.DEBUG, logger="zeltlite"):
            assert getattr(ZELTLog, op)("msg") is None
        assert [(r.levelno, r.getMessage(), r.name) for r in caplog.records] == [(level, "msg", "zeltlite")]

    def test_d_takes_an_exception(self, caplog):
        with caplog.at_level(logging.DEBUG, logger="zeltlite"):
            ZELTLog.d(OSError("no libdl"))
        assert caplog.records[0].getMessage() == "no libdl"

    def test_p_prints_unchanged(self, capsys):
        ZELTLog.p("*" * 50 + "\n  two\n")
        assert capsys.readouterr().out == "*" * 50 + "\n  two\n\n"


def test_command_line_lists_targets(tmp_path):
    env = dict(os.environ, PYTHONPATH="")
    out = subprocess.run(
        [sys.executable, "-m", "zeltlite", "targets"], capture_output=True, text=True, cwd=str(tmp_path), env=env
    )
    assert out.returncode == 0, out.stderr
    assert "All Zeltpack supported target platforms:" in out.stdout
    assert "chip family 4: TX5100" in out.stdout


def test_command_line_reports_errors(tmp_path):
    out = subprocess.run(
        [sys.executable, "-m", "zeltlite", "targets", str(tmp_path / "missing.zelt")],
        capture_output=True,
        text=True,
        cwd=str(tmp_path),
    )
    assert out.returncode == 1 and "error:" in out.stderr and "Traceback" not in out.stderr
