"""The bubblewrap sandbox around a fork server, and the pids cgroup that bounds its processes.

Inside: new user, PID, network, IPC, UTS and cgroup namespaces, uid and gid
65534, no capabilities, no further user namespaces; the system's /usr, the
interpreter's installation and the worker package read-only; a scratch
directory on tmpfs (each worker's cwd is a directory of its own in it) and
nothing else writable: /tmp, /dev and the kernel's settings under /proc are
read-only; a generated /etc with only `hosts`, `passwd`, `group` and
`nsswitch.conf`; the `readable` paths read-only; nothing else of the host's
files.  Where the host can create a pids cgroup, the sandbox's first process
joins it before bwrap starts, so every process of the sandbox counts against
its `pids.max`.
"""

from __future__ import annotations

import itertools
import os
import shutil
import subprocess
import sys
import tempfile
import time
from collections.abc import Iterable, Sequence

from ombrix.workers.inside.scratch import SANDBOX_USER
from ombrix.workers.inside.tree import kill_tree
from ombrix.workers.launchers.handle import package_root

SCRATCH = "/scratch"
SANDBOX_UID = 65534
HOSTNAME = "sandbox"
# Entries of /proc that are the kernel's, not a process's, and take writes:
# run by root the sandbox uid is the host's uid 0, so their owner checks pass
# and only a read-only mount stops a script (/proc/sys/kernel/core_pattern
# names a program the host runs as root).  Those missing here are skipped.
PROC_READ_ONLY = ("sys", "sysrq-trigger", "irq", "bus", "fs", "pressure", "acpi", "scsi", "driver")
# The host kernel's state that those checks would also let a script read
# (timers with their processes' names, the host's keys, kernel allocations):
# empty inside.
PROC_HIDDEN = ("timer_list", "timer_stats", "sched_debug", "latency_stats", "keys", "key-users",
               "slabinfo", "vmallocinfo")
# The files of the sandbox's /etc: enough for `localhost` and the sandbox's
# own name to resolve to its loopback and for its uid to have a name (root's
# entry too: scripts and libraries look it up by number as on any system).
ETC_FILES = {
    "hosts": f"127.0.0.1\tlocalhost {HOSTNAME}\n::1\tlocalhost ip6-localhost ip6-loopback {HOSTNAME}\n",
    "passwd": "root:x:0:0:root:/root:/usr/sbin/nologin\n"
              f"{SANDBOX_USER}:x:{SANDBOX_UID}:{SANDBOX_UID}:{SANDBOX_USER}:{SCRATCH}:/bin/sh\n",
    "group": "root:x:0:\n"
             f"{SANDBOX_USER}:x:{SANDBOX_UID}:\n",
    "nsswitch.conf": "passwd: files\ngroup: files\nshadow: files\nhosts: files\n",
}
# Processes (threads count too) one worker slot may hold in a sandbox.
PIDS_PER_WORKER = 32
# The sandbox's own processes: the shell that joins the cgroup and becomes
# bwrap, bwrap's init in the PID namespace, the fork server.
PIDS_BASE = 8
_names = itertools.count()


class SandboxUnavailable(RuntimeError):
    """The sandbox cannot run on this machine."""


def find_bwrap() -> str:
    path = shutil.which("bwrap")
    if path is None:
        raise SandboxUnavailable(
            "sandbox=True needs bubblewrap's `bwrap` on PATH: install the Debian package "
            "`bubblewrap` (apt-get install bubblewrap)"
        )
    # --disable-userns came with 0.8: an older bwrap would refuse the command
    # line only once the fork server starts.
    version = ""
    try:
        version = subprocess.run([path, "--version"], capture_output=True, timeout=10, text=True).stdout.strip()
        numbers = tuple(int(n) for n in version.split()[-1].split(".")[:2])
    except (OSError, subprocess.SubprocessError, ValueError, IndexError):
        numbers = ()
    if numbers < (0, 8):
        raise SandboxUnavailable(f"sandbox=True needs bubblewrap 0.8 or later; {path} reports {version!r}")
    return path


