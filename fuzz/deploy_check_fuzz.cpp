// The hot-update server's check reply and the version labels the update plug-in keeps. The reply is read
// as the check reads it (a JSON object; "compatible_binary", "update_available", "update"."version"); an
// offered version becomes a folder name only when it is one safe path component. Any text read as a
// version label splits at ':' into parts that join back to it.
#include "deploy/UNIJsonNode.h"
#include "deploy/ZMDeployVersionStore.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace {

// A safe version name, put under a folder, names a direct child of that folder.
void checkVersionName(const std::string& name) {
    if (!deploy::ZMDeployVersionStore::isSafeVersionName(name))
        return;
    static const std::filesystem::path kSupport = "/home/u/Library/Application Support";
    const std::filesystem::path folder = (kSupport / name).lexically_normal();
    if (folder.parent_path() != kSupport || folder.filename() != name || name.find('\0') != std::string::npos)
        std::abort();
}

void checkLabel(const std::string& label) {
    const std::vector<std::string> parts = deploy::ZMDeployVersionStore::deconstructVersionLabel(label);
    std::string joined;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (parts[i].find(':') != std::string::npos)
            std::abort();
        joined += (i ? ":" : "") + parts[i];
    }
    if (parts.empty() || joined != label)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    checkLabel(text);
    checkVersionName(text);

    const deploy::UNIJsonNode node = deploy::UNIJsonNode::parse(platform::Bytes(data, data + size));
    if (node.isArray() == !node.JSONArray() || (node.JSONArray() && node.JSONObject()))
        std::abort();
    if (!node.JSONObject())
        return 0;
    const platform::Dictionary& reply = *node.JSONObject();
    (void)(reply["compatible_binary"] == platform::Value(true));
    (void)(reply["update_available"] == platform::Value(true));
    if (const std::string* offered = reply["update"]["version"].getString()) {
        checkVersionName(*offered);
        checkLabel("1.2.3:1700000000:" + *offered);
    }
    return 0;
}
