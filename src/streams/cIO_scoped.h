// Window stream: a view of [start, end) of another stream, with positions
// relative to start. Seeks outside the window land on its nearer edge.
#pragma once

#include "streams/cIO.h"

struct cIO_scoped_t : cIO {
  cIO* inner;     // not owned
  int64_t start;  // absolute position in inner where the window begins
  int64_t end;    // absolute end (exclusive); <= 0: runs to inner's end
};

// A window over inner; does not take ownership of inner. Seeks inner to
// start. nullptr when inner is null or allocation fails.
cIO* cIO_scoped_ctor(cIO* inner, int64_t start, int64_t end);
