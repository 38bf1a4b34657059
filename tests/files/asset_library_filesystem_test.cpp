#include "files/HYBAssetLibraryFilesystem.h"

#include "FilePluginFixture.h"

#include "platform/device/PhotoLibrary.h"
#include "platform/files/FileManager.h"
#include "runtime/HYBBase64.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

using namespace files;
using filestest::FilePluginTest;
using filestest::statusAndCode;
using platform::Bytes;
using runtime::HYBCommandStatus;

namespace {

const Bytes kPicture{'P', 'I', 'C', 'T', 'U', 'R', 'E', '-', 'B', 'Y', 'T', 'E', 'S', '!'};

class AssetLibraryTest : public FilePluginTest {
protected:
    ~AssetLibraryTest() override { platform::PhotoLibrary::setAccessAllowed(true); }

    std::string savePicture() {
        auto url = platform::PhotoLibrary().writeImageData(kPicture, "jpg", platform::Date{1.5});
        EXPECT_TRUE(url);
        return url ? url->absoluteString() : std::string();
    }
    // The "hybfile" form of an asset URL.
    static std::string local(const std::string& assetURL) {
        return "hybfile://localhost/assets-library" + assetURL.substr(std::string("assets-library:/").size());
    }
};

} // namespace

TEST(HYBAssetLibraryFilesystem, EntriesAndPathsOfAssetURLs) {
    HYBAssetLibraryFilesystem fs("assets-library");
    HYBFilesystemURL asset("assets-library://asset/asset.JPG?id=7&ext=JPG");
    auto entry = fs.entryForLocalURI(asset);
    ASSERT_EQ(entry.status(), HYBCommandStatus::Ok);
    EXPECT_EQ(entry.message()["isFile"], platform::Value(true));
    EXPECT_EQ(entry.message()["name"], platform::Value("asset.JPG?id=7&ext=JPG"));
    EXPECT_EQ(entry.message()["fullPath"], platform::Value("/asset/asset.JPG?id=7&ext=JPG"));
    EXPECT_EQ(entry.message()["filesystemName"], platform::Value("assets-library"));
    EXPECT_EQ(entry.message()["nativeURL"], platform::Value("assets-library://asset/asset.JPG?id=7&ext=JPG"));
    EXPECT_EQ(fs.filesystemPathForURL(asset), "/asset.JPG");

    HYBFilesystemURL local("hybfile://localhost/assets-library/asset/asset.JPG?id=7&ext=JPG");
    EXPECT_EQ(local.fullPath(), asset.fullPath());
    EXPECT_EQ(HYBAssetLibraryFilesystem::assetLibraryURLForLocalURL(local)->absoluteString(), "assets-library://asset/asset.JPG?id=7&ext=JPG");
    EXPECT_EQ(fs.filesystemPathForURL(local), "/asset/asset.JPG?id=7&ext=JPG");
}

TEST(HYBAssetLibraryFilesystem, ChangesAreRefused) {
    HYBAssetLibraryFilesystem fs("assets-library");
    HYBFilesystemURL asset("assets-library://asset/asset.JPG?id=7&ext=JPG");
    EXPECT_EQ(statusAndCode(fs.writeToFileAtURL(asset, {'x'}, false)), std::make_pair(6, 6LL));
    EXPECT_EQ(statusAndCode(fs.truncateFileAtURL(asset, 0)), std::make_pair(6, 6LL));
    EXPECT_EQ(statusAndCode(fs.removeFileAtURL(asset)), std::make_pair(6, 9LL));
    EXPECT_EQ(statusAndCode(fs.getParentForURL(asset)), std::make_pair(6, 4LL));
    EXPECT_EQ(fs.setMetadataForURL(asset, {}).status(), HYBCommandStatus::Error);
    EXPECT_TRUE(fs.setMetadataForURL(asset, {}).message().isNull());
    auto getFile = fs.getFileForURL(asset, "x", {});
    EXPECT_EQ(getFile.status(), HYBCommandStatus::MalformedUrl);
    EXPECT_EQ(getFile.message(), platform::Value("getFile not supported for assets-library URLs."));
    EXPECT_EQ(fs.recursiveRemoveFileAtURL(asset).message(), platform::Value("removeRecursively not supported for assets-library URLs."));
    EXPECT_EQ(fs.readEntriesAtURL(asset).message(), platform::Value("readEntries not supported for assets-library URLs."));
    std::optional<runtime::HYBPluginResult> copied;
    fs.copyFileToURL(asset, "x", nullptr, asset, true, [&](runtime::HYBPluginResult r) { copied = r; });
    EXPECT_EQ(statusAndCode(*copied), std::make_pair(6, 9LL));
}

TEST_F(AssetLibraryTest, ResolveAnswersAnEntryEvenForMissingAssets) {
    auto entry = call("resolveLocalFileSystemURI", {"assets-library://asset/asset.JPG?id=missing&ext=JPG"});
    ASSERT_EQ(entry.status(), HYBCommandStatus::Ok);
    EXPECT_EQ(entry.message()["isFile"], platform::Value(true));
    EXPECT_EQ(entry.message()["filesystemName"], platform::Value("assets-library"));
}

