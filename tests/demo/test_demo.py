"""The demo commands of the README, run headless as a newcomer would run them: scripts/run-demo (the launch
road), scripts/run-demo --install (the whole install road against the local mirror) and scripts/screenshots
(one picture of each dialog). Each must end well and every picture it reports must be a real image of the
window it claims: a PNG of the reported size that fits the screen and is not blank."""
import os
import pathlib
import re
import subprocess
import tempfile

import pytest

SOURCE_DIR = pathlib.Path(os.environ.get("CORVANE_SOURCE_DIR", pathlib.Path(__file__).resolve().parents[2]))
SCREEN = (1280, 800)
SHOT = re.compile(r"^Screenshot \((?P<stage>.+), (?P<width>\d+)x(?P<height>\d+)\): (?P<path>.+)$")


def run_script(name, *args):
    """Runs a script as from a terminal without a display, its output collected through a file: Wine's
    background programs may hold a pipe open after the script has ended."""
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WINEPREFIX", "CORVANE_FORCE_XVFB")}
    with tempfile.TemporaryFile() as out:
        result = subprocess.run([str(SOURCE_DIR / "scripts" / name), *map(str, args)], env=env,
                                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT, timeout=900)
        out.seek(0)
        output = out.read().decode("utf-8", "replace")
    assert result.returncode == 0, f"scripts/{name} {' '.join(map(str, args))} ended with {result.returncode}:\n{output[-4000:]}"
    return output


def pictures(output):
    """(stage, reported width, reported height, path) for each picture the script says it saved."""
    found = [SHOT.match(line) for line in output.splitlines()]
    return [(m["stage"], int(m["width"]), int(m["height"]), pathlib.Path(m["path"])) for m in found if m]


def check_picture(width, height, path):
    assert path.is_file(), f"{path} was reported but not written"
    described = subprocess.run(["identify", "-format", "%m %w %h %k", str(path)], capture_output=True, text=True,
                               check=True).stdout.split()
    kind, real_width, real_height, colours = described[0], int(described[1]), int(described[2]), int(described[3])
    assert kind == "PNG", path
    assert (real_width, real_height) == (width, height), path
    # A window with its title bar, small enough to lie on the screen.
    assert 100 <= width <= SCREEN[0] and 60 <= height <= SCREEN[1], (path, width, height)
    assert colours > 1, f"{path} is one flat colour"


@pytest.mark.parametrize("args, stages, exit_codes", [
    ((), ["the app started"], ["0"]),
    (("--install",), ["consent prompt", "download in progress", "the app started"], ["0"]),
], ids=["launch", "install"])
def test_demo_plays_its_road_and_saves_a_picture_of_each_stage(args, stages, exit_codes):
    output = run_script("run-demo", *args)

    assert re.findall(r"^Exit code: (\d+)$", output, re.M) == exit_codes, output[-4000:]
    shots = pictures(output)
    assert [stage for stage, *_ in shots] == stages, output[-4000:]
    for _, width, height, path in shots:
        check_picture(width, height, path)


def test_screenshots_makes_one_picture_of_each_dialog(tmp_path):
    output = run_script("screenshots", tmp_path)

    shots = pictures(output)
    assert sorted(path.name for *_, path in shots) == \
        ["busy.png", "cancelling.png", "consent.png", "download.png", "warning.png"], output[-4000:]
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(path.name for *_, path in shots)
    for _, width, height, path in shots:
        assert path.parent == tmp_path
        check_picture(width, height, path)
