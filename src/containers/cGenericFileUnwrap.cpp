// Unwrapping: one container level after the other, the password lookup for
// encrypted ones, and the password table of the command-line tools.
#include "containers/cGenericFileUnwrap.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "containers/cGenericFile.h"
#include "containers/cGenericFileCompressed.h"
#include "containers/cGenericFileEncrypted.h"

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
  cIO* stream = source;
  for (int depth = 0;; ++depth) {
    cGenericFileHeader header;
    if (!cGenericFile_readHeader(stream, &header)) {
      cIO_seek(stream, 0, CIO_SEEK_SET);
      return stream;  // not a container: the content itself
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
      inner = open(stream, header, lookup, userdata, status, reason);
    }
    // The container stream holds the decoded content: the outer one is done.
    cIO_close(stream);
    if (inner == nullptr) return nullptr;
    stream = inner;
  }
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
