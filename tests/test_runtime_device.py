"""Target detection, container check, and the adb and npu_tetherd channels,
with fake tool executables and a real detached proxy process."""
import os
import re
import signal
import time

import psutil
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from zeltlite.api import zelt_runtime as zr

from conftest import fake_tool, tool_calls

RT = zr.ZELTRuntime


class FakePlatform:
    def __init__(self, bits, system):
        self.bits, self._system = bits, system

    def architecture(self):
        return (self.bits, "ELF")

    def system(self):
        return self._system


@pytest.mark.parametrize("bits, system, expected", [("64bit", "Linux", "Linux_x64"), ("32bit", "Linux", "Linux_x32"),
                                                     ("64bit", "Windows", "Windows_x64")])
def test_os_platform(monkeypatch, bits, system, expected):
    monkeypatch.setattr(zr, "platform", FakePlatform(bits, system))
    assert zr.get_os_platform() == expected


@pytest.mark.parametrize("compatible, npu_node, self_result, assembled_result", [
    (None, False, (False, None), (False, None)),
    ("vendor,tx2100\0vendor,tx1100\0", False, (True, "TX2100"), (False, None)),  # later in the list wins
    ("vendor,tx3000\0", False, (False, None), (True, "TX3000")),
    ("vendor,other\0", True, (True, None), (False, None)),
])
def test_board_probes(chipmap, board, compatible, npu_node, self_result, assembled_result):
    if compatible is not None:
        (board / "compatible").write_text(compatible)
    if npu_node:
        (board / "npu").mkdir()
    assert RT._is_npu_self() == self_result
    assert RT._is_npu_assembled() == assembled_result


def test_unreadable_compatible_file_matches_nothing(chipmap, board):
    (board / "compatible").mkdir()  # reading a directory is an OSError
    assert RT._is_npu_self() == (False, None) and RT._is_npu_assembled() == (False, None)


def test_target_soc(chipmap, board, monkeypatch):
    rt = RT.__new__(RT)
    assert rt._get_target_soc("tx4200") == "TX4200"
    with pytest.raises(Exception) as info:
        rt._get_target_soc("tx9")
    assert str(info.value) == ("Unsupported target: tx9! Currently, Zeltpack Lite support these targets: "
                               "['TX1100', 'TX1200', 'TX3000', 'TM2100', 'TX2100', 'TM2200', 'TX2200', 'TX4100', "
                               "'TX4200', 'TX5100', 'TX4300', 'SIMULATOR']")
    with pytest.raises(Exception, match="^Please specify the target in init_runtime!$"):
        rt._get_target_soc(None)
    (board / "compatible").write_text("x,tx3000")
    assert rt._get_target_soc(None) == "TX3000"
    (board / "npu").mkdir()
    assert rt._get_target_soc(None) is None  # NPU node without a listed name
    rt.target_soc = "TX5100"
    assert rt._get_npu_model() == "TALUN2"


@pytest.mark.parametrize("soc, expected", [("tx4100", "TX4X00"), ("TX4200", "TX4X00"), ("Tx5100", "TX5100"),
                                           ("TX1100", "UNKNOWN"), ("SIMULATOR", "UNKNOWN")])
def test_depot_dir(soc, expected):
    rt = RT.__new__(RT)
    rt.target_soc = soc
    assert rt._get_depot_npu_dir_with_target_soc() == expected


@pytest.fixture
def files(monkeypatch):
    """os.path.exists answering from a set; records every path asked."""
    present, asked = set(), []

    def exists(p):
        asked.append(p)
        return p in present

    monkeypatch.setattr(os.path, "exists", exists)
    return present, asked


def test_container_check_only_on_arm_boards(files, log):
    present, asked = files
    present.add("/.dockerenv")
    assert RT._check_container() is None
    assert asked == [] and log.calls == []


