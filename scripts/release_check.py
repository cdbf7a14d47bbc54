#!/usr/bin/python3
"""Whether an exe is a given build of the bootstrapper plus one Authenticode signature and nothing else.

  release_check.py adopt RELEASE_EXE SIGNED --expect-signer ORG [--ca FILE] [--shown-as NAME]
        SIGNED is RELEASE_EXE with one valid signature by ORG under the trust anchors of FILE (this
        machine's CA certificates by default), and nothing else; prints the signer, its issuer and the
        time stamp (exit 1: one line saying what differs)
  release_check.py signature PUBLISHED [--ca FILE] [--expect-signer ORG]
        a published file is a PE image whose signature, if any, stands alone, matches its content and
        holds under the trust anchors (and names ORG); prints what it checked, then the signer
  release_check.py compare PUBLISHED REBUILT [--setting NAME=VALUE ...]
        PUBLISHED is REBUILT plus a signature (exit 1: what differs)
  release_check.py toolchain BOM
        this machine's Debian packages against those the bill of materials names; one line per difference

Exit status 2, with one line on standard error, when the check itself could not be made.
"""
import argparse
import pathlib
import subprocess
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

import authenticode  # noqa: E402
from pe_image import Image, Refusal, difference  # noqa: E402
from toolchain import toolchain  # noqa: E402


def signed_image(path, shown_as=None):
    image = Image(path)
    if shown_as:
        image.name = shown_as
    return image, authenticode.read_signature(image)


def matches_digest(image, signature):
    if image.authenticode_digest(signature.algorithm) != signature.digest:
        raise Refusal(f"changed bytes: {image.name} was changed after it was signed (its content no longer matches "
                      "its own signature)")


def adopt(release_exe, signed, expected_signer, ca_file, shown_as):
    release = Image(release_exe)
    candidate, signature = signed_image(signed, shown_as)
    if signature is None:
        raise Refusal(f"unsigned: {candidate.name} carries no Authenticode signature")
    matches_digest(candidate, signature)
    if release.authenticode_digest(signature.algorithm) != signature.digest:
        _, details = difference(candidate, release)
        raise Refusal(f"another build: {details.replace('this build', 'this release')}")
    lines, _ = authenticode.judge(candidate, signature, ca_file, expected_signer)
    print("\n".join(lines))


def signature(published, expected_signer, ca_file):
    image, found = signed_image(published)
    if found is None:
        print("unsigned")
        return
    matches_digest(image, found)
    lines, checked = authenticode.judge(image, found, ca_file, expected_signer)
    print(", ".join(checked))
    print("\n".join(lines))


def compare(published, rebuilt, settings):
    published, rebuilt = Image(published), Image(rebuilt)
    if published.normalised_content() != rebuilt.normalised_content():
        kind, details = difference(published, rebuilt, settings)
        hint = {"another payload": " (give the app it was built with: --payload)",
                "another setting": " (give the setting it was built with: -DNAME=VALUE)"}.get(kind, "")
        raise Refusal(f"{kind}: {details}{hint}")
    print("the same bytes")


def arguments(argv):
    parser = argparse.ArgumentParser(prog="release_check.py", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    command = commands.add_parser("adopt")
    command.add_argument("release_exe")
    command.add_argument("signed")
    command.add_argument("--expect-signer", required=True)
    command.add_argument("--ca", default=str(authenticode.SYSTEM_CA))
    command.add_argument("--shown-as")
    command = commands.add_parser("signature")
    command.add_argument("published")
    command.add_argument("--expect-signer")
    command.add_argument("--ca", default=str(authenticode.SYSTEM_CA))
    command = commands.add_parser("compare")
    command.add_argument("published")
    command.add_argument("rebuilt")
    command.add_argument("--setting", action="append", default=[])
    command = commands.add_parser("toolchain")
    command.add_argument("bom")
    return parser.parse_args(argv)


def main(argv):
    args = arguments(argv[1:])
    try:
        if args.command == "adopt":
            adopt(args.release_exe, args.signed, args.expect_signer, args.ca, args.shown_as)
        elif args.command == "signature":
            signature(args.published, args.expect_signer, args.ca)
        elif args.command == "compare":
            compare(args.published, args.rebuilt, args.setting)
        else:
            differences, count = toolchain(args.bom)
            print("\n".join(differences) or f"the same {count} Debian packages as the published bill of materials")
            return 1 if differences else 0
    except Refusal as refusal:
        print(refusal)
        return 1
    except (OSError, UnicodeError, ValueError, LookupError, AttributeError, TypeError,
            subprocess.SubprocessError) as failure:
        # A check that could not be made is no verdict on the file; one line says why.
        print(f"could not check: {failure}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
