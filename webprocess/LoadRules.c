#include "webprocess/LoadRules.h"

#include <glib.h>
#include <regex.h>
#include <stdlib.h>
#include <string.h>

#define DEFAULT_SCHEME "hyb-default-scheme"

typedef struct {
    regex_t scheme, host, path;
    int has_scheme, has_host, has_path;
    long long port;
} CompiledPattern;

struct HybLoadRules {
    CompiledPattern* patterns;
    size_t count;
    int default_scheme_opens_hosts;
};

/* The parts of a URL the rules look at; `path` is owned. */
typedef struct {
    const char* scheme;
    size_t scheme_length;
    const char* host;
    size_t host_length;
    long long port; /* -1: the text names none */
    char* path;
} URLParts;

static int rules_compile(regex_t* target, const char* expression, int ignore_case)
{
    /* Anchored at the start; the expressions end with "$" themselves where the whole part must match. */
    const size_t length = strlen(expression);
    char* anchored = malloc(length + 4);
    if (!anchored)
        return 0;
    memcpy(anchored, "^(", 2);
    memcpy(anchored + 2, expression, length);
    memcpy(anchored + 2 + length, ")", 2);
    const int status = regcomp(target, anchored, REG_EXTENDED | REG_NOSUB | (ignore_case ? REG_ICASE : 0));
    free(anchored);
    return status == 0;
}

static void rules_free_pattern(CompiledPattern* pattern)
{
    if (pattern->has_scheme)
        regfree(&pattern->scheme);
    if (pattern->has_host)
        regfree(&pattern->host);
    if (pattern->has_path)
        regfree(&pattern->path);
}

HybLoadRules* hyb_load_rules_new(const HybRulePattern* patterns, size_t count, int default_scheme_opens_hosts)
{
    HybLoadRules* rules = calloc(1, sizeof *rules);
    if (!rules)
        return NULL;
    rules->patterns = count ? calloc(count, sizeof *rules->patterns) : NULL;
    if (count && !rules->patterns) {
        free(rules);
        return NULL;
    }
    rules->default_scheme_opens_hosts = default_scheme_opens_hosts;
    for (size_t i = 0; i < count; i++) {
        CompiledPattern* pattern = &rules->patterns[i];
        rules->count = i + 1;
        pattern->port = patterns[i].port;
        if ((patterns[i].scheme && !(pattern->has_scheme = rules_compile(&pattern->scheme, patterns[i].scheme, 1)))
            || (patterns[i].host && !(pattern->has_host = rules_compile(&pattern->host, patterns[i].host, 1)))
            || (patterns[i].path && !(pattern->has_path = rules_compile(&pattern->path, patterns[i].path, 0)))) {
            hyb_load_rules_free(rules);
            return NULL;
        }
    }
    return rules;
}

void hyb_load_rules_free(HybLoadRules* rules)
{
    if (!rules)
        return;
    for (size_t i = 0; i < rules->count; i++)
        rules_free_pattern(&rules->patterns[i]);
    free(rules->patterns);
    free(rules);
}

/* The path percent-decoded, without one trailing "/" (but "/" itself); NULL when unsure. */
static char* rules_decoded_path(const char* path, size_t length)
{
    char* decoded = malloc(length + 1);
    if (!decoded)
        return NULL;
    size_t out = 0;
    for (size_t i = 0; i < length; i++) {
        if (path[i] != '%') {
            decoded[out++] = path[i];
            continue;
        }
        const int high = i + 2 < length ? g_ascii_xdigit_value(path[i + 1]) : -1;
        const int low = i + 2 < length ? g_ascii_xdigit_value(path[i + 2]) : -1;
        if (high < 0 || low < 0) {
            free(decoded);
            return NULL;
        }
        decoded[out++] = (char)(high * 16 + low);
        i += 2;
    }
    decoded[out] = '\0';
    /* (NUL is valid UTF-8 to g_utf8_validate_len, but no path the whitelist reads holds one.) */
    if (memchr(decoded, '\0', out) || !g_utf8_validate_len(decoded, out, NULL)) {
        free(decoded);
        return NULL;
    }
    if (out > 1 && decoded[out - 1] == '/')
        decoded[out - 1] = '\0';
    return decoded;
}

