"""The one way the program is built for a release: the committed tree alone,
afresh, in a temporary folder, with an environment emptied of everything that
could change the bytes. Also what a release records about that build
(BUILDINFO), and the lock that keeps releases and verifications apart.

An export of HEAD, blob by blob, rather than a checkout or `git archive`: no
untracked or modified file, and no filter, attribute or export setting of the
checkout, can slip into what is named as built from commit X."""

import contextlib
import errno
import fcntl
import hashlib
import os
import re
from dataclasses import dataclass
from pathlib import Path

from release_tools import processes
from release_tools.text import shown

PROGRAM_NAME = "SorrelvaneUninstall.exe"

# What makes the bytes: the cross compiler, the linker, the Windows headers and
# import libraries, and the build system. BUILDINFO records their versions.
BUILD_PACKAGES = (
    "g++-mingw-w64-x86-64-posix",
    "gcc-mingw-w64-x86-64-posix",
    "gcc-mingw-w64-x86-64-posix-runtime",
    "binutils-mingw-w64-x86-64",
    "mingw-w64-x86-64-dev",
    "mingw-w64-common",
    "cmake",
)
COMPILER = "x86_64-w64-mingw32-g++-posix"
# What the build and the export need on the system's PATH.
TOOLS = ("git", "cmake", "make", COMPILER, "dpkg-query")

GIT_TIME_LIMIT = 120
# What a commit may hold for the export to write it: this project's sources
# are a few hundred files and a few megabytes; a crafted tree can name the
# same object billions of times from a few kilobytes.
MAX_ENTRIES = 20_000
MAX_DEPTH = 32
MAX_SOURCE_BYTES = 256 << 20
CONFIGURE_TIME_LIMIT = 300
BUILD_TIME_LIMIT = 600

# Characters that cmake and make take in the folder the build runs in. Make
# splits or expands words at ':', '$', ';', quotes, glob and shell characters,
# so a folder holding any of those cannot be built under; rather than fail
# halfway with make's own words, a release or a check says so first.
_BUILDABLE = re.compile(r"[\w /.,+=@%^~!#{}-]*")


class BuildError(Exception):
    """The program could not be built; str() is one line saying why."""


class UnbuildablePath(BuildError):
    """The folder the build would run in has a character make cannot take:
    not a fault of the source, so callers exit 2 rather than refuse."""


class Busy(Exception):
    """Another release or verification holds the lock."""


@dataclass(frozen=True)
class Build:
    program: Path  # the built program, in the caller's work folder
    commit: str
    beside_changes: bool  # whether the checkout held changes the build leaves out

    def describe(self):
        if self.beside_changes:
            return f"commit {self.commit}; the checkout has uncommitted changes, which are not in this build"
        return f"commit {self.commit}"


def check_buildable(folder):
    """Raises UnbuildablePath when FOLDER's path holds a character that the
    build tools cannot take."""
    path = os.path.realpath(folder)
    bad = sorted({c for c in path if not _BUILDABLE.fullmatch(c)})
    if bad:
        named = " ".join("a control character" if not c.isprintable() else f"'{c}'" for c in bad)
        raise UnbuildablePath(
            f"the temporary folder {shown(path)} holds {named}, which make cannot build under; "
            "set TMPDIR to a folder whose path has none")


def _git(root, *args, input=None):
    # A user who verifies may not own the checkout, which git then refuses to
    # read. Reading it is safe as long as none of its configured commands runs:
    # of what is used here, an fsmonitor would, so that is switched off, and a
    # filter driver would (git status runs clean filters), as would the fetch
    # of a partial clone's missing objects, so a checkout that configures
    # either is not read at all. git status would also run hooks when it
    # rewrites the index, and the commands of submodules' own configuration,
    # so it writes nothing, runs no hook and leaves submodules alone.
    # Replacement refs would swap in other objects under the commit's ids, so
    # they are not followed.
    try:
        return processes.run(
            ["git", "--no-replace-objects", "--no-optional-locks", "-c", f"safe.directory={root}", "-c",
             "core.fsmonitor=false", "-c", "core.hooksPath=/dev/null", "-C", root, *args],
            timeout=GIT_TIME_LIMIT, input=input)
    except processes.TimedOut as error:
        raise BuildError(f"git {args[0]} did not end within {error.seconds} s in {shown(root)}") from None


