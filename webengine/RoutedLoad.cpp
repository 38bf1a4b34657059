#include "webengine/RoutedLoad.h"

#include <glib.h>

namespace webengine {

namespace {

using Work = std::function<void()>;

// Runs work on the main thread from an idle source of its own (FIFO among these sources).
void deliverOnMain(Work work)
{
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) -> gboolean {
            (*static_cast<Work*>(data))();
            return G_SOURCE_REMOVE;
        },
        new Work(std::move(work)), [](gpointer data) { delete static_cast<Work*>(data); });
}

} // namespace

platform::URLRequest RoutedLoad::platformRequestFor(RoutedRequest& request, const std::string& mainDocumentURL)
{
    platform::URLRequest result(request.url());
    result.setHTTPMethod(request.method());
    for (const auto& [name, value] : request.headers()) {
        // Headers the engine would not send are dropped rather than failing the whole load.
        (void)result.addValue(value, name);
    }
    const std::string& body = request.body();
    if (!body.empty())
        result.setHTTPBody(std::string_view(body));
    result.setMainDocumentURL(platform::URL::fromString(mainDocumentURL));
    return result;
}

std::shared_ptr<RoutedLoad> RoutedLoad::start(const std::shared_ptr<RoutedRequest>& request, const std::string& mainDocumentURL,
                                              std::function<void(RoutedLoad&)> onEnd)
{
    auto load = std::make_shared<RoutedLoad>(request);
    load->m_onEnd = std::move(onEnd);
    load->m_connection = platform::URLConnection::make(platformRequestFor(*request, mainDocumentURL), load, false);
    load->m_connection->setDeliveryTarget(deliverOnMain);
    load->m_connection->start();
    return load;
}

void RoutedLoad::cancel()
{
    m_onEnd = nullptr;
    if (auto connection = std::exchange(m_connection, nullptr))
        connection->cancel();
}

void RoutedLoad::end()
{
    m_connection.reset();
    // Last: the owner may drop this load.
    if (auto onEnd = std::exchange(m_onEnd, nullptr))
        onEnd(*this);
}

void RoutedLoad::didReceiveResponse(platform::URLConnection&, const platform::URLResponse& response)
{
    m_response = response;
}

void RoutedLoad::didReceiveData(platform::URLConnection&, const platform::Bytes& data)
{
    m_body.append(reinterpret_cast<const char*>(data.data()), data.size());
}

void RoutedLoad::didFinishLoading(platform::URLConnection&)
{
    HeaderList headers;
    int status = 200;
    if (m_response.isHTTP()) {
        status = m_response.statusCode();
        for (const auto& field : m_response.allHeaderFields().fields())
            headers.push_back(field);
    } else if (!m_response.mimeType().empty()) {
        std::string type = m_response.mimeType();
        if (!m_response.textEncodingName().empty())
            type += "; charset=" + m_response.textEncodingName();
        headers.emplace_back("Content-Type", type);
    }
    m_request->respond(status, std::move(headers), std::move(m_body));
    end();
}

void RoutedLoad::didFailWithError(platform::URLConnection&, const platform::Error& error)
{
    m_request->fail(error);
    end();
}

} // namespace webengine
