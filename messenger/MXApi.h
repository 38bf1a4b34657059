// The client of the messaging app: registers the application's app id, tells whether the app is
// installed, turns requests and responses into URLs that open it (short ones entirely in the URL, the
// others as a pasteboard message and a "sendreq/?" or "sendresp/?" URL), and turns URLs it opens into
// the application back into responses or requests for a delegate.
//
// Guarantees:
// - Process-wide state (the app id, the conversation account); main thread only, not guarded.
// - Failures are false or nullopt, never an exception: no app id, a refused request (a field outside its
//   limit), a message that cannot be converted or written, a URL the system will not open.
// - Every text a request puts into a URL is bounded: where the protocol sets no limit (sign-in scope and
//   state, the payment's texts, a temporary session's origin) it is 1,024 characters, and a longer one
//   refuses the request, logged with the field's name; nothing is opened.
// - URLs opened into the application are read as they come: query values stay percent-encoded (except
//   the card list), broken escapes and parts without "=" never fail the call.
#pragma once

#include "messenger/MXObjects.h"

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform {
class ViewController;
}

namespace messenger {

class MXApi {
public:
    // The longest text (UTF-16 units) a request puts into a URL where the protocol sets no limit.
    static constexpr std::size_t kMaxArgumentLength = 1024;

    static bool registerApp(const std::optional<std::string>& appId);
    static bool registerApp(const std::optional<std::string>& appId, const std::string& description);
    static bool isMXAppInstalled();
    static bool isMXAppSupportApi();
    static std::string getMXAppInstallUrl();
    static std::string getApiVersion();
    static bool openMXApp();

    static bool sendReq(const std::shared_ptr<BaseReq>& req);
    static bool sendResp(const std::shared_ptr<BaseResp>& resp);
    static bool sendAuthReq(const std::shared_ptr<SendAuthReq>& req, const std::shared_ptr<platform::ViewController>& viewController,
                            MXApiDelegate* delegate);
    // True when the URL was the client's.
    static bool handleOpenURL(std::string_view url, MXApiDelegate* delegate);

    // "a=1&b=2" -> {a: 1, b: 2}: the key is the text before the first "=", the value the text up to a
    // second "="; later duplicates win; a part without "=" is skipped.
    static std::map<std::string, std::string> parseURLParams(std::string_view query);

    // Write the pasteboard message and build its URL; nothing on failure.
    static std::optional<std::string> packReq(const std::shared_ptr<BaseReq>& req);
    static std::optional<std::string> packResp(const std::shared_ptr<BaseResp>& resp);

    static const std::optional<std::string>& appId();
    static const std::optional<std::string>& conversationAccount();
    // Back to a fresh process: no app id, no conversation account (tests).
    static void resetForTesting();
};

} // namespace messenger
