"""Fixtures of the release tests: the build under test, a throwaway PKI and a
local timestamp authority made once a session, and a genuine signed,
timestamped copy of the build.

Options: --source-dir (the checkout), --built-exe (the program as built),
--work-dir (a folder the tests may empty and fill; kept after the run so a
failure can be looked at)."""

import shutil
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parents[1]))

import pki as pki_module  # noqa: E402
import timestamp_authority  # noqa: E402
from release_tools import processes  # noqa: E402

SIGNING_TIME_LIMIT = 120


def pytest_addoption(parser):
    parser.addoption("--source-dir", type=Path, default=HERE.parents[1], help="the checkout under test")
    parser.addoption("--built-exe", type=Path, help="SorrelvaneUninstall.exe as built")
    parser.addoption("--work-dir", type=Path, help="a folder of the tests' own, emptied first")


@pytest.fixture(scope="session")
def source_dir(request):
    return request.config.getoption("--source-dir").resolve()


@pytest.fixture(scope="session")
def built_exe(request):
    built = request.config.getoption("--built-exe")
    if built is None or not built.is_file():
        pytest.fail(f"--built-exe names no program: {built}")
    return built.resolve()


@pytest.fixture(scope="session")
def work_dir(request, tmp_path_factory):
    given = request.config.getoption("--work-dir")
    if given is None:
        return tmp_path_factory.mktemp("release")
    given = given.resolve()
    shutil.rmtree(given, ignore_errors=True)
    given.mkdir(parents=True)
    return given


@pytest.fixture(scope="session")
def pki(work_dir):
    return pki_module.make_pki(work_dir / "pki")


@pytest.fixture(scope="session")
def tsa(work_dir):
    authority = timestamp_authority.start(work_dir / "tsa")
    yield authority
    authority.stop()


@pytest.fixture(scope="session")
def tsa_with_chain(work_dir):
    """An authority under an intermediate, its ESS attribute naming the whole chain."""
    authority = timestamp_authority.start(work_dir / "tsa-chain", intermediate=True)
    yield authority
    authority.stop()


@pytest.fixture(scope="session")
def tsa_long_nonce(work_dir):
    """An authority whose tokens carry a 16-byte nonce with its top bit set."""
    authority = timestamp_authority.start(work_dir / "tsa-nonce", nonce=b"\x80" + bytes(range(1, 16)))
    yield authority
    authority.stop()


def sign(built, out, *, certs, key, password_file=None, timestamp_url=None, extra=(), digest="sha256",
         tool="osslsigncode"):
    """Signs BUILT into OUT the way release.sh does (SHA-256, a description,
    the password read from a file, never from the command line), with TOOL;
    returns OUT."""
    out = Path(out)
    out.unlink(missing_ok=True)
    args = [tool, "sign", "-certs", certs, "-key", key, "-h", digest, "-n", "Sorrelvane Uninstall"]
    if password_file is not None:
        args += ["-readpass", password_file]
    if timestamp_url is not None:
        args += ["-ts", timestamp_url]
    args += [*extra, "-in", built, "-out", out]
    result = processes.run(args, timeout=SIGNING_TIME_LIMIT)
    if result.returncode != 0 or not out.is_file():
        pytest.fail(f"osslsigncode could not sign {built}: {result.stdout.decode(errors='replace')}"
                    f"{result.stderr.decode(errors='replace')}")
    return out


# Debian 12's own osslsigncode, which stock systems sign with (the machines
# here may carry a backport): unpacked from its package, not installed.
DEBIAN_12_OSSLSIGNCODE = "osslsigncode=2.5-4"


@pytest.fixture(scope="session")
def debian_12_osslsigncode(work_dir):
    """The path of Debian 12's osslsigncode 2.5, fetched with apt-get download."""
    folder = work_dir / "osslsigncode-2.5"
    folder.mkdir(exist_ok=True)
    fetched = processes.run(["apt-get", "download", DEBIAN_12_OSSLSIGNCODE], timeout=120, cwd=folder)
    packages = list(folder.glob("osslsigncode_*.deb"))
    if fetched.returncode != 0 or len(packages) != 1:
        pytest.fail(f"apt-get download {DEBIAN_12_OSSLSIGNCODE} failed: {fetched.stderr.decode(errors='replace')}")
    unpacked = processes.run(["dpkg-deb", "-x", packages[0], folder / "root"], timeout=60)
    assert unpacked.returncode == 0, unpacked.stderr
    tool = folder / "root/usr/bin/osslsigncode"
    version = processes.run([tool, "--version"], timeout=30)
    assert version.stdout.startswith(b"osslsigncode 2.5,"), version.stdout
    return tool


@pytest.fixture(scope="session")
def signer(pki):
    """How to sign as the throwaway publisher: sign(built, out, **signer)."""
    return dict(certs=pki.chain, key=pki.signer_key, password_file=pki.password_file)


@pytest.fixture(scope="session")
def signed_exe(built_exe, work_dir, signer, tsa):
    """The build signed by the throwaway publisher and timestamped by the local authority."""
    (work_dir / "genuine").mkdir(exist_ok=True)
    return sign(built_exe, work_dir / "genuine" / "signed.exe", timestamp_url=tsa.url, **signer)
