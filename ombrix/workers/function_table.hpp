// function_table.hpp: the module's seven exported functions, one row each,
// holding everything the module knows about a function: its names, its
// parameters, its docstring, its code object's shape, its body and the lines
// of its statements.
//
// The line numbers here, and those of the module-level statements in
// module_statements.cpp, are published behaviour: every traceback entry that the module
// adds carries one of them (binding errors the first line, a failing
// statement its own line), so exception reports and the callers that read
// them depend on each number.  They change only with the published reports.
#pragma once

#include "custom_worker.hpp"

#include <array>
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

// What binding, the function object and the module's definitions read.
struct FunctionDescription {
    PyObject *Strings::*name;    // __name__, __qualname__ and the code object's name
    const char *traceback_name;  // the function name its traceback entries carry
    int first_line;              // of the definition: the code object's first line
    int nparams;
    int nrequired;               // the parameters after these default to None
    Parameter params[kMaxParams];
    PyObject *Strings::*returns;  // the return annotation; null: none
    const char *doc;              // null: no docstring
    const char *locals[kMaxLocals];  // the code object's local names after the parameters
    PyObject *(*body)(PyObject *const *bound);
};

// One row: the description and the lines of the function's statements.
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
// Statement lines, by the work each statement does
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

struct RunScriptLines {
    ScriptPathLines path;
    CapturedRunLines run;
    int read_source;    // p.read_text(encoding="utf-8")
    int exec;           // compiling and executing the script
    int main_lookup, main_call, result_lookup;
    int error_dict, error_report;  // the handler
};

struct RunInlineLines {
    CapturedRunLines run;
    int exec, result_lookup;
    int error_dict, error_report;  // the handler
};

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

struct SerializeLines {
    int list_walk, dict_walk, str_fallback;
};

struct HandleCommandLines {
    // The routing closures, one per action, each on its own line.
    int run_script_route, run_inline_route, run_function_route, validate_route;
    int dispatch;  // handle_command's own entry
};

struct MainLines {
    int ignore_sigint, read_stdin, strip, blank_test, loads;
    int decode_handler;  // except json.JSONDecodeError
    int invalid_response, invalid_write, invalid_flush;
    int handle, write, flush, quit_test;
};

// ---------------------------------------------------------------------------
// The table
// ---------------------------------------------------------------------------

struct FunctionTable {
    ExportedFunction<RunScriptLines> run_script;
    ExportedFunction<RunInlineLines> run_inline;
    ExportedFunction<RunFunctionLines> run_function;
    ExportedFunction<ValidateScriptLines> validate_script;
    ExportedFunction<SerializeLines> serialize;
    ExportedFunction<HandleCommandLines> handle_command;
    ExportedFunction<MainLines> main;

    // The rows in the order the module defines and binds the functions.
    constexpr std::array<const FunctionDescription *, 7> in_definition_order() const {
        return {&run_script, &run_inline, &run_function, &validate_script,
                &serialize, &handle_command, &main};
    }
};

