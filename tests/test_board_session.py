"""End to end through the virtual board: ZELTRuntime sessions with the shipped chip map find the ntb device,
start or reuse npu_tetherd, load the host library of their family and run compiled models with outputs equal,
bit for bit, to the in-process simulator library's."""
import os
import subprocess
import sys
import time

import psutil
import pytest

pytest.importorskip("onnx")

import boardlib  # noqa: E402
from boardlib import PACKAGE_ROOT, nhwc_input, proxies_started_by_us, reference  # noqa: E402
from conftest import touch_functions  # noqa: E402
from onnx_models import mobilenet_like  # noqa: E402
from zeltlite.api import zelt_perf  # noqa: E402
from zeltlite.api import zelt_runtime as zr  # noqa: E402
from zeltlite.convert import compile_model  # noqa: E402

TWO_BOARDS = ("--board", "vboard0:TX5100", "--board", "vboard1:TX2100")


@pytest.fixture(scope="module")
def model():
    return mobilenet_like(size=64, width=0.35, classes=16, seed=3)


@pytest.fixture(scope="module")
def container(model):
    return compile_model(model, ["tx5100", "tx2100"])


@pytest.fixture(scope="module")
def x():
    return nhwc_input((1, 3, 64, 64), seed=1)


@pytest.fixture(scope="module")
def want(container, x):
    return reference(container, [x])


def cycle(rt, x):
    assert rt.set_inputs([x], None, None) == 0
    assert rt.run() == 0
    return rt.get_outputs()


@pytest.fixture(params=["direct", "ctypes"])
def path(request):
    return request.param


def session(path, target, device_id=None, **kwargs):
    rt = zr.ZELTRuntime(PACKAGE_ROOT, target, device_id, **kwargs)
    if path == "ctypes":
        touch_functions(rt.lib)
    return rt


def test_tx5100_session_starts_the_proxy_detached_then_reuses_it(proxy, container, x, want):
    proxy.stop()
    if zr.ZELTRuntime._whether_ntd_running():
        pytest.skip("an npu_tetherd of someone else is running on this host")
    rt = zr.ZELTRuntime(PACKAGE_ROOT, "tx5100", None, perf_debug=True)
    try:
        started = proxies_started_by_us()
        assert len(started) == 1
        deadline = time.monotonic() + 20  # it settles once it listens (slower under a sanitizer)
        while started[0].status() != "sleeping" and time.monotonic() < deadline:
            time.sleep(0.05)
        assert started[0].status() == "sleeping"
        assert rt.lib._name == boardlib.API_LIBS["TALUN"]
        assert rt.build_graph(container) == 0
        got = cycle(rt, x)
        assert [g.tobytes() for g in got] == [w.tobytes() for w in want]
        assert "Run duration (us):" in rt.get_run_perf()
        _, api, drv = rt.get_sdk_version()
        assert "TALUN" in api and "TX5100" in drv
        assert rt.set_core_mask(zr.NPU_CORE_0_1) == 0
        assert [g.tobytes() for g in cycle(rt, x)] == [w.tobytes() for w in want]

        again = zr.ZELTRuntime(PACKAGE_ROOT, "TX5100", None)
        try:
            assert again.build_graph(container) == 0
            assert [g.tobytes() for g in cycle(again, x)] == [w.tobytes() for w in want]
            assert [p.pid for p in proxies_started_by_us()] == [started[0].pid]
        finally:
            again.release()
    finally:
        rt.release()
        proxy.stop()
    assert proxies_started_by_us() == []


@pytest.mark.parametrize("target,device_id,family,shape", [("tx5100", "vboard0", "TALUN", [1, 16]),
                                                           ("tx2100", "vboard1", "KESTA_VORIN", [16, 1])])
def test_board_chosen_by_device_id_matches_the_simulator(proxy, path, container, x, want, target, device_id,
                                                         family, shape):
    proxy.start(*TWO_BOARDS)
    assert zr.ZELTRuntime.get_ntb_devices() == ["vboard0", "vboard1"]
    rt = session(path, target, device_id, eval_memory=True)
    try:
        assert rt.lib._name == boardlib.API_LIBS[family]
        assert rt.build_graph(container) == 0
        assert rt.get_in_out_num() == (1, 1)
        assert rt.get_output_shape(0) == shape  # KESTA/VORIN list dims last first
        for _ in range(3):
            assert [g.tobytes() for g in cycle(rt, x)] == [w.tobytes() for w in want]
        ret, frame = rt.run(get_frame_id=True)
        assert (ret, frame) == (0, 4)
        assert rt.get_sdk_version()[2].startswith("1.0.0 (npu_tetherd virtual board {}".format(target.upper()))
    finally:
        rt.release()


