/*
 * crt_io.cpp - the Windows runtime's low-level file calls over POSIX.
 */
#include "posix/crt_io.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

/* On Windows a write to a pipe whose reader has gone fails (ERROR_NO_DATA, EPIPE in the
 * runtime) and the program goes on; on POSIX the same write ends the process with SIGPIPE
 * unless the signal is ignored. Ignored from the start, the write fails with EPIPE, as the
 * program expects of its runtime. */
__attribute__((constructor)) static void IgnoreBrokenPipes(void) { signal(SIGPIPE, SIG_IGN); }

int _open(const char *path, int flags)
{
    int access = flags & (_O_WRONLY | _O_RDWR);
    if ((flags & ~(_O_WRONLY | _O_RDWR | _O_BINARY)) != 0) {
        errno = EINVAL; /* flags the stand-in does not model */
        return -1;
    }
    int posixFlags = access == _O_RDWR ? O_RDWR : access == _O_WRONLY ? O_WRONLY : O_RDONLY;
    int fd = open(path, posixFlags | O_CLOEXEC);
    if (fd >= 0) {
        struct stat info;
        /* The Windows runtime refuses to open a directory as a file. */
        if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
            close(fd);
            errno = EACCES;
            return -1;
        }
    }
    return fd;
}

int _close(int fd) { return close(fd); }

int _read(int fd, void *buffer, unsigned int count)
{
    ssize_t got;
    do {
        got = read(fd, buffer, count);
    } while (got < 0 && errno == EINTR);
    return (int)got;
}

/* One write(2): safe in a signal handler, where the stand-in runs console control handlers. */
int _write(int fd, const void *buffer, unsigned int count)
{
    ssize_t written;
    do {
        written = write(fd, buffer, count);
    } while (written < 0 && errno == EINTR);
    return (int)written;
}

long _lseek(int fd, long offset, int origin)
{
    off_t position = lseek(fd, (off_t)offset, origin);
    if (position > (off_t)0x7FFFFFFF) {
        errno = EINVAL; /* a 32-bit long cannot say where the file position is */
        return -1;
    }
    return (long)position;
}

long _filelength(int fd)
{
    struct stat info;
    if (fstat(fd, &info) != 0) {
        return -1;
    }
    if (info.st_size > (off_t)0x7FFFFFFF) {
        errno = EINVAL;
        return -1;
    }
    return (long)info.st_size;
}

int _access(const char *path, int mode)
{
    if (mode != 0) {
        errno = EINVAL; /* only the existence check is modelled */
        return -1;
    }
    struct stat info;
    return stat(path, &info) == 0 ? 0 : -1;
}
