"""Signing a release with a key that never leaves its token, through the token's PKCS#11 library: here
SoftHSM2, with its tokens in a directory of the test's own and an RSA key generated inside the token
(tests/fixtures/softhsm.py). The signed release is one that Windows trusts; the PIN appears on no command
line, in no environment, output or file; and every way the token path fails ends in one line, with the
release directory exactly as it was."""
import json
import os
import secrets
import shutil
import subprocess

import pytest

import softhsm
from conftest import PKI_DIR, RELEASE_EXE, RELEASE_SCRIPT, make_release, run_release
from test_release import BOM, SHIPPED, sha256, trust, valid_cyclonedx

# Stands in for osslsigncode on PATH and then runs the real one. It writes down the command line and the
# environment of every process of the release command's session (the command is started in a session
# of its own), and what kind of file osslsigncode is told to read the PIN from.
RECORDER = """#!/usr/bin/python3
import os, pathlib, stat, sys
record = pathlib.Path(sys.argv[0]).resolve().parent / "record"
record.mkdir(exist_ok=True)
def session(pid):
    return (pathlib.Path("/proc") / str(pid) / "stat").read_text().rsplit(")", 1)[1].split()[3]
mine = session(os.getpid())
with open(record / "processes", "ab") as out:
    for entry in pathlib.Path("/proc").iterdir():
        try:
            if entry.name.isdigit() and session(entry.name) == mine:
                out.write((entry / "cmdline").read_bytes() + b"\\n" + (entry / "environ").read_bytes() + b"\\n")
        except OSError:
            pass
arguments = sys.argv[1:]
if "-readpass" in arguments:
    source = arguments[arguments.index("-readpass") + 1]
    kind = "pipe" if stat.S_ISFIFO(os.stat(source).st_mode) else "regular file" if os.path.isfile(source) else "other"
    (record / "readpass").write_text(kind)
os.execv("/usr/bin/osslsigncode", ["osslsigncode", *arguments])
"""


@pytest.fixture(scope="module")
def token(tmp_path_factory):
    # A PIN of its own for every run, so that finding it anywhere can only mean it leaked there.
    return softhsm.Token(tmp_path_factory.mktemp("token"), PKI_DIR, pin=f"pin-{secrets.token_hex(8)}")


@pytest.fixture(scope="module")
def token_release(token, tmp_path_factory):
    """A whole release built and signed through the token, the PIN read from standard input; with what the
    recorder saw and the directory the command was given for its temporary files."""
    recorder = tmp_path_factory.mktemp("recorder")
    (recorder / "osslsigncode").write_text(RECORDER)
    (recorder / "osslsigncode").chmod(0o755)
    scratch = tmp_path_factory.mktemp("scratch")
    env = token.env(PATH=f"{recorder}:{os.environ['PATH']}", TMPDIR=str(scratch))
    release = make_release(tmp_path_factory.mktemp("release-token"), "--pkcs11-module", softhsm.MODULE,
                           "--pkcs11-key", token.uri, "--cert", token.chain, "--pin-file", "-",
                           input=token.pin + "\n", env=env, start_new_session=True)
    return release, recorder / "record", scratch


def test_a_release_signed_in_the_token_is_trusted_and_its_papers_name_the_signed_file(token_release, token):
    release, _, _ = token_release
    verified = subprocess.run(["osslsigncode", "verify", "-in", str(release.exe), "-CAfile", str(PKI_DIR / "root.crt")],
                              capture_output=True, text=True)
    assert verified.returncode == 0 and "Signature verification: ok" in verified.stdout, verified.stdout
    assert trust(release.exe) == (0, "0x00000000")

    assert "Signed:  Authenticode, SHA-256\n" in release.output
    assert f"Key:     {token.uri} (in its token, through {softhsm.MODULE})\n" in release.output
    sums = (release.directory / "SHA256SUMS").read_text().splitlines()
    assert sums == [f"{sha256(release.directory / file)}  {file}" for file in SHIPPED]
    bom = json.loads((release.directory / BOM).read_text(encoding="utf-8"))
    assert bom["metadata"]["component"]["hashes"] == [{"alg": "SHA-256", "content": sha256(release.exe)}]
    signing = [t for t in bom["metadata"]["tools"]["components"] if t["name"] == "osslsigncode"]
    assert [t["description"] for t in signing] == ["Authenticode signing"]
    assert valid_cyclonedx(release.directory / BOM)


def test_the_pin_shows_on_no_command_line_and_in_no_environment_output_or_file(token_release, token):
    release, record, scratch = token_release
    processes = (record / "processes").read_bytes()
    # The recorder saw the release command itself, so it looked where a PIN on a command line would be.
    assert b"scripts/release" in processes and b"--pin-file" in processes
    assert token.pin.encode() not in processes
    assert (record / "readpass").read_text() == "pipe"
    assert token.pin not in release.output
    for directory in (release.directory, scratch):
        for path in directory.rglob("*"):
            if path.is_file():
                assert token.pin.encode() not in path.read_bytes(), path


def snapshot(directory, leave_out=()):
    """Every name in the directory, hidden ones included, with the bytes of each file."""
    return {path.relative_to(directory).as_posix(): path.read_bytes() if path.is_file() else None
            for path in sorted(directory.rglob("*")) if path.relative_to(directory).parts[0] not in leave_out}


def unsigned_copy(releases, directory):
    directory.mkdir()
    for file in SHIPPED + ["SHA256SUMS"]:
        shutil.copy(releases["unsigned"].directory / file, directory)
    return directory


