// The operating-system layer of the library operations and its failures. See osio.h.
#include "wuna/runtime/helpers/osio.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "wuna/runtime/helpers/exceptions.h"
#include "wuna/runtime/helpers/methods.h"
#include "wuna/runtime/value.h"

namespace wuna::osio {

namespace {

thread_local int savedErrno = 0;

Status osError(int e) {
    savedErrno = e;
    return Status::os;
}

// A NUL-terminated copy of a path (C heap).
struct CPath {
    char* text = nullptr;
    ~CPath() { std::free(text); }
    Status make(const char* path, size_t length, bool refuseNul) {
        if (refuseNul && std::memchr(path, 0, length)) return osError(EINVAL);
        text = static_cast<char*>(std::malloc(length + 1));
        if (!text) return Status::outOfMemory;
        std::memcpy(text, path, length);
        text[length] = 0;
        return Status::ok;
    }
};

Status copyOut(const char* text, size_t n, Owned* out) {
    out->data = static_cast<uint8_t*>(std::malloc(n + 1));
    if (!out->data) return Status::outOfMemory;
    std::memcpy(out->data, text, n);
    out->data[n] = 0;
    out->length = n;
    return Status::ok;
}

Status statPath(const char* path, struct stat* st) {
    if (::stat(path, st) != 0) return osError(errno);
    return Status::ok;
}

}  // namespace

int lastErrno() { return savedErrno; }

Status readFile(const char* path, size_t length, Owned* out) {
    CPath p;
    if (Status s = p.make(path, length, true); s != Status::ok) return s;
    int fd = ::open(p.text, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return osError(errno);
    uint8_t* data = nullptr;
    size_t size = 0, capacity = 0;
    for (;;) {
        if (size == capacity) {
            if (size > SIZE_MAX - 65536 - 128) {
                std::free(data);
                ::close(fd);
                return Status::outOfMemory;
            }
            size_t grown = (size + 65536) + (size + 65536) / 2 + 128;
            auto* more = static_cast<uint8_t*>(std::realloc(data, grown));
            if (!more) {
                std::free(data);
                ::close(fd);
                return Status::outOfMemory;
            }
            data = more;
            capacity = grown;
        }
        ssize_t got = ::read(fd, data + size, capacity - size);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            int e = errno;
            std::free(data);
            ::close(fd);
            return osError(e);
        }
        if (got == 0) break;
        size += size_t(got);
    }
    ::close(fd);
    out->data = data;
    out->length = size;
    return Status::ok;
}

Status writeFile(const char* path, size_t length, const uint8_t* data, size_t n, bool append) {
    CPath p;
    if (Status s = p.make(path, length, true); s != Status::ok) return s;
    int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append ? O_APPEND : O_TRUNC);
    int fd = ::open(p.text, flags, 0666);
    if (fd < 0) return osError(errno);
    size_t done = 0;
    while (done < n) {
        ssize_t put = ::write(fd, data + done, n - done);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) {
            int e = errno;
            ::close(fd);
            return osError(e);
        }
        done += size_t(put);
    }
    if (::close(fd) != 0) return osError(errno);
    return Status::ok;
}

Status kindOf(const char* path, size_t length, Kind* out) {
    *out = Kind::missing;
    if (std::memchr(path, 0, length)) return Status::ok;
    CPath p;
    if (Status s = p.make(path, length, false); s != Status::ok) return s;
    struct stat st;
    if (::stat(p.text, &st) != 0) return Status::ok;
    *out = S_ISREG(st.st_mode) ? Kind::file : S_ISDIR(st.st_mode) ? Kind::directory : Kind::other;
    return Status::ok;
}

Status getsize(const char* path, size_t length, uint64_t* out) {
    CPath p;
    if (Status s = p.make(path, length, true); s != Status::ok) return s;
    struct stat st;
    if (Status s = statPath(p.text, &st); s != Status::ok) return s;
    *out = uint64_t(st.st_size);
    return Status::ok;
}

Status chmod(const char* path, size_t length, uint32_t mode) {
    CPath p;
    if (Status s = p.make(path, length, true); s != Status::ok) return s;
    if (::chmod(p.text, mode) != 0) return osError(errno);
    return Status::ok;
}

Status replace(const char* from, size_t fromLength, const char* to, size_t toLength) {
    CPath a, b;
    if (Status s = a.make(from, fromLength, true); s != Status::ok) return s;
    if (Status s = b.make(to, toLength, true); s != Status::ok) return s;
    if (::rename(a.text, b.text) != 0) return osError(errno);
    return Status::ok;
}

