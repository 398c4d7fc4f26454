// The Python face of quelvane: module creation, the function table, argument binding and
// conversion, and the mapping of failures to exceptions. The only unit that sees <Python.h>;
// everything below the table calls plain C++ operations.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "crosscheck.h"
#include "error.h"
#include "internal/crypto.h"
#include "internal/fault.h"
#include "internal/hex.h"
#include "internal/utf8.h"
#include "manifest.h"
#include "minhash.h"
#include "simhash.h"
#include "soft_binding.h"
#include "stego.h"
#include "structure.h"

namespace quelvane::python {
namespace {

// ---------------------------------------------------------------------------------------------
// Owned references and small helpers.

struct DecRef {
  void operator()(PyObject* object) const { Py_DecRef(object); }
};
using Ref = std::unique_ptr<PyObject, DecRef>;

Ref own(PyObject* object) { return Ref(object); }

PyObject* new_str(std::string_view utf8) {
  return PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size()));
}

// From this many bytes on, a result is written into its str without an intermediate copy.
constexpr size_t kLargeResult = 1 << 16;

// The bytes as lower-case hex, written by the interpreter straight into the new str: a large
// result (an envelope, an assertion) then exists once as hex, not also as a hex copy here.
PyObject* new_hex(std::span<const uint8_t> bytes) {
  constexpr int kBufferRead = 0x100;  // PyBUF_READ, which the limited API of 3.9 does not declare
  if (bytes.size() < kLargeResult) return new_str(internal::hex::encode(bytes));
  Ref view = own(PyMemoryView_FromMemory(reinterpret_cast<char*>(const_cast<uint8_t*>(bytes.data())),
                                         static_cast<Py_ssize_t>(bytes.size()), kBufferRead));
  if (!view) return nullptr;
  return PyObject_CallMethod(view.get(), "hex", nullptr);
}

// A str of a length fixed up front, filled with lower-case hex piece by piece, each character
// written in place: the hex of a large byte string then never coexists with the whole of that
// byte string, nor with a second copy of itself. The limited API has no bulk write into a str,
// so this costs a call per character; for small results building the hex first is faster.
class HexStr {
 public:
  // Starts with the hex of `first`, with room for `bytes` in all.
  HexStr(std::span<const uint8_t> first, size_t bytes) : capacity_(2 * bytes) {
    PyObject* str = new_str(internal::hex::encode(first));
    if (str == nullptr) return;
    // Grown by the interpreter's allocator: the new room is not touched until it is written.
    if (PyUnicode_Resize(&str, static_cast<Py_ssize_t>(capacity_)) < 0) {
      Py_DecRef(str);
      return;
    }
    str_ = own(str);
    written_ = 2 * first.size();
  }

  // False with the exception set, if the str could not be made or written.
  bool append(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    if (!str_) return false;
    if (bytes.size() > (capacity_ - written_) / 2) throw internal::Fault("hex result overrun");
    for (const uint8_t byte : bytes) {
      if (PyUnicode_WriteChar(str_.get(), static_cast<Py_ssize_t>(written_++), kDigits[byte >> 4]) < 0 ||
          PyUnicode_WriteChar(str_.get(), static_cast<Py_ssize_t>(written_++), kDigits[byte & 0xF]) < 0) {
        return false;
      }
    }
    return true;
  }

  // The str once every character is written; null otherwise.
  PyObject* finish() {
    if (!str_) return nullptr;
    if (written_ != capacity_) throw internal::Fault("hex result not filled");
    return str_.release();
  }

 private:
  Ref str_;
  size_t capacity_;
  size_t written_ = 0;
};