/* Splits an http or https URL; 0 for any other, or when unsure. */
static int rules_split(const char* url, URLParts* parts)
{
    /* Characters no URL holds as they stand anywhere (the engine escapes them), and those no host holds: text
     * that has one is no URL here. A path or query may hold "^`{|}" and "\\" as the engine sends them (a path
     * reads them as themselves; the query is not judged). */
    const char* slashes = strstr(url, "://");
    const size_t judged = slashes ? (size_t)(slashes - url) + 3 + strcspn(slashes + 3, "/?#") : strlen(url);
    for (const unsigned char* c = (const unsigned char*)url; *c; c++) {
        if (*c <= ' ' || *c >= 0x7F || strchr("\"<>", *c) || ((size_t)((const char*)c - url) < judged && strchr("\\^`{|}", *c)))
            return 0;
    }
    const char* colon = strchr(url, ':');
    if (!colon || colon[1] != '/' || colon[2] != '/')
        return 0;
    parts->scheme = url;
    parts->scheme_length = (size_t)(colon - url);
    if (!(parts->scheme_length == 4 && g_ascii_strncasecmp(url, "http", 4) == 0)
        && !(parts->scheme_length == 5 && g_ascii_strncasecmp(url, "https", 5) == 0))
        return 0;
    const char* authority = colon + 3;
    const size_t authority_length = strcspn(authority, "/?#");
    if (memchr(authority, '@', authority_length) || memchr(authority, '%', authority_length))
        return 0;
    const char* port_text = NULL;
    if (authority_length && authority[0] == '[') {
        const char* close = memchr(authority, ']', authority_length);
        if (!close)
            return 0;
        parts->host = authority + 1;
        parts->host_length = (size_t)(close - authority) - 1;
        if (close + 1 < authority + authority_length) {
            if (close[1] != ':')
                return 0;
            port_text = close + 2;
        }
    } else {
        const char* port_colon = memchr(authority, ':', authority_length);
        parts->host = authority;
        parts->host_length = port_colon ? (size_t)(port_colon - authority) : authority_length;
        port_text = port_colon ? port_colon + 1 : NULL;
    }
    parts->port = -1;
    if (port_text) {
        const char* end = authority + authority_length;
        if (port_text == end)
            return 0;
        long long port = 0;
        for (const char* p = port_text; p < end; p++) {
            if (*p < '0' || *p > '9' || (port = port * 10 + (*p - '0')) > 65535)
                return 0;
        }
        parts->port = port;
    }
    const char* path = authority + authority_length;
    parts->path = rules_decoded_path(path, *path == '/' ? strcspn(path, "?#") : 0);
    return parts->path != NULL;
}

static int rules_matches_text(const regex_t* expression, const char* text, size_t length)
{
    char* subject = malloc(length + 1);
    if (!subject)
        return 0;
    memcpy(subject, text, length);
    subject[length] = '\0';
    const int matched = strlen(subject) == length && regexec(expression, subject, 0, NULL, 0) == 0;
    free(subject);
    return matched;
}

static int rules_matches(const CompiledPattern* pattern, const URLParts* parts)
{
    if (pattern->has_scheme && !rules_matches_text(&pattern->scheme, parts->scheme, parts->scheme_length))
        return 0;
    if (pattern->has_host && !rules_matches_text(&pattern->host, parts->host, parts->host_length))
        return 0;
    if (pattern->port >= 0 && parts->port != pattern->port)
        return 0;
    if (pattern->has_path && !rules_matches_text(&pattern->path, parts->path, strlen(parts->path)))
        return 0;
    return 1;
}

static int rules_any_matches(const HybLoadRules* rules, const URLParts* parts)
{
    for (size_t i = 0; i < rules->count; i++) {
        if (rules_matches(&rules->patterns[i], parts))
            return 1;
    }
    return 0;
}

int hyb_load_rules_allow(const HybLoadRules* rules, const char* url)
{
    URLParts parts;
    if (!rules || !url || !rules_split(url, &parts))
        return 0;
    int allowed = 0;
    if (rules->default_scheme_opens_hosts) {
        URLParts any_web_scheme = parts;
        any_web_scheme.scheme = DEFAULT_SCHEME;
        any_web_scheme.scheme_length = strlen(DEFAULT_SCHEME);
        any_web_scheme.port = -1;
        allowed = rules_any_matches(rules, &any_web_scheme);
    }
    allowed = allowed || rules_any_matches(rules, &parts);
    free(parts.path);
    return allowed;
}