def _under(path: str, roots: Iterable[str]) -> bool:
    return any(path == root or path.startswith(root.rstrip("/") + "/") for root in roots)


def installation_paths() -> list[str]:
    """The interpreter's installation and where the worker package is imported
    from, outermost first, without /usr (bound as a whole).  A path reached
    through a symbolic link is there under both names."""
    roots: list[str] = ["/usr"]
    paths: list[str] = []
    # The package itself, not the directory holding it: reached through
    # PYTHONPATH that may be a checkout or a home directory with other files.
    found = {sys.base_prefix, sys.base_exec_prefix, sys.prefix, sys.exec_prefix,
             os.path.join(package_root(), "ombrix")}
    for path in sorted({os.path.abspath(p) for p in found} | {os.path.realpath(p) for p in found}):
        if not _under(path, roots):
            roots.append(path)
            paths.append(path)
    return paths


def write_files(directory: str) -> None:
    """Writes what the sandbox binds of its own into `directory`: `etc`, its
    /etc, and `empty`, an empty file for hidden /proc entries."""
    os.mkdir(os.path.join(directory, "etc"))
    for name, text in [*(("etc/" + name, text) for name, text in ETC_FILES.items()), ("empty", "")]:
        with open(os.path.join(directory, name), "w") as f:
            f.write(text)
        os.chmod(os.path.join(directory, name), 0o644)
    for name in (".", "etc"):
        os.chmod(os.path.join(directory, name), 0o755)


def bwrap_command(bwrap: str, command: Sequence[str], readable: Sequence[str], files: str | None = None) -> list[str]:
    args = [
        bwrap,
        "--unshare-all",
        "--unshare-user",
        # A nested user namespace would give a script every capability
        # over new mounts of its own.
        "--disable-userns",
        "--uid", str(SANDBOX_UID),
        "--gid", str(SANDBOX_UID),
        "--cap-drop", "ALL",
        "--die-with-parent",
        "--new-session",
        "--hostname", HOSTNAME,
        "--ro-bind", "/usr", "/usr",
    ]  # fmt: skip
    # The merged-/usr links (or the directories themselves where not merged).
    for name in ("bin", "sbin", "lib", "lib32", "lib64", "libx32"):
        top = "/" + name
        if os.path.islink(top):
            args += ["--symlink", os.readlink(top), top]
        elif os.path.isdir(top):
            args += ["--ro-bind", top, top]
    # The scratch tmpfs is the only writable place: /tmp and /dev/shm are
    # read-only (what one request left there would be there for the next,
    # while each worker's scratch directory goes with it; TMPDIR points
    # there).  /dev stays read-only after bwrap has made its nodes: writes
    # to the devices themselves still work.
    args += ["--proc", "/proc"]
    for name in PROC_READ_ONLY:
        if os.path.lexists("/proc/" + name):
            args += ["--ro-bind", "/proc/" + name, "/proc/" + name]
    if files is not None:
        for name in PROC_HIDDEN:
            if os.path.lexists("/proc/" + name):
                args += ["--ro-bind", os.path.join(files, "empty"), "/proc/" + name]
    args += ["--dev", "/dev", "--remount-ro", "/dev", "--dir", "/tmp", "--tmpfs", SCRATCH]
    if files is not None:
        args += ["--ro-bind", os.path.join(files, "etc"), "/etc"]
    for path in installation_paths():
        args += ["--ro-bind", os.path.realpath(path), path]
    for path in readable:
        args += ["--ro-bind", os.path.realpath(path), os.path.abspath(path)]
    # The root bwrap builds the tree on stays writable otherwise.
    args += ["--remount-ro", "/", "--chdir", SCRATCH, "--", *command]
    return args


