"""Builds the example model shipped in the package: SqueezeNet 1.1 with fixed seeded weights.

    python scripts/build_example.py [-o src/zeltlite/examples/squeezenet1_1.zelt]

The architecture is SqueezeNet 1.1 (Iandola et al., 2016; the 1.1 revision of the reference
implementation): a 3x3/2 stem, eight Fire modules (1x1 squeeze, then 1x1 and 3x3 expand, concatenated)
between three max-pooling steps, a 1x1 classifier convolution to the 1000 ImageNet classes and global
average pooling. The weights are He-initialised from a fixed seed, so the model is reproducible but
untrained: its top classes show the data path working, not a real prediction.

The input "image" is NCHW float RGB in 0..255 (the session takes NHWC and any integer pixel type);
the ImageNet mean/std normalisation is folded into the first convolution. The output "logits" has
shape (1, 1000).
Needs the convert extra (onnx).
"""
import argparse
import os

import numpy as np
from onnx import TensorProto, helper, numpy_helper

from zeltlite.convert import compile_model

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_OUTPUT = os.path.join(HERE, "..", "src", "zeltlite", "examples", "squeezenet1_1.zelt")
SEED = 20160224  # the architecture's publication date
MEAN = np.array([0.485, 0.456, 0.406], np.float32) * 255
STD = np.array([0.229, 0.224, 0.225], np.float32) * 255


class Graph:
    def __init__(self, seed):
        self.rng = np.random.default_rng(seed)
        self.nodes, self.inits, self.count = [], [], 0

    def const(self, value, hint):
        self.count += 1
        name = "{}_{}".format(hint, self.count)
        self.inits.append(numpy_helper.from_array(np.asarray(value, np.float32), name))
        return name

    def node(self, op, inputs, name, **attrs):
        self.nodes.append(helper.make_node(op, inputs, [name], name=name, **attrs))
        return name

    def conv_relu(self, x, cin, cout, k, name, stride=1, pad=0, input_scale=None, input_shift=None):
        fan_in = cin * k * k
        w = self.rng.standard_normal((cout, cin, k, k)) * np.sqrt(2.0 / fan_in)
        b = self.rng.standard_normal(cout) * 0.01
        if input_scale is not None:
            # conv(x * s + t) == conv'(x) without padding: s goes into the weights, t into the bias.
            b = b + np.einsum("oihw,i->o", w, input_shift)
            w = w * input_scale.reshape(1, cin, 1, 1)
        y = self.node("Conv", [x, self.const(w, name + "_w"), self.const(b, name + "_b")], name,
                      kernel_shape=[k, k], strides=[stride, stride], pads=[pad] * 4)
        return self.node("Relu", [y], name + "_relu")

    def fire(self, x, cin, squeeze, expand, name):
        s = self.conv_relu(x, cin, squeeze, 1, name + "_squeeze1x1")
        e1 = self.conv_relu(s, squeeze, expand, 1, name + "_expand1x1")
        e3 = self.conv_relu(s, squeeze, expand, 3, name + "_expand3x3", pad=1)
        return self.node("Concat", [e1, e3], name + "_concat", axis=1)

    def pool(self, x, name):
        return self.node("MaxPool", [x], name, kernel_shape=[3, 3], strides=[2, 2], ceil_mode=1)


def squeezenet1_1(seed=SEED, classes=1000, size=224):
    g = Graph(seed)
    # The stem convolution also normalises the pixels: (x - mean) / std, folded into its weights.
    x = g.conv_relu("image", 3, 64, 3, "conv1", stride=2, input_scale=1 / STD, input_shift=-MEAN / STD)
    x = g.pool(x, "pool1")
    x = g.fire(x, 64, 16, 64, "fire2")
    x = g.fire(x, 128, 16, 64, "fire3")
    x = g.pool(x, "pool3")
    x = g.fire(x, 128, 32, 128, "fire4")
    x = g.fire(x, 256, 32, 128, "fire5")
    x = g.pool(x, "pool5")
    x = g.fire(x, 256, 48, 192, "fire6")
    x = g.fire(x, 384, 48, 192, "fire7")
    x = g.fire(x, 384, 64, 256, "fire8")
    x = g.fire(x, 512, 64, 256, "fire9")
    x = g.conv_relu(x, 512, classes, 1, "conv10")
    x = g.node("GlobalAveragePool", [x], "pool10")
    g.node("Flatten", [x], "logits", axis=1)
    graph = helper.make_graph(g.nodes, "squeezenet1_1",
                              [helper.make_tensor_value_info("image", TensorProto.FLOAT, [1, 3, size, size])],
                              [helper.make_tensor_value_info("logits", TensorProto.FLOAT, [1, classes])], g.inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    model.ir_version = 8
    return model


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-o", "--output", default=DEFAULT_OUTPUT, help="container file to write")
    parser.add_argument("--target", default="tx5100", help="target platform named in the container")
    args = parser.parse_args()
    data = compile_model(squeezenet1_1(), args.target)
    with open(args.output, "wb") as f:
        f.write(data)
    print("wrote {} ({} bytes)".format(os.path.normpath(args.output), len(data)))


if __name__ == "__main__":
    main()
