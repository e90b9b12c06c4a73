/// \file
/// String types of the support library and the two conversions to and from C text.
///
/// MirelString is a narrow byte string (names, texts, messages); MirelUString is the wide
/// string of exception texts. Both are plain standard strings so that client code can use
/// them as such.
#ifndef MIREL_STRING_HPP
#define MIREL_STRING_HPP

#include <cstddef>
#include <string>
#include <vector>

#include "MsuptExport.hpp"

namespace MirelSupport {

/// A narrow byte string.
typedef std::string MirelString;
/// A wide string (exception texts).
typedef std::wstring MirelUString;
/// A list of narrow strings.
typedef std::vector<MirelString> MirelStringVector;

/// A null pointer gives the empty string.
MSUPT_API MirelString MirelStringFromChar(const char* psz);

/// Copies sString into pBuffer as zero-terminated text of at most nSize bytes (terminator
/// included); longer text is cut. Nothing is written when nSize is 0.
MSUPT_API void MirelStringToChar(const MirelString& sString, char* pBuffer, std::size_t nSize);

/// Byte-exact conversions between the narrow and the wide form: each byte becomes the wide
/// character of the same value (0 to 255) and back; a wide character above 255 narrows to '?'.
MSUPT_API MirelUString MirelStringToUString(const MirelString& sString);
/// See MirelStringToUString.
MSUPT_API MirelString MirelUStringToString(const MirelUString& sString);

}  // namespace MirelSupport

#endif
