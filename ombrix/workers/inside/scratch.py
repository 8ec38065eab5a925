"""Workers' scratch directories in a sandbox: made under names nobody can
guess, entered by descriptor, and removed by a thread of their own.

Every worker of a sandbox shares one uid and may write to the scratch root,
so anything there may have been planted: a name is never reused or
predicted, a directory is created exclusively and opened without following
a symbolic link, and removal walks by descriptor, making unreadable
directories readable again on its way.
"""

from __future__ import annotations

import os
import stat

TYPE_CHECKING = False
if TYPE_CHECKING:
    import threading

# The name the sandbox's uid has in its /etc/passwd, also USER and LOGNAME.
SANDBOX_USER = "sandbox"
# Deeper than this a directory is moved up to the root under a new name and
# removed from there: the walk holds one descriptor per level.
MAX_DEPTH = 64
ROOT_MODE = 0o755
_OPEN_DIR = os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC


def _new_name() -> str:
    # The bytes secrets.token_hex would give, without importing secrets:
    # it loads hashlib and OpenSSL into the fork server, whose every fork
    # then copies their mappings.
    return "w-" + os.urandom(12).hex()


class Scratch:
    """The scratch root of a fork server: makes each worker's directory, and
    a daemon thread sweeps the root of everything that belongs to no live
    worker whenever one is released, so the server keeps forking and
    reporting exits while a large tree goes, and what a script moved or
    planted beside its own directory goes too."""

    def __init__(self, root: str) -> None:
        # Imported here, by a sandboxed server only: once imported, threading
        # runs its at-fork handler in every forked child, a cost on each
        # worker's start that a server without scratch directories avoids.
        import threading

        self.root = root
        self._lock = threading.Lock()
        self._live: set[str] = set()
        self._wake = threading.Event()
        self._thread: threading.Thread | None = None

    def make(self) -> tuple[str, int]:
        """A new directory under the root and a descriptor of it."""
        with self._lock:
            while True:
                name = _new_name()
                try:
                    os.mkdir(os.path.join(self.root, name), 0o700)
                    break
                except FileExistsError:
                    continue
                except PermissionError:
                    # A script took the root's permissions away (it has the
                    # root's uid): give them back once.
                    os.chmod(self.root, ROOT_MODE)
                    os.mkdir(os.path.join(self.root, name), 0o700)
                    break
            self._live.add(name)
        path = os.path.join(self.root, name)
        try:
            return path, os.open(path, _OPEN_DIR)
        except OSError:
            self.release(path)
            raise

    def release(self, path: str) -> None:
        """The worker of `path` is gone: its directory goes in the next sweep."""
        with self._lock:
            self._live.discard(os.path.basename(path))
        if self._thread is None:
            import threading

            self._thread = threading.Thread(target=self._run, name="scratch-sweeper", daemon=True)
            self._thread.start()
        self._wake.set()

    def _run(self) -> None:
        while True:
            self._wake.wait()
            self._wake.clear()
            try:
                self.sweep()
            except Exception:  # the next release sweeps again
                pass

    def sweep(self) -> None:
        """Removes every entry of the root that is no live worker's directory,
        whatever it is; errors leave what could not go."""
        try:
            os.chmod(self.root, ROOT_MODE)  # a mount point: always the scratch root itself
            root_fd = os.open(self.root, _OPEN_DIR)
        except OSError:
            return
        try:
            names = os.listdir(root_fd)
            with self._lock:
                # A worker's directory is made and marked live in one step:
                # one listed here is live unless released.
                pending = [name for name in names if name not in self._live]
            while pending:
                _remove_entry(root_fd, pending.pop(), pending)
        except OSError:
            pass
        finally:
            os.close(root_fd)


def _remove_entry(root_fd: int, name: str, pending: list[str]) -> None:
    """Removes `name` in the directory `root_fd`; subtrees deeper than
    MAX_DEPTH are renamed into it and added to `pending`."""
    if _unlink(root_fd, name):
        return
    fd = _open_dir(root_fd, name)
    if fd is None:
        return
    # One frame per open directory: its descriptor, its name in the one
    # above, the names still to remove, and how often it was listed.
    stack: list[tuple[int, str, list[str], int]] = [(fd, name, _names(fd), 1)]
    try:
        while stack:
            fd, current, names, listed = stack[-1]
            if names:
                child = names.pop()
                if _unlink(fd, child):
                    continue
                if len(stack) >= MAX_DEPTH:
                    moved = _new_name()
                    try:
                        os.rename(child, moved, src_dir_fd=fd, dst_dir_fd=root_fd)
                        pending.append(moved)
                    except OSError:
                        pass
                    continue
                sub = _open_dir(fd, child)
                if sub is not None:
                    stack.append((sub, child, _names(sub), 1))
                continue
            stack.pop()
            parent = stack[-1][0] if stack else root_fd
            try:
                os.rmdir(current, dir_fd=parent)
            except OSError:
                # Entries made meanwhile: a few more rounds, then leave it.
                if listed < 3:
                    stack.append((fd, current, _names(fd), listed + 1))
                    continue
            os.close(fd)
    finally:
        for fd, _, _, _ in stack:
            os.close(fd)


def _unlink(dir_fd: int, name: str) -> bool:
    """Unlinks a non-directory; True when `name` is gone."""
    try:
        if stat.S_ISDIR(os.stat(name, dir_fd=dir_fd, follow_symlinks=False).st_mode):
            return False
        os.unlink(name, dir_fd=dir_fd)
    except FileNotFoundError:
        pass
    except OSError:
        return False
    return True


def _open_dir(parent: int, name: str) -> int | None:
    """The directory `name`, made searchable and readable first if needed."""
    try:
        return os.open(name, _OPEN_DIR, dir_fd=parent)
    except PermissionError:
        pass
    except OSError:
        return None
    try:
        # By descriptor: chmod by name would follow a link put there since.
        handle = os.open(name, os.O_PATH | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=parent)
    except OSError:
        return None
    try:
        os.chmod(f"/proc/self/fd/{handle}", 0o700)
        return os.open(name, _OPEN_DIR, dir_fd=parent)
    except OSError:
        return None
    finally:
        os.close(handle)


def _names(fd: int) -> list[str]:
    """The entries of the directory `fd`, made writable for their removal."""
    try:
        os.fchmod(fd, 0o700)
        return os.listdir(fd)
    except OSError:
        return []
