"""Hostile signed files for the two release checks: a few hundred copies of a signed release (one plain,
one time-stamped) with bytes of the certificate table changed, DER lengths rewritten, tags swapped and the
table cut short. Each is given to `scripts/release --adopt-signed` and to `scripts/verify-release`: neither
may ever end in a traceback, each refusal is one line, and a file that osslsigncode itself rejects is
refused by both. verify-release compares with the one release already built (--rebuilt), so no file
costs a build.

The mutations come from one seed, printed in every failure: CORVANE_MUTATION_SEED=N replays a run."""
import concurrent.futures
import os
import random
import shutil
import subprocess
import sys
from datetime import datetime, timezone

import pefile

from conftest import RELEASE_EXE, SOURCE_DIR, run_release
from test_release import time_stamping_authority
from test_release_checks import ROOT, TRUST, sign
from test_release_token import unsigned_copy

sys.path.insert(0, str(SOURCE_DIR / "scripts"))
import authenticode  # noqa: E402  (the options this osslsigncode takes, as the checks pass them)
import der  # noqa: E402  (only to find the elements whose tags and lengths are changed)

VERIFY = SOURCE_DIR / "scripts" / "verify-release"
SEED = int(os.environ.get("CORVANE_MUTATION_SEED", "2026"))
PER_BASE = 120
TAGS = (0x02, 0x03, 0x04, 0x05, 0x06, 0x0C, 0x13, 0x17, 0x30, 0x31, 0xA0, 0xA1, 0xA3, 0x80, 0x1F)


def table_of(data):
    pe = pefile.PE(data=bytes(data), fast_load=True)
    directory = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    entry, table = directory.get_file_offset(), directory.VirtualAddress
    pe.close()
    return entry, table


def elements(data, element):
    """The element and every element inside it, constructed ones opened."""
    found = [element]
    if element.tag & 0x20:
        try:
            for child in element.children():
                found += elements(data, child)
        except der.DerError:
            pass  # an OCTET STRING's content or the like that only looks constructed
    return found


def mutants(base, rng, count):
    """(description, bytes) of `count` damaged copies of the signed file `base`."""
    entry, table = table_of(base)
    inside = elements(base, der.read(base, table + 8))
    for index in range(count):
        data = bytearray(base)
        kind = rng.choice(("bytes", "length", "tag", "cut"))
        if kind == "bytes":
            places = [rng.randrange(table, len(data)) for _ in range(rng.randint(1, 4))]
            for place in places:
                data[place] = rng.randrange(256)
            what = f"bytes at {places} changed"
        elif kind == "length":
            element = rng.choice(inside)
            place = element.start - 1
            old = data[place]
            data[place] = rng.choice((0, max(old - 1, 0), (old + 1) % 256, 0x80, 0x84, 0xFF, rng.randrange(256)))
            what = f"length byte at {place} of the element at {element.at} from {old:#04x} to {data[place]:#04x}"
        elif kind == "tag":
            element = rng.choice(inside)
            old = data[element.at]
            data[element.at] = rng.choice([tag for tag in TAGS if tag != old])
            what = f"tag at {element.at} from {old:#04x} to {data[element.at]:#04x}"
        else:
            cut = rng.randrange(table + 1, len(data))
            data = data[:cut]
            what = f"cut at {cut}"
            if rng.random() < 0.5:
                # The table entry and the directory told the new size, as a careless tool would.
                data[entry + 4:entry + 8] = (cut - table).to_bytes(4, "little")
                data[table:table + 4] = (cut - table).to_bytes(4, "little")
                what += " with the sizes told"
        yield f"mutation {index} of its base: {kind}: {what}", bytes(data)


def rejected_by_osslsigncode(path):
    result = subprocess.run(["osslsigncode", "verify", *authenticode.osslsigncode_options(), "-CAfile", str(ROOT),
                             "-TSA-CAfile", str(ROOT), "-in", str(path)], stdin=subprocess.DEVNULL,
                            capture_output=True, text=True, errors="replace", timeout=120)
    output = result.stdout + result.stderr
    return result.returncode != 0 or "\nSignature verification: ok" not in "\n" + output