@pytest.mark.parametrize("present_files, outcome", [
    ((), None),
    (("/.dockerenv", "/proc/device-tree/compatible"), "fatal"),
    (("/.dockerenv", "/dev/dri/renderD129"), "fatal"),
    (("/.dockerenv", "/proc/device-tree/compatible", "/dev/dri/renderD129"), "warning"),
    (("/.dockerenv", "/proc/device-tree/compatible", "/dev/dri/renderD129", "/usr/lib/libzeltrt.so"), None),
])
def test_container_check_on_a_board(files, log, monkeypatch, present_files, outcome):
    monkeypatch.setattr(RT, "machine", "aarch64")
    files[0].update(present_files)
    frame = "*" * 50
    if outcome == "fatal":
        with pytest.raises(RuntimeError) as info:
            RT._check_container()
        assert info.value.args == ()
        assert [a for a, in log.of("p")] == [
            frame, "!!! It is detected that some necessary files are missing in the container.",
            "!!! When starting the container, please use the -v parameter to map the corresponding files in the host "
            "to the container.", "The reference parameters of run container are as follows:",
            "    -v /dev/dri/renderD129:/dev/dri/renderD129",
            "    -v /proc/device-tree/compatible:/proc/device-tree/compatible", frame]
        return
    assert RT._check_container() is None
    if outcome == "warning":
        assert [a for a, in log.of("w")] == [
            frame, "!!! It is detected that /usr/lib/libzeltrt.so is missing in the container.",
            "!!! Please put it into /usr/lib/ directory.",
            "!!! Or add the following parameters when running the container to map libzeltrt.so in the host to the "
            "container.", "```", "    -v /usr/lib/libzeltrt.so:/usr/lib/libzeltrt.so", "```", frame]
    else:
        assert log.calls == []


# ------------------------------------------------------------------ adb

def test_adb_devices(tools, log, chipmap):
    adb, _ = tools
    assert RT.get_adb_devices() == []  # not installed: nothing is run
    listing = "List of devices attached\nSER1\tdevice\nbad line\nSER2\tunauthorized\nA\tB\tC\n\n"
    fake_tool(adb, {"devices": (0, listing, "")})
    assert RT.get_adb_devices() == ["SER1", "SER2"]
    fake_tool(adb, {"devices": (0, "List of devices attached\n", "")})
    assert RT.get_adb_devices() == []
    fake_tool(adb, {"devices": (0, "\x00\x01 binary\tjunk\n\tx", "")})
    assert RT.get_adb_devices() == [""]
    fake_tool(adb, {"devices": (1, "", "daemon not running")})
    with pytest.raises(RuntimeError):
        RT.get_adb_devices()
    assert log.of("e") == [("Execute adb devices failed, ret code: 1. daemon not running", False)]


def test_shell_commands_quote_the_tool_path(tmp_path, monkeypatch, chipmap):
    root = tmp_path / "odd $(touch injected) dir"
    monkeypatch.setattr(zr, "ROOT_DIR", str(root))
    monkeypatch.chdir(tmp_path)
    fake_tool(RT._get_adb_path(), {"devices": (0, "List\nS1\tdevice\n", "")})
    fake_tool(RT._get_ntd_path(), {"devices": (0, "N1 x PCIE\n", "")})
    assert RT.get_adb_devices() == ["S1"] and RT.get_ntb_devices() == ["N1"]
    assert not (tmp_path / "injected").exists()


@pytest.mark.parametrize("machine, os_platform, npu_self", [("aarch64", "Linux_x64", False),
                                                            ("x86_64", "Darwin_x64", False),
                                                            ("x86_64", "Linux_x64", True)])
def test_adb_devices_not_asked(tools, monkeypatch, machine, os_platform, npu_self):
    adb, _ = tools
    fake_tool(adb, {"devices": (0, "h\nS\tdevice\n", "")})
    monkeypatch.setattr(RT, "machine", machine)
    monkeypatch.setattr(RT, "os_platform", os_platform)
    monkeypatch.setattr(RT, "_is_npu_self", staticmethod(lambda: (npu_self, None)))
    assert RT.get_adb_devices() == [] and tool_calls(adb) == []


