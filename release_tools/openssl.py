"""OpenSSL's own verifier, asked one question, whether a chain verifies,
and judged by its exit status alone: nothing it prints is read."""

import contextlib
import datetime
import shutil
import tempfile
from pathlib import Path

from cryptography.hazmat.primitives import serialization

from . import processes
from .certificates import pem

VERIFY_TIME_LIMIT = 60


def verify_time(moment):
    """OpenSSL's -attime argument for MOMENT (a datetime), or nothing."""
    if moment is None:
        return []
    return ["-attime", str(int(moment.replace(tzinfo=moment.tzinfo or datetime.timezone.utc).timestamp()))]


@contextlib.contextmanager
def scratch():
    """A folder of its own for the files OpenSSL reads, under TMPDIR (any
    name works: each path is one argument), removed afterwards."""
    folder = Path(tempfile.mkdtemp(prefix="release-check."))
    processes.remove_on_signal(folder)
    try:
        yield folder
    finally:
        shutil.rmtree(folder, ignore_errors=True)
        processes.forget_on_signal(folder)


def verify(leaf, *, trusted, untrusted=(), partial=False, crls=(), crl_check=False,
                   purpose=None, moment=None, check_time=True):
    """Whether OpenSSL's verifier accepts LEAF's chain to TRUSTED (exit status
    0), through the UNTRUSTED ones; with CRL_CHECK the leaf's revocation by the
    lists CRLS. Nothing it prints is read."""
    with scratch() as folder:
        files = {"leaf.pem": pem([leaf]), "trusted.pem": pem(trusted)}
        args = ["openssl", "verify", "-no-CAfile", "-no-CApath", "-no-CAstore",
                "-CAfile" if not partial else "-trusted", folder / "trusted.pem"]
        if partial:
            args.append("-partial_chain")
        if untrusted:
            files["untrusted.pem"] = pem(untrusted)
            args += ["-untrusted", folder / "untrusted.pem"]
        if crl_check:
            files["crls.pem"] = b"".join(c.public_bytes(serialization.Encoding.PEM) for c in crls)
            # Deltas read as deltas, and indirect or reason-partitioned lists read as
            # RFC 5280 has them: without these, OpenSSL takes a delta for a whole list.
            args += ["-CRLfile", folder / "crls.pem", "-crl_check", "-use_deltas", "-extended_crl"]
        if purpose:
            args += ["-purpose", purpose]
        args += verify_time(moment) if check_time else ["-no_check_time"]
        for name, content in files.items():
            (folder / name).write_bytes(content)
        args.append(folder / "leaf.pem")
        result = processes.run(args, timeout=VERIFY_TIME_LIMIT, env=processes.clean_environment())
        return result.returncode == 0