PyObject* new_int_list(std::span<const uint64_t> values) {
  Ref list = own(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* item = PyLong_FromUnsignedLongLong(values[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals the item
  }
  return list.release();
}

PyObject* raise(const Error& error) {
  PyErr_SetString(PyExc_ValueError, error.message().c_str());
  return nullptr;
}

PyObject* raise_value_error(const std::string& message) {
  PyErr_SetString(PyExc_ValueError, message.c_str());
  return nullptr;
}

// The qualified name of an object's type, as TypeError messages show it.
std::string type_name(PyObject* object) {
  Ref name = own(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
  Ref utf8 = name ? own(PyUnicode_AsUTF8String(name.get())) : nullptr;
  if (!utf8) {
    PyErr_Clear();
    return "?";
  }
  return PyBytes_AsString(utf8.get());
}

// Internal faults end up here: a class derived directly from BaseException, so that
// `except Exception` in the host does not swallow a broken invariant. Created once.
PyObject* panic_exception() {
  static PyObject* type = PyErr_NewExceptionWithDoc(
      "quelvane.PanicException", "An internal fault of the quelvane module (a broken invariant).",
      PyExc_BaseException, nullptr);
  return type;
}

void raise_panic(const char* message) {
  PyObject* type = panic_exception();
  if (type == nullptr) return;  // creating the class failed; its exception is pending
  PyErr_SetString(type, message);
}

// ---------------------------------------------------------------------------------------------
// Parameters and their conversion.

// What a parameter accepts. Binding converts only to UTF-8 (every str kind) or to a boolean;
// the decoding a str kind names is the operation's, which reports a bad value with its label.
enum class Kind {
  Text,            // str, passed on as UTF-8
  Hex,             // str, which the operation decodes by the hex input rule
  Key32,           // str, which the operation decodes to exactly 32 bytes
  FingerprintHex,  // str, which the operation parses as a 256-bit value
  Flag,            // bool (or NumPy's boolean scalar)
};

struct Param {
  const char* name;
  Kind kind;
};

constexpr size_t kMaxParams = 4;

// The bound and converted arguments of one call, in parameter order. Strings are views into
// UTF-8 bytes objects held here for the duration of the call, or until a function releases
// one it has done with: for a large text that copy is as large as anything the call makes.
struct Args {
  std::array<PyObject*, kMaxParams> object{};  // as passed, borrowed from the caller
  std::array<Ref, kMaxParams> utf8;
  std::array<std::string_view, kMaxParams> text;
  std::array<bool, kMaxParams> flag{};

  void release(size_t index) {
    text[index] = {};
    utf8[index].reset();
  }
};

// Re-raises a pending TypeError (exactly TypeError) as "argument 'PARAM': " + its message,
// keeping its cause; any other pending exception is left as it is.
void prefix_type_error(const char* param) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref owned_type = own(type), owned_value = own(value), owned_traceback = own(traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(owned_type.release(), owned_value.release(), owned_traceback.release());
    return;
  }
  Ref message = own(PyObject_Str(value));
  if (!message) return;
  Ref text = own(PyUnicode_FromFormat("argument '%s': %U", param, message.get()));
  if (!text) return;
  Ref replacement = own(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
  if (!replacement) return;
  PyException_SetCause(replacement.get(), PyException_GetCause(value));
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

bool convert_str(PyObject* value, Ref& utf8, std::string_view& text) {
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyString'", type_name(value).c_str());
    return false;
  }
  utf8 = own(PyUnicode_AsUTF8String(value));  // strict: a lone surrogate raises UnicodeEncodeError
  if (!utf8) return false;
  char* data;
  Py_ssize_t size;
  if (PyBytes_AsStringAndSize(utf8.get(), &data, &size) < 0) return false;
  text = std::string_view(data, static_cast<size_t>(size));
  return true;
}

bool is_numpy_bool(PyObject* value) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  Ref module = own(PyObject_GetAttrString(type, "__module__"));
  Ref qualname = own(PyObject_GetAttrString(type, "__qualname__"));
  PyErr_Clear();
  if (!module || !qualname || !PyUnicode_Check(module.get()) || !PyUnicode_Check(qualname.get())) return false;
  return PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
         (PyUnicode_CompareWithASCIIString(qualname.get(), "bool_") == 0 ||
          PyUnicode_CompareWithASCIIString(qualname.get(), "bool") == 0);
}

bool convert_flag(PyObject* value, bool& flag) {
  if (value == Py_True || value == Py_False) {
    flag = value == Py_True;
    return true;
  }
  if (!is_numpy_bool(value)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyBool'", type_name(value).c_str());
    return false;
  }
  Ref method = own(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__bool__"));
  if (!method) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "object of type '%s' does not define a '__bool__' conversion",
                 type_name(value).c_str());
    return false;
  }
  Ref result = own(PyObject_CallFunctionObjArgs(method.get(), value, nullptr));
  if (!result) return false;
  const int truth = PyObject_IsTrue(result.get());
  if (truth < 0) return false;
  flag = truth == 1;
  return true;
}

bool convert(const Param& param, PyObject* value, Args& args, size_t index) {
  args.object[index] = value;
  const bool ok = param.kind == Kind::Flag ? convert_flag(value, args.flag[index])
                                           : convert_str(value, args.utf8[index], args.text[index]);
  if (!ok) prefix_type_error(param.name);
  return ok;
}

// A decoded hex argument, or nothing with "invalid LABEL: REASON" raised.
template <typename Bytes>
std::optional<Bytes> decoded_or_raise(Result<Bytes, std::string> decoded, const char* label) {
  if (!decoded) {
    raise_value_error(std::string("invalid ") + label + ": " + decoded.error());
    return std::nullopt;
  }
  return std::move(decoded).value();
}

// The hex input rule.
std::optional<std::vector<uint8_t>> decode_hex(std::string_view text, const char* label) {
  return decoded_or_raise(internal::hex::decode_trimmed(text), label);
}

// The hex input rule for a key (`key_hex`), into a buffer wiped when the call ends.
std::optional<internal::crypto::SecretBytes<>> decode_key(std::string_view text) {
  return decoded_or_raise(internal::hex::decode_secret_trimmed(text), "key");
}

// The 32-byte key rule (`secret_hex`, `public_hex`), into `key`. The bytes are decoded as a
// secret, as they may be a secret key.
bool decode_key32(std::string_view text, std::span<uint8_t, 32> key) {
  const auto bytes = decoded_or_raise(internal::hex::decode_secret_trimmed(text), "hex");
  if (!bytes) return false;
  if (bytes->size() != key.size()) {
    raise_value_error("expected a 32-byte (64 hex char) key");
    return false;
  }
  std::copy_n(bytes->data(), key.size(), key.begin());
  return true;
}

// The payload of `verify` as a str, or ValueError "payload not utf-8: " + the reason.
PyObject* new_payload_str(std::span<const uint8_t> payload) {
  const std::string_view text(reinterpret_cast<const char*>(payload.data()), payload.size());
  const auto malformed = internal::utf8::find_malformed(text);
  if (!malformed) return new_str(text);
  const std::string where = " from index " + std::to_string(malformed->valid_up_to);
  const std::string reason =
      malformed->invalid_length == 0
          ? "incomplete utf-8 byte sequence" + where
          : "invalid utf-8 sequence of " + std::to_string(malformed->invalid_length) + " bytes" + where;
  return raise_value_error("payload not utf-8: " + reason);
}

// ---------------------------------------------------------------------------------------------
// Argument binding: positional, then keywords, then the check for missing parameters, in
// CPython's wording for its own functions, except that "arguments" after a count of
// positional parameters stays plural even for one.

struct Function {
  const char* name;
  std::array<Param, kMaxParams> params;
  size_t param_count;
  const char* doc;  // "name(params)\n--\n\ndescription": CPython derives __text_signature__
  PyObject* (*impl)(Args&);
};

std::string missing_list(const Function& f, const std::array<PyObject*, kMaxParams>& bound, size_t& count) {
  std::vector<std::string> names;
  for (size_t i = 0; i < f.param_count; ++i) {
    if (bound[i] == nullptr) names.push_back(std::string("'") + f.params[i].name + "'");
  }
  count = names.size();
  std::string list;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) list += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    list += names[i];
  }
  return list;
}

