import os
import random
import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zeltlite.api import zelt_model
from zeltlite.api.zelt_model import ZELTModel

MAGIC = struct.pack("<Q", 0x544C455A)


def v1(export, config, version=1):
    return MAGIC + struct.pack("<QQ", version, len(export)) + export + struct.pack("<Q", len(config)) + config


def test_class_is_plain():
    assert type(ZELTModel) is type and ZELTModel.__bases__ == (object,)
    assert ZELTModel.ZELT_MAGIC == 0x544C455A == 1414284634
    assert vars(ZELTModel()) == {
        "zelt_version": 1,
        "export_data": None,
        "config_data": None,
        "custom_op_config_data": None,
        "custom_op_data": None,
        "zelt_data": None,
        "load_model_in_npu": False,
    }


@pytest.mark.parametrize("export, config", [(b"", b""), (b"\x00\x01export", b'{"target_platform": ["TX5100"]}')])
def test_version1_round_trip(export, config):
    data = ZELTModel.create_zelt_model(1, export, config, None, None)
    assert data == v1(export, config)
    assert len(ZELTModel.create_zelt_model(1, b"", b"", None, None)) == 32
    assert ZELTModel.parse_data(data) == (1, export, config, None, None)


def test_version2_round_trip():
    data = ZELTModel.create_zelt_model(2, b"EXP", b"{}", b"opcfg", b"op")
    assert data[:24] == MAGIC + struct.pack("<QQ", 2, 3)
    assert data[24:64] == bytes(40)
    assert data[64:67] == b"EXP"
    assert ZELTModel.parse_data(data) == (2, b"EXP", b"{}", b"opcfg", b"op")
    # A version-2 container that ends after its configuration section.
    bare = data[: 64 + 3 + 8 + 2]
    assert ZELTModel.parse_data(bare) == (2, b"EXP", b"{}", None, None)


def test_version2_custom_sections_must_fit():
    data = ZELTModel.create_zelt_model(2, b"E", b"C", b"x" * 10, b"y" * 10)
    assert ZELTModel.parse_data(data[:-1])[3:] == (None, None)


def test_version2_data_ending_anywhere_in_the_custom_area_gives_no_custom_sections():
    data = ZELTModel.create_zelt_model(2, b"EXP", b"{}", b"opcfg", b"op")
    config_end = 64 + 3 + 8 + 2
    # Every cut, inside either length field or either section, keeps export and configuration.
    for end in range(config_end, len(data)):
        assert ZELTModel.parse_data(data[:end]) == (2, b"EXP", b"{}", None, None), end
    assert ZELTModel.parse_data(data)[3:] == (b"opcfg", b"op")


@pytest.mark.parametrize(
    "args",
    [(1, None, b"", b"", b""), (1, b"", None, None, None), (2, None, None, b"", b"")],
)
def test_create_without_sections_returns_none(args):
    assert ZELTModel.create_zelt_model(*args) is None


@pytest.mark.parametrize(
    "args, error",
    [
        ((2, b"", b"", None, b""), TypeError),  # custom sections needed from version 2 on
        ((-1, b"", b"", None, None), struct.error),
        ((1, "text", b"", None, None), TypeError),
    ],
)
def test_create_errors(args, error):
    with pytest.raises(error):
        ZELTModel.create_zelt_model(*args)


@pytest.mark.parametrize(
    "data, expected",
    [
        (None, None),
        (b"ZELX" + bytes(28), None),
        (v1(b"abc", b"cfg")[:-1], (1, b"abc", b"cf", None, None)),  # sections are clamped, not checked
        (bytearray(v1(b"a", b"b")), (1, bytearray(b"a"), bytearray(b"b"), None, None)),
    ],
)
def test_parse(data, expected):
    assert ZELTModel.parse_data(data) == expected


@pytest.mark.parametrize(
    "data",
    [b"", b"ZELT", MAGIC, MAGIC + bytes(8), MAGIC + struct.pack("<QQ", 1, 2**64 - 1), v1(b"abc", b"")[:30]],
)
def test_parse_truncated_header_raises_struct_error(data):
    with pytest.raises(struct.error):
        ZELTModel.parse_data(data)


def test_parse_rejects_text():
    with pytest.raises(TypeError):
        ZELTModel.parse_data("ZELT")


def check_parse(data):
    """Any bytes give None, a 5-tuple of slices of the data, or struct.error."""
    try:
        result = ZELTModel.parse_data(data)
    except struct.error:
        return
    if result is None:
        assert data[:8] != MAGIC
        return
    version, export, config, op_config, op = result
    for section in (export, config, op_config, op):
        assert section is None or section in data
    assert version == struct.unpack_from("<Q", data, 8)[0]


@settings(max_examples=2000, deadline=None)
@given(st.binary(max_size=200))
def test_fuzz_random_bytes(data):
    check_parse(MAGIC + data)
    check_parse(data)


def test_fuzz_mutated_containers():
    rng = random.Random(1234)
    seeds = [
        ZELTModel.create_zelt_model(1, b"E" * 40, b"{}", None, None),
        ZELTModel.create_zelt_model(2, b"E" * 40, b"{}", b"c" * 9, b"d" * 17),
    ]
    for _ in range(5000):
        data = bytearray(rng.choice(seeds))
        for _ in range(rng.randint(1, 4)):
            op = rng.random()
            pos = rng.randrange(len(data))
            if op < 0.5:
                data[pos] = rng.randrange(256)
            elif op < 0.7:
                data[pos : pos + 8] = struct.pack("<Q", rng.choice([0, 1, 2, 63, 2**32, 2**63, 2**64 - 1]))
            else:
                del data[pos:]
                if not data:
                    break
        check_parse(bytes(data))


