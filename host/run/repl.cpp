// The REPL loop (see run/repl.h).
//
// One Repl record holds what the loop looks up once (input, print, show, the prompts, the
// session) and, while an entry is being typed, its text as UTF-8 bytes. Each step that can
// fail leaves a pending exception and returns to the loop's one error path, which ends the
// REPL at end of input, prints anything else and starts a new entry, or ends the REPL when
// printing is impossible.
//
// A line's text is taken as the bytes that were typed: input() gives a byte that its stream
// could not decode as a lone surrogate U+DC80..U+DCFF (the "surrogateescape" of a standard
// stream), which stands for that byte again. Bytes that are not UTF-8 are then replaced as a
// program file's are (one U+FFFD for each malformed sequence), so an entry's source is what
// the same lines give when read from a file.
//
// The check runs the parser over the whole entry, so checking every line of an entry pasted
// a few thousand lines long would cost time growing with the square of its length. Small
// entries are checked at every line. Past kAlwaysChecked bytes, a line is checked when it is
// indented no deeper than the entry's first line (where, by every layout convention, an
// entry's last line is), and otherwise only when the entry has grown by half since its last
// check, which keeps the parsing proportional to the entry's length while a syntax error deep
// inside it still ends it soon.
#include "host/run/repl.h"

#include <iterator>
#include <string>

#include "host/language/language.h"
#include "host/module/exceptions.h"
#include "host/run/session.h"
#include "wuna/runtime/args.h"
#include "wuna/runtime/pending_error.h"