bool bind(const Function& f, PyObject* args, PyObject* kwargs, std::array<PyObject*, kMaxParams>& bound) {
  const Py_ssize_t given = args ? PyTuple_Size(args) : 0;
  if (given > static_cast<Py_ssize_t>(f.param_count)) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given", f.name, f.param_count,
                 given, given == 1 ? "was" : "were");
    return false;
  }
  for (Py_ssize_t i = 0; i < given; ++i) bound[i] = PyTuple_GetItem(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      size_t index = f.param_count;
      if (PyUnicode_Check(key)) {
        for (size_t i = 0; i < f.param_count; ++i) {
          if (PyUnicode_CompareWithASCIIString(key, f.params[i].name) == 0) index = i;
        }
      }
      if (index == f.param_count) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", f.name, key);
        return false;
      }
      if (bound[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", f.name, f.params[index].name);
        return false;
      }
      bound[index] = value;
    }
  }
  size_t missing = 0;
  const std::string list = missing_list(f, bound, missing);
  if (missing > 0) {
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", f.name, missing,
                 missing == 1 ? "" : "s", list.c_str());
    return false;
  }
  return true;
}

PyObject* call(const Function& f, PyObject* args, PyObject* kwargs) {
  try {
    std::array<PyObject*, kMaxParams> bound{};
    if (!bind(f, args, kwargs, bound)) return nullptr;
    Args converted;
    for (size_t i = 0; i < f.param_count; ++i) {
      if (!convert(f.params[i], bound[i], converted, i)) return nullptr;
    }
    return f.impl(converted);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& fault) {
    raise_panic(fault.what());
  } catch (...) {
    raise_panic("internal fault");
  }
  return nullptr;
}

