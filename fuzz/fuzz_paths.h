// The reading paths the fuzz targets drive (fuzz/fuzz_*.cpp), shared with
// the C++ tests that replay the inputs fuzzing found and that inject
// allocation, read and seek failures along the same paths.
//
// Each path takes over `stream` (it is closed before the call returns),
// opens the file as one of our logger's (or with `anyWriter` as one of any
// writer, see cMdf_open) and returns true when the file opened, with *digest
// (when not null) set to a hash of everything read: every frame of every data
// group, the start time and the metadata. False when the file did not open, or
// when finalizing or saving refused it, or when reading its frames failed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mdf/cMdf.h"
#include "streams/cIO.h"

// Whether a fuzz input is opened as a file of any writer: its last byte is
// odd. In band, so that a single mutation switches the way it opens.
inline bool fuzz_anyWriter(const uint8_t* data, size_t size) {
  return size > 0 && (data[size - 1] & 1) != 0;
}

// The password of the containers the fuzz targets unwrap (under the key
// "default"), and the PBKDF2 iteration count of their seeds.
inline constexpr const char* kFuzzPassword = "fuzz";
inline constexpr uint32_t kFuzzIterations = 16;

// A plain MF4 file: open, read every frame and the metadata.
bool fuzz_readPlain(cIO* stream, uint64_t* digest, bool anyWriter);
// Unwraps compressed and encrypted containers with kFuzzPassword, then
// reads the content as fuzz_readPlain does.
bool fuzz_readContainer(cIO* stream, uint64_t* digest, bool anyWriter);
// Opens, finalizes and sorts, saves into memory, reopens the saved file
// and reads it as fuzz_readPlain does.
bool fuzz_finalize(cIO* stream, uint64_t* digest, bool anyWriter);
// Opens a plain MF4 file and fills every column of every frame, in fills
// of two sizes, then again through filters made from the rows: a file
// whose fills disagree, or whose filtered table is not its whole table
// with the rows the filter leaves out, aborts. *digest covers the rows.
bool fuzz_readColumns(cIO* stream, uint64_t* digest, bool anyWriter);

// Every frame of every data group of an open file, its start time and
// its metadata into *digest (when not null), as the paths read them; false
// when reading fails.
bool fuzz_readAll(cMdf* mdf, uint64_t* digest);

// A memory stream holding `size` bytes, positioned at 0; null when memory
// runs short.
cIO* fuzz_memoryStream(const uint8_t* data, size_t size);
