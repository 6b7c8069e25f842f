"""The ZELTLite facade on the simulator: metadata, checked inputs, results like onnxruntime, clear errors."""
import os
import threading

import numpy as np
import pytest

onnx = pytest.importorskip("onnx")
ort = pytest.importorskip("onnxruntime")

from conftest import fake_tool  # noqa: E402
from onnx_models import Builder, mobilenet_like  # noqa: E402
from zeltlite.api import ZELTLite  # noqa: E402
from zeltlite.api import zelt_runtime as zr  # noqa: E402
from zeltlite.api.npu_config import npu_chipmap  # noqa: E402
from zeltlite.api.zelt_lite import parse_perf_table  # noqa: E402
from zeltlite.convert import compile_model  # noqa: E402


def two_inputs_model():
    """image (1,3,8,8) and vec (1,4) -> pooled (1,4) and pooled + vec (1,4)."""
    b = Builder(seed=5)
    pooled = b.op("Flatten", [b.op("GlobalAveragePool", [b.conv("image", 3, 4, 3)])], axis=1)
    total = b.op("Add", [pooled, "vec"])
    return b.model([("image", [1, 3, 8, 8]), ("vec", [1, 4])], [pooled, total])


@pytest.fixture(scope="module")
def models(tmp_path_factory):
    root = tmp_path_factory.mktemp("models")
    made = {}
    for name, model in (("mobilenet", mobilenet_like(size=32, width=0.35, classes=10, seed=1)),
                        ("two", two_inputs_model())):
        path = root / (name + ".zelt")
        path.write_bytes(compile_model(model, "tx5100"))
        made[name] = (str(path), ort.InferenceSession(model.SerializeToString(), providers=["CPUExecutionProvider"]))
    return made


@pytest.fixture
def lite(models):
    made = []

    def start(name="mobilenet", **options):
        facade = ZELTLite()
        made.append(facade)
        facade.load_zelt(models[name][0])
        facade.init_runtime(target=options.pop("target", "simulator"), **options)
        return facade

    yield start
    for facade in made:
        facade.release()


def reference(models, name, feeds):
    return models[name][1].run(None, feeds)


def test_metadata_in_the_style_of_get_input_details(lite):
    facade = lite("two")
    none = {"type": "none", "zero_point": 0, "scale": 1.0, "fl": 0}
    assert facade.get_inputs() == [
        {"index": 0, "name": "image", "shape": (1, 8, 8, 3), "dtype": "float32", "layout": "NHWC",
         "size": 768, "quantization": none},
        {"index": 1, "name": "vec", "shape": (1, 4), "dtype": "float32", "layout": "UNDEFINED", "size": 16,
         "quantization": none},
    ]
    outputs = facade.get_outputs()
    assert [(o["shape"], o["dtype"], o["layout"]) for o in outputs] == [((1, 4), "float32", "UNDEFINED")] * 2
    facade.get_inputs()[0]["quantization"]["scale"] = 7.0  # a copy: the facade's own view stays
    assert facade.get_inputs()[0]["quantization"]["scale"] == 1.0
    assert "target=simulator" in repr(facade) and "('image', (1, 8, 8, 3))" in repr(facade)


@pytest.mark.parametrize("form", ["list", "tuple", "dict", "nchw", "nchw-list"])
def test_inputs_in_every_form_give_onnxruntime_results(lite, models, form):
    rng = np.random.default_rng(0)
    image = rng.random((1, 3, 8, 8), dtype=np.float32)
    vec = rng.random((1, 4), dtype=np.float32)
    nhwc = image.transpose(0, 2, 3, 1)
    facade = lite("two")
    if form == "list":
        outputs = facade.inference([nhwc, vec])
    elif form == "tuple":
        outputs = facade.inference((nhwc, vec))
    elif form == "dict":
        outputs = facade.inference({"vec": vec, "image": nhwc})
    elif form == "nchw":
        outputs = facade.inference([image, vec], data_format="nchw")
    else:
        outputs = facade.inference([image, vec], data_format=["NCHW", "nhwc"])
    want = reference(models, "two", {"image": image, "vec": vec})
    assert [o.dtype for o in outputs] == [np.float32] * 2
    for got, exp in zip(outputs, want):
        np.testing.assert_allclose(got, exp, rtol=1e-5, atol=1e-6)


