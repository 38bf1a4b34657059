// Builds an EXIF APP1 segment from image properties ("{TIFF}" and "{Exif}" dictionaries) as hexadecimal
// text (two lower-case digits a byte), and splices such a segment into JPEG bytes.
//
// The segment is big-endian: "ffe1", its length, "Exif\0\0", the TIFF header, IFD0 (with the link to the
// Exif sub-IFD last) and the sub-IFD. Only the keys of the two tag tables are written, in the
// dictionaries' order; a value that its tag's type cannot hold (not a number, negative, too large, not
// finite) leaves its entry out.
//
// Guarantees:
// - createExifAPP1 answers "" when the segment would exceed 65,535 bytes (its length field cannot hold
//   it); the splice then leaves the JPEG unchanged.
// - spliceExifBlockIntoJpeg walks the JPEG segment by segment (marker, big-endian length) up to the
//   start of the scan and never reads past the end. The first APP1 segment is replaced by the block;
//   an EXIF APP1 directly after it is dropped (one picture, one EXIF block), any other segment ends the
//   walk. Bytes that are not a JPEG, a block that is not a whole APP1 segment in hex, a segment whose
//   length runs past the end, or a JPEG without APP1 come back unchanged.
// - Rationals that are not whole numbers are written from their continued fraction (at most nine
//   terms), dropping the last terms while numerator or denominator would not fit 32 bits.
// - Thread: an immutable value; any thread.
#pragma once

#include "platform/core/Value.h"

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace plugins {

class HYBJpegHeaderWriter {
public:
    // [tag as 4 hex digits, TIFF type, count (0: type size times the value's length), suffix].
    struct TagFormat {
        std::string tag;
        int type = 0;
        std::uint32_t count = 0;
        std::string suffix;
    };
    using FormatTable = std::map<std::string, TagFormat, std::less<>>;

    HYBJpegHeaderWriter();

    const FormatTable& IFD0TagFormatDict() const { return m_ifd0; }
    const FormatTable& SubIFDTagFormatDict() const { return m_subIfd; }

    std::string createExifAPP1(const platform::Dictionary& metadata) const;
    static platform::Bytes spliceExifBlockIntoJpeg(std::span<const std::uint8_t> jpeg, std::string_view exifBlock);

    // One IFD block; `currentDataOffset` is carried in and out (the offset after this block's data).
    std::string createExifIFDFromDict(const platform::Dictionary& values, const FormatTable& formats, bool isIFD0,
                                      std::uint64_t& currentDataOffset) const;
    // Tag, type and count of one entry ("" when the value cannot be written); the value text in `data`.
    static std::string createIFDElement(const platform::Value& value, const TagFormat& format, std::string& elementData);
    // The value text of a type; none when the type or the value cannot be written.
    static std::optional<std::string> createIFDElementDataWithFormat(const TagFormat& format, const platform::Value& value);
    static std::string appendExifOffsetTagTo(std::string entries, std::uint64_t offset);

    // `number` in `places` lower-case hex digits (more when it needs them).
    static std::string formattedHexStringFromDecimalNumber(std::uint64_t number, int places);
    // `number` in `places` decimal digits with leading zeroes.
    static std::string formatNumberWithLeadingZeroes(std::int64_t number, int places);

    // Continued fraction terms of `value`: the integer part (toward zero), then recursion on
    // 1 / remainder while the remainder is not 0 and the list holds at most `horizon` terms.
    static void continuedFraction(double value, std::vector<std::int64_t>& fractionList, int horizon);
    // False (and 0 / 1) when the expansion does not fit 64 bits.
    static bool expandContinuedFraction(const std::vector<std::int64_t>& fractionList, std::int64_t& numerator,
                                        std::int64_t& denominator);
    // `value` from its continued fraction, the last terms dropped until both parts fit 32 bits (signed
    // 31 bits in the signed form); false when even the integer part does not fit.
    static bool decimalToRational(double value, std::int64_t& numerator, std::int64_t& denominator);
    static bool decimalToUnsignedRational(double value, std::int64_t& numerator, std::int64_t& denominator);
    // "" when the list does not expand.
    static std::string formatFractionList(const std::vector<std::int64_t>& fractionList);
    // "%08x%08x"; signed: a negative numerator makes the denominator negative (two's complement).
    static std::string formatRationalWithNumerator(std::int64_t numerator, std::int64_t denominator, bool asSigned);
    static void splitDouble(double value, std::int64_t& intComponent, double& floatRemainder);

    static std::string hexStringFromData(std::span<const std::uint8_t> data);
    // The bytes of hex text; none for an odd length or a character that is not a hex digit.
    static std::optional<platform::Bytes> numericFromHexString(std::string_view hex);

    // Bytes of one value of TIFF type 1-12; 0 for other types.
    static int typeSize(int type);

private:
    FormatTable m_ifd0;
    FormatTable m_subIfd;
};

} // namespace plugins
