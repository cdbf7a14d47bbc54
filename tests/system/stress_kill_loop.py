"""Kill loop: the real bootstrapper, killed at random moments of a whole start, never leaves a broken
app under the app's name, and whatever a killed start leaves behind a later start removes once it is
old enough that no start can still be using it. A second loop kills starts during the runtime download
and does the same count for the installers they leave in the downloads directory.

The build carries the recording test app with 64 MiB appended (tests/stress-builds), so extraction is a
good part of a first start. A start is ended the way a logoff, a crash or Task Manager ends it: SIGKILL
of its `wine` process. That Unix process is the Windows process itself (it runs the image), so nothing
of the bootstrapper runs on the way out; the staging files that kills leave behind show it.

A kill "lands during extraction" when it leaves a staging file of its own behind: it came between the
reservation of the staging name and the replace step. A start removes only staging files last written a
day or more ago (a start of another logon session may be using a fresher one), so after each kill the
loop dates what was left two days back, as if the next start came that much later.

The download loop uses an install build (the recording test app, the local HTTPS server, the signed
test installer). The server holds the installer back after a random number of its bytes, so each kill
lands while the download is under way however loaded the machine is. After every kill it checks what
the next start did with the installers left so far: it must keep those written within the day (a start
of another logon session may be downloading into one) and remove those the loop dated two days back,
which it does after every second kill.

  CORVANE_STRESS_KILLS  kills in total (default 40). The three situations (no, a valid and a damaged
                        earlier copy) take turns, kill by kill, and each situation's moments are spread
                        evenly at random over a whole start in that situation. The download loop kills
                        a quarter as often (at least 4 times).
  CORVANE_STRESS_SEED   replays a run's moments; the seed in use is printed.
"""
import hashlib
import os
import random
import re
import signal
import time

from server_control import requests_seen

from conftest import VERSION, BUILD_DIR, UI_HELPER, run, start, wait_exit, wait_until, windows_path, wine_env
from test_install_road import SIGNED_INSTALLER, Road, consent, set_scenario
from test_runtime_launch import make_root, read_runs

LARGE_BUILD = BUILD_DIR / "Corvane_LargePayload_Lite.exe"
PAYLOAD = (BUILD_DIR / "tests" / "stress-builds" / "test-app-64mib.exe").read_bytes()
MUTEX = "Local\\Corvane.Lite.Bootstrap"
STAGING_NAME = re.compile(r"CVN[0-9A-Fa-f]{1,4}\.tmp", re.IGNORECASE)
# In the downloads directory: the reserved name and the installer, the reserved name with ".exe".
DOWNLOAD_NAME = re.compile(r"CVN[0-9A-Fa-f]{1,4}\.tmp(\.exe)?", re.IGNORECASE)

NO_COPY = "no earlier copy"
VALID_COPY = "valid earlier copy"
DAMAGED_COPY = "damaged earlier copy"


