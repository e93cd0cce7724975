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
cIO* decrypt(cIO* stream, const cGenericFileHeader& header,
             cGenericFilePasswordFn lookup, void* userdata,
             cGenericFileStatus* status) {
  if (lookup == nullptr) {
    *status = GENERIC_FILE_NO_PASSWORDS;
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
      return nullptr;
    }
    if (found == 0) continue;
    cIO* inner = cGenericFile_encrypted_open(stream, &header, password, length);
    if (inner == nullptr) *status = GENERIC_FILE_DECRYPT_FAILED;
    return inner;
  }
  *status = GENERIC_FILE_NO_KEY;
  return nullptr;
}

// One level: the content of the container whose header is `header`, or null
// with the reason in *status.
cIO* open(cIO* stream, const cGenericFileHeader& header,
          cGenericFilePasswordFn lookup, void* userdata,
          cGenericFileStatus* status) {
  switch (header.container_type) {
    case GENERIC_FILE_TYPE_COMPRESSED: {
      cIO* inner = cGenericFile_compressed_open(stream, &header);
      if (inner == nullptr) *status = GENERIC_FILE_DECOMPRESS_FAILED;
      return inner;
    }
    case GENERIC_FILE_TYPE_ENCRYPTED:
      return decrypt(stream, header, lookup, userdata, status);
    default:
      *status = GENERIC_FILE_UNKNOWN_TYPE;
      return nullptr;
  }
}

}  // namespace

cIO* cGenericFile_unwrap(cIO* source, cGenericFilePasswordFn lookup,
                         void* userdata, cGenericFileStatus* status) {
  cGenericFileStatus ignored;
  if (status == nullptr) status = &ignored;
  *status = GENERIC_FILE_OK;
  if (source == nullptr) {
    *status = GENERIC_FILE_NO_SOURCE;
    return nullptr;
  }
  cIO* stream = source;
  for (int depth = 0;; ++depth) {
    cGenericFileHeader header;
    if (!cGenericFile_readHeader(stream, &header)) {
      cIO_seek(stream, 0, CIO_SEEK_SET);
      return stream;  // not a container: the content itself
    }
    cIO* inner = nullptr;
    if (depth == kGenericFileMaxDepth)
      *status = GENERIC_FILE_TOO_DEEP;
    else
      inner = open(stream, header, lookup, userdata, status);
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