// ---------------------------------------------------------------------------------------------
// The functions, each: decode hex arguments in its order, run the operation, build the result.

PyObject* text_fingerprint(Args& a) { return new_str(simhash::Fingerprint::compute_whole(a.text[0]).hex()); }

PyObject* text_structure(Args& a) { return new_str(structure::compute(a.text[0]).hex()); }

PyObject* minhash_signature(Args& a) { return new_int_list(minhash::MinHash::compute(a.text[0]).signature); }

PyObject* minhash_bands(Args& a) { return new_int_list(minhash::MinHash::compute(a.text[0]).bands); }

// A fingerprint argument: White_Space trimmed, then exactly 64 hex digits.
std::optional<simhash::Hash256> parse_fingerprint(std::string_view text, const char* failure) {
  auto hash = simhash::Hash256::from_hex(internal::utf8::trim_white_space(text));
  if (!hash) raise_value_error(failure);
  return hash;
}

PyObject* hamming_hex(Args& a) {
  const auto first = parse_fingerprint(a.text[0], "bad hex a");
  if (!first) return nullptr;
  const auto second = parse_fingerprint(a.text[1], "bad hex b");
  if (!second) return nullptr;
  return PyLong_FromLong(first->hamming(*second));
}

PyObject* content_hash(Args& a) { return new_hex(stego::content_hash(a.text[0])); }

// From this many bytes of text on, the marked text is built from the caller's str
// (new_marked_text); below it, the few calls that takes cost more than the copy it saves.
constexpr size_t kLargeMarkedText = 1 << 20;
// Characters of the text copied into a marked text at a time, bounding what a copy adds.
constexpr Py_ssize_t kCopyChars = Py_ssize_t{1} << 20;

// Number of characters in the UTF-8 bytes: those that are not continuation bytes.
size_t count_chars(std::string_view utf8) {
  constexpr uint64_t kHighBits = 0x8080808080808080ULL;
  size_t continuation = 0;
  size_t i = 0;
  for (; i + 8 <= utf8.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, utf8.data() + i, sizeof word);
    continuation += std::popcount(word & ~(word << 1) & kHighBits);  // bytes 10xxxxxx
  }
  for (; i < utf8.size(); ++i) continuation += (static_cast<uint8_t>(utf8[i]) & 0xC0) == 0x80;
  return utf8.size() - continuation;
}

// Appends `piece` to `out`, in place when the interpreter can (`out` is ours alone); false with
// the exception set.
bool append(Ref& out, Ref piece) {
  if (!piece) return false;
  PyObject* left = out.release();
  PyUnicode_Append(&left, piece.get());
  out.reset(left);
  return left != nullptr;
}

