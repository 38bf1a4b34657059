// Two records of the messaging app's registry that archive themselves by key (our keyed archive: a
// binary property list): an application's registry information and one per-user app setting. Nothing in
// the application makes them; they are kept for what reads the registry.
//
// A new record has every text nil, every number 0 and every flag false. Unsigned 32-bit fields coded
// "as 32-bit integers" are stored as their signed 32-bit reading and read back modulo 2^32, so every
// value survives the trip.
#pragma once

#include "platform/formats/KeyedArchiver.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace messenger {

class AppSettingItem : public platform::KeyedArchivable {
public:
    static constexpr const char* kClassName = "AppSettingItem";
    AppSettingItem() = default;
    explicit AppSettingItem(const platform::KeyedUnarchiver& coder);
    // Registers the class with the keyed archive reader (once).
    static void registerArchiveClass();

    std::string archiveClassName() const override { return kClassName; }
    void encodeWithCoder(platform::KeyedArchiver& coder) const override;

    std::optional<std::string> appID;
    std::optional<std::string> openID;
    std::uint32_t flag = 0;
    bool appAddedByUser = false;
};

class AppRegisterInfo : public platform::KeyedArchivable {
public:
    static constexpr const char* kClassName = "AppRegisterInfo";
    AppRegisterInfo() = default;
    explicit AppRegisterInfo(const platform::KeyedUnarchiver& coder);
    static void registerArchiveClass();

    std::string archiveClassName() const override { return kClassName; }
    void encodeWithCoder(platform::KeyedArchiver& coder) const override;
    // "{ name:<appName> appid:<appID>}" ("(null)" for nil).
    std::string description() const;

    bool appAddedByUser = false;
    std::optional<std::string> appID;
    std::optional<std::string> appIdentifier;
    std::optional<std::string> appName;
    std::optional<std::string> appName4ZhTw;
    std::optional<std::string> appName4EnUs;
    std::optional<std::string> appDescription;
    std::optional<std::string> appDescription4EnUs;
    std::optional<std::string> appDescription4ZhTw;
    std::optional<std::string> appInstallUrl;
    bool needUpdateInfo = false;
    bool needUpdateIcon = false;
    bool needUpdateWatermark = false;
    std::uint64_t appInfoVer = 0;
    std::optional<std::string> appIconUrl;
    std::optional<std::string> appWatermarkUrl;
    std::uint32_t lastUpdateInfoTime = 0;
    std::uint32_t lastUpdateWatermarkTime = 0;
    std::uint32_t lastUpdateIconTime = 0;
    std::optional<std::string> appTypeList;
    std::optional<std::string> appDevInfo;
    std::uint32_t appInfoFlag = 0;
    std::uint32_t appUpdateVersion = 0;
    bool appCanShowNew = false;
    bool isNewApp = false;
    std::optional<std::string> appDownloadUrl;
    std::optional<std::string> appDownloadUrlMD5;
    std::uint32_t nextUpdateInfoTime = 0;
    std::uint32_t rankWeight = 0; // not archived
};

} // namespace messenger
