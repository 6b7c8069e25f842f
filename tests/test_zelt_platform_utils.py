import json
import os
import platform

import pytest

import zeltlite
from zeltlite.api import zelt_platform_utils as pu
from zeltlite.api.npu_config import npu_chipmap
from zeltlite.api.zelt_model import ZELTModel

STARS = "*" * 50


@pytest.fixture
def log(record_log, chipmap_root):
    npu_chipmap.get_npu_chipmap()
    return record_log(pu)


def model_file(tmp_path, config):
    m = ZELTModel()
    m.set_data(b"E", json.dumps(config).encode(), None, None)
    path = str(tmp_path / "m.zelt")
    m.save(path)
    return path


def test_module_values():
    assert pu.ROOT_DIR == os.path.dirname(os.path.abspath(zeltlite.__file__))
    assert pu.initpy_file_path.endswith(os.path.join("zeltlite", "api", "__init__.py"))
    assert pu.os_platform == pu.get_host_os_platform()
    assert pu.platform_machine == platform.machine()
    names = list(vars(pu))
    order = ["initpy_file_path", "ROOT_DIR", "os_platform", "platform_machine"]
    assert sorted(order, key=names.index) == order


@pytest.mark.parametrize(
    "system, arch, expected",
    [("Linux", "64bit", "Linux_x64"), ("Darwin", "64bit", "macOS_x64"), ("Windows", "32bit", "Windows_x32")],
)
def test_host_os_platform(monkeypatch, system, arch, expected):
    monkeypatch.setattr(platform, "system", lambda: system)
    monkeypatch.setattr(platform, "architecture", lambda *a: (arch, ""))
    assert pu.get_host_os_platform() == expected


@pytest.mark.parametrize("os_platform", ["Linux_x64", "Windows_x32", "windows_x64"])
def test_dll_dir_only_on_windows_x64(monkeypatch, os_platform):
    monkeypatch.setattr(pu, "os_platform", os_platform)
    assert pu.get_zelt_api_require_dll_dir() is None


def test_dll_dir_on_windows_x64(monkeypatch):
    monkeypatch.setattr(pu, "os_platform", "Windows_x64")
    assert pu.get_zelt_api_require_dll_dir() == os.path.join(pu.ROOT_DIR, "api\\lib\\hardware\\Windows_x64")


def test_list_all_targets(log):
    assert pu.list_support_target_platform(None) is None
    assert log.calls == [
        ("p", STARS),
        ("p", "All Zeltpack supported target platforms:"),
        (
            "p",
            "chip family 1: TX1100,TX1200,TX3000\nchip family 2: TM2100,TX2100,TM2200,TX2200\n"
            "chip family 3: TX4100,TX4200\nchip family 4: TX5100\nchip family 5: TX4300",
        ),
        ("p", STARS),
    ]


def test_list_all_targets_single_soc(record_log, write_chipmap):
    write_chipmap({"TX5100": ("TALUN2", True, False)})
    log = record_log(pu)
    pu.list_support_target_platform(None)
    assert log.texts()[2] == "chip family 1: TX5100"


@pytest.mark.parametrize(
    "config, filled, supported",
    [
        ({"target_platform": ["tx4100"]}, ["tx4100"], ["TX4100", "TX4200"]),
        ({"name": "x"}, [], ["TX1100", "TX1200", "TX3000"]),
    ],
)
def test_model_targets(log, tmp_path, config, filled, supported):
    result = pu.list_support_target_platform(model_file(tmp_path, config))
    assert list(result.items()) == [("filled_target_platform", filled), ("support_target_platform", supported)]
    assert log.calls == [
        ("p", STARS),
        ("p", "Target platforms filled in ZELT model:         {}".format(filled)),
        ("p", "Target platforms supported by this ZELT model: {}".format(supported)),
        ("p", STARS),
    ]


@pytest.mark.parametrize(
    "config, error",
    [({"target_platform": []}, IndexError), ({"target_platform": ["TX9"]}, AttributeError)],
)
def test_model_target_errors(log, tmp_path, config, error):
    with pytest.raises(error):
        pu.list_support_target_platform(model_file(tmp_path, config))


def test_unusable_model_file(log, tmp_path):
    (tmp_path / "bad").write_bytes(b"not a model at all, not at all")
    with pytest.raises(AttributeError):
        pu.list_support_target_platform(str(tmp_path / "bad"))
