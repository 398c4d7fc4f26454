#include "manifest.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <algorithm>
#include <bit>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "internal/cbor.h"
#include "internal/crypto.h"
#include "internal/edwards25519.h"
#include "internal/fault.h"

namespace quelvane::manifest {
namespace {

namespace cbor = internal::cbor;
namespace crypto = internal::crypto;
using cbor::Head;
using cbor::Major;

constexpr size_t kSignatureBytes = 64;
constexpr uint64_t kCoseSign1Tag = 18;
constexpr uint64_t kCoseSign1Items = 4;
constexpr uint64_t kSigStructureItems = 4;
constexpr std::string_view kSigContext = "Signature1";
// The protected header {1 (alg): -8 (EdDSA)}, encoded.
constexpr std::array<uint8_t, 3> kProtectedHeader = {0xA1, 0x01, 0x27};
// Header values may nest (keys, certificate chains), but an envelope is a few arrays and maps
// deep: deeper input is hostile and is refused.
constexpr size_t kMaxNesting = 32;

using Signature = std::array<uint8_t, kSignatureBytes>;
using Description = std::string;  // why bytes did not decode, e.g. "... at offset 7"

// What a libcrypto failure while signing or verifying is called.
constexpr std::string_view kSignatureOperation = "signature operation";

// The RFC 9052 §4.4 Sig_structure of a COSE_Sign1 with empty external data.
std::vector<uint8_t> sig_structure(std::span<const uint8_t> protected_header, std::span<const uint8_t> payload) {
  constexpr size_t kHeads = 32;  // the array, the context and the three string heads, at most
  cbor::Writer out;
  out.reserve(kHeads + kSigContext.size() + protected_header.size() + payload.size());
  out.head(Major::Array, kSigStructureItems);
  out.text(kSigContext);
  out.bytes(protected_header);
  out.bytes({});
  out.bytes(payload);
  return out.take();
}

Signature sign_bytes(const crypto::PKey& key, std::span<const uint8_t> message) {
  Signature signature;
  size_t length = signature.size();
  crypto::MdCtx context(EVP_MD_CTX_new());
  if (!context) throw std::bad_alloc();
  crypto::check(EVP_DigestSignInit_ex(context.get(), nullptr, nullptr, crypto::library_context(), nullptr,
                                      key.get(), nullptr),
                kSignatureOperation);
  crypto::check(EVP_DigestSign(context.get(), signature.data(), &length, message.data(), message.size()),
                kSignatureOperation);
  if (length != signature.size()) crypto::fail(kSignatureOperation);
  return signature;
}

// Ordinary RFC 8032 §5.1.7 verification, as libcrypto does it (small-order keys included).
// libcrypto answers 0 for a signature that does not verify and less than 0 when it failed.
bool signature_verifies(std::span<const uint8_t, kKeyBytes> public_key, std::span<const uint8_t> signature,
                        std::span<const uint8_t> message) {
  const crypto::PKey key = crypto::ed25519_public_key(public_key);
  crypto::MdCtx context(EVP_MD_CTX_new());
  if (!context) throw std::bad_alloc();
  crypto::check(EVP_DigestVerifyInit_ex(context.get(), nullptr, nullptr, crypto::library_context(), nullptr,
                                        key.get(), nullptr),
                kSignatureOperation);
  const int verified =
      EVP_DigestVerify(context.get(), signature.data(), signature.size(), message.data(), message.size());
  if (verified < 0) crypto::fail(kSignatureOperation);
  if (verified != 1) ERR_clear_error();  // a signature that does not verify may leave a reason behind
  return verified == 1;
}

Envelope envelope(size_t payload_size, const Signature& signature) {
  cbor::Writer before;
  before.head(Major::Tag, kCoseSign1Tag);
  before.head(Major::Array, kCoseSign1Items);
  before.bytes(kProtectedHeader);
  before.head(Major::Map, 0);
  before.head(Major::Bytes, payload_size);
  cbor::Writer after;
  after.bytes(signature);
  return Envelope{before.take(), after.take()};
}

// ---------------------------------------------------------------------------------------------
// Decoding a COSE_Sign1 from untrusted bytes, head by head (internal::cbor): nothing is
// allocated for a declared length or count before the bytes are there, and nesting is bounded.

struct Sign1 {
  std::vector<uint8_t> protected_header;        // the byte string's content as received
  std::optional<std::vector<uint8_t>> payload;  // nullopt for nil
  std::vector<uint8_t> signature;
};

std::string at(size_t offset) { return " at offset " + std::to_string(offset); }

// A header label (an integer or a text string) as a key that compares equal exactly when the
// labels are the same value, whatever the width of their heads.
Result<std::string, Description> label_key(cbor::Reader& reader, const Head& label) {
  if (label.major == Major::Unsigned || label.major == Major::Negative) {
    std::string key(1, label.major == Major::Unsigned ? 'u' : 'n');
    for (int shift = 56; shift >= 0; shift -= 8) key += static_cast<char>(label.value >> shift);
    return key;
  }
  if (label.major != Major::Text) return fail("header label is not an integer or a text string" + at(label.offset));
  QV_ASSIGN_OR_RETURN(std::string text, cbor::read_string(reader, label));
  return "t" + text;
}

// The distinct labels of one header map, each kept only as the offset of its head in the
// input, with some bits of its hash: a label like a kept one is read again from there to
// compare. So a map costs a slot of 8 bytes per distinct label, and nothing for a label that
// repeats one already kept. Of the repeated labels only the one a repeat reports is kept: the
// smallest by label_key, at its second occurrence, as sorting all the labels would find it.
class LabelSet {
 public:
  explicit LabelSet(std::span<const uint8_t> input)
      : input_(input), offset_bits_(std::bit_width(input.size() + 1)), slots_(kInitialSlots, 0) {}

