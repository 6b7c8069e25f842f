"""Command line: ``python -m zeltlite <command>``."""
import argparse
import logging
import sys


def _targets(args):
    from .api.zelt_platform_utils import list_support_target_platform

    list_support_target_platform(args.model)
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m zeltlite", description=__doc__)
    sub = parser.add_subparsers(dest="command", required=True)
    targets = sub.add_parser("targets", help="list the supported target platforms, or those a model supports")
    targets.add_argument("model", nargs="?", default=None, help="model container file")
    targets.set_defaults(run=_targets)

    args = parser.parse_args(argv)
    logging.basicConfig(level=logging.INFO, format="%(levelname)s: %(message)s")
    try:
        return args.run(args)
    except Exception as exc:  # a clear message instead of a traceback
        print("error: {}".format(exc), file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
