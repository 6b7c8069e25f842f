"""Reliability of the virtual board: several client processes at once, a client killed with SIGKILL, the proxy
killed under its clients, and a flood of random and mutated frames.

ZELT_BOARD_STRESS_SECONDS sets how long each stress client runs (default 20)."""
import json
import os
import random
import socket
import struct
import subprocess
import sys
import time

import numpy as np
import psutil
import pytest

pytest.importorskip("onnx")

import boardlib  # noqa: E402
from boardlib import (OP_CORE_MASK, OP_DESTROY, OP_DEVICES, OP_INIT, OP_QUERY, OP_RUN, REPLY, SANITIZED,  # noqa: E402
                      connect, frame, nhwc_input, proxy_answers, recv_reply, reference)
from onnx_models import mobilenet_like  # noqa: E402
from zeltlite.api import zelt_runtime as zr  # noqa: E402
from zeltlite.api.zelt_model import ZELTModel  # noqa: E402
from zeltlite.convert import compile_model  # noqa: E402

STRESS_SECONDS = float(os.environ.get("ZELT_BOARD_STRESS_SECONDS", "20"))
CLIENT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "board_client.py")
MiB = 1 << 20


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """Container, input and simulator output of a small model, and a container of a large one, as files."""
    d = tmp_path_factory.mktemp("board")
    small = compile_model(mobilenet_like(size=48, width=0.35, classes=16, seed=5), "tx5100")
    x = nhwc_input((1, 3, 48, 48), seed=2)
    paths = {"small": d / "small.zelt", "x": d / "x.npy", "want": d / "want.npy", "large": d / "large.zelt",
             "large_x": d / "large_x.npy"}
    paths["small"].write_bytes(small)
    np.save(paths["x"], x)
    np.save(paths["want"], reference(small, [x])[0])
    paths["large"].write_bytes(compile_model(mobilenet_like(size=128, width=1.0, classes=1000, seed=6), "tx5100"))
    np.save(paths["large_x"], nhwc_input((1, 3, 128, 128), seed=3))
    return {k: str(v) for k, v in paths.items()}


class Client:
    def __init__(self, *args):
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(CLIENT)] + sys.path))
        self.proc = subprocess.Popen([sys.executable, CLIENT, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     text=True, env=env, start_new_session=True)

    def wait_ready(self, timeout=120):
        line = self.proc.stdout.readline()
        assert line == "ready\n", (line, self.proc.stderr.read() if self.proc.poll() is not None else "")

    def result(self, timeout):
        # Read through the same buffered pipe objects as wait_ready: its readline may already hold the
        # result line of a client that finished before we got to it (communicate() reads the raw pipe).
        self.proc.wait(timeout)
        out, err = self.proc.stdout.read(), self.proc.stderr.read()
        assert self.proc.returncode == 0, err
        assert out.strip(), "no result line; stderr: " + err
        return json.loads(out.splitlines()[-1])

    def kill(self):
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, 9)
        self.proc.wait()


@pytest.fixture
def clients():
    made = []

    def start(*args):
        made.append(Client(*args))
        return made[-1]

    yield start
    for c in made:
        c.kill()


def rss(proc):
    return psutil.Process(proc.pid).memory_info().rss


def settle(proc, target, timeout=15):
    """The proxy's resident size once it is at most `target`, or the last one seen."""
    deadline = time.monotonic() + timeout
    while True:
        now = rss(proc)
        if now <= target or time.monotonic() > deadline:
            return now
        time.sleep(0.2)


def test_four_clients_get_the_simulator_outputs(proxy, files, clients):
    proxy.start()
    started = [clients("stress", files["small"], files["x"], files["want"], str(STRESS_SECONDS)) for _ in range(4)]
    for c in started:
        c.wait_ready()
    results = [c.result(STRESS_SECONDS + 120) for c in started]
    assert [r["errors"] for r in results] == [[]] * 4
    assert all(r["cycles"] > 0 for r in results)


