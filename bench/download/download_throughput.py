"""Runs the download benchmark under Wine against the local HTTPS test server (see run-download-bench)."""
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "scripts"))
import release_constants  # noqa: E402

SOURCE = pathlib.Path(os.environ["CORVANE_SOURCE_DIR"])
BUILD = pathlib.Path(os.environ["CORVANE_BUILD_DIR"])
FIXTURES = BUILD / "fixtures"
SERVER = SOURCE / "tests" / "fixtures" / "https_server.py"
BENCH = BUILD / "bench" / "download-bench.exe"
PATH = release_constants.read(BUILD)["CORVANE_INSTALLER_PATH"]
MIB = 1 << 20


def serve_body(size):
    scenario = json.dumps({"routes": {PATH: {"size": size}}}).encode()
    request = urllib.request.Request("http://127.0.0.1:8931/_control/scenario", data=scenario, method="PUT")
    urllib.request.urlopen(request, timeout=10).read()


def bench(*args):
    result = subprocess.run(["wine", str(BENCH), *map(str, args)], capture_output=True, check=True, timeout=1800)
    values = {}
    for line in result.stdout.decode().splitlines():
        name, value = line.split()
        values.setdefault(name, []).append(float(value))
    return values


def curl_seconds(rounds):
    times = []
    with tempfile.TemporaryDirectory() as work:
        for _ in range(rounds):
            out = subprocess.run(["curl", "-sS", "--cacert", str(FIXTURES / "pki" / "root.crt"), "-o",
                                  str(pathlib.Path(work) / "body"), "-w", "%{time_total}", f"https://localhost{PATH}"],
                                 capture_output=True, check=True).stdout
            times.append(float(out))
    return times


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    subprocess.run(["/usr/bin/python3", str(SOURCE / "tests" / "fixtures" / "pki.py"), "trust", str(FIXTURES)],
                   check=True)
    state = BUILD / "bench" / "server"
    subprocess.run(["/usr/bin/python3", str(SERVER), "start", str(FIXTURES), str(state)], check=True)
    try:
        size = 128 * MIB
        serve_body(size)
        timings = bench("throughput", rounds)
        product = statistics.median(timings["product"])
        bare = statistics.median(timings["bare"])
        curl = statistics.median(curl_seconds(rounds))
        print(f"128 MiB body, median of {rounds} rounds each (all rounds, s: DownloadFile "
              f"{' '.join(f'{t:.3f}' for t in timings['product'])}; bare {' '.join(f'{t:.3f}' for t in timings['bare'])}):")
        print(f"  DownloadFile      {size / product / MIB:8.1f} MiB/s  ({product:.3f} s)")
        print(f"  bare WinHTTP loop {size / bare / MIB:8.1f} MiB/s  ({bare:.3f} s)")
        print(f"  curl (native)     {size / curl / MIB:8.1f} MiB/s  ({curl:.3f} s)")
        # Each round times both back to back, so the ratio within a round is the least disturbed by
        # other load on the machine.
        paired = statistics.median(b / p for b, p in zip(timings["bare"], timings["product"]))
        print(f"  ratio DownloadFile / bare loop throughput: {bare / product:.3f} of medians, "
              f"{paired:.3f} median of per-round ratios  (goal >= 0.95)")
        print(f"  ratio DownloadFile / curl throughput:      {curl / product:.3f}  (context only)")

        peaks = {}
        for label, body in (("1 MiB", MIB), ("128 MiB", 128 * MIB)):
            serve_body(body)
            peaks[label] = bench("peak")["peak_working_set"][0]
        difference = peaks["128 MiB"] - peaks["1 MiB"]
        print("Peak working set of a process that made one download:")
        for label, value in peaks.items():
            print(f"  {label:8} body: {value / 1024:10.0f} KiB")
        print(f"  difference: {difference / 1024:.0f} KiB; ratio 128 MiB / 1 MiB: {peaks['128 MiB'] / peaks['1 MiB']:.3f}"
              "  (goal: difference well under 1024 KiB)")
    finally:
        subprocess.run(["/usr/bin/python3", str(SERVER), "stop", str(state)], check=True)


if __name__ == "__main__":
    main()
