"""Command line: ``python -m zeltlite <command>``."""
import argparse
import logging
import sys


def _targets(args):
    from .api.zelt_platform_utils import list_support_target_platform

    list_support_target_platform(args.model)
    return 0


def _shape_arg(text):
    name, sep, dims = text.rpartition("=")
    try:
        if not sep or not name:
            raise ValueError
        return name, [int(d) for d in dims.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError("expected NAME=D0,D1,..., got {!r}".format(text)) from None


def _convert(args):
    from .convert import convert_file

    size = convert_file(args.model, args.output, args.target.split(","), dict(args.input_shape))
    print("wrote {} ({} bytes)".format(args.output, size))
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m zeltlite", description=__doc__)
    sub = parser.add_subparsers(dest="command", required=True)
    targets = sub.add_parser("targets", help="list the supported target platforms, or those a model supports")
    targets.add_argument("model", nargs="?", default=None, help="model container file")
    targets.set_defaults(run=_targets)
    convert = sub.add_parser("convert", help="compile an ONNX model into a model container for the simulator")
    convert.add_argument("model", help="ONNX model file")
    convert.add_argument("-o", "--output", required=True, help="model container file to write")
    convert.add_argument("--target", required=True, help="target platform(s), comma-separated, e.g. tx5100")
    convert.add_argument("--input-shape", action="append", default=[], type=_shape_arg, metavar="NAME=D0,D1,...",
                         help="static shape of an input whose shape the model leaves open (repeatable)")
    convert.set_defaults(run=_convert)

    args = parser.parse_args(argv)
    logging.basicConfig(level=logging.INFO, format="%(levelname)s: %(message)s")
    try:
        return args.run(args)
    except Exception as exc:  # a clear message instead of a traceback
        print("error: {}".format(exc), file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
