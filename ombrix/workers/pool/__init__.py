"""A supervised pool of worker processes for running assistant-written scripts.

    with WorkerPool(size=2, timeout=5.0) as pool:
        pool.run_inline("result = 1 + 1")

`WorkerPool` serves threads, `AsyncWorkerPool` asyncio tasks; both give each
request a time limit, replace workers that die or misbehave, bound answers,
keep the protocol off the workers' standard descriptors and reap every
process on close.  Failures of the machinery raise WorkerError subclasses.
`ombrix.workers.launchers.handle` is the seam for other ways to start workers.
`execute` runs a code cell and `session()` gives a worker of its own whose
namespace lasts across cells; both answer with an `Execution`.

Here: the options with their defaults and checks (`options`), the typed
requests and the public request methods (`requests`), the
core's books and worker life (`_core`), the open pools closed at exit
(`_open`), its record of a worker (`_worker`),
the sans-I/O response reader (`_reader`) and exchange of one request
(`_exchange`), code cells' streamed answers (`_cells`), sessions
(`_session`), the stray output drain (`_stray`), the errors, and the sync
and asyncio faces, whose drivers only move bytes and wait.  Imports
the launchers and `ombrix.workers.inside`, never the cluster.
"""
from ._async import AsyncSession, AsyncWorkerPool
from ._cells import Display, Execution, ExecutionError
from ._errors import OutputLimitExceeded, WorkerError, WorkerExited, WorkerTimeout
from ._sync import Session, WorkerPool
from .options import PoolOptions

__all__ = [
    "AsyncSession",
    "AsyncWorkerPool",
    "Display",
    "Execution",
    "ExecutionError",
    "OutputLimitExceeded",
    "PoolOptions",
    "Session",
    "WorkerError",
    "WorkerExited",
    "WorkerPool",
    "WorkerTimeout",
]
