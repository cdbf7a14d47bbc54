"""The entry point's reporting, seen as the user sees it: the warning box and the exit code."""
import pytest

from conftest import TOOLS_DIR, start, ui, wait_exit
from texts import MESSAGE_TITLE

REPORT_PROBE = TOOLS_DIR / "report-probe.exe"


@pytest.mark.parametrize("mode, text", [
    ("error", "测试消息：第一行。\n第二行。"),
    ("empty", ""),
    ("alloc", "轻量版未能启动，请重新尝试或使用完整版。"),
])
def test_failure_shows_one_warning_box_and_exits_with_1(mode, text):
    process = start(REPORT_PROBE, mode)
    box = ui("read", MESSAGE_TITLE)
    assert box.message == text
    assert box.icon == "warning"
    assert [b["text"] for b in box.buttons.values()] == ["OK"]
    assert not box.data["owner"]
    ui("click", MESSAGE_TITLE, 1)
    assert wait_exit(process) == 1


def test_normal_return_shows_nothing_and_exits_with_0():
    process = start(REPORT_PROBE, "ok")
    assert wait_exit(process) == 0
    assert ui("read", MESSAGE_TITLE, timeout_ms=500, check=False) is None
