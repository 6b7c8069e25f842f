"""Shared fixtures: chip map roots and logger recorders; for the runtime module also the test-double
runtime library in a temporary package tree, sessions on it, and fake tools."""
import ctypes
import json
import os
import shlex
import shutil

import pytest

import zeltlite
from zeltlite.api import zelt_runtime as zr
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


# ------------------------------------------------------------------ zelt_runtime

DOUBLE_LIB = os.path.join(os.path.dirname(zeltlite.__file__), "api", "lib", "testing", "libzelt_runtime_double.so")
DIRECT_FUNCTIONS = ("zelt_query", "zelt_inputs_set", "zelt_run", "zelt_outputs_get", "zelt_outputs_release")

DEFAULT_SOCS = [
    ("TX1100", "KESTA", True, False), ("TX1200", "KESTA", True, False), ("TX3000", "KESTA", False, True),
    ("TM2100", "VORIN", True, False), ("TX2100", "VORIN", True, False), ("TM2200", "VORIN", True, False),
    ("TX2200", "VORIN", True, False), ("TX4100", "TALUN1", True, False), ("TX4200", "TALUN1", True, False),
    ("TX5100", "TALUN2", True, False), ("TX4300", "TALUN3", True, False),
]


class RuntimeLog:
    """Stands in for zelt_runtime's zeltLog: records (level, args) and always returns."""

    def __init__(self):
        self.calls = []

    def e(self, *args):
        self.calls.append(("e", args))

    def zelt_e(self, *args):
        self.calls.append(("zelt_e", args))

    def w(self, *args):
        self.calls.append(("w", args))

    def i(self, *args):
        self.calls.append(("i", args))

    def d(self, *args):
        self.calls.append(("d", args))

    def p(self, *args):
        self.calls.append(("p", args))

    def of(self, level):
        return [args for lvl, args in self.calls if lvl == level]


@pytest.fixture
def log(monkeypatch):
    recorder = RuntimeLog()
    monkeypatch.setattr(zr, "zeltLog", recorder)
    return recorder


@pytest.fixture
def board(tmp_path, monkeypatch):
    """Device-tree probes pointed at files of a temporary tree (absent by default)."""
    root = tmp_path / "board"
    root.mkdir()
    monkeypatch.setattr(zr, "DEVICE_COMPATIBLE_NODE", str(root / "compatible"))
    monkeypatch.setattr(zr, "NPU_NODE", str(root / "npu"))
    return root


@pytest.fixture
def chipmap(tmp_path, monkeypatch, board):
    """write(simulator_model) writes a chip map holding the defaults plus SIMULATOR."""
    root = tmp_path / "chipmap"
    (root / "config").mkdir(parents=True)
    monkeypatch.setattr(npu_chipmap, "ROOT_DIR", str(root))

    def write(simulator_model="KESTA", socs=DEFAULT_SOCS):
        rows = list(socs) + ([("SIMULATOR", simulator_model, False, False)] if simulator_model else [])
        lines = ["SoCs:"]
        for soc, model, inside, assemble in rows:
            lines += [f"    {soc}:", f"        npu_model: {model}", f"        npu_inside: {str(inside).lower()}",
                      f"        npu_assemble: {str(assemble).lower()}"]
        (root / "config" / "npu_chipmap.yml").write_text("\n".join(lines) + "\n")

    write()
    return write


class Double:
    """The test-double runtime library copied into a package tree under `root`."""

    def __init__(self, root):
        self.root = str(root)
        self.path = os.path.join(self.root, "api", "lib", "simulator", "Linux_x64", "libzelt_runtime.so")
        os.makedirs(os.path.dirname(self.path))
        shutil.copy(DOUBLE_LIB, self.path)  # a copy is a library instance of its own
        self.ctl = ctypes.CDLL(self.path)
        self.ctl.zd_set.argtypes = [ctypes.c_char_p, ctypes.c_longlong]
        self.ctl.zd_set_text.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        self.ctl.zd_log.restype = ctypes.c_char_p
        self.ctl.zd_layout.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        self.ctl.zd_layout.restype = ctypes.c_longlong

    def set(self, key, value):
        if isinstance(value, str):
            self.ctl.zd_set_text(key.encode(), value.encode())
        else:
            self.ctl.zd_set(key.encode(), value)

    def log(self, fn=None):
        events = json.loads(self.ctl.zd_log().decode())
        return [e for e in events if fn is None or e["fn"] == fn]

    def last(self, fn):
        return self.log(fn)[-1]

    def live_contexts(self):
        return self.ctl.zd_live_contexts()

    def layout(self, structure, field=None):
        return self.ctl.zd_layout(structure.encode(), field.encode() if field else None)