TEST_F(AssetLibraryTest, ReadsRangesTypesAndFailures) {
    const std::string asset = savePicture();
    EXPECT_EQ(call("readAsArrayBuffer", {asset, 0, -1}).message()["data"], platform::Value(runtime::hybBase64Encode(kPicture)));
    EXPECT_EQ(call("readAsBinaryString", {asset, 10, 4}).message(), platform::Value("TES!"));
    EXPECT_EQ(call("readAsBinaryString", {local(asset), 2, 5}).message(), platform::Value("CTU"));
    EXPECT_EQ(call("readAsBinaryString", {asset, 2, 1LL << 62}).message(), platform::Value("CTURE-BYTES!"));
    EXPECT_EQ(call("readAsDataURL", {asset, 0, 3}).message(), platform::Value("data:image/jpeg;base64," + runtime::hybBase64Encode(Bytes{'P', 'I', 'C'})));
    EXPECT_EQ(statusAndCode(call("readAsText", {"assets-library://asset/asset.JPG?id=gone&ext=JPG", "UTF-8", 0, -1})),
              std::make_pair(6, 1LL));
    hybtest::LogCapture log;
    platform::PhotoLibrary::setAccessAllowed(false);
    EXPECT_EQ(statusAndCode(call("readAsArrayBuffer", {asset, 0, -1})), std::make_pair(6, 2LL));
    EXPECT_TRUE(log.contains("Error: "));
}

TEST_F(AssetLibraryTest, MetadataDescribesTheRepresentation) {
    const std::string asset = savePicture();
    auto metadata = call("getFileMetadata", {asset});
    ASSERT_EQ(metadata.status(), HYBCommandStatus::Ok);
    EXPECT_EQ(metadata.message().dictionaryOrEmpty().keys(), (std::vector<std::string>{"size", "fullPath", "name", "type", "lastModifiedDate"}));
    EXPECT_EQ(metadata.message()["size"].integerValue(), static_cast<long long>(kPicture.size()));
    EXPECT_EQ(metadata.message()["type"], platform::Value("image/jpeg"));
    EXPECT_EQ(metadata.message()["lastModifiedDate"].doubleValue(), 1500.0);
    EXPECT_EQ(statusAndCode(call("getFileMetadata", {"assets-library://asset/asset.JPG?id=gone&ext=JPG"})), std::make_pair(6, 1LL));
    platform::PhotoLibrary::setAccessAllowed(false);
    auto refused = call("getFileMetadata", {asset});
    EXPECT_EQ(refused.status(), HYBCommandStatus::IOError);
    EXPECT_TRUE(refused.message().isString());
}

TEST_F(AssetLibraryTest, CopyAndMoveOutMakeOrdinaryFilesAndLeaveTheAsset) {
    const std::string asset = savePicture();
    auto copied = call("copyTo", {asset, "hybfile://localhost/persistent/", "pic.jpg"});
    ASSERT_EQ(copied.status(), HYBCommandStatus::Ok);
    EXPECT_EQ(copied.message()["fullPath"], platform::Value("/pic.jpg"));
    EXPECT_EQ(copied.message()["filesystemName"], platform::Value("persistent"));
    EXPECT_EQ(readFile(documents("pic.jpg")), std::string(kPicture.begin(), kPicture.end()));

    auto moved = call("moveTo", {asset, "hybfile://localhost/persistent/"});
    ASSERT_EQ(moved.status(), HYBCommandStatus::Ok);
    EXPECT_EQ(moved.message()["name"], platform::Value("asset.JPG"));
    EXPECT_EQ(call("readAsBinaryString", {asset, 0, 3}).message(), platform::Value("PIC"));

    EXPECT_EQ(statusAndCode(call("copyTo", {"assets-library://asset/asset.JPG?id=gone&ext=JPG", "hybfile://localhost/persistent/", "g.jpg"})),
              std::make_pair(6, 1LL));
    EXPECT_EQ(statusAndCode(call("copyTo", {"hybfile://localhost/persistent/pic.jpg", "assets-library://asset/", "x.jpg"})),
              std::make_pair(6, 9LL));
    EXPECT_EQ(statusAndCode(call("write", {asset, "x", 0})), std::make_pair(6, 6LL));
    EXPECT_EQ(statusAndCode(call("truncate", {asset, 0})), std::make_pair(6, 6LL));
    EXPECT_EQ(statusAndCode(call("remove", {asset})), std::make_pair(6, 9LL));
    auto getFile = call("getFile", {asset, "x"});
    EXPECT_EQ(getFile.status(), HYBCommandStatus::MalformedUrl);
}

TEST_F(AssetLibraryTest, AssetsLoadThroughTheHybfileProtocol) {
    startPlugin();
    const std::string asset = savePicture();
    platform::URLRequest request(local(asset));
    request.setTimeoutInterval(20);
    auto reply = platform::URLConnection::sendSynchronousRequest(request);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->response.statusCode(), 200);
    EXPECT_EQ(reply->response.allHeaderFields().value("Content-Type"), "image/jpeg");
    EXPECT_EQ(reply->data, kPicture);
}
