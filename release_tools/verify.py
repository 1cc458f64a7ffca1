"""verify-release.sh: proves that a released program is exactly what this
source builds, plus at most one intact signature."""

import os
import sys

if __name__ == "__main__":  # run as a script, under -I: its package is not on sys.path
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.realpath(__file__))))

import argparse
import hashlib
import shutil
from pathlib import Path

from release_tools import building, cli, inputs, processes, revocation, signature, trust
from release_tools.text import say, shown, visible
from release_tools.verdicts import CannotCheck, Refused

USAGE_LINE = "usage: verify-release.sh [--ca ROOTS.pem] [--tsa-ca ROOTS.pem] [--crl CRL]... [--] FILE"
USAGE = USAGE_LINE + """

Proves that FILE is exactly the program this commit builds, plus at most one
intact Authenticode signature, offline. The program is built afresh from the
committed tree; FILE is read once, and those bytes are what is checked.
  --ca ROOTS.pem      the signer's chain must lead to a root in this file
                      (PEM or DER), and FILE must be signed; without it, a
                      signed FILE's chain must lead to one of this system's
                      trusted roots
  --tsa-ca ROOTS.pem  the roots (PEM or DER) a timestamp's authority must
                      lead to
                      (default: this system's trusted roots)
  --crl CRL           a revocation list (PEM or DER) for the signer's chain
                      and the authority's; may be given more than once
Paths are taken relative to the folder the command is started from.
Exits 0 when proven, 1 when refused (one REFUSED [check]: line names the
check and says what differs), 2 when it could not check."""

# Far more than the program can ever be: a larger file is not read whole.
LARGEST = 16 << 20


class _Arguments(argparse.ArgumentParser):
    """argparse, its errors the command's own "cannot check" line, naming
    the argument at fault, then the usage line."""

    def error(self, message):
        raise CannotCheck("usage", f"{message}; {USAGE_LINE}")


def parse(argv):
    """(FILE, --ca, --tsa-ca, the --crl files), each an absolute path (or None)."""
    parser = _Arguments(prog="verify-release.sh", add_help=False, allow_abbrev=False)
    parser.add_argument("--ca", type=_path)
    parser.add_argument("--tsa-ca", type=_path)
    parser.add_argument("--crl", type=_path, action="append", default=[])
    parser.add_argument("file", type=_path, metavar="FILE")
    given = parser.parse_args(argv)
    return given.file, given.ca, given.tsa_ca, given.crl


def _path(text):
    return Path(os.path.realpath(text))


def explain(file, build):
    """What a BUILDINFO beside FILE says that differs from this build: another
    commit or other tool versions; said on a refusal and on an OK alike."""
    fields = building.read_build_info(file.parent / "BUILDINFO")
    said = ""
    commit = fields.get("commit")
    if commit and commit != build.commit:
        said += f"; the BUILDINFO beside it names commit {commit}"
    differences = building.build_info_differences(fields)
    if differences:
        said += f"; the BUILDINFO beside it names other versions of: {differences}"
    return said


def verify(argv, out):
    """Reads every input once, then checks FILE (check()) with the parsed
    roots and lists; returns the OK line."""
    file, roots_path, tsa_path, crl_paths = parse(argv)
    # Files only: a FIFO that no one writes to would hold the check up for ever.
    for given in (file, roots_path, tsa_path, *crl_paths):
        if given is not None and not inputs.readable(given):
            raise CannotCheck("input.readable", f"{shown(given)} is not a file that can be read")
    # FILE is read once: what is proven is about these bytes, which the digest names.
    try:
        with open(file, "rb") as opened:
            data = opened.read(LARGEST + 1)
    except OSError:
        raise CannotCheck("input.readable", f"{shown(file)} is not a file that can be read") from None
    roots = inputs.roots(roots_path) if roots_path is not None else None
    system = inputs.system_roots()
    tsa_roots = inputs.roots(tsa_path) if tsa_path is not None else system
    lists = inputs.revocation_lists(crl_paths)
    # Tools are installed only by the entry script, as root; elsewhere a missing one is named.
    for tool in (*building.TOOLS, "openssl"):
        if shutil.which(tool, path=processes.SYSTEM_PATH) is None:
            raise CannotCheck("setup.tool", f"{tool} is missing; install it with: sudo bash scripts/setup.sh release")

    root = cli.PROJECT_ROOT
    try:
        with building.locked(root, shared=True):
            work = cli.temporary_folder("verify-release.")
            processes.remove_on_signal(work)
            processes.end_on_signals()
            try:
                return check(file, data, roots, system, tsa_roots, lists, work, out)
            finally:
                shutil.rmtree(work, ignore_errors=True)
    except building.Busy:
        raise CannotCheck("setup.busy", f"a release is running in {shown(root)}; try again when it has ended") from None


