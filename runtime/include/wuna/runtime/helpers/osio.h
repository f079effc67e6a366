// The operating-system layer of the library operations (wn_lib): whole-file reads and writes,
// path kinds, sizes, permissions, directories, renames, the current directory, resolved paths,
// the environment and the clock, each a thin wrapper of a POSIX or Linux call; and the helpers
// that turn its errors into the exceptions Python raises.
//
// No operation raises: each gives its result or Status::outOfMemory or Status::os, the errno
// of an Os failure kept per thread (lastErrno) for osFail to read. Paths arrive as UTF-8
// byte slices; the file operations refuse a path holding a NUL byte with EINVAL (the kind
// test counts it as missing), as Python does. Buffers handed out are the caller's, from the
// C heap. Everything runs on the calling thread without the interpreter lock.
#pragma once
#include <cstddef>
#include <cstdint>

#include "wuna/runtime/helpers/ctx.h"
#include "wuna/runtime/status.h"
#include "wuna/runtime/value_layout.h"

namespace wuna::osio {

// The errno of this thread's last Os failure.
int lastErrno();

// An owned buffer of the C heap (free with std::free).
struct Owned {
    uint8_t* data = nullptr;
    size_t length = 0;
};

enum class Kind : uint8_t { missing = 0, file = 1, directory = 2, other = 3 };

[[nodiscard]] Status readFile(const char* path, size_t length, Owned* out);
[[nodiscard]] Status writeFile(const char* path, size_t length, const uint8_t* data, size_t n,
                               bool append);
// The kind of what the path names, links followed; any failure is missing. OutOfMemory only
// when the path could not be copied.
[[nodiscard]] Status kindOf(const char* path, size_t length, Kind* out);
[[nodiscard]] Status getsize(const char* path, size_t length, uint64_t* out);
[[nodiscard]] Status chmod(const char* path, size_t length, uint32_t mode);
[[nodiscard]] Status replace(const char* from, size_t fromLength, const char* to, size_t toLength);
[[nodiscard]] Status makedirs(const char* path, size_t length, uint32_t mode, bool existOk);
[[nodiscard]] Status getcwd(Owned* out);
// The value of an environment variable (copied); *found false when it is unset.
[[nodiscard]] Status getenv(const char* name, size_t length, Owned* out, bool* found);
// The absolute path with links resolved as far as the path exists, the rest normalised.
[[nodiscard]] Status realpath(const char* path, size_t length, Owned* out);
// "/"-separated components without empty and "." ones, ".." dropping the one before.
[[nodiscard]] Status normalized(const char* path, size_t length, Owned* out);
double now();

}  // namespace wuna::osio

namespace wuna::helpers {

// A path as the program gave it, for the texts of OSErrors; absent when has is false.
struct PathArg {
    value::Value path;
    bool has;
};

// The error of an osio operation as Python's exception: out of memory, or the OSError
// subclass of the errno with (errno, strerror[, path[, None, second path]]) raised on the
// context. Always false.
bool osFail(Ctx* ctx, int32_t site, Status error, PathArg path);
bool osFail2(Ctx* ctx, int32_t site, Status error, PathArg path, PathArg second);

// A file's bytes as a str the way Python's UTF-8 text reading makes it (line endings
// translated when translate is set); invalid UTF-8 raises UnicodeDecodeError with Python's
// start, end and reason. True with *out; false with the failure recorded.
[[nodiscard]] bool textResult(Ctx* ctx, int32_t site, const uint8_t* bytes, size_t length,
                              bool translate, value::Value* out);

// Whether bytes are UTF-8 by Python's strict rules; when not, the first bad sequence's start,
// end and reason. Cannot fail.
struct Utf8Error {
    size_t start;
    size_t end;
    const char* reason;
};
bool checkUtf8(const uint8_t* bytes, size_t length, Utf8Error* error);

}  // namespace wuna::helpers
