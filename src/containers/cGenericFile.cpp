// Container header: recognition of the "Generic File" magic and the table
// of header combinations the openers accept.
#include "containers/cGenericFile.h"

#include <cstring>

#include "streams/cSerializer.h"

bool cGenericFile_readHeader(cIO* stream, cGenericFileHeader* header) {
  if (!stream || !header || !cIO_seekTo(stream, 0)) return false;
  cSerializer s;
  cSerializer_ctor(&s, stream);
  // In file order, stopping at the first short read: the fields before it
  // are filled, the rest are left as they were.
  const bool ok =
      cSerializer_readRaw(&s, header->magic, sizeof header->magic) &&
      cSerializer_readU8(&s, &header->format_revision) &&
      cSerializer_readU8(&s, &header->footer_flag) &&
      cSerializer_readU8(&s, &header->container_type) &&
      cSerializer_readU8(&s, &header->header_version) &&
      cSerializer_readU32_BE(&s, &header->device_id);
  return ok && memcmp(header->magic, magic_bytes, sizeof header->magic) == 0;
}

void cGenericFile_refuseHeader(const cGenericFileHeader* header,
                               const char* kind, cReason* reason) {
  if (!header) return;
  // The revision, the first of the fields the combination is made of.
  constexpr uint64_t kRevisionOffset = kGenericFileMagicSize;
  cReason_note(reason, kRevisionOffset,
               "%s container at 0x%llX: format revision %u, footer flag %u, "
               "header version %u: no accepted combination",
               kind, static_cast<unsigned long long>(kRevisionOffset),
               unsigned{header->format_revision}, unsigned{header->footer_flag},
               unsigned{header->header_version});
}

bool cGenericFile_accepts(const cGenericFileHeader* header,
                          uint8_t container_type) {
  if (!header || header->container_type != container_type ||
      header->header_version != 1)
    return false;
  switch (container_type) {
    case GENERIC_FILE_TYPE_COMPRESSED:
      // The footer comes with format revision 1 and only with it.
      return header->format_revision <= 1 &&
             header->footer_flag == header->format_revision;
    case GENERIC_FILE_TYPE_ENCRYPTED:
      return header->format_revision <= 1 && header->footer_flag == 0;
    default:
      return false;
  }
}
