// Request checks shared by the register-map server and the region gateway.
#include "modbus_map.h"

#include <array>

#include "modbus_pdu.h"

namespace fieldbus::regmap {
namespace {

enum class Layout : uint8_t {
    Read,
    WriteSingle,
    WriteMultiple,
    MaskWrite,
    ReadWrite,  // quantity: of the write; the read's is kReadRegistersMax
    ReportId,
    Identity,
};

constexpr int kReadRegistersMax = 125;

struct Limit {
    uint8_t function;
    Layout layout;
    bool bits;
    int maxQuantity;
};

constexpr std::array<Limit, 12> kLimits{{
    {1, Layout::Read, true, 2000},
    {2, Layout::Read, true, 2000},
    {3, Layout::Read, false, 125},
    {4, Layout::Read, false, 125},
    {5, Layout::WriteSingle, true, 1},
    {6, Layout::WriteSingle, false, 1},
    {15, Layout::WriteMultiple, true, 1968},
    {16, Layout::WriteMultiple, false, 123},
    {pdu::kMaskWrite, Layout::MaskWrite, false, 1},
    {pdu::kReadWriteRegisters, Layout::ReadWrite, false, 121},
    {pdu::kReportServerId, Layout::ReportId, false, 0},
    {pdu::kEncapsulated, Layout::Identity, false, 0},
}};

int word(const uint8_t *p) {
    return (p[0] << 8) | p[1];
}

}  // namespace

int checkRequest(const uint8_t *body, int length, Request *req) {
    if (body == nullptr || length < 2) return kIllegalFunction;
    const Limit *limit = nullptr;
    for (const Limit &l : kLimits)
        if (l.function == body[1]) limit = &l;
    if (limit == nullptr) return kIllegalFunction;
    Request r;
    r.unit = body[0];
    r.function = body[1];
    // The two without an address: nothing to check beyond their layout.
    if (limit->layout == Layout::ReportId) {
        if (length != 2) return kIllegalValue;
        *req = r;
        return 0;
    }
    if (limit->layout == Layout::Identity) {
        if (length < 3) return kIllegalValue;
        if (body[2] != pdu::kDeviceIdentification) return kIllegalFunction;
        if (length != 5 || body[3] < 1 || body[3] > 4) return kIllegalValue;
        r.idCode = body[3];
        r.objectId = body[4];
        *req = r;
        return 0;
    }
    // Every other layout starts with address and quantity (or value).
    if (length < 6) return kIllegalValue;
    r.address = static_cast<uint16_t>(word(body + 2));
    switch (limit->layout) {
        case Layout::Read:
            if (length != 6) return kIllegalValue;
            r.quantity = static_cast<uint16_t>(word(body + 4));
            break;
        case Layout::WriteSingle:
            if (length != 6) return kIllegalValue;
            r.quantity = 1;
            r.data = body + 4;
            r.dataBytes = 2;
            if (limit->bits && word(body + 4) != 0x0000 && word(body + 4) != 0xFF00)
                return kIllegalValue;
            break;
        case Layout::WriteMultiple: {
            if (length < 7) return kIllegalValue;
            r.quantity = static_cast<uint16_t>(word(body + 4));
            const int byteCount = body[6];
            const int expected = limit->bits ? (r.quantity + 7) / 8 : 2 * r.quantity;
            // The byte count must match both the quantity and what was sent.
            if (byteCount != expected || length != 7 + byteCount) return kIllegalValue;
            r.data = body + 7;
            r.dataBytes = byteCount;
            break;
        }
        case Layout::MaskWrite:
            if (length != 8) return kIllegalValue;
            r.quantity = 1;
            r.data = body + 4;
            r.dataBytes = 4;
            break;
        case Layout::ReadWrite: {
            if (length < 11) return kIllegalValue;
            r.readAddress = r.address;
            r.readQuantity = static_cast<uint16_t>(word(body + 4));
            r.address = static_cast<uint16_t>(word(body + 6));
            r.quantity = static_cast<uint16_t>(word(body + 8));
            const int byteCount = body[10];
            if (r.readQuantity < 1 || r.readQuantity > kReadRegistersMax) return kIllegalValue;
            if (byteCount != 2 * r.quantity || length != 11 + byteCount) return kIllegalValue;
            r.data = body + 11;
            r.dataBytes = byteCount;
            break;
        }
        case Layout::ReportId:
        case Layout::Identity:
            break;
    }
    if (r.quantity < 1 || r.quantity > limit->maxQuantity) return kIllegalValue;
    if (static_cast<int>(r.address) + r.quantity > 0x10000) return kIllegalAddress;
    if (static_cast<int>(r.readAddress) + r.readQuantity > 0x10000) return kIllegalAddress;
    *req = r;
    return 0;
}

Request readPart(const Request &req) {
    Request r = req;
    r.function = 3;
    r.address = req.readAddress;
    r.quantity = req.readQuantity;
    r.data = nullptr;
    r.dataBytes = 0;
    r.readAddress = r.readQuantity = 0;
    return r;
}

bool rangeInside(const Request &req, int start, int count) {
    if (start < 0 || count <= 0) return false;
    const long first = req.address;
    const long last = first + req.quantity;  // one past
    return first >= start && last <= static_cast<long>(start) + count;
}

int exceptionBody(uint8_t unit, uint8_t function, uint8_t code, uint8_t *answer) {
    answer[0] = unit;
    answer[1] = static_cast<uint8_t>(function | 0x80);
    answer[2] = code;
    return 3;
}

}  // namespace fieldbus::regmap
