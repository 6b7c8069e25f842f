"""zeltlite: run pre-compiled neural-network models on an NPU."""

__version__ = "0.1.0"
