"""Model compiler: ONNX model -> model container for the simulator engine.

Needs the optional extra ``zeltlite[convert]`` (the ``onnx`` package).
"""
from .compiler import PARAMETER_INPUTS, SUPPORTED_OPS, compile_model, convert_file, export_graph

__all__ = ["PARAMETER_INPUTS", "SUPPORTED_OPS", "compile_model", "convert_file", "export_graph"]
