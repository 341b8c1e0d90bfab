#!/usr/bin/env bash
# Installs what building and running (setup.sh run) or also testing
# (setup.sh test) need: with apt-get on Debian, with Homebrew on macOS.
# MPI=mpich picks MPICH instead of Open MPI; STDLIB=libc++ adds clang and its
# C++ library. Where it cannot install (no package manager it knows, no
# rights), it prints what to install and stops with status 1; a step that
# fails is reported with the command to run by hand.
set -uo pipefail

purpose=${1:-run}
mpi=${MPI:-openmpi}

say() { echo "setup: $*" >&2; }

# Runs one install step; a failure stops everything, with the command.
step() {
  echo "setup: $*"
  "$@" && return 0
  say "this step failed: $*"
  say "run it by hand, then start make again"
  exit 1
}

debian_packages() {
  local list=(cmake make g++ python3 python3-matplotlib)
  if [ "$mpi" = mpich ]; then list+=(mpich libmpich-dev); else list+=(libopenmpi-dev openmpi-bin); fi
  [ "${STDLIB:-}" = libc++ ] && list+=(clang libc++-14-dev libc++abi-14-dev googletest)
  [ "$purpose" = test ] && list+=(libgtest-dev python3-jsonschema clang-format util-linux
                                  iproute2 openssh-server openssh-client
                                  slurmctld slurmd slurm-client munge)
  echo "${list[@]}"
}

brew_formulae() {
  local list=(cmake python)
  if [ "$mpi" = mpich ]; then list+=(mpich); else list+=(open-mpi); fi
  [ "$purpose" = test ] && list+=(googletest clang-format)
  echo "${list[@]}"
}

install_with_apt() {
  local missing=() package status sudo=""
  for package in $(debian_packages); do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null)
    [[ $status == *"install ok installed"* ]] || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    if sudo -n true 2>/dev/null; then
      sudo=sudo
    else
      say "missing packages: ${missing[*]}. Run as root:"
      say "  apt-get update && apt-get install -y ${missing[*]}"
      exit 1
    fi
  fi
  step $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -q
  step $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
}

install_with_brew() {
  local missing=() formula
  for formula in $(brew_formulae); do
    brew list --versions "$formula" >/dev/null 2>&1 || missing+=("$formula")
  done
  [ ${#missing[@]} -gt 0 ] && step brew install "${missing[@]}"
  # Charts need matplotlib, which Homebrew's Python leaves to pip.
  python3 -c 'import matplotlib' 2>/dev/null ||
    say "drives-results chart needs matplotlib: python3 -m pip install matplotlib"
  return 0
}

if [ "$(uname -s)" = Darwin ]; then
  command -v brew >/dev/null 2>&1 && { install_with_brew; exit 0; }
  say "Homebrew is not installed (https://brew.sh). Install it, or by hand: $(brew_formulae)"
  exit 1
fi
command -v apt-get >/dev/null 2>&1 && { install_with_apt; exit 0; }
command -v brew >/dev/null 2>&1 && { install_with_brew; exit 0; }
say "neither apt-get nor Homebrew is here. Install by hand what these Debian packages hold:"
say "  $(debian_packages)"
exit 1
