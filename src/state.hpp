// Process-wide state of the module: what initialisation prepares once and the
// probes use on every call.
#pragma once

#include "ref.hpp"

#include <cstdint>

namespace setup_module {

// File name of the module's code objects and traceback entries, as if the
// module had been compiled from a Python source beside its package.
inline constexpr const char kSourcePath[] = "vellomar/printing/cups/setup.py";

// Every string the module needs, made once. Identifier-like ones are interned
// so that attribute and global lookups hit the fast path.
#define SETUP_STRINGS(X)                                         \
    X(platform, "platform", true)                                \
    X(system, "system", true)                                    \
    X(path, "path", true)                                        \
    X(exists, "exists", true)                                    \
    X(environ, "environ", true)                                  \
    X(copy, "copy", true)                                        \
    X(call, "call", true)                                        \
    X(Timeouts, "Timeouts", true)                                \
    X(splitlines, "splitlines", true)                            \
    X(format, "format", true)                                    \
    X(os, "os", true)                                            \
    X(OSError, "OSError", true)                                  \
    X(zip, "zip", true)                                          \
    X(is_available, "is_available", true)                        \
    X(get_version_info, "get_version_info", true)                \
    X(setup, "setup", true)                                      \
    X(test, "__test__", true)                                    \
    X(Darwin, "Darwin", true)                                    \
    X(Linux, "Linux", true)                                      \
    X(lp, "/usr/bin/lp", false)                                  \
    X(lpoptions, "/usr/bin/lpoptions", false)                    \
    X(lpstat, "/usr/bin/lpstat", false)                          \
    X(platform_message, "Platform {} is not supported.", false)  \
    X(command_message, "Command {} not found.", false)           \
    X(cups_info_message, "Unable to collect cups info: {}", false) \
    X(cups_config, "cups-config", false)                         \
    X(version_arg, "--version", false)                           \
    X(api_version_arg, "--api-version", false)                   \
    X(build_arg, "--build", false)                               \
    X(datadir_arg, "--datadir", false)                           \
    X(serverbin_arg, "--serverbin", false)                       \
    X(serverroot_arg, "--serverroot", false)                     \
    X(version, "version", false)                                 \
    X(api_version, "api-version", false)                         \
    X(build, "build", false)                                     \
    X(datadir, "datadir", true)                                  \
    X(serverbin, "serverbin", true)                              \
    X(serverroot, "serverroot", true)                            \
    X(SOFTWARE, "SOFTWARE", true)                                \
    X(LANG, "LANG", true)                                        \
    X(C, "C", true)                                              \
    X(env, "env", true)                                          \
    X(timeout, "timeout", true)                                  \
    X(source_path, "vellomar/printing/cups/setup.py", false)     \
    X(args, "args", true)                                        \
    X(kwargs, "kwargs", true)                                    \
    X(plat, "plat", true)                                        \
    X(commands, "commands", true)                                \
    X(command, "command", true)                                  \
    X(opts, "opts", true)                                        \
    X(cmd, "cmd", true)                                          \
    X(out, "out", true)                                          \
    X(_err, "_err", true)                                        \
    X(err, "err", true)                                          \
    X(msg, "msg", true)                                          \
    X(opt, "opt", true)

enum class S {
#define SETUP_STRING_ENUM(id, text, interned) id,
    SETUP_STRINGS(SETUP_STRING_ENUM)
#undef SETUP_STRING_ENUM
        count
};

// What a lookup found last time in a dict: still right while it is the same
// dict at the same version. The value is borrowed: the unchanged dict still
// holds it.
struct DictCache {
    PyObject *dict = nullptr;
    std::uint64_t version = 0;
    PyObject *value = nullptr;
};

struct State {
    // The module this runtime has taken as its own, and the interpreter that
    // created it; both are set during import and never released afterwards.
    Ref held_module;
    long long owner_interpreter = -1;
    // The per-module state block the interpreter gave the held module. Each
    // re-import drops the module's pointer to it and allocates another (an
    // m_size of 0 still allocates), so the dropped one is freed here.
    void *held_module_state = nullptr;

    Ref function_type;  // the functions' type, a heap type of this runtime

    Ref builtins;  // the builtins module, for global lookups that miss the namespace
    Ref os_error;
    Ref zip;

    Ref empty_tuple;
    Ref empty_bytes;
    Ref empty_str;
    Ref stub_bytecode;
    Ref stub_linetable;
    Ref strings[static_cast<int>(S::count)];
    Ref three;
    Ref ten;
    Ref codes[3];      // of the three functions, in the order they are bound
    Ref success_pair;  // (True, "")
    Ref timeout_args;  // (3, 10)
    bool constants_ready = false;
    DictCache global_caches[static_cast<int>(S::count)];     // by global name
    DictCache attribute_caches[static_cast<int>(S::count)];  // by attribute name
};

// Made by the first creation step of each runtime and never destroyed: the
// objects it holds belong to that runtime. When the runtime is finalised
// (Py_Finalize, which an embedding program may follow with a new
// Py_Initialize) the state is abandoned, not released, and the next runtime
// starts afresh: nothing of a finalised runtime is handed back or touched.
extern State *process_state;

// Makes the state if this runtime has none yet.
void ensure_state();

inline State &state() { return *process_state; }

inline PyObject *str(S id) { return state().strings[static_cast<int>(id)].get(); }

// Makes the strings and integers once per process. Retrying a failed import
// reuses them, so a function object of an abandoned module stays usable.
int make_constants();
int make_pairs();

// A module global as the probes see it: the function's namespace first, then
// the builtins module; NameError when neither has it. Returns a new reference.
PyObject *lookup_global(PyObject *globals, S name);

// owner.name, new reference. For an exact module the answer is its dict's
// entry, so it is remembered under the dict's version like a global.
PyObject *get_attribute(PyObject *owner, S name);

// Adds the module's traceback entry for a failing line to the pending
// exception.
void add_traceback(const char *function_name, int line);

}  // namespace setup_module
