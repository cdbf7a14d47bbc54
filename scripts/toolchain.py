"""This machine's Debian packages against those a published bill of materials says built the file."""
import json
import pathlib
import re
import subprocess
import urllib.parse

from pe_image import Refusal


def package_versions(document):
    """Debian package name -> version of every package the bill of materials names by its purl."""
    named = {}
    if not isinstance(document, dict):
        return named
    components = list(document.get("components", []))
    tools = document.get("metadata", {}).get("tools", {})
    if isinstance(tools, dict):
        components += tools.get("components", [])
    for component in components:
        purl = component.get("purl", "") if isinstance(component, dict) else ""
        match = re.match(r"pkg:deb/[^/]+/([^@?]+)@([^?#]+)", purl if isinstance(purl, str) else "")
        if match:
            named[urllib.parse.unquote(match.group(1))] = urllib.parse.unquote(match.group(2))
    return named


def installed_version(package):
    result = subprocess.run(["dpkg-query", "-W", "-f=${Version}", package], capture_output=True, text=True)
    return result.stdout.strip() if result.returncode == 0 else None


def toolchain(bom):
    """(one line per package whose version differs, how many packages the bill names)."""
    try:
        document = json.loads(pathlib.Path(bom).read_text(encoding="utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as damaged:
        raise Refusal(f"{pathlib.Path(bom).name} is not a bill of materials ({damaged})") from None
    named = package_versions(document)
    if not named:
        raise Refusal(f"{pathlib.Path(bom).name} names no Debian package: it cannot say which tools built the file")
    differences = []
    for package, version in sorted(named.items()):
        here = installed_version(package)
        if here != version:
            differences.append(f"{package} {version} built the published file; "
                               + (f"this machine has {here}" if here else "this machine does not have it"))
    return differences, len(named)
