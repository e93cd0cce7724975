// cIterator: a generic forward iterator.
//
//   cIterator* it = cIterator_dgRaw_ctor(mdf, group);  // one kind of many
//   while (void* item = cIterator_next(it)) { ... }
//   cIterator_dtor(it);
//
// An iterator record starts with a pointer to the constant table of its
// kind's operations; each kind keeps its own state after it. The items
// belong to the iterator: one stays valid until the next call of next or
// the destruction.
#pragma once

struct cIterator;

struct cIterator_vtable {
  // The next item, owned by the iterator, or nullptr at the end.
  void* (*next)(cIterator* iterator);
  // Releases the iterator and everything it owns, the record included.
  void (*destroy)(cIterator* iterator);
};

struct cIterator {
  const cIterator_vtable* vtable;
};

// The next item; nullptr at the end, for a null iterator or a kind without
// next.
void* cIterator_next(cIterator* iterator);
// Destroys the iterator; nothing for null or a kind without destroy.
void cIterator_dtor(cIterator* iterator);
