/*
 * Fuzz targets. Each takes any bytes and aborts when the code under test breaks a rule it
 * must keep; it returns 0 otherwise. The same functions run under libFuzzer (scripts/fuzz)
 * and in the replay program that CTest runs over the stored corpora.
 */
#ifndef ORVI_FUZZ_TARGETS_H
#define ORVI_FUZZ_TARGETS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

int fuzzManifest(const uint8_t* data, size_t size);
int fuzzTransfer(const uint8_t* data, size_t size);
int fuzzReplies(const uint8_t* data, size_t size);
int fuzzVersion(const uint8_t* data, size_t size);
int fuzzSignature(const uint8_t* data, size_t size);

/* A broken rule is a crash for libFuzzer and a failed test for the replay. */
#define FUZZ_CHECK(condition)                                                                     \
    ((condition) ? void()                                                                         \
                 : (std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition), std::abort()))

/* The protocol and Qt log a lot; a fuzzer only needs the verdict. */
void silenceOutput();

#endif