def test_single_input_array_integer_pixels_and_frame_ids(lite, models):
    facade = lite()
    pixels = np.random.default_rng(1).integers(0, 256, (1, 32, 32, 3), dtype=np.uint8)
    (got,), frame = facade.inference(pixels, get_frame_id=True)
    (again,), next_frame = facade.inference(pixels.astype(np.float32), get_frame_id=True)
    np.testing.assert_array_equal(got, again)  # the runtime converts integer pixels itself
    assert next_frame == frame + 1
    want = reference(models, "mobilenet", {"input": pixels.transpose(0, 3, 1, 2).astype(np.float32)})[0]
    np.testing.assert_allclose(got, want, rtol=1e-4, atol=1e-4 * np.abs(want).max())


def test_data_type_confirms_dtypes_and_leaves_the_callers_list_alone(lite):
    facade = lite("two")
    image, vec = np.zeros((1, 8, 8, 3), np.float32), np.zeros((1, 4), np.float32)
    names = ["float32", "float32"]
    facade.inference([image, vec], data_type=names)
    facade.inference([image, vec], data_type=names)  # the session would have turned the names into codes
    facade.inference([image, vec], data_type=("float32", "float32"))
    assert names == ["float32", "float32"]
    with pytest.raises(TypeError, match="input 'vec' is float32, not the data_type uint8"):
        facade.inference([image, vec], data_type=["float32", "uint8"])


@pytest.mark.parametrize(
    "make, error, parts",
    [
        (lambda i, v: [i.transpose(0, 3, 1, 2), v], ValueError,
         ["Got invalid dimensions for input 'image'", "expected (1, 8, 8, 3) (NHWC layout)", "got (1, 3, 8, 8)",
          "data_format='nchw'"]),
        (lambda i, v: [i[0], v], ValueError,
         ["Got invalid rank for input 'image'", "expected rank 4 (shape (1, 8, 8, 3), NHWC layout)",
          "got rank 3 (shape (8, 8, 3))"]),
        (lambda i, v: [i, v[:, :3]], ValueError,
         ["Got invalid dimensions for input 'vec'", "expected (1, 4)", "got (1, 3)"]),
        (lambda i, v: [i.astype(np.float64), v], TypeError,
         ["Got invalid dtype for input 'image': float64", "expected float32"]),
        (lambda i, v: [i, v.tolist()], TypeError, ["input 'vec' must be a numpy.ndarray, got list"]),
        (lambda i, v: [i], ValueError, ["the model takes 2 input(s) ['image', 'vec'], got 1"]),
        (lambda i, v: {"image": i, "vector": v}, ValueError, ["unknown ['vector']", "missing ['vec']"]),
        (lambda i, v: "image.png", TypeError, ["inputs must be a numpy array", "got str"]),
        (lambda i, v: None, TypeError, ["got NoneType"]),
    ],
)
def test_bad_inputs_are_refused_before_the_runtime(lite, make, error, parts):
    facade = lite("two")
    image, vec = np.zeros((1, 8, 8, 3), np.float32), np.zeros((1, 4), np.float32)
    with pytest.raises(error) as info:
        facade.inference(make(image, vec))
    for part in parts:
        assert part in str(info.value)
    assert len(facade.inference([image, vec])) == 2  # the session is still fine


@pytest.mark.parametrize(
    "kwargs, parts",
    [
        ({"data_format": "nchw8c"}, ["data_format 'nchw8c' is not one of nhwc, nchw"]),
        ({"data_format": ["nhwc"]}, ["data_format has 1 entries for 2 input(s)"]),
        ({"data_type": "float64"}, ["data_type 'float64' is not one of"]),
        ({"inputs_pass_through": [1]}, ["inputs_pass_through has 1 entries for 2 input(s)"]),
        ({"inputs_pass_through": "yes"}, ["one flag (True/False or 1/0) per input, got 'yes'"]),
        ({"inputs_pass_through": [1, 0]}, ["Got invalid size for pass-through input 'image'", "768 bytes, got 192"]),
    ],
)
def test_bad_options_are_refused(lite, kwargs, parts):
    facade = lite("two")
    image = np.zeros((1, 8, 8, 3), np.uint8)
    with pytest.raises(ValueError) as info:
        facade.inference([image, np.zeros((1, 4), np.float32)], **kwargs)
    for part in parts:
        assert part in str(info.value)


