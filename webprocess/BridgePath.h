/* The path of the page's bridge requests, as both sides read it: the web-process module, which sends such a
 * request to the UI process as a bridge request instead of a load, and the runtime's URL protocol, which hands
 * it to the command queue. One reading for both, so that no spelling is an ordinary load on one side and the
 * bridge on the other: the path exactly as the URL writes it, without decoding escapes ("/%21hyb_exec" is
 * another path) or dropping a trailing "/" ("/!hyb_exec/" is another path). Plain C: the module is C. */
#pragma once

#include <string.h>

#define HYB_BRIDGE_PATH "/!hyb_exec"

/* Whether an absolute URL's path, as written (between the authority and the query or fragment), is the bridge
 * path. */
static inline int hyb_url_has_bridge_path(const char* url)
{
    /* The scheme: a letter, then letters, digits, "+", "-" or "." up to the ":". */
    size_t scheme = 0;
    while ((url[scheme] >= 'a' && url[scheme] <= 'z') || (url[scheme] >= 'A' && url[scheme] <= 'Z') ||
           (scheme > 0 && ((url[scheme] >= '0' && url[scheme] <= '9') || url[scheme] == '+' || url[scheme] == '-' || url[scheme] == '.')))
        scheme++;
    if (scheme == 0 || url[scheme] != ':')
        return 0;
    const char* path = url + scheme + 1;
    if (path[0] == '/' && path[1] == '/')
        path += 2 + strcspn(path + 2, "/?#");
    const size_t length = strcspn(path, "?#");
    return length == sizeof(HYB_BRIDGE_PATH) - 1 && memcmp(path, HYB_BRIDGE_PATH, length) == 0;
}
