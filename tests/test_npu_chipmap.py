import pytest

from zeltlite.api.npu_config import npu_chipmap
from zeltlite.utils import yaml_io

from conftest import SHIPPED_CHIPMAP

DEFAULT = [
    ("TX1100", "KESTA", True, False),
    ("TX1200", "KESTA", True, False),
    ("TX3000", "KESTA", False, True),
    ("TM2100", "VORIN", True, False),
    ("TX2100", "VORIN", True, False),
    ("TM2200", "VORIN", True, False),
    ("TX2200", "VORIN", True, False),
    ("TX4100", "TALUN1", True, False),
    ("TX4200", "TALUN1", True, False),
    ("TX5100", "TALUN2", True, False),
    ("TX4300", "TALUN3", True, False),
]


def as_rows(chipmap):
    return [(soc, e["npu_model"], e["npu_inside"], e["npu_assemble"]) for soc, e in chipmap.items()]


def test_missing_file_is_created_from_the_default_table(chipmap_root):
    assert not chipmap_root.exists()
    first = npu_chipmap.get_npu_chipmap()
    assert as_rows(first) == DEFAULT
    assert [list(e) for e in first.values()] == [["npu_model", "npu_inside", "npu_assemble"]] * 11
    written = chipmap_root.read_bytes()
    assert written.startswith(b"%YAML 1.2\n---\nSoCs:\n    TX1100:\n        npu_model: KESTA\n")
    # The second call reads the file it wrote, unchanged.
    assert as_rows(npu_chipmap.get_npu_chipmap()) == DEFAULT
    assert chipmap_root.read_bytes() == written


def test_shipped_file_is_what_the_module_writes(chipmap_root):
    npu_chipmap.get_npu_chipmap()
    with open(SHIPPED_CHIPMAP, "rb") as f:
        assert chipmap_root.read_bytes() == f.read()


def test_deleting_the_file_makes_the_next_call_write_it(chipmap_root):
    npu_chipmap.get_npu_chipmap()
    chipmap_root.unlink()
    npu_chipmap.get_npu_chipmap()
    assert chipmap_root.exists()


def test_missing_config_directory_raises(tmp_path, monkeypatch):
    monkeypatch.setattr(npu_chipmap, "ROOT_DIR", str(tmp_path / "nowhere"))
    with pytest.raises(FileNotFoundError):
        npu_chipmap.get_npu_chipmap()


def test_file_edits_take_effect_at_the_next_lookup(write_chipmap):
    write_chipmap({"TX5100": ("TALUN2", True, False)})
    assert npu_chipmap.get_support_target_soc() == ["TX5100"]
    assert npu_chipmap.get_npu_assemble_soc() == []
    write_chipmap({"TX3000": ("KESTA", False, True), "TX5100": ("TALUN2", True, False)})
    assert npu_chipmap.get_support_target_soc() == ["TX3000", "TX5100"]
    assert npu_chipmap.get_npu_assemble_soc() == ["TX3000"]


@pytest.mark.parametrize(
    "text, error",
    [
        ("Chips:\n    TX1: {npu_model: A}\n", KeyError),
        ("SoCs: [unclosed\n", Exception),
    ],
)
def test_bad_files_raise_and_are_left_alone(chipmap_root, text, error):
    chipmap_root.write_text(text)
    with pytest.raises(error):
        npu_chipmap.get_npu_chipmap()
    assert chipmap_root.read_text() == text


