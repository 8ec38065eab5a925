// session.hpp: what the session actions (session, execute, upload, download)
// share: the session's namespace and file root, the cell's output streams
// and its displays.
#pragma once

#include "custom_worker.hpp"

namespace cw {

// ---------------------------------------------------------------------------
// The session (session.cpp)
// ---------------------------------------------------------------------------

// Set by the first `session` action; alive until the process ends.
struct SessionState {
    PyObject *ns = nullptr;    // strong: the persistent namespace
    PyObject *root = nullptr;  // strong: the file root, a resolved absolute path
};
extern SessionState session_state;

// A namespace as a cell starts with it: __name__ "__main__", __builtins__
// and `display`.  New reference.
PyObject *new_cell_namespace();

// {"success": false, "error": text} (and "kind": kind when kind is not null).
PyObject *failure_answer(const char *text, const char *kind = nullptr);

// The actions; each returns its answer dict, or null with an exception set
// when even that cannot be built.
PyObject *session_action(PyObject *cmd);   // session.cpp
PyObject *execute_action(PyObject *cmd);   // cell.cpp
PyObject *upload_action(PyObject *cmd);    // session_files.cpp
PyObject *download_action(PyObject *cmd);  // session_files.cpp

// module.attr for a module imported by name.  New reference.
PyObject *module_attr(const char *module, const char *attr);

// ---------------------------------------------------------------------------
// The cell's output (cell_stream.cpp).  While a cell runs, each write to its
// streams becomes one event line on the answer stream at once.
// ---------------------------------------------------------------------------

// Starts a cell's output: events go to `answer`, at most `limit` bytes in all.
void begin_cell_output(PyObject *answer, long long limit);

// The cells' text stream `which` (0: stdout, 1: stderr): an io.TextIOWrapper
// (utf-8, write through) whose writes become events named `name`.  The same
// from cell to cell, made again when a cell closed or detached it.  New
// reference.
PyObject *cell_stream(int which, PyObject *name, const char *errors);

// Sends what is left of an unfinished UTF-8 sequence in the streams as a
// replacement character.  0, or -1 with an exception set.
int finish_cell_streams();

// Ends the cell's output: its streams refuse writes from now on.  Returns the
// exception raised when the output passed its limit (new reference), or null.
PyObject *end_cell_output();

// The limit of the running cell, for the error's message.
long long cell_output_limit();

// ---------------------------------------------------------------------------
// Displays (display.cpp)
// ---------------------------------------------------------------------------

// The `display` function put in every cell's namespace (borrowed; made once).
PyObject *display_function();

// Starts collecting the running cell's displays.
int begin_displays();

// Offers `obj` as a display of the running cell.  0, or -1 with an exception.
int offer_display(PyObject *obj);

// Renders the matplotlib figures still open (when pyplot was imported) as
// PNG displays and closes them.  0, or -1 with an exception.
int render_open_figures();

// The running cell's displays (a list of dicts), collection ends.  New reference.
PyObject *end_displays();

}  // namespace cw