def judged(releases, work, name, data):
    """What went wrong with one mutant, or None."""
    mutant = work / f"{name}.exe"
    mutant.write_bytes(data)
    rejected = rejected_by_osslsigncode(mutant)
    directory = unsigned_copy(releases, work / f"{name}-release")
    adopted = run_release(directory, "--adopt-signed", mutant, *TRUST)
    verified = subprocess.run([str(VERIFY), str(mutant), "--rebuilt", str(releases["unsigned"].exe), *map(str, TRUST)],
                              cwd="/", stdin=subprocess.DEVNULL, capture_output=True, text=True, errors="replace",
                              timeout=300)
    problems = []
    for command, result in (("release", adopted), ("verify-release", verified)):
        if "Traceback" in result.stdout + result.stderr:
            problems.append(f"{command} ended in a traceback: {result.stderr[-800:]}")
    if adopted.returncode != 0 and (adopted.returncode != 2 or len(adopted.stderr.splitlines()) != 1):
        problems.append(f"release refused it with exit {adopted.returncode} and not one line: {adopted.stderr!r}")
    if verified.returncode == 1 and not verified.stdout.splitlines()[-1].startswith(f"verify-release: {mutant}: "):
        problems.append(f"verify-release refused it without its verdict line: {verified.stdout!r}")
    if verified.returncode == 2 and len(verified.stderr.splitlines()) != 1:
        problems.append(f"verify-release could not check it and said more than one line: {verified.stderr!r}")
    if verified.returncode not in (0, 1, 2):
        problems.append(f"verify-release ended with {verified.returncode}: {verified.stderr[-300:]!r}")
    if rejected and adopted.returncode == 0:
        problems.append("osslsigncode rejects it, and release adopted it")
    if rejected and verified.returncode == 0:
        problems.append("osslsigncode rejects it, and verify-release accepted it")
    if problems:
        return problems
    shutil.rmtree(directory)
    mutant.unlink()
    return None


def test_no_damaged_signature_crashes_the_checks_or_gets_past_them(releases, tmp_path):
    exe = releases["unsigned"].exe
    bases = {"plain": sign(exe, tmp_path / "plain.exe")}
    with time_stamping_authority(datetime.now(timezone.utc).strftime("%Y%m%d%H%M%SZ")) as url:
        bases["stamped"] = sign(exe, tmp_path / "stamped.exe", "-ts", url)
    # Both bases themselves pass, so what a mutant gets refused for is its damage; the stamped one is
    # adopted with its time stamp named.
    for label, base in bases.items():
        directory = unsigned_copy(releases, tmp_path / f"{label}-release")
        adopted = run_release(directory, "--adopt-signed", base, *TRUST)
        assert adopted.returncode == 0, (label, adopted.stderr)
        assert (directory / RELEASE_EXE).read_bytes() == base.read_bytes()
        assert ("\nStamped: " in adopted.stdout) == (label == "stamped"), adopted.stdout

    rng = random.Random(SEED)
    work = tmp_path / "mutants"
    work.mkdir()
    jobs = [(f"{label}-{index}", description, data) for label, base in bases.items()
            for index, (description, data) in enumerate(mutants(base.read_bytes(), rng, PER_BASE))]
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        outcomes = list(pool.map(lambda job: (job, judged(releases, work, job[0], job[2])), jobs))
    failures = [f"{name} ({description}): {'; '.join(problems)}" for (name, description, _), problems in outcomes
                if problems]
    assert not failures, (f"CORVANE_MUTATION_SEED={SEED} replays this run; {len(failures)} of {len(jobs)} mutants "
                          f"failed (the files are kept in {work}):\n" + "\n".join(failures[:15]))
