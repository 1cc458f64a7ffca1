"""A SoftHSM2 token standing in for a publisher's hardware token, so that
signing through PKCS#11 is tested without one.

make_token(dir, key, password) makes a token in DIR (its own configuration and
token folder, never the system's) whose user PIN is PASSWORD, and imports the
PEM private key KEY, encrypted with PASSWORD, into it; the certificates stay
outside, in SIGN_CERT, as signing takes them. It returns the Token: .uri (the
key's pkcs11: URI), .module (the PKCS#11 module) and .environment (what
whatever uses the token must have set: SOFTHSM2_CONF)."""

import os
import secrets
import sys
from dataclasses import dataclass
from pathlib import Path

from cryptography.hazmat.primitives import serialization

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
from release_tools import processes  # noqa: E402

MODULES = ("/usr/lib/softhsm/libsofthsm2.so", "/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so")
LABEL = "sorrelvane-test"


@dataclass(frozen=True)
class Token:
    uri: str
    module: str
    environment: dict


def _util(environment, pins, arguments, pass_fds=()):
    """Runs softhsm2-util, which takes a PIN either on its command line, where
    ps shows it, or typed on a terminal: here a pseudo-terminal (`script`),
    fed from a pipe. The terminal echoes what it is fed before the tool turns
    echo off, so what it says is dropped. Each PIN is asked for twice."""
    answer = processes.run(["script", "-qec", " ".join(["softhsm2-util", *arguments]), "/dev/null"],
                           timeout=20, env=processes.clean_environment(**environment),
                           input="".join(pin + "\n" + pin + "\n" for pin in pins).encode(), pass_fds=pass_fds)
    if answer.returncode != 0:
        raise RuntimeError(f"softhsm2-util {arguments[0]} failed")


def make_token(dir, key, password):
    dir = Path(dir).resolve()
    module = next((m for m in MODULES if os.path.exists(m)), None)
    if module is None:
        raise RuntimeError("SoftHSM2's PKCS#11 module is not installed (package libsofthsm2)")
    (dir / "tokens").mkdir(parents=True)
    (dir / "softhsm2.conf").write_text(f"directories.tokendir = {dir / 'tokens'}\n"
                                       "objectstore.backend = file\nlog.level = ERROR\n")
    environment = {"SOFTHSM2_CONF": str(dir / "softhsm2.conf")}
    _util(environment, [secrets.token_hex(16), password], ["--init-token", "--free", "--label", LABEL])
    # softhsm2-util imports PKCS#8 alone, and would take an encrypted key's
    # password on its command line: the key reaches it decrypted, through a pipe.
    plain = serialization.load_pem_private_key(Path(key).read_bytes(), password.encode()).private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption())
    read_end, write_end = os.pipe()
    try:
        os.write(write_end, plain)
        os.close(write_end)
        _util(environment, [password], ["--import", f"/dev/fd/{read_end}", "--token", LABEL,
                                        "--label", "signer", "--id", "01"], pass_fds=(read_end,))
    finally:
        os.close(read_end)
    return Token(f"pkcs11:token={LABEL};object=signer;type=private", module, environment)
