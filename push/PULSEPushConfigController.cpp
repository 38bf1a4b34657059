#include "push/PULSEPushConfigController.h"

#include "push/PULSEAlert.h"

#include "platform/core/Log.h"
#include "platform/formats/PropertyList.h"

#include <algorithm>

namespace push {

namespace {

constexpr const char* kErrorTitle = "Pulse ERROR";

void alertError(const std::string& message) {
    PULSEAlert(kErrorTitle, message + kPULSEDeveloperGuideAddress);
}

void noURLError() {
    alertError("配置文件不存在。\n（有关配置文件的说明请参考开发文档“SDK集成步骤”第5条。");
}

void fileError() {
    alertError("配置文件错误。\n（有关配置文件的说明请参考开发文档“SDK集成步骤”第5条。");
}

void missingKeyError() {
    alertError("APP_KEY不能为空。\n（有关APP_KEY的说明请参考开发文档“SDK集成步骤”第5条。");
}

void invalidKeyError(const platform::Value& key) {
    alertError("“" + key.description() + "”不是合法的APP_KEY。\n（有关APP_KEY的说明请参考开发文档“SDK集成步骤”第5条。");
}

bool isASCIIAlphanumeric(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

} // namespace

bool PULSEPushConfigController::isValidAppKey(const platform::Value& key) {
    const auto* text = key.getString();
    return text && std::all_of(text->begin(), text->end(), isASCIIAlphanumeric);
}

std::string PULSEPushConfigController::lowerCase(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; });
    return lower;
}

bool PULSEPushConfigController::acceptKey(const platform::Value& key) {
    m_applicationKey = lowerCase(*key.getString());
    return true;
}

void PULSEPushConfigController::takeChannel(const platform::Value& channel) {
    if (const auto* text = channel.getString(); text && !text->empty())
        m_pushChanel = *text;
    if (m_pushChanel.empty())
        m_pushChanel = kPULSEDefaultChannel;
}

bool PULSEPushConfigController::loadWithUrl(const std::optional<std::string>& path) {
    if (!path) {
        noURLError();
        return false;
    }
    auto read = platform::PropertyList::readFile(*path);
    const platform::Dictionary* config = read.ok() ? read->getDictionary() : nullptr;
    if (!config || config->empty()) {
        fileError();
        return false;
    }
    const platform::Value& key = (*config)[kAppKeyKey];
    const auto* keyText = key.getString();
    if (key.isNull() || (keyText && keyText->empty())) {
        missingKeyError();
        return false;
    }
    if (!isValidAppKey(key)) {
        invalidKeyError(key);
        return false;
    }
    acceptKey(key);
    takeChannel((*config)[kChannelKey]);

    m_configApsEnvironment = 0;
    const platform::Value& production = (*config)[kApsForProductionKey];
    if (const auto* text = production.getString()) {
        if (*text == "1") {
            m_configApsEnvironment = 2;
        } else if (*text == "0") {
            m_configApsEnvironment = 1;
        } else {
            PULSEAlert("Pulse WARNING\n Unkown string value for APS_FOR_PRODUCTION " + *text +
                           ", default set to development aps evironment",
                       *text);
            if (!text->empty())
                m_configApsEnvironment = 1;
        }
    } else if (production.isNumber() || production.isBool()) {
        m_configApsEnvironment = production.boolValue() ? 2 : 1;
    } else {
        platform::Log::writef("Pulse WARNING\n Unkown value for APS_FOR_PRODUCTION %s, default set to development "
                              "aps evironment",
                              production.description().c_str());
    }
    return true;
}

bool PULSEPushConfigController::setAppKey(const std::optional<std::string>& appKey,
                                          const std::optional<std::string>& channel, bool apsProduction) {
    if (!appKey) {
        missingKeyError();
        return false;
    }
    if (!isValidAppKey(platform::Value(*appKey))) {
        invalidKeyError(platform::Value(*appKey));
        return false;
    }
    if (appKey->empty()) {
        missingKeyError();
        return false;
    }
    acceptKey(platform::Value(*appKey));
    takeChannel(channel ? platform::Value(*channel) : platform::Value());
    m_configApsEnvironment = apsProduction ? 2 : 1;
    return true;
}

} // namespace push
