// The REPL loop (see repl.h).
//
// One Repl record holds what the loop looks up once (input, print, show, the prompts, the
// session) and, while an entry is being typed, its text as UTF-8 bytes. Each step that can
// fail leaves a pending exception and returns to the loop's one error path, which ends the
// REPL at end of input, prints anything else and starts a new entry, or ends the REPL when
// printing is impossible.
#include "host/repl.h"

#include <string>

#include "host/args.h"
#include "host/exceptions.h"
#include "host/language.h"
#include "host/session.h"

namespace host {

namespace {

struct Repl {
    PyObject* input = nullptr;
    PyObject* print = nullptr;
    PyObject* show = nullptr;
    PyObject* prompt = nullptr;
    PyObject* more = nullptr;
    PyObject* session = nullptr;
    PyObject* parseError = nullptr;   // pargo.ParseError, looked up when first needed
    PyObject* parser = nullptr;
    bool inputFailed = false;         // the pending exception is input()'s

    ~Repl() {
        Py_XDECREF(input);
        Py_XDECREF(print);
        Py_XDECREF(show);
        Py_XDECREF(prompt);
        Py_XDECREF(more);
        Py_XDECREF(session);
        Py_XDECREF(parseError);
        Py_XDECREF(parser);
    }
};

// What the loop does after checking an entry's text.
enum class Check { finished, unfinished, failed };

bool isBlank(Py_UCS4 c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Whether the str has only blanks (an empty str is blank).
bool blankLine(PyObject* line) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(line);
    for (Py_ssize_t i = 0; i < length; i++)
        if (!isBlank(PyUnicode_READ_CHAR(line, i))) return false;
    return true;
}

// Appends the line's UTF-8 bytes and a newline to text. Lone surrogates are kept as their
// (malformed) bytes, which decoding replaces. 0, or -1 with the exception.
int appendLine(std::string* text, PyObject* line) {
    PyObject* bytes = PyUnicode_AsEncodedString(line, "utf-8", "surrogatepass");
    if (!bytes) return -1;
    text->append(PyBytes_AS_STRING(bytes), size_t(PyBytes_GET_SIZE(bytes)));
    text->push_back('\n');
    Py_DECREF(bytes);
    return 0;
}

// Has the parser check the entry's text: finished when it parses or fails before its end,
// unfinished when it fails at its end (the construct goes on in the next line).
Check checkEntry(Repl* repl, PyObject* text) {
    if (!repl->parseError) {
        PyObject* pargo = PyImport_ImportModule("pargo");
        if (!pargo) return Check::failed;
        repl->parseError = PyObject_GetAttrString(pargo, "ParseError");
        Py_DECREF(pargo);
        if (!repl->parseError) return Check::failed;
    }
    PyObject* parsed = PyObject_CallMethod(repl->parser, "parse", "O", text);
    if (parsed) {
        Py_DECREF(parsed);
        return Check::finished;
    }
    if (!PyErr_ExceptionMatches(repl->parseError)) return Check::failed;
    PyObject *kind, *value, *traceback;
    PyErr_Fetch(&kind, &value, &traceback);
    PyErr_NormalizeException(&kind, &value, &traceback);
    PyObject* offsetObject = value ? PyObject_GetAttrString(value, "offset") : nullptr;
    Py_XDECREF(kind);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    if (!offsetObject) return Check::failed;
    long long offset = PyLong_AsLongLong(offsetObject);
    Py_DECREF(offsetObject);
    if (offset == -1 && PyErr_Occurred()) return Check::failed;
    // The parser counts bytes; the end is that of the text without its trailing blanks.
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (!utf8) return Check::failed;
    while (size > 0 && isBlank(static_cast<unsigned char>(utf8[size - 1]))) size--;
    return offset >= size ? Check::unfinished : Check::finished;
}

// input(prompt): a new reference, or null (remembering that input() failed).
PyObject* ask(Repl* repl, PyObject* prompt) {
    PyObject* line = PyObject_CallOneArg(repl->input, prompt);
    repl->inputFailed = !line;
    return line;
}

// Reads one entry: its text (a new str), or null with the exception (the entry dropped).
PyObject* readEntry(Repl* repl) {
    std::string bytes;
    bool atStart = true;
    PyObject* line = ask(repl, repl->prompt);
    for (;;) {
        if (!line) return nullptr;
        if (!PyUnicode_Check(line)) {
            Py_DECREF(line);
            PyErr_SetString(PyExc_TypeError, "line must be a str");
            return nullptr;
        }
        bool blank = blankLine(line);
        if (blank && atStart) {
            Py_DECREF(line);
            line = ask(repl, repl->prompt);
            continue;
        }
        atStart = false;
        int appended = appendLine(&bytes, line);
        Py_DECREF(line);
        if (appended < 0) return nullptr;
        PyObject* text = PyUnicode_DecodeUTF8(bytes.data(), Py_ssize_t(bytes.size()), "replace");
        if (!text || blank) return text;
        switch (checkEntry(repl, text)) {
            case Check::finished:
                return text;
            case Check::failed:
                Py_DECREF(text);
                return nullptr;
            case Check::unfinished:
                Py_DECREF(text);
                line = ask(repl, repl->more);
                break;
        }
    }
}

// Runs an entry and shows its value. 0, or -1 with the exception.
int runAndShow(Repl* repl, PyObject* text) {
    PyObject* value = sessionRun(repl->session, text);
    if (!value) return -1;
    PyObject* shown =
        value == Py_None ? Py_NewRef(Py_None) : PyObject_CallOneArg(repl->show, value);
    Py_DECREF(value);
    if (!shown) return -1;
    Py_DECREF(shown);
    return 0;
}

// The argument given, or the default when it is absent or None. New reference, or null.
PyObject* orDefault(PyObject* given, PyObject* fallback) {
    return Py_NewRef(given && given != Py_None ? given : fallback);
}

PyObject* orDefault(PyObject* given, const char* fallback) {
    return given && given != Py_None ? Py_NewRef(given) : PyUnicode_FromString(fallback);
}

}  // namespace

bool replPrintError(PyObject* print) {
    if (PyErr_ExceptionMatches(PyExc_SystemExit)) return false;
    PyObject *kind, *value, *traceback;
    PyErr_Fetch(&kind, &value, &traceback);
    PyErr_NormalizeException(&kind, &value, &traceback);
    PyObject* text = nullptr;
    if (value && (PyErr_GivenExceptionMatches(kind, errorClass) ||
                  PyErr_GivenExceptionMatches(kind, loadErrorClass))) {
        text = PyObject_Str(value);
    } else if (kind) {
        PyObject* name = PyObject_GetAttrString(kind, "__name__");
        PyObject* said = name ? PyObject_Str(value ? value : Py_None) : nullptr;
        if (said) text = PyUnicode_FromFormat("%U: %U", name, said);
        Py_XDECREF(name);
        Py_XDECREF(said);
    } else {
        text = PyUnicode_FromString("error");
    }
    Py_XDECREF(kind);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    if (!text) return false;
    PyObject* printed = nullptr;
    PyObject* stderrObject = PySys_GetObject("stderr");   // borrowed
    if (stderrObject) {
        PyObject* positional = PyTuple_Pack(1, text);
        PyObject* keywords = positional ? Py_BuildValue("{sO}", "file", stderrObject) : nullptr;
        if (keywords) printed = PyObject_Call(print, positional, keywords);
        Py_XDECREF(positional);
        Py_XDECREF(keywords);
    } else {
        printed = PyObject_CallOneArg(print, text);
    }
    Py_DECREF(text);
    if (!printed) return false;
    Py_DECREF(printed);
    return true;
}

PyObject* languageRepl(PyObject* self, PyObject* args, PyObject* kwargs) {
    LanguageObject* language = languageOf(self);
    if (!language) return nullptr;
    static constexpr args::Param params[] = {{"prompt", false}, {"more", false}, {"show", false}};
    PyObject* given[3];
    if (args::parse("repl", params, args, kwargs, given) < 0) return nullptr;
    Repl repl;
    PyObject* builtins = PyImport_ImportModule("builtins");
    if (!builtins) return nullptr;
    repl.input = PyObject_GetAttrString(builtins, "input");
    repl.print = repl.input ? PyObject_GetAttrString(builtins, "print") : nullptr;
    Py_DECREF(builtins);
    if (!repl.print) return nullptr;
    if (!(repl.prompt = orDefault(given[0], "> ")) || !(repl.more = orDefault(given[1], "... ")))
        return nullptr;
    repl.show = orDefault(given[2], repl.print);
    repl.parser = Py_NewRef(language->parser);
    if (!(repl.session = languageSession(self, nullptr))) return nullptr;
    for (;;) {
        PyObject* text = readEntry(&repl);
        if (text) {
            int ran = runAndShow(&repl, text);
            Py_DECREF(text);
            if (ran == 0) continue;
        }
        if (repl.inputFailed && PyErr_ExceptionMatches(PyExc_EOFError)) {
            PyErr_Clear();
            PyObject* printed = PyObject_CallNoArgs(repl.print);
            if (!printed) return nullptr;
            Py_DECREF(printed);
            Py_RETURN_NONE;
        }
        if (!replPrintError(repl.print)) return nullptr;
    }
}

}  // namespace host
