"""ONNX model -> engine graph (export section) -> model container.

The engine runs static-shaped float32 graphs whose operators follow the
latest ONNX operator-set semantics.  The compiler therefore
- fixes the graph input shapes (from the model or from `input_shapes`),
- folds every node whose inputs are all constants (ConstantOfShape weights,
  shape arithmetic, Cast, ...) and Shape/Size of statically shaped values,
  inferring shapes again after each pass that folded something, until none does,
- removes Dropout and Identity, folds BatchNormalization into a preceding Conv,
- rewrites older operator-set forms (attributes that became inputs, Upsample,
  Softmax's 2-D coercion) into the current ones,
- and refuses, naming operator and node, whatever the engine cannot run.
The byte layout it writes is described in docs/export-format.md.
"""
import json
import os
import signal
import struct
import tempfile
import threading

import numpy as np

FORMAT_MAGIC = b"ZENG"
FORMAT_VERSION = 1
CONTAINER_VERSION = 1


def _engine_operators():
    """The engine's operator registry, written beside this module by the build."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "engine_operators.txt")
    try:
        with open(path, encoding="utf-8") as f:
            return frozenset(line.strip() for line in f if line.strip())
    except OSError as exc:
        raise ImportError("the engine's operator list {} is missing: this build has no engine".format(path)) from exc


#: Operators the engine runs.
SUPPORTED_OPS = _engine_operators()

#: Input positions the engine reads once at load time: they must be constants.
PARAMETER_INPUTS = {
    "BatchNormalization": (1, 2, 3, 4),
    "InstanceNormalization": (1, 2),
    "LayerNormalization": (1, 2),
    "Clip": (1, 2),
    "Expand": (1,),
    "Gather": (1,),
    "Pad": (1, 2, 3),
    "Reshape": (1,),
    "Resize": (1, 2, 3),
    "Slice": (1, 2, 3, 4),
    "Split": (1,),
    "Squeeze": (1,),
    "Tile": (1,),
    "Unsqueeze": (1,),
    "Upsample": (1,),
}
for _op in SUPPORTED_OPS:
    if _op.startswith("Reduce"):
        PARAMETER_INPUTS[_op] = (1,)

_NONDETERMINISTIC = {"RandomNormal", "RandomUniform", "RandomNormalLike", "RandomUniformLike", "Bernoulli",
                     "Multinomial"}
_ATTR_INT, _ATTR_FLOAT, _ATTR_INTS, _ATTR_FLOATS, _ATTR_STRING = range(5)
_KIND_INPUT, _KIND_DATA, _KIND_FILL, _KIND_VALUE = range(4)
_MAX_ELEMENTS = 1 << 31


def _onnx():
    try:
        import onnx
    except ImportError:
        raise ImportError("the model compiler needs the onnx package: pip install 'zeltlite[convert]'") from None
    return onnx


#: Operators whose window attributes onnx's shape inference divides by.
_WINDOW_OPS = ("Conv", "ConvTranspose", "MaxPool", "AveragePool", "LpPool")


def _check_windows(graph):
    """Refuses window attributes that are not positive (subgraphs included): a zero stride makes onnx's
    shape inference kill the process with SIGFPE, so they are checked before it runs."""
    onnx = _onnx()
    for node in graph.node:
        for a in node.attribute:
            for sub in ([a.g] if a.type == onnx.AttributeProto.GRAPH else list(a.graphs)):
                _check_windows(sub)
        if node.op_type not in _WINDOW_OPS or node.domain not in ("", "ai.onnx"):
            continue
        for a in node.attribute:
            values = list(a.ints) if a.name in ("strides", "dilations", "kernel_shape") else \
                [a.i] if a.name == "group" else []
            if any(v < 1 for v in values):
                raise ValueError("{}: attribute '{}' must be positive, got {}".format(
                    _node_desc(node), a.name, values if a.type == onnx.AttributeProto.INTS else values[0]))


def _node_desc(node):
    return "{} node '{}'".format(node.op_type, node.name or (node.output[0] if node.output else "?"))


class _Compiler:
    def __init__(self, model, input_shapes):
        onnx = _onnx()
        self.onnx = onnx
        from onnx import numpy_helper

        self.opset = 1
        for imp in model.opset_import:
            if imp.domain in ("", "ai.onnx"):
                self.opset = imp.version
        graph = model.graph
        if not graph.output:
            raise ValueError("the model has no graph outputs")
        _check_windows(graph)
        self.consts = {t.name: numpy_helper.to_array(t) for t in graph.initializer}
        self.rename = {}
        self.nodes = []  # dicts: op, name, inputs, outputs, attrs
        self.counter = 0
        self.inputs = []
        self.input_types = {}
        input_shapes = dict(input_shapes or {})
        for vi in graph.input:
            if vi.name in self.consts:
                continue
            tt = vi.type.tensor_type
            if tt.elem_type not in (onnx.TensorProto.FLOAT, onnx.TensorProto.FLOAT16, onnx.TensorProto.DOUBLE):
                raise ValueError("input '{}' is not a float tensor; the engine takes float inputs".format(vi.name))
            if vi.name in input_shapes:
                shape = tuple(int(d) for d in input_shapes.pop(vi.name))
                if tt.HasField("shape"):
                    model_dims = [d.dim_value if d.HasField("dim_value") else None for d in tt.shape.dim]
                    if len(model_dims) != len(shape) or any(
                            m is not None and m > 0 and m != d for m, d in zip(model_dims, shape)):
                        raise ValueError("--input-shape {}={} contradicts the model's shape {} for that input".format(
                            vi.name, ",".join(map(str, shape)), ["?" if m is None or m <= 0 else m for m in model_dims]))
            else:
                shape = tuple(d.dim_value if d.HasField("dim_value") else -1 for d in tt.shape.dim)
                if not tt.HasField("shape") or any(d <= 0 for d in shape):
                    raise ValueError(
                        "input '{}' has no static shape ({}); give it with --input-shape {}=d0,d1,...".format(
                            vi.name, list(shape), vi.name))
            if any(d < 0 for d in shape):
                raise ValueError("input '{}' has a negative dimension".format(vi.name))
            self.inputs.append((vi.name, shape))
            self.input_types[vi.name] = tt.elem_type
        if input_shapes:
            raise ValueError("--input-shape names unknown inputs: {}".format(", ".join(sorted(input_shapes))))
        self.outputs = [vi.name for vi in graph.output]
        self.output_types = {vi.name: vi.type.tensor_type.elem_type for vi in graph.output}
        self.types = {}
        self.model = model
        self.shapes = {}
        self._infer_shapes(graph.node)
        self.graph = graph
        self.used = set(self.outputs) | {i for n in graph.node for i in n.input}

    def _infer_shapes(self, nodes):
        """Adds the shapes and types onnx's shape inference finds for the values of `nodes`."""
        onnx = self.onnx
        from onnx import numpy_helper

        # Shape inference needs the values of small (shape) constants only: large ones become typed
        # inputs, which keeps the model it works on small and fast.
        m = onnx.ModelProto()
        m.ir_version, m.producer_name = self.model.ir_version, self.model.producer_name
        m.opset_import.extend(self.model.opset_import)
        m.graph.node.extend(nodes)
        m.graph.output.extend(self.model.graph.output)
        m.graph.value_info.extend(self.model.graph.value_info)
        fixed = dict(self.inputs)
        for name, shape in self.inputs:
            m.graph.input.append(onnx.helper.make_tensor_value_info(name, self.input_types[name], list(shape)))
        for name in sorted({i for n in nodes for i in n.input if i in self.consts}):
            value = self.consts[name]
            if value.size <= 64:
                m.graph.initializer.append(numpy_helper.from_array(value, name))
            else:
                m.graph.input.append(onnx.helper.make_tensor_value_info(
                    name, onnx.helper.np_dtype_to_tensor_dtype(value.dtype), list(value.shape)))
        self.shapes.update(fixed)
        self.types.update(self.input_types)
        try:
            m = onnx.shape_inference.infer_shapes(m, data_prop=True)
        except Exception:  # shapes only help here: the engine infers its own
            return
        for vi in list(m.graph.value_info) + list(m.graph.output):
            tt = vi.type.tensor_type
            self.types[vi.name] = tt.elem_type
            if tt.HasField("shape") and all(d.HasField("dim_value") for d in tt.shape.dim):
                self.shapes[vi.name] = tuple(d.dim_value for d in tt.shape.dim)

    # ------------------------------------------------------------ helpers

    def _const(self, value, hint):
        self.counter += 1
        name = "{}__c{}".format(hint, self.counter)
        self.consts[name] = np.asarray(value)
        return name

    def _emit(self, op, name, inputs, outputs, attrs):
        self.nodes.append({"op": op, "name": name, "inputs": list(inputs), "outputs": list(outputs),
                           "attrs": dict(attrs)})

    def _attrs(self, node):
        from onnx import helper

        attrs = {}
        for a in node.attribute:
            if a.type in (self.onnx.AttributeProto.GRAPH, self.onnx.AttributeProto.GRAPHS):
                raise ValueError("{}: subgraph attributes are not supported".format(_node_desc(node)))
            v = helper.get_attribute_value(a)
            if a.type == self.onnx.AttributeProto.INTS:
                v = [int(x) for x in v]
            elif a.type == self.onnx.AttributeProto.FLOATS:
                v = [float(x) for x in v]
            elif isinstance(v, bytes):
                v = v.decode("utf-8")
            attrs[a.name] = v
        return attrs

    def _evaluate(self, node, inputs):
        """Value(s) of a node whose inputs are all constants."""
        op = node.op_type
        attrs = self._attrs(node)
        if op == "Constant":
            from onnx import numpy_helper

            if "value" in attrs:
                return [numpy_helper.to_array(attrs["value"])]
            for key, dtype in (("value_float", np.float32), ("value_floats", np.float32), ("value_int", np.int64),
                               ("value_ints", np.int64)):
                if key in attrs:
                    return [np.array(attrs[key], dtype=dtype)]
            raise ValueError("{}: unsupported Constant form".format(_node_desc(node)))
        if op == "ConstantOfShape":
            from onnx import numpy_helper

            fill = numpy_helper.to_array(attrs["value"]) if "value" in attrs else np.zeros(1, np.float32)
            shape = tuple(int(d) for d in self.consts[inputs[0]])
            return [np.full(shape, fill.reshape(-1)[0], dtype=fill.dtype)]
        from onnx import helper
        from onnx.reference import ReferenceEvaluator

        n = self.onnx.NodeProto()
        n.CopyFrom(node)
        del n.input[:]
        n.input.extend(inputs)
        feeds = {i: self.consts[i] for i in inputs if i}
        try:
            # A one-node model, so that the operator version of this model's operator set applies.
            graph = helper.make_graph(
                [n], "fold",
                [helper.make_tensor_value_info(i, helper.np_dtype_to_tensor_dtype(v.dtype), v.shape)
                 for i, v in feeds.items()],
                [helper.make_empty_tensor_value_info(o) for o in n.output if o])
            model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", self.opset)])
            return list(ReferenceEvaluator(model).run(None, feeds))
        except Exception as exc:
            raise ValueError("{}: constant folding failed: {}".format(_node_desc(node), exc)) from exc

    # ------------------------------------------------------------ passes

    def run(self):
        self.pending = self._fold(list(self.graph.node))
        for node in self.pending:
            self._node(node)
        self._fold_batchnorm()
        self._fold_channel_scale()
        self._finish_outputs()
        self._prune()
        return self._serialise()

    def _fold(self, nodes):
        """Folds what is constant into constants.  A folded shape computation can make more shapes static
        (a Reshape whose target came from Shape and Gather), so shapes are inferred again after each
        pass that folded something, until a pass folds nothing.  Returns the nodes left."""
        while True:
            rest = [n for n in nodes if not self._fold_node(n)]
            if len(rest) == len(nodes):
                return rest
            nodes = rest
            self._infer_shapes(nodes)

    def _fold_node(self, node, inputs=None):
        """Computes the outputs of `node` at compile time where that can be done; True if it did."""
        op = node.op_type
        if node.domain not in ("", "ai.onnx") or op in _NONDETERMINISTIC or op == "Dropout":
            return False
        inputs = list(node.input) if inputs is None else inputs
        present = [i for i in inputs if i]
        if all(i in self.consts for i in present) and (present or op == "Constant"):
            if op == "Identity":
                self.consts[node.output[0]] = self.consts[inputs[0]]
                return True
            for out, value in zip(node.output, self._evaluate(node, inputs)):
                if out:
                    self.consts[out] = np.asarray(value)
            return True
        if op == "Shape" and inputs[0] in self.shapes:
            attrs = self._attrs(node)
            shape = list(self.shapes[inputs[0]])
            start, end = attrs.get("start", 0), attrs.get("end", len(shape))
            self.consts[node.output[0]] = np.array(shape[start:end], dtype=np.int64)
            return True
        if op == "Size" and inputs[0] in self.shapes:
            self.consts[node.output[0]] = np.array(int(np.prod(self.shapes[inputs[0]])), dtype=np.int64)
            return True
        return False

    def _shape_not_static(self, node, value):
        """The refusal of a Shape or Size node whose input shape is not static, naming where inference stopped."""
        producers = {o: n for n in self.pending for o in n.output if o}
        seen = set()
        while value in producers and value not in seen:
            seen.add(value)
            producer = producers[value]
            unknown = [i for i in producer.input if i and self.rename.get(i, i) not in self.consts
                       and self.rename.get(i, i) not in self.shapes]
            if not unknown:
                computed = [i for i in producer.input[1:] if i and self.rename.get(i, i) not in self.consts]
                why = " (its input '{}' is computed at run time)".format(computed[0]) if computed else ""
                return ValueError("{}: the shape of '{}' is not static: shape inference stops at {}{}".format(
                    _node_desc(node), node.input[0], _node_desc(producer), why))
            value = unknown[0]
        return ValueError("{}: the shape of '{}' is not static".format(_node_desc(node), node.input[0]))

    def _node(self, node):
        op = node.op_type
        if node.domain not in ("", "ai.onnx"):
            raise ValueError("unsupported operator '{}' (domain '{}') in {}".format(op, node.domain,
                                                                                   _node_desc(node)))
        inputs = [self.rename.get(i, i) for i in node.input]
        outputs = list(node.output)
        name = node.name or "{}_{}".format(op, len(self.nodes))
        if op == "Dropout" and len(inputs) > 2 and inputs[2]:
            if inputs[2] not in self.consts or bool(np.asarray(self.consts[inputs[2]]).reshape(-1)[0]):
                raise ValueError("{}: training mode is not supported".format(_node_desc(node)))
        if op in ("Cast", "CastLike") and self._float_cast(node, inputs):
            op = "Identity"  # the engine computes every float type in float32
        if op in ("Dropout", "Identity") and inputs and inputs[0]:
            self.rename[outputs[0]] = inputs[0]
            if len(outputs) > 1 and outputs[1] in self.used:
                shape = self.shapes.get(inputs[0])
                if inputs[0] in self.consts:
                    shape = self.consts[inputs[0]].shape
                if shape is None:
                    raise ValueError("{}: the mask output needs a static shape".format(_node_desc(node)))
                self.consts[outputs[1]] = np.ones(shape, dtype=bool)
            return
        if self._fold_node(node, inputs):  # constant only once an earlier Dropout is renamed away
            return
        if op in ("Shape", "Size"):
            raise self._shape_not_static(node, inputs[0])
        attrs = self._attrs(node)
        op, inputs, attrs = self._modernise(node, op, inputs, attrs)
        if op in _COMPOSITES:
            return _COMPOSITES[op](self, node, name, inputs, outputs, attrs)
        if op not in SUPPORTED_OPS:
            raise ValueError("unsupported operator '{}' in {}".format(node.op_type, _node_desc(node)))
        for pos in PARAMETER_INPUTS.get(op, ()):
            if pos < len(inputs) and inputs[pos] and inputs[pos] not in self.consts:
                raise ValueError("{}: input {} ('{}') must be a constant".format(_node_desc(node), pos, inputs[pos]))
        if op in ("Softmax", "LogSoftmax", "Hardmax") and self.opset < 13:
            return self._legacy_softmax(node, op, name, inputs, outputs, attrs)
        self._emit(op, name, inputs, outputs, attrs)

    def _float_cast(self, node, inputs):
        """True for a cast of a float value to a float type."""
        if not inputs or inputs[0] in self.consts:
            return False
        floats = (self.onnx.TensorProto.FLOAT, self.onnx.TensorProto.FLOAT16, self.onnx.TensorProto.DOUBLE)
        if node.op_type == "Cast":
            to = next((a.i for a in node.attribute if a.name == "to"), None)
        elif len(inputs) > 1 and inputs[1] in self.consts:
            to = self.onnx.helper.np_dtype_to_tensor_dtype(self.consts[inputs[1]].dtype)
        else:
            to = self.types.get(inputs[1]) if len(inputs) > 1 else None
        return to in floats and self.types.get(inputs[0], self.onnx.TensorProto.FLOAT) in floats

    def _modernise(self, node, op, inputs, attrs):
        """Rewrites older operator-set forms into the current ones."""
        def move(attr, hint, dtype=np.int64):
            if attr in attrs:
                return self._const(np.array(attrs.pop(attr), dtype=dtype), hint)
            return ""

        def pad_inputs(n):
            return inputs + [""] * (n - len(inputs))

        if op == "Slice" and self.opset < 10:
            inputs = [inputs[0], move("starts", "starts"), move("ends", "ends"), move("axes", "axes")]
        elif op == "Pad" and self.opset < 11:
            pads = attrs.pop("pads", attrs.pop("paddings", None))
            value = attrs.pop("value", 0.0)
            inputs = [inputs[0], self._const(np.array(pads, np.int64), "pads"),
                      self._const(np.array(value, np.float32), "value")]
        elif op == "Clip" and self.opset < 11:
            inputs = [inputs[0], move("min", "min", np.float32), move("max", "max", np.float32)]
        elif op in ("Squeeze", "Unsqueeze") and self.opset < 13:
            inputs = [inputs[0], move("axes", "axes")]
        elif op == "Split" and self.opset < 13:
            inputs = [inputs[0], move("split", "split")]
        elif op.startswith("Reduce") and (self.opset < 18 and not (op == "ReduceSum" and self.opset >= 13)):
            inputs = [inputs[0], move("axes", "axes")]
        elif op == "Resize" and self.opset < 11:
            inputs = [inputs[0], "", inputs[1]]
            attrs.setdefault("coordinate_transformation_mode", "asymmetric")
            attrs.setdefault("nearest_mode", "floor")
        elif op == "Upsample":
            if "scales" in attrs:
                scales = self._const(np.array(attrs.pop("scales"), np.float32), "scales")
            else:
                scales = inputs[1]
            inputs = [inputs[0], "", scales]
            attrs["coordinate_transformation_mode"] = "asymmetric"
            attrs["nearest_mode"] = "floor"
            op = "Resize"
        elif op == "Resize":
            inputs = pad_inputs(4)
            for pos in (2, 3):  # an empty scales/sizes constant counts as absent
                if inputs[pos] in self.consts and self.consts[inputs[pos]].size == 0:
                    inputs[pos] = ""
        while inputs and not inputs[-1]:
            inputs.pop()
        if op.startswith("Reduce") and len(inputs) > 1:
            inputs[1] = self._axes_from_end(inputs[0], inputs[1])
        return op, inputs, attrs

    def _axes_from_end(self, value, axes):
        """Reduction axes counted from the end where the input's rank is known: the engine sees from them
        which reductions run over the last axes (a layer normalisation) before it knows any shape."""
        shape = self.consts[value].shape if value in self.consts else self.shapes.get(value)
        if shape is None or axes not in self.consts:
            return axes
        rank = len(shape)
        given = [int(a) for a in self.consts[axes].reshape(-1)]
        if not given or not all(-rank <= a < rank for a in given) or len({a % rank for a in given}) != len(given):
            return axes  # the engine refuses these, naming them
        return self._const(np.array(sorted(a % rank - rank for a in given), np.int64), "axes")

    def _static_shape(self, node, value):
        if value in self.consts:
            return tuple(self.consts[value].shape)
        if value not in self.shapes:
            raise ValueError("{}: needs a statically known input shape".format(_node_desc(node)))
        return self.shapes[value]

    def _chain(self, name, steps, outputs):
        """Emits (op, inputs, attrs) steps; each step may name the previous result "$"; the last writes `outputs`."""
        prev = None
        for k, (op, inputs, attrs) in enumerate(steps):
            out = outputs if k == len(steps) - 1 else ["{}__{}".format(name, k)]
            self._emit(op, "{}__{}".format(name, k), [prev if i == "$" else i for i in inputs], out, attrs)
            prev = out[0]

    def _tile(self, node, name, inputs, outputs, attrs):
        """Tile as Expand of an interleaved reshape: [d0, d1] -> [1, d0, 1, d1] -> [r0, d0, r1, d1] -> [r0*d0, r1*d1].
        Only an axis both repeated and longer than 1 takes a new axis (one of length 1 expands in place),
        so that the rank stays within the engine's where few axes repeat."""
        shape = self._static_shape(node, inputs[0])
        if inputs[1] not in self.consts:
            raise ValueError("{}: repeats must be a constant".format(_node_desc(node)))
        reps = [int(r) for r in self.consts[inputs[1]].reshape(-1)]
        split = [r != 1 and d != 1 for r, d in zip(reps, shape)]
        spread = [v for d, sp in zip(shape, split) for v in ((1, d) if sp else (d,))]
        grown = [v for r, d, sp in zip(reps, shape, split) for v in ((r, d) if sp else (r * d,))]
        final = [r * d for r, d in zip(reps, shape)]
        steps = [("Expand", ["$", self._const(np.array(grown, np.int64), "shape")], {})]
        if any(split):
            steps = ([("Reshape", [inputs[0], self._const(np.array(spread, np.int64), "shape")], {})] + steps +
                     [("Reshape", ["$", self._const(np.array(final, np.int64), "shape")], {})])
        else:
            steps[0][1][0] = inputs[0]
        self._chain(name, steps, outputs)

    def _depth_space(self, node, name, inputs, outputs, attrs):
        """DepthToSpace and SpaceToDepth as reshape, transpose, reshape."""
        n, c, h, w = self._static_shape(node, inputs[0])
        bs = attrs["blocksize"]
        if node.op_type == "SpaceToDepth":
            split, perm, final = [n, c, h // bs, bs, w // bs, bs], [0, 3, 5, 1, 2, 4], [n, c * bs * bs, h // bs, w // bs]
        elif attrs.get("mode", "DCR") == "DCR":
            split, perm, final = [n, bs, bs, c // (bs * bs), h, w], [0, 3, 4, 1, 5, 2], [n, c // (bs * bs), h * bs, w * bs]
        else:
            split, perm, final = [n, c // (bs * bs), bs, bs, h, w], [0, 1, 4, 2, 5, 3], [n, c // (bs * bs), h * bs, w * bs]
        self._chain(name, [("Reshape", [inputs[0], self._const(np.array(split, np.int64), "shape")], {}),
                           ("Transpose", ["$"], {"perm": perm}),
                           ("Reshape", ["$", self._const(np.array(final, np.int64), "shape")], {})], outputs)

    def _instance_norm(self, node, name, inputs, outputs, attrs):
        """InstanceNormalization from reductions and elementwise operators.  The axes are written from the
        end, the form the engine fuses into one normalisation."""
        shape = self._static_shape(node, inputs[0])
        rank = len(shape)
        eps = self._const(np.array(attrs.get("epsilon", 1e-5), np.float32), "eps")
        axes = list(range(2 - rank, 0))
        param_shape = [shape[1]] + [1] * (rank - 2)
        steps = []
        for i, (op, identity) in zip(inputs[1:3], (("Mul", 1), ("Add", 0))):
            if i and i not in self.consts:
                raise ValueError("{}: scale and bias must be constants".format(_node_desc(node)))
            # A scale of ones and a bias of zeros (what a GroupNormalization export gives) cost a pass each.
            if i and not np.all(self.consts[i] == identity):
                steps.append((op, ["$", self._const(self.consts[i].astype(np.float32).reshape(param_shape), "p")], {}))
        axes_c = self._const(np.array(axes, np.int64), "axes")
        mean = name + "__mean"
        self._emit("ReduceMean", mean, [inputs[0], axes_c], [mean], {"keepdims": 1})
        centred = name + "__centred"
        self._emit("Sub", centred, [inputs[0], mean], [centred], {})
        steps = [("Mul", [centred, centred], {}), ("ReduceMean", ["$", axes_c], {"keepdims": 1}),
                 ("Add", ["$", eps], {}), ("Sqrt", ["$"], {}), ("Div", [centred, "$"], {})] + steps
        self._chain(name, steps, outputs[:1])

    def _einsum(self, node, name, inputs, outputs, attrs):
        """Einsum of one or two operands as ReduceSum, Transpose, Reshape and one batched MatMul: the labels
        of both operands and the output are the batch, those of both operands alone are contracted, and
        those of one operand are its rows or columns (summed first when the output lacks them)."""
        def fail(why):
            return ValueError("{}: {}".format(_node_desc(node), why))

        eq = attrs.get("equation", "")
        eq = (eq.decode() if isinstance(eq, bytes) else eq).replace(" ", "")
        lhs, arrow, out = eq.partition("->")
        terms = lhs.split(",")
        if len(terms) != len(inputs) or len(terms) not in (1, 2):
            raise fail("only one or two operands are supported")
        shapes = [self._static_shape(node, i) for i in inputs]
        # The ellipsis stands for the leading axes that no letter names, broadcast as in numpy.
        ranks = [len(sh) - len(t.replace("...", "")) for t, sh in zip(terms, shapes)]
        ell = max(ranks)
        ell_labels = [chr(0x100 + k) for k in range(ell)]  # labels no equation uses
        labels, dims = [], {}
        for t, sh, r in zip(terms, shapes, ranks):
            if (r > 0 and "..." not in t) or r < 0 or not all(c.isalpha() for c in t.replace("...", "")):
                raise fail("equation '{}' does not fit the operand shapes".format(eq))
            head, _, tail = t.partition("...")
            ls = list(head) + ell_labels[ell - r:] + list(tail)
            if len(set(ls)) != len(ls):
                raise fail("a label repeated in one operand (a diagonal) is not supported")
            for lab, d in zip(ls, sh):
                if dims.get(lab, d) != d and 1 not in (d, dims[lab]):
                    raise fail("label '{}' has sizes {} and {}".format(lab, dims[lab], d))
                dims[lab] = max(dims.get(lab, d), d)  # a length of 1 broadcasts
            labels.append(ls)
        if arrow:
            head, _, tail = out.partition("...")
            want = list(head) + (ell_labels if "..." in out else []) + list(tail)
        else:
            once = sorted(c for c in set("".join(terms).replace(".", "")) if "".join(terms).count(c) == 1)
            want = ell_labels + once
        if len(set(want)) != len(want) or any(lab not in dims for lab in want):
            raise fail("output labels '{}' are not those of the operands".format(out))

        def emit(op, ins, attrs_=None):
            out = "{}__{}".format(name, len(self.nodes))
            self._emit(op, out, ins, [out], attrs_ or {})
            return out

        def prepare(value, ls, keep):
            """`value` with the labels outside `keep` summed, then its axes in the order of `keep`."""
            summed = [k for k, lab in enumerate(ls) if lab not in keep]
            if summed:
                value = emit("ReduceSum", [value, self._const(np.array(summed, np.int64), "axes")], {"keepdims": 0})
                ls = [lab for lab in ls if lab in keep]
            perm = [ls.index(lab) for lab in keep]
            return emit("Transpose", [value], {"perm": perm}) if perm != list(range(len(perm))) else value

        def reshape(value, shape):
            return emit("Reshape", [value, self._const(np.array(shape, np.int64), "shape")])

        if len(labels) == 1:
            result, order = prepare(inputs[0], labels[0], want), want
        else:
            a, b = labels
            batch = [lab for lab in a if lab in b and lab in want]
            inner = [lab for lab in a if lab in b and lab not in want]
            rows = [lab for lab in a if lab not in b and lab in want]
            cols = [lab for lab in b if lab not in a and lab in want]
            for ls, sh in zip(labels, shapes):
                if any(sh[ls.index(lab)] != dims[lab] for lab in inner):
                    raise fail("a contracted label is broadcast")
            size = lambda group: int(np.prod([dims[lab] for lab in group], dtype=np.int64))  # noqa: E731
            # Batch labels broadcast in the MatMul: each operand keeps its own extents there.
            ext = [[sh[ls.index(lab)] for lab in batch] for ls, sh in zip(labels, shapes)]
            left = reshape(prepare(inputs[0], a, batch + rows + inner), ext[0] + [size(rows), size(inner)])
            right = reshape(prepare(inputs[1], b, batch + inner + cols), ext[1] + [size(inner), size(cols)])
            order = batch + rows + cols
            result = reshape(emit("MatMul", [left, right]), [dims[lab] for lab in order])
        perm = [order.index(lab) for lab in want]
        if perm != list(range(len(perm))):
            result = emit("Transpose", [result], {"perm": perm})
        if result in inputs:
            self._emit("Identity", name, [result], outputs[:1], {})
        else:
            self.nodes[-1]["outputs"] = outputs[:1]

    def _legacy_softmax(self, node, op, name, inputs, outputs, attrs):
        """Before operator set 13 these operators worked on the input coerced to 2-D at `axis`."""
        shape = self.shapes.get(inputs[0])
        axis = attrs.get("axis", 1)
        if shape is None:
            raise ValueError("{}: needs a statically known input shape".format(_node_desc(node)))
        axis = axis + len(shape) if axis < 0 else axis
        if axis == len(shape) - 1:
            return self._emit(op, name, inputs, outputs, {"axis": -1})
        flat, soft = name + "__flat", name + "__2d"
        self._emit("Flatten", flat, [inputs[0]], [flat], {"axis": axis})
        self._emit(op, name, [flat], [soft], {"axis": 1})
        self._emit("Reshape", name + "__back", [soft, self._const(np.array(shape, np.int64), "shape")], outputs, {})

    def _consumers(self):
        count = {}
        for n in self.nodes:
            for i in n["inputs"]:
                if i:
                    count[i] = count.get(i, 0) + 1
        return count

    def _scale_conv(self, conv, scale, shift):
        """Makes Conv `conv` compute its output times `scale` plus `shift` (one value each, or one per output
        channel) through its weights and bias; False where those are not constants."""
        ins = conv["inputs"]
        has_bias = len(ins) > 2 and ins[2]
        if ins[1] not in self.consts or (has_bias and ins[2] not in self.consts):
            return False
        w = self.consts[ins[1]].astype(np.float64)
        s = np.broadcast_to(scale, (w.shape[0],))
        b = self.consts[ins[2]].astype(np.float64) if has_bias else np.zeros(w.shape[0])
        w = (w * s.reshape((-1,) + (1,) * (w.ndim - 1))).astype(np.float32)
        conv["inputs"] = [ins[0], self._const(w, "W"), self._const((b * s + shift).astype(np.float32), "B")]
        return True

    def _fold_batchnorm(self):
        """Inference BatchNormalization after a Conv, or after a MatMul by a constant matrix whose rows a
        Flatten or Reshape turned into the normalised [rows, channels] (a linear layer with BatchNorm1d),
        scales the weights and becomes a bias: no pass of its own."""
        producers = {o: n for n in self.nodes for o in n["outputs"]}
        consumers = self._consumers()

        def sole_use(name):
            return consumers.get(name) == 1 and name not in self.outputs

        def params(bn):
            scale, bias, mean, var = (self.consts[i].astype(np.float64) for i in bn["inputs"][1:])
            s = scale / np.sqrt(var + bn["attrs"].get("epsilon", 1e-5))
            return s, bias - mean * s

        added = {}  # MatMul node id -> the Add of its folded bias
        kept = []
        for n in self.nodes:
            src = producers.get(n["inputs"][0]) if n["op"] == "BatchNormalization" and n["inputs"] else None
            if (src is None or len(n["outputs"]) != 1 or len(n["inputs"]) != 5 or not sole_use(n["inputs"][0])
                    or not all(i in self.consts for i in n["inputs"][1:])):
                kept.append(n)
                continue
            if src["op"] == "Conv" and self._scale_conv(src, *params(n)):
                src["outputs"] = list(n["outputs"])
                continue
            mm = producers.get(src["inputs"][0]) if src["op"] in ("Flatten", "Reshape") else None
            rows = self.shapes.get(n["inputs"][0])
            w = self.consts.get(mm["inputs"][1]) if mm and mm["op"] == "MatMul" else None
            if (w is None or w.ndim != 2 or rows is None or len(rows) != 2 or rows[1] != w.shape[1]
                    or self.shapes.get(mm["outputs"][0], (None,))[-1] != w.shape[1] or id(mm) in added
                    or not sole_use(mm["outputs"][0])):
                kept.append(n)
                continue
            s, shift = params(n)
            mm["inputs"][1] = self._const((w.astype(np.float64) * s).astype(np.float32), "W")
            out = mm["outputs"][0]
            mm["outputs"] = [out + "__unshifted"]
            added[id(mm)] = {"op": "Add", "name": out + "__bn", "inputs": [out + "__unshifted",
                             self._const(shift.astype(np.float32), "B")], "outputs": [out], "attrs": {}}
            src["outputs"] = list(n["outputs"])
        self.nodes = [m for n in kept for m in ([n, added[id(n)]] if id(n) in added else [n])]

    def _fold_channel_scale(self):
        """A constant scale of each output channel (a layer scale) after a Conv, or of each column after a
        MatMul by a constant matrix (and its bias Add), scales the weights and the bias instead; also
        through a Transpose between them (a layer scale of NCHW after a linear layer over NHWC)."""
        producers = {o: n for n in self.nodes for o in n["outputs"]}
        consumers = self._consumers()
        dropped = set()

        def sole_use(name):
            return consumers.get(name) == 1 and name not in self.outputs

        def varying(c, rank):
            """(axis, values) of constant `c` that varies along one axis of a value of `rank` dimensions at
            most (axis None for one value); None otherwise."""
            if c.ndim > rank or c.dtype.kind != "f" or not np.all(np.isfinite(c)):
                return None
            dims = (1,) * (rank - c.ndim) + c.shape
            axes = [k for k, d in enumerate(dims) if d != 1]
            return None if len(axes) > 1 else (axes[0] if axes else None, c.reshape(-1).astype(np.float64))

        def fold_into_conv(conv, axis, v):
            return conv["op"] == "Conv" and axis in (None, 1) and self._scale_conv(conv, v, 0.0)

        def fold_into_linear(last, axis, v, rank):
            """`last` a MatMul by a constant matrix, or the Add of a bias after one."""
            mm, add, k = last, None, 0
            if last["op"] == "Add" and len(last["inputs"]) == 2:
                k = 1 if last["inputs"][1] in self.consts else 0
                add, mm = last, producers.get(last["inputs"][1 - k])
                if last["inputs"][k] not in self.consts or mm is None or not sole_use(last["inputs"][1 - k]):
                    return False
            w = self.consts.get(mm["inputs"][1]) if mm["op"] == "MatMul" else None
            if w is None or w.ndim != 2 or axis not in (None, rank - 1) or v.size not in (1, w.shape[1]):
                return False
            s = np.broadcast_to(v, (w.shape[1],))
            bias = varying(self.consts[add["inputs"][k]], rank) if add else None
            if add and (bias is None or bias[0] not in (None, rank - 1)):
                return False
            mm["inputs"][1] = self._const((w.astype(np.float64) * s).astype(np.float32), "W")
            if add:
                add["inputs"] = [add["inputs"][1 - k], self._const((bias[1] * s).astype(np.float32), "B")]
            return True

        def fold(src, axis, v, rank):
            if src["op"] == "Transpose" and sole_use(src["inputs"][0]) and src["inputs"][0] in producers:
                perm = src["attrs"].get("perm", list(range(rank))[::-1])
                return fold(producers[src["inputs"][0]], None if axis is None else perm[axis], v, rank)
            if id(src) in dropped:
                return False
            return fold_into_conv(src, axis, v) or fold_into_linear(src, axis, v, rank)

        for n in self.nodes:
            if n["op"] != "Mul" or len(n["inputs"]) != 2 or len(n["outputs"]) != 1:
                continue
            for side in (0, 1):
                value, c = n["inputs"][side], n["inputs"][1 - side]
                src, rank = producers.get(value), len(self.shapes.get(value, ()))
                scale = varying(self.consts[c], rank) if c in self.consts and rank else None
                if src is None or scale is None or not sole_use(value) or not fold(src, *scale, rank):
                    continue
                src["outputs"] = list(n["outputs"])
                dropped.add(id(n))
                break
        self.nodes = [n for n in self.nodes if id(n) not in dropped]

    def _finish_outputs(self):
        """Graph outputs must be computed by a node: constants, inputs and renamed values get a copy."""
        produced = {o for n in self.nodes for o in n["outputs"]}
        input_names = {name for name, _ in self.inputs}
        for name in self.outputs:
            if self.output_types.get(name) not in (self.onnx.TensorProto.FLOAT, 0):
                raise ValueError("output '{}' is not a float tensor".format(name))
            src = self.rename.get(name, name)
            if src == name and name in produced:
                continue
            if src in self.consts:
                value = self.consts[src]
                if value.dtype.kind not in "fiub":
                    raise ValueError("output '{}' is not numeric".format(name))
                src_c = self._const(value.astype(np.float32), "out")
                self._emit("Identity", name + "__copy", [src_c], [name], {})
            elif src in produced or src in input_names:
                self._emit("Identity", name + "__copy", [src], [name], {})
            else:
                raise ValueError("output '{}' is not computed by the graph".format(name))

    def _prune(self):
        """Drops nodes whose outputs nobody needs."""
        needed = set(self.outputs)
        kept = []
        for n in reversed(self.nodes):
            if any(o in needed for o in n["outputs"] if o):
                kept.append(n)
                needed.update(i for i in n["inputs"] if i)
        self.nodes = kept[::-1]

    # ------------------------------------------------------------ bytes

    def _serialise(self):
        ids = {}
        tensors = []  # byte chunks; constant data goes in as array buffers, uncopied

        def s(text):
            b = text.encode("utf-8")
            return struct.pack("<I", len(b)) + b

        def add(name, kind, value=None, shape=None):
            ids[name] = len(ids)
            if kind == _KIND_VALUE:
                tensors.append(s(name) + struct.pack("<B", kind))
                return
            dtype, data = 0, None
            if kind == _KIND_DATA:
                value = np.asarray(value)
                if value.size >= _MAX_ELEMENTS:
                    raise ValueError("constant '{}' is too large".format(name))
                if value.dtype.kind == "f":
                    value = np.asarray(value, dtype="<f4")
                elif value.dtype.kind in "iub":
                    dtype, value = 1, np.asarray(value, dtype="<i8")
                else:
                    raise ValueError("constant '{}' has unsupported type {}".format(name, value.dtype))
                # Not np.ascontiguousarray: it turns a scalar into a 1-element vector.
                value = value if value.flags.c_contiguous else value.copy(order="C")
                shape, flat = value.shape, value.reshape(-1)
                if flat.size > 1 and flat[0] == flat[-1] and np.all(flat == flat[0]):
                    kind, data = _KIND_FILL, flat[:1]
                else:
                    data = flat
            tensors.append(s(name) + struct.pack("<BBB{}q".format(len(shape)), kind, dtype, len(shape), *shape))
            if data is not None:
                tensors.append(memoryview(data).cast("B"))

        for name, shape in self.inputs:
            add(name, _KIND_INPUT, shape=shape)
        for n in self.nodes:
            for i in n["inputs"]:
                if i and i not in ids:
                    if i not in self.consts:
                        raise ValueError("{} node '{}': input '{}' is not defined".format(n["op"], n["name"], i))
                    add(i, _KIND_DATA, value=self.consts[i])
            for o in n["outputs"]:
                if o and o not in ids:
                    add(o, _KIND_VALUE)
        out = [FORMAT_MAGIC, struct.pack("<II", FORMAT_VERSION, len(ids))] + tensors
        out.append(struct.pack("<I{}I".format(len(self.inputs)), len(self.inputs), *(ids[n] for n, _ in self.inputs)))
        out.append(struct.pack("<I{}I".format(len(self.outputs)), len(self.outputs), *(ids[n] for n in self.outputs)))
        out.append(struct.pack("<I", len(self.nodes)))
        for n in self.nodes:
            outs = list(n["outputs"])
            while outs and not outs[-1]:
                outs.pop()
            if any(not o for o in outs):
                raise ValueError("{} node '{}': an optional output in the middle is not supported".format(
                    n["op"], n["name"]))
            out.append(s(n["op"]) + s(n["name"]))
            out.append(struct.pack("<I{}i".format(len(n["inputs"])), len(n["inputs"]),
                                   *(ids[i] if i else -1 for i in n["inputs"])))
            out.append(struct.pack("<I{}I".format(len(outs)), len(outs), *(ids[o] for o in outs)))
            out.append(struct.pack("<I", len(n["attrs"])))
            for key, v in sorted(n["attrs"].items()):
                out.append(s(key) + _attr_bytes(n, key, v))
        return b"".join(out)


# Operators the compiler expresses with engine operators.
_COMPOSITES = {
    "Tile": _Compiler._tile,
    "DepthToSpace": _Compiler._depth_space,
    "SpaceToDepth": _Compiler._depth_space,
    "InstanceNormalization": _Compiler._instance_norm,
    "Einsum": _Compiler._einsum,
}


def _attr_bytes(node, key, v):
    if isinstance(v, bool) or isinstance(v, (int, np.integer)):
        return struct.pack("<Bq", _ATTR_INT, int(v))
    if isinstance(v, (float, np.floating)):
        return struct.pack("<Bf", _ATTR_FLOAT, float(v))
    if isinstance(v, str):
        b = v.encode("utf-8")
        return struct.pack("<BI", _ATTR_STRING, len(b)) + b
    if isinstance(v, (list, tuple)):
        if all(isinstance(x, (int, np.integer)) for x in v):
            return struct.pack("<BI{}q".format(len(v)), _ATTR_INTS, len(v), *v)
        if all(isinstance(x, (float, int, np.floating)) for x in v):
            return struct.pack("<BI{}f".format(len(v)), _ATTR_FLOATS, len(v), *v)
    raise ValueError("{} node '{}': attribute '{}' has an unsupported type".format(node["op"], node["name"], key))


def _load(model):
    onnx = _onnx()
    if isinstance(model, (str, bytes, os.PathLike)) and not isinstance(model, onnx.ModelProto):
        try:
            if os.path.getsize(model) == 0:
                raise ValueError("the file is empty")
            return onnx.load(model)
        except Exception as exc:
            raise ValueError("cannot read ONNX model {}: {}".format(model, exc)) from exc
    return model


def export_graph(model, input_shapes=None):
    """The export section (engine graph bytes) of an ONNX model (a ModelProto or a path)."""
    return _Compiler(_load(model), input_shapes).run()


def _config(targets):
    if isinstance(targets, str):
        targets = [targets]
    names = [t.strip().upper() for t in targets if t.strip()]
    if not names:
        raise ValueError("no target platform given")
    from ..api.npu_config.npu_chipmap import get_npu_model_from_target, get_support_target_soc

    for t in names:
        if get_npu_model_from_target(t) is None:
            raise ValueError("unknown target platform '{}'; valid targets: {}".format(
                t, ", ".join(s.lower() for s in get_support_target_soc())))
    return json.dumps({"target_platform": names}).encode("utf-8")


def compile_model(model, targets, input_shapes=None):
    """Container bytes for an ONNX model: export section plus the configuration naming `targets`."""
    from ..api.zelt_model import ZELTModel

    config = _config(targets)
    return ZELTModel.create_zelt_model(CONTAINER_VERSION, export_graph(model, input_shapes), config, None, None)


class _Terminated(BaseException):
    pass


def _raise_terminated(signum, frame):
    raise _Terminated(signum)


def convert_file(src, dst, targets, input_shapes=None):
    """Compiles the ONNX file `src` into the container file `dst`, which is only ever written whole."""
    if os.path.exists(dst) and os.path.exists(src) and os.path.samefile(src, dst):
        raise ValueError("the output file {} is the ONNX model itself".format(dst))
    data = compile_model(src, targets, input_shapes)
    folder = os.path.dirname(os.path.abspath(dst))
    os.makedirs(folder, exist_ok=True)
    # Under the default disposition a SIGTERM would end the process with the temporary file left behind:
    # while it exists, the signal removes it first and then ends the process as before.
    handles_term = (threading.current_thread() is threading.main_thread()
                    and signal.getsignal(signal.SIGTERM) is signal.SIG_DFL)
    if handles_term:
        signal.signal(signal.SIGTERM, _raise_terminated)
    try:
        fd, tmp = tempfile.mkstemp(prefix=".zelt-", dir=folder)
        try:
            with os.fdopen(fd, "wb") as f:
                f.write(data)
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(tmp, 0o666 & ~umask)
            os.replace(tmp, dst)
        except BaseException:
            os.unlink(tmp)
            raise
    except _Terminated:
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        handles_term = False
        os.kill(os.getpid(), signal.SIGTERM)
        raise
    finally:
        if handles_term:
            signal.signal(signal.SIGTERM, signal.SIG_DFL)
    return len(data)
