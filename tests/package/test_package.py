"""The plain CMake path and the package in one clean Debian root made from apt's registry,
holding only a compiler, CMake, make, an MPI and Python 3: a plain build, install and two
ranks there; then the root loses those, and the .deb of this build (no lintian error) goes in
with apt-get, which must bring them back, runs two ranks and is removed without a file left.
The RPM of the same CPack description: its files and requirements. Every mount is made in
namespaces that end with the test however it ends; the root is removed at the end, a killed
run's by the next. Status 77 where it cannot run.    test_package.py BUILD_DIR openmpi|mpich
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

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD, MPI = os.path.abspath(sys.argv[1]), sys.argv[2]
DEV, LAUNCHER = {"openmpi": ("libopenmpi-dev", "openmpi-bin"), "mpich": ("libmpich-dev", "mpich")}[
    MPI
]
PREFIX = os.path.join("/var/tmp", "drives-package-")
ENV = {
    "PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
    "HOME": "/root",
    "LC_ALL": "C.UTF-8",
    "DEBIAN_FRONTEND": "noninteractive",
}
SAVED = "Results have been saved in a file and you can find it at: "
# The shell's prelude inside the root: a command that must fail, and the result file of a
# run's console.
PRELUDE = f"""absent() {{ if "$@" >/dev/null 2>&1; then echo "FAILED: here: $*" >&2; exit 1; fi; }}
saved() {{ test -s "$(sed -n 's/^{SAVED}//p' "$1")" || {{ echo "FAILED: no result file" >&2; exit 1; }}; }}
"""
PLAIN = f"""absent python3 -c 'import matplotlib'
absent test -e /usr/include/gtest
cmake -S /src -B /tmp/build -DCMAKE_BUILD_TYPE=Release
cmake --build /tmp/build -j 2
cmake --install /tmp/build --prefix /opt/drives
for page in drives_mpi drives-run drives-results; do test -s /opt/drives/share/man/man1/$page.1.gz; done
cd /tmp && /opt/drives/bin/drives-run -n 2 --dir /tmp/plain </dev/null >/tmp/plain.txt
saved /tmp/plain.txt
"""
PACKAGE = f"""rm -rf /opt/drives /tmp/build /src
apt-get purge -y -q --autoremove g++ cmake make {DEV} {LAUNCHER} python3
absent command -v python3
absent command -v mpirun
apt-get install -y -q /tmp/package.deb >/tmp/install.txt
sed -n '/NEW packages/,/newly installed/p' /tmp/install.txt
cd /tmp && drives-run -n 2 --dir /tmp/packaged </dev/null >/tmp/packaged.txt
saved /tmp/packaged.txt
dpkg -L drives-mpi >/tmp/files
apt-get remove -y -q drives-mpi >/dev/null
while read -r file; do
  [ -d "$file" ] || [ ! -e "$file" ] || {{ echo "FAILED: left behind: $file" >&2; exit 1; }}
done </tmp/files
absent test -e /usr/share/drives_mpi
absent test -e /usr/share/doc/drives-mpi
"""


def skip(reason):
    print(f"SKIPPED: {reason}")
    sys.exit(77)


def run(args, timeout=900, **options):
    """Runs args in a process group of its own that dies with this process, or is killed
    when it ends otherwise (an exception, a signal); its status and output."""
    child = subprocess.Popen(
        args,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        errors="replace",
        start_new_session=True,  # and PR_SET_PDEATHSIG:
        preexec_fn=lambda: ctypes.CDLL(None).prctl(1, signal.SIGKILL),
        **options,
    )
    try:
        output = child.communicate(timeout=timeout)[0]
    finally:
        if child.poll() is None:
            os.killpg(child.pid, signal.SIGKILL)
            child.wait()
    return child.returncode, output


def inside(root, script, what):
    """Runs a shell script in the root, /proc, /sys and /dev mounted in namespaces that end
    with it; fails the test with its output's end when the script fails."""
    mounts = (
        'mount -t proc proc "$0/proc"; mount --rbind /sys "$0/sys"; mount --rbind /dev '
        '"$0/dev"; mount -t tmpfs tmpfs "$0/dev/shm"; exec chroot "$0" /bin/sh -ec "$1"'
    )
    status, output = run(
        [
            "unshare",
            "--mount",
            "--pid",
            "--fork",
            "--kill-child",
            "--propagation",
            "private",
            "sh",
            "-ec",
            mounts,
            root,
            PRELUDE + script,
        ],
        1200,
        env=ENV,
    )
    check(status == 0, f"{what} (status {status}):\n" + "\n".join(output.splitlines()[-40:]))
    return output


def check(condition, message):
    if not condition:
        raise AssertionError(message)


def remove(scratch):
    """Removes a scratch directory once nothing is mounted in it."""
    with open("/proc/self/mountinfo") as stream:
        mounted = [row.split()[4] for row in stream if row.split()[4].startswith(scratch)]
    check(not mounted, f"still mounted, left in place: {mounted}")
    subprocess.run(["rm", "-rf", "--one-file-system", scratch], check=True)