def check(file, data, roots, system, tsa_roots, lists, work, out):
    """Returns the OK line, having said the facts that led to it through OUT;
    raises Refused or CannotCheck. DATA is FILE's bytes, ROOTS are --ca's (or None), SYSTEM this
    system's (none when it has no roots file), TSA_ROOTS those a timestamp's
    authority must lead to, LISTS the revocation lists given: all read already."""
    building.check_buildable(work)
    if len(data) > LARGEST:
        raise Refused("image.size", f"it is larger than {LARGEST >> 20} MiB, and the program is a few KiB")
    out(f"  SHA-256: {hashlib.sha256(data).hexdigest()}")
    # The steps, cheapest first, each refusing by its own check's id:
    #  1. the image and the strict reading of every byte nobody signed, the signer's
    #     signature and digest, the token and its authority's chain (read_signature);
    #  2. who signed it: the signer's chain to --ca, or to this system's roots;
    #  3. revocation, by the lists given;
    #  4. the build, and the round trip of the signature with it.
    try:
        found = signature.read_signature(data, tsa_roots)
    except trust.Untrusted as refusal:
        if refusal.check == "tsa-chain.root":
            raise Refused(refusal.check, f"{refusal}; pass --tsa-ca with the authority's root, when it is not"
                          " among this system's") from None
        raise
    if found is None and roots is not None:
        raise Refused("signature.asked-for", "it carries no signature, and --ca asks for one under the roots given")
    signed = ""
    if found is not None:
        out(f"  Signed with Authenticode by: {found.signer_subject}")
        chain_roots = decide_chain(found, roots, system, out)
        signed = f', signed by "{found.signer_subject}" (chain checked to {chain_roots}), '
        if found.timestamp_authority is not None:
            out(f"  Timestamped by: {found.timestamp_authority}, its authority leading to a root in {tsa_roots.where}")
            signed += (f"timestamped {found.timestamp_time:%Y-%m-%d %H:%M:%S} UTC by"
                       f' "{found.timestamp_authority}"')
        else:
            signed += "not timestamped"
    if lists:
        revocation.check(found, (roots or system).certificates,
                         tsa_roots.certificates if found and found.timestamp_carried else [], lists)

    (work / "build").mkdir()
    build = building.build_afresh(cli.PROJECT_ROOT, work / "build")
    out(f"  Built from {build.describe()}.")
    built = build.program.read_bytes()
    if found is None:
        if data != built:
            raise Refused("build.same-bytes", f"it carries no signature that can be read, and is not the build "
                          f"({signature.first_difference(data, built)}; {len(data)} bytes, the build has {len(built)})"
                          f"{explain(file, build)}")
        return f"OK: {shown(file)} is the unsigned build of commit {build.commit}{explain(file, build)}"
    try:
        signature.compare_with_build(data, built, found)
    except Refused as refusal:
        raise Refused(refusal.check, f"{refusal}{explain(file, build)}") from None
    return f"OK: {shown(file)} is the build of commit {build.commit}{signed}{explain(file, build)}"


def decide_chain(found, roots, system, out):
    """Who signed it: the chain must lead to a root in --ca (ROOTS), or
    without it to one this system trusts (SYSTEM), as Windows asks of its own
    store; a name alone proves nothing, as anyone can make a certificate that
    says any name. Returns the roots it was checked to, as the OK line names them."""
    if roots is not None:
        out(f"  Its certificate chain {trust.signer_chain(found, roots)} in {roots.where}.")
        return roots.where
    if not system.certificates:
        raise CannotCheck("chain.system-roots", f"this system has no trusted roots ({inputs.SYSTEM_ROOTS}) to check"
                          " the signer's chain against; pass --ca with the publisher's root")
    try:
        out(f"  Its certificate chain {trust.signer_chain(found, system)} among this system's trusted roots.")
        return "this system's trusted roots"
    except trust.Untrusted as refusal:
        if refusal.rootless:
            raise Refused("chain.trusted-root", "its chain leads to no root this system trusts; pass --ca with the"
                          f" publisher's root (its certificate chain {refusal.chain})") from None
        raise Refused(refusal.check, f"against this system's trusted roots, its certificate chain {refusal.chain}") from None


def main(argv):
    """Decides, then says: the facts found, and last the one verdict line.
    Nothing is printed before the verdict is known, so that no line of a
    run cut short can be taken for the end of it."""
    if argv in (["--help"], ["-h"]):
        print(USAGE)
        return 0
    shown_file = shown(os.path.realpath(argv[-1])) if argv else ""
    facts = []
    try:
        verdict, status, stream = verify(argv, facts.append), 0, sys.stdout
    except (CannotCheck, building.BuildError, cli.CannotRun) as error:
        reason = str(error)
        if type(error) is building.BuildError:
            reason = f"the program could not be built ({error})"
        verdict, status, stream = f"verify-release.sh: cannot check: {visible(reason)}", 2, sys.stderr
    except Refused as error:
        verdict, status, stream = f"REFUSED [{error.check}]: {shown_file}: {visible(error)}", 1, sys.stderr
    for fact in facts:
        say(fact)
    sys.stdout.flush()
    say(verdict, stream)
    return status


def cannot(reason):
    sys.stdout.flush()
    say(f"verify-release.sh: cannot check: {visible(reason)}", sys.stderr)
    return 2


if __name__ == "__main__":
    cli.run_main(lambda: main(sys.argv[1:]), cannot)
