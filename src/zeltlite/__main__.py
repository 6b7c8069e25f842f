"""Command line: ``zeltlite <command>`` (the same as ``python -m zeltlite <command>``)."""
import argparse
import csv
import io
import json
import logging
import os
import statistics
import struct
import sys
import threading
import time

EXAMPLE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "examples")
EXAMPLE_MODEL = os.path.join(EXAMPLE_DIR, "squeezenet1_1.zelt")
EXAMPLE_LABELS = os.path.join(EXAMPLE_DIR, "imagenet_labels.txt")
IMAGE_SUFFIXES = (".png", ".jpg", ".jpeg", ".bmp", ".gif", ".tif", ".tiff", ".webp", ".ppm")


class CommandError(Exception):
    """A refusal of the command line itself, shown as one error line."""


# ------------------------------------------------------------------ helpers


def _lite(args, **options):
    """A ZELTLite with the model of `args` loaded and its session started."""
    from .api import ZELTLite

    lite = ZELTLite()
    try:
        lite.load_zelt(_model_path(args))
        lite.init_runtime(target=args.target, device_id=args.device, **options)
    except BaseException as exc:
        lite.release()
        if str(exc) == "Please specify the target in init_runtime!":
            raise CommandError("no NPU on this machine: name a target with --target, for example "
                               "--target simulator or --target tx5100") from None
        raise
    return lite


def _model_path(args):
    if getattr(args, "example", False):
        if args.model is not None:
            raise CommandError("give either a model file or --example, not both")
        return EXAMPLE_MODEL
    if args.model is None:
        raise CommandError("no model given: name a model container file (or use --example)")
    return args.model


def _read_image(path, detail):
    try:
        from PIL import Image
    except ImportError:
        raise CommandError("reading images needs Pillow: pip install 'zeltlite[cli]'") from None
    import numpy as np

    shape = detail["shape"]
    if detail["layout"] != "NHWC" or len(shape) != 4 or shape[3] not in (1, 3):
        raise CommandError("input '{}' (shape {}) is not an image input".format(detail["name"], list(shape)))
    with Image.open(path) as image:
        image = image.convert("RGB" if shape[3] == 3 else "L").resize((shape[2], shape[1]), Image.BILINEAR)
        pixels = np.asarray(image, dtype=np.uint8).reshape(shape[1], shape[2], shape[3])
    return np.ascontiguousarray(np.broadcast_to(pixels, shape))


def _synthetic_inputs(lite):
    """Fixed pseudo-random inputs of the model's shapes: pixel values for images, else standard normal."""
    import numpy as np

    rng = np.random.default_rng(0)
    arrays = []
    for detail in lite.get_inputs():
        if detail["layout"] == "NHWC":
            arrays.append(rng.integers(0, 256, detail["shape"], dtype=np.uint8))
        else:
            arrays.append(rng.standard_normal(detail["shape"]).astype(np.float32))
    return arrays


def _inputs(args, lite):
    """(inputs, their layouts, a description) from --input, or synthetic inputs when none is given.

    Array files are in the layout of --layout; images are read as NHWC.
    """
    import numpy as np

    details = lite.get_inputs()
    if not args.input:
        return _synthetic_inputs(lite), ["nhwc"] * len(details), "synthetic (fixed seed)"
    if len(args.input) == 1 and args.input[0].endswith(".npz"):
        path = args.input[0]
        if not os.path.isfile(path):
            raise CommandError("input file not found: {}".format(path))
        with np.load(path, allow_pickle=False) as archive:
            return {name: archive[name] for name in archive.files}, [args.layout] * len(details), path
    if len(args.input) != len(details):
        raise CommandError("the model takes {} input(s), {} given with --input".format(len(details), len(args.input)))
    arrays, layouts = [], []
    for detail, path in zip(details, args.input):
        if not os.path.isfile(path):
            raise CommandError("input file not found: {}".format(path))
        if path.lower().endswith(IMAGE_SUFFIXES):
            arrays.append(_read_image(path, detail))
            layouts.append("nhwc")
        elif path.endswith(".npy"):
            arrays.append(np.load(path, allow_pickle=False))
            layouts.append(args.layout)
        else:
            raise CommandError("{}: give a .npy file per input, one .npz file, or an image file ({})".format(
                path, ", ".join(IMAGE_SUFFIXES)))
    return arrays, layouts, ", ".join(args.input)


