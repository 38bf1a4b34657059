#include "platform/device/ImageContainer.h"
#include "platform/device/ImageDestination.h"
#include "platform/device/ImageMetadata.h"
#include "platform/device/ImageSource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using namespace platform;

namespace {

Image::Ptr gradient(int width, int height) {
    std::vector<std::uint8_t> rgba(static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = &rgba[(static_cast<std::size_t>(y) * width + x) * 4];
            p[0] = static_cast<std::uint8_t>(x * 255 / width), p[1] = static_cast<std::uint8_t>(y * 255 / height);
            p[2] = static_cast<std::uint8_t>((x ^ y) & 0xFF), p[3] = 255;
        }
    return *Image::fromRGBA(width, height, rgba);
}

Bytes jpegOf(const Image::Ptr& image, double quality = 0.8) { return *image->jpegData(quality); }

ImageSource sourceOf(Bytes data) {
    Result<ImageSource> source = ImageSource::withData(std::move(data));
    EXPECT_TRUE(source) << (source ? "" : source.error().localizedDescription());
    return std::move(*source);
}

Bytes withProperties(const Bytes& file, const Dictionary& properties) {
    ImageSource source = sourceOf(file);
    auto destination = ImageDestination::create(source.type(), 1);
    EXPECT_TRUE(destination);
    EXPECT_TRUE(destination->addImageFromSource(source, 0, properties));
    Result<Bytes> out = destination->finalize();
    EXPECT_TRUE(out) << (out ? "" : out.error().localizedDescription());
    return out ? *out : Bytes{};
}

const Dictionary& group(const Dictionary& properties, const char* key) {
    static const Dictionary kEmpty;
    const Dictionary* found = properties[key].getDictionary();
    return found ? *found : kEmpty;
}

// A minimal little-endian TIFF structure: IFD0 at 8 with the given entries (12 bytes each, already
// little-endian), then `extra` bytes.
Bytes littleEndianTiff(const std::vector<Bytes>& entries, const Bytes& extra = {}) {
    Bytes out{'I', 'I', 42, 0, 8, 0, 0, 0, static_cast<std::uint8_t>(entries.size()), 0};
    for (const Bytes& e : entries)
        out.insert(out.end(), e.begin(), e.end());
    out.insert(out.end(), {0, 0, 0, 0});
    out.insert(out.end(), extra.begin(), extra.end());
    return out;
}

Bytes le(std::uint16_t tag, std::uint16_t type, std::uint32_t count, std::uint32_t value) {
    return Bytes{static_cast<std::uint8_t>(tag), static_cast<std::uint8_t>(tag >> 8), static_cast<std::uint8_t>(type), 0,
                 static_cast<std::uint8_t>(count), static_cast<std::uint8_t>(count >> 8), static_cast<std::uint8_t>(count >> 16),
                 static_cast<std::uint8_t>(count >> 24), static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                 static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

} // namespace

TEST(ImageMetadataTest, SourceReadsBackWhatTheDestinationWrote) {
    Dictionary properties{
        {kImagePropertyOrientation, 6},
        {kImagePropertyTIFFDictionary, Dictionary{{"Make", "Hybrid"}, {"Model", "A"}, {"XResolution", 72}, {"DateTime", "2024:05:06 07:08:09"}}},
        {kImagePropertyExifDictionary, Dictionary{{"ExposureTime", 0.008}, {"FNumber", 2.2}, {"ISOSpeedRatings", Array{100, 200}},
                                                  {"Flash", 16}, {"PixelXDimension", 70000}, {"BrightnessValue", -1.25},
                                                  {"DateTimeOriginal", "2024:05:06 07:08:09"}, {"NotATag", 5}}},
        {kImagePropertyGPSDictionary, Dictionary{{"LatitudeRef", "S"}, {"Latitude", 33.8567844}, {"LongitudeRef", "E"},
                                                 {"Longitude", 151.213108}, {"AltitudeRef", 1}, {"Altitude", 12.5},
                                                 {"TimeStamp", "08:15:30.250000"}, {"DateStamp", "2024:05:06"}}},
    };
    Bytes out = withProperties(jpegOf(gradient(64, 48)), properties);
    ImageSource back = sourceOf(out);
    EXPECT_EQ(back.type(), kTypeJPEG);
    EXPECT_EQ(back.count(), 1u);
    EXPECT_EQ(back.pixelWidth(), 64);
    EXPECT_EQ(back.pixelHeight(), 48);
    EXPECT_EQ(back.orientation(), ImageOrientation::Right);
    Dictionary read = *back.properties(0);
    EXPECT_EQ(read[kImagePropertyOrientation], Value(6));
    EXPECT_EQ(read[kImagePropertyPixelWidth], Value(64));

    const Dictionary& tiff = group(read, kImagePropertyTIFFDictionary);
    EXPECT_EQ(tiff["Make"], Value("Hybrid"));
    EXPECT_EQ(tiff["Model"], Value("A"));
    EXPECT_EQ(tiff["XResolution"], Value(72.0));
    EXPECT_EQ(tiff["DateTime"], Value("2024:05:06 07:08:09"));
    EXPECT_EQ(tiff["Orientation"], Value(6));

    const Dictionary& exif = group(read, kImagePropertyExifDictionary);
    EXPECT_DOUBLE_EQ(*exif["ExposureTime"].getDouble(), 0.008);  // 1/125
    EXPECT_DOUBLE_EQ(*exif["FNumber"].getDouble(), 2.2);
    EXPECT_EQ(exif["ISOSpeedRatings"], Value(Array{100, 200}));  // shorts
    EXPECT_EQ(exif["Flash"], Value(16));
    EXPECT_EQ(exif["PixelXDimension"], Value(70000));  // a long
    EXPECT_DOUBLE_EQ(*exif["BrightnessValue"].getDouble(), -1.25);  // signed rational
    EXPECT_FALSE(exif.contains("NotATag"));

    const Dictionary& gps = group(read, kImagePropertyGPSDictionary);
    EXPECT_EQ(gps["LatitudeRef"], Value("S"));
    EXPECT_NEAR(*gps["Latitude"].getDouble(), 33.8567844, 1e-7);
    EXPECT_EQ(gps["LongitudeRef"], Value("E"));
    EXPECT_NEAR(*gps["Longitude"].getDouble(), 151.213108, 1e-7);
    EXPECT_EQ(gps["AltitudeRef"], Value(1));
    EXPECT_DOUBLE_EQ(*gps["Altitude"].getDouble(), 12.5);
    EXPECT_EQ(gps["TimeStamp"], Value("08:15:30.250000"));
    EXPECT_EQ(gps["DateStamp"], Value("2024:05:06"));
    EXPECT_EQ(gps["GPSVersion"], Value(Array{2, 2, 0, 0}));

    // The decoded image carries the orientation; its pixels are stored as they were.
    Image::Ptr image = *back.image();
    EXPECT_EQ(image->orientation(), ImageOrientation::Right);
    EXPECT_EQ(image->pixelWidth(), 64);
}

TEST(ImageMetadataTest, AddingPropertiesMergesIntoTheSourcesOwnAndSplicesAgain) {
    Bytes first = withProperties(jpegOf(gradient(32, 32)),
                                 Dictionary{{kImagePropertyExifDictionary, Dictionary{{"Flash", 1}, {"FNumber", 1.8}}}});
    Bytes second = withProperties(first, Dictionary{{kImagePropertyExifDictionary, Dictionary{{"Flash", 0}}},
                                                    {kImagePropertyGPSDictionary, Dictionary{{"LatitudeRef", "N"}}}});
    Dictionary read = *sourceOf(second).properties();
    EXPECT_EQ(group(read, kImagePropertyExifDictionary)["Flash"], Value(0));
    EXPECT_DOUBLE_EQ(*group(read, kImagePropertyExifDictionary)["FNumber"].getDouble(), 1.8);
    EXPECT_EQ(group(read, kImagePropertyGPSDictionary)["LatitudeRef"], Value("N"));
    // One EXIF segment, not two.
    auto layout = parseJpeg(second);
    ASSERT_TRUE(layout);
    EXPECT_EQ(std::count(layout->markers.begin(), layout->markers.end(), 0xE1), 1);
}

TEST(ImageMetadataTest, TheSpliceKeepsTheCompressedDataByteForByte) {
    const Bytes original = jpegOf(gradient(120, 90), 0.7);
    const Bytes spliced = withProperties(original, Dictionary{{kImagePropertyGPSDictionary, Dictionary{{"Latitude", 1.5}, {"LatitudeRef", "N"}}}});
    auto before = parseJpeg(original), after = parseJpeg(spliced);
    ASSERT_TRUE(before && after);
    // Everything from the scan on is identical, and so is every segment but the new EXIF one.
    const std::size_t scanBytes = original.size() - before->scanOffset;
    ASSERT_EQ(spliced.size() - after->scanOffset, scanBytes);
    EXPECT_TRUE(std::equal(original.begin() + static_cast<long>(before->scanOffset), original.end(),
                           spliced.begin() + static_cast<long>(after->scanOffset)));
    std::vector<Bytes> kept;
    for (std::size_t i = 0; i < after->segments.size(); ++i)
        if (after->exifSegment != i)
            kept.emplace_back(spliced.begin() + static_cast<long>(after->segments[i].offset),
                              spliced.begin() + static_cast<long>(after->segments[i].offset + after->segments[i].size));
    std::vector<Bytes> old;
    for (const ContainerBlock& s : before->segments)
        old.emplace_back(original.begin() + static_cast<long>(s.offset), original.begin() + static_cast<long>(s.offset + s.size));
    EXPECT_EQ(kept, old);
    // And the pixels decode the same.
    Image::Ptr a = *Image::decode(original), b = *Image::decode(spliced);
    EXPECT_EQ(a->rgbaPixels(), b->rgbaPixels());
}

TEST(ImageMetadataTest, PngCarriesItsPropertiesInAnExifChunk) {
    Bytes png = *gradient(20, 10)->pngData();
    Bytes out = withProperties(png, Dictionary{{kImagePropertyTIFFDictionary, Dictionary{{"Software", "hybrid"}}}});
    ImageSource back = sourceOf(out);
    EXPECT_EQ(back.type(), kTypePNG);
    EXPECT_EQ(group(*back.properties(), kImagePropertyTIFFDictionary)["Software"], Value("hybrid"));
    EXPECT_EQ((*Image::decode(out))->rgbaPixels(), (*Image::decode(png))->rgbaPixels());  // libpng checks the CRC

    // A file with two EXIF chunks comes out with one: the new one.
    auto layout = parsePng(out);
    ASSERT_TRUE(layout && layout->exifChunk);
    const ContainerBlock chunk = layout->chunks[*layout->exifChunk];
    Bytes twice = out;
    twice.insert(twice.begin() + static_cast<long>(chunk.offset), out.begin() + static_cast<long>(chunk.offset),
                 out.begin() + static_cast<long>(chunk.offset + chunk.size));
    Bytes once = withProperties(twice, Dictionary{{kImagePropertyTIFFDictionary, Dictionary{{"Software", "again"}}}});
    EXPECT_EQ(group(*sourceOf(once).properties(), kImagePropertyTIFFDictionary)["Software"], Value("again"));
    auto after = parsePng(once);
    ASSERT_TRUE(after);
    EXPECT_EQ(std::count(after->types.begin(), after->types.end(), 0x65584966u), 1);  // "eXIf"
}

TEST(ImageMetadataTest, OtherTypesAndPixelImagesAreEncodedWithTheirOrientation) {
    ImageSource png = sourceOf(*gradient(16, 8)->pngData());
    auto toJpeg = ImageDestination::create(kTypeJPEG, 1);
    ASSERT_TRUE(toJpeg);
    ASSERT_TRUE(toJpeg->addImageFromSource(png, 0, Dictionary{{kImagePropertyGPSDictionary, Dictionary{{"Altitude", 3}}}}));
    ImageSource jpeg = sourceOf(*toJpeg->finalize());
    EXPECT_EQ(jpeg.type(), kTypeJPEG);
    EXPECT_EQ(jpeg.pixelWidth(), 16);
    EXPECT_DOUBLE_EQ(*group(*jpeg.properties(), kImagePropertyGPSDictionary)["Altitude"].getDouble(), 3);

    auto fromPixels = ImageDestination::create(kTypeJPEG, 1);
    ASSERT_TRUE(fromPixels->addImage(gradient(16, 8)->withOrientation(ImageOrientation::Left)));
    ImageSource turned = sourceOf(*fromPixels->finalize());
    EXPECT_EQ(turned.pixelWidth(), 16);  // stored pixels, not turned
    EXPECT_EQ(turned.orientation(), ImageOrientation::Left);
    EXPECT_EQ((*turned.properties())[kImagePropertyOrientation], Value(8));
}

TEST(ImageMetadataTest, DestinationsRefuseWhatTheyCannotWrite) {
    EXPECT_FALSE(ImageDestination::create("public.tiff", 1));
    EXPECT_FALSE(ImageDestination::create(kTypeJPEG, 2));
    auto destination = ImageDestination::create(kTypeJPEG, 1);
    EXPECT_FALSE(destination->finalize());  // nothing added
    ImageSource source = sourceOf(jpegOf(gradient(8, 8)));
    EXPECT_FALSE(destination->addImageFromSource(source, 1));
    ASSERT_TRUE(destination->addImageFromSource(source, 0));
    EXPECT_FALSE(destination->addImageFromSource(source, 0));  // one image only
    EXPECT_FALSE(source.properties(1));
}

TEST(ImageMetadataTest, PropertiesAboveOneSegmentAreRefusedAndTheFileIsLeftAsItWas) {
    const Bytes original = jpegOf(gradient(8, 8));
    ImageSource source = sourceOf(original);
    auto destination = ImageDestination::create(kTypeJPEG, 1);
    Dictionary big{{kImagePropertyTIFFDictionary,
                    Dictionary{{"ImageDescription", std::string(40000, 'd')}, {"Copyright", std::string(30000, 'c')}}}};
    ASSERT_TRUE(destination->addImageFromSource(source, 0, big));
    Result<Bytes> out = destination->finalize();
    ASSERT_FALSE(out);
    EXPECT_EQ(out.error().domain, kImageMetadataErrorDomain);
    EXPECT_EQ(out.error().code, static_cast<long long>(ImageMetadataErrorCode::TooLarge));
    EXPECT_EQ(source.data(), original);
    // Just under the limit still fits.
    Dictionary fits{{kImagePropertyTIFFDictionary, Dictionary{{"ImageDescription", std::string(65000, 'd')}}}};
    EXPECT_TRUE(ImageSource::withData(withProperties(original, fits)));
}

TEST(ImageMetadataTest, CorruptTruncatedAndOversizedDataIsRefused) {
    const Bytes jpeg = jpegOf(gradient(16, 16));
    EXPECT_FALSE(ImageSource::withData(Bytes{}));
    EXPECT_FALSE(ImageSource::withData(Bytes{'G', 'I', 'F', '8'}));
    for (std::size_t cut : {3ul, 10ul, 40ul, jpeg.size() / 4}) {
        Result<ImageSource> source = ImageSource::withData(Bytes(jpeg.begin(), jpeg.begin() + static_cast<long>(cut)));
        EXPECT_FALSE(source) << cut;
    }
    // The frame header claims 20000 x 20000 pixels: refused from the header.
    Bytes huge = jpeg;
    auto layout = parseJpeg(huge);
    ASSERT_TRUE(layout);
    for (std::size_t i = 0; i < layout->segments.size(); ++i)
        if (layout->markers[i] == 0xC0) {
            std::size_t at = layout->segments[i].offset;
            huge[at + 5] = 0x4E, huge[at + 6] = 0x20, huge[at + 7] = 0x4E, huge[at + 8] = 0x20;
        }
    Result<ImageSource> refused = ImageSource::withData(huge);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code, static_cast<long long>(ImageMetadataErrorCode::TooLarge));

    // A truncated PNG, and one whose chunk length runs past the end.
    Bytes png = *gradient(8, 8)->pngData();
    EXPECT_FALSE(ImageSource::withData(Bytes(png.begin(), png.end() - 20)));
    Bytes longChunk = png;
    longChunk[8] = 0x7F;
    EXPECT_FALSE(ImageSource::withData(longChunk));
    // A source whose scan data is cut keeps its properties but cannot give the image.
    const Bytes larger = jpegOf(gradient(96, 96));
    Bytes cutScan(larger.begin(), larger.end() - 200);
    Result<ImageSource> partial = ImageSource::withData(cutScan);
    ASSERT_TRUE(partial);
    EXPECT_FALSE(partial->image());
}

TEST(ImageMetadataTest, ExifIsReadInEitherByteOrder) {
    // Little-endian: Make (ASCII at offset 26), Orientation 3, and an Exif IFD with ExposureTime.
    Bytes make{'C', 'a', 'm', 0};
    Bytes tiff = littleEndianTiff({le(0x010F, 2, 4, 0), le(0x0112, 3, 1, 3), le(0x8769, 4, 1, 0)});
    // Fix the inline ASCII (4 bytes fit) and point the Exif IFD after the header block.
    std::memcpy(&tiff[8 + 2 + 8], make.data(), 4);
    std::uint32_t exifAt = static_cast<std::uint32_t>(tiff.size());
    std::memcpy(&tiff[8 + 2 + 24 + 8], &exifAt, 4);  // the machine is little-endian like the data
    Bytes exifIFD = {1, 0};
    Bytes exposure = le(0x829A, 5, 1, exifAt + 18);
    exifIFD.insert(exifIFD.end(), exposure.begin(), exposure.end());
    exifIFD.insert(exifIFD.end(), {0, 0, 0, 0, 1, 0, 0, 0, 60, 0, 0, 0});  // 1/60
    tiff.insert(tiff.end(), exifIFD.begin(), exifIFD.end());
    Result<Dictionary> read = readExif(tiff);
    ASSERT_TRUE(read);
    EXPECT_EQ(group(*read, kImagePropertyTIFFDictionary)["Make"], Value("Cam"));
    EXPECT_EQ(group(*read, kImagePropertyTIFFDictionary)["Orientation"], Value(3));
    EXPECT_DOUBLE_EQ(*group(*read, kImagePropertyExifDictionary)["ExposureTime"].getDouble(), 1.0 / 60);

    // The big-endian writer's output reads back through the same reader.
    Bytes written = writeExif(Dictionary{{kImagePropertyTIFFDictionary, Dictionary{{"Make", "Cam"}}}});
    EXPECT_EQ(written[0], 'M');
    EXPECT_EQ(group(*readExif(written), kImagePropertyTIFFDictionary)["Make"], Value("Cam"));
    EXPECT_TRUE(writeExif(Dictionary{}).empty());
}

TEST(ImageMetadataTest, HostileExifIsCutShortNeverReadOutOfBounds) {
    // Offsets outside, a count whose size overflows 32 bits, a type with no size, an IFD pointing at
    // itself and an Exif IFD pointing back at IFD0: each entry is skipped, the rest is read.
    Bytes tiff = littleEndianTiff({
        le(0x010F, 2, 100, 5000),        // Make: outside
        le(0x0110, 5, 0x40000000, 8),    // Model: 2^30 rationals (2^33 bytes)
        le(0x0131, 99, 1, 0),            // unknown type
        le(0x0112, 3, 1, 1),             // Orientation 1: fine
        le(0x8769, 4, 1, 8),             // Exif IFD = IFD0 itself
        le(0x8825, 4, 1, 0xFFFFFFF0u),   // GPS IFD far outside
    });
    Result<Dictionary> read = readExif(tiff);
    ASSERT_TRUE(read);
    const Dictionary& t = group(*read, kImagePropertyTIFFDictionary);
    EXPECT_EQ(t.size(), 1u);
    EXPECT_EQ(t["Orientation"], Value(1));
    EXPECT_FALSE(read->contains(kImagePropertyExifDictionary));

    // An entry count larger than the bytes hold is cut to what is there.
    Bytes many = littleEndianTiff({le(0x0112, 3, 1, 6)});
    many[8] = 0xFF, many[9] = 0xFF;
    ASSERT_TRUE(readExif(many));
    // Not TIFF at all.
    EXPECT_FALSE(readExif(Bytes{'I', 'I', 43, 0, 8, 0, 0, 0}));
    EXPECT_FALSE(readExif(Bytes{'X', 'X', 42, 0, 8, 0, 0, 0}));
    EXPECT_FALSE(readExif(Bytes{'M', 'M'}));
    // IFD0 offset outside: nothing, no error.
    Result<Dictionary> nothing = readExif(Bytes{'M', 'M', 0, 42, 0xFF, 0xFF, 0xFF, 0xFF});
    ASSERT_TRUE(nothing);
    EXPECT_TRUE(nothing->empty());
}

TEST(ImageMetadataTest, OrientationsMapBothWays) {
    for (int o = 0; o < 8; ++o)
        EXPECT_EQ(imageOrientationFromExif(exifOrientation(static_cast<ImageOrientation>(o))), static_cast<ImageOrientation>(o));
    EXPECT_EQ(exifOrientation(ImageOrientation::Right), 6);
    EXPECT_EQ(imageOrientationFromExif(0), ImageOrientation::Up);
    EXPECT_EQ(imageOrientationFromExif(9), ImageOrientation::Up);
}
