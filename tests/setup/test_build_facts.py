"""What a build says of itself: its version (tools/drives_tools/version.py, which CMake runs
too) from git or from a source tarball's VERSION file, and what it keeps of its MPI
(cmake/Mpi.cmake): the launcher beside the compiler wrapper, among stand-ins that say which
MPI they are, and the run path to the MPI's libraries."""

import os
import re
import pathlib
import shutil
import subprocess
import sys
from typing import List

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tools"))
from drives_tools import version  # noqa: E402

GIT = dict(os.environ, GIT_AUTHOR_NAME="a", GIT_AUTHOR_EMAIL="a@example.org")
GIT.update(GIT_COMMITTER_NAME="a", GIT_COMMITTER_EMAIL="a@example.org")
COMMIT = "git init -q && git add -A && git commit -qm one"

# shell steps in the sources (CMakeLists.txt says 1.1.0) -> the version ({short}: the commit)
VERSIONS = [
    (COMMIT + " && git tag v1.1.0", "1.1.0"),
    (COMMIT, "1.1.0-dev+g{short}"),
    (COMMIT + " && git tag v1.0.0", "1.1.0-dev+g{short}"),
    (COMMIT + " && git tag v1.1.0 && echo more >> CMakeLists.txt", "1.1.0-dev+g{short}.dirty"),
    (COMMIT + " && git tag v1.1.0 && touch untracked", "1.1.0"),
    # Built by root in a user's checkout (sudo make install).
    (COMMIT + " && git tag v1.1.0 && chown -R 1:1 .", "1.1.0"),
    ("printf 'version 1.1.0-dev+gabcdef0\\n' > tools/drives_tools/VERSION", "1.1.0-dev+gabcdef0"),
    # Unpacked without its VERSION file into another checkout, which is not its own.
    ("cd .. && " + COMMIT + " && git tag v1.1.0", "1.1.0-dev"),
]


@pytest.mark.parametrize("steps, said", VERSIONS)
def test_version(tmp_path: pathlib.Path, steps: str, said: str) -> None:
    if not shutil.which("git"):
        pytest.skip("git is missing")
    if "chown" in steps and os.geteuid() != 0:
        pytest.skip("needs root to give the sources to another user")
    source = tmp_path / "source"
    (source / "tools" / "drives_tools").mkdir(parents=True)
    (source / "CMakeLists.txt").write_text("project(drives_mpi VERSION 1.1.0 LANGUAGES C)\n")
    subprocess.run(["sh", "-ec", steps], cwd=source, env=GIT, check=True)
    head = subprocess.run(
        ["git", "log", "-1", "--format=%H %h"], cwd=source, capture_output=True, text=True
    ).stdout.split()
    build = version.describe(str(source))
    assert build.version == said.format(short=head[-1] if head else "")
    if "+g" in said and "abcdef0" not in said:
        assert (build.commit, version.parse(build.text())) == (head[0], build)


def standin(path: pathlib.Path, says: str) -> None:
    """A compiler wrapper or launcher that says it is SAYS's (openmpi, mpich) when asked."""
    path.parent.mkdir(parents=True, exist_ok=True)
    answer = {"openmpi": "mpirun (Open MPI) 4.1.4", "mpich": "HYDRA build details:"}[says]
    path.write_text(f'#!/bin/sh\n[ "$1" = --version ] && echo "{answer}"\nexit 0\n')
    path.chmod(0o755)


# stand-ins (path=MPI, path->link), the wrapper, its MPI -> the launcher recorded
LAUNCHERS = [
    # Debian: each MPI under its own names, the plain ones the system's choice.
    ("bin/mpicc.openmpi=openmpi bin/mpirun.openmpi=openmpi bin/mpirun=mpich", "bin/mpicc.openmpi",
     "openmpi", "bin/mpirun.openmpi"),
    ("bin/mpicc=openmpi bin/mpirun.openmpi=openmpi bin/mpirun=mpich", "bin/mpicc", "openmpi",
     "bin/mpirun.openmpi"),
    ("bin/mpicc.mpich=mpich bin/mpiexec.mpich=mpich bin/mpiexec=openmpi", "bin/mpicc.mpich",
     "mpich", "bin/mpiexec.mpich"),
    # A module's prefix beside Debian's own.
    ("module/bin/mpicc=openmpi module/bin/mpirun=openmpi bin/mpirun.openmpi=openmpi",
     "module/bin/mpicc", "openmpi", "module/bin/mpirun"),
    ("mpich/bin/mpicc=mpich mpich/bin/mpiexec.hydra=mpich", "mpich/bin/mpicc", "mpich",
     "mpich/bin/mpiexec.hydra"),
    # A Spack view: links to the prefix, which holds the launcher.
    ("prefix/bin/mpicc=openmpi prefix/bin/mpirun=openmpi view/bin/mpicc->prefix/bin/mpicc",
     "view/bin/mpicc", "openmpi", "prefix/bin/mpirun"),
    # None of its own: none recorded, rather than another MPI's.
    ("bin/mpicc=openmpi bin/mpirun=mpich", "bin/mpicc", "openmpi", ""),
    ("bin/mpicc=openmpi", "bin/mpicc", "openmpi", ""),
]  # fmt: skip


