// The message-ID check on records read for history slots.
#include "article/record_identity.h"

#include "article/article_key.h"
#include "article/store.h"
#include "history/history.h"
#include "server/client_context.h"

namespace {

// `id` names the slot's article: its key is the slot's, or the article it
// names has an entry of its own on the very same record.
bool NamesSlotsArticle(const SeenIdentity& slot, std::string_view id)
{
    ArticleKey key = 0;
    if (!GetArticleKeyOfText(id, &key))
        return false;
    if (key == slot.key)
        return true;
    uint32_t other = 0;
    SeenIdentity owner {};
    return SeenGetEntry(key, &other) && SeenGetIdentity(other, &owner) && owner.storeKey == slot.storeKey &&
           owner.length == slot.length;
}

}  // namespace

int RecordIsSlots(uint32_t slot, uint64_t storeKey, std::string_view bytes, uint32_t from)
{
    SeenIdentity identity {};
    if (!SeenGetIdentity(slot, &identity) || identity.storeKey != storeKey)
        return 0;
    const uint64_t at = identity.messageIdOffset;
    std::string_view id;
    char read[kMessageIdSize];
    if (at >= from && at + identity.messageIdLength <= from + bytes.size()) {
        id = bytes.substr(at - from, identity.messageIdLength);
    } else {
        if (identity.messageIdLength >= sizeof read ||
            ReadStore(storeKey, read, at, identity.messageIdLength) != identity.messageIdLength)
            return 0;
        id = std::string_view(read, identity.messageIdLength);
    }
    if (NamesSlotsArticle(identity, id))
        return 1;
    SeenToastAt(slot, storeKey);
    return 0;
}