class TestLookups:
    @pytest.fixture(autouse=True)
    def default_table(self, chipmap_root):
        npu_chipmap.get_npu_chipmap()

    @pytest.mark.parametrize(
        "func, arg, expected",
        [
            ("get_npu_model_from_target", "tx5100", "TALUN2"),
            ("get_npu_model_from_target", "TX5100", "TALUN2"),
            ("get_npu_model_from_target", None, None),
            ("get_npu_model_from_target", "tx9999", None),
            ("get_target_npu_model", "tx5100", None),
            ("get_target_npu_model", "TX5100", "TALUN2"),
            ("get_cpus_with_npu", "talun1", ["TX4100", "TX4200"]),
            ("get_cpus_with_npu", "NONE", []),
        ],
    )
    def test_lookup(self, func, arg, expected):
        assert getattr(npu_chipmap, func)(arg) == expected

    def test_lists(self):
        names = [row[0] for row in DEFAULT]
        assert npu_chipmap.get_support_target_soc() == names
        assert npu_chipmap.get_npu_assemble_soc() == ["TX3000"]
        assert npu_chipmap.get_npu_inside_soc() == [n for n in names if n != "TX3000"]

    def test_targets_ordered_by_npu(self):
        result = npu_chipmap.get_all_targets_ordered_by_npu()
        assert type(result) is dict
        assert list(result.items()) == [
            ("KESTA", ["TX1100", "TX1200", "TX3000"]),
            ("VORIN", ["TM2100", "TX2100", "TM2200", "TX2200"]),
            ("TALUN1", ["TX4100", "TX4200"]),
            ("TALUN2", ["TX5100"]),
            ("TALUN3", ["TX4300"]),
        ]

    def test_results_are_new_lists(self):
        npu_chipmap.get_support_target_soc().append("X")
        assert "X" not in npu_chipmap.get_support_target_soc()

    def test_none_npu_model_raises_attribute_error(self):
        with pytest.raises(AttributeError):
            npu_chipmap.get_cpus_with_npu(None)


class TestCompatibility:
    @pytest.fixture(autouse=True)
    def default_table(self, chipmap_root):
        npu_chipmap.get_npu_chipmap()

    @pytest.mark.parametrize("targets", [[], ["tx4100", "TX4200"], ("tx5100",)])
    def test_compatible(self, record_log, targets):
        log = record_log(npu_chipmap)
        assert npu_chipmap.is_target_compatible(targets) is True
        assert log.calls == []

    def test_unsupported_names_are_reported_first(self, record_log):
        log = record_log(npu_chipmap)
        assert npu_chipmap.is_target_compatible(["TX5100", "foo", "tx1200", "foo"]) is False
        assert log.calls == [
            ("e", "The target_platform contains platforms that are not currently supported.", False),
            ("p", "#" * 20),
            ("p", "Unsupport platforms: FOO FOO"),
            ("p", "#" * 20),
        ]

    def test_incompatible_models(self, record_log):
        log = record_log(npu_chipmap)
        assert npu_chipmap.is_target_compatible(["tx1200", "tx5100"]) is False
        chipmap = npu_chipmap.get_npu_chipmap()
        assert log.calls == [
            ("zelt_e", "The target_platform contains incompatible NPU models, it`s not supported."),
            ("p", "#" * 20),
            ("p", "tx1200: {}".format(chipmap["TX1200"])),
            ("p", "tx5100: {}".format(chipmap["TX5100"])),
            ("p", "#" * 20),
        ]

    def test_non_str_target_raises(self):
        with pytest.raises(AttributeError):
            npu_chipmap.is_target_compatible([5100])


def test_module_namespace():
    assert npu_chipmap.yaml is yaml_io
    from zeltlite.api.zelt_log import ZELTLog

    assert npu_chipmap.zeltLog is ZELTLog
    assert npu_chipmap.current_file_path.endswith("npu_config/__init__.py")
    assert npu_chipmap.ROOT_DIR.endswith("zeltlite/api")


def test_chipmap_loads_through_the_module_yaml(chipmap_root, monkeypatch):
    """The file is written and read through the module's `yaml` name."""
    calls = []

    class Recorder:
        @staticmethod
        def dump(data, f, *args, **kwargs):
            calls.append(("dump", list(data), args, kwargs))
            yaml_io.dump(data, f, *args, **kwargs)

        @staticmethod
        def load(f):
            calls.append(("load",))
            return yaml_io.load(f)

    monkeypatch.setattr(npu_chipmap, "yaml", Recorder)
    npu_chipmap.get_npu_chipmap()
    assert calls == [("dump", ["SoCs"], (), {"indent": 4}), ("load",)]
