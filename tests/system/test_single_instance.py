"""The single-instance guard, with real processes."""
import pytest

from conftest import BOOTSTRAPPER, MutexHolder, start, ui, wait_exit, windows_path, wine_env
from texts import BUSY_TEXT, MESSAGE_TITLE, UNUSABLE_DIRECTORY


@pytest.mark.parametrize("arguments", [(), ("--corvane-runtime-probe", "/install", "x y")])
def test_second_start_shows_the_information_box_and_touches_nothing(data_root, arguments):
    env = wine_env(CORVANE_TEST_DATA_ROOT=windows_path(data_root))
    with MutexHolder():
        process = start(BOOTSTRAPPER, *arguments, env=env)
        box = ui("read", MESSAGE_TITLE)
        assert box.message == BUSY_TEXT
        assert box.icon == "information"
        assert [b["text"] for b in box.buttons.values()] == ["OK"]
        ui("click", MESSAGE_TITLE, 1)
        assert wait_exit(process) == 0
    assert list(data_root.iterdir()) == []


def test_name_is_free_again_while_a_failed_start_shows_its_warning(data_root):
    # A file where the cache directory belongs makes every start fail after the guard.
    (data_root / "lite-cache").write_bytes(b"")
    env = wine_env(CORVANE_TEST_DATA_ROOT=windows_path(data_root))

    first = start(BOOTSTRAPPER, env=env)
    assert ui("read", MESSAGE_TITLE).message == UNUSABLE_DIRECTORY
    second = start(BOOTSTRAPPER, env=env)
    boxes = ui("list", MESSAGE_TITLE, 2)
    assert [b.message for b in boxes] == [UNUSABLE_DIRECTORY, UNUSABLE_DIRECTORY]
    assert all(b.icon == "warning" for b in boxes)

    ui("click", MESSAGE_TITLE, 1)
    ui("click", MESSAGE_TITLE, 1)
    assert wait_exit(first) == 1
    assert wait_exit(second) == 1
