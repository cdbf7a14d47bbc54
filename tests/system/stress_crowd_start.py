"""Crowd start: ten starts of the real bootstrapper at once on one data root, as an impatient user's
double-clicks or a login script make them. Exactly one goes on; the nine others only say that another
start is busy and end with 0; the cache ends with one valid copy and no staging file.

The build is the kill loop's 64 MiB one, so the start that goes on spends a while extracting while the
others arrive, and its payload, the recording test app, tells how many probe runs and launches there were.
"""
import hashlib

import pytest

from conftest import VERSION, BUILD_DIR, MutexHolder, start, ui, wait_exit, wait_until, windows_path, wine_env
from test_runtime_launch import read_runs
from texts import BUSY_TEXT, CONSENT_TITLE, MESSAGE_TITLE

LARGE_BUILD = BUILD_DIR / "Corvane_LargePayload_Lite.exe"
PAYLOAD = (BUILD_DIR / "tests" / "stress-builds" / "test-app-64mib.exe").read_bytes()
CROWD = 10

DECLINE = 2


def running(processes):
    return [p for p in processes if p.poll() is None]


def dismiss_busy_boxes(processes, count):
    """Presses OK in each busy box, one at a time, each time waiting for its start to end."""
    for _ in range(count):
        alive = len(running(processes))
        ui("click", MESSAGE_TITLE, 1)
        assert wait_until(lambda: len(running(processes)) < alive, timeout=30), "a busy box did not end its start"


@pytest.mark.parametrize("held_in", ["probe", "consent prompt"])
def test_of_ten_starts_at_once_exactly_one_goes_on(tmp_path, held_in):
    data_root = tmp_path / "data"
    runtime_root = tmp_path / "runtime"
    record = tmp_path / "record.bin"
    go = tmp_path / "go"
    if held_in == "probe":
        (runtime_root / "shared" / "Microsoft.NETCore.App").mkdir(parents=True)
        (runtime_root / "shared" / "Microsoft.WindowsDesktop.App").mkdir()
    # Without a runtime root the start that goes on asks for consent; with one, its probe run waits
    # for the go file.
    env = wine_env(CORVANE_TEST_DATA_ROOT=windows_path(data_root), DOTNET_ROOT_X64="",
                   DOTNET_ROOT=windows_path(runtime_root) if held_in == "probe" else "",
                   CORVANE_TEST_RECORD=windows_path(record), CORVANE_TEST_PROBE_WAIT_FOR=windows_path(go))

    processes = [start(LARGE_BUILD, env=env) for _ in range(CROWD)]

    if held_in == "probe":
        # The probe has a time limit of its own, so it is released as soon as every start has met the
        # guard (each keeps its handle on the name while its box is up) and the probe run has begun,
        # not after the boxes are drawn. The boxes stay until clicked, so they still show the overlap.
        ui("mutex-handles", MutexHolder.NAME, CROWD, timeout_ms=60000)
        assert wait_until(lambda: len(read_runs(record)) == 1, timeout=60), "no probe run started"
        go.write_bytes(b"")
        assert wait_until(lambda: len(running(processes)) == CROWD - 1, timeout=60)
    else:
        ui("read", CONSENT_TITLE, timeout_ms=60000)
    boxes = ui("list", MESSAGE_TITLE, CROWD - 1, timeout_ms=60000)
    held_dialogs = ui("list", CONSENT_TITLE, 0, timeout_ms=0)
    if held_in == "probe":
        dismiss_busy_boxes(processes, CROWD - 1)
    else:
        # Every other start has shown its box while the first is still held.
        assert len(running(processes)) == CROWD
        dismiss_busy_boxes(processes, CROWD - 1)
        assert len(running(processes)) == 1
        ui("click", CONSENT_TITLE, DECLINE)
    codes = [wait_exit(p, timeout=60) for p in processes]

    runs = read_runs(record)
    probes = sum("--corvane-runtime-probe" in r.command_line for r in runs)
    launches = len(runs) - probes
    directory = data_root / "lite-cache" / VERSION / hashlib.sha256(PAYLOAD).hexdigest()[:16]
    names = sorted(p.name for p in directory.iterdir())
    print(f"\nCrowd start, {CROWD} at once on one data root, the first held in its {held_in}: "
          f"busy boxes {len(boxes)} (from {len({b.pid for b in boxes})} processes), consent prompts "
          f"{len(held_dialogs)}, probe runs {probes}, launches {launches}, exit codes "
          f"{ {code: codes.count(code) for code in sorted(set(codes))} }, files in the cache {names}")

    assert len(boxes) == CROWD - 1
    assert len({b.pid for b in boxes}) == CROWD - 1
    # Only the texts: the helper tells icons apart by their pixels on the screen, and these boxes lie on
    # top of each other (the busy box's icon is checked where it stands alone, in test_single_instance).
    assert [b.message for b in boxes] == [BUSY_TEXT] * (CROWD - 1)
    assert codes == [0] * CROWD
    if held_in == "probe":
        assert (probes, launches, len(held_dialogs)) == (1, 1, 0)
    else:
        assert (probes, launches, len(held_dialogs)) == (0, 0, 1)
    assert names == ["Corvane.App.exe"]
    assert (directory / "Corvane.App.exe").read_bytes() == PAYLOAD