def remove_dead_runs():
    for scratch in glob.glob(PREFIX + "*"):
        pid = re.match(r"(\d+)-", scratch[len(PREFIX) :])
        try:
            os.kill(int(pid[1]), 0) if pid else None
        except ProcessLookupError:
            remove(scratch)


def mirror():
    """The suite of this system and the first of apt's sources that serves it."""
    with open("/etc/os-release") as stream:
        suite = (
            dict(row.rstrip("\n").split("=", 1) for row in stream if "=" in row)
            .get("VERSION_CODENAME", "")
            .strip('"')
        )
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
    skip(f"apt has no source for this system's suite {suite!r}")


def packages(scratch):
    """The .deb and the RPM of this build, from CPack, and the checks made outside the root."""
    for generator in ("DEB", "RPM"):
        status, output = run(
            [
                "cpack",
                "-G",
                generator,
                "-B",
                scratch,
                "--config",
                os.path.join(BUILD, "CPackConfig.cmake"),
            ],
            cwd=BUILD,
        )
        check(status == 0, f"cpack -G {generator}: {output}")
    (deb,) = glob.glob(os.path.join(scratch, "*.deb"))
    (rpm,) = glob.glob(os.path.join(scratch, "*.rpm"))
    arch = subprocess.run(["dpkg", "--print-architecture"], capture_output=True, text=True).stdout
    check(
        re.fullmatch(rf"drives-mpi_\d+\.\d+\.\d+_{arch.strip()}\.deb", os.path.basename(deb)),
        f"named {os.path.basename(deb)}",
    )
    said = run(["lintian", deb])[1]
    print(said)
    check(not re.search(r"^E:", said, re.M), "lintian found errors")
    files = {
        row.split()[-1][1:]
        for row in run(["dpkg-deb", "-c", deb])[1].splitlines()
        if not row.startswith("d")
    }
    listed = set(run(["rpm", "-qpl", rpm])[1].split())
    others = [path for path in listed - files if "drives" not in path]
    check(files <= listed and not others, f"the RPM's files: {sorted(listed ^ files)}")
    for command in ("drives_mpi", "drives-run", "drives-results"):
        check(
            {f"/usr/bin/{command}", f"/usr/share/man/man1/{command}.1.gz"} <= files,
            f"{command} or its page missing: {sorted(files)}",
        )
    needs = run(["rpm", "-qpR", rpm])[1].split("\n")
    check(
        {"python3", {"openmpi-bin": "openmpi"}.get(LAUNCHER, LAUNCHER)} <= set(needs)
        and any(re.match(r"libmpi(ch)?\.so", need) for need in needs),
        f"RPM needs: {needs}",
    )
    return deb


def main():
    if not sys.platform.startswith("linux") or os.geteuid() != 0:
        skip("needs root on Linux (chroot and mounts)")
    os.environ["PATH"] = ENV["PATH"]
    for tool in ("mmdebstrap", "unshare", "lintian", "rpm", "dpkg-deb"):
        if not shutil.which(tool):
            skip(f"{tool} is missing (scripts/setup.sh test installs it)")
    suite, uri = mirror()
    try:
        urllib.request.urlopen(f"{uri.rstrip('/')}/dists/{suite}/InRelease", timeout=30).close()
    except OSError as error:
        skip(f"the registry {uri} cannot be reached: {error}")
    remove_dead_runs()
    scratch = tempfile.mkdtemp(prefix=f"{PREFIX}{os.getpid()}-")
    for stop in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(stop, lambda number, _: sys.exit(128 + number))
    started = time.monotonic()
    try:
        deb = packages(scratch)
        root = os.path.join(scratch, "root")
        status, output = run(
            [
                "unshare",
                "--mount",
                "--pid",
                "--mount-proc",
                "--fork",
                "--kill-child",
                "--propagation",
                "private",
                "mmdebstrap",
                "--variant=apt",
                "--skip=cleanup/apt",
                f"--include=g++,cmake,make,python3,{DEV},{LAUNCHER}",
                suite,
                root,
                uri,
            ]
        )
        check(status == 0, f"mmdebstrap (status {status}): {output[-3000:]}")
        print(f"root made: {time.monotonic() - started:.0f} s")
        status, output = run(
            [
                "sh",
                "-c",
                'mkdir "$0/src" && git ls-files -z -co --exclude-standard'
                ' | tar --null --ignore-failed-read -T - -cf - | tar -C "$0/src" -xf -',
                root,
            ],
            cwd=SOURCE,
        )
        check(status == 0, f"the sources: {output}")
        inside(root, PLAIN, "the plain CMake build, install and run")
        print(f"plain CMake path: {time.monotonic() - started:.0f} s")
        subprocess.run(["cp", deb, os.path.join(root, "tmp", "package.deb")], check=True)
        print(inside(root, PACKAGE, "the package's install, run and removal"))
        print(f"package: {time.monotonic() - started:.0f} s")
    except AssertionError as failure:
        print(f"FAILED: {failure}")
        return 1
    finally:
        remove(scratch)
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
