// function_table.hpp: the module's exported functions, one row each, and
// what is derived from the rows.  A row holds everything the module knows
// about a function: its name, its parameters, its docstring, its code
// object's shape, its body and the lines of its statements; the order of
// definition, the traceback names and the interned names follow from it.
//
// The line numbers here, and those of the module-level statements in
// module_statements.cpp, are published behaviour: every traceback entry that the module
// adds carries one of them (binding errors the first line, a failing
// statement its own line), so exception reports and the callers that read
// them depend on each number.  They change only with the published reports.
#pragma once

#include "custom_worker.hpp"
#include "session.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <initializer_list>
#include <string_view>

namespace cw {

// What a parameter accepts after binding: exact types only.
enum class Accepts { Anything, Str, Dict, DictOrNone };

struct Parameter {
    PyObject *Strings::*name;
    Accepts accepts;
    PyObject *Strings::*annotation;  // null: not annotated
};

inline constexpr int kMaxParams = 3;
inline constexpr int kMaxLocals = 9;

// The dotted name of the module, which every traceback name starts with.
inline constexpr std::string_view kModuleName = "ombrix.workers.custom_worker";

// A name put together at compile time from parts and an optional number
// (none when 0), kept with the table so its text has a fixed address.
class ComposedName {
public:
    static constexpr std::size_t kCapacity = 64;

    constexpr ComposedName() = default;
    constexpr ComposedName(std::initializer_list<std::string_view> parts, int number = 0) {
        for (std::string_view part : parts) append(part);
        if (number <= 0) return;
        char digits[12] = {};
        int count = 0;
        for (; number > 0; number /= 10) digits[count++] = static_cast<char>('0' + number % 10);
        while (count > 0) append(std::string_view(&digits[--count], 1));
    }

    constexpr operator const char *() const { return text_; }
    constexpr std::string_view view() const { return {text_, size_}; }
    // False when the parts did not fit: the text is then cut short.
    constexpr bool complete() const { return complete_; }

private:
    constexpr void append(std::string_view part) {
        for (char c : part) {
            if (size_ + 1 >= kCapacity) {
                complete_ = false;
                return;
            }
            text_[size_++] = c;
        }
    }