def mpi_cmake(wrapper: str, family: str, libraries: List[str]) -> List[str]:
    """What cmake/Mpi.cmake finds: [launcher line, run path line]."""
    done = subprocess.run(
        ["cmake", f"-DWRAPPER={wrapper}", f"-DFAMILY={family}",
         f"-DLIBRARIES={';'.join(libraries)}", "-P", str(ROOT / "cmake" / "Mpi.cmake")],
        capture_output=True, text=True, timeout=300,
    )  # fmt: skip
    assert done.returncode == 0, done.stderr
    return done.stderr.splitlines()


@pytest.mark.parametrize("files, wrapper, family, launcher", LAUNCHERS)
def test_launcher(
    tmp_path: pathlib.Path, files: str, wrapper: str, family: str, launcher: str
) -> None:
    for file in files.split():
        if "->" in file:
            link, target = file.split("->")
            (tmp_path / link).parent.mkdir(parents=True, exist_ok=True)
            (tmp_path / link).symlink_to(tmp_path / target)
        else:
            path, says = file.split("=")
            standin(tmp_path / path, says)
    found = mpi_cmake(str(tmp_path / wrapper), family, [])[0]
    assert found.rstrip() == f"launcher {tmp_path / launcher if launcher else ''}".rstrip()


def system_libc() -> str:
    """The C library this process runs on, which the dynamic loader finds by itself."""
    with open("/proc/self/maps") as maps:
        return next(row.split()[-1] for row in maps if "/libc.so" in row or "/libc-" in row)


# where the MPI's library lies -> whether its directory is in the run path: a copy in a module's
# prefix, which the loader knows nothing of; a link to the system's own (Debian's openmpi/lib).
@pytest.mark.parametrize("kind, kept", [("copy", True), ("link", False)])
def test_run_path(tmp_path: pathlib.Path, kind: str, kept: bool) -> None:
    ldconfig = shutil.which("ldconfig", path="/sbin:/usr/sbin:" + os.environ["PATH"])
    if not os.path.exists("/proc/self/maps") or not ldconfig:
        pytest.skip("needs Linux's loader cache (ldconfig)")
    libc = system_libc()
    library = tmp_path / "lib" / os.path.basename(libc)
    library.parent.mkdir()
    if kind == "copy":
        shutil.copy(libc, library)
    else:
        library.symlink_to(libc)
    found = mpi_cmake("", "openmpi", [str(library)])[1]
    assert found.rstrip() == f"run path {library.parent if kept else ''}".rstrip()


def test_another_wrapper(tmp_path: pathlib.Path) -> None:
    """A build directory configured again with another MPI's wrapper (another module loaded)
    takes that MPI's library, not the one its cache holds."""
    real = shutil.which("mpicc.openmpi") or shutil.which("mpicc.mpich")
    if not real:
        pytest.skip("needs Debian's mpicc.openmpi or mpicc.mpich")
    # The module: the real wrapper, but its library copied to a directory of the module's own.
    module = tmp_path / "module"
    (module / "lib").mkdir(parents=True)
    shown = subprocess.run([real, "-show"], capture_output=True, text=True).stdout
    found = re.search(r"-L(\S+) .*-l(mpi\w*)", shown)
    if not found:
        pytest.skip(f"{real} -show names no library directory: {shown}")
    library = f"lib{found[2]}.so"
    shutil.copy(os.path.join(found[1], library), module / "lib" / library)
    wrapper = module / "mpicc"
    wrapper.write_text(
        f'#!/bin/sh\ncase "$1" in -show*|--showme*) "{real}" "$@" | sed "s|-L{found[1]}|-L{module}/lib|g";;'
        f' *) exec "{real}" "$@";; esac\n'
    )
    wrapper.chmod(0o755)
    project = tmp_path / "project"
    project.mkdir()
    (project / "CMakeLists.txt").write_text(
        "cmake_minimum_required(VERSION 3.16)\nproject(probe C)\n"
        f'include("{ROOT}/cmake/Mpi.cmake")\ndrives_find_mpi()\n'
        'message(STATUS "library: ${MPI_C_LIBRARIES}")\n'
    )
    said = []
    for compiler in (real, str(wrapper)):
        done = subprocess.run(
            ["cmake", "-S", str(project), "-B", str(tmp_path / "build"),
             f"-DMPI_C_COMPILER={compiler}"],
            capture_output=True, text=True, timeout=600,
        )  # fmt: skip
        assert done.returncode == 0, done.stdout + done.stderr
        said.append(re.search(r"library: (.*)", done.stdout)[1])  # type: ignore[index]
    assert str(module) not in said[0] and said[1] == f"{module}/lib/{library}", said
