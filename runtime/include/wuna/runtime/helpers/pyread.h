// The byte readers of rt (rt.u8 ... rt.i64be): one fixed-width integer taken out of a byte
// buffer at an offset.
//
// Every way of calling a reader goes through pyRead: the reference Runtime's methods, the
// rt of semantics that compiled code runs as Python, and compiled code's own read helper
// (which converts its values to Python first). A reader is named by its number, an index
// into `readers`, which says the method's name, the width, the signedness and the byte
// order; the same table names the methods and builds their docstrings. pyRead checks the
// data's type and the bounds and then hands the bytes to `assemble`, the arithmetic alone,
// which native code can use on memory it already holds.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace wuna::helpers {

struct Reader {
    const char* name;  // the rt method's name
    uint8_t width;     // bytes read
    bool isSigned;
    bool bigEndian;  // irrelevant for one byte
};

// In reader-number order.
inline constexpr Reader readers[] = {
    {"u8", 1, false, false},    {"i8", 1, true, false},     {"u16le", 2, false, false},
    {"u16be", 2, false, true},  {"i16le", 2, true, false},  {"i16be", 2, true, true},
    {"u32le", 4, false, false}, {"u32be", 4, false, true},  {"i32le", 4, true, false},
    {"i32be", 4, true, true},   {"u64le", 8, false, false}, {"u64be", 8, false, true},
    {"i64le", 8, true, false},  {"i64be", 8, true, true},
};
inline constexpr uint32_t kReaderCount = sizeof readers / sizeof readers[0];

// The value of the reader's width of bytes at p, in its byte order, as the 64 bits of the
// result: signed readers sign-extend, unsigned ones zero-extend (so an unsigned 64-bit value
// of 2^63 or more comes back with its top bit set, to be read as unsigned).
constexpr uint64_t assemble(uint32_t code, const uint8_t* p) {
    const Reader& r = readers[code];
    uint64_t bits = 0;
    for (uint32_t i = 0; i < r.width; i++) {
        uint32_t at = r.bigEndian ? i : r.width - 1 - i;
        bits = (bits << 8) | p[at];
    }
    uint32_t unused = 64 - 8 * uint32_t(r.width);
    if (r.isSigned && unused) bits = uint64_t(int64_t(bits << unused) >> unused);
    return bits;
}

// Whether data is of a type the system reads as bytes: exactly wuna.Bytes, bytes, bytearray
// or memoryview, or a type whose __name__ is "mmap" (the module's mmap.mmap, without
// importing it). Any error reading the name is cleared: the answer is then no. Needs the
// interpreter lock; never fails.
[[nodiscard]] bool isData(PyObject* data);

// rt.<name>(data, offset) for the reader `code` (below kReaderCount): a new plain int, or
// null with the exception. data must be exactly a wuna.Bytes, bytes, bytearray or
// memoryview, or of a type named "mmap" (TypeError naming the type otherwise); offset is
// converted as PyLong_AsLongLong converts (its error passes on); a read that would start
// before the data or end past it raises IndexError with the offset. Needs the interpreter
// lock.
[[nodiscard]] PyObject* pyRead(uint32_t code, PyObject* data, PyObject* offset);

}  // namespace wuna::helpers