def test_pass_through_hands_the_models_own_layout(lite, models):
    facade = lite("two")
    with pytest.raises(TypeError, match="invalid dtype for pass-through input 'image': float64"):
        facade.inference([np.zeros(96), np.ones((1, 4), np.float32)], inputs_pass_through=[1, 0])  # 768 bytes
    image = np.random.default_rng(2).random((1, 3, 8, 8), dtype=np.float32)
    vec = np.ones((1, 4), np.float32)
    got = facade.inference([image, vec], inputs_pass_through=[True, False])  # NCHW float32 bytes as they are
    want = reference(models, "two", {"image": image, "vec": vec})
    np.testing.assert_allclose(got[1], want[1], rtol=1e-5, atol=1e-6)


def test_calls_out_of_order_say_what_to_do(models, tmp_path):
    facade = ZELTLite()
    assert repr(facade) == "<ZELTLite: no model>"
    with pytest.raises(RuntimeError, match=r"call load_zelt\(\) and init_runtime\(\) first"):
        facade.inference(np.zeros(1))
    with pytest.raises(RuntimeError, match=r"call load_zelt\(\) before init_runtime\(\)"):
        facade.init_runtime("simulator")
    facade.load_zelt(models["two"][0])
    with pytest.raises(RuntimeError, match=r"get_inputs\(\) needs a running session: call init_runtime\(\) first"):
        facade.get_inputs()
    with ZELTLite() as scoped:
        scoped.load_zelt(models["two"][0])
        scoped.init_runtime("simulator")
    with pytest.raises(RuntimeError, match="needs a running session"):
        scoped.inference([])
    scoped.release()  # again: harmless


@pytest.mark.parametrize(
    "content, error, part",
    [
        (None, FileNotFoundError, "model file not found"),
        ("dir", IsADirectoryError, "is a directory"),
        (b"", ValueError, "is not a model container"),
        (b"ZELT\0\0\0\0\1", ValueError, "is not a model container"),  # cut inside the header
        (b"not a container at all, just text", ValueError, "is not a model container"),
        (42, TypeError, "model file must be a path"),
    ],
)
def test_load_refuses_what_is_not_a_container(tmp_path, content, error, part):
    path = tmp_path / "m.zelt"
    if isinstance(content, bytes):
        path.write_bytes(content)
    elif content == "dir":
        path.mkdir()
    with pytest.raises(error, match=part):
        ZELTLite().load_zelt(path if content != 42 else 42)


@pytest.mark.parametrize(
    "kwargs, error, part",
    [
        ({"target": "tx9999"}, ValueError, "unknown target 'tx9999': valid targets are simulator, tx1100"),
        ({"target": "tx1200"}, ValueError, "the model was compiled for TX5100 and runs on TX5100, not on TX1200"),
        ({"target": 5100}, TypeError, "target must be a str or None"),
        ({"target": "simulator", "core_mask": 5}, ValueError, "core_mask 5 is not one of the NPU core masks"),
        ({"target": "simulator", "core_mask": 1.0}, ValueError, "core_mask 1.0 is not one of the NPU core masks"),
        ({"target": "simulator", "device_id": 3}, TypeError, "device_id must be a str or None"),
    ],
)
def test_init_runtime_refusals(models, kwargs, error, part):
    facade = ZELTLite()
    facade.load_zelt(models["two"][0])
    with pytest.raises(error, match=part):
        facade.init_runtime(**kwargs)


