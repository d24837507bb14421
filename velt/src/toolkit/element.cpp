// toolkit::CElement: storage of typed leaf values, copying, comparison.
#include <bit>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <velt++.h>

#include "c/types.h"

namespace toolkit {

const tk_string CElement::_invalid = "invalid";
const timeval CElement::_invalid_time = {-1, 0};
bool CElement::_forced_auto_time = false;

// A replayed log holds one value per event: keep the value compact.
static_assert(sizeof(CElement) == 32, "CElement layout grew");

namespace {

bool byte_payload(data_type_t type) noexcept {
    return type == DATATYPE_STRING || type == DATATYPE_BINARY || type == DATATYPE_IPV4 ||
           type == DATATYPE_IPV6 || type == DATATYPE_MAC;
}

// Heap payloads: one block of exactly the payload's size, owned by the
// CElement that holds the pointer.
char* heap_copy(std::string_view bytes) {
    if (bytes.size() > UINT32_MAX) throw std::length_error("CElement payload too large");
    char* p = std::allocator<char>{}.allocate(bytes.size());
    std::memcpy(p, bytes.data(), bytes.size());
    return p;
}

// Where a heap payload's pointer and length lie in m_payload.
constexpr std::size_t k_heap_ptr = 0;
constexpr std::size_t k_heap_len = 8;

}  // namespace

// ---- storage ----

uint64_t CElement::word() const noexcept {
    uint64_t v = 0;
    std::memcpy(&v, m_payload, sizeof v);
    return v;
}

void CElement::set_word(data_type_t type, uint64_t v) noexcept {
    release();
    m_type = static_cast<unsigned char>(type);
    std::memcpy(m_payload, &v, sizeof v);
}

// Replaces type and payload with a byte payload. `bytes` may lie in this
// value's own payload: it is copied before anything is released.
void CElement::take_payload(data_type_t type, std::string_view bytes) {
    if (bytes.size() <= sizeof m_payload) {
        unsigned char copy[sizeof m_payload];
        std::memcpy(copy, bytes.data(), bytes.size());
        release();
        std::memcpy(m_payload, copy, bytes.size());
        m_length = static_cast<unsigned char>(bytes.size());
    } else {
        char* heap = heap_copy(bytes);
        const auto size = static_cast<uint32_t>(bytes.size());
        release();
        std::memcpy(m_payload + k_heap_ptr, &heap, sizeof heap);
        std::memcpy(m_payload + k_heap_len, &size, sizeof size);
        m_length = k_heap;
    }
    m_type = static_cast<unsigned char>(type);
}

void CElement::release() noexcept {
    if (on_heap()) {
        const std::string_view bytes = get_bytes();
        std::allocator<char>{}.deallocate(const_cast<char*>(bytes.data()), bytes.size());
    }
    m_type = DATATYPE_INVALID;
    m_length = 0;
    std::memset(m_payload, 0, sizeof m_payload);
}

// ---- construction, copy, move ----

CElement::CElement() noexcept : m_time(_invalid_time), m_payload{}, m_type(DATATYPE_INVALID), m_length(0) {}

CElement::CElement(const CElement& other)
    : m_time(other.m_time), m_type(other.m_type), m_length(other.m_length) {
    std::memcpy(m_payload, other.m_payload, sizeof m_payload);
    if (on_heap()) {
        char* heap = heap_copy(other.get_bytes());
        std::memcpy(m_payload + k_heap_ptr, &heap, sizeof heap);
    }
}

CElement::CElement(CElement&& other) noexcept : CElement() {
    *this = std::move(other);
}

CElement::CElement(const CElement& other, const timeval& time) : CElement(other) {
    if (time.tv_sec != -1) m_time = time;
}

CElement::CElement(CElement&& other, const timeval& time) noexcept : CElement(std::move(other)) {
    if (time.tv_sec != -1) m_time = time;
}

CElement& CElement::operator=(const CElement& other) {
    // Copied first so that a failure leaves this value as it was.
    if (this != &other) *this = CElement(other);
    return *this;
}

CElement& CElement::operator=(CElement&& other) noexcept {
    if (this == &other) return *this;
    // The moved-from value becomes INVALID; its heap block is now ours.
    release();
    m_time = other.m_time;
    m_type = other.m_type;
    m_length = other.m_length;
    std::memcpy(m_payload, other.m_payload, sizeof m_payload);
    other.m_type = DATATYPE_INVALID;
    other.m_length = 0;
    std::memset(other.m_payload, 0, sizeof other.m_payload);
    return *this;
}

CElement::~CElement() {
    release();
}

// ---- setters ----

void CElement::clear() noexcept {
    release();
}

void CElement::set_none() noexcept {
    release();
    m_type = DATATYPE_NONE;
}

void CElement::set_bool(bool v) noexcept {
    set_word(DATATYPE_BOOL, v ? 1 : 0);
}

void CElement::set_int32(int32_t v) noexcept {
    set_word(DATATYPE_INT32, static_cast<uint64_t>(static_cast<int64_t>(v)));
}

void CElement::set_uint32(uint32_t v) noexcept {
    set_word(DATATYPE_UINT32, v);
}

void CElement::set_int64(int64_t v) noexcept {
    set_word(DATATYPE_INT64, static_cast<uint64_t>(v));
}

void CElement::set_uint64(uint64_t v) noexcept {
    set_word(DATATYPE_UINT64, v);
}

void CElement::set_double(double v) noexcept {
    set_word(DATATYPE_DOUBLE, std::bit_cast<uint64_t>(v));
}

void CElement::set_string(std::string_view text) {
    take_payload(DATATYPE_STRING, text);
}

int CElement::set_bytes(data_type_t type, std::string_view bytes) {
    if (type == DATATYPE_STRING || type == DATATYPE_BINARY) {
        if (bytes.size() > UINT32_MAX) return 1;
    } else {
        const std::size_t n = velt::fixed_byte_size(type);
        if (n == 0 || bytes.size() != n) return 1;
    }
    take_payload(type, bytes);
    return 0;
}

// ---- getters ----

bool CElement::get_bool() const noexcept {
    return m_type == DATATYPE_BOOL && word() != 0;
}

int32_t CElement::get_int32() const noexcept {
    return m_type == DATATYPE_INT32 ? static_cast<int32_t>(word()) : 0;
}

uint32_t CElement::get_uint32() const noexcept {
    return m_type == DATATYPE_UINT32 ? static_cast<uint32_t>(word()) : 0;
}

int64_t CElement::get_int64() const noexcept {
    return m_type == DATATYPE_INT64 ? static_cast<int64_t>(word()) : 0;
}

uint64_t CElement::get_uint64() const noexcept {
    return m_type == DATATYPE_UINT64 ? word() : 0;
}

double CElement::get_double() const noexcept {
    if (m_type != DATATYPE_DOUBLE) return 0.0;
    return std::bit_cast<double>(word());
}

std::string_view CElement::get_bytes() const noexcept {
    if (!byte_payload(type())) return {};
    if (!on_heap()) return {reinterpret_cast<const char*>(m_payload), m_length};
    const char* heap = nullptr;
    uint32_t size = 0;
    std::memcpy(&heap, m_payload + k_heap_ptr, sizeof heap);
    std::memcpy(&size, m_payload + k_heap_len, sizeof size);
    return {heap, size};
}

// ---- comparison ----

bool CElement::same_value(const CElement& other) const noexcept {
    if (m_type != other.m_type) return false;
    switch (type()) {
        case DATATYPE_INVALID:
        case DATATYPE_NONE: return true;
        case DATATYPE_BOOL:
        case DATATYPE_INT32:
        case DATATYPE_UINT32:
        case DATATYPE_INT64:
        case DATATYPE_UINT64:
        case DATATYPE_DOUBLE: return word() == other.word();  // doubles bit for bit
        default: return get_bytes() == other.get_bytes();
    }
}

bool CElement::operator==(const CElement& other) const noexcept {
    return same_value(other) && m_time.tv_sec == other.m_time.tv_sec &&
           m_time.tv_usec == other.m_time.tv_usec;
}

}  // namespace toolkit
