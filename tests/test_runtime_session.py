"""Session lifecycle, library path and binding, information and tuning."""
import ctypes
import os
from unittest import mock

import numpy as np
import pytest

from zeltlite.api import zelt_runtime as zr

from conftest import model

RT = zr.ZELTRuntime


def test_constructor_sets_attributes_in_order(session, double):
    rt = session(build=False, perf_debug=1, core_mask=3)
    assert list(vars(rt)) == ["root_dir", "perf_debug", "eval_memory", "async_mode", "zelt2precompile", "core_mask",
                              "target", "target_soc", "is_npu_self", "is_npu_assemble", "npu_model", "device_id", "lib",
                              "context", "graph_is_built", "adb_path", "ntd_path"]
    assert (rt.root_dir, rt.perf_debug, rt.eval_memory, rt.core_mask, rt.target_soc, rt.npu_model) == (
        double.root, 1, False, 3, "SIMULATOR", "KESTA")
    assert (rt.is_npu_self, rt.is_npu_assemble, rt.context, rt.graph_is_built) == (False, False, None, False)
    assert type(rt.lib) is ctypes.CDLL and rt.lib._name == double.path
    assert (rt.adb_path, rt.ntd_path) == (RT._get_adb_path(), RT._get_ntd_path())
    with pytest.raises(TypeError, match=r"^__init__\(\) takes at least 4 positional arguments \(2 given\)$"):
        RT("root")


def bare(**attrs):
    rt = RT.__new__(RT)
    vars(rt).update(attrs)
    return rt


@pytest.fixture
def host(monkeypatch):
    def set_host(os_platform="Linux_x64", machine="x86_64", system="Linux", npu_self=(False, None), existing=()):
        for name, value in (("os_platform", os_platform), ("machine", machine), ("system", system)):
            monkeypatch.setattr(RT, name, value)
        monkeypatch.setattr(RT, "_is_npu_self", staticmethod(lambda: npu_self))
        monkeypatch.setattr(os.path, "exists", lambda p: p in existing)
    return set_host


@pytest.mark.parametrize("os_platform, machine, target_soc, npu, expected", [
    ("Linux_x64", "aarch64", "TX5100", "TALUN2", "/r/api/lib/hardware/TALUN/linux-aarch64/libzelt_api.so"),
    ("Linux_x64", "x86_64", "SIMULATOR", "KESTA", "/r/api/lib/simulator/Linux_x64/libzelt_runtime.so"),
    ("Linux_x64", "x86_64", None, "KESTA", "/r/api/lib/simulator/Linux_x64/libzelt_runtime.so"),
    ("Linux_x64", "x86_64", "TX2100", "VORIN", "/r/api/lib/hardware/KESTA_VORIN/linux-x86_64/libzelt_api.so"),
    ("Darwin_x64", "x86_64", "TX4100", "TALUN1", "/r/api/lib/hardware/TALUN/macOS_x64/libzelt_api.dylib"),
    ("Windows_x64", "AMD64", "TX1100", "KESTA", "/r/api\\lib\\hardware\\KESTA_VORIN\\Windows_x64\\libzelt_api.dll"),
])
def test_library_path_by_host(host, os_platform, machine, target_soc, npu, expected):
    host(os_platform, machine)
    rt = bare(root_dir="/r", target="x", target_soc=target_soc, npu_model=npu)
    assert rt._get_zelt_api_lib_path() == expected


def test_library_path_unknown_host(host):
    host("Linux_x32", "i686", "Linux")
    with pytest.raises(Exception, match="^Unsupported run platform: Linux i686$"):
        bare(root_dir="/r", target="x", target_soc="TX1100", npu_model="KESTA")._get_zelt_api_lib_path()


@pytest.mark.parametrize("existing, expected", [
    (("/usr/lib64/libzelt_runtime.so", "/usr/lib/libzeltrt.so"), "/usr/lib64/libzelt_runtime.so"),
    (("/usr/lib/libzeltrt.so",), "/usr/lib/libzeltrt.so"),
])
def test_library_path_on_the_board(host, existing, expected):
    host(machine="aarch64", npu_self=(True, "TX5100"), existing=existing)
    assert bare(root_dir="/r", target=None, target_soc="TX5100", npu_model="TALUN2")._get_zelt_api_lib_path() == expected


