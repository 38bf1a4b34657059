/* The rules that refuse some of a view's web loads (http, https) before they leave: the application's
 * whitelist, as the expressions its entries compiled to, judged in the web process for the loads that go out
 * through the engine's own network stack (the rest the UI process judges itself).
 *
 * A load is allowed here only when the whitelist surely allows it: its URL is read as the UI process reads it
 * (scheme as written, host, the port the text names, the path percent-decoded without one trailing "/"), and
 * anything this reading is not sure of (user information, escapes in the host, an escape that is malformed or
 * decodes to NUL or to text that is not UTF-8, a port out of range) counts as not allowed: such a load goes
 * to the UI process, whose whitelist decides it. Expressions are POSIX extended ones, matched anchored at the
 * start of the part, as the whitelist matches them.
 *
 * Plain C on GLib (the module is C); no state but what hyb_load_rules_new makes. */
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One entry: an absent (NULL) expression or a negative port tests nothing on that part. */
typedef struct {
    const char* scheme; /* compared ignoring case */
    const char* host;   /* compared ignoring case */
    long long port;
    const char* path; /* compared exactly */
} HybRulePattern;

typedef struct HybLoadRules HybLoadRules;

/* Compiles the patterns; `default_scheme_opens_hosts`: entries of the scheme "hyb-default-scheme" open their
 * host for both web schemes, on any port. NULL when an expression does not compile (then nothing is judged
 * here: every load goes to the UI process). */
HybLoadRules* hyb_load_rules_new(const HybRulePattern* patterns, size_t count, int default_scheme_opens_hosts);
void hyb_load_rules_free(HybLoadRules* rules);

/* Whether the rules surely allow the URL, an http or https one (no other is allowed here). */
int hyb_load_rules_allow(const HybLoadRules* rules, const char* url);

#ifdef __cplusplus
}
#endif
