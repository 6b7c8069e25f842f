"""npu_tetherd and the host libraries through their C ABI: board list and options, board choice, refusals,
model-in-NPU files, input and output checks, limits, and a SIGTERM that lets the call in flight finish."""
import ctypes
import os
import subprocess
import threading
import time

import numpy as np
import psutil
import pytest

pytest.importorskip("onnx")

import simlib  # noqa: E402
from boardlib import (API_LIBS, NTD_PATH, ZELT_ERR_DEVICE_UNAVAILABLE, ZELT_ERR_DEVICE_UNMATCH,  # noqa: E402
                      ZELT_ERR_TARGET_PLATFORM_UNMATCH, conv_model, init2, load_api, nhwc_input, reference)
from onnx_models import mobilenet_like  # noqa: E402
from zeltlite.api.zelt_model import ZELTModel  # noqa: E402
from zeltlite.convert import compile_model  # noqa: E402

TWO_BOARDS = ("--board", "vboard0:TX5100", "--board", "vboard1:TX2100")


@pytest.fixture(scope="module")
def small():
    return compile_model(conv_model(size=8), ["tx5100", "tx2100"])


@pytest.fixture(scope="module")
def libs():
    return {family: load_api(family) for family in API_LIBS}


class Ctx(simlib.Model):
    """A context of a host library made with zelt_init2 (or the TALUN zelt_init)."""

    def __init__(self, lib, data, device_id=None, flag=simlib.ZELT_FLAG_PRIOR_MEDIUM, talun_init=False):
        self.lib = lib
        if talun_init:
            self.ctx = ctypes.c_ulonglong(0)
            ret = lib.zelt_init(ctypes.byref(self.ctx), data, len(data), flag, simlib.ZELTRtInitExtend())
        else:
            ret, ctx = init2(lib, data, device_id, flag)
            self.ctx = ctypes.c_ulonglong(ctx)
        if ret != 0:
            raise simlib.RuntimeError_("zelt_init", ret)


def init_status(lib, data, device_id=None, flag=simlib.ZELT_FLAG_PRIOR_MEDIUM):
    ret, ctx = init2(lib, data, device_id, flag)
    if ret == 0:
        lib.zelt_destroy(ctx)
    return ret


def devices(*args):
    out = subprocess.run([NTD_PATH, *args, "devices"], capture_output=True, text=True, timeout=30)
    return out.returncode, out.stdout


@pytest.mark.parametrize("args,lines", [
    ((), ["vboard0 device USB_DEVICE"]),
    (TWO_BOARDS, ["vboard0 device USB_DEVICE", "vboard1 device USB_DEVICE"]),
])
def test_devices_lists_the_running_proxy_boards(proxy, args, lines):
    proxy.start(*args)
    # The running proxy answers, whatever the asking command line would configure.
    assert devices("--board", "other:TX1200") == (0, "\n".join(lines) + "\n")


def test_devices_without_a_proxy_lists_the_configured_boards(proxy, tmp_path):
    proxy.stop()
    assert devices() == (0, "vboard0 device USB_DEVICE\n")
    conf = tmp_path / "boards.conf"
    conf.write_text("# two boards\nboard b1 tx4100\nboard b2 TM2200 1  # trailing comment\nmax_model_mb 8\n")
    assert devices("--config", str(conf)) == (0, "b1 device USB_DEVICE\nb2 device USB_DEVICE\n")


@pytest.mark.parametrize("args", [
    ("--board", "b:TX9999"), ("--board", "b:TX5100:4"), ("--board", "b:TX5100", "--board", "b:TX2100"),
    ("--config", "/nonexistent.conf"), ("--max-model-mb", "0"), ("--bogus",), ("--board",),
])
def test_bad_options_are_refused(proxy, args):
    proxy.stop()
    assert devices(*args)[0] == 2


@pytest.mark.parametrize("line", ["board", "board x TX5100 3 extra", "speed 3", "max_model_mb lots"])
def test_bad_config_lines_are_refused(proxy, tmp_path, line):
    proxy.stop()
    conf = tmp_path / "bad.conf"
    conf.write_text(line + "\n")
    assert devices("--config", str(conf))[0] == 2


