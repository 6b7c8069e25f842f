"""Exports the engine benchmark's model set to ONNX files, from the models' public definitions.

Every model is built without pretrained weights: parameters come from a seeded random generator, and the
BatchNormalization layers get non-trivial statistics and affine parameters (a freshly built network has
mean 0, variance 1, scale 1 and shift 0, which would let a wrong folding of them pass unnoticed).
Needs the benchmark venv of benchmarks/README.md (torch, torchvision, timm, ultralytics); nothing is
downloaded.

    python benchmarks/export_models.py [--cache DIR] [--models a,b] [--force]
"""
import argparse
import os
import sys

#: Name -> input shape; bench_engine.py uses the same names.
MODELS = {
    "resnet50": (1, 3, 224, 224),
    "squeezenet1_1": (1, 3, 224, 224),
    "efficientnet_b0": (1, 3, 224, 224),
    "mobilenet_v3_large": (1, 3, 224, 224),
    "regnet_y_400mf": (1, 3, 224, 224),
    "yolov8n": (1, 3, 640, 640),
    "vit_tiny_patch16_224": (1, 3, 224, 224),
}
OPSET = 17


def default_cache():
    return os.environ.get("ZELT_BENCH_CACHE") or os.path.join(os.path.expanduser("~"), ".cache", "zeltlite-bench")


def model_path(cache, name):
    return os.path.join(cache, name + ".onnx")


def build(name):
    if name == "yolov8n":
        # Offline: the definition ships with the package, and no settings sync or asset download runs.
        os.environ.setdefault("YOLO_OFFLINE", "1")
        from ultralytics.nn.modules import Detect
        from ultralytics.nn.tasks import DetectionModel

        model = DetectionModel("yolov8n.yaml", nc=80, verbose=False)
        for m in model.modules():
            if isinstance(m, Detect):
                m.export, m.format = True, "onnx"  # one output tensor, as the library's own ONNX export
        return model
    if name == "vit_tiny_patch16_224":
        import timm

        return timm.create_model(name, pretrained=False)
    import torchvision

    return getattr(torchvision.models, name)(weights=None)


def randomise(model, seed):
    """Seeded parameters; BatchNormalization statistics and affine parameters away from their defaults."""
    import torch

    g = torch.Generator().manual_seed(seed)
    with torch.no_grad():
        for m in model.modules():
            if isinstance(m, torch.nn.modules.batchnorm._BatchNorm):
                c = m.num_features
                m.running_mean.copy_(torch.randn(c, generator=g) * 0.2)
                m.running_var.copy_(torch.rand(c, generator=g) * 1.5 + 0.5)
                if m.affine:
                    m.weight.copy_(torch.rand(c, generator=g) + 0.5)
                    m.bias.copy_(torch.randn(c, generator=g) * 0.2)
    return model


def export(name, path, seed=0):
    import torch

    torch.manual_seed(seed)
    model = randomise(build(name), seed).eval()
    x = torch.rand(*MODELS[name], generator=torch.Generator().manual_seed(seed))
    tmp = path + ".part"
    with torch.no_grad():
        model(x)  # builds lazily made state (a detector's anchors) before tracing
        torch.onnx.export(model, (x,), tmp, input_names=["input"], output_names=["output"], opset_version=OPSET,
                          dynamo=False)
    import onnx

    onnx.checker.check_model(tmp)
    os.replace(tmp, path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cache", default=default_cache(), help="folder of the ONNX files (default %(default)s)")
    parser.add_argument("--models", default=",".join(MODELS))
    parser.add_argument("--force", action="store_true", help="export again what is already there")
    args = parser.parse_args()
    os.makedirs(args.cache, exist_ok=True)
    failed = 0
    for name in args.models.split(","):
        if name not in MODELS:
            sys.exit("unknown model '{}'; known: {}".format(name, ", ".join(MODELS)))
        path = model_path(args.cache, name)
        if os.path.exists(path) and not args.force:
            print("{:<22} cached  {}".format(name, path))
            continue
        try:
            export(name, path)
        except Exception as exc:  # report and go on with the others
            failed += 1
            print("{:<22} FAILED  {}: {}".format(name, type(exc).__name__, exc))
            continue
        print("{:<22} written {} ({:.1f} MB)".format(name, path, os.path.getsize(path) / 1e6))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
