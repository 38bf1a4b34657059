#include "deploy/UNIRest.h"

#include <atomic>
#include <mutex>

namespace deploy {

namespace {

std::atomic<int> s_timeout{60};

struct DefaultHeaders {
    std::mutex mutex;
    platform::Dictionary headers;
};

DefaultHeaders& defaults() {
    static DefaultHeaders s_defaults;
    return s_defaults;
}

UNIHTTPRequestWithBody simple(UNIHTTPMethod method, const UNIRest::SimpleConfig& block) {
    UNISimpleRequest config = UNIRest::getConfig<UNISimpleRequest>(block);
    return UNIHTTPRequestWithBody::withParameters(method, config.url, config.headers, config.parameters, config.username,
                                                  config.password);
}

UNIHTTPRequestWithBody entity(UNIHTTPMethod method, const UNIRest::BodyConfig& block) {
    UNIBodyRequest config = UNIRest::getConfig<UNIBodyRequest>(block);
    return UNIHTTPRequestWithBody::withBody(method, config.url, config.headers, config.body, config.username,
                                            config.password);
}

} // namespace

void UNIRest::timeout(int seconds) { s_timeout = seconds; }
int UNIRest::timeout() { return s_timeout; }

void UNIRest::defaultHeader(const std::string& name, const std::string& value) {
    std::lock_guard lock(defaults().mutex);
    defaults().headers.set(name, value);
}

platform::Dictionary UNIRest::defaultHeaders() {
    std::lock_guard lock(defaults().mutex);
    return defaults().headers;
}

void UNIRest::clearDefaultHeaders() {
    std::lock_guard lock(defaults().mutex);
    defaults().headers.clear();
}

UNIHTTPRequestWithBody UNIRest::get(const SimpleConfig& config) { return simple(UNIHTTPMethod::GET, config); }
UNIHTTPRequestWithBody UNIRest::post(const SimpleConfig& config) { return simple(UNIHTTPMethod::POST, config); }
UNIHTTPRequestWithBody UNIRest::postEntity(const BodyConfig& config) { return entity(UNIHTTPMethod::POST, config); }
UNIHTTPRequestWithBody UNIRest::put(const SimpleConfig& config) { return simple(UNIHTTPMethod::PUT, config); }
UNIHTTPRequestWithBody UNIRest::putEntity(const BodyConfig& config) { return entity(UNIHTTPMethod::PUT, config); }
UNIHTTPRequestWithBody UNIRest::patch(const SimpleConfig& config) { return simple(UNIHTTPMethod::PATCH, config); }
UNIHTTPRequestWithBody UNIRest::patchEntity(const BodyConfig& config) { return entity(UNIHTTPMethod::PATCH, config); }
UNIHTTPRequestWithBody UNIRest::delete_(const SimpleConfig& config) { return simple(UNIHTTPMethod::DELETE, config); }
UNIHTTPRequestWithBody UNIRest::deleteEntity(const BodyConfig& config) { return entity(UNIHTTPMethod::DELETE, config); }

} // namespace deploy