def test_second_proxy_exits_at_once(proxy):
    proxy.start()
    second = subprocess.run([NTD_PATH], capture_output=True, text=True, timeout=30)
    assert second.returncode == 1 and "cannot serve" in second.stderr


def test_no_proxy_gives_device_unavailable_quickly(proxy, libs, small):
    proxy.stop()
    t0 = time.monotonic()
    for lib in libs.values():
        assert init_status(lib, small) == ZELT_ERR_DEVICE_UNAVAILABLE
    assert time.monotonic() - t0 < 6


@pytest.mark.parametrize("family,device_id,targets,status", [
    ("TALUN", "vboard0", ["tx5100"], 0),
    ("KESTA_VORIN", "vboard1", ["tx2100"], 0),
    ("KESTA_VORIN", "vboard1", ["TX2100", "tx5100"], 0),
    ("KESTA_VORIN", "vboard0", ["tx5100"], ZELT_ERR_DEVICE_UNMATCH),
    ("TALUN", "vboard1", ["tx2100"], ZELT_ERR_DEVICE_UNMATCH),
    ("TALUN", "vboard0", ["tx4100"], ZELT_ERR_TARGET_PLATFORM_UNMATCH),
    ("KESTA_VORIN", "vboard1", ["tm2100"], ZELT_ERR_TARGET_PLATFORM_UNMATCH),
    ("KESTA_VORIN", None, ["tx2100"], simlib.ZELT_ERR_PARAM_INVALID),  # two boards, none named
    ("TALUN", "nosuch", ["tx5100"], ZELT_ERR_DEVICE_UNAVAILABLE),
])
def test_board_choice_and_refusals(proxy, libs, family, device_id, targets, status):
    proxy.start(*TWO_BOARDS)
    assert init_status(libs[family], compile_model(conv_model(size=8), targets), device_id) == status


def test_talun_zelt_init_picks_the_board_of_its_family(proxy, libs, small):
    proxy.start(*TWO_BOARDS)
    x = nhwc_input((1, 3, 8, 8))
    with Ctx(libs["TALUN"], small, talun_init=True) as m:
        assert m.infer([x], fmt=simlib.NHWC)[0].tobytes() == reference(small, [x])[0].tobytes()
        v = simlib.ZELTSDKVersion()
        assert m.query(simlib.ZELT_QUERY_SDK_VERSION, v) == 0
        assert b"TX5100" in v.drv_version and v.api_version.startswith(b"1.0.0 ")


@pytest.mark.parametrize("config,status", [
    (b'{"target_platform": ["tx5100"]}', 0),
    (b'{"other": {"target_platform": ["tx5100"]}, "target_platform": ["TX4100", "TX5100"]}', 0),
    (b'{"target_platform": "TX5100"}', ZELT_ERR_TARGET_PLATFORM_UNMATCH),  # not a list of names
    (b'{"target_platform": [["TX5100"]]}', ZELT_ERR_TARGET_PLATFORM_UNMATCH),
    (b'{"other": {"target_platform": ["TX5100"]}}', ZELT_ERR_TARGET_PLATFORM_UNMATCH),  # a TX1200 model
    (b'{}', ZELT_ERR_TARGET_PLATFORM_UNMATCH),
    (b'{"target_platform": ["TX5100"]', simlib.ZELT_ERR_MODEL_INVALID),
    (b'{"target_platform": ["TX5100"]} x', simlib.ZELT_ERR_MODEL_INVALID),
    (b'["TX5100"]', simlib.ZELT_ERR_MODEL_INVALID),
    (b'{"a": "\\u00e9\\n", "b": [1, -2.5e3, true, false, null], "target_platform": ["TX5100"]}', 0),
    (b'{"a": "\\q", "target_platform": ["TX5100"]}', simlib.ZELT_ERR_MODEL_INVALID),
    (b'[' * 100 + b']' * 100, simlib.ZELT_ERR_MODEL_INVALID),
])
def test_configuration_section_decides_the_target(proxy, libs, small, config, status):
    proxy.start()
    export = ZELTModel.parse_data(small)[1]
    assert init_status(libs["TALUN"], ZELTModel.create_zelt_model(1, export, config, None, None)) == status


