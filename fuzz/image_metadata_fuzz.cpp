// Reads arbitrary bytes as an image source (PNG or JPEG structure and its EXIF) and as a bare TIFF
// structure. A source that opens must give its properties, take new ones through an image destination
// and come back as a source of the same size whose compressed data is unchanged.
#include "platform/device/ImageContainer.h"
#include "platform/device/ImageDestination.h"
#include "platform/device/ImageMetadata.h"
#include "platform/device/ImageSource.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

using namespace platform;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::span<const std::uint8_t> bytes(data, size);
    (void)readExif(bytes);

    Result<ImageSource> source = ImageSource::withData(Bytes(bytes.begin(), bytes.end()));
    if (!source)
        return 0;
    Result<Dictionary> properties = source->properties(0);
    if (!properties || source->pixelWidth() <= 0 || source->pixelHeight() <= 0 ||
        static_cast<std::int64_t>(source->pixelWidth()) * source->pixelHeight() > kMaxImageSourcePixels)
        std::abort();

    // Write what was read back, with a GPS dictionary added, and read it again.
    Dictionary changes{{kImagePropertyGPSDictionary, Dictionary{{"LatitudeRef", "S"}, {"Latitude", 12.5}, {"TimeStamp", "01:02:03.5"}}}};
    Result<ImageDestination> destination = ImageDestination::create(source->type(), 1);
    if (!destination || !destination->addImageFromSource(*source, 0, changes))
        std::abort();
    Result<Bytes> written = destination->finalize();
    if (!written)
        return 0;  // properties that do not fit one segment
    Result<ImageSource> again = ImageSource::withData(*written);
    if (!again || again->pixelWidth() != source->pixelWidth() || again->pixelHeight() != source->pixelHeight())
        std::abort();
    if (source->type() == kTypeJPEG) {
        auto before = parseJpeg(source->data());
        auto after = parseJpeg(*written);
        if (!before || !after || !std::equal(source->data().begin() + static_cast<long>(before->scanOffset), source->data().end(),
                                             written->begin() + static_cast<long>(after->scanOffset), written->end()))
            std::abort();
    }
    const Dictionary readBack = *again->properties(0);
    const Dictionary* gps = readBack[kImagePropertyGPSDictionary].getDictionary();
    if (!gps || (*gps)["LatitudeRef"] != Value("S"))
        std::abort();
    return 0;
}
