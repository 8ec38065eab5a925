"""Starting, limiting, killing and reaping worker processes (host side).

The handle protocol every launcher's workers follow, the plain subprocess
launcher, the fork server's launcher and the bubblewrap sandbox around it.
Imports `ombrix.workers.inside` (what the workers run) and nothing higher:
the pool and the cluster use these modules, never the other way round.
"""