def test_model_without_target_platform_runs_on_a_tx1200_board(proxy, libs, small):
    proxy.start("--board", "k:TX1200")
    export = ZELTModel.parse_data(small)[1]
    assert init_status(libs["KESTA_VORIN"], ZELTModel.create_zelt_model(1, export, b"{}", None, None)) == 0


@pytest.mark.parametrize("data", [b"\0" * 64, b"ZELT\0\0\0\0" + b"\1" * 16, b"x"])
def test_malformed_containers_are_refused(proxy, libs, data):
    proxy.start()
    assert init_status(libs["TALUN"], data) == simlib.ZELT_ERR_MODEL_INVALID


def test_model_size_limit(proxy, libs):
    proxy.start("--max-model-mb", "1")
    big = compile_model(mobilenet_like(size=32, width=1.0, classes=1000), "tx5100")
    assert len(big) > 1 << 20
    assert init_status(libs["TALUN"], big) == simlib.ZELT_ERR_MODEL_INVALID
    assert init_status(libs["TALUN"], compile_model(conv_model(size=8), "tx5100")) == 0


def test_model_in_npu_loads_from_the_board_file_system(proxy, libs, small, tmp_path):
    root = tmp_path / "boards"
    (root / "vboard0" / "data").mkdir(parents=True)
    (root / "vboard0" / "data" / "m.zelt").write_bytes(small)
    (tmp_path / "outside.zelt").write_bytes(small)
    os.symlink(tmp_path / "outside.zelt", root / "vboard0" / "data" / "link.zelt")
    proxy.start("--root", str(root))
    flag = simlib.ZELT_FLAG_PRIOR_MEDIUM | simlib.ZELT_FLAG_LOAD_MODEL_IN_NPU
    x = nhwc_input((1, 3, 8, 8))
    for path in (b"/data/m.zelt", b"data/m.zelt", b"/data/../data/m.zelt\0junk"):
        with Ctx(libs["TALUN"], path, flag=flag) as m:
            assert m.infer([x], fmt=simlib.NHWC)[0].tobytes() == reference(small, [x])[0].tobytes()
    for path in (b"/data/missing.zelt", b"/../outside.zelt", b"/data/link.zelt", b"/data", str(tmp_path /
                                                                                                 "outside.zelt").encode()):
        assert init_status(libs["TALUN"], path, flag=flag) == simlib.ZELT_ERR_MODEL_INVALID, path