// The marked text of a long `text`, built from the caller's str and the runs: the text's UTF-8
// copy is dropped first, and the result grows in place, so that at most a slice of the text is
// held beside it. Built from UTF-8 instead, the marked text would be held twice.
PyObject* new_marked_text(Args& a, const std::array<stego::Insertion, stego::kCodewordBytes>& runs) {
  std::array<Py_ssize_t, stego::kCodewordBytes> at;  // the runs' offsets in characters
  size_t counted = 0;
  size_t chars = 0;
  for (size_t i = 0; i < runs.size(); ++i) {
    chars += count_chars(a.text[0].substr(counted, runs[i].offset - counted));
    counted = runs[i].offset;
    at[i] = static_cast<Py_ssize_t>(chars);
  }
  a.release(0);
  PyObject* text = a.object[0];
  const Py_ssize_t length = PyUnicode_GetLength(text);
  if (length < 0) return nullptr;
  Ref out = own(PyUnicode_FromStringAndSize("", 0));
  if (!out) return nullptr;
  const auto copy = [&](Py_ssize_t from, Py_ssize_t to) {
    for (; from < to; from += std::min(kCopyChars, to - from)) {
      if (!append(out, own(PyUnicode_Substring(text, from, std::min(from + kCopyChars, to))))) return false;
    }
    return true;
  };
  Py_ssize_t copied = 0;
  for (size_t i = 0; i < runs.size(); ++i) {
    if (!copy(copied, at[i]) || !append(out, own(new_str(stego::symbol_run(runs[i].byte))))) return nullptr;
    copied = at[i];
  }
  if (!copy(copied, length)) return nullptr;
  return out.release();
}

PyObject* embed_watermark(Args& a) {
  const auto key = decode_key(a.text[2]);
  if (!key) return nullptr;
  const auto pointer = decode_hex(a.text[1], "pointer");
  if (!pointer) return nullptr;
  if (a.text[0].size() >= kLargeMarkedText) {
    const auto runs = stego::insertions(a.text[0], key->span(), *pointer);
    if (!runs) return raise(runs.error());
    return new_marked_text(a, *runs);
  }
  auto marked = stego::embed(a.text[0], key->span(), *pointer);
  a.release(0);
  if (!marked) return raise(marked.error());
  return new_str(*marked);
}

PyObject* extract_watermark(Args& a) {
  const auto key = decode_key(a.text[1]);
  if (!key) return nullptr;
  auto found = stego::extract(a.text[0], key->span());
  if (!found) return raise(found.error());
  // "N" hands over the new references; a null one (its exception set) makes the call fail.
  return Py_BuildValue("(NNn)", new_hex(found->pointer), PyBool_FromLong(found->tag_verified),
                       static_cast<Py_ssize_t>(found->shards_recovered));
}

PyObject* public_key(Args& a) {
  internal::crypto::SecretBytes<32> secret;
  if (!decode_key32(a.text[0], secret.span())) return nullptr;
  return new_hex(manifest::public_key(secret.span()));
}

// The hex of an envelope whose payload is the UTF-8 of `payload`, written from the str itself
// a slice at a time: only the result and one slice's UTF-8 are held, never the envelope.
PyObject* new_envelope_hex(const manifest::Envelope& envelope, PyObject* payload, size_t payload_bytes) {
  constexpr Py_ssize_t kSliceChars = 1 << 16;
  HexStr out(envelope.before_payload, envelope.before_payload.size() + payload_bytes + envelope.after_payload.size());
  const Py_ssize_t length = PyUnicode_GetLength(payload);
  if (length < 0) return nullptr;
  for (Py_ssize_t start = 0; start < length; start += kSliceChars) {
    Ref slice = own(PyUnicode_Substring(payload, start, std::min(length, start + kSliceChars)));
    if (!slice) return nullptr;
    Ref utf8;
    std::string_view text;
    if (!convert_str(slice.get(), utf8, text) || !out.append(internal::crypto::as_bytes(text))) return nullptr;
  }
  if (!out.append(envelope.after_payload)) return nullptr;
  return out.finish();
}

// The payload is signed from its UTF-8 copy, which goes before the hex is made. From this size
// on, the hex is written in place (two bytes per payload byte at the peak instead of three, at
// about 2.5 ns more per hex character); below it the third byte is a few MB at most, and the
// interpreter's hex is faster.
constexpr size_t kInPlaceEnvelopePayload = size_t{4} << 20;

