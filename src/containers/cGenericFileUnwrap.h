// Unwrapping a log file: compressed and encrypted containers, nested in any
// order, are opened one inside the other until the content is no container,
// which is then what the MF4 reader reads.
//
// The passwords of encrypted containers come from the caller through a
// lookup callback, asked first for the container's device id written as
// eight upper-case hex digits ("%08X", e.g. "0001E240"), then for
// "default".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "containers/cGenericFile.h"
#include "log/cReason.h"
#include "streams/cIO.h"

// Containers nest (an encrypted file holding a compressed one); real logs
// have at most two levels. A container that decodes to itself would
// otherwise be unwrapped forever.
inline constexpr int kGenericFileMaxDepth = 16;

// Outcome of cGenericFile_unwrap.
enum cGenericFileStatus : int {
  GENERIC_FILE_OK = 0,             // the innermost stream was returned
  GENERIC_FILE_NO_SOURCE,          // the source is null
  GENERIC_FILE_UNKNOWN_TYPE,       // a container header of an unknown type
  GENERIC_FILE_TOO_DEEP,           // more than kGenericFileMaxDepth containers
  GENERIC_FILE_DECOMPRESS_FAILED,  // a compressed container did not open
  GENERIC_FILE_NO_PASSWORDS,       // an encrypted container, but no callback
  GENERIC_FILE_NO_KEY,             // the callback knows neither key
  GENERIC_FILE_LOOKUP_FAILED,      // the callback reported a failure of its own
  GENERIC_FILE_DECRYPT_FAILED,     // wrong password, or a damaged container
};

// Password lookup: for `key` (a device id as "%08X", or "default") sets
// *password to the password's bytes (no terminator needed) and *length to
// their count and returns 1; returns 0 when there is no password under the
// key; -1 when the lookup itself failed (unwrapping then stops with
// GENERIC_FILE_LOOKUP_FAILED and the caller keeps its own error). The bytes
// must stay valid until the next call or the end of cGenericFile_unwrap.
// The callback must not throw.
using cGenericFilePasswordFn = int (*)(void* userdata, const char* key,
                                       const char** password, size_t* length);

// Unwraps the containers on `source` and returns a stream of the
// innermost content, positioned at 0: the source itself (or its copy, see
// below) when it holds no container, else a stream that reads the content
// through every container layer, decoding and decrypting what is read where it
// is read (its memory is bounded whatever the file's size) and that closes all
// the layers, the source included, when it is closed. Takes over `source`: it
// is either returned or closed, also on failure, when null is returned. *status
// (when not null) receives the outcome. A null `lookup` means no passwords at
// all (GENERIC_FILE_NO_PASSWORDS at the first encrypted container; compressed
// and plain files open without).
//
// A source that cannot seek (a pipe, a socket, a file object that cannot)
// is first copied whole into an anonymous temporary file (cIO_file_
// temporary: TMPDIR, else /tmp), which is read instead and disappears
// when the stream closes; it takes as much disk space as the source.
//
// A source whose first bytes cannot be read counts as no container: its
// read error shows when the content is read.
//
// *reason (when not null; log/cReason.h) receives why it failed, with the
// offset in the container concerned: the opener's own reason for
// GENERIC_FILE_DECOMPRESS_FAILED and GENERIC_FILE_DECRYPT_FAILED (see
// cGenericFileCompressed.h, cGenericFileEncrypted.h), else "container at
// 0xE: unknown container type 0x33", "containers nest deeper than
// kGenericFileMaxDepth (16)", "encrypted container at 0x10: no password
// for device 0001E240 or \"default\"", ... Nothing is logged here.
// `headers` (when not null) receives the header of every container met,
// outermost first, also the one that failed to open; running out of memory
// for it leaves it short.
cIO* cGenericFile_unwrap(cIO* source, cGenericFilePasswordFn lookup,
                         void* userdata, cGenericFileStatus* status,
                         cReason* reason = nullptr,
                         std::vector<cGenericFileHeader>* headers = nullptr);

// Whether reads of a stream cGenericFile_unwrap returned have failed
// because a container's source changed or failed since it was opened:
// GENERIC_FILE_OK when not (or for a stream that is no container), else
// GENERIC_FILE_DECOMPRESS_FAILED or GENERIC_FILE_DECRYPT_FAILED for the
// outermost container at fault (the inner ones fail as a consequence), its
// reason copied into *reason (when not null and none is noted there yet).
cGenericFileStatus cGenericFile_fault(const cIO* stream, cReason* reason);

// The outermost layer of a stream cGenericFile_unwrap returned: the source
// it read (or the temporary copy of a source that could not seek); the
// stream itself when it holds no container.
cIO* cGenericFile_outermost(cIO* stream);

// The message for a status, as the Python module raises it: "Could not
// decompress stream", "Could not decrypt stream", "Encrypted file detected,
// but no passwords supplied", "Could not find key to decrypt stream",
// "Could not open data source" for the other failures; "" for
// GENERIC_FILE_OK.
const char* cGenericFile_statusMessage(cGenericFileStatus status);

// A password table for command-line tools: (key, password) pairs, looked
// up by cGenericFile_tableLookup (userdata: the table).
using cGenericFilePasswordTable =
    std::vector<std::pair<std::string, std::string>>;

// Adds an entry written "KEY=PASSWORD" (the first '=' separates them; the
// key is a device id as "%08X" or "default"). False, and nothing added,
// when there is no '=' or the key is empty, or when memory runs out.
bool cGenericFile_tableAdd(cGenericFilePasswordTable* table, const char* entry);

// cGenericFilePasswordFn over a cGenericFilePasswordTable: the first entry
// with the key.
int cGenericFile_tableLookup(void* table, const char* key,
                             const char** password, size_t* length);
