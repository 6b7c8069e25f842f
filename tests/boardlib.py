"""The virtual board for the tests: the installed npu_tetherd and host libraries, a controller that starts and
stops proxies by pid, and small models whose in-process simulator outputs serve as the reference."""
import ctypes
import os
import socket
import struct
import subprocess
import time

import numpy as np
import psutil

import simlib
import zeltlite

PACKAGE_ROOT = os.path.dirname(os.path.abspath(zeltlite.__file__))
NTD_PATH = os.path.join(PACKAGE_ROOT, "3rdparty", "platform-tools", "ntd", "linux-x86_64", "npu_tetherd")
API_LIBS = {family: os.path.join(PACKAGE_ROOT, "api", "lib", "hardware", family, "linux-x86_64", "libzelt_api.so")
            for family in ("TALUN", "KESTA_VORIN")}
SOCKET_ADDRESS = "\0tetherd"
# Under AddressSanitizer freed memory sits in quarantine, so resident sizes say nothing about leaks.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

MAGIC, VERSION, REPLY = 0x4454455A, 2, 0x8000
OP_DEVICES, OP_INIT, OP_RUN, OP_QUERY, OP_CORE_MASK, OP_DESTROY = range(1, 7)
ZELT_ERR_DEVICE_UNAVAILABLE, ZELT_ERR_DEVICE_UNMATCH, ZELT_ERR_TARGET_PLATFORM_UNMATCH = -3, -10, -13


def frame(op, payload=b"", magic=MAGIC, version=VERSION, length=None):
    return struct.pack("<IHHI", magic, version, op, len(payload) if length is None else length) + payload


def connect(timeout=5.0):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(timeout)
    s.connect(SOCKET_ADDRESS)
    return s


def recv_reply(s):
    """(op, status, rest of payload) of one reply, or None when the proxy closed the connection."""
    head = _recv_exact(s, 12)
    if head is None:
        return None
    magic, version, op, length = struct.unpack("<IHHI", head)
    assert (magic, version) == (MAGIC, VERSION)
    body = _recv_exact(s, length)
    assert body is not None and length >= 4
    return op, struct.unpack_from("<i", body)[0], body[4:]


def _recv_exact(s, n):
    data = b""
    while len(data) < n:
        try:
            chunk = s.recv(n - len(data))
        except ConnectionResetError:
            return None
        if not chunk:
            return None
        data += chunk
    return data


def proxy_answers(timeout=1.0):
    try:
        with connect(timeout) as s:
            s.sendall(frame(OP_DEVICES))
            reply = recv_reply(s)
            return reply is not None and reply[:2] == (OP_DEVICES | REPLY, 0)
    except OSError:
        return False


def proxies_started_by_us():
    """npu_tetherd processes that are children of this process (a session starts its proxy as one)."""
    found = []
    for p in psutil.Process().children():
        try:
            if p.exe() == os.path.realpath(NTD_PATH):
                found.append(p)
        except psutil.Error:
            pass
    return found


def stop_process(p, timeout=15):
    """SIGTERM, then SIGKILL; waits for the exit and returns the exit status."""
    try:
        p.terminate()
        return p.wait(timeout)
    except psutil.TimeoutExpired:
        p.kill()
        return p.wait(timeout)
    except psutil.NoSuchProcess:
        return None


class ProxyControl:
    """At most one npu_tetherd of the tests at a time, started and stopped by pid."""

    def __init__(self):
        self.proc = None
        self.args = None
        self.bad_exits = []  # (arguments, status) of proxies that did not exit cleanly on SIGTERM

    def start(self, *args, wait=True):
        if self.proc is not None and self.args == args and self.proc.is_running() and proxy_answers():
            return self.proc
        self.stop()
        deadline = time.monotonic() + 60
        while proxy_answers():  # someone else's proxy holds the socket name; wait for it to go
            if time.monotonic() > deadline:
                raise RuntimeError("another npu_tetherd serves @tetherd")
            time.sleep(0.5)
        self.proc = psutil.Popen([NTD_PATH, *args], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                 start_new_session=True)
        self.args = args
        if wait:
            self.wait_ready()
        return self.proc

    def wait_ready(self, timeout=30):
        deadline = time.monotonic() + timeout
        while not proxy_answers():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("npu_tetherd did not come up (exit {})".format(self.proc.poll()))
            time.sleep(0.02)

    def stop(self):
        status = None
        if self.proc is not None:
            status = stop_process(self.proc)
            if status not in (0, None):  # None: it was gone already (a test killed it)
                self.bad_exits.append((self.args, status))
            self.proc = None
            self.args = None
        for p in proxies_started_by_us():
            session_status = stop_process(p)
            if session_status not in (0, None):
                self.bad_exits.append(("started by a session", session_status))
        return status


def load_api(family):
    """A host library loaded through ctypes, its functions bound like simlib's."""
    return simlib.load_library(API_LIBS[family])


def init2(lib, data, device_id=None, flag=simlib.ZELT_FLAG_PRIOR_MEDIUM):
    """zelt_init2 with an optional device id; returns (status, context)."""
    ctx = ctypes.c_ulonglong(0)
    ext = ctypes.byref(simlib.ZELTInitExtend(device_id.encode())) if device_id is not None else None
    ret = lib.zelt_init2(ctypes.byref(ctx), data, len(data), flag, ext)
    return ret, ctx.value


def conv_model(cin=3, cout=8, size=16, seed=0):
    """One small convolution."""
    from onnx_models import Builder

    b = Builder(seed)
    y = b.conv("input", cin, cout, 3)
    return b.model([("input", [1, cin, size, size])], [y])


def reference(container, inputs):
    """Outputs of the in-process simulator library for NHWC inputs."""
    with simlib.Model(simlib.load_library(), container) as m:
        return m.infer(inputs, fmt=simlib.NHWC)


def nhwc_input(shape, seed=0):
    n, c, h, w = shape
    return np.random.RandomState(seed).rand(n, h, w, c).astype(np.float32)
