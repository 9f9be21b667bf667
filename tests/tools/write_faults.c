/* Faults in the writes of a program, for the tests of kelmo's writers:
 * loaded with LD_PRELOAD, it watches the descriptors opened for writing on
 * files under KELMO_FAULT_DIR (by any library: libhdf5, libsndfile, libzip
 * and kelmo's own writers end in these calls) and makes one of their calls
 * fail.
 *
 *   KELMO_FAULT_DIR     the folder whose files are watched (a prefix of the
 *                       names as the program opens them)
 *   KELMO_FAULT_AT      N: the Nth call on a watched descriptor fails (1 is
 *                       the first); 0 or unset: none fails, the calls are
 *                       only counted
 *   KELMO_FAULT_MODE    "once" (the default): the Nth call of any kind
 *                       (write, pwrite, writev, lseek, ftruncate, fsync,
 *                       fdatasync, close) fails and does nothing;
 *                       "full": the disk fills at the Nth write (of the
 *                       calls that write): from there on a write that would
 *                       make a file longer fails (the first of them writes
 *                       half of its bytes), one within its bytes goes on,
 *                       and so do the other calls
 *   KELMO_FAULT_ERRNO   the error of a failed call: ENOSPC (the default) or
 *                       EIO
 *   KELMO_FAULT_REPORT  a file that gets a line at exit: the calls counted
 *                       ("calls="), of them the writes ("writes="), those
 *                       made before any call from a thread other than the
 *                       main one ("open_calls=", "open_writes=": a writer of
 *                       kelmo's opens its file on the main thread and
 *                       writes samples on a thread of its own) and whether
 *                       the fault was injected ("injected=1")
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#define MOST_FDS 4096

static char watched[MOST_FDS];
static long calls;          /* counted so far */
static int injected;        /* the fault happened */
static int full;            /* "full": the disk is full from now on */
static long writes_seen;    /* the calls that write, counted so far */
static int off_main;        /* a call came from another thread than the first */
static long open_calls, open_writes;  /* counted before that: the writer's opening */

static const char* dir(void) {
    const char* d = getenv("KELMO_FAULT_DIR");
    return d && *d ? d : NULL;
}
static long fault_at(void) {
    const char* n = getenv("KELMO_FAULT_AT");
    return n ? atol(n) : 0;
}
static int full_mode(void) {
    const char* m = getenv("KELMO_FAULT_MODE");
    return m && strcmp(m, "full") == 0;
}
static int fault_errno(void) {
    const char* e = getenv("KELMO_FAULT_ERRNO");
    return e && strcmp(e, "EIO") == 0 ? EIO : ENOSPC;
}

static void* real(const char* name) {
    void* f = dlsym(RTLD_NEXT, name);
    if (!f) {
        fprintf(stderr, "write_faults: %s cannot be found in the libraries after this one\n", name);
        abort();
    }
    return f;
}
#define REAL(name)                              \
    static __typeof__(name)* real_##name = NULL; \
    if (!real_##name) real_##name = (__typeof__(name)*)real(#name)

static void watch(int fd, const char* path, int flags) {
    const char* d = dir();
    if (fd < 0 || fd >= MOST_FDS || !d || !path) return;
    if ((flags & O_ACCMODE) == O_RDONLY) return;
    if (strncmp(path, d, strlen(d)) == 0) watched[fd] = 1;
}
static int is_watched(int fd) { return fd >= 0 && fd < MOST_FDS && watched[fd]; }

/* Whether a write of `n` bytes at `at` (-1: where the descriptor is) would
 * make the file longer. */
static int grows(int fd, long long at, size_t n) {
    REAL(lseek);
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return 1;
    if (at < 0) at = (long long)real_lseek(fd, 0, SEEK_CUR);
    return at < 0 || at + (long long)n > (long long)st.st_size;
}

/* What a call on `fd` does: 0 go on, -1 fail with errno (set), 1 (writes
 * only) write half of it. `at`, `n`: where a write goes and how much. */
static int decide(int fd, int writes, long long at, size_t n) {
    if (!is_watched(fd)) return 0;
    const long count = __atomic_add_fetch(&calls, 1, __ATOMIC_SEQ_CST);
    if (writes) __atomic_add_fetch(&writes_seen, 1, __ATOMIC_SEQ_CST);
    if (!__atomic_load_n(&off_main, __ATOMIC_SEQ_CST)) {
        if (gettid() != getpid()) {
            __atomic_store_n(&off_main, 1, __ATOMIC_SEQ_CST);
        } else {
            open_calls = count;
            if (writes) open_writes = writes_seen;
        }
    }
    if (full_mode()) {
        /* A full disk: what stays within the file's bytes goes on (they
         * are the file's already), what would make it longer fails. */
        if (!writes || !grows(fd, at, n)) {
            if (writes && writes_seen == fault_at()) full = 1, injected = 1;
            return 0;
        }
        if (full) {
            injected = 1;
            errno = fault_errno();
            return -1;
        }
        if (fault_at() > 0 && writes_seen >= fault_at()) {
            full = 1;
            injected = 1;
            return 1;
        }
        return 0;
    }
    if (count == fault_at()) {
        injected = 1;
        errno = fault_errno();
        return -1;
    }
    return 0;
}

__attribute__((destructor)) static void report(void) {
    const char* to = getenv("KELMO_FAULT_REPORT");
    if (!to || !*to) return;
    FILE* f = fopen(to, "w");
    if (!f) return;
    fprintf(f, "calls=%ld writes=%ld open_calls=%ld open_writes=%ld injected=%d\n", calls, writes_seen, open_calls,
            open_writes, injected);
    fclose(f);
}

static mode_t mode_of(int flags, va_list ap) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(ap, int) : 0;
}

