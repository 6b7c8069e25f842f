"""The ``ZELTLite`` facade: load a model container, start a runtime session, run inferences.

A minimal use::

    from zeltlite.api import ZELTLite

    with ZELTLite() as lite:
        lite.load_zelt("model.zelt")
        lite.init_runtime(target="simulator")   # or "tx5100", or None on the board itself
        outputs = lite.inference([image])       # image: NHWC numpy array
"""
import json
import os
import re
import struct
from ctypes import c_uint, c_ulonglong, c_void_p, cast, pointer, sizeof

import numpy as np

from . import zelt_perf, zelt_platform_utils, zelt_runtime, zelt_utils
from .npu_config import npu_chipmap
from .zelt_model import ZELTModel
from .zelt_runtime import NPU_CORE_AUTO, ZELTRuntime

__all__ = ["ZELTLite", "SIMULATOR"]

#: The target name (any case) that runs models on the in-process simulator library.
SIMULATOR = "simulator"

# The NPU the simulator library plays: the TALUN2 of the TX5100.
_SIMULATED_NPU_MODEL = "TALUN2"

_TYPE_NAMES = {code: name for name, code in zelt_runtime.zelt_input_data_type.items()}
_LAYOUT_NAMES = {0: "NCHW", 1: "NHWC"}
_QUANT_NAMES = {0: "none", 1: "dfp", 2: "affine"}
_FORMATS = ("nhwc", "nchw")


class _SimulatorSession(ZELTRuntime):
    """A session on the simulator library, which the shipped chip map does not list as a target.

    Only this private subclass answers the target lookups differently; the chip map, the module
    and its class stay as they are for every other caller.
    """

    def _get_target_soc(self, target):
        return "SIMULATOR"

    def _get_npu_model(self):
        return _SIMULATED_NPU_MODEL


def _error_code(ret):
    return zelt_runtime.zelt_runtime_api_ret_code.get(str(ret), ret)


def _text(raw):
    return raw.decode("utf-8", "replace") if isinstance(raw, bytes) else str(raw)


def _shape_text(shape):
    return "(" + ", ".join(str(d) for d in shape) + ("," if len(shape) == 1 else "") + ")"


def _is_simulator(target):
    return isinstance(target, str) and target.lower() == SIMULATOR


def _check_path(path, what):
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError("{} must be a path (str or os.PathLike), got {}".format(what, type(path).__name__))
    path = os.fspath(path)
    if not os.path.exists(path):
        raise FileNotFoundError("{} not found: {}".format(what, path))
    if os.path.isdir(path):
        raise IsADirectoryError("{} is a directory, not a model container: {}".format(what, path))
    return path


def read_container(path):
    """Loads the model container file `path` into a ``ZELTModel``; raises a clear error if it is not one."""
    path = _check_path(path, "model file")
    model = ZELTModel()
    try:
        status = model.load(path)
    except struct.error:
        status = -1
    if status != 0:
        raise ValueError("{} is not a model container (no valid ZELT header and sections)".format(path))
    return model


def container_targets(model):
    """The target platforms named in a loaded container's configuration section (may be empty)."""
    try:
        config = json.loads(model.config_data.decode("utf-8"))
    except (AttributeError, UnicodeDecodeError, ValueError):
        raise ValueError("the model container's configuration section is not valid JSON") from None
    targets = config.get("target_platform", []) if isinstance(config, dict) else []
    if not isinstance(targets, list) or not all(isinstance(t, str) for t in targets):
        raise ValueError("the model container's target_platform is not a list of names")
    return targets


def parse_perf_table(text):
    """Splits the runtime's per-layer performance text into rows.

    Returns a dict: "layers" (one dict per table row, keys from the header in snake case, numbers
    converted), "total_us" and "run_us" (from the summary lines, None when absent) and "text".
    """
    layers, columns, summary = [], None, {}
    for line in text.splitlines():
        if not line.strip():
            continue
        total = re.match(r"\s*Total operator time \(us\):\s*([-\d.]+)", line)
        run = re.match(r"\s*Run duration \(us\):\s*([-\d.]+)", line)
        if total or run:
            summary["total_us" if total else "run_us"] = float((total or run).group(1))
            continue
        tokens = line.split()
        if columns is None:
            columns = [re.sub(r"(?<=[a-z])(?=[A-Z])", "_", t).replace("(us)", "_us").lower() for t in tokens]
            continue
        if len(tokens) < len(columns):
            continue
        if len(tokens) > len(columns) and "name" in columns:
            # A layer name with spaces: the columns after it are taken from the end.
            at = columns.index("name")
            tail = len(columns) - at - 1
            tokens = tokens[:at] + [" ".join(tokens[at:len(tokens) - tail])] + tokens[len(tokens) - tail:]
        row = {}
        for key, value in zip(columns, tokens):
            if key == "id":
                value = int(value)
            elif key.endswith("_us"):
                value = float(value)
            elif key == "output_shape":
                value = [int(d) for d in value.strip("[]").split(",") if d]
            row[key] = value
        layers.append(row)
    return {"layers": layers, "total_us": summary.get("total_us"), "run_us": summary.get("run_us"), "text": text}


