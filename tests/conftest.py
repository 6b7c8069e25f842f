import os
import shutil

import pytest

from zeltlite.api.npu_config import npu_chipmap

SHIPPED_CHIPMAP = os.path.join(npu_chipmap.ROOT_DIR, "config", "npu_chipmap.yml")


class LogRecorder:
    """Stands in for a module's ``zeltLog``: records every call, in order."""

    def __init__(self):
        self.calls = []

    def __getattr__(self, level):
        if level.startswith("__"):
            raise AttributeError(level)

        def record(*args):
            self.calls.append((level,) + args)

        return record

    def texts(self, level=None):
        return [c[1] for c in self.calls if level is None or c[0] == level]


@pytest.fixture
def record_log(monkeypatch):
    """record_log(module) substitutes the module's zeltLog and returns the recorder."""

    def install(module):
        recorder = LogRecorder()
        monkeypatch.setattr(module, "zeltLog", recorder)
        return recorder

    return install


@pytest.fixture
def chipmap_root(tmp_path, monkeypatch):
    """A temporary api directory for the chip map; returns the path of its config file."""
    (tmp_path / "config").mkdir()
    monkeypatch.setattr(npu_chipmap, "ROOT_DIR", str(tmp_path))
    return tmp_path / "config" / "npu_chipmap.yml"


@pytest.fixture
def write_chipmap(chipmap_root):
    """write_chipmap({soc: (npu_model, inside, assemble)}) writes a chip map file."""

    def write(rows):
        lines = ["SoCs:"]
        for soc, (model, inside, assemble) in rows.items():
            lines += [
                "    {}:".format(soc),
                "        npu_model: {}".format(model),
                "        npu_inside: {}".format(str(inside).lower()),
                "        npu_assemble: {}".format(str(assemble).lower()),
            ]
        chipmap_root.write_text("\n".join(lines) + "\n")
        return chipmap_root

    return write


@pytest.fixture
def shipped_chipmap_copy(tmp_path):
    target = tmp_path / "shipped.yml"
    shutil.copyfile(SHIPPED_CHIPMAP, target)
    return target
