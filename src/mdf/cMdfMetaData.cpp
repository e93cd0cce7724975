#include "mdf/cMdfMetaData.h"

#include <expat.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <unordered_set>

#include "mdf/blocks/cMdfBlock_HD.h"
#include "mdf/blocks/cMdfBlock_ID.h"
#include "mdf/blocks/cMdfBlock_MD.h"
#include "mdf/cMdf.h"

namespace {

constexpr size_t kNoCurrent = static_cast<size_t>(-1);
constexpr std::string_view kCommonProperties = "common_properties";

// State of one parse, handed to expat as user data.
struct ParseContext {
  XML_Parser parser;
  cMdfMetaDataMap* result;
  std::unordered_set<std::string> keys;  // keys already in result
  // Index in result of the property collecting character data, or kNoCurrent.
  size_t current = kNoCurrent;
  // One entry per open element, outermost first: the element's name, or for
  // a named "tree"/"e" inside common_properties, its "name" attribute.
  std::vector<std::string> stack;
  bool outOfMemory = false;  // parsing stopped because memory ran out
  // Stack depth of an unnamed "tree"/"e" element being skipped with its
  // content, 0 when none.
  size_t skipFrom = 0;
  // Bytes of keys the parse may still build. A key repeats the names of
  // all its trees, so a long tree name over many properties would take
  // memory (and time, for repeated keys) far beyond the text's size.
  size_t keyBudget = 0;
};

// Keys of a document may take this many times its length, plus a floor.
constexpr size_t kKeyBytesPerTextByte = 16;
constexpr size_t kKeyBytesFloor = 64 * 1024;

const char* findAttribute(const XML_Char** attributes, const char* name) {
  for (const XML_Char** a = attributes; a != nullptr && a[0] != nullptr;
       a += 2) {
    if (std::strcmp(a[0], name) == 0) return a[1];
  }
  return nullptr;
}

// Ends the parse as failed; the caller then discards everything.
void stopParse(ParseContext* context) {
  XML_StopParser(context->parser, XML_FALSE);
}

void outOfMemory(ParseContext* context) {
  context->outOfMemory = true;
  stopParse(context);
}

void startProperty(ParseContext* context, const XML_Char* name,
                   const XML_Char** attributes) {
  std::vector<std::string>& stack = context->stack;
  stack.emplace_back(name);
  if (context->skipFrom != 0 || stack.size() <= 2 ||
      stack[1] != kCommonProperties)
    return;
  bool isTree = std::strcmp(name, "tree") == 0;
  if (!isTree && std::strcmp(name, "e") != 0) return;
  const char* propertyName = findAttribute(attributes, "name");
  if (propertyName == nullptr) {
    context->skipFrom = stack.size();
    return;
  }
  stack.back() = propertyName;
  if (isTree) return;

  size_t keyLength = 0;
  for (const std::string& part : stack) keyLength += part.size() + 1;
  if (keyLength > context->keyBudget) {
    stopParse(context);
    return;
  }
  context->keyBudget -= keyLength;
  std::string key;
  for (const std::string& part : stack) {
    if (part == kCommonProperties) continue;
    if (!key.empty()) key += '.';
    key += part;
  }
  if (!context->keys.insert(key).second) return;
  cMdfMetaData property;
  cMdfMetaData_init(&property);
  property.name = propertyName;
  const struct {
    const char* attribute;
    std::string* member;
  } texts[] = {{"description", &property.description},
               {"unit", &property.unit},
               {"type", &property.valueType}};
  for (const auto& text : texts) {
    if (const char* value = findAttribute(attributes, text.attribute))
      *text.member = value;
  }
  const char* readOnly = findAttribute(attributes, "ro");
  property.readOnly = readOnly != nullptr && std::strcmp(readOnly, "true") == 0;
  context->result->emplace_back(std::move(key), std::move(property));
  context->current = context->result->size() - 1;
}

void XMLCALL startElement(void* userData, const XML_Char* name,
                          const XML_Char** attributes) {
  ParseContext* context = static_cast<ParseContext*>(userData);
  try {
    startProperty(context, name, attributes);
  } catch (...) {
    outOfMemory(context);
  }
}

void XMLCALL endElement(void* userData, const XML_Char*) {
  ParseContext* context = static_cast<ParseContext*>(userData);
  if (!context->stack.empty()) context->stack.pop_back();
  if (context->stack.size() < context->skipFrom) context->skipFrom = 0;
  context->current = kNoCurrent;
}

void XMLCALL dataHandler(void* userData, const XML_Char* text, int length) {
  ParseContext* context = static_cast<ParseContext*>(userData);
  if (context->current == kNoCurrent || length <= 0) return;
  std::string& value = (*context->result)[context->current].second.valueRaw;
  try {
    value.append(text, static_cast<size_t>(length));
  } catch (...) {
    outOfMemory(context);
    return;
  }
  value.erase(0, value.find_first_not_of(' '));
}

}  // namespace

