#include "mdf/cIterator.h"

void* cIterator_next(cIterator* iterator) {
  if (!iterator || !iterator->vtable || !iterator->vtable->next) return nullptr;
  return iterator->vtable->next(iterator);
}

void cIterator_dtor(cIterator* iterator) {
  if (iterator && iterator->vtable && iterator->vtable->destroy)
    iterator->vtable->destroy(iterator);
}
