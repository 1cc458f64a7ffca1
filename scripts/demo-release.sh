#!/usr/bin/env bash
# Shows a release end to end, with nothing of anyone's: a throwaway publisher
# (root, intermediate, code-signing key) and a local RFC 3161 timestamp
# authority, made by the same modules the tests use; release.sh signs and
# timestamps into build/demo-release/dist; verify-release.sh proves it with
# the publisher's root, then refuses a copy with one byte changed. Every
# process it starts is ended, and everything it writes is under build/.
#
# Usage: demo-release.sh
set -euo pipefail
cd "$(dirname "$0")/.."

# Tools are installed only where the user may; elsewhere a missing one is named.
if ((EUID == 0)); then
  bash scripts/setup.sh release
fi
[[ -x /usr/bin/python3 ]] || { echo "demo-release.sh: /usr/bin/python3 is missing; run: sudo bash scripts/setup.sh release" >&2; exit 2; }

demo=build/demo-release
rm -rf "$demo"
mkdir -p "$demo/tmp"
exec /usr/bin/python3 -I - "$(pwd)" "$demo" <<'PYTHON'
import os, subprocess, sys, time
from pathlib import Path

sys.dont_write_bytecode = True  # nothing of the demo's outside build/
root, demo = Path(sys.argv[1]), Path(sys.argv[1]) / sys.argv[2]
print(f"Working in {sys.argv[2]}/ (the paths below are relative to it).")
sys.path[:0] = [str(root / "tests" / "release"), str(root)]
import pefile
import pki as pki_module
import timestamp_authority

started = time.monotonic()
pki = pki_module.make_pki(demo / "pki")
authority = timestamp_authority.start(demo / "tsa")
program = "SorrelvaneUninstall.exe"


def run(title, script, *args, **settings):
    print(f"\n$ {title}", flush=True)
    env = {**os.environ, "TMPDIR": str(demo / "tmp"), **{k: str(v) for k, v in settings.items()}}
    return subprocess.run(["bash", str(root / "scripts" / script), *map(str, args)], env=env,
                          stdin=subprocess.DEVNULL, timeout=600).returncode


try:
    released = run("SIGN_CERT=pki/chain.pem SIGN_KEY=pki/signer.key SIGN_PASS_FILE=pki/password "
                   "SIGN_TIMESTAMP_URL=<local authority> SIGN_CA=pki/root.pem SIGN_TSA_CA=tsa/root.pem "
                   "DIST_DIR=dist bash scripts/release.sh", "release.sh",
                   SIGN_CERT=pki.chain, SIGN_KEY=pki.signer_key, SIGN_PASS_FILE=pki.password_file,
                   SIGN_TIMESTAMP_URL=authority.url, SIGN_CA=pki.root, SIGN_TSA_CA=authority.root,
                   DIST_DIR=demo / "dist")
    if released != 0:
        sys.exit(f"demo-release.sh: the release failed (exit {released})")
    shipped = demo / "dist" / program
    proven = run(f"bash scripts/verify-release.sh --ca pki/root.pem --tsa-ca tsa/root.pem dist/{program}",
                 "verify-release.sh", "--ca", pki.root, "--tsa-ca", authority.root, shipped)
    # One byte of the program's code, changed in a copy: what a tampered download looks like.
    tampered = demo / "tampered" / program
    tampered.parent.mkdir()
    data = bytearray(shipped.read_bytes())
    text = next(s for s in pefile.PE(data=bytes(data), fast_load=True).sections if s.Name.startswith(b".text"))
    data[text.PointerToRawData + 16] ^= 0xFF
    tampered.write_bytes(data)
    refused = run(f"bash scripts/verify-release.sh --ca pki/root.pem --tsa-ca tsa/root.pem tampered/{program}",
                  "verify-release.sh", "--ca", pki.root, "--tsa-ca", authority.root, tampered)
finally:
    authority.stop()

print(f"""
The genuine release: exit {proven} (0 is proven); the copy with one byte changed: exit {refused} (1 is refused).
Everything is in {demo.relative_to(root)}/: dist/ (the release: {program}, BUILDINFO, SHA256SUMS),
pki/ (the throwaway publisher: root.pem is what a downloader passes to --ca), tsa/ (the local
timestamp authority's root, for --tsa-ca), tampered/ (the changed copy). {time.monotonic() - started:.0f} s.""")
sys.exit(0 if (proven, refused) == (0, 1) else 1)
PYTHON
