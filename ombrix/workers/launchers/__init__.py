"""Starting, limiting, killing and reaping worker processes (host side).

- `handle`: the handle protocol every launcher's workers follow, the process
  handle and the settings workers start with;
- `spawner`: the long-lived thread that starts processes;
- `retire`: ending a worker (kill its tree, reap) now or in the background;
- `process`: the plain subprocess launcher;
- `server` and `fork`: the connection to a warm fork server and the launcher
  that forks workers from it, spares ahead;
- `sandbox`: the bubblewrap sandbox around the fork server;
- `choose`: the one function that picks a launcher from a pool's options.

Imports `ombrix.workers.inside` (what the workers run, and the process-tree
kill) and nothing higher: the pool and the cluster use these modules, never
the other way round.
"""
