// Run errors and the call stack (see interp/run_errors.h).
//
// buildRunError is the one place a wuna.Error is made: the diagnostic at the failing
// node, one note per call entry, the rendered text with the stack lines under it. The other
// operations decide when an exception becomes such an error and with which message; the
// message of a Python exception comes from one table, matched in order.
#include "host/interp/run_errors.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/interp/frame_object.h"
#include "host/interp/rt.h"
#include "host/module/exceptions.h"
#include "host/module/startup.h"
#include "host/run/program.h"
#include "host/tree/index.h"
#include "host/tree/state.h"
#include "wuna/runtime/errors.h"
#include "wuna/runtime/pending_error.h"
#include "wuna/runtime/pyhelp.h"

namespace wuna::host {

namespace {

constexpr size_t kNoteBytes = 256;
constexpr size_t kLineBytes = 1024;

// The Diagnostic(severity, code, message, (start, end), line, column).
PyObject* newDiagnostic(const char* severity, PyObject* code, PyObject* message,
                        const Position& at) {
    return PyObject_CallFunction(diagnosticClass, "sOO(II)II", severity, code, message,
                                 unsigned(at.start), unsigned(at.end), unsigned(at.line),
                                 unsigned(at.column));
}

// The note of one call entry: "in <name>()" at its call site, "in a call" when that does not
// fit its buffer.
PyObject* callNote(const ptree::Index* index, const CallEntry& entry, PyObject* callCode) {
    // Copied by length, not formatted: a name may hold a NUL, which must not end it.
    char text[kNoteBytes];
    size_t length = 0;
    if (entry.length + 5 < sizeof text) {
        memcpy(text, "in ", 3);
        memcpy(text + 3, entry.name, entry.length);
        memcpy(text + 3 + entry.length, "()", 2);
        length = entry.length + 5;
    } else {
        length = strlen(strcpy(text, "in a call"));
    }
    PyObject* message = PyUnicode_DecodeUTF8(text, Py_ssize_t(length), "replace");
    if (!message) return nullptr;
    PyObject* note = newDiagnostic("note", callCode, message, positionOf(index, entry.site));
    Py_DECREF(message);
    return note;
}

// The stack list: (name, note) per entry, in the given order.
PyObject* stackOf(const ptree::Index* index, std::span<const CallEntry> entries) {
    PyObject* stack = PyList_New(0);
    PyObject* callCode = stack ? PyUnicode_FromString("call") : nullptr;
    if (!callCode) {
        Py_XDECREF(stack);
        return nullptr;
    }
    for (const CallEntry& entry : entries) {
        PyObject* name = PyUnicode_DecodeUTF8(entry.name, Py_ssize_t(entry.length), "replace");
        PyObject* note = name ? callNote(index, entry, callCode) : nullptr;
        PyObject* pair = note ? PyTuple_Pack(2, name, note) : nullptr;
        Py_XDECREF(name);
        Py_XDECREF(note);
        if (!pair || PyList_Append(stack, pair) < 0) {
            Py_XDECREF(pair);
            Py_CLEAR(stack);
            break;
        }
        Py_DECREF(pair);
    }
    Py_DECREF(callCode);
    return stack;
}

// "  in <name>(), called at <where>:<line>:<column>", or Py_None (a new reference) when the
// line does not fit in its buffer.
PyObject* stackLine(PyObject* pair, PyObject* where) {
    PyObject* name = PyTuple_GET_ITEM(pair, 0);
    PyObject* note = PyTuple_GET_ITEM(pair, 1);
    PyObject* line = PyObject_GetAttrString(note, "line");
    PyObject* column = line ? PyObject_GetAttrString(note, "column") : nullptr;
    PyObject* text =
        column ? PyUnicode_FromFormat("  in %U(), called at %U:%S:%S", name, where, line, column)
               : nullptr;
    Py_XDECREF(line);
    Py_XDECREF(column);
    if (!text) return nullptr;
    Py_ssize_t bytes = 0;
    if (!PyUnicode_AsUTF8AndSize(text, &bytes)) {
        // A name can hold no malformed bytes (decoded with "replace"), but the path can.
        PyErr_Clear();
        bytes = PyUnicode_GET_LENGTH(text) * 4;
    }
    if (size_t(bytes) >= kLineBytes) {
        Py_DECREF(text);
        Py_RETURN_NONE;
    }
    return text;
}

// The rendered diagnostic and the stack lines joined with newlines.
PyObject* errorText(const ProgramRecord* program, PyObject* diagnostic, PyObject* stack) {
    PyObject* where = program->path ? Py_NewRef(program->path) : PyUnicode_FromString("<program>");
    if (!where) return nullptr;
    if (!PyUnicode_Check(where)) {
        Py_DECREF(where);
        PyErr_SetString(PyExc_TypeError, "path must be a str");
        return nullptr;
    }
    PyObject* rendered =
        program->path
            ? PyObject_CallMethod(diagnostic, "render", "OO", program->source, program->path)
            : PyObject_CallMethod(diagnostic, "render", "O", program->source);
    PyObject* lines = rendered ? PyList_New(0) : nullptr;
    bool ok = lines && PyList_Append(lines, rendered) == 0;
    for (Py_ssize_t i = 0; ok && i < PyList_GET_SIZE(stack); i++) {
        PyObject* line = stackLine(PyList_GET_ITEM(stack, i), where);
        ok = line && (line == Py_None || PyList_Append(lines, line) == 0);
        Py_XDECREF(line);
    }
    PyObject* text = nullptr;
    if (ok) {
        PyObject* newline = PyUnicode_FromString("\n");
        text = newline ? PyUnicode_Join(newline, lines) : nullptr;
        Py_XDECREF(newline);
    }
    Py_XDECREF(lines);
    Py_XDECREF(rendered);
    Py_DECREF(where);
    return text;
}

// A str cut to the message rule: at most the buffer's bytes, cut on a character boundary
// with "...". Takes text's reference.
PyObject* cutMessage(PyObject* text) {
    if (!text) return nullptr;
    PyObject* cut = pyhelp::cutStr(text);
    Py_DECREF(text);
    return cut;
}

// Reads the frames of the call stack, innermost first, into entries (count items). The
// names' texts are borrowed from the frames. 0, or -1 with the exception.
int callEntries(RunRecord* rt, CallEntry* entries) {
    for (uint32_t i = 0; i < rt->callCount; i++) {
        FrameObject* frame = rt->callStack[rt->callCount - 1 - i];
        if (!frame->name || !PyUnicode_Check(frame->name)) {
            PyErr_SetString(PyExc_TypeError, "name must be a str");
            return -1;
        }
        Py_ssize_t length = 0;
        const char* name = PyUnicode_AsUTF8AndSize(frame->name, &length);
        if (!name) return -1;
        entries[i] = {name, size_t(length), frame->callSite};
    }
    return 0;
}

}  // namespace

bool isProgramFailure(PyObject* kind) { return PyErr_GivenExceptionMatches(kind, PyExc_Exception); }

Position positionOf(const ptree::Index* index, int64_t node) {
    if (!index || node < 0 || node >= int64_t(index->count)) return {0, 0, 1, 1};
    const ptree::NodeRecord& record = index->nodes[node];
    uint32_t line = ptree::lineOf(index, record.start);
    return {record.start, record.end, line, record.start - ptree::lineStart(index, line) + 1};
}

PyObject* buildRunError(const ProgramRecord* program, int64_t node, PyObject* message,
                        PyObject* code, std::span<const CallEntry> entries) {
    const StateObject* state = stateOf(program);
    const ptree::Index* index = state && state->holder ? state->holder->index : nullptr;
    PyObject* errorCode = code ? Py_NewRef(code) : PyUnicode_FromString("runtime");
    if (!errorCode) return nullptr;
    PyObject* diagnostic = newDiagnostic("error", errorCode, message, positionOf(index, node));
    Py_DECREF(errorCode);
    PyObject* stack = diagnostic ? stackOf(index, entries) : nullptr;
    PyObject* text = stack ? errorText(program, diagnostic, stack) : nullptr;
    PyObject* error = text ? PyObject_CallOneArg(errorClass, text) : nullptr;
    Py_XDECREF(text);
    if (error && (PyObject_SetAttrString(error, "diagnostic", diagnostic) < 0 ||
                  PyObject_SetAttrString(error, "stack", stack) < 0))
        Py_CLEAR(error);
    Py_XDECREF(diagnostic);
    Py_XDECREF(stack);
    return error;
}

PyObject* errorAtNode(RunRecord* rt, int64_t node, PyObject* message, PyObject* code) {
    if (!rt->record) {
        PyErr_SetString(PyExc_RuntimeError, "this Runtime has no program");
        return nullptr;
    }
    CallEntry* entries = nullptr;
    if (rt->callCount) {
        entries = static_cast<CallEntry*>(malloc(sizeof(CallEntry) * rt->callCount));
        if (!entries) return PyErr_NoMemory();
    }
    PyObject* error = nullptr;
    if (callEntries(rt, entries) == 0)
        error = buildRunError(rt->record, node, message, code,
                              std::span<const CallEntry>(entries, rt->callCount));
    free(entries);
    return error;
}

void raiseAtNode(RunRecord* rt, int64_t node, PyObject* message, PyObject* code) {
    PyObject* error = errorAtNode(rt, node, message, code);
    if (!error) return;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
    Py_DECREF(error);
}

void raiseAtNodeText(RunRecord* rt, int64_t node, const char* message, size_t length) {
    char buffer[pyhelp::kMessageBuffer];
    size_t kept = pyhelp::cutText(buffer, message, length);
    PyObject* text = PyUnicode_DecodeUTF8(buffer, Py_ssize_t(kept), "replace");
    if (!text) return;
    raiseAtNode(rt, node, text, nullptr);
    Py_DECREF(text);
}

void wrapError(RunRecord* rt, int64_t node) {
    PyObject* kind = PyErr_Occurred();
    if (!kind || !isProgramFailure(kind)) return;
    PyObject* passing[] = {returnClass, breakClass, continueClass, tailCallClass, errorClass};
    for (PyObject* cls : passing)
        if (PyErr_GivenExceptionMatches(kind, cls)) return;
    if (PyErr_GivenExceptionMatches(kind, throwClass)) {
        attachThrowError(rt, node);
        return;
    }
    PyObject* message = exceptionMessage();
    if (!message) return;
    raiseAtNode(rt, node, message, nullptr);
    Py_DECREF(message);
}

void attachThrowError(RunRecord* rt, int64_t node) {
    PendingError thrown;
    thrown.take();
    if (PyObject* value = thrown.exception) {
        int has = PyObject_HasAttrString(value, "_wuna_error");
        if (!has) {
            PyObject* message = PyObject_GetAttrString(value, "message");
            PyObject* source = message;
            if (message == Py_None) {
                source = PyObject_GetAttrString(value, "value");
                Py_DECREF(message);
            }
            PyObject* text = source ? PyObject_Str(source) : nullptr;
            Py_XDECREF(source);
            PyObject* error = text ? errorAtNode(rt, node, text, nullptr) : nullptr;
            Py_XDECREF(text);
            if (error) PyObject_SetAttrString(value, "_wuna_error", error);
            Py_XDECREF(error);
        }
        PyErr_Clear();
    }
    thrown.restore();
}

void finishRunError() {
    if (!PyErr_Occurred() || !PyErr_ExceptionMatches(throwClass)) return;
    PendingError thrown;
    thrown.take();
    PyObject* error =
        thrown.exception ? PyObject_GetAttrString(thrown.exception, "_wuna_error") : nullptr;
    if (!error || !PyExceptionInstance_Check(error)) {
        // Only an exception can take the Throw's place; anything else leaves the Throw.
        Py_XDECREF(error);
        PyErr_Clear();
        thrown.restore();
        return;
    }
    thrown.drop();
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
    Py_DECREF(error);
}

PyObject* exceptionMessage() {
    // The wording is the runtime's, so both modes word a Python failure alike.
    return cutMessage(errors::pendingMessage());
}

void raiseNoSuchFunction(PyObject* cls, const char* name, size_t length) {
    static constexpr char head[] = "the program defines no function '";
    char buffer[2 * pyhelp::kMessageBuffer];
    size_t kept = length < pyhelp::kMessageBuffer ? length : pyhelp::kMessageBuffer;
    size_t total = 0;
    memcpy(buffer, head, sizeof head - 1);
    total += sizeof head - 1;
    memcpy(buffer + total, name, kept);
    total += kept;
    buffer[total++] = '\'';
    pyhelp::raiseText(cls, buffer, total);
}

}  // namespace wuna::host
