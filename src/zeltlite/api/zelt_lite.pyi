"""The ``ZELTLite`` facade: load a model container, start a runtime session, run inferences."""
import os
from collections import OrderedDict
from typing import Any, Literal, Mapping, Sequence, TypedDict, overload, type_check_only

import numpy as np
import numpy.typing as npt

from .zelt_model import ZELTModel
from .zelt_runtime import ZELTRuntime

__all__ = ["ZELTLite", "SIMULATOR"]

SIMULATOR: str

@type_check_only
class Quantization(TypedDict):
    type: str
    zero_point: int
    scale: float
    fl: int

@type_check_only
class TensorInfo(TypedDict):
    index: int
    name: str
    shape: tuple[int, ...]
    dtype: str
    layout: str
    size: int
    quantization: Quantization

@type_check_only
class PerfLayer(TypedDict, total=False):
    id: int
    op_type: str
    name: str
    output_shape: list[int]
    time_us: float

@type_check_only
class PerfReport(TypedDict):
    layers: list[PerfLayer]
    total_us: float | None
    run_us: float | None
    text: str

@type_check_only
class Device(TypedDict, total=False):
    id: str
    state: str
    kind: str

@type_check_only
class Devices(TypedDict):
    adb: list[Device] | None
    ntb: list[Device] | None

class _SimulatorSession(ZELTRuntime):
    def _get_target_soc(self, target: str | None) -> str: ...
    def _get_npu_model(self) -> str: ...

_Path = str | os.PathLike[str]
_Inputs = npt.NDArray[Any] | Sequence[npt.NDArray[Any]] | Mapping[str, npt.NDArray[Any]]

def read_container(path: _Path) -> ZELTModel: ...
def container_targets(model: ZELTModel) -> list[str]: ...
def parse_perf_table(text: str) -> PerfReport: ...

class ZELTLite:
    target: str | None
    def __init__(self) -> None: ...
    def load_zelt(self, path: _Path, load_model_in_npu: bool = False) -> int: ...
    def init_runtime(self, target: str | None = None, device_id: str | None = None, perf_debug: bool = False,
                     eval_mem: bool = False, async_mode: bool = False, core_mask: int = 0) -> int: ...
    def release(self) -> None: ...
    def __enter__(self) -> ZELTLite: ...
    def __exit__(self, *exc: object) -> Literal[False]: ...
    def __del__(self) -> None: ...
    def get_inputs(self) -> list[TensorInfo]: ...
    def get_outputs(self) -> list[TensorInfo]: ...
    @overload
    def inference(self, inputs: _Inputs, data_type: str | Sequence[str] | None = None,
                  data_format: str | Sequence[str] | None = None,
                  inputs_pass_through: Sequence[int | bool] | None = None,
                  get_frame_id: Literal[False] = False) -> list[npt.NDArray[np.float32]]: ...
    @overload
    def inference(self, inputs: _Inputs, data_type: str | Sequence[str] | None = None,
                  data_format: str | Sequence[str] | None = None,
                  inputs_pass_through: Sequence[int | bool] | None = None, *,
                  get_frame_id: Literal[True]) -> tuple[list[npt.NDArray[np.float32]], int]: ...
    def eval_perf(self, is_print: bool = True) -> PerfReport: ...
    def eval_memory(self, is_print: bool = True) -> OrderedDict[str, OrderedDict[str, int]]: ...
    def get_sdk_version(self) -> str: ...
    @staticmethod
    def list_devices() -> Devices: ...
    @staticmethod
    def list_support_target_platform(zelt_model: _Path | None = None) -> OrderedDict[str, list[str]] | None: ...
