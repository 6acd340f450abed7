// Writing to a descriptor without losing a byte: across interruptions,
// short writes, and a descriptor handed over non-blocking.
#ifndef SERIALPULSE_USCITA_H
#define SERIALPULSE_USCITA_H

#include <cstddef>

// Writes all of `quanti` bytes; returns how many went. `interrotto`, when
// given, is called at each interruption of the write (the beat of the
// clock, see impulso.h).
size_t scriviTutto(int fd, const char *dati, size_t quanti, void (*interrotto)() = nullptr);

// A line of ours on standard error, as printf(3) composes it (up to 511
// bytes).
void dire(const char *formato, ...) __attribute__((format(printf, 1, 2)));

#endif
