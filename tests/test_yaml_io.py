import collections
import io

import pytest
import ruamel.yaml

from zeltlite.utils import yaml_io


def dumped(data, **kwargs):
    f = io.StringIO()
    yaml_io.dump(data, f, **kwargs)
    return f.getvalue()


def test_exports():
    assert yaml_io.__all__ == ["dump", "load"]
    assert yaml_io.ruamel.yaml is ruamel.yaml and yaml_io.collections is collections


def test_load_keeps_order_and_makes_plain_lists():
    doc = yaml_io.load(io.StringIO("b: [1, [2, 3]]  # note\na:\n  c:\n  - x\n  - {d: [4]}\n"))
    assert isinstance(doc, ruamel.yaml.comments.CommentedMap)
    assert list(doc) == ["b", "a"]
    assert doc == {"b": [1, [2, 3]], "a": {"c": ["x", {"d": [4]}]}}
    for seq in (doc["b"], doc["b"][1], doc["a"]["c"], doc["a"]["c"][1]["d"]):
        assert type(seq) is list


def test_top_level_sequence_loads_as_list():
    assert type(yaml_io.load(io.StringIO("- 1\n- 2\n"))) is list


def test_ordered_dict_is_a_plain_mapping():
    text = dumped(collections.OrderedDict([("z", 1), ("a", {"q": [1, 2]})]))
    assert "!!omap" not in text and "OrderedDict" not in text
    assert text == "%YAML 1.2\n---\nz: 1\na:\n  q:\n  - 1\n  - 2\n"


def test_indent():
    assert dumped({"a": {"b": 1}}, indent=4) == "%YAML 1.2\n---\na:\n    b: 1\n"
    assert dumped({"a": {"b": 1}}) == "%YAML 1.2\n---\na:\n  b: 1\n"


@pytest.mark.parametrize("comments", [None, "", 5, b"bytes"])
def test_no_start_comment(comments):
    assert dumped({"a": 1}, comments=comments) == "%YAML 1.2\n---\na: 1\n"


@pytest.mark.parametrize(
    "data, body",
    [({"a": 1}, "a: 1\n"), ([1, 2], "- 1\n- 2\n")],
)
def test_start_comment(data, body):
    assert dumped(data, comments="line one\nline two") == "%YAML 1.2\n---\n# line one\n# line two\n" + body


def test_start_comment_on_a_scalar_is_refused_before_writing():
    f = io.StringIO()
    with pytest.raises(TypeError):
        yaml_io.dump("scalar", f, comments="c")
    assert f.getvalue() == ""


def test_round_trip_through_a_file(tmp_path):
    path = tmp_path / "doc.yml"
    with open(path, "w") as f:
        yaml_io.dump({"SoCs": {"TX1": {"npu_model": "K", "npu_inside": True}}}, f, 4)
    with open(path) as f:
        assert yaml_io.load(f) == {"SoCs": {"TX1": {"npu_model": "K", "npu_inside": True}}}


def test_parser_errors_propagate():
    with pytest.raises(ruamel.yaml.YAMLError):
        yaml_io.load(io.StringIO("a: [1, 2\n"))


def test_dumper():
    d = yaml_io.Dumper()
    assert type(yaml_io.Dumper) is type and vars(d) == {"s": b""}
    assert (d.read(), d.str(), d.get()) == ("", "", b"")
    d.write(b"h\xc3\xa9")
    d.write(b"!")
    assert (d.read(), d.str(), d.get()) == ("hé!", "hé!", b"h\xc3\xa9!")
    d.write(b"\xff")
    with pytest.raises(UnicodeDecodeError):
        d.read()


def test_setup_is_fresh_per_call():
    a, b = yaml_io._setup_yaml(), yaml_io._setup_yaml(indent=4)
    assert a is not b and isinstance(a, ruamel.yaml.YAML)
    assert a.version == (1, 2)