def test_simulator_leaves_the_chip_map_and_the_session_class_alone(models):
    chipmap = os.path.join(npu_chipmap.ROOT_DIR, "config", "npu_chipmap.yml")
    before = open(chipmap, "rb").read()
    methods = dict(vars(zr.ZELTRuntime))
    errors = []

    def plain_session():
        # Another thread asking the session for the simulator by name meanwhile still gets the refusal.
        try:
            zr.ZELTRuntime(zr.ROOT_DIR, "SIMULATOR", None)
        except Exception as exc:
            errors.append(str(exc))

    with ZELTLite() as facade:
        facade.load_zelt(models["two"][0])
        facade.init_runtime(target="SiMuLaToR")
        thread = threading.Thread(target=plain_session)
        thread.start()
        thread.join()
        assert facade.target == "simulator"
        assert len(facade.inference([np.zeros((1, 8, 8, 3), np.float32), np.zeros((1, 4), np.float32)])) == 2
    assert errors and errors[0].startswith("Unsupported target: SIMULATOR!")
    assert "SIMULATOR" not in npu_chipmap.get_support_target_soc()
    assert open(chipmap, "rb").read() == before
    assert dict(vars(zr.ZELTRuntime)) == methods


def test_model_loaded_by_path_on_the_device(models):
    # The simulator library runs on this host, so the device's file system is this one.
    with ZELTLite() as facade:
        facade.load_zelt(models["two"][0], load_model_in_npu=True)
        facade.init_runtime("simulator", eval_mem=True)
        assert [t["name"] for t in facade.get_inputs()] == ["image", "vec"]
        assert len(facade.inference([np.zeros((1, 8, 8, 3), np.float32), np.zeros((1, 4), np.float32)])) == 2
        assert facade.eval_memory(is_print=False)["system_memory"]["maximum_allocation"] > 0


def test_core_mask_on_the_simulator_keeps_results(lite, models):
    pixels = np.random.default_rng(3).random((1, 32, 32, 3), dtype=np.float32)
    auto = lite().inference(pixels)[0]
    one_core = lite(core_mask=zr.NPU_CORE_0).inference(pixels)[0]
    np.testing.assert_allclose(one_core, auto, rtol=1e-5, atol=1e-6)


def test_eval_perf_and_memory(lite, capsys):
    facade = lite(perf_debug=True, eval_mem=True)
    perf = facade.eval_perf()
    assert "OpType" in capsys.readouterr().out
    assert perf["layers"] and {"id", "op_type", "name", "output_shape", "time_us"} <= set(perf["layers"][0])
    assert perf["layers"][0]["op_type"] == "Conv+Act" and perf["layers"][0]["output_shape"] == [1, 8, 16, 16]
    assert perf["run_us"] >= 0 and perf["total_us"] == pytest.approx(sum(r["time_us"] for r in perf["layers"]),
                                                                        abs=0.1 * len(perf["layers"]))
    memory = facade.eval_memory()
    report = capsys.readouterr().out
    assert "Memory Profile Info Dump" in report and "current model size is" in report
    assert list(memory) == ["system_memory", "npu_memory", "total_memory"]
    assert memory["npu_memory"]["maximum_allocation"] > 0
    assert facade.eval_memory(is_print=False) == memory and capsys.readouterr().out == ""


@pytest.mark.parametrize("call, part", [("eval_perf", "perf_debug=True"), ("eval_memory", "eval_mem=True")])
def test_evaluations_need_their_collection_switched_on(lite, call, part):
    with pytest.raises(RuntimeError, match=part):
        getattr(lite(), call)()


def test_sdk_version_of_the_simulator(lite):
    banner = lite().get_sdk_version()
    lines = banner.splitlines()
    assert len(lines) == 5 and lines[0] == "=" * 46 and lines[2].startswith("  API: ")