def test_killed_client_frees_its_contexts_while_the_others_go_on(proxy, files, clients):
    proc = proxy.start()
    warm = clients("hold", files["large"], files["large_x"], "1")
    warm.wait_ready()
    warm.kill()
    time.sleep(1)
    baseline = rss(proc)
    seconds = max(STRESS_SECONDS / 2, 4)
    others = [clients("stress", files["small"], files["x"], files["want"], str(seconds)) for _ in range(3)]
    victim = clients("hold", files["large"], files["large_x"], "4")
    for c in others + [victim]:
        c.wait_ready()
    time.sleep(0.5)
    peak = rss(proc)
    victim.kill()  # SIGKILL, in the middle of its cycles
    if not SANITIZED:
        assert peak - baseline > 40 * MiB
        after = settle(proc, baseline + 0.1 * (peak - baseline))
        assert after <= baseline + 0.1 * (peak - baseline), (baseline, peak, after)
    results = [c.result(seconds + 120) for c in others]
    assert [r["errors"] for r in results] == [[]] * 3
    assert proxy_answers()


def test_proxy_killed_under_its_clients(proxy, files, clients):
    proc = proxy.start()
    started = [clients("until-error", files["small"], files["x"]) for _ in range(4)]
    for c in started:
        c.wait_ready()
    time.sleep(0.5)
    killed_at = time.time()
    proc.kill()
    proc.wait()
    for c in started:
        r = c.result(30)
        assert "ZELT_ERR_DEVICE_UNAVAILABLE" in r["error"]
        assert r["time"] - killed_at < 2
    proxy.start()
    rt = zr.ZELTRuntime(boardlib.PACKAGE_ROOT, "tx5100", None)
    try:
        with open(files["small"], "rb") as f:
            assert rt.build_graph(f.read()) == 0
        x = np.load(files["x"])
        rt.set_inputs([x], None, None)
        rt.run()
        assert rt.get_outputs()[0].tobytes() == np.load(files["want"]).tobytes()
    finally:
        rt.release()


# ------------------------------------------------------------------ frames

def pstr(b):
    return struct.pack("<I", len(b)) + b


def init_payload(rng, flag=1):
    dev = rng.choice([b"", b"vboard0", b"x" * rng.randrange(300)])
    path = rng.choice([b"", b"/data/m.zelt", b"../" * rng.randrange(10) + b"etc/passwd"])
    return struct.pack("<III", rng.randrange(3), flag, rng.randrange(3)) + pstr(dev) + pstr(path)


def run_payload(rng):
    n = rng.randrange(3)
    return struct.pack("<I", n) + b"".join(
        struct.pack("<IIBii", rng.randrange(2), rng.choice([0, 4, 27648, 1 << 31]), rng.randrange(2),
                    rng.randrange(-1, 11), rng.randrange(-1, 3)) for _ in range(n))


def mutate(rng, data):
    data = bytearray(data)
    for _ in range(rng.randrange(1, 4)):
        kind = rng.randrange(3)
        if kind == 0 and data:
            data[rng.randrange(len(data))] = rng.randrange(256)
        elif kind == 1 and data:
            del data[rng.randrange(len(data)):]
        else:
            data += bytes(rng.randrange(256) for _ in range(rng.randrange(8)))
    return bytes(data)


def model_memfd(rng, container):
    """A memfd holding the container with its header or configuration mutated (the export section is the
    engine's own fuzz target), or random bytes."""
    version, export, config, _, _ = ZELTModel.parse_data(container)
    pick = rng.randrange(4)
    if pick == 0:
        data = container
    elif pick == 1:
        data = ZELTModel.create_zelt_model(1, export, mutate(rng, config), None, None)
    elif pick == 2:
        data = mutate(rng, container[:24]) + container[24:]
    else:
        data = bytes(rng.randrange(256) for _ in range(rng.randrange(64)))
    fd = os.memfd_create("fuzz")
    os.write(fd, data)
    return fd


