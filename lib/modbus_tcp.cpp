// Modbus/TCP: the function-code bodies behind a six-byte MBAP header, master
// and slave, over entries of the connection table.
#include "modbus_tcp.h"

#include <cerrno>
#include <cstring>

#include "modbus.h"
#include "modbus_engine.h"
#include "net_private.h"

namespace pdu = fieldbus::pdu;

namespace fieldbus::tcp {
namespace {

constexpr int kMinBody = 2;  // unit identifier and function code

int word(const uint8_t *p) {
    return (p[0] << 8) | p[1];
}

}  // namespace

// The header's length and the body's layout agree.
bool consistent(const uint8_t *frame, int got) {
    if (got < kHeader + kMinBody || requestTarget(frame, got) != got) return false;
    const int length = got - kHeader;
    const int implied = pdu::requestBodyLength(frame + kHeader, length);
    return length == word(frame + 4) && (implied < 0 || implied == length);
}

void putHeader(uint8_t *frame, unsigned transaction, int bodyLength) {
    frame[0] = static_cast<uint8_t>(transaction >> 8);
    frame[1] = static_cast<uint8_t>(transaction);
    frame[2] = 0;
    frame[3] = 0;
    frame[4] = static_cast<uint8_t>(bodyLength >> 8);
    frame[5] = static_cast<uint8_t>(bodyLength);
}

bool answerComplete(const uint8_t *frame, int got) {
    return got >= kHeader && got >= kHeader + word(frame + 4);
}

int takeAnswer(const pdu::Plan &plan, unsigned transaction, const uint8_t *request,
               const uint8_t *answer, int got, char *cBuf) {
    // Another protocol's answer under our number is none of ours to read.
    if (got < kHeader || static_cast<unsigned>(word(answer)) != (transaction & 0xFFFF) ||
        word(answer + 2) != 0)
        return pdu::kBadAnswer;
    return pdu::takeAnswer(plan, request + kHeader, answer + kHeader, got - kHeader, cBuf);
}

int requestTarget(const uint8_t *frame, int got) {
    // A header whose length fits no request is refused as soon as it is in.
    if (got >= kHeader) {
        const int length = word(frame + 4);
        if (length < kMinBody || length > pdu::kTcp.maxBody) return -1;
    }
    if (got < kHeader + kMinBody) return kHeader + kMinBody;
    // The header's length decides where a request ends, whatever its body
    // says: a body that disagrees is refused (or answered with its
    // exception), and the stream goes on in step behind it.
    return kHeader + word(frame + 4);
}

int parseRequest(uint8_t cNetID, const uint8_t *frame, int got, char *cBuf, WORD wBufLen,
                 pdu::SlaveRequest *out, int *transID, bool *disagrees) {
    *disagrees = !consistent(frame, got);
    if (*disagrees) return pdu::kSlaveNoRequest;
    const int result =
        pdu::parseRequest(pdu::kTcp, cNetID, frame + kHeader, got - kHeader, cBuf, wBufLen, out);
    if (result >= 0 || result == pdu::kSlaveUnhandled || result == pdu::kSlaveNoRoom)
        *transID = word(frame);
    return result;
}

}  // namespace fieldbus::tcp

namespace {

namespace tcp = fieldbus::tcp;

int tcpSend(int index, const uint8_t *data, int length) {
    return sock_write(index, const_cast<uint8_t *>(data), static_cast<size_t>(length));
}

int tcpReceive(int index, uint8_t *data, int room) {
    const int n = sock_read(index, data, static_cast<size_t>(room));
    if (n > 0) return n;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    if (n == 0 && connectManager[index].protocol != 0) return 0;  // an empty datagram
    return -1;  // end of stream or a failed socket
}

fieldbus::engine::Link tcpLink(int index) {
    fieldbus::engine::Link link;
    link.fd = connectManager[index].fd;
    link.index = index;
    link.send = tcpSend;
    link.receive = tcpReceive;
    return link;
}

// What the master waits for: the answer to this request, and no other.
struct Awaited {
    unsigned transaction;
    uint8_t unit, function;
};

// Master: an answer is whole once its header's length has arrived; until the
// header is in, whatever waits is read at once. A whole answer that carries
// another transaction's number, unit or function (the late answer to a
// request that timed out) is read past, and the wait goes on for ours.
int judgeAnswer(uint8_t *buf, int *got, const void *ctx) {
    const auto &awaited = *static_cast<const Awaited *>(ctx);
    for (;;) {
        if (!tcp::answerComplete(buf, *got))
            return *got < tcp::kHeader ? pdu::kFrameMax - *got
                                       : tcp::kHeader + ((buf[4] << 8) | buf[5]) - *got;
        const int length = tcp::kHeader + ((buf[4] << 8) | buf[5]);
        const bool ours =
            static_cast<unsigned>((buf[0] << 8) | buf[1]) == (awaited.transaction & 0xFFFF) &&
            length >= tcp::kHeader + 2 && buf[6] == awaited.unit &&
            (buf[7] & 0x7F) == awaited.function;
        if (ours) return fieldbus::engine::kComplete;
        std::memmove(buf, buf + length, static_cast<size_t>(*got - length));
        *got -= length;
    }
}

}  // namespace

