"""Export sections written by hand (docs/export-format.md): graphs the compiler would never make."""
import struct

F32, I64 = 0, 1


def _str(t):
    b = t.encode()
    return struct.pack("<I", len(b)) + b


def _attr(name, v):
    if isinstance(v, bool) or isinstance(v, int):
        return _str(name) + struct.pack("<Bq", 0, int(v))
    if isinstance(v, float):
        return _str(name) + struct.pack("<Bf", 1, v)
    if isinstance(v, str):
        return _str(name) + struct.pack("<B", 4) + _str(v)
    if all(isinstance(x, int) for x in v):
        return _str(name) + struct.pack("<BI{}q".format(len(v)), 2, len(v), *v)
    return _str(name) + struct.pack("<BI{}f".format(len(v)), 3, len(v), *v)


class ExportGraph:
    def __init__(self):
        self.tensors, self.inputs, self.outputs, self.nodes = [], [], [], []

    def _add(self, body):
        self.tensors.append(_str("t{}".format(len(self.tensors))) + body)
        return len(self.tensors) - 1

    def input(self, shape):
        t = self._add(struct.pack("<BBB{}q".format(len(shape)), 0, F32, len(shape), *shape))
        self.inputs.append(t)
        return t

    def const(self, shape, values, dtype=F32):
        """A constant of `values` (all its elements), or of one value repeated when `values` is a number."""
        fill = not isinstance(values, (list, tuple))
        values = [values] if fill else list(values)
        body = struct.pack("<BBB{}q".format(len(shape)), 2 if fill else 1, dtype, len(shape), *shape)
        return self._add(body + struct.pack("<{}{}".format(len(values), "f" if dtype == F32 else "q"), *values))

    def node(self, op, ins, n_out=1, **attrs):
        outs = [self._add(struct.pack("<B", 3)) for _ in range(n_out)]
        self.nodes.append(_str(op) + _str("n{}".format(len(self.nodes))) +
                          struct.pack("<I{}i".format(len(ins)), len(ins), *ins) +
                          struct.pack("<I{}I".format(n_out), n_out, *outs) +
                          struct.pack("<I", len(attrs)) + b"".join(_attr(k, v) for k, v in attrs.items()))
        return outs[0] if n_out == 1 else outs

    def container(self, outputs):
        export = (b"ZENG" + struct.pack("<II", 1, len(self.tensors)) + b"".join(self.tensors) +
                  struct.pack("<I{}I".format(len(self.inputs)), len(self.inputs), *self.inputs) +
                  struct.pack("<I{}I".format(len(outputs)), len(outputs), *outputs) +
                  struct.pack("<I", len(self.nodes)) + b"".join(self.nodes))
        config = b'{"target_platform": ["TX5100"]}'
        return struct.pack("<QQQ", 0x544C455A, 1, len(export)) + export + struct.pack("<Q", len(config)) + config
