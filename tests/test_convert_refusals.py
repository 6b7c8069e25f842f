"""The compiler and `convert` on inputs that must be refused, and the files they leave: each case runs in a
process of its own, since the faults guarded against here end a process."""
import os
import signal
import subprocess
import sys
import textwrap

import numpy as np
import pytest

onnx = pytest.importorskip("onnx")
from onnx import TensorProto, helper  # noqa: E402


def convert(src, dst, *extra):
    return subprocess.run([sys.executable, "-m", "zeltlite", "convert", str(src), "-o", str(dst), "--target",
                           "tx5100", *extra], capture_output=True, text=True, timeout=120)


def window_model(op, attrs, nested=False):
    x = helper.make_tensor_value_info("x", TensorProto.FLOAT, [1, 4, 8, 8])
    y = helper.make_tensor_value_info("y", TensorProto.FLOAT, None)
    inits, inputs = [], ["x"]
    if op in ("Conv", "ConvTranspose"):
        inits.append(helper.make_tensor("w", TensorProto.FLOAT, [4, 4, 3, 3], np.zeros(144, np.float32)))
        inputs.append("w")
    node = helper.make_node(op, inputs, ["y"], **{"kernel_shape": [3, 3], **attrs})
    if nested:  # the node inside both branches of an If
        branch = helper.make_graph([node], "branch", [], [y], inits)
        cond = helper.make_tensor("c", TensorProto.BOOL, [], [True])
        graph = helper.make_graph([helper.make_node("If", ["c"], ["y"], then_branch=branch, else_branch=branch)],
                                  "g", [x], [y], [cond])
    else:
        graph = helper.make_graph([node], "g", [x], [y], inits)
    return helper.make_model(graph, opset_imports=[helper.make_opsetid("", 18)])


@pytest.mark.parametrize("op,attrs,named", [
    ("Conv", {"strides": [0, 1]}, "strides"),
    ("Conv", {"dilations": [1, 0]}, "dilations"),
    ("Conv", {"group": 0}, "group"),
    ("ConvTranspose", {"strides": [1, 0]}, "strides"),
    ("MaxPool", {"strides": [0, 1]}, "strides"),
    ("MaxPool", {"dilations": [0, 1]}, "dilations"),
    ("AveragePool", {"strides": [0, 0]}, "strides"),
    ("LpPool", {"strides": [0, 1]}, "strides"),
    ("MaxPool", {"kernel_shape": [0, 3]}, "kernel_shape"),
    ("Conv", {"strides": [-1, 1]}, "strides"),
])
@pytest.mark.parametrize("nested", [False, True])
def test_window_attributes_that_are_not_positive_are_refused(tmp_path, op, attrs, named, nested):
    src = tmp_path / "m.onnx"
    onnx.save(window_model(op, attrs, nested), str(src))
    done = convert(src, tmp_path / "m.zelt")
    assert done.returncode == 1, done.stderr
    assert "error: {} node".format(op) in done.stderr and "'{}' must be positive".format(named) in done.stderr
    assert sorted(os.listdir(tmp_path)) == ["m.onnx"]


def test_an_empty_file_is_refused(tmp_path):
    src = tmp_path / "empty.onnx"
    src.write_bytes(b"")
    done = convert(src, tmp_path / "m.zelt")
    assert done.returncode == 1
    assert done.stderr.strip().splitlines()[-1] == "error: cannot read ONNX model {}: the file is empty".format(src)
    assert sorted(os.listdir(tmp_path)) == ["empty.onnx"]


@pytest.mark.parametrize("via_link", [False, True])
def test_the_output_may_not_be_the_model_itself(tmp_path, via_link):
    src = tmp_path / "m.onnx"
    onnx.save(window_model("MaxPool", {}), str(src))
    before = src.read_bytes()
    dst = src
    if via_link:
        dst = tmp_path / "link.zelt"
        dst.symlink_to(src)
    done = convert(src, dst)
    assert done.returncode == 1
    assert "is the ONNX model itself" in done.stderr
    assert src.read_bytes() == before


def test_sigterm_while_writing_leaves_no_temporary_file(tmp_path):
    src, dst = tmp_path / "m.onnx", tmp_path / "m.zelt"
    onnx.save(window_model("MaxPool", {}), str(src))
    # The container is written in a first slice, then the writer waits to be terminated.
    script = textwrap.dedent("""
        import os, sys, time
        from zeltlite.convert import compiler

        class SlowFile:
            def __init__(self, f):
                self.f = f
            def __enter__(self):
                return self
            def __exit__(self, *exc):
                self.f.close()
            def write(self, data):
                self.f.write(data[:16])
                self.f.flush()
                print("writing", flush=True)
                time.sleep(60)

        fdopen = os.fdopen
        compiler.os.fdopen = lambda fd, mode: SlowFile(fdopen(fd, mode))
        compiler.convert_file(sys.argv[1], sys.argv[2], ["tx5100"])
    """)
    proc = subprocess.Popen([sys.executable, "-c", script, str(src), str(dst)], stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "writing\n"
        assert any(name.startswith(".zelt-") for name in os.listdir(tmp_path))
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=30) == -signal.SIGTERM
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert sorted(os.listdir(tmp_path)) == ["m.onnx"]
