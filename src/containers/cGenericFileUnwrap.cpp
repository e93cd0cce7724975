// Unwrapping: one container level after the other, the password lookup for
// encrypted ones, and the password table of the command-line tools.
#include "containers/cGenericFileUnwrap.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "containers/cGenericFile.h"
#include "containers/cGenericFileCompressed.h"
#include "containers/cGenericFileEncrypted.h"
#include "streams/cIO_file.h"

namespace {

// Opens the encrypted container on `stream` with the password the lookup
// gives for its device id, else for "default". Null with the reason in
// *status.
// Where the device id stands in the container header.
constexpr uint64_t kDeviceIdOffset = 16;
// Where the container type stands in the container header.
constexpr uint64_t kTypeOffset = 14;

cIO* decrypt(cIO* stream, const cGenericFileHeader& header,
             cGenericFilePasswordFn lookup, void* userdata,
             cGenericFileStatus* status, cReason* reason) {
  if (lookup == nullptr) {
    *status = GENERIC_FILE_NO_PASSWORDS;
    cReason_note(reason, kDeviceIdOffset,
                 "encrypted container at 0x%llX: device %08X, no passwords "
                 "given",
                 static_cast<unsigned long long>(kDeviceIdOffset),
                 unsigned{header.device_id});
    return nullptr;
  }
  char deviceKey[9];
  std::snprintf(deviceKey, sizeof deviceKey, "%08X", header.device_id);
  for (const char* key : {static_cast<const char*>(deviceKey), "default"}) {
    const char* password = nullptr;
    size_t length = 0;
    const int found = lookup(userdata, key, &password, &length);
    if (found < 0) {
      *status = GENERIC_FILE_LOOKUP_FAILED;
      cReason_note(reason, kReasonNoOffset, "the password lookup failed");
      return nullptr;
    }
    if (found == 0) continue;
    cIO* inner =
        cGenericFile_encrypted_open(stream, &header, password, length, reason);
    if (inner == nullptr) *status = GENERIC_FILE_DECRYPT_FAILED;
    return inner;
  }
  *status = GENERIC_FILE_NO_KEY;
  cReason_note(reason, kDeviceIdOffset,
               "encrypted container at 0x%llX: no password for device %s or "
               "\"default\"",
               static_cast<unsigned long long>(kDeviceIdOffset), deviceKey);
  return nullptr;
}

// One level: the content of the container whose header is `header`, or null
// with the reason in *status.
cIO* open(cIO* stream, const cGenericFileHeader& header,
          cGenericFilePasswordFn lookup, void* userdata,
          cGenericFileStatus* status, cReason* reason) {
  switch (header.container_type) {
    case GENERIC_FILE_TYPE_COMPRESSED: {
      cIO* inner = cGenericFile_compressed_open(stream, &header, reason);
      if (inner == nullptr) *status = GENERIC_FILE_DECOMPRESS_FAILED;
      return inner;
    }
    case GENERIC_FILE_TYPE_ENCRYPTED:
      return decrypt(stream, header, lookup, userdata, status, reason);
    default:
      *status = GENERIC_FILE_UNKNOWN_TYPE;
      cReason_note(reason, kTypeOffset,
                   "container at 0x%llX: unknown container type 0x%02X",
                   static_cast<unsigned long long>(kTypeOffset),
                   unsigned{header.container_type});
      return nullptr;
  }
}

// The layers of an unwrapped file, each container reading the one before:
// the source first, the innermost container last. Reads, tells and seeks
// go to the innermost; close closes them all, innermost first.
struct Chain : cIO {
  cIO* layers[kGenericFileMaxDepth + 1];  // owned
  int count;
};

cIO* innermost(cIO* io) {
  Chain* chain = static_cast<Chain*>(io);
  return chain->layers[chain->count - 1];
}

int64_t chainRead(cIO* io, void* dst, uint64_t len) {
  return cIO_read(innermost(io), dst, len);
}

int64_t chainWrite(cIO*, const void*, uint64_t) { return -1; }

int64_t chainTell(cIO* io) { return cIO_tell(innermost(io)); }

int64_t chainSeek(cIO* io, int64_t offset, int whence) {
  return cIO_seek(innermost(io), offset, whence);
}

int chainClose(cIO* io) {
  Chain* chain = static_cast<Chain*>(io);
  int result = 0;
  for (int i = chain->count; i-- > 0;) {
    const int closed = cIO_close(chain->layers[i]);
    if (i == 0) result = closed;
  }
  delete chain;
  return result;
}

const cIO_vtable kChainOperations = {chainRead, chainWrite, chainTell,
                                     chainSeek, chainClose};

// A source that cannot seek (a pipe, a socket), copied whole into a
// temporary file that can; the source is closed. The source itself when it
// can seek; null when it cannot and the copy fails (the source is closed).
cIO* seekable(cIO* source, cGenericFileStatus* status, cReason* reason) {
  if (cIO_getSize(source) >= 0) return source;
  cIO* copy = cIO_file_temporary();
  bool ok = copy != nullptr;
  uint8_t buffer[64 * 1024];
  while (ok) {
    const int64_t n = cIO_read(source, buffer, sizeof buffer);
    if (n == 0) break;
    ok = n > 0 && n <= static_cast<int64_t>(sizeof buffer) &&
         cIO_write(copy, buffer, static_cast<uint64_t>(n)) == n;
  }
  cIO_close(source);
  if (ok && cIO_seekTo(copy, 0)) return copy;
  cIO_close(copy);
  *status = GENERIC_FILE_NO_SOURCE;
  cReason_note(reason, kReasonNoOffset,
               "the source cannot seek, and copying it into a temporary "
               "file failed");
  return nullptr;
}

}  // namespace

