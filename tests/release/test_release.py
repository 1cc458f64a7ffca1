"""The release commands, end to end: what release.sh writes, that it checks
out with the usual tools, that verify-release.sh accepts it as shipped, and
that it refuses copies changed or added to; and how both fail.

Each test releases from a checkout of this commit of its own, with the
tooling under test, so that tests side by side do not wait on each other's
lock. Its path holds a space and a comma, as some publishers' do."""

import base64
import datetime
import fcntl
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unicodedata
import zlib
from pathlib import Path

import pefile
import pytest
from asn1crypto import cms
from cryptography import x509
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.serialization import Encoding

import pki as pki_module
import softhsm_token
from release_tools import building, processes

PROGRAM = "SorrelvaneUninstall.exe"
RELEASE_FILES_NAMES = (PROGRAM, "BUILDINFO", "SHA256SUMS")
SETTINGS = ("SIGN_CERT", "SIGN_KEY", "SIGN_PKCS11_MODULE", "SIGN_PKCS12", "SIGN_PASS_FILE",
            "SIGN_TIMESTAMP_URL", "SIGN_CA", "SIGN_TSA_CA", "DIST_DIR", "TMPDIR")
VERDICT_LINES = {0: "OK: ", 1: "REFUSED [", 2: "verify-release.sh: cannot check: "}


@pytest.fixture(scope="session")
def checkout(work_dir, source_dir):
    clone = work_dir / "check out, here"
    head = subprocess.run(["git", "-C", source_dir, "rev-parse", "HEAD"], capture_output=True, text=True,
                          check=True).stdout.strip()
    subprocess.run(["git", "clone", "-q", "--shared", "--no-checkout", source_dir, clone], check=True)
    subprocess.run(["git", "-C", clone, "checkout", "-q", "--detach", head], check=True)
    # The tooling as it is in the source folder, committed or not.
    for folder in ("scripts", "release_tools"):
        shutil.copytree(source_dir / folder, clone / folder, dirs_exist_ok=True,
                        ignore=shutil.ignore_patterns("__pycache__"))
    return clone


class Run:
    def __init__(self, folder, status, output):
        self.folder, self.status, self.output = folder, status, output

    def __repr__(self):
        return f"exit {self.status}:\n{self.output}"


def tool(checkout, script, folder, args=(), settings=None, pass_fds=(), timeout=170):
    """Runs SCRIPT of CHECKOUT with ARGS from FOLDER, with none of the
    settings but SETTINGS; the output is also kept in FOLDER/log."""
    folder.mkdir(parents=True, exist_ok=True)
    env = {k: v for k, v in os.environ.items() if k not in SETTINGS}
    env.update({k: str(v) for k, v in (settings or {}).items()})
    answer = subprocess.run(["bash", checkout / "scripts" / script, *args], cwd=folder, env=env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            pass_fds=pass_fds, timeout=timeout)
    output = answer.stdout.decode("utf-8", "replace")
    (folder / ("log" if script == "release.sh" else "verdict")).write_text(output)
    return Run(folder, answer.returncode, output)


def release(checkout, folder, pass_fds=(), **settings):
    """Releases from FOLDER into its dist/."""
    return tool(checkout, "release.sh", folder, settings={"DIST_DIR": "dist", **settings}, pass_fds=pass_fds)


def verdict(checkout, expected, folder, *args, check=None, **settings):
    """Expects verify-release.sh to answer with EXPECTED (exit 0, 1 or 2) and
    one line that says so (refused by the check CHECK, when given), with no
    raw OpenSSL output."""
    run = tool(checkout, "verify-release.sh", folder, args, settings)
    assert run.status == expected, run
    lines = run.output.splitlines()
    # The verdict comes last, and no other line can be taken for one.
    assert lines and lines[-1].startswith(VERDICT_LINES[expected]), run
    assert check is None or lines[-1].startswith(f"REFUSED [{check}]: "), run
    assert not any(line.startswith(("OK", "REFUSED")) for line in lines[:-1]), run
    assert not re.search(r"^[0-9A-F]+:error:|Traceback", run.output, re.M), run
    assert_nothing_raw(run.output)
    return run


def assert_nothing_raw(output):
    """No character that a terminal acts on rather than draws, but the newlines between lines."""
    raw = sorted({c for c in output if c != "\n" and unicodedata.category(c) in ("Cc", "Cf", "Cs", "Co", "Zl", "Zp")})
    assert not raw, (raw, output)


def code_offset(exe):
    pe = pefile.PE(str(exe), fast_load=True)
    return next(s.PointerToRawData for s in pe.sections if s.Name.rstrip(b"\0") == b".text") + 16


def flipped(source, copy, at):
    """A copy of SOURCE with the byte AT (negative: from the end) inverted."""
    data = bytearray(Path(source).read_bytes())
    data[at] ^= 0xFF
    Path(copy).write_bytes(data)
    return Path(copy)


def osslsigncode(*args):
    return processes.run(["osslsigncode", *args], timeout=120)


def osslsigncode_version():
    said = osslsigncode("--version").stdout.split(b"\n", 1)[0].split()
    return tuple(int(part) for part in said[1].rstrip(b",").split(b"."))


def extract_signature(signed, out):
    """SIGNED's signature as DER in OUT. As PEM first: osslsigncode 2.5's DER
    keeps the WIN_CERTIFICATE header, 2.9's does not."""
    pem = out.with_suffix(".pem")
    assert osslsigncode("extract-signature", "-pem", "-in", signed, "-out", pem).returncode == 0
    out.write_bytes(base64.b64decode(b"".join(pem.read_bytes().splitlines()[1:-1])))


def attach_signature(der, built, out):
    """DER (a signature) attached to BUILT as osslsigncode attaches it, into
    OUT. As PEM, which both 2.5 and 2.9 take; 2.5 then verifies the chain
    against the system's roots and says it failed, so OUT alone tells."""
    pem = der.with_suffix(".sigin.pem")
    pem.write_bytes(b"-----BEGIN PKCS7-----\n" + base64.encodebytes(der.read_bytes()) + b"-----END PKCS7-----\n")
    osslsigncode("attach-signature", "-sigin", pem, "-in", built, "-out", out)
    assert out.is_file(), f"osslsigncode did not attach {der}"


def check_release(folder, source_dir):
    """What holds for any release in FOLDER/dist, signed or not."""
    dist = folder / "dist"
    sums = processes.run(["sha256sum", "-c", "SHA256SUMS"], timeout=30, cwd=dist)
    assert sums.returncode == 0 and b" BUILDINFO\n" in (dist / "SHA256SUMS").read_bytes()
    head = subprocess.run(["git", "-C", source_dir, "rev-parse", "HEAD"], capture_output=True, text=True).stdout
    info = (dist / "BUILDINFO").read_text()
    assert f"commit: {head}" in info and "\ncompiler: x86_64-w64-mingw32-g++" in info, info
    assert f"Released: {dist / PROGRAM} " in (folder / "log").read_text()


