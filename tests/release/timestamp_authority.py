"""A local RFC 3161 timestamp authority for the release tests, so that
timestamped signing is tested without a network: `openssl ts -reply` behind a
small HTTP server on 127.0.0.1 (the port chosen by the kernel), with a
throwaway root of its own, apart from the code-signing one as a real
authority's would be.

start(dir) makes the authority's root and certificate in DIR and starts
serving; the Authority it returns has .url, .root (the root's PEM, for
--tsa-ca), .crl_revoking_authority (the root's list revoking the authority's
certificate) and .stop(). Variants, for shapes real authorities ship:
  start(dir, intermediate=True)  the authority's certificate is issued by an
      intermediate, and the ESS signing-certificate attribute lists the whole
      chain (ess_cert_id_chain, as RFC 5816 allows);
  start(dir, nonce=BYTES)        answers every query as if it had asked for
      the nonce BYTES (say, 16 bytes with the top bit set);
  start(dir, key=KEY)            the authority's key is KEY (a weak one, say);
  start(dir, v1=True)            tokens as DigiCert's are: the signer named by
      ESSCertID (v1, SHA-1), no accuracy, ordering or authority name;
  start(dir, intermediate=True, intermediate_extensions=[(EXTENSION, CRITICAL)])
      the intermediate carries those extensions (a usage that leaves out
      time stamping, say).
"""

import http.server
import sys
import threading
from dataclasses import dataclass, field
from pathlib import Path

from asn1crypto import tsp
from cryptography import x509
from cryptography.hazmat.primitives import serialization
from cryptography.x509.oid import ExtendedKeyUsageOID

sys.path.insert(0, str(Path(__file__).resolve().parents[2]))
from release_tools import processes  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))
import pki as pki_module  # noqa: E402

AUTHORITY_NAME = "Throwaway Timestamp Authority"


@dataclass
class Authority:
    url: str
    root: Path
    dir: Path
    crl_revoking_authority: Path
    _server: http.server.HTTPServer = field(repr=False)
    _thread: threading.Thread = field(repr=False)

    def stop(self):
        if self._thread.is_alive():
            self._server.shutdown()
            self._thread.join()
        self._server.server_close()


def _make_certificates(dir, intermediate, key, intermediate_extensions):
    root_key, tsa_key = pki_module.new_key(), key or pki_module.new_key()
    root = pki_module.certificate("Throwaway Timestamp Root", root_key, ca=True)
    issuer, issuer_key, carried = root, root_key, []
    if intermediate:
        issuer_key = pki_module.new_key()
        issuer = pki_module.certificate("Throwaway Timestamp Intermediate", issuer_key, root, root_key, ca=True,
                                        extensions=intermediate_extensions)
        carried = [issuer]
    usage = pki_module.key_usage(digital_signature=True, content_commitment=True)
    tsa = pki_module.certificate(AUTHORITY_NAME, tsa_key, issuer, issuer_key, ca=False, usage=usage, extensions=[
        (x509.ExtendedKeyUsage([ExtendedKeyUsageOID.TIME_STAMPING]), True)])
    (dir / "root.pem").write_bytes(pki_module.pem(root))
    (dir / "tsa.pem").write_bytes(pki_module.pem(tsa))
    (dir / "tsa.key").write_bytes(pki_module.plain_key(tsa_key))
    (dir / "tsa.key").chmod(0o600)
    (dir / "chain.pem").write_bytes(pki_module.pem(*carried))
    revoker, revoker_key = (carried[0], issuer_key) if carried else (root, root_key)
    crl = pki_module.revocation_list(revoker, revoker_key, [tsa])
    (dir / "crl-revokes-authority.pem").write_bytes(crl.public_bytes(serialization.Encoding.PEM))



def _config(dir, intermediate, v1):
    # ESSCertIDv2 with SHA-256 names the signer as current verifiers expect.
    # Paths go in whole: the folder may hold spaces or commas.
    lines = [
        "[ tsa ]", "default_tsa = authority", "[ authority ]",
        f"serial = {dir / 'serial'}", "crypto_device = builtin",
        f"signer_cert = {dir / 'tsa.pem'}", f"signer_key = {dir / 'tsa.key'}",
        "signer_digest = sha256", "default_policy = 1.3.6.1.4.1.4146.2.3",
        "digests = sha1, sha256, sha384, sha512",
        f"ess_cert_id_chain = {'yes' if intermediate else 'no'}",
    ]
    lines += (["ess_cert_id_alg = sha1"] if v1 else
              ["accuracy = secs:1", "ordering = yes", "tsa_name = yes", "ess_cert_id_alg = sha256"])
    if intermediate:
        lines.append(f"certs = {dir / 'chain.pem'}")
    (dir / "tsa.cnf").write_text("\n".join(lines) + "\n")
    (dir / "serial").write_text("01\n")


def start(dir, *, intermediate=False, nonce=None, key=None, intermediate_extensions=(), v1=False):
    dir = Path(dir).resolve()
    dir.mkdir(parents=True, exist_ok=True)
    _make_certificates(dir, intermediate, key, intermediate_extensions)
    _config(dir, intermediate, v1)
    config = dir / "tsa.cnf"
    lock = threading.Lock()

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_POST(self):
            query = self.rfile.read(int(self.headers.get("Content-Length", 0)))
            if nonce is not None:
                request = tsp.TimeStampReq.load(query)
                request["nonce"] = int.from_bytes(nonce, "big")
                query = request.dump(force=True)
            with lock:  # one serial file
                (dir / "query.tsq").write_bytes(query)
                reply = processes.run(["openssl", "ts", "-reply", "-config", config,
                                       "-queryfile", dir / "query.tsq"], timeout=30)
            if reply.returncode != 0 or not reply.stdout:
                sys.stderr.write(reply.stderr.decode(errors="replace"))
                self.send_error(500, "openssl ts -reply failed")
                return
            self.send_response(200)
            self.send_header("Content-Type", "application/timestamp-reply")
            self.send_header("Content-Length", str(len(reply.stdout)))
            self.end_headers()
            self.wfile.write(reply.stdout)

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    return Authority(url=f"http://127.0.0.1:{server.server_address[1]}", root=dir / "root.pem", dir=dir,
                     crl_revoking_authority=dir / "crl-revokes-authority.pem", _server=server, _thread=thread)
