"""release.sh: builds the uninstaller afresh from the committed tree and
releases it into dist/: the program, BUILDINFO and SHA256SUMS over both."""

import os
import sys

if __name__ == "__main__":  # run as a script, under -I: its package is not on sys.path
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.realpath(__file__))))

import hashlib
import shutil
import stat
import tempfile
from pathlib import Path

from release_tools import building, cli, inputs, processes, signature, signing, trust
from release_tools import text
from release_tools.text import shown
from release_tools.verdicts import CannotCheck, Refused

USAGE = """\
usage: release.sh

Builds the committed tree afresh and releases it into dist/ (or DIST_DIR):
SorrelvaneUninstall.exe, BUILDINFO (what it was built from and with) and
SHA256SUMS over both. Signing is optional; the settings, from the environment:
  SIGN_CERT + SIGN_KEY  the signer's certificate then its intermediates (PEM;
                        DER for the certificate alone),
                        and its key: a PEM file, or a pkcs11: URI naming it in
                        a token, with SIGN_PKCS11_MODULE naming the token's
                        PKCS#11 module
  SIGN_PKCS12           instead of those two, a .pfx/.p12 holding key and chain
  SIGN_PASS_FILE        a file whose first line is the key's password or the
                        token's PIN, read once (a pipe works)
  SIGN_TIMESTAMP_URL    an RFC 3161 timestamp authority
  SIGN_CA               roots (PEM or DER) that the signature's chain must
                        lead to
  SIGN_TSA_CA           roots (PEM or DER) that the timestamp's authority must
                        lead to (default: this system's trusted roots)
  RELEASE_SIGNER_CHECK_TIME_LIMIT  seconds that reading the key before the
                        build may take, a token's login included (default 60)
  DIST_DIR              where to release (default: the checkout's dist/)
Paths are taken relative to the folder the command is started from.
Exits 0 when released, 1 when nothing was, and 2 when the checkout or DIST_DIR
is busy or the release cannot run here."""

PROGRAM = building.PROGRAM_NAME
# A release is staged in a folder of this name inside DIST_DIR, and gone once it is done.
STAGING_PREFIX = ".release-staging."
RELEASE_FILES = (PROGRAM, "BUILDINFO", "SHA256SUMS")


class Failed(Exception):
    """Nothing was released; str() says why."""


def say(line):
    text.say(f"release.sh: {line}", sys.stderr)


def foreign_files(dist):
    """The names in DIST that a release does not make, shown safely, sorted
    as bytes. Whatever is in dist/ ships with it (`dist/*`), so nothing may be
    there that this release did not make; what is there is the publisher's."""
    if not os.path.isdir(dist):
        return []
    foreign = []
    for name in sorted(os.listdir(os.fsencode(dist))):
        try:
            mode = os.lstat(os.path.join(os.fsencode(dist), name)).st_mode
        except FileNotFoundError:  # gone since it was listed
            continue
        if os.fsdecode(name) not in RELEASE_FILES or not stat.S_ISREG(mode):
            foreign.append(shown(os.fsdecode(name)))
    return foreign


def roots_setting(name, environ):
    """The roots that setting NAME names, read once (inputs.Roots)."""
    path = environ[name]
    if not inputs.readable(path):
        raise Failed(f"{name} does not name a file that can be read.")
    try:
        return inputs.roots(Path(os.path.realpath(path)))
    except CannotCheck:
        raise Failed(f"{name} holds no certificate (PEM or DER).") from None