@pytest.mark.parametrize("soc, hint", [("TX4200", "TX4X00"), ("TX1100", None)])
def test_library_missing_on_the_board(host, soc, hint):
    host(machine="aarch64", npu_self=(True, soc))
    with pytest.raises(Exception) as info:
        bare(root_dir="/r", target=None, target_soc=soc, npu_model="KESTA")._get_zelt_api_lib_path()
    text = str(info.value)
    first = f"Can not find dynamic library on {soc}!\n"
    if hint is None:
        assert text == first
    else:
        assert text.startswith(first + "Please download the corresponding libzeltrt.so from ")
        assert text.endswith(f"runtime/{hint}/Linux/libzelt_api/aarch64 and move it to directory /usr/lib/\n")


class FakeCDLL:
    loaded = []

    def __init__(self, path):
        FakeCDLL.loaded.append(path)
        self._handle = 1234

    def __getattr__(self, name):
        fn = type("Fn", (), {"argtypes": None, "restype": None})()
        setattr(self, name, fn)
        return fn


H = ctypes.c_ulonglong


@pytest.mark.parametrize("soc, npu, on_board, bound", [
    ("TX5100", "TALUN2", True, {"zelt_set_core_mask": [H, ctypes.c_uint]}),
    ("TX1100", "KESTA", False, {"zelt_init2": [ctypes.POINTER(H), ctypes.c_void_p, ctypes.c_uint, ctypes.c_uint,
                                              ctypes.POINTER(zr.ZELTInitExtend)]}),
    ("SIMULATOR", "KESTA", False, {}),
    ("TX4100", "TALUN1", False, {}),
])
def test_library_functions_bound_as_tabled(monkeypatch, soc, npu, on_board, bound):
    monkeypatch.setattr(zr, "CDLL", FakeCDLL)
    rt = bare(root_dir="/r", target=soc, target_soc=soc, npu_model=npu, is_npu_self=on_board)
    rt._get_zelt_api_lib_path = lambda: "/some/lib.so"
    rt._load_library()
    lib = rt.lib
    assert type(lib) is FakeCDLL and FakeCDLL.loaded[-1] == "/some/lib.so"
    talun = "TALUN" in npu
    P = ctypes.POINTER
    init = [P(H), ctypes.c_void_p, ctypes.c_uint, ctypes.c_uint] + ([P(zr.ZELTRtInitExtend)] if talun else [])
    expected = {
        "zelt_init": init,
        "zelt_run": [H, P(zr.ZELTRtRunExtend if talun else zr.ZELTRunExtend)],
        "zelt_destroy": [H],
        "zelt_query": [H, ctypes.c_int, ctypes.c_void_p, ctypes.c_uint],
        "zelt_inputs_set": [H, ctypes.c_uint, P(zr.ZELTInput)],
        "zelt_outputs_get": [H, ctypes.c_uint, P(zr.ZELTOutput), P(zr.ZELTOutputExtend)],
        "zelt_outputs_release": [H, ctypes.c_uint, P(zr.ZELTOutput)],
        **bound,
    }
    for name, types in expected.items():
        assert getattr(lib, name).argtypes == types and getattr(lib, name).restype is ctypes.c_int, name
    for name in ("zelt_init2", "zelt_set_core_mask"):
        if name not in bound:
            assert name not in vars(lib)


def test_load_libdl(monkeypatch, log):
    monkeypatch.setattr(zr, "CDLL", FakeCDLL)
    assert FakeCDLL.loaded.clear() is None
    bare(os_platform="Darwin_x64")._load_libdl()
    assert FakeCDLL.loaded == ["libdl.dylib"]

    def flaky(path):
        if path == "libdl.so.2":
            raise OSError("no libdl.so.2")
        return FakeCDLL(path)

    monkeypatch.setattr(zr, "CDLL", flaky)
    assert type(bare(os_platform="Linux_x64")._load_libdl()) is FakeCDLL
    ((error,),) = log.of("d")
    assert isinstance(error, OSError) and FakeCDLL.loaded[-1] == "libdl.so"