extern "C" int modbusRequestE(int cPort, char cNetID, char cFunction, WORD wAddr, WORD wCount,
                              char *cBuf, WORD wBufLen, WORD wTimeout, WORD *wT) {
    (void)wT;  // the socket exchange reports no elapsed time: the caller's value stays
    if (!netIsOpen(cPort)) return -1;
    uint8_t request[pdu::kFrameMax];
    uint8_t answer[pdu::kFrameMax];
    pdu::Plan plan;
    const int built =
        pdu::buildRequest(pdu::kTcp, static_cast<uint8_t>(cNetID), static_cast<uint8_t>(cFunction),
                          wAddr, wCount, cBuf, wBufLen, request + tcp::kHeader, &plan);
    if (built != pdu::kOk) return built;
    // Each request on a connection carries the next number, so that a late
    // answer to an earlier one that timed out is told from this one's.
    const unsigned transaction = connectManager[cPort].index++ & 0xFFFF;
    tcp::putHeader(request, transaction, plan.requestLength);
    const Awaited awaited{transaction, static_cast<uint8_t>(cNetID),
                          static_cast<uint8_t>(static_cast<uint8_t>(cFunction) & 0x7F)};

    // What already waits is no answer to this request.
    if (netDiscardPending(cPort) < 0) return -1;

    const fieldbus::engine::Link link = tcpLink(cPort);
    // An answer split over several segments is collected until its header's
    // length is satisfied or the time-out has passed.
    const int got =
        fieldbus::engine::transact(link, request, tcp::kHeader + plan.requestLength, answer,
                                   pdu::kFrameMax, judgeAnswer, &awaited, wTimeout, nullptr);
    if (got == 0) return pdu::kNoAnswer;
    if (got < 0) return -1;
    return tcp::takeAnswer(plan, transaction, request, answer, got, cBuf);
}

extern "C" int modbusReadE(int cPort, char cNetID, int *transID, int *clientID, int *function,
                           char *cBuf, WORD wBufLen, int *dataAddr, int *dataCount, WORD wTimeout) {
    uint8_t frame[pdu::kFrameMax];
    int got = 0;
    int client = 0;
    const int rc = tcp::nextRequest(cPort, wTimeout, frame, &got, &client);
    if (rc < 0) return rc;
    pdu::SlaveRequest r;
    int trans = 0;
    bool disagrees = false;
    const int result = tcp::parseRequest(static_cast<uint8_t>(cNetID), frame, got, cBuf, wBufLen,
                                         &r, &trans, &disagrees);
    // A refused request to us still says who sent it and its function: the
    // caller may answer it with an exception.
    if (result == pdu::kSlaveUnhandled || result == pdu::kSlaveNoRoom) {
        *transID = trans;
        *clientID = client;
        *function = r.function;
    }
    if (result < 0) return result;
    *transID = trans;
    *clientID = client;
    *function = r.function;
    *dataAddr = r.dataAddr;
    *dataCount = r.dataCount;
    return result;
}

extern "C" int modbusReplyE(int cPort, char cNetID, int transID, int clientID, int function,
                            char *cBuf, WORD wBufLen, WORD wAddr, WORD wCount) {
    (void)cPort;
    (void)wCount;
    if (!netIsOpen(clientID)) return -1;
    uint8_t frame[pdu::kFrameMax];
    int length = 0;
    const int built = pdu::buildReply(pdu::kTcp, static_cast<uint8_t>(cNetID), function, cBuf,
                                      wBufLen, wAddr, frame + tcp::kHeader, &length);
    if (built != pdu::kOk) return built;
    tcp::putHeader(frame, static_cast<unsigned>(transID), length);
    // A reply that cannot reach the connection whole is reported, not passed
    // off as sent; one the client does not read yet waits in its queue.
    return netSendWhole(clientID, frame, tcp::kHeader + length);
}
