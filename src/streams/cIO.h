// cIO: the one byte-stream interface of the library.
//
// A stream is a record whose first member points at a constant table of
// operations; each stream kind derives from cIO and keeps its own state
// after it. Files, memory buffers, windows onto other streams, checksumming
// and decompressing pass-throughs and Python file objects are all streams.
//
// Results: read/write return the byte count (0 at end of data, negative on
// error), tell/seek the position (negative on error). An empty slot in the
// table means "not supported": the dispatch functions then return -2 and do
// nothing.
//
// Short reads: a read may return fewer bytes than asked for, also before the
// end of data (a pipe, a socket, a Python raw file object). Every caller that
// needs a complete transfer reads with cIO_readFull, which reads on until the
// count, the end of data or an error.
//
// Ownership: whoever creates a stream closes it, exactly once, with
// cIO_close. A stream that wraps another never closes the wrapped one.
//
// Streams are not thread-safe. Every operation moves the one shared
// position, so two users of a stream must each seek before their access.
#pragma once

#include <cstdint>

struct cIO;

enum {
  CIO_SEEK_SET = 0,  // from the start
  CIO_SEEK_CUR = 1,  // from the current position
  CIO_SEEK_END = 2,  // from the end
};

// Result of a dispatch function whose slot is empty.
constexpr int64_t CIO_UNSUPPORTED = -2;

struct cIO_vtable {
  int64_t (*read)(cIO* io, void* dst, uint64_t len);
  int64_t (*write)(cIO* io, const void* src, uint64_t len);
  int64_t (*tell)(cIO* io);
  int64_t (*seek)(cIO* io, int64_t offset, int whence);
  int (*close)(cIO* io);  // releases the stream record itself
};

struct cIO {
  const cIO_vtable* vtable;
};

// Dispatch. A null stream gives -1; an empty slot -2, with no side effect.
int64_t cIO_read(cIO* io, void* dst, uint64_t len);
int64_t cIO_write(cIO* io, const void* src, uint64_t len);
// Reads until len bytes have arrived, the data ends or the stream fails:
// the count that arrived (below len only at the end of data), or a negative
// result when the stream failed or reported more bytes than it was asked
// for (the bytes that arrived before are in dst all the same).
int64_t cIO_readFull(cIO* io, void* dst, uint64_t len);
int64_t cIO_tell(cIO* io);
int64_t cIO_seek(cIO* io, int64_t offset, int whence);
// 0 for a null stream or an empty close slot, else the close result.
int cIO_close(cIO* io);

// Where a seek by `offset` from `whence` lands in a stream that stands at
// `position` and ends at `size`: the target, or -1 for an unknown whence,
// a target below 0 or beyond INT64_MAX. For stream kinds that keep their
// position themselves.
int64_t cIO_seekTarget(uint64_t position, uint64_t size, int64_t offset,
                       int whence);

// Seeks to `position` from the start; true exactly when the stream reports
// that it stands there. False for a null stream and for a position beyond
// the largest stream offset (INT64_MAX), which is not sought at all.
bool cIO_seekTo(cIO* io, uint64_t position);

// Saves the current position in *slot; false (slot untouched) if either is
// null or the stream cannot tell. The caller keeps the saved position;
// nesting is its business.
bool cIO_pushLocation(cIO* io, int64_t* slot);
// Seeks back to *slot; true exactly when the stream lands there.
bool cIO_popLocation(cIO* io, const int64_t* slot);
// Size of the stream (seek to end, tell); the position is restored.
// -1 for a null stream or one that cannot tell, seek to its end or back.
int64_t cIO_getSize(cIO* io);
// Copies src to dst in 4096-byte pieces until src reports 0 or an error.
void cIO_cat(cIO* src, cIO* dst);
