"""Code that runs inside worker processes: the start-up that prepares a
worker before it serves, the fork server that forks warm workers, the
scratch directories it makes for them, and the process-tree kill (`tree`)
the fork server and the host's launchers share.

Nothing here imports the host side (launchers, pool, cluster): these modules
are loaded into every worker, and a worker must not carry the host's code.
"""
