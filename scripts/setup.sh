#!/usr/bin/env bash
# Looks for what building and running (setup.sh run), making a package
# (setup.sh package) or testing (setup.sh test) need, and installs only what
# is missing: with apt-get (Debian, Ubuntu), dnf (Fedora, the RHEL family),
# zypper (SUSE) or Homebrew (macOS). What is already on PATH counts, whatever
# put it there (environment modules, Spack, a build from source), so on a
# cluster with everything loaded nothing is installed and no root is needed.
# MPI=mpich wants MPICH instead of Open MPI; STDLIB=libc++ adds clang and its
# C++ library (Debian's, for the tests). Where it cannot install (no rights,
# no package manager it knows) it prints the one command to run and stops
# with status 1, having installed nothing; so it does when the MPI found is
# not whole (its launcher missing, or another MPI's beside it).
# `setup.sh mpicc` prints the MPI compiler wrapper the build uses, for make.
# Runs on macOS's bash 3.2: no associative arrays.
set -uo pipefail

usage() {
  cat <<'EOF'
usage: setup.sh [run | test | package | mpicc]
  run      find, or install, what building and running drives_mpi need (the default)
  test     the same, and what the tests and the checks need
  package  the same, and what making a package needs
  mpicc    print the MPI compiler wrapper the build uses, and install nothing
MPI=mpich for MPICH instead of Open MPI; STDLIB=libc++ for clang with libc++;
DRIVES_PYTHON=/path/to/python3 for the Python everything runs on.
EOF
}

# Nothing is looked for or installed before the arguments are known good.
case $# in
  0) purpose=run ;;
  1) purpose=$1 ;;
  *) purpose=" $*" ;;
esac
case $purpose in
  run | test | package | mpicc) ;;
  -h | --help)
    usage
    exit 0
    ;;
  *)
    usage >&2
    exit 2
    ;;
esac
case ${MPI:-openmpi} in
  openmpi | mpich) ;;
  *)
    echo "setup: MPI=$MPI: it takes openmpi or mpich" >&2
    exit 2
    ;;
esac
mpi=${MPI:-openmpi}
here=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d) || exit 1
trap 'rm -rf "$scratch"' EXIT

say() { echo "setup: $*" >&2; }
stop() {
  say "$@"
  exit 1
}

# Runs one install step; a failure stops everything, with the command.
step() {
  echo "setup: $*"
  "$@" && return 0
  stop "this step failed: $*. Run it by hand, then start make again"
}

mpi_name() { if [ "$1" = mpich ]; then echo MPICH; else echo "Open MPI"; fi; }

# Which MPI a compiler wrapper (mpicc) or a launcher belongs to, from what it
# says of itself: Open MPI's wrapper answers --showme:version, MPICH's -show
# names its library, and the launchers' --version name their MPI.
owner() {
  local said
  if [ "$2" = wrapper ]; then
    said=$("$1" --showme:version 2>/dev/null)
    [[ $said == *"Open MPI"* ]] || said=$("$1" -show 2>/dev/null)
  else
    said=$("$1" --version 2>/dev/null)
  fi
  case $said in
    *"Open MPI"* | *OpenRTE*) echo openmpi ;;
    *[Mm][Pp][Ii][Cc][Hh]* | *HYDRA*) echo mpich ;;
    *) echo unknown ;;
  esac
}

# The names of this MPI's launcher, as the build looks for them beside its
# compiler wrapper (cmake/Mpi.cmake).
launchers() { if [ "$mpi" = mpich ]; then echo mpiexec mpiexec.hydra mpirun; else echo mpirun mpiexec; fi; }

# The compiler wrapper the build uses (make hands it to CMake): the first
# mpicc on PATH, as `module load` and `spack load` users expect, unless it is
# not this MPI's and this MPI's own name for it is there too (Debian's
# mpicc.mpich beside an Open MPI mpicc).
wrapper() {
  local plain named
  plain=$(command -v mpicc 2>/dev/null)
  named=$(command -v "mpicc.$mpi" 2>/dev/null)
  if [ -n "$plain" ] && { [ -z "$named" ] || [ "$(owner "$plain" wrapper)" = "$mpi" ]; }; then
    echo "$plain"
  else
    [ -n "$named" ] && echo "$named"
  fi
}

# The launcher beside a compiler wrapper, as the build records it, in
# $launcher: under the wrapper's suffix, then the MPI's, then plain; not
# another MPI's, which $other names where one is there.
launcher_of() {
  local dir=${1%/*} name=${1##*/} suffix candidate
  launcher="" other=""
  set -- ".$mpi" ""
  case $name in mpicc?*) set -- "${name#mpicc}" "$@" ;; esac
  for suffix in "$@"; do
    for candidate in $(launchers); do
      candidate=$dir/$candidate$suffix
      [ -f "$candidate" ] && [ -x "$candidate" ] || continue
      case $(owner "$candidate" launcher) in
        "$mpi" | unknown)
          launcher=$candidate
          return 0
          ;;
        *) other=${other:-$candidate} ;;
      esac
    done
  done
  return 1
}

