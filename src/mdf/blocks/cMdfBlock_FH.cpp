#include "mdf/blocks/cMdfBlock_FH.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "log/zf_log.h"
#include "mdf/blocks/cMdfBlock_MD.h"

namespace {

const cMdfBlock_vtable kOperations = {cMdfBlock_FH_load, cMdfBlock_FH_save,
                                      cMdfBlock_FH_dtor, nullptr};

enum : uint64_t { kLinkNext, kLinkComment, kLinkCount };

constexpr std::string_view kToolId = "<tool_id>QX</tool_id>";

// The comment must be a metadata block whose text, up to its first zero
// byte, names the tool; exact and case-sensitive.
bool writtenByOurTool(const cMdfBlock_FH_t* fh) {
  const cMdfBlock_MD_t* md = cMdfBlock_t_to_cMdfBlock_MD_t(fh->comment);
  if (!md) return false;
  const std::string_view text = cMdfBlock_MD_getText(md);
  return text.substr(0, strlen(text.data())).find(kToolId) !=
         std::string_view::npos;
}

}  // namespace

cMdfBlock_FH_t* cMdfBlock_FH_ctor() {
  return cMdfBlock_allocate<cMdfBlock_FH_t>(MDF_BLOCK_FH, &kOperations);
}

bool cMdfBlock_FH_load(cMdfBlock_t* block, cIO* stream, cMdfBlockCache* cache,
                       const cMdfBlockHeader* header, cMdfBlockList* list) {
  auto* fh = static_cast<cMdfBlock_FH_t*>(block);
  uint64_t links[kLinkCount];
  if (!cMdfBlock_loadHead(block, stream, cache, header, links, kLinkCount) ||
      !cMdfBlock_loadChainLink(stream, links[kLinkNext], cache, list) ||
      !cMdfBlock_loadSingleLink(stream, links[kLinkComment], cache,
                                &fh->comment))
    return false;
  cSerializer s = cMdfBlock_dataSerializer(block, stream);
  bool ok = cSerializer_readU64(&s, &fh->time);
  ok = ok && cSerializer_readI16(&s, &fh->timeZoneOffset);
  ok = ok && cSerializer_readI16(&s, &fh->daylightOffset);
  if (!ok || !cSerializer_readU8(&s, &fh->timeFlags))
    return cMdfBlock_refuse(cache, block, "its fields could not be read");
  if (!(cache && cache->anyWriter) && !writtenByOurTool(fh)) {
    ZF_LOGE("Unsupported MF4 file");
    return cMdfBlock_refuse(cache, block,
                            "its comment does not name the logger's tool "
                            "(%.*s): the file was not written by a supported "
                            "logger",
                            static_cast<int>(kToolId.size()), kToolId.data());
  }
  return true;
}

bool cMdfBlock_FH_save(cMdfBlock_t* block, cMdfBlockSaveContext* context,
                       const cMdfBlock_t* next) {
  auto* fh = static_cast<cMdfBlock_FH_t*>(block);
  if (!cMdfBlock_reserve(block, context, false)) return false;
  bool ok = true;
  uint64_t links[kLinkCount];
  links[kLinkNext] = cMdfBlock_linkTo(next);
  links[kLinkComment] = cMdfBlock_saveChild(fh->comment, context, &ok);
  cSerializer s;
  if (!cMdfBlock_writeHead(block, context, links, kLinkCount, &s)) return false;
  ok = cSerializer_writeU64(&s, fh->time) && ok;
  ok = cSerializer_writeI16(&s, fh->timeZoneOffset) && ok;
  ok = cSerializer_writeI16(&s, fh->daylightOffset) && ok;
  ok = cSerializer_writeU8(&s, fh->timeFlags) && ok;
  return cMdfBlock_writeTail(block, &s) && ok;  // reserved: zeros
}

void cMdfBlock_FH_dtor(cMdfBlock_t* block) {
  cMdfBlockRef_drop(&static_cast<cMdfBlock_FH_t*>(block)->comment);
}
