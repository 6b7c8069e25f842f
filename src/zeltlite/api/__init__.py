"""The runtime API: the ``ZELTLite`` facade and the modules it drives."""
from .zelt_lite import ZELTLite

__all__ = ["ZELTLite"]
