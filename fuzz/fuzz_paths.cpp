#include "fuzz_paths.h"

#include <cstring>

#include "containers/cGenericFileUnwrap.h"
#include "mdf/blocks/cMdfBlock_DG.h"
#include "mdf/cMdf.h"
#include "mdf/cMdfBusMsgContainer.h"
#include "mdf/cMdfFinalize.h"
#include "mdf/cMdfMetaData.h"
#include "streams/cIO_memoryAlloc.h"

namespace {

// FNV-1a, 64 bits.
struct Digest {
  uint64_t value = 0xcbf29ce484222325u;
  void add(const void* bytes, size_t size) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    for (size_t i = 0; i < size; ++i) {
      value = (value ^ p[i]) * 0x100000001b3u;
    }
  }
  template <typename T>
  void add(const T& field) {
    add(&field, sizeof field);
  }
  void add(const std::string& text) {
    add(text.size());
    add(text.data(), text.size());
  }
};

void addFrame(Digest* digest, int32_t result, const cMdfBusMsg& frame) {
  digest->add(result);
  digest->add(frame.kind);
  digest->add(frame.timeOffset);
  digest->add(frame.timeOffsetNs);
  digest->add(frame.id);
  digest->add(frame.dataLength);
  if (frame.data != nullptr) digest->add(frame.data, frame.dataLength);
}

// Every frame of every data group, the start time and the metadata into
// *digest; false when a group's frames cannot be read (no memory).
bool readAll(cMdf* mdf, uint64_t* digest) {
  Digest value;
  value.add(cMdf_getStartTime(mdf, 1));
  value.add(cMdf_getStartTimeNs(mdf));
  cMdfBlockList* groups = cMdf_getDataGroups(mdf);
  const size_t count = cMdfBlockList_size(groups);
  for (size_t g = 0; g < count; ++g) {
    cMdfBusMsgContainer* container = cMdfBusMsgContainer_ctor(
        cMdfBlock_t_to_cMdfBlock_DG_t_mut(cMdfBlockList_at(groups, g)));
    if (container == nullptr) return false;
    for (cMdfBusMsgContainerPosition p = cMdfBusMsgContainer_begin(container);
         p.frame; cMdfBusMsgContainer_next(&p)) {
      addFrame(&value, p.result, *p.frame);
    }
    cMdfBusMsgContainer_dtor(container);
  }
  for (const auto& [key, property] : cMdf_getMetaData(mdf)) {
    value.add(key);
    value.add(property.valueRaw);
    value.add(property.unit);
    value.add(property.valueType);
    value.add(property.readOnly);
  }
  if (digest != nullptr) *digest = value.value;
  return true;
}

bool readOpen(cIO* stream, uint64_t* digest) {
  cMdf* mdf = cMdf_open(stream);
  const bool read = mdf != nullptr && readAll(mdf, digest);
  cMdf_close(mdf);
  return read;
}

int lookupPassword(void*, const char* key, const char** password,
                   size_t* length) {
  if (std::strcmp(key, "default") != 0) return 0;
  *password = kFuzzPassword;
  *length = std::strlen(kFuzzPassword);
  return 1;
}

}  // namespace

cIO* fuzz_memoryStream(const uint8_t* data, size_t size) {
  cIO* io = cIO_memoryAlloc_ctor();
  if (io != nullptr &&
      (cIO_write(io, data, size) != static_cast<int64_t>(size) ||
       cIO_seek(io, 0, CIO_SEEK_SET) != 0)) {
    cIO_close(io);
    return nullptr;
  }
  return io;
}

bool fuzz_readPlain(cIO* stream, uint64_t* digest) {
  const bool opened = readOpen(stream, digest);
  cIO_close(stream);
  return opened;
}

bool fuzz_readContainer(cIO* stream, uint64_t* digest) {
  cIO* inner = cGenericFile_unwrap(stream, lookupPassword, nullptr, nullptr);
  const bool opened = inner != nullptr && readOpen(inner, digest);
  cIO_close(inner);
  return opened;
}

bool fuzz_finalize(cIO* stream, uint64_t* digest) {
  cMdf* mdf = cMdf_open(stream);
  cIO* saved = nullptr;
  bool done = mdf != nullptr && cMdf_finalizeAndSort(mdf) == 1 &&
              (saved = cIO_memoryAlloc_ctor()) != nullptr &&
              cMdf_save(mdf, saved) && cIO_seek(saved, 0, CIO_SEEK_SET) == 0;
  cMdf_close(mdf);
  cIO_close(stream);
  done = done && readOpen(saved, digest);
  cIO_close(saved);
  return done;
}
