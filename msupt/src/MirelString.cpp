#include "MirelString.hpp"

#include <cstring>

namespace MirelSupport {

MirelString MirelStringFromChar(const char* psz) {
    return psz ? MirelString(psz) : MirelString();
}

void MirelStringToChar(const MirelString& sString, char* pBuffer, std::size_t nSize) {
    if (nSize == 0 || pBuffer == 0) {
        return;
    }
    std::size_t nCount = sString.size() < nSize - 1 ? sString.size() : nSize - 1;
    std::memcpy(pBuffer, sString.data(), nCount);
    pBuffer[nCount] = '\0';
}

MirelUString MirelStringToUString(const MirelString& sString) {
    MirelUString sWide;
    sWide.reserve(sString.size());
    for (char c : sString) {
        sWide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    return sWide;
}

MirelString MirelUStringToString(const MirelUString& sString) {
    MirelString sNarrow;
    sNarrow.reserve(sString.size());
    for (wchar_t c : sString) {
        sNarrow.push_back(c >= 0 && c <= 255 ? static_cast<char>(c) : '?');
    }
    return sNarrow;
}

}  // namespace MirelSupport