def test_adb_forwards(tools, capsys):
    adb, _ = tools
    assert RT._whether_device_using_adb_forward(adb) is False  # no adb, no forward
    fake_tool(adb, {"forward --list": (0, "SER localabstract:tetherd local:tetherd\n", "")})
    assert RT._whether_device_using_adb_forward(adb) is True
    fake_tool(adb, {"forward --list": (1, "localabstract", "")})
    assert RT._whether_device_using_adb_forward(adb) is False

    os.unlink(adb)
    missing = "error: listener 'localabstract:tetherd' not found"
    fake_tool(adb, {"-s SER forward --remove localabstract:tetherd": (1, "", missing)})
    assert RT._start_adb_forward(adb, "SER") == 0
    assert tool_calls(adb)[-2:] == ["-s SER forward --remove localabstract:tetherd",
                                    "-s SER forward localabstract:tetherd local:tetherd"]
    fake_tool(adb, {"forward --remove localabstract:tetherd": (1, "", "error: device offline")})
    assert RT._start_adb_forward(adb, None) == -1
    assert capsys.readouterr().err == "error: device offline"
    fake_tool(adb, {"forward localabstract:tetherd local:tetherd": (1, "", "error: cannot bind")}, default_rc=0)
    assert RT._start_adb_forward(adb, None) == -2
    assert capsys.readouterr().err == "error: cannot bind"
    assert RT._remove_adb_forward(adb, None) == (0, "")


# ------------------------------------------------------------------ npu_tetherd

def test_ntd_path_by_host(monkeypatch):
    root = zr.ROOT_DIR
    for machine, os_platform, expected in [
        ("aarch64", "Linux_x64", os.path.join(root, "3rdparty", "platform-tools", "ntd", "linux-aarch64", "npu_tetherd")),
        ("x86_64", "Darwin_x64", os.path.join(root, "3rdparty", "platform-tools", "ntd", "macOS_x64", "npu_tetherd")),
        ("AMD64", "Windows_x64", os.path.join(root, "3rdparty\\platform-tools\\ntd\\windows-x86_64\\npu_tetherd.exe")),
        ("ppc64", "Linux_x64", None),
    ]:
        monkeypatch.setattr(RT, "machine", machine)
        monkeypatch.setattr(RT, "os_platform", os_platform)
        assert RT._get_ntd_path() == expected


NTB_LISTING = "SER1 x USB_DEVICE\nSER2 x USB\nSER3 x PCIE extra\nSER4 y PCIE\n"


def test_ntb_devices(tools, log, chipmap):
    _, ntd = tools
    fake_tool(ntd, {"devices": (0, NTB_LISTING, "")})
    assert RT.get_ntb_devices() == ["SER1", "SER4"]
    rt = RT.__new__(RT)
    assert rt._whether_device_use_ntb(ntd, "SER4") is True
    assert rt._whether_device_use_ntb(ntd, "SER2") is False
    assert log.of("i") == [("Device [SER4] use ntb.",), ("Device [SER2] not found in ntb device list.",)]
    with pytest.raises(Exception, match="^Init runtime environment failed!$"):
        rt._whether_device_use_ntb(ntd, None)
    assert log.of("e")[-1] == ("More than 1 device detected to use ntb. Please specify the device to use with "
                               "device_id parameter.", False)
    fake_tool(ntd, {"devices": (0, "ONE 1 PCIE\n", "")})
    assert rt._whether_device_use_ntb(ntd, None) is True
    fake_tool(ntd, {"devices": (0, "", "")})
    assert rt._whether_device_use_ntb(ntd, None) is False
    fake_tool(ntd, {"devices": (2, "", "usb error")})
    with pytest.raises(RuntimeError):
        RT.get_ntb_devices()
    with pytest.raises(Exception, match="^Init runtime environment failed!$"):
        rt._whether_device_use_ntb(ntd, None)
    assert log.of("e")[-2:] == [("Execute ntd_tetherd devices failed, ret code: 2. usb error", False)] * 2


