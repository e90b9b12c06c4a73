// Typed reads from a buffer connection holding the fuzzer's bytes, checked against a model.
//
// Input: byte 0 holds the number of operations (low 6 bits) and, in bit 7, how the connection
// is made (clear: built from the data; set: empty, then the data written with put, or nothing
// written when there is no data). The next bytes select one operation each; the rest is the
// data. An operation byte's low 3 bits pick receiveInt, receiveShort, receiveLong,
// receiveString, get, peekBytes, receive or disconnect; its bits 3 to 6 a size (0 to 15) for
// the last four, bit 7 receive's bWaitForAll.
//
// Every result, every expected MirelException (text and code) and the read position are
// compared with what the data says; a difference aborts, and so does any other exception.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "MirelBufferConnection.hpp"
#include "ReadModel.hpp"

namespace {

using namespace fuzzmodel;

using MirelNet::MirelBufferConnection;
using MirelSupport::MirelException;
using MirelSupport::MirelSmartPointer;
using MirelSupport::MirelString;

void checkEnd(MirelBufferConnection& connection, const Model& model) {
    require(connection.size() == (model.bWritten ? static_cast<int>(model.data.size()) : -1),
            "size() does not count the bytes written");
    if (model.bWritten && !model.data.empty()) {
        require(std::memcmp(connection.buf(), model.data.data(), model.data.size()) == 0,
                "buf() does not hold the bytes written");
    }
    std::vector<char> rest(model.left() + 1);
    long nError = -1;
    long nCount = connection.receive(rest.data(), static_cast<long>(rest.size()), &nError, true);
    require(nError == 0, "final receive reported an error");
    require(nCount == static_cast<long>(model.bWritten ? model.left() : 0),
            "final receive count is wrong");
    require(model.matches(rest.data(), static_cast<std::size_t>(nCount)),
            "final receive bytes are wrong");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
    fuzzProgramName() = "buffer_reads_fuzzer";
    if (nSize == 0) {
        return 0;
    }
    std::size_t nOps = pData[0] & 0x3F;
    bool bWriteLater = (pData[0] & 0x80) != 0;
    if (nOps > nSize - 1) {
        nOps = nSize - 1;
    }
    const std::uint8_t* pOps = pData + 1;
    Model model;
    model.data.assign(pData + 1 + nOps, pData + nSize);
    model.nPos = 0;

    MirelSmartPointer<MirelBufferConnection> spConnection;
    if (bWriteLater) {
        spConnection = new MirelBufferConnection();
        model.bWritten = !model.data.empty();
        if (model.bWritten) {
            spConnection->put(model.data.data(), static_cast<int>(model.data.size()));
        }
    } else {
        spConnection = new MirelBufferConnection(
            model.data.data(), static_cast<int>(model.data.size()), MirelString("fuzz"));
        model.bWritten = true;
    }
    MirelBufferConnection& connection = *spConnection;

    try {
        runReadOps(connection, model, pOps, nOps);
    } catch (const MirelException& e) {
        std::fprintf(stderr, "unexpected MirelException: %s (%d)\n", e.getText().c_str(),
                     e.getCode());
        std::abort();
    }
    checkEnd(connection, model);
    return 0;
}
