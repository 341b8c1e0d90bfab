"""The source tarball, plain CMake and the package in one clean Debian root made from apt's
registry, holding only a compiler, CMake, make, an MPI, Python 3 and Debian's package builder:
the tarball (package_source) is built there with plain CMake, a virtual environment's Python
first on PATH, installed, run on one rank and uninstalled without a file left; its .deb, made
twice, is the same bytes and has nothing lintian warns of. Then the root loses all of those,
the .deb goes in with apt-get, which must bring what it needs back, runs two ranks, says one
version everywhere, reads its results with drives-results, and is removed without a file left.
The RPM of the same description: its files, requirements and header. Every mount is made in
namespaces that end with the test however it ends; the root is removed at the end, a killed
run's by the next.    --build BUILD_DIR --mpi openmpi|mpich
"""

import ctypes
import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request
from typing import Any, Iterator, List, Tuple

import pytest

PREFIX = os.path.join("/var/tmp", "drives-package-")
# Each MPI's packages: the build's and the launcher's.
PACKAGES = {"openmpi": ("libopenmpi-dev", "openmpi-bin"), "mpich": ("libmpich-dev", "mpich")}
ENV = {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "HOME": "/root",
       "LC_ALL": "C.UTF-8", "DEBIAN_FRONTEND": "noninteractive"}  # fmt: skip
SAVED = "Results have been saved in a file and you can find it at: "
# The shell's prelude inside the root: a command that must fail, the result file of a run's
# console, and a check.
PRELUDE = f"""absent() {{ if "$@" >/dev/null 2>&1; then echo "FAILED: here: $*" >&2; exit 1; fi; }}
saved() {{ test -s "$(sed -n 's/^{SAVED}//p' "$1")" || {{ echo "FAILED: no result file" >&2; exit 1; }}; }}
must() {{ "$@" || {{ echo "FAILED: $*" >&2; exit 1; }}; }}
"""
# A Python of its own first on PATH, as a virtual environment or pyenv puts it, and a
# maintainer, as a packager has them.
PLAIN = """absent python3 -c 'import matplotlib'
absent test -e /usr/include/gtest
mkdir /src && tar -xzf /tmp/source.tar.gz -C /src --strip-components=1
absent test -e /src/.git
python3 -m venv --without-pip /opt/venv
export PATH=/opt/venv/bin:$PATH VIRTUAL_ENV=/opt/venv
export DEBFULLNAME="drives_mpi tests" DEBEMAIL=tests@drives-mpi.example.org
cmake -S /src -B /tmp/build -DCMAKE_BUILD_TYPE=Release
cmake --build /tmp/build -j 2
cmake --install /tmp/build --prefix /opt/drives
must test "$(head -n 1 /opt/drives/bin/drives-run)" = "#!/opt/venv/bin/python3"
for page in drives_mpi drives-run drives-results; do
  must test -s /opt/drives/share/man/man1/$page.1.gz
done
cd /tmp && /opt/drives/bin/drives-run -n 1 --dir /tmp/plain </dev/null >/tmp/plain.txt
saved /tmp/plain.txt
cmake --build /tmp/build --target uninstall >/dev/null
absent test -e /opt/drives
cd /tmp/build && cpack -G DEB -B /tmp/deb >/dev/null && cpack -G DEB -B /tmp/again >/dev/null
must cmp /tmp/deb/*.deb /tmp/again/*.deb
"""


def package(dev: str, launcher: str) -> str:
    """The package's turn in the root."""
    return f"""rm -rf /tmp/build /src /opt/venv
apt-get purge -y -q --autoremove g++ cmake make {dev} {launcher} python3 dpkg-dev file
absent command -v python3
absent command -v mpirun
apt-get install -y -q /tmp/package.deb >/tmp/install.txt
sed -n '/NEW packages/,/newly installed/p' /tmp/install.txt
must test "$(head -n 1 /usr/bin/drives-run)" = "#!/usr/bin/python3"
cd /tmp && drives-run -n 2 --dir /tmp/packaged </dev/null >/tmp/packaged.txt
saved /tmp/packaged.txt
version=$(drives-results --version | sed 's/^drives-results //')
echo "version: $version"
must test "$(drives-run --version)" = "drives-run $version"
must test "$(dpkg-query -W -f='${{Version}}' drives-mpi)" = "$(echo "$version" | tr - '~')"
must grep -aq "drives_mpi build: version $version; " /usr/bin/drives_mpi
must grep -q "\\"drives_mpi_version\\": \\"$version\\"" /tmp/packaged/*.record.json
drives-results json /tmp/packaged >/tmp/packaged.json
must grep -q '"ranks": 2,' /tmp/packaged.json
dpkg -L drives-mpi >/tmp/files
apt-get remove -y -q drives-mpi >/dev/null
while read -r file; do
  [ -d "$file" ] || [ ! -e "$file" ] || {{ echo "FAILED: left behind: $file" >&2; exit 1; }}
done </tmp/files
absent test -e /usr/share/drives_mpi
absent test -e /usr/share/doc/drives-mpi
"""