def test_ntb_without_a_known_tool(monkeypatch, log, chipmap):
    monkeypatch.setattr(RT, "machine", "ppc64")
    with pytest.raises(RuntimeError):
        RT.get_ntb_devices()
    with pytest.raises(Exception, match="^Init runtime environment failed!$"):
        RT.__new__(RT)._whether_device_use_ntb(None, None)
    message = (f"Can not find npu_tetherd on {RT.system} {RT.architecture} ppc64", False)
    assert log.of("e") == [message, message]


def test_start_ntd_runs_a_detached_proxy(tools, log):
    _, ntd = tools
    fake_tool(ntd, {}, daemon=True)
    rt = RT.__new__(RT)
    before = {p.pid for p in psutil.process_iter()}
    assert rt._start_ntd(ntd) == 0
    # the proxy leads a session of its own
    (proc,) = [p for p in psutil.process_iter()
               if p.pid not in before and p.cmdline()[-1:] == [ntd] and os.getsid(p.pid) == p.pid]
    try:
        assert os.readlink(f"/proc/{proc.pid}/fd/1") == "/dev/null"
        assert os.readlink(f"/proc/{proc.pid}/fd/2") == "/dev/null"
        assert log.of("d")[0] == ("Start npu_tetherd ...",)
        log.calls.clear()
        assert RT._whether_ntd_running() is True
        (message,), = log.of("i")
        assert re.fullmatch(r"npu_tetherd pid: \d+, status: \w+", message)
    finally:
        os.killpg(proc.pid, signal.SIGTERM)
        psutil.wait_procs([proc], timeout=5)


class DeadProcess:
    def __init__(self, *args, **kwargs):
        self.kwargs = kwargs

    def status(self):
        return "zombie"


def test_start_ntd_reports_a_proxy_that_died(monkeypatch, log):
    class FakePsutil:
        Popen = DeadProcess

    monkeypatch.setattr(zr, "psutil", FakePsutil)
    assert RT.__new__(RT)._start_ntd("/x/npu_tetherd") == -1
    assert log.of("e") == [("Start npu_tetherd failed.", False)]


# ------------------------------------------------------------------ connect

@pytest.fixture
def conn(monkeypatch, log):
    """A session shell whose probes answer from `state`; records the steps taken."""
    state = {"npu_self": False, "ntb": False, "ntd_running": False, "adb_forward": False, "start_ntd": 0,
             "forward": 0}
    steps = []

    def step(name, result):
        def f(*args):
            steps.append(name)
            if isinstance(result(), Exception):
                raise result()
            return result()
        return f

    monkeypatch.setattr(RT, "_is_npu_self", staticmethod(step("npu_self", lambda: (state["npu_self"], None))))
    monkeypatch.setattr(RT, "_whether_device_use_ntb", step("ntb", lambda: state["ntb"]))
    monkeypatch.setattr(RT, "_whether_ntd_running", staticmethod(step("ntd_running", lambda: state["ntd_running"])))
    monkeypatch.setattr(RT, "_whether_device_using_adb_forward", staticmethod(step("adb_forward", lambda: state["adb_forward"])))
    monkeypatch.setattr(RT, "_start_ntd", step("start_ntd", lambda: state["start_ntd"]))
    monkeypatch.setattr(RT, "_start_adb_forward", staticmethod(step("forward", lambda: state["forward"])))
    rt = RT.__new__(RT)
    rt.target_soc, rt.device_id, rt.adb_path, rt.ntd_path = "TX1100", "SER", zr.__file__, "/x/npu_tetherd"
    return rt, state, steps