def test_memory_profile_text_of_the_board_reads_as_a_report(proxy, container, x):
    proxy.start(*TWO_BOARDS)
    lib = boardlib.load_api("KESTA_VORIN")
    flag = boardlib.simlib.ZELT_FLAG_PRIOR_MEDIUM | boardlib.simlib.ZELT_FLAG_PRIV_COLLECT_MEMPROFILE_MASK
    ret, ctx = boardlib.init2(lib, container, "vboard1", flag)
    assert ret == 0
    m = boardlib.simlib.Model.__new__(boardlib.simlib.Model)
    m.lib, m.ctx = lib, boardlib.ctypes.c_ulonglong(ctx)
    try:
        m.infer([x], fmt=boardlib.simlib.NHWC)
        d = boardlib.simlib.ZELTPerfDetail()
        assert m.query(boardlib.simlib.ZELT_QUERY_MEM_SIZE, d) == 0
        detail = zelt_perf.collect_memory_detail(d.perf_data.decode())
        assert detail["npu_memory"]["maximum_allocation"] > 0
        assert detail["system_memory"]["total_allocation"] >= len(container)
    finally:
        m.close()


@pytest.mark.parametrize("target,device_id,container_targets,message", [
    ("tx2100", "vboard0", ["tx2100"], "ZELT_ERR_DEVICE_UNMATCH"),
    ("tx2100", "vboard1", ["tx5100"], "ZELT_ERR_TARGET_PLATFORM_UNMATCH"),
    ("tx5100", "vboard0", ["tx2100"], "ZELT_ERR_TARGET_PLATFORM_UNMATCH"),
    ("tx2100", "vboard7", ["tx2100"], "ZELT_ERR_DEVICE_UNAVAILABLE"),
])
def test_board_refusals_reach_the_session(proxy, monkeypatch, model, target, device_id, container_targets,
                                          message):
    proxy.start(*TWO_BOARDS)
    if device_id == "vboard7":  # no ntb device of that id: skip the channel set-up to reach the library
        monkeypatch.setattr(zr.ZELTRuntime, "_connect", lambda self: 0)
    rt = zr.ZELTRuntime(PACKAGE_ROOT, target, device_id)
    try:
        with pytest.raises(Exception, match="ZELT init failed. error code: " + message):
            rt.build_graph(compile_model(model, container_targets))
        assert rt.context is None
    finally:
        rt.release()


def test_several_boards_and_no_device_id_is_refused_by_the_session(proxy, record_log):
    proxy.start(*TWO_BOARDS)
    log = record_log(zr)
    with pytest.raises(Exception, match="^Init runtime environment failed!$"):
        zr.ZELTRuntime(PACKAGE_ROOT, "tx2100", None)
    assert any("More than 1 device" in t for t in log.texts("e"))


def test_proxy_gone_makes_the_next_cycle_raise(proxy, container, x):
    proxy.start()
    rt = zr.ZELTRuntime(PACKAGE_ROOT, "tx5100", None)
    try:
        assert rt.build_graph(container) == 0
        cycle(rt, x)
        proxy.stop()
        t0 = time.monotonic()
        assert rt.set_inputs([x], None, None) == 0  # staged on the host side
        assert rt.run() == boardlib.ZELT_ERR_DEVICE_UNAVAILABLE
        with pytest.raises(Exception, match="^E Get outputs failed, error code: ZELT_ERR_DEVICE_UNAVAILABLE$"):
            rt.get_outputs()
        assert time.monotonic() - t0 < 2
    finally:
        rt.release()


@pytest.mark.parametrize("proxy_before", [False, True])
def test_one_shot_command_stops_only_the_proxy_it_started(proxy, proxy_before):
    """`zeltlite run` on a board target leaves the host as it found it: a proxy it had to start is stopped,
    one that was running is kept."""
    proxy.stop()
    if zr.ZELTRuntime._whether_ntd_running():
        pytest.skip("an npu_tetherd of someone else is running on this host")
    if proxy_before:
        proxy.start()
    started_at = time.time()
    done = subprocess.run([sys.executable, "-m", "zeltlite", "run", "--example", "--target", "tx5100"],
                          capture_output=True, text=True, timeout=300)
    left = [p for p in psutil.process_iter(["exe", "create_time"])
            if p.info["exe"] == os.path.realpath(boardlib.NTD_PATH) and p.info["create_time"] >= started_at - 1
            and (proxy.proc is None or p.pid != proxy.proc.pid)]
    for p in left:  # what the command left behind, stopped by pid
        boardlib.stop_process(p)
    assert done.returncode == 0, done.stderr
    assert "latency:" in done.stdout
    assert left == []
    assert boardlib.proxy_answers() == proxy_before
    proxy.stop()
