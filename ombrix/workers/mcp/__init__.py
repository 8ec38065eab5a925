"""The pool served to assistants over the Model Context Protocol
(`ombrix-mcp`, or `python -m ombrix.workers.mcp`; the `mcp` extra).

Here: the command line (`__main__`), the server with its built-in tools and
the announcement of tool changes (`server`), the interpreter session of
each client and a cell's result as MCP content (`sessions`), the created
tools' store (`tools`), their schema read from the source with `ast`
(`schema`) and the Streamable HTTP transport with its token and Origin
checks (`http`), and the stdio wire on the event loop (`stdio`).
Sits above the pool: imports `ombrix.workers.pool`'s public names and the
official `mcp` SDK, never the launchers, `inside` or the cluster.
"""