def fuzz_frames(rng, container):
    """Yields (frame bytes, fds to attach, whether a reply is owed)."""
    while True:
        pick = rng.randrange(11)
        if pick == 0:
            yield bytes(rng.randrange(256) for _ in range(rng.randrange(1, 40))), [], True
        elif pick == 1:
            op = rng.choice([0, 7, 0x8001, 0xFFFF, rng.randrange(1 << 16)])
            yield frame(op, bytes(rng.randrange(256) for _ in range(rng.randrange(64)))), [], True
        elif pick == 2:
            yield frame(OP_RUN, b"", length=rng.choice([1 << 17, 1 << 31, 0xFFFFFFFF])), [], True
        elif pick == 3:
            yield mutate(rng, frame(OP_INIT, init_payload(rng, rng.choice([1, 0x11])))), [], True
        elif pick == 4:
            fds = [model_memfd(rng, container)]
            if rng.randrange(8) == 0:
                fds += list(os.pipe())
            yield frame(OP_INIT, init_payload(rng)), fds, True
        elif pick == 5:
            yield frame(OP_RUN, mutate(rng, run_payload(rng)) if rng.randrange(2) else run_payload(rng)), [], True
        elif pick == 6:
            yield frame(OP_QUERY, struct.pack("<i", rng.randrange(-2, 12))), [], True
        elif pick == 7:
            yield frame(OP_CORE_MASK, struct.pack("<I", rng.randrange(10))), [], True
        elif pick == 8:
            yield frame(rng.choice([OP_DESTROY, OP_DEVICES]), b"" if rng.randrange(2) else b"\0"), [], True
        elif pick == 9:
            # Two requests in one write: both are answered, in order.
            yield frame(OP_DEVICES) + frame(OP_CORE_MASK, struct.pack("<I", 1)), [], 2
        else:
            whole = frame(OP_QUERY, struct.pack("<i", 3))
            yield whole[:rng.randrange(1, len(whole))], [], True  # cut short: the proxy answers or hangs up


def proxy_state(proc):
    p = psutil.Process(proc.pid)
    return p.num_fds(), p.num_threads(), p.memory_info().rss


def wait_for(fn, timeout=10):
    deadline = time.monotonic() + timeout
    while not fn() and time.monotonic() < deadline:
        time.sleep(0.1)
    return fn()


def test_random_and_mutated_frames_never_break_the_proxy(proxy):
    proc = proxy.start()
    container = compile_model(mobilenet_like(size=32, width=0.35, classes=10, seed=7), "tx5100")
    rng = random.Random(1234)
    frames = fuzz_frames(rng, container)

    def flood(count):
        sent = 0
        sock = None
        while sent < count:
            if sock is None:
                sock = connect(timeout=10)
            data, fds, reply_owed = next(frames)
            try:
                if fds:
                    socket.send_fds(sock, [data], fds)
                else:
                    sock.sendall(data)
            except (BrokenPipeError, ConnectionResetError):
                reply_owed = False
            finally:
                for fd in fds:
                    os.close(fd)
            sent += 1
            # A frame that is not whole would keep the proxy waiting for its rest: hang up instead.
            whole = reply_owed == 2 or len(data) >= 12 and struct.unpack_from("<I", data, 8)[0] == len(data) - 12
            if not reply_owed or not whole:
                sock.shutdown(socket.SHUT_WR)
            try:
                reply = recv_reply(sock) if reply_owed else None
                if reply_owed == 2 and reply is not None:
                    assert reply[:2] == (OP_DEVICES | REPLY, 0)
                    reply = recv_reply(sock)
                    assert reply is not None and reply[0] == OP_CORE_MASK | REPLY
            except socket.timeout:
                pytest.fail("the proxy did not answer frame {} within 10 s".format(sent))
            if reply is None or reply[0] == REPLY or rng.randrange(6) == 0:
                sock.close()
                sock = None
            if sent % 1000 == 0:
                assert proxy_answers(timeout=5), "the proxy stopped answering after {} frames".format(sent)
        if sock is not None:
            sock.close()

    flood(500)
    time.sleep(1.5)  # finished connection threads are joined within a second
    fds0, threads0, rss0 = proxy_state(proc)
    flood(int(os.environ.get("ZELT_BOARD_FUZZ_FRAMES", "10000")))
    assert proc.is_running() and proxy_answers()

    def back_to_baseline():
        fds, threads, _ = proxy_state(proc)
        return fds <= fds0 and threads <= threads0

    assert wait_for(back_to_baseline), (proxy_state(proc), fds0, threads0)
    if not SANITIZED:
        assert proxy_state(proc)[2] - rss0 < 16 * MiB


