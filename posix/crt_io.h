/*
 * crt_io.h - the low-level file calls of the Windows C runtime (<io.h>, <fcntl.h>) over
 * POSIX. They behave as the Windows runtime's do on the points the tool relies on:
 * failures return -1 and set errno; _O_BINARY is accepted (Linux files have no text mode).
 */
#ifndef MURVO_POSIX_CRT_IO_H
#define MURVO_POSIX_CRT_IO_H

#define _O_RDONLY 0x0000
#define _O_WRONLY 0x0001
#define _O_RDWR 0x0002
#define _O_BINARY 0x8000

int _open(const char *path, int flags);
int _close(int fd);
int _read(int fd, void *buffer, unsigned int count);
int _write(int fd, const void *buffer, unsigned int count);
long _lseek(int fd, long offset, int origin);
long _filelength(int fd);
int _access(const char *path, int mode); /* mode 0: 0 when path exists, else -1 with errno */

#endif /* MURVO_POSIX_CRT_IO_H */
