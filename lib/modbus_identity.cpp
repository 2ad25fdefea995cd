// What a slave tells about itself (functions 0x11 and 0x2B): the process's
// identity, set once and then only read, by any thread, without a lock.
#include <cstring>

#include "modbus.h"
#include "modbus_map.h"
#include "modbus_pdu.h"

#ifndef FIELDBUS_VERSION_TEXT
#define FIELDBUS_VERSION_TEXT "0"
#endif

namespace fieldbus::regmap {
namespace {

constexpr int kTexts = 3;  // vendor, product code, revision: the basic objects 0, 1, 2
constexpr const char *kDefaults[kTexts] = {"fieldbus", "libfieldbus", FIELDBUS_VERSION_TEXT};

// Unset, being set by one caller, set for good. Moved on with atomic
// operations only: a reader sees either the defaults or the whole identity.
enum : int { kUnset, kSetting, kSet };
int state = kUnset;
char texts[kTexts][kIdentityTextMax + 1];

constexpr uint8_t kConformityBasic = 0x81;  // basic objects, stream and individual access
constexpr uint8_t kIndividualAccess = 4;
constexpr uint8_t kRunning = 0xFF;

size_t textLength(const char *text) {
    return text == nullptr ? 0 : strnlen(text, kIdentityTextMax);
}

}  // namespace

Identity processIdentity() {
    if (__atomic_load_n(&state, __ATOMIC_ACQUIRE) != kSet)
        return {kDefaults[0], kDefaults[1], kDefaults[2]};
    return {texts[0], texts[1], texts[2]};
}

int identityBody(const Request &req, const Identity &id, uint8_t *answer, int *length) {
    answer[0] = req.unit;
    answer[1] = req.function;
    if (req.function == pdu::kReportServerId) {
        const size_t n = textLength(id.product);
        answer[2] = static_cast<uint8_t>(2 + n);
        answer[3] = req.unit;
        answer[4] = kRunning;
        std::memcpy(answer + 5, id.product, n);
        *length = 5 + static_cast<int>(n);
        return 0;
    }
    const char *objects[kTexts] = {id.vendor, id.product, id.revision};
    int first = req.objectId;
    int last = kTexts - 1;
    if (req.idCode == kIndividualAccess) {
        if (first >= kTexts) return kIllegalAddress;
        last = first;
    } else if (first >= kTexts) {
        first = 0;  // an object this device does not have: from the start
    }
    answer[2] = pdu::kDeviceIdentification;
    answer[3] = req.idCode;
    answer[4] = kConformityBasic;
    answer[5] = 0x00;  // more follows
    answer[6] = 0x00;  // next object
    answer[7] = 0;     // objects in this answer
    int at = 8;
    for (int k = first; k <= last; ++k) {
        const size_t n = textLength(objects[k]);
        // An object is never split; one alone always fits.
        if (at + 2 + static_cast<int>(n) > kMaxBody) {
            answer[5] = 0xFF;
            answer[6] = static_cast<uint8_t>(k);
            break;
        }
        answer[at] = static_cast<uint8_t>(k);
        answer[at + 1] = static_cast<uint8_t>(n);
        std::memcpy(answer + at + 2, objects[k], n);
        at += 2 + static_cast<int>(n);
        ++answer[7];
    }
    *length = at;
    return 0;
}

}  // namespace fieldbus::regmap

extern "C" int fieldbusSetIdentity(const char *vendor, const char *product, const char *revision) {
    using namespace fieldbus::regmap;
    const char *given[kTexts] = {vendor, product, revision};
    for (const char *t : given)
        if (t != nullptr && strnlen(t, kIdentityTextMax + 1) > kIdentityTextMax) return -1;
    int expected = kUnset;
    if (!__atomic_compare_exchange_n(&state, &expected, kSetting, false, __ATOMIC_ACQ_REL,
                                     __ATOMIC_ACQUIRE))
        return -1;
    for (int k = 0; k < kTexts; ++k) {
        const char *t = given[k] != nullptr ? given[k] : kDefaults[k];
        const size_t n = strnlen(t, kIdentityTextMax);
        std::memcpy(texts[k], t, n);
        texts[k][n] = '\0';
    }
    __atomic_store_n(&state, kSet, __ATOMIC_RELEASE);
    return 0;
}