@pytest.mark.parametrize("flags, in_npu, expected", [
    ({}, False, 1),
    ({"perf_debug": True}, True, 25),
    ({"perf_debug": True, "eval_memory": True, "async_mode": True, "zelt2precompile": True}, True, 0xC000001D),
])
def test_build_graph_flags(session, double, tmp_path, flags, in_npu, expected):
    rt = session(build=False, **flags)
    script = model()
    if in_npu:
        (tmp_path / "model.zm").write_bytes(script)
        script = str(tmp_path / "model.zm").encode()
    assert rt.build_graph(script, in_npu) == 0
    init = double.last("zelt_init2")  # SIMULATOR off the board
    assert (init["flag"], init["size"], init["ext"]) == (expected, len(script), None)
    assert rt.context == init["ctx"] and rt.graph_is_built is True


@pytest.mark.parametrize("code, shown", [(-6, "ZELT_ERR_MODEL_INVALID"), (-20, "-20")])
def test_build_graph_failure_keeps_the_session(session, double, code, shown):
    rt = session()
    context = rt.context
    double.set("ret.zelt_init2", code)
    with pytest.raises(Exception, match=f"^ZELT init failed. error code: {shown}$"):
        rt.build_graph(model())
    assert (rt.context, rt.graph_is_built, double.live_contexts()) == (context, True, 1)


def test_rebuild_destroys_the_previous_context(session, double):
    rt = session()
    first = rt.context
    rt.build_graph(model())
    assert rt.context != first and double.live_contexts() == 1
    assert double.last("zelt_destroy")["ctx"] == first


@pytest.mark.parametrize("soc, assembled, device_id, ext", [
    ("TX1100", False, "dev-1", {"device_id": "dev-1"}),
    ("TX1100", False, None, None),
    ("TX3000", False, "dev-1", None),
    ("TX3000", True, "dev-1", {"device_id": "dev-1"}),
    ("SIMULATOR", False, "sim-ü", {"device_id": "sim-\u00c3\u00bc"}),  # not bound: still passed by pointer
])
def test_remote_init_extension(session, double, monkeypatch, soc, assembled, device_id, ext):
    monkeypatch.setattr(RT, "_connect", lambda self: 0)
    if soc != "SIMULATOR":
        hw = os.path.join(double.root, "api", "lib", "hardware", "KESTA_VORIN", "linux-x86_64", "libzelt_api.so")
        os.makedirs(os.path.dirname(hw))
        os.link(double.path, hw)
        monkeypatch.setattr(RT, "_is_npu_assembled", staticmethod(lambda: (assembled, None)))
    rt = zr.ZELTRuntime(double.root, soc, device_id)
    try:
        rt.build_graph(model())
        assert double.last("zelt_init2")["ext"] == ext
    finally:
        rt.release()


def test_release(session, double, path, monkeypatch):
    rt = session()
    closes = []
    real_libdl = rt._load_libdl()

    class DLClose:
        argtypes = None

        def __call__(self, handle):
            closes.append(handle)
            real_libdl.dlclose.argtypes = self.argtypes
            return real_libdl.dlclose(handle)

    class LibDL:
        def __init__(self):
            self.dlclose = DLClose()

    rt._load_libdl = LibDL
    rt.release()
    rt.release()  # harmless: closed once
    assert (rt.context, rt.graph_is_built, closes, double.live_contexts()) == (None, False, [rt.lib._handle], 0)
    for call in (lambda: rt.run(), lambda: rt.get_outputs(), lambda: rt.get_in_out_num(),
                 lambda: rt.set_inputs([np.zeros(12, np.uint8)], None, None), lambda: rt.build_graph(model())):
        with pytest.raises(Exception, match="^E The runtime of this session has been released.$"):
            call()


def test_calls_before_build_graph(session, double):
    rt = session(build=False)
    with pytest.raises(Exception, match="^E The graph of this session is not built, call build_graph first.$"):
        rt.run()
    with pytest.raises(Exception, match="not built"):
        rt.get_outputs()
    rt.release()