def check_after_signing(signed, build, signer, tsa_roots, roots):
    """The signed program must pass verify-release.sh's own check, carry a
    timestamp when one was asked for, and with SIGN_CA lead to one of its
    roots. Returns where the chain led (or None without SIGN_CA)."""
    data = signed.read_bytes()
    try:
        found = signature.read_signature(data, tsa_roots)
        if found is None:
            raise Refused("signature.present", "it carries no signature")
        signature.compare_with_build(data, build.program.read_bytes(), found)
    except Refused as refusal:
        hint = ""
        if refusal.check == "tsa-chain.root":
            hint = " Set SIGN_TSA_CA to the authority's root, when it is not among this system's."
        raise Failed(f"the signed program fails the check that verify-release.sh makes [{refusal.check}]:"
                     f" {refusal}.{hint}") from None
    if signer.timestamp_url and found.timestamp_authority is None:
        raise Failed("the signed program carries no timestamp, though SIGN_TIMESTAMP_URL asked for one.")
    if roots is None:
        return None
    try:
        return trust.signer_chain(found, roots)
    except trust.Untrusted as refusal:
        if refusal.other_root:
            raise Failed(f"SIGN_CA: its certificate chain {refusal.chain}: SIGN_CA holds another root than the"
                         " one the chain leads to; set SIGN_CA to the publisher's root.") from None
        if refusal.rootless:
            # The issuer missing may be the publisher's root (SIGN_CA is wrong) or an
            # intermediate (SIGN_CERT is short of it): nothing here tells which.
            raise Failed(f"SIGN_CA: its certificate chain {refusal.chain}. When that issuer is the publisher's"
                         f" root, set SIGN_CA to it; when it is an intermediate, add the missing certificate to"
                         f" {signer.certificate_setting}.") from None
        raise Failed(f"SIGN_CA: its certificate chain {refusal.chain}.") from None


def read_settings(environ):
    """The signer (or None), SIGN_CA's roots and SIGN_TSA_CA's (or None), all
    checked before anything in DIST_DIR is touched. Raises Failed or
    signing.SigningError."""
    signer = signing.read_settings(environ)
    roots = tsa_roots = None
    if environ.get("SIGN_CA"):
        if signer is None:
            raise Failed("SIGN_CA is the roots a signature must lead to, but no key to sign with is set.")
        roots = roots_setting("SIGN_CA", environ)
    if environ.get("SIGN_TSA_CA"):
        if signer is None or not signer.timestamp_url:
            raise Failed("SIGN_TSA_CA is the roots a timestamp must lead to, but SIGN_TIMESTAMP_URL is not set.")
        tsa_roots = roots_setting("SIGN_TSA_CA", environ)
    return signer, roots, tsa_roots


def own_files(dist, root):
    """Refuses a DIST_DIR that is the checkout itself, a folder above it, or
    one of the project's own folders: a release there would ship them, and
    the checkout's lock would be taken twice."""
    root = Path(os.path.realpath(root))
    if dist == root or dist in root.parents:
        raise Failed(f"DIST_DIR is {shown(dist)}, which holds this checkout; set it to a folder of its own"
                     " (by default, the checkout's dist/).")
    if root in dist.parents:
        top = dist.relative_to(root).parts[0]
        if (root / top).exists() and top not in ("dist", "build") and not top.startswith("dist"):
            tracked = processes.run(["git", "-c", f"safe.directory={root}", "-C", root, "ls-files", "--", top],
                                    timeout=60)
            if tracked.returncode != 0 or tracked.stdout:
                raise Failed(f"DIST_DIR is {shown(dist)}, among the project's own files ({shown(top)}/); set it to"
                             " a folder of its own (by default, the checkout's dist/).")


def what_dist_holds(dist):
    """The line that says what became of DIST: a release in it, or none."""
    if all(os.path.isfile(dist / name) for name in RELEASE_FILES):
        return f"the release already in {shown(dist)} is untouched."
    return f"{shown(dist)} holds no release."


def release(environ):
    root = cli.PROJECT_ROOT
    dist = Path(os.path.realpath(environ.get("DIST_DIR") or root / "dist"))
    try:
        settings = read_settings(environ)
        own_files(dist, root)
    except (Failed, signing.SigningError) as error:
        return failed(dist, str(error))
    try:
        with building.locked(root, shared=False):
            # A signal ends every tool still running and removes what this run made.
            processes.end_on_signals()
            if os.path.lexists(dist) and not os.path.isdir(dist):
                say(f"{shown(dist)} is not a folder. Nothing was changed.")
                return 1
            try:
                dist.mkdir(parents=True, exist_ok=True)
            except OSError:
                say(f"{shown(dist)} could not be made. Nothing was changed.")
                return 1
            # Two checkouts releasing into one folder must not interleave their moves.
            try:
                with building.locked(dist, shared=False):
                    return release_into(dist, *settings)
            except building.Busy:
                say(f"another release is running into {shown(dist)}; try again when it has ended.")
                return 2
    except building.Busy:
        say(f"another release or a verification is running in {shown(root)}; try again when it has ended.")
        return 2


