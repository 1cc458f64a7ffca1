# Sourced by the release scripts and by the reproducibility check: the one way
# the program is built for a release. It builds the committed tree alone (an
# export of HEAD, blob by blob, so that no untracked or modified file, and no
# filter or attribute of the checkout, can slip in) with the
# windows preset, in an environment emptied of everything that could change the
# bytes (CFLAGS, CXXFLAGS, LDFLAGS, MAKEFLAGS, CMake's own variables, a compiler
# earlier on PATH), so that what is named as built from commit X is exactly that.

project_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$project_root/scripts/children.sh"

# What makes the bytes: the cross compiler, the linker, the Windows headers and
# import libraries, and the build system. BUILDINFO records their versions.
build_packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix-runtime
  binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev mingw-w64-common cmake)
build_compiler=x86_64-w64-mingw32-g++-posix
build_path=/usr/sbin:/usr/bin:/sbin:/bin

# A user who verifies may not own the checkout, which git then refuses to read.
# Reading it is safe as long as none of its configured commands runs: of what
# is used here, an fsmonitor would, so that is switched off, and a filter
# driver would (git status runs clean filters), so a checkout that configures
# one is not read at all.
project_git() {
  git -c safe.directory="$project_root" -c core.fsmonitor=false -C "$project_root" "$@"
}

# Writes COMMIT's files into DIR exactly as committed, blob by blob: unlike
# git archive, no smudge filter, attribute or export setting can change them.
export_commit() { # COMMIT DIR
  local entry mode type object path
  while IFS= read -r -d '' entry; do
    path=${entry#*$'\t'}
    read -r mode type object <<<"${entry%%$'\t'*}"
    if [[ $mode != 100644 && $mode != 100755 ]]; then
      echo "$(basename "$0"): commit $1 holds $path as a $type of mode $mode, not a plain file" >&2
      return 1
    fi
    mkdir -p "$2/$(dirname "$path")" && project_git cat-file blob "$object" >"$2/$path" || return 1
    [[ $mode == 100644 ]] || chmod +x "$2/$path"
  done < <(project_git ls-tree -r -z "$1")
}

# Builds HEAD in WORK_DIR (an empty folder of the caller's, which the caller
# removes) and sets BUILT_PROGRAM to the program, BUILT_COMMIT to the commit,
# and BUILT_BESIDE_CHANGES to yes when the checkout then held changes that the
# build leaves out, else no.
# On failure says why on stderr, with the build's output in WORK_DIR/build.log.
build_program_afresh() { # WORK_DIR
  local work=$1
  BUILT_COMMIT=$(project_git rev-parse --verify --quiet 'HEAD^{commit}') || {
    echo "$(basename "$0"): $project_root is not a git checkout with a commit to build" >&2
    return 1
  }
  if project_git config --get-regexp '^filter\.' >/dev/null 2>&1; then
    echo "$(basename "$0"): $project_root configures git filter drivers (filter.*), which reading it would run; use a clone without them" >&2
    return 1
  fi
  BUILT_BESIDE_CHANGES=no
  [[ -z "$(project_git status --porcelain 2>/dev/null)" ]] || BUILT_BESIDE_CHANGES=yes
  mkdir -p "$work/source" && export_commit "$BUILT_COMMIT" "$work/source" || {
    echo "$(basename "$0"): could not export commit $BUILT_COMMIT into $work/source" >&2
    return 1
  }
  local scrubbed=(env -i -C "$work/source" PATH="$build_path" HOME="$work" LC_ALL=C TMPDIR="$work")
  if ! { run_child "${scrubbed[@]}" cmake --preset windows -B "$work/build" &&
      run_child "${scrubbed[@]}" cmake --build "$work/build" --target SorrelvaneUninstall; } >"$work/build.log" 2>&1; then
    echo "$(basename "$0"): the build of commit $BUILT_COMMIT failed; see $work/build.log" >&2
    return 1
  fi
  BUILT_PROGRAM="$work/build/SorrelvaneUninstall.exe"
}

# The commit that was built, and whether the checkout differs from it.
describe_build() {
  if [[ $BUILT_BESIDE_CHANGES == yes ]]; then
    echo "commit $BUILT_COMMIT; the checkout has uncommitted changes, which are not in this build"
  else
    echo "commit $BUILT_COMMIT"
  fi
}

# BUILDINFO: what a release was built from and with, one "name: value" a line.
write_build_info() { # FILE
  {
    echo "commit: $BUILT_COMMIT"
    if [[ $BUILT_BESIDE_CHANGES == yes ]]; then
      echo "uncommitted changes: yes, not in this release"
    else
      echo "uncommitted changes: none"
    fi
    echo "compiler: $(PATH=$build_path "$build_compiler" --version | head -n 1)"
    local package
    for package in "${build_packages[@]}"; do
      echo "package $package: $(package_version "$package")"
    done
  } >"$1"
}

package_version() { # PACKAGE
  dpkg-query -W -f='${Version}' "$1" 2>/dev/null || echo "not installed"
}

# The build packages whose versions here differ from those in a BUILDINFO, as
# "name (there X, here Y)", comma-separated; empty when none differ.
build_info_differences() { # BUILDINFO
  local package there here differences=()
  for package in "${build_packages[@]}"; do
    there=$(sed -n "s/^package $package: //p" "$1" | head -n 1)
    here=$(package_version "$package")
    [[ -n "$there" && "$there" != "$here" ]] && differences+=("$package (there $there, here $here)")
  done
  local joined
  printf -v joined '%s, ' "${differences[@]}"
  ((${#differences[@]} == 0)) || echo "${joined%, }"
}

# One release at a time in a checkout, and no verification while it runs;
# verifications may run side by side. The lock is on the checkout's own
# folder, which even a read-only checkout lets us open, and is held until the
# script exits. Returns 1, at once, when it is held the other way.
lock_checkout() { # shared|exclusive
  exec 9<"$project_root"
  flock --nonblock "--$1" 9
}
