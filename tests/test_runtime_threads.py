"""One session used from several threads on the simulator library: a session is not made for concurrent
use, but no such use may touch memory the library has taken back (a rebuild's destroyed context, lent
outputs, perf text replaced by the next query).  Checked by the results here and by the sanitizer build."""
import os
import threading
import time

import numpy as np
import pytest

pytest.importorskip("onnx")
zr = pytest.importorskip("zeltlite.api.zelt_runtime")

import zeltlite  # noqa: E402
from onnx_models import mobilenet_like  # noqa: E402
from zeltlite.convert import compile_model  # noqa: E402

PACKAGE_ROOT = os.path.dirname(os.path.abspath(zeltlite.__file__))
SECONDS = float(os.environ.get("ZELT_THREAD_TEST_SECONDS", "1.5"))


@pytest.fixture(scope="module")
def container():
    return compile_model(mobilenet_like(size=32, width=0.35, classes=16, seed=5), "tx5100")


@pytest.fixture
def session(simulator_chipmap, container):
    rt = zr.ZELTRuntime(PACKAGE_ROOT, "SIMULATOR", None, perf_debug=True)
    rt.build_graph(container)
    yield rt
    rt.release()


@pytest.fixture
def image():
    return np.random.RandomState(1).rand(1, 32, 32, 3).astype(np.float32)


def hammer(*workers):
    """Runs each worker in a loop on its own thread for SECONDS; returns what they reported as wrong."""
    stop = time.monotonic() + SECONDS
    faults = []

    def loop(work):
        try:
            while time.monotonic() < stop:
                work(faults)
        except BaseException as exc:  # noqa: BLE001 - reported to the test
            faults.append(repr(exc))

    threads = [threading.Thread(target=loop, args=(w,)) for w in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return faults


def test_rebuild_while_another_thread_fetches_outputs(session, container, image):
    session.set_inputs([image], None, None)
    session.run()
    want = session.get_outputs()[0]

    def fetch(faults):
        try:
            out = session.get_outputs()[0]
        except Exception as exc:  # a fresh context has no outputs yet
            if "E Get outputs failed" not in str(exc):
                faults.append(repr(exc))
            return
        if not np.array_equal(out, want):
            faults.append("outputs changed")

    def rebuild(faults):
        session.build_graph(container)
        session.set_inputs([image], None, None)
        session.run()

    assert hammer(fetch, rebuild) == []


def test_perf_text_read_while_other_threads_run_and_query(session, image):
    session.set_inputs([image], None, None)
    session.run()
    layers = session.get_run_perf().count("\n")
    assert layers > 3

    def report(faults):
        text = session.get_run_perf()
        if text.count("\n") != layers:
            faults.append("report of {} lines: {!r}".format(text.count("\n"), text[:80]))

    def run(faults):
        session.run()

    assert hammer(report, report, run) == []


def test_release_while_another_thread_runs(session, image):
    """A release is refused while another thread is inside a call, which leaves the session usable; once
    released, every call raises instead of reaching the unloaded library."""
    session.set_inputs([image], None, None)
    released = []

    def run(faults):
        try:
            session.run()
        except Exception as exc:
            if not str(exc).startswith("E The runtime of this session has been released."):
                faults.append(repr(exc))

    def release(faults):
        if released:
            return
        try:
            session.release()
            released.append(True)
        except Exception as exc:
            if "E The runtime is in use by another thread" not in str(exc):
                faults.append(repr(exc))

    assert hammer(run, release) == []
    if not released:
        session.release()
    with pytest.raises(Exception, match="^E The runtime of this session has been released."):
        session.get_outputs()
