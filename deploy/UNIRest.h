// The HTTP client's entry: one operation per verb. Each makes a fresh configuration object, lets the
// caller's block fill it in and returns the request, unsent.
//
// The time-out and the default header fields are process-wide; set them before making requests.
#pragma once

#include "deploy/UNIBodyRequest.h"
#include "deploy/UNIHTTPRequestWithBody.h"
#include "deploy/UNISimpleRequest.h"
#include "platform/core/Value.h"

#include <functional>
#include <string>

namespace deploy {

class UNIRest {
public:
    using SimpleConfig = std::function<void(UNISimpleRequest&)>;
    using BodyConfig = std::function<void(UNIBodyRequest&)>;

    // Seconds after which a request without progress fails; 60 unless set.
    static void timeout(int seconds);
    static int timeout();

    static void defaultHeader(const std::string& name, const std::string& value);
    static platform::Dictionary defaultHeaders();
    static void clearDefaultHeaders();

    // Runs the block on the configuration object (when there is a block) and returns the object.
    template <class Config>
    static Config getConfig(const std::function<void(Config&)>& block) {
        Config config;
        if (block)
            block(config);
        return config;
    }

    static UNIHTTPRequestWithBody get(const SimpleConfig& config);
    static UNIHTTPRequestWithBody post(const SimpleConfig& config);
    static UNIHTTPRequestWithBody postEntity(const BodyConfig& config);
    static UNIHTTPRequestWithBody put(const SimpleConfig& config);
    static UNIHTTPRequestWithBody putEntity(const BodyConfig& config);
    static UNIHTTPRequestWithBody patch(const SimpleConfig& config);
    static UNIHTTPRequestWithBody patchEntity(const BodyConfig& config);
    static UNIHTTPRequestWithBody delete_(const SimpleConfig& config);
    static UNIHTTPRequestWithBody deleteEntity(const BodyConfig& config);
};

} // namespace deploy
