// Readers of a file's trailer that only the tests and benchmarks use, over the codec's own.
#pragma once

#include "SigCodeTable.h"

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>

// Returns 2 n for a file that ends in a trailer of n > 0 code units, else 0. Fills `buffer`
// with the text and a two-byte terminator only when it holds 2 n + 2 bytes, and then returns 0
// (the buffer holding an empty text) when a payload code is missing from the table. With a
// smaller or null buffer the payload is not read: the count may then belong to a trailer that
// does not decode in full. The stream is left at no defined position.
std::size_t ReadSignature(CSigCodeTable& table, std::FILE* file, void* buffer,
                          std::size_t bufferBytes);

// The whole text of the file's trailer, or nothing when it holds no valid one.
std::optional<std::u16string> ReadSignatureText(std::FILE* file);

// True when the file ends in a valid trailer (see UnsignedLength).
bool IsSigned(std::FILE* file);
