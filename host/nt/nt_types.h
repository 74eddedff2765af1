/*
 * nt_types.h - the basic types of the Windows kernel for the Linux stand-in.
 *
 * Widths are those of 32-bit Windows: LONG and ULONG are 32 bits, WCHAR is a 16-bit
 * code unit. Pointer-sized types follow the host's pointer width.
 */
#ifndef MURVO_HOST_NT_NT_TYPES_H
#define MURVO_HOST_NT_NT_TYPES_H

#include <stddef.h>
#include <stdint.h>

typedef void VOID;
typedef void *PVOID;
typedef char CHAR;
typedef unsigned char UCHAR;
typedef short SHORT;
typedef unsigned short USHORT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef size_t SIZE_T;
typedef UCHAR BOOLEAN;
typedef char16_t WCHAR; /* a 16-bit code unit; literals are written WIDE_TEXT("...") */
typedef LONG NTSTATUS;
typedef UCHAR KIRQL;
typedef ULONG ACCESS_MASK;
typedef ULONG DEVICE_TYPE;

typedef CHAR *PCHAR;
typedef const CHAR *PCSTR;
typedef UCHAR *PUCHAR;
typedef USHORT *PUSHORT;
typedef LONG *PLONG;
typedef ULONG *PULONG;
typedef ULONG_PTR *PULONG_PTR;
typedef BOOLEAN *PBOOLEAN;
typedef WCHAR *PWCHAR, *PWSTR;
typedef const WCHAR *PCWSTR;
typedef KIRQL *PKIRQL;
typedef NTSTATUS *PNTSTATUS;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

/* A wide literal in the platform's WCHAR type. */
#define WIDE_TEXT(s) u##s

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *LPGUID;
typedef const GUID *LPCGUID;

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define IN
#define OUT
#define OPTIONAL
#define NTAPI
#define DDKAPI

#endif /* MURVO_HOST_NT_NT_TYPES_H */
