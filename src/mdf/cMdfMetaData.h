// Metadata of a recording: the properties stored in the XML comment of the
// file's header block, under its "common_properties" element.
//
//   <HDcomment>
//     <TX>...</TX>
//     <common_properties>
//       <e name="serial" type="string" ro="true">1234</e>
//       <tree name="can1">
//         <e name="rate" unit="kbit/s" type="integer">500</e>
//       </tree>
//     </common_properties>
//   </HDcomment>
//
// Every "e" element is one property, keyed by the root element's name and
// the names of the enclosing "tree" elements and its own, joined with ".":
// HDcomment.serial, HDcomment.can1.rate. Other elements inside
// common_properties, and everything outside it, are ignored. A "tree" or "e"
// element without a "name" attribute cannot be keyed: it is skipped with
// everything inside it. Of two properties with the same key the first wins.
// Keys repeat the names of their trees: a document whose keys would take
// more than 16 times its length (plus 64 KiB) gives nothing, so that a
// small comment cannot take memory or time without bound.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

struct cMdf;

struct cMdfMetaData {
  std::string name;         // attribute "name"
  std::string description;  // attribute "description", empty when missing
  std::string unit;         // attribute "unit", empty when missing
  std::string valueType;    // attribute "type", empty when missing
  // Character data of the element; leading blanks (0x20 only) removed, all
  // other characters kept as they are.
  std::string valueRaw;
  bool readOnly;  // attribute "ro" with the exact value "true"
};

// The properties of one document: unique keys, in document order.
using cMdfMetaDataMap = std::vector<std::pair<std::string, cMdfMetaData>>;

// Empty strings, read only false; returns record (null for null).
cMdfMetaData* cMdfMetaData_init(cMdfMetaData* record);
// Frees the five strings and leaves them empty; the read-only flag stays.
// Nothing for null.
void cMdfMetaData_drop(cMdfMetaData* record);
// Deep copy of source into destination; returns destination (null when
// either is null or memory is short, destination then left as before).
cMdfMetaData* cMdfMetaData_clone(cMdfMetaData* destination,
                                 const cMdfMetaData* source);

// The properties of an XML document of `length` bytes. Empty when the
// document is not well-formed anywhere (no partial result), when its keys
// exceed their bound, when memory runs short, or for null text. Nothing is
// logged. *complete (when not null) is false when memory ran short: the
// empty result then does not say what the document holds.
cMdfMetaDataMap cMdfMetaData_parse(const char* text, size_t length,
                                   bool* complete = nullptr);

// The properties of the header block's metadata comment of `mdf`, parsed up
// to the comment's first zero byte (the padding of the block is not part of
// the XML). Empty for a null file, no comment, or a text-block comment;
// *complete as for cMdfMetaData_parse.
cMdfMetaDataMap cMdf_getMetaData(const cMdf* mdf, bool* complete = nullptr);