@pytest.mark.parametrize("change, steps_taken, error", [
    ({"npu_self": True}, ["npu_self"], None),
    ({"ntb": True, "ntd_running": True}, ["npu_self", "ntb", "ntd_running"], None),
    ({"ntb": True, "adb_forward": True}, ["npu_self", "ntb", "ntd_running", "adb_forward"],
     "Some device(s) are using adb forward, start NTD will fail. Please remove devices which are using adb."),
    ({"ntb": True}, ["npu_self", "ntb", "ntd_running", "adb_forward", "start_ntd"], None),
    ({"ntb": True, "start_ntd": -1}, ["npu_self", "ntb", "ntd_running", "adb_forward", "start_ntd"],
     "Connect npu_tetherd failed!"),
    ({"ntd_running": True}, ["npu_self", "ntb", "ntd_running"],
     "Using device with adb mode to init runtime, but npu_tetherd is running, it may cause conflict. Please "
     "terminate npu_tetherd first."),
    ({"forward": -2}, ["npu_self", "ntb", "ntd_running", "forward"], "Connect to Device Failure (-2)"),
    ({}, ["npu_self", "ntb", "ntd_running", "forward"], None),
])
def test_connect_decisions(conn, log, change, steps_taken, error):
    rt, state, steps = conn
    state.update(change)
    if error is None:
        assert rt._connect() == 0
    else:
        with pytest.raises(Exception, match="^Init runtime environment failed!$"):
            rt._connect()
        assert log.of("e")[-1] == (error, False)
    assert steps == steps_taken
    assert log.of("d")[0] == ("Starting ntd or adb, target soc is TX1100, device id is: SER",)


def test_connect_simulator_needs_no_channel(conn):
    rt, state, steps = conn
    rt.target_soc = "SIMULATOR"
    assert rt._connect() == 0 and steps == ["npu_self"]


def test_connect_survives_a_proxy_start_error(conn, log):
    rt, state, steps = conn
    state.update(ntb=True, start_ntd=PermissionError("denied"))
    assert rt._connect() == 0
    assert log.of("e") == [("Start npu_tetherd failed, catch Exception: denied",)]


@pytest.mark.parametrize("host", [("Windows_x64", "AMD64"), ("Darwin_x64", "x86_64"), ("Linux_x64", "aarch64")])
def test_connect_refuses_adb_off_linux_x86(conn, log, monkeypatch, host):
    rt, state, steps = conn
    monkeypatch.setattr(RT, "os_platform", host[0])
    monkeypatch.setattr(RT, "machine", host[1])
    with pytest.raises(Exception, match="^Init runtime environment failed!$"):
        rt._connect()
    assert log.of("e") == [(f"Only support ntb mode on {host[0]} {host[1]}. But can not find device with ntb mode.",
                            False)]


def test_connect_without_adb(conn, log):
    rt, state, steps = conn
    rt.adb_path = "/nowhere/adb"
    with pytest.raises(Exception, match="^Init runtime environment failed!$"):
        rt._connect()
    assert log.of("e") == [("Can not find adb at /nowhere/adb", False)] and "forward" not in steps


def test_connect_with_real_tools(tools, log, chipmap, monkeypatch):
    adb, ntd = tools
    monkeypatch.setattr(RT, "_whether_ntd_running", staticmethod(lambda: False))
    fake_tool(ntd, {"devices": (0, "", "")})
    fake_tool(adb, {})
    rt = RT.__new__(RT)
    rt.target_soc, rt.device_id, rt.adb_path, rt.ntd_path = "TX1100", "SER 1", adb, ntd
    assert rt._connect() == 0
    assert tool_calls(ntd) == ["devices"]
    assert tool_calls(adb) == ["-s SER 1 forward --remove localabstract:tetherd",
                               "-s SER 1 forward localabstract:tetherd local:tetherd"]
    assert log.of("d")[-1] == ("Connect to Device success!",)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(text=st.text(alphabet=st.sampled_from("ab \t\nUSB_DEVICEPCIE\x00\u00e9"), max_size=60))
def test_tool_output_parsing_never_fails(monkeypatch, text):
    monkeypatch.setattr(zr, "exec_command", lambda cmd, use_shell=False: (0, text))
    monkeypatch.setattr(RT, "_is_npu_self", staticmethod(lambda: (False, None)))
    monkeypatch.setattr(RT, "_get_adb_path", staticmethod(lambda: __file__))
    lines = text.splitlines()
    assert RT.get_adb_devices() == [f[0] for f in (line.split("\t") for line in lines[1:]) if len(f) == 2]
    expected = [f[0] for f in (line.split() for line in lines) if len(f) == 3 and f[2] in ("USB_DEVICE", "PCIE")]
    assert RT.get_ntb_devices() == expected