def run(args: List[str], timeout: float = 900, **options: Any) -> Tuple[int, str]:
    """Runs args in a process group of its own that dies with this process, or is killed
    when it ends otherwise (an exception, a signal); its status and output."""
    child = subprocess.Popen(
        args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace",
        start_new_session=True,  # and PR_SET_PDEATHSIG:
        preexec_fn=lambda: ctypes.CDLL(None).prctl(1, signal.SIGKILL), **options,
    )  # fmt: skip
    try:
        output = child.communicate(timeout=timeout)[0]
    finally:
        if child.poll() is None:
            os.killpg(child.pid, signal.SIGKILL)
            child.wait()
    return child.returncode, output


def inside(root: str, script: str, what: str) -> str:
    """Runs a shell script in the root, /proc, /sys and /dev mounted in namespaces that end
    with it; fails the test with its output's end when the script fails."""
    mounts = (
        'mount -t proc proc "$0/proc"; mount --rbind /sys "$0/sys"; mount --rbind /dev '
        '"$0/dev"; mount -t tmpfs tmpfs "$0/dev/shm"; exec chroot "$0" /bin/sh -ec "$1"'
    )
    status, output = run(
        ["unshare", "--mount", "--pid", "--fork", "--kill-child", "--propagation", "private",
         "sh", "-ec", mounts, root, PRELUDE + script],
        1200,
        env=ENV,
    )  # fmt: skip
    assert status == 0, f"{what} (status {status}):\n" + "\n".join(output.splitlines()[-40:])
    return output


def remove(scratch: str) -> None:
    """Removes a scratch directory once nothing is mounted in it."""
    with open("/proc/self/mountinfo") as stream:
        mounted = [row.split()[4] for row in stream if row.split()[4].startswith(scratch)]
    assert not mounted, f"still mounted, left in place: {mounted}"
    subprocess.run(["rm", "-rf", "--one-file-system", scratch], check=True)


def remove_dead_runs() -> None:
    for scratch in glob.glob(PREFIX + "*"):
        pid = re.match(r"(\d+)-", scratch[len(PREFIX) :])
        try:
            os.kill(int(pid[1]), 0) if pid else None
        except ProcessLookupError:
            remove(scratch)


def mirror() -> Tuple[str, str]:
    """The suite of this system and the first of apt's sources that serves it."""
    with open("/etc/os-release") as stream:
        release = dict(row.rstrip("\n").split("=", 1) for row in stream if "=" in row)
    suite = release.get("VERSION_CODENAME", "").strip('"')
    for path in ["/etc/apt/sources.list"] + sorted(glob.glob("/etc/apt/sources.list.d/*")):
        text = (
            open(path).read()
            if path.endswith((".list", ".sources")) and os.path.isfile(path)
            else ""
        )
        for uri, suites in re.findall(r"^deb\s+(?:\[[^]]*\]\s+)?(\S+)\s+(\S+)", text, re.M):
            if suites == suite:
                return suite, uri
        for stanza in re.split(r"\n\s*\n", text):
            fields = dict(re.findall(r"^([\w-]+):\s*(.*)$", stanza, re.M))
            if (
                "deb" in fields.get("Types", "").split()
                and suite in fields.get("Suites", "").split()
            ):
                return suite, fields["URIs"].split()[0]
    pytest.skip(f"apt has no source for this system's suite {suite!r}")