  void add(std::string key, size_t offset) {
    const uint64_t hash = std::hash<std::string>()(key);
    const uint64_t slot = tag_of_hash(hash) | (offset + 1);
    for (size_t i = first_slot(hash);; i = (i + 1) & (slots_.size() - 1)) {
      if (slots_[i] == 0) {
        slots_[i] = slot;
        if (2 * ++size_ > slots_.size()) grow();
        return;
      }
      if (tag(slots_[i]) == tag(slot) && key_at(slots_[i]) == key) {
        if (!repeat_ || key < repeat_->first) repeat_.emplace(std::move(key), offset);
        return;
      }
    }
  }

  // The offset a repeat reports, if any label repeats.
  std::optional<size_t> repeat() const {
    if (!repeat_) return std::nullopt;
    return repeat_->second;
  }

 private:
  static constexpr size_t kInitialSlots = 16;

  // The slot is picked by the top bits of the hash; the tag kept beside the offset is made of
  // its other bits.
  size_t first_slot(uint64_t hash) const { return hash >> (64 - std::countr_zero(slots_.size())); }
  uint64_t tag(uint64_t hash_or_slot) const { return hash_or_slot >> offset_bits_ << offset_bits_; }
  uint64_t tag_of_hash(uint64_t hash) const { return tag(std::rotl(hash, 32)); }

  std::string key_at(uint64_t slot) const {
    const size_t offset = (slot & ((uint64_t{1} << offset_bits_) - 1)) - 1;
    cbor::Reader reader(input_.subspan(offset));
    auto head = reader.next();
    if (!head) throw internal::Fault("header label no longer reads");
    auto key = label_key(reader, *head);
    if (!key) throw internal::Fault("header label no longer reads");
    return std::move(key).value();
  }

  void grow() {
    std::vector<uint64_t> old = std::exchange(slots_, std::vector<uint64_t>(2 * slots_.size(), 0));
    for (uint64_t slot : old) {
      if (slot == 0) continue;
      size_t i = first_slot(std::hash<std::string>()(key_at(slot)));
      while (slots_[i] != 0) i = (i + 1) & (slots_.size() - 1);
      slots_[i] = slot;
    }
  }

