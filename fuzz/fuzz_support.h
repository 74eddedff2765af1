/*
 * fuzz_support.h - what the fuzz targets share: a reader that decodes the fuzzer's bytes
 * into operations, and the property check that stops a run.
 *
 * Each target defines LLVMFuzzerTestOneInput. Under the fuzz preset it is linked with
 * libFuzzer; under the other presets with replay_main.cpp, which feeds it every file of the
 * target's corpus, so each reproducer kept in a corpus is a regular test.
 */
#ifndef MURVO_FUZZ_FUZZ_SUPPORT_H
#define MURVO_FUZZ_FUZZ_SUPPORT_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

/* The fuzzer's bytes, taken from the front. Past the end every read gives zeros, so a
 * short input decodes to the same operations as the same input padded with zero bytes. */
struct FuzzInput {
    const uint8_t *Data;
    size_t Size;
    size_t Used;
};

static inline FuzzInput FuzzInputOf(const uint8_t *data, size_t size) { return FuzzInput{data, size, 0}; }

static inline bool FuzzMore(const FuzzInput *in) { return in->Used < in->Size; }

static inline uint8_t FuzzTake8(FuzzInput *in) { return in->Used < in->Size ? in->Data[in->Used++] : 0; }

static inline uint16_t FuzzTake16(FuzzInput *in)
{
    uint16_t low = FuzzTake8(in);
    return (uint16_t)(low | FuzzTake8(in) << 8);
}

static inline uint32_t FuzzTake32(FuzzInput *in)
{
    uint32_t low = FuzzTake16(in);
    return low | (uint32_t)FuzzTake16(in) << 16;
}

/* Up to count bytes (fewer at the end of the input); returns how many were copied. */
static inline size_t FuzzTakeBytes(FuzzInput *in, void *buffer, size_t count)
{
    size_t left = in->Size - in->Used;
    if (count > left) {
        count = left;
    }
    if (count == 0) {
        return 0;
    }
    memcpy(buffer, in->Data + in->Used, count);
    in->Used += count;
    return count;
}

/* A broken property: says which and where, then aborts, which libFuzzer reports as a crash
 * (keeping the input) and the replay test as a failure. */
#define FUZZ_CHECK(condition, ...)                                                                    \
    do {                                                                                              \
        if (!(condition)) {                                                                           \
            fprintf(stderr, "\n*** FUZZ PROPERTY: %s (%s:%d)\n    ", #condition, __FILE__, __LINE__); \
            fprintf(stderr, __VA_ARGS__);                                                             \
            fprintf(stderr, "\n");                                                                    \
            abort();                                                                                  \
        }                                                                                             \
    } while (0)

#endif /* MURVO_FUZZ_FUZZ_SUPPORT_H */