Status makedirs(const char* path, size_t length, uint32_t mode, bool existOk) {
    CPath p;
    if (Status s = p.make(path, length, true); s != Status::ok) return s;
    size_t n = length;
    while (n > 1 && p.text[n - 1] == '/') n--;
    if (n == 1 && p.text[0] == '/') return existOk ? Status::ok : osError(EEXIST);
    p.text[n] = 0;
    for (size_t i = 1; i < n; i++) {
        if (p.text[i] != '/') continue;
        p.text[i] = 0;
        Kind k = Kind::missing;
        if (Status s = kindOf(p.text, i, &k); s != Status::ok) return s;
        if (k == Kind::missing && ::mkdir(p.text, 0777) != 0 && errno != EEXIST) {
            int e = errno;
            p.text[i] = '/';
            return osError(e);
        }
        p.text[i] = '/';
    }
    if (::mkdir(p.text, mode) == 0) return Status::ok;
    int e = errno;
    if (existOk) {
        Kind k = Kind::missing;
        if (kindOf(p.text, n, &k) == Status::ok && k == Kind::directory) return Status::ok;
    }
    return osError(e);
}

Status getcwd(Owned* out) {
    size_t size = 256;
    for (;;) {
        char* buf = static_cast<char*>(std::malloc(size));
        if (!buf) return Status::outOfMemory;
        if (::getcwd(buf, size)) {
            out->data = reinterpret_cast<uint8_t*>(buf);
            out->length = std::strlen(buf);
            return Status::ok;
        }
        int e = errno;
        std::free(buf);
        if (e != ERANGE) return osError(e);
        size *= 2;
    }
}

Status getenv(const char* name, size_t length, Owned* out, bool* found) {
    CPath p;
    if (Status s = p.make(name, length, false); s != Status::ok) return s;
    const char* v = std::getenv(p.text);
    *found = v != nullptr;
    if (!v) return Status::ok;
    return copyOut(v, std::strlen(v), out);
}

Status normalized(const char* path, size_t length, Owned* out) {
    char* text = static_cast<char*>(std::malloc(length + 2));
    if (!text) return Status::outOfMemory;
    size_t k = 0;
    size_t i = 0;
    while (i < length) {
        while (i < length && path[i] == '/') i++;
        size_t start = i;
        while (i < length && path[i] != '/') i++;
        size_t n = i - start;
        if (n == 0 || (n == 1 && path[start] == '.')) continue;
        if (n == 2 && path[start] == '.' && path[start + 1] == '.') {
            while (k > 0 && text[k - 1] != '/') k--;
            if (k > 0) k--;
            continue;
        }
        text[k++] = '/';
        std::memcpy(text + k, path + start, n);
        k += n;
    }
    if (k == 0) text[k++] = '/';
    text[k] = 0;
    out->data = reinterpret_cast<uint8_t*>(text);
    out->length = k;
    return Status::ok;
}

Status realpath(const char* path, size_t length, Owned* out) {
    size_t given = ::strnlen(path, length);
    Owned start;
    if (given > 0 && path[0] == '/') {
        if (Status s = copyOut(path, given, &start); s != Status::ok) return s;
    } else {
        Owned cwd;
        if (Status s = getcwd(&cwd); s != Status::ok) return s;
        start.data = static_cast<uint8_t*>(std::malloc(cwd.length + given + 2));
        if (!start.data) {
            std::free(cwd.data);
            return Status::outOfMemory;
        }
        std::memcpy(start.data, cwd.data, cwd.length);
        size_t k = cwd.length;
        if (k == 0 || start.data[k - 1] != '/') start.data[k++] = '/';
        std::memcpy(start.data + k, path, given);
        k += given;
        start.data[k] = 0;
        start.length = k;
        std::free(cwd.data);
    }
    char* text = reinterpret_cast<char*>(start.data);
    size_t n = start.length;
    char resolved[PATH_MAX];
    for (;;) {
        char saved = text[n];
        text[n] = 0;
        bool ok = ::realpath(n ? text : "/", resolved) != nullptr;
        text[n] = saved;
        if (ok) break;
        if (n == 0 || (n == 1 && text[0] == '/')) {
            Status s = normalized(text, start.length, out);
            std::free(start.data);
            return s;
        }
        size_t slash = n;
        while (slash > 0 && text[slash - 1] != '/') slash--;
        n = slash > 1 ? slash - 1 : (slash == 1 ? 1 : 0);
    }
    if (n == start.length) {
        std::free(start.data);
        return copyOut(resolved, std::strlen(resolved), out);
    }
    size_t head = std::strlen(resolved);
    size_t rest = start.length - n;
    char* joined = static_cast<char*>(std::malloc(head + rest + 2));
    if (!joined) {
        std::free(start.data);
        return Status::outOfMemory;
    }
    std::memcpy(joined, resolved, head);
    joined[head] = '/';
    std::memcpy(joined + head + 1, text + n, rest);
    Status s = normalized(joined, head + 1 + rest, out);
    std::free(joined);
    std::free(start.data);
    return s;
}

double now() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

}  // namespace wuna::osio

