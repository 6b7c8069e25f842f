from collections import OrderedDict

import pytest
from hypothesis import given
from hypothesis import strategies as st

from zeltlite.api import zelt_perf


@pytest.mark.parametrize(
    "value, expected",
    [
        (0, ("Byte", "0")),
        (0.5, ("Byte", "0.5")),
        (1023, ("Byte", "1023")),
        (1024, ("KiB", "1.00")),
        (1536, ("KiB", "1.50")),
        (2048, ("KiB", "2.00")),
        (1048575, ("KiB", "1024.00")),
        (1048576, ("MiB", "1.00")),
        (2 * 1024**3, ("MiB", "2048.00")),
        (10**30, ("MiB", "%.2f" % (10**30 / 1048576))),
    ],
)
def test_readable_value(value, expected):
    assert zelt_perf.get_readable_value(value) == expected


def detail(sys_max, sys_total, npu_max, npu_total):
    def pair(a, b):
        return OrderedDict([("maximum_allocation", a), ("total_allocation", b)])

    return OrderedDict(
        [
            ("system_memory", pair(sys_max, sys_total)),
            ("npu_memory", pair(npu_max, npu_total)),
            ("total_memory", pair(sys_max + npu_max, sys_total + npu_total)),
        ]
    )


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", detail(0, 0, 0, 0)),
        ("maximum allocation : 2048\ntotal allocation : 4096", detail(2048, 4096, 0, 0)),
        (
            "sys maximum allocation: 1\nmaximum allocation: 2\nmaximum allocation: 3\n"
            "total allocation: 10\nnoise: 99\ntotal allocation: 20",
            detail(1, 10, 3, 20),
        ),
        ("both maximum allocation total allocation: 7", detail(7, 7, 0, 0)),
        ("Maximum Allocation: 5\nmaximum  allocation: 6", detail(0, 0, 0, 0)),
        ("maximum allocation : 12 : 99\r\nmaximum allocation:%d" % (2**70), detail(12, 0, 2**70, 0)),
    ],
)
def test_collect(text, expected):
    result = zelt_perf.collect_memory_detail(text)
    assert result == expected
    assert type(result) is OrderedDict and all(type(v) is OrderedDict for v in result.values())
    assert [list(v) for v in result.values()] == [["maximum_allocation", "total_allocation"]] * 3


@pytest.mark.parametrize(
    "text, error",
    [("maximum allocation 12", IndexError), ("total allocation: 12 KiB", ValueError), ("maximum allocation:", ValueError)],
)
def test_collect_errors(text, error):
    with pytest.raises(error):
        zelt_perf.collect_memory_detail(text)


@given(st.text())
def test_collect_only_documented_errors(text):
    try:
        zelt_perf.collect_memory_detail(text)
    except (ValueError, IndexError):
        pass


def test_report_layout():
    report = zelt_perf.format_memory_detail(b"x" * (3 * 1048576), detail(2048, 1023, 1048576, 0))
    lines = report.split("\n")
    assert report.endswith("\n") and len(lines) == 18
    assert lines[0] == lines[2] == lines[16] == "=" * 54
    assert lines[1] == " " * 12 + "Memory Profile Info Dump" + " " * 18
    assert lines[3:9] == [
        "System memory:",
        "    maximum allocation : 2.00 KiB",
        "    total allocation   : 1023 Byte",
        "NPU memory:",
        "    maximum allocation : 1.00 MiB",
        "    total allocation   : 0 Byte",
    ]
    assert lines[9] == lines[13] == ""
    assert lines[10:13] == ["Total memory:", "    maximum allocation : 1.00 MiB", "    total allocation   : 1023 Byte"]
    assert lines[14] == "INFO: When evaluating memory usage, we need consider  "
    assert lines[15] == "the size of model, current model size is: 3.00 MiB       "


def test_report_uses_the_module_level_converter(monkeypatch):
    monkeypatch.setattr(zelt_perf, "get_readable_value", lambda v: ("U", "n"))
    assert zelt_perf.format_memory_detail([], detail(0, 0, 0, 0)).count("n U") == 7


@pytest.mark.parametrize(
    "zelt_data, d, error",
    [(b"", OrderedDict(), KeyError), (5, detail(0, 0, 0, 0), TypeError)],
)
def test_report_errors(zelt_data, d, error):
    with pytest.raises(error):
        zelt_perf.format_memory_detail(zelt_data, d)


@pytest.mark.parametrize("text", ["\udc80", "\ud800x", "ascii"])
def test_report_keeps_any_number_text(monkeypatch, text):
    # A str() need not be valid UTF-8 (lone surrogates): the report still holds it unchanged.
    monkeypatch.setattr(zelt_perf, "get_readable_value", lambda v: ("U", text))
    report = zelt_perf.format_memory_detail(b"", detail(0, 0, 0, 0))
    assert report.count(text + " U") == 7
