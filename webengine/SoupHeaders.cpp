#include "webengine/SoupHeaders.h"

#include <libsoup/soup.h>

namespace webengine {

HeaderList headerListOf(SoupMessageHeaders* headers)
{
    HeaderList list;
    if (!headers)
        return list;
    SoupMessageHeadersIter it;
    soup_message_headers_iter_init(&it, headers);
    const char* name = nullptr;
    const char* value = nullptr;
    while (soup_message_headers_iter_next(&it, &name, &value))
        list.emplace_back(name, value);
    return list;
}

} // namespace webengine