PyObject* sign(Args& a) {
  internal::crypto::SecretBytes<32> secret;
  if (!decode_key32(a.text[1], secret.span())) return nullptr;
  const auto payload = internal::crypto::as_bytes(a.text[0]);
  const auto envelope = manifest::sign_cose_parts(payload, secret.span());
  if (!envelope) return raise(envelope.error());
  if (payload.size() >= kInPlaceEnvelopePayload) {
    const size_t payload_bytes = payload.size();
    a.release(0);
    return new_envelope_hex(*envelope, a.object[0], payload_bytes);
  }
  const std::vector<uint8_t> bytes = envelope->assemble(payload);
  a.release(0);
  return new_hex(bytes);
}

PyObject* verify(Args& a) {
  std::array<uint8_t, 32> public_key;
  if (!decode_key32(a.text[1], public_key)) return nullptr;
  const auto envelope = decode_hex(a.text[0], "cose");
  if (!envelope) return nullptr;
  a.release(0);
  const auto payload = manifest::verify_cose(*envelope, public_key);
  if (!payload) return raise(payload.error());
  return new_payload_str(*payload);
}

PyObject* cross_check(Args& a) {
  const auto key = decode_key(a.text[0]);
  if (!key) return nullptr;
  const auto content_hash = decode_hex(a.text[2], "content hash");
  if (!content_hash) return nullptr;
  return new_hex(crosscheck::crosscheck_tag(key->span(), internal::crypto::as_bytes(a.text[1]), *content_hash));
}

// The common tail of the builders: the record's CBOR as hex. Encoding into memory does not fail
// for the records built here, so a failure is a broken invariant.
PyObject* new_assertion_hex(const Result<std::vector<uint8_t>>& cbor) {
  if (!cbor) throw internal::Fault("soft-binding CBOR encode: " + cbor.error().debug());
  return new_hex(*cbor);
}

// The record is dropped once encoded.
PyObject* new_assertion(soft_binding::SoftBinding record) {
  auto cbor = record.to_cbor();
  record = {};
  return new_assertion_hex(cbor);
}

// Each of the text, the windows and the CBOR is dropped once the next is made; the record's
// blocks are written straight from the windows.
PyObject* soft_binding_fingerprint(Args& a) {
  auto fingerprint = simhash::Fingerprint::compute(a.text[0]);
  a.release(0);
  auto cbor = soft_binding::fingerprint_cbor(fingerprint);
  fingerprint = {};
  return new_assertion_hex(cbor);
}

PyObject* soft_binding_structure(Args& a) {
  return new_assertion(
      soft_binding::SoftBinding::whole(soft_binding::kStructureAlg, structure::compute(a.text[0]).hex()));
}

PyObject* soft_binding_minhash(Args& a) {
  return new_assertion(soft_binding::from_minhash(minhash::MinHash::compute(a.text[0])));
}

// The pointer is carried in its normalised form: lower case, no surrounding white space.
PyObject* soft_binding_watermark(Args& a) {
  const auto pointer = decode_hex(a.text[0], "pointer");
  if (!pointer) return nullptr;
  return new_assertion(soft_binding::SoftBinding::whole(soft_binding::kWatermarkAlg, internal::hex::encode(*pointer)));
}

// The candidate of `verify_tier`, or nothing with the exception set. The assertion's hex text,
// its CBOR bytes and the decoded record are each released once the next is made, all before the
// text is fingerprinted: for a long text each is about as large as the text.
std::optional<crosscheck::Candidate> read_candidate(Args& a, size_t index) {
  auto cbor = decode_hex(a.text[index], "assertion");
  if (!cbor) return std::nullopt;
  a.release(index);
  auto binding = soft_binding::SoftBinding::from_cbor(*cbor);
  cbor.reset();
  if (!binding) {
    raise(binding.error());
    return std::nullopt;
  }
  return crosscheck::Candidate::of(*binding);
}

// From this many hex digits on, an assertion is decoded without the text's UTF-8 copy beside
// it: the hex, its CBOR and the decoded record of a long text's windows are each about as large
// as the text, and the copy is made again, once they are gone, in a small part of the call's time.
constexpr size_t kLargeAssertion = 1 << 20;

PyObject* verify_tier(Args& a) {
  const bool large = a.text[1].size() >= kLargeAssertion;
  if (large) a.release(0);  // converted once already, so the text is known to encode
  const auto candidate = read_candidate(a, 1);
  if (!candidate) return nullptr;
  if (large && !convert_str(a.object[0], a.utf8[0], a.text[0])) return nullptr;
  return new_str(crosscheck::tier_name(crosscheck::verify(a.text[0], *candidate, a.flag[2], a.flag[3])));
}

