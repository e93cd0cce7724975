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

// The other bits of the last byte choose what the paths do, in band too
// (a file's reader ignores bytes after its blocks, so a seed may append
// one):
// - fuzz_readColumns: both bits of kFuzzLargeFill set, one fill more of
//   65,536 rows with the fill's helper thread;
// - fuzz_decodeSignals: kFuzzOverlap fills the next batch on a second
//   thread, kFuzzSmallBatches cuts the frames into batches of 7 rows (else
//   64), kFuzzLayouts changes the signal layouts as the kFuzzLayoutBytes
//   bytes before the last one say, kFuzzSomeRows asks for the row numbers
//   of every other message only; kFuzzSplit, where the byte before the
//   last one is kFuzzSplitMark, extracts the frames once more, repeated
//   beyond the 65,536 rows from which cMdfSignals_extract splits its work
//   over two threads, both split and whole (a few inputs only: that takes
//   some 15 ms), their payloads 64 bytes a row with kFuzzSlots (else
//   packed behind offsets), every third copy of a frame unusable and no
//   channels with kFuzzUnusable, row numbers of the even messages only
//   with kFuzzSomeRows, and none with kFuzzSomeRows without kFuzzOverlap;
//   kFuzzSplit where that byte is kFuzzPrefetchMark instead reads the
//   frames ahead as while a database is parsed (cMdfSignals_prefetch) and
//   keeps only those of the layouts' ids (cMdfSignals_decodePrefetched).
inline constexpr uint8_t kFuzzLargeFill = 0x06;
inline constexpr uint8_t kFuzzOverlap = 0x02;
inline constexpr uint8_t kFuzzSmallBatches = 0x04;
inline constexpr uint8_t kFuzzLayouts = 0x08;
inline constexpr uint8_t kFuzzSomeRows = 0x10;
inline constexpr uint8_t kFuzzSplit = 0x20;
inline constexpr uint8_t kFuzzSlots = 0x40;
inline constexpr uint8_t kFuzzUnusable = 0x80;
inline constexpr uint8_t kFuzzSplitMark = 0x5A;
inline constexpr uint8_t kFuzzPrefetchMark = 0xA5;
inline constexpr size_t kFuzzLayoutBytes = 48;

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
// Opens a plain MF4 file and fills every column and text of every frame,
// in fills of two sizes, then again through filters made from the rows,
// and for some inputs (kFuzzLargeFill) in one large fill with the helper
// thread: a file whose fills disagree, whose texts are not the names of
// their codes, or whose filtered table is not its whole table with the
// rows the filter leaves out, aborts. *digest covers the rows. Not
// reentrant: the large fill has one static store.
bool fuzz_readColumns(cIO* stream, uint64_t* digest, bool anyWriter);
// Opens a plain MF4 file and decodes its CAN data frames into the signals
// of a fixed set of layouts (cMdfSignals_decode), batch after batch into
// a sink that keeps at most a fixed number of rows, and checks every
// value, present flag, row number and carried column, and the counts its
// prepare and settle calls get, against a decoding of its own, bit by
// bit; a disagreement aborts. With kFuzzSplit (and its mark), the frames
// repeated beyond 65,536 rows are extracted in memory in one piece and
// split over two threads (cMdfSignals_extract), and the two must write
// the same. Layouts the plan refuses must come with a reason; then
// nothing is decoded (false). *digest covers what the sink received. Not
// reentrant: the frames it checks against are static.
bool fuzz_decodeSignals(cIO* stream, uint64_t* digest, bool anyWriter);

// Every frame of every data group of an open file, its start time and
// its metadata into *digest (when not null), as the paths read them; false
// when reading fails.
bool fuzz_readAll(cMdf* mdf, uint64_t* digest);

// The last `want` bytes of `stream` (all of it when it is shorter) into
// `tail`, their count into *got, and the stream back at its start; false
// when the stream fails.
bool fuzz_tail(cIO* stream, uint8_t* tail, size_t want, size_t* got);

// A memory stream holding `size` bytes, positioned at 0; null when memory
// runs short.
cIO* fuzz_memoryStream(const uint8_t* data, size_t size);
