#ifndef BENCH_HEAP_COUNTER_H
#define BENCH_HEAP_COUNTER_H

#include <cstddef>

// Bytes held through the global operator new of this process, which the benchmark binary
// replaces. The dlopen'ed plugin and the scripted driver resolve operator new to it as well;
// malloc calls from C code (the driver manager) are not seen.
namespace heap_counter {

// Usable bytes currently allocated through operator new.
size_t current();
// Highest value of current() since the last resetPeak().
size_t peak();
// Starts a new peak from the current level.
void resetPeak();

}  // namespace heap_counter

#endif