def damaged(payload):
    data = bytearray(payload)
    data[len(data) // 2] ^= 0x01
    return bytes(data)


EARLIER = {NO_COPY: None, VALID_COPY: PAYLOAD, DAMAGED_COPY: damaged(PAYLOAD)}


def staging_files(directory, names=STAGING_NAME):
    """The staging files there, each with what tells a new file from an older one of the same name."""
    if not directory.exists():
        return {}
    found = {}
    for entry in os.scandir(directory):
        if names.fullmatch(entry.name) and entry.is_file(follow_symlinks=False):
            info = entry.stat(follow_symlinks=False)
            found[entry.name] = (info.st_ino, info.st_mtime_ns, info.st_size)
    return found


def date_back(directory, days=2, names=STAGING_NAME):
    """Sets the staging files' last-write time the given number of days back."""
    for name in staging_files(directory, names):
        path = directory / name
        when = time.time() - days * 24 * 60 * 60
        os.utime(path, (when, when))


def wait_for_the_guard_to_go():
    """Waits until the killed start is gone for the system too, so the next start does not meet the busy
    box. ui-helper answers 0 (gone), 2 (timed out) or 4 (refused). Once, after 200 kills, the helper itself
    ended with 1 without a word, as a Wine program that never ran would; it is asked again then."""
    for _ in range(3):
        code = run(UI_HELPER, "mutex-gone", MUTEX, "--timeout", "20000").returncode
        if code in (0, 2, 4):
            break
    assert code == 0, f"the single-instance name outlived the killed start (ui-helper mutex-gone ended with {code})"


def app_processes(app):
    """Probe runs and launched apps still running from this loop's cache (other test runs on the machine
    have processes of their own under other data roots)."""
    marker = windows_path(app).encode()
    running = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as cmdline:
                if cmdline.read().startswith(marker):
                    running.append(pid)
        except OSError:
            pass
    return running


def outcome(app, earlier):
    """What the app's name holds after a kill."""
    if not app.exists():
        return "nothing"
    data = app.read_bytes()
    if earlier is not None and data == earlier:
        return "earlier copy"
    if data == PAYLOAD:
        return "full payload"
    return "partial"


class Loop:
    def __init__(self, tmp_path):
        self.data_root = tmp_path / "data"
        self.runtime_root = tmp_path / "runtime"
        (self.runtime_root / "shared" / "Microsoft.NETCore.App").mkdir(parents=True)
        (self.runtime_root / "shared" / "Microsoft.WindowsDesktop.App").mkdir()
        self.directory = self.data_root / "lite-cache" / VERSION / hashlib.sha256(PAYLOAD).hexdigest()[:16]
        self.app = self.directory / "Corvane.App.exe"
        self.half_started = 0

    def env(self, **extra):
        # A working runtime root: a start that is not killed goes all the way to the launch.
        return wine_env(CORVANE_TEST_DATA_ROOT=windows_path(self.data_root),
                        DOTNET_ROOT=windows_path(self.runtime_root), DOTNET_ROOT_X64="", **extra)

    def prepare(self, situation):
        earlier = EARLIER[situation]
        if earlier is None:
            self.app.unlink(missing_ok=True)
        else:
            self.directory.mkdir(parents=True, exist_ok=True)
            self.app.write_bytes(earlier)

    def settle(self):
        """Waits until the killed start is gone for the system too and its children have ended, so the
        next start neither meets the busy box nor a running image it cannot replace."""
        wait_for_the_guard_to_go()
        # The test app ends at once in both modes. A child whose parent was killed in the middle of
        # CreateProcessW never finishes starting under Wine (it waits on a pipe for its parent's half of
        # the start-up); on Windows such a child can likewise stay suspended. Those are ended here.
        if not wait_until(lambda: not app_processes(self.app), timeout=5):
            for pid in app_processes(self.app):
                try:
                    os.kill(int(pid), signal.SIGKILL)
                    self.half_started += 1
                except ProcessLookupError:
                    pass
            assert wait_until(lambda: not app_processes(self.app), timeout=10), \
                "a child of the killed start lingers"

    def whole_start(self, **extra):
        started = time.monotonic()
        process = start(LARGE_BUILD, env=self.env(**extra))
        assert wait_exit(process, timeout=120) == 0
        duration = time.monotonic() - started
        self.settle()
        return duration


def test_kill_loop_never_leaves_a_broken_app_and_a_later_start_clears_what_kills_left(tmp_path):
    kills_wanted = int(os.environ.get("CORVANE_STRESS_KILLS", "40"))
    seed = int(os.environ.get("CORVANE_STRESS_SEED") or random.SystemRandom().randrange(1 << 32))
    rng = random.Random(seed)
    # Printed before anything can fail, so that a failing run can be replayed.
    print(f"\nKill loop: seed {seed} (CORVANE_STRESS_SEED={seed} replays it)", flush=True)
    loop = Loop(tmp_path)

    # How long a whole start (extraction if any, probe, launch) takes in each situation, measured here.
    situations = [NO_COPY, VALID_COPY, DAMAGED_COPY]
    durations = {}
    for situation in situations:
        for _ in range(2):
            loop.prepare(situation)
            durations.setdefault(situation, []).append(loop.whole_start())
    # The shorter run, so that nearly every moment still finds the start running.
    length = {situation: min(times) for situation, times in durations.items()}
    per_situation = {s: len(range(i, kills_wanted, 3)) for i, s in enumerate(situations)}
    rows = {s: {"kills": 0, "ended first": 0, "during extraction": 0, "nothing": 0, "earlier copy": 0,
                "full payload": 0, "partial": 0} for s in situations}
    strays_left = 0
    most_strays = 0
    broken = []
    for index in range(kills_wanted):
        situation = situations[index % 3]
        row = rows[situation]
        for _ in range(4):
            moment = (index // 3 + rng.random()) / per_situation[situation] * length[situation]
            loop.prepare(situation)
            before = staging_files(loop.directory)
            started = time.monotonic()
            process = start(LARGE_BUILD, env=loop.env())
            while time.monotonic() - started < moment and process.poll() is None:
                time.sleep(0.005)
            if process.poll() is None:
                process.kill()
                process.wait()
                row["kills"] += 1
                break
            # This start was quicker than the measured ones: it counts as no kill, and the situation's
            # length shrinks to what it took, so the next moment is drawn within a start again.
            assert process.returncode == 0
            row["ended first"] += 1
            length[situation] = min(length[situation], time.monotonic() - started)
            loop.settle()
        loop.settle()

        after = staging_files(loop.directory)
        left = {name for name, identity in after.items() if before.get(name) != identity}
        if left:
            row["during extraction"] += 1
            strays_left += len(left)
        most_strays = max(most_strays, len(after))
        date_back(loop.directory)
        result = outcome(loop.app, EARLIER[situation])
        row[result] += 1
        # Allowed: the earlier state exactly (no copy stays no copy), or the whole payload.
        allowed = {"full payload", "nothing" if EARLIER[situation] is None else "earlier copy"}
        if result not in allowed:
            broken.append(f"kill {index} ({situation}) at {moment:.3f} s: the app's name holds {result}")

    strays_before_final = len(staging_files(loop.directory))
    record = tmp_path / "final-start.bin"
    loop.whole_start(CORVANE_TEST_RECORD=windows_path(record))
    strays_after_final = staging_files(loop.directory)

    print(f"Kill loop: {kills_wanted} kills at random moments over a whole start, the situations "
          f"taking turns (64 MiB payload); 'ended first': starts that ended before their moment, drawn again")
    for situation in situations:
        print(f"  whole start, {situation}: {', '.join(f'{d:.2f}' for d in durations[situation])} s measured; "
              f"moments drawn over the shortest seen, {length[situation]:.2f} s")
    header = f"  {'situation':<22}{'kills':>6}{'ended first':>13}{'during extr.':>14}{'nothing':>9}{'earlier':>9}" \
             f"{'full':>6}{'partial':>9}"
    print(header)
    total = {key: sum(r[key] for r in rows.values()) for key in rows[NO_COPY]}
    for name, row in list(rows.items()) + [("total", total)]:
        print(f"  {name:<22}{row['kills']:>6}{row['ended first']:>13}{row['during extraction']:>14}"
              f"{row['nothing']:>9}{row['earlier copy']:>9}{row['full payload']:>6}{row['partial']:>9}")
    print(f"  kills: {total['kills']}; kills during extraction: {total['during extraction']}; partial copies seen: "
          f"{total['partial']}")
    print(f"  stray temporary files: {strays_left} left by kills, at most {most_strays} present at once, "
          f"{strays_before_final} before the final start, {len(strays_after_final)} after it")
    print(f"  children left half-started by a kill during their creation, ended by the test: {loop.half_started}")

    assert broken == []
    assert total["partial"] == 0
    # The loop really reached the window in which a copy is written (a handful of kills may all miss it).
    if kills_wanted >= 12:
        assert total["during extraction"] > 0
    # One normal start leaves a valid copy, no stray, and really ran: one probe and one launch.
    assert loop.app.read_bytes() == PAYLOAD
    assert strays_after_final == {}
    runs = read_runs(record)
    assert [("--corvane-runtime-probe" in r.command_line) for r in runs] == [True, False]


def test_kills_during_a_held_download_leave_installers_that_only_a_start_a_day_later_removes(tmp_path):
    kills_wanted = max(4, int(os.environ.get("CORVANE_STRESS_KILLS", "40")) // 4)
    seed = int(os.environ.get("CORVANE_STRESS_SEED") or random.SystemRandom().randrange(1 << 32))
    rng = random.Random(seed)
    print(f"\nDownload kill loop: seed {seed} (CORVANE_STRESS_SEED={seed} replays it)", flush=True)
    installer_size = SIGNED_INSTALLER.stat().st_size
    road = Road(tmp_path)

    left_by_kills = 0
    bytes_left = 0
    most_present = 0
    kept_fresh = 0
    removed_old = 0
    problems = []
    dated = set()
    for index in range(kills_wanted):
        held_after = rng.randrange(installer_size)
        set_scenario({"file": str(SIGNED_INSTALLER), "hold_after": held_after})
        before = staging_files(road.downloads, DOWNLOAD_NAME)
        process = consent(road.start())
        assert wait_until(lambda: len(requests_seen()) == 1, timeout=60), "the download did not start"
        # The answer is held, so the moment within the next half second changes only how far the worker
        # got with what it was sent.
        time.sleep(rng.random() / 2)
        assert process.poll() is None, "the start ended although its download was held"
        process.kill()
        process.wait()
        set_scenario({})
        wait_for_the_guard_to_go()

        after = staging_files(road.downloads, DOWNLOAD_NAME)
        for name, identity in before.items():
            if name in dated:
                if name in after:
                    problems.append(f"kill {index}: {name}, two days old, outlived the start")
                else:
                    removed_old += 1
            elif after.get(name) == identity:
                kept_fresh += 1
            else:
                problems.append(f"kill {index}: {name}, written within the day, was removed or changed")
        left = [name for name, identity in after.items() if before.get(name) != identity]
        if len(left) != 1 or not left[0].lower().endswith(".tmp.exe"):
            problems.append(f"kill {index}: the killed download left {left}")
        left_by_kills += len(left)
        bytes_left += sum(after[name][2] for name in left)
        most_present = max(most_present, len(after))
        dated = set()
        if index % 2 == 1:
            date_back(road.downloads, names=DOWNLOAD_NAME)
            dated = set(after)

    before_final = staging_files(road.downloads, DOWNLOAD_NAME)
    date_back(road.downloads, names=DOWNLOAD_NAME)
    # The next start takes the launch road: the runtime came by other means meanwhile.
    make_root(road.runtime_root)
    assert wait_exit(road.start(), timeout=120) == 0
    after_final = staging_files(road.downloads, DOWNLOAD_NAME)

    print(f"Download kill loop: {kills_wanted} kills during a download held after a random point of the "
          f"{installer_size}-byte installer")
    print(f"  installers left by kills: {left_by_kills} ({bytes_left} bytes), at most {most_present} present at once")
    print(f"  next start kept those written within the day: {kept_fresh}; removed those dated two days back: "
          f"{removed_old}")
    print(f"  left before the final start: {len(before_final)}, after it (all dated back): {len(after_final)}")

    assert problems == []
    assert left_by_kills == kills_wanted
    assert after_final == {}
    assert wait_until(lambda: len(road.launches()) == 1)
    assert road.installer_runs() == []
