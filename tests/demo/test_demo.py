"""The demo commands of the README, run headless as a newcomer would run them: scripts/run-demo (the launch
road), scripts/run-demo --install (the whole install road against the local mirror) and scripts/screenshots
(one picture of each dialog). Each must end well and every picture it reports must show the window it
claims as a person sees it: a PNG that fits the screen, the active window's title bar above its face."""
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


def average_colour(path, geometry):
    """The mean (red, green, blue) of one part of a picture, each from 0 to 1."""
    text = subprocess.run(["convert", str(path), "-crop", geometry, "+repage", "-scale", "1x1!", "-format",
                           "%[fx:r] %[fx:g] %[fx:b]", "info:"], capture_output=True, text=True, check=True).stdout
    return tuple(float(value) for value in text.split())


def check_picture(width, height, path):
    assert path.is_file(), f"{path} was reported but not written"
    kind = subprocess.run(["identify", "-format", "%m", str(path)], capture_output=True, text=True,
                          check=True).stdout
    assert kind == "PNG", path
    # A window with its title bar, small enough to lie on the screen.
    assert 100 <= width <= SCREEN[0] and 60 <= height <= SCREEN[1], (path, width, height)
    # Cut to the window as a person sees it while it is the active window: a strip of the title bar in
    # the active caption's blue above the window's light face. A picture cut from the wrong place (the
    # desktop, another window) or taken once the window had turned inactive fails here.
    red, green, blue = average_colour(path, f"{width}x8+0+6")
    assert blue > 0.75 and red < 0.4 and blue - red > 0.4, (path, "title bar", red, green, blue)
    face = average_colour(path, f"{width}x{height // 3}+0+{height - height // 3}")
    assert min(face) > 0.8, (path, "window face", face)


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