def _objects(root, commit, kind, ids, contents=True):
    """{id: bytes} of each object IDS names, each of KIND and each asked once,
    from one git cat-file --batch (without CONTENTS, {id: size} from
    --batch-check). git gives an object as its store holds it, whatever its
    id, so each is hashed here: a corrupt store must not build what the
    commit does not hold."""
    ids = list(dict.fromkeys(ids))
    batch = _git(root, "cat-file", "--batch" if contents else "--batch-check",
                 input=b"".join(object_id.encode() + b"\n" for object_id in ids))
    if batch.returncode != 0:
        raise BuildError(f"git could not read the files of commit {commit}")
    out, at, found = batch.stdout, 0, {}
    for object_id in ids:
        end = out.find(b"\n", at)
        answer = out[at:end].decode("ascii", "replace").split(" ") if end >= 0 else []
        if len(answer) != 3 or answer[:2] != [object_id, kind] or not answer[2].isdigit():
            raise BuildError(f"git did not give the {kind} {object_id} of commit {commit}")
        size = int(answer[2])
        if not contents:
            found[object_id] = size
            at = end + 1
            continue
        content, at = out[end + 1:end + 1 + size], end + 2 + size
        if hashlib.new("sha1" if len(commit) == 40 else "sha256",
                       f"{kind} {size}\0".encode() + content).hexdigest() != object_id:
            raise BuildError(f"git gave other bytes for the {kind} {object_id} of commit {commit}")
        found[object_id] = content
    return found


