#include "support/SignInService.h"

namespace testsupport {

namespace {

Reply redirect(const std::string& location) { return Reply::text(302, "moved").withHeader("Location", location); }

bool isDecimal(const std::string& text) { return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos; }

} // namespace

SignInService::SignInService() {
    m_server.route(kMobileCheckPath, [this](const RecordedRequest& request) { return mobileCheck(request); });
    m_server.route(kSmsAuthorizePath, [this](const RecordedRequest& request) { return smsAuthorize(request); });
}

std::string SignInService::baseURL() const {
    std::string url = m_server.url("/");
    url.pop_back();
    return url;
}

void SignInService::setCode(std::string code) {
    std::lock_guard lock(m_mutex);
    m_code = std::move(code);
}

std::vector<std::string> SignInService::problems() const {
    std::lock_guard lock(m_mutex);
    return m_problems;
}

std::vector<std::string> SignInService::queries(const std::string& path) const {
    std::vector<std::string> found;
    for (const RecordedRequest& request : m_server.requests())
        if (request.path == path)
            found.push_back(request.query);
    return found;
}

std::map<std::string, std::string> SignInService::split(const std::string& query) {
    std::map<std::string, std::string> items;
    std::size_t start = 0;
    while (start <= query.size()) {
        std::size_t end = query.find('&', start);
        std::string part = query.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::size_t eq = part.find('=');
        if (eq != std::string::npos)
            items[part.substr(0, eq)] = part.substr(eq + 1);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return items;
}

Reply SignInService::refuse(const std::string& problem) {
    std::lock_guard lock(m_mutex);
    m_problems.push_back(problem);
    return Reply::text(400, problem);
}

Reply SignInService::mobileCheck(const RecordedRequest& request) {
    auto items = split(request.query);
    if (items.size() != 2 || items["appid"].empty() || !isDecimal(items["uid"]))
        return refuse("mobile check wants appid and a decimal uid: " + request.query);
    {
        std::lock_guard lock(m_mutex);
        m_uid = items["uid"];
    }
    return redirect(items["appid"] + "://wapoauth?ticket=T" + items["uid"] + "&lang=zh_CN");
}

Reply SignInService::smsAuthorize(const RecordedRequest& request) {
    auto items = split(request.query);
    const std::string& appId = items["appid"];
    std::string uid, code;
    {
        std::lock_guard lock(m_mutex);
        uid = m_uid;
        code = m_code;
    }
    if (appId.empty())
        return refuse("no appid: " + request.query);
    if (items["redirect_uri"] != appId + "%3A%2F%2Foauth")
        return refuse("redirect_uri is not the app's oauth address: " + request.query);
    if (items["response_type"] != "code")
        return refuse("response_type is not code: " + request.query);
    if (!items.count("scope") || !items.count("state"))
        return refuse("scope or state missing: " + request.query);
    if (uid.empty() || items["uid"] != uid)
        return refuse("uid is not the mobile check's: " + request.query);
    if (items["ticket"] != "T" + uid || items["lang"] != "zh_CN")
        return refuse("the mobile check's ticket did not come back: " + request.query);
    return redirect(appId + "://oauth?code=" + code + "&state=" + items["state"]);
}

} // namespace testsupport