@pytest.fixture
def double(tmp_path):
    return Double(tmp_path / "pkg")


def model(inputs=((3, 1, (1, 2, 2, 3)),), outputs=((1, 10),), talun=False, static=False):
    lines = [f"input {t} {f} {','.join(map(str, dims))}" for t, f, dims in inputs]
    lines += [f"output {','.join(map(str, dims))}" for dims in outputs]
    if talun:
        lines.append("family talun")
    if static:
        lines.append("static")
    return "\n".join(lines).encode()


def touch_functions(lib):
    """Replaces the bound data-path functions by equal fresh ones with equal (not the same)
    argtypes: calls then go through ctypes."""
    for name in DIRECT_FUNCTIONS:
        old = getattr(lib, name)
        fresh = lib._FuncPtr((name, lib))
        fresh.argtypes, fresh.restype = list(old.argtypes), old.restype
        setattr(lib, name, fresh)


@pytest.fixture(params=["direct", "ctypes"])
def path(request):
    """Runs a test through both call paths of the session."""
    return request.param


@pytest.fixture
def session(chipmap, double, log, path):
    """make(model bytes, npu=...) -> a built session on the double, through `path`."""
    made = []

    def make(model_bytes=None, npu="KESTA", build=True, device_id=None, **kwargs):
        chipmap(npu)
        rt = zr.ZELTRuntime(double.root, "SIMULATOR", device_id, **kwargs)
        made.append(rt)
        if path == "ctypes":
            touch_functions(rt.lib)
        if build:
            rt.build_graph(model_bytes if model_bytes is not None else model(talun="TALUN" in npu))
        return rt

    yield make
    for rt in made:
        rt.release()


def fake_tool(path, responses, default_rc=0, daemon=False):
    """Writes an executable shell script at `path` that appends its arguments to
    `path`.calls and answers each exact argument line of `responses`
    ({args: (rc, stdout, stderr)}).  With `daemon`, a call without arguments
    stays up until terminated."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    lines = ["#!/bin/sh", f'printf "%s\\n" "$*" >> {shlex.quote(path + ".calls")}', 'case "$*" in']
    for args, (rc, out, err) in responses.items():
        lines.append(f"  {shlex.quote(args)}) printf %s {shlex.quote(out)}; printf %s {shlex.quote(err)} >&2; exit {rc};;")
    if daemon:
        lines.append("  '') trap 'kill $!; exit 0' TERM; sleep 120 & wait; exit 0;;")
    lines += [f"  *) exit {default_rc};;", "esac"]
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")
    os.chmod(path, 0o755)


def tool_calls(path):
    try:
        with open(path + ".calls") as f:
            return f.read().splitlines()
    except FileNotFoundError:
        return []


@pytest.fixture
def tools(tmp_path, monkeypatch):
    """A package root for the tool paths; returns (adb path, npu_tetherd path)."""
    root = tmp_path / "tools"
    root.mkdir()
    monkeypatch.setattr(zr, "ROOT_DIR", str(root))
    return zr.ZELTRuntime._get_adb_path(), zr.ZELTRuntime._get_ntd_path()


@pytest.fixture
def simulator_chipmap(tmp_path, monkeypatch):
    """The shipped chip map plus a SIMULATOR row with a TALUN-family NPU, in a temporary root."""
    root = tmp_path / "api"
    (root / "config").mkdir(parents=True)
    target = root / "config" / "npu_chipmap.yml"
    shutil.copy(SHIPPED_CHIPMAP, target)
    with open(target, "a") as f:
        f.write("    SIMULATOR:\n        npu_model: TALUN2\n        npu_inside: false\n        npu_assemble: false\n")
    monkeypatch.setattr(npu_chipmap, "ROOT_DIR", str(root))
    # No board here: the device-tree probes look at files that do not exist.
    monkeypatch.setattr(zr, "DEVICE_COMPATIBLE_NODE", str(tmp_path / "compatible"))
    monkeypatch.setattr(zr, "NPU_NODE", str(tmp_path / "npu"))


# ------------------------------------------------------------------ virtual board


@pytest.fixture(scope="module")
def proxy():
    """Starts npu_tetherd proxies (one at a time) for a test module and stops every one of them, and any
    proxy a session of the module started, by pid at the module's end."""
    from boardlib import ProxyControl

    control = ProxyControl()
    yield control
    control.stop()
    # A sanitizer report or a crash on the way out shows as an unclean exit.
    assert control.bad_exits == []
