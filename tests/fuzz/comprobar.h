#pragma once
// Shared by the fuzz targets: a broken invariant stops the process with a
// message, so libFuzzer keeps the input and the corpus replay test fails.

#include <QByteArray>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define COMPROBAR(condicion)                                                                  \
    do {                                                                                      \
        if (!(condicion)) {                                                                   \
            std::fprintf(stderr, "invariante incumplida: %s (%s:%d)\n", #condicion, __FILE__, \
                         __LINE__);                                                           \
            std::abort();                                                                     \
        }                                                                                     \
    } while (0)

// Byte i of b, 0 past its end (short inputs still make whole records).
inline quint8 byteEn(const QByteArray &b, qsizetype i) { return i < b.size() ? quint8(b[i]) : 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *datos, size_t tamano);
