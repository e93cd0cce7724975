// Owning handles for the tests that read a log's columns: the stream, the
// opened log and a column reader, each released when it goes out of scope.
#pragma once

#include <memory>

#include "mdf/cMdf.h"
#include "mdf/cMdfColumns.h"
#include "streams/cIO.h"

struct CloseMdf {
  void operator()(cMdf* mdf) const { cMdf_close(mdf); }
};
struct CloseIO {
  void operator()(cIO* io) const { cIO_close(io); }
};
struct DropReader {
  void operator()(cMdfColumnReader* r) const { cMdfColumnReader_dtor(r); }
};
using MdfPtr = std::unique_ptr<cMdf, CloseMdf>;
using IOPtr = std::unique_ptr<cIO, CloseIO>;
using ReaderPtr = std::unique_ptr<cMdfColumnReader, DropReader>;