class TestObject:
    def test_set_data_and_updates_keep_the_invariant(self):
        m = ZELTModel()
        m.set_data(b"E", b"C", None, None)
        assert (m.zelt_version, m.zelt_data) == (1, v1(b"E", b"C"))
        m.set_data(b"E", b"C", b"x", None)  # one custom section alone is not stored
        assert (m.zelt_version, m.custom_op_config_data) == (1, None)
        m.set_data(b"E", b"C", b"x", b"y")
        assert m.zelt_version == 2
        m.update_export_data(b"E2")
        m.update_config_data(b"C2")
        assert m.zelt_data == ZELTModel.create_zelt_model(2, b"E2", b"C2", b"x", b"y")

    def test_rebuild_goes_through_the_class(self, monkeypatch):
        seen = []
        monkeypatch.setattr(ZELTModel, "create_zelt_model", staticmethod(lambda *a: seen.append(a) or b"X"))
        m = ZELTModel()
        m.update_export_data(b"E")
        assert seen == [(1, b"E", None, None, None)] and m.zelt_data == b"X"

    def test_save_and_load(self, tmp_path):
        m = ZELTModel()
        m.set_data(b"E", b"C", b"x", b"y")
        path = tmp_path / "a" / "b" / "m.zelt"
        assert m.save(str(path)) == 0
        loaded = ZELTModel()
        assert loaded.load(str(path)) == 0
        assert vars(loaded) == vars(m)
        loaded.update_config_data(b"C2")  # a loaded version-2 container can be edited
        assert ZELTModel.parse_data(loaded.zelt_data) == (2, b"E", b"C2", b"x", b"y")

    def test_save_bare_name_does_not_make_directories(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        monkeypatch.setattr(os, "makedirs", lambda *a: pytest.fail("makedirs called"))
        m = ZELTModel()
        m.set_data(b"E", b"C", None, None)
        assert m.save("m.zelt") == 0
        assert (tmp_path / "m.zelt").read_bytes() == v1(b"E", b"C")

    def test_save_without_data_logs(self, record_log, tmp_path):
        log = record_log(zelt_model)
        m = ZELTModel()
        m.set_data(None, b"C", None, None)
        assert m.save(str(tmp_path / "x")) == -1
        assert log.calls == [("e", "ZELT model data is None, please load model first!", False)]
        assert not (tmp_path / "x").exists()

    def test_load_bad_file_keeps_contents(self, tmp_path):
        (tmp_path / "bad").write_bytes(b"NOTAZELT" + bytes(40))
        m = ZELTModel()
        m.set_data(b"E", b"C", None, None)
        before = vars(m).copy()
        assert m.load(str(tmp_path / "bad")) == -1
        assert vars(m) == before
        with pytest.raises(FileNotFoundError):
            m.load(str(tmp_path / "missing"))

    def test_model_in_npu_mode(self, tmp_path):
        m = ZELTModel()
        assert m.load("/data/model é.zelt", True) == 0
        assert m.zelt_data == "/data/model é.zelt".encode("utf-8") and m.load_model_in_npu is True
        assert m.export_data is None
        m.save(str(tmp_path / "path.txt"))
        assert (tmp_path / "path.txt").read_bytes() == m.zelt_data
        m.release()
        assert m.zelt_data is None and m.load_model_in_npu is True and m.zelt_version == 1

    def test_hand_made_instance(self):
        m = ZELTModel.__new__(ZELTModel)
        m.zelt_version, m.export_data, m.config_data = 1, b"E", None
        m.custom_op_config_data = m.custom_op_data = None
        m.update_config_data(b"C")
        assert m.zelt_data == v1(b"E", b"C")


@pytest.mark.parametrize(
    "data",
    [MAGIC + struct.pack("<QQ", 1, 100) + b"abc", v1(b"ab", b"")[:30], MAGIC + struct.pack("<QQ", 2, 7)],
)
def test_parse_past_the_end_reports_the_offset_read(data):
    """The struct error names the offset of the field, as unpack_from at that offset does."""
    version, export_len = struct.unpack_from("<QQ", data, 8)
    offset = (64 if version >= 2 else 24) + export_len
    with pytest.raises(struct.error) as expected:
        struct.unpack_from("<Q", data, offset)
    with pytest.raises(struct.error) as got:
        ZELTModel.parse_data(data)
    assert str(got.value) == str(expected.value)


@pytest.mark.parametrize("magic", [0x4D4F444C, 7])
def test_magic_is_read_from_the_class(monkeypatch, magic):
    monkeypatch.setattr(ZELTModel, "ZELT_MAGIC", magic)
    data = ZELTModel.create_zelt_model(1, b"E", b"C", None, None)
    assert data[:8] == struct.pack("<Q", magic)
    assert ZELTModel.parse_data(data) == (1, b"E", b"C", None, None)
    assert ZELTModel.parse_data(v1(b"E", b"C")) is None
