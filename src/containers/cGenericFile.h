// "Generic File" container header: the 20 bytes that open every compressed
// and encrypted log file. The container type selects the opener
// (cGenericFileCompressed.h, cGenericFileEncrypted.h), which reads its own
// fields from offset 20 on.
//
// Layout on disk (multi-byte integers big-endian):
//   offset  width  field
//        0     12  magic, the ASCII characters "Generic File", no terminator
//       12      1  format revision
//       13      1  footer flag: 1 = a 4-byte CRC-32 footer ends the file
//       14      1  container type (GENERIC_FILE_TYPE_*)
//       15      1  header version, always 1
//       16      4  device id of the logger; selects an encrypted file's
//                  password, written as "%08X"
//       20    ...  type-specific fields and payload
#pragma once

#include <cstdint>

#include "log/cReason.h"
#include "streams/cIO.h"

// The magic as it stands in the file (the terminator is not part of it).
inline constexpr char magic_bytes[] = "Generic File";
inline constexpr int kGenericFileMagicSize = sizeof magic_bytes - 1;
inline constexpr int64_t kGenericFileHeaderSize = 20;

enum : uint8_t {
  GENERIC_FILE_TYPE_ENCRYPTED = 0x11,
  GENERIC_FILE_TYPE_COMPRESSED = 0x22,
};

struct cGenericFileHeader {
  uint8_t magic[kGenericFileMagicSize];
  uint32_t device_id;
  uint8_t format_revision;
  uint8_t footer_flag;
  uint8_t header_version;
  uint8_t container_type;
};

// Reads the header from offset 0 of the stream. True when all 20 bytes were
// read and the magic matches exactly; false for a null stream or header, a
// stream shorter than 20 bytes or any other magic. The fields are filled as
// far as they were read also when the result is false. The stream is left
// after the header.
bool cGenericFile_readHeader(cIO* stream, cGenericFileHeader* header);

// Whether an opener for `container_type` accepts the header. Accepted
// combinations (anything else is refused):
//   type        version  format revision  footer flag
//   compressed  1        0                0
//   compressed  1        1                1
//   encrypted   1        0 or 1           0
// False for a null header or one of another container type.
bool cGenericFile_accepts(const cGenericFileHeader* header,
                          uint8_t container_type);
// Notes in *reason why the opener of `kind` ("compressed", "encrypted")
// refuses `header`: "compressed container at 0xC: format revision 2,
// footer flag 0, header version 1: no accepted combination".
void cGenericFile_refuseHeader(const cGenericFileHeader* header,
                               const char* kind, cReason* reason);
