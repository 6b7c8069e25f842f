"""The command line: every subcommand on a compiled model, on the simulator, and its one-line errors."""
import csv
import importlib.util
import io
import json
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

onnx = pytest.importorskip("onnx")
ort = pytest.importorskip("onnxruntime")

from conftest import fake_tool  # noqa: E402
from onnx_models import mobilenet_like  # noqa: E402
from zeltlite.__main__ import EXAMPLE_LABELS, EXAMPLE_MODEL, main  # noqa: E402
from zeltlite.convert import compile_model  # noqa: E402

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SIM = ["--target", "simulator"]


@pytest.fixture(scope="module")
def onnx_model():
    return mobilenet_like(size=32, width=0.35, classes=10, seed=4)


@pytest.fixture(scope="module")
def files(tmp_path_factory, onnx_model):
    root = tmp_path_factory.mktemp("cli")
    onnx.save(onnx_model, str(root / "net.onnx"))
    (root / "net.zelt").write_bytes(compile_model(onnx_model, "tx5100"))
    return root


@pytest.fixture
def cli(capsys):
    """cli(*argv) -> (exit status, stdout, stderr)."""

    def call(*argv):
        status = main([str(a) for a in argv])
        out = capsys.readouterr()
        return status, out.out, out.err

    return call


def expect_error(result, *parts):
    status, out, err = result
    assert status == 1, (out, err)
    lines = err.strip().splitlines()
    assert lines[-1].startswith("error: ") and "Traceback" not in err, err
    for part in parts:
        assert part in lines[-1], lines[-1]
    return lines[-1]


def test_console_script_is_the_module(files):
    script = shutil.which("zeltlite", path=os.path.dirname(sys.executable))
    assert script, "the zeltlite console script is not installed"
    a = subprocess.run([script, "inspect", files / "net.zelt", "--json"], capture_output=True, text=True)
    b = subprocess.run([sys.executable, "-m", "zeltlite", "inspect", files / "net.zelt", "--json"],
                       capture_output=True, text=True)
    assert a.returncode == b.returncode == 0, a.stderr + b.stderr
    assert json.loads(a.stdout) == json.loads(b.stdout)


def test_targets(cli, files, tmp_path):
    status, out, _ = cli("targets", files / "net.zelt")
    assert status == 0 and "Target platforms supported by this ZELT model: ['TX5100']" in out
    text = tmp_path / "notes.txt"
    text.write_text("just some words, not a container\n")
    line = expect_error(cli("targets", text), "is not a model container")
    assert "NoneType" not in line
    expect_error(cli("targets", tmp_path / "missing.zelt"), "model file not found")


def test_convert_mends(cli, files, tmp_path):
    expect_error(cli("convert", files / "net.onnx", "-o", tmp_path / "x.zelt", "--target", "tx9"),
                 "unknown target platform 'TX9'", "valid targets: tx1100, tx1200", "tx5100")
    deep = tmp_path / "new" / "folder" / "net.zelt"
    status, out, _ = cli("convert", files / "net.onnx", "-o", deep, "--target", "tx5100")
    assert status == 0 and deep.read_bytes() == (files / "net.zelt").read_bytes()
    assert sorted(os.listdir(deep.parent)) == ["net.zelt"]  # no temporary file left behind
    expect_error(cli("convert", files / "net.onnx", "-o", tmp_path / "y.zelt", "--target", "tx5100",
                     "--input-shape", "input=1,3,64,64"),
                 "--input-shape input=1,3,64,64 contradicts the model's shape [1, 3, 32, 32]")
    expect_error(cli("convert", files / "net.onnx", "-o", tmp_path / "y.zelt", "--target", "tx5100",
                     "--input-shape", "input=1,3,32"), "contradicts")
    assert not (tmp_path / "y.zelt").exists()


def test_devices(cli, tools, board):
    adb, ntd = tools
    status, out, _ = cli("devices")
    assert status == 0 and "adb devices: tool not installed" in out
    fake_tool(adb, {"devices": (0, "List of devices attached\nSER1\tdevice\n", "")})
    fake_tool(ntd, {"devices": (0, "", "")})
    status, out, _ = cli("devices")
    assert status == 0 and "SER1" in out and "device" in out and "ntb devices (npu_tetherd): none" in out
    status, out, _ = cli("devices", "--json")
    assert json.loads(out) == {"adb": [{"id": "SER1", "state": "device"}], "ntb": []}