def test_list_devices_reads_both_tools_with_their_state(tools, board):
    adb, ntd = tools
    assert ZELTLite.list_devices() == {"adb": None, "ntb": None}  # neither tool installed
    fake_tool(adb, {"devices": (0, "List of devices attached\nSER1\tdevice\nSER2\tunauthorized\nnoise\n\n", "")})
    fake_tool(ntd, {"devices": (0, "DEV1 online USB_DEVICE\nDEV2 online USB\nDEV3 idle PCIE\n", "")})
    assert ZELTLite.list_devices() == {
        "adb": [{"id": "SER1", "state": "device"}, {"id": "SER2", "state": "unauthorized"}],
        "ntb": [{"id": "DEV1", "state": "online", "kind": "USB_DEVICE"},
                {"id": "DEV3", "state": "idle", "kind": "PCIE"}],
    }
    fake_tool(adb, {"devices": (1, "", "daemon not running")})
    with pytest.raises(RuntimeError, match=r"adb devices failed \(exit status 1\): daemon not running"):
        ZELTLite.list_devices()


def test_list_support_target_platform(models, tmp_path, capsys):
    assert ZELTLite.list_support_target_platform() is None
    assert "chip family 4: TX5100" in capsys.readouterr().out
    assert ZELTLite.list_support_target_platform(models["two"][0])["support_target_platform"] == ["TX5100"]
    junk = tmp_path / "junk.bin"
    junk.write_bytes(b"\x7fELF" + bytes(60))
    with pytest.raises(ValueError, match="is not a model container"):
        ZELTLite.list_support_target_platform(junk)


def test_perf_table_parsing_keeps_names_with_spaces():
    text = ("ID   OpType   Name          OutputShape   Time(us)\n"
            "0    Conv     first conv    [1,8,4,4]     12.5\n"
            "1    Relu     r             [1,8,4,4]     0.5\n"
            "\nTotal operator time (us): 13.0\nRun duration (us): 15\n")
    perf = parse_perf_table(text)
    assert perf["layers"] == [
        {"id": 0, "op_type": "Conv", "name": "first conv", "output_shape": [1, 8, 4, 4], "time_us": 12.5},
        {"id": 1, "op_type": "Relu", "name": "r", "output_shape": [1, 8, 4, 4], "time_us": 0.5},
    ]
    assert (perf["total_us"], perf["run_us"]) == (13.0, 15.0)
    assert parse_perf_table("")["layers"] == [] and parse_perf_table("")["run_us"] is None


def test_a_missing_runtime_library_names_the_target(models, tools, board):
    # A package root without host-side libraries (the tools fixture points the module there).
    facade = ZELTLite()
    facade.load_zelt(models["two"][0])
    with pytest.raises(RuntimeError, match="cannot load the NPU runtime library for target TX5100: .*libzelt_api.so"):
        facade.init_runtime("tx5100")
    with pytest.raises(RuntimeError, match="for the simulator: .*libzelt_runtime.so"):
        facade.init_runtime("simulator")
    facade.release()


def test_whatever_the_caller_passes_only_documented_errors_come_back(lite):
    from hypothesis import HealthCheck, given, settings
    from hypothesis import strategies as st

    facade = lite("two")
    arrays = st.builds(
        lambda shape, dtype: np.zeros(shape, dtype),
        st.lists(st.integers(0, 9), max_size=5).map(tuple),
        st.sampled_from(["float32", "float64", "uint8", "int64", "bool", "complex64", "U3", "object"]))
    junk = st.one_of(st.none(), st.integers(), st.text(max_size=5), arrays, st.lists(st.integers(), max_size=3))
    inputs = st.one_of(junk, st.lists(junk, max_size=3), st.tuples(arrays, arrays),
                       st.dictionaries(st.sampled_from(["image", "vec", "x"]), junk, max_size=3))
    options = st.one_of(st.none(), st.text(max_size=6), st.integers(), st.lists(st.sampled_from(["nchw", "nhwc", 1]),
                                                                                max_size=3))

    @settings(max_examples=300, deadline=None, suppress_health_check=list(HealthCheck))
    @given(inputs, options, options, options)
    def check(value, data_type, data_format, pass_through):
        try:
            facade.inference(value, data_type=data_type, data_format=data_format, inputs_pass_through=pass_through)
        except (TypeError, ValueError) as exc:
            assert str(exc)
    check()
    assert len(facade.inference([np.zeros((1, 8, 8, 3), np.float32), np.zeros((1, 4), np.float32)])) == 2