def check_signed_release(run, source_dir, built_exe, pki, *verify_options):
    """The release is the build plus a signature that osslsigncode accepts up
    to the throwaway root, is as executable as the build, and neither the key
    nor its password shows in what release.sh said or in dist/."""
    dist = run.folder / "dist"
    assert run.status == 0, run
    assert "Signed with Authenticode (SHA-256) by: CN=Sorrelvane Test Publisher" in run.output, run
    check_release(run.folder, source_dir)
    # 2.9 would fetch the list the certificates name; 2.5 fetches none and knows no -ignore-crl.
    ignore_crl = ["-ignore-crl"] if osslsigncode_version() >= (2, 6) else []
    checked = osslsigncode("verify", "-CAfile", pki.root, *ignore_crl, *verify_options, "-in", dist / PROGRAM)
    assert checked.returncode == 0, checked.stdout.decode(errors="replace")
    osslsigncode("remove-signature", "-in", dist / PROGRAM, "-out", run.folder / "unsigned-again.exe")
    assert (run.folder / "unsigned-again.exe").read_bytes() == built_exe.read_bytes()
    assert (dist / PROGRAM).stat().st_mode == built_exe.stat().st_mode
    assert sorted(os.listdir(dist)) == ["BUILDINFO", "SHA256SUMS", PROGRAM]
    assert_secrets_absent(pki, run.output, *(dist / name for name in os.listdir(dist)))
    return checked


def assert_secrets_absent(pki, output, *files):
    key_lines = [line for line in pki.signer_key.read_text().splitlines() if "-----" not in line]
    for secret in [pki.password, *key_lines]:
        assert secret not in output
        assert not any(secret.encode() in Path(f).read_bytes() for f in files)


def test_unsigned(checkout, work_dir, built_exe, source_dir, pki):
    run = release(checkout, work_dir / "release")
    assert run.status == 0 and "\nNot signed" in "\n" + run.output, run
    assert (work_dir / "release/dist" / PROGRAM).read_bytes() == built_exe.read_bytes()
    check_release(run.folder, source_dir)
    head = subprocess.run(["git", "-C", source_dir, "rev-parse", "HEAD"], capture_output=True, text=True).stdout.strip()
    unsigned = verdict(checkout, 0, work_dir / "release", f"dist/{PROGRAM}")
    assert unsigned.output.splitlines()[-1] == f"OK: {work_dir / 'release/dist' / PROGRAM} is the unsigned build of commit {head}"
    # --ca asks for a signature under those roots: the unsigned build has none.
    verdict(checkout, 1, work_dir / "release", "--ca", pki.root, f"dist/{PROGRAM}", check="signature.asked-for")
    # A copy with a code byte flipped at the same relative path from another
    # folder, while the checkout's own dist/ holds the genuine release; its
    # BUILDINFO names another compiler, and another commit behind a bidi
    # isolate, and its own name holds a right-to-left override.
    dist, downloads = work_dir / "release/dist", work_dir / "downloads/dist"
    shutil.copytree(dist, checkout / "dist")
    downloads.mkdir(parents=True)
    name = "Sorrelvane\u202eexe.rcs"
    flipped(dist / PROGRAM, downloads / name, code_offset(built_exe))
    info = re.sub(r"(?m)^(package g\+\+-mingw-w64-x86-64-posix:).*", r"\1 0.0-other", (dist / "BUILDINFO").read_text())
    (downloads / "BUILDINFO").write_text(re.sub(r"(?m)^commit: ", "commit: \u2067deadbeef\u2069 ", info))
    refused = verdict(checkout, 1, work_dir / "downloads", f"dist/{name}", check="build.same-bytes")
    assert f": {downloads}/Sorrelvane\\u202eexe.rcs: " in refused.output, refused
    assert "g++-mingw-w64-x86-64-posix (there 0.0-other" in refused.output, refused
    assert "names commit \\u2067deadbeef\\u2069 " in refused.output, refused


def forgeries(work, signed, built, pki):
    """Each a way to change a signed release, and the check that must refuse it."""
    extract_signature(signed, work / "signature.der")
    blob = (work / "signature.der").read_bytes()
    value = cms.ContentInfo.load(blob)["content"]["signer_infos"][0]["signature"].native
    # A code byte flipped, as it is, and with the header checksum made the file's again.
    flipped(signed, work / "code-alone.exe", code_offset(built))
    pe = pefile.PE(str(work / "code-alone.exe"))
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    pe.write(str(work / "code.exe"))
    # A byte of the signer's signature value, and one of the timestamp's, each
    # flipped in the signature and that put on the build, checksum and all.
    for name, at in (("signature-value", blob.rindex(value) + 8), ("timestamp", -8)):
        flipped(work / "signature.der", work / f"{name}.der", at)
    # A second value of indefinite length beside the timestamp, which osslsigncode keeps.
    processes.run(["/usr/bin/python3", Path(__file__).parent / "ber_value.py", work / "signature.der",
                   work / "ber.der"], timeout=30)
    for name in ("signature-value", "timestamp", "ber"):
        attach_signature(work / f"{name}.der", built, work / f"{name}.exe")
    osslsigncode("sign", "-nest", "-certs", pki.other, "-key", pki.other_key, "-h", "sha256",
                 "-in", signed, "-out", work / "nested.exe")
    osslsigncode("add", "-addUnauthenticatedBlob", "-in", signed, "-out", work / "blob.exe")
    (work / "extra.pem").write_bytes(pki.chain.read_bytes() + pki.other.read_bytes())
    osslsigncode("sign", "-certs", work / "extra.pem", "-key", pki.signer_key, "-readpass", pki.password_file,
                 "-h", "sha256", "-in", built, "-out", work / "extra-certificate.exe")
    return {"code-alone": "signature.image-digest", "code": "signature.image-digest",
            "signature-value": "signature.signer-signature", "timestamp": "token.authority-signature",
            "ber": "der.definite-length", "nested": "signature.nested-signature", "blob": "signature.unsigned-attribute",
            "extra-certificate": "signature.certificate-on-chain"}