def release_into(dist, signer, roots, tsa_roots):
    foreign = foreign_files(dist)
    if foreign:
        say(f"{shown(dist)} holds files that a release does not make: {', '.join(foreign)}. "
            "Move them away and run it again.\nNothing was changed.")
        return 1
    processes.say_on_signal(lambda: f"release.sh: interrupted. Nothing was released: {what_dist_holds(dist)}")
    work = stage = None
    try:
        # The build is made in TMPDIR; the release is staged in DIST_DIR itself, on its
        # filesystem, and takes the place of the one there only once it has passed its checks.
        # Checked before anything is built or staged, from public halves only, so
        # that what is said about an unusable key never quotes the key.
        if signer is not None:
            signing.check_signer(signer)
        work = cli.temporary_folder("release.")
        processes.remove_on_signal(work)
        building.check_buildable(work)
        stage = Path(tempfile.mkdtemp(prefix=STAGING_PREFIX, dir=dist))
        processes.remove_on_signal(stage)
        (work / "build").mkdir()
        build = building.build_afresh(cli.PROJECT_ROOT, work / "build")
        chain_outcome = None
        if signer is not None:
            signing.sign(signer, build.program, stage / PROGRAM)
            chain_outcome = check_after_signing(stage / PROGRAM, build, signer,
                                                tsa_roots or inputs.system_roots(), roots)
        else:
            shutil.copy2(build.program, stage / PROGRAM)
        info = building.build_info(build)
        (stage / "BUILDINFO").write_bytes(info)
        program = (stage / PROGRAM).read_bytes()
        digest = hashlib.sha256(program).hexdigest()
        (stage / "SHA256SUMS").write_text(f"{digest}  {PROGRAM}\n{hashlib.sha256(info).hexdigest()}  BUILDINFO\n")

        # All three or none: no signal may cut the moves short.
        processes.ignore_signals()
        foreign = [name for name in foreign_files(dist) if name != stage.name]
        if foreign:
            raise Failed(f"files that a release does not make appeared in it while it was made: {', '.join(foreign)}. "
                         "Move them away and run it again.")
        for name in RELEASE_FILES:
            os.replace(stage / name, dist / name)
    except building.UnbuildablePath as error:
        say(f"cannot release here: {error}.")
        return 2
    except cli.CannotRun as error:
        say(f"cannot release here: {error}.")
        return 2
    except (Failed, signing.SigningError) as error:
        return failed(dist, str(error))
    except building.BuildError as error:
        return failed(dist, f"the program could not be built: {error}.")
    except OSError as error:
        return failed(dist, f"{cli.os_error(error)}.")
    finally:
        for folder in (work, stage):
            if folder is not None:
                shutil.rmtree(folder, ignore_errors=True)

    text.say(f"Released: {shown(dist / PROGRAM)} (built from {build.describe()})")
    text.say(f"Build record: {shown(dist / 'BUILDINFO')}")
    text.say(f"Checksums: {shown(dist / 'SHA256SUMS')}")
    text.say(f"SHA-256: {digest}")
    if signer is not None:
        text.say(f"Signed with Authenticode (SHA-256) by: {signer.subject}"
                 f"{', timestamped' if signer.timestamp_url else ''}")
        chain_said = f", and its chain {chain_outcome} in {roots.where}" if roots else ""
        text.say(f"    It is the build plus one intact signature{chain_said}.")
        if roots is None:
            text.say("    Its chain was not checked: SIGN_CA is not set. Downloaders will pass the publisher's root"
                     " to verify-release.sh --ca; set SIGN_CA to that root to have the chain checked before release.")
    else:
        text.say("Not signed: SIGN_CERT and SIGN_KEY, or SIGN_PKCS12, are not set.")
    return 0


def failed(dist, reason):
    say(f"{reason}\nNothing was released: {what_dist_holds(dist)}")
    return 1


def main(argv, environ):
    if argv in (["--help"], ["-h"]):
        print(USAGE)
        return 0
    if argv:
        say(f"takes no arguments, and was given {shown(argv[0])}: its settings come from the environment"
            f" (SIGN_CERT=... bash scripts/release.sh); --help lists them.")
        return 2
    return release(environ)


if __name__ == "__main__":
    cli.run_main(lambda: main(sys.argv[1:], os.environ),
                 lambda fault: failed(Path(os.environ.get("DIST_DIR") or cli.PROJECT_ROOT / "dist"), fault))