cIO* cGenericFile_unwrap(cIO* source, cGenericFilePasswordFn lookup,
                         void* userdata, cGenericFileStatus* status,
                         cReason* reason,
                         std::vector<cGenericFileHeader>* headers) {
  cGenericFileStatus ignored;
  if (status == nullptr) status = &ignored;
  *status = GENERIC_FILE_OK;
  if (source == nullptr) {
    *status = GENERIC_FILE_NO_SOURCE;
    cReason_note(reason, kReasonNoOffset, "no stream to read");
    return nullptr;
  }
  cIO* stream = seekable(source, status, reason);
  if (stream == nullptr) return nullptr;
  Chain* chain = nullptr;
  for (int depth = 0;; ++depth) {
    cGenericFileHeader header;
    if (!cGenericFile_readHeader(stream, &header)) {
      cIO_seek(stream, 0, CIO_SEEK_SET);
      // Not a container: the content itself, or the innermost layer.
      return chain ? chain : stream;
    }
    if (headers != nullptr) {
      try {
        headers->push_back(header);
      } catch (const std::bad_alloc&) {
      }
    }
    cIO* inner = nullptr;
    if (depth == kGenericFileMaxDepth) {
      *status = GENERIC_FILE_TOO_DEEP;
      cReason_note(reason, 0,
                   "containers nest deeper than kGenericFileMaxDepth (%d)",
                   kGenericFileMaxDepth);
    } else {
      if (!chain) {
        chain = new (std::nothrow) Chain;
        if (chain) {
          chain->vtable = &kChainOperations;
          chain->layers[0] = stream;
          chain->count = 1;
        } else {
          *status = GENERIC_FILE_NO_SOURCE;
          cReason_note(reason, kReasonNoOffset, "out of memory");
        }
      }
      if (chain) inner = open(stream, header, lookup, userdata, status, reason);
    }
    if (inner == nullptr) {
      if (chain)
        chainClose(chain);
      else
        cIO_close(stream);
      return nullptr;
    }
    // Each container reads the one before it: the chain keeps them all.
    chain->layers[chain->count++] = inner;
    stream = inner;
  }
}

cGenericFileStatus cGenericFile_fault(const cIO* stream, cReason* reason) {
  if (!stream || stream->vtable != &kChainOperations) return GENERIC_FILE_OK;
  const Chain* chain = static_cast<const Chain*>(stream);
  // The outermost fault is the cause: the layers inside fail through it.
  for (int i = 0; i < chain->count; ++i) {
    const cIO* layer = chain->layers[i];
    const cReason* fault = cGenericFile_compressed_fault(layer);
    const cGenericFileStatus status =
        fault ? GENERIC_FILE_DECOMPRESS_FAILED : GENERIC_FILE_DECRYPT_FAILED;
    if (!fault) fault = cGenericFile_encrypted_fault(layer);
    if (!fault) continue;
    if (reason && !reason->set) *reason = *fault;
    return status;
  }
  return GENERIC_FILE_OK;
}

cIO* cGenericFile_outermost(cIO* stream) {
  if (!stream || stream->vtable != &kChainOperations) return stream;
  return static_cast<Chain*>(stream)->layers[0];
}

const char* cGenericFile_statusMessage(cGenericFileStatus status) {
  switch (status) {
    case GENERIC_FILE_OK:
      return "";
    case GENERIC_FILE_DECOMPRESS_FAILED:
      return "Could not decompress stream";
    case GENERIC_FILE_DECRYPT_FAILED:
      return "Could not decrypt stream";
    case GENERIC_FILE_NO_PASSWORDS:
      return "Encrypted file detected, but no passwords supplied";
    case GENERIC_FILE_NO_KEY:
      return "Could not find key to decrypt stream";
    case GENERIC_FILE_NO_SOURCE:
    case GENERIC_FILE_UNKNOWN_TYPE:
    case GENERIC_FILE_TOO_DEEP:
    case GENERIC_FILE_LOOKUP_FAILED:
      break;
  }
  return "Could not open data source";
}

bool cGenericFile_tableAdd(cGenericFilePasswordTable* table,
                           const char* entry) {
  if (table == nullptr || entry == nullptr) return false;
  const char* separator = std::strchr(entry, '=');
  if (separator == nullptr || separator == entry) return false;
  try {
    table->emplace_back(std::string(entry, separator), separator + 1);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

int cGenericFile_tableLookup(void* table, const char* key,
                             const char** password, size_t* length) {
  if (table == nullptr || key == nullptr) return 0;
  for (const auto& [entryKey, entryPassword] :
       *static_cast<const cGenericFilePasswordTable*>(table)) {
    if (entryKey != key) continue;
    *password = entryPassword.data();
    *length = entryPassword.size();
    return 1;
  }
  return 0;
}
