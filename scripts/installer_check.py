#!/usr/bin/python3
"""Checks the runtime installer a build will accept before the release is built: the file on the
configured host (or a copy downloaded by hand) must hash to the build's SHA-512 and carry a valid
Authenticode signature whose signer's organization is "Microsoft Corporation", as the exe checks it on
the user's PC. A wrong digest in the build would otherwise be found only by every user whose download
it refuses.

  installer_check.py BUILD_DIR [--file FILE] [--trust-root PEM]

BUILD_DIR is a configured build (its corvane-release.env names host, path and digest). Without --file the
installer is downloaded over HTTPS from the configured host, trusting this machine's CA certificates, into
a temporary file that is removed afterwards. --trust-root adds a root certificate (PEM) to those the
signature and the HTTPS connection may chain to. Exit status 0 with one line saying what was checked, or
1 with one line saying which check failed and what was found.
"""
import argparse
import hashlib
import pathlib
import re
import shutil
import ssl
import subprocess
import sys
import tempfile
import urllib.error
import urllib.request

import release_constants
from authenticode import organization_matches, osslsigncode_options

SYSTEM_CA = pathlib.Path("/etc/ssl/certs/ca-certificates.crt")
# The exe's own bound on the body (it refuses anything larger).
MAX_DOWNLOAD_SIZE = 134217728
TIMEOUT_SECONDS = 30
ORGANIZATION = "Microsoft Corporation"


class Refused(Exception):
    """One line for the user: which check failed and what was found."""


class _HttpsOnly(urllib.request.HTTPRedirectHandler):
    """Redirects are followed while they stay on HTTPS, as the exe follows them."""

    def redirect_request(self, request, fp, code, message, headers, new_url):
        if not new_url.lower().startswith("https://"):
            raise Refused(f"the download of {request.full_url} was redirected away from HTTPS, to {new_url}")
        return super().redirect_request(request, fp, code, message, headers, new_url)


def download(url, target, trust_root):
    context = ssl.create_default_context()
    if trust_root:
        context.load_verify_locations(cafile=str(trust_root))
    opener = urllib.request.build_opener(urllib.request.HTTPSHandler(context=context), _HttpsOnly)
    try:
        with opener.open(url, timeout=TIMEOUT_SECONDS) as response, open(target, "wb") as stream:
            if response.status != 200:
                raise Refused(f"{url} answered {response.status}, not 200")
            received = 0
            while block := response.read(1 << 16):
                received += len(block)
                if received > MAX_DOWNLOAD_SIZE:
                    raise Refused(f"{url} sent more than {MAX_DOWNLOAD_SIZE} bytes, more than the exe accepts")
                stream.write(block)
    except urllib.error.HTTPError as error:
        raise Refused(f"{url} answered {error.code} {error.reason}, not 200") from None
    except urllib.error.URLError as error:
        raise Refused(f"could not download {url}: {error.reason}") from None
    except (OSError, ssl.SSLError) as error:
        raise Refused(f"could not download {url}: {error}") from None


def sha512(path):
    digest = hashlib.sha512()
    with open(path, "rb") as stream:
        for block in iter(lambda: stream.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def signer_organization(report):
    """The O= of the first signer of the primary signature, from osslsigncode's report."""
    # osslsigncode 2.9 underlines the heading; Debian 12's 2.5 does not.
    match = re.search(r"Signer's certificate:\s*(?:-+\s*)?Signer #0:\s*Subject: ([^\n]*)", report)
    if not match:
        return None
    for part in re.split(r"/(?=[A-Za-z.0-9]+=)", match.group(1)):
        if part.startswith("O="):
            return part[2:].strip()
    return ""


def check_signature(path, trust_root, work):
    """osslsigncode checks the embedded signature, the file's digest against it and the chain to the CA
    file; like the exe, no revocation list is fetched."""
    anchors = work / "anchors.pem"
    with open(anchors, "wb") as stream:
        for source in (SYSTEM_CA, trust_root):
            if source:
                stream.write(pathlib.Path(source).read_bytes() + b"\n")
    result = subprocess.run(["osslsigncode", "verify", "-in", str(path), "-CAfile", str(anchors),
                             "-TSA-CAfile", str(anchors), *osslsigncode_options()],
                            capture_output=True, text=True, stdin=subprocess.DEVNULL)
    report = result.stdout + result.stderr
    verified = result.returncode == 0 and re.search(r"^Succeeded$", report, re.MULTILINE)
    if not verified:
        if "Unable to extract existing signature" in report or "No signature found" in report:
            raise Refused("the installer carries no Authenticode signature")
        # The file's digest, not the PE checksum, which osslsigncode 2.5 also reports as a mismatch.
        if re.search(r"^Calculated message digest\s*:.*MISMATCH", report, re.MULTILINE):
            raise Refused("the installer's content does not match its Authenticode signature (changed after signing)")
        # OpenSSL's own words for a chain that ends nowhere trusted, an expired certificate and the like:
        # osslsigncode 2.9 gives them a line of their own, 2.5 only at the end of OpenSSL's error line.
        reason = next((line.strip().removeprefix("Error: ") for line in report.splitlines()
                       if line.strip().startswith("Error: ")), None)
        if not reason:
            chain = re.search(r"^[0-9A-F]+:error:.*:Verify error: ?(.+)$", report, re.MULTILINE)
            reason = chain.group(1).strip() if chain else None
        if reason:
            raise Refused(f"the installer's signature does not chain to a root this machine trusts: {reason}")
        raise Refused(f"the installer's Authenticode signature does not verify (osslsigncode: "
                      f"{report.strip().splitlines()[-1] if report.strip() else result.returncode})")
    organization = signer_organization(report)
    if organization is None:
        raise Refused("the installer's signer could not be read from its signature")
    if not organization_matches(organization, ORGANIZATION):
        raise Refused(f"the installer is signed by {organization or 'a certificate without an organization'!r}, "
                      f"not by {ORGANIZATION}")


def check(build_dir, file=None, trust_root=None):
    constants = release_constants.read(build_dir)
    expected = constants["CORVANE_INSTALLER_SHA512"]
    work = pathlib.Path(tempfile.mkdtemp(prefix="corvane-installer-check-"))
    try:
        if file:
            path, origin = pathlib.Path(file), str(file)
            if not path.is_file():
                raise Refused(f"no such file: {file}")
        else:
            origin = "https://" + constants["CORVANE_DOWNLOAD_HOST"] + constants["CORVANE_INSTALLER_PATH"]
            path = work / pathlib.PurePosixPath(constants["CORVANE_INSTALLER_PATH"]).name
            download(origin, path, trust_root)
        found = sha512(path)
        if found != expected:
            raise Refused(f"the installer's SHA-512 is {found}, not the build's {expected} "
                          f"(CORVANE_INSTALLER_SHA512 for {constants['CORVANE_RUNTIME_VERSION']})")
        check_signature(path, trust_root, work)
        return (f"{origin}: SHA-512 as the build's, signed by {ORGANIZATION} "
                f"(Windows Desktop Runtime {constants['CORVANE_RUNTIME_VERSION']})")
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build_dir")
    parser.add_argument("--file")
    parser.add_argument("--trust-root")
    arguments = parser.parse_args()
    try:
        print(check(arguments.build_dir, arguments.file, arguments.trust_root))
    except Refused as refusal:
        print(refusal, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
