#include "Report.hpp"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace mnettool {

std::string describeFailure(const std::string& sText, int nCode) {
    std::string sDescription =
        nCode == 0 ? std::string("no system error") : std::string(std::strerror(nCode));
    return sText + " (code " + std::to_string(nCode) + ": " + sDescription + ")";
}

std::string utcTimestamp(std::chrono::system_clock::time_point when) {
    auto sinceEpoch =
        std::chrono::duration_cast<std::chrono::microseconds>(when.time_since_epoch());
    long long nMicros = sinceEpoch.count();
    time_t nSeconds = static_cast<time_t>(nMicros / 1000000);
    long nFraction = static_cast<long>(nMicros % 1000000);
    if (nFraction < 0) {
        nFraction += 1000000;
        --nSeconds;
    }
    struct tm parts;
    ::gmtime_r(&nSeconds, &parts);
    char szText[64];
    std::snprintf(szText, sizeof szText, "%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ",
                  parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                  parts.tm_min, parts.tm_sec, nFraction);
    return szText;
}

std::string notificationLine(long nHandle, long nId, const std::string& sTime, bool bJson,
                             const Sender& sender) {
    std::string sUid = std::to_string(sender.nUid);
    std::string sPid = std::to_string(sender.nPid);
    if (bJson) {
        return "{\"handle\":" + std::to_string(nHandle) + ",\"id\":" + std::to_string(nId) +
               ",\"time\":" + jsonString(sTime) +
               (sender.bKnown ? ",\"uid\":" + sUid + ",\"pid\":" + sPid : "") + "}";
    }
    return "handle=" + std::to_string(nHandle) + " id=" + std::to_string(nId) + " time=" + sTime +
           (sender.bKnown ? " uid=" + sUid + " pid=" + sPid : "");
}

namespace {

void appendHex(const std::string& sBytes, std::size_t nFrom, std::size_t nCount,
               std::string* pOut) {
    static const char kDigits[] = "0123456789abcdef";
    if (!pOut->empty()) {
        *pOut += ' ';
    }
    for (std::size_t i = nFrom; i < nFrom + nCount; ++i) {
        unsigned char c = static_cast<unsigned char>(sBytes[i]);
        *pOut += kDigits[c >> 4];
        *pOut += kDigits[c & 0x0f];
    }
}

// The length of the string value that starts at nAt, or 0 when none starts there.
std::size_t printableStringAt(const std::string& sBytes, std::size_t nAt) {
    std::size_t nLeft = sBytes.size() - nAt;
    if (nLeft < 4) {
        return 0;
    }
    std::size_t nLength = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        nLength = (nLength << 8) | static_cast<unsigned char>(sBytes[nAt + i]);
    }
    if (nLength == 0 || nLength > nLeft - 4) {
        return 0;
    }
    for (std::size_t i = nAt + 4; i < nAt + 4 + nLength; ++i) {
        unsigned char c = static_cast<unsigned char>(sBytes[i]);
        if (c < 0x20 || c > 0x7e) {
            return 0;
        }
    }
    return nLength;
}

}  // namespace

std::string hexGroups(const std::string& sBytes) {
    std::string sOut;
    std::size_t nAt = 0;
    while (nAt < sBytes.size()) {
        std::size_t nWord = std::min<std::size_t>(4, sBytes.size() - nAt);
        appendHex(sBytes, nAt, nWord, &sOut);
        std::size_t nText = printableStringAt(sBytes, nAt);
        nAt += nWord;
        if (nText > 0) {
            appendHex(sBytes, nAt, nText, &sOut);
            nAt += nText;
        }
    }
    return sOut;
}

std::string contentLine(long nHandle, const std::string& sHex, const std::string& sTime,
                        bool bJson) {
    if (bJson) {
        return "{\"handle\":" + std::to_string(nHandle) + ",\"hex\":" + jsonString(sHex) +
               ",\"time\":" + jsonString(sTime) + "}";
    }
    return "handle=" + std::to_string(nHandle) + " time=" + sTime + " hex=" + sHex;
}