inline constexpr FunctionTable kFunctions = {
    .run_script = {
        {.name = &Strings::run_script,
         .traceback_name = "ombrix.workers.custom_worker.run_script",
         .first_line = 29,
         .nparams = 2,
         .nrequired = 1,
         .params = {{&Strings::path, Accepts::Str, &Strings::str},
                    {&Strings::args, Accepts::DictOrNone, &Strings::dict_or_none}},
         .returns = &Strings::dict,
         .doc = "Execute a Python script file and capture its output.",
         .locals = {"p", "old_stdout", "old_stderr", "captured_out", "captured_err", "namespace",
                    "code", "result", "e"},
         .body = [](PyObject *const *a) { return run_script(a[0], a[1]); }},
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
         .error_report = 78}},
    .run_inline = {
        {.name = &Strings::run_inline,
         .traceback_name = "ombrix.workers.custom_worker.run_inline",
         .first_line = 82,
         .nparams = 2,
         .nrequired = 1,
         .params = {{&Strings::code, Accepts::Str, &Strings::str},
                    {&Strings::args, Accepts::DictOrNone, &Strings::dict_or_none}},
         .returns = &Strings::dict,
         .doc = "Execute inline Python code.",
         .locals = {"old_stdout", "old_stderr", "captured_out", "captured_err", "namespace",
                    "result", "e"},
         .body = [](PyObject *const *a) { return run_inline(a[0], a[1]); }},
        {.run = {.read_streams = 85, .new_out = 86, .new_err = 87, .set_out = 88, .set_err = 89,
                 .namespace_entry = 92, .namespace_file = 0 /* no __file__ */,
                 .namespace_builtins = 93, .namespace_args = 94, .success_dict = 103,
                 .result_entry = 105, .read_errors = 106, .serialize = 107, .restore_out = 111,
                 .restore_err = 112},
         .exec = 98,
         .result_lookup = 100,
         .error_dict = 116,
         .error_report = 117}},
    .run_function = {
        {.name = &Strings::run_function,
         .traceback_name = "ombrix.workers.custom_worker.run_function",
         .first_line = 121,
         .nparams = 3,
         .nrequired = 2,
         .params = {{&Strings::path, Accepts::Str, &Strings::str},
                    {&Strings::function_name, Accepts::Str, &Strings::str},
                    {&Strings::args, Accepts::DictOrNone, &Strings::dict_or_none}},
         .returns = &Strings::dict,
         .doc = "Execute a specific function from a Python script.",
         .locals = {"p", "spec", "module", "func", "available", "result", "e", "n"},
         .body = [](PyObject *const *a) { return run_function(a[0], a[1], a[2]); }},
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
         .error_report = 162}},
    .validate_script = {
        {.name = &Strings::validate_script,
         .traceback_name = "ombrix.workers.custom_worker.validate_script",
         .first_line = 166,
         .nparams = 1,
         .nrequired = 1,
         .params = {{&Strings::code, Accepts::Str, &Strings::str}},
         .returns = &Strings::dict,
         .doc = "Validate that code is syntactically correct Python.",
         .locals = {"e"},
         .body = [](PyObject *const *a) { return validate_script(a[0]); }},
        {.compile = 169,
         .valid_dict = 171,
         .valid_inner = 172,
         .invalid_dict = 176,
         .invalid_inner = 178,
         .message = 179,
         .error_line = 180,
         .error_offset = 181}},
    .serialize = {
        {.name = &Strings::_serialize,
         .traceback_name = "ombrix.workers.custom_worker._serialize",
         .first_line = 186,
         .nparams = 1,
         .nrequired = 1,
         .params = {{&Strings::obj, Accepts::Anything, nullptr}},
         .returns = nullptr,
         .doc = "Attempt to serialize an object to JSON-compatible format.",
         .locals = {"item", "k", "v"},
         .body = [](PyObject *const *a) { return serialize(a[0]); }},
        {.list_walk = 193, .dict_walk = 195, .str_fallback = 196}},
    .handle_command = {
        {.name = &Strings::handle_command,
         .traceback_name = "ombrix.workers.custom_worker.handle_command",
         .first_line = 199,
         .nparams = 1,
         .nrequired = 1,
         .params = {{&Strings::cmd, Accepts::Dict, &Strings::dict}},
         .returns = &Strings::dict,
         .doc = "Route a command to the appropriate handler.",
         .locals = {"action", "handlers", "handler"},
         .body = [](PyObject *const *a) { return handle_command(a[0]); }},
        {.run_script_route = 207,
         .run_inline_route = 208,
         .run_function_route = 209,
         .validate_route = 214,
         .dispatch = 221}},
    .main = {
        {.name = &Strings::main,
         .traceback_name = "ombrix.workers.custom_worker.main",
         .first_line = 224,
         .nparams = 0,
         .nrequired = 0,
         .params = {},
         .returns = nullptr,
         .doc = nullptr,
         .locals = {"line", "cmd", "e", "response"},
         .body = [](PyObject *const *) { return main_loop(); }},
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
         .quit_test = 244}},
};

// The definition order is the order of the source lines, and each row names
// a function of its own: rows ascend by first line, names are unique.
constexpr bool definition_order_is_sound(const FunctionTable &table) {
    const auto rows = table.in_definition_order();
    for (size_t i = 0; i < rows.size(); ++i) {
        if (i > 0 && rows[i - 1]->first_line >= rows[i]->first_line) return false;
        for (size_t j = 0; j < i; ++j) {
            if (rows[j]->name == rows[i]->name) return false;
            if (std::string_view(rows[j]->traceback_name) ==
                std::string_view(rows[i]->traceback_name))
                return false;
        }
    }
    return true;
}
static_assert(definition_order_is_sound(kFunctions),
              "function rows must ascend by first line and name distinct functions");

// ---------------------------------------------------------------------------
// The function objects (function.cpp)
// ---------------------------------------------------------------------------

// Makes the function type ready, with what its objects share.
int ready_function_type();

// Creates the function that `function` describes, with its code object,
// defaults and annotations.  New reference.
PyObject *make_function(const FunctionDescription &function);

}  // namespace cw