def test_inspect(cli, files):
    status, out, _ = cli("inspect", files / "net.zelt")
    assert status == 0
    assert "targets:   TX5100" in out and "[0] input  shape=[1, 32, 32, 3]  dtype=float32  layout=NHWC" in out
    status, out, _ = cli("inspect", files / "net.zelt", "--json")
    info = json.loads(out)
    assert info["size"] == os.path.getsize(files / "net.zelt") and info["targets"] == ["TX5100"]
    assert info["operators"] > 20 and info["outputs"][0]["shape"] == [1, 10]


def test_run_with_arrays_images_and_outputs(cli, files, onnx_model, tmp_path):
    from PIL import Image

    sess = ort.InferenceSession(onnx_model.SerializeToString(), providers=["CPUExecutionProvider"])
    x = np.random.default_rng(5).random((1, 3, 32, 32), dtype=np.float32)
    np.save(tmp_path / "x.npy", x)
    status, out, _ = cli("run", files / "net.zelt", *SIM, "--input", tmp_path / "x.npy", "--layout", "nchw",
                         "--top-k", 3, "--output", tmp_path / "out" / "y.npz")
    assert status == 0 and "latency:" in out and "  3. " in out and "  4. " not in out
    with np.load(tmp_path / "out" / "y.npz") as saved:
        (name,) = saved.files
        got = saved[name]
    want = sess.run(None, {"input": x})[0]
    np.testing.assert_allclose(got, want, rtol=1e-4, atol=1e-4 * np.abs(want).max())
    top = int(np.argmax(want))
    assert "  1. {:<5} class {}".format(top, top) in out

    pixels = np.random.default_rng(6).integers(0, 256, (40, 48, 3), dtype=np.uint8)
    Image.fromarray(pixels).save(tmp_path / "photo.png")
    status, out, _ = cli("run", files / "net.zelt", *SIM, "--input", tmp_path / "photo.png",
                         "--output", tmp_path / "img.npz")
    assert status == 0
    resized = np.asarray(Image.fromarray(pixels).resize((32, 32), Image.BILINEAR), np.float32)
    with np.load(tmp_path / "img.npz") as saved:
        got = saved[saved.files[0]]
    want = sess.run(None, {"input": resized.transpose(2, 0, 1)[None]})[0]
    np.testing.assert_allclose(got, want, rtol=1e-4, atol=1e-4 * np.abs(want).max())
    # --layout is for array files: an image stays NHWC; an .npz feeds inputs by name.
    np.savez(tmp_path / "x.npz", input=x)
    for extra in (["--input", tmp_path / "photo.png"], ["--input", tmp_path / "x.npz"]):
        status, out, _ = cli("run", files / "net.zelt", *SIM, "--layout", "nchw", *extra, "--output",
                             tmp_path / "again.npz")
        assert status == 0
    with np.load(tmp_path / "again.npz") as saved:
        np.testing.assert_allclose(saved[saved.files[0]], sess.run(None, {"input": x})[0], rtol=1e-4, atol=1e-4)


def test_run_refusals(cli, files, tmp_path):
    expect_error(cli("run", files / "net.zelt"), "no NPU on this machine", "--target simulator")
    expect_error(cli("run", files / "net.zelt", *SIM, "--input", tmp_path / "none.npy"), "input file not found")
    np.save(tmp_path / "wrong.npy", np.zeros((1, 3, 32, 32), np.float32))
    expect_error(cli("run", files / "net.zelt", *SIM, "--input", tmp_path / "wrong.npy"),
                 "Got invalid dimensions for input 'input'", "data_format='nchw'")
    expect_error(cli("run", files / "net.zelt", *SIM, "--top-k", 0), "--top-k must be at least 1")
    expect_error(cli("run", *SIM), "no model given")
    expect_error(cli("run", files / "net.zelt", "--target", "tx1100"), "compiled for TX5100")


def test_run_example(cli):
    status, out, _ = cli("run", "--example", *SIM)
    assert status == 0
    with open(EXAMPLE_LABELS) as f:
        labels = [line.strip() for line in f]
    ranks = [line for line in out.splitlines() if line.startswith("  ") and ". " in line]
    assert len(ranks) == 5 and all(any(label in r for label in labels) for r in ranks)
    assert "latency:" in out