def test_release_with_adb(session, double, monkeypatch, tmp_path):
    removed = []
    monkeypatch.setattr(RT, "_remove_adb_forward", staticmethod(lambda *a: removed.append(a)))
    rt = session()
    rt.adb_path = str(tmp_path / "no-adb")
    rt.release()
    assert removed == [] and double.live_contexts() == 0

    def failing(*a):
        raise OSError("adb broke")

    monkeypatch.setattr(RT, "_remove_adb_forward", staticmethod(failing))
    rt = session()
    rt.adb_path = double.path  # an existing file
    with pytest.raises(OSError, match="adb broke"):
        rt.release()
    assert (rt.context, double.live_contexts()) == (None, 0)
    rt.adb_path = None


def test_sdk_version(session, double):
    rt = session()
    with pytest.raises(Exception, match="^Target hardware platform need be pointed before get sdk version.$"):
        rt.get_sdk_version()
    assert double.log("zelt_query") == []
    rt.target_soc = "TX5100"
    double.set("api_version", "2.0 \u00e9")
    banner, api, drv = rt.get_sdk_version()
    rule = "=" * 46 + "\n"
    assert (api, drv) == ("2.0 \u00e9", "0.9.8")
    assert banner == f"{rule}ZELT VERSION:\n  API: 2.0 \u00e9\n  DRV: 0.9.8\n{rule}"
    double.set("ret.zelt_query", -3)
    with pytest.raises(Exception, match="^Query ZELT SDK version Failed. Error code: ZELT_ERR_DEVICE_UNAVAILABLE$"):
        rt.get_sdk_version()


@pytest.mark.parametrize("text, length, expected", [
    ("conv: 3us\nrelu: 1us\n", None, "conv: 3us\nrelu: 1us\n"),
    ("conv: 3us\n", 4, "conv"),
    ("conv: 3us\n", 0, ""),
    ("short", 4096, "short"),  # never read past the NUL
])
def test_run_perf_detail(session, double, text, length, expected):
    rt = session(perf_debug=True)
    double.set("perf_data", text)
    if length is not None:
        double.set("perf_len", length)
    assert rt.get_run_perf() == expected


def test_run_perf_duration(session, double):
    rt = session()
    double.set("run_duration", -42)
    assert rt.get_run_perf() == "-42"
    double.set("ret.zelt_query", -1)
    with pytest.raises(Exception, match="^Query run perf failed, error code: ZELT_ERR_FAIL$"):
        rt.get_run_perf()


def test_core_mask(session, double, log):
    rt = session()
    assert rt.set_core_mask(0) == 0 and rt.set_core_mask(0.0) == 0
    assert double.log("zelt_set_core_mask") == [] and log.of("e") == []
    assert rt.set_core_mask(True) == 0
    assert double.last("zelt_set_core_mask")["mask"] == 1
    assert log.of("e") == [("The core_mask is only supported by TX5100. Please do not set this parameter on other "
                            "platforms.",)]
    rt.target_soc = "TX5100"
    rt.set_core_mask(5)
    assert log.of("e")[-1] == ("The core mode 5 is not supported currently.",)
    for code, shown in ((-1, "ZELT_ERR_FAIL"), (-42, "-42")):
        double.set("ret.zelt_set_core_mask", code)
        with pytest.raises(Exception, match=f"^ZELT set core mask failed. error code: {shown}$"):
            rt.set_core_mask(7)
    with pytest.raises(TypeError):
        rt.set_core_mask(1.5)


def stand_in_session(lib, **attrs):
    """A hand-made remote KESTA session on a stand-in library (no context attribute yet)."""
    return bare(**{"root_dir": "/r", "target": "TX1100", "target_soc": "TX1100", "npu_model": "KESTA",
                   "is_npu_self": False, "is_npu_assemble": False, "device_id": None, "perf_debug": False,
                   "eval_memory": False, "async_mode": False, "zelt2precompile": False, "adb_path": None, "lib": lib,
                   **attrs})