at_least() { # version minimum: compares up to three numbers
  local IFS=. i
  local -a have=($1) want=($2)
  for i in 0 1 2; do
    [ "${have[i]:-0}" -gt "${want[i]:-0}" ] && return 0
    [ "${have[i]:-0}" -lt "${want[i]:-0}" ] && return 1
  done
  return 0
}

first_on_path() {
  local name
  for name in "$@"; do command -v "$name" 2>/dev/null && return 0; done
  return 1
}

# A package the package database knows as installed; tools that are only
# ever system packages (daemons, often outside a user's PATH) are looked up
# there rather than on PATH.
installed() {
  local package
  [ $# -gt 0 ] || return 1
  for package in "$@"; do
    case $manager in
      apt) [[ $(dpkg-query -W -f='${Status}' "$package" 2>/dev/null) == *"ok installed"* ]] ;;
      dnf | zypper) rpm -q "$package" >/dev/null 2>&1 ;;
      *) PATH="$PATH:/usr/sbin:/sbin" command -v "$package" >/dev/null 2>&1 ;;
    esac || return 1
  done
}

# probe NEED: true when what NEED names is here, with $what saying what was
# found; false with $lack saying what is missing. A half MPI stops at once.
probe() {
  local cc cxx found version
  case $1 in
    compilers)
      lack="C and C++17 compilers (cc, c++)"
      cc=$(first_on_path ${CC:-cc gcc clang}) && cxx=$(first_on_path ${CXX:-c++ g++ clang++}) || return 1
      printf 'int main(void) { return 0; }\n' >"$scratch/c.c"
      printf '#include <optional>\nint main() { return std::optional<int>(0).value(); }\n' >"$scratch/cxx.cpp"
      "$cc" -o "$scratch/c" "$scratch/c.c" >/dev/null 2>&1 &&
        "$cxx" -std=c++17 -o "$scratch/cxx" "$scratch/cxx.cpp" >/dev/null 2>&1 || return 1
      what="$cc and $cxx" ;;
    cmake)
      version=$(sed -n 's/^cmake_minimum_required(VERSION \([0-9.]*\).*/\1/p' "$here/CMakeLists.txt")
      lack="CMake $version or newer"
      found=$(cmake --version 2>/dev/null | sed -n 's/^cmake version \([0-9.]*\).*/\1/p')
      [ -n "$found" ] || return 1
      at_least "$found" "$version" || { lack="CMake $version or newer (cmake is $found)"; return 1; }
      what="cmake $found" ;;
    make)
      lack=make
      what=$(command -v make) ;;
    python)
      lack="Python 3.8 or newer (python3)"
      version=$("$here/tools/python" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)
      [ -n "$version" ] && at_least "$version" 3.8 || return 1
      what="Python $version" ;;
    mpi)
      lack="$(mpi_name "$mpi") (mpicc and its launcher)"
      found=$(wrapper) || return 1
      version=$(owner "$found" wrapper)
      if [ "$version" != "$mpi" ] && [ "$version" != unknown ]; then
        # Debian installs each MPI beside the others, under its own names.
        [ "$manager" = apt ] && return 1
        stop "$found is $(mpi_name "$version")'s compiler wrapper, not $(mpi_name "$mpi")'s:" \
          "put $(mpi_name "$mpi") first on PATH (module load, spack load), or build with MPI=$version"
      fi
      launcher_of "$found"
      [ -n "$launcher" ] || [ -z "$other" ] ||
        stop "$other is $(mpi_name "$(owner "$other" launcher)")'s launcher, but $found is" \
          "$(mpi_name "$mpi")'s compiler wrapper: put one MPI's first on PATH"
      [ -n "$launcher" ] ||
        stop "$found is $(mpi_name "$mpi")'s compiler wrapper, but its launcher is missing:" \
          "none of $(launchers) is beside it"
      what="$(mpi_name "$mpi") ($found, $launcher)" ;;
    libcxx)
      lack="clang with libc++ and GoogleTest's sources"
      installed clang libc++-14-dev libc++abi-14-dev googletest || return 1
      what="clang with libc++" ;;
    gtest)
      lack=GoogleTest
      mkdir -p "$scratch/gtest"
      printf 'cmake_minimum_required(VERSION 3.16)\nproject(probe CXX)\nfind_package(GTest REQUIRED)\n' \
        >"$scratch/gtest/CMakeLists.txt"
      cmake -S "$scratch/gtest" -B "$scratch/gtest/build" >/dev/null 2>&1 || return 1
      what=GoogleTest ;;
    pymodules)
      lack="the Python packages jsonschema, matplotlib, pytest and mypy"
      "$here/tools/python" -c 'import jsonschema, matplotlib, pytest, mypy' >/dev/null 2>&1 || return 1
      what="jsonschema, matplotlib, pytest and mypy" ;;
    format)
      lack="clang-format and black"
      found=$(command -v clang-format) && command -v black >/dev/null 2>&1 || return 1
      what="$found and black" ;;
    namespaces)
      lack="util-linux (unshare, nsenter, mount)"
      installed util-linux || installed unshare nsenter mount || return 1
      what=util-linux ;;
    network)
      lack="iproute2 (ip)"
      [ "$manager" = dnf ] && found=iproute || found=iproute2
      installed $found || installed ip || return 1
      what=iproute2 ;;
    ssh)
      lack="OpenSSH's server and client"
      [ "$manager" = apt ] && found=openssh-client || found=openssh-clients
      installed openssh-server $found || installed sshd ssh || return 1
      what=OpenSSH ;;
    slurm)
      lack="Slurm and munge"
      installed $(packages slurm) || installed slurmctld slurmd sbatch munged || return 1
      what="Slurm and munge" ;;
    packaging)
      lack="the package builders (dpkg-dev, or rpm-build)"
      installed $(packages packaging) || installed dpkg-shlibdeps || installed rpmbuild || return 1
      what="the package builder" ;;
    debian-tools)
      lack="mmdebstrap, lintian and rpm"
      installed mmdebstrap lintian rpm || return 1
      what="mmdebstrap, lintian and rpm" ;;
  esac
  [ -n "$what" ]
}