def test_every_call_of_the_abi(proxy, libs):
    proxy.start()
    model = conv_model(size=8)
    data = compile_model(model, "tx5100")
    lib = libs["TALUN"]
    flag = simlib.ZELT_FLAG_PRIOR_MEDIUM | simlib.ZELT_FLAG_COLLECT_PERF_MASK
    x = nhwc_input((1, 3, 8, 8))
    with simlib.Model(simlib.load_library(), data) as sim, Ctx(lib, data, "vboard0", flag=flag) as m:
        assert m.counts() == sim.counts() == (1, 1)
        for output in (False, True):
            for cls in (simlib.ZELTTensorAttr, simlib.ZELTRtTensorAttr):
                assert bytes(m.attr(0, output, cls)) == bytes(sim.attr(0, output, cls))
        with pytest.raises(simlib.RuntimeError_):
            m.attr(1)
        assert m.query(simlib.ZELT_QUERY_IN_OUT_NUM, simlib.ZELTSDKVersion()) == simlib.ZELT_ERR_PARAM_INVALID
        assert m.query(99, simlib.ZELTPerfRun()) == simlib.ZELT_ERR_PARAM_INVALID
        assert lib.zelt_query(m.ctx, simlib.ZELT_QUERY_IN_OUT_NUM, None, 8) == simlib.ZELT_ERR_PARAM_INVALID

        outs = (simlib.ZELTOutput * 1)()
        assert lib.zelt_outputs_get(m.ctx, 1, outs, None) == simlib.ZELT_ERR_OUTPUT_INVALID  # no run yet
        assert lib.zelt_run(m.ctx, None) == simlib.ZELT_ERR_INPUT_INVALID
        # Inputs in every layout and type the simulator takes give its outputs.
        for arrays, fmt in (([x], simlib.NHWC), ([np.ascontiguousarray(x.transpose(0, 3, 1, 2))], simlib.NCHW),
                            ([(x * 100).astype(np.uint8)], simlib.NHWC), ([x.astype(np.float16)], simlib.NHWC)):
            assert m.infer(arrays, fmt)[0].tobytes() == sim.infer(arrays, fmt)[0].tobytes()
        assert m.set_inputs([x.transpose(0, 3, 1, 2).copy()], pass_through=1) == 0
        assert m.infer([], simlib.NCHW)[0].tobytes() == sim.infer([x.transpose(0, 3, 1, 2).copy()])[0].tobytes()

        # Bad descriptors are refused before anything is staged.
        assert m.set_inputs([np.ascontiguousarray(x[:, :4])]) == simlib.ZELT_ERR_INPUT_INVALID
        assert m.set_inputs([x, x]) == simlib.ZELT_ERR_PARAM_INVALID
        arr = (simlib.ZELTInput * 1)()
        arr[0].index, arr[0].buf, arr[0].size, arr[0].type, arr[0].fmt = 0, x.ctypes.data, x.nbytes, 0, 7
        assert lib.zelt_inputs_set(m.ctx, 1, arr) == simlib.ZELT_ERR_INPUT_INVALID
        arr[0].fmt, arr[0].size = simlib.NHWC, x.nbytes - 4
        assert lib.zelt_inputs_set(m.ctx, 1, arr) == simlib.ZELT_ERR_INPUT_INVALID
        arr[0].size, arr[0].index = x.nbytes, 1
        assert lib.zelt_inputs_set(m.ctx, 1, arr) == simlib.ZELT_ERR_INPUT_INVALID
        arr[0].index, arr[0].buf = 0, None
        assert lib.zelt_inputs_set(m.ctx, 1, arr) == simlib.ZELT_ERR_INPUT_INVALID
        assert lib.zelt_inputs_set(m.ctx, 2, (simlib.ZELTInput * 2)()) == simlib.ZELT_ERR_PARAM_INVALID
        assert lib.zelt_inputs_set(m.ctx, 1, None) == simlib.ZELT_ERR_PARAM_INVALID

        # Outputs: preallocated and lent buffers; a lent copy outlives later runs.
        ext = simlib.ZELTRunExtend()
        assert lib.zelt_run(m.ctx, ctypes.byref(ext)) == 0
        frame = ext.frame_id
        outs[0].index = 0
        oext = simlib.ZELTOutputExtend()
        assert lib.zelt_outputs_get(m.ctx, 1, outs, ctypes.byref(oext)) == 0 and oext.frame_id == frame
        lent = (ctypes.c_char * outs[0].size).from_address(outs[0].buf).raw
        assert m.infer([x * 2], simlib.NHWC)[0].tobytes() != lent
        assert (ctypes.c_char * outs[0].size).from_address(outs[0].buf).raw == lent
        assert lib.zelt_outputs_release(m.ctx, 1, outs) == 0
        assert lib.zelt_outputs_release(m.ctx, 1, outs) == simlib.ZELT_ERR_OUTPUT_INVALID
        small_buf = (ctypes.c_char * 4)()
        pre = (simlib.ZELTOutput * 1)()
        pre[0].is_prealloc, pre[0].buf, pre[0].size = 1, ctypes.addressof(small_buf), 4
        assert lib.zelt_outputs_get(m.ctx, 1, pre, None) == simlib.ZELT_ERR_OUTPUT_INVALID
        pre[0].index = 3
        assert lib.zelt_outputs_get(m.ctx, 1, pre, None) == simlib.ZELT_ERR_OUTPUT_INVALID

        perf = simlib.ZELTPerfDetail()
        assert m.query(simlib.ZELT_QUERY_PERF_DETAIL, perf) == 0
        assert b"Run duration (us):" in perf.perf_data and perf.data_len == len(perf.perf_data)
        assert m.query(simlib.ZELT_QUERY_MEM_SIZE, perf) == simlib.ZELT_ERR_FAIL  # not asked for at init
        run = simlib.ZELTPerfRun()
        assert m.query(simlib.ZELT_QUERY_PERF_RUN, run) == 0 and run.run_duration >= 0

        # TX5100 has three cores; other masks are refused.
        for mask, status in ((1, 0), (7, 0), (0, 0), (5, simlib.ZELT_ERR_PARAM_INVALID),
                             (8, simlib.ZELT_ERR_PARAM_INVALID)):
            assert lib.zelt_set_core_mask(m.ctx, mask) == status
        # The session passes the handle as a C int off the board: high bits are ignored.
        assert lib.zelt_set_core_mask(m.ctx.value | (0xFFFFFFFF << 32), 3) == 0
        handle = m.ctx.value
    assert lib.zelt_destroy(handle) == simlib.ZELT_ERR_CTX_INVALID
    assert lib.zelt_run(handle, None) == simlib.ZELT_ERR_CTX_INVALID
    assert lib.zelt_set_core_mask(handle, 1) == simlib.ZELT_ERR_CTX_INVALID


