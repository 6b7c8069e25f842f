import enum
import subprocess
import sys
import tempfile

import pytest

from zeltlite.api import zelt_utils
from zeltlite.api.zelt_utils import ZELTFileType

PY = sys.executable


def script(code):
    """An argument vector that runs `code` in a fresh interpreter."""
    return [PY, "-c", code]


class TestExecCommand:
    def test_string_command_splits_at_spaces(self):
        assert zelt_utils.exec_command("echo   hello    world") == (0, "hello world\n")

    def test_list_command_keeps_arguments_whole(self, tmp_path):
        argv = script("import sys; print(sys.argv[1:])") + ["a b", "c"]
        assert zelt_utils.exec_command(argv) == (0, "['a b', 'c']\n")

    @pytest.mark.parametrize(
        "code, expected",
        [
            ("import sys; print('out'); sys.stderr.write('err')", (0, "out\n")),
            ("import sys; print('out'); sys.stderr.write('err'); sys.exit(3)", (3, "err")),
        ],
    )
    def test_status_selects_the_stream(self, code, expected):
        assert zelt_utils.exec_command(script(code)) == expected

    def test_shell(self):
        assert zelt_utils.exec_command("echo a; echo b >&2; exit 4", True) == (4, "b\n")
        assert zelt_utils.exec_command("echo a | tr a z", use_shell=True) == (0, "z\n")

    @pytest.mark.parametrize("stream, status", [("stdout", 0), ("stderr", 5)])
    def test_gbk_output_is_decoded(self, stream, status):
        raw = "你好".encode("gbk")
        code = "import sys; sys.{}.buffer.write({!r}); sys.exit({})".format(stream, raw, status)
        assert zelt_utils.exec_command(script(code)) == (status, "你好")

    @pytest.mark.parametrize("stream, status", [("stdout", 0), ("stderr", 2)])
    def test_undecodable_output_raises_and_closes_the_file(self, monkeypatch, stream, status):
        opened = []
        real = tempfile.TemporaryFile

        def tracking():
            f = real()
            opened.append(f)
            return f

        monkeypatch.setattr(tempfile, "TemporaryFile", tracking)
        code = "import sys; sys.{}.buffer.write(b'\\xff\\xff\\xff'); sys.exit({})".format(stream, status)
        with pytest.raises(Exception) as info:
            zelt_utils.exec_command(script(code))
        assert type(info.value) is Exception
        assert str(info.value) == "Execute command decode returncode error"
        assert len(opened) == 1 and opened[0].closed

    def test_missing_program_propagates_and_closes_the_file(self, monkeypatch):
        opened = []
        real = tempfile.TemporaryFile
        monkeypatch.setattr(tempfile, "TemporaryFile", lambda: opened.append(real()) or opened[-1])
        with pytest.raises(FileNotFoundError):
            zelt_utils.exec_command("/nonexistent/program arg")
        assert opened[0].closed

    def test_subprocess_is_looked_up_at_call_time(self, monkeypatch):
        seen = []

        def fake_check_output(cmd, **kwargs):
            seen.append((cmd, sorted(kwargs)))
            return b"faked"

        monkeypatch.setattr(subprocess, "check_output", fake_check_output)
        assert zelt_utils.exec_command("a  b") == (0, "faked")
        assert zelt_utils.exec_command("a  b", True) == (0, "faked")
        assert seen == [(["a", "b"], ["stderr"]), ("a  b", ["shell", "stderr"])]


@pytest.mark.parametrize(
    "device_id, expected",
    [
        (None, ["prog", "forward", "--list"]),
        ("SER1", ["prog", "-s", "SER1", "forward", "--list"]),
        ("", ["prog", "-s", "forward", "--list"]),
    ],
)
def test_exec_adb_command_line(monkeypatch, device_id, expected):
    seen = []
    monkeypatch.setattr(zelt_utils, "exec_command", lambda line: seen.append(line) or (0, ""))
    assert zelt_utils.exec_adb_command("prog", device_id, "forward --list") == (0, "")
    assert [t for t in seen[0].split(" ") if t] == expected


def test_dump_files(tmp_path):
    path = str(tmp_path / "dump.txt")
    zelt_utils.dump_stdout_str("a", path)
    zelt_utils.dump_stdout_str("b\n", path)
    assert open(path).read() == "ab\n"
    zelt_utils.init_dump_file(path)
    assert open(path).read() == ""
    zelt_utils.init_dump_file(str(tmp_path / "new.txt"))
    assert (tmp_path / "new.txt").read_text() == ""
    with pytest.raises(OSError):
        zelt_utils.init_dump_file(str(tmp_path / "missing" / "x.txt"))


@pytest.mark.parametrize(
    "ver1, ver2, expected",
    [
        ("0.9.10", "0.9.7", 1),
        ("0.9.4", "0.9.7", -1),
        ("1.0.0", "0.99.99", 1),
        ("0.100.0", "1.0.0", 0),
        (" 1.+2.3 ", "1.2.3", 0),
    ],
)
def test_version_compare(ver1, ver2, expected):
    assert zelt_utils.version_compare(ver1, ver2) == expected


@pytest.mark.parametrize(
    "ver1, ver2, message",
    [
        ("1.2", "1.0.0", "not enough values to unpack"),
        ("1.2.3.4", "1.0.0", "too many values to unpack"),
        ("1.x.3", "1.0.0", "invalid literal for int()"),
        ("1.x.3", "1.0", "not enough values to unpack"),
    ],
)
def test_version_compare_errors(ver1, ver2, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        zelt_utils.version_compare(ver1, ver2)


def test_file_types():
    assert issubclass(ZELTFileType, enum.Enum)
    assert [(m.name, m.value) for m in ZELTFileType] == [
        ("model", 1),
        ("data", 2),
        ("quantize", 3),
        ("quantize_cfg", 4),
    ]
    extensions = [zelt_utils.fetch_zelt_file_extension(m) for m in ZELTFileType]
    assert extensions == [".json", ".data", ".quantize", ".quantization.cfg"]
    assert zelt_utils.fetch_zelt_file_extension(1) is None
    assert zelt_utils.fetch_zelt_file_extension("model") is None