def test_example_is_rebuilt_byte_for_byte_and_matches_onnxruntime():
    assert os.path.getsize(EXAMPLE_MODEL) < 5.2e6
    found = importlib.util.spec_from_file_location("build_example", os.path.join(REPO, "scripts", "build_example.py"))
    script = importlib.util.module_from_spec(found)
    found.loader.exec_module(script)
    model = script.squeezenet1_1()
    with open(EXAMPLE_MODEL, "rb") as f:
        assert compile_model(model, "tx5100") == f.read()
    from zeltlite.api import ZELTLite

    image = np.random.default_rng(7).integers(0, 256, (1, 224, 224, 3), dtype=np.uint8)
    with ZELTLite() as lite:
        lite.load_zelt(EXAMPLE_MODEL)
        lite.init_runtime("simulator")
        got = lite.inference(image)[0]
    want = ort.InferenceSession(model.SerializeToString(), providers=["CPUExecutionProvider"]).run(
        None, {"image": image.transpose(0, 3, 1, 2).astype(np.float32)})[0]
    np.testing.assert_allclose(got, want, rtol=1e-4, atol=1e-4 * np.abs(want).max())
    with open(EXAMPLE_LABELS) as f:
        assert len(f.read().splitlines()) == want.shape[1] == 1000


@pytest.mark.parametrize("extra", [["--runs", 4, "--warmup", 1], ["--duration", 0.2, "--warmup", 0],
                                   ["--runs", 3, "--threads", 2, "--core-mask", 1]])
def test_bench(cli, files, extra):
    status, out, _ = cli("bench", files / "net.zelt", *SIM, "--json", *extra)
    assert status == 0
    result = json.loads(out)
    if "--runs" in extra:
        runs = extra[extra.index("--runs") + 1]
        assert result["count"] == runs * result["threads"]
    assert result["count"] >= 1 and result["throughput_fps"] > 0 and result["first_inference_ms"] > 0
    assert result["min_ms"] <= result["median_ms"] <= result["p90_ms"] <= result["p99_ms"] <= result["max_ms"]
    assert result["min_ms"] <= result["average_ms"] <= result["max_ms"]
    status, out, _ = cli("bench", files / "net.zelt", *SIM, "--runs", 2, "--warmup", 0)
    for title in ("first inference:", "count:", "median:", "average:", "min:", "max:", "P90:", "P99:",
                  "throughput:"):
        assert title in out


def test_bench_refusals(cli, files):
    expect_error(cli("bench", files / "net.zelt", *SIM, "--runs", 0), "--runs must be at least 1")
    expect_error(cli("bench", files / "net.zelt", *SIM, "--core-mask", 6), "core_mask 6 is not one of")
    with pytest.raises(SystemExit):  # argparse: runs and duration exclude each other
        main(["bench", str(files / "net.zelt"), "--runs", "2", "--duration", "1"])


@pytest.mark.parametrize("fmt", ["table", "csv", "json"])
def test_profile(cli, files, tmp_path, fmt):
    status, out, _ = cli("profile", files / "net.zelt", *SIM, "--format", fmt)
    assert status == 0
    if fmt == "json":
        layers = json.loads(out)["layers"]
        times = [r["time_us"] for r in layers]
        assert sum(r["share"] for r in layers) == pytest.approx(1.0)
    elif fmt == "csv":
        rows = list(csv.DictReader(io.StringIO(out)))
        times = [float(r["time_us"]) for r in rows]
        assert set(rows[0]) >= {"id", "op_type", "name", "output_shape", "time_us", "share"}
    else:
        lines = out.splitlines()
        assert lines[0].split()[:3] == ["ID", "OpType", "Name"] and lines[-1].startswith("run duration:")
        times = [float(line.split()[-2]) for line in lines[1:-1]]
    assert len(times) > 10 and times == sorted(times, reverse=True)
    status, out, _ = cli("profile", files / "net.zelt", *SIM, "--format", fmt, "--output", tmp_path / fmt / "p")
    assert status == 0 and (tmp_path / fmt / "p").stat().st_size > 0


def test_mem(cli, files):
    status, out, _ = cli("mem", files / "net.zelt", *SIM)
    assert status == 0 and "Memory Profile Info Dump" in out and "NPU memory:" in out
    status, out, _ = cli("mem", files / "net.zelt", *SIM, "--json")
    assert json.loads(out)["npu_memory"]["maximum_allocation"] > 0
