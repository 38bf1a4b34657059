#include "messenger/AppRegisterInfo.h"

#include "platform/text/Format.h"

namespace messenger {

namespace {

platform::ArchiveValue object(const std::optional<std::string>& text) { return text ? platform::ArchiveValue(*text) : platform::ArchiveValue(); }

// "Coded as a 32-bit integer": the signed 32-bit reading of the value.
platform::ArchiveValue int32(std::uint32_t value) { return platform::ArchiveValue(static_cast<long long>(static_cast<std::int32_t>(value))); }
std::uint32_t uint32(const platform::KeyedUnarchiver& coder, std::string_view key) {
    return static_cast<std::uint32_t>(coder.decodeInt64(key));
}

} // namespace

AppSettingItem::AppSettingItem(const platform::KeyedUnarchiver& coder)
    : appID(coder.decodeString("appID")),
      openID(coder.decodeString("openID")),
      flag(uint32(coder, "flag")),
      appAddedByUser(coder.decodeBool("appAddedByUser")) {}

void AppSettingItem::registerArchiveClass() {
    static const bool registered = platform::KeyedArchiver::registerClass<AppSettingItem>(kClassName);
    (void)registered;
}

void AppSettingItem::encodeWithCoder(platform::KeyedArchiver& coder) const {
    coder.encode("appID", object(appID));
    coder.encode("openID", object(openID));
    coder.encode("flag", int32(flag));
    coder.encode("appAddedByUser", appAddedByUser);
}

AppRegisterInfo::AppRegisterInfo(const platform::KeyedUnarchiver& coder)
    : appAddedByUser(coder.decodeBool("added")),
      appID(coder.decodeString("appID")),
      appIdentifier(coder.decodeString("appIdentifier")),
      appName(coder.decodeString("appName")),
      appName4ZhTw(coder.decodeString("appName4ZhTw")),
      appName4EnUs(coder.decodeString("appName4EnUs")),
      appDescription(coder.decodeString("description")),
      appDescription4EnUs(coder.decodeString("description4EnUs")),
      appDescription4ZhTw(coder.decodeString("description4ZhTw")),
      appInstallUrl(coder.decodeString("appurl")),
      needUpdateInfo(coder.decodeBool("needUpdateInfo")),
      needUpdateIcon(coder.decodeBool("needUpdateIcon")),
      needUpdateWatermark(coder.decodeBool("needUpdateWaterMark")),
      appInfoVer(static_cast<std::uint64_t>(coder.decodeInt64("appInfoVer"))),
      appIconUrl(coder.decodeString("appiconurl")),
      appWatermarkUrl(coder.decodeString("appwatermarkurl")),
      lastUpdateInfoTime(uint32(coder, "lastUpdateInfoTime")),
      lastUpdateWatermarkTime(uint32(coder, "lastUpdateWatermarkTime")),
      lastUpdateIconTime(uint32(coder, "lastUpdateIconTime")),
      appTypeList(coder.decodeString("apptypelist")),
      appDevInfo(coder.decodeString("appdevinfo")),
      appInfoFlag(uint32(coder, "appinfoflag")),
      appUpdateVersion(uint32(coder, "appupdateversion")),
      appCanShowNew(coder.decodeBool("appcanshownew")),
      isNewApp(coder.decodeBool("isnewapp")),
      appDownloadUrl(coder.decodeString("appdownloadurl")),
      appDownloadUrlMD5(coder.decodeString("appdownloadurlmd5")),
      nextUpdateInfoTime(uint32(coder, "nextupdateinfotime")) {}

void AppRegisterInfo::registerArchiveClass() {
    static const bool registered = platform::KeyedArchiver::registerClass<AppRegisterInfo>(kClassName);
    (void)registered;
}

void AppRegisterInfo::encodeWithCoder(platform::KeyedArchiver& coder) const {
    coder.encode("added", appAddedByUser);
    coder.encode("appID", object(appID));
    coder.encode("appIdentifier", object(appIdentifier));
    coder.encode("appName", object(appName));
    coder.encode("appName4ZhTw", object(appName4ZhTw));
    coder.encode("appName4EnUs", object(appName4EnUs));
    coder.encode("description", object(appDescription));
    coder.encode("description4EnUs", object(appDescription4EnUs));
    coder.encode("description4ZhTw", object(appDescription4ZhTw));
    coder.encode("appurl", object(appInstallUrl));
    coder.encode("needUpdateInfo", needUpdateInfo);
    coder.encode("needUpdateIcon", needUpdateIcon);
    coder.encode("needUpdateWaterMark", needUpdateWatermark);
    coder.encode("appInfoVer", platform::ArchiveValue(static_cast<long long>(appInfoVer)));
    coder.encode("appiconurl", object(appIconUrl));
    coder.encode("appwatermarkurl", object(appWatermarkUrl));
    coder.encode("lastUpdateInfoTime", lastUpdateInfoTime);
    coder.encode("lastUpdateWatermarkTime", lastUpdateWatermarkTime);
    coder.encode("lastUpdateIconTime", lastUpdateIconTime);
    coder.encode("apptypelist", object(appTypeList));
    coder.encode("appdevinfo", object(appDevInfo));
    coder.encode("appinfoflag", int32(appInfoFlag));
    coder.encode("appupdateversion", int32(appUpdateVersion));
    coder.encode("appcanshownew", appCanShowNew);
    coder.encode("isnewapp", isNewApp);
    coder.encode("appdownloadurl", object(appDownloadUrl));
    coder.encode("appdownloadurlmd5", object(appDownloadUrlMD5));
    coder.encode("nextupdateinfotime", int32(nextUpdateInfoTime));
}

std::string AppRegisterInfo::description() const { return platform::formatString("{ name:%@ appid:%@}", {appName, appID}); }

} // namespace messenger
