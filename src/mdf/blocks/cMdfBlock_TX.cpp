#include "mdf/blocks/cMdfBlock_TX.h"

#include <cstdlib>
#include <cstring>

namespace {

const cMdfBlock_vtable kOperations = {cMdfBlock_TX_load, cMdfBlock_TX_save,
                                      cMdfBlock_TX_dtor, nullptr};

const char kZeros[8] = {};

}  // namespace

cMdfBlock_TX_t* cMdfBlock_TX_ctor() {
  return cMdfBlock_allocate<cMdfBlock_TX_t>(MDF_BLOCK_TX, &kOperations);
}

bool cMdfBlock_TX_load(cMdfBlock_t* block, cIO* stream, cMdfBlockCache* cache,
                       const cMdfBlockHeader* header, cMdfBlockList*) {
  auto* t = static_cast<cMdfBlockText_t*>(block);
  if (header->linkCount != 0)
    return cMdfBlock_refuse(cache, block, "%llu links, needs 0",
                            static_cast<unsigned long long>(header->linkCount));
  if (header->length < MDF_BLOCK_HEADER_SIZE) return false;
  cMdfBlock_copyHeader(block, header);
  const uint64_t size = header->length - MDF_BLOCK_HEADER_SIZE;
  if (size == 0) return true;
  cSerializer s = cMdfBlock_dataSerializer(block, stream);
  if (!cMdfBlock_fitsInStream(stream, cache, static_cast<uint64_t>(s.base),
                              size))
    return cMdfBlock_refuse(cache, block,
                            "length %llu runs past the end of the file",
                            static_cast<unsigned long long>(header->length));
  // The final byte of the section lands on the terminator's place.
  auto* text = static_cast<char*>(malloc(size));
  if (!text) return cMdfBlock_refuse(cache, block, "out of memory");
  if (!cSerializer_readRaw(&s, text, size)) {
    free(text);
    return cMdfBlock_refuse(cache, block, "its text could not be read");
  }
  text[size - 1] = '\0';
  t->text = text;
  t->size = size - 1;
  return true;
}

bool cMdfBlock_TX_save(cMdfBlock_t* block, cMdfBlockSaveContext* context,
                       const cMdfBlock_t*) {
  auto* t = static_cast<cMdfBlockText_t*>(block);
  block->length = t->size + MDF_BLOCK_HEADER_SIZE + 1;
  cSerializer s;
  if (!cMdfBlock_reserve(block, context, true) ||
      !cMdfBlock_writeHead(block, context, nullptr, 0, &s))
    return false;
  const uint64_t padding =
      context->nextFree - block->fileOffset - block->length;
  bool ok = cSerializer_writeCsview(&s, t->text ? t->text : "", t->size);
  ok = cSerializer_writeU8(&s, 0) && ok;
  return cSerializer_writeCsview(&s, kZeros, padding) && ok;
}

void cMdfBlock_TX_dtor(cMdfBlock_t* block) {
  auto* t = static_cast<cMdfBlockText_t*>(block);
  free(t->text);
  t->text = nullptr;
  t->size = 0;
}

std::string_view cMdfBlockText_get(const cMdfBlock_t* block) {
  if (!block || (block->type != MDF_BLOCK_TX && block->type != MDF_BLOCK_MD))
    return "";
  const auto* t = static_cast<const cMdfBlockText_t*>(block);
  if (!t->text) return "";
  return {t->text, t->size};
}

bool cMdfBlockText_set(cMdfBlockText_t* block, std::string_view text) {
  if (!block) return false;
  auto* copy = static_cast<char*>(malloc(text.size() + 1));
  if (!copy) return false;
  if (!text.empty()) memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  free(block->text);
  block->text = copy;
  block->size = text.size();
  return true;
}

std::string_view cMdfBlock_TX_getText(const cMdfBlock_TX_t* block) {
  return cMdfBlockText_get(block);
}