    char text_[kCapacity] = {};
    std::size_t size_ = 0;
    bool complete_ = true;
};

// What binding, the function object and the module's definitions read.
struct FunctionDescription {
    const char *name;            // __name__, __qualname__, the code object's name, the global
    int first_line;              // of the definition: the code object's first line
    int nparams;
    int nrequired;               // the parameters after these default to None
    Parameter params[kMaxParams];
    PyObject *Strings::*returns;  // the return annotation; null: none
    const char *doc;              // null: no docstring
    const char *locals[kMaxLocals];  // the code object's local names after the parameters
    PyObject *(*body)(PyObject *const *bound);
    // The function name its traceback entries carry.
    ComposedName traceback_name{kModuleName, ".", name};
};

// One row: the description and the lines of the function's statements (for
// handle_command, its routes too).
template <class Lines>
struct ExportedFunction : FunctionDescription {
    Lines line;
};

// Adds `function`'s traceback entry at `line` to the pending exception and
// returns null, so failure sites read `return fail_at(function, line);`.
inline PyObject *fail_at(const FunctionDescription &function, int line) {
    add_traceback(function.traceback_name, line);
    return nullptr;
}

// ---------------------------------------------------------------------------
// Each function's body and the lines of its statements, by the work each
// statement does.  A body gets its arguments bound and type-checked and
// returns a new reference, or null with an exception set.
// ---------------------------------------------------------------------------

// Path(path).expanduser().resolve(), its exists(), the script-not-found result.
struct ScriptPathLines {
    int resolve, exists, not_found;
};

// The steps run_script and run_inline share.
struct CapturedRunLines {
    int read_streams, new_out, new_err, set_out, set_err;  // the capture begins
    int namespace_entry;     // creating the namespace or inserting an entry
    int namespace_file;      // str(p) for __file__ (run_script only)
    int namespace_builtins;  // reading __builtins__
    int namespace_args;      // a new dict for `args`
    int success_dict;        // the outer dict, `success` and `result`
    int result_entry;        // the inner dict and its entries, reading the output
    int read_errors, serialize;
    int restore_out, restore_err;  // the capture ends
};

PyObject *run_script(PyObject *path, PyObject *args);  // operations.cpp
struct RunScriptLines {
    ScriptPathLines path;
    CapturedRunLines run;
    int read_source;    // p.read_text(encoding="utf-8")
    int exec;           // compiling and executing the script
    int main_lookup, main_call, result_lookup;
    int error_dict, error_report;  // the handler
};

PyObject *run_inline(PyObject *code, PyObject *args);  // operations.cpp
struct RunInlineLines {
    CapturedRunLines run;
    int exec, result_lookup;
    int error_dict, error_report;  // the handler
};

PyObject *run_function(PyObject *path, PyObject *function_name, PyObject *args);  // operations.cpp
struct RunFunctionLines {
    ScriptPathLines path;
    int spec;             // importlib.util.spec_from_file_location(...)
    int spec_test;        // truth tests of spec and spec.loader
    int cannot_load;      // the cannot-load result
    int module;           // importlib.util.module_from_spec(spec)
    int exec_module;      // spec.loader.exec_module(module): the script's top level
    int lookup;           // getattr(module, function_name, None)
    int func_test;        // truth test of func
    int available;        // building `available`
    int missing_dict;     // the function-not-found result dict
    int missing_message;  // rendering `available` and joining the message
    int not_callable;     // the not-callable result
    int call_keywords;    // func(**args)
    int call_no_args;     // func()
    int success_dict;     // outer success dict, `success` and `result`
    int success_inner;    // inner dict and _serialize(result)
    int error_dict, error_report;  // the handler
};

PyObject *validate_script(PyObject *code);  // operations.cpp
struct ValidateScriptLines {
    int compile;        // compile(code, "<validation>", "exec")
    int valid_dict;     // valid result: outer dict, `success`, `result`
    int valid_inner;    // valid result: inner dict, `valid`, `message`
    int invalid_dict;   // invalid result: outer dict, `success`, `result`
    int invalid_inner;  // invalid result: inner dict and its four keys
    int message;        // reading and rendering lineno and msg, joining
    int error_line;     // second read of lineno
    int error_offset;   // read of offset
};

PyObject *serialize(PyObject *obj);  // serialize.cpp
struct SerializeLines {
    int list_walk, dict_walk, str_fallback;
};

// handle_command routes an action to a closure that reads the operation's
// arguments from the request and calls it (protocol.cpp).
PyObject *handle_command(PyObject *cmd);

// What a routing closure passes when the request lacks a field.
enum class Default { EmptyText, None, ScriptMain };

struct Field {
    PyObject *Strings::*key;
    Default fallback;
};

inline constexpr int kMaxFields = 3;

// One routing closure.  Its traceback name follows from its position: the
// first is handle_command's ".lambda", the next ".lambda1", and so on.
struct Route {
    const char *operation;       // the exported function it calls, looked up as a global
    PyObject *Strings::*action;  // the action that selects it; null: the operation's name
    int line;                    // the closure's own line
    int nfields;
    Field fields[kMaxFields];    // the request's fields, passed by position
};

// An action of a session worker: served by a handler of its own that reads
// the whole request and always answers (session.hpp).
struct SessionRoute {
    PyObject *Strings::*action;
    PyObject *(*handler)(PyObject *cmd);
};

struct HandleCommandLines {
    // In the order a dictionary built from the actions would hold them.
    std::array<Route, 4> routes;
    int dispatch;  // handle_command's own entry
    // Looked up after `routes`, in the same way.
    std::array<SessionRoute, 4> session_routes;
};

PyObject *main_loop();  // protocol.cpp
struct MainLines {
    int ignore_sigint, read_stdin, strip, blank_test, loads;
    int decode_handler;  // except json.JSONDecodeError
    int invalid_response, invalid_write, invalid_flush;
    int handle, write, flush, quit_test;
};

// ---------------------------------------------------------------------------
// The table: one member per function, its row as the member's initializer.
// The members may stand in any order; the definition order is derived.
// ---------------------------------------------------------------------------

struct FunctionTable {
    ExportedFunction<RunScriptLines> run_script = {
        {.name = "run_script",
         .first_line = 29,
         .nparams = 2,
         .nrequired = 1,
         .params = {{&Strings::path, Accepts::Str, &Strings::str},
                    {&Strings::args, Accepts::DictOrNone, &Strings::dict_or_none}},
         .returns = &Strings::dict,
         .doc = "Execute a Python script file and capture its output.",
         .locals = {"p", "old_stdout", "old_stderr", "captured_out", "captured_err", "namespace",
                    "code", "result", "e"},
         .body = [](PyObject *const *a) { return cw::run_script(a[0], a[1]); }},
        {.path = {.resolve = 32, .exists = 33, .not_found = 34},
         .run = {.read_streams = 37, .new_out = 38, .new_err = 39, .set_out = 40, .set_err = 41,
                 .namespace_entry = 45, .namespace_file = 46, .namespace_builtins = 47,
                 .namespace_args = 48, .success_dict = 64, .result_entry = 66,
                 .read_errors = 67, .serialize = 68, .restore_out = 72, .restore_err = 73},
         .read_source = 52,
         .exec = 53,
         .main_lookup = 56,
         .main_call = 57,
         .result_lookup = 58,
         .error_dict = 77,
         .error_report = 78}};
    ExportedFunction<RunInlineLines> run_inline = {
        {.name = "run_inline",
         .first_line = 82,
         .nparams = 2,
         .nrequired = 1,
         .params = {{&Strings::code, Accepts::Str, &Strings::str},
                    {&Strings::args, Accepts::DictOrNone, &Strings::dict_or_none}},
         .returns = &Strings::dict,
         .doc = "Execute inline Python code.",
         .locals = {"old_stdout", "old_stderr", "captured_out", "captured_err", "namespace",
                    "result", "e"},
         .body = [](PyObject *const *a) { return cw::run_inline(a[0], a[1]); }},
        {.run = {.read_streams = 85, .new_out = 86, .new_err = 87, .set_out = 88, .set_err = 89,
                 .namespace_entry = 92, .namespace_file = 0 /* no __file__ */,
                 .namespace_builtins = 93, .namespace_args = 94, .success_dict = 103,
                 .result_entry = 105, .read_errors = 106, .serialize = 107, .restore_out = 111,
                 .restore_err = 112},
         .exec = 98,
         .result_lookup = 100,
         .error_dict = 116,
         .error_report = 117}};
    ExportedFunction<RunFunctionLines> run_function = {
        {.name = "run_function",
         .first_line = 121,
         .nparams = 3,
         .nrequired = 2,
         .params = {{&Strings::path, Accepts::Str, &Strings::str},
                    {&Strings::function_name, Accepts::Str, &Strings::str},
                    {&Strings::args, Accepts::DictOrNone, &Strings::dict_or_none}},
         .returns = &Strings::dict,
         .doc = "Execute a specific function from a Python script.",
         .locals = {"p", "spec", "module", "func", "available", "result", "e", "n"},
         .body = [](PyObject *const *a) { return cw::run_function(a[0], a[1], a[2]); }},
        {.path = {.resolve = 124, .exists = 125, .not_found = 126},
         .spec = 129,
         .spec_test = 130,
         .cannot_load = 131,
         .module = 133,
         .exec_module = 134,
         .lookup = 137,
         .func_test = 138,
         .available = 139,
         .missing_dict = 141,
         .missing_message = 142,
         .not_callable = 146,
         .call_keywords = 150,
         .call_no_args = 152,
         .success_dict = 155,
         .success_inner = 156,
         .error_dict = 161,
         .error_report = 162}};
    ExportedFunction<ValidateScriptLines> validate_script = {
        {.name = "validate_script",
         .first_line = 166,
         .nparams = 1,
         .nrequired = 1,
         .params = {{&Strings::code, Accepts::Str, &Strings::str}},
         .returns = &Strings::dict,
         .doc = "Validate that code is syntactically correct Python.",
         .locals = {"e"},
         .body = [](PyObject *const *a) { return cw::validate_script(a[0]); }},
        {.compile = 169,
         .valid_dict = 171,
         .valid_inner = 172,
         .invalid_dict = 176,
         .invalid_inner = 178,
         .message = 179,
         .error_line = 180,
         .error_offset = 181}};
    ExportedFunction<SerializeLines> serialize = {
        {.name = "_serialize",
         .first_line = 186,
         .nparams = 1,
         .nrequired = 1,
         .params = {{&Strings::obj, Accepts::Anything, nullptr}},
         .returns = nullptr,
         .doc = "Attempt to serialize an object to JSON-compatible format.",
         .locals = {"item", "k", "v"},
         .body = [](PyObject *const *a) { return cw::serialize(a[0]); }},
        {.list_walk = 193, .dict_walk = 195, .str_fallback = 196}};
    ExportedFunction<HandleCommandLines> handle_command = {
        {.name = "handle_command",
         .first_line = 199,
         .nparams = 1,
         .nrequired = 1,
         .params = {{&Strings::cmd, Accepts::Dict, &Strings::dict}},
         .returns = &Strings::dict,
         .doc = "Route a command to the appropriate handler.",
         .locals = {"action", "handlers", "handler"},
         .body = [](PyObject *const *a) { return cw::handle_command(a[0]); }},
        {.routes = {{{.operation = "run_script",
                      .action = nullptr,
                      .line = 207,
                      .nfields = 2,
                      .fields = {{&Strings::path, Default::EmptyText},
                                 {&Strings::args, Default::None}}},
                     {.operation = "run_inline",
                      .action = nullptr,
                      .line = 208,
                      .nfields = 2,
                      .fields = {{&Strings::code, Default::EmptyText},
                                 {&Strings::args, Default::None}}},
                     {.operation = "run_function",
                      .action = nullptr,
                      .line = 209,
                      .nfields = 3,
                      .fields = {{&Strings::path, Default::EmptyText},
                                 {&Strings::function, Default::ScriptMain},
                                 {&Strings::args, Default::None}}},
                     {.operation = "validate_script",
                      .action = &Strings::validate,
                      .line = 214,
                      .nfields = 1,
                      .fields = {{&Strings::code, Default::EmptyText}}}}},
         .dispatch = 221,
         .session_routes = {{{&Strings::session, session_action},
                             {&Strings::execute, execute_action},
                             {&Strings::upload, upload_action},
                             {&Strings::download, download_action}}}}};
    ExportedFunction<MainLines> main = {
        {.name = "main",
         .first_line = 224,
         .nparams = 0,
         .nrequired = 0,
         .params = {},
         .returns = nullptr,
         .doc = nullptr,
         .locals = {"line", "cmd", "e", "response"},
         .body = [](PyObject *const *) { return cw::main_loop(); }},
        {.ignore_sigint = 225,
         .read_stdin = 227,
         .strip = 228,
         .blank_test = 229,
         .loads = 233,
         .decode_handler = 234,
         .invalid_response = 235,
         .invalid_write = 236,
         .invalid_flush = 237,
         .handle = 240,
         .write = 241,
         .flush = 242,
         .quit_test = 244}};
};

inline constexpr FunctionTable kFunctions{};

// ---------------------------------------------------------------------------
// What follows from the rows
// ---------------------------------------------------------------------------

namespace table_detail {

// Converts to any row; only counted with, never called.
struct AnyRow {
    template <class Row>
    operator Row() const;
};

// The number of members of the aggregate `Table`.
template <class Table, class... Rows>
constexpr std::size_t count_rows(Rows... rows) {
    if constexpr (requires { Table{rows..., AnyRow{}}; }) {
        return count_rows<Table>(rows..., AnyRow{});
    } else {
        return sizeof...(Rows);
    }
}

template <class... Rows>
constexpr auto descriptions(const Rows &...rows) {
    return std::array<const FunctionDescription *, sizeof...(Rows)>{&rows...};
}

}  // namespace table_detail

inline constexpr std::size_t kFunctionCount = table_detail::count_rows<FunctionTable>();

// The rows of `t` as descriptions, in member order.  A template, so that
// only the case of the table's own size is compiled.
template <class Table>
constexpr std::array<const FunctionDescription *, table_detail::count_rows<Table>()> table_rows(
    const Table &t) {
    using table_detail::descriptions;
    constexpr std::size_t kRows = table_detail::count_rows<Table>();
    static_assert(kRows <= 12, "more rows than table_rows unpacks: add a case");
    if constexpr (kRows == 1) { const auto &[a] = t; return descriptions(a); }
    if constexpr (kRows == 2) { const auto &[a, b] = t; return descriptions(a, b); }
    if constexpr (kRows == 3) { const auto &[a, b, c] = t; return descriptions(a, b, c); }
    if constexpr (kRows == 4) {
        const auto &[a, b, c, d] = t;
        return descriptions(a, b, c, d);
    }
    if constexpr (kRows == 5) {
        const auto &[a, b, c, d, e] = t;
        return descriptions(a, b, c, d, e);
    }
    if constexpr (kRows == 6) {
        const auto &[a, b, c, d, e, f] = t;
        return descriptions(a, b, c, d, e, f);
    }
    if constexpr (kRows == 7) {
        const auto &[a, b, c, d, e, f, g] = t;
        return descriptions(a, b, c, d, e, f, g);
    }
    if constexpr (kRows == 8) {
        const auto &[a, b, c, d, e, f, g, h] = t;
        return descriptions(a, b, c, d, e, f, g, h);
    }
    if constexpr (kRows == 9) {
        const auto &[a, b, c, d, e, f, g, h, i] = t;
        return descriptions(a, b, c, d, e, f, g, h, i);
    }
    if constexpr (kRows == 10) {
        const auto &[a, b, c, d, e, f, g, h, i, j] = t;
        return descriptions(a, b, c, d, e, f, g, h, i, j);
    }
    if constexpr (kRows == 11) {
        const auto &[a, b, c, d, e, f, g, h, i, j, k] = t;
        return descriptions(a, b, c, d, e, f, g, h, i, j, k);
    }
    if constexpr (kRows == 12) {
        const auto &[a, b, c, d, e, f, g, h, i, j, k, l] = t;
        return descriptions(a, b, c, d, e, f, g, h, i, j, k, l);
    }
}

// The order the module defines and binds the functions: that of their
// source lines.
constexpr std::array<const FunctionDescription *, kFunctionCount> in_definition_order(
    const FunctionTable &table) {
    auto rows = table_rows(table);
    std::sort(rows.begin(), rows.end(),
              [](const FunctionDescription *a, const FunctionDescription *b) {
                  return a->first_line < b->first_line;
              });
    return rows;
}

inline constexpr auto kDefinitionOrder = in_definition_order(kFunctions);

// A row's position in the definition order; -1 for no row of the table.
constexpr int definition_index(const FunctionDescription &function) {
    for (std::size_t i = 0; i < kFunctionCount; ++i) {
        if (kDefinitionOrder[i] == &function) return static_cast<int>(i);
    }
    return -1;
}

// The position of the row named `name`; -1 when none is.
constexpr int definition_index(std::string_view name) {
    for (std::size_t i = 0; i < kFunctionCount; ++i) {
        if (kDefinitionOrder[i]->name == name) return static_cast<int>(i);
    }
    return -1;
}

// Each row names a function of its own on a line of its own, its traceback
// name fits, and every route calls a function of the table.
constexpr bool table_is_sound(const std::array<const FunctionDescription *, kFunctionCount> &rows,
                              const HandleCommandLines &handle_command) {
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (!rows[i]->traceback_name.complete()) return false;
        if (i > 0 && rows[i - 1]->first_line >= rows[i]->first_line) return false;
        for (std::size_t j = 0; j < i; ++j) {
            if (std::string_view(rows[j]->name) == rows[i]->name) return false;
        }
    }
    for (const Route &route : handle_command.routes) {
        if (definition_index(route.operation) < 0) return false;
    }
    return true;
}
static_assert(table_is_sound(kDefinitionOrder, kFunctions.handle_command.line),
              "rows must name distinct functions on distinct first lines, and routes must "
              "call functions of the table");

// The functions' names as interned str, by definition order; made with the
// constants.
inline PyObject *function_names[kFunctionCount] = {};

inline PyObject *name_object(const FunctionDescription &function) {
    return function_names[definition_index(function)];
}

// ---------------------------------------------------------------------------
// The function objects (function.cpp)
// ---------------------------------------------------------------------------

// Makes the function type ready, with what its objects share.
int ready_function_type();

// Creates the function that `function` describes, with its code object,
// defaults and annotations.  New reference.
PyObject *make_function(const FunctionDescription &function);

}  // namespace cw
