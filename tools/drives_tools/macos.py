"""What a run started on macOS needs that Linux gives by default; told by
`uname`, as the set-up tells it. Each piece is also harmless elsewhere."""

import resource
import shutil
import subprocess
from typing import Dict, Optional

# Open MPI keeps its sockets under $TMPDIR, in paths that hold the host
# name twice and some 45 characters more; macOS takes at most 103
# characters in a socket's path, and its own $TMPDIR (/var/folders/...)
# is about 50 long.
SOCKET_PATH_MAX = 103
SOCKET_PATH_EXTRA = 45
SHORT_TMPDIR = "/tmp"
# Open files per rank on the node that runs the launcher (pipes, sockets),
# and for the launcher itself.
FILES_PER_RANK = 8
FILES_PER_NODE = 4
FILES_BASE = 64


def is_macos() -> bool:
    try:
        return (
            subprocess.run(
                ["uname", "-s"], capture_output=True, text=True, errors="replace"
            ).stdout.strip()
            == "Darwin"
        )
    except OSError:
        return False


def short_tmpdir(env: Dict[str, str], host: str) -> Dict[str, str]:
    """The launcher's environment, with a temporary directory short enough
    for the MPI's socket paths."""
    tmpdir = env.get("TMPDIR", "")
    if len(tmpdir.rstrip("/")) + 2 * len(host) + SOCKET_PATH_EXTRA > SOCKET_PATH_MAX:
        return dict(env, TMPDIR=SHORT_TMPDIR)
    return env


def raise_open_files(local_ranks: int, nodes: int) -> int:
    """Raises the soft limit of open files toward the hard one where the
    ranks on this machine need more (macOS starts at 256)."""
    need = FILES_BASE + FILES_PER_RANK * local_ranks + FILES_PER_NODE * nodes
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft == resource.RLIM_INFINITY or soft >= need:
        return soft
    target = need if hard == resource.RLIM_INFINITY else min(hard, need)
    try:
        resource.setrlimit(resource.RLIMIT_NOFILE, (target, hard))
        return target
    except (ValueError, OSError):
        return soft


def homebrew_prefix(launcher: str) -> Optional[str]:
    """Homebrew's prefix where the launcher lives under it: a remote node's
    non-interactive shell has no Homebrew on its PATH, and Open MPI's
    --prefix tells it where its daemon is."""
    brew = shutil.which("brew")
    path = shutil.which(launcher)
    if not (brew and path):
        return None
    try:
        prefix = subprocess.run(
            [brew, "--prefix"], capture_output=True, text=True, errors="replace", timeout=30
        ).stdout.strip()
    except (OSError, subprocess.TimeoutExpired):
        return None
    return prefix if prefix and path.startswith(prefix.rstrip("/") + "/") else None


BONJOUR = (
    "{hosts}: a name ending in .local is found by Bonjour, which each node may "
    "answer differently or not at all; if a node cannot be reached, name the nodes by "
    "address or by names every node resolves the same way"
)
FIREWALL = (
    "a node not reached may be behind the macOS firewall: allow incoming "
    "connections for mpirun and its daemon (orted, prted or hydra_pmi_proxy) on every "
    "node, in System Settings, Network, Firewall"
)
