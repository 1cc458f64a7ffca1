# Sourced by release.sh and verify-release.sh, which are thin entry points to
# the release tooling in release_tools/, run with Debian's own Python in
# isolated mode, so that no PYTHONPATH, user site or working folder can put
# modules of someone else's in front of its own, and writing no bytecode (-B),
# so that a run leaves nothing in the checkout.
#   release_tool MODULE SAYING ARGUMENTS...
# SAYING starts each line that says why it cannot run.
release_tool() {
  local module=$1 saying=$2 root
  shift 2
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  # Tools are installed only where the user may; elsewhere a missing one is named.
  if ((EUID == 0)); then
    bash "$root/scripts/setup.sh" release >&2 ||
      { echo "$saying the tools it needs could not be installed (scripts/setup.sh release)" >&2; exit 2; }
  fi
  [[ -x /usr/bin/python3 ]] ||
    { echo "$saying /usr/bin/python3 is missing; install it with: sudo bash scripts/setup.sh release" >&2; exit 2; }
  exec /usr/bin/python3 -I -B "$root/release_tools/$module.py" "$@"
}