// ---------------------------------------------------------------------------------------------
// The function table, in registration order (the order of `__all__`).

constexpr Function kFunctions[] = {
    {"text_fingerprint", {{{"text", Kind::Text}}}, 1,
     "text_fingerprint(text)\n--\n\n"
     "`com.lanternquill.text-fingerprint.1` — 256-bit surface SimHash, hex.",
     text_fingerprint},
    {"text_structure", {{{"text", Kind::Text}}}, 1,
     "text_structure(text)\n--\n\n"
     "`com.lanternquill.text-structure.1` — 256-bit structural SimHash, hex.",
     text_structure},
    {"minhash_signature", {{{"text", Kind::Text}}}, 1,
     "minhash_signature(text)\n--\n\n"
     "`com.lanternquill.text-minhash.1` — the 128 signature values.",
     minhash_signature},
    {"minhash_bands", {{{"text", Kind::Text}}}, 1,
     "minhash_bands(text)\n--\n\n"
     "The 32 LSH band hashes — index keys for discovery.",
     minhash_bands},
    {"hamming_hex", {{{"a", Kind::FingerprintHex}, {"b", Kind::FingerprintHex}}}, 2,
     "hamming_hex(a, b)\n--\n\n"
     "Hamming distance in bits between two 256-bit hex fingerprints.",
     hamming_hex},
    {"content_hash", {{{"text", Kind::Text}}}, 1,
     "content_hash(text)\n--\n\n"
     "SHA-256 of the canonical stream (the blind-recoverable content hash), hex.",
     content_hash},
    {"embed_watermark", {{{"text", Kind::Text}, {"pointer_hex", Kind::Hex}, {"key_hex", Kind::Hex}}}, 3,
     "embed_watermark(text, pointer_hex, key_hex)\n--\n\n"
     "Embed a `zwc-watermark.2` carrying `pointer_hex`, bound to the content by\n"
     "`key_hex`. Returns the watermarked text.",
     embed_watermark},
    {"extract_watermark", {{{"text", Kind::Text}, {"key_hex", Kind::Hex}}}, 2,
     "extract_watermark(text, key_hex)\n--\n\n"
     "Blind-extract and verify a `zwc-watermark.2`.\nReturns `(pointer_hex, tag_verified, shards_recovered)`.",
     extract_watermark},
    {"public_key", {{{"secret_hex", Kind::Key32}}}, 1,
     "public_key(secret_hex)\n--\n\n"
     "Derive the Ed25519 public key (hex) from a 32-byte secret key (hex).",
     public_key},
    {"sign", {{{"payload", Kind::Text}, {"secret_hex", Kind::Key32}}}, 2,
     "sign(payload, secret_hex)\n--\n\n"
     "Sign a payload as tagged COSE_Sign1 / EdDSA. Returns the envelope as hex.",
     sign},
    {"verify", {{{"cose_hex", Kind::Hex}, {"public_hex", Kind::Key32}}}, 2,
     "verify(cose_hex, public_hex)\n--\n\n"
     "Verify a hex COSE_Sign1 envelope against a hex public key; returns the\n"
     "payload string on success, raises on failure.",
     verify},
    {"cross_check", {{{"key_hex", Kind::Hex}, {"repo_id", Kind::Text}, {"content_hash_hex", Kind::Hex}}}, 3,
     "cross_check(key_hex, repo_id, content_hash_hex)\n--\n\n"
     "Anti-transfer cross-check tag (hex): `HMAC(key, repo_id ‖ content_hash)`.",
     cross_check},
    {"soft_binding_fingerprint", {{{"text", Kind::Text}}}, 1,
     "soft_binding_fingerprint(text)\n--\n\n"
     "Build the `c2pa.soft-binding` assertion (id 41, surface fingerprint) as CBOR,\n"
     "hex-encoded. Sign the result with [`sign`]; includes per-window blocks.",
     soft_binding_fingerprint},
    {"soft_binding_structure", {{{"text", Kind::Text}}}, 1,
     "soft_binding_structure(text)\n--\n\n"
     "Build the `c2pa.soft-binding` assertion (id 43, structural) as CBOR hex.",
     soft_binding_structure},
    {"soft_binding_minhash", {{{"text", Kind::Text}}}, 1,
     "soft_binding_minhash(text)\n--\n\n"
     "Build the `c2pa.soft-binding` assertion (id 44, MinHash) as CBOR hex.",
     soft_binding_minhash},
    {"soft_binding_watermark", {{{"pointer_hex", Kind::Hex}}}, 1,
     "soft_binding_watermark(pointer_hex)\n--\n\n"
     "Build the `c2pa.soft-binding` assertion (id 42, ZWC watermark) for a routing\n"
     "`pointer_hex`, as CBOR hex.",
     soft_binding_watermark},
    {"verify_tier",
     {{{"text", Kind::Text},
       {"assertion_cbor_hex", Kind::Hex},
       {"watermark_verified", Kind::Flag},
       {"crosscheck_ok", Kind::Flag}}},
     4,
     "verify_tier(text, assertion_cbor_hex, watermark_verified, crosscheck_ok)\n--\n\n"
     "Recompute the fingerprint from `text`, compare against a candidate\n"
     "`c2pa.soft-binding` assertion (hex CBOR), and classify. Returns\n"
     "`\"BOUND\"`, `\"LIKELY\"`, or `\"REVIEW\"`.",
     verify_tier},
};
constexpr size_t kFunctionCount = std::size(kFunctions);

