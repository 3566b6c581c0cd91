// The callable type of the module's three functions: C bodies dressed as
// Python functions, with a code object, a globals namespace and the attribute
// protocol callers expect from a function.
#pragma once

#include "state.hpp"

#include <cstddef>

namespace setup_module {

// A body receives the function's globals (borrowed; null once the function
// has been cleared by the garbage collector) and, for functions that take
// arguments, the call's positional tuple and keyword dict.
using Body = PyObject *(*)(PyObject *globals, PyObject *args, PyObject *kwargs);

enum class Arguments {
    none,  // a call with any argument is refused
    any,   // *args, **kwargs: every call with str keyword names runs the body
};

struct FunctionDef {
    S name;
    const char *c_name;          // for the calling-rule messages
    const char *traceback_name;  // "setup.<name>"
    Arguments arguments;
    int code_flags;
    int first_line;
    const S *varnames;
    std::size_t varname_count;
    Body body;
};

// Readies the type once; returns null with an exception set on failure.
PyTypeObject *function_type();

// New code object describing the function to introspection.
PyObject *new_code(const FunctionDef &definition);

// New function object of the ready type.
PyObject *new_function(const FunctionDef &definition, PyObject *code, PyObject *globals);

}  // namespace setup_module
