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