def _export(root, commit, destination):
    """Writes COMMIT's files into DESTINATION exactly as committed. Every
    name and id comes from the hashed bytes of the commit and its trees, read
    here a level at a time: another git's listing could come from another copy
    of a tree than the one hashed."""
    tree = re.match(rb"tree ([0-9a-f]{40}|[0-9a-f]{64})\n", _objects(root, commit, "commit", [commit])[commit])
    if tree is None:
        raise BuildError(f"commit {commit} names no tree")
    level, files, seen = [(tree.group(1).decode(), [])], [], 0
    while level:
        below = []
        trees = _objects(root, commit, "tree", [object_id for object_id, _ in level])
        for object_id, folder in level:
            names = set()
            for mode, name, entry_id in _tree_entries(commit, trees[object_id], len(commit) // 2):
                path, seen = os.fsdecode(name), seen + 1
                shown_path = shown("/".join(folder + [path]))
                if name in (b"", b".", b"..", b".git") or b"/" in name or name in names:
                    raise BuildError(f"commit {commit} holds a file named {shown_path}, which cannot be written as it is")
                names.add(name)
                if seen > MAX_ENTRIES or len(folder) >= MAX_DEPTH:
                    raise BuildError(f"commit {commit} holds more than {MAX_ENTRIES} files and folders, or folders"
                                     f" nested more than {MAX_DEPTH} deep ({shown_path})")
                if mode == b"40000":
                    below.append((entry_id, folder + [path]))
                elif mode in (b"100644", b"100755"):
                    files.append((mode, folder + [path], entry_id))
                else:
                    raise BuildError(f"commit {commit} holds {shown_path} of mode {mode.decode('ascii', 'replace')},"
                                     " not a plain file")
        level = below
    ids = [object_id for _, _, object_id in files]
    if sum(_objects(root, commit, "blob", ids, contents=False).values()) > MAX_SOURCE_BYTES:
        raise BuildError(f"commit {commit} holds more than {MAX_SOURCE_BYTES} bytes of files")
    blobs = _objects(root, commit, "blob", ids)
    for mode, parts, object_id in files:
        folder = destination.joinpath(*parts[:-1])
        try:
            folder.mkdir(parents=True, exist_ok=True)
            descriptor = os.open(folder / parts[-1], os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW,
                                 0o755 if mode == b"100755" else 0o644)
            with open(descriptor, "wb") as file:
                file.write(blobs[object_id])
        except OSError as error:
            raise BuildError(f"commit {commit} holds {shown('/'.join(parts))}, which cannot be written"
                             f" ({error.strerror})") from None


def _tree_entries(commit, content, id_size):
    """(mode, name, id) of each entry of a tree's bytes: "<mode> <name>\\0"
    and the id in binary."""
    at = 0
    while at < len(content):
        space, nul = content.find(b" ", at), content.find(b"\0", at)
        if not 0 < space - at <= 6 or nul < space or nul + 1 + id_size > len(content):
            raise BuildError(f"commit {commit} holds a tree that git could not have written")
        yield content[at:space], content[space + 1:nul], content[nul + 1:nul + 1 + id_size].hex()
        at = nul + 1 + id_size


def build_afresh(project_root, work_dir):
    """Builds HEAD of PROJECT_ROOT in WORK_DIR (an empty folder of the
    caller's, which the caller removes) and returns the Build. Raises
    BuildError with the reason; the build's own output is then in
    WORK_DIR/build.log."""
    root, work = os.path.realpath(project_root), Path(work_dir)
    check_buildable(work)
    head = _git(root, "rev-parse", "--verify", "--quiet", "HEAD^{commit}")
    commit = head.stdout.decode("ascii", "replace").strip()
    if head.returncode != 0 or not re.fullmatch(r"[0-9a-f]{40}|[0-9a-f]{64}", commit):
        raise BuildError(f"{shown(root)} is not a git checkout with a commit to build")
    if _git(root, "config", "--get-regexp", r"^filter\.").returncode == 0:
        raise BuildError(f"{shown(root)} configures git filter drivers (filter.*), which reading it would run; "
                         "use a clone without them")
    if _git(root, "config", "--get-regexp", r"^(extensions\.partialclone|remote\..*\.promisor)$").returncode == 0:
        raise BuildError(f"{shown(root)} is a partial clone, whose missing files git would fetch by commands of its "
                         "configuration; use a full clone")
    status = _git(root, "status", "--porcelain", "-z", "--ignore-submodules=all")
    beside_changes = status.returncode != 0 or bool(status.stdout)
    source = work / "source"
    source.mkdir()
    _export(root, commit, source)

    scrubbed = processes.clean_environment(HOME=str(work), TMPDIR=str(work))
    log = bytearray()
    for args, limit in ((["cmake", "--preset", "windows", "-B", work / "build"], CONFIGURE_TIME_LIMIT),
                        (["cmake", "--build", work / "build", "--target", "SorrelvaneUninstall"], BUILD_TIME_LIMIT)):
        try:
            step = processes.run(args, timeout=limit, env=scrubbed, cwd=source)
        except processes.TimedOut as error:
            (work / "build.log").write_bytes(bytes(log))
            raise BuildError(f"the build of commit {commit} did not end within {error.seconds} s") from None
        log += step.stdout + step.stderr
        if step.returncode != 0:
            (work / "build.log").write_bytes(bytes(log))
            raise BuildError(f"the build of commit {commit} failed: {_last_line(log)}")
    (work / "build.log").write_bytes(bytes(log))
    return Build(work / "build" / PROGRAM_NAME, commit, beside_changes)


def _last_line(log):
    lines = [line for line in bytes(log).decode("utf-8", "replace").splitlines() if line.strip()]
    return shown(lines[-1].strip()) if lines else "it said nothing"


def package_version(package):
    answer = processes.run(["dpkg-query", "-W", "-f=${Version}", package], timeout=60)
    version = answer.stdout.decode("utf-8", "replace").strip()
    return version if answer.returncode == 0 and version else "not installed"


def compiler_version():
    answer = processes.run([COMPILER, "--version"], timeout=60)
    lines = answer.stdout.decode("utf-8", "replace").splitlines()
    return lines[0] if answer.returncode == 0 and lines else "not installed"


def build_info(build):
    """BUILDINFO: what a release was built from and with, one "name: value" a line."""
    lines = [f"commit: {build.commit}",
             "uncommitted changes: " + ("yes, not in this release" if build.beside_changes else "none"),
             f"compiler: {compiler_version()}"]
    lines += [f"package {package}: {package_version(package)}" for package in BUILD_PACKAGES]
    return "".join(line + "\n" for line in lines).encode()


def read_build_info(path, limit=65536):
    """The "name: value" lines of the BUILDINFO at PATH, the first of each name
    kept, values shown safely; {} when there is none to read."""
    try:
        with open(path, "rb") as file:
            text = file.read(limit).decode("utf-8", "replace")
    except OSError:
        return {}
    fields = {}
    for line in text.splitlines():
        name, colon, value = line.partition(": ")
        if colon:
            fields.setdefault(name, shown(value))
    return fields


def build_info_differences(fields):
    """The build packages whose versions in FIELDS (read_build_info) differ
    from this machine's, as "name (there X, here Y)", comma-separated."""
    differences = []
    for package in BUILD_PACKAGES:
        there = fields.get(f"package {package}")
        if there:
            here = package_version(package)
            if there != here:
                differences.append(f"{package} (there {there}, here {here})")
    return ", ".join(differences)


@contextlib.contextmanager
def locked(folder, *, shared):
    """Holds a lock on FOLDER while the block runs: shared beside other shared
    holders, exclusive alone. Raises Busy, at once, when it is held the other
    way. A folder is opened read-only, which even a read-only checkout allows;
    the descriptor is not inherited, so no tool started meanwhile keeps it."""
    descriptor = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        try:
            fcntl.flock(descriptor, (fcntl.LOCK_SH if shared else fcntl.LOCK_EX) | fcntl.LOCK_NB)
        except OSError as error:
            if error.errno in (errno.EWOULDBLOCK, errno.EAGAIN):
                raise Busy(folder) from None
            raise
        yield
    finally:
        os.close(descriptor)