def test_core_masks_of_a_one_core_board(proxy, libs, small):
    proxy.start(*TWO_BOARDS)
    with Ctx(libs["KESTA_VORIN"], small, "vboard1") as m:
        assert [m.lib.zelt_set_core_mask(m.ctx, mask) for mask in (0, 1, 2, 3)] == [0, 0, -5, -5]


def test_sigterm_finishes_the_call_in_flight(proxy, libs):
    proc = proxy.start()
    data = compile_model(mobilenet_like(size=160, width=1.0, classes=100), "tx5100")
    x = nhwc_input((1, 3, 160, 160))
    with Ctx(libs["TALUN"], data) as m:
        assert m.set_inputs([x], simlib.NHWC) == 0
        result = {}
        t = threading.Thread(target=lambda: result.update(ret=m.lib.zelt_run(m.ctx, None)))
        t.start()
        time.sleep(0.05)
        proc.terminate()
        t.join(60)
        assert result["ret"] == 0
        assert proc.wait(30) == 0
        # The board is gone: every later call says so, at once.
        assert m.lib.zelt_run(m.ctx, None) == ZELT_ERR_DEVICE_UNAVAILABLE
        assert m.set_inputs([x], simlib.NHWC) == ZELT_ERR_DEVICE_UNAVAILABLE


def test_proxy_idles_in_interruptible_sleep(proxy):
    proc = proxy.start()
    time.sleep(0.3)
    assert psutil.Process(proc.pid).status() == psutil.STATUS_SLEEPING


@pytest.mark.parametrize("offset,size,status", [(8, None, 0), (0, None, simlib.ZELT_ERR_MODEL_INVALID),
                                                (-1, None, simlib.ZELT_ERR_PARAM_INVALID),
                                                (8, 1 << 30, simlib.ZELT_ERR_PARAM_INVALID)])
def test_talun_init_extension_names_the_model_inside_the_buffer(proxy, libs, small, offset, size, status):
    proxy.start()
    buf = b"junkjunk" + small + b"tail"
    ext = simlib.ZELTRtInitExtend()
    ext.real_model_offset, ext.real_model_size = offset, len(small) if size is None else size
    ctx = ctypes.c_ulonglong(0)
    lib = libs["TALUN"]
    assert lib.zelt_init(ctypes.byref(ctx), buf, len(buf), 1, ctypes.byref(ext)) == status
    if status == 0:
        assert ext.zelt_context == ctx.value != 0
        assert lib.zelt_destroy(ctx) == 0