def test_signed(checkout, work_dir, built_exe, source_dir, pki, tsa):
    # An untracked windows.h at the checkout's root would stop any build that read it.
    (checkout / "windows.h").write_text('#error "the working tree was read"\n')
    # Timestamped by a local authority, whose own root the timestamp is checked against.
    run = release(checkout, work_dir / "release", CXXFLAGS="-fno-inline", SIGN_CERT="../pki/chain.pem",
                  SIGN_KEY="../pki/signer.key", SIGN_PASS_FILE="../pki/password", SIGN_TIMESTAMP_URL=tsa.url,
                  SIGN_TSA_CA=tsa.root)
    checked = check_signed_release(run, source_dir, built_exe, pki, "-TSA-CAfile", tsa.root)
    assert "Its chain was not checked: SIGN_CA is not set." in run.output, run
    assert b"Timestamp Server Signature verification: ok" in checked.stdout
    shipped = work_dir / "release/dist" / PROGRAM

    # Accepted, two at once: as shipped (no root in it, a CRL nobody serves)
    # with no roots but the timestamp authority's, which stands in for the
    # public roots a real one leads to, and by a relative path from its folder
    # with the right root.
    with_root = subprocess.Popen(["bash", checkout / "scripts/verify-release.sh", "--ca", "../pki/root.pem",
                                  "--tsa-ca", tsa.root, f"dist/{PROGRAM}"], cwd=work_dir / "release",
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    # Without --ca, this system's roots decide, and the throwaway root is none of them.
    verdict(checkout, 1, work_dir / "alone", "--tsa-ca", tsa.root, shipped, check="chain.trusted-root")
    said = with_root.communicate(timeout=170)[0].decode()
    assert with_root.returncode == 0 and "\nOK: " in said, said
    assert re.search(r'\nOK: .* is the build of commit [0-9a-f]{40}, signed by "CN=Sorrelvane Test Publisher" \(chain'
                     r' checked to .*/root.pem\), timestamped \d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC by'
                     r' "CN=Throwaway Timestamp Authority"\n$', said), said

    # Refused before any build: the signature or its chain gives it away.
    forged = work_dir / "forged"
    forged.mkdir()
    for name, check in forgeries(forged, shipped, built_exe, pki).items():
        verdict(checkout, 1, forged, "--tsa-ca", tsa.root, f"{name}.exe", check=check)
    verdict(checkout, 1, forged, "--ca", "../pki/other.pem", "--tsa-ca", tsa.root, shipped, check="chain.root")
    # A timestamp is data its authority signed and the publisher did not: one
    # from an authority that leads to no trusted root could carry anything.
    private = verdict(checkout, 1, forged, shipped, check="tsa-chain.root")
    assert "pass --tsa-ca with the authority's root" in private.output, private
    verdict(checkout, 2, forged, "--ca", "../pki/missing.pem", shipped)


def private_mounts():
    """Whether mounts of a namespace of its own can be had here: as root, and
    not in a chroot, whose root is no mount point to make private."""
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        return False
    return subprocess.run(["unshare", "-m", "true"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=30).returncode == 0


def test_signed_with_debian_12s_own_osslsigncode(checkout, work_dir, pki, tsa, debian_12_osslsigncode):
    """A stock Debian 12 signs with osslsigncode 2.5, which writes the signer's certificate first:
    released and accepted. Its binary stands in for the system's in a mount namespace of its own."""
    if not private_mounts():
        pytest.skip("putting another osslsigncode in place needs root and a mount namespace of its own")
    folder = work_dir / "released with 2.5"
    folder.mkdir()
    settings = dict(DIST_DIR="dist", SIGN_CERT=pki.chain, SIGN_KEY=pki.signer_key, SIGN_PASS_FILE=pki.password_file,
                    SIGN_CA=pki.root, SIGN_TIMESTAMP_URL=tsa.url, SIGN_TSA_CA=tsa.root)
    env = {k: v for k, v in os.environ.items() if k not in SETTINGS}
    env.update({k: str(v) for k, v in settings.items()})
    script = ('mount --bind "$1" /usr/bin/osslsigncode && osslsigncode --version | head -1 && '
              'bash "$2/scripts/release.sh"')
    said = subprocess.run(["unshare", "-m", "bash", "-c", script, "-",
                           debian_12_osslsigncode, checkout], cwd=folder, env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=170)
    output = said.stdout.decode(errors="replace")
    assert said.returncode == 0 and output.startswith("osslsigncode 2.5,"), output
    extract_signature(folder / "dist" / PROGRAM, folder / "signature.der")
    signed = cms.ContentInfo.load((folder / "signature.der").read_bytes())
    first = signed["content"]["certificates"][0].chosen.subject.native["common_name"]
    assert first == "Sorrelvane Test Publisher", first
    verdict(checkout, 0, folder, "--ca", pki.root, "--tsa-ca", tsa.root, f"dist/{PROGRAM}")


def test_signed_by_a_name_that_lies(checkout, work_dir, source_dir, pki):
    """A signer's own certificate whose name holds the lines of a verdict, an
    escape that hides what follows, bidi, zero-width and line-separator
    characters: both commands show them as escapes, and only the verdict
    line starts with OK, with the signer's root given or not."""
    head = subprocess.run(["git", "-C", source_dir, "rev-parse", "HEAD"], capture_output=True, text=True).stdout.strip()
    lie = (f"Mallory\nIts certificate chain leads to the root CN=Throwaway Test Root.\nBuilt from commit {head}.\n"
           f"OK: dist/{PROGRAM} is the program that commit {head} builds.\x1b[8m\u202e\u2028\u200b")
    key = pki_module.new_key()
    liar = pki_module.certificate(lie, key, ca=False, extensions=[
        (x509.ExtendedKeyUsage([x509.oid.ExtendedKeyUsageOID.CODE_SIGNING]), False)])
    folder = work_dir / "liar"
    folder.mkdir()
    (folder / "liar.pem").write_bytes(pki_module.pem(liar))
    (folder / "liar.key").write_bytes(pki_module.plain_key(key))
    run = release(checkout, folder, SIGN_CERT="liar.pem", SIGN_KEY="liar.key")
    assert run.status == 0 and "by: CN=Mallory\\x0aIts certificate chain" in run.output, run
    assert_nothing_raw(run.output)
    for args, expected, check in (((), 1, "chain.trusted-root"), (("--ca", "liar.pem"), 0, None),
                                  (("--ca", pki.root), 1, "chain.root")):
        said = verdict(checkout, expected, folder, *args, f"dist/{PROGRAM}", check=check)
        assert "CN=Mallory\\x0aIts certificate chain" in said.output, said
        assert "\\x1b[8m\\u202e\\u2028\\u200b" in said.output, said


def test_token(checkout, work_dir, built_exe, source_dir, pki):
    # The key in a SoftHSM2 token made here, reached through PKCS#11 with its
    # PIN; the chain from SIGN_CERT, checked against the root after signing.
    token = softhsm_token.make_token(work_dir / "token", pki.signer_key, pki.password)
    run = release(checkout, work_dir / "release", SIGN_CERT="../pki/chain.pem", SIGN_KEY=token.uri,
                  SIGN_PKCS11_MODULE=token.module, SIGN_PASS_FILE="../pki/password", SIGN_CA="../pki/root.pem",
                  **token.environment)
    check_signed_release(run, source_dir, built_exe, pki)


def test_pfx(checkout, work_dir, built_exe, source_dir, pki):
    # The password through a pipe, which can be read only once.
    read_end, write_end = os.pipe()
    os.write(write_end, pki.password.encode() + b"\n")
    os.close(write_end)
    try:
        run = release(checkout, work_dir / "release", SIGN_PKCS12="../pki/signer.pfx",
                      SIGN_PASS_FILE=f"/dev/fd/{read_end}", SIGN_CA="../pki/root.pem", pass_fds=(read_end,))
    finally:
        os.close(read_end)
    check_signed_release(run, source_dir, built_exe, pki)
    # Untimestamped, it needs only the signer's roots to be proven the build plus one signature: in DER, as
    # Windows exports a .cer, too.
    der_root = work_dir / "root.cer"
    der_root.write_bytes(x509.load_pem_x509_certificate(pki.root.read_bytes()).public_bytes(Encoding.DER))
    accepted = verdict(checkout, 0, work_dir / "release", "--ca", der_root, f"dist/{PROGRAM}")
    assert "Signed with Authenticode by: CN=Sorrelvane Test Publisher\n" in accepted.output, accepted
    assert re.search(r'is the build of commit [0-9a-f]{40}, signed by "CN=Sorrelvane Test Publisher" \(chain'
                     r' checked to .*root.cer\), not timestamped$', accepted.output), accepted
    # --crl once a list: the intermediate's empty one, then the root's (in DER) that revokes it.
    refused = verdict(checkout, 1, work_dir / "release", "--ca", pki.root, "--crl", pki.crl_empty,
                      "--crl", pki.crl_revokes_intermediate_der, f"dist/{PROGRAM}", check="revocation.revoked")
    assert "revoked certificate: CN=Throwaway Test Intermediate" in refused.output, refused
    # Without the root, the chain leads to no root this system trusts: refused before any list is read.
    verdict(checkout, 1, work_dir / "release", "--crl", pki.crl_revokes_intermediate_der, f"dist/{PROGRAM}",
            check="chain.trusted-root")


def expect_refused(checkout, folder, reason, **settings):
    """Refused with a reason that names what to mend, leaving dist/ empty."""
    run = release(checkout, folder, **settings)
    assert run.status == 1 and re.search(f"(?m)^release.sh: .*{reason}", run.output), run
    assert not os.listdir(folder / "dist") if (folder / "dist").exists() else True, os.listdir(folder / "dist")
    return run


KEY = dict(SIGN_KEY="../pki/signer.key", SIGN_PASS_FILE="../pki/password")


@pytest.mark.parametrize("name, reason, settings", [
    ("broken", "SIGN_KEY", dict(SIGN_CERT="../pki/chain.pem", SIGN_KEY="../broken.key")),
    ("expired", "SIGN_CERT: .*expired", dict(SIGN_CERT="../pki/expired-chain.pem", **KEY)),
    ("server", "SIGN_CERT: .*code signing", dict(SIGN_CERT="../pki/server-chain.pem", **KEY)),
    # The intermediate forgotten: caught once signed, naming the certificate missing.
    ("forgotten", "SIGN_CA: .*stops at CN=Throwaway Test Intermediate",
     dict(SIGN_CERT="../pki/signer.pem", SIGN_CA="../pki/root.pem", **KEY)),
])
def test_refusals(checkout, work_dir, pki, name, reason, settings):
    (work_dir / "broken.key").write_text("not a key\n")
    expect_refused(checkout, work_dir / name, reason, **settings)


GIT_IDENTITY = {"GIT_AUTHOR_NAME": "t", "GIT_AUTHOR_EMAIL": "t@t", "GIT_COMMITTER_NAME": "t",
                "GIT_COMMITTER_EMAIL": "t@t"}


def test_refusals_of_commits_that_are_not_plain_files(work_dir):
    """A commit is written out as the build's sources only when it holds plain files under plain names:
    a link could point anywhere, a .git or .. entry would be written where git itself would not."""
    repo = work_dir / "crafted"
    subprocess.run(["git", "init", "-q", repo], check=True)
    git = lambda *args, **kw: subprocess.run(["git", "-C", repo, *args], capture_output=True, check=True, **kw)
    blob = git("hash-object", "-w", "--stdin", input=b"text\n").stdout.decode().strip()
    for entry, said in [(f"120000 blob {blob}\tlink", "holds link of mode 120000, not a plain file"),
                        (f"100644 blob {blob}\t.git", "holds a file named .git"),
                        (f"100644 blob {blob}\tdup\n100644 blob {blob}\tdup", "holds a file named dup, which cannot"),
                        (f"100644 blob {blob}\t{'n' * 300}", "which cannot be written (File name too long)"),
                        (f"100644 blob {blob}\t..", "holds a file named .."),
                        (f"100644 blob {'0' * 39}1\tgone", "git did not give the blob")]:
        tree = git("mktree", "--missing", input=entry.encode() + b"\n").stdout.decode().strip()
        commit = git("commit-tree", tree, "-m", "crafted", env={**os.environ, **GIT_IDENTITY}).stdout.decode().strip()
        with pytest.raises(building.BuildError) as caught:
            building._export(repo, commit, work_dir / "crafted-out" / commit)
        assert said in str(caught.value), caught.value

    # Nothing to build, a filter driver or a partial clone's fetch that reading would run, a commit
    # that does not build.
    def build(name):
        (work_dir / "crafted-builds" / name).mkdir(parents=True)
        with pytest.raises(building.BuildError) as caught:
            building.build_afresh(repo, work_dir / "crafted-builds" / name)
        return str(caught.value)
    assert "is not a git checkout with a commit to build" in build("no commit")
    (repo / "CMakeLists.txt").write_text("cmake_minimum_required(VERSION 3.25)\nproject(broken NONE)\n")
    git("add", "CMakeLists.txt")
    git("commit", "-q", "-m", "no presets", env={**os.environ, **GIT_IDENTITY})
    git("config", "filter.any.clean", "cat")
    assert "configures git filter drivers" in build("filter")
    git("config", "--unset", "filter.any.clean")
    # A hook that git status would run when it rewrites the index of a file it sees touched.
    (repo / ".git" / "hooks" / "post-index-change").write_text(f"#!/bin/sh\n: >'{work_dir}/hook ran'\n")
    (repo / ".git" / "hooks" / "post-index-change").chmod(0o755)
    os.utime(repo / "CMakeLists.txt", (1, 1))
    assert "failed: " in build("hooked") and not (work_dir / "hook ran").exists()
    git("config", "remote.origin.promisor", "true")
    assert "is a partial clone" in build("partial")
    git("config", "--unset", "remote.origin.promisor")
    assert f"the build of commit {git('rev-parse', 'HEAD').stdout.decode().strip()} failed: " in build("broken")


# Stand-ins for git whose cat-file does not answer in full.
UNREADING_GITS = {
    "fails": ("exit 128", "git could not read the files of"),
    "stops short": ('read id; printf "%s commit 6" "$id"', "git did not give the commit"),
    "gives no size": ('read id; printf "%s commit six\\n" "$id"', "git did not give the commit"),
    "hangs": ("sleep 10", "git cat-file did not end within 2 s"),
}


def relabelled_pack(repo, objects, fake, real):
    """A newer pack of OBJECTS in REPO whose index lists FAKE's bytes under REAL's id, so that git
    finds one copy of REAL or the other depending on which pack it searched last."""
    run = lambda *args, **kw: subprocess.run(["git", "-C", repo, *args], capture_output=True, check=True, **kw)
    run("repack", "-adq")
    name = run("pack-objects", "-q", ".git/objects/pack/pack",
               input="".join(f"{o}\n" for o in objects).encode()).stdout.decode().strip()
    index = repo / ".git" / "objects" / "pack" / f"pack-{name}.idx"
    data = index.read_bytes()
    count = int.from_bytes(data[8 + 255 * 4:8 + 256 * 4], "big")
    names, crcs, offsets = 8 + 1024, 8 + 1024 + 20 * count, 8 + 1024 + 24 * count
    entries = sorted((bytes.fromhex(real) if data[names + 20 * i:names + 20 * i + 20] == bytes.fromhex(fake)
                      else data[names + 20 * i:names + 20 * i + 20], data[crcs + 4 * i:crcs + 4 * i + 4],
                      data[offsets + 4 * i:offsets + 4 * i + 4]) for i in range(count))
    fanout = b"".join(sum(1 for e in entries if e[0][0] <= k).to_bytes(4, "big") for k in range(256))
    index.write_bytes(data[:8] + fanout + b"".join(e[0] for e in entries) + b"".join(e[1] for e in entries)
                      + b"".join(e[2] for e in entries) + data[offsets + 4 * count:])
    later = time.time() + 10
    os.utime(index.with_suffix(".pack"), (later, later))


def test_refusals_of_a_doctored_object_store(work_dir, monkeypatch):
    """git gives an object as its store holds it, whatever its id: the export hashes the commit, every
    tree and every file, follows no replacement ref, and refuses an answer that is not whole."""
    for object_format in ("sha1", "sha256"):
        repo = work_dir / f"store-{object_format}"
        (repo / "sub").mkdir(parents=True)
        git = lambda *args, **kw: subprocess.run(["git", "-C", repo, *args], capture_output=True, check=True,
                                                 env={**os.environ, **GIT_IDENTITY}, **kw).stdout.decode().strip()
        git("init", "-q", f"--object-format={object_format}")
        (repo / "README").write_bytes(b"top\r\n")
        (repo / "sub" / "a.c").write_bytes(b"good\n")
        git("add", "-A")
        git("commit", "-q", "-m", "two files")
        commit, sub = git("rev-parse", "HEAD"), git("rev-parse", "HEAD:sub")
        evil = git("hash-object", "-w", "--stdin", input=b"evil\n")
        git("replace", git("rev-parse", "HEAD:sub/a.c"), evil)
        building._export(repo, commit, work_dir / f"out-{object_format}")
        assert (work_dir / f"out-{object_format}" / "sub" / "a.c").read_bytes() == b"good\n"
        assert (work_dir / f"out-{object_format}" / "README").read_bytes() == b"top\r\n"
    # The subtree's object holding another tree's bytes, one that lists the other file.
    other = git("mktree", input=f"100644 blob {evil}\ta.c\n".encode())
    raw = subprocess.run(["git", "-C", repo, "cat-file", "tree", other], capture_output=True, check=True).stdout
    loose = repo / ".git" / "objects" / sub[:2] / sub[2:]
    loose.chmod(0o644)
    loose.write_bytes(zlib.compress(b"tree %d\0" % len(raw) + raw))
    for asked, said in [(commit, f"git gave other bytes for the tree {sub}"),
                        ("0" * 64, f"git did not give the commit {'0' * 64}"),
                        (git("hash-object", "-t", "commit", "-w", "--literally", "--stdin", input=b"garbage"),
                         "names no tree"),
                        (git("hash-object", "-t", "commit", "-w", "--literally", "--stdin",
                             input=f"tree {'0' * 63}1\n\nno tree\n".encode()), "git did not give the tree"),
                        (git("hash-object", "-t", "commit", "-w", "--literally", "--stdin", input=b"tree %s\n\n%s" % (
                            git("hash-object", "-t", "tree", "-w", "--literally", "--stdin", input=b"100644 a").encode(),
                            b"a tree cut short")), "a tree that git could not have written")]:
        with pytest.raises(building.BuildError, match=said):
            building._export(repo, asked, work_dir / "out-doctored" / asked)
    # Two copies of a subtree, its own and one that lists another file, in packs git searches by turns.
    repo = work_dir / "store-packs"
    (repo / "sub").mkdir(parents=True)
    git("init", "-q", repo)
    git("-C", repo, "commit", "-q", "--allow-empty", "-m", "none")
    (repo / "a").write_bytes(b"real-a\n")
    (repo / "sub" / "f").write_bytes(b"real-f\n")
    git("-C", repo, "add", "-A")
    git("-C", repo, "commit", "-q", "-m", "real")
    evil = git("-C", repo, "hash-object", "-w", "--stdin", input=b"evil\n")
    fake = git("-C", repo, "mktree", input=f"100644 blob {evil}\tf\n100755 blob {evil}\tinjected\n".encode())
    relabelled_pack(repo, [git("-C", repo, "rev-parse", "HEAD^{tree}"), fake], fake,
                    git("-C", repo, "rev-parse", "HEAD:sub"))
    try:
        building._export(repo, git("-C", repo, "rev-parse", "HEAD"), work_dir / "out-packs")
        assert sorted(p.name for p in (work_dir / "out-packs").rglob("*")) == ["a", "f", "sub"]
        assert (work_dir / "out-packs" / "sub" / "f").read_bytes() == b"real-f\n"
    except building.BuildError as refused:
        assert "git gave other bytes for the tree" in str(refused), refused
    for name, (body, said) in UNREADING_GITS.items():
        stand_in = work_dir / "gits" / name
        stand_in.mkdir(parents=True)
        (stand_in / "git").write_text(f'#!/bin/sh\ncase " $* " in *" cat-file "*) {body};; esac\n'
                                      f'exec {shutil.which("git")} "$@"\n')
        (stand_in / "git").chmod(0o755)
        with monkeypatch.context() as patch, pytest.raises(building.BuildError, match=said):
            patch.setattr(processes, "SYSTEM_PATH", f"{stand_in}:{processes.SYSTEM_PATH}")
            patch.setattr(building, "GIT_TIME_LIMIT", 2)
            building._export(repo, commit, work_dir / "out-unread" / name)
    # A few kilobytes can name one tree or file billions of times: the export stops at its limits,
    # and refuses a folder listed twice, which git merges.
    repo = work_dir / "store-sha1"
    commit = git("-C", repo, "rev-parse", "HEAD")
    for limit, value, said in [("MAX_ENTRIES", 2, "more than 2 files and folders"), ("MAX_DEPTH", 1, "nested more"),
                               ("MAX_SOURCE_BYTES", 9, "more than 9 bytes of files")]:
        with monkeypatch.context() as patch, pytest.raises(building.BuildError, match=said):
            patch.setattr(building, limit, value)
            building._export(repo, commit, work_dir / "out-limits" / limit)
    sub = bytes.fromhex(git("-C", repo, "rev-parse", "HEAD:sub"))
    twice = git("-C", repo, "hash-object", "-t", "tree", "-w", "--literally", "--stdin",
                input=b"40000 a\0" + sub + b"40000 a\0" + sub)
    merged = git("-C", repo, "commit-tree", twice, "-m", "a folder twice")
    with pytest.raises(building.BuildError, match="holds a file named a, which cannot be written"):
        building._export(repo, merged, work_dir / "out-twice")


def test_refusals_without_a_wait(checkout, work_dir, pki):
    # An encrypted key and no password, on a terminal that could be asked: no waiting.
    folder = work_dir / "prompt"
    folder.mkdir()
    started = time.monotonic()
    env = {k: v for k, v in os.environ.items() if k not in SETTINGS}
    said = subprocess.run(["timeout", "60", "script", "-qec", f"bash '{checkout}/scripts/release.sh'", "/dev/null"],
                          cwd=folder, env={**env, "SIGN_CERT": "../pki/chain.pem", "SIGN_KEY": "../pki/signer.key",
                                           "DIST_DIR": "dist"},
                          stdin=subprocess.DEVNULL, capture_output=True).stdout.decode(errors="replace")
    assert time.monotonic() - started <= 10 and "SIGN_PASS_FILE" in said, said

    # dist/ holding what a release does not make: refused, untouched. One of
    # them named like two files that a release does make, one with a control
    # character in its name.
    dist = work_dir / "foreign/dist"
    dist.mkdir(parents=True)
    (dist / "SHA512SUMS").write_text("an old digest\n")
    (dist / "BUILDINFO SHA256SUMS").write_text("x\n")
    (dist / "notes\x1b[2J").write_text("x\n")
    run = release(checkout, work_dir / "foreign")
    assert run.status == 1, run
    assert "holds files that a release does not make: BUILDINFO SHA256SUMS, SHA512SUMS, notes\\x1b[2J." in run.output, run
    assert sorted(os.listdir(dist)) == ["BUILDINFO SHA256SUMS", "SHA512SUMS", "notes\x1b[2J"]
    assert (dist / "SHA512SUMS").read_text() == "an old digest\n"


@pytest.mark.parametrize("held, said", [("checkout", "another release or a verification is running"),
                                        ("dist", "another release is running into")])
def test_refusals_when_busy(checkout, work_dir, held, said):
    # A release beside another, in the checkout or into the same DIST_DIR,
    # says so and exits 2.
    folder = work_dir / f"busy-{held}"
    (folder / "dist").mkdir(parents=True)
    descriptor = os.open(checkout if held == "checkout" else folder / "dist", os.O_RDONLY)
    try:
        fcntl.flock(descriptor, fcntl.LOCK_EX)
        run = release(checkout, folder)
    finally:
        os.close(descriptor)
    assert run.status == 2 and said in run.output, run


def signing_processes(marker):
    """The PIDs of the osslsigncode whose arguments hold MARKER."""
    found = []
    for entry in Path("/proc").iterdir():
        try:
            args = (entry / "cmdline").read_bytes().split(b"\0")
        except OSError:
            continue
        if args[0] == b"osslsigncode" and any(marker.encode() in a for a in args):
            found.append(int(entry.name))
    return found


# Stand-ins for osslsigncode that say they signed and did not do all of it, or more: the release
# must not ship what they wrote. Each copies or calls the real tool ("$REAL"), bound over the system's.
LAZY_SIGNERS = {
    "signs nothing": ('while [ $# -gt 0 ]; do case $1 in -in) in=$2; shift;; -out) out=$2; shift;; esac; shift;'
                      ' done; cp "$in" "$out"', "[signature.present]: it carries no signature"),
    "stamps no time": ('args=(); while [ $# -gt 0 ]; do if [ "$1" = -ts ]; then shift; else args+=("$1"); fi;'
                       ' shift; done; exec "$REAL" "${args[@]}"', "carries no timestamp, though SIGN_TIMESTAMP_URL"),
    "drops a file in DIST_DIR": ('"$REAL" "$@" && : >"$DIST/stray.txt"',
                                 "files that a release does not make appeared in it while it was made: stray.txt"),
}


@pytest.mark.parametrize("case", LAZY_SIGNERS)
def test_refusals_of_a_signing_tool_that_skips_its_work(case, checkout, work_dir, pki, tsa):
    if not private_mounts():
        pytest.skip("putting another osslsigncode in place needs root and a mount namespace of its own")
    folder = work_dir / "lazy" / case
    folder.mkdir(parents=True)
    body, said = LAZY_SIGNERS[case]
    shutil.copy2("/usr/bin/osslsigncode", folder / "real-osslsigncode")
    (folder / "osslsigncode").write_text(f"#!/bin/bash\nREAL={shlex.quote(str(folder / 'real-osslsigncode'))}\n"
                                         f"DIST={shlex.quote(str(folder / 'dist'))}\n{body}\n")
    (folder / "osslsigncode").chmod(0o755)
    env = {k: v for k, v in os.environ.items() if k not in SETTINGS}
    env.update(DIST_DIR="dist", SIGN_CERT=str(pki.chain), SIGN_KEY=str(pki.signer_key),
               SIGN_PASS_FILE=str(pki.password_file), SIGN_TIMESTAMP_URL=tsa.url, SIGN_TSA_CA=str(tsa.root))
    run = subprocess.run(["unshare", "-m", "bash", "-c", 'mount --bind "$1" /usr/bin/osslsigncode && bash "$2"', "-",
                          folder / "osslsigncode", checkout / "scripts/release.sh"], cwd=folder, env=env,
                         stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=170)
    output = run.stdout.decode(errors="replace")
    assert run.returncode == 1 and said in output, output
    assert not (folder / "dist" / PROGRAM).exists(), output


def test_refusals_on_sigterm(checkout, work_dir, pki):
    # SIGTERM while osslsigncode waits on a timestamp authority that never
    # answers ends it, and leaves no temporary folder and nothing in dist/.
    silent = socket.socket()
    silent.bind(("127.0.0.1", 0))
    silent.listen()
    folder = work_dir / "sigterm"
    (folder / "tmp").mkdir(parents=True)
    (folder / "dist").mkdir()
    env = {k: v for k, v in os.environ.items() if k not in SETTINGS}
    env.update(TMPDIR=str(folder / "tmp"), SIGN_CERT="../pki/chain.pem", DIST_DIR="dist",
               SIGN_TIMESTAMP_URL=f"http://127.0.0.1:{silent.getsockname()[1]}", **KEY)
    releaser = subprocess.Popen(["bash", checkout / "scripts/release.sh"], cwd=folder, env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    try:
        for _ in range(600):
            if signing_processes(f"{folder}/tmp/"):
                break
            time.sleep(0.05)
        assert signing_processes(f"{folder}/tmp/"), "osslsigncode never started"
        releaser.send_signal(signal.SIGTERM)
        said = releaser.communicate(timeout=30)[0].decode(errors="replace")
    finally:
        releaser.kill()
        silent.close()
    assert releaser.returncode == 143, said
    time.sleep(0.2)
    assert not signing_processes(f"{folder}/tmp/")
    assert not os.listdir(folder / "tmp") and not os.listdir(folder / "dist")


@pytest.mark.parametrize("setting", ["SIGN_PASS_FILE", "SIGN_KEY"])
def test_settings_secret_given_where_a_path_belongs(checkout, work_dir, pki, setting):
    # CI systems hand secrets over as variables: the password, or the key's
    # PEM text, put where the path of a file holding it belongs.
    secret = pki.password if setting == "SIGN_PASS_FILE" else pki.signer_key.read_text()
    settings = dict(SIGN_CERT="../pki/chain.pem", **KEY)
    settings[setting] = secret
    said = {"SIGN_PASS_FILE": "it is the path of a file holding the password", "SIGN_KEY": "holds a key itself"}
    run = expect_refused(checkout, work_dir / f"secret-{setting}", f"{setting} .*{said[setting]}", **settings)
    assert_secrets_absent(pki, run.output)


def test_settings_odd_paths(checkout, work_dir, built_exe, source_dir, pki, tsa):
    # A space and a comma in TMPDIR, DIST_DIR and the key's path: a genuine
    # timestamped release, and its verification.
    odd = work_dir / "odd, paths"
    (odd / "tmp, here").mkdir(parents=True)
    shutil.copytree(pki.dir, odd / "keys, here")
    run = release(checkout, odd, TMPDIR=odd / "tmp, here", SIGN_CERT="keys, here/chain.pem",
                  SIGN_KEY="keys, here/signer.key", SIGN_PASS_FILE="keys, here/password",
                  SIGN_TIMESTAMP_URL=tsa.url, SIGN_TSA_CA=tsa.root, DIST_DIR="dist, here")
    assert run.status == 0, run
    verdict(checkout, 0, odd, "--ca", pki.root, "--tsa-ca", tsa.root, f"dist, here/{PROGRAM}",
            TMPDIR=odd / "tmp, here")
    assert not os.listdir(odd / "tmp, here")

    # Under ':', which make cannot build under, neither can run: said plainly, exit 2.
    (odd / "tmp:colon").mkdir()
    run = release(checkout, odd / "colon", TMPDIR=odd / "tmp:colon")
    assert run.status == 2 and "release.sh: cannot release here: " in run.output and "':'" in run.output, run
    said = verdict(checkout, 2, odd, f"dist, here/{PROGRAM}", TMPDIR=odd / "tmp:colon")
    assert "which make cannot build under" in said.output, said


STALLING_MODULE = """
#include <unistd.h>
/* A PKCS#11 module that never answers: the first call into it sleeps. */
unsigned long C_GetFunctionList(void **list) { (void)list; for (;;) sleep(60); return 5; }
"""


def test_settings_token_that_blocks(checkout, work_dir, pki):
    # A token whose module blocks ends the release within its time limit,
    # with exit 1 and nothing in dist/.
    (work_dir / "stall.c").write_text(STALLING_MODULE)
    made = processes.run(["gcc", "-shared", "-fPIC", "-o", work_dir / "stall.so", work_dir / "stall.c"], timeout=60)
    assert made.returncode == 0, made.stderr
    started = time.monotonic()
    expect_refused(checkout, work_dir / "stalled", "did not answer within 2 s", SIGN_CERT="../pki/chain.pem",
                   SIGN_KEY="pkcs11:token=stalled;object=signer;type=private", SIGN_PKCS11_MODULE="../stall.so",
                   SIGN_PASS_FILE="../pki/password", RELEASE_SIGNER_CHECK_TIME_LIMIT=2)
    assert time.monotonic() - started < 30


def snapshot(dist):
    return {name: (dist / name).read_bytes() for name in sorted(os.listdir(dist))}


def test_settings_keep_the_previous_release(checkout, work_dir, pki):
    """A release that fails, before the build or in it, leaves the one in dist/ byte for byte,
    and says so."""
    folder = work_dir / "kept"
    assert release(checkout, folder).status == 0
    before = snapshot(folder / "dist")
    (folder / "wrong password").write_text("not the password\n")
    for settings in (dict(SIGN_CERT="../pki/chain.pem"),  # no key
                     dict(SIGN_CERT="../pki/chain.pem", SIGN_KEY="../pki/signer.key", SIGN_PASS_FILE="wrong password"),
                     dict(SIGN_CERT="../pki/chain.pem", SIGN_KEY="../pki/other.key")):
        run = release(checkout, folder, **settings)
        assert run.status == 1 and run.output.rstrip().endswith(
            f"Nothing was released: the release already in {folder / 'dist'} is untouched."), (settings, run)
        assert snapshot(folder / "dist") == before, settings
    # Interrupted while it builds: ended at once, with the same word.
    (folder / "tmp").mkdir()
    env = {k: v for k, v in os.environ.items() if k not in SETTINGS}
    env.update(DIST_DIR="dist", TMPDIR=str(folder / "tmp"))
    releaser = subprocess.Popen(["bash", checkout / "scripts/release.sh"], cwd=folder, env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    try:
        for _ in range(600):
            if list((folder / "tmp").glob("release.*/build/*")):
                break
            time.sleep(0.02)
        releaser.send_signal(signal.SIGINT)
        said = releaser.communicate(timeout=60)[0].decode(errors="replace")
    finally:
        releaser.kill()
    assert releaser.returncode == 130, said
    assert said.rstrip().endswith(f"the release already in {folder / 'dist'} is untouched."), said
    assert snapshot(folder / "dist") == before and not os.listdir(folder / "tmp")


def test_settings_other_filesystems(checkout, work_dir):
    """TMPDIR on a tmpfs, another filesystem than DIST_DIR's: released. DIST_DIR on a full tmpfs,
    holding a release: refused in words, that release untouched."""
    shm = Path("/dev/shm")
    if not shm.is_dir() or os.stat(shm).st_dev == os.stat(work_dir).st_dev:
        pytest.skip("no tmpfs apart from the work folder")
    folder = work_dir / "filesystems"
    tmp = Path(tempfile.mkdtemp(prefix="release-test.", dir=shm))
    try:
        run = release(checkout, folder, TMPDIR=tmp)
        assert run.status == 0, run
        # And a BUILDINFO beside the file naming another commit is said on an OK too.
        (folder / "dist/BUILDINFO").write_text(re.sub(r"(?m)^commit: \S+", "commit: 0123abc",
                                                      (folder / "dist/BUILDINFO").read_text()))
        said = verdict(checkout, 0, folder, f"dist/{PROGRAM}", TMPDIR=tmp)
        assert said.output.rstrip().endswith("; the BUILDINFO beside it names commit 0123abc"), said
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    if not private_mounts():
        return  # a tmpfs of its own needs root and a mount namespace of its own
    full = folder / "full"
    full.mkdir()
    script = (f'mount -t tmpfs -o size=16k tmpfs "{full}" && cp "{folder}/dist/"* "{full}/" && '
              f'(cd "{full}" && sha256sum *) > "{folder}/before" && '
              f'(cd "{folder}" && DIST_DIR="{full}" bash "{checkout}/scripts/release.sh"; echo "exit $?"); '
              f'(cd "{full}" && sha256sum *) > "{folder}/after"; ls -A "{full}" > "{folder}/left"')
    env = {k: v for k, v in os.environ.items() if k not in SETTINGS}
    said = subprocess.run(["unshare", "-m", "bash", "-c", script], env=env, stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=170).stdout.decode(errors="replace")
    assert "No space left on device: " in said and said.rstrip().endswith("exit 1"), said
    assert "is untouched." in said and "Traceback" not in said and "internal error" not in said, said
    assert (folder / "before").read_text() == (folder / "after").read_text()
    assert sorted((folder / "left").read_text().split()) == sorted(RELEASE_FILES_NAMES), said


# Settings that do not fit together, each refused before anything is built, naming the setting.
SETTING_CLASHES = [
    (dict(SIGN_PKCS12="{pki}/signer.pfx", SIGN_CERT="{pki}/chain.pem"), "leave SIGN_CERT and SIGN_KEY unset"),
    (dict(SIGN_PKCS12="{pki}/signer.pfx", SIGN_PKCS11_MODULE="{pki}/chain.pem"), "not with SIGN_PKCS12"),
    (dict(SIGN_CERT="{pki}/chain.pem"), "SIGN_CERT and SIGN_KEY go together"),
    (dict(SIGN_CERT="{pki}/chain.pem", SIGN_KEY="pkcs11:token=t"), "SIGN_PKCS11_MODULE must name"),
    (dict(SIGN_CERT="{pki}/chain.pem", SIGN_KEY="pkcs11:token=t;pin-value=1", SIGN_PKCS11_MODULE="{pki}/chain.pem"),
     "must not carry the PIN"),
    (dict(SIGN_CERT="{pki}/chain.pem", SIGN_KEY="pkcs11:token=a b", SIGN_PKCS11_MODULE="{pki}/chain.pem"),
     "holds spaces or control characters"),
    (dict(SIGN_CERT="{pki}/chain.pem", SIGN_KEY="pkcs11:token=t", SIGN_PKCS11_MODULE="{pki}/chain.pem"),
     "which needs its PIN: set SIGN_PASS_FILE"),
    (dict(SIGN_CERT="{pki}/chain.pem", SIGN_KEY="{pki}/signer.key", SIGN_PKCS11_MODULE="{pki}/chain.pem"),
     "SIGN_KEY is not a pkcs11: URI"),
    (dict(SIGN_TIMESTAMP_URL="http://127.0.0.1:1"), "need a key to sign with"),
    (dict(SIGN_PKCS12="{pki}/signer.pfx", SIGN_TIMESTAMP_URL="ftp://x"), "not an http:// or https:// address"),
    (dict(SIGN_PKCS12="{pki}/signer.pfx", RELEASE_SIGNER_CHECK_TIME_LIMIT="0"), "from 1 to 9999"),
    (dict(SIGN_PKCS12="{pki}/signer.pfx", SIGN_PASS_FILE="{pki}/empty"), "whose first line is empty"),
    (dict(SIGN_PKCS12="{pki}/signer.pfx", SIGN_PASS_FILE="{pki}/long"), "longer than 4000 bytes"),
    (dict(SIGN_CERT="{pki}/chain.pem", SIGN_KEY="pkcs11:token=t", SIGN_PKCS11_MODULE="{pki}/chain.pem",
          SIGN_PASS_FILE="{pki}/password-33"), "a PIN longer than 32 characters"),
]


def test_settings_checked_before_the_build(pki, work_dir):
    """A signer's certificate not valid yet or not for signatures; an encrypted key with no password
    file, named as such rather than left to a tool that would ask for the password; files that hold
    no certificate or key, or another's key."""
    from release_tools import signing
    key = {"SIGN_CERT": str(pki.chain), "SIGN_KEY": str(pki.signer_key)}
    signer = {**key, "SIGN_PASS_FILE": str(pki.password_file)}
    (work_dir / "wrong password").write_text("wrong\n")
    intermediate = x509.load_pem_x509_certificate(pki.intermediate.read_bytes())
    intermediate_key = serialization.load_pem_private_key(pki.intermediate_key.read_bytes(), None)
    enciphering = pki_module.certificate("Enciphering Publisher", pki_module.new_key(), intermediate, intermediate_key,
                                         ca=False, usage=pki_module.key_usage(key_encipherment=True),
                                         extensions=[(x509.ExtendedKeyUsage([x509.oid.ExtendedKeyUsageOID.CODE_SIGNING]),
                                                      False)])
    (work_dir / "enciphering.pem").write_bytes(pki_module.pem(enciphering, intermediate))
    for settings, now, said in [(signer, datetime.datetime(2000, 1, 1),
                                 "(CN=Sorrelvane Test Publisher) is not valid before "),
                                (key, None, "SIGN_KEY is encrypted: set SIGN_PASS_FILE"),
                                ({**signer, "SIGN_CERT": str(work_dir / "enciphering.pem")}, None,
                                 "(CN=Enciphering Publisher) has a keyUsage without digitalSignature"),
                                ({**signer, "SIGN_CERT": str(pki.signer_key)}, None, "SIGN_CERT holds no certificate"),
                                ({**signer, "SIGN_KEY": str(pki.chain)}, None, "SIGN_KEY is not a PEM private key"),
                                ({**key, "SIGN_KEY": str(pki.other_key)}, None,
                                 "SIGN_KEY is not the key of the signer's certificate in SIGN_CERT"),
                                ({"SIGN_PKCS12": str(pki.dir / "signer.pfx"),
                                  "SIGN_PASS_FILE": str(work_dir / "wrong password")}, None,
                                 "SIGN_PKCS12 holds no certificate that can be read")]:
        with pytest.raises(signing.SigningError) as caught:
            signing.check_signer(signing.read_settings(settings), now=now)
        assert said in str(caught.value), caught.value


def test_settings_that_do_not_fit_together(pki):
    from release_tools import signing
    for name, content in (("empty", b"\n"), ("long", b"x" * 4001 + b"\n"), ("password-33", b"1" * 33 + b"\n")):
        (pki.dir / name).write_bytes(content)
    for settings, said in SETTING_CLASHES:
        with pytest.raises(signing.SigningError) as caught:
            signing.read_settings({k: v.format(pki=pki.dir) for k, v in settings.items()})
        assert said in str(caught.value), (settings, caught.value)
    from release_tools import release
    for settings, said in [(dict(SIGN_CA="{pki}/root.pem"), "SIGN_CA is the roots a signature must lead to"),
                           (dict(SIGNER, SIGN_TSA_CA="{pki}/root.pem"), "SIGN_TSA_CA is the roots a timestamp")]:
        with pytest.raises(release.Failed, match=said):
            release.read_settings({k: v.format(pki=pki.dir) for k, v in settings.items()})
    # A secret is written before the tool starts: one that would not fit in the pipe would hang it.
    with pytest.raises(ValueError), processes.secret_pipe(b"x" * 4096):
        pass


SIGNER = dict(SIGN_CERT="{pki}/chain.pem", SIGN_KEY="{pki}/signer.key", SIGN_PASS_FILE="{pki}/password")


@pytest.mark.parametrize("case, settings, status, said", [
    ("the checkout as DIST_DIR", dict(DIST_DIR="{checkout}"), 1, "which holds this checkout"),
    ("docs/ as DIST_DIR", dict(DIST_DIR="{checkout}/docs"), 1, "among the project's own files (docs/)"),
    ("another root in SIGN_CA", dict(SIGN_CA="{pki}/other.pem", **SIGNER), 1,
     "When that issuer is the publisher's root, set SIGN_CA to it"),
    ("a private authority", dict(SIGN_TIMESTAMP_URL="{tsa}", **SIGNER), 1,
     "Set SIGN_TSA_CA to the authority's root"),
    ("an authority that does not answer", dict(SIGN_TIMESTAMP_URL="http://127.0.0.1:1", **SIGNER), 1, "SIGN_TIMESTAMP_URL"),
    ("an argument", dict(ARGUMENT="--root"), 2, "takes no arguments, and was given --root"),
    ("the intermediate first", dict(SIGNER, SIGN_CERT="{pki}/intermediate first.pem"), 1,
     "starts with CN=Throwaway Test Intermediate, a CA's certificate: the signer's own certificate must come first"),
    ("a .pfx as SIGN_KEY", dict(SIGNER, SIGN_KEY="{pki}/signer.pfx"), 1, "SIGN_KEY holds a .pfx/.p12"),
    ("a missing SIGN_CA", dict(SIGNER, SIGN_CA="{pki}/missing.pem"), 1, "SIGN_CA does not name a file that can be read"),
    ("a chain carrying its root, another in SIGN_CA", dict(SIGNER, SIGN_CERT="{pki}/chain and root.pem",
                                                           SIGN_CA="{pki}/other.pem"), 1,
     "SIGN_CA holds another root than the one the chain leads to"),
])
def test_settings_messages_point_at_the_fault(case, settings, status, said, checkout, work_dir, pki, tsa):
    folder = work_dir / "messages" / case
    (pki.dir / "intermediate first.pem").write_bytes(pki.intermediate.read_bytes() + pki.signer.read_bytes())
    (pki.dir / "chain and root.pem").write_bytes(pki.chain.read_bytes() + pki.root.read_bytes())
    settings = {k: v.format(checkout=checkout, tsa=tsa.url, pki=pki.dir) for k, v in settings.items()}
    if "ARGUMENT" in settings:
        run = tool(checkout, "release.sh", folder, [settings.pop("ARGUMENT")], settings={"DIST_DIR": "dist"})
    else:
        run = release(checkout, folder, **settings)
    assert run.status == status and said in run.output, run
    assert "internal error" not in run.output and "Traceback" not in run.output, run
