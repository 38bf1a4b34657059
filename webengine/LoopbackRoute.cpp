#include "webengine/LoopbackRoute.h"

#include "platform/core/Crypto.h"
#include "platform/net/HTTPSyntax.h"
#include "platform/net/URLConnection.h"
#include "platform/runloop/HandOver.h"
#include "webengine/LoopbackRequestHead.h"
#include "webengine/RouteURL.h"
#include "webengine/RoutedRequestBody.h"
#include "webengine/WebKitEngine.h"

#include <gio/gio.h>
#include <webkit2/webkit2.h>
#include <sys/socket.h>

#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace webengine {

namespace {

// What a request's head may hold, and how many of the engine's connections are served at once (the engine opens
// a few to each host of its own; the rest wait in its queue). The engine writes its head as soon as it connects:
// a connection whose head has not come within kHeadPatience (from its accepting, time enough for the engine on a
// machine at load 30) is closed, and while the table is full a new connection takes the place of the oldest one
// still waiting for its head, so connections that never finish a head cannot keep the engine's loads out.
constexpr std::size_t kMaxConnections = 256;
constexpr guint kHeadPatienceMilliseconds = 3000;
// Marks taken, remembered so that none is taken twice (the oldest forgotten past this many: a mark is spent at
// once, and only the engine ever sees one).
constexpr std::size_t kMaxSpentMarks = 65536;
// The engine's queue (LoopbackRoute.h): how many loads let go unanswered make it suspect, and how its probe goes.
constexpr std::uint64_t kCongestionLetGo = 256;
constexpr unsigned kQuietProbes = 3;
constexpr gint64 kQuietProbeMicroseconds = 250 * 1000;
constexpr guint kProbeEverySeconds = 1;
constexpr gint64 kProbeLostMicroseconds = 10 * 1000 * 1000;
// The body guard's mark on a fetch that omits credentials (webprocess/Messages.h).
constexpr std::string_view kCredentialsHeader = "Hyb-Credentials";

// Random bytes in hexadecimal; empty when the system's random source fails.
std::string randomHex(std::size_t bytes)
{
    std::vector<std::uint8_t> raw(bytes);
    return platform::Crypto::randomBytes(raw) ? platform::Crypto::hexString(raw) : std::string();
}

// Fields that belong to one connection, never passed on either way: the standing ones, and those its
// "Connection" field names (`connection`, its value, comma-separated).
bool isHopByHop(std::string_view name, std::string_view connection = {})
{
    for (const char* hop : {"Connection", "Keep-Alive", "Proxy-Connection", "Proxy-Authenticate", "Proxy-Authorization", "TE", "Trailer",
                            "Transfer-Encoding", "Upgrade"}) {
        if (platform::http::equalsIgnoringCase(name, hop))
            return true;
    }
    while (!connection.empty()) {
        const auto comma = connection.find(',');
        if (platform::http::equalsIgnoringCase(platform::http::trimmed(connection.substr(0, comma)), name))
            return true;
        connection = comma == std::string_view::npos ? std::string_view() : connection.substr(comma + 1);
    }
    return false;
}

// A "Content-Length" value (the values of repeated fields joined with ", "): its length when every value names
// the same one, nullopt when it names none or several.
std::optional<std::uint64_t> contentLengthOf(std::string_view value)
{
    std::optional<std::uint64_t> length;
    while (true) {
        const auto comma = value.find(',');
        const std::string one(platform::http::trimmed(value.substr(0, comma)));
        if (one.empty() || one.size() > 19 || one.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        const std::uint64_t n = g_ascii_strtoull(one.c_str(), nullptr, 10);
        if (length && *length != n)
            return std::nullopt;
        length = n;
        if (comma == std::string_view::npos)
            return length;
        value.remove_prefix(comma + 1);
    }
}

// The application's own askers, as the engine writes their "Origin": its file pages, its file scripts'
// workers, and either of them after a redirect to another origin ("null"; the mark says the load is theirs).
bool isApplicationsAsker(std::string_view origin)
{
    return origin == "file://" || origin == kLocalRouteOrigin || origin == "null";
}

// The escaped form of a URL the engine sent, which the platform's URLs read: what they refuse is escaped.
std::string escapedForPlatform(std::string_view url)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < url.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(url[i]);
        const bool loneEscape = c == '%' && (i + 2 >= url.size() || !g_ascii_isxdigit(url[i + 1]) || !g_ascii_isxdigit(url[i + 2]));
        if (c <= ' ' || c >= 0x7f || std::string_view("\"<>\\^`{|}[]#").find(static_cast<char>(c)) != std::string_view::npos || loneEscape) {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

using Work = std::function<void()>;

void onMain(Work work)
{
    auto* handed = new Work(std::move(work));
    platform::handOverSent(handed);
    g_idle_add_full(G_PRIORITY_DEFAULT, [](gpointer data) -> gboolean {
        platform::handOverReceived(data);
        (*static_cast<Work*>(data))();
        return G_SOURCE_REMOVE;
    }, handed, [](gpointer data) { delete static_cast<Work*>(data); });
}

using Fields = LoopbackFields;

class EndpointLoad;

} // namespace

struct LoopbackRoute::Impl {
    LoopbackRoute* route = nullptr;
    GSocketService* service = nullptr;
    std::map<std::uint64_t, WebKitEngine*> views;
    std::uint64_t nextView = 1;
    std::set<std::string> spent;
    std::deque<std::string> spentOrder;
    std::set<std::shared_ptr<EndpointLoad>> loads;
    std::uint64_t accepted = 0; // connections accepted so far
    // The engine's queue.
    std::string probePath; // "/<random>", of the host "probe.localhost"
    bool congested = false;
    std::uint64_t letGo = 0;
    unsigned quietProbes = 0;
    gint64 probeSent = 0; // when the probe under way went, 0 for none
    guint probeTimer = 0;

    // Takes a mark: the view it names, or 0 when it is no mark of this process's or was taken before.
    std::uint64_t take(std::string_view mark);
    void setCongested(bool congested);
    void probe();
    void probeArrived();
};

namespace {

// One connection of the engine, carrying one load: its request's head is read, the load made, the answer written
// back as it comes; then the connection closes.
class EndpointLoad final : public platform::URLConnectionDelegate, public std::enable_shared_from_this<EndpointLoad> {
public:
    EndpointLoad(LoopbackRoute::Impl& route, GSocketConnection* connection, std::uint64_t accepted)
        : m_route(route)
        , m_accepted(accepted)
        , m_socket(G_SOCKET_CONNECTION(g_object_ref(connection)))
        , m_cancellable(g_cancellable_new())
    {
    }
    ~EndpointLoad() override
    {
        g_object_unref(m_cancellable);
        g_object_unref(m_socket);
    }

    void start()
    {
        // A connection whose head does not come within kHeadPatience holds no slot: it closes.
        auto* weak = new std::weak_ptr<EndpointLoad>(weak_from_this());
        m_headTimer = g_timeout_add_full(G_PRIORITY_DEFAULT, kHeadPatienceMilliseconds, [](gpointer data) -> gboolean {
            if (auto self = static_cast<std::weak_ptr<EndpointLoad>*>(data)->lock()) {
                self->m_headTimer = 0;
                self->close();
            }
            return G_SOURCE_REMOVE;
        }, weak, [](gpointer data) { delete static_cast<std::weak_ptr<EndpointLoad>*>(data); });
        readHead();
    }

    void didReceiveResponse(platform::URLConnection&, const platform::URLResponse& response) override;
    void didReceiveData(platform::URLConnection&, const platform::Bytes& data) override;
    void didSendBodyData(platform::URLConnection&, std::int64_t, std::int64_t total, std::int64_t expected) override
    {
        if (expected >= 0 && total >= expected && m_body)
            m_body->whenReadWhole([weak = weak_from_this()] {
                if (auto self = weak.lock())
                    self->watchClose();
            });
    }
    void didFinishLoading(platform::URLConnection&) override
    {
        if (!m_responded)
            respond(platform::URLResponse(std::nullopt, "application/octet-stream", 0));
        // A body short of the length the answer named is no whole answer.
        if (m_length && !m_bodyless && m_bodyWritten != *m_length) {
            m_connection.reset();
            reset();
            return;
        }
        if (m_chunked)
            write("0\r\n\r\n", 0);
        m_finished = true;
        closeWhenWritten();
    }
    void didFailWithError(platform::URLConnection&, const platform::Error&) override
    {
        // The engine hears a network failure, as from the server itself: its connection is reset, with or without
        // an answer's head, before the body's end (a close would end a body of no length it can check whole).
        m_connection.reset();
        reset();
    }

    // Whether this connection's request head has come (until then it may give its place to a new connection).
    bool headRead() const { return m_headRead; }
    std::uint64_t acceptedAs() const { return m_accepted; }
    void evict() { close(); }

private:
    GInputStream* input() const { return g_io_stream_get_input_stream(G_IO_STREAM(m_socket)); }
    GOutputStream* output() const { return g_io_stream_get_output_stream(G_IO_STREAM(m_socket)); }

    void readHead();
    void tookHeadBytes(gssize n);
    void handle(std::string_view head, std::string rest);
    void refuse(int status, const char* reason);
    void answerPreflight(const Fields& fields);
    void respond(const platform::URLResponse& response);
    std::string locationFor(const std::string& location) const;
    void watchClose();
    void write(std::string bytes, std::size_t release);
    void writeNext();
    void closeWhenWritten();
    void close();
    void reset();

    LoopbackRoute::Impl& m_route;
    std::uint64_t m_accepted;
    GSocketConnection* m_socket;
    GCancellable* m_cancellable;
    LoopbackHeadReader m_head;
    char m_buffer[16 * 1024];
    std::string m_method;
    std::string m_requestURL; // the load's URL as the engine sent it
    std::optional<std::string> m_asker;
    std::shared_ptr<platform::URLConnection> m_connection;
    std::shared_ptr<RoutedRequestBody> m_body;
    // What waits to be written, with what each piece releases of the transport's window once written.
    std::deque<std::pair<std::string, std::size_t>> m_writes;
    std::vector<GOutputVector> m_vectors; // the pieces of the write under way: the first m_inWrite of m_writes
    std::size_t m_inWrite = 0;
    bool m_writing = false;
    bool m_responded = false;
    bool m_chunked = false;
    bool m_bodyless = false;
    bool m_finished = false;
    bool m_closing = false;
    bool m_closed = false;
    bool m_watching = false;
    bool m_headRead = false;
    // The body's length the answer names, and how much of the body went out.
    std::optional<std::uint64_t> m_length;
    std::uint64_t m_bodyWritten = 0;
    guint m_headTimer = 0;
};

void EndpointLoad::readHead()
{
    auto* held = new std::shared_ptr<EndpointLoad>(shared_from_this());
    g_input_stream_read_async(input(), m_buffer, sizeof m_buffer, G_PRIORITY_DEFAULT, m_cancellable,
                              [](GObject* source, GAsyncResult* result, gpointer data) {
                                  std::unique_ptr<std::shared_ptr<EndpointLoad>> self(static_cast<std::shared_ptr<EndpointLoad>*>(data));
                                  const gssize n = g_input_stream_read_finish(G_INPUT_STREAM(source), result, nullptr);
                                  (*self)->tookHeadBytes(n);
                              },
                              held);
}

void EndpointLoad::tookHeadBytes(gssize n)
{
    if (m_closed)
        return;
    if (n <= 0) {
        close();
        return;
    }
    const LoopbackHeadReader::State state = m_head.take(std::string_view(m_buffer, static_cast<std::size_t>(n)));
    if (state == LoopbackHeadReader::State::TooLarge) {
        refuse(431, "Request Header Fields Too Large");
        return;
    }
    if (state == LoopbackHeadReader::State::Incomplete) {
        readHead();
        return;
    }
    if (m_headTimer)
        g_source_remove(std::exchange(m_headTimer, 0));
    m_headRead = true;
    handle(m_head.head(), m_head.takeRest());
}

void EndpointLoad::handle(std::string_view head, std::string rest)
{
    // The request line: "<method> <target> HTTP/1.x", the target in origin form.
    const std::optional<LoopbackRequestLine> line = splitLoopbackRequestLine(head);
    if (!line) {
        refuse(400, "Bad Request");
        return;
    }
    m_method = std::string(line->method);
    // The route's own probe of the engine's queue: timed, and left unanswered (its download fails, making nothing).
    if (!m_route.probePath.empty() && line->target == m_route.probePath) {
        m_route.probeArrived();
        close();
        return;
    }
    const std::optional<LoopbackRequestHead> read = readLoopbackRequestHead(head);
    if (!read) {
        refuse(400, "Bad Request");
        return;
    }
    const std::string_view target = read->target;
    const Fields& fields = read->fields;
    const std::optional<std::string> host = loopbackFieldOf(fields, "Host");
    const std::optional<std::string> origin = host ? originOfLoopbackHost(*host, m_route.route->port()) : std::nullopt;
    if (!origin) {
        refuse(403, "Forbidden");
        return;
    }
    m_asker = loopbackFieldOf(fields, "Origin");
    const std::optional<std::string> mark = loopbackFieldOf(fields, LoopbackRoute::kMarkHeader);
    // A preflight (which the engine sends without the mark) is answered here: the load it asks for is allowed
    // to the application's askers, and nothing goes to the server.
    if (m_method == "OPTIONS" && !mark && loopbackFieldOf(fields, "Access-Control-Request-Method")) {
        answerPreflight(fields);
        return;
    }
    const std::uint64_t view = mark ? m_route.take(*mark) : 0;
    const auto engine = m_route.views.find(view);
    if (engine == m_route.views.end() || engine->second->showsForeignPages()) {
        refuse(403, "Forbidden");
        return;
    }
    // No document loads from the route (the web-process module sends none here): one would be of the route's
    // origin, as every answer of its origin. The engine names a navigation's destination and mode.
    const std::string destination = platform::http::lowercased(loopbackFieldOf(fields, "Sec-Fetch-Dest").value_or(""));
    if (platform::http::equalsIgnoringCase(loopbackFieldOf(fields, "Sec-Fetch-Mode").value_or(""), "navigate") || destination == "document"
        || destination == "iframe" || destination == "frame" || destination == "embed" || destination == "object") {
        refuse(403, "Forbidden");
        return;
    }
    if (loopbackFieldOf(fields, "Transfer-Encoding")) {
        refuse(411, "Length Required");
        return;
    }
    m_requestURL = *origin + std::string(target);
    platform::URLRequest request(escapedForPlatform(m_requestURL));
    request.setURLAsSent(m_requestURL);
    request.setPassesThrough(true);
    request.setHTTPMethod(m_method);
    request.setMainDocumentURL(platform::URL::fromString(engine->second->url()));
    request.setWebViewIdentifier(engine->second->webViewIdentifier());
    // The application's document counts as of every origin, as on the phone: its loads carry the platform's cookies
    // (SameSite ones too) unless it omits them, as the body guard marks.
    const bool credentials = !loopbackFieldOf(fields, kCredentialsHeader);
    const std::string connectionNames = loopbackFieldOf(fields, "Connection").value_or("");
    for (const auto& [name, value] : fields) {
        // (The engine's own cookie jar has nothing for the server.)
        if (platform::http::equalsIgnoringCase(name, "Cookie") || platform::http::equalsIgnoringCase(name, kCredentialsHeader))
            continue;
        if (isHopByHop(name, connectionNames) || platform::http::equalsIgnoringCase(name, "Host")
            || platform::http::equalsIgnoringCase(name, LoopbackRoute::kMarkHeader))
            continue;
        (void)request.addValue(value, name);
    }
    request.setHTTPShouldHandleCookies(credentials);
    request.setCookieSiteContext(platform::HTTPCookieSiteContext::SameSite);
    const std::optional<std::uint64_t> bodyLength = loopbackBodyLength(fields);
    if (!bodyLength) {
        refuse(400, "Bad Request");
        return;
    }
    if (*bodyLength > 0) {
        m_body = RoutedRequestBody::fromConnection(input(), std::move(rest), *bodyLength);
        request.setHTTPBodyStream(m_body);
    } else if (loopbackFieldOf(fields, "Content-Length") && m_method != "GET" && m_method != "HEAD") {
        // An empty body goes out with its "Content-Length: 0", as the engine sends it.
        request.setHTTPBody(std::string_view());
    }
    m_bodyless = m_method == "HEAD";
    m_connection = platform::URLConnection::make(request, shared_from_this(), false);
    m_connection->setDeliveryTarget(onMain);
    m_connection->keepReceivedData();
    m_connection->start();
    if (!m_body)
        watchClose();
}

void EndpointLoad::refuse(int status, const char* reason)
{
    write("HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", 0);
    m_finished = true;
    closeWhenWritten();
}

void EndpointLoad::answerPreflight(const Fields& fields)
{
    if (!m_asker || !isApplicationsAsker(*m_asker)) {
        refuse(403, "Forbidden");
        return;
    }
    std::string head = "HTTP/1.1 204 No Content\r\nAccess-Control-Allow-Origin: " + *m_asker + "\r\nAccess-Control-Allow-Credentials: true\r\n";
    if (auto method = loopbackFieldOf(fields, "Access-Control-Request-Method"))
        head += "Access-Control-Allow-Methods: " + *method + "\r\n";
    if (auto headers = loopbackFieldOf(fields, "Access-Control-Request-Headers"))
        head += "Access-Control-Allow-Headers: " + *headers + "\r\n";
    head += "Content-Length: 0\r\nConnection: close\r\n\r\n";
    write(std::move(head), 0);
    m_finished = true;
    closeWhenWritten();
}

std::string EndpointLoad::locationFor(const std::string& location) const
{
    // A target of the web goes by the route (of its own origin); anything else is the engine's to refuse.
    std::string target = location;
    if (location.find("://") == std::string::npos || location.find("://") > location.find_first_of("/?#")) {
        const std::optional<platform::URL> base = platform::URL::fromString(escapedForPlatform(m_requestURL));
        const std::optional<platform::URL> resolved = base ? platform::URL::fromString(escapedForPlatform(location), *base) : std::nullopt;
        if (!resolved)
            return location;
        target = resolved->absoluteString();
    }
    return loopbackURLFor(target, m_route.route->port()).value_or(location);
}

void EndpointLoad::respond(const platform::URLResponse& response)
{
    m_responded = true;
    const int status = response.isHTTP() ? response.statusCode() : 200;
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + response.statusText() + "\r\n";
    std::string exposed;
    const bool ownAsker = m_asker && isApplicationsAsker(*m_asker);
    m_bodyless = m_bodyless || (status >= 100 && status < 200) || status == 204 || status == 304;
    if (response.isHTTP()) {
        // The framing is this connection's own: the body comes as the platform read it, its transfer coding (the
        // chunks) undone, its content coding kept, and ends with the connection. A length the server named goes on
        // only beside a body it frames (chunks take precedence over it, as they do for the engine); a transfer
        // coding other than the chunks, which the platform leaves on the body, is no answer the engine could read.
        const platform::HTTPHeaderFields& fields = response.allHeaderFields();
        const std::string connectionNames = fields.value("Connection").value_or("");
        const std::optional<std::string> coding = fields.value("Transfer-Encoding");
        const bool coded = coding && !platform::http::equalsIgnoringCase(platform::http::trimmed(*coding), "identity");
        if (coded && !m_bodyless && !platform::http::equalsIgnoringCase(platform::http::trimmed(*coding), "chunked")) {
            reset();
            return;
        }
        for (const auto& [name, value] : fields.fields()) {
            if (isHopByHop(name, connectionNames) || platform::http::equalsIgnoringCase(name, "Set-Cookie")
                || platform::http::equalsIgnoringCase(name, "Set-Cookie2"))
                continue;
            if (ownAsker && (platform::http::equalsIgnoringCase(name, "Access-Control-Allow-Origin")
                             || platform::http::equalsIgnoringCase(name, "Access-Control-Allow-Credentials")
                             || platform::http::equalsIgnoringCase(name, "Access-Control-Expose-Headers")))
                continue;
            if (platform::http::equalsIgnoringCase(name, "Content-Length")) {
                m_length = coded ? std::nullopt : contentLengthOf(value);
                if (m_length)
                    head += "Content-Length: " + std::to_string(*m_length) + "\r\n";
                continue;
            }
            const bool isLocation = status >= 300 && status < 400 && platform::http::equalsIgnoringCase(name, "Location");
            head += name + ": " + (isLocation ? locationFor(value) : value) + "\r\n";
            exposed += (exposed.empty() ? "" : ", ") + name;
        }
    } else {
        std::string type = response.mimeType();
        if (!type.empty()) {
            if (!response.textEncodingName().empty())
                type += "; charset=" + response.textEncodingName();
            head += "Content-Type: " + type + "\r\n";
            exposed = "Content-Type";
        }
        if (response.expectedContentLength() >= 0) {
            m_length = static_cast<std::uint64_t>(response.expectedContentLength());
            head += "Content-Length: " + std::to_string(*m_length) + "\r\n";
        }
    }
    if (ownAsker) {
        head += "Access-Control-Allow-Origin: " + *m_asker + "\r\nAccess-Control-Allow-Credentials: true\r\n";
        if (!exposed.empty())
            head += "Access-Control-Expose-Headers: " + exposed + "\r\n";
    }
    m_chunked = !m_bodyless && !m_length;
    if (m_chunked)
        head += "Transfer-Encoding: chunked\r\n";
    head += "Connection: close\r\n\r\n";
    write(std::move(head), 0);
}

void EndpointLoad::didReceiveResponse(platform::URLConnection&, const platform::URLResponse& response)
{
    if (!m_responded)
        respond(response);
}

void EndpointLoad::didReceiveData(platform::URLConnection&, const platform::Bytes& data)
{
    if (!m_responded)
        respond(platform::URLResponse(std::nullopt, "application/octet-stream", -1));
    if (m_bodyless || data.empty()) {
        if (m_connection)
            m_connection->releaseReceivedData(data.size());
        return;
    }
    // (The platform ends a body at the length its server named: more is no answer of that server's.)
    if (m_length && data.size() > *m_length - m_bodyWritten) {
        reset();
        return;
    }
    m_bodyWritten += data.size();
    std::string piece;
    if (m_chunked) {
        char size[24];
        g_snprintf(size, sizeof size, "%zx\r\n", data.size());
        piece = size;
    }
    piece.append(reinterpret_cast<const char*>(data.data()), data.size());
    if (m_chunked)
        piece += "\r\n";
    write(std::move(piece), data.size());
}

void EndpointLoad::watchClose()
{
    // Once the request is read whole, the engine sends nothing more: a read that ends says it closed its end
    // (the page's time-out or abort, its page gone), and the load stops.
    if (m_watching || m_closed)
        return;
    m_watching = true;
    auto* held = new std::shared_ptr<EndpointLoad>(shared_from_this());
    g_input_stream_read_async(input(), m_buffer, sizeof m_buffer, G_PRIORITY_DEFAULT, m_cancellable,
                              [](GObject* source, GAsyncResult* result, gpointer data) {
                                  std::unique_ptr<std::shared_ptr<EndpointLoad>> self(static_cast<std::shared_ptr<EndpointLoad>*>(data));
                                  (void)g_input_stream_read_finish(G_INPUT_STREAM(source), result, nullptr);
                                  if (!(*self)->m_finished)
                                      (*self)->close();
                              },
                              held);
}

void EndpointLoad::write(std::string bytes, std::size_t release)
{
    if (m_closed)
        return;
    m_writes.emplace_back(std::move(bytes), release);
    writeNext();
}

void EndpointLoad::writeNext()
{
    if (m_writing || m_closed)
        return;
    if (m_writes.empty()) {
        if (m_closing)
            close();
        return;
    }
    // What waits goes in one write (the transport hands a body over in small pieces, which come faster than
    // writes of their own would end).
    m_writing = true;
    m_vectors.clear();
    for (const auto& [piece, release] : m_writes)
        m_vectors.push_back(GOutputVector{piece.data(), piece.size()});
    m_inWrite = m_writes.size();
    auto* held = new std::shared_ptr<EndpointLoad>(shared_from_this());
    g_output_stream_writev_all_async(output(), m_vectors.data(), m_vectors.size(), G_PRIORITY_DEFAULT, m_cancellable,
                                     [](GObject* source, GAsyncResult* result, gpointer data) {
                                         std::unique_ptr<std::shared_ptr<EndpointLoad>> held(static_cast<std::shared_ptr<EndpointLoad>*>(data));
                                         EndpointLoad& self = **held;
                                         const bool written = g_output_stream_writev_all_finish(G_OUTPUT_STREAM(source), result, nullptr, nullptr);
                                         self.m_writing = false;
                                         if (self.m_closed)
                                             return;
                                         if (!written) {
                                             self.close();
                                             return;
                                         }
                                         std::size_t release = 0;
                                         for (; self.m_inWrite > 0; --self.m_inWrite) {
                                             release += self.m_writes.front().second;
                                             self.m_writes.pop_front();
                                         }
                                         if (release && self.m_connection)
                                             self.m_connection->releaseReceivedData(release);
                                         self.writeNext();
                                     },
                                     held);
}

void EndpointLoad::closeWhenWritten()
{
    m_closing = true;
    writeNext();
}

void EndpointLoad::reset()
{
    // Closed without lingering: the engine reads a reset, a network failure, and takes nothing it read as whole.
    if (m_closed)
        return;
    const linger abort{1, 0};
    if (GSocket* socket = g_socket_connection_get_socket(m_socket))
        (void)setsockopt(g_socket_get_fd(socket), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close();
}

void EndpointLoad::close()
{
    if (m_closed)
        return;
    m_closed = true;
    if (m_headTimer)
        g_source_remove(std::exchange(m_headTimer, 0));
    if (auto connection = std::exchange(m_connection, nullptr))
        connection->cancel();
    if (m_body)
        m_body->close();
    g_cancellable_cancel(m_cancellable);
    g_io_stream_close_async(G_IO_STREAM(m_socket), G_PRIORITY_DEFAULT, nullptr, nullptr, nullptr);
    // Last: the route may let this go.
    m_route.loads.erase(shared_from_this());
}

} // namespace

std::uint64_t LoopbackRoute::Impl::take(std::string_view mark)
{
    const std::optional<LoopbackMark> read = readLoopbackMark(mark, route->key());
    if (!read || !spent.insert(read->nonce).second)
        return 0;
    spentOrder.push_back(read->nonce);
    if (spentOrder.size() > kMaxSpentMarks) {
        spent.erase(spentOrder.front());
        spentOrder.pop_front();
    }
    return read->view;
}

void LoopbackRoute::Impl::setCongested(bool now)
{
    if (congested == now)
        return;
    congested = now;
    quietProbes = 0;
    probeSent = 0;
    if (!now) {
        letGo = 0;
        if (probeTimer)
            g_source_remove(std::exchange(probeTimer, 0));
    } else if (!probeTimer) {
        probeTimer = g_timeout_add_seconds(kProbeEverySeconds, [](gpointer data) -> gboolean {
            static_cast<Impl*>(data)->probe();
            return G_SOURCE_CONTINUE;
        }, this);
    }
    for (const auto& [view, engine] : views)
        engine->tellEngineCongested(now);
}

void LoopbackRoute::Impl::probe()
{
    // One probe at a time; one that never came (the engine's network process gone) is given up after a while.
    if (probeSent && g_get_monotonic_time() - probeSent < kProbeLostMicroseconds)
        return;
    probeSent = 0;
    // Through a view of the application's pages, whose loads take the engine's queue.
    for (const auto& [view, engine] : views) {
        if (engine->showsForeignPages())
            continue;
        const std::string url = "http://probe.localhost:" + std::to_string(route->port()) + probePath;
        if (WebKitDownload* download = webkit_web_view_download_uri(WEBKIT_WEB_VIEW(engine->widget()), url.c_str()))
            g_object_unref(download);
        probeSent = g_get_monotonic_time();
        return;
    }
}

void LoopbackRoute::Impl::probeArrived()
{
    if (!congested || !probeSent)
        return;
    const gint64 took = g_get_monotonic_time() - probeSent;
    probeSent = 0;
    quietProbes = took <= kQuietProbeMicroseconds ? quietProbes + 1 : 0;
    if (quietProbes >= kQuietProbes)
        setCongested(false);
}

void LoopbackRoute::loadLetGoUnanswered(std::uint64_t count)
{
    m_impl->letGo += count;
    if (m_impl->letGo >= kCongestionLetGo && !m_impl->congested && m_port)
        m_impl->setCongested(true);
}

bool LoopbackRoute::engineCongested() const
{
    return m_impl->congested;
}

bool LoopbackRoute::isProbe(const std::string& url) const
{
    return m_port && url == "http://probe.localhost:" + std::to_string(m_port) + m_impl->probePath;
}

LoopbackRoute& LoopbackRoute::shared()
{
    static auto* route = new LoopbackRoute();
    return *route;
}

LoopbackRoute::LoopbackRoute()
    : m_impl(new Impl)
    , m_key(randomHex(32))
{
    m_impl->route = this;
    m_impl->probePath = "/" + randomHex(16);
    if (m_key.empty() || m_impl->probePath.size() == 1)
        return;
    // Both loopback addresses on one port (the engine may try either for "*.localhost").
    for (int attempt = 0; attempt < 8 && !m_port; ++attempt) {
        GSocketService* service = g_socket_service_new();
        // Connections the engine opens at once wait to be accepted rather than being turned back (a turned-back
        // connection tries again a second later).
        g_socket_listener_set_backlog(G_SOCKET_LISTENER(service), static_cast<int>(kMaxConnections));
        GInetAddress* v4 = g_inet_address_new_loopback(G_SOCKET_FAMILY_IPV4);
        GSocketAddress* address = g_inet_socket_address_new(v4, 0);
        GSocketAddress* effective = nullptr;
        const bool listening = g_socket_listener_add_address(G_SOCKET_LISTENER(service), address, G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_TCP,
                                                             nullptr, &effective, nullptr);
        g_object_unref(address);
        g_object_unref(v4);
        const std::uint16_t port = listening && effective ? g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(effective)) : 0;
        if (effective)
            g_object_unref(effective);
        bool both = port != 0;
        if (both) {
            GInetAddress* v6 = g_inet_address_new_loopback(G_SOCKET_FAMILY_IPV6);
            GSocketAddress* address6 = g_inet_socket_address_new(v6, port);
            GError* error = nullptr;
            both = g_socket_listener_add_address(G_SOCKET_LISTENER(service), address6, G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_TCP, nullptr,
                                                 nullptr, &error);
            // A machine without IPv6 gets the IPv4 address alone.
            if (!both && error && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_NOT_SUPPORTED))
                both = true;
            g_clear_error(&error);
            g_object_unref(address6);
            g_object_unref(v6);
        }
        if (!both) {
            g_socket_service_stop(service);
            g_object_unref(service);
            continue;
        }
        m_port = port;
        m_impl->service = service;
        g_signal_connect(service, "incoming", G_CALLBACK(+[](GSocketService*, GSocketConnection* connection, GObject*, gpointer data) -> gboolean {
            auto* impl = static_cast<Impl*>(data);
            if (impl->loads.size() >= kMaxConnections) {
                // The oldest connection still waiting for its head gives its place; with none, this one is closed at
                // once (the engine's load fails).
                std::shared_ptr<EndpointLoad> oldest;
                for (const auto& load : impl->loads) {
                    if (!load->headRead() && (!oldest || load->acceptedAs() < oldest->acceptedAs()))
                        oldest = load;
                }
                if (!oldest)
                    return FALSE;
                oldest->evict();
            }
            auto load = std::make_shared<EndpointLoad>(*impl, connection, impl->accepted++);
            impl->loads.insert(load);
            load->start();
            return TRUE;
        }), m_impl);
        g_socket_service_start(service);
    }
}

std::uint64_t LoopbackRoute::attach(WebKitEngine* engine)
{
    const std::uint64_t view = m_impl->nextView++;
    m_impl->views[view] = engine;
    return view;
}

void LoopbackRoute::detach(std::uint64_t view)
{
    m_impl->views.erase(view);
    if (m_impl->views.empty())
        m_impl->setCongested(false);
}

std::string LoopbackRoute::markFor(std::uint64_t view, const std::string& nonce) const
{
    return writeLoopbackMark(view, nonce, m_key);
}

} // namespace webengine
