"""Small ONNX models with random weights, built with onnx.helper."""
import numpy as np
from onnx import TensorProto, helper, numpy_helper


class Builder:
    def __init__(self, seed=0, opset=17):
        self.rng = np.random.RandomState(seed)
        self.nodes, self.inits, self.opset = [], [], opset
        self.n = 0

    def name(self, hint):
        self.n += 1
        return "{}{}".format(hint, self.n)

    def const(self, value, hint="c"):
        name = self.name(hint)
        self.inits.append(numpy_helper.from_array(np.asarray(value), name))
        return name

    def weight(self, shape, fan_in):
        return self.const((self.rng.randn(*shape) * np.sqrt(2.0 / fan_in)).astype(np.float32), "w")

    def op(self, op_type, inputs, n_out=1, **attrs):
        outs = [self.name(op_type.lower()) for _ in range(n_out)]
        self.nodes.append(helper.make_node(op_type, inputs, outs, name=self.name("n"), **attrs))
        return outs[0] if n_out == 1 else outs

    def conv(self, x, cin, cout, k, stride=1, group=1, pad=None, dilation=1, bias=True):
        pad = (k // 2) * dilation if pad is None else pad
        w = self.weight((cout, cin // group, k, k), cin // group * k * k)
        ins = [x, w] + ([self.const((self.rng.randn(cout) * 0.1).astype(np.float32), "b")] if bias else [])
        return self.op("Conv", ins, kernel_shape=[k, k], strides=[stride, stride], pads=[pad] * 4,
                       dilations=[dilation, dilation], group=group)

    def bn(self, x, c):
        r = self.rng
        params = [r.uniform(0.5, 1.5, c), r.randn(c) * 0.1, r.randn(c) * 0.1, r.uniform(0.5, 1.5, c)]
        return self.op("BatchNormalization", [x] + [self.const(p.astype(np.float32), "bn") for p in params],
                       epsilon=1e-5)

    def clip6(self, x):
        return self.op("Clip", [x, self.const(np.float32(0)), self.const(np.float32(6))])

    def model(self, inputs, outputs):
        """`inputs`: [(name, shape)]; `outputs`: value names."""
        graph = helper.make_graph(
            self.nodes, "g", [helper.make_tensor_value_info(n, TensorProto.FLOAT, s) for n, s in inputs],
            [helper.make_tensor_value_info(o, TensorProto.FLOAT, None) for o in outputs], self.inits)
        m = helper.make_model(graph, opset_imports=[helper.make_opsetid("", self.opset)])
        m.ir_version = 8
        return m


def mobilenet_like(size=224, width=1.0, classes=1000, seed=0):
    """MobileNetV2-style classifier: inverted residual blocks of 1x1 expand, 3x3 depthwise, 1x1 project."""
    b = Builder(seed)

    def ch(c):
        return max(8, int(c * width + 4) // 8 * 8)

    x = b.clip6(b.bn(b.conv("input", 3, ch(32), 3, stride=2, bias=False), ch(32)))
    cin = ch(32)
    settings = [(1, 16, 1, 1), (6, 24, 2, 2), (6, 32, 3, 2), (6, 64, 4, 2), (6, 96, 3, 1), (6, 160, 3, 2),
                (6, 320, 1, 1)]
    for t, c, n, s in settings:
        cout = ch(c)
        for i in range(n):
            stride = s if i == 0 else 1
            hidden = cin * t
            y = x
            if t != 1:
                y = b.clip6(b.bn(b.conv(y, cin, hidden, 1, bias=False), hidden))
            y = b.clip6(b.bn(b.conv(y, hidden, hidden, 3, stride=stride, group=hidden, bias=False), hidden))
            y = b.bn(b.conv(y, hidden, cout, 1, bias=False), cout)
            x = b.op("Add", [x, y]) if stride == 1 and cin == cout else y
            cin = cout
    x = b.clip6(b.bn(b.conv(x, cin, 1280, 1, bias=False), 1280))
    x = b.op("GlobalAveragePool", [x])
    x = b.op("Flatten", [x], axis=1)
    logits = b.op("Gemm", [x, b.weight((classes, 1280), 1280), b.const(np.zeros(classes, np.float32))], transB=1)
    return b.model([("input", [1, 3, size, size])], [logits])


def randomise_weights(model, seed):
    """The zoo's weights are ConstantOfShape fills; random ones make the comparison meaningful."""
    rng = np.random.default_rng(seed)
    g = model.graph
    inits = {t.name: numpy_helper.to_array(t) for t in g.initializer}
    kept = []
    for node in g.node:
        if node.op_type != "ConstantOfShape":
            kept.append(node)
            continue
        shape = tuple(int(d) for d in inits[node.input[0]])
        if len(shape) == 1:
            value = rng.uniform(0.5, 1.5, shape)  # biases and positive batch-norm statistics
        else:
            value = rng.standard_normal(shape, dtype=np.float32) * np.float32(np.sqrt(2.0 / np.prod(shape[1:])))
        g.initializer.append(numpy_helper.from_array(value.astype(np.float32), node.output[0]))
    del g.node[:]
    g.node.extend(kept)
    used = {i for n in kept for i in n.input}
    unused = [t for t in g.initializer if t.name not in used]
    for t in unused:
        g.initializer.remove(t)
    for vi in [vi for vi in g.input if vi.name in {t.name for t in unused}]:
        g.input.remove(vi)
    return model
