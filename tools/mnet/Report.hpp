// What the mnet tool prints: failure lines, notification lines, latency figures and the demo
// table. Pure formatting, no I/O; any thread may call these.
#ifndef MNET_TOOL_REPORT_HPP
#define MNET_TOOL_REPORT_HPP

#include <chrono>
#include <string>
#include <vector>

namespace mnettool {

// "TEXT (code N: DESCRIPTION)", DESCRIPTION being the system's text for N (strerror); code 0
// reads "(code 0: no system error)".
std::string describeFailure(const std::string& sText, int nCode);

// A wall-clock instant as UTC with microseconds: "2024-05-01T12:34:56.789012Z".
std::string utcTimestamp(std::chrono::system_clock::time_point when);

// Who sent a notification, where the transport names the sender (a pipe).
struct Sender {
    bool bKnown = false;
    unsigned int nUid = 0;
    int nPid = 0;
};

// One received notification, as plain text ("handle=3 id=42 time=... uid=0 pid=7") or as one
// JSON object ({"handle":3,"id":42,"time":"...","uid":0,"pid":7}); uid and pid only when the
// sender is known.
std::string notificationLine(long nHandle, long nId, const std::string& sTime, bool bJson,
                             const Sender& sender = Sender());

// Bytes in lower-case hexadecimal, in groups separated by one space: 4-byte words from the
// start, except that a word that reads as a length n >= 1 followed by n printable ASCII bytes
// (20 to 7E) makes two groups, the length and the text, as a string value is written; a tail
// shorter than 4 bytes is a group of its own. "00000005 68656c6c6f" for the string "hello",
// "0000002a" for the long 42, "" for no bytes.
std::string hexGroups(const std::string& sBytes);

// One received notification with its content as hexGroups (listen --hex), as plain text
// ("handle=3 time=... hex=00000005 68656c6c6f", the hexadecimal last, as it holds spaces) or as
// one JSON object ({"handle":3,"hex":"00000005 68656c6c6f","time":"..."}).
std::string contentLine(long nHandle, const std::string& sHex, const std::string& sTime,
                        bool bJson);

// The sink's callback address as listen prints it first: the address alone, or as one JSON
// object ({"address":"udp:127.0.0.1:5023"}), so that --json output is JSON Lines throughout.
std::string addressLine(const std::string& sAddress, bool bJson);

// sText as a JSON string literal, quotes included: '"' and '\' escaped, control characters
// as \u00XX, other bytes as they are.
std::string jsonString(const std::string& sText);

// The nearest-rank percentile (0 < dPercent <= 100) of values; 0 for no values.
double percentile(std::vector<double> values, double dPercent);

// "37 us" below a millisecond, "1.25 ms" from there on, "-" for a negative value.
std::string formatLatency(double dMicroseconds);

// One transport's results in the demo.
struct DemoRow {
    std::string sTransport;
    std::string sAddress;  // empty when the sink could not start
    int nSent = 0;
    int nDelivered = 0;
    std::vector<double> latenciesUs;  // one per delivered notification
    std::string sNote;  // why the row is incomplete, shown after it; empty when all went well
};

// The table: a header line, then one aligned line per row (and an indented note line after a
// row with a note). Every line ends with a newline.
std::string formatDemoTable(const std::vector<DemoRow>& rows);

}  // namespace mnettool

#endif