def test_every_failure_of_the_token_ends_in_one_line_with_the_release_as_it_was(releases, token, tmp_path):
    pin_file, wrong_pin = tmp_path / "pin", tmp_path / "wrong-pin"
    pin_file.write_text(token.pin + "\n")
    wrong_pin.write_text("123456\n")
    not_a_module = tmp_path / "not-a-module.so"
    not_a_module.write_text("a text file, not a library\n" * 100)
    other_chain = tmp_path / "company-chain.pem"
    other_chain.write_bytes((PKI_DIR / "company.crt").read_bytes() + (PKI_DIR / "root.crt").read_bytes())
    absent_key = token.uri.replace(f"object={token.key}", "object=no-such-key")
    spy_log = tmp_path / "spy.log"

    # name: (module, key URI, certificate, PIN file, environment, the one line)
    cases = {
        "wrong PIN": (softhsm.SPY_MODULE, token.uri, token.chain, wrong_pin,
                      token.env(PKCS11SPY=softhsm.MODULE, PKCS11SPY_OUTPUT=str(spy_log)),
                      "release: the token refused the PIN; it was offered once and not again, since a token locks "
                      "itself after a few wrong PINs"),
        "key URI that names nothing": (softhsm.MODULE, absent_key, token.chain, pin_file, token.env(),
                                       f"release: the token holds no private key that {absent_key} names"),
        "certificate of another key": (softhsm.MODULE, token.uri, other_chain, pin_file, token.env(),
                                       f"release: the certificate {other_chain} does not belong to the key {token.uri}"),
        "module that is no library": (not_a_module, token.uri, token.chain, pin_file, token.env(),
                                      f"release: the PKCS#11 module {not_a_module} does not load: invalid ELF header"),
        "module that is not there": (tmp_path / "gone.so", token.uri, token.chain, pin_file, token.env(),
                                     f"release: the PKCS#11 module {tmp_path / 'gone.so'} does not load: cannot "
                                     "open shared object file: No such file or directory"),
        "token pulled out": (softhsm.MODULE, token.uri, token.chain, pin_file, token.env(token.empty_store()),
                             f"release: no token that {token.uri} names is there: plug it in, or check the URI's "
                             "token label"),
    }
    for name, (module, key, certificate, pin, env, line) in cases.items():
        directory = unsigned_copy(releases, tmp_path / name.replace(" ", "-"))
        before = snapshot(directory)
        result = run_release(directory, "--sign-only", "--pkcs11-module", module, "--pkcs11-key", key,
                             "--cert", certificate, "--pin-file", pin, env=env)
        assert result.returncode == 2, (name, result.stdout, result.stderr)
        assert result.stderr.splitlines() == [line], name
        assert snapshot(directory) == before, name

    # A token locks itself after a few wrong PINs: the wrong one was offered to it once.
    logins = [line for line in spy_log.read_text(errors="replace").splitlines() if line.endswith(": C_Login")]
    assert len(logins) == 1, logins


def test_a_whole_release_that_fails_at_the_token_leaves_the_earlier_release_in_place(releases, token, tmp_path):
    wrong_pin = tmp_path / "wrong-pin"
    wrong_pin.write_text("123456\n")
    directory = unsigned_copy(releases, tmp_path / "release")
    before = snapshot(directory)
    result = run_release(directory, "--pkcs11-module", softhsm.MODULE, "--pkcs11-key", token.uri,
                         "--cert", token.chain, "--pin-file", wrong_pin, env=token.env())
    assert result.returncode == 2
    assert result.stderr.splitlines() == [
        "release: the token refused the PIN; it was offered once and not again, since a token locks itself after a "
        "few wrong PINs"]
    # The build itself happened (in its own subdirectory); what ships is untouched.
    assert (directory / "build" / RELEASE_EXE).is_file()
    assert snapshot(directory, leave_out={"build"}) == before


def test_the_pin_never_travels_in_the_key_uri(token, tmp_path):
    directory = tmp_path / "release"
    result = run_release(directory, "--sign-only", "--pkcs11-module", softhsm.MODULE,
                         "--pkcs11-key", f"{token.uri};pin-value={token.pin}", "--cert", token.chain,
                         "--pin-file", "-", input=token.pin, env=token.env())
    assert result.returncode == 2
    assert result.stderr.splitlines() == [
        "release: the key URI must not carry the PIN: leave pin-value out and give the PIN with --pin-file"]


def test_a_traced_release_command_never_traces_the_pin(releases, token, tmp_path):
    """Run with bash -x, or with xtrace inherited through SHELLOPTS, the command traces itself, but not the
    lines that handle the PIN; it signs all the same, from a file and from standard input."""
    pin_file = tmp_path / "pin"
    pin_file.write_text(token.pin + "\n")
    cases = {
        "bash -x, the PIN from a file": (["bash", "-x", str(RELEASE_SCRIPT)], {}, ["--pin-file", pin_file], None),
        "SHELLOPTS=xtrace, the PIN from standard input": ([str(RELEASE_SCRIPT)], {"SHELLOPTS": "xtrace"},
                                                          ["--pin-file", "-"], token.pin + "\n"),
    }
    for index, (name, (command, extra, pin_options, stdin)) in enumerate(cases.items()):
        directory = unsigned_copy(releases, tmp_path / f"release-{index}")
        result = subprocess.run([*command, "--out", str(directory), "--sign-only", "--pkcs11-module", softhsm.MODULE,
                                 "--pkcs11-key", token.uri, "--cert", str(token.chain), *map(str, pin_options)],
                                cwd="/", input=stdin, stdin=None if stdin else subprocess.DEVNULL, capture_output=True,
                                encoding="utf-8", errors="replace", env=token.env(**extra), timeout=600)
        assert result.returncode == 0, (name, result.stderr[-2000:])
        # Traced before the PIN was read and after it was offered.
        assert "+ read_pin" in result.stderr and "+ mv -f" in result.stderr, name
        assert token.pin not in result.stdout + result.stderr, name
