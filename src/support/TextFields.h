// Text utilities shared by the configuration readers, the registries and the main
// window: a reusable field splitter, strict field conversions, quote removal, a
// fixed-width text function, a hex dump and an additive checksum.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace telegate {

// Raised by the field conversions when a field is not a number.
class EConvertError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Cuts a text line into at most FSize fields at the separator Fdev. A separator
// inside double quotes does not split; quotes stay in the field; every field is
// trimmed of blanks and control characters. A trailing separator adds no empty
// field; a line that ends inside quotes loses its last field.
class TSplitArray {
  public:
    TSplitArray(int size, char dev);

    void SplitString(std::string_view strInp);
    // Field ind (from 0), or an empty text when ind is outside 0 .. nvar - 1.
    const std::string& GetField(int ind) const;

    std::vector<std::string> List;
    int32_t FSize = 0;
    int32_t nvar = 0;
    char Fdev = ',';

  private:
    std::string empty_;
};

// Integer field: empty gives 0; otherwise the whole field must be a decimal
// int32 with an optional sign, else EConvertError.
int32_t FieldToInt(std::string_view field);

// Real field: empty gives 0.0. sep is the decimal separator; "_" means "." when
// the field holds a "." and "," otherwise. The whole field must be a finite
// number, else EConvertError. Touches no process-wide locale.
double FieldToReal(std::string_view field, char sep);

// The text between the enclosing double quotes when the text is longer than one
// character and starts and ends with one; otherwise the text unchanged.
std::string RemoveQuotes(std::string_view text);

// Pads with blanks to width characters, or cuts a longer text to width characters
// (width <= 3) or to width - 3 characters followed by "...". Counts UTF-8
// characters, not octets.
std::string FixedWidth(std::string_view text, int width);

// prefix + each octet as two upper-case hex digits and a blank.
std::string HexDump(std::string_view prefix, const uint8_t* bytes, size_t count);
// The same, appended to out (no allocation when out has room).
void HexDump(std::string& out, std::string_view prefix, const uint8_t* bytes, size_t count);

// Additive checksum.
class TCrcCheck {
  public:
    // FCRC += value, no wrap (two's complement on int32 overflow).
    void Add(int32_t value);
    // For each octet: FCRC += octet; above 0x0FFFFFFF, 0x0FFFFFFF is subtracted.
    void Add(const void* buf, size_t ABufSize);
    void Clear() { FCRC = 0; }

    int32_t FCRC = 0;
};

// A real number as the program's default formatting writes it: at most 15
// significant digits, "." as the separator, no trailing zeros, exponent form
// ("1E20", "-2.5E-9") from 1E15 up and below 0.00001. The same text in files,
// pages and grids.
void AppendRealGeneral(std::string& out, double value);
std::string FormatRealGeneral(double value);

}  // namespace telegate