template <size_t I>
PyObject* trampoline(PyObject*, PyObject* args, PyObject* kwargs) {
  return call(kFunctions[I], args, kwargs);
}

template <size_t... I>
std::array<PyMethodDef, kFunctionCount> method_defs(std::index_sequence<I...>) {
  return {PyMethodDef{kFunctions[I].name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(trampoline<I>)),
                      METH_VARARGS | METH_KEYWORDS, kFunctions[I].doc}...};
}

// CPython keeps pointers to these for the life of the function objects, so they are static.
std::array<PyMethodDef, kFunctionCount> g_method_defs = method_defs(std::make_index_sequence<kFunctionCount>());

// ---------------------------------------------------------------------------------------------
// Module creation.

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "quelvane", "The `quelvane` native module.", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<int64_t> g_interpreter_claim{-1};
PyObject* g_module = nullptr;  // filled once, under the interpreter lock, kept for the process

bool append_to_all(PyObject* module, PyObject* name) {
  Ref all = own(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    PyErr_Clear();
    all = own(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  return PyList_Append(all.get(), name) == 0;
}

bool initialise(PyObject* module) {
  Ref doc_name = own(PyUnicode_FromString("__doc__"));
  if (!doc_name || !append_to_all(module, doc_name.get())) return false;
  Ref doc = own(PyUnicode_FromString("LanternQuill C2PA text soft-binding family (native bindings)."));
  if (!doc || PyObject_SetAttrString(module, "__doc__", doc.get()) < 0) return false;
  Ref module_name = own(PyModule_GetNameObject(module));
  if (!module_name) return false;
  for (PyMethodDef& def : g_method_defs) {
    Ref function = own(PyCMethod_New(&def, module, module_name.get(), nullptr));
    if (!function) return false;
    Ref name = own(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name || !append_to_all(module, name.get())) return false;
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) return false;
  }
  return true;
}

PyObject* create_module() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  const int64_t id = PyInterpreterState_GetID(interpreter);
  if (id == -1) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    return nullptr;
  }
  int64_t expected = -1;
  if (!g_interpreter_claim.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "quelvane does not support sub-interpreters: it can only be imported in the interpreter "
                    "that first imported it");
    return nullptr;
  }
  if (g_module != nullptr) {
    Py_IncRef(g_module);
    return g_module;
  }
  Ref module = own(PyModule_Create2(&g_module_def, 3));
  if (!module || !initialise(module.get())) return nullptr;
  g_module = module.get();
  Py_IncRef(g_module);  // the cache's own reference
  return module.release();
}

}  // namespace
}  // namespace quelvane::python

PyMODINIT_FUNC PyInit_quelvane(void) {
  try {
    return quelvane::python::create_module();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}