std::string jsonString(const std::string& sText) {
    std::string sOut = "\"";
    for (char c : sText) {
        if (c == '"' || c == '\\') {
            sOut += '\\';
            sOut += c;
        } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            char szEscape[8];
            std::snprintf(szEscape, sizeof szEscape, "\\u%04x", static_cast<unsigned char>(c));
            sOut += szEscape;
        } else {
            sOut += c;
        }
    }
    return sOut + "\"";
}

std::string addressLine(const std::string& sAddress, bool bJson) {
    return bJson ? "{\"address\":" + jsonString(sAddress) + "}" : sAddress;
}

double percentile(std::vector<double> values, double dPercent) {
    if (values.empty()) {
        return 0.0;
    }
    std::sort(values.begin(), values.end());
    double dRank = std::ceil(dPercent / 100.0 * static_cast<double>(values.size()));
    std::size_t nIndex = dRank < 1.0 ? 0 : static_cast<std::size_t>(dRank) - 1;
    if (nIndex >= values.size()) {
        nIndex = values.size() - 1;
    }
    return values[nIndex];
}

std::string formatLatency(double dMicroseconds) {
    char szText[32];
    if (dMicroseconds < 0) {
        return "-";
    }
    if (dMicroseconds < 1000.0) {
        std::snprintf(szText, sizeof szText, "%.0f us", dMicroseconds);
    } else {
        std::snprintf(szText, sizeof szText, "%.2f ms", dMicroseconds / 1000.0);
    }
    return szText;
}

namespace {

std::string padRight(const std::string& s, std::size_t nWidth) {
    return s.size() >= nWidth ? s : s + std::string(nWidth - s.size(), ' ');
}

std::string padLeft(const std::string& s, std::size_t nWidth) {
    return s.size() >= nWidth ? s : std::string(nWidth - s.size(), ' ') + s;
}

}  // namespace

std::string formatDemoTable(const std::vector<DemoRow>& rows) {
    const std::vector<std::string> header = {"transport", "address", "sent",
                                             "delivered", "median",  "p99"};
    std::vector<std::vector<std::string>> cells;
    for (const DemoRow& row : rows) {
        bool bTimed = !row.latenciesUs.empty();
        cells.push_back(
            {row.sTransport, row.sAddress.empty() ? std::string("-") : row.sAddress,
             std::to_string(row.nSent), std::to_string(row.nDelivered),
             bTimed ? formatLatency(percentile(row.latenciesUs, 50.0)) : std::string("-"),
             bTimed ? formatLatency(percentile(row.latenciesUs, 99.0)) : std::string("-")});
    }
    std::vector<std::size_t> widths;
    for (std::size_t c = 0; c < header.size(); ++c) {
        std::size_t nWidth = header[c].size();
        for (const auto& line : cells) {
            nWidth = std::max(nWidth, line[c].size());
        }
        widths.push_back(nWidth);
    }
    // Text columns to the left, numbers to the right.
    auto formatLine = [&widths](const std::vector<std::string>& line) {
        std::string sLine;
        for (std::size_t c = 0; c < line.size(); ++c) {
            if (c > 0) {
                sLine += "  ";
            }
            sLine += c < 2 ? padRight(line[c], widths[c]) : padLeft(line[c], widths[c]);
        }
        while (!sLine.empty() && sLine.back() == ' ') {
            sLine.pop_back();
        }
        return sLine + "\n";
    };
    std::string sTable = formatLine(header);
    for (std::size_t r = 0; r < rows.size(); ++r) {
        sTable += formatLine(cells[r]);
        if (!rows[r].sNote.empty()) {
            sTable += "    " + rows[r].sNote + "\n";
        }
    }
    return sTable;
}

}  // namespace mnettool