class PidsCgroup:
    """A pids cgroup of its own, created under this process's group."""

    def __init__(self, path: str) -> None:
        self.path = path

    @classmethod
    def create(cls, max_pids: int) -> PidsCgroup | None:
        """A new group with `pids.max` set, or None where the host cannot make one."""
        name = f"ombrix-{os.getpid()}-{next(_names)}"
        for base in _pids_group_dirs():
            path = os.path.join(base, name)
            try:
                os.mkdir(path)
            except OSError:
                continue
            group = cls(path)
            try:
                with open(os.path.join(path, "pids.max"), "w") as limit:
                    limit.write(str(max_pids))
                return group
            except OSError:
                group.remove()
        return None

    @property
    def procs_file(self) -> str:
        return os.path.join(self.path, "cgroup.procs")

    def pids(self) -> list[int]:
        try:
            with open(self.procs_file) as procs:
                return [int(line) for line in procs if line.strip()]
        except OSError:
            return []

    def remove(self, timeout: float = 2.0) -> None:
        """Kills whatever is still in the group and removes it."""
        deadline = time.monotonic() + timeout
        while True:
            for pid in self.pids():
                kill_tree(pid)
            try:
                os.rmdir(self.path)
                return
            except FileNotFoundError:
                return
            except OSError:
                if time.monotonic() > deadline:
                    return  # left for the administrator; nothing runs in it
                time.sleep(0.01)


def _pids_group_dirs() -> list[str]:
    """Directories where a pids group for this process can be made: its own
    group under a v1 `pids` hierarchy, or under cgroup v2 where its group
    hands the pids controller down."""
    own: dict[str, str] = {}
    try:
        with open("/proc/self/cgroup") as lines:
            for line in lines:
                _, controllers, path = line.rstrip("\n").split(":", 2)
                for controller in controllers.split(","):
                    own[controller] = path
    except OSError:
        return []
    dirs = []
    try:
        with open("/proc/self/mounts") as mounts:
            entries = [line.split() for line in mounts]
    except OSError:
        return []
    for entry in entries:
        if len(entry) < 4:
            continue
        mountpoint, fstype, options = entry[1], entry[2], entry[3].split(",")
        if fstype == "cgroup" and "pids" in options and "pids" in own:
            dirs.append(os.path.join(mountpoint, own["pids"].lstrip("/")))
    for entry in entries:
        if len(entry) >= 4 and entry[2] == "cgroup2" and "" in own:
            base = os.path.join(entry[1], own[""].lstrip("/"))
            try:
                with open(os.path.join(base, "cgroup.subtree_control")) as control:
                    if "pids" in control.read().split():
                        dirs.append(base)
            except OSError:
                pass
    return dirs


class Sandbox:
    """The sandbox of one pool: wraps the fork server's command line."""

    def __init__(self, readable: Sequence[str] = (), *, workers: int = 1) -> None:
        self.readable = []
        for path in readable:
            path = os.fspath(path)
            if not os.path.exists(path):
                raise FileNotFoundError(f"readable path does not exist: {path!r}")
            self.readable.append(path)
        self.bwrap = find_bwrap()
        self.files: str | None = tempfile.mkdtemp(prefix="ombrix-sandbox-")
        try:
            write_files(self.files)
        except BaseException:
            shutil.rmtree(self.files, ignore_errors=True)
            raise
        self.cgroup = PidsCgroup.create(PIDS_BASE + PIDS_PER_WORKER * max(1, workers))

    def wrap(self, command: list[str]) -> list[str]:
        wrapped = bwrap_command(self.bwrap, command, self.readable, self.files)
        if self.cgroup is not None:
            # The shell joins the group, then becomes bwrap: every process of
            # the sandbox is forked inside it.
            wrapped = ["/bin/sh", "-c", 'echo $$ > "$0" && exec "$@"', self.cgroup.procs_file, *wrapped]
        return wrapped

    def close(self) -> None:
        if self.files is not None:
            shutil.rmtree(self.files, ignore_errors=True)
            self.files = None
        if self.cgroup is not None:
            self.cgroup.remove()
            self.cgroup = None
