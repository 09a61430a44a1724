// Text forms of values on the controller's command link.
//
// The controller speaks ASCII only: measured and stored values arrive as
// decimal text or as one of three special texts, setting values go out as a
// sign and six digits, OUT selections as four "0"/"1" characters. These are
// the conversions the command functions share. All of them are internal to
// the library and work on caller-owned buffers; none locks, and only the
// reading of a decimal longer than any reply field allocates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quil {

// Bytes formatSigned6 may write, terminating NUL included: a sign and up to
// ten digits when the caller has not limited the value to six digits.
inline constexpr std::size_t kSigned6TextSize = 12;
// Bytes outMaskToText writes: four selection characters and a NUL.
inline constexpr std::size_t kOutMaskTextSize = 5;

// Value status (QuilValueStatus) of a reply value text: 1 for "+FFFFFFF",
// 2 for "-FFFFFFF", 3 for "XXXXXXXX", 0 for anything else. The whole text
// must match, case included; a special text with blanks around it or with a
// tail is ordinary text.
int parseSpecialValue(std::string_view text);

// Whole-text readings of the numbers in the controller's replies. A text is
// a number only when all of it is one: no blanks around it, no tail, no
// exponent, no hexadecimal or "0x" form, no "inf" or "nan". Anything else
// gives false and leaves the output alone, so that a garbled line never
// becomes a value (the command functions then fail with QUIL_ERROR_REPLY).
// None of them depends on the locale the host application has set.
//
// Integer: an optional sign and decimal digits whose value fits 32 bits
// ("-0012" is -12, "2147483648" is refused).
bool readInteger(std::string_view text, std::int32_t* out);
// Decimal: the controller's decimal form, an optional sign and digits with
// at most one decimal point among or after them ("+012.345", "-0.5", "7").
// The value is the C library's correctly rounded reading as a double,
// narrowed to a 32-bit float.
bool readDecimal(std::string_view text, float* out);
// Hexadecimal: 1 to 15 hexadecimal digits, either case, no sign or prefix,
// read as a 64-bit number of which the low 32 bits are kept ("FFFFFFF0" is
// -16).
bool readHex(std::string_view text, std::int32_t* out);

// Status and value of a measured value text: a special text gives its status
// and the value 0.0; otherwise the text must be a decimal (readDecimal),
// which gives status 0. False, both outputs untouched, for any other text.
bool readMeasured(std::string_view text, std::int32_t* status, float* value);

// Setting value as "+%06d" (v >= 0) or "-%06d" with the absolute value. The
// text is 7 characters for values of at most six digits (see digitCount);
// out must hold kSigned6TextSize bytes so that wider values, INT32_MIN
// included, stay inside the buffer.
void formatSigned6(std::int32_t v, char* out);

// Length of the decimal text of |v|: 1 for 0 to 9 and -1 to -9, 7 for
// 1000000. INT32_MIN has no positive counterpart, so its absolute value keeps
// its minus sign and counts 11; every "at most six digits" test refuses it.
int digitCount(std::int32_t v);

// OUT selection text of a mask: character i is "1" when bit i is set (bit 0
// = OUT1), bits above bit 3 are ignored; text gets kOutMaskTextSize bytes.
// Returns the number of "1" characters, 0 to 4.
int outMaskToText(char* text, std::int32_t mask);

// Mask of a four-character OUT selection text; any character other than "1"
// counts as not selected. A text of another length gives QUIL_ERROR_FORMAT
// and leaves mask alone; otherwise QUIL_OK.
std::int32_t outTextToMask(const char* text, std::int32_t* mask);

// Scale factor of a display-unit index (0 to 6). Any other index, which
// includes negative ones passed through as large unsigned values, leaves the
// caller's preset scale untouched. Always QUIL_OK.
std::int32_t unitScale(std::uint32_t index, std::int32_t* scale);

// Integer form of a reply value in display units: scale times the value,
// multiplied as 32-bit floats and truncated toward zero. The float rounding is
// part of the result (0.53 with scale 100 gives 52). A product outside the
// 32-bit range is no setting the controller can hold: false, out untouched.
bool scaledInteger(float value, std::int32_t scale, std::int32_t* out);

// The same product computed exactly from the decimal text ("+0018.47" with
// scale 100 gives 1847), digits beyond the scale's resolution truncated
// toward zero. False, out untouched, for text that is not a sign, digits and
// at most one decimal point, or a product outside the signed 32-bit range.
bool exactScaled(const char* text, std::int32_t scale, std::int32_t* out);

// A value meant as a whole number of units (a decimal times 100, 1000,
// 10000) as that whole number: rounded when it lies within a millionth of
// one, so that the double nearest to "0.29" times 100 gives 29; otherwise
// truncated toward zero ("0.295" times 100 gives 29).
double wholeUnits(double v);

}  // namespace quil