namespace wuna::helpers {

namespace {

using value::Value;

errors::Kind kindOfErrno(int e) {
    switch (e) {
    case EPERM:
    case EACCES: return errors::Kind::PermissionError;
    case ENOENT: return errors::Kind::FileNotFoundError;
    case EEXIST: return errors::Kind::FileExistsError;
    case ENOTDIR: return errors::Kind::NotADirectoryError;
    case EISDIR: return errors::Kind::IsADirectoryError;
    default: return errors::Kind::OSError;
    }
}

// Raises a new exception value of the kind with the n values as its args (each borrowed).
bool raiseWith(Ctx* ctx, int32_t site, errors::Kind kind, const Value* items, uint64_t n) {
    value::Tuple* t = value::newTuple(n);
    if (!t) {
        failOutOfMemory(ctx, site);
        return false;
    }
    for (uint64_t i = 0; i < n; i++) {
        value::incref(items[i]);
        t->items()[i] = items[i];
    }
    Value args = Value::of(value::TagTuple, t);
    value::Exc* e = value::newExc(uint32_t(kind), args, Value::none(), Value::none(), site);
    value::decref(args);
    if (!e) {
        failOutOfMemory(ctx, site);
        return false;
    }
    Value exc = Value::of(value::TagExc, e);
    raiseExc(ctx, site, exc);
    value::decref(exc);
    return false;
}

}  // namespace

bool osFail(Ctx* ctx, int32_t site, Status error, PathArg path) {
    return osFail2(ctx, site, error, path, PathArg{Value::none(), false});
}

bool osFail2(Ctx* ctx, int32_t site, Status error, PathArg path, PathArg second) {
    if (error == Status::outOfMemory) {
        failOutOfMemory(ctx, site);
        return false;
    }
    int e = osio::lastErrno();
    const char* text = std::strerror(e);
    if (!text) text = "Unknown error";
    value::Str* message = value::newStr(text, std::strlen(text));
    if (!message) {
        failOutOfMemory(ctx, site);
        return false;
    }
    Value items[5] = {Value::pint(e), Value::of(value::TagStr, message), path.path, Value::none(),
                      second.path};
    uint64_t n = second.has ? 5 : path.has ? 3 : 2;
    raiseWith(ctx, site, kindOfErrno(e), items, n);
    value::decref(items[1]);
    return false;
}

bool checkUtf8(const uint8_t* s, size_t n, Utf8Error* error) {
    size_t i = 0;
    while (i < n) {
        uint8_t c = s[i];
        if (c < 0x80) {
            i++;
            continue;
        }
        size_t need;
        uint8_t lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            need = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 2;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            *error = {i, i + 1, "invalid start byte"};
            return false;
        }
        for (size_t k = 1; k <= need; k++) {
            if (i + k >= n) {
                *error = {i, n, "unexpected end of data"};
                return false;
            }
            uint8_t first = k == 1 ? lo : 0x80, last = k == 1 ? hi : 0xBF;
            if (s[i + k] < first || s[i + k] > last) {
                *error = {i, i + k, "invalid continuation byte"};
                return false;
            }
        }
        i += need + 1;
    }
    return true;
}

bool textResult(Ctx* ctx, int32_t site, const uint8_t* bytes, size_t length, bool translate,
                Value* out) {
    Utf8Error bad{};
    if (!checkUtf8(bytes, length, &bad)) {
        value::Str* encoding = value::newStr("utf-8", 5);
        value::Bytes* data = value::newOwnedBytes(length);
        value::Str* reason = value::newStr(bad.reason, std::strlen(bad.reason));
        bool made = encoding && data && reason;
        if (data) {
            data->h.flags |= value::FlagImmutable;
            if (length) std::memcpy(data->data, bytes, length);
        }
        Value items[5] = {Value::of(value::TagStr, encoding), Value::of(value::TagBytes, data),
                          Value::pint(int64_t(bad.start)), Value::pint(int64_t(bad.end)),
                          Value::of(value::TagStr, reason)};
        if (made) raiseWith(ctx, site, errors::Kind::UnicodeDecodeError, items, 5);
        else failOutOfMemory(ctx, site);
        if (encoding) value::decref(items[0]);
        if (data) value::decref(items[1]);
        if (reason) value::decref(items[4]);
        return false;
    }
    if (!translate || !std::memchr(bytes, '\r', length))
        return strResult(ctx, site, bytes, length, out);
    uint8_t* copy = static_cast<uint8_t*>(std::malloc(length + 1));
    if (!copy) {
        failOutOfMemory(ctx, site);
        return false;
    }
    size_t k = 0;
    for (size_t i = 0; i < length; i++) {
        if (bytes[i] != '\r') {
            copy[k++] = bytes[i];
            continue;
        }
        copy[k++] = '\n';
        if (i + 1 < length && bytes[i + 1] == '\n') i++;
    }
    bool ok = strResult(ctx, site, copy, k, out);
    std::free(copy);
    return ok;
}

}  // namespace wuna::helpers