  std::span<const uint8_t> input_;
  int offset_bits_;              // an offset plus one fits in these low bits of a slot
  std::vector<uint64_t> slots_;  // 0, or a hash tag and an offset plus one
  size_t size_ = 0;
  std::optional<std::pair<std::string, size_t>> repeat_;  // key, offset
};

// Containers a header value may open: the envelope's array and a header map hold it.
constexpr size_t kHeaderValueLevels = kMaxNesting - 2;

// A header map whose head is `map` in `input`: labels are integers or text strings, none
// repeated, and values are any well-formed items. A repeat is reported once the whole map has
// read well, so a fault further on in the map is reported first.
Result<Ok, Description> read_header_map(cbor::Reader& reader, std::span<const uint8_t> input, const Head& map) {
  LabelSet labels(input);
  for (uint64_t i = 0; map.indefinite || i < map.value; ++i) {
    QV_ASSIGN_OR_RETURN(const Head label, reader.next());
    if (map.indefinite && label.is_break) break;
    QV_ASSIGN_OR_RETURN(std::string key, label_key(reader, label));
    labels.add(std::move(key), label.offset);
    QV_ASSIGN_OR_RETURN(const Head value, reader.next());
    QV_RETURN_IF_ERROR(cbor::skip(reader, value, kHeaderValueLevels));
  }
  if (const auto repeat = labels.repeat()) return fail("repeated header label" + at(*repeat));
  return Ok{};
}

// The protected header's content: nothing, or exactly one encoded header map.
Result<Ok, Description> check_protected_header(std::span<const uint8_t> content) {
  if (content.empty()) return Ok{};
  cbor::Reader reader(content);
  QV_ASSIGN_OR_RETURN(const Head map, reader.next());
  if (map.major != Major::Map) return fail("expected a header map" + at(map.offset));
  QV_RETURN_IF_ERROR(read_header_map(reader, content, map));
  if (!reader.at_end()) return fail("bytes after the header map" + at(reader.offset()));
  return Ok{};
}

// The next head, which must be of `major`: Bytes or Map, so that a break (major type 7) fails.
Result<Head, Description> expect(cbor::Reader& reader, Major major, const char* what) {
  QV_ASSIGN_OR_RETURN(const Head head, reader.next());
  if (head.major != major) return fail(std::string("expected ") + what + at(head.offset));
  return head;
}

// The four items of a COSE_Sign1 array whose head is `array`.
Result<Sign1, Description> read_sign1_items(cbor::Reader& reader, std::span<const uint8_t> input, const Head& array) {
  Sign1 sign1;
  QV_ASSIGN_OR_RETURN(const Head protected_item, expect(reader, Major::Bytes, "a byte string (protected header)"));
  QV_ASSIGN_OR_RETURN(sign1.protected_header, cbor::read_bytes(reader, protected_item));
  if (auto checked = check_protected_header(sign1.protected_header); !checked) {
    return fail("protected header: " + std::move(checked).error());
  }
  QV_ASSIGN_OR_RETURN(const Head unprotected, expect(reader, Major::Map, "a map (unprotected header)"));
  QV_RETURN_IF_ERROR(read_header_map(reader, input, unprotected));
  QV_ASSIGN_OR_RETURN(const Head payload, reader.next());
  if (payload.major == Major::Bytes) {
    QV_ASSIGN_OR_RETURN(sign1.payload, cbor::read_bytes(reader, payload));
  } else if (payload.major != Major::Simple || payload.value != cbor::kNull) {  // a break's value is 0
    return fail("expected a byte string or nil (payload)" + at(payload.offset));
  }
  QV_ASSIGN_OR_RETURN(const Head signature, expect(reader, Major::Bytes, "a byte string (signature)"));
  QV_ASSIGN_OR_RETURN(sign1.signature, cbor::read_bytes(reader, signature));
  if (array.indefinite) {
    QV_ASSIGN_OR_RETURN(const Head end, reader.next());
    if (!end.is_break) return fail("more than 4 items in the COSE_Sign1 array" + at(end.offset));
  }
  return sign1;
}

// One COSE_Sign1 data item filling all of `input`: tag 18 around the array when `tagged`, the
// bare array otherwise.
Result<Sign1, Description> decode_sign1(std::span<const uint8_t> input, bool tagged) {
  cbor::Reader reader(input);
  QV_ASSIGN_OR_RETURN(Head array, reader.next());
  if (tagged) {
    if (array.major != Major::Tag || array.value != kCoseSign1Tag) return fail("expected tag 18" + at(array.offset));
    QV_ASSIGN_OR_RETURN(array, reader.next());
  }
  if (array.major != Major::Array || (!array.indefinite && array.value != kCoseSign1Items)) {
    return fail("expected an array of 4 items" + at(array.offset));
  }
  QV_ASSIGN_OR_RETURN(Sign1 sign1, read_sign1_items(reader, input, array));
  if (!reader.at_end()) return fail("bytes after the COSE_Sign1" + at(reader.offset()));
  return sign1;
}

}  // namespace

PublicKey public_key(SecretKey secret) {
  const crypto::PKey key = crypto::ed25519_secret_key(secret);
  PublicKey out;
  size_t length = out.size();
  crypto::check(EVP_PKEY_get_raw_public_key(key.get(), out.data(), &length), kSignatureOperation);
  if (length != out.size()) crypto::fail(kSignatureOperation);
  return out;
}

std::vector<uint8_t> Envelope::assemble(std::span<const uint8_t> payload) const {
  std::vector<uint8_t> out;
  out.reserve(before_payload.size() + payload.size() + after_payload.size());
  out.insert(out.end(), before_payload.begin(), before_payload.end());
  out.insert(out.end(), payload.begin(), payload.end());
  out.insert(out.end(), after_payload.begin(), after_payload.end());
  return out;
}

Result<Envelope> sign_cose_parts(std::span<const uint8_t> payload, SecretKey secret) {
  const crypto::PKey key = crypto::ed25519_secret_key(secret);
  const Signature signature = sign_bytes(key, sig_structure(kProtectedHeader, payload));
  return envelope(payload.size(), signature);
}

Result<std::vector<uint8_t>> sign_cose(std::span<const uint8_t> payload, SecretKey secret) {
  QV_ASSIGN_OR_RETURN(const Envelope parts, sign_cose_parts(payload, secret));
  return parts.assemble(payload);
}

Result<std::vector<uint8_t>> verify_cose(std::span<const uint8_t> envelope,
                                         std::span<const uint8_t, kKeyBytes> public_key) {
  if (!internal::edwards25519::is_point_encoding(public_key)) {
    return Error::invalid_input("invalid public key: signature::Error {}");
  }
  auto decoded = decode_sign1(envelope, true);
  if (!decoded) decoded = decode_sign1(envelope, false);
  if (!decoded) return Error::invalid_input("COSE decode failed: " + std::move(decoded).error());
  Sign1& sign1 = decoded.value();
  if (sign1.signature.size() != kSignatureBytes) {
    return Error::invalid_input("malformed signature: signature::Error {}");
  }
  std::span<const uint8_t> payload;  // empty for nil
  if (sign1.payload) payload = *sign1.payload;
  const std::vector<uint8_t> signed_bytes = sig_structure(sign1.protected_header, payload);
  if (!signature_verifies(public_key, sign1.signature, signed_bytes)) return Error::tag_mismatch();
  if (!sign1.payload) return Error::invalid_input("COSE envelope has no payload");
  return std::move(*sign1.payload);
}

}  // namespace quelvane::manifest
