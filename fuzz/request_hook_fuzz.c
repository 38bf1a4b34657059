/* The web process module compiled as C, as it is built, for request_hook_fuzz: each of its files (they call
 * one another), and the few of their functions that the fuzz target drives, under names of their own. */
#include "webprocess/LoadRules.c"
#include "webprocess/RequestHook.c"
#include "webprocess/LoadRouting.c"
#include "webprocess/BodyGuard.c"
#include "webprocess/PageAnswers.c"
#include "webprocess/ValueText.c"
#include "webprocess/StorageGuard.c"
#include "webprocess/HistoryGuard.c"

char* fuzz_hook_without_fragment(const char* uri) { return without_fragment(uri); }
gboolean fuzz_hook_stays_local(const char* uri) { return stays_local(uri); }
gboolean fuzz_hook_is_exec_request(const char* uri) { return hyb_url_has_bridge_path(uri); }
void fuzz_hook_add_pending_navigation(GQueue* pending, const char* uri) { add_pending_navigation(pending, uri); }
gboolean fuzz_hook_take_pending_navigation(GQueue* pending, const char* uri) { return take_pending_navigation(pending, uri); }
guint fuzz_hook_max_pending_navigations(void) { return MAX_PENDING_NAVIGATIONS; }
char* fuzz_hook_local_route_of(const char* uri) { return local_route_of(uri); }
gboolean fuzz_hook_is_local_route_of_file(const char* uri) { return is_local_route_of_file(uri); }