needs() {
  echo compilers cmake make python mpi
  [ "${STDLIB:-}" = libc++ ] && [ "$manager" = apt ] && echo libcxx
  [ "$purpose" = package ] || [ "$purpose" = test ] && [ "$manager" != brew ] && echo packaging
  [ "$purpose" = test ] || return 0
  [ "${STDLIB:-}" = libc++ ] || echo gtest
  echo pymodules format
  # The end-to-end, cluster and package tests are Linux's; elsewhere they skip.
  [ "$(uname -s)" = Linux ] && echo namespaces network ssh slurm
  [ "$manager" = apt ] && echo debian-tools
  return 0
}

# packages NEED: what brings NEED with this package manager; nothing where it
# cannot (the command to run instead is in by_hand).
packages() {
  case $1:$manager in
    compilers:apt) echo g++ ;;
    compilers:dnf | compilers:zypper) echo gcc-c++ ;;
    cmake:*) echo cmake ;;
    make:brew) ;;
    make:*) echo make ;;
    python:brew) echo python ;;
    python:*) echo python3 ;;
    mpi:apt) if [ "$mpi" = mpich ]; then echo mpich libmpich-dev; else echo libopenmpi-dev openmpi-bin; fi ;;
    mpi:dnf) echo "$mpi-devel" ;;
    mpi:zypper) if [ "$mpi" = mpich ]; then echo mpich-devel; else echo openmpi4-devel; fi ;;
    mpi:brew) if [ "$mpi" = mpich ]; then echo mpich; else echo open-mpi; fi ;;
    libcxx:apt) echo clang libc++-14-dev libc++abi-14-dev googletest ;;
    gtest:apt) echo libgtest-dev ;;
    gtest:dnf) echo gtest-devel ;;
    gtest:zypper) echo gtest ;;
    gtest:brew) echo googletest ;;
    pymodules:brew) ;;
    pymodules:*) echo python3-jsonschema python3-matplotlib python3-pytest python3-mypy ;;
    format:dnf) echo clang-tools-extra black ;;
    format:zypper) echo clang-tools python3-black ;;
    format:*) echo clang-format black ;;
    namespaces:*) echo util-linux ;;
    network:dnf) echo iproute ;;
    network:*) echo iproute2 ;;
    ssh:apt) echo openssh-server openssh-client ;;
    ssh:*) echo openssh-server openssh-clients ;;
    slurm:apt) echo slurmctld slurmd slurm-client munge ;;
    slurm:dnf) echo slurm slurm-slurmctld slurm-slurmd munge ;;
    slurm:zypper) echo slurm slurm-munge munge ;;
    packaging:apt) echo dpkg-dev ;;
    packaging:*) echo rpm-build ;;
    debian-tools:apt) echo mmdebstrap lintian rpm ;;
  esac
}