cMdfMetaData* cMdfMetaData_init(cMdfMetaData* record) {
  if (record == nullptr) return nullptr;
  record->name.clear();
  record->description.clear();
  record->unit.clear();
  record->valueType.clear();
  record->valueRaw.clear();
  record->readOnly = false;
  return record;
}

void cMdfMetaData_drop(cMdfMetaData* record) {
  if (record == nullptr) return;
  for (std::string* text : {&record->name, &record->description, &record->unit,
                            &record->valueType, &record->valueRaw})
    std::string().swap(*text);
}

cMdfMetaData* cMdfMetaData_clone(cMdfMetaData* destination,
                                 const cMdfMetaData* source) {
  if (destination == nullptr || source == nullptr) return nullptr;
  try {
    cMdfMetaData copy = *source;
    *destination = std::move(copy);
  } catch (...) {
    return nullptr;
  }
  return destination;
}

cMdfMetaDataMap cMdfMetaData_parse(const char* text, size_t length,
                                   bool* complete) {
  cMdfMetaDataMap result;
  if (complete != nullptr) *complete = true;
  if (text == nullptr) return result;
  XML_Parser parser = XML_ParserCreate(nullptr);
  if (parser == nullptr) {
    if (complete != nullptr) *complete = false;
    return result;
  }
  ParseContext context;
  context.parser = parser;
  context.result = &result;
  context.keyBudget =
      length < (SIZE_MAX - kKeyBytesFloor) / kKeyBytesPerTextByte
          ? length * kKeyBytesPerTextByte + kKeyBytesFloor
          : SIZE_MAX;
  XML_SetUserData(parser, &context);
  XML_SetElementHandler(parser, startElement, endElement);
  XML_SetCharacterDataHandler(parser, dataHandler);
  // expat takes int lengths: a text beyond that goes in several pieces.
  bool ok = true;
  do {
    size_t piece = length < INT_MAX ? length : INT_MAX;
    length -= piece;
    ok = XML_Parse(parser, text, static_cast<int>(piece),
                   length == 0 ? XML_TRUE : XML_FALSE) == XML_STATUS_OK;
    text += piece;
  } while (ok && length > 0);
  if (complete != nullptr && !ok &&
      (context.outOfMemory || XML_GetErrorCode(parser) == XML_ERROR_NO_MEMORY))
    *complete = false;
  XML_ParserFree(parser);
  if (!ok) cMdfMetaDataMap().swap(result);
  return result;
}

cMdfMetaDataMap cMdf_getMetaData(const cMdf* mdf, bool* complete) {
  if (complete != nullptr) *complete = true;
  if (mdf == nullptr) return {};
  const cMdfBlock_ID_t* id = cMdfBlock_t_to_cMdfBlock_ID_t(mdf->root);
  const cMdfBlock_HD_t* header =
      id != nullptr ? cMdfBlock_t_to_cMdfBlock_HD_t(id->header) : nullptr;
  const cMdfBlock_MD_t* comment =
      header != nullptr ? cMdfBlock_t_to_cMdfBlock_MD_t(header->comment)
                        : nullptr;
  if (comment == nullptr) return {};  // none, or a plain text comment
  std::string_view text = cMdfBlock_MD_getText(comment);
  return cMdfMetaData_parse(text.data(), text.substr(0, text.find('\0')).size(),
                            complete);
}
