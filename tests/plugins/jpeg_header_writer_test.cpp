#include "platform/device/ImageMetadata.h"
#include "platform/device/ImageSource.h"
#include "platform/ui/Image.h"
#include "plugins/HYBJpegHeaderWriter.h"

#include <gtest/gtest.h>

using namespace platform;
using plugins::HYBJpegHeaderWriter;

namespace {

Bytes smallJpeg() {
    std::vector<std::uint8_t> rgba(16 * 8 * 4, 200);
    return *(*Image::fromRGBA(16, 8, rgba))->jpegData(0.8);
}

// The APP1 hex of the metadata with the segment head ("ffe1", length, "Exif\0\0", TIFF header,
// IFD0 offset: 36 digits) taken off.
std::string tiffBody(const std::string& app1) { return app1.substr(36); }

std::size_t count(std::string_view text, std::string_view part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string_view::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

} // namespace

TEST(JpegHeaderWriter, EntriesFollowTheirTypes) {
    HYBJpegHeaderWriter writer;
    const std::string app1 = writer.createExifAPP1(Dictionary{{"{TIFF}", Dictionary{{"Make", "Maker"}, {"Model", "A"}}}, {"{Exif}", Dictionary{}}});
    ASSERT_TRUE(app1.starts_with("ffe1"));
    EXPECT_EQ(app1.substr(8, 28), "4578696600004d4d002a00000008");
    const std::string ifd0 = tiffBody(app1);
    // Three entries: Make (data area), Model (inline), the Exif link.
    EXPECT_EQ(ifd0.substr(0, 4), "0003");
    const std::size_t dataOffset = 2 * 12 + 26;  // two entries and the link
    EXPECT_EQ(ifd0.substr(4, 24), "010f" "0002" "00000005" + HYBJpegHeaderWriter::formattedHexStringFromDecimalNumber(dataOffset, 8));
    EXPECT_EQ(ifd0.substr(28, 24), "0110" "0002" "00000001" "41000000");
    const std::size_t exifOffset = dataOffset + 5;
    EXPECT_EQ(ifd0.substr(52, 24), "8769" "0004" "00000001" + HYBJpegHeaderWriter::formattedHexStringFromDecimalNumber(exifOffset, 8));
    EXPECT_EQ(ifd0.substr(76, 8), "00000000");
    EXPECT_EQ(ifd0.substr(84, 10), "4d616b6572") << "the five letters in the data area";
    EXPECT_EQ(ifd0.substr(94), "0000" "00000000") << "an empty Exif sub-IFD";
    EXPECT_EQ(app1.substr(4, 4), HYBJpegHeaderWriter::formattedHexStringFromDecimalNumber(app1.size() / 2 - 2, 4));

    const std::string resolution = tiffBody(writer.createExifAPP1(Dictionary{{"{TIFF}", Dictionary{{"XResolution", 72}}}}));
    EXPECT_EQ(resolution.substr(4, 16), "011a" "0005" "00000001");
    EXPECT_TRUE(resolution.find("0000004800000001") != std::string::npos);

    // Types beyond 9 are written in hex: 12 is "000c".
    const HYBJpegHeaderWriter::TagFormat doubleTag{"0001", 12, 1, ""};
    std::string data;
    EXPECT_TRUE(HYBJpegHeaderWriter::createIFDElement(Value(1.5), doubleTag, data).empty()) << "no value text for type 12";
    EXPECT_EQ(HYBJpegHeaderWriter::formattedHexStringFromDecimalNumber(12, 4), "000c");
    EXPECT_EQ(HYBJpegHeaderWriter::formatNumberWithLeadingZeroes(12, 4), "0012");

    // Shorts, longs and fixed-count dates.
    std::string exif = tiffBody(writer.createExifAPP1(
        Dictionary{{"{Exif}", Dictionary{{"Flash", 16}, {"PixelXDimension", 4032}, {"DateTimeOriginal", "2024:01:02 03:04:05"},
                                         {"Unknown", 1}, {"ColorSpace", -1}, {"WhiteBalance", "auto"}}}}));
    EXPECT_EQ(count(exif, "9209000300000001" "00100000"), 1u);
    EXPECT_EQ(count(exif, "a002000400000001" "00000fc0"), 1u);
    EXPECT_EQ(count(exif, "9003000200000014"), 1u);
    EXPECT_EQ(count(exif, "a001"), 0u) << "a negative short is left out";
    EXPECT_EQ(count(exif, "a403"), 0u) << "a text is no short";
}

TEST(JpegHeaderWriter, RationalsComeFromTheirContinuedFraction) {
    std::vector<std::int64_t> terms;
    HYBJpegHeaderWriter::continuedFraction(72, terms, 8);
    EXPECT_EQ(terms, (std::vector<std::int64_t>{72}));
    terms.clear();
    HYBJpegHeaderWriter::continuedFraction(2.25, terms, 8);
    EXPECT_EQ(terms, (std::vector<std::int64_t>{2, 4}));
    terms.clear();
    HYBJpegHeaderWriter::continuedFraction(3.14159265358979, terms, 8);
    EXPECT_EQ(terms.size(), 9u) << "at most horizon + 1 terms";
    std::int64_t numerator = 0, denominator = 0;
    ASSERT_TRUE(HYBJpegHeaderWriter::expandContinuedFraction({2, 4}, numerator, denominator));
    EXPECT_EQ(numerator, 9);
    EXPECT_EQ(denominator, 4);
    // Terms as large as 32 bits allow overflow 64 bits after a few steps: refused, never wrapped.
    EXPECT_FALSE(HYBJpegHeaderWriter::expandContinuedFraction({1, 4'000'000'000, 4'000'000'000, 4'000'000'000}, numerator, denominator));
    ASSERT_TRUE(HYBJpegHeaderWriter::decimalToUnsignedRational(1.0000000002328306, numerator, denominator));
    EXPECT_LE(denominator, 4'294'967'295);
    ASSERT_TRUE(HYBJpegHeaderWriter::decimalToUnsignedRational(1.0 / 3, numerator, denominator));
    EXPECT_EQ(numerator, 1);
    EXPECT_EQ(denominator, 3) << "float noise beyond 32 bits is dropped";
    ASSERT_TRUE(HYBJpegHeaderWriter::decimalToUnsignedRational(72.5, numerator, denominator));
    EXPECT_EQ(HYBJpegHeaderWriter::formatRationalWithNumerator(numerator, denominator, false), "0000009100000002");
    EXPECT_FALSE(HYBJpegHeaderWriter::decimalToUnsignedRational(-1, numerator, denominator));
    EXPECT_FALSE(HYBJpegHeaderWriter::decimalToUnsignedRational(std::nan(""), numerator, denominator));
    EXPECT_FALSE(HYBJpegHeaderWriter::decimalToUnsignedRational(1e12, numerator, denominator));
    EXPECT_EQ(HYBJpegHeaderWriter::formatRationalWithNumerator(-3, 4, true), "00000003fffffffc");
}

TEST(JpegHeaderWriter, TheSpliceReplacesTheFirstApp1AndReadsBack) {
    HYBJpegHeaderWriter writer;
    const Bytes plain = smallJpeg();
    const std::string app1 = writer.createExifAPP1(
        Dictionary{{"{TIFF}", Dictionary{{"Make", "Maker"}, {"Model", "A"}, {"XResolution", 72}, {"DateTime", "2024:01:02 03:04:05"}}},
                   {"{Exif}", Dictionary{{"PixelXDimension", 16}, {"Flash", 1}}}});
    EXPECT_EQ(HYBJpegHeaderWriter::spliceExifBlockIntoJpeg(plain, app1), plain) << "no APP1: unchanged";

    // A JPEG with an APP1 "Exif" segment (written by the platform) gets ours in its place.
    Bytes withExif = plain;
    const Bytes old{0xFF, 0xE1, 0x00, 0x0A, 'E', 'x', 'i', 'f', 0, 0, 'o', 'l'};
    withExif.insert(withExif.begin() + 2, old.begin(), old.end());
    const Bytes spliced = HYBJpegHeaderWriter::spliceExifBlockIntoJpeg(withExif, app1);
    ASSERT_NE(spliced, withExif);
    Result<ImageSource> source = ImageSource::withData(spliced);
    ASSERT_TRUE(source) << source.error().localizedDescription();
    const Dictionary properties = *source->properties();
    const Value& tiff = properties[kImagePropertyTIFFDictionary];
    EXPECT_EQ(tiff["Make"].stringOr(""), "Maker");
    EXPECT_EQ(tiff["Model"].stringOr(""), "A");
    EXPECT_DOUBLE_EQ(tiff["XResolution"].doubleValue(), 72);
    EXPECT_EQ(tiff["DateTime"].stringOr(""), "2024:01:02 03:04:05");
    EXPECT_EQ(properties[kImagePropertyExifDictionary]["PixelXDimension"].integerValue(), 16);
    EXPECT_EQ(properties[kImagePropertyExifDictionary]["Flash"].integerValue(), 1);
    // The compressed data is kept byte for byte.
    EXPECT_TRUE(std::equal(plain.begin() + 2, plain.end(), spliced.end() - static_cast<std::ptrdiff_t>(plain.size() - 2)));

    // A second EXIF block right after goes too; an XMP block after it stays.
    Bytes twice = withExif;
    twice.insert(twice.begin() + 2, old.begin(), old.end());
    EXPECT_EQ(HYBJpegHeaderWriter::spliceExifBlockIntoJpeg(twice, app1), spliced);
    Bytes xmp = withExif;
    const Bytes xmpSegment{0xFF, 0xE1, 0x00, 0x06, 'h', 't', 't', 'p'};
    xmp.insert(xmp.begin() + 2 + static_cast<std::ptrdiff_t>(old.size()), xmpSegment.begin(), xmpSegment.end());
    const Bytes keptXmp = HYBJpegHeaderWriter::spliceExifBlockIntoJpeg(xmp, app1);
    EXPECT_EQ(keptXmp.size(), spliced.size() + xmpSegment.size());
}

TEST(JpegHeaderWriter, TheSpliceWalksSegmentsAndRefusesWhatItCannotHold) {
    const std::string block = "ffe1000a" "457869660000" "4d4d";
    const Bytes expectedBlock = *HYBJpegHeaderWriter::numericFromHexString(block);
    // An APP1 after an APP0 of odd length (odd offset) is found; FF E1 inside the APP0 is not a marker.
    const Bytes jpeg{0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x05, 0xFF, 0xE1, 0x00, 0xFF, 0xE1, 0x00, 0x04, 0xAA, 0xBB, 0xFF, 0xDA, 0x00, 0x02, 0xFF, 0xE1};
    Bytes expected(jpeg.begin(), jpeg.begin() + 9);
    expected.reserve(jpeg.size() + expectedBlock.size());
    expected.insert(expected.end(), expectedBlock.begin(), expectedBlock.end());
    expected.insert(expected.end(), jpeg.begin() + 15, jpeg.end());
    EXPECT_EQ(HYBJpegHeaderWriter::spliceExifBlockIntoJpeg(jpeg, block), expected);

    // A segment running past the end, non-JPEG bytes, bad blocks: unchanged.
    const Bytes cut{0xFF, 0xD8, 0xFF, 0xE1, 0x40, 0x00, 0x01};
    EXPECT_EQ(HYBJpegHeaderWriter::spliceExifBlockIntoJpeg(cut, block), cut);
    const Bytes notJpeg{0x89, 'P', 'N', 'G'};
    EXPECT_EQ(HYBJpegHeaderWriter::spliceExifBlockIntoJpeg(notJpeg, block), notJpeg);
    for (std::string_view bad : {"", "ffe1", "ffe1000b457869660000", "ffe1000a45786966000x4d4d", "ffe0000a4578696600004d4d", "abc"})
        EXPECT_EQ(HYBJpegHeaderWriter::spliceExifBlockIntoJpeg(jpeg, bad), jpeg) << bad;

    // An APP1 that its length field cannot hold is never made.
    HYBJpegHeaderWriter writer;
    EXPECT_EQ(writer.createExifAPP1(Dictionary{{"{TIFF}", Dictionary{{"Software", std::string(70'000, 'x')}}}}), "");
    EXPECT_FALSE(writer.createExifAPP1(Dictionary{{"{TIFF}", Dictionary{{"Software", std::string(60'000, 'x')}}}}).empty());
}