def _tool_devices(path, parse):
    """Runs `<tool> devices` when the tool is installed; None when it is not."""
    if path is None or not os.access(path, os.X_OK):
        return None
    code, text = zelt_utils.exec_command([path, "devices"])
    if code != 0:
        raise RuntimeError("{} devices failed (exit status {}): {}".format(os.path.basename(path), code,
                                                                         text.strip()))
    return parse(text)


def _parse_adb(text):
    devices = []
    for line in text.splitlines()[1:]:
        fields = line.split("\t")
        if len(fields) == 2:
            devices.append({"id": fields[0], "state": fields[1].strip()})
    return devices


def _parse_ntb(text):
    devices = []
    for line in text.splitlines():
        fields = line.split()
        if len(fields) == 3 and fields[2] in ("USB_DEVICE", "PCIE"):
            devices.append({"id": fields[0], "state": fields[1], "kind": fields[2]})
    return devices


class ZELTLite:
    """Runs a compiled model container on an NPU, a board reached over USB or PCIe, or the simulator.

    Call :meth:`load_zelt`, then :meth:`init_runtime`, then :meth:`inference` as often as needed,
    and :meth:`release` at the end (or use the object as a context manager). Every failure raises an
    exception: ``TypeError``/``ValueError`` for a wrong argument or input, ``FileNotFoundError`` for
    a missing file, ``RuntimeError`` for a call in the wrong order or a failed run, and the runtime's
    own ``Exception`` (with the runtime's error name) for what the runtime refuses.
    """

    def __init__(self):
        """A facade with no model and no session yet."""
        self._model = None
        self._model_path = None
        self._runtime = None
        self._inputs = []
        self._outputs = []
        self._has_run = False
        self.target = None

    # ------------------------------------------------------------------ lifecycle

    def load_zelt(self, path, load_model_in_npu=False):
        """Loads a model container file.

        With `load_model_in_npu` the file is not read here: `path` names the file on the device, which
        the runtime loads itself. Returns 0; raises ``FileNotFoundError`` or ``ValueError`` for a file
        that is missing or not a model container.
        """
        if load_model_in_npu:
            if not isinstance(path, (str, os.PathLike)):
                raise TypeError("path must be a str or os.PathLike, got {}".format(type(path).__name__))
            model = ZELTModel()
            model.load(os.fspath(path), True)
        else:
            model = read_container(path)
        self.release()
        self._model, self._model_path = model, os.fspath(path)
        return 0

    def init_runtime(self, target=None, device_id=None, perf_debug=False, eval_mem=False, async_mode=False,
                     core_mask=NPU_CORE_AUTO):
        """Starts the runtime session for the loaded model and builds its graph.

        `target` is a target platform such as "tx5100" (any case), "simulator" for the in-process
        simulator library, or None to drive the NPU of the board this program runs on. `device_id`
        picks one of several attached boards. `perf_debug` and `eval_mem` collect the data of
        :meth:`eval_perf` and :meth:`eval_memory`; `core_mask` (one of the ``NPU_CORE_*`` masks)
        selects the NPU cores on a TX5100 and the simulator. Returns 0.
        """
        if self._model is None:
            raise RuntimeError("no model loaded: call load_zelt() before init_runtime()")
        if target is not None and not isinstance(target, str):
            raise TypeError("target must be a str or None, got {}".format(type(target).__name__))
        if device_id is not None and not isinstance(device_id, str):
            raise TypeError("device_id must be a str or None, got {}".format(type(device_id).__name__))
        if not isinstance(core_mask, int) or isinstance(core_mask, bool) or \
                core_mask not in zelt_runtime.CURRENT_SUPPORT_NPU_CORE_MODE:
            raise ValueError("core_mask {!r} is not one of the NPU core masks {}".format(
                core_mask, ", ".join("{} ({})".format(v, k) for k, v in zelt_runtime.zelt_npu_core_mode.items())))
        simulator = _is_simulator(target)
        if not simulator and target is not None:
            self._check_target(target)
        self._release_runtime()
        session = _SimulatorSession if simulator else ZELTRuntime
        try:
            runtime = session(zelt_runtime.ROOT_DIR, target, device_id, perf_debug=bool(perf_debug),
                              eval_memory=bool(eval_mem), async_mode=bool(async_mode), core_mask=core_mask)
        except OSError as exc:
            if exc.filename is not None:  # a file or tool of the device set-up, reported as it is
                raise
            # The loader's refusal of the runtime library (or its host-side companion for a remote board).
            where = "the simulator" if simulator else "target " + target.upper() if target else "this board"
            raise RuntimeError("cannot load the NPU runtime library for {}: {}".format(where, exc)) from exc
        try:
            runtime.build_graph(self._model.zelt_data, self._model.load_model_in_npu)
            if core_mask != NPU_CORE_AUTO:
                self._set_core_mask(runtime, core_mask, simulator)
            self._inputs = [self._describe(runtime, i, False) for i in range(runtime.get_in_out_num()[0])]
            self._outputs = [self._describe(runtime, i, True) for i in range(runtime.get_in_out_num()[1])]
        except BaseException:
            runtime.release()
            raise
        self._runtime, self._has_run = runtime, False
        self.target = SIMULATOR if simulator else runtime.target_soc
        return 0

    def release(self):
        """Ends the runtime session and drops the model. Harmless to call more than once."""
        self._release_runtime()
        if self._model is not None:
            self._model.release()
        self._model = self._model_path = None

    def __enter__(self):
        """The facade itself; :meth:`release` runs when the ``with`` block ends."""
        return self

    def __exit__(self, *exc):
        """Releases the session and the model; exceptions propagate."""
        self.release()
        return False

    def __del__(self):
        """Ends a session that was never released."""
        try:
            self._release_runtime()
        except Exception:
            pass

    def __repr__(self):
        """The model file, the target and the inputs and outputs with their shapes."""
        if self._model is None:
            return "<ZELTLite: no model>"
        state = "target={}".format(self.target) if self._runtime is not None else "not initialised"
        desc = ""
        if self._runtime is not None:
            desc = ", inputs={}, outputs={}".format(
                [(t["name"], t["shape"]) for t in self._inputs], [(t["name"], t["shape"]) for t in self._outputs])
        return "<ZELTLite: {!r}, {}{}>".format(self._model_path, state, desc)

    # ------------------------------------------------------------------ metadata

    def get_inputs(self):
        """The model's inputs: a list of dicts with "index", "name", "shape" (tuple), "dtype" (the
        runtime's tensor type, a numpy dtype name), "layout" ("NHWC", "NCHW" or "UNDEFINED"), "size"
        (bytes) and "quantization" (a dict of "type", "zero_point", "scale", "fl")."""
        self._need_runtime("get_inputs")
        return [dict(t, quantization=dict(t["quantization"])) for t in self._inputs]

    def get_outputs(self):
        """The model's outputs, described like :meth:`get_inputs`. The "shape" is that of the array
        :meth:`inference` returns, which is always float32 whatever the tensor's own "dtype"."""
        self._need_runtime("get_outputs")
        return [dict(t, quantization=dict(t["quantization"])) for t in self._outputs]

    # ------------------------------------------------------------------ inference

    def inference(self, inputs, data_type=None, data_format=None, inputs_pass_through=None, get_frame_id=False):
        """Runs the model once and returns its outputs, a list of float32 numpy arrays.

        `inputs`: one numpy array per model input, as a list (or tuple) in input order, a dict
        ``{input name: array}``, or a bare array for a single-input model. Image inputs are NHWC
        unless `data_format` is "nchw" (for all inputs, or a list with one format per input), in which
        case they are transposed here. `data_type` (a dtype name, or one per input) confirms the
        arrays' dtypes; the arrays are never converted. `inputs_pass_through` (one flag per input)
        hands an input's bytes to the NPU unchanged. With `get_frame_id` the result is the pair
        ``(outputs, frame_id)``.
        """
        runtime = self._need_runtime("inference")
        arrays = self._arrange(inputs)
        count = len(arrays)
        formats = self._per_input(data_format, "data_format", count)
        types = self._per_input(data_type, "data_type", count)
        passes = self._per_input(inputs_pass_through, "inputs_pass_through", count)
        staged = []
        for i, array in enumerate(arrays):
            detail = self._inputs[i]
            if passes is not None and passes[i]:
                if not isinstance(array, np.ndarray):
                    raise TypeError("input '{}' must be a numpy.ndarray, got {}".format(detail["name"],
                                                                                       type(array).__name__))
                if str(array.dtype) not in zelt_runtime.zelt_input_data_type:
                    raise TypeError("Got invalid dtype for pass-through input '{}': {}; the runtime takes {}".format(
                        detail["name"], array.dtype, ", ".join(zelt_runtime.zelt_input_data_type)))
                if array.nbytes != detail["size"]:
                    raise ValueError("Got invalid size for pass-through input '{}': expected {} bytes, got {}"
                                     .format(detail["name"], detail["size"], array.nbytes))
                staged.append(array)
                continue
            fmt = formats[i] if formats is not None else "nhwc"
            staged.append(self._check_input(detail, array, fmt, types[i] if types is not None else None))
        # Fresh lists: the session rewrites list arguments in place and reads tuples as runtime codes.
        ret = runtime.set_inputs(staged, list(types) if types is not None else None, None,
                                 [int(bool(p)) for p in passes] if passes is not None else None)
        if ret < 0:
            raise RuntimeError("setting the inputs failed: {}".format(_error_code(ret)))
        ret, frame_id = runtime.run(get_frame_id=True)
        if ret < 0:
            raise RuntimeError("inference failed: {}".format(_error_code(ret)))
        self._has_run = True
        outputs = runtime.get_outputs()
        return (outputs, frame_id) if get_frame_id else outputs

    # ------------------------------------------------------------------ evaluation

    def eval_perf(self, is_print=True):
        """Runs the model once on synthetic inputs and returns its per-layer timing.

        Needs ``init_runtime(perf_debug=True)``. Returns the dict of :func:`parse_perf_table`:
        "layers" (rows with "id", "op_type", "name", "output_shape", "time_us"), "total_us",
        "run_us" and the runtime's "text", which `is_print` prints.
        """
        runtime = self._need_runtime("eval_perf")
        if not runtime.perf_debug:
            raise RuntimeError("eval_perf() needs a session started with init_runtime(perf_debug=True)")
        self._run_synthetic(runtime)
        text = runtime.get_run_perf()
        if is_print:
            print(text, end="" if text.endswith("\n") else "\n")
        return parse_perf_table(text)

    def eval_memory(self, is_print=True):
        """The runtime's memory profile: system, NPU and total memory, maximum and total allocation.

        Needs ``init_runtime(eval_mem=True)``; runs the model once on synthetic inputs if it has not
        run yet. Returns the nested dict of byte counts; `is_print` prints the memory report.
        """
        runtime = self._need_runtime("eval_memory")
        if not runtime.eval_memory:
            raise RuntimeError("eval_memory() needs a session started with init_runtime(eval_mem=True)")
        if not self._has_run:
            self._run_synthetic(runtime)
        detail = zelt_runtime.ZELTPerfDetail()
        ret = runtime.lib.zelt_query(runtime.context, zelt_runtime.ZELT_QUERY_MEM_SIZE,
                                     cast(pointer(detail), c_void_p), sizeof(detail))
        if ret < 0:
            raise RuntimeError("the runtime gave no memory profile: {}".format(_error_code(ret)))
        text = detail.perf_data[:detail.data_len].decode("utf-8") if detail.perf_data else ""
        memory = zelt_perf.collect_memory_detail(text)
        if is_print:
            print(zelt_perf.format_memory_detail(self._model_bytes(), memory), end="")
        return memory

    # ------------------------------------------------------------------ information

    def get_sdk_version(self):
        """The runtime's version banner: five lines naming the API and the driver version."""
        runtime = self._need_runtime("get_sdk_version")
        if runtime.target_soc != "SIMULATOR":
            return runtime.get_sdk_version()[0]
        # The session answers only for hardware targets; the simulator library knows its versions.
        version = zelt_runtime.ZELTSDKVersion()
        ret = runtime.lib.zelt_query(runtime.context, zelt_runtime.ZELT_QUERY_SDK_VERSION,
                                     cast(pointer(version), c_void_p), sizeof(version))
        if ret < 0:
            raise RuntimeError("querying the SDK version failed: {}".format(_error_code(ret)))
        rule = "=" * 46 + "\n"
        return "{}ZELT VERSION:\n  API: {}\n  DRV: {}\n{}".format(rule, version.api_version.decode(),
                                                                 version.drv_version.decode(), rule)

    @staticmethod
    def list_devices():
        """Boards this host reaches: a dict with "adb" and "ntb", each a list of dicts with "id" and
        "state" (and "kind", USB_DEVICE or PCIE, for ntb devices), or None where the tool is not
        installed. On a board with its own NPU both lists are empty."""
        if ZELTRuntime._is_npu_self()[0]:
            return {"adb": [], "ntb": []}
        return {"adb": _tool_devices(ZELTRuntime._get_adb_path(), _parse_adb),
                "ntb": _tool_devices(ZELTRuntime._get_ntd_path(), _parse_ntb)}

    @staticmethod
    def list_support_target_platform(zelt_model=None):
        """Prints and returns the target platforms: all of them by chip family when `zelt_model` is
        None (returns None then), else those the model container file supports (a dict with
        "filled_target_platform" and "support_target_platform")."""
        if zelt_model is None:
            return zelt_platform_utils.list_support_target_platform(None)
        model = read_container(zelt_model)
        targets = container_targets(model)
        if not targets and "target_platform" in json.loads(model.config_data.decode("utf-8")):
            raise ValueError("{} names no target platform".format(zelt_model))
        if targets and npu_chipmap.get_npu_model_from_target(targets[0]) is None:
            raise ValueError("{} names the unknown target platform {!r}".format(zelt_model, targets[0]))
        return zelt_platform_utils.list_support_target_platform(os.fspath(zelt_model))

    # ------------------------------------------------------------------ internals

    def _need_runtime(self, what):
        if self._runtime is None:
            step = "load_zelt() and init_runtime()" if self._model is None else "init_runtime()"
            raise RuntimeError("{}() needs a running session: call {} first".format(what, step))
        return self._runtime

    def _release_runtime(self):
        runtime, self._runtime = self._runtime, None
        self._inputs, self._outputs, self.target = [], [], None
        if runtime is not None:
            runtime.release()

    def _check_target(self, target):
        supported = npu_chipmap.get_support_target_soc()
        if target.upper() not in supported:
            raise ValueError("unknown target {!r}: valid targets are {}, {}".format(
                target, SIMULATOR, ", ".join(t.lower() for t in supported)))
        if self._model.load_model_in_npu:
            return
        targets = container_targets(self._model)
        npu = npu_chipmap.get_npu_model_from_target(targets[0] if targets else "tx1200")
        family = npu_chipmap.get_cpus_with_npu(npu) if npu else []
        if target.upper() not in family:
            raise ValueError("the model was compiled for {} and runs on {}, not on {}".format(
                ", ".join(targets) or "TX1200", ", ".join(family) or "no known target", target.upper()))

    @staticmethod
    def _set_core_mask(runtime, core_mask, simulator):
        if not simulator:
            runtime.set_core_mask(core_mask)
            return
        # The session takes core masks for the TX5100 only; the simulator plays one.
        ret = runtime.lib.zelt_set_core_mask(c_ulonglong(runtime.context), c_uint(core_mask))
        if ret < 0:
            raise RuntimeError("setting core mask {} failed: {}".format(core_mask, _error_code(ret)))

    @staticmethod
    def _describe(runtime, index, is_output):
        attr = runtime.get_tensor_attr(index, is_output)
        shape = runtime.get_output_shape(index) if is_output else [attr.dims[d] for d in range(attr.n_dims)]
        return {
            "index": index,
            "name": _text(attr.name),
            "shape": tuple(shape),
            "dtype": _TYPE_NAMES.get(attr.type, "unknown({})".format(attr.type)),
            "layout": _LAYOUT_NAMES.get(attr.fmt, "UNDEFINED") if attr.n_dims == 4 else "UNDEFINED",
            "size": attr.size,
            "quantization": {"type": _QUANT_NAMES.get(attr.qnt_type, str(attr.qnt_type)),
                             "zero_point": attr.zp, "scale": attr.scale, "fl": attr.fl},
        }

    def _arrange(self, inputs):
        names = [t["name"] for t in self._inputs]
        if isinstance(inputs, np.ndarray):
            inputs = [inputs]
        elif isinstance(inputs, dict):
            unknown = [k for k in inputs if k not in names]
            missing = [n for n in names if n not in inputs]
            if unknown or missing:
                raise ValueError("inputs by name: {}{}; the model's inputs are {}".format(
                    "unknown {}".format(unknown) if unknown else "",
                    ("; " if unknown and missing else "") + ("missing {}".format(missing) if missing else ""),
                    names))
            inputs = [inputs[n] for n in names]
        elif isinstance(inputs, (list, tuple)):
            inputs = list(inputs)
        else:
            raise TypeError("inputs must be a numpy array, a list or tuple of arrays, or a dict "
                            "{{input name: array}}, got {}".format(type(inputs).__name__))
        if len(inputs) != len(names):
            raise ValueError("the model takes {} input(s) {}, got {}".format(len(names), names, len(inputs)))
        return inputs

    @staticmethod
    def _per_input(value, what, count):
        """None, or a list of `count` values: one value for all inputs, or a list/tuple of them."""
        if value is None:
            return None
        if isinstance(value, (list, tuple)):
            if len(value) != count:
                raise ValueError("{} has {} entries for {} input(s)".format(what, len(value), count))
            values = list(value)
        else:
            values = [value] * count
        for v in values:
            if what == "data_format" and (not isinstance(v, str) or v.lower() not in _FORMATS):
                raise ValueError("data_format {!r} is not one of {}".format(v, ", ".join(_FORMATS)))
            if what == "data_type" and (not isinstance(v, str) or v not in zelt_runtime.zelt_input_data_type):
                raise ValueError("data_type {!r} is not one of {}".format(
                    v, ", ".join(zelt_runtime.zelt_input_data_type)))
            if what == "inputs_pass_through" and v not in (0, 1):
                raise ValueError("inputs_pass_through takes one flag (True/False or 1/0) per input, got {!r}"
                                 .format(v))
        return [v.lower() for v in values] if what == "data_format" else values

    @staticmethod
    def _check_input(detail, array, fmt, data_type):
        """The array as the session gets it (NHWC for image inputs), or a clear error."""
        name, expected, layout = detail["name"], detail["shape"], detail["layout"]
        if not isinstance(array, np.ndarray):
            raise TypeError("input '{}' must be a numpy.ndarray, got {}".format(name, type(array).__name__))
        dtype = str(array.dtype)
        if dtype not in zelt_runtime.zelt_input_data_type:
            raise TypeError("Got invalid dtype for input '{}': {}; expected {} (the runtime also converts {})"
                            .format(name, dtype, detail["dtype"], ", ".join(zelt_runtime.zelt_input_data_type)))
        if data_type is not None and data_type != dtype:
            raise TypeError("input '{}' is {}, not the data_type {} given for it".format(name, dtype, data_type))
        given = array.shape
        if fmt == "nchw" and array.ndim == 4 and layout == "NHWC":
            array = np.ascontiguousarray(array.transpose(0, 2, 3, 1))
        where = "{} layout".format(layout) if layout != "UNDEFINED" else "no image layout"
        if array.ndim != len(expected):
            raise ValueError("Got invalid rank for input '{}': expected rank {} (shape {}, {}), got rank {} "
                             "(shape {})".format(name, len(expected), _shape_text(expected), where, array.ndim,
                                                 _shape_text(given)))
        if tuple(array.shape) != tuple(expected):
            hint = ""
            if layout == "NHWC" and fmt == "nhwc" and array.ndim == 4 and \
                    (given[0], given[2], given[3], given[1]) == tuple(expected):
                hint = "; this is the NCHW form: pass data_format='nchw'"
            raise ValueError("Got invalid dimensions for input '{}': expected {} ({}), got {}{}{}".format(
                name, _shape_text(expected), where, _shape_text(given),
                " as nchw" if fmt == "nchw" else "", hint))
        return array

    def _run_synthetic(self, runtime):
        ret = runtime.set_inputs(None, None, None, eval_perf=True)
        if ret < 0:
            raise RuntimeError("setting synthetic inputs failed: {}".format(_error_code(ret)))
        ret = runtime.run()
        if ret < 0:
            raise RuntimeError("inference failed: {}".format(_error_code(ret)))
        self._has_run = True

    def _model_bytes(self):
        if not self._model.load_model_in_npu:
            return self._model.zelt_data
        # Loaded by path on the device: the file's size where it is visible here too.
        path = self._model_path
        return range(os.path.getsize(path)) if os.path.isfile(path) else self._model.zelt_data