namespace wuna::host {

namespace {

struct Repl {
    PyObject* input = nullptr;
    PyObject* print = nullptr;
    PyObject* show = nullptr;
    PyObject* prompt = nullptr;
    PyObject* more = nullptr;
    PyObject* session = nullptr;
    PyObject* parseError = nullptr;  // pargo.ParseError, looked up when first needed
    PyObject* parser = nullptr;
    bool inputFailed = false;  // the pending exception is input()'s
};

// Drops every reference the record holds (at languageRepl's single exit). Dropping the session
// may run any code, which must not see the exception that ended the REPL; it is pending again
// afterwards. Never fails.
void releaseRepl(Repl* repl) {
    PendingError ending;
    ending.take();
    Py_CLEAR(repl->input);
    Py_CLEAR(repl->print);
    Py_CLEAR(repl->show);
    Py_CLEAR(repl->prompt);
    Py_CLEAR(repl->more);
    Py_CLEAR(repl->session);
    Py_CLEAR(repl->parseError);
    Py_CLEAR(repl->parser);
    ending.restore();
}

// What the loop does after checking an entry's text.
enum class Check { finished, unfinished, failed };

// Entries up to this many bytes are checked at every line.
constexpr size_t kAlwaysChecked = 8192;

// An entry being typed: its text so far as UTF-8 (malformed bytes replaced), the indentation
// of its first and of its last line, and its size when the parser last checked it.
struct Entry {
    std::string bytes;
    size_t firstIndent = 0;
    size_t lastIndent = 0;
    size_t checkedSize = 0;
};

bool isBlank(Py_UCS4 c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Whether the str has only blanks (an empty str is blank).
bool blankLine(PyObject* line) {
    Py_ssize_t length = PyUnicode_GET_LENGTH(line);
    for (Py_ssize_t i = 0; i < length; i++)
        if (!isBlank(PyUnicode_READ_CHAR(line, i))) return false;
    return true;
}

// The count of spaces and tabs the line starts with.
size_t indentOf(const char* line, size_t length) {
    size_t n = 0;
    while (n < length && (line[n] == ' ' || line[n] == '\t')) n++;
    return n;
}

// Appends code point c as UTF-8; a surrogate gets the three bytes of its number (malformed,
// for the decoding to replace).
void appendUtf8(std::string* out, Py_UCS4 c) {
    if (c < 0x80) {
        out->push_back(char(c));
    } else if (c < 0x800) {
        out->push_back(char(0xC0 | (c >> 6)));
        out->push_back(char(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out->push_back(char(0xE0 | (c >> 12)));
        out->push_back(char(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(char(0x80 | (c & 0x3F)));
    } else {
        out->push_back(char(0xF0 | (c >> 18)));
        out->push_back(char(0x80 | ((c >> 12) & 0x3F)));
        out->push_back(char(0x80 | ((c >> 6) & 0x3F)));
        out->push_back(char(0x80 | (c & 0x3F)));
    }
}

// The bytes the line was typed as: its UTF-8, where a surrogate escape U+DC80..U+DCFF is the
// byte it stands for.
std::string typedBytes(PyObject* line) {
    std::string raw;
    Py_ssize_t length = PyUnicode_GET_LENGTH(line);
    raw.reserve(size_t(length));
    for (Py_ssize_t i = 0; i < length; i++) {
        Py_UCS4 c = PyUnicode_READ_CHAR(line, i);
        if (c >= 0xDC80 && c <= 0xDCFF)
            raw.push_back(char(c - 0xDC00));
        else
            appendUtf8(&raw, c);
    }
    return raw;
}

// Appends the line (its malformed bytes replaced) and a newline to the entry. A sequence
// cut short at the line's end is malformed here as in the whole text, since the newline
// cannot continue it. 0, or -1 with the exception.
int appendLine(Entry* entry, PyObject* line) {
    const char* utf8 = nullptr;
    Py_ssize_t size = 0;
    PyObject* repaired = nullptr;
    if (PyUnicode_IS_ASCII(line)) {
        utf8 = PyUnicode_AsUTF8AndSize(line, &size);
    } else {
        std::string raw = typedBytes(line);
        repaired = PyUnicode_DecodeUTF8(raw.data(), Py_ssize_t(raw.size()), "replace");
        utf8 = repaired ? PyUnicode_AsUTF8AndSize(repaired, &size) : nullptr;
    }
    if (!utf8) {
        Py_XDECREF(repaired);
        return -1;
    }
    entry->lastIndent = indentOf(utf8, size_t(size));
    if (entry->bytes.empty()) entry->firstIndent = entry->lastIndent;
    entry->bytes.append(utf8, size_t(size));
    entry->bytes.push_back('\n');
    Py_XDECREF(repaired);
    return 0;
}

// Whether the line just added calls for the parser's check (see above).
bool worthChecking(const Entry& entry) {
    return entry.bytes.size() <= kAlwaysChecked || entry.lastIndent <= entry.firstIndent ||
           entry.bytes.size() >= entry.checkedSize + entry.checkedSize / 2;
}

// The entry's text as a str: a new reference, or null with the exception.
PyObject* entryText(const Entry& entry) {
    return PyUnicode_DecodeUTF8(entry.bytes.data(), Py_ssize_t(entry.bytes.size()), "replace");
}

// Has the parser check the entry's text: finished when it parses or fails before its end,
// unfinished when it fails at its end (the construct goes on in the next line). The check
// builds the tree only (parse_tree): making the values of a long line's deep tree would need
// more of the interpreter's recursion than a run grants itself, and the entry's load reads
// the text again anyway.
Check checkEntry(Repl* repl, Entry* entry) {
    if (!repl->parseError) {
        PyObject* pargo = PyImport_ImportModule("pargo");
        if (!pargo) return Check::failed;
        repl->parseError = PyObject_GetAttrString(pargo, "ParseError");
        Py_DECREF(pargo);
        if (!repl->parseError) return Check::failed;
    }
    entry->checkedSize = entry->bytes.size();
    // The parser gets the text as the entry's load will (a str).
    PyObject* text = entryText(*entry);
    if (!text) return Check::failed;
    PyObject* parsed = PyObject_CallMethod(repl->parser, "parse_tree", "O", text);
    Py_DECREF(text);
    if (parsed) {
        Py_DECREF(parsed);
        return Check::finished;
    }
    if (!PyErr_ExceptionMatches(repl->parseError)) return Check::failed;
    PendingError parseError;
    parseError.take();
    PyObject* offsetObject =
        parseError.exception ? PyObject_GetAttrString(parseError.exception, "offset") : nullptr;
    parseError.drop();
    if (!offsetObject) return Check::failed;
    long long offset = PyLong_AsLongLong(offsetObject);
    Py_DECREF(offsetObject);
    if (offset == -1 && PyErr_Occurred()) return Check::failed;
    // The parser counts bytes; the end is that of the text without its trailing blanks.
    size_t size = entry->bytes.size();
    while (size > 0 && isBlank(static_cast<unsigned char>(entry->bytes[size - 1]))) size--;
    return offset >= 0 && uint64_t(offset) >= size ? Check::unfinished : Check::finished;
}

// input(prompt): a new reference, or null (remembering that input() failed).
PyObject* ask(Repl* repl, PyObject* prompt) {
    PyObject* line = PyObject_CallOneArg(repl->input, prompt);
    repl->inputFailed = !line;
    return line;
}

// Reads one entry: its text (a new str), or null with the exception (the entry dropped).
PyObject* readEntry(Repl* repl) {
    Entry entry;
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
        int appended = appendLine(&entry, line);
        Py_DECREF(line);
        if (appended < 0) return nullptr;
        if (blank) return entryText(entry);
        switch (worthChecking(entry) ? checkEntry(repl, &entry) : Check::unfinished) {
        case Check::finished: return entryText(entry);
        case Check::failed: return nullptr;
        case Check::unfinished: line = ask(repl, repl->more); break;
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

int replPrintError(PyObject* print) {
    if (PyErr_ExceptionMatches(PyExc_SystemExit)) return -1;
    PendingError failure;
    failure.take();
    PyObject* value = failure.exception;
    PyObject* kind = value ? reinterpret_cast<PyObject*>(Py_TYPE(value)) : nullptr;
    PyObject* text = nullptr;
    if (value && (PyErr_GivenExceptionMatches(kind, errorClass) ||
                  PyErr_GivenExceptionMatches(kind, loadErrorClass))) {
        text = PyObject_Str(value);
    } else if (value) {
        PyObject* name = PyObject_GetAttrString(kind, "__name__");
        PyObject* said = name ? PyObject_Str(value) : nullptr;
        if (said) text = PyUnicode_FromFormat("%U: %U", name, said);
        Py_XDECREF(name);
        Py_XDECREF(said);
    } else {
        text = PyUnicode_FromString("error");
    }
    failure.drop();
    if (!text) return -1;
    PyObject* printed = nullptr;
    PyObject* stderrObject = PySys_GetObject("stderr");  // borrowed
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
    if (!printed) return -1;
    Py_DECREF(printed);
    return 0;
}

namespace {

// Fills the record with what the loop looks up once: input and print, the prompts, show, the
// parser and a new session of the language `self`. 0, or -1 with the exception (what was
// filled stays for the caller to release).
int setUpRepl(Repl* repl, PyObject* self, PyObject* const given[3]) {
    PyObject* builtins = PyImport_ImportModule("builtins");
    if (!builtins) return -1;
    repl->input = PyObject_GetAttrString(builtins, "input");
    repl->print = repl->input ? PyObject_GetAttrString(builtins, "print") : nullptr;
    Py_DECREF(builtins);
    if (!repl->print) return -1;
    if (!(repl->prompt = orDefault(given[0], "> ")) || !(repl->more = orDefault(given[1], "... ")))
        return -1;
    repl->show = orDefault(given[2], repl->print);
    // Importing may have run any code, even code that emptied the language.
    LanguageObject* language = languageOf(self);
    if (!language) return -1;
    repl->parser = Py_NewRef(language->parser);
    repl->session = languageSession(self, nullptr);
    return repl->session ? 0 : -1;
}

// Reads, runs and shows entries until the end of input (None) or an exception that ends the
// REPL (null with it).
PyObject* replLoop(Repl* repl) {
    for (;;) {
        PyObject* text = readEntry(repl);
        if (text) {
            int ran = runAndShow(repl, text);
            Py_DECREF(text);
            if (ran == 0) continue;
        }
        if (repl->inputFailed && PyErr_ExceptionMatches(PyExc_EOFError)) {
            PyErr_Clear();
            PyObject* printed = PyObject_CallNoArgs(repl->print);
            if (!printed) return nullptr;
            Py_DECREF(printed);
            Py_RETURN_NONE;
        }
        if (replPrintError(repl->print) < 0) return nullptr;
    }
}

}  // namespace

PyObject* languageRepl(PyObject* self, PyObject* args, PyObject* kwargs) {
    if (!languageOf(self)) return nullptr;
    static constexpr args::Param params[] = {{"prompt", false}, {"more", false}, {"show", false}};
    PyObject* given[std::size(params)];
    if (args::parse("repl", params, args, kwargs, given) < 0) return nullptr;
    Repl repl;
    PyObject* result = setUpRepl(&repl, self, given) == 0 ? replLoop(&repl) : nullptr;
    releaseRepl(&repl);
    return result;
}

}  // namespace wuna::host
