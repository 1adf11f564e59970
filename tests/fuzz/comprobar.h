#pragma once
// Shared by the fuzz targets: an invariant that fails stops the process with a
// message, so libFuzzer keeps the input and the corpus replay test fails.

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

// Reads the input from the front; past the end every read gives 0 or nothing.
class Lector {
public:
    Lector(const uint8_t *datos, size_t tamano) : d_(datos), n_(tamano) {}
    uint8_t byte() { return i_ < n_ ? d_[i_++] : 0; }
    // Up to `cuantos` bytes (fewer when the input ends).
    const uint8_t *tomar(size_t cuantos, size_t &tomados)
    {
        tomados = cuantos < n_ - i_ ? cuantos : n_ - i_;
        const uint8_t *p = d_ + i_;
        i_ += tomados;
        return p;
    }
    const uint8_t *resto(size_t &tamano)
    {
        tamano = n_ - i_;
        const uint8_t *p = d_ + i_;
        i_ = n_;
        return p;
    }
    size_t quedan() const { return n_ - i_; }

private:
    const uint8_t *d_;
    size_t n_;
    size_t i_ = 0;
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *datos, size_t tamano);
