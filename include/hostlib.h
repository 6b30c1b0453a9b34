// Host utility services: file access, string and number text, pseudo-random
// numbers. The network file, the data-set loader and the training loop use
// them, and a host may call them too.
//
// Buffer convention: every character buffer is passed as its bound, the
// highest valid index (capacity minus one), followed by the pointer. A bound
// below 0 means a buffer with no room at all. Strings end at their first zero
// byte or at the bound, whichever comes first; written strings are always
// zero-terminated within the bound.
#pragma once

#include <cstdint>

#include "tamrix_export.h"

namespace FIO {

// An open file. The all-ones value, reinterpret_cast<THandle>(kFailedHandle),
// means that opening or creating failed; callers test for exactly that value.
using THandle = void*;
constexpr intptr_t kFailedHandle = -1;

// Opens an existing file for reading. shareRead non-zero lets other programs
// read it meanwhile (Windows; other systems do not lock files). Returns the
// handle or the failure value.
TAMRIX_API THandle OpenReadA(int nameBound, const char* name, int shareRead);

// Creates a file open for writing. failIfExists 0 replaces an existing file,
// non-zero refuses it. Returns the handle or the failure value.
TAMRIX_API THandle CreateA(int nameBound, const char* name, int failIfExists);

// Length of the open file in bytes; -1 for a handle that cannot be queried.
TAMRIX_API int64_t Size(THandle file);

// Reads up to count bytes, and never more than bound + 1, into buffer;
// returns the number of bytes read. Anything but count means failure (end of
// file, error, or a buffer smaller than count).
TAMRIX_API int RdBin(THandle file, int bound, void* buffer, int count);

// Writes the characters of text before its terminating zero; true when all
// of them were written.
TAMRIX_API bool WrStrA(THandle file, int bound, const char* text);

// Closes the file; the handle is invalid afterwards.
TAMRIX_API void Close(THandle file);

} // namespace FIO

namespace Str {

// Characters before the terminating zero, at most bound + 1; 0 for a null
// pointer or a negative bound.
TAMRIX_API int LengthA(int bound, const char* text);

// Copies source into dest, cut to dest's capacity, and terminates it; the
// two may overlap. Returns the length of dest afterwards.
TAMRIX_API int CopyA(int destBound, char* dest, int sourceBound, const char* source);

// Appends source to the string in dest, cut to dest's capacity. Returns the
// length of dest afterwards.
TAMRIX_API int AppendA(int destBound, char* dest, int sourceBound, const char* source);

// Number to text in the given base (2 to 36, lower-case digits, '-' for
// negative values). When the text does not fit or the base is out of range,
// the buffer receives the empty string and *ok (when not null) is false.
// Returns the length written.
TAMRIX_API int IntToStrA(int32_t value, int bound, char* buffer, int base, bool* ok);
TAMRIX_API int CardToStrA(uint32_t value, int bound, char* buffer, int base, bool* ok);

// Fixed-point text with exactly `decimals` digits after the point (0 to 20),
// correctly rounded, never in exponent form, always with '.' whatever the
// process locale; "nan", "inf" and "-inf" for those values. Failure as for
// IntToStrA.
TAMRIX_API int FixRealToStrA(double value, int decimals, int bound, char* buffer, bool* ok);

} // namespace Str

namespace Lib {

// The generator is one process-wide SplitMix64 sequence: every draw advances
// a 64-bit counter atomically, so concurrent callers never receive the same
// number and nothing is locked. Until the first RANDOMIZE or FixSeed it
// starts from a fixed state.

// Reseeds the generator: from the clock and the previous state normally, or,
// after FixSeed, from the seed and the number of RANDOMIZE calls since it.
// Every network layer calls it once before drawing its weights.
TAMRIX_API void RANDOMIZE();

// Uniform double in (0, 1], with 53 random bits; never 0.
TAMRIX_API double RAND();

// Uniform integer in 0 ... n - 1 without modulo bias; 0 when n is 0.
TAMRIX_API unsigned RANDOM(unsigned n);

// Makes the numbers reproducible: the generator restarts from a state derived
// from seed, and each later RANDOMIZE moves it to the next state of a sequence
// derived from seed instead of reading the clock. A host or a test that calls
// FixSeed(s) and then builds networks gets the same weights on every run,
// while each layer still draws its own stream. Call it while no other thread
// draws or reseeds.
TAMRIX_API void FixSeed(uint64_t seed);

// Returns RANDOMIZE to seeding from the clock.
TAMRIX_API void UnfixSeed();

} // namespace Lib
