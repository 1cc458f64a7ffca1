# Sourced by the release scripts. Builds the program from this checkout with
# the windows preset in a folder of its own, made afresh so that nothing left
# from an earlier build can slip in, and sets BUILT_PROGRAM to its path.
build_program_afresh() { # DIR
  local dir=$1
  rm -rf "$dir" && mkdir -p "$dir"
  if ! { cmake --preset windows -B "$dir" && cmake --build "$dir" --target SorrelvaneUninstall; } >"$dir.log" 2>&1; then
    echo "$(basename "$0"): the build failed; see $dir.log" >&2
    return 1
  fi
  BUILT_PROGRAM="$dir/SorrelvaneUninstall.exe"
}

# The commit the build comes from, and whether the working tree differs from it.
describe_checkout() {
  local commit
  commit=$(git rev-parse HEAD 2>/dev/null) || { echo "a folder that is not a git checkout"; return; }
  if [[ -n "$(git status --porcelain --untracked-files=no 2>/dev/null)" ]]; then
    echo "commit $commit, with uncommitted changes"
  else
    echo "commit $commit"
  fi
}