# ------------------------------------------------------------------ doorbell

SYS_FUTEX, FUTEX_WAKE = 202, 1
OP_DOORBELL = 7
CONTROL_SIZE, N_INPUTS_AT, INPUTS_AT = 12328, 16, 40


def recv_reply_fds(sock):
    """(status, rest of payload, fds) of one reply that may carry descriptors."""
    data, fds = b"", []
    while len(data) < 12 or len(data) < 12 + struct.unpack_from("<I", data, 8)[0]:
        chunk, got, _, _ = socket.recv_fds(sock, 1 << 20, 2)
        assert chunk, "the proxy hung up"
        data += chunk
        fds += got
    return struct.unpack_from("<i", data, 12)[0], data[16:], fds


def test_scribbled_doorbell_never_breaks_the_proxy(proxy):
    """A raw client that owns the control block writes garbage into it and rings: the proxy keeps answering
    that connection and others, and still serves a well-formed run posted afterwards."""
    import ctypes
    import mmap

    proc = proxy.start()
    container = compile_model(mobilenet_like(size=32, width=0.35, classes=10, seed=7), "tx5100")
    libc = ctypes.CDLL(None, use_errno=True)
    libc.syscall.restype = ctypes.c_long
    rng = random.Random(99)
    model = os.memfd_create("model")
    os.write(model, container)
    with connect(timeout=10) as sock:
        socket.send_fds(sock, [frame(OP_INIT, struct.pack("<III", 0, 0, 1) + pstr(b"") + pstr(b""))], [model])
        os.close(model)
        status, body, fds = recv_reply_fds(sock)
        assert status == 0 and len(fds) == 1
        pos = 0
        for _ in range(3):
            pos += 4 + struct.unpack_from("<I", body, pos)[0]
        size, control = struct.unpack_from("<Q", body, pos + 12)[0], struct.unpack_from("<Q", body, pos + 20)[0]
        assert control % 8 == 0 and control + CONTROL_SIZE <= size
        mem = mmap.mmap(fds[0], size)
        for fd in fds:
            os.close(fd)
        words = (ctypes.c_uint32 * 3).from_buffer(mem, control)  # bell, request, reply
        bell = ctypes.addressof(words)

        def ring():
            words[0] = (words[0] + 1) & 0xFFFFFFFF
            libc.syscall(SYS_FUTEX, ctypes.c_void_p(bell), FUTEX_WAKE, 1, None, None, 0)

        sock.sendall(frame(OP_DOORBELL, struct.pack("<Q", control)))
        ring()
        assert recv_reply(sock)[:2] == (OP_DOORBELL | REPLY, 0)
        for i in range(400):
            # Garbage over the request part, a huge input count now and then, a new request number.
            start = rng.randrange(N_INPUTS_AT, INPUTS_AT + 200)
            mem[control + start:control + start + 64] = bytes(rng.randrange(256) for _ in range(64))
            if rng.randrange(4) == 0:
                struct.pack_into("<I", mem, control + N_INPUTS_AT, rng.choice([2, 513, 1 << 31, 0xFFFFFFFF]))
            words[1] = rng.randrange(1 << 32)
            ring()
            if i % 20 == 0:
                sock.sendall(frame(OP_QUERY, struct.pack("<i", 3)))
                ring()
                assert recv_reply(sock)[0] == OP_QUERY | REPLY
        assert proc.is_running() and proxy_answers(timeout=5)
        # A well-formed run with nothing staged is served: the reply word takes its number.
        struct.pack_into("<I", mem, control + N_INPUTS_AT, 0)
        seq = (words[1] + 1) & 0xFFFFFFFF
        words[1] = seq
        ring()
        assert wait_for(lambda: words[2] == seq, timeout=5)
        del words
        mem.close()
    assert proxy_answers()
