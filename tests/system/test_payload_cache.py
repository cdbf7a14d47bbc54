"""The payload cache, end to end: the real bootstrapper started as a user would, judged by what it leaves
on disk and by the warning it shows.

After a successful cache step the launch flow goes on to look for a runtime; these tests set none and
just dismiss whatever comes next (the consent prompt, or a warning), since only the cache is judged here.
"""
import contextlib
import hashlib
import os
import shutil
import subprocess
import uuid

import pytest

from conftest import VERSION, BOOTSTRAPPER, BUILD_DIR, UI_HELPER, small_drive, start, ui, wait_exit, windows_path, wine_env
from texts import (CANNOT_READ, CONSENT_TITLE, INCOMPLETE, LOCATION_UNUSABLE, MESSAGE_TITLE, REPLACE_FAILED,
                   VERIFY_FAILED, WRITE_FAILED)

DEMO_APP = BUILD_DIR / "tools" / "Corvane.App.exe"
MISMATCH_BUILD = BUILD_DIR / "Corvane_PayloadMismatch_Lite.exe"
MISMATCH_DIRECTORY = "0badd16e57000000"


def sha256(path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


PAYLOAD_SHA256 = sha256(DEMO_APP)


def payload_directory(data_root, digest_directory=None):
    return data_root / "lite-cache" / VERSION / (digest_directory or PAYLOAD_SHA256[:16])


def environment(data_root):
    # No runtime anywhere the probe looks, so the flow after the cache step never starts an app.
    return wine_env(CORVANE_TEST_DATA_ROOT=windows_path(data_root), DOTNET_ROOT="", DOTNET_ROOT_X64="")


def click(title, button):
    subprocess.run(["wine", str(UI_HELPER), "click", title, str(button), "--timeout", "300"], env=wine_env(),
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)


def start_and_finish(data_root, exe=BOOTSTRAPPER) -> int:
    """A start whose cache step is expected to succeed: whatever the flow shows afterwards is dismissed."""
    process = start(exe, env=environment(data_root))
    while process.poll() is None:
        for title, button in ((CONSENT_TITLE, 2), (MESSAGE_TITLE, 1)):
            if process.poll() is None:
                click(title, button)
    return wait_exit(process)


def start_expecting_warning(data_root, exe=BOOTSTRAPPER) -> str:
    """A start that must end with one warning box: returns its text after pressing OK."""
    process = start(exe, env=environment(data_root))
    box = ui("read", MESSAGE_TITLE)
    assert box.icon == "warning"
    ui("click", MESSAGE_TITLE, 1)
    assert wait_exit(process) == 1
    return box.message


def snapshot(directory):
    """Names, sizes, contents' digests and modification times of everything below a directory."""
    result = {}
    for root, dirs, files in os.walk(directory, followlinks=False):
        for name in dirs + files:
            path = os.path.join(root, name)
            info = os.lstat(path)
            digest = hashlib.sha256(open(path, "rb").read()).hexdigest() if os.path.isfile(path) else None
            result[os.path.relpath(path, directory)] = (info.st_mode, info.st_size, info.st_mtime_ns, digest)
    return result


def local_app_data_corvane():
    users = os.path.join(os.environ["WINEPREFIX"], "drive_c", "users")
    return {user: snapshot(os.path.join(users, user, "AppData", "Local", "Corvane")) for user in os.listdir(users)}


@pytest.fixture
def cached(data_root):
    """A data root whose cache already holds a valid copy from a first start."""
    assert start_and_finish(data_root) in (0, 1)
    app = payload_directory(data_root) / "Corvane.App.exe"
    assert sha256(app) == PAYLOAD_SHA256
    return app


def test_first_start_extracts_the_verified_app_below_the_override_only(data_root):
    outside_before = local_app_data_corvane()

    start_and_finish(data_root)

    directory = payload_directory(data_root)
    assert sorted(p.name for p in (data_root / "lite-cache").iterdir()) == [VERSION]
    assert sorted(p.name for p in directory.parent.iterdir()) == [PAYLOAD_SHA256[:16]]
    assert [p.name for p in directory.iterdir()] == ["Corvane.App.exe"]
    assert sha256(directory / "Corvane.App.exe") == PAYLOAD_SHA256
    assert local_app_data_corvane() == outside_before


def test_second_start_reuses_the_copy_without_writing_anything(cached):
    directory = cached.parent
    before = os.stat(cached)
    directory_mtime = os.stat(directory).st_mtime_ns

    start_and_finish(cached.parents[3])

    after = os.stat(cached)
    assert (after.st_ino, after.st_mtime_ns, after.st_size) == (before.st_ino, before.st_mtime_ns, before.st_size)
    # A temporary file created and removed again would have changed the directory's time.
    assert os.stat(directory).st_mtime_ns == directory_mtime
    assert [p.name for p in directory.iterdir()] == ["Corvane.App.exe"]


@pytest.mark.parametrize("damage", ["one_byte_changed", "truncated_to_zero", "other_build"])
def test_a_damaged_copy_is_replaced(cached, damage):
    data = bytearray(cached.read_bytes())
    if damage == "one_byte_changed":
        data[len(data) // 2] ^= 0x01
    elif damage == "truncated_to_zero":
        data = bytearray()
    else:
        data = bytearray((BUILD_DIR / "tools" / "ui-helper.exe").read_bytes())
    cached.write_bytes(bytes(data))

    start_and_finish(cached.parents[3])

    assert sha256(cached) == PAYLOAD_SHA256
    assert [p.name for p in cached.parent.iterdir()] == ["Corvane.App.exe"]


@pytest.mark.parametrize("kind", ["directory", "directory_link_to_a_valid_copy"])
def test_a_directory_or_link_at_the_app_path_is_refused_and_nothing_written(data_root, tmp_path, kind):
    directory = payload_directory(data_root)
    directory.mkdir(parents=True)
    app = directory / "Corvane.App.exe"
    if kind == "directory":
        app.mkdir()
    else:
        target = tmp_path / "elsewhere"
        target.mkdir()
        shutil.copyfile(DEMO_APP, target / "Corvane.App.exe")
        app.symlink_to(target, target_is_directory=True)
    before = snapshot(data_root)

    assert start_expecting_warning(data_root) == LOCATION_UNUSABLE

    assert snapshot(data_root) == before


@contextlib.contextmanager
def running(exe, *args):
    """Keeps a Wine process of the given image running until the block ends."""
    process = subprocess.Popen(["wine", str(exe), *args], env=wine_env(), stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE)
    try:
        assert process.stdout.readline().strip() == b"held"
        yield process
    finally:
        process.stdin.close()
        process.wait(timeout=30)


def test_a_running_stale_copy_cannot_be_replaced(data_root):
    directory = payload_directory(data_root)
    directory.mkdir(parents=True)
    app = directory / "Corvane.App.exe"
    # A stale copy that keeps running: another program's image in place of the app.
    shutil.copyfile(UI_HELPER, app)
    stale = sha256(app)

    with running(app, "hold-mutex", f"Local\\Corvane.Test.{uuid.uuid4().hex}"):
        assert start_expecting_warning(data_root) == REPLACE_FAILED

    assert sha256(app) == stale
    assert [p.name for p in directory.iterdir()] == ["Corvane.App.exe"]


def test_a_copy_held_open_for_writing_is_not_rewritten(cached):
    before = snapshot(cached.parent)
    with running(UI_HELPER, "hold-file", windows_path(cached), "read"):
        assert start_expecting_warning(cached.parents[3]) == CANNOT_READ
    assert snapshot(cached.parent) == before


def test_a_disk_that_fills_up_during_the_write_leaves_no_temporary_file(tmp_path):
    # Room for the directories, not for the whole payload.
    with small_drive(tmp_path, DEMO_APP.stat().st_size // 2) as (letter, mount_point):
        env = wine_env(CORVANE_TEST_DATA_ROOT=f"{letter}:\\", DOTNET_ROOT="", DOTNET_ROOT_X64="")
        process = start(BOOTSTRAPPER, env=env)
        box = ui("read", MESSAGE_TITLE)
        ui("click", MESSAGE_TITLE, 1)
        assert wait_exit(process) == 1
        assert box.message == WRITE_FAILED
        directory = payload_directory(mount_point)
        assert directory.is_dir()
        assert list(directory.iterdir()) == []


def test_a_build_whose_digest_does_not_match_its_payload_fails_every_start(data_root):
    for _ in range(2):
        assert start_expecting_warning(data_root, MISMATCH_BUILD) == VERIFY_FAILED
        assert list(payload_directory(data_root, MISMATCH_DIRECTORY).iterdir()) == []


@pytest.mark.parametrize("build", ["Corvane_NoPayload_Lite.exe", "Corvane_EmptyPayload_Lite.exe"])
def test_a_build_without_usable_payload_says_it_is_incomplete(data_root, build):
    assert start_expecting_warning(data_root, BUILD_DIR / build) == INCOMPLETE
    directories = list((data_root / "lite-cache" / VERSION).iterdir())
    assert len(directories) == 1
    assert list(directories[0].iterdir()) == []