def test_build_graph_on_a_session_without_a_context_yet():
    lib = mock.MagicMock()
    lib.zelt_init2.side_effect = lambda context_p, *rest: context_p.__setitem__(0, 77) or 0
    rt = stand_in_session(lib)
    assert rt.build_graph(b"model") == 0 and (rt.context, rt.graph_is_built) == (77, True)
    lib.zelt_destroy.assert_not_called()


@pytest.mark.parametrize("dressed_as_cdll", [False, True])
def test_a_loader_handing_out_the_same_stand_in_again(monkeypatch, dressed_as_cdll):
    lib = mock.MagicMock(ctypes.CDLL) if dressed_as_cdll else mock.MagicMock()  # also what _load_libdl gets
    for name in ("zelt_init", "zelt_init2", "zelt_run", "zelt_destroy", "zelt_query", "zelt_inputs_set",
                 "zelt_outputs_get", "zelt_outputs_release", "dlclose", "_handle"):
        setattr(lib, name, mock.MagicMock())
    monkeypatch.setattr(zr, "CDLL", mock.MagicMock(return_value=lib))
    for context in (5, 6):
        lib.zelt_init2.side_effect = lambda context_p, *rest: context_p.__setitem__(0, context) or 0
        rt = stand_in_session(None)
        rt._get_zelt_api_lib_path = lambda: "/x/libzelt_api.so"
        rt._load_library()
        rt.build_graph(b"model")
        assert rt.run() is lib.zelt_run.return_value
        lib.reset_mock(return_value=False, side_effect=False)
        rt.release()
        rt.release()
        assert lib.mock_calls == [mock.call.zelt_destroy(context), mock.call.dlclose(lib._handle)]


@pytest.mark.parametrize("perf_len, expected", [(None, "conv: 3us\n" * 500), (4, "conv")])
def test_run_perf_text_held_only_by_the_stand_ins_structure(perf_len, expected):
    def query(context, cmd, info, size):
        perf = ctypes.cast(info, ctypes.POINTER(zr.ZELTPerfDetail)).contents
        text = ("conv: %dus\n" % 3 * 500).encode()  # a new object: only the structure keeps it
        perf.perf_data, perf.data_len = text, len(text) if perf_len is None else perf_len
        return 0

    lib = mock.MagicMock()
    lib.zelt_query.side_effect = query
    rt = stand_in_session(lib, context=3, perf_debug=True)
    for _ in range(3):
        assert rt.get_run_perf() == expected
        [bytes(len(expected) + 16) for _ in range(64)]  # reuse freed memory
    assert lib.zelt_query.call_args[0][1:2] == (zr.ZELT_QUERY_PERF_DETAIL,)


@pytest.mark.parametrize("dtype, fmt", [("float32", "f"), ("int64", -1), ("bool", "?"), ("uint8", -1)])
def test_type_format(dtype, fmt):
    assert RT._get_type_format(np.dtype(dtype)) == fmt


@pytest.mark.parametrize("released", [True, False])
def test_library_object_is_freed_with_its_session(chipmap, double, log, released):
    import gc
    import weakref
    rt = zr.ZELTRuntime(double.root, "SIMULATOR", None)
    rt.build_graph(model())
    rt.set_inputs([np.zeros((1, 2, 2, 3), np.uint8)], None, None)
    lib = weakref.ref(rt.lib)
    if released:
        rt.release()
    del rt
    gc.collect()
    assert lib() is None


def test_release_during_a_call_in_another_thread_is_refused(session, double):
    import threading
    import time
    rt = session()
    rt.set_inputs([np.zeros((1, 2, 2, 3), np.uint8)], None, None)
    double.set("run_sleep_ms", 500)
    results = []
    worker = threading.Thread(target=lambda: results.append(rt.run()))
    worker.start()
    deadline = time.monotonic() + 10
    while not double.ctl.zd_in_slow_run() and time.monotonic() < deadline:
        time.sleep(0.005)
    with pytest.raises(Exception, match="^E The runtime is in use by another thread"):
        rt.release()
    worker.join()
    assert results == [0]
    rt.release()
    assert double.live_contexts() == 0