@pytest.fixture
def scratch() -> Iterator[str]:
    """A directory of this run's own under PREFIX, removed at the end however the test ends
    (INT, TERM and HUP end it as exceptions do); a killed run's goes at the next."""
    if not sys.platform.startswith("linux") or os.geteuid() != 0:
        pytest.skip("needs root on Linux (chroot and mounts)")
    os.environ["PATH"] = ENV["PATH"]
    for tool in ("mmdebstrap", "unshare", "lintian", "rpm", "dpkg-deb", "cpack"):
        if not shutil.which(tool):
            pytest.skip(f"{tool} is missing (scripts/setup.sh test installs it)")
    remove_dead_runs()
    made = tempfile.mkdtemp(prefix=f"{PREFIX}{os.getpid()}-")
    for stop in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(stop, lambda number, _: sys.exit(128 + number))
    try:
        yield made
    finally:
        remove(made)


def cpack(build: str, scratch: str, *args: str) -> None:
    status, output = run(["cpack", *args, "-B", scratch], cwd=build)
    assert status == 0, f"cpack {' '.join(args)}: {output}"


def test_clean_root(opts: Any, scratch: str) -> None:
    build, mpi = os.path.abspath(opts.build), opts.mpi
    dev, launcher = PACKAGES[mpi]
    suite, uri = mirror()
    try:
        urllib.request.urlopen(f"{uri.rstrip('/')}/dists/{suite}/InRelease", timeout=30).close()
    except OSError as error:
        pytest.skip(f"the registry {uri} cannot be reached: {error}")
    started = time.monotonic()
    cpack(build, scratch, "--config", os.path.join(build, "CPackSourceConfig.cmake"))
    cpack(build, scratch, "-G", "RPM", "--config", os.path.join(build, "CPackConfig.cmake"))
    (tarball,) = glob.glob(os.path.join(scratch, "drives-mpi-*.tar.gz"))
    (rpm,) = glob.glob(os.path.join(scratch, "*.rpm"))
    root = os.path.join(scratch, "root")
    status, output = run(
        ["unshare", "--mount", "--pid", "--mount-proc", "--fork", "--kill-child",
         "--propagation", "private", "mmdebstrap", "--variant=apt", "--skip=cleanup/apt",
         f"--include=g++,cmake,make,python3,{dev},{launcher},dpkg-dev,file", suite, root, uri]
    )  # fmt: skip
    assert status == 0, f"mmdebstrap (status {status}): {output[-3000:]}"
    print(f"tarball, RPM and root made: {time.monotonic() - started:.0f} s")
    shutil.copy(tarball, os.path.join(root, "tmp", "source.tar.gz"))
    inside(root, PLAIN, "the source tarball's plain CMake build, install, run, uninstall, .deb")
    print(f"plain CMake path: {time.monotonic() - started:.0f} s")
    (deb,) = glob.glob(os.path.join(root, "tmp", "deb", "*.deb"))
    shutil.copy(deb, os.path.join(root, "tmp", "package.deb"))
    arch = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True)
    named = rf"drives-mpi_\d+\.\d+\.\d+(~dev\+g\w+(\.dirty)?)?_{arch.stdout.strip()}\.deb"
    assert re.fullmatch(named, os.path.basename(deb)), deb
    said = run(["lintian", "--pedantic", deb])[1]
    print(said)
    assert not re.search(r"^[EW]:", said, re.M), "lintian warns"
    rows = run(["dpkg-deb", "-c", deb])[1].splitlines()
    files = {row.split()[-1][1:] for row in rows if not row.startswith("d")}
    listed = set(run(["rpm", "-qpl", rpm])[1].split())
    others = [path for path in listed - files if "drives" not in path]
    assert files <= listed and not others, f"the RPM's files: {sorted(listed ^ files)}"
    needs = run(["rpm", "-qpR", rpm])[1].split("\n")
    assert {"python3 >= 3.8", {"openmpi-bin": "openmpi"}.get(launcher, launcher)} <= set(
        needs
    ) and any(re.match(r"libmpi(ch)?\.so", need) for need in needs), f"RPM needs: {needs}"
    header = run(["rpm", "-qpi", rpm])[1]
    assert "Relocations" not in header and "CPack" not in header, header
    print(inside(root, package(dev, launcher), "the package's install, run and removal"))
    print(f"package: {time.monotonic() - started:.0f} s")
