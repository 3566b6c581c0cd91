// An application that embeds Python may finalise it and initialise it again
// in the same process. Each runtime must get a working module of its own,
// whatever happened to the import in the runtime before, and nothing of a
// finished runtime may be handed back or touched.
//
//   embedding STAGE succeed|first-fails
//
// Runs three runtimes one after another, importing the module from the
// staging tree STAGE in each. With first-fails the first runtime blocks the
// sibling module `call`, so that runtime's import fails.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr const char kRound[] = R"(
import sys
sys.path.insert(0, stage)
if block_call:
    sys.modules["vellomar.printing.cups.call"] = None
try:
    from vellomar.printing.cups import setup
except ImportError as error:
    outcome = "failed: %s" % error
else:
    usable, reason = setup.is_available()
    assert isinstance(usable, bool) and isinstance(reason, str), (usable, reason)
    assert setup.setup()["env"]["LANG"] == "C"
    assert setup.get_version_info()[0] in (True, False)
    assert type(setup.setup).__module__ == "setup"
    # Clearing the namespace must reach only this runtime's objects.
    vars(setup).clear()
    outcome = "imported"
)";

// Runs one round in a runtime of its own; returns the outcome text, or
// nullptr after printing what went wrong.
bool run_round(const char *stage, bool block_call, char *outcome, std::size_t size) {
    Py_InitializeEx(0);
    bool ok = false;
    PyObject *globals = PyDict_New();
    PyObject *stage_text = PyUnicode_DecodeFSDefault(stage);
    if (globals != nullptr && stage_text != nullptr &&
        PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins()) == 0 &&
        PyDict_SetItemString(globals, "stage", stage_text) == 0 &&
        PyDict_SetItemString(globals, "block_call", block_call ? Py_True : Py_False) == 0) {
        PyObject *result = PyRun_String(kRound, Py_file_input, globals, globals);
        PyObject *text = result != nullptr ? PyDict_GetItemString(globals, "outcome") : nullptr;
        const char *utf8 = text != nullptr ? PyUnicode_AsUTF8(text) : nullptr;
        if (utf8 != nullptr) {
            std::snprintf(outcome, size, "%s", utf8);
            ok = true;
        }
        Py_XDECREF(result);
    }
    if (PyErr_Occurred()) {
        PyErr_Print();
    }
    Py_XDECREF(stage_text);
    Py_XDECREF(globals);
    if (Py_FinalizeEx() < 0) {
        std::fprintf(stderr, "Py_FinalizeEx failed\n");
        ok = false;
    }
    return ok;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3 || (std::strcmp(argv[2], "succeed") != 0 &&
                      std::strcmp(argv[2], "first-fails") != 0)) {
        std::fprintf(stderr, "usage: %s STAGE succeed|first-fails\n", argv[0]);
        return 2;
    }
    const bool first_fails = std::strcmp(argv[2], "first-fails") == 0;
    int failures = 0;
    for (int round = 0; round < 3; ++round) {
        const bool block_call = first_fails && round == 0;
        const char *expected = block_call ? "failed: " : "imported";
        char outcome[512] = "";
        const bool ran = run_round(argv[1], block_call, outcome, sizeof outcome);
        const bool as_expected = ran && std::strncmp(outcome, expected, std::strlen(expected)) == 0;
        std::printf("round %d: %s%s\n", round + 1, ran ? outcome : "(no outcome)",
                    as_expected ? "" : "  <- unexpected");
        failures += as_expected ? 0 : 1;
    }
    return failures == 0 ? 0 : 1;
}
