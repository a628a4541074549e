#include "lumen/Uuid.h"

#include <boost/lexical_cast.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <typeinfo>

// Uuid is exported, and a nested class inherits that; its implementation
// classes are not part of the interface.
#if defined(_WIN32)
#define LUMEN_UUID_IMPL_HIDDEN
#else
#define LUMEN_UUID_IMPL_HIDDEN __attribute__((visibility("hidden")))
#endif

namespace lumen {

class LUMEN_UUID_IMPL_HIDDEN Uuid::Impl {
 public:
  Impl() = default;
  Impl(const Impl&) = default;
  Impl& operator=(const Impl&) = delete;
  virtual ~Impl() = default;

  virtual std::string ToString() const = 0;
  std::wstring ToWstring() const {
    const std::string text = ToString();
    return {text.begin(), text.end()};
  }
  virtual const uint8_t* bytes() const = 0;
  virtual size_t size() const = 0;
  virtual bool IsShort() const = 0;
  virtual std::unique_ptr<Impl> Clone() const = 0;

  bool EqualTo(const Impl& other) const {
    return size() == other.size() && std::memcmp(bytes(), other.bytes(), size()) == 0;
  }
  bool LessThan(const Impl& other) const {
    if (size() != other.size()) {
      return size() < other.size();
    }
    return std::memcmp(bytes(), other.bytes(), size()) < 0;
  }
};

namespace {

std::string Hex(uint32_t value, int minDigits) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*x", minDigits, value);
  return text;
}

// Short values keep their host (little-endian) layout, so ordering looks at
// the low byte first; that is the long-standing order of scan-job sets.
template <class T, int kDigits>
class ShortUuid final : public Uuid::Impl {
 public:
  explicit ShortUuid(T value) : m_value(value) {}
  std::string ToString() const override { return Hex(m_value, kDigits); }
  const uint8_t* bytes() const override { return reinterpret_cast<const uint8_t*>(&m_value); }
  size_t size() const override { return sizeof(T); }
  bool IsShort() const override { return true; }
  std::unique_ptr<Impl> Clone() const override { return std::make_unique<ShortUuid>(*this); }

 private:
  T m_value;
};

using Short16Uuid = ShortUuid<uint16_t, 4>;
using Short32Uuid = ShortUuid<uint32_t, 8>;

class LongUuid final : public Uuid::Impl {
 public:
  explicit LongUuid(const std::array<uint8_t, Uuid::kLongUuidSize>& bytes) : m_bytes(bytes) {}
  std::string ToString() const override {
    boost::uuids::uuid value{};
    std::memcpy(value.data, m_bytes.data(), m_bytes.size());
    return boost::uuids::to_string(value);
  }
  const uint8_t* bytes() const override { return m_bytes.data(); }
  size_t size() const override { return m_bytes.size(); }
  bool IsShort() const override { return false; }
  std::unique_ptr<Impl> Clone() const override { return std::make_unique<LongUuid>(*this); }

 private:
  std::array<uint8_t, Uuid::kLongUuidSize> m_bytes;
};

std::array<uint8_t, Uuid::kLongUuidSize> ParseUuidText(const std::string& text) {
  // lexical_cast alone accepts some non-canonical spellings; insist on 8-4-4-4-12.
  constexpr size_t kCanonicalLength = 36;
  bool canonical = text.size() == kCanonicalLength;
  for (size_t i = 0; canonical && i < text.size(); ++i) {
    const bool dashPosition = i == 8 || i == 13 || i == 18 || i == 23;
    canonical = dashPosition ? text[i] == '-' : std::isxdigit(static_cast<unsigned char>(text[i])) != 0;
  }
  if (!canonical) {
    throw boost::bad_lexical_cast(typeid(std::string), typeid(boost::uuids::uuid));
  }
  const auto value = boost::lexical_cast<boost::uuids::uuid>(text);
  std::array<uint8_t, Uuid::kLongUuidSize> bytes{};
  std::memcpy(bytes.data(), value.data, bytes.size());
  return bytes;
}

}  // namespace

Uuid::Uuid(uint16_t value) : m_impl(std::make_unique<Short16Uuid>(value)) {}
Uuid::Uuid(uint32_t value) : m_impl(std::make_unique<Short32Uuid>(value)) {}
Uuid::Uuid(const std::array<uint8_t, kLongUuidSize>& bytes) : m_impl(std::make_unique<LongUuid>(bytes)) {}
Uuid::Uuid(const std::string& text) : m_impl(std::make_unique<LongUuid>(ParseUuidText(text))) {}

Uuid::Uuid(const Uuid& other) : m_impl(other.m_impl->Clone()) {}
Uuid& Uuid::operator=(const Uuid& other) {
  if (this != &other) {
    m_impl = other.m_impl->Clone();
  }
  return *this;
}
Uuid::Uuid(Uuid&& other) noexcept = default;
Uuid& Uuid::operator=(Uuid&& other) noexcept = default;
Uuid::~Uuid() = default;

std::string Uuid::ToString() const { return m_impl->ToString(); }
std::wstring Uuid::ToWstring() const { return m_impl->ToWstring(); }
const uint8_t* Uuid::bytes() const { return m_impl->bytes(); }
size_t Uuid::size() const { return m_impl->size(); }
bool Uuid::IsShort() const { return m_impl->IsShort(); }
bool Uuid::EqualTo(const Uuid& other) const { return m_impl->EqualTo(*other.m_impl); }
bool Uuid::LessThan(const Uuid& other) const { return m_impl->LessThan(*other.m_impl); }

bool Uuid::IsValidUuidSize(size_t n) { return n == kShort16UuidSize || n == kShort32UuidSize || n == kLongUuidSize; }

bool operator==(const Uuid& a, const Uuid& b) { return a.EqualTo(b); }
bool operator!=(const Uuid& a, const Uuid& b) { return !a.EqualTo(b); }
bool operator<(const Uuid& a, const Uuid& b) { return a.LessThan(b); }

}  // namespace lumen