by_hand() {
  case $1 in
    compilers) echo "the compilers: xcode-select --install" ;;
    # Homebrew's Python takes no pip install of its own (it is externally
    # managed); a virtual environment does, and DRIVES_PYTHON points at it.
    pymodules) echo "the Python packages: python3 -m venv ~/drives-venv && ~/drives-venv/bin/pip install jsonschema matplotlib pytest mypy, then DRIVES_PYTHON=~/drives-venv/bin/python3" ;;
  esac
}

# Packages of the RHEL family that come from EPEL rather than the system's
# own repositories.
EPEL="gtest-devel python3-matplotlib black python3-mypy slurm slurm-slurmctld slurm-slurmd munge"

if [ "$purpose" = mpicc ]; then
  wrapper
  exit
fi

if [ "$(uname -s)" = Darwin ]; then
  manager=brew
  command -v brew >/dev/null 2>&1 || manager=none
else
  manager=none
  for candidate in apt:apt-get dnf:dnf zypper:zypper brew:brew; do
    command -v "${candidate#*:}" >/dev/null 2>&1 && { manager=${candidate%:*}; break; }
  done
fi

# Looks for every need; fills $missing with the needs not met and $found
# with what was found.
look() {
  local need
  missing=() found=() lacks=()
  for need in $(needs); do
    what="" lack=""
    if probe "$need"; then found+=("$what"); else missing+=("$need") lacks+=("$lack"); fi
  done
}

# Says what was found and ends; charts are the one use of matplotlib
# outside the tests, so without it only a note is due.
found_all() {
  echo "setup: found $(printf '%s; ' "${found[@]}" | sed 's/; $//')"
  [ "$purpose" = test ] || "$here/tools/python" -c 'import matplotlib' >/dev/null 2>&1 ||
    say "drives-results chart needs matplotlib: $(packages pymodules | sed 's/.* //;s/^$/brew install python-matplotlib/')"
  exit 0
}

look
[ ${#missing[@]} -eq 0 ] && found_all
lacking=$(printf '%s, ' "${lacks[@]}" | sed 's/, $//')

if [ "$manager" = none ]; then
  [ "$(uname -s)" = Darwin ] &&
    stop "missing: $lacking. Homebrew is not installed (https://brew.sh): install it, or these by hand"
  stop "missing: $lacking. No package manager this set-up knows (apt-get, dnf, zypper, brew) is" \
    "here: install them with this system's own, or load them (module load, spack load), then make again"
fi

list=() notes=()
for need in "${missing[@]}"; do
  packages=$(packages "$need")
  list+=($packages)
  [ -z "$packages" ] && [ -n "$(by_hand "$need")" ] && notes+=("$(by_hand "$need")")
done

case $manager in
  apt) install=(env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${list[@]}")
    shown="apt-get update && apt-get install -y ${list[*]}" ;;
  dnf) install=(dnf install -y "${list[@]}") shown="dnf install -y ${list[*]}" ;;
  zypper) install=(zypper --non-interactive install "${list[@]}") shown="zypper install ${list[*]}" ;;
  brew) install=(brew install "${list[@]}") shown="brew install ${list[*]}" ;;
esac

if [ "$manager" = dnf ] && rhel=$(rpm -E %rhel 2>/dev/null) && [ "$rhel" != %rhel ] &&
  ! rpm -q epel-release >/dev/null 2>&1; then
  for package in "${list[@]}"; do
    [[ " $EPEL " == *" $package "* ]] &&
      stop "missing: $lacking. $package and others come from EPEL, which is not enabled here." \
        "As root: dnf install -y epel-release && dnf config-manager --set-enabled crb &&" \
        "$shown"
  done
fi

sudo=()
if [ ${#list[@]} -gt 0 ] && [ "$manager" != brew ] && [ "$(id -u)" -ne 0 ]; then
  sudo -n true 2>/dev/null || stop "missing: $lacking. Run as root:" $'\n'"setup:   $shown"
  sudo=(sudo)
fi
if [ ${#list[@]} -gt 0 ]; then
  [ "$manager" = apt ] && step "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
  step "${sudo[@]}" "${install[@]}"
fi
for note in "${notes[@]}"; do say "also by hand: $note"; done

look
for need in "${missing[@]}"; do
  case $need:$manager in
    pymodules:brew) ;;  # the tests that need them say so
    mpi:dnf | mpi:zypper)
      stop "$(mpi_name "$mpi") is installed as an environment module here: load it" \
        "(module load mpi/$mpi-x86_64 on Fedora and the RHEL family, module load gnu $mpi on SUSE)," \
        "then make again" ;;
    *) stop "still missing after the install: $(printf '%s, ' "${lacks[@]}" | sed 's/, $//')" ;;
  esac
done
found_all