/* The open family: each name the C library exports, wrapped alike. */
#define WRAP_OPEN(name, params, args)                \
    int name params {                                \
        REAL(name);                                  \
        va_list ap;                                  \
        va_start(ap, flags);                         \
        const mode_t mode = mode_of(flags, ap);      \
        va_end(ap);                                  \
        const int fd = real_##name args;             \
        watch(fd, path, flags);                      \
        return fd;                                   \
    }
WRAP_OPEN(open, (const char* path, int flags, ...), (path, flags, mode))
WRAP_OPEN(open64, (const char* path, int flags, ...), (path, flags, mode))
WRAP_OPEN(openat, (int at, const char* path, int flags, ...), (at, path, flags, mode))
WRAP_OPEN(openat64, (int at, const char* path, int flags, ...), (at, path, flags, mode))
int creat(const char* path, mode_t mode) { return open(path, O_WRONLY | O_CREAT | O_TRUNC, mode); }
int creat64(const char* path, mode_t mode) { return open64(path, O_WRONLY | O_CREAT | O_TRUNC, mode); }
FILE* fopen(const char* path, const char* how) {
    REAL(fopen);
    FILE* f = real_fopen(path, how);
    if (f && strpbrk(how, "wa+")) watch(fileno(f), path, O_WRONLY);
    return f;
}
FILE* fopen64(const char* path, const char* how) {
    REAL(fopen64);
    FILE* f = real_fopen64(path, how);
    if (f && strpbrk(how, "wa+")) watch(fileno(f), path, O_WRONLY);
    return f;
}

static size_t iov_bytes(const struct iovec* v, int count) {
    size_t n = 0;
    for (int i = 0; i < count; ++i) n += v[i].iov_len;
    return n;
}

ssize_t write(int fd, const void* p, size_t n) {
    REAL(write);
    const int d = decide(fd, 1, -1, n);
    if (d < 0) return -1;
    return real_write(fd, p, d == 1 && n > 1 ? n / 2 : n);
}
ssize_t pwrite(int fd, const void* p, size_t n, off_t at) {
    REAL(pwrite);
    const int d = decide(fd, 1, (long long)at, n);
    if (d < 0) return -1;
    return real_pwrite(fd, p, d == 1 && n > 1 ? n / 2 : n, at);
}
ssize_t pwrite64(int fd, const void* p, size_t n, off64_t at) {
    REAL(pwrite64);
    const int d = decide(fd, 1, (long long)at, n);
    if (d < 0) return -1;
    return real_pwrite64(fd, p, d == 1 && n > 1 ? n / 2 : n, at);
}
ssize_t writev(int fd, const struct iovec* v, int count) {
    REAL(writev);
    const int d = decide(fd, 1, -1, iov_bytes(v, count));
    if (d < 0) return -1;
    if (d == 1 && count > 0) {
        REAL(write);
        return real_write(fd, v[0].iov_base, v[0].iov_len > 1 ? v[0].iov_len / 2 : v[0].iov_len);
    }
    return real_writev(fd, v, count);
}
ssize_t pwritev(int fd, const struct iovec* v, int count, off_t at) {
    REAL(pwritev);
    const int d = decide(fd, 1, (long long)at, iov_bytes(v, count));
    if (d < 0) return -1;
    if (d == 1 && count > 0) {
        REAL(pwrite);
        return real_pwrite(fd, v[0].iov_base, v[0].iov_len > 1 ? v[0].iov_len / 2 : v[0].iov_len, at);
    }
    return real_pwritev(fd, v, count, at);
}
off_t lseek(int fd, off_t at, int whence) {
    REAL(lseek);
    if (decide(fd, 0, 0, 0) < 0) return -1;
    return real_lseek(fd, at, whence);
}
off64_t lseek64(int fd, off64_t at, int whence) {
    REAL(lseek64);
    if (decide(fd, 0, 0, 0) < 0) return -1;
    return real_lseek64(fd, at, whence);
}
int ftruncate(int fd, off_t size) {
    REAL(ftruncate);
    if (decide(fd, 0, 0, 0) < 0) return -1;
    return real_ftruncate(fd, size);
}
int ftruncate64(int fd, off64_t size) {
    REAL(ftruncate64);
    if (decide(fd, 0, 0, 0) < 0) return -1;
    return real_ftruncate64(fd, size);
}
int fsync(int fd) {
    REAL(fsync);
    if (decide(fd, 0, 0, 0) < 0) return -1;
    return real_fsync(fd);
}
int fdatasync(int fd) {
    REAL(fdatasync);
    if (decide(fd, 0, 0, 0) < 0) return -1;
    return real_fdatasync(fd);
}
/* A close that fails has closed the descriptor all the same, as on Linux. */
int close(int fd) {
    REAL(close);
    const int d = decide(fd, 0, 0, 0);
    const int err = errno;
    if (fd >= 0 && fd < MOST_FDS) watched[fd] = 0;
    const int r = real_close(fd);
    if (d < 0) {
        errno = err;
        return -1;
    }
    return r;
}
int dup(int fd) {
    REAL(dup);
    const int to = real_dup(fd);
    if (to >= 0 && to < MOST_FDS && is_watched(fd)) watched[to] = 1;
    return to;
}
int dup2(int fd, int to) {
    REAL(dup2);
    const int r = real_dup2(fd, to);
    if (r >= 0 && r < MOST_FDS) watched[r] = (char)is_watched(fd);
    return r;
}