def _softmax(x):
    import numpy as np

    e = np.exp(x - x.max())
    return e / e.sum()


def _labels(args):
    path = args.labels or (EXAMPLE_LABELS if getattr(args, "example", False) else None)
    if path is None:
        return None
    with open(path, encoding="utf-8") as f:
        return [line.strip() for line in f]


def _percentile(sorted_values, q):
    """Nearest-rank percentile of an ascending list."""
    rank = max(1, -(-len(sorted_values) * q // 100))
    return sorted_values[int(rank) - 1]


def _operator_count(export_data):
    """Nodes of an engine graph export section, or None for another format."""
    if export_data is None or export_data[:4] != b"ZENG":
        return None
    try:
        pos = 8

        def u32():
            nonlocal pos
            pos += 4
            return struct.unpack_from("<I", export_data, pos - 4)[0]

        for _ in range(u32()):
            length = u32()  # the tensor's name
            pos += length
            kind = export_data[pos]
            pos += 1
            if kind == 3:
                continue
            dtype, rank = export_data[pos], export_data[pos + 1]
            dims = struct.unpack_from("<{}q".format(rank), export_data, pos + 2)
            pos += 2 + 8 * rank
            numel = 1
            for d in dims:
                numel *= d
            pos += {0: 0, 1: numel, 2: 1}[kind] * (4 if dtype == 0 else 8)
        for _ in range(2):  # graph inputs and outputs
            count = u32()
            pos += 4 * count
        return u32()
    except (struct.error, IndexError, KeyError):
        return None


def _print_tensors(title, tensors):
    print("{}:".format(title))
    for t in tensors:
        q = t["quantization"]
        quant = "" if q["type"] == "none" else ", {} zp={} scale={:g}".format(q["type"], q["zero_point"], q["scale"])
        print("  [{}] {}  shape={}  dtype={}  layout={}{}".format(t["index"], t["name"], list(t["shape"]), t["dtype"],
                                                                t["layout"], quant))


def _progress(total, unit, disable):
    """A tqdm progress bar on standard error when tqdm is installed, else a silent stand-in."""
    try:
        from tqdm import tqdm
    except ImportError:
        tqdm = None
    if tqdm is None or disable:
        class Silent:
            def update(self, n=1):
                pass

            def close(self):
                pass

        return Silent()
    # disable=None: shown on a terminal only, so redirected output stays clean.
    return tqdm(total=total, unit=unit, file=sys.stderr, leave=False, dynamic_ncols=True, disable=None)


# ------------------------------------------------------------------ commands


def _targets(args):
    from .api import ZELTLite

    ZELTLite.list_support_target_platform(args.model)
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


def _devices(args):
    from .api import ZELTLite

    found = ZELTLite.list_devices()
    if args.json:
        print(json.dumps(found, indent=2))
        return 0
    for kind, title in (("adb", "adb devices"), ("ntb", "ntb devices (npu_tetherd)")):
        devices = found[kind]
        if devices is None:
            print("{}: tool not installed".format(title))
        elif not devices:
            print("{}: none".format(title))
        else:
            print("{}:".format(title))
            for d in devices:
                print("  {:<24} {}{}".format(d["id"], d["state"], "  " + d["kind"] if "kind" in d else ""))
    return 0


def _inspect(args):
    from .api.zelt_lite import container_targets, read_container

    path = _model_path(args)
    model = read_container(path)
    targets = container_targets(model)
    ops = _operator_count(model.export_data)
    lite = _lite(args)
    try:
        inputs, outputs = lite.get_inputs(), lite.get_outputs()
    finally:
        lite.release()
    if args.json:
        print(json.dumps({"model": path, "size": os.path.getsize(path), "version": model.zelt_version,
                          "targets": targets, "operators": ops, "inputs": inputs, "outputs": outputs}, indent=2))
        return 0
    print("model:     {}".format(path))
    print("size:      {} bytes".format(os.path.getsize(path)))
    print("container: version {}".format(model.zelt_version))
    print("targets:   {}".format(", ".join(targets) or "none named"))
    print("operators: {}".format(ops if ops is not None else "unknown (not an engine graph)"))
    _print_tensors("inputs", inputs)
    _print_tensors("outputs", outputs)
    return 0


def _run(args):
    import numpy as np

    if args.top_k < 1:
        raise CommandError("--top-k must be at least 1")
    lite = _lite(args)
    try:
        arrays, layouts, source = _inputs(args, lite)
        start = time.perf_counter()
        outputs = lite.inference(arrays, data_format=layouts)
        latency = (time.perf_counter() - start) * 1000
        names = [t["name"] for t in lite.get_outputs()]
        target = lite.target
    finally:
        lite.release()
    labels = _labels(args)
    print("model:   {}".format(_model_path(args)))
    print("target:  {}".format(target))
    print("input:   {}".format(source))
    for name, out in zip(names, outputs):
        print("output '{}': shape {}".format(name, list(out.shape)))
        scores = out.reshape(-1)
        if scores.size > 1:
            probs = _softmax(scores.astype(np.float64))
            for rank, index in enumerate(np.argsort(-scores, kind="stable")[:args.top_k], 1):
                label = labels[index] if labels and index < len(labels) else "class {}".format(index)
                print("  {}. {:<5} {:<32} score {:9.4f}  p={:.4f}".format(rank, int(index), label, scores[index],
                                                                           probs[index]))
    print("latency: {:.2f} ms (first inference of the session; `bench` for steady-state figures)".format(latency))
    if args.output:
        folder = os.path.dirname(os.path.abspath(args.output))
        os.makedirs(folder, exist_ok=True)
        np.savez(args.output, **dict(zip(names, outputs)))
        print("wrote {}".format(args.output))
    return 0


def _bench(args):
    if args.runs is not None and args.runs < 1:
        raise CommandError("--runs must be at least 1")
    if args.duration is not None and args.duration <= 0:
        raise CommandError("--duration must be positive")
    if args.threads < 1 or args.warmup < 0:
        raise CommandError("--threads must be at least 1 and --warmup at least 0")
    runs = args.runs if args.runs is not None else (None if args.duration is not None else 100)
    # One session per thread: a session is not for concurrent use.
    lites = []
    try:
        for _ in range(args.threads):
            lites.append(_lite(args, core_mask=args.core_mask))
        arrays, layouts, _ = _inputs(args, lites[0])
        start = time.perf_counter()
        lites[0].inference(arrays, data_format=layouts)
        first = (time.perf_counter() - start) * 1000
        for lite in lites:
            for _ in range(args.warmup):
                lite.inference(arrays, data_format=layouts)
        latencies, lock, failures = [], threading.Lock(), []
        bar = _progress(runs * args.threads if runs else None, "run", args.json)
        deadline = time.perf_counter() + args.duration if args.duration is not None else None

        def worker(lite):
            try:
                done = 0
                while (runs is None or done < runs) and (deadline is None or time.perf_counter() < deadline):
                    t0 = time.perf_counter()
                    lite.inference(arrays, data_format=layouts)
                    elapsed = (time.perf_counter() - t0) * 1000
                    done += 1
                    with lock:
                        latencies.append(elapsed)
                        bar.update()
            except Exception as exc:  # reported once all threads are done
                failures.append(exc)

        threads = [threading.Thread(target=worker, args=(lite,)) for lite in lites]
        wall = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        wall = time.perf_counter() - wall
        bar.close()
        if failures:
            raise failures[0]
        target = lites[0].target
    finally:
        for lite in lites:
            lite.release()
    if not latencies:
        raise CommandError("no inference finished within the duration")
    ordered = sorted(latencies)
    result = {
        "model": _model_path(args), "target": target, "threads": args.threads, "core_mask": args.core_mask,
        "warmup": args.warmup, "first_inference_ms": first, "count": len(ordered),
        "median_ms": statistics.median(ordered), "average_ms": statistics.fmean(ordered), "min_ms": ordered[0],
        "max_ms": ordered[-1], "p90_ms": _percentile(ordered, 90), "p99_ms": _percentile(ordered, 99),
        "throughput_fps": len(ordered) / wall,
    }
    if args.json:
        print(json.dumps(result, indent=2))
        return 0
    print("model:            {}".format(result["model"]))
    print("target:           {} ({} thread(s), core mask {})".format(target, args.threads, args.core_mask))
    print("first inference:  {:.2f} ms".format(first))
    print("count:            {} (after {} warm-up run(s) per thread)".format(len(ordered), args.warmup))
    for key, title in (("median_ms", "median"), ("average_ms", "average"), ("min_ms", "min"), ("max_ms", "max"),
                       ("p90_ms", "P90"), ("p99_ms", "P99")):
        print("{:<17} {:.2f} ms".format(title + ":", result[key]))
    print("throughput:       {:.2f} FPS".format(result["throughput_fps"]))
    return 0


def _profile(args):
    lite = _lite(args, perf_debug=True)
    try:
        perf = lite.eval_perf(is_print=False)
    finally:
        lite.release()
    layers = sorted(perf["layers"], key=lambda r: -r.get("time_us", 0.0))
    total = sum(r.get("time_us", 0.0) for r in layers) or 1.0
    for r in layers:
        r["share"] = r.get("time_us", 0.0) / total
    if args.format == "json":
        text = json.dumps({"total_us": perf["total_us"], "run_us": perf["run_us"], "layers": layers}, indent=2) + "\n"
    elif args.format == "csv":
        out = io.StringIO()
        fields = list(layers[0]) if layers else ["id", "op_type", "name", "output_shape", "time_us", "share"]
        writer = csv.DictWriter(out, fieldnames=fields, lineterminator="\n")
        writer.writeheader()
        for r in layers:
            writer.writerow(dict(r, output_shape="x".join(str(d) for d in r.get("output_shape", []))))
        text = out.getvalue()
    else:
        lines = ["{:<5} {:<18} {:<32} {:<20} {:>10} {:>7}".format("ID", "OpType", "Name", "OutputShape", "Time(us)",
                                                                 "Share")]
        for r in layers:
            lines.append("{:<5} {:<18} {:<32} {:<20} {:>10.1f} {:>6.1f}%".format(
                r.get("id", ""), r.get("op_type", ""), r.get("name", ""), str(r.get("output_shape", "")).replace(" ", ""),
                r.get("time_us", 0.0), 100 * r["share"]))
        if perf["run_us"] is not None:
            lines.append("run duration: {:.1f} us, operators: {:.1f} us".format(perf["run_us"], total))
        text = "\n".join(lines) + "\n"
    if args.output:
        os.makedirs(os.path.dirname(os.path.abspath(args.output)), exist_ok=True)
        with open(args.output, "w", encoding="utf-8") as f:
            f.write(text)
        print("wrote {}".format(args.output))
    else:
        sys.stdout.write(text)
    return 0


def _mem(args):
    lite = _lite(args, eval_mem=True)
    try:
        memory = lite.eval_memory(is_print=not args.json)
    finally:
        lite.release()
    if args.json:
        print(json.dumps(memory, indent=2))
    return 0


# ------------------------------------------------------------------ parser


def _parser():
    parser = argparse.ArgumentParser(prog="zeltlite", description="Run compiled models on an NPU, a board "
                                     "attached over USB/PCIe, or the simulator.")
    sub = parser.add_subparsers(dest="command", required=True, metavar="command")

    def model_command(name, help_text, func, example=True):
        p = sub.add_parser(name, help=help_text, description=help_text)
        p.add_argument("model", nargs="?", default=None, help="model container file (.zelt)")
        if example:
            p.add_argument("--example", action="store_true", help="use the example model shipped in the package")
        p.add_argument("--target", default=None,
                       help="target platform (e.g. tx5100) or 'simulator'; default: the NPU of this board")
        p.add_argument("--device", default=None, metavar="ID", help="device id of the board to use")
        p.set_defaults(run=func)
        return p

    targets = sub.add_parser("targets", help="list the supported target platforms, or those a model supports")
    targets.add_argument("model", nargs="?", default=None, help="model container file")
    targets.set_defaults(run=_targets)

    convert = sub.add_parser("convert", help="compile an ONNX model into a model container")
    convert.add_argument("model", help="ONNX model file")
    convert.add_argument("-o", "--output", required=True, help="model container file to write")
    convert.add_argument("--target", required=True, help="target platform(s), comma-separated, e.g. tx5100")
    convert.add_argument("--input-shape", action="append", default=[], type=_shape_arg, metavar="NAME=D0,D1,...",
                         help="static shape of an input whose shape the model leaves open (repeatable)")
    convert.set_defaults(run=_convert)

    devices = sub.add_parser("devices", help="list the boards reachable over adb and npu_tetherd, with their state")
    devices.add_argument("--json", action="store_true", help="print JSON")
    devices.set_defaults(run=_devices)

    inspect = model_command("inspect", "show a model's targets, inputs, outputs, operator count and size", _inspect)
    inspect.set_defaults(target="simulator")
    inspect.add_argument("--json", action="store_true", help="print JSON")

    run = model_command("run", "run a model once and print its top classes and the latency", _run)
    run.add_argument("--input", action="append", default=[], metavar="FILE",
                     help="input: .npy (one per model input, repeatable), .npz by input name, or an image file "
                          "(needs Pillow); default: fixed synthetic inputs")
    run.add_argument("--layout", choices=("nhwc", "nchw"), default="nhwc", help="layout of 4-D array inputs")
    run.add_argument("--top-k", type=int, default=5, metavar="K", help="classes to print per output (default 5)")
    run.add_argument("--labels", default=None, metavar="FILE", help="class names, one per line")
    run.add_argument("--output", default=None, metavar="OUT.npz", help="save the outputs by name")

    bench = model_command("bench", "measure inference latency and throughput", _bench)
    bench.add_argument("--input", action="append", default=[], metavar="FILE", help="input file(s), as for run")
    bench.add_argument("--layout", choices=("nhwc", "nchw"), default="nhwc", help="layout of 4-D array inputs")
    bench.add_argument("--warmup", type=int, default=5, metavar="N", help="warm-up runs per thread (default 5)")
    count = bench.add_mutually_exclusive_group()
    count.add_argument("--runs", type=int, default=None, metavar="N", help="timed runs per thread (default 100)")
    count.add_argument("--duration", type=float, default=None, metavar="SECONDS", help="run for this long instead")
    bench.add_argument("--threads", type=int, default=1, metavar="N",
                       help="concurrent inference threads, one session each (default 1)")
    bench.add_argument("--core-mask", type=int, default=0, metavar="MASK",
                       help="NPU core mask: 0 auto, 1, 2, 4 one core, 3 two, 7 three (TX5100, simulator)")
    bench.add_argument("--json", action="store_true", help="print the results as JSON")

    profile = model_command("profile", "per-layer time, slowest first, with each layer's share", _profile)
    profile.add_argument("--format", choices=("table", "csv", "json"), default="table")
    profile.add_argument("--output", default=None, metavar="FILE", help="write to a file instead of stdout")

    mem = model_command("mem", "the runtime's memory report for a model", _mem)
    mem.add_argument("--json", action="store_true", help="print the byte counts as JSON")
    return parser


# Commands that open a session, and with it may start the transfer proxy.
SESSION_COMMANDS = ("run", "bench", "profile", "mem")


def _proxies_started_here():
    """The transfer proxies among this process's children (a session starts the proxy as its child)."""
    import psutil

    from .api.zelt_runtime import ZELTRuntime

    path = os.path.realpath(ZELTRuntime._get_ntd_path())
    found = set()
    for child in psutil.Process().children():
        try:
            if child.exe() == path:
                found.add(child)
        except psutil.Error:
            pass
    return found


def _stop_proxies(procs):
    import psutil

    for proc in procs:
        try:
            proc.terminate()
            proc.wait(10)
        except psutil.TimeoutExpired:
            proc.kill()
        except psutil.Error:
            pass


def main(argv=None):
    """Runs the command line; returns the exit status (0 success, 1 failure, 2 usage error)."""
    args = _parser().parse_args(argv)
    logging.basicConfig(level=logging.INFO, format="%(levelname)s: %(message)s")
    # A one-shot command leaves no proxy behind that it started itself; one started beforehand is kept.
    running = _proxies_started_here() if args.command in SESSION_COMMANDS else None
    try:
        return args.run(args)
    except KeyboardInterrupt:
        print("error: interrupted", file=sys.stderr)
        return 130
    except Exception as exc:  # one clear line instead of a traceback
        text = str(exc).strip() or type(exc).__name__
        print("error: {}".format(text.splitlines()[0] if isinstance(exc, CommandError) else " ".join(text.split())),
              file=sys.stderr)
        return 1
    finally:
        if running is not None:
            _stop_proxies(_proxies_started_here() - running)


if __name__ == "__main__":
    sys.exit(main())
