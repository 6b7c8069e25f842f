"""Host platform names, the Windows library directory, and the target platforms a model supports."""
from collections import OrderedDict as OrderedDict

from .npu_config.npu_chipmap import (
    get_all_targets_ordered_by_npu as get_all_targets_ordered_by_npu,
    get_cpus_with_npu as get_cpus_with_npu,
    get_npu_model_from_target as get_npu_model_from_target,
)
from .zelt_log import ZELTLog as zeltLog
from .zelt_model import ZELTModel as ZELTModel

initpy_file_path: str
ROOT_DIR: str
os_platform: str
platform_machine: str

def get_host_os_platform() -> str: ...
def get_zelt_api_require_dll_dir() -> str | None: ...
def list_support_target_platform(model_path: str | None) -> OrderedDict[str, list[str]] | None: ...
